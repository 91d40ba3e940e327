// The Interpreter runs a compiled program cooperatively: each step() runs every
// live execution context until it waits (a yield, an unfinished native call,
// children of a parallel or race call) or finishes, then returns to the host.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "debug.hpp"
#include "error.hpp"
#include "native.hpp"
#include "op.hpp"
#include "program.hpp"

namespace zolang {

// Where a run stands; decides what registration, step and reset may do.
enum class RunStatus : std::uint8_t {
  Fresh,    // constructed or reset, never stepped since: validates at next step
  Paused,   // the last step returned and the program still runs
  Running,  // a step is executing, or the last one failed
  Ending,   // the __end group is running
  Ended,    // the __end group (if any) has completed
  // Stopped by the debugger (a breakpoint, a step, a pause): step() does
  // nothing, natives in progress are not polled, until resume().
  Suspended,
};

// One group call on the way to a failure.
struct TraceEntry {
  // The group entered: a called group, the group a parallel or race branch
  // ran ("#name" for a native called in such a block), or "__end" for the
  // end group that end() runs.
  std::string group;
  // The call, call_parallel or call_race that entered it; none for __end.
  std::optional<std::size_t> address;
  // Where that call was written (for a branch, its call inside the block);
  // unknown when the program has no line table.
  SourcePosition position;
  // For a parallel or race branch: its place among the block's calls, from 0.
  std::optional<std::size_t> branch;
};

// What the interpreter knows about the last failed step() or end().
struct Failure {
  Error error;
  // The instruction that failed, when one did (a failed terminate() counts
  // as its call's); none for failures of the run as a whole.
  std::optional<std::size_t> address;
  // Where that instruction was written; unknown without a line table.
  SourcePosition position;
  // The group calls and branches that led there, outermost first.
  std::vector<TraceEntry> trace;
};

// The instruction that made a native call, and where it was written.
struct CallSite {
  std::size_t address;
  // Unknown without a line table. A native called in a parallel or race
  // block has the place of its own call in the block.
  SourcePosition position;
  // The context that made it (its id, as contexts() gives it) and the group
  // that context runs: none for the main program.
  std::uint64_t context = 0;
  std::optional<std::string> group;
};

// How a context waits for the children its last block started.
enum class BlockMode : std::uint8_t { Parallel, Race };

// One live execution context, as contexts() describes it.
struct ContextView {
  // Unique among the contexts of one interpreter, and kept while the context lives.
  std::uint64_t id = 0;
  std::optional<std::uint64_t> parent;  // none for the root
  // The group it runs (the innermost called group, or the group its parallel
  // or race branch started), "__end" for the end group; none for the main program.
  std::optional<std::string> group;
  // The instruction it stands at: the native call it waits on, the block
  // whose children it waits for, the yield it passed, or the next one it runs.
  std::size_t address = 0;
  SourcePosition position;              // where that was written; unknown without a line table
  std::optional<std::string> waiting;   // the native it waits on
  std::optional<BlockMode> mode;        // set while it waits for children
  std::optional<std::uint32_t> branch;  // its place among its siblings, from 0; none for the root
};

// Bounds on the work of one step() or one end(), for hosts that run programs
// they do not trust. Hitting one ends that call with a run-time error,
// "[address N] Instruction budget exhausted" or "[address N] Time limit
// exceeded" (N: where it was hit), after which the status is as after any
// failed step; the state is left so that stepping again would go on from there.
// The memory limit fails the step the same way, "[address N] Memory limit
// exceeded"; an allocation that the system refuses does too, limit or not.
struct Limits {
  // Budget units one call may spend: every backward jump, group call and
  // spawned child costs one, and so does every pass of end() over __end.
  // Loops, recursion and spawning cannot run on without spending them.
  std::optional<std::uint64_t> instructions = std::nullopt;
  // Wall time of one call, on the steady clock. It is read at the start of
  // the call and at check points only (see check_interval), so a native that
  // blocks is not cut short, and a step that never reaches a check point is
  // never timed out.
  std::optional<std::chrono::nanoseconds> time = std::nullopt;
  // Bytes the running program may hold: its strings (on stacks and in
  // variables), its contexts, their stacks and frames. Kept for the life of
  // the run, not per call, so __end runs under it too. Counted as the
  // program allocates; a string shared by several slots counts once.
  std::optional<std::uint64_t> memory = std::nullopt;
};

// Budget units between two check points. At a check point the time limit is
// checked and the host's check (set_check_point) runs; end() also makes both
// checks at every pass over __end. With limits set, each step() or end()
// starts a fresh stretch, so calls that spend fewer units never reach one;
// without, the stretches run on from call to call, so that a step over
// `yield` pays nothing to set them up.
inline constexpr std::uint64_t check_interval = 4096;

// The host's say at a check point: nothing to go on, or the error that ends
// the call (a pending interrupt, for example). Runs on the stepping thread.
using CheckPoint = std::function<std::expected<void, Error>()>;

class Interpreter {
 public:
  // The program alone; natives are registered afterwards.
  explicit Interpreter(Bytecode program);
  explicit Interpreter(std::vector<Op> ops);
  // A compiled program together with the natives registered with the compiler.
  static Interpreter from_program(Program program);
  // Reads IR text (read_program, in ir.hpp); the first failing line is the
  // error. A shorthand defined beside the IR reader: the interpreter proper
  // knows nothing of the text form, and a host that never reads IR does not
  // link the reader.
  [[nodiscard]] static std::expected<Interpreter, Error> from_ir(std::string_view text);

