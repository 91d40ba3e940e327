#include "parser.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <charconv>
#include <random>
#include <string>
#include <vector>

namespace zolang {
namespace {

// Prints a tree as s-expressions so that tests can state whole shapes.
class Printer {
 public:
  explicit Printer(const ast::Tree& tree) : tree(tree) {}

  std::string program() { return list(tree.program); }

 private:
  std::string text(ast::TokenRef token) const { return std::string(tree.text(token)); }

  std::string list(ast::Range range) {
    std::string printed;
    for (const auto& stmt : tree.statements(range)) {
      printed += (printed.empty() ? "" : " ") + print(stmt);
    }
    return printed;
  }
  std::string block(ast::Range range) { return range.count == 0 ? "" : " " + list(range); }

  std::string print(ast::Index index) {
    const ast::Expr& expr = tree.exprs[index];
    switch (expr.kind) {
      case ast::ExprKind::Binary:
      case ast::ExprKind::Logical:
        return "(" + text(expr.token()) + " " + print(expr.left) + " " + print(expr.right) + ")";
      case ast::ExprKind::Grouping:
        return std::string(expr.abs ? "(abs " : "(group ") + print(expr.left) + ")";
      case ast::ExprKind::Unary:
        return "(" + text(expr.token()) + " " + print(expr.left) + ")";
      case ast::ExprKind::Variable:
        return text(expr.token());
      case ast::ExprKind::Literal:
        return literal(expr);
      case ast::ExprKind::Call:
        return call(tree.calls[expr.left]);
      case ast::ExprKind::Race:
        return print(tree.stmts[expr.left]);
    }
    return "?";
  }
  std::string literal(const ast::Expr& expr) {
    switch (expr.token().ty) {
      case TokenType::Num: {
        char buffer[64];
        double number = tree.numbers[expr.right];
        return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, number).ptr);
      }
      case TokenType::Str:
        return "\"" + std::string(tree.string(expr.token())) + "\"";
      default:
        return text(expr.token());  // true, false, nil
    }
  }

  std::string print(const ast::Stmt& s) {
    switch (s.kind) {
      case ast::StmtKind::Group: {
        std::string params;
        for (const auto& param : tree.params_of(s.other)) params += " " + text(param);
        return "(group " + text(s.token) + " (" + params.substr(params.empty() ? 0 : 1) + ")" +
               block(s.body) + ")";
      }
      case ast::StmtKind::Use:
        return "(use " + text(s.token) + ")";
      case ast::StmtKind::If: {
        std::string printed = std::string(s.negated ? "(unless " : "(if ") + print(s.value) +
                              " (then" + block(s.body) + ")";
        if (s.other.count != 0) printed += " (else" + block(s.other) + ")";
        return printed + ")";
      }
      case ast::StmtKind::While:
        return std::string(s.negated ? "(until " : "(while ") + print(s.value) + block(s.body) +
               ")";
      case ast::StmtKind::Exec:
        return call(tree.calls[s.value]);
      case ast::StmtKind::Parallel: {
        std::string printed = s.negated ? "(race" : "(parallel";
        for (const auto& exec : tree.calls_of(s.body)) printed += " " + call(exec);
        return printed + ")";
      }
      case ast::StmtKind::Var:
        return "(set " + text(s.token) + " " + print(s.value) + ")";
      case ast::StmtKind::Return:
        return "(return)";
      case ast::StmtKind::Yield:
        return "(yield)";
      case ast::StmtKind::Break:
        return "(break)";
      case ast::StmtKind::ReturnValue:
        return "(return " + print(s.value) + ")";
    }
    return "?";
  }
  std::string call(const ast::Call& exec) {
    std::string printed = "(call " + text(exec.name);
    for (const auto& arg : tree.args_of(exec)) {
      printed += arg.is_word() ? " '" + text(arg.word) : " " + print(arg.value);
    }
    return printed + ")";
  }

  const ast::Tree& tree;
};

