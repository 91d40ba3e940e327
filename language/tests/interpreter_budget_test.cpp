// The instruction budget that harnesses put on untrusted programs: every way
// a step or end() could run without coming back (loops, recursion, spawning,
// natives that never finish inside __end) ends in a runtime error instead,
// and the budget is refilled for every step.
#include <gtest/gtest.h>

#include <string>

#include "interpreter_test_doubles.hpp"

namespace zolang::testing {
namespace {

constexpr const char* exhausted = "Instruction budget exhausted";

bool is_exhausted(const std::string& result) {
  return result.find(exhausted) != std::string::npos;
}

// Counts slot 0 from 0 to `n` (n backward jumps), then stores it in "out".
// The first form fuses into the compare-and-jump instructions; the second
// keeps plain jumps by comparing with a property's value.
std::string fused_loop(int n) {
  return "push 0\nstore 0\nload 0\npush " + std::to_string(n) +
         "\nlt\njump_unless 6\nload 0\npush 1\nadd\nstore 0\njump -8\nload 0\nset \"out\"";
}
std::string plain_loop() {
  return "push 0\nstore 0\nload 0\nget \"n\"\nlt\njump_if 2\njump 6\nload 0\npush 1\nadd\n"
         "store 0\njump -9\nload 0\nset \"out\"";
}

TEST(InterpreterBudget, LoopsSpendOneUnitPerIteration) {
  for (bool fused : {true, false}) {
    for (int budget : {10, 9}) {
      Harness harness(fused ? fused_loop(10) : plain_loop());
      harness.property("out");
      if (!fused) harness.property("n", Value::number(10));
      harness.interpreter.set_instruction_budget(budget);
      std::string result = harness.step();
      if (budget == 10) {
        EXPECT_EQ(result, "finished") << fused;
      } else {
        EXPECT_TRUE(is_exhausted(result)) << fused << ' ' << result;
      }
    }
  }
}

TEST(InterpreterBudget, EndlessRunsEndWithAnErrorAndTheRunCanBeEnded) {
  const char* endless[] = {
      "jump 0",                                             // a loop
      "push true\njump_if -1",                              // a conditional loop
      "jump 4\na:\ncall \"a\" 0\nreturn\ncall \"a\" 0",     // recursion
      "jump 4\na:\ncall_parallel \"a\" 0 \"a\" 0\nreturn\ncall \"a\" 0",  // spawning
  };
  for (const char* ir : endless) {
    Harness harness(ir);
    harness.interpreter.set_instruction_budget(100'000);
    EXPECT_TRUE(is_exhausted(harness.step())) << ir;
    EXPECT_EQ(harness.interpreter.status(), RunStatus::Running) << ir;
    EXPECT_FALSE(harness.interpreter.reset().has_value()) << ir;
    ASSERT_TRUE(harness.interpreter.end().has_value()) << ir;
    ASSERT_TRUE(harness.interpreter.reset().has_value()) << ir;
    EXPECT_TRUE(is_exhausted(harness.step())) << ir;
  }
}

TEST(InterpreterBudget, EveryStepGetsTheWholeBudget) {
  Harness harness("yield\njump -1");
  harness.interpreter.set_instruction_budget(1);
  for (int step = 0; step < 5; ++step) EXPECT_EQ(harness.step(), "running");
  harness.interpreter.set_instruction_budget(0);
  EXPECT_TRUE(is_exhausted(harness.step()));
}

TEST(InterpreterBudget, BoundsEndPollingANativeThatNeverFinishes) {
  Harness harness("jump 4\n__end:\ncall \"stuck\" 0\nreturn\nyield");
  harness.callable("stuck", completing_at(1'000'000'000));
  harness.interpreter.set_instruction_budget(50);
  EXPECT_EQ(harness.step(), "running");
  auto ended = harness.interpreter.end();
  ASSERT_FALSE(ended.has_value());
  EXPECT_TRUE(is_exhausted(ended.error().render()));
  EXPECT_EQ(harness.interpreter.status(), RunStatus::Ending);
}

TEST(InterpreterBudget, UnlimitedByDefault) {
  Harness harness(fused_loop(3'000'000));
  harness.property("out");
  EXPECT_EQ(harness.step(), "finished");
}

}  // namespace
}  // namespace zolang::testing
