#pragma once

#include <algorithm>
#include <memory>
#include <mutex>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include "support/process.hpp"

namespace korvex_test {

// Makes a capturing logger the default one for the life of the object, so a
// test can look for the exact lines (text only) the code under test wrote.
class log_capture_t {
 public:
  log_capture_t() : sink(std::make_shared<sink_t>()), previous(spdlog::default_logger()) {
    auto logger = std::make_shared<spdlog::logger>("capture", sink);
    logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(logger);
  }
  ~log_capture_t() { spdlog::set_default_logger(previous); }
  log_capture_t(const log_capture_t&) = delete;
  log_capture_t& operator=(const log_capture_t&) = delete;

  std::vector<std::string> lines() const { return sink->copy(false); }
  std::vector<std::string> errors() const { return sink->copy(true); }  // the error-level lines only
  int count(const std::string& text) const {
    const auto all = lines();
    return static_cast<int>(std::count(all.begin(), all.end(), text));
  }
  void clear() { sink->copy(false, true); }

 private:
  struct sink_t : spdlog::sinks::base_sink<std::mutex> {
    std::vector<std::string> copy(bool errors_only, bool then_clear = false) {
      std::lock_guard lock(mutex_);
      std::vector<std::string> out;
      for (const auto& [text, error] : captured) {
        if (!errors_only || error) out.push_back(text);
      }
      if (then_clear) captured.clear();
      return out;
    }
    void sink_it_(const spdlog::details::log_msg& message) override {
      captured.emplace_back(std::string(message.payload.data(), message.payload.size()),
                            message.level == spdlog::level::err);
    }
    void flush_() override {}
    std::vector<std::pair<std::string, bool>> captured;
  };

  std::shared_ptr<sink_t> sink;
  std::shared_ptr<spdlog::logger> previous;
};

}  // namespace korvex_test
