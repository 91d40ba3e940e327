// Reading IR text into an interpreter, kept apart from the interpreter
// proper: that runs programs and needs nothing of their text form, so only
// this file joins the two.
#include <utility>

#include "interpreter.hpp"
#include "ir.hpp"

namespace zolang {

std::expected<Interpreter, Error> Interpreter::from_ir(std::string_view text) {
  auto program = read_program(text);
  if (!program) return std::unexpected(std::move(program.error()));
  return Interpreter(std::move(*program));
}

}  // namespace zolang
