#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <SQLiteCpp/SQLiteCpp.h>
#include <nlohmann/json.hpp>

#include "config/cache_database.hpp"
#include "config/configuration_loader.hpp"
#include "load_support.hpp"

namespace fs = std::filesystem;
using nlohmann::json;
using korvex_test::load_config_text;

namespace {

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::string file_text(const fs::path& path) { return korvex_test::read_file(path); }

// Each folder under data/golden holds config.json and expected.json; the
// expected file lists whole tables, row by row, and every listed table must
// match exactly. "@CODEPAGE@" stands for the system character set.
TEST(ConfigurationGolden, TablesMatchExpectedRows) {
  const fs::path golden = fs::path(KORVEX_TEST_DATA_DIR) / "golden";
  std::vector<fs::path> cases;
  for (const auto& entry : fs::directory_iterator(golden)) cases.push_back(entry.path());
  ASSERT_GE(cases.size(), 4u);
  for (const auto& folder : cases) {
    SCOPED_TRACE(folder.filename().string());
    auto loaded = load_config_text(file_text(folder / "config.json"));
    const std::string charset = json(korvex_test::system_charset_for_test()).dump();
    const auto expected = json::parse(replace_all(file_text(folder / "expected.json"), "@CODEPAGE@",
                                                  charset.substr(1, charset.size() - 2)));
    for (const auto& [table, rows] : expected.items()) {
      EXPECT_EQ(korvex_test::dump_table(*loaded->database, table), rows)
          << table << " actual:\n" << korvex_test::dump_table(*loaded->database, table).dump(1);
    }
    // The loader's statements are gone once the load is done.
    for (const auto& statement : config_statements) EXPECT_FALSE(statement);
  }
}

struct bad_config_t {
  const char* name;
  const char* patch;  // JSON Patch applied to the valid base configuration
  const char* reason;
};

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

#define CHANNEL "/ports/0/parameters/0/config/channels/0"
#define PAIR "/ports/0/parameters/0/config/classes/0"

const bad_config_t bad_configs[] = {
    {"no ports", R"([{"op": "remove", "path": "/ports"}])", "Ошибка секции \"ports\""},
    {"empty ports", R"([{"op": "replace", "path": "/ports", "value": []}])", "Ошибка секции \"ports\""},
    {"no connection", R"([{"op": "remove", "path": "/ports/0/connection"}])", "Ошибка секции \"connection\""},
    {"disabled port still needs devices",
     R"([{"op": "add", "path": "/ports/0/connection/enabled", "value": false},
         {"op": "replace", "path": "/ports/0/devices", "value": []}])",
     "Ошибка секции \"devices\""},
    {"no parameters", R"([{"op": "remove", "path": "/ports/0/parameters"}])", "Ошибка секции \"parameters\""},
    {"connection without name", R"([{"op": "remove", "path": "/ports/0/connection/name"}])",
     "Не указано имя соединения"},
    {"unknown connection kind", R"([{"op": "replace", "path": "/ports/0/connection/type", "value": "BASE.TCP"}])",
     "Не указан (или неподдерживаемый) тип соединения"},
    {"connection without kind", R"([{"op": "remove", "path": "/ports/0/connection/type"}])",
     "Не указан (или неподдерживаемый) тип соединения"},
    {"rto as text", R"([{"op": "add", "path": "/ports/0/connection/rto", "value": "fast"}])",
     "[json.exception.type_error.302] type must be number, but is string"},
    {"peer without port", R"([{"op": "remove", "path": "/ports/0/connection/tcp/port"}])",
     "Ошибка описания параметров TCP/UDP соединения"},
    {"no peer", R"([{"op": "remove", "path": "/ports/0/connection/tcp"}])",
     "Ошибка описания параметров TCP/UDP соединения"},
    {"serial without rs", R"([{"op": "replace", "path": "/ports/0/connection/type", "value": "base.rs"}])",
     "Ошибка описания параметров RS соединения"},
    {"serial without baud rate",
     R"([{"op": "replace", "path": "/ports/0/connection/type", "value": "base.rs"},
         {"op": "add", "path": "/ports/0/connection/rs", "value": {"com_port": "/dev/ttyS0", "com_options": "8N1"}}])",
     "Ошибка описания параметров RS соединения"},
    {"framing with a bad first letter",
     R"([{"op": "replace", "path": "/ports/0/connection/type", "value": "base.rs"},
         {"op": "add", "path": "/ports/0/connection/rs",
          "value": {"com_port": "/dev/ttyS0", "baud_rate": 9600, "com_options": "A8N1"}}])",
     "Ошибка описания параметров RS соединения"},
    {"framing without the pattern",
     R"([{"op": "replace", "path": "/ports/0/connection/type", "value": "base.rs"},
         {"op": "add", "path": "/ports/0/connection/rs",
          "value": {"com_port": "/dev/ttyS0", "baud_rate": 9600, "com_options": "9N1"}}])",
     "Ошибка описания параметров RS соединения"},
    {"device not an object", R"([{"op": "replace", "path": "/ports/0/devices/0", "value": 5}])",
     "Ошибка описания устройства"},
    {"device without type", R"([{"op": "remove", "path": "/ports/0/devices/0/type"}])", "Ошибка описания устройства"},
    {"device of no protocol", R"([{"op": "replace", "path": "/ports/0/devices/0/type", "value": "valtec"}])",
     "Ошибка описания устройства"},
    {"sid 256 would be the broadcast address", R"([{"op": "replace", "path": "/ports/0/devices/0/sid", "value": 256}])",
     "Ошибка поля SID"},
    {"sid 70000", R"([{"op": "replace", "path": "/ports/0/devices/0/sid", "value": 70000}])", "Ошибка поля SID"},
    {"sid text 0x100", R"([{"op": "replace", "path": "/ports/0/devices/0/sid", "value": "0x100"}])",
     "Ошибка поля SID"},
    {"negative sid", R"([{"op": "replace", "path": "/ports/0/devices/0/sid", "value": -1}])", "Ошибка поля SID"},
    {"sid 256.5", R"([{"op": "replace", "path": "/ports/0/devices/0/sid", "value": 256.5}])", "Ошибка поля SID"},
    {"valtec sid 300", R"([{"op": "replace", "path": "/ports/0/devices/0/sid", "value": "valtec:300:12"}])",
     "Ошибка поля SID"},
    {"sid of another model", R"([{"op": "replace", "path": "/ports/0/devices/0/sid", "value": "abc:7:1"}])",
     "Ошибка поля SID"},
    {"valtec sid of two pieces", R"([{"op": "replace", "path": "/ports/0/devices/0/sid", "value": "valtec:7"}])",
     "Ошибка поля SID для устройств Valtec"},
    {"valtec serial too long",
     R"([{"op": "replace", "path": "/ports/0/devices/0/sid", "value": "valtec:7:1234567890abc"}])",
     "Ошибка поля SID для устройств Valtec"},
    {"sid text without digits", R"([{"op": "replace", "path": "/ports/0/devices/0/sid", "value": "zz"}])", "stoul"},
    {"duplicate device topic",
     R"([{"op": "add", "path": "/ports/0/devices/-", "value": {"name": "d2", "type": "mb-tcp", "sid": "1", "cname": "c"}}])",
     "1::c_1 : дубликат устройства"},
    {"duplicate device topic on another connection", R"([{"op": "copy", "from": "/ports/0", "path": "/ports/-"}])",
     "2::c_1 : дубликат устройства"},
    {"parameter block without cname before the device's",
     R"([{"op": "add", "path": "/ports/0/parameters/0", "value": {"config": {}}}])",
     "Отсутствует cname в описании параметров"},
    {"device names no parameter block", R"([{"op": "replace", "path": "/ports/0/devices/0/cname", "value": "zzz"}])",
     "Для устройства (dev) не найдена конфигурация параметров (zzz)"},
    {"parameter block without cname after the device's",
     R"([{"op": "add", "path": "/ports/0/parameters/-", "value": {"config": {}}}])", "Не указано имя блока параметров"},
    {"parameter block without config", R"([{"op": "remove", "path": "/ports/0/parameters/0/config"}])",
     "Нет описания блока параметров"},
    {"numeric config", R"([{"op": "replace", "path": "/ports/0/parameters/0/config", "value": 5}])",
     "Неподдерживаемый тип описания блока параметров"},
    {"missing template", R"([{"op": "replace", "path": "/ports/0/parameters/0/config", "value": "@DATA@/templates/none"}])",
     "@DATA@/templates/none.json : не найден шаблон описания параметров"},
    {"empty template", R"([{"op": "replace", "path": "/ports/0/parameters/0/config", "value": "@DATA@/templates/empty"}])",
     "Ошибка файла описания блока параметров"},
    {"template of a list", R"([{"op": "replace", "path": "/ports/0/parameters/0/config", "value": "@DATA@/templates/list"}])",
     "Не найден список каналов конфигурации параметров"},
    {"error entry without message",
     R"([{"op": "add", "path": "/ports/0/parameters/0/config/errors", "value": [{"code": 1}]}])",
     "Ошибка описания пользовательского сообщения об ошибке"},
    {"error code without digits",
     R"([{"op": "add", "path": "/ports/0/parameters/0/config/errors", "value": [{"code": "zz", "message": "m"}]}])",
     "stoul"},
    {"empty channel list", R"([{"op": "replace", "path": "/ports/0/parameters/0/config/channels", "value": []}])",
     "Не найден список каналов конфигурации параметров"},
    {"channel not an object", R"([{"op": "replace", "path": ")" CHANNEL R"(", "value": "t"}])", "Не указано имя канала"},
    {"channel without name", R"([{"op": "remove", "path": ")" CHANNEL R"(/name"}])", "Не указано имя канала"},
    {"channel without type", R"([{"op": "remove", "path": ")" CHANNEL R"(/value_type"}])", "Не указан тип канала"},
    {"string type of 255 bytes", R"([{"op": "replace", "path": ")" CHANNEL R"(/value_type", "value": "str255"}])",
     "Ошибка формирования строкового типа данных"},
    {"string type without size", R"([{"op": "replace", "path": ")" CHANNEL R"(/value_type", "value": "str"}])", "stoi"},
    {"channel without register kind", R"([{"op": "remove", "path": ")" CHANNEL R"(/reg_type"}])",
     "Не указан (или неизвестный) тип регистра канала"},
    {"unknown register kind", R"([{"op": "replace", "path": ")" CHANNEL R"(/reg_type", "value": "Holding"}])",
     "Не указан (или неизвестный) тип регистра канала"},
    {"writable input register",
     R"([{"op": "replace", "path": ")" CHANNEL R"(/reg_type", "value": "input"},
         {"op": "add", "path": ")" CHANNEL R"(/read_only", "value": false}])",
     "Указан недоступный для записи тип регистра"},
    {"writable bit of a status register",
     R"([{"op": "replace", "path": ")" CHANNEL R"(/reg_type", "value": "status"},
         {"op": "add", "path": ")" CHANNEL R"(/bh_list", "value": [{"name": "b", "offset": 0, "read_only": false}]}])",
     "Указан недоступный для записи тип регистра"},
    {"channel without address", R"([{"op": "remove", "path": ")" CHANNEL R"(/reg_addr"}])",
     "Не указан адрес регистра канала"},
    {"unknown word order", R"([{"op": "add", "path": ")" CHANNEL R"(/word_order", "value": "middle"}])",
     "Ошибка в названии порядка байт канала"},
    {"scale as text", R"([{"op": "add", "path": ")" CHANNEL R"(/scale", "value": "0.1"}])",
     "[json.exception.type_error.302] type must be number, but is string"},
    {"pattern of odd length", R"([{"op": "add", "path": ")" CHANNEL R"(/pattern", "value": "0103 0"}])",
     "Ошибка паттерна"},
    {"composite type without classes",
     R"([{"op": "replace", "path": ")" CHANNEL R"(/value_type", "value": "pair"},
         {"op": "remove", "path": "/ports/0/parameters/0/config/classes"}])",
     "Ошибка секции определяемых типов данных"},
    {"class without name before the match",
     R"([{"op": "replace", "path": ")" CHANNEL R"(/value_type", "value": "pair"},
         {"op": "add", "path": "/ports/0/parameters/0/config/classes/0", "value": {"length": 2}}])",
     "Ошибка имени определяемого типа данных"},
    {"class without length",
     R"([{"op": "replace", "path": ")" CHANNEL R"(/value_type", "value": "pair"},
         {"op": "remove", "path": ")" PAIR R"(/length"}])",
     "Ошибка длины определяемого типа данных"},
    {"class of length 0",
     R"([{"op": "replace", "path": ")" CHANNEL R"(/value_type", "value": "pair"},
         {"op": "replace", "path": ")" PAIR R"(/length", "value": 0}])",
     "Ошибка длины определяемого типа данных"},
    {"class of negative length",
     R"([{"op": "replace", "path": ")" CHANNEL R"(/value_type", "value": "pair"},
         {"op": "replace", "path": ")" PAIR R"(/length", "value": -2}])",
     "Ошибка длины определяемого типа данных"},
    {"class of length 256",
     R"([{"op": "replace", "path": ")" CHANNEL R"(/value_type", "value": "pair"},
         {"op": "replace", "path": ")" PAIR R"(/length", "value": 256}])",
     "Ошибка длины определяемого типа данных"},
    {"class without members",
     R"([{"op": "replace", "path": ")" CHANNEL R"(/value_type", "value": "pair"},
         {"op": "replace", "path": ")" PAIR R"(/channels", "value": []}])",
     "Ошибка списка каналов определяемого типа данных"},
    {"member without offset",
     R"([{"op": "replace", "path": ")" CHANNEL R"(/value_type", "value": "pair"},
         {"op": "remove", "path": ")" PAIR R"(/channels/0/offset"}])",
     "Не указано смещение параметра в пользовательском типе"},
    {"type that contains itself",
     R"([{"op": "replace", "path": ")" CHANNEL R"(/value_type", "value": "pair"},
         {"op": "add", "path": ")" PAIR R"(/channels/-", "value": {"name": "again", "value_type": "pair", "offset": 2}}])",
     "Определяемый тип данных pair содержит сам себя"},
    {"types that contain each other",
     R"([{"op": "replace", "path": ")" CHANNEL R"(/value_type", "value": "pair"},
         {"op": "add", "path": ")" PAIR R"(/channels/-", "value": {"name": "i", "value_type": "inner", "offset": 2}},
         {"op": "add", "path": "/ports/0/parameters/0/config/classes/-",
          "value": {"value_type": "inner", "length": 2, "channels": [{"name": "o", "value_type": "pair", "offset": 0}]}}])",
     "Определяемый тип данных pair содержит сам себя"},
    {"types that contain each other across two blocks of one parameter set",
     R"([{"op": "replace", "path": ")" CHANNEL R"(/value_type", "value": "pair"},
         {"op": "add", "path": ")" PAIR R"(/channels/-", "value": {"name": "i", "value_type": "inner", "offset": 2}},
         {"op": "add", "path": "/ports/0/parameters/-", "value": {"cname": "c", "config": {
            "channels": [{"name": "t2", "value_type": "inner", "reg_type": "holding", "reg_addr": 9}],
            "classes": [{"value_type": "inner", "length": 4,
                         "channels": [{"name": "o", "value_type": "pair", "offset": 0}]}]}}}])",
     "Определяемый тип данных pair содержит сам себя"},
    {"writable member of an input channel",
     R"([{"op": "replace", "path": ")" CHANNEL R"(/value_type", "value": "pair"},
         {"op": "replace", "path": ")" CHANNEL R"(/reg_type", "value": "input"},
         {"op": "add", "path": ")" PAIR R"(/channels/0/read_only", "value": false}])",
     "Указан недоступный для записи тип регистра"},
    {"debug flag as text", R"([{"op": "add", "path": "/log", "value": {"is_debug": "yes"}}])",
     "[json.exception.type_error.302] type must be boolean, but is string"},
};

