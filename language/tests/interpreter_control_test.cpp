// The limits a host puts on one step() or end(), and the check points where
// its own check runs: every way a call could run without coming back (loops,
// recursion, spawning, natives that never finish inside __end) ends in a
// run-time error naming the address, each call gets the whole budget, and a
// call stopped at a check point can be stepped again and goes on from there.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "interpreter_test_doubles.hpp"

namespace zolang::testing {
namespace {

using namespace std::chrono_literals;

Limits budget(std::uint64_t units) { return {.instructions = units, .time = std::nullopt}; }

// Counts slot 0 from 0 to `n` (n backward jumps, the `jump -8` at address
// 10), then stores it in "out". The first form fuses into the
// compare-and-jump instructions; the second keeps plain jumps (`jump -9` at
// address 11) by comparing with a property's value.
std::string fused_loop(std::uint64_t n) {
  return "push 0\nstore 0\nload 0\npush " + std::to_string(n) +
         "\nlt\njump_unless 6\nload 0\npush 1\nadd\nstore 0\njump -8\nload 0\nset \"out\"";
}
std::string plain_loop() {
  return "push 0\nstore 0\nload 0\nget \"n\"\nlt\njump_if 2\njump 6\nload 0\npush 1\nadd\n"
         "store 0\njump -9\nload 0\nset \"out\"";
}

TEST(InterpreterControl, LoopsSpendOneUnitPerIteration) {
  // Budgets within the first stretch and across several check points.
  for (std::uint64_t n : {10u, 3 * 4096u + 5}) {
    for (bool fused : {true, false}) {
      for (std::uint64_t units : {n, n - 1}) {
        Harness harness(fused ? fused_loop(n) : plain_loop());
        harness.property("out");
        if (!fused) harness.property("n", Value::number(static_cast<double>(n)));
        harness.interpreter.set_limits(budget(units));
        std::string expected = units == n ? "finished"
                               : fused    ? "[address 10] Instruction budget exhausted"
                                          : "[address 11] Instruction budget exhausted";
        EXPECT_EQ(harness.step(), expected) << n << ' ' << fused << ' ' << units;
      }
    }
  }
}

TEST(InterpreterControl, EndlessRunsEndWithAnErrorAndTheRunCanBeEnded) {
  struct Case {
    const char* ir;
    const char* error;
  } endless[] = {
      {"jump 0", "[address 0] Instruction budget exhausted"},
      {"push true\njump_if -1", "[address 1] Instruction budget exhausted"},
      {"jump 4\na:\ncall \"a\" 0\nreturn\ncall \"a\" 0",
       "[address 2] Instruction budget exhausted"},
      {"jump 4\na:\ncall_parallel \"a\" 0 \"a\" 0\nreturn\ncall \"a\" 0",
       "[address 2] Instruction budget exhausted"},
  };
  for (const Case& run : endless) {
    Harness harness(run.ir);
    harness.interpreter.set_limits(budget(100'000));
    EXPECT_EQ(harness.step(), run.error) << run.ir;
    EXPECT_EQ(harness.interpreter.status(), RunStatus::Running) << run.ir;
    EXPECT_FALSE(harness.interpreter.reset().has_value()) << run.ir;
    ASSERT_TRUE(harness.interpreter.end().has_value()) << run.ir;
    ASSERT_TRUE(harness.interpreter.reset().has_value()) << run.ir;
    EXPECT_EQ(harness.step(), run.error) << run.ir;
  }
}

TEST(InterpreterControl, EveryCallGetsTheWholeBudget) {
  Harness harness("yield\njump -1");
  harness.interpreter.set_limits(budget(1));
  for (int step = 0; step < 5; ++step) EXPECT_EQ(harness.step(), "running");
  harness.interpreter.set_limits(budget(0));
  EXPECT_EQ(harness.step(), "[address 1] Instruction budget exhausted");
}

TEST(InterpreterControl, LimitsBoundEndPollingANativeThatNeverFinishes) {
  for (Limits limits : {budget(50), Limits{.instructions = std::nullopt, .time = 20ms}}) {
    Harness harness("jump 4\n__end:\ncall \"stuck\" 0\nreturn\nyield");
    harness.callable("stuck", completing_at(1'000'000'000));
    harness.interpreter.set_limits(limits);
    EXPECT_EQ(harness.step(), "running");
    auto ended = harness.interpreter.end();
    ASSERT_FALSE(ended.has_value());
    EXPECT_EQ(ended.error().render(), limits.time ? "[address 2] Time limit exceeded"
                                                  : "[address 2] Instruction budget exhausted");
    EXPECT_EQ(harness.interpreter.status(), RunStatus::Ending);
  }
}

TEST(InterpreterControl, TimeLimitEndsARunawayStepWhichCanBeSteppedAgain) {
  Harness harness("jump 0");
  harness.interpreter.set_limits({.instructions = std::nullopt, .time = 10ms});
  for (int step = 0; step < 2; ++step) {
    EXPECT_EQ(harness.step(), "[address 0] Time limit exceeded");
  }
  // Set, then read back as the host left it.
  EXPECT_EQ(harness.interpreter.limits().time, 10ms);
  harness.interpreter.set_limits({});
  EXPECT_FALSE(harness.interpreter.limits().time.has_value());
}

TEST(InterpreterControl, TheHostCheckRunsAtCheckPointsOnlyAndCanStopTheRun) {
  Harness harness(fused_loop(10 * check_interval));
  harness.property("out");
  int checks = 0;
  harness.interpreter.set_check_point([&checks]() -> std::expected<void, Error> {
    ++checks;
    if (checks == 3) return std::unexpected(Error::native("KeyboardInterrupt()"));
    return {};
  });
  EXPECT_EQ(harness.step(), "KeyboardInterrupt()");
  EXPECT_EQ(checks, 3);
  // Stepping again goes on with the loop from where it stopped.
  EXPECT_EQ(harness.step(), "finished");
  EXPECT_EQ(checks, 10);
  EXPECT_EQ(harness.take_events().back(), "set out " + std::to_string(10 * check_interval));

  // Steps of one unit each: with limits set, each starts a fresh stretch and
  // never reaches a check point; without, the stretches run on across steps.
  for (bool limited : {true, false}) {
    Harness short_steps("push 0\nstore 0\nload 0\npush 1\nadd\nstore 0\nyield\njump -5");
    if (limited) short_steps.interpreter.set_limits(budget(1'000'000));
    int calls = 0;
    short_steps.interpreter.set_check_point([&calls]() -> std::expected<void, Error> {
      ++calls;
      return {};
    });
    for (std::uint64_t step = 0; step <= 2 * check_interval; ++step) {  // the first spends none
      ASSERT_EQ(short_steps.step(), "running");
    }
    EXPECT_EQ(calls, limited ? 0 : 2) << limited;
  }
}

TEST(InterpreterControl, UnlimitedByDefault) {
  Harness harness(fused_loop(3'000'000));
  harness.property("out");
  EXPECT_EQ(harness.step(), "finished");
}

}  // namespace
}  // namespace zolang::testing
