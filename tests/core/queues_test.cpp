#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "core/sync_queue.hpp"

using namespace std::chrono_literals;

namespace {

mqtt_message_t message(int id) { return {id, "/t/" + std::to_string(id), {uint8_t(id)}, 0, true}; }

// A queue that tells how many threads wait inside its pop.
struct observed_queue_t : sync_queue_t<mqtt_message_t> {
  int32_t waiting() {
    std::lock_guard lock(mutex);
    return waiters;
  }
};

// A pop on another thread: the id it got, or -1 once the queue let it go
// empty-handed. Returns once the pop waits: the waiter count goes up under
// the lock that the wait then releases.
std::future<int> waiting_pop(observed_queue_t& queue) {
  auto popped = std::async(std::launch::async, [&queue] {
    mqtt_message_t out;
    return queue.pop(out) ? std::get<0>(out) : -1;
  });
  while (queue.waiting() == 0) std::this_thread::yield();
  return popped;
}

}  // namespace

// Each producer's messages come out in its order. A waiting pop is released
// by a push, by stop and by the destructor; a stopped queue still hands out
// what it holds, and a failed pop leaves its argument alone.
TEST(SyncQueue, OrderPerProducerAndEveryWakeUp) {
  observed_queue_t queue;
  std::thread producer([&] {
    for (int id = 1000; id < 1500; ++id) queue.push(message(id));
  });
  std::vector<int> popped_ids;
  for (int id = 0; id < 500; ++id) queue.push(message(id));
  mqtt_message_t out;
  while (popped_ids.size() < 1000 && queue.pop(out)) popped_ids.push_back(std::get<0>(out));
  producer.join();
  std::stable_partition(popped_ids.begin(), popped_ids.end(), [](int id) { return id < 1000; });
  for (int n = 0; n < 1000; ++n) ASSERT_EQ(popped_ids[n], n < 500 ? n : n + 500) << "out of order within one producer";

  auto popped = waiting_pop(queue);
  queue.push(message(7));
  EXPECT_EQ(popped.get(), 7);
  popped = waiting_pop(queue);
  queue.stop();
  EXPECT_EQ(popped.get(), -1);
  queue.push(message(2));
  EXPECT_TRUE(queue.pop(out) && std::get<0>(out) == 2);
  EXPECT_FALSE(queue.pop(out));
  EXPECT_EQ(std::get<0>(out), 2);
  auto doomed = std::make_unique<observed_queue_t>();
  popped = waiting_pop(*doomed);
  doomed.reset();
  EXPECT_EQ(popped.get(), -1);
}

// Past its capacity a push drops the oldest element and counts it; the count
// is taken whole, or only from a drained queue.
TEST(SyncQueue, CapacityDropsTheOldestAndCountsIt) {
  const struct {
    std::size_t capacity;
    int pushes;
    std::vector<int> kept;
  } cases[] = {{3, 3, {0, 1, 2}}, {3, 5, {2, 3, 4}}, {1, 4, {3}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pushes);
    sync_queue_t<mqtt_message_t> queue(c.capacity);
    for (int id = 0; id < c.pushes; ++id) queue.push(message(id));
    const std::size_t dropped = c.pushes - c.kept.size();
    EXPECT_EQ(queue.has_dropped(), dropped > 0);
    EXPECT_EQ(queue.take_dropped(true), 0u) << "not drained yet";
    std::vector<int> kept;
    mqtt_message_t out;
    while (kept.size() < c.kept.size() && queue.pop(out)) kept.push_back(std::get<0>(out));
    EXPECT_EQ(kept, c.kept);
    EXPECT_EQ(queue.take_dropped(true), dropped);
    EXPECT_FALSE(queue.has_dropped());
  }
}

// Several consumers sleeping at once: a push wakes one of them for every
// element, so none is left behind while a consumer sleeps.
TEST(SyncQueue, EveryPushReachesASleepingConsumer) {
  sync_queue_t<mqtt_message_t> queue;
  constexpr int consumers = 4;
  constexpr int per_consumer = 2000;
  std::atomic<int> taken = 0;
  std::vector<std::future<void>> popping;
  for (int c = 0; c < consumers; ++c) {
    popping.push_back(std::async(std::launch::async, [&] {
      mqtt_message_t out;
      for (int i = 0; i < per_consumer && queue.pop(out); ++i) ++taken;
    }));
  }
  std::vector<std::thread> producers;
  for (int p = 0; p < 2; ++p) {
    producers.emplace_back([&] {
      for (int i = 0; i < consumers * per_consumer / 2; ++i) {
        queue.push(message(i));
        if (i % 64 == 0) std::this_thread::yield();
      }
    });
  }
  for (auto& producer : producers) producer.join();
  int stuck = 0;
  for (auto& consumer : popping) {
    if (consumer.wait_for(10s) == std::future_status::ready) continue;
    ++stuck;
    queue.stop();
  }
  EXPECT_EQ(stuck, 0) << "a sleeping consumer missed its wake-up";
  EXPECT_EQ(taken, consumers * per_consumer);
}

// Re-reads jump the queue at the front, in their own order; a pop never waits.
TEST(SyncDeque, FrontJumpsAndConcurrentUse) {
  sync_deque_t<poll_entry_t> poll_list;
  poll_entry_t out{0, 0};
  EXPECT_FALSE(poll_list.pop_front(out));
  poll_list.push_back({1, 10});
  poll_list.push_back({1, 11});
  poll_list.push_front(poll_entry_t{2, 20});
  poll_list.push_front(std::vector<poll_entry_t>{{3, 30}, {3, 31}});
  std::vector<poll_entry_t> order;
  while (poll_list.pop_front(out)) order.push_back(out);
  EXPECT_EQ(order, (std::vector<poll_entry_t>{{3, 30}, {3, 31}, {2, 20}, {1, 10}, {1, 11}}));

  std::atomic<bool> done = false;
  std::set<int64_t> seen;
  std::thread drainer([&] {
    for (poll_entry_t entry; !done || poll_list.size() > 0;) {
      if (poll_list.pop_front(entry)) seen.insert(entry.second);
    }
  });
  std::vector<std::thread> producers;
  for (int p = 0; p < 3; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < 300; ++i) i % 2 ? poll_list.push_back({p, p * 1000 + i}) : poll_list.push_front(poll_entry_t{p, p * 1000 + i});
    });
  }
  for (auto& producer : producers) producer.join();
  done = true;
  drainer.join();
  EXPECT_EQ(seen.size(), 900u);
}
