// The simulated board behind the simulated device layer.
#include "defs.h"
#include "sim_content.h"
#include "sim_model.h"
#include "test_support.h"
#include "xdma.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>
#include <tuple>

namespace {

constexpr int REG_CONTROL = 0x6000, REG_DDR = 0x6008, REG_STATUS = 0x600C, REG_REPORT = 0x6018, REG_FILTER = 0x6020;
constexpr unsigned START = 0xA2000000, STOP = 0xAF000000, RESET = 0xA3000000, FILTER_ON = 0xD0000000;

class SimModel : public ::testing::Test {
protected:
    void SetUp() override { dev.open_user(); dev.open_c2h(); }
    void TearDown() override { sim_trace_to(""); sim_configure(""); }
    // A fresh board with a frozen clock.
    void board(const std::string& config)
    {
        ASSERT_EQ(sim_configure(config), "");
        sim_freeze_clock();
    }
    unsigned reg(int offset) { return dev.read_register(offset, nullptr, 1); }
    void cmd(unsigned word) { dev.write_register(REG_CONTROL, word); }
    xdma_handler dev{"simunit"};
};

} // namespace

TEST(SimContent, KnownVectorAndUnalignedSlices)
{
    unsigned char head[8], all[64], part[40];
    sim_content_bytes(0, 0, head, 8);
    const unsigned char expected[8] = {0xAF, 0xCD, 0x1D, 0x7B, 0x39, 0xA8, 0x20, 0xE2};
    EXPECT_EQ(std::memcmp(head, expected, 8), 0);
    EXPECT_EQ(sim_content_word(0, 1), 0xE220A839u);
    sim_content_bytes(42, 0, all, 64);
    for (size_t offset : {3, 5, 12, 16})
        for (size_t size : {1, 9, 40}) {
            sim_content_bytes(42, offset, part, size);
            EXPECT_EQ(std::memcmp(part, all + offset, size), 0) << offset << " " << size;
        }
}

TEST_F(SimModel, PointerOverTime)
{
    board("rate=4"); // 1 Mi words per second
    const std::tuple<unsigned, double, unsigned> steps[] = {
        {0, 1, 0},          {START, 1.5, 1572864}, {STOP, 5, 1572864},       {START, 0.25, 1835008},
        {RESET, 0, 0},      {0, 0.25, 262144},     {0xBF000000, 1, 262144},
    };
    for (const auto& s : steps) {
        if (std::get<0>(s))
            cmd(std::get<0>(s));
        sim_advance_clock(std::get<1>(s));
        EXPECT_EQ(reg(REG_DDR), std::get<2>(s)) << std::hex << std::get<0>(s);
    }
    board("rate=0.5");
    cmd(START);
    sim_advance_clock(2);
    EXPECT_EQ(reg(REG_DDR), 262144u);
    uint32_t w[8];
    EXPECT_EQ(dev.read_memory(w, 32, 262140 * 4), 32);
    EXPECT_EQ(std::make_pair(w[3], w[4]), std::make_pair(sim_content_word(sim_get_state().seed, 262143), 0u));

    board("rate=1024,seed=5"); // a lap every 0.25 s
    cmd(START);
    sim_advance_clock(0.3);
    const uint64_t p = reg(REG_DDR);
    EXPECT_EQ(std::make_tuple(sim_get_state().words_written, sim_get_state().lap, p),
              std::make_tuple(uint64_t{80530636}, uint64_t{1}, 80530636 - SIM_RING_WORDS));
    ASSERT_EQ(dev.read_memory(w, 32, (p - 4) * 4), 32);
    for (uint64_t i = 0; i < 8; i++)
        EXPECT_EQ(w[i], sim_content_word(5, (i < 4 ? SIM_RING_WORDS : 0) + p - 4 + i)) << i;
    EXPECT_EQ(dev.read_memory(w, 8, SIM_RING_BYTES - 4), -1);
    EXPECT_EQ(dev.read_memory(w, 4, SIM_RING_BYTES - 4), 4);
}

