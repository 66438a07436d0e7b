// Internal to the simulated board: its configuration (QRNG_SIM, see sim_model.h)
// and the parser that reads it.
#pragma once

#include <cstdint>
#include <string>

namespace simboard {

constexpr uint32_t VERSION_PCIE = 0xDA000102;
constexpr uint32_t VERSION_M2 = 0xD7000001;
constexpr unsigned CHIPS_PCIE = 6;
constexpr unsigned CHIPS_M2 = 4;
constexpr unsigned MAX_CHIPS = 32;
constexpr double MAX_RATE_MIB = 1048576.0;
constexpr double MAX_SECONDS = 1e9; // die_after and the other times after spi_start
constexpr uint64_t MAX_DMA_US = 10000000;
constexpr double MAX_DMA_HANG_S = 600.0;
constexpr uint64_t MAX_BURST = 64 << 20; // burst and lag, in bytes
constexpr uint64_t FOR_GOOD = UINT64_MAX;  // fault_bytes absent

// What fault= puts in place of the healthy words within the fault window.
enum class fault_kind { none, zero, ones, constant, period, bias, byte, lap, stuck, lane };

struct sim_config {
    uint32_t version = VERSION_PCIE;
    unsigned chips = CHIPS_PCIE;
    double rate_mib = 32.0;
    uint64_t seed = 0;
    uint64_t dead = 0;
    double die_after_s = -1.0; // negative: never
    double restart_after_s = -1.0; // negative: never
    double stall_after_s = -1.0;   // negative: never
    double stall_for_s = -1.0;     // negative: for good
    uint64_t resume_at = 0;        // bytes
    uint64_t burst = 0;            // bytes; 0: the address follows every word
    uint64_t lag = 0;              // bytes
    fault_kind fault = fault_kind::none;
    uint64_t fault_period = 64;    // bytes
    double fault_after_s = 0.0;
    double fault_for_s = -1.0;     // negative: for good
    bool fault_by_position = false; // fault_at/fault_bytes instead of the two times
    uint64_t fault_at = 0;         // bytes
    uint64_t fault_bytes = FOR_GOOD;
    uint64_t fault_bit = 0;
    uint64_t fault_lane = 512;     // bits
    uint64_t fault_value = 0;
    uint64_t fault_byte = 0;
    uint64_t fault_stride = 0;     // bytes; 0: fault=byte everywhere
    double fault_p = 0.51;
    bool missing_user = false;
    bool missing_c2h = false;
    bool mmap_fail = false;
    uint64_t dma_fail_every = 0;
    uint64_t short_every = 0;
    uint64_t corrupt_every = 0;
    uint64_t torn_every = 0;
    uint64_t stale_every = 0;
    uint64_t dma_us = 0;
    uint64_t dma_hang = 0;     // 0: no DMA read hangs
    double dma_hang_s = 30.0;
};

// Parses a QRNG_SIM configuration; "" on success, else the complaint.
std::string parse_config(const std::string& text, sim_config& cfg);

} // namespace simboard
