#include "config/configuration_loader.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "config/cache_database.hpp"
#include "config/channel_loader.hpp"
#include "config/config_text.hpp"
#include "config/connection_loader.hpp"
#include "config/device_loader.hpp"
#include "config/json_numbers.hpp"
#include "config/statement_use.hpp"
#include "core/constants.hpp"
#include "core/exec_command.hpp"

namespace fs = std::filesystem;

namespace {

// Seconds; the limits of the MQTT keep-alive that the broker library takes.
constexpr int32_t min_keep_alive = 5;
constexpr int32_t max_keep_alive = 65535;

json parse_file(const fs::path& path) {
  std::ifstream input(path);
  return json::parse(input);
}

// The character set that devices get when they name no "codepage".
std::string system_charset() {
  const std::string output = exec_command("locale -k charmap");
  std::string charset = output.substr(output.rfind('=') == std::string::npos ? 0 : output.rfind('=') + 1);
  charset.erase(std::remove(charset.begin(), charset.end(), '"'), charset.end());
  return charset;
}

void wait_for_file(const fs::path& path) {
  if (fs::exists(fs::status(path))) return;
  spdlog::warn("{} : не найден : ожидание", path.string());
  while (!fs::exists(fs::status(path))) std::this_thread::sleep_for(std::chrono::seconds(1));
}

const char* const error_entry_message = "Ошибка описания пользовательского сообщения об ошибке";

// Exception codes are read as written: decimal, or hexadecimal after "0x".
// A reply carries the code in one byte.
uint8_t error_code(const json& code) {
  if (!code.is_string()) return static_cast<uint8_t>(whole_number(code, 0, UINT8_MAX, error_entry_message));
  return static_cast<uint8_t>(hex_or_decimal(code.get<std::string>(), UINT8_MAX, error_entry_message));
}

void load_errors(const json& errors, const int64_t& connection_id, const std::string& cname) {
  for (const auto& entry : errors) {
    // An entry of another type is refused in the JSON library's own words.
    if (!entry.is_object()) {
      throw json::type_error::create(
          305, std::string("cannot use operator[] with a string argument with ") + entry.type_name(), &entry);
    }
    const json* code = find_member(entry, "code");
    const json* message = find_member(entry, "message");
    if (code == nullptr || message == nullptr) {
      throw std::runtime_error(error_entry_message);
    }
    auto& insert = fresh_config_statement(insert_error);
    insert.bind(":connection_id", connection_id);
    insert.bind(":cname", cname);
    insert.bind(":code", static_cast<int>(error_code(*code)));
    insert.bind(":message", message->get<std::string>());
    if (exec_and_reset(insert) < 1) {
      throw std::runtime_error("Ошибка записи пользовательсткого сообщения об ошибке");
    }
  }
}

// The parameter set of a block: inline, or the template file it names.
json parameter_set(const json& config) {
  if (config.is_object()) return config;
  if (!config.is_string()) throw std::runtime_error("Неподдерживаемый тип описания блока параметров");
  // An absolute name replaces the templates directory.
  fs::path path = templates_directory / config.get<std::string>();
  path.replace_extension("json");
  if (!fs::exists(path)) {
    throw std::runtime_error(fmt::format("{} : не найден шаблон описания параметров", path.string()));
  }
  json content = parse_file(path);
  if (content.empty()) throw std::runtime_error("Ошибка файла описания блока параметров");
  return content.is_object() ? content : json::object();
}

void load_parameter_sets(const std::shared_ptr<SQLite::Database>& database, const int64_t& connection_id,
                         const json& parameters, const std::string& cname) {
  for (const auto& block : parameters) {
    const json* block_cname = find_member(block, "cname");
    if (!has_content(block_cname)) throw std::runtime_error("Не указано имя блока параметров");
    if (!block_cname->is_string() || block_cname->get_ref<const std::string&>() != cname) continue;
    const json* config = find_member(block, "config");
    if (!has_content(config)) throw std::runtime_error("Нет описания блока параметров");

    const json set = parameter_set(*config);
    load_errors(member_or_null(set, "errors"), connection_id, cname);
    load_channels(database, connection_id, member_or_null(set, "channels"), member_or_null(set, "classes"), cname,
                  std::string{});
  }
}

// The distinct cnames of a connection's stored devices, in storing order.
// Each parameter set is loaded once whatever order the devices come in:
// loading it again would store its channels twice, so they would be polled
// and published twice and an inverted bit flipped twice.
std::vector<std::string> stored_cnames(const int64_t& connection_id) {
  auto& select = fresh_config_statement(select_devices);
  statement_reset_guard_t guard(select);
  select.bind(":connection_id", connection_id);
  std::vector<std::string> cnames;
  std::set<std::string> seen;
  while (select.executeStep()) {
    std::string cname = select.getColumn(device_cname_column).getString();
    if (seen.insert(cname).second) cnames.push_back(std::move(cname));
  }
  return cnames;
}

std::string device_name_for_log(const json& device) {
  const json* name = find_member(device, "name");
  return name != nullptr && name->is_string() ? name->get<std::string>() : std::string{};
}

void load_port(const std::shared_ptr<SQLite::Database>& database, const json& port, const std::string& charset) {
  const json* connection = find_member(port, "connection");
  if (!has_content(connection)) throw std::runtime_error("Ошибка секции \"connection\"");
  const json* devices = find_member(port, "devices");
  if (!has_content(devices)) throw std::runtime_error("Ошибка секции \"devices\"");
  const json* parameters = find_member(port, "parameters");
  if (!has_content(parameters)) throw std::runtime_error("Ошибка секции \"parameters\"");

  const json* name = find_member(*connection, "name");
  if (!has_content(name)) throw std::runtime_error("Не указано имя соединения");
  const auto connection_name = name->get<std::string>();

  const int64_t connection_id = load_connection(database, *connection);
  if (connection_id == -1) {
    spdlog::warn("Порт [{}] пропущен...", connection_name);
    return;
  }
  for (const auto& device : *devices) {
    if (!load_device(connection_id, device, *parameters, charset)) {
      spdlog::warn("Устройство [{}:{}] пропущено...", connection_name, device_name_for_log(device));
    }
  }
  for (const auto& cname : stored_cnames(connection_id)) {
    load_parameter_sets(database, connection_id, *parameters, cname);
  }
}

service_settings_t read_settings(const json& config, bool is_debug, bool debug_fixed) {
  service_settings_t settings;
  settings.is_debug = is_debug;
  if (const json* log = find_member(config, "log"); log != nullptr && log->is_object()) {
    settings.max_size = whole_member_or(*log, "max_size", settings.max_size);
    settings.max_files = whole_member_or(*log, "max_files", settings.max_files);
    if (!debug_fixed) settings.is_debug = member_or(*log, "is_debug", settings.is_debug);
  }
  if (const json* mqtt = find_member(config, "mqtt"); mqtt != nullptr && mqtt->is_object()) {
    settings.url = member_or(*mqtt, "url", settings.url);
    settings.port = whole_member_or(*mqtt, "port", settings.port, 1, UINT16_MAX);
    // The broker library refuses every connect outside this range (and 0
    // turns its network thread into a busy loop): the service would only
    // ever wait for a broker it can never reach.
    settings.keep_alive = whole_member_or(*mqtt, "keep_alive", settings.keep_alive, min_keep_alive, max_keep_alive);
  }
  return settings;
}

}  // namespace

