#include "port/script_engine.hpp"

#include <stdexcept>

#include <duktape.h>
#include <fmt/format.h>

// The engine's execution-timeout check (see the engine's build in
// CMakeLists.txt): called every few hundred thousand bytecode instructions
// with the heap's user data. Once it says yes, the engine throws a RangeError
// at every catch point until the error has left the script, so a script's own
// try/catch cannot swallow it.
extern "C" duk_bool_t korvex_script_timed_out(void* user_data) {
  auto* budget = static_cast<script_engine_t::budget_t*>(user_data);
  if (budget == nullptr || std::chrono::steady_clock::now() < budget->deadline) return 0;
  budget->expired = true;
  return 1;
}

namespace {

// Both run inside duk_safe_call, so an error thrown by the script (or by a
// value whose toString throws) is caught there and left on the stack as the
// result instead of unwinding through C++ frames.
duk_ret_t safe_eval_cb(duk_context* context, void* /*user_data*/) {
  duk_eval_raw(context, nullptr, 0, 1 /*args*/ | DUK_COMPILE_EVAL | DUK_COMPILE_NOFILENAME);
  return 1;
}

duk_ret_t safe_to_string_cb(duk_context* context, void* /*user_data*/) {
  duk_to_string(context, -1);
  return 1;
}

}  // namespace

script_engine_t::script_engine_t(std::chrono::milliseconds time_budget) : time_budget(time_budget) {}

script_engine_t::~script_engine_t() {
  if (context != nullptr) duk_destroy_heap(context);
}

void script_engine_t::call_within_budget(duk_safe_call_function callback) {
  budget.expired = false;
  budget.deadline = std::chrono::steady_clock::now() + time_budget;
  duk_safe_call(context, callback, nullptr, 1, 1);
  budget.deadline = std::chrono::steady_clock::time_point::max();
  if (!budget.expired) return;
  duk_pop(context);
  throw std::runtime_error(fmt::format("duktape : превышено время выполнения ({} мсек)", time_budget.count()));
}

std::string script_engine_t::evaluate(double x, const std::string& script) {
  std::lock_guard lock(mutex);
  // Every evaluation sets "value" before it runs, so an empty script needs
  // no heap.
  if (script.empty() && context == nullptr) return {};
  if (context == nullptr) {
    context = duk_create_heap(nullptr, nullptr, nullptr, &budget, nullptr);
    if (context == nullptr) throw std::runtime_error("duktape : ошибка инициализации");
  }
  duk_push_number(context, x);
  duk_put_global_string(context, "value");
  if (script.empty()) return {};

  duk_push_lstring(context, script.data(), script.size());
  call_within_budget(safe_eval_cb);
  // A result's own toString is script too, and gets a budget of its own.
  call_within_budget(safe_to_string_cb);
  duk_size_t length = 0;
  const char* text = duk_get_lstring(context, -1, &length);
  std::string result = text != nullptr ? std::string(text, length) : std::string();
  // Leave the stack as it was before the script went on it, whatever happened.
  duk_pop(context);
  if (text == nullptr) throw std::runtime_error("duktape : результат не является строкой");
  return result;
}
