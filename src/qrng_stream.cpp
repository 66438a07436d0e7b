// The engine at work: the primary read loop, the block integrity check and the
// monitor thread.
#include "qrng.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace {

int64_t boottime_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Words in one chunk of MAX_DATA_READ bytes.
constexpr uint32_t CHUNK_WORDS = MAX_DATA_READ / 4;
// Checksum report: word 0 the block's XOR checksum, word 1 its DDR word address.
constexpr int REG_CHECKSUM_REPORT = 0x6018;
constexpr unsigned long BLOCK_WORDS = 512;
// Failing reads of the backup source tolerated within one pass.
constexpr int BACKUP_READ_TRIES = 16;
// Microseconds per (byte / MiB/s).
constexpr double US_PER_BYTE_AT_MIB_S = 0.95367431640625;
// Write-position tracking: before the board's rate is known, samples must lie
// within 2 ms (a board writing below 32 GiB/s cannot go half round the ring in
// it); the first rate is measured over 100 us, later ones over 5 ms; a
// board slower than 8 MiB/s is treated as 8 MiB/s, so that a board that stands
// still or barely moves is sampled at least every 4 s.
constexpr int64_t CALIBRATION_GAP_NS = 2000000;
constexpr int64_t FIRST_RATE_SPAN_NS = 100000;
constexpr int64_t RATE_SPAN_NS = 5000000;
constexpr float MIN_TRACKED_MIB_S = 8.0f;
constexpr double MIN_TRACKED_WORDS_PER_NS = MIN_TRACKED_MIB_S * 1048576.0 / 4 / 1e9;
// An advance up to twice the measured rate, plus two chunks of slack (a real
// board's pointer may move in bursts), is plausible.
constexpr uint64_t PLAUSIBLE_SLACK_WORDS = 2 * (MAX_DATA_READ / 4);
// A waiting loop samples the write position at least every 1/256 ring (1 MiB) of
// the board's output, so that a restarted ring can pass at most about 2 MiB off as
// fresh data.
constexpr uint64_t SAMPLE_INTERVAL_WORDS = MAX_DDR_ADDRESS / 256;
// A reset pointer has reached at most this share of what the measured rate
// writes since spi_start, plus one chunk.
constexpr double RESET_POINTER_MARGIN = 1.1;
// While the output cannot be opened, passes are 1 ms apart at first, then
// twice as far each time up to 20 ms.
constexpr unsigned long IDLE_FIRST_RETRY_US = 1000;
// Added to a data wait (beside a sixteenth of it), so the chunk is complete on waking.
constexpr uint32_t DATA_WAIT_MARGIN_US = 20;
constexpr unsigned long IDLE_MAX_RETRY_US = 20000;
// The same back-off while DMA reads keep failing.
constexpr unsigned long DMA_FIRST_RETRY_US = 1000;
constexpr unsigned long DMA_MAX_RETRY_US = 20000;
// The longest wait for room in a full FIFO.
constexpr int64_t ROOM_WAIT_MS = 1000;
// While the reader has at least this much to read, the loop waits for room for a
// whole chunk instead of writing each page the reader frees; the first wait, before
// the reader's pace is known, and the shortest.
constexpr long PLENTY_UNREAD = 2 * MAX_DATA_READ;
constexpr int64_t PACE_PROBE_NS = 1000000;
constexpr int64_t MIN_ROOM_WAIT_NS = 100000;
// How often the loop looks whether its FIFO is still at its path.
constexpr int64_t PATH_CHECK_NS = 1000000000;
// A write address standing still this long while chips report working is reported.
constexpr double STALL_REPORT_S = 5.0;
// Failed DMA reads are summed up at most once per 10 s.
constexpr int64_t DMA_REPORT_WINDOW_NS = 10000000000LL;

// The read loop's one transfer buffer: filled by a DMA read or from the backup
// source, emptied into the FIFO. Static, so the loop allocates nothing.
unsigned char c2h_buffer[MAX_DATA_READ];

double current_time()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

} // namespace

uint32_t qrng_handler::chunk_size(uint32_t read_addr)
{
    if (read_addr + CHUNK_WORDS > MAX_DDR_ADDRESS)
        return (MAX_DDR_ADDRESS - read_addr) * 4;
    return MAX_DATA_READ;
}

