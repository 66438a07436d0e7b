// qrng-bench-consumer: a reader of the daemon's FIFO for the benchmarks, the
// stress test and the soak test. By default it reads as fast as it can and counts
// the bytes; options make it follow the simulated board's trace, copy the stream
// to standard output, read at a pace, measure over a window, or time the first
// byte.
//
//   qrng-bench-consumer FIFO [options]
//     --trace FILE      follow the board's trace (QRNG_SIM_TRACE): the board's
//                       position is the sum of the advances of the DDR write
//                       address over all its reads (R 6008, made by both of the
//                       daemon's threads; a wrap adds 0x4000000 words); at every
//                       read of the status word (R 600C, one per monitor compute
//                       pass) note the time, the bytes received so far and that
//                       position
//     --pid PID         also note PID's processor time (all its threads) with each
//                       monitor pass and over the window
//     --window W D      measure from the first read at least W s after the first
//                       byte to the first read at least D s later: bytes, seconds,
//                       MiB/s and (with --pid) PID's share of one core; then leave
//     --hold            with --window: after the window keep the FIFO open without
//                       reading until SIGTERM, then report the bytes left unread in
//                       it (unread=)
//     --out             copy the stream to standard output, whole 32-bit words only
//     --limit N         leave after N bytes
//     --seconds S       leave S seconds after the first byte
//     --read-size N     bytes asked for by each read (default 1 MiB)
//     --random-reads SEED  each read asks for a random size of 1 byte to the read size
//     --rate BPS        read at most BPS bytes per second on average
//     --block N         read in blocks of exactly N bytes (several reads if need be),
//     --every MS        ... one block every MS milliseconds, or
//     --pause MS        ... pausing MS milliseconds after each block
//   qrng-bench-consumer FIFO --first-byte N
//                       N times: open the FIFO for reading, time until the first
//                       byte arrives, close it and wait 0.3 to 0.6 s; prints each
//                       latency and the median, in milliseconds
//   qrng-bench-consumer --cpu PID W D
//                       no FIFO: PID's share of one core over D s, starting W s from now
//
// It stops at end of file (the daemon closed the FIFO), at SIGTERM or SIGINT, or
// at the limits above, and prints its summary on standard error as key=value lines.
// Processor time is the sum over /proc/PID/task/*/schedstat (nanoseconds on a CPU).
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <random>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t MAX_READ = 1 << 20;
constexpr uint32_t RING_WORDS = 0x4000000;

std::atomic<int> stop_signal{0};
std::atomic<uint64_t> received{0};

void on_signal(int sig) { stop_signal.store(sig); }

double now_s()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Sleeps `seconds`; a signal cuts it short.
void sleep_s(double seconds)
{
    if (seconds <= 0)
        return;
    timespec ts{static_cast<time_t>(seconds), static_cast<long>((seconds - static_cast<double>(static_cast<time_t>(seconds))) * 1e9)};
    nanosleep(&ts, nullptr);
}

// Processor time of all threads of a process, in seconds, or -1.
double cpu_seconds(pid_t pid)
{
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (!d)
        return -1;
    unsigned long long total = 0;
    bool any = false;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        FILE* f = fopen((dir + "/" + e->d_name + "/schedstat").c_str(), "r");
        if (!f)
            continue; // a thread that has just ended
        unsigned long long ns = 0;
        if (fscanf(f, "%llu", &ns) == 1) {
            total += ns;
            any = true;
        }
        fclose(f);
    }
    closedir(d);
    return any ? static_cast<double>(total) / 1e9 : -1;
}

// Share of one core, in percent, from two processor times; -1 when unknown.
double share(double cpu0, double cpu1, double seconds)
{
    return cpu0 >= 0 && cpu1 >= 0 && seconds > 0 ? 100.0 * (cpu1 - cpu0) / seconds : -1;
}

struct pass_t {
    double time;
    uint64_t bytes;
    uint64_t position; // board words written since the trace's first address read
    double cpu;
};

