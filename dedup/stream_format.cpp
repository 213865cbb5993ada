// Stream format: the header and escape records, byte by byte.
//
// Readers get the fetched bytes as ints with -1 for "stream ended", and every
// field is assembled in unsigned 32-bit arithmetic, so a truncated stream
// yields the same well-defined (if odd) values on every platform instead of
// an error path: the format has none.
#include "dedup/stream_format.h"

namespace cdedup {

namespace {

inline void put_prefix(uint8_t* out, uint8_t code) {
  out[0] = ESC_PREFIX[0];
  out[1] = ESC_PREFIX[1];
  out[2] = ESC_PREFIX[2];
  out[3] = code;
}

// -1 becomes 0xFFFFFFFF, which is what two's-complement addition needs.
inline uint32_t u32(int b) { return static_cast<uint32_t>(b); }

}  // namespace

void header_write(uint32_t cfg_chunklen, uint32_t window_bytes, uint8_t out[HEADER_BYTES]) {
  out[0] = static_cast<uint8_t>(cfg_chunklen & 0xFF);
  out[1] = static_cast<uint8_t>((cfg_chunklen >> 8) & 0xFF);
  out[2] = static_cast<uint8_t>((window_bytes >> 20) & 0xFF);
  out[3] = static_cast<uint8_t>(window_bytes >> 28);
}

StreamHeader header_read(const int bytes[HEADER_BYTES]) {
  StreamHeader h;
  h.cfg_chunklen = u32(bytes[0]) + 256u * u32(bytes[1]);
  h.cfg_decwinsize = (u32(bytes[2]) + 256u * u32(bytes[3])) * 1048576u;
  return h;
}

RecordKind record_kind(const uint8_t first4[4]) {
  if (first4[0] != ESC_PREFIX[0] || first4[1] != ESC_PREFIX[1] || first4[2] != ESC_PREFIX[2]) return RecordKind::Literal;
  switch (first4[3]) {
    case ESC_COPY:
      return RecordKind::Copy;
    case ESC_LITERAL:
      return RecordKind::LiteralEscape;
    case ESC_CONTINUE:
      return RecordKind::Continue;
    default:
      return RecordKind::Literal;  // EF 4D B6 03..FF is plain data
  }
}

bool needs_literal_escape(const uint8_t* chunk, size_t len) {
  // Three bytes or fewer can only be a final chunk, which is always read literally.
  return len >= ESC_RECORD_BYTES && record_kind(chunk) != RecordKind::Literal;
}

uint32_t distance_read(const int bytes[4]) {
  return u32(bytes[0]) + 256u * u32(bytes[1]) + 65536u * u32(bytes[2]) + 16777216u * u32(bytes[3]);
}

size_t write_copy(uint32_t distance, uint8_t out[ESC_COPY_BYTES]) {
  put_prefix(out, ESC_COPY);
  out[4] = static_cast<uint8_t>(distance);
  out[5] = static_cast<uint8_t>(distance >> 8);
  out[6] = static_cast<uint8_t>(distance >> 16);
  out[7] = static_cast<uint8_t>(distance >> 24);
  return ESC_COPY_BYTES;
}

size_t write_continue(uint8_t out[ESC_RECORD_BYTES]) {
  put_prefix(out, ESC_CONTINUE);
  return ESC_RECORD_BYTES;
}

size_t write_literal_escape(uint8_t out[ESC_RECORD_BYTES]) {
  put_prefix(out, ESC_LITERAL);
  return ESC_RECORD_BYTES;
}

}  // namespace cdedup