uint32_t qrng_handler::data_wait_us(uint32_t missing_bytes, float rate)
{
    float quotient = static_cast<float>(missing_bytes) / rate;
    if (!std::isfinite(quotient) || quotient < 0.0f)
        return 0;
    // Only a rate of a few bytes per second gets here; such a board is as good as idle.
    if (quotient >= 4294967296.0f)
        return MAX_WAIT_DATA_DELAY;
    uint32_t wait = static_cast<uint32_t>(static_cast<uint32_t>(quotient) * US_PER_BYTE_AT_MIB_S);
    return wait > MAX_WAIT_DATA_DELAY ? MAX_WAIT_DATA_DELAY : wait;
}

uint32_t qrng_handler::chunk_words(uint64_t read_pos)
{
    return chunk_size(static_cast<uint32_t>(read_pos % MAX_DDR_ADDRESS)) / 4;
}

uint64_t qrng_handler::advance_read_address(uint64_t read_pos, uint64_t written)
{
    // A word of which the FIFO took only some bytes is not offered again: the
    // consumer must never see the same byte twice.
    return read_pos + (written + 3) / 4;
}

qrng_handler::chunk_t qrng_handler::check_chunk(uint64_t start, uint32_t words, uint64_t board_position)
{
    if (board_position > start + MAX_DDR_ADDRESS - overwrite_guard)
        return chunk_t::overrun;
    if (board_position < start + words)
        return chunk_t::short_of_data;
    return chunk_t::ready;
}

uint32_t qrng_handler::fifo_room(long capacity, long unread, long page, long partial)
{
    long free_slots = capacity / page - (unread + page - 1) / page - partial;
    if (free_slots <= 0)
        return 0;
    long room = free_slots * page;
    return room > static_cast<long>(MAX_DATA_READ) ? MAX_DATA_READ : static_cast<uint32_t>(room);
}

bool qrng_handler::reset_pointer(uint32_t first_address, int64_t since_start_ns, double words_per_ns)
{
    double reachable = words_per_ns * static_cast<double>(since_start_ns) * RESET_POINTER_MARGIN + CHUNK_WORDS;
    return first_address <= reachable;
}

write_tracker::sample_t write_tracker::sample(uint32_t address, int64_t before_ns, int64_t after_ns)
{
    // The register was read between before_ns and after_ns. Gaps are measured
    // from the earliest time the last read can have happened to the latest time of
    // this one, rate spans the other way round: both err on the safe side.
    if (!anchored)
        return new_frame(address, before_ns, after_ns, sample_t::lost);
    int64_t gap = after_ns - time_ns;
    uint32_t advance = (address - static_cast<uint32_t>(position)) & (MAX_DDR_ADDRESS - 1);
    // Before the rate is known, an address that seems to go back may only be a
    // board too fast for the calibration's window: the laps are then unknown.
    if (gap > max_gap_ns() || (!rate_known && advance > MAX_DDR_ADDRESS / 2))
        return new_frame(address, before_ns, after_ns, sample_t::lost);
    if (advance > MAX_DDR_ADDRESS / 2)
        return sample_t::contradiction;
    if (rate_current && advance > plausible_words(gap))
        return new_frame(address, before_ns, after_ns, sample_t::implausible);
    position += advance;
    time_ns = before_ns;
    int64_t span = before_ns - ref_time_ns;
    if (span >= (rate_known ? RATE_SPAN_NS : FIRST_RATE_SPAN_NS)) {
        words_per_ns = static_cast<double>(position - ref_position) / static_cast<double>(span);
        rate_known = rate_current = true;
        rate_span_ns = span;
        ref_position = position;
        ref_time_ns = after_ns;
    }
    return sample_t::known;
}

write_tracker::sample_t write_tracker::new_frame(uint32_t address, int64_t before_ns, int64_t after_ns, sample_t why)
{
    // The next lap after every position counted so far, so that positions keep
    // increasing across a loss.
    position = anchored ? (position / MAX_DDR_ADDRESS + 1) * MAX_DDR_ADDRESS + address : address;
    anchored = true;
    time_ns = before_ns;
    ref_position = position;
    ref_time_ns = after_ns;
    rate_current = false;
    return why;
}

int64_t write_tracker::max_gap_ns() const
{
    if (!rate_known)
        return CALIBRATION_GAP_NS;
    return static_cast<int64_t>(MAX_DDR_ADDRESS / 4 / std::max(words_per_ns, MIN_TRACKED_WORDS_PER_NS));
}

