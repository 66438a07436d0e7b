// The acquisition engine: device access, the board, every setting of the daemon
// and the state its two threads share; the accelerator's register operations
// (qrng.cpp), the primary read loop (run), the block integrity check and the
// monitor thread (qrng_stream.cpp), and what the daemon tells its operators:
// systemd notifications, the metrics file and the statistics line (qrng_health.cpp).
//
// Threads: the constructor, check_version, the setters, run and the destructor
// run on the main thread. run() starts the monitor thread (throughput_compute)
// after warm-up and joins it before it returns. Register operations are called
// from both threads as described with each; exit_flag and pipe_fd may also be
// touched by the signal handler (close_pipe is async-signal-safe). The counters
// the monitor reports are atomics written by the thread named with each.
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

// The board's write position as the read loop follows it. The accelerator gives
// only the word address inside the ring; successive samples of it are turned into
// a count of words written, which stays exact only while two samples are close
// enough in time that the board cannot have gone half round the ring between
// them. The loop measures the board's rate from its own samples and allows it to
// double: two samples further apart than a quarter ring at the measured rate lose
// the lap count ("lost"); an address that went back by more than half a ring
// between close samples cannot come from a board writing forward ("contradiction").
// Once a rate is measured, an advance beyond twice what it allows (and some slack)
// may be a board that restarted its ring past the half-ring point: the laps are
// then unknown as well ("implausible"), and a new frame starts.
// Time is CLOCK_BOOTTIME, which goes on counting while the machine is suspended.
struct write_tracker {
    enum class sample_t { known, lost, implausible, contradiction };

    // Takes one sample of the write address, read between before_ns and after_ns.
    // The first sample, and every sample after a loss, starts a new frame beyond
    // every position counted so far.
    sample_t sample(uint32_t address, int64_t before_ns, int64_t after_ns);
    sample_t sample(uint32_t address, int64_t now_ns) { return sample(address, now_ns, now_ns); }
    // Samples further apart than this lose the lap count.
    int64_t max_gap_ns() const;
    // The longest a waiting loop should go without a sample: what a restarted
    // ring can pass off as fresh data grows with it (twice what the board writes
    // in it, plus the slack of plausible_words).
    int64_t sample_interval_ns() const;
    // The most words an advance over `ns` may count: twice the measured rate
    // (never below the lowest rate the tracking assumes), plus a little slack.
    uint64_t plausible_words(int64_t ns) const;
    // The measured generation rate in MiB/s (0 until measured).
    float rate_mib() const;

    bool anchored = false;
    uint64_t position = 0;    // words written, in the loop's frame
    int64_t time_ns = 0;      // time of the last sample (before its read)
    bool rate_known = false;
    bool rate_current = false; // a rate has been measured since the frame began
    double words_per_ns = 0;  // measured generation rate
    int64_t rate_span_ns = 0; // over how long it was measured
    uint64_t ref_position = 0; // start of the current rate measurement
    int64_t ref_time_ns = 0;

private:
    sample_t new_frame(uint32_t address, int64_t before_ns, int64_t after_ns, sample_t why);
};

// Sends one notification to the service manager ($NOTIFY_SOCKET) without
// blocking: a message the receiver cannot take now waits at most wait_ms, then
// is dropped. False when it was not sent (or there is no service manager).
bool notify_service_manager(const std::string& message, int wait_ms);
// Replaces the file at `path` atomically with `content` (mode 0644), through
// PATH.tmp; false with errno set when that fails.
bool replace_file(const std::string& path, const std::string& content);

// The block checksums the integrity check took last, for its duplicate reports.
// A healthy board's 32-bit checksums repeat by chance (with 65,536 of them kept,
// a few times a minute at 256 MiB/s); a value seen three times within the last
// 4,096 checks is reported instead: by chance about 0.23 times a year (a new value
// matching two of 4,095 others: C(4095,2) / 2^64 = 4.5e-13 per check, 5.2e11 checks
// a year at one per 64 KiB at 1 GiB/s), while a board repeating one block is
// reported at its third check. Main thread only.
class checksum_window {
public:
    static constexpr size_t size = 4096;
    static constexpr unsigned long report_at = 3;

