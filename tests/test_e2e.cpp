// The simulated daemon run as a user runs it: a real FIFO, real consumer
// processes, real signals, and the board simulator's trace and known content.
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

// One qrngd-sim process with its own prefix, FIFO and trace file.
class sim_daemon {
public:
    // `prepare` makes what stands at the FIFO path before the start (by default a
    // FIFO of this user, mode 0600); `env` is added to the daemon's environment;
    // `shell`, when given, is a bash command that execs the daemon ("$@").
    sim_daemon(const std::string& sim_config, std::vector<std::string> options,
               const std::function<void(const std::string&)>& prepare = nullptr, std::vector<std::string> env = {},
               const std::string& shell = "")
        : fifo(dir.file("qrandom")), trace(dir.file("trace"))
    {
        if (prepare)
            prepare(fifo);
        else
            mkfifo(fifo.c_str(), 0600);
        std::vector<std::string> argv = {QRNGD_SIM_BIN, "-s", "-v", "3", "-x", prefix.name(), "-p", fifo};
        argv.insert(argv.end(), options.begin(), options.end());
        if (!shell.empty())
            argv.insert(argv.begin(), {"/bin/bash", "-c", shell, "bash"});
        env.push_back("QRNG_SIM=" + sim_config);
        env.push_back("QRNG_SIM_TRACE=" + trace);
        proc = std::make_unique<background_process>(argv, env);
    }
    ~sim_daemon() { proc.reset(); }

    background_process& process() { return *proc; }
    std::string out() const { return proc->out(); }
    std::string trace_text() const { return read_file(trace); }
    // Waits until the monitor has made `passes` compute passes (one status word read each).
    bool wait_monitor_passes(int passes, double timeout_s = 60)
    {
        return wait_until([&] { return count_lines_with(trace_text(), "R 600C") >= passes; }, timeout_s);
    }
    // Waits until streaming has begun: the monitor's first compute pass.
    bool wait_streaming(double timeout_s = 60) { return wait_monitor_passes(1, timeout_s); }
    template <class F> bool wait_until(F done, double timeout_s)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
        while (std::chrono::steady_clock::now() < deadline) {
            if (done())
                return true;
            if (!proc->running())
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // Sends SIGTERM and returns the exit status.
    int terminate(int timeout_s = 30)
    {
        proc->send_signal(SIGTERM);
        return proc->wait(timeout_s);
    }

    temp_dir dir;
    unique_prefix prefix;
    const std::string fifo;
    const std::string trace;

private:
    std::unique_ptr<background_process> proc;
};

// A consumer that checks what it reads from the FIFO against the simulated content.
std::unique_ptr<background_process> verifier(const std::string& fifo, const std::string& seed,
                                             const std::string& mode = "")
{
    std::string script = "exec \"$0\" --seed \"$1\" $3 < \"$2\"";
    return std::make_unique<background_process>(
        std::vector<std::string>{"/bin/sh", "-c", script, QRNG_VERIFY_BIN, seed, fifo, mode});
}

// Opens the FIFO for reading without blocking; a later POLLHUP tells whether any
// writer has opened it since.
class fifo_watch {
public:
    explicit fifo_watch(const std::string& path) : fd(open(path.c_str(), O_RDONLY | O_NONBLOCK)) {}
    ~fifo_watch()
    {
        if (fd >= 0)
            close(fd);
    }
    bool writer_seen() const
    {
        struct pollfd p = {fd, POLLIN, 0};
        return poll(&p, 1, 0) > 0 && (p.revents & POLLHUP);
    }
    int fd;
};

// The value of the sample that starts with `name` ("qrngd_up{prefix=...}").
double metric_value(const std::string& text, const std::string& name)
{
    size_t at = text.find("\n" + name);
    return at == std::string::npos ? -1 : std::stod(text.substr(text.find(' ', at + name.size()) + 1));
}

} // namespace

TEST(EndToEnd, CapturesVerifyWithAndWithoutNewRandomness)
{
    // With -r: fresh data only, over two ring wraps. Without: after the first wrap
    // the ring is read on continuously, each word from some lap already written.
    // Stopped for longer than a quarter of the ring's period, the daemon has lost
    // the lap count and goes on only with words written after its return.
    sim_daemon fresh("board=m2,chips=2,rate=128,seed=101", {"-r"});
    sim_daemon continuous("board=m2,chips=2,rate=128,seed=202", {});
    sim_daemon stalled("board=m2,chips=2,rate=256,seed=303", {"-r"});
    // Injected faults leave the stream intact: a dead chip, short and failing DMA
    // reads (the next read goes on right after what was written), wrong checksums.
    // (At 16 MiB/s a block's checksum report stays long enough for a sanitized
    // daemon's two reads of it to agree.)
    sim_daemon faulty("board=m2,chips=2,dead=1,rate=16,seed=404,short_every=3,corrupt_every=20,dma_fail_every=9",
                      {"-r", "-d"});
    auto fresh_check = verifier(fresh.fifo, "101");
    auto continuous_check = verifier(continuous.fifo, "202", "--any-lap");
    auto stalled_check = verifier(stalled.fifo, "303");
    auto faulty_check = verifier(faulty.fifo, "404");
    ASSERT_TRUE(stalled.wait_streaming()) << stalled.out();
    for (int i = 0; i < 3; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stalled.process().send_signal(SIGSTOP);
        std::this_thread::sleep_for(std::chrono::milliseconds(350));
        stalled.process().send_signal(SIGCONT);
    }
    ASSERT_TRUE(fresh.wait_monitor_passes(16)) << fresh.out(); // two wraps in 4 s
    ASSERT_TRUE(continuous.wait_monitor_passes(16)) << continuous.out();
    for (sim_daemon* d : {&fresh, &continuous, &stalled, &faulty})
        EXPECT_EQ(d->terminate(), 0) << d->out();
    for (auto* check : {&fresh_check, &continuous_check, &stalled_check, &faulty_check})
        EXPECT_EQ((*check)->wait(60), 0) << (*check)->out() << (*check)->err();
    EXPECT_GE(count_lines_with(faulty.out(), "[WARN] Corrupted data on transaction on 0x"), 2) << faulty.out();
    EXPECT_GE(count_lines_with(faulty.out(), "[ERROR] Error on reading data from device"), 1) << faulty.out();
    EXPECT_GE(count_lines_with(faulty.trace_text(), " 65536 32768"), 5);
    EXPECT_EQ(count_lines_with(fresh.out(), "[WARN] The stream now repeats"), 0);
}

