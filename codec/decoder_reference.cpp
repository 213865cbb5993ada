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

// A copy from `distance` bytes back, one byte at a time into chunk_buf and
// back into the window, until the copied bytes end a chunk; returns its
// length.  A distance shorter than the copy repeats its last bytes, since
// each byte is in the window before a later step reads its slot.
uint32_t copy_from_window(Codec& c, uint32_t distance) {
  const uint32_t window = c.index.cfg_decwinsize;
  uint32_t len = 0;
  for (uint32_t s = window_source_index(window, c.decwin_pos, distance);; s = s + 1 == window ? 0 : s + 1) {
    const uint8_t t = c.decwin[s];
    c.chunk_buf[len++] = t;
    if (take_in(c, t)) return len;
  }
}

}  // namespace

BodyTask decoder_body_reference(Codec& c) {
  int header[4];
  for (int& h : header) h = co_await get_byte(c);
  if (!decoder_open_stream(c, header)) co_await codec_fail(c);

  uint32_t src_pos = 0, cont_pos = 0;
  uint8_t* const buf = c.chunk_buf;
  for (;;) {
    // A record's first four bytes are held back to be tested for an escape.
    uint32_t held = 0;
    while (held < 4) {
      const int b = co_await get_byte(c);
      if (b < 0) break;
      if (!decoder_window_ready(c)) co_await codec_fail(c);
      buf[held++] = static_cast<uint8_t>(b);
    }

    bool stream_end = false;
    uint32_t len = 0;  // the chunk's bytes, from chunk_buf[0]
    if (held < 4) {
      // The stream ended within them: they are the final chunk.
      stream_end = true;
      for (uint32_t i = 0; i < held; ++i) take_in(c, buf[i]);
      len = held;
    } else if (const RecordKind kind = record_kind(buf); kind == RecordKind::Copy || kind == RecordKind::Continue) {
      uint32_t distance = 0;
      if (kind == RecordKind::Copy) {
        int d[4];
        for (int& x : d) x = co_await get_byte(c);
        if (!decoder_copy_distance(c, d, distance)) co_await codec_fail(c);
      } else {
        distance = pos_distance(cont_pos, c.stream_pos);
      }
      if (!decoder_reference_allowed(c)) co_await codec_fail(c);
      src_pos = pos_distance(distance, c.stream_pos);
      len = copy_from_window(c, distance);
    } else {
      // A literal chunk: the four bytes are its first unless they were the
      // escape, which is dropped.  It runs to a boundary or the stream's end.
      if (kind == RecordKind::Literal) {
        for (uint32_t i = 0; i < 4; ++i) take_in(c, buf[i]);  // a chunk cannot end this early
        len = 4;
      }
      for (;;) {
        const int b = co_await get_byte(c);
        if (b < 0) {
          stream_end = true;
          break;
        }
        if (!decoder_window_ready(c)) co_await codec_fail(c);
        buf[len++] = static_cast<uint8_t>(b);
        if (take_in(c, static_cast<uint8_t>(b))) break;
      }
    }

    // Chunk end.
    const uint32_t n = c.chunker.chunk_len;
    chunker_end_chunk(c.chunker);
    for (uint32_t i = 0; i < len; ++i) co_await put_byte(c, buf[i]);
    c.total_bytes += n;
    c.chunk_count += 1;
    c.stream_pos = pos_advance(c.stream_pos, n);
    cont_pos = src_pos + n;
    if (stream_end) co_return;
  }
}

}  // namespace cdedup
