// Batch fingerprinting: dispatch, and the portable lane scheduler.
//
// The portable scheduler keeps LANES chunks in flight, one per lane, with the
// fold blocks stored word-major (structure of arrays) so that each MD5 step is
// one short loop over lanes: independent work that a superscalar core overlaps
// and that a compiler may vectorise for whatever the target offers.  A lane
// whose chunk is done takes the next one at once, so long and short chunks mix
// freely.  It is also the reference the wide variants are tested against, and
// the fallback where they are not built or the CPU lacks them.
//
// The choice of variant is made once, in a function-local static (thread-safe
// initialisation), so the per-call cost of dispatch is one indirect call.
#include "dedup/fingerprint_lanes.h"

#include "platform/cpu_features.h"

#include <bit>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#define CDEDUP_X86_LANES 1
#else
#define CDEDUP_X86_LANES 0
#endif

namespace cdedup {

namespace {

constexpr uint32_t IV0 = 0x67452301, IV1 = 0xEFCDAB89, IV2 = 0x98BADCFE, IV3 = 0x10325476;
constexpr int LANES = 4;
constexpr size_t IDLE = ~size_t{0};
constexpr uint32_t LOW24 = 0x00FFFFFF;  // word 15 without the fill index byte

inline uint32_t load_le32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return y ^ (z & (x ^ y)); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

using Col = uint32_t[LANES];

template <uint32_t (*Fn)(uint32_t, uint32_t, uint32_t), int S>
inline void step(Col& a, const Col& b, const Col& c, const Col& d, const Col& m, uint32_t k) {
  for (int l = 0; l < LANES; ++l) a[l] = b[l] + std::rotl(a[l] + Fn(b[l], c[l], d[l]) + m[l] + k, S);
}

struct Lanes {
  Col w[16];  // w[k][l]: word k of lane l's fold block; word 15 carries the fill index
  const uint8_t* ptr[LANES];
  uint32_t left[LANES];
  size_t chunk[LANES];
};

// One fold_mix on every lane: MD5 of each block from the IV, result XORed
// into words 0..3.  Idle lanes are mixed too; their blocks are never read.
void mix_lanes(Lanes& s) {
  const Col* m = s.w;
  Col a, b, c, d;
  for (int l = 0; l < LANES; ++l) a[l] = IV0, b[l] = IV1, c[l] = IV2, d[l] = IV3;

  step<F, 7>(a, b, c, d, m[0], 0xd76aa478);
  step<F, 12>(d, a, b, c, m[1], 0xe8c7b756);
  step<F, 17>(c, d, a, b, m[2], 0x242070db);
  step<F, 22>(b, c, d, a, m[3], 0xc1bdceee);
  step<F, 7>(a, b, c, d, m[4], 0xf57c0faf);
  step<F, 12>(d, a, b, c, m[5], 0x4787c62a);
  step<F, 17>(c, d, a, b, m[6], 0xa8304613);
  step<F, 22>(b, c, d, a, m[7], 0xfd469501);
  step<F, 7>(a, b, c, d, m[8], 0x698098d8);
  step<F, 12>(d, a, b, c, m[9], 0x8b44f7af);
  step<F, 17>(c, d, a, b, m[10], 0xffff5bb1);
  step<F, 22>(b, c, d, a, m[11], 0x895cd7be);
  step<F, 7>(a, b, c, d, m[12], 0x6b901122);
  step<F, 12>(d, a, b, c, m[13], 0xfd987193);
  step<F, 17>(c, d, a, b, m[14], 0xa679438e);
  step<F, 22>(b, c, d, a, m[15], 0x49b40821);

  step<G, 5>(a, b, c, d, m[1], 0xf61e2562);
  step<G, 9>(d, a, b, c, m[6], 0xc040b340);
  step<G, 14>(c, d, a, b, m[11], 0x265e5a51);
  step<G, 20>(b, c, d, a, m[0], 0xe9b6c7aa);
  step<G, 5>(a, b, c, d, m[5], 0xd62f105d);
  step<G, 9>(d, a, b, c, m[10], 0x02441453);
  step<G, 14>(c, d, a, b, m[15], 0xd8a1e681);
  step<G, 20>(b, c, d, a, m[4], 0xe7d3fbc8);
  step<G, 5>(a, b, c, d, m[9], 0x21e1cde6);
  step<G, 9>(d, a, b, c, m[14], 0xc33707d6);
  step<G, 14>(c, d, a, b, m[3], 0xf4d50d87);
  step<G, 20>(b, c, d, a, m[8], 0x455a14ed);
  step<G, 5>(a, b, c, d, m[13], 0xa9e3e905);
  step<G, 9>(d, a, b, c, m[2], 0xfcefa3f8);
  step<G, 14>(c, d, a, b, m[7], 0x676f02d9);
  step<G, 20>(b, c, d, a, m[12], 0x8d2a4c8a);

  step<H, 4>(a, b, c, d, m[5], 0xfffa3942);
  step<H, 11>(d, a, b, c, m[8], 0x8771f681);
  step<H, 16>(c, d, a, b, m[11], 0x6d9d6122);
  step<H, 23>(b, c, d, a, m[14], 0xfde5380c);
  step<H, 4>(a, b, c, d, m[1], 0xa4beea44);
  step<H, 11>(d, a, b, c, m[4], 0x4bdecfa9);
  step<H, 16>(c, d, a, b, m[7], 0xf6bb4b60);
  step<H, 23>(b, c, d, a, m[10], 0xbebfbc70);
  step<H, 4>(a, b, c, d, m[13], 0x289b7ec6);
  step<H, 11>(d, a, b, c, m[0], 0xeaa127fa);
  step<H, 16>(c, d, a, b, m[3], 0xd4ef3085);
  step<H, 23>(b, c, d, a, m[6], 0x04881d05);
  step<H, 4>(a, b, c, d, m[9], 0xd9d4d039);
  step<H, 11>(d, a, b, c, m[12], 0xe6db99e5);
  step<H, 16>(c, d, a, b, m[15], 0x1fa27cf8);
  step<H, 23>(b, c, d, a, m[2], 0xc4ac5665);

  step<I, 6>(a, b, c, d, m[0], 0xf4292244);
  step<I, 10>(d, a, b, c, m[7], 0x432aff97);
  step<I, 15>(c, d, a, b, m[14], 0xab9423a7);
  step<I, 21>(b, c, d, a, m[5], 0xfc93a039);
  step<I, 6>(a, b, c, d, m[12], 0x655b59c3);
  step<I, 10>(d, a, b, c, m[3], 0x8f0ccc92);
  step<I, 15>(c, d, a, b, m[10], 0xffeff47d);
  step<I, 21>(b, c, d, a, m[1], 0x85845dd1);
  step<I, 6>(a, b, c, d, m[8], 0x6fa87e4f);
  step<I, 10>(d, a, b, c, m[15], 0xfe2ce6e0);
  step<I, 15>(c, d, a, b, m[6], 0xa3014314);
  step<I, 21>(b, c, d, a, m[13], 0x4e0811a1);
  step<I, 6>(a, b, c, d, m[4], 0xf7537e82);
  step<I, 10>(d, a, b, c, m[11], 0xbd3af235);
  step<I, 15>(c, d, a, b, m[2], 0x2ad7d2bb);
  step<I, 21>(b, c, d, a, m[9], 0xeb86d391);

  for (int l = 0; l < LANES; ++l) {
    s.w[0][l] ^= a[l] + IV0;
    s.w[1][l] ^= b[l] + IV1;
    s.w[2][l] ^= c[l] + IV2;
    s.w[3][l] ^= d[l] + IV3;
  }
}

void put_key(ChunkKey& key, const Lanes& s, int l, uint32_t len) {
  for (int k = 0; k < 14; ++k) key.bytes[k] = static_cast<uint8_t>(s.w[k / 4][l] >> (8 * (k % 4)));
  key.bytes[14] = static_cast<uint8_t>(len);
  key.bytes[15] = static_cast<uint8_t>(len >> 8);
}

}  // namespace

void fingerprint_chunks_portable(const uint8_t* const* starts, const uint32_t* lens, size_t count,
                                 ChunkKey* keys) {
  Lanes s;
  size_t next = 0;
  int active = 0;
  auto take = [&](int l) {
    for (auto& col : s.w) col[l] = 0;
    if (next < count) {
      s.chunk[l] = next;
      s.ptr[l] = starts[next];
      s.left[l] = lens[next];
      ++next;
      ++active;
    } else {
      s.chunk[l] = IDLE;
    }
  };
  for (int l = 0; l < LANES; ++l) take(l);

  uint32_t fill[LANES];
  alignas(8) uint8_t pad[64];
  while (active > 0) {
    for (int l = 0; l < LANES; ++l) {
      fill[l] = 0;
      if (s.chunk[l] == IDLE) continue;
      const uint32_t n = s.left[l];
      const uint8_t* src = s.ptr[l];
      // Word 15 reads byte 63, which lies inside the chunk only when a
      // further fill follows; the last fill goes through a padded copy.
      if (n >= FOLD_FILL + 1) {
        fill[l] = FOLD_FILL;
      } else {
        fill[l] = n;
        std::memset(pad, 0, sizeof pad);
        if (n > 0) std::memcpy(pad, src, n);
        src = pad;
      }
      for (int k = 0; k < 15; ++k) s.w[k][l] ^= load_le32(src + 4 * k);
      s.w[15][l] = ((s.w[15][l] ^ load_le32(src + 60)) & LOW24) | (fill[l] << 24);
    }
    mix_lanes(s);
    for (int l = 0; l < LANES; ++l) {
      if (s.chunk[l] == IDLE) continue;
      s.ptr[l] += fill[l];
      s.left[l] -= fill[l];
      if (s.left[l] == 0) {
        const size_t i = s.chunk[l];
        put_key(keys[i], s, l, lens[i]);
        --active;
        take(l);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Dispatch

#if CDEDUP_X86_LANES

bool fingerprint_chunks_avx2_available() { return cpu_features().avx2; }
bool fingerprint_chunks_avx512_available() { return cpu_features().avx512; }

#else

// No wide variant is built here: report it absent, and keep the symbol so
// callers link; it serves through the portable scheduler.
bool fingerprint_chunks_avx2_available() { return false; }

void fingerprint_chunks_avx2(const uint8_t* const* starts, const uint32_t* lens, size_t count, ChunkKey* keys) {
  fingerprint_chunks_portable(starts, lens, count, keys);
}

bool fingerprint_chunks_avx512_available() { return false; }

void fingerprint_chunks_avx512(const uint8_t* const* starts, const uint32_t* lens, size_t count, ChunkKey* keys) {
  fingerprint_chunks_portable(starts, lens, count, keys);
}

#endif

namespace {

using BatchFn = void (*)(const uint8_t* const*, const uint32_t*, size_t, ChunkKey*);

BatchFn pick_variant() {
  if (fingerprint_chunks_avx512_available()) return fingerprint_chunks_avx512;
  if (fingerprint_chunks_avx2_available()) return fingerprint_chunks_avx2;
  return fingerprint_chunks_portable;
}

}  // namespace

void fingerprint_chunks(const uint8_t* const* starts, const uint32_t* lens, size_t count, ChunkKey* keys) {
  static const BatchFn variant = pick_variant();
  variant(starts, lens, count, keys);
}

}  // namespace cdedup
