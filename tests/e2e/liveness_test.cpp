// The korvex binary left running against what would hang it, spin a core or
// leave a connection dead: an endless script, a host that does not resolve
// yet, nothing to poll, a broker that refuses or drops the client.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/broker.hpp"
#include "support/log_capture.hpp"
#include "support/modbus_slave.hpp"
#include "support/net.hpp"
#include "support/process.hpp"
#include "support/service_process.hpp"
#include "support/temp_dir.hpp"

using namespace std::chrono_literals;
using korvex_test::broker_t;
using korvex_test::modbus_slave_t;
using korvex_test::service_process_t;
using korvex_test::temp_dir_t;
using korvex_test::wait_until;

namespace {

constexpr auto deadline = 20s;
constexpr auto stop_deadline = 2s;
const std::string connected_line = "Брокер : подключение : No error. (0)";
const std::string closing_line = "Универсальный драйвер устройств MODBUS версии 1.0.11 : работа завершена";

// One TCP connection "line" with device "dev" (sid 1), the given channels.
std::string config_text(int broker_port, const std::string& host, int device_port, int poll_interval,
                        const std::string& channels, const std::string& keep_alive = "60") {
  return R"({"mqtt": {"url": "127.0.0.1", "port": )" + std::to_string(broker_port) + R"(, "keep_alive": )" +
         keep_alive + R"(}, "ports": [{"connection": {"name": "line", "type": "base.tcp", "rto": 300, "sto": 300,
         "poll_interval": )" + std::to_string(poll_interval) + R"(, "tcp": {"url": ")" + host + R"(", "port": )" +
         std::to_string(device_port) + R"(}}, "devices": [{"name": "dev", "type": "mb-tcp", "sid": 1, "cname": "dev"}],
         "parameters": [{"cname": "dev", "config": {"channels": [)" + channels + "]}}]}]}";
}

std::string channel(const std::string& name, int address, const std::string& extra = "") {
  return R"({"name": ")" + name + R"(", "value_type": "u16", "reg_type": "holding", "reg_addr": )" +
         std::to_string(address) + extra + "}";
}

int count_of(const std::string& text, const std::string& part) {
  int count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

// User and system CPU time of a process, in clock ticks.
long cpu_ticks(int pid) {
  const std::string stat = korvex_test::read_file("/proc/" + std::to_string(pid) + "/stat");
  // The fields after the command, which may hold spaces: state is the 3rd.
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  const std::vector<std::string> values{std::istream_iterator<std::string>(fields), {}};
  return std::stol(values.at(11)) + std::stol(values.at(12));
}

// Calls `visit` with a copy, taken with pidfd_getfd, of each of the
// service's sockets connected to the loopback port.
template <typename Visit>
void for_each_socket_to(int pid, int port, Visit visit) {
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    const int copy = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, std::stoi(entry.path().filename()), 0));
    sockaddr_in peer{};
    socklen_t peer_size = sizeof peer;
    if (getpeername(copy, reinterpret_cast<sockaddr*>(&peer), &peer_size) == 0 && peer.sin_family == AF_INET &&
        ntohs(peer.sin_port) == port) {
      visit(copy);
    }
    close(copy);
  }
  close(pidfd);
}

// TCP_NODELAY of the service's connections to the broker (set only when set
// on each of them).
std::optional<bool> broker_socket_nodelay(int pid, int broker_port) {
  std::optional<bool> nodelay;
  for_each_socket_to(pid, broker_port, [&](int socket) {
    int value = 0;
    socklen_t size = sizeof value;
    if (getsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &value, &size) == 0) nodelay = nodelay.value_or(true) && value != 0;
  });
  return nodelay;
}

// Whether the service's connection to the broker takes no more bytes: its
// socket is not writable.
bool broker_socket_full(int pid, int broker_port) {
  bool full = false;
  for_each_socket_to(pid, broker_port, [&](int socket) {
    pollfd polled{socket, POLLOUT, 0};
    full = ::poll(&polled, 1, 0) == 0;
  });
  return full;
}

// A moment on the clock korvex stamps its lines with: local time, read as if
// it were UTC, to the millisecond. Only differences within a test are
// taken, so the zone does not matter (a change to summer time would).
using log_time_t = std::chrono::sys_time<std::chrono::milliseconds>;

log_time_t log_clock_now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&seconds, &local);
  const std::chrono::year_month_day day{std::chrono::year(local.tm_year + 1900),
                                        std::chrono::month(static_cast<unsigned>(local.tm_mon + 1)),
                                        std::chrono::day(static_cast<unsigned>(local.tm_mday))};
  return std::chrono::sys_days(day) + std::chrono::hours(local.tm_hour) + std::chrono::minutes(local.tm_min) +
         std::chrono::seconds(local.tm_sec) +
         std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
}

