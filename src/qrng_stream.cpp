// The engine at work: run(), the primary read loop's passes and the block
// integrity check. Reading, testing and delivering chunks is in qrng_chunks.cpp.
#include "qrng.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <system_error>
#include <unistd.h>

namespace {

// Checksum report: word 0 the block's XOR checksum, word 1 its DDR word address.
constexpr int REG_CHECKSUM_REPORT = 0x6018;
constexpr unsigned long BLOCK_WORDS = 512;
// While -r waits for the start to be judged, passes are this far apart.
constexpr unsigned long START_PENDING_US = 1000;

} // namespace

int qrng_handler::run()
{
    set_mask(qrng_mask_arg);
    set_standby(qrng_standby);
    qrng_num = static_cast<int>(get_qrng_num());
    standby = qrng_standby;
    set_filter(filter_enable);
    set_enable_drbg(enable_drbg_arg);
    set_enable_debug(enable_debug_arg);

    if (thread_period > 1000000)
        log_message(LEVEL_WARN, "Thread period of %u us: the read loop pauses more than a second between chunks\n",
                    thread_period);
    if (qrng_num > 0 && qrng_num < 32 && (qrng_mask_arg & ((1u << qrng_num) - 1)) == 0)
        log_message(LEVEL_WARN, "Chip mask 0x%X selects none of the board's %d chips\n", qrng_mask_arg, qrng_num);

    board->print_board();
    board->set_qrng_num(qrng_num);
    board->led_off();

    log_message(LEVEL_INFO, "Warm-up QRNG Chips\n");
    spi_stop();
    delay_us(2000);
    spi_disable();
    delay_us(2000);
    spi_enable();
    board->boot_animation();
    spi_reset();
    delay_us(2000);
    spi_start();
    int64_t started_ns = boottime_ns();
    delay_us(2000);
    int working = board->boot_check(strict_mode, qrng_rate_threshold);

    qrng_set_mode(entropy_source);

    unsigned long boot_rate = board->boot_rate();
    uint64_t mask = 0;
    std::string failed;
    for (int i = 0; i < qrng_num; i++) {
        if (chip_ratio(boot_rate, i) > qrng_rate_threshold)
            mask |= 1ULL << i;
        else if (failed.size() < 200)
            failed += (failed.empty() ? "" : ", ") + std::to_string(i + 1);
    }
    counters.working_mask.store(mask);
    counters.chips_working.store(working);
    counters.last_rate.store(boot_rate);
    if (strict_mode && working != qrng_num) {
        log_message(LEVEL_ERROR, "Only %d/%d QRNG Chips are available - aborting\n", working, qrng_num);
        reports.write_metrics(report(), false);
        return 4;
    }
    // A stop during the warm-up cuts the check short: its count says nothing then.
    if (working < qrng_num && exit_flag.load() <= 0)
        log_message(LEVEL_WARN, "%d/%d QRNG chips passed the start-up check; not working: %s\n", working, qrng_num,
                    failed.c_str());

    cycle_count.store(0);
    ddr_addr.store(0);
    last_ddr_addr = 0;

    // With -D the health tests' failures are only reported.
    health = board_health(!enable_debug_arg);
    reports.start(monotonic_ns());
    counters.loop_alive_ns.store(monotonic_ns(), std::memory_order_relaxed);
    rearm_stopped_waits();
    std::thread monitor;
    try {
        monitor = std::thread(&qrng_handler::throughput_compute, this);
    } catch (const std::system_error&) {
        log_message(LEVEL_ERROR, "Cannot start the throughput thread - aborting\n");
        return stop_sequence(1, nullptr);
    }
    // READY=1 once the start-up test has judged the board's output; with -o
    // nothing is read, so nothing is tested.
    if (read_only) {
        counters.output_state.store(1);
        reports.ready(report());
    }

    loop_state s;
    s.pause_us = thread_period;
    s.cursor.start(new_randomness, started_ns);
    int code = 0;
    while (stream_pass(s, code)) {
    }
    return stop_sequence(code, &monitor);
}

