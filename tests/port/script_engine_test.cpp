#include "port/script_engine.hpp"

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(ScriptEngine, EvaluatesWithTheValueSetAndReturnsErrorsAsText) {
  script_engine_t engine;
  const struct {
    double value;
    const char* script;
    const char* result;
  } rows[] = {
      {4, "value*2", "8"},
      {2.5, "value*10", "25"},
      {7, "", ""},
      {7, "value", "7"},  // the empty script above still set the value
      {1, "value>0?'on':'off'", "on"},
      {1, "nothing_here", "ReferenceError: identifier 'nothing_here' undefined"},
      {1, "value*", "SyntaxError: parse error (line 1, end of input)"},
      {1, "throw new Error('bad')", "Error: bad"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.script);
    EXPECT_EQ(engine.evaluate(row.value, row.script), row.result);
  }
}

// Many evaluations leave nothing behind on the heap's stack; a leak of one
// slot per call would overflow it long before the loop ends.
TEST(ScriptEngine, EvaluationsLeaveTheStackAsItWas) {
  script_engine_t engine;
  for (int round = 0; round < 20000; ++round) {
    ASSERT_EQ(engine.evaluate(round, round % 2 == 0 ? "value+1" : "missing"), round % 2 == 0
                                                                                 ? std::to_string(round + 1)
                                                                                 : "ReferenceError: identifier 'missing' undefined");
  }
}

// An endless script is abandoned after its budget, even one that catches the
// engine's error itself or loops in its result's toString, and the heap goes on.
TEST(ScriptEngine, EndlessScriptIsAbandonedAndTheHeapGoesOn) {
  script_engine_t engine(std::chrono::milliseconds(20));
  for (const char* script : {"for(;;){}", "for(;;){try{for(;;){}}catch(e){}}", "({toString(){for(;;){}}})"}) {
    EXPECT_THROW(engine.evaluate(1, script), std::runtime_error) << script;
    EXPECT_EQ(engine.evaluate(3, "value+1"), "4") << script;
  }
}

// The poll task and the inbound worker share one heap: each evaluation must
// see its own value, never the other thread's.
TEST(ScriptEngine, ThreadsNeverShareAnEvaluation) {
  script_engine_t engine;
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int thread = 0; thread < 4; ++thread) {
    threads.emplace_back([&engine, &wrong, thread] {
      for (int round = 0; round < 2000; ++round) {
        const int value = thread * 100000 + round;
        if (engine.evaluate(value, "value*2") != std::to_string(value * 2)) ++wrong[thread];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
