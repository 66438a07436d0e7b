// The health tests on chunks of known faults, and the board's health from their verdicts.
#include "qrng_health.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <vector>

namespace {

constexpr size_t WORDS = HEALTH_CHUNK_BYTES / 8;
using chunk = std::vector<uint64_t>;
// A faulty word: from the generator, the word's index and the random word it replaces.
using fault_fn = std::function<uint64_t(std::mt19937_64&, size_t, uint64_t)>;

// A chunk of random words with the fault applied to words [from, WORDS).
chunk make(uint64_t seed, const fault_fn& fault = nullptr, size_t from = 0)
{
    std::mt19937_64 g(seed);
    chunk c(WORDS);
    for (size_t i = 0; i < WORDS; i++) {
        uint64_t x = g();
        c[i] = fault && i >= from ? fault(g, i, x) : x;
    }
    return c;
}

// A chunk of random words with bits set until it has `ones` 1 bits (more than it had).
chunk with_ones(uint64_t seed, uint64_t ones)
{
    chunk c = make(seed);
    uint64_t n = 0;
    for (uint64_t x : c)
        n += static_cast<uint64_t>(__builtin_popcountll(x));
    for (size_t i = 0; n < ones; i += 7) {
        n += (c[i % WORDS] >> (i % 64) & 1) == 0;
        c[i % WORDS] |= uint64_t{1} << (i % 64);
    }
    return c;
}

// The n-th chunk of a board read in order, the board two chunks ahead.
chunk_place in_order(uint64_t n)
{
    const uint64_t at = n * HEALTH_CHUNK_WORDS, board = at + 2 * HEALTH_CHUNK_WORDS;
    return {static_cast<uint32_t>(at % MAX_DDR_ADDRESS), at, 0, board, board};
}

fault_fn constant(uint64_t value)
{
    return [=](std::mt19937_64&, size_t, uint64_t) { return value; };
}
// Bytes repeated with a period of `bytes`, a power of two.
fault_fn period(size_t bytes)
{
    auto block = std::make_shared<chunk>(make(99));
    return [=](std::mt19937_64&, size_t i, uint64_t) { return (*block)[i % (bytes / 8)]; };
}
// Bit `bit` of every `lane` bits of the 64-byte line stuck at `value`.
fault_fn stuck(unsigned lane, unsigned bit, bool value)
{
    return [=](std::mt19937_64&, size_t i, uint64_t x) {
        for (unsigned k = 0; k < 64; k++)
            if ((64 * (i % 8) + k) % lane == bit)
                x = value ? x | uint64_t{1} << k : x & ~(uint64_t{1} << k);
        return x;
    };
}
// Byte `offset` of the 64-byte line always `value`.
fault_fn line_byte(unsigned offset, uint8_t value)
{
    const unsigned shift = 8 * (offset % 8);
    return [=](std::mt19937_64&, size_t i, uint64_t x) {
        return i % 8 != offset / 8 ? x : (x & ~(0xFFULL << shift)) | static_cast<uint64_t>(value) << shift;
    };
}
// Bytes at offsets 8 and up of `block`-byte blocks 0xA5 with probability 1/16.
fault_fn common_byte(size_t block)
{
    return [=](std::mt19937_64& g, size_t i, uint64_t x) {
        for (int b = 0; b < 8 && 8 * i % block >= 8; b++)
            if (g() % 16 == 0)
                x = (x & ~(0xFFULL << (8 * b))) | 0xA5ULL << (8 * b);
        return x;
    };
}
// Bits 1 with probability p.
fault_fn biased(double p)
{
    return [=](std::mt19937_64& g, size_t, uint64_t) {
        uint64_t w = 0;
        for (int b = 0; b < 64; b++)
            w |= static_cast<uint64_t>(std::generate_canonical<double, 53>(g) < p) << b;
        return w;
    };
}

} // namespace