// The program's tree, or every rendered error prefixed by "error: ".
std::string parse_to_text(std::string_view source) {
  auto result = Parser(source).parse();
  if (result) return Printer(*result).program();
  std::string text;
  for (const auto& error : result.error()) text += (text.empty() ? "" : "\n") + error.render();
  return "error: " + text;
}

std::vector<std::string> parse_errors(std::string_view source) {
  auto result = Parser(source).parse();
  std::vector<std::string> rendered;
  if (!result) {
    EXPECT_FALSE(result.error().empty());
    for (const auto& error : result.error()) rendered.push_back(error.render());
  }
  return rendered;
}

struct ShapeCase {
  std::string source;
  std::string tree;
};

void expect_shapes(const std::vector<ShapeCase>& cases, std::string_view prefix = "",
                   std::string_view suffix = "") {
  for (const auto& [source, tree] : cases) {
    std::string text = std::string(prefix) + source + std::string(suffix);
    EXPECT_EQ(parse_to_text(text), tree) << "source: " << text;
  }
}

TEST(ParserExpressions, FollowThePrecedenceLadder) {
  expect_shapes(
      {
          {"$a or $b xor $c and $d", "(set $r (or $a (xor $b (and $c $d))))"},
          {"$a and $b or $c", "(set $r (or (and $a $b) $c))"},
          {"$a xor $b xor $c", "(set $r (xor (xor $a $b) $c))"},
          {"$a < $b < $c", "(set $r (< (< $a $b) $c))"},
          {"$a == $b != $c", "(set $r (!= (== $a $b) $c))"},
          {"$a == $b < $c", "(set $r (== $a (< $b $c)))"},
          {"$a >= 1 + 2", "(set $r (>= $a (+ 1 2)))"},
          {"1 - 2 - 3", "(set $r (- (- 1 2) 3))"},
          {"1 + 2 * 3", "(set $r (+ 1 (* 2 3)))"},
          {"8 / 4 % 3 * 2", "(set $r (* (% (/ 8 4) 3) 2))"},
          {"2 ^ 3 ^ 2", "(set $r (^ (^ 2 3) 2))"},
          {"2 * 3 ^ 2", "(set $r (* 2 (^ 3 2)))"},
          {"not $a == $b", "(set $r (== (not $a) $b))"},
          {"- $a ^ 2", "(set $r (^ (- $a) 2))"},
          {"-2 ^ 2", "(set $r (^ -2 2))"},
          {"not not $x", "(set $r (not (not $x)))"},
          {"- -$x", "(set $r (- (- $x)))"},
          {"(1 + 2) * 3", "(set $r (* (group (+ 1 2)) 3))"},
          {"|$a - $b|", "(set $r (abs (- $a $b)))"},
          {"|$a| + |$b|", "(set $r (+ (abs $a) (abs $b)))"},
          {"|$a + |$b||", "(set $r (abs (+ $a (abs $b))))"},
          {"||$a||", "(set $r (abs (abs $a)))"},
          {"true and false or nil", "(set $r (or (and true false) nil))"},
          {"'s' + \"t\"", "(set $r (+ \"s\" \"t\"))"},
      },
      "$r = ", ";");
}

TEST(ParserExpressions, ParseArgumentsByJuxtaposition) {
  expect_shapes({
      {"move 1 - 2;", "(call move (- 1 2))"},
      {"move 1 -2;", "(call move 1 -2)"},
      {"say hello ($x + 1);", "(call say 'hello (group (+ $x 1)))"},
      {"say;", "(call say)"},
      {"say not $a and $b left;", "(call say (and (not $a) $b) 'left)"},
      {"turn left 90 right;", "(call turn 'left 90 'right)"},
      {"say |$a| |$b|;", "(call say (abs $a) (abs $b))"},
  });
}

