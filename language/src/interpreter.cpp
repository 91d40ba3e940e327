// The interpreter's construction, the step scheduler with its join rules,
// registration and validation of natives, and ending and resetting a run.
// The instruction loop lives in interpreter_run.cpp.
#include "interpreter.hpp"

#include <algorithm>
#include <new>
#include <optional>
#include <utility>

#include "interpreter_impl.hpp"
#include "package.hpp"

namespace zolang {

[[gnu::tls_model("initial-exec")]] thread_local int Interpreter::Impl::NativeDepth::depth = 0;

Interpreter::Impl::Impl(Bytecode program_code)
    : root(std::make_unique<ExecutionContext>()),  // id 0
      bytecode(std::move(program_code)),
      program(DecodedProgram::decode(ops)) {}

// --- Stepping ---------------------------------------------------------------

std::expected<bool, Error> Interpreter::Impl::step() {
  // The status and the poisoned flag are atomics, so reading them needs no
  // lock: the mutex would cost a host about a fifth of a step over `yield`.
  if (state.is_poisoned()) return std::unexpected(Error::poisoned());
  const RunStatus status = state.unlocked().status;
  if (status == RunStatus::Suspended) [[unlikely]]
    return step_suspended();
  if (status == RunStatus::Fresh) {
    auto valid = validate();
    if (!valid) return std::unexpected(std::move(valid.error()));
  } else if (status == RunStatus::Ending || status == RunStatus::Ended) [[unlikely]] {
    // A request that came while the run was ending is void.
    stop_requested.store(false, std::memory_order_relaxed);
  }
  if (pause_requested.load(std::memory_order_relaxed)) [[unlikely]] {
    if (suspend_on_request()) return false;
  }
  if (state.is_poisoned()) return std::unexpected(Error::poisoned());
  InternalState& internal = state.unlocked();
  // A step after __end failed part-way goes on with __end, pass by pass.
  bool ending = internal.status == RunStatus::Ending;
  if (!ending) internal.status = RunStatus::Running;
  // A request made between steps, then one made during this one.
  if (stop_due()) [[unlikely]]
    return stop_in_steps();
  auto finished = pass_to_finish();
  if (!finished) {
    if (break_on_error && suspend_on_error(finished.error())) [[unlikely]]
      return false;
    return std::unexpected(std::move(finished.error()));
  }
  if (stop_due()) [[unlikely]]
    return stop_in_steps();
  if (!*finished) {
    if (!ending) {
      bool suspended = debugger && debugger->suspension;
      internal.status = suspended ? RunStatus::Suspended : RunStatus::Paused;
    }
    return false;
  }
  if (ending_in_steps) {
    // __end, run in the host's steps, has finished.
    ending_in_steps = false;
    internal.status = RunStatus::Ended;
    return true;
  }
  if (ending) return true;
  if (end_in_steps) return start_end_in_steps();
  auto ended = run_end();
  if (!ended) return std::unexpected(std::move(ended.error()));
  return true;
}

std::expected<bool, Error> Interpreter::Impl::pass_to_finish() {
  auto pass = run_pass();
  if (!pass) return std::unexpected(std::move(pass.error()));
  if (root->alive) return false;
  if (state.lock().is_poisoned()) return std::unexpected(Error::poisoned());
  return true;
}

// One breadth-first pass over the context tree, parents before children.
std::expected<void, Error> Interpreter::Impl::run_pass() {
  queue.clear();
  queue_head = 0;
  queue.push_back(root.get());
  auto drained = drain_queue();
  running = nullptr;
  queue.clear();
  graveyard.clear();
  return drained;
}

std::expected<void, Error> Interpreter::Impl::drain_queue() {
  while (queue_head < queue.size()) {
    ExecutionContext& context = *queue[queue_head++];
    if (!context.alive) continue;
    context.resume_queued = false;
    if (!context.children.empty() || context.mode == WaitMode::Race) {
      auto may_run = join(context);
      if (!may_run) {
        // Ending a decided race failed: at the race's own call_race.
        locate_failure(context, context.ip - 1);
        return std::unexpected(std::move(may_run.error()));
      }
      if (!*may_run) continue;
    }
    context.mode = WaitMode::None;
    running = &context;
    auto outcome = step_with(context);
    if (!outcome) return std::unexpected(std::move(outcome.error()));  // located by step_with
    // All-stop: the contexts after this one take no turn in this step.
    if (*outcome == StepOutcome::Break) [[unlikely]]
      return {};
    if (*outcome != StepOutcome::Yield) {
      if (auto reacted = react(context, *outcome); !reacted) {
        // Ending the race this context decided failed: at its parent's call_race.
        if (context.parent != nullptr) locate_failure(*context.parent, context.parent->ip - 1);
        return reacted;
      }
    }
    // A stop asked for (at a check point, or by a native) ends the pass.
    if (stop_due()) [[unlikely]]
      break;
  }
  return {};
}

// The join rules. Returns whether `context` runs now; if not, its live
// children have been queued.
std::expected<bool, Error> Interpreter::Impl::join(ExecutionContext& context) {
  auto is_finished = [](const auto& child) { return !child->alive; };
  if (context.mode == WaitMode::Race && std::ranges::any_of(context.children, is_finished)) {
    auto ended = end_race(context, false);
    if (!ended) return std::unexpected(std::move(ended.error()));
    for (const auto& loser : context.children) {
      auto terminated = terminate_descendants(*loser);
      if (!terminated) return std::unexpected(std::move(terminated.error()));
    }
    discard_children(context, false);
    push_winner(context);
    return true;
  }
  discard_children(context, true);
  if (context.children.empty()) return true;
  for (const auto& child : context.children) queue.push_back(child.get());
  return false;
}

std::expected<void, Error> Interpreter::Impl::react(ExecutionContext& context,
                                                    StepOutcome outcome) {
  ExecutionContext* parent = context.parent;
  switch (outcome) {
    case StepOutcome::Continue:
    case StepOutcome::Yield:
    case StepOutcome::Break:
      return {};
    case StepOutcome::Spawned:
      for (const auto& child : context.children) queue.push_back(child.get());
      return {};
    case StepOutcome::NativeDone:
      // A wrapper exists to run its one native call; its parent, if racing,
      // learns of the finish at its next visit (the next step).
      if (!context.is_wrapper) return {};
      context.alive = false;
      if (parent == nullptr || parent->mode != WaitMode::Race) return {};
      note_winner(context);
      return end_race(*parent, true);
    case StepOutcome::Finished:
      context.alive = false;
      note_finished(context);
      if (parent == nullptr || parent->mode != WaitMode::Race) return {};
      note_winner(context);
      if (auto ended = end_race(*parent, true); !ended) return ended;
      if (!parent->resume_queued) {
        parent->resume_queued = true;
        queue.push_back(parent);
      }
      return {};
  }
  return {};
}

// Ends the native calls of the children of a decided race, in order. With
// `mark_finished`, the children that had one take no further turn.
std::expected<void, Error> Interpreter::Impl::end_race(ExecutionContext& parent,
                                                       bool mark_finished) {
  for (const auto& child : parent.children) {
    if (!child->callable_id) continue;
    auto terminated = terminate_call(*child);
    if (mark_finished) child->alive = false;
    if (!terminated) return terminated;
  }
  return {};
}

// A losing child is discarded with its whole subtree. Native calls running
// deeper down are terminated as well: left alone they would keep acting on
// the host's behalf with nothing left to poll or stop them.
std::expected<void, Error> Interpreter::Impl::terminate_descendants(ExecutionContext& child) {
  std::vector<ExecutionContext*> pending;
  for (const auto& grandchild : child.children) pending.push_back(grandchild.get());
  for (std::size_t next = 0; next < pending.size(); ++next) {
    ExecutionContext& context = *pending[next];
    if (context.callable_id) {
      auto terminated = terminate_call(context);
      if (!terminated) return terminated;
    }
    for (const auto& descendant : context.children) pending.push_back(descendant.get());
  }
  return {};
}

// Removes the context's native call from the active calls, terminating it if
// the context still runs.
std::expected<void, Error> Interpreter::Impl::terminate_call(ExecutionContext& context) {
  std::optional<std::uint32_t> id = std::exchange(context.callable_id, std::nullopt);
  if (!id) return {};
  auto found = active_callables.find(*id);
  if (found == active_callables.end()) return {};
  std::unique_ptr<Callable> callable = std::move(found->second);
  active_callables.erase(found);
  if (!context.alive) return {};
  // A call in progress keeps the context's ip on its instruction.
  NativeCallScope calling_native(*this, context, context.ip);
  return callable->terminate();
}

// Discards the parent's children (only the finished ones when
// `finished_only`). The work queue may still point into a discarded subtree,
// so each is marked finished throughout and kept until the step ends.
void Interpreter::Impl::discard_children(ExecutionContext& parent, bool finished_only) {
  auto& children = parent.children;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < children.size(); ++i) {
    if (finished_only && children[i]->alive) {
      if (kept != i) children[kept] = std::move(children[i]);
      ++kept;
      continue;
    }
    std::vector<ExecutionContext*> subtree{children[i].get()};
    for (std::size_t next = 0; next < subtree.size(); ++next) {
      subtree[next]->alive = false;
      for (const auto& child : subtree[next]->children) subtree.push_back(child.get());
    }
    graveyard.push_back(std::move(children[i]));
  }
  children.resize(kept);
}

