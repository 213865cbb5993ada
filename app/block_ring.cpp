// Counts under one mutex, bytes outside it; see block_ring.h.
#include "app/block_ring.h"

namespace cdedup::app {

BlockRing::BlockRing(size_t blocks, size_t block_bytes) : block_bytes_(block_bytes), ring_(blocks) {
  for (Block& b : ring_) b.data = std::make_unique<uint8_t[]>(block_bytes);
}

BlockRing::Block* BlockRing::acquire_empty() {
  std::unique_lock<std::mutex> lock(m_);
  changed_.wait(lock, [this] { return full_ < ring_.size() || closed_; });
  if (closed_) return nullptr;
  Block* b = &ring_[tail_];
  b->len = 0;
  return b;
}

void BlockRing::publish(Block* b) {
  std::lock_guard<std::mutex> lock(m_);
  (void)b;  // always ring_[tail_]: blocks are filled and drained in order
  tail_ = (tail_ + 1) % ring_.size();
  ++full_;
  changed_.notify_all();
}

BlockRing::Block* BlockRing::acquire_full() {
  std::unique_lock<std::mutex> lock(m_);
  changed_.wait(lock, [this] { return full_ > 0 || finished_ || closed_; });
  if (closed_ || full_ == 0) return nullptr;
  return &ring_[head_];
}

bool BlockRing::drained() {
  std::lock_guard<std::mutex> lock(m_);
  return finished_ && full_ == 0;
}

void BlockRing::release(Block* b) {
  std::lock_guard<std::mutex> lock(m_);
  (void)b;  // always ring_[head_]
  head_ = (head_ + 1) % ring_.size();
  --full_;
  changed_.notify_all();
}

void BlockRing::finish() {
  std::lock_guard<std::mutex> lock(m_);
  finished_ = true;
  changed_.notify_all();
}

void BlockRing::close() {
  std::lock_guard<std::mutex> lock(m_);
  closed_ = true;
  changed_.notify_all();
}

}  // namespace cdedup::app
