// The read loop's chunks: reading a whole chunk from the board, testing it,
// writing a tested chunk into the FIFO as the room allows, the backup source, and
// the passes that only test while the board's output is not trusted.
#include "qrng.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Failing reads of the backup source tolerated within one pass.
constexpr int BACKUP_READ_TRIES = 16;
// How long reads that complete a short DMA read of a chunk may go on, while each
// brings something.
constexpr int64_t SHORT_READS_NS = 100000000;
// Stale DMA reads: marks written into each page of the buffer before a read; a
// mark still there after a read that reported success means no transfer there.
constexpr size_t CANARY_PAGE_WORDS = 4096 / 8;
// The longest wait for room in a full FIFO.
constexpr int64_t ROOM_WAIT_MS = 1000;
// While the board's output is unhealthy, one fresh chunk is tested this often.
constexpr int64_t UNHEALTHY_TEST_NS = 100000000;

// The read loop's chunks from the board, tested before any byte of them is
// written (one held back until its successor has passed, one read), and the
// backup source's buffer. Static, so the loop allocates nothing.
alignas(64) uint64_t chunk_buffers[2][MAX_DATA_READ / 8];
unsigned char backup_buffer[MAX_DATA_READ];

// A fresh 64-bit mark for each read (xorshift64*).
uint64_t next_canary(uint64_t& state)
{
    if (state == 0)
        state = static_cast<uint64_t>(monotonic_ns()) | 1;
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1DULL;
}

// Marks the first and the last word of each page, each with its own value.
void plant_canaries(uint64_t* buffer, uint64_t canary)
{
    for (size_t p = 0; p < MAX_DATA_READ / 8; p += CANARY_PAGE_WORDS) {
        buffer[p] = canary + p;
        buffer[p + CANARY_PAGE_WORDS - 1] = canary - p;
    }
}

bool canary_left(const uint64_t* buffer, uint64_t canary)
{
    for (size_t p = 0; p < MAX_DATA_READ / 8; p += CANARY_PAGE_WORDS)
        if (buffer[p] == canary + p || buffer[p + CANARY_PAGE_WORDS - 1] == canary - p)
            return true;
    return false;
}

uint32_t page_size()
{
    static const uint32_t page = static_cast<uint32_t>(sysconf(_SC_PAGESIZE));
    return page;
}

} // namespace

uint32_t qrng_handler::output_room(int fd, loop_state& s)
{
    fifo_output::room_t r = output.room(fd, true);
    if (r.wait_ns > 0) {
        // The reader has plenty to read: wait for it at its pace (sampling as any
        // wait). The wait counts towards the pause before the next pass, so that a
        // reader slower than the board costs one wake-up per chunk, not two.
        unsigned long us = static_cast<unsigned long>(std::min(r.wait_ns, s.cursor.board.sample_interval_ns()) / 1000);
        wait_tracked(s, us);
        s.pause_us = s.pause_us > us ? s.pause_us - us : 0;
        r = output.room(fd, false);
    }
    if (!r.gone && r.bytes < page_size()) {
        // Full: wait until the reader frees a page, or the reader goes, or a bound
        // passes (a stop request is seen within it, and the lap count is kept).
        int64_t bound_ms = std::min<int64_t>(ROOM_WAIT_MS, s.cursor.board.sample_interval_ns() / 1000000);
        r = output.wait_for_slot(fd, static_cast<int>(bound_ms));
        counters.loop_alive_ns.store(monotonic_ns(), std::memory_order_relaxed);
        if ((r.bytes == 0 && !r.gone) || !track(s))
            return 0;
    }
    if (r.gone) {
        close_pipe();
        s.room_seen = 0;
        return 0;
    }
    s.room_seen = r.bytes;
    // Whole pages where the room allows: the FIFO's slots then stay full, and the
    // room computed from its unread bytes stays exact.
    return r.bytes >= page_size() ? r.bytes - r.bytes % page_size() : r.bytes;
}

