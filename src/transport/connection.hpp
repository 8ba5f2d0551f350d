#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

// The byte stream a port talks Modbus over. Kinds report failure by result,
// never by exception: open() gives false, read() and write() give -1 when
// nothing was done, or a short count. Each kind logs with `name` first.
// A connection has no lock: the port runs one transaction at a time on it.
class connection_t {
 public:
  connection_t() = default;
  connection_t(const connection_t&) = delete;
  connection_t& operator=(const connection_t&) = delete;

  virtual void init() {}
  virtual ~connection_t() = default;
  virtual bool is_open() = 0;
  virtual bool open() = 0;
  virtual void close() = 0;
  virtual long read(uint8_t* buffer, std::size_t size) = 0;
  virtual long write(const uint8_t* data, std::size_t size) = 0;
  virtual void flush_input() {}
  virtual void flush_output() {}
  virtual void flush() {
    flush_output();
    flush_input();
  }
  virtual void set_timeouts() = 0;

  // Takes what has arrived, at most `size` bytes, waiting until the first
  // byte comes or `deadline` passes: 0 when nothing came, -1 when the
  // connection cannot be read. RTU replies carry no length field, so the
  // frames read them piece by piece against one deadline for the whole
  // reply, and listen with it for the silence that ends a frame.
  virtual long read_some(uint8_t* buffer, std::size_t size, std::chrono::steady_clock::time_point deadline) = 0;

  // How long a line must stay silent before the next frame may start. On a
  // network it only covers bytes still on their way; the serial kind works
  // it out from its character time.
  virtual std::chrono::microseconds silence_guard() const { return std::chrono::milliseconds(2); }

  // MBAP transaction ids of this connection's requests: 1 for the first,
  // then one more each time. A reply carries its request's id back, so a
  // reply that arrives too late for its own request is recognised when it
  // lands in the next one.
  uint16_t next_transaction_id() { return ++last_transaction_id; }

  // The ids of requests still waiting for their reply. Only a reply with one
  // of those is taken for a late one; a reply with an id never sent is taken
  // as the answer, since some devices do not echo the id at all.
  void await_reply(uint16_t id);
  void reply_received(uint16_t id);
  // True, and forgotten, when `id` belongs to an earlier request that got no
  // reply in time.
  bool take_late_reply(uint16_t id);

  // A peer that stays away fails every open of a poll pass alike: the
  // first failure of a pass is logged at its own level, the repeats only at
  // debug level.
  void begin_pass() { open_failure_logged = false; }

  // Bytes read ahead while the start of a reply was looked for: the next
  // reads return them first, as if they were still waiting in the
  // connection. Flushing the input or closing drops them.
  void put_back(const uint8_t* data, std::size_t size);

  // Many devices and gateways close a connection left idle for a while, and
  // some close one in the middle of a reply. A stream kind that finds its
  // peer gone closes itself and says here whether any byte had come since
  // the last request went out; its next open() or close() forgets it.
  enum class peer_close_t { none, before_reply, during_reply };
  peer_close_t peer_closed() const { return closed_by_peer; }

  uint32_t rto = 0;            // read (reply) timeout, ms
  uint32_t sto = 0;            // write (send) timeout, ms
  int64_t connection_id = 0;   // ROWID of the Connections row
  std::string name;            // log prefix
  bool available = false;      // the kind's resource exists

 protected:
  // The level for a line about a failed open.
  spdlog::level::level_enum open_failure_level(spdlog::level::level_enum level) {
    if (open_failure_logged) return spdlog::level::debug;
    open_failure_logged = true;
    return level;
  }
  void open_succeeded() { open_failure_logged = false; }

  // Serves read-ahead bytes first; the count taken.
  std::size_t take_read_ahead(uint8_t* buffer, std::size_t size);
  bool has_read_ahead() const { return read_ahead_from < read_ahead.size(); }
  std::size_t read_ahead_size() const { return read_ahead.size() - read_ahead_from; }
  // Keeps the buffer's memory: a reply's bytes come this way at every read.
  void drop_read_ahead() {
    read_ahead.clear();
    read_ahead_from = 0;
  }

  peer_close_t closed_by_peer = peer_close_t::none;

 private:
  bool open_failure_logged = false;
  uint16_t last_transaction_id = 0;
  std::deque<uint16_t> unanswered_ids;
  std::vector<uint8_t> read_ahead;
  std::size_t read_ahead_from = 0;  // the first byte not yet taken
};

inline void connection_t::put_back(const uint8_t* data, std::size_t size) {
  // What was taken already goes first, so the buffer holds only what waits.
  read_ahead.erase(read_ahead.begin(), read_ahead.begin() + static_cast<std::ptrdiff_t>(read_ahead_from));
  read_ahead_from = 0;
  read_ahead.insert(read_ahead.end(), data, data + size);
}

inline std::size_t connection_t::take_read_ahead(uint8_t* buffer, std::size_t size) {
  const std::size_t count = std::min(size, read_ahead.size() - read_ahead_from);
  std::copy_n(read_ahead.begin() + static_cast<std::ptrdiff_t>(read_ahead_from), count, buffer);
  read_ahead_from += count;
  if (read_ahead_from == read_ahead.size()) drop_read_ahead();
  return count;
}

inline void connection_t::await_reply(uint16_t id) {
  // A handful is enough: a device does not stay silent and then answer a
  // whole backlog.
  if (unanswered_ids.size() == 16) unanswered_ids.pop_front();
  unanswered_ids.push_back(id);
}

inline void connection_t::reply_received(uint16_t id) { std::erase(unanswered_ids, id); }

inline bool connection_t::take_late_reply(uint16_t id) {
  for (auto waiting = unanswered_ids.begin(); waiting != unanswered_ids.end(); ++waiting) {
    if (*waiting == id) {
      unanswered_ids.erase(waiting);
      return true;
    }
  }
  return false;
}
