// Front end of the daemon: options, usage, logging, FIFO, lock, signals, the
// hand-over to the engine and the exit status.
#include "main.h"

#include "defs.h"
#include "qrng.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

int log_stdout = 0;
int log_level = 0;

namespace {

const char* const version_text = "v1.01";

// Pending sigterm/sigint notices, counted by the signal handler.
std::atomic<unsigned> pending_sigterm{0};
std::atomic<unsigned> pending_sigint{0};
static_assert(std::atomic<unsigned>::is_always_lock_free, "signal counters must be lock-free");

std::atomic<void (*)(unsigned long)> delay_function{nullptr};

int level_priority(log_level_t level)
{
    switch (level) {
    case LEVEL_ERROR:
        return LOG_ERR;
    case LEVEL_WARN:
        return LOG_WARNING;
    default:
        return LOG_INFO;
    }
}

const char* level_prefix(log_level_t level)
{
    switch (level) {
    case LEVEL_ERROR:
        return "[ERROR] ";
    case LEVEL_WARN:
        return "[WARN] ";
    default:
        return "[INFO] ";
    }
}

// Logs one notice per recorded signal of one kind.
void flush_notices(std::atomic<unsigned>& pending, const char* text)
{
    unsigned n = pending.load();
    while (n > 0) {
        if (pending.compare_exchange_weak(n, n - 1)) {
            log_message(LEVEL_INFO, "%s", text);
            n = pending.load();
        }
    }
}

// Integer conversion of the numeric options: leading white space, an optional
// sign, then as many digits as follow (anything after them is ignored). Base 0
// takes the base from the prefix: 0x/0X hexadecimal, 0b/0B binary, 0 octal.
// False when there is no digit or the value lies outside [min, max].
bool convert_integer(const char* text, int base, long long min, long long max, long long& value)
{
    const char* p = text;
    while (isspace(static_cast<unsigned char>(*p)))
        p++;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = (*p++ == '-');
    if (base == 0) {
        if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && isxdigit(static_cast<unsigned char>(p[2]))) {
            base = 16;
            p += 2;
        } else if (p[0] == '0' && (p[1] == 'b' || p[1] == 'B') && (p[2] == '0' || p[2] == '1')) {
            base = 2;
            p += 2;
        } else if (p[0] == '0') {
            base = 8;
        } else {
            base = 10;
        }
    }
    // Magnitudes beyond this are out of range for every conversion used here.
    const unsigned long long limit = 1ULL << 63;
    unsigned long long magnitude = 0;
    bool any = false;
    for (;; p++) {
        int digit;
        unsigned char c = static_cast<unsigned char>(*p);
        if (isdigit(c))
            digit = c - '0';
        else if (isalpha(c))
            digit = tolower(c) - 'a' + 10;
        else
            break;
        if (digit >= base)
            break;
        any = true;
        // Saturate just above the largest magnitude any conversion accepts.
        if (magnitude > limit / static_cast<unsigned>(base))
            magnitude = limit + 1;
        else
            magnitude = std::min(magnitude * base + digit, limit + 1);
    }
    if (!any || magnitude > (negative ? limit : limit - 1))
        return false;
    if (negative)
        value = magnitude == limit ? INT64_MIN : -static_cast<long long>(magnitude);
    else
        value = static_cast<long long>(magnitude);
    return value >= min && value <= max;
}

// Builds the diagnostic for a numeric option that does not convert.
std::string bad_number(char option, const char* arg, const char* conversion)
{
    return std::string("qrngd: invalid number for -") + option + ": '" + arg + "' (" + conversion +
           " failed: no digits or out of range)";
}

} // namespace

void log_message(log_level_t level, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    if (log_stdout && log_level >= level) {
        char stack_text[1024];
        va_list copy;
        va_copy(copy, ap);
        int len = vsnprintf(stack_text, sizeof stack_text, fmt, copy);
        va_end(copy);
        char* text = stack_text;
        if (len >= static_cast<int>(sizeof stack_text)) {
            text = static_cast<char*>(malloc(static_cast<size_t>(len) + 1));
            if (text)
                vsnprintf(text, static_cast<size_t>(len) + 1, fmt, ap);
            else
                text = stack_text;
        }
        if (len >= 0) {
            size_t n = strlen(text);
            bool has_newline = n > 0 && text[n - 1] == '\n';
            fprintf(stdout, has_newline ? "%s%s" : "%s%s\n", level_prefix(level), text);
        }
        if (text != stack_text)
            free(text);
    } else {
        vsyslog(level_priority(level), fmt, ap);
    }
    va_end(ap);
}