int64_t write_tracker::sample_interval_ns() const
{
    int64_t interval = static_cast<int64_t>(SAMPLE_INTERVAL_WORDS / std::max(words_per_ns, MIN_TRACKED_WORDS_PER_NS));
    return std::min(max_gap_ns() / 2, interval);
}

uint64_t write_tracker::plausible_words(int64_t ns) const
{
    return static_cast<uint64_t>(2 * std::max(words_per_ns, MIN_TRACKED_WORDS_PER_NS) * static_cast<double>(ns)) +
           PLAUSIBLE_SLACK_WORDS;
}

float write_tracker::rate_mib() const
{
    return static_cast<float>(words_per_ns * 4e9 / 1048576.0);
}

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
    working_mask.store(mask);
    chips_working.store(working);
    last_rate.store(boot_rate);
    if (strict_mode && working != qrng_num) {
        log_message(LEVEL_ERROR, "Only %d/%d QRNG Chips are available - aborting\n", working, qrng_num);
        write_metrics(false);
        return 4;
    }
    // A stop during the warm-up cuts the check short: its count says nothing then.
    if (working < qrng_num && exit_flag.load() <= 0)
        log_message(LEVEL_WARN, "%d/%d QRNG chips passed the start-up check; not working: %s\n", working, qrng_num,
                    failed.c_str());

    cycle_count.store(0);
    ddr_addr.store(0);
    last_ddr_addr = 0;

    health_start();
    rearm_stopped_waits();
    std::thread monitor;
    try {
        monitor = std::thread(&qrng_handler::throughput_compute, this);
    } catch (const std::system_error&) {
        log_message(LEVEL_ERROR, "Cannot start the throughput thread - aborting\n");
        return stop_sequence(1, nullptr);
    }
    notify_ready();

    stream_state s;
    s.pause_us = thread_period;
    s.started_ns = started_ns;
    int code = 0;
    while (stream_pass(s, code)) {
    }
    return stop_sequence(code, &monitor);
}

bool qrng_handler::track(stream_state& s)
{
    int64_t before = boottime_ns();
    uint32_t address = ddr_address();
    int64_t after = boottime_ns();
    bool first = !s.board.anchored;
    write_tracker::sample_t sample = s.board.sample(address, before, after);
    switch (sample) {
    case write_tracker::sample_t::known:
        // With -r, reading starts at address 0 only if the board's pointer was
        // reset at spi_start, judged once the rate is measured well.
        if (s.start_pending && s.board.rate_current && s.board.rate_span_ns >= RATE_SPAN_NS) {
            s.start_pending = false;
            if (!reset_pointer(s.first_address, s.first_ns - s.started_ns, s.board.words_per_ns))
                s.read_pos = s.first_address;
        }
        return true;
    case write_tracker::sample_t::lost:
    case write_tracker::sample_t::implausible:
        // The first sample finds the ring as the board wrote it since its reset,
        // none of it delivered: reading starts at address 0 (with -r once the
        // reset is confirmed). After a loss the laps since the last sample are
        // unknown, and so is what the ring holds: with -r only words the board
        // writes from now on are certainly fresh. Without -r the read address
        // goes on where it was, within the lap behind the board.
        if (first) {
            s.start_pending = new_randomness;
            s.first_address = address;
            s.first_ns = after;
            return true;
        }
        if (sample == write_tracker::sample_t::implausible)
            log_message(LEVEL_WARN, "The board's write address jumped further ahead than its rate allows (did the "
                                    "board restart its ring?); reading goes on at its current position\n");
        s.start_pending = false;
        if (new_randomness)
            s.read_pos = s.board.position;
        else
            s.read_pos = s.board.position - ((s.board.position - s.read_pos) & (MAX_DDR_ADDRESS - 1));
        return true;
    case write_tracker::sample_t::contradiction:
        s.desync = true;
        return false;
    }
    return false;
}

void qrng_handler::wait_tracked(stream_state& s, unsigned long us)
{
    // A long wait is cut into slices, each followed by a sample, so that a daemon
    // that waits (for data, for room, for its period) never loses the lap count.
    while (us > 0 && !s.desync && exit_flag.load() <= 0) {
        unsigned long slice = read_only ? us : static_cast<unsigned long>(s.board.sample_interval_ns() / 1000);
        unsigned long step = slice > 0 && slice < us ? slice : us;
        delay_us(step);
        us -= step;
        loop_alive();
        if (us > 0 && !read_only)
            track(s);
    }
}