bool qrng_handler::track(loop_state& s)
{
    int64_t before = boottime_ns();
    uint32_t address = ddr_address();
    int64_t after = boottime_ns();
    switch (s.cursor.observe(address, before, after)) {
    case read_cursor::event::none:
        return true;
    case read_cursor::event::restarted:
        log_message(LEVEL_WARN, "The board's write address jumped further ahead than its rate allows (did the "
                                "board restart its ring?); reading goes on at its current position\n");
        return true;
    case read_cursor::event::desync:
        return false;
    }
    return false;
}

void qrng_handler::wait_tracked(loop_state& s, unsigned long us)
{
    // A long wait is cut into slices, each followed by a sample, so that a daemon
    // that waits (for data, for room, for its period) never loses the lap count.
    while (us > 0 && !s.cursor.desync && exit_flag.load() <= 0) {
        unsigned long slice =
            read_only ? us : static_cast<unsigned long>(s.cursor.board.sample_interval_ns() / 1000);
        unsigned long step = slice > 0 && slice < us ? slice : us;
        delay_us(step);
        us -= step;
        counters.loop_alive_ns.store(monotonic_ns(), std::memory_order_relaxed);
        if (us > 0 && !read_only)
            track(s);
    }
}

bool qrng_handler::stream_pass(loop_state& s, int& code)
{
    if (s.pause_us > 0)
        wait_tracked(s, s.pause_us);
    else
        flush_signal_notices();
    s.pause_us = thread_period;
    int64_t loop_now = monotonic_ns();
    counters.loop_alive_ns.store(loop_now, std::memory_order_relaxed);
    read_cursor& c = s.cursor;

    int flag = exit_flag.load();
    if (flag > 0) {
        code = s.stop_code >= 0 ? s.stop_code : flag == 1 ? 0 : 1;
        notify_stopping();
        return false;
    }
    if (read_only)
        return true;

    // Without a reader nothing is read from the board: the pass only tries the
    // open again, less often each time up to a bound. The write position is not
    // followed meanwhile; when a reader comes the loop finds it again. While the
    // board's output is not trusted its chunks are tested, reader or not. A desync
    // seen while waiting ends the run whether or not a reader is there.
    const bool testing = !health.delivering();
    int fd = c.desync ? -1 : open_pipe();
    if (fd != -1) {
        output.check_path(loop_now);
        s.idle.reset();
    } else if (s.pending_at < s.pending_end) {
        // The reader left before the rest of its chunk went out.
        counters.refused_chunks.fetch_add(1, std::memory_order_relaxed);
        s.pending_at = s.pending_end = 0;
    }
    if (fd == -1 && !c.desync && !testing) {
        if (checksum_check)
            validate_checksum(static_cast<uint32_t>(c.board.position % MAX_DDR_ADDRESS));
        s.pause_us = std::max(s.idle.next(), static_cast<unsigned long>(thread_period));
        return true;
    }

    if (c.desync || !track(s)) {
        counters.stop_reason.store("desync");
        log_message(LEVEL_ERROR,
                    "Internal Error - Desync in DDR Real versus FPGA DDR Write - Streaming interrupted!\n");
        code = 5;
        exit_flag.store(3);
        notify_stopping();
        return false;
    }
    if (c.start_pending) {
        s.pause_us = std::max<unsigned long>(thread_period, START_PENDING_US);
        return true;
    }
    if (testing) {
        test_pass(fd, s, loop_now);
        return true;
    }
    if (s.pending_at < s.pending_end) {
        write_pending(fd, s, output_room(fd, s));
        return true;
    }

    // With -r, and without it until the board has written its first lap, only
    // words the board has written and not yet overwritten are read. Once the
    // board has wrapped, a daemon without -r reads the ring on regardless.
    const bool fresh_only = new_randomness || cycle_count.load() == 0;
    if (fresh_only) {
        chunk_t state = check_chunk(c.read_pos, CHUNK_WORDS, c.board.position);
        if (state == chunk_t::overrun && new_randomness) {
            // The board has come round to the read position: the words from half a
            // ring behind it are written, undelivered, and safe from overwriting
            // for another half ring.
            c.read_pos = chunk_boundary(c.board.position - MAX_DDR_ADDRESS / 2);
            state = check_chunk(c.read_pos, CHUNK_WORDS, c.board.position);
        }
        if (state == chunk_t::short_of_data) {
            if (backup_source.empty())
                s.pause_us = pause_for_data(c.board, c.read_pos, thread_period);
            else
                deliver_backup(fd, s);
            return true;
        }
    } else if (!s.warned_repeat && c.board.position < c.read_pos + CHUNK_WORDS) {
        s.warned_repeat = true;
        log_message(LEVEL_WARN, "The stream now repeats data delivered before (the board's ring has wrapped); "
                                "-r delivers each word only once\n");
    }

    if (checksum_check)
        validate_checksum(static_cast<uint32_t>(c.board.position % MAX_DDR_ADDRESS));
    // Room first: nothing is read from the board for a FIFO that is full or whose
    // reader has gone. What the room does not take of the chunk waits for it.
    uint64_t before = c.read_pos;
    uint32_t room = output_room(fd, s);
    if (room == 0 || c.desync || c.read_pos != before)
        return true;
    if (read_chunk(s)) {
        s.pending_at = 0;
        s.pending_end = MAX_DATA_READ;
        write_pending(fd, s, room);
    }
    // When the next chunk is not written yet, the pause before the next pass is
    // the wait for it: one wake-up per chunk while data flows. (With a backup
    // source the next pass delivers from it instead of waiting.)
    if (fresh_only && backup_source.empty() && s.pending_at == s.pending_end &&
        check_chunk(c.read_pos, CHUNK_WORDS, c.board.position) == chunk_t::short_of_data)
        s.pause_us = std::max(s.pause_us, pause_for_data(c.board, c.read_pos, thread_period));
    return true;
}

