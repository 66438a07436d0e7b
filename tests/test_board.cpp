// Board support driven through recording callbacks: every LED write and every
// wait is recorded in order, so the light sequences are checked without waiting.
#include "board.h"
#include "defs.h"
#include "qrng.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using seq = std::vector<std::string>;
seq events;             // "LED=colour" or "sleep us", in order
int stop_on_sleep = 0;  // the sleep (counted from 1) during which exit_flag is set; 0 for none
int sleeps = 0;

void record_delay(unsigned long us)
{
    events.push_back("sleep " + std::to_string(us));
    if (++sleeps == stop_on_sleep)
        qrng_handler::exit_flag = 1;
}

std::string led(int n, unsigned int colour)
{
    char text[32];
    snprintf(text, sizeof text, "%d=%08X", n, colour);
    return text;
}

// LEDs 0 to n - 1 set to one colour, in that order.
seq each_led(int n, unsigned int colour)
{
    seq out;
    for (int i = 0; i < n; ++i)
        out.push_back(led(i, colour));
    return out;
}

unsigned long rate_of(const std::vector<unsigned>& bytes)
{
    unsigned long rate = 0;
    for (size_t i = 0; i < bytes.size() && i < 8; ++i)  // chips past the eighth have no byte
        rate |= static_cast<unsigned long>(bytes[i] & 0xFF) << (8 * i);
    return rate;
}

constexpr unsigned ERR = 0x2FFF0000, WARN = 0x33FFFA00, OK = 0xFF0000FF, DIM = 0xB00000FF, OFF = 0;
const std::string FRAME = "sleep 400000", VERDICT = "sleep 800000";

class BoardTest : public testing::Test {
protected:
    void SetUp() override
    {
        events.clear();
        sleeps = stop_on_sleep = 0;
        qrng_handler::exit_flag = 0;
        set_delay_function(record_delay);
    }
    void TearDown() override
    {
        set_delay_function(nullptr);
        qrng_handler::exit_flag = 0;
    }
    // A board of the given family with `chips` chips, wired to the recorder.
    template <class B> B& make(int chips, unsigned long rate = 0)
    {
        board = std::make_unique<B>(0);
        board->set_qrng_num(chips);
        board->set_write_rgb_func([](int n, unsigned int c) { events.push_back(led(n, c)); });
        board->set_get_rate_func([this] { ++rate_reads; return this->rate; });
        this->rate = rate;
        return static_cast<B&>(*board);
    }
    std::unique_ptr<board_handler> board;
    unsigned long rate = 0;
    int rate_reads = 0;
};

TEST(ChipRatio, DecodesOneByteAndNothingPastTheEighthChip)
{
    struct { unsigned long rate; int chip; float ratio; } cases[] = {
        {230, 0, 0.8984375f}, {231, 0, 0.90234375f}, {255, 0, 0.99609375f},
        {0xE7UL << 56, 7, 0.90234375f}, {0xE7UL << 56, 6, 0.0f}, {~0UL, 8, 0.0f},
        {~0UL, 63, 0.0f}, {~0UL, 1000, 0.0f}, {~0UL, -1, 0.0f},
    };
    for (const auto& c : cases)
        EXPECT_EQ(chip_ratio(c.rate, c.chip), c.ratio) << c.rate << " chip " << c.chip;
}

TEST_F(BoardTest, PcieBreathesInTwentyStepsWithEndsShownTwice)
{
    auto& b = make<alinx_aus>(6);
    const unsigned up[] = {0x350000FF, 0x490000FF, 0x5D0000FF, 0x710000FF, 0x850000FF,
                           0x9A0000FF, 0xAE0000FF, 0xC20000FF, 0xD60000FF, 0xEA0000FF};
    for (int call = 0; call < 21; ++call) {
        events.clear();
        b.led_status(false, ~0UL, 0.9f);
        EXPECT_EQ(events, each_led(6, call < 10 ? up[call] : call < 20 ? up[19 - call] : up[0])) << call + 1;
    }
}

