#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

// A fixed set of worker threads taking tasks from one FIFO. The client runs
// one port per thread on it, a port its inbound worker and its poll tasks.
// Destruction waits for every queued and running task, then joins the
// threads, so whatever a task points at must outlive the pool.
class worker_pool_t {
 public:
  // At least one thread, whatever the count.
  explicit worker_pool_t(std::size_t thread_count) {
    thread_count = std::max<std::size_t>(thread_count, 1);
    threads.reserve(thread_count);
    for (std::size_t i = 0; i < thread_count; ++i) threads.emplace_back([this] { work(); });
  }

  worker_pool_t(const worker_pool_t&) = delete;
  worker_pool_t& operator=(const worker_pool_t&) = delete;

  ~worker_pool_t() {
    wait();
    {
      std::lock_guard lock(mutex);
      closing = true;
    }
    task_ready.notify_all();
    for (auto& thread : threads) thread.join();
  }

  // Runs the task on a worker; nobody waits for it. An exception leaving a
  // detached task is dropped there: it must not take the worker thread down.
  template <typename F>
  void detach_task(F&& task) {
    enqueue(std::function<void()>(std::forward<F>(task)));
  }

  // Runs the task on a worker; the future carries its value or its exception.
  template <typename F, typename R = std::invoke_result_t<std::decay_t<F>>>
  std::future<R> submit_task(F&& task) {
    auto packaged = std::make_shared<std::packaged_task<R()>>(std::forward<F>(task));
    auto result = packaged->get_future();
    enqueue([packaged] { (*packaged)(); });
    return result;
  }

  // Blocks until no task is queued or running.
  void wait() {
    std::unique_lock lock(mutex);
    all_idle.wait(lock, [this] { return tasks.empty() && running == 0; });
  }

 private:
  void enqueue(std::function<void()> task) {
    {
      std::lock_guard lock(mutex);
      tasks.push_back(std::move(task));
    }
    task_ready.notify_one();
  }

  void work() {
    std::unique_lock lock(mutex);
    for (;;) {
      task_ready.wait(lock, [this] { return closing || !tasks.empty(); });
      if (tasks.empty()) return;  // closing, and nothing left to run
      auto task = std::move(tasks.front());
      tasks.pop_front();
      ++running;
      lock.unlock();
      try {
        task();
      } catch (...) {
      }
      // Destroy the callable before reporting idle: its captures may hold
      // resources that the waiter is about to release.
      task = nullptr;
      lock.lock();
      --running;
      if (tasks.empty() && running == 0) all_idle.notify_all();
    }
  }

  std::mutex mutex;
  std::condition_variable task_ready;
  std::condition_variable all_idle;
  std::deque<std::function<void()>> tasks;
  std::size_t running = 0;
  bool closing = false;
  std::vector<std::thread> threads;
};
