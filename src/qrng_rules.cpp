// The rules about the board's write position: tracker, read cursor, chunks,
// room, waits, back-offs, the monitor's meter and its stall watch.
#include "qrng_rules.h"

#include <algorithm>
#include <cmath>

namespace {

// Microseconds per (byte / MiB/s).
constexpr double US_PER_BYTE_AT_MIB_S = 0.95367431640625;
// Write-position tracking: before the board's rate is known, samples must lie
// within 2 ms (a board writing below 32 GiB/s cannot go half round the ring in
// it); the first rate is measured over 100 us, later ones over 5 ms.
constexpr int64_t CALIBRATION_GAP_NS = 2000000;
constexpr int64_t FIRST_RATE_SPAN_NS = 100000;
constexpr int64_t RATE_SPAN_NS = 5000000;
constexpr double MIN_TRACKED_WORDS_PER_NS = MIN_TRACKED_MIB_S * 1048576.0 / 4 / 1e9;
// An advance up to twice the measured rate, plus two chunks of slack (a real
// board's pointer may move in bursts), is plausible.
constexpr uint64_t PLAUSIBLE_SLACK_WORDS = 2 * CHUNK_WORDS;
// A waiting loop samples the write position at least every 1/256 ring (1 MiB) of
// the board's output, so that a restarted ring can pass at most about 2 MiB off as
// fresh data.
constexpr uint64_t SAMPLE_INTERVAL_WORDS = MAX_DDR_ADDRESS / 256;
// A reset pointer has reached at most this share of what the measured rate
// writes since spi_start, plus one chunk.
constexpr double RESET_POINTER_MARGIN = 1.1;
// Added to a data wait (beside a sixteenth of it), so the chunk is complete on waking.
constexpr uint32_t DATA_WAIT_MARGIN_US = 20;

} // namespace

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
    if (anchored)
        frame++;
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

uint32_t data_wait_us(uint32_t missing_bytes, float rate)
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

chunk_t check_chunk(uint64_t start, uint32_t words, uint64_t board_position)
{
    if (board_position > start + MAX_DDR_ADDRESS - OVERWRITE_GUARD)
        return chunk_t::overrun;
    if (board_position < start + words)
        return chunk_t::short_of_data;
    return chunk_t::ready;
}

bool reset_pointer(uint32_t first_address, int64_t since_start_ns, double words_per_ns)
{
    double reachable = words_per_ns * static_cast<double>(since_start_ns) * RESET_POINTER_MARGIN + CHUNK_WORDS;
    return first_address <= reachable;
}

unsigned long pause_for_data(const write_tracker& board, uint64_t read_pos, unsigned long period_us)
{
    // A board measured standing still is waited for as if it wrote at the lowest
    // rate the tracking assumes, not polled.
    uint32_t missing = static_cast<uint32_t>(read_pos + CHUNK_WORDS - board.position) * 4;
    float rate = board.rate_known && board.rate_mib() <= 0.0f ? MIN_TRACKED_MIB_S : board.rate_mib();
    uint32_t wait = data_wait_us(missing, rate);
    return std::max<unsigned long>(wait > 0 ? wait + wait / 16 + DATA_WAIT_MARGIN_US : 0, period_us);
}

void read_cursor::start(bool fresh, int64_t started)
{
    fresh_only = fresh;
    started_ns = started;
}

read_cursor::event read_cursor::observe(uint32_t address, int64_t before_ns, int64_t after_ns)
{
    bool first = !board.anchored;
    event e = event::none;
    switch (board.sample(address, before_ns, after_ns)) {
    case write_tracker::sample_t::known:
        // Reading starts at address 0 only if the board's pointer was reset at
        // spi_start, judged once the rate is measured well.
        if (start_pending && board.rate_current && board.rate_span_ns >= RATE_SPAN_NS) {
            start_pending = false;
            if (!reset_pointer(first_address, first_ns - started_ns, board.words_per_ns))
                read_pos = chunk_boundary(first_address);
        }
        return event::none;
    case write_tracker::sample_t::lost:
        // The first sample finds the ring as the board wrote it since its reset,
        // none of it delivered: reading starts at address 0 (with -r once the
        // reset is confirmed).
        if (first) {
            start_pending = fresh_only;
            first_address = address;
            first_ns = after_ns;
            return event::none;
        }
        break;
    case write_tracker::sample_t::implausible:
        e = event::restarted;
        break;
    case write_tracker::sample_t::contradiction:
        desync = true;
        return event::desync;
    }
    start_pending = false;
    if (fresh_only)
        read_pos = chunk_boundary(board.position);
    else
        read_pos = board.position - ((board.position - read_pos) & (MAX_DDR_ADDRESS - 1));
    return e;
}

unsigned long backoff::next()
{
    us = std::min(std::max(us * 2, first), max);
    return us;
}

failure_window::verdict failure_window::failed(int64_t now_ns, unsigned long& failures)
{
    bool window_over = now_ns - start >= window;
    if (!reported || (window_over && in_window == 0)) {
        reported = true;
        start = now_ns;
        in_window = 0;
        return verdict::report;
    }
    in_window++;
    if (!window_over)
        return verdict::count;
    failures = in_window;
    start = now_ns;
    in_window = 0;
    return verdict::summary;
}

void output_meter::sample(uint32_t address, int64_t now_ns)
{
    uint64_t before = board.position;
    bool anchored = board.anchored;
    write_tracker::sample_t s = board.sample(address, now_ns);
    if (s == write_tracker::sample_t::known) {
        words += board.position - before;
        laps += board.position / MAX_DDR_ADDRESS - before / MAX_DDR_ADDRESS;
    } else {
        // The laps since the last sample are unknown: the least the board can have
        // written.
        words += anchored ? (address - last_address) & (MAX_DDR_ADDRESS - 1) : address;
        laps += anchored && address < last_address ? 1 : 0;
        if (s == write_tracker::sample_t::contradiction) {
            // The ring restarted: counting starts afresh from here.
            board = write_tracker{};
            board.sample(address, now_ns);
        }
    }
    last_address = address;
}

stall_watch::change stall_watch::pass(bool moved, bool chips_work, double now_s)
{
    if (moved || !chips_work) {
        still_since = now_s;
        bool was = stalled;
        stalled = false;
        return was && moved ? change::moving_again : change::none;
    }
    if (!stalled && now_s - still_since >= report_after_s) {
        stalled = true;
        return change::stalled;
    }
    return change::none;
}