TEST(HealthTests, FaultsFailTheirTestAndRandomChunksPass)
{
    using t = health_test;
    const struct {
        const char* what;
        fault_fn fault;
        size_t from;
        t failed;
    } rows[] = {
        {"a constant word", constant(0x5A5A5A5A5A5A5A5A), 0, t::repetition},
        {"16-byte period", period(16), 0, t::repetition},
        {"4 KiB period", period(4096), 0, t::repetition},
        {"32 KiB period", period(32768), 0, t::repetition},
        // Faults that begin inside the chunk: caught in it.
        {"zeros over the last quarter", constant(0), 6144, t::repetition},
        {"8 KiB period over the last 5/8", period(8192), 3072, t::repetition},
        {"bit 3 of every byte stuck at 1", stuck(8, 3, true), 0, t::lane},
        {"bit 9 of every 16 bits stuck at 0", stuck(16, 9, false), 0, t::lane},
        {"bit 300 of the line stuck at 0", stuck(512, 300, false), 0, t::lane},
        {"byte 37 of the line 0x00", line_byte(37, 0x00), 0, t::lane},
        {"byte 63 of the line 0xFF", line_byte(63, 0xFF), 0, t::lane},
        {"byte 0 of the line 0x3C", line_byte(0, 0x3C), 0, t::lane},
        {"a byte in 16 past 8 bytes of 16", common_byte(16), 0, t::byte},
        {"a byte in 16 past 8 bytes of 256", common_byte(256), 0, t::byte},
        {"a byte in 16 past 8 bytes of 64 KiB", common_byte(65536), 0, t::byte},
        {"bits 1 with p 0.51", biased(0.51), 0, t::bias},
        {"bits 1 with p 0.49", biased(0.49), 0, t::bias},
    };
    chunk_tester tester;
    uint64_t n = 0;
    for (const auto& r : rows) {
        chunk c = make(++n, r.fault, r.from);
        health_verdict v = tester.test(c.data(), in_order(n));
        EXPECT_FALSE(v.pass) << r.what;
        EXPECT_STREQ(health_test_name(v.failed), health_test_name(r.failed)) << r.what << ": " << v.seen;
    }
    // Random chunks pass, the window of the last 16 included.
    for (int i = 0; i < 300; i++) {
        chunk c = make(1000 + i);
        health_verdict v = tester.test(c.data(), in_order(++n));
        EXPECT_TRUE(v.pass) << i << ": " << health_test_name(v.failed) << ": " << v.seen;
    }
}

TEST(HealthTests, AChunkTheBoardHasRewrittenMustChange)
{
    // A chunk read at the place X of lap 3, then the same content read again:
    // unwritten only once the board is known to have written the whole place
    // since the first read; the same content at another place is a duplicate.
    using t = health_test;
    constexpr uint64_t ring = MAX_DDR_ADDRESS, chunk_words = HEALTH_CHUNK_WORDS, x = 0x100000, at = 3 * ring + x;
    const struct {
        const char* what;
        uint64_t after_first;  // the board's position after the first read
        uint64_t before_again; // before the second
        uint64_t frame;        // of the second
        uint64_t elsewhere;    // words from X to the second read's place
        bool pass;
        t failed;
    } rows[] = {
        {"re-read (-r off) before the board passes", at + 20000, at + ring + chunk_words - 1, 0, 0, true, t::repetition},
        {"re-read after the board has passed", at + 20000, at + ring + chunk_words, 0, 0, false, t::unwritten},
        {"read ahead of the board, which passed", at - 5, at + chunk_words, 0, 0, false, t::unwritten},
        {"read while the board wrote it", at + 100, at + chunk_words + 100, 0, 0, true, t::repetition},
        {"the board passed, in another frame", at + 20000, at + 5 * ring, 1, 0, true, t::repetition},
        {"at another place", at + 20000, at + 20000, 0, chunk_words, false, t::duplicate},
        {"at another place, in another frame", at + 20000, at + 5 * ring, 1, ring - chunk_words, false, t::duplicate},
    };
    const chunk c = make(7);
    for (const auto& r : rows) {
        chunk_tester tester;
        ASSERT_TRUE(tester.test(c.data(), {x, at, 0, r.after_first, r.after_first}).pass) << r.what;
        const uint64_t again = at + r.elsewhere + (r.frame > 0 ? 5 * ring : 0);
        health_verdict v = tester.test(
            c.data(), {static_cast<uint32_t>(again % ring), again, r.frame, r.before_again, r.before_again});
        EXPECT_EQ(v.pass, r.pass) << r.what << ": " << v.seen;
        if (!r.pass) {
            EXPECT_STREQ(health_test_name(v.failed), health_test_name(r.failed)) << r.what << ": " << v.seen;
        }
    }
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
    EXPECT_EQ(h.chunk(false, 0x2000000, 0, 10 * s), e::unhealthy);
    EXPECT_EQ(h.tick(69 * s), e::none);
    EXPECT_EQ(h.tick(70 * s), e::give_up);
    // With -D the failures are only reported: nothing is withheld.
    board_health debug(false);
    EXPECT_EQ(debug.chunk(false, 0, 0, 0), e::started);
    EXPECT_EQ(debug.chunk(false, 0, 0, 0), e::none);
    EXPECT_TRUE(debug.delivering());
}

