// The simulated accelerator: configuration, register map, write pointer over
// time, checksum reports, DMA reads of the ring, faults and the access trace.
#include "sim_model.h"

#include "sim_content.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <random>
#include <unistd.h>

namespace {

constexpr uint32_t VERSION_PCIE = 0xDA000102;
constexpr uint32_t VERSION_M2 = 0xD7000001;
constexpr unsigned CHIPS_PCIE = 6;
constexpr unsigned CHIPS_M2 = 4;
constexpr unsigned MAX_CHIPS = 32;
constexpr double MAX_RATE_MIB = 1048576.0;
constexpr double MAX_SECONDS = 1e9; // die_after and the other times after spi_start
constexpr uint64_t MAX_DMA_US = 10000000;
constexpr double MAX_DMA_HANG_S = 600.0;
constexpr int64_t NEVER = INT64_MAX;
constexpr int64_t RATE_BYTE_PERIOD_NS = 100000000;
constexpr uint64_t MIN_FAULT_PERIOD = 8;
constexpr uint64_t MAX_FAULT_PERIOD = 65536;
constexpr uint64_t NO_POSITION = UINT64_MAX; // a fault window's bound not reached yet
constexpr uint32_t FAULT_CONSTANT = 0x5A5A5A5A;
constexpr uint8_t FAULT_BYTE = 0xA5;
// A bit of fault=bias is 1 when a 32-bit uniform value is below this: 0.51 * 2^32.
constexpr uint32_t BIAS_THRESHOLD = 2190433321u;
// Mixed into the seed for the key of the faulty content, apart from the healthy stream.
constexpr uint64_t FAULT_KEY_TAG = 0x3C6EF372FE94F82BULL;
constexpr uint64_t WEYL = 0x9E3779B97F4A7C15ULL;

// Register offsets (read meaning / write meaning).
constexpr int REG_CONTROL = 0x6000;  // version / command word
constexpr int REG_CHIPS = 0x6004;    // chip count / -
constexpr int REG_DDR_MASK = 0x6008; // DDR write address / chip mask
constexpr int REG_STATUS = 0x600C;   // status word / LED select
constexpr int REG_RATE_LO = 0x6010;  // rate word low / colour word
constexpr int REG_RATE_HI = 0x6014;  // rate word high / stand-by
constexpr int REG_REPORT_0 = 0x6018; // block checksum / chip data word
constexpr int REG_REPORT_1 = 0x601C; // block address / chip command word
constexpr int REG_FILTER = 0x6020;   // filter counters, two per chip / -

constexpr uint32_t CMD_STARTUP = 0xB0000000;
constexpr uint32_t CMD_SHUTDOWN = 0xBF000000;
constexpr uint32_t CMD_SPI_ENABLE = 0xA0000000;
constexpr uint32_t CMD_SPI_DISABLE = 0xAE000000;
constexpr uint32_t CMD_SPI_START = 0xA2000000;
constexpr uint32_t CMD_SPI_STOP = 0xAF000000;
constexpr uint32_t CMD_SPI_RESET = 0xA3000000;
constexpr uint32_t CMD_FILTER_ON = 0xD0000000;
constexpr uint32_t CMD_FILTER_OFF = 0xD1000000;
constexpr uint32_t CMD_DRBG_ON = 0xD2000000;
constexpr uint32_t CMD_DRBG_OFF = 0xD3000000;
constexpr uint32_t CMD_DEBUG_ON = 0xD4000000;
constexpr uint32_t CMD_DEBUG_OFF = 0xD5000000;

// What fault= puts in place of the healthy words within the fault window.
enum class fault_kind { none, zero, ones, constant, period, bias, byte };

struct sim_config {
    uint32_t version = VERSION_PCIE;
    unsigned chips = CHIPS_PCIE;
    double rate_mib = 32.0;
    uint64_t seed = 0;
    uint64_t dead = 0;
    double die_after_s = -1.0; // negative: never
    double restart_after_s = -1.0; // negative: never
    double stall_after_s = -1.0;   // negative: never
    double stall_for_s = -1.0;     // negative: for good
    fault_kind fault = fault_kind::none;
    uint64_t fault_period = 64;    // bytes
    double fault_after_s = 0.0;
    double fault_for_s = -1.0;     // negative: for good
    bool missing_user = false;
    bool missing_c2h = false;
    bool mmap_fail = false;
    uint64_t dma_fail_every = 0;
    uint64_t short_every = 0;
    uint64_t corrupt_every = 0;
    uint64_t torn_every = 0;
    uint64_t stale_every = 0;
    uint64_t dma_us = 0;
    uint64_t dma_hang = 0;     // 0: no DMA read hangs
    double dma_hang_s = 30.0;
};

std::string trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

// A non-negative decimal number with at most one point ("32", "0.5", ".25").
bool parse_decimal(const std::string& text, double& value)
{
    if (text.empty() || text == ".")
        return false;
    if (text.find_first_not_of("0123456789.") != std::string::npos)
        return false;
    if (std::count(text.begin(), text.end(), '.') > 1)
        return false;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v))
        return false;
    value = v;
    return true;
}