void delay_us(unsigned long us)
{
    void (*fn)(unsigned long) = delay_function.load(std::memory_order_relaxed);
    if (fn) {
        fn(us);
    } else {
        struct timespec ts;
        ts.tv_sec = static_cast<time_t>(us / 1000000);
        ts.tv_nsec = static_cast<long>(us % 1000000) * 1000;
        nanosleep(&ts, nullptr);
    }
    flush_signal_notices();
}

void set_delay_function(void (*fn)(unsigned long us))
{
    delay_function.store(fn);
}

void note_signal(int sig)
{
    if (sig == SIGTERM)
        pending_sigterm.fetch_add(1);
    else if (sig == SIGINT)
        pending_sigint.fetch_add(1);
}

void flush_signal_notices()
{
    flush_notices(pending_sigterm, "sigterm received. exiting...\n");
    flush_notices(pending_sigint, "sigint received. exiting...\n");
}

parse_outcome parse_options(int argc, char** argv, startup_settings& s, std::string& error)
{
    optind = 0; // full re-initialisation of getopt, so that parsing can be repeated
    int c;
    long long value;
    while ((c = getopt(argc, argv, "rop:t:v:hsVbx:q:c:adfeD")) != -1) {
        switch (c) {
        case 'h':
            return parse_outcome::usage;
        case 'V':
            return parse_outcome::version;
        case 'v':
            if (!convert_integer(optarg, 10, INT32_MIN, INT32_MAX, value)) {
                error = bad_number('v', optarg, "stoi");
                return parse_outcome::bad_number;
            }
            s.verbosity = static_cast<uint8_t>(value);
            break;
        case 't':
            if (!convert_integer(optarg, 10, INT64_MIN, INT64_MAX, value)) {
                error = bad_number('t', optarg, "stol");
                return parse_outcome::bad_number;
            }
            s.thread_period = static_cast<uint32_t>(value);
            break;
        case 'q':
            if (!convert_integer(optarg, 0, INT32_MIN, INT32_MAX, value)) {
                error = bad_number('q', optarg, "stoi");
                return parse_outcome::bad_number;
            }
            s.qrng_mask = static_cast<uint32_t>(value);
            break;
        case 'c':
            if (!convert_integer(optarg, 10, INT32_MIN, INT32_MAX, value)) {
                error = bad_number('c', optarg, "stoi");
                return parse_outcome::bad_number;
            }
            s.standby = static_cast<uint32_t>(value);
            break;
        case 's':
            s.log_stdout = true;
            break;
        case 'p':
            s.pipe_path = optarg;
            break;
        case 'x':
            s.prefix = optarg;
            break;
        case 'b':
            s.backup_source = "/dev/urandom";
            break;
        case 'r':
            s.new_randomness = true;
            break;
        case 'o':
            s.read_only = true;
            break;
        case 'a':
            s.strict_mode = true;
            break;
        case 'd':
            s.checksum_check = true;
            break;
        case 'f':
            s.filter_enable = true;
            break;
        case 'e':
            s.entropy_source = true;
            break;
        case 'D':
            s.enable_debug = true;
            break;
        default:
            // Unknown letter or missing argument: getopt has said so; carry on.
            break;
        }
    }
    if (!s.new_randomness)
        s.backup_source.clear();
    return parse_outcome::start;
}

void print_usage(char** argv)
{
    printf("Morvane QRNG Driver\n");
    printf("version %s\n", version_text);
    printf("\n");
    printf("Usage: %s [OPTIONS]\n", argv[0]);
    printf("Options:\n");
    printf("\t-h             Print this help message\n");
    printf("\t-v <verbosity> Set log level (0-4)\n");
    printf("\t-p <path>      Set randomness output socket file\n");
    printf("\t-b             Use urandom as backup random source (only use when new randomness is set)\n");
    printf("\t-x <prefix>    XDMA prefix (default: xdma0)\n");
    printf("\t-t <delay>     Set primary thread wait time in us (default: 10)\n");
    printf("\t-q <mask>      Set QRNG mask (default: 0xFF)\n");
    printf("\t-r             Set new randomness, always wait for new random data\n");
    printf("\t-o             Only read loop\n");
    printf("\t-a             Strict mode, only starts if all QRNG are working\n");
    printf("\t-f             Activate filtering of repeated phrases on each QRNG reading flow\n");
    printf("\t-e             Set QRNGs as an entropy source instead of random number generator\n");
    printf("\t-s             Log to stdout\n");
    printf("\t-V             Show version\n");
}

