// Op: one instruction of a compiled Zo program. A program is a sequence of Ops
// addressed by 0-based index. Each kind is named by its IR mnemonic.
//
// Stack effects below: binary operators pop the right operand, then the left,
// and push one result. "base" is the base index of the innermost active group
// frame of the running context (0 when none). Jump distances count from the
// jump itself: `jump 1` falls through, `jump 0` loops on itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "position.hpp"
#include "value.hpp"

namespace zolang {

// How an instruction's operands are written and stored.
enum class OperandShape : std::uint8_t {
  None,      // no operand
  Slot,      // a stack address (index)
  Name,      // a property name (name)
  Value,     // a constant (value)
  Distance,  // a jump distance (distance)
  Call,      // a name and an arity (name, index)
  CallList,  // a list of group names with arities (calls)
  Label,     // a label: the name alone, written `name:`
};

// Every instruction, once: X(kind, mnemonic, shape, stack effect, meaning).
// Everything that lists instructions (the enum, the mnemonics, IR printing
// and reading, the interpreter's decoder) is generated from this table, so a
// new instruction is a row here plus its case in the run loop.
#define ZO_INSTRUCTIONS(X)                                                                   \
  X(Load, "load", Slot, "-- v", "push a copy of stack[base + a]")                            \
  X(Store, "store", Slot, "v --", "pop into stack[base + a] when above it, else nothing")    \
  X(Get, "get", Name, "-- v", "push the property's current value")                           \
  X(Set, "set", Name, "v --", "pop a value into the property")                               \
  X(Push, "push", Value, "-- v", "push a copy of v")                                         \
  X(Pop, "pop", None, "v --", "drop the top value (nothing on an empty stack)")              \
  X(Dup, "dup", None, "v -- v v", "push a copy of the top value")                            \
  X(Add, "add", None, "l r -- x", "numbers add, strings concatenate")                        \
  X(Sub, "sub", None, "l r -- x", "left - right")                                            \
  X(Mul, "mul", None, "l r -- x", "left * right")                                            \
  X(Div, "div", None, "l r -- x", "left / right, IEEE")                                      \
  X(Mod, "mod", None, "l r -- x", "fmod(left, right)")                                       \
  X(Exp, "exp", None, "l r -- x", "pow(left, right)")                                        \
  X(Neg, "neg", None, "n -- -n", "negate the top number in place")                           \
  X(Abs, "abs", None, "n -- |n|", "clear the sign of the top number in place")               \
  X(And, "and", None, "l r -- b", "truthy(left) && truthy(right)")                           \
  X(Or, "or", None, "l r -- b", "truthy(left) || truthy(right)")                             \
  X(Not, "not", None, "v -- b", "replace the top with !truthy(top)")                         \
  X(Xor, "xor", None, "l r -- b", "truthy(left) != truthy(right)")                           \
  X(Eq, "eq", None, "l r -- b", "left equals right")                                         \
  X(Ne, "ne", None, "l r -- b", "left does not equal right")                                 \
  X(Lt, "lt", None, "l r -- b", "numbers only, left < right")                                \
  X(Le, "le", None, "l r -- b", "numbers only, left <= right")                               \
  X(Gt, "gt", None, "l r -- b", "numbers only, left > right")                                \
  X(Ge, "ge", None, "l r -- b", "numbers only, left >= right")                               \
  X(Jump, "jump", Distance, "--", "continue at here + d")                                    \
  X(JumpUnless, "jump_unless", Distance, "v --", "falsy continues at here + d")              \
  X(JumpIf, "jump_if", Distance, "v --", "truthy continues at here + d")                     \
  X(Label, "label", Label, "--", "no effect; marks the entry of group `name`")               \
  X(Call, "call", Call, "a1..an -- ?", "native call or group call with n arguments")         \
  X(CallParallel, "call_parallel", CallList, "args --", "one child per entry, wait for all") \
  X(CallRace, "call_race", CallList, "args --", "one child per entry, wait for the first")   \
  X(Yield, "yield", None, "--", "end this context's turn")                                   \
  X(Return, "return", None, "--", "leave the group frame, or finish the context")            \
  X(CallValue, "call_value", Call, "a1..an -- v", "call, then push its value")               \
  X(ReturnValue, "return_value", None, "v --", "return with the top value as the group's")   \
  X(CallRaceValue, "call_race_value", CallList, "args -- i", "call_race, push winner's place")

enum class OpKind : std::uint8_t {
#define ZO_OP_KIND(kind, mnemonic, shape, effect, meaning) kind,
  ZO_INSTRUCTIONS(ZO_OP_KIND)
#undef ZO_OP_KIND
};

#define ZO_COUNT_ONE(...) +1
inline constexpr std::size_t op_kind_count = 0 ZO_INSTRUCTIONS(ZO_COUNT_ONE);
#undef ZO_COUNT_ONE

// The operand shape of a kind.
constexpr OperandShape shape_of(OpKind kind) {
  constexpr OperandShape shapes[] = {
#define ZO_OP_SHAPE(kind, mnemonic, shape, effect, meaning) OperandShape::shape,
      ZO_INSTRUCTIONS(ZO_OP_SHAPE)
#undef ZO_OP_SHAPE
  };
  return shapes[static_cast<std::size_t>(kind)];
}

// The IR mnemonic of a kind ("load", "jump_unless", ...); a label has none of
// its own and reports "label".
std::string_view mnemonic(OpKind kind);

// One entry of a call_parallel or call_race: a group name and its arity.
struct CallEntry {
  std::string name;
  std::size_t arity = 0;
  SourcePosition position = {};  // the call in the block's source, when compiled from one

