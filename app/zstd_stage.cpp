// libzstd's streaming API on both sides, and the splitting of an input into
// its zstd frames and checked frames.  Compression hands every block to
// ZSTD_compressStream2, which with nbWorkers >= 1 only copies it into a job
// and returns: the codec goes on encoding on this thread while libzstd's
// threads compress, as two processes of a pipeline would.  Decompression
// writes straight into the caller's block, so an unwrapped stream costs no
// copy beyond the one libzstd makes from its window.
#include "app/zstd_stage.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <cstring>
#include <vector>

#include "app/exit_status.h"
#include "codec/frame_walk.h"

namespace cdedup::app {

bool starts_zstd_frame(const uint8_t head[4]) {
  const uint32_t magic = uint32_t(head[0]) | uint32_t(head[1]) << 8 | uint32_t(head[2]) << 16 | uint32_t(head[3]) << 24;
  return magic == ZSTD_MAGICNUMBER || (magic & ZSTD_MAGIC_SKIPPABLE_MASK) == ZSTD_MAGIC_SKIPPABLE_START;
}

namespace {

// ---------------------------------------------------------------------------
// Compression
// ---------------------------------------------------------------------------

class ZstdSink final : public Sink {
 public:
  ZstdSink(ZSTD_CCtx* cctx, std::unique_ptr<Sink> inner)
      : cctx_(cctx), inner_(std::move(inner)), buf_(ZSTD_CStreamOutSize()) {}
  ~ZstdSink() override { ZSTD_freeCCtx(cctx_); }
  ZstdSink(const ZstdSink&) = delete;
  ZstdSink& operator=(const ZstdSink&) = delete;

  bool write(const uint8_t* data, size_t n) override {
    ZSTD_inBuffer in{data, n, 0};
    while (in.pos < in.size)
      if (!step(in, ZSTD_e_continue)) return false;
    return true;
  }

  bool close() override {
    ZSTD_inBuffer in{nullptr, 0, 0};
    // step() returns after each output buffer; ZSTD_e_end is done when nothing is left to flush.
    while (!error_.failed() && !ended_)
      if (!step(in, ZSTD_e_end)) break;
    // Closed after a failure too, so that what reached it is kept; the
    // first failure is the one reported.
    const bool inner_closed = inner_->close();
    if (!error_.failed() && !inner_closed) fail_from_inner();
    return !error_.failed();
  }

  uint64_t file_bytes() const override { return inner_->file_bytes(); }

 private:
  bool step(ZSTD_inBuffer& in, ZSTD_EndDirective op) {
    ZSTD_outBuffer out{buf_.data(), buf_.size(), 0};
    const size_t left = ZSTD_compressStream2(cctx_, &out, &in, op);
    if (ZSTD_isError(left)) {
      error_ = {EXIT_IO, std::string("cannot compress: zstd: ") + ZSTD_getErrorName(left)};
      return false;
    }
    if (op == ZSTD_e_end && left == 0) ended_ = true;
    if (out.pos != 0 && !inner_->write(buf_.data(), out.pos)) return fail_from_inner();
    return true;
  }

  bool fail_from_inner() {
    error_ = inner_->error();
    return false;
  }

  ZSTD_CCtx* cctx_;
  std::unique_ptr<Sink> inner_;
  std::vector<uint8_t> buf_;
  bool ended_ = false;
};

// ---------------------------------------------------------------------------
// Decompression
// ---------------------------------------------------------------------------

// An input is a run of segments: zstd frames, whose content goes to the
// codec, and checked frames, which go to it as they are, in any order (a
// joined `a.cdz b.cdd`).  Each segment decides on its first bytes: a zstd
// magic cannot begin a stream or a frame of ours (the window field would
// exceed 4095 MiB; our magic begins with two zero bytes), so there is no
// guessing.  Where a checked frame ends follows from its header and block
// lengths, which the frame scanner reads without decoding, so the next
// segment is found without the codec's help.  Only the first segment may be
// anything else (a bare stream, or bytes that are not ours at all): it runs
// to the end of the input, and the codec judges it.
class UnwrapSource final : public Source {
 public:
  UnwrapSource(std::unique_ptr<Source> inner, std::string name, bool* zstd_seen)
      : inner_(std::move(inner)), name_(std::move(name)), zstd_seen_(zstd_seen) {}
  ~UnwrapSource() override { ZSTD_freeDCtx(dctx_); }
  UnwrapSource(const UnwrapSource&) = delete;
  UnwrapSource& operator=(const UnwrapSource&) = delete;

