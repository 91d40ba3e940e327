// ExecutionContext: one thread of execution of a running program. Contexts
// form a tree rooted at the interpreter's root: the children of a context are
// the groups its call_parallel or call_race started, and the parent waits
// until the join rules let it run again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "interpreter_stack.hpp"

namespace zolang {

// How a context waits for its children.
enum class WaitMode : std::uint8_t {
  None,      // no call_parallel or call_race pending
  Parallel,  // resumes once every child has finished
  Race,      // resumes once the first child has finished; the others are ended
};

// What the scheduler does after a context's run of instructions stops.
enum class StepOutcome : std::uint8_t {
  Continue,    // run the same context's next instruction at once
  Yield,       // yield, or a native call not complete yet: the turn ends
  Spawned,     // call_parallel/call_race made children: queue them, the turn ends
  NativeDone,  // a native call completed: the turn ends (a wrapper finishes)
  Finished,    // return with no frame, or the end of the program
  Break,       // a debugger's trap suspended the program: the step ends
};

// One active group call: where to continue after its return, and the stack
// index of its slot 0.
struct Frame {
  std::size_t return_index;
  std::size_t base;
  // What leaving it does with the stack above `base`.
  enum class Leaving : std::uint8_t {
    Keep,   // leaves what the group left (a plain call in IR text)
    Drop,   // drops it (a plain call in a compiled program)
    Value,  // call_value: drops it and pushes the group's value (nil unless
            // a return_value gave one)
  };
  Leaving leaving = Leaving::Keep;
};

struct ExecutionContext {
  ExecutionContext() = default;
  ExecutionContext(const ExecutionContext&) = delete;
  ExecutionContext& operator=(const ExecutionContext&) = delete;
  // Tears the subtree down iteratively, so that however deep parallel calls
  // nested, discarding them cannot exhaust the machine stack.
  ~ExecutionContext();

  // Makes `child` a child of `parent`. Children live behind their own
  // allocation, so a child's parent link and the scheduler's pointers to
  // contexts stay valid while siblings are erased. A context starts children
  // only once its earlier ones are gone, so the children are added in the
  // order of the block's calls, and each one's place among them is its branch.
  static void add_dependency(ExecutionContext& parent, std::unique_ptr<ExecutionContext> child);

  // The stack index that load and store address from.
  std::size_t base() const { return frames.empty() ? 0 : frames.back().base; }

  ExecutionContext* parent = nullptr;  // none for the root; the parent owns this context
  std::uint64_t id = 0;                // the interpreter's name for it (see Interpreter::contexts)
  std::vector<Frame> frames;
  ValueStack stack;
  std::vector<std::unique_ptr<ExecutionContext>> children;  // in creation order
  // While a native call started here is in progress: its id in the
  // interpreter's active calls.
  std::optional<std::uint32_t> callable_id;
  std::size_t ip = 0;       // index of the next instruction
  bool alive = true;        // not finished (nor discarded)
  bool is_wrapper = false;  // started at a label beginning with '#'
  WaitMode mode = WaitMode::None;
  // Queued again in this step because a child decided its race; keeps a
  // parent from being queued twice when two children finish in one step.
  bool resume_queued = false;
  // A child's place among the calls of the parallel or race block that
  // started it, from 0 (read only to explain a failure).
  std::uint32_t branch = 0;
  // While racing: the 1-based place among the block's calls of the child
  // that decided the race; 0 until one has.
  std::uint32_t winner = 0;
};

}  // namespace zolang
