// The encoded stream's bytes: a 4-byte header, then chunk records that are
// either a chunk's own bytes or an escape record (EF 4D B6 and a code byte).
// This is the only file that knows those bytes; docs/format.md describes them
// for people.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cdedup {

inline constexpr uint8_t ESC_PREFIX[3] = {0xEF, 0x4D, 0xB6};
inline constexpr uint8_t ESC_COPY = 0x00;      // then a 4-byte little-endian distance
inline constexpr uint8_t ESC_LITERAL = 0x01;   // then a chunk taken verbatim
inline constexpr uint8_t ESC_CONTINUE = 0x02;  // copy from the continuation position
inline constexpr size_t HEADER_BYTES = 4;
inline constexpr size_t ESC_RECORD_BYTES = 4;     // prefix and code
inline constexpr size_t ESC_COPY_BYTES = 8;       // prefix, code and distance

struct StreamHeader {
  uint32_t cfg_chunklen;    // chunk-length parameter, 16 bits on the wire
  uint32_t cfg_decwinsize;  // window bytes (MiB on the wire)
};

// Header of an encoder with these parameters (cfg_chunklen written mod 65536).
void header_write(uint32_t cfg_chunklen, uint32_t window_bytes, uint8_t out[HEADER_BYTES]);

// Header from four fetched bytes, each 0..255 or -1 when the stream ended
// early; assembled in 32-bit two's-complement arithmetic as the format says.
StreamHeader header_read(const int bytes[HEADER_BYTES]);

// What the first four bytes of a record are.
enum class RecordKind { Literal, Copy, LiteralEscape, Continue };
RecordKind record_kind(const uint8_t first4[4]);

// A literal chunk that would read as an escape record and must go behind ESC_LITERAL.
bool needs_literal_escape(const uint8_t* chunk, size_t len);

// Distance of an ESC_COPY from its four fetched bytes (-1 for missing ones).
uint32_t distance_read(const int bytes[4]);

// Record writers; each returns the number of bytes written.
size_t write_copy(uint32_t distance, uint8_t out[ESC_COPY_BYTES]);
size_t write_continue(uint8_t out[ESC_RECORD_BYTES]);
size_t write_literal_escape(uint8_t out[ESC_RECORD_BYTES]);

}  // namespace cdedup
