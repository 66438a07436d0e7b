// Boards driven through recording callbacks: LED writes and waits in order.
#include "board.h"
#include "defs.h"

#include <gtest/gtest.h>

namespace {

using seq = std::vector<std::string>;
seq events; // "LED=colour" or "sleep us"
bool stop;  // what the stop callback answers

std::string led(int n, unsigned int colour)
{
    char text[32];
    snprintf(text, sizeof text, "%d=%08X", n, colour);
    return text;
}

seq each_led(int n, unsigned int colour)
{
    seq out;
    for (int i = 0; i < n; ++i)
        out.push_back(led(i, colour));
    return out;
}

constexpr unsigned ERR = 0x2FFF0000, WARN = 0x33FFFA00, OK = 0xFF0000FF, DIM = 0xB00000FF, OFF = 0;
const std::string FRAME = "sleep 400000", VERDICT = "sleep 800000";
const int ORDER[] = {0, 1, 2, 5, 4, 3};
const unsigned RAMP[] = {0x350000FF, 0x490000FF, 0x5D0000FF, 0x710000FF, 0x850000FF,
                         0x9A0000FF, 0xAE0000FF, 0xC20000FF, 0xD60000FF, 0xEA0000FF};

class BoardTest : public testing::Test {
protected:
    void SetUp() override { stop = false; }
    void TearDown() override { set_delay_function(nullptr); }
    template <class B> B& make(int chips, unsigned long rate = 0)
    {
        events.clear();
        rate_reads = 0;
        set_delay_function([](unsigned long us) { events.push_back("sleep " + std::to_string(us)); });
        board = std::make_unique<B>(0);
        board->set_qrng_num(chips);
        board->set_write_rgb_func([](int n, unsigned int c) { events.push_back(led(n, c)); });
        board->set_get_rate_func([this, rate] { ++rate_reads; return rate; });
        board->set_stop_requested_func([] { return stop; });
        return static_cast<B&>(*board);
    }
    std::unique_ptr<board_handler> board;
    int rate_reads = 0;
};

TEST_F(BoardTest, PcieBreathingAndFailingChips)
{
    auto& b = make<alinx_aus>(6);
    for (int call = 0; call < 21; ++call) {
        events.clear();
        b.led_status(false, ~0UL, 0.9f);
        EXPECT_EQ(events, each_led(6, RAMP[call < 10 ? call : call < 20 ? 19 - call : 0])) << call;
    }
    // Chip 1's byte per call, and the calls at which its LED shows the fault colour.
    struct { bool strict; float threshold; std::vector<unsigned> bytes; std::string fault; } cases[] = {
        {false, 0.9f, {0, 0, 0, 0, 0, 231, 0}, "0001100"}, {true, 0.9f, {0, 0, 0, 0, 230, 255}, "000110"},
        {false, 0.9f, {0, 0, 0, 255, 0, 0, 0}, "0000000"}, {false, 0.5f, {128, 128, 128, 128, 127}, "00000"},
    };
    for (const auto& c : cases) {
        auto& b3 = make<alinx_aus>(3);
        for (size_t call = 0; call < c.bytes.size(); ++call) {
            events.clear();
            b3.led_status(c.strict, 0xFF00FF | c.bytes[call] << 8, c.threshold);
            const unsigned chip1 = c.fault[call] == '1' ? (c.strict ? ERR : WARN) : RAMP[call];
            EXPECT_EQ(events, (seq{led(0, RAMP[call]), led(1, chip1), led(2, RAMP[call])})) << c.fault << call;
        }
    }
    auto& b10 = make<alinx_aus>(10);
    for (int call = 0; call < 4; ++call)
        b10.led_status(true, ~0UL, 0.9f);
    ASSERT_EQ(events.size(), 40u);
    EXPECT_EQ(seq(events.begin() + 37, events.end()), (seq{led(7, RAMP[3]), led(8, ERR), led(9, ERR)}));
    for (int n : {0, -3, 7}) {
        make<alinx_aus>(n).led_off();
        EXPECT_EQ(events, each_led(n, OFF)) << n;
    }
}

TEST_F(BoardTest, PcieBootAnimation)
{
    seq want;
    for (int k = 0; k < 25; ++k) {
        for (int p = 0; p <= std::min(k, 5); ++p)
            want.push_back(led(ORDER[p], p == k % 6 ? OK : DIM));
        want.push_back(FRAME);
    }
    for (int chips : {6, 8}) {
        make<alinx_aus>(chips).boot_animation();
        EXPECT_EQ(events, want) << chips;
    }
    make<alinx_aus>(0).boot_animation();
    EXPECT_EQ(events, (seq{FRAME}));
    stop = true;
    make<alinx_aus>(6).boot_animation();
    EXPECT_EQ(events, (seq{led(0, OK), FRAME}));
}

TEST_F(BoardTest, PcieBootCheck)
{
    // Verdict colour of each chip; chip i's verdict shows on LED ORDER[i].
    struct { bool strict; unsigned long rate; int chips, count; std::vector<unsigned> verdicts; } cases[] = {
        {false, 0xFFFFFFFF00FF, 6, 5, {OK, WARN, OK, OK, OK, OK}},
        {true, 0xE7FFE6FFFFFF, 6, 5, {OK, OK, OK, ERR, OK, OK}},
        {true, 0x00FFFFFFFFFFFFFF, 8, 7, {OK, OK, OK, OK, OK, OK}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(make<alinx_aus>(c.chips, c.rate).boot_check(c.strict, 0.9f), c.count);
        seq expected = each_led(c.chips, DIM);
        for (int i = 0; i < 6; ++i)
            expected.insert(expected.end(), {led(ORDER[i], c.verdicts[i]), VERDICT});
        EXPECT_EQ(events, expected) << c.chips;
        EXPECT_EQ(rate_reads, 1);
    }
    EXPECT_EQ(make<alinx_aus>(10, ~0UL).boot_check(true, 0.9f), 8);
    stop = true;
    EXPECT_EQ(make<alinx_aus>(3, ~0UL).boot_check(false, 0.9f), 1);
    EXPECT_EQ(events, (seq{led(0, DIM), led(1, DIM), led(2, DIM), led(0, OK), VERDICT}));
}

TEST_F(BoardTest, M2LedBootCheckAndFlashes)
{
    struct { unsigned long rate; int chips; unsigned colour; } cases[] = {
        {0xFFFFFFFF, 4, OK}, {0xFF, 4, WARN}, {0, 4, ERR}, {0xE7E7, 2, OK},
        {0xE6E7, 2, WARN},   {~0UL, 0, ERR},  {~0UL, 9, WARN},
    };
    for (const auto& c : cases)
        for (bool strict : {false, true}) {
            make<litefury_a7>(c.chips).led_status(strict, c.rate, 0.9f);
            EXPECT_EQ(events, (seq{led(0, c.colour)})) << std::hex << c.rate << " " << c.chips;
        }
    EXPECT_EQ(make<litefury_a7>(3, 0xFFE6E7).boot_check(true, 0.9f), 2);
    EXPECT_EQ(make<litefury_a7>(0, ~0UL).boot_check(false, 0.9f), 0);
    EXPECT_EQ(make<litefury_a7>(12, ~0UL).boot_check(false, 0.9f), 8);
    EXPECT_TRUE(events.empty());
    stop = true;
    make<litefury_a7>(4).boot_animation();
    seq expected;
    for (int k = 0; k < 10; ++k)
        expected.insert(expected.end(), {led(0, OK), FRAME, led(0, OFF)});
    EXPECT_EQ(events, expected);
    for (int n : {0, 6}) {
        make<litefury_a7>(n).led_off();
        EXPECT_EQ(events, (seq{led(0, OFF)}));
    }
}

TEST(BoardSelection, FamilyByteChoosesTheBoard)
{
    const std::pair<unsigned, const char*> cases[] = {
        {0xD7FFFFFF, "m2"}, {0xDA123456, "pcie"}, {0, "none"}, {0xD8000000, "none"}, {0x00DA0000, "none"}};
    for (const auto& c : cases) {
        auto board = board_handler::check_compatible(c.first);
        EXPECT_STREQ(board ? board->name() : "none", c.second) << std::hex << c.first;
    }
}

} // namespace
