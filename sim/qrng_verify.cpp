// qrng-verify: checks a stream captured from the simulated board's FIFO against
// the board's content for a seed (see sim_content.h).
//
//   qrng-verify --seed S [--from-lap L] [--any-lap] [--max-errors N] < capture
//
// Default (a daemon streaming new randomness, -r): every word must be the
// board's content at its absolute position. The stream is made of runs of
// consecutive positions; a run may start anywhere, but after the end of the run
// before it, so positions only increase and none comes twice. The daemon starts
// at the board's write position and, after a stall or an overrun, restarts at
// the write position of a later lap, at any address. A run is found wherever it
// lies by inverting the generator on two of its words (see sim_content_index);
// only a run of fewer than three words, at the stream's end, is looked for
// over laps 0..3 (L..L+3 with --from-lap L), or over the 4 laps after the end
// of the previous run. A run is placed where 4 consecutive words match (fewer
// only at the end of the stream). A word found nowhere there is an error, and so is a stream that goes
// back to a position up to a lap before the end of the previous run. --anywhere
// is accepted and changes nothing: the default already places runs anywhere.
// --any-lap (a daemon streaming without -r): word addresses follow each other
// modulo the ring, and each word may come from any lap that was in the ring when
// it was read: the current one, the one before (the reader is ahead of the
// writer) or a later one. The first run is placed as without --any-lap (the
// daemon tests its first chunks and delivers from after them).
//
// Prints the words checked, the runs, the words skipped between runs, repeated
// positions and every error; exits 0 only when every word matched, 1 when the
// stream does not match, 2 on a usage or input error.
#include "sim_content.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t READ_BLOCK = 8 << 20;    // bytes read from standard input at once
constexpr size_t COMPARE_WORDS = 16384;   // words generated and compared at once
constexpr uint64_t FIRST_RUN_LAPS = 4;    // laps searched for the first run
constexpr uint64_t NEXT_RUN_LAPS = 4;     // laps searched for a later run, after the previous one
constexpr uint64_t BACK_LAPS = 1;         // laps searched before the end of a run for a stream going back
constexpr size_t MATCH_WORDS = 4;         // consecutive words that place a run
constexpr size_t SEARCH_WORDS = 256;      // stream words looked for in one pass over the laps
constexpr size_t LOOKAHEAD = SEARCH_WORDS + MATCH_WORDS - 1; // words a search wants after a mismatch
constexpr uint64_t LATER_LAPS = 16;       // --any-lap: laps searched for a restarted run
constexpr uint64_t NEAR_WORDS = 64;       // window searched after a mismatch
constexpr uint64_t MAX_ERRORS = 1000;     // give up after this many errors (--max-errors)
constexpr uint64_t ERRORS_SHOWN = 20;
constexpr size_t RUNS_SHOWN = 20;

struct run_t {
    uint64_t stream_word; // index in the stream of the run's first word
    uint64_t start;       // absolute position of its first word
    uint64_t length;
};

// Where a search found the stream: word j of the words looked for starts a
// match at position p.
struct hit_t {
    bool found = false;
    size_t j = 0;
    uint64_t p = 0;
};

std::string describe(uint64_t position)
{
    char text[96];
    snprintf(text, sizeof text, "position %" PRIu64 " (lap %" PRIu64 ", address 0x%07" PRIX64 ")", position,
             position / SIM_RING_WORDS, position % SIM_RING_WORDS);
    return text;
}

class verifier {
public:
    verifier(uint64_t seed_, bool any_lap_, uint64_t first_lap_, uint64_t max_errors_)
        : seed(seed_), any_lap(any_lap_), first_lap(first_lap_), max_errors(max_errors_)
    {
    }

