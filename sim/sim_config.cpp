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

} // namespace

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

} // namespace simboard
