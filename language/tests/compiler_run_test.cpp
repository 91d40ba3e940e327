// Compiled programs run through the interpreter: the effects a host sees
// through its natives are what the generated code means.
#include <string>
#include <vector>

#include "compiler_fixture.hpp"

namespace zolang::testing {
namespace {

using CompilerRun = CompilerFixture;

TEST_F(CompilerRun, LoopsRunUntilTheirBreak) {
  prop("out");
  EXPECT_EQ(run("$i = 0;\n"
                "while true {\n"
                "  $i += 1;\n"
                "  if $i > 3 { break; }\n"
                "  $out = $i;\n"
                "}\n"
                "$out = \"after\";\n"),
            (Events{"set out 1", "set out 2", "set out 3", "set out \"after\""}));
}

TEST_F(CompilerRun, BreakLeavesOnlyItsInnermostLoop) {
  prop("out");
  EXPECT_EQ(run("$i = 0;\n"
                "until $i == 2 {\n"
                "  $i += 1;\n"
                "  while true { break; }\n"
                "  $out = $i;\n"
                "}\n"),
            (Events{"set out 1", "set out 2"}));
}

TEST_F(CompilerRun, ShortCircuitOperatorsKeepTheDecidingValue) {
  prop("out");
  EXPECT_EQ(run("use $out; $zero = 0; $one = 1; $none = nil;\n"
                "$out = $zero and $one;\n"
                "$out = $one and $none;\n"
                "$out = $one or $none;\n"
                "$out = $none or $zero;\n"
                "$out = $one xor $zero;\n"),
            (Events{"set out 0", "set out false", "set out 1", "set out false", "set out true"}));
}

TEST_F(CompilerRun, GroupsTakeWordAndValueParameters) {
  prop("out");
  EXPECT_EQ(run("group move fast $d $e { $local = $d - $e; $out = $local; }\n"
                "$keep = 100;\n"
                "move fast 10 3;\n"
                "move fast 1 1;\n"
                "$out = $keep;\n"),
            (Events{"set out 7", "set out 0", "set out 100"}));
}

// A group's own variables outlive its return (only its parameters are
// popped); the caller's variables below them must not be disturbed.
TEST_F(CompilerRun, RepeatedGroupCallsLeaveTheCallersVariablesIntact) {
  prop("out");
  EXPECT_EQ(run("group double $a { $t = $a * 2; $out = $t; }\n"
                "$i = 0;\n"
                "while $i < 3 { $i += 1; double $i; }\n"
                "$later = \"new\";\n"
                "$out = $i;\n"
                "$out = $later;\n"),
            (Events{"set out 2", "set out 4", "set out 6", "set out 3", "set out \"new\""}));
}

TEST_F(CompilerRun, NativeCallsReceiveTheirValuesInSourceOrder) {
  native("wait", completing_at(3));
  EXPECT_EQ(run("wait 5 seconds 6;"),
            (Events{"generate wait(5, 6)", "call wait#1", "step", "call wait#1", "step",
                    "call wait#1", "drop wait#1", "step"}));
}

TEST_F(CompilerRun, ParallelBlocksRunEveryCallWithItsOwnArguments) {
  native("walk", completing_at(2));
  native("spin");
  EXPECT_EQ(run("parallel { walk 1 2; spin 3; }"),
            (Events{"generate walk(1, 2)", "call walk#1", "generate spin(3)", "call spin#1",
                    "drop spin#1", "step", "call walk#1", "drop walk#1", "step"}));
}

TEST_F(CompilerRun, BlocksUsingOneNativeWithDifferentAritiesRunTheirOwnCalls) {
  native("beep");
  EXPECT_EQ(run("parallel { beep 1; } parallel { beep; } race { beep 2 3; }"),
            (Events{"generate beep(1)", "call beep#1", "drop beep#1", "step", "generate beep()",
                    "call beep#2", "drop beep#2", "step", "generate beep(2, 3)", "call beep#3",
                    "drop beep#3", "step"}));
}

TEST_F(CompilerRun, GroupsRunInParallelWithTheirArguments) {
  prop("out");
  EXPECT_EQ(run("group g $a $b { $out = $a - $b; }\n"
                "parallel { g 10 4; g 3 1; }\n"
                "$out = \"joined\";\n"),
            (Events{"set out 6", "set out 2", "step", "set out \"joined\""}));
}

TEST_F(CompilerRun, RaceEndsTheSlowerCalls) {
  native("slow", completing_at(6));
  native("quick", completing_at(2));
  EXPECT_EQ(run("race { slow; quick; }"),
            (Events{"generate slow()", "call slow#1", "generate quick()", "call quick#1", "step",
                    "call slow#1", "call quick#1", "drop quick#1", "terminate slow#1",
                    "drop slow#1", "step"}));
}

// Generated programs write flat chains of many thousands of terms; they
// compile without recursion along the chain and mean what they say.
TEST_F(CompilerRun, LongOperatorChainsCompileAndRun) {
  prop("out");
  std::string sum = "$a = 1";
  std::string either = "$b = $z";
  for (int term = 1; term < 100'000; ++term) {
    sum += " + 1";
    either += " or $z";
  }
  EXPECT_EQ(run("$z = 0;\n" + sum + ";\n" + either + " or 5;\n$out = $a;\n$out = $b;\n"),
            (Events{"set out 100000", "set out true"}));
}

TEST_F(CompilerRun, EndGroupRunsWhenTheProgramFinishes) {
  prop("out");
  EXPECT_EQ(run("group __end { $out = \"cleanup\"; } $out = 1; yield; $out = 2;"),
            (Events{"set out 1", "step", "set out 2", "set out \"cleanup\""}));
}

}  // namespace
}  // namespace zolang::testing