    // Takes checksum C of the block at `address`; returns how often C occurs among
    // the last `size` checks, this one included, with the address of its previous
    // occurrence in `previous_address` when there is one.
    unsigned long add(uint32_t checksum, uint32_t address, uint32_t& previous_address);
    // Distinct values kept (at most `size`).
    size_t distinct() const { return seen.size(); }

private:
    struct occurrences {
        unsigned long count = 0;
        uint32_t last_address = 0;
    };
    std::unordered_map<uint32_t, occurrences> seen;
    std::vector<uint32_t> order; // the last `size` values, a ring
    size_t next = 0;
};

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
    static int make_fifo(const std::string& path);

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

    // Rules of the read loop, kept apart so that they can be checked on their own.
    // Bytes to move in one chunk from word address `read_addr` (never past the ring's end).
    static uint32_t chunk_size(uint32_t read_addr);
    // Words in the chunk that starts at read position `read_pos` (any lap).
    static uint32_t chunk_words(uint64_t read_pos);
    // Microseconds to wait for `missing_bytes` at `throughput` MiB/s (capped).
    static uint32_t data_wait_us(uint32_t missing_bytes, float throughput);
    // Read position after the FIFO accepted `written` bytes of a chunk read at
    // `read_pos`: every word of which any byte was written counts as delivered.
    static uint64_t advance_read_address(uint64_t read_pos, uint64_t written);
    // What the read loop may do with the chunk [start, start + words) given the
    // board's position (words written, the tracker's frame): read it (written and
    // not overwritten), wait for it, or give it up because the board has
    // overwritten or is about to overwrite its first word.
    enum class chunk_t { ready, short_of_data, overrun };
    static chunk_t check_chunk(uint64_t start, uint32_t words, uint64_t board_position);
    // The board overwrites a chunk's start first: a chunk must be read before the
    // board comes within this many words of a whole ring past its start.
    static constexpr uint32_t overwrite_guard = MAX_DATA_READ / 4;
    // Bytes a FIFO of `capacity` bytes holding `unread` bytes takes without
    // refusing, at most one chunk. A FIFO holds its data in page-sized slots: the
    // loop writes whole pages, so the unread bytes fill ceil(unread / page) slots,
    // and each of `partial` writes of another size may have left one slot more
    // partly filled.
    static uint32_t fifo_room(long capacity, long unread, long page, long partial);
    // Whether reading may start at the ring's address 0 after the start (-r): only
    // when the first address seen is one a reset pointer can have reached at the
    // measured rate since spi_start; otherwise the ring may hold a previous run's
    // data below it.
    static bool reset_pointer(uint32_t first_address, int64_t since_start_ns, double words_per_ns);

    // Appends chip `chip`'s entry of the monitor's cycle line to the text in buf (size
    // bytes, kept terminated, never overrun): "Q%d: %.02f(%d) ", or with filtering
    // "Q%d: %.02f/%.02f(%d) ".
    static void append_chip_text(char* buf, size_t size, int chip, float ratio, float filter_ratio,
                                 unsigned int status_bit, bool filter);
    // Generation rate in MiB/s of `delta_bytes` produced in `dt` seconds.
    static float compute_throughput(uint64_t delta_bytes, double dt);

