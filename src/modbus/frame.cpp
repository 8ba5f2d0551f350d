#include "modbus/frame.hpp"

#include <SQLiteCpp/Statement.h>
#include <spdlog/fmt/bin_to_hex.h>
#include <spdlog/spdlog.h>

#include "modbus/big_endian.hpp"
#include "modbus/crc16.hpp"
#include "modbus/modbus_queries.hpp"

const std::array<const char*, 12> exception_messages = {
    "Неизвестная ошибка",
    "Принятый код функции не может быть обработан",
    "Адрес данных, указанный в запросе, недоступен",
    "Значение, содержащееся в поле данных запроса, является недопустимой величиной",
    "Невосстановимая ошибка имела место, пока ведомое устройство пыталось выполнить затребованное действие",
    "Ведомое устройство приняло запрос и обрабатывает его, но это требует много времени",
    "Ведомое устройство занято обработкой команды",
    "Ведомое устройство не может выполнить программную функцию, заданную в запросе",
    "Ведомое устройство при чтении расширенной памяти обнаружило ошибку четности",
    "",
    "Шлюз неправильно настроен или перегружен запросами",
    "Ведомого устройства нет в сети или от него нет ответа",
};

std::string builtin_exception_message(uint8_t code) {
  return code < exception_messages.size() ? exception_messages[code] : exception_messages[0];
}

namespace {

constexpr uint8_t read_coils = 1;
constexpr uint8_t read_discrete_inputs = 2;
constexpr uint8_t read_holding_registers = 3;
constexpr uint8_t read_input_registers = 4;
constexpr uint8_t write_single_coil = 5;
constexpr uint8_t write_single_register = 6;
constexpr uint8_t write_multiple_coils = 15;
constexpr uint8_t write_multiple_registers = 16;

// A PDU holds at most 253 bytes; the multiple-write header takes 6 of them.
constexpr std::size_t max_write_data = 246;

}  // namespace

bool reads_registers(uint8_t function) {
  return function == read_holding_registers || function == read_input_registers;
}

read_reply_layout_t read_reply_layout(uint8_t function, value_size_t size, bool has_pattern) {
  if (!has_pattern) {
    if (function == read_coils || function == read_discrete_inputs) {
      return {static_cast<uint16_t>((size.regs_num + 7) / 8), true};
    }
    if (reads_registers(function)) return {static_cast<uint16_t>(size.regs_num * 2), true};
  }
  return {size.bytes_num, false};
}

std::optional<modbus_vector_t> take_value_bytes(const uint8_t* body, read_reply_layout_t layout,
                                                uint8_t function, value_size_t size) {
  const uint8_t byte_count = body[0];
  const uint8_t* data = body + 1;
  if (layout.counted && byte_count != layout.data_size) return std::nullopt;
  if (layout.data_size < size.bytes_num) return std::nullopt;
  if (size.bytes_num == 1 && layout.counted && reads_registers(function)) {
    return modbus_vector_t{data[1]};
  }
  return modbus_vector_t(data, data + size.bytes_num);
}

write_request_t make_write_request(uint8_t function, uint16_t address, const modbus_vector_t& data) {
  if (function == write_single_register && data.size() > 2) function = write_multiple_registers;

  write_request_t request;
  auto& pdu = request.pdu;
  if (function != write_multiple_registers && function != write_multiple_coils) {
    pdu.push_back(function);
    append_big_endian<uint16_t>(pdu, address);
    pdu.insert(pdu.end(), data.begin(), data.end());
    request.reply_size = pdu.size();
    // The single writes are answered by their echo; a device that echoes
    // another address or value did not do what was asked.
    if (function == write_single_coil || function == write_single_register) request.required_reply = pdu;
    return request;
  }

  modbus_vector_t payload;
  uint16_t quantity;
  if (function == write_multiple_registers) {
    payload = data;
    if (payload.size() % 2) payload.push_back(0);
    quantity = static_cast<uint16_t>(payload.size() / 2);
  } else if (data.size() == 2 && (data[0] == 0xFF || data[0] == 0x00) && data[1] == 0x00) {
    // The single-coil form of an on or off value: one coil, one bit.
    payload = {static_cast<uint8_t>(data[0] ? 1 : 0)};
    quantity = 1;
  } else {
    payload = data;
    quantity = static_cast<uint16_t>(payload.size() * 8);
  }
  if (payload.size() > max_write_data) payload.resize(max_write_data);

  pdu.push_back(function);
  append_big_endian<uint16_t>(pdu, address);
  append_big_endian<uint16_t>(pdu, quantity);
  pdu.push_back(static_cast<uint8_t>(payload.size()));
  pdu.insert(pdu.end(), payload.begin(), payload.end());

  request.required_reply = modbus_vector_t(pdu.begin(), pdu.begin() + 5);
  request.reply_size = 5;
  return request;
}

