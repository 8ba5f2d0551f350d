#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <limits>
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

// What both blocking containers hold: the elements, their lock, the wake-ups
// and the count of threads waiting inside them. Destroying one releases every
// waiter first and waits until they have left, so it must never run on such
// a thread.
template <typename T>
class sync_container_t {
 public:
  sync_container_t() = default;
  sync_container_t(const sync_container_t&) = delete;
  sync_container_t& operator=(const sync_container_t&) = delete;

  ~sync_container_t() {
    std::unique_lock lock(mutex);
    stopped = true;
    not_empty.notify_all();
    idle.wait(lock, [this] { return waiters == 0; });
  }

 protected:
  std::deque<T> items;
  std::mutex mutex;
  std::condition_variable not_empty;
  std::condition_variable idle;
  bool stopped = false;
  int32_t waiters = 0;
};

enum class push_result_t { pushed, full, stopped };

// Blocking FIFO between threads. Consumers sleep until a push; a stopped
// queue still hands out what it holds and only then reports false.
//
// A push wakes a consumer only when one is waiting, and only after the lock
// is released: woken under the lock, the consumer would run straight into
// the held mutex and sleep again, and a consumer busy with the previous
// element needs no wake-up at all. Waking after the unlock is safe because
// every producer holds a share of the queue (or is its owner), so the queue
// cannot be destroyed between the unlock and the wake-up.
template <typename T>
class sync_queue_t : public sync_container_t<T> {
  using base = sync_container_t<T>;

 public:
  // Without a capacity the queue grows as long as memory lasts.
  explicit sync_queue_t(std::size_t capacity = std::numeric_limits<std::size_t>::max()) : capacity(capacity) {}

  // Appends. At capacity the oldest element makes room and is counted as
  // dropped: a consumer that cannot keep up loses the stalest items, and
  // the queue's memory stays bounded.
  void push(T&& item) {
    bool wake = false;
    {
      std::lock_guard lock(base::mutex);
      if (base::items.size() >= capacity) {
        base::items.pop_front();
        dropped.fetch_add(1, std::memory_order_relaxed);
      }
      base::items.push_back(std::move(item));
      wake = base::waiters > 0;
    }
    if (wake) base::not_empty.notify_one();
  }

  // Appends only while the queue runs and has room: a producer that outruns
  // its consumer, or feeds a consumer that has stopped, is refused instead
  // of pushing out what waits already. A refused item is left untouched.
  push_result_t try_push(T&& item) {
    bool wake = false;
    {
      std::lock_guard lock(base::mutex);
      if (base::stopped) return push_result_t::stopped;
      if (base::items.size() >= capacity) return push_result_t::full;
      base::items.push_back(std::move(item));
      wake = base::waiters > 0;
    }
    if (wake) base::not_empty.notify_one();
    return push_result_t::pushed;
  }

  bool pop(T& out) {
    std::unique_lock lock(base::mutex);
    ++base::waiters;
    for (;;) {
      if (!base::items.empty()) {
        out = std::move(base::items.front());
        base::items.pop_front();
        leave();
        return true;
      }
      if (base::stopped) {
        leave();
        return false;
      }
      base::not_empty.wait(lock);
    }
  }

  // Releases every waiter without destroying the queue; does not wait.
  void stop() {
    std::lock_guard lock(base::mutex);
    base::stopped = true;
    base::not_empty.notify_all();
  }

  // Whether push has dropped anything since the last take; read without the
  // lock, so a consumer can ask at every turn for nothing.
  bool has_dropped() const { return dropped.load(std::memory_order_relaxed) != 0; }

  // The count of elements dropped since the last take, and a fresh count.
  // With `only_when_drained` the count is taken only from an empty queue
  // (0 otherwise): the consumer has caught up, and one report covers the
  // whole stretch in which it could not.
  std::size_t take_dropped(bool only_when_drained) {
    std::lock_guard lock(base::mutex);
    if (only_when_drained && !base::items.empty()) return 0;
    return dropped.exchange(0, std::memory_order_relaxed);
  }

 private:
  void leave() {
    if (--base::waiters == 0) base::idle.notify_one();
  }

  const std::size_t capacity;
  // Changed under the lock only.
  std::atomic<std::size_t> dropped{0};
};

// The pop of a consumer loop that ends on a stop flag of its own: waits on
// the queue and, while the queue is stopped but the flag is not yet set, on
// the loop's own condition variable until the flag is set. The loop's own
// lock is taken only for that wait, never while the queue is waited on: who
// takes it to wake the loop must not wait for the next element. Whoever sets
// the flag notifies the condition variable under that lock. False once the
// flag is set and no element came.
template <typename T>
bool pop_unless_stopped(sync_queue_t<T>& queue, T& out, std::condition_variable& own_cv, std::mutex& own_mutex,
                        const std::atomic<bool>& stop) {
  bool popped = queue.pop(out);
  while (!popped && !stop) {
    {
      std::unique_lock lock(own_mutex);
      own_cv.wait(lock, [&stop] { return stop.load(); });
    }
    popped = queue.pop(out);
  }
  return popped;
}

// A port's poll list: filled at the back each cycle, jumped at the front by
// re-reads after a write, drained from the front without waiting.
template <typename T>
class sync_deque_t : public sync_container_t<T> {
  using base = sync_container_t<T>;

 public:
  void push_back(T item) {
    std::lock_guard lock(base::mutex);
    base::items.push_back(std::move(item));
    base::not_empty.notify_one();
  }

  void push_front(T item) {
    std::lock_guard lock(base::mutex);
    base::items.push_front(std::move(item));
    base::not_empty.notify_one();
  }

  // Puts the items, in their order, in front of everything queued, in one
  // step: a consumer never takes one of them before the others are in.
  void push_front(const std::vector<T>& batch) {
    std::lock_guard lock(base::mutex);
    base::items.insert(base::items.begin(), batch.begin(), batch.end());
    base::not_empty.notify_one();
  }

  bool pop_front(T& out) {
    std::lock_guard lock(base::mutex);
    if (base::items.empty()) return false;
    out = base::items.front();
    base::items.pop_front();
    return true;
  }

  std::size_t size() {
    std::lock_guard lock(base::mutex);
    return base::items.size();
  }
};
