// The simulated board: what the rest of the suite relies on without seeing it.
// The rest of the suite drives it end to end: its pointer, faults and trace.
#include "sim_content.h"
#include "sim_model.h"
#include "test_support.h"

#include <array>
#include <functional>
#include <gtest/gtest.h>
#include <numeric>
#include <vector>

// The stream qrng-verify expects: with seed 0 it starts AF CD 1D 7B 39 A8 20 E2.
TEST(SimContent, KnownVector)
{
    char head[8];
    sim_content_bytes(0, 0, reinterpret_cast<unsigned char*>(head), 8);
    EXPECT_EQ(std::string(head, 8), "\xAF\xCD\x1D\x7B\x39\xA8\x20\xE2");
}

TEST(SimConfig, BadConfigurationsExitTwoNamingTheKey)
{
    for (const std::string key : {"colour=red", "rate=fast", "chips=33", "dead", "dma_hang_s=600.5", "fault=weird",
                                  "fault_period=100"}) {
        const proc_result r = run_command({QRNGD_SIM_BIN, "-h"}, {"QRNG_SIM=" + key}, 30);
        EXPECT_EQ(std::make_pair(r.status, r.out), std::make_pair(2, std::string())) << key;
        EXPECT_NE(r.err.find(key.substr(0, key.find('='))), std::string::npos) << key << ": " << r.err;
    }
}

// The board's own faults, one board per row at 1/16 MiB/s (16384 words a second)
// on the test clock: what the daemon's checks and the end-to-end tests rely on.
TEST(SimModel, TimedAndReadFaults)
{
    auto step = [](double s) { sim_advance_clock(s); return sim_register_read(0x6008, nullptr, 0); };
    auto pair = [] { std::array<unsigned, 2> p{}; sim_register_read(0x6018, p.data(), 2); return p; };
    auto ring = [](size_t words) {
        std::vector<uint32_t> r(words, 0xEEEEEEEE);
        EXPECT_EQ(sim_dma_read(r.data(), 4 * words, 0), static_cast<ssize_t>(4 * words));
        return r;
    };
    auto block_xor = [](const std::vector<uint32_t>& r, uint32_t a) {
        return std::accumulate(r.begin() + a, r.begin() + a + 512, 0u, std::bit_xor<uint32_t>());
    };
    std::vector<std::pair<std::string, std::function<void()>>> rows = {
        {"restart_after=1", [&] {
             EXPECT_EQ(step(1.5), 8192u);
             const auto r = ring(16384); // the new lap, then the forgotten content
             EXPECT_EQ(r[0], sim_content_word(7, 0));
             EXPECT_EQ(std::count(r.begin() + 8192, r.end(), 0u), 8192);
         }},
        {"stall_after=1,stall_for=1", [&] {
             EXPECT_EQ(step(1.5), 16384u);
             EXPECT_NE(sim_register_read(0x600C, nullptr, 0), 0u);
             EXPECT_EQ(step(1), 24576u);
         }},
        {"torn_every=1", [&] {
             step(1);
             const auto torn = pair(), whole = pair();
             const auto r = ring(16384);
             EXPECT_EQ(whole[0], block_xor(r, whole[1]));
             EXPECT_EQ(torn, (std::array<unsigned, 2>{block_xor(r, whole[1] - 512), whole[1]}));
             EXPECT_EQ(pair(), torn);
         }},
        {"stale_every=2", [&] {
             step(1);
             ring(1024);
             EXPECT_EQ(ring(1024), std::vector<uint32_t>(1024, 0xEEEEEEEE));
             EXPECT_EQ(sim_get_state().dma_bytes, 8192u);
         }},
    };
    for (const std::string kind : {"zero", "ones", "constant", "period", "bias", "byte"})
        rows.push_back({"fault_after=0.99,fault_for=1,fault=" + kind, [&] {
                            step(1.01); // the block reported holds the window's first words
                            const auto report = pair();
                            step(1.99);
                            const auto r = ring(49152);
                            EXPECT_EQ(report[0], block_xor(r, report[1]));
                            for (uint32_t n = 0; n < r.size(); n++)
                                ASSERT_EQ(r[n] != sim_content_word(7, n), n >= 16220 && n < 32604) << n;
                        }});
    for (const auto& [config, check] : rows) {
        SCOPED_TRACE(config);
        ASSERT_EQ(sim_configure("seed=7,rate=0.0625," + config), "");
        sim_freeze_clock();
        sim_register_write(0x6000, 0xA2000000);
        check();
    }
    sim_configure("");
}
