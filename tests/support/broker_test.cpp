#include "support/broker.hpp"

#include <gtest/gtest.h>

#include "support/net.hpp"

namespace korvex_test {
namespace {

using namespace std::chrono_literals;

TEST(BrokerFixture, LiveMessagesReachASubscriberIntact) {
  broker_t broker;
  mqtt_subscriber_t subscriber(broker, {"/devices/+/controls/#"});
  // Payloads a shell would mangle must pass through untouched.
  const std::vector<received_message_t> sent = {
      {"/devices/boiler/controls/temp", "21.5", false},
      {"/devices/boiler/controls/name", "a b  'c' \"d\" $HOME; `x`\nline", true},
      {"/devices/boiler/controls/empty", "", false},
  };
  for (const auto& message : sent) broker.publish(message.topic, message.payload, message.retained);
  const auto got = subscriber.wait_for(sent.size(), 10s);
  ASSERT_EQ(got.size(), sent.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(got[i].topic, sent[i].topic);
    EXPECT_EQ(got[i].payload, sent[i].payload);
    EXPECT_EQ(got[i].retained, sent[i].retained) << got[i].topic;
  }
}

TEST(BrokerFixture, RetainedMessageReachesALaterSubscriberOfThatBrokerOnly) {
  broker_t broker;
  broker_t other;
  EXPECT_NE(broker.port(), other.port());
  broker.publish("/devices/d/controls/c", "42", true);
  broker.publish("/devices/d/controls/not-kept", "7", false);
  const auto got = broker.collect("/devices/d/controls/#", 1, 10s);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].topic, "/devices/d/controls/c");
  EXPECT_EQ(got[0].payload, "42");
  EXPECT_TRUE(got[0].retained);
  EXPECT_TRUE(other.collect("/devices/#", 1, 1s).empty());

  // An empty retained publication clears the stored one.
  broker.publish("/devices/d/controls/c", "", true);
  EXPECT_TRUE(broker.collect("/devices/d/controls/#", 1, 1s).empty());
}

TEST(BrokerFixture, KillAndRestartKeepThePort) {
  broker_t broker;
  const int port = broker.port();
  ASSERT_TRUE(can_connect(broker.host(), port));
  broker.kill();
  EXPECT_FALSE(broker.running());
  EXPECT_FALSE(can_connect(broker.host(), port));
  EXPECT_THROW(broker.publish("t", "x"), std::runtime_error);

  broker.restart();
  EXPECT_TRUE(broker.running());
  EXPECT_EQ(broker.port(), port);
  mqtt_subscriber_t subscriber(broker, {"after/restart"});
  broker.publish("after/restart", "back");
  const auto got = subscriber.wait_for(1, 10s);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].payload, "back");
}

}  // namespace
}  // namespace korvex_test
