// Paying the kernel's first-touch cost of a large block on a thread of its
// own.
//
// Every page of the chunk index and of the decoder's window is fresh memory
// that the kernel (and, on a virtual machine, the host) backs on first
// touch: measured here, from a tenth to more than a second for an index or
// window of a few hundred MiB, paid by whichever thread touches the page
// first.  A helper that populates the block ahead of use takes that cost off
// the thread that encodes or decodes in order.  It must not change what it
// touches, since that thread writes the same pages meanwhile: the kernel
// populates pages for writing without touching their contents
// (MADV_POPULATE_WRITE); where it cannot, the helper does nothing and pages
// fault in on use as before.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

namespace cdedup {

class Prefault {
 public:
  Prefault() = default;
  Prefault(const Prefault&) = delete;
  Prefault& operator=(const Prefault&) = delete;
  ~Prefault() { stop(); }

  // Starts populating [base, base + bytes) from its start, at most `lead`
  // bytes beyond what the user has reached (see reached()); stops any
  // earlier run first.  A lead of `bytes` or more populates it all at once,
  // for a block touched all over (the index); a smaller one keeps memory
  // that a short stream never reaches unclaimed (the window).
  void start(void* base, size_t bytes, size_t lead);
  // The user has touched the block up to `offset`; cheap, call it often.
  void reached(size_t offset);
  // Stops at the next piece and waits for the helper.
  void stop();

 private:
  void run(char* base, size_t bytes, size_t lead);

  std::atomic<size_t> reached_{0};
  std::atomic<size_t> wanted_{0};  // reached_ + lead, rounded to pieces: when the helper wakes
  std::mutex m_;
  std::condition_variable wake_;
  bool stopping_ = false;  // under m_
  std::thread thread_;
};

}  // namespace cdedup
