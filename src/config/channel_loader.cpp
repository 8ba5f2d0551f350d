#include "config/channel_loader.hpp"

#include <algorithm>
#include <cfloat>
#include <stdexcept>
#include <vector>

#include <fmt/args.h>
#include <fmt/format.h>

#include "config/cache_database.hpp"
#include "config/config_text.hpp"
#include "config/json_numbers.hpp"
#include "config/statement_use.hpp"
#include "core/command_topic.hpp"
#include "core/constants.hpp"
#include "core/value_types.hpp"

namespace {

std::string without_spaces(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
  return text;
}

// Lower case first, so "0X10" is hexadecimal too.
uint16_t register_address(const json& reg_addr) {
  if (!reg_addr.is_string()) return whole_number<uint16_t>(reg_addr, "reg_addr");
  const std::string text = reg_addr.get<std::string>();
  return static_cast<uint16_t>(hex_or_decimal(lower_case(text), UINT16_MAX, bad_number_text("reg_addr", json(text))));
}

// Function codes are written in hexadecimal when given as text. A request
// carries the code in one byte.
uint8_t function_code(const json& code, const char* key) {
  if (!code.is_string()) return whole_number<uint8_t>(code, key);
  const std::string text = code.get<std::string>();
  return static_cast<uint8_t>(text_number(text, 16, UINT8_MAX, bad_number_text(key, json(text))));
}

// The register bits that mark a failed measurement, in hexadecimal, stored as
// their decimal text. A text with no such number is refused naming the key,
// not by the conversion's bare "stoul".
std::string error_value_text(const json& error_value) {
  const std::string text = error_value.get<std::string>();
  try {
    return std::to_string(std::stoul(text, nullptr, 16));
  } catch (const std::logic_error&) {
    throw std::runtime_error(bad_number_text("error_value", error_value));
  }
}

// Scale is kept as a 32-bit float; a number beyond its range has none.
double scale_factor(const json& scale) {
  if (scale.is_number() && !(std::fabs(scale.get<double>()) <= FLT_MAX)) {
    throw std::runtime_error(bad_number_text("scale", scale));
  }
  return static_cast<double>(scale.get<float>());
}

// The request bytes as hexadecimal text; "{reg_addr}" in it stands for the
// channel's register address.
std::vector<uint8_t> pattern_bytes(const json& channel) {
  std::string text = channel.at("pattern").get<std::string>();
  if (text.find("reg_addr") != std::string::npos) {
    fmt::dynamic_format_arg_store<fmt::format_context> arguments;
    arguments.push_back(fmt::arg("reg_addr", whole_number<uint16_t>(channel.at("reg_addr"), "reg_addr")));
    text = fmt::vformat(text, arguments);
  }
  text = without_spaces(text);
  if (text.size() % 2 != 0) throw std::runtime_error("Ошибка паттерна");
  std::vector<uint8_t> bytes;
  for (std::size_t at = 0; at < text.size(); at += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(at, 2), nullptr, 16)));
  }
  return bytes;
}

void record_table_type(const std::string& type_name) {
  auto& count = fresh_config_statement(count_global_type);
  count.bind(":value_type", type_name);
  if (count_of(count) != 0) return;

  const auto size = value_types.find(type_name);
  auto& insert = fresh_config_statement(insert_global_type);
  insert.bind(":name", type_name);
  insert.bind(":regs_num", static_cast<int>(size->regs_num));
  insert.bind(":bytes_num", static_cast<int>(size->bytes_num));
  if (exec_and_reset(insert) != 1) throw std::runtime_error("Ошибка записи стандартного типа данных");
}

int64_t insert_debounce_row(SQLite::Database& database, const json& hold_seconds) {
  auto& insert = fresh_config_statement(insert_debounce);
  insert.bind(":value", whole_number<int32_t>(hold_seconds, "debounce"));
  insert.bind(":timer", 0);
  if (exec_and_reset(insert) != 1) throw std::runtime_error("Ошибка записи дребезга канала");
  return database.getLastInsertRowid();
}

