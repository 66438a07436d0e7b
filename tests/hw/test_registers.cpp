// The engine's register operations on the real device layer, with a 64 KiB file
// on tmpfs as the register window: every offset and command word, the two-word
// sequences, the reads, and what construction and destruction send.
#include "hw_support.h"
#include "qrng.h"
#include "test_support.h"

#include <functional>
#include <gtest/gtest.h>
#include <map>

// Reaches the engine's private chip count, which only run() sets otherwise.
struct qrng_test_access {
    static void set_qrng_num(qrng_handler& q, int n) { q.qrng_num = n; }
};

namespace {

using word_map = std::map<size_t, uint32_t>;

// The register file as it should be: the pattern, with `changed` written over it.
std::vector<uint32_t> expected_words(const word_map& changed)
{
    std::vector<uint32_t> words(fake_devices::window / 4);
    for (size_t i = 0; i < words.size(); i++)
        words[i] = fake_devices::pattern(i * 4);
    for (const auto& c : changed)
        words[c.first / 4] = c.second;
    return words;
}

// Offsets at which two word lists differ, for readable failures.
std::string differences(const std::vector<uint32_t>& got, const std::vector<uint32_t>& want)
{
    std::string s;
    char line[64];
    for (size_t i = 0; i < got.size() && i < want.size(); i++)
        if (got[i] != want[i]) {
            snprintf(line, sizeof line, " [0x%zx]=0x%08x (want 0x%08x)", i * 4, got[i], want[i]);
            s += line;
        }
    return s;
}

class EngineRegisters : public ::testing::Test {
protected:
    temp_dir dir;
    fake_devices dev;
};

TEST_F(EngineRegisters, ConstructionAndDestructionSendOneCommandEach)
{
    {
        qrng_handler engine(dir.file("fifo"), dev.prefix);
        std::vector<uint32_t> words = dev.user_words();
        EXPECT_EQ(differences(words, expected_words({{0x6000, 0xB0000000}})), "");
        EXPECT_EQ(fds_for(dev.user).size(), 1u);
        EXPECT_EQ(fds_for(dev.c2h).size(), 1u);
        EXPECT_FALSE(file_exists(dir.file("fifo"))) << "the engine does not create the FIFO";
    }
    std::vector<uint32_t> words = dev.user_words();
    EXPECT_EQ(differences(words, expected_words({{0x6000, 0xBF000000}})), "");
    EXPECT_TRUE(fds_for(dev.user).empty());
    EXPECT_TRUE(fds_for(dev.c2h).empty());
    EXPECT_TRUE(mappings_of(dev.user).empty());
}

TEST_F(EngineRegisters, EveryWriteHitsItsOffsetAndNothingElse)
{
    struct operation {
        const char* name;
        std::function<void(qrng_handler&)> call;
        word_map written;
    };
    const operation ops[] = {
        {"spi_enable", [](qrng_handler& q) { q.spi_enable(); }, {{0x6000, 0xA0000000}}},
        {"spi_disable", [](qrng_handler& q) { q.spi_disable(); }, {{0x6000, 0xAE000000}}},
        {"spi_start", [](qrng_handler& q) { q.spi_start(); }, {{0x6000, 0xA2000000}}},
        {"spi_stop", [](qrng_handler& q) { q.spi_stop(); }, {{0x6000, 0xAF000000}}},
        {"spi_reset", [](qrng_handler& q) { q.spi_reset(); }, {{0x6000, 0xA3000000}}},
        {"filter on", [](qrng_handler& q) { q.set_filter(true); }, {{0x6000, 0xD0000000}}},
        {"filter off", [](qrng_handler& q) { q.set_filter(false); }, {{0x6000, 0xD1000000}}},
        {"drbg on", [](qrng_handler& q) { q.set_enable_drbg(true); }, {{0x6000, 0xD2000000}}},
        {"drbg off", [](qrng_handler& q) { q.set_enable_drbg(false); }, {{0x6000, 0xD3000000}}},
        {"debug on", [](qrng_handler& q) { q.set_enable_debug(true); }, {{0x6000, 0xD4000000}}},
        {"debug off", [](qrng_handler& q) { q.set_enable_debug(false); }, {{0x6000, 0xD5000000}}},
        {"set_mask", [](qrng_handler& q) { q.set_mask(0x0000000F); }, {{0x6008, 0x0000000F}}},
        {"set_mask all", [](qrng_handler& q) { q.set_mask(0xFFFFFFFF); }, {{0x6008, 0xFFFFFFFF}}},
        {"set_standby", [](qrng_handler& q) { q.set_standby(10000); }, {{0x6014, 10000}}},
        {"set_standby high", [](qrng_handler& q) { q.set_standby(0x80000000); }, {{0x6014, 0x80000000}}},
        {"write_rgb 3", [](qrng_handler& q) { q.write_rgb(3, 0xFF0000FF); }, {{0x600C, 0xD3}, {0x6010, 0xFF0000FF}}},
        {"write_rgb 0", [](qrng_handler& q) { q.write_rgb(0, 0); }, {{0x600C, 0xD0}, {0x6010, 0}}},
        {"write_rgb 15", [](qrng_handler& q) { q.write_rgb(15, 0x00FF00FF); }, {{0x600C, 0xDF}, {0x6010, 0x00FF00FF}}},
        {"write_rgb 16", [](qrng_handler& q) { q.write_rgb(16, 0x12345678); }, {{0x600C, 0xD0}, {0x6010, 0x12345678}}},
    };
    qrng_handler engine(dir.file("fifo"), dev.prefix);
    for (const operation& op : ops) {
        dev.fill_user();
        op.call(engine);
        EXPECT_EQ(differences(dev.user_words(), expected_words(op.written)), "") << op.name;
    }
}

TEST_F(EngineRegisters, ChipWritesCarryConsecutiveIdentifiers)
{
    qrng_handler engine(dir.file("fifo"), dev.prefix);
    dev.fill_user();

    engine.qrng_set_mode(true);
    uint32_t first = dev.word(0x601C);
    EXPECT_EQ(dev.word(0x6018), 0x20100001u);
    EXPECT_EQ(first & 0xFFFF, 0xFFu);

    engine.qrng_set_mode(false);
    EXPECT_EQ(dev.word(0x6018), 0x20100000u);
    EXPECT_EQ(dev.word(0x601C), (((first >> 16) + 1) & 0xFFFF) << 16 | 0xFF);

    // Full 16-bit halves, no sign extension, chip selector in the low half.
    engine.qrng_write_reg(0x1234, 0xFFFF, 0x8001);
    EXPECT_EQ(dev.word(0x6018), 0xFFFF8001u);
    EXPECT_EQ(dev.word(0x601C), (((first >> 16) + 2) & 0xFFFF) << 16 | 0x1234);
    EXPECT_EQ(differences(dev.user_words(), expected_words({{0x6018, dev.word(0x6018)}, {0x601C, dev.word(0x601C)}})),
              "");

    // Across a whole turn of the 16-bit identifier, including its wrap to 0.
    uint32_t previous = dev.word(0x601C) >> 16;
    bool wrapped = false;
    for (int i = 0; i < 65537; i++) {
        engine.qrng_write_reg(0xFF, 0x2010, 1);
        uint32_t id = dev.word(0x601C) >> 16;
        ASSERT_EQ(id, (previous + 1) & 0xFFFF) << "call " << i;
        wrapped = wrapped || id == 0;
        previous = id;
    }
    EXPECT_TRUE(wrapped);
}

TEST_F(EngineRegisters, ReadsComeFromTheirOffsets)
{
    qrng_handler engine(dir.file("fifo"), dev.prefix);
    dev.fill_user(); // the pattern is different at every offset
    EXPECT_EQ(engine.hw_version(), fake_devices::pattern(0x6000));
    EXPECT_EQ(engine.get_qrng_num(), fake_devices::pattern(0x6004));
    EXPECT_EQ(engine.ddr_address(), fake_devices::pattern(0x6008));
    EXPECT_EQ(engine.get_status(), fake_devices::pattern(0x600C));

    struct {
        uint32_t low, high;
        unsigned long rate;
    } rates[] = {
        {0xE7E8E9EA, 0x80000001, 0x80000001E7E8E9EAul},
        {0x80000000, 0, 0x80000000ul},
        {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFFFFFFFFFFul},
        {0, 0x00000100, 0x0000010000000000ul},
    };
    for (const auto& r : rates) {
        dev.set_word(0x6010, r.low);
        dev.set_word(0x6014, r.high);
        EXPECT_EQ(engine.get_rate(), r.rate) << std::hex << r.low << " " << r.high;
    }
}

TEST_F(EngineRegisters, FilterRatios)
{
    qrng_handler engine(dir.file("fifo"), dev.prefix);
    dev.set_word(0x6020, 3); // chip 0
    dev.set_word(0x6024, 4);
    dev.set_word(0x6028, 5); // chip 1
    dev.set_word(0x602C, 0);
    dev.set_word(0x6030, 0xFFFFFFFF); // chip 2
    dev.set_word(0x6034, 1);
    dev.set_word(0x6038, 6); // chip 3, beyond the chip count
    dev.set_word(0x603C, 2);

    // Before the chip count is known, no chip has a ratio.
    qrng_test_access::set_qrng_num(engine, 0);
    EXPECT_EQ(engine.get_filter_ratio(0), 0.0f);

    qrng_test_access::set_qrng_num(engine, 3);
    EXPECT_EQ(engine.get_filter_ratio(0), 0.75f);
    EXPECT_EQ(engine.get_filter_ratio(1), 0.0f);
    EXPECT_EQ(engine.get_filter_ratio(2), 4294967296.0f); // counters are unsigned
    EXPECT_EQ(engine.get_filter_ratio(3), 0.0f);
    EXPECT_EQ(engine.get_filter_ratio(1000000), 0.0f);
}

} // namespace