TEST(EndToEnd, SignalsEndTheRunWithTheirStatusAndNotice)
{
    // While streaming, and during the warm-up (spi_enable comes just before the boot
    // animation, which lasts seconds): then no data moves at all.
    struct { const char* config; bool warm_up; int sig; int status; const char* notice; } cases[] = {
        {"board=m2,chips=2", true, SIGTERM, 0, "[INFO] sigterm received. exiting..."},
        {"board=pcie,chips=2", true, SIGINT, 1, "[INFO] sigint received. exiting..."},
        {"board=m2,chips=1", false, SIGTERM, 0, "[INFO] sigterm received. exiting..."},
        {"board=m2,chips=1", false, SIGINT, 1, "[INFO] sigint received. exiting..."},
        {"board=m2,chips=1", false, SIGHUP, 0, "[INFO] sighup received. exiting..."},
    };
    std::vector<std::unique_ptr<sim_daemon>> daemons;
    std::vector<std::unique_ptr<background_process>> readers;
    for (const auto& c : cases) {
        daemons.push_back(std::make_unique<sim_daemon>(c.config, std::vector<std::string>{"-r"}));
        readers.push_back(std::make_unique<background_process>(
            std::vector<std::string>{"/bin/sh", "-c", "exec cat \"$0\" >/dev/null", daemons.back()->fifo}));
    }
    for (size_t i = 0; i < daemons.size(); i++) {
        sim_daemon& d = *daemons[i];
        if (!cases[i].warm_up) {
            ASSERT_TRUE(d.wait_streaming()) << d.out();
            continue;
        }
        ASSERT_TRUE(d.wait_until([&] { return d.trace_text().find("W 6000 A0000000") != std::string::npos; }, 60));
        d.process().send_signal(cases[i].sig);
    }
    // SIGUSR1 asks for statistics; SIGUSR2 and SIGALRM change nothing.
    sim_daemon& hup = *daemons[4];
    for (int sig : {SIGUSR1, SIGUSR2, SIGALRM})
        hup.process().send_signal(sig);
    // Standard output is line-buffered: the line shows while the daemon runs.
    EXPECT_TRUE(hup.wait_until([&] { return hup.out().find("[WARN] Statistics: up ") != std::string::npos; }, 4))
        << hup.out();
    for (size_t i = 0; i < daemons.size(); i++) {
        sim_daemon& d = *daemons[i];
        if (!cases[i].warm_up)
            d.process().send_signal(cases[i].sig);
        EXPECT_EQ(d.process().wait(30), cases[i].status) << cases[i].notice;
        EXPECT_EQ(count_lines_with(d.out(), cases[i].notice), 1) << d.out();
        EXPECT_EQ(count_lines_with(d.out(), "passed the start-up check"), 0) << "a check cut short judges nothing";
        EXPECT_EQ(count_lines_with(d.out(), std::string("[INFO] Start QRNG accel daemon on ") +
                                                (cases[i].config[6] == 'p' ? "PCIe board with version 0xDA000102"
                                                                           : "M2 board with version 0xD7000001")),
                  1);
        // The chips are stopped and the board shut down on the way out.
        std::string t = d.trace_text();
        size_t stop = t.rfind("W 6000 AF000000");
        ASSERT_NE(stop, std::string::npos);
        EXPECT_LT(stop, t.rfind("W 6000 AE000000"));
        EXPECT_LT(t.rfind("W 6000 AE000000"), t.rfind("W 600C 000000D0\nW 6010 00000000")) << "LEDs off";
        EXPECT_LT(t.rfind("W 600C 000000D0\nW 6010 00000000"), t.rfind("W 6000 BF000000"));
        EXPECT_EQ(count_lines_with(t, "C /dev/" + d.prefix.name()), 2) << "both devices closed";
        EXPECT_EQ(t.find("\nD ") == std::string::npos, cases[i].warm_up) << cases[i].config << i;
    }
    EXPECT_EQ(count_lines_with(hup.out(), "[WARN] Statistics: up "), 1) << hup.out();
}

