// The interpreter's private state, shared by the scheduler and natives
// (interpreter.cpp) and the instruction loop (interpreter_run.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <unordered_map>
#include <vector>

#include "context.hpp"
#include "error.hpp"
#include "interpreter.hpp"
#include "interpreter_code.hpp"
#include "interpreter_state.hpp"
#include "native.hpp"

namespace zolang {

struct Interpreter::Impl {
  explicit Impl(std::vector<Op> program_ops);

  // Scheduling (interpreter.cpp).
  std::expected<bool, Error> step();
  std::expected<void, Error> run_pass();
  std::expected<void, Error> drain_queue();
  std::expected<bool, Error> join(ExecutionContext& context);
  std::expected<void, Error> react(ExecutionContext& context, StepOutcome outcome);
  std::expected<void, Error> end_race(ExecutionContext& parent, bool mark_finished);
  std::expected<void, Error> terminate_descendants(ExecutionContext& child);
  std::expected<void, Error> terminate_call(ExecutionContext& context);
  void discard_children(ExecutionContext& parent, bool finished_only);
  std::expected<void, Error> end();
  std::expected<void, Error> run_end();
  std::expected<void, Error> reset();
  std::expected<void, Error> validate();
  std::expected<void, Error> check_registration_open();

  // Runs the context's instructions from its ip until one of them ends the
  // turn; returns that instruction's outcome (never Continue) or its error.
  // Executing the instructions one at a time would give the same outcomes;
  // looping here keeps the instruction pointer and stack in registers.
  std::expected<StepOutcome, Error> step_with(ExecutionContext& context);

  // The slower instructions, called from step_with with the context's stack
  // and ip up to date (interpreter_run.cpp).
  std::expected<StepOutcome, Error> call(ExecutionContext& context, std::size_t here,
                                         const Instr& instr);
  std::expected<StepOutcome, Error> native_call(ExecutionContext& context, std::size_t here,
                                                const NameSlot& slot, std::size_t arity);
  std::expected<StepOutcome, Error> spawn(ExecutionContext& context, std::size_t here,
                                          const Instr& instr);
  std::expected<void, Error> get(ExecutionContext& context, std::size_t here, const Instr& instr);
  std::expected<void, Error> set(ExecutionContext& context, std::size_t here, const Instr& instr);
  std::uint32_t allocate_callable_id();

  std::unique_ptr<ExecutionContext> root;
  std::vector<Op> ops;
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
  std::vector<std::unique_ptr<ExecutionContext>> graveyard;
};

}  // namespace zolang
