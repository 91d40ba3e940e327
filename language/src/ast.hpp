// The syntax tree: what the parser builds and the compiler walks. It is flat:
// every node lives in one of a few arrays of its Tree and names its children
// by index, so a parse allocates a handful of growing arrays instead of one
// block per node, and dropping the tree frees them at once. Nodes keep their
// tokens as places in the source text (TokenRef); a tree is valid only while
// that text is alive and unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "token.hpp"

namespace zolang::ast {

// The place of a node in its array, and the offsets and lengths of tokens:
// a tree holds sources of at most max_source bytes (the parser refuses
// longer ones), so every one of them fits in 32 bits.
using Index = std::uint32_t;
inline constexpr std::size_t max_source = std::numeric_limits<Index>::max();

// A token as the tree keeps it: its kind and its place in the source. A token
// the parser made up (the operator of a compound assignment) has length 0
// and no text of its own in the source.
struct TokenRef {
  Index offset = 0;
  Index length = 0;
  TokenType ty = TokenType::Word;

  bool made_up() const { return length == 0; }
};

// Consecutive nodes of one array: a block's statements, a call's arguments,
// a parallel block's calls, a group's parameters.
struct Range {
  Index begin = 0;
  Index count = 0;
};

enum class ExprKind : std::uint8_t {
  Binary,    // arithmetic and comparison; the operator token's kind says which
  Logical,   // and, or, xor
  Unary,     // prefix - and not
  Grouping,  // parentheses, or absolute-value bars when `abs`
  Literal,   // true, false, nil, a number (its value in Tree::numbers) or a string
  Variable,  // a $name read
  // Only as the right-hand side of an assignment, whose value they give:
  Call,  // a call (its node in Tree::calls); the token is its name
  Race,  // a race block (its Parallel node in Tree::stmts); the token is the keyword
};

// 16 bytes, the most numerous node of a tree. Its token is the operator of
// Binary, Logical and Unary, the token of Literal and Variable, and for
// Grouping the whole span from the opener to the closer (its kind the
// opener's). The token's length goes where the kind leaves room; token()
// puts the token together again. Made by the functions below, which know
// where each kind keeps it.
struct Expr {
  Index offset = 0;  // where the token starts
  Index left = 0;    // Binary, Logical: the left operand; Unary, Grouping: the operand
  Index right = 0;   // Binary, Logical: the right operand; a Num literal: its number
  TokenType ty = TokenType::Word;  // the token's kind
  ExprKind kind = ExprKind::Literal;
  bool abs = false;  // a Grouping of absolute-value bars
  // Binary, Logical: the operator's length (operators are at most a few
  // bytes; a longer one, which only a hand-built tree can hold, saturates).
  std::uint8_t operator_length = 0;

  // Binary or Logical; the right operand may be filled in later.
  static Expr binary(ExprKind kind, TokenRef op, Index left, Index right = 0) {
    return Expr{op.offset,
                left,
                right,
                op.ty,
                kind,
                false,
                static_cast<std::uint8_t>(op.length < 255 ? op.length : 255)};
  }
  // The operand may be filled in later (in `left`).
  static Expr unary(TokenRef op, Index operand = 0) {
    return Expr{op.offset, operand, op.length, op.ty, ExprKind::Unary};
  }
  static Expr grouping(TokenRef span, bool abs, Index inner) {
    return Expr{span.offset, inner, span.length, span.ty, ExprKind::Grouping, abs};
  }
  // A Num literal's value is numbers[number].
  static Expr literal(TokenRef token, Index number = 0) {
    return Expr{token.offset, token.length, number, token.ty, ExprKind::Literal};
  }
  static Expr variable(TokenRef name) {
    return Expr{name.offset, 0, name.length, name.ty, ExprKind::Variable};
  }
  // The call is tree.calls[call]; its name is the token.
  static Expr call(TokenRef name, Index call) {
    return Expr{name.offset, call, name.length, name.ty, ExprKind::Call};
  }
  // The block is tree.stmts[block], a Parallel that races.
  static Expr race(TokenRef keyword, Index block) {
    return Expr{keyword.offset, block, keyword.length, keyword.ty, ExprKind::Race};
  }

