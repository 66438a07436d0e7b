// The engine at work: run(), the primary read loop's passes and the block
// integrity check. Reading, testing and delivering chunks is in qrng_chunks.cpp.
#include "qrng.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/prctl.h>
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
    // The board's write position is followed from spi_start on, through the boot
    // check: the first sample, right after it, tells a pointer reset to 0 from one
    // that resumed where it stood (whose ring holds an earlier run's words below
    // it), and the samples after it keep the lap count.
    loop_state s;
    s.pause_us = thread_period;
    // With -o the loop only sleeps its period: nothing it does needs a punctual wake-up.
    set_timer_slack(s, read_only ? TIMER_SLACK_IDLE_NS : TIMER_SLACK_BUSY_NS);
    s.cursor.start(new_randomness, boottime_ns());
    spi_start();
    if (!read_only)
        track(s);
    board->set_wait_func([this, &s](unsigned long us) { wait_tracked(s, us); });
    wait_tracked(s, 2000);
    int working = board->boot_check(strict_mode, qrng_rate_threshold);
    board->set_wait_func(nullptr);

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

    int code = 0;
    while (stream_pass(s, code)) {
    }
    withhold_held(s);
    return stop_sequence(code, &monitor);
}

bool qrng_handler::track(loop_state& s)
{
    int64_t before = boottime_ns();
    uint32_t address = ddr_address();
    int64_t after = boottime_ns();
    read_cursor& c = s.cursor;
    read_cursor::event e = c.observe(address, before, after);
    if (!s.warned_fast && c.board.rate_known && c.board.rate_mib() > MAX_TRACKED_MIB_S) {
        s.warned_fast = true;
        log_message(LEVEL_ERROR,
                    "The board writes %.1f GiB/s, faster than the daemon can follow its write address (at most "
                    "%.0f GiB/s): its ring wraps between two looks, and what is read from it cannot be trusted to be "
                    "fresh\n",
                    static_cast<double>(c.board.rate_mib()) / 1024, static_cast<double>(MAX_TRACKED_MIB_S) / 1024);
    }
    switch (e) {
    case read_cursor::event::none:
    case read_cursor::event::lost:
        return true;
    case read_cursor::event::restarted:
        s.watch.met(stall_cause::implausible);
        log_message(LEVEL_WARN, "The board's write address jumped further ahead than its rate allows (did the "
                                "board restart its ring?); reading goes on at its current position\n");
        return true;
    case read_cursor::event::desync:
        return false;
    }
    return false;
}

void qrng_handler::set_timer_slack(loop_state& s, unsigned long ns)
{
    if (s.timer_slack_ns != ns && prctl(PR_SET_TIMERSLACK, ns, 0, 0, 0) == 0)
        s.timer_slack_ns = ns;
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
    uint64_t delivered = counters.bytes_board.load(std::memory_order_relaxed);
    if (!loop_pass(s, code))
        return false;
    if (!read_only)
        watch_delivery(s, counters.bytes_board.load(std::memory_order_relaxed) > delivered,
                       counters.loop_alive_ns.load(std::memory_order_relaxed));
    return true;
}

bool qrng_handler::loop_pass(loop_state& s, int& code)
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
    // Waiting for a reader, the sleeps may end late and share their wake-ups with
    // other timers; otherwise they end when asked.
    bool idle = fd == -1 && !c.desync && !testing;
    set_timer_slack(s, idle ? TIMER_SLACK_IDLE_NS : TIMER_SLACK_BUSY_NS);
    if (idle) {
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
        bool skipped = false;
        chunk_t state = c.next(new_randomness, skipped);
        if (skipped)
            note_overrun(s);
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
    chunk_verdict v = read_chunk(s);
    hold_back(s, v, c.read_pos - CHUNK_WORDS);
    write_pending(fd, s, room);
    // When the next chunk is not written yet, the pause before the next pass is
    // the wait for it: one wake-up per chunk while data flows. (With a backup
    // source the next pass delivers from it instead of waiting.)
    if (fresh_only && backup_source.empty() && s.pending_at == s.pending_end &&
        check_chunk(c.read_pos, CHUNK_WORDS, c.board.position) == chunk_t::short_of_data)
        s.pause_us = std::max(s.pause_us, pause_for_data(c.board, c.read_pos, thread_period));
    return true;
}

void qrng_handler::note_overrun(loop_state& s)
{
    s.watch.met(stall_cause::overrun);
    counters.overruns.fetch_add(1, std::memory_order_relaxed);
    // A board that overtakes reads which had room to go writes faster than the
    // loop reads; a slow reader (a full FIFO) is no news.
    // Said once the time of a read is known (the first overrun may come before any).
    bool outpaced = !health.delivering() || s.room_seen >= MAX_DATA_READ;
    if (new_randomness && outpaced && !s.warned_outpaced && s.dma_read_ns > 0) {
        s.warned_outpaced = true;
        log_message(LEVEL_WARN,
                    "The board overtook the read position although the output had room: it writes %.1f MiB/s and a "
                    "chunk's DMA reads take %.3f ms; the words it overwrote are skipped\n",
                    static_cast<double>(s.cursor.board.rate_mib()), s.dma_read_ns / 1e6);
    }
}

void qrng_handler::watch_delivery(loop_state& s, bool delivered, int64_t now)
{
    board_health::state h = health.now();
    bool could = pipe_fd.load() != -1 && h != board_health::state::unhealthy &&
                 (h == board_health::state::starting || s.room_seen >= MAX_DATA_READ);
    switch (s.watch.pass(now, delivered, could)) {
    case delivery_watch::change::none:
        return;
    case delivery_watch::change::resumed:
        log_message(LEVEL_INFO, "Delivery from the board resumes after %.1f s without\n",
                    static_cast<double>(now - s.watch.stuck_since_ns) / 1e9);
        return;
    case delivery_watch::change::stuck:
        break;
    }
    unsigned long n = 0;
    char cause[200];
    const write_tracker& b = s.cursor.board;
    switch (s.watch.main_cause(n)) {
    case stall_cause::overrun:
        snprintf(cause, sizeof cause,
                 "the board overtook the read position %lu times (it writes %.1f MiB/s; a chunk's DMA reads take %.3f ms)",
                 n, static_cast<double>(b.rate_mib()), s.dma_read_ns / 1e6);
        break;
    case stall_cause::short_chunk:
        snprintf(cause, sizeof cause, "%lu chunks were given up after short DMA reads (the last stopped at %u of %u bytes)",
                 n, s.last_short_bytes, MAX_DATA_READ);
        break;
    case stall_cause::stale_read:
        snprintf(cause, sizeof cause, "%lu DMA reads reported success but transferred nothing", n);
        break;
    case stall_cause::dma_failure:
        snprintf(cause, sizeof cause, "%lu DMA reads failed", n);
        break;
    case stall_cause::implausible:
        snprintf(cause, sizeof cause,
                 "the board's write address jumped further than its rate allows %lu times (%.1f MiB/s, largest step "
                 "%.2f MiB)",
                 n, static_cast<double>(b.rate_mib()), static_cast<double>(b.largest_step) * 4 / 1048576);
        break;
    }
    double seconds = static_cast<double>(now - s.watch.stuck_since_ns) / 1e9;
    if (h == board_health::state::starting)
        log_message(LEVEL_WARN, "The start-up test of the board's output has not completed in %.0f s although a "
                                "reader waits: %s\n", seconds, cause);
    else
        log_message(LEVEL_WARN, "Nothing from the board delivered for %.0f s although the reader has room: %s\n",
                    seconds, cause);
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

