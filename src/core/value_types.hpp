#pragma once

#include <cstdint>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>

// Size of one value type: data bytes and the 16-bit registers holding them.
struct value_size_t {
  uint8_t bytes_num;
  uint8_t regs_num;
};

// The process-wide table of value types by name. It starts with the built-in
// numeric types and only grows, when a "strN" type is first met. Port threads
// look names up while the loader may still add strings, so readers share a
// lock and a lookup never inserts.
class value_type_registry_t {
 public:
  value_type_registry_t();
  value_type_registry_t(const value_type_registry_t&) = delete;
  value_type_registry_t& operator=(const value_type_registry_t&) = delete;

  std::optional<value_size_t> find(const std::string& name) const;
  bool contains(const std::string& name) const { return find(name).has_value(); }

  // 0: the name is a known value type afterwards; 1: not a value-type name
  // at all (a composite type); -1: a string type with an unusable size.
  // "str" without digits throws std::invalid_argument, a count outside int
  // throws std::out_of_range (both from std::stoi); nothing is added then.
  int register_string_type(const std::string& name);

 private:
  mutable std::shared_mutex mutex;
  std::unordered_map<std::string, value_size_t> types;
};

extern value_type_registry_t value_types;

inline int register_string_type(const std::string& name) {
  return value_types.register_string_type(name);
}
