// Natives at run time: registration, validation at the first step, property
// access, native call polling, and the table of active calls.
#include <gtest/gtest.h>

#include "interpreter_test_doubles.hpp"
#include "package.hpp"

namespace zolang::testing {
namespace {

TEST(InterpreterRegistration, RefusesLabelsDuplicatesAndLateRegistration) {
  Harness harness("jump 3\nf:\nreturn\npush 1\nyield");
  auto label = harness.interpreter.register_callable(
      "f", std::make_unique<RecordingGenerator>(harness.events, "f"));
  EXPECT_EQ(label.error().render(), "A callable named 'f' is already registered");
  harness.callable("g");
  auto twice = harness.interpreter.register_callable(
      "g", std::make_unique<RecordingGenerator>(harness.events, "g"));
  EXPECT_EQ(twice.error().render(), "A callable named 'g' is already registered");
  harness.property("g");  // names of properties and callables are separate spaces
  auto property = harness.interpreter.register_property(
      "g", std::make_unique<RecordingProp>(harness.events, "g"));
  EXPECT_EQ(property.error().render(), "A property named 'g' is already registered");

  const std::string busy = "Cannot modify interpreter state while it's running";
  EXPECT_EQ(harness.step(), "running");
  auto paused = harness.interpreter.register_property(
      "p", std::make_unique<RecordingProp>(harness.events, "p"));
  EXPECT_EQ(paused.error().render(), busy);
  EXPECT_EQ(harness.step(), "finished");
  auto ended = harness.interpreter.register_callable(
      "h", std::make_unique<RecordingGenerator>(harness.events, "h"));
  EXPECT_EQ(ended.error().render(), busy);
  ASSERT_TRUE(harness.interpreter.reset());
  harness.callable("h");
}

TEST(InterpreterValidation, ReportsTheFirstProblemInInstructionOrder) {
  // Unknown property at 3, unknown callable at 7.
  Harness harness("push 1\npush 2\npop\nget \"missing\"\npop\npush 1\npop\ncall \"nothing\" 0");
  EXPECT_EQ(harness.step(), "[address 3] 'missing' is not a registered property");
  EXPECT_EQ(harness.interpreter.status(), RunStatus::Fresh);
  harness.property("missing", Value::number(4));
  EXPECT_EQ(harness.step(), "[address 7] 'nothing' is not a registered callable");
  harness.callable("nothing");
  EXPECT_EQ(harness.step(), "running");
  EXPECT_EQ(harness.take_events(),
            (Events{"get missing", "generate nothing()", "call nothing#1", "drop nothing#1"}));
}

TEST(InterpreterValidation, AsksSettableOncePerSetInstructionEvenAfterAProblem) {
  Harness harness("get \"nope\"\npush 1\nset \"p\"\npush 2\nset \"p\"\nset \"q\"");
  RecordingProp& p = harness.property("p");
  RecordingProp& q = harness.property("q");
  q.settable_error = true;
  EXPECT_EQ(harness.step(), "[address 0] 'nope' is not a registered property");
  EXPECT_EQ(harness.take_events(), (Events{"settable p", "settable p", "settable q"}));

  harness.property("nope");
  EXPECT_EQ(harness.step(), "settable failed: q");  // a settable error passes unchanged
  q.settable_error = false;
  p.is_settable = false;
  EXPECT_EQ(harness.step(), "[address 2] 'p' is not a settable property");
  harness.take_events();
  p.is_settable = true;
  EXPECT_EQ(harness.step(), "finished");
  EXPECT_EQ(harness.take_events(), (Events{"settable p", "settable p", "settable q", "get nope",
                                           "set p 1", "set p 2", "set q nil"}));
}

TEST(InterpreterValidation, ChecksParallelEntriesAndRunsAgainAfterReset) {
  Harness unknown("call_parallel \"a\" 0\nreturn\na:\nreturn\ncall_race \"a\" 0 \"b\" 0");
  EXPECT_EQ(unknown.step(), "[address 4] 'b' is not a registered callable");

  // A native callable passes validation but cannot run in parallel.
  Harness native("push 1\ncall_parallel \"n\" 0");
  native.callable("n");
  EXPECT_EQ(native.step(), "[address 1] Only built-in callables can be called in parallel");

  Harness again("push 1\nset \"p\"");
  again.property("p");
  EXPECT_EQ(again.step(), "finished");
  ASSERT_TRUE(again.interpreter.reset());
  EXPECT_EQ(again.step(), "finished");
  EXPECT_EQ(again.take_events(), (Events{"settable p", "set p 1", "settable p", "set p 1"}));
}

TEST(InterpreterNatives, PropertiesReadAndWrite) {
  Harness harness("get \"speed\"\npush 1\nadd\nset \"speed\"\nget \"speed\"\nset \"out\"");
  harness.property("speed", Value::number(2));
  harness.property("out");
  EXPECT_EQ(harness.step(), "finished");
  EXPECT_EQ(harness.take_events(), (Events{"settable speed", "settable out", "get speed",
                                           "set speed 3", "get speed", "set out 3"}));
}

TEST(InterpreterNatives, PropertyErrorsPassThrough) {
  Harness reading("get \"p\"");
  reading.property("p").fail = true;
  EXPECT_EQ(reading.step(), "get failed: p");
  Harness writing("push 1\nset \"p\"");
  writing.property("p").fail = true;
  EXPECT_EQ(writing.step(), "set failed: p");
}

TEST(InterpreterNatives, GenerateReceivesArgumentsInPushOrder) {
  Harness harness("push 0\npush 1\npush \"two\"\ncall \"f\" 2\nset \"out\"");
  harness.callable("f");
  harness.property("out");
  EXPECT_EQ(harness.step(), "running");
  EXPECT_EQ(harness.step(), "finished");
  EXPECT_EQ(harness.take_events(), (Events{"settable out", "generate f(1, \"two\")", "call f#1",
                                           "drop f#1", "set out 0"}));
}

TEST(InterpreterNatives, PollsOncePerStepAndGeneratesOncePerReach) {
  Harness harness("call \"f\" 0\npush 1\nset \"out\"");
  harness.callable("f", completing_at(3));
  harness.property("out");
  harness.take_events();
  EXPECT_EQ(harness.step(), "running");
  EXPECT_EQ(harness.take_events(), (Events{"settable out", "generate f()", "call f#1"}));
  EXPECT_EQ(harness.step(), "running");
  EXPECT_EQ(harness.take_events(), (Events{"call f#1"}));
  // Completion still ends the turn: push 1 runs only in the next step.
  EXPECT_EQ(harness.step(), "running");
  EXPECT_EQ(harness.take_events(), (Events{"call f#1", "drop f#1"}));
  EXPECT_EQ(harness.step(), "finished");
  EXPECT_EQ(harness.take_events(), (Events{"set out 1"}));
}

TEST(InterpreterNatives, EachReachOfTheCallGeneratesAnInstance) {
  // Counts 3 down; the call runs once per round.
  Harness harness("push 3\ncall \"f\" 0\npush 1\nsub\ndup\njump_if -4");
  harness.callable("f");
  std::string result;
  for (int i = 0; i < 10 && result != "finished"; ++i) result = harness.step();
  EXPECT_EQ(harness.take_events(),
            (Events{"generate f()", "call f#1", "drop f#1", "generate f()", "call f#2", "drop f#2",
                    "generate f()", "call f#3", "drop f#3"}));
}

TEST(InterpreterNatives, CallFailuresPassThroughAndKeepTheCallActive) {
  Harness underflow("push 1\ncall \"f\" 2");
  underflow.callable("f");
  EXPECT_EQ(underflow.step(), "[address 1] Stack underflow");

  Harness generating("call \"f\" 0");
  generating.callable("f").fail_generate = true;
  EXPECT_EQ(generating.step(), "generate failed: f");

  // The failed call stays in progress: a run-time error terminates nothing,
  // reset is refused, and end terminates it once.
  Harness polling("call \"f\" 0");
  polling.callable("f", failing_at(2, completing_at(5)));
  EXPECT_EQ(polling.step(), "running");
  EXPECT_EQ(polling.step(), "poll failed: f#1");
  EXPECT_EQ(polling.interpreter.status(), RunStatus::Running);
  EXPECT_EQ(polling.interpreter.reset().error().render(),
            "Cannot modify interpreter state while it's running");
  EXPECT_EQ(polling.take_events(), (Events{"generate f()", "call f#1", "call f#1"}));
  ASSERT_TRUE(polling.interpreter.end());
  EXPECT_EQ(polling.take_events(), (Events{"terminate f#1", "drop f#1"}));
  ASSERT_TRUE(polling.interpreter.reset());
  EXPECT_EQ(polling.interpreter.status(), RunStatus::Fresh);
}

TEST(InterpreterNatives, ACallableNamedLikeALabelWinsInAPackagedProgram) {
  Program program;
  program.contents().ops = {Op::jump(3), Op::label("f"), Op::simple(OpKind::Return),
                            Op::call("f", 0)};
  auto events = std::make_shared<Events>();
  program.contents().callables.emplace("f", std::make_unique<RecordingGenerator>(events, "f"));
  Interpreter interpreter = Interpreter::from_program(std::move(program));
  EXPECT_EQ(interpreter.step(), false);
  EXPECT_EQ(*events, (Events{"generate f()", "call f#1", "drop f#1"}));
  EXPECT_EQ(interpreter.ops().size(), 4u);
}

TEST(InterpreterNatives, FromIrReportsTheFailingLine) {
  auto failed = Interpreter::from_ir("push 1\n\nbogus");
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().render(), "[line 3] Invalid op: 'bogus'");
}

}  // namespace
}  // namespace zolang::testing
