#pragma once

#include <algorithm>
#include <deque>
#include <optional>
#include <vector>

#include "core/sync_queue.hpp"
#include "transport/connection.hpp"

namespace korvex_test {

// A connection that plays a scripted device: each request written releases
// the next scripted reply, and reads hand out what has been released, at
// most what was asked for, like a stream socket. Bytes left in `pending` by a
// test stand for a late reply already waiting on the line.
class script_connection_t : public connection_t {
 public:
  script_connection_t() {
    name = "script";
    // Nothing waits on a scripted line, but the frames still measure their
    // deadlines on the real clock: they need room for a thread that a busy
    // machine holds up between two reads.
    rto = 1000;
  }

  bool is_open() override { return true; }
  bool open() override { return true; }
  void close() override {}
  void set_timeouts() override {}

  long read(uint8_t* buffer, std::size_t size) override {
    ++reads;
    const auto ahead = take_read_ahead(buffer, size);
    const auto count = std::min(size - ahead, pending.size());
    std::copy_n(pending.begin(), count, buffer + ahead);
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(count));
    return static_cast<long>(ahead + count);
  }

  // No time passes on a scripted line: what was released is there at once.
  long read_some(uint8_t* buffer, std::size_t size, std::chrono::steady_clock::time_point) override {
    return read(buffer, size);
  }

  long write(const uint8_t* data, std::size_t size) override {
    requests.emplace_back(data, data + size);
    if (!replies.empty()) {
      pending.insert(pending.end(), replies.front().begin(), replies.front().end());
      replies.pop_front();
    }
    return write_result ? *write_result : static_cast<long>(size);
  }

  void flush_input() override {
    drop_read_ahead();
    pending.clear();
  }

  std::deque<modbus_vector_t> replies;
  std::deque<uint8_t> pending;
  std::vector<modbus_vector_t> requests;
  std::optional<long> write_result;
  int reads = 0;
};

}  // namespace korvex_test