TEST(EndToEnd, StartupRefusals)
{
    // Strict mode with a dead chip: refused before the FIFO is ever opened; the
    // metrics file says the daemon is down.
    temp_dir dir;
    sim_daemon strict("board=m2,dead=2", {"-a", "-m", dir.file("q.prom")});
    fifo_watch watch(strict.fifo);
    // A bitstream of no known board.
    sim_daemon unknown("version=0x12345678", {});

    EXPECT_EQ(strict.process().wait(60), 4) << strict.out();
    EXPECT_EQ(count_lines_with(strict.out(), "[ERROR] Only 3/4 QRNG Chips are available - aborting"), 1)
        << strict.out();
    EXPECT_EQ(strict.out().find("Start throughput thread"), std::string::npos);
    EXPECT_FALSE(watch.writer_seen());
    EXPECT_NE(read_file(dir.file("q.prom")).find("qrngd_up{prefix=\"" + strict.prefix.name() + "\"} 0\n"),
              std::string::npos);

    EXPECT_EQ(unknown.process().wait(60), 1) << unknown.out();
    EXPECT_EQ(count_lines_with(unknown.out(), "[ERROR] FPGA bitstream version 0x12345678 is not compatible. Exiting..."),
              1)
        << unknown.out();
    std::string t = unknown.trace_text();
    EXPECT_NE(t.find("W 6000 BF000000"), std::string::npos) << t;
    EXPECT_EQ(count_lines_with(t, "C /dev/" + unknown.prefix.name()), 2) << t;
    EXPECT_EQ(t.find("W 600C"), std::string::npos) << "no LED is touched without a board";
}

TEST(EndToEnd, SettingsReachTheAccelerator)
{
    struct run {
        std::vector<std::string> options;
        std::vector<std::string> expected; // in this order in the trace
    } runs[] = {
        {{"-q", "017", "-c", "5", "-f", "-e"},
         {"W 6000 B0000000", "W 6008 0000000F", "W 6014 00000005", "R 6004", "W 6000 D0000000", "W 6000 D2000000", "W 6000 D5000000",
          "W 6000 AF000000", "W 6000 AE000000", "W 6000 A0000000", "W 6000 A3000000", "W 6000 A2000000",
          "W 6018 20100001", "W 601C "}},
        {{"-e", "-D"}, {"W 6008 FFFFFFFF", "W 6014 00002710", "W 6000 D1000000", "W 6000 D3000000", "W 6000 D4000000",
                        "W 6018 20100001"}},
        {{}, {"W 6000 D1000000", "W 6000 D3000000", "W 6000 D5000000", "W 6018 20100000"}},
    };
    std::vector<std::unique_ptr<sim_daemon>> daemons;
    for (const run& r : runs)
        daemons.push_back(std::make_unique<sim_daemon>("board=m2,chips=1", r.options));
    for (size_t i = 0; i < daemons.size(); i++) {
        sim_daemon& d = *daemons[i];
        ASSERT_TRUE(d.wait_streaming()) << d.out();
        EXPECT_EQ(d.terminate(), 0);
        std::string t = d.trace_text();
        size_t at = 0;
        for (const std::string& line : runs[i].expected) {
            size_t found = t.find(line, at);
            ASSERT_NE(found, std::string::npos) << "run " << i << ": '" << line << "' missing or out of order";
            at = found + line.size();
        }
    }
}

TEST(EndToEnd, ConsumersComeAndGo)
{
    // The daemon's standard output is a pipe whose reader has gone: its log lines
    // fail, and the stream goes on.
    temp_dir dir;
    sim_daemon d("board=m2,chips=2,rate=64,seed=303", {"-r", "-m", dir.file("c.prom")}, nullptr, {},
                 "exec \"$@\" > >(:)");
    ASSERT_TRUE(d.wait_streaming());
    // The first consumer takes 1.5 s of the board's output and leaves.
    proc_result first = run_command({"/bin/sh", "-c", "head -c 100000000 \"$0\" | wc -c", d.fifo});
    EXPECT_EQ(first.out, "100000000\n");
    // Readers that take a byte and leave: no chunk is read after they have gone
    // (one that was would be refused with the FIFO's closing). A reader may still
    // leave between the look at the FIFO and the write: on loaded cores under a
    // sanitizer up to a fifth of them did; without the look all of them are.
    for (int i = 0; i < 50; i++)
        run_command({"/bin/sh", "-c", "head -c 1 \"$0\" > /dev/null", d.fifo});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(d.process().running()) << d.out();
    // A later one picks up the stream wherever it is.
    auto second = verifier(d.fifo, "303", "--anywhere");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(d.terminate(), 0) << d.out();
    EXPECT_EQ(second->wait(60), 0) << second->out() << second->err();
    EXPECT_LT(metric_value(read_file(dir.file("c.prom")), "qrngd_refused_chunks_total{prefix=\"" + d.prefix.name() + "\"}"), 25);
}

