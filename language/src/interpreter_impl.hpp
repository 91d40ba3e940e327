// The interpreter's private state, shared by the scheduler and natives
// (interpreter.cpp) and the instruction loop (interpreter_run.cpp).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "context.hpp"
#include "error.hpp"
#include "interpreter.hpp"
#include "interpreter_code.hpp"
#include "interpreter_debug.hpp"
#include "interpreter_state.hpp"
#include "names.hpp"
#include "native.hpp"

namespace zolang {

struct Interpreter::Impl {
  explicit Impl(Bytecode program_code);

  // Scheduling (interpreter.cpp). Every Error is returned at once and ends
  // the operation; nothing is rolled back.

  // Validates at the first step, then one breadth-first pass; runs __end once
  // the root has finished. True when the program (and __end) has finished.
  [[nodiscard]] std::expected<bool, Error> step();
  // One pass over the context tree from the root, parents before children.
  [[nodiscard]] std::expected<void, Error> run_pass();
  // A pass; true when the root has finished (the program, or __end).
  [[nodiscard]] std::expected<bool, Error> pass_to_finish();
  [[nodiscard]] std::expected<void, Error> drain_queue();
  // The join rules for a context with children or racing: true when it runs
  // now; otherwise its live children have been queued.
  [[nodiscard]] std::expected<bool, Error> join(ExecutionContext& context);
  // What the scheduler does after a context's turn ended with `outcome`.
  [[nodiscard]] std::expected<void, Error> react(ExecutionContext& context, StepOutcome outcome);
  // Ends the native calls of a decided race's children, in order.
  [[nodiscard]] std::expected<void, Error> end_race(ExecutionContext& parent, bool mark_finished);
  // Ends the native calls below a losing child.
  [[nodiscard]] std::expected<void, Error> terminate_descendants(ExecutionContext& child);
  // Removes the context's native call, terminating it if the context is alive.
  [[nodiscard]] std::expected<void, Error> terminate_call(ExecutionContext& context);
  // Moves children (all, or only the finished ones) to the graveyard.
  void discard_children(ExecutionContext& parent, bool finished_only);
  // Terminates the leaves' native calls, then run_end.
  [[nodiscard]] std::expected<void, Error> end();
  // Terminates the native call of every context without children, once.
  [[nodiscard]] std::expected<void, Error> terminate_leaves();

  // Ending in steps (interpreter_ending.cpp).

  // Whether a stop was asked for and the run is not ending: what a check
  // point and the scheduler test. Relaxed: the flag is all that is shared.
  bool stop_due() const {
    return stop_requested.load(std::memory_order_relaxed) &&
           state.unlocked().status == RunStatus::Running;
  }
  // Stops as end() would, but leaves __end to the later steps: terminates
  // the native calls in progress, then starts __end (true: nothing to run).
  [[nodiscard]] std::expected<bool, Error> stop_in_steps();
  // Starts __end from a fresh root for the later steps; true when there is
  // none and the run has ended already.
  bool start_end_in_steps();
  // A fresh context with the next id.
  std::unique_ptr<ExecutionContext> new_context();
  // Where a context stands and what it runs, for contexts() and current_call().
  std::optional<std::string> group_of(const ExecutionContext& context) const;
  SourcePosition position_of(const ExecutionContext& context, std::size_t address) const;
  ContextView view_of(const ExecutionContext& context) const;
  std::vector<ContextView> contexts() const;
  // Runs the __end group to completion from a fresh root, one pass at a time.
  [[nodiscard]] std::expected<void, Error> run_end();
  [[nodiscard]] std::expected<void, Error> reset();
  // The first problem of the program against the registered natives.
  [[nodiscard]] std::expected<void, Error> validate();
  // Keeps a native and binds the program's uses of its name.
  void add_callable(std::string name, std::unique_ptr<CallableGenerator> generator);
  void add_property(std::string name, std::unique_ptr<Prop> property);
  // Poisoned or InterpreterBusy unless the status is Fresh.
  [[nodiscard]] std::expected<void, Error> check_registration_open();

