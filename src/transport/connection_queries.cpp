#include "transport/connection_queries.hpp"

#include <SQLiteCpp/Column.h>

#include "config/cache_row.hpp"
#include "transport/connection.hpp"

namespace column = connection_column;

const std::string connection_row_text =
    select_columns({{"ROWID", column::connection_id},
                    {"Name", column::name},
                    {"Type", column::type},
                    {"RTO", column::rto},
                    {"STO", column::sto},
                    {"PollInterval", column::poll_interval},
                    {"PollReconnect", column::poll_reconnect},
                    {"RSPort", column::rs_port},
                    {"RSBaudRate", column::baud_rate},
                    {"RSByteSize", column::byte_size},
                    {"RSParity", column::parity},
                    {"RSStopBits", column::stop_bits},
                    {"RSFlowControl", column::flow_control},
                    {"NetHost", column::host},
                    {"NetPort", column::host_port}}) +
    " FROM Connections WHERE ROWID = :connection_id";

void read_common_settings(connection_t& connection, const SQLite::Statement& row) {
  connection.connection_id = row.getColumn(column::connection_id).getInt64();
  connection.rto = row.getColumn(column::rto).getUInt();
  connection.sto = row.getColumn(column::sto).getUInt();
}
