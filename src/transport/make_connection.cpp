#include "transport/make_connection.hpp"

#include <SQLiteCpp/Column.h>

#include "core/constants.hpp"
#include "transport/connection_queries.hpp"
#include "transport/serial_connection.hpp"
#include "transport/tcp_connection.hpp"
#include "transport/udp_connection.hpp"

std::shared_ptr<connection_t> make_connection(const SQLite::Statement& row) {
  switch (find_token(connection_types, row.getColumn(connection_column::type).getString())) {
    case 0:
      return std::make_shared<serial_connection_t>(row);
    case 1:
      return std::make_shared<udp_connection_t>(row);
    case 2:
      return std::make_shared<tcp_connection_t>(row);
  }
  // The table holds no other code; a new kind must be added here.
  throw std::logic_error("connection kind without a constructor");
}
