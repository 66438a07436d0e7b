// The engine's monitor thread: the board's write address, throughput and chips,
// the LEDs, the status line, and what the daemon tells its operators.
#include "qrng.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

double current_time()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

const char* signal_name(int sig)
{
    switch (sig) {
    case SIGINT:
        return "SIGINT";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "SIGTERM";
    }
}

} // namespace

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
    monitor_state state;
    state.previous_time = state.stall.still_since = current_time();
    log_message(LEVEL_INFO, "Start throughput thread\n");

    // One compute pass every READS_TO_COMPUTE + 1 periods. The periods in between
    // only looked out for a stop request; they are one wait, which the read loop
    // ends when it sees a stop, so an idle daemon wakes less often.
    for (;;) {
        if (exit_flag.load() > 0) {
            notify_stopping();
            return;
        }
        report_pass(monotonic_ns());
        monitor_wait(state, SECONDARY_THREAD_PERIOD_US * (READS_TO_COMPUTE + 1));
        if (exit_flag.load() > 0)
            continue;
        if (!monitor_compute(state)) {
            notify_stopping();
            return;
        }
    }
}

void qrng_handler::monitor_wait(monitor_state& state, unsigned long us)
{
    while (us > 0 && exit_flag.load() <= 0) {
        unsigned long slice = static_cast<unsigned long>(state.meter.next_sample_ns() / 1000);
        unsigned long step = slice > 0 && slice < us ? slice : us;
        delay_until_stop(step);
        us -= step;
        if (us > 0)
            state.meter.sample(ddr_address(), boottime_ns());
    }
}

bool qrng_handler::monitor_compute(monitor_state& state)
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
    uint64_t changed = mask ^ counters.working_mask.exchange(mask);
    for (int i = 0; i < qrng_num && i < 64; i++) {
        if (!((changed >> i) & 1))
            continue;
        if ((mask >> i) & 1)
            log_message(LEVEL_INFO, "QRNG chip %d works again\n", i + 1);
        else
            log_message(LEVEL_WARN, "QRNG chip %d stopped working (rate %.2f)\n", i + 1,
                        static_cast<double>(chip_ratio(rate, i)));
    }
    counters.chips_working.store(active);
    counters.last_rate.store(rate);
    if (active == 0) {
        if (state.no_active++ > QRNG_NOACTIVE_TOL) {
            log_message(LEVEL_ERROR, "No Active/Valid QRNG Chips available - aborting\n");
            counters.stop_reason.store("no active chip");
            exit_flag.store(3);
            return false;
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
    state.meter.sample(d, boottime_ns());
    counters.generated_bytes.store(state.meter.words * 4, std::memory_order_relaxed);
    counters.ring_wraps.store(state.meter.laps, std::memory_order_relaxed);
    uint64_t words = state.meter.words - state.words_at_pass;
    state.words_at_pass = state.meter.words;
    if (dt > 0.0)
        counters.generation_rate.store(static_cast<double>(words) * 4 / dt, std::memory_order_relaxed);
    switch (state.stall.pass(words > 0, active > 0, now)) {
    case stall_watch::change::stalled:
        log_message(LEVEL_WARN,
                    "The board's write address has not moved for %.0f s although %d QRNG chips report working: no "
                    "data reaches the stream\n",
                    stall_watch::report_after_s, active);
        break;
    case stall_watch::change::moving_again:
        log_message(LEVEL_INFO, "The board's write address moves again\n");
        break;
    case stall_watch::change::none:
        break;
    }

    if (last_ddr_addr < d && dt > 0.0) {
        uint64_t delta = static_cast<uint64_t>(d - last_ddr_addr) * 4;
        throughput.store(compute_throughput(delta, dt), std::memory_order_relaxed);
        state.generated += delta;

        size_t text_size = qrng_num > 0 ? static_cast<size_t>(qrng_num) * 30 : 0;
        char* text = static_cast<char*>(calloc(qrng_num > 0 ? static_cast<size_t>(qrng_num) : 0, 30));
        if (!text && text_size > 0) {
            log_message(LEVEL_ERROR, "Cannot reserve memory to print log\n");
            return true;
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
    return true;
}

report_data qrng_handler::report() const
{
    report_data d;
    d.prefix = reports.prefix();
    d.board = board ? board->name() : "unknown";
    d.bitstream = reports.bitstream();
    d.chips = qrng_num;
    d.chips_working = counters.chips_working.load();
    unsigned long rate = counters.last_rate.load();
    for (int i = 0; i < qrng_num && i < 8; i++)
        d.chip_ratios.push_back(chip_ratio(rate, i));
    d.generated_bytes = counters.generated_bytes.load(std::memory_order_relaxed);
    d.delivered_board = counters.bytes_board.load(std::memory_order_relaxed);
    d.delivered_backup = counters.bytes_backup.load(std::memory_order_relaxed);
    d.ring_wraps = counters.ring_wraps.load(std::memory_order_relaxed);
    d.dma_failures = counters.dma_failures.load(std::memory_order_relaxed);
    d.dma_short_chunks = counters.dma_short_chunks.load(std::memory_order_relaxed);
    d.overruns = counters.overruns.load(std::memory_order_relaxed);
    d.refused_chunks = counters.refused_chunks.load(std::memory_order_relaxed);
    d.checksum_mismatches = counters.checksum_mismatches.load(std::memory_order_relaxed);
    d.checksum_duplicates = counters.checksum_duplicates.load(std::memory_order_relaxed);
    d.checksum_skipped = counters.checksum_skipped.load(std::memory_order_relaxed);
    d.generation_rate = counters.generation_rate.load(std::memory_order_relaxed);
    d.consumer_attached = pipe_fd.load() != -1;
    d.start_time = reports.start_time();
    d.uptime_s = static_cast<double>(monotonic_ns() - reports.start_ns()) / 1e9;
    int state = counters.output_state.load();
    d.output = state == 2 ? report_data::output_t::unhealthy
               : state == 1 ? report_data::output_t::healthy
                            : report_data::output_t::untested;
    for (int t = 0; t < HEALTH_TESTS; t++)
        d.health_failures.emplace_back(health_test_name(static_cast<health_test>(t)),
                                       counters.health_failures[t].load(std::memory_order_relaxed));
    d.withheld_bytes = counters.withheld_bytes.load(std::memory_order_relaxed);
    return d;
}

void qrng_handler::report_pass(int64_t now)
{
    reports.ping_due(now, counters.loop_alive_ns.load(std::memory_order_relaxed));
    if (take_statistics_request())
        log_message(LEVEL_WARN, "%s\n", statistics_text(report()).c_str());
    if (!reports.report_due(now))
        return;
    report_data d = report();
    reports.status(d);
    reports.write_metrics(d, true);
}

void qrng_handler::notify_stopping()
{
    wake_stopped_waits();
    reports.stopping(counters.stop_reason.load(), signal_name(stop_signal_received()));
}
