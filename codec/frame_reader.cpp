// The frame reader: every decoder stream starts here.  The scanner
// (dedup/frame_format.h) reads the first bytes: the magic makes a checked
// frame, anything else a bare stream, whose bytes looked at are replayed to
// the body before the reader steps out of the way for good.
//
// In a frame, each block is checked before the body sees a byte of it, so a
// damaged block never reaches the output; the body then takes the block as
// its input span.  A block that lies whole in the caller's buffer is taken
// there (no copy: the usual case when the caller reads in pieces larger than
// a block); one that does not is gathered in the codec's block, which
// codec_input_space offers so that a caller can read straight into it.  A
// frame without block checks has nothing to wait for: its payload goes to
// the body as it comes, never copied.  The
// end marker is the body's end of input.  The trailer's size and checksum are
// compared before a frame counts as sound, and the stream is done only at the
// end of the input, after as many frames as it holds: each one a stream of
// its own, restarted in the same instance (window, output file and all).
//
// The decoded bytes are hashed as the body hands them to the caller's
// buffer, a yield at a time while they are still in cache; or, when the
// caller hashes them itself (codec_set_caller_hash), not at all, and the
// caller learns at CODEC_FRAME_END what they must hash to.
#include <cdedup/cdedup.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>

#include "codec/codec.h"
#include "codec/coroutine.h"
#include "codec/decoder.h"
#include "codec/frame_layer.h"
#include "codec/reference_file.h"
#include "codec/window_file.h"

