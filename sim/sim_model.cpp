// The simulated accelerator: register map, write pointer over time, checksum
// reports and the board's own timed events.
#include "sim_board.h"

#include "sim_content.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace simboard {

int64_t monotonic_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int open_output_file(const char* path, bool append)
{
    // Truncated only once it is known to be a regular file of one name: a hard
    // link planted at the path must not lose its target's content.
    int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (append ? O_APPEND : 0), 0644);
    if (fd < 0)
        return -1;
    struct stat st;
    int err = 0;
    if (fstat(fd, &st) != 0)
        err = errno;
    else if (!S_ISREG(st.st_mode) || st.st_nlink != 1)
        err = EINVAL;
    else if (!append && ftruncate(fd, 0) != 0)
        err = errno;
    if (err != 0) {
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

void sleep_until(int64_t deadline)
{
    for (int64_t now = monotonic_ns(); now < deadline; now = monotonic_ns()) {
        int64_t left = deadline - now;
        timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        nanosleep(&ts, nullptr);
    }
}

void model::reset(const sim_config& c)
{
    cfg = c;
    clock_frozen = false;
    generating = false;
    t0 = monotonic_ns();
    death_ns = NEVER;
    started_once = false;
    stall_from = stall_until = NEVER;
    restart_at = fault_open_at = fault_close_at = NEVER;
    content = ring_content();
    content.seed = c.seed;
    content.found_seed = c.seed ^ FOUND_SEED_TAG;
    content.fault.configure(c);
    if (c.fault_by_position) {
        content.fault.first = c.fault_at / 4;
        content.fault.end = c.fault_bytes == FOR_GOOD ? NO_POSITION : (c.fault_at + c.fault_bytes) / 4;
    }
    rewind(t0);
    chip_mask = 0xFFFFFFFF;
    standby = 0;
    spi_enabled = filter = drbg = debug = false;
    last_command = 0;
    led_select = 0;
    std::fill(std::begin(led), std::end(led), 0u);
    chip_data = 0;
    chip_writes = 0;
    last_chip_write = sim_chip_write();
    dma_reads = 0;
    dma_bytes = 0;
    reports_published = 0;
    last_report_block = UINT64_MAX;
    last_report_corrupt = false;
    pair_reads = 0;
    last_pair_torn = false;
}

uint64_t model::enabled_chips() const
{
    uint64_t present = cfg.chips >= 64 ? ~0ULL : (1ULL << cfg.chips) - 1;
    return present & ~cfg.dead & chip_mask;
}

bool model::chip_works(unsigned i, int64_t t) const
{
    return generating && i < cfg.chips && ((enabled_chips() >> i) & 1) && t < death_ns;
}

uint64_t model::words_at(int64_t t) const
{
    if (!generating || enabled_chips() == 0 || cfg.rate_mib <= 0.0)
        return base_words;
    int64_t end = std::min(t, death_ns);
    if (end <= t0)
        return base_words;
    int64_t moving = end - t0;
    int64_t still = std::min(end, stall_until) - std::max(t0, stall_from);
    if (still > 0)
        moving -= still;
    long double words = static_cast<long double>(moving) * static_cast<long double>(cfg.rate_mib) *
                        1048576.0L / 4e9L;
    return base_words + static_cast<uint64_t>(words);
}

void model::settle(int64_t t)
{
    base_words = words_at(t);
    t0 = t;
}

uint64_t model::published(uint64_t top) const
{
    if (cfg.burst == 0)
        return top;
    uint64_t step = cfg.burst / 4;
    return std::max(top / step * step, content.start);
}

ring_view model::view(uint64_t top) const
{
    ring_view v;
    v.content = content;
    v.top = top;
    v.stale_hi = published(top);
    v.stale_lo = std::max(v.stale_hi - std::min(v.stale_hi, cfg.lag / 4), content.start);
    return v;
}

void model::rewind(int64_t t)
{
    settle(t);
    base_words = content.start = cfg.resume_at / 4;
    content.offset = 0;
    cached_block = UINT64_MAX;
}

void model::restart(int64_t t)
{
    settle(t);
    content.offset += base_words;
    base_words = content.start = 0;
    cached_block = UINT64_MAX;
}

void model::catch_up(int64_t t)
{
    for (;;) {
        int64_t* next = nullptr;
        for (int64_t* event : {&restart_at, &fault_open_at, &fault_close_at})
            if (*event <= t && (!next || *event < *next))
                next = event;
        if (!next)
            return;
        int64_t when = *next;
        *next = NEVER;
        if (next == &restart_at)
            restart(when);
        else if (next == &fault_open_at)
            content.fault.first = content.offset + words_at(when);
        else
            content.fault.end = content.offset + words_at(when);
    }
}

int64_t model::after(int64_t t, double seconds)
{
    return seconds < 0 ? NEVER : t + static_cast<int64_t>(std::llround(seconds * 1e9));
}

void model::schedule(int64_t t)
{
    death_ns = after(t, cfg.die_after_s);
    restart_at = after(t, cfg.restart_after_s);
    stall_from = after(t, cfg.stall_after_s);
    stall_until = stall_from == NEVER ? NEVER : after(stall_from, cfg.stall_for_s);
    if (cfg.fault != fault_kind::none && !cfg.fault_by_position) {
        fault_open_at = after(t, cfg.fault_after_s);
        fault_close_at = after(fault_open_at, cfg.fault_for_s);
    }
}

uint32_t model::rate_byte(unsigned i, int64_t t) const
{
    if (!chip_works(i, t))
        return 0;
    uint64_t tick = static_cast<uint64_t>(t / RATE_BYTE_PERIOD_NS);
    return 0xF0 | static_cast<uint32_t>(hash64(cfg.seed ^ (tick * 64 + i)) & 0x0F);
}

uint64_t model::rate_word(int64_t t) const
{
    uint64_t w = 0;
    for (unsigned i = 0; i < 8 && i < cfg.chips; i++)
        w |= static_cast<uint64_t>(rate_byte(i, t)) << (8 * i);
    return w;
}

uint32_t model::status_word(int64_t t) const
{
    uint32_t s = 0;
    for (unsigned i = 0; i < 32 && i < cfg.chips; i++)
        if (chip_works(i, t))
            s |= 1u << i;
    return s;
}

uint32_t model::filter_counter(unsigned chip, bool second, int64_t t) const
{
    if (!filter || !chip_works(chip, t))
        return 0;
    uint32_t total = 0x100000 + static_cast<uint32_t>((t / 1000000) & 0xFFFF);
    if (second)
        return total;
    uint32_t dropped = total / 128 * (2 + (chip * 5) % 17);
    return total - dropped;
}

report_t model::report(uint64_t top)
{
    report_t r;
    // A lagging board reports what it has written, below the stale words.
    uint64_t p = published(top);
    uint64_t reached = cfg.lag == 0 ? top : p - std::min(p, cfg.lag / 4);
    if (reached < SIM_BLOCK_WORDS)
        return r;
    uint64_t block = reached / SIM_BLOCK_WORDS - 1;
    uint64_t first = block * SIM_BLOCK_WORDS;
    if (first + SIM_BLOCK_WORDS <= content.start)
        return r; // no block of this frame complete yet
    if (block != cached_block) {
        cached_block = block;
        cached_checksum = content.block_xor(first);
    }
    if (block != last_report_block) {
        last_report_block = block;
        reports_published++;
        last_report_corrupt = cfg.corrupt_every != 0 && reports_published % cfg.corrupt_every == 0;
    }
    r.checksum = cached_checksum ^ (last_report_corrupt ? 0x80000001u : 0u);
    r.address = static_cast<uint32_t>(first % SIM_RING_WORDS);
    r.first = first;
    return r;
}

report_t model::report_pair(uint64_t top)
{
    report_t r = report(top);
    pair_reads++;
    bool torn = cfg.torn_every != 0 && !last_pair_torn && pair_reads % cfg.torn_every == 0;
    last_pair_torn = torn;
    if (torn && r.first != NO_POSITION && r.first > content.start) // the block before is complete too
        r.checksum = content.block_xor(r.first - SIM_BLOCK_WORDS);
    else if (torn)
        r.checksum = 0;
    return r;
}

uint32_t model::read_word(int offset, int64_t t, uint64_t top, report_t& rep, bool& have_report)
{
    switch (offset) {
    case REG_CONTROL:
        return cfg.version;
    case REG_CHIPS:
        return cfg.chips;
    case REG_DDR_MASK:
        return static_cast<uint32_t>(published(top) % SIM_RING_WORDS);
    case REG_STATUS:
        return status_word(t);
    case REG_RATE_LO:
        return static_cast<uint32_t>(rate_word(t));
    case REG_RATE_HI:
        return static_cast<uint32_t>(rate_word(t) >> 32);
    case REG_REPORT_0:
    case REG_REPORT_1:
        if (!have_report) {
            rep = report(top);
            have_report = true;
        }
        return offset == REG_REPORT_0 ? rep.checksum : rep.address;
    default:
        break;
    }
    if (offset >= REG_FILTER && offset < REG_FILTER + 8 * static_cast<int>(cfg.chips)) {
        int rel = offset - REG_FILTER;
        return filter_counter(static_cast<unsigned>(rel / 8), rel % 8 == 4, t);
    }
    return 0;
}

void model::command(uint32_t value, int64_t t)
{
    last_command = value;
    switch (value) {
    case CMD_STARTUP:
        rewind(t);
        generating = false;
        filter = drbg = debug = false;
        break;
    case CMD_SHUTDOWN:
    case CMD_SPI_STOP:
        settle(t);
        generating = false;
        break;
    case CMD_SPI_START:
        settle(t);
        generating = true;
        if (!started_once) {
            started_once = true;
            schedule(t);
        }
        break;
    case CMD_SPI_RESET:
        rewind(t);
        break;
    case CMD_SPI_ENABLE: spi_enabled = true; break;
    case CMD_SPI_DISABLE: spi_enabled = false; break;
    case CMD_FILTER_ON: filter = true; break;
    case CMD_FILTER_OFF: filter = false; break;
    case CMD_DRBG_ON: drbg = true; break;
    case CMD_DRBG_OFF: drbg = false; break;
    case CMD_DEBUG_ON: debug = true; break;
    case CMD_DEBUG_OFF: debug = false; break;
    default:
        break; // unknown commands are ignored, as the accelerator does
    }
}

void model::write(int offset, uint32_t value, int64_t t)
{
    switch (offset) {
    case REG_CONTROL:
        command(value, t);
        break;
    case REG_DDR_MASK:
        settle(t);
        chip_mask = value;
        break;
    case REG_STATUS:
        led_select = value;
        break;
    case REG_RATE_LO:
        if ((led_select & 0xF0) == 0xD0)
            led[led_select & 0x0F] = value;
        break;
    case REG_RATE_HI:
        standby = value;
        break;
    case REG_REPORT_0:
        chip_data = value;
        break;
    case REG_REPORT_1:
        last_chip_write.reg = static_cast<uint16_t>(chip_data >> 16);
        last_chip_write.value = static_cast<uint16_t>(chip_data & 0xFFFF);
        last_chip_write.chip = static_cast<uint16_t>(value & 0xFFFF);
        last_chip_write.id = static_cast<uint16_t>(value >> 16);
        chip_writes++;
        break;
    default:
        break;
    }
}

void model::trace(const char* fmt, ...)
{
    if (trace_fd < 0)
        return;
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line - 1, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    size_t len = std::min(static_cast<size_t>(n), sizeof line - 2);
    line[len++] = '\n';
    ssize_t w = ::write(trace_fd, line, len);
    (void)w; // a trace that cannot be written is not the board's problem
}

bool model::open_trace(const std::string& path)
{
    if (trace_fd >= 0)
        close(trace_fd);
    trace_fd = -1;
    if (path.empty())
        return true;
    trace_fd = open_output_file(path.c_str(), true);
    return trace_fd >= 0;
}

} // namespace simboard
