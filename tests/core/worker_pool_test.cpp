#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "core/worker_pool.hpp"

using namespace std::chrono_literals;

// A pool is never without a thread. Futures carry values and exceptions; an
// exception leaving a detached task does not take its thread down; wait()
// and the destructor return once every task ran, and tasks that wait for each
// other show that the threads run at once.
TEST(WorkerPool, RunsEveryTaskOnAllItsThreads) {
  EXPECT_EQ(worker_pool_t(0).submit_task([] { return 7; }).get(), 7);
  std::atomic<int> done{0}, started{0};
  std::mutex mutex;
  std::set<std::thread::id> threads_used;
  {
    worker_pool_t pool(4);
    auto value = pool.submit_task([] { return 42; });
    auto failure = pool.submit_task([]() -> double { throw std::runtime_error("poll failed"); });
    EXPECT_EQ(value.get(), 42);
    EXPECT_THROW(failure.get(), std::runtime_error);
    pool.detach_task([] { throw std::runtime_error("ignored"); });
    for (int i = 0; i < 4; ++i) {
      pool.detach_task([&] {
        ++started;
        while (started < 4) std::this_thread::yield();
        std::lock_guard lock(mutex);
        threads_used.insert(std::this_thread::get_id());
      });
    }
    pool.wait();
    EXPECT_EQ(threads_used.size(), 4u);
    for (int i = 0; i < 100; ++i) {
      pool.detach_task([&] {
        std::this_thread::sleep_for(100us);
        ++done;
      });
    }
  }
  EXPECT_EQ(done, 100);
}
