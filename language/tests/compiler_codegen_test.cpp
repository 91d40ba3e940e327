// Code generation for expressions and ordinary statements, checked as whole
// instruction listings of compiled source text.
#include <string>
#include <vector>

#include "compiler_fixture.hpp"

namespace zolang::testing {
namespace {

using CompilerCodegen = CompilerFixture;

struct ExpressionCase {
  const char *expression;
  const char *code;  // what the expression compiles to, one instruction a line
};

// Each expression is compiled as `$r = <expression>;` after `$x = 5; $y = 6;`,
// so $x is at 0, $y at 1 and $r at 2.
const ExpressionCase expression_cases[] = {
    {"-$x", "load 0\nneg\n"},
    {"not true", "push true\nnot\n"},
    {"1 + 2 * 3", "push 1\npush 2\npush 3\nmul\nadd\n"},
    {"|$x - 3|", "load 0\npush 3\nsub\nabs\n"},
    {"($x)", "load 0\n"},
    {"- 5", "push 5\nneg\n"},
    {"-5", "push -5\n"},
    {"\"hi there\"", "push \"hi there\"\n"},
    {"nil", "push nil\n"},
    {"false", "push false\n"},
    {"2.5", "push 2.5\n"},
    {"$x - $y", "load 0\nload 1\nsub\n"},
    {"$x + $y", "load 0\nload 1\nadd\n"},
    {"$x / $y", "load 0\nload 1\ndiv\n"},
    {"$x * $y", "load 0\nload 1\nmul\n"},
    {"$x % $y", "load 0\nload 1\nmod\n"},
    {"$x ^ $y", "load 0\nload 1\nexp\n"},
    {"$x != $y", "load 0\nload 1\nne\n"},
    {"$x == $y", "load 0\nload 1\neq\n"},
    {"$x > $y", "load 0\nload 1\ngt\n"},
    {"$x >= $y", "load 0\nload 1\nge\n"},
    {"$x < $y", "load 0\nload 1\nlt\n"},
    {"$x <= $y", "load 0\nload 1\nle\n"},
    {"$x and $y", "load 0\ndup\njump_unless 3\nload 1\nand\n"},
    {"$x or $y", "load 0\ndup\njump_if 3\nload 1\nor\n"},
    {"$x xor $y", "load 0\nload 1\nxor\n"},
    // The jump skips the whole right operand, however long.
    {"$x and $y + 1", "load 0\ndup\njump_unless 5\nload 1\npush 1\nadd\nand\n"},
    {"$x or $y and $x", "load 0\ndup\njump_if 7\nload 1\ndup\njump_unless 3\nload 0\nand\nor\n"},
};

TEST_F(CompilerCodegen, ExpressionsCompileToTheirPatterns) {
  for (const ExpressionCase &test : expression_cases) {
    std::string source = std::string("$x = 5; $y = 6; $r = ") + test.expression + ";";
    std::string expected =
        std::string("jump 1\npush 5\nstore 0\npush 6\nstore 1\n") + test.code + "store 2\n";
    EXPECT_EQ(listing(source), expected) << test.expression;
  }
}

TEST_F(CompilerCodegen, DeclaredPropertyReadsCompileToGet) {
  prop("speed");
  EXPECT_EQ(listing("use $speed; $r = $speed;"), "jump 1\nget \"speed\"\nstore 0\n");
  EXPECT_EQ(listing("$r = $speed;"),
            "error: The 'speed' property was not declared with a 'use' statement\n");
}

TEST_F(CompilerCodegen, PropertyWinsOverAVariableOfTheSameName) {
  prop("speed");
  // `use` declarations are taken before group bodies, wherever they stand, so
  // the body reads the property rather than its own parameter.
  EXPECT_EQ(listing("group g $speed { $r = $speed; } use $speed;"),
            "jump 6\ng:\nget \"speed\"\nstore 1\npop\nreturn\n");
}

TEST_F(CompilerCodegen, ReadingAnUnassignedVariableIsAnError) {
  EXPECT_EQ(listing("$r = $y;"), "error: [line 0] Variable 'y' used before it was declared\n");
}

struct StatementCase {
  const char *source;
  const char *listing;
};

const StatementCase statement_cases[] = {
    {"$x = 1; $x += 2;", "jump 1\npush 1\nstore 0\nload 0\npush 2\nadd\nstore 0\n"},
    {"$a = 1; if $a { $b = 1; } else { $b = 2; }",
     "jump 1\npush 1\nstore 0\n"
     "load 0\njump_unless 4\npush 1\nstore 1\njump 3\npush 2\nstore 1\n"},
    {"$a = 1; unless $a { yield; }",
     "jump 1\npush 1\nstore 0\nload 0\nnot\njump_unless 3\nyield\njump 1\n"},
    {"$a = 1; if $a { yield; } else if $a { return; } else { yield; }",
     "jump 1\npush 1\nstore 0\n"
     "load 0\njump_unless 3\nyield\njump 6\n"
     "load 0\njump_unless 3\nreturn\njump 2\nyield\n"},
    {"$i = 0; while $i < 3 { $i += 1; }",
     "jump 1\npush 0\nstore 0\n"
     "load 0\npush 3\nlt\njump_unless 6\nload 0\npush 1\nadd\nstore 0\njump "
     "-8\n"},
    {"$done = 0; until $done { break; }",
     "jump 1\npush 0\nstore 0\nload 0\nnot\njump_unless 3\njump 2\njump -4\n"},
    // The break leaves the outer loop, not the inner one that follows it.
    {"$a = 1; $b = 1; $c = 0; while $a { if $b { break; } while $c { } }",
     "jump 1\npush 1\nstore 0\npush 1\nstore 1\npush 0\nstore 2\n"
     "load 0\njump_unless 9\n"
     "load 1\njump_unless 3\njump 6\njump 1\n"
     "load 2\njump_unless 2\njump -2\n"
     "jump -9\n"},
    // Each break leaves its innermost loop.
    {"$a = 1; while $a { while $a { break; } break; }",
     "jump 1\npush 1\nstore 0\n"
     "load 0\njump_unless 7\n"
     "load 0\njump_unless 3\njump 2\njump -3\n"
     "jump 2\njump -7\n"},
    {"yield; return;", "jump 1\nyield\nreturn\n"},
};

TEST_F(CompilerCodegen, StatementsCompileToTheirPatterns) {
  for (const StatementCase &test : statement_cases) {
    EXPECT_EQ(listing(test.source), test.listing) << test.source;
  }
}

TEST_F(CompilerCodegen, PropertyAssignmentAsksWhetherThePropertyIsSettable) {
  prop("speed");
  prop("fixed").is_settable = false;
  prop("broken").settable_error = true;
  // No `use` is needed to assign a property.
  EXPECT_EQ(listing("$speed = 3;"), "jump 1\npush 3\nset \"speed\"\n");
  EXPECT_EQ(listing("use $fixed; $fixed = 3;"),
            "error: [line 0] External property 'fixed' not settable\n");
  EXPECT_EQ(listing("$broken = 3;"), "error: settable failed: broken\n");
}

TEST_F(CompilerCodegen, UseOfAnUnregisteredPropertyIsAnError) {
  EXPECT_EQ(listing("use $speed;"), "error: No property named 'speed' was registered\n");
}

TEST_F(CompilerCodegen, CallsHandTheirArgumentsToTheCheckAndDropWords) {
  native("wait");
  native("log");
  EXPECT_EQ(listing("wait 5 seconds;"), "jump 1\npush 5\ncall \"wait\" 1\n");
  EXPECT_EQ(listing("$x = 1; log info $x + 1;"),
            "jump 1\npush 1\nstore 0\nload 0\npush 1\nadd\ncall \"log\" 1\n");
  EXPECT_EQ(checks(), (std::vector<std::string>{"check wait(v seconds)", "check log(info v)"}));
}

TEST_F(CompilerCodegen, RejectedOrUnknownCallsGenerateNothingAndCompileNoArguments) {
  native("picky").rejection = Error::native("picky wants a word");
  // Neither call's argument is compiled, so $nope reports nothing.
  EXPECT_EQ(listing("picky $nope; beep $nope;"),
            "error: picky wants a word\n"
            "error: No callable named 'beep' was registered\n");
  EXPECT_EQ(checks(), std::vector<std::string>{"check picky(v)"});
}

TEST_F(CompilerCodegen, EveryErrorIsReportedInOrderUsesThenGroupsFirst) {
  prop("speed").is_settable = false;
  native("picky").rejection = Error::group_syntax("picky says no");
  EXPECT_EQ(listing("use $ghost;\n"
                    "$a = $b;\n"
                    "beep;\n"
                    "$speed = 1;\n"
                    "$r = $speed;\n"
                    "move slow 3;\n"
                    "move fast;\n"
                    "picky 1;\n"
                    "parallel { move fast 1; beep; picky; }\n"
                    "group move fast $d { $q = $x; }\n"),
            "error: No property named 'ghost' was registered\n"
            "error: [line 0] Variable 'x' used before it was declared\n"
            "error: [line 0] Variable 'b' used before it was declared\n"
            "error: No callable named 'beep' was registered\n"
            "error: [line 0] External property 'speed' not settable\n"
            "error: The 'speed' property was not declared with a 'use' statement\n"
            "error: Argument at position 0 should be 'fast'\n"
            "error: Call to 'move' expected 2 arguments but got 1\n"
            "error: picky says no\n"
            "error: No callable named 'beep' was registered\n");
}

}  // namespace
}  // namespace zolang::testing
