#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <thread>

#include <SQLiteCpp/SQLiteCpp.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "config/cache_database.hpp"
#include "config/configuration_loader.hpp"
#include "mqtt/topics_table.hpp"
#include "support/log_capture.hpp"
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

// "@DATA@" stands for the test data folder, so that templates are named by
// absolute paths and nothing under /usr/share is needed.
std::string with_data_dir(const std::string& text) { return replace_all(text, "@DATA@", KORVEX_TEST_DATA_DIR); }

// A configuration text loaded into a fresh cache database; throws what the
// loader throws.
struct loaded_t {
  korvex_test::temp_dir_t dir;
  std::shared_ptr<SQLite::Database> database = open_cache_database(dir.path() / "korvex.cache");
  service_settings_t settings;
};
std::unique_ptr<loaded_t> load(const std::string& text, bool is_debug = false, bool debug_fixed = false) {
  auto loaded = std::make_unique<loaded_t>();
  const auto path = loaded->dir.write("korvex.json", with_data_dir(text));
  loaded->settings = load_configuration(path, loaded->database, is_debug, debug_fixed, build_topics_table);
  return loaded;
}

// Every row of a table in row id order, each an array of its columns:
// NULL as null, blobs as "blob:" and lower-case hex.
json dump_table(SQLite::Database& database, const std::string& table) {
  SQLite::Statement query(database, "SELECT * FROM " + table + " ORDER BY rowid");
  json rows = json::array();
  while (query.executeStep()) {
    json& row = rows.emplace_back(json::array());
    for (int index = 0; index < query.getColumnCount(); ++index) {
      const auto column = query.getColumn(index);
      std::string hex = "blob:";
      for (int at = 0; column.isBlob() && at < column.getBytes(); ++at) {
        hex += fmt::format("{:02x}", static_cast<const unsigned char*>(column.getBlob())[at]);
      }
      row.push_back(column.isNull()      ? json(nullptr)
                    : column.isInteger() ? json(column.getInt64())
                    : column.isFloat()   ? json(column.getDouble())
                    : column.isBlob()    ? json(hex)
                                         : json(column.getString()));
    }
  }
  return rows;
}

// The character set of the environment's locale, which devices that name no
// code page get; a locale that is not installed falls back to "C", as it
// does for `locale`.
std::string environment_charset() {
  locale_t environment = newlocale(LC_CTYPE_MASK, "", locale_t(0));
  if (environment == locale_t(0)) environment = newlocale(LC_CTYPE_MASK, "C", locale_t(0));
  const std::string charset = nl_langinfo_l(CODESET, environment);
  freelocale(environment);
  return charset;
}

// Each file under data/golden holds a configuration and whole tables, row by
// row, that the load must give exactly. "@CODEPAGE@" stands for the system
// character set as stored: the loader takes it from the `locale` tool's
// output and, as things stand, keeps that output's line end.
TEST(ConfigurationGolden, TablesMatchExpectedRows) {
  for (const auto& entry : fs::directory_iterator(fs::path(KORVEX_TEST_DATA_DIR) / "golden")) {
    SCOPED_TRACE(entry.path().filename().string());
    const auto golden = json::parse(
        replace_all(korvex_test::read_file(entry.path()), "@CODEPAGE@", environment_charset() + "\\n"));
    const auto loaded = load(golden["config"].dump());
    // The types and topics are built from the channels: a case that stores
    // channels compares them as well.
    const auto& tables = golden["tables"];
    EXPECT_TRUE(!tables.contains("Channels") || (tables.contains("Classes") && tables.contains("Topics")));
    for (const auto& [table, rows] : tables.items()) {
      const auto actual = dump_table(*loaded->database, table);
      EXPECT_EQ(actual, rows) << table << " actual:\n" << actual.dump(1);
    }
  }
}

const char* const base_config = R"({"ports": [{
  "connection": {"name": "line", "type": "base.tcp", "tcp": {"url": "127.0.0.1", "port": 502}},
  "devices": [{"name": "dev", "type": "mb-tcp", "sid": 1, "cname": "c"}],
  "parameters": [{"cname": "c", "config": {
    "channels": [{"name": "t", "value_type": "u16", "reg_type": "holding", "reg_addr": 1}],
    "classes": [{"value_type": "pair", "length": 4, "channels": [{"name": "a", "value_type": "u16", "offset": 0}]}]}}]}]})";

