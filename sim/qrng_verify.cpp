// qrng-verify: checks a stream captured from the simulated board's FIFO against
// the board's content for a seed (see sim_content.h).
//
//   qrng-verify --seed S [--any-lap] [--anywhere [--from-lap L]]  < capture
//
// Default (a daemon streaming new randomness, -r): the stream is made of runs of
// consecutive absolute positions. The first run starts at position 0; each later
// run starts at word address 0 of a later lap, because the daemon restarts at
// address 0 whenever it falls behind the accelerator.
// --any-lap (a daemon streaming without -r): word addresses follow each other
// modulo the ring, and each word may come from any lap that was in the ring when
// it was read: the current one, the one before (the reader is ahead of the
// writer) or a later one. The first word is address 0 of any of the first laps.
// --anywhere: the first run may start at any position of laps 0..3 (a consumer
// that attached while the daemon was streaming); it is found by searching the
// first words of the capture in the content. --from-lap L searches laps L..L+3
// instead, for a consumer that attached after a long run.
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
constexpr uint64_t LATER_LAPS = 16;       // laps searched for a restarted run
constexpr uint64_t NEAR_WORDS = 64;       // window searched after a mismatch
constexpr uint64_t ANYWHERE_LAPS = 4;     // laps searched for the first run
constexpr uint64_t MAX_ERRORS = 1000;     // give up after this many errors
constexpr uint64_t ERRORS_SHOWN = 20;
constexpr size_t RUNS_SHOWN = 20;

struct run_t {
    uint64_t stream_word; // index in the stream of the run's first word
    uint64_t start;       // absolute position of its first word
    uint64_t length;
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
    verifier(uint64_t seed_, bool any_lap_, bool anywhere_, uint64_t first_lap_)
        : seed(seed_), any_lap(any_lap_), anywhere(anywhere_), first_lap(first_lap_)
    {
    }

    // Checks the next n words; false once verification has been given up.
    bool feed(const uint32_t* w, size_t n)
    {
        size_t i = 0;
        if (!started) {
            if (!start(w, n))
                return false;
        }
        while (i < n) {
            size_t m = std::min(n - i, COMPARE_WORDS);
            sim_content_bytes(seed, expected * 4, reinterpret_cast<unsigned char*>(buffer), m * 4);
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
            if (k == m)
                continue;
            if (!mismatch(w[i]))
                return false;
            i++;
        }
        return true;
    }

    int finish(uint64_t trailing_bytes, bool gave_up)
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
        bool failed = errors > 0 || gave_up;
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
    uint64_t word(uint64_t position) const { return sim_content_word(seed, position); }

