// The health tests of the board's output, their cutoffs, and the board's health.
#include "qrng_health.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t WORDS = HEALTH_CHUNK_BYTES / 8; // 64-bit words in a chunk
constexpr size_t LINES = WORDS / 8;              // 64-byte lines in a chunk
constexpr size_t HALF = LINES / 2;               // lines in 32 KiB
// Words compared with the word 64 bytes before (all but the first line's), and
// with the word 32 KiB before (the second half's).
constexpr size_t LINE_PAIRS = WORDS - 8;
constexpr size_t HALF_PAIRS = WORDS / 2;
constexpr uint64_t BITS = HEALTH_CHUNK_BYTES * 8;
constexpr uint64_t WINDOW_BITS = BITS * chunk_tester::window_chunks;
// The byte test looks at every 7th 64-bit word, 1171 of them: an odd stride sees
// every word offset of a block whose size is a power of two, so a value confined
// to some offsets of such blocks shows in the sample as much as in the chunk.
constexpr size_t SAMPLE_STRIDE = 7;
constexpr size_t SAMPLE_WORDS = 1024; // words 0, 7, ..., 7161: 8 KiB
constexpr uint64_t SAMPLE_BYTES = SAMPLE_WORDS * 8;

// How the false-alarm budget of 2e-15 per chunk is split; the equality tests'
// shares are far smaller than anything left.
constexpr double BIAS_BUDGET = 5e-16;   // both tails together
constexpr double WINDOW_BUDGET = 5e-16; // both tails together
constexpr double PAIR_BUDGET = 3e-16;   // both tails together
constexpr double BYTE_BUDGET = 5e-16;   // any of the 256 values
constexpr unsigned REPETITION_ALLOWED = 7; // repeated words a passing chunk may hold at each lag

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
// The tail is summed once, from where its terms vanish down to the cutoff, each
// term from the one above it (t(i-1) = t(i) i (1-p) / ((n-i+1) p)): it runs before
// the first chunk is judged, so it must take a fraction of a millisecond. The
// terms are kept scaled, as they start far below the smallest double.
uint64_t upper_cutoff(uint64_t n, double p, double budget)
{
    const double mean = static_cast<double>(n) * p;
    const double sigma = std::sqrt(mean * (1 - p));
    // Beyond 40 standard deviations the terms are negligible beside any budget.
    uint64_t i = std::min<uint64_t>(n, static_cast<uint64_t>(mean + 40 * sigma) + 1);
    double exponent = log_binomial_term(n, p, i); // term = scaled * e^exponent
    double scale = std::exp(exponent);            // 0 while far below any budget
    double scaled = 1, tail = 0;
    const double odds = (1 - p) / p;
    for (; static_cast<double>(i) > mean; i--) {
        tail += scaled;
        if (tail * scale > budget)
            return i; // P(X >= i) is over the budget, P(X > i) is not
        scaled *= static_cast<double>(i) / static_cast<double>(n - i + 1) * odds;
        if (scaled > 1e200) {
            scaled *= 1e-200;
            tail *= 1e-200;
            exponent += 200 * std::log(10.0);
            scale = std::exp(exponent);
        }
    }
    return i;
}

