// Board support: colour table, rate rule, the PCIe card and the M.2 module.
//
// Every wait of the start-up sequences goes through wait(): delay_us(), or the
// engine's wait that follows the board meanwhile; so the daemon keeps the exact
// frame and verdict times while tests observe them instead.
#include "board.h"

#include "defs.h"

#include <algorithm>
#include <cstddef>

namespace {

// The rate word holds one byte per chip; chips past its last byte have no rate.
constexpr int RATE_WORD_CHIPS = 8;

// The boards' start-up frame and verdict times, in microseconds.
constexpr unsigned long ANIMATION_FRAME_US = 400000;
constexpr unsigned long VERDICT_US = 800000;

// The M.2 module's single status LED and its number of boot flashes.
constexpr int M2_LED = 0;
constexpr int M2_BOOT_FLASHES = 10;

// A negative chip count means no chips.
int chips(int qrng_num) { return std::max(qrng_num, 0); }

} // namespace

float chip_ratio(unsigned long rate, int chip)
{
    // Only chips 0 to 7 have a byte; anything else would need a shift of 64 bits
    // or more, which is undefined, so those chips simply read 0.
    if (chip < 0 || chip >= RATE_WORD_CHIPS)
        return 0.0f;
    unsigned long byte = (rate >> (8 * chip)) & 0xFFUL;
    return static_cast<float>(static_cast<double>(byte) / 256.0);
}

board_handler::board_handler(unsigned int hw_version_)
    : hw_version(hw_version_), qrng_num(0), rgb_error{0x00, 0x00, 0xFF, 0x2F},
      rgb_warning{0x00, 0xFA, 0xFF, 0x33}, rgb_ok{0xFF, 0x00, 0x00, 0xFF},
      rgb_ok_dim{0xFF, 0x00, 0x00, 0xB0}, rgb_off{0x00, 0x00, 0x00, 0x00}
{
    // qrng_num starts at 0 so that a board whose count was never set (the daemon
    // stopped before run()) touches no LED when the engine switches it off.
}

board_handler::~board_handler() = default;

std::unique_ptr<board_handler> board_handler::check_compatible(unsigned int hw_version)
{
    switch (hw_version & 0xFF000000) {
    case 0xD7000000:
        return std::make_unique<litefury_a7>(hw_version);
    case 0xDA000000:
        return std::make_unique<alinx_aus>(hw_version);
    default:
        return nullptr;
    }
}

void board_handler::set_qrng_num(int n) { qrng_num = n; }
void board_handler::set_write_rgb_func(std::function<void(int, unsigned int)> f) { write_rgb_func = f; }
void board_handler::set_get_rate_func(std::function<unsigned long()> f) { get_rate_func = f; }
void board_handler::set_stop_requested_func(std::function<bool()> f) { stop_requested_func = f; }
void board_handler::set_wait_func(std::function<void(unsigned long)> f) { wait_func = std::move(f); }

void board_handler::wait(unsigned long us) const
{
    if (wait_func)
        wait_func(us);
    else
        delay_us(us);
}
void board_handler::print_board() {}
void board_handler::led_off() {}
void board_handler::led_status(bool, unsigned long, float) {}
void board_handler::boot_animation() {}

bool board_handler::chip_working(unsigned long rate, int chip, float threshold)
{
    // A chip without a rate byte is never judged working, whatever the threshold.
    if (chip < 0 || chip >= RATE_WORD_CHIPS)
        return false;
    return chip_ratio(rate, chip) > threshold;
}

// ---------------------------------------------------------------------------
// PCIe card

alinx_aus::alinx_aus(unsigned int v)
    : board_handler(v), ramp_steps(10), inactive_limit(3), ramp_phase(0)
{
    // The breathing steps share rgb_ok's channels; brightness climbs 53 to 234.
    rgb_ramp.reserve(static_cast<size_t>(ramp_steps));
    for (int k = 0; k < ramp_steps; ++k) {
        uint8_t brightness = static_cast<uint8_t>(53 + (k * 202) / 10);
        rgb_ramp.push_back(qrng_rgb_t{0xFF, 0x00, 0x00, brightness});
    }
    led_order = {0, 1, 2, 5, 4, 3};
}

alinx_aus::~alinx_aus() = default;

int alinx_aus::sequence_positions() const
{
    // The start-up sequences walk led_order; chips past its end have no position.
    return std::min(chips(qrng_num), static_cast<int>(led_order.size()));
}

void alinx_aus::print_board()
{
    log_message(LEVEL_INFO, "Start QRNG accel daemon on PCIe board with version 0x%08X\n", hw_version);
}

void alinx_aus::led_off()
{
    const int n = chips(qrng_num);
    for (int i = 0; i < n; ++i)
        write_rgb_func(i, rgb_off.word());
}

