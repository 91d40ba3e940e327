// Compiler state, registration, variable scopes and program assembly. The
// visitors live in compiler_expr.cpp, compiler_stmt.cpp and compiler_group.cpp.
#include "compiler.hpp"

#include <iterator>

namespace zolang {

std::vector<Arg> compile_time_args(const Exec& exec) {
  std::vector<Arg> args;
  args.reserve(exec.args.size());
  for (const ast::Arg& arg : exec.args) {
    if (const auto* word = std::get_if<ast::Arg::Word>(&arg.node)) {
      args.push_back(Arg::word(std::string(word->word.lexeme)));
    } else {
      args.push_back(Arg::value());
    }
  }
  return args;
}

std::size_t count_values(const Exec& exec) {
  std::size_t count = 0;
  for (const ast::Arg& arg : exec.args) count += arg.is_word() ? 0 : 1;
  return count;
}

const Literal* ident_literal(const Token& name) {
  if (!name.literal || name.literal->kind != Literal::Kind::Ident) return nullptr;
  return &*name.literal;
}

Compiler::Compiler() : scopes(1) {}

std::expected<void, Error> Compiler::register_callable(
    std::string name, std::unique_ptr<CallableGenerator> generator) {
  // The maps are being read while running; a host callback must not alter them.
  if (running) return std::unexpected(Error::compiler_busy());
  if (callables.contains(name)) return std::unexpected(Error::callable_already_registered(name));
  callables.emplace(std::move(name), std::move(generator));
  return {};
}

std::expected<void, Error> Compiler::register_property(std::string name,
                                                       std::unique_ptr<Prop> prop) {
  if (running) return std::unexpected(Error::compiler_busy());
  if (props.contains(name)) return std::unexpected(Error::property_already_registered(name));
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

std::expected<std::vector<Op>, std::vector<Error>> Compiler::compile_nonconsuming(
    std::vector<Stmt> statements) {
  if (running) return std::unexpected(std::vector<Error>{Error::compiler_busy()});
  running = true;
  reset_compilation_state();

  // `use` declarations first, so that group bodies can read the properties a
  // program declares; then groups, so that the main code can call a group
  // defined below it.
  auto is_use = [](const Stmt& s) { return std::holds_alternative<Stmt::Use>(s.node); };
  auto is_group = [](const Stmt& s) { return std::holds_alternative<Stmt::Group>(s.node); };
  for (const Stmt& statement : statements) {
    if (is_use(statement)) statement.accept_mut(*this);
  }
  for (const Stmt& statement : statements) {
    if (is_group(statement)) statement.accept_mut(*this);
  }
  std::vector<Op> main_code = generate_apart([&] {
    for (const Stmt& statement : statements) {
      if (!is_use(statement) && !is_group(statement)) statement.accept_mut(*this);
    }
  });
  std::vector<Op> group_bodies = take_group_bodies();

  // Skips exactly the group bodies; distances count from the jump itself.
  emit(Op::jump(static_cast<std::ptrdiff_t>(group_bodies.size()) + 1));
  append(std::move(group_bodies));
  append(std::move(main_code));

  std::expected<std::vector<Op>, std::vector<Error>> result;
  if (errors.empty()) {
    result = std::exchange(ops, {});
  } else {
    result = std::unexpected(std::exchange(errors, {}));
    ops.clear();
  }
  running = false;
  return result;
}

Program Compiler::package_program(std::vector<Op> program_ops) {
  if (running) return Program{std::move(program_ops), {}, {}};
  return Program{std::move(program_ops), std::exchange(callables, {}), std::exchange(props, {})};
}

void Compiler::reset_compilation_state() {
  ops.clear();
  scopes.assign(1, {});
  errors.clear();
  groups.clear();
  group_order.clear();
  used_props.clear();
  synthetic_shapes.clear();
  loop_depth = 0;
}

std::vector<Op> Compiler::take_group_bodies() {
  std::vector<Op> bodies;
  for (const std::string& name : group_order) {
    std::vector<Op> body = std::exchange(groups.at(name).ops, {});
    bodies.insert(bodies.end(), std::make_move_iterator(body.begin()),
                  std::make_move_iterator(body.end()));
  }
  return bodies;
}

std::vector<Op> Compiler::code_of(const Expr& expression) {
  return generate_apart([&] { expression.accept_mut(*this); });
}

std::vector<Op> Compiler::code_of(const std::vector<Stmt>& statements) {
  return generate_apart([&] {
    for (const Stmt& statement : statements) statement.accept_mut(*this);
  });
}

void Compiler::append(std::vector<Op> code) {
  ops.insert(ops.end(), std::make_move_iterator(code.begin()), std::make_move_iterator(code.end()));
}

}  // namespace zolang
