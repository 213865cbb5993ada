// One variant of the stream hash, built with the vector width of the file
// that includes this (libxxhash picks its accumulation from the compiler's
// target flags).  Included once by each variant's file and nowhere else.
#pragma once

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "dedup/stream_hash.h"

// Internal linkage: each variant's file keeps its own copy, built for its width.
namespace cdedup::stream_hash_build {
namespace {

static_assert(sizeof(XXH3_state_t) <= STREAM_HASH_STATE_BYTES && alignof(XXH3_state_t) <= 64,
              "libxxhash's state does not fit in StreamHash");

inline XXH3_state_t* state(StreamHash& h) { return reinterpret_cast<XXH3_state_t*>(h.state); }
inline const XXH3_state_t* state(const StreamHash& h) { return reinterpret_cast<const XXH3_state_t*>(h.state); }

inline void reset(StreamHash& h) {
  XXH3_INITSTATE(state(h));
  XXH3_64bits_reset(state(h));
}
inline void update(StreamHash& h, const void* p, size_t n) {
  if (n != 0) XXH3_64bits_update(state(h), p, n);
}
inline uint64_t digest(const StreamHash& h) { return XXH3_64bits_digest(state(h)); }
inline uint64_t once(const void* p, size_t n) { return XXH3_64bits(p, n); }

}  // namespace
}  // namespace cdedup::stream_hash_build

#define CDEDUP_STREAM_HASH_VARIANT(label)                                                            \
  ::cdedup::StreamHashVariant{label, ::cdedup::stream_hash_build::reset, ::cdedup::stream_hash_build::update, \
                              ::cdedup::stream_hash_build::digest, ::cdedup::stream_hash_build::once}
