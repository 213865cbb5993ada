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
// plain scalar lanes on this class of machine.  Where the CPU has GFNI, the
// affine filter of boundary_gfni.cpp does the same with fewer instructions.
#if defined(__x86_64__)

#include <immintrin.h>

#include "dedup/boundary_scan.h"
#include "dedup/window_tables.h"
#include "dedup/x86/filter_search.h"

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
    return top_at_most(acc, top_limit);
  }
};

}  // namespace

void boundary_candidates_avx2(const WindowTables& t, uint32_t threshold, const uint8_t* data, size_t from,
                              size_t to, uint64_t* bits) {
  filter_candidates(TopFilter(t, threshold), t, threshold, data, from, to, bits);
}

size_t boundary_find_avx2(const WindowTables& t, uint32_t threshold, const uint8_t* data, size_t from, size_t to) {
  return filter_find(TopFilter(t, threshold), t, threshold, data, from, to);
}

}  // namespace cdedup

#endif