namespace cdedup {

namespace {

enum Phase : uint8_t {
  HEADER,    // scanning a frame's header (the first one's magic decides frame or bare)
  REPLAY,    // a bare stream's first bytes, looked at, go to the body
  SETTINGS,  // the body takes the frame's settings as its header
  BLOCKS,    // between blocks
  GATHER,    // a block's payload comes: in place, or gathered in the codec's block
  FEED,      // the body decodes a block, or a piece of one
  ENDING,    // the body takes the end of its input
  TRAILER,   // the trailer
  NEXT,      // CODEC_FRAME_END was returned; the next frame or the end of input comes next
};

// More than a body at its end of input ever asks (a cut header or distance reads a few).
constexpr int ENDING_ASKS_MAX = 64;

// The stream stops on a fault of the frame: the scanner's words for it.
int32_t scan_fault(Codec& c) {
  frame_error_text(c.framing.scan, c.message, sizeof c.message);
  return codec_stop(c, CODEC_FAIL_STREAM);
}

size_t user_avail(const FrameLayer& f) { return static_cast<size_t>(f.user_in_end - f.user_in_cur); }

// Output the body handed back since the last look: counted, and hashed
// unless the caller hashes it.
void take_output(Codec& c) {
  FrameLayer& f = c.framing;
  const size_t n = static_cast<size_t>(c.out_cur - f.out_mark);
  if (n == 0) return;
  if (!c.caller_hash && f.phase != REPLAY) stream_hash_update(f.hash, f.out_mark, n);
  f.frame_out += n;
  f.out_mark = c.out_cur;
}

// The body goes on; false when it yielded to the caller (its yield is
// c.state) instead of asking for input.
bool body_step(Codec& c) {
  const int32_t y = codec_resume_body(c);
  take_output(c);
  return y == CODEC_NEED_INPUT || y == CODEC_DONE;
}

// Not a frame: the body decodes a bare stream from the bytes the scanner
// took (the magic's first bytes, at most), then from the caller's buffers.
int32_t start_bare(Codec& c) {
  FrameLayer& f = c.framing;
  if (c.checked) {
    frame_error_text(f.scan, c.message, sizeof c.message);
    return codec_stop(c, CODEC_FAIL_NOT_CHECKED);
  }
  if (c.ref_file != nullptr) {
    c.ref_file->active = false;
    codec_set_message(c, "not a patch: a bare stream names no reference file, and one was given");
    return codec_stop(c, CODEC_FAIL_REFERENCE);
  }
  std::memcpy(f.replay, f.scan.held, f.scan.held_len);
  c.in_start = c.in_cur = f.replay;
  c.in_end = f.replay + f.scan.held_len;
  c.in_eof = 0;
  f.phase = REPLAY;
  if (!codec_start_body(c)) return c.state;
  return frame_reader_run(c);
}

// The replayed bytes are taken: from here on the caller's buffers are the
// body's, as if the reader had never been there.
int32_t step_aside(Codec& c) {
  FrameLayer& f = c.framing;
  f.side = FrameSide::None;
  c.in_start = c.in_cur = f.user_in_cur;
  c.in_end = f.user_in_end;
  c.in_eof = f.user_eof ? 1 : 0;
  c.state = CODEC_NEED_INPUT;
  if (c.in_cur >= c.in_end && !c.in_eof) return c.state;
  return codec_resume_body(c);
}

// A frame's header is in: its body starts on the frame's settings, in the
// same window and output file as the frames before it.
int32_t start_frame(Codec& c) {
  FrameLayer& f = c.framing;
  const FrameHeader& h = f.scan.header;
  // A patch decodes only with its own reference, checked before any of its
  // output; a reference given for a frame that is not a patch means the
  // caller holds another file than it thinks.
  if (c.ref_file != nullptr) c.ref_file->active = false;
  if (h.names_reference() && c.ref_file == nullptr) {
    codec_set_message(c,
                      "checked frame %" PRIu64 " was written against a reference file of %" PRIu64
                      " bytes with XXH3-64 %016" PRIx64 ", and none was given",
                      f.scan.frames + 1, h.reference_size, h.reference_hash);
    return codec_stop(c, CODEC_FAIL_REFERENCE);
  }
  if (!h.names_reference() && c.ref_file != nullptr) {
    codec_set_message(c, "checked frame %" PRIu64 " is not a patch (it names no reference file), and one was given",
                      f.scan.frames + 1);
    return codec_stop(c, CODEC_FAIL_REFERENCE);
  }
  if (h.names_reference()) {
    if (!reference_matches(c, f.scan.frames + 1, h.reference_size, h.reference_hash)) return codec_stop(c, c.failure);
    c.ref_file->active = true;
  }
  // The block a frame's blocks are gathered in, had before the frame runs.
  if (!frame_layer_hold_block(c)) return c.state;
  if (f.scan.frames > 0) {
    f.earlier_bytes += c.total_bytes;
    f.earlier_chunks += c.chunk_count;
    f.stream_out += f.frame_out;
  }
  if (f.file_asked && c.file_window != nullptr) file_window_next_stream(*c.file_window, f.file_base + f.stream_out);
  f.frame_out = 0;
  stream_hash_reset(f.hash);
  std::memcpy(f.settings, h.settings, FRAME_SETTINGS_BYTES);
  c.in_start = c.in_cur = f.settings;
  c.in_end = f.settings + FRAME_SETTINGS_BYTES;
  c.in_eof = 0;
  f.phase = SETTINGS;
  return codec_start_body(c) ? CODEC_NEED_INPUT : c.state;
}

// Payload for the body: a whole block, checked first when the frame has
// block checks, or without them any piece of a block.
int32_t feed_span(Codec& c, const uint8_t* p, uint32_t len) {
  FrameLayer& f = c.framing;
  if (f.scan.header.block_checks() && frame_block_check(p, len) != f.scan.block_check) {
    codec_set_message(c,
                      "checked frame %" PRIu64 ", block %" PRIu64 " at byte %" PRIu64
                      ": block damaged (its check does not match)",
                      f.scan.frames + 1, f.scan.blocks, f.scan.block_start);
    return codec_stop(c, CODEC_FAIL_STREAM);
  }
  c.in_start = c.in_cur = p;
  c.in_end = p + len;
  f.phase = FEED;
  return CODEC_NEED_INPUT;
}

// The trailer is in: the frame decoded what was encoded, or the stream stops.
int32_t check_trailer(Codec& c) {
  FrameLayer& f = c.framing;
  const FrameTrailer& t = f.scan.trailer;
  f.digest_size = t.size;
  f.digest_hash = t.hash;
  if (f.frame_out != t.size) {
    codec_set_message(c,
                      "checked frame %" PRIu64 ": %" PRIu64 " bytes decoded where %" PRIu64
                      " were encoded: the stream was altered",
                      f.scan.frames, f.frame_out, t.size);
    return codec_stop(c, CODEC_FAIL_STREAM);
  }
  if (!c.caller_hash && stream_hash_digest(f.hash) != t.hash) {
    codec_set_message(c, "checked frame %" PRIu64 ": checksum mismatch: the decoded bytes differ from what was encoded",
                      f.scan.frames);
    return codec_stop(c, CODEC_FAIL_STREAM);
  }
  if (c.caller_hash) {
    f.phase = NEXT;
    f.out_taken = true;
    return c.state = CODEC_FRAME_END;
  }
  f.phase = HEADER;
  return CODEC_NEED_INPUT;
}

// Ask the caller for input; with `space`, offer the rest of the codec's block.
int32_t ask_input(Codec& c, bool space) {
  FrameLayer& f = c.framing;
  if (space) {
    c.in_space = f.block + f.block_fill;
    c.in_room = f.scan.block_len - f.block_fill;
  }
  return c.state = CODEC_NEED_INPUT;
}

}  // namespace

int32_t frame_reader_start(Codec& c) {
  FrameLayer& f = c.framing;
  decoder_forget_counts(c);
  // The reference is hashed again for each stream: it may have changed since.
  if (c.ref_file != nullptr) c.ref_file->hashed = false;
  f.side = FrameSide::Reader;
  f.phase = HEADER;
  frame_scan_start(f.scan);
  f.user_in_cur = f.user_in_end = nullptr;
  f.user_eof = false;
  f.out_mark = c.out_cur;
  f.out_taken = false;
  f.frame_out = f.stream_out = 0;
  f.file_asked = c.file_window != nullptr && c.file_window->requested;
  f.file_base = c.file_window != nullptr ? c.file_window->file_offset : 0;
  c.in_start = c.in_cur = c.in_end = nullptr;
  c.in_eof = 0;
  c.in_space = nullptr;
  return c.state = CODEC_NEED_INPUT;
}

int32_t frame_reader_run(Codec& c) {
  FrameLayer& f = c.framing;
  switch (c.state) {
    case CODEC_NEED_INPUT:
      if (f.user_in_cur >= f.user_in_end && !f.user_eof && f.phase != REPLAY && f.phase != SETTINGS &&
          f.phase != FEED && f.phase != ENDING)
        return c.state;
      break;
    case CODEC_OUTPUT_FULL:
      if (c.out_cur >= c.out_end) return c.state;
      break;
    case CODEC_FRAME_END:
      if (f.out_taken) return c.state;
      break;
    case CODEC_ERROR:
      return c.state;
    default:
      break;
  }
  c.in_space = nullptr;
  for (;;) {
    switch (f.phase) {
      case HEADER:
      case NEXT: {
        f.phase = HEADER;
        size_t taken;
        const FrameEvent e = frame_scan(f.scan, f.user_in_cur, user_avail(f), taken);
        f.user_in_cur += taken;
        if (e == FrameEvent::Header) {
          if (start_frame(c) == CODEC_ERROR) return CODEC_ERROR;
          continue;
        }
        if (e == FrameEvent::Error) return f.scan.error == FrameError::NotFrame ? start_bare(c) : scan_fault(c);
        if (!f.user_eof) return ask_input(c, false);
        const FrameEvent end = frame_scan_finish(f.scan);
        if (end == FrameEvent::More) return c.state = CODEC_DONE;
        return f.scan.error == FrameError::NotFrame ? start_bare(c) : scan_fault(c);
      }
      case REPLAY:
        if (!body_step(c)) return c.state;
        if (c.state == CODEC_DONE) return c.state;
        return step_aside(c);
      case SETTINGS:
        if (!body_step(c)) return c.state;
        f.phase = BLOCKS;
        continue;
      case BLOCKS: {
        size_t taken;
        const FrameEvent e = frame_scan(f.scan, f.user_in_cur, user_avail(f), taken);
        f.user_in_cur += taken;
        if (e == FrameEvent::Block) {
          f.block_fill = 0;
          f.phase = GATHER;
          continue;
        }
        if (e == FrameEvent::End) {
          c.in_start = c.in_cur = c.in_end = nullptr;
          c.in_eof = 1;
          c.state = CODEC_NEED_INPUT;
          f.phase = ENDING;
          continue;
        }
        if (e == FrameEvent::Error) return scan_fault(c);
        if (!f.user_eof) return ask_input(c, false);
        frame_scan_finish(f.scan);
        return scan_fault(c);
      }
      case GATHER: {
        const size_t avail = user_avail(f);
        const bool checks = f.scan.header.block_checks();
        // A block whole in the caller's buffer, or any piece of one that
        // has no check to wait for, goes to the body where it lies.
        if (f.block_fill == 0 && (avail >= f.scan.payload_left || (!checks && avail != 0))) {
          const uint8_t* const p = f.user_in_cur;
          size_t taken;
          frame_scan(f.scan, p, avail, taken);
          f.user_in_cur += taken;
          if (feed_span(c, p, static_cast<uint32_t>(taken)) == CODEC_ERROR) return CODEC_ERROR;
          continue;
        }
        const size_t k = std::min<size_t>(avail, f.scan.payload_left);
        // A caller that read into the codec's block (codec_input_space) needs no copy.
        if (k != 0 && f.user_in_cur != f.block + f.block_fill) std::memcpy(f.block + f.block_fill, f.user_in_cur, k);
        size_t taken;
        frame_scan(f.scan, f.user_in_cur, k, taken);
        f.user_in_cur += k;
        f.block_fill += k;
        if (f.scan.payload_left == 0) {
          if (feed_span(c, f.block, f.scan.block_len) == CODEC_ERROR) return CODEC_ERROR;
          continue;
        }
        if (!f.user_eof) return ask_input(c, true);
        frame_scan_finish(f.scan);
        return scan_fault(c);
      }
      case FEED:
        if (!body_step(c)) return c.state;
        f.phase = f.scan.payload_left != 0 ? GATHER : BLOCKS;
        continue;
      case ENDING:
        // At its end of input a body may ask a few times more, as it does
        // of the caller after a bare stream's end.
        for (int asks = 0; c.state != CODEC_DONE; ++asks) {
          if (asks == ENDING_ASKS_MAX) {
            codec_set_message(c, "the decoder went on past the end of a checked frame");
            return codec_stop(c, CODEC_FAIL_STREAM);
          }
          if (!body_step(c)) return c.state;
        }
        f.phase = TRAILER;
        continue;
      case TRAILER: {
        size_t taken;
        const FrameEvent e = frame_scan(f.scan, f.user_in_cur, user_avail(f), taken);
        f.user_in_cur += taken;
        if (e == FrameEvent::Trailer) {
          const int32_t y = check_trailer(c);
          if (y != CODEC_NEED_INPUT) return y;
          continue;
        }
        if (!f.user_eof) return ask_input(c, false);
        frame_scan_finish(f.scan);
        return scan_fault(c);
      }
    }
  }
}

}  // namespace cdedup
