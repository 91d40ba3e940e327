#include "interpreter_code.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <optional>

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

// Whether the first part of a pattern accepts an instruction of `kind`.
constexpr bool starts_with(FusedFamily family, OpKind kind) {
  switch (fused_pattern(family).parts[0]) {
    case FusedPart::Load:
      return kind == OpKind::Load;
    case FusedPart::Number:
      return kind == OpKind::Push;
    case FusedPart::Operator:
      return fuses_operator(family, kind);
    case FusedPart::Store:
      return kind == OpKind::Store;
    case FusedPart::JumpUnless:
      return kind == OpKind::JumpUnless;
    case FusedPart::JumpIf:
      return kind == OpKind::JumpIf;
  }
  return false;
}

// For each instruction kind, the families that may start with it, longest
// first, so that the first match is the longest form.
struct Candidates {
  FusedFamily families[fused_family_count] = {};
  std::size_t size = 0;
  const FusedFamily* begin() const { return families; }
  const FusedFamily* end() const { return families + size; }
};
constexpr std::array<Candidates, op_kind_count> find_candidates() {
  std::array<Candidates, op_kind_count> table{};
  for (std::size_t kind = 0; kind < op_kind_count; ++kind) {
    for (std::size_t length = 4; length > 0; --length) {
      for (std::size_t each = 0; each < fused_family_count; ++each) {
        auto family = static_cast<FusedFamily>(each);
        if (fused_pattern(family).size != length) continue;
        if (!starts_with(family, static_cast<OpKind>(kind))) continue;
        table[kind].families[table[kind].size++] = family;
      }
    }
  }
  return table;
}
inline constexpr std::array<Candidates, op_kind_count> candidates = find_candidates();

class Decoder {
 public:
  explicit Decoder(const EncodedProgram& ops) : ops(ops) {}

  DecodedProgram run() {
    program.source = &ops;
    program.constants = ops.constant_table().data();
    program.plain_call = ops.groups_clean_up() ? Frame::Leaving::Drop : Frame::Leaving::Keep;
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

  // The offset from index `from` to where the jump at `jump` leads. The
  // target is computed in machine-word arithmetic: one before index 0 wraps
  // to a huge index, which like any index past the end means Halt. The run
  // loop adds the offset to its pointer at `from`.
  std::ptrdiff_t jump_offset(std::size_t from, std::size_t jump) const {
    std::size_t to = jump + static_cast<std::size_t>(ops.distance(jump));
    if (to > ops.size()) to = ops.size();
    return static_cast<std::ptrdiff_t>(to) - static_cast<std::ptrdiff_t>(from);
  }

  // Replaces the instruction at `i` by the longest fused form that starts
  // there, if any.
  void fuse(std::size_t i) {
    for (FusedFamily family : candidates[static_cast<std::size_t>(kind(i))]) {
      if (auto fused = match(family, i)) {
        program.code[i] = *fused;
        return;
      }
    }
  }

  // The fused form of `family` for the sequence at `i`, when it is one.
  std::optional<Instr> match(FusedFamily family, std::size_t i) const {
    const FusedPattern pattern = fused_pattern(family);
    if (pattern.size > ops.size() - i) return std::nullopt;
    Instr fused;
    OpKind op = OpKind::Add;
    bool has_number = false;
    for (std::size_t part = 0; part < pattern.size; ++part) {
      std::size_t at = i + part;
      switch (pattern.parts[part]) {
        case FusedPart::Load:
          if (kind(at) != OpKind::Load || ops.slot(at) > UINT32_MAX) return std::nullopt;
          fused.index = static_cast<std::uint32_t>(ops.slot(at));
          break;
        case FusedPart::Number:
          if (kind(at) != OpKind::Push || !ops.is_number(at)) return std::nullopt;
          fused.word = std::bit_cast<std::uint64_t>(ops.number(at));
          has_number = true;
          break;
        case FusedPart::Operator:
          if (!fuses_operator(family, kind(at))) return std::nullopt;
          op = kind(at);
          break;
        case FusedPart::Store:
          if (kind(at) != OpKind::Store || ops.slot(at) > INT16_MAX) return std::nullopt;
          fused.small = static_cast<std::int16_t>(ops.slot(at));
          break;
        case FusedPart::JumpUnless:
        case FusedPart::JumpIf: {
          OpKind jump =
              pattern.parts[part] == FusedPart::JumpIf ? OpKind::JumpIf : OpKind::JumpUnless;
          if (kind(at) != jump) return std::nullopt;
          // From the instruction after the first, where the loop's pc stands.
          std::ptrdiff_t offset = jump_offset(i + 1, at);
          if (!has_number) {
            fused.word = static_cast<std::uint64_t>(offset);
          } else if (fits_int16(offset)) {
            fused.small = static_cast<std::int16_t>(offset);
          } else {
            return std::nullopt;
          }
          break;
        }
      }
    }
    fused.code = fused_code(family, op);
    return fused;
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
        return plain_instr(code, 0, static_cast<std::uint64_t>(jump_offset(here + 1, here)));
      case OperandShape::CallList:
        return plain_instr(code, call_list(here), 0);
    }
    return plain_instr(code, 0, 0);
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
static_assert(code_count == static_cast<std::size_t>(Code::GeJumpIf) + 1);
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
