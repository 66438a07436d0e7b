// The simulated daemon run as a user runs it: a real FIFO, real consumer
// processes, real signals, and the board simulator's trace and known content.
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <regex.h>
#include <sys/stat.h>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

// One qrngd-sim process with its own prefix, FIFO and trace file.
class sim_daemon {
public:
    // `existing` is what stands at the FIFO path before the start: empty for a FIFO,
    // otherwise the content of a regular file.
    sim_daemon(const std::string& sim_config, std::vector<std::string> options, const std::string& existing = "")
        : fifo(dir.file("qrandom")), trace(dir.file("trace"))
    {
        if (existing.empty())
            mkfifo(fifo.c_str(), 0600);
        else
            write_file(fifo, existing);
        std::vector<std::string> argv = {QRNGD_SIM_BIN, "-s", "-v", "3", "-x", prefix.name(), "-p", fifo};
        argv.insert(argv.end(), options.begin(), options.end());
        proc = std::make_unique<background_process>(
            argv, std::vector<std::string>{"QRNG_SIM=" + sim_config, "QRNG_SIM_TRACE=" + trace});
    }
    ~sim_daemon() { proc.reset(); }

    background_process& process() { return *proc; }
    std::string out() const { return proc->out(); }
    std::string trace_text() const { return read_file(trace); }
    // Standard output is block-buffered when it is not a terminal, so progress is
    // followed in the trace, which the simulated board writes line by line.
    // Waits until the monitor has made `passes` compute passes (one status word read each).
    bool wait_monitor_passes(int passes, double timeout_s = 60)
    {
        return wait_until([&] { return count_lines_with(trace_text(), "R 600C") >= passes; }, timeout_s);
    }
    // Waits until streaming has begun: the monitor's first compute pass.
    bool wait_streaming(double timeout_s = 60) { return wait_monitor_passes(1, timeout_s); }
    // Waits until the monitor has seen the DDR write address go back `wraps` times.
    bool wait_wraps(int wraps, double timeout_s = 60)
    {
        return wait_until([&] { return count_wraps() >= wraps; }, timeout_s);
    }
    int count_wraps() const
    {
        std::istringstream lines(trace_text());
        std::string line;
        unsigned long last = 0;
        int wraps = 0;
        while (std::getline(lines, line)) {
            if (line.rfind("R 6008 ", 0) != 0)
                continue;
            unsigned long address = std::stoul(line.substr(7), nullptr, 16);
            if (address < last)
                wraps++;
            last = address;
        }
        return wraps;
    }
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

// An extended POSIX regular expression.
class posix_regex {
public:
    explicit posix_regex(const std::string& pattern) { ok = regcomp(&re, pattern.c_str(), REG_EXTENDED | REG_NOSUB) == 0; }
    ~posix_regex()
    {
        if (ok)
            regfree(&re);
    }
    bool matches(const std::string& text) const { return ok && regexec(&re, text.c_str(), 0, nullptr, 0) == 0; }

private:
    regex_t re;
    bool ok;
};

} // namespace

TEST(EndToEnd, CapturesVerifyWithAndWithoutNewRandomness)
{
    // With -r: fresh data only, over two ring wraps. Without: after the first wrap
    // the ring is read on continuously, each word from some lap already written.
    sim_daemon fresh("board=m2,chips=2,rate=128,seed=101", {"-r"});
    sim_daemon continuous("board=m2,chips=2,rate=512,seed=202", {});
    auto fresh_check = verifier(fresh.fifo, "101");
    auto continuous_check = verifier(continuous.fifo, "202", "--any-lap");
    ASSERT_TRUE(continuous.wait_wraps(1)) << continuous.out();
    ASSERT_TRUE(fresh.wait_wraps(2)) << fresh.out();
    EXPECT_EQ(fresh.terminate(), 0) << fresh.out();
    EXPECT_EQ(continuous.terminate(), 0) << continuous.out();
    EXPECT_EQ(fresh_check->wait(60), 0) << fresh_check->out() << fresh_check->err();
    EXPECT_EQ(continuous_check->wait(60), 0) << continuous_check->out() << continuous_check->err();
}

TEST(EndToEnd, SignalsEndTheRunWithTheirStatusAndNotice)
{
    sim_daemon term("board=m2,chips=1", {"-r"});
    sim_daemon intr("board=m2,chips=1", {"-r"});
    ASSERT_TRUE(term.wait_streaming()) << term.out();
    ASSERT_TRUE(intr.wait_streaming()) << intr.out();
    term.process().send_signal(SIGTERM);
    intr.process().send_signal(SIGINT);
    EXPECT_EQ(term.process().wait(30), 0);
    EXPECT_EQ(intr.process().wait(30), 1);
    EXPECT_EQ(count_lines_with(term.out(), "[INFO] sigterm received. exiting..."), 1) << term.out();
    EXPECT_EQ(count_lines_with(intr.out(), "[INFO] sigint received. exiting..."), 1) << intr.out();
    // The chips are stopped and the board shut down on the way out.
    for (sim_daemon* d : {&term, &intr}) {
        std::string t = d->trace_text();
        size_t stop = t.rfind("W 6000 AF000000");
        ASSERT_NE(stop, std::string::npos);
        EXPECT_LT(stop, t.rfind("W 6000 AE000000"));
        EXPECT_LT(t.rfind("W 6000 AE000000"), t.rfind("W 6000 BF000000"));
    }
}

