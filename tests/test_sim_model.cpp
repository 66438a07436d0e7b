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
    auto ring = [](size_t words, unsigned long at = 0) {
        std::vector<uint32_t> r(words, 0xEEEEEEEE);
        EXPECT_EQ(sim_dma_read(r.data(), 4 * words, 4 * at), static_cast<ssize_t>(4 * words));
        return r;
    };
    auto word = [](uint64_t n) { return sim_content_word(7, n); };
    // Each word read from `at` on is want(address).
    auto expect_ring = [&](size_t words, unsigned long at, const std::function<uint32_t(uint64_t)>& want) {
        const auto r = ring(words, at);
        for (uint64_t a = at; a < at + words; a++)
            ASSERT_EQ(r[a - at], want(a)) << a;
    };
    auto block_xor = [](const std::vector<uint32_t>& r, uint32_t a) {
        return std::accumulate(r.begin() + a, r.begin() + a + 512, 0u, std::bit_xor<uint32_t>());
    };
    std::vector<std::pair<std::string, std::function<void()>>> rows = {
        // The stream goes on after the restart, in a new lap 0 with the old content
        // forgotten; fault_at counts stream positions, the restart's included.
        {"restart_after=1,fault=zero,fault_at=65936,fault_bytes=400", [&] {
             EXPECT_EQ(step(1.5), 8192u);
             expect_ring(16384, 0, [&](uint64_t a) { return a >= 8192 || (a >= 100 && a < 200) ? 0 : word(16384 + a); });
             const auto p = pair();
             EXPECT_EQ(p[0], block_xor(ring(8192), p[1]));
         }},
        {"restart_after=1.0001", [&] { // a restart at an odd position: still consistent reports
             const uint32_t top = step(1.5);
             EXPECT_EQ(ring(1)[0], word(16385));
             const auto p = pair();
             EXPECT_EQ(p[0], block_xor(ring(top), p[1]));
         }},
        // Resumed at 4096 bytes over another stream, at configuration and after spi_reset.
        {"resume_at=4096", [&] {
             EXPECT_EQ(step(0), 1024u);
             EXPECT_EQ(step(1), 17408u);
             for (int pass = 0; pass < 2; pass++) {
                 const auto r = ring(1024);
                 for (uint64_t a = 0; a < 1024; a++)
                     ASSERT_NE(r[a], word(a)) << a;
                 expect_ring(2048, 1024, [&](uint64_t a) { return pass == 0 ? word(a) : 0; });
                 sim_register_write(0x6000, 0xA3000000);
                 EXPECT_EQ(step(0), 1024u);
                 EXPECT_EQ(ring(1024), r);
             }
         }},
        // The address in steps of 2048 words (the content ahead of it is there); a lag of
        // 1024 words below it (lap 0: 0), and the report of a block the ring holds.
        {"burst=8192,lag=4096", [&] {
             EXPECT_EQ(step(0.99), 14336u);
             expect_ring(16384, 0, [&](uint64_t a) { return a >= 13312 && (a < 14336 || a >= 16220) ? 0 : word(a); });
             const auto p = pair();
             EXPECT_EQ(p[1], 12800u);
             EXPECT_EQ(p[0], block_xor(ring(16384), p[1]));
         }},
        {"lag=4096", [&] { // a lag in lap 1: the lap before's words
             EXPECT_EQ(step(4097), 16384u);
             expect_ring(16384, 0, [&](uint64_t a) { return word(a < 15360 ? SIM_RING_WORDS + a : a); });
         }},
        // fault=lap for good from 100 words into lap 1: those words are lap 0's, and so
        // is the checksum reported.
        {"fault=lap,fault_at=268435856", [&] {
             step(4097);
             expect_ring(16384, 0, [&](uint64_t a) { return word(a < 100 ? SIM_RING_WORDS + a : a); });
             const auto p = pair();
             EXPECT_EQ(p[0], block_xor(ring(16384), p[1]));
         }},
        {"short_every=1", [&] {
             step(1);
             uint32_t w = 0;
             EXPECT_EQ(sim_dma_read(&w, 4, 0), 0);
             EXPECT_EQ(sim_dma_read(&w, 8, 0), 4);
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
        rows.push_back({"fault_after=0.99,fault_for=1,fault=" + kind, [&, kind] {
                            step(1.01); // the block reported holds the window's first words
                            const auto report = pair();
                            step(1.99);
                            const auto r = ring(49152);
                            EXPECT_EQ(report[0], block_xor(r, report[1]));
                            // A period repeats the window's first 64 bytes.
                            const uint32_t from = kind == "period" ? 16236 : 16220;
                            for (uint32_t n = 0; n < r.size(); n++)
                                ASSERT_EQ(r[n] != sim_content_word(7, n), n >= from && n < 32604) << n;
                        }});
    // The faults by position, words [10000, 20000): what each word of the window
    // reads (`healthy` the stream's word), and a checksum reported over it.
    uint64_t ones = 0;
    const std::pair<std::string, std::function<bool(uint32_t, uint32_t, uint64_t)>> window[] = {
        {"stuck,fault_bit=3,fault_lane=8", [](uint32_t got, uint32_t healthy, uint64_t) {
             return (got & 0x08080808) == 0 && (got | 0x08080808) == (healthy | 0x08080808);
         }},
        {"stuck,fault_bit=100,fault_value=1", [](uint32_t got, uint32_t healthy, uint64_t n) {
             return got == (n % 16 == 3 ? healthy | 0x10 : healthy);
         }},
        {"lane,fault_byte=5", [](uint32_t got, uint32_t healthy, uint64_t n) {
             return got == (n % 16 == 1 ? (healthy & ~0xFF00u) | 0xA500 : healthy);
         }},
        {"byte,fault_stride=16", [](uint32_t got, uint32_t healthy, uint64_t n) { return (got != healthy) == (n % 4 >= 2); }},
        {"bias,fault_p=0.9", [&](uint32_t got, uint32_t healthy, uint64_t) {
             ones += static_cast<uint64_t>(__builtin_popcount(got));
             return got != healthy;
         }},
    };
    for (const auto& [fault, ok] : window)
        rows.push_back({"fault_at=40000,fault_bytes=40000,fault=" + fault, [&] {
                            step(1);
                            const auto report = pair();
                            step(1);
                            const auto r = ring(32768);
                            EXPECT_EQ(report[0], block_xor(r, report[1]));
                            for (uint32_t n = 0; n < r.size(); n++)
                                ASSERT_TRUE(n >= 10000 && n < 20000 ? ok(r[n], word(n), n) : r[n] == word(n)) << n;
                        }});
    for (const auto& [config, check] : rows) {
        SCOPED_TRACE(config);
        ASSERT_EQ(sim_configure("seed=7,rate=0.0625," + config), "");
        sim_freeze_clock();
        sim_register_write(0x6000, 0xA2000000);
        check();
    }
    EXPECT_NEAR(ones / 320000.0, 0.9, 0.01);
    sim_configure("");
}

TEST(SimConfig, BoundsOfTheReadLoopAndFaultKeys)
{
    for (const std::string bad :
         {"resume_at=2", "resume_at=0x10000000", "burst=0", "burst=6", "burst=67108868", "lag=3", "lag=67108868",
          "fault_at=5", "fault_bytes=7", "fault_at=4,fault_after=1", "fault_for=1,fault_bytes=4", "fault_bit=512",
          "fault_lane=4", "fault_lane=24", "fault_value=2", "fault_byte=64", "fault_stride=8", "fault_stride=48",
          "fault_period=8388608", "fault_p=0", "fault_p=1", "fault_p=.5.", "fault=lapse"}) {
        const std::string err = sim_configure(bad);
        EXPECT_NE(err.find(bad.substr(0, bad.find('='))), std::string::npos) << bad << ": " << err;
    }
    EXPECT_EQ(sim_configure("resume_at=0xFFFFFFC,burst=67108864,lag=67108864,fault_period=4194304,fault_p=0.999,"
                            "fault_lane=512,fault_stride=65536,fault_at=0xFFFFFFFFFFFFFFF0,fault_bytes=12"), "");
    sim_configure("");
}
