#pragma once

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <string>

// Configuration values written as text: case folding and numbers.

inline std::string lower_case(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

inline std::string upper_case(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// A number in text, read as std::stoul reads it in `base` (a text without
// digits throws its "stoul"), that must not exceed `high`: the field it goes
// into would keep only its low bits, and a typo would reach another register
// or device instead of stopping the load.
inline unsigned long text_number(const std::string& text, int base, unsigned long high, const std::string& refusal) {
  const unsigned long value = std::stoul(text, nullptr, base);
  if (value > high) throw std::runtime_error(refusal);
  return value;
}

// Hexadecimal after "0x" (a small x: "0X10" is read as decimal, and so as 0),
// decimal otherwise.
inline unsigned long hex_or_decimal(const std::string& text, unsigned long high, const std::string& refusal) {
  return text_number(text, text.rfind("0x", 0) == 0 ? 16 : 10, high, refusal);
}
