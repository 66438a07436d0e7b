// The engine's construction, settings, FIFO, board selection and the
// accelerator's register operations.
#include "qrng.h"

#include <cstdlib>
#include <ctime>
#include <unistd.h>

namespace {

// Register offsets of the accelerator (byte offsets into the register window).
// Most have a different meaning when read and when written.
constexpr int REG_CONTROL = 0x6000;      // write: command word; read: version word
constexpr int REG_QRNG_NUM = 0x6004;     // read: number of chips
constexpr int REG_DDR_MASK = 0x6008;     // read: DDR write address; write: chip mask
constexpr int REG_STATUS_LED = 0x600C;   // read: status word; write: LED select word
constexpr int REG_RATE_LO_RGB = 0x6010;  // read: rate word low; write: colour word
constexpr int REG_RATE_HI_STBY = 0x6014; // read: rate word high; write: stand-by value
constexpr int REG_CHIP_DATA = 0x6018;    // write: chip data word
constexpr int REG_CHIP_CMD = 0x601C;     // write: chip command word
constexpr int REG_FILTER = 0x6020;       // read: filter counters, two per chip
constexpr int max_filter_chips = (0x10000 - REG_FILTER) / 8;

// Command words.
constexpr unsigned int CMD_STARTUP = 0xB0000000;
constexpr unsigned int CMD_SHUTDOWN = 0xBF000000;
constexpr unsigned int CMD_SPI_ENABLE = 0xA0000000;
constexpr unsigned int CMD_SPI_DISABLE = 0xAE000000;
constexpr unsigned int CMD_SPI_START = 0xA2000000;
constexpr unsigned int CMD_SPI_STOP = 0xAF000000;
constexpr unsigned int CMD_SPI_RESET = 0xA3000000;
constexpr unsigned int CMD_FILTER_ON = 0xD0000000;
constexpr unsigned int CMD_FILTER_OFF = 0xD1000000;
constexpr unsigned int CMD_DRBG_ON = 0xD2000000;
constexpr unsigned int CMD_DRBG_OFF = 0xD3000000;
constexpr unsigned int CMD_DEBUG_ON = 0xD4000000;
constexpr unsigned int CMD_DEBUG_OFF = 0xD5000000;

// Chip register selecting entropy-source (1) or random-number-generator (0) mode.
constexpr unsigned short CHIP_REG_MODE = 0x2010;
constexpr unsigned short ALL_CHIPS = 0xFF;

} // namespace

std::atomic<int> qrng_handler::exit_flag{0};
std::atomic<int> qrng_handler::pipe_fd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "exit_flag and pipe_fd must be lock-free");

qrng_handler::qrng_handler(std::string pipe_path_, std::string prefix_)
    : output(pipe_path_),
      health(true),
      pipe_path(std::move(pipe_path_)),
      xdma(prefix_),
      board(),
      qrng_num(0),
      standby(0),
      cycle_count(0),
      ddr_addr(0),
      last_ddr_addr(0),
      throughput(0.0f),
      strict_mode(false),
      bytes_written(0),
      thread_period(10),
      qrng_mask_arg(0xFFFFFFFF),
      qrng_standby(10000),
      backup_source(),
      new_randomness(false),
      read_only(false),
      checksum_check(false),
      filter_enable(false),
      enable_drbg_arg(false),
      enable_debug_arg(false),
      entropy_source(false),
      checksums()
{
    reports.identify(prefix_);
    srand(static_cast<unsigned>(time(nullptr)));
    xdma.open_user();
    xdma.open_c2h();
    xdma.write_register(REG_CONTROL, CMD_STARTUP);
}

qrng_handler::~qrng_handler()
{
    if (board)
        board->led_off();
    xdma.write_register(REG_CONTROL, CMD_SHUTDOWN);
    xdma.close_user();
    xdma.close_c2h();
}

bool qrng_handler::check_version()
{
    unsigned int version = hw_version();
    reports.set_bitstream(version);
    board = board_handler::check_compatible(version);
    if (!board)
        return false;
    board->set_write_rgb_func([this](int led, unsigned int colour) { write_rgb(led, colour); });
    board->set_get_rate_func([this]() { return get_rate(); });
    board->set_stop_requested_func([]() { return exit_flag.load() > 0; });
    return true;
}

int qrng_handler::open_pipe()
{
    if (pipe_fd.load() == -1)
        pipe_fd.store(output.open());
    return pipe_fd.load();
}

void qrng_handler::close_pipe()
{
    // Taken and cleared in one step, so that two closers never close a number
    // that has meanwhile been given to another file.
    int fd = pipe_fd.exchange(-1);
    if (fd != -1)
        close(fd);
}

