// Byte-at-a-time encoder: every input byte goes through get_byte into the
// chunker, the fold block and the chunk buffer, and every output byte through
// put_byte.  Slow and plain on purpose: it is what the fast path is tested
// against.  A patch's reference is filed the same way, a byte at a time.
#include <cstring>

#include "codec/encoder.h"
#include "codec/reference_file.h"
#include "dedup/chunk_index.h"
#include "dedup/chunker.h"
#include "dedup/fingerprint.h"

namespace cdedup {

bool encoder_index_reference_bytewise(Codec& c) {
  return reference_pass(c, *c.ref_file, [&c](const uint8_t* block, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      const uint8_t b = block[i];
      const bool boundary = chunker_feed(c.chunker, b);
      fold_add(c.fold_block, b);
      c.chunk_buf[c.chunk_buf_len++] = b;
      if (!boundary) continue;
      const uint32_t len = c.chunker.chunk_len;
      fold_finish(c.fold_block, len, c.chunk_key);
      chunker_end_chunk(c.chunker);
      file_reference_chunk(c, filed_key(c, c.chunk_key, c.chunk_buf, len), len);
      c.chunk_buf_len = 0;
    }
  });
}

BodyTask encoder_body_reference(Codec& c) {
  uint8_t header[4];
  if (!encoder_open_stream(c, header, encoder_index_reference_bytewise)) co_await codec_fail(c);
  for (uint8_t b : header) co_await put_byte(c, b);

  RefState rs;
  for (bool end = false; !end;) {
    const int b = co_await get_byte(c);
    if (b >= 0) {
      const bool boundary = chunker_feed(c.chunker, static_cast<uint8_t>(b));
      fold_add(c.fold_block, static_cast<uint8_t>(b));
      c.chunk_buf[c.chunk_buf_len++] = static_cast<uint8_t>(b);
      if (!boundary) continue;
    } else {
      end = true;  // what is left forms the final chunk, possibly empty
    }
    const uint32_t len = c.chunker.chunk_len;
    fold_finish(c.fold_block, len, c.chunk_key);
    chunker_end_chunk(c.chunker);
    const ChunkPlan plan = plan_chunk(c, rs, filed_key(c, c.chunk_key, c.chunk_buf, len), len, c.chunk_buf);
    for (uint32_t i = 0; i < plan.esc_len; ++i) co_await put_byte(c, plan.esc[i]);
    if (plan.emit_chunk)
      for (uint32_t i = 0; i < len; ++i) co_await put_byte(c, c.chunk_buf[i]);
    if (!end) sweep_after_chunk(c, len);
    c.chunk_buf_len = 0;
  }
}

}  // namespace cdedup
