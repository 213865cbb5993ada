// NH check with AVX2: eight words a register, both sums at once.  The odd
// words reach the multiplier by a 64-bit shift, and each multiply takes the
// low 32 bits of its lanes, so a 32-byte block is a handful of operations.
// The last block is the chunk's last 32 bytes (see chunk_check.cpp).
#if defined(__x86_64__)

#include <immintrin.h>

#include <cstring>

#include "dedup/chunk_check.h"

namespace cdedup {

namespace {

inline __m256i nh_step(__m256i m, const uint32_t* k, __m256i acc) {
  const __m256i t = _mm256_add_epi32(m, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(k)));
  return _mm256_add_epi64(acc, _mm256_mul_epu32(t, _mm256_srli_epi64(t, 32)));
}

inline uint64_t sum4(__m256i v) {
  const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  return static_cast<uint64_t>(_mm_cvtsi128_si64(s)) + static_cast<uint64_t>(_mm_extract_epi64(s, 1));
}

}  // namespace

uint64_t chunk_check_avx2(const CheckKey& key, const uint8_t* data, size_t n) {
  __m256i a0 = _mm256_setzero_si256(), a1 = _mm256_setzero_si256();
  const uint32_t* k = key.nh;
  size_t i = 0;
  for (; i + 32 <= n; i += 32, k += 8) {
    const __m256i m = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
    a0 = nh_step(m, k, a0);
    a1 = nh_step(m, k + CHECK_NH_SHIFT, a1);
  }
  if (i < n) {
    __m256i m;
    if (n >= 32) {
      m = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + n - 32));
    } else {
      alignas(32) uint8_t tail[32] = {};
      std::memcpy(tail, data, n);
      m = _mm256_load_si256(reinterpret_cast<const __m256i*>(tail));
    }
    a0 = nh_step(m, k, a0);
    a1 = nh_step(m, k + CHECK_NH_SHIFT, a1);
  }
  return check_fold(key, sum4(a0), sum4(a1));
}

}  // namespace cdedup

#endif
