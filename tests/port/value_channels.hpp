#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include "core/sync_queue.hpp"
#include "port/modbus_port.hpp"
#include "port/value_codec.hpp"
#include "support/temp_dir.hpp"

namespace korvex_test {

// The settings of one channel that the value rules read; the rest of its row
// takes the loader's defaults.
struct channel_settings_t {
  std::string value_type = "u16";
  std::string word_order = "big_endian";
  bool inverted = false;
  std::optional<double> scale{};
  std::optional<int64_t> correction{};
  std::optional<std::string> unit{};
  std::optional<std::string> error_value{};
  std::optional<double> min_value{};
  std::optional<double> max_value{};
  std::optional<int64_t> debounce_hold{};
  std::optional<std::string> read_condition{};
  std::optional<std::string> write_condition{};
  std::optional<std::string> format = "{:.2f}";
};

// A real cache database in a temporary folder, with one TCP connection and
// one device, and a port of that connection (never started) whose value
// rules the tests run. Channels are added row by row and read back through
// the port's channel query.
class value_channels_t : private broker_link_t {
 public:
  value_channels_t();
  ~value_channels_t();

  int64_t add_channel(const channel_settings_t& settings, const std::string& name = "ch");
  // The channel's row, positioned, as the port's channel read gives it.
  std::unique_ptr<SQLite::Statement> row(int64_t channel_id);

  modbus_vector_t decode(const channel_settings_t& settings, const std::vector<uint8_t>& data);
  modbus_vector_t encode(const channel_settings_t& settings, const std::string& text);

  // The port's script heap and debounce.
  value_context_t& context();
  // The debounce states the port keeps.
  const std::map<debounce_key_t, debounce_state_t>& debounces() const;

  int64_t now = 1'000'000;  // the port's wall clock, which the debounce reads

 private:
  bool is_connected() const override { return false; }
  uint64_t connection_number() const override { return 0; }

  temp_dir_t folder;
  std::shared_ptr<SQLite::Database> database;
  int64_t connection_id = 0;
  std::unique_ptr<modbus_port_t> port;
};

std::string text_of(const modbus_vector_t& payload);

}  // namespace korvex_test