TEST_F(BoardTest, PcieShowsFaultFromFourthLowReadingUntilChipRecovers)
{
    // Chip 1's byte per call and whether its LED shows the fault colour then.
    struct { bool strict; float threshold; std::vector<unsigned> bytes; std::vector<bool> fault; } cases[] = {
        {false, 0.9f, {0, 0, 0, 0, 0, 231, 0}, {0, 0, 0, 1, 1, 0, 0}},
        {true, 0.9f, {0, 0, 0, 0, 230, 255}, {0, 0, 0, 1, 1, 0}},
        {false, 0.9f, {0, 0, 0, 255, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0}},
        {false, 0.5f, {128, 128, 128, 128, 127}, {0, 0, 0, 0, 0}},  // at the threshold is active
    };
    const unsigned ramp[] = {0x350000FF, 0x490000FF, 0x5D0000FF, 0x710000FF, 0x850000FF, 0x9A0000FF, 0xAE0000FF};
    for (const auto& c : cases) {
        auto& b = make<alinx_aus>(3);
        for (size_t call = 0; call < c.bytes.size(); ++call) {
            events.clear();
            b.led_status(c.strict, rate_of({255, c.bytes[call], 255}), c.threshold);
            unsigned chip1 = c.fault[call] ? (c.strict ? ERR : WARN) : ramp[call];
            EXPECT_EQ(events, (seq{led(0, ramp[call]), led(1, chip1), led(2, ramp[call])}))
                << "strict " << c.strict << " call " << call + 1;
        }
    }
}

TEST_F(BoardTest, PcieChipsWithoutRateByteCountAsLowAndLedOffAddressesEachChip)
{
    auto& b = make<alinx_aus>(10);
    for (int call = 0; call < 4; ++call)
        b.led_status(true, ~0UL, 0.9f);
    ASSERT_EQ(events.size(), 40u);
    EXPECT_EQ(events[37], led(7, 0x710000FF));
    EXPECT_EQ(events[38], led(8, ERR));
    EXPECT_EQ(events[39], led(9, ERR));

    for (int n : {0, -3, 7}) {
        events.clear();
        make<alinx_aus>(n).led_off();
        EXPECT_EQ(events, each_led(n, OFF)) << n << " chips";
    }
}

// The animation's events split at its waits: one entry per frame.
std::vector<seq> frames()
{
    std::vector<seq> out(1);
    for (const auto& e : events) {
        if (e == FRAME)
            out.emplace_back();
        else
            out.back().push_back(e);
    }
    EXPECT_TRUE(out.back().empty()) << "every frame ends with its wait";
    out.pop_back();
    return out;
}

TEST_F(BoardTest, PcieBootAnimationRunsFourLapsInLedOrder)
{
    for (int chips : {6, 8}) {
        events.clear();
        make<alinx_aus>(chips).boot_animation();
        auto f = frames();
        ASSERT_EQ(f.size(), 25u) << chips << " chips";
        EXPECT_EQ(f[0], (seq{led(0, OK)}));
        EXPECT_EQ(f[2], (seq{led(0, DIM), led(1, DIM), led(2, OK)}));
        EXPECT_EQ(f[3], (seq{led(0, DIM), led(1, DIM), led(2, DIM), led(5, OK)}));
        EXPECT_EQ(f[11], (seq{led(0, DIM), led(1, DIM), led(2, DIM), led(5, DIM), led(4, DIM), led(3, OK)}));
        EXPECT_EQ(f[24], (seq{led(0, OK), led(1, DIM), led(2, DIM), led(5, DIM), led(4, DIM), led(3, DIM)}));
    }
    events.clear();
    make<alinx_aus>(0).boot_animation();
    EXPECT_EQ(events, (seq{FRAME}));
}

TEST_F(BoardTest, PcieBootAnimationEndsAfterTheWaitOfAStopRequest)
{
    qrng_handler::exit_flag = 1;
    make<alinx_aus>(6).boot_animation();
    EXPECT_EQ(events, (seq{led(0, OK), FRAME}));

    qrng_handler::exit_flag = 0;
    events.clear();
    sleeps = 0;
    stop_on_sleep = 3;
    make<alinx_aus>(6).boot_animation();
    EXPECT_EQ(frames().size(), 3u);
}

TEST_F(BoardTest, PcieBootCheckShowsEachVerdictOnItsPosition)
{
    struct { bool strict; std::vector<unsigned> bytes; int count; seq verdicts; } cases[] = {
        {false, {255, 0, 255, 255, 255, 255}, 5,
         {led(0, OK), led(1, WARN), led(2, OK), led(5, OK), led(4, OK), led(3, OK)}},
        {true, {255, 255, 255, 230, 255, 231}, 5,
         {led(0, OK), led(1, OK), led(2, OK), led(5, ERR), led(4, OK), led(3, OK)}},
        // Chips past the sixth are counted without an LED or a wait of their own.
        {true, {255, 255, 255, 255, 255, 255, 255, 0}, 7,
         {led(0, OK), led(1, OK), led(2, OK), led(5, OK), led(4, OK), led(3, OK)}},
    };
    for (const auto& c : cases) {
        events.clear();
        rate_reads = 0;
        const int n = static_cast<int>(c.bytes.size());
        EXPECT_EQ(make<alinx_aus>(n, rate_of(c.bytes)).boot_check(c.strict, 0.9f), c.count);
        seq expected = each_led(n, DIM);
        for (const auto& v : c.verdicts)
            expected.insert(expected.end(), {v, VERDICT});
        EXPECT_EQ(events, expected) << n << " chips";
        EXPECT_EQ(rate_reads, 1);
    }

    EXPECT_EQ(make<alinx_aus>(10, ~0UL).boot_check(true, 0.9f), 8);
}

