// A writing thread and a ring of a few large blocks (block_ring.h).  The
// first failure of the inner sink closes the ring, which wakes the pump if
// it waits for a block, so neither side can wait for the other forever.
#include "app/write_behind.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <thread>

#include "app/block_ring.h"
#include "app/exit_status.h"

namespace cdedup::app {

namespace {

class WriteBehindSink final : public Sink {
 public:
  WriteBehindSink(std::unique_ptr<Sink> inner, size_t blocks, size_t block_bytes, std::function<void()> on_failure)
      : inner_(std::move(inner)), ring_(blocks, block_bytes), on_failure_(std::move(on_failure)) {
    writer_ = std::thread([this] { drain(); });
  }

  ~WriteBehindSink() override { stop_writer(); }

  WriteBehindSink(const WriteBehindSink&) = delete;
  WriteBehindSink& operator=(const WriteBehindSink&) = delete;

  bool lends_buffers() const override { return true; }

  uint8_t* borrow(size_t& cap) override {
    cap = 0;
    if (lent_ == nullptr) lent_ = ring_.acquire_empty();
    if (lent_ == nullptr) {
      fail();
      return nullptr;
    }
    cap = ring_.block_bytes();
    return lent_->data.get();
  }

  bool give_back(uint8_t* buf, size_t n) override {
    if (lent_ == nullptr || buf != lent_->data.get()) {
      fail();
      return false;
    }
    if (n == 0) return true;  // the block stays lent, empty
    lent_->len = n;
    ring_.publish(lent_);
    lent_ = nullptr;
    return true;
  }

  // The mark travels through the ring, so that the frame ends after exactly the bytes before it.
  bool end_frame(uint64_t size, uint64_t digest) override {
    BlockRing::Block* b = lent_ != nullptr ? lent_ : ring_.acquire_empty();
    lent_ = nullptr;
    if (b == nullptr) {
      fail();
      return false;
    }
    b->len = 0;
    b->frame_end = true;
    b->frame_size = size;
    b->frame_digest = digest;
    ring_.publish(b);
    return true;
  }

  bool write(const uint8_t* data, size_t n) override {
    while (n != 0) {
      size_t cap;
      uint8_t* buf = borrow(cap);
      if (buf == nullptr) return false;
      const size_t k = std::min(cap, n);
      std::memcpy(buf, data, k);
      if (!give_back(buf, k)) return false;
      data += k;
      n -= k;
    }
    return true;
  }

  bool close() override {
    stop_writer();
    const bool closed = inner_->close();
    if (!error_.failed() && !closed) error_ = inner_->error();
    return !error_.failed();
  }

  // Every block of the ring may be handed over and not yet written.
  uint64_t max_unwritten() const override {
    return uint64_t{ring_.blocks()} * ring_.block_bytes() + inner_->max_unwritten();
  }

  uint64_t file_bytes() const override {
    std::lock_guard<std::mutex> lock(m_);
    return written_;
  }

 private:
  void drain() {
    while (BlockRing::Block* b = ring_.acquire_full()) {
      const bool ok = b->frame_end ? inner_->end_frame(b->frame_size, b->frame_digest)
                                   : inner_->write(b->data.get(), b->len);
      b->frame_end = false;
      {
        std::lock_guard<std::mutex> lock(m_);
        written_ = inner_->file_bytes();
        if (!ok) inner_failed_ = true;
      }
      ring_.release(b);
      if (!ok) {
        ring_.close();  // wakes a pump waiting for a block
        if (on_failure_) on_failure_();  // and one waiting for input
        return;
      }
    }
  }

  // Everything published is written (or the writer failed) once this returns.
  void stop_writer() {
    if (!writer_.joinable()) return;
    ring_.finish();
    writer_.join();
    take_failure();
  }

  // The writer stopped on a failure (or the pump misused a block).
  void fail() {
    stop_writer();
    if (!error_.failed()) error_ = {EXIT_IO, "cannot write the output: the writing thread stopped"};
  }

  void take_failure() {
    std::lock_guard<std::mutex> lock(m_);
    if (inner_failed_ && !error_.failed()) error_ = inner_->error();
  }

  std::unique_ptr<Sink> inner_;
  BlockRing ring_;
  std::function<void()> on_failure_;
  std::thread writer_;
  BlockRing::Block* lent_ = nullptr;
  mutable std::mutex m_;
  uint64_t written_ = 0;       // under m_
  bool inner_failed_ = false;  // under m_
};

}  // namespace

std::unique_ptr<Sink> make_write_behind(std::unique_ptr<Sink> inner, size_t blocks, size_t block_bytes,
                                        std::function<void()> on_failure) {
  return std::make_unique<WriteBehindSink>(std::move(inner), blocks, block_bytes, std::move(on_failure));
}

}  // namespace cdedup::app
