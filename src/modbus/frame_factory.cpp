#include "modbus/frame_factory.hpp"

#include <stdexcept>

#include <fmt/format.h>

#include "config/statement_use.hpp"
#include "core/constants.hpp"
#include "core/value_types.hpp"
#include "modbus/modbus_queries.hpp"

namespace column = channel_column;

namespace {

constexpr int device_type_udp = 0;
constexpr int device_type_tcp = 1;
constexpr int device_type_rtu = 2;

bool is_null(const cache_row_t& row, const char* alias) { return row.getColumn(alias).isNull(); }

uint8_t function_code(const cache_row_t& row, const char* alias, const std::map<int, int>& defaults,
                      int register_type) {
  if (!is_null(row, alias)) return static_cast<uint8_t>(row.getColumn(alias).getUInt());
  const auto found = defaults.find(register_type);
  return found == defaults.end() ? 0 : static_cast<uint8_t>(found->second);
}

modbus_vector_t blob_bytes(const cache_row_t& row, const char* alias) {
  const auto& column = row.getColumn(alias);
  if (column.isNull()) return {};
  const auto* bytes = static_cast<const uint8_t*>(column.getBlob());
  return modbus_vector_t(bytes, bytes + column.getBytes());
}

}  // namespace

std::unique_ptr<modbus_frame_t> make_modbus_frame(const std::shared_ptr<connection_t>& connection,
                                                  const std::shared_ptr<SQLite::Database>& database,
                                                  const cache_row_t& row,
                                                  const std::string& log_name) {
  const int device_type = find_token(device_types, row.getColumn(column::device_type).getString());
  const int register_type = find_token(register_types, row.getColumn(column::reg_type).getString());
  const auto sid = static_cast<uint8_t>(row.getColumn(column::sid).getUInt());
  const uint8_t read_function = function_code(row, column::read_function, read_functions, register_type);
  const uint8_t write_function = function_code(row, column::write_function, write_functions, register_type);

  const std::string model = is_null(row, column::device_model) ? "" : row.getColumn(column::device_model).getString();
  if (model == "valtec") {
    return std::make_unique<valtec_modbus_frame_t>(read_function, write_function, connection, database,
                                                   std::make_unique<modbus_rtu_frame_header_t>(sid),
                                                   fmt::format("VALTEC : {}", log_name),
                                                   blob_bytes(row, column::device_extra));
  }
  if (model.empty()) {
    if (device_type == device_type_rtu) {
      return std::make_unique<modbus_rtu_frame_t>(read_function, write_function, connection, database,
                                                  std::make_unique<modbus_rtu_frame_header_t>(sid),
                                                  fmt::format("RTU : {}", log_name));
    }
    if (device_type == device_type_udp || device_type == device_type_tcp) {
      return std::make_unique<modbus_tcp_frame_t>(read_function, write_function, connection, database,
                                                  std::make_unique<modbus_tcp_frame_header_t>(connection->next_transaction_id(), 0, 0, sid),
                                                  fmt::format("TCP : {}", log_name));
    }
  }
  throw std::runtime_error("Неподдерживаемый тип фрейма");
}

modbus_vector_t read_channel_registers(const std::shared_ptr<connection_t>& connection,
                                       const std::shared_ptr<SQLite::Database>& database,
                                       const cache_row_t& row,
                                       const std::shared_ptr<SQLite::Statement>& class_size_statement,
                                       const std::string& log_name) {
  const std::string cname = row.getColumn(column::cname).getString();
  const std::string value_type = row.getColumn(column::value_type).getString();

  value_size_t size{};
  if (register_string_type(value_type) == 0) {
    size = *value_types.find(value_type);
  } else {
    auto& classes = fresh_statement(*class_size_statement);
    statement_reset_guard_t reset(classes);
    classes.bind(":connection_id", static_cast<int64_t>(connection->connection_id));
    classes.bind(":cname", cname);
    classes.bind(":value_type", value_type);
    classes.tryExecuteStep();
    size.bytes_num = static_cast<uint8_t>(classes.getColumn(class_size_column::bytes_num).getUInt());
    size.regs_num = static_cast<uint8_t>(classes.getColumn(class_size_column::regs_num).getUInt());
  }

  const auto address = static_cast<uint16_t>(row.getColumn(column::reg_addr).getUInt());
  const modbus_vector_t pattern = blob_bytes(row, column::pattern);

  const auto frame = make_modbus_frame(connection, database, row, log_name);
  const uint8_t function = frame->read_function_code();
  if (value_type == "bit" && pattern.empty() && reads_registers(function)) {
    // A one-bit value on a 16-bit register is set when the register is not
    // zero. The one byte that other 1-byte values take from a register (its
    // low one) would read a "bit" written as FF 00 back as clear.
    modbus_vector_t data = frame->read(cname, address, value_size_t{2, 1}, pattern);
    if (data.size() == 2) data = {static_cast<uint8_t>(data[0] != 0 || data[1] != 0 ? 1 : 0)};
    return data;
  }
  return frame->read(cname, address, size, pattern);
}

bool write_channel_registers(const std::shared_ptr<connection_t>& connection,
                             const std::shared_ptr<SQLite::Database>& database,
                             const cache_row_t& row, const modbus_vector_t& data,
                             const std::string& log_name) {
  const std::string cname = row.getColumn(column::cname).getString();
  const auto address = static_cast<uint16_t>(row.getColumn(column::reg_addr).getUInt());

  const auto frame = make_modbus_frame(connection, database, row, log_name);
  return frame->write(cname, address, data);
}
