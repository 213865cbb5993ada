// A fixed set of worker threads and one queue of small tasks.
//
// The encoder's parallel work comes in tasks of a few hundred microseconds
// (one segment of input each), a few thousand per gigabyte, so a plain queue
// under one mutex costs nothing measurable; work stealing would buy nothing.
// The thread that waits for a task runs queued tasks itself meanwhile, so a
// pool of N - 1 workers keeps N threads busy and waiting never deadlocks.
// The queue is a ring of fixed size, allocated when the pool starts: nothing
// is allocated while a stream runs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace cdedup {

// Threads in all (the caller's included) for a requested count: 0 means one
// per online CPU, anything below 1 is 1, and no count is above 1024.  The
// one place that counts CPUs.
unsigned resolve_threads(int32_t requested);

// Something to run once.  `done` is set (release) after run() returns.
struct PoolTask {
  void (*run)(void* arg) = nullptr;
  void* arg = nullptr;
  std::atomic<bool> done{true};
};

class ThreadPool {
 public:
  ThreadPool() = default;
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;
  ~ThreadPool() { stop(); }

  // Starts `count` threads with room for `capacity` queued tasks.  Returns
  // the number actually started: the system may refuse some, which only
  // costs speed (the waiting thread runs whatever is queued).
  unsigned start(unsigned count, size_t capacity);
  // Runs or waits out every queued task, then joins the workers.
  void stop();
  unsigned workers() const { return static_cast<unsigned>(threads_.size()); }

  // Queues a task; the caller keeps it alive until it is done.  When the
  // queue is full the task runs at once on the calling thread.
  void submit(PoolTask& t);
  // Returns once t is done, running queued tasks on this thread meanwhile.
  void wait(PoolTask& t);
  // Returns once every queued or running task is done.
  void drain();

 private:
  void worker_loop();
  bool run_one(std::unique_lock<std::mutex>& lock);

  std::mutex mu_;
  std::condition_variable work_;  // a task was queued, or the pool stops
  std::condition_variable idle_;  // a task finished
  std::vector<PoolTask*> ring_;
  size_t head_ = 0, count_ = 0;
  size_t running_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace cdedup