// When korvex wrote each complete line whose message starts with `text`,
// from the "[2024-05-01 12:00:00.123]" in front of it. These times leave out
// how late the test thread saw the lines.
std::vector<log_time_t> logged_times(const service_process_t& service, const std::string& text) {
  std::vector<log_time_t> times;
  std::istringstream lines(service.output_text());
  for (std::string line; std::getline(lines, line) && !lines.eof();) {
    int year = 0;
    unsigned month = 0, day = 0;
    int hour = 0, minute = 0, second = 0, millisecond = 0;
    if (!korvex_test::message_of(line).starts_with(text) ||
        std::sscanf(line.c_str(), "[%d-%u-%u %d:%d:%d.%d]", &year, &month, &day, &hour, &minute, &second,
                    &millisecond) != 7) {
      continue;
    }
    times.push_back(std::chrono::sys_days(std::chrono::year(year) / std::chrono::month(month) / std::chrono::day(day)) +
                    std::chrono::hours(hour) + std::chrono::minutes(minute) + std::chrono::seconds(second) +
                    std::chrono::milliseconds(millisecond));
  }
  return times;
}

// Whether a connect to the loopback port is under way and unanswered (a
// socket in SYN-SENT): korvex is then blocked in it or its library waits.
bool connect_pending_to(int port) {
  char remote_port[8];
  std::snprintf(remote_port, sizeof remote_port, ":%04X", static_cast<unsigned>(port));
  std::istringstream table(korvex_test::read_file("/proc/net/tcp"));
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    if (fields >> slot >> local >> remote >> state && state == "02" && remote.ends_with(remote_port)) return true;
  }
  return false;
}

// A broker and the service on one configuration in a folder of its own; the
// mounts lay files of the test over the machine's, for the service alone.
struct rig_t {
  explicit rig_t(bool anonymous = true) : broker({.anonymous = anonymous}) {}
  service_process_t& start(const std::string& text, const std::vector<korvex_test::bind_mount_t>& mounts = {}) {
    config = folder.write("korvex.json", text);
    service = std::make_unique<service_process_t>(folder.path(), std::vector<std::string>{"-c", config, "-v"}, mounts);
    return *service;
  }
  void expect_sigterm_ends_it() {
    service->send_signal(SIGTERM);
    EXPECT_EQ(service->wait_exit(stop_deadline), 1) << service->output_text();
    const auto messages = service->messages();
    EXPECT_TRUE(!messages.empty() && messages.back() == closing_line);
  }

  broker_t broker;
  temp_dir_t folder;
  std::string config;
  std::unique_ptr<service_process_t> service;  // goes first
};

}  // namespace

// An endless condition is abandoned after its budget, read or write alike: the
// channel gets its failure marker, the heap keeps serving the other channels
// and commands, and the process still stops on SIGTERM.
TEST(Liveness, EndlessScriptIsAbandonedAndThePortGoesOn) {
  rig_t rig;
  modbus_slave_t slave(korvex_test::modbus_transport_t::tcp);
  slave.set_holding_registers(0, {21, 40, 3});
  auto& service = rig.start(config_text(
      rig.broker.port(), "127.0.0.1", slave.port(), 1,
      channel("loop", 0, R"(, "converter_read": "for(;;){try{for(;;){}}catch(e){}}")") + "," +
          channel("twice", 0, R"(, "converter_read": "value*2")") + "," + channel("sp", 1, R"(, "read_only": false)") +
          "," + channel("guarded", 2, R"(, "read_only": false, "converter_write": "while(true){}")")));
  const std::string timed_out = "duktape : превышено время выполнения (100 мсек)";
  ASSERT_TRUE(service.wait_for("loop : ошибка обработки значения : " + timed_out, deadline, 2)) << service.output_text();
  std::map<std::string, std::string> values;
  for (const auto& message : rig.broker.collect("/devices/#", 4, 5s)) values[message.topic] = message.payload;
  EXPECT_EQ(values["/devices/dev_1/controls/loop/meta/error"], "r");
  EXPECT_EQ(values["/devices/dev_1/controls/twice"], "42.00");

  // A command that reaches the broker before korvex's subscription is lost.
  for (const std::string name : {"guarded", "sp"}) {
    ASSERT_TRUE(rig.broker.wait_for_subscription("/devices/dev_1/controls/" + name + "/on")) << rig.broker.log();
  }
  rig.broker.publish("/devices/dev_1/controls/guarded/on", "7");
  EXPECT_TRUE(service.wait_for("1::dev_1::guarded : ошибка : " + timed_out, deadline)) << service.output_text();
  rig.broker.publish("/devices/dev_1/controls/sp/on", "55");
  EXPECT_TRUE(service.wait_for("1::dev_1::sp : 55 : установка значения : успешно", deadline)) << service.output_text();
  EXPECT_EQ(slave.holding_registers(1, 2), (std::vector<uint16_t>{55, 3}));
  rig.expect_sigterm_ends_it();
}