TEST_F(SimModel, SharedOffsetsHaveSeparateReadAndWriteMeanings)
{
    board("board=m2");
    const std::pair<int, unsigned> writes[] = {
        {0x6000, FILTER_ON},  {0x6004, 77},         {0x6008, 0x3},        {0x600C, 0xD3},      {0x6010, 0xFF0000FF},
        {0x600C, 0xD0 | 16},  {0x6010, 0x11223344}, {0x6014, 10000},      {0x6018, 0x20100001}, {0x601C, 0x234500FF}};
    for (const auto& w : writes)
        dev.write_register(w.first, w.second);
    const unsigned reads[] = {0xD7000001, 4, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(reg(0x6000 + 4 * i), reads[i]) << i;
    const sim_state s = sim_get_state();
    const sim_chip_write& chip = s.last_chip_write;
    EXPECT_EQ(std::make_tuple(s.filter, s.chip_mask, s.led[3], s.led[0], s.standby, s.chip_writes, chip.reg,
                              chip.value, chip.chip, chip.id),
              std::make_tuple(true, 0x3u, 0xFF0000FFu, 0x11223344u, 10000u, uint64_t{1}, 0x2010, 1, 0xFF, 0x2345));
}

TEST_F(SimModel, ChipHealth)
{
    // The pointer runs at the configured rate (32 MiB/s) whatever the number of working chips.
    struct { const char* config; unsigned mask; double after_start; bool filter; unsigned status, pointer; } cases[] = {
        {"chips=4", ~0u, 1, true, 0xF, 8388608},           {"chips=4,dead=0x5", ~0u, 1, true, 0xA, 8388608},
        {"chips=4", 0x6, 1, false, 0x6, 8388608},          {"chips=4,die_after=1.5", ~0u, 1, true, 0xF, 8388608},
        {"chips=4,die_after=1.5", ~0u, 2, true, 0, 12582912}, {"chips=10,dead=0x200", ~0u, 1, true, 0x1FF, 8388608},
        {"dead=0x3F", ~0u, 1, true, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config);
        board(c.config);
        dev.write_register(REG_DDR, c.mask);
        EXPECT_EQ(reg(REG_STATUS), 0u);
        if (c.filter)
            cmd(FILTER_ON);
        cmd(START);
        sim_advance_clock(c.after_start);
        EXPECT_EQ(reg(REG_STATUS), c.status);
        EXPECT_EQ(reg(REG_DDR), c.pointer);
        const uint64_t rate = reg(0x6010) | static_cast<uint64_t>(reg(0x6014)) << 32;
        for (unsigned i = 0; i < 8; i++) {
            const bool works = (c.status >> i) & 1;
            const unsigned byte = (rate >> (8 * i)) & 0xFF, first = reg(REG_FILTER + 8 * i),
                           second = reg(REG_FILTER + 8 * i + 4);
            EXPECT_TRUE(works ? byte >= 0xF0 : byte == 0) << "chip " << i;
            EXPECT_TRUE(works && c.filter ? first > 0 && first < second : first + second == 0) << "chip " << i;
        }
    }
}

TEST_F(SimModel, ChecksumReports)
{
    board("rate=4,seed=9,corrupt_every=2");
    cmd(START);
    for (int n = 1; n <= 4; n++) {
        sim_advance_clock(0.01); // 41943 words: a new block each time
        unsigned report[2] = {0, 0}, again[2];
        EXPECT_EQ(dev.read_register(REG_REPORT, report, 2), report[0]);
        EXPECT_EQ(report[1], (sim_get_state().words_written / 512 - 1) * 512);
        uint32_t block[512], x = 0;
        ASSERT_EQ(dev.read_memory(block, sizeof block, report[1] * 4UL), 2048);
        for (uint32_t w : block)
            x ^= w;
        EXPECT_EQ(report[0] == x, n % 2 == 1) << "report " << n;
        dev.read_register(REG_REPORT, again, 2);
        EXPECT_EQ(again[0], report[0]);
        EXPECT_EQ(sim_get_state().reports_published, static_cast<uint64_t>(n));
    }
}

TEST_F(SimModel, DmaFaults)
{
    board("dma_fail_every=2,short_every=3");
    unsigned char buf[4096];
    for (long expected : {4096, -1, 2048, -1, 4096, -1, 4096, -1, 2048})
        EXPECT_EQ(dev.read_memory(buf, 4096, 0), expected);
    EXPECT_EQ(std::make_tuple(sim_get_state().dma_reads, sim_get_state().dma_bytes), std::make_tuple(9u, 16384u));
    board("short_every=1");
    EXPECT_EQ(dev.read_memory(buf, 6, 0), 0);
    board("dma_us=30000");
    const auto t0 = std::chrono::steady_clock::now();
    dev.read_memory(buf, 4096, 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(30));

    // The second read hangs for a second without keeping the registers from answering.
    board("dma_hang=2,dma_hang_s=1");
    dev.read_memory(buf, 4096, 0);
    std::atomic<bool> returned{false};
    const auto t1 = std::chrono::steady_clock::now();
    std::thread hung([&] { EXPECT_EQ(dev.read_memory(buf, 4096, 0), 4096); returned = true; });
    while (sim_get_state().dma_reads < 2)
        std::this_thread::yield();
    EXPECT_EQ(reg(REG_CONTROL), 0xDA000102u);
    EXPECT_FALSE(returned);
    hung.join();
    EXPECT_GE(std::chrono::steady_clock::now() - t1, std::chrono::seconds(1));
}

TEST(SimDevice, OpenFailuresEndTheProcess)
{
    const std::pair<const char*, const char*> cases[] = {
        {"missing=user", "[ERROR] Failed to open device: /dev/openfail_user\n"},
        {"missing=c2h", "[ERROR] Failed to open device: /dev/openfail_c2h_0\n"},
        {"mmap_fail=1", "[ERROR] Failed to mmap device: /dev/openfail_user\n"},
    };
    for (const auto& c : cases) {
        const proc_result r = run_in_child([&] {
            log_stdout = 1;
            log_level = LEVEL_INFO;
            sim_configure(c.first);
            xdma_handler dev("openfail");
            dev.open_user();
            dev.open_c2h();
        });
        EXPECT_EQ(r.status, 1) << c.first;
        EXPECT_EQ(r.out, c.second) << c.first;
    }
}

TEST(SimConfig, BadConfigurationsExitTwoNamingTheKey)
{
    for (const std::string key : {"colour=red", "rate=fast", "chips=33", "dead", "dma_hang_s=600.5"}) {
        const proc_result r = run_command({QRNGD_SIM_BIN, "-h"}, {"QRNG_SIM=" + key}, 30);
        EXPECT_EQ(r.status, 2) << key;
        EXPECT_NE(r.err.find(key.substr(0, key.find('='))), std::string::npos) << key << ": " << r.err;
        EXPECT_EQ(r.out, "") << key;
    }
    const std::pair<const char*, std::tuple<unsigned, unsigned, uint64_t>> accepted[] = {
        {"board=m2, rate=0.5,die_after=0.25,seed=0xFF,dma_us=10,dma_hang=3,dma_hang_s=600,,", {0xD7000001, 4, 0xFF}},
        {"board=m2,version=12345678,chips=8,seed=7", {0x12345678, 8, 7}},
        {"seed=18446744073709551615", {0xDA000102, 6, ~uint64_t{0}}},
    };
    for (const auto& c : accepted) {
        ASSERT_EQ(sim_configure(c.first), "");
        const sim_state s = sim_get_state();
        EXPECT_EQ(std::make_tuple(s.version, s.chips, s.seed), c.second) << c.first;
    }
    EXPECT_EQ(read_file(QRNGD_BIN).find("QRNG_SIM"), std::string::npos);
    temp_dir dir; // the counters reach QRNG_SIM_STATS when the process exits
    run_command({QRNGD_SIM_BIN, "-h"}, {"QRNG_SIM_STATS=" + dir.file("stats")}, 30);
    EXPECT_EQ(read_file(dir.file("stats")), "dma_reads=0\ndma_bytes=0\nwords_generated=0\n");
    sim_configure("");
}

TEST_F(SimModel, TraceFormat)
{
    temp_dir dir;
    board("board=m2,seed=1");
    ASSERT_TRUE(sim_trace_to(dir.file("trace")));
    cmd(0xB0000000);
    reg(REG_CONTROL);
    unsigned report[2];
    dev.read_register(REG_REPORT, report, 2);
    static unsigned char buf[65536];
    dev.read_memory(buf, 65536, 0x10000);
    dev.read_memory(buf, 8, SIM_RING_BYTES);
    dev.close_c2h();
    dev.close_user();
    dev.open_user();
    dev.open_c2h();
    EXPECT_EQ(read_file(dir.file("trace")), "W 6000 B0000000\nR 6000 D7000001\nR 6018 00000000\nR 601C 00000000\n"
                                            "D 00010000 65536 65536\nD 10000000 8 -1\nC /dev/simunit_c2h_0\n"
                                            "C /dev/simunit_user\nO /dev/simunit_user\nO /dev/simunit_c2h_0\n");

    // Accesses from two threads at once still make one whole line each.
    ASSERT_TRUE(sim_trace_to(dir.file("threads")));
    cmd(START);
    std::thread monitor([&] {
        for (int i = 0; i < 2000; i++)
            reg(REG_DDR);
    });
    for (int i = 0; i < 500; i++)
        dev.read_memory(buf, 4096, 0);
    monitor.join();
    std::istringstream lines(read_file(dir.file("threads")));
    int n = 0;
    for (std::string line; std::getline(lines, line); n++)
        ASSERT_TRUE(line == "W 6000 A2000000" || line == "D 00000000 4096 4096" ||
                    (line.size() == 15 && line.compare(0, 7, "R 6008 ") == 0 &&
                     line.find_first_not_of("0123456789ABCDEF", 7) == std::string::npos))
            << line;
    EXPECT_EQ(n, 2501);
}