bool qrng_handler::stop_on_desync(int& code)
{
    stop_reason.store("desync");
    log_message(LEVEL_ERROR, "Internal Error - Desync in DDR Real versus FPGA DDR Write - Streaming interrupted!\n");
    code = 5;
    exit_flag.store(3);
    notify_stopping();
    return false;
}

bool qrng_handler::stream_pass(stream_state& s, int& code)
{
    if (s.pause_us > 0)
        wait_tracked(s, s.pause_us);
    else
        flush_signal_notices();
    s.pause_us = thread_period;
    loop_alive();
    int64_t loop_now = loop_alive_ns.load(std::memory_order_relaxed);

    int flag = exit_flag.load();
    if (flag > 0) {
        code = flag == 1 ? 0 : 1;
        notify_stopping();
        return false;
    }
    if (read_only)
        return true;
    // A desync seen while waiting ends the run whether or not a reader is there.
    if (s.desync)
        return stop_on_desync(code);

    // Without a reader nothing is read from the board: the pass only tries the
    // open again, less often each time up to a bound. The write position is not
    // followed meanwhile; when a reader comes the loop finds it again.
    int fd = open_pipe();
    if (fd != -1 && loop_now - s.path_checked_ns >= PATH_CHECK_NS) {
        // A FIFO removed while a reader has it open still carries the stream to that
        // reader, but no later consumer can find it: make it again at its path.
        s.path_checked_ns = loop_now;
        struct stat st;
        if (lstat(pipe_path.c_str(), &st) != 0 && errno == ENOENT && make_fifo(pipe_path) == 0)
            log_message(LEVEL_WARN, "Output FIFO %s had disappeared; made it again\n", pipe_path.c_str());
    }
    if (fd == -1) {
        if (checksum_check)
            validate_checksum(static_cast<uint32_t>(s.board.position % MAX_DDR_ADDRESS));
        s.idle_us = std::min<unsigned long>(std::max<unsigned long>(s.idle_us * 2, IDLE_FIRST_RETRY_US),
                                            IDLE_MAX_RETRY_US);
        s.pause_us = std::max<unsigned long>(s.idle_us, thread_period);
        return true;
    }
    s.idle_us = 0;

    if (!track(s))
        return stop_on_desync(code);
    if (s.start_pending) {
        s.pause_us = std::max<unsigned long>(thread_period, IDLE_FIRST_RETRY_US);
        return true;
    }

    // With -r, and without it until the board has written its first lap, only
    // words the board has written and not yet overwritten are read. Once the
    // board has wrapped, a daemon without -r reads the ring on regardless.
    bool fresh = true;
    uint32_t words = chunk_words(s.read_pos);
    const bool fresh_only = new_randomness || cycle_count.load() == 0;
    if (fresh_only) {
        chunk_t state = check_chunk(s.read_pos, words, s.board.position);
        if (state == chunk_t::overrun && new_randomness) {
            // The board has come round to the read position: the words from half a
            // ring behind it are written, undelivered, and safe from overwriting
            // for another half ring.
            s.read_pos = s.board.position - MAX_DDR_ADDRESS / 2;
            words = chunk_words(s.read_pos);
            state = check_chunk(s.read_pos, words, s.board.position);
        }
        if (state == chunk_t::short_of_data) {
            fresh = false;
            if (backup_source.empty()) {
                s.pause_us = pause_for_data(s);
                return true;
            }
        }
    } else if (!s.warned_repeat && s.board.position < s.read_pos + words) {
        s.warned_repeat = true;
        log_message(LEVEL_WARN, "The stream now repeats data delivered before (the board's ring has wrapped); "
                                "-r delivers each word only once\n");
    }

    if (checksum_check)
        validate_checksum(static_cast<uint32_t>(s.board.position % MAX_DDR_ADDRESS));

    uint64_t before = s.read_pos;
    uint32_t room = output_room(fd, s);
    if (room < 4 || s.desync || s.read_pos != before)
        return true;
    // Whole pages where the room allows: the FIFO's slots then stay full, and the
    // room computed from its unread bytes stays exact.
    static const uint32_t page = static_cast<uint32_t>(sysconf(_SC_PAGESIZE));
    uint32_t size = std::min(words * 4, room) & ~3u;
    if (size >= page)
        size -= size % page;
    if (!fresh) {
        deliver_backup(fd, s, size);
        return true;
    }
    deliver_dma(fd, s, size);
    // When the next chunk is not written yet, the pause before the next pass is
    // the wait for it: one wake-up per chunk while data flows. (With a backup
    // source the next pass delivers from it instead of waiting.)
    if (fresh_only && backup_source.empty()) {
        uint32_t next = chunk_words(s.read_pos);
        if (check_chunk(s.read_pos, next, s.board.position) == chunk_t::short_of_data)
            s.pause_us = std::max(s.pause_us, pause_for_data(s));
    }
    return true;
}

