#include "support/broker.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <system_error>

#include "support/net.hpp"
#include "support/peer_start.hpp"

namespace korvex_test {

namespace {

constexpr auto start_deadline = std::chrono::seconds(10);
const char* const broker_program = "/usr/sbin/mosquitto";
const char* const publish_program = "/usr/bin/mosquitto_pub";
const char* const subscribe_program = "/usr/bin/mosquitto_sub";
constexpr int subscribe_timed_out = 27;

// retained flag, topic, payload length and the payload itself, NUL-separated,
// so topics and payloads with spaces or newlines come back intact.
const char* const record_format = "%r\\0%t\\0%l\\0%p";

std::string unique_suffix() {
  static std::atomic<unsigned> counter{0};
  return std::to_string(getpid()) + "-" + std::to_string(counter++);
}

std::vector<std::string> subscribe_arguments(const broker_t& broker) {
  return {subscribe_program, "-h", broker.host(), "-p", std::to_string(broker.port()), "-V", "mqttv5",
          "--retain-as-published", "-F", record_format, "-i", "korvex-test-sub-" + unique_suffix()};
}

// Takes complete records off the front of `buffer`.
void parse_records(std::string& buffer, std::vector<received_message_t>& out) {
  while (true) {
    const size_t retain_end = buffer.find('\0');
    if (retain_end == std::string::npos) return;
    const size_t topic_end = buffer.find('\0', retain_end + 1);
    if (topic_end == std::string::npos) return;
    const size_t length_end = buffer.find('\0', topic_end + 1);
    if (length_end == std::string::npos) return;
    const size_t length = std::stoul(buffer.substr(topic_end + 1, length_end - topic_end - 1));
    const size_t payload_end = length_end + 1 + length;
    if (buffer.size() < payload_end + 1) return;  // payload and its newline
    received_message_t message;
    message.retained = buffer.substr(0, retain_end) == "1";
    message.topic = buffer.substr(retain_end + 1, topic_end - retain_end - 1);
    message.payload = buffer.substr(length_end + 1, length);
    out.push_back(std::move(message));
    buffer.erase(0, payload_end + 1);
  }
}

}  // namespace

broker_t::broker_t(options_t options) : options(options) {
  folder.write("mosquitto.log", "");
  // A parallel test may grab the port between our probe and the broker's
  // bind; the broker then exits at once and another port is tried.
  for (int attempt = 0;; ++attempt) {
    port_number = free_loopback_port();
    try {
      start();
      return;
    } catch (const std::exception&) {
      if (attempt >= 4) throw;
    }
  }
}

broker_t::~broker_t() { kill(); }

void broker_t::start() {
  const std::string persistence =
      // As root the broker would drop to a user that cannot write our folder.
      options.keeps_retained ? "persistence true\npersistence_location " + folder.path().string() + "/\nuser root\n"
                     : "persistence false\n";
  const auto config = folder.write("mosquitto.conf", "listener " + std::to_string(port_number) + " " + host_name +
                                                         "\nallow_anonymous " + (options.anonymous ? "true" : "false") + "\n" + persistence);
  const auto log_path = folder.path() / "mosquitto.log";
  const int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (log_fd < 0) throw std::system_error(errno, std::generic_category(), "open broker log");
  process = std::make_unique<child_process_t>(std::vector<std::string>{broker_program, "-c", config.string()},
                                              log_fd, log_fd);
  close(log_fd);

  // "running" is logged only after every listener is bound, so a connect
  // after it reaches our broker and not some other listener on the port.
  const auto deadline = std::chrono::steady_clock::now() + start_deadline;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!process->running()) throw peer_start_error_t("mosquitto", start_failure_cause(log(), process->wait()));
    if (log().find(" running") != std::string::npos && can_connect(host_name, port_number)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  process->stop(SIGKILL);
  throw peer_start_error_t("mosquitto", "not listening after " + std::to_string(start_deadline.count()) +
                                            " s: " + start_failure_cause(log(), std::nullopt));
}

void broker_t::kill() {
  if (process) process->stop(SIGKILL);
}

void broker_t::restart() {
  if (process && options.keeps_retained) process->stop(SIGTERM);
  kill();
  start();
}

bool broker_t::running() { return process && process->running(); }

std::string broker_t::log() const { return read_file(folder.path() / "mosquitto.log"); }

void broker_t::publish(const std::string& topic, const std::string& payload, bool retain, int qos) const {
  std::vector<std::string> argv{publish_program, "-h", host_name, "-p", std::to_string(port_number),
                                "-q", std::to_string(qos), "-t", topic};
  // An empty -m is not reliably a zero-length payload; -n is.
  if (payload.empty()) {
    argv.push_back("-n");
  } else {
    argv.push_back("-m");
    argv.push_back(payload);
  }
  if (retain) argv.push_back("-r");
  const auto result = run_process(argv, std::chrono::seconds(10));
  if (result.exit_code != 0) {
    throw std::runtime_error("mosquitto_pub failed on " + topic + ": " + result.error_output);
  }
}

void broker_t::flood(const std::string& topic, const std::string& payload, int count) const {
  const auto payload_file = folder.write("flood-" + unique_suffix(), payload);
  const auto result = run_process({publish_program, "-h", host_name, "-p", std::to_string(port_number), "-t", topic,
                                   "-f", payload_file.string(), "--repeat", std::to_string(count)},
                                  std::chrono::seconds(60));
  if (result.exit_code != 0) throw std::runtime_error("mosquitto_pub failed on " + topic + ": " + result.error_output);
}

std::vector<received_message_t> broker_t::collect(const std::string& topic_filter, size_t count,
                                                  std::chrono::milliseconds timeout) const {
  auto argv = subscribe_arguments(*this);
  const auto seconds = std::max<long>(1, static_cast<long>((timeout.count() + 999) / 1000));
  argv.insert(argv.end(), {"-t", topic_filter, "-C", std::to_string(count), "-W", std::to_string(seconds)});
  auto result = run_process(argv, timeout + std::chrono::seconds(5));
  // 27 is the end of the -W wait. Any other failure means no subscription
  // was made, which must not read as "nothing arrived".
  if (result.exit_code != 0 && result.exit_code != subscribe_timed_out) {
    throw peer_start_error_t("mosquitto_sub", start_failure_cause(result.error_output, std::nullopt));
  }
  std::vector<received_message_t> messages;
  parse_records(result.output, messages);
  return messages;
}

mqtt_subscriber_t::mqtt_subscriber_t(const broker_t& broker, const std::vector<std::string>& topic_filters)
    : probe_topic("korvex-test/probe/" + unique_suffix()) {
  auto argv = subscribe_arguments(broker);
  for (const auto& filter : topic_filters) argv.insert(argv.end(), {"-t", filter});
  argv.insert(argv.end(), {"-t", probe_topic});
  int pipe_fds[2];
  open_pipe(pipe_fds);
  process = std::make_unique<child_process_t>(argv, pipe_fds[1], errors.fd());
  close(pipe_fds[1]);
  reader = std::thread([this, fd = pipe_fds[0]] { read_output(fd); });

  const auto deadline = std::chrono::steady_clock::now() + start_deadline;
  while (std::chrono::steady_clock::now() < deadline) {
    broker.publish(probe_topic, "probe");
    std::unique_lock lock(mutex);
    if (arrived.wait_for(lock, std::chrono::milliseconds(200), [this] { return probe_seen || output_closed; })) break;
  }
  std::unique_lock lock(mutex);
  if (!probe_seen) {
    lock.unlock();
    const bool ended = !process->running();
    const int status = process->stop(SIGKILL);
    reader.join();
    throw peer_start_error_t("mosquitto_sub", start_failure_cause(errors.text(), ended ? std::optional(status)
                                                                                       : std::nullopt));
  }
}

mqtt_subscriber_t::~mqtt_subscriber_t() {
  process->stop(SIGKILL);
  reader.join();
}

void mqtt_subscriber_t::read_output(int fd) {
  char buffer[4096];
  while (true) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    std::lock_guard lock(mutex);
    pending.append(buffer, static_cast<size_t>(got));
    std::vector<received_message_t> parsed;
    parse_records(pending, parsed);
    for (auto& message : parsed) {
      if (message.topic == probe_topic) {
        probe_seen = true;
      } else {
        received.push_back(std::move(message));
      }
    }
    arrived.notify_all();
  }
  close(fd);
  std::lock_guard lock(mutex);
  output_closed = true;
  arrived.notify_all();
}

std::vector<received_message_t> mqtt_subscriber_t::wait_for(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex);
  arrived.wait_for(lock, timeout, [&] { return received.size() >= count || output_closed; });
  return received;
}

}  // namespace korvex_test
