#pragma once

#include <algorithm>
#include <atomic>
#include <cctype>
#include <memory>
#include <sstream>

#include "support/net.hpp"
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

inline std::string unique_suffix() {
  static std::atomic<unsigned> counter{0};
  return std::to_string(getpid()) + "-" + std::to_string(counter++);
}

// A private mosquitto on a free loopback port, with its own configuration in
// a temporary folder. It is stopped when the object goes away.
class broker_t {
 public:
  // A broker that keeps retained messages persists them across restart(); one
  // that refuses anonymous clients answers every connect with "not authorised".
  struct options_t {
    bool keeps_retained = false;
    bool anonymous = true;
  };
  explicit broker_t(options_t options) : options(options) {
    // A parallel test may take the port between our probe and the broker's
    // bind; the broker then exits at once and another port is tried.
    for (int attempt = 0;; ++attempt) {
      try {
        port_number = free_loopback_port();
        start();
        return;
      } catch (const std::exception&) {
        if (attempt >= 4) throw;
      }
    }
  }
  broker_t() : broker_t(options_t{}) {}

  const std::string& host() const { return host_name; }
  int port() const { return port_number; }

  // For SIGSTOP and SIGCONT: a stopped broker keeps its sockets open and
  // reads nothing.
  pid_t pid() const { return process->pid(); }
  // Kills the broker hard: clients see the connection drop. Until it starts
  // again its port stays bound but not listening, so a connect is refused as
  // by a dead broker, and a parallel test cannot take the port meanwhile.
  void kill() {
    process.reset();
    port_holder = loopback_socket(SOCK_STREAM, static_cast<uint16_t>(port_number), true);
  }
  // Stops the broker in order: one that keeps retained messages saves them.
  void stop() {
    if (process) process->stop(SIGTERM);
    kill();
  }
  // Starts the broker again on the same port. Retained messages are gone,
  // unless the broker keeps them: it is then stopped in order, which saves them.
  void restart() {
    if (options.keeps_retained) {
      stop();
    } else {
      kill();
    }
    start();
  }
  // Starts the broker on its port: at construction, or again once it was
  // stopped or killed.
  void start() {
    port_holder.reset();
    // As root the broker would drop to a user that cannot write our folder.
    // Subscriptions are logged, so a subscriber can tell when it is live.
    const auto config = folder.write(
        "mosquitto.conf",
        "listener " + std::to_string(port_number) + " " + host_name + "\nallow_anonymous " +
            (options.anonymous ? "true" : "false") + "\nlog_type error\nlog_type warning\nlog_type notice\n" +
            "log_type information\nlog_type subscribe\n" +
            (options.keeps_retained ? "persistence true\npersistence_location " + folder.path().string() + "/\nuser root\n"
                                    : "persistence false\n"));
    const owned_fd_t log_fd(open((folder.path() / "mosquitto.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    process = std::make_unique<child_process_t>(std::vector<std::string>{"/usr/sbin/mosquitto", "-c", config},
                                                log_fd.get(), log_fd.get());
    // "running" is logged once every listener is bound.
    if (!wait_until([&] { return log().find(" running") != std::string::npos || !process->running(); },
                    std::chrono::seconds(10)) ||
        !process->running() || !can_connect(port_number)) {
      throw start_failure("mosquitto", *process, log());
    }
  }
  // What the broker wrote since its last start.
  std::string log() const { return read_file(folder.path() / "mosquitto.log"); }

  // How often, since its last start, the broker recorded a subscription to
  // `filter` by the client `client`, or by any client whose id starts with it
  // when it ends in '#' (korvex connects as "korvex#<hex>"). Once recorded it
  // is live: a message published after it reaches the client, which the
  // client's own "subscribed" line does not promise.
  int subscriptions(const std::string& filter, const std::string& client = "korvex#") const {
    int count = 0;
    std::istringstream lines(log());
    for (std::string line; std::getline(lines, line);) {
      // "<time>: <client id> <qos> <filter>"
      std::istringstream fields(line);
      std::string time, id, qos;
      if (!(fields >> time >> id >> qos) || qos.size() != 1 || !std::isdigit(static_cast<unsigned char>(qos[0]))) continue;
      const bool same_client = client.ends_with('#') ? id.starts_with(client) : id == client;
      std::string rest;
      std::getline(fields, rest);
      if (same_client && rest == " " + filter) ++count;
    }
    return count;
  }
  bool wait_for_subscription(const std::string& filter, int times = 1,
                             std::chrono::milliseconds timeout = std::chrono::seconds(20),
                             const std::string& client = "korvex#") const {
    return wait_until([&] { return subscriptions(filter, client) >= times; }, timeout);
  }

  // Publishes with mosquitto_pub; throws when it fails.
  void publish(const std::string& topic, const std::string& payload, bool retain = false, int qos = 0) const {
    // An empty -m is not reliably a zero-length payload; -n is.
    auto argv = client("mosquitto_pub", {"-q", std::to_string(qos), "-t", topic, payload.empty() ? "-n" : "-m"});
    if (!payload.empty()) argv.push_back(payload);
    if (retain) argv.push_back("-r");
    run(argv, std::chrono::seconds(10));
  }
  // Publishes the same payload `count` times from one client, as fast as it
  // goes; the payload may be larger than a command line can carry.
  void flood(const std::string& topic, const std::string& payload, int count) const {
    const auto file = folder.write("flood-" + unique_suffix(), payload);
    run(client("mosquitto_pub", {"-t", topic, "-f", file, "--repeat", std::to_string(count)}), std::chrono::seconds(60));
  }
  // Subscribes until `count` messages arrived or the timeout passed; returns
  // at most `count` of them.
  std::vector<received_message_t> collect(const std::string& filter, size_t count,
                                          std::chrono::milliseconds timeout) const;

  // The command line of one of the broker's client tools with its address.
  std::vector<std::string> client(const std::string& tool, const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv{"/usr/bin/" + tool, "-h", host_name, "-p", std::to_string(port_number)};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
  }

 private:
  void run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) const {
    const auto result = run_process(argv, timeout);
    if (result.exit_code != 0) throw std::runtime_error(argv[0] + " failed: " + result.error_output);
  }

  temp_dir_t folder;
  options_t options;
  std::string host_name = "127.0.0.1";
  int port_number = 0;
  std::unique_ptr<child_process_t> process;
  owned_fd_t port_holder;  // the port while the broker is down
};

// A mosquitto_sub running in the background; it is live once constructed.
class mqtt_subscriber_t {
 public:
  mqtt_subscriber_t(const broker_t& broker, const std::vector<std::string>& filters)
      : id("korvex-test-sub-" + unique_suffix()), process(arguments(broker, filters), output.fd(), errors.fd()) {
    if (!wait_until([&] { return broker.subscriptions(filters.back(), id) > 0 || !process.running(); },
                    std::chrono::seconds(10)) || !process.running()) {
      throw start_failure("mosquitto_sub", process, errors.text());
    }
  }

