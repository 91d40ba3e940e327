// Statement code generation for use, assignment, if/unless, while/until,
// break, return, yield and call statements. Blocks that a jump must skip are
// generated apart first, so their length is known and nothing is patched
// afterwards, except loop breaks (see resolve_breaks).
#include "compiler.hpp"

namespace zolang {

// use $name: later reads of the property compile to `get`.
void Compiler::visit_use_stmt(const Token& name) {
  const Literal* ident = ident_literal(name);
  if (!ident) {
    record(Error::compile(0, "'use' statements must only use identifiers"));
    return;
  }
  if (props.contains(ident->text)) {
    used_props.emplace(ident->text);
  } else {
    record(Error::property_not_registered(std::string(ident->text)));
  }
}

// $name = e -> code(e) set name   (a registered property, when settable)
//           -> code(e) store a    (a variable, declared by its first assignment)
void Compiler::visit_var_stmt(const Token& name, const Expr& value) {
  value.accept_mut(*this);
  const Literal* ident = ident_literal(name);
  if (!ident) {
    record(Error::compile(0, "Invalid variable name"));
    return;
  }
  std::string_view text = ident->text;
  auto prop = props.find(text);
  if (prop == props.end()) {
    emit(Op::store(declare_var(text)));
    return;
  }
  std::expected<bool, Error> settable = prop->second->settable();
  if (!settable) {
    record(std::move(settable.error()));
  } else if (*settable) {
    emit(Op::set(std::string(text)));
  } else {
    record(Error::compile(0, "External property '" + std::string(text) + "' not settable"));
  }
}

// if c { S1 } else { S2 } -> code(c) [not] jump_unless T+2 code(S1) jump E+1 code(S2)
void Compiler::visit_if_stmt(const Stmt::If& statement) {
  statement.condition->accept_mut(*this);
  if (statement.unless) emit(Op::simple(OpKind::Not));
  std::vector<Op> then_code = code_of(statement.then_branch);
  std::vector<Op> else_code = code_of(statement.else_branch);
  emit(Op::jump_unless(static_cast<std::ptrdiff_t>(then_code.size()) + 2));
  append(std::move(then_code));
  emit(Op::jump(static_cast<std::ptrdiff_t>(else_code.size()) + 1));
  append(std::move(else_code));
}

// while c { S } -> code(c) [not] jump_unless B+2 code(S) jump -(C+B+1)
void Compiler::visit_while_stmt(const Stmt::While& statement) {
  std::vector<Op> condition = generate_apart([&] {
    statement.condition->accept_mut(*this);
    if (statement.until) emit(Op::simple(OpKind::Not));
  });
  ++loop_depth;
  std::vector<Op> body = code_of(statement.body);
  --loop_depth;
  auto condition_length = static_cast<std::ptrdiff_t>(condition.size());
  auto body_length = static_cast<std::ptrdiff_t>(body.size());
  std::size_t body_start = ops.size() + condition.size() + 1;
  append(std::move(condition));
  emit(Op::jump_unless(body_length + 2));
  append(std::move(body));
  emit(Op::jump(-(condition_length + body_length + 1)));
  resolve_breaks(body_start);
}

// Every `jump 0` left in the body is a break of this loop: breaks of inner
// loops were resolved by those loops, and no other jump has distance 0. Each
// lands just after the closing backward jump.
void Compiler::resolve_breaks(std::size_t body_start) {
  std::size_t loop_end = ops.size();
  for (std::size_t index = body_start; index + 1 < loop_end; ++index) {
    Op& op = ops[index];
    if (op.kind == OpKind::Jump && op.distance == 0) {
      op.distance = static_cast<std::ptrdiff_t>(loop_end - index);
    }
  }
}

// break -> jump 0, a placeholder the enclosing loop resolves.
void Compiler::visit_break_stmt(const Token&) {
  // The parser refuses such a break; a hand-built tree could still hold one,
  // and an unresolved `jump 0` would spin forever without yielding.
  if (loop_depth == 0) {
    record(Error::compile(0, "'break' is not allowed outside of loops"));
    return;
  }
  emit(Op::jump(0));
}

void Compiler::visit_return_stmt(const Token&) { emit(Op::simple(OpKind::Return)); }

void Compiler::visit_yield_stmt(const Token&) { emit(Op::simple(OpKind::Yield)); }

// name args -> code(value args, in order) call name n
// A rejected call generates nothing, so its arguments report nothing either.
void Compiler::visit_exec_stmt(const Exec& exec) {
  std::string_view name = exec.name.lexeme;
  CallableGenerator* checker = find_callable(name);
  if (!checker) {
    record(Error::callable_not_registered(std::string(name)));
    return;
  }
  if (std::expected<void, Error> checked = checker->check_syntax(compile_time_args(exec));
      !checked) {
    record(std::move(checked.error()));
    return;
  }
  emit_value_arguments(exec);
  emit(Op::call(std::string(name), count_values(exec)));
}

CallableGenerator* Compiler::find_callable(std::string_view name) {
  if (auto group = groups.find(name); group != groups.end()) return &group->second.group;
  if (auto native = callables.find(name); native != callables.end()) return native->second.get();
  return nullptr;
}

void Compiler::emit_value_arguments(const Exec& exec) {
  for (const ast::Arg& arg : exec.args) {
    if (const auto* value = std::get_if<ast::Arg::Value>(&arg.node)) {
      value->expression->accept_mut(*this);
    }
  }
}

}  // namespace zolang
