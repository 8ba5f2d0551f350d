#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The most of a command payload that goes into a log line.
inline constexpr std::size_t logged_payload_bytes = 64;

// A payload as it may stand in a log line: at most its first 64 bytes, cut
// short of a split UTF-8 character and marked "... (N байт)" when shortened,
// with control bytes written as \xNN so a payload can never start a line of
// its own in the log.
std::string loggable_payload(std::string_view payload);
