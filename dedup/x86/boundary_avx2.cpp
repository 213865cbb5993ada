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
#if defined(__x86_64__)

#include <immintrin.h>

#include "dedup/boundary_scan.h"
#include "dedup/window_tables.h"

namespace cdedup {

void boundary_candidates_avx2(const WindowTables& t, uint32_t threshold, const uint8_t* data, size_t from,
                              size_t to, uint64_t* bits) {
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i top_limit = _mm256_set1_epi8(static_cast<char>(threshold >> 24));
  const __m256i top_empty = _mm256_set1_epi8(static_cast<char>(t.empty >> 24));
  for (size_t b = from; b < to; b += 32) {
    // Lane i holds the window that ends at data[b + i]; its byte at place k
    // is data[b + i - 15 + k].  (Splitting each byte into nibbles once per
    // span, instead of once per place, measured no faster.)
    __m256i acc = top_empty;
    for (int k = 0; k < 16; ++k) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + b - 15 + k));
      const __m256i lo = _mm256_and_si256(v, nibble);
      const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble);
      const __m256i tlo = _mm256_load_si256(reinterpret_cast<const __m256i*>(t.top_lo[k]));
      const __m256i thi = _mm256_load_si256(reinterpret_cast<const __m256i*>(t.top_hi[k]));
      acc = _mm256_xor_si256(acc, _mm256_xor_si256(_mm256_shuffle_epi8(tlo, lo), _mm256_shuffle_epi8(thi, hi)));
    }
    const __m256i pass = _mm256_cmpeq_epi8(_mm256_max_epu8(acc, top_limit), top_limit);
    uint32_t mask = static_cast<uint32_t>(_mm256_movemask_epi8(pass));
    while (mask != 0) {
      const size_t j = b + static_cast<size_t>(__builtin_ctz(mask));
      mask &= mask - 1;
      if (window_hash_terms(t, data + j - 15) < threshold) bits[j >> 6] |= uint64_t{1} << (j & 63);
    }
  }
}

}  // namespace cdedup

#endif
