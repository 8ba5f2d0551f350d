#pragma once

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
  script_engine_t() = default;
  ~script_engine_t();
  script_engine_t(const script_engine_t&) = delete;
  script_engine_t& operator=(const script_engine_t&) = delete;

  // Sets the global "value" to x and evaluates the script; an empty script
  // gives "". Errors of the script come back as their message text (the
  // callers' number conversion then refuses it). Thread-safe. Throws
  // std::runtime_error("duktape : ошибка инициализации") when the heap cannot
  // be created.
  std::string evaluate(double x, const std::string& script);

 private:
  std::mutex mutex;
  duk_hthread* context = nullptr;
};