int qrng_handler::stop_sequence(int code, std::thread* monitor)
{
    if (monitor && monitor->joinable())
        monitor->join();
    close_pipe();
    spi_stop();
    spi_disable();
    reports.write_metrics(report(), false);
    return code;
}

unsigned int qrng_handler::block_checksum(unsigned int* data, unsigned long count)
{
    unsigned int sum = 0;
    for (unsigned long i = 0; i < count; i++)
        sum ^= data[i];
    return sum;
}

void qrng_handler::validate_checksum(unsigned int)
{
    static uint32_t last_ptr = 0xFFFFFFFF;
    static unsigned int bram_buffer[BLOCK_WORDS];

    // The two words are separate 32-bit reads: the board may publish its next
    // block between them, pairing one block's checksum with another's address.
    // The pair is used only when a second read gives the same; otherwise this
    // report is skipped (and taken again on the next pass if it stays).
    unsigned int report[2] = {0, 0};
    unsigned int again[2] = {0, 0};
    xdma.read_register(REG_CHECKSUM_REPORT, report, 2);
    xdma.read_register(REG_CHECKSUM_REPORT, again, 2);
    if (report[0] != again[0] || report[1] != again[1]) {
        counters.checksum_skipped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    unsigned int checksum = report[0];
    unsigned int address = report[1];
    if (address == last_ptr)
        return;
    last_ptr = address;

    uint32_t previous_address = 0;
    unsigned long count = checksums.add(checksum, address, previous_address);
    if (count >= checksum_window::report_at) {
        counters.checksum_duplicates.fetch_add(1, std::memory_order_relaxed);
        log_message(LEVEL_WARN, "Duplicated checksum 0x%X on 0x%X, saw %lu times, last one on 0x%X\n", checksum,
                    address, count, previous_address);
    }

    ssize_t got = xdma.read_memory(bram_buffer, sizeof bram_buffer, static_cast<unsigned long>(address) * 4);
    if (got != static_cast<ssize_t>(sizeof bram_buffer)) {
        log_message(LEVEL_ERROR, "Error on reading data from device\n");
        return;
    }
    unsigned int software = block_checksum(bram_buffer, BLOCK_WORDS);
    if (software != checksum) {
        counters.checksum_mismatches.fetch_add(1, std::memory_order_relaxed);
        log_message(LEVEL_WARN, "Corrupted data on transaction on 0x%X. FPGA checksum 0x%x differs from software 0x%x.\n",
                    address, checksum, software);
    }
}