  // Waits until at least `count` messages arrived or the timeout passed, and
  // returns all messages so far.
  std::vector<received_message_t> wait_for(size_t count, std::chrono::milliseconds timeout) {
    wait_until([&] { return received().size() >= count || !process.running(); }, timeout);
    return received();
  }

 private:
  // Each message as retained flag, topic, payload length and payload,
  // NUL-separated, so topics and payloads with spaces or newlines come back
  // intact.
  std::vector<std::string> arguments(const broker_t& broker, const std::vector<std::string>& filters) const {
    auto argv = broker.client("mosquitto_sub", {"-V", "mqttv5", "--retain-as-published", "-F", "%r\\0%t\\0%l\\0%p", "-i", id});
    for (const auto& filter : filters) argv.insert(argv.end(), {"-t", filter});
    return argv;
  }
  std::vector<received_message_t> received() const {
    std::vector<received_message_t> messages;
    const std::string text = output.text();
    for (size_t at = 0;;) {
      const size_t topic_at = text.find('\0', at) + 1;
      const size_t length_at = topic_at == 0 ? 0 : text.find('\0', topic_at) + 1;
      const size_t payload_at = length_at == 0 ? 0 : text.find('\0', length_at) + 1;
      if (payload_at == 0) return messages;
      const size_t length = std::stoul(text.substr(length_at, payload_at - 1 - length_at));
      if (text.size() < payload_at + length + 1) return messages;  // the payload and its newline
      messages.push_back({text.substr(topic_at, length_at - 1 - topic_at), text.substr(payload_at, length),
                          text.substr(at, topic_at - 1 - at) == "1"});
      at = payload_at + length + 1;
    }
  }

  std::string id;
  output_file_t output, errors;
  child_process_t process;  // declared last: killed before its files close
};

inline std::vector<received_message_t> broker_t::collect(const std::string& filter, size_t count,
                                                         std::chrono::milliseconds timeout) const {
  auto messages = mqtt_subscriber_t(*this, {filter}).wait_for(count, timeout);
  messages.resize(std::min(messages.size(), count));
  return messages;
}

}  // namespace korvex_test
