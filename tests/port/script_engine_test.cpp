#include "port/script_engine.hpp"

#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

const std::string failed = "duktape : ошибка выполнения : ";

// The text evaluate gives, or what() of its refusal.
std::string outcome_of(script_engine_t& engine, double value, const std::string& script) {
  try {
    return engine.evaluate(value, script);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
}

// Results come back as text; a failing script is refused with the engine's
// own error text, whatever it threw: a thrown number must not pass for a
// result. The engine's limits end a runaway built-in with their own error.
TEST(ScriptEngine, EvaluatesWithTheValueSetAndRefusesWithTheEnginesText) {
  // Time enough for the engine's own limits to come first on a busy machine.
  script_engine_t engine(std::chrono::seconds(2));
  const struct {
    double value;
    const char* script;
    std::string outcome;
  } rows[] = {
      {4, "value*2", "8"},
      {2.5, "value*10", "25"},
      {7, "", ""},
      {7, "value", "7"},  // the empty script above still set the value
      {1, "value>0?'on':'off'", "on"},
      {1, "nothing_here", failed + "ReferenceError: identifier 'nothing_here' undefined"},
      {1, "value*", failed + "SyntaxError: parse error (line 1, end of input)"},
      {1, "throw new Error('bad')", failed + "Error: bad"},
      {1, "throw 5", failed + "5"},
      {1, "({toString(){throw new RangeError('no text')}})", failed + "RangeError: no text"},
      // Backtracking that would run for minutes, and a match deeper than a
      // port thread's stack should carry.
      {1, "/(a+)+$/.test('aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa!')", failed + "RangeError: regexp step limit"},
      {1, "/(x)*$/.test('x'.repeat(1000))", failed + "RangeError: regexp executor recursion limit"},
      // A gigabyte asked for at once.
      {1, "'x'.repeat(1000000000).length", failed + "Error: alloc failed"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.script);
    EXPECT_EQ(outcome_of(engine, row.value, row.script), row.outcome);
  }
}

// Many evaluations leave nothing behind on the heap's stack; a leak of one
// slot per call would overflow it long before the loop ends. (A budget no
// evaluation reaches: among thousands, one held up on a busy machine ran
// past the default 100 ms.)
TEST(ScriptEngine, EvaluationsLeaveTheStackAsItWas) {
  script_engine_t engine(std::chrono::seconds(60));
  for (int round = 0; round < 20000; ++round) {
    ASSERT_EQ(outcome_of(engine, round, round % 2 == 0 ? "value+1" : "missing"),
              round % 2 == 0 ? std::to_string(round + 1) : failed + "ReferenceError: identifier 'missing' undefined");
  }
}

// An endless script is abandoned after its budget, even one that catches the
// engine's error itself, loops in its result's toString or in a built-in that
// never returns to the bytecode, and the heap goes on. (A budget that a busy
// machine still meets for the next evaluation.)
TEST(ScriptEngine, EndlessScriptIsAbandonedAndTheHeapGoesOn) {
  script_engine_t engine(std::chrono::milliseconds(150));
  for (const char* script : {"for(;;){}", "for(;;){try{for(;;){}}catch(e){}}", "({toString(){for(;;){}}})",
                             "a=[];a.length=2000000000;a.indexOf(1)", "Array(50000000).join('')",
                             "for(;;)try{/(a+)+$/.test('aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa!')}catch(e){}",
                             // A string search that neither allocates nor runs
                             // bytecode ends by itself, late: over budget all the same.
                             "s='a';for(i=0;i<19;i++)s+=s;t=s.slice(0,48000)+'b';s.indexOf(t)<0"}) {
    EXPECT_EQ(outcome_of(engine, 1, script), "duktape : превышено время выполнения (150 мсек)") << script;
    EXPECT_EQ(engine.evaluate(3, "value+1"), "4") << script;
  }
}

// A script that fills its heap up to the last few bytes with small objects
// and keeps them in a global: the next evaluation still has room. (Time
// enough to meet the cap first.)
TEST(ScriptEngine, FullHeapLeavesRoomForTheNextEvaluation) {
  script_engine_t engine(std::chrono::seconds(10));
  EXPECT_TRUE(outcome_of(engine, 1, "n=null;for(;;)n={n:n}").starts_with(failed));
  EXPECT_EQ(outcome_of(engine, 3, "value+1"), "4");
}

// The cap met at every allocation of an evaluation, from setting "value" to
// the result's text: each one fails the evaluation alone, never the process
// (the engine's fatal handler would abort it).
TEST(ScriptEngine, CapMetAtAnyAllocationFailsOnlyThatEvaluation) {
  const std::string script = "a=[value];a.push('x'+value);a.join('-')";
  const auto outcome_with_cap = [&](std::size_t cap) {
    // Only the cap may refuse: near it every allocation collects garbage
    // first, which a busy machine under a sanitizer stretches past the
    // default budget.
    script_engine_t engine(std::chrono::seconds(60), cap);
    return outcome_of(engine, 1, script);
  };
  // The smallest cap that lets the evaluation through on a new heap.
  std::size_t refused_below = 0, enough = script_engine_t::default_memory_cap;
  while (enough - refused_below > 1) {
    const std::size_t cap = (refused_below + enough) / 2;
    (outcome_with_cap(cap) == "1-x1" ? enough : refused_below) = cap;
  }
  // Down from there a few bytes at a time, until even the first allocation
  // of the evaluation is refused: the heap's own set-up has no cap, so that
  // is where the error is left without any text.
  int refusals = 0;
  for (std::size_t cap = enough - 1, first_refused = 0; first_refused < 20 && cap > 4; cap -= 4) {
    const std::string outcome = outcome_with_cap(cap);
    if (outcome == "1-x1") continue;
    ++refusals;
    ASSERT_TRUE(outcome.starts_with("duktape : ошибка выполнения")) << cap << ": " << outcome;
    first_refused = outcome == "duktape : ошибка выполнения" ? first_refused + 1 : 0;
  }
  EXPECT_GT(refusals, 500);
}

// A finalizer that a script left behind runs when the heap ends, within a
// budget of its own, so destroying the port's heap cannot hang.
TEST(ScriptEngine, EndlessFinalizerEndsWithTheHeap) {
  auto engine = std::make_unique<script_engine_t>(std::chrono::milliseconds(500));
  EXPECT_EQ(engine->evaluate(1, "Duktape.fin(kept={},function(){for(;;){}});1"), "1");
  // A heap that never ends is left on its own thread: the test fails in
  // seconds instead of hanging.
  std::promise<void> ended;
  auto destroyed = ended.get_future();
  std::thread([engine = std::move(engine), ended = std::move(ended)]() mutable {
    engine.reset();
    ended.set_value();
  }).detach();
  EXPECT_EQ(destroyed.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

// The poll task and the inbound worker share one heap: each evaluation must
// see its own value, never the other thread's.
TEST(ScriptEngine, ThreadsNeverShareAnEvaluation) {
  // As above, only a wrong value may fail it, never the clock.
  script_engine_t engine(std::chrono::seconds(60));
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