health_limits compute_limits()
{
    health_limits l;
    // Repetition: each repeated word is an equality of two independent uniform
    // 64-bit words, and the pairs at one lag form chains, never cycles: more than
    // R of the N pairs at a lag repeat with probability at most C(N, R + 1)
    // 2^(-64 (R + 1)).
    l.repetition_max = REPETITION_ALLOWED;
    const double log_2 = std::log(2.0);
    l.p_repetition = std::exp(log_choose(LINE_PAIRS, REPETITION_ALLOWED + 1) - (REPETITION_ALLOWED + 1) * 64 * log_2) +
                     std::exp(log_choose(HALF_PAIRS, REPETITION_ALLOWED + 1) - (REPETITION_ALLOWED + 1) * 64 * log_2);
    // Unwritten and duplicate: the fingerprints of random chunks are uniform and
    // independent 128-bit values (see fingerprint()): one comparison with the place's
    // last chunk, and at most one with each of the 4,095 other places'.
    l.p_unwritten = std::ldexp(1.0, -128);
    l.p_duplicate = (HEALTH_RING_CHUNKS - 1) * std::ldexp(1.0, -128);
    // Lane: one of the line's 512 bits 0 in all of the 1,024 lines, or 1 in all.
    l.p_lane = std::ldexp(1.0, 10 - static_cast<int>(LINES)); // 2 * 512 * 2^-1024
    // Byte: the count of the most common value of the sample, binomial(8192, 1/256)
    // for each of the 256 values.
    l.byte_stride = SAMPLE_STRIDE;
    l.byte_sample = SAMPLE_BYTES;
    uint64_t k = upper_cutoff(SAMPLE_BYTES, 1.0 / 256, BYTE_BUDGET / 256);
    l.byte_max = static_cast<unsigned>(k);
    l.p_byte = 256 * binomial_upper_tail(SAMPLE_BYTES, 1.0 / 256, k + 1);
    // Bias: the 1 bits, binomial(524288, 1/2), both tails; over 16 chunks
    // binomial(8388608, 1/2). The chunks of a window have passed the chunk's test,
    // which only narrows the window's spread.
    k = upper_cutoff(BITS, 0.5, BIAS_BUDGET / 2);
    l.ones_max = static_cast<uint32_t>(k);
    l.ones_min = static_cast<uint32_t>(BITS - k);
    l.p_bias = 2 * binomial_upper_tail(BITS, 0.5, k + 1);
    k = upper_cutoff(WINDOW_BITS, 0.5, WINDOW_BUDGET / 2);
    l.window_ones_max = static_cast<uint32_t>(k);
    l.window_ones_min = static_cast<uint32_t>(WINDOW_BITS - k);
    l.p_window = 2 * binomial_upper_tail(WINDOW_BITS, 0.5, k + 1);
    // Over the last 2 chunks, binomial(1048576, 1/2): a weak bias shows there two
    // chunks after its onset, so the chunk held back for its successor's verdict
    // seldom goes out biased.
    k = upper_cutoff(2 * BITS, 0.5, PAIR_BUDGET / 2);
    l.pair_ones_max = static_cast<uint32_t>(k);
    l.pair_ones_min = static_cast<uint32_t>(2 * BITS - k);
    l.p_pair = 2 * binomial_upper_tail(2 * BITS, 0.5, k + 1);
    l.p_total = l.p_repetition + l.p_unwritten + l.p_duplicate + l.p_lane + l.p_byte + l.p_bias + l.p_window + l.p_pair;
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
#define WIDEST_INSTRUCTIONS \
    __attribute__((target_clones("arch=x86-64-v3", "popcnt", "default")))
#endif
struct counts {
    uint64_t ones = 0;
    uint64_t repeated_line = 0; // words equal to the word 64 bytes before
    uint64_t repeated_half = 0; // words equal to the word 32 KiB before
    uint64_t any[8], all[8];    // the OR and the AND of the lines
    uint64_t folded[4];         // the XOR of all half lines
    unsigned byte_count[256];
    unsigned byte_most;         // the count of the most common value
};

// Four 64-bit words, half a 64-byte line: the width of the x86-64-v3 build's
// vectors (wider ones are split by the compiler, and poorly).
typedef uint64_t quad __attribute__((vector_size(32)));
#define LOAD_QUAD(v, p) memcpy(&(v), (p), sizeof(quad))
// A carry-save adder: high and low bits of the sum of three bits, in each bit.
#define CARRY_SAVE(high, low, a, b, c)      \
    do {                                    \
        quad u_ = (a) ^ (b);                \
        high = ((a) & (b)) | (u_ & (c));    \
        low = u_ ^ (c);                     \
    } while (0)

static_assert(SAMPLE_STRIDE == 7 && SAMPLE_WORDS == 2 * HALF, "the sample is taken two words a line");

// Counts the bytes of a sampled word.
inline __attribute__((always_inline)) void tally(uint16_t (&tables)[8][256], const uint64_t* word)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(word);
#pragma GCC unroll 8
    for (int k = 0; k < 8; k++)
        tables[k][b[k]]++;
}