bool parse_hex32(const std::string& text, uint32_t& value)
{
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
    if (digits.empty() || digits.size() > 8 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    value = static_cast<uint32_t>(std::strtoul(digits.c_str(), nullptr, 16));
    return true;
}

uint64_t fresh_seed()
{
    std::random_device rd;
    return (static_cast<uint64_t>(rd()) << 32) ^ rd();
}

// The field of a key holding seconds after the first spi_start, or null.
double* seconds_field(sim_config& cfg, const std::string& key)
{
    if (key == "die_after")
        return &cfg.die_after_s;
    if (key == "restart_after")
        return &cfg.restart_after_s;
    if (key == "stall_after")
        return &cfg.stall_after_s;
    if (key == "stall_for")
        return &cfg.stall_for_s;
    if (key == "fault_after")
        return &cfg.fault_after_s;
    if (key == "fault_for")
        return &cfg.fault_for_s;
    return nullptr;
}

// The field of an "every N-th" key, or null.
uint64_t* every_field(sim_config& cfg, const std::string& key)
{
    if (key == "dma_fail_every")
        return &cfg.dma_fail_every;
    if (key == "short_every")
        return &cfg.short_every;
    if (key == "corrupt_every")
        return &cfg.corrupt_every;
    if (key == "torn_every")
        return &cfg.torn_every;
    if (key == "stale_every")
        return &cfg.stale_every;
    return nullptr;
}

bool parse_fault_kind(const std::string& text, fault_kind& kind)
{
    static const std::pair<const char*, fault_kind> names[] = {
        {"zero", fault_kind::zero},     {"ones", fault_kind::ones}, {"constant", fault_kind::constant},
        {"period", fault_kind::period}, {"bias", fault_kind::bias}, {"byte", fault_kind::byte},
    };
    for (const auto& name : names)
        if (text == name.first) {
            kind = name.second;
            return true;
        }
    return false;
}

// Parses a QRNG_SIM configuration; "" on success, else the complaint.
std::string parse_config(const std::string& text, sim_config& cfg)
{
    cfg = sim_config();
    bool version_set = false;
    bool chips_set = false;
    bool seed_set = false;
    bool m2 = false;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = text.find(',', pos);
        if (comma == std::string::npos)
            comma = text.size();
        std::string item = trim(text.substr(pos, comma - pos));
        pos = comma + 1;
        if (item.empty())
            continue;
        size_t eq = item.find('=');
        if (eq == std::string::npos)
            return "'" + item + "' is not key=value";
        std::string key = trim(item.substr(0, eq));
        std::string val = trim(item.substr(eq + 1));
        auto bad = [&]() { return "malformed value '" + val + "' for " + key; };
        uint64_t n = 0;
        double d = 0;
        double* seconds = seconds_field(cfg, key);
        uint64_t* every = every_field(cfg, key);
        if (key == "board") {
            if (val == "pcie")
                m2 = false;
            else if (val == "m2")
                m2 = true;
            else
                return bad();
        } else if (key == "version") {
            if (!parse_hex32(val, cfg.version))
                return bad();
            version_set = true;
        } else if (key == "chips") {
            if (!sim_parse_u64(val, n) || n > MAX_CHIPS)
                return bad();
            cfg.chips = static_cast<unsigned>(n);
            chips_set = true;
        } else if (key == "rate") {
            if (!parse_decimal(val, d) || d > MAX_RATE_MIB)
                return bad();
            cfg.rate_mib = d;
        } else if (key == "seed") {
            if (!sim_parse_u64(val, cfg.seed))
                return bad();
            seed_set = true;
        } else if (key == "dead") {
            if (!sim_parse_u64(val, cfg.dead))
                return bad();
        } else if (seconds) {
            if (!parse_decimal(val, *seconds) || *seconds > MAX_SECONDS)
                return bad();
        } else if (every) {
            if (!sim_parse_u64(val, *every))
                return bad();
        } else if (key == "fault") {
            if (!parse_fault_kind(val, cfg.fault))
                return bad();
        } else if (key == "fault_period") {
            if (!sim_parse_u64(val, n) || n < MIN_FAULT_PERIOD || n > MAX_FAULT_PERIOD || (n & (n - 1)) != 0)
                return bad();
            cfg.fault_period = n;
        } else if (key == "missing") {
            if (val == "user")
                cfg.missing_user = true;
            else if (val == "c2h")
                cfg.missing_c2h = true;
            else
                return bad();
        } else if (key == "mmap_fail") {
            if (val != "0" && val != "1")
                return bad();
            cfg.mmap_fail = val == "1";
        } else if (key == "dma_us") {
            if (!sim_parse_u64(val, n) || n > MAX_DMA_US)
                return bad();
            cfg.dma_us = n;
        } else if (key == "dma_hang") {
            if (!sim_parse_u64(val, cfg.dma_hang))
                return bad();
        } else if (key == "dma_hang_s") {
            if (!parse_decimal(val, d) || d > MAX_DMA_HANG_S)
                return bad();
            cfg.dma_hang_s = d;
        } else {
            return "unknown key '" + key + "'";
        }
    }
    if (!version_set)
        cfg.version = m2 ? VERSION_M2 : VERSION_PCIE;
    if (!chips_set)
        cfg.chips = m2 ? CHIPS_M2 : CHIPS_PCIE;
    if (!seed_set)
        cfg.seed = fresh_seed();
    return "";
}