  // Notes where a failure happened: at instruction `address` of `context`
  // (none: no instruction of it), with the group calls that led there.
  void locate_failure(const ExecutionContext& context, std::optional<std::size_t> address);
  // Keeps `error` as the last failure, at the place located for it, if any.
  void remember_failure(const Error& error);
  // The trace entry of a parallel or race branch: the call in its parent's
  // block that started it.
  TraceEntry branch_entry(const ExecutionContext& branch) const;
  // A wrapper made for a native in a block may serve several calls of the
  // same shape, so its own instructions record only one of them: the branch
  // knows which call this was. Its position, when `context` is such a
  // wrapper running its call.
  std::optional<SourcePosition> wrapper_call(const ExecutionContext& context) const;
  // Where the native call running now was written.
  std::optional<CallSite> current_call() const;

  // A native call being made: its context (none between native calls) and
  // its call instruction.
  struct CallingNative {
    const ExecutionContext* context = nullptr;
    std::size_t address = 0;
  };
  // The native call whose generate() or call() failed the step (a host's
  // exception, Ctrl-C landing in the native's own code): its context has
  // the ip past the call already, yet it stood at the call. Forgotten once
  // the contexts move on (the next step, end() or reset()).
  struct FailedCall {
    std::uint64_t context = 0;  // its id
    std::size_t address = 0;
  };
  // Notes the failed call and passes its error on.
  std::unexpected<Error> failed_in_native(const ExecutionContext& context, std::size_t address,
                                          Error error) {
    failed_call = FailedCall{context.id, address};
    return std::unexpected(std::move(error));
  }
  // Counts, per thread, the natives' methods running (in_native_call()).
  class NativeDepth {
   public:
    NativeDepth() { ++depth; }
    NativeDepth(const NativeDepth&) = delete;
    NativeDepth& operator=(const NativeDepth&) = delete;
    ~NativeDepth() { --depth; }
    static bool any() { return depth != 0; }

   private:
    // Initial-exec: a plain thread-pointer access even when the library is
    // linked into a module that Python loads.
    [[gnu::tls_model("initial-exec")]] static thread_local int depth;
  };
  // Notes the native call being made for the lifetime of the scope, so that
  // current_call() can tell the native where it was called from. It costs
  // two stores in and one out: the position is looked up only when asked.
  class NativeCallScope {
   public:
    NativeCallScope(Impl& impl, const ExecutionContext& context, std::size_t address) : impl(impl) {
      impl.calling = {&context, address};
    }
    NativeCallScope(const NativeCallScope&) = delete;
    NativeCallScope& operator=(const NativeCallScope&) = delete;
    ~NativeCallScope() { impl.calling.context = nullptr; }

   private:
    Impl& impl;
    NativeDepth depth;
  };

  // Runs the context's instructions from its ip until one of them ends the
  // turn; returns that instruction's outcome (never Continue) or its error.
  // Executing the instructions one at a time would give the same outcomes;
  // looping here keeps the instruction pointer and stack in registers.
  [[nodiscard]] std::expected<StepOutcome, Error> step_with(ExecutionContext& context);
  // step_with's registers and the instructions' bodies (interpreter_run.cpp).
  struct Registers;

  // The slower instructions, called from step_with with the context's stack
  // and ip up to date (interpreter_run.cpp).
  [[nodiscard]] std::expected<StepOutcome, Error> call(ExecutionContext& context, std::size_t here,
                                                       const Instr& instr);
  // With `value`, the completed call's result() is pushed.
  [[nodiscard]] std::expected<StepOutcome, Error> native_call(ExecutionContext& context,
                                                              std::size_t here,
                                                              const NameSlot& slot,
                                                              std::size_t arity, bool value);
  [[nodiscard]] std::expected<StepOutcome, Error> spawn(ExecutionContext& context, std::size_t here,
                                                        const Instr& instr);
  // The two strings joined; nothing, with the error in failure.pending, when
  // the memory is not to be had.
  std::optional<Value> concat(const Value& left, const Value& right, std::size_t here);
  // Values of calls (interpreter_values.cpp).

  // Leaves the context's innermost group frame with `value` as the group's:
  // the stack goes back to the frame's base, and a frame entered by
  // call_value gets the value pushed. Returns the index to go on at.
  std::size_t leave_group(ExecutionContext& context, Value value);
  // Notes `child` as the winner of its parent's race, unless one already is.
  static void note_winner(const ExecutionContext& child);
  // A decided race resumes: a call_race_value pushes its winner's place.
  void push_winner(ExecutionContext& racer) const;
  // Pushes the value a completed native call gives, once.
  [[nodiscard]] std::expected<void, Error> push_result(ExecutionContext& context,
                                                       Callable& callable, std::size_t here);
  // Pushes a value that a native made (a call's result, a property's value),
  // charging what it holds; the memory limit's error at `here` instead.
  [[nodiscard]] std::expected<void, Error> push_native_value(ExecutionContext& context, Value value,
                                                             std::size_t here);

