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
//
// A patch's reference goes through the same cutting and filing, from its
// file a block at a time, and nothing is written for it.
#include <cstring>

#include "codec/encoder.h"
#include "codec/reference_file.h"
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

// Cuts a span of input into chunks, the chunk carried in from earlier spans
// finished in chunk_buf, and gives each complete chunk its start, length and
// filed key in c.batch; returns how many, and in `tail` where the
// unfinished rest of the span starts.  A span with no boundary is gathered
// whole.
size_t cut_span(Codec& c, const uint8_t* p, size_t n, size_t& tail) {
  SplitBatch& bt = c.batch;
  const size_t count = chunker_split(c.chunker, p, n, bt.ends, bt.bits);
  if (count == 0) {
    gather(c, p, n);
    tail = n;
    return 0;
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
  tail = prev_end;
  return count;
}

}  // namespace

bool encoder_index_reference(Codec& c) {
  return reference_pass(c, *c.ref_file, [&c](const uint8_t* block, size_t n) {
    for (size_t done = 0; done < n;) {
      const uint8_t* const p = block + done;
      const size_t m = n - done < SPLIT_SPAN_MAX ? n - done : SPLIT_SPAN_MAX;
      size_t tail;
      const size_t count = cut_span(c, p, m, tail);
      for (size_t i = 0; i < count; ++i) file_reference_chunk(c, c.batch.keys[i], c.batch.lens[i]);
      if (count != 0) {
        c.chunk_buf_len = 0;
        gather(c, p + tail, m - tail);
      }
      done += m;
    }
  });
}

BodyTask encoder_body(Codec& c) {
  uint8_t header[4];
  if (!encoder_open_stream(c, header, encoder_index_reference)) co_await codec_fail(c);
  CODEC_PUT_SPAN(c, header, sizeof header);

  RefState rs;
  ChunkOutput out;
  SplitBatch& bt = c.batch;
  while (co_await need_input(c)) {
    const uint8_t* const p = c.in_cur;
    const size_t avail = static_cast<size_t>(c.in_end - p);
    const size_t n = avail < SPLIT_SPAN_MAX ? avail : SPLIT_SPAN_MAX;
    c.in_cur = p + n;
    size_t tail;
    const size_t count = cut_span(c, p, n, tail);
    if (count == 0) continue;
    for (size_t i = 0; i < count; ++i)
      if (encode_chunk(c, rs, out, bt.keys[i], bt.starts[i], bt.lens[i])) CODEC_PUT_CHUNK(c, out);
    CODEC_PUT_RUN(c, out);
    // chunk_buf is free again: the unfinished tail waits there.
    c.chunk_buf_len = 0;
    gather(c, p + tail, n - tail);
  }

  // The final chunk, gathered in chunk_buf.
  fold_finish(c.fold_block, c.chunk_buf_len, c.chunk_key);
  chunker_end_chunk(c.chunker);
  if (encode_final_chunk(c, rs, out, c.chunk_key, c.chunk_buf, c.chunk_buf_len)) CODEC_PUT_CHUNK(c, out);
  CODEC_PUT_RUN(c, out);
  c.chunk_buf_len = 0;
}

}  // namespace cdedup