TEST(EndToEnd, SlowConsumerGetsNoByteTwice)
{
    // The board laps a consumer of under 250 KiB/s every second: the FIFO
    // stays full and the read address falls a whole ring behind again and again.
    temp_dir dir;
    const std::string prom = dir.file("m.prom");
    sim_daemon d("board=m2,chips=2,rate=256,seed=404", {"-r", "-m", prom});
    std::string capture = d.dir.file("capture");
    // Ends when a read brings nothing more (end of file).
    background_process consumer({"/bin/sh", "-c",
                                 "exec 3<\"$0\"; : >\"$1\"; size=-1; "
                                 "while [ \"$(stat -c %s \"$1\")\" != \"$size\" ]; do "
                                 "size=$(stat -c %s \"$1\"); "
                                 "dd bs=2500 count=1 iflag=fullblock status=none <&3 >>\"$1\"; sleep 0.01; done",
                                 d.fifo, capture});
    ASSERT_TRUE(d.wait_monitor_passes(15)) << d.out(); // four wraps in 4 s
    EXPECT_EQ(d.terminate(), 0) << d.out();
    consumer.wait(30);
    proc_result check = run_command({"/bin/sh", "-c", "exec \"$0\" --seed 404 < \"$1\"", QRNG_VERIFY_BIN, capture});
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    // The loop reads every chunk from the board once, also for a reader of blocks
    // of no whole number of pages: what it read is what it delivered, what it
    // withheld (the chunk held for its successor's verdict, each time the board
    // overtakes the reader) and the 1 MiB start-up test, plus a chunk the board
    // overtook during its DMA read, and two chunks that may wait when it stops.
    std::istringstream lines(d.trace_text());
    double dma_bytes = 0;
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("D ", 0) == 0)
            dma_bytes += std::stod(line.substr(line.rfind(' ')));
    const std::string m = read_file(prom), p = "{prefix=\"" + d.prefix.name() + "\"";
    double overruns = metric_value(m, "qrngd_overruns_total" + p + "}");
    double delivered = metric_value(m, "qrngd_delivered_bytes_total" + p + ",source=\"board\"}");
    double withheld = metric_value(m, "qrngd_withheld_bytes_total" + p + "}");
    EXPECT_LE(overruns, 12) << "about two a second";
    EXPECT_LE(static_cast<double>(read_file(capture).size()), delivered);
    EXPECT_LE(dma_bytes, delivered + withheld + 1048576 + (overruns + 2) * 65536) << m;
}

TEST(EndToEnd, BackupSourceFillsInForASlowBoard)
{
    sim_daemon d("board=m2,chips=2,rate=0.25", {"-r", "-b"});
    ASSERT_TRUE(d.wait_streaming()) << d.out();
    auto start = std::chrono::steady_clock::now();
    proc_result got = run_command({"/bin/sh", "-c", "head -c 20000000 \"$0\" | wc -c", d.fifo}, {}, 60);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(got.out, "20000000\n");
    // The board alone would need 76 s for this much.
    EXPECT_LT(seconds, 30.0);
    EXPECT_EQ(d.terminate(), 0);
}

