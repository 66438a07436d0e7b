// The simulated board's configuration: the QRNG_SIM syntax and its checks.
#include "sim_config.h"

#include "sim_content.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <random>

namespace simboard {

namespace {

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

// An integer key from `min` to `max`, a multiple of `align` or, with `pow2`, a
// power of two.
struct bounded_key {
    uint64_t* field = nullptr;
    uint64_t min = 0, max = 0, align = 1;
    bool pow2 = false;

    bool accepts(uint64_t n) const
    {
        return n >= min && n <= max && n % align == 0 && (!pow2 || (n & (n - 1)) == 0);
    }
};

bounded_key bounded_field(sim_config& cfg, const std::string& key)
{
    constexpr uint64_t ANY = UINT64_MAX - 3;
    const struct {
        const char* name;
        bounded_key bounds;
    } keys[] = {
        {"resume_at", {&cfg.resume_at, 0, SIM_RING_BYTES - 4, 4}},
        {"burst", {&cfg.burst, 4, MAX_BURST, 4}},
        {"lag", {&cfg.lag, 0, MAX_BURST, 4}},
        {"fault_period", {&cfg.fault_period, 8, 4 << 20, 1, true}},
        {"fault_at", {&cfg.fault_at, 0, ANY, 4}},
        {"fault_bytes", {&cfg.fault_bytes, 0, ANY, 4}},
        {"fault_bit", {&cfg.fault_bit, 0, 511}},
        {"fault_lane", {&cfg.fault_lane, 8, 512, 1, true}},
        {"fault_value", {&cfg.fault_value, 0, 1}},
        {"fault_byte", {&cfg.fault_byte, 0, 63}},
        {"fault_stride", {&cfg.fault_stride, 16, 65536, 1, true}},
    };
    for (const auto& k : keys)
        if (key == k.name)
            return k.bounds;
    return bounded_key();
}

bool parse_fault_kind(const std::string& text, fault_kind& kind)
{
    static const std::pair<const char*, fault_kind> names[] = {
        {"zero", fault_kind::zero},     {"ones", fault_kind::ones}, {"constant", fault_kind::constant},
        {"period", fault_kind::period}, {"bias", fault_kind::bias}, {"byte", fault_kind::byte},
        {"lap", fault_kind::lap},       {"stuck", fault_kind::stuck}, {"lane", fault_kind::lane},
    };
    for (const auto& name : names)
        if (text == name.first) {
            kind = name.second;
            return true;
        }
    return false;
}

} // namespace

// Parses a QRNG_SIM configuration; "" on success, else the complaint.
std::string parse_config(const std::string& text, sim_config& cfg)
{
    cfg = sim_config();
    bool version_set = false;
    bool chips_set = false;
    bool seed_set = false;
    bool m2 = false;
    bool fault_by_time = false;
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
        bounded_key bounded = bounded_field(cfg, key);
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
            fault_by_time = fault_by_time || key == "fault_after" || key == "fault_for";
        } else if (every) {
            if (!sim_parse_u64(val, *every))
                return bad();
        } else if (bounded.field) {
            if (!sim_parse_u64(val, n) || !bounded.accepts(n))
                return bad();
            *bounded.field = n;
            cfg.fault_by_position = cfg.fault_by_position || key == "fault_at" || key == "fault_bytes";
        } else if (key == "fault") {
            if (!parse_fault_kind(val, cfg.fault))
                return bad();
        } else if (key == "fault_p") {
            if (!parse_decimal(val, cfg.fault_p) || cfg.fault_p <= 0.0 || cfg.fault_p >= 1.0)
                return bad();
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
    if (fault_by_time && cfg.fault_by_position)
        return "fault_at/fault_bytes and fault_after/fault_for cannot be combined";
    if (cfg.fault_bytes != FOR_GOOD && cfg.fault_at > UINT64_MAX - cfg.fault_bytes)
        return "fault_at + fault_bytes is too large";
    if (!version_set)
        cfg.version = m2 ? VERSION_M2 : VERSION_PCIE;
    if (!chips_set)
        cfg.chips = m2 ? CHIPS_M2 : CHIPS_PCIE;
    if (!seed_set)
        cfg.seed = fresh_seed();
    return "";
}

} // namespace simboard