int64_t monotonic_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Sleeps until the monotonic clock reaches `deadline`, through any signal.
void sleep_until(int64_t deadline)
{
    for (int64_t now = monotonic_ns(); now < deadline; now = monotonic_ns()) {
        int64_t left = deadline - now;
        timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        nanosleep(&ts, nullptr);
    }
}

// A cheap, well-spread hash for the rate bytes' jitter.
uint64_t hash64(uint64_t x)
{
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDULL;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ULL;
    return x ^ (x >> 33);
}

// Output i of a SplitMix-style stream of `key`: the faulty content's randomness,
// independent of the healthy stream.
uint64_t keyed(uint64_t key, uint64_t i)
{
    return hash64(key + (i + 1) * WEYL);
}

// The content within the fault window: the words at absolute positions
// [first, end) are faulty, the others healthy. A plain value, so that a DMA read
// can use a copy outside the model's lock.
struct fault_content {
    fault_kind kind = fault_kind::none;
    uint64_t seed = 0;         // of the healthy content
    uint64_t key = 0;          // of the faulty content, derived from the seed
    uint64_t period_words = 16;
    uint64_t first = NO_POSITION; // not open yet: no word is faulty
    uint64_t end = NO_POSITION;   // not closed yet: every word from `first` on is

    bool active() const { return kind != fault_kind::none && first != NO_POSITION; }

    // The faulty word at position n. Those derived from hashes differ from the
    // healthy word there (lowest bit flipped when they happen to equal it), so
    // that a comparison with the healthy content counts every faulty word; zero,
    // ones and constant stay exact (each equals a healthy word with chance 2^-32).
    uint32_t word(uint64_t n) const
    {
        uint32_t w = 0;
        switch (kind) {
        case fault_kind::none:
            return sim_content_word(seed, n);
        case fault_kind::zero:
            return 0;
        case fault_kind::ones:
            return 0xFFFFFFFF;
        case fault_kind::constant:
            return FAULT_CONSTANT;
        case fault_kind::period: {
            // Byte k of the block is byte k % 8 of keyed(key, k / 8); word n holds
            // bytes 4n..4n+3, so byte b of the stream is block[b % fault_period].
            uint64_t i = n % period_words;
            uint64_t h = keyed(key, i / 2);
            w = static_cast<uint32_t>((i & 1) ? h >> 32 : h);
            break;
        }
        case fault_kind::bias:
            // Each bit from its own 32-bit uniform value: 1 with probability 0.51.
            for (unsigned bit = 0; bit < 32; bit += 2) {
                uint64_t h = keyed(key, n * 16 + bit / 2);
                w |= static_cast<uint32_t>(static_cast<uint32_t>(h) < BIAS_THRESHOLD) << bit;
                w |= static_cast<uint32_t>(static_cast<uint32_t>(h >> 32) < BIAS_THRESHOLD) << (bit + 1);
            }
            break;
        case fault_kind::byte: {
            // Per byte, 4 bits choose FAULT_BYTE (1 in 16), 8 bits the byte otherwise.
            uint64_t h = keyed(key, n);
            for (unsigned i = 0; i < 4; i++, h >>= 12) {
                uint32_t b = (h & 0xF) == 0 ? FAULT_BYTE : static_cast<uint32_t>((h >> 4) & 0xFF);
                w |= b << (8 * i);
            }
            break;
        }
        }
        return w == sim_content_word(seed, n) ? w ^ 1 : w;
    }

