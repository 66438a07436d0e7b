// What the daemon tells its operators, and how: the STATUS= text, the metrics
// file and the statistics line as pure functions of a report_data (the engine's
// counters and state at one moment), and their transports: notifications to the
// service manager that never block, the metrics file's atomic rewrite, and the
// watchdog's decision.
//
// Threads: the free functions may run on any thread. A reporter belongs to the
// monitor thread while it runs and to the main thread before its start and after
// its join; stopping() may come from either thread, and only the first call sends.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The engine's counters and state at one moment.
struct report_data {
    std::string prefix;        // the board's XDMA prefix
    std::string board;         // "pcie", "m2"
    unsigned int bitstream = 0; // the accelerator's version word
    int chips = 0;
    int chips_working = 0;
    std::vector<double> chip_ratios; // each chip's rate as a share of its nominal rate
    uint64_t generated_bytes = 0;
    uint64_t delivered_board = 0;
    uint64_t delivered_backup = 0;
    uint64_t ring_wraps = 0;
    uint64_t dma_failures = 0;
    uint64_t dma_short_chunks = 0;
    uint64_t overruns = 0;
    uint64_t refused_chunks = 0;
    uint64_t checksum_mismatches = 0;
    uint64_t checksum_duplicates = 0;
    uint64_t checksum_skipped = 0;
    double generation_rate = 0; // bytes per second
    bool consumer_attached = false;
    double start_time = 0; // when streaming began, seconds since the epoch
    double uptime_s = 0;   // seconds since then
    enum class output_t { untested, healthy, unhealthy } output = output_t::healthy; // the health tests' verdict
    std::vector<std::pair<std::string, uint64_t>> health_failures; // failed chunks by test
    uint64_t withheld_bytes = 0;
};

// "streaming: 6/6 chips, 31.9 MiB/s, 2.31 GiB delivered, consumer attached"; it
// begins "unhealthy: output withheld, " while the board's output fails its health
// tests, "starting: testing the output, " before the first verdict.
std::string status_text(const report_data& d);
// The metrics file's content, in the Prometheus text format; `up` false once stopped.
std::string metrics_text(const report_data& d, bool up);
// The answer to SIGUSR1, without its line end.
std::string statistics_text(const report_data& d);
// Whether the watchdog is pinged now: every half interval, and only while the
// read loop has made progress within the interval.
bool watchdog_due(int64_t now_ns, int64_t last_ping_ns, int64_t loop_alive_ns, uint64_t interval_ns);

// Sends one notification to the service manager ($NOTIFY_SOCKET) without
// blocking: a message the receiver cannot take now waits at most wait_ms, then
// is dropped. False when it was not sent (or there is no service manager).
bool notify_service_manager(const std::string& message, int wait_ms);
// Replaces the file at `path` atomically with `content` (mode 0644), through
// PATH.tmp; false with errno set when that fails.
bool replace_file(const std::string& path, const std::string& content);

// The transports' state.
class reporter {
public:
    // The metrics file to keep ("" for none).
    void set_metrics_path(std::string path) { metrics = std::move(path); }
    // Which board the reports are about: its XDMA prefix and bitstream version word.
    void identify(std::string board_prefix) { prefix_ = std::move(board_prefix); }
    void set_bitstream(unsigned int word) { bitstream_ = word; }
    const std::string& prefix() const { return prefix_; }
    unsigned int bitstream() const { return bitstream_; }
    // When streaming begins (wall clock and CLOCK_MONOTONIC), and the watchdog's
    // interval the service manager asked for.
    void start(int64_t now_ns);
    double start_time() const { return started_wall; }
    int64_t start_ns() const { return started; }
    // Whether a pass of the monitor at `now_ns` pings the watchdog; records it.
    bool ping_due(int64_t now_ns, int64_t loop_alive_ns);
    // Whether STATUS= and the metrics file are due (at most once a second); records it.
    bool report_due(int64_t now_ns);
    // READY=1 with the first status.
    void ready(const report_data& d);
    void status(const report_data& d);
    // STOPPING=1 with the status "stopped: <reason>", or "stopping: <signal>"
    // without a reason; sent once.
    void stopping(const char* reason, const char* signal);
    // Rewrites the metrics file (when there is one); a failure is logged once
    // until a write succeeds again.
    void write_metrics(const report_data& d, bool up);

private:
    std::string prefix_;
    unsigned int bitstream_ = 0;
    std::string metrics;
    bool metrics_failed = false;
    double started_wall = 0;
    int64_t started = 0;
    uint64_t watchdog_ns = 0; // 0: no watchdog
    int64_t last_ping_ns = 0;
    int64_t last_report_ns = 0;
    std::atomic<bool> stopping_sent{false};
};