// --- Natives ----------------------------------------------------------------

void Interpreter::Impl::add_callable(std::string name,
                                     std::unique_ptr<CallableGenerator> generator) {
  program.bind_callable(name, generator.get());
  callables.emplace(std::move(name), std::move(generator));
}

void Interpreter::Impl::add_property(std::string name, std::unique_ptr<Prop> property) {
  program.bind_property(name, property.get());
  properties.emplace(std::move(name), std::move(property));
}

std::expected<void, Error> Interpreter::Impl::check_registration_open() {
  auto held = state.lock();
  if (held.is_poisoned()) return std::unexpected(Error::poisoned());
  if (held.state().status != RunStatus::Fresh) return std::unexpected(Error::interpreter_busy());
  return {};
}

// Walks every instruction in order. Only the first problem is reported, but
// the walk goes on so that every set of a registered property asks settable.
std::expected<void, Error> Interpreter::Impl::validate() {
  std::optional<Error> first;
  std::size_t first_address = 0;
  auto record = [&](Error error, std::size_t address) {
    if (first) return;
    first = std::move(error);
    first_address = address;
  };
  auto check_callable = [&](std::uint32_t slot_index, std::size_t address) {
    const NameSlot& slot = program.names[slot_index];
    if (slot.generator == nullptr && slot.label == no_label) {
      record(Error::unknown_callable(std::string(slot.name), address), address);
    }
  };
  for (std::size_t address = 0; address < ops.size(); ++address) {
    const Instr& instr = program.plain[address];
    switch (shape_of(ops.kind(address))) {
      case OperandShape::Name: {
        const NameSlot& slot = program.names[instr.name()];
        if (slot.property == nullptr) {
          record(Error::unknown_property(std::string(slot.name), address), address);
        } else if (instr.code == Code::Get) {
          break;
        } else if (auto settable = slot.property->settable(); !settable) {
          record(std::move(settable.error()), address);
        } else if (!*settable) {
          record(Error::property_not_settable(std::string(slot.name), address), address);
        }
        break;
      }
      case OperandShape::Call:
        check_callable(instr.name(), address);
        break;
      case OperandShape::CallList:
        for (const GroupEntry& entry : program.call_lists[instr.call_list()]) {
          check_callable(entry.slot, address);
        }
        break;
      case OperandShape::None:
      case OperandShape::Slot:
      case OperandShape::Value:
      case OperandShape::Distance:
      case OperandShape::Label:
        break;
    }
  }
  if (!first) return {};
  // Validation runs before any context has stepped: no group call led here.
  failure.place = FailurePlace{0, first_address, ops.position(first_address), {}};
  return std::unexpected(std::move(*first));
}

