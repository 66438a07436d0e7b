// The simulated accelerator board: one model per process, standing behind the
// simulated xdma_handler (sim_xdma.cpp), which qrngd-sim and the test binary link
// instead of the real device layer. This interface is answered by sim_api.cpp;
// the model itself is in sim_model.cpp, its DDR ring in sim_ring.cpp, the
// faulty content in sim_faults.cpp and the configuration in sim_config.cpp.
//
// The model answers the register map with separate read and write meanings per
// offset and computes the DDR write pointer from the monotonic clock, so no
// thread of its own is needed. A mutex inside the model serialises every access
// (the monitor thread's register reads run while the main thread reads DMA).
//
// Configuration of the simulated hardware (not of the daemon): the environment
// variable QRNG_SIM, read when the process starts, or sim_configure() in process.
// A comma-separated list of key=value pairs, all optional:
//   board=pcie|m2        version 0xDA000102 (6 chips) or 0xD7000001 (4 chips); pcie
//   version=H            version word in hexadecimal (0x optional); overrides board
//   chips=N              chip count read at 0x6004, 0..32; 6 for pcie, 4 for m2
//   rate=R               generation rate in MiB/s (1 MiB = 1048576 bytes), a decimal
//                        number such as 32 or 0.5, from 0 (chips work but nothing is
//                        written) up to 1048576 (1 TiB/s); 32
//   seed=S               64-bit seed of the content, decimal or 0x hexadecimal;
//                        a fresh random value by default
//   dead=M               bit mask of chips that never work (decimal or 0x hex); 0
//   die_after=T          seconds (decimal, fractional allowed) after the first
//                        spi_start since configuration at which every chip stops
//                        working for good; the pointer then stops; never
//                        The times below count from that spi_start too.
//   restart_after=T      seconds after spi_start at which the board restarts its ring
//                        by itself, once (an FPGA reset): the pointer goes back to 0
//                        of lap 0 and the ring's content is forgotten (reads 0 until
//                        written again), but the stream goes on: the first word
//                        written after the restart is the stream word that follows
//                        the last one written before it (see Positions below), so
//                        a capture spanning it skips forward in the stream and
//                        never repeats; generation goes on; never
//   stall_after=T        seconds after spi_start from which the pointer stands still
//                        while the chips go on reporting working rates and status
//                        bits; then it moves on at the rate from where it stood; never
//   stall_for=T          how long the pointer stands still, in seconds; for good
//   resume_at=B          byte of lap 0 (word-aligned, below 0x10000000) at which
//                        configuration, spi_reset and start-up leave the pointer, as
//                        a board that resumes where it stopped; 0. The words below
//                        it (addresses 0..B/4-1) hold another stream, the seed's
//                        XOR a constant (word a at address a), written before the
//                        daemon started: a consumer that gets any of them fails
//                        qrng-verify --seed. From the pointer on the board writes
//                        its stream as without resume_at (address a of lap L holds
//                        stream word L * 0x4000000 + a: the first word written is
//                        stream word B/4); the words at and above B not written
//                        yet read 0; lap 1 overwrites the found words.
//   burst=B              the write address read at 0x6008 advances in steps of B
//                        bytes (a multiple of 4, 4..64 MiB): it reads the position
//                        reached (lap * 0x4000000 + address) rounded down to a
//                        multiple of B/4 words, never below resume_at, then modulo
//                        the ring. The content is written word by word as before:
//                        the words between the address and the position reached
//                        are there already; every word
//   lag=B                the board's writes trail its address by B bytes (a multiple
//                        of 4, up to 64 MiB): the words at positions [p - B/4, p), p
//                        the position the address shows (after burst), still read as
//                        they were before: the lap before's word at that address,
//                        0 in lap 0 (the found stream below resume_at); the words
//                        from p on are written as with burst alone. The checksum
//                        report covers what is written: the latest block complete
//                        below p - B/4; 0
//   fault=K              the words written within the fault window are replaced:
//                        zero (0x00000000), ones (0xFFFFFFFF), constant (0x5A5A5A5A),
//                        period (the board repeats its own output: the window's
//                        first fault_period bytes are written as healthy, and from
//                        then on each byte reads as the one fault_period bytes
//                        before it, the byte at position b as the healthy byte at
//                        first + (b - first) % fault_period), bias (each bit 1 with probability fault_p,
//                        from a hash of seed and position), byte (each byte 0xA5
//                        with probability 1/16, else a pseudo-random byte from a
//                        hash of seed and position; with fault_stride, only the
//                        words at offsets 8 and up of each fault_stride-byte block
//                        of absolute byte positions, offsets 0-7 healthy), lap (the
//                        pointer advances but nothing is written: a word reads as
//                        its address held when the window opened, the last word
//                        written there before the window's first position, one or
//                        more laps earlier, or what the frame found there: the
//                        found stream below resume_at, else 0), stuck (in every
//                        64-byte line, the bit fault_bit % fault_lane of every
//                        fault_lane-bit lane reads fault_value; bit k of a line is
//                        bit k % 8 of its byte k / 8) or lane (byte fault_byte of
//                        every 64-byte line reads 0xA5); none by default. Lines
//                        start at absolute byte positions multiple of 64.
//                        A repeated (period), bias or byte word that equals the
//                        healthy word at its position has its lowest bit flipped,
//                        so every faulty word differs from the healthy content (a
//                        period then breaks in that word, a chance of 2^-32 per
//                        word); a consumer checking against the healthy content
//                        thus finds every repeated word;
//                        zero, ones, constant and lap stay exact (each equals the
//                        healthy word with chance 2^-32); a stuck or lane word
//                        equals the healthy word whenever its healthy bits already
//                        read so (a stuck bit: half the words that hold one)
//   fault_period=B       bytes of the period block: a power of two, 8..4194304; 64
//   fault_bit=N          the stuck bit of a line, 0..511; 0
//   fault_lane=L         bits of the stuck lanes: 8, 16, 32, 64, 128, 256 or 512 (one
//                        bit per line); 512
//   fault_value=0|1      the stuck bits' value; 0
//   fault_byte=N         the byte of a line fault=lane replaces, 0..63; 0
//   fault_stride=N       bytes of fault=byte's blocks, a power of two, 16..65536;
//                        none: every word of the window
//   fault_p=P            probability of a 1 bit for fault=bias, a decimal in (0, 1)
//                        (the 32-bit threshold rounds it to 2^-32); 0.51
//   fault_after=T        seconds after spi_start at which the fault window opens; 0
//   fault_for=T          how long it stays open, in seconds; for good
//                        The window holds the words the board writes at times in
//                        [T1, T1 + fault_for), T1 = spi_start + fault_after: the
//                        absolute positions from the one reached at T1 to the one
//                        reached at its end, whatever the pointer did meanwhile.
//                        It is exact for one spi_start and no spi_reset or
//                        start-up after T1 (a restart_after keeps it exact); after
//                        such a rewind it stays that range of positions, which
//                        then no longer matches the write times.
//   fault_at=B           the fault window by position instead: the absolute byte
//                        positions [B, B + fault_bytes), word-aligned, whenever the
//                        board writes them (B 0 when only fault_bytes is given);
//                        not with fault_after or fault_for
//   fault_bytes=N        bytes of that window, word-aligned; for good
//   missing=user|c2h     that device node does not exist: opening it fails
//   mmap_fail=0|1        mapping the register device fails; 0
//   dma_fail_every=N     every N-th DMA read fails with -1 (0 = never); never
//   short_every=N        every N-th DMA read returns half the bytes asked, rounded
//                        down to a word (0 = never): a read of 4 bytes returns 0,
//                        so with short_every=1 no read of a whole chunk ever
//                        completes; a failing read wins; never
//   corrupt_every=N      every N-th published checksum report carries a wrong
//                        checksum (0 = never); never
//   torn_every=N         every N-th read of the checksum report pair (a read with a
//                        count at 0x6018) is torn: the checksum of the block before
//                        the reported one (0 before the second complete block) with
//                        the reported block's address, as if the board had published
//                        between the two 32-bit reads; a pair read right after a
//                        torn one is never torn; reads without a count are not
//                        affected (0 = never); never
//   stale_every=N        every N-th DMA read returns the full byte count but leaves
//                        the caller's buffer untouched, as a DMA engine that did not
//                        transfer; counted and traced as a successful read; a
//                        failing or short read wins (0 = never); never
//   dma_us=N             each DMA read takes at least N microseconds (up to 10 s); 0
//   dma_hang=N           the N-th DMA read since configuration hangs (0 = never): it
//                        returns only after dma_hang_s seconds, then as any other read,
//                        with the ring as it is then; it holds no lock of the model
//                        meanwhile, so other threads' register reads go on; never
//   dma_hang_s=S         how long that read hangs, in seconds (decimal, fractions
//                        allowed, at most 600); 30
// An unknown key or a malformed value ends a process configured from the
// environment with a message naming it on standard error and exit status 2.
//
// Trace: when QRNG_SIM_TRACE names a file (or after sim_trace_to), every device
// access is appended to it as one line, in the order the model saw it:
//   W 6000 B0000000          register write (offset 4, value 8 upper-case hex digits)
//   R 6004 00000006          register read; a read with a count traces each word
//   D 00010000 65536 65536   DMA read: byte offset (8 hex digits), size, result
//   O <path> / C <path>      a device opened / closed
// Refused accesses (closed device, offset outside the window) reach no device and
// are not traced.
//
// Counters: when QRNG_SIM_STATS names a file at start-up, the model writes its
// counters there when the process exits through exit() or by returning from main
// (replacing the file), one key=value line each, for scripts that watch a daemon
// from outside:
//   dma_reads=N          DMA reads since configuration
//   dma_bytes=N          bytes they returned (reads with a result above 0)
//   words_generated=N    the write position then, lap * 0x4000000 + pointer, the
//                        pointer as read at 0x6008 (burst)
//
// How the board behaves:
// - Generator: spi_start (0xA2000000) starts it, spi_stop (0xAF000000), shut-down
//   (0xBF000000) and start-up (0xB0000000) stop it. spi_reset (0xA3000000) and
//   start-up put the write pointer back to 0 (resume_at) of lap 0 and forget the
//   ring's content (it reads 0 until written again; the found stream below
//   resume_at). While the generator runs and at least one chip works, the
//   pointer advances at the configured rate, whatever the number of working
//   chips (except while stalled), and wraps at 0x4000000 words into a new lap.
// - Positions: the board writes one endless stream (sim_content.h); a word's
//   absolute position is its index in that stream (its absolute byte position
//   4 times that). Until a restart of the board's own, address a of lap L holds
//   absolute position L * 0x4000000 + a. A restart at absolute position P (the
//   first word not yet written) starts lap 0 again at address 0 with P: from
//   then on address a of lap L holds absolute position P + L * 0x4000000 + a, so
//   the fault window (fault_at, fault_after), the period block and the 64-byte
//   lines, all counted in absolute positions, follow the stream rather than the
//   addresses (after a restart at a P that is not a multiple of 16, a line no
//   longer starts at an address multiple of 64 bytes). spi_reset and start-up
//   go back to absolute position 0 (resume_at / 4): the stream repeats.
// - Chip i works while the generator runs, i < chips, it is not dead, bit i of
//   the chip mask (written to 0x6008; all ones after configuration) is set, and
//   die_after has not passed. A working chip reads a rate byte 0xF0..0xFF
//   (varying every 100 ms) and status bit 1; otherwise rate byte 0 and status 0.
//   Only chips 0..7 have a rate byte.
// - Filter counters of chip i (0x6020 + 8i, 0x6024 + 8i): while filtering is on
//   (0xD0000000 received last) and the chip works, second > first > 0, ratio
//   between 0.84 and 0.99; otherwise both 0.
// - Checksum report (0x6018, 0x601C): the XOR of the 512 words of the most
//   recent complete 512-word block (aligned on the ring's addresses) as the ring
//   holds them (faulty words included; fault=lap: the old words), and its word
//   address; with lag, of the latest block complete below the words not yet
//   written. A block is complete once its last word is written since the last
//   spi_reset, start-up or restart (with resume_at the first one may hold found
//   words below resume_at); 0 and 0 until then. A read with a count answers
//   from one snapshot.
// - Writes: chip mask, LED select (led | 0xD0) then colour, stand-by, chip data
//   word (reg << 16 | value) then chip command word (id << 16 | chip); spi_enable,
//   spi_disable, filter, DRBG and debug commands are recorded. Other offsets read
//   0 and ignore writes.
// - DMA: a read returns, for each word, the content of the latest lap that wrote
//   it (lag: but for the words not yet written), faulty within the fault window;
//   where none has, 0 (the found stream below resume_at); a read reaching past
//   byte 0x10000000 fails with -1. Its cost outside the fault window does not
//   depend on the fault.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>

