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

// Builds trees by hand, as a caller of the compiler could, including trees
// the parser never builds. Each token's text is appended to the builder's
// own source, so that nodes have places as parsed ones do.
class Builder {
 public:
  ast::TokenRef token(TokenType type, std::string_view text) {
    ast::TokenRef made{index(source.size()), index(text.size()), type};
    source.append(text).append(" ");
    return made;
  }
  ast::TokenRef ident(std::string_view name) {
    return token(TokenType::Ident, "$" + std::string(name));
  }

  ast::Index expr(ast::Expr node) {
    tree.exprs.push_back(node);
    return index(tree.exprs.size() - 1);
  }
  ast::Index number(double value) {
    tree.numbers.push_back(value);
    return expr(ast::Expr::literal(token(TokenType::Num, std::to_string(value)),
                                   index(tree.numbers.size() - 1)));
  }
  ast::Index variable(std::string_view name) { return expr(ast::Expr::variable(ident(name))); }
  ast::Index operation(ast::ExprKind kind, ast::TokenRef op, ast::Index left, ast::Index right) {
    if (kind == ast::ExprKind::Unary) return expr(ast::Expr::unary(op, left));
    return expr(ast::Expr::binary(kind, op, left, right));
  }

  ast::Stmt assign(ast::TokenRef name, ast::Index value) {
    return {.kind = ast::StmtKind::Var, .token = name, .value = value};
  }
  ast::Stmt assign(std::string_view name, ast::Index value) { return assign(ident(name), value); }
  ast::Index exec(std::string_view name, std::size_t values = 0) {
    ast::Call call{.name = token(TokenType::Word, name), .args = {index(tree.args.size()), 0}};
    for (std::size_t i = 0; i < values; ++i, ++call.args.count) {
      tree.args.push_back(ast::Arg::of_value(number(double(i))));
    }
    tree.calls.push_back(call);
    return index(tree.calls.size() - 1);
  }
  ast::Stmt call(std::string_view name) {
    ast::Index made = exec(name);
    return {.kind = ast::StmtKind::Exec, .token = tree.calls[made].name, .value = made};
  }
  // A parallel block of the calls made by `calls`, which must make nothing else.
  template <typename MakeCalls>
  ast::Stmt parallel(MakeCalls calls) {
    ast::Range range{index(tree.calls.size()), 0};
    calls(*this);
    range.count = index(tree.calls.size()) - range.begin;
    return {.kind = ast::StmtKind::Parallel,
            .token = token(TokenType::Parallel, "parallel"),
            .body = range};
  }

  // The tree with these statements as its program; valid while the builder is.
  template <typename... Statements>
  const ast::Tree& program(Statements... statements) {
    tree.program = {index(tree.stmts.size()), index(sizeof...(statements))};
    (tree.stmts.push_back(statements), ...);
    tree.source = source;
    return tree;
  }

 private:
  static ast::Index index(std::size_t value) { return static_cast<ast::Index>(value); }

  std::string source;
  ast::Tree tree;
};

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
  EXPECT_EQ(listing(compiler.compile_nonconsuming(ast::Tree{})), "jump 1\n");
}

TEST(CompilerState, AssignmentFollowsTheLeadingJump) {
  Compiler compiler;
  Builder tree;
  auto ops = compiler.compile_nonconsuming(tree.program(tree.assign("x", tree.number(1))));
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
  Builder tree;
  auto ops = compiler.compile_nonconsuming(tree.program(tree.call("move")));
  EXPECT_EQ(listing(ops), "jump 1\ncall \"move\" 0\n");
}

TEST(CompilerState, PackagingMovesTheRegistrationsOut) {
  auto events = std::make_shared<Events>();
  Compiler compiler;
  ASSERT_TRUE(
      compiler.register_callable("beep", std::make_unique<RecordingGenerator>(events, "b")));
  ASSERT_TRUE(compiler.register_property("speed", std::make_unique<RecordingProp>(events, "s")));
  Program package = compiler.package_program({Op::jump(1)});
  EXPECT_EQ(package.contents().ops, std::vector<Op>{Op::jump(1)});
  EXPECT_TRUE(package.contents().callables.contains("beep"));
  EXPECT_TRUE(package.contents().properties.contains("speed"));

  Builder tree;
  auto ops = compiler.compile_nonconsuming(tree.program(tree.call("beep")));
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
    auto compiled = compiler.compile_nonconsuming(ast::Tree{});
    if (!compiled) outcomes.push_back(compiled.error().front().render());
    // Packaging would hand away the generator that is running right now.
    Program package = compiler.package_program({});
    if (package.contents().callables.empty()) outcomes.push_back("packaged without natives");
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
  Builder tree;
  auto ops = compiler.compile_nonconsuming(tree.program(tree.call("meddle")));
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
  Builder tree;
  auto failed = compiler.compile_nonconsuming(tree.program(tree.assign("x", tree.variable("y"))));
  ASSERT_FALSE(failed);
  EXPECT_EQ(rendered(failed.error()),
            std::vector<std::string>{"[line 0] Variable 'y' used before it was declared"});
  Builder next;
  auto ops = compiler.compile_nonconsuming(next.program(next.assign("z", next.number(2))));
  EXPECT_EQ(listing(ops), "jump 1\npush 2\nstore 0\n");
}

// Trees that only a hand-built caller can produce are refused with an error
// rather than compiled into something that misbehaves at run time.
TEST(CompilerTree, MalformedNodesAreReportedInOrder) {
  using enum ast::ExprKind;
  Builder tree;
  ast::TokenRef not_an_ident = tree.token(TokenType::Word, "x");
  const ast::Tree& statements = tree.program(
      ast::Stmt{.kind = ast::StmtKind::Use, .token = not_an_ident},
      tree.assign(not_an_ident, tree.number(1)),
      tree.assign("a", tree.operation(Binary, tree.token(TokenType::And, "and"), tree.number(1),
                                      tree.number(2))),
      tree.assign("b", tree.operation(Logical, tree.token(TokenType::Plus, "+"), tree.number(1),
                                      tree.number(2))),
      tree.assign("c", tree.operation(Unary, tree.token(TokenType::Plus, "+"), tree.number(1), 0)),
      tree.assign("d", tree.expr(ast::Expr::literal(tree.ident("q")))),
      tree.assign("e", tree.expr(ast::Expr::variable(not_an_ident))),
      ast::Stmt{.kind = ast::StmtKind::Break, .token = tree.token(TokenType::Break, "break")});

  Compiler compiler;
  auto ops = compiler.compile_nonconsuming(statements);
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
  Builder tree;
  ast::Stmt block = tree.parallel([](Builder& calls) {
    calls.exec("a", 0);
    calls.exec("a", 1);
    calls.exec("a/1", 0);
  });
  auto ops = compiler.compile_nonconsuming(tree.program(block));
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
