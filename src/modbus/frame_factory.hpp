#pragma once

#include <memory>
#include <string>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include "config/cache_row.hpp"
#include "core/sync_queue.hpp"
#include "modbus/frame.hpp"
#include "transport/connection.hpp"

// Builds the frame for a device and channel row (a kept row, or a statement
// standing on one; its columns are those of modbus_queries.hpp):
// RTU, MBAP (TCP and UDP) or Valtec, with the channel's function codes.
// Throws "{} : неизвестный токен" for an unknown device type or register
// kind and "Неподдерживаемый тип фрейма" for a framing that is not built.
std::unique_ptr<modbus_frame_t> make_modbus_frame(const std::shared_ptr<connection_t>& connection,
                                                  const std::shared_ptr<SQLite::Database>& database,
                                                  const cache_row_t& row,
                                                  const std::string& log_name);

// Reads the channel's value: its bytes, empty when the transaction failed.
// The class-size statement is prepared from class_size_statement_text.
modbus_vector_t read_channel_registers(const std::shared_ptr<connection_t>& connection,
                                       const std::shared_ptr<SQLite::Database>& database,
                                       const cache_row_t& row,
                                       const std::shared_ptr<SQLite::Statement>& class_size_statement,
                                       const std::string& log_name);

// Writes encoded register data to the channel; true when the device confirmed.
bool write_channel_registers(const std::shared_ptr<connection_t>& connection,
                             const std::shared_ptr<SQLite::Database>& database,
                             const cache_row_t& row, const modbus_vector_t& data,
                             const std::string& log_name);
