// Internal to the simulated board: what its DDR ring holds. The board writes
// the seed's stream (sim_content.h) in frames: a frame begins at configuration,
// spi_reset and start-up (at frame position resume_at / 4, stream offset 0) and
// at a restart of the board's own (at frame position 0, the stream going on
// where it stood). Frame position q (lap q / ring size, address q % ring size)
// holds stream position offset + q, faulty within the fault window.
#pragma once

#include "sim_faults.h"

#include <cstdint>

namespace simboard {

// Seeds the stream found below resume_at, apart from the board's own.
constexpr uint64_t FOUND_SEED_TAG = 0x6A09E667F3BCC909ULL;

// The content of one frame; a plain value, copied for a DMA read.
struct ring_content {
    uint64_t seed = 0;
    uint64_t found_seed = 0; // of the words found below `start` in lap 0
    uint64_t offset = 0;     // stream position of frame position 0
    uint64_t start = 0;      // frame position of the first word written
    fault_content fault;

    // The words of frame positions [q, q + count) as written (those below
    // `start`, never written, as found), as little-endian bytes.
    void written(unsigned char* out, uint64_t q, uint64_t count) const;
    // What ring addresses [a, a + count) held before the frame wrote them: the
    // found stream below `start`, 0 above.
    void found(unsigned char* out, uint64_t a, uint64_t count) const;
    // XOR of the words of frame positions [q, q + 512), as written.
    uint32_t block_xor(uint64_t q) const;

private:
    // fault=lap: the frame positions [q, q + count), all in the window, read as
    // the ring held them when the window opened.
    void lap(unsigned char* out, uint64_t q, uint64_t count) const;
};

// The ring at one moment, as a DMA read sees it.
struct ring_view {
    ring_content content;
    uint64_t top = 0;      // frame position reached: everything below is written
    uint64_t stale_lo = 0; // but for [stale_lo, stale_hi) (lag), which still
    uint64_t stale_hi = 0; // holds what the lap before wrote there

    // The words of ring addresses [a, a + count), a + count <= the ring's size.
    void read(unsigned char* out, uint64_t a, uint64_t count) const;
};

} // namespace simboard
