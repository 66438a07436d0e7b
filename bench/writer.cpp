// qrng-bench-writer: the reference against which the daemon's peak throughput is
// measured. It does what the daemon's read loop does per pass, minus the board:
// sleep the pass period, open the FIFO write-only and non-blocking while it is
// closed, write one 64 KiB chunk from a static buffer, and start over.
//
//   qrng-bench-writer FIFO PERIOD_US
//
// Runs until SIGTERM or SIGINT. A write the FIFO refuses (full: EAGAIN) is simply
// tried again next pass; a reader that went away (EPIPE) closes the descriptor.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr size_t CHUNK = 65536;
volatile sig_atomic_t stop = 0;

void on_signal(int) { stop = 1; }

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s FIFO PERIOD_US\n", argv[0]);
        return 2;
    }
    const char* path = argv[1];
    unsigned long period = strtoul(argv[2], nullptr, 10);
    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);
    signal(SIGPIPE, SIG_IGN);

    static unsigned char buffer[CHUNK];
    for (size_t i = 0; i < CHUNK; i++)
        buffer[i] = static_cast<unsigned char>(i * 131 + 7);

    int fd = -1;
    unsigned long long written = 0;
    while (!stop) {
        struct timespec ts;
        ts.tv_sec = static_cast<time_t>(period / 1000000);
        ts.tv_nsec = static_cast<long>(period % 1000000) * 1000;
        nanosleep(&ts, nullptr);
        if (fd < 0) {
            fd = open(path, O_WRONLY | O_NONBLOCK);
            if (fd < 0)
                continue;
        }
        ssize_t n = write(fd, buffer, CHUNK);
        if (n > 0) {
            written += static_cast<unsigned long long>(n);
        } else if (n < 0 && errno == EPIPE) {
            close(fd);
            fd = -1;
        }
    }
    if (fd >= 0)
        close(fd);
    printf("written=%llu\n", written);
    return 0;
}
