// The debugger's state inside the interpreter: the breakpoints, the decoded
// instructions the traps replaced, and the step or pause under way. Made on
// first use, so that a program that is never debugged carries none of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "debug.hpp"
#include "interpreter_code.hpp"

namespace zolang {

struct Debugger {
  // A step under way: it ends in `context` at a line start, as `how` says,
  // measured from the frame depth and line it started at.
  struct StepRequest {
    Resume how = Resume::Over;
    std::uint64_t context = 0;
    std::size_t depth = 0;
    std::uint32_t line = 0;
  };

  // The line of each instruction (0: unknown), and the instructions where a
  // line starts (none that the scope record calls quiet); worked out once.
  std::vector<std::uint32_t> lines;
  std::vector<std::size_t> line_starts;
  std::vector<std::size_t> breakpoints;  // the addresses trapped for breakpoints, sorted
  // The decoded instructions the traps (and the fused forms unfused around
  // them) replaced, to put back; and what each trap runs when it lets a
  // context go on.
  std::unordered_map<std::size_t, Instr> replaced;
  std::unordered_map<std::size_t, Instr> trapped;
  // The compiler's scope records, in the order of their code, and the one
  // of __end, whose lines take no breakpoint.
  std::vector<const DebugScope*> scopes;
  const DebugScope* ending = nullptr;

  std::optional<StepRequest> stepping;
  bool step_context_gone = false;  // the stepping context finished: any context ends the step
  bool pausing = false;            // the next line start any context reaches suspends
  // The contexts resumed at their trap, each with the trap's address: the
  // next time it reaches it, it runs the instruction there once. Several,
  // because another context may suspend the program before one has gone on.
  std::vector<std::pair<std::uint64_t, std::size_t>> passing;
  std::optional<Suspension> suspension;
  bool suspended_at_trap = false;  // not so for a pause made at the start of a step
  // Held at a run-time error: the error for the step after resume() to
  // fail with (its place stays located in the interpreter's failure record).
  std::optional<Error> failed;
  bool fail_next = false;

  bool is_breakpoint(std::size_t address) const;
  // The scope whose code holds `address`, or null (IR text, a wrapper).
  const DebugScope* scope_at(std::size_t address) const;
  // Whether every line start is trapped (a step or a pause is under way).
  bool traps_every_line() const { return stepping.has_value() || pausing; }
};

}  // namespace zolang
