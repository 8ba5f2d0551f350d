#include "core/plural_form.hpp"

const char* plural_form(uint64_t count, const char* one, const char* few, const char* many) {
  const auto last_two = count % 100;
  if (last_two >= 11 && last_two <= 19) return many;
  const auto last = count % 10;
  if (last == 1) return one;
  if (last >= 2 && last <= 4) return few;
  return many;
}
