// The interpreter's pre-decoded form of a program: one compact instruction per
// Op (so an instruction's index stays its address), with jump targets and
// label entries resolved once, constants and names moved to side tables, and
// one extra Halt instruction after the last so that running off the end needs
// no bounds check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "native.hpp"
#include "op.hpp"
#include "value.hpp"

namespace zolang {

// Internal opcodes: the OpKinds in their order, then specialised forms.
//
// A fused form stands at the index of the first instruction of a common
// sequence and runs the whole sequence in one dispatch when its operands are
// numbers in range; otherwise it runs as the plain first instruction, which
// keeps every error and its address exact. The instructions it covers keep
// their own decoded forms, so a jump into the sequence still works. Each form
// has one code per operator, in the order add, sub, mul, div, lt, le, gt, ge
// (see fused_code), so that the operator costs no dispatch of its own.
enum class Code : std::uint8_t {
  Load,
  Store,
  Get,
  Set,
  Push,
  Pop,
  Dup,
  Add,
  Sub,
  Mul,
  Div,
  Mod,
  Exp,
  Neg,
  Abs,
  And,
  Or,
  Not,
  Xor,
  Eq,
  Ne,
  Lt,
  Le,
  Gt,
  Ge,
  Jump,
  JumpUnless,
  JumpIf,
  Label,
  Call,
  CallParallel,
  CallRace,
  Yield,
  Return,
  PushNumber,  // push of a number; the operand holds the double's bits
  Halt,        // past the last instruction: the context has finished
  // push k; op
  ConstAdd,
  ConstSub,
  ConstMul,
  ConstDiv,
  ConstLt,
  ConstLe,
  ConstGt,
  ConstGe,
  // load a; op
  SlotAdd,
  SlotSub,
  SlotMul,
  SlotDiv,
  SlotLt,
  SlotLe,
  SlotGt,
  SlotGe,
  // load a; push k; op
  LoadConstAdd,
  LoadConstSub,
  LoadConstMul,
  LoadConstDiv,
  LoadConstLt,
  LoadConstLe,
  LoadConstGt,
  LoadConstGe,
  // load a; push k; add/sub/mul/div; store b
  LoadConstAddStore,
  LoadConstSubStore,
  LoadConstMulStore,
  LoadConstDivStore,
  // load a; push k; lt/le/gt/ge; jump_unless d
  LoadConstLtJumpUnless,
  LoadConstLeJumpUnless,
  LoadConstGtJumpUnless,
  LoadConstGeJumpUnless,
  // load a; push k; lt/le/gt/ge; jump_if d
  LoadConstLtJumpIf,
  LoadConstLeJumpIf,
  LoadConstGtJumpIf,
  LoadConstGeJumpIf,
  // lt/le/gt/ge; jump_unless d
  LtJumpUnless,
  LeJumpUnless,
  GtJumpUnless,
  GeJumpUnless,
  // lt/le/gt/ge; jump_if d
  LtJumpIf,
  LeJumpIf,
  GtJumpIf,
  GeJumpIf,
};

// The code of a fused form for operator `op`, given the form's first code
// (its add code, or its lt code for the comparison-only forms).
constexpr Code fused_code(Code first, OpKind op) {
  int index = op <= OpKind::Div ? static_cast<int>(op) - static_cast<int>(OpKind::Add)
                                : static_cast<int>(op) - static_cast<int>(OpKind::Lt) + 4;
  if (first >= Code::LoadConstLtJumpUnless) index -= 4;  // comparison-only forms
  return static_cast<Code>(static_cast<int>(first) + index);
}

// Load and store slots are clamped to this: no stack gets that deep, so the
// instructions behave the same, and slot arithmetic cannot overflow.
inline constexpr std::size_t max_slot = std::size_t{1} << 48;

inline constexpr std::size_t no_label = std::numeric_limits<std::size_t>::max();

// One decoded instruction.
struct Instr {
  Code code = Code::Halt;
  Code op = Code::Halt;    // fused forms: the operator
  std::int16_t extra = 0;  // fused forms: the store slot, a jump offset, or the jump's sense
  // Push: constant; Get/Set/Call: name slot; CallParallel/Race: call list;
  // fused forms: the load slot.
  std::uint32_t aux = 0;
  // Load/Store: slot; Call: arity; jumps: offset from the next instruction;
  // PushNumber and fused forms: the constant's bits (a compare-and-jump
  // form without constant: the jump offset).
  std::size_t operand = 0;
};

// A name used by get, set or call, with what it resolves to. Natives are
// bound when they are registered; labels when the program is decoded.
struct NameSlot {
  std::string name;
  Prop* property = nullptr;                // owned by the interpreter's registry
  CallableGenerator* generator = nullptr;  // likewise
  std::size_t label = no_label;            // index of the label instruction
};

// One entry of a call_parallel or call_race list.
struct GroupEntry {
  std::uint32_t slot;
  std::size_t arity;
};

struct DecodedProgram {
  // Decodes `ops`. A jump whose target lies outside the program is sent to the
  // Halt instruction; labels map to the last label of each name.
  static DecodedProgram decode(const std::vector<Op>& ops);

  // Resolves `name` to a registered native for every instruction naming it.
  void bind_property(std::string_view name, Prop* property);
  void bind_callable(std::string_view name, CallableGenerator* generator);

  std::vector<Instr> code;   // one per Op, then Halt; fused where possible
  std::vector<Instr> plain;  // the same without fused forms
  std::vector<Value> constants;
  std::vector<NameSlot> names;
  std::vector<std::vector<GroupEntry>> call_lists;
  NameMap<std::size_t> labels;
  NameMap<std::uint32_t> name_index;
};

}  // namespace zolang
