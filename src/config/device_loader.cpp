#include "config/device_loader.hpp"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include <fmt/format.h>

#include "config/cache_database.hpp"
#include "config/config_text.hpp"
#include "config/json_numbers.hpp"
#include "config/statement_use.hpp"
#include "core/command_topic.hpp"
#include "core/constants.hpp"

namespace {

const char* const device_message = "Ошибка описания устройства";
const char* const sid_message = "Ошибка поля SID";
const char* const valtec_sid_message = "Ошибка поля SID для устройств Valtec";

// The frame carries the slave address in one byte. A larger number would be
// cut to its low byte, and 256 would become 0, the broadcast address that
// every device on the line obeys.
constexpr unsigned long max_slave_id = 255;

// The text is lower case already, so "0X1A" is hexadecimal too.
uint16_t slave_id_from_text(const std::string& text) {
  return static_cast<uint16_t>(hex_or_decimal(text, max_slave_id, sid_message));
}

uint16_t slave_id_from_number(const json& sid) {
  return static_cast<uint16_t>(whole_number(sid, 0, max_slave_id, sid_message));
}

// The Valtec serial number travels as three 16-bit words, last word first:
// 123456789abc becomes the bytes 9a bc 56 78 12 34.
std::vector<uint8_t> valtec_serial_bytes(const std::string& serial_number) {
  constexpr std::size_t digits = 12;
  if (serial_number.size() > digits) throw std::runtime_error(valtec_sid_message);
  const std::string padded = std::string(digits - serial_number.size(), '0') + serial_number;
  const std::string reordered = padded.substr(8, 4) + padded.substr(4, 4) + padded.substr(0, 4);
  std::vector<uint8_t> bytes;
  for (std::size_t at = 0; at < digits; at += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(reordered.substr(at, 2), nullptr, 16)));
  }
  return bytes;
}

struct device_address_t {
  uint16_t slave_id = 0;
  std::string topic;
  std::string model;
  std::vector<uint8_t> extra;
};

device_address_t address_from_sid(const json& sid, const std::string& cname) {
  device_address_t address;
  if (sid.is_number()) {
    address.slave_id = slave_id_from_number(sid);
    address.topic = fmt::format("{}_{}", cname, address.slave_id);
    return address;
  }
  const std::string text = lower_case(sid.get<std::string>());
  if (text.find(':') == std::string::npos) {
    address.slave_id = slave_id_from_text(text);
    address.topic = fmt::format("{}_{}", cname, address.slave_id);
    return address;
  }

  // valtec:<slave id>:<serial number>
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t colon = std::min(text.find(':', start), text.size());
    if (colon > start) pieces.push_back(text.substr(start, colon - start));
    start = colon + 1;
  }
  if (pieces.empty() || pieces[0] != "valtec") throw std::runtime_error(sid_message);
  if (pieces.size() != 3) throw std::runtime_error(valtec_sid_message);
  address.model = pieces[0];
  address.slave_id = slave_id_from_text(pieces[1]);
  require_topic_name(pieces[2]);
  address.topic = fmt::format("{}_{}", cname, pieces[2]);
  address.extra = valtec_serial_bytes(pieces[2]);
  return address;
}

bool topic_is_taken(const std::string& topic) {
  auto& select = fresh_config_statement(select_device_by_topic);
  statement_reset_guard_t guard(select);
  select.bind(":topic", topic);
  return select.executeStep();
}

// The port must describe the device's parameter set itself.
void require_parameter_block(const json& parameters, const std::string& device_name, const std::string& cname) {
  for (const auto& block : parameters) {
    const json* block_cname = find_member(block, "cname");
    if (block_cname == nullptr) throw std::runtime_error("Отсутствует cname в описании параметров");
    if (block_cname->get<std::string>() == cname) return;
  }
  throw std::runtime_error(
      fmt::format("Для устройства ({}) не найдена конфигурация параметров ({})", device_name, cname));
}

}  // namespace

bool load_device(const int64_t& connection_id, const json& device, const json& parameters,
                 const std::string& default_codepage) {
  if (!device.is_object()) throw std::runtime_error(device_message);
  if (!member_or(device, "enabled", true)) return false;
  for (const char* key : {"sid", "name", "cname", "type"}) {
    if (!device.contains(key)) throw std::runtime_error(device_message);
  }
  const auto type = device.at("type").get<std::string>();
  if (!is_token(device_types, type)) throw std::runtime_error(device_message);
  const auto cname = device.at("cname").get<std::string>();
  require_topic_name(cname);
  const auto address = address_from_sid(device.at("sid"), cname);

  if (topic_is_taken(address.topic)) {
    throw std::runtime_error(fmt::format("{}::{} : дубликат устройства", connection_id, address.topic));
  }
  const auto name = device.at("name").get<std::string>();
  require_parameter_block(parameters, name, cname);

  auto& insert = fresh_config_statement(insert_device);
  insert.bind(":connection_id", connection_id);
  insert.bind(":name", name);
  insert.bind(":type", type);
  insert.bind(":sid", static_cast<int>(address.slave_id));
  // The port counts its delays in a signed 32-bit number.
  insert.bind(":poll_delay", whole_member_or<uint32_t>(device, "poll_delay", 0, 0, INT32_MAX));
  insert.bind(":batch_poll", member_or(device, "batch_poll", false) ? 1 : 0);
  insert.bind(":cname", cname);
  insert.bind(":codepage", member_or<std::string>(device, "codepage", default_codepage));
  insert.bind(":repeat_on_error", whole_member_or<uint32_t>(device, "repeat_on_error", 1));
  insert.bind(":update_on_write", member_or(device, "update_on_write", false) ? 1 : 0);
  insert.bind(":topic", address.topic);
  insert.bind(":model");
  insert.bind(":extra");
  if (!address.model.empty()) insert.bind(":model", address.model);
  if (!address.extra.empty()) {
    insert.bind(":extra", address.extra.data(), static_cast<int>(address.extra.size()));
  }
  if (exec_and_reset(insert) != 1) throw std::runtime_error("Ошибка записи устройства");
  return true;
}