    // Checks words from the start of w (n of them; `last`: none follow) and
    // returns how many it has taken. Unless `last`, it may leave a few words after
    // a mismatch, too few to place a run, to be passed again with the next ones.
    size_t feed(const uint32_t* w, size_t n, bool last)
    {
        size_t i = 0;
        while (i < n && !gave_up) {
            if (run_open) {
                i += follow(w + i, n - i);
                if (i == n)
                    break;
            }
            if (any_lap && !runs.empty()) {
                if (!mismatch_any_lap(w[i]))
                    gave_up = true;
                i++;
            } else {
                if (!last && n - i < LOOKAHEAD)
                    break;
                i += place(w + i, n - i);
            }
        }
        return i;
    }

    bool given_up() const { return gave_up; }

    int finish(uint64_t trailing_bytes)
    {
        close_run();
        printf("words checked: %" PRIu64 "\n", checked);
        printf("runs: %zu\n", runs.size());
        for (size_t r = 0; r < runs.size(); r++) {
            if (r == RUNS_SHOWN && runs.size() > RUNS_SHOWN + 1) {
                printf("  ... %zu more runs\n", runs.size() - RUNS_SHOWN - 1);
                r = runs.size() - 1;
            }
            printf("  run %zu: stream word %" PRIu64 ", %" PRIu64 " words from %s\n", r + 1, runs[r].stream_word,
                   runs[r].length, describe(runs[r].start).c_str());
        }
        printf("words skipped between runs: %" PRIu64 "\n", skipped);
        printf("repeated positions: %" PRIu64 "\n", repeated);
        for (const std::string& r : repeats)
            printf("  %s\n", r.c_str());
        // Reading the ring continuously (--any-lap) may deliver a lap twice.
        bool failed = errors > 0 || (!any_lap && repeated > 0) || gave_up;
        if (trailing_bytes != 0) {
            printf("error: stream length is not a multiple of 4 (%" PRIu64 " trailing bytes)\n", trailing_bytes);
            failed = true;
        }
        if (checked == 0 && trailing_bytes == 0 && !gave_up) {
            printf("error: empty stream\n");
            failed = true;
        }
        printf("errors: %" PRIu64 "%s\n", errors, gave_up ? " (gave up)" : "");
        printf("%s\n", failed ? "FAILED" : "OK");
        return failed ? 1 : 0;
    }

private:
    uint32_t word(uint64_t position) const { return sim_content_word(seed, position); }

    // Takes the words that continue the current run; returns how many.
    size_t follow(const uint32_t* w, size_t n)
    {
        size_t i = 0;
        while (i < n) {
            size_t m = std::min(n - i, COMPARE_WORDS);
            sim_content_bytes(seed, expected * 4, reinterpret_cast<unsigned char*>(buffer), m * 4);
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
            for (size_t k = 0; k < m; k++)
                buffer[k] = __builtin_bswap32(buffer[k]);
#endif
            size_t k = 0;
            if (std::memcmp(buffer, w + i, m * 4) == 0) {
                k = m;
            } else {
                while (buffer[k] == w[i + k])
                    k++;
            }
            expected += k;
            checked += k;
            i += k;
            if (k < m)
                break;
        }
        return i;
    }

    // True when the words from w (n of them) match the content from position p,
    // MATCH_WORDS of them or all that are left.
    bool matches(const uint32_t* w, size_t n, uint64_t p) const
    {
        for (size_t t = 0; t < std::min(n, MATCH_WORDS); t++)
            if (w[t] != word(p + t))
                return false;
        return true;
    }

    // The first of the words w[0..k) (n words there) that starts a match at a
    // position in [lo, hi), and the lowest such position for it. One pass over
    // the content, generated output by output, for all k words at once.
    hit_t search(const uint32_t* w, size_t k, size_t n, uint64_t lo, uint64_t hi) const
    {
        hit_t hit;
        if (lo >= hi)
            return hit;
        // A bit per value of the low 16 bits of the words looked for: most
        // positions are passed over after one bit test.
        uint64_t filter[1024] = {};
        for (size_t j = 0; j < k; j++)
            filter[(w[j] >> 6) & 1023] |= 1ULL << (w[j] & 63);
        size_t limit = k; // only a word before this one can still improve on the hit
        for (uint64_t out = lo / 2; out <= (hi - 1) / 2 && limit > 0; out++) {
            uint64_t v = sim_content_output(seed, out);
            for (uint64_t half = 0; half < 2; half++) {
                uint32_t c = static_cast<uint32_t>(v >> (32 * half));
                if (((filter[(c >> 6) & 1023] >> (c & 63)) & 1) == 0)
                    continue;
                uint64_t p = 2 * out + half;
                if (p < lo || p >= hi)
                    continue;
                for (size_t j = 0; j < limit; j++) {
                    if (w[j] == c && matches(w + j, n - j, p)) {
                        hit = hit_t{true, j, p};
                        limit = j;
                        break;
                    }
                }
            }
        }
        return hit;
    }

