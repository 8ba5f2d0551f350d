// The korvex binary as a whole, against a real mosquitto, with its fixed
// state folders isolated in a private mount namespace.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "service_process.hpp"
#include "support/broker.hpp"
#include "support/temp_dir.hpp"

using namespace std::chrono_literals;
using korvex_test::broker_t;
using korvex_test::service_process_t;
using korvex_test::temp_dir_t;

namespace {

const std::string closing_line = "Универсальный драйвер устройств MODBUS версии 1.0.11 : работа завершена";
const std::string connected_line = "Брокер : подключение : No error. (0)";
const std::string standby_line = "Нет ни одного запущенного порта! Режим ожидания...";
const std::string publish_start_line = "Очередь исходящих сообщений : запуск";
constexpr auto startup_timeout = 20s;
// What a stop may take from its cause to the exit: about two seconds.
constexpr auto stop_timeout = 3s;

// A configuration whose only port is disabled: the service stands by.
std::string standby_config(int broker_port) {
  return R"({"mqtt": {"url": "127.0.0.1", "port": )" + std::to_string(broker_port) + R"(},
  "log": {"max_size": 1, "max_files": 2},
  "ports": [{"connection": {"name": "spare", "type": "base.tcp", "enabled": false,
                            "tcp": {"url": "127.0.0.1", "port": 1502}},
             "devices": [{"name": "meter", "type": "mb-tcp", "sid": 1, "cname": "meter"}],
             "parameters": [{"cname": "meter", "config": {"channels": []}}]}]})";
}

// One enabled TCP connection: the service builds its port worker and publishes.
std::string serving_config(int broker_port) {
  return R"({"mqtt": {"url": "127.0.0.1", "port": )" + std::to_string(broker_port) + R"(},
  "log": {"max_size": 1},
  "ports": [{"connection": {"name": "line", "type": "base.tcp", "enabled": true,
                            "tcp": {"url": "127.0.0.1", "port": 1502}},
             "devices": [{"name": "meter", "type": "mb-tcp", "sid": 1, "cname": "meter", "enabled": true}],
             "parameters": [{"cname": "meter", "config": {"channels": [
                {"name": "t", "value_type": "u16", "reg_type": "holding", "reg_addr": 0}]}}]}]})";
}

std::string start_line(const std::filesystem::path& config) {
  return "Универсальный драйвер устройств MODBUS версии 1.0.11 : " + config.string() + " : /var/log/korvex/korvex.log";
}

}  // namespace

TEST(Service, StartsConnectsAndLogsToFileAndConsole) {
  broker_t broker;
  temp_dir_t folder;
  const auto config = folder.write("korvex.json", standby_config(broker.port()));
  {
    service_process_t service(folder.path() / "var", {"-c", config.string(), "-v"});
    ASSERT_TRUE(service.wait_for_message(connected_line, startup_timeout));
    EXPECT_EQ(service.count_message(config.string() + " : загружен"), 1);
    EXPECT_EQ(service.count_message(start_line(config)), 1);
    EXPECT_EQ(service.count_message(standby_line), 1);
    service.send_signal(SIGTERM);
    EXPECT_EQ(service.wait_exit(stop_timeout), 1);
  }
  // The log and state folders did not exist: they were created.
  EXPECT_TRUE(std::filesystem::exists(folder.path() / "var/velmora/korvex.cache"));
  const auto log = korvex_test::read_file(folder.path() / "var/log/korvex/korvex.log");
  EXPECT_NE(log.find(start_line(config)), std::string::npos);
  EXPECT_NE(log.find(connected_line), std::string::npos);
  EXPECT_NE(log.find(closing_line), std::string::npos);
}

TEST(Service, ReachesABrokerThatComesUpLater) {
  broker_t broker;
  broker.kill();
  temp_dir_t folder;
  const auto config = folder.write("korvex.json", standby_config(broker.port()));
  service_process_t service(folder.path() / "var", {"-c", config.string(), "-v"});
  ASSERT_TRUE(service.wait_for_message("Ошибка подключения к брокеру Mosquitto", startup_timeout));
  broker.restart();
  EXPECT_TRUE(service.wait_for_message(connected_line, 10s));
  service.send_signal(SIGTERM);
  EXPECT_EQ(service.wait_exit(stop_timeout), 1);
}

