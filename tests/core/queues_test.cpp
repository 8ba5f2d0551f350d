#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "core/sync_queue.hpp"

using namespace std::chrono_literals;

namespace {

mqtt_message_t message(int id) { return {id, "/t/" + std::to_string(id), {uint8_t(id)}, 0, true}; }

// A pop on another thread: the id it got, or -1 once the queue let it go empty-handed.
std::future<int> pop_on_thread(sync_queue_t<mqtt_message_t>& queue, std::atomic<bool>& entered) {
  return std::async(std::launch::async, [waited_on = &queue, flag = &entered] {
    mqtt_message_t out;
    *flag = true;
    return waited_on->pop(out) ? std::get<0>(out) : -1;
  });
}

}  // namespace

TEST(SyncQueue, FifoPerProducerUnderSeveralProducers) {
  sync_queue_t<mqtt_message_t> queue;
  constexpr int producers = 4, per_producer = 500;
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < per_producer; ++i) queue.push(message(p * per_producer + i));
    });
  }
  std::vector<int> last(producers, -1);
  for (int n = 0; n < producers * per_producer; ++n) {
    mqtt_message_t out;
    ASSERT_TRUE(queue.pop(out));
    const int id = std::get<0>(out);
    EXPECT_GT(id, last[id / per_producer]) << "out of order within one producer";
    last[id / per_producer] = id;
    EXPECT_EQ(std::get<1>(out), "/t/" + std::to_string(id));
  }
  for (auto& thread : threads) thread.join();
}

TEST(SyncQueue, BlockedPopWokenByPushStopAndDestructor) {
  std::atomic<bool> entered = false;
  {
    sync_queue_t<mqtt_message_t> queue;
    auto popped = pop_on_thread(queue, entered);
    EXPECT_EQ(popped.wait_for(50ms), std::future_status::timeout);
    queue.push(message(7));
    EXPECT_EQ(popped.get(), 7);
  }
  {  // stop releases a waiter at once; the queue is destroyed later
    sync_queue_t<mqtt_message_t> queue;
    auto popped = pop_on_thread(queue, entered);
    std::this_thread::sleep_for(20ms);  // most likely blocked by now; either way it must return
    queue.stop();
    ASSERT_EQ(popped.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(popped.get(), -1);
  }
  {  // the destructor releases a waiter and then returns
    entered = false;
    auto queue = std::make_unique<sync_queue_t<mqtt_message_t>>();
    auto popped = pop_on_thread(*queue, entered);
    while (!entered) std::this_thread::yield();
    std::this_thread::sleep_for(20ms);
    queue.reset();
    EXPECT_EQ(popped.get(), -1);
  }
}

TEST(SyncQueue, StoppedQueueStillHandsOutWhatItHolds) {
  sync_queue_t<mqtt_message_t> queue;
  queue.push(message(1));
  queue.stop();
  queue.push(message(2));  // a push after stop is still delivered
  mqtt_message_t out;
  for (int id : {1, 2}) {
    ASSERT_TRUE(queue.pop(out));
    EXPECT_EQ(std::get<0>(out), id);
  }
  EXPECT_FALSE(queue.pop(out));
  EXPECT_EQ(std::get<0>(out), 2) << "a failed pop must leave its argument untouched";
}

TEST(SyncDeque, FrontJumpsAndNonBlockingPop) {
  sync_deque_t<poll_entry_t> poll_list;
  poll_entry_t out{0, 0};
  EXPECT_FALSE(poll_list.pop_front(out));
  poll_list.push_back({1, 10});
  poll_list.push_back({1, 11});
  poll_list.push_front(poll_entry_t{2, 20});
  EXPECT_EQ(poll_list.size(), 3u);
  poll_list.push_front(std::vector<poll_entry_t>{{3, 30}, {3, 31}});
  std::vector<poll_entry_t> order;
  while (poll_list.pop_front(out)) order.push_back(out);
  EXPECT_EQ(order, (std::vector<poll_entry_t>{{3, 30}, {3, 31}, {2, 20}, {1, 10}, {1, 11}}));
}

TEST(SyncDeque, ConcurrentProducersAndDrainer) {
  sync_deque_t<poll_entry_t> poll_list;
  std::atomic<bool> done = false;
  std::set<int64_t> seen;
  std::thread drainer([&] {
    poll_entry_t out;
    while (!done || poll_list.size() > 0) {
      if (poll_list.pop_front(out)) seen.insert(out.second);
    }
  });
  std::vector<std::thread> producers;
  for (int p = 0; p < 3; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < 300; ++i) {
        if (i % 2) poll_list.push_back({p, p * 1000 + i});
        else poll_list.push_front(poll_entry_t{p, p * 1000 + i});
      }
    });
  }
  for (auto& producer : producers) producer.join();
  done = true;
  drainer.join();
  EXPECT_EQ(seen.size(), 900u);
}
