// The syntax tree: what the parser builds and the compiler walks. Tokens and
// literals in nodes are views into the source text, so a tree is valid only
// while that text is alive and unchanged. Children are owned; nothing is
// shared, and destroying a node destroys its subtree.
#pragma once

#include <memory>
#include <utility>
#include <variant>
#include <vector>

#include "token.hpp"

namespace zolang {

struct Expr;
struct Stmt;
using ExprPtr = std::unique_ptr<Expr>;

template <typename R>
class ExprVisitorMut;
template <typename R>
class StmtVisitorMut;

struct Expr {
  // Destroys the subtree. Operator chains (a + b + c ...) lean left one node
  // per operator and may be as long as the source is, so their left operands
  // are taken apart in a loop rather than by recursion.
  ~Expr();

  // Arithmetic and comparison; the operator token's kind says which.
  struct Binary {
    ExprPtr left;
    Token op;
    ExprPtr right;
  };
  // Parentheses (abs false) or absolute-value bars (abs true).
  // The source offsets, as in Token, are for diagnostics; a node built by
  // hand has none (length 0).
  struct Grouping {
    ExprPtr expression;
    bool abs;
    std::size_t offset = 0;  // the "(" or the first "|"
    std::size_t length = 0;  // up to and including the ")" or the last "|"
  };
  // true, false, nil, a number or a string; never an Ident literal.
  struct Literal {
    zolang::Literal value;
    std::size_t offset = 0;  // the literal as written
    std::size_t length = 0;
  };
  // and, or, xor.
  struct Logical {
    ExprPtr left;
    Token op;
    ExprPtr right;
  };
  // Prefix - and not.
  struct Unary {
    Token op;
    ExprPtr right;
  };
  // A $name read.
  struct Variable {
    Token name;
  };

  std::variant<Binary, Grouping, Literal, Logical, Unary, Variable> node;

  // Built in place: the destructor above leaves Expr without a move
  // constructor, which nothing needs, since nodes live behind their pointers.
  static ExprPtr grouping(ExprPtr expression, bool abs) {
    return ExprPtr(new Expr{Grouping{std::move(expression), abs}});
  }
  template <typename Node>
  static ExprPtr make(Node node) {
    return ExprPtr(new Expr{std::move(node)});
  }

  template <typename R>
  R accept_mut(ExprVisitorMut<R>& visitor) const;
};

namespace ast {

// One argument of a call: an expression, or a bare word known at compile time.
struct Arg {
  struct Value {
    ExprPtr expression;
  };
  struct Word {
    Token word;
  };
  std::variant<Value, Word> node;

  bool is_word() const { return std::holds_alternative<Word>(node); }
};

}  // namespace ast

// One call: its name token and its arguments in source order.
struct Exec {
  Token name;
  std::vector<ast::Arg> args;
  // The byte offset just past the call's last argument (past its name when
  // it has none): with name.offset, the call's span for diagnostics.
  std::size_t end = 0;
};

struct Stmt {
  // group name params { body }; each param is a Word or an Ident.
  struct Group {
    Token name;
    std::vector<Token> params;
    std::vector<Stmt> body;
  };
  // use $name;
  struct Use {
    Token name;
  };
  // if/unless; an else-if chain is an else_branch holding one If.
  struct If {
    ExprPtr condition;
    std::vector<Stmt> then_branch;
    std::vector<Stmt> else_branch;
    bool unless;
    Token keyword = {};  // "if" or "unless", for diagnostics and the line table
  };
  // while/until.
  struct While {
    ExprPtr condition;
    std::vector<Stmt> body;
    bool until;
    Token keyword = {};  // "while" or "until"
  };
  // A call statement.
  struct Exec {
    zolang::Exec exec;
  };
  // parallel { calls } or race { calls }.
  struct Parallel {
    std::vector<zolang::Exec> calls;
    bool race;
    Token keyword = {};  // "parallel" or "race"
  };
  // $name = value; compound assignments arrive desugared into a Binary.
  struct Var {
    Token name;
    ExprPtr value;
  };
  struct Return {
    Token keyword;
  };
  struct Yield {
    Token keyword;
  };
  struct Break {
    Token keyword;
  };