bool qrng_handler::deliver(int fd, loop_state& s, const void* data, uint32_t size, bool board_bytes,
                           ssize_t& written)
{
    switch (output.write(fd, data, size, written)) {
    case fifo_output::write_t::written:
        (board_bytes ? counters.bytes_board : counters.bytes_backup)
            .fetch_add(static_cast<uint64_t>(written), std::memory_order_relaxed);
        bytes_written.fetch_add(static_cast<uint64_t>(written), std::memory_order_relaxed);
        return true;
    case fifo_output::write_t::full:
        break;
    case fifo_output::write_t::reader_gone:
        // The next reader gets a FIFO opened afresh; the next pass counts what the
        // one that left did not take.
        close_pipe();
        break;
    case fifo_output::write_t::failing:
        s.pause_us = RETRY_MAX_US;
        break;
    }
    return false;
}

void qrng_handler::write_pending(int fd, loop_state& s, uint32_t room)
{
    uint32_t size = std::min(room, s.pending_end - s.pending_at);
    ssize_t written = 0;
    unsigned char* chunk = reinterpret_cast<unsigned char*>(chunk_buffers[s.pending_buffer]);
    if (size > 0 && deliver(fd, s, chunk + s.pending_at, size, true, written))
        s.pending_at += static_cast<uint32_t>(written);
}

void qrng_handler::hold_back(loop_state& s, chunk_verdict v, uint64_t position)
{
    if (v == chunk_verdict::not_read)
        return;
    bool pass = v == chunk_verdict::deliver;
    // The successor: the next chunk of the board's stream; without -r the next of
    // the ring, which a lost lap count only numbers anew.
    uint64_t next = s.held_pos + CHUNK_WORDS;
    bool successor = next == position || (!new_randomness && next % MAX_DDR_ADDRESS == position % MAX_DDR_ADDRESS);
    if (s.held && pass && successor) {
        s.pending_buffer = s.held_buffer;
        s.pending_at = 0;
        s.pending_end = MAX_DATA_READ;
        s.held = false;
    }
    withhold_held(s);
    if (pass) {
        s.held = true;
        s.held_buffer = 1 - s.held_buffer;
        s.held_pos = position;
    }
}

void qrng_handler::withhold_held(loop_state& s)
{
    if (s.held)
        counters.withheld_bytes.fetch_add(MAX_DATA_READ, std::memory_order_relaxed);
    s.held = false;
}

