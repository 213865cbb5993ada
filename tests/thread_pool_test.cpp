// The worker pool: every task submitted runs exactly once and wait/drain
// return, however many workers there are and however small the queue, a
// queue that is full included.
#include "platform/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

namespace cdedup {
namespace {

struct Counted {
  PoolTask task;
  std::atomic<int> runs{0};
};

void count_run(void* arg) { static_cast<Counted*>(arg)->runs.fetch_add(1, std::memory_order_relaxed); }

TEST(ThreadPool, EveryTaskRunsOnceWhateverTheQueueRoom) {
  for (const unsigned workers : {0u, 1u, 3u}) {
    for (const size_t capacity : {size_t{1}, size_t{2}, size_t{5}}) {
      SCOPED_TRACE(::testing::Message() << workers << " workers, room for " << capacity);
      ThreadPool pool;
      ASSERT_EQ(pool.start(workers, capacity), workers);
      std::vector<std::unique_ptr<Counted>> tasks;
      for (int i = 0; i < 300; ++i) {
        tasks.push_back(std::make_unique<Counted>());
        Counted& t = *tasks.back();
        t.task.run = count_run;
        t.task.arg = &t;
        pool.submit(t.task);
        // Now and then wait for an earlier task, as the encoder does (without
        // workers, drain below runs everything).
        if (workers != 0 && i % 7 == 6) pool.wait(tasks[size_t(i) - 3]->task);
      }
      pool.drain();
      for (size_t i = 0; i < tasks.size(); ++i) {
        ASSERT_TRUE(tasks[i]->task.done.load()) << "task " << i;
        ASSERT_EQ(tasks[i]->runs.load(), 1) << "task " << i;
      }
      pool.stop();
    }
  }
}

}  // namespace
}  // namespace cdedup
