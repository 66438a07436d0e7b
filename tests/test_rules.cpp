// The rules about the board's write position, checked on their own.
#include "qrng_rules.h"

#include <gtest/gtest.h>

TEST(ReadLoopRules, DataWaitArithmetic)
{
    EXPECT_EQ(data_wait_us(65536, 1.0f), 62500u);
    EXPECT_EQ(data_wait_us(65536, 2.5f), 24999u); // two truncations
    EXPECT_EQ(data_wait_us(4, 32.0f), 0u);
    // Capped at one second; a quotient past 32 bits waits the cap too.
    EXPECT_EQ(data_wait_us(65536, 0.05f), MAX_WAIT_DATA_DELAY);
    EXPECT_EQ(data_wait_us(65536, 1e-6f), MAX_WAIT_DATA_DELAY);
    EXPECT_EQ(data_wait_us(65536, 1e-30f), MAX_WAIT_DATA_DELAY);
    // No measurement yet: no wait at all.
    EXPECT_EQ(data_wait_us(65536, 0.0f), 0u);
}

TEST(ReadLoopRules, ChunksAreReadWhenWrittenNotOverwrittenAndOnBoundaries)
{
    using chunk = chunk_t;
    const uint64_t ring = MAX_DDR_ADDRESS, guard = OVERWRITE_GUARD;
    struct row {
        uint64_t start;
        uint32_t words;
        uint64_t board;
        chunk expected;
    } rows[] = {
        {0, 16384, 16383, chunk::short_of_data},
        {0, 16384, 16384, chunk::ready},
        {ring - 16384, 16384, ring, chunk::ready},
        {5 * ring + 7, 16384, 6 * ring + 7 - guard, chunk::ready},
        {5 * ring + 7, 16384, 6 * ring + 8 - guard, chunk::overrun},
        {5 * ring, 16384, 9 * ring, chunk::overrun},
    };
    for (const row& r : rows)
        EXPECT_EQ(check_chunk(r.start, r.words, r.board), r.expected) << r.start << " " << r.board;
    // Reads start on chunk boundaries, so that none crosses the ring's end.
    EXPECT_EQ(chunk_boundary(ring - 16384), ring - 16384);
    EXPECT_EQ(chunk_boundary(5 * ring + 7), 5 * ring + 16384);
}

TEST(ReadLoopRules, WriteTrackerCountsLapsOnlyWhileSamplesAreClose)
{
    using sample = write_tracker::sample_t;
    const uint32_t ring = MAX_DDR_ADDRESS;
    const int64_t ms = 1000000;
    write_tracker t;
    // The first sample starts the frame; before a rate is known samples must lie within 2 ms.
    EXPECT_EQ(t.sample(ring - 300000, 0), sample::lost);
    EXPECT_EQ(t.position, ring - 300000u);
    EXPECT_EQ(t.sample(ring - 37856, ms / 2), sample::known); // 262144 words in 0.5 ms: 2000 MiB/s
    EXPECT_TRUE(t.rate_known);
    EXPECT_NEAR(t.rate_mib(), 2000.0f, 1.0f);
    // At 2000 MiB/s a quarter ring takes 32 ms: a sample 31 ms later crosses the ring's end.
    EXPECT_EQ(t.sample(16252928 - 37856, ms / 2 + 31 * ms), sample::known);
    EXPECT_EQ(t.position, uint64_t{ring} - 37856 + 16252928);
    // An address that went back between close samples cannot come from the board.
    EXPECT_EQ(t.sample(16252928 - 38856, ms / 2 + 32 * ms), sample::contradiction);
    uint64_t before = t.position;
    // Further apart, the laps are unknown: a new frame beyond every earlier position.
    EXPECT_EQ(t.sample(4000, ms / 2 + 70 * ms), sample::lost);
    EXPECT_GT(t.position, before);
    EXPECT_EQ(t.position % ring, 4000u);
    // A board standing still is sampled as if it wrote 8 MiB/s: the lap count holds for 8 s.
    write_tracker idle;
    idle.sample(7, 0);
    idle.sample(7, ms);
    EXPECT_EQ(idle.sample(7, 7900 * ms), sample::known);
    EXPECT_EQ(idle.sample(7, 16000 * ms), sample::lost);
}

TEST(ReadLoopRules, RestartedRingIsNoFreshData)
{
    using sample = write_tracker::sample_t;
    const uint32_t ring = MAX_DDR_ADDRESS;
    const int64_t ms = 1000000;
    const uint32_t per_ms = 16777; // 64 MiB/s
    write_tracker t;
    t.sample(ring / 10 * 9, 0);
    EXPECT_EQ(t.sample(ring / 10 * 9 + per_ms, ms), sample::known);
    ASSERT_TRUE(t.rate_current);
    // Twice the rate is a board that sped up; the ring restarted past its middle
    // looks like a far longer advance.
    EXPECT_EQ(t.sample(ring / 10 * 9 + 3 * per_ms, 2 * ms), sample::known);
    uint64_t before = t.position;
    EXPECT_EQ(t.sample(per_ms, 3 * ms), sample::implausible);
    EXPECT_GT(t.position, before);
    EXPECT_EQ(t.position % ring, per_ms);
    // At 64 MiB/s a waiting loop samples at least every 1 MiB of the board's output.
    EXPECT_NEAR(static_cast<double>(t.sample_interval_ns()), 15.6 * ms, 0.1 * ms);

    // After a loss with -r, reading goes on at the board's position: nothing from before it.
    read_cursor c;
    c.start(true, 0);
    c.observe(per_ms, 0, 0);
    EXPECT_EQ(c.observe(per_ms + 10, 10000 * ms, 10000 * ms), read_cursor::event::none);
    EXPECT_GE(c.read_pos, c.board.position);
    EXPECT_EQ(c.read_pos % CHUNK_WORDS, 0u);

    // After spi_start, reading starts at address 0 only when a reset pointer can
    // have reached the first address seen.
    const double rate = per_ms / 1e6;
    EXPECT_TRUE(reset_pointer(100 * per_ms, 100 * ms, rate));
    EXPECT_TRUE(reset_pointer(ring - 1, 10000 * ms, rate)); // it may have wrapped since
    EXPECT_FALSE(reset_pointer(ring / 2, 100 * ms, rate));  // a board that went on where it stood
}

TEST(MonitorRules, OutputCountedLapByLapAndAStillAddressReported)
{
    const uint32_t ring = MAX_DDR_ADDRESS;
    const int64_t ms = 1000000;
    output_meter m;
    m.sample(ring - 1000, 0);
    m.sample(ring - 500, ms / 2); // 1000 words per ms: a lap takes 67 s
    m.sample(1500, 2 * ms);
    EXPECT_EQ(m.words, ring - 1000 + 2500);
    EXPECT_EQ(m.laps, 1u);
    // Samples too far apart: the least the board can have written.
    m.sample(1000, 60000 * ms);
    EXPECT_EQ(m.words, ring - 1000 + 2500 + ring - 500);

    // The address stands still while chips work: reported once after 5 s, and
    // again when it moves; chips that do not work explain a still address.
    stall_watch w;
    using change = stall_watch::change;
    const struct { bool moved, chips; double t; change expected; } passes[] = {
        {false, true, 4.9, change::none},   {false, true, 5.0, change::stalled}, {false, true, 9.0, change::none},
        {true, true, 9.3, change::moving_again}, {false, false, 20.0, change::none}, {false, true, 24.0, change::none},
    };
    for (const auto& p : passes)
        EXPECT_EQ(w.pass(p.moved, p.chips, p.t), p.expected) << p.t;
}
