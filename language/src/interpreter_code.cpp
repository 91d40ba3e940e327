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

class Decoder {
 public:
  explicit Decoder(const std::vector<Op>& ops) : ops(ops) {}

  DecodedProgram run() {
    for (std::size_t i = 0; i < ops.size(); ++i) {
      if (ops[i].kind == OpKind::Label) program.labels[ops[i].name] = i;
    }
    program.code.reserve(ops.size() + 1);
    for (std::size_t i = 0; i < ops.size(); ++i) program.code.push_back(decode(ops[i], i));
    program.code.push_back(plain_instr(Code::Halt, 0, 0));
    program.plain = program.code;
    for (std::size_t i = 0; i < ops.size(); ++i) fuse(i);
    for (NameSlot& slot : program.names) {
      auto label = program.labels.find(slot.name);
      if (label != program.labels.end()) slot.label = label->second;
    }
    return std::move(program);
  }

 private:
  bool is_operator(std::size_t i) const {
    if (i >= ops.size()) return false;
    OpKind kind = ops[i].kind;
    return kind == OpKind::Add || kind == OpKind::Sub || kind == OpKind::Mul ||
           kind == OpKind::Div || is_comparison(i);
  }
  bool is_arithmetic(std::size_t i) const { return is_operator(i) && !is_comparison(i); }
  bool is_comparison(std::size_t i) const {
    if (i >= ops.size()) return false;
    OpKind kind = ops[i].kind;
    return kind == OpKind::Lt || kind == OpKind::Le || kind == OpKind::Gt || kind == OpKind::Ge;
  }
  bool is_conditional_jump(std::size_t i) const {
    return i < ops.size() && (ops[i].kind == OpKind::JumpUnless || ops[i].kind == OpKind::JumpIf);
  }
  bool is_number_push(std::size_t i) const {
    return i < ops.size() && ops[i].kind == OpKind::Push && ops[i].value.is_number();
  }
  bool is_small_load(std::size_t i) const {
    return i < ops.size() && ops[i].kind == OpKind::Load && ops[i].index <= UINT32_MAX;
  }
  bool is_small_store(std::size_t i) const {
    return i < ops.size() && ops[i].kind == OpKind::Store && ops[i].index <= INT16_MAX;
  }
  // The offset from index `from` to where the jump at `jump` leads.
  std::ptrdiff_t jump_offset(std::size_t from, std::size_t jump) const {
    std::size_t to = jump + static_cast<std::size_t>(ops[jump].distance);
    if (to > ops.size()) to = ops.size();
    return static_cast<std::ptrdiff_t>(to) - static_cast<std::ptrdiff_t>(from);
  }

  // Replaces the instruction at `i` by the longest fused form that starts
  // there, if any.
  void fuse(std::size_t i) {
    Instr fused;
    fused.index = is_small_load(i) ? static_cast<std::uint32_t>(ops[i].index) : 0;
    if (is_small_load(i) && is_number_push(i + 1) && is_operator(i + 2)) {
      fused.word = std::bit_cast<std::uint64_t>(ops[i + 1].value.as_number());
      OpKind op = ops[i + 2].kind;
      if (is_arithmetic(i + 2) && is_small_store(i + 3)) {
        fused.code = fused_code(FusedFamily::LoadConstStore, op);
        fused.small = static_cast<std::int16_t>(ops[i + 3].index);
      } else if (is_comparison(i + 2) && is_conditional_jump(i + 3) &&
                 fits_int16(jump_offset(i + 1, i + 3))) {
        bool jump_if = ops[i + 3].kind == OpKind::JumpIf;
        fused.code = fused_code(
            jump_if ? FusedFamily::LoadConstJumpIf : FusedFamily::LoadConstJumpUnless, op);
        fused.small = static_cast<std::int16_t>(jump_offset(i + 1, i + 3));
      } else {
        fused.code = fused_code(FusedFamily::LoadConst, op);
      }
    } else if (is_small_load(i) && is_operator(i + 1)) {
      fused.code = fused_code(FusedFamily::Slot, ops[i + 1].kind);
    } else if (is_number_push(i) && is_operator(i + 1)) {
      fused.code = fused_code(FusedFamily::Const, ops[i + 1].kind);
      fused.word = std::bit_cast<std::uint64_t>(ops[i].value.as_number());
    } else if (is_comparison(i) && is_conditional_jump(i + 1)) {
      bool jump_if = ops[i + 1].kind == OpKind::JumpIf;
      fused.code = fused_code(jump_if ? FusedFamily::CompareJumpIf : FusedFamily::CompareJumpUnless,
                              ops[i].kind);
      fused.word = static_cast<std::uint64_t>(jump_offset(i + 1, i + 1));
    } else {
      return;
    }
    program.code[i] = fused;
  }