  size_t read(uint8_t* buf, size_t cap) override {
    while (!error_.failed() && cap != 0) {
      size_t n = 0;
      switch (state_) {
        case State::segment:
          if (!start_segment()) return 0;
          continue;
        case State::zstd:
          n = read_zstd(buf, cap);
          break;
        case State::frame:
          n = read_frame(buf, cap);
          break;
        case State::rest:
          return raw(buf, cap);
        case State::end:
          return 0;
      }
      if (n != 0 || error_.failed()) return n;
      // The segment ended without a byte for the codec (an empty zstd frame, say): on to the next.
    }
    return 0;
  }

  uint64_t file_bytes() const override { return inner_->file_bytes(); }

 private:
  enum class State { segment, zstd, frame, rest, end };

  // Bytes of the input, those read ahead and not yet used first.
  size_t raw(uint8_t* buf, size_t cap) {
    if (held_at_ < held_.size()) {
      const size_t n = std::min(cap, held_.size() - held_at_);
      memcpy(buf, held_.data() + held_at_, n);
      held_at_ += n;
      return n;
    }
    const size_t n = inner_->read(buf, cap);
    if (n == 0 && inner_->error().failed()) fail_from_inner();
    return n;
  }
  // Bytes taken from the input that belong to the next segment: read again first.
  void put_back(const uint8_t* p, size_t n) {
    held_.erase(held_.begin(), held_.begin() + long(held_at_));
    held_at_ = 0;
    held_.insert(held_.begin(), p, p + n);
  }

  // Looks at the next segment's first bytes and picks its reader.
  bool start_segment() {
    uint8_t head[FRAME_MAGIC_BYTES];
    size_t have = 0;
    while (have < sizeof head) {
      const size_t n = raw(head + have, sizeof head - have);
      if (n == 0) break;
      have += n;
    }
    if (error_.failed()) return false;
    put_back(head, have);
    const bool first = segments_++ == 0;
    if (have == 0) {
      state_ = State::end;
      return false;
    }
    if (have >= 4 && starts_zstd_frame(head)) {
      if (!start_zstd()) return false;
      if (zstd_seen_ != nullptr) *zstd_seen_ = true;
      state_ = State::zstd;
      last_ = State::zstd;
    } else if (have == sizeof head && memcmp(head, FRAME_MAGIC, sizeof head) == 0) {
      frame_scan_start(scan_);
      state_ = State::frame;
      last_ = State::frame;
    } else if (first || last_ == State::frame) {
      // After a checked frame the codec says what is wrong with what follows.
      state_ = State::rest;
    } else {
      return fail("data after the end of a zstd frame is neither a zstd frame nor a checked frame");
    }
    return true;
  }

  // A checked frame, passed on as it is, up to its last byte.
  size_t read_frame(uint8_t* buf, size_t cap) {
    const size_t n = raw(buf, cap);
    if (n == 0) {
      // Cut short: the codec's own scanner says so.
      state_ = State::end;
      return 0;
    }
    size_t at = 0;
    while (at < n) {
      size_t taken = 0;
      const FrameEvent e = frame_scan(scan_, buf + at, n - at, taken);
      at += taken;
      if (e == FrameEvent::Trailer) {
        put_back(buf + at, n - at);
        state_ = State::segment;
        return at;
      }
      if (e == FrameEvent::Error) {
        // The codec refuses it with its own message; what follows goes to it unsplit.
        state_ = State::rest;
        return n;
      }
    }
    return n;
  }

  bool start_zstd() {
    if (dctx_ == nullptr) {
      dctx_ = ZSTD_createDCtx();
      if (dctx_ == nullptr) return fail("cannot allocate the zstd decoder");
      // Any window a zstd frame may ask for: the codec's own window goes up to 4 GiB anyway.
      ZSTD_DCtx_setParameter(dctx_, ZSTD_d_windowLogMax, ZSTD_dParam_getBounds(ZSTD_d_windowLogMax).upperBound);
      in_buf_.resize(ZSTD_DStreamInSize());
    }
    ZSTD_DCtx_reset(dctx_, ZSTD_reset_session_only);
    in_ = {in_buf_.data(), 0, 0};
    frame_done_ = false;
    return true;
  }