WIDEST_INSTRUCTIONS void count_chunk(const uint64_t* w, counts& c)
{
    // Lines j and j + 512 are taken together, each as two quads: each is compared
    // with the line before it (lag 64 bytes), and the second with the first (lag
    // 32 KiB). Repeats are counted per word, at lag 64 bytes in the low 32 bits of
    // each lane and at lag 32 KiB in the high ones.
    quad any[2], all[2], folded = {}, equal = {}, prev_lo[2], prev_hi[2];
    for (int h = 0; h < 2; h++) {
        LOAD_QUAD(prev_lo[h], w + 4 * h);
        prev_lo[h] = ~prev_lo[h]; // the first line has none before it
        LOAD_QUAD(prev_hi[h], w + 8 * (HALF - 1) + 4 * h);
        any[h] = quad{};
        all[h] = ~quad{};
    }
    // The 1 bits are added up in carry-save form (each bit of `ones` is worth 1,
    // of `twos` 2, and so on), 16 quads at a time, so that only the sixteens are
    // counted word by word.
    quad ones = {}, twos = {}, fours = {}, eights = {}, fours_a = {}, eights_a = {};
    uint64_t sixteens_count = 0;
    // The sampled words' bytes in eight tables, one per byte of the word, so that
    // neighbouring bytes of equal value do not wait for each other.
    uint16_t tables[8][256];
    memset(tables, 0, sizeof tables);
    for (size_t group = 0; group < HALF; group += 4) {
#pragma GCC unroll 4
        for (size_t j = group; j < group + 4; j++) {
            const uint64_t* lo_words = w + 8 * j;
            const uint64_t* hi_words = lo_words + WORDS / 2;
            quad d[4];
#pragma GCC unroll 2
            for (int h = 0; h < 2; h++) {
                quad lo, hi;
                LOAD_QUAD(lo, lo_words + 4 * h);
                LOAD_QUAD(hi, hi_words + 4 * h);
                any[h] |= lo | hi;
                all[h] &= lo & hi;
                folded ^= lo ^ hi;
                equal -= reinterpret_cast<quad>(lo == prev_lo[h]) + reinterpret_cast<quad>(hi == prev_hi[h]) +
                         (reinterpret_cast<quad>(hi == lo) << 32);
                prev_lo[h] = lo;
                prev_hi[h] = hi;
                d[2 * h] = lo;
                d[2 * h + 1] = hi;
            }
            quad twos_a, twos_b, fours_b;
            CARRY_SAVE(twos_a, ones, ones, d[0], d[1]);
            CARRY_SAVE(twos_b, ones, ones, d[2], d[3]);
            if ((j & 1) == 0) {
                CARRY_SAVE(fours_a, twos, twos, twos_a, twos_b);
            } else {
                CARRY_SAVE(fours_b, twos, twos, twos_a, twos_b);
                if ((j & 2) == 0) {
                    CARRY_SAVE(eights_a, fours, fours, fours_a, fours_b);
                } else {
                    quad eights_b, sixteens;
                    CARRY_SAVE(eights_b, fours, fours, fours_a, fours_b);
                    CARRY_SAVE(sixteens, eights, eights, eights_a, eights_b);
                    sixteens_count += static_cast<uint64_t>(
                        __builtin_popcountll(sixteens[0]) + __builtin_popcountll(sixteens[1]) +
                        __builtin_popcountll(sixteens[2]) + __builtin_popcountll(sixteens[3]));
                }
            }
            // Two sampled words each time, words 14j and 14j + 7: 1024 in all,
            // without a branch that depends on where the stride falls.
            tally(tables, w + 14 * j);
            tally(tables, w + 14 * j + 7);
        }
    }
    uint64_t low_bits = 0;
    for (int k = 0; k < 4; k++)
        low_bits += 8 * static_cast<uint64_t>(__builtin_popcountll(eights[k])) +
                    4 * static_cast<uint64_t>(__builtin_popcountll(fours[k])) +
                    2 * static_cast<uint64_t>(__builtin_popcountll(twos[k])) +
                    static_cast<uint64_t>(__builtin_popcountll(ones[k]));
    c.ones = 16 * sixteens_count + low_bits;
    c.repeated_line = c.repeated_half = 0;
    for (int k = 0; k < 8; k++) {
        c.any[k] = any[k / 4][k % 4];
        c.all[k] = all[k / 4][k % 4];
    }
    for (int k = 0; k < 4; k++) {
        c.repeated_line += equal[k] & 0xFFFFFFFF;
        c.repeated_half += equal[k] >> 32;
        c.folded[k] = folded[k];
    }
    unsigned most = 0;
    for (int v = 0; v < 256; v++) {
        unsigned n = 0;
        for (int b = 0; b < 8; b++)
            n += tables[b][v];
        c.byte_count[v] = n;
        most = std::max(most, n);
    }
    c.byte_most = most;
}

