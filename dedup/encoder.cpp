// Span-at-a-time encoder.  Input is taken a whole buffer at a time: the
// chunker and the fold block run over spans, a chunk that lies wholly in the
// input buffer is fingerprinted and written straight from it, and only a
// chunk that straddles two input buffers is gathered in chunk_buf.  Output
// bytes, yields and printed lines are those of the byte-at-a-time encoder.
#include <cstring>

#include "dedup/chunk_index.h"
#include "dedup/chunker.h"
#include "dedup/encoder.h"
#include "dedup/fingerprint.h"

namespace cdedup {

BodyTask encoder_body(Codec& c) {
  uint8_t header[4];
  encoder_open_stream(c, header);
  CODEC_PUT_SPAN(c, header, sizeof header);

  RefState rs;
  for (;;) {
    const bool more = co_await need_input(c);
    const uint8_t* chunk;
    uint32_t len;
    if (more) {
      const uint8_t* p = c.in_cur;
      const ChunkScan scan = chunker_scan(c.chunker, p, static_cast<size_t>(c.in_end - p));
      fold_add_span(c.fold_block, p, scan.taken);
      c.in_cur = p + scan.taken;
      if (!scan.boundary) {
        std::memcpy(c.chunk_buf + c.chunk_buf_len, p, scan.taken);
        c.chunk_buf_len += static_cast<uint32_t>(scan.taken);
        continue;
      }
      if (c.chunk_buf_len == 0) {
        chunk = p;  // wholly in the input buffer, which stays ours until we ask for more
      } else {
        std::memcpy(c.chunk_buf + c.chunk_buf_len, p, scan.taken);
        c.chunk_buf_len += static_cast<uint32_t>(scan.taken);
        chunk = c.chunk_buf;
      }
    } else {
      chunk = c.chunk_buf;  // the final chunk, possibly empty
    }
    len = c.chunker.chunk_len;
    fold_finish(c.fold_block, len, c.chunk_key);
    chunker_end_chunk(c.chunker);
    const ChunkPlan plan = plan_chunk(c, rs, c.chunk_key, len, chunk);
    CODEC_PUT_SPAN(c, plan.esc, plan.esc_len);
    if (plan.emit_chunk) CODEC_PUT_SPAN(c, chunk, len);
    c.chunk_buf_len = 0;
    if (!more) break;
    index_sweep(c.index, c.stream_pos, len);
  }
}

}  // namespace cdedup