// Built-ins that would loop for minutes in C or take the machine's memory end
// at the engine's limits, the heap's cap or the budget: each such channel
// reads "r" with the reason in its error line, the next condition on the
// heap still works, a plain channel of the port keeps its one-second rhythm
// and the process stays small. A write condition fails the same way.
TEST(Liveness, RunawayBuiltinsEndAndThePortKeepsItsRhythm) {
  const std::string failed = "duktape : ошибка выполнения : ";
  const std::string alloc_failed = failed + "Error: alloc failed";
  const std::string timed_out = "duktape : превышено время выполнения (100 мсек)";
  // Each row's reasons are the limits it can meet first. The regexp, the
  // repeat and the push meet theirs within a millisecond; the join meets
  // the cap about when the budget runs out, so which comes first depends on
  // the build and the machine, and either ends it rightly.
  const struct {
    std::string name;
    std::string script;
    std::vector<std::string> reasons;
  } rows[] = {
      {"regexp", "/(a+)+$/.test('aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa!')", {failed + "RangeError: regexp step limit"}},
      // A sparse array's join allocates a key for every element it reads,
      // and its text grows by the separator.
      {"join", "Array(50000000).join('ab')", {alloc_failed, timed_out}},
      // The same on a heap of many small objects, each of which the engine
      // would try to compact again at every refused allocation; with no
      // separator the text never grows, so only the budget ends it.
      {"objects", "b=[];for(i=0;i<10000;i++)b.push([i]);Array(50000000).join('')", {timed_out}},
      {"repeat", "'x'.repeat(1000000000)", {alloc_failed}},
      {"push", "a=[];s='x'.repeat(65536);for(i=0;;i++)a.push(s+i)", {alloc_failed}},
  };
  rig_t rig;
  modbus_slave_t slave(korvex_test::modbus_transport_t::tcp);
  slave.set_holding_registers(0, {21, 40, 3});
  std::string channels;
  for (const auto& row : rows) {
    channels += channel(row.name, 0, R"(, "converter_read": ")" + row.script + R"(")") + "," +
                channel(row.name + "_next", 0, R"(, "converter_read": "value*2")") + ",";
  }
  channels += channel("plain", 1) + "," +
              channel("w", 2, R"(, "read_only": false, "converter_write": ")" + rows[0].script + R"(")");
  auto& service = rig.start(config_text(rig.broker.port(), "127.0.0.1", slave.port(), 1, channels));
  // The error lines of a row so far, whichever of its reasons each names.
  const auto failures = [&](const auto& row) {
    int count = 0;
    for (const auto& reason : row.reasons) count += service.count(row.name + " : ошибка обработки значения : " + reason);
    return count;
  };
  for (const auto& row : rows) {
    ASSERT_TRUE(wait_until([&] { return failures(row) >= 1; }, deadline)) << row.name << "\n" << service.output_text();
  }

  // Four passes more, each with every runaway in it: the subscriber gets
  // the stored values first, then one of each a pass.
  korvex_test::mqtt_subscriber_t subscriber(rig.broker, {"/devices/dev_1/controls/#"});
  const auto received = [&](const std::string& channel_topic, const std::string& payload) {
    const auto messages = subscriber.wait_for(0, 0ms);
    return std::count_if(messages.begin(), messages.end(), [&](const auto& message) {
      return message.topic == "/devices/dev_1/controls/" + channel_topic && message.payload == payload;
    });
  };
  std::map<std::string, int> failures_before;
  for (const auto& row : rows) failures_before[row.name] = failures(row);
  // Counted after the failures: of the passes that end from here on, the
  // first may have begun before them, each later one began after them and
  // after the subscriber was live.
  const std::string pass_end = "Порт 1 : line : опрос завершен : ";
  const auto passes_before = logged_times(service, pass_end).size();
  ASSERT_TRUE(wait_until([&] { return logged_times(service, pass_end).size() >= passes_before + 5; }, deadline))
      << service.output_text();
  for (const auto& row : rows) {
    EXPECT_GE(failures(row), failures_before[row.name] + 4) << row.name << "\n" << service.output_text();
  }
  // Their values reach the subscriber a moment after the passes end.
  EXPECT_TRUE(wait_until([&] { return received("plain", "40") >= 5; }, deadline));
  for (const auto& row : rows) {
    EXPECT_TRUE(wait_until([&] { return received(row.name + "/meta/error", "r") >= 4; }, deadline)) << row.name;
    EXPECT_TRUE(wait_until([&] { return received(row.name + "_next", "42.00") >= 4; }, deadline)) << row.name;
  }

  ASSERT_TRUE(rig.broker.wait_for_subscription("/devices/dev_1/controls/w/on")) << rig.broker.log();
  rig.broker.publish("/devices/dev_1/controls/w/on", "7");
  EXPECT_TRUE(service.wait_for("1::dev_1::w : ошибка : " + rows[0].reasons[0], deadline)) << service.output_text();
  // The peak, so that a gigabyte held for a moment between two looks counts.
  const std::string status = korvex_test::read_file("/proc/" + std::to_string(service.pid()) + "/status");
  std::smatch peak;
  ASSERT_TRUE(std::regex_search(status, peak, std::regex("VmHWM:\\s+([0-9]+) kB"))) << status;
  EXPECT_LT(std::stol(peak[1]), 600L * 1024) << "kB at most, under the address sanitizer too";
  rig.expect_sigterm_ends_it();
}

