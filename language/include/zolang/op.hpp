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

enum class OpKind : std::uint8_t {
  Load,          // load a: push a copy of stack[base + a]
  Store,         // store a: pop into stack[base + a] when above it, else nothing
  Get,           // get name: push the property's current value
  Set,           // set name: pop a value into the property
  Push,          // push v: push a copy of v
  Pop,           // pop: drop the top value (nothing on an empty stack)
  Dup,           // dup: push a copy of the top value
  Add,           // add: numbers add, strings concatenate
  Sub,           // sub: left - right
  Mul,           // mul: left * right
  Div,           // div: left / right, IEEE
  Mod,           // mod: fmod(left, right)
  Exp,           // exp: pow(left, right)
  Neg,           // neg: negate the top number in place
  Abs,           // abs: clear the sign of the top number in place
  And,           // and: push truthy(left) && truthy(right)
  Or,            // or: push truthy(left) || truthy(right)
  Not,           // not: replace the top with !truthy(top)
  Xor,           // xor: push truthy(left) != truthy(right)
  Eq,            // eq: push left equals right
  Ne,            // ne: push left does not equal right
  Lt,            // lt: numbers only, left < right
  Le,            // le: numbers only, left <= right
  Gt,            // gt: numbers only, left > right
  Ge,            // ge: numbers only, left >= right
  Jump,          // jump d: continue at here + d
  JumpUnless,    // jump_unless d: pop; falsy continues at here + d
  JumpIf,        // jump_if d: pop; truthy continues at here + d
  Label,         // name: no effect; marks the entry of group `name`
  Call,          // call name n: native call or group call with n arguments
  CallParallel,  // call_parallel list: one child per entry, wait for all
  CallRace,      // call_race list: one child per entry, wait for the first
  Yield,         // yield: end this context's turn
  Return,        // return: leave the group frame, or finish the context
};

inline constexpr std::size_t op_kind_count = 34;

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

  // The same instruction: where it came from is not part of it, so a program
  // read back from its IR text equals the compiled one.
  friend bool operator==(const Op& left, const Op& right) {
    return left.kind == right.kind && left.index == right.index &&
           left.distance == right.distance && left.name == right.name &&
           left.value == right.value && left.calls == right.calls;
  }
};

}  // namespace zolang
