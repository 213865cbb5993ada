// XXH3-64 (seed 0) of a stream given in pieces, and of one span: the
// checksum of a checked frame's decoded bytes and its per-block checks.
//
// The hash is libxxhash's own, built inline from its header, never a copy of
// ours: a frame written here must check against any other XXH3 reader.  Its
// speed is the width of the vector unit the accumulation runs on, so the
// same code is built three times (the portable build, AVX2 and AVX-512, the
// last two in dedup/x86/), and the widest the CPU runs is chosen once at
// start-up.  Every variant keeps the same state layout and gives the same
// digests; the tests hold them to each other and to a one-shot scalar hash.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cdedup {

// Room for libxxhash's streaming state (checked where it is built).
inline constexpr size_t STREAM_HASH_STATE_BYTES = 640;

struct StreamHash {
  alignas(64) unsigned char state[STREAM_HASH_STATE_BYTES];
};

struct StreamHashVariant {
  const char* name;
  void (*reset)(StreamHash& h);
  void (*update)(StreamHash& h, const void* p, size_t n);
  uint64_t (*digest)(const StreamHash& h);
  uint64_t (*once)(const void* p, size_t n);
};

// The variants, for the tests and benchmarks: the portable one always, the
// wide ones when built and run by this CPU (else null).
const StreamHashVariant& stream_hash_portable();
const StreamHashVariant* stream_hash_avx2();
const StreamHashVariant* stream_hash_avx512();

// The widest variant this CPU runs, chosen once.
const StreamHashVariant& stream_hash_variant();

inline void stream_hash_reset(StreamHash& h) { stream_hash_variant().reset(h); }
inline void stream_hash_update(StreamHash& h, const void* p, size_t n) { stream_hash_variant().update(h, p, n); }
inline uint64_t stream_hash_digest(const StreamHash& h) { return stream_hash_variant().digest(h); }
inline uint64_t hash_once(const void* p, size_t n) { return stream_hash_variant().once(p, n); }

}  // namespace cdedup
