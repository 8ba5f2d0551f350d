#include "core/payload_text.hpp"

#include <fmt/format.h>

namespace {

bool is_utf8_continuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

bool is_control(char byte) {
  const auto value = static_cast<unsigned char>(byte);
  return value < 0x20 || value == 0x7F;
}

}  // namespace

std::string loggable_payload(std::string_view payload) {
  std::size_t kept = payload.size();
  if (kept > logged_payload_bytes) {
    kept = logged_payload_bytes;
    while (kept > 0 && is_utf8_continuation(payload[kept])) --kept;
  }
  std::string text;
  text.reserve(kept);
  for (const char byte : payload.substr(0, kept)) {
    if (is_control(byte)) {
      text += fmt::format("\\x{:02x}", static_cast<unsigned char>(byte));
    } else {
      text += byte;
    }
  }
  if (kept < payload.size()) text += fmt::format("... ({} байт)", payload.size());
  return text;
}
