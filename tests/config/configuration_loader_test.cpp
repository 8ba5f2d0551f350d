#include <langinfo.h>
#include <locale.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <SQLiteCpp/SQLiteCpp.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "config/cache_database.hpp"
#include "config/configuration_loader.hpp"
#include "mqtt/topics_table.hpp"
#include "support/temp_dir.hpp"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// "@DATA@" in a configuration text stands for the test data folder, so that
// templates are named by absolute paths and nothing under /usr/share is needed.
std::string with_data_dir(const std::string& text) { return replace_all(text, "@DATA@", KORVEX_TEST_DATA_DIR); }

// A configuration loaded into a fresh cache database in a temporary folder.
struct loaded_config_t {
  korvex_test::temp_dir_t dir;
  std::shared_ptr<SQLite::Database> database;
  service_settings_t settings;
};

// Throws what the loader throws.
std::unique_ptr<loaded_config_t> load_config_text(const std::string& text, bool is_debug = false,
                                                  bool debug_fixed = false) {
  auto loaded = std::make_unique<loaded_config_t>();
  const auto config_path = loaded->dir.write("korvex.json", with_data_dir(text));
  loaded->database = open_cache_database(loaded->dir.path() / "korvex.cache");
  loaded->settings = load_configuration(config_path, loaded->database, is_debug, debug_fixed, build_topics_table);
  return loaded;
}

// Every row of a table in row id order, each an array of its columns in
// declared order: NULL as null, blobs as "blob:" and lower-case hex.
json dump_table(SQLite::Database& database, const std::string& table) {
  SQLite::Statement query(database, "SELECT * FROM " + table + " ORDER BY rowid");
  json rows = json::array();
  while (query.executeStep()) {
    json row = json::array();
    for (int index = 0; index < query.getColumnCount(); ++index) {
      const auto column = query.getColumn(index);
      if (column.isNull()) {
        row.push_back(nullptr);
      } else if (column.isInteger()) {
        row.push_back(column.getInt64());
      } else if (column.isFloat()) {
        row.push_back(column.getDouble());
      } else if (column.isBlob()) {
        const auto* bytes = static_cast<const unsigned char*>(column.getBlob());
        std::string hex = "blob:";
        for (int at = 0; at < column.getBytes(); ++at) hex += fmt::format("{:02x}", bytes[at]);
        row.push_back(hex);
      } else {
        row.push_back(column.getString());
      }
    }
    rows.push_back(row);
  }
  return rows;
}

// The character set of the environment's locale, which devices that name no
// code page get.
std::string environment_charset() {
  // A locale that is not installed falls back to "C", as it does for `locale`.
  locale_t environment = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
  if (environment == static_cast<locale_t>(0)) environment = newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(0));
  const std::string charset = nl_langinfo_l(CODESET, environment);
  freelocale(environment);
  return charset;
}

// Each folder under data/golden holds config.json and expected.json; the
// expected file lists whole tables, row by row, and every listed table must
// match exactly. "@CODEPAGE@" stands for the system character set as stored:
// the loader takes it from the `locale` tool's output and, as things stand,
// keeps that output's line end (escaped here, inside a JSON string).
TEST(ConfigurationGolden, TablesMatchExpectedRows) {
  std::vector<fs::path> cases;
  for (const auto& entry : fs::directory_iterator(fs::path(KORVEX_TEST_DATA_DIR) / "golden")) {
    cases.push_back(entry.path());
  }
  ASSERT_GE(cases.size(), 5u);
  for (const auto& folder : cases) {
    SCOPED_TRACE(folder.filename().string());
    auto loaded = load_config_text(korvex_test::read_file(folder / "config.json"));
    const auto expected = json::parse(
        replace_all(korvex_test::read_file(folder / "expected.json"), "@CODEPAGE@", environment_charset() + "\\n"));
    for (const auto& [table, rows] : expected.items()) {
      const auto actual = dump_table(*loaded->database, table);
      EXPECT_EQ(actual, rows) << table << " actual:\n" << actual.dump(1);
    }
    // The loader's statements are gone once the load is done.
    for (const auto& statement : config_statements) EXPECT_FALSE(statement);
  }
}

