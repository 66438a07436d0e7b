// The simulated board: content, write pointer over time, register meanings,
// chip health, checksum reports, faults, configuration, trace and the
// simulated device layer's behaviour towards its callers.
#include "defs.h"
#include "sim_content.h"
#include "sim_model.h"
#include "test_support.h"
#include "xdma.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

namespace {

constexpr int REG_CONTROL = 0x6000, REG_CHIPS = 0x6004, REG_DDR = 0x6008, REG_STATUS = 0x600C;
constexpr int REG_RATE_LO = 0x6010, REG_RATE_HI = 0x6014, REG_REPORT = 0x6018, REG_FILTER = 0x6020;
constexpr unsigned CMD_START = 0xA2000000, CMD_STOP = 0xAF000000, CMD_RESET = 0xA3000000;
constexpr unsigned CMD_SHUTDOWN = 0xBF000000, CMD_FILTER_ON = 0xD0000000;

class SimModel : public ::testing::Test {
protected:
    // A board configured and opened, with a frozen clock unless `real_clock`.
    void board(const std::string& config, bool real_clock = false)
    {
        ASSERT_EQ(sim_configure(config), "");
        if (!real_clock)
            sim_freeze_clock();
        dev.open_user();
        dev.open_c2h();
    }
    unsigned reg(int offset) { return dev.read_register(offset, nullptr, 1); }
    void cmd(unsigned word) { dev.write_register(REG_CONTROL, word); }
    void TearDown() override
    {
        sim_trace_to("");
        sim_configure("");
    }
    xdma_handler dev{"simunit"};
};

std::vector<uint32_t> words_of(const std::vector<unsigned char>& bytes)
{
    std::vector<uint32_t> w(bytes.size() / 4);
    std::memcpy(w.data(), bytes.data(), w.size() * 4);
    return w;
}

} // namespace

TEST(SimContent, KnownVectorAndArbitrarySlices)
{
    unsigned char head[8];
    sim_content_bytes(0, 0, head, 8);
    const unsigned char expected[8] = {0xAF, 0xCD, 0x1D, 0x7B, 0x39, 0xA8, 0x20, 0xE2};
    EXPECT_EQ(std::memcmp(head, expected, 8), 0);
    EXPECT_EQ(sim_content_word(0, 0), 0x7B1DCDAFu);
    EXPECT_EQ(sim_content_word(0, 1), 0xE220A839u);

    std::vector<unsigned char> ref(64);
    for (uint64_t k = 0; k < 8; k++)
        for (int b = 0; b < 8; b++)
            ref[8 * k + b] = static_cast<unsigned char>(sim_content_output(42, k) >> (8 * b));
    const size_t slices[][2] = {{0, 64}, {3, 13}, {5, 1}, {7, 9}, {16, 3}, {12, 40}};
    for (const auto& s : slices) {
        std::vector<unsigned char> got(s[1]);
        sim_content_bytes(42, s[0], got.data(), got.size());
        EXPECT_EQ(std::memcmp(got.data(), ref.data() + s[0], s[1]), 0) << "offset " << s[0] << " size " << s[1];
    }
    uint32_t x = 0;
    for (uint64_t n = 7 * 512; n < 8 * 512; n++)
        x ^= sim_content_word(42, n);
    EXPECT_EQ(sim_block_checksum(42, 7 * 512), x);
}

TEST_F(SimModel, PointerFollowsCommandsAndRate)
{
    board("rate=4,seed=3");
    sim_advance_clock(1);
    EXPECT_EQ(reg(REG_DDR), 0u) << "nothing is written before spi_start";
    cmd(CMD_RESET);
    cmd(CMD_START);
    sim_advance_clock(1);
    EXPECT_EQ(reg(REG_DDR), 1048576u); // 4 MiB/s = 1 Mi words per second
    sim_advance_clock(0.5);
    EXPECT_EQ(reg(REG_DDR), 1572864u);
    cmd(CMD_STOP);
    sim_advance_clock(5);
    EXPECT_EQ(reg(REG_DDR), 1572864u) << "spi_stop freezes the pointer";
    cmd(CMD_START);
    sim_advance_clock(0.25);
    EXPECT_EQ(reg(REG_DDR), 1572864u + 262144u);
    cmd(CMD_RESET);
    EXPECT_EQ(reg(REG_DDR), 0u);
    sim_advance_clock(0.25);
    EXPECT_EQ(reg(REG_DDR), 262144u) << "a reset while running goes on from 0";
    cmd(CMD_SHUTDOWN);
    sim_advance_clock(1);
    EXPECT_EQ(reg(REG_DDR), 262144u);

    ASSERT_EQ(sim_configure("rate=0.5"), "");
    sim_freeze_clock();
    cmd(CMD_START);
    sim_advance_clock(2);
    EXPECT_EQ(sim_get_state().words_written, 262144u);
}

