#pragma once

#include <chrono>
#include <mutex>
#include <string>

struct duk_hthread;

// One JavaScript heap per port. The poll task evaluates read conditions on it
// and the inbound worker evaluates write conditions, each from its own thread;
// a duktape heap must never be entered by two threads at once, so every
// evaluation holds the engine's own lock.
//
// The heap is created by the first evaluation: most ports have no script at
// all, and a heap costs about 135 KB.
class script_engine_t {
 public:
  // How long one evaluation may run. A condition is a one-line expression;
  // one that runs longer holds its port's connection and every command of
  // that port, so it is abandoned instead.
  static constexpr std::chrono::milliseconds default_time_budget{100};

  explicit script_engine_t(std::chrono::milliseconds time_budget = default_time_budget);
  ~script_engine_t();
  script_engine_t(const script_engine_t&) = delete;
  script_engine_t& operator=(const script_engine_t&) = delete;

  // Sets the global "value" to x and evaluates the script; an empty script
  // gives "". Errors of the script come back as their message text (the
  // callers' number conversion then refuses it). A script that outruns the
  // time budget throws std::runtime_error; the heap stays usable. Thread-safe.
  // Throws std::runtime_error("duktape : ошибка инициализации") when the heap
  // cannot be created.
  std::string evaluate(double x, const std::string& script);

  // What the engine's execution-timeout check reads, through the heap's
  // user data: set around each call into the engine.
  struct budget_t {
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
    bool expired = false;
  };

 private:
  // Runs the callback on the value at the stack top within the time budget;
  // an expired budget pops what the call left and throws.
  void call_within_budget(int (*callback)(duk_hthread*, void*));

  std::mutex mutex;
  std::chrono::milliseconds time_budget;
  budget_t budget;  // before the heap, whose user data it is
  duk_hthread* context = nullptr;
};