    // The first of the words w[0..k) (n words there) that starts a match, and where:
    // two consecutive words are the halves of one generator output, whose index
    // the inverse of the mix gives at once, at whatever lap; a third word, not
    // used to find it, confirms the place.
    hit_t locate(const uint32_t* w, size_t k, size_t n) const
    {
        for (size_t j = 0; j < k && j + 2 < n; j++) {
            for (size_t half = 0; half < 2; half++) {
                uint64_t out = sim_content_index(seed, w[j + half] | static_cast<uint64_t>(w[j + half + 1]) << 32);
                uint64_t p = 2 * out;
                if (out < (1ULL << 61) && p >= half && matches(w + j, n - j, p - half))
                    return hit_t{true, j, p - half};
            }
        }
        return hit_t{};
    }

    // w[0] does not continue the current run, or no run has begun: finds the run
    // it or one of the words after it (n words from w) belongs to. Returns how many
    // words were taken as errors; the run placed takes the rest.
    size_t place(const uint32_t* w, size_t n)
    {
        size_t k = std::min(n, SEARCH_WORDS);
        char text[256];
        if (runs.empty()) {
            uint64_t lo = first_lap * SIM_RING_WORDS;
            hit_t hit = locate(w, k, n);
            if (!hit.found || hit.p < lo)
                hit = search(w, k, n, lo, lo + FIRST_RUN_LAPS * SIM_RING_WORDS);
            size_t bad = hit.found ? hit.j : k;
            for (size_t j = 0; j < bad; j++) {
                snprintf(text, sizeof text, "word 0x%08X is not found in laps %" PRIu64 "..%" PRIu64, w[j],
                         first_lap, first_lap + FIRST_RUN_LAPS - 1);
                if (!bad_word(text))
                    return j + 1;
            }
            if (hit.found)
                begin_run(hit.p);
            return bad;
        }

        const uint64_t end = expected; // the position after the current run
        // A few words replaced in place: the run goes on after them.
        for (size_t j = 1; j < k && j <= NEAR_WORDS; j++) {
            if (!matches(w + j, n - j, end + j))
                continue;
            for (size_t b = 0; b < j; b++) {
                snprintf(text, sizeof text, "word 0x%08X does not match %s (expected 0x%08X)", w[b],
                         describe(expected).c_str(), static_cast<unsigned>(word(expected)));
                expected++;
                if (!bad_word(text))
                    return b + 1;
            }
            return j;
        }

        // A new run, after the end of this one; or, in error, one going back.
        hit_t ahead, back;
        hit_t anywhere = locate(w, k, n);
        if (anywhere.found) {
            (anywhere.p >= end ? ahead : back) = anywhere;
        } else {
            ahead = search(w, k, n, end, end + NEXT_RUN_LAPS * SIM_RING_WORDS);
            if (!ahead.found || ahead.j > 0)
                back = search(w, ahead.found ? ahead.j : k, n, end - std::min(end, BACK_LAPS * SIM_RING_WORDS), end);
        }
        size_t bad = back.found ? back.j : ahead.found ? ahead.j : k;
        for (size_t j = 0; j < bad; j++) {
            snprintf(text, sizeof text,
                     "word 0x%08X does not match %s (expected 0x%08X) and is not found in the %" PRIu64
                     " laps after it nor in the %" PRIu64 " before",
                     w[j], describe(end).c_str(), static_cast<unsigned>(word(end)), NEXT_RUN_LAPS, BACK_LAPS);
            if (!bad_word(text))
                return j + 1;
        }
        if (back.found) {
            report("the stream goes back to " + describe(back.p) + " where " + describe(end) +
                   " or later was expected");
            begin_run(back.p);
            if (errors >= max_errors)
                gave_up = true;
        } else if (ahead.found) {
            skipped += ahead.p - end;
            begin_run(ahead.p);
        }
        return bad;
    }

