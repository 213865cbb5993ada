// Span-at-a-time encoder.
//
// A whole input span is cut into chunks first (wide boundary search), then
// all its complete chunks are fingerprinted together (MD5 in SIMD lanes, one
// chunk per lane), then given their content checks while their index slots
// are prefetched, and only then probed and written in order: the index is far
// larger than any cache, so a probe that waits for memory would cost more
// than the rest of a chunk's work.  A chunk that lies wholly in the input span is written straight from
// it; only the chunk carried over from the previous span and the unfinished
// tail are copied into chunk_buf.  Output bytes, yields and printed lines are
// those of the byte-at-a-time encoder.
#include <cstring>

#include "codec/encoder.h"
#include "dedup/boundary_scan.h"
#include "dedup/chunk_index.h"
#include "dedup/chunker.h"
#include "dedup/fingerprint.h"
#include "dedup/fingerprint_lanes.h"
#include "platform/copy.h"

namespace cdedup {

namespace {

constexpr size_t PREFETCH_GROUP = 16;

// Adds bytes to the unfinished chunk held in chunk_buf and to its fold.
inline void gather(Codec& c, const uint8_t* p, size_t n) {
  fold_add_span(c.fold_block, p, n);
  copy_bytes(c.chunk_buf + c.chunk_buf_len, p, n);
  c.chunk_buf_len += static_cast<uint32_t>(n);
}

// Replaces each fingerprint key of the batch by its filed key, prefetching
// index slots PREFETCH_GROUP keys at a time, a group ahead.
void file_keys(const Codec& c, SplitBatch& bt, size_t count) {
  index_prefetch(c.index, bt.keys[0].bytes, count < PREFETCH_GROUP ? count : PREFETCH_GROUP, sizeof(ChunkKey));
  for (size_t g = 0; g < count; g += PREFETCH_GROUP) {
    const size_t end = count - g < PREFETCH_GROUP ? count : g + PREFETCH_GROUP;
    // Bytes 0..3 survive filing, so a filed key and its fingerprint key
    // share a home slot: the next group can go out before it is filed.
    if (end < count)
      index_prefetch(c.index, bt.keys[end].bytes, count - end < PREFETCH_GROUP ? count - end : PREFETCH_GROUP,
                     sizeof(ChunkKey));
    for (size_t i = g; i < end; ++i) bt.keys[i] = filed_key(c, bt.keys[i], bt.starts[i], bt.lens[i]);
  }
}

}  // namespace

BodyTask encoder_body(Codec& c) {
  uint8_t header[4];
  encoder_open_stream(c, header);
  CODEC_PUT_SPAN(c, header, sizeof header);

  RefState rs;
  SplitBatch& bt = c.batch;
  while (co_await need_input(c)) {
    const uint8_t* const p = c.in_cur;
    const size_t avail = static_cast<size_t>(c.in_end - p);
    const size_t n = avail < SPLIT_SPAN_MAX ? avail : SPLIT_SPAN_MAX;
    c.in_cur = p + n;
    const size_t count = chunker_split(c.chunker, p, n, bt.ends, bt.bits);
    if (count == 0) {
      gather(c, p, n);
      continue;
    }

    // The chunk carried in from earlier spans is finished in place; every
    // other chunk of the span is fingerprinted in one batch.
    size_t first = 0;
    uint32_t prev_end = 0;
    if (c.chunk_buf_len != 0) {
      const uint32_t head = bt.ends[0];
      gather(c, p, head);
      fold_finish(c.fold_block, c.chunk_buf_len, bt.keys[0]);
      bt.starts[0] = c.chunk_buf;
      bt.lens[0] = c.chunk_buf_len;
      first = 1;
      prev_end = head;
    }
    for (size_t i = first; i < count; ++i) {
      bt.starts[i] = p + prev_end;
      bt.lens[i] = bt.ends[i] - prev_end;
      prev_end = bt.ends[i];
    }
    fingerprint_chunks(bt.starts + first, bt.lens + first, count - first, bt.keys + first);

    // File every key (the content checks are most of that work) while the
    // slots of the keys a group or two on are on their way from memory; by
    // the time the chunks are decided the slots are in the cache.  (The
    // prefetch is a call into another file on purpose: g++ 12 drops
    // __builtin_prefetch from coroutine bodies.)
    file_keys(c, bt, count);
    // Chunks written as their own bytes lie end to end in the input, so a
    // run of them goes out in one piece.
    const uint8_t* run = nullptr;
    size_t run_len = 0;
    for (size_t i = 0; i < count; ++i) {
      const uint32_t len = bt.lens[i];
      const ChunkPlan plan = plan_chunk(c, rs, bt.keys[i], len, bt.starts[i]);
      if (plan.esc_len != 0 || !plan.emit_chunk || bt.starts[i] != run + run_len) {
        CODEC_PUT_SPAN(c, run, run_len);
        CODEC_PUT_SPAN(c, plan.esc, plan.esc_len);
        run = bt.starts[i];
        run_len = 0;
      }
      if (plan.emit_chunk) run_len += len;
      sweep_after_chunk(c, len);
    }
    CODEC_PUT_SPAN(c, run, run_len);
    // chunk_buf is free again: the unfinished tail waits there.
    c.chunk_buf_len = 0;
    gather(c, p + prev_end, n - prev_end);
  }

  // The final chunk: what is left since the last boundary, possibly nothing.
  const uint32_t len = c.chunk_buf_len;
  fold_finish(c.fold_block, len, c.chunk_key);
  chunker_end_chunk(c.chunker);
  const ChunkPlan plan = plan_chunk(c, rs, filed_key(c, c.chunk_key, c.chunk_buf, len), len, c.chunk_buf);
  CODEC_PUT_SPAN(c, plan.esc, plan.esc_len);
  if (plan.emit_chunk) CODEC_PUT_SPAN(c, c.chunk_buf, len);
  c.chunk_buf_len = 0;
}

}  // namespace cdedup