TEST(EndToEnd, MonitorThreadThatCannotStartEndsTheRun)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizer runtimes need more address space than this test allows";
#endif
    // Thread stacks take the stack limit (2 GB) out of an address space of 1 GB:
    // the process runs, but its second thread cannot be created.
    temp_dir dir;
    unique_prefix prefix;
    std::string fifo = dir.file("qrandom");
    proc_result r = run_command({"/bin/sh", "-c", "ulimit -s 2000000 && ulimit -v 1000000 && exec \"$0\" -s -x \"$1\" -p \"$2\"",
                                 QRNGD_SIM_BIN, prefix.name(), fifo},
                                {"QRNG_SIM=board=m2,chips=1"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(count_lines_with(r.out, "[ERROR] Cannot start the throughput thread - aborting"), 1) << r.out;
}

TEST(EndToEnd, ProblemsAreReportedOnce)
{
    struct line {
        std::string text;
        int count = 1;
    };
    struct scenario {
        std::string config;
        std::vector<std::string> options;
        std::vector<line> expected;
        int ends_with = -1; // the status of a daemon that stops by itself; -1: stopped by SIGTERM
        int passes = 5;     // monitor passes to wait for once streaming has begun
        std::function<void(sim_daemon&)> check = nullptr; // more checks after the stop
    };
    std::vector<scenario> scenarios = {
        // Failing DMA reads are retried at most every 20 ms or so, not every pass.
        {"rate=16,dma_fail_every=1", {"-d"}, {{"[ERROR] DMA read of 65536 bytes at offset 0x00000000 failed: Input/output error"},
                                      {"[ERROR] Error on reading data from device", 10}}, -1, 5,
         [](sim_daemon& d) {
             std::string t = d.trace_text();
             EXPECT_LT(count_lines_with(t, "D 0"), 60 * count_lines_with(t, "R 600C"));
         }},
        // Without -r a consumer faster than the board gets the ring again once it has wrapped (after
        // 6.4 s); the board is slow enough for a loaded daemon under a sanitizer to catch up with it.
        {"rate=40", {}, {{"[WARN] The stream now repeats data delivered before (the board's ring has wrapped)"}}, -1, 40},
        {"", {"-t", "1500000"}, {{"[WARN] Thread period of 1500000 us"}}},
        // No chip selected, none works: the monitor ends the run after its 52 passes.
        {"", {"-q", "0x10"}, {{"[WARN] Chip mask 0x10 selects none of the board's 2 chips"}}, 1, 0},
        {"dead=2", {}, {{"[WARN] 1/2 QRNG chips passed the start-up check; not working: 2"}}},
        {"die_after=0.5", {}, {{"[WARN] QRNG chip 1 stopped working"}, {"[WARN] QRNG chip 2 stopped working"},
                               {"[ERROR] No Active/Valid QRNG Chips available - aborting"}}, 1},
        // A write address that stands still for 6 s while the chips work.
        {"stall_after=0.5,stall_for=6", {},
         {{"[WARN] The board's write address has not moved for 5 s although 2 QRNG chips report working"},
          {"[INFO] The board's write address moves again"}}, -1, 30},
        // A board that restarts its ring below its middle while the loop waits, with no reader.
        {"restart_after=1", {"-t", "1500000", "-p", "/nonexistent/qrandom"},
         {{"[ERROR] Internal Error - Desync in DDR Real versus FPGA DDR Write - Streaming interrupted!"}}, 5, 0},
    };
    std::vector<std::unique_ptr<sim_daemon>> daemons;
    std::vector<std::unique_ptr<background_process>> readers;
    for (const scenario& c : scenarios) {
        daemons.push_back(std::make_unique<sim_daemon>("board=m2,chips=2,rate=64," + c.config, c.options));
        readers.push_back(std::make_unique<background_process>(
            std::vector<std::string>{"/bin/sh", "-c", "exec wc -c < \"$0\"", daemons.back()->fifo}));
    }
    for (size_t i = 0; i < scenarios.size(); i++) {
        ASSERT_TRUE(daemons[i]->wait_streaming()) << daemons[i]->out();
        int passes = count_lines_with(daemons[i]->trace_text(), "R 600C") + scenarios[i].passes;
        ASSERT_TRUE(daemons[i]->wait_monitor_passes(passes) || scenarios[i].ends_with >= 0);
    }
    for (size_t i = 0; i < scenarios.size(); i++) {
        sim_daemon& d = *daemons[i];
        int status = scenarios[i].ends_with;
        EXPECT_EQ(status >= 0 ? d.process().wait(90) : d.terminate(), std::max(status, 0)) << d.out();
        if (scenarios[i].check)
            scenarios[i].check(d);
        for (const line& l : scenarios[i].expected) // the first lines, not the summaries ("N times ..., the last: ")
            EXPECT_EQ(count_lines_with(d.out(), l.text), l.count)
                << "'" << l.text << "' in\n" << d.out();
    }
}

// A datagram socket standing in for systemd's notification socket.
struct notify_socket {
    explicit notify_socket(const std::string& path_) : path(path_), fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        timeval wait{0, 100000};
        ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
             setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) == 0;
    }
    ~notify_socket() { close(fd); }
    // The next message, "" after 100 ms without one.
    std::string next()
    {
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }
    // Messages until one contains `needle` (which is returned), "" on timeout.
    std::string until(const std::string& needle, double timeout_s)
    {
        for (double waited = 0; waited < timeout_s; waited += 0.1)
            for (std::string m = next(); !m.empty(); m = next())
                if (m.find(needle) != std::string::npos)
                    return m;
        return "";
    }
    std::string path;
    int fd;
    bool ok;
};

TEST(EndToEnd, SystemdReadinessStatusWatchdogAndStop)
{
    temp_dir dir;
    notify_socket sock(dir.file("notify"));
    ASSERT_TRUE(sock.ok);
    // The 1500th DMA read (after about 1.5 s) hangs for 4 s: the watchdog pings
    // (about every half second with a 1 s interval) stop while the monitor goes on.
    sim_daemon d("board=m2,chips=2,rate=64,dma_hang=1500,dma_hang_s=4", {"-r"}, nullptr,
                 {"NOTIFY_SOCKET=" + sock.path, "WATCHDOG_USEC=1000000"});
    background_process reader({"/bin/sh", "-c", "exec cat \"$0\" > /dev/null", d.fifo});
    std::string ready = sock.until("READY=1", 60);
    ASSERT_NE(ready, "") << d.out();
    // Ready only after the warm-up: the chips were started and set to their mode.
    std::string t = d.trace_text();
    EXPECT_NE(t.find("W 6000 A2000000"), std::string::npos);
    EXPECT_NE(t.find("W 6018 20100000"), std::string::npos);
    EXPECT_NE(ready.find("STATUS=streaming: 2/2 chips, "), std::string::npos) << ready;

    // Pings and status lines while streaming, then a gap in the pings while the read hangs.
    using clock = std::chrono::steady_clock;
    std::vector<clock::time_point> pings;
    int status_lines = 0;
    auto until = clock::now() + std::chrono::seconds(9);
    while (clock::now() < until) {
        std::string m = sock.next();
        if (m == "WATCHDOG=1")
            pings.push_back(clock::now());
        if (m.rfind("STATUS=streaming: 2/2 chips, ", 0) == 0 && m.find(" delivered, consumer attached") != std::string::npos)
            status_lines++;
    }
    double longest_gap = 0;
    for (size_t i = 1; i < pings.size(); i++)
        longest_gap = std::max(longest_gap, std::chrono::duration<double>(pings[i] - pings[i - 1]).count());
    EXPECT_GE(pings.size(), 4u);
    EXPECT_GE(status_lines, 5);
    EXPECT_GE(longest_gap, 2.5) << "no ping while the DMA read hung";

    d.process().send_signal(SIGTERM);
    EXPECT_EQ(sock.until("STOPPING=1", 30), "STOPPING=1\nSTATUS=stopping: SIGTERM");
    EXPECT_EQ(d.process().wait(30), 0) << d.out();
}


