#include <chrono>
#include <optional>
#include <string>

#include <SQLiteCpp/Column.h>
#include <spdlog/spdlog.h>

#include "port/value_codec.hpp"

int64_t system_now_seconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A changed value is published only once it has stayed different for the
// hold time; until then the last accepted value is what the channel shows.
bool debounce(int64_t debounce_id, const std::string& log_name, const std::string& value,
              value_context_t& context) {
  auto& select = context.debounce_select;
  select.reset();
  select.clearBindings();
  select.bind(":debounce_id", debounce_id);
  if (!select.executeStep()) {
    select.reset();
    return true;
  }
  const int64_t hold = select.getColumn("value").getInt64();
  const auto current_column = select.getColumn("current_value");
  const std::optional<std::string> current =
      current_column.isNull() ? std::nullopt : std::optional<std::string>(current_column.getString());
  const int64_t timer = select.getColumn("timer").getInt64();
  select.reset();

  auto& update = context.debounce_update;
  update.reset();
  update.clearBindings();
  update.bind(":debounce_id", debounce_id);
  // Each case below binds the two columns it stores; "unchanged" rebinds the
  // value just read.
  const auto store = [&](const std::optional<std::string>& stored, int64_t stored_timer) {
    if (stored) {
      update.bind(":current_value", *stored);
    } else {
      update.bind(":current_value");
    }
    update.bind(":timer", stored_timer);
    update.tryExecuteStep();
    update.reset();
  };

  if (!current) {
    spdlog::debug("{} : контроль дребезга : нет значения", log_name);
    store(value, timer);
    return true;
  }
  if (value == *current) {
    spdlog::debug("{} : контроль дребезга : завершено", log_name);
    store(current, 0);
    return false;
  }
  if (timer == 0) {
    const int64_t now = context.now_seconds();
    spdlog::debug("{} : контроль дребезга : начало", log_name);
    store(current, now);
    return true;
  }
  const int64_t now = context.now_seconds();
  if (now - timer >= hold) {
    spdlog::debug("{} : контроль дребезга : возвращено значение по истечению таймера : {}", log_name, value);
    store(value, 0);
    return false;
  }
  spdlog::debug("{} : контроль дребезга : до завершения {} сек.", log_name, hold - (now - timer));
  return true;
}
