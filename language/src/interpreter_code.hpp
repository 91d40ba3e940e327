// The interpreter's pre-decoded form of a program: one 16-byte instruction
// per Bytecode instruction (so an instruction's index stays its address),
// with jump targets and label entries resolved once, names and constants read
// from the program's own tables by id, and one extra Halt instruction after
// the last so that running off the end needs no bounds check.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "bytecode.hpp"
#include "context.hpp"
#include "native.hpp"
#include "op.hpp"
#include "value.hpp"

namespace zolang {

// The operators a fused form can end in, as Y(family, prefix, operator, suffix).
#define ZO_FUSED_ARITHMETIC(Y, family, prefix, suffix) \
  Y(family, prefix, Add, suffix)                       \
  Y(family, prefix, Sub, suffix) Y(family, prefix, Mul, suffix) Y(family, prefix, Div, suffix)
#define ZO_FUSED_COMPARISONS(Y, family, prefix, suffix) \
  Y(family, prefix, Lt, suffix)                         \
  Y(family, prefix, Le, suffix) Y(family, prefix, Gt, suffix) Y(family, prefix, Ge, suffix)
#define ZO_FUSED_OPERATORS(Y, family, prefix, suffix) \
  ZO_FUSED_ARITHMETIC(Y, family, prefix, suffix) ZO_FUSED_COMPARISONS(Y, family, prefix, suffix)

// The fused forms, one row per family: X(family, prefix, suffix, operators,
// parts, sequence). A family has one code per operator, named prefix,
// operator, suffix (ConstAdd, LoadConstLtJumpIf, LtJumpUnless), so that the
// operator costs no dispatch of its own. `parts` is the sequence it covers,
// one FusedPart per instruction; the decoder matches it and the run loop
// instantiates one case per operator from this table, so a new operator or
// family is a row here (and, for a family, its body in the run loop).
//
// A fused form stands at the index of the first instruction of a common
// sequence and runs the whole sequence in one dispatch when its operands are
// numbers in range; otherwise it runs as the plain first instruction, which
// keeps every error and its address exact. The instructions it covers keep
// their own decoded forms, so a jump into the sequence still works.
#define ZO_FUSED_FORMS(X)                                                                       \
  X(Const, Const, , ZO_FUSED_OPERATORS, (Number, Operator), "push k; op")                       \
  X(Slot, Slot, , ZO_FUSED_OPERATORS, (Load, Operator), "load a; op")                           \
  X(LoadConst, LoadConst, , ZO_FUSED_OPERATORS, (Load, Number, Operator), "load a; push k; op") \
  X(LoadConstStore, LoadConst, Store, ZO_FUSED_ARITHMETIC, (Load, Number, Operator, Store),     \
    "load a; push k; op; store b")                                                              \
  X(LoadConstJumpUnless, LoadConst, JumpUnless, ZO_FUSED_COMPARISONS,                           \
    (Load, Number, Operator, JumpUnless), "load a; push k; op; jump_unless d")                  \
  X(LoadConstJumpIf, LoadConst, JumpIf, ZO_FUSED_COMPARISONS, (Load, Number, Operator, JumpIf), \
    "load a; push k; op; jump_if d")                                                            \
  X(CompareJumpUnless, , JumpUnless, ZO_FUSED_COMPARISONS, (Operator, JumpUnless),              \
    "op; jump_unless d")                                                                        \
  X(CompareJumpIf, , JumpIf, ZO_FUSED_COMPARISONS, (Operator, JumpIf), "op; jump_if d")

// Internal opcodes: the OpKinds in their order, then specialised forms.
enum class Code : std::uint8_t {
#define ZO_PLAIN_CODE(kind, mnemonic, shape, effect, meaning) kind,
  ZO_INSTRUCTIONS(ZO_PLAIN_CODE)
#undef ZO_PLAIN_CODE
      PushNumber,  // push of a number; the operand holds the double's bits
  Halt,            // past the last instruction: the context has finished
  Trap,            // a debugger's breakpoint; the instruction it replaced is kept aside
#define ZO_FUSED_CODE(family, prefix, op, suffix) prefix##op##suffix,
#define ZO_FUSED_FAMILY_CODES(family, prefix, suffix, operators, parts, sequence) \
  operators(ZO_FUSED_CODE, family, prefix, suffix)
  ZO_FUSED_FORMS(ZO_FUSED_FAMILY_CODES)
#undef ZO_FUSED_FAMILY_CODES
#undef ZO_FUSED_CODE
};

// How many codes there are; the decoder makes no others.
#define ZO_FUSED_ONE_CODE(family, prefix, op, suffix) +1
#define ZO_FUSED_FAMILY_SIZE(family, prefix, suffix, operators, parts, sequence) \
  operators(ZO_FUSED_ONE_CODE, family, prefix, suffix)
inline constexpr std::size_t code_count =
    static_cast<std::size_t>(Code::Trap) + 1 ZO_FUSED_FORMS(ZO_FUSED_FAMILY_SIZE);
#undef ZO_FUSED_FAMILY_SIZE
#undef ZO_FUSED_ONE_CODE

// The plain code of an instruction kind.
constexpr Code plain_code(OpKind kind) { return static_cast<Code>(kind); }

enum class FusedFamily : std::uint8_t {
#define ZO_FUSED_FAMILY(family, prefix, suffix, operators, parts, sequence) family,
  ZO_FUSED_FORMS(ZO_FUSED_FAMILY)
#undef ZO_FUSED_FAMILY
};

#define ZO_FUSED_ONE(...) +1
inline constexpr std::size_t fused_family_count = 0 ZO_FUSED_FORMS(ZO_FUSED_ONE);
#undef ZO_FUSED_ONE

// One instruction of a fused sequence: what the decoder requires of it, and
// where the fused form keeps its operand (see Instr).
enum class FusedPart : std::uint8_t {
  Load,        // load of a slot that fits 32 bits: load_slot()
  Number,      // push of a number: number()
  Operator,    // one of the family's operators: the code
  Store,       // store to a slot that fits 16 bits: store_slot()
  JumpUnless,  // the jump: fused_offset() after a Number, else offset()
  JumpIf,
};

// The parts of a family, in order.
struct FusedPattern {
  template <std::size_t n>
  constexpr explicit FusedPattern(const FusedPart (&list)[n]) : size(n) {
    for (std::size_t i = 0; i < n; ++i) parts[i] = list[i];
  }
  FusedPart parts[4] = {};
  std::size_t size = 0;
};

#define ZO_FUSED_PARTS(...) __VA_ARGS__
constexpr FusedPattern fused_pattern(FusedFamily family) {
  using enum FusedPart;
  switch (family) {
#define ZO_FUSED_PATTERN(family, prefix, suffix, operators, parts, sequence) \
  case FusedFamily::family: {                                                \
    constexpr FusedPart list[] = {ZO_FUSED_PARTS parts};                     \
    return FusedPattern(list);                                               \
  }
    ZO_FUSED_FORMS(ZO_FUSED_PATTERN)
#undef ZO_FUSED_PATTERN
  }
  return FusedPattern({Operator});
}
#undef ZO_FUSED_PARTS

// How many instructions after its first a form of `family` covers.
constexpr std::ptrdiff_t fused_skip(FusedFamily family) {
  return static_cast<std::ptrdiff_t>(fused_pattern(family).size) - 1;
}

// Whether `op` is one of the operators of `family`.
constexpr bool fuses_operator(FusedFamily family, OpKind op) {
#define ZO_FUSED_IS(family, prefix, each, suffix) || OpKind::each == op
#define ZO_FUSED_HAS(family, prefix, suffix, operators, parts, sequence) \
  case FusedFamily::family:                                              \
    return false operators(ZO_FUSED_IS, family, prefix, suffix);
  switch (family) { ZO_FUSED_FORMS(ZO_FUSED_HAS) }
#undef ZO_FUSED_HAS
#undef ZO_FUSED_IS
  return false;
}

// The first code of each family.
constexpr Code first_fused_code(FusedFamily family) {
#define ZO_FUSED_COUNT(family, prefix, op, suffix) +1
  constexpr int sizes[] = {
#define ZO_FUSED_SIZE(family, prefix, suffix, operators, parts, sequence) \
  0 operators(ZO_FUSED_COUNT, family, prefix, suffix),
      ZO_FUSED_FORMS(ZO_FUSED_SIZE)
#undef ZO_FUSED_SIZE
  };
#undef ZO_FUSED_COUNT
  int code = static_cast<int>(Code::Trap) + 1;
  for (std::size_t i = 0; i < static_cast<std::size_t>(family); ++i) code += sizes[i];
  return static_cast<Code>(code);
}

// The place of operator `op` among the operators of `family`: how many of
// them come before it (each list follows the order of OpKind).
constexpr int fused_operator_index(FusedFamily family, OpKind op) {
#define ZO_FUSED_BEFORE(family, prefix, each, suffix) +(OpKind::each < op ? 1 : 0)
#define ZO_FUSED_INDEX(family, prefix, suffix, operators, parts, sequence) \
  case FusedFamily::family:                                                \
    return 0 operators(ZO_FUSED_BEFORE, family, prefix, suffix);
  switch (family) { ZO_FUSED_FORMS(ZO_FUSED_INDEX) }
#undef ZO_FUSED_INDEX
#undef ZO_FUSED_BEFORE
  return 0;
}

// The family of a fused code; none for a plain one.
constexpr std::optional<FusedFamily> fused_family_of(Code code) {
  if (code <= Code::Trap) return std::nullopt;
  std::size_t family = 0;
  while (family + 1 < fused_family_count &&
         code >= first_fused_code(static_cast<FusedFamily>(family + 1))) {
    ++family;
  }
  return static_cast<FusedFamily>(family);
}

// The code of the fused form of `family` for operator `op`.
constexpr Code fused_code(FusedFamily family, OpKind op) {
  return static_cast<Code>(static_cast<int>(first_fused_code(family)) +
                           fused_operator_index(family, op));
}

// Load and store slots are clamped to this: no stack gets that deep, so the
// instructions behave the same, and slot arithmetic cannot overflow.
inline constexpr std::size_t max_slot = std::size_t{1} << 48;

inline constexpr std::size_t no_label = std::numeric_limits<std::size_t>::max();

// One decoded instruction: 16 bytes. The fields are shared between forms;
// read them through the accessor that names what the form keeps there.
struct Instr {
  Code code = Code::Halt;
  std::int16_t small = 0;   // fused forms: the store slot or the jump's offset
  std::uint32_t index = 0;  // a table index or a fused form's load slot
  std::uint64_t word = 0;   // a slot, an arity, an offset or a number's bits

