// Populates a large block piece by piece on a helper thread; see prefault.h.
#include "codec/prefault.h"

#include <system_error>

#include "codec/large_block.h"

namespace cdedup {

namespace {

// Small enough that stop() waits little, large enough that a call is cheap.
constexpr size_t PIECE = size_t{4} << 20;

}  // namespace

void Prefault::start(void* base, size_t bytes) {
  stop();
  stopping_.store(false, std::memory_order_relaxed);
  try {
    thread_ = std::thread([this, base, bytes] { run(static_cast<char*>(base), bytes); });
  } catch (const std::system_error&) {
    // No helper: pages fault in on first use instead.
  }
}

void Prefault::stop() {
  if (!thread_.joinable()) return;
  stopping_.store(true, std::memory_order_relaxed);
  thread_.join();
}

void Prefault::run(char* base, size_t bytes) {
  for (size_t at = 0; at < bytes && !stopping_.load(std::memory_order_relaxed); at += PIECE) {
    if (!large_block_populate(base + at, bytes - at < PIECE ? bytes - at : PIECE)) return;
  }
}

}  // namespace cdedup
