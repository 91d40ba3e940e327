// The values of calls: a native's result, a group's return value and the
// winner of a race, each pushed where a value-taking instruction asked.
#include <utility>

#include "interpreter_impl.hpp"

namespace zolang {

std::size_t Interpreter::Impl::leave_group(ExecutionContext& context, Value value) {
  const Frame frame = context.frames.back();
  context.frames.pop_back();
  // The group's arguments, its own variables and anything else it left.
  context.stack.drop_to(frame.base);
  if (frame.value) context.stack.push(std::move(value));
  return frame.return_index;
}

void Interpreter::Impl::note_winner(const ExecutionContext& child) {
  ExecutionContext& racer = *child.parent;
  if (racer.winner == 0) racer.winner = child.branch + 1;
}

void Interpreter::Impl::push_winner(ExecutionContext& racer) const {
  // A waiting context's ip is just past the instruction that spawned.
  const std::size_t spawn = racer.ip - 1;
  if (spawn >= ops.size() || ops.kind(spawn) != OpKind::CallRaceValue) return;
  racer.stack.push(racer.winner == 0 ? Value() : Value::number(racer.winner));
}

std::expected<void, Error> Interpreter::Impl::push_result(ExecutionContext& context,
                                                          Callable& callable) {
  auto value = callable.result();
  if (!value) return std::unexpected(std::move(value.error()));
  context.stack.push(std::move(*value));
  return {};
}

}  // namespace zolang
