#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "config/cache_row.hpp"
#include "core/sync_queue.hpp"
#include "port/script_engine.hpp"

// Turning register bytes into published text and command text into register
// bytes, by the columns of a device and channel row (modbus/modbus_queries.hpp):
// the port's kept row of a channel, or a statement standing on such a row.

// The debounce state of one published value: a (device, channel) pair and
// the channel topic it goes out under, since the members of a composite type
// share their rows between every channel of that type.
struct debounce_key_t {
  int64_t device_id;
  int64_t channel_id;
  std::string channel_topic;
  auto operator<=>(const debounce_key_t&) const = default;
};

struct debounce_state_t {
  int64_t hold;                        // seconds, from the channel's Debounces row
  std::optional<std::string> current;  // the value last let through or stored
  int64_t timer = 0;                   // second the running hold started, 0 when idle
};

// What the value rules need of their port: its script heap, and its
// debounce (modbus_port_t::debounce), which keeps the state of each value.
struct value_context_t {
  script_engine_t& scripts;
  // true: suppress the value. `debounce_id` names the Debounces row that
  // holds the hold time.
  std::function<bool(const debounce_key_t& key, int64_t debounce_id, const std::string& log_name,
                     const std::string& value)>
      debounce;
};

// The payload of one channel or member published under `channel_topic`: "r"
// for a failed read (data null) or a refused value, empty for nothing to
// publish, else the value text. `size` is how many bytes `data` holds: a
// value needing more bytes than that is a failed read ("r"), never read past.
//
// A value the rules cannot process (a numeric step meeting a text that is not
// a number, an invalid format text, a refused word order, an unknown token, a
// time the local calendar cannot show, a BCD nibble above 9) is refused with
// "r" and an error line naming the channel, so one bad channel never aborts
// its poll pass.
modbus_vector_t decode_value(const cache_row_t& row, const uint8_t* data, std::size_t size,
                             const std::string& channel_topic, value_context_t& context);

// The register bytes for a command payload; throws on a refused text/type/word order.
modbus_vector_t encode_value(const cache_row_t& row, const modbus_vector_t& payload,
                             script_engine_t& scripts);
