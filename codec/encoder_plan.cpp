// Per-chunk decisions of the encoder, shared by the reference and the fast
// path so that the two cannot drift apart: the index lookup, the window test,
// and the choice between a reference, an escaped literal and raw bytes; and
// the stream's opening, a patch's reference filed first.
#include <cdedup/cdedup.h>

#include "codec/encoder.h"
#include "codec/reference_file.h"
#include "dedup/chunk_check.h"
#include "dedup/chunk_index.h"
#include "dedup/chunker.h"
#include "dedup/exact_index.h"
#include "dedup/stream_format.h"

namespace cdedup {

bool encoder_open_stream(Codec& c, uint8_t header[4], bool (*index_reference)(Codec&)) {
  ReferenceFile* const ref = c.ref_file;
  if (ref != nullptr) {
    ref->active = false;
    if (!reference_open(c, c.index.cfg_decwinsize)) return false;
  }
  // A body restarted without codec_reset starts its positions at 0 again; the
  // lossless encoder must not meet the last stream's entries, whose
  // positions would name bytes this stream's decoder never saw.
  if (c.mode != CODEC_MODE_UNIQUE && c.index_used) index_clear(c.index);
  c.index_used = true;
  header_write(static_cast<uint32_t>(c.cfg_chunklen), c.index.cfg_decwinsize, header);
  codec_report(c, "len=%i encmem=%iM decmem=%iM\n", c.cfg_chunklen + 64, static_cast<int>(c.index.encmem_bytes >> 20),
               static_cast<int>(c.index.cfg_decwinsize >> 20));
  c.stream_base = 0;
  c.total_bytes = 0;
  if (ref != nullptr) {
    // The reference's exact positions count from 0 in total_bytes; the new
    // data's go on from its size (docs/format.md, section 10).
    chunker_init(c.chunker, static_cast<uint32_t>(c.cfg_chunklen));
    fold_reset(c.fold_block);
    c.chunk_buf_len = 0;
    if (!index_reference(c)) return false;
    ref->active = true;
    c.stream_base = ref->size;
  }
  // Chunking starts afresh at the new data's first byte.
  chunker_init(c.chunker, static_cast<uint32_t>(c.cfg_chunklen));
  fold_reset(c.fold_block);
  c.chunk_count = 0;
  c.total_bytes = 0;
  c.stream_pos = static_cast<uint32_t>(c.stream_base);
  c.chunk_buf_len = 0;
  return true;
}

ChunkKey filed_key(const Codec& c, const ChunkKey& key, const uint8_t* chunk, uint32_t len) {
  // Mode u trusts the fingerprint key, as its output is defined to; mode e
  // never does (see checked_key).
  return c.mode == CODEC_MODE_UNIQUE ? key : checked_key(key, chunk_check(c.check_key, chunk, len));
}

ChunkPlan plan_chunk(Codec& c, RefState& rs, const ChunkKey& filed, uint32_t len, const uint8_t* chunk) {
  ChunkPlan plan{};
  const uint32_t pos = c.stream_pos;
  uint32_t distance;  // the format's, pos_distance(source, pos), for a duplicate
  bool duplicate;
  if (c.mode == CODEC_MODE_UNIQUE) {
    const uint32_t found = index_find_or_insert(c.index, filed.bytes, pos);
    distance = found != INDEX_MISS ? pos_distance(c.index.found_pos, pos) : 0;
    duplicate = found == INDEX_HIT && distance < c.index.cfg_decwinsize;
  } else {
    // Exact positions: a source less than W back lies the same distance back
    // in the format's positions, which count modulo POS_LIMIT > W.
    distance = index_find_or_file(c.index, filed.bytes, c.stream_base + c.total_bytes);
    duplicate = distance != INDEX_MISS;
  }

  if (c.mode == CODEC_MODE_UNIQUE) {
    plan.emit_chunk = !duplicate;
  } else if (duplicate) {
    plan.esc_len = pos_distance(rs.cont_pos, pos) == distance ? static_cast<uint32_t>(write_continue(plan.esc))
                                                              : static_cast<uint32_t>(write_copy(distance, plan.esc));
    rs.src_pos = pos_distance(distance, pos);
    plan.emit_chunk = false;
  } else {
    if (needs_literal_escape(chunk, len)) plan.esc_len = static_cast<uint32_t>(write_literal_escape(plan.esc));
    plan.emit_chunk = true;
  }
  rs.cont_pos = rs.src_pos + len;

  c.stream_pos = pos_advance(pos, len);
  c.total_bytes += len;
  c.chunk_count += 1;
  return plan;
}

}  // namespace cdedup
