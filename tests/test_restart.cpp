// Consumers across a restart of the simulated daemon, with the FIFO held open by
// another process, as the socket unit qrngd-fifo@.socket holds it.
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <cstdio>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

template <class F> bool wait_until(F done, double timeout_s)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

long long file_size(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Processor time of a process so far, in clock ticks (utime + stime), 0 once it is gone.
long cpu_ticks(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    unsigned long utime = 0, stime = 0; // fields 14 and 15, after the command in brackets
    size_t end = stat.rfind(')');
    if (end != std::string::npos)
        sscanf(stat.c_str() + end + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    return static_cast<long>(utime + stime);
}

// A FIFO with its holder, its consumer writing what it reads into a capture, and
// the daemon runs feeding it.
struct stream {
    std::string fifo, capture;
    unique_prefix prefix;
    std::unique_ptr<background_process> holder, consumer, daemon;

    void start_daemon(const std::string& seed, const std::string& prom)
    {
        daemon = std::make_unique<background_process>(
            std::vector<std::string>{QRNGD_SIM_BIN, "-s", "-v", "2", "-x", prefix.name(), "-p", fifo, "-r", "-m", prom},
            std::vector<std::string>{"QRNG_SIM=board=m2,chips=2,rate=16,seed=" + seed});
    }
    // Bytes the run delivered, from its last metrics file.
    double delivered(const std::string& prom) const
    {
        std::string text = read_file(prom);
        std::string name = "\nqrngd_delivered_bytes_total{prefix=\"" + prefix.name() + "\",source=\"board\"} ";
        size_t at = text.find(name);
        return at == std::string::npos ? -1 : std::stod(text.substr(at + name.size()));
    }
};

} // namespace

// Runs in the plain and the AddressSanitizer builds, not under ThreadSanitizer:
// its four daemon runs and their consumers would starve the other end-to-end
// tests' threads there, while adding no thread of the engine they do not exercise.
TEST(Restart, HeldFifoCarriesConsumersThroughARestart)
{
    // Two boards, each FIFO held open read-write by a process that sleeps: one
    // read by cat, which ends at end of file, one by a loop on read() that never
    // ends and would spin on end of file. Between the daemon's two runs nothing
    // writes to either FIFO and neither consumer may see end of file.
    temp_dir dir;
    stream s[2];
    for (int i = 0; i < 2; i++) {
        s[i].fifo = dir.file("qrandom" + std::to_string(i));
        s[i].capture = dir.file("capture" + std::to_string(i));
        ASSERT_EQ(mkfifo(s[i].fifo.c_str(), 0644), 0);
        s[i].holder = std::make_unique<background_process>(
            std::vector<std::string>{"/bin/sh", "-c", "exec 3<>\"$0\"; exec sleep 600", s[i].fifo});
        pid_t holder = s[i].holder->pid();
        ASSERT_TRUE(wait_until([&] { return read_file("/proc/" + std::to_string(holder) + "/comm") == "sleep\n"; }, 30));
    }
    s[0].consumer = std::make_unique<background_process>(
        std::vector<std::string>{"/bin/sh", "-c", "exec cat \"$0\" > \"$1\"", s[0].fifo, s[0].capture});
    const std::string fifo = s[1].fifo, capture = s[1].capture;
    s[1].consumer = std::make_unique<background_process>([fifo, capture] {
        int in = open(fifo.c_str(), O_RDONLY);
        int out = open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        char buf[4096];
        for (;;) {
            ssize_t n = read(in, buf, sizeof buf);
            for (ssize_t done = 0; n > 0 && done < n;) {
                ssize_t w = write(out, buf + done, static_cast<size_t>(n - done));
                if (w <= 0)
                    _exit(1);
                done += w;
            }
        }
    });

    const std::string seeds[2][2] = {{"611", "612"}, {"621", "622"}};
    const std::string prom[2][2] = {{dir.file("a1.prom"), dir.file("a2.prom")}, {dir.file("b1.prom"), dir.file("b2.prom")}};
    for (int i = 0; i < 2; i++)
        s[i].start_daemon(seeds[i][0], prom[i][0]);
    for (auto& st : s)
        ASSERT_TRUE(wait_until([&] { return file_size(st.capture) >= 4 << 20 || !st.daemon->running(); }, 120))
            << st.daemon->out();
    for (auto& st : s) {
        st.daemon->send_signal(SIGTERM);
        EXPECT_EQ(st.daemon->wait(30), 0) << st.daemon->out();
    }

    // The gap: both consumers wait in read(), costing next to nothing.
    const double gap_s = 2;
    long before[2];
    for (int i = 0; i < 2; i++)
        before[i] = cpu_ticks(s[i].consumer->pid());
    std::this_thread::sleep_for(std::chrono::duration<double>(gap_s));
    for (int i = 0; i < 2; i++) {
        EXPECT_TRUE(s[i].consumer->running()) << "consumer " << i << " ended in the gap";
        EXPECT_LT(cpu_ticks(s[i].consumer->pid()) - before[i], 0.1 * gap_s * sysconf(_SC_CLK_TCK))
            << "consumer " << i << " spun in the gap";
    }
    ASSERT_TRUE(s[0].consumer->running() && s[1].consumer->running());

    double first[2];
    for (int i = 0; i < 2; i++) {
        first[i] = s[i].delivered(prom[i][0]);
        ASSERT_GT(first[i], 0) << read_file(prom[i][0]);
        s[i].start_daemon(seeds[i][1], prom[i][1]);
    }
    for (int i = 0; i < 2; i++)
        ASSERT_TRUE(wait_until([&] { return file_size(s[i].capture) >= first[i] + (4 << 20) || !s[i].daemon->running(); },
                               120))
            << s[i].daemon->out();
    for (int i = 0; i < 2; i++) {
        s[i].daemon->send_signal(SIGTERM);
        EXPECT_EQ(s[i].daemon->wait(30), 0) << s[i].daemon->out();
        // The consumer gets every byte both runs delivered, and nothing else.
        double total = first[i] + s[i].delivered(prom[i][1]);
        EXPECT_TRUE(wait_until([&] { return file_size(s[i].capture) >= total; }, 60)) << total;
        EXPECT_EQ(file_size(s[i].capture), total);
    }
    // Without its holder the FIFO ends: cat leaves.
    s[0].holder.reset();
    EXPECT_EQ(s[0].consumer->wait(30), 0);

    // Each capture: run 1's bytes (the last of them read after the stop, from the
    // pipe), then run 2's, each from its own seed.
    for (int i = 0; i < 2; i++) {
        std::string data = read_file(s[i].capture);
        size_t split = static_cast<size_t>(first[i]);
        ASSERT_LT(split, data.size());
        for (int part = 0; part < 2; part++) {
            std::string file = s[i].capture + ".part" + std::to_string(part);
            write_file(file, part == 0 ? data.substr(0, split) : data.substr(split));
            proc_result check =
                run_command({"/bin/sh", "-c", "exec \"$0\" --seed \"$1\" < \"$2\"", QRNG_VERIFY_BIN, seeds[i][part], file});
            EXPECT_EQ(check.status, 0) << "stream " << i << " run " << part + 1 << "\n" << check.out << check.err;
        }
    }
}
