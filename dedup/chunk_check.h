// A keyed check of a chunk's bytes, filed with each index entry by the
// lossless encoder.
//
// The 16-byte chunk key is built for speed, not against an adversary: bytes
// are XORed into a block between mixes, so two different chunks with the same
// key are easy to make on purpose, and trusting the key alone would let such
// input decode to the wrong bytes.  The check is keyed at random for each run,
// so input cannot be made against it.  It is two NH sums over the chunk's
// 32-bit words (the second with its key shifted by four words), which SIMD
// lanes compute at a few cycles per 32 bytes, folded to 61 bits by a
// multilinear hash modulo 2^61 - 1.  For two different chunks of equal length
// the checks agree with probability at most 2^-64 + 2^-61 under a random key:
// the NH pair agrees with probability at most 2^-32 per sum, and the fold of
// two different pairs agrees with probability at most 1 / (2^61 - 1).
// Chunks of different lengths are told apart by the length itself.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dedup/chunker.h"
#include "dedup/fingerprint.h"

namespace cdedup {

// Words of NH key: a whole chunk padded to 32 bytes, plus the shift.
inline constexpr size_t CHECK_NH_SHIFT = 4;
inline constexpr size_t CHECK_NH_WORDS = (CHUNK_MAX_LEN + 31) / 32 * 8 + CHECK_NH_SHIFT;

struct CheckKey {
  uint32_t nh[CHECK_NH_WORDS];
  uint64_t fold[4];  // each below 2^61 - 1
};

// Draws a fresh key from the system's random source.
void check_key_init(CheckKey& key);
// Draws a key from a seed (tests).
void check_key_seed(CheckKey& key, uint64_t seed);

// Check of chunk bytes data[0, n), n <= CHUNK_MAX_LEN (the variant picked for
// this CPU).
uint64_t chunk_check(const CheckKey& key, const uint8_t* data, size_t n);

// The variants behind chunk_check: plain code (the reference) and AVX2.
uint64_t chunk_check_portable(const CheckKey& key, const uint8_t* data, size_t n);
bool chunk_check_avx2_available();
uint64_t chunk_check_avx2(const CheckKey& key, const uint8_t* data, size_t n);

// The 61-bit fold of the two NH sums; shared by the variants.
uint64_t check_fold(const CheckKey& key, uint64_t s0, uint64_t s1);

// The key the lossless encoder files a chunk under in the index: bytes 0..5
// of its fingerprint key, then the check (8 bytes, little-endian), then the
// length (bytes 14..15, as in the fingerprint key).  Bytes 0..3 choose the
// home slot, so every entry lands and moves exactly where the fingerprint key
// alone would put it, and chunks that differ in their fingerprints still
// differ here; but two chunks are now equal only when their checks agree, so
// the slot itself carries the check and a probe touches one line of memory.
// Bytes 4..5 decide nothing once the check must agree: in the slot they hold
// position bits, and equality skips them (exact_index.h).
inline ChunkKey checked_key(const ChunkKey& key, uint64_t check) {
  ChunkKey out = key;
  for (int i = 0; i < 8; ++i) out.bytes[6 + i] = static_cast<uint8_t>(check >> (8 * i));
  return out;
}

}  // namespace cdedup
