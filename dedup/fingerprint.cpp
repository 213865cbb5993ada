// Chunk fingerprint: a lazily mixed XOR fold.
//
// The fold touches each chunk byte once (an XOR into the block) and pays one
// MD5 compression per 63 bytes, so the fingerprint costs far less than a
// digest of the chunk while still depending on every byte and its place.
// fold_add_span does the XOR a machine word at a time; words are moved with
// memcpy so neither alignment nor aliasing rules are at stake.
#include "dedup/fingerprint.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace cdedup {

namespace {

constexpr uint32_t MD5_IV[4] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};

inline uint32_t load_le32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

inline void store_le32(uint8_t* p, uint32_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  std::memcpy(p, &v, sizeof v);
}

// The four auxiliary functions, in the forms with one operation fewer that
// give the same truth tables.
inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return y ^ (z & (x ^ y)); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

template <uint32_t (*Fn)(uint32_t, uint32_t, uint32_t)>
inline void step(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t m, uint32_t k, int s) {
  a = b + std::rotl(a + Fn(b, c, d) + m + k, s);
}

}  // namespace

// Unrolled: the rotation amounts and message-word order are then constants
// and the compiler keeps a..d in registers.
void md5_compress(uint32_t state[4], const uint8_t block[64]) {
  uint32_t m[16];
  for (int k = 0; k < 16; ++k) m[k] = load_le32(block + 4 * k);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

  step<F>(a, b, c, d, m[0], 0xd76aa478, 7);
  step<F>(d, a, b, c, m[1], 0xe8c7b756, 12);
  step<F>(c, d, a, b, m[2], 0x242070db, 17);
  step<F>(b, c, d, a, m[3], 0xc1bdceee, 22);
  step<F>(a, b, c, d, m[4], 0xf57c0faf, 7);
  step<F>(d, a, b, c, m[5], 0x4787c62a, 12);
  step<F>(c, d, a, b, m[6], 0xa8304613, 17);
  step<F>(b, c, d, a, m[7], 0xfd469501, 22);
  step<F>(a, b, c, d, m[8], 0x698098d8, 7);
  step<F>(d, a, b, c, m[9], 0x8b44f7af, 12);
  step<F>(c, d, a, b, m[10], 0xffff5bb1, 17);
  step<F>(b, c, d, a, m[11], 0x895cd7be, 22);
  step<F>(a, b, c, d, m[12], 0x6b901122, 7);
  step<F>(d, a, b, c, m[13], 0xfd987193, 12);
  step<F>(c, d, a, b, m[14], 0xa679438e, 17);
  step<F>(b, c, d, a, m[15], 0x49b40821, 22);

  step<G>(a, b, c, d, m[1], 0xf61e2562, 5);
  step<G>(d, a, b, c, m[6], 0xc040b340, 9);
  step<G>(c, d, a, b, m[11], 0x265e5a51, 14);
  step<G>(b, c, d, a, m[0], 0xe9b6c7aa, 20);
  step<G>(a, b, c, d, m[5], 0xd62f105d, 5);
  step<G>(d, a, b, c, m[10], 0x02441453, 9);
  step<G>(c, d, a, b, m[15], 0xd8a1e681, 14);
  step<G>(b, c, d, a, m[4], 0xe7d3fbc8, 20);
  step<G>(a, b, c, d, m[9], 0x21e1cde6, 5);
  step<G>(d, a, b, c, m[14], 0xc33707d6, 9);
  step<G>(c, d, a, b, m[3], 0xf4d50d87, 14);
  step<G>(b, c, d, a, m[8], 0x455a14ed, 20);
  step<G>(a, b, c, d, m[13], 0xa9e3e905, 5);
  step<G>(d, a, b, c, m[2], 0xfcefa3f8, 9);
  step<G>(c, d, a, b, m[7], 0x676f02d9, 14);
  step<G>(b, c, d, a, m[12], 0x8d2a4c8a, 20);

  step<H>(a, b, c, d, m[5], 0xfffa3942, 4);
  step<H>(d, a, b, c, m[8], 0x8771f681, 11);
  step<H>(c, d, a, b, m[11], 0x6d9d6122, 16);
  step<H>(b, c, d, a, m[14], 0xfde5380c, 23);
  step<H>(a, b, c, d, m[1], 0xa4beea44, 4);
  step<H>(d, a, b, c, m[4], 0x4bdecfa9, 11);
  step<H>(c, d, a, b, m[7], 0xf6bb4b60, 16);
  step<H>(b, c, d, a, m[10], 0xbebfbc70, 23);
  step<H>(a, b, c, d, m[13], 0x289b7ec6, 4);
  step<H>(d, a, b, c, m[0], 0xeaa127fa, 11);
  step<H>(c, d, a, b, m[3], 0xd4ef3085, 16);
  step<H>(b, c, d, a, m[6], 0x04881d05, 23);
  step<H>(a, b, c, d, m[9], 0xd9d4d039, 4);
  step<H>(d, a, b, c, m[12], 0xe6db99e5, 11);
  step<H>(c, d, a, b, m[15], 0x1fa27cf8, 16);
  step<H>(b, c, d, a, m[2], 0xc4ac5665, 23);

  step<I>(a, b, c, d, m[0], 0xf4292244, 6);
  step<I>(d, a, b, c, m[7], 0x432aff97, 10);
  step<I>(c, d, a, b, m[14], 0xab9423a7, 15);
  step<I>(b, c, d, a, m[5], 0xfc93a039, 21);
  step<I>(a, b, c, d, m[12], 0x655b59c3, 6);
  step<I>(d, a, b, c, m[3], 0x8f0ccc92, 10);
  step<I>(c, d, a, b, m[10], 0xffeff47d, 15);
  step<I>(b, c, d, a, m[1], 0x85845dd1, 21);
  step<I>(a, b, c, d, m[8], 0x6fa87e4f, 6);
  step<I>(d, a, b, c, m[15], 0xfe2ce6e0, 10);
  step<I>(c, d, a, b, m[6], 0xa3014314, 15);
  step<I>(b, c, d, a, m[13], 0x4e0811a1, 21);
  step<I>(a, b, c, d, m[4], 0xf7537e82, 6);
  step<I>(d, a, b, c, m[11], 0xbd3af235, 10);
  step<I>(c, d, a, b, m[2], 0x2ad7d2bb, 15);
  step<I>(b, c, d, a, m[9], 0xeb86d391, 21);

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

void fold_reset(FoldBlock& fb) { std::memset(fb.bytes, 0, sizeof fb.bytes); }

void fold_mix(FoldBlock& fb) {
  uint32_t r[4] = {MD5_IV[0], MD5_IV[1], MD5_IV[2], MD5_IV[3]};
  md5_compress(r, fb.bytes);
  for (int k = 0; k < 4; ++k) store_le32(fb.bytes + 4 * k, load_le32(fb.bytes + 4 * k) ^ r[k]);
  fb.bytes[FOLD_FILL] = 0;
}

void fold_add_span(FoldBlock& fb, const uint8_t* data, size_t len) {
  uint32_t fill = fb.bytes[FOLD_FILL];
  while (len > 0) {
    // A full fill is mixed only here, once a further byte is known to exist.
    if (fill == FOLD_FILL) {
      fold_mix(fb);
      fill = 0;
    }
    const size_t n = std::min<size_t>(len, FOLD_FILL - fill);
    uint8_t* dst = fb.bytes + fill;
    size_t k = 0;
    for (; k + 8 <= n; k += 8) {
      uint64_t x, y;
      std::memcpy(&x, dst + k, 8);
      std::memcpy(&y, data + k, 8);
      x ^= y;
      std::memcpy(dst + k, &x, 8);
    }
    for (; k < n; ++k) dst[k] ^= data[k];
    fill += static_cast<uint32_t>(n);
    fb.bytes[FOLD_FILL] = static_cast<uint8_t>(fill);
    data += n;
    len -= n;
  }
}

void fold_finish(FoldBlock& fb, uint32_t chunk_len, ChunkKey& key) {
  fold_mix(fb);
  std::memcpy(key.bytes, fb.bytes, 14);
  key.bytes[14] = static_cast<uint8_t>(chunk_len);
  key.bytes[15] = static_cast<uint8_t>(chunk_len >> 8);
  fold_reset(fb);
}

}  // namespace cdedup
