// What a debugger sees of a running program: why it is suspended, and each
// live context's frames with their variables. Interpreter's debugging methods
// (interpreter.hpp) take and give these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "error.hpp"
#include "position.hpp"
#include "value.hpp"

namespace zolang {

// Why the program is suspended.
enum class SuspendReason : std::uint8_t {
  Breakpoint,  // a context reached a line with a breakpoint
  Step,        // a step over, into or out of a line ended
  Pause,       // the host asked for it (request_pause)
  Exception,   // a run-time error, with break on error set
};

struct Suspension {
  SuspendReason reason = SuspendReason::Pause;
  // The context that stopped (its id, as contexts() gives it), the
  // instruction it stands at and where that was written.
  std::uint64_t context = 0;
  std::size_t address = 0;
  SourcePosition position;
  // For Exception: the error that the step would have failed with.
  std::optional<Error> error;
};

// How a suspended program goes on.
enum class Resume : std::uint8_t {
  Continue,  // until the next breakpoint
  Over,      // until the stopped context reaches another line in this group or a caller
  Into,      // until it reaches another line, in a group it calls too
  Out,       // until it reaches a line of the group that called this one
};

// One group call of a context, innermost first.
struct DebugFrame {
  // The group it runs; none for the main program.
  std::optional<std::string> group;
  // Where it stands: for the innermost frame the instruction it stopped at,
  // waits on or runs next; for the others their call.
  std::size_t address = 0;
  SourcePosition position;
  // The frame's variables that hold a value at its address, in slot order:
  // each from its assignment to the end of the block it was assigned in
  // (empty without the compiler's scope record, as for IR text).
  std::vector<std::pair<std::string, Value>> variables;
};

// One live context with its frames.
struct DebugContext {
  std::uint64_t id = 0;
  std::optional<std::uint64_t> parent;  // none for the root
  std::optional<std::uint32_t> branch;  // its place among its siblings, from 0
  std::vector<DebugFrame> frames;       // innermost first; never empty
};

}  // namespace zolang