TEST_F(SimModel, PointerWrapsIntoNewLaps)
{
    board("rate=1024"); // 256 Mi words per second: a lap every 0.25 s
    cmd(CMD_START);
    sim_advance_clock(0.3);
    sim_state s = sim_get_state();
    EXPECT_EQ(s.words_written, 80530636u);
    EXPECT_EQ(s.lap, 1u);
    EXPECT_EQ(reg(REG_DDR), 80530636u - 0x4000000u);

    // With the real clock, at 4 GiB/s, several laps pass in 200 ms.
    sim_real_clock();
    ASSERT_EQ(sim_configure("rate=4096"), "");
    cmd(CMD_START);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_GE(sim_get_state().lap, 1u);
}

TEST_F(SimModel, SharedOffsetsHaveSeparateReadAndWriteMeanings)
{
    board("board=m2");
    dev.write_register(REG_CONTROL, CMD_FILTER_ON);
    dev.write_register(REG_CHIPS, 77);
    dev.write_register(REG_DDR, 0x3);
    dev.write_register(REG_STATUS, 0xD3);
    dev.write_register(REG_RATE_LO, 0xFF0000FF);
    dev.write_register(REG_STATUS, 16 | 0xD0); // 0xD0: LED 0
    dev.write_register(REG_RATE_LO, 0x11223344);
    dev.write_register(REG_RATE_HI, 10000);
    dev.write_register(REG_REPORT, 0x20100001);
    dev.write_register(REG_REPORT + 4, 0x234500FF);

    const std::pair<int, unsigned> reads[] = {{REG_CONTROL, 0xD7000001}, {REG_CHIPS, 4}, {REG_DDR, 0},
                                              {REG_STATUS, 0},           {REG_RATE_LO, 0}, {REG_RATE_HI, 0},
                                              {REG_REPORT, 0},           {REG_REPORT + 4, 0}};
    for (const auto& r : reads)
        EXPECT_EQ(reg(r.first), r.second) << std::hex << r.first;

    sim_state s = sim_get_state();
    EXPECT_TRUE(s.filter);
    EXPECT_EQ(s.chip_mask, 0x3u);
    EXPECT_EQ(s.led[3], 0xFF0000FFu);
    EXPECT_EQ(s.led[0], 0x11223344u);
    EXPECT_EQ(s.standby, 10000u);
    EXPECT_EQ(s.chip_writes, 1u);
    EXPECT_EQ(s.last_chip_write.reg, 0x2010);
    EXPECT_EQ(s.last_chip_write.value, 1);
    EXPECT_EQ(s.last_chip_write.chip, 0xFF);
    EXPECT_EQ(s.last_chip_write.id, 0x2345);
}

