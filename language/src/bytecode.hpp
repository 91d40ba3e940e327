// The encoding of a compiled program, as the compiler and the IR reader
// write it and the interpreter decodes it; hosts hold it only behind the
// Bytecode handle (program.hpp). Each instruction takes 8 bytes; what does
// not fit lives in side tables shared by the whole program: names interned
// once (an instruction holds the name's id), constants, 64-bit words
// (numbers, wide slots, distances and arities), and call lists. Where each
// instruction was written is kept as a line table of runs, one per change of
// place, read only to explain a failure.
//
// Ops, with their owned strings and values, are made only on request (op,
// ops), for hosts and tests that want a listing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "names.hpp"
#include "op.hpp"
#include "position.hpp"
#include "value.hpp"

namespace zolang {

// How an instruction's operand field is to be read.
enum class OperandForm : std::uint8_t {
  Inline,    // the operand itself (a slot, a distance, a name id, a list index)
  Wide,      // an index into the words; a call keeps its name and arity there
  Number,    // push: an index into the words, holding the double's bits
  SmallInt,  // push: a number that is a 32-bit integer, as the operand itself
  Constant,  // push: an index into the constants
};

struct Instruction {
  OpKind kind = OpKind::Pop;
  OperandForm form = OperandForm::Inline;
  std::uint16_t small = 0;  // call: the arity, when the form is Inline
  std::uint32_t operand = 0;
};

// One entry of a call list.
struct CallSlot {
  std::uint32_t name = 0;
  std::uint64_t arity = 0;
};

// From instruction `first` on, up to the next run, the place is `position`.
struct LineRun {
  std::uint32_t first = 0;
  SourcePosition position;
};

// Where each instruction was written, as runs: one per change of place, a
// few bytes each (the instructions since the last run, the change of line,
// the column). Read only to explain a failure, so a lookup walks the runs.
class LineTable {
 public:
  // Instruction `index` (noted in increasing order) was written at `position`.
  void note(std::uint32_t index, SourcePosition position);
  // Notes the places of `other`, whose instruction 0 is `offset` here.
  void append(const LineTable& other, std::uint32_t offset);
  SourcePosition position(std::size_t index) const;
  // The place of each of the first `count` instructions.
  std::vector<SourcePosition> positions(std::size_t count) const;
  std::size_t memory_bytes() const { return bytes.capacity(); }
  void clear() {
    bytes.clear();
    last = {};
  }
  // The bytes of the runs, and room for `count` bytes of them in all.
  std::size_t byte_size() const { return bytes.size(); }
  void reserve(std::size_t count) { bytes.reserve(count); }
  // Gives back unused room when it is worth a copy of the table.
  void shrink() {
    if (bytes.capacity() - bytes.size() > bytes.size() / 16) bytes.shrink_to_fit();
  }

 private:
  // The run coded at `at`, which follows `previous`; moves `at` past it.
  static LineRun next_run(const std::uint8_t*& at, LineRun previous);
  // Calls `visit(run)` for each run in order.
  template <typename Visit>
  void for_each_run(Visit&& visit) const {
    const std::uint8_t* at = bytes.data();
    const std::uint8_t* end = at + bytes.size();
    LineRun run;
    while (at != end) {
      run = next_run(at, run);
      visit(run);
    }
  }

  std::vector<std::uint8_t> bytes;
  LineRun last;  // before any run: unknown from instruction 0
};

// Instructions with their line table, apart from a program's tables: the
// compiler fills one per group body and joins them once at the end.
struct CodeBuffer {
  std::vector<Instruction> code;
  LineTable lines;
  std::vector<std::uint32_t> quiet;  // see EncodedProgram::quiet

  // Empties the buffer, keeping its room.
  void clear() {
    code.clear();
    lines.clear();
    quiet.clear();
  }
};

// Where a variable holds its value: at the instructions [first, end), from
// its first store in a block to the end of that block. Elsewhere its slot
// may hold nothing yet, or what another variable or a called group left
// there. `variable` is its slot.
struct LiveRange {
  std::uint32_t variable = 0;
  std::uint32_t first = 0;
  std::uint32_t end = 0;
};

// The variables of one scope, for a debugger: their names by stack slot
// (from the frame's base), and where in the code each holds its value.
// Scopes are named by their group; the main program's is "". Addresses
// count from the scope's own first instruction until the program is
// assembled, and from the program's first after.
struct DebugScope {
  std::string group;
  // The scope's instructions are [first, end). A group's begin with its
  // label and end with its closing instructions (a pop per value parameter,
  // then return) from body_end on; the main code's body_end is its end.
  std::uint32_t first = 0;
  std::uint32_t body_end = 0;
  std::uint32_t end = 0;
  // A group's value parameters, its first slots: they hold their values
  // over its whole body, [first, body_end).
  std::uint32_t parameters = 0;
  std::vector<std::string> variables;  // by slot
  std::vector<LiveRange> live;         // the other variables', by slot, then by address

  // Moves every address by `offset`, as assembling places the scope.
  void shift(std::uint32_t offset);
  bool covers(std::size_t address) const { return first <= address && address < end; }
  // A group's label and closing instructions carry its header's place: a
  // debugger that stopped there would seem to enter the group again.
  bool is_frame_code(std::size_t address) const {
    return (!group.empty() && address == first) || (body_end <= address && address < end);
  }
};

class EncodedProgram {
 public:
  EncodedProgram() = default;
  // From a listing, with its places. Implicit, so that tests can pass a
  // listing wherever a program is wanted.
  EncodedProgram(const std::vector<Op>& ops);
  EncodedProgram(std::initializer_list<Op> ops);

  std::size_t size() const { return instructions.size(); }
  bool empty() const { return instructions.empty(); }

