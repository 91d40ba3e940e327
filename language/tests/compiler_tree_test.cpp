// Compiler tests on hand-built syntax trees: the compiler's own state and
// registration, and trees the parser never builds but a caller of the
// compiler still could.
#include <gtest/gtest.h>

#include <memory>
#include <string_view>
#include <vector>

#include "compiler.hpp"
#include "ir.hpp"
#include "recording_natives.hpp"

namespace zolang {
namespace {

using testing::Events;
using testing::RecordingGenerator;
using testing::RecordingProp;

Token token(TokenType type, std::string_view lexeme) {
  Token made;
  made.ty = type;
  made.lexeme = lexeme;
  return made;
}

Token ident(std::string_view name) {
  Token made = token(TokenType::Ident, name);
  made.literal = Literal::ident(name);
  return made;
}

ExprPtr number(double value) { return Expr::make(Expr::Literal{Literal::number(value)}); }
ExprPtr variable(std::string_view name) { return Expr::make(Expr::Variable{ident(name)}); }

Stmt assign(std::string_view name, ExprPtr value) {
  return Stmt{Stmt::Var{ident(name), std::move(value)}};
}

Stmt call(std::string_view name) {
  return Stmt{Stmt::Exec{Exec{token(TokenType::Word, name), {}}}};
}

Exec exec_with_values(std::string_view name, std::size_t values) {
  Exec exec{token(TokenType::Word, name), {}};
  for (std::size_t i = 0; i < values; ++i) {
    exec.args.push_back(ast::Arg{ast::Arg::Value{number(static_cast<double>(i))}});
  }
  return exec;
}

Stmt parallel(std::vector<Exec> calls) { return Stmt{Stmt::Parallel{std::move(calls), false}}; }

template <typename... Statements>
std::vector<Stmt> program(Statements... statements) {
  std::vector<Stmt> list;
  (list.push_back(std::move(statements)), ...);
  return list;
}

// The program's IR text, or "error: " lines.
std::string listing(const std::expected<Bytecode, std::vector<Error>>& result) {
  if (result) return print_program(*result);
  std::string text;
  for (const Error& error : result.error()) text += "error: " + error.render() + "\n";
  return text;
}

std::vector<std::string> rendered(const std::vector<Error>& errors) {
  std::vector<std::string> texts;
  for (const Error& error : errors) texts.push_back(error.render());
  return texts;
}

TEST(CompilerState, EmptyProgramIsOneJumpPastNothing) {
  Compiler compiler;
  EXPECT_EQ(listing(compiler.compile_nonconsuming({})), "jump 1\n");
}

TEST(CompilerState, AssignmentFollowsTheLeadingJump) {
  Compiler compiler;
  auto ops = compiler.compile_nonconsuming(program(assign("x", number(1))));
  EXPECT_EQ(listing(ops), "jump 1\npush 1\nstore 0\n");
}

TEST(CompilerState, VariablesTakeAddressesInOrderOfFirstDeclaration) {
  Compiler compiler;
  EXPECT_EQ(compiler.declare_var("a"), 0u);
  EXPECT_EQ(compiler.declare_var("b"), 1u);
  EXPECT_EQ(compiler.declare_var("a"), 0u);
}

TEST(CompilerState, DuplicateRegistrationsAreRefusedAndKeepTheFirst) {
  auto events = std::make_shared<Events>();
  Compiler compiler;
  ASSERT_TRUE(
      compiler.register_callable("move", std::make_unique<RecordingGenerator>(events, "a")));
  auto second = std::make_unique<RecordingGenerator>(events, "b");
  second->rejection = Error::native("second");
  auto again = compiler.register_callable("move", std::move(second));
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().render(), "A callable named 'move' is already registered");
  // A property may share a callable's name.
  ASSERT_TRUE(compiler.register_property("move", std::make_unique<RecordingProp>(events, "move")));
  auto prop_again =
      compiler.register_property("move", std::make_unique<RecordingProp>(events, "move"));
  ASSERT_FALSE(prop_again);
  EXPECT_EQ(prop_again.error().render(), "A property named 'move' is already registered");

  // The first generator stays: it accepts the call the second would reject.
  auto ops = compiler.compile_nonconsuming(program(call("move")));
  EXPECT_EQ(listing(ops), "jump 1\ncall \"move\" 0\n");
}

TEST(CompilerState, PackagingMovesTheRegistrationsOut) {
  auto events = std::make_shared<Events>();
  Compiler compiler;
  ASSERT_TRUE(
      compiler.register_callable("beep", std::make_unique<RecordingGenerator>(events, "b")));
  ASSERT_TRUE(compiler.register_property("speed", std::make_unique<RecordingProp>(events, "s")));
  Program package = compiler.package_program({Op::jump(1)});
  EXPECT_EQ(package.ops, std::vector<Op>{Op::jump(1)});
  EXPECT_TRUE(package.callables.contains("beep"));
  EXPECT_TRUE(package.properties.contains("speed"));

  auto ops = compiler.compile_nonconsuming(program(call("beep")));
  ASSERT_FALSE(ops);
  EXPECT_EQ(rendered(ops.error()),
            std::vector<std::string>{"No callable named 'beep' was registered"});
  EXPECT_TRUE(
      compiler.register_callable("beep", std::make_unique<RecordingGenerator>(events, "b")));
}

// A host callback that tries to change the compiler in the middle of a
// compilation: the maps it would alter are being read.
class Meddler final : public CallableGenerator {
 public:
  explicit Meddler(Compiler& compiler) : compiler(compiler) {}
  [[nodiscard]] std::expected<std::unique_ptr<Callable>, Error> generate(
      std::vector<Value>) override {
    return std::unexpected(Error::native("unused"));
  }
  [[nodiscard]] std::expected<void, Error> check_syntax(std::vector<Arg>) override {
    auto registered = compiler.register_callable("late", nullptr);
    if (!registered) outcomes.push_back(registered.error().render());
    auto compiled = compiler.compile_nonconsuming({});
    if (!compiled) outcomes.push_back(compiled.error().front().render());
    // Packaging would hand away the generator that is running right now.
    Program package = compiler.package_program({});
    if (package.callables.empty()) outcomes.push_back("packaged without natives");
    return {};
  }

