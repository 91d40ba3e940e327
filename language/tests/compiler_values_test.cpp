// Values from calls: a native call or a group call as the right-hand side of
// an assignment, a group's `return EXPR;`, the winner of a race, and natives
// that take their words at run time. Code generation is checked as whole
// listings; what the values are, by running the programs.
#include <string>
#include <vector>

#include "compiler_fixture.hpp"

namespace zolang::testing {
namespace {

using CompilerValues = CompilerFixture;
using CompilerRunValues = CompilerFixture;

struct ListingCase {
  const char* source;
  const char* listing;
};

TEST_F(CompilerValues, CallsRacesAndReturnsCompileToTheirValueForms) {
  native("measure");
  native("count");
  native("place_part");
  native("move");
  native("wait");
  const ListingCase cases[] = {
      {"$t = measure \"t1\";", "jump 1\npush \"t1\"\ncall_value \"measure\" 1\nstore 0\n"},
      {"$n = 1; $n += count parts;",
       "jump 1\npush 1\nstore 0\nload 0\ncall_value \"count\" 0\nadd\nstore 0\n"},
      {"$p = place_part 3 on tray;", "jump 1\npush 3\ncall_value \"place_part\" 1\nstore 0\n"},
      {"group twice $a { return $a * 2; } $r = twice 4; twice 5;",
       "jump 8\ntwice:\nload 0\npush 2\nmul\nreturn_value\npop\nreturn\n"
       "push 4\ncall_value \"twice\" 1\nstore 0\npush 5\ncall \"twice\" 1\n"},
      {"group a { yield; } group b { return; } $f = race { a; b; };",
       "jump 7\na:\nyield\nreturn\nb:\nreturn\nreturn\ncall_race_value \"a\" 0 \"b\" 0\nstore 0\n"},
      // Each native in the block runs in its wrapper, as in a race statement.
      {"$f = race { move 4 metres; wait 3 seconds; };",
       "jump 7\n#move:\ncall \"move\" 1\nreturn\n#wait:\ncall \"wait\" 1\nreturn\n"
       "push 3\npush 4\ncall_race_value \"#move\" 1 \"#wait\" 1\nstore 0\n"},
      {"$f = race { };", "jump 1\ncall_race_value\nstore 0\n"},
  };
  for (const ListingCase& test : cases)
    EXPECT_EQ(listing(test.source), test.listing) << test.source;
  EXPECT_EQ(checks(), (std::vector<std::string>{"check measure(v)", "check count(parts)",
                                                "check place_part(v on tray)",
                                                "check move(v metres)", "check wait(v seconds)"}));
}

TEST_F(CompilerValues, ACallValueIsCheckedLikeACallStatement) {
  native("picky").rejection = Error::native("picky wants a word");
  EXPECT_EQ(listing("group g $a { } $x = g; $y = picky $nope; $z = ghost $nope;"),
            "error: Call to 'g' expected 1 arguments but got 0\n"
            "error: picky wants a word\n"
            "error: No callable named 'ghost' was registered\n");
  EXPECT_EQ(listing("group g { return 1; } $x = race { g; ghost; };"),
            "error: No callable named 'ghost' was registered\n");
  EXPECT_EQ(listing("return 1;\ngroup g { if true { return 2; } }"),
            "error: [line 0] Only a group can return a value; the main program ends with a bare "
            "'return;'\n");
}

TEST_F(CompilerValues, WordsPassAtRunTimeForTheNativesThatAskForThem) {
  native("valve").words = true;
  native("beep");
  EXPECT_EQ(listing("valve open; $r = valve close 3; beep loud;"),
            "jump 1\npush \"open\"\ncall \"valve\" 1\n"
            "push \"close\"\npush 3\ncall_value \"valve\" 2\nstore 0\ncall \"beep\" 0\n");
  // In a block, the words go with the values, the first call's first on top.
  EXPECT_EQ(listing("parallel { valve open 2; beep loud; valve shut; }"),
            "jump 10\n#valve:\ncall \"valve\" 2\nreturn\n#beep:\ncall \"beep\" 0\nreturn\n"
            "#valve/1:\ncall \"valve\" 1\nreturn\n"
            "push \"shut\"\npush 2\npush \"open\"\n"
            "call_parallel \"#valve\" 2 \"#beep\" 0 \"#valve/1\" 1\n");
  EXPECT_EQ(checks(), (std::vector<std::string>{"check valve(open)", "check valve(close v)",
                                                "check beep(loud)", "check valve(open v)",
                                                "check beep(loud)", "check valve(shut)"}));
}

TEST_F(CompilerRunValues, EachNativeCallGivesItsOwnValue) {
  native("ping", completing_at(2)).echo = true;
  native("count");
  prop("out");
  // Two branches wait on one native at once; each keeps its own value.
  EXPECT_EQ(
      run("group probe $h { $ok = ping $h; $out = $ok; }\n"
          "parallel { probe 1; probe 2; }\n"
          "$n = count; $out = $n;\n"),
      (Events{
          "generate ping(1)", "call ping#1",   "generate ping(2)", "call ping#2", "step",
          "call ping#1",      "result ping#1", "drop ping#1",      "call ping#2", "result ping#2",
          "drop ping#2",      "step",          "set out 1",        "set out 2",   "step",
          "generate count()", "call count#1",  "drop count#1",     "step",        "set out nil"}));
}

TEST_F(CompilerRunValues, AGroupGivesTheValueOfItsReturnThroughNestedCalls) {
  prop("out");
  EXPECT_EQ(run("group inner $x { while true { if $x > 1 { return $x * 10; } return; } }\n"
                "group outer $y { $v = inner $y; $w = $v + 1; return $w; }\n"
                "$a = 5;\n"
                "$b = outer 2;\n"
                "$c = inner 1;\n"
                "outer 3;\n"  // as a statement the value goes, and so does all the group left
                "$d = 7;\n"
                "$out = $a; $out = $b; $out = $c; $out = $d;\n"),
            (Events{"set out 5", "set out 21", "set out nil", "set out 7"}));
}

TEST_F(CompilerRunValues, ARaceGivesThePlaceOfTheMemberThatFinishedFirst) {
  prop("out");
  native("move", completing_at(3));
  native("wait", completing_at(2));
  EXPECT_EQ(run("group slow { yield; yield; } group fast { yield; }\n"
                "$f = race { slow; fast; }; $out = $f;\n"
                "$f = race { fast; slow; }; $out = $f;\n"
                "$f = race { move 4 metres; wait 3 seconds; }; $out = $f;\n"
                "$f = race { wait 1 seconds; move 1 metres; }; $out = $f;\n"
                "$f = race { }; $out = $f;\n"),
            (Events{"step", "set out 2", "step", "set out 1",
                    // the wrappers: wait completes at its second poll
                    "generate move(4)", "call move#1", "generate wait(3)", "call wait#1", "step",
                    "call move#1", "call wait#1", "drop wait#1", "terminate move#1", "drop move#1",
                    "step", "set out 2", "generate wait(1)", "call wait#2", "generate move(1)",
                    "call move#2", "step", "call wait#2", "drop wait#2", "terminate move#2",
                    "drop move#2", "step", "set out 1", "set out nil"}));
}

TEST_F(CompilerRunValues, WordsReachGenerateInTheirPlaces) {
  native("valve").words = true;
  EXPECT_EQ(run("valve open 2 now;"), (Events{"generate valve(\"open\", 2, \"now\")",
                                              "call valve#1", "drop valve#1", "step"}));
}

TEST_F(CompilerRunValues, AFailingResultFailsTheStepAtItsCall) {
  CallableScript failing;
  failing.fail_result = true;
  native("measure", failing);
  auto ops = compiler.compile_nonconsuming("$a = 1;\n$t =   measure 2;\n");
  ASSERT_TRUE(ops);
  Interpreter interpreter = Interpreter::from_program(compiler.package_program(*ops));
  auto finished = interpreter.step();
  ASSERT_FALSE(finished);
  EXPECT_EQ(finished.error().render(), "result failed: measure#1");
  ASSERT_TRUE(interpreter.last_failure());
  EXPECT_EQ(interpreter.last_failure()->address, std::optional<std::size_t>(4));
  EXPECT_EQ(interpreter.last_failure()->position.line, 2u);
  EXPECT_EQ(interpreter.last_failure()->position.column, 8u);
  // The call completed, so a stop has nothing left to terminate.
  EXPECT_EQ(*events, (Events{"check measure(v)", "generate measure(2)", "call measure#1",
                             "result measure#1", "drop measure#1"}));
}

}  // namespace
}  // namespace zolang::testing

namespace zolang::testing {
namespace {

// IR text can hold what the compiler never emits: a value returned where no
// group takes it, or with nothing on the stack.
TEST(InterpreterValues, AReturnValueWithoutAFrameFinishesItsContext) {
  auto finishing = Interpreter::from_ir("push 1\nreturn_value\nyield\n");
  ASSERT_TRUE(finishing);
  auto finished = finishing->step();
  ASSERT_TRUE(finished);
  EXPECT_TRUE(*finished);
  auto empty = Interpreter::from_ir("return_value\n");
  ASSERT_TRUE(empty);
  auto failed = empty->step();
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().render(), "[address 0] Stack underflow");
  auto unknown = Interpreter::from_ir("call_value \"ghost\" 0\n");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->step().error().render(), "[address 0] 'ghost' is not a registered callable");
}

}  // namespace
}  // namespace zolang::testing
