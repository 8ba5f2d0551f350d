#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

#include "config/json_access.hpp"

// Numbers of the configuration that end up in integer columns. The JSON
// library would wrap an integer into the target type and convert a float
// beyond its range with undefined behaviour, so "port": 70000 would become
// 4464 and "reg_addr": 1e10 anything at all; a typo must stop the load
// instead of polling the wrong register.

// The refusal naming the key, for keys that have no error text of their own.
inline std::string bad_number_text(const char* key, const json& value) {
  return fmt::format("Недопустимое значение \"{}\" : {}", key, value.dump());
}

// `value` as a whole number within [low, high]; a boolean counts as 0 or 1,
// as the library reads it. Any other number is refused with `message`, any
// other type with the library's own type error.
inline int64_t whole_number(const json& value, int64_t low, int64_t high, const std::string& message) {
  if (value.is_boolean()) {
    const int64_t number = value.get<bool>() ? 1 : 0;
    if (number < low || number > high) throw std::runtime_error(message);
    return number;
  }
  if (value.is_number_unsigned()) {
    const uint64_t number = value.get<uint64_t>();
    if (number > static_cast<uint64_t>(high) || static_cast<int64_t>(number) < low) {
      throw std::runtime_error(message);
    }
    return static_cast<int64_t>(number);
  }
  if (value.is_number_integer()) {
    const int64_t number = value.get<int64_t>();
    if (number < low || number > high) throw std::runtime_error(message);
    return number;
  }
  if (value.is_number_float()) {
    const double number = value.get<double>();
    // Also false for NaN.
    if (!(number >= static_cast<double>(low) && number <= static_cast<double>(high)) ||
        number != std::trunc(number)) {
      throw std::runtime_error(message);
    }
    return static_cast<int64_t>(number);
  }
  return value.get<int64_t>();  // throws the library's "type must be number" error
}

// A whole number in the range of T, or [low, high] within it.
template <typename T>
T whole_number(const json& value, const char* key, T low = std::numeric_limits<T>::min(),
               T high = std::numeric_limits<T>::max()) {
  return static_cast<T>(whole_number(value, static_cast<int64_t>(low), static_cast<int64_t>(high),
                                     bad_number_text(key, value)));
}

// An optional member read as whole_number, or the fallback when absent.
template <typename T>
T whole_member_or(const json& object, const char* key, T fallback, T low = std::numeric_limits<T>::min(),
                  T high = std::numeric_limits<T>::max()) {
  const json* value = find_member(object, key);
  return value == nullptr ? fallback : whole_number<T>(*value, key, low, high);
}
