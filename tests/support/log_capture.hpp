#pragma once

#include <algorithm>
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
  // The error-level lines only.
  std::vector<std::string> errors() const { return sink->copy(true); }
  int count(const std::string& text) const {
    const auto all = lines();
    return static_cast<int>(std::count(all.begin(), all.end(), text));
  }
  void clear() { sink->clear(); }

 private:
  class sink_t : public spdlog::sinks::base_sink<std::mutex> {
   public:
    std::vector<std::string> copy(bool errors_only) {
      std::lock_guard lock(mutex_);
      std::vector<std::string> out;
      for (const auto& [text, error] : captured) {
        if (!errors_only || error) out.push_back(text);
      }
      return out;
    }
    void clear() {
      std::lock_guard lock(mutex_);
      captured.clear();
    }

   protected:
    void sink_it_(const spdlog::details::log_msg& message) override {
      captured.emplace_back(std::string(message.payload.data(), message.payload.size()),
                            message.level == spdlog::level::err);
    }
    void flush_() override {}

   private:
    std::vector<std::pair<std::string, bool>> captured;
  };

  std::shared_ptr<sink_t> sink;
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
