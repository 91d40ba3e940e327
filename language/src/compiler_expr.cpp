// Expression code generation: every expression leaves exactly one value on top
// of the stack and nothing below it changed. No constant folding is done.
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

}  // namespace

// left op right -> code(left) code(right) <op>
void Compiler::visit_binary_expr(const Expr& left, const Token& op, const Expr& right) {
  left.accept_mut(*this);
  right.accept_mut(*this);
  if (std::optional<OpKind> kind = binary_instruction(op.ty)) {
    emit(Op::simple(*kind));
  } else {
    record(Error::compile(0, "Invalid binary operator"));
  }
}

// ( e ) -> code(e);  | e | -> code(e) abs
void Compiler::visit_grouping_expr(const Expr& expression, bool abs) {
  expression.accept_mut(*this);
  if (abs) emit(Op::simple(OpKind::Abs));
}

void Compiler::visit_literal_expr(const Literal& value) {
  switch (value.kind) {
    case Literal::Kind::Number:
      emit(Op::push(Value::number(value.number_value)));
      return;
    case Literal::Kind::String:
      emit(Op::push(Value::string(value.text)));
      return;
    case Literal::Kind::Bool:
      emit(Op::push(Value::boolean(value.bool_value)));
      return;
    case Literal::Kind::Nil:
      emit(Op::push(Value::nil()));
      return;
    case Literal::Kind::Ident:
      break;  // the parser turns names into Variable nodes
  }
  record(Error::compile(0, "Invalid literal"));
}

// left and right -> code(left) dup jump_unless N+2 code(right) and
// left or right  -> code(left) dup jump_if N+2 code(right) or
// left xor right -> code(left) code(right) xor
// A short-circuited jump consumes the duplicate and leaves the left value as
// the result.
void Compiler::visit_logical_expr(const Expr& left, const Token& op, const Expr& right) {
  left.accept_mut(*this);
  std::vector<Op> right_code = code_of(right);
  auto skip_right = static_cast<std::ptrdiff_t>(right_code.size()) + 2;
  switch (op.ty) {
    case TokenType::And:
      emit(Op::simple(OpKind::Dup));
      emit(Op::jump_unless(skip_right));
      append(std::move(right_code));
      emit(Op::simple(OpKind::And));
      return;
    case TokenType::Or:
      emit(Op::simple(OpKind::Dup));
      emit(Op::jump_if(skip_right));
      append(std::move(right_code));
      emit(Op::simple(OpKind::Or));
      return;
    case TokenType::Xor:
      append(std::move(right_code));
      emit(Op::simple(OpKind::Xor));
      return;
    default:
      record(Error::compile(0, "Invalid logical operator"));
  }
}

// -e -> code(e) neg;  not e -> code(e) not
void Compiler::visit_unary_expr(const Token& op, const Expr& right) {
  right.accept_mut(*this);
  switch (op.ty) {
    case TokenType::Minus:
      emit(Op::simple(OpKind::Neg));
      return;
    case TokenType::Not:
      emit(Op::simple(OpKind::Not));
      return;
    default:
      record(Error::compile(0, "Invalid unary operator"));
  }
}

// A registered property wins over a variable of the same name; a read never
// declares a variable.
void Compiler::visit_variable_expr(const Token& name) {
  const Literal* ident = ident_literal(name);
  if (!ident) {
    record(Error::compile(0, "Invalid variable name"));
    return;
  }
  std::string_view text = ident->text;
  if (props.contains(text)) {
    if (used_props.contains(text)) {
      emit(Op::get(std::string(text)));
    } else {
      record(Error::property_not_declared(std::string(text)));
    }
    return;
  }
  const NameMap<std::size_t>& scope = scopes.back();
  if (auto found = scope.find(text); found != scope.end()) {
    emit(Op::load(found->second));
  } else {
    record(Error::compile(0, "Variable '" + std::string(text) + "' used before it was declared"));
  }
}

}  // namespace zolang
