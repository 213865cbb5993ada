// Worker threads over one mutex-guarded ring of tasks; see thread_pool.h.
#include "platform/thread_pool.h"

#include <unistd.h>

#include <algorithm>
#include <system_error>

namespace cdedup {

unsigned resolve_threads(int32_t requested) {
  // A bound on what a count can ask for, well above any machine's cores;
  // each user of threads caps them again at what its work can use.
  constexpr long THREADS_MAX = 1024;
  const long n = requested == 0 ? sysconf(_SC_NPROCESSORS_ONLN) : requested;
  return static_cast<unsigned>(std::clamp<long>(n, 1, THREADS_MAX));
}

unsigned ThreadPool::start(unsigned count, size_t capacity) {
  stop();
  ring_.assign(capacity, nullptr);
  head_ = count_ = running_ = 0;
  stopping_ = false;
  threads_.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    try {
      threads_.emplace_back([this] { worker_loop(); });
    } catch (const std::system_error&) {
      break;  // fewer workers: slower, same result
    }
  }
  return workers();
}

void ThreadPool::stop() {
  drain();
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  work_.notify_all();
  for (std::thread& t : threads_) t.join();
  threads_.clear();
}

void ThreadPool::submit(PoolTask& t) {
  t.done.store(false, std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (count_ < ring_.size()) {
      ring_[(head_ + count_) % ring_.size()] = &t;
      ++count_;
      work_.notify_one();
      return;
    }
  }
  // No room: the caller runs it now.  Slower, but a queued task is never
  // overwritten, and nothing is allocated.
  t.run(t.arg);
  t.done.store(true, std::memory_order_release);
}

// Runs the oldest queued task with the lock released; false when none is queued.
bool ThreadPool::run_one(std::unique_lock<std::mutex>& lock) {
  if (count_ == 0) return false;
  PoolTask* t = ring_[head_];
  head_ = (head_ + 1) % ring_.size();
  --count_;
  ++running_;
  lock.unlock();
  t->run(t->arg);
  lock.lock();
  t->done.store(true, std::memory_order_release);
  --running_;
  idle_.notify_all();
  return true;
}

void ThreadPool::worker_loop() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (run_one(lock)) continue;
    if (stopping_) return;
    work_.wait(lock);
  }
}

void ThreadPool::wait(PoolTask& t) {
  if (t.done.load(std::memory_order_acquire)) return;
  std::unique_lock<std::mutex> lock(mu_);
  while (!t.done.load(std::memory_order_acquire)) {
    if (!run_one(lock)) idle_.wait(lock);
  }
}

void ThreadPool::drain() {
  std::unique_lock<std::mutex> lock(mu_);
  while (count_ != 0 || running_ != 0) {
    if (!run_one(lock)) idle_.wait(lock);
  }
}

}  // namespace cdedup
