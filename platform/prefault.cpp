// Populates a large block piece by piece on a helper thread, a bounded lead
// ahead of its user; see prefault.h.
#include "platform/prefault.h"

#include <system_error>

#include "platform/large_block.h"

namespace cdedup {

namespace {

// A huge page: small enough that stop() waits little and a lead stays
// close to its user, large enough that a call is cheap.
constexpr size_t PIECE = size_t{2} << 20;

}  // namespace

void Prefault::start(void* base, size_t bytes, size_t lead) {
  stop();
  stopping_ = false;
  reached_.store(0, std::memory_order_relaxed);
  wanted_.store(0, std::memory_order_relaxed);
  try {
    thread_ = std::thread([this, base, bytes, lead] { run(static_cast<char*>(base), bytes, lead); });
  } catch (const std::system_error&) {
    // No helper: pages fault in on first use instead.
  }
}

void Prefault::reached(size_t offset) {
  // Most calls change nothing the helper waits for.
  if (offset < wanted_.load(std::memory_order_relaxed)) return;
  {
    std::lock_guard<std::mutex> lock(m_);
    reached_.store(offset, std::memory_order_relaxed);
  }
  wake_.notify_one();
}

void Prefault::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(m_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void Prefault::run(char* base, size_t bytes, size_t lead) {
  size_t done = 0;
  while (done < bytes) {
    {
      std::unique_lock<std::mutex> lock(m_);
      // Wait while a lead is already populated; wake once the user gets
      // within a piece of the end of it.
      for (;;) {
        if (stopping_) return;
        const size_t r = reached_.load(std::memory_order_relaxed);
        if (lead >= bytes || done < r + lead) break;
        wanted_.store(done > PIECE ? done - PIECE : 0, std::memory_order_relaxed);
        wake_.wait(lock);
      }
    }
    const size_t n = bytes - done < PIECE ? bytes - done : PIECE;
    if (!large_block_populate(base + done, n)) return;
    done += n;
  }
}

}  // namespace cdedup