  [[nodiscard]] std::expected<void, Error> get(ExecutionContext& context, std::size_t here,
                                               const Instr& instr);
  [[nodiscard]] std::expected<void, Error> set(ExecutionContext& context, std::size_t here,
                                               const Instr& instr);

  // Debugging (interpreter_debug.cpp).

  // What a context that reached a trap at `here` does: the instruction to
  // run in the trap's place, or null when the program suspends there (the
  // suspension is noted).
  [[gnu::cold, gnu::noinline]] const Instr* trap(const ExecutionContext& context, std::size_t here);
  // Suspends instead of failing with `error` (break on error); false if it
  // may not (while ending, or for the host's own error).
  [[gnu::cold]] bool suspend_on_error(Error& error);
  // A step while suspended: nothing runs, unless a stop was asked for.
  [[gnu::cold]] std::expected<bool, Error> step_suspended();
  // Suspends at the start of a step if a pause was asked for; true if it did.
  [[gnu::cold]] bool suspend_on_request();
  // At a check point: a pause asked for during a step traps every line start.
  [[gnu::cold]] void notice_pause_request();
  // The stepping context has finished: the step ends in the next one to reach a line.
  void note_finished(const ExecutionContext& context) {
    if (debugger && debugger->stepping && debugger->stepping->context == context.id) [[unlikely]]
      debugger->step_context_gone = true;
  }
  Debugger& debug_state();
  void find_line_starts(Debugger& debug) const;
  // Puts back every replaced instruction, then traps the breakpoints and,
  // while stepping or pausing, every line start.
  void arm_traps();
  void suspend(SuspendReason reason, const ExecutionContext& context, std::size_t address);
  std::vector<std::optional<std::uint32_t>> set_breakpoints(
      const std::vector<std::uint32_t>& lines);
  std::expected<void, Error> resume(Resume how);
  std::vector<DebugContext> debug_contexts() const;
  std::vector<DebugFrame> frames_of(const ExecutionContext& context) const;
  // Where a context stands: the instruction it stopped at, waits on or runs next.
  std::size_t standing_address(const ExecutionContext& context) const;
  // The group a context's frame `level` runs, from the call that entered it,
  // for code without a scope record; none for the main program.
  std::optional<std::string> called_group(const ExecutionContext& context, std::size_t level) const;
  // The group a context's outermost frame runs; none for the main program.
  std::optional<std::string> branch_group(const ExecutionContext& context) const;
  // Forgets a suspension and any step or pause under way (reset).
  void forget_suspension();

  // The limits (interpreter_limits.cpp). Spending works on `fuel`, the
  // units left before the next check point, so that the instruction loop
  // tests one counter whether or not a limit is set.

  // Fills the budget and sets the deadline for one step() or end().
  // Without limits there is nothing to fill: the stretches run on from call
  // to call, and a step over `yield` pays one test.
  void start_call() {
    if (limits.instructions || limits.time) [[unlikely]]
      start_limited_call();
  }
  void start_limited_call();
  // Takes new limits, and starts the stretches afresh.
  void set_limits(Limits new_limits);
  // The check point reached when `fuel` has run out at the instruction at
  // `here`: true to go on (with fuel for the next stretch); false with the
  // error in failure.pending when the budget is spent, the time is up or the
  // host's check says to stop, and false without one when a stop was asked
  // for (the turn then ends as at a yield).
  [[gnu::cold]] bool pass_check_point(std::size_t here);
  // The time limit and the host's check alone, as pass_check_point makes
  // them; end() makes them at every pass as well.
  bool within_limits(std::size_t here);
  // Spends `units` at once (a spawn's children), passing every check point
  // on the way; false with the error in failure.pending.
  bool spend(std::uint64_t units, std::size_t here) {
    if (units < fuel) [[likely]] {
      fuel -= units;
      return true;
    }
    return spend_across(units, here);
  }
  bool spend_across(std::uint64_t units, std::size_t here);
  // Takes the error that a failed check left in failure.pending.
  Error take_failure();

