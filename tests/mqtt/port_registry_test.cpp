#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "mqtt/port_registry.hpp"

TEST(PortRegistry, StopReachesExactlyThePortsInside) {
  port_registry_t registry;
  std::map<int64_t, int> stops;
  auto request = [&](int64_t id) { return [&stops, id] { ++stops[id]; }; };
  EXPECT_TRUE(registry.enter(1, request(1)));
  EXPECT_TRUE(registry.enter(2, request(2)));
  registry.leave(2);  // a port that ended before the shutdown
  registry.close_and_stop_all();
  EXPECT_FALSE(registry.enter(3, request(3))) << "a port starting after the close must not run";
  EXPECT_EQ(stops, (std::map<int64_t, int>{{1, 1}}));
}

TEST(PortRegistry, PortsRacingTheCloseAreStoppedOrRefused) {
  for (int round = 0; round < 50; ++round) {
    port_registry_t registry;
    constexpr int ports = 8;
    std::vector<std::atomic<int>> stops(ports);
    std::vector<std::atomic<bool>> admitted(ports);
    std::vector<std::atomic<bool>> stopped_when_left(ports);
    std::vector<std::thread> threads;
    for (int id = 0; id < ports; ++id) {
      threads.emplace_back([&, id] {
        port_registration_t registration(registry, id, [&, id] { ++stops[id]; });
        admitted[id] = registration.admitted();
        if (!registration.admitted()) return;
        // An admitted port runs until its stop request reaches it.
        while (stops[id] == 0) std::this_thread::yield();
        stopped_when_left[id] = true;
      });
    }
    registry.close_and_stop_all();
    for (auto& thread : threads) thread.join();
    for (int id = 0; id < ports; ++id) {
      EXPECT_EQ(stops[id], admitted[id] ? 1 : 0) << id;
      EXPECT_EQ(stopped_when_left[id].load(), admitted[id].load()) << id;
    }
  }
}