uint64_t mix(uint64_t x)
{
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ULL;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// The chunk's 128-bit fingerprint, from the XOR of its half lines: lane k of the
// fold is the XOR of the words k and k + 4 of all lines. Its first half is lane 0
// masked by a hash of lanes 1 and 3, its second lane 2 masked by a hash of lanes
// 0, 1 and 3. On random data each lane is uniform and independent of the others:
// the first half is uniform, and so is the second given the first, so two
// chunks share a fingerprint with probability 2^-128.
void fingerprint(const counts& c, uint64_t out[2])
{
    uint64_t h = mix(mix(c.folded[1]) ^ c.folded[3]);
    out[0] = c.folded[0] ^ h;
    out[1] = c.folded[2] ^ mix(h ^ mix(c.folded[0]));
}

constexpr uint32_t NO_PLACE = 0;

} // namespace

double binomial_upper_tail(uint64_t n, double p, uint64_t k)
{
    if (k == 0)
        return 1.0;
    if (k > n)
        return 0.0;
    // The terms fall away from the mean: sum from k, each term from the one
    // before it, until they no longer count.
    double term = std::exp(log_binomial_term(n, p, k)), sum = 0;
    const double odds = p / (1 - p);
    for (uint64_t i = k; i <= n && term > 0; i++) {
        sum += term;
        if (static_cast<double>(i) > static_cast<double>(n) * p && term < sum * 1e-17)
            break;
        term *= static_cast<double>(n - i) / static_cast<double>(i + 1) * odds;
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
    case health_test::unwritten:
        return "unwritten";
    case health_test::duplicate:
        return "duplicate";
    case health_test::lane:
        return "lane";
    case health_test::byte:
        return "byte";
    case health_test::bias:
        return "bias";
    }
    return "?";
}

chunk_tester::chunk_tester() : ring(new ring_memory())
{
}

long chunk_tester::other_place(uint32_t place, const uint64_t f[2]) const
{
    for (uint16_t at = ring->head[f[0] % buckets]; at != NO_PLACE; at = ring->next[at - 1]) {
        const place_record& r = ring->places[at - 1];
        if (at - 1u != place && r.fingerprint[0] == f[0] && r.fingerprint[1] == f[1])
            return at - 1;
    }
    return -1;
}