  // The instruction at `index` as an Op, with its place; and all of them.
  Op op(std::size_t index) const;
  std::vector<Op> ops() const;

  // Reading one instruction's operands; each for its kind's shape only.
  OpKind kind(std::size_t index) const { return instructions[index].kind; }
  std::uint64_t slot(std::size_t index) const;       // Slot
  std::ptrdiff_t distance(std::size_t index) const;  // Distance
  std::uint32_t name_id(std::size_t index) const;    // Name, Call, Label
  std::uint64_t arity(std::size_t index) const;      // Call
  bool is_number(std::size_t index) const {          // Value
    OperandForm form = instructions[index].form;
    return form == OperandForm::Number || form == OperandForm::SmallInt;
  }
  double number(std::size_t index) const;                  // Value, when a number
  const Value& constant(std::size_t index) const;          // Value, when not a number
  std::uint32_t constant_index(std::size_t index) const {  // its index in constant_table
    return instructions[index].operand;
  }
  std::span<const CallSlot> calls(std::size_t index) const;  // CallList
  // Where the instruction, or entry `entry` of its call list, was written.
  SourcePosition position(std::size_t index) const;
  SourcePosition call_position(std::size_t index, std::size_t entry) const;
  // The place of every instruction, in one walk of the line table.
  std::vector<SourcePosition> positions() const;

  // The compiler's record of every scope's variables, travelling with the
  // program as the line table does: one for each group body and one for the
  // main code, in the order of their code; none for a program read from IR
  // text or built from a listing.
  const std::vector<DebugScope>& scopes() const { return debug_scopes; }
  void note_scope(DebugScope scope) { debug_scopes.push_back(std::move(scope)); }
  // The instructions, in order, where no line starts for a debugger
  // although they carry one: the jump that closes an `if`'s first branch
  // carries the keyword's place, and a step stopping there would seem to
  // go back. Noted by the compiler (note_quiet marks the next instruction
  // appended); none for IR text.
  const std::vector<std::uint32_t>& quiet() const { return quiet_instructions; }
  void note_quiet() { quiet_instructions.push_back(static_cast<std::uint32_t>(size())); }
  // The properties the program declares with `use`, whether or not its
  // code reads them, for a debugger to show; none for IR text.
  const std::vector<std::string>& declared_properties() const { return used_properties; }
  void note_property(std::string name) { used_properties.push_back(std::move(name)); }

  // Whether a group's plain return drops what the group left on the stack.
  // The compiler's code never reads past its own slots after a call, but it
  // leaves a group's variables (and, after an early return, its arguments)
  // behind, so a loop of calls would grow the stack without end; a compiled
  // program says so, and its groups clean up. IR text keeps what a group
  // leaves, as hand-written IR may pass values that way.
  bool groups_clean_up() const { return clean_groups; }
  void set_groups_clean_up() { clean_groups = true; }

  // The interned names, by id.
  std::size_t name_count() const { return names.size(); }
  const std::string& name(std::uint32_t id) const { return names[id]; }
  std::optional<std::uint32_t> find_name(std::string_view text) const;
  const std::vector<Value>& constant_table() const { return constants; }

  // Appending. Each instruction records the place last given to at().
  void at(SourcePosition position);
  void append(const Op& op);
  void emit(OpKind kind);
  void emit_slot(OpKind kind, std::uint64_t slot);
  void emit_name(OpKind kind, std::string_view name);  // get, set, label
  void emit_value(const Value& value);
  void emit_number(double number);
  // Returns the jump's index, for patch_distance.
  std::size_t emit_jump(OpKind kind, std::ptrdiff_t distance);
  // call, or call_value with `kind`.
  void emit_call(std::string_view name, std::uint64_t arity, OpKind kind = OpKind::Call);
  void emit_call_list(OpKind kind, const std::vector<CallEntry>& calls);
  void patch_distance(std::size_t index, std::ptrdiff_t distance);

  // Swaps the instructions (and their line table) being appended to with
  // `buffer`; the tables stay shared.
  void swap_code(CodeBuffer& buffer);
  // Appends a buffer filled against these tables.
  void append_code(const CodeBuffer& buffer);

  // Bytes held, counting the capacity of every table.
  std::size_t memory_bytes() const;
  // Room for `count` instructions in all, with `line_bytes` of line table;
  // and no more room than used.
  void reserve(std::size_t count, std::size_t line_bytes) {
    instructions.reserve(count);
    lines.reserve(line_bytes);
  }
  void shrink();

  // The same instructions; places are not part of them.
  friend bool operator==(const EncodedProgram& left, const EncodedProgram& right) {
    return left.ops() == right.ops();
  }

 private:
  Op op_at(std::size_t index) const;  // without its place
  std::uint32_t intern(std::string_view text);
  // The entry of name_table that holds `text`, or the empty one where it
  // would go; the table must not be empty.
  std::size_t probe(std::string_view text) const;
  std::uint32_t add_word(std::uint64_t word);
  void push(Instruction instruction);

  std::vector<Instruction> instructions;
  LineTable lines;
  std::vector<std::string> names;
  // Open addressing over name ids + 1 (0: empty); a power of two in size.
  std::vector<std::uint32_t> name_table;
  std::vector<Value> constants;
  std::vector<std::uint64_t> words;
  std::vector<std::uint32_t> list_starts{0};  // list i is entries [starts[i], starts[i + 1])
  std::vector<CallSlot> call_entries;
  std::vector<SourcePosition> entry_positions;
  std::vector<DebugScope> debug_scopes;
  std::vector<std::uint32_t> quiet_instructions;
  std::vector<std::string> used_properties;
  bool clean_groups = false;
  SourcePosition here;
};

}  // namespace zolang
