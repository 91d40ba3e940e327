// Runs fuzzed programs against natives whose every answer is read from the
// input, so hostile hosts are fuzzed together with hostile programs.
//
// Input: one mode byte (even: the program is IR text; odd: source compiled
// through ZoCompiler), the program text up to the first NUL byte, then the
// control bytes the natives consume (zeros once used up). A callable or
// property is registered under every name the program uses. The run takes a
// bounded number of budgeted steps, ends, resets when allowed and runs again.
// Before each step a control byte drives the debugger: breakpoints, pauses,
// break on error, and resumes of every kind while suspended.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <zolang/interpreter.hpp>
#include <zolang/ir.hpp>
#include <zolang/lib.hpp>

namespace {

using zolang::Error;
using zolang::Value;

constexpr int max_steps = 24;
constexpr std::uint64_t budget = 20'000;
// Doubling a string in a loop reaches gigabytes within one budget; a host
// that runs untrusted programs bounds their memory, and so do we.
constexpr std::uint64_t memory = 16ull << 20;

// The control bytes, shared by every native of one input.
class Controls {
 public:
  Controls(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}
  std::uint8_t next() { return used < size ? data[used++] : 0; }

 private:
  const std::uint8_t* data;
  std::size_t size;
  std::size_t used = 0;
};

class FuzzCallable : public zolang::Callable {
 public:
  FuzzCallable(Controls& controls, int polls) : controls(controls), polls_left(polls) {}
  [[nodiscard]] std::expected<bool, Error> call() override {
    if (controls.next() == 0xEE) return std::unexpected(Error::native("call failed"));
    return polls_left-- <= 0;
  }
  [[nodiscard]] std::expected<void, Error> terminate() override {
    if (controls.next() == 0xEF) return std::unexpected(Error::native("terminate failed"));
    return {};
  }
  // Asked only of calls used as values.
  [[nodiscard]] std::expected<Value, Error> result() override {
    switch (controls.next() % 5) {
      case 0:
        return Value::number(static_cast<double>(controls.next()) - 128.0);
      case 1:
        return Value::string(std::string(controls.next() % 64, 'r'));
      case 2:
        return Value::boolean(controls.next() & 1);
      case 3:
        return Value::nil();
      default:
        return std::unexpected(Error::native("result failed"));
    }
  }

 private:
  Controls& controls;
  int polls_left;
};

class FuzzGenerator : public zolang::CallableGenerator {
 public:
  explicit FuzzGenerator(Controls& controls, bool words = false)
      : controls(controls), words(words) {}
  [[nodiscard]] std::expected<std::unique_ptr<zolang::Callable>, Error> generate(
      std::vector<Value> args) override {
    for (const Value& arg : args) (void)arg.display();
    std::uint8_t control = controls.next();
    if (control == 0xF0) return std::unexpected(Error::native("generate failed"));
    if (control == 0xF1) return nullptr;
    return std::make_unique<FuzzCallable>(controls, control % 4);
  }
  [[nodiscard]] std::expected<void, Error> check_syntax(std::vector<zolang::Arg>) override {
    if (controls.next() == 0xF2) return std::unexpected(Error::native("bad call site"));
    return {};
  }
  bool words_at_run_time() const override { return words; }

 private:
  Controls& controls;
  bool words;
};

class FuzzProp : public zolang::Prop {
 public:
  explicit FuzzProp(Controls& controls) : controls(controls) {}
  [[nodiscard]] std::expected<Value, Error> get() override {
    switch (controls.next() % 8) {
      case 0:
        return held;
      case 1:
        return Value::number(static_cast<double>(controls.next()) - 128.0);
      case 2:
        return Value::string(std::string(controls.next(), 'x'));
      case 3:
        return Value::boolean(controls.next() & 1);
      case 4:
        return Value::nil();
      case 5:
        return Value::number(1e308 * (controls.next() + 1.0));
      case 6:
        return Value::number(0.0 / (controls.next() - controls.next() + 0.0));
      default:
        return std::unexpected(Error::native("get failed"));
    }
  }
  [[nodiscard]] std::expected<void, Error> set(Value value) override {
    if (controls.next() == 0xF3) return std::unexpected(Error::native("set failed"));
    held = std::move(value);
    return {};
  }
  [[nodiscard]] std::expected<bool, Error> settable() override {
    std::uint8_t control = controls.next();
    if (control == 0xF4) return std::unexpected(Error::native("settable failed"));
    return control != 0xF5;
  }