// Nothing read in a pass and no interval: each pass waits a second instead of
// spinning a core and rotating the log away. Nothing to read at all, or a
// device that is not there (nothing listens on its port).
TEST(Liveness, PassThatReadsNothingWaitsASecond) {
  const struct {
    std::string channels;
    std::string pass_line;
  } cases[] = {
      {channel("off", 0, R"(, "enabled": false)"), "Порт 1 : line : начало опроса : 0 параметров"},
      {channel("t", 0), "Порт 1 : line : начало опроса : 1 параметр"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pass_line);
    rig_t rig;
    // Bound and never listening for the whole test: the device's connects
    // are refused, and no parallel test can serve on its port meanwhile.
    const korvex_test::tcp_listener_t absent_device(false);
    auto& service = rig.start(config_text(rig.broker.port(), "127.0.0.1", absent_device.port(), 0, c.channels));
    ASSERT_TRUE(service.wait_for(c.pass_line, deadline)) << service.output_text();
    // The clock is read before the count: each pass counted from here
    // begins after it, so the test thread's own lateness can only lengthen
    // what is measured.
    const auto start = std::chrono::steady_clock::now();
    const long start_ticks = cpu_ticks(service.pid());
    const int before = service.count(c.pass_line);
    ASSERT_TRUE(service.wait_for(c.pass_line, deadline, before + 3)) << service.output_text();
    const auto wall = std::chrono::steady_clock::now() - start;
    const double cpu_seconds = static_cast<double>(cpu_ticks(service.pid()) - start_ticks) / sysconf(_SC_CLK_TCK);
    EXPECT_GE(wall, 2s) << "three passes, each a second after the last";
    EXPECT_LT(cpu_seconds, 0.5 * std::chrono::duration<double>(wall).count());
    const auto passes = logged_times(service, c.pass_line);
    ASSERT_GE(passes.size(), static_cast<size_t>(before + 3));
    EXPECT_LT(passes[before + 2] - passes[before], 4s) << "waits of a second, not of two\n" << service.output_text();
    rig.expect_sigterm_ends_it();
  }
}

// A device host that does not resolve at start (no name service yet) skips
// the passes with a warning naming the connection, and is polled as soon as
// the name resolves. The service reads a hosts file of the test's own and
// asks no name server.
TEST(Liveness, HostThatDoesNotResolveAtStartIsPolledOnceItDoes) {
  rig_t rig;
  modbus_slave_t slave(korvex_test::modbus_transport_t::tcp);
  slave.set_holding_registers(0, {77});
  const auto hosts = rig.folder.write("hosts", "127.0.0.1 localhost\n");
  const auto nsswitch = rig.folder.write("nsswitch.conf", "hosts: files\n");
  auto& service = rig.start(config_text(rig.broker.port(), "plc.korvex.test", slave.port(), 0, channel("t", 0)),
                            {{hosts, "/etc/hosts"}, {nsswitch, "/etc/nsswitch.conf"}});
  ASSERT_TRUE(service.wait_for("Порт 1 : line : соединение недоступно : опрос пропущен", deadline, 2))
      << service.output_text();
  const auto port = std::to_string(slave.port());
  EXPECT_GE(service.count("plc.korvex.test:" + port + " : адрес не найден : Name or service not known"), 2);
  std::ofstream(hosts, std::ios::app) << "127.0.0.1 plc.korvex.test\n";
  const auto kept = rig.broker.collect("/devices/dev_1/controls/t", 1, deadline);
  EXPECT_TRUE(kept.size() == 1 && kept[0].payload == "77") << service.output_text();
  rig.expect_sigterm_ends_it();
}

// A keep-alive that the broker library cannot use is a configuration error
// naming the key; the limits themselves are taken.
TEST(Liveness, KeepAliveOutsideTheLibraryRangeIsRefusedAtLoad) {
  for (const std::string keep_alive : {"0", "3", "4", "-1", "65536", "5", "65535"}) {
    SCOPED_TRACE(keep_alive);
    rig_t rig;
    auto& service = rig.start(config_text(rig.broker.port(), "127.0.0.1", 1502, 60, channel("t", 0), keep_alive));
    if (const int value = std::stoi(keep_alive); value >= 5 && value <= 65535) {
      EXPECT_TRUE(service.wait_for(connected_line, deadline)) << service.output_text();
      rig.expect_sigterm_ends_it();
      continue;
    }
    EXPECT_EQ(service.wait_exit(deadline), 1);
    EXPECT_EQ(service.count(rig.config + " : ошибка конфигурации : Недопустимое значение \"keep_alive\" : " + keep_alive), 1)
        << service.output_text();
  }
}

