// A 64-bit hash of a stream, for the large tests, which compare gigabytes
// they never keep.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace cdedup::test {

// 64-bit streaming hash, order sensitive, independent of how the bytes are split.
class StreamHash {
 public:
  void add(const uint8_t* p, size_t n) {
    total_ += n;
    while (npend_ != 0 && n != 0) push(*p++), --n;
    for (; n >= 8; p += 8, n -= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      mix(w);
    }
    while (n != 0) push(*p++), --n;
  }
  uint64_t total() const { return total_; }
  uint64_t digest() const {
    uint64_t h = h_ ^ (pend_ * 0xC2B2AE3D27D4EB4Full) ^ total_;
    h = (h ^ (h >> 33)) * 0xFF51AFD7ED558CCDull;
    return h ^ (h >> 33);
  }

 private:
  void mix(uint64_t w) {
    h_ ^= w * 0x9E3779B97F4A7C15ull;
    h_ = ((h_ << 31) | (h_ >> 33)) * 0x87C37B91114253D5ull;
  }
  void push(uint8_t b) {
    pend_ |= uint64_t{b} << (8 * npend_);
    if (++npend_ == 8) mix(pend_), pend_ = 0, npend_ = 0;
  }
  uint64_t h_ = 0x6A09E667F3BCC908ull, pend_ = 0, total_ = 0;
  unsigned npend_ = 0;
};

}  // namespace cdedup::test
