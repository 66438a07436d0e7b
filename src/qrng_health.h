// The health tests of the board's output: every 64 KiB chunk read from the board
// is tested before any byte of it is written, and the board's health follows from
// the verdicts. The tests, in the order a chunk is judged by:
//   repetition  64-bit words equal to the word 4096 bytes before them: a constant
//               word, or a block repeated with any period dividing 4096 bytes
//   stale       the chunk equals one of the last 16 read at another ring address:
//               a DMA read that left the buffer as it was
//   byte        one byte value far too common in a sample of 2048 bytes
//   bias        the share of 1 bits over the whole chunk
// Each cutoff is computed from its exact tail probability (binomial, or a bound
// for the equality tests), so that on uniformly random data all tests together
// fail fewer than 2e-15 of the chunks (one false alarm in 1,000 years at 1 GiB/s):
// a single failure is already near-certain evidence of a fault.
//
// Threads: the read loop's (main) thread owns a chunk_tester and a board_health;
// health_cutoffs() may be called from any thread (computed once, thread-safe).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Bytes in a tested chunk.
constexpr size_t HEALTH_CHUNK_BYTES = 65536;

enum class health_test { repetition, stale, byte, bias };
constexpr int HEALTH_TESTS = 4;
// The test's name, as the log and the metrics' label say it.
const char* health_test_name(health_test t);

// The cutoffs and the false-alarm probability of each test, per chunk of random data.
struct health_limits {
    unsigned repetition_max;   // at most this many repeated words pass
    unsigned byte_max;         // at most this many of the sample's bytes may share a value
    uint32_t ones_min, ones_max; // the 1 bits of a passing chunk lie within these
    double p_repetition, p_stale, p_byte, p_bias;
};
const health_limits& health_cutoffs();
// P(X >= k) for X binomial(n, p), from the exact terms.
double binomial_upper_tail(uint64_t n, double p, uint64_t k);

struct health_verdict {
    bool pass = true;
    health_test failed = health_test::repetition; // the first test failed
    std::string seen;                             // what that test saw
};

// Tests chunks, and remembers the last ones' fingerprints for the stale test.
class chunk_tester {
public:
    // Tests the HEALTH_CHUNK_BYTES bytes at `chunk`, read at ring word address
    // `address` (a second read of the same address is no fault).
    health_verdict test(const uint64_t* chunk, uint32_t address);

private:
    static constexpr int remembered = 16;
    struct fingerprint {
        uint64_t words[4] = {};
        uint32_t address = 0;
        bool used = false;
    };
    fingerprint seen[remembered];
    int next = 0;
};

// The board's health, from the verdicts on its chunks. It starts untested: the
// first 1 MiB (16 chunks in a row) must pass before anything is delivered. Any
// failure makes the board unhealthy (with `withhold` false, -D, the failures are
// only reported); 1 MiB in a row passing makes it healthy again. Unhealthy for 60 s,
// or unhealthy again from the same ring address on each of 3 laps in a row (a bad
// region of the board's memory), and the daemon gives up.
class board_health {
public:
    enum class state { starting, healthy, unhealthy };
    enum class event { none, started, start_failed, unhealthy, healthy_again, give_up };
    static constexpr unsigned passes_to_trust = 16;
    static constexpr int64_t give_up_after_ns = 60000000000LL;
    static constexpr unsigned bad_region_laps = 3;

    explicit board_health(bool withhold_) : withhold(withhold_) {}
    // Tests the chunk read at ring address `address` in lap `lap`, at `now_ns`:
    // the verdict, and what it changes.
    event judge(const uint64_t* chunk, uint32_t address, uint64_t lap, int64_t now_ns, health_verdict& verdict);
    // Takes the verdict on the chunk read at ring address `address` in lap `lap`.
    event chunk(bool pass, uint32_t address, uint64_t lap, int64_t now_ns);
    // Checked with no chunk to judge, so that a board that stays unhealthy is given up.
    event tick(int64_t now_ns);
    state now() const { return current; }
    bool delivering() const { return current == state::healthy; }

private:
    chunk_tester tester;
    bool withhold;
    state current = state::starting;
    unsigned passes = 0;          // chunks in a row that passed
    int64_t unhealthy_since = 0;
    uint32_t episode_address = 0; // where the last unhealthy spell began, and in which lap
    uint64_t episode_lap = 0;
    unsigned episode_laps = 0;    // spells in a row that began there, a lap apart
};