// A broker that refuses the client is tried once a second for as long as it
// refuses, on one connection per attempt: the refusal and the loss it ends in
// are logged, and nothing asks for a reconnection beside the library's loop.
TEST(Liveness, RefusingBrokerIsRetriedOnceASecondOnOneConnection) {
  rig_t rig(false);
  auto& service = rig.start(config_text(rig.broker.port(), "127.0.0.1", 1502, 60, channel("t", 0)));
  const std::string refused = "Брокер : подключение : The connection was refused. (5)";
  ASSERT_TRUE(service.wait_for(refused, deadline));
  // The clock is read before the count: the six attempts counted from here
  // all come after it, five gaps apart, however late the test thread is.
  const auto start = std::chrono::steady_clock::now();
  const int before = service.count(refused);
  ASSERT_TRUE(service.wait_for(refused, deadline, before + 6)) << service.output_text();
  EXPECT_GE(std::chrono::steady_clock::now() - start, 4500ms) << "not hammered";
  const auto attempts_at = logged_times(service, refused);
  ASSERT_GE(attempts_at.size(), static_cast<size_t>(before + 6));
  EXPECT_LT(attempts_at[before + 5] - attempts_at[before], 10s) << "a second apart, not a delay that grows";
  // Counted once the service has ended: every refusal it logged had its
  // connection logged by the broker first, and at most one attempt was cut
  // short by the stop before its refusal.
  rig.expect_sigterm_ends_it();
  const int attempts = service.count(refused);
  const int connections = count_of(rig.broker.log(), "New connection from") - 1;  // less the rig's probe
  EXPECT_GE(connections, attempts) << rig.broker.log();
  EXPECT_LE(connections, attempts + 1) << rig.broker.log();
  EXPECT_GE(count_of(service.output_text(), "] Брокер : The connection was refused. (5)"), attempts - 1)
      << service.output_text();
  EXPECT_EQ(count_of(service.output_text(), "запрос на переподключение"), 0) << service.output_text();
}

// The broker comes up after the gateway, as at boot or after a restart: the
// pass skipped for it is made up within seconds of its arrival instead of a
// poll interval later, and the wait is warned about once, not every second.
TEST(Liveness, BrokerThatComesUpLateGetsTheFirstValuesWithinSeconds) {
  rig_t rig;
  rig.broker.kill();
  modbus_slave_t slave(korvex_test::modbus_transport_t::tcp);
  slave.set_holding_registers(0, {77});
  auto& service = rig.start(config_text(rig.broker.port(), "127.0.0.1", slave.port(), 600, channel("t", 0)));
  const std::string waiting = "Порт 1 : line : ожидание подключения к брокеру";
  ASSERT_TRUE(service.wait_for(waiting, deadline)) << service.output_text();
  std::this_thread::sleep_for(3s);
  rig.broker.start();
  // Read once the broker serves, and compared with korvex's own time of the
  // pass: a late test thread can only shorten what is measured.
  const auto broker_back = log_clock_now();
  const std::string pass_start = "Порт 1 : line : начало опроса : ";
  ASSERT_TRUE(service.wait_for(pass_start + "1 параметр", deadline)) << service.output_text();
  EXPECT_LT(logged_times(service, pass_start).at(0) - broker_back, 4s) << service.output_text();
  // With an interval of ten minutes, the value comes from that pass.
  const auto values = rig.broker.collect("/devices/dev_1/controls/t", 1, 15s);
  ASSERT_EQ(values.size(), 1u) << service.output_text();
  EXPECT_EQ(values[0].payload, "77");
  EXPECT_EQ(service.count(waiting), 1) << service.output_text();
  rig.expect_sigterm_ends_it();
}

// A broker back after a short outage, or after one longer than a minute, is
// reached again within a couple of seconds on one connection, and the values
// flow again.
TEST(Liveness, BrokerBackAfterAnOutageIsReachedWithinSeconds) {
  for (const auto outage : {1s, 65s}) {
    SCOPED_TRACE(outage.count());
    rig_t rig;
    modbus_slave_t slave(korvex_test::modbus_transport_t::tcp);
    slave.set_holding_registers(0, {77});
    auto& service = rig.start(config_text(rig.broker.port(), "127.0.0.1", slave.port(), 1, channel("t", 0)));
    const std::string topic = "/devices/dev_1/controls/t";
    ASSERT_EQ(rig.broker.collect(topic, 1, deadline).size(), 1u) << service.output_text();
    const auto killed = std::chrono::steady_clock::now();
    // The port stays bound and refuses korvex's connects for the whole
    // outage, and no parallel test can take it meanwhile.
    rig.broker.kill();
    ASSERT_TRUE(service.wait_for("Порт 1 : line : ожидание подключения к брокеру", deadline)) << service.output_text();
    // Every pass so far began before the loss; while the broker is away
    // none begins.
    const std::string pass_start = "Порт 1 : line : начало опроса : ";
    const auto passes_before = logged_times(service, pass_start).size();
    std::this_thread::sleep_until(killed + outage);
    // The restarted broker keeps nothing: what arrives was published anew.
    rig.broker.start();
    // Read once the broker serves, and compared with korvex's own times: a
    // late test thread can only shorten what is measured.
    const auto broker_back = log_clock_now();
    ASSERT_TRUE(service.wait_for(connected_line, deadline, 2)) << service.output_text();
    EXPECT_LT(logged_times(service, connected_line).at(1) - broker_back, 3s) << "tried again once a second\n"
                                                                             << service.output_text();
    ASSERT_TRUE(wait_until([&] { return logged_times(service, pass_start).size() > passes_before; }, deadline))
        << service.output_text();
    EXPECT_LT(logged_times(service, pass_start).at(passes_before) - broker_back, 4s) << "polled again at once\n"
                                                                                     << service.output_text();
    ASSERT_EQ(rig.broker.collect(topic, 1, deadline).size(), 1u) << service.output_text();
    // A second connection would come within a second of the first: three
    // passes after the return, a second apart, it would be there.
    ASSERT_TRUE(wait_until([&] { return logged_times(service, pass_start).size() >= passes_before + 3; }, deadline))
        << service.output_text();
    const auto log = rig.broker.log();
    EXPECT_EQ(count_of(log, "New client connected from"), 2) << "the gateway and the rig's subscriber\n" << log;
    EXPECT_EQ(count_of(log, "New connection from"), 3) << "the rig's probe besides\n" << log;
    rig.expect_sigterm_ends_it();
  }
}

