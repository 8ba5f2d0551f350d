// The benchmark's driver: everything scripts/bench measures that a shell
// cannot. Each mode prints one line of numbers.
//
//   config CONNECTIONS CHANNELS SLAVE_PORT BROKER_PORT INTERVAL
//       a korvex configuration on stdout: CONNECTIONS TCP connections to the
//       slave, each with one device of CHANNELS "u16" holding channels
//       (addresses 0 to 99 over and over); channel c0 takes commands.
//   bare SLAVE_PORT SECONDS
//       reads one register per transaction for SECONDS; prints the loop's
//       own CPU nanoseconds per transaction and the transaction count.
//   bare-publish SLAVE_PORT BROKER_PORT SECONDS
//       the same loop publishing each value retained through libmosquitto's
//       threaded client, as a gateway with no work of its own would: the
//       floor of what a read and a publish cost on this machine.
//   rate BROKER_PORT PID SECONDS
//       counts the values arriving at the broker while process PID polls;
//       prints PID's CPU nanoseconds per value and the value count.
//   latency BROKER_PORT DEVICE_TOPIC COUNT
//       sends COUNT commands to channel c0 of DEVICE_TOPIC, each a new value,
//       and times each until its re-read value arrives; prints the median
//       and the 99th percentile in microseconds.
//   load SECONDS -- COMMAND...
//       starts COMMAND and prints the microseconds until its output shows
//       the line with "загружен"; then stops it.
#include <fcntl.h>
#include <modbus/modbus.h>
#include <mosquitto.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using steady = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& text) {
  std::fprintf(stderr, "bench_driver: %s\n", text.c_str());
  std::exit(2);
}

int64_t cpu_nanoseconds(clockid_t clock) {
  timespec now{};
  if (clock_gettime(clock, &now) != 0) fail("no CPU clock");
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

int config(int connections, int channels, int slave_port, int broker_port, int interval) {
  std::string text = "{\"mqtt\": {\"url\": \"127.0.0.1\", \"port\": " + std::to_string(broker_port) +
                     "},\n \"log\": {\"is_debug\": false},\n \"ports\": [\n";
  for (int c = 0; c < connections; ++c) {
    const std::string cname = "set" + std::to_string(c);
    text += c == 0 ? "  " : " ,";
    text += "{\"connection\": {\"name\": \"line" + std::to_string(c) +
            "\", \"type\": \"base.tcp\", \"enabled\": true, \"poll_interval\": " + std::to_string(interval) +
            ", \"tcp\": {\"url\": \"127.0.0.1\", \"port\": " + std::to_string(slave_port) + "}},\n";
    text += "   \"devices\": [{\"name\": \"dev\", \"type\": \"mb-tcp\", \"sid\": 1, \"cname\": \"" + cname +
            "\", \"enabled\": true}],\n";
    text += "   \"parameters\": [{\"cname\": \"" + cname + "\", \"config\": {\"channels\": [\n";
    for (int k = 0; k < channels; ++k) {
      text += k == 0 ? "    " : "   ,";
      text += "{\"name\": \"c" + std::to_string(k) + "\", \"value_type\": \"u16\", \"reg_type\": \"holding\", " +
              "\"reg_addr\": " + std::to_string(k % 100) + (k == 0 ? ", \"read_only\": false" : "") + "}\n";
    }
    text += "   ]}}]}\n";
  }
  text += " ]}\n";
  std::fputs(text.c_str(), stdout);
  return 0;
}

int bare(int slave_port, double seconds, int broker_port = 0) {
  modbus_t* context = modbus_new_tcp("127.0.0.1", slave_port);
  if (context == nullptr || modbus_connect(context) != 0) fail("no slave");
  modbus_set_slave(context, 1);
  mosquitto* broker = nullptr;
  if (broker_port != 0) {
    mosquitto_lib_init();
    broker = mosquitto_new(nullptr, true, nullptr);
    if (broker == nullptr || mosquitto_connect(broker, "127.0.0.1", broker_port, 60) != MOSQ_ERR_SUCCESS) {
      fail("no broker");
    }
    mosquitto_int_option(broker, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_loop_start(broker);
  }
  uint16_t value = 0;
  for (int k = 0; k < 1000; ++k) modbus_read_registers(context, k % 100, 1, &value);  // warm-up
  const auto deadline = steady::now() + std::chrono::duration<double>(seconds);
  const int64_t cpu_start = cpu_nanoseconds(CLOCK_PROCESS_CPUTIME_ID);
  int64_t count = 0;
  while (steady::now() < deadline) {
    for (int k = 0; k < 100; ++k) {
      if (modbus_read_registers(context, k, 1, &value) != 1) fail("read failed");
      if (broker != nullptr) {
        const std::string topic = "/bare/" + std::to_string(k);
        const std::string payload = std::to_string(value);
        mosquitto_publish(broker, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 0, true);
      }
    }
    count += 100;
  }
  const int64_t cpu = cpu_nanoseconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
  std::printf("%.0f %lld\n", static_cast<double>(cpu) / static_cast<double>(count), static_cast<long long>(count));
  modbus_close(context);
  modbus_free(context);
  if (broker != nullptr) {
    mosquitto_disconnect(broker);
    mosquitto_loop_stop(broker, false);
    mosquitto_destroy(broker);
  }
  return 0;
}

// One broker session on its own network thread; the callbacks see `this`.
class subscriber_t {
 public:
  explicit subscriber_t(int broker_port) {
    mosquitto_lib_init();
    handle = mosquitto_new(nullptr, true, this);
    if (handle == nullptr) fail("no broker client");
    mosquitto_connect_callback_set(handle, [](mosquitto*, void* self, int rc) {
      auto* me = static_cast<subscriber_t*>(self);
      std::lock_guard lock(me->mutex);
      me->connected = rc == 0;
      me->changed.notify_all();
    });
    mosquitto_message_callback_set(handle, [](mosquitto*, void* self, const mosquitto_message* message) {
      static_cast<subscriber_t*>(self)->on_message(message);
    });
    if (mosquitto_connect(handle, "127.0.0.1", broker_port, 60) != MOSQ_ERR_SUCCESS) fail("no broker");
    mosquitto_loop_start(handle);
    std::unique_lock lock(mutex);
    if (!changed.wait_for(lock, std::chrono::seconds(5), [&] { return connected; })) fail("broker refused");
  }
  ~subscriber_t() {
    mosquitto_disconnect(handle);
    mosquitto_loop_stop(handle, false);
    mosquitto_destroy(handle);
    mosquitto_lib_cleanup();
  }

  void subscribe(const std::string& topic) { mosquitto_subscribe(handle, nullptr, topic.c_str(), 0); }
  void publish(const std::string& topic, const std::string& payload) {
    mosquitto_publish(handle, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 0, false);
  }

  std::atomic<int64_t> values{0};

  // Waits until `topic` carries `payload`; false after the timeout.
  bool wait_for(const std::string& topic, const std::string& payload, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return last_topic_seen == topic && last_payload_seen == payload; });
  }
  void watch(const std::string& topic) {
    std::lock_guard lock(mutex);
    watched = topic;
    last_topic_seen.clear();
  }

 private:
  void on_message(const mosquitto_message* message) {
    values.fetch_add(1, std::memory_order_relaxed);
    if (message->topic == nullptr || watched.empty() || watched != message->topic) return;
    std::lock_guard lock(mutex);
    last_topic_seen = message->topic;
    last_payload_seen.assign(static_cast<const char*>(message->payload), message->payloadlen);
    changed.notify_all();
  }

  mosquitto* handle = nullptr;
  std::mutex mutex;
  std::condition_variable changed;
  bool connected = false;
  std::string watched;
  std::string last_topic_seen;
  std::string last_payload_seen;
};

