// The checked frame: the bytes that wrap a bare stream (stream_format.h) so
// that a reader knows it holds one of ours, where it ends, and that every
// byte decoded is the byte encoded.  This is the only file that knows the
// frame's layout; docs/format.md describes it for people.
//
//   magic     8  00 00 43 44 46 89 0D 0A
//   flags     2  bit 0 block checks, bit 1 a reference; any other: refused
//   settings  4  the bare stream's header
//   [ref]    16  with flag bit 1: the reference's size, its XXH3-64
//   hcheck    4  low 32 bits of XXH3-64 of every header byte before it
//   block*       length (1..FRAME_BLOCK_MAX), [check], payload
//   end       4  length 0
//   trailer  16  decoded size, XXH3-64 of the decoded bytes
//
// All numbers little-endian.  The magic's first two bytes are a chunk-length
// field of 0, which no bare stream has, so a reader tells the two apart by
// them alone and an older reader refuses a frame instead of decoding it.
//
// A frame is parsed by one piece of code, the scanner below: fed pieces of
// any size, it reports the header, each block's length and check, the end
// and the trailer, and passes over payloads (or hands them to a caller that
// takes them itself), so the decoder and a lister that never decodes read a
// frame alike.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cdedup {

inline constexpr uint8_t FRAME_MAGIC[8] = {0x00, 0x00, 0x43, 0x44, 0x46, 0x89, 0x0D, 0x0A};
inline constexpr size_t FRAME_MAGIC_BYTES = 8;
inline constexpr uint16_t FRAME_FLAG_BLOCK_CHECKS = 1;
inline constexpr uint16_t FRAME_FLAG_REFERENCE = 2;
inline constexpr uint16_t FRAME_FLAGS_KNOWN = FRAME_FLAG_BLOCK_CHECKS | FRAME_FLAG_REFERENCE;
inline constexpr size_t FRAME_SETTINGS_BYTES = 4;
inline constexpr size_t FRAME_REFERENCE_BYTES = 16;
inline constexpr size_t FRAME_HEADER_MAX = FRAME_MAGIC_BYTES + 2 + FRAME_SETTINGS_BYTES + FRAME_REFERENCE_BYTES + 4;
inline constexpr size_t FRAME_BLOCK_PREFIX_MAX = 8;
inline constexpr size_t FRAME_TRAILER_BYTES = 16;
inline constexpr size_t FRAME_CLOSE_BYTES = 4 + FRAME_TRAILER_BYTES;  // end marker and trailer

// The largest block a reader takes.  A reader stages a block that is not
// whole in its input buffer, and checks it before any of it is decoded, so
// this bounds both its staging memory and how far a damaged block runs
// before it is caught.  A writer's blocks are smaller (frame_writer.cpp).
inline constexpr uint32_t FRAME_BLOCK_MAX = uint32_t{1} << 20;

struct FrameHeader {
  uint16_t flags = 0;
  uint8_t settings[FRAME_SETTINGS_BYTES] = {};
  uint64_t reference_size = 0;
  uint64_t reference_hash = 0;

  bool block_checks() const { return (flags & FRAME_FLAG_BLOCK_CHECKS) != 0; }
  bool names_reference() const { return (flags & FRAME_FLAG_REFERENCE) != 0; }
};

struct FrameTrailer {
  uint64_t size = 0;  // decoded bytes
  uint64_t hash = 0;  // their XXH3-64
};

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

// The header; returns its length.
size_t frame_header_write(const FrameHeader& h, uint8_t out[FRAME_HEADER_MAX]);
// A block's length and, with block checks, the check of its payload; returns
// the bytes written (4 or 8).
size_t frame_block_prefix_write(const FrameHeader& h, const uint8_t* payload, uint32_t len,
                                uint8_t out[FRAME_BLOCK_PREFIX_MAX]);
// The end marker and the trailer.
void frame_close_write(const FrameTrailer& t, uint8_t out[FRAME_CLOSE_BYTES]);
// A block's check: the low 32 bits of XXH3-64 of its payload.
uint32_t frame_block_check(const uint8_t* payload, size_t len);

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

enum class FrameEvent : uint8_t {
  More,     // every byte given was taken; give more, or frame_scan_finish at the end of input
  Header,   // a frame's header is complete and sound: `header`
  Block,    // a block starts: `block_len`, `block_check`; its payload comes next
  Payload,  // `taken` bytes of the current block's payload were taken
  End,      // the frame's end marker
  Trailer,  // the trailer (`trailer`): the frame is complete; another frame or the end of input follows
  Error,    // the input cannot be a sound frame: `error`, frame_error_text
};

enum class FrameError : uint8_t {
  None,
  NotFrame,         // the input does not begin with the magic (a bare stream, or foreign bytes)
  NotAnotherFrame,  // after a frame's trailer, bytes that do not begin another frame
  HeaderDamaged,    // the header's check does not match
  UnknownFlags,     // a flag this reader does not know: a feature it cannot decode
  BlockTooLong,     // a block length over FRAME_BLOCK_MAX
  CutShort,         // the input ended inside a frame
};

struct FrameScanner {
  enum class Part : uint8_t { Magic, Fields, Reference, HeaderCheck, BlockLength, BlockCheck, Payload, Trailer, Failed };
  Part part = Part::Magic;
  uint8_t held[FRAME_HEADER_MAX] = {};  // the header so far, or the field being read
  size_t held_len = 0;
  FrameHeader header;
  FrameTrailer trailer;
  uint64_t frames = 0;       // frames complete (trailer read)
  uint64_t offset = 0;       // input bytes taken
  uint64_t frame_start = 0;  // where the current frame's magic starts
  uint64_t blocks = 0;       // blocks of the current frame begun
  uint64_t block_start = 0;  // where the current block's length starts
  uint64_t payload_bytes = 0;  // payload bytes of the current frame so far
  uint32_t block_len = 0;
  uint32_t block_check = 0;
  uint32_t payload_left = 0;
  FrameError error = FrameError::None;
  uint64_t error_value = 0;  // the flags or block length refused
};

// Ready for an input that starts with a frame.
void frame_scan_start(FrameScanner& s);
// Takes bytes from p[0, n) up to the next event and says which; `taken` is
// how many.  In a payload it takes as many as the payload still has and
// reports Payload.  On NotFrame and NotAnotherFrame the first byte that is
// not the magic's is not taken: `held` keeps the bytes taken that matched it.
FrameEvent frame_scan(FrameScanner& s, const uint8_t* p, size_t n, size_t& taken);
// The input has ended: More when that is between frames after at least one,
// else Error (CutShort inside a frame; NotFrame before any).
FrameEvent frame_scan_finish(FrameScanner& s);
// Whether the scanner is inside a frame (past its magic, before its trailer's end).
bool frame_scan_inside(const FrameScanner& s);
// One line on what the scanner refused.
void frame_error_text(const FrameScanner& s, char* out, size_t n);

}  // namespace cdedup
