// The simulated board's faulty content: what fault= writes within the window.
#include "sim_faults.h"

#include "sim_content.h"

#include <algorithm>
#include <cstring>

namespace simboard {

namespace {

constexpr uint32_t FAULT_CONSTANT = 0x5A5A5A5A;
constexpr uint8_t FAULT_BYTE = 0xA5;
// A bit of fault=bias is 1 when a 32-bit uniform value is below this: 0.51 * 2^32.
constexpr uint32_t BIAS_THRESHOLD = 2190433321u;

} // namespace

uint32_t fault_content::word(uint64_t n) const
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

void fault_content::overlay(unsigned char* out, uint64_t from, size_t size) const
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

uint32_t fault_content::checksum(uint64_t first_word) const
{
    uint32_t c = sim_block_checksum(seed, first_word);
    if (!active())
        return c;
    uint64_t stop = std::min(first_word + SIM_BLOCK_WORDS, end);
    for (uint64_t n = std::max(first_word, first); n < stop; n++)
        c ^= sim_content_word(seed, n) ^ word(n);
    return c;
}

} // namespace simboard