TEST(EndToEnd, MetricsFileForTheTextfileCollector)
{
    temp_dir dir;
    const std::string prom = dir.file("qrngd.prom"), stats = dir.file("stats");
    // Torn reads of the checksum report are skipped, never taken for corrupted blocks.
    sim_daemon d("board=m2,chips=2,rate=64,torn_every=5", {"-r", "-d", "-m", prom}, nullptr, {"QRNG_SIM_STATS=" + stats});
    // A board going round its ring 4 times a second is counted lap by lap, also
    // with -o, which never touches the stream. (The monitor must sample it every
    // 62 ms: faster boards lose laps whenever a sanitizer's parallel tests keep
    // the monitor thread off both cores for longer than a quarter ring.)
    const std::string fast_prom = dir.file("fast.prom"), fast_stats = dir.file("fast-stats");
    sim_daemon fast("board=m2,chips=2,rate=1024", {"-o", "-f", "-m", fast_prom}, nullptr, {"QRNG_SIM_STATS=" + fast_stats});
    fifo_watch watch(fast.fifo);
    background_process consumer({"/bin/sh", "-c", "exec wc -c < \"$0\"", d.fifo});
    ASSERT_TRUE(d.wait_monitor_passes(12)) << d.out();
    const std::string p = "{prefix=\"" + d.prefix.name() + "\"";
    std::string running = read_file(prom);
    EXPECT_EQ(metric_value(running, "qrngd_up" + p), 1) << running;
    EXPECT_EQ(metric_value(running, "qrngd_consumer_attached" + p), 1) << running;

    // node_exporter's textfile collector serves the file (on a free port, retried on a clash).
    if (access("/usr/bin/prometheus-node-exporter", X_OK) != 0) {
        std::cout << "[ SKIPPED  ] node_exporter: Debian's prometheus-node-exporter package is not installed\n";
    } else {
        std::string page;
        for (int attempt = 0; attempt < 5 && page.find("qrngd_up" + p) == std::string::npos; attempt++) {
            int port = 20000 + static_cast<int>((getpid() * 7 + attempt * 131) % 40000);
            background_process exporter({"/usr/bin/prometheus-node-exporter", "--collector.disable-defaults",
                                         "--collector.textfile", "--collector.textfile.directory=" + dir.file(""),
                                         "--web.listen-address=127.0.0.1:" + std::to_string(port)});
            for (int i = 0; i < 50 && exporter.running() && page.find("qrngd_up") == std::string::npos; i++) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                page = run_command({"/bin/bash", "-c",
                                    "exec 3<>/dev/tcp/127.0.0.1/$0 && printf 'GET /metrics HTTP/1.0\\r\\n\\r\\n' >&3 && "
                                    "timeout 5 cat <&3",
                                    std::to_string(port)},
                                   {}, 10)
                           .out;
            }
        }
        EXPECT_NE(page.find("qrngd_up" + p + "} 1"), std::string::npos) << page.substr(0, 2000);
    }

    EXPECT_EQ(d.terminate(), 0);
    consumer.wait(30);
    std::string last = read_file(prom);
    EXPECT_EQ(metric_value(last, "qrngd_up" + p), 0) << last;
    EXPECT_EQ(metric_value(last, "qrngd_checksum_mismatches_total" + p), 0) << "intact blocks pass the check";
    EXPECT_GT(metric_value(last, "qrngd_checksum_reports_skipped_total" + p), 0) << last;
    // What the consumer read to the end is exactly what the daemon counts as delivered.
    EXPECT_EQ(metric_value(last, "qrngd_delivered_bytes_total" + p + ",source=\"board\""), std::stod(consumer.out()));
    // The monitor's count of generated bytes lags the board by at most its last
    // pass before the stop (64 MiB/s x 0.5 s).
    std::string board = read_file(stats);
    double generated = 4 * std::stod(board.substr(board.find("words_generated=") + 16));
    double counted = metric_value(last, "qrngd_generated_bytes_total" + p);
    EXPECT_LE(counted, generated) << board;
    EXPECT_GE(counted, generated - 32 * 1048576.0) << board;

    EXPECT_EQ(fast.terminate(), 0) << fast.out();
    std::string fast_last = read_file(fast_prom), fast_board = read_file(fast_stats);
    const std::string fp = "{prefix=\"" + fast.prefix.name() + "\"}";
    generated = 4 * std::stod(fast_board.substr(fast_board.find("words_generated=") + 16));
    counted = metric_value(fast_last, "qrngd_generated_bytes_total" + fp);
    EXPECT_LE(counted, generated) << fast_board << fast_last;
    EXPECT_GE(counted, generated - 1024 * 1048576.0) << fast_board << fast_last;
    EXPECT_NEAR(metric_value(fast_last, "qrngd_ring_wraps_total" + fp), counted / (256 * 1048576.0), 1.0);
    EXPECT_EQ(fast.trace_text().find("\nD "), std::string::npos) << "no DMA read in read-only mode";
    EXPECT_FALSE(watch.writer_seen());
    // The status line, with the filter ratios of -f.
    EXPECT_GE(count_lines_with(fast.out(), "(1) Q2: 0."), 2);
    EXPECT_GE(count_lines_with(fast.out(), " MB/s, 0.00 MB written to pipe"), 2) << fast.out();
}

