#include "mqtt/topics_table.hpp"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <SQLiteCpp/Statement.h>
#include <fmt/format.h>

#include "config/statement_use.hpp"
#include "core/constants.hpp"
#include "core/value_types.hpp"
#include "mqtt/topics_queries.hpp"

namespace column = topics_column;

namespace {

struct channel_row_t {
  int64_t id;
  std::string name;
  std::string value_type;
  bool read_only;
  bool prefix;
  std::string reg_type;
};

struct device_row_t {
  int64_t id;
  std::string topic;
  std::string cname;
};

// Where the leaves being walked belong.
struct walk_place_t {
  int64_t connection_id;
  int64_t device_id;
  std::string cname;
  std::string device_topic;
  bool registers_writable;  // false under a status or input channel
};

// Rows are copied out and the statement reset before anything is written,
// so no read stays open across the inserts.
template <typename row_t, typename read_row_t>
std::vector<row_t> copy_rows(SQLite::Statement& statement, read_row_t read_row) {
  statement_reset_guard_t reset(statement);
  std::vector<row_t> rows;
  while (statement.executeStep()) rows.push_back(read_row(statement));
  return rows;
}

channel_row_t read_channel_row(SQLite::Statement& statement) {
  return {statement.getColumn(column::channel_id).getInt64(), statement.getColumn(column::name).getString(),
          statement.getColumn(column::value_type).getString(), statement.getColumn(column::read_only).getInt() != 0,
          statement.getColumn(column::prefix).getInt() != 0, std::string{}};
}

// A table type or a string type; anything else names a composite type.
bool is_table_type(const std::string& value_type) { return register_string_type(value_type) != 1; }

// A channel, bit field or member marked writable on registers that have no
// write function (status, input) would be subscribed and its commands written
// with no function code at all. Checked here, where each leaf is met with the
// channel it belongs to: one composite type may serve a holding channel and
// an input channel alike.
void require_writable_registers(bool writable, const walk_place_t& place) {
  if (writable && !place.registers_writable) throw std::runtime_error("Указан недоступный для записи тип регистра");
}

// A type inside itself has no size and no end: every reader of it would
// recurse until the stack runs out. Checked here, on the stored types, since
// the members of a type may come from another block of the same parameter set.
void require_outside_itself(const std::vector<std::string>& enclosing_types, const std::string& type_name) {
  if (std::find(enclosing_types.begin(), enclosing_types.end(), type_name) != enclosing_types.end()) {
    throw std::runtime_error(fmt::format("Определяемый тип данных {} содержит сам себя", type_name));
  }
}

class topics_builder_t {
 public:
  explicit topics_builder_t(SQLite::Database& database)
      : database(database),
        topic_insert(database, insert_topic_text),
        select_bit_fields(database, topic_bit_fields_text),
        select_connections(database, connections_text),
        select_devices(database, topic_devices_text),
        select_channels(database, topic_channels_text) {}

  void build() {
    const auto connections = copy_rows<int64_t>(
        select_connections, [](SQLite::Statement& row) { return row.getColumn(column::connection_id).getInt64(); });
    for (const int64_t connection_id : connections) {
      select_devices.clearBindings();
      select_devices.bind(":connection_id", connection_id);
      const auto devices = copy_rows<device_row_t>(select_devices, [](SQLite::Statement& row) {
        return device_row_t{row.getColumn(column::device_id).getInt64(),
                            row.getColumn(column::device_topic).getString(), row.getColumn(column::cname).getString()};
      });
      for (const auto& device : devices) add_device_topics(connection_id, device);
    }
  }

