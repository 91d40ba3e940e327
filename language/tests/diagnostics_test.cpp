// Where errors are: the span of every compile-time error, the notes that
// point at related places, the "did you mean" hints, and the place and
// group calls of a run-time failure. Rendered texts never change with them.
#include <string>
#include <vector>

#include "compiler_fixture.hpp"
#include "interpreter.hpp"
#include "suggest.hpp"

namespace zolang::testing {
namespace {

std::string place(std::uint32_t line, std::uint32_t column) {
  return std::to_string(line) + ":" + std::to_string(column);
}

std::string describe(const Error& error) {
  const SourceSpan& span = error.span;
  std::string text = place(span.line, span.column) + "-" + place(span.end_line, span.end_column) +
                     " " + error.render();
  for (const Note& note : error.notes) {
    text += " | " + note.message;
    if (note.position.line != 0) text += " @" + place(note.position.line, note.position.column);
  }
  return text;
}

class Diagnostics : public CompilerFixture {
 protected:
  void SetUp() override {
    native("print");
    prop("speed");
    prop("battery", Value::number(1)).is_settable = false;
  }

  std::vector<std::string> diagnose(std::string_view source) {
    std::vector<std::string> described;
    auto result = compiler.compile_nonconsuming(source);
    if (result) return {"compiled"};
    for (const Error& error : result.error()) described.push_back(describe(error));
    return described;
  }
};

struct DiagnosticCase {
  std::string source;
  std::vector<std::string> expected;
};

TEST_F(Diagnostics, EveryCompileErrorKnowsItsSpan) {
  const std::vector<DiagnosticCase> cases = {
      {"pirnt 1;", {"1:1-1:6 No callable named 'pirnt' was registered | did you mean 'print'?"}},
      {"group greet $n { }\n  gret 1;",
       {"2:3-2:7 No callable named 'gret' was registered | did you mean 'greet'?"}},
      {"$count = 1;\nprint $cuont;",
       {"2:7-2:13 [line 0] Variable 'cuont' used before it was declared | did you mean 'count'?"}},
      {"use $sped;", {"1:5-1:10 No property named 'sped' was registered | did you mean 'speed'?"}},
      {"print $x;", {"1:7-1:9 [line 0] Variable 'x' used before it was declared"}},
      {"group greet $a $b { }\ngreet 1 ;",
       {"2:1-2:8 Call to 'greet' expected 2 arguments but got 1 | 'greet' is defined here @1:7"}},
      {"parallel { greet; }\ngroup greet $a { }",
       {"1:12-1:17 Call to 'greet' expected 1 arguments but got 0 | 'greet' is defined here @2:7"}},
      {"$battery = 2;", {"1:1-1:9 [line 0] External property 'battery' not settable"}},
      {"$x = $speed;\nuse $speed;",
       {"1:6-1:12 The 'speed' property was not declared with a 'use' statement"
        " | 'use $speed;' comes only later, here @2:5"}},
      {"print $speed;",
       {"1:7-1:13 The 'speed' property was not declared with a 'use' statement"
        " | declare it first with 'use $speed;'"}},
      {"$größe = 1;\n$x = \"é\" + $grösse;",
       {"2:12-2:19 [line 0] Variable 'grösse' used before it was declared | did you mean "
        "'größe'?"}},
      {"if true {\n  print 1;",
       {"2:11-2:11 [end] Statements must be conditionals, loops, "
        "assignments, or calls | the block opened here @1:9"}},
      {"$x = (1 +\n 2;",
       {"2:3-2:4 [line 2] Expect ')' after expression"
        " | the parenthesis opened here @1:6"}},
      {"print 1;\nprint \"abc",
       {"2:6-2:6 [end] Expect expression", "2:7-2:11 [line 2] Unterminated string"}},
  };
  for (const auto& [source, expected] : cases) {
    EXPECT_EQ(diagnose(source), expected) << source;
  }
}

TEST_F(Diagnostics, RejectedCallSitesSpanTheWholeCall) {
  native("picky").rejection = Error::native("SyntaxError('no')");
  EXPECT_EQ(diagnose("  picky fast (1 + 2) ;"),
            (std::vector<std::string>{"1:3-1:21 SyntaxError('no')"}));
}

// A literal too large for a double would print as `push inf`, which no IR
// reader accepts: it is refused at its line, naming the literal.
TEST_F(Diagnostics, NumberLiteralsThatOverflowAreRefusedAtTheirLine) {
  std::string huge = "1" + std::string(400, '0');
  EXPECT_EQ(diagnose("print 1;\n$x = -" + huge + ".5;"),
            (std::vector<std::string>{"2:6-2:410 [line 2] Number literal '-" + huge +
                                      ".5' is too large"}));
}

// The main code sees a property from its `use` on; group bodies see every
// `use` of the program.
TEST_F(Diagnostics, UseDeclaresPropertiesForTheCodeAfterItAndForGroups) {
  EXPECT_EQ(
      listing("group g { $a = $speed; }\n$b = 1;\nuse $speed;\n$c = $speed;\n"),
      "jump 5\ng:\nget \"speed\"\nstore 0\nreturn\npush 1\nstore 0\nget \"speed\"\nstore 1\n");
}

// Each instruction records the token it was compiled from: the operator of
// an arithmetic instruction, the name of a call or assignment, the keyword
// of a loop's jumps.
TEST_F(Diagnostics, InstructionsRecordWhereTheyCameFrom) {
  auto ops = compiler.compile_nonconsuming("$i = 0;\nwhile $i < 2 {\n  $i += 1;\n  print |$i|;\n}");
  ASSERT_TRUE(ops);
  std::vector<std::string> places;
  for (const Op& op : ops->ops()) {
    places.push_back(std::string(mnemonic(op.kind)) + " " +
                     place(op.position.line, op.position.column));
  }
  EXPECT_EQ(places, (std::vector<std::string>{"jump 0:0", "push 1:6", "store 1:1", "load 2:7",
                                              "push 2:12", "lt 2:10", "jump_unless 2:1", "load 3:3",
                                              "push 3:9", "add 3:3", "store 3:3", "load 4:10",
                                              "abs 4:9", "call 4:3", "jump 2:1"}));
}

TEST(ClosestName, FindsLikelySlipsOnly) {
  const std::vector<std::string_view> names = {"print", "what", "wait", "Speed", "größe", "spend"};
  struct Case {
    std::string_view name;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"pirnt", "print"},      {"prnt", "print"},  {"wiat", "wait"},    {"speed", "Speed"},
      {"grösse", "größe"},     {"spned", "spend"}, {"x", std::nullopt}, {"beep", std::nullopt},
      {"print", std::nullopt},  // the name itself is no suggestion
      {"wat", "wait"},          // one edit from both wait and what: byte order decides
  };
  for (const auto& [name, expected] : cases) {
    EXPECT_EQ(closest_name(name, names), expected) << name;
  }
}

class RunFailures : public CompilerFixture {
 protected:
  // Compiles `source` and steps it until it fails; the failure the
  // interpreter kept, described as "text @line:column" and one line per
  // trace entry, outermost first.
  std::vector<std::string> fail(std::string_view source) {
    auto ops = compiler.compile_nonconsuming(source);
    if (!ops) return {"compile failed: " + ops.error().front().render()};
    Interpreter interpreter = Interpreter::from_program(compiler.package_program(*ops));
    for (int step = 0; step < 20; ++step) {
      auto finished = interpreter.step();
      if (!finished) return describe_failure(interpreter);
      if (*finished) return {"finished"};
    }
    return {"still running"};
  }

