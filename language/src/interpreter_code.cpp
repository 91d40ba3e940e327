#include "interpreter_code.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>

namespace zolang {
namespace {

Instr plain_instr(Code code, std::uint32_t index, std::uint64_t word) {
  Instr instr;
  instr.code = code;
  instr.index = index;
  instr.word = word;
  return instr;
}

bool fusion_enabled = true;

class Decoder {
 public:
  explicit Decoder(const EncodedProgram& ops) : ops(ops) {}

  DecodedProgram run() {
    program.source = &ops;
    program.constants = ops.constant_table().data();
    program.names.resize(ops.name_count());
    for (std::uint32_t id = 0; id < ops.name_count(); ++id) program.names[id].name = ops.name(id);
    for (std::size_t i = 0; i < ops.size(); ++i) {
      if (ops.kind(i) == OpKind::Label) program.names[ops.name_id(i)].label = i;
    }
    program.code.reserve(ops.size() + 1);
    for (std::size_t i = 0; i < ops.size(); ++i) program.code.push_back(decode(i));
    program.code.push_back(plain_instr(Code::Halt, 0, 0));
    program.plain = program.code;
    if (fusion_enabled) {
      for (std::size_t i = 0; i < ops.size(); ++i) fuse(i);
    }
    return std::move(program);
  }

 private:
  OpKind kind(std::size_t i) const { return ops.kind(i); }
  bool is_operator(std::size_t i) const {
    if (i >= ops.size()) return false;
    OpKind kind = ops.kind(i);
    return kind == OpKind::Add || kind == OpKind::Sub || kind == OpKind::Mul ||
           kind == OpKind::Div || is_comparison(i);
  }
  bool is_arithmetic(std::size_t i) const { return is_operator(i) && !is_comparison(i); }
  bool is_comparison(std::size_t i) const {
    if (i >= ops.size()) return false;
    OpKind kind = ops.kind(i);
    return kind == OpKind::Lt || kind == OpKind::Le || kind == OpKind::Gt || kind == OpKind::Ge;
  }
  bool is_conditional_jump(std::size_t i) const {
    return i < ops.size() && (kind(i) == OpKind::JumpUnless || kind(i) == OpKind::JumpIf);
  }
  bool is_number_push(std::size_t i) const {
    return i < ops.size() && kind(i) == OpKind::Push && ops.is_number(i);
  }
  bool is_small_load(std::size_t i) const {
    return i < ops.size() && kind(i) == OpKind::Load && ops.slot(i) <= UINT32_MAX;
  }
  bool is_small_store(std::size_t i) const {
    return i < ops.size() && kind(i) == OpKind::Store && ops.slot(i) <= INT16_MAX;
  }
  // The offset from index `from` to where the jump at `jump` leads.
  std::ptrdiff_t jump_offset(std::size_t from, std::size_t jump) const {
    std::size_t to = jump + static_cast<std::size_t>(ops.distance(jump));
    if (to > ops.size()) to = ops.size();
    return static_cast<std::ptrdiff_t>(to) - static_cast<std::ptrdiff_t>(from);
  }

  // Replaces the instruction at `i` by the longest fused form that starts
  // there, if any.
  void fuse(std::size_t i) {
    Instr fused;
    fused.index = is_small_load(i) ? static_cast<std::uint32_t>(ops.slot(i)) : 0;
    if (is_small_load(i) && is_number_push(i + 1) && is_operator(i + 2)) {
      fused.word = std::bit_cast<std::uint64_t>(ops.number(i + 1));
      OpKind op = kind(i + 2);
      if (is_arithmetic(i + 2) && is_small_store(i + 3)) {
        fused.code = fused_code(FusedFamily::LoadConstStore, op);
        fused.small = static_cast<std::int16_t>(ops.slot(i + 3));
      } else if (is_comparison(i + 2) && is_conditional_jump(i + 3) &&
                 fits_int16(jump_offset(i + 1, i + 3))) {
        bool jump_if = kind(i + 3) == OpKind::JumpIf;
        fused.code = fused_code(
            jump_if ? FusedFamily::LoadConstJumpIf : FusedFamily::LoadConstJumpUnless, op);
        fused.small = static_cast<std::int16_t>(jump_offset(i + 1, i + 3));
      } else {
        fused.code = fused_code(FusedFamily::LoadConst, op);
      }
    } else if (is_small_load(i) && is_operator(i + 1)) {
      fused.code = fused_code(FusedFamily::Slot, kind(i + 1));
    } else if (is_number_push(i) && is_operator(i + 1)) {
      fused.code = fused_code(FusedFamily::Const, kind(i + 1));
      fused.word = std::bit_cast<std::uint64_t>(ops.number(i));
    } else if (is_comparison(i) && is_conditional_jump(i + 1)) {
      bool jump_if = kind(i + 1) == OpKind::JumpIf;
      fused.code = fused_code(jump_if ? FusedFamily::CompareJumpIf : FusedFamily::CompareJumpUnless,
                              kind(i));
      fused.word = static_cast<std::uint64_t>(jump_offset(i + 1, i + 1));
    } else {
      return;
    }
    program.code[i] = fused;
  }