qrng_handler::chunk_verdict qrng_handler::read_chunk(loop_state& s)
{
    read_cursor& c = s.cursor;
    uint64_t start = c.read_pos;
    uint64_t offset = (start % MAX_DDR_ADDRESS) * 4;
    // The buffer the held chunk is not in (a released chunk is written out before
    // the next read).
    uint64_t* chunk_buffer = chunk_buffers[1 - s.held_buffer];
    unsigned char* buffer = reinterpret_cast<unsigned char*>(chunk_buffer);
    chunk_place where;
    where.board_before = c.board.position;
    uint64_t frame = c.board.frame;
    uint64_t canary = next_canary(s.canary_state);
    plant_canaries(chunk_buffer, canary);
    // A short read is completed by reading the rest, no byte twice, while the
    // reads bring something and for a bounded time.
    int64_t began = monotonic_ns();
    ssize_t got = 0;
    while (got < static_cast<ssize_t>(MAX_DATA_READ)) {
        ssize_t n = xdma.read_memory(buffer + got, MAX_DATA_READ - static_cast<size_t>(got),
                                     offset + static_cast<uint64_t>(got));
        if (n < 0) {
            dma_failed(s, offset + static_cast<uint64_t>(got), MAX_DATA_READ - static_cast<size_t>(got), errno);
            return chunk_verdict::not_read;
        }
        got += n;
        if (got < static_cast<ssize_t>(MAX_DATA_READ) && (n == 0 || monotonic_ns() - began > SHORT_READS_NS))
            break;
    }
    int64_t read_ns = monotonic_ns();
    double took = static_cast<double>(read_ns - began);
    s.dma_read_ns = s.dma_read_ns > 0 ? s.dma_read_ns * 0.875 + took * 0.125 : took;
    s.dma.reset();
    // Where the board is now: it must not have reached the chunk's start a ring
    // later while the read ran (the chunk would then mix two laps), and the health
    // tests need to know what it has written since.
    if (!track(s))
        return chunk_verdict::not_read;
    if (c.read_pos != start && new_randomness)
        return chunk_verdict::not_read; // the count was lost or the ring restarted: the next pass goes on afresh
    start = c.read_pos;
    if (new_randomness && check_chunk(start, 0, c.board.position) == chunk_t::overrun) {
        note_overrun(s);
        return chunk_verdict::not_read; // the next pass restarts at a fresh position
    }
    if (got < static_cast<ssize_t>(MAX_DATA_READ)) {
        // The driver would not give the whole chunk: it is given up.
        c.read_pos = start + CHUNK_WORDS;
        counters.dma_short_chunks.fetch_add(1, std::memory_order_relaxed);
        s.watch.met(stall_cause::short_chunk);
        s.last_short_bytes = static_cast<uint32_t>(got);
        if (!s.warned_short) {
            s.warned_short = true;
            log_message(LEVEL_WARN,
                        "DMA reads of the chunk at 0x%08X stopped at %ld of %u bytes; the chunk is given up\n",
                        static_cast<uint32_t>(start % MAX_DDR_ADDRESS), static_cast<long>(got), MAX_DATA_READ);
        }
        return chunk_verdict::not_read;
    }
    if (canary_left(chunk_buffer, canary)) {
        // The read reported the whole chunk and left the buffer as it was: the
        // transport's fault, not the board's; the chunk is read again.
        counters.dma_failures.fetch_add(1, std::memory_order_relaxed);
        s.watch.met(stall_cause::stale_read);
        if (!s.warned_stale) {
            s.warned_stale = true;
            log_message(LEVEL_WARN,
                        "A DMA read of %u bytes at offset 0x%08lX reported success but transferred nothing; the chunk "
                        "is read again\n",
                        MAX_DATA_READ, static_cast<unsigned long>(offset));
        }
        return chunk_verdict::not_read;
    }
    c.read_pos = start + CHUNK_WORDS;

    uint32_t address = static_cast<uint32_t>(start % MAX_DDR_ADDRESS);
    where.address = address;
    where.position = start;
    where.frame = c.board.frame;
    where.board_after = c.board.position;
    if (c.board.frame != frame)
        where.board_before = 0; // of another frame: nothing is known passed

    board_health::state before = health.now();
    health_verdict v;
    board_health::event e = health.judge(chunk_buffer, where, read_ns, v);
    if (!v.pass) {
        counters.health_failures[static_cast<int>(v.failed)].fetch_add(1, std::memory_order_relaxed);
        log_message(LEVEL_WARN, "Health test %s failed on the chunk at 0x%08X: %s\n", health_test_name(v.failed),
                    address, v.seen.c_str());
    }
    health_event(s, e, v.failed);
    // A chunk goes out only when the board was trusted before it and still is (with
    // -D, failures are only reported and the board stays trusted). What else was
    // read is withheld, but for the chunks of the start-up test that passed.
    bool deliver = before == board_health::state::healthy && health.delivering() && s.stop_code < 0;
    if (!deliver && !(v.pass && before == board_health::state::starting))
        counters.withheld_bytes.fetch_add(MAX_DATA_READ, std::memory_order_relaxed);
    return deliver ? chunk_verdict::deliver : chunk_verdict::withhold;
}

void qrng_handler::dma_failed(loop_state& s, uint64_t offset, size_t size, int err)
{
    counters.dma_failures.fetch_add(1, std::memory_order_relaxed);
    s.watch.met(stall_cause::dma_failure);
    unsigned long failures = 0;
    switch (s.dma_failures.failed(monotonic_ns(), failures)) {
    case failure_window::verdict::report:
        log_message(LEVEL_ERROR, "DMA read of %lu bytes at offset 0x%08lX failed: %s\n", static_cast<unsigned long>(size),
                    static_cast<unsigned long>(offset), strerror(err));
        break;
    case failure_window::verdict::summary:
        log_message(LEVEL_ERROR, "%lu DMA reads failed in the last 10 s\n", failures);
        break;
    case failure_window::verdict::count:
        break;
    }
    // Failing reads are retried less often each time, up to a bound.
    s.pause_us = std::max(s.pause_us, s.dma.next());
}

