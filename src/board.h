// Board support: the carrier boards' status LEDs, start-up light sequences and
// start-up chip check. A board reaches the hardware and the engine only through
// callbacks the engine installs (LED write, rate word read, stop request, and
// optionally its waits), so it can be driven by stubs.
//
// Threads: print_board, set_qrng_num, led_off, boot_animation and boot_check run
// on the main thread while no monitor thread runs; led_status runs only on the
// monitor thread; the final led_off runs after that thread has been joined.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// One LED colour; sent as the little-endian word ch0 | ch1 << 8 | ch2 << 16 | brightness << 24.
struct qrng_rgb_t {
    uint8_t ch0;
    uint8_t ch1;
    uint8_t ch2;
    uint8_t brightness;

    unsigned int word() const
    {
        return static_cast<unsigned int>(ch0) | static_cast<unsigned int>(ch1) << 8 |
               static_cast<unsigned int>(ch2) << 16 | static_cast<unsigned int>(brightness) << 24;
    }
};

// Chip i's rate from a rate word (byte i / 256, in single precision). Chips 8 and
// above have no byte in the word and read 0.
float chip_ratio(unsigned long rate, int chip);

class board_handler {
public:
    explicit board_handler(unsigned int hw_version);
    virtual ~board_handler();

    // Returns the board for the bitstream version word, or an empty pointer.
    static std::unique_ptr<board_handler> check_compatible(unsigned int hw_version);

    void set_qrng_num(int n);
    void set_write_rgb_func(std::function<void(int, unsigned int)> f);
    void set_get_rate_func(std::function<unsigned long()> f);
    void set_stop_requested_func(std::function<bool()> f);
    // Every wait of the start-up sequences goes through this function once set
    // (the engine follows the board's write position meanwhile); delay_us() without.
    void set_wait_func(std::function<void(unsigned long)> f);

    // The board's short name ("pcie", "m2").
    virtual const char* name() const = 0;
    // The rate word the last boot check judged the chips by.
    unsigned long boot_rate() const { return boot_rate_word; }

    virtual void print_board();
    virtual void led_off();
    virtual void led_status(bool strict, unsigned long rate, float threshold);
    virtual void boot_animation();
    // Number of chips judged working (ratio above threshold).
    virtual int boot_check(bool strict, float threshold) = 0;

protected:
    // True when chip i's ratio in `rate` is strictly above `threshold`.
    static bool chip_working(unsigned long rate, int chip, float threshold);
    // True once a stop has been requested (never without the callback).
    bool stop_requested() const { return stop_requested_func && stop_requested_func(); }
    // Waits `us` microseconds.
    void wait(unsigned long us) const;

    unsigned int hw_version;
    int qrng_num;
    std::function<void(int, unsigned int)> write_rgb_func;
    std::function<unsigned long()> get_rate_func;
    std::function<bool()> stop_requested_func;
    std::function<void(unsigned long)> wait_func;
    unsigned long boot_rate_word = 0;
    qrng_rgb_t rgb_error;
    qrng_rgb_t rgb_warning;
    qrng_rgb_t rgb_ok;
    qrng_rgb_t rgb_ok_dim;
    qrng_rgb_t rgb_off;
};

// PCIe card: one LED per chip (0 to 5), breathing while the chip works.
class alinx_aus : public board_handler {
public:
    explicit alinx_aus(unsigned int hw_version);
    ~alinx_aus() override;

    const char* name() const override { return "pcie"; }
    void print_board() override;
    void led_off() override;
    void led_status(bool strict, unsigned long rate, float threshold) override;
    void boot_animation() override;
    int boot_check(bool strict, float threshold) override;

private:
    std::vector<qrng_rgb_t> rgb_ramp;
    int ramp_steps;
    int inactive_limit;
    std::vector<int> led_order;
    int ramp_phase;
    std::vector<int> inactive_count;

    // Number of chips that have a position in led_order (at most six).
    int sequence_positions() const;
};

// M.2 module: a single LED summing up all chips.
class litefury_a7 : public board_handler {
public:
    explicit litefury_a7(unsigned int hw_version);
    ~litefury_a7() override;

    const char* name() const override { return "m2"; }
    void print_board() override;
    void led_off() override;
    void led_status(bool strict, unsigned long rate, float threshold) override;
    void boot_animation() override;
    int boot_check(bool strict, float threshold) override;

private:
    // Number of chips whose ratio in `rate` is strictly above `threshold`.
    int working_chips(unsigned long rate, float threshold) const;
};
