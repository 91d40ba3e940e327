// Statement code generation for use, assignment, if/unless, while/until,
// break, return, yield and call statements. Blocks that a jump must skip are
// generated apart first, so their length is known and nothing is patched
// afterwards, except loop breaks (see resolve_breaks).
#include <algorithm>

#include "compiler.hpp"

namespace zolang {

// use $name: reads of the property compiled after it compile to `get`. Its
// errors were recorded by check_use, before any group was compiled.
void Compiler::visit_use_stmt(const Token& name) {
  const Literal* ident = ident_literal(name);
  if (ident && props.contains(ident->text)) used_props.emplace(ident->text);
}

// Checks a `use` and declares its property for every group body.
void Compiler::check_use(const Token& name) {
  const Literal* ident = ident_literal(name);
  if (!ident) {
    record_at(Error::compile(0, "'use' statements must only use identifiers"), name);
    return;
  }
  if (props.contains(ident->text)) {
    used_props.emplace(ident->text);
    declared_uses.try_emplace(std::string(ident->text), position_of(name));
    return;
  }
  Error error = Error::property_not_registered(std::string(ident->text));
  std::vector<std::string_view> registered;
  for (const auto& [property, prop] : props) registered.push_back(property);
  suggest(error, ident->text, registered);
  record_at(std::move(error), name);
}

// $name = e -> code(e) set name   (a registered property, when settable)
//           -> code(e) store a    (a variable, declared by its first assignment)
void Compiler::visit_var_stmt(const Token& name, const Expr& value) {
  at_statement(name);
  compile_expression(value);
  here = statement_here;
  const Literal* ident = ident_literal(name);
  if (!ident) {
    record_at(Error::compile(0, "Invalid variable name"), name);
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
    record_at(std::move(settable.error()), name);
  } else if (*settable) {
    emit(Op::set(std::string(text)));
  } else {
    record_at(Error::compile(0, "External property '" + std::string(text) + "' not settable"),
              name);
  }
}

// if c { S1 } else { S2 } -> code(c) [not] jump_unless T+2 code(S1) jump E+1 code(S2)
// The jumps record the keyword's place, whatever the branches recorded last.
void Compiler::visit_if_stmt(const Stmt::If& statement) {
  at_statement(statement.keyword);
  SourcePosition keyword = here;
  compile_expression(*statement.condition);
  here = keyword;
  if (statement.unless) emit(Op::simple(OpKind::Not));
  std::vector<Op> then_code = code_of(statement.then_branch);
  std::vector<Op> else_code = code_of(statement.else_branch);
  here = keyword;
  emit(Op::jump_unless(static_cast<std::ptrdiff_t>(then_code.size()) + 2));
  append(std::move(then_code));
  emit(Op::jump(static_cast<std::ptrdiff_t>(else_code.size()) + 1));
  append(std::move(else_code));
}

// while c { S } -> code(c) [not] jump_unless B+2 code(S) jump -(C+B+1)
void Compiler::visit_while_stmt(const Stmt::While& statement) {
  at_statement(statement.keyword);
  SourcePosition keyword = here;
  std::vector<Op> condition = generate_apart([&] {
    compile_expression(*statement.condition);
    here = keyword;
    if (statement.until) emit(Op::simple(OpKind::Not));
  });
  ++loop_depth;
  std::vector<Op> body = code_of(statement.body);
  --loop_depth;
  here = keyword;
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
void Compiler::visit_break_stmt(const Token& keyword) {
  at_statement(keyword);
  // The parser refuses such a break; a hand-built tree could still hold one,
  // and an unresolved `jump 0` would spin forever without yielding.
  if (loop_depth == 0) {
    record_at(Error::compile(0, "'break' is not allowed outside of loops"), keyword);
    return;
  }
  emit(Op::jump(0));
}

void Compiler::visit_return_stmt(const Token& keyword) {
  at_statement(keyword);
  emit(Op::simple(OpKind::Return));
}

void Compiler::visit_yield_stmt(const Token& keyword) {
  at_statement(keyword);
  emit(Op::simple(OpKind::Yield));
}

// name args -> code(value args, in order) call name n
// A rejected call generates nothing, so its arguments report nothing either.
void Compiler::visit_exec_stmt(const Exec& exec) {
  at_statement(exec.name);
  std::string_view name = exec.name.lexeme;
  CallableGenerator* checker = find_callable(name);
  if (!checker) {
    Error error = Error::callable_not_registered(std::string(name));
    suggest(error, name, callable_names());
    record_at(std::move(error), exec.name);
    return;
  }
  if (std::expected<void, Error> checked = checker->check_syntax(compile_time_args(exec));
      !checked) {
    auto group = groups.find(name);
    record_rejected_call(std::move(checked.error()), exec,
                         group == groups.end() ? nullptr : &group->second);
    return;
  }
  emit_value_arguments(exec);
  here = statement_here;
  emit(Op::call(std::string(name), count_values(exec)));
}

// The span covers the whole call, name and arguments: a check refuses the
// call's shape, not one token of it.
void Compiler::record_rejected_call(Error error, const Exec& exec, const GroupData* group) {
  if (group != nullptr && group->defined_at.is_known()) {
    error.notes.push_back(Note{"'" + group->group.name + "' is defined here", group->defined_at});
  }
  SourceSpan call =
      span_between(exec.name.offset, std::max(exec.end, exec.name.offset + exec.name.length));
  record_at(std::move(error), call.is_known() ? call : span_of(exec.name));
}

CallableGenerator* Compiler::find_callable(std::string_view name) {
  if (auto group = groups.find(name); group != groups.end()) return &group->second.group;
  if (auto native = callables.find(name); native != callables.end()) return native->second.get();
  return nullptr;
}

void Compiler::emit_value_arguments(const Exec& exec) {
  for (const ast::Arg& arg : exec.args) {
    if (const auto* value = std::get_if<ast::Arg::Value>(&arg.node)) {
      compile_expression(*value->expression);
    }
  }
}

}  // namespace zolang
