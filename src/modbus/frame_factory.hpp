#pragma once

#include <memory>
#include <string>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include "config/cache_row.hpp"
#include "core/sync_queue.hpp"
#include "modbus/frame.hpp"
#include "transport/connection.hpp"

// The size of a composite value type of one parameter set. A type is stored
// once per parameter set, under the parent it was first met in, so the
// lookup ignores the parent: a type met first inside another type is then
// still readable as a channel of its own. Ports prepare their class-size
// statement from this text.
extern const char* const class_size_statement_text;

// Builds the frame for a device and channel row (a kept row, or a statement
// standing on one):
// RTU, MBAP (TCP and UDP) or Valtec, with the channel's function codes.
// Throws "{} : неизвестный токен" for an unknown device type or register
// kind and "Неподдерживаемый тип фрейма" for a framing that is not built.
std::unique_ptr<modbus_frame_t> make_modbus_frame(const std::shared_ptr<connection_t>& connection,
                                                  const std::shared_ptr<SQLite::Database>& database,
                                                  const cache_row_t& row,
                                                  const std::string& log_name);

// Reads the channel's value: its bytes, empty when the transaction failed.
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
