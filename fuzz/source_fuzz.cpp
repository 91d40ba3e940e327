// Compiles fuzzed source text through ZoCompiler, with natives that accept any
// call site and settable properties under the names scripts commonly use.
// Whatever compiles must print as IR that reads back to the same
// instructions, unless a pushed value is one the IR cannot carry: a string
// with a line break or a space outside its quoted runs, or a number literal
// too large for a double (inf).
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <zolang/ir.hpp>
#include <zolang/lib.hpp>

namespace {

using zolang::Error;
using zolang::Value;

class NoCall : public zolang::Callable {
 public:
  [[nodiscard]] std::expected<bool, Error> call() override { return true; }
  [[nodiscard]] std::expected<void, Error> terminate() override { return {}; }
};

class AnyCall : public zolang::CallableGenerator {
 public:
  [[nodiscard]] std::expected<std::unique_ptr<zolang::Callable>, Error> generate(
      std::vector<Value>) override {
    return std::make_unique<NoCall>();
  }
  explicit AnyCall(bool words = false) : words(words) {}
  [[nodiscard]] std::expected<void, Error> check_syntax(std::vector<zolang::Arg>) override {
    return {};
  }
  bool words_at_run_time() const override { return words; }

 private:
  bool words;
};

class AnyProp : public zolang::Prop {
 public:
  [[nodiscard]] std::expected<Value, Error> get() override { return Value::nil(); }
  [[nodiscard]] std::expected<void, Error> set(Value) override { return {}; }
  [[nodiscard]] std::expected<bool, Error> settable() override { return true; }
};

constexpr const char* callable_names[] = {"print", "wait", "drive", "turn", "beep", "say",
                                          "move",  "log",  "sleep", "go",   "stop", "run"};
constexpr const char* property_names[] = {"battery", "speed", "x",     "y",     "time",
                                          "count",   "name",  "value", "a",     "b",
                                          "n",       "lap",   "who",   "state", "out"};

bool prints_faithfully(const zolang::Op& op) {
  if (op.kind != zolang::OpKind::Push) return true;
  if (op.value.is_number()) {
    return std::isfinite(op.value.as_number()) || std::isnan(op.value.as_number());
  }
  if (!op.value.is_string()) return true;
  std::string line = zolang::print_op(op);
  return line.find('\n') == std::string::npos && zolang::split_words(line).size() == 2;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view source(reinterpret_cast<const char*>(data), size);
  zolang::ZoCompiler compiler;
  for (const char* name : callable_names) {
    if (!compiler.register_callable(name, std::make_unique<AnyCall>())) std::abort();
  }
  // Natives that take their words at run time push them as strings.
  for (const char* name : {"valve", "measure"}) {
    if (!compiler.register_callable(name, std::make_unique<AnyCall>(true))) std::abort();
  }
  for (const char* name : property_names) {
    if (!compiler.register_property(name, std::make_unique<AnyProp>())) std::abort();
  }
  auto program = compiler.compile_nonconsuming(source);
  if (!program) {
    // Every failure names at least one error, and each renders.
    if (program.error().empty()) std::abort();
    for (const Error& error : program.error()) (void)error.render();
    return 0;
  }
  for (const zolang::Op& op : program->ops()) {
    if (!prints_faithfully(op)) return 0;
  }
  auto again = zolang::read_program(zolang::print_program(*program));
  if (!again || *again != *program) std::abort();
  return 0;
}
