#pragma once

#include <chrono>
#include <cstddef>
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
  // How much memory one heap may hold while it evaluates. A condition needs
  // a few KB above the heap's own 120 KB; a script that builds a huge string
  // or array would otherwise take the whole process down with it.
  static constexpr std::size_t default_memory_cap = 2 * 1024 * 1024;

  explicit script_engine_t(std::chrono::milliseconds time_budget = default_time_budget,
                           std::size_t memory_cap = default_memory_cap);
  ~script_engine_t();
  script_engine_t(const script_engine_t&) = delete;
  script_engine_t& operator=(const script_engine_t&) = delete;

  // Sets the global "value" to x and evaluates the script; an empty script
  // gives "". Returns the result as text. Throws std::runtime_error with the
  // engine's own error text when the script fails (a syntax error, a thrown
  // value, the memory cap or one of the engine's limits), and with the time
  // budget when the evaluation outran it; the next evaluation works either
  // way. Thread-safe. Throws std::runtime_error("duktape : ошибка
  // инициализации") when the heap cannot be created.
  std::string evaluate(double x, const std::string& script);

  // What the engine's allocator and its execution-timeout check read through
  // the heap's user data. Both limits hold only while the engine runs a
  // script (an evaluation, or finalizers at the heap's end): the heap's own
  // set-up must never fail half-way, as the engine has nothing to catch that.
  struct limits_t {
    std::size_t cap = 0;
    std::size_t used = 0;  // bytes the heap holds now
    bool enforced = false;
    bool refused = false;  // an allocation was refused since the limits were enforced
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();

    void enforce(std::chrono::milliseconds budget);
    void lift();
    bool past_deadline() const;
  };

 private:
  struct outcome_t {
    bool succeeded = false;
    std::string text;  // the result, or the engine's error text
  };

  outcome_t run(double x, const std::string& script);
  void destroy_heap();

  std::mutex mutex;
  std::chrono::milliseconds time_budget;
  limits_t limits;  // before the heap, whose user data it is
  duk_hthread* context = nullptr;
};
