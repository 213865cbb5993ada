// The lossless encoder on several threads, with the output of the one-thread
// encoder byte for byte.  See encoder_parallel.cpp for how the work is split.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/codec.h"
#include "codec/coroutine.h"

namespace cdedup {

struct ParallelEncoder;

// The most threads the encoder uses, however many it is given.  Decisions
// stay in order on one thread, a quarter to a third of one thread's work, so
// the speed-up stops near 3x to 4x whatever the count (docs/performance.md);
// each thread adds blocks of its own (about 8 MiB), so more would cost
// memory and buy nothing.
inline constexpr unsigned ENCODER_THREADS_MAX = 16;

// The encoder's threads and block buffers for `threads` threads in all
// (2 to ENCODER_THREADS_MAX), or null when they cannot be had (the
// one-thread encoder then runs instead).
ParallelEncoder* parallel_encoder_create(unsigned threads);
// Waits out any work in flight, stops the threads and frees everything (null allowed).
void parallel_encoder_destroy(ParallelEncoder* pe);
// Returns once no work is in flight.
void parallel_encoder_quiesce(ParallelEncoder* pe);

// How input is cut into work: blocks of `segments` segments of
// `segment_bytes` each.  The defaults suit large inputs; tests and fuzzers
// shrink them so that small inputs cross many segments and blocks.  Only
// between streams (the buffers are replaced); false, nothing changed, when
// the buffers for the new shape cannot be had.
bool parallel_encoder_set_shape(ParallelEncoder* pe, size_t segment_bytes, unsigned segments);

// Makes (or remakes, when the count asked for changed) the encoder's threads
// for c.threads, at most ENCODER_THREADS_MAX; false when that is one thread
// or no more can be had (the one-thread body then writes the same bytes).
bool parallel_encoder_prepare(Codec& c);

// A patch's reference filed through the threads: what
// encoder_index_reference does on one.
bool parallel_index_reference(Codec& c);

// The body: same output, printed lines and statistics as encoder_body.
BodyTask encoder_body_parallel(Codec& c);

}  // namespace cdedup
