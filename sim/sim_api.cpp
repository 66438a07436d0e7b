// The simulated board's C API (sim_model.h): the one model of the process, its
// configuration from the environment, the counters file, and the device side's
// accesses, each under the model's lock.
#include "sim_board.h"

#include "sim_content.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace simboard {

namespace {

// Writes the counters to the QRNG_SIM_STATS file; runs when the process exits.
void write_stats()
{
    model& m = the_model();
    char text[160];
    int len;
    {
        std::lock_guard<std::mutex> lock(m.mtx);
        int64_t t = m.now();
        m.catch_up(t);
        len = snprintf(text, sizeof text, "dma_reads=%" PRIu64 "\ndma_bytes=%" PRIu64 "\nwords_generated=%" PRIu64 "\n",
                       m.dma_reads, m.dma_bytes, m.published(m.words_at(t)));
    }
    int fd = open_output_file(m.stats_path.c_str(), false);
    if (fd < 0) {
        fprintf(stderr, "QRNG_SIM_STATS: cannot open %s: %s\n", m.stats_path.c_str(), strerror(errno));
        return;
    }
    ssize_t w = ::write(fd, text, static_cast<size_t>(len));
    (void)w; // nothing more to do about it while the process ends
    close(fd);
}

} // namespace

// The one model of the process, configured from the environment on first use.
model& the_model()
{
    static model* instance = [] {
        model* m = new model(); // lives as long as the process; never destroyed
        const char* env = getenv("QRNG_SIM");
        sim_config cfg;
        std::string err = parse_config(env ? env : "", cfg);
        if (!err.empty()) {
            fprintf(stderr, "QRNG_SIM: %s\n", err.c_str());
            exit(2);
        }
        m->reset(cfg);
        const char* trace = getenv("QRNG_SIM_TRACE");
        if (trace && *trace && !m->open_trace(trace)) {
            fprintf(stderr, "QRNG_SIM_TRACE: cannot open %s: %s\n", trace, strerror(errno));
            exit(2);
        }
        const char* stats = getenv("QRNG_SIM_STATS");
        if (stats && *stats) {
            m->stats_path = stats;
            atexit(write_stats);
        }
        return m;
    }();
    return *instance;
}

namespace {

// Reads the environment when the process starts, so that a bad configuration
// ends it before the daemon does anything.
const bool model_loaded = (the_model(), true);

} // namespace

} // namespace simboard

using namespace simboard;

std::string sim_configure(const std::string& config)
{
    sim_config cfg;
    std::string err = parse_config(config, cfg);
    if (!err.empty())
        return err;
    model& m = the_model();
    std::lock_guard<std::mutex> lock(m.mtx);
    m.reset(cfg);
    return "";
}

bool sim_trace_to(const std::string& path)
{
    model& m = the_model();
    std::lock_guard<std::mutex> lock(m.mtx);
    return m.open_trace(path);
}

void sim_freeze_clock()
{
    model& m = the_model();
    std::lock_guard<std::mutex> lock(m.mtx);
    m.frozen_ns = m.now();
    m.clock_frozen = true;
}

void sim_advance_clock(double seconds)
{
    model& m = the_model();
    std::lock_guard<std::mutex> lock(m.mtx);
    if (m.clock_frozen)
        m.frozen_ns += static_cast<int64_t>(std::llround(seconds * 1e9));
}

void sim_real_clock()
{
    model& m = the_model();
    std::lock_guard<std::mutex> lock(m.mtx);
    m.clock_frozen = false;
}

sim_state sim_get_state()
{
    model& m = the_model();
    std::lock_guard<std::mutex> lock(m.mtx);
    sim_state s;
    int64_t t = m.now();
    m.catch_up(t);
    uint64_t words = m.published(m.words_at(t));
    s.seed = m.cfg.seed;
    s.version = m.cfg.version;
    s.chips = m.cfg.chips;
    s.words_written = words;
    s.lap = words / SIM_RING_WORDS;
    s.pointer = static_cast<uint32_t>(words % SIM_RING_WORDS);
    s.generating = m.generating;
    s.spi_enabled = m.spi_enabled;
    s.filter = m.filter;
    s.drbg = m.drbg;
    s.debug = m.debug;
    s.chip_mask = m.chip_mask;
    s.standby = m.standby;
    s.last_command = m.last_command;
    std::copy(std::begin(m.led), std::end(m.led), s.led);
    s.chip_writes = m.chip_writes;
    s.last_chip_write = m.last_chip_write;
    s.dma_reads = m.dma_reads;
    s.dma_bytes = m.dma_bytes;
    s.reports_published = m.reports_published;
    return s;
}

