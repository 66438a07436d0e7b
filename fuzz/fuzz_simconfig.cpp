// Fuzz target for the simulated board's configuration parser (the QRNG_SIM
// syntax). sim_configure must never crash; it returns "" or a complaint. A
// rejected configuration leaves the board as it was; an accepted one is what
// the board shows afterwards, in sim_get_state() and in its registers.
#include "sim_model.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

std::string trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return "";
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// The value of the last item with `key`, if any.
bool last_value(const std::string& config, const std::string& key, std::string& value)
{
    bool found = false;
    size_t pos = 0;
    while (pos <= config.size()) {
        size_t comma = config.find(',', pos);
        if (comma == std::string::npos)
            comma = config.size();
        std::string item = config.substr(pos, comma - pos);
        pos = comma + 1;
        size_t eq = item.find('=');
        if (eq != std::string::npos && trim(item.substr(0, eq)) == key) {
            value = trim(item.substr(eq + 1));
            found = true;
        }
    }
    return found;
}

// Decimal, or hexadecimal after 0x (always hexadecimal for the version word).
uint64_t number(const std::string& text, bool hex = false)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        hex = true;
    return std::strtoull(text.c_str(), nullptr, hex ? 16 : 10);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string config(reinterpret_cast<const char*>(data), size);
    sim_state before = sim_get_state();
    std::string error = sim_configure(config);
    sim_state after = sim_get_state();

    if (!error.empty()) {
        // Rejected: the previous configuration stays.
        if (after.version != before.version || after.chips != before.chips || after.seed != before.seed)
            abort();
        return 0;
    }

    // Accepted: a fresh, stopped board with what was asked for.
    std::string value;
    bool m2 = last_value(config, "board", value) && value == "m2";
    uint32_t version = m2 ? 0xD7000001 : 0xDA000102;
    if (last_value(config, "version", value))
        version = static_cast<uint32_t>(number(value, true));
    unsigned chips = m2 ? 4 : 6;
    if (last_value(config, "chips", value))
        chips = static_cast<unsigned>(number(value));
    if (after.version != version || after.chips != chips || after.chips > 32)
        abort();
    if (last_value(config, "seed", value) && after.seed != number(value))
        abort();
    // A board that resumes shows its pointer where it stopped.
    uint64_t resumed = last_value(config, "resume_at", value) ? number(value) / 4 : 0;
    if (after.generating || after.words_written != resumed || after.chip_mask != 0xFFFFFFFF || after.last_command != 0 ||
        after.dma_reads != 0 || after.chip_writes != 0)
        abort();
    if (sim_register_read(0x6000, nullptr, 0) != version || sim_register_read(0x6004, nullptr, 0) != chips)
        abort();
    return 0;
}
