// The window hash as a sum of independent byte terms.
//
// The rolling CRC-32 of a 16-byte window is affine in the window's bits, so
// it equals the hash of 16 zero bytes XORed with one term per byte, each term
// depending only on the byte and its place in the window.  The terms need no
// chain from one window to the next, which lets a wide filter look at 32
// windows at once and lets any single window be checked with 16 independent
// table loads.
#pragma once

#include <cstdint>

namespace cdedup {

struct WindowTables {
  uint32_t empty;         // hash of 16 zero bytes
  uint32_t g[16][256];    // g[k][x]: the term of byte x at window place k (0 oldest, 15 newest)
  uint32_t add[256];      // the chunker's roll_addtab and roll_remtab, for
  uint32_t rem[256];      // rolling a window one byte on (roll_step)
  // Top byte of the terms, split by nibble (the terms are linear in the
  // byte), each 16-entry table stored twice to fill a 256-bit register.
  alignas(32) uint8_t top_lo[16][32];  // top byte of g[k][x] for x = 0..15
  alignas(32) uint8_t top_hi[16][32];  // top byte of g[k][x << 4] for x = 0..15
  // The same top byte as an 8x8 bit matrix, x -> top byte of g[k][x], in the
  // layout of GFNI's affine instruction (byte 7 - i: the bits of x whose
  // parity is bit i), stored four times to fill a 256-bit register.
  alignas(32) uint64_t top_affine[16][4];
};

// Built once, on first use.
const WindowTables& window_tables();

// Hash of the 16-byte window w[0..15], w[15] the newest byte.
inline uint32_t window_hash_terms(const WindowTables& t, const uint8_t* w) {
  uint32_t h = t.empty;
  for (int k = 0; k < 16; ++k) h ^= t.g[k][w[k]];
  return h;
}

}  // namespace cdedup