// Reads the new complete lines of a growing trace file and keeps the board's
// position from its reads of the write address.
class trace_reader {
public:
    explicit trace_reader(const std::string& path) : fd(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~trace_reader()
    {
        if (fd >= 0)
            close(fd);
    }
    bool ok() const { return fd >= 0; }
    uint64_t wraps = 0;

    // Calls on_pass(position) for every new monitor pass (R 600C).
    template <class F> void poll(F on_pass)
    {
        char buf[1 << 16];
        for (;;) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            pending.append(buf, static_cast<size_t>(n));
        }
        size_t start = 0;
        for (;;) {
            size_t nl = pending.find('\n', start);
            if (nl == std::string::npos)
                break;
            if (nl - start >= 15 && pending.compare(start, 7, "R 6008 ") == 0) {
                uint32_t a = static_cast<uint32_t>(strtoul(pending.c_str() + start + 7, nullptr, 16));
                if (seen) {
                    position += (a - address) & (RING_WORDS - 1);
                    if (a < address)
                        wraps++;
                }
                seen = true;
                address = a;
            } else if (nl - start >= 15 && pending.compare(start, 7, "R 600C ") == 0) {
                on_pass(position);
            }
            start = nl + 1;
        }
        pending.erase(0, start);
    }

private:
    int fd;
    std::string pending;
    bool seen = false;
    uint32_t address = 0;
    uint64_t position = 0;
};

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

void install_signals()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal; // no SA_RESTART: a blocked open or read returns EINTR
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGALRM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int cpu_window(pid_t pid, double wait, double len)
{
    sleep_s(wait);
    double c0 = cpu_seconds(pid), t0 = now_s();
    sleep_s(len);
    double c1 = cpu_seconds(pid), t1 = now_s();
    fprintf(stderr, "window_seconds=%.3f\n", t1 - t0);
    if (stop_signal.load() == 0 && share(c0, c1, t1 - t0) >= 0)
        fprintf(stderr, "window_cpu_share=%.4f\n", share(c0, c1, t1 - t0));
    return 0;
}

int first_byte(const char* fifo, int attempts)
{
    std::vector<double> ms;
    std::mt19937_64 rng(static_cast<uint64_t>(getpid()));
    static unsigned char buf[65536];
    for (int i = 0; i < attempts && stop_signal.load() == 0; i++) {
        sleep_s(0.3 + 0.3 * static_cast<double>(rng() % 1000) / 1000.0);
        alarm(10); // a daemon that never answers ends the measurement
        double t0 = now_s();
        int fd = open(fifo, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            fprintf(stderr, "open %s: %s\n", fifo, strerror(errno));
            break;
        }
        ssize_t n = read(fd, buf, sizeof buf);
        double t1 = now_s();
        alarm(0);
        close(fd);
        if (n <= 0) {
            fprintf(stderr, "no byte on attempt %d\n", i + 1);
            break;
        }
        ms.push_back((t1 - t0) * 1000.0);
    }
    fprintf(stderr, "latencies_ms=");
    for (size_t i = 0; i < ms.size(); i++)
        fprintf(stderr, "%s%.2f", i ? " " : "", ms[i]);
    fprintf(stderr, "\nattempts=%zu\n", ms.size());
    if (static_cast<int>(ms.size()) != attempts)
        return 1;
    std::vector<double> sorted = ms;
    std::sort(sorted.begin(), sorted.end());
    size_t n = sorted.size();
    double median = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    fprintf(stderr, "median_ms=%.2f\nmax_ms=%.2f\n", median, sorted.back());
    return 0;
}

