// The memory limit, and allocations the system refuses. The program's
// allocations are charged as they are made and never credited when freed:
// freeing happens all over (any dropped string), and tracking it would tax
// every value. Only when the charges would pass the limit are the holdings
// counted, and the room set from that true figure. The counting and
// arithmetic loops allocate nothing and so never see any of this.
#include <algorithm>
#include <new>
#include <unordered_set>

#include "interpreter_impl.hpp"

namespace zolang {

bool Interpreter::Impl::charge_counted(std::uint64_t bytes, std::size_t here) {
  if (!limits.memory) {
    memory_room = UINT64_MAX;
    return true;
  }
  std::uint64_t limit = *limits.memory;
  std::uint64_t held = held_bytes();
  if (held > limit || bytes > limit - held) {
    memory_room = 0;  // so that the next charge counts again
    failure.pending = Error::memory_limit_exceeded(here);
    return false;
  }
  memory_room = limit - held - bytes;
  return true;
}

std::uint64_t Interpreter::Impl::held_bytes() const {
  std::uint64_t held = 0;
  // Strings held by several slots are counted once; one held by a single
  // slot cannot be met again, so only shared ones are remembered.
  std::unordered_set<const void*> shared;
  std::vector<const ExecutionContext*> pending{root.get()};
  for (std::size_t next = 0; next < pending.size(); ++next) {
    const ExecutionContext& context = *pending[next];
    held += sizeof(ExecutionContext) + context.stack.heap_bytes() +
            context.frames.capacity() * sizeof(Frame) +
            context.children.capacity() * sizeof(context.children[0]);
    for (const Value* slot = context.stack.bottom; slot != context.stack.top; ++slot) {
      if (!slot->is_string()) continue;
      if (slot->shares_heap() && !shared.insert(slot->heap_identity()).second) continue;
      held += slot->heap_bytes();
    }
    for (const auto& child : context.children) pending.push_back(child.get());
  }
  return held;
}

Value* Interpreter::Impl::grow_stack(ValueStack& stack, Value* top, std::size_t here) {
  stack.top = top;
  if (!charge(stack.grown_heap_bytes(), here)) return nullptr;
  Value* grown = stack.try_grow_at(top);
  if (grown == nullptr) {
    failure.pending = Error::memory_limit_exceeded(here);
  }
  return grown;
}

bool Interpreter::Impl::grow_frames(ExecutionContext& context, std::size_t here) {
  std::size_t capacity = std::max<std::size_t>(8, 2 * context.frames.capacity());
  if (!charge(capacity * sizeof(Frame), here)) return false;
  try {
    context.frames.reserve(capacity);
  } catch (const std::bad_alloc&) {
    failure.pending = Error::memory_limit_exceeded(here);
    return false;
  }
  return true;
}

Error Interpreter::Impl::out_of_memory() {
  std::size_t address = running != nullptr ? running->ip : 0;
  try {
    if (running != nullptr) locate_failure(*running, address);
  } catch (const std::bad_alloc&) {
    failure.place.reset();  // the place is lost; the error still tells
  }
  running = nullptr;
  failure.pending.reset();
  return Error::memory_limit_exceeded(address);
}

}  // namespace zolang
