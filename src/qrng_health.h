// The health tests of the board's output: every 64 KiB chunk read from the board
// is tested before any byte of it is written, and the board's health follows from
// the verdicts. The tests, in the order a chunk is judged by:
//   repetition  64-bit words equal to the word 64 bytes before, or to the word
//               32 KiB before: a constant word, or a block repeated with any
//               period that is a power of two up to 32 KiB
//   unwritten   the chunk is what its place in the ring held when it was last
//               read there, although the board has written that whole place since
//   duplicate   the chunk is what another place of the ring held when last read
//               (the last lap's chunks): blocks repeated with a period of 64 KiB
//               or more, data written twice, a ring read back out of place
//   lane        a bit of the 64-byte line that never changes over the chunk's
//               1,024 lines: a stuck bit (in every byte, every 16 bits, ..., or
//               once per line), a constant byte of the line
//   byte        one byte value far too common in 8,192 bytes sampled at a stride
//               of 7 words (odd, so every offset of a power-of-two block is seen)
//   bias        the share of 1 bits over the chunk; once 16 chunks in a row have
//               passed, also over the last 16 (1 MiB) of that run
// Each cutoff is computed from its exact tail probability (binomial, or a bound
// for the equality tests), so that on uniformly random data all tests together
// fail fewer than 2e-15 of the chunks (one false alarm in 1,000 years at 1 GiB/s):
// a single failure is already near-certain evidence of a fault.
//
// Threads: the read loop's (main) thread owns a chunk_tester and a board_health;
// health_cutoffs() may be called from any thread (computed once, thread-safe).
#pragma once

#include "defs.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Bytes in a tested chunk, and its 32-bit words: chunks lie on multiples of
// HEALTH_CHUNK_WORDS of the ring (MAX_DDR_ADDRESS words, a whole number of chunks).
constexpr size_t HEALTH_CHUNK_BYTES = 65536;
constexpr uint32_t HEALTH_CHUNK_WORDS = HEALTH_CHUNK_BYTES / 4;
constexpr uint32_t HEALTH_RING_CHUNKS = MAX_DDR_ADDRESS / HEALTH_CHUNK_WORDS;

enum class health_test { repetition, unwritten, duplicate, lane, byte, bias };
constexpr int HEALTH_TESTS = 6;
// The test's name, as the log and the metrics' label say it.
const char* health_test_name(health_test t);

// The cutoffs and the false-alarm probability of each test, per chunk of random data.
struct health_limits {
    unsigned repetition_max;         // at most this many words equal to the word at either lag pass
    unsigned byte_stride;            // the byte test's sample: every byte_stride-th 64-bit word,
    unsigned byte_sample;            // this many bytes
    unsigned byte_max;               // at most this many of the sample's bytes may share a value
    uint32_t ones_min, ones_max;     // the 1 bits of a passing chunk lie within these
    uint32_t window_ones_min, window_ones_max; // and those of the last 16 chunks of a run
    uint32_t pair_ones_min, pair_ones_max;     // and those of its last 2 chunks
    double p_repetition, p_unwritten, p_duplicate, p_lane, p_byte, p_bias, p_window, p_pair;
    double p_total;
};
const health_limits& health_cutoffs();
// P(X >= k) for X binomial(n, p), from the exact terms.
double binomial_upper_tail(uint64_t n, double p, uint64_t k);

struct health_verdict {
    bool pass = true;
    health_test failed = health_test::repetition; // the first test failed
    std::string seen;                             // what that test saw
};

// Where a chunk was read, and where the board was around the DMA read. Positions
// count 32-bit words the board wrote, in the write tracker's frame: positions of
// different frames are not comparable.
struct chunk_place {
    uint32_t address = 0;      // ring word address of the chunk, a multiple of HEALTH_CHUNK_WORDS
    uint64_t position = 0;     // the chunk's first word (lap = position / MAX_DDR_ADDRESS)
    uint64_t frame = 0;        // the tracker's frame
    uint64_t board_before = 0; // the board's position sampled before the DMA read
    uint64_t board_after = 0;  // sampled after it: where the board was at most when the data was taken
};