TEST(ConfigurationErrors, EachBadConfigurationGivesItsText) {
  const json base = json::parse(base_config);
  {
    // The base itself loads, so each case fails for its own change only.
    auto loaded = load_config_text(base.dump());
    EXPECT_EQ(loaded->database->execAndGet("SELECT COUNT(*) FROM Topics").getInt(), 1);
  }
  for (const auto& bad : bad_configs) {
    SCOPED_TRACE(bad.name);
    const std::string text = base.patch(json::parse(korvex_test::with_data_dir(bad.patch))).dump();
    try {
      load_config_text(text);
      ADD_FAILURE() << "loaded";
    } catch (const std::runtime_error& error) {
      const std::string message = error.what();
      const auto separator = message.find(" : ошибка конфигурации : ");
      ASSERT_NE(separator, std::string::npos) << message;
      EXPECT_TRUE(message.substr(0, separator).ends_with("/korvex.json")) << message;
      EXPECT_EQ(message.substr(separator + std::string(" : ошибка конфигурации : ").size()),
                korvex_test::with_data_dir(bad.reason));
    }
    for (const auto& statement : config_statements) EXPECT_FALSE(statement);
  }
}

TEST(ConfigurationErrors, UnparsableFilesAreConfigurationErrors) {
  for (const std::string text : {"", "{", "{} {}", "{\"ports\": [] // comment\n}"}) {
    SCOPED_TRACE(text);
    try {
      load_config_text(text);
      ADD_FAILURE() << "loaded";
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find(" : ошибка конфигурации : [json.exception.parse_error.101]"),
                std::string::npos)
          << error.what();
    }
  }
}

