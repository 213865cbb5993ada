// Batch fingerprinting: the keys of many finished chunks in one call.
//
// Each chunk's fold is a chain of MD5 compressions that cannot overlap, but
// the chains of different chunks are independent.  Running one chunk per lane
// of a wide register (and several lanes at once even in plain code) turns the
// latency-bound chain into throughput-bound work.  The wide variant is picked
// once per process from what the CPU reports, so one binary serves all.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dedup/fingerprint.h"

namespace cdedup {

// keys[i] = key of the chunk starts[i][0..lens[i]), the same bytes that
// fold_reset + fold_add_span + fold_finish give.  lens[i] <= 65535; 0 is
// allowed.  No allocation; reads nothing outside the chunks.
void fingerprint_chunks(const uint8_t* const* starts, const uint32_t* lens, size_t count, ChunkKey* keys);

// The variants behind fingerprint_chunks, for tests and benchmarks.
void fingerprint_chunks_portable(const uint8_t* const* starts, const uint32_t* lens, size_t count,
                                 ChunkKey* keys);
bool fingerprint_chunks_avx2_available();
// Only to be called when fingerprint_chunks_avx2_available().
void fingerprint_chunks_avx2(const uint8_t* const* starts, const uint32_t* lens, size_t count, ChunkKey* keys);
bool fingerprint_chunks_avx512_available();
// Only to be called when fingerprint_chunks_avx512_available().
void fingerprint_chunks_avx512(const uint8_t* const* starts, const uint32_t* lens, size_t count, ChunkKey* keys);

}  // namespace cdedup
