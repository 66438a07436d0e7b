// The health tests on chunks of known faults, and the board's health from their verdicts.
#include "qrng_health.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <vector>

namespace {

constexpr size_t WORDS = HEALTH_CHUNK_BYTES / 8;
using chunk = std::vector<uint64_t>;

// A chunk of random words with the fault applied to words [from, to).
chunk make(uint64_t seed, const std::function<uint64_t(std::mt19937_64&, size_t)>& fault, size_t from = 0,
           size_t to = WORDS)
{
    std::mt19937_64 g(seed);
    chunk c(WORDS);
    for (size_t i = 0; i < WORDS; i++)
        c[i] = i >= from && i < to && fault ? fault(g, i) : g();
    return c;
}

// A word whose bits are each 1 with probability p, or whose bytes are each `value` with probability 1/16.
uint64_t biased(std::mt19937_64& g, double p)
{
    uint64_t w = 0;
    for (int b = 0; b < 64; b++)
        w |= static_cast<uint64_t>(std::generate_canonical<double, 53>(g) < p) << b;
    return w;
}
uint64_t common_byte(std::mt19937_64& g, uint8_t value)
{
    uint64_t w = g();
    for (int b = 0; b < 8; b++)
        if (g() % 16 == 0)
            w = (w & ~(0xFFULL << (8 * b))) | static_cast<uint64_t>(value) << (8 * b);
    return w;
}

} // namespace

TEST(HealthTests, FaultsFailTheirTestAndRandomChunksPass)
{
    using t = health_test;
    chunk block = make(7, nullptr);
    const struct {
        const char* what;
        chunk c;
        bool pass;
        t failed;
    } rows[] = {
        {"random", make(1, nullptr), true, t::repetition},
        {"zeros", make(2, [](std::mt19937_64&, size_t) { return uint64_t{0}; }), false, t::repetition},
        {"ones", make(3, [](std::mt19937_64&, size_t) { return ~uint64_t{0}; }), false, t::repetition},
        {"constant", make(4, [](std::mt19937_64&, size_t) { return uint64_t{0x5A5A5A5A5A5A5A5A}; }), false, t::repetition},
        {"64-byte period", make(5, [&](std::mt19937_64&, size_t i) { return block[i % 8]; }), false, t::repetition},
        {"4 KiB period", make(6, [&](std::mt19937_64&, size_t i) { return block[i % 512]; }), false, t::repetition},
        {"bits 1 with p 0.51", make(8, [](std::mt19937_64& g, size_t) { return biased(g, 0.51); }), false, t::bias},
        {"bits 1 with p 0.49", make(9, [](std::mt19937_64& g, size_t) { return biased(g, 0.49); }), false, t::bias},
        {"a byte in 16", make(10, [](std::mt19937_64& g, size_t) { return common_byte(g, 0xA5); }), false, t::byte},
        // Over half the chunk: a constant or a repeated block is still caught.
        {"half zeros", make(11, [](std::mt19937_64&, size_t) { return uint64_t{0}; }, WORDS / 2), false, t::repetition},
        {"half period", make(12, [&](std::mt19937_64&, size_t i) { return block[i % 64]; }, 0, WORDS / 2), false,
         t::repetition},
    };
    chunk_tester tester;
    uint32_t address = 0;
    for (const auto& r : rows) {
        health_verdict v = tester.test(r.c.data(), address += 16384);
        EXPECT_EQ(v.pass, r.pass) << r.what << ": " << v.seen;
        if (!r.pass) {
            EXPECT_EQ(health_test_name(v.failed), std::string(health_test_name(r.failed))) << r.what << ": " << v.seen;
        }
    }
    // A DMA read that left the buffer as it was: the same chunk at another address
    // fails; a second read of the same address does not.
    chunk again = make(1, nullptr);
    EXPECT_TRUE(tester.test(again.data(), 16384).pass);
    health_verdict stale = tester.test(again.data(), 0x3FF0000);
    EXPECT_FALSE(stale.pass);
    EXPECT_EQ(stale.failed, t::stale) << stale.seen;
}

TEST(HealthTests, TheBoardIsTrustedAfter1MiBAndWithheldOnAFailure)
{
    using e = board_health::event;
    const int64_t s = 1000000000;
    board_health h(true);
    for (unsigned i = 1; i < board_health::passes_to_trust; i++)
        EXPECT_EQ(h.chunk(true, i * 16384, 0, 0), e::none);
    EXPECT_FALSE(h.delivering());
    EXPECT_EQ(h.chunk(true, 0, 0, 0), e::started);
    EXPECT_TRUE(h.delivering());
    // One failure: withheld until 1 MiB in a row passes again.
    EXPECT_EQ(h.chunk(false, 0x100000, 0, s), e::unhealthy);
    for (int i = 0; i < 8; i++)
        h.chunk(true, 0, 0, s);
    EXPECT_EQ(h.chunk(false, 0x110000, 0, s), e::none); // a failure starts the count again
    EXPECT_FALSE(h.delivering());
    for (unsigned i = 1; i < board_health::passes_to_trust; i++)
        EXPECT_EQ(h.chunk(true, 0, 0, 2 * s), e::none);
    EXPECT_EQ(h.chunk(true, 0, 0, 2 * s), e::healthy_again);
    // Unhealthy for a minute: given up.
    EXPECT_EQ(h.chunk(false, 0x200000, 0, 10 * s), e::unhealthy);
    EXPECT_EQ(h.tick(69 * s), e::none);
    EXPECT_EQ(h.tick(70 * s), e::give_up);
    // Unhealthy from the same address on three laps in a row: a bad region of memory.
    board_health region(true);
    for (uint64_t lap = 0; lap < board_health::bad_region_laps; lap++) {
        EXPECT_EQ(region.chunk(false, 0x300000, lap, 0), lap == 0 ? e::start_failed : lap < 2 ? e::unhealthy : e::give_up);
        for (unsigned i = 0; i < board_health::passes_to_trust; i++)
            region.chunk(true, 0, lap, 0);
    }
    // With -D the failures are only reported: nothing is withheld.
    board_health debug(false);
    EXPECT_EQ(debug.chunk(false, 0, 0, 0), e::started);
    EXPECT_EQ(debug.chunk(false, 0, 0, 0), e::none);
    EXPECT_TRUE(debug.delivering());
}
