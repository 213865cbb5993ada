// Span-at-a-time decoder.
//
// Literal chunk bytes are not fed through the chunker one by one: a literal
// chunk's end is searched for from its 64th byte on (boundary_find), and
// the search stops at the first hit, so the windows of a chunk's first 63
// bytes and everything past its end are never hashed.  A boundary depends
// only on the chunk's own last 16 bytes, so no hash carries over.  A
// literal chunk that lies wholly in the span is stored in the window and
// written out straight from the input; only a chunk cut by the end of a
// span is gathered in chunk_buf.
//
// A copy almost always names the start of a chunk decoded earlier, and such a
// copy ends exactly where that chunk ended: same bytes, same boundary.  So
// the decoder notes, in one byte for every 64 window bytes, where in them a
// chunk starts (a chunk is at least 64 bytes long, so one byte suffices), and
// forgets the note before any byte of those 64 is overwritten.  Chunks lie
// end to end in the window, so a noted chunk ends where the next noted one
// starts, or at the write position when it is the newest: its length costs a
// look at the next few notes, and the notes cost 1/64 of the window touched
// (lengths kept beside them cost four times that, which a large window
// cannot spare).  A noted chunk's start byte is older than the rest of it, and
// the window is overwritten oldest first, so a note that survives stands for a
// chunk whose bytes are all still in the window: the copy is then one memcpy,
// with no boundary search.  Any other copy is materialised into chunk_buf in growing
// pieces (most chunks end in the first 256 bytes) and its boundary searched
// in each piece as it lands; a distance shorter than the bytes copied so far
// repeats the last bytes, which is what the byte-by-byte copy through the
// window does.
//
// The window is a block in memory, or, when the output is a regular file,
// that file (window_file.h): the same slots and notes, its bytes read back
// from the file or from a ring of the newest ones, and a noted copy put into
// the ring from where it was read back and output from there.
//
// A patch's reference stands before the stream in the window but is never
// in it: a source behind the stream's first byte is read back from the
// reference file (reference_file.h), in memory or in a file alike.  Its
// chunks have no notes, so a copy from it takes the slower path.
//
// Output, yields, statistics and failures are those of the byte-at-a-time
// decoder, which the tests and fuzzers hold this one to.
#include <algorithm>
#include <cstring>

#include "codec/decoder.h"
#include "codec/reference_file.h"
#include "codec/window_file.h"
#include "dedup/boundary_scan.h"
#include "dedup/chunk_index.h"
#include "dedup/chunker.h"
#include "dedup/stream_format.h"
#include "dedup/window_tables.h"
#include "platform/copy.h"
#include "platform/prefault.h"