  // The same entry: where it was written is not part of it.
  friend bool operator==(const CallEntry& left, const CallEntry& right) {
    return left.name == right.name && left.arity == right.arity;
  }
};

// One instruction. Only the operands of its kind are meaningful; the others
// keep their defaults, so two equal instructions compare equal field by field.
//
// Each instruction also records where in the source it was compiled from (the
// token that made it): the program's line table, which travels with the instructions into an
// interpreter and is read only to explain a failure. IR text does not carry
// it, so instructions read from IR have none (line 0).
struct Op {
  OpKind kind = OpKind::Pop;
  std::size_t index = 0;         // load/store address; call arity
  std::ptrdiff_t distance = 0;   // jump, jump_unless, jump_if
  std::string name;              // get, set, label, call
  Value value;                   // push
  std::vector<CallEntry> calls;  // call_parallel, call_race
  SourcePosition position = {};  // where the instruction was written; unknown when line is 0

  static Op simple(OpKind kind) { return Op{kind, 0, 0, {}, {}, {}}; }
  static Op load(std::size_t address) { return Op{OpKind::Load, address, 0, {}, {}, {}}; }
  static Op store(std::size_t address) { return Op{OpKind::Store, address, 0, {}, {}, {}}; }
  static Op get(std::string name) { return Op{OpKind::Get, 0, 0, std::move(name), {}, {}}; }
  static Op set(std::string name) { return Op{OpKind::Set, 0, 0, std::move(name), {}, {}}; }
  static Op push(Value value) { return Op{OpKind::Push, 0, 0, {}, std::move(value), {}}; }
  static Op jump(std::ptrdiff_t d) { return Op{OpKind::Jump, 0, d, {}, {}, {}}; }
  static Op jump_unless(std::ptrdiff_t d) { return Op{OpKind::JumpUnless, 0, d, {}, {}, {}}; }
  static Op jump_if(std::ptrdiff_t d) { return Op{OpKind::JumpIf, 0, d, {}, {}, {}}; }
  static Op label(std::string name) { return Op{OpKind::Label, 0, 0, std::move(name), {}, {}}; }
  static Op call(std::string name, std::size_t arity) {
    return Op{OpKind::Call, arity, 0, std::move(name), {}, {}};
  }
  static Op call_parallel(std::vector<CallEntry> calls) {
    return Op{OpKind::CallParallel, 0, 0, {}, {}, std::move(calls)};
  }
  static Op call_race(std::vector<CallEntry> calls) {
    return Op{OpKind::CallRace, 0, 0, {}, {}, std::move(calls)};
  }
  static Op call_value(std::string name, std::size_t arity) {
    return Op{OpKind::CallValue, arity, 0, std::move(name), {}, {}};
  }
  static Op call_race_value(std::vector<CallEntry> calls) {
    return Op{OpKind::CallRaceValue, 0, 0, {}, {}, std::move(calls)};
  }

  // The same instruction: where it came from is not part of it, so a program
  // read back from its IR text equals the compiled one.
  friend bool operator==(const Op& left, const Op& right) {
    return left.kind == right.kind && left.index == right.index &&
           left.distance == right.distance && left.name == right.name &&
           left.value == right.value && left.calls == right.calls;
  }
};

}  // namespace zolang
