// The engine's register operations on the real device layer, a file on tmpfs as the window.
#include "hw_support.h"
#include "qrng.h"

struct qrng_test_access { static void set_qrng_num(qrng_handler& q, int n) { q.qrng_num = n; } };

using words = std::map<size_t, uint32_t>;

// Construction writes start-up, destruction shut-down and releases both devices; in between
// each operation writes its words and nothing else. A chip write puts the data word (register
// << 16 | value), then the command word (identifier << 16 | chip), with consecutive identifiers.
TEST(EngineRegisters, EveryOperationWritesItsWordsAndNothingElse)
{
#define OP(...) [](qrng_handler& e) { e.__VA_ARGS__; }
    const std::pair<void (*)(qrng_handler&), words> ops[] = {
        {OP(spi_enable()), {{0x6000, 0xA0000000}}}, {OP(spi_disable()), {{0x6000, 0xAE000000}}},
        {OP(spi_start()), {{0x6000, 0xA2000000}}}, {OP(spi_stop()), {{0x6000, 0xAF000000}}},
        {OP(spi_reset()), {{0x6000, 0xA3000000}}}, {OP(set_filter(true)), {{0x6000, 0xD0000000}}},
        {OP(set_filter(false)), {{0x6000, 0xD1000000}}}, {OP(set_enable_drbg(true)), {{0x6000, 0xD2000000}}},
        {OP(set_enable_drbg(false)), {{0x6000, 0xD3000000}}}, {OP(set_enable_debug(true)), {{0x6000, 0xD4000000}}},
        {OP(set_enable_debug(false)), {{0x6000, 0xD5000000}}}, {OP(set_mask(0xF)), {{0x6008, 0xF}}},
        {OP(set_standby(0x80000000)), {{0x6014, 0x80000000}}},
        {OP(write_rgb(15, 0x00FF00FF)), {{0x600C, 0xDF}, {0x6010, 0x00FF00FF}}},
        {OP(qrng_set_mode(true)), {{0x6018, 0x20100001}, {0x601C, 0xFF}}},
        {OP(qrng_set_mode(false)), {{0x6018, 0x20100000}, {0x601C, 0xFF}}},
        {OP(qrng_write_reg(0x1234, 0x8010, 0x8001)), {{0x6018, 0x80108001}, {0x601C, 0x1234}}},
    };
#undef OP
    temp_dir dir;
    uint32_t id = 0, chip_writes = 0;
    for (size_t i = 0; i < std::size(ops); i++) {
        fake_devices dev;
        words want = ops[i].second;
        want.emplace(0x6000, 0xB0000000);
        auto engine = std::make_unique<qrng_handler>(dir.file("fifo"), dev.prefix);
        ops[i].first(*engine);
        if (want.count(0x601C))
            want[0x601C] |= (id = chip_writes++ ? (id + 1) & 0xFFFF : dev.changes()[0x601C] >> 16) << 16;
        EXPECT_EQ(dev.changes(), want) << "operation " << i;
        engine.reset();
        want[0x6000] = 0xBF000000;
        EXPECT_EQ(std::make_pair(dev.changes(), held(dev.user) + held(dev.c2h)), std::make_pair(want, std::string()))
            << "operation " << i;
    }
}

// Rate words at 0x6010 and 0x6014; filter counters (first, second) of chip i at 0x6020 + 8i,
// unsigned; only chips below the count have any.
TEST(EngineRegisters, ReadsTakeTheirOffsets)
{
    temp_dir dir;
    fake_devices dev({{0x6010, 0xE7E8E9EA}, {0x6014, 0x80000001}, {0x6020, 3}, {0x6024, 4}, {0x6028, 5}, {0x602C, 0},
                      {0x6030, 0xFFFFFFFF}, {0x6034, 1}});
    qrng_handler engine(dir.file("fifo"), dev.prefix);
    EXPECT_EQ(std::make_tuple(engine.hw_version(), engine.get_qrng_num(), engine.ddr_address(), engine.get_status(),
                              engine.get_rate()),
              std::make_tuple(0xB0000000u, fake_devices::pattern(0x6004), fake_devices::pattern(0x6008),
                              fake_devices::pattern(0x600C), 0x80000001E7E8E9EAul));
    qrng_test_access::set_qrng_num(engine, 3);
    const std::pair<int, float> ratios[] = {{0, 0.75f}, {1, 0}, {2, 4294967296.0f}, {3, 0}, {-1, 0}};
    for (const auto& r : ratios)
        EXPECT_EQ(engine.get_filter_ratio(r.first), r.second) << r.first;
}
