// The korvex binary as a whole, against a real mosquitto: every way it ends,
// within two seconds of its cause, with exit code 1 and its closing lines.

#include <fcntl.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/broker.hpp"
#include "support/modbus_slave.hpp"
#include "support/service_process.hpp"

using namespace std::chrono_literals;
using std::filesystem::path;

namespace {

const std::string closing = "Универсальный драйвер устройств MODBUS версии 1.0.11 : работа завершена";
const std::string started = "Универсальный драйвер устройств MODBUS версии 1.0.11 : $CONFIG : /var/log/korvex/korvex.log";
const std::string connected = "Брокер : подключение : No error. (0)";
const std::string standby = "Нет ни одного запущенного порта! Режим ожидания...";
const std::string publishing = "Очередь исходящих сообщений : запуск";
const std::string client_end = "Работа клиента завершена";
const std::string restart = "Перезапуск драйвера...";
// Logged once the port has the stop.
const std::string port_stopped = "Очередь входящих сообщений (1) : остановлено";
const std::string template_error =
    "$CONFIG : ошибка конфигурации : /usr/share/korvex/templates/meter{1}.json : не найден шаблон описания параметров";

// standby: a disabled port; serving: an enabled one; broken: a template name
// with braces, whose error must come out verbatim; retried: a device that
// fails the first read and holds its answer to the second, read in five
// attempts of a second's delay and a ten seconds' timeout; slow: a device
// that takes connections and never answers, read in one attempt that waits
// ten seconds. A pass that finds the broker not yet connected is skipped, so
// the next one comes a second later.
enum class config_t { standby, serving, missing, broken, retried, slow };

std::string config_text(config_t kind, int broker_port, int device_port) {
  const bool slow = kind == config_t::slow, retried = kind == config_t::retried;
  return R"({"mqtt": {"url": "127.0.0.1", "port": )" + std::to_string(broker_port) +
         R"(}, "log": {"max_size": 1, "max_files": 2}, "ports": [{"connection": {"name": "line", "type": "base.tcp",
         "poll_interval": 1, "rto": )" + (slow || retried ? "10000" : "1000") + R"(, "tcp": {"url": "127.0.0.1", "port": )" +
         std::to_string(slow || retried ? device_port : 1502) + R"(}, "enabled": )" + (kind == config_t::standby ? "false" : "true") +
         R"(}, "devices": [{"name": "meter", "type": "mb-tcp", "sid": 1, "cname": "meter", "repeat_on_error": 5,
         "poll_delay": )" + (retried ? "1000" : "0") + R"(}], "parameters": [{"cname": "meter", "config": )" +
         (kind == config_t::broken ? R"("meter{1}")"
                                   : R"({"channels": [{"name": "t", "value_type": "u16", "reg_type": "holding", "reg_addr": 0}]})") +
         "}]}]}";
}

std::string expand(std::string text, const path& config) {
  if (const auto at = text.find("$CONFIG"); at != std::string::npos) text.replace(at, 7, config.string());
  return text;
}

// What ends the service once `ready` was logged: a signal, a change of the
// configuration file seen by the standby watch, or nothing (it ends by itself).
enum class cause_t { signal, modify, close_write, remove, nothing, broker_comes_up, broker_restarts };

struct scenario_t {
  const char* name;
  config_t config;
  std::string ready;
  cause_t cause;
  int signal_number;
  std::vector<std::pair<std::string, int>> counted;  // how often each line is logged
  std::vector<std::string> last;                     // the final lines, in order
  // Counted lines that another thread writes before the cause, on its own
  // time: waited for, so that the cause can never come first.
  std::vector<std::string> settled = {};
};
void PrintTo(const scenario_t& scenario, std::ostream* out) { *out << scenario.name; }

