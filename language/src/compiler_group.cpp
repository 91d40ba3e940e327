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
#include <span>
#include <string_view>

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
void Compiler::compile_group(const ast::Stmt& group) {
  at_statement(group.token);
  SourcePosition defined_at = here;
  std::string name(tree->text(group.token));
  if (callables.contains(name)) {
    record_at(Error::callable_already_registered(std::move(name)), group.token);
    return;
  }
  scopes.emplace_back();
  ScopeRecorder enclosing_record = std::exchange(recorder, std::move(spare_recorder));
  std::vector<Arg> params;
  std::size_t value_params = 0;
  for (const ast::TokenRef param : tree->params_of(group.other)) {
    if (const std::optional<std::string_view> ident = tree->ident(param)) {
      // Value parameters take slots 0, 1, ... in order.
      recorder.hold(declare_var(*ident));
      params.push_back(Arg::value());
      ++value_params;
    } else {
      params.push_back(Arg::word(std::string(tree->text(param))));
    }
  }
  std::size_t enclosing_loops = std::exchange(loop_depth, 0);
  in_group = true;
  // Compiled into a buffer kept from group to group, then copied out at its
  // final size: one allocation per body instead of one per doubling.
  group_scratch.clear();
  code.swap_code(group_scratch);
  emit_name(OpKind::Label, name);
  compile_statements(group.body);
  // The arguments sit in the group's first slots and `return` leaves the
  // stack as it is: these pops remove them again.
  here = defined_at;
  const std::size_t body_end = code.size();
  for (std::size_t i = 0; i < value_params; ++i) emit(OpKind::Pop);
  emit(OpKind::Return);
  DebugScope scope = recorder.finish(name, scopes.back(), value_params, body_end, code.size());
  code.swap_code(group_scratch);
  loop_depth = enclosing_loops;
  in_group = false;
  spare_recorder = std::exchange(recorder, std::move(enclosing_record));
  scopes.pop_back();
  store_group(std::move(name), std::move(params), CodeBuffer(group_scratch), defined_at,
              std::move(scope));
}

void Compiler::store_group(std::string name, std::vector<Arg> params, CodeBuffer body,
                           SourcePosition defined_at, DebugScope scope) {
  GroupData data{CompiledGroup(name, std::move(params)), std::move(body), defined_at,
                 std::move(scope)};
  auto [slot, inserted] = group_index.try_emplace(std::move(name), groups.size());
  if (inserted) {
    groups.push_back(std::move(data));
  } else {
    groups[slot->second] = std::move(data);
  }
}

// parallel { calls } -> code(values, last call's last value first) call_parallel entries
// race { calls }     -> the same with call_race (call_race_value for a value)
// Any rejected call abandons the whole block: nothing is emitted for it.
void Compiler::compile_parallel(const ast::Stmt& block, OpKind kind) {
  SourcePosition keyword = here;
  const std::span<const ast::Call> calls = tree->calls_of(block.body);
  std::vector<CallEntry> entries;
  entries.reserve(calls.size());
  for (const ast::Call& call : calls) {
    std::optional<CallEntry> entry = parallel_entry(call);
    if (!entry) return;
    entries.push_back(std::move(*entry));
  }
  // Reversed, so the first value of the first call ends on top of the stack.
  for (auto call = calls.rbegin(); call != calls.rend(); ++call) {
    const std::span<const ast::Arg> args = tree->args_of(*call);
    const bool words = passes_words(tree->text(call->name));
    for (auto arg = args.rbegin(); arg != args.rend(); ++arg) {
      if (!arg->is_word()) {
        compile_expression(arg->value);
      } else if (words) {
        at(arg->word);
        emit_value(Value::string(tree->text(arg->word)));
      }
    }
  }
  here = keyword;
  code.at(here);
  code.emit_call_list(kind, entries);
}

std::optional<CallEntry> Compiler::parallel_entry(const ast::Call& call) {
  std::string name(tree->text(call.name));
  std::vector<Arg> args = compile_time_args(*tree, call);
  std::size_t arity = call_arity(call, passes_words(name));
  SourcePosition place = position_of(call.name);
  if (GroupData* group = find_group(name)) {
    if (auto checked = group->group.check_syntax(std::move(args)); !checked) {
      record_rejected_call(std::move(checked.error()), call, group);
      return std::nullopt;
    }
    return CallEntry{std::move(name), arity, place};
  }
  if (auto native = callables.find(name); native != callables.end()) {
    if (auto checked = native->second->check_syntax(args); !checked) {
      record_rejected_call(std::move(checked.error()), call, nullptr);
      return std::nullopt;
    }
    return CallEntry{synthetic_group(name, arity, std::move(args), place), arity, place};
  }
  Error error = Error::callable_not_registered(name);
  suggest(error, name, callable_names());
  record_at(std::move(error), call.name);
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
    while (group_index.contains(group_name)) group_name += "/" + std::to_string(arity);
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
