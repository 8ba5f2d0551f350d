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

// A pop on another thread: the id it got, or -1 once the queue let it go
// empty-handed. Returns once the pop has most likely begun to wait.
std::future<int> waiting_pop(sync_queue_t<mqtt_message_t>& queue) {
  std::atomic<bool> entered = false;
  auto popped = std::async(std::launch::async, [&queue, &entered] {
    mqtt_message_t out;
    entered = true;
    return queue.pop(out) ? std::get<0>(out) : -1;
  });
  while (!entered) std::this_thread::yield();
  std::this_thread::sleep_for(20ms);
  return popped;
}

}  // namespace

// Each producer's messages come out in its order. A waiting pop is released
// by a push, by stop and by the destructor; a stopped queue still hands out
// what it holds, and a failed pop leaves its argument alone.
TEST(SyncQueue, OrderPerProducerAndEveryWakeUp) {
  sync_queue_t<mqtt_message_t> queue;
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
  auto doomed = std::make_unique<sync_queue_t<mqtt_message_t>>();
  popped = waiting_pop(*doomed);
  doomed.reset();
  EXPECT_EQ(popped.get(), -1);
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
