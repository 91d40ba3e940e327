// Groups (callables written in Zo) and parallel/race blocks.
//
// Every entry of a call_parallel or call_race names a group. A native call in
// such a block is wrapped in a synthetic group: `label`, `call native N`,
// `return`. Its name starts with `#`, which source text cannot spell (it opens
// a comment). Each native gets one synthetic group per arity it is used with
// in a block, so every block runs the call it was written with: the first
// shape is `#name` and each further one `#name/N` for arity N (a further `/N`
// is added while the name is taken, which only a host's own `/` in a native's
// name can cause).
#include <optional>

#include "compiler.hpp"

namespace zolang {

namespace {

std::string describe_param(const Arg& param) {
  return param.is_word() ? "'" + param.text() + "'" : "a value";
}

}  // namespace

std::expected<std::unique_ptr<Callable>, Error> CompiledGroup::generate(std::vector<Value>) {
  return std::unexpected(Error::runtime("Group '" + name + "' cannot be run as a native call"));
}

std::expected<void, Error> CompiledGroup::check_syntax(std::vector<Arg> args) {
  if (args.size() != params.size()) {
    return std::unexpected(
        Error::group_syntax("Call to '" + name + "' expected " + std::to_string(params.size()) +
                            " arguments but got " + std::to_string(args.size())));
  }
  for (std::size_t position = 0; position < args.size(); ++position) {
    const Arg& param = params[position];
    bool matches =
        param.is_word() ? args[position].matches_word(param.text()) : args[position].is_value();
    if (!matches) {
      return std::unexpected(Error::group_syntax("Argument at position " +
                                                 std::to_string(position) + " should be " +
                                                 describe_param(param)));
    }
  }
  return {};
}

// group name params { body } -> label name, code(body), pop per value param, return
// The group is stored only after its body is compiled, so the body can call
// neither the group itself nor a group defined after it.
void Compiler::visit_group_stmt(const Stmt::Group& group) {
  at_statement(group.name);
  SourcePosition defined_at = here;
  std::string name(group.name.lexeme);
  if (callables.contains(name)) {
    record_at(Error::callable_already_registered(std::move(name)), group.name);
    return;
  }
  scopes.emplace_back();
  std::vector<Arg> params;
  std::size_t value_params = 0;
  for (const Token& param : group.params) {
    if (const Literal* ident = ident_literal(param)) {
      declare_var(ident->text);  // value parameters take slots 0, 1, ... in order
      params.push_back(Arg::value());
      ++value_params;
    } else {
      params.push_back(Arg::word(std::string(param.lexeme)));
    }
  }
  std::size_t enclosing_loops = std::exchange(loop_depth, 0);
  CodeBuffer body;
  code.swap_code(body);
  emit_name(OpKind::Label, name);
  compile_statements(group.body);
  // The arguments sit in the group's first slots and `return` leaves the
  // stack as it is: these pops remove them again.
  here = defined_at;
  for (std::size_t i = 0; i < value_params; ++i) emit(OpKind::Pop);
  emit(OpKind::Return);
  code.swap_code(body);
  loop_depth = enclosing_loops;
  scopes.pop_back();
  store_group(std::move(name), std::move(params), std::move(body), defined_at);
}

void Compiler::store_group(std::string name, std::vector<Arg> params, CodeBuffer body,
                           SourcePosition defined_at) {
  GroupData data{CompiledGroup(name, std::move(params)), std::move(body), defined_at};
  auto [slot, inserted] = groups.insert_or_assign(name, std::move(data));
  if (inserted) group_order.push_back(slot->first);
}

// parallel { calls } -> code(values, last call's last value first) call_parallel entries
// race { calls }     -> the same with call_race
// Any rejected call abandons the whole block: nothing is emitted for it.
void Compiler::visit_parallel_stmt(const Stmt::Parallel& block) {
  at_statement(block.keyword);
  SourcePosition keyword = here;
  std::vector<CallEntry> entries;
  entries.reserve(block.calls.size());
  for (const Exec& exec : block.calls) {
    std::optional<CallEntry> entry = parallel_entry(exec);
    if (!entry) return;
    entries.push_back(std::move(*entry));
  }
  // Reversed, so the first value of the first call ends on top of the stack.
  for (auto call = block.calls.rbegin(); call != block.calls.rend(); ++call) {
    for (auto arg = call->args.rbegin(); arg != call->args.rend(); ++arg) {
      if (const auto* value = std::get_if<ast::Arg::Value>(&arg->node)) {
        compile_expression(*value->expression);
      }
    }
  }
  here = keyword;
  code.at(here);
  code.emit_call_list(block.race ? OpKind::CallRace : OpKind::CallParallel, entries);
}

std::optional<CallEntry> Compiler::parallel_entry(const Exec& exec) {
  std::string name(exec.name.lexeme);
  std::vector<Arg> args = compile_time_args(exec);
  std::size_t arity = count_values(exec);
  SourcePosition call = position_of(exec.name);
  if (auto group = groups.find(name); group != groups.end()) {
    if (auto checked = group->second.group.check_syntax(std::move(args)); !checked) {
      record_rejected_call(std::move(checked.error()), exec, &group->second);
      return std::nullopt;
    }
    return CallEntry{std::move(name), arity, call};
  }
  if (auto native = callables.find(name); native != callables.end()) {
    if (auto checked = native->second->check_syntax(args); !checked) {
      record_rejected_call(std::move(checked.error()), exec, nullptr);
      return std::nullopt;
    }
    return CallEntry{synthetic_group(name, arity, std::move(args), call), arity, call};
  }
  Error error = Error::callable_not_registered(std::move(name));
  suggest(error, exec.name.lexeme, callable_names());
  record_at(std::move(error), exec.name);
  return std::nullopt;
}

// The wrapper's instructions record the place of the call it was made for
// (the last one, when several calls share it).
std::string Compiler::synthetic_group(const std::string& native, std::size_t arity,
                                      std::vector<Arg> args, SourcePosition call) {
  std::vector<std::pair<std::size_t, std::string>>& shapes = synthetic_shapes[native];
  std::string group_name;
  for (const auto& [shape_arity, shape_name] : shapes) {
    if (shape_arity == arity) group_name = shape_name;
  }
  if (group_name.empty()) {
    group_name = "#" + native;
    if (!shapes.empty()) group_name += "/" + std::to_string(arity);
    while (groups.contains(group_name)) group_name += "/" + std::to_string(arity);
    shapes.emplace_back(arity, group_name);
  }
  CodeBuffer body;
  code.swap_code(body);
  code.at(call);
  code.emit_name(OpKind::Label, group_name);
  code.emit_call(native, arity);
  code.emit(OpKind::Return);
  code.swap_code(body);
  store_group(group_name, std::move(args), std::move(body));
  return group_name;
}

}  // namespace zolang
