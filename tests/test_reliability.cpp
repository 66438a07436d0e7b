// Stop requests at each stage of a run and short DMA reads: what the daemon does
// when things arrive at awkward moments.
#include "defs.h"
#include "qrng.h"
#include "sim_model.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>

namespace {

void no_delay(unsigned long) {}

// Polls `done` every 10 ms for up to `timeout_s` seconds.
template <class F> bool eventually(F done, double timeout_s = 60)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// qrngd-sim on a FIFO of its own; progress is followed in the board's trace.
struct sim_run {
    sim_run(const std::string& config, std::vector<std::string> options)
    {
        mkfifo(fifo.c_str(), 0600);
        std::vector<std::string> argv = {QRNGD_SIM_BIN, "-s", "-v", "3", "-x", prefix.name(), "-p", fifo};
        argv.insert(argv.end(), options.begin(), options.end());
        proc = std::make_unique<background_process>(
            argv, std::vector<std::string>{"QRNG_SIM=" + config, "QRNG_SIM_TRACE=" + trace});
    }
    std::string trace_text() const { return read_file(trace); }

    temp_dir dir;
    unique_prefix prefix;
    std::string fifo = dir.file("qrandom");
    std::string trace = dir.file("trace");
    std::unique_ptr<background_process> proc;
};

} // namespace

// A stop requested before run() (a signal during start-up): the warm-up still
// leaves the board in a known state, then the first pass stops without moving data.
TEST(Reliability, StopRequestedBeforeTheRun)
{
    temp_dir dir;
    unique_prefix prefix;
    std::string trace = dir.file("trace");
    std::string fifo = dir.file("qrandom");
    // A reader is there, so nothing but the stop request keeps data from moving.
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(sim_configure("board=m2,chips=2"), "");
    ASSERT_TRUE(sim_trace_to(trace));
    set_delay_function(no_delay);
    {
        qrng_handler engine(fifo, prefix.name());
        ASSERT_TRUE(engine.check_version());
        qrng_handler::exit_flag = 2; // what SIGINT's handler sets
        EXPECT_EQ(engine.run(), 1);
    }
    set_delay_function(nullptr);
    sim_trace_to("");
    close(reader);
    qrng_handler::exit_flag = 0;
    std::string t = read_file(trace);
    EXPECT_EQ(t.find("\nD "), std::string::npos) << "no DMA read after a stop request";
    size_t mode = t.find("W 6018 ");
    ASSERT_NE(mode, std::string::npos) << t;
    EXPECT_NE(t.find("W 6000 AF000000\nW 6000 AE000000", mode), std::string::npos) << t;
}

// A signal while the chips warm up: the run ends with the signal's status and
// notice, before any data is moved, and the board is shut down.
TEST(Reliability, SignalDuringWarmUp)
{
    struct { const char* config; int sig; int status; const char* notice; } cases[] = {
        {"board=pcie,chips=2", SIGINT, 1, "[INFO] sigint received. exiting..."},
        {"board=m2,chips=2", SIGTERM, 0, "[INFO] sigterm received. exiting..."},
    };
    for (const auto& c : cases) {
        sim_run d(c.config, {});
        background_process consumer({"/bin/sh", "-c", "exec cat \"$0\" >/dev/null", d.fifo});
        // spi_enable comes just before the boot animation, which lasts seconds.
        ASSERT_TRUE(eventually([&] { return d.trace_text().find("W 6000 A0000000") != std::string::npos; }))
            << d.proc->out();
        d.proc->send_signal(c.sig);
        EXPECT_EQ(d.proc->wait(30), c.status) << c.config;
        EXPECT_EQ(count_lines_with(d.proc->out(), c.notice), 1) << d.proc->out();
        std::string t = d.trace_text();
        EXPECT_EQ(t.find("\nD "), std::string::npos) << c.config << ": no DMA read";
        EXPECT_NE(t.find("W 6000 BF000000"), std::string::npos) << c.config << ": shut down";
    }
}

// A dead chip (without strict mode) leaves the others streaming. Short DMA reads:
// only what was read is written and the next read continues right after it, so
// the consumer's stream has neither gaps nor repeats.
TEST(Reliability, DeadChipAndShortReadsKeepTheStreamContiguous)
{
    sim_run d("board=m2,chips=2,dead=1,rate=64,seed=606,short_every=3", {"-r"});
    background_process consumer({"/bin/sh", "-c", "exec \"$0\" --seed 606 < \"$1\"", QRNG_VERIFY_BIN, d.fifo});
    ASSERT_TRUE(eventually([&] { return count_lines_with(d.trace_text(), " 65536 32768") >= 5; })) << d.proc->out();
    d.proc->send_signal(SIGTERM);
    EXPECT_EQ(d.proc->wait(30), 0) << d.proc->out();
    EXPECT_EQ(consumer.wait(60), 0) << consumer.out() << consumer.err();
}