const char* const base_config = R"({
  "ports": [{
    "connection": {"name": "line", "type": "base.tcp", "tcp": {"url": "127.0.0.1", "port": 502}},
    "devices": [{"name": "dev", "type": "mb-tcp", "sid": 1, "cname": "c"}],
    "parameters": [{"cname": "c", "config": {
      "channels": [{"name": "t", "value_type": "u16", "reg_type": "holding", "reg_addr": 1}],
      "classes": [{"value_type": "pair", "length": 4, "channels": [{"name": "a", "value_type": "u16", "offset": 0}]}]
    }}]
  }]
})";

#define CONNECTION "/ports/0/connection"
#define SID "/ports/0/devices/0/sid"
#define SET "/ports/0/parameters/0/config"
#define CHANNEL SET "/channels/0"
#define PAIR SET "/classes/0"
#define USE_PAIR R"({"op": "replace", "path": ")" CHANNEL R"(/value_type", "value": "pair"})"
#define AS_SERIAL R"({"op": "replace", "path": ")" CONNECTION R"(/type", "value": "base.rs"})"

const struct {
  const char* name;
  const char* patch;  // JSON Patch applied to the valid base configuration
  const char* reason;
} bad_configs[] = {
    {"no ports", R"([{"op": "remove", "path": "/ports"}])", "Ошибка секции \"ports\""},
    {"no connection", R"([{"op": "remove", "path": ")" CONNECTION R"("}])", "Ошибка секции \"connection\""},
    {"disabled port still needs devices",
     R"([{"op": "add", "path": ")" CONNECTION R"(/enabled", "value": false},
         {"op": "replace", "path": "/ports/0/devices", "value": []}])",
     "Ошибка секции \"devices\""},
    {"no parameters", R"([{"op": "remove", "path": "/ports/0/parameters"}])", "Ошибка секции \"parameters\""},
    {"connection without name", R"([{"op": "remove", "path": ")" CONNECTION R"(/name"}])", "Не указано имя соединения"},
    {"unknown connection kind", R"([{"op": "replace", "path": ")" CONNECTION R"(/type", "value": "BASE.TCP"}])",
     "Не указан (или неподдерживаемый) тип соединения"},
    {"connection without kind", R"([{"op": "remove", "path": ")" CONNECTION R"(/type"}])",
     "Не указан (или неподдерживаемый) тип соединения"},
    {"rto as text", R"([{"op": "add", "path": ")" CONNECTION R"(/rto", "value": "fast"}])",
     "[json.exception.type_error.302] type must be number, but is string"},
    {"peer without port", R"([{"op": "remove", "path": ")" CONNECTION R"(/tcp/port"}])",
     "Ошибка описания параметров TCP/UDP соединения"},
    {"serial without rs", "[" AS_SERIAL "]", "Ошибка описания параметров RS соединения"},
    {"framing with a bad first letter", "[" AS_SERIAL R"(, {"op": "add", "path": ")" CONNECTION R"(/rs",
          "value": {"com_port": "/dev/ttyS0", "baud_rate": 9600, "com_options": "A8N1"}}])",
     "Ошибка описания параметров RS соединения"},
    {"framing without the pattern", "[" AS_SERIAL R"(, {"op": "add", "path": ")" CONNECTION R"(/rs",
          "value": {"com_port": "/dev/ttyS0", "baud_rate": 9600, "com_options": "9N1"}}])",
     "Ошибка описания параметров RS соединения"},
    {"device not an object", R"([{"op": "replace", "path": "/ports/0/devices/0", "value": 5}])",
     "Ошибка описания устройства"},
    {"device without type", R"([{"op": "remove", "path": "/ports/0/devices/0/type"}])", "Ошибка описания устройства"},
    {"device of no protocol", R"([{"op": "replace", "path": "/ports/0/devices/0/type", "value": "valtec"}])",
     "Ошибка описания устройства"},
    {"sid 256 would be the broadcast address", R"([{"op": "replace", "path": ")" SID R"(", "value": 256}])",
     "Ошибка поля SID"},
    {"sid text 0x100", R"([{"op": "replace", "path": ")" SID R"(", "value": "0x100"}])", "Ошибка поля SID"},
    {"negative sid", R"([{"op": "replace", "path": ")" SID R"(", "value": -1}])", "Ошибка поля SID"},
    {"sid 256.5", R"([{"op": "replace", "path": ")" SID R"(", "value": 256.5}])", "Ошибка поля SID"},
    {"sid of another model", R"([{"op": "replace", "path": ")" SID R"(", "value": "abc:7:1"}])", "Ошибка поля SID"},
    {"valtec sid of two pieces", R"([{"op": "replace", "path": ")" SID R"(", "value": "valtec:7"}])",
     "Ошибка поля SID для устройств Valtec"},
    {"valtec serial too long", R"([{"op": "replace", "path": ")" SID R"(", "value": "valtec:7:1234567890abc"}])",
     "Ошибка поля SID для устройств Valtec"},
    {"sid text without digits", R"([{"op": "replace", "path": ")" SID R"(", "value": "zz"}])", "stoul"},
    {"duplicate device topic on another connection", R"([{"op": "copy", "from": "/ports/0", "path": "/ports/-"}])",
     "2::c_1 : дубликат устройства"},
    {"parameter block without cname before the device's",
     R"([{"op": "add", "path": "/ports/0/parameters/0", "value": {"config": {}}}])",
     "Отсутствует cname в описании параметров"},
    {"device names no parameter block", R"([{"op": "replace", "path": "/ports/0/devices/0/cname", "value": "zzz"}])",
     "Для устройства (dev) не найдена конфигурация параметров (zzz)"},
    {"parameter block without cname after the device's",
     R"([{"op": "add", "path": "/ports/0/parameters/-", "value": {"config": {}}}])", "Не указано имя блока параметров"},
    {"parameter block without config", R"([{"op": "remove", "path": ")" SET R"("}])", "Нет описания блока параметров"},
    {"numeric config", R"([{"op": "replace", "path": ")" SET R"(", "value": 5}])",
     "Неподдерживаемый тип описания блока параметров"},
    {"missing template", R"([{"op": "replace", "path": ")" SET R"(", "value": "@DATA@/templates/none"}])",
     "@DATA@/templates/none.json : не найден шаблон описания параметров"},
    {"empty template", R"([{"op": "replace", "path": ")" SET R"(", "value": "@DATA@/templates/empty"}])",
     "Ошибка файла описания блока параметров"},
    {"template of a list", R"([{"op": "replace", "path": ")" SET R"(", "value": "@DATA@/templates/list"}])",
     "Не найден список каналов конфигурации параметров"},
    {"error entry without message", R"([{"op": "add", "path": ")" SET R"(/errors", "value": [{"code": 1}]}])",
     "Ошибка описания пользовательского сообщения об ошибке"},
    {"error entry not an object", R"([{"op": "add", "path": ")" SET R"(/errors", "value": {"e": 5}}])",
     "[json.exception.type_error.305] cannot use operator[] with a string argument with number"},
    {"error code without digits",
     R"([{"op": "add", "path": ")" SET R"(/errors", "value": [{"code": "zz", "message": "m"}]}])", "stoul"},
    {"channel not an object", R"([{"op": "replace", "path": ")" CHANNEL R"(", "value": "t"}])", "Не указано имя канала"},
    {"channel without name", R"([{"op": "remove", "path": ")" CHANNEL R"(/name"}])", "Не указано имя канала"},
    {"channel without type", R"([{"op": "remove", "path": ")" CHANNEL R"(/value_type"}])", "Не указан тип канала"},
    {"string type of 255 bytes", R"([{"op": "replace", "path": ")" CHANNEL R"(/value_type", "value": "str255"}])",
     "Ошибка формирования строкового типа данных"},
    {"string type without size", R"([{"op": "replace", "path": ")" CHANNEL R"(/value_type", "value": "str"}])", "stoi"},
    {"unknown register kind", R"([{"op": "replace", "path": ")" CHANNEL R"(/reg_type", "value": "Holding"}])",
     "Не указан (или неизвестный) тип регистра канала"},
    {"writable input register",
     R"([{"op": "replace", "path": ")" CHANNEL R"(/reg_type", "value": "input"},
         {"op": "add", "path": ")" CHANNEL R"(/read_only", "value": false}])",
     "Указан недоступный для записи тип регистра"},
    {"writable input channel whose bit fields are read-only",
     R"([{"op": "replace", "path": ")" CHANNEL R"(/reg_type", "value": "input"},
         {"op": "add", "path": ")" CHANNEL R"(/read_only", "value": false},
         {"op": "add", "path": ")" CHANNEL R"(/bh_list", "value": [{"name": "b", "offset": 0, "read_only": true}]}])",
     "Указан недоступный для записи тип регистра"},
    {"writable bit of a status register",
     R"([{"op": "replace", "path": ")" CHANNEL R"(/reg_type", "value": "status"},
         {"op": "add", "path": ")" CHANNEL R"(/bh_list", "value": [{"name": "b", "offset": 0, "read_only": false}]}])",
     "Указан недоступный для записи тип регистра"},
    {"channel without address", R"([{"op": "remove", "path": ")" CHANNEL R"(/reg_addr"}])",
     "Не указан адрес регистра канала"},
    {"unknown word order", R"([{"op": "add", "path": ")" CHANNEL R"(/word_order", "value": "middle"}])",
     "Ошибка в названии порядка байт канала"},
    {"pattern of odd length", R"([{"op": "add", "path": ")" CHANNEL R"(/pattern", "value": "0103 0"}])",
     "Ошибка паттерна"},
    {"composite type without classes", "[" USE_PAIR R"(, {"op": "remove", "path": ")" SET R"(/classes"}])",
     "Ошибка секции определяемых типов данных"},
    {"class without name before the match",
     "[" USE_PAIR R"(, {"op": "add", "path": ")" PAIR R"(", "value": {"length": 2}}])",
     "Ошибка имени определяемого типа данных"},
    {"class without length", "[" USE_PAIR R"(, {"op": "remove", "path": ")" PAIR R"(/length"}])",
     "Ошибка длины определяемого типа данных"},
    {"class of length 0", "[" USE_PAIR R"(, {"op": "replace", "path": ")" PAIR R"(/length", "value": 0}])",
     "Ошибка длины определяемого типа данных"},
    {"class of length 256", "[" USE_PAIR R"(, {"op": "replace", "path": ")" PAIR R"(/length", "value": 256}])",
     "Ошибка длины определяемого типа данных"},
    {"class without members", "[" USE_PAIR R"(, {"op": "replace", "path": ")" PAIR R"(/channels", "value": []}])",
     "Ошибка списка каналов определяемого типа данных"},
    {"member without offset", "[" USE_PAIR R"(, {"op": "remove", "path": ")" PAIR R"(/channels/0/offset"}])",
     "Не указано смещение параметра в пользовательском типе"},
    {"types that contain each other across two blocks of one parameter set",
     "[" USE_PAIR R"(, {"op": "add", "path": ")" PAIR R"(/channels/-", "value": {"name": "i", "value_type": "inner", "offset": 2}},
         {"op": "add", "path": "/ports/0/parameters/-", "value": {"cname": "c", "config": {
            "channels": [{"name": "t2", "value_type": "inner", "reg_type": "holding", "reg_addr": 9}],
            "classes": [{"value_type": "inner", "length": 4,
                         "channels": [{"name": "o", "value_type": "pair", "offset": 0}]}]}}}])",
     "Определяемый тип данных pair содержит сам себя"},
    {"writable member of an input channel",
     "[" USE_PAIR R"(, {"op": "replace", "path": ")" CHANNEL R"(/reg_type", "value": "input"},
         {"op": "add", "path": ")" PAIR R"(/channels/0/read_only", "value": false}])",
     "Указан недоступный для записи тип регистра"},
    // '+' and '#' are wildcards in a topic: no value under such a name could
    // be published, and a command subscription would take in other topics.
    {"channel name with +", R"([{"op": "replace", "path": ")" CHANNEL R"(/name", "value": "t+1"}])",
     "Недопустимое имя (t+1) : символы '+' и '#' в именах топиков MQTT запрещены"},
    {"cname with #", R"([{"op": "replace", "path": "/ports/0/devices/0/cname", "value": "c#"},
         {"op": "replace", "path": "/ports/0/parameters/0/cname", "value": "c#"}])",
     "Недопустимое имя (c#) : символы '+' и '#' в именах топиков MQTT запрещены"},
    {"bit field name with #",
     R"([{"op": "add", "path": ")" CHANNEL R"(/bh_list", "value": [{"name": "#", "offset": 0}]}])",
     "Недопустимое имя (#) : символы '+' и '#' в именах топиков MQTT запрещены"},
    {"valtec serial number with +", R"([{"op": "replace", "path": ")" SID R"(", "value": "valtec:7:12+4"}])",
     "Недопустимое имя (12+4) : символы '+' и '#' в именах топиков MQTT запрещены"},
    {"debug flag as text", R"([{"op": "add", "path": "/log", "value": {"is_debug": "yes"}}])",
     "[json.exception.type_error.302] type must be boolean, but is string"},
    // Numbers that do not fit their field, or are not whole where it needs a
    // whole number: the key's own text, else one naming the key.
    {"peer port beyond 16 bits", R"([{"op": "replace", "path": ")" CONNECTION R"(/tcp/port", "value": 70000}])",
     "Ошибка описания параметров TCP/UDP соединения"},
    {"peer port beyond 64 bits",
     R"([{"op": "replace", "path": ")" CONNECTION R"(/tcp/port", "value": 50233333333333333330}])",
     "Ошибка описания параметров TCP/UDP соединения"},
    {"peer port 0", R"([{"op": "replace", "path": ")" CONNECTION R"(/tcp/port", "value": 0}])",
     "Ошибка описания параметров TCP/UDP соединения"},
    {"baud rate 1e10", "[" AS_SERIAL R"(, {"op": "add", "path": ")" CONNECTION R"(/rs",
          "value": {"com_port": "/dev/ttyS0", "baud_rate": 1e10, "com_options": "8N1"}}])",
     "Ошибка описания параметров RS соединения"},
    {"negative rto", R"([{"op": "add", "path": ")" CONNECTION R"(/rto", "value": -1}])",
     "Недопустимое значение \"rto\" : -1"},
    {"poll interval 2.5", R"([{"op": "add", "path": ")" CONNECTION R"(/poll_interval", "value": 2.5}])",
     "Недопустимое значение \"poll_interval\" : 2.5"},
    {"sid 12.9", R"([{"op": "replace", "path": ")" SID R"(", "value": 12.9}])", "Ошибка поля SID"},
    {"negative repeat count", R"([{"op": "add", "path": "/ports/0/devices/0/repeat_on_error", "value": -1}])",
     "Недопустимое значение \"repeat_on_error\" : -1"},
    {"register 70000", R"([{"op": "replace", "path": ")" CHANNEL R"(/reg_addr", "value": 70000}])",
     "Недопустимое значение \"reg_addr\" : 70000"},
    {"register 1e10", R"([{"op": "replace", "path": ")" CHANNEL R"(/reg_addr", "value": 1e10}])",
     "Недопустимое значение \"reg_addr\" : 10000000000.0"},
    {"register text 0x10000", R"([{"op": "replace", "path": ")" CHANNEL R"(/reg_addr", "value": "0x10000"}])",
     "Недопустимое значение \"reg_addr\" : \"0x10000\""},
    {"member offset 65536", "[" USE_PAIR R"(, {"op": "replace", "path": ")" PAIR R"(/channels/0/offset", "value": 65536}])",
     "Недопустимое значение \"offset\" : 65536"},
    {"scale beyond a float", R"([{"op": "add", "path": ")" CHANNEL R"(/scale", "value": 1e39}])",
     "Недопустимое значение \"scale\" : 1e+39"},
    {"min 1.5", R"([{"op": "add", "path": ")" CHANNEL R"(/min", "value": 1.5}])",
     "Недопустимое значение \"min\" : 1.5"},
    {"max beyond 32 bits", R"([{"op": "add", "path": ")" CHANNEL R"(/max", "value": 3000000000}])",
     "Недопустимое значение \"max\" : 3000000000"},
    {"debounce 1e10", R"([{"op": "add", "path": ")" CHANNEL R"(/debounce", "value": 1e10}])",
     "Недопустимое значение \"debounce\" : 10000000000.0"},
    {"function text 1FF", R"([{"op": "add", "path": ")" CHANNEL R"(/function_read", "value": "1FF"}])",
     "Недопустимое значение \"function_read\" : \"1FF\""},
    {"function 256", R"([{"op": "add", "path": ")" CHANNEL R"(/function_write", "value": 256}])",
     "Недопустимое значение \"function_write\" : 256"},
    {"bit number 1e10",
     R"([{"op": "add", "path": ")" CHANNEL R"(/bh_list", "value": [{"name": "b", "offset": 1e10}]}])",
     "Недопустимое значение \"offset\" : 10000000000.0"},
    {"class of length 2.5", "[" USE_PAIR R"(, {"op": "replace", "path": ")" PAIR R"(/length", "value": 2.5}])",
     "Ошибка длины определяемого типа данных"},
    {"error code beyond a byte",
     R"([{"op": "add", "path": ")" SET R"(/errors", "value": [{"code": 65537, "message": "m"}]}])",
     "Ошибка описания пользовательского сообщения об ошибке"},
    {"log size 2.9", R"([{"op": "add", "path": "/log", "value": {"max_size": 2.9}}])",
     "Недопустимое значение \"max_size\" : 2.9"},
    {"broker port 70000", R"([{"op": "add", "path": "/mqtt", "value": {"port": 70000}}])",
     "Недопустимое значение \"port\" : 70000"},
};