unsigned long qrng_handler::pause_for_data(const stream_state& s) const
{
    // The time the board needs, at the rate the loop measured, for the rest of the
    // next chunk, a little more so that the chunk is complete on waking, and never
    // shorter than the period. A board measured standing still is waited for as
    // if it wrote at the lowest rate the tracking assumes, not polled.
    uint32_t words = chunk_words(s.read_pos);
    uint32_t missing = static_cast<uint32_t>(s.read_pos + words - s.board.position) * 4;
    float rate = s.board.rate_known && s.board.rate_mib() <= 0.0f ? MIN_TRACKED_MIB_S : s.board.rate_mib();
    uint32_t wait = data_wait_us(missing, rate);
    return std::max<unsigned long>(wait > 0 ? wait + wait / 16 + DATA_WAIT_MARGIN_US : 0, thread_period);
}

uint32_t qrng_handler::output_room(int fd, stream_state& s)
{
    static const long page = sysconf(_SC_PAGESIZE);
    int capacity = fcntl(fd, F_GETPIPE_SZ);
    if (capacity < 0)
        return MAX_DATA_READ; // a character device: no pipe buffer to size the chunk by
    // A FIFO whose reader has gone reports an error: nothing is read from the
    // board for nobody.
    struct pollfd p = {fd, POLLOUT, 0};
    if (poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP))) {
        close_pipe();
        return 0;
    }
    int unread = 0;
    if (ioctl(fd, FIONREAD, &unread) != 0)
        unread = 0;
    if (unread == 0)
        s.partial_slots = 0;
    uint32_t room = fifo_room(capacity, unread, page, s.partial_slots);
    if (room < MAX_DATA_READ && unread >= PLENTY_UNREAD) {
        // The reader has enough to read: wait, at its pace, until it has made room
        // for a chunk, rather than take every page it frees (a reader of small
        // blocks would cost a pass per page).
        int64_t wait = s.reader_bytes_per_ns > 0
                           ? static_cast<int64_t>((MAX_DATA_READ - room) / s.reader_bytes_per_ns)
                           : PACE_PROBE_NS;
        wait = std::max(MIN_ROOM_WAIT_NS, std::min(wait, s.board.sample_interval_ns()));
        int64_t start = monotonic_ns();
        wait_tracked(s, static_cast<unsigned long>(wait / 1000));
        int before = unread;
        if (ioctl(fd, FIONREAD, &unread) != 0)
            unread = 0;
        s.reader_bytes_per_ns = static_cast<double>(before - unread) / static_cast<double>(monotonic_ns() - start);
        room = fifo_room(capacity, unread, page, s.partial_slots);
    }
    if (room >= page)
        return room;

    // Full: wait until the reader frees a page, or the reader goes, or a bound
    // passes (a stop request is seen within it, and the lap count is kept).
    int64_t bound_ms = std::min<int64_t>(ROOM_WAIT_MS, s.board.sample_interval_ns() / 1000000);
    p.revents = 0;
    int ready = poll(&p, 1, static_cast<int>(std::max<int64_t>(bound_ms, 1)));
    loop_alive();
    if (ready <= 0 || !track(s))
        return 0;
    if (p.revents & (POLLERR | POLLHUP)) {
        close_pipe();
        return 0;
    }
    if (ioctl(fd, FIONREAD, &unread) != 0)
        unread = 0;
    if (unread == 0)
        s.partial_slots = 0;
    // Poll reports a free slot, which takes at least a page.
    return std::max<uint32_t>(fifo_room(capacity, unread, page, s.partial_slots), static_cast<uint32_t>(page));
}

