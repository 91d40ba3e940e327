// Groups and parallel/race blocks, checked as whole instruction listings.
#include <string>
#include <vector>

#include "compiler_fixture.hpp"

namespace zolang::testing {
namespace {

using CompilerGroups = CompilerFixture;

TEST_F(CompilerGroups, GroupBodiesLieBehindTheLeadingJump) {
  EXPECT_EQ(listing("group hello { yield; } hello;"),
            "jump 4\nhello:\nyield\nreturn\ncall \"hello\" 0\n");
}

TEST_F(CompilerGroups, ValueParametersTakeTheFirstSlotsAndArePoppedOnReturn) {
  EXPECT_EQ(listing("group add2 $a $b { $c = $a + $b; } add2 1 2;"),
            "jump 9\nadd2:\nload 0\nload 1\nadd\nstore 2\npop\npop\nreturn\n"
            "push 1\npush 2\ncall \"add2\" 2\n");
}

TEST_F(CompilerGroups, WordParametersMustBeRepeatedAndTakeNoSlot) {
  EXPECT_EQ(listing("group move fast $d { } $x = 1; move fast 3;"),
            "jump 4\nmove:\npop\nreturn\npush 1\nstore 0\npush 3\ncall \"move\" 1\n");
}

TEST_F(CompilerGroups, CallsThatDoNotMatchTheGroupAreRejected) {
  EXPECT_EQ(listing("group add2 $a $b { } add2 1;"),
            "error: Call to 'add2' expected 2 arguments but got 1\n");
  EXPECT_EQ(listing("group move fast $d { } move slow 3; move fast fast; move 3 fast;"),
            "error: Argument at position 0 should be 'fast'\n"
            "error: Argument at position 1 should be a value\n"
            "error: Argument at position 0 should be 'fast'\n");
  // Word comparison is byte for byte.
  EXPECT_EQ(listing("group move fast { } move Fast;"),
            "error: Argument at position 0 should be 'fast'\n");
}

TEST_F(CompilerGroups, GroupMayNotTakeANativeCallablesName) {
  native("beep");
  prop("g");
  EXPECT_EQ(listing("group beep { }"), "error: A callable named 'beep' is already registered\n");
  // A property may share a group's name.
  EXPECT_EQ(listing("group g { } g;"), "jump 3\ng:\nreturn\ncall \"g\" 0\n");
}

TEST_F(CompilerGroups, LaterDefinitionOfAGroupReplacesTheEarlier) {
  EXPECT_EQ(listing("group g { yield; } group g { return; } g;"),
            "jump 4\ng:\nreturn\nreturn\ncall \"g\" 0\n");
}

TEST_F(CompilerGroups, GroupCanCallOnlyGroupsDefinedBeforeIt) {
  EXPECT_EQ(listing("group a { } group b { a; } b;"),
            "jump 6\na:\nreturn\nb:\ncall \"a\" 0\nreturn\ncall \"b\" 0\n");
  EXPECT_EQ(listing("group a { a; b; } group b { }"),
            "error: No callable named 'a' was registered\n"
            "error: No callable named 'b' was registered\n");
}

TEST_F(CompilerGroups, GroupBodiesSeeOnlyTheirOwnScope) {
  EXPECT_EQ(listing("$x = 1; group g { $y = $x; }"),
            "error: [line 0] Variable 'x' used before it was declared\n");
  // A parameter and a program variable of one name are independent slots.
  EXPECT_EQ(listing("group g $a { $b = $a; } $a = 7; g $a;"),
            "jump 6\ng:\nload 0\nstore 1\npop\nreturn\npush 7\nstore 0\nload "
            "0\ncall \"g\" 1\n");
}

TEST_F(CompilerGroups, GroupBodiesAreLaidOutInOrderOfDefinition) {
  const char *source = "group b { } group a { } group c { } group a { yield; }";
  std::string expected = "jump 8\nb:\nreturn\na:\nyield\nreturn\nc:\nreturn\n";
  EXPECT_EQ(listing(source), expected);
  EXPECT_EQ(listing(source), expected);
}

TEST_F(CompilerGroups, GroupsBelongToTheCompilationThatDefinesThem) {
  ASSERT_EQ(listing("group g { }"), "jump 3\ng:\nreturn\n");
  // The second program does not contain g's body, so it cannot call it.
  EXPECT_EQ(listing("g;"), "error: No callable named 'g' was registered\n");
}

TEST_F(CompilerGroups, ParallelNativesRunInsideSyntheticGroups) {
  native("walk");
  native("spin");
  EXPECT_EQ(listing("parallel { walk 2; spin; }"),
            "jump 7\n#walk:\ncall \"walk\" 1\nreturn\n#spin:\ncall \"spin\" "
            "0\nreturn\n"
            "push 2\ncall_parallel \"#walk\" 1 \"#spin\" 0\n");
  EXPECT_EQ(checks(), (std::vector<std::string>{"check walk(v)", "check spin()"}));
}

TEST_F(CompilerGroups, ParallelArgumentsArePushedLastCallLastValueFirst) {
  native("walk");
  EXPECT_EQ(listing("group g $a $b { } race { g 1 2; walk left 3 4; }"),
            "jump 8\ng:\npop\npop\nreturn\n#walk:\ncall \"walk\" 2\nreturn\n"
            "push 4\npush 3\npush 2\npush 1\ncall_race \"g\" 2 \"#walk\" 2\n");
  EXPECT_EQ(checks(), std::vector<std::string>{"check walk(left v v)"});
}

TEST_F(CompilerGroups, RaceOfGroupsNeedsNoSyntheticGroups) {
  EXPECT_EQ(listing("group a { yield; } group b { yield; } race { a; b; }"),
            "jump 7\na:\nyield\nreturn\nb:\nyield\nreturn\ncall_race \"a\" 0 "
            "\"b\" 0\n");
}

TEST_F(CompilerGroups, EmptyBlocksStartNothing) {
  EXPECT_EQ(listing("parallel { } race { }"), "jump 1\ncall_parallel\ncall_race\n");
}

TEST_F(CompilerGroups, FirstRejectedCallAbandonsTheWholeBlock) {
  native("walk");
  native("picky").rejection = Error::native("picky refuses");
  EXPECT_EQ(listing("parallel { walk 1; ghost; picky; }"),
            "error: No callable named 'ghost' was registered\n");
  // picky, after the unknown call, was never asked.
  EXPECT_EQ(checks(), std::vector<std::string>{"check walk(v)"});
  EXPECT_EQ(listing("group g $a { } parallel { g; walk 1; }"),
            "error: Call to 'g' expected 1 arguments but got 0\n");
  EXPECT_EQ(listing("race { picky 1; walk 1; }"), "error: picky refuses\n");
}

// Every block must run the call it was written with, so each arity of a
// native gets its own synthetic group.
TEST_F(CompilerGroups, EachCallShapeOfANativeGetsItsOwnSyntheticGroup) {
  native("walk");
  EXPECT_EQ(listing("parallel { walk 1; } parallel { walk; } race { walk 2; }"),
            "jump 7\n#walk:\ncall \"walk\" 1\nreturn\n#walk/0:\ncall \"walk\" "
            "0\nreturn\n"
            "push 1\ncall_parallel \"#walk\" 1\n"
            "call_parallel \"#walk/0\" 0\n"
            "push 2\ncall_race \"#walk\" 1\n");
  // The extra names survive the IR text.
  auto ops = compiler.compile_nonconsuming("parallel { walk; } parallel { walk 1 2; }");
  ASSERT_TRUE(ops);
  EXPECT_EQ(read_program(print_program(*ops)), *ops);
}

TEST_F(CompilerGroups, ParallelBlocksInsideGroupsAddTheirSyntheticGroups) {
  native("beep");
  EXPECT_EQ(listing("group g { parallel { beep; } } g;"),
            "jump 7\n#beep:\ncall \"beep\" 0\nreturn\ng:\ncall_parallel "
            "\"#beep\" 0\nreturn\n"
            "call \"g\" 0\n");
}

}  // namespace
}  // namespace zolang::testing
