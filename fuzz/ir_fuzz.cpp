// Reads fuzzed IR text. Whatever reads must print as text that reads back to
// the same instructions, unless a string value holds a line break or a space
// outside its quoted runs (the format has no escapes for those).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <zolang/ir.hpp>

namespace {

// A string value survives when its printed line holds no line break and
// splits into exactly the mnemonic and the operand.
bool prints_faithfully(const zolang::Op& op) {
  if (op.kind != zolang::OpKind::Push || !op.value.is_string()) return true;
  std::string line = zolang::print_op(op);
  return line.find('\n') == std::string::npos && zolang::split_words(line).size() == 2;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto program = zolang::read_program(text);
  if (!program) return 0;
  for (const zolang::Op& op : program->ops()) {
    if (!prints_faithfully(op)) return 0;
  }
  auto again = zolang::read_program(zolang::print_program(*program));
  if (!again || *again != *program) std::abort();
  return 0;
}
