// The daemon's output: making the FIFO, opening it (never through a symbolic
// link, never blocking; only a FIFO of the daemon's user that no one else may
// write to, or a character device the path names directly), making it again when
// it has gone, the room in it, writes, and the reports of output problems, once
// per distinct cause.
//
// Threads: the read loop's (main) thread only. The descriptor is the engine's:
// open() returns it and the engine keeps and closes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

class fifo_output {
public:
    explicit fifo_output(std::string path) : path(std::move(path)) {}

    // Creates the FIFO: mode 0666 less the umask, never writable by group or others.
    static int make_fifo(const std::string& path);
    // Bytes a FIFO of `capacity` bytes holding `unread` bytes takes without
    // refusing, at most one chunk. A FIFO holds its data in page-sized slots: the
    // loop writes whole pages, so the unread bytes fill ceil(unread / page) slots,
    // and each of `partial` writes of another size may have left one slot more
    // partly filled.
    static uint32_t slot_room(long capacity, long unread, long page, long partial);

    // Opens the output for writing without blocking; the descriptor, or -1 (no
    // reader yet, or a problem, which is reported once per cause). room() and
    // wait_for_slot() are about the descriptor it last returned.
    int open();
    // While it is open: makes the FIFO again, at most once a second, when it has
    // been removed from its path (a later reader could not find it).
    void check_path(int64_t now_ns);

    // What the output can take now.
    struct room_t {
        uint32_t bytes = 0;       // whole pages, at most a chunk (a chunk for a character device)
        bool gone = false;        // the reader has gone: close the FIFO
        int64_t wait_ns = 0;      // the reader has plenty to read: ask again after this wait
    };
    // With `may_wait`, a reader that has plenty to read gets a wait at its pace
    // until there is room for a whole chunk; the next call, without it, measures
    // that pace.
    room_t room(int fd, bool may_wait);
    // Waits at most bound_ms for the reader to free a slot; gone when it left.
    room_t wait_for_slot(int fd, int bound_ms);

    // What a write did.
    enum class write_t { written, full, reader_gone, failing };
    // Writes `size` bytes; `written` holds what the output took. A failure other
    // than a full FIFO or a reader that went away is reported once per cause.
    write_t write(int fd, const void* data, size_t size, ssize_t& written);

private:
    // Reports a problem once per distinct cause (0 clears it).
    void problem(int cause, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

    std::string path;
    int capacity = -1;              // the open FIFO's buffer in bytes; -1 for a character device
    int last_problem = 0;
    int64_t path_checked_ns = 0;
    long partial_slots = 0;         // writes of no whole number of pages since the FIFO was last empty
    double reader_bytes_per_ns = 0; // the reader's pace, last measured
    int paced_unread = 0;           // the unread bytes, and when, before a wait at that pace
    int64_t paced_ns = 0;
};
