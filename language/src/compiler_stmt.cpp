// Statement code generation for use, assignment, if/unless, while/until,
// break, return, yield and call statements. Code is appended in place: a
// jump forward is emitted before the code it skips and patched once that is
// compiled (land_here).
#include <algorithm>
#include <optional>
#include <string_view>

#include "compiler.hpp"

namespace zolang {

void Compiler::compile_statements(ast::Range statements) {
  recorder.open_block();
  for (const ast::Stmt& statement : tree->statements(statements)) compile_statement(statement);
  recorder.close_block(code.size());
}

void Compiler::compile_statement(const ast::Stmt& statement) {
  switch (statement.kind) {
    case ast::StmtKind::Group:
      compile_group(statement);
      return;
    case ast::StmtKind::Use:
      compile_use(statement.token);
      return;
    case ast::StmtKind::If:
      compile_if(statement);
      return;
    case ast::StmtKind::While:
      compile_while(statement);
      return;
    case ast::StmtKind::Exec:
      compile_exec(tree->calls[statement.value]);
      return;
    case ast::StmtKind::Parallel:
      at_statement(statement.token);
      compile_parallel(statement, statement.negated ? OpKind::CallRace : OpKind::CallParallel);
      return;
    case ast::StmtKind::Var:
      compile_var(statement.token, statement.value);
      return;
    case ast::StmtKind::Return:
      at_statement(statement.token);
      emit(OpKind::Return);
      return;
    case ast::StmtKind::Yield:
      at_statement(statement.token);
      emit(OpKind::Yield);
      return;
    case ast::StmtKind::Break:
      compile_break(statement.token);
      return;
    case ast::StmtKind::ReturnValue:
      compile_return_value(statement);
      return;
  }
}

// return e -> code(e) return_value   (in a group body only)
void Compiler::compile_return_value(const ast::Stmt& statement) {
  at_statement(statement.token);
  if (!in_group) {
    record_at(Error::compile(0,
                             "Only a group can return a value; the main program ends with a "
                             "bare 'return;'"),
              statement.token);
    return;
  }
  compile_expression(statement.value);
  here = statement_here;
  emit(OpKind::ReturnValue);
}

// use $name: reads of the property compiled after it compile to `get`. Its
// errors were recorded by check_use, before any group was compiled.
void Compiler::compile_use(ast::TokenRef name) {
  const std::optional<std::string_view> ident = tree->ident(name);
  if (ident && props.contains(*ident)) used_props.emplace(*ident);
}

// Checks a `use` and declares its property for every group body.
void Compiler::check_use(ast::TokenRef name) {
  const std::optional<std::string_view> ident = tree->ident(name);
  if (!ident) {
    record_at(Error::compile(0, "'use' statements must only use identifiers"), name);
    return;
  }
  if (props.contains(*ident)) {
    used_props.emplace(*ident);
    declared_uses.try_emplace(std::string(*ident), position_of(name));
    return;
  }
  Error error = Error::property_not_registered(std::string(*ident));
  std::vector<std::string_view> registered;
  for (const auto& [property, prop] : props) registered.push_back(property);
  suggest(error, *ident, registered);
  record_at(std::move(error), name);
}

// $name = e -> code(e) set name   (a registered property, when settable)
//           -> code(e) store a    (a variable, declared by its first assignment)
void Compiler::compile_var(ast::TokenRef name, ast::Index value) {
  at_statement(name);
  compile_expression(value);
  here = statement_here;
  const std::optional<std::string_view> ident = tree->ident(name);
  if (!ident) {
    record_at(Error::compile(0, "Invalid variable name"), name);
    return;
  }
  const std::string_view text = *ident;
  auto prop = may_be_property(text) ? props.find(text) : props.end();
  if (prop == props.end()) {
    const std::size_t slot = declare_var(text);
    emit_slot(OpKind::Store, slot);
    recorder.stored(slot, code.size());
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
void Compiler::compile_if(const ast::Stmt& statement) {
  at_statement(statement.token);
  SourcePosition keyword = here;
  compile_expression(statement.value);
  here = keyword;
  if (statement.negated) emit(OpKind::Not);
  std::size_t skip_then = emit_jump(OpKind::JumpUnless);
  compile_statements(statement.body);
  here = keyword;
  code.note_quiet();
  std::size_t skip_else = emit_jump(OpKind::Jump);
  land_here(skip_then);
  compile_statements(statement.other);
  land_here(skip_else);
}

// while c { S } -> code(c) [not] jump_unless B+2 code(S) jump -(C+B+1)
// Each break in S lands just after the closing backward jump.
void Compiler::compile_while(const ast::Stmt& statement) {
  at_statement(statement.token);
  SourcePosition keyword = here;
  std::size_t condition_start = code.size();
  compile_expression(statement.value);
  here = keyword;
  if (statement.negated) emit(OpKind::Not);
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
void Compiler::compile_break(ast::TokenRef keyword) {
  at_statement(keyword);
  // The parser refuses such a break; a hand-built tree could still hold one,
  // and an unresolved `jump 0` would spin forever without yielding.
  if (loop_depth == 0) {
    record_at(Error::compile(0, "'break' is not allowed outside of loops"), keyword);
    return;
  }
  breaks.push_back(emit_jump(OpKind::Jump));
}

// name args -> code(value args, in order) call name n
void Compiler::compile_exec(const ast::Call& call) {
  at_statement(call.name);
  compile_call(call, OpKind::Call);
}

// A rejected call generates nothing, so its arguments report nothing either.
// A native that takes its words at run time gets them pushed as strings, in
// their places among the values.
void Compiler::compile_call(const ast::Call& call, OpKind kind) {
  const SourcePosition call_place = here;
  std::string_view name = tree->text(call.name);
  CallableGenerator* checker = find_callable(name);
  if (!checker) {
    Error error = Error::callable_not_registered(std::string(name));
    suggest(error, name, callable_names());
    record_at(std::move(error), call.name);
    return;
  }
  if (std::expected<void, Error> checked = checker->check_syntax(compile_time_args(*tree, call));
      !checked) {
    record_rejected_call(std::move(checked.error()), call, find_group(name));
    return;
  }
  const bool words = checker->words_at_run_time();
  emit_arguments(call, words);
  here = call_place;
  code.at(here);
  code.emit_call(name, call_arity(call, words), kind);
}

// The span covers the whole call, name and arguments: a check refuses the
// call's shape, not one token of it.
void Compiler::record_rejected_call(Error error, const ast::Call& call, const GroupData* group) {
  if (group != nullptr && group->defined_at.is_known()) {
    error.notes.push_back(Note{"'" + group->group.name + "' is defined here", group->defined_at});
  }
  const std::size_t start = call.name.offset;
  SourceSpan whole = span_between(start, std::max<std::size_t>(call.end, start + call.name.length));
  record_at(std::move(error), whole.is_known() ? whole : span_of(call.name));
}

// A group never takes a native's name (compile_group refuses it, and natives
// cannot be registered mid-compile), so the order of the two lookups is free:
// the natives, few and often called, are asked first, sparing most native
// calls a miss in the program's many groups.
CallableGenerator* Compiler::find_callable(std::string_view name) {
  if (auto native = callables.find(name); native != callables.end()) return native->second.get();
  if (GroupData* group = find_group(name)) return &group->group;
  return nullptr;
}

GroupData* Compiler::find_group(std::string_view name) {
  auto found = group_index.find(name);
  return found == group_index.end() ? nullptr : &groups[found->second];
}

void Compiler::emit_arguments(const ast::Call& call, bool words) {
  for (const ast::Arg& arg : tree->args_of(call)) {
    if (!arg.is_word()) {
      compile_expression(arg.value);
    } else if (words) {
      at(arg.word);
      emit_value(Value::string(tree->text(arg.word)));
    }
  }
}

bool Compiler::passes_words(std::string_view name) const {
  auto native = callables.find(name);
  return native != callables.end() && native->second->words_at_run_time();
}

}  // namespace zolang
