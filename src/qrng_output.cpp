// The output FIFO: making it, opening it with its checks, its room and writes.
#include "qrng_output.h"

#include "defs.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Distinct causes of output problems: errno values for a failed open, these
// offsets for other steps.
constexpr int OUTPUT_NOT_A_FIFO = -100000;
constexpr int OUTPUT_FOREIGN_FIFO = -100001;
constexpr int OUTPUT_SYMLINK = -100002;
constexpr int OUTPUT_MKFIFO_FAILED = 200000; // + errno
constexpr int OUTPUT_WRITE_FAILED = 300000;  // + errno
// The buffer asked for a FIFO, so that a consumer reading in bursts finds data waiting.
constexpr int FIFO_BUFFER_BYTES = 1 << 20;
// How often an open FIFO's path is looked at.
constexpr int64_t PATH_CHECK_NS = 1000000000;
// While the reader has at least this much to read, the loop waits for room for a
// whole chunk instead of writing each page the reader frees; the first wait, before
// the reader's pace is known, and the shortest.
constexpr long PLENTY_UNREAD = 2 * MAX_DATA_READ;
constexpr int64_t PACE_PROBE_NS = 1000000;
constexpr int64_t MIN_PACE_WAIT_NS = 100000;
// The longest wait for room, as for a full FIFO.
constexpr int64_t MAX_PACE_WAIT_NS = 1000000000;

long page_size()
{
    static const long page = sysconf(_SC_PAGESIZE);
    return page;
}

// Whether the FIFO's reader has gone: the FIFO reports an error then.
bool reader_gone(int fd)
{
    struct pollfd p = {fd, POLLOUT, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP));
}

int unread_bytes(int fd)
{
    int unread = 0;
    return ioctl(fd, FIONREAD, &unread) == 0 ? unread : 0;
}

} // namespace

int fifo_output::make_fifo(const std::string& path)
{
    // Whoever may write to the FIFO may put bytes into the random stream.
    return mkfifo(path.c_str(), 0644);
}

uint32_t fifo_output::slot_room(long capacity, long unread, long page, long partial)
{
    long free_slots = capacity / page - (unread + page - 1) / page - partial;
    if (free_slots <= 0)
        return 0;
    long room = free_slots * page;
    return room > static_cast<long>(MAX_DATA_READ) ? MAX_DATA_READ : static_cast<uint32_t>(room);
}

void fifo_output::problem(int cause, const char* fmt, ...)
{
    if (cause == last_problem)
        return;
    last_problem = cause;
    if (cause == 0)
        return;
    // Sized to the text: a long path must not cut off the reason at the end.
    va_list ap;
    va_start(ap, fmt);
    va_list copy;
    va_copy(copy, ap);
    int len = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string text(len > 0 ? static_cast<size_t>(len) + 1 : 1, '\0');
    vsnprintf(&text[0], text.size(), fmt, ap);
    va_end(ap);
    log_message(LEVEL_ERROR, "%s", text.c_str());
}

int fifo_output::open()
{
    // Never through a symbolic link: one planted in a directory others may write
    // to would send the stream into whatever it names.
    const int flags = O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW;
    int fd = ::open(path.c_str(), flags);
    int err = errno;
    int cause = err;
    if (fd < 0 && err == ENOENT && !path.empty()) {
        if (make_fifo(path) == 0) {
            log_message(LEVEL_WARN, "Output FIFO %s had disappeared; made it again\n", path.c_str());
            fd = ::open(path.c_str(), flags);
            err = cause = errno;
        } else if (errno != EEXIST) {
            err = errno;
            cause = OUTPUT_MKFIFO_FAILED + err;
        }
    }
    if (fd < 0) {
        struct stat st;
        bool is_fifo = lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
        if (err == ENXIO && is_fifo)
            return -1; // a FIFO without a reader yet: the normal wait, nothing to say
        if (err == ELOOP)
            problem(OUTPUT_SYMLINK, "Output %s is a symbolic link; nothing is written through it\n", path.c_str());
        else if (cause != err)
            problem(cause, "Cannot make the output FIFO %s: %s\n", path.c_str(), strerror(err));
        else
            problem(cause, "Cannot open output %s: %s\n", path.c_str(), strerror(err));
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode))) {
        // A regular file at the path would be overwritten from its start and grow without end.
        close(fd);
        problem(OUTPUT_NOT_A_FIFO, "Output %s is not a FIFO or character device; nothing is written to it\n",
                path.c_str());
        return -1;
    }
    if (S_ISFIFO(st.st_mode) && st.st_uid != geteuid()) {
        close(fd);
        problem(OUTPUT_FOREIGN_FIFO,
                "Output FIFO %s belongs to user %u (mode %04o), not to this daemon's user %u: another user "
                "could write into the stream; nothing is written to it\n",
                path.c_str(), static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777),
                static_cast<unsigned>(geteuid()));
        return -1;
    }
    if (S_ISFIFO(st.st_mode) && (st.st_mode & (S_IWGRP | S_IWOTH))) {
        // Changing the mode would not shut out a writer that already has it open.
        close(fd);
        bool made = unlink(path.c_str()) == 0 && make_fifo(path) == 0;
        log_message(LEVEL_WARN, "Output FIFO %s was writable by other users (mode %04o); %s\n", path.c_str(),
                    static_cast<unsigned>(st.st_mode & 07777),
                    made ? "made it again without their write access" : "cannot make it again");
        return -1;
    }
    problem(0, "%s", "");
    // What the system grants is fine; the size is kept, not asked for each pass.
    capacity = -1;
    if (S_ISFIFO(st.st_mode)) {
        fcntl(fd, F_SETPIPE_SZ, FIFO_BUFFER_BYTES);
        capacity = fcntl(fd, F_GETPIPE_SZ);
    }
    partial_slots = 0;
    return fd;
}