private:
    friend struct qrng_test_access;

    // State of one call of run()'s streaming loop.
    struct stream_state {
        write_tracker board;
        uint64_t read_pos = 0;       // next word to deliver, in the tracker's frame
        bool desync = false;         // the board's write position contradicted the tracking
        bool start_pending = false;  // -r: whether to read from address 0 is not decided yet
        uint32_t first_address = 0;  // the first sample's address and time
        int64_t first_ns = 0;
        int64_t started_ns = 0;      // spi_start, on CLOCK_BOOTTIME
        unsigned long pause_us = 0;  // sleep before the next pass
        unsigned long idle_us = 0;   // back-off while the output cannot be opened
        unsigned long dma_backoff_us = 0; // back-off while DMA reads fail
        long partial_slots = 0;      // writes of no whole number of pages since the FIFO was last empty
        double reader_bytes_per_ns = 0; // the reader's pace, last measured
        bool warned_repeat = false;  // without -r: the stream repeats ring content
        int64_t path_checked_ns = 0; // when the FIFO's path was last looked at
        int64_t dma_window_start = 0;
        unsigned long dma_failed_in_window = 0;
        bool dma_failure_reported = false;
    };

    // What the monitor's compute pass asks of its loop.
    enum class monitor_step { next_pass, give_up };
    // Monitor state that lives from one compute pass to the next.
    struct monitor_state {
        double previous_time;
        unsigned int no_active;
        uint64_t generated;
        // The operators' count of the board's output, from samples of the write
        // address taken often enough for the measured rate.
        write_tracker board{};
        uint32_t last_address = 0;
        uint64_t words = 0;         // words written, counted
        uint64_t words_at_pass = 0; // at the last compute pass
        double still_since = 0;     // when the address was last seen moving while chips work
        bool stall_warned = false;
    };
    monitor_step monitor_compute(monitor_state& state);
    // Waits `us` for the next compute pass, sampling the write address in between
    // whenever the board could otherwise go round its ring unseen.
    void monitor_wait(monitor_state& state, unsigned long us);
    // Counts the board's output up to one more sample of its write address.
    void count_output(monitor_state& state, uint32_t address);

    // One pass of the streaming loop; false when it must stop, with the stop code in `code`.
    bool stream_pass(stream_state& s, int& code);
    // Samples the board's write position; false on a contradiction (a desync).
    bool track(stream_state& s);
    // The pause before the next pass when the next chunk is not written yet.
    unsigned long pause_for_data(const stream_state& s) const;
    // Sleeps `us`, sampling the write position often enough to keep the lap count.
    void wait_tracked(stream_state& s, unsigned long us);
    // Bytes the output can take now, at most one chunk; waits a bounded time for
    // room when the FIFO is full. 0 when nothing can be written in this pass.
    uint32_t output_room(int fd, stream_state& s);
    // Delivers `size` bytes of the DMA ring at the read position into the FIFO.
    void deliver_dma(int fd, stream_state& s, uint32_t size);
    // Moves one chunk from the backup source into the FIFO; the read address stays.
    void deliver_backup(int fd, stream_state& s, uint32_t size);
    // Handles a FIFO write that took nothing; true when the output is failing.
    bool write_refused(int err);
    // Counts `written` bytes into the FIFO (and a slot partly filled by them).
    void count_written(stream_state& s, ssize_t written, bool backup);
    // Logs the desync and ends the run with status 5.
    bool stop_on_desync(int& code);
    // Counts and reports a failed DMA read: the first at once, then a summary per 10 s.
    void dma_failed(stream_state& s, int err, uint32_t size, uint64_t offset);
    // Stop sequence of run(): joins the monitor (when started), closes the FIFO, stops the chips.
    int stop_sequence(int code, std::thread* monitor);
    // Reports a problem of the output path once per distinct cause (0 clears it).
    void output_problem(int cause, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

    // Operators' view (qrng_health.cpp). Called on the monitor thread every pass:
    // the watchdog, STATUS= and the metrics file at most once a second, the
    // statistics line when asked for.
    void health_pass(int64_t now_ns);
    // Sets up what the monitor reports (start time, watchdog interval) before it starts.
    void health_start();
    // READY=1 and the first status, once streaming begins.
    void notify_ready();
    // STOPPING=1 with the reason, once, from the thread that sees the stop first.
    void notify_stopping();
    // Rewrites the metrics file (atomically); `up` false for the last one.
    void write_metrics(bool up);
    std::string status_text() const;
    // Records that the read loop made progress (for the watchdog).
    void loop_alive();

    // Counters for the statistics line, STATUS= and the metrics file.
    std::atomic<uint64_t> bytes_backup{0};        // read loop: of bytes_written, from the backup source
    std::atomic<uint64_t> dma_failures{0};        // read loop
    std::atomic<uint64_t> refused_chunks{0};      // read loop: read from the board, then refused by the FIFO
    std::atomic<uint64_t> checksum_mismatches{0}; // read loop
    std::atomic<uint64_t> checksum_duplicates{0}; // read loop
    std::atomic<uint64_t> checksum_torn{0};       // read loop: reports skipped, two reads disagreed
    std::atomic<uint64_t> generated_bytes{0};     // monitor: the board's write-address advances
    std::atomic<uint64_t> ring_wraps{0};          // monitor: the board's laps, counted like generated_bytes
    std::atomic<double> generation_rate{0};       // monitor: bytes/s between its last two compute passes
    std::atomic<int> chips_working{0};            // monitor (boot check until its first pass)
    std::atomic<uint64_t> working_mask{0};        // monitor: bit i = chip i works
    std::atomic<unsigned long> last_rate{0};      // monitor: the last rate word
    std::atomic<int64_t> loop_alive_ns{0};        // read loop: last progress
    std::atomic<bool> stopping_notified{false};
    std::atomic<const char*> stop_reason{nullptr}; // set before exit_flag = 3
    std::string prefix;
    std::string metrics_path;
    unsigned int hw_version_word = 0;
    int last_output_problem = 0;                  // main thread
    double start_time = 0;                        // set before the monitor starts: wall clock, seconds
    int64_t start_ns = 0;
    uint64_t watchdog_ns = 0;                     // 0: no watchdog
    int64_t last_ping_ns = 0;                     // monitor thread, then the stop sequence after the join
    int64_t last_report_ns = 0;
    bool metrics_failed = false;
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
    // The checksum values taken, with how often and where each was seen last.
    checksum_window checksum_seen;
};
