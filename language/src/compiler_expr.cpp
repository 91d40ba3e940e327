// Expression code generation: every expression leaves exactly one value on top
// of the stack and nothing below it changed. No constant folding is done.
#include <cmath>
#include <optional>
#include <string>

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

bool is_chain_link(const ast::Expr& expression) {
  return expression.kind == ast::ExprKind::Binary || expression.kind == ast::ExprKind::Logical;
}

}  // namespace

void Compiler::compile_expression(ast::Index expression) {
  // This chain's operator nodes go on top of `chains`, outermost first; the
  // right operands compiled below push and pop chains of their own above it.
  const std::size_t bottom = chains.size();
  const ast::Expr* leftmost = &tree->exprs[expression];
  while (is_chain_link(*leftmost)) {
    chains.push_back(leftmost);
    leftmost = &tree->exprs[leftmost->left];
  }
  compile_operand(*leftmost);
  for (std::size_t index = chains.size(); index-- > bottom;) {
    const ast::Expr& node = *chains[index];
    if (node.kind == ast::ExprKind::Binary) {
      finish_binary(node.token(), node.right);
    } else {
      finish_logical(node.token(), node.right);
    }
    chains.pop_back();
  }
}

void Compiler::compile_operand(const ast::Expr& expression) {
  switch (expression.kind) {
    case ast::ExprKind::Grouping:
      compile_grouping(expression);
      return;
    case ast::ExprKind::Literal:
      compile_literal(expression);
      return;
    case ast::ExprKind::Unary:
      compile_unary(expression);
      return;
    case ast::ExprKind::Variable:
      compile_variable(expression.token());
      return;
    case ast::ExprKind::Call:
      compile_call_value(expression);
      return;
    case ast::ExprKind::Race:
      compile_race_value(expression);
      return;
    case ast::ExprKind::Binary:
    case ast::ExprKind::Logical:
      return;  // never here: compile_expression takes chains apart first
  }
}

// left op right -> code(left) code(right) <op>
void Compiler::finish_binary(ast::TokenRef op, ast::Index right) {
  compile_expression(right);
  at(op);
  if (std::optional<OpKind> kind = binary_instruction(op.ty)) {
    emit(*kind);
  } else {
    record_at(Error::compile(0, "Invalid binary operator"), op);
  }
}

// ( e ) -> code(e);  | e | -> code(e) abs
void Compiler::compile_grouping(const ast::Expr& grouping) {
  // The bars' place, taken before the inner expression moves `here` on.
  SourcePosition bars = grouping.abs ? position_of(grouping.token()) : SourcePosition{};
  compile_expression(grouping.left);
  if (grouping.abs) {
    here = bars.is_known() ? bars : statement_here;
    emit(OpKind::Abs);
  }
}

void Compiler::compile_literal(const ast::Expr& literal) {
  const ast::TokenRef token = literal.token();
  SourcePosition written = position_of(token);
  here = written.is_known() ? written : statement_here;
  switch (token.ty) {
    case TokenType::Num: {
      const double number = tree->numbers[literal.right];
      // Only finite numbers have an IR text that reads back; a literal of
      // hundreds of digits rounds to infinity.
      if (!std::isfinite(number)) {
        std::string text;
        if (written.is_known()) {
          text = tree->text(token);
        } else {
          Value::number(number).append_display(text);
        }
        record_at(Error::compile(here.line, "Number literal '" + text + "' is too large"),
                  span_of(token));
        return;
      }
      code.at(here);
      code.emit_number(number);
      return;
    }
    case TokenType::Str:
      emit_value(Value::string(tree->string(token)));
      return;
    case TokenType::True:
    case TokenType::False:
      emit_value(Value::boolean(token.ty == TokenType::True));
      return;
    case TokenType::Nil:
      emit_value(Value::nil());
      return;
    default:
      // The parser makes literals of these kinds only.
      record_at(Error::compile(0, "Invalid literal"), span_of(token));
  }
}

// left and right -> code(left) dup jump_unless N+2 code(right) and
// left or right  -> code(left) dup jump_if N+2 code(right) or
// left xor right -> code(left) code(right) xor
// A short-circuited jump consumes the duplicate and leaves the left value as
// the result.
void Compiler::finish_logical(ast::TokenRef op, ast::Index right) {
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
void Compiler::compile_unary(const ast::Expr& unary) {
  compile_expression(unary.left);
  const ast::TokenRef op = unary.token();
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
void Compiler::compile_variable(ast::TokenRef name) {
  at(name);
  const std::optional<std::string_view> ident = tree->ident(name);
  if (!ident) {
    record_at(Error::compile(0, "Invalid variable name"), name);
    return;
  }
  const std::string_view text = *ident;
  if (may_be_property(text) && props.contains(text)) {
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

// name args -> code(args) call_value name n; checked like a call statement.
void Compiler::compile_call_value(const ast::Expr& call) {
  at(call.token());
  compile_call(tree->calls[call.left], OpKind::CallValue);
}

// race { calls } -> code(values) call_race_value entries
void Compiler::compile_race_value(const ast::Expr& race) {
  at(race.token());
  compile_parallel(tree->stmts[race.left], OpKind::CallRaceValue);
}

}  // namespace zolang