const scenario_t scenarios[] = {
    {"SigintInStandby", config_t::standby, standby, cause_t::signal, SIGINT,
     {{"$CONFIG : загружен", 1}, {started, 1}, {connected, 1}, {standby, 1}, {publishing, 0},
      {"Interactive attention signal (2) : завершение работы", 1}}, {closing}, {connected}},
    {"SigtermWhileWaitingForTheConfig", config_t::missing, "$CONFIG : не найден : ожидание", cause_t::signal, SIGTERM,
     {{"Termination request (15) : завершение работы", 1}}, {closing}},
    {"Sigusr1WhilePublishing", config_t::serving, publishing, cause_t::signal, SIGUSR1,
     {{"User signal (10) : завершение работы", 1}, {"Очередь исходящих сообщений : завершено", 1}}, {closing}},
    {"ConfigModified", config_t::standby, standby, cause_t::modify, 0, {{restart, 1}}, {client_end, closing}},
    {"ConfigClosedAfterWrite", config_t::standby, standby, cause_t::close_write, 0, {{restart, 1}}, {client_end, closing}},
    {"ConfigDeleted", config_t::standby, standby, cause_t::remove, 0, {{restart, 1}}, {client_end, closing}},
    {"ConfigError", config_t::broken, template_error, cause_t::nothing, 0, {{template_error, 1}}, {closing}},
    {"BrokerDownAtStartComesUpLater", config_t::standby, "Ошибка подключения к брокеру Mosquitto",
     cause_t::broker_comes_up, SIGTERM, {{connected, 1}}, {closing}},
    {"BrokerKilledAndRestarted", config_t::serving, connected, cause_t::broker_restarts, SIGINT, {{connected, 2}},
     {closing}},
    // The stop comes in the delay before the second attempt, or, when the
    // signal is late, in the second read, whose answer the device holds
    // until the port has the stop: a third attempt can never come first.
    {"SigtermWhileASilentDeviceIsRetried", config_t::retried, "1::meter_1::t : повторное чтение : 2 попытка",
     cause_t::signal, SIGTERM,
     {{"Termination request (15) : завершение работы", 1}, {"1::meter_1::t : повторное чтение : 3 попытка", 0},
      {port_stopped, 1}}, {client_end, closing}},
    // The last guard: the orderly shutdown would wait for the reply.
    {"SigtermWhileAReadWaitsLong", config_t::slow, "Порт 1 : line : начало опроса : 1 параметр", cause_t::signal,
     SIGTERM, {{"Termination request (15) : завершение работы", 1}},
     {"Остановка не завершена за 1500 мсек : принудительный выход", closing}},
};

// A change made before the watch is set would go unseen.
bool inotify_watch_set(int pid) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fdinfo", error)) {
    if (korvex_test::read_file(entry.path()).find("inotify wd:") != std::string::npos) return true;
  }
  return false;
}

// A device that fails the first read (it has no register 0) and holds its
// answer to every later one until it is let go.
class held_device_t {
 public:
  held_device_t() : slave(korvex_test::modbus_transport_t::tcp, {.holding_registers = 0}) {
    slave.set_faults({.before_reply = [this](const korvex_test::bytes_t&) {
      std::unique_lock lock(mutex);
      if (++requests > 1) let_go_cv.wait(lock, [this] { return let_go_now; });
    }});
  }
  ~held_device_t() { let_go(); }
  int port() const { return slave.port(); }
  void let_go() {
    std::lock_guard lock(mutex);
    let_go_now = true;
    let_go_cv.notify_all();
  }

 private:
  std::mutex mutex;
  std::condition_variable let_go_cv;
  int requests = 0;
  bool let_go_now = false;
  korvex_test::modbus_slave_t slave;  // last: its thread ends before what it waits on goes
};

