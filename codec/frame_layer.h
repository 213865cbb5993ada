// The checked frame around a stream's body: a writer (frame_writer.cpp) and a
// reader (frame_reader.cpp) that codec_run goes through, so that none of the
// five bodies knows about frames.
//
// The writer lets the body write into a block of the codec's own, seals each
// full block (its length and check) and copies it to the caller's buffers;
// the body's 4-byte header is caught on its way and becomes the frame's
// settings.  The reader finds out from the first bytes whether the input is a
// frame or a bare stream; for a frame it checks each block before the body
// sees any of it, and hands the body that block as its input: in place when
// it lies whole in the caller's buffer, else gathered in the codec's block.
// The body's end of input is the frame's end marker; the trailer is compared
// before the stream is said to be done, and another frame may follow.
//
// Between the body and the caller, the layer keeps the caller's buffers
// (`user_*`) apart from the body's (the Codec's in_* and out_*): the writer
// takes over the output side, the reader the input side.  A decoder that met
// a bare stream drops out of the way once the bytes it looked at are replayed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dedup/frame_format.h"
#include "dedup/stream_hash.h"

struct Codec;

namespace cdedup {

enum class FrameSide : uint8_t {
  None,    // the caller's buffers are the body's (bare streams, encoders without a frame)
  Writer,  // output goes through the frame writer
  Reader,  // input goes through the frame reader
};

struct FrameLayer {
  FrameSide side = FrameSide::None;
  uint8_t phase = 0;  // the side's own step (see the .cpp files)

  // The caller's buffers while the layer stands between it and the body.
  const uint8_t* user_in_cur = nullptr;
  const uint8_t* user_in_end = nullptr;
  bool user_eof = false;
  uint8_t* user_out_start = nullptr;
  uint8_t* user_out_cur = nullptr;
  uint8_t* user_out_end = nullptr;

  // The codec's block: the writer's staging, or a block the reader gathers.
  uint8_t* block = nullptr;
  size_t block_bytes = 0;   // allocated
  size_t block_fill = 0;    // bytes in it
  uint32_t write_block = 0; // the writer's block size (0: its default; tests and benchmarks change it)
  bool write_without_checks = false;  // the writer leaves out block checks (benchmarks)

  // Writer: what goes out next, in order: `pre`, the payload, `post`.
  FrameHeader header;
  uint8_t settings[FRAME_SETTINGS_BYTES] = {};
  uint8_t pre[FRAME_HEADER_MAX + FRAME_BLOCK_PREFIX_MAX] = {};
  uint8_t post[FRAME_CLOSE_BYTES] = {};
  size_t pre_len = 0, pre_at = 0;
  const uint8_t* payload = nullptr;
  size_t payload_len = 0, payload_at = 0;
  size_t post_len = 0, post_at = 0;

  // Reader.
  FrameScanner scan;
  uint8_t replay[FRAME_MAGIC_BYTES] = {};  // what was looked at of a bare stream
  uint8_t* out_mark = nullptr;             // output before this is counted (and hashed)
  uint64_t frame_out = 0;                  // bytes the current frame decoded
  bool out_taken = false;                  // CODEC_FRAME_END handed the output buffer back
  bool file_asked = false;                 // the caller named an output file for the stream
  uint64_t file_base = 0;                  // where in it the stream's first byte goes
  uint64_t stream_out = 0;                 // bytes decoded by the frames before this one
  uint64_t earlier_bytes = 0, earlier_chunks = 0;  // their statistics
  uint64_t digest_size = 0, digest_hash = 0;       // the last trailer, for codec_frame_digest

  // The checksum of the decoded bytes: the writer's input, the reader's output.
  StreamHash hash;
};

// The encoder's side: starts a stream that writes a frame (the body is made,
// not yet run) and runs it; codec_run's answer.
int32_t frame_writer_start(Codec& c);
int32_t frame_writer_run(Codec& c);
// The caller's input buffer as handed over: the checksum takes it in unless
// the body hashes its input itself.
void frame_writer_input(Codec& c, const uint8_t* p, size_t n);

// The decoder's side: starts a stream (every decoder stream goes through
// here: frame or bare is only known from its first bytes) and runs it.
int32_t frame_reader_start(Codec& c);
int32_t frame_reader_run(Codec& c);

// The codec's block (FRAME_BLOCK_MAX bytes), had once and kept by the
// instance; false, the stream stopped, when memory cannot be had.
bool frame_layer_hold_block(Codec& c);
// Gives back the codec's block.
void frame_layer_release(FrameLayer& f);

}  // namespace cdedup
