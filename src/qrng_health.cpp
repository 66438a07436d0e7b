// The health tests of the board's output, their cutoffs, and the board's health.
#include "qrng_health.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t WORDS = HEALTH_CHUNK_BYTES / 8; // 64-bit words in a chunk
constexpr size_t LAG_WORDS = 4096 / 8;           // the repetition test's lag
constexpr size_t PAIRS = WORDS - LAG_WORDS;      // words compared with the one 4096 bytes before
constexpr uint64_t BITS = HEALTH_CHUNK_BYTES * 8;
// The byte test looks at every 32nd 64-bit word: 2048 bytes spread over the chunk.
constexpr size_t SAMPLE_STRIDE = 32;
constexpr uint64_t SAMPLE_BYTES = WORDS / SAMPLE_STRIDE * 8;

// How the false-alarm budget of 2e-15 per chunk is split.
constexpr double BIAS_BUDGET = 5e-16;       // both tails together
constexpr double BYTE_BUDGET = 5e-16;       // any of the 256 values
constexpr unsigned REPETITION_ALLOWED = 7;  // repeated words a passing chunk may hold

// log C(n, k) + k log p + (n - k) log(1 - p)
double log_binomial_term(uint64_t n, double p, uint64_t k)
{
    double dn = static_cast<double>(n), dk = static_cast<double>(k);
    return std::lgamma(dn + 1) - std::lgamma(dk + 1) - std::lgamma(dn - dk + 1) + dk * std::log(p) +
           (dn - dk) * std::log1p(-p);
}

// ln of C(n, k) as a double, for the union bounds of the equality tests.
double log_choose(double n, double k)
{
    return std::lgamma(n + 1) - std::lgamma(k + 1) - std::lgamma(n - k + 1);
}

// The smallest k at or above the mean with P(X > k) <= budget, X binomial(n, p).
// The tail is summed once, from where its terms vanish down to the cutoff: a
// search that summed the tail afresh for each k would take most of a second,
// and it runs before the first chunk is judged.
uint64_t upper_cutoff(uint64_t n, double p, double budget)
{
    const double mean = static_cast<double>(n) * p;
    const double sigma = std::sqrt(mean * (1 - p));
    // Beyond 40 standard deviations the terms are negligible beside any budget.
    uint64_t i = std::min<uint64_t>(n, static_cast<uint64_t>(mean + 40 * sigma) + 1);
    double tail = 0;
    for (; static_cast<double>(i) > mean; i--) {
        tail += std::exp(log_binomial_term(n, p, i));
        if (tail > budget)
            return i; // P(X >= i) is over the budget, P(X > i) is not
    }
    return i;
}

health_limits compute_limits()
{
    health_limits l;
    // Repetition: each repeated word is an equality of two independent uniform
    // 64-bit words; more than R of the PAIRS words repeat with probability at most
    // C(PAIRS, R + 1) 2^(-64 (R + 1)).
    l.repetition_max = REPETITION_ALLOWED;
    l.p_repetition = std::exp(log_choose(PAIRS, REPETITION_ALLOWED + 1) -
                              (REPETITION_ALLOWED + 1) * 64 * std::log(2.0));
    // Stale: four words of the chunk, 256 bits, equal to those of one of the 16
    // chunks remembered.
    l.p_stale = 16 * std::pow(2.0, -256);
    // Byte: the count of the most common value of the sample, binomial(2048, 1/256)
    // for each of the 256 values.
    uint64_t k = upper_cutoff(SAMPLE_BYTES, 1.0 / 256, BYTE_BUDGET / 256);
    l.byte_max = static_cast<unsigned>(k);
    l.p_byte = 256 * binomial_upper_tail(SAMPLE_BYTES, 1.0 / 256, k + 1);
    // Bias: the 1 bits, binomial(524288, 1/2), both tails.
    k = upper_cutoff(BITS, 0.5, BIAS_BUDGET / 2);
    l.ones_max = static_cast<uint32_t>(k);
    l.ones_min = static_cast<uint32_t>(BITS - k);
    l.p_bias = 2 * binomial_upper_tail(BITS, 0.5, k + 1);
    return l;
}

// The counts of one chunk, in one pass over it. Built for the machine's widest
// instructions, chosen at run time (an ifunc, which ThreadSanitizer's runtime
// cannot start with).
#if defined(__SANITIZE_THREAD__)
// Pure arithmetic on the read loop's own buffer: nothing for ThreadSanitizer to
// see, and its checks of every load would slow the loop below the board's rate.
#define WIDEST_INSTRUCTIONS __attribute__((no_sanitize("thread")))
#else
#define WIDEST_INSTRUCTIONS __attribute__((target_clones("arch=x86-64-v3", "popcnt", "default")))
#endif
struct counts {
    uint64_t repeated = 0;
    uint64_t ones = 0;
    unsigned byte_count[256] = {};
};

