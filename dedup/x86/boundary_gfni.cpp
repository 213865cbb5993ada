// Candidate search with GFNI's affine byte transform.
//
// The filter is the one of boundary_avx2.cpp: a window may end a chunk only
// if the top byte of its hash is at most the threshold's, and that top byte
// is the XOR of one term per window place.  A term's top byte is a linear
// function of its byte over GF(2) (the hash is a CRC), that is an 8x8 bit
// matrix, and one affine instruction applies such a matrix to 32 bytes.  So
// a place costs a load, the transform and an XOR, where the shuffle filter
// needs two nibble masks, a shift, two table loads, two shuffles and two
// XORs.  A wider pass (64 windows in a 512-bit register) would halve the
// instructions again, but a search that stops at its first boundary, about
// 100 windows in at the default threshold, would waste more of each pass;
// and some CPUs run 512-bit operations as two halves.
#if defined(__x86_64__)

#include <immintrin.h>

#include "dedup/boundary_scan.h"
#include "dedup/window_tables.h"
#include "dedup/x86/filter_search.h"

namespace cdedup {

namespace {

struct AffineFilter {
  __m256i top_limit, top_empty;

  AffineFilter(const WindowTables& t, uint32_t threshold)
      : top_limit(_mm256_set1_epi8(static_cast<char>(threshold >> 24))),
        top_empty(_mm256_set1_epi8(static_cast<char>(t.empty >> 24))) {}

  // Bit i set when the window ending at end[i] may hash below the
  // threshold.  Reads end[-15 .. 32).  The empty asm keeps the matrices as
  // loads beside their use, as in the shuffle filter: hoisted, sixteen of
  // them fill every register and the sum spills.
  inline uint32_t pass(const WindowTables& t, const uint8_t* end) const {
    const uint8_t* const w = end - 15;
    const uint64_t* matrices = &t.top_affine[0][0];
    asm("" : "+r"(matrices));
    __m256i acc = top_empty;
#pragma GCC unroll 16
    for (int k = 0; k < 16; ++k) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + k));
      const __m256i m = _mm256_load_si256(reinterpret_cast<const __m256i*>(matrices + 4 * k));
      acc = _mm256_xor_si256(acc, _mm256_gf2p8affine_epi64_epi8(v, m, 0));
      asm("" : "+x"(acc));
    }
    return top_at_most(acc, top_limit);
  }
};

}  // namespace

void boundary_candidates_gfni(const WindowTables& t, uint32_t threshold, const uint8_t* data, size_t from,
                              size_t to, uint64_t* bits) {
  filter_candidates(AffineFilter(t, threshold), t, threshold, data, from, to, bits);
}

size_t boundary_find_gfni(const WindowTables& t, uint32_t threshold, const uint8_t* data, size_t from, size_t to) {
  return filter_find(AffineFilter(t, threshold), t, threshold, data, from, to);
}

}  // namespace cdedup

#endif
