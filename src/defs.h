// Shared definitions of qrngd: the constants every module uses, and the logging
// module (logging.cpp): the logging switches and helper with its flood limit, the
// one sleeping function, and the deferred notices of signals received.
//
// Threads: log_stdout and log_level are written once by the main thread during
// start-up and only read afterwards; log_message() may be called from any thread
// (one write per message). delay_us() may be called from any thread.
// note_signal() is the only function here that a signal handler may call.
#pragma once

#include <cstdint>

// DDR ring, in 32-bit words; chunk sizes in bytes; periods and waits in microseconds.
constexpr uint32_t DDR_MEM_SIZE = 255;
constexpr uint32_t SECONDARY_THREAD_PERIOD_US = 30000;
constexpr uint32_t READS_TO_COMPUTE = 8;
constexpr uint32_t QRNG_NOACTIVE_TOL = 50;
constexpr uint32_t MIN_DDR_ADDRESS = 0;
constexpr uint32_t MAX_DDR_ADDRESS = 0x4000000;
constexpr uint32_t MIN_DATA_READ = 8192;
constexpr uint32_t MAX_DATA_READ = 65536;
constexpr uint32_t MAX_WAIT_DATA_DELAY = 1000000;

// The daemon's version, as -V prints it.
constexpr const char* QRNGD_VERSION = "v1.01";

// Message levels. The value is the lowest log_level at which a message of that
// level goes to standard output when log_stdout is set.
enum log_level_t : int { LEVEL_ERROR = 0, LEVEL_WARN = 1, LEVEL_INFO = 2 };

// Process-wide logging switches: log_stdout is set by -s, log_level is derived
// from the verbosity.
extern int log_stdout;
extern int log_level;

// Emits one message: to standard output with its level prefix when log_stdout is
// set and log_level reaches the level, otherwise to the system log at the level's
// priority (where the mask decides). fmt is the syslog form and ends in "\n".
// A message (keyed by its format) is logged at most LOG_FLOOD_LIMIT times in
// LOG_FLOOD_WINDOW_S seconds; while it goes on, one line per window follows as
// "N times in the last 10 s, the last: <text>".
void log_message(log_level_t level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// The same without the flood limit, for the monitor's status line.
void log_unlimited(log_level_t level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

constexpr unsigned LOG_FLOOD_LIMIT = 10;
constexpr int64_t LOG_FLOOD_WINDOW_S = 10;

// The flood limit's decision for one occurrence of a message, kept apart from
// the clock so that it can be checked on its own.
class log_limiter {
public:
    // Emit the line, drop it, or emit it as the summary of N occurrences, N in `repeated`.
    enum class verdict { emit, drop, summary };
    verdict decide(const void* key, int64_t now_ns, unsigned long& repeated);

private:
    struct entry {
        const void* key = nullptr;
        int64_t window_start = 0;
        unsigned count = 0;
        unsigned long dropped = 0;
    };
    static constexpr int slots = 64;
    entry entries[slots];
    int next_slot = 0;
};

// Sleeps for the given number of microseconds, then emits the notices of signals
// received meanwhile. Every delay of the boards and the engine goes through here.
void delay_us(unsigned long us);

// Sleeps like delay_us(), but returns as soon as wake_stopped_waits() is called:
// for a thread whose waits only look out for a stop request.
void delay_until_stop(unsigned long us);
// Ends every delay_until_stop() now and later (a stop has been seen); rearm_stopped_waits() undoes it.
void wake_stopped_waits();
void rearm_stopped_waits();

// Replaces the sleep behind delay_us() (tests observe delays instead of waiting
// for them); nullptr restores the real sleep.
void set_delay_function(void (*fn)(unsigned long us));

// Async-signal-safe: records that SIGTERM, SIGINT, SIGHUP or SIGUSR1 arrived. The
// notice itself is logged later, by flush_signal_notices(), outside the handler.
void note_signal(int sig);

// Logs one notice for every SIGTERM, SIGINT or SIGHUP recorded and not yet logged.
void flush_signal_notices();

// The last of SIGTERM, SIGINT and SIGHUP received, 0 before any.
int stop_signal_received();

// True once for every SIGUSR1 received since the last call (a statistics request).
bool take_statistics_request();

// CLOCK_MONOTONIC, in nanoseconds.
int64_t monotonic_ns();
// CLOCK_BOOTTIME (which goes on while the machine is suspended), in nanoseconds.
int64_t boottime_ns();