// Worked out only on the way out of a failed step: the failing context's
// ancestors and frames are still as they were when the step failed.
[[gnu::cold, gnu::noinline]] void Interpreter::Impl::locate_failure(
    const ExecutionContext& context, std::optional<std::size_t> address) {
  FailurePlace place;
  place.context = context.id;
  if (address && *address < ops.size()) {
    place.address = address;
    place.position = ops.position(*address);
  }
  if (state.unlocked().status == RunStatus::Ending) {
    place.trace.push_back(TraceEntry{"__end", std::nullopt, {}, std::nullopt});
  }
  std::vector<const ExecutionContext*> lineage;  // the failing context, then its ancestors
  for (const ExecutionContext* at = &context; at != nullptr; at = at->parent) lineage.push_back(at);
  for (auto each = lineage.rbegin(); each != lineage.rend(); ++each) {
    const ExecutionContext& current = **each;
    if (current.parent != nullptr) place.trace.push_back(branch_entry(current));
    for (const Frame& frame : current.frames) {
      std::size_t call = frame.return_index - 1;
      if (call >= ops.size() || shape_of(ops.kind(call)) != OperandShape::Call) continue;
      place.trace.push_back(
          TraceEntry{ops.name(ops.name_id(call)), call, ops.position(call), std::nullopt});
    }
  }
  if (auto call = wrapper_call(context)) place.position = *call;
  failure.place = std::move(place);
}

