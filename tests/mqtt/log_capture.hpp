#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

namespace korvex_test {

// Makes a capturing logger the default one for the life of the object, so a
// test can look for the exact lines the code under test wrote.
class log_capture_t {
 public:
  log_capture_t() : sink(std::make_shared<line_sink_t>()), previous(spdlog::default_logger()) {
    auto logger = std::make_shared<spdlog::logger>("capture", sink);
    logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(logger);
  }
  ~log_capture_t() { spdlog::set_default_logger(previous); }

  std::vector<std::string> lines() { return sink->copy(); }
  int count(const std::string& text) {
    int n = 0;
    for (const auto& line : lines()) n += line == text;
    return n;
  }

 private:
  class line_sink_t : public spdlog::sinks::base_sink<std::mutex> {
   public:
    std::vector<std::string> copy() {
      std::lock_guard lock(mutex_);
      return captured;
    }

   protected:
    void sink_it_(const spdlog::details::log_msg& message) override {
      captured.emplace_back(message.payload.data(), message.payload.size());
    }
    void flush_() override {}

   private:
    std::vector<std::string> captured;
  };

  std::shared_ptr<line_sink_t> sink;
  std::shared_ptr<spdlog::logger> previous;
};

// Polls the condition until it holds or the deadline passes.
template <typename Condition>
bool wait_until(Condition condition, std::chrono::milliseconds deadline = std::chrono::seconds(15)) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace korvex_test
