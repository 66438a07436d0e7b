// qrng-bench-health: the health tests' cutoffs with their false-alarm
// probabilities, the probability that each fault they are built for passes, and
// their speed on one core over 64 KiB chunks beside a plain memcpy of the same
// chunks.
//
//   qrng-bench-health [SECONDS]     (each measurement runs about SECONDS, 2 by default)
//
// Prints key=value lines: the time the cutoffs take, each cutoff and
// probability, the miss probabilities, then tests_gib_s and memcpy_gib_s (the
// best of three rounds each).
#include "qrng_health.h"

#include <algorithm>
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

// P(X <= k) for X binomial(n, p), as the upper tail of the failures.
double lower_tail(uint64_t n, double p, uint64_t k)
{
    return k >= n ? 1.0 : binomial_upper_tail(n, 1 - p, n - k);
}

} // namespace

int main(int argc, char** argv)
{
    double seconds = argc > 1 ? atof(argv[1]) : 2.0;
    auto start = std::chrono::steady_clock::now();
    const health_limits& l = health_cutoffs();
    printf("cutoffs_ms=%.2f\n", std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    printf("repetition_max=%u\np_repetition=%.3g\np_unwritten=%.3g\np_duplicate=%.3g\np_lane=%.3g\n", l.repetition_max,
           l.p_repetition, l.p_unwritten, l.p_duplicate, l.p_lane);
    printf("byte_sample=%u\nbyte_stride=%u\nbyte_max=%u\np_byte=%.3g\n", l.byte_sample, l.byte_stride, l.byte_max,
           l.p_byte);
    printf("ones_min=%u\nones_max=%u\np_bias=%.3g\n", l.ones_min, l.ones_max, l.p_bias);
    printf("window_ones_min=%u\nwindow_ones_max=%u\np_window=%.3g\n", l.window_ones_min, l.window_ones_max,
           l.p_window);
    printf("pair_ones_min=%u\npair_ones_max=%u\np_pair=%.3g\np_total=%.3g\n", l.pair_ones_min, l.pair_ones_max,
           l.p_pair, l.p_total);

    // How often a faulty chunk passes. A stuck bit or a constant byte of the line
    // shows in the OR or the AND of all lines, a block repeated with a period of a
    // power of two up to 32 KiB in every word at the lag of 64 bytes or of 32 KiB,
    // a chunk the board has not rewritten or that repeats another of the last lap
    // in its fingerprint: those never pass.
    printf("miss_lane=0\nmiss_repetition=0\nmiss_unwritten=0\nmiss_duplicate=0\n");
    // A byte value making 1/16 of the bytes at offsets 8 and up of N-byte blocks,
    // N a power of two from 16 to 65536: at those offsets a byte takes it with
    // probability 1/16 + 15/16 / 256. The sample's words at such offsets (fewest
    // for N = 16: every other word) alone pass at most byte_max of them.
    uint64_t fewest = ~uint64_t{0};
    for (uint64_t n = 16; n <= 65536; n *= 2) {
        uint64_t faulty = 0;
        for (uint64_t i = 0; i < l.byte_sample / 8 * l.byte_stride; i += l.byte_stride)
            faulty += i % (n / 8) != 0;
        fewest = std::min(fewest, faulty * 8);
    }
    printf("byte_fault_sample=%" PRIu64 "\n", fewest);
    printf("miss_byte_1_16=%.3g\n", lower_tail(fewest, 1.0 / 16 + 15.0 / 16 / 256, l.byte_max));
    // Bits 1 with probability 0.505 (0.495 alike, by symmetry): a window of 16
    // chunks passes at most when its 8388608 bits pass together; and one chunk at
    // 0.51 on its own.
    const uint64_t bits = HEALTH_CHUNK_BYTES * 8, window = 16 * bits;
    printf("miss_window_0.505=%.3g\n", lower_tail(window, 0.505, l.window_ones_max));
    printf("miss_pair_0.505=%.3g\n", lower_tail(2 * bits, 0.505, l.pair_ones_max));
    printf("miss_chunk_0.505=%.3g\n", lower_tail(bits, 0.505, l.ones_max));
    printf("miss_chunk_0.51=%.3g\n", lower_tail(bits, 0.51, l.ones_max));

    std::vector<uint64_t> chunks(CHUNKS * WORDS);
    std::mt19937_64 random(1);
    for (uint64_t& w : chunks)
        w = random();
    chunk_tester tester;
    chunk_place where;
    unsigned failed = 0;
    double tests = speed(seconds, [&](size_t c) {
        // Each chunk at the next place of the ring, the board a chunk ahead.
        where.position += HEALTH_CHUNK_WORDS;
        where.address = static_cast<uint32_t>(where.position % MAX_DDR_ADDRESS);
        where.board_before = where.board_after = where.position + HEALTH_CHUNK_WORDS;
        // A word changed, so that the chunks of the next lap differ from these.
        chunks[c * WORDS] += 1;
        failed += tester.test(&chunks[c * WORDS], where).pass ? 0 : 1;
    });
    static uint64_t copy[WORDS];
    double copying = speed(seconds, [&](size_t c) {
        memcpy(copy, &chunks[c * WORDS], HEALTH_CHUNK_BYTES);
        __asm__ volatile("" : : "r"(copy) : "memory");
    });
    printf("tests_gib_s=%.2f\nmemcpy_gib_s=%.2f\nfalse_alarms=%u\n", tests, copying, failed);
    return 0;
}