    // Counts the next stream word as an error; false once given up.
    bool bad_word(const std::string& what)
    {
        report(what);
        checked++;
        if (errors >= max_errors)
            gave_up = true;
        return !gave_up;
    }

    void begin_run(uint64_t position)
    {
        close_run();
        runs.push_back(run_t{checked, position, 0});
        expected = position;
        run_open = true;
    }

    // Ends the current run at `expected` and records its positions.
    void close_run()
    {
        if (!run_open)
            return;
        run_open = false;
        run_t& r = runs.back();
        r.length = expected - r.start;
        if (r.length == 0) {
            runs.pop_back();
            return;
        }
        add_delivered(r.start, expected);
    }

    // Adds [s, e) to the delivered positions, counting those delivered before.
    void add_delivered(uint64_t s, uint64_t e)
    {
        auto it = delivered.upper_bound(s);
        if (it != delivered.begin())
            --it;
        uint64_t ns = s, ne = e;
        while (it != delivered.end() && it->first <= e) {
            if (it->second >= s) {
                uint64_t os = std::max(s, it->first), oe = std::min(e, it->second);
                if (oe > os) {
                    repeated += oe - os;
                    if (repeats.size() < ERRORS_SHOWN)
                        repeats.push_back(std::to_string(oe - os) + " words from " + describe(os));
                }
                ns = std::min(ns, it->first);
                ne = std::max(ne, it->second);
                it = delivered.erase(it);
            } else {
                ++it;
            }
        }
        delivered[ns] = ne;
    }

    // Continues at `position` with word w (already checked to match there).
    void restart(uint64_t position)
    {
        if (position > expected)
            skipped += position - expected;
        begin_run(position);
        expected++;
        checked++;
    }

    void report(const std::string& what)
    {
        errors++;
        if (errors <= ERRORS_SHOWN)
            printf("error: stream word %" PRIu64 " (byte %" PRIu64 "): %s\n", checked, checked * 4, what.c_str());
    }

    // --any-lap: word w does not match the expected position; false once given up.
    bool mismatch_any_lap(uint32_t w)
    {
        uint64_t lap = expected / SIM_RING_WORDS;
        uint64_t address = expected % SIM_RING_WORDS;
        bool first_word = checked == 0;
        // Legitimate restarts: the same address in another lap.
        for (uint64_t l = lap == 0 ? 0 : lap - 1; l <= lap + LATER_LAPS; l++) {
            uint64_t p = l * SIM_RING_WORDS + address;
            if (l != lap && word(p) == w) {
                restart(p);
                return true;
            }
        }
        // Errors: find where the stream went, to report it and carry on from there.
        std::vector<uint64_t> laps{lap};
        if (lap > 0)
            laps.push_back(lap - 1);
        for (uint64_t l = lap + 1; l <= lap + LATER_LAPS; l++)
            laps.push_back(l);
        for (uint64_t d = 1; d <= NEAR_WORDS && !first_word; d++) {
            for (uint64_t l : laps) {
                uint64_t base = l * SIM_RING_WORDS + address;
                if (base >= d && word(base - d) == w) {
                    report("repeats " + describe(base - d) + " where " + describe(expected) + " was expected");
                    restart(base - d);
                    return errors < max_errors;
                }
                if (word(base + d) == w) {
                    report("skips " + std::to_string(d) + " words to " + describe(base + d) + " where " +
                           describe(expected) + " was expected");
                    restart(base + d);
                    return errors < max_errors;
                }
            }
        }
        char text[160];
        snprintf(text, sizeof text, "word 0x%08X does not match %s (expected 0x%08X)", w, describe(expected).c_str(),
                 static_cast<unsigned>(word(expected)));
        report(text);
        expected++;
        checked++;
        return errors < max_errors;
    }

