#pragma once

#include <nlohmann/json.hpp>

// Lookups of configuration keys that may be absent. A key is never read
// through the const operator[], which is undefined for a missing key.

using json = nlohmann::json;

// The member of an object, or null when the value is no object or lacks the key.
inline const json* find_member(const json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

// Present and not null, not an empty array and not an empty object.
inline bool has_content(const json* value) { return value != nullptr && !value->empty(); }

// The member converted by the library's rules, or the fallback when absent.
template <typename T>
T member_or(const json& object, const char* key, T fallback) {
  const json* value = find_member(object, key);
  return value == nullptr ? fallback : value->get<T>();
}

// A member that stands for an absent list: the value itself, or a shared null.
inline const json& member_or_null(const json& object, const char* key) {
  static const json null_value;
  const json* value = find_member(object, key);
  return value == nullptr ? null_value : *value;
}
