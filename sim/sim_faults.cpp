// The simulated board's faulty content: what fault= writes within the window.
#include "sim_faults.h"

#include "sim_content.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace simboard {

namespace {

constexpr uint8_t FAULT_CONSTANT = 0x5A;
constexpr uint8_t FAULT_BYTE = 0xA5;
constexpr uint32_t FAULT_BYTES = 0xA5A5A5A5;
// Mixed into the seed for the key of the faulty content, apart from the healthy stream.
constexpr uint64_t FAULT_KEY_TAG = 0x3C6EF372FE94F82BULL;

} // namespace

uint32_t load_le32(const unsigned char* in)
{
    uint32_t w;
    std::memcpy(&w, in, sizeof w);
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
    w = __builtin_bswap32(w);
#endif
    return w;
}

void store_le32(unsigned char* out, uint32_t w)
{
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
    w = __builtin_bswap32(w);
#endif
    std::memcpy(out, &w, sizeof w);
}

void fault_content::configure(const sim_config& cfg)
{
    kind = cfg.fault;
    seed = cfg.seed;
    key = hash64(cfg.seed ^ FAULT_KEY_TAG);
    period_words = cfg.fault_period / 4;
    // fault_p * 2^32: 0.51 gives 2190433321.
    bias_threshold = static_cast<uint32_t>(std::min(4294967295.0, std::round(cfg.fault_p * 4294967296.0)));
    stride_words = cfg.fault_stride / 4;
    // Bit k of a line is bit k % 8 of its byte k / 8, so bit j of its word i.
    for (unsigned i = 0; i < 16; i++) {
        stuck_mask[i] = 0;
        for (unsigned j = 0; j < 32; j++)
            if ((32 * i + j) % cfg.fault_lane == cfg.fault_bit % cfg.fault_lane)
                stuck_mask[i] |= 1u << j;
    }
    stuck_bits = cfg.fault_value ? 0xFFFFFFFF : 0;
    lane_word = cfg.fault_byte / 4;
    lane_mask = 0xFFu << (8 * (cfg.fault_byte % 4));
}

PURE_CONTENT uint32_t fault_content::hashed(uint64_t n, uint32_t healthy) const
{
    uint32_t w = 0;
    if (kind == fault_kind::period) {
        // The board repeats what it wrote over the window's first period.
        w = sim_content_word(seed, first + (n - first) % period_words);
    } else if (kind == fault_kind::bias) {
        // Each bit from its own 32-bit uniform value: 1 with probability fault_p.
        for (unsigned bit = 0; bit < 32; bit += 2) {
            uint64_t h = keyed(key, n * 16 + bit / 2);
            w |= static_cast<uint32_t>(static_cast<uint32_t>(h) < bias_threshold) << bit;
            w |= static_cast<uint32_t>(static_cast<uint32_t>(h >> 32) < bias_threshold) << (bit + 1);
        }
    } else {
        // Per byte, 4 bits choose FAULT_BYTE (1 in 16), 8 bits the byte otherwise.
        uint64_t h = keyed(key, n);
        for (unsigned i = 0; i < 4; i++, h >>= 12) {
            uint32_t b = (h & 0xF) == 0 ? FAULT_BYTE : static_cast<uint32_t>((h >> 4) & 0xFF);
            w |= b << (8 * i);
        }
    }
    return w == healthy ? w ^ 1 : w;
}

PURE_CONTENT void fault_content::overlay(unsigned char* out, uint64_t n, uint64_t count) const
{
    size_t bytes = static_cast<size_t>(count * 4);
    switch (kind) {
    case fault_kind::none:
    case fault_kind::lap:
        return;
    case fault_kind::zero:
        std::memset(out, 0, bytes);
        return;
    case fault_kind::ones:
        std::memset(out, 0xFF, bytes);
        return;
    case fault_kind::constant:
        std::memset(out, FAULT_CONSTANT, bytes);
        return;
    case fault_kind::stuck:
        for (uint64_t i = 0; i < count; i++, out += 4) {
            uint32_t mask = stuck_mask[(n + i) % 16];
            store_le32(out, (load_le32(out) & ~mask) | (stuck_bits & mask));
        }
        return;
    case fault_kind::lane:
        for (uint64_t i = 0; i < count; i++, out += 4)
            if ((n + i) % 16 == lane_word)
                store_le32(out, (load_le32(out) & ~lane_mask) | (FAULT_BYTES & lane_mask));
        return;
    case fault_kind::period:
        for (uint64_t i = 0; i < count; i++, out += 4)
            if (n + i - first >= period_words)
                store_le32(out, hashed(n + i, load_le32(out)));
        return;
    case fault_kind::bias:
    case fault_kind::byte:
        for (uint64_t i = 0; i < count; i++, out += 4)
            if (kind != fault_kind::byte || stride_words == 0 || (n + i) % stride_words >= 2)
                store_le32(out, hashed(n + i, load_le32(out)));
        return;
    }
}

} // namespace simboard