int verbosity_mask(uint8_t verbosity)
{
    switch (verbosity) {
    case 0:
        return LOG_UPTO(LOG_EMERG);
    case 1:
        return LOG_UPTO(LOG_ERR);
    case 2:
        return LOG_UPTO(LOG_WARNING);
    case 4:
        return LOG_UPTO(LOG_DEBUG);
    default:
        return LOG_UPTO(LOG_INFO);
    }
}

int verbosity_log_level(uint8_t verbosity)
{
    switch (verbosity) {
    case 0:
    case 1:
        return 0;
    case 2:
        return 1;
    case 4:
        return 3;
    default:
        return 2;
    }
}

void apply_verbosity(uint8_t verbosity)
{
    setlogmask(verbosity_mask(verbosity));
    log_level = verbosity_log_level(verbosity);
}

void signal_handler(int sig)
{
    switch (sig) {
    case SIGTERM:
        qrng_handler::exit_flag = 1;
        note_signal(sig);
        break;
    case SIGINT:
        qrng_handler::exit_flag = 2;
        note_signal(sig);
        break;
    case SIGPIPE:
        qrng_handler::close_pipe();
        break;
    default:
        break;
    }
}

int daemon_main(int argc, char** argv)
{
    signal(SIGINT, signal_handler);
    signal(SIGTERM, signal_handler);
    signal(SIGPIPE, signal_handler);
    // Notices of signals that arrive while the process ends through exit().
    atexit(flush_signal_notices);

    startup_settings settings;
    std::string error;
    switch (parse_options(argc, argv, settings, error)) {
    case parse_outcome::usage:
        print_usage(argv);
        exit(0);
    case parse_outcome::version:
        printf("%s\n", version_text);
        exit(0);
    case parse_outcome::bad_number:
        fprintf(stderr, "%s\n", error.c_str());
        exit(2);
    case parse_outcome::start:
        break;
    }

    if (settings.log_stdout)
        log_stdout = 1;
    apply_verbosity(settings.verbosity);
    openlog("QRNG Daemon", LOG_PID | LOG_CONS | LOG_NDELAY, LOG_LOCAL1);

    mkfifo(settings.pipe_path.c_str(), 0666);

    std::string lock_path = "/var/lock/qrng_" + settings.prefix + ".lock";
    int lock_fd = open(lock_path.c_str(), O_RDONLY | O_CREAT, 0644);
    if (lock_fd < 0) {
        log_message(LEVEL_ERROR, "Cannot open lock file\n");
        return -1;
    }
    if (flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
        log_message(LEVEL_ERROR, "Cannot get lock file\n");
        return -1;
    }

    qrng_handler engine(settings.pipe_path, settings.prefix);
    if (!engine.check_version()) {
        log_message(LEVEL_ERROR, "FPGA bitstream version 0x%08X is not compatible. Exiting...\n",
                    engine.hw_version());
        return 1;
    }

    engine.set_qrng_standby(settings.standby);
    engine.set_qrng_mask_arg(settings.qrng_mask);
    engine.set_thread_period(settings.thread_period);
    engine.set_backup_source(settings.backup_source);
    engine.set_read_only(settings.read_only);
    engine.set_new_randomness(settings.new_randomness);
    engine.set_strict_mode(settings.strict_mode);
    engine.set_checksum_check(settings.checksum_check);
    engine.set_filter_enable(settings.filter_enable);
    engine.set_enable_debug_arg(settings.enable_debug);
    engine.set_entropy_source(settings.entropy_source);
    engine.set_enable_drbg_arg(settings.entropy_source && !settings.enable_debug);

    int status = engine.run();
    flush_signal_notices();

    close(lock_fd);
    closelog();
    return status;
}
