// Board support: colour table, rate rule, the PCIe card and the M.2 module.
#include "board.h"

board_handler::board_handler(unsigned int hw_version_)
    : hw_version(hw_version_), qrng_num(0), rgb_error{0x00, 0x00, 0xFF, 0x2F},
      rgb_warning{0x00, 0xFA, 0xFF, 0x33}, rgb_ok{0xFF, 0x00, 0x00, 0xFF},
      rgb_ok_dim{0xFF, 0x00, 0x00, 0xB0}, rgb_off{0x00, 0x00, 0x00, 0x00}
{
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
void board_handler::print_board() {}
void board_handler::led_off() {}
void board_handler::led_status(bool, unsigned long, float) {}
void board_handler::boot_animation() {}

// STUB: the variants below are being written.
alinx_aus::alinx_aus(unsigned int v) : board_handler(v), ramp_steps(10), inactive_limit(3), led_order{0, 1, 2, 5, 4, 3}, ramp_phase(0) {}
alinx_aus::~alinx_aus() = default;
void alinx_aus::print_board() {}
void alinx_aus::led_off() {}
void alinx_aus::led_status(bool, unsigned long, float) {}
void alinx_aus::boot_animation() {}
int alinx_aus::boot_check(bool, float) { return 0; }
litefury_a7::litefury_a7(unsigned int v) : board_handler(v) {}
litefury_a7::~litefury_a7() = default;
void litefury_a7::print_board() {}
void litefury_a7::led_off() {}
void litefury_a7::led_status(bool, unsigned long, float) {}
void litefury_a7::boot_animation() {}
int litefury_a7::boot_check(bool, float) { return 0; }