// What is left of a deadline, never negative: a negative wait is an endless one.
std::chrono::milliseconds left_until(std::chrono::steady_clock::time_point deadline) {
  return std::max(std::chrono::milliseconds(0),
                  std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
}

class ServiceEnds : public testing::TestWithParam<scenario_t> {};

TEST_P(ServiceEnds, WithItsClosingLinesAndCodeOne) {
  const auto& scenario = GetParam();
  korvex_test::broker_t broker;
  if (scenario.cause == cause_t::broker_comes_up) broker.kill();
  korvex_test::tcp_listener_t silent_device;
  std::optional<held_device_t> held_device;
  if (scenario.config == config_t::retried) held_device.emplace();
  korvex_test::temp_dir_t folder;
  const auto config = folder.path() / "korvex.json";
  if (scenario.config != config_t::missing) {
    folder.write("korvex.json", config_text(scenario.config, broker.port(),
                                            held_device ? held_device->port() : silent_device.port()));
  }
  {
    korvex_test::service_process_t service(folder.path(), {"-c", config.string(), "-v"});
    ASSERT_TRUE(service.wait_for(expand(scenario.ready, config), 20s)) << service.output_text();
    for (const auto& line : scenario.settled) ASSERT_TRUE(service.wait_for(line, 20s)) << line;
    korvex_test::owned_fd_t device_side;
    if (scenario.config == config_t::slow) {
      // The pass is logged before its read: the read waits only once its
      // request has reached the device, which never answers it.
      device_side = silent_device.accept();
      ASSERT_TRUE(korvex_test::wait_readable(device_side.get()));
    }
    if (scenario.cause >= cause_t::modify && scenario.cause <= cause_t::remove) {
      ASSERT_TRUE(korvex_test::wait_until([&] { return inotify_watch_set(service.pid()); }));
    }
    if (scenario.cause == cause_t::modify) std::ofstream(config, std::ios::app) << "\n";
    if (scenario.cause == cause_t::close_write) close(open(config.c_str(), O_WRONLY));
    if (scenario.cause == cause_t::remove) std::filesystem::remove(config);
    if (scenario.cause == cause_t::broker_restarts) {
      broker.kill();
      ASSERT_TRUE(service.wait_for("Брокер : The connection was lost. (7)", 10s));
    }
    if (scenario.cause >= cause_t::broker_comes_up) {
      broker.restart();
      ASSERT_TRUE(service.wait_for(connected, 10s, scenario.cause == cause_t::broker_restarts ? 2 : 1))
          << "connected again within a few seconds";
    }
    if (scenario.signal_number != 0) service.send_signal(scenario.signal_number);
    const auto stop_deadline = std::chrono::steady_clock::now() + 2s;
    if (held_device) {
      // Once the port has the stop, the answer may end a read that the stop
      // came too late to spare.
      service.wait_for(port_stopped, left_until(stop_deadline));
      held_device->let_go();
    }
    EXPECT_EQ(service.wait_exit(left_until(stop_deadline)), 1) << service.output_text();
    for (const auto& [text, times] : scenario.counted) EXPECT_EQ(service.count(expand(text, config)), times) << text;
    const auto messages = service.messages();
    ASSERT_GE(messages.size(), scenario.last.size());
    EXPECT_EQ(std::vector(messages.end() - scenario.last.size(), messages.end()), scenario.last);
  }
  if (scenario.config == config_t::missing || scenario.config == config_t::broken) return;
  // The log and state folders did not exist: they were made.
  EXPECT_TRUE(std::filesystem::exists(folder.path() / "var/velmora/korvex.cache"));
  const auto log = korvex_test::read_file(folder.path() / "var/log/korvex/korvex.log");
  for (const auto& line : {expand(started, config), closing}) EXPECT_NE(log.find(line), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(Service, ServiceEnds, testing::ValuesIn(scenarios),
                         [](const auto& info) { return std::string(info.param.name); });

// Debug lines, here the count of each request sent to the device, reach the
// console and the log file with -d, which outweighs the file's "is_debug",
// or with "is_debug" alone; without either they do not.
TEST(ServiceLog, DebugLinesOnlyWhenSwitchedOn) {
  const struct {
    bool option;
    const char* log_section;
    bool debug_lines;
  } rows[] = {
      {true, R"({"max_size": 1})", true},
      {true, R"({"max_size": 1, "is_debug": false})", true},
      {false, R"({"max_size": 1, "is_debug": true})", true},
      {false, R"({"max_size": 1})", false},
  };
  korvex_test::broker_t broker;
  korvex_test::modbus_slave_t slave(korvex_test::modbus_transport_t::tcp);
  const std::string request_sent = "127.0.0.1:" + std::to_string(slave.port()) + " : отправлено : 12";
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.option ? "-d " : "") + row.log_section);
    korvex_test::temp_dir_t folder;
    const auto config = folder.write(
        "korvex.json",
        R"({"mqtt": {"url": "127.0.0.1", "port": )" + std::to_string(broker.port()) + R"(}, "log": )" + row.log_section +
            R"(, "ports": [{"connection": {"name": "line", "type": "base.tcp", "poll_interval": 1, "tcp": {"url":
            "127.0.0.1", "port": )" + std::to_string(slave.port()) + R"(}}, "devices": [{"name": "meter", "type":
            "mb-tcp", "sid": 1, "cname": "meter"}], "parameters": [{"cname": "meter", "config": {"channels": [{"name":
            "t", "value_type": "u16", "reg_type": "holding", "reg_addr": 0}]}}]}]})");
    std::vector<std::string> arguments{"-c", config.string(), "-v"};
    if (row.option) arguments.push_back("-d");
    {
      korvex_test::service_process_t service(folder.path(), arguments);
      // The request goes out before its pass ends.
      ASSERT_TRUE(korvex_test::wait_until(
          [&] {
            const auto lines = service.messages();
            return std::any_of(lines.begin(), lines.end(),
                               [](const auto& line) { return line.starts_with("Порт 1 : line : опрос завершен"); });
          },
          20s))
          << service.output_text();
      EXPECT_EQ(service.count(request_sent) > 0, row.debug_lines) << service.output_text();
      service.send_signal(SIGTERM);
      EXPECT_EQ(service.wait_exit(2s), 1);
    }
    const auto log = korvex_test::read_file(folder.path() / "var/log/korvex/korvex.log");
    EXPECT_EQ(log.find(request_sent) != std::string::npos, row.debug_lines);
  }
}

}  // namespace
