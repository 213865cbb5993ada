// Paying the kernel's first-touch cost of a large block on a thread of its
// own.
//
// Every page of the chunk index is fresh memory that the kernel (and, on a
// virtual machine, the host) backs on first touch: measured here, a quarter
// of a second or more for the default index, paid by whichever thread
// touches the page first.  With other threads working anyway, a helper that
// populates the block ahead of use takes that cost off the thread that
// decides chunks in order.  It must not change what it touches, since the
// encoder writes the same pages meanwhile: the kernel populates pages for
// writing without touching their contents (MADV_POPULATE_WRITE); where it
// cannot, the helper does nothing and pages fault in on use as before.
#pragma once

#include <atomic>
#include <cstddef>
#include <thread>

namespace cdedup {

class Prefault {
 public:
  Prefault() = default;
  Prefault(const Prefault&) = delete;
  Prefault& operator=(const Prefault&) = delete;
  ~Prefault() { stop(); }

  // Starts populating [base, base + bytes) from its start; stops any earlier run first.
  void start(void* base, size_t bytes);
  // Stops at the next piece and waits for the helper.
  void stop();

 private:
  void run(char* base, size_t bytes);

  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace cdedup