  // Load, Store: the slot (clamped to max_slot).
  std::size_t slot() const { return word; }
  // Call: the arity.
  std::size_t arity() const { return word; }
  // Jumps, and the compare-and-jump forms without a constant: the offset
  // from the next instruction.
  std::ptrdiff_t offset() const { return static_cast<std::ptrdiff_t>(word); }
  // PushNumber and the fused forms with a constant: the number.
  double number() const { return std::bit_cast<double>(word); }
  // Push: the index of the constant.
  std::uint32_t constant() const { return index; }
  // Get, Set, Call: the name slot.
  std::uint32_t name() const { return index; }
  // CallParallel, CallRace: the call list.
  std::uint32_t call_list() const { return index; }
  // Fused forms starting with a load: the slot loaded.
  std::uint32_t load_slot() const { return index; }
  // LoadConst...Store forms: the slot stored.
  std::ptrdiff_t store_slot() const { return small; }
  // LoadConst...Jump forms: the jump's offset from the instruction after
  // the load.
  std::ptrdiff_t fused_offset() const { return small; }
};

// A name of the program, with what it resolves to. Natives are bound when
// they are registered; labels when the program is decoded. Indexed by the
// name's id in the program.
struct NameSlot {
  std::string_view name;                   // the program's own text
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
  // Decodes `program`, which must outlive the result (names and constants
  // are read from it). A jump whose target lies outside the program is sent
  // to the Halt instruction; labels map to the last label of each name.
  static DecodedProgram decode(const EncodedProgram& program);

  // Resolves `name` to a registered native for every instruction naming it.
  void bind_property(std::string_view name, Prop* property);
  void bind_callable(std::string_view name, CallableGenerator* generator);
  // The label instruction of group `name`, if the program has one.
  std::optional<std::size_t> label_of(std::string_view name) const;

  std::vector<Instr> code;   // one per instruction, then Halt; fused where possible
  std::vector<Instr> plain;  // the same without fused forms
  const Value* constants = nullptr;
  std::vector<NameSlot> names;
  std::vector<std::vector<GroupEntry>> call_lists;
  const EncodedProgram* source = nullptr;
  // What the return of a group entered by a plain call does with what the
  // group left: dropped in a compiled program, kept in IR text.
  Frame::Leaving plain_call = Frame::Leaving::Keep;
};

// Whether decoding fuses common sequences (on by default). Tests turn it off
// to check that the plain instructions behave the same.
void set_fusion(bool enabled);

}  // namespace zolang