// What the loader refused the text for, after the file name; "loaded" when it
// took the text.
std::string load_error(const std::string& text) {
  try {
    load_config_text(text);
    return "loaded";
  } catch (const std::runtime_error& error) {
    const std::string message = error.what();
    const std::string separator = " : ошибка конфигурации : ";
    const auto at = message.find(separator);
    if (at == std::string::npos || !message.substr(0, at).ends_with("/korvex.json")) return "unlabelled " + message;
    return message.substr(at + separator.size());
  }
}

TEST(ConfigurationErrors, EachBadConfigurationGivesItsText) {
  const json base = json::parse(base_config);
  // The base itself loads, so each case fails for its own change only.
  EXPECT_EQ(load_error(base.dump()), "loaded");
  for (const auto& bad : bad_configs) {
    EXPECT_EQ(load_error(base.patch(json::parse(with_data_dir(bad.patch))).dump()), with_data_dir(bad.reason))
        << bad.name;
    for (const auto& statement : config_statements) EXPECT_FALSE(statement);
  }
  for (const std::string text : {"", "{", "{} {}", "{\"ports\": [] // comment\n}"}) {
    EXPECT_TRUE(load_error(text).starts_with("[json.exception.parse_error.101]")) << load_error(text);
  }
}

TEST(ConfigurationSettings, LogAndBrokerSectionsWithDefaults) {
  const struct {
    const char* sections;  // merged into the base configuration
    bool is_debug;
    bool debug_fixed;
    const char* expected;  // debug, log files and size, keep-alive, broker port and host
  } cases[] = {
      {"{}", false, false, "false 10 5 60 1883 localhost"},
      {"{}", true, false, "true 10 5 60 1883 localhost"},
      {R"({"log": {"max_size": 2, "max_files": 3, "is_debug": true},
           "mqtt": {"url": "broker.lan", "port": 8883, "keep_alive": 15}})",
       false, false, "true 3 2 15 8883 broker.lan"},
      {R"({"log": "verbose", "mqtt": [1]})", false, false, "false 10 5 60 1883 localhost"},
      {R"({"log": {"is_debug": "yes"}})", true, true, "true 10 5 60 1883 localhost"},
      {R"({"log": {"is_debug": false}})", true, false, "false 10 5 60 1883 localhost"},
  };
  for (const auto& settings_case : cases) {
    json config = json::parse(base_config);
    config.update(json::parse(settings_case.sections));
    const auto settings = load_config_text(config.dump(), settings_case.is_debug, settings_case.debug_fixed)->settings;
    EXPECT_EQ(fmt::format("{} {} {} {} {} {}", settings.is_debug, settings.max_files, settings.max_size,
                          settings.keep_alive, settings.port, settings.url),
              settings_case.expected)
        << settings_case.sections;
  }
}

TEST(ConfigurationFile, ConfigurationThatAppearsLateIsPickedUp) {
  korvex_test::temp_dir_t dir;
  const auto config_path = dir.path() / "late" / "korvex.json";
  auto database = open_cache_database(dir.path() / "korvex.cache");
  // The example that is installed for operators to copy: it has to load as it stands.
  const auto text = korvex_test::read_file(KORVEX_EXAMPLE_CONFIG);

  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    // Written aside and renamed, so the loader never meets a half-written file.
    dir.write("late/korvex.json.part", text);
    fs::rename(dir.path() / "late" / "korvex.json.part", config_path);
  });
  const auto started = std::chrono::steady_clock::now();
  service_settings_t settings;
  EXPECT_NO_THROW(settings = load_configuration(config_path, database, false, false, build_topics_table));
  writer.join();
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1500));
  EXPECT_EQ(settings.url, "localhost");
  // voltage, energy, temperature, setpoint and the pump and alarm bits
  EXPECT_EQ(database->execAndGet("SELECT COUNT(*) FROM Topics").getInt(), 6);
}

}  // namespace