TEST(ParserStatements, TakeCallsAndRacesOnlyAsAWholeRightHandSide) {
  expect_shapes({
      {"$t = measure \"t1\";", "(set $t (call measure \"t1\"))"},
      {"$n += count parts;", "(set $n (+ $n (call count 'parts)))"},
      {"$p = place_part 3 on tray;", "(set $p (call place_part 3 'on 'tray))"},
      {"$e = stamp;", "(set $e (call stamp))"},
      {"$f = race { move 4 metres; wait 3 seconds; };",
       "(set $f (race (call move 4 'metres) (call wait 3 'seconds)))"},
      {"$f -= race { };", "(set $f (- $f (race)))"},
      {"group g { return $a + 1; return; }", "(group g () (return (+ $a 1)) (return))"},
      {"return -1;", "(return -1)"},
      {"$x = a; $y = 2;", "(set $x (call a)) (set $y 2)"},
  });
}

TEST(ParserStatements, BuildEveryForm) {
  expect_shapes({
      {"", ""},
      {"  # only a comment\n\t", ""},
      {"use $speed;", "(use $speed)"},
      {"group g { }", "(group g ())"},
      {"group g a $b { say $b; return; }", "(group g (a $b) (call say $b) (return))"},
      {"if $a { }", "(if $a (then))"},
      {"unless $a { yield; } else { say 1; }", "(unless $a (then (yield)) (else (call say 1)))"},
      {"if $a { } else if $b { } else { say; }",
       "(if $a (then) (else (if $b (then) (else (call say)))))"},
      {"if $a { } else unless $b { }", "(if $a (then) (else (unless $b (then))))"},
      {"while $a { while $b { } break; }", "(while $a (while $b) (break))"},
      {"until $a { if $b { break; } }", "(until $a (if $b (then (break))))"},
      {"parallel { a 1; b; }", "(parallel (call a 1) (call b))"},
      {"race { a; }", "(race (call a))"},
      {"parallel { }", "(parallel)"},
      {"while $a { race { a; } }", "(while $a (race (call a)))"},
      {"$x = 1;", "(set $x 1)"},
      {"$x += 1;", "(set $x (+ $x 1))"},
      {"$x *= 1 + 2;", "(set $x (* $x (+ 1 2)))"},
      {"$x -= 1; $x /= 2; $x %= 3; $x ^= 4;",
       "(set $x (- $x 1)) (set $x (/ $x 2)) (set $x (% $x 3)) (set $x (^ $x 4))"},
      {"$x = 1; say $x; yield; return;", "(set $x 1) (call say $x) (yield) (return)"},
  });
}

// The compiler relies on these details of the nodes, beyond their shape.
TEST(ParserStatements, KeepTokensAndMakeUpCompoundOperators) {
  const std::string source = "$x += 2;\nsay 'hi';";
  auto program = Parser(source).parse();
  ASSERT_TRUE(program);
  auto items = program->statements(program->program);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(program->text(items[0].token), "$x");
  EXPECT_EQ(program->ident(items[0].token), "x");
  const ast::Expr& sum = program->exprs[items[0].value];
  EXPECT_EQ(sum.token().ty, TokenType::Plus);
  EXPECT_TRUE(sum.token().made_up());
  EXPECT_EQ(program->text(sum.token()), "+");
  EXPECT_EQ(program->exprs[sum.left].offset, 0u);
  const ast::Call& say = program->calls[items[1].value];
  EXPECT_EQ(say.name.offset, 9u);
  EXPECT_EQ(say.end, 17u);  // just past 'hi'
  EXPECT_EQ(program->string(program->exprs[program->args_of(say)[0].value].token()), "hi");
}

// A text too long for the tree's 32-bit places is refused before any of it
// is read (the view below is mostly not memory at all).
TEST(ParserStatements, RefuseATextTooLongForTheTree) {
  const char text[] = "say 1;";
  auto program = Parser(std::string_view(text, ast::max_source + 1)).parse();
  ASSERT_FALSE(program);
  EXPECT_EQ(program.error().front().render(),
            "[end] Source text too long (limit 4294967295 bytes)");
}

