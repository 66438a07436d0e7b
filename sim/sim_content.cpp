// The SplitMix64 content of the simulated DDR ring.
#include "sim_content.h"

#include <cstring>

namespace {

constexpr uint64_t GAMMA = 0x9E3779B97F4A7C15ULL;

inline uint64_t mix(uint64_t z)
{
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Stores v as 8 little-endian bytes at any address.
inline void store_le64(unsigned char* out, uint64_t v)
{
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    std::memcpy(out, &v, sizeof v);
}

} // namespace

PURE_CONTENT uint64_t sim_content_output(uint64_t seed, uint64_t k)
{
    return mix(seed + (k + 1) * GAMMA);
}

namespace {

// The inverse of x ^ (x >> s).
uint64_t unshift(uint64_t y, unsigned s)
{
    uint64_t x = y;
    for (unsigned done = s; done < 64; done += s)
        x = y ^ (x >> s);
    return x;
}

// The inverse of an odd number modulo 2^64 (Newton's iteration).
constexpr uint64_t inverse(uint64_t a)
{
    uint64_t x = a;
    for (int i = 0; i < 6; i++)
        x *= 2 - a * x;
    return x;
}

} // namespace

uint64_t sim_content_index(uint64_t seed, uint64_t output)
{
    uint64_t z = unshift(output, 31) * inverse(0x94D049BB133111EBULL);
    z = unshift(z, 27) * inverse(0xBF58476D1CE4E5B9ULL);
    z = unshift(z, 30);
    return (z - seed) * inverse(GAMMA) - 1;
}

PURE_CONTENT uint32_t sim_content_word(uint64_t seed, uint64_t n)
{
    uint64_t v = sim_content_output(seed, n / 2);
    return static_cast<uint32_t>((n & 1) ? v >> 32 : v);
}

PURE_CONTENT void sim_content_bytes(uint64_t seed, uint64_t first_byte, unsigned char* out, size_t size)
{
    uint64_t z = seed + (first_byte / 8 + 1) * GAMMA;
    size_t skip = static_cast<size_t>(first_byte % 8);
    unsigned char bytes[8];
    if (skip != 0 && size > 0) {
        store_le64(bytes, mix(z));
        size_t n = 8 - skip < size ? 8 - skip : size;
        std::memcpy(out, bytes + skip, n);
        out += n;
        size -= n;
        z += GAMMA;
    }
    for (; size >= 8; size -= 8, out += 8, z += GAMMA)
        store_le64(out, mix(z));
    if (size > 0) {
        store_le64(bytes, mix(z));
        std::memcpy(out, bytes, size);
    }
}

bool sim_parse_u64(const std::string& text, uint64_t& value)
{
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    size_t i = hex ? 2 : 0;
    if (i >= text.size())
        return false;
    uint64_t base = hex ? 16 : 10;
    uint64_t v = 0;
    for (; i < text.size(); i++) {
        char c = text[i];
        uint64_t d;
        if (c >= '0' && c <= '9')
            d = static_cast<uint64_t>(c - '0');
        else if (hex && c >= 'a' && c <= 'f')
            d = static_cast<uint64_t>(c - 'a' + 10);
        else if (hex && c >= 'A' && c <= 'F')
            d = static_cast<uint64_t>(c - 'A' + 10);
        else
            return false;
        if (v > (UINT64_MAX - d) / base)
            return false;
        v = v * base + d;
    }
    value = v;
    return true;
}
