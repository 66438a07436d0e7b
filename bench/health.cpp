// qrng-bench-health: the health tests' cutoffs with their false-alarm
// probabilities, and their speed on one core over 64 KiB chunks beside a plain
// memcpy of the same chunks.
//
//   qrng-bench-health [SECONDS]     (each measurement runs about SECONDS, 2 by default)
//
// Prints key=value lines: each cutoff and probability, then tests_gib_s and
// memcpy_gib_s (the best of three rounds each).
#include "qrng_health.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr size_t CHUNKS = 64; // 4 MiB of chunks, more than the caches hold
constexpr size_t WORDS = HEALTH_CHUNK_BYTES / 8;

// GiB/s of fn over the chunks, the best of three rounds of `seconds` each.
template <class F> double speed(double seconds, F fn)
{
    double best = 0;
    for (int round = 0; round < 3; round++) {
        auto start = std::chrono::steady_clock::now();
        double elapsed = 0;
        uint64_t chunks = 0;
        while (elapsed < seconds) {
            for (size_t c = 0; c < CHUNKS; c++)
                fn(c);
            chunks += CHUNKS;
            elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
        best = std::max(best, static_cast<double>(chunks) * HEALTH_CHUNK_BYTES / elapsed / 1073741824.0);
    }
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    double seconds = argc > 1 ? atof(argv[1]) : 2.0;
    const health_limits& l = health_cutoffs();
    printf("repetition_max=%u\np_repetition=%.3g\np_stale=%.3g\nbyte_max=%u\np_byte=%.3g\n", l.repetition_max,
           l.p_repetition, l.p_stale, l.byte_max, l.p_byte);
    printf("ones_min=%u\nones_max=%u\np_bias=%.3g\np_total=%.3g\n", l.ones_min, l.ones_max, l.p_bias,
           l.p_repetition + l.p_stale + l.p_byte + l.p_bias);
    // How often a chunk of a faulty board passes: bits 1 with probability 0.51
    // (0.49 alike), and a byte value making 1/16 of the bytes (it then shows in at
    // least 1/16 + 15/16 * 1/256 of the sample), by the lower tails as upper ones.
    const uint64_t bits = HEALTH_CHUNK_BYTES * 8, sample = 2048;
    printf("miss_bias_0.51=%.3g\n", binomial_upper_tail(bits, 0.49, bits - l.ones_max));
    printf("miss_byte_1_16=%.3g\n", binomial_upper_tail(sample, 1 - (1.0 / 16 + 15.0 / 16 / 256), sample - l.byte_max));

    std::vector<uint64_t> chunks(CHUNKS * WORDS);
    std::mt19937_64 random(1);
    for (uint64_t& w : chunks)
        w = random();
    chunk_tester tester;
    uint32_t address = 0;
    unsigned failed = 0;
    double tests = speed(seconds, [&](size_t c) {
        failed += tester.test(&chunks[c * WORDS], address += 16384).pass ? 0 : 1;
    });
    static uint64_t copy[WORDS];
    double copying = speed(seconds, [&](size_t c) {
        memcpy(copy, &chunks[c * WORDS], HEALTH_CHUNK_BYTES);
        __asm__ volatile("" : : "r"(copy) : "memory");
    });
    printf("tests_gib_s=%.2f\nmemcpy_gib_s=%.2f\nfalse_alarms=%u\n", tests, copying, failed);
    return 0;
}
