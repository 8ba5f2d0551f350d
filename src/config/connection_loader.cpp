#include "config/connection_loader.hpp"

#include <regex>
#include <stdexcept>
#include <string>

#include <spdlog/spdlog.h>

#include "config/cache_database.hpp"
#include "config/config_text.hpp"
#include "config/json_numbers.hpp"
#include "config/statement_use.hpp"
#include "core/constants.hpp"
#include "serial/enums.h"

namespace {

const char* const unknown_kind_message = "Не указан (или неподдерживаемый) тип соединения";
const char* const serial_message = "Ошибка описания параметров RS соединения";
const char* const network_message = "Ошибка описания параметров TCP/UDP соединения";
const char* const update_message = "Ошибка записи параметров порта";

struct line_settings_t {
  serial::bytesize_t byte_size;
  serial::parity_t parity;
  serial::stopbits_t stop_bits;
  serial::flowcontrol_t flow_control;
};

[[noreturn]] void refuse_framing_letter() {
  spdlog::error("{}", serial_message);
  throw std::runtime_error(serial_message);
}

// "com_options" such as 8N1 or 8E2H: data bits, parity, stop bits ("5" for
// one and a half) and an optional flow-control letter.
line_settings_t decode_com_options(const std::string& written) {
  const std::string text = upper_case(written);
  static const std::regex framing("([5,6,7,8]{1}[NOEMS]{1}[1,2,5]{1}[NSH]?)", std::regex::ECMAScript);
  if (!std::regex_search(text, framing)) throw std::runtime_error(serial_message);

  // The letters are read from the start of the text: a match further in
  // does not make a malformed beginning acceptable.
  line_settings_t settings{};
  switch (text[0]) {
    case '5': settings.byte_size = serial::fivebits; break;
    case '6': settings.byte_size = serial::sixbits; break;
    case '7': settings.byte_size = serial::sevenbits; break;
    case '8': settings.byte_size = serial::eightbits; break;
    default: refuse_framing_letter();
  }
  switch (text[1]) {
    case 'N': settings.parity = serial::parity_none; break;
    case 'O': settings.parity = serial::parity_odd; break;
    case 'E': settings.parity = serial::parity_even; break;
    case 'M': settings.parity = serial::parity_mark; break;
    case 'S': settings.parity = serial::parity_space; break;
    default: refuse_framing_letter();
  }
  switch (text[2]) {
    case '1': settings.stop_bits = serial::stopbits_one; break;
    case '2': settings.stop_bits = serial::stopbits_two; break;
    case '5': settings.stop_bits = serial::stopbits_one_point_five; break;
    default: refuse_framing_letter();
  }
  settings.flow_control = serial::flowcontrol_none;
  if (text.size() > 3) {
    if (text[3] == 'H') settings.flow_control = serial::flowcontrol_hardware;
    if (text[3] == 'S') settings.flow_control = serial::flowcontrol_software;
  }
  return settings;
}

void store_serial_line(SQLite::Database& database, const json& connection, int64_t connection_id) {
  SQLite::Statement update(database, serial_line_update_text);
  const json* rs = find_member(connection, "rs");
  if (rs == nullptr || !rs->is_object() || !rs->contains("com_port") || !rs->contains("com_options") ||
      !rs->contains("baud_rate")) {
    throw std::runtime_error(serial_message);
  }
  const auto settings = decode_com_options(rs->at("com_options").get<std::string>());
  update.bind(":port", rs->at("com_port").get<std::string>());
  update.bind(":baud_rate", static_cast<uint32_t>(whole_number(rs->at("baud_rate"), 0, UINT32_MAX, serial_message)));
  update.bind(":byte_size", static_cast<int>(settings.byte_size));
  update.bind(":parity", static_cast<int>(settings.parity));
  update.bind(":stop_bits", static_cast<int>(settings.stop_bits));
  update.bind(":flow_control", static_cast<int>(settings.flow_control));
  update.bind(":connection_id", connection_id);
  if (exec_and_reset(update) != 1) throw std::runtime_error(update_message);
}

void store_network_peer(SQLite::Database& database, const json& connection, int64_t connection_id) {
  SQLite::Statement update(database, network_peer_update_text);
  // The member is chosen by presence alone, whatever the connection kind.
  const json* peer = find_member(connection, "tcp");
  if (peer == nullptr) peer = find_member(connection, "udp");
  if (peer == nullptr || !peer->is_object() || !peer->contains("url") || !peer->contains("port")) {
    throw std::runtime_error(network_message);
  }
  update.bind(":host", peer->at("url").get<std::string>());
  // Port 0 reaches no peer.
  update.bind(":port", static_cast<int>(whole_number(peer->at("port"), 1, UINT16_MAX, network_message)));
  update.bind(":connection_id", connection_id);
  if (exec_and_reset(update) != 1) throw std::runtime_error(update_message);
}

}  // namespace

int64_t load_connection(const std::shared_ptr<SQLite::Database>& database, const json& connection) {
  if (!connection.is_object()) throw std::runtime_error(unknown_kind_message);
  if (!member_or(connection, "enabled", true)) return -1;

  const json* kind = find_member(connection, "type");
  if (kind == nullptr) throw std::runtime_error(unknown_kind_message);
  const auto kind_text = kind->get<std::string>();
  if (!is_token(connection_types, kind_text)) throw std::runtime_error(unknown_kind_message);

  const json* name = find_member(connection, "name");
  if (!has_content(name)) throw std::runtime_error("Не указано имя соединения");

  auto& insert = fresh_config_statement(insert_connection);
  insert.bind(":name", name->get<std::string>());
  insert.bind(":type", kind_text);
  insert.bind(":rto", whole_member_or<uint32_t>(connection, "rto", 500));
  insert.bind(":sto", whole_member_or<uint32_t>(connection, "sto", 500));
  // The port counts its interval in a signed 32-bit number.
  insert.bind(":poll_interval", whole_member_or<uint32_t>(connection, "poll_interval", 60, 0, INT32_MAX));
  insert.bind(":poll_reconnect", member_or(connection, "poll_reconnect", false) ? 1 : 0);
  if (exec_and_reset(insert) != 1) throw std::runtime_error("Ошибка записи порта");
  const int64_t connection_id = database->getLastInsertRowid();

  if (find_token(connection_types, kind_text) == 0) {
    store_serial_line(*database, connection, connection_id);
  } else {
    store_network_peer(*database, connection, connection_id);
  }
  return connection_id;
}
