// qrng-bench-check: checks one capture of the soak test against the simulated
// board's content, like qrng-verify --anywhere, for a consumer that attached while
// the board was in any lap: the first run is searched in laps L-1 .. L+3 around a
// given lap L (the laps the board's trace showed when the consumer attached).
//
//   qrng-bench-check --seed S --lap L < capture
//
// After the first run, the stream must follow the board's content word by word;
// a new run may only start at word address 0 of one of the next 16 laps (the
// daemon with -r restarts there after a wrap). Anything else is an error: a word
// that matches nothing, a jump within a lap, a repeated position. Prints the
// words checked, the runs and the errors; exits 0 only when every word matched.
#include "sim_content.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t READ_BLOCK = 8 << 20;
constexpr uint64_t LATER_LAPS = 16;
constexpr uint64_t MAX_ERRORS = 20;

} // namespace

int main(int argc, char** argv)
{
    uint64_t seed = 0, lap = 0;
    bool have_seed = false, have_lap = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--seed")
            have_seed = sim_parse_u64(argv[i + 1], seed);
        else if (a == "--lap")
            have_lap = sim_parse_u64(argv[i + 1], lap);
    }
    if (!have_seed || !have_lap || argc != 5) {
        fprintf(stderr, "usage: %s --seed S --lap L < capture\n", argv[0]);
        return 2;
    }

    std::vector<uint32_t> block(READ_BLOCK / 4 + 1);
    unsigned char* bytes = reinterpret_cast<unsigned char*>(block.data());
    size_t have = 0;
    bool started = false;
    uint64_t expected = 0, checked = 0, runs = 0, skipped = 0, errors = 0;
    for (;;) {
        ssize_t r = read(0, bytes + have, READ_BLOCK - have);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            fprintf(stderr, "reading standard input: %s\n", strerror(errno));
            return 2;
        }
        if (r == 0)
            break;
        have += static_cast<size_t>(r);
        size_t words = have / 4;
        const uint32_t* w = block.data();
        size_t i = 0;
        if (!started && words >= 4) {
            started = true;
            uint64_t first_lap = lap > 0 ? lap - 1 : 0;
            uint64_t from = first_lap * SIM_RING_WORDS / 2, to = (lap + 4) * SIM_RING_WORDS / 2;
            bool found = false;
            for (uint64_t k = from; k < to && !found; k++) {
                uint64_t v = sim_content_output(seed, k);
                for (uint64_t half = 0; half < 2 && !found; half++) {
                    if (static_cast<uint32_t>(v >> (32 * half)) != w[0])
                        continue;
                    uint64_t p = 2 * k + half;
                    if (sim_content_word(seed, p + 1) == w[1] && sim_content_word(seed, p + 2) == w[2] &&
                        sim_content_word(seed, p + 3) == w[3]) {
                        expected = p;
                        found = true;
                    }
                }
            }
            if (!found) {
                printf("error: the first words are not found in laps %" PRIu64 "..%" PRIu64 "\n", first_lap,
                       lap + 3);
                printf("FAILED\n");
                return 1;
            }
            runs = 1;
            printf("first run at position %" PRIu64 " (lap %" PRIu64 ", address 0x%07" PRIX64 ")\n", expected,
                   expected / SIM_RING_WORDS, expected % SIM_RING_WORDS);
        }
        if (!started)
            continue; // fewer than 4 words so far
        for (; i < words; i++) {
            if (w[i] == sim_content_word(seed, expected)) {
                expected++;
                checked++;
                continue;
            }
            uint64_t l = expected / SIM_RING_WORDS + 1;
            bool restarted = false;
            for (; l <= expected / SIM_RING_WORDS + LATER_LAPS; l++) {
                if (sim_content_word(seed, l * SIM_RING_WORDS) == w[i]) {
                    skipped += l * SIM_RING_WORDS - expected;
                    expected = l * SIM_RING_WORDS + 1;
                    checked++;
                    runs++;
                    restarted = true;
                    break;
                }
            }
            if (restarted)
                continue;
            errors++;
            printf("error: stream word %" PRIu64 " is 0x%08X, expected 0x%08X at position %" PRIu64
                   " (lap %" PRIu64 ", address 0x%07" PRIX64 ")\n",
                   checked, w[i], sim_content_word(seed, expected), expected, expected / SIM_RING_WORDS,
                   expected % SIM_RING_WORDS);
            expected++;
            checked++;
            if (errors >= MAX_ERRORS)
                break;
        }
        if (errors >= MAX_ERRORS)
            break;
        size_t rest = have - words * 4;
        memmove(bytes, bytes + words * 4, rest);
        have = rest;
    }
    printf("words checked: %" PRIu64 "\nruns: %" PRIu64 "\nwords skipped between runs: %" PRIu64 "\n", checked, runs,
           skipped);
    bool failed = errors > 0 || !started || have % 4 != 0;
    if (!started)
        printf("error: fewer than 4 words\n");
    printf("errors: %" PRIu64 "\n%s\n", errors, failed ? "FAILED" : "OK");
    return failed ? 1 : 0;
}