void load_channel(const std::shared_ptr<SQLite::Database>& database, const int64_t& connection_id,
                  const json& channel, const json& classes, const std::string& cname, const std::string& parent) {
  if (!channel.is_object()) throw std::runtime_error("Не указано имя канала");
  if (!member_or(channel, "enabled", true)) return;
  if (!channel.contains("name")) throw std::runtime_error("Не указано имя канала");
  if (!channel.contains("value_type")) throw std::runtime_error("Не указан тип канала");
  const auto name = channel.at("name").get<std::string>();
  require_topic_name(name);
  const auto value_type = channel.at("value_type").get<std::string>();

  switch (register_string_type(value_type)) {
    case 0: record_table_type(value_type); break;
    case 1: load_classes(database, classes, connection_id, cname, parent, value_type); break;
    default: throw std::runtime_error("Ошибка формирования строкового типа данных");
  }

  const bool read_only = member_or(channel, "read_only", true);
  // Bound after the composite type above: its members use the same statement.
  auto& insert = fresh_config_statement(insert_channel);
  insert.bind(":connection_id", connection_id);
  insert.bind(":cname", cname);
  insert.bind(":parent");
  insert.bind(":reg_type");
  insert.bind(":word_order", "big_endian");
  insert.bind(":read_only", read_only ? 1 : 0);
  insert.bind(":scale");
  insert.bind(":correction");
  insert.bind(":inverted", member_or(channel, "inverted", false) ? 1 : 0);
  for (const char* key : {":unit", ":error_value", ":min_value", ":max_value", ":debounce", ":read_condition",
                          ":write_condition"}) {
    insert.bind(key);
  }
  insert.bind(":prefix", member_or(channel, "prefix", true) ? 1 : 0);
  for (const char* key : {":read_function", ":write_function", ":pattern", ":format", ":poll_delay"}) {
    insert.bind(key);
  }
  if (!parent.empty()) insert.bind(":parent", parent);
  insert.bind(":name", name);
  insert.bind(":value_type", value_type);

  if (!parent.empty()) {
    const json* offset = find_member(channel, "offset");
    if (offset == nullptr) throw std::runtime_error("Не указано смещение параметра в пользовательском типе");
    insert.bind(":reg_addr", static_cast<int>(whole_number<uint16_t>(*offset, "offset")));
  } else {
    const json* reg_type = find_member(channel, "reg_type");
    if (reg_type == nullptr || !reg_type->is_string() ||
        !is_token(register_types, reg_type->get<std::string>())) {
      throw std::runtime_error("Не указан (или неизвестный) тип регистра канала");
    }
    insert.bind(":reg_type", reg_type->get<std::string>());
    const json* reg_addr = find_member(channel, "reg_addr");
    if (reg_addr == nullptr) throw std::runtime_error("Не указан адрес регистра канала");
    insert.bind(":reg_addr", static_cast<int>(register_address(*reg_addr)));
  }

  std::string word_order = "big_endian";
  if (const json* value = find_member(channel, "word_order")) {
    word_order = value->get<std::string>();
    if (!is_token(word_orders, word_order)) throw std::runtime_error("Ошибка в названии порядка байт канала");
    insert.bind(":word_order", word_order);
  }
  if (const json* value = find_member(channel, "scale")) {
    insert.bind(":scale", scale_factor(*value));
  }
  if (const json* value = find_member(channel, "correction")) {
    insert.bind(":correction", whole_number<int32_t>(*value, "correction"));
  }
  if (const json* value = find_member(channel, "unit")) insert.bind(":unit", value->get<std::string>());
  if (const json* value = find_member(channel, "error_value")) {
    insert.bind(":error_value", error_value_text(*value));
  }
  if (const json* value = find_member(channel, "min")) insert.bind(":min_value", whole_number<int32_t>(*value, "min"));
  if (const json* value = find_member(channel, "max")) insert.bind(":max_value", whole_number<int32_t>(*value, "max"));

  if (const json* value = find_member(channel, "debounce")) {
    const int64_t debounce_id = insert_debounce_row(*database, *value);
    if (debounce_id >= 0) insert.bind(":debounce", debounce_id);
  }
  if (const json* value = find_member(channel, "converter_read")) {
    insert.bind(":read_condition", without_spaces(value->get<std::string>()));
  }
  if (const json* value = find_member(channel, "converter_write")) {
    insert.bind(":write_condition", without_spaces(value->get<std::string>()));
  }
  if (const json* value = find_member(channel, "function_read")) {
    insert.bind(":read_function", static_cast<int>(function_code(*value, "function_read")));
  }
  if (const json* value = find_member(channel, "function_write")) {
    insert.bind(":write_function", static_cast<int>(function_code(*value, "function_write")));
  }
  if (channel.contains("pattern")) {
    const auto bytes = pattern_bytes(channel);
    if (!bytes.empty()) insert.bind(":pattern", bytes.data(), static_cast<int>(bytes.size()));
  }
  insert.bind(":format", member_or<std::string>(channel, "format", "{:.2f}"));
  // The port counts its delays in a signed 32-bit number.
  if (const json* value = find_member(channel, "poll_delay")) {
    insert.bind(":poll_delay", whole_number<uint32_t>(*value, "poll_delay", 0, INT32_MAX));
  }
  if (exec_and_reset(insert) != 1) throw std::runtime_error("Ошибка записи канала");

  if (const json* bit_fields = find_member(channel, "bh_list")) {
    load_bit_fields(connection_id, *bit_fields, cname, name, word_order, read_only);
  }
}

}  // namespace

void load_channels(const std::shared_ptr<SQLite::Database>& database, const int64_t& connection_id,
                   const json& channels, const json& classes, const std::string& cname, const std::string& parent) {
  if (channels.empty()) throw std::runtime_error("Не найден список каналов конфигурации параметров");
  for (const auto& channel : channels) load_channel(database, connection_id, channel, classes, cname, parent);
}

void load_bit_fields(const int64_t& connection_id, const json& bit_fields, const std::string& cname,
                     const std::string& channel_name, const std::string& word_order, bool read_only) {
  for (const auto& bit_field : bit_fields) {
    const auto name = bit_field.at("name").get<std::string>();
    require_topic_name(name);
    const auto bit_number = whole_number<uint32_t>(bit_field.at("offset"), "offset");
    const bool bit_read_only = member_or(bit_field, "read_only", read_only);

    auto& insert = fresh_config_statement(insert_bit_field);
    insert.bind(":connection_id", connection_id);
    insert.bind(":cname", cname);
    insert.bind(":parent", channel_name);
    insert.bind(":name", name);
    insert.bind(":value_type", "bit");
    insert.bind(":reg_addr", bit_number);
    insert.bind(":word_order", word_order);
    insert.bind(":read_only", bit_read_only ? 1 : 0);
    insert.bind(":inverted", member_or(bit_field, "inverted", false) ? 1 : 0);
    if (exec_and_reset(insert) != 1) throw std::runtime_error("Ошибка записи битового параметра в таблицу");
  }
}
