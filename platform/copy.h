// Byte copies of the fast paths.
//
// Chunks are copied one at a time, mostly a few hundred bytes, sometimes up
// to 64 KiB.  From 2 KiB on the C library moves bytes with string
// instructions, which measured several times slower on this class of machine
// (AMD, in a virtual machine) than the vector loop it uses for shorter copies;
// so longer copies go through it in 1 KiB steps, which keeps every step on
// the vector loop and costs one call per KiB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace cdedup {

inline constexpr size_t COPY_STEP = 1024;

// memcpy for non-overlapping spans.
inline void copy_bytes(uint8_t* dst, const uint8_t* src, size_t n) {
  for (; n > 2 * COPY_STEP; n -= COPY_STEP, dst += COPY_STEP, src += COPY_STEP) std::memcpy(dst, src, COPY_STEP);
  std::memcpy(dst, src, n);
}

}  // namespace cdedup
