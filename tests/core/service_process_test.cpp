// The korvex binary as a whole, against a real mosquitto: every way it ends.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/broker.hpp"
#include "support/net.hpp"
#include "support/process.hpp"
#include "support/service_process.hpp"
#include "support/temp_dir.hpp"

using namespace std::chrono_literals;
using korvex_test::broker_t;
using korvex_test::service_process_t;
using korvex_test::temp_dir_t;
using std::filesystem::path;

namespace {

constexpr auto startup_timeout = 20s;
// What a stop may take from its cause to the exit, in every state.
constexpr auto stop_timeout = 2s;

template <typename Condition>
bool poll_until(Condition condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// A change made before the watch is set would go unseen.
bool wait_for_inotify_watch(const korvex_test::service_process_t& service) {
  const path fdinfo = "/proc/" + std::to_string(service.pid()) + "/fdinfo";
  return poll_until(
      [&] {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(fdinfo, error)) {
          if (korvex_test::read_file(entry.path()).find("inotify wd:") != std::string::npos) return true;
        }
        return false;
      },
      startup_timeout);
}

const std::string closing_line = "Универсальный драйвер устройств MODBUS версии 1.0.11 : работа завершена";
const std::string start_line =
    "Универсальный драйвер устройств MODBUS версии 1.0.11 : $CONFIG : /var/log/korvex/korvex.log";
const std::string connected_line = "Брокер : подключение : No error. (0)";
const std::string standby_line = "Нет ни одного запущенного порта! Режим ожидания...";
const std::string publish_start_line = "Очередь исходящих сообщений : запуск";
const std::string client_end_line = "Работа клиента завершена";
const std::string template_error_line =
    "$CONFIG : ошибка конфигурации : /usr/share/korvex/templates/meter{1}.json : не найден шаблон описания параметров";

enum class config_t { standby, serving, missing, broken, silent, slow };

// A disabled port makes the service stand by, an enabled one makes it publish;
// the broken template name holds braces: the error must come out verbatim.
// The silent device takes connections and never answers: each read makes five
// attempts, a second's delay and a second's timeout each; or, slow, a single
// attempt that waits ten seconds for the reply.
std::string config_text(config_t kind, int broker_port, int silent_port) {
  const bool slow = kind == config_t::slow;
  const bool silent = kind == config_t::silent || slow;
  const std::string parameters =
      kind == config_t::broken ? R"("meter{1}")"
                               : R"({"channels": [{"name": "t", "value_type": "u16", "reg_type": "holding", "reg_addr": 0}]})";
  return R"({"mqtt": {"url": "127.0.0.1", "port": )" + std::to_string(broker_port) +
         R"(}, "log": {"max_size": 1, "max_files": 2}, "ports": [{"connection": {"name": "line", "type": "base.tcp",
         "rto": )" + (slow ? "10000" : "1000") + R"(, "tcp": {"url": "127.0.0.1", "port": )" + std::to_string(silent ? silent_port : 1502) +
         R"(}, "enabled": )" + (kind == config_t::standby ? "false" : "true") +
         R"(}, "devices": [{"name": "meter", "type": "mb-tcp", "sid": 1, "cname": "meter", "enabled": true,
         "repeat_on_error": 5, "poll_delay": )" + (silent && !slow ? "1000" : "0") + R"(}],
         "parameters": [{"cname": "meter", "config": )" + parameters + "}]}]}";
}

std::string expand(std::string text, const path& config) {
  if (const auto at = text.find("$CONFIG"); at != std::string::npos) text.replace(at, 7, config.string());
  return text;
}

using action_t = std::function<void(service_process_t&, broker_t&, const path& config)>;

action_t signal_after(std::string ready_line, int number) {
  return [=](service_process_t& service, broker_t&, const path& config) {
    ASSERT_TRUE(service.wait_for(expand(ready_line, config), startup_timeout));
    service.send_signal(number);
  };
}

action_t change_config_in_standby(void (*change)(const path&)) {
  return [=](service_process_t& service, broker_t&, const path& config) {
    ASSERT_TRUE(service.wait_for(standby_line, startup_timeout));
    ASSERT_TRUE(wait_for_inotify_watch(service));
    change(config);
  };
}

struct scenario_t {
  const char* name;
  config_t config;
  bool broker_down_at_start;
  action_t action;
  // How often each message is written; $CONFIG stands for the file's path.
  std::vector<std::pair<std::string, int>> counted;
  std::vector<std::string> last;  // the final messages, in order
};
void PrintTo(const scenario_t& scenario, std::ostream* out) { *out << scenario.name; }

