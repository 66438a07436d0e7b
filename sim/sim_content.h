// Content of the simulated board's DDR ring, shared by the simulated device
// layer and the stream verifier.
//
// The accelerator's output is one endless stream: the little-endian bytes of the
// SplitMix64 outputs for a 64-bit seed s. Output k (k = 0, 1, 2, ...) is
// mix(s + (k + 1) * 0x9E3779B97F4A7C15), where
//   mix(z): z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
//           z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
//           return z ^ (z >> 31);
// all modulo 2^64. Word 2k of the stream is the low half of output k, word 2k + 1
// its high half. The ring holds, at word address a of lap L, the word at absolute
// position n = L * 0x4000000 + a (shifted by a restart of the board's own, see
// restart_after in sim_model.h). With seed 0 the stream starts AF CD 1D 7B 39 A8 20 E2.
//
// Everything here is pure and thread-safe.
#pragma once

// The content is pure arithmetic on the caller's own memory: ThreadSanitizer's
// checks of every access would only slow the simulated board and the verifier
// below the rates the tests ask of them. Also for the ring's content and faults.
#if defined(__SANITIZE_THREAD__)
#define PURE_CONTENT __attribute__((no_sanitize("thread")))
#else
#define PURE_CONTENT
#endif

#include <cstddef>
#include <cstdint>
#include <string>

// The ring, in 32-bit words and in bytes.
constexpr uint64_t SIM_RING_WORDS = 0x4000000;
constexpr uint64_t SIM_RING_BYTES = SIM_RING_WORDS * 4;
// The accelerator checksums blocks of this many words.
constexpr uint64_t SIM_BLOCK_WORDS = 512;

// Output k of the generator for `seed`.
uint64_t sim_content_output(uint64_t seed, uint64_t k);

// The k for which sim_content_output(seed, k) is `output` (mix is a bijection):
// where in the stream a 64-bit output lies, found at once.
uint64_t sim_content_index(uint64_t seed, uint64_t output);

// The 32-bit word at absolute position n of the stream.
uint32_t sim_content_word(uint64_t seed, uint64_t n);

// Writes `size` bytes of the stream, starting at absolute byte position
// `first_byte`, to `out` (any alignment). Generates whole outputs, no per-byte work.
void sim_content_bytes(uint64_t seed, uint64_t first_byte, unsigned char* out, size_t size);

// Parses an unsigned 64-bit number: decimal, or hexadecimal with a 0x prefix.
// False for anything else (empty, stray characters, overflow).
bool sim_parse_u64(const std::string& text, uint64_t& value);
