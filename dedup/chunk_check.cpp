// NH check in plain code: the reference for the SIMD variant, and the one
// used where there is none.  NH needs no carries and no reduction per word:
// each pair of words costs one 32x32-bit multiply into a 64-bit sum that is
// allowed to wrap.
//
// The input to NH is the chunk's 32-byte blocks, the last one being the
// chunk's last 32 bytes (overlapping the block before it) rather than a
// zero-padded copy: for chunks of one length that sequence still determines
// the chunk, so the bound holds, and the tail costs one load instead of a
// copy.  Only chunks under 32 bytes are zero-padded.
#include "dedup/chunk_check.h"

#include "platform/cpu_features.h"

#include <sys/random.h>

#include <cstring>
#include <ctime>

namespace cdedup {

namespace {

constexpr uint64_t P61 = (uint64_t{1} << 61) - 1;

uint64_t splitmix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

inline uint32_t load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

inline uint64_t reduce61(unsigned __int128 x) {
  // x = hi * 2^61 + lo and 2^61 = 1 (mod p); three folds bring it below p.
  uint64_t lo = static_cast<uint64_t>(x) & P61;
  unsigned __int128 hi = x >> 61;
  unsigned __int128 s = static_cast<unsigned __int128>(lo) + hi;
  uint64_t r = static_cast<uint64_t>(s & P61) + static_cast<uint64_t>(s >> 61);
  r = (r & P61) + (r >> 61);
  return r >= P61 ? r - P61 : r;
}

// Both NH sums over 32 bytes: words m[0..7] with key words k[0..11].
inline void nh_block(const uint8_t* m, const uint32_t* k, uint64_t& s0, uint64_t& s1) {
  for (int i = 0; i < 8; i += 2) {
    const uint32_t a = load32(m + 4 * i), b = load32(m + 4 * i + 4);
    s0 += uint64_t{a + k[i]} * uint32_t(b + k[i + 1]);
    s1 += uint64_t{a + k[i + CHECK_NH_SHIFT]} * uint32_t(b + k[i + 1 + CHECK_NH_SHIFT]);
  }
}

}  // namespace

void check_key_seed(CheckKey& key, uint64_t seed) {
  for (size_t i = 0; i < CHECK_NH_WORDS; i += 2) {
    const uint64_t r = splitmix64(seed);
    key.nh[i] = static_cast<uint32_t>(r);
    if (i + 1 < CHECK_NH_WORDS) key.nh[i + 1] = static_cast<uint32_t>(r >> 32);
  }
  for (uint64_t& f : key.fold) {
    do {
      f = splitmix64(seed) >> 3;
    } while (f >= P61);
  }
}

void check_key_init(CheckKey& key) {
  uint64_t seed;
  if (getrandom(&seed, sizeof seed, 0) != static_cast<ssize_t>(sizeof seed)) {
    // No random source: a clock-derived key still differs from run to run.
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    seed = uint64_t(ts.tv_sec) * 1000000007ull ^ uint64_t(ts.tv_nsec) ^ reinterpret_cast<uintptr_t>(&key);
  }
  // The seed is expanded with a fixed mixer; what an attacker lacks is the
  // seed, which nothing the encoder writes reveals.
  check_key_seed(key, seed);
}

uint64_t check_fold(const CheckKey& key, uint64_t s0, uint64_t s1) {
  const unsigned __int128 x = static_cast<unsigned __int128>(s0 & 0xFFFFFFFF) * key.fold[0] +
                              static_cast<unsigned __int128>(s0 >> 32) * key.fold[1] +
                              static_cast<unsigned __int128>(s1 & 0xFFFFFFFF) * key.fold[2] +
                              static_cast<unsigned __int128>(s1 >> 32) * key.fold[3];
  return reduce61(x);
}

uint64_t chunk_check_portable(const CheckKey& key, const uint8_t* data, size_t n) {
  uint64_t s0 = 0, s1 = 0;
  const uint32_t* k = key.nh;
  size_t i = 0;
  for (; i + 32 <= n; i += 32, k += 8) nh_block(data + i, k, s0, s1);
  if (i < n) {
    uint8_t tail[32] = {};
    if (n >= 32)
      std::memcpy(tail, data + n - 32, 32);
    else
      std::memcpy(tail, data, n);
    nh_block(tail, k, s0, s1);
  }
  return check_fold(key, s0, s1);
}

bool chunk_check_avx2_available() { return cpu_features().avx2; }

#if !defined(__x86_64__)

uint64_t chunk_check_avx2(const CheckKey& key, const uint8_t* data, size_t n) {
  return chunk_check_portable(key, data, n);
}

#endif

uint64_t chunk_check(const CheckKey& key, const uint8_t* data, size_t n) {
  static const auto variant = chunk_check_avx2_available() ? chunk_check_avx2 : chunk_check_portable;
  return variant(key, data, n);
}

}  // namespace cdedup
