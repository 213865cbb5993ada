// The frame writer: the encoder's body writes into a block of the codec's
// own, which is sealed (length, check) and copied out to the caller's
// buffers, over as many CODEC_OUTPUT_FULL as they need.  The body's first
// four bytes, its header, land in a buffer of their own and become the
// frame's settings.
//
// Why a copy: a block's length and check go before its payload and are known
// only once the payload is complete, and by then the caller may have taken
// the buffers it began in.  The copy is of encoded bytes, still in cache from
// the body's writing, and so is the check's pass over them; the block size is
// chosen so that both stay in the core's own cache (see WRITE_BLOCK).  The
// output is the same whatever the caller's buffer sizes and thread count,
// since blocks are cut by the body's output alone.
//
// The checksum of the decoded bytes is the checksum of the input: taken in as
// each input buffer is handed over, on the caller's thread, or by the
// parallel encoder's pool (Codec::input_hash), which sees its input in
// blocks of its own.
//
// A patch (an encoder given a reference file) is always written in a frame:
// the frame's header is where the reference's size and hash go.
#include <cdedup/cdedup.h>

#include <algorithm>

#include "codec/codec.h"
#include "codec/coroutine.h"
#include "codec/frame_layer.h"
#include "codec/reference_file.h"
#include "platform/copy.h"

namespace cdedup {

namespace {

// The writer's block, and block checks on.  Measured with
// bench/frame_cost (best of 7, input and output in 1 MiB buffers, as the
// command line reads and writes), framed against bare on the backup
// corpus: encoding on one thread +7.9% with blocks of 64 KiB, +9.0% with
// 256 KiB, +10.3% with 1 MiB (most of it the checksum of the input, which
// on one thread has nowhere else to go); decoding with the caller hashing
// +2.7%, +1.6%, +3.5%.  A block of 1 MiB straddles nearly every 1 MiB read
// and is gathered by the reader; one of 256 KiB a quarter of them, and it
// stays in a core's L2 cache while it is checked and copied out.  Block
// checks cost decoding about 4% there (+1.6% against -2.2% without), and
// 13% on random data, which does not shrink (+13.0% against -0.5%): the
// price of never handing out a byte of a damaged block.
constexpr uint32_t WRITE_BLOCK = uint32_t{256} << 10;

enum Phase : uint8_t {
  CATCH_SETTINGS,  // the body is writing its 4-byte header
  BODY,            // the body writes into the block
  CLOSED,          // the body is done; the end and trailer are queued
};

// Copies what is queued to the caller's buffer; false when the buffer filled first.
bool emit_part(FrameLayer& f, const uint8_t* src, size_t len, size_t& at) {
  if (at == len) return true;
  const size_t k = std::min(len - at, static_cast<size_t>(f.user_out_end - f.user_out_cur));
  if (k != 0) copy_bytes(f.user_out_cur, src + at, k);
  f.user_out_cur += k;
  at += k;
  return at == len;
}

bool emit(FrameLayer& f) {
  if (!emit_part(f, f.pre, f.pre_len, f.pre_at) || !emit_part(f, f.payload, f.payload_len, f.payload_at) ||
      !emit_part(f, f.post, f.post_len, f.post_at))
    return false;
  f.pre_len = f.pre_at = f.payload_len = f.payload_at = f.post_len = f.post_at = 0;
  return true;
}

void body_writes_block(Codec& c) {
  FrameLayer& f = c.framing;
  c.out_start = c.out_cur = f.block;
  c.out_end = f.block + f.block_fill;
}

// The block the body filled (all of it, or what it wrote before its end)
// goes out behind its length and check.
void seal_block(Codec& c) {
  FrameLayer& f = c.framing;
  const uint32_t len = static_cast<uint32_t>(c.out_cur - f.block);
  if (len == 0) return;
  f.pre_len += frame_block_prefix_write(f.header, f.block, len, f.pre + f.pre_len);
  f.payload = f.block;
  f.payload_len = len;
}

}  // namespace

int32_t frame_writer_start(Codec& c) {
  FrameLayer& f = c.framing;
  const size_t want = f.write_block != 0 ? std::min(f.write_block, FRAME_BLOCK_MAX) : WRITE_BLOCK;
  if (!frame_layer_hold_block(c)) return c.state;
  f.block_fill = want;
  f.side = FrameSide::Writer;
  f.phase = CATCH_SETTINGS;
  f.user_out_start = c.out_start;
  f.user_out_cur = c.out_cur;
  f.user_out_end = c.out_end;
  f.pre_len = f.pre_at = f.payload_len = f.payload_at = f.post_len = f.post_at = 0;
  f.header = FrameHeader{};
  if (!f.write_without_checks) f.header.flags = FRAME_FLAG_BLOCK_CHECKS;
  stream_hash_reset(f.hash);
  c.out_start = c.out_cur = f.settings;
  c.out_end = f.settings + FRAME_SETTINGS_BYTES;
  if (!codec_start_body(c)) return c.state;
  return frame_writer_run(c);
}

void frame_writer_input(Codec& c, const uint8_t* p, size_t n) {
  if (c.input_hash == nullptr) stream_hash_update(c.framing.hash, p, n);
}

int32_t frame_writer_run(Codec& c) {
  FrameLayer& f = c.framing;
  switch (c.state) {
    case CODEC_NEED_INPUT:
      if (c.in_cur >= c.in_end && !c.in_eof) return c.state;
      break;
    case CODEC_OUTPUT_FULL:
      if (f.user_out_cur >= f.user_out_end) return c.state;
      break;
    case CODEC_ERROR:
      return c.state;
    default:
      break;
  }
  for (;;) {
    // Whatever is queued goes out before the body may touch the block again.
    if (!emit(f) || f.user_out_cur == f.user_out_end) return c.state = CODEC_OUTPUT_FULL;
    if (f.phase == CLOSED) return c.state = CODEC_DONE;
    const int32_t y = codec_resume_body(c);
    if (y == CODEC_NEED_INPUT || y == CODEC_ERROR) return y;
    if (y == CODEC_OUTPUT_FULL && f.phase == CATCH_SETTINGS) {
      std::copy(f.settings, f.settings + FRAME_SETTINGS_BYTES, f.header.settings);
      // A patch's reference was filed and hashed before the body's header.
      if (c.ref_file != nullptr && c.ref_file->active) {
        f.header.flags |= FRAME_FLAG_REFERENCE;
        f.header.reference_size = c.ref_file->size;
        f.header.reference_hash = c.ref_file->hash;
      }
      f.pre_len = frame_header_write(f.header, f.pre);
      f.phase = BODY;
      body_writes_block(c);
      continue;
    }
    seal_block(c);
    if (y == CODEC_OUTPUT_FULL) {
      body_writes_block(c);
      continue;
    }
    // The body has ended: every input byte is in the checksum (the pool's
    // share included: the parallel body waits for it before it ends).
    const FrameTrailer t{c.total_bytes, stream_hash_digest(f.hash)};
    frame_close_write(t, f.post);
    f.post_len = FRAME_CLOSE_BYTES;
    f.phase = CLOSED;
  }
}

}  // namespace cdedup