namespace cdedup {

namespace {

// A chunk-start note: the start's offset in its 64 bytes plus one; 0 is none.
inline uint8_t start_note(uint32_t index) { return static_cast<uint8_t>((index & 63) + 1); }

// Length of the noted chunk that starts at window index src, `ahead` bytes
// behind the write index; 0 when the notes do not settle it.  The next chunk
// starts at least 64 bytes on, so the search begins with the next 64 bytes.
uint32_t noted_length(const Codec& c, uint32_t src, uint32_t ahead) {
  const uint8_t* const notes = c.decwin_notes;
  const uint32_t blocks = static_cast<uint32_t>(decwin_notes_bytes(c.index.cfg_decwinsize));
  const uint32_t limit = ahead < CHUNK_MAX_LEN ? ahead : CHUNK_MAX_LEN;
  uint32_t rel = 64 - (src & 63);  // where the next 64 bytes start, from src
  uint32_t b = (src >> 6) + 1;
  if (b == blocks) b = 0;
  for (; rel <= limit; rel += 64) {
    if (notes[b] != 0) {
      const uint32_t end = rel + notes[b] - 1;
      return end >= CHUNK_MIN_LEN && end <= limit ? end : 0;
    }
    if (++b == blocks) b = 0;
  }
  return ahead <= CHUNK_MAX_LEN && ahead >= CHUNK_MIN_LEN ? ahead : 0;
}

// Chunk-start notes are forgotten this many blocks (of 64 window bytes) at a
// time, ahead of the write index: one memset per 256 KiB written instead of
// one per put.  The notes ahead of the write index are those of the oldest
// bytes in the window, the next to be overwritten, so forgetting them a
// little early only sends a copy of those bytes down the slower path; and
// a noted chunk's length is looked up between its start and the write
// index, never in the blocks ahead.
constexpr uint32_t NOTES_FORGET_BATCH = 4096;

// Forgets the notes of every block up to `last` (ring order from the write
// index) that is not forgotten yet, and a batch beyond it.
inline void notes_forget_through(Codec& c, uint32_t last) {
  const uint32_t blocks = static_cast<uint32_t>(decwin_notes_bytes(c.index.cfg_decwinsize));
  const uint32_t here = c.decwin_pos >> 6;
  const auto ahead = [&](uint32_t b) { return b >= here ? b - here : b + blocks - here; };
  const uint32_t from = ahead(c.decwin_notes_clear), to = ahead(last);
  if (to < from) return;
  // Never a whole lap: the write index's own block may hold a fresh note.
  uint32_t n = std::min(to + NOTES_FORGET_BATCH, blocks - 1) - from + 1;
  uint32_t b = c.decwin_notes_clear;
  while (n != 0) {
    const uint32_t k = std::min(n, blocks - b);
    std::memset(c.decwin_notes + b, 0, k);
    b = b + k == blocks ? 0 : b + k;
    n -= k;
  }
  c.decwin_notes_clear = b;
}

// The next k window bytes (k at most the room before the window's end) are
// being written: forget the chunk-start notes of every 64 bytes they touch
// and move the write index past them.
inline void window_advance(Codec& c, size_t k) {
  const uint32_t window = c.index.cfg_decwinsize;
  if (c.decwin_notes != nullptr) notes_forget_through(c, static_cast<uint32_t>((c.decwin_pos + k - 1) >> 6));
  const uint32_t was = c.decwin_pos;
  c.decwin_pos = c.decwin_pos + k == window ? 0 : static_cast<uint32_t>(c.decwin_pos + k);
  // Each MiB written tells the helper populating the window ahead, if any
  // (from the page the stream started in: once round, all of it).
  if (c.window_prefault != nullptr && ((was ^ c.decwin_pos) >> 20) != 0)
    c.window_prefault->reached(static_cast<uint32_t>(c.decwin_pos - (c.decwin_first & ~uint32_t{4095})));
}

// The next n window bytes are being written, wherever the window wraps.
inline void window_skip(Codec& c, size_t n) {
  const uint32_t window = c.index.cfg_decwinsize;
  while (n != 0) {
    const size_t room = window - c.decwin_pos;
    const size_t k = n < room ? n : room;
    window_advance(c, k);
    n -= k;
  }
}

// Appends decoded bytes to the window: the circular block in memory, or the
// one kept in the output file (a window of 0 keeps nothing).
inline void window_put(Codec& c, const uint8_t* p, size_t n) {
  if (c.decwin_in_file) {
    file_window_put(*c.file_window, p, n);
    window_skip(c, n);
    return;
  }
  if (c.decwin == nullptr) return;
  const uint32_t window = c.index.cfg_decwinsize;
  while (n != 0) {
    const size_t room = window - c.decwin_pos;
    const size_t k = n < room ? n : room;
    copy_bytes(c.decwin + c.decwin_pos, p, k);
    window_advance(c, k);
    p += k;
    n -= k;
  }
}

// Bytes that lie `back` bytes behind the write index and before the
// stream's first byte: a patch's reference, read back from its file, or
// zeros before it; k is cut to what the piece holds.
const uint8_t* bytes_before_stream(Codec& c, uint32_t back, size_t& k) {
  const uint64_t before = back - c.total_bytes;  // bytes before the stream's first
  if (before > c.stream_base) {
    k = static_cast<size_t>(std::min<uint64_t>({k, before - c.stream_base, CHUNK_MAX_LEN}));
    return window_zeros();
  }
  if (k > before) k = static_cast<size_t>(before);
  return reference_bytes(*c.ref_file, c.stream_base - before, k);
}

// The window's bytes that lie `back` bytes behind the write index (1 <=
// back <= window), at most k of them in one piece: k is cut to what the
// piece holds.  Where a copy starts, the stream's bytes in the window are
// those total_bytes counts.
inline const uint8_t* window_bytes(Codec& c, uint32_t back, size_t& k) {
  if (back > c.total_bytes && c.stream_base != 0) return bytes_before_stream(c, back, k);
  if (c.decwin_in_file) return file_window_bytes(*c.file_window, back, k);
  const uint32_t window = c.index.cfg_decwinsize;
  const uint32_t s = static_cast<uint32_t>((uint64_t{c.decwin_pos} + window - back) % window);
  k = std::min<size_t>(k, window - s);
  return c.decwin + s;
}

// A noted chunk of len bytes at window index src (len no more than the bytes
// from src to the write index) copied to the write index inside the window,
// when neither span wraps: one move instead of two through chunk_buf, and the
// chunk is then output from the window.  Returns where the copy lies, or
// null when a span wraps.  The spans may overlap only with the source
// ahead of the destination, where a forward move reads every source byte
// before overwriting it, as the byte-by-byte copy does.
inline const uint8_t* window_copy_in_place(Codec& c, uint32_t src, uint32_t len) {
  const uint64_t window = c.index.cfg_decwinsize;
  if (uint64_t{src} + len > window || uint64_t{c.decwin_pos} + len > window) return nullptr;
  uint8_t* const dst = c.decwin + c.decwin_pos;
  const uint8_t* const from = c.decwin + src;
  if (dst < from + len && from < dst + len)
    std::memmove(dst, from, len);
  else
    copy_bytes(dst, from, len);
  window_advance(c, len);
  return dst;
}

// Appends literal bytes to the chunk gathered in chunk_buf, and to the window.
inline void gather(Codec& c, const uint8_t* p, size_t n) {
  copy_bytes(c.chunk_buf + c.chunk_buf_len, p, n);
  window_put(c, p, n);
  c.chunk_buf_len += static_cast<uint32_t>(n);
}

// Puts bytes [from, to) of a copy into chunk_buf.  Byte i comes from the
// window `ahead` bytes before the write index, so bytes at or beyond
// `ahead` are bytes of this same copy.
inline void materialise(Codec& c, uint32_t ahead, size_t from, size_t to) {
  uint8_t* const buf = c.chunk_buf;
  size_t i = from;
  while (i < to && i < ahead) {
    size_t k = std::min<size_t>(to - i, ahead - i);
    const uint8_t* const p = window_bytes(c, static_cast<uint32_t>(ahead - i), k);
    copy_bytes(buf + i, p, k);
    i += k;
  }
  // From `ahead` on the bytes repeat with that period, so any whole number
  // of periods back holds the same bytes: copy from as many periods back as
  // there are bytes so far, a stretch that doubles with each step and never
  // overlaps its source.
  while (i < to) {
    const size_t back = i / ahead * ahead;
    const size_t k = std::min(to - i, back);
    copy_bytes(buf + i, buf + i - back, k);
    i += k;
  }
}

// Copies the chunk that starts `distance` bytes back to the window and
// points `chunk` at its bytes (in the window, or in chunk_buf); returns its
// length (64..65535).
uint32_t copy_chunk(Codec& c, uint32_t distance, const uint8_t*& chunk) {
  const uint32_t window = c.index.cfg_decwinsize;
  const uint32_t src = window_source_index(window, c.decwin_pos, distance);
  const uint32_t ahead = src < c.decwin_pos ? c.decwin_pos - src : window - src + c.decwin_pos;
  chunk = c.chunk_buf;
  if (c.decwin_notes != nullptr && c.decwin_notes[src >> 6] == start_note(src)) {
    const uint32_t len = noted_length(c, src, ahead);
    if (len != 0) {
      if (c.decwin_in_file) {
        // Read back in one piece, straight into the ring, output from there.
        size_t k = len;
        const uint8_t* const from = window_bytes(c, ahead, k);
        if (k == len) {
          chunk = file_window_put(*c.file_window, from, len);
          window_skip(c, len);
          return len;
        }
      } else if (const uint8_t* in_window = window_copy_in_place(c, src, len)) {
        chunk = in_window;
        return len;
      }
      materialise(c, ahead, 0, len);
      window_put(c, c.chunk_buf, len);
      return len;
    }
  }
  static constexpr size_t PIECE_ENDS[] = {256, 1024, 4096, 16384, CHUNK_MAX_LEN};
  const WindowTables& t = window_tables();
  uint32_t len = CHUNK_MAX_LEN;  // when no window below the cap ends it
  size_t made = 0;
  size_t from = CHUNK_MIN_LEN - 1;
  for (const size_t to : PIECE_ENDS) {
    materialise(c, ahead, made, to);
    made = to;
    const size_t limit = std::min(to, size_t{CHUNK_MAX_LEN - 1});
    const size_t j = boundary_find(t, c.chunker.chunk_threshold, c.chunk_buf, from, limit);
    if (j < limit) {
      len = static_cast<uint32_t>(j + 1);
      break;
    }
    from = limit;
  }
  window_put(c, c.chunk_buf, len);
  return len;
}

// ---------------------------------------------------------------------------
// Records and literal chunks
// ---------------------------------------------------------------------------

// What the body carries from one input span to the next.  Between records,
// chunk_buf holds the bytes of a record's head that have come so far; in a
// literal chunk, the chunk's bytes gathered so far, from chunk_buf[0].
struct DecodeState {
  uint32_t src_pos = 0, cont_pos = 0;  // the format's positions (docs/format.md)
  uint32_t chunk_at = 0;               // window index where the current chunk starts
  bool in_literal = false;             // inside a literal chunk's bytes
  const uint8_t* lit_start = nullptr;  // its first byte in the input, or null once gathered in chunk_buf
  uint32_t lit_len = 0;                // its bytes so far
};

// The four bytes that open a record: in the input when they lie there
// whole, else held back in chunk_buf one by one; null until all four have come.
inline const uint8_t* record_head(Codec& c) {
  if (c.chunk_buf_len == 0 && c.in_end - c.in_cur >= 4) {
    const uint8_t* const head = c.in_cur;
    c.in_cur += 4;
    return head;
  }
  c.chunk_buf[c.chunk_buf_len++] = *c.in_cur++;
  return c.chunk_buf_len == 4 ? c.chunk_buf : nullptr;
}

// A literal chunk starts.  Its first four bytes are the record's head, or,
// after ESC_LITERAL, the bytes that follow it.
inline void start_literal(Codec& c, DecodeState& s, const uint8_t* head, bool escaped) {
  s.in_literal = true;
  if (escaped) {
    s.lit_len = 0;
    s.lit_start = c.in_cur;
    c.chunk_buf_len = 0;
  } else if (head == c.chunk_buf) {
    s.lit_len = 4;
    s.lit_start = nullptr;
    window_put(c, head, 4);  // already gathered: chunk_buf_len is 4
  } else {
    s.lit_len = 4;
    s.lit_start = head;
  }
}

// The input span is about to be handed back: a literal chunk still read in
// place keeps its bytes so far in chunk_buf.
inline void keep_literal(Codec& c, DecodeState& s) {
  if (!s.in_literal || s.lit_start == nullptr || c.in_cur != c.in_end) return;
  gather(c, s.lit_start, static_cast<size_t>(c.in_cur - s.lit_start));
  s.lit_start = nullptr;
}

// Takes literal bytes from the input up to the chunk's boundary, searched
// from the chunk's 64th byte on.  True, with the chunk's bytes, once the
// boundary is in; false when the span ran out first.
bool scan_literal(Codec& c, DecodeState& s, const uint8_t*& chunk, uint32_t& n) {
  const WindowTables& tables = window_tables();
  const uint8_t* const at = c.in_cur;  // offsets below count from here
  const size_t avail = static_cast<size_t>(c.in_end - at);
  const size_t first = s.lit_len < CHUNK_MIN_LEN - 1 ? CHUNK_MIN_LEN - 1 - s.lit_len : 0;
  const size_t cap = CHUNK_MAX_LEN - 1 - s.lit_len;
  const size_t limit = std::min(avail, cap);
  const uint32_t threshold = c.chunker.chunk_threshold;
  // A window before offset 15 reaches back into the chunk's earlier
  // bytes: in the input just before `at`, or gathered in chunk_buf.
  size_t j;
  if (s.lit_start != nullptr || first >= ROLL_WINLEN - 1)
    j = boundary_find(tables, threshold, at, first, limit);
  else
    j = boundary_find_after(tables, threshold, c.chunk_buf + c.chunk_buf_len - (ROLL_WINLEN - 1), at, first, limit);
  bool boundary = j < limit;
  if (!boundary && cap < avail) {
    j = cap;
    boundary = true;
  }
  const size_t taken = boundary ? j + 1 : avail;
  c.in_cur = at + taken;
  s.lit_len += static_cast<uint32_t>(taken);
  if (s.lit_start != nullptr && boundary) {
    // Wholly in the input: no copy needed.
    window_put(c, s.lit_start, s.lit_len);
    chunk = s.lit_start;
  } else {
    if (s.lit_start != nullptr) {
      // Cut by the end of the span: gather what there is so far.
      gather(c, s.lit_start, static_cast<size_t>(at - s.lit_start));
      s.lit_start = nullptr;
    }
    gather(c, at, taken);
    if (!boundary) return false;
    chunk = c.chunk_buf;
  }
  n = s.lit_len;
  s.in_literal = false;
  return true;
}

// The stream has ended: the literal in progress, or up to three held-back
// bytes of a record's head, are the final chunk (possibly empty).
inline uint32_t final_chunk(Codec& c, const DecodeState& s) {
  if (!s.in_literal) window_put(c, c.chunk_buf, c.chunk_buf_len);
  return c.chunk_buf_len;
}

// A complete chunk is noted where it starts in the window.
inline void note_chunk_start(Codec& c, uint32_t at, uint32_t n) {
  if (c.decwin_notes != nullptr && n >= CHUNK_MIN_LEN) c.decwin_notes[at >> 6] = start_note(at);
}

// The chunk of n bytes is out: counts and positions move past it.
inline void end_chunk(Codec& c, DecodeState& s, uint32_t n) {
  c.total_bytes += n;
  c.chunk_count += 1;
  c.stream_pos = pos_advance(c.stream_pos, n);
  s.cont_pos = s.src_pos + n;
  c.chunk_buf_len = 0;
  s.in_literal = false;
  s.lit_len = 0;
  s.lit_start = nullptr;
  s.chunk_at = c.decwin_pos;
}

}  // namespace

BodyTask decoder_body(Codec& c) {
  int header[4];
  for (int& h : header) h = co_await get_byte(c);
  if (!decoder_open_stream(c, header)) co_await codec_fail(c);

  DecodeState s;
  s.chunk_at = c.decwin_pos;
  for (;;) {
    keep_literal(c, s);
    const bool more = co_await need_input(c);
    const uint8_t* chunk = c.chunk_buf;
    uint32_t n = 0;
    if (!more) {
      n = final_chunk(c, s);
    } else if (!decoder_window_ready(c)) {
      co_await codec_fail(c);
    } else if (s.in_literal) {
      if (!scan_literal(c, s, chunk, n)) continue;
    } else {
      const uint8_t* const head = record_head(c);
      if (head == nullptr) continue;
      const RecordKind kind = record_kind(head);
      if (kind == RecordKind::Literal || kind == RecordKind::LiteralEscape) {
        start_literal(c, s, head, kind == RecordKind::LiteralEscape);
        continue;
      }
      uint32_t distance = 0;
      if (kind == RecordKind::Copy) {
        int d[4];
        for (int& x : d) x = co_await get_byte(c);
        if (!decoder_copy_distance(c, d, distance)) co_await codec_fail(c);
      } else {
        distance = pos_distance(s.cont_pos, c.stream_pos);
      }
      if (!decoder_reference_allowed(c)) co_await codec_fail(c);
      s.src_pos = pos_distance(distance, c.stream_pos);
      n = copy_chunk(c, distance, chunk);
      if (!decoder_window_intact(c)) co_await codec_fail(c);
    }

    note_chunk_start(c, s.chunk_at, n);
    CODEC_PUT_SPAN(c, chunk, n);
    end_chunk(c, s, n);
    if (!more) co_return;
  }
}

}  // namespace cdedup