void qrng_handler::deliver_dma(int fd, stream_state& s, uint32_t size)
{
    uint64_t start = s.read_pos;
    uint64_t offset = (start % MAX_DDR_ADDRESS) * 4;
    ssize_t got = xdma.read_memory(c2h_buffer, size, offset);
    if (got < 0) {
        dma_failed(s, errno, size, offset);
        // Failing reads are retried less often each time, up to a bound.
        s.dma_backoff_us = std::min(std::max(s.dma_backoff_us * 2, DMA_FIRST_RETRY_US), DMA_MAX_RETRY_US);
        s.pause_us = std::max(s.pause_us, s.dma_backoff_us);
        return;
    }
    s.dma_backoff_us = 0;
    if (new_randomness) {
        // The board must not have reached the chunk's start a ring later while the
        // read ran: the chunk would then mix two laps.
        if (!track(s) || s.read_pos != start)
            return;
        if (check_chunk(start, 0, s.board.position) == chunk_t::overrun)
            return; // the next pass restarts at a fresh position
    }
    ssize_t written = write(fd, c2h_buffer, static_cast<size_t>(got));
    if (written > 0) {
        s.read_pos = advance_read_address(start, static_cast<uint64_t>(written));
        count_written(s, written, false);
    } else if (got > 0 && write_refused(errno)) {
        s.pause_us = IDLE_MAX_RETRY_US;
    }
}

void qrng_handler::count_written(stream_state& s, ssize_t written, bool backup)
{
    static const long page = sysconf(_SC_PAGESIZE);
    if (written % page != 0)
        s.partial_slots++;
    bytes_written.fetch_add(static_cast<uint64_t>(written), std::memory_order_relaxed);
    if (backup)
        bytes_backup.fetch_add(static_cast<uint64_t>(written), std::memory_order_relaxed);
}

