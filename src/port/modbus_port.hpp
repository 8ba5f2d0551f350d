#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include "core/constants.hpp"
#include "core/sync_queue.hpp"
#include "core/worker_pool.hpp"
#include "port/broker_link.hpp"
#include "port/script_engine.hpp"
#include "port/value_codec.hpp"
#include "transport/connection.hpp"

using port_queue_t = sync_queue_t<mqtt_message_t>;
using poll_list_t = sync_deque_t<poll_entry_t>;

// The clocks a port runs on. Polling must neither stop nor rush when the
// wall clock is set, so pass times and the interval wait use a steady clock;
// only the debounce timers, stored in the cache, count wall-clock seconds.
// Tests hand their own to check the waits without sleeping for them.
struct port_clock_t {
  // Whole seconds of a steady clock: a pass's elapsed time is a difference.
  std::function<int64_t()> steady_seconds;
  // Seconds since the epoch, for the debounce timers.
  std::function<int64_t()> wall_seconds;
  // Waits on the condition variable (its lock held) for at most `wait`, and
  // returns early once `stopped` holds; spurious wake-ups wait again. The
  // predicate may turn true with no one to notify (the broker link comes
  // up), so it is looked at again at least once a second.
  std::function<void(std::condition_variable&, std::unique_lock<std::mutex>&, std::chrono::seconds wait,
                     const std::function<bool()>& stopped)>
      interval_wait;
  // The poll delay before a request, the same way: a stop cuts it short.
  std::function<void(std::condition_variable&, std::unique_lock<std::mutex>&, std::chrono::milliseconds wait,
                     const std::function<bool()>& stopped)>
      delay_wait;

  static port_clock_t system();
};

struct port_options_t {
  std::filesystem::path cache_path = state_directory / cache_file_name;
  port_clock_t clock = port_clock_t::system();
};

// A bit field of a register channel, as its Channels row gives it.
struct bit_field_t {
  std::string name;
  int64_t offset;
  bool inverted;
};

// What a channel read tells its catcher before anything can fail after the
// row was found: names for the error line and the error topic.
struct channel_names_t {
  std::string log_name;
  std::string device_topic;
  std::string channel_name;
  // The device sent the channel's data (whatever its value turned out to be).
  bool answered = false;
};

// Serves one connection for the life of the service: polls its devices'
// channels at the connection's interval and publishes their values, and
// writes the commands the client routes to it. It lives on the stack of the
// client's port task; its inbound worker and poll tasks point back at it, so
// the destructor waits for them before anything goes.
class modbus_port_t {
 public:
  // The broker link outlives the port: the client waits for its port tasks.
  // `outgoing` is the client's one publish queue, shared by every port.
  modbus_port_t(broker_link_t& broker, int64_t connection_id, const std::shared_ptr<port_queue_t>& inbound,
                const std::shared_ptr<port_queue_t>& outgoing, port_options_t options = {});
  ~modbus_port_t();
  modbus_port_t(const modbus_port_t&) = delete;
  modbus_port_t& operator=(const modbus_port_t&) = delete;

  // The poll loop: returns only once the stop is requested.
  void start();

  // Sets the stop flag and wakes every wait of the port; safe from any thread
  // and harmless to repeat.
  void request_stop();

 private:
  // The re-reads of one write, in their order: read at once when no pass
  // runs, else put at the front of the running pass's list.
  void schedule_reads(const std::vector<poll_entry_t>& entries);

  // Lets the value tests run the rules on a port's own heap and debounce.
  friend struct modbus_port_test_access_t;

  // The value rules, on this port's script heap and debounce states.
  // `channel_topic` is the topic the value goes out under.
  modbus_vector_t decode_value(const cache_row_t& row, const uint8_t* data, std::size_t size,
                               const std::string& channel_topic);
  modbus_vector_t encode_value(const cache_row_t& row, const modbus_vector_t& payload);
  // A changed value is published only once it has stayed different for the
  // hold time of its Debounces row; true: suppress it.
  bool debounce(const debounce_key_t& key, int64_t debounce_id, const std::string& log_name,
                const std::string& value);

  // Pushes the payload onto the outgoing queue, retained: "r" on the
  // channel's error topic, a value on its own. The first value of a channel
  // after start, after each "r" and on each new broker connection is
  // followed by an empty retained message on the error topic, which removes
  // an "r" the broker still keeps.
  void publish(const std::string& device_topic, const std::string& channel_topic, const modbus_vector_t& payload);
  // True when at least one bit field of the parent was published. `data`
  // points at the parent's bytes (null after a failed read), `size` says how
  // many there are.
  bool publish_bits(const std::string& cname, const std::string& word_order, const std::string& value_type,
                    const std::string& device_topic, const std::string& topic_name, const std::string& parent_name,
                    const uint8_t* data, std::size_t size);
  void publish_class(const std::string& cname, const std::string& parent, const std::string& device_topic,
                     const std::string& enclosing_name, const modbus_vector_t& data, uint16_t offset);

  // Reads one channel and publishes its value. Exceptions leave it; `names`
  // is filled as soon as the channel's row is found.
  void read_channel(const poll_entry_t& entry, channel_names_t& names);
  // Handles one command. Exceptions leave it; `log_name` is filled as soon
  // as the channel's row is found.
  void write_channel(const mqtt_message_t& message, std::string& log_name);

