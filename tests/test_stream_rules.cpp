// The read loop's and the monitor's arithmetic, checked on its own.
#include "qrng.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(ReadLoopRules, ChunkStopsAtTheRingsEnd)
{
    EXPECT_EQ(qrng_handler::chunk_size(0), 65536u);
    EXPECT_EQ(qrng_handler::chunk_size(MAX_DDR_ADDRESS - 16384), 65536u);
    EXPECT_EQ(qrng_handler::chunk_size(MAX_DDR_ADDRESS - 4096), 16384u);
    EXPECT_EQ(qrng_handler::chunk_size(MAX_DDR_ADDRESS - 1), 4u);
}

TEST(ReadLoopRules, DataWaitArithmetic)
{
    EXPECT_EQ(qrng_handler::data_wait_us(65536, 1.0f), 62500u);
    EXPECT_EQ(qrng_handler::data_wait_us(65536, 2.5f), 24999u); // two truncations
    EXPECT_EQ(qrng_handler::data_wait_us(4, 32.0f), 0u);
    // Capped at one second; a quotient past 32 bits waits the cap too.
    EXPECT_EQ(qrng_handler::data_wait_us(65536, 0.05f), MAX_WAIT_DATA_DELAY);
    EXPECT_EQ(qrng_handler::data_wait_us(65536, 1e-6f), MAX_WAIT_DATA_DELAY);
    EXPECT_EQ(qrng_handler::data_wait_us(65536, 1e-30f), MAX_WAIT_DATA_DELAY);
    // No measurement yet: no wait at all.
    EXPECT_EQ(qrng_handler::data_wait_us(65536, 0.0f), 0u);
}

TEST(ReadLoopRules, PartialWritesNeverOfferAByteTwice)
{
    EXPECT_EQ(qrng_handler::advance_read_address(0, 65536), 16384u);
    // 5 bytes touch two words, 1 byte one: each counts as delivered.
    EXPECT_EQ(qrng_handler::advance_read_address(100, 5), 102u);
    EXPECT_EQ(qrng_handler::advance_read_address(100, 1), 101u);
    // The ring's end is no end for the position: the next lap follows.
    EXPECT_EQ(qrng_handler::advance_read_address(MAX_DDR_ADDRESS - 16384, 65536), uint64_t{MAX_DDR_ADDRESS});
}

TEST(ReadLoopRules, ChunkIsReadOnlyWhenWrittenAndNotOverwritten)
{
    using chunk = qrng_handler::chunk_t;
    const uint64_t ring = MAX_DDR_ADDRESS, guard = qrng_handler::overwrite_guard;
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
        EXPECT_EQ(qrng_handler::check_chunk(r.start, r.words, r.board), r.expected) << r.start << " " << r.board;
}

TEST(ReadLoopRules, FifoRoomCountsWholeSlots)
{
    EXPECT_EQ(qrng_handler::fifo_room(1 << 20, 0, 4096, 0), 65536u);
    EXPECT_EQ(qrng_handler::fifo_room(65536, 0, 4096, 0), 65536u);
    // A reader of 2,500-byte blocks leaves a partly read page: it still takes a slot.
    EXPECT_EQ(qrng_handler::fifo_room(65536, 65536 - 2500, 4096, 0), 0u);
    EXPECT_EQ(qrng_handler::fifo_room(65536, 65536 - 6596, 4096, 0), 4096u);
    // A write of no whole number of pages may have left one slot partly filled.
    EXPECT_EQ(qrng_handler::fifo_room(65536, 65536 - 8192, 4096, 1), 4096u);
    EXPECT_EQ(qrng_handler::fifo_room(65536, 65536, 4096, 0), 0u);
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

    // After spi_start, reading starts at address 0 only when a reset pointer can
    // have reached the first address seen.
    const double rate = per_ms / 1e6;
    EXPECT_TRUE(qrng_handler::reset_pointer(100 * per_ms, 100 * ms, rate));
    EXPECT_TRUE(qrng_handler::reset_pointer(ring - 1, 10000 * ms, rate)); // it may have wrapped since
    EXPECT_FALSE(qrng_handler::reset_pointer(ring / 2, 100 * ms, rate));  // a board that went on where it stood
}

TEST(MonitorRules, ThroughputAndChipText)
{
    // 0x100 -> 0x40100 words in 0.25 s is 1 MiB in a quarter second.
    EXPECT_FLOAT_EQ(qrng_handler::compute_throughput((0x40100 - 0x100) * 4ull, 0.25), 4.0f);

    char text[60] = {0};
    qrng_handler::append_chip_text(text, sizeof text, 0, 0xF3 / 256.0f, 0.0f, 1, false);
    qrng_handler::append_chip_text(text, sizeof text, 1, 0.0f, 0.0f, 0, false);
    EXPECT_STREQ(text, "Q1: 0.95(1) Q2: 0.00(0) "); // with filtering: EndToEnd.ReadOnlyModeNeverTouchesTheStream
}

TEST(MonitorRules, ChipTextNeverOverrunsItsBuffer)
{
    // A filter ratio from wild counters prints far more than 30 characters.
    char text[31 + 8];
    memset(text, 0, sizeof text);
    memset(text + 30, 'X', 8);
    qrng_handler::append_chip_text(text, 30, 0, 1.0f, 4e9f, 1, true);
    qrng_handler::append_chip_text(text, 30, 1, 1.0f, 4e9f, 1, true);
    EXPECT_LT(strlen(text), 30u);
    EXPECT_EQ(std::string(text + 30, 8), "XXXXXXXX");
}