TEST(Service, ReconnectsAfterTheBrokerIsKilled) {
  broker_t broker;
  temp_dir_t folder;
  const auto config = folder.write("korvex.json", serving_config(broker.port()));
  service_process_t service(folder.path() / "var", {"-c", config.string(), "-v"});
  ASSERT_TRUE(service.wait_for_message(connected_line, startup_timeout));
  broker.kill();
  ASSERT_TRUE(service.wait_for_message("Брокер : The connection was lost. (7)", 10s));
  broker.restart();
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (service.count_message(connected_line) < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(service.count_message(connected_line), 2) << "connected again within a few seconds";
  service.send_signal(SIGINT);
  EXPECT_EQ(service.wait_exit(stop_timeout), 1);
}

TEST(Service, StandbyRestartsOnConfigurationChange) {
  const struct {
    const char* name;
    void (*change)(const std::filesystem::path&);
  } cases[] = {
      {"modify", [](const std::filesystem::path& path) { std::ofstream(path, std::ios::app) << "\n"; }},
      {"close after write",
       [](const std::filesystem::path& path) { close(open(path.c_str(), O_WRONLY)); }},
      {"delete", [](const std::filesystem::path& path) { std::filesystem::remove(path); }},
  };
  broker_t broker;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    temp_dir_t folder;
    const auto config = folder.write("korvex.json", standby_config(broker.port()));
    service_process_t service(folder.path() / "var", {"-c", config.string(), "-v"});
    ASSERT_TRUE(service.wait_for_message(standby_line, startup_timeout));
    ASSERT_TRUE(service.wait_for_inotify_watch(startup_timeout));
    c.change(config);
    EXPECT_EQ(service.wait_exit(stop_timeout), 1);
    const auto messages = service.messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[messages.size() - 2], "Работа клиента завершена");
    EXPECT_EQ(messages.back(), closing_line);
    EXPECT_EQ(service.count_message("Перезапуск драйвера..."), 1);
  }
}

TEST(Service, StopSignalsEndEveryWaitWithTheClosingLines) {
  enum class where_t { standby, missing_config, publishing };
  const struct {
    where_t where;
    int signal;
    const char* line;
  } cases[] = {
      {where_t::standby, SIGTERM, "Termination request (15) : завершение работы"},
      {where_t::standby, SIGINT, "Interactive attention signal (2) : завершение работы"},
      {where_t::missing_config, SIGTERM, "Termination request (15) : завершение работы"},
      {where_t::missing_config, SIGINT, "Interactive attention signal (2) : завершение работы"},
      {where_t::publishing, SIGTERM, "Termination request (15) : завершение работы"},
      {where_t::publishing, SIGINT, "Interactive attention signal (2) : завершение работы"},
      {where_t::publishing, SIGUSR1, "User signal (10) : завершение работы"},
  };
  broker_t broker;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.line) + " where " + std::to_string(static_cast<int>(c.where)));
    temp_dir_t folder;
    auto config = folder.path() / "korvex.json";
    if (c.where == where_t::standby) folder.write("korvex.json", standby_config(broker.port()));
    if (c.where == where_t::publishing) folder.write("korvex.json", serving_config(broker.port()));
    service_process_t service(folder.path() / "var", {"-v", "-c", config.string()});
    switch (c.where) {
      case where_t::standby:
        ASSERT_TRUE(service.wait_for_message(standby_line, startup_timeout));
        break;
      case where_t::missing_config:
        ASSERT_TRUE(service.wait_for_message(config.string() + " : не найден : ожидание", startup_timeout));
        break;
      case where_t::publishing:
        ASSERT_TRUE(service.wait_for_message(publish_start_line, startup_timeout));
        break;
    }
    service.send_signal(c.signal);
    EXPECT_EQ(service.wait_exit(stop_timeout), 1);
    const auto messages = service.messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(service.count_message(c.line), 1);
    EXPECT_EQ(messages.back(), closing_line);
    if (c.where == where_t::publishing) {
      EXPECT_EQ(service.count_message("Очередь исходящих сообщений : завершено"), 1);
    }
  }
}

TEST(Service, ConfigurationErrorIsLoggedAsWrittenAndEndsWithCodeOne) {
  temp_dir_t folder;
  // The template name holds braces: the error text must come out verbatim.
  const auto config = folder.write("korvex.json", R"({"ports": [{
      "connection": {"name": "line", "type": "base.tcp", "enabled": true, "tcp": {"url": "127.0.0.1", "port": 1502}},
      "devices": [{"name": "meter", "type": "mb-tcp", "sid": 1, "cname": "meter", "enabled": true}],
      "parameters": [{"cname": "meter", "config": "meter{1}"}]}]})");
  service_process_t service(folder.path() / "var", {"-c", config.string()});
  EXPECT_EQ(service.wait_exit(startup_timeout), 1);
  EXPECT_EQ(service.count_message(config.string() +
                                  " : ошибка конфигурации : /usr/share/korvex/templates/meter{1}.json : не найден "
                                  "шаблон описания параметров"),
            1);
  EXPECT_EQ(service.messages().back(), closing_line);
}