    // Replaces the bytes of the window among `size` bytes of content starting at
    // absolute byte `from` (any alignment); no work for bytes outside it.
    void overlay(unsigned char* out, uint64_t from, size_t size) const
    {
        if (!active())
            return;
        uint64_t to = from + size;
        uint64_t lo = std::max(from, first * 4);
        uint64_t hi = end == NO_POSITION ? to : std::min(to, end * 4);
        while (lo < hi) {
            uint64_t n = lo / 4;
            uint32_t w = word(n);
            unsigned char bytes[4] = {static_cast<unsigned char>(w), static_cast<unsigned char>(w >> 8),
                                      static_cast<unsigned char>(w >> 16), static_cast<unsigned char>(w >> 24)};
            uint64_t stop = std::min(hi, n * 4 + 4);
            std::memcpy(out + (lo - from), bytes + (lo - n * 4), static_cast<size_t>(stop - lo));
            lo = stop;
        }
    }

    // XOR of the 512 words written from `first_word` on, faulty ones included.
    uint32_t checksum(uint64_t first_word) const
    {
        uint32_t c = sim_block_checksum(seed, first_word);
        if (!active())
            return c;
        uint64_t stop = std::min(first_word + SIM_BLOCK_WORDS, end);
        for (uint64_t n = std::max(first_word, first); n < stop; n++)
            c ^= sim_content_word(seed, n) ^ word(n);
        return c;
    }
};

struct report_t {
    uint32_t checksum = 0;
    uint32_t address = 0;
};

class model {
public:
    std::mutex mtx;

    // Everything below is guarded by mtx.
    sim_config cfg;
    bool clock_frozen = false;
    int64_t frozen_ns = 0;

    bool generating = false;
    uint64_t base_words = 0; // words written at t0
    int64_t t0 = 0;
    int64_t death_ns = NEVER;
    bool started_once = false;
    // From the first spi_start: the pointer stands still over [stall_from, stall_until).
    int64_t stall_from = NEVER, stall_until = NEVER;
    // Pending events of the board's own, NEVER once applied (catch_up()).
    int64_t restart_at = NEVER, fault_open_at = NEVER, fault_close_at = NEVER;
    fault_content fault;

    uint32_t chip_mask = 0xFFFFFFFF;
    uint32_t standby = 0;
    bool spi_enabled = false, filter = false, drbg = false, debug = false;
    uint32_t last_command = 0;
    uint32_t led_select = 0;
    uint32_t led[16] = {};
    uint32_t chip_data = 0;
    uint64_t chip_writes = 0;
    sim_chip_write last_chip_write;
    uint64_t dma_reads = 0;
    uint64_t dma_bytes = 0;
    uint64_t reports_published = 0;
    uint64_t last_report_block = UINT64_MAX;
    bool last_report_corrupt = false;
    uint64_t pair_reads = 0; // reads of the checksum report pair, for torn_every
    bool last_pair_torn = false;
    uint64_t cached_block = UINT64_MAX;
    uint32_t cached_checksum = 0;

    int trace_fd = -1;
    std::string stats_path; // QRNG_SIM_STATS: where the counters go when the process exits

    void reset(const sim_config& c)
    {
        cfg = c;
        clock_frozen = false;
        generating = false;
        base_words = 0;
        t0 = monotonic_ns();
        death_ns = NEVER;
        started_once = false;
        stall_from = stall_until = NEVER;
        restart_at = fault_open_at = fault_close_at = NEVER;
        fault = fault_content();
        fault.kind = c.fault;
        fault.seed = c.seed;
        fault.key = hash64(c.seed ^ FAULT_KEY_TAG);
        fault.period_words = c.fault_period / 4;
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
        cached_block = UINT64_MAX;
    }

    int64_t now() const { return clock_frozen ? frozen_ns : monotonic_ns(); }

