// Compiled programs run through the interpreter: the effects a host sees
// through its natives are what the generated code means.
#include <string>
#include <vector>

#include "compiler_fixture.hpp"
#include "interpreter.hpp"

namespace zolang::fakes {
namespace {

class CompilerRun : public CompilerFixture {
 protected:
  // Compiles and packages `source`, then steps it until it finishes (at most
  // `max_steps` steps), recording "step" in the log after every unfinished
  // step. Returns the log's events. A completed native call ends its
  // context's turn, so the code after it runs in the next step.
  std::vector<std::string> run(std::string_view source, std::size_t max_steps = 100) {
    auto ops = compiler.compile_nonconsuming(source);
    if (!ops) return {"compile failed: " + ops.error().front().render()};
    Interpreter interpreter = Interpreter::from_program(compiler.package_program(*ops));
    for (std::size_t step = 0; step < max_steps; ++step) {
      std::expected<bool, Error> finished = interpreter.step();
      if (!finished) {
        log->events.push_back("error: " + finished.error().render());
        break;
      }
      if (*finished) return log->events;
      log->events.push_back("step");
    }
    return log->events;
  }
};

TEST_F(CompilerRun, LoopsRunUntilTheirBreak) {
  prop("out");
  EXPECT_EQ(run("$i = 0;\n"
                "while true {\n"
                "  $i += 1;\n"
                "  if $i > 3 { break; }\n"
                "  $out = $i;\n"
                "}\n"
                "$out = \"after\";\n"),
            (std::vector<std::string>{"out=1", "out=2", "out=3", "out=\"after\""}));
}

TEST_F(CompilerRun, BreakLeavesOnlyItsInnermostLoop) {
  prop("out");
  EXPECT_EQ(run("$i = 0;\n"
                "until $i == 2 {\n"
                "  $i += 1;\n"
                "  while true { break; }\n"
                "  $out = $i;\n"
                "}\n"),
            (std::vector<std::string>{"out=1", "out=2"}));
}

TEST_F(CompilerRun, ShortCircuitOperatorsKeepTheDecidingValue) {
  prop("out");
  EXPECT_EQ(run("use $out; $zero = 0; $one = 1; $none = nil;\n"
                "$out = $zero and $one;\n"
                "$out = $one and $none;\n"
                "$out = $one or $none;\n"
                "$out = $none or $zero;\n"
                "$out = $one xor $zero;\n"),
            (std::vector<std::string>{"out=0", "out=false", "out=1", "out=false", "out=true"}));
}

TEST_F(CompilerRun, GroupsTakeWordAndValueParameters) {
  prop("out");
  EXPECT_EQ(run("group move fast $d $e { $local = $d - $e; $out = $local; }\n"
                "$keep = 100;\n"
                "move fast 10 3;\n"
                "move fast 1 1;\n"
                "$out = $keep;\n"),
            (std::vector<std::string>{"out=7", "out=0", "out=100"}));
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
            (std::vector<std::string>{"out=2", "out=4", "out=6", "out=3", "out=\"new\""}));
}

TEST_F(CompilerRun, NativeCallsReceiveTheirValuesInSourceOrder) {
  native("wait", 2);
  EXPECT_EQ(run("wait 5 seconds 6;"),
            (std::vector<std::string>{"wait(5 6)", "step", "step", "wait done", "step"}));
}

TEST_F(CompilerRun, ParallelBlocksRunEveryCallWithItsOwnArguments) {
  native("walk", 1);
  native("spin");
  EXPECT_EQ(
      run("parallel { walk 1 2; spin 3; }"),
      (std::vector<std::string>{"walk(1 2)", "spin(3)", "spin done", "step", "walk done", "step"}));
}

TEST_F(CompilerRun, BlocksUsingOneNativeWithDifferentAritiesRunTheirOwnCalls) {
  native("beep");
  EXPECT_EQ(run("parallel { beep 1; } parallel { beep; } race { beep 2 3; }"),
            (std::vector<std::string>{"beep(1)", "beep done", "step", "beep()", "beep done", "step",
                                      "beep(2 3)", "beep done", "step"}));
}

TEST_F(CompilerRun, GroupsRunInParallelWithTheirArguments) {
  prop("out");
  EXPECT_EQ(run("group g $a $b { $out = $a - $b; }\n"
                "parallel { g 10 4; g 3 1; }\n"
                "$out = \"joined\";\n"),
            (std::vector<std::string>{"out=6", "out=2", "step", "out=\"joined\""}));
}

TEST_F(CompilerRun, RaceEndsTheSlowerCalls) {
  native("slow", 5);
  native("quick", 1);
  EXPECT_EQ(run("race { slow; quick; }"),
            (std::vector<std::string>{"slow()", "quick()", "step", "quick done", "slow terminated",
                                      "step"}));
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
            (std::vector<std::string>{"out=100000", "out=true"}));
}

TEST_F(CompilerRun, EndGroupRunsWhenTheProgramFinishes) {
  prop("out");
  EXPECT_EQ(run("group __end { $out = \"cleanup\"; } $out = 1; yield; $out = 2;"),
            (std::vector<std::string>{"out=1", "step", "out=2", "out=\"cleanup\""}));
}

}  // namespace
}  // namespace zolang::fakes