TEST(HealthTests, AWeakBiasIsCaughtOver1MiBAndKeepsTheBoardWithheld)
{
    // Chunks that each pass, but with 1 bits near the chunk's upper cutoff: two of
    // them fail together; or nearer the mean, so that two pass and sixteen fail.
    using e = board_health::event;
    const health_limits& l = health_cutoffs();
    const struct {
        uint64_t ones;
        unsigned caught_by, fail_every;
    } rows[] = {{l.ones_max - 50, 2, 2}, {l.pair_ones_max / 2 - 10, 6, 16}};
    for (const auto& r : rows) {
        board_health h(true);
        uint64_t n = 0;
        health_verdict v;
        auto judge = [&](bool weak) {
            ++n;
            return h.judge((weak ? with_ones(n, r.ones) : make(n)).data(), in_order(n), 0, v);
        };
        for (unsigned i = 0; i < board_health::passes_to_trust; i++)
            judge(false);
        ASSERT_TRUE(h.delivering());
        e first = e::none;
        for (unsigned i = 0; i < board_health::passes_to_trust && first == e::none; i++)
            first = judge(true);
        EXPECT_EQ(first, e::unhealthy);
        EXPECT_EQ(n, board_health::passes_to_trust + r.caught_by) << r.ones;
        EXPECT_EQ(v.failed, health_test::bias) << v.seen;
        // Never healthy again while it lasts.
        unsigned failures = 0;
        for (int i = 0; i < 48; i++) {
            EXPECT_EQ(judge(true), e::none);
            failures += v.pass ? 0 : 1;
        }
        EXPECT_EQ(failures, 48u / r.fail_every) << r.ones;
        // Random chunks: healthy again after 16.
        for (unsigned i = 1; i < board_health::passes_to_trust; i++)
            EXPECT_EQ(judge(false), e::none) << v.seen;
        EXPECT_EQ(judge(false), e::healthy_again) << v.seen;
    }
}

TEST(HealthTests, ABoardThatKeepsFailingIsGivenUp)
{
    // Three unhealthy spells, each over before the next: the third gives up when
    // it begins within 10 minutes of the first, or when all three begin within
    // 1 MiB of one ring address (an arc of 2 MiB) in 8 laps.
    constexpr int64_t minute = 60000000000LL;
    constexpr uint32_t mib = 262144; // words
    const struct {
        const char* what;
        int64_t minutes[3];
        uint32_t address[3];
        uint64_t lap[3];
        bool give_up;
    } rows[] = {
        {"3 in 10 minutes, far apart", {0, 4, 9}, {0, 0x1000000, 0x2000000}, {0, 0, 1}, true},
        {"3 in 20 minutes, far apart", {0, 10, 20}, {0, 0x1000000, 0x2000000}, {0, 10, 20}, false},
        {"near one address in 8 laps", {0, 15, 30}, {0x100000, 0x100000 + mib, 0x100000 - mib}, {0, 4, 8}, true},
        {"near one address across the ring's end", {0, 15, 30}, {0x10000, MAX_DDR_ADDRESS - 0x10000, 0}, {0, 1, 2}, true},
        {"near one address in 9 laps", {0, 15, 30}, {0x100000, 0x100000, 0x100000}, {0, 1, 9}, false},
        {"over 2 MiB apart", {0, 15, 30}, {0x100000, 0x100000 + 2 * mib + 16384, 0x100000}, {0, 1, 2}, false},
    };
    for (const auto& r : rows) {
        board_health h(true);
        board_health::event last = board_health::event::none;
        for (int i = 0; i < 3; i++) {
            int64_t now = r.minutes[i] * minute;
            last = h.chunk(false, r.address[i], r.lap[i], now);
            for (unsigned k = 0; k < board_health::passes_to_trust && last != board_health::event::give_up; k++)
                h.chunk(true, r.address[i] + 16384, r.lap[i], now);
        }
        EXPECT_EQ(last == board_health::event::give_up, r.give_up) << r.what;
    }
}