    // Chips present, not dead and not masked off (time of death aside).
    uint64_t enabled_chips() const
    {
        uint64_t present = cfg.chips >= 64 ? ~0ULL : (1ULL << cfg.chips) - 1;
        return present & ~cfg.dead & chip_mask;
    }

    bool chip_works(unsigned i, int64_t t) const
    {
        return generating && i < cfg.chips && ((enabled_chips() >> i) & 1) && t < death_ns;
    }

    uint64_t words_at(int64_t t) const
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

    // Folds the pointer's advance so far into base_words before the state changes.
    void settle(int64_t t)
    {
        base_words = words_at(t);
        t0 = t;
    }

    // What spi_reset and start-up do to the ring: back to 0 of lap 0, content forgotten.
    void rewind(int64_t t)
    {
        settle(t);
        base_words = 0;
    }

    // Applies, in the order of their times, the board's own events up to t: the
    // restart, and the fault window's bounds, each the position reached at its
    // time. Every operation calls it before it reads or changes the state, so
    // each event is resolved with the state that held at its time, whatever
    // state change follows. At equal times the restart comes first, so a window
    // opening with it starts at position 0.
    void catch_up(int64_t t)
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
                rewind(when);
            else if (next == &fault_open_at)
                fault.first = words_at(when);
            else
                fault.end = words_at(when);
        }
    }

    // t plus `seconds` (negative: NEVER).
    static int64_t after(int64_t t, double seconds)
    {
        return seconds < 0 ? NEVER : t + static_cast<int64_t>(std::llround(seconds * 1e9));
    }

    // The timed behaviour, from the first spi_start since configuration at t.
    void schedule(int64_t t)
    {
        death_ns = after(t, cfg.die_after_s);
        restart_at = after(t, cfg.restart_after_s);
        stall_from = after(t, cfg.stall_after_s);
        stall_until = stall_from == NEVER ? NEVER : after(stall_from, cfg.stall_for_s);
        if (cfg.fault != fault_kind::none) {
            fault_open_at = after(t, cfg.fault_after_s);
            fault_close_at = after(fault_open_at, cfg.fault_for_s);
        }
    }

    uint32_t rate_byte(unsigned i, int64_t t) const
    {
        if (!chip_works(i, t))
            return 0;
        uint64_t tick = static_cast<uint64_t>(t / RATE_BYTE_PERIOD_NS);
        return 0xF0 | static_cast<uint32_t>(hash64(cfg.seed ^ (tick * 64 + i)) & 0x0F);
    }

    uint64_t rate_word(int64_t t) const
    {
        uint64_t w = 0;
        for (unsigned i = 0; i < 8 && i < cfg.chips; i++)
            w |= static_cast<uint64_t>(rate_byte(i, t)) << (8 * i);
        return w;
    }

    uint32_t status_word(int64_t t) const
    {
        uint32_t s = 0;
        for (unsigned i = 0; i < 32 && i < cfg.chips; i++)
            if (chip_works(i, t))
                s |= 1u << i;
        return s;
    }

    uint32_t filter_counter(unsigned chip, bool second, int64_t t) const
    {
        if (!filter || !chip_works(chip, t))
            return 0;
        uint32_t total = 0x100000 + static_cast<uint32_t>((t / 1000000) & 0xFFFF);
        if (second)
            return total;
        uint32_t dropped = total / 128 * (2 + (chip * 5) % 17);
        return total - dropped;
    }

    // The report for the words written so far; counts a newly seen block.
    report_t report(uint64_t words)
    {
        report_t r;
        if (words < SIM_BLOCK_WORDS)
            return r;
        uint64_t block = words / SIM_BLOCK_WORDS - 1;
        uint64_t first = block * SIM_BLOCK_WORDS;
        if (block != cached_block) {
            cached_block = block;
            cached_checksum = fault.checksum(first);
        }
        if (block != last_report_block) {
            last_report_block = block;
            reports_published++;
            last_report_corrupt = cfg.corrupt_every != 0 && reports_published % cfg.corrupt_every == 0;
        }
        r.checksum = cached_checksum ^ (last_report_corrupt ? 0x80000001u : 0u);
        r.address = static_cast<uint32_t>(first % SIM_RING_WORDS);
        return r;
    }

    // A read of the report pair: every torn_every-th (never right after a torn
    // one) carries the checksum of the block before the one reported, as if the
    // board had published the new block between the two 32-bit reads. Before
    // the first block, the report read 0.
    report_t report_pair(uint64_t words)
    {
        report_t r = report(words);
        pair_reads++;
        bool torn = cfg.torn_every != 0 && !last_pair_torn && pair_reads % cfg.torn_every == 0;
        last_pair_torn = torn;
        if (torn && words >= 2 * SIM_BLOCK_WORDS)
            r.checksum = fault.checksum((words / SIM_BLOCK_WORDS - 2) * SIM_BLOCK_WORDS);
        else if (torn)
            r.checksum = 0;
        return r;
    }

    uint32_t read_word(int offset, int64_t t, uint64_t words, report_t& rep, bool& have_report)
    {
        switch (offset) {
        case REG_CONTROL:
            return cfg.version;
        case REG_CHIPS:
            return cfg.chips;
        case REG_DDR_MASK:
            return static_cast<uint32_t>(words % SIM_RING_WORDS);
        case REG_STATUS:
            return status_word(t);
        case REG_RATE_LO:
            return static_cast<uint32_t>(rate_word(t));
        case REG_RATE_HI:
            return static_cast<uint32_t>(rate_word(t) >> 32);
        case REG_REPORT_0:
        case REG_REPORT_1:
            if (!have_report) {
                rep = report(words);
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

    void command(uint32_t value, int64_t t)
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

    void write(int offset, uint32_t value, int64_t t)
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

    // One line, one write(2), on the O_APPEND descriptor.
    void trace(const char* fmt, ...) __attribute__((format(printf, 2, 3)))
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

    bool open_trace(const std::string& path)
    {
        if (trace_fd >= 0)
            close(trace_fd);
        trace_fd = -1;
        if (path.empty())
            return true;
        trace_fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        return trace_fd >= 0;
    }
};

model& the_model();

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
                       m.dma_reads, m.dma_bytes, m.words_at(t));
    }
    int fd = open(m.stats_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        fprintf(stderr, "QRNG_SIM_STATS: cannot open %s: %s\n", m.stats_path.c_str(), strerror(errno));
        return;
    }
    ssize_t w = ::write(fd, text, static_cast<size_t>(len));
    (void)w; // nothing more to do about it while the process ends
    close(fd);
}

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