  Compiler& compiler;
  std::vector<std::string> outcomes;
};

TEST(CompilerState, CompilationCannotBeDisturbedFromItsOwnCallbacks) {
  Compiler compiler;
  auto meddler = std::make_unique<Meddler>(compiler);
  Meddler* seen = meddler.get();
  ASSERT_TRUE(compiler.register_callable("meddle", std::move(meddler)));
  auto ops = compiler.compile_nonconsuming(program(call("meddle")));
  EXPECT_EQ(listing(ops), "jump 1\ncall \"meddle\" 0\n");
  EXPECT_EQ(seen->outcomes,
            (std::vector<std::string>{"Cannot modify compiler state while it's running",
                                      "Cannot modify compiler state while it's running",
                                      "packaged without natives"}));
  // Once the compilation is over, registering works again.
  auto events = std::make_shared<Events>();
  EXPECT_TRUE(
      compiler.register_callable("late", std::make_unique<RecordingGenerator>(events, "l")));
}

TEST(CompilerState, FailedCompilationLeavesNothingForTheNext) {
  Compiler compiler;
  auto failed = compiler.compile_nonconsuming(program(assign("x", variable("y"))));
  ASSERT_FALSE(failed);
  EXPECT_EQ(rendered(failed.error()),
            std::vector<std::string>{"[line 0] Variable 'y' used before it was declared"});
  auto ops = compiler.compile_nonconsuming(program(assign("z", number(2))));
  EXPECT_EQ(listing(ops), "jump 1\npush 2\nstore 0\n");
}

// Trees that only a hand-built caller can produce are refused with an error
// rather than compiled into something that misbehaves at run time.
TEST(CompilerTree, MalformedNodesAreReportedInOrder) {
  Token not_an_ident = token(TokenType::Word, "x");
  std::vector<Stmt> statements;
  statements.push_back(Stmt{Stmt::Use{not_an_ident}});
  statements.push_back(Stmt{Stmt::Var{not_an_ident, number(1)}});
  statements.push_back(
      assign("a", Expr::make(Expr::Binary{number(1), token(TokenType::And, "and"), number(2)})));
  statements.push_back(
      assign("b", Expr::make(Expr::Logical{number(1), token(TokenType::Plus, "+"), number(2)})));
  statements.push_back(
      assign("c", Expr::make(Expr::Unary{token(TokenType::Plus, "+"), number(1)})));
  statements.push_back(assign("d", Expr::make(Expr::Literal{Literal::ident("q")})));
  statements.push_back(assign("e", Expr::make(Expr::Variable{not_an_ident})));
  statements.push_back(Stmt{Stmt::Break{token(TokenType::Break, "break")}});

  Compiler compiler;
  auto ops = compiler.compile_nonconsuming(std::move(statements));
  ASSERT_FALSE(ops);
  EXPECT_EQ(rendered(ops.error()), (std::vector<std::string>{
                                       "[line 0] 'use' statements must only use identifiers",
                                       "[line 0] Invalid variable name",
                                       "[line 0] Invalid binary operator",
                                       "[line 0] Invalid logical operator",
                                       "[line 0] Invalid unary operator",
                                       "[line 0] Invalid literal",
                                       "[line 0] Invalid variable name",
                                       "[line 0] 'break' is not allowed outside of loops",
                                   }));
}

// Synthetic group names stay distinct even when a host's native name contains
// the `/` that marks further call shapes.
TEST(CompilerTree, SyntheticGroupNamesNeverCollide) {
  auto events = std::make_shared<Events>();
  Compiler compiler;
  ASSERT_TRUE(compiler.register_callable("a", std::make_unique<RecordingGenerator>(events, "a")));
  ASSERT_TRUE(
      compiler.register_callable("a/1", std::make_unique<RecordingGenerator>(events, "a/1")));
  std::vector<Stmt> statements;
  statements.push_back(parallel([] {
    std::vector<Exec> calls;
    calls.push_back(exec_with_values("a", 0));
    calls.push_back(exec_with_values("a", 1));
    calls.push_back(exec_with_values("a/1", 0));
    return calls;
  }()));
  auto ops = compiler.compile_nonconsuming(std::move(statements));
  EXPECT_EQ(listing(ops),
            "jump 10\n"
            "#a:\ncall \"a\" 0\nreturn\n"
            "#a/1:\ncall \"a\" 1\nreturn\n"
            "#a/1/0:\ncall \"a/1\" 0\nreturn\n"
            "push 0\ncall_parallel \"#a\" 0 \"#a/1\" 1 \"#a/1/0\" 0\n");
}

TEST(CompilerTree, GroupsNeverRunAsNativeCalls) {
  CompiledGroup group("hello", {});
  EXPECT_FALSE(group.generate({}));
  EXPECT_TRUE(group.check_syntax({}));
}

}  // namespace
}  // namespace zolang
