// The acquisition engine: device access, the board, every setting of the daemon
// and the state its two threads share; the accelerator's register operations,
// the primary read loop (run), the block integrity check and the monitor thread.
//
// Threads: the constructor, check_version, the setters, run and the destructor
// run on the main thread. run() starts the monitor thread (throughput_compute)
// after warm-up and joins it before it returns. Register operations are called
// from both threads as described with each; exit_flag and pipe_fd may also be
// touched by the signal handler (close_pipe is async-signal-safe).
#pragma once

#include "board.h"
#include "defs.h"
#include "xdma.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

// Working chips must exceed this ratio of their nominal rate.
constexpr float qrng_rate_threshold = 0.9f;

class qrng_handler {
public:
    qrng_handler(std::string pipe_path, std::string prefix);
    ~qrng_handler();
    qrng_handler(const qrng_handler&) = delete;
    qrng_handler& operator=(const qrng_handler&) = delete;

    // Installs the board matching the bitstream version; false for an unknown one.
    bool check_version();

    // Opens the FIFO (write-only, non-blocking) unless it is open; returns pipe_fd.
    int open_pipe();
    // Closes the FIFO and stores -1. Safe inside a signal handler.
    static void close_pipe();

    void set_qrng_standby(unsigned int value);
    void set_qrng_mask_arg(unsigned int value);
    void set_thread_period(unsigned long value);
    void set_backup_source(std::string value);
    void set_read_only(bool value);
    void set_new_randomness(bool value);
    void set_strict_mode(bool value);
    void set_checksum_check(bool value);
    void set_filter_enable(bool value);
    void set_enable_drbg_arg(bool value);
    void set_enable_debug_arg(bool value);
    void set_entropy_source(bool value);

    // Programs and warms up the chips, then streams until stopped. Returns the stop
    // code: 0 after SIGTERM, 1 after SIGINT or a stop by the monitor, 4 when strict
    // mode finds a chip not working, 5 on a DDR desync.
    int run();

    // Register operations (main thread; the monitor uses the reads, set_standby and
    // write_rgb through the board).
    void spi_enable();
    void spi_disable();
    void spi_start();
    void spi_stop();
    void spi_reset();
    void set_filter(bool enable);
    void set_enable_drbg(bool enable);
    void set_enable_debug(bool enable);
    void set_mask(unsigned int value);
    void set_standby(unsigned int value);
    void write_rgb(int led, unsigned int colour);
    void qrng_write_reg(unsigned short chip, unsigned short reg, unsigned short value);
    void qrng_set_mode(bool mode);
    unsigned int hw_version();
    unsigned int get_qrng_num();
    unsigned int ddr_address();
    unsigned int get_status();
    unsigned long get_rate();
    float get_filter_ratio(int i);

    // Checks the block the accelerator last reported against its checksum.
    void validate_checksum(unsigned int ddr_snapshot);
    // XOR of `count` words.
    static unsigned int block_checksum(unsigned int* data, unsigned long count);

    // Body of the monitor thread.
    void throughput_compute();

    // Stop request: 0 running, 1 SIGTERM, 2 SIGINT, 3 stopped by the engine.
    static std::atomic<int> exit_flag;
    // Descriptor of the output FIFO, -1 while closed.
    static std::atomic<int> pipe_fd;

    // Rules of the read loop, kept apart so that they can be checked on their own.
    // Bytes to move in one chunk from word address `read_addr` (never past the ring's end).
    static uint32_t chunk_size(uint32_t read_addr);
    // Microseconds to wait for `missing_bytes` at `throughput` MiB/s (capped).
    static uint32_t data_wait_us(uint32_t missing_bytes, float throughput);
    // Read address after the FIFO accepted `written` bytes of a chunk read at `read_addr`:
    // every word of which any byte was written counts as delivered.
    static uint32_t advance_read_address(uint32_t read_addr, uint64_t written);

    // Whether a pass may move a chunk from read_addr, given the write-address snapshot
    // and the wrap count: after a wrap the read address restarts at 0 (updated here);
    // a write address behind the read address before any wrap is a desync. With new
    // randomness, a read address so far behind that the board may overwrite it before
    // the wrap is published gives up the rest of the lap: `resume_cycle` (0 when
    // unused) then holds the wrap count at which reading restarts at address 0.
    enum class fresh_data_t { ready, short_of_data, lap_given_up, desync };
    static fresh_data_t check_fresh_data(uint32_t snapshot, uint32_t& read_addr, uint64_t cycles,
                                         bool new_randomness, uint64_t& resume_cycle);
    // Largest distance, in words, from the read address up to the published write
    // address at which the rest of the lap is still read with new randomness.
    static constexpr uint32_t max_fresh_lag = MAX_DDR_ADDRESS / 4 * 3;

    // Appends chip `chip`'s entry of the monitor's cycle line to the text in buf (size
    // bytes, kept terminated, never overrun): "Q%d: %.02f(%d) ", or with filtering
    // "Q%d: %.02f/%.02f(%d) ".
    static void append_chip_text(char* buf, size_t size, int chip, float ratio, float filter_ratio,
                                 unsigned int status_bit, bool filter);
    // Generation rate in MiB/s of `delta_bytes` produced in `dt` seconds.
    static float compute_throughput(uint64_t delta_bytes, double dt);

private:
    friend struct qrng_test_access;

    // What the monitor's compute pass asks of its loop.
    enum class monitor_step { next_pass, skip_to_next_pass, give_up };
    // Monitor state that lives from one compute pass to the next.
    struct monitor_state {
        double previous_time;
        unsigned int no_active;
        uint64_t generated;
    };
    monitor_step monitor_compute(monitor_state& state);

    // One pass of the streaming loop at the read address; false when it must stop,
    // with the stop code in `code`.
    bool stream_pass(uint32_t& read_addr, uint64_t& resume_cycle, int& code);
    // Delivers one chunk of the DMA ring at read_addr into the FIFO.
    void deliver_dma(int fd, uint32_t& read_addr, uint32_t size);
    // Moves one chunk from the backup source into the FIFO; the read address stays.
    void deliver_backup(int fd, uint32_t size);
    // Stop sequence of run(): joins the monitor (when started), closes the FIFO, stops the chips.
    int stop_sequence(int code, std::thread* monitor);
    // Records checksum value C taken at block address P, forgetting the oldest values
    // once the maps hold checksum_memory of them. Returns C's count after this one.
    unsigned long remember_checksum(unsigned int checksum, unsigned int address, unsigned int& previous_address);

    // Distinct checksum values kept for duplicate reports.
    static constexpr size_t checksum_memory = 65536;

    std::string pipe_path;
    xdma_handler xdma;
    std::unique_ptr<board_handler> board;
    int qrng_num;
    unsigned int standby;
    std::atomic<uint64_t> cycle_count;
    std::atomic<uint64_t> ddr_addr;
    unsigned int last_ddr_addr;
    std::atomic<float> throughput;
    bool strict_mode;
    std::atomic<uint64_t> bytes_written;
    unsigned int thread_period;
    unsigned int qrng_mask_arg;
    unsigned int qrng_standby;
    std::string backup_source;
    bool new_randomness;
    bool read_only;
    bool checksum_check;
    bool filter_enable;
    bool enable_drbg_arg;
    bool enable_debug_arg;
    bool entropy_source;
    std::unordered_map<unsigned int, unsigned long> checksum_seen;
    std::unordered_map<unsigned int, unsigned int> checksum_last;
    // Checksum values in the order they were first taken (a ring of checksum_memory).
    std::vector<unsigned int> checksum_order;
    size_t checksum_order_next;
};