modbus_frame_t::modbus_frame_t(uint8_t read_function, uint8_t write_function,
                               std::shared_ptr<connection_t> connection, std::shared_ptr<SQLite::Database> database,
                               std::unique_ptr<modbus_frame_header_t> header, std::string name)
    : read_function(read_function),
      write_function(write_function),
      connection(std::move(connection)),
      database(std::move(database)),
      header(std::move(header)),
      name(std::move(name)) {}

bool modbus_frame_t::send_read_request(uint16_t address, uint16_t count, const modbus_vector_t& pattern) {
  modbus_vector_t pdu;
  pdu.reserve(5 + pattern.size());
  pdu.push_back(read_function);
  if (pattern.empty()) {
    append_big_endian<uint16_t>(pdu, address);
    append_big_endian<uint16_t>(pdu, count);
  } else {
    pdu.insert(pdu.end(), pattern.begin(), pattern.end());
  }
  return send_request(pdu);
}

bool modbus_frame_t::send_write_request(const modbus_vector_t& pdu) {
  connection->flush();
  return send_request(pdu);
}

template <typename send_t>
bool modbus_frame_t::exchange(const std::string& cname, uint8_t function, const send_t& send, modbus_vector_t& pdu,
                              std::size_t expected, bool resend_after_close) {
  bool reconnected = false;
  for (;;) {
    // Whatever input is pending (a late reply to an earlier request) is not
    // this request's reply. A closed serial line has nothing pending and
    // would only log a failed flush; it reopens on the write.
    if (connection->is_open()) connection->flush_input();
    // A peer that closed the connection since it was last used (while it
    // was idle, or in the middle of the last reply) is connected again at
    // once, not only at the next pass. One connect per request: a peer that
    // cannot be reached fails it as any closed connection does.
    if (!reconnected && connection->peer_closed() != connection_t::peer_close_t::none) {
      reconnected = true;
      connection->open();
    }
    const bool sent = send();
    if (sent && receive_response(cname, pdu, function, expected)) return true;
    // Closed before any byte of the reply came: the request most likely
    // never reached the device, so it goes once more on a fresh connection.
    if (reconnected || connection->peer_closed() != connection_t::peer_close_t::before_reply) return false;
    // Unless it was a write that went out: a device that acts on a request
    // and closes instead of replying would pulse a coil or run a counter
    // twice.
    if (sent && !resend_after_close) return false;
  }
}

bool modbus_frame_t::send_request(const modbus_vector_t& pdu) {
  const auto request = header->build(pdu, name);
  const long written = connection->write(request.data(), request.size());
  if (written != static_cast<long>(request.size())) {
    spdlog::error("{} : ошибка выполнения запроса : таймаут", name);
    return false;
  }
  return true;
}

bool modbus_frame_t::receive_response(const std::string& cname, modbus_vector_t& pdu, uint8_t function,
                                      std::size_t expected) {
  if (!header->check_response(connection, name, false, function, expected)) return false;
  pdu.assign(header->body_size(), 0);
  const long count = connection->read(pdu.data(), pdu.size());
  if (count < 2) {
    spdlog::error("{} : ответ не получен", name);
    return false;
  }
  spdlog::debug("{} : ответ {:a}", name, spdlog::to_hex(pdu, hex_dump_line));

  // An exception reply's CRC is not compared: it fails the transaction
  // either way.
  const uint8_t exception_function = function | 0x80;
  if (pdu[0] == exception_function && exception_function != function) {
    const uint8_t code = pdu[1];
    spdlog::error("{} : ошибка ({}) : {} ", name, code, exception_message(cname, code));
    spdlog::error("{} : операция не выполнена", name);
    return false;
  }
  if (count != static_cast<long>(pdu.size())) {
    spdlog::error("{} : операция не выполнена", name);
    return false;
  }
  if (header->has_crc()) {
    const std::size_t data_size = pdu.size() - 2;
    const uint16_t received_crc = static_cast<uint16_t>(pdu[data_size] | pdu[data_size + 1] << 8);
    const uint8_t unit = header->unit_id();
    const uint16_t computed_crc = modbus_crc16(pdu.data(), data_size, modbus_crc16(&unit, 1));
    if (computed_crc != received_crc) {
      pdu.clear();
      spdlog::error("{} : ошибка контрольной суммы : [{:04x} : {:04x}]", name, computed_crc, received_crc);
      spdlog::error("{} : операция не выполнена", name);
      return false;
    }
    pdu.resize(data_size);
  }
  // A reply to another function, or of another size, answers some other
  // request.
  if (pdu.size() != expected || pdu[0] != function) {
    spdlog::error("{} : операция не выполнена", name);
    return false;
  }
  return true;
}

