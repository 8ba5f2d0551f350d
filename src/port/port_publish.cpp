#include <array>
#include <cstring>
#include <exception>
#include <optional>
#include <string_view>

#include <spdlog/spdlog.h>

#include "config/statement_use.hpp"
#include "core/value_types.hpp"
#include "modbus/modbus_queries.hpp"
#include "port/modbus_port.hpp"
#include "port/port_queries.hpp"
#include "port/word_order.hpp"

namespace column = channel_column;

namespace {

constexpr int64_t last_bit = 63;

// The parent register's value as one 64-bit field. A 6-byte value has no
// rule of its own: it is widened to 8 bytes by a zero register on the side
// that is most significant in its word order, so the 64-bit rule reads
// exactly the 48-bit number and never past the data.
uint64_t parent_value(const uint8_t* data, std::size_t bytes, unsigned order) {
  if (bytes != 6) return apply_word_order_width(data, bytes, order).value();
  std::array<uint8_t, 8> widened{};
  const bool high_first = order == word_order_big_endian || order == word_order_mid_big_endian;
  std::memcpy(widened.data() + (high_first ? 2 : 0), data, 6);
  return apply_word_order_u64(widened.data(), order);
}

}  // namespace

void modbus_port_t::publish(const std::string& device_topic, const std::string& channel_topic,
                            const modbus_vector_t& payload) {
  if (payload.empty()) return;
  const std::string topic = fmt::format(fmt::runtime(value_topic_format), device_topic, channel_topic);
  const bool failed = payload.size() == 1 && payload[0] == 'r';
  // Held across the pushes, so a clear never overtakes an "r" of the same
  // channel published by the other thread.
  std::lock_guard lock(error_topics_mutex);
  // A clear pushed while the connection went away may never have reached the
  // broker, which then keeps the "r" for good: on every new connection each
  // channel's first good value clears its error topic again.
  if (const auto connection = broker.connection_number(); connection != error_topics_connection) {
    error_free_topics.clear();
    error_topics_connection = connection;
  }
  if (failed) {
    publish_retained(topic + "/meta/error", payload);
    error_free_topics.erase(topic);
    return;
  }
  publish_retained(topic, payload);
  if (error_free_topics.insert(topic).second) publish_retained(topic + "/meta/error", {});
}

void modbus_port_t::publish_retained(const std::string& topic, const modbus_vector_t& payload) {
  outgoing->push(mqtt_message_t{0, topic, payload, 0, true});
  spdlog::info("{} : {}", topic, std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
}

bool modbus_port_t::publish_bits(const std::string& cname, const std::string& word_order,
                                 const std::string& value_type, const std::string& device_topic,
                                 const std::string& topic_name, const std::string& parent_name, const uint8_t* data,
                                 std::size_t size) {
  const auto order = static_cast<unsigned>(find_token(word_orders, word_order));
  const auto type_size = value_types.find(value_type);
  if (!type_size) return false;
  const std::size_t bytes = type_size->bytes_num;
  if (bytes != 2 && bytes != 4 && bytes != 6 && bytes != 8) return false;

  const auto& fields = bit_fields_of(cname, parent_name);
  if (fields.empty()) return false;

  // Only a value with bit fields is read as their parent: a value without
  // them may be of a type or word order that has no 64-bit field, and is
  // decoded by its own rule instead. Fewer bytes than the parent's size, or
  // a word order the parent's width has no rule for, fail every field.
  std::optional<uint64_t> value;
  if (data != nullptr && size >= bytes) {
    try {
      value = parent_value(data, bytes, order);
    } catch (const std::exception& error) {
      spdlog::error("{} : ошибка обработки значения : {}", channel_log_name(device_topic, topic_name), error.what());
    }
  }
  for (const auto& field : fields) {
    const std::string field_topic = fmt::format("{}_{}", topic_name, field.name);
    const int64_t offset = field.offset;
    const bool inverted = field.inverted;
    modbus_vector_t payload{'r'};
    if (offset < 0 || offset > last_bit) {
      spdlog::error("{} : недопустимый номер бита : {}", channel_log_name(device_topic, field_topic), offset);
    } else if (value) {
      // Each field sees the register's own bit, whatever an earlier field
      // on the same bit did with it.
      const bool set = ((*value >> offset) & 1u) != 0;
      payload = {static_cast<uint8_t>(set != inverted ? '1' : '0')};
    }
    publish(device_topic, field_topic, payload);
  }
  return true;
}

const std::vector<bit_field_t>& modbus_port_t::bit_fields_of(const std::string& cname, const std::string& parent) {
  auto key = std::make_pair(cname, parent);
  if (const auto kept = bit_fields.find(key); kept != bit_fields.end()) return kept->second;
  if (!bit_fields_statement) bit_fields_statement = std::make_shared<SQLite::Statement>(*database, bit_fields_text);
  auto& fields = *bit_fields_statement;
  statement_reset_guard_t reset(fields);
  fresh_statement(fields);
  fields.bind(":connection_id", connection_id);
  fields.bind(":cname", cname);
  fields.bind(":parent", parent);
  std::vector<bit_field_t> found;
  while (fields.executeStep()) {
    found.push_back({fields.getColumn(bit_field_column::name).getString(),
                     fields.getColumn(bit_field_column::offset).getInt64(),
                     fields.getColumn(bit_field_column::inverted).getUInt() != 0});
  }
  return bit_fields.emplace(std::move(key), std::move(found)).first->second;
}

void modbus_port_t::publish_class(const std::string& cname, const std::string& parent,
                                  const std::string& device_topic, const std::string& enclosing_name,
                                  const modbus_vector_t& data, uint16_t offset) {
  const bool top_level = parent.empty();
  SQLite::Statement members(*database, members_text(top_level));
  members.bind(":connection_id", connection_id);
  members.bind(":cname", cname);
  members.bind(":device_topic", device_topic);
  if (top_level) {
    members.bind(":channel_name", enclosing_name);
  } else {
    members.bind(":parent", parent);
  }
  while (members.executeStep()) {
    const std::string member_name = members.getColumn(column::channel_name).getString();
    const bool prefix = members.getColumn(column::prefix).getUInt() != 0;
    const std::string value_type = members.getColumn(column::value_type).getString();
    const std::string word_order = members.getColumn(column::word_order).getString();
    const std::string topic_name =
        prefix && !top_level ? fmt::format("{}_{}", enclosing_name, member_name) : enclosing_name;
    const auto member_offset = static_cast<uint16_t>(
        top_level ? offset : offset + static_cast<uint16_t>(members.getColumn(column::reg_addr).getUInt()));

    const bool plain_value = value_types.contains(value_type) || value_type.rfind("str", 0) == 0;
    if (!plain_value) {
      // The nested members' names go on from this member's topic name, as
      // the Topics table builds them: k1_m_x, not m_x for every channel.
      publish_class(cname, value_type, device_topic, topic_name, data, member_offset);
      continue;
    }
    if (!value_types.contains(value_type)) register_string_type(value_type);
    // A member lying beyond what the device returned is a failed read.
    const bool inside = member_offset < data.size();
    const uint8_t* member_data = inside ? data.data() + member_offset : nullptr;
    const std::size_t member_size = inside ? data.size() - member_offset : 0;
    if (publish_bits(cname, word_order, value_type, device_topic, topic_name, member_name, member_data,
                     member_size)) {
      continue;
    }
    publish(device_topic, topic_name, decode_value(members, member_data, member_size, topic_name));
  }
}
