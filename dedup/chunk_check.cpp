// Multilinear check: sum of m_i * k_i over the chunk's 32-bit words, reduced
// modulo 2^61 - 1 once at the end.  Each product is below 2^93 and a chunk
// has at most 16384 words, so a 128-bit sum never overflows.  Two sums run
// side by side so that consecutive multiplies do not wait on each other.
#include "dedup/chunk_check.h"

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

}  // namespace

void check_key_seed(CheckKey& key, uint64_t seed) {
  for (uint64_t& k : key.k) {
    do {
      k = splitmix64(seed) >> 3;
    } while (k >= P61);
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

uint64_t chunk_check(const CheckKey& key, const uint8_t* data, size_t n) {
  unsigned __int128 s0 = 0, s1 = 0;
  const uint64_t* k = key.k;
  size_t i = 0;
  for (; i + 8 <= n; i += 8, k += 2) {
    s0 += static_cast<unsigned __int128>(load32(data + i)) * k[0];
    s1 += static_cast<unsigned __int128>(load32(data + i + 4)) * k[1];
  }
  if (i < n) {
    uint8_t tail[8] = {};
    std::memcpy(tail, data + i, n - i);
    s0 += static_cast<unsigned __int128>(load32(tail)) * k[0];
    s1 += static_cast<unsigned __int128>(load32(tail + 4)) * k[1];
  }
  return reduce61(s0 + s1);
}

}  // namespace cdedup
