#include <cstdlib>
#include <stdexcept>
#include <string>

#include <SQLiteCpp/Column.h>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "modbus/modbus_queries.hpp"
#include "port/value_codec.hpp"
#include "port/value_rules.hpp"

namespace column = channel_column;

namespace {

const modbus_vector_t refused_value{'r'};

bool is_set(const cache_row_t& row, const char* column) { return !row.getColumn(column).isNull(); }

// An integer text stays an integer text, summed exactly and read signed, so
// a negative reading is corrected as such instead of wrapping. Any other
// number (scaled, a float, a script's result) keeps its fraction.
std::string corrected_text(const std::string& text, int64_t correction) {
  const std::size_t digits_from = text.starts_with('-') ? 1 : 0;
  const bool integer = text.size() > digits_from &&
                       text.find_first_not_of("0123456789", digits_from) == std::string::npos;
  if (!integer) return std::to_string(std::stod(text) + static_cast<double>(correction));
  const long long reading = std::stoll(text);
  long long sum = 0;
  if (__builtin_add_overflow(reading, correction, &sum)) throw std::out_of_range("correction");
  return fmt::format("{}", sum);
}

// The error value names the register's bits; a type without a fixed width
// ("bit", strings) compares its text.
bool is_error_value(const cache_row_t& row, const decoded_value_t& value) {
  const std::string error_value = row.getColumn(column::error_value).getString();
  return value.bits ? *value.bits == std::stoull(error_value) : value.text == error_value;
}

}  // namespace

modbus_vector_t apply_value_rules(const cache_row_t& row, decoded_value_t value, const std::string& channel_topic,
                                  value_context_t& context) {
  const std::string channel_name = row.getColumn(column::channel_name).getString();
  const std::string type = row.getColumn(column::value_type).getString();
  if (is_set(row, column::error_value) && is_error_value(row, value)) {
    spdlog::error("{} : получено ошибочное значение : {}", channel_name, value.text);
    return refused_value;
  }
  std::string text = std::move(value.text);

  const bool has_condition = is_set(row, column::read_condition);
  if (has_condition) {
    const double x = std::strtod(text.c_str(), nullptr);
    text = std::to_string(std::stod(context.scripts.evaluate(x, row.getColumn(column::read_condition).getString())));
  }

  if (is_set(row, column::debounce)) {
    const debounce_key_t key{row.getColumn(column::device_id).getInt64(), row.getColumn(column::channel_id).getInt64(),
                             channel_topic};
    if (context.debounce(key, row.getColumn(column::debounce).getInt64(), channel_name, text)) return {};
  }

  const bool has_scale = is_set(row, column::scale);
  if (has_scale) text = std::to_string(std::stod(text) * row.getColumn(column::scale).getDouble());

  const bool has_min = is_set(row, column::min_value);
  const bool has_max = is_set(row, column::max_value);
  if (has_min || has_max) {
    const double value = std::stod(text);
    // A NaN compares false both ways and so passes, as a limit cannot judge it.
    if ((has_min && row.getColumn(column::min_value).getDouble() > value) ||
        (has_max && row.getColumn(column::max_value).getDouble() < value)) {
      spdlog::error("{} : значение вне допустимого диапазона: {}", channel_name, text);
      return refused_value;
    }
  }

  if (is_set(row, column::correction)) text = corrected_text(text, row.getColumn(column::correction).getInt64());

  if (type == "float16" || type == "float32" || type == "float64" || has_condition || has_scale || has_min ||
      has_max) {
    text = fmt::format(fmt::runtime(row.getColumn(column::format).getString()), std::stod(text));
  }

  if (is_set(row, column::unit)) text = fmt::format("{} {}", text, row.getColumn(column::unit).getString());

  return modbus_vector_t(text.begin(), text.end());
}
