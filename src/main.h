// The daemon's front end: command line, usage and version, logging set-up,
// FIFO creation, the per-prefix lock, signal handling, the hand-over of the
// settings to the engine and the exit status.
//
// Threads: everything here runs on the main thread, before the engine's monitor
// thread exists or after it has been joined; signal_handler may interrupt any
// thread and does only async-signal-safe work.
#pragma once

#include <cstdint>
#include <string>

// What the command line asks for, with its defaults.
struct startup_settings {
    std::string pipe_path = "/dev/qrandom";
    std::string prefix = "xdma0";
    std::string backup_source;
    uint32_t thread_period = 10;
    uint32_t qrng_mask = 0xFFFFFFFF;
    uint32_t standby = 10000;
    uint8_t verbosity = 0;
    bool log_stdout = false;
    bool new_randomness = false;
    bool read_only = false;
    bool strict_mode = false;
    bool checksum_check = false;
    bool filter_enable = false;
    bool enable_debug = false;
    bool entropy_source = false;
    std::string metrics_path;
    // Set when -t gave a number the 32-bit period cannot hold: the warning to log.
    std::string period_warning;
};

enum class parse_outcome { start, usage, version, bad_number };

// Parses the options left to right with getopt into `settings` (which holds the
// defaults on entry). Stops at -h or -V. On a bad number, `error` holds the
// one-line diagnostic naming the option, its argument and the conversion.
// The backup source is kept only when new randomness is set.
parse_outcome parse_options(int argc, char** argv, startup_settings& settings, std::string& error);

// Writes the usage text to standard output.
void print_usage(char** argv);

// Sets the syslog mask and log_level for a verbosity.
void apply_verbosity(uint8_t verbosity);
// The setlogmask argument for a verbosity.
int verbosity_mask(uint8_t verbosity);
// The log_level for a verbosity.
int verbosity_log_level(uint8_t verbosity);

// Opens (creating it with mode 0600) and checks the lock file: only a regular file
// of the daemon's user with no other name is accepted. -1 with the reason in `problem` otherwise.
int open_lock_file(const std::string& path, std::string& problem);

// SIGTERM and SIGHUP request a stop with exit_flag 1, SIGINT with 2, unless the
// engine has stopped itself (3), which stands; SIGUSR1 asks for a statistics line.
void signal_handler(int sig);

// The whole daemon; returns the exit status (or ends the process itself).
int daemon_main(int argc, char** argv);