// ---- In-process API (tests) ----

// Resets the model to a fresh board with a QRNG_SIM-style configuration and the
// real clock. Returns "" on success, otherwise a message naming the bad key or
// value (the model then keeps its previous configuration). The trace is kept.
std::string sim_configure(const std::string& config);

// Appends the trace to `path` from now on ("" stops tracing). False when the file
// cannot be opened.
bool sim_trace_to(const std::string& path);

// Test clock: sim_freeze_clock() stops the model's clock at the current time;
// afterwards it moves only by sim_advance_clock(). sim_real_clock() goes back to
// the monotonic clock (the model's time jumps accordingly).
void sim_freeze_clock();
void sim_advance_clock(double seconds);
void sim_real_clock();

// A chip register write decoded from the data word and the command word.
struct sim_chip_write {
    uint16_t reg = 0;
    uint16_t value = 0;
    uint16_t chip = 0;
    uint16_t id = 0;
};

// What the board shows at one moment.
struct sim_state {
    uint64_t seed = 0;
    uint32_t version = 0;
    unsigned chips = 0;
    uint64_t words_written = 0;  // lap * 0x4000000 + pointer, since the last rewind or restart
    uint64_t lap = 0;
    uint32_t pointer = 0;        // DDR write address, as read at 0x6008
    bool generating = false;     // between spi_start and spi_stop/shut-down
    bool spi_enabled = false;
    bool filter = false;
    bool drbg = false;
    bool debug = false;
    uint32_t chip_mask = 0;
    uint32_t standby = 0;
    uint32_t last_command = 0;   // last word written to 0x6000
    uint32_t led[16] = {};       // colour word of each LED select 0xD0..0xDF
    uint64_t chip_writes = 0;    // chip register writes completed
    sim_chip_write last_chip_write;
    uint64_t dma_reads = 0;      // DMA reads that reached the board
    uint64_t dma_bytes = 0;      // bytes those reads returned
    uint64_t reports_published = 0; // checksum reports read with a new block
};

sim_state sim_get_state();

// ---- Device side, used by the simulated xdma_handler ----

enum class sim_device { user, c2h };
enum class sim_open_result { ok, missing, mmap_failed };

// Opens (and for the register device maps) a device node; traces "O path".
sim_open_result sim_device_open(sim_device device, const std::string& path);
// Traces "C path".
void sim_device_close(const std::string& path);
// Reads the register at `offset`; with `out`, also fills `count` words starting
// there (one snapshot). Returns the first word. The offsets are already checked.
unsigned int sim_register_read(int offset, unsigned int* out, unsigned long count);
void sim_register_write(int offset, unsigned int value);
// A DMA read of the ring: bytes read or -1.
ssize_t sim_dma_read(void* buf, unsigned long size, unsigned long offset);
