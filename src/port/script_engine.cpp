#include "port/script_engine.hpp"

#include <malloc.h>

#include <cstdlib>
#include <stdexcept>

#include <duktape.h>
#include <fmt/format.h>

using limits_t = script_engine_t::limits_t;

void limits_t::enforce(std::chrono::milliseconds budget) {
  deadline = std::chrono::steady_clock::now() + budget;
  refused = false;
  enforced = true;
}

void limits_t::lift() {
  enforced = false;
  deadline = std::chrono::steady_clock::time_point::max();
}

bool limits_t::past_deadline() const { return enforced && std::chrono::steady_clock::now() >= deadline; }

// The engine's execution-timeout check (see the engine's build in
// CMakeLists.txt): called every few hundred thousand bytecode instructions
// with the heap's user data. Once it says yes, the engine throws a RangeError
// at every catch point until the error has left the script, so a script's own
// try/catch cannot swallow it.
extern "C" duk_bool_t korvex_script_timed_out(void* user_data) {
  const auto* limits = static_cast<const limits_t*>(user_data);
  return limits != nullptr && limits->past_deadline() ? 1 : 0;
}

namespace {

// The heap's allocator. A refusal makes the engine collect its garbage, try
// again and then throw its own "alloc failed" inside the protected call.
// Growth is refused past the memory cap, and also past the deadline: the
// timeout check only runs between bytecode instructions, while a built-in
// such as a join over a huge sparse array loops in C, allocating as it goes.
bool refuses_growth(limits_t& limits, std::size_t growth) {
  if (!limits.enforced || (limits.used + growth <= limits.cap && !limits.past_deadline())) return false;
  limits.refused = true;
  return true;
}

void* heap_alloc(void* user_data, duk_size_t size) {
  auto& limits = *static_cast<limits_t*>(user_data);
  if (refuses_growth(limits, size)) return nullptr;
  void* block = std::malloc(size);
  if (block != nullptr) limits.used += malloc_usable_size(block);
  return block;
}

void heap_free(void* user_data, void* block) {
  if (block == nullptr) return;
  static_cast<limits_t*>(user_data)->used -= malloc_usable_size(block);
  std::free(block);
}

void* heap_realloc(void* user_data, void* block, duk_size_t size) {
  if (block == nullptr) return heap_alloc(user_data, size);
  if (size == 0) {
    heap_free(user_data, block);
    return nullptr;
  }
  auto& limits = *static_cast<limits_t*>(user_data);
  const std::size_t old_size = malloc_usable_size(block);
  if (size > old_size && refuses_growth(limits, size - old_size)) return nullptr;
  void* moved = std::realloc(block, size);
  if (moved == nullptr) return nullptr;  // the old block is left as it was
  limits.used = limits.used - old_size + malloc_usable_size(moved);
  return moved;
}

// Every call into the engine that may allocate runs inside duk_safe_call: a
// refused allocation, or any other error, is caught there and left on the
// stack as the call's one result. Outside a protected call it would reach the
// engine's fatal handler, which ends the process.
duk_ret_t safe_set_value_cb(duk_context* context, void* user_data) {
  duk_push_number(context, *static_cast<const double*>(user_data));
  duk_put_global_string(context, "value");
  return 0;
}

duk_ret_t safe_push_script_cb(duk_context* context, void* user_data) {
  const auto& script = *static_cast<const std::string*>(user_data);
  duk_push_lstring(context, script.data(), script.size());
  return 1;
}

duk_ret_t safe_eval_cb(duk_context* context, void* /*user_data*/) {
  duk_eval_raw(context, nullptr, 0, 1 /*args*/ | DUK_COMPILE_EVAL | DUK_COMPILE_NOFILENAME);
  return 1;
}

duk_ret_t safe_to_string_cb(duk_context* context, void* /*user_data*/) {
  duk_to_string(context, -1);
  return 1;
}

bool call_protected(duk_context* context, duk_safe_call_function callback, void* user_data, duk_idx_t arguments) {
  return duk_safe_call(context, callback, user_data, arguments, 1) == DUK_EXEC_SUCCESS;
}

}  // namespace

script_engine_t::script_engine_t(std::chrono::milliseconds time_budget, std::size_t memory_cap)
    : time_budget(time_budget) {
  limits.cap = memory_cap;
}

script_engine_t::~script_engine_t() {
  if (context != nullptr) destroy_heap();
}

void script_engine_t::destroy_heap() {
  // Finalizers that a script left behind run now, within limits of their own.
  limits.enforce(time_budget);
  duk_destroy_heap(context);
  limits.lift();
  context = nullptr;
}

script_engine_t::outcome_t script_engine_t::run(double x, const std::string& script) {
  // Turns the value on the stack top into text and pops it, leaving the stack
  // as it was before the evaluation. A value whose toString fails is reported
  // by that failure's own error.
  const auto take_text = [this](bool succeeded) {
    if (!call_protected(context, safe_to_string_cb, nullptr, 1)) {
      succeeded = false;
      call_protected(context, safe_to_string_cb, nullptr, 1);
    }
    duk_size_t length = 0;
    const char* text = duk_get_lstring(context, -1, &length);
    outcome_t outcome{succeeded && text != nullptr, text != nullptr ? std::string(text, length) : std::string()};
    duk_pop(context);
    return outcome;
  };

  if (!call_protected(context, safe_set_value_cb, &x, 0)) return take_text(false);
  duk_pop(context);
  if (script.empty()) return {true, {}};
  if (!call_protected(context, safe_push_script_cb, const_cast<std::string*>(&script), 0)) return take_text(false);
  return take_text(call_protected(context, safe_eval_cb, nullptr, 1));
}

std::string script_engine_t::evaluate(double x, const std::string& script) {
  std::lock_guard lock(mutex);
  // Every evaluation sets "value" before it runs, so an empty script needs
  // no heap.
  if (script.empty() && context == nullptr) return {};
  if (context == nullptr) {
    context = duk_create_heap(heap_alloc, heap_realloc, heap_free, &limits, nullptr);
    if (context == nullptr) throw std::runtime_error("duktape : ошибка инициализации");
  }

  limits.enforce(time_budget);
  const outcome_t outcome = run(x, script);
  // Also an evaluation that ended by itself, but late: it held the port that long.
  const bool over_budget = limits.past_deadline();
  const bool refused = limits.refused;
  limits.lift();
  // What filled the heap may still be held by a global of the script, and
  // would refuse every later evaluation: the next one starts on a new heap.
  if (refused) destroy_heap();

  if (over_budget) {
    throw std::runtime_error(fmt::format("duktape : превышено время выполнения ({} мсек)", time_budget.count()));
  }
  if (!outcome.succeeded) {
    throw std::runtime_error(outcome.text.empty() ? std::string("duktape : ошибка выполнения")
                                                  : fmt::format("duktape : ошибка выполнения : {}", outcome.text));
  }
  return outcome.text;
}