 private:
  Controls& controls;
  Value held;
};

// Names of the program's native calls and properties (group labels excluded).
void collect_names(const std::vector<zolang::Op>& ops, std::set<std::string>& callables,
                   std::set<std::string>& properties) {
  std::set<std::string> labels;
  for (const zolang::Op& op : ops) {
    if (op.kind == zolang::OpKind::Label) labels.insert(op.name);
  }
  for (const zolang::Op& op : ops) {
    bool call = op.kind == zolang::OpKind::Call || op.kind == zolang::OpKind::CallValue;
    if (call && !labels.contains(op.name)) callables.insert(op.name);
    if (op.kind == zolang::OpKind::Get || op.kind == zolang::OpKind::Set) {
      properties.insert(op.name);
    }
  }
}

std::optional<zolang::Interpreter> from_ir(std::string_view text, Controls& controls) {
  auto made = zolang::Interpreter::from_ir(text);
  if (!made) return std::nullopt;
  std::set<std::string> callables, properties;
  collect_names(made->ops(), callables, properties);
  for (const std::string& name : callables) {
    (void)made->register_callable(name, std::make_unique<FuzzGenerator>(controls));
  }
  for (const std::string& name : properties) {
    (void)made->register_property(name, std::make_unique<FuzzProp>(controls));
  }
  return std::move(*made);
}

std::optional<zolang::Interpreter> from_source(std::string_view text, Controls& controls) {
  zolang::ZoCompiler compiler;
  for (const char* name : {"print", "wait", "drive", "turn", "beep", "say"}) {
    (void)compiler.register_callable(name, std::make_unique<FuzzGenerator>(controls));
  }
  // These take their words at run time.
  for (const char* name : {"valve", "measure"}) {
    (void)compiler.register_callable(name, std::make_unique<FuzzGenerator>(controls, true));
  }
  for (const char* name : {"battery", "speed", "x", "y", "count", "name", "n", "out"}) {
    (void)compiler.register_property(name, std::make_unique<FuzzProp>(controls));
  }
  auto ops = compiler.compile_nonconsuming(text);
  if (!ops) return std::nullopt;
  return zolang::Interpreter::from_program(compiler.package_program(std::move(*ops)));
}

// Drives the debugger from a control byte: breakpoints on a few lines, a
// pause, break on error; and, while suspended, a look at every frame and a
// resume of one kind.
void debug(zolang::Interpreter& interpreter, Controls& controls) {
  std::uint8_t control = controls.next();
  if (interpreter.status() == zolang::RunStatus::Suspended) {
    for (const zolang::DebugContext& context : interpreter.debug_contexts()) {
      for (const zolang::DebugFrame& frame : context.frames) {
        for (const auto& [name, value] : frame.variables) (void)value.display();
      }
    }
    (void)interpreter.resume(static_cast<zolang::Resume>(control % 4));
    return;
  }
  switch (control >> 5) {
    case 1:
      (void)interpreter.set_breakpoints({1u + (control & 7u), 2u + (control & 15u)});
      break;
    case 2:
      interpreter.request_pause();
      break;
    case 3:
      interpreter.set_break_on_error((control & 1) != 0);
      break;
    case 4:
      (void)interpreter.set_breakpoints({});
      break;
    default:
      break;
  }
}

// Steps until the program finishes, fails or the step limit is reached.
void run(zolang::Interpreter& interpreter, Controls& controls) {
  for (int step = 0; step < max_steps; ++step) {
    debug(interpreter, controls);
    auto result = interpreter.step();
    if (!result) {
      (void)result.error().render();
      if (interpreter.status() == zolang::RunStatus::Fresh) return;
      break;
    }
    if (*result) return;
  }
  if (auto ended = interpreter.end(); !ended) (void)ended.error().render();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  bool is_source = (data[0] & 1) != 0;
  const std::uint8_t* text_begin = data + 1;
  const std::uint8_t* separator =
      static_cast<const std::uint8_t*>(std::memchr(text_begin, 0, size - 1));
  const std::uint8_t* text_end = separator != nullptr ? separator : data + size;
  std::string_view text(reinterpret_cast<const char*>(text_begin),
                        static_cast<std::size_t>(text_end - text_begin));
  const std::uint8_t* controls_begin = separator != nullptr ? separator + 1 : data + size;
  Controls controls(controls_begin, static_cast<std::size_t>(data + size - controls_begin));

  auto interpreter = is_source ? from_source(text, controls) : from_ir(text, controls);
  if (!interpreter) return 0;
  interpreter->set_limits({.instructions = budget, .time = std::nullopt, .memory = memory});
  run(*interpreter, controls);
  if (interpreter->reset()) run(*interpreter, controls);
  (void)interpreter->end();
  return 0;
}