void chunk_tester::record(uint32_t place, const uint64_t f[2], const chunk_place& where)
{
    ring_memory& m = *ring;
    place_record& r = m.places[place];
    const uint16_t link = static_cast<uint16_t>(place + 1);
    if (m.recorded[place]) {
        // Out of its bucket's chain.
        uint16_t before = m.prev[place], after = m.next[place];
        if (before != NO_PLACE)
            m.next[before - 1] = after;
        else
            m.head[r.fingerprint[0] % buckets] = after;
        if (after != NO_PLACE)
            m.prev[after - 1] = before;
    }
    r.fingerprint[0] = f[0];
    r.fingerprint[1] = f[1];
    r.frame = where.frame;
    r.board_after = where.board_after;
    m.recorded[place] = true;
    uint16_t& head = m.head[f[0] % buckets];
    m.prev[place] = NO_PLACE;
    m.next[place] = head;
    if (head != NO_PLACE)
        m.prev[head - 1] = link;
    head = link;
}

health_verdict chunk_tester::test(const uint64_t* w, const chunk_place& where)
{
    const health_limits& l = health_cutoffs();
    counts c;
    count_chunk(w, c);
    health_verdict v;
    char text[200];

    uint64_t f[2];
    fingerprint(c, f);
    const uint32_t place = where.address / HEALTH_CHUNK_WORDS % HEALTH_RING_CHUNKS;
    const place_record& last = ring->places[place];
    // The board has rewritten the whole chunk since it was last read there when,
    // from where it was at most then, it has gone past the chunk's next start.
    bool rewritten = false;
    uint64_t next_start = 0;
    if (ring->recorded[place] && last.frame == where.frame) {
        next_start = last.board_after + (where.address - last.board_after % MAX_DDR_ADDRESS + MAX_DDR_ADDRESS) %
                                            MAX_DDR_ADDRESS;
        rewritten = where.board_before >= next_start + HEALTH_CHUNK_WORDS;
    }
    bool unwritten = rewritten && last.fingerprint[0] == f[0] && last.fingerprint[1] == f[1];
    long other = unwritten ? -1 : other_place(place, f);
    record(place, f, where);

    // Bits of the line that are 0 in every line or 1 in every line.
    unsigned stuck = 0;
    for (int k = 0; k < 8; k++)
        stuck += static_cast<unsigned>(__builtin_popcountll(~c.any[k] | c.all[k]));

    if (c.repeated_line > l.repetition_max || c.repeated_half > l.repetition_max) {
        v.failed = health_test::repetition;
        bool line = c.repeated_line > l.repetition_max;
        snprintf(text, sizeof text, "%lu of %lu 64-bit words equal the word %s before (at most %u pass)",
                 static_cast<unsigned long>(line ? c.repeated_line : c.repeated_half),
                 static_cast<unsigned long>(line ? LINE_PAIRS : HALF_PAIRS), line ? "64 bytes" : "32 KiB",
                 l.repetition_max);
    } else if (unwritten) {
        v.failed = health_test::unwritten;
        snprintf(text, sizeof text,
                 "the content read there before, though the board has written the whole chunk since (its position "
                 "%llu is past %llu)",
                 static_cast<unsigned long long>(where.board_before),
                 static_cast<unsigned long long>(next_start + HEALTH_CHUNK_WORDS - 1));
    } else if (other >= 0) {
        v.failed = health_test::duplicate;
        snprintf(text, sizeof text, "the content last read at 0x%08lX", static_cast<unsigned long>(other) * HEALTH_CHUNK_WORDS);
    } else if (stuck > 0) {
        v.failed = health_test::lane;
        int k = 0;
        while ((~c.any[k] | c.all[k]) == 0)
            k++;
        unsigned bit = static_cast<unsigned>(__builtin_ctzll(~c.any[k] | c.all[k]));
        snprintf(text, sizeof text,
                 "%u of the 512 bits of the 64-byte line never change over its 1024 lines (bit %u is always %u)",
                 stuck, 64 * k + bit, static_cast<unsigned>(c.all[k] >> bit & 1));
    } else if (c.byte_most > l.byte_max) {
        v.failed = health_test::byte;
        int common = 0;
        while (c.byte_count[common] != c.byte_most)
            common++;
        snprintf(text, sizeof text, "byte 0x%02X %u times in a sample of %u bytes (at most %u pass)", common,
                 c.byte_count[common], l.byte_sample, l.byte_max);
    } else if (c.ones < l.ones_min || c.ones > l.ones_max) {
        v.failed = health_test::bias;
        snprintf(text, sizeof text, "%lu of %lu bits set (%u to %u pass)", static_cast<unsigned long>(c.ones),
                 static_cast<unsigned long>(BITS), l.ones_min, l.ones_max);
    } else {
        // The chunk passes on its own; once the run of passing chunks is 2 long,
        // its last 2 chunks must pass together, and once it is 16 long, its last 16.
        window_ones[run % window_chunks] = static_cast<uint32_t>(c.ones);
        run++;
        uint64_t pair = run < 2 ? 0 : window_ones[(run - 1) % window_chunks] + window_ones[(run - 2) % window_chunks];
        uint64_t window = 0;
        for (uint32_t ones : window_ones)
            window += ones;
        bool pair_passes = run < 2 || (pair >= l.pair_ones_min && pair <= l.pair_ones_max);
        bool window_passes = run < window_chunks || (window >= l.window_ones_min && window <= l.window_ones_max);
        if (pair_passes && window_passes)
            return v;
        bool whole = !window_passes; // the longer window is named when both fail
        v.failed = health_test::bias;
        snprintf(text, sizeof text, "%llu of %llu bits set in the last %u chunks (%u to %u pass)",
                 static_cast<unsigned long long>(whole ? window : pair),
                 static_cast<unsigned long long>(whole ? WINDOW_BITS : 2 * BITS), whole ? window_chunks : 2,
                 whole ? l.window_ones_min : l.pair_ones_min, whole ? l.window_ones_max : l.pair_ones_max);
    }
    run = 0;
    v.pass = false;
    v.seen = text;
    return v;
}

