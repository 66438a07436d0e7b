// Internal to the simulated board: the content within the fault window (fault=,
// see sim_model.h) and the hashes it is made from.
#pragma once

#include "sim_config.h"

#include <cstddef>
#include <cstdint>

namespace simboard {

constexpr uint64_t NO_POSITION = UINT64_MAX; // a fault window's bound not reached yet
// Mixed into the seed for the key of the faulty content, apart from the healthy stream.
constexpr uint64_t FAULT_KEY_TAG = 0x3C6EF372FE94F82BULL;

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
    uint32_t word(uint64_t n) const;

    // Replaces the bytes of the window among `size` bytes of content starting at
    // absolute byte `from` (any alignment); no work for bytes outside it.
    void overlay(unsigned char* out, uint64_t from, size_t size) const;

    // XOR of the 512 words written from `first_word` on, faulty ones included.
    uint32_t checksum(uint64_t first_word) const;
};

} // namespace simboard
