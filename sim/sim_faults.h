// Internal to the simulated board: the content within the fault window (fault=,
// see sim_model.h) and the hashes it is made from.
#pragma once

#include "sim_config.h"

#include <cstddef>
#include <cstdint>

namespace simboard {

constexpr uint64_t NO_POSITION = UINT64_MAX; // a fault window's bound not reached yet

// A cheap, well-spread hash for the rate bytes' jitter.
inline uint64_t hash64(uint64_t x)
{
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDULL;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ULL;
    return x ^ (x >> 33);
}

// Output i of a SplitMix-style stream of `key`: the faulty content's randomness,
// independent of the healthy stream.
inline uint64_t keyed(uint64_t key, uint64_t i)
{
    return hash64(key + (i + 1) * 0x9E3779B97F4A7C15ULL);
}

// The little-endian bytes of a word, at any address.
uint32_t load_le32(const unsigned char* in);
void store_le32(unsigned char* out, uint32_t w);

// The fault window: the words at stream positions [first, end) are faulty, the
// others healthy. A plain value, so that a DMA read can use a copy outside the
// model's lock. fault=lap, which depends on what the ring held before, is
// applied by ring_content (sim_ring.h); the other kinds here.
struct fault_content {
    fault_kind kind = fault_kind::none;
    uint64_t seed = 0;            // of the healthy content
    uint64_t key = 0;             // of the faulty content, derived from the seed
    uint64_t period_words = 16;
    uint32_t bias_threshold = 0;  // a bias bit is 1 when a 32-bit uniform value is below this
    uint64_t stride_words = 0;    // fault=byte: 0, or healthy words 0 and 1 of each block this long
    uint32_t stuck_mask[16] = {}; // fault=stuck: the stuck bits of each word of a 64-byte line
    uint32_t stuck_bits = 0;      // 0 or all ones
    uint64_t lane_word = 0;       // fault=lane: the word of the line, and the byte's bits in it
    uint32_t lane_mask = 0;
    uint64_t first = NO_POSITION; // not open yet: no word is faulty
    uint64_t end = NO_POSITION;   // not closed yet: every word from `first` on is

    // Everything from the configuration but the window's bounds.
    void configure(const sim_config& cfg);

    bool active() const { return kind != fault_kind::none && first != NO_POSITION; }

    // The part [lo, hi) of the positions [n, n + count) within the window; false
    // when none is.
    bool within(uint64_t n, uint64_t count, uint64_t& lo, uint64_t& hi) const
    {
        if (!active())
            return false;
        lo = n > first ? n : first;
        hi = n + count < end ? n + count : end;
        return lo < hi;
    }

    // Replaces the healthy words in `out` (stream positions [n, n + count), all
    // within the window) by the faulty ones; not fault=lap.
    void overlay(unsigned char* out, uint64_t n, uint64_t count) const;

private:
    // A faulty word at position n (repeated or hash-derived), never equal to the
    // healthy one.
    uint32_t hashed(uint64_t n, uint32_t healthy) const;
};

} // namespace simboard
