// The values of calls: a native's result, a group's return value and the
// winner of a race, each pushed where a value-taking instruction asked; and
// the values natives hand over, charged against the memory limit.
#include <utility>

#include "interpreter_impl.hpp"

namespace zolang {

std::size_t Interpreter::Impl::leave_group(ExecutionContext& context, Value value) {
  const Frame frame = context.frames.back();
  context.frames.pop_back();
  // The group's arguments, its own variables and anything else it left.
  context.stack.drop_to(frame.base);
  if (frame.leaving == Frame::Leaving::Value) context.stack.push(std::move(value));
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
                                                          Callable& callable, std::size_t here) {
  auto value = callable.result();
  if (!value) return std::unexpected(std::move(value.error()));
  return push_native_value(context, std::move(*value), here);
}

std::expected<void, Error> Interpreter::Impl::push_native_value(ExecutionContext& context,
                                                                Value value, std::size_t here) {
  // The host made the value already, but holding it is the program's: a
  // native that hands out big strings must not take the program past its
  // limit unseen.
  std::uint64_t bytes = value.heap_bytes();
  if (context.stack.top == context.stack.limit) bytes += context.stack.grown_heap_bytes();
  if (!charge(bytes, here)) return std::unexpected(take_failure());
  context.stack.push(std::move(value));
  return {};
}

}  // namespace zolang
