#include "bytecode.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>

namespace zolang {

namespace {

constexpr std::uint64_t max_inline = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t max_small = std::numeric_limits<std::uint16_t>::max();

bool fits_int32(std::ptrdiff_t value) {
  return value >= std::numeric_limits<std::int32_t>::min() &&
         value <= std::numeric_limits<std::int32_t>::max();
}

template <typename T>
std::size_t capacity_bytes(const std::vector<T>& table) {
  return table.capacity() * sizeof(T);
}

}  // namespace

EncodedProgram::EncodedProgram(const std::vector<Op>& ops) {
  instructions.reserve(ops.size());
  for (const Op& op : ops) append(op);
}

EncodedProgram::EncodedProgram(std::initializer_list<Op> ops) {
  for (const Op& op : ops) append(op);
}

// --- Reading ----------------------------------------------------------------

std::uint64_t EncodedProgram::slot(std::size_t index) const {
  const Instruction& instruction = instructions[index];
  return instruction.form == OperandForm::Wide ? words[instruction.operand] : instruction.operand;
}

std::ptrdiff_t EncodedProgram::distance(std::size_t index) const {
  const Instruction& instruction = instructions[index];
  if (instruction.form == OperandForm::Wide) {
    return static_cast<std::ptrdiff_t>(words[instruction.operand]);
  }
  return static_cast<std::int32_t>(instruction.operand);
}

std::uint32_t EncodedProgram::name_id(std::size_t index) const {
  const Instruction& instruction = instructions[index];
  if (shape_of(instruction.kind) == OperandShape::Call && instruction.form == OperandForm::Wide) {
    return static_cast<std::uint32_t>(words[instruction.operand]);
  }
  return instruction.operand;
}

std::uint64_t EncodedProgram::arity(std::size_t index) const {
  const Instruction& instruction = instructions[index];
  return instruction.form == OperandForm::Wide ? words[instruction.operand + 1] : instruction.small;
}

double EncodedProgram::number(std::size_t index) const {
  const Instruction& instruction = instructions[index];
  if (instruction.form == OperandForm::SmallInt) {
    return static_cast<std::int32_t>(instruction.operand);
  }
  return std::bit_cast<double>(words[instruction.operand]);
}

const Value& EncodedProgram::constant(std::size_t index) const {
  return constants[instructions[index].operand];
}

std::span<const CallSlot> EncodedProgram::calls(std::size_t index) const {
  std::uint32_t list = instructions[index].operand;
  return std::span<const CallSlot>(call_entries)
      .subspan(list_starts[list], list_starts[list + 1] - list_starts[list]);
}

SourcePosition EncodedProgram::position(std::size_t index) const { return lines.position(index); }

std::vector<SourcePosition> EncodedProgram::positions() const { return lines.positions(size()); }

SourcePosition EncodedProgram::call_position(std::size_t index, std::size_t entry) const {
  return entry_positions[list_starts[instructions[index].operand] + entry];
}

Op EncodedProgram::op(std::size_t index) const {
  Op op = op_at(index);
  op.position = position(index);
  return op;
}

Op EncodedProgram::op_at(std::size_t index) const {
  OpKind kind = this->kind(index);
  Op op = Op::simple(kind);
  switch (shape_of(kind)) {
    case OperandShape::None:
      break;
    case OperandShape::Slot:
      op.index = slot(index);
      break;
    case OperandShape::Name:
    case OperandShape::Label:
      op.name = names[name_id(index)];
      break;
    case OperandShape::Value:
      op.value = is_number(index) ? Value::number(number(index)) : constant(index);
      break;
    case OperandShape::Distance:
      op.distance = distance(index);
      break;
    case OperandShape::Call:
      op.name = names[name_id(index)];
      op.index = arity(index);
      break;
    case OperandShape::CallList: {
      std::span<const CallSlot> entries = calls(index);
      op.calls.reserve(entries.size());
      for (std::size_t entry = 0; entry < entries.size(); ++entry) {
        op.calls.push_back(CallEntry{names[entries[entry].name], entries[entry].arity,
                                     call_position(index, entry)});
      }
      break;
    }
  }
  return op;
}

std::vector<Op> EncodedProgram::ops() const {
  std::vector<Op> listing;
  listing.reserve(size());
  std::vector<SourcePosition> places = lines.positions(size());
  for (std::size_t index = 0; index < size(); ++index) {
    listing.push_back(op_at(index));
    listing.back().position = places[index];
  }
  return listing;
}

std::size_t EncodedProgram::probe(std::string_view text) const {
  std::size_t mask = name_table.size() - 1;
  std::size_t at = hash_name(text) & mask;
  while (name_table[at] != 0 && names[name_table[at] - 1] != text) at = (at + 1) & mask;
  return at;
}

std::optional<std::uint32_t> EncodedProgram::find_name(std::string_view text) const {
  if (name_table.empty()) return std::nullopt;
  std::uint32_t entry = name_table[probe(text)];
  if (entry == 0) return std::nullopt;
  return entry - 1;
}

// --- Appending --------------------------------------------------------------

std::uint32_t EncodedProgram::intern(std::string_view text) {
  // Kept at most half full, so that a probe ends soon at an empty entry.
  if ((names.size() + 1) * 2 > name_table.size()) {
    std::vector<std::uint32_t> grown(std::max<std::size_t>(16, name_table.size() * 2), 0);
    std::size_t mask = grown.size() - 1;
    for (std::uint32_t id = 0; id < names.size(); ++id) {
      std::size_t at = hash_name(names[id]) & mask;
      while (grown[at] != 0) at = (at + 1) & mask;
      grown[at] = id + 1;
    }
    name_table = std::move(grown);
  }
  std::size_t at = probe(text);
  if (name_table[at] != 0) return name_table[at] - 1;
  auto id = static_cast<std::uint32_t>(names.size());
  names.emplace_back(text);
  name_table[at] = id + 1;
  return id;
}

std::uint32_t EncodedProgram::add_word(std::uint64_t word) {
  words.push_back(word);
  return static_cast<std::uint32_t>(words.size() - 1);
}

void EncodedProgram::at(SourcePosition position) { here = position; }

void EncodedProgram::push(Instruction instruction) {
  lines.note(static_cast<std::uint32_t>(instructions.size()), here);
  instructions.push_back(instruction);
}

void EncodedProgram::emit(OpKind kind) { push(Instruction{kind, OperandForm::Inline, 0, 0}); }

void EncodedProgram::emit_slot(OpKind kind, std::uint64_t slot) {
  if (slot <= max_inline) {
    push(Instruction{kind, OperandForm::Inline, 0, static_cast<std::uint32_t>(slot)});
  } else {
    push(Instruction{kind, OperandForm::Wide, 0, add_word(slot)});
  }
}

void EncodedProgram::emit_name(OpKind kind, std::string_view name) {
  push(Instruction{kind, OperandForm::Inline, 0, intern(name)});
}

void EncodedProgram::emit_value(const Value& value) {
  if (value.is_number()) {
    emit_number(value.as_number());
    return;
  }
  constants.push_back(value);
  auto index = static_cast<std::uint32_t>(constants.size() - 1);
  push(Instruction{OpKind::Push, OperandForm::Constant, 0, index});
}

void EncodedProgram::emit_number(double number) {
  // Most numbers in programs are small integers: those need no word. The
  // range is checked first: converting a double out of range is undefined.
  bool in_range = number >= std::numeric_limits<std::int32_t>::min() &&
                  number <= std::numeric_limits<std::int32_t>::max();
  if (in_range) {
    auto integer = static_cast<std::int32_t>(number);
    if (integer == number && !(integer == 0 && std::signbit(number))) {
      push(
          Instruction{OpKind::Push, OperandForm::SmallInt, 0, static_cast<std::uint32_t>(integer)});
      return;
    }
  }
  push(Instruction{OpKind::Push, OperandForm::Number, 0,
                   add_word(std::bit_cast<std::uint64_t>(number))});
}

std::size_t EncodedProgram::emit_jump(OpKind kind, std::ptrdiff_t distance) {
  push(Instruction{kind, OperandForm::Inline, 0, 0});
  patch_distance(size() - 1, distance);
  return size() - 1;
}

void EncodedProgram::patch_distance(std::size_t index, std::ptrdiff_t distance) {
  Instruction& instruction = instructions[index];
  if (fits_int32(distance)) {
    instruction.form = OperandForm::Inline;
    instruction.operand = static_cast<std::uint32_t>(static_cast<std::int32_t>(distance));
  } else {
    instruction.form = OperandForm::Wide;
    instruction.operand = add_word(static_cast<std::uint64_t>(distance));
  }
}

void EncodedProgram::emit_call(std::string_view name, std::uint64_t arity, OpKind kind) {
  std::uint32_t id = intern(name);
  if (arity <= max_small) {
    push(Instruction{kind, OperandForm::Inline, static_cast<std::uint16_t>(arity), id});
  } else {
    std::uint32_t first = add_word(id);
    add_word(arity);
    push(Instruction{kind, OperandForm::Wide, 0, first});
  }
}

void EncodedProgram::emit_call_list(OpKind kind, const std::vector<CallEntry>& calls) {
  for (const CallEntry& call : calls) {
    call_entries.push_back(CallSlot{intern(call.name), call.arity});
    entry_positions.push_back(call.position);
  }
  auto list = static_cast<std::uint32_t>(list_starts.size() - 1);
  list_starts.push_back(static_cast<std::uint32_t>(call_entries.size()));
  push(Instruction{kind, OperandForm::Inline, 0, list});
}

void EncodedProgram::append(const Op& op) {
  at(op.position);
  switch (shape_of(op.kind)) {
    case OperandShape::None:
      emit(op.kind);
      return;
    case OperandShape::Slot:
      emit_slot(op.kind, op.index);
      return;
    case OperandShape::Name:
    case OperandShape::Label:
      emit_name(op.kind, op.name);
      return;
    case OperandShape::Value:
      emit_value(op.value);
      return;
    case OperandShape::Distance:
      emit_jump(op.kind, op.distance);
      return;
    case OperandShape::Call:
      emit_call(op.name, op.index, op.kind);
      return;
    case OperandShape::CallList:
      emit_call_list(op.kind, op.calls);
      return;
  }
}

void EncodedProgram::swap_code(CodeBuffer& buffer) {
  instructions.swap(buffer.code);
  std::swap(lines, buffer.lines);
  quiet_instructions.swap(buffer.quiet);
}

void EncodedProgram::append_code(const CodeBuffer& buffer) {
  const auto offset = static_cast<std::uint32_t>(instructions.size());
  lines.append(buffer.lines, offset);
  instructions.insert(instructions.end(), buffer.code.begin(), buffer.code.end());
  for (std::uint32_t address : buffer.quiet) quiet_instructions.push_back(address + offset);
}

void EncodedProgram::shrink() {
  instructions.shrink_to_fit();
  lines.shrink();
  names.shrink_to_fit();
  constants.shrink_to_fit();
  words.shrink_to_fit();
  quiet_instructions.shrink_to_fit();
}

std::size_t EncodedProgram::memory_bytes() const {
  std::size_t bytes = sizeof(EncodedProgram) + capacity_bytes(instructions) + lines.memory_bytes() +
                      capacity_bytes(names) + capacity_bytes(name_table) +
                      capacity_bytes(constants) + capacity_bytes(words) +
                      capacity_bytes(list_starts) + capacity_bytes(call_entries) +
                      capacity_bytes(entry_positions) + capacity_bytes(debug_scopes);
  auto string_bytes = [](const std::string& text) {
    return text.capacity() > std::string().capacity() ? text.capacity() + 1 : 0;
  };
  for (const std::string& name : names) bytes += string_bytes(name);
  for (const DebugScope& scope : debug_scopes) {
    bytes +=
        string_bytes(scope.group) + capacity_bytes(scope.variables) + capacity_bytes(scope.live);
    for (const std::string& variable : scope.variables) bytes += string_bytes(variable);
  }
  bytes += capacity_bytes(quiet_instructions) + capacity_bytes(used_properties);
  for (const std::string& name : used_properties) bytes += string_bytes(name);
  return bytes;
}

void DebugScope::shift(std::uint32_t offset) {
  first += offset;
  body_end += offset;
  end += offset;
  for (LiveRange& range : live) {
    range.first += offset;
    range.end += offset;
  }
}

// --- Line table -------------------------------------------------------------

namespace {

// Writes `value` at `out`, seven bits a byte, and returns the end.
std::uint8_t* put_varint(std::uint8_t* out, std::uint64_t value) {
  while (value >= 0x80) {
    *out++ = static_cast<std::uint8_t>(value | 0x80);
    value >>= 7;
  }
  *out++ = static_cast<std::uint8_t>(value);
  return out;
}

std::uint64_t get_varint(const std::uint8_t*& at) {
  std::uint64_t value = 0;
  for (int shift = 0;; shift += 7) {
    std::uint8_t byte = *at++;
    value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
    if (byte < 0x80) return value;
  }
}

}  // namespace

void LineTable::note(std::uint32_t index, SourcePosition position) {
  if (position == last.position) return;
  std::int64_t line_change =
      static_cast<std::int64_t>(position.line) - static_cast<std::int64_t>(last.position.line);
  const std::uint64_t distance = index - last.first;
  const std::uint64_t zigzag = (static_cast<std::uint64_t>(line_change) << 1) ^
                               static_cast<std::uint64_t>(line_change >> 63);
  last = LineRun{index, position};
  // Nearly every instruction starts a run, most of them three bytes: the
  // next instruction, on the same line or one near, in one of the first 127
  // columns.
  if ((distance | zigzag | position.column) < 0x80) {
    bytes.push_back(static_cast<std::uint8_t>(distance));
    bytes.push_back(static_cast<std::uint8_t>(zigzag));
    bytes.push_back(static_cast<std::uint8_t>(position.column));
    return;
  }
  std::uint8_t run[30];  // three varints of at most ten bytes
  std::uint8_t* end = put_varint(run, distance);
  end = put_varint(end, zigzag);
  end = put_varint(end, position.column);
  bytes.insert(bytes.end(), run, end);
}

LineRun LineTable::next_run(const std::uint8_t*& at, LineRun run) {
  run.first += static_cast<std::uint32_t>(get_varint(at));
  std::uint64_t zigzag = get_varint(at);
  auto line_change =
      static_cast<std::int64_t>(zigzag >> 1) ^ -static_cast<std::int64_t>(zigzag & 1);
  run.position.line = static_cast<std::uint32_t>(run.position.line + line_change);
  run.position.column = static_cast<std::uint32_t>(get_varint(at));
  return run;
}

void LineTable::append(const LineTable& other, std::uint32_t offset) {
  note(offset, other.position(0));
  // Runs are coded relative to the run before them, so once a run of `other`
  // is noted here as it stands there, the bytes of the runs after it read
  // the same in both tables and are copied as they are.
  const std::uint8_t* at = other.bytes.data();
  const std::uint8_t* end = at + other.bytes.size();
  LineRun run;
  while (at != end) {
    run = next_run(at, run);
    note(run.first + offset, run.position);
    if (last.first == run.first + offset && last.position == run.position) {
      bytes.insert(bytes.end(), at, end);
      last = LineRun{other.last.first + offset, other.last.position};
      return;
    }
  }
}

SourcePosition LineTable::position(std::size_t index) const {
  SourcePosition found;
  const std::uint8_t* at = bytes.data();
  const std::uint8_t* end = at + bytes.size();
  LineRun run;
  while (at != end) {
    run = next_run(at, run);
    if (run.first > index) break;
    found = run.position;
  }
  return found;
}

std::vector<SourcePosition> LineTable::positions(std::size_t count) const {
  std::vector<SourcePosition> places(count);
  std::size_t filled = 0;
  SourcePosition current;
  for_each_run([&](const LineRun& run) {
    for (; filled < count && filled < run.first; ++filled) places[filled] = current;
    current = run.position;
  });
  for (; filled < count; ++filled) places[filled] = current;
  return places;
}

}  // namespace zolang
