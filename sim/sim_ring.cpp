// The simulated board's DDR ring: the content of a frame, the fault window in
// it, and what a DMA read finds at each address.
#include "sim_ring.h"

#include "sim_content.h"

#include <algorithm>
#include <cstring>

namespace simboard {

namespace {

constexpr int64_t RING = static_cast<int64_t>(SIM_RING_WORDS);

// The latest frame position below `below` at ring address a; negative when
// there is none.
int64_t latest(uint64_t a, uint64_t below)
{
    int64_t b = static_cast<int64_t>(below);
    int64_t d = (b - 1 - static_cast<int64_t>(a)) % RING;
    return b - 1 - (d < 0 ? d + RING : d);
}

} // namespace

PURE_CONTENT void ring_content::found(unsigned char* out, uint64_t a, uint64_t count) const
{
    uint64_t n = a < start ? std::min(count, start - a) : 0;
    if (n > 0)
        sim_content_bytes(found_seed, a * 4, out, static_cast<size_t>(n * 4));
    std::memset(out + n * 4, 0, static_cast<size_t>((count - n) * 4));
}

PURE_CONTENT void ring_content::written(unsigned char* out, uint64_t q, uint64_t count) const
{
    if (q < start) {
        uint64_t n = std::min(count, start - q);
        found(out, q, n);
        out += n * 4;
        q += n;
        count -= n;
    }
    if (count == 0)
        return;
    sim_content_bytes(seed, (offset + q) * 4, out, static_cast<size_t>(count * 4));
    uint64_t lo, hi;
    if (!fault.within(offset + q, count, lo, hi))
        return;
    unsigned char* at = out + (lo - offset - q) * 4;
    if (fault.kind == fault_kind::lap)
        lap(at, lo - offset, hi - lo);
    else
        fault.overlay(at, lo, hi - lo);
}

PURE_CONTENT void ring_content::lap(unsigned char* out, uint64_t q, uint64_t count) const
{
    // The frame position the window opened at; a window opened before the frame
    // began finds what the frame found.
    uint64_t opened = std::max(fault.first, offset + start) - offset;
    while (count > 0) {
        uint64_t a = q % SIM_RING_WORDS;
        int64_t old = latest(a, opened); // below the window: never in it
        uint64_t run = std::min(count, static_cast<uint64_t>(static_cast<int64_t>(opened) - old));
        if (old >= static_cast<int64_t>(start)) {
            written(out, static_cast<uint64_t>(old), run);
        } else {
            run = std::min(run, static_cast<uint64_t>(old >= 0 ? static_cast<int64_t>(start) - old : -old));
            found(out, a, run);
        }
        out += run * 4;
        q += run;
        count -= run;
    }
}

PURE_CONTENT uint32_t ring_content::block_xor(uint64_t q) const
{
    unsigned char block[SIM_BLOCK_WORDS * 4];
    written(block, q, SIM_BLOCK_WORDS);
    uint32_t x = 0;
    for (uint64_t i = 0; i < SIM_BLOCK_WORDS; i++)
        x ^= load_le32(block + 4 * i);
    return x;
}

PURE_CONTENT void ring_view::read(unsigned char* out, uint64_t a, uint64_t count) const
{
    // Addresses below `edge` hold the current lap, the others the lap before;
    // within each part the frame position follows the address.
    const uint64_t edge = top % SIM_RING_WORDS;
    const int64_t lo = static_cast<int64_t>(stale_lo), hi = static_cast<int64_t>(stale_hi);
    const int64_t start = static_cast<int64_t>(content.start);
    while (count > 0) {
        int64_t q = latest(a, top);
        uint64_t run = a < edge ? std::min(count, edge - a) : count;
        if (lo < hi && q >= lo && q < hi) {
            run = std::min(run, static_cast<uint64_t>(hi - q));
            q -= RING;
        } else if (lo < hi && q < lo) {
            run = std::min(run, static_cast<uint64_t>(lo - q));
        }
        if (q >= start) {
            content.written(out, static_cast<uint64_t>(q), run);
        } else {
            if (q >= 0)
                run = std::min(run, static_cast<uint64_t>(start - q));
            content.found(out, a, run);
        }
        out += run * 4;
        a += run;
        count -= run;
    }
}

} // namespace simboard
