#include <optional>
#include <string>

#include <SQLiteCpp/Column.h>
#include <spdlog/spdlog.h>

#include "config/statement_use.hpp"
#include "port/port_queries.hpp"
#include "port/value_codec.hpp"

namespace {

// The state of a value met for the first time: its hold time and nothing
// stored yet. Null when the channel's Debounces row is gone.
debounce_state_t* new_state(const debounce_key_t& key, int64_t debounce_id, value_context_t& context) {
  auto& select = fresh_statement(context.debounce_hold);
  statement_reset_guard_t reset(select);
  select.bind(":debounce_id", debounce_id);
  if (!select.executeStep()) return nullptr;
  const int64_t hold = select.getColumn(debounce_hold_column).getInt64();
  return &context.debounces.emplace(key, debounce_state_t{hold, std::nullopt, 0}).first->second;
}

}  // namespace

// A changed value is published only once it has stayed different for the
// hold time; until then the last accepted value is what the channel shows.
bool debounce(const debounce_key_t& key, int64_t debounce_id, const std::string& log_name, const std::string& value,
              value_context_t& context) {
  const auto found = context.debounces.find(key);
  debounce_state_t* state = found != context.debounces.end() ? &found->second : new_state(key, debounce_id, context);
  if (state == nullptr) return true;

  if (!state->current) {
    spdlog::debug("{} : контроль дребезга : нет значения", log_name);
    state->current = value;
    return true;
  }
  if (value == *state->current) {
    spdlog::debug("{} : контроль дребезга : завершено", log_name);
    state->timer = 0;
    return false;
  }
  const int64_t now = context.now_seconds();
  if (state->timer == 0) {
    spdlog::debug("{} : контроль дребезга : начало", log_name);
    state->timer = now;
    return true;
  }
  if (now - state->timer >= state->hold) {
    spdlog::debug("{} : контроль дребезга : возвращено значение по истечению таймера : {}", log_name, value);
    state->current = value;
    state->timer = 0;
    return false;
  }
  spdlog::debug("{} : контроль дребезга : до завершения {} сек.", log_name, state->hold - (now - state->timer));
  return true;
}
