// The choice among the stream hash's variants, made once.
#include "dedup/stream_hash.h"

namespace cdedup {

#if !defined(__x86_64__)

const StreamHashVariant* stream_hash_avx2() { return nullptr; }
const StreamHashVariant* stream_hash_avx512() { return nullptr; }

#endif

const StreamHashVariant& stream_hash_variant() {
  static const StreamHashVariant& chosen = []() -> const StreamHashVariant& {
    if (const StreamHashVariant* v = stream_hash_avx512()) return *v;
    if (const StreamHashVariant* v = stream_hash_avx2()) return *v;
    return stream_hash_portable();
  }();
  return chosen;
}

}  // namespace cdedup