sim_open_result sim_device_open(sim_device device, const std::string& path)
{
    model& m = the_model();
    std::lock_guard<std::mutex> lock(m.mtx);
    if (device == sim_device::user ? m.cfg.missing_user : m.cfg.missing_c2h)
        return sim_open_result::missing;
    m.trace("O %s", path.c_str());
    if (device == sim_device::user && m.cfg.mmap_fail)
        return sim_open_result::mmap_failed;
    return sim_open_result::ok;
}

void sim_device_close(const std::string& path)
{
    model& m = the_model();
    std::lock_guard<std::mutex> lock(m.mtx);
    m.trace("C %s", path.c_str());
}

unsigned int sim_register_read(int offset, unsigned int* out, unsigned long count)
{
    model& m = the_model();
    std::lock_guard<std::mutex> lock(m.mtx);
    int64_t t = m.now();
    m.catch_up(t);
    uint64_t top = m.words_at(t);
    report_t rep;
    bool have_report = false;
    if (offset == REG_REPORT_0 && out && count >= 2) {
        rep = m.report_pair(top);
        have_report = true;
    }
    unsigned long n = (out && count > 0) ? count : 1;
    unsigned int first = 0;
    for (unsigned long i = 0; i < n; i++) {
        int off = offset + static_cast<int>(4 * i);
        unsigned int v = m.read_word(off, t, top, rep, have_report);
        m.trace("R %04X %08X", static_cast<unsigned>(off), v);
        if (i == 0)
            first = v;
        if (out && count > 0)
            out[i] = v;
    }
    return first;
}

void sim_register_write(int offset, unsigned int value)
{
    model& m = the_model();
    std::lock_guard<std::mutex> lock(m.mtx);
    m.trace("W %04X %08X", static_cast<unsigned>(offset), value);
    int64_t t = m.now();
    m.catch_up(t);
    m.write(offset, value, t);
}

ssize_t sim_dma_read(void* buf, unsigned long size, unsigned long offset)
{
    model& m = the_model();
    int64_t started = monotonic_ns();
    uint64_t n;
    int64_t hang_ns = 0;
    {
        std::lock_guard<std::mutex> lock(m.mtx);
        n = ++m.dma_reads;
        if (m.cfg.dma_hang != 0 && n == m.cfg.dma_hang)
            hang_ns = static_cast<int64_t>(std::llround(m.cfg.dma_hang_s * 1e9));
    }
    // A hung read holds no lock: register reads by other threads go on meanwhile.
    if (hang_ns > 0)
        sleep_until(started + hang_ns);
    ssize_t result;
    bool stale = false;
    uint64_t dma_us;
    ring_view ring;
    {
        std::lock_guard<std::mutex> lock(m.mtx);
        dma_us = m.cfg.dma_us;
        int64_t t = m.now();
        m.catch_up(t);
        ring = m.view(m.words_at(t));
        if (offset > SIM_RING_BYTES || size > SIM_RING_BYTES - offset)
            result = -1;
        else if (m.cfg.dma_fail_every != 0 && n % m.cfg.dma_fail_every == 0)
            result = -1;
        else if (m.cfg.short_every != 0 && n % m.cfg.short_every == 0)
            result = static_cast<ssize_t>((size / 2) & ~3UL);
        else
            result = static_cast<ssize_t>(size);
        // A stale read reports the whole transfer but leaves the buffer as it was.
        stale = result == static_cast<ssize_t>(size) && m.cfg.stale_every != 0 && n % m.cfg.stale_every == 0;
        if (result > 0)
            m.dma_bytes += static_cast<uint64_t>(result);
        m.trace("D %08lX %lu %ld", offset, size, static_cast<long>(result));
    }
    if (result > 0 && !stale) {
        // The ring is read in whole words; a read off word boundaries goes
        // through a copy.
        uint64_t first = offset / 4, last = (offset + static_cast<uint64_t>(result) + 3) / 4;
        unsigned char* out = static_cast<unsigned char*>(buf);
        if (offset % 4 == 0 && result % 4 == 0) {
            ring.read(out, first, last - first);
        } else {
            std::vector<unsigned char> words(static_cast<size_t>(last - first) * 4);
            ring.read(words.data(), first, last - first);
            std::memcpy(out, words.data() + offset % 4, static_cast<size_t>(result));
        }
    }
    if (dma_us > 0)
        sleep_until(started + static_cast<int64_t>(dma_us) * 1000);
    return result;
}