TEST_F(BoardTest, PcieBootCheckStopsAfterTheVerdictOfAStopRequest)
{
    qrng_handler::exit_flag = 2;
    EXPECT_EQ(make<alinx_aus>(3, ~0UL).boot_check(false, 0.9f), 1);
    seq expected = each_led(3, DIM);
    expected.insert(expected.end(), {led(0, OK), VERDICT});
    EXPECT_EQ(events, expected);
}

TEST_F(BoardTest, M2LedSumsUpAllChipsWhateverStrictMode)
{
    struct { std::vector<unsigned> bytes; unsigned colour; } cases[] = {
        {{255, 255, 255, 255}, OK}, {{255, 0, 0, 0}, WARN}, {{0, 0, 0, 0}, ERR},
        {{231, 231}, OK}, {{231, 230}, WARN}, {{}, ERR},
        {{255, 255, 255, 255, 255, 255, 255, 255, 255}, WARN},  // the ninth chip has no rate
    };
    for (const auto& c : cases)
        for (bool strict : {false, true}) {
            events.clear();
            make<litefury_a7>(static_cast<int>(c.bytes.size())).led_status(strict, rate_of(c.bytes), 0.9f);
            EXPECT_EQ(events, (seq{led(0, c.colour)})) << c.bytes.size() << " chips";
        }
}

TEST_F(BoardTest, M2BootCheckCountsAndBootAnimationFlashesTenTimes)
{
    EXPECT_EQ(make<litefury_a7>(3, rate_of({231, 230, 255})).boot_check(true, 0.9f), 2);
    EXPECT_EQ(make<litefury_a7>(0, ~0UL).boot_check(false, 0.9f), 0);
    EXPECT_EQ(make<litefury_a7>(12, ~0UL).boot_check(false, 0.9f), 8);
    EXPECT_TRUE(events.empty());

    qrng_handler::exit_flag = 1;  // the flashes do not stop early
    make<litefury_a7>(4).boot_animation();
    seq expected;
    for (int k = 0; k < 10; ++k)
        expected.insert(expected.end(), {led(0, OK), FRAME, led(0, OFF)});
    EXPECT_EQ(events, expected);

    for (int n : {0, 6}) {
        events.clear();
        make<litefury_a7>(n).led_off();
        EXPECT_EQ(events, (seq{led(0, OFF)}));
    }
}

TEST(BoardSelection, FamilyByteChoosesTheBoardAndBannerShowsWholeVersion)
{
    struct { unsigned version; const char* banner; } cases[] = {
        {0xD7000000, "[INFO] Start QRNG accel daemon on M2 board with version 0xD7000000\n"},
        {0xD7FFFFFF, "[INFO] Start QRNG accel daemon on M2 board with version 0xD7FFFFFF\n"},
        {0xDA123456, "[INFO] Start QRNG accel daemon on PCIe board with version 0xDA123456\n"},
        {0xDA000102, "[INFO] Start QRNG accel daemon on PCIe board with version 0xDA000102\n"},
        {0x00000000, nullptr}, {0xFFFFFFFF, nullptr}, {0xD8000000, nullptr}, {0x00DA0000, nullptr},
        {0xDB000000, nullptr}, {0x0000D700, nullptr},
    };
    const int saved_stdout = log_stdout, saved_level = log_level;
    log_stdout = 1;
    log_level = 2;
    for (const auto& c : cases) {
        auto board = board_handler::check_compatible(c.version);
        EXPECT_EQ(board != nullptr, c.banner != nullptr) << std::hex << c.version;
        if (!board || !c.banner)
            continue;
        const bool m2 = (c.version >> 24) == 0xD7;
        EXPECT_EQ(dynamic_cast<litefury_a7*>(board.get()) != nullptr, m2);
        EXPECT_EQ(dynamic_cast<alinx_aus*>(board.get()) != nullptr, !m2);
        testing::internal::CaptureStdout();
        board->print_board();
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.banner);
    }
    log_stdout = saved_stdout;
    log_level = saved_level;
}

} // namespace
