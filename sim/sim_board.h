// Internal to the simulated board: the model of the accelerator (see
// sim_model.h), one per process, and the clock it runs on.
#pragma once

#include "sim_config.h"
#include "sim_ring.h"
#include "sim_model.h"

#include <cstdint>
#include <mutex>
#include <string>

namespace simboard {

constexpr int64_t NEVER = INT64_MAX;
constexpr int64_t RATE_BYTE_PERIOD_NS = 100000000;

// Register offsets (read meaning / write meaning).
constexpr int REG_CONTROL = 0x6000;  // version / command word
constexpr int REG_CHIPS = 0x6004;    // chip count / -
constexpr int REG_DDR_MASK = 0x6008; // DDR write address / chip mask
constexpr int REG_STATUS = 0x600C;   // status word / LED select
constexpr int REG_RATE_LO = 0x6010;  // rate word low / colour word
constexpr int REG_RATE_HI = 0x6014;  // rate word high / stand-by
constexpr int REG_REPORT_0 = 0x6018; // block checksum / chip data word
constexpr int REG_REPORT_1 = 0x601C; // block address / chip command word
constexpr int REG_FILTER = 0x6020;   // filter counters, two per chip / -

constexpr uint32_t CMD_STARTUP = 0xB0000000;
constexpr uint32_t CMD_SHUTDOWN = 0xBF000000;
constexpr uint32_t CMD_SPI_ENABLE = 0xA0000000;
constexpr uint32_t CMD_SPI_DISABLE = 0xAE000000;
constexpr uint32_t CMD_SPI_START = 0xA2000000;
constexpr uint32_t CMD_SPI_STOP = 0xAF000000;
constexpr uint32_t CMD_SPI_RESET = 0xA3000000;
constexpr uint32_t CMD_FILTER_ON = 0xD0000000;
constexpr uint32_t CMD_FILTER_OFF = 0xD1000000;
constexpr uint32_t CMD_DRBG_ON = 0xD2000000;
constexpr uint32_t CMD_DRBG_OFF = 0xD3000000;
constexpr uint32_t CMD_DEBUG_ON = 0xD4000000;
constexpr uint32_t CMD_DEBUG_OFF = 0xD5000000;

int64_t monotonic_ns();
// Sleeps until the monotonic clock reaches `deadline`, through any signal.
void sleep_until(int64_t deadline);
// Opens `path` for writing, appending or emptied, creating it if missing, without
// following a link or blocking on a FIFO; anything but a regular file of one name
// is refused. Returns the descriptor or -1 with errno set.
int open_output_file(const char* path, bool append);

struct report_t {
    uint32_t checksum = 0;
    uint32_t address = 0;
    uint64_t first = NO_POSITION; // the block's frame position; none before the first
};

class model {
public:
    std::mutex mtx;

    // Everything below is guarded by mtx.
    sim_config cfg;
    bool clock_frozen = false;
    int64_t frozen_ns = 0;

    bool generating = false;
    uint64_t base_words = 0; // frame position at t0
    int64_t t0 = 0;
    int64_t death_ns = NEVER;
    bool started_once = false;
    // From the first spi_start: the pointer stands still over [stall_from, stall_until).
    int64_t stall_from = NEVER, stall_until = NEVER;
    // Pending events of the board's own, NEVER once applied (catch_up()).
    int64_t restart_at = NEVER, fault_open_at = NEVER, fault_close_at = NEVER;
    ring_content content;

    uint32_t chip_mask = 0xFFFFFFFF;
    uint32_t standby = 0;
    bool spi_enabled = false, filter = false, drbg = false, debug = false;
    uint32_t last_command = 0;
    uint32_t led_select = 0;
    uint32_t led[16] = {};
    uint32_t chip_data = 0;
    uint64_t chip_writes = 0;
    sim_chip_write last_chip_write;
    uint64_t dma_reads = 0;
    uint64_t dma_bytes = 0;
    uint64_t reports_published = 0;
    uint64_t last_report_block = UINT64_MAX;
    bool last_report_corrupt = false;
    uint64_t pair_reads = 0; // reads of the checksum report pair, for torn_every
    bool last_pair_torn = false;
    uint64_t cached_block = UINT64_MAX;
    uint32_t cached_checksum = 0;

    int trace_fd = -1;
    std::string stats_path; // QRNG_SIM_STATS: where the counters go when the process exits

    void reset(const sim_config& c);
    int64_t now() const { return clock_frozen ? frozen_ns : monotonic_ns(); }

    // Chips present, not dead and not masked off (time of death aside).
    uint64_t enabled_chips() const;
    bool chip_works(unsigned i, int64_t t) const;
    // The frame position reached at t.
    uint64_t words_at(int64_t t) const;
    // The frame position the write address shows (burst) when `top` is reached.
    uint64_t published(uint64_t top) const;
    // The ring as a DMA read finds it when `top` is reached.
    ring_view view(uint64_t top) const;
    // Folds the pointer's advance so far into base_words before the state changes.
    void settle(int64_t t);
    // What spi_reset and start-up do to the ring: a new frame at resume_at (0
    // by default) of lap 0 with the stream from its start, content forgotten.
    void rewind(int64_t t);
    // The board's own restart: a new frame at 0 of lap 0, the stream going on
    // where it stood, content forgotten.
    void restart(int64_t t);
    // Applies, in the order of their times, the board's own events up to t: the
    // restart, and the fault window's bounds, each the position reached at its
    // time. Every operation calls it before it reads or changes the state, so
    // each event is resolved with the state that held at its time, whatever
    // state change follows. At equal times the restart comes first, so a window
    // opening with it starts at the first word written after it.
    void catch_up(int64_t t);
    // t plus `seconds` (negative: NEVER).
    static int64_t after(int64_t t, double seconds);
    // The timed behaviour, from the first spi_start since configuration at t.
    void schedule(int64_t t);

    uint32_t rate_byte(unsigned i, int64_t t) const;
    uint64_t rate_word(int64_t t) const;
    uint32_t status_word(int64_t t) const;
    uint32_t filter_counter(unsigned chip, bool second, int64_t t) const;
    // The report for the words written so far; counts a newly seen block.
    report_t report(uint64_t top);
    // A read of the report pair: every torn_every-th (never right after a torn
    // one) carries the checksum of the block before the one reported, as if the
    // board had published the new block between the two 32-bit reads. Before
    // the first block, the report read 0.
    report_t report_pair(uint64_t top);
    uint32_t read_word(int offset, int64_t t, uint64_t top, report_t& rep, bool& have_report);
    void command(uint32_t value, int64_t t);
    void write(int offset, uint32_t value, int64_t t);

    // One line, one write(2), on the O_APPEND descriptor.
    void trace(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    bool open_trace(const std::string& path);
};

// The one model of the process, configured from the environment on first use.
model& the_model();

} // namespace simboard
