// The search loops around a wide filter of 32 windows, shared by the filters
// of this folder.  A filter answers, for the 32 windows ending at end[0..32),
// which of them may hash below the threshold (a superset of those that do);
// the loops here check its passes exactly, in order.
//
// The search form stops at the first true pass.  It reads only the bytes its
// windows cover, since ranges end where callers' buffers do: a last partial
// block is redone as the block that ends at the range's end, and a range of
// under 32 windows is hashed one window at a time.
//
// Each filter's file includes this and is built for its own instruction set,
// so everything here has internal linkage: no copy built for one set may be
// linked into the code of another.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "dedup/window_tables.h"

namespace cdedup {
namespace {  // NOLINT(cert-dcl59-cpp,google-build-namespaces): see above

// Bit i set where byte i of `top` is at most the same byte of `limit`: the
// filters' answer from the top bytes of 32 window hashes.
inline uint32_t top_at_most(__m256i top, __m256i limit) {
  return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(top, limit), limit)));
}

// First window among the filter's passes (bit i: window ending at
// data[base + i]) that truly hashes below the threshold; `none` otherwise.
inline size_t first_true(const WindowTables& t, uint32_t threshold, const uint8_t* data, size_t base, uint32_t mask,
                         size_t none) {
  while (mask != 0) {
    const size_t j = base + static_cast<size_t>(__builtin_ctz(mask));
    if (window_hash_terms(t, data + j - 15) < threshold) return j;
    mask &= mask - 1;
  }
  return none;
}

template <class Filter>
void filter_candidates(const Filter& f, const WindowTables& t, uint32_t threshold, const uint8_t* data, size_t from,
                       size_t to, uint64_t* bits) {
  for (size_t b = from; b < to; b += 32) {
    uint32_t mask = f.pass(t, data + b);
    while (mask != 0) {
      const size_t j = b + static_cast<size_t>(__builtin_ctz(mask));
      mask &= mask - 1;
      if (window_hash_terms(t, data + j - 15) < threshold) bits[j >> 6] |= uint64_t{1} << (j & 63);
    }
  }
}

template <class Filter>
size_t filter_find(const Filter& f, const WindowTables& t, uint32_t threshold, const uint8_t* data, size_t from,
                   size_t to) {
  if (from >= to) return to;
  size_t b = from;
  for (; to - b >= 32; b += 32) {
    const uint32_t mask = f.pass(t, data + b);
    if (mask != 0) {
      const size_t j = first_true(t, threshold, data, b, mask, to);
      if (j != to) return j;
    }
  }
  if (b == to) return to;
  if (to - from >= 32) {
    // The last windows: one more block ending at `to`, less those already seen.
    const size_t c = to - 32;
    return first_true(t, threshold, data, c, f.pass(t, data + c) & (~uint32_t{0} << (b - c)), to);
  }
  // Fewer than 32 windows in all: a wide load would read past the range.
  for (; b < to; ++b)
    if (window_hash_terms(t, data + b - 15) < threshold) return b;
  return to;
}

}  // namespace
}  // namespace cdedup
