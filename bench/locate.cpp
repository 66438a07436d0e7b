// qrng-bench-locate: where in the simulated board's stream a capture begins.
//
//   qrng-bench-locate SEED FILE
//
// Prints "position=N" and "lap=L": the absolute word position of the first word
// of FILE that starts 8 consecutive words of the board's content for SEED (see
// sim/sim_content.h), and the lap it lies in, so that a capture taken from a
// daemon that has been streaming for a while can be checked with
// qrng-verify --from-lap. The stream's outputs are SplitMix64 values, whose mixing
// step is invertible: one whole output gives its index directly. Exits 1 when no
// such place is found within the first 4096 words.
#include "sim_content.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr uint64_t GAMMA = 0x9E3779B97F4A7C15ULL;
constexpr size_t SCAN_WORDS = 4096;
constexpr size_t CONFIRM_WORDS = 8;

// Multiplicative inverse of an odd number modulo 2^64 (Newton's iteration).
uint64_t inverse(uint64_t a)
{
    uint64_t x = a; // correct to 3 bits; each step doubles them
    for (int i = 0; i < 6; i++)
        x *= 2 - a * x;
    return x;
}

// Inverse of z ^ (z >> s).
uint64_t unshift(uint64_t y, int s)
{
    uint64_t z = y;
    for (int i = s; i < 64; i += s)
        z = y ^ (z >> s);
    return z;
}

// The input of the mixing step that gives v.
uint64_t unmix(uint64_t v)
{
    uint64_t z = unshift(v, 31);
    z *= inverse(0x94D049BB133111EBULL);
    z = unshift(z, 27);
    z *= inverse(0xBF58476D1CE4E5B9ULL);
    return unshift(z, 30);
}

} // namespace

int main(int argc, char** argv)
{
    uint64_t seed = 0;
    if (argc != 3 || !sim_parse_u64(argv[1], seed)) {
        fprintf(stderr, "usage: %s SEED FILE\n", argv[0]);
        return 2;
    }
    FILE* f = fopen(argv[2], "rb");
    if (!f) {
        fprintf(stderr, "cannot open %s: %s\n", argv[2], strerror(errno));
        return 2;
    }
    std::vector<uint32_t> w(SCAN_WORDS + CONFIRM_WORDS);
    size_t n = fread(w.data(), 4, w.size(), f);
    fclose(f);
    const uint64_t gamma_inverse = inverse(GAMMA);
    // The index k of the output whose low half is w[i] and high half w[i + 1].
    auto output_index = [&](size_t i) {
        uint64_t v = static_cast<uint64_t>(w[i]) | static_cast<uint64_t>(w[i + 1]) << 32;
        return (unmix(v) - seed) * gamma_inverse - 1;
    };
    auto matches = [&](size_t i, uint64_t position) {
        for (size_t j = 0; j < CONFIRM_WORDS; j++)
            if (sim_content_word(seed, position + j) != w[i + j])
                return false;
        return true;
    };
    for (size_t i = 0; i + CONFIRM_WORDS + 1 <= n; i++) {
        // Word i is either the low half of an output (position 2k) or the high
        // half of one, the next word then starting output k (position 2k - 1).
        for (uint64_t position : {2 * output_index(i), 2 * output_index(i + 1) - 1}) {
            if (matches(i, position)) {
                printf("position=%" PRIu64 "\nlap=%" PRIu64 "\n", position, position / SIM_RING_WORDS);
                return 0;
            }
        }
    }
    fprintf(stderr, "no place in the stream of seed %" PRIu64 " matches %s\n", seed, argv[2]);
    return 1;
}