TEST(EndToEnd, EveryChipDyingStopsTheDaemon)
{
    sim_daemon d("board=m2,chips=2,die_after=0.2", {"-r"});
    EXPECT_EQ(d.process().wait(90), 1) << d.out();
    EXPECT_EQ(count_lines_with(d.out(), "[ERROR] No Active/Valid QRNG Chips available - aborting"), 1) << d.out();
}

TEST(EndToEnd, StartupRefusals)
{
    // Strict mode with a dead chip: refused before the FIFO is ever opened.
    sim_daemon strict("board=m2,dead=2", {"-a"});
    fifo_watch watch(strict.fifo);
    // A bitstream of no known board.
    sim_daemon unknown("version=0x12345678", {});

    EXPECT_EQ(strict.process().wait(60), 4) << strict.out();
    EXPECT_EQ(count_lines_with(strict.out(), "[ERROR] Only 3/4 QRNG Chips are available - aborting"), 1)
        << strict.out();
    EXPECT_EQ(strict.out().find("Start throughput thread"), std::string::npos);
    EXPECT_FALSE(watch.writer_seen());

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
         {"W 6008 0000000F", "W 6014 00000005", "R 6004", "W 6000 D0000000", "W 6000 D2000000", "W 6000 D5000000",
          "W 6000 AF000000", "W 6000 AE000000", "W 6000 A0000000", "W 6000 A3000000", "W 6000 A2000000",
          "W 6018 20100001"}},
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

TEST(EndToEnd, ReadOnlyModeNeverTouchesTheStream)
{
    const std::string tail = "Cycle: [0-9]+ [0-9]+\\.[0-9]{2} MB gen - Page 0 Actual DDR_Addr [0-9]+ - offset "
                             "[0-9A-F]{8}, estimated thput: [0-9]+\\.[0-9]{2} MB/s, 0\\.00 MB written to pipe$";
    const std::string ratio = "[01]\\.[0-9]{2}";
    posix_regex plain("^\\[INFO\\] Q1: " + ratio + "\\(1\\) Q2: " + ratio + "\\(1\\) " + tail);
    posix_regex filtered("^\\[INFO\\] Q1: " + ratio + "/" + ratio + "\\(1\\) Q2: " + ratio + "/" + ratio +
                         "\\(1\\) " + tail);
    sim_daemon plain_run("board=m2,chips=2,rate=16", {"-o"});
    sim_daemon filter_run("board=m2,chips=2,rate=16", {"-o", "-f"});
    fifo_watch watch_plain(plain_run.fifo);
    fifo_watch watch_filter(filter_run.fifo);
    ASSERT_TRUE(plain_run.wait_monitor_passes(3)) << plain_run.out();
    ASSERT_TRUE(filter_run.wait_monitor_passes(3)) << filter_run.out();
    EXPECT_EQ(plain_run.terminate(), 0);
    EXPECT_EQ(filter_run.terminate(), 0);

    for (auto [d, re] : {std::pair{&plain_run, &plain}, std::pair{&filter_run, &filtered}}) {
        std::istringstream lines(d->out());
        std::string line;
        int cycles = 0;
        while (std::getline(lines, line)) {
            if (line.find("Cycle:") == std::string::npos)
                continue;
            cycles++;
            EXPECT_TRUE(re->matches(line)) << line;
        }
        EXPECT_GE(cycles, 2);
        EXPECT_EQ(d->trace_text().find("\nD "), std::string::npos) << "no DMA read in read-only mode";
    }
    EXPECT_FALSE(watch_plain.writer_seen());
    EXPECT_FALSE(watch_filter.writer_seen());
}

