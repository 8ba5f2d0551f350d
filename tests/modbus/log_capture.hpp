#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

namespace korvex_test {

// Collects the default logger's messages (text only) while it lives.
class log_capture_t {
 public:
  log_capture_t() : sink(std::make_shared<sink_t>()) {
    previous = spdlog::default_logger();
    auto logger = std::make_shared<spdlog::logger>("capture", sink);
    logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(logger);
  }
  ~log_capture_t() { spdlog::set_default_logger(previous); }

  std::vector<std::string> lines() const {
    std::lock_guard lock(sink->lines_mutex);
    return sink->lines;
  }
  std::vector<std::string> errors() const {
    std::lock_guard lock(sink->lines_mutex);
    return sink->error_lines;
  }
  void clear() {
    std::lock_guard lock(sink->lines_mutex);
    sink->lines.clear();
    sink->error_lines.clear();
  }

 private:
  struct sink_t : spdlog::sinks::base_sink<std::mutex> {
    void sink_it_(const spdlog::details::log_msg& message) override {
      std::string text(message.payload.data(), message.payload.size());
      std::lock_guard lock(lines_mutex);
      if (message.level == spdlog::level::err) error_lines.push_back(text);
      lines.push_back(std::move(text));
    }
    void flush_() override {}
    mutable std::mutex lines_mutex;
    std::vector<std::string> lines;
    std::vector<std::string> error_lines;
  };

  std::shared_ptr<sink_t> sink;
  std::shared_ptr<spdlog::logger> previous;
};

}  // namespace korvex_test
