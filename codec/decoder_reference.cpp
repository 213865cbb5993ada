// Byte-at-a-time decoder: every byte through get_byte and put_byte, every
// decoded byte through the chunker one call at a time.  The reference that
// the fast path is tested against.
#include "codec/decoder.h"
#include "dedup/chunk_index.h"
#include "dedup/chunker.h"
#include "dedup/stream_format.h"

namespace cdedup {

namespace {

// Chunker and window take every decoded byte exactly once.
inline bool take_in(Codec& c, uint8_t b) {
  const bool boundary = chunker_feed(c.chunker, b);
  if (c.decwin != nullptr) {
    c.decwin[c.decwin_pos] = b;
    if (++c.decwin_pos == c.index.cfg_decwinsize) c.decwin_pos = 0;
  }
  return boundary;
}

}  // namespace

BodyTask decoder_body_reference(Codec& c) {
  int header[4];
  for (int& h : header) h = co_await get_byte(c);
  if (!decoder_open_stream(c, header)) co_await codec_fail(c);
  const uint32_t window = c.index.cfg_decwinsize;

  uint32_t src_pos = 0, cont_pos = 0, skip = 0;
  uint8_t* const buf = c.chunk_buf;
  for (bool end = false;;) {
    const int b = co_await get_byte(c);
    if (b < 0) {
      end = true;
      if (c.chunk_buf_len < 4)
        for (uint32_t i = 0; i < c.chunk_buf_len; ++i) take_in(c, buf[i]);
    } else {
      if (!decoder_window_ready(c)) co_await codec_fail(c);
      buf[c.chunk_buf_len++] = static_cast<uint8_t>(b);
      if (c.chunk_buf_len > 4) {
        if (!take_in(c, static_cast<uint8_t>(b))) continue;
      } else if (c.chunk_buf_len < 4) {
        continue;
      } else {
        uint32_t distance = 0;
        switch (record_kind(buf)) {
          case RecordKind::Literal:
            for (uint32_t i = 0; i < 4; ++i) take_in(c, buf[i]);  // a chunk cannot end this early
            continue;
          case RecordKind::LiteralEscape:
            c.chunk_buf_len = 5;
            skip = 5;
            continue;
          case RecordKind::Copy: {
            int d[4];
            for (int& x : d) x = co_await get_byte(c);
            if (!decoder_copy_distance(c, d, distance)) co_await codec_fail(c);
            break;
          }
          case RecordKind::Continue:
            distance = pos_distance(cont_pos, c.stream_pos);
            break;
        }
        if (!decoder_reference_allowed(c)) co_await codec_fail(c);
        src_pos = pos_distance(distance, c.stream_pos);
        c.chunk_buf_len = 0;
        uint32_t s = window_source_index(window, c.decwin_pos, distance);
        for (;;) {
          const uint8_t t = c.decwin[s];
          buf[c.chunk_buf_len++] = t;
          if (take_in(c, t)) break;
          if (++s == window) s = 0;
        }
      }
    }
    // Chunk end.
    const uint32_t n = c.chunker.chunk_len;
    chunker_end_chunk(c.chunker);
    for (uint32_t i = skip; i < c.chunk_buf_len; ++i) co_await put_byte(c, buf[i]);
    c.total_bytes += n;
    c.chunk_count += 1;
    c.stream_pos = pos_advance(c.stream_pos, n);
    cont_pos = src_pos + n;
    c.chunk_buf_len = 0;
    if (end) co_return;
    skip = 0;
  }
}

}  // namespace cdedup
