#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "core/worker_pool.hpp"

using namespace std::chrono_literals;

TEST(WorkerPool, NeverWithoutAThread) { EXPECT_EQ(worker_pool_t(0).submit_task([] { return 7; }).get(), 7); }

TEST(WorkerPool, FuturesCarryValuesAndExceptionsAndWaitReturnsWhenIdle) {
  worker_pool_t pool(2);
  auto value = pool.submit_task([] { return 42; });
  auto failure = pool.submit_task([]() -> double { throw std::runtime_error("poll failed"); });
  EXPECT_EQ(value.get(), 42);
  try {
    failure.get();
    FAIL() << "the exception must reach the future";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "poll failed");
  }
  std::atomic<int> done{0};
  for (int i = 0; i < 10; ++i) pool.detach_task([&] {
      std::this_thread::sleep_for(1ms);
      ++done;
    });
  pool.wait();
  EXPECT_EQ(done, 10);
  pool.wait();  // an idle pool returns at once
}

TEST(WorkerPool, DestructionWaitsForDetachedTasksOnAllThreads) {
  std::atomic<int> done{0};
  std::mutex mutex;
  std::set<std::thread::id> threads_used;
  {
    worker_pool_t pool(4);
    // Four tasks that each wait for all four to have started prove they run at once.
    std::atomic<int> started{0};
    for (int i = 0; i < 4; ++i) {
      pool.detach_task([&] {
        ++started;
        while (started < 4) std::this_thread::yield();
        {
          std::lock_guard lock(mutex);
          threads_used.insert(std::this_thread::get_id());
        }
        std::this_thread::sleep_for(20ms);
        ++done;
      });
    }
    // A throwing detached task must not take its thread down.
    pool.detach_task([] { throw std::runtime_error("ignored"); });
    for (int i = 0; i < 100; ++i) pool.detach_task([&] { ++done; });
  }
  EXPECT_EQ(done, 104);
  EXPECT_EQ(threads_used.size(), 4u);
}
