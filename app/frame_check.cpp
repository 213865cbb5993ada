#include "app/frame_check.h"

#include <cinttypes>
#include <cstdio>

#include "app/exit_status.h"
#include "codec/frame_walk.h"

namespace cdedup::app {

namespace {

class FrameCheckSink final : public Sink {
 public:
  FrameCheckSink(std::unique_ptr<Sink> inner, std::string name) : inner_(std::move(inner)), name_(std::move(name)) {
    stream_hash_reset(hash_);
  }

  bool write(const uint8_t* data, size_t n) override {
    stream_hash_update(hash_, data, n);
    bytes_ += n;
    if (inner_->write(data, n)) return true;
    error_ = inner_->error();
    return false;
  }

  bool end_frame(uint64_t size, uint64_t digest) override {
    const uint64_t got = stream_hash_digest(hash_);
    ++frames_;
    if (bytes_ != size || got != digest) {
      char what[160];
      std::snprintf(what, sizeof what,
                    "checked frame %" PRIu64 ": the decoded bytes do not match its checksum (%016" PRIx64
                    " where the frame says %016" PRIx64 "): the stream is damaged",
                    frames_, got, digest);
      error_ = {EXIT_BAD_STREAM, name_ + ": " + what};
      return false;
    }
    stream_hash_reset(hash_);
    bytes_ = 0;
    return inner_->end_frame(size, digest);
  }

  bool close() override {
    const bool closed = inner_->close();
    if (!error_.failed() && !closed) error_ = inner_->error();
    return !error_.failed();
  }

  uint64_t file_bytes() const override { return inner_->file_bytes(); }
  uint64_t max_unwritten() const override { return inner_->max_unwritten(); }

 private:
  std::unique_ptr<Sink> inner_;
  std::string name_;
  StreamHash hash_;
  uint64_t bytes_ = 0;
  uint64_t frames_ = 0;
};

}  // namespace

std::unique_ptr<Sink> make_frame_check(std::unique_ptr<Sink> inner, std::string name) {
  return std::make_unique<FrameCheckSink>(std::move(inner), std::move(name));
}

}  // namespace cdedup::app
