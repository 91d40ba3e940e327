// The Zo IR: the human-readable text form of a program, one instruction per
// line. Printing a program and reading the text back gives the same
// instructions for every program the compiler produces.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "op.hpp"
#include "program.hpp"
#include "value.hpp"

namespace zolang {

// Text of one instruction, without a line end. Nothing is escaped.
std::string print_op(const Op& op);
void append_op(std::string& out, const Op& op);
// Text of a push operand (the same as Value::display).
std::string print_value(const Value& value);
// Text of a call list: for each entry a space, the quoted name, a space and
// the arity; nothing for an empty list.
std::string print_call_list(const std::vector<CallEntry>& calls);
// Each instruction's text followed by a line feed; "" for no instructions.
std::string print_program(const Bytecode& program);

// Reads one line (without its line end). Errors are IrSyntax with line 0.
[[nodiscard]] std::expected<Op, Error> parse_op(std::string_view line);
// Reads one push operand word.
[[nodiscard]] std::expected<Value, Error> parse_value(std::string_view word);
// Reads the operand words of a call_parallel or call_race line.
[[nodiscard]] std::expected<std::vector<CallEntry>, Error> parse_call_list(
    const std::vector<std::string_view>& words);
// Splits a line into words at spaces outside double quotes, walking extended
// grapheme clusters: a space or quote joined to a combining mark counts as
// neither. Always at least one word.
std::vector<std::string_view> split_words(std::string_view line);

// Reads a whole program text: lines split at line feeds (a trailing CR is
// dropped), empty lines skipped but counted, and the first failing line
// reported with its 1-based number. The text goes straight to the compact
// form, without an Op per line.
[[nodiscard]] std::expected<Bytecode, Error> read_program(std::string_view text);

}  // namespace zolang