  std::variant<Group, Use, If, While, Exec, Parallel, Var, Return, Yield, Break> node;

  template <typename R>
  R accept_mut(StmtVisitorMut<R>& visitor) const;
};

// A visitor over expressions. Each operation receives one variant's fields;
// accept_mut does not recurse, the visitor decides when to visit children.
template <typename R>
class ExprVisitorMut {
 public:
  virtual ~ExprVisitorMut() = default;
  virtual R visit_binary_expr(const Expr& left, const Token& op, const Expr& right) = 0;
  virtual R visit_grouping_expr(const Expr& expression, bool abs) = 0;
  virtual R visit_literal_expr(const Literal& value) = 0;
  virtual R visit_logical_expr(const Expr& left, const Token& op, const Expr& right) = 0;
  virtual R visit_unary_expr(const Token& op, const Expr& right) = 0;
  virtual R visit_variable_expr(const Token& name) = 0;
};

// A visitor over statements, in the same manner.
template <typename R>
class StmtVisitorMut {
 public:
  virtual ~StmtVisitorMut() = default;
  virtual R visit_group_stmt(const Stmt::Group& group) = 0;
  virtual R visit_use_stmt(const Token& name) = 0;
  virtual R visit_if_stmt(const Stmt::If& statement) = 0;
  virtual R visit_while_stmt(const Stmt::While& statement) = 0;
  virtual R visit_exec_stmt(const zolang::Exec& exec) = 0;
  virtual R visit_parallel_stmt(const Stmt::Parallel& block) = 0;
  virtual R visit_var_stmt(const Token& name, const Expr& value) = 0;
  virtual R visit_return_stmt(const Token& keyword) = 0;
  virtual R visit_yield_stmt(const Token& keyword) = 0;
  virtual R visit_break_stmt(const Token& keyword) = 0;
};

template <typename R>
R Expr::accept_mut(ExprVisitorMut<R>& visitor) const {
  struct Dispatch {
    ExprVisitorMut<R>& visitor;
    R operator()(const Binary& e) { return visitor.visit_binary_expr(*e.left, e.op, *e.right); }
    R operator()(const Grouping& e) { return visitor.visit_grouping_expr(*e.expression, e.abs); }
    R operator()(const Literal& e) { return visitor.visit_literal_expr(e.value); }
    R operator()(const Logical& e) { return visitor.visit_logical_expr(*e.left, e.op, *e.right); }
    R operator()(const Unary& e) { return visitor.visit_unary_expr(e.op, *e.right); }
    R operator()(const Variable& e) { return visitor.visit_variable_expr(e.name); }
  };
  return std::visit(Dispatch{visitor}, node);
}

template <typename R>
R Stmt::accept_mut(StmtVisitorMut<R>& visitor) const {
  struct Dispatch {
    StmtVisitorMut<R>& visitor;
    R operator()(const Group& s) { return visitor.visit_group_stmt(s); }
    R operator()(const Use& s) { return visitor.visit_use_stmt(s.name); }
    R operator()(const If& s) { return visitor.visit_if_stmt(s); }
    R operator()(const While& s) { return visitor.visit_while_stmt(s); }
    R operator()(const Exec& s) { return visitor.visit_exec_stmt(s.exec); }
    R operator()(const Parallel& s) { return visitor.visit_parallel_stmt(s); }
    R operator()(const Var& s) { return visitor.visit_var_stmt(s.name, *s.value); }
    R operator()(const Return& s) { return visitor.visit_return_stmt(s.keyword); }
    R operator()(const Yield& s) { return visitor.visit_yield_stmt(s.keyword); }
    R operator()(const Break& s) { return visitor.visit_break_stmt(s.keyword); }
  };
  return std::visit(Dispatch{visitor}, node);
}

}  // namespace zolang
