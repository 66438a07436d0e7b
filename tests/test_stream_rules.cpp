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
    EXPECT_EQ(qrng_handler::advance_read_address(100, 4), 101u);
    // 5 bytes touch two words: both count as delivered.
    EXPECT_EQ(qrng_handler::advance_read_address(100, 5), 102u);
    EXPECT_EQ(qrng_handler::advance_read_address(100, 1), 101u);
    // Reaching the ring's end starts again at 0.
    EXPECT_EQ(qrng_handler::advance_read_address(MAX_DDR_ADDRESS - 16384, 65536), 0u);
    EXPECT_EQ(qrng_handler::advance_read_address(MAX_DDR_ADDRESS - 1, 3), 0u);
}

TEST(ReadLoopRules, FreshDataDecisions)
{
    using fresh = qrng_handler::fresh_data_t;
    const uint32_t far = qrng_handler::max_fresh_lag;
    struct row {
        uint32_t snapshot, read_addr;
        uint64_t cycles;
        bool new_randomness;
        uint64_t resume_cycle;
        fresh expected;
        uint32_t read_addr_after;
        uint64_t resume_cycle_after;
    } rows[] = {
        {16383, 0, 0, false, 0, fresh::short_of_data, 0, 0},
        {16384, 0, 0, false, 0, fresh::ready, 0, 0},
        {16384, 0, 0, true, 0, fresh::ready, 0, 0},
        // Near the ring's end a chunk is never complete before the wrap.
        {MAX_DDR_ADDRESS - 1, MAX_DDR_ADDRESS - 16384, 0, true, 0, fresh::short_of_data, MAX_DDR_ADDRESS - 16384, 0},
        // Behind the read address: a desync before any wrap, a restart at 0 after one.
        {100, 200, 0, true, 0, fresh::desync, 200, 0},
        {100, 200, 0, false, 0, fresh::desync, 200, 0},
        {100, 200, 1, true, 0, fresh::short_of_data, 0, 0},
        {20000, 0x3FFC000, 1, true, 0, fresh::ready, 0, 0},
        // Without -r, once the ring has wrapped the loop reads on regardless.
        {100, 200, 1, false, 0, fresh::ready, 200, 0},
        {0, 0, 3, false, 0, fresh::ready, 0, 0},
        // With -r, a read address nearly a ring behind gives up the lap until the next wrap.
        {far, 0, 2, true, 0, fresh::ready, 0, 0},
        {far + 1, 0, 2, true, 0, fresh::lap_given_up, 0, 3},
        {far + 1, 0, 2, false, 0, fresh::ready, 0, 0},
        {MAX_DDR_ADDRESS - 1, 5, 2, true, 3, fresh::lap_given_up, 5, 3},
        {40000, 5, 3, true, 3, fresh::ready, 0, 0},
        {100, 5, 4, true, 3, fresh::short_of_data, 0, 0},
    };
    for (const row& r : rows) {
        uint32_t read_addr = r.read_addr;
        uint64_t resume_cycle = r.resume_cycle;
        EXPECT_EQ(qrng_handler::check_fresh_data(r.snapshot, read_addr, r.cycles, r.new_randomness, resume_cycle),
                  r.expected)
            << "snapshot " << r.snapshot << " read " << r.read_addr << " cycles " << r.cycles;
        EXPECT_EQ(read_addr, r.read_addr_after);
        EXPECT_EQ(resume_cycle, r.resume_cycle_after);
    }
}

TEST(MonitorRules, ThroughputAndChipText)
{
    // 0x100 -> 0x40100 words in 0.25 s is 1 MiB in a quarter second.
    EXPECT_FLOAT_EQ(qrng_handler::compute_throughput((0x40100 - 0x100) * 4ull, 0.25), 4.0f);

    char text[60] = {0};
    qrng_handler::append_chip_text(text, sizeof text, 0, 0xF3 / 256.0f, 0.0f, 1, false);
    qrng_handler::append_chip_text(text, sizeof text, 1, 0.0f, 0.0f, 0, false);
    EXPECT_STREQ(text, "Q1: 0.95(1) Q2: 0.00(0) ");

    char filtered[60] = {0};
    qrng_handler::append_chip_text(filtered, sizeof filtered, 0, 0.99609375f, 0.5f, 1, true);
    qrng_handler::append_chip_text(filtered, sizeof filtered, 1, 0.0f, 0.0f, 0, true);
    EXPECT_STREQ(filtered, "Q1: 1.00/0.50(1) Q2: 0.00/0.00(0) ");
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

TEST(IntegrityCheck, BlockChecksum)
{
    unsigned int zeros[512] = {0};
    EXPECT_EQ(qrng_handler::block_checksum(zeros, 512), 0u);
    unsigned int words[] = {1, 2, 3};
    EXPECT_EQ(qrng_handler::block_checksum(words, 3), 0u);
    EXPECT_EQ(qrng_handler::block_checksum(words, 2), 3u);
    EXPECT_EQ(qrng_handler::block_checksum(words, 0), 0u);
}
