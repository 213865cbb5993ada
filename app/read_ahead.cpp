// A filling thread and a ring of a few large blocks (block_ring.h).  Blocks
// are lent to the reader in place, so the bytes are copied once, by the
// inner source into a block.  When the reader goes away while the filler
// is stuck in a read (a pipe whose writer stays silent after our output
// failed), the filler is left to finish on its own: it holds the ring and
// the inner source itself, and the process does not wait for it.
#include "app/read_ahead.h"

#include <atomic>
#include <cstring>
#include <thread>

#include "app/block_ring.h"

namespace cdedup::app {

namespace {

struct Shared {
  Shared(std::unique_ptr<Source> in, size_t blocks, size_t block_bytes)
      : inner(std::move(in)), ring(blocks, block_bytes) {}
  std::unique_ptr<Source> inner;
  BlockRing ring;
  std::atomic<uint64_t> file_bytes{0};
  std::atomic<bool> done{false};  // the filler has returned
  StreamError inner_error;        // written by the filler before ring.finish(), read after ring.drained()
};

void fill(const std::shared_ptr<Shared> sh) {
  const size_t cap = sh->ring.block_bytes();
  for (;;) {
    BlockRing::Block* b = sh->ring.acquire_empty();
    if (b == nullptr) break;  // the reader left
    size_t len = 0;
    while (len < cap) {
      const size_t n = sh->inner->read(b->data.get() + len, cap - len);
      if (n == 0) break;
      len += n;
    }
    sh->file_bytes.store(sh->inner->file_bytes(), std::memory_order_relaxed);
    const bool last = len < cap;
    if (last) sh->inner_error = sh->inner->error();
    if (len != 0) {
      b->len = len;
      sh->ring.publish(b);
    }
    if (last) {
      sh->ring.finish();
      break;
    }
  }
  sh->done.store(true, std::memory_order_release);
}

class ReadAheadSource final : public Source {
 public:
  ReadAheadSource(std::unique_ptr<Source> inner, size_t blocks, size_t block_bytes)
      : sh_(std::make_shared<Shared>(std::move(inner), blocks, block_bytes)) {
    filler_ = std::thread(fill, sh_);
  }

  ~ReadAheadSource() override {
    sh_->ring.close();
    if (sh_->done.load(std::memory_order_acquire))
      filler_.join();
    else
      filler_.detach();
  }

  ReadAheadSource(const ReadAheadSource&) = delete;
  ReadAheadSource& operator=(const ReadAheadSource&) = delete;

  // lend() and read() may take turns (a decoder that reads straight into a
  // block of its own some of the time): each goes on where the other left
  // the block it holds.
  size_t lend(const uint8_t*& data, uint8_t*, size_t) override {
    if (taken_ == held_len_ && !next_block()) return 0;
    data = held_->data.get() + taken_;
    const size_t n = held_len_ - taken_;
    taken_ = held_len_;
    return n;
  }

  size_t read(uint8_t* buf, size_t cap) override {
    if (cap == 0) return 0;
    if (taken_ == held_len_ && !next_block()) return 0;
    const size_t n = std::min(cap, held_len_ - taken_);
    std::memcpy(buf, held_->data.get() + taken_, n);
    taken_ += n;
    return n;
  }

  uint64_t file_bytes() const override { return sh_->file_bytes.load(std::memory_order_relaxed); }

  std::function<void()> interrupter() override {
    return [sh = sh_] { sh->ring.close(); };
  }

 private:
  std::shared_ptr<Shared> sh_;
  // The next full block in place of the one held; false at the end of the
  // input or on a failure (error_ set).
  bool next_block() {
    if (held_ != nullptr) {
      sh_->ring.release(held_);
      held_ = nullptr;
    }
    held_len_ = taken_ = 0;
    held_ = sh_->ring.acquire_full();
    if (held_ == nullptr) {
      // The filler's record of how the input ended is read only once the
      // ring says it finished; a ring closed before that (the run is
      // ending) leaves the filler free to write it at any moment.
      error_ = sh_->ring.drained() ? sh_->inner_error : interrupted_read();
      return false;
    }
    held_len_ = held_->len;
    return true;
  }

  std::thread filler_;
  BlockRing::Block* held_ = nullptr;  // the reader's until it has taken all of it
  size_t held_len_ = 0, taken_ = 0;   // bytes of held_, and those handed out so far
};

}  // namespace

std::unique_ptr<Source> make_read_ahead(std::unique_ptr<Source> inner, size_t blocks, size_t block_bytes) {
  return std::make_unique<ReadAheadSource>(std::move(inner), blocks, block_bytes);
}

}  // namespace cdedup::app
