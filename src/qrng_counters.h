// The counters the engine's two threads publish for its operators (the
// statistics line, STATUS= and the metrics file), as one struct of atomics.
//
// Threads: each counter has one writer, named beside it; any thread may read
// any of them at any time. The stop reason is set once, before exit_flag is set
// to 3 by the thread that stops the engine.
#pragma once

#include <atomic>
#include <cstdint>

struct engine_counters {
    std::atomic<uint64_t> bytes_board{0};          // read loop: bytes delivered from the board
    std::atomic<uint64_t> bytes_backup{0};         // read loop: bytes delivered from the backup source
    std::atomic<uint64_t> dma_failures{0};         // read loop: failed DMA reads, and reads that transferred nothing
    std::atomic<uint64_t> dma_short_chunks{0};     // read loop: chunks given up after short DMA reads
    std::atomic<uint64_t> overruns{0};             // read loop: times the board overtook the read position
    std::atomic<uint64_t> refused_chunks{0};       // read loop: read from the board, then refused by the output
    std::atomic<uint64_t> checksum_mismatches{0};  // read loop
    std::atomic<uint64_t> checksum_duplicates{0};  // read loop
    std::atomic<uint64_t> checksum_skipped{0};     // read loop: reports whose two reads disagreed
    std::atomic<int64_t> loop_alive_ns{0};         // read loop: its last progress, CLOCK_MONOTONIC
    std::atomic<uint64_t> generated_bytes{0};      // monitor: the board's output, counted from its samples
    std::atomic<uint64_t> ring_wraps{0};           // monitor: the board's laps, counted alike
    std::atomic<double> generation_rate{0};        // monitor: bytes/s between its last two compute passes
    std::atomic<int> chips_working{0};             // monitor (the boot check until its first pass)
    std::atomic<uint64_t> working_mask{0};         // monitor: bit i = chip i works
    std::atomic<unsigned long> last_rate{0};       // monitor: the last rate word
    std::atomic<const char*> stop_reason{nullptr}; // the thread that stops the engine (static text)
    std::atomic<int> output_state{0};              // read loop: 0 untested, 1 healthy, 2 unhealthy
    std::atomic<uint64_t> health_failures[6] = {}; // read loop: failed chunks, by the test they failed first
    std::atomic<uint64_t> withheld_bytes{0};       // read loop: board bytes read and not delivered for health
};
