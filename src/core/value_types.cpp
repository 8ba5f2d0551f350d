#include "core/value_types.hpp"

#include <mutex>

value_type_registry_t value_types;

value_type_registry_t::value_type_registry_t()
    : types{{"bit", {1, 1}},    {"i8", {1, 1}},      {"u8", {1, 1}},      {"i16", {2, 1}},
            {"u16", {2, 1}},    {"i24", {3, 2}},     {"u24", {3, 2}},     {"i32", {4, 2}},
            {"u32", {4, 2}},    {"i40", {5, 3}},     {"u40", {5, 3}},     {"i48", {6, 3}},
            {"u48", {6, 3}},    {"i56", {7, 4}},     {"u56", {7, 4}},     {"i64", {8, 4}},
            {"u64", {8, 4}},    {"float16", {2, 1}}, {"float32", {4, 2}}, {"float64", {8, 4}},
            {"bcd8", {1, 1}},   {"bcd16", {2, 1}},   {"bcd24", {3, 2}},   {"bcd32", {4, 2}},
            {"bcd40", {5, 3}},  {"bcd48", {6, 3}},   {"bcd56", {7, 4}},   {"bcd64", {8, 4}},
            {"utc4", {4, 2}},   {"utc8", {8, 4}},    {"fixi16", {2, 1}},  {"fixu16", {2, 1}}} {}

std::optional<value_size_t> value_type_registry_t::find(const std::string& name) const {
  std::shared_lock lock(mutex);
  auto found = types.find(name);
  if (found == types.end()) return std::nullopt;
  return found->second;
}

int value_type_registry_t::register_string_type(const std::string& name) {
  if (contains(name)) return 0;
  if (name.size() < 3 || name.compare(0, 3, "str") != 0) return 1;
  // The count wraps to one byte: the frame and the database carry it so.
  const auto count = static_cast<uint8_t>(std::stoi(name.substr(3), nullptr, 10));
  if (count == 0 || count == 255) return -1;
  const value_size_t size{count, static_cast<uint8_t>(count / 2 + count % 2)};
  std::unique_lock lock(mutex);
  types.try_emplace(name, size);
  return 0;
}
