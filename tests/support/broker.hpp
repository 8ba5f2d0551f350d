#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/peer_start.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace korvex_test {

// One message as a subscriber saw it. `retained` is the flag as published
// (the subscribers ask the broker to keep it), or set for a stored message
// delivered on subscribe.
struct received_message_t {
  std::string topic;
  std::string payload;
  bool retained = false;
};

// A private mosquitto on a free loopback port, with its own configuration in
// a temporary folder. It is stopped when the object goes away.
class broker_t {
 public:
  // A broker that keeps retained messages persists them across restart(); one
  // that refuses anonymous clients answers every connect with "not
  // authorised".
  struct options_t {
    bool keeps_retained = false;
    bool anonymous = true;
  };
  explicit broker_t(options_t options);
  broker_t() : broker_t(options_t{}) {}
  ~broker_t();
  broker_t(const broker_t&) = delete;
  broker_t& operator=(const broker_t&) = delete;

  const std::string& host() const { return host_name; }
  int port() const { return port_number; }

  // Kills the broker hard (SIGKILL): clients see the connection drop.
  void kill();
  // Starts the broker again on the same port and waits until it accepts
  // connections. Retained messages are gone, unless the broker keeps them:
  // it is then stopped in order, which saves them.
  void restart();
  bool running();
  // What the broker wrote since its last start.
  std::string log() const;

  // Publishes with mosquitto_pub; throws when it fails.
  void publish(const std::string& topic, const std::string& payload, bool retain = false, int qos = 0) const;
  // Publishes the same payload `count` times from one client, as fast as it
  // goes; the payload may be larger than a command line can carry.
  void flood(const std::string& topic, const std::string& payload, int count) const;
  // Subscribes with mosquitto_sub until `count` messages arrived or the
  // timeout passed; returns what arrived.
  std::vector<received_message_t> collect(const std::string& topic_filter, size_t count,
                                          std::chrono::milliseconds timeout) const;

 private:
  void start();

  temp_dir_t folder;
  options_t options;
  std::string host_name = "127.0.0.1";
  int port_number = 0;
  std::unique_ptr<child_process_t> process;
};

// A mosquitto_sub running in the background for messages that are published
// after it subscribed. The constructor returns once the subscription is
// live: it publishes probes on a private topic until one comes back.
class mqtt_subscriber_t {
 public:
  mqtt_subscriber_t(const broker_t& broker, const std::vector<std::string>& topic_filters);
  ~mqtt_subscriber_t();
  mqtt_subscriber_t(const mqtt_subscriber_t&) = delete;
  mqtt_subscriber_t& operator=(const mqtt_subscriber_t&) = delete;

  // Waits until at least `count` messages arrived or the timeout passed, and
  // returns all messages so far.
  std::vector<received_message_t> wait_for(size_t count, std::chrono::milliseconds timeout);

 private:
  void read_output(int fd);

  std::string probe_topic;
  output_file_t errors;
  std::unique_ptr<child_process_t> process;
  std::thread reader;
  std::mutex mutex;
  std::condition_variable arrived;
  std::string pending;
  bool probe_seen = false;
  bool output_closed = false;
  std::vector<received_message_t> received;
};

}  // namespace korvex_test