  static bool fits_int16(std::ptrdiff_t value) { return value >= INT16_MIN && value <= INT16_MAX; }

  Instr decode(std::size_t here) {
    OpKind kind = ops.kind(here);
    Code code = plain_code(kind);
    switch (shape_of(kind)) {
      case OperandShape::None:
      case OperandShape::Label:
        return plain_instr(code, 0, 0);
      case OperandShape::Slot:
        return plain_instr(code, 0, std::min<std::uint64_t>(ops.slot(here), max_slot));
      case OperandShape::Name:
        return plain_instr(code, ops.name_id(here), 0);
      case OperandShape::Call:
        return plain_instr(code, ops.name_id(here), ops.arity(here));
      case OperandShape::Value:
        if (ops.is_number(here)) {
          return plain_instr(Code::PushNumber, 0, std::bit_cast<std::uint64_t>(ops.number(here)));
        }
        return plain_instr(code, ops.constant_index(here), 0);
      case OperandShape::Distance:
        return plain_instr(code, 0, offset(here, ops.distance(here)));
      case OperandShape::CallList:
        return plain_instr(code, call_list(here), 0);
    }
    return plain_instr(code, 0, 0);
  }

  // The target is here + distance in machine-word arithmetic: one before
  // index 0 wraps to a huge index, which like any index past the end means
  // Halt. The run loop adds the offset to the pointer past the jump.
  std::uint64_t offset(std::size_t here, std::ptrdiff_t distance) const {
    std::size_t to = here + static_cast<std::size_t>(distance);
    if (to > ops.size()) to = ops.size();
    return static_cast<std::uint64_t>(static_cast<std::ptrdiff_t>(to) -
                                      static_cast<std::ptrdiff_t>(here + 1));
  }

  std::uint32_t call_list(std::size_t here) {
    std::vector<GroupEntry> entries;
    for (const CallSlot& call : ops.calls(here)) {
      entries.push_back(GroupEntry{call.name, call.arity});
    }
    program.call_lists.push_back(std::move(entries));
    return static_cast<std::uint32_t>(program.call_lists.size() - 1);
  }

  const EncodedProgram& ops;
  DecodedProgram program;
};

static_assert(sizeof(Instr) == 16);
static_assert(fused_code(FusedFamily::Const, OpKind::Ge) == Code::ConstGe);
static_assert(fused_code(FusedFamily::Slot, OpKind::Div) == Code::SlotDiv);
static_assert(fused_code(FusedFamily::LoadConstStore, OpKind::Div) == Code::LoadConstDivStore);
static_assert(fused_code(FusedFamily::LoadConstJumpUnless, OpKind::Ge) ==
              Code::LoadConstGeJumpUnless);
static_assert(fused_code(FusedFamily::LoadConstJumpIf, OpKind::Le) == Code::LoadConstLeJumpIf);
static_assert(fused_code(FusedFamily::CompareJumpUnless, OpKind::Gt) == Code::GtJumpUnless);
static_assert(fused_code(FusedFamily::CompareJumpIf, OpKind::Lt) == Code::LtJumpIf);

}  // namespace

void set_fusion(bool enabled) { fusion_enabled = enabled; }

DecodedProgram DecodedProgram::decode(const EncodedProgram& ops) { return Decoder(ops).run(); }

void DecodedProgram::bind_property(std::string_view name, Prop* property) {
  if (auto id = source->find_name(name)) names[*id].property = property;
}

void DecodedProgram::bind_callable(std::string_view name, CallableGenerator* generator) {
  if (auto id = source->find_name(name)) names[*id].generator = generator;
}

std::optional<std::size_t> DecodedProgram::label_of(std::string_view name) const {
  auto id = source->find_name(name);
  if (!id || names[*id].label == no_label) return std::nullopt;
  return names[*id].label;
}

}  // namespace zolang