// The fault tables run a dozen daemons each: with the plain and the
// AddressSanitizer builds, not under ThreadSanitizer, whose threads the other
// end-to-end tests exercise alike.
TEST(FaultTable, UnhealthyOutputIsWithheld)
{
    // Each fault of the board's output over a range of its stream beginning at
    // some byte inside a chunk, while a consumer reads with -r: no faulty word
    // reaches it, and none twice (the chunk holding the onset waits for its
    // successor's verdict); the board is unhealthy meanwhile, counted under the
    // test that caught it, and healthy again after. Ranges start 4 MiB into the
    // stream, or 8 MiB into its second lap for a ring the board stops rewriting
    // (after 8 s at 32 MiB/s).
    const uint64_t mib = 1048576, lap = 256 * mib;
    const struct {
        std::string config, test;
        uint64_t at, bytes;
    } rows[] = {
        {"fault=zero", "repetition", 4 * mib - 516, 2 * mib},
        {"fault=period,fault_period=64", "repetition", 4 * mib + 12344, 2 * mib},
        {"fault=period,fault_period=32768", "repetition", 4 * mib + 4, 2 * mib},
        {"fault=period,fault_period=2097152", "duplicate", 4 * mib + 40000, 6 * mib},
        {"fault=stuck,fault_bit=300", "lane", 4 * mib + 65532, 2 * mib},
        {"fault=stuck,fault_bit=7,fault_lane=64,fault_value=1", "lane", 4 * mib + 30000, 2 * mib},
        {"fault=lane,fault_byte=33", "lane", 4 * mib + 100, 2 * mib},
        {"fault=byte,fault_stride=256", "byte", 4 * mib + 777 * 4, 2 * mib},
        {"fault=bias", "bias", 4 * mib + 2048, 2 * mib},
        {"rate=32,fault=lap", "unwritten", lap + 8 * mib + 1236, 32 * mib},
    };
    temp_dir dir;
    std::vector<std::unique_ptr<sim_daemon>> daemons;
    std::vector<std::unique_ptr<background_process>> checks;
    for (size_t i = 0; i < std::size(rows); i++) {
        daemons.push_back(std::make_unique<sim_daemon>(
            "board=m2,chips=2,rate=16,seed=" + std::to_string(500 + i) + "," + rows[i].config + ",fault_at=" +
                std::to_string(rows[i].at) + ",fault_bytes=" + std::to_string(rows[i].bytes),
            std::vector<std::string>{"-r", "-m", dir.file(std::to_string(i) + ".prom")}));
        checks.push_back(verifier(daemons.back()->fifo, std::to_string(500 + i)));
    }
    // A fault for good: a consumer gets the backup source's bytes (-b); from the
    // start: strict mode (-a) ends the run.
    sim_daemon backup("board=m2,chips=2,rate=4,fault=zero,fault_after=1", {"-r", "-b", "-m", dir.file("backup.prom")});
    background_process reader({"/bin/sh", "-c", "exec cat \"$0\" > /dev/null", backup.fifo});
    sim_daemon strict("board=m2,chips=2,fault=ones", {"-r", "-a"});
    EXPECT_EQ(strict.process().wait(60), 4) << strict.out();
    EXPECT_EQ(count_lines_with(strict.out(), "[ERROR] The board's output failed its start-up test (repetition) - aborting"),
              1) << strict.out();

    // Until each board is healthy again, and the backup source has stood in for a while.
    for (size_t i = 0; i < daemons.size(); i++) {
        sim_daemon& d = *daemons[i];
        EXPECT_TRUE(d.wait_until([&] { return count_lines_with(d.out(), "passes its health tests again") > 0; }, 90))
            << rows[i].config << "\n" << d.out();
    }
    ASSERT_TRUE(backup.wait_until([&] { return count_lines_with(backup.out(), "is withheld") > 0; }, 90));
    ASSERT_TRUE(backup.wait_monitor_passes(count_lines_with(backup.trace_text(), "R 600C") + 8)) << backup.out();
    for (size_t i = 0; i < daemons.size(); i++) {
        sim_daemon& d = *daemons[i];
        EXPECT_EQ(d.terminate(), 0) << d.out();
        EXPECT_EQ(checks[i]->wait(60), 0) << rows[i].config << "\n" << checks[i]->out() << checks[i]->err();
        EXPECT_GE(count_lines_with(d.out(), "[ERROR] The board's output failed its health tests and is withheld"), 1)
            << d.out();
        EXPECT_GE(count_lines_with(d.out(), "[INFO] The board's output passes its health tests again"), 1)
            << d.out();
        std::string m = read_file(dir.file(std::to_string(i) + ".prom"));
        const std::string p = "{prefix=\"" + d.prefix.name() + "\"";
        EXPECT_GE(metric_value(m, "qrngd_health_failures_total" + p + ",test=\"" + rows[i].test + "\"}"), 1) << m;
        EXPECT_GT(metric_value(m, "qrngd_withheld_bytes_total" + p + "}"), 0) << m;
        EXPECT_EQ(metric_value(m, "qrngd_healthy" + p + "}"), 1) << m;
    }
    EXPECT_EQ(backup.terminate(), 0) << backup.out();
    std::string m = read_file(dir.file("backup.prom"));
    const std::string p = "{prefix=\"" + backup.prefix.name() + "\"";
    EXPECT_EQ(metric_value(m, "qrngd_healthy" + p + "}"), 0) << m;
    EXPECT_GT(metric_value(m, "qrngd_delivered_bytes_total" + p + ",source=\"backup\"}"), 10e6) << m;
}