void build_cache_database(std::shared_ptr<SQLite::Database> database, const json& config,
                          const build_topics_t& build_topics) {
  const std::string charset = system_charset();
  create_cache_schema(*database);
  prepare_config_statements(*database);
  // The whole load is one transaction: written row by row, each insert
  // locked, wrote and unlocked the file on its own, and a large
  // configuration took seconds. Without a journal there is no rollback, so
  // a load that fails commits what it wrote, as it stood before.
  database->exec("BEGIN");
  // The statements must go before the database handle does, on the error
  // path too.
  try {
    const json* ports = find_member(config, "ports");
    if (!has_content(ports)) throw std::runtime_error("Ошибка секции \"ports\"");
    for (const auto& port : *ports) load_port(database, port, charset);
    build_topics(database);
  } catch (...) {
    release_config_statements();
    database->tryExec("COMMIT");
    throw;
  }
  release_config_statements();
  database->exec("COMMIT");
  // The pages read and written for the load are not needed again.
  database->exec("PRAGMA shrink_memory");
}

service_settings_t load_configuration(const fs::path& config_path, std::shared_ptr<SQLite::Database> database,
                                      bool is_debug, bool debug_fixed, const build_topics_t& build_topics) {
  try {
    wait_for_file(config_path);
    const json config = parse_file(config_path);
    build_cache_database(database, config, build_topics);
    spdlog::info("{} : загружен", config_path.string());
    return read_settings(config, is_debug, debug_fixed);
  } catch (const std::exception& error) {
    throw std::runtime_error(fmt::format("{} : ошибка конфигурации : {}", config_path.string(), error.what()));
  }
}
