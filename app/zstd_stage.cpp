// libzstd's streaming API on both sides.  Compression hands every block to
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

// Decides on the first four bytes: a stream that begins with a zstd magic
// number cannot be a bare encoded stream (its window field would exceed
// 4095 MiB), so there is no guessing.
class ZstdUnwrapSource final : public Source {
 public:
  ZstdUnwrapSource(std::unique_ptr<Source> inner, std::string name) : inner_(std::move(inner)), name_(std::move(name)) {}
  ~ZstdUnwrapSource() override { ZSTD_freeDCtx(dctx_); }
  ZstdUnwrapSource(const ZstdUnwrapSource&) = delete;
  ZstdUnwrapSource& operator=(const ZstdUnwrapSource&) = delete;

  size_t read(uint8_t* buf, size_t cap) override {
    if (error_.failed() || cap == 0) return 0;
    if (state_ == State::sniffing && !sniff()) return 0;
    if (state_ == State::plain) return read_plain(buf, cap);
    return read_frames(buf, cap);
  }

  uint64_t file_bytes() const override { return inner_->file_bytes(); }

  // Reads the first four bytes (fewer only at the end of a short input) and
  // decides; a failure shows on the next read.
  bool sniff() {
    while (head_len_ < 4) {
      const size_t n = inner_->read(head_ + head_len_, 4 - head_len_);
      if (n == 0) {
        if (inner_->error().failed()) return fail_from_inner();
        break;
      }
      head_len_ += n;
    }
    if (head_len_ == 4 && starts_zstd_frame(head_)) {
      dctx_ = ZSTD_createDCtx();
      if (dctx_ == nullptr) return fail("cannot allocate the zstd decoder");
      // Any window a zstd frame may ask for: the codec's own window goes up to 4 GiB anyway.
      ZSTD_DCtx_setParameter(dctx_, ZSTD_d_windowLogMax, ZSTD_dParam_getBounds(ZSTD_d_windowLogMax).upperBound);
      in_buf_.resize(ZSTD_DStreamInSize());
      memcpy(in_buf_.data(), head_, 4);
      in_ = {in_buf_.data(), 4, 0};
      state_ = State::zstd;
    } else {
      state_ = State::plain;
    }
    return true;
  }

  bool framed() const { return state_ == State::zstd; }

 private:
  enum class State { sniffing, plain, zstd };

  size_t read_plain(uint8_t* buf, size_t cap) {
    if (head_pos_ < head_len_) {
      const size_t n = std::min(cap, head_len_ - head_pos_);
      memcpy(buf, head_ + head_pos_, n);
      head_pos_ += n;
      return n;
    }
    const size_t n = inner_->read(buf, cap);
    if (n == 0 && inner_->error().failed()) fail_from_inner();
    return n;
  }

  // Fills `buf` as far as the frames go; a failure after some bytes shows on the next call.
  size_t read_frames(uint8_t* buf, size_t cap) {
    ZSTD_outBuffer out{buf, cap, 0};
    while (out.pos < out.size) {
      if (in_.pos == in_.size && !inner_end_) {
        const size_t n = inner_->read(in_buf_.data(), in_buf_.size());
        if (n == 0 && inner_->error().failed()) {
          fail_from_inner();
          return out.pos;
        }
        inner_end_ = n == 0;
        in_ = {in_buf_.data(), n, 0};
      }
      const size_t before_out = out.pos, before_in = in_.pos;
      const size_t hint = ZSTD_decompressStream(dctx_, &out, &in_);
      if (ZSTD_isError(hint)) {
        fail_frame(hint);
        return out.pos;
      }
      if (hint == 0) frame_done_ = true;
      else if (in_.pos != before_in) frame_done_ = false;
      // At the end of the input, a call that moves nothing means libzstd holds nothing more.
      if (inner_end_ && in_.pos == in_.size && out.pos == before_out) {
        if (!frame_done_) fail("the zstd frame is cut short");
        return out.pos;
      }
    }
    return out.pos;
  }

  void fail_frame(size_t code) {
    switch (ZSTD_getErrorCode(code)) {
      case ZSTD_error_checksum_wrong:
        fail("the zstd frame's checksum does not match: the data is damaged");
        break;
      case ZSTD_error_prefix_unknown:
        fail(frame_done_ ? "data after the end of the zstd frame is not a zstd frame"
                         : std::string("damaged zstd frame: ") + ZSTD_getErrorName(code));
        break;
      default:
        fail(std::string("damaged zstd frame: ") + ZSTD_getErrorName(code));
    }
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
  State state_ = State::sniffing;
  uint8_t head_[4] = {};
  size_t head_len_ = 0, head_pos_ = 0;
  ZSTD_DCtx* dctx_ = nullptr;
  std::vector<uint8_t> in_buf_;
  ZSTD_inBuffer in_{nullptr, 0, 0};
  bool inner_end_ = false;
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

std::unique_ptr<Source> make_zstd_unwrap_source(std::unique_ptr<Source> inner, std::string name, bool& framed) {
  auto source = std::make_unique<ZstdUnwrapSource>(std::move(inner), std::move(name));
  source->sniff();
  framed = source->framed();
  return source;
}

}  // namespace cdedup::app