TEST(ConfigurationSettings, LogAndBrokerSectionsWithDefaults) {
  struct settings_case_t {
    const char* sections;
    bool is_debug;
    bool debug_fixed;
    service_settings_t expected;
  };
  const settings_case_t cases[] = {
      {"", false, false, {false, 10, 5, 60, 1883, "localhost"}},
      {"", true, false, {true, 10, 5, 60, 1883, "localhost"}},
      {R"("log": {"max_size": 2.9, "max_files": 3, "is_debug": true},
          "mqtt": {"url": "broker.lan", "port": 8883, "keep_alive": 15},)",
       false, false, {true, 3, 2, 15, 8883, "broker.lan"}},
      {R"("log": "verbose", "mqtt": [1],)", false, false, {false, 10, 5, 60, 1883, "localhost"}},
      {R"("log": {"is_debug": "yes"},)", true, true, {true, 10, 5, 60, 1883, "localhost"}},
      {R"("log": {"is_debug": false},)", true, false, {false, 10, 5, 60, 1883, "localhost"}},
  };
  for (const auto& settings_case : cases) {
    SCOPED_TRACE(settings_case.sections);
    const std::string text = std::string("{") + settings_case.sections + R"( "ports": [{
      "connection": {"name": "line", "type": "base.tcp", "tcp": {"url": "127.0.0.1", "port": 502}},
      "devices": [{"name": "dev", "type": "mb-tcp", "sid": 1, "cname": "c"}],
      "parameters": [{"cname": "c", "config": {"channels": [{"name": "t", "value_type": "u16", "reg_type": "holding", "reg_addr": 1}]}}]}]})";
    const auto loaded = load_config_text(text, settings_case.is_debug, settings_case.debug_fixed);
    const auto& actual = loaded->settings;
    const auto& expected = settings_case.expected;
    EXPECT_EQ(actual.is_debug, expected.is_debug);
    EXPECT_EQ(actual.max_files, expected.max_files);
    EXPECT_EQ(actual.max_size, expected.max_size);
    EXPECT_EQ(actual.keep_alive, expected.keep_alive);
    EXPECT_EQ(actual.port, expected.port);
    EXPECT_EQ(actual.url, expected.url);
  }
}