WIDEST_INSTRUCTIONS void count_chunk(const uint64_t* w, counts& c)
{
    // Four sums, so that each popcount need not wait for the one before.
    uint64_t a = 0, b = 0, d = 0, e = 0;
    for (size_t i = 0; i < WORDS; i += 4) {
        a += static_cast<uint64_t>(__builtin_popcountll(w[i]));
        b += static_cast<uint64_t>(__builtin_popcountll(w[i + 1]));
        d += static_cast<uint64_t>(__builtin_popcountll(w[i + 2]));
        e += static_cast<uint64_t>(__builtin_popcountll(w[i + 3]));
    }
    c.ones = a + b + d + e;
    uint64_t repeated = 0;
    for (size_t i = LAG_WORDS; i < WORDS; i++)
        repeated += w[i] == w[i - LAG_WORDS];
    c.repeated = repeated;
    // Four tables, so that neighbouring bytes of equal value do not wait for each other.
    uint16_t tables[4][256] = {};
    for (size_t i = 0; i < WORDS; i += SAMPLE_STRIDE) {
        uint64_t x = w[i];
        for (int b = 0; b < 8; b++)
            tables[b & 3][(x >> (8 * b)) & 0xFF]++;
    }
    for (int v = 0; v < 256; v++)
        c.byte_count[v] = tables[0][v] + tables[1][v] + tables[2][v] + tables[3][v];
}

} // namespace

double binomial_upper_tail(uint64_t n, double p, uint64_t k)
{
    if (k == 0)
        return 1.0;
    if (k > n)
        return 0.0;
    // The terms fall away from the mean: sum from k until they no longer count.
    double sum = 0;
    for (uint64_t i = k; i <= n; i++) {
        double term = std::exp(log_binomial_term(n, p, i));
        sum += term;
        if (static_cast<double>(i) > static_cast<double>(n) * p && term < sum * 1e-17)
            break;
    }
    return sum;
}

const health_limits& health_cutoffs()
{
    static const health_limits limits = compute_limits();
    return limits;
}

const char* health_test_name(health_test t)
{
    switch (t) {
    case health_test::repetition:
        return "repetition";
    case health_test::stale:
        return "stale";
    case health_test::byte:
        return "byte";
    case health_test::bias:
        return "bias";
    }
    return "?";
}

health_verdict chunk_tester::test(const uint64_t* w, uint32_t address)
{
    const health_limits& l = health_cutoffs();
    counts c;
    count_chunk(w, c);
    health_verdict v;
    char text[160];
    // Four words spread over the chunk stand for it: a DMA read that left the
    // buffer as it was repeats them all.
    fingerprint f;
    for (int i = 0; i < 4; i++)
        f.words[i] = w[i * (WORDS - 1) / 3];
    f.address = address;
    f.used = true;
    const fingerprint* same = nullptr;
    for (const fingerprint& s : seen)
        if (s.used && s.address != address && memcmp(s.words, f.words, sizeof f.words) == 0)
            same = &s;
    seen[next] = f;
    next = (next + 1) % remembered;

    int common = 0;
    for (int b = 1; b < 256; b++)
        if (c.byte_count[b] > c.byte_count[common])
            common = b;
    if (c.repeated > l.repetition_max) {
        v.failed = health_test::repetition;
        snprintf(text, sizeof text, "%lu of %lu 64-bit words equal the word 4096 bytes before (at most %u pass)",
                 static_cast<unsigned long>(c.repeated), static_cast<unsigned long>(PAIRS), l.repetition_max);
    } else if (same) {
        v.failed = health_test::stale;
        snprintf(text, sizeof text, "the same content as the chunk read at 0x%08X", same->address);
    } else if (c.byte_count[common] > l.byte_max) {
        v.failed = health_test::byte;
        snprintf(text, sizeof text, "byte 0x%02X %u times in a sample of %lu bytes (at most %u pass)", common,
                 c.byte_count[common], static_cast<unsigned long>(SAMPLE_BYTES), l.byte_max);
    } else if (c.ones < l.ones_min || c.ones > l.ones_max) {
        v.failed = health_test::bias;
        snprintf(text, sizeof text, "%lu of %lu bits set (%u to %u pass)", static_cast<unsigned long>(c.ones),
                 static_cast<unsigned long>(BITS), l.ones_min, l.ones_max);
    } else {
        return v;
    }
    v.pass = false;
    v.seen = text;
    return v;
}

board_health::event board_health::chunk(bool pass, uint32_t address, uint64_t lap, int64_t now_ns)
{
    if (!withhold) {
        // Reported, never withheld: the start counts as done at once.
        bool was_starting = current == state::starting;
        current = state::healthy;
        return was_starting ? event::started : event::none;
    }
    if (pass) {
        if (current == state::healthy || ++passes < passes_to_trust)
            return tick(now_ns);
        event e = current == state::starting ? event::started : event::healthy_again;
        current = state::healthy;
        return e;
    }
    passes = 0;
    if (current == state::unhealthy)
        return tick(now_ns);
    bool starting = current == state::starting;
    current = state::unhealthy;
    unhealthy_since = now_ns;
    // A spell that begins where the last one did, one lap later, points at the
    // board's memory rather than at its chips.
    episode_laps = episode_laps > 0 && address == episode_address && lap == episode_lap + 1 ? episode_laps + 1 : 1;
    episode_address = address;
    episode_lap = lap;
    if (episode_laps >= bad_region_laps)
        return event::give_up;
    return starting ? event::start_failed : event::unhealthy;
}

board_health::event board_health::judge(const uint64_t* chunk_words, uint32_t address, uint64_t lap, int64_t now_ns,
                                        health_verdict& verdict)
{
    verdict = tester.test(chunk_words, address);
    return chunk(verdict.pass, address, lap, now_ns);
}

board_health::event board_health::tick(int64_t now_ns)
{
    if (current == state::unhealthy && now_ns - unhealthy_since >= give_up_after_ns)
        return event::give_up;
    return event::none;
}