int rate(int broker_port, pid_t pid, double seconds) {
  clockid_t korvex_clock{};
  if (clock_getcpuclockid(pid, &korvex_clock) != 0) fail("no such process");
  subscriber_t subscriber(broker_port);
  subscriber.subscribe("/devices/#");
  // Steady flow first: the retained values come in a burst at subscription.
  const auto flowing = steady::now() + std::chrono::seconds(30);
  while (subscriber.values.load() < 1000 && steady::now() < flowing) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const int64_t values_start = subscriber.values.load();
  const int64_t cpu_start = cpu_nanoseconds(korvex_clock);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const int64_t cpu = cpu_nanoseconds(korvex_clock) - cpu_start;
  const int64_t values = subscriber.values.load() - values_start;
  if (values <= 0) fail("no values arrived");
  std::printf("%.0f %lld\n", static_cast<double>(cpu) / static_cast<double>(values), static_cast<long long>(values));
  return 0;
}

int latency(int broker_port, const std::string& device_topic, int count) {
  subscriber_t subscriber(broker_port);
  const std::string value_topic = "/devices/" + device_topic + "/controls/c0";
  subscriber.watch(value_topic);
  subscriber.subscribe(value_topic);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::vector<double> micros;
  for (int k = 0; k < count; ++k) {
    const std::string payload = std::to_string(1000 + k % 2);
    const auto sent = steady::now();
    subscriber.publish(value_topic + "/on", payload);
    if (!subscriber.wait_for(value_topic, payload, std::chrono::seconds(2))) fail("no re-read for " + payload);
    micros.push_back(std::chrono::duration<double, std::micro>(steady::now() - sent).count());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::sort(micros.begin(), micros.end());
  const auto at = [&](double share) { return micros[std::min(micros.size() - 1, static_cast<size_t>(share * micros.size()))]; };
  std::printf("%.0f %.0f\n", at(0.5), at(0.99));
  return 0;
}

int load(double seconds, char** command) {
  int out[2];
  if (pipe(out) != 0) fail("no pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  pid_t child = 0;
  const auto started = steady::now();
  if (posix_spawn(&child, command[0], &actions, nullptr, command, environ) != 0) fail("cannot start the command");
  close(out[1]);
  std::string output;
  char buffer[4096];
  double micros = -1;
  const auto deadline = started + std::chrono::duration<double>(seconds);
  while (micros < 0 && steady::now() < deadline) {
    const ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    output.append(buffer, static_cast<size_t>(n));
    if (output.find("загружен") != std::string::npos) {
      micros = std::chrono::duration<double, std::micro>(steady::now() - started).count();
    }
  }
  kill(child, SIGTERM);
  waitpid(child, nullptr, 0);
  close(out[0]);
  if (micros < 0) fail("the command never loaded:\n" + output);
  std::printf("%.0f\n", micros);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "config" && argc == 7) {
    return config(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]), std::atoi(argv[6]));
  }
  if (mode == "bare" && argc == 4) return bare(std::atoi(argv[2]), std::atof(argv[3]));
  if (mode == "bare-publish" && argc == 5) return bare(std::atoi(argv[2]), std::atof(argv[4]), std::atoi(argv[3]));
  if (mode == "rate" && argc == 5) return rate(std::atoi(argv[2]), std::atoi(argv[3]), std::atof(argv[4]));
  if (mode == "latency" && argc == 5) return latency(std::atoi(argv[2]), argv[3], std::atoi(argv[4]));
  if (mode == "load" && argc > 4 && std::strcmp(argv[3], "--") == 0) return load(std::atof(argv[2]), argv + 4);
  fail("usage: see the head of bench_driver.cpp");
}