  static std::vector<std::string> describe_failure(const Interpreter& interpreter) {
    const std::optional<Failure>& failure = interpreter.last_failure();
    if (!failure) return {"no failure kept"};
    std::vector<std::string> lines{failure->error.render() + " @" +
                                   (failure->address ? std::to_string(*failure->address) : "-") +
                                   " " + place(failure->position.line, failure->position.column)};
    for (const TraceEntry& entry : failure->trace) {
      std::string line =
          "in " + entry.group + " from " + place(entry.position.line, entry.position.column);
      if (entry.branch) line += " branch " + std::to_string(*entry.branch);
      lines.push_back(line);
    }
    return lines;
  }
};

TEST_F(RunFailures, KnowTheirPlaceAndTheGroupCallsThatLedThere) {
  native("wait", completing_at(4));
  EXPECT_EQ(fail("group inner $n {\n  $x = $n + \"a\";\n}\n"
                 "group outer $n {\n  wait;\n  inner $n;\n}\n"
                 "parallel {\n  wait;\n  outer 2;\n}\n"),
            (std::vector<std::string>{"Right operand must be a string @4 2:11",
                                      "in outer from 10:3 branch 1", "in inner from 6:3"}));
  EXPECT_EQ(fail("group __end { $y = - \"x\"; }\n$x = 1;\n"),
            (std::vector<std::string>{"Only numbers can be negated @3 1:20", "in __end from 0:0"}));
}

// A native learns which call it serves while it is generated, polled or
// terminated, in a race's branches as well; a property, and a host between
// steps, learn of none.
TEST_F(RunFailures, NativesKnowTheCallTheyServe) {
  const Interpreter* running = nullptr;
  EventNote call_site = [&running] {
    std::optional<CallSite> site = running->current_call();
    if (!site) return std::string("at no call");
    return "at call " + running->ops()[site->address].name + " " +
           place(site->position.line, site->position.column);
  };
  native("wait", completing_at(2)).note = call_site;
  native("hold", completing_at(100)).note = call_site;
  prop("speed").note = call_site;
  auto ops = compiler.compile_nonconsuming(
      "use $speed;\nrace {\n  wait;\n  wait;\n}\nwait;\n$x = $speed;\nhold;\n");
  ASSERT_TRUE(ops);
  Interpreter interpreter = Interpreter::from_program(compiler.package_program(*ops));
  running = &interpreter;
  events->clear();
  for (int step = 0; step < 5; ++step) {
    ASSERT_EQ(interpreter.step(), false);
    EXPECT_FALSE(interpreter.current_call());
  }
  ASSERT_TRUE(interpreter.end());
  EXPECT_FALSE(interpreter.current_call());
  EXPECT_EQ(*events, (Events{"generate wait() at call wait 3:3", "call wait#1 at call wait 3:3",
                             "generate wait() at call wait 4:3", "call wait#2 at call wait 4:3",
                             "call wait#1 at call wait 3:3", "drop wait#1",
                             "terminate wait#2 at call wait 4:3", "drop wait#2",
                             "generate wait() at call wait 6:1", "call wait#3 at call wait 6:1",
                             "call wait#3 at call wait 6:1", "drop wait#3", "get speed at no call",
                             "generate hold() at call hold 8:1", "call hold#1 at call hold 8:1",
                             "terminate hold#1 at call hold 8:1", "drop hold#1"}));
}

TEST_F(RunFailures, ValidationFailuresKnowTheirInstruction) {
  Interpreter interpreter(read_program("jump 1\npush 1\nset \"gone\"\n").value());
  ASSERT_FALSE(interpreter.step());
  EXPECT_EQ(describe_failure(interpreter),
            (std::vector<std::string>{"[address 2] 'gone' is not a registered property @2 0:0"}));
  ASSERT_TRUE(
      interpreter.register_property("gone", std::make_unique<RecordingProp>(events, "gone")));
  ASSERT_TRUE(interpreter.reset());
  EXPECT_FALSE(interpreter.last_failure());
}

}  // namespace
}  // namespace zolang::testing