bool qrng_handler::write_refused(int err)
{
    if (err == EAGAIN || err == EWOULDBLOCK) {
        refused_chunks.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    if (err == EPIPE) {
        // The reader went away after the chunk was read: counted like a chunk the
        // FIFO refused; the next reader gets a FIFO opened afresh.
        refused_chunks.fetch_add(1, std::memory_order_relaxed);
        close_pipe();
        return false;
    }
    output_problem(-err, "Writing to %s failed: %s\n", pipe_path.c_str(), strerror(err));
    return true;
}

void qrng_handler::dma_failed(stream_state& s, int err, uint32_t size, uint64_t offset)
{
    dma_failures.fetch_add(1, std::memory_order_relaxed);
    int64_t now = monotonic_ns();
    bool window_over = now - s.dma_window_start >= DMA_REPORT_WINDOW_NS;
    if (!s.dma_failure_reported || (window_over && s.dma_failed_in_window == 0)) {
        s.dma_failure_reported = true;
        s.dma_window_start = now;
        s.dma_failed_in_window = 0;
        log_message(LEVEL_ERROR, "DMA read of %u bytes at offset 0x%08lX failed: %s\n", size,
                    static_cast<unsigned long>(offset), strerror(err));
        return;
    }
    s.dma_failed_in_window++;
    if (window_over) {
        log_message(LEVEL_ERROR, "%lu DMA reads failed in the last 10 s\n", s.dma_failed_in_window);
        s.dma_window_start = now;
        s.dma_failed_in_window = 0;
    }
}

void qrng_handler::deliver_backup(int fd, stream_state& s, uint32_t size)
{
    int source = open(backup_source.c_str(), O_RDONLY);
    if (source < 0)
        return;
    uint32_t got = 0;
    int failures = 0;
    while (got < size && failures < BACKUP_READ_TRIES) {
        ssize_t n = read(source, c2h_buffer + got, size - got);
        if (n > 0)
            got += static_cast<uint32_t>(n);
        else if (n == 0)
            break; // end of file: nothing more will come
        else
            failures++;
    }
    close(source);
    if (got == 0)
        return;
    ssize_t written = write(fd, c2h_buffer, got);
    if (written > 0) {
        count_written(s, written, true);
    } else if (errno == EPIPE) {
        close_pipe();
    }
}

int qrng_handler::stop_sequence(int code, std::thread* monitor)
{
    if (monitor && monitor->joinable())
        monitor->join();
    close_pipe();
    spi_stop();
    spi_disable();
    write_metrics(false);
    return code;
}

unsigned int qrng_handler::block_checksum(unsigned int* data, unsigned long count)
{
    unsigned int sum = 0;
    for (unsigned long i = 0; i < count; i++)
        sum ^= data[i];
    return sum;
}

unsigned long checksum_window::add(uint32_t checksum, uint32_t address, uint32_t& previous_address)
{
    if (order.size() < size) {
        order.push_back(checksum);
    } else {
        // The oldest check leaves the window.
        auto oldest = seen.find(order[next]);
        if (oldest != seen.end() && --oldest->second.count == 0)
            seen.erase(oldest);
        order[next] = checksum;
        next = (next + 1) % size;
    }
    occurrences& o = seen[checksum];
    previous_address = o.last_address;
    o.last_address = address;
    return ++o.count;
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
        checksum_torn.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    unsigned int checksum = report[0];
    unsigned int address = report[1];
    if (address == last_ptr)
        return;
    last_ptr = address;

    uint32_t previous_address = 0;
    unsigned long count = checksum_seen.add(checksum, address, previous_address);
    if (count >= checksum_window::report_at) {
        checksum_duplicates.fetch_add(1, std::memory_order_relaxed);
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
        checksum_mismatches.fetch_add(1, std::memory_order_relaxed);
        log_message(LEVEL_WARN, "Corrupted data on transaction on 0x%X. FPGA checksum 0x%x differs from software 0x%x.\n",
                    address, checksum, software);
    }
}

float qrng_handler::compute_throughput(uint64_t delta_bytes, double dt)
{
    float mib = static_cast<float>(delta_bytes) / 1048576.0f;
    return static_cast<float>(mib / dt);
}

void qrng_handler::append_chip_text(char* buf, size_t size, int chip, float ratio, float filter_ratio,
                                    unsigned int status_bit, bool filter)
{
    size_t used = strnlen(buf, size);
    if (used + 1 >= size)
        return;
    if (filter)
        snprintf(buf + used, size - used, "Q%d: %.02f/%.02f(%d) ", chip + 1, static_cast<double>(ratio),
                 static_cast<double>(filter_ratio), static_cast<int>(status_bit));
    else
        snprintf(buf + used, size - used, "Q%d: %.02f(%d) ", chip + 1, static_cast<double>(ratio),
                 static_cast<int>(status_bit));
}

void qrng_handler::throughput_compute()
{
    monitor_state state{current_time(), 0, 0};
    state.still_since = state.previous_time;
    log_message(LEVEL_INFO, "Start throughput thread\n");

    // One compute pass every READS_TO_COMPUTE + 1 periods. The periods in between
    // only looked out for a stop request; they are one wait, which the read loop
    // ends when it sees a stop, so an idle daemon wakes less often.
    for (;;) {
        if (exit_flag.load() > 0) {
            notify_stopping();
            return;
        }
        health_pass(monotonic_ns());
        monitor_wait(state, SECONDARY_THREAD_PERIOD_US * (READS_TO_COMPUTE + 1));
        if (exit_flag.load() > 0)
            continue;
        if (monitor_compute(state) == monitor_step::give_up) {
            notify_stopping();
            return;
        }
    }
}

void qrng_handler::monitor_wait(monitor_state& state, unsigned long us)
{
    while (us > 0 && exit_flag.load() <= 0) {
        unsigned long slice = static_cast<unsigned long>(state.board.max_gap_ns() / 2000);
        unsigned long step = slice > 0 && slice < us ? slice : us;
        delay_until_stop(step);
        us -= step;
        if (us > 0)
            count_output(state, ddr_address());
    }
}

void qrng_handler::count_output(monitor_state& state, uint32_t address)
{
    int64_t now = boottime_ns();
    uint64_t before = state.board.position;
    bool anchored = state.board.anchored;
    write_tracker::sample_t sample = state.board.sample(address, now, now);
    uint64_t words;
    if (sample == write_tracker::sample_t::known) {
        words = state.board.position - before;
        ring_wraps.fetch_add(state.board.position / MAX_DDR_ADDRESS - before / MAX_DDR_ADDRESS,
                             std::memory_order_relaxed);
    } else {
        // The laps since the last sample are unknown (the thread was held up, or
        // the board restarted its ring): the least the board can have written.
        words = anchored ? (address - state.last_address) & (MAX_DDR_ADDRESS - 1) : address;
        if (anchored && address < state.last_address)
            ring_wraps.fetch_add(1, std::memory_order_relaxed);
        if (sample == write_tracker::sample_t::contradiction) {
            state.board = write_tracker{};
            state.board.sample(address, now, now);
        }
    }
    state.last_address = address;
    state.words += words;
    generated_bytes.fetch_add(words * 4, std::memory_order_relaxed);
}

qrng_handler::monitor_step qrng_handler::monitor_compute(monitor_state& state)
{
    unsigned long rate = get_rate();
    unsigned int status = get_status();
    set_standby(standby);

    int active = 0;
    uint64_t mask = 0;
    for (int i = 0; i < qrng_num; i++) {
        if (chip_ratio(rate, i) > qrng_rate_threshold) {
            active++;
            mask |= 1ULL << i;
        }
    }
    // One line per change of a chip's state.
    uint64_t changed = mask ^ working_mask.exchange(mask);
    for (int i = 0; i < qrng_num && i < 64; i++) {
        if (!((changed >> i) & 1))
            continue;
        if ((mask >> i) & 1)
            log_message(LEVEL_INFO, "QRNG chip %d works again\n", i + 1);
        else
            log_message(LEVEL_WARN, "QRNG chip %d stopped working (rate %.2f)\n", i + 1,
                        static_cast<double>(chip_ratio(rate, i)));
    }
    chips_working.store(active);
    last_rate.store(rate);
    if (active == 0) {
        if (state.no_active++ > QRNG_NOACTIVE_TOL) {
            log_message(LEVEL_ERROR, "No Active/Valid QRNG Chips available - aborting\n");
            stop_reason.store("no active chip");
            exit_flag.store(3);
            return monitor_step::give_up;
        }
    } else {
        state.no_active = 0;
    }

    double now = current_time();
    double dt = now - state.previous_time;
    state.previous_time = now;

    uint32_t d = ddr_address();
    if (d < last_ddr_addr)
        cycle_count.fetch_add(1);
    ddr_addr.store(d);

    // What operators see: the output counted from samples close enough in time,
    // and the rate since the last pass, 0 for a board standing still.
    count_output(state, d);
    uint64_t words = state.words - state.words_at_pass;
    state.words_at_pass = state.words;
    if (dt > 0.0)
        generation_rate.store(static_cast<double>(words) * 4 / dt, std::memory_order_relaxed);
    if (words > 0 || active == 0) {
        state.still_since = now;
        if (state.stall_warned && words > 0)
            log_message(LEVEL_INFO, "The board's write address moves again\n");
        state.stall_warned = false;
    } else if (!state.stall_warned && now - state.still_since >= STALL_REPORT_S) {
        state.stall_warned = true;
        log_message(LEVEL_WARN,
                    "The board's write address has not moved for %.0f s although %d QRNG chips report working: no "
                    "data reaches the stream\n",
                    STALL_REPORT_S, active);
    }

    if (last_ddr_addr < d && dt > 0.0) {
        uint64_t delta = static_cast<uint64_t>(d - last_ddr_addr) * 4;
        throughput.store(compute_throughput(delta, dt), std::memory_order_relaxed);
        state.generated += delta;

        size_t text_size = qrng_num > 0 ? static_cast<size_t>(qrng_num) * 30 : 0;
        char* text = static_cast<char*>(calloc(qrng_num > 0 ? static_cast<size_t>(qrng_num) : 0, 30));
        if (!text && text_size > 0) {
            log_message(LEVEL_ERROR, "Cannot reserve memory to print log\n");
            return monitor_step::next_pass;
        }
        board->led_status(strict_mode, rate, qrng_rate_threshold);
        for (int i = 0; i < qrng_num; i++) {
            float filter_ratio = get_filter_ratio(i);
            unsigned int bit = i < 32 ? (status >> i) & 1 : 0;
            append_chip_text(text, text_size, i, chip_ratio(rate, i), filter_ratio, bit, filter_enable);
        }
        log_unlimited(LEVEL_INFO,
                    "%sCycle: %ld %0.2f MB gen - Page %u Actual DDR_Addr %lu - offset %08lX, estimated thput: %0.2f "
                    "MB/s, %0.2f MB written to pipe\n",
                    text_size > 0 ? text : "", static_cast<long>(cycle_count.load()),
                    static_cast<double>(static_cast<float>(state.generated) / 1048576.0f), 0u,
                    static_cast<unsigned long>(d >> 9), static_cast<unsigned long>(d),
                    static_cast<double>(throughput.load(std::memory_order_relaxed)),
                    static_cast<double>(static_cast<float>(bytes_written.load(std::memory_order_relaxed)) / 1048576.0f));
        free(text);
    }
    last_ddr_addr = d;
    return monitor_step::next_pass;
}
