#include "ast.hpp"

namespace zolang {

namespace {

// Takes the left operand out of a Binary or Logical node; null for others.
ExprPtr take_left_operand(Expr& expr) {
  if (auto* binary = std::get_if<Expr::Binary>(&expr.node)) return std::move(binary->left);
  if (auto* logical = std::get_if<Expr::Logical>(&expr.node)) return std::move(logical->left);
  return nullptr;
}

}  // namespace

Expr::~Expr() {
  // Each node is destroyed with its left operand already taken, so only its
  // right operand (whose depth the parser bounds) is destroyed recursively.
  ExprPtr next = take_left_operand(*this);
  while (next) next = take_left_operand(*next);
}

}  // namespace zolang