  // "{connection id}::{device}::{channel}": the first placeholder of every
  // line about one channel, and the name of its frames.
  std::string channel_log_name(const std::string& device, const std::string& channel) const;
  // Up to `attempts` runs of one transaction, each after the channel's poll
  // delay, until one succeeds or the stop comes; `repeat` says what a repeat
  // is in its log line. The caller holds the transaction mutex.
  bool attempt(const std::string& log_name, const cache_row_t& row, const char* repeat,
               const std::function<bool()>& transaction);

  void publish_retained(const std::string& topic, const modbus_vector_t& payload);
  // read_channel that never throws: a channel that fails is logged and
  // published as a failed read, and the caller goes on with the next one.
  // True when the device answered.
  bool read_channel_safely(const poll_entry_t& entry);
  long poll_task();
  void inbound_worker();
  // Makes the connection usable for a pass: creates its resource again when
  // it could not be created before, and reopens a connection closed after
  // the last pass. False when the resource still does not exist.
  bool prepare_connection();
  void close_connection();
  // The device and channel row of a poll entry, and the bit fields of a
  // parent. The cache does not change once loaded, so each is queried once
  // and kept; both are used under the transaction mutex.
  const cache_row_t& channel_row(const poll_entry_t& entry);
  void keep_channel_rows(const std::vector<poll_entry_t>& channel_list);
  const std::vector<bit_field_t>& bit_fields_of(const std::string& cname, const std::string& parent);
  // The transaction mutex as the command worker takes it. The mutex is not
  // fair: the poll task, which takes it again right after each channel,
  // could keep a command waiting for a whole pass. It lets a command that
  // waits here go first (yield_to_commands).
  std::unique_lock<std::mutex> lock_for_command();
  void yield_to_commands();
  // Closes the connection unless a poll task is running.
  void close_connection_if_idle();
  void open_connection();
  // With `until_broker` the wait also ends once the broker is connected.
  void interval_wait(int32_t poll_interval, long elapsed, bool until_broker);
  // Waits a poll delay; false when the stop came first.
  bool pause(std::chrono::milliseconds delay);

  // The database goes last: every statement below is destroyed before it.
  std::shared_ptr<SQLite::Database> database;
  std::shared_ptr<SQLite::Statement> connection_statement;
  std::shared_ptr<SQLite::Statement> devices_statement;
  std::shared_ptr<SQLite::Statement> channels_statement;
  std::shared_ptr<SQLite::Statement> class_size_statement;
  std::shared_ptr<SQLite::Statement> debounce_hold_statement;
  std::shared_ptr<SQLite::Statement> channel_row_statement;
  std::shared_ptr<const cache_columns_t> channel_row_columns;
  std::shared_ptr<SQLite::Statement> bit_fields_statement;
  std::map<poll_entry_t, cache_row_t> channel_rows;
  std::map<std::pair<std::string, std::string>, std::vector<bit_field_t>> bit_fields;
  int64_t connection_id;
  port_clock_t clock;
  std::unique_ptr<script_engine_t> js_heap;
  std::unique_ptr<value_context_t> values;
  // Kept here, never in the cache file: the cache is shared by every port,
  // and a Debounces row by every device of a parameter set. Used under the
  // transaction mutex.
  std::map<debounce_key_t, debounce_state_t> debounces;
  std::shared_ptr<connection_t> connection;
  std::shared_ptr<port_queue_t> inbound;
  std::shared_ptr<port_queue_t> outgoing;
  std::shared_ptr<poll_list_t> poll_list;
  broker_link_t& broker;
  std::string port_log_name;
  // What each command topic has seen, to tell a command the broker hands
  // over again from its store from one not yet applied; only the inbound
  // worker uses it.
  struct command_record_t {
    std::optional<modbus_vector_t> last_written;
    std::optional<modbus_vector_t> last_handed_over;
    // Whether any command on the topic was written since `last_handed_over`
    // was handed over, that command included; handed over again, the same
    // command keeps it.
    bool written_since_handover = false;
  };
  std::map<std::string, command_record_t> command_records;
  std::atomic<bool> poll_reconnect{false};  // read by the inbound worker too
  std::atomic<bool> stop{false};
  std::atomic<bool> poll_running{false};
  std::atomic<int> commands_waiting{0};
  // Channels whose device answered in the last pass; written by the poll
  // task, read by start() once the task's future is ready.
  std::size_t pass_answers = 0;
  std::mutex transaction_mutex;
  // Value topics whose error topic holds nothing at the broker: cleared on
  // the broker connection `error_topics_connection` and no "r" since. Both
  // the poll task and the inbound worker publish.
  std::mutex error_topics_mutex;
  std::unordered_set<std::string> error_free_topics;
  uint64_t error_topics_connection = 0;
  // Every wait of the port (interval, poll delays) is on these, so the stop
  // request ends each of them at once.
  std::mutex interval_mutex;
  std::condition_variable interval_cv;
  std::mutex inbound_mutex;
  std::condition_variable inbound_cv;
  std::unique_ptr<worker_pool_t> inbound_pool;
  std::unique_ptr<worker_pool_t> poll_pool;
};
