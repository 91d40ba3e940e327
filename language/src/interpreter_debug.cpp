// Breakpoints, stepping and pausing, and what a suspended program shows.
// A trap replaces the decoded instruction where a line starts; the run loop
// asks trap() what to do when a context reaches one. Nothing here runs while
// no trap is set in the code being run.
#include <algorithm>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "interpreter_impl.hpp"

namespace zolang {

namespace {

// The variables of `scope` that hold their values at `address`, read from a
// frame's slots.
std::vector<std::pair<std::string, Value>> live_variables(const DebugScope& scope,
                                                          std::size_t address,
                                                          std::span<const Value> slots) {
  std::vector<std::pair<std::string, Value>> variables;
  auto show = [&](std::size_t slot) {
    if (slot < slots.size()) variables.emplace_back(scope.variables[slot], slots[slot]);
  };
  // A name given to two parameters names the first one's slot alone.
  const std::size_t parameters = std::min<std::size_t>(scope.parameters, scope.variables.size());
  if (address < scope.body_end) {
    for (std::size_t slot = 0; slot < parameters; ++slot) show(slot);
  }
  for (const LiveRange& range : scope.live) {
    if (range.first <= address && address < range.end) show(range.variable);
  }
  return variables;
}

bool declares(const std::vector<std::string>& properties, std::string_view name) {
  return std::ranges::find(properties, name) != properties.end();
}

}  // namespace

bool Debugger::is_breakpoint(std::size_t address) const {
  return std::ranges::binary_search(breakpoints, address);
}

const DebugScope* Debugger::scope_at(std::size_t address) const {
  auto after = std::ranges::upper_bound(scopes, address, {},
                                        [](const DebugScope* scope) { return scope->first; });
  if (after == scopes.begin()) return nullptr;
  const DebugScope* scope = *std::prev(after);
  return scope->covers(address) ? scope : nullptr;
}

Debugger& Interpreter::Impl::debug_state() {
  if (debugger) return *debugger;
  debugger = std::make_unique<Debugger>();
  Debugger& debug = *debugger;
  for (const DebugScope& scope : ops.scopes()) {
    debug.scopes.push_back(&scope);
    if (scope.group == "__end") debug.ending = &scope;
  }
  std::ranges::sort(debug.scopes, {}, [](const DebugScope* scope) { return scope->first; });
  find_line_starts(debug);
  return debug;
}

// A line starts where an instruction's line differs from the one before it,
// passing over the instructions that start none (a group's label and closing
// instructions, the quiet ones), and afresh in each scope: the code before a
// scope's first instruction never runs into it.
void Interpreter::Impl::find_line_starts(Debugger& debug) const {
  std::vector<SourcePosition> places = ops.positions();
  std::vector<bool> starts_none(places.size(), false);
  for (std::uint32_t address : ops.quiet()) {
    if (address < starts_none.size()) starts_none[address] = true;
  }
  debug.lines.reserve(places.size());
  std::uint32_t previous = 0;
  auto scope = debug.scopes.begin();
  for (std::size_t address = 0; address < places.size(); ++address) {
    std::uint32_t line = places[address].line;
    debug.lines.push_back(line);
    while (scope != debug.scopes.end() && (*scope)->end <= address) ++scope;
    if (scope != debug.scopes.end() && (*scope)->covers(address)) {
      if ((*scope)->first == address) previous = 0;
      if ((*scope)->is_frame_code(address)) continue;
    }
    if (starts_none[address]) continue;
    if (line != 0 && line != previous) debug.line_starts.push_back(address);
    previous = line;
  }
}

void Interpreter::Impl::arm_traps() {
  Debugger& debug = debug_state();
  for (const auto& [address, instr] : debug.replaced) program.code[address] = instr;
  debug.replaced.clear();
  debug.trapped.clear();
  const std::vector<std::size_t>& targets =
      debug.traps_every_line() ? debug.line_starts : debug.breakpoints;
  auto replace = [&](std::size_t address, Instr instr) {
    debug.replaced.try_emplace(address, program.code[address]);
    program.code[address] = instr;
  };
  // A fused form runs the instructions after its first without dispatching
  // them, so one that covers a trap runs as its plain self.
  for (std::size_t target : targets) {
    for (std::size_t back = 1; back <= 3 && back <= target; ++back) {
      std::size_t address = target - back;
      std::optional<FusedFamily> family = fused_family_of(program.code[address].code);
      if (family && static_cast<std::size_t>(fused_skip(*family)) >= back) {
        replace(address, program.plain[address]);
      }
    }
  }
  Instr trap_instr;
  trap_instr.code = Code::Trap;
  for (std::size_t target : targets) {
    debug.trapped.emplace(target, program.code[target]);
    replace(target, trap_instr);
  }
}

const Instr* Interpreter::Impl::trap(const ExecutionContext& context, std::size_t here) {
  Debugger& debug = *debugger;
  const Instr* original = &debug.trapped.at(here);
  // __end runs to completion once the run is ending: nothing stops it.
  if (state.unlocked().status == RunStatus::Ending) return original;
  if (!debug.passing.empty()) {
    auto passes = std::ranges::find(debug.passing, std::pair{context.id, here});
    if (passes != debug.passing.end()) {
      debug.passing.erase(passes);
      return original;
    }
  }
  if (debug.pausing || pause_requested.exchange(false, std::memory_order_relaxed)) {
    suspend(SuspendReason::Pause, context, here);
    return nullptr;
  }
  if (debug.is_breakpoint(here)) {
    suspend(SuspendReason::Breakpoint, context, here);
    return nullptr;
  }
  if (!debug.stepping) return original;
  const Debugger::StepRequest& step = *debug.stepping;
  if (debug.step_context_gone) {
    suspend(SuspendReason::Step, context, here);
    return nullptr;
  }
  if (context.id != step.context) return original;
  std::size_t depth = context.frames.size();
  bool new_line = debug.lines[here] != step.line;
  bool ends = false;
  switch (step.how) {
    case Resume::Into:
      ends = depth != step.depth || new_line;
      break;
    case Resume::Over:
      ends = depth < step.depth || (depth == step.depth && new_line);
      break;
    case Resume::Out:
      ends = depth < step.depth;
      break;
    case Resume::Continue:
      break;
  }
  if (!ends) return original;
  suspend(SuspendReason::Step, context, here);
  return nullptr;
}

void Interpreter::Impl::suspend(SuspendReason reason, const ExecutionContext& context,
                                std::size_t address) {
  Debugger& debug = debug_state();
  debug.suspension = Suspension{reason, context.id, address, ops.position(address), std::nullopt};
  debug.suspended_at_trap = true;
  bool was_every_line = debug.traps_every_line();
  debug.stepping.reset();
  debug.step_context_gone = false;
  debug.pausing = false;
  if (was_every_line) arm_traps();
}

bool Interpreter::Impl::suspend_on_request() {
  RunStatus status = state.unlocked().status;
  if (!pause_requested.exchange(false, std::memory_order_relaxed)) return false;
  if (status == RunStatus::Ending || status == RunStatus::Ended) return false;
  // The first context that will run: the leftmost leaf of the tree.
  const ExecutionContext* context = root.get();
  while (!context->children.empty()) {
    auto live =
        std::ranges::find_if(context->children, [](const auto& child) { return child->alive; });
    if (live == context->children.end()) break;
    context = live->get();
  }
  std::size_t address = std::min(context->ip, ops.size() == 0 ? 0 : ops.size() - 1);
  suspend(SuspendReason::Pause, *context, address);
  // It did not reach a trap: a breakpoint at its ip still holds it.
  debugger->suspended_at_trap = false;
  state.unlocked().status = RunStatus::Suspended;
  return true;
}

std::expected<bool, Error> Interpreter::Impl::step_suspended() {
  // A stop asked for while suspended ends the run as it would a running one.
  if (stop_requested.load(std::memory_order_relaxed)) {
    state.unlocked().status = RunStatus::Running;
    return stop_in_steps();
  }
  if (!debugger || !debugger->fail_next) return false;
  // Resumed from a run-time error: the step fails as it would have, at the
  // place located then.
  debugger->fail_next = false;
  Error error = std::move(*debugger->failed);
  debugger->failed.reset();
  state.unlocked().status = RunStatus::Running;
  return std::unexpected(std::move(error));
}

bool Interpreter::Impl::suspend_on_error(Error& error) {
  bool from_host = std::exchange(failure.from_host, false);
  if (from_host || state.unlocked().status != RunStatus::Running || !failure.place) return false;
  Debugger& debug = debug_state();
  const FailurePlace& place = *failure.place;
  std::size_t address = place.address.value_or(0);
  bool was_every_line = debug.traps_every_line();
  debug.suspension =
      Suspension{SuspendReason::Exception, place.context, address, place.position, error};
  debug.suspended_at_trap = false;
  debug.failed = std::move(error);
  debug.stepping.reset();
  debug.step_context_gone = false;
  debug.pausing = false;
  if (was_every_line) arm_traps();
  state.unlocked().status = RunStatus::Suspended;
  return true;
}

void Interpreter::Impl::notice_pause_request() {
  if (!pause_requested.exchange(false, std::memory_order_relaxed)) return;
  Debugger& debug = debug_state();
  debug.pausing = true;
  arm_traps();
}

void Interpreter::Impl::forget_suspension() {
  pause_requested.store(false, std::memory_order_relaxed);
  if (!debugger) return;
  bool was_every_line = debugger->traps_every_line();
  debugger->suspension.reset();
  debugger->stepping.reset();
  debugger->step_context_gone = false;
  debugger->pausing = false;
  debugger->passing.clear();
  debugger->failed.reset();
  debugger->fail_next = false;
  if (was_every_line) arm_traps();
}

std::vector<std::optional<std::uint32_t>> Interpreter::Impl::set_breakpoints(
    const std::vector<std::uint32_t>& lines) {
  Debugger& debug = debug_state();
  std::vector<std::optional<std::uint32_t>> placed;
  debug.breakpoints.clear();
  for (std::uint32_t line : lines) {
    // The nearest line at or after it that starts code.
    std::optional<std::uint32_t> best;
    for (std::size_t start : debug.line_starts) {
      std::uint32_t at = debug.lines[start];
      if (at >= line && (!best || at < *best)) best = at;
    }
    // __end never stops: a line of its own takes no breakpoint.
    bool set = false;
    for (std::size_t start : debug.line_starts) {
      if (!best || debug.lines[start] != *best) continue;
      if (debug.ending != nullptr && debug.ending->covers(start)) continue;
      debug.breakpoints.push_back(start);
      set = true;
    }
    placed.push_back(set ? best : std::nullopt);
  }
  std::ranges::sort(debug.breakpoints);
  auto [first, last] = std::ranges::unique(debug.breakpoints);
  debug.breakpoints.erase(first, last);
  arm_traps();
  return placed;
}

std::expected<void, Error> Interpreter::Impl::resume(Resume how) {
  if (state.unlocked().status != RunStatus::Suspended || !debugger || !debugger->suspension) {
    return std::unexpected(Error::interpreter_busy());
  }
  Debugger& debug = *debugger;
  const Suspension stopped = *debug.suspension;
  debug.suspension.reset();
  if (debug.failed) {
    // Nothing runs past a run-time error: the next step fails with it.
    debug.fail_next = true;
    return {};
  }
  // A context suspended at a trap runs the instruction there first.
  if (debug.suspended_at_trap) debug.passing.emplace_back(stopped.context, stopped.address);
  if (how != Resume::Continue) {
    const ExecutionContext* context = nullptr;
    std::vector<const ExecutionContext*> pending{root.get()};
    for (std::size_t next = 0; next < pending.size() && context == nullptr; ++next) {
      if (pending[next]->id == stopped.context) context = pending[next];
      for (const auto& child : pending[next]->children) pending.push_back(child.get());
    }
    if (context != nullptr) {
      std::uint32_t line = stopped.address < debug.lines.size() ? debug.lines[stopped.address] : 0;
      debug.stepping = Debugger::StepRequest{how, stopped.context, context->frames.size(), line};
      debug.step_context_gone = false;
      arm_traps();
    }
  }
  state.unlocked().status = RunStatus::Paused;
  return {};
}

std::optional<std::string> Interpreter::Impl::branch_group(const ExecutionContext& context) const {
  const ExecutionContext* parent = context.parent;
  if (parent == nullptr) return std::nullopt;
  // Its parent waits just past the block's call_parallel or call_race.
  std::size_t spawn = parent->ip - 1;
  if (spawn < ops.size() && shape_of(ops.kind(spawn)) == OperandShape::CallList &&
      context.branch < ops.calls(spawn).size()) {
    const std::string& name = ops.name(ops.calls(spawn)[context.branch].name);
    if (!name.starts_with('#')) return name;
  }
  // A wrapper runs one native of its parent's block, in its parent's group.
  std::vector<DebugFrame> frames = frames_of(*parent);
  return frames.front().group;
}

std::optional<std::string> Interpreter::Impl::called_group(const ExecutionContext& context,
                                                           std::size_t level) const {
  if (level == 0) return branch_group(context);
  // A call statement's call, or a call used as a value.
  std::size_t call = context.frames[level - 1].return_index - 1;
  if (call < ops.size() && shape_of(ops.kind(call)) == OperandShape::Call) {
    return ops.name(ops.name_id(call));
  }
  return std::nullopt;
}

std::size_t Interpreter::Impl::standing_address(const ExecutionContext& context) const {
  if (debugger) {
    if (debugger->suspension && debugger->suspension->context == context.id) {
      return debugger->suspension->address;
    }
    // Resumed at its trap, it has not run the instruction there yet.
    for (const auto& [id, address] : debugger->passing) {
      if (id == context.id) return address;
    }
  }
  std::size_t address = context.ip;
  if (!context.children.empty()) return address - 1;  // its block's call_parallel or call_race
  if (!context.callable_id && address > 0 && address <= ops.size() &&
      ops.kind(address - 1) == OpKind::Yield) {
    return address - 1;
  }
  return address;
}

std::vector<DebugFrame> Interpreter::Impl::frames_of(const ExecutionContext& context) const {
  std::vector<DebugFrame> frames;
  const std::size_t depth = context.frames.size();
  const std::size_t last = ops.size() == 0 ? 0 : ops.size() - 1;
  for (std::size_t level = depth + 1; level-- > 0;) {
    // Level 0 is the context's own code; level k > 0 the group its k-th call entered.
    DebugFrame frame;
    frame.address =
        level == depth ? standing_address(context) : context.frames[level].return_index - 1;
    frame.address = std::min(frame.address, last);
    frame.position = ops.position(frame.address);
    // The scope record names the group whose code the frame stands in.
    const DebugScope* scope = debugger ? debugger->scope_at(frame.address) : nullptr;
    if (scope == nullptr) {
      frame.group = called_group(context, level);
    } else if (!scope->group.empty()) {
      frame.group = scope->group;
    }
    if (scope != nullptr) {
      const std::size_t size = context.stack.size();
      const std::size_t base = level == 0 ? 0 : context.frames[level - 1].base;
      const std::size_t bound = std::min(level == depth ? size : context.frames[level].base, size);
      std::span<const Value> slots;
      if (base < bound) slots = std::span(context.stack.bottom + base, bound - base);
      frame.variables = live_variables(*scope, frame.address, slots);
    }
    frames.push_back(std::move(frame));
  }
  return frames;
}

std::vector<DebugContext> Interpreter::Impl::debug_contexts() const {
  std::vector<DebugContext> contexts;
  std::vector<const ExecutionContext*> pending{root.get()};
  for (std::size_t next = 0; next < pending.size(); ++next) {
    const ExecutionContext& context = *pending[next];
    if (!context.alive) continue;
    DebugContext view;
    view.id = context.id;
    if (context.parent != nullptr) {
      view.parent = context.parent->id;
      view.branch = context.branch;
    }
    view.frames = frames_of(context);
    contexts.push_back(std::move(view));
    for (const auto& child : context.children) pending.push_back(child.get());
  }
  return contexts;
}

// --- Public interface -------------------------------------------------------

std::vector<std::optional<std::uint32_t>> Interpreter::set_breakpoints(
    const std::vector<std::uint32_t>& lines) {
  return impl->set_breakpoints(lines);
}

void Interpreter::request_pause() noexcept {
  impl->pause_requested.store(true, std::memory_order_relaxed);
}

const std::optional<Suspension>& Interpreter::suspension() const {
  static const std::optional<Suspension> none;
  if (!impl->debugger || status() != RunStatus::Suspended) return none;
  return impl->debugger->suspension;
}

std::expected<void, Error> Interpreter::resume(Resume how) { return impl->resume(how); }

void Interpreter::set_break_on_error(bool on) { impl->break_on_error = on; }
bool Interpreter::break_on_error() const { return impl->break_on_error; }

std::vector<DebugContext> Interpreter::debug_contexts() const {
  // The scope record is read through the debugger's state.
  if (!impl->debugger) impl->debug_state();
  return impl->debug_contexts();
}

std::optional<std::expected<Value, Error>> Interpreter::read_property(std::string_view name) {
  // The program's properties: those its code names, and those it declares
  // with `use` without reading them.
  Prop* property = nullptr;
  if (auto id = impl->ops.find_name(name)) property = impl->program.names[*id].property;
  if (property == nullptr && declares(impl->ops.declared_properties(), name)) {
    auto registered = impl->properties.find(name);
    if (registered != impl->properties.end()) property = registered->second.get();
  }
  if (property == nullptr) return std::nullopt;
  return property->get();
}

}  // namespace zolang