  static bool fits_int16(std::ptrdiff_t value) { return value >= INT16_MIN && value <= INT16_MAX; }

  Instr decode(const Op& op, std::size_t here) {
    Code code = plain_code(op.kind);
    switch (shape_of(op.kind)) {
      case OperandShape::None:
      case OperandShape::Label:
        return plain_instr(code, 0, 0);
      case OperandShape::Slot:
        return plain_instr(code, 0, std::min(op.index, max_slot));
      case OperandShape::Name:
        return plain_instr(code, slot(op.name), 0);
      case OperandShape::Call:
        return plain_instr(code, slot(op.name), op.index);
      case OperandShape::Value:
        return push(op.value);
      case OperandShape::Distance:
        return plain_instr(code, 0, offset(here, op.distance));
      case OperandShape::CallList:
        return plain_instr(code, call_list(op.calls), 0);
    }
    return plain_instr(code, 0, 0);
  }

  Instr push(const Value& value) {
    if (value.is_number()) {
      return plain_instr(Code::PushNumber, 0, std::bit_cast<std::uint64_t>(value.as_number()));
    }
    program.constants.push_back(value);
    return plain_instr(Code::Push, static_cast<std::uint32_t>(program.constants.size() - 1), 0);
  }

  // The target is here + distance in machine-word arithmetic: one before
  // index 0 wraps to a huge index, which like any index past the end means
  // Halt. The run loop adds the offset to the pointer past the jump.
  std::size_t offset(std::size_t here, std::ptrdiff_t distance) const {
    std::size_t to = here + static_cast<std::size_t>(distance);
    if (to > ops.size()) to = ops.size();
    return static_cast<std::size_t>(static_cast<std::ptrdiff_t>(to) -
                                    static_cast<std::ptrdiff_t>(here + 1));
  }

  std::uint32_t slot(const std::string& name) {
    auto found = program.name_index.find(name);
    if (found != program.name_index.end()) return found->second;
    auto index = static_cast<std::uint32_t>(program.names.size());
    program.names.push_back(NameSlot{name});
    program.name_index.emplace(name, index);
    return index;
  }

  std::uint32_t call_list(const std::vector<CallEntry>& calls) {
    std::vector<GroupEntry> entries;
    entries.reserve(calls.size());
    for (const CallEntry& call : calls) entries.push_back(GroupEntry{slot(call.name), call.arity});
    program.call_lists.push_back(std::move(entries));
    return static_cast<std::uint32_t>(program.call_lists.size() - 1);
  }

  const std::vector<Op>& ops;
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

DecodedProgram DecodedProgram::decode(const std::vector<Op>& ops) { return Decoder(ops).run(); }

void DecodedProgram::bind_property(std::string_view name, Prop* property) {
  auto found = name_index.find(name);
  if (found != name_index.end()) names[found->second].property = property;
}

void DecodedProgram::bind_callable(std::string_view name, CallableGenerator* generator) {
  auto found = name_index.find(name);
  if (found != name_index.end()) names[found->second].generator = generator;
}

}  // namespace zolang
