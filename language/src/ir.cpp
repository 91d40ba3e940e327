#include "ir.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "bytecode.hpp"
#include "grapheme.hpp"

namespace zolang {

namespace {

void append_quoted(std::string& out, std::string_view name) {
  out += '"';
  out += name;
  out += '"';
}

void append_call(std::string& out, std::string_view name, std::size_t arity) {
  out += ' ';
  append_quoted(out, name);
  out += ' ';
  out += std::to_string(arity);
}

void append_call_list(std::string& out, const std::vector<CallEntry>& calls) {
  for (const CallEntry& entry : calls) append_call(out, entry.name, entry.arity);
}

// The operands of an Op, and of one instruction of a program, read alike so
// that one printer serves both.
struct OpOperands {
  const Op& op;
  OpKind kind() const { return op.kind; }
  std::string_view name() const { return op.name; }
  std::size_t slot() const { return op.index; }
  std::size_t arity() const { return op.index; }
  std::ptrdiff_t distance() const { return op.distance; }
  void append_value(std::string& out) const { op.value.append_display(out); }
  void append_calls(std::string& out) const { append_call_list(out, op.calls); }
};

struct ProgramOperands {
  const EncodedProgram& program;
  std::size_t index;
  OpKind kind() const { return program.kind(index); }
  std::string_view name() const { return program.name(program.name_id(index)); }
  std::size_t slot() const { return program.slot(index); }
  std::size_t arity() const { return program.arity(index); }
  std::ptrdiff_t distance() const { return program.distance(index); }
  void append_value(std::string& out) const {
    if (program.is_number(index)) {
      Value::number(program.number(index)).append_display(out);
    } else {
      program.constant(index).append_display(out);
    }
  }
  void append_calls(std::string& out) const {
    for (const CallSlot& entry : program.calls(index)) {
      append_call(out, program.name(entry.name), entry.arity);
    }
  }
};

// One instruction's text, by its kind's shape.
template <typename Operands>
void append_text(std::string& out, const Operands& in) {
  OpKind kind = in.kind();
  if (shape_of(kind) == OperandShape::Label) {
    out += in.name();
    out += ':';
    return;
  }
  out += mnemonic(kind);
  switch (shape_of(kind)) {
    case OperandShape::None:
    case OperandShape::Label:
      return;
    case OperandShape::Slot:
      out += ' ';
      out += std::to_string(in.slot());
      return;
    case OperandShape::Name:
      out += ' ';
      append_quoted(out, in.name());
      return;
    case OperandShape::Value:
      out += ' ';
      in.append_value(out);
      return;
    case OperandShape::Distance:
      out += ' ';
      out += std::to_string(in.distance());
      return;
    case OperandShape::Call:
      append_call(out, in.name(), in.arity());
      return;
    case OperandShape::CallList:
      in.append_calls(out);
      return;
  }
}

}  // namespace

void append_op(std::string& out, const Op& op) { append_text(out, OpOperands{op}); }

std::string print_op(const Op& op) {
  std::string out;
  append_op(out, op);
  return out;
}

std::string print_value(const Value& value) { return value.display(); }

std::string print_call_list(const std::vector<CallEntry>& calls) {
  std::string out;
  append_call_list(out, calls);
  return out;
}

std::string print_program(const Bytecode& bytecode) {
  const EncodedProgram& program = bytecode.encoded();
  std::string out;
  out.reserve(program.size() * 8);
  for (std::size_t index = 0; index < program.size(); ++index) {
    append_text(out, ProgramOperands{program, index});
    out += '\n';
  }
  return out;
}

namespace {

// Splits `line`, which starts at `offset` in the text `walker` walks, into
// `words`. Clusters never span a line feed (except a CR LF pair, whose CR is
// not part of the line), so walking the whole text finds the same clusters
// as walking the line alone, and a reader of many lines sets ICU up once.
void split_words_into(std::string_view line, GraphemeWalker& walker, std::size_t offset,
                      std::vector<std::string_view>& words) {
  words.clear();
  bool inside_quotes = false;
  std::size_t word_start = 0;
  for (std::size_t at = 0; at < line.size();) {
    std::size_t end = std::min(walker.cluster_end(offset + at) - offset, line.size());
    std::string_view cluster = line.substr(at, end - at);
    if (cluster == "\"") {
      inside_quotes = !inside_quotes;
    } else if (cluster == " " && !inside_quotes) {
      words.push_back(line.substr(word_start, at - word_start));
      word_start = end;
    }
    at = end;
  }
  words.push_back(line.substr(word_start));
}

}  // namespace

std::vector<std::string_view> split_words(std::string_view line) {
  std::vector<std::string_view> words;
  GraphemeWalker walker(line);
  split_words_into(line, walker, 0, words);
  return words;
}

namespace {

Error syntax(std::string message) { return Error::ir_syntax(0, std::move(message)); }

std::string quoted_word(std::string_view before, std::string_view word) {
  std::string out(before);
  out += '\'';
  out += word;
  out += '\'';
  return out;
}

bool all_digits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// An optional single '+', then ASCII digits; must fit a machine word.
std::optional<std::size_t> parse_unsigned(std::string_view word) {
  std::string_view digits = word.starts_with('+') ? word.substr(1) : word;
  if (!all_digits(digits)) return std::nullopt;
  std::size_t value = 0;
  auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || ptr != digits.data() + digits.size()) return std::nullopt;
  return value;
}

// An optional single '+' or '-', then ASCII digits; must fit a signed word.
std::optional<std::ptrdiff_t> parse_signed(std::string_view word) {
  bool negative = word.starts_with('-');
  std::string_view digits = (negative || word.starts_with('+')) ? word.substr(1) : word;
  if (!all_digits(digits)) return std::nullopt;
  // from_chars takes the sign itself, which keeps the most negative value.
  std::string_view signed_text = negative ? word : digits;
  std::ptrdiff_t value = 0;
  const char* end = signed_text.data() + signed_text.size();
  auto [ptr, ec] = std::from_chars(signed_text.data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

// What is wrong with a word that should be quoted.
enum class QuoteFault { NotQuoted, Unterminated };

// The text between the quotes of a quoted word. A word must be closed by its
// own last character: the printer never writes anything else, and a quote
// in the middle would change the text. Callers word the fault.
std::expected<std::string_view, QuoteFault> unquote(std::string_view word) {
  if (word.empty() || word.front() != '"') return std::unexpected(QuoteFault::NotQuoted);
  if (word.size() < 2 || word.back() != '"') return std::unexpected(QuoteFault::Unterminated);
  return word.substr(1, word.size() - 2);
}

// The text between the quotes of a "name" operand, checked as get, set and
// call check theirs.
[[nodiscard]] std::expected<std::string_view, Error> parse_name(std::string_view word,
                                                                std::string_view mnemonic) {
  auto name = unquote(word);
  if (name) return *name;
  if (name.error() == QuoteFault::NotQuoted) {
    return std::unexpected(syntax(quoted_word("", mnemonic) + " must take a string"));
  }
  return std::unexpected(syntax(quoted_word("Unterminated string in ", mnemonic)));
}

Error expects(std::string_view mnemonic, int count) {
  return syntax(quoted_word("", mnemonic) + " expects " + std::to_string(count) + " arguments");
}

std::optional<OpKind> find_mnemonic(std::string_view word) {
  if (word.empty()) return std::nullopt;
  for (std::size_t i = 0; i < op_kind_count; ++i) {
    auto kind = static_cast<OpKind>(i);
    std::string_view name = mnemonic(kind);
    if (name.size() != word.size() || name.front() != word.front()) continue;  // the common miss
    if (shape_of(kind) != OperandShape::Label && name == word) return kind;
  }
  return std::nullopt;
}

using Words = std::vector<std::string_view>;

// Reads one line's operands by its kind's shape, appending the instruction
// to `program`.
[[nodiscard]] std::expected<void, Error> parse_operands(OpKind kind, const Words& words,
                                                        EncodedProgram& program) {
  switch (shape_of(kind)) {
    case OperandShape::None:
    case OperandShape::Label:
      program.emit(kind);
      return {};
    case OperandShape::Slot: {
      if (words.size() < 2) return std::unexpected(expects(mnemonic(kind), 1));
      auto address = parse_unsigned(words[1]);
      if (!address) {
        return std::unexpected(syntax(quoted_word("Invalid stack address: ", words[1])));
      }
      program.emit_slot(kind, *address);
      return {};
    }
    case OperandShape::Name: {
      if (words.size() < 2) return std::unexpected(expects(mnemonic(kind), 1));
      auto name = parse_name(words[1], mnemonic(kind));
      if (!name) return std::unexpected(std::move(name.error()));
      program.emit_name(kind, *name);
      return {};
    }
    case OperandShape::Value: {
      if (words.size() < 2) return std::unexpected(expects("push", 1));
      auto value = parse_value(words[1]);
      if (!value) return std::unexpected(std::move(value.error()));
      program.emit_value(std::move(*value));
      return {};
    }
    case OperandShape::Distance: {
      if (words.size() < 2) return std::unexpected(expects(mnemonic(kind), 1));
      auto distance = parse_signed(words[1]);
      if (!distance) {
        return std::unexpected(syntax(quoted_word("Invalid stack address: ", words[1])));
      }
      program.emit_jump(kind, *distance);
      return {};
    }
    case OperandShape::Call: {
      if (words.size() < 3) return std::unexpected(expects(mnemonic(kind), 2));
      auto arity = parse_unsigned(words[2]);
      if (!arity) return std::unexpected(syntax("Calls require the arity as a second argument"));
      auto name = parse_name(words[1], mnemonic(kind));
      if (!name) return std::unexpected(std::move(name.error()));
      program.emit_call(*name, *arity, kind);
      return {};
    }
    case OperandShape::CallList: {
      Words operands(words.begin() + 1, words.end());
      auto calls = parse_call_list(operands);
      if (!calls) return std::unexpected(std::move(calls.error()));
      program.emit_call_list(kind, std::move(*calls));
      return {};
    }
  }
  return {};
}

// Where a line is read from: the walker over its whole text, and room for
// its words, both kept from line to line.
struct LineReader {
  GraphemeWalker& walker;
  std::size_t offset = 0;  // of the line in the walker's text
  Words words;
};

[[nodiscard]] std::expected<void, Error> parse_line(std::string_view line, EncodedProgram& program,
                                                    LineReader& reader) {
  split_words_into(line, reader.walker, reader.offset, reader.words);
  const Words& words = reader.words;
  std::string_view first = words.front();
  std::optional<OpKind> kind = find_mnemonic(first);
  if (!kind) {
    if (first.ends_with(':')) {
      program.emit_name(OpKind::Label, first.substr(0, first.size() - 1));
      return {};
    }
    return std::unexpected(syntax(quoted_word("Invalid op: ", first)));
  }
  return parse_operands(*kind, words, program);
}

}  // namespace

[[nodiscard]] std::expected<Value, Error> parse_value(std::string_view word) {
  if (word.empty()) return std::unexpected(syntax("Missing value after 'push'"));
  if (word.front() == '"') {
    // The printer always closes a string, so a lone or unclosed quote can
    // only come from a damaged or hand-written file.
    auto text = unquote(word);
    if (!text) return std::unexpected(syntax("Unterminated string in 'push'"));
    return Value::string(*text);
  }
  auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  if (is_digit(word.front()) || (word.size() > 1 && word.front() == '-' && is_digit(word[1]))) {
    // A number too large for a double would print as inf, which does not read
    // back, so it is refused here rather than changed.
    auto number = parse_decimal(word);
    if (!number || std::isinf(*number)) {
      return std::unexpected(syntax("Invalid word, expected number"));
    }
    return Value::number(*number);
  }
  if (word == "true") return Value::boolean(true);
  if (word == "false") return Value::boolean(false);
  if (word == "nil") return Value::nil();
  return std::unexpected(syntax(quoted_word("Unrecognized value: ", word)));
}

[[nodiscard]] std::expected<std::vector<CallEntry>, Error> parse_call_list(
    const std::vector<std::string_view>& words) {
  if (words.size() % 2 != 0) {
    return std::unexpected(syntax("Every call in parallel call requires an arity"));
  }
  std::vector<CallEntry> calls;
  calls.reserve(words.size() / 2);
  for (std::size_t i = 0; i < words.size(); i += 2) {
    auto name = unquote(words[i]);
    if (!name) {
      return std::unexpected(syntax(name.error() == QuoteFault::NotQuoted
                                        ? "parallel calls must take a string"
                                        : "Unterminated string in parallel_call"));
    }
    auto arity = parse_unsigned(words[i + 1]);
    if (!arity) return std::unexpected(syntax("Calls require the arity as a second argument"));
    calls.push_back(CallEntry{std::string(*name), *arity});
  }
  return calls;
}

[[nodiscard]] std::expected<Op, Error> parse_op(std::string_view line) {
  // One line read as a program of one instruction, so that a line and a
  // program are read by the same code.
  EncodedProgram program;
  GraphemeWalker walker(line);
  LineReader reader{walker, 0, {}};
  auto parsed = parse_line(line, program, reader);
  if (!parsed) return std::unexpected(std::move(parsed.error()));
  return program.op(0);
}

[[nodiscard]] std::expected<Bytecode, Error> read_program(std::string_view text) {
  EncodedProgram program;
  GraphemeWalker walker(text);
  LineReader reader{walker, 0, {}};
  const char* const start = text.data();
  std::size_t line_number = 0;
  while (!text.empty()) {
    ++line_number;
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    bool ends_in_line_feed = end != std::string_view::npos;
    text = ends_in_line_feed ? text.substr(end + 1) : std::string_view{};
    // Only a CR LF pair is a line end: a carriage return that ends the text
    // is part of its last line.
    if (ends_in_line_feed && line.ends_with('\r')) line.remove_suffix(1);
    if (line.empty()) continue;
    reader.offset = static_cast<std::size_t>(line.data() - start);
    auto parsed = parse_line(line, program, reader);
    if (!parsed) {
      parsed.error().line = line_number;
      return std::unexpected(std::move(parsed.error()));
    }
  }
  return Bytecode(std::move(program));
}

}  // namespace zolang
