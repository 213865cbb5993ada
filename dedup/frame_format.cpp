// The checked frame, byte by byte: writers for its parts and the scanner
// that reads them back.  The scanner keeps the header whole in `held` while
// it reads it, so the header check covers exactly the bytes that came, and
// every refusal goes through refuse(), which is where a frame's faults are
// named.
#include "dedup/frame_format.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "dedup/stream_hash.h"

namespace cdedup {

namespace {

constexpr size_t FIELDS_END = FRAME_MAGIC_BYTES + 2 + FRAME_SETTINGS_BYTES;

uint64_t get_le(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

void put_le(uint8_t* p, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

size_t header_bytes(const FrameHeader& h) {
  return FIELDS_END + (h.names_reference() ? FRAME_REFERENCE_BYTES : 0) + 4;
}

// The one place where the scanner refuses its input.
FrameEvent refuse(FrameScanner& s, FrameError e, uint64_t value) {
  s.error = e;
  s.error_value = value;
  s.part = FrameScanner::Part::Failed;
  return FrameEvent::Error;
}

// Moves bytes into `held` until it holds `upto`; true once it does.
bool fill(FrameScanner& s, size_t upto, const uint8_t* p, size_t n, size_t& taken) {
  const size_t k = std::min(upto - s.held_len, n - taken);
  if (k != 0) std::memcpy(s.held + s.held_len, p + taken, k);
  s.held_len += k;
  taken += k;
  return s.held_len == upto;
}

void next_part(FrameScanner& s, FrameScanner::Part part) {
  s.part = part;
  s.held_len = 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

uint32_t frame_block_check(const uint8_t* payload, size_t len) {
  return static_cast<uint32_t>(hash_once(payload, len));
}

size_t frame_header_write(const FrameHeader& h, uint8_t out[FRAME_HEADER_MAX]) {
  std::memcpy(out, FRAME_MAGIC, FRAME_MAGIC_BYTES);
  put_le(out + FRAME_MAGIC_BYTES, h.flags, 2);
  std::memcpy(out + FRAME_MAGIC_BYTES + 2, h.settings, FRAME_SETTINGS_BYTES);
  size_t at = FIELDS_END;
  if (h.names_reference()) {
    put_le(out + at, h.reference_size, 8);
    put_le(out + at + 8, h.reference_hash, 8);
    at += FRAME_REFERENCE_BYTES;
  }
  put_le(out + at, frame_block_check(out, at), 4);
  return at + 4;
}

size_t frame_block_prefix_write(const FrameHeader& h, const uint8_t* payload, uint32_t len,
                                uint8_t out[FRAME_BLOCK_PREFIX_MAX]) {
  put_le(out, len, 4);
  if (!h.block_checks()) return 4;
  put_le(out + 4, frame_block_check(payload, len), 4);
  return 8;
}

void frame_close_write(const FrameTrailer& t, uint8_t out[FRAME_CLOSE_BYTES]) {
  put_le(out, 0, 4);
  put_le(out + 4, t.size, 8);
  put_le(out + 12, t.hash, 8);
}

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

void frame_scan_start(FrameScanner& s) { s = FrameScanner{}; }

bool frame_scan_inside(const FrameScanner& s) {
  using Part = FrameScanner::Part;
  return s.part != Part::Failed && !(s.part == Part::Magic && s.held_len < FRAME_MAGIC_BYTES);
}

namespace {

FrameEvent scan_step(FrameScanner& s, const uint8_t* p, size_t n, size_t& taken) {
  using Part = FrameScanner::Part;
  for (;;) {
    switch (s.part) {
      case Part::Magic:
        while (s.held_len < FRAME_MAGIC_BYTES) {
          if (taken == n) return FrameEvent::More;
          if (p[taken] != FRAME_MAGIC[s.held_len])
            return refuse(s, s.frames == 0 ? FrameError::NotFrame : FrameError::NotAnotherFrame, 0);
          s.held[s.held_len++] = p[taken++];
        }
        s.frame_start = s.offset + taken - FRAME_MAGIC_BYTES;
        s.part = Part::Fields;
        break;
      case Part::Fields:
        if (!fill(s, FIELDS_END, p, n, taken)) return FrameEvent::More;
        s.header = FrameHeader{};
        s.header.flags = static_cast<uint16_t>(get_le(s.held + FRAME_MAGIC_BYTES, 2));
        std::memcpy(s.header.settings, s.held + FRAME_MAGIC_BYTES + 2, FRAME_SETTINGS_BYTES);
        // A flag we do not know may also mean fields we do not know: the
        // header's length, and so its check, cannot be trusted past here.
        if ((s.header.flags & ~FRAME_FLAGS_KNOWN) != 0) return refuse(s, FrameError::UnknownFlags, s.header.flags);
        s.part = s.header.names_reference() ? Part::Reference : Part::HeaderCheck;
        break;
      case Part::Reference:
        if (!fill(s, FIELDS_END + FRAME_REFERENCE_BYTES, p, n, taken)) return FrameEvent::More;
        s.header.reference_size = get_le(s.held + FIELDS_END, 8);
        s.header.reference_hash = get_le(s.held + FIELDS_END + 8, 8);
        s.part = Part::HeaderCheck;
        break;
      case Part::HeaderCheck: {
        const size_t end = header_bytes(s.header);
        if (!fill(s, end, p, n, taken)) return FrameEvent::More;
        if (get_le(s.held + end - 4, 4) != frame_block_check(s.held, end - 4))
          return refuse(s, FrameError::HeaderDamaged, 0);
        s.blocks = 0;
        s.payload_bytes = 0;
        next_part(s, Part::BlockLength);
        return FrameEvent::Header;
      }
      case Part::BlockLength: {
        if (!fill(s, 4, p, n, taken)) return FrameEvent::More;
        const uint32_t len = static_cast<uint32_t>(get_le(s.held, 4));
        if (len == 0) {
          next_part(s, Part::Trailer);
          return FrameEvent::End;
        }
        if (len > FRAME_BLOCK_MAX) return refuse(s, FrameError::BlockTooLong, len);
        s.block_start = s.offset + taken - 4;
        s.block_len = s.payload_left = len;
        s.block_check = 0;
        ++s.blocks;
        if (s.header.block_checks()) {
          next_part(s, Part::BlockCheck);
          break;
        }
        s.part = Part::Payload;
        return FrameEvent::Block;
      }
      case Part::BlockCheck:
        if (!fill(s, 4, p, n, taken)) return FrameEvent::More;
        s.block_check = static_cast<uint32_t>(get_le(s.held, 4));
        s.part = Part::Payload;
        return FrameEvent::Block;
      case Part::Payload: {
        const uint32_t k = static_cast<uint32_t>(std::min<size_t>(n - taken, s.payload_left));
        if (k == 0) return FrameEvent::More;
        taken += k;
        s.payload_left -= k;
        s.payload_bytes += k;
        if (s.payload_left == 0) next_part(s, Part::BlockLength);
        return FrameEvent::Payload;
      }
      case Part::Trailer:
        if (!fill(s, FRAME_TRAILER_BYTES, p, n, taken)) return FrameEvent::More;
        s.trailer.size = get_le(s.held, 8);
        s.trailer.hash = get_le(s.held + 8, 8);
        ++s.frames;
        next_part(s, Part::Magic);
        return FrameEvent::Trailer;
      case Part::Failed:
        return FrameEvent::Error;
    }
  }
}

}  // namespace

FrameEvent frame_scan(FrameScanner& s, const uint8_t* p, size_t n, size_t& taken) {
  taken = 0;
  const FrameEvent e = scan_step(s, p, n, taken);
  s.offset += taken;
  return e;
}

FrameEvent frame_scan_finish(FrameScanner& s) {
  using Part = FrameScanner::Part;
  if (s.part == Part::Failed) return FrameEvent::Error;
  if (s.part == Part::Magic && s.held_len == 0 && s.frames > 0) return FrameEvent::More;
  if (s.part == Part::Magic && s.held_len < FRAME_MAGIC_BYTES)
    return refuse(s, s.frames == 0 ? FrameError::NotFrame : FrameError::NotAnotherFrame, 0);
  // Remember where it was cut for the message.
  s.error_value = static_cast<uint64_t>(s.part);
  s.error = FrameError::CutShort;
  s.part = Part::Failed;
  return FrameEvent::Error;
}

void frame_error_text(const FrameScanner& s, char* out, size_t n) {
  using Part = FrameScanner::Part;
  const unsigned long long frame = s.frames + 1, at = s.offset;
  switch (s.error) {
    case FrameError::None:
      std::snprintf(out, n, "no fault");
      return;
    case FrameError::NotFrame:
      std::snprintf(out, n, "not a checked stream: it does not begin with a checked frame's magic");
      return;
    case FrameError::NotAnotherFrame:
      std::snprintf(out, n, "bytes after the end of a checked frame are not another frame (byte %llu of the input)", at);
      return;
    case FrameError::HeaderDamaged:
      std::snprintf(out, n, "checked frame %llu at byte %llu: header damaged (its check does not match)", frame,
                    static_cast<unsigned long long>(s.frame_start));
      return;
    case FrameError::UnknownFlags:
      std::snprintf(out, n, "checked frame %llu at byte %llu: unknown flags 0x%04llx (a feature this version cannot decode)",
                    frame, static_cast<unsigned long long>(s.frame_start),
                    static_cast<unsigned long long>(s.error_value));
      return;
    case FrameError::BlockTooLong:
      std::snprintf(out, n, "checked frame %llu, block %llu at byte %llu: block length %llu over the limit of %" PRIu32,
                    frame, static_cast<unsigned long long>(s.blocks + 1), at - 4,
                    static_cast<unsigned long long>(s.error_value), FRAME_BLOCK_MAX);
      return;
    case FrameError::CutShort:
      break;
  }
  const unsigned long long block = s.blocks;
  switch (static_cast<Part>(s.error_value)) {
    case Part::BlockLength:
      std::snprintf(out, n, "checked frame %llu cut short at byte %llu: after block %llu, before its end marker", frame,
                    at, block);
      return;
    case Part::BlockCheck:
    case Part::Payload:
      std::snprintf(out, n, "checked frame %llu cut short at byte %llu: inside block %llu", frame, at, block);
      return;
    case Part::Trailer:
      std::snprintf(out, n, "checked frame %llu cut short at byte %llu: inside its trailer", frame, at);
      return;
    default:
      std::snprintf(out, n, "checked frame %llu cut short at byte %llu: inside its header", frame, at);
      return;
  }
}

}  // namespace cdedup
