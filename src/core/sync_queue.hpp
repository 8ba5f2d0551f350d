#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

using modbus_vector_t = std::vector<uint8_t>;

// One MQTT message in transit: message id, topic, payload, QoS, retain.
using mqtt_message_t = std::tuple<int32_t, std::string, modbus_vector_t, int32_t, bool>;

// A poll-list entry: device id and channel id.
using poll_entry_t = std::pair<int64_t, int64_t>;

// Blocking FIFO between threads. Consumers sleep until a push; a stopped
// queue still hands out what it holds and only then reports false. The
// destructor waits for every thread inside pop() to leave, so it must never
// run on such a thread.
template <typename T>
class sync_queue_t {
 public:
  sync_queue_t() = default;
  sync_queue_t(const sync_queue_t&) = delete;
  sync_queue_t& operator=(const sync_queue_t&) = delete;

  ~sync_queue_t() {
    std::unique_lock lock(mutex);
    stopped = true;
    not_empty.notify_all();
    idle.wait(lock, [this] { return waiters == 0; });
  }

  void push(T&& item) {
    std::lock_guard lock(mutex);
    items.push_back(std::move(item));
    not_empty.notify_one();
  }

  bool pop(T& out) {
    std::unique_lock lock(mutex);
    ++waiters;
    for (;;) {
      if (!items.empty()) {
        out = std::move(items.front());
        items.pop_front();
        leave();
        return true;
      }
      if (stopped) {
        leave();
        return false;
      }
      not_empty.wait(lock);
    }
  }

  // Releases every waiter without destroying the queue; does not wait.
  void stop() {
    std::lock_guard lock(mutex);
    stopped = true;
    not_empty.notify_all();
  }

 private:
  void leave() {
    if (--waiters == 0) idle.notify_one();
  }

  std::deque<T> items;
  std::mutex mutex;
  std::condition_variable not_empty;
  std::condition_variable idle;
  bool stopped = false;
  int32_t waiters = 0;
};

// A port's poll list: filled at the back each cycle, jumped at the front by
// re-reads after a write, drained from the front without waiting.
template <typename T>
class sync_deque_t {
 public:
  sync_deque_t() = default;
  sync_deque_t(const sync_deque_t&) = delete;
  sync_deque_t& operator=(const sync_deque_t&) = delete;

  ~sync_deque_t() {
    std::unique_lock lock(mutex);
    stopped = true;
    not_empty.notify_all();
    idle.wait(lock, [this] { return waiters == 0; });
  }

  void push_back(T item) {
    std::lock_guard lock(mutex);
    items.push_back(std::move(item));
    not_empty.notify_one();
  }

  void push_front(T item) {
    std::lock_guard lock(mutex);
    items.push_front(std::move(item));
    not_empty.notify_one();
  }

  bool pop_front(T& out) {
    std::lock_guard lock(mutex);
    if (items.empty()) return false;
    out = items.front();
    items.pop_front();
    return true;
  }

  std::size_t size() {
    std::lock_guard lock(mutex);
    return items.size();
  }

 private:
  std::deque<T> items;
  std::mutex mutex;
  std::condition_variable not_empty;
  std::condition_variable idle;
  bool stopped = false;
  int32_t waiters = 0;
};