void qrng_handler::health_event(loop_state& s, board_health::event e, health_test failed)
{
    switch (e) {
    case board_health::event::none:
        return;
    case board_health::event::started:
        counters.output_state.store(1);
        log_message(LEVEL_INFO, "The board's output passed its start-up test; delivery begins\n");
        reports.ready(report());
        return;
    case board_health::event::start_failed:
        if (strict_mode) {
            log_message(LEVEL_ERROR, "The board's output failed its start-up test (%s) - aborting\n",
                        health_test_name(failed));
            counters.stop_reason.store("start-up test failed");
            s.stop_code = 4;
            exit_flag.store(3);
            return;
        }
        counters.output_state.store(2);
        log_message(LEVEL_ERROR, "The board's output failed its health tests and is withheld\n");
        reports.ready(report());
        return;
    case board_health::event::unhealthy:
        counters.output_state.store(2);
        log_message(LEVEL_ERROR, "The board's output failed its health tests and is withheld\n");
        return;
    case board_health::event::healthy_again:
        counters.output_state.store(1);
        log_message(LEVEL_INFO, "The board's output passes its health tests again; delivery resumes\n");
        return;
    case board_health::event::give_up:
        log_message(LEVEL_ERROR, "The board's output stays unhealthy; stopping so that it is started afresh\n");
        counters.stop_reason.store("unhealthy output");
        s.stop_code = 1;
        exit_flag.store(3);
        return;
    }
}

void qrng_handler::test_pass(int fd, loop_state& s, int64_t now)
{
    read_cursor& c = s.cursor;
    if (checksum_check)
        validate_checksum(static_cast<uint32_t>(c.board.position % MAX_DDR_ADDRESS));
    if (health.now() == board_health::state::unhealthy) {
        health_event(s, health.tick(now), health_test::repetition);
        if (s.stop_code >= 0)
            return; // given up: the next pass stops
        if (now - s.tested_ns < UNHEALTHY_TEST_NS) {
            // Between tests the consumer gets the backup source's bytes, if any.
            if (fd != -1 && !backup_source.empty())
                deliver_backup(fd, s);
            else
                s.pause_us = std::max(s.pause_us, static_cast<unsigned long>(UNHEALTHY_TEST_NS - (now - s.tested_ns)) / 1000);
            return;
        }
        // The latest chunk the board has written: what lies before it is given up.
        c.read_pos = newest_chunk(c.board.position, c.read_pos);
    }
    // Chunks are tested as the board writes them, reader or not: one it has
    // overtaken is given up for a fresh one.
    bool skipped = false;
    chunk_t state = c.next(true, skipped);
    if (skipped)
        note_overrun(s);
    if (state != chunk_t::ready) {
        if (fd != -1 && !backup_source.empty())
            deliver_backup(fd, s);
        else
            s.pause_us = pause_for_data(c.board, c.read_pos, thread_period);
        return;
    }
    chunk_verdict v = read_chunk(s);
    hold_back(s, v, c.read_pos - CHUNK_WORDS);
    s.tested_ns = now;
}

void qrng_handler::deliver_backup(int fd, loop_state& s)
{
    uint32_t size = output_room(fd, s);
    if (size == 0)
        return;
    int source = open(backup_source.c_str(), O_RDONLY | O_CLOEXEC);
    if (source < 0)
        return;
    uint32_t got = 0;
    int failures = 0;
    while (got < size && failures < BACKUP_READ_TRIES) {
        ssize_t n = read(source, backup_buffer + got, size - got);
        if (n > 0)
            got += static_cast<uint32_t>(n);
        else if (n == 0)
            break; // end of file: nothing more will come
        else
            failures++;
    }
    close(source);
    ssize_t written = 0;
    if (got > 0)
        deliver(fd, s, backup_buffer, got, false, written);
}
