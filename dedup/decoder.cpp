// Span-at-a-time decoder.  Literal chunk bytes are scanned for their boundary
// a span at a time and stored in the window with memcpy; copies are resolved
// from the window a run at a time.  Output, yields, statistics and failures
// are those of the byte-at-a-time decoder.
#include <cstring>

#include "dedup/chunk_index.h"
#include "dedup/chunker.h"
#include "dedup/decoder.h"
#include "dedup/stream_format.h"

namespace cdedup {

namespace {

// Appends a span of decoded bytes to the circular window.
inline void window_put(Codec& c, const uint8_t* p, size_t n) {
  const uint32_t window = c.index.cfg_decwinsize;
  if (c.decwin == nullptr) return;
  while (n != 0) {
    const size_t room = window - c.decwin_pos;
    const size_t k = n < room ? n : room;
    std::memcpy(c.decwin + c.decwin_pos, p, k);
    c.decwin_pos = static_cast<uint32_t>(c.decwin_pos + k == window ? 0 : c.decwin_pos + k);
    p += k;
    n -= k;
  }
}

// Copies a chunk out of the window into chunk_buf until the boundary.  The
// source is scanned a run at a time; a run never reaches past the bytes the
// copy has already produced, so a distance shorter than the chunk repeats.
inline void window_copy(Codec& c, uint32_t distance) {
  const uint32_t window = c.index.cfg_decwinsize;
  uint32_t s = window_source_index(window, c.decwin_pos, distance);
  for (;;) {
    // Bytes readable without wrapping and without overtaking the write index.
    size_t run = window - s;
    const size_t ahead = s < c.decwin_pos ? c.decwin_pos - s : window - s + c.decwin_pos;
    if (ahead != 0 && ahead < run) run = ahead;
    if (run > 256) run = 256;
    const uint8_t* src = c.decwin + s;
    const ChunkScan scan = chunker_scan(c.chunker, src, run);
    std::memcpy(c.chunk_buf + c.chunk_buf_len, src, scan.taken);
    window_put(c, c.chunk_buf + c.chunk_buf_len, scan.taken);
    c.chunk_buf_len += static_cast<uint32_t>(scan.taken);
    if (scan.boundary) return;
    s = static_cast<uint32_t>((s + scan.taken) % window);
  }
}

}  // namespace

BodyTask decoder_body(Codec& c) {
  int header[4];
  for (int& h : header) h = co_await get_byte(c);
  if (!decoder_open_stream(c, header)) co_await codec_fail(c);
  const uint32_t window = c.index.cfg_decwinsize;

  uint32_t src_pos = 0, cont_pos = 0, skip = 0;
  uint8_t* const buf = c.chunk_buf;
  for (;;) {
    const bool more = co_await need_input(c);
    if (!more) {
      // What was gathered forms the final chunk; held-back prefix bytes too.
      if (c.chunk_buf_len < 4) {
        const ChunkScan scan = chunker_scan(c.chunker, buf, c.chunk_buf_len);
        (void)scan;
        window_put(c, buf, c.chunk_buf_len);
      }
    } else {
      if (window != 0 && c.decwin == nullptr) {
        codec_set_message(c, "cannot allocate the decoder's %u MiB window: out of memory", window >> 20);
        co_await codec_fail(c);
      }
      if (c.chunk_buf_len < 4) {
        buf[c.chunk_buf_len++] = *c.in_cur++;
        if (c.chunk_buf_len < 4) continue;
        uint32_t distance = 0;
        switch (record_kind(buf)) {
          case RecordKind::Literal: {
            const ChunkScan scan = chunker_scan(c.chunker, buf, 4);
            (void)scan;  // a chunk cannot end within 4 bytes
            window_put(c, buf, 4);
            continue;
          }
          case RecordKind::LiteralEscape:
            c.chunk_buf_len = 5;
            skip = 5;
            continue;
          case RecordKind::Copy: {
            int d[4];
            for (int& x : d) x = co_await get_byte(c);
            if (d[3] < 0) {
              codec_set_message(c, "truncated stream: it ends inside a copy record");
              co_await codec_fail(c);
            }
            distance = distance_read(d);
            break;
          }
          case RecordKind::Continue:
            distance = pos_distance(cont_pos, c.stream_pos);
            break;
        }
        if (window == 0) {
          codec_set_message(c, "corrupt stream: a reference in a stream that has no window");
          co_await codec_fail(c);
        }
        src_pos = pos_distance(distance, c.stream_pos);
        c.chunk_buf_len = 0;
        window_copy(c, distance);
      } else {
        const uint8_t* p = c.in_cur;
        const ChunkScan scan = chunker_scan(c.chunker, p, static_cast<size_t>(c.in_end - p));
        std::memcpy(buf + c.chunk_buf_len, p, scan.taken);
        window_put(c, p, scan.taken);
        c.chunk_buf_len += static_cast<uint32_t>(scan.taken);
        c.in_cur = p + scan.taken;
        if (!scan.boundary) continue;
      }
    }
    // Chunk end.
    const uint32_t n = c.chunker.chunk_len;
    chunker_end_chunk(c.chunker);
    if (c.chunk_buf_len > skip) CODEC_PUT_SPAN(c, buf + skip, c.chunk_buf_len - skip);
    c.total_bytes += n;
    c.chunk_count += 1;
    c.stream_pos = pos_advance(c.stream_pos, n);
    cont_pos = src_pos + n;
    c.chunk_buf_len = 0;
    if (!more) co_return;
    skip = 0;
  }
}

}  // namespace cdedup
