// Front end of the daemon: options, usage, logging, FIFO, lock, signals, the
// hand-over to the engine and the exit status.
#include "main.h"

#include "defs.h"
#include "qrng.h"

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

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

int open_lock_file(const std::string& path, std::string& problem)
{
    // /var/lock is writable by every user: never follow a link planted there, never
    // block on a FIFO, and accept only our own regular file that no one else can open.
    int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        int err = errno;
        problem = err == ELOOP ? "is a symbolic link" : std::string("cannot be opened: ") + strerror(err);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        problem = std::string("cannot be examined: ") + strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        problem = "is not a regular file";
    } else if (st.st_nlink != 1) {
        // A second name may be someone's file elsewhere, whose mode would be changed below.
        problem = "has " + std::to_string(st.st_nlink) + " hard links";
    } else if (st.st_uid != geteuid()) {
        problem = "belongs to user " + std::to_string(st.st_uid) + ", not to this daemon's user " +
                  std::to_string(geteuid());
    } else if ((st.st_mode & 07777) != 0600 && fchmod(fd, 0600) != 0) {
        problem = std::string("cannot be made private (mode 0600): ") + strerror(errno);
    } else {
        return fd;
    }
    close(fd);
    return -1;
}

parse_outcome parse_options(int argc, char** argv, startup_settings& s, std::string& error)
{
    optind = 0; // full re-initialisation of getopt, so that parsing can be repeated
    int c;
    long long value;
    while ((c = getopt(argc, argv, "rop:t:v:hsVbx:q:c:adfeDm:")) != -1) {
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
            if (static_cast<long long>(s.thread_period) != value)
                s.period_warning = std::string("Thread period ") + optarg + " us is out of range; using " +
                                   std::to_string(s.thread_period) + " us (its low 32 bits)";
            else
                s.period_warning.clear();
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
        case 'm':
            // The textfile collector reads only files ending in .prom; the daemon
            // writes its temporary file beside it under another name.
            s.metrics_path = optarg;
            if (s.metrics_path.size() <= 5 || s.metrics_path.compare(s.metrics_path.size() - 5, 5, ".prom") != 0) {
                error = std::string("qrngd: the metrics file for -m must end in .prom: '") + optarg + "'";
                return parse_outcome::bad_number;
            }
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
    printf("version %s\n", QRNGD_VERSION);
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

static void request_stop(int value)
{
    // A stop by the engine (3) says why the daemon must end; a signal that comes
    // after it must not turn it into a clean stop.
    int current = qrng_handler::exit_flag.load();
    while (current != 3 && !qrng_handler::exit_flag.compare_exchange_weak(current, value)) {
    }
}

void signal_handler(int sig)
{
    switch (sig) {
    case SIGTERM:
    case SIGHUP:
        request_stop(1);
        note_signal(sig);
        break;
    case SIGINT:
        request_stop(2);
        note_signal(sig);
        break;
    case SIGUSR1:
        note_signal(sig);
        break;
    default:
        break;
    }
}

int daemon_main(int argc, char** argv)
{
    signal(SIGINT, signal_handler);
    signal(SIGTERM, signal_handler);
    // A write to an output whose reader has gone (the FIFO, standard output, a
    // socket) fails with EPIPE instead; the read loop closes the FIFO itself.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGHUP, signal_handler);
    signal(SIGUSR1, signal_handler);
    signal(SIGUSR2, SIG_IGN);
    signal(SIGALRM, SIG_IGN);
    // Notices of signals that arrive while the process ends through exit().
    atexit(flush_signal_notices);

    startup_settings settings;
    std::string error;
    switch (parse_options(argc, argv, settings, error)) {
    case parse_outcome::usage:
        print_usage(argv);
        exit(0);
    case parse_outcome::version:
        printf("%s\n", QRNGD_VERSION);
        exit(0);
    case parse_outcome::bad_number:
        fprintf(stderr, "%s\n", error.c_str());
        exit(2);
    case parse_outcome::start:
        break;
    }

    if (settings.log_stdout) {
        log_stdout = 1;
        // One line at a time, also into a pipe or a file: a log collector sees each
        // line as it happens, and a killed daemon loses none.
        setvbuf(stdout, nullptr, _IOLBF, 0);
    }
    apply_verbosity(settings.verbosity);
    openlog("QRNG Daemon", LOG_PID | LOG_CONS | LOG_NDELAY, LOG_LOCAL1);
    if (!settings.period_warning.empty())
        log_message(LEVEL_WARN, "%s\n", settings.period_warning.c_str());

    qrng_handler::make_fifo(settings.pipe_path);

    std::string lock_path = "/var/lock/qrng_" + settings.prefix + ".lock";
    std::string lock_problem;
    int lock_fd = open_lock_file(lock_path, lock_problem);
    if (lock_fd < 0) {
        log_message(LEVEL_ERROR, "Cannot open lock file\n");
        log_message(LEVEL_ERROR, "Lock file %s %s\n", lock_path.c_str(), lock_problem.c_str());
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
    engine.set_metrics_path(settings.metrics_path);

    int status = engine.run();
    flush_signal_notices();

    close(lock_fd);
    closelog();
    return status;
}