// A session that the broker drops is followed by exactly one new connection,
// and every connection sends without Nagle's delay.
TEST(Liveness, DroppedSessionIsReconnectedOnceWithoutNagle) {
  rig_t rig;
  auto& service = rig.start(config_text(rig.broker.port(), "127.0.0.1", 1502, 60, channel("t", 0)));
  // The connect line is written before the option is set on the socket.
  const auto without_nagle = [&] {
    return wait_until([&] { return broker_socket_nodelay(service.pid(), rig.broker.port()) == true; }, deadline);
  };
  ASSERT_TRUE(service.wait_for(connected_line, deadline)) << service.output_text();
  EXPECT_TRUE(without_nagle());
  std::smatch id;
  const std::string first_log = rig.broker.log();
  ASSERT_TRUE(std::regex_search(first_log, id, std::regex("as (korvex#[0-9a-f]+)"))) << first_log;
  for (int kick = 1; kick <= 2; ++kick) {
    // A client with the same id takes the session over.
    korvex_test::run_process({"/usr/bin/mosquitto_pub", "-h", rig.broker.host(), "-p",
                              std::to_string(rig.broker.port()), "-i", id[1].str(), "-t", "kick", "-m", "x"},
                             10s);
    ASSERT_TRUE(service.wait_for(connected_line, deadline, kick + 1)) << service.output_text();
    EXPECT_TRUE(without_nagle()) << "after reconnection " << kick;
  }
  const auto log = rig.broker.log();
  EXPECT_EQ(count_of(log, "New connection from"), 1 + count_of(log, "New client connected from"))
      << "the rig's probe; every other connection became a session\n" << log;
  rig.expect_sigterm_ends_it();
}

