#include <chrono>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "modbus/modbus_queries.hpp"
#include "port/modbus_port.hpp"

namespace column = channel_column;

namespace {

// The channel's own poll delay, else its device's, in milliseconds. The
// loader keeps both within a signed 32-bit number.
int32_t poll_delay(const cache_row_t& row) {
  const auto& channel_delay = row.getColumn(column::channel_poll_delay);
  const auto& delay = channel_delay.isNull() ? row.getColumn(column::device_poll_delay) : channel_delay;
  return static_cast<int32_t>(delay.getUInt());
}

}  // namespace

std::string modbus_port_t::channel_log_name(const std::string& device, const std::string& channel) const {
  return fmt::format("{}::{}::{}", connection_id, device, channel);
}

bool modbus_port_t::attempt(const std::string& log_name, const cache_row_t& row, const char* repeat,
                            const std::function<bool()>& transaction) {
  const int32_t delay = poll_delay(row);
  const uint32_t attempts = row.getColumn(column::repeat_on_error).getUInt();
  // A stop ends the attempts at once: delays times attempts could outlast
  // any service manager's stop timeout.
  for (uint32_t attempt = 1; attempt <= attempts && !stop; ++attempt) {
    if (delay > 0) {
      spdlog::info("{} : задержка : {} мсек", log_name, delay);
      if (!pause(std::chrono::milliseconds(delay))) return false;
    }
    if (transaction()) return true;
    if (attempt < attempts && !stop) spdlog::info("{} : {} : {} попытка", log_name, repeat, attempt + 1);
  }
  return false;
}
