#include <stdexcept>

#include "config/cache_database.hpp"
#include "config/channel_loader.hpp"
#include "config/json_numbers.hpp"
#include "config/statement_use.hpp"

namespace {

const char* const length_message = "Ошибка длины определяемого типа данных";

// A type's size travels as one byte (the frame reads that many bytes), so a
// length of zero, below zero or above 255 would read the wrong registers.
int byte_length(const json& length) { return static_cast<int>(whole_number(length, 1, 255, length_message)); }

bool user_type_exists(const int64_t& connection_id, const std::string& cname, const std::string& type_name) {
  auto& count = fresh_config_statement(count_user_type);
  count.bind(":connection_id", connection_id);
  count.bind(":cname", cname);
  count.bind(":value_type", type_name);
  return count_of(count) > 0;
}

}  // namespace

void load_classes(const std::shared_ptr<SQLite::Database>& database, const json& classes,
                  const int64_t& connection_id, const std::string& cname, const std::string& parent,
                  const std::string& type_name) {
  if (classes.is_null()) throw std::runtime_error("Ошибка секции определяемых типов данных");
  if (user_type_exists(connection_id, cname, type_name)) return;

  for (const auto& definition : classes) {
    if (!has_content(find_member(definition, "value_type"))) {
      throw std::runtime_error("Ошибка имени определяемого типа данных");
    }
    const json& name = definition.at("value_type");
    if (!name.is_string() || name.get_ref<const std::string&>() != type_name) continue;

    const json* length = find_member(definition, "length");
    if (!has_content(length)) throw std::runtime_error(length_message);
    const json* members = find_member(definition, "channels");
    if (!has_content(members)) throw std::runtime_error("Ошибка списка каналов определяемого типа данных");
    const int bytes = byte_length(*length);

    auto& insert = fresh_config_statement(insert_user_type);
    insert.bind(":connection_id", connection_id);
    insert.bind(":cname", cname);
    insert.bind(":name", type_name);
    insert.bind(":regs_num", bytes / 2 + bytes % 2);
    insert.bind(":bytes_num", bytes);
    insert.bind(":parent");
    if (!parent.empty()) insert.bind(":parent", parent);
    if (exec_and_reset(insert) != 1) throw std::runtime_error("Ошибка записи определяемого типа данных");

    load_channels(database, connection_id, *members, classes, cname, type_name);
    return;
  }
}