int usage(const char* argv0)
{
    fprintf(stderr,
            "usage: %s FIFO [--trace FILE] [--pid PID] [--window W D [--hold]] [--out] [--limit N]\n"
            "          [--seconds S] [--read-size N] [--random-reads SEED] [--rate BPS]\n"
            "          [--block N (--every MS | --pause MS)]\n"
            "       %s FIFO --first-byte N\n"
            "       %s --cpu PID W D\n",
            argv0, argv0, argv0);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    install_signals();
    if (argc == 5 && strcmp(argv[1], "--cpu") == 0)
        return cpu_window(static_cast<pid_t>(atoi(argv[2])), atof(argv[3]), atof(argv[4]));
    if (argc < 2 || argv[1][0] == '-')
        return usage(argv[0]);
    const char* fifo = argv[1];
    if (argc == 4 && strcmp(argv[2], "--first-byte") == 0)
        return first_byte(fifo, atoi(argv[3]));
    std::string trace_path;
    pid_t pid = 0;
    double window_wait = -1, window_len = 0;
    bool hold = false;
    bool out = false;
    uint64_t limit = 0;
    double seconds = 0;
    size_t read_size = MAX_READ;
    bool random_reads = false;
    uint64_t seed = 0;
    double rate = 0;
    size_t block = 0;
    double every = 0, pause = 0;
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
        } else if (a == "--hold")
            hold = true;
        else if (a == "--out")
            out = true;
        else if (a == "--limit" && more)
            limit = strtoull(argv[++i], nullptr, 10);
        else if (a == "--seconds" && more)
            seconds = atof(argv[++i]);
        else if (a == "--read-size" && more)
            read_size = std::min<size_t>(std::max<size_t>(strtoull(argv[++i], nullptr, 10), 1), MAX_READ);
        else if (a == "--random-reads" && more) {
            random_reads = true;
            seed = strtoull(argv[++i], nullptr, 10);
        } else if (a == "--rate" && more)
            rate = atof(argv[++i]);
        else if (a == "--block" && more)
            block = strtoull(argv[++i], nullptr, 10);
        else if (a == "--every" && more)
            every = atof(argv[++i]) / 1000.0;
        else if (a == "--pause" && more)
            pause = atof(argv[++i]) / 1000.0;
        else
            return usage(argv[0]);
    }

    // The trace exists before the daemon starts; the FIFO appears when it does.
    std::vector<pass_t> passes;
    std::atomic<bool> watching{!trace_path.empty()};
    std::thread watcher;
    auto reader = std::make_shared<trace_reader>(trace_path);
    if (!trace_path.empty()) {
        if (!reader->ok()) {
            fprintf(stderr, "cannot open %s: %s\n", trace_path.c_str(), strerror(errno));
            return 2;
        }
        passes.reserve(1 << 16);
        watcher = std::thread([&passes, &watching, reader, pid]() {
            while (watching.load()) {
                reader->poll([&](uint64_t position) {
                    passes.push_back(pass_t{now_s(), received.load(), position, pid > 0 ? cpu_seconds(pid) : -1});
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

    static unsigned char buf[MAX_READ + 4];
    size_t carry = 0; // bytes of a partial word held back (--out)
    size_t block_got = 0;
    double next_block = 0;
    std::mt19937_64 rng(seed);
    double first = 0, window_start = 0, window_cpu = -1;
    uint64_t window_bytes_start = 0;
    bool window_open = false, window_done = false;
    bool stdout_gone = false;
    const char* end_reason = "signal";
    while (fd >= 0 && stop_signal.load() == 0) {
        size_t want = random_reads ? 1 + static_cast<size_t>(rng() % read_size) : read_size;
        if (block > 0)
            want = std::min(want, block - block_got);
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
            first = next_block = t;
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
                window_cpu = pid > 0 ? cpu_seconds(pid) : -1;
            } else if (window_open && t - window_start >= window_len) {
                double cpu_end = pid > 0 ? cpu_seconds(pid) : -1;
                double len = t - window_start;
                uint64_t bytes = total - window_bytes_start;
                fprintf(stderr, "window_bytes=%" PRIu64 "\nwindow_seconds=%.6f\nwindow_mib_s=%.4f\n", bytes, len,
                        static_cast<double>(bytes) / 1048576.0 / len);
                if (share(window_cpu, cpu_end, len) >= 0)
                    fprintf(stderr, "window_cpu_share=%.4f\n", share(window_cpu, cpu_end, len));
                end_reason = "window";
                window_done = true;
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
        if (rate > 0)
            sleep_s(first + static_cast<double>(total) / rate - now_s());
        if (block > 0 && (block_got += static_cast<size_t>(n)) >= block) {
            block_got = 0;
            if (every > 0) {
                // A block that came late starts the schedule afresh rather than
                // reading several blocks back to back to catch up.
                next_block = std::max(next_block + every, now_s());
                sleep_s(next_block - now_s());
            } else {
                sleep_s(pause);
            }
        }
    }
    if (fd >= 0 && hold && window_done) {
        // Leave the bytes in the FIFO until told to go; then count them.
        while (stop_signal.load() == 0)
            sleep_s(0.05);
        int unread = 0;
        if (ioctl(fd, FIONREAD, &unread) != 0)
            unread = -1;
        fprintf(stderr, "unread=%d\n", unread);
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
        // Window: from the second monitor pass (the first one follows the start-up,
        // before a consumer can have caught up) to the last one seen.
        fprintf(stderr, "passes=%zu\n", passes.size());
        if (passes.size() >= 3) {
            const pass_t& a = passes[1];
            const pass_t& b = passes.back();
            double cadence = (b.time - passes[0].time) / static_cast<double>(passes.size() - 1);
            fprintf(stderr,
                    "window_seconds=%.6f\nboard_bytes=%" PRIu64 "\nconsumer_bytes=%" PRIu64 "\nwraps=%" PRIu64
                    "\ncadence_s=%.6f\n",
                    b.time - a.time, (b.position - a.position) * 4, b.bytes - a.bytes, reader->wraps, cadence);
            if (a.cpu >= 0 && b.cpu >= 0)
                fprintf(stderr, "cpu_seconds=%.4f\n", b.cpu - a.cpu);
        }
    }
    return 0;
}
