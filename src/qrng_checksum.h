// The block integrity check's memory of checksums, for its duplicate reports.
// A healthy board's 32-bit checksums repeat by chance (with 65,536 of them kept,
// a few times a minute at 256 MiB/s); a value seen three times within the last
// 4,096 checks is reported instead: by chance about 0.23 times a year (a new value
// matching two of 4,095 others: C(4095,2) / 2^64 = 4.5e-13 per check, 5.2e11 checks
// a year at one per 64 KiB at 1 GiB/s), while a board repeating one block is
// reported at its third check. Memory stays bounded by the window.
//
// Threads: the read loop's (main) thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

class checksum_window {
public:
    static constexpr size_t size = 4096;
    static constexpr unsigned long report_at = 3;

    // Takes checksum C of the block at `address`; returns how often C occurs among
    // the last `size` checks, this one included, with the address of its previous
    // occurrence in `previous_address` when there is one.
    unsigned long add(uint32_t checksum, uint32_t address, uint32_t& previous_address);
    // Distinct values kept (at most `size`).
    size_t distinct() const { return seen.size(); }

private:
    struct occurrences {
        unsigned long count = 0;
        uint32_t last_address = 0;
    };
    std::unordered_map<uint32_t, occurrences> seen;
    std::vector<uint32_t> order; // the last `size` values, a ring
    size_t next = 0;
};
