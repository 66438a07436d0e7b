// The engine's register operations on the real device layer, with a file on
// tmpfs as the register window.
#include "hw_support.h"
#include "qrng.h"
#include "test_support.h"

#include <map>

struct qrng_test_access {
    static void set_qrng_num(qrng_handler& q, int n) { q.qrng_num = n; }
};

namespace {

// Offsets where the register file differs from the pattern with `changed` written over it.
std::string differences(const fake_devices& dev, const std::map<size_t, uint32_t>& changed)
{
    std::vector<uint32_t> got = dev.user_words();
    std::string s;
    for (size_t i = 0; i < got.size(); i++) {
        auto c = changed.find(i * 4);
        uint32_t want = c == changed.end() ? fake_devices::pattern(i * 4) : c->second;
        if (got[i] != want)
            s += " [" + std::to_string(i * 4) + "]=" + std::to_string(got[i]) + " want " + std::to_string(want);
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
        EXPECT_EQ(differences(dev, {{0x6000, 0xB0000000}}), "");
        EXPECT_EQ(fds_for(dev.user).size(), 1u);
        EXPECT_EQ(fds_for(dev.c2h).size(), 1u);
        EXPECT_NE(access(dir.file("fifo").c_str(), F_OK), 0);
    }
    EXPECT_EQ(differences(dev, {{0x6000, 0xBF000000}}), "");
    EXPECT_TRUE(fds_for(dev.user).empty());
    EXPECT_TRUE(fds_for(dev.c2h).empty());
    EXPECT_TRUE(mappings_of(dev.user).empty());
}

TEST_F(EngineRegisters, EveryWriteHitsItsOffsetAndNothingElse)
{
    using q = qrng_handler;
    const struct {
        void (*call)(q&);
        std::map<size_t, uint32_t> written;
    } ops[] = {
        {[](q& e) { e.spi_enable(); }, {{0x6000, 0xA0000000}}},
        {[](q& e) { e.spi_disable(); }, {{0x6000, 0xAE000000}}},
        {[](q& e) { e.spi_start(); }, {{0x6000, 0xA2000000}}},
        {[](q& e) { e.spi_stop(); }, {{0x6000, 0xAF000000}}},
        {[](q& e) { e.spi_reset(); }, {{0x6000, 0xA3000000}}},
        {[](q& e) { e.set_filter(true); }, {{0x6000, 0xD0000000}}},
        {[](q& e) { e.set_filter(false); }, {{0x6000, 0xD1000000}}},
        {[](q& e) { e.set_enable_drbg(true); }, {{0x6000, 0xD2000000}}},
        {[](q& e) { e.set_enable_drbg(false); }, {{0x6000, 0xD3000000}}},
        {[](q& e) { e.set_enable_debug(true); }, {{0x6000, 0xD4000000}}},
        {[](q& e) { e.set_enable_debug(false); }, {{0x6000, 0xD5000000}}},
        {[](q& e) { e.set_mask(0x0000000F); }, {{0x6008, 0x0000000F}}},
        {[](q& e) { e.set_standby(0x80000000); }, {{0x6014, 0x80000000}}},
        {[](q& e) { e.write_rgb(15, 0x00FF00FF); }, {{0x600C, 0xDF}, {0x6010, 0x00FF00FF}}},
        {[](q& e) { e.write_rgb(16, 0x12345678); }, {{0x600C, 0xD0}, {0x6010, 0x12345678}}},
    };
    qrng_handler engine(dir.file("fifo"), dev.prefix);
    for (size_t i = 0; i < std::size(ops); i++) {
        dev.fill_user();
        ops[i].call(engine);
        EXPECT_EQ(differences(dev, ops[i].written), "") << "operation " << i;
    }
}

TEST_F(EngineRegisters, ChipWritesCarryConsecutiveIdentifiers)
{
    qrng_handler engine(dir.file("fifo"), dev.prefix);
    dev.fill_user();
    engine.qrng_set_mode(true);
    uint32_t first = dev.word(0x601C) >> 16;
    EXPECT_EQ(dev.word(0x6018), 0x20100001u);
    EXPECT_EQ(dev.word(0x601C) & 0xFFFF, 0xFFu);
    engine.qrng_set_mode(false);
    EXPECT_EQ(dev.word(0x6018), 0x20100000u);
    EXPECT_EQ(dev.word(0x601C), ((first + 1) & 0xFFFF) << 16 | 0xFF);

    // Full 16-bit halves, no sign extension, chip selector in the low half.
    engine.qrng_write_reg(0x1234, 0xFFFF, 0x8001);
    uint32_t id_word = ((first + 2) & 0xFFFF) << 16 | 0x1234;
    EXPECT_EQ(differences(dev, {{0x6018, 0xFFFF8001}, {0x601C, id_word}}), "");

    // A whole turn of the 16-bit identifier, through its wrap to 0.
    uint32_t previous = id_word >> 16;
    for (int i = 0; i < 65537; i++) {
        engine.qrng_write_reg(0xFF, 0x2010, 1);
        ASSERT_EQ(dev.word(0x601C) >> 16, (previous + 1) & 0xFFFF) << "call " << i;
        previous = (previous + 1) & 0xFFFF;
    }
}

TEST_F(EngineRegisters, Reads)
{
    qrng_handler engine(dir.file("fifo"), dev.prefix);
    dev.fill_user();
    EXPECT_EQ(engine.hw_version(), fake_devices::pattern(0x6000));
    EXPECT_EQ(engine.get_qrng_num(), fake_devices::pattern(0x6004));
    EXPECT_EQ(engine.ddr_address(), fake_devices::pattern(0x6008));
    EXPECT_EQ(engine.get_status(), fake_devices::pattern(0x600C));
    dev.set_word(0x6010, 0xE7E8E9EA);
    dev.set_word(0x6014, 0x80000001);
    EXPECT_EQ(engine.get_rate(), 0x80000001E7E8E9EAul);

    // Filter counters per chip: (0x6020 + 8i, 0x6024 + 8i); chip 3 is beyond the count.
    const uint32_t counters[] = {3, 4, 5, 0, 0xFFFFFFFF, 1, 6, 2};
    for (size_t i = 0; i < std::size(counters); i++)
        dev.set_word(0x6020 + 4 * i, counters[i]);
    qrng_test_access::set_qrng_num(engine, 0);
    EXPECT_EQ(engine.get_filter_ratio(0), 0.0f);
    qrng_test_access::set_qrng_num(engine, 3);
    EXPECT_EQ(engine.get_filter_ratio(0), 0.75f);
    EXPECT_EQ(engine.get_filter_ratio(1), 0.0f);
    EXPECT_EQ(engine.get_filter_ratio(2), 4294967296.0f); // unsigned counters
    EXPECT_EQ(engine.get_filter_ratio(3), 0.0f);
    EXPECT_EQ(engine.get_filter_ratio(1000000), 0.0f);
}

} // namespace
