// Candidate search with AVX2 byte shuffles.
//
// A window can end a chunk only if its hash is below the threshold, so only
// if the hash's top byte is at most the threshold's.  That top byte is the
// XOR of one term per window byte (window_tables.h), and a term's top byte
// is two 16-entry lookups, one per nibble: exactly what a byte shuffle does,
// 32 windows at a time.  At the default threshold about one window in 85
// passes this filter, and only those are hashed exactly.  No chain links one
// window to the next, so nothing waits on a load; the alternative of rolling
// eight hashes side by side with gathered table loads measured slower than
// plain scalar lanes on this class of machine.
//
// The search form checks the passes of each block in order and stops at the
// first true one.  It reads only the bytes its windows cover, since ranges
// end where callers' buffers do: a last partial block is redone as the
// block that ends at the range's end, and a range of under 32 windows is
// hashed one window at a time.
#if defined(__x86_64__)

#include <immintrin.h>

#include "dedup/boundary_scan.h"
#include "dedup/window_tables.h"

namespace cdedup {

namespace {

struct TopFilter {
  __m256i nibble, top_limit, top_empty;

  TopFilter(const WindowTables& t, uint32_t threshold)
      : nibble(_mm256_set1_epi8(0x0F)),
        top_limit(_mm256_set1_epi8(static_cast<char>(threshold >> 24))),
        top_empty(_mm256_set1_epi8(static_cast<char>(t.empty >> 24))) {}

  // Bit i set when the window ending at end[i] may hash below the
  // threshold.  Reads end[-15 .. 32).
  //
  // Left to itself g++ 12 hoists the 32 table loads out of the caller's
  // loop into a stack copy made on every call, and reorders the XORs into a
  // tree that spills the shuffle results; an opaque table pointer and an
  // empty asm that pins the sum to a register after each place keep the
  // plain shape (about a quarter faster for a search).  Tried and dropped,
  // measured no faster: splitting the bytes into nibbles once (per span or
  // per 128 windows) instead of once per place; 64 or 128 windows per pass
  // sharing each table load (higher raw speed, but a search that stops at
  // the first boundary wastes more of it); skipping the exact check for
  // windows whose top byte is below the threshold's.
  inline uint32_t pass(const WindowTables& t, const uint8_t* end) const {
    // Lane i holds the window that ends at end[i]; its byte at place k is
    // end[i - 15 + k].
    const uint8_t* const w = end - 15;
    const uint8_t* lo_tab = &t.top_lo[0][0];
    const uint8_t* hi_tab = &t.top_hi[0][0];
    asm("" : "+r"(lo_tab), "+r"(hi_tab));
    __m256i acc = top_empty;
#pragma GCC unroll 16
    for (int k = 0; k < 16; ++k) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + k));
      const __m256i lo = _mm256_and_si256(v, nibble);
      const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble);
      const __m256i tlo = _mm256_load_si256(reinterpret_cast<const __m256i*>(lo_tab + 32 * k));
      const __m256i thi = _mm256_load_si256(reinterpret_cast<const __m256i*>(hi_tab + 32 * k));
      acc = _mm256_xor_si256(acc, _mm256_xor_si256(_mm256_shuffle_epi8(tlo, lo), _mm256_shuffle_epi8(thi, hi)));
      asm("" : "+x"(acc));
    }
    const __m256i ok = _mm256_cmpeq_epi8(_mm256_max_epu8(acc, top_limit), top_limit);
    return static_cast<uint32_t>(_mm256_movemask_epi8(ok));
  }
};

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

}  // namespace

void boundary_candidates_avx2(const WindowTables& t, uint32_t threshold, const uint8_t* data, size_t from,
                              size_t to, uint64_t* bits) {
  const TopFilter f(t, threshold);
  for (size_t b = from; b < to; b += 32) {
    uint32_t mask = f.pass(t, data + b);
    while (mask != 0) {
      const size_t j = b + static_cast<size_t>(__builtin_ctz(mask));
      mask &= mask - 1;
      if (window_hash_terms(t, data + j - 15) < threshold) bits[j >> 6] |= uint64_t{1} << (j & 63);
    }
  }
}

size_t boundary_find_avx2(const WindowTables& t, uint32_t threshold, const uint8_t* data, size_t from, size_t to) {
  if (from >= to) return to;
  const TopFilter f(t, threshold);
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

}  // namespace cdedup

#endif
