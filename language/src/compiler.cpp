// Compiler state, registration, variable scopes and program assembly. The
// visitors live in compiler_expr.cpp, compiler_stmt.cpp and compiler_group.cpp.
#include "compiler.hpp"

#include <algorithm>

#include "suggest.hpp"

namespace zolang {

std::vector<Arg> compile_time_args(const ast::Tree& tree, const ast::Call& call) {
  std::vector<Arg> args;
  args.reserve(call.args.count);
  for (const ast::Arg& arg : tree.args_of(call)) {
    args.push_back(arg.is_word() ? Arg::word(std::string(tree.text(arg.word))) : Arg::value());
  }
  return args;
}

std::size_t count_values(const ast::Tree& tree, const ast::Call& call) {
  std::size_t count = 0;
  for (const ast::Arg& arg : tree.args_of(call)) count += arg.is_word() ? 0 : 1;
  return count;
}

Compiler::Compiler() : scopes(1) {}

std::expected<void, Error> Compiler::register_callable(
    std::string name, std::unique_ptr<CallableGenerator> generator) {
  // The maps are being read while running; a host callback must not alter them.
  if (running()) return std::unexpected(Error::compiler_busy());
  if (callables.contains(name)) return std::unexpected(Error::callable_already_registered(name));
  callables.emplace(std::move(name), std::move(generator));
  return {};
}

std::expected<void, Error> Compiler::register_property(std::string name,
                                                       std::unique_ptr<Prop> prop) {
  if (running()) return std::unexpected(Error::compiler_busy());
  if (props.contains(name)) return std::unexpected(Error::property_already_registered(name));
  property_shapes |= shape_bit(name);
  props.emplace(std::move(name), std::move(prop));
  return {};
}

std::size_t Compiler::declare_var(std::string_view name) {
  NameMap<std::size_t>& scope = scopes.back();
  if (auto found = scope.find(name); found != scope.end()) return found->second;
  std::size_t address = scope.size();
  scope.emplace(std::string(name), address);
  return address;
}

std::expected<Bytecode, std::vector<Error>> Compiler::compile_nonconsuming(
    const ast::Tree& program) {
  if (running()) return std::unexpected(std::vector<Error>{Error::compiler_busy()});
  reset_compilation_state();
  tree = &program;
  if (!program.source.empty()) locator.emplace(program.source);

  // `use` declarations are checked first, so that group bodies can read every
  // property the program declares; then groups, so that the main code can
  // call a group defined below it. The main code then declares its
  // properties again, one `use` at a time as it meets them.
  const std::span<const ast::Stmt> items = program.statements(program.program);
  std::size_t group_count = 0;
  for (const ast::Stmt& item : items) {
    if (item.kind == ast::StmtKind::Use) check_use(item.token);
    if (item.kind == ast::StmtKind::Group) ++group_count;
  }
  groups.reserve(group_count);
  group_index.reserve(group_count);
  for (const ast::Stmt& item : items) {
    if (item.kind == ast::StmtKind::Group) compile_group(item);
  }
  used_props.clear();
  // Room for the main code, so that it is not copied as it grows: no node
  // compiles to more than three instructions of a few bytes of places each.
  // What a smaller program leaves unused is never touched.
  const std::size_t most = program.exprs.size() + 3 * program.stmts.size() + 16;
  code.reserve(most, 4 * most);
  recorder.open_block();
  for (const ast::Stmt& item : items) {
    if (item.kind != ast::StmtKind::Group) compile_statement(item);
  }
  recorder.close_block(code.size());

  std::expected<Bytecode, std::vector<Error>> result;
  if (errors.empty()) {
    DebugScope main_scope = recorder.finish("", scopes.back(), 0, code.size(), code.size());
    note_declared_properties();
    CodeBuffer main_code;
    code.swap_code(main_code);
    result = assemble(main_code, std::move(main_scope));
  } else {
    result = std::unexpected(std::exchange(errors, {}));
  }
  code = EncodedProgram();
  // The tree and its source text are the caller's, alive only for this call.
  tree = nullptr;
  locator.reset();
  return result;
}

Program Compiler::package_program(Bytecode program) {
  if (running()) return Program(Package{std::move(program), {}, {}});
  property_shapes = 0;
  return Program(
      Package{std::move(program), std::exchange(callables, {}), std::exchange(props, {})});
}

void Compiler::reset_compilation_state() {
  code = EncodedProgram();
  breaks.clear();
  in_group = false;
  scopes.assign(1, {});
  recorder = ScopeRecorder();
  errors.clear();
  groups.clear();
  group_index.clear();
  used_props.clear();
  synthetic_shapes.clear();
  loop_depth = 0;
  locator.reset();
  here = {};
  statement_here = {};
  chains.clear();
  declared_uses.clear();
  suggestions_left = max_suggestions;
}

void Compiler::note_declared_properties() {
  std::vector<std::string> declared;
  for (const auto& [name, place] : declared_uses) declared.push_back(name);
  std::ranges::sort(declared);  // the same record whatever the map's order
  for (std::string& name : declared) code.note_property(std::move(name));
}

Bytecode Compiler::assemble(const CodeBuffer& main_code, DebugScope main_scope) {
  std::size_t bodies = 0;
  // Joining tables re-codes a run or two at each seam, a few bytes more.
  std::size_t line_bytes = main_code.lines.byte_size() + 8 * (groups.size() + 2);
  for (const GroupData& group : groups) {
    bodies += group.body.code.size();
    line_bytes += group.body.lines.byte_size();
  }
  // Skips exactly the group bodies; distances count from the jump itself.
  here = {};
  code.reserve(1 + bodies + main_code.code.size(), line_bytes);
  emit_jump(OpKind::Jump, static_cast<std::ptrdiff_t>(bodies) + 1);
  for (GroupData& group : groups) {
    if (!group.scope.group.empty()) {  // a synthetic group has no record
      group.scope.shift(static_cast<std::uint32_t>(code.size()));
      code.note_scope(std::move(group.scope));
    }
    code.append_code(group.body);
  }
  main_scope.shift(static_cast<std::uint32_t>(code.size()));
  code.note_scope(std::move(main_scope));
  code.append_code(main_code);
  code.set_groups_clean_up();
  code.shrink();
  return Bytecode(std::exchange(code, EncodedProgram()));
}

SourcePosition Compiler::position_of(ast::TokenRef token) {
  if (!locator || token.made_up()) return {};
  return locator->position(token.offset);
}

SourceSpan Compiler::span_of(ast::TokenRef token) {
  // A token made up by the parser has no place of its own.
  if (!locator || token.made_up()) return {};
  return locator->span(token.offset, token.length);
}

SourceSpan Compiler::span_between(std::size_t start, std::size_t end) {
  if (!locator || end <= start) return {};
  return locator->span(start, end - start);
}

void Compiler::at(ast::TokenRef token) {
  SourcePosition position = position_of(token);
  here = position.is_known() ? position : statement_here;
}

void Compiler::at_statement(ast::TokenRef token) {
  statement_here = position_of(token);
  here = statement_here;
}

void Compiler::record_at(Error error, ast::TokenRef token) {
  record_at(std::move(error), span_of(token));
}

void Compiler::record_at(Error error, SourceSpan span) {
  error.span = span;
  record(std::move(error));
}

void Compiler::suggest(Error& error, std::string_view name,
                       const std::vector<std::string_view>& candidates) {
  // A hint helps a person reading the first errors; a generated program
  // with thousands of them gets hints for the first ones only, so that a
  // failing compilation stays fast however many names it could compare.
  if (suggestions_left == 0) return;
  --suggestions_left;
  if (std::optional<std::string> closest = closest_name(name, candidates)) {
    error.notes.push_back(Note{"did you mean '" + *closest + "'?", {}});
  }
}

// Groups the source can call, then the registered natives.
std::vector<std::string_view> Compiler::callable_names() const {
  std::vector<std::string_view> names;
  for (const GroupData& group : groups) {
    if (!group.group.name.starts_with('#')) names.push_back(group.group.name);
  }
  for (const auto& [name, generator] : callables) names.push_back(name);
  return names;
}

// The variables of the innermost scope, then the registered properties.
std::vector<std::string_view> Compiler::variable_names() const {
  std::vector<std::string_view> names;
  for (const auto& [name, address] : scopes.back()) names.push_back(name);
  for (const auto& [name, prop] : props) names.push_back(name);
  return names;
}

}  // namespace zolang
