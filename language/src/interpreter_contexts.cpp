// What the host may see of the running program: its live contexts, where
// each stands and what it waits on. Worked out only when asked, from the
// context tree and the program's line table, so stepping pays nothing.
#include <utility>

#include "interpreter_impl.hpp"

namespace zolang {

std::optional<std::string> Interpreter::Impl::group_of(const ExecutionContext& context) const {
  if (!context.frames.empty()) {
    std::size_t call = context.frames.back().return_index - 1;
    // A plain call or a call for a value: both name the group entered.
    if (call < ops.size() && shape_of(ops.kind(call)) == OperandShape::Call) {
      return ops.name(ops.name_id(call));
    }
  }
  if (context.parent == nullptr) {
    if (state.unlocked().status == RunStatus::Ending) return "__end";
    return std::nullopt;
  }
  // Its parent waits just past the block's call_parallel or call_race.
  std::size_t spawn = context.parent->ip - 1;
  if (spawn < ops.size() && shape_of(ops.kind(spawn)) == OperandShape::CallList &&
      context.branch < ops.calls(spawn).size()) {
    const std::string& branch = ops.name(ops.calls(spawn)[context.branch].name);
    // A wrapper runs one native of its parent's block, in its parent's group.
    if (!branch.starts_with('#')) return branch;
  }
  return group_of(*context.parent);
}

SourcePosition Interpreter::Impl::position_of(const ExecutionContext& context,
                                              std::size_t address) const {
  if (auto call = wrapper_call(context)) return *call;
  if (address < ops.size()) return ops.position(address);
  return {};
}

ContextView Interpreter::Impl::view_of(const ExecutionContext& context) const {
  ContextView view;
  view.id = context.id;
  if (context.parent != nullptr) {
    view.parent = context.parent->id;
    view.branch = context.branch;
  }
  view.group = group_of(context);
  // A native being called now has the ip past its call until it answers,
  // and so does one whose failure ended the step.
  std::optional<std::size_t> in_call;
  if (calling.context == &context) {
    in_call = calling.address;
  } else if (failed_call && failed_call->context == context.id) {
    in_call = failed_call->address;
  }
  std::size_t address = context.ip;
  if (in_call) {
    address = *in_call;
  } else if (!context.children.empty()) {
    address = context.ip - 1;  // the block's call_parallel or call_race
  } else if (!context.callable_id && address > 0 && address <= ops.size() &&
             ops.kind(address - 1) == OpKind::Yield) {
    address -= 1;
  }
  view.address = address;
  view.position = position_of(context, address);
  if ((in_call || context.callable_id.has_value()) && address < ops.size() &&
      ops.kind(address) == OpKind::Call) {
    view.waiting = ops.name(ops.name_id(address));
  }
  if (!context.children.empty()) {
    view.mode = context.mode == WaitMode::Race ? BlockMode::Race : BlockMode::Parallel;
  }
  return view;
}

std::vector<ContextView> Interpreter::Impl::contexts() const {
  std::vector<ContextView> views;
  std::vector<const ExecutionContext*> pending{root.get()};
  for (std::size_t next = 0; next < pending.size(); ++next) {
    const ExecutionContext& context = *pending[next];
    if (!context.alive) continue;
    views.push_back(view_of(context));
    for (const auto& child : context.children) pending.push_back(child.get());
  }
  return views;
}

}  // namespace zolang
