// qrng-bench-consumer: a fast reader of the daemon's FIFO for the benchmarks and
// the soak test. It reads with large reads and counts the bytes; optionally it
// follows the simulated board's trace to note every monitor pass, copies the
// stream to standard output, reads random sizes, or reads slowly.
//
//   qrng-bench-consumer FIFO [options]
//     --trace FILE      follow the board's trace (QRNG_SIM_TRACE): at every read of
//                       the DDR write address (R 6008, one per monitor pass) note the
//                       time, the bytes received so far and the address
//     --pid PID         with --trace: also note PID's CPU time (user + system)
//     --window W D      count the bytes received from W s after the first byte for
//                       D s, print the rate and leave
//     --out             copy the stream to standard output, whole 32-bit words only
//     --limit N         leave after N bytes
//     --seconds S       leave S seconds after the first byte
//     --random-reads SEED  each read asks for a random size of 1 byte to 1 MiB
//     --rate BPS        read at most BPS bytes per second on average
//   qrng-bench-consumer --laps TRACE
//                       print the number of ring wrap-arounds the trace shows so far
//
// It stops at end of file (the daemon closed the FIFO), at SIGTERM or SIGINT, or
// at the limits above, and prints its summary on standard error as key=value lines.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <random>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t READ_SIZE = 1 << 20;
constexpr uint64_t RING_WORDS = 0x4000000;

std::atomic<int> stop_signal{0};
std::atomic<uint64_t> received{0};

void on_signal(int sig) { stop_signal.store(sig); }