  TokenRef token() const {
    switch (kind) {
      case ExprKind::Binary:
      case ExprKind::Logical:
        return TokenRef{offset, operator_length, ty};
      case ExprKind::Literal:
        return TokenRef{offset, left, ty};
      case ExprKind::Unary:
      case ExprKind::Grouping:
      case ExprKind::Variable:
      case ExprKind::Call:
      case ExprKind::Race:
        return TokenRef{offset, right, ty};
    }
    return TokenRef{offset, 0, ty};
  }
};
static_assert(sizeof(Expr) == 16);

// One argument of a call: a bare word (its token's kind is Word) known at
// compile time, or an expression.
struct Arg {
  TokenRef word = {};
  Index value = 0;

  static Arg of_word(TokenRef word) { return Arg{.word = word}; }
  // An expression: the word slot holds a kind no word has.
  static Arg of_value(Index value) { return Arg{.word = {.ty = TokenType::Num}, .value = value}; }

  bool is_word() const { return word.ty == TokenType::Word; }
};

// One call: its name token, its arguments in source order, and the offset
// just past its last argument (past its name when it has none): with the
// name's offset, the call's span for diagnostics.
struct Call {
  TokenRef name = {};
  Range args = {};
  Index end = 0;
};

enum class StmtKind : std::uint8_t {
  Group,     // group name params { body }; each param is a Word or an Ident token
  Use,       // use $name;
  If,        // if/unless; an else-if chain is an else branch of one If
  While,     // while/until
  Exec,      // a call statement
  Parallel,  // parallel { calls } or race { calls }
  Var,       // $name = value; compound assignments arrive desugared into a Binary
  Return,
  Yield,
  Break,
  ReturnValue,  // return value; (in a group): the keyword, and `value` the expression
};

// `token` is the name of Group, Use, Var and Exec (the call's name), and the
// keyword of the others. `negated` makes an If an unless, a While an until
// and a Parallel a race.
struct Stmt {
  StmtKind kind = StmtKind::Return;
  bool negated = false;
  TokenRef token = {};
  Index value = 0;   // If, While: the condition; Var, ReturnValue: the value; Exec: its call
  Range body = {};   // Group, While: the body; If: the then branch; Parallel: the calls
  Range other = {};  // Group: the parameters; If: the else branch
};

// A parsed program: its nodes, its source, and its top-level statements.
struct Tree {
  std::string_view source;
  std::vector<Expr> exprs;
  std::vector<Stmt> stmts;
  std::vector<Call> calls;
  std::vector<Arg> args;
  std::vector<TokenRef> params;
  std::vector<double> numbers;
  Range program = {};

  // The token's text: its source, or the operator a made-up token stands for.
  std::string_view text(TokenRef token) const;
  // The name a $name token stands for, without its `$` (a lone `$` names
  // ""); none for any other kind of token.
  std::optional<std::string_view> ident(TokenRef token) const;
  // The contents of a Str token, without its quotes.
  std::string_view string(TokenRef token) const {
    return source.substr(token.offset + 1, token.length - 2);
  }

  std::span<const Stmt> statements(Range range) const { return slice(stmts, range); }
  std::span<const Call> calls_of(Range range) const { return slice(calls, range); }
  std::span<const Arg> args_of(const Call& call) const { return slice(args, call.args); }
  std::span<const TokenRef> params_of(Range range) const { return slice(params, range); }

 private:
  template <typename T>
  static std::span<const T> slice(const std::vector<T>& nodes, Range range) {
    return std::span<const T>(nodes).subspan(range.begin, range.count);
  }
};

}  // namespace zolang::ast