// A broker that stops reading keeps its socket open and is noticed only when
// the keep-alive runs out; meanwhile the port polls without pause. The values
// waiting for the broker are bounded, the ones dropped are counted in one
// line once the broker reads again, and fresh values flow again.
TEST(Liveness, StalledBrokerKeepsMemoryBoundedAndValuesFlowAgain) {
  // Freed messages would stay in AddressSanitizer's quarantine and count as
  // the service's memory.
  const char* const options = std::getenv("ASAN_OPTIONS");
  setenv("ASAN_OPTIONS", (std::string(options != nullptr ? options : "") + ":quarantine_size_mb=0").c_str(), 1);
  rig_t rig;
  modbus_slave_t slave(korvex_test::modbus_transport_t::tcp);
  // Long string values: the socket buffers between the service and the
  // broker are full within seconds.
  slave.set_holding_registers(0, std::vector<uint16_t>(120, 0x4141));
  slave.set_holding_registers(120, {1});
  std::string channels;
  for (const std::string name : {"s0", "s1", "s2", "s3"}) {
    channels += R"({"name": ")" + name + R"(", "value_type": "str240", "reg_type": "holding", "reg_addr": 0},)";
  }
  // A keep-alive far beyond the stall: the service must not notice it.
  auto& service = rig.start(
      config_text(rig.broker.port(), "127.0.0.1", slave.port(), 0, channels + channel("t", 120), "600"));
  // Measured from a steady run on.
  ASSERT_TRUE(service.wait_for("/devices/dev_1/controls/t : 1", deadline, 300)) << service.output_text();
  const auto memory_kib = [&](const std::string& field) {
    std::istringstream status(korvex_test::read_file("/proc/" + std::to_string(service.pid()) + "/status"));
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with(field + ":")) return std::stol(line.substr(field.size() + 1));
    }
    return -1L;
  };
  const long before = memory_kib("VmRSS");
  ASSERT_EQ(kill(rig.broker.pid(), SIGSTOP), 0);
  // How much the kernel holds between the service and the broker is the
  // machine's: the broker's receive buffer alone grows up to tcp_rmem's
  // maximum, 32 MiB on some machines, which would take the whole stall and
  // leave nothing to drop. The stall is counted from when the path is full,
  // found full at two looks a thousand reads apart: a stopped broker never
  // empties it.
  bool full = false;
  std::size_t full_at = 0;
  ASSERT_TRUE(wait_until(
      [&] {
        if (!broker_socket_full(service.pid(), rig.broker.port())) {
          full = false;
          return false;
        }
        if (!full) full_at = slave.request_count();
        full = true;
        return slave.request_count() >= full_at + 1'000;
      },
      60s))
      << "the connection to the stopped broker never filled";
  // Kept, these values would add some 20 MiB beyond what the socket buffers
  // take; bounded, the service grows by about 7 MiB.
  const std::size_t stalled_reads = slave.request_count() + 70'000;
  EXPECT_TRUE(wait_until([&] { return slave.request_count() >= stalled_reads; }, 120s));
  EXPECT_LT(memory_kib("VmHWM") - before, 12 * 1024);
  ASSERT_EQ(kill(rig.broker.pid(), SIGCONT), 0);

  korvex_test::mqtt_subscriber_t subscriber(rig.broker, {"/devices/dev_1/controls/t"});
  slave.set_holding_registers(120, {2});
  EXPECT_TRUE(wait_until(
      [&] {
        const auto messages = subscriber.wait_for(SIZE_MAX, 0ms);
        return std::any_of(messages.begin(), messages.end(), [](const auto& message) { return message.payload == "2"; });
      },
      deadline));
  // The drop line waits for a drained queue, which a port polling without
  // pause may keep full on a busy machine: a silent device slows it down.
  slave.set_faults({.no_reply = true});
  const std::string dropped_line = "] Очередь исходящих сообщений : отброшено сообщений : ";
  EXPECT_TRUE(wait_until([&] { return service.output_text().find(dropped_line) != std::string::npos; }, deadline));
  const std::string output = service.output_text();
  EXPECT_EQ(count_of(output, dropped_line), 1) << "one line for the whole stall";
  if (const auto at = output.find(dropped_line); at != std::string::npos) {
    EXPECT_GT(std::stol(output.substr(at + dropped_line.size())), 0);
  }
  rig.expect_sigterm_ends_it();
}