void qrng_handler::set_qrng_standby(unsigned int value) { qrng_standby = value; }
void qrng_handler::set_qrng_mask_arg(unsigned int value) { qrng_mask_arg = value; }
void qrng_handler::set_thread_period(unsigned long value) { thread_period = static_cast<unsigned int>(value); }
void qrng_handler::set_backup_source(std::string value) { backup_source = value; }
void qrng_handler::set_read_only(bool value) { read_only = value; }
void qrng_handler::set_new_randomness(bool value) { new_randomness = value; }
void qrng_handler::set_strict_mode(bool value) { strict_mode = value; }
void qrng_handler::set_checksum_check(bool value) { checksum_check = value; }
void qrng_handler::set_filter_enable(bool value) { filter_enable = value; }
void qrng_handler::set_enable_drbg_arg(bool value) { enable_drbg_arg = value; }
void qrng_handler::set_enable_debug_arg(bool value) { enable_debug_arg = value; }
void qrng_handler::set_entropy_source(bool value) { entropy_source = value; }
void qrng_handler::set_metrics_path(std::string value) { reports.set_metrics_path(std::move(value)); }

void qrng_handler::spi_enable() { xdma.write_register(REG_CONTROL, CMD_SPI_ENABLE); }
void qrng_handler::spi_disable() { xdma.write_register(REG_CONTROL, CMD_SPI_DISABLE); }
void qrng_handler::spi_start() { xdma.write_register(REG_CONTROL, CMD_SPI_START); }
void qrng_handler::spi_stop() { xdma.write_register(REG_CONTROL, CMD_SPI_STOP); }
void qrng_handler::spi_reset() { xdma.write_register(REG_CONTROL, CMD_SPI_RESET); }
void qrng_handler::set_filter(bool enable) { xdma.write_register(REG_CONTROL, enable ? CMD_FILTER_ON : CMD_FILTER_OFF); }
void qrng_handler::set_enable_drbg(bool enable) { xdma.write_register(REG_CONTROL, enable ? CMD_DRBG_ON : CMD_DRBG_OFF); }
void qrng_handler::set_enable_debug(bool enable) { xdma.write_register(REG_CONTROL, enable ? CMD_DEBUG_ON : CMD_DEBUG_OFF); }
void qrng_handler::set_mask(unsigned int value) { xdma.write_register(REG_DDR_MASK, value); }
void qrng_handler::set_standby(unsigned int value) { xdma.write_register(REG_RATE_HI_STBY, value); }

void qrng_handler::write_rgb(int led, unsigned int colour)
{
    xdma.write_register(REG_STATUS_LED, static_cast<unsigned int>(led) | 0xD0);
    xdma.write_register(REG_RATE_LO_RGB, colour);
}

void qrng_handler::qrng_write_reg(unsigned short chip, unsigned short reg, unsigned short value)
{
    // Identifies each chip write; starts at a random value, then counts up.
    static uint32_t wr_id = static_cast<uint32_t>(rand());
    xdma.write_register(REG_CHIP_DATA, static_cast<unsigned int>(reg) << 16 | value);
    xdma.write_register(REG_CHIP_CMD, (wr_id & 0xFFFF) << 16 | chip);
    wr_id++;
}

void qrng_handler::qrng_set_mode(bool mode) { qrng_write_reg(ALL_CHIPS, CHIP_REG_MODE, mode ? 1 : 0); }

unsigned int qrng_handler::hw_version() { return xdma.read_register(REG_CONTROL, nullptr, 1); }
unsigned int qrng_handler::get_qrng_num() { return xdma.read_register(REG_QRNG_NUM, nullptr, 1); }
unsigned int qrng_handler::ddr_address() { return xdma.read_register(REG_DDR_MASK, nullptr, 1); }
unsigned int qrng_handler::get_status() { return xdma.read_register(REG_STATUS_LED, nullptr, 1); }

unsigned long qrng_handler::get_rate()
{
    unsigned long low = xdma.read_register(REG_RATE_LO_RGB, nullptr, 1);
    unsigned long high = xdma.read_register(REG_RATE_HI_STBY, nullptr, 1);
    return high << 32 | low;
}

float qrng_handler::get_filter_ratio(int i)
{
    // Chips whose counters would lie outside the register window read as 0 as well.
    if (i >= qrng_num || i < 0 || i >= max_filter_chips)
        return 0.0f;
    unsigned int first = xdma.read_register(REG_FILTER + 8 * i, nullptr, 1);
    unsigned int second = xdma.read_register(REG_FILTER + 4 + 8 * i, nullptr, 1);
    if (second == 0)
        return 0.0f;
    return static_cast<float>(first) / static_cast<float>(second);
}