// Reads the environment when the process starts, so that a bad configuration
// ends it before the daemon does anything.
const bool model_loaded = (the_model(), true);

} // namespace

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
    uint64_t words = m.words_at(t);
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
    uint64_t words = m.words_at(t);
    report_t rep;
    bool have_report = false;
    if (offset == REG_REPORT_0 && out && count >= 2) {
        rep = m.report_pair(words);
        have_report = true;
    }
    unsigned long n = (out && count > 0) ? count : 1;
    unsigned int first = 0;
    for (unsigned long i = 0; i < n; i++) {
        int off = offset + static_cast<int>(4 * i);
        unsigned int v = m.read_word(off, t, words, rep, have_report);
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
    uint64_t words;
    uint64_t seed;
    uint64_t dma_us;
    fault_content fault;
    {
        std::lock_guard<std::mutex> lock(m.mtx);
        dma_us = m.cfg.dma_us;
        seed = m.cfg.seed;
        int64_t t = m.now();
        m.catch_up(t);
        words = m.words_at(t);
        fault = m.fault;
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
        // Bytes below the pointer hold the current lap, the rest the previous lap
        // (or nothing yet, which reads as 0); the fault window's words are faulty.
        auto written = [&](uint64_t first_byte, unsigned char* out, size_t len) {
            sim_content_bytes(seed, first_byte, out, len);
            fault.overlay(out, first_byte, len);
        };
        unsigned char* out = static_cast<unsigned char*>(buf);
        uint64_t lap = words / SIM_RING_WORDS;
        uint64_t split = (words % SIM_RING_WORDS) * 4;
        uint64_t begin = offset;
        uint64_t end = offset + static_cast<uint64_t>(result);
        if (begin < split) {
            uint64_t stop = std::min(end, split);
            written(lap * SIM_RING_BYTES + begin, out, static_cast<size_t>(stop - begin));
            out += stop - begin;
            begin = stop;
        }
        if (begin < end) {
            if (lap > 0)
                written((lap - 1) * SIM_RING_BYTES + begin, out, static_cast<size_t>(end - begin));
            else
                std::memset(out, 0, static_cast<size_t>(end - begin));
        }
    }
    if (dma_us > 0)
        sleep_until(started + static_cast<int64_t>(dma_us) * 1000);
    return result;
}