    // Places the first run; false when it cannot be found.
    bool start(const uint32_t* w, size_t n)
    {
        started = true;
        if (!anywhere) {
            begin_run(0);
            return true;
        }
        // Match the first few words against every position of the first laps.
        size_t need = std::min<size_t>(n, 4);
        uint64_t limit = (first_lap + ANYWHERE_LAPS) * SIM_RING_WORDS;
        for (uint64_t k = first_lap * SIM_RING_WORDS / 2; k < limit / 2; k++) {
            uint64_t v = sim_content_output(seed, k);
            for (uint64_t half = 0; half < 2; half++) {
                if (static_cast<uint32_t>(v >> (32 * half)) != w[0])
                    continue;
                uint64_t p = 2 * k + half;
                size_t j = 1;
                while (j < need && word(p + j) == w[j])
                    j++;
                if (j == need) {
                    begin_run(p);
                    return true;
                }
            }
        }
        printf("error: the first words of the stream are not found in laps %" PRIu64 "..%" PRIu64 "\n", first_lap,
               first_lap + ANYWHERE_LAPS - 1);
        errors++;
        return false;
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

    // Word w does not match the expected position; false once given up.
    bool mismatch(uint32_t w)
    {
        uint64_t lap = expected / SIM_RING_WORDS;
        uint64_t address = expected % SIM_RING_WORDS;
        bool first_word = checked == 0;
        // Legitimate restarts.
        if (!any_lap && !(first_word && !anywhere)) {
            for (uint64_t l = lap + 1; l <= lap + LATER_LAPS; l++) {
                if (word(l * SIM_RING_WORDS) == w) {
                    restart(l * SIM_RING_WORDS);
                    return true;
                }
            }
        }
        if (any_lap) {
            for (uint64_t l = lap == 0 ? 0 : lap - 1; l <= lap + LATER_LAPS; l++) {
                uint64_t p = l * SIM_RING_WORDS + address;
                if (l != lap && word(p) == w) {
                    restart(p);
                    return true;
                }
            }
        }
        // Errors: find where the stream went, to report it and carry on from there.
        std::vector<uint64_t> laps{lap};
        if (any_lap) {
            if (lap > 0)
                laps.push_back(lap - 1);
            for (uint64_t l = lap + 1; l <= lap + LATER_LAPS; l++)
                laps.push_back(l);
        }
        for (uint64_t d = 1; d <= NEAR_WORDS && !first_word; d++) {
            for (uint64_t l : laps) {
                uint64_t base = l * SIM_RING_WORDS + address;
                if (base >= d && word(base - d) == w) {
                    report("repeats " + describe(base - d) + " where " + describe(expected) + " was expected");
                    restart(base - d);
                    return errors < MAX_ERRORS;
                }
                if (word(base + d) == w) {
                    report("skips " + std::to_string(d) + " words to " + describe(base + d) + " where " +
                           describe(expected) + " was expected");
                    restart(base + d);
                    return errors < MAX_ERRORS;
                }
            }
        }
        if (!any_lap) {
            for (uint64_t l = lap; l <= lap + LATER_LAPS; l++) {
                for (uint64_t a = (l == lap ? 0 : 1); a <= NEAR_WORDS; a++) {
                    uint64_t p = l * SIM_RING_WORDS + a;
                    if (word(p) != w)
                        continue;
                    if (first_word)
                        report("the stream starts at " + describe(p) + ", not at position 0");
                    else if (l == lap)
                        report("a run goes back to " + describe(p) + " of the same lap");
                    else
                        report("a run starts at " + describe(p) + ", not at address 0");
                    restart(p);
                    return errors < MAX_ERRORS;
                }
            }
        }
        char text[160];
        snprintf(text, sizeof text, "word 0x%08X does not match %s (expected 0x%08X)", w, describe(expected).c_str(),
                 static_cast<unsigned>(word(expected)));
        report(text);
        expected++;
        checked++;
        return errors < MAX_ERRORS;
    }

    uint64_t seed;
    bool any_lap;
    bool anywhere;
    uint64_t first_lap;
    bool started = false;
    bool run_open = false;
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
    fprintf(stderr, "usage: %s --seed S [--any-lap] [--anywhere [--from-lap L]] < capture\n", argv0);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    uint64_t seed = 0;
    bool seed_set = false;
    bool any_lap = false;
    bool anywhere = false;
    uint64_t first_lap = 0;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--seed" && i + 1 < argc) {
            if (!sim_parse_u64(argv[++i], seed)) {
                fprintf(stderr, "%s: bad seed '%s'\n", argv[0], argv[i]);
                return 2;
            }
            seed_set = true;
        } else if (a == "--any-lap") {
            any_lap = true;
        } else if (a == "--anywhere") {
            anywhere = true;
        } else if (a == "--from-lap" && i + 1 < argc) {
            if (!sim_parse_u64(argv[++i], first_lap) || first_lap > (UINT64_MAX / SIM_RING_WORDS) - ANYWHERE_LAPS) {
                fprintf(stderr, "%s: bad lap '%s'\n", argv[0], argv[i]);
                return 2;
            }
        } else {
            return usage(argv[0]);
        }
    }
    if (!seed_set)
        return usage(argv[0]);

    static verifier v(seed, any_lap, anywhere, first_lap);
    std::vector<uint32_t> block(READ_BLOCK / 4 + 1);
    unsigned char* bytes = reinterpret_cast<unsigned char*>(block.data());
    size_t have = 0; // bytes in the block, including a partial word carried over
    bool gave_up = false;
    for (;;) {
        ssize_t r = read(0, bytes + have, READ_BLOCK - have);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            fprintf(stderr, "%s: reading standard input: %s\n", argv[0], strerror(errno));
            return 2;
        }
        if (r == 0)
            break;
        have += static_cast<size_t>(r);
        size_t words = have / 4;
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
        for (size_t i = 0; i < words; i++)
            block[i] = __builtin_bswap32(block[i]);
#endif
        if (!v.feed(block.data(), words)) {
            gave_up = true;
            have = 0;
            break;
        }
        size_t rest = have % 4;
        std::memmove(bytes, bytes + words * 4, rest);
        have = rest;
    }
    return v.finish(have, gave_up);
}