bool board_health::third_spell(uint32_t address, uint64_t lap, int64_t now_ns) const
{
    const uint64_t known = std::min<uint64_t>(spells_seen, remembered_spells);
    // The third within 10 minutes of the first of the three.
    if (known >= spells_to_give_up - 1 &&
        now_ns - spells[(spells_seen - (spells_to_give_up - 1)) % remembered_spells].start_ns < spells_window_ns)
        return true;
    // The third within 1 MiB either side of one ring address with two others, in
    // the last 8 laps: the three within an arc of 2 MiB. The others' offsets from
    // this one's address, each way round the ring:
    constexpr int64_t arc = 2 * static_cast<int64_t>(region_words);
    int64_t offsets[remembered_spells];
    unsigned near = 0;
    for (uint64_t i = 0; i < known; i++) {
        const spell& s = spells[i];
        uint32_t d = (s.address - address) % MAX_DDR_ADDRESS;
        int64_t offset = d > MAX_DDR_ADDRESS / 2 ? static_cast<int64_t>(d) - MAX_DDR_ADDRESS : d;
        if (lap - s.lap <= region_laps && offset >= -arc && offset <= arc)
            offsets[near++] = offset;
    }
    for (unsigned i = 0; i < near; i++)
        for (unsigned j = i + 1; j < near; j++)
            if (std::max<int64_t>({0, offsets[i], offsets[j]}) - std::min<int64_t>({0, offsets[i], offsets[j]}) <= arc)
                return true;
    return false;
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
    bool third = third_spell(address, lap, now_ns);
    spells[spells_seen % remembered_spells] = {now_ns, address, lap};
    spells_seen++;
    if (third)
        return event::give_up;
    return starting ? event::start_failed : event::unhealthy;
}

board_health::event board_health::judge(const uint64_t* chunk_words, const chunk_place& where, int64_t now_ns,
                                        health_verdict& verdict)
{
    verdict = tester.test(chunk_words, where);
    return chunk(verdict.pass, where.address, where.position / MAX_DDR_ADDRESS, now_ns);
}

board_health::event board_health::tick(int64_t now_ns)
{
    if (current == state::unhealthy && now_ns - unhealthy_since >= give_up_after_ns)
        return event::give_up;
    return event::none;
}