    uint64_t seed;
    bool any_lap;
    uint64_t first_lap;
    uint64_t max_errors;
    bool run_open = false;
    bool gave_up = false;
    uint64_t expected = 0;
    uint64_t checked = 0;
    uint64_t skipped = 0;
    uint64_t repeated = 0;
    uint64_t errors = 0;
    std::vector<run_t> runs;
    std::map<uint64_t, uint64_t> delivered; // disjoint [start, end) of positions
    std::vector<std::string> repeats;
    uint32_t buffer[COMPARE_WORDS];
};

int usage(const char* argv0)
{
    fprintf(stderr,
            "usage: %s --seed S [--from-lap L] [--any-lap] [--max-errors N] < capture\n"
            "  (default)      a capture taken with -r: runs of consecutive positions, each starting\n"
            "                 anywhere after the end of the one before; the first within laps 0..3\n"
            "  --from-lap L   look for the first run in laps L..L+3\n"
            "  --any-lap      a capture taken without -r: addresses follow each other modulo the\n"
            "                 ring, each word from any lap in the ring\n"
            "  --anywhere     accepted; runs may start anywhere by default\n"
            "  --max-errors N give up after N errors (1000); each word that is not the\n"
            "                 board's healthy content at its place counts as one\n",
            argv0);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    uint64_t seed = 0;
    bool seed_set = false;
    bool any_lap = false;
    uint64_t first_lap = 0;
    uint64_t max_errors = MAX_ERRORS;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--seed" && i + 1 < argc) {
            if (!sim_parse_u64(argv[++i], seed)) {
                fprintf(stderr, "%s: bad seed '%s'\n", argv[0], argv[i]);
                return 2;
            }
            seed_set = true;
        } else if (a == "--max-errors" && i + 1 < argc) {
            if (!sim_parse_u64(argv[++i], max_errors) || max_errors == 0) {
                fprintf(stderr, "%s: bad count '%s'\n", argv[0], argv[i]);
                return 2;
            }
        } else if (a == "--any-lap") {
            any_lap = true;
        } else if (a == "--anywhere") {
            // What the default does.
        } else if (a == "--from-lap" && i + 1 < argc) {
            if (!sim_parse_u64(argv[++i], first_lap) || first_lap > (UINT64_MAX / SIM_RING_WORDS) - FIRST_RUN_LAPS) {
                fprintf(stderr, "%s: bad lap '%s'\n", argv[0], argv[i]);
                return 2;
            }
        } else {
            return usage(argv[0]);
        }
    }
    if (!seed_set)
        return usage(argv[0]);

    static verifier v(seed, any_lap, first_lap, max_errors);
    std::vector<uint32_t> block(READ_BLOCK / 4 + 1);
    unsigned char* bytes = reinterpret_cast<unsigned char*>(block.data());
    size_t have = 0;  // bytes in the block: words left over by the verifier, then a partial word
    [[maybe_unused]] size_t ready = 0; // words at the start of the block already in host order
    bool end = false;
    while (!end) {
        ssize_t r = read(0, bytes + have, READ_BLOCK - have);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            fprintf(stderr, "%s: reading standard input: %s\n", argv[0], strerror(errno));
            return 2;
        }
        end = r == 0;
        have += static_cast<size_t>(r);
        size_t words = have / 4;
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
        for (size_t i = ready; i < words; i++)
            block[i] = __builtin_bswap32(block[i]);
#endif
        size_t used = v.feed(block.data(), words, end);
        if (v.given_up())
            return v.finish(0);
        std::memmove(bytes, bytes + used * 4, have - used * 4);
        have -= used * 4;
        ready = words - used;
    }
    return v.finish(have);
}