 private:
  void add_device_topics(int64_t connection_id, const device_row_t& device) {
    select_channels.clearBindings();
    select_channels.bind(":connection_id", connection_id);
    select_channels.bind(":cname", device.cname);
    const auto channels = copy_rows<channel_row_t>(select_channels, [](SQLite::Statement& row) {
      auto channel = read_channel_row(row);
      channel.reg_type = row.getColumn(column::reg_type).getString();
      return channel;
    });
    for (const auto& channel : channels) {
      const walk_place_t place{connection_id, device.id, device.cname, device.topic,
                               write_functions.count(find_token(register_types, channel.reg_type)) != 0};
      require_writable_registers(!channel.read_only, place);
      const std::string base_topic = channel.prefix ? channel.name : std::string{};
      if (is_table_type(channel.value_type)) {
        if (!add_bit_field_topics(place, channel.name, base_topic)) {
          insert_topic(place, channel.id, base_topic, !channel.read_only);
        }
      } else {
        add_user_type_topics(place, channel.value_type, base_topic, {});
      }
    }
  }

  bool add_bit_field_topics(const walk_place_t& place, const std::string& channel_name,
                            const std::string& base_topic) {
    select_bit_fields.clearBindings();
    select_bit_fields.bind(":connection_id", place.connection_id);
    select_bit_fields.bind(":cname", place.cname);
    select_bit_fields.bind(":parent", channel_name);
    const auto bit_fields = copy_rows<channel_row_t>(select_bit_fields, [](SQLite::Statement& row) {
      return channel_row_t{row.getColumn(column::bit_field_id).getInt64(), row.getColumn(column::name).getString(),
                           "bit", row.getColumn(column::read_only).getInt() != 0, true, std::string{}};
    });
    for (const auto& bit_field : bit_fields) {
      insert_topic(place, bit_field.id, fmt::format("{}_{}", base_topic, bit_field.name), !bit_field.read_only);
    }
    return !bit_fields.empty();
  }

  void add_user_type_topics(const walk_place_t& place, const std::string& type_name, const std::string& base_topic,
                            std::vector<std::string> enclosing_types) {
    require_outside_itself(enclosing_types, type_name);
    enclosing_types.push_back(type_name);

    SQLite::Statement select_members(database, topic_members_text);
    select_members.bind(":connection_id", place.connection_id);
    select_members.bind(":cname", place.cname);
    select_members.bind(":parent");
    if (!type_name.empty()) select_members.bind(":parent", type_name);
    const auto members = copy_rows<channel_row_t>(select_members, read_channel_row);
    for (const auto& member : members) {
      const std::string member_base = member.prefix ? fmt::format("{}_{}", base_topic, member.name) : base_topic;
      if (is_table_type(member.value_type)) {
        if (!add_bit_field_topics(place, member.name, member_base)) {
          insert_topic(place, member.id, member_base, !member.read_only);
        }
      } else {
        add_user_type_topics(place, member.value_type, member_base, enclosing_types);
      }
    }
  }

  // One Topics row: the connection, device and device topic of the place,
  // the leaf's row id and channel topic, and whether it takes commands.
  void insert_topic(const walk_place_t& place, int64_t channel_id, const std::string& channel_topic,
                    bool subscribe) {
    require_writable_registers(subscribe, place);
    topic_insert.clearBindings();
    topic_insert.bind(":connection_id", place.connection_id);
    topic_insert.bind(":device_id", place.device_id);
    topic_insert.bind(":channel_id", channel_id);
    topic_insert.bind(":device_topic", place.device_topic);
    topic_insert.bind(":channel_topic", channel_topic);
    topic_insert.bind(":subscribe", subscribe ? 1 : 0);
    if (exec_and_reset(topic_insert) != 1) throw std::runtime_error("Ошибка записи топика");
  }

  SQLite::Database& database;
  SQLite::Statement topic_insert;
  SQLite::Statement select_bit_fields;
  SQLite::Statement select_connections;
  SQLite::Statement select_devices;
  SQLite::Statement select_channels;
};

}  // namespace

void build_topics_table(const std::shared_ptr<SQLite::Database>& database) {
  database->exec(create_topics_text);
  topics_builder_t(*database).build();
}
