// A ring of a few large blocks between one filling thread and one reader.
// A block belongs to the filler while it is empty and to the reader from
// the moment it is full until the reader has taken all of it, so the bytes
// themselves move without a lock; the lock covers only the counts.  Blocks
// of 256 KiB keep the hand-overs rare, and four of them let the filler run
// a megabyte ahead without holding much memory.
#include "app/read_ahead.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace cdedup::app {

namespace {

constexpr size_t BLOCKS = 4;
constexpr size_t BLOCK_BYTES = 256 * 1024;

class ReadAheadSource final : public Source {
 public:
  explicit ReadAheadSource(std::unique_ptr<Source> inner) : inner_(std::move(inner)), ring_(BLOCKS) {
    for (Block& b : ring_) b.data.resize(BLOCK_BYTES);
    filler_ = std::thread([this] { fill(); });
  }

  ~ReadAheadSource() override {
    {
      std::lock_guard<std::mutex> lock(m_);
      stop_ = true;
    }
    changed_.notify_all();
    filler_.join();
  }

  ReadAheadSource(const ReadAheadSource&) = delete;
  ReadAheadSource& operator=(const ReadAheadSource&) = delete;

  size_t read(uint8_t* buf, size_t cap) override {
    if (cap == 0) return 0;
    if (taken_ == held_len_ && !next_block()) return 0;
    const size_t n = std::min(cap, held_len_ - taken_);
    memcpy(buf, ring_[head_].data.data() + taken_, n);
    taken_ += n;
    return n;
  }

  uint64_t file_bytes() const override {
    std::lock_guard<std::mutex> lock(m_);
    return file_bytes_;
  }

 private:
  struct Block {
    std::vector<uint8_t> data;
    size_t len = 0;
  };

  // Gives the drained block back to the filler and waits for the next one;
  // false at the end of the input or on its failure (then in error_).
  bool next_block() {
    std::unique_lock<std::mutex> lock(m_);
    if (holding_) {
      holding_ = false;
      head_ = (head_ + 1) % BLOCKS;
      --full_;
      changed_.notify_all();
    }
    changed_.wait(lock, [this] { return full_ > 0 || finished_; });
    if (full_ == 0) {
      error_ = inner_error_;
      return false;
    }
    holding_ = true;
    held_len_ = ring_[head_].len;
    taken_ = 0;
    return true;
  }

  void fill() {
    size_t tail = 0;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(m_);
        changed_.wait(lock, [this] { return full_ < BLOCKS || stop_; });
        if (stop_) return;
      }
      // The block at `tail` is empty and no one else touches it until it is counted as full.
      Block& b = ring_[tail];
      size_t len = 0;
      while (len < BLOCK_BYTES) {
        const size_t n = inner_->read(b.data.data() + len, BLOCK_BYTES - len);
        if (n == 0) break;
        len += n;
      }
      std::lock_guard<std::mutex> lock(m_);
      file_bytes_ = inner_->file_bytes();
      if (len != 0) {
        b.len = len;
        tail = (tail + 1) % BLOCKS;
        ++full_;
      }
      if (len < BLOCK_BYTES) {
        finished_ = true;
        inner_error_ = inner_->error();
      }
      changed_.notify_all();
      if (finished_) return;
    }
  }

  std::unique_ptr<Source> inner_;
  std::vector<Block> ring_;
  mutable std::mutex m_;
  std::condition_variable changed_;
  // Under m_:
  size_t full_ = 0;         // full blocks, the one being read included
  bool finished_ = false;   // the filler has seen the end or a failure
  bool stop_ = false;
  StreamError inner_error_;
  uint64_t file_bytes_ = 0;
  // The reader's own:
  size_t head_ = 0;         // the block being read
  size_t held_len_ = 0;     // its length (0 before the first block)
  size_t taken_ = 0;        // bytes of it handed out
  bool holding_ = false;    // whether head_ is a full block being read
  std::thread filler_;
};

}  // namespace

std::unique_ptr<Source> make_read_ahead(std::unique_ptr<Source> inner) {
  return std::make_unique<ReadAheadSource>(std::move(inner));
}

}  // namespace cdedup::app