void alinx_aus::led_status(bool strict, unsigned long rate, float threshold)
{
    const int n = chips(qrng_num);
    if (inactive_count.size() != static_cast<size_t>(n))
        inactive_count.resize(static_cast<size_t>(n), 0);

    for (int i = 0; i < n; ++i) {
        // A reading exactly at the threshold still counts as active here. Chips
        // without a rate byte are always low.
        bool low = i >= RATE_WORD_CHIPS || threshold > chip_ratio(rate, i);
        int& count = inactive_count[static_cast<size_t>(i)];
        if (low)
            ++count;
        else
            count = 0;

        if (count > inactive_limit)
            write_rgb_func(i, (strict ? rgb_error : rgb_warning).word());
        else if (ramp_phase < ramp_steps)
            write_rgb_func(i, rgb_ramp[static_cast<size_t>(ramp_phase)].word());
        else
            write_rgb_func(i, rgb_ramp[static_cast<size_t>(2 * ramp_steps - ramp_phase - 1)].word());
    }

    // The phase advances once per call, so all LEDs breathe in step.
    ramp_phase = (ramp_phase + 1) % (2 * ramp_steps);
}

void alinx_aus::boot_animation()
{
    // A bright light runs four laps over the positions, leaving a dim trail on
    // its first lap; one last frame brings it back to position 0. Without any
    // position there is still one (empty) frame and its wait, and no modulo by 0.
    const int positions = sequence_positions();
    const int frames = 4 * positions + 1;
    for (int s = 0; s < frames; ++s) {
        const int lit = positions > 0 ? s % positions : -1;
        for (int j = 0; j < positions; ++j) {
            const int led = led_order[static_cast<size_t>(j)];
            if (j == lit)
                write_rgb_func(led, rgb_ok.word());
            else if (s > j)
                write_rgb_func(led, rgb_ok_dim.word());
        }
        wait(ANIMATION_FRAME_US);
        if (stop_requested())
            return;
    }
}

int alinx_aus::boot_check(bool strict, float threshold)
{
    // One reading decides every verdict.
    const unsigned long rate = get_rate_func();
    boot_rate_word = rate;
    const int n = chips(qrng_num);
    for (int i = 0; i < n; ++i)
        write_rgb_func(i, rgb_ok_dim.word());

    // Chip i's verdict appears on the LED of position i. Chips past the last
    // position are judged and counted, but have no LED to show it on and so no
    // verdict time either.
    const int positions = sequence_positions();
    int count = 0;
    for (int i = 0; i < n; ++i) {
        const bool working = chip_working(rate, i, threshold);
        if (working)
            ++count;
        if (i < positions) {
            const int led = led_order[static_cast<size_t>(i)];
            write_rgb_func(led, (working ? rgb_ok : strict ? rgb_error : rgb_warning).word());
            wait(VERDICT_US);
        }
        if (stop_requested())
            break;
    }
    return count;
}

// ---------------------------------------------------------------------------
// M.2 module

litefury_a7::litefury_a7(unsigned int v) : board_handler(v) {}

litefury_a7::~litefury_a7() = default;

int litefury_a7::working_chips(unsigned long rate, float threshold) const
{
    const int n = chips(qrng_num);
    int count = 0;
    for (int i = 0; i < n; ++i)
        if (chip_working(rate, i, threshold))
            ++count;
    return count;
}

void litefury_a7::print_board()
{
    log_message(LEVEL_INFO, "Start QRNG accel daemon on M2 board with version 0x%08X\n", hw_version);
}

void litefury_a7::led_off() { write_rgb_func(M2_LED, rgb_off.word()); }

void litefury_a7::led_status(bool, unsigned long rate, float threshold)
{
    // One LED sums up all chips from this single reading; strict mode does not
    // change the colour.
    const int working = working_chips(rate, threshold);
    if (working == 0)
        write_rgb_func(M2_LED, rgb_error.word());
    else if (working < chips(qrng_num))
        write_rgb_func(M2_LED, rgb_warning.word());
    else
        write_rgb_func(M2_LED, rgb_ok.word());
}

void litefury_a7::boot_animation()
{
    // Ten flashes of about 0.4 s each; the LED ends dark. The sequence is short
    // and always runs to its end.
    for (int k = 0; k < M2_BOOT_FLASHES; ++k) {
        write_rgb_func(M2_LED, rgb_ok.word());
        wait(ANIMATION_FRAME_US);
        write_rgb_func(M2_LED, rgb_off.word());
    }
}

int litefury_a7::boot_check(bool, float threshold)
{
    boot_rate_word = get_rate_func();
    return working_chips(boot_rate_word, threshold);
}
