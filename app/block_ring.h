// A ring of large blocks handed between two threads: one fills blocks, the
// other drains them.  A block belongs to the filler while it is empty and to
// the drainer from the moment it is published until it is released, so the
// bytes move without a lock; the lock covers only the counts.  Either side
// may close the ring: the other then stops waiting.
//
// The state lives behind a shared pointer that each thread holds, so a side
// that must leave while the other is stuck in a system call (a read from a
// pipe that stays silent) can do so without waiting for it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace cdedup::app {

class BlockRing {
 public:
  struct Block {
    std::unique_ptr<uint8_t[]> data;
    size_t len = 0;
    // No bytes but a mark in the stream: a checked frame ends here.
    bool frame_end = false;
    uint64_t frame_size = 0, frame_digest = 0;
  };

  BlockRing(size_t blocks, size_t block_bytes);
  size_t block_bytes() const { return block_bytes_; }
  size_t blocks() const { return ring_.size(); }

  // Filler: the next empty block, waiting for one; null once the ring is closed.
  Block* acquire_empty();
  // Filler: the block from acquire_empty() now holds `len` bytes for the drainer.
  void publish(Block* b);
  // Drainer: the oldest published block, waiting for one; null once none
  // is left and the filler has finished (or the ring is closed).
  Block* acquire_full();
  // Drainer, after acquire_full() gave null: true when that was the
  // filler's end (finished, every block drained), false when the ring was
  // closed before.  After true, what the filler wrote before finish() may be
  // read: the ring's lock orders the two.
  bool drained();
  // Drainer: the block from acquire_full() is empty again.
  void release(Block* b);
  // Filler: nothing more will be published.
  void finish();
  // Either side: stop; waiting calls on both sides return null from now on.
  void close();

 private:
  const size_t block_bytes_;
  std::vector<Block> ring_;
  std::mutex m_;
  std::condition_variable changed_;
  size_t head_ = 0;  // the oldest published block
  size_t full_ = 0;  // published blocks, those being drained included
  size_t tail_ = 0;  // the next block to fill
  bool finished_ = false, closed_ = false;
};

}  // namespace cdedup::app