  // The content of zstd frames, one after another, checksums verified, up to
  // the first byte that does not begin another zstd frame.
  size_t read_zstd(uint8_t* buf, size_t cap) {
    ZSTD_outBuffer out{buf, cap, 0};
    while (out.pos < out.size) {
      if (frame_done_ && !next_is_zstd()) {
        if (error_.failed()) return out.pos;
        state_ = State::segment;
        return out.pos;
      }
      if (in_.pos == in_.size) {
        const size_t n = raw(in_buf_.data(), in_buf_.size());
        if (n == 0) {
          if (!error_.failed() && !frame_done_) fail("the zstd frame is cut short");
          if (!error_.failed()) state_ = State::end;
          return out.pos;
        }
        in_ = {in_buf_.data(), n, 0};
      }
      const size_t before_in = in_.pos;
      const size_t hint = ZSTD_decompressStream(dctx_, &out, &in_);
      if (ZSTD_isError(hint)) {
        fail_frame(hint);
        return out.pos;
      }
      if (hint == 0)
        frame_done_ = true;
      else if (in_.pos != before_in)
        frame_done_ = false;
    }
    return out.pos;
  }

  // Between zstd frames: whether another one follows (false at the end of the
  // input, or when other bytes follow: those are put back for the next segment).
  bool next_is_zstd() {
    while (in_.size - in_.pos < 4) {
      const size_t left = in_.size - in_.pos;
      memmove(in_buf_.data(), in_buf_.data() + in_.pos, left);
      const size_t n = raw(in_buf_.data() + left, in_buf_.size() - left);
      in_ = {in_buf_.data(), left + n, 0};
      if (n == 0) break;
    }
    const uint8_t* next = static_cast<const uint8_t*>(in_.src) + in_.pos;
    const size_t left = in_.size - in_.pos;
    if (left >= 4 && starts_zstd_frame(next)) {
      frame_done_ = false;
      return true;
    }
    put_back(next, left);
    in_.pos = in_.size;
    return false;
  }

  void fail_frame(size_t code) {
    if (ZSTD_getErrorCode(code) == ZSTD_error_checksum_wrong)
      fail("the zstd frame's checksum does not match: the data is damaged");
    else
      fail(std::string("damaged zstd frame: ") + ZSTD_getErrorName(code));
  }

  bool fail(const std::string& what) {
    error_ = {EXIT_BAD_STREAM, name_ + ": " + what};
    return false;
  }

  bool fail_from_inner() {
    error_ = inner_->error();
    return false;
  }

  std::unique_ptr<Source> inner_;
  std::string name_;
  bool* zstd_seen_;
  State state_ = State::segment;
  State last_ = State::end;  // the kind of the segment before this one
  uint64_t segments_ = 0;
  std::vector<uint8_t> held_;  // input read ahead for the next segment
  size_t held_at_ = 0;
  FrameScanner scan_;
  ZSTD_DCtx* dctx_ = nullptr;
  std::vector<uint8_t> in_buf_;
  ZSTD_inBuffer in_{nullptr, 0, 0};
  bool frame_done_ = false;
};

}  // namespace

std::unique_ptr<Sink> make_zstd_sink(std::unique_ptr<Sink> inner, int level, int workers, StreamError& err) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  if (cctx == nullptr) {
    err = {EXIT_NO_CODEC, "cannot allocate the zstd stage: out of memory"};
    return nullptr;
  }
  const size_t set_level = ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level);
  const size_t set_checksum = ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
  if (ZSTD_isError(set_level) || ZSTD_isError(set_checksum)) {
    err = {EXIT_REFUSED, std::string("zstd refused its settings: ") +
                                ZSTD_getErrorName(ZSTD_isError(set_level) ? set_level : set_checksum)};
    ZSTD_freeCCtx(cctx);
    return nullptr;
  }
  // A libzstd built without threads refuses this; it then compresses on the caller's thread.
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_nbWorkers, workers);
  return std::make_unique<ZstdSink>(cctx, std::move(inner));
}

std::unique_ptr<Source> make_unwrap_source(std::unique_ptr<Source> inner, std::string name, bool* zstd_seen) {
  return std::make_unique<UnwrapSource>(std::move(inner), std::move(name), zstd_seen);
}

}  // namespace cdedup::app