TEST(ParserStatements, AcceptsALexerMovedIn) {
  Lexer lexer("say 1;");
  ASSERT_TRUE(lexer.peek());  // a token already peeked travels with it
  auto program = Parser(std::move(lexer)).parse();
  ASSERT_TRUE(program);
  EXPECT_EQ(Printer(*program).program(), "(call say 1)");
}

struct ErrorCase {
  std::string source;
  std::vector<std::string> errors;
};

void expect_errors(const std::vector<ErrorCase>& cases) {
  for (const auto& [source, errors] : cases) {
    EXPECT_EQ(parse_errors(source), errors) << "source: " << source;
  }
}

TEST(ParserErrors, ReportExpressionErrorsWhereTheyAreFound) {
  expect_errors({
      {"$r = (1 + 2", {"[end] Expect ')' after expression"}},
      {"$r = (1 + 2;", {"[line 1] Expect ')' after expression"}},
      {"$r = 1 +", {"[end] Expect expression"}},
      {"$r = * 2;", {"[line 1] Expect expression"}},
      // A call stands only as a whole right-hand side, never as an operand.
      {"$a = 1 + foo;", {"[line 1] Expect expression"}},
      {"if foo { }", {"[line 1] Expect expression"}},
      {"$a = |1 + 2;", {"[line 1] Expect closing '|' in absolute value expression"}},
      {"$a = |1", {"[end] Expect closing '|' in absolute value expression"}},
      {"$a = sequence;", {"[line 1] Expect expression"}},
      {"say 1 +\n;", {"[line 2] Expect expression"}},
  });
}

TEST(ParserErrors, ReportStatementErrorsVerbatim) {
  const std::string not_statement = "Statements must be conditionals, loops, assignments, or calls";
  expect_errors({
      {"break;", {"[line 1] 'break' is not allowed outside of loops"}},
      {"group g { break; }",
       {"[line 1] 'break' is not allowed outside of loops", "[line 1] " + not_statement}},
      {"while $a { break }", {"[line 1] Expect ';' after 'break'"}},
      {"$x = 1", {"[end] Expect ';' after assignment"}},
      {"$x 5;", {"[line 1] Expected assignment operator"}},
      {"$x", {"[end] Expected assignment operator"}},
      {"$x == 1;", {"[line 1] Expected assignment operator"}},
      {"use speed;", {"[line 1] Expect identifier after 'use'"}},
      {"use", {"[end] Expect identifier after 'use'"}},
      {"use $speed", {"[end] Expect ';' after 'use' statement"}},
      {"group g a $b 3 { }", {"[line 1] Group parameters can only be identifiers or words"}},
      {"group g", {"[end] Group parameters can only be identifiers or words"}},
      {"group 5 { }", {"[line 1] Expect group name after keyword 'group'"}},
      {"group", {"[end] Expect group name after keyword 'group'"}},
      {"if $a { say 1; } else say 2;",
       {"[line 1] Expect '{' or another 'if' statement after 'else'"}},
      {"if $a { } else", {"[end] Expect '{' or another 'if' statement after 'else'"}},
      {"if $a say;", {"[line 1] Expect '{' after condition"}},
      {"until $a", {"[end] Expect '{' after condition"}},
      {"if $a { say 1;", {"[end] " + not_statement}},
      {"}", {"[line 1] " + not_statement}},
      {"else { }", {"[line 1] " + not_statement}},
      {"sequence;", {"[line 1] " + not_statement}},
      {"deadline 5;", {"[line 1] " + not_statement}},
      {"42;", {"[line 1] " + not_statement}},
      {"if $a { use $b; }", {"[line 1] " + not_statement, "[line 1] " + not_statement}},
      {"yield", {"[end] Expect ';' after 'yield'"}},
      {"return foo;", {"[line 1] Expect ';' after 'return'"}},
      {"return }", {"[line 1] Expect ';' after 'return'"}},
      {"return 1", {"[end] Expect ';' after return value"}},
      {"return 1 2;", {"[line 1] Expect ';' after return value"}},
      {"$x = parallel { };",
       {"[line 1] A 'parallel' block has no value; a 'race' block gives its winner"}},
      // The block is read past, so its calls and `}` make no further error.
      {"$x = parallel { wait 1 seconds; };\nsay 1;",
       {"[line 1] A 'parallel' block has no value; a 'race' block gives its winner"}},
      {"$x = parallel { a 1 +", {"[end] Expect expression"}},
      {"$x = race { a; }", {"[end] Expect ';' after assignment"}},
      {"$x = race { a 1 +", {"[end] Expect expression"}},
      {"$x = say 1", {"[end] Expect expression"}},
      {"parallel say;", {"[line 1] Expect '{' after 'parallel' keyword"}},
      {"race", {"[end] Expect '{' after 'parallel' keyword"}},
      {"parallel { a;", {"[end] Expect '}' after parallel block"}},
      {"race {", {"[end] Expect '}' after parallel block"}},
      {"parallel { a 1", {"[end] Expect expression"}},
  });
}

