// The acquisition engine: device access, the board, every setting of the daemon
// and the state its two threads share. qrng_handler keeps the engine's interface:
// the accelerator's register operations, construction, settings and FIFO
// (qrng.cpp), the primary read loop, run(), and the block integrity check
// (qrng_stream.cpp), and the monitor thread with what it tells the operators
// (qrng_monitor.cpp). Behind it, each concern is a unit of its own, included only
// by the engine's files and their tests: qrng_rules (the write position, chunks,
// waits), qrng_output (the FIFO), qrng_checksum (the checksums' window),
// qrng_counters (what both threads publish) and qrng_report (the operators' texts
// and their transports).
//
// Threads: the constructor, check_version, the setters, run and the destructor
// run on the main thread. run() starts the monitor thread (throughput_compute)
// after warm-up and joins it before it returns. Register operations are called
// from both threads as described with each; exit_flag and pipe_fd may also be
// touched by the signal handler (close_pipe is async-signal-safe).
#pragma once

#include "board.h"
#include "defs.h"
#include "qrng_checksum.h"
#include "qrng_counters.h"
#include "qrng_health.h"
#include "qrng_output.h"
#include "qrng_report.h"
#include "qrng_rules.h"
#include "xdma.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

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
    // Only a FIFO of the daemon's user that no one else may write to, or a
    // character device, is accepted; a FIFO that has gone is made again.
    int open_pipe();
    // Closes the FIFO and stores -1. Safe inside a signal handler.
    static void close_pipe();
    // Creates the FIFO: mode 0666 less the umask, never writable by group or others.
    static int make_fifo(const std::string& path) { return fifo_output::make_fifo(path); }

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
    void set_metrics_path(std::string value);

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

    // Appends chip `chip`'s entry of the monitor's cycle line to the text in buf (size
    // bytes, kept terminated, never overrun): "Q%d: %.02f(%d) ", or with filtering
    // "Q%d: %.02f/%.02f(%d) ".
    static void append_chip_text(char* buf, size_t size, int chip, float ratio, float filter_ratio,
                                 unsigned int status_bit, bool filter);
    // Generation rate in MiB/s of `delta_bytes` produced in `dt` seconds.
    static float compute_throughput(uint64_t delta_bytes, double dt);

private:
    friend struct qrng_test_access;

    // One pass of the streaming loop; false when it must stop, with the stop code in
    // `code`. The watch on delivery follows each pass.
    bool stream_pass(loop_state& s, int& code);
    bool loop_pass(loop_state& s, int& code);
    // Whether the loop delivers when it could (its pass seen at `now`, CLOCK_MONOTONIC);
    // says so when it does not for long.
    void watch_delivery(loop_state& s, bool delivered, int64_t now);
    // The board overtook the read position: counted, and said once with -r when
    // reads that had room to go were outpaced.
    void note_overrun(loop_state& s);
    // Samples the board's write position; false on a contradiction (a desync).
    bool track(loop_state& s);
    // Sleeps `us`, sampling the write position often enough to keep the lap count.
    void wait_tracked(loop_state& s, unsigned long us);
    // The read loop thread's timer slack: how late its sleeps may end.
    void set_timer_slack(loop_state& s, unsigned long ns);
    // Bytes the output can take now, at most one chunk; waits a bounded time for
    // room when the FIFO is full. 0 when nothing can be written in this pass.
    uint32_t output_room(int fd, loop_state& s);
    // Reads the whole chunk at the read position into the buffer not holding a
    // chunk, and tests it; the read position moves past it. Whether it was
    // judged, and fit to be delivered.
    enum class chunk_verdict { not_read, deliver, withhold };
    chunk_verdict read_chunk(loop_state& s);
    // The verdict on the chunk judged at `position`: a held chunk whose successor
    // this is goes out when it passed; otherwise the held one is withheld. A chunk
    // that passed is held in turn.
    void hold_back(loop_state& s, chunk_verdict v, uint64_t position);
    // Counts a held chunk as withheld: no successor of it will be read.
    void withhold_held(loop_state& s);
    // What a change of the board's health does: messages, READY=1, a stop.
    void health_event(loop_state& s, board_health::event e, health_test failed);
    // A pass while the board's output is not trusted: it tests chunks (the
    // start-up test, or one fresh chunk every 100 ms), reader or not, and delivers
    // nothing from the board.
    void test_pass(int fd, loop_state& s, int64_t now);
    // Writes what `room` allows of the released chunk.
    void write_pending(int fd, loop_state& s, uint32_t room);
    // Moves what the FIFO can take, up to a chunk, from the backup source into it.
    void deliver_backup(int fd, loop_state& s);
    // Writes into the FIFO and counts what it took, as the board's bytes or the
    // backup source's; false when nothing went in.
    bool deliver(int fd, loop_state& s, const void* data, uint32_t size, bool board_bytes, ssize_t& written);
    // A DMA read of `size` bytes at `offset` failed with `err`: counted, reported
    // once per window, retried after a growing pause.
    void dma_failed(loop_state& s, uint64_t offset, size_t size, int err);
    // Stop sequence of run(): joins the monitor (when started), closes the FIFO, stops the chips.
    int stop_sequence(int code, std::thread* monitor);

    // One compute pass of the monitor; false when it gives up (no active chip).
    bool monitor_compute(monitor_state& state);
    // Waits `us` for the next compute pass, sampling the write address in between
    // whenever the board could otherwise go round its ring unseen.
    void monitor_wait(monitor_state& state, unsigned long us);
    // The operators' view: the watchdog, STATUS= and the metrics file at most once
    // a second, the statistics line when asked for; on the monitor thread.
    void report_pass(int64_t now_ns);
    // The counters and state for the operators' texts.
    report_data report() const;
    // STOPPING=1 with the reason, once, from the thread that sees the stop first.
    void notify_stopping();

    engine_counters counters;
    reporter reports;
    fifo_output output;
    board_health health; // the board's output, and the tests of its chunks
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
    // The checksum values taken lately, with how often and where each was seen last.
    checksum_window checksums;
};
