// The simulated board: what the rest of the suite relies on without seeing it.
#include "sim_content.h"
#include "sim_model.h"
#include "test_support.h"
#include "xdma.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>

namespace {

class SimModel : public ::testing::Test {
protected:
    void SetUp() override { dev.open_user(), dev.open_c2h(); }
    void TearDown() override { sim_trace_to(""), sim_configure(""); }
    void board(const std::string& config) { ASSERT_EQ(sim_configure(config), ""); }
    xdma_handler dev{"simunit"};
};

} // namespace

// The stream qrng-verify expects: with seed 0 it starts AF CD 1D 7B 39 A8 20 E2.
TEST(SimContent, KnownVector)
{
    char head[8];
    sim_content_bytes(0, 0, reinterpret_cast<unsigned char*>(head), 8);
    EXPECT_EQ(std::string(head, 8), "\xAF\xCD\x1D\x7B\x39\xA8\x20\xE2");
}

// The write pointer read at 0x6008 with a frozen clock; 1024 MiB/s is a lap of 0x4000000 words every 0.25 s.
TEST_F(SimModel, PointerOverTime)
{
    board("rate=1024");
    sim_freeze_clock();
    // Start, stop, start into lap 1, reset, -, shut-down, start, start-up: command (0: none), seconds, pointer.
    const std::tuple<unsigned, double, unsigned> steps[] = {
        {0, 0.3, 0}, {0xA2000000, 0.1, 26843545}, {0xAF000000, 0.3, 26843545}, {0xA2000000, 0.2, 13421772} /* lap 1 */,
        {0xA3000000, 0, 0}, {0, 0.01, 2684354}, {0xBF000000, 0.3, 2684354}, {0xA2000000, 0.01, 5368708},
        {0xB0000000, 0.3, 0}};
    for (const auto& [command, seconds, expected] : steps) {
        if (command)
            dev.write_register(0x6000, command);
        sim_advance_clock(seconds);
        EXPECT_EQ(dev.read_register(0x6008, nullptr, 1), expected) << std::hex << command;
    }
}

TEST(SimConfig, BadConfigurationsExitTwoNamingTheKey)
{
    for (const std::string key : {"colour=red", "rate=fast", "chips=33", "dead", "dma_hang_s=600.5"}) {
        const proc_result r = run_command({QRNGD_SIM_BIN, "-h"}, {"QRNG_SIM=" + key}, 30);
        EXPECT_EQ(std::make_pair(r.status, r.out), std::make_pair(2, std::string())) << key;
        EXPECT_NE(r.err.find(key.substr(0, key.find('='))), std::string::npos) << key << ": " << r.err;
    }
}

TEST_F(SimModel, DmaFaults)
{
    board("dma_fail_every=2,short_every=3");
    static unsigned char buf[4096];
    for (long expected : {4096, -1, 2048, -1, 4096, -1, 4096, -1, 2048})
        EXPECT_EQ(dev.read_memory(buf, 4096, 0), expected);
    EXPECT_EQ(std::make_tuple(sim_get_state().dma_reads, sim_get_state().dma_bytes), std::make_tuple(9u, 16384u));

    // Every read takes 30 ms; the second hangs for a second without keeping the registers from answering.
    board("dma_us=30000,dma_hang=2,dma_hang_s=1");
    auto t = std::chrono::steady_clock::now();
    dev.read_memory(buf, 4096, 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t, std::chrono::milliseconds(30));
    std::atomic<bool> returned{false};
    t = std::chrono::steady_clock::now();
    std::thread hung([&] { returned = dev.read_memory(buf, 4096, 0) == 4096; });
    while (sim_get_state().dma_reads < 2)
        std::this_thread::yield();
    EXPECT_EQ(dev.read_register(0x6000, nullptr, 1), 0xDA000102u);
    EXPECT_FALSE(returned);
    hung.join();
    EXPECT_TRUE(returned);
    EXPECT_GE(std::chrono::steady_clock::now() - t, std::chrono::seconds(1));
}

TEST_F(SimModel, TraceFormat)
{
    temp_dir dir;
    ASSERT_TRUE(sim_trace_to(dir.file("trace")));
    unsigned buf[2];
    dev.write_register(0x6000, 0xB0000000);
    dev.read_register(0x6018, buf, 2);
    dev.read_memory(buf, 8, 0x10000);
    dev.read_memory(buf, 8, SIM_RING_BYTES); // past the ring's end
    dev.close_c2h(), dev.open_c2h();
    EXPECT_EQ(read_file(dir.file("trace")), "W 6000 B0000000\nR 6018 00000000\nR 601C 00000000\nD 00010000 8 8\n"
                                            "D 10000000 8 -1\nC /dev/simunit_c2h_0\nO /dev/simunit_c2h_0\n");
}