TEST_F(SimModel, ChipHealth)
{
    struct health_case {
        const char* config;
        unsigned mask;
        double after_start;
        unsigned status;
    };
    const health_case cases[] = {
        {"chips=4", 0xFFFFFFFF, 1, 0xF},        {"chips=4,dead=0x5", 0xFFFFFFFF, 1, 0xA},
        {"chips=4", 0x6, 1, 0x6},               {"chips=4,die_after=1.5", 0xFFFFFFFF, 1, 0xF},
        {"chips=4,die_after=1.5", 0xFFFFFFFF, 2, 0x0}, {"chips=10,dead=0x200", 0xFFFFFFFF, 1, 0x1FF},
    };
    board("");
    for (const health_case& c : cases) {
        SCOPED_TRACE(c.config);
        ASSERT_EQ(sim_configure(c.config), "");
        sim_freeze_clock();
        dev.write_register(REG_DDR, c.mask);
        EXPECT_EQ(reg(REG_STATUS), 0u) << "no chip works before spi_start";
        cmd(CMD_FILTER_ON);
        cmd(CMD_START);
        sim_advance_clock(c.after_start);
        EXPECT_EQ(reg(REG_STATUS), c.status);
        uint64_t rate = reg(REG_RATE_LO) | static_cast<uint64_t>(reg(REG_RATE_HI)) << 32;
        for (unsigned i = 0; i < 8; i++) {
            unsigned byte = (rate >> (8 * i)) & 0xFF;
            if ((c.status >> i) & 1)
                EXPECT_GE(byte, 0xF0u) << "chip " << i;
            else
                EXPECT_EQ(byte, 0u) << "chip " << i;
            unsigned first = reg(REG_FILTER + 8 * i), second = reg(REG_FILTER + 8 * i + 4);
            if ((c.status >> i) & 1) {
                EXPECT_GT(first, 0u);
                EXPECT_LT(first, second);
            } else {
                EXPECT_EQ(first + second, 0u);
            }
        }
    }
    // Dying stops the pointer at the time of death; filtering off zeroes the counters.
    ASSERT_EQ(sim_configure("rate=4,die_after=0.5"), "");
    sim_freeze_clock();
    cmd(CMD_START);
    sim_advance_clock(3);
    EXPECT_EQ(reg(REG_DDR), 524288u);
    ASSERT_EQ(sim_configure("rate=4,dead=0x3F"), "");
    cmd(CMD_START);
    EXPECT_EQ(reg(REG_FILTER), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(reg(REG_DDR), 0u) << "no working chip, no data";
}

TEST_F(SimModel, ChecksumReports)
{
    board("rate=4,seed=9,corrupt_every=2");
    cmd(CMD_START);
    for (int n = 1; n <= 4; n++) {
        sim_advance_clock(0.01); // 41943 words: a new block each time
        unsigned report[2] = {0, 0};
        EXPECT_EQ(dev.read_register(REG_REPORT, report, 2), report[0]);
        uint64_t words = sim_get_state().words_written;
        EXPECT_EQ(report[1], (words / 512 - 1) * 512);
        std::vector<unsigned char> block(2048);
        ASSERT_EQ(dev.read_memory(block.data(), 2048, report[1] * 4UL), 2048);
        uint32_t x = 0;
        for (uint32_t w : words_of(block))
            x ^= w;
        if (n % 2 == 0)
            EXPECT_NE(report[0], x) << "report " << n << " should be corrupted";
        else
            EXPECT_EQ(report[0], x) << "report " << n;
        unsigned again[2];
        dev.read_register(REG_REPORT, again, 2);
        EXPECT_EQ(again[0], report[0]) << "the same report reads the same";
        EXPECT_EQ(sim_get_state().reports_published, static_cast<uint64_t>(n));
    }
}

TEST_F(SimModel, DmaReadsTheLatestLapOfEachWord)
{
    board("rate=1024,seed=5");
    cmd(CMD_START);
    sim_advance_clock(0.3); // lap 1, pointer p
    uint64_t p = reg(REG_DDR);
    std::vector<unsigned char> buf(32);
    ASSERT_EQ(dev.read_memory(buf.data(), 32, (p - 4) * 4), 32);
    std::vector<uint32_t> w = words_of(buf);
    for (uint64_t i = 0; i < 8; i++) {
        uint64_t address = p - 4 + i;
        uint64_t lap = address < p ? 1 : 0;
        EXPECT_EQ(w[i], sim_content_word(5, lap * 0x4000000 + address)) << i;
    }
    // Before the first wrap, words beyond the pointer were never written.
    ASSERT_EQ(sim_configure("rate=4,seed=5"), "");
    sim_freeze_clock();
    cmd(CMD_START);
    sim_advance_clock(0.001);
    p = reg(REG_DDR);
    ASSERT_EQ(dev.read_memory(buf.data(), 32, (p - 4) * 4), 32);
    w = words_of(buf);
    EXPECT_EQ(w[3], sim_content_word(5, p - 1));
    EXPECT_EQ(w[4], 0u);
    EXPECT_EQ(dev.read_memory(buf.data(), 8, 0x10000000 - 4), -1) << "past the ring's end";
    EXPECT_EQ(dev.read_memory(buf.data(), 4, 0x10000000 - 4), 4);
}

TEST_F(SimModel, DmaFaults)
{
    struct fault_case {
        const char* config;
        std::vector<long> results;
    };
    const fault_case cases[] = {
        {"", {4096, 4096, 4096, 4096, 4096, 4096}},
        {"dma_fail_every=3", {4096, 4096, -1, 4096, 4096, -1}},
        {"short_every=2", {4096, 2048, 4096, 2048, 4096, 2048}},
        {"dma_fail_every=2,short_every=3", {4096, -1, 2048, -1, 4096, -1}},
    };
    board("");
    std::vector<unsigned char> buf(4096);
    for (const fault_case& c : cases) {
        SCOPED_TRACE(c.config);
        ASSERT_EQ(sim_configure(c.config), "");
        for (long expected : c.results)
            EXPECT_EQ(dev.read_memory(buf.data(), 4096, 0), expected);
        EXPECT_EQ(sim_get_state().dma_reads, c.results.size());
    }
    ASSERT_EQ(sim_configure("short_every=1"), "");
    EXPECT_EQ(dev.read_memory(buf.data(), 6, 0), 0) << "half of 6 bytes rounded down to a word";
    ASSERT_EQ(sim_configure("dma_us=30000"), "");
    auto t0 = std::chrono::steady_clock::now();
    dev.read_memory(buf.data(), 4096, 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(30));
}

TEST(SimDevice, RefusesLikeTheRealLayer)
{
    proc_result r = run_in_child([] {
        log_stdout = 1;
        log_level = LEVEL_INFO;
        sim_configure("");
        xdma_handler dev("closedtest");
        unsigned buf[2] = {7, 7};
        if (dev.read_register(0x6000, buf, 2) != 0 || buf[0] != 7)
            _exit(3);
        dev.write_register(0x6000, 1);
        if (dev.read_memory(buf, 8, 0x1000) != -2)
            _exit(4);
        dev.open_user();
        dev.open_c2h();
        if (dev.read_register(0x10000, nullptr, 1) != 0 || dev.read_register(0x6002, nullptr, 1) != 0 ||
            dev.read_register(-4, nullptr, 1) != 0 || dev.read_register(0xFFFC, buf, 2) != 0)
            _exit(5);
        dev.write_register(0x6001, 1);
        if (dev.read_register(0xFFFC, nullptr, 5) != 0 || dev.read_register(0x6000, nullptr, 1) != 0xDA000102)
            _exit(6);
        dev.close_user();
        dev.read_register(0x6004, nullptr, 1);
    });
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(count_lines_with(r.out, "[WARN] Device is not open. Failed to read register: 00006000"), 1);
    EXPECT_EQ(count_lines_with(r.out, "[WARN] Device is not open. Failed to write register: 00006000"), 1);
    EXPECT_EQ(count_lines_with(r.out, "[WARN] Device is not open. Failed to read memory: 00001000"), 1);
    for (const char* off : {"00010000", "00006002", "fffffffc", "0000fffc", "00006004"})
        EXPECT_EQ(count_lines_with(r.out, std::string("Failed to read register: ") + off), 1) << off;
    EXPECT_EQ(count_lines_with(r.out, "Failed to write register: 00006001"), 1);
}

TEST(SimDevice, OpenFailuresEndTheProcess)
{
    const std::pair<const char*, const char*> cases[] = {
        {"missing=user", "[ERROR] Failed to open device: /dev/openfail_user"},
        {"missing=c2h", "[ERROR] Failed to open device: /dev/openfail_c2h_0"},
        {"mmap_fail=1", "[ERROR] Failed to mmap device: /dev/openfail_user"},
    };
    for (const auto& c : cases) {
        proc_result r = run_in_child([&] {
            log_stdout = 1;
            log_level = LEVEL_INFO;
            sim_configure(c.first);
            xdma_handler dev("openfail");
            dev.open_user();
            dev.open_c2h();
        });
        EXPECT_EQ(r.status, 1) << c.first;
        EXPECT_EQ(count_lines_with(r.out, c.second), 1) << c.first << ": " << r.out;
        EXPECT_EQ(count_lines_with(r.out, "[ERROR]"), 1) << c.first;
    }
}

TEST(SimConfig, BadConfigurationsExitTwoNamingTheKey)
{
    const std::pair<const char*, const char*> cases[] = {
        {"colour=red", "colour"},  {"rate=fast", "rate"},          {"rate=-1", "rate"},
        {"rate=1e3", "rate"},      {"chips=33", "chips"},          {"board=m3", "board"},
        {"version=0xG1", "version"}, {"seed=12x", "seed"},         {"missing=both", "missing"},
        {"mmap_fail=2", "mmap_fail"}, {"die_after=soon", "die_after"}, {"dead", "dead"},
        {"dma_us=", "dma_us"},     {"seed=18446744073709551616", "seed"},
    };
    for (const auto& c : cases) {
        proc_result r = run_command({QRNGD_SIM_BIN, "-h"}, {std::string("QRNG_SIM=") + c.first}, 30);
        EXPECT_EQ(r.status, 2) << c.first;
        EXPECT_NE(r.err.find(c.second), std::string::npos) << c.first << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.first;
        EXPECT_NE(sim_configure(c.first).find(c.second), std::string::npos) << c.first;
    }
    // Accepted forms, and the board defaults they select.
    ASSERT_EQ(sim_configure("board=m2, rate=0.5,die_after=0.25,seed=0xFF,dma_us=10,,"), "");
    sim_state s = sim_get_state();
    EXPECT_EQ(s.version, 0xD7000001u);
    EXPECT_EQ(s.chips, 4u);
    EXPECT_EQ(s.seed, 0xFFu);
    ASSERT_EQ(sim_configure("board=m2,version=12345678,chips=8"), "");
    EXPECT_EQ(sim_get_state().version, 0x12345678u);
    EXPECT_EQ(sim_get_state().chips, 8u);
    ASSERT_EQ(sim_configure(""), "");
    EXPECT_EQ(sim_get_state().version, 0xDA000102u);
    EXPECT_EQ(sim_get_state().chips, 6u);
    // The production daemon carries no simulator.
    EXPECT_EQ(read_file(QRNGD_BIN).find("QRNG_SIM"), std::string::npos);
}

TEST_F(SimModel, TraceFormat)
{
    temp_dir dir;
    board("board=m2,seed=1");
    ASSERT_TRUE(sim_trace_to(dir.file("trace")));
    dev.write_register(REG_CONTROL, 0xB0000000);
    reg(REG_CONTROL);
    unsigned report[2];
    dev.read_register(REG_REPORT, report, 2);
    std::vector<unsigned char> buf(65536);
    dev.read_memory(buf.data(), 65536, 0x10000);
    dev.read_memory(buf.data(), 8, 0x10000000);
    dev.close_c2h();
    dev.close_user();
    dev.open_user();
    EXPECT_EQ(read_file(dir.file("trace")), "W 6000 B0000000\n"
                                            "R 6000 D7000001\n"
                                            "R 6018 00000000\n"
                                            "R 601C 00000000\n"
                                            "D 00010000 65536 65536\n"
                                            "D 10000000 8 -1\n"
                                            "C /dev/simunit_c2h_0\n"
                                            "C /dev/simunit_user\n"
                                            "O /dev/simunit_user\n");

    // Two threads at once: every access is one complete line.
    dev.open_c2h();
    ASSERT_TRUE(sim_trace_to(dir.file("threads")));
    cmd(CMD_START);
    std::thread monitor([&] {
        for (int i = 0; i < 2000; i++)
            reg(REG_DDR);
    });
    for (int i = 0; i < 500; i++)
        dev.read_memory(buf.data(), 4096, 0);
    monitor.join();
    std::istringstream lines(read_file(dir.file("threads")));
    auto well_formed = [](const std::string& line) {
        if (line == "W 6000 A2000000" || line == "D 00000000 4096 4096")
            return true;
        return line.size() == 15 && line.compare(0, 7, "R 6008 ") == 0 &&
               line.find_first_not_of("0123456789ABCDEF", 7) == std::string::npos;
    };
    int n = 0;
    for (std::string line; std::getline(lines, line); n++)
        ASSERT_TRUE(well_formed(line)) << line;
    EXPECT_EQ(n, 2501);
}

TEST(SimDaemon, RunsTheFrontEndAgainstTheSimulatedBoard)
{
    temp_dir dir;
    unique_prefix prefix;
    const std::string trace = dir.file("trace");
    background_process daemon({QRNGD_SIM_BIN, "-s", "-v", "3", "-x", prefix.name(), "-p", dir.file("fifo")},
                              {"QRNG_SIM=board=m2,seed=1", "QRNG_SIM_TRACE=" + trace});
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (read_file(trace).find("R 6000 D7000001\n") == std::string::npos && daemon.running() &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    daemon.send_signal(SIGTERM);
    EXPECT_GE(daemon.wait(30), 0);
    std::string t = read_file(trace);
    const std::string start = "O /dev/" + prefix.name() + "_user\nO /dev/" + prefix.name() +
                              "_c2h_0\nW 6000 B0000000\nR 6000 D7000001\n";
    EXPECT_EQ(t.compare(0, start.size(), start), 0) << t.substr(0, 200);
    EXPECT_EQ(count_lines_with(t, "C /dev/" + prefix.name()), 2);
}