TraceEntry Interpreter::Impl::branch_entry(const ExecutionContext& branch) const {
  // Its parent waits just past the block's call_parallel or call_race.
  std::size_t spawn = branch.parent->ip - 1;
  TraceEntry entry{{}, spawn, {}, branch.branch};
  if (spawn < ops.size() && shape_of(ops.kind(spawn)) == OperandShape::CallList &&
      branch.branch < ops.calls(spawn).size()) {
    entry.group = ops.name(ops.calls(spawn)[branch.branch].name);
    SourcePosition call = ops.call_position(spawn, branch.branch);
    entry.position = call.is_known() ? call : ops.position(spawn);
  }
  return entry;
}

std::optional<CallSite> Interpreter::Impl::current_call() const {
  const ExecutionContext* context = calling.context;
  if (context == nullptr) return std::nullopt;
  return CallSite{calling.address, position_of(*context, calling.address), context->id,
                  group_of(*context)};
}

std::optional<SourcePosition> Interpreter::Impl::wrapper_call(
    const ExecutionContext& context) const {
  if (!context.is_wrapper || context.parent == nullptr || !context.frames.empty()) {
    return std::nullopt;
  }
  SourcePosition call = branch_entry(context).position;
  if (!call.is_known()) return std::nullopt;
  return call;
}

[[gnu::cold, gnu::noinline]] void Interpreter::Impl::remember_failure(const Error& error) {
  failure.from_host = false;
  Failure last{error, std::nullopt, {}, {}};
  if (failure.place) {
    last.address = failure.place->address;
    last.position = failure.place->position;
    last.trace = std::move(failure.place->trace);
    failure.place.reset();
  }
  failure.last = std::move(last);
}

// --- Ending and resetting ---------------------------------------------------

std::expected<void, Error> Interpreter::Impl::end() {
  auto terminated = terminate_leaves();
  if (!terminated) return terminated;
  return run_end();
}

std::expected<void, Error> Interpreter::Impl::terminate_leaves() {
  std::vector<ExecutionContext*> pending{root.get()};
  for (std::size_t next = 0; next < pending.size(); ++next) {
    ExecutionContext& context = *pending[next];
    if (!context.children.empty()) {
      for (const auto& child : context.children) pending.push_back(child.get());
      continue;
    }
    if (context.callable_id) {
      auto terminated = terminate_call(context);
      if (!terminated) {
        locate_failure(context, context.ip);  // a call in progress keeps the ip on itself
        return terminated;
      }
    }
  }
  return {};
}

std::expected<void, Error> Interpreter::Impl::run_end() {
  if (state.is_poisoned()) return std::unexpected(Error::poisoned());
  InternalState& internal = state.unlocked();
  internal.status = RunStatus::Ending;
  forget_suspension();
  // This runs __end to completion; a request to stop it is void.
  ending_in_steps = false;
  stop_requested.store(false, std::memory_order_relaxed);
  root = new_context();
  if (auto label = program.label_of("__end")) {
    root->ip = *label;
    for (;;) {
      // Natives that never finish would keep end() polling forever. Each
      // pass polls natives anyway, so it can afford the clock and the host's
      // check every time.
      if (!spend(1, root->ip) || !within_limits(root->ip)) {
        locate_failure(*root, root->ip);
        return std::unexpected(take_failure());
      }
      if (state.is_poisoned()) return std::unexpected(Error::poisoned());
      auto finished = pass_to_finish();
      if (!finished) return std::unexpected(std::move(finished.error()));
      if (*finished) break;
    }
  }
  if (state.is_poisoned()) return std::unexpected(Error::poisoned());
  internal.status = RunStatus::Ended;
  return {};
}