const scenario_t scenarios[] = {
    {"SigintInStandby", config_t::standby, false, signal_after(standby_line, SIGINT),
     {{"$CONFIG : загружен", 1}, {start_line, 1}, {connected_line, 1}, {standby_line, 1}, {publish_start_line, 0},
      {"Interactive attention signal (2) : завершение работы", 1}},
     {closing_line}},
    {"SigtermWhileWaitingForTheConfig", config_t::missing, false,
     signal_after("$CONFIG : не найден : ожидание", SIGTERM),
     {{"Termination request (15) : завершение работы", 1}}, {closing_line}},
    {"Sigusr1WhilePublishing", config_t::serving, false, signal_after(publish_start_line, SIGUSR1),
     {{"User signal (10) : завершение работы", 1}, {"Очередь исходящих сообщений : завершено", 1}},
     {closing_line}},
    {"ConfigModified", config_t::standby, false,
     change_config_in_standby([](const path& config) { std::ofstream(config, std::ios::app) << "\n"; }),
     {{"Перезапуск драйвера...", 1}}, {client_end_line, closing_line}},
    {"ConfigClosedAfterWrite", config_t::standby, false,
     change_config_in_standby([](const path& config) { close(open(config.c_str(), O_WRONLY)); }),
     {{"Перезапуск драйвера...", 1}}, {client_end_line, closing_line}},
    {"ConfigDeleted", config_t::standby, false,
     change_config_in_standby([](const path& config) { std::filesystem::remove(config); }),
     {{"Перезапуск драйвера...", 1}}, {client_end_line, closing_line}},
    {"ConfigError", config_t::broken, false,
     [](service_process_t& service, broker_t&, const path& config) {
       ASSERT_TRUE(service.wait_for(expand(template_error_line, config), startup_timeout));
     },
     {{template_error_line, 1}}, {closing_line}},
    {"BrokerDownAtStartComesUpLater", config_t::standby, true,
     [](service_process_t& service, broker_t& broker, const path&) {
       ASSERT_TRUE(service.wait_for("Ошибка подключения к брокеру Mosquitto", startup_timeout));
       broker.restart();
       ASSERT_TRUE(service.wait_for(connected_line, 10s));
       service.send_signal(SIGTERM);
     },
     {{connected_line, 1}}, {closing_line}},
    {"BrokerKilledAndRestarted", config_t::serving, false,
     [](service_process_t& service, broker_t& broker, const path&) {
       ASSERT_TRUE(service.wait_for(connected_line, startup_timeout));
       broker.kill();
       ASSERT_TRUE(service.wait_for("Брокер : The connection was lost. (7)", 10s));
       broker.restart();
       EXPECT_TRUE(service.wait_for(connected_line, 10s, 2)) << "connected again within a few seconds";
       service.send_signal(SIGINT);
     },
     {{connected_line, 2}}, {closing_line}},
    {"SigtermWhileASilentDeviceIsRetried", config_t::silent, false,
     signal_after("1::meter_1::t : повторное чтение : 2 попытка", SIGTERM),
     {{"Termination request (15) : завершение работы", 1}, {"1::meter_1::t : повторное чтение : 3 попытка", 0},
      {"Очередь входящих сообщений (1) : остановлено", 1}},
     {client_end_line, closing_line}},
    // The last guard: the orderly shutdown would wait for the reply.
    {"SigtermWhileAReadWaitsLong", config_t::slow, false,
     signal_after("Порт 1 : line : начало опроса : 1 параметр", SIGTERM),
     {{"Termination request (15) : завершение работы", 1}},
     {"Остановка не завершена за 1500 мсек : принудительный выход", closing_line}},
};

class ServiceEnds : public testing::TestWithParam<scenario_t> {};

TEST_P(ServiceEnds, WithItsClosingLinesAndCodeOne) {
  const auto& scenario = GetParam();
  broker_t broker;
  if (scenario.broker_down_at_start) broker.kill();
  const korvex_test::tcp_listener_t silent_device;
  temp_dir_t folder;
  const auto config = folder.path() / "korvex.json";
  if (scenario.config != config_t::missing) {
    folder.write("korvex.json", config_text(scenario.config, broker.port(), silent_device.port()));
  }
  {
    service_process_t service(folder.path(), {"-c", config.string(), "-v"});
    scenario.action(service, broker, config);
    if (HasFatalFailure()) return;
    EXPECT_EQ(service.wait_exit(stop_timeout), 1) << "every way out ends with code 1";
    for (const auto& [text, times] : scenario.counted) EXPECT_EQ(service.count(expand(text, config)), times) << text;
    const auto messages = service.messages();
    ASSERT_GE(messages.size(), scenario.last.size());
    EXPECT_EQ(std::vector(messages.end() - scenario.last.size(), messages.end()), scenario.last);
  }
  if (scenario.config == config_t::missing || scenario.config == config_t::broken) return;
  // The log and state folders did not exist: they were created.
  EXPECT_TRUE(std::filesystem::exists(folder.path() / "var/velmora/korvex.cache"));
  const auto log = korvex_test::read_file(folder.path() / "var/log/korvex/korvex.log");
  for (const auto& line : {expand(start_line, config), closing_line}) EXPECT_NE(log.find(line), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(Service, ServiceEnds, testing::ValuesIn(scenarios),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