double now_s()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// User + system CPU seconds of a process, or -1.
double cpu_seconds(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* f = fopen(path, "r");
    if (!f)
        return -1;
    char line[1024];
    size_t n = fread(line, 1, sizeof line - 1, f);
    fclose(f);
    line[n] = '\0';
    const char* p = strrchr(line, ')');
    if (!p)
        return -1;
    // Fields after the command: state(3) ... utime(14) stime(15).
    unsigned long long utime = 0, stime = 0;
    if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
        return -1;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct pass_t {
    double time;
    uint64_t bytes;
    uint32_t address;
    double cpu;
};

// Reads the new complete lines of a growing trace file.
class trace_reader {
public:
    explicit trace_reader(const std::string& path) : fd(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~trace_reader()
    {
        if (fd >= 0)
            close(fd);
    }
    bool ok() const { return fd >= 0; }

    // Calls fn(address) for every new "R 6008 XXXXXXXX" line; false at end of data.
    template <class F> bool poll(F fn)
    {
        char buf[1 << 16];
        bool any = false;
        for (;;) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            any = true;
            pending.append(buf, static_cast<size_t>(n));
        }
        size_t start = 0;
        for (;;) {
            size_t nl = pending.find('\n', start);
            if (nl == std::string::npos)
                break;
            if (nl - start >= 15 && pending.compare(start, 7, "R 6008 ") == 0)
                fn(static_cast<uint32_t>(strtoul(pending.c_str() + start + 7, nullptr, 16)));
            start = nl + 1;
        }
        pending.erase(0, start);
        return any;
    }

private:
    int fd;
    std::string pending;
};

int count_laps(const char* path)
{
    trace_reader t(path);
    if (!t.ok()) {
        fprintf(stderr, "cannot open %s: %s\n", path, strerror(errno));
        return 2;
    }
    uint64_t wraps = 0;
    uint32_t previous = 0;
    while (t.poll([&](uint32_t a) {
        if (a < previous)
            wraps++;
        previous = a;
    })) {
    }
    printf("%" PRIu64 "\n", wraps);
    return 0;
}

// Writes all of buf to standard output; false when it is gone.
bool write_all(const unsigned char* buf, size_t n)
{
    while (n > 0) {
        ssize_t w = write(1, buf, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        buf += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

int usage(const char* argv0)
{
    fprintf(stderr,
            "usage: %s FIFO [--trace FILE] [--pid PID] [--window W D] [--out] [--limit N] [--seconds S]\n"
            "          [--random-reads SEED] [--rate BPS]\n"
            "       %s --laps TRACE\n",
            argv0, argv0);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "--laps") == 0)
        return count_laps(argv[2]);
    if (argc < 2 || argv[1][0] == '-')
        return usage(argv[0]);
    const char* fifo = argv[1];
    std::string trace_path;
    pid_t pid = 0;
    double window_wait = -1, window_len = 0;
    bool out = false;
    uint64_t limit = 0;
    double seconds = 0;
    bool random_reads = false;
    uint64_t seed = 0;
    double rate = 0;
    for (int i = 2; i < argc; i++) {
        std::string a = argv[i];
        bool more = i + 1 < argc;
        if (a == "--trace" && more)
            trace_path = argv[++i];
        else if (a == "--pid" && more)
            pid = static_cast<pid_t>(atoi(argv[++i]));
        else if (a == "--window" && i + 2 < argc) {
            window_wait = atof(argv[++i]);
            window_len = atof(argv[++i]);
        } else if (a == "--out")
            out = true;
        else if (a == "--limit" && more)
            limit = strtoull(argv[++i], nullptr, 10);
        else if (a == "--seconds" && more)
            seconds = atof(argv[++i]);
        else if (a == "--random-reads" && more) {
            random_reads = true;
            seed = strtoull(argv[++i], nullptr, 10);
        } else if (a == "--rate" && more)
            rate = atof(argv[++i]);
        else
            return usage(argv[0]);
    }

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal; // no SA_RESTART: a blocked open or read returns EINTR
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // The trace exists before the daemon starts; the FIFO appears when it does.
    std::vector<pass_t> passes;
    std::atomic<bool> watching{!trace_path.empty()};
    std::thread watcher;
    if (!trace_path.empty()) {
        auto reader = std::make_shared<trace_reader>(trace_path);
        if (!reader->ok()) {
            fprintf(stderr, "cannot open %s: %s\n", trace_path.c_str(), strerror(errno));
            return 2;
        }
        passes.reserve(1 << 16);
        watcher = std::thread([&passes, &watching, reader, pid]() {
            while (watching.load()) {
                reader->poll([&](uint32_t a) {
                    pass_t p{now_s(), received.load(), a, pid > 0 ? cpu_seconds(pid) : -1};
                    passes.push_back(p);
                });
                usleep(1000);
            }
        });
    }

    int fd = -1;
    while (fd < 0 && stop_signal.load() == 0) {
        struct stat st;
        if (stat(fifo, &st) != 0) {
            usleep(10000);
            continue;
        }
        fd = open(fifo, O_RDONLY | O_CLOEXEC);
        if (fd < 0 && errno != EINTR) {
            fprintf(stderr, "cannot open %s: %s\n", fifo, strerror(errno));
            return 2;
        }
    }

    static unsigned char buf[READ_SIZE + 4];
    size_t carry = 0; // bytes of a partial word held back (--out)
    std::mt19937_64 rng(seed);
    double first = 0, window_start = 0;
    uint64_t window_bytes_start = 0;
    bool window_open = false;
    bool stdout_gone = false;
    const char* end_reason = "signal";
    while (fd >= 0 && stop_signal.load() == 0) {
        size_t want = random_reads ? 1 + static_cast<size_t>(rng() % READ_SIZE) : READ_SIZE;
        uint64_t got_so_far = received.load();
        if (limit > 0)
            want = static_cast<size_t>(std::min<uint64_t>(want, limit - got_so_far));
        ssize_t n = read(fd, buf + carry, want);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            fprintf(stderr, "read: %s\n", strerror(errno));
            end_reason = "error";
            break;
        }
        if (n == 0) {
            end_reason = "eof";
            break;
        }
        double t = now_s();
        if (got_so_far == 0)
            first = t;
        uint64_t total = received.fetch_add(static_cast<uint64_t>(n)) + static_cast<uint64_t>(n);
        if (out && !stdout_gone) {
            size_t have = carry + static_cast<size_t>(n);
            size_t whole = have / 4 * 4;
            if (!write_all(buf, whole))
                stdout_gone = true;
            carry = have - whole;
            memmove(buf, buf + whole, carry);
        }
        if (window_wait >= 0) {
            if (!window_open && t - first >= window_wait) {
                window_open = true;
                window_start = t;
                window_bytes_start = total;
            } else if (window_open && t - window_start >= window_len) {
                fprintf(stderr, "window_bytes=%" PRIu64 "\nwindow_seconds=%.6f\nwindow_mib_s=%.2f\n",
                        total - window_bytes_start, t - window_start,
                        static_cast<double>(total - window_bytes_start) / 1048576.0 / (t - window_start));
                end_reason = "window";
                break;
            }
        }
        if (limit > 0 && total >= limit) {
            end_reason = "limit";
            break;
        }
        if (seconds > 0 && t - first >= seconds) {
            end_reason = "seconds";
            break;
        }
        if (rate > 0) {
            double due = first + static_cast<double>(total) / rate;
            double ahead = due - now_s();
            if (ahead > 0)
                usleep(static_cast<useconds_t>(ahead * 1e6));
        }
    }
    if (fd >= 0)
        close(fd);
    if (watcher.joinable()) {
        watching.store(false);
        watcher.join();
    }
    fprintf(stderr, "end=%s\nbytes=%" PRIu64 "\nwords_out=%" PRIu64 "\n", end_reason, received.load(),
            out ? (received.load() - carry) / 4 : 0);

    if (!trace_path.empty()) {
        // Window: from the second monitor pass (the first one publishes what the
        // board wrote during the start-up) to the last one seen before the stop.
        fprintf(stderr, "passes=%zu\n", passes.size());
        if (passes.size() >= 3) {
            const pass_t& a = passes[1];
            const pass_t& b = passes.back();
            uint64_t words = 0, wraps = 0, wrap_loss = 0;
            for (size_t i = 2; i < passes.size(); i++) {
                uint32_t p = passes[i - 1].address, q = passes[i].address;
                if (q < p) {
                    wraps++;
                    wrap_loss += RING_WORDS - p;
                    words += RING_WORDS - p + q;
                } else {
                    words += q - p;
                }
            }
            double cadence = (b.time - passes[0].time) / static_cast<double>(passes.size() - 1);
            fprintf(stderr,
                    "window_seconds=%.6f\nboard_bytes=%" PRIu64 "\nconsumer_bytes=%" PRIu64 "\nwraps=%" PRIu64
                    "\nwrap_loss_bytes=%" PRIu64 "\ncadence_s=%.6f\n",
                    b.time - a.time, words * 4, b.bytes - a.bytes, wraps, wrap_loss * 4, cadence);
            if (a.cpu >= 0 && b.cpu >= 0)
                fprintf(stderr, "cpu_seconds=%.3f\n", b.cpu - a.cpu);
        }
    }
    return 0;
}