  Interpreter(Interpreter&&) noexcept;
  Interpreter& operator=(Interpreter&&) noexcept;
  ~Interpreter();

  // Runs one step. Returns true once the program has finished (its __end group
  // included), false while it still runs. The first step after construction or
  // reset validates the program against the registered natives first (its
  // first problem is the error, and the status stays Fresh). A run-time error
  // ends the step at once; nothing is rolled back and native calls in
  // progress stay active (the status stays Running until end()).
  [[nodiscard]] std::expected<bool, Error> step();

  // Registration is open only while the status is Fresh (else Poisoned or
  // InterpreterBusy); a name already registered, or for a callable a label of
  // the program, is refused. Takes ownership of the native either way.
  [[nodiscard]] std::expected<void, Error> register_callable(
      std::string name, std::unique_ptr<CallableGenerator> generator);
  [[nodiscard]] std::expected<void, Error> register_property(std::string name,
                                                             std::unique_ptr<Prop> property);

  // Asks the program to stop in steps, from any thread at any time; never
  // blocks. At the next check point or step boundary the step ends, every
  // native call in progress is terminated, and __end then runs one step per
  // later step() (status Ending; step() returns true once it has finished,
  // at once when there is none). Ignored while ending or once ended; a
  // request before reset() is forgotten by it.
  void request_stop() noexcept;
  // When set, a program that finishes by itself runs __end in the later
  // steps too, instead of inside the step that finished it. Off by default.
  void set_end_in_steps(bool in_steps);
  bool end_in_steps() const;

  // Terminates every native call in progress, then runs __end to completion
  // (native calls in it are polled in a tight loop). Allowed in any status.
  // The first failing terminate stops it before __end runs.
  [[nodiscard]] std::expected<void, Error> end();
  // Back to the start of the program; natives stay registered, calls in
  // progress are dropped without terminate. Refused (InterpreterBusy) while
  // Running, which includes after a failed step until end() has run.
  [[nodiscard]] std::expected<void, Error> reset();

  // The limits of each later step() and end(); none by default.
  void set_limits(Limits limits);
  const Limits& limits() const;
  // Called at every check point of a long step() or end(); none by default.
  void set_check_point(CheckPoint check);

  // The current status; safe to read from any thread.
  RunStatus status() const;
  // The last failure of step() or end(), kept until the next one replaces it
  // or reset() succeeds. Worked out only when a step fails, from the failing
  // context and the program's line table, so stepping costs nothing more.
  const std::optional<Failure>& last_failure() const;
  // The native call whose generate(), call() or terminate() is running now,
  // for a native that wants to say where it was called from; none at any
  // other time. Only the address is noted as the call is made: the position
  // is looked up here, when asked.
  std::optional<CallSite> current_call() const;
  // The live contexts, breadth-first from the root (parents before children).
  // For a host between steps or a native during one. After a step that a
  // native's generate() or call() failed (an interrupt in the native's own
  // code, say), its context still stands at that call, waiting on it.
  std::vector<ContextView> contexts() const;
  // Whether the calling thread is inside a native's method that an
  // interpreter called (generate, call, terminate, get, set), any
  // interpreter: a host that lets other threads run at check points does
  // not while one is.
  static bool in_native_call();
  // Debugging (interpreter_debug.cpp). Nothing of it costs a step while no
  // breakpoint is set in the code being run: a breakpoint replaces the
  // decoded instruction where its line starts, and the original is kept
  // aside. When a context reaches one, its turn ends there and so does the
  // step: the contexts later in that step's order take no turn in it, those
  // before it have had theirs. The status is then Suspended until resume().

  // Sets breakpoints on `lines`, replacing any set before. For each line,
  // the line it was set on: the first at or after it that has code, none
  // when there is none (or the program has no line table).
  std::vector<std::optional<std::uint32_t>> set_breakpoints(
      const std::vector<std::uint32_t>& lines);
  // Asks the program to suspend, from any thread at any time; never blocks.
  // The next step suspends before running anything; a step running now
  // suspends where a context next reaches a new line, if it does.
  void request_pause() noexcept;
  // Why the program is suspended; none unless the status is Suspended.
  const std::optional<Suspension>& suspension() const;
  // Goes on from a suspension (InterpreterBusy when not suspended). Steps
  // are made in the context that stopped; the next step() runs them.
  [[nodiscard]] std::expected<void, Error> resume(Resume how);
  // The live contexts with their frames and variables, breadth-first from
  // the root; for a host between steps.
  std::vector<DebugContext> debug_contexts() const;
  // When set, a run-time error suspends the program (reason Exception) at
  // the failing instruction instead of failing the step, so that its
  // contexts can be seen as they were; after resume(), however it goes on,
  // the next step fails with that error. Errors of __end, and those that
  // the host's check point returns (interrupts), fail as usual. Off by default.
  void set_break_on_error(bool on);
  bool break_on_error() const;
  // The value of registered property `name`, read by calling its get();
  // none when the program has no such property.
  [[nodiscard]] std::optional<std::expected<Value, Error>> read_property(std::string_view name);

  // The program as constructed, as a listing made on request, and as it is kept.
  std::vector<Op> ops() const;
  const Bytecode& program() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl;
};

}  // namespace zolang
