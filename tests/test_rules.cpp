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
    const uint64_t ring = MAX_DDR_ADDRESS, guard = OVERWRITE_GUARD, margin = WRITE_MARGIN;
    struct row {
        uint64_t start;
        uint32_t words;
        uint64_t board;
        chunk expected;
    } rows[] = {
        // A chunk is read once the published address is the write margin past its end.
        {0, 16384, 16384 + margin - 1, chunk::short_of_data},
        {0, 16384, 16384 + margin, chunk::ready},
        {ring - 16384, 16384, ring + margin, chunk::ready},
        {5 * ring + 7, 16384, 6 * ring + 7 - guard, chunk::ready},
        {5 * ring + 7, 16384, 6 * ring + 8 - guard, chunk::overrun},
        {5 * ring, 16384, 9 * ring, chunk::overrun},
    };
    for (const row& r : rows)
        EXPECT_EQ(check_chunk(r.start, r.words, r.board), r.expected) << r.start << " " << r.board;
    // Reads start on chunk boundaries, so that none crosses the ring's end.
    EXPECT_EQ(chunk_boundary(ring - 16384), ring - 16384);
    EXPECT_EQ(chunk_boundary(5 * ring + 7), 5 * ring + 16384);
    EXPECT_EQ(newest_chunk(5 * ring + 7, 0), 5 * ring - 2 * 16384);
    EXPECT_EQ(newest_chunk(40000, 16384), 16384u) << "none above the floor";

    // A board that overtook the read position: the loop goes on half a ring behind
    // it, and what it finds there is judged afresh (ready, not the old overrun).
    read_cursor c;
    c.board.position = 3 * ring + 100000;
    bool skipped = false;
    EXPECT_EQ(c.next(true, skipped), chunk::ready);
    EXPECT_TRUE(skipped);
    EXPECT_EQ(c.read_pos, chunk_boundary(3 * ring + 100000 - ring / 2));
    // ... and waits the normal period for a chunk that is complete already, however
    // far behind the board it is, never a wrapped difference.
    write_tracker b;
    b.position = c.read_pos + ring / 2;
    b.rate_known = true;
    b.words_per_ns = 0.008;
    EXPECT_EQ(pause_for_data(b, c.read_pos, 10), 10u);
    EXPECT_GT(pause_for_data(b, b.position, 10), 10u);
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
    // The rate that judges advances is measured over 100 ms.
    for (int i = 0; i <= 101; i++)
        EXPECT_EQ(t.sample(ring / 10 * 9 - 101 * per_ms + i * per_ms, i * ms), i == 0 ? sample::lost : sample::known);
    ASSERT_TRUE(t.rate_current);
    // Twice the rate is a board that sped up; the ring restarted past its middle
    // looks like a far longer advance.
    EXPECT_EQ(t.sample(ring / 10 * 9 + 2 * per_ms, 102 * ms), sample::known);
    uint64_t before = t.position;
    EXPECT_EQ(t.sample(per_ms, 103 * ms), sample::implausible);
    EXPECT_GT(t.position, before);
    EXPECT_EQ(t.position % ring, per_ms);
    EXPECT_EQ(t.frame, 1u);
    // At 64 MiB/s a waiting loop samples at least every 1 MiB of the board's output.
    EXPECT_NEAR(static_cast<double>(t.sample_interval_ns()), 15.6 * ms, 0.1 * ms);

    // A pointer published in 1 MiB steps at 32 MiB/s, sampled every millisecond:
    // its steps are plausible, and become the slack of the rule.
    write_tracker burst;
    const uint32_t step = 262144;
    for (int i = 0; i < 2000; i++)
        ASSERT_NE(burst.sample(static_cast<uint32_t>(i / 32 * step % ring), i * ms), sample::implausible) << i;
    EXPECT_NEAR(burst.rate_mib(), 32.0f, 2.0f);
    EXPECT_GE(burst.largest_step, step - 4 * per_ms);
    EXPECT_LE(burst.largest_step, step);

    // After a loss with -r, reading goes on at the board's position: nothing from before it.
    read_cursor c;
    c.start(true, 0);
    c.observe(per_ms, 0, 0);
    EXPECT_EQ(c.observe(per_ms + 10, 10000 * ms, 10000 * ms), read_cursor::event::lost);
    EXPECT_GE(c.read_pos, c.board.position);
    EXPECT_EQ(c.read_pos % CHUNK_WORDS, 0u);

    // The first sample, right after spi_start: reading starts at address 0 only
    // when a reset pointer can have reached it since, at the measured rate.
    const double rate = per_ms / 1e6;
    EXPECT_TRUE(reset_pointer(100 * per_ms, 100 * ms, rate));
    EXPECT_TRUE(reset_pointer(16384, ms / 1000, rate));
    EXPECT_FALSE(reset_pointer(65536, ms / 1000, rate)); // resumed 256 KiB into the ring
    EXPECT_FALSE(reset_pointer(ring / 2, 100 * ms, rate));
    // A board that resumed 8 MiB into its ring: reading starts after that address,
    // once the rate is measured.
    read_cursor resumed;
    resumed.start(true, 0);
    const uint32_t at = 2097152;
    for (int i = 0; i <= 110 && resumed.observe(at + i * per_ms, i * ms + 1000, i * ms + 2000) == read_cursor::event::none; i++) {
    }
    EXPECT_FALSE(resumed.start_pending);
    EXPECT_EQ(resumed.read_pos, at + CHUNK_WORDS);
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