// JSON Patch operations on the base configuration.
#define OP(op, path, value) R"({"op": ")" op R"(", "path": ")" path R"(", "value": )" value "}"
#define SET(path, value) "[" OP("add", path, value) "]"
#define DROP(path) R"([{"op": "remove", "path": ")" path R"("}])"
#define CONNECTION "/ports/0/connection"
#define DEVICE "/ports/0/devices/0"
#define SET_CONFIG "/ports/0/parameters/0/config"
#define CHANNEL SET_CONFIG "/channels/0"
#define PAIR SET_CONFIG "/classes/0"
#define USE_PAIR OP("add", CHANNEL "/value_type", R"("pair")")
#define AS_SERIAL OP("add", CONNECTION "/type", R"("base.rs")")
#define RS(options) "[" AS_SERIAL "," OP("add", CONNECTION "/rs", R"({"com_port": "/dev/ttyS0", )" options "}") "]"
#define NAME_REFUSED(name) "Недопустимое имя (" name ") : символы '+' и '#' в именах топиков MQTT запрещены"
#define COPY_PORT R"([{"op": "copy", "from": "/ports/0", "path": "/ports/-"}])"
#define NOT_ALLOWED(key, value) "Недопустимое значение \"" key "\" : " value

const std::pair<const char*, const char*> bad_configs[] = {
    {DROP("/ports"), "Ошибка секции \"ports\""},
    {DROP(CONNECTION), "Ошибка секции \"connection\""},
    {"[" OP("add", CONNECTION "/enabled", "false") "," OP("replace", "/ports/0/devices", "[]") "]",
     "Ошибка секции \"devices\""},  // a disabled port still needs devices
    {DROP("/ports/0/parameters"), "Ошибка секции \"parameters\""},
    {DROP(CONNECTION "/name"), "Не указано имя соединения"},
    {SET(CONNECTION "/type", R"("BASE.TCP")"), "Не указан (или неподдерживаемый) тип соединения"},
    {DROP(CONNECTION "/type"), "Не указан (или неподдерживаемый) тип соединения"},
    {SET(CONNECTION "/rto", R"("fast")"), "[json.exception.type_error.302] type must be number, but is string"},
    {DROP(CONNECTION "/tcp/port"), "Ошибка описания параметров TCP/UDP соединения"},
    {"[" AS_SERIAL "]", "Ошибка описания параметров RS соединения"},
    {RS(R"("baud_rate": 9600, "com_options": "9N1")"), "Ошибка описания параметров RS соединения"},
    // The framing is read from the first letter on, wherever the pattern matches.
    {RS(R"("baud_rate": 9600, "com_options": "A8N1")"), "Ошибка описания параметров RS соединения"},
    {"[" OP("replace", DEVICE, "5") "]", "Ошибка описания устройства"},
    {DROP(DEVICE "/type"), "Ошибка описания устройства"},
    {SET(DEVICE "/type", R"("valtec")"), "Ошибка описания устройства"},
    // 256 would be the broadcast address 0.
    {SET(DEVICE "/sid", "256"), "Ошибка поля SID"},
    {SET(DEVICE "/sid", R"("0x100")"), "Ошибка поля SID"},
    {SET(DEVICE "/sid", "-1"), "Ошибка поля SID"},
    {SET(DEVICE "/sid", "256.5"), "Ошибка поля SID"},
    {SET(DEVICE "/sid", "12.9"), "Ошибка поля SID"},
    {SET(DEVICE "/sid", R"("abc:7:1")"), "Ошибка поля SID"},
    {SET(DEVICE "/sid", R"("valtec:7")"), "Ошибка поля SID для устройств Valtec"},
    {SET(DEVICE "/sid", R"("valtec:7:1234567890abc")"), "Ошибка поля SID для устройств Valtec"},
    {SET(DEVICE "/sid", R"("zz")"), "stoul"},
    {COPY_PORT, "2::c_1 : дубликат устройства"},
    {SET("/ports/0/parameters/0", R"({"config": {}})"), "Отсутствует cname в описании параметров"},
    {SET(DEVICE "/cname", R"("zzz")"), "Для устройства (dev) не найдена конфигурация параметров (zzz)"},
    {SET("/ports/0/parameters/-", R"({"config": {}})"), "Не указано имя блока параметров"},
    {DROP(SET_CONFIG), "Нет описания блока параметров"},
    {SET(SET_CONFIG, "5"), "Неподдерживаемый тип описания блока параметров"},
    {SET(SET_CONFIG, R"("@DATA@/templates/none")"), "@DATA@/templates/none.json : не найден шаблон описания параметров"},
    {SET(SET_CONFIG, R"("@DATA@/templates/empty")"), "Ошибка файла описания блока параметров"},
    {SET(SET_CONFIG, R"("@DATA@/templates/list")"), "Не найден список каналов конфигурации параметров"},
    {SET(SET_CONFIG "/errors", R"([{"code": 1}])"), "Ошибка описания пользовательского сообщения об ошибке"},
    {SET(SET_CONFIG "/errors", R"([{"code": 65537, "message": "m"}])"),
     "Ошибка описания пользовательского сообщения об ошибке"},
    {SET(SET_CONFIG "/errors", R"({"e": 5})"),
     "[json.exception.type_error.305] cannot use operator[] with a string argument with number"},
    {"[" OP("replace", CHANNEL, R"("t")") "]", "Не указано имя канала"},
    {DROP(CHANNEL "/name"), "Не указано имя канала"},
    {DROP(CHANNEL "/value_type"), "Не указан тип канала"},
    {SET(CHANNEL "/value_type", R"("str255")"), "Ошибка формирования строкового типа данных"},
    {SET(CHANNEL "/reg_type", R"("Holding")"), "Не указан (или неизвестный) тип регистра канала"},
    {"[" OP("add", CHANNEL "/reg_type", R"("input")") "," OP("add", CHANNEL "/read_only", "false") "]",
     "Указан недоступный для записи тип регистра"},
    {"[" OP("add", CHANNEL "/reg_type", R"("input")") "," OP("add", CHANNEL "/read_only", "false") "," OP("add", CHANNEL
     "/bh_list", R"([{"name": "b", "offset": 0, "read_only": true}])") "]", "Указан недоступный для записи тип регистра"},
    {"[" OP("add", CHANNEL "/reg_type", R"("status")") "," OP("add", CHANNEL "/bh_list", R"([{"name": "b", "offset": 0,
     "read_only": false}])") "]", "Указан недоступный для записи тип регистра"},
    {"[" USE_PAIR "," OP("add", CHANNEL "/reg_type", R"("input")") "," OP("add", PAIR "/channels/0/read_only", "false") "]",
     "Указан недоступный для записи тип регистра"},
    {DROP(CHANNEL "/reg_addr"), "Не указан адрес регистра канала"},
    {SET(CHANNEL "/word_order", R"("middle")"), "Ошибка в названии порядка байт канала"},
    {SET(CHANNEL "/pattern", R"("0103 0")"), "Ошибка паттерна"},
    {"[" USE_PAIR "," OP("remove", SET_CONFIG "/classes", "0") "]", "Ошибка секции определяемых типов данных"},
    {"[" USE_PAIR "," OP("add", PAIR, R"({"length": 2})") "]", "Ошибка имени определяемого типа данных"},
    {"[" USE_PAIR "," OP("remove", PAIR "/length", "0") "]", "Ошибка длины определяемого типа данных"},
    {"[" USE_PAIR "," OP("add", PAIR "/length", "0") "]", "Ошибка длины определяемого типа данных"},
    {"[" USE_PAIR "," OP("add", PAIR "/length", "256") "]", "Ошибка длины определяемого типа данных"},
    {"[" USE_PAIR "," OP("add", PAIR "/length", "2.5") "]", "Ошибка длины определяемого типа данных"},
    {"[" USE_PAIR "," OP("add", PAIR "/channels", "[]") "]", "Ошибка списка каналов определяемого типа данных"},
    {"[" USE_PAIR "," OP("remove", PAIR "/channels/0/offset", "0") "]",
     "Не указано смещение параметра в пользовательском типе"},
    // Types that contain each other across two blocks of one parameter set.
    {"[" USE_PAIR "," OP("add", PAIR "/channels/-", R"({"name": "i", "value_type": "inner", "offset": 2})") ","
     OP("add", "/ports/0/parameters/-", R"({"cname": "c", "config": {"channels": [{"name": "t2", "value_type": "inner",
     "reg_type": "holding", "reg_addr": 9}], "classes": [{"value_type": "inner", "length": 4, "channels": [{"name": "o",
     "value_type": "pair", "offset": 0}]}]}})") "]", "Определяемый тип данных pair содержит сам себя"},
    // As topic levels '+' and '#' are wildcards: no value could be published
    // under such a name, and a command subscription would take in others.
    {SET(CHANNEL "/name", R"("t+1")"), NAME_REFUSED("t+1")},
    {"[" OP("add", DEVICE "/cname", R"("c#")") "," OP("add", "/ports/0/parameters/0/cname", R"("c#")") "]",
     NAME_REFUSED("c#")},
    {SET(CHANNEL "/bh_list", R"([{"name": "#", "offset": 0}])"), NAME_REFUSED("#")},
    {SET(DEVICE "/sid", R"("valtec:7:12+4")"), NAME_REFUSED("12+4")},
    {SET("/log", R"({"is_debug": "yes"})"), "[json.exception.type_error.302] type must be boolean, but is string"},
    // Numbers that do not fit their field, or are not whole where it needs a
    // whole number: the key's own text, else one naming the key.
    {SET(CONNECTION "/tcp/port", "70000"), "Ошибка описания параметров TCP/UDP соединения"},
    {SET(CONNECTION "/tcp/port", "50233333333333333330"), "Ошибка описания параметров TCP/UDP соединения"},
    {SET(CONNECTION "/tcp/port", "0"), "Ошибка описания параметров TCP/UDP соединения"},
    {RS(R"("baud_rate": 1e10, "com_options": "8N1")"), "Ошибка описания параметров RS соединения"},
    {SET(CONNECTION "/rto", "-1"), NOT_ALLOWED("rto", "-1")},
    {SET(CONNECTION "/poll_interval", "2.5"), NOT_ALLOWED("poll_interval", "2.5")},
    {SET(DEVICE "/repeat_on_error", "-1"), NOT_ALLOWED("repeat_on_error", "-1")},
    {SET(CHANNEL "/reg_addr", "70000"), NOT_ALLOWED("reg_addr", "70000")},
    {SET(CHANNEL "/reg_addr", "1e10"), NOT_ALLOWED("reg_addr", "10000000000.0")},
    {SET(CHANNEL "/reg_addr", R"("0x10000")"), NOT_ALLOWED("reg_addr", "\"0x10000\"")},
    {"[" USE_PAIR "," OP("add", PAIR "/channels/0/offset", "65536") "]", NOT_ALLOWED("offset", "65536")},
    {SET(CHANNEL "/scale", "1e39"), NOT_ALLOWED("scale", "1e+39")},
    {SET(CHANNEL "/min", "1.5"), NOT_ALLOWED("min", "1.5")},
    {SET(CHANNEL "/max", "3000000000"), NOT_ALLOWED("max", "3000000000")},
    {SET(CHANNEL "/debounce", "1e10"), NOT_ALLOWED("debounce", "10000000000.0")},
    {SET(CHANNEL "/function_read", R"("1FF")"), NOT_ALLOWED("function_read", "\"1FF\"")},
    {SET(CHANNEL "/function_write", "256"), NOT_ALLOWED("function_write", "256")},
    {SET(CHANNEL "/error_value", R"("zz")"), NOT_ALLOWED("error_value", "\"zz\"")},
    {SET(CHANNEL "/error_value", R"("1FFFFFFFFFFFFFFFF")"), NOT_ALLOWED("error_value", "\"1FFFFFFFFFFFFFFFF\"")},
    {SET(CHANNEL "/bh_list", R"([{"name": "b", "offset": 1e10}])"), NOT_ALLOWED("offset", "10000000000.0")},
    {SET("/log", R"({"max_size": 2.9})"), NOT_ALLOWED("max_size", "2.9")},
    {SET("/mqtt", R"({"port": 70000})"), NOT_ALLOWED("port", "70000")},
};

// What the loader refused the text for, after the file name; "loaded" when it
// took the text. Either way the load leaves no statement and no lock behind:
// the next handle writes at once.
std::string load_error(const std::string& text, const std::function<void(SQLite::Database&)>& inspect = {}) {
  std::string reason = "loaded";
  korvex_test::temp_dir_t dir;
  const auto database = open_cache_database(dir.path() / "korvex.cache");  // still open when the next one writes
  try {
    load_configuration(dir.write("korvex.json", with_data_dir(text)), database, false, false, build_topics_table);
  } catch (const std::runtime_error& error) {
    const std::string message = error.what(), separator = " : ошибка конфигурации : ";
    const auto at = message.find(separator);
    const bool labelled = at != std::string::npos && message.substr(0, at).ends_with("/korvex.json");
    reason = labelled ? message.substr(at + separator.size()) : "unlabelled " + message;
  }
  EXPECT_TRUE(std::none_of(config_statements.begin(), config_statements.end(), [](const auto& s) { return s; }));
  const auto next = open_cache_database(dir.path() / "korvex.cache");
  next->setBusyTimeout(0);
  EXPECT_NO_THROW(next->exec("BEGIN IMMEDIATE; COMMIT"));
  if (inspect) inspect(*next);
  return reason;
}

TEST(ConfigurationErrors, EachBadConfigurationGivesItsText) {
  const json base = json::parse(base_config);
  EXPECT_EQ(load_error(base.dump()), "loaded") << "so that each case fails for its own change only";
  for (const auto& [patch, reason] : bad_configs) {
    EXPECT_EQ(load_error(base.patch(json::parse(with_data_dir(patch))).dump()), with_data_dir(reason)) << patch;
  }
  // Nothing is rolled back: the rows written before the refusal stay, here
  // the first port's and the second connection.
  load_error(base.patch(json::parse(COPY_PORT)).dump(), [](SQLite::Database& database) {
    EXPECT_EQ(database.execAndGet("SELECT (SELECT COUNT(*) FROM Connections) || ' ' || (SELECT COUNT(*) FROM Devices)"
                                  " || ' ' || (SELECT COUNT(*) FROM Channels)").getString(), "2 1 1");
  });
  for (const std::string text : {"", "{} {}", "{\"ports\": [] // comment\n}"}) {
    EXPECT_TRUE(load_error(text).starts_with("[json.exception.parse_error.101]")) << load_error(text);
  }
}

TEST(ConfigurationSettings, LogAndBrokerSectionsWithDefaults) {
  const struct {
    const char* sections;  // merged into the base configuration
    bool is_debug, debug_fixed;
    const char* expected;  // debug, log files and size, keep-alive, broker port and host
  } cases[] = {
      {"{}", false, false, "false 10 5 60 1883 localhost"},
      {"{}", true, false, "true 10 5 60 1883 localhost"},
      {R"({"log": {"max_size": 2, "max_files": 3, "is_debug": true},
           "mqtt": {"url": "broker.lan", "port": 8883, "keep_alive": 15}})", false, false, "true 3 2 15 8883 broker.lan"},
      {R"({"log": "verbose", "mqtt": [1]})", false, false, "false 10 5 60 1883 localhost"},
      {R"({"log": {"is_debug": "yes"}})", true, true, "true 10 5 60 1883 localhost"},  // -d: the file's flag is not read
      {R"({"log": {"is_debug": false}})", true, false, "false 10 5 60 1883 localhost"},
  };
  for (const auto& c : cases) {
    json config = json::parse(base_config);
    config.update(json::parse(c.sections));
    const auto settings = load(config.dump(), c.is_debug, c.debug_fixed)->settings;
    EXPECT_EQ(fmt::format("{} {} {} {} {} {}", settings.is_debug, settings.max_files, settings.max_size,
                          settings.keep_alive, settings.port, settings.url), c.expected) << c.sections;
  }
}

// The example installed for operators to copy has to load as it stands; it
// is written aside and renamed, so the loader never meets half a file. It
// appears only once the loader has found it missing and waits.
TEST(ConfigurationFile, ConfigurationThatAppearsLateIsPickedUp) {
  korvex_test::temp_dir_t dir;
  const auto config_path = dir.path() / "late" / "korvex.json";
  const std::string waiting = config_path.string() + " : не найден : ожидание";
  auto database = open_cache_database(dir.path() / "korvex.cache");
  korvex_test::log_capture_t log;
  std::thread writer([&] {
    korvex_test::wait_until([&] { return log.count(waiting) > 0; }, std::chrono::seconds(20));
    fs::rename(dir.write("late/korvex.json.part", korvex_test::read_file(KORVEX_EXAMPLE_CONFIG)), config_path);
  });
  service_settings_t settings;
  EXPECT_NO_THROW(settings = load_configuration(config_path, database, false, false, build_topics_table));
  writer.join();
  EXPECT_EQ(log.count(waiting), 1);
  EXPECT_EQ(settings.url, "localhost");
  // voltage, energy, temperature, setpoint and the pump and alarm bits
  EXPECT_EQ(database->execAndGet("SELECT COUNT(*) FROM Topics").getInt(), 6);
}

}  // namespace
