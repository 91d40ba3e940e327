// Statement code generation for use, assignment, if/unless, while/until,
// break, return, yield and call statements. Code is appended in place: a
// jump forward is emitted before the code it skips and patched once that is
// compiled (land_here).
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
    emit_slot(OpKind::Store, declare_var(text));
    return;
  }
  std::expected<bool, Error> settable = prop->second->settable();
  if (!settable) {
    record_at(std::move(settable.error()), name);
  } else if (*settable) {
    emit_name(OpKind::Set, text);
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
  if (statement.unless) emit(OpKind::Not);
  std::size_t skip_then = emit_jump(OpKind::JumpUnless);
  compile_statements(statement.then_branch);
  here = keyword;
  std::size_t skip_else = emit_jump(OpKind::Jump);
  land_here(skip_then);
  compile_statements(statement.else_branch);
  land_here(skip_else);
}

// while c { S } -> code(c) [not] jump_unless B+2 code(S) jump -(C+B+1)
// Each break in S lands just after the closing backward jump.
void Compiler::visit_while_stmt(const Stmt::While& statement) {
  at_statement(statement.keyword);
  SourcePosition keyword = here;
  std::size_t condition_start = code.size();
  compile_expression(*statement.condition);
  here = keyword;
  if (statement.until) emit(OpKind::Not);
  std::size_t exit = emit_jump(OpKind::JumpUnless);
  std::size_t first_break = breaks.size();
  ++loop_depth;
  compile_statements(statement.body);
  --loop_depth;
  here = keyword;
  emit_jump(OpKind::Jump, static_cast<std::ptrdiff_t>(condition_start) -
                              static_cast<std::ptrdiff_t>(code.size()));
  land_here(exit);
  for (std::size_t at = first_break; at < breaks.size(); ++at) land_here(breaks[at]);
  breaks.resize(first_break);
}

// break -> a jump, landed by the enclosing loop.
void Compiler::visit_break_stmt(const Token& keyword) {
  at_statement(keyword);
  // The parser refuses such a break; a hand-built tree could still hold one,
  // and an unresolved `jump 0` would spin forever without yielding.
  if (loop_depth == 0) {
    record_at(Error::compile(0, "'break' is not allowed outside of loops"), keyword);
    return;
  }
  breaks.push_back(emit_jump(OpKind::Jump));
}

void Compiler::visit_return_stmt(const Token& keyword) {
  at_statement(keyword);
  emit(OpKind::Return);
}

void Compiler::visit_yield_stmt(const Token& keyword) {
  at_statement(keyword);
  emit(OpKind::Yield);
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
  code.at(here);
  code.emit_call(name, count_values(exec));
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
