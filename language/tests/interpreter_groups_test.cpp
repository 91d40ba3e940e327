// Parallel and race groups, ending and resetting a run, and the run status:
// the exact step in which each caller resumes, and which native calls are
// terminated, when, and how often.
#include <gtest/gtest.h>

#include <new>

#include "interpreter_state.hpp"
#include "interpreter_test_doubles.hpp"

namespace zolang::testing {
namespace {

const CallableScript never_completes = completing_at(1000);

// Steps once and returns that step's events followed by "=> " and its result.
Events step_trace(Harness& harness) {
  std::string result = harness.step();
  Events events;
  for (auto& event : harness.take_events()) {
    if (!event.starts_with("settable")) events.push_back(event);  // validation's question
  }
  events.push_back("=> " + result);
  return events;
}

TEST(InterpreterParallel, CallerResumesInTheStepAfterItsLastChildFinishes) {
  Harness harness(
      "jump 14\n"
      "a:\npush \"a1\"\nset \"out\"\nyield\npush \"a2\"\nset \"out\"\nreturn\n"  // 1-7
      "b:\nyield\nyield\npush \"b\"\nset \"out\"\nreturn\n"                      // 8-13
      "call_parallel \"a\" 0 \"b\" 0\npush \"resumed\"\nset \"out\"");
  harness.property("out");
  EXPECT_EQ(step_trace(harness), (Events{"set out \"a1\"", "=> running"}));
  EXPECT_EQ(step_trace(harness), (Events{"set out \"a2\"", "=> running"}));
  EXPECT_EQ(step_trace(harness), (Events{"set out \"b\"", "=> running"}));
  EXPECT_EQ(step_trace(harness), (Events{"set out \"resumed\"", "=> finished"}));
}

TEST(InterpreterParallel, ChildrenTakeTheTopValuesInListOrder) {
  Harness harness(
      "jump 9\na:\nload 0\nset \"out\"\nreturn\nb:\nload 0\nset \"out\"\nreturn\n"
      "push 1\npush 2\ncall_parallel \"a\" 1 \"b\" 1");
  harness.property("out");
  EXPECT_EQ(step_trace(harness), (Events{"set out 2", "set out 1", "=> running"}));
  EXPECT_EQ(step_trace(harness), (Events{"=> finished"}));
}

TEST(InterpreterParallel, SpawnFailures) {
  Harness empty("call_race\npush 1\nset \"out\"");
  empty.property("out");
  EXPECT_EQ(step_trace(empty), (Events{"set out 1", "=> finished"}));

  Harness underflow("jump 3\na:\nreturn\npush 1\ncall_parallel \"a\" 0 \"a\" 2");
  EXPECT_EQ(underflow.step(), "[address 4] Stack underflow");
}

TEST(InterpreterRace, FinishedChildEndsTheRaceWithinTheStep) {
  Harness harness(
      "jump 11\n"
      "a:\nyield\npush \"a\"\nset \"out\"\nreturn\n"                  // 1-5
      "b:\ncall \"wait\" 0\npush \"b-after\"\nset \"out\"\nreturn\n"  // 6-10
      "call_race \"a\" 0 \"b\" 0\npush \"resumed\"\nset \"out\"");
  harness.callable("wait", never_completes);
  harness.property("out");
  EXPECT_EQ(step_trace(harness), (Events{"generate wait()", "call wait#1", "=> running"}));
  EXPECT_EQ(step_trace(harness), (Events{"set out \"a\"", "terminate wait#1", "drop wait#1",
                                         "set out \"resumed\"", "=> finished"}));
}

TEST(InterpreterRace, WrapperCompletionResumesTheCallerAtTheNextStep) {
  Harness harness(
      "jump 9\n"
      "#a:\nload 0\ncall \"fast\" 1\nreturn\n"  // 1-4
      "#b:\nload 0\ncall \"slow\" 1\nreturn\n"  // 5-8
      "push 1\npush 2\ncall_race \"#a\" 1 \"#b\" 1\npush \"resumed\"\nset \"out\"");
  harness.callable("fast", completing_at(2));
  harness.callable("slow", never_completes);
  harness.property("out");
  EXPECT_EQ(step_trace(harness), (Events{"generate fast(2)", "call fast#1", "generate slow(1)",
                                         "call slow#1", "=> running"}));
  EXPECT_EQ(step_trace(harness), (Events{"call fast#1", "drop fast#1", "terminate slow#1",
                                         "drop slow#1", "=> running"}));
  EXPECT_EQ(step_trace(harness), (Events{"set out \"resumed\"", "=> finished"}));
}

TEST(InterpreterRace, LosersWithoutANativeCallStillTakeTheirTurn) {
  Harness harness(
      "jump 10\n"
      "a:\nreturn\n"                                                               // 1-2
      "b:\npush \"b\"\nset \"out\"\nyield\npush \"never\"\nset \"out\"\nreturn\n"  // 3-9
      "call_race \"a\" 0 \"b\" 0\npush \"r\"\nset \"out\"");
  harness.property("out");
  EXPECT_EQ(step_trace(harness), (Events{"set out \"b\"", "set out \"r\"", "=> finished"}));
}

TEST(InterpreterRace, TwoFinishersInOneStepResumeTheCallerOnce) {
  Harness harness(
      "jump 5\na:\nreturn\nb:\nreturn\n"
      "call_race \"a\" 0 \"b\" 0\npush \"r\"\nset \"out\"\nyield\npush \"r2\"\nset \"out\"");
  harness.property("out");
  EXPECT_EQ(step_trace(harness), (Events{"set out \"r\"", "=> running"}));
  EXPECT_EQ(step_trace(harness), (Events{"set out \"r2\"", "=> finished"}));
}

TEST(InterpreterRace, DiscardedLosersTerminateTheirDeeperCalls) {
  // c, a grandchild queued behind the caller, is discarded before its turn.
  Harness harness(
      "jump 10\n"
      "a:\nyield\nreturn\n"                  // 1-3
      "b:\ncall_parallel \"c\" 0\nreturn\n"  // 4-6
      "c:\ncall \"slow\" 0\nreturn\n"        // 7-9
      "call_race \"a\" 0 \"b\" 0\npush \"r\"\nset \"out\"");
  harness.callable("slow", never_completes);
  harness.property("out");
  EXPECT_EQ(step_trace(harness), (Events{"generate slow()", "call slow#1", "=> running"}));
  EXPECT_EQ(step_trace(harness),
            (Events{"terminate slow#1", "drop slow#1", "set out \"r\"", "=> finished"}));
}

TEST(InterpreterRace, TerminateFailureEndsTheStep) {
  Harness harness(
      "jump 7\na:\nyield\nreturn\nb:\ncall \"stuck\" 0\nreturn\n"
      "call_race \"a\" 0 \"b\" 0");
  harness.callable("stuck", failing_terminate(never_completes));
  EXPECT_EQ(harness.step(), "running");
  EXPECT_EQ(harness.step(), "terminate failed: stuck#1");
  EXPECT_EQ(harness.take_events(),
            (Events{"generate stuck()", "call stuck#1", "terminate stuck#1", "drop stuck#1"}));
}

TEST(InterpreterEnd, TerminatesCallsThenRunsEndToCompletion) {
  Harness harness(
      "jump 7\n__end:\ncall \"cleanup\" 0\nyield\npush \"ended\"\nset \"out\"\nreturn\n"
      "call \"work\" 0");
  harness.callable("work", never_completes);
  harness.callable("cleanup", completing_at(3));
  harness.property("out");
  EXPECT_EQ(step_trace(harness), (Events{"generate work()", "call work#1", "=> running"}));
  ASSERT_TRUE(harness.interpreter.end());
  EXPECT_EQ(harness.take_events(),
            (Events{"terminate work#1", "drop work#1", "generate cleanup()", "call cleanup#1",
                    "call cleanup#1", "call cleanup#1", "drop cleanup#1", "set out \"ended\""}));
  EXPECT_EQ(harness.interpreter.status(), RunStatus::Ended);
  ASSERT_TRUE(harness.interpreter.reset());
  EXPECT_EQ(harness.interpreter.status(), RunStatus::Fresh);
  EXPECT_EQ(step_trace(harness), (Events{"generate work()", "call work#2", "=> running"}));
}

TEST(InterpreterEnd, TerminateFailureStopsEnd) {
  Harness harness(
      "jump 11\n__end:\npush \"end\"\nset \"out\"\nreturn\n"
      "#a:\ncall \"s1\" 0\nreturn\n#b:\ncall \"s2\" 0\nreturn\n"
      "call_parallel \"#a\" 0 \"#b\" 0");
  harness.callable("s1", failing_terminate(never_completes));
  harness.callable("s2", never_completes);
  harness.property("out");
  EXPECT_EQ(harness.step(), "running");
  harness.take_events();
  EXPECT_EQ(harness.interpreter.end().error().render(), "terminate failed: s1#1");
  EXPECT_EQ(harness.take_events(), (Events{"terminate s1#1", "drop s1#1"}));
  ASSERT_TRUE(harness.interpreter.end());
  EXPECT_EQ(harness.take_events(), (Events{"terminate s2#1", "drop s2#1", "set out \"end\""}));
}

TEST(InterpreterEnd, EndBeforeTheFirstStepRunsUnvalidatedCode) {
  Harness harness("jump 4\n__end:\nget \"p\"\nreturn\ncall \"x\" 0");
  EXPECT_EQ(harness.interpreter.end().error().render(),
            "[address 2] 'p' is not a registered property");
  EXPECT_EQ(harness.interpreter.status(), RunStatus::Ending);
  Harness calling("jump 4\n__end:\ncall \"x\" 0\nreturn");
  EXPECT_EQ(calling.interpreter.end().error().render(),
            "[address 2] 'x' is not a registered callable");
}

TEST(InterpreterEnd, FinishingRunsEndWithinTheSameStepEveryTime) {
  Harness with_end(
      "jump 6\n__end:\nyield\npush \"end\"\nset \"out\"\nreturn\npush \"main\"\nset \"out\"");
  with_end.property("out");
  EXPECT_EQ(step_trace(with_end), (Events{"set out \"main\"", "set out \"end\"", "=> finished"}));
  EXPECT_EQ(with_end.interpreter.status(), RunStatus::Ended);
  // Stepping a finished program runs __end once more.
  EXPECT_EQ(step_trace(with_end), (Events{"set out \"end\"", "=> finished"}));

  // Without __end, the program starts over.
  Harness without("push 1\nset \"out\"");
  without.property("out");
  EXPECT_EQ(step_trace(without), (Events{"set out 1", "=> finished"}));
  EXPECT_EQ(step_trace(without), (Events{"set out 1", "=> finished"}));
}

TEST(InterpreterReset, DropsCallsWithoutTerminating) {
  Harness harness("call \"work\" 0\npush 1\nset \"out\"");
  harness.callable("work", never_completes);
  harness.property("out");
  EXPECT_EQ(step_trace(harness), (Events{"generate work()", "call work#1", "=> running"}));
  ASSERT_TRUE(harness.interpreter.reset());
  EXPECT_EQ(harness.take_events(), (Events{"drop work#1"}));
  EXPECT_EQ(step_trace(harness), (Events{"generate work()", "call work#2", "=> running"}));
}

TEST(InterpreterStatus, WhatEachStatusAllows) {
  const std::string busy = "Cannot modify interpreter state while it's running";
  Harness harness("push 1\nyield\nadd");
  Interpreter& interpreter = harness.interpreter;
  EXPECT_EQ(interpreter.status(), RunStatus::Fresh);
  ASSERT_TRUE(interpreter.reset());
  EXPECT_EQ(interpreter.status(), RunStatus::Fresh);

  EXPECT_EQ(harness.step(), "running");
  EXPECT_EQ(interpreter.status(), RunStatus::Paused);
  ASSERT_TRUE(interpreter.reset());
  EXPECT_EQ(interpreter.status(), RunStatus::Fresh);

  EXPECT_EQ(harness.step(), "running");
  EXPECT_EQ(harness.step(), "[address 2] Stack underflow");
  EXPECT_EQ(interpreter.status(), RunStatus::Running);
  EXPECT_EQ(interpreter.reset().error().render(), busy);
  EXPECT_EQ(interpreter.register_property("p", std::make_unique<RecordingProp>(harness.events, "p"))
                .error()
                .render(),
            busy);
  ASSERT_TRUE(interpreter.end());
  EXPECT_EQ(interpreter.status(), RunStatus::Ended);
  ASSERT_TRUE(interpreter.reset());
  EXPECT_EQ(interpreter.status(), RunStatus::Fresh);
}

TEST(InterpreterTree, DeepNestingIsTornDownWithoutRecursion) {
  // Each level of a counts down and starts the next in parallel.
  Harness harness(
      "jump 9\na:\nload 0\njump_unless 5\nload 0\npush 1\nsub\ncall_parallel \"a\" 1\nreturn\n"
      "push 100000\ncall_parallel \"a\" 1");
  EXPECT_EQ(harness.step(), "running");
  ASSERT_TRUE(harness.interpreter.end());
  ASSERT_TRUE(harness.interpreter.reset());
}

TEST(InterpreterLock, AnExceptionWhileHoldingTheLockPoisonsIt) {
  GuardedState state;
  try {
    auto held = state.lock();
    throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
  }
  EXPECT_TRUE(state.is_poisoned());
  GuardedState calm;
  { auto held = calm.lock(); }
  EXPECT_FALSE(calm.is_poisoned());
}

}  // namespace
}  // namespace zolang::testing

namespace zolang::testing {
namespace {

TEST(InterpreterLock, CallableIdsSkipThoseInUseAfterWrapping) {
  std::uint32_t counter = UINT32_MAX - 1;
  auto in_use = [](std::uint32_t id) { return id == UINT32_MAX || id == 0 || id == 1; };
  EXPECT_EQ(take_callable_id(counter, in_use), UINT32_MAX - 1);
  EXPECT_EQ(take_callable_id(counter, in_use), 2u);
  EXPECT_EQ(counter, 3u);
}

}  // namespace
}  // namespace zolang::testing
