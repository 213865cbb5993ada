// The encoder bodies.  Both paths make the same decisions chunk by chunk
// (plan_chunk below); they differ only in how bytes reach the chunker, the
// fold block and the output.
#pragma once

#include <cstdint>

#include "codec/codec.h"
#include "codec/coroutine.h"
#include "dedup/chunk_index.h"
#include "dedup/exact_index.h"
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

// The header bytes and the parameter line, done the same way by every path;
// for a patch, the reference's chunks are then filed in the index by the
// body's own `index_reference` and the stream positions start behind them.
// False, message set, when the stream cannot start.
bool encoder_open_stream(Codec& c, uint8_t header[4], bool (*index_reference)(Codec&));

// ---------------------------------------------------------------------------
// Patches: the reference's chunks filed, nothing written
// ---------------------------------------------------------------------------

// Each body's way of filing the reference: cut from its first byte by the
// stream's fresh chunker, every whole chunk filed at its exact position,
// the file hashed in the same pass (ReferenceFile::hash).  Its cut-short last
// piece is left out: the new data's final chunk, which is filed and looked
// up like any other, could equal it, and a reference to it would copy on
// past its end to the next boundary.
bool encoder_index_reference(Codec& c);           // a span at a time (encoder.cpp)
bool encoder_index_reference_bytewise(Codec& c);  // a byte at a time (encoder_reference.cpp)

// A whole chunk of the reference, at the exact position total_bytes counts.
inline void file_reference_chunk(Codec& c, const ChunkKey& filed, uint32_t len) {
  index_find_or_file(c.index, filed.bytes, c.total_bytes);
  c.total_bytes += len;
}

// ---------------------------------------------------------------------------
// Chunk output of the bodies that work a span or a block at a time
// ---------------------------------------------------------------------------

// What the bodies write per chunk.  Literal chunks that lie end to end in
// memory are held back as a run and go out in one piece; a chunk that does
// not continue the run sends it out (`flush`), then its escape record.
struct ChunkOutput {
  const uint8_t* run = nullptr;  // held back
  size_t run_len = 0;
  const uint8_t* flush = nullptr;  // to write now, then plan.esc
  size_t flush_len = 0;
  ChunkPlan plan{};
};

// Lays the chunk just planned (out.plan) into the run; true when something
// is to be written now (CODEC_PUT_CHUNK), which most chunks do not need.
inline bool lay_into_run(ChunkOutput& out, const uint8_t* chunk, uint32_t len) {
  const ChunkPlan& plan = out.plan;
  const bool breaks = plan.esc_len != 0 || !plan.emit_chunk || chunk != out.run + out.run_len;
  if (breaks) {
    out.flush = out.run;
    out.flush_len = out.run_len;
    out.run = chunk;
    out.run_len = 0;
  }
  if (plan.emit_chunk) out.run_len += len;
  return breaks && (out.flush_len | plan.esc_len) != 0;
}

// Decides a chunk of the stream filed under `filed` (plan_chunk), lays it
// into the run and, in mode u, sweeps the index after it.  Inline, as the loops it
// replaced were: it runs once a chunk.
inline bool encode_chunk(Codec& c, RefState& rs, ChunkOutput& out, const ChunkKey& filed, const uint8_t* chunk,
                         uint32_t len) {
  out.plan = plan_chunk(c, rs, filed, len, chunk);
  const bool write = lay_into_run(out, chunk, len);
  sweep_after_chunk(c, len);
  return write;
}

// The same for the final chunk, what is left since the last boundary (possibly
// nothing), under its fingerprint key: filed here, and no sweep after it.
inline bool encode_final_chunk(Codec& c, RefState& rs, ChunkOutput& out, const ChunkKey& key, const uint8_t* chunk,
                               uint32_t len) {
  out.plan = plan_chunk(c, rs, filed_key(c, key, chunk, len), len, chunk);
  return lay_into_run(out, chunk, len);
}

}  // namespace cdedup

// Writes what encode_chunk said is due; a macro for the co_await it holds
// (see CODEC_PUT_SPAN).
#define CODEC_PUT_CHUNK(c, out)                                   \
  do {                                                            \
    CODEC_PUT_SPAN(c, (out).flush, (out).flush_len);              \
    CODEC_PUT_SPAN(c, (out).plan.esc, (out).plan.esc_len);        \
  } while (0)

// Writes the run held back and starts an empty one: before the memory it
// lies in is reused, and at the end of the stream.
#define CODEC_PUT_RUN(c, out)                                     \
  do {                                                            \
    CODEC_PUT_SPAN(c, (out).run, (out).run_len);                  \
    (out).run_len = 0;                                            \
  } while (0)
