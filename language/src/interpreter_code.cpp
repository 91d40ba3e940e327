#include "interpreter_code.hpp"

#include <bit>

namespace zolang {
namespace {

class Decoder {
 public:
  explicit Decoder(const std::vector<Op>& ops) : ops(ops) {}

  DecodedProgram run() {
    for (std::size_t i = 0; i < ops.size(); ++i) {
      if (ops[i].kind == OpKind::Label) program.labels[ops[i].name] = i;
    }
    program.code.reserve(ops.size() + 1);
    for (std::size_t i = 0; i < ops.size(); ++i) program.code.push_back(decode(ops[i], i));
    program.code.push_back(Instr{Code::Halt, 0, 0});
    for (NameSlot& slot : program.names) {
      auto label = program.labels.find(slot.name);
      if (label != program.labels.end()) slot.label = label->second;
    }
    return std::move(program);
  }

 private:
  Instr decode(const Op& op, std::size_t here) {
    Code code = static_cast<Code>(op.kind);
    switch (op.kind) {
      case OpKind::Load:
      case OpKind::Store:
        return Instr{code, 0, op.index};
      case OpKind::Get:
      case OpKind::Set:
        return Instr{code, slot(op.name), 0};
      case OpKind::Call:
        return Instr{code, slot(op.name), op.index};
      case OpKind::Push:
        return push(op.value);
      case OpKind::Jump:
      case OpKind::JumpUnless:
      case OpKind::JumpIf:
        return Instr{code, 0, target(here, op.distance)};
      case OpKind::CallParallel:
      case OpKind::CallRace:
        return Instr{code, call_list(op.calls), 0};
      default:
        return Instr{code, 0, 0};
    }
  }

  Instr push(const Value& value) {
    if (value.is_number()) {
      return Instr{Code::PushNumber, 0, std::bit_cast<std::size_t>(value.as_number())};
    }
    program.constants.push_back(value);
    return Instr{Code::Push, static_cast<std::uint32_t>(program.constants.size() - 1), 0};
  }

  // here + distance in machine-word arithmetic: a target before index 0 wraps
  // to a huge index, which like any index past the end means Halt.
  std::size_t target(std::size_t here, std::ptrdiff_t distance) const {
    std::size_t to = here + static_cast<std::size_t>(distance);
    return to < ops.size() ? to : ops.size();
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

static_assert(static_cast<Code>(OpKind::Return) == Code::Return);
static_assert(static_cast<Code>(OpKind::Load) == Code::Load);
static_assert(static_cast<Code>(OpKind::CallRace) == Code::CallRace);
static_assert(sizeof(Instr) == 16);

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