  // Memory (interpreter_memory.cpp). Allocations the program makes are
  // charged against memory_room, the bytes it may still take before its
  // holdings are counted again; without a limit the room never runs out, so
  // a charge is one comparison.

  // Charges `bytes` about to be allocated; false (with the error at `here` in
  // failure.pending) when the program would go past its limit. The stack of a
  // context being run must have its top written back first: counting reads it.
  bool charge(std::uint64_t bytes, std::size_t here) {
    if (bytes <= memory_room) [[likely]] {
      memory_room -= bytes;
      return true;
    }
    return charge_counted(bytes, here);
  }
  [[gnu::cold]] bool charge_counted(std::uint64_t bytes, std::size_t here);
  // What the program holds now: its contexts with their stacks, frames and
  // strings, each string counted once.
  std::uint64_t held_bytes() const;
  // Makes the next charge count afresh (new limits, a new run).
  void recount_memory() { memory_room = limits.memory ? 0 : UINT64_MAX; }
  // Grows the stack of a context being run for one more value; null with
  // the error in failure.pending when the memory is not to be had.
  [[gnu::cold]] Value* grow_stack(ValueStack& stack, Value* top, std::size_t here);
  // Room for one more frame; false with the error in failure.pending.
  [[gnu::cold]] bool grow_frames(ExecutionContext& context, std::size_t here);
  // The error for memory that the system refused, at the instruction where
  // the context being run was last known to be.
  Error out_of_memory();

  std::unique_ptr<ExecutionContext> root;
  Bytecode bytecode;  // the program as constructed, as the host handed it over
  const EncodedProgram& ops = bytecode.encoded();  // its encoding; `program` reads from it
  DecodedProgram program;
  PropertyRegistry properties;
  CallableRegistry callables;
  std::unordered_map<std::uint32_t, std::unique_ptr<Callable>> active_callables;
  GuardedState state;

  // Scratch of one step, kept to reuse its memory: the breadth-first work
  // queue (front at queue_head), and the subtrees discarded during the step,
  // kept alive until it ends because the queue may still point into them.
  std::vector<ExecutionContext*> queue;
  std::size_t queue_head = 0;

  Limits limits;
  CheckPoint check;
  // Units left before the next check point, and the units of the budget
  // beyond those; without a budget the reserve is more than any run can
  // spend. The deadline of the current call, when a time limit is set.
  std::uint64_t fuel = check_interval;
  std::uint64_t reserve = UINT64_MAX - check_interval;
  std::optional<std::chrono::steady_clock::time_point> deadline;
  std::vector<std::unique_ptr<ExecutionContext>> graveyard;
  // A failure on its way out of step() or end(), in the order it is made,
  // and the last one, kept for the host.
  struct FailurePlace {
    std::uint64_t context = 0;  // the failing context's id
    std::optional<std::size_t> address;
    SourcePosition position;
    std::vector<TraceEntry> trace;
  };
  struct Failures {
    // The error step_with or a check is about to return, set just before
    // it leaves. It lives here because a local std::optional<Error> was
    // zero-filled on every entry, a third of the cost of a step over `yield`.
    std::optional<Error> pending;
    // The pending error came from the host's check point (an interrupt).
    bool from_host = false;
    // Where it happened, located on the way out (locate_failure) while the
    // failing context is still as it was.
    std::optional<FailurePlace> place;
    // The error with its place, once returned (remember_failure).
    std::optional<Failure> last;
  };
  Failures failure;
  // The native call whose generate(), call() or terminate() runs now.
  CallingNative calling;
  std::optional<FailedCall> failed_call;

  // Bytes the program may allocate before its holdings are counted again.
  std::uint64_t memory_room = UINT64_MAX;
  // The context whose turn runs now, for a failed allocation to name.
  const ExecutionContext* running = nullptr;

  // Set by request_stop() from any thread; taken by the stepping thread.
  std::atomic<bool> stop_requested{false};
  bool end_in_steps = false;
  // __end runs in the host's steps (rather than inside run_end).
  bool ending_in_steps = false;
  std::uint64_t next_context_id = 1;
  // Set from any thread by request_pause, taken by the stepping thread.
  std::atomic<bool> pause_requested{false};
  bool break_on_error = false;
  std::unique_ptr<Debugger> debugger;
};

}  // namespace zolang