TEST(ParserErrors, PutLexerErrorsAfterParserErrors) {
  expect_errors({
      {"say \"abc", {"[end] Expect expression", "[line 1] Unterminated string"}},
      {"$x = ;\nsay 'abc\n\n",
       {"[line 1] Expect expression", "[end] Expect expression", "[line 4] Unterminated string"}},
      {"say 1;\n'", {"[line 2] Unterminated string"}},
  });
}

TEST(ParserErrors, RecoverAtTheNextStatement) {
  const std::string not_statement = "Statements must be conditionals, loops, assignments, or calls";
  expect_errors({
      // Skips to after the next ';': the last call parses.
      {"say 1; oops = 2; say 3;", {"[line 1] Expect expression"}},
      {"say 1; oops = 2; say = ;", {"[line 1] Expect expression", "[line 1] Expect expression"}},
      {"$x = 1 $y = 2;\n$z 3;",
       {"[line 1] Expect ';' after assignment", "[line 2] Expected assignment operator"}},
      // Stops before a keyword that starts an item.
      {"$x = ) while $a { break; } $y = );",
       {"[line 1] Expect expression", "[line 1] Expect expression"}},
      {"}}} say 1;\n]", {"[line 1] " + not_statement, "[end] Expect expression"}},
      // An error inside a block abandons the whole item; what followed it in
      // the block is parsed at the top level, and its '}' is out of place.
      {"if $a {\n  $x = ;\n  say 1;\n}\nsay 2;",
       {"[line 2] Expect expression", "[line 4] " + not_statement}},
      {"group g {\n  say (;\n  yield;\n}\n",
       {"[line 2] Expect expression", "[line 4] " + not_statement}},
      {"if $a { } else x\nif $b { } else { }\nelse",
       {"[line 1] Expect '{' or another 'if' statement after 'else'", "[line 3] " + not_statement}},
      {"\n\nuse speed; use $s; use",
       {"[line 3] Expect identifier after 'use'", "[end] Expect identifier after 'use'"}},
  });
}

// An error inside a loop must not leave break allowed afterwards.
TEST(ParserErrors, RestoreLoopStateAfterAnError) {
  const std::string not_statement = "Statements must be conditionals, loops, assignments, or calls";
  expect_errors({
      {"while $a { $x = ; } if $b { break; }",
       {"[line 1] Expect expression", "[line 1] " + not_statement,
        "[line 1] 'break' is not allowed outside of loops", "[line 1] " + not_statement}},
      {"while (1 { }\nif $b { break; }",
       {"[line 1] Expect ')' after expression", "[line 2] 'break' is not allowed outside of loops",
        "[line 2] " + not_statement}},
      {"while $a { while $b { say ( } }\nunless $c { break; }",
       {"[line 1] Expect expression", "[line 2] 'break' is not allowed outside of loops",
        "[line 2] " + not_statement}},
  });
}