// The stop ends the process within its deadline whatever the broker does:
// refuses, accepts and never answers, drops every SYN (at start, and after a
// loss), stops reading, or serves. Only a connect that the library is blocked
// in needs the shutdown's deadline; otherwise the client ends in order.
TEST(Liveness, StopEndsTheServiceInEveryBrokerState) {
  enum class state_t { connected, refused, silent, dropping_at_start, dropping_after_loss, stalled };
  const struct {
    const char* name;
    state_t state;
    bool in_order;
  } rows[] = {
      {"connected", state_t::connected, true},
      {"refused", state_t::refused, true},
      {"silent", state_t::silent, true},
      {"dropping SYNs at start", state_t::dropping_at_start, false},
      {"dropping SYNs after a loss", state_t::dropping_after_loss, false},
      {"stalled", state_t::stalled, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    rig_t rig(row.state != state_t::refused);
    // Where the broker is not a broker, the service is pointed at a listener
    // of the test's own.
    std::optional<korvex_test::tcp_listener_t> listener;
    korvex_test::owned_fd_t accepted, queued;
    const auto hold_the_backlog = [&](uint16_t port) {
      listener.emplace(false, port);
      listener->listen(0);
      queued = korvex_test::owned_fd_t(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      const sockaddr_in address{AF_INET, htons(listener->port()), {htonl(INADDR_LOOPBACK)}, {}};
      ASSERT_EQ(::connect(queued.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    };
    int broker_port = rig.broker.port();
    if (row.state == state_t::silent) {
      listener.emplace();
      broker_port = listener->port();
    } else if (row.state == state_t::dropping_at_start) {
      hold_the_backlog(0);
      broker_port = listener->port();
    }
    auto& service = rig.start(config_text(broker_port, "127.0.0.1", 1502, 60, channel("t", 0)));
    switch (row.state) {
      case state_t::connected:
        ASSERT_TRUE(service.wait_for(connected_line, deadline)) << service.output_text();
        break;
      case state_t::refused:
        ASSERT_TRUE(service.wait_for("Брокер : подключение : The connection was refused. (5)", deadline, 2))
            << service.output_text();
        break;
      case state_t::silent:
        accepted = listener->accept();
        break;
      case state_t::dropping_at_start:
        ASSERT_TRUE(wait_until([&] { return connect_pending_to(broker_port); }, deadline)) << service.output_text();
        break;
      case state_t::dropping_after_loss:
        ASSERT_TRUE(service.wait_for(connected_line, deadline)) << service.output_text();
        rig.broker.kill();
        hold_the_backlog(static_cast<uint16_t>(rig.broker.port()));
        ASSERT_TRUE(service.wait_for("Брокер : The connection was lost. (7)", deadline)) << service.output_text();
        // The library's next attempt, due a second after the loss.
        ASSERT_TRUE(wait_until([&] { return connect_pending_to(broker_port); }, deadline)) << service.output_text();
        break;
      case state_t::stalled:
        ASSERT_TRUE(service.wait_for(connected_line, deadline)) << service.output_text();
        ASSERT_EQ(kill(rig.broker.pid(), SIGSTOP), 0);
        break;
    }
    rig.expect_sigterm_ends_it();
    if (row.in_order) {
      EXPECT_EQ(service.count("Работа клиента завершена"), 1) << service.output_text();
    }
    if (row.state == state_t::stalled) kill(rig.broker.pid(), SIGCONT);
  }
}

// A peer on the broker's address that answers with something that is no MQTT
// makes the broker library give up for good: the service then ends as on a
// change of its configuration, exit code 1 with its line, and the service
// manager starts it again. A broker that is only away is waited for, and
// reached within seconds once it is there.
TEST(Liveness, PeerThatIsNoBrokerEndsTheServiceAndAnAbsentBrokerIsWaitedFor) {
  const std::string http_page =
      "HTTP/1.1 400 Bad Request\r\nServer: nginx\r\nContent-Type: text/html\r\nContent-Length: 150\r\n"
      "Connection: close\r\n\r\n<html>\r\n<head><title>400 Bad Request</title></head>\r\n<body>\r\n<center>"
      "<h1>400 Bad Request</h1></center>\r\n<hr><center>nginx</center>\r\n</body>\r\n</html>\r\n";
  const struct {
    const char* name;
    std::optional<korvex_test::bytes_t> answer;  // nothing: no one listens
  } rows[] = {
      {"a web server's error page", korvex_test::bytes_t(http_page.begin(), http_page.end())},
      {"a CONNACK with return code 6", korvex_test::bytes_t{0x20, 0x02, 0x00, 0x06}},
      {"a one-byte CONNACK", korvex_test::bytes_t{0x20, 0x01, 0x00}},
      {"a DISCONNECT right after a good CONNACK", korvex_test::bytes_t{0x20, 0x02, 0x00, 0x00, 0xe0, 0x00}},
      {"no one listening", std::nullopt},
  };
  const std::string given_up = " : подключение больше не восстанавливается : перезапуск драйвера";
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    rig_t rig;
    modbus_slave_t slave(korvex_test::modbus_transport_t::tcp);
    slave.set_holding_registers(0, {77});
    rig.broker.kill();
    // Every connection gets the answer after its CONNECT, then the close.
    std::optional<korvex_test::tcp_listener_t> listener;
    std::atomic<bool> listening{true};
    std::thread peer;
    if (row.answer) {
      listener.emplace(true, static_cast<uint16_t>(rig.broker.port()));
      peer = std::thread([&] {
        while (listening) {
          try {
            const auto connection = listener->accept();
            if (korvex_test::wait_readable(connection.get())) {
              korvex_test::bytes_t connect(512);
              if (::recv(connection.get(), connect.data(), connect.size(), 0) > 0) {
                korvex_test::send_all(connection.get(), *row.answer);
              }
            }
          } catch (const std::exception&) {
          }
        }
      });
    }
    auto& service = rig.start(config_text(rig.broker.port(), "127.0.0.1", slave.port(), 1, channel("t", 0)));
    if (row.answer) {
      EXPECT_EQ(service.wait_exit(deadline), 1) << service.output_text();
      const auto messages = service.messages();
      EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                              [&](const std::string& line) { return line.ends_with(given_up); }),
                1)
          << service.output_text();
      EXPECT_EQ(service.count("Работа клиента завершена"), 1) << service.output_text();
      EXPECT_TRUE(!messages.empty() && messages.back() == closing_line) << service.output_text();
      listening = false;
      korvex_test::can_connect(rig.broker.port());  // ends the accept's wait
      peer.join();
      continue;
    }
    // Long enough for the library to have retried a few times.
    std::this_thread::sleep_for(3s);
    ASSERT_FALSE(service.wait_exit(0ms).has_value()) << service.output_text();
    rig.broker.start();
    // Read once the broker serves, and compared with korvex's own time of
    // the connection: a late test thread can only shorten what is measured.
    const auto broker_back = log_clock_now();
    ASSERT_TRUE(service.wait_for(connected_line, deadline)) << service.output_text();
    EXPECT_LT(logged_times(service, connected_line).at(0) - broker_back, 3s) << service.output_text();
    const auto values = rig.broker.collect("/devices/dev_1/controls/t", 1, deadline);
    ASSERT_EQ(values.size(), 1u) << service.output_text();
    EXPECT_EQ(values[0].payload, "77");
    EXPECT_EQ(count_of(service.output_text(), given_up), 0) << service.output_text();
    rig.expect_sigterm_ends_it();
  }
}
