// The stream hash with AVX-512 accumulation, where the CPU has it.
#if defined(__x86_64__)

// g++ 12 takes the deliberately undefined vectors of its own AVX-512
// intrinsics (_mm512_undefined_epi32) for uninitialised ones.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include "dedup/stream_hash_build.h"
#include "platform/cpu_features.h"

namespace cdedup {

const StreamHashVariant* stream_hash_avx512() {
  static const StreamHashVariant v = CDEDUP_STREAM_HASH_VARIANT("avx512");
  return cpu_features().avx512 ? &v : nullptr;
}

}  // namespace cdedup

#endif