TEST(FaultTable, TransportAndPointerFaultsNeitherStallNorRepeat)
{
    // What the DMA transport and the board's write pointer may do, with -r unless
    // said otherwise: the daemon becomes ready, delivers only fresh words once
    // each, and says why whenever it cannot deliver.
    const struct {
        std::string config;
        std::vector<std::string> options;
        bool verify;          // the capture is checked word by word (else only counted)
        std::string line;     // a line the daemon logs once, "" none
        double share = 0;     // of the words between the first and the last delivered, at least this share delivered
    } rows[] = {
        // Reads slower than the board from the first chunk: overruns during the start-up test.
        {"rate=1024,dma_us=20000", {"-r"}, true, "[WARN] The board overtook the read position although the output had room"},
        // A board at 16 GiB/s, with and without -r; one beyond what the tracking can follow.
        {"rate=16384", {"-r"}, true, ""},
        {"rate=16384", {}, false, ""},
        {"rate=100000", {}, false, "GiB/s, faster than the daemon can follow its write address"},
        // Every other DMA read short: completed by the next; every read short: no chunk completes.
        {"rate=16,short_every=2", {"-r"}, true, "", 0.99},
        {"rate=64,short_every=1", {"-r"}, false,
         "[WARN] The start-up test of the board's output has not completed in 5 s although a reader waits: "},
        // Every 5th DMA read transfers nothing: found by its marks and read again.
        {"rate=16,stale_every=5", {"-r"}, true, "[WARN] A DMA read of 65536 bytes at offset 0x", 0.99},
        // A board that resumed where it stood, its ring below holding another run's words.
        {"rate=64,resume_at=8388608", {"-r"}, true, ""},
        {"rate=64,resume_at=262144", {"-r"}, true, ""},
        // A write address published per 1 MiB burst: every word once, none skipped.
        {"rate=32,burst=1048576", {"-r"}, true, "", 1.0},
        // Writes that trail the published address by 64 KiB, over several laps.
        {"rate=256,lag=65536", {"-r"}, true, ""},
    };
    temp_dir dir;
    std::vector<std::unique_ptr<notify_socket>> sockets;
    std::vector<std::unique_ptr<sim_daemon>> daemons;
    std::vector<std::unique_ptr<background_process>> readers;
    for (size_t i = 0; i < std::size(rows); i++) {
        std::string n = std::to_string(i);
        sockets.push_back(std::make_unique<notify_socket>(dir.file("notify" + n)));
        std::vector<std::string> options = rows[i].options;
        options.insert(options.end(), {"-m", dir.file(n + ".prom")});
        daemons.push_back(std::make_unique<sim_daemon>(
            "board=m2,chips=2,seed=" + std::to_string(700 + i) + "," + rows[i].config, options, nullptr,
            std::vector<std::string>{"NOTIFY_SOCKET=" + sockets.back()->path, "QRNG_SIM_STATS=" + dir.file(n + ".stats")}));
        // 24 MiB at most: a fast board then idles without a reader, and leaves
        // the cores to the other tests.
        readers.push_back(std::make_unique<background_process>(std::vector<std::string>{
            "/bin/sh", "-c", rows[i].verify ? "head -c 24M \"$0\" | \"$1\" --seed $2" : "head -c 24M \"$0\" | wc -c",
            daemons.back()->fifo, QRNG_VERIFY_BIN, std::to_string(700 + i)}));
    }
    for (size_t i = 0; i < daemons.size(); i++) {
        sim_daemon& d = *daemons[i];
        // Ready within seconds of the warm-up (but the board whose reads never
        // complete), then a few seconds of streaming.
        bool stuck = rows[i].config.find("short_every=1") != std::string::npos;
        if (stuck) {
            EXPECT_TRUE(d.wait_until([&] { return count_lines_with(d.out(), rows[i].line) > 0; }, 60)) << d.out();
        } else {
            EXPECT_NE(sockets[i]->until("READY=1", 60), "") << rows[i].config << "\n" << d.out();
        }
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));
    for (size_t i = 0; i < daemons.size(); i++) {
        sim_daemon& d = *daemons[i];
        EXPECT_EQ(d.terminate(), 0) << d.out();
        EXPECT_EQ(readers[i]->wait(60), 0) << rows[i].config << "\n" << readers[i]->out() << readers[i]->err();
        if (!rows[i].line.empty()) {
            EXPECT_EQ(count_lines_with(d.out(), rows[i].line), 1) << d.out();
        }
        std::string m = read_file(dir.file(std::to_string(i) + ".prom"));
        double delivered = metric_value(m, "qrngd_delivered_bytes_total{prefix=\"" + d.prefix.name() + "\",source=\"board\"}");
        EXPECT_GT(delivered, rows[i].line.find("not completed") != std::string::npos ? -1 : 0) << m;
        if (rows[i].share > 0) {
            std::string v = readers[i]->out();
            double checked = std::stod(v.substr(v.find("words checked: ") + 15));
            double skipped = std::stod(v.substr(v.find("words skipped between runs: ") + 28));
            EXPECT_GE(checked, rows[i].share * (checked + skipped)) << v;
        }
    }
}
