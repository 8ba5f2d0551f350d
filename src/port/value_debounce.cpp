#include <optional>
#include <string>

#include <SQLiteCpp/Column.h>
#include <spdlog/spdlog.h>

#include "config/statement_use.hpp"
#include "port/modbus_port.hpp"
#include "port/port_queries.hpp"

// The state of a value met for the first time starts with the hold time of
// its Debounces row and nothing stored yet; a row that is gone suppresses the
// value and keeps no state.
bool modbus_port_t::debounce(const debounce_key_t& key, int64_t debounce_id, const std::string& log_name,
                             const std::string& value) {
  auto found = debounces.find(key);
  if (found == debounces.end()) {
    auto& select = fresh_statement(*debounce_hold_statement);
    statement_reset_guard_t reset(select);
    select.bind(":debounce_id", debounce_id);
    if (!select.executeStep()) return true;
    const int64_t hold = select.getColumn(debounce_hold_column).getInt64();
    found = debounces.emplace(key, debounce_state_t{hold, std::nullopt, 0}).first;
  }
  auto& state = found->second;

  if (!state.current) {
    spdlog::debug("{} : контроль дребезга : нет значения", log_name);
    state.current = value;
    return true;
  }
  if (value == *state.current) {
    spdlog::debug("{} : контроль дребезга : завершено", log_name);
    state.timer = 0;
    return false;
  }
  const int64_t now = clock.wall_seconds();
  if (state.timer == 0) {
    spdlog::debug("{} : контроль дребезга : начало", log_name);
    state.timer = now;
    return true;
  }
  if (now - state.timer >= state.hold) {
    spdlog::debug("{} : контроль дребезга : возвращено значение по истечению таймера : {}", log_name, value);
    state.current = value;
    state.timer = 0;
    return false;
  }
  spdlog::debug("{} : контроль дребезга : до завершения {} сек.", log_name, state.hold - (now - state.timer));
  return true;
}
