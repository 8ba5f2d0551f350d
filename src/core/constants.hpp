#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include <fmt/format.h>

// Fixed tables and texts shared by every subsystem. They are built before
// main() runs and never change afterwards, so any thread reads them unlocked.

using token_table_t = std::map<int, std::string>;

extern const token_table_t connection_types;  // "base.rs", "base.udp", "base.tcp"
extern const token_table_t device_types;      // "mb-udp", "mb-tcp", "mb-rtu", "mb-ascii"
extern const token_table_t register_types;    // "coil", "status", "holding", "input"
extern const token_table_t word_orders;       // "big_endian" ... "mid_little_endian"

// Default function codes by register-kind code. Status and input registers
// have no write code: they are not writable.
extern const std::map<int, int> read_functions;
extern const std::map<int, int> write_functions;

extern const std::filesystem::path log_directory;
extern const std::filesystem::path state_directory;
extern const std::filesystem::path config_directory;
extern const std::filesystem::path templates_directory;
extern const std::filesystem::path log_file_name;
extern const std::filesystem::path cache_file_name;
extern const std::filesystem::path config_file_name;

extern const std::string value_topic_format;    // device topic, channel topic
extern const std::string command_topic_format;  // device topic, channel topic

// Description and version, as they appear in the start and end log lines.
extern const std::pair<std::string, std::string> driver_info;

// Token text to code: the first code, in ascending order, whose text equals
// the token exactly. Readers of every token column rely on this, and the
// loader accepts a token by the same match.
inline std::optional<int> token_code(const token_table_t& table, const std::string& token) {
  for (const auto& [code, text] : table) {
    if (text == token) return code;
  }
  return std::nullopt;
}

inline bool is_token(const token_table_t& table, const std::string& token) {
  return token_code(table, token).has_value();
}

inline int find_token(const token_table_t& table, const std::string& token) {
  if (const auto code = token_code(table, token)) return *code;
  throw std::runtime_error(fmt::format("{} : неизвестный токен", token));
}