std::expected<void, Error> Interpreter::Impl::reset() {
  {
    auto held = state.lock();
    if (held.is_poisoned()) return std::unexpected(Error::poisoned());
    RunStatus status = held.state().status;
    if (status == RunStatus::Running || status == RunStatus::Ending) {
      return std::unexpected(Error::interpreter_busy());
    }
  }
  active_callables.clear();
  failed_call.reset();
  InternalState& internal = state.unlocked();
  internal.next_callable_id = 0;
  forget_suspension();
  root = new_context();
  ending_in_steps = false;
  stop_requested.store(false, std::memory_order_relaxed);
  recount_memory();
  if (state.is_poisoned()) return std::unexpected(Error::poisoned());
  internal.status = RunStatus::Fresh;
  failure.last.reset();
  return {};
}

// --- Public interface -------------------------------------------------------

Interpreter::Interpreter(std::vector<Op> ops) : Interpreter(Bytecode(ops)) {}

Interpreter::Interpreter(Bytecode program) : impl(std::make_unique<Impl>(std::move(program))) {}

Interpreter Interpreter::from_program(Program program) {
  Package& package = program.contents();
  Interpreter interpreter(std::move(package.ops));
  Impl& impl = *interpreter.impl;
  for (auto& [name, generator] : package.callables) impl.add_callable(name, std::move(generator));
  for (auto& [name, property] : package.properties) impl.add_property(name, std::move(property));
  return interpreter;
}

Interpreter::Interpreter(Interpreter&&) noexcept = default;
Interpreter& Interpreter::operator=(Interpreter&&) noexcept = default;
Interpreter::~Interpreter() = default;

// Memory the system refuses fails the step rather than unwinding through
// the host: allocations made inside the instruction loop are checked where
// they happen, and the few made by the scheduler and by helpers, which keep
// the context's stack in order, land here.
std::expected<bool, Error> Interpreter::step() {
  impl->start_call();
  impl->failed_call.reset();
  std::expected<bool, Error> finished(false);
  try {
    finished = impl->step();
  } catch (const std::bad_alloc&) {
    finished = std::unexpected(impl->out_of_memory());
  }
  if (!finished) impl->remember_failure(finished.error());
  return finished;
}

void Interpreter::set_limits(Limits limits) { impl->set_limits(limits); }
const Limits& Interpreter::limits() const { return impl->limits; }
void Interpreter::set_check_point(CheckPoint check) { impl->check = std::move(check); }

std::expected<void, Error> Interpreter::register_callable(
    std::string name, std::unique_ptr<CallableGenerator> generator) {
  if (auto open = impl->check_registration_open(); !open) return open;
  if (impl->callables.contains(name) || impl->program.label_of(name)) {
    return std::unexpected(Error::callable_already_registered(std::move(name)));
  }
  impl->add_callable(std::move(name), std::move(generator));
  return {};
}

std::expected<void, Error> Interpreter::register_property(std::string name,
                                                          std::unique_ptr<Prop> property) {
  if (auto open = impl->check_registration_open(); !open) return open;
  if (impl->properties.contains(name)) {
    return std::unexpected(Error::property_already_registered(std::move(name)));
  }
  impl->add_property(std::move(name), std::move(property));
  return {};
}

std::expected<void, Error> Interpreter::end() {
  impl->start_call();
  impl->failed_call.reset();
  std::expected<void, Error> ended;
  try {
    ended = impl->end();
  } catch (const std::bad_alloc&) {
    ended = std::unexpected(impl->out_of_memory());
  }
  if (!ended) impl->remember_failure(ended.error());
  return ended;
}
std::expected<void, Error> Interpreter::reset() { return impl->reset(); }

RunStatus Interpreter::status() const { return impl->state.unlocked().status; }
const std::optional<Failure>& Interpreter::last_failure() const { return impl->failure.last; }
std::optional<CallSite> Interpreter::current_call() const { return impl->current_call(); }
std::vector<ContextView> Interpreter::contexts() const { return impl->contexts(); }
bool Interpreter::in_native_call() { return Impl::NativeDepth::any(); }
std::vector<Op> Interpreter::ops() const { return impl->ops.ops(); }
const Bytecode& Interpreter::program() const { return impl->bytecode; }

}  // namespace zolang
