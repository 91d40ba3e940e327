// ValueStack: the value stack of one execution context. Values are pushed and
// popped at the back only, so one contiguous growable array serves; moving
// values between contexts pops from one back and appends to another.
//
// The interpreter's run loop works on the raw pointers (bottom, top, limit)
// held in locals, and uses the slot helpers below so that numbers, booleans
// and nil are created, copied and dropped without calling into the string
// reference counting.
#pragma once

#include <cstddef>
#include <new>
#include <utility>
#include <vector>

#include "value.hpp"

namespace zolang {

// Ends the life of the value in a slot. Only a string owns anything, so the
// other kinds are dropped by reusing their storage.
inline void drop_slot(Value* slot) noexcept {
  if (slot->is_string()) slot->~Value();
}

// Creates a copy of `source` in the raw slot `target`.
inline void copy_to_slot(Value* target, const Value& source) noexcept {
  switch (source.kind()) {
    case Value::Kind::Number:
      new (target) Value(Value::number(source.as_number()));
      return;
    case Value::Kind::Boolean:
      new (target) Value(Value::boolean(source.as_boolean()));
      return;
    case Value::Kind::Nil:
      new (target) Value();
      return;
    case Value::Kind::String:
      new (target) Value(source);
      return;
  }
}

// Moves the value of `source` into the raw slot `target`; `source` is left
// raw (its storage may be reused without dropping it).
inline void move_to_slot(Value* target, Value* source) noexcept {
  new (target) Value(std::move(*source));
}

class ValueStack {
 public:
  // Two nil guard slots sit below the bottom, so the run loop may look at the
  // two top slots before it knows the stack holds two values: a guard is
  // never a number, which sends the operator to its checked slow path.
  static constexpr std::size_t guard_slots = 2;

  ValueStack() { reallocate(initial_capacity); }
  ValueStack(const ValueStack&) = delete;
  ValueStack& operator=(const ValueStack&) = delete;
  ~ValueStack() {
    clear();
    ::operator delete(bottom - guard_slots);
  }

  std::size_t size() const { return static_cast<std::size_t>(top - bottom); }
  bool empty() const { return top == bottom; }
  Value& operator[](std::size_t index) { return bottom[index]; }
  const Value& operator[](std::size_t index) const { return bottom[index]; }

  void push(Value value) {
    if (top == limit) grow_at(top);
    new (top++) Value(std::move(value));
  }
  // Removes and returns the top value; the stack must not be empty.
  Value pop() {
    --top;
    Value value(std::move(*top));
    return value;  // the moved-from slot holds nil and needs no drop
  }
  // Drops every value.
  void clear() {
    while (top != bottom) drop_slot(--top);
  }
  // Drops the values above the first `count` (none when there are fewer).
  void drop_to(std::size_t count) {
    while (size() > count) drop_slot(--top);
  }
  // Removes the top `count` values (at most size()) and returns them in push
  // order.
  std::vector<Value> take_back(std::size_t count) {
    std::vector<Value> values;
    values.reserve(count);
    for (Value* slot = top - count; slot != top; ++slot) values.push_back(std::move(*slot));
    top -= count;
    return values;
  }

  // Records `current_top` as the top, doubles the capacity and returns the
  // new top; `bottom` and `limit` change too, so the run loop reloads them.
  Value* grow_at(Value* current_top) {
    top = current_top;
    reallocate(2 * static_cast<std::size_t>(limit - bottom));
    return top;
  }
  // The same, but null (and nothing changed but the top recorded) when the
  // memory cannot be had.
  Value* try_grow_at(Value* current_top) noexcept {
    top = current_top;
    if (!reallocate(2 * static_cast<std::size_t>(limit - bottom), std::nothrow)) return nullptr;
    return top;
  }
  // The bytes the stack's storage takes now, and after its next growth.
  std::size_t heap_bytes() const { return bytes_for(capacity()); }
  std::size_t grown_heap_bytes() const { return bytes_for(2 * capacity()); }

  // Raw storage: [bottom, top) holds live values, [top, limit) is raw. The
  // run loop copies these into locals and writes `top` back when it stops.
  Value* bottom = nullptr;
  Value* top = nullptr;
  Value* limit = nullptr;

 private:
  static constexpr std::size_t initial_capacity = 8;

  std::size_t capacity() const { return static_cast<std::size_t>(limit - bottom); }
  static std::size_t bytes_for(std::size_t capacity) {
    return (capacity + guard_slots) * sizeof(Value);
  }

  void reallocate(std::size_t capacity) {
    if (!reallocate(capacity, std::nothrow)) throw std::bad_alloc();
  }
  bool reallocate(std::size_t capacity, std::nothrow_t) noexcept {
    std::size_t count = size();
    auto* storage =
        static_cast<Value*>(::operator new((capacity + guard_slots) * sizeof(Value), std::nothrow));
    if (storage == nullptr) return false;
    for (std::size_t i = 0; i < guard_slots; ++i) new (storage + i) Value();
    Value* fresh = storage + guard_slots;
    for (std::size_t i = 0; i < count; ++i) move_to_slot(fresh + i, bottom + i);
    if (bottom != nullptr) ::operator delete(bottom - guard_slots);
    bottom = fresh;
    top = fresh + count;
    limit = fresh + capacity;
    return true;
  }

 public:
  // The bytes a fresh stack takes.
  static std::size_t initial_heap_bytes() { return bytes_for(initial_capacity); }
};

}  // namespace zolang
