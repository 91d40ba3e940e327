// Ending in steps: a stop that any thread may ask for, and __end run one
// step per host call rather than inside the step that ended the program, so
// that a host's loop (an event loop, a GUI) keeps turning while it runs.
#include <utility>

#include "interpreter_impl.hpp"

namespace zolang {

std::expected<bool, Error> Interpreter::Impl::stop_in_steps() {
  // Taken first: a terminate that fails leaves the run as a failed step
  // does, and the host's stop() ends the rest.
  stop_requested.store(false, std::memory_order_relaxed);
  if (auto terminated = terminate_leaves(); !terminated) {
    return std::unexpected(std::move(terminated.error()));
  }
  return start_end_in_steps();
}

bool Interpreter::Impl::start_end_in_steps() {
  InternalState& internal = state.unlocked();
  // No breakpoint holds __end, and a suspension ends with the run.
  forget_suspension();
  root = new_context();
  if (auto label = program.label_of("__end")) {
    root->ip = *label;
    internal.status = RunStatus::Ending;
    ending_in_steps = true;
    return false;
  }
  internal.status = RunStatus::Ended;
  return true;
}

std::unique_ptr<ExecutionContext> Interpreter::Impl::new_context() {
  auto context = std::make_unique<ExecutionContext>();
  context->id = next_context_id++;
  return context;
}

void Interpreter::request_stop() noexcept {
  RunStatus status = impl->state.unlocked().status;
  if (status == RunStatus::Ending || status == RunStatus::Ended) return;
  impl->stop_requested.store(true, std::memory_order_relaxed);
}

void Interpreter::set_end_in_steps(bool in_steps) { impl->end_in_steps = in_steps; }
bool Interpreter::end_in_steps() const { return impl->end_in_steps; }

}  // namespace zolang