// The error keeps a self-contained copy of the token it points at.
TEST(ParserErrors, CarryAnOwnedCopyOfTheOffendingToken) {
  std::string source = "say 1;\r\n$x = 'a' 'b';";
  auto result = Parser(source).parse();
  ASSERT_FALSE(result);
  ASSERT_EQ(result.error().size(), 1u);
  const Error& error = result.error()[0];
  EXPECT_EQ(error.kind, ErrorKind::Parse);
  ASSERT_TRUE(error.token);
  EXPECT_EQ(*error.token,
            (OwnedToken{TokenType::Str, 2, "'b'", OwnedLiteral{Literal::Kind::String, "b"}}));
  source.clear();  // the error outlives the text
  EXPECT_EQ(error.render(), "[line 2] Expect ';' after assignment");
}

TEST(ParserErrors, CountLinesAcrossManyErrors) {
  std::string source;
  std::vector<std::string> expected;
  for (int line = 1; line <= 50; ++line) {
    source += (line % 2 ? "say;\n" : "};\n");
    if (line % 2 == 0) {
      expected.push_back("[line " + std::to_string(line) +
                         "] Statements must be conditionals, loops, assignments, or calls");
    }
  }
  source += "say \"x";
  expected.push_back("[end] Expect expression");
  expected.push_back("[line 51] Unterminated string");
  EXPECT_EQ(parse_errors(source), expected);
}

// ---- Nesting limits ---------------------------------------------------------

std::string repeat(std::string_view piece, std::size_t times) {
  std::string text;
  text.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) text += piece;
  return text;
}

const std::string too_deep = "Nesting too deep (limit " + std::to_string(max_nesting) + ")";

struct NestingCase {
  std::string name;
  // Builds a source nested `levels` deep.
  std::string (*build)(std::size_t levels);
};

const std::vector<NestingCase> nesting_cases = {
    {"parentheses",
     [](std::size_t n) { return "$x = " + repeat("(", n) + "1" + repeat(")", n) + ";"; }},
    {"bars", [](std::size_t n) { return "$x = " + repeat("|", n) + "1" + repeat("|", n) + ";"; }},
    {"not", [](std::size_t n) { return "$x = " + repeat("not ", n) + "1;"; }},
    {"minus", [](std::size_t n) { return "say " + repeat("- ", n) + "$a;"; }},
    {"sum in parentheses",
     [](std::size_t n) { return "$x = " + repeat("(1 + ", n) + "1" + repeat(")", n) + ";"; }},
    {"if", [](std::size_t n) { return repeat("if $a { ", n) + repeat("} ", n); }},
    {"while", [](std::size_t n) { return repeat("until $a { ", n) + repeat("} ", n); }},
    {"else if", [](std::size_t n) { return "if $a { }" + repeat(" else if $a { }", n - 1); }},
    {"mixed",
     [](std::size_t n) {
       return repeat("while $a { ", n / 2) + "say " + repeat("(", n - n / 2) + "1" +
              repeat(")", n - n / 2) + ";" + repeat("}", n / 2);
     }},
};

TEST(ParserNesting, AcceptsNestingUpToTheLimit) {
  for (const auto& [name, build] : nesting_cases) {
    EXPECT_TRUE(Parser(build(max_nesting)).parse()) << name;
  }
}

TEST(ParserNesting, RefusesOneLevelMoreAtTheTokenThatExceedsIt) {
  for (const auto& [name, build] : nesting_cases) {
    auto errors = parse_errors(build(max_nesting + 1));
    ASSERT_FALSE(errors.empty()) << name;
    EXPECT_EQ(errors[0], "[line 1] " + too_deep) << name;
  }
}