// The parameter set of the first device is loaded even when its cname is the
// empty text; a device stored without channels would never be polled.
TEST(ConfigurationParameterSets, EmptyCnameStillLoadsItsSet) {
  const auto loaded = load_config_text(R"({"ports": [{
      "connection": {"name": "line", "type": "base.tcp", "tcp": {"url": "127.0.0.1", "port": 502}},
      "devices": [{"name": "dev", "type": "mb-tcp", "sid": 1, "cname": ""}],
      "parameters": [{"cname": "", "config": {"channels": [{"name": "t", "value_type": "u16", "reg_type": "holding", "reg_addr": 1}]}}]}]})");
  EXPECT_EQ(korvex_test::dump_table(*loaded->database, "Topics"), json::parse(R"([[1, 1, 1, "_1", "t", 0]])"));
}

TEST(ConfigurationFile, ConfigurationThatAppearsLateIsPickedUp) {
  korvex_test::temp_dir_t dir;
  const auto config_path = dir.path() / "late" / "korvex.json";
  auto database = open_cache_database(dir.path() / "korvex.cache");
  const std::string text = file_text(fs::path(KORVEX_TEST_DATA_DIR) / "golden" / "channels" / "config.json");

  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    // Written aside and renamed, so the loader never meets a half-written file.
    dir.write("late/korvex.json.part", text);
    fs::rename(dir.path() / "late" / "korvex.json.part", config_path);
  });
  const auto started = std::chrono::steady_clock::now();
  service_settings_t settings;
  EXPECT_NO_THROW(settings = load_configuration(config_path, database, false, false));
  writer.join();
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1500));
  EXPECT_EQ(settings.url, "localhost");
  EXPECT_EQ(database->execAndGet("SELECT COUNT(*) FROM Topics").getInt(), 9);
}

}  // namespace