bool modbus_frame_t::check_write_reply(const write_request_t& request, const modbus_vector_t& reply) {
  if (!request.required_reply || *request.required_reply == reply) return true;
  spdlog::error("{} : операция не выполнена", name);
  return false;
}

modbus_vector_t modbus_frame_t::finish_read(const uint8_t* body, read_reply_layout_t layout, value_size_t size) {
  auto value = take_value_bytes(body, layout, read_function, size);
  if (!value) {
    spdlog::error("{} : операция не выполнена", name);
    return {};
  }
  return std::move(*value);
}

std::string modbus_frame_t::exception_message(const std::string& cname, uint8_t code) {
  if (database) {
    // Prepared on this port's own handle and gone before the frame lets the
    // handle go: a statement never outlives its database.
    SQLite::Statement statement(*database, error_message_text);
    statement.bind(":connection_id", static_cast<int64_t>(connection->connection_id));
    statement.bind(":cname", cname);
    statement.bind(":code", static_cast<int64_t>(code));
    if (statement.executeStep()) {
      std::string message = statement.getColumn(error_message_column).getString();
      statement.reset();
      return message;
    }
  }
  return builtin_exception_message(code);
}

modbus_vector_t plain_modbus_frame_t::read(const std::string& cname, uint16_t address, value_size_t size,
                                           const modbus_vector_t& pattern) {
  const auto layout = read_reply_layout(read_function, size, !pattern.empty());
  modbus_vector_t reply;
  const auto send = [&] { return send_read_request(address, size.regs_num, pattern); };
  if (!exchange(cname, read_function, send, reply, layout.data_size + 2u, true)) return {};
  return finish_read(reply.data() + 1, layout, size);
}

bool plain_modbus_frame_t::write(const std::string& cname, uint16_t address, const modbus_vector_t& data) {
  const auto request = make_write_request(write_function, address, data);
  modbus_vector_t reply;
  const auto send = [&] { return send_write_request(request.pdu); };
  if (!exchange(cname, request.pdu[0], send, reply, request.reply_size, false)) return false;
  return check_write_reply(request, reply);
}

valtec_modbus_frame_t::valtec_modbus_frame_t(uint8_t read_function, uint8_t write_function,
                                             std::shared_ptr<connection_t> connection,
                                             std::shared_ptr<SQLite::Database> database,
                                             std::unique_ptr<modbus_frame_header_t> header, std::string name,
                                             modbus_vector_t serial_number)
    : modbus_frame_t(read_function, write_function, std::move(connection), std::move(database), std::move(header),
                     std::move(name)),
      serial_number(std::move(serial_number)) {}

// Valtec reply PDU: function, serial number, byte count, data.
modbus_vector_t valtec_modbus_frame_t::read(const std::string& cname, uint16_t address, value_size_t size,
                                            const modbus_vector_t& pattern) {
  const auto layout = read_reply_layout(read_function, size, !pattern.empty());
  modbus_vector_t pdu;
  pdu.reserve(5 + serial_number.size() + pattern.size());
  pdu.push_back(read_function);
  pdu.insert(pdu.end(), serial_number.begin(), serial_number.end());
  if (pattern.empty()) {
    append_big_endian<uint16_t>(pdu, address);
    append_big_endian<uint16_t>(pdu, size.regs_num);
  } else {
    pdu.insert(pdu.end(), pattern.begin(), pattern.end());
  }
  modbus_vector_t reply;
  // Function, serial number, byte count, data.
  const auto send = [&] { return send_request(pdu); };
  if (!exchange(cname, read_function, send, reply, serial_number.size() + layout.data_size + 2, true)) return {};
  if (!std::equal(serial_number.begin(), serial_number.end(), reply.begin() + 1)) {
    spdlog::error("{} : не совпадают серийные номера", name);
    return {};
  }
  return finish_read(reply.data() + 1 + serial_number.size(), layout, size);
}

bool valtec_modbus_frame_t::write(const std::string&, uint16_t, const modbus_vector_t&) { return false; }