TEST(ParserNesting, RefusesPathologicalInputWithoutCrashing) {
  for (const auto& [name, build] : nesting_cases) {
    auto errors = parse_errors(build(100'000));
    ASSERT_FALSE(errors.empty()) << name;
    EXPECT_EQ(errors[0], "[line 1] " + too_deep) << name;
  }
  expect_errors({
      {repeat("(", 100'000),
       {"[line 1] Statements must be conditionals, loops, assignments, "
        "or calls"}},
      {"say " + repeat("(", 100'000), {"[line 1] " + too_deep}},
      {"$x = " + repeat("|", 100'000) + ";", {"[line 1] " + too_deep}},
  });
}

TEST(ParserNesting, RecoversAfterRefusingDeepInput) {
  std::string deep = "$x = " + repeat("(", 1000) + "1" + repeat(")", 1000) + ";\n";
  expect_errors({
      {deep + "say (;\n" + deep + "say 1;",
       {"[line 1] " + too_deep, "[line 2] Expect expression", "[line 3] " + too_deep}},
  });
  // The depth count starts afresh after an error: the next item may nest fully.
  auto program = parse_to_text(deep + nesting_cases[0].build(max_nesting));
  EXPECT_EQ(program, "error: [line 1] " + too_deep);
}

// The deepest accepted input of every kind parses, and its tree is destroyed,
// on a thread with a modest stack: far less than the usual 8 MiB.
TEST(ParserNesting, FitsTheDeepestInputInAThreeMegabyteStack) {
  struct Job {
    std::vector<std::string> sources;
    int parsed = 0;
  } job;
  for (const auto& [name, build] : nesting_cases) job.sources.push_back(build(max_nesting));
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, 3 << 20), 0);
  pthread_t thread;
  auto run = [](void* argument) -> void* {
    auto* job = static_cast<Job*>(argument);
    for (const auto& source : job->sources) job->parsed += Parser(source).parse() ? 1 : 0;
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, run, &job), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  EXPECT_EQ(job.parsed, static_cast<int>(nesting_cases.size()));
}

// Operator chains are flat text: the nesting limit does not apply to them,
// whatever their length, and their trees are destroyed without recursion.
TEST(ParserNesting, AcceptsOperatorChainsOfAnyLength) {
  const std::vector<std::string> chains = {
      "$x = 1" + repeat(" + 1", 100'000) + ";",
      "say $a" + repeat(" or $a", 100'000) + ";",
      "say 1" + repeat(" * 2 - 3 < 4 == true and $a xor $b", 20'000) + ";",
      "$x = (" + repeat("1 ^ ", 100'000) + "1);",
  };
  for (const auto& source : chains) EXPECT_TRUE(Parser(source).parse()) << source.substr(0, 40);
}

// Random token soup: no crash, and a failed parse always explains itself.
TEST(ParserRobustness, SurvivesRandomTokenSoup) {
  const std::vector<std::string> pieces = {
      "if ",    "else ",    "while ",    "until ", "unless ",   "break", "yield", "return",
      "group ", "use ",     "parallel ", "race ",  "sequence ", "{",     "}",     "(",
      ")",      "|",        ";",         ";",      "$x ",       "= ",    "+= ",   "- ",
      "-1",     "* ",       "^ ",        "not ",   "and ",      "or ",   "xor ",  "== ",
      "< ",     "say ",     "word ",     "3.5 ",   "'s' ",      "\"t",   "# c\n", "\n",
      "größe ", "1\u0301 ", "!",         "true ",  "nil "};
  std::mt19937 random(20261208);
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  std::uniform_int_distribution<int> length(0, 60);
  int failures = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string source;
    for (int n = length(random); n > 0; --n) source += pieces[pick(random)];
    auto result = Parser(source).parse();
    if (!result) {
      ++failures;
      ASSERT_FALSE(result.error().empty()) << source;
      for (const auto& error : result.error()) EXPECT_FALSE(error.render().empty());
    }
  }
  EXPECT_GT(failures, 0);
}

}  // namespace
}  // namespace zolang
