// A keyed check of a chunk's bytes, kept beside each index entry by the
// lossless encoder.
//
// The 16-byte chunk key is built for speed, not against an adversary: bytes
// are XORed into a block between mixes, so two different chunks with the same
// key are easy to make on purpose, and trusting the key alone would let such
// input decode to the wrong bytes.  Before a hit becomes a reference, the
// encoder also compares this check: a multilinear hash modulo the prime
// 2^61 - 1 under a key drawn at random for each run.  For any two different
// chunks of equal length the checks agree with probability at most 2^-61,
// whatever their bytes, since the key is not known when the input is made.
// It costs one 64-bit multiply per 4 bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dedup/chunker.h"

namespace cdedup {

inline constexpr size_t CHECK_KEY_WORDS = (CHUNK_MAX_LEN + 3) / 4;

struct CheckKey {
  uint64_t k[CHECK_KEY_WORDS];  // each below 2^61 - 1
};

// Draws a fresh key from the system's random source.
void check_key_init(CheckKey& key);
// Draws a key from a seed (tests).
void check_key_seed(CheckKey& key, uint64_t seed);

// Check of chunk bytes data[0, n), n <= CHUNK_MAX_LEN.
uint64_t chunk_check(const CheckKey& key, const uint8_t* data, size_t n);

}  // namespace cdedup
