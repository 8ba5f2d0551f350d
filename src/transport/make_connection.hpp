#pragma once

#include <memory>

#include <SQLiteCpp/Statement.h>

#include "transport/connection.hpp"

// Builds the connection of the kind named by the "type" column of the
// Connections row that the statement stands on: "base.rs" a serial line,
// "base.udp" a UDP peer, "base.tcp" a TCP peer. Each kind reads its own
// columns and makes its first open. An unknown type throws
// std::runtime_error "{} : неизвестный токен"; a TCP or UDP host that does
// not resolve throws std::system_error.
std::shared_ptr<connection_t> make_connection(const SQLite::Statement& row);
