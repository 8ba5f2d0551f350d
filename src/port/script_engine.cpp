#include "port/script_engine.hpp"

#include <stdexcept>

#include <duktape.h>

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

script_engine_t::~script_engine_t() {
  if (context != nullptr) duk_destroy_heap(context);
}

std::string script_engine_t::evaluate(double x, const std::string& script) {
  std::lock_guard lock(mutex);
  // Every evaluation sets "value" before it runs, so an empty script needs
  // no heap.
  if (script.empty() && context == nullptr) return {};
  if (context == nullptr) {
    context = duk_create_heap(nullptr, nullptr, nullptr, nullptr, nullptr);
    if (context == nullptr) throw std::runtime_error("duktape : ошибка инициализации");
  }
  duk_push_number(context, x);
  duk_put_global_string(context, "value");
  if (script.empty()) return {};

  duk_push_lstring(context, script.data(), script.size());
  duk_safe_call(context, safe_eval_cb, nullptr, 1, 1);
  duk_safe_call(context, safe_to_string_cb, nullptr, 1, 1);
  duk_size_t length = 0;
  const char* text = duk_get_lstring(context, -1, &length);
  std::string result = text != nullptr ? std::string(text, length) : std::string();
  // Leave the stack as it was before the script went on it, whatever happened.
  duk_pop(context);
  if (text == nullptr) throw std::runtime_error("duktape : результат не является строкой");
  return result;
}