// Tests chunks. Remembers a 128-bit fingerprint of the chunk last read at each of
// the ring's 4,096 chunk places (with where the board was then), indexed by
// fingerprint, and the 1 bits of the current run of passing chunks. Its memory
// (about 164 KiB) is allocated once, by the constructor.
class chunk_tester {
public:
    chunk_tester();
    health_verdict test(const uint64_t* chunk, const chunk_place& where);

    static constexpr unsigned window_chunks = 16;

private:
    struct place_record {
        uint64_t fingerprint[2];
        uint64_t frame;
        uint64_t board_after;
    };
    // The index: chains of places by fingerprint bucket, linked both ways so that
    // a place is unlinked at once when it is read again. Links are place + 1, 0 none.
    static constexpr uint32_t buckets = 2 * HEALTH_RING_CHUNKS;
    struct ring_memory {
        place_record places[HEALTH_RING_CHUNKS];
        bool recorded[HEALTH_RING_CHUNKS];
        uint16_t head[buckets];
        uint16_t next[HEALTH_RING_CHUNKS], prev[HEALTH_RING_CHUNKS];
    };
    void record(uint32_t place, const uint64_t fingerprint[2], const chunk_place& where);
    // The place other than `place` last read with this fingerprint, or -1.
    long other_place(uint32_t place, const uint64_t fingerprint[2]) const;

    std::unique_ptr<ring_memory> ring;
    uint32_t window_ones[window_chunks] = {}; // the run's last chunks' 1 bits, by run index % 16
    uint64_t run = 0;                         // chunks in a row that passed
};

// The board's health, from the verdicts on its chunks. It starts untested: the
// first 1 MiB (16 chunks in a row) must pass, the 16 together included, before
// anything is delivered. Any failure makes the board unhealthy (with `withhold`
// false, -D, the failures are only reported); 1 MiB in a row passing, the 16
// together included, makes it healthy again. The daemon gives up when the board
// stays unhealthy for 60 s, or when an unhealthy spell begins within 10 minutes
// of the first of the two before it, or when it and two others of the last 8
// laps began within 1 MiB either side of one ring address (a bad region of the
// board's memory, whatever its rate).
class board_health {
public:
    enum class state { starting, healthy, unhealthy };
    enum class event { none, started, start_failed, unhealthy, healthy_again, give_up };
    static constexpr unsigned passes_to_trust = chunk_tester::window_chunks;
    static constexpr int64_t give_up_after_ns = 60000000000LL;
    static constexpr unsigned spells_to_give_up = 3;
    static constexpr int64_t spells_window_ns = 600000000000LL;
    static constexpr uint32_t region_words = 1048576 / 4;
    static constexpr uint64_t region_laps = 8;

    explicit board_health(bool withhold_) : withhold(withhold_) {}
    // Tests the chunk read at `where`, at `now_ns`: the verdict, and what it changes.
    event judge(const uint64_t* chunk, const chunk_place& where, int64_t now_ns, health_verdict& verdict);
    // Takes the verdict on the chunk read at ring address `address` in lap `lap`.
    event chunk(bool pass, uint32_t address, uint64_t lap, int64_t now_ns);
    // Checked with no chunk to judge, so that a board that stays unhealthy is given up.
    event tick(int64_t now_ns);
    state now() const { return current; }
    bool delivering() const { return current == state::healthy; }

private:
    // Whether a spell beginning now, at `address` in lap `lap`, makes three.
    bool third_spell(uint32_t address, uint64_t lap, int64_t now_ns) const;

    chunk_tester tester;
    bool withhold;
    state current = state::starting;
    unsigned passes = 0; // chunks in a row that passed
    int64_t unhealthy_since = 0;
    // The last spells' beginnings, newest at (spells_seen - 1) % remembered_spells.
    static constexpr unsigned remembered_spells = 16;
    struct spell {
        int64_t start_ns;
        uint32_t address;
        uint64_t lap;
    };
    spell spells[remembered_spells] = {};
    uint64_t spells_seen = 0;
};