TEST(EndToEnd, ConsumersComeAndGo)
{
    sim_daemon d("board=m2,chips=2,rate=64,seed=303", {"-r"});
    ASSERT_TRUE(d.wait_streaming()) << d.out();
    // The first consumer takes a little and leaves.
    proc_result first = run_command({"/bin/sh", "-c", "head -c 3000000 \"$0\" | wc -c", d.fifo});
    EXPECT_EQ(first.out, "3000000\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(d.process().running()) << d.out();
    // A later one picks up the stream wherever it is.
    auto second = verifier(d.fifo, "303", "--anywhere");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(d.terminate(), 0) << d.out();
    EXPECT_EQ(second->wait(60), 0) << second->out() << second->err();
}

TEST(EndToEnd, SlowConsumerGetsNoByteTwice)
{
    // The board laps a consumer of under 400 KiB/s every two seconds: the FIFO
    // stays full and the read address falls a whole ring behind again and again.
    sim_daemon d("board=m2,chips=2,rate=128,seed=404", {"-r"});
    std::string capture = d.dir.file("capture");
    // Ends when a read brings nothing more (end of file).
    background_process consumer({"/bin/sh", "-c",
                                 "exec 3<\"$0\"; : >\"$1\"; size=-1; "
                                 "while [ \"$(stat -c %s \"$1\")\" != \"$size\" ]; do "
                                 "size=$(stat -c %s \"$1\"); "
                                 "dd bs=4096 count=1 iflag=fullblock status=none <&3 >>\"$1\"; sleep 0.01; done",
                                 d.fifo, capture});
    ASSERT_TRUE(d.wait_wraps(4)) << d.out();
    EXPECT_EQ(d.terminate(), 0) << d.out();
    consumer.wait(30);
    proc_result check = run_command({"/bin/sh", "-c", "exec \"$0\" --seed 404 < \"$1\"", QRNG_VERIFY_BIN, capture});
    EXPECT_EQ(check.status, 0) << check.out << check.err;
}

TEST(EndToEnd, ChecksumCheckReportsInjectedFaultsAndTheStreamStaysIntact)
{
    sim_daemon d("board=m2,chips=2,rate=64,seed=505,corrupt_every=20,dma_fail_every=9", {"-r", "-d"});
    auto consumer = verifier(d.fifo, "505");
    ASSERT_TRUE(d.wait_streaming()) << d.out();
    ASSERT_TRUE(d.wait_monitor_passes(8)) << d.out();
    EXPECT_EQ(d.terminate(), 0);
    EXPECT_GE(count_lines_with(d.out(), "[WARN] Corrupted data on transaction on 0x"), 2) << d.out();
    EXPECT_GE(count_lines_with(d.out(), "[ERROR] Error on reading data from device"), 1) << d.out();
    EXPECT_EQ(consumer->wait(60), 0) << consumer->out() << consumer->err();
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

TEST(EndToEnd, RegularFileAtTheFifoPathIsLeftAlone)
{
    const std::string content = "precious data, not a FIFO\n";
    sim_daemon d("board=m2,chips=1,rate=64", {"-r"}, content);
    ASSERT_TRUE(d.wait_streaming()) << d.out();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(d.terminate(), 0) << d.out();
    EXPECT_EQ(read_file(d.fifo), content);
    EXPECT_EQ(count_lines_with(d.out(), "[ERROR] Output " + d.fifo + " is not a FIFO or character device"), 1)
        << d.out();
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

TEST(EndToEnd, SignalDuringWarmUp)
{
    // The run ends with the signal's status and notice before any data moves, and
    // the board is shut down.
    struct { const char* config; int sig; int status; const char* notice; } cases[] = {
        {"board=pcie,chips=2", SIGINT, 1, "[INFO] sigint received. exiting..."},
        {"board=m2,chips=2", SIGTERM, 0, "[INFO] sigterm received. exiting..."},
    };
    for (const auto& c : cases) {
        sim_daemon d(c.config, {});
        background_process consumer({"/bin/sh", "-c", "exec cat \"$0\" >/dev/null", d.fifo});
        // spi_enable comes just before the boot animation, which lasts seconds.
        ASSERT_TRUE(d.wait_until([&] { return d.trace_text().find("W 6000 A0000000") != std::string::npos; }, 60))
            << d.out();
        d.process().send_signal(c.sig);
        EXPECT_EQ(d.process().wait(30), c.status) << c.config;
        EXPECT_EQ(count_lines_with(d.out(), c.notice), 1) << d.out();
        std::string t = d.trace_text();
        EXPECT_EQ(t.find("\nD "), std::string::npos) << c.config << ": no DMA read";
        EXPECT_NE(t.find("W 6000 BF000000"), std::string::npos) << c.config << ": shut down";
    }
}

TEST(EndToEnd, DeadChipAndShortReadsKeepTheStreamContiguous)
{
    // One dead chip leaves the other streaming; after a short DMA read the next read
    // continues right after what was written: no gap, no repeat.
    sim_daemon d("board=m2,chips=2,dead=1,rate=64,seed=606,short_every=3", {"-r"});
    auto consumer = verifier(d.fifo, "606");
    ASSERT_TRUE(d.wait_until([&] { return count_lines_with(d.trace_text(), " 65536 32768") >= 5; }, 60)) << d.out();
    EXPECT_EQ(d.terminate(), 0) << d.out();
    EXPECT_EQ(consumer->wait(60), 0) << consumer->out() << consumer->err();
}
