// The encoder bodies.  Both paths make the same decisions chunk by chunk
// (plan_chunk below); they differ only in how bytes reach the chunker, the
// fold block and the output.
#pragma once

#include <cstdint>

#include "codec/codec.h"
#include "codec/coroutine.h"
#include "dedup/chunk_index.h"
#include "dedup/fingerprint.h"

namespace cdedup {

// Byte-at-a-time encoder: the reference that the fast path is checked against.
BodyTask encoder_body_reference(Codec& c);
// Span-at-a-time encoder with the same output and yields.
BodyTask encoder_body(Codec& c);

// What goes out for one chunk: an escape record (0, 4 or 8 bytes) and then
// the chunk's bytes or nothing.
struct ChunkPlan {
  uint8_t esc[8];
  uint32_t esc_len;
  bool emit_chunk;
};

// The decoder's reference bookkeeping, mirrored so that ESC_CONTINUE is
// written exactly when the decoder will resolve it to the same source.
struct RefState {
  uint32_t src_pos = 0;
  uint32_t cont_pos = 0;
};

// The key a finished chunk is filed under in the index: its fingerprint key,
// with the content check in it in mode e.
ChunkKey filed_key(const Codec& c, const ChunkKey& key, const uint8_t* chunk, uint32_t len);

// Looks the finished chunk up under its filed key (inserting it on a miss),
// decides its record and advances the stream position and statistics.
// `chunk` holds the chunk's len bytes.  In mode u the caller sweeps the index
// afterwards (sweep_after_chunk) unless this was the final chunk.
ChunkPlan plan_chunk(Codec& c, RefState& rs, const ChunkKey& filed, uint32_t len, const uint8_t* chunk);

// Mode u's expiry sweep after a chunk of len bytes.  Mode e measures expiry
// at each lookup (dedup/exact_index.h) and sweeps nothing.
inline void sweep_after_chunk(Codec& c, uint32_t len) {
  if (c.mode == CODEC_MODE_UNIQUE) index_sweep(c.index, c.stream_pos, len);
}

// The header bytes and the parameter line; done the same way by both paths.
void encoder_open_stream(Codec& c, uint8_t header[4]);

}  // namespace cdedup
