// Expression code generation: every expression leaves exactly one value on top
// of the stack and nothing below it changed. No constant folding is done.
#include <cmath>
#include <optional>

#include "compiler.hpp"

namespace zolang {

namespace {

std::optional<OpKind> binary_instruction(TokenType type) {
  switch (type) {
    case TokenType::Minus:
      return OpKind::Sub;
    case TokenType::Plus:
      return OpKind::Add;
    case TokenType::Slash:
      return OpKind::Div;
    case TokenType::Star:
      return OpKind::Mul;
    case TokenType::Percent:
      return OpKind::Mod;
    case TokenType::Caret:
      return OpKind::Exp;
    case TokenType::BangEqual:
      return OpKind::Ne;
    case TokenType::EqualEqual:
      return OpKind::Eq;
    case TokenType::Greater:
      return OpKind::Gt;
    case TokenType::GreaterEqual:
      return OpKind::Ge;
    case TokenType::Less:
      return OpKind::Lt;
    case TokenType::LessEqual:
      return OpKind::Le;
    default:
      return std::nullopt;
  }
}

// The left operand of a Binary or Logical node; null for other nodes.
const Expr* left_operand(const Expr& expression) {
  if (const auto* binary = std::get_if<Expr::Binary>(&expression.node)) return binary->left.get();
  if (const auto* logical = std::get_if<Expr::Logical>(&expression.node)) {
    return logical->left.get();
  }
  return nullptr;
}

}  // namespace

void Compiler::compile_expression(const Expr& expression) {
  // This chain's operator nodes go on top of `chains`, outermost first; the
  // right operands compiled below push and pop chains of their own above it.
  const std::size_t bottom = chains.size();
  const Expr* leftmost = &expression;
  while (const Expr* left = left_operand(*leftmost)) {
    chains.push_back(leftmost);
    leftmost = left;
  }
  visiting = leftmost;
  leftmost->accept_mut(*this);
  for (std::size_t index = chains.size(); index-- > bottom;) {
    const Expr& node = *chains[index];
    if (const auto* binary = std::get_if<Expr::Binary>(&node.node)) {
      finish_binary(binary->op, *binary->right);
    } else {
      const auto& logical = std::get<Expr::Logical>(node.node);
      finish_logical(logical.op, *logical.right);
    }
    chains.pop_back();
  }
}

// left op right -> code(left) code(right) <op>
void Compiler::visit_binary_expr(const Expr& left, const Token& op, const Expr& right) {
  compile_expression(left);
  finish_binary(op, right);
}

void Compiler::finish_binary(const Token& op, const Expr& right) {
  compile_expression(right);
  at(op);
  if (std::optional<OpKind> kind = binary_instruction(op.ty)) {
    emit(*kind);
  } else {
    record_at(Error::compile(0, "Invalid binary operator"), op);
  }
}

// ( e ) -> code(e);  | e | -> code(e) abs
void Compiler::visit_grouping_expr(const Expr& expression, bool abs) {
  // The bars' place, taken before the inner expression moves `visiting` on.
  SourcePosition bars;
  const auto* grouping = visiting ? std::get_if<Expr::Grouping>(&visiting->node) : nullptr;
  if (abs && grouping != nullptr && locator && grouping->length != 0) {
    bars = locator->position(grouping->offset);
  }
  compile_expression(expression);
  if (abs) {
    here = bars.is_known() ? bars : statement_here;
    emit(OpKind::Abs);
  }
}

void Compiler::visit_literal_expr(const Literal& value) {
  const auto* node = visiting ? std::get_if<Expr::Literal>(&visiting->node) : nullptr;
  std::size_t offset = node ? node->offset : 0;
  std::size_t length = node ? node->length : 0;
  SourcePosition written = locator && length != 0 ? locator->position(offset) : SourcePosition{};
  here = written.is_known() ? written : statement_here;
  switch (value.kind) {
    case Literal::Kind::Number:
      // Only finite numbers have an IR text that reads back; a literal of
      // hundreds of digits rounds to infinity.
      if (!std::isfinite(value.number_value)) {
        std::string text;
        if (written.is_known()) {
          text = locator->source().substr(offset, length);
        } else {
          Value::number(value.number_value).append_display(text);
        }
        record_at(Error::compile(here.line, "Number literal '" + text + "' is too large"),
                  span_between(offset, offset + length));
        return;
      }
      code.at(here);
      code.emit_number(value.number_value);
      return;
    case Literal::Kind::String:
      emit_value(Value::string(value.text));
      return;
    case Literal::Kind::Bool:
      emit_value(Value::boolean(value.bool_value));
      return;
    case Literal::Kind::Nil:
      emit_value(Value::nil());
      return;
    case Literal::Kind::Ident:
      break;  // the parser turns names into Variable nodes
  }
  record_at(Error::compile(0, "Invalid literal"), span_between(offset, offset + length));
}

// left and right -> code(left) dup jump_unless N+2 code(right) and
// left or right  -> code(left) dup jump_if N+2 code(right) or
// left xor right -> code(left) code(right) xor
// A short-circuited jump consumes the duplicate and leaves the left value as
// the result.
void Compiler::visit_logical_expr(const Expr& left, const Token& op, const Expr& right) {
  compile_expression(left);
  finish_logical(op, right);
}

void Compiler::finish_logical(const Token& op, const Expr& right) {
  if (op.ty == TokenType::And || op.ty == TokenType::Or) {
    at(op);
    emit(OpKind::Dup);
    std::size_t skip_right =
        emit_jump(op.ty == TokenType::And ? OpKind::JumpUnless : OpKind::JumpIf);
    compile_expression(right);
    at(op);
    emit(op.ty == TokenType::And ? OpKind::And : OpKind::Or);
    land_here(skip_right);
    return;
  }
  compile_expression(right);
  at(op);
  if (op.ty == TokenType::Xor) {
    emit(OpKind::Xor);
  } else {
    record_at(Error::compile(0, "Invalid logical operator"), op);
  }
}

// -e -> code(e) neg;  not e -> code(e) not
void Compiler::visit_unary_expr(const Token& op, const Expr& right) {
  compile_expression(right);
  at(op);
  switch (op.ty) {
    case TokenType::Minus:
      emit(OpKind::Neg);
      return;
    case TokenType::Not:
      emit(OpKind::Not);
      return;
    default:
      record_at(Error::compile(0, "Invalid unary operator"), op);
  }
}

// A registered property wins over a variable of the same name; a read never
// declares a variable.
void Compiler::visit_variable_expr(const Token& name) {
  at(name);
  const Literal* ident = ident_literal(name);
  if (!ident) {
    record_at(Error::compile(0, "Invalid variable name"), name);
    return;
  }
  std::string_view text = ident->text;
  if (props.contains(text)) {
    if (used_props.contains(text)) {
      emit_name(OpKind::Get, text);
    } else {
      record_at(undeclared_property(text), name);
    }
    return;
  }
  const NameMap<std::size_t>& scope = scopes.back();
  if (auto found = scope.find(text); found != scope.end()) {
    emit_slot(OpKind::Load, found->second);
    return;
  }
  Error error =
      Error::compile(0, "Variable '" + std::string(text) + "' used before it was declared");
  suggest(error, text, variable_names());
  record_at(std::move(error), name);
}

// The note says where the `use` is when the program has one further on.
Error Compiler::undeclared_property(std::string_view name) {
  Error error = Error::property_not_declared(std::string(name));
  if (auto use = declared_uses.find(name); use != declared_uses.end()) {
    error.notes.push_back(
        Note{"'use $" + std::string(name) + ";' comes only later, here", use->second});
  } else {
    error.notes.push_back(Note{"declare it first with 'use $" + std::string(name) + ";'", {}});
  }
  return error;
}

}  // namespace zolang