void fifo_output::check_path(int64_t now_ns)
{
    if (now_ns - path_checked_ns < PATH_CHECK_NS)
        return;
    // A FIFO removed while a reader has it open still carries the stream to that
    // reader, but no later consumer can find it: make it again at its path.
    path_checked_ns = now_ns;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 && errno == ENOENT && make_fifo(path) == 0)
        log_message(LEVEL_WARN, "Output FIFO %s had disappeared; made it again\n", path.c_str());
}

fifo_output::room_t fifo_output::room(int fd, bool may_wait)
{
    room_t r;
    if (capacity < 0) {
        r.bytes = MAX_DATA_READ; // a character device: no pipe buffer to size the chunk by
        return r;
    }
    if (reader_gone(fd)) {
        r.gone = true;
        return r;
    }
    int unread = unread_bytes(fd);
    if (unread == 0)
        partial_slots = 0;
    if (!may_wait && paced_ns > 0) {
        int64_t now = monotonic_ns();
        reader_bytes_per_ns = static_cast<double>(paced_unread - unread) / static_cast<double>(now - paced_ns);
        paced_ns = 0;
    }
    r.bytes = slot_room(capacity, unread, page_size(), partial_slots);
    if (may_wait && r.bytes < MAX_DATA_READ && unread >= PLENTY_UNREAD) {
        // The reader has enough to read: wait, at its pace, until it has made room
        // for a chunk, rather than take every page it frees (a reader of small
        // blocks would cost a pass per page).
        int64_t wait = reader_bytes_per_ns > 0
                           ? static_cast<int64_t>((MAX_DATA_READ - r.bytes) / reader_bytes_per_ns)
                           : PACE_PROBE_NS;
        r.wait_ns = std::max(MIN_PACE_WAIT_NS, std::min(wait, MAX_PACE_WAIT_NS));
        paced_unread = unread;
        paced_ns = monotonic_ns();
    }
    return r;
}

fifo_output::room_t fifo_output::wait_for_slot(int fd, int bound_ms)
{
    room_t r;
    struct pollfd p = {fd, POLLOUT, 0};
    if (poll(&p, 1, std::max(bound_ms, 1)) <= 0)
        return r;
    if (p.revents & (POLLERR | POLLHUP)) {
        r.gone = true;
        return r;
    }
    int unread = unread_bytes(fd);
    if (unread == 0)
        partial_slots = 0;
    // Poll reports a free slot, which takes at least a page.
    r.bytes = std::max<uint32_t>(slot_room(capacity, unread, page_size(), partial_slots),
                                 static_cast<uint32_t>(page_size()));
    return r;
}

fifo_output::write_t fifo_output::write(int fd, const void* data, size_t size, ssize_t& written)
{
    written = ::write(fd, data, size);
    if (written > 0) {
        if (written % page_size() != 0)
            partial_slots++;
        return write_t::written;
    }
    int err = errno;
    if (size == 0 || err == EAGAIN || err == EWOULDBLOCK)
        return write_t::full;
    if (err == EPIPE)
        return write_t::reader_gone;
    problem(OUTPUT_WRITE_FAILED + err, "Writing to %s failed: %s\n", path.c_str(), strerror(err));
    return write_t::failing;
}
