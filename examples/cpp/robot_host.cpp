// A C++ host of Zo: registers a native call, `wait STEPS` (done after it has
// been polled STEPS times), and a settable property, `$speed`, then runs a
// program whose race ends the slower wait early.
#include <zolang/interpreter.hpp>
#include <zolang/lib.hpp>

#include <cstdio>
#include <expected>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

// One running `wait`: polled once per step until its steps are used up.
class Wait final : public zolang::Callable {
 public:
  explicit Wait(double steps) : steps(steps) {}

  std::expected<bool, zolang::Error> call() override {
    if (++polls < steps) return false;
    std::printf("wait %g done\n", steps);
    return true;
  }
  std::expected<void, zolang::Error> terminate() override {
    std::printf("wait %g stopped after %d of its steps\n", steps, polls);
    return {};
  }

 private:
  double steps;
  int polls = 0;
};

class WaitGenerator final : public zolang::CallableGenerator {
 public:
  std::expected<std::unique_ptr<zolang::Callable>, zolang::Error> generate(
      std::vector<zolang::Value> args) override {
    if (!args[0].is_number()) return std::unexpected(zolang::Error::native("wait takes a number"));
    return std::make_unique<Wait>(args[0].as_number());
  }
  // Checked when the program is compiled: one value, the number of steps.
  std::expected<void, zolang::Error> check_syntax(std::vector<zolang::Arg> args) override {
    if (args.size() == 1 && args[0].is_value()) return {};
    return std::unexpected(zolang::Error::group_syntax("wait takes one value: the steps"));
  }
};

class Speed final : public zolang::Prop {
 public:
  std::expected<zolang::Value, zolang::Error> get() override { return value; }
  std::expected<void, zolang::Error> set(zolang::Value next) override {
    std::printf("speed = %s\n", next.display().c_str());
    value = std::move(next);
    return {};
  }
  std::expected<bool, zolang::Error> settable() override { return true; }

 private:
  zolang::Value value = zolang::Value::number(0);
};

constexpr const char* program = R"(use $speed;
$speed = 3;
race {
    wait 2;
    wait 5;
}
$speed = $speed - 1;
)";

}  // namespace

int main() {
  zolang::ZoCompiler compiler;
  if (!compiler.register_callable("wait", std::make_unique<WaitGenerator>()) ||
      !compiler.register_property("speed", std::make_unique<Speed>())) {
    return 1;
  }
  auto compiled = compiler.compile_nonconsuming(program);
  if (!compiled) {
    for (const zolang::Error& error : compiled.error()) {
      std::fprintf(stderr, "%s\n", error.render().c_str());
    }
    return 1;
  }
  // The natives move with the program into the interpreter.
  auto interpreter =
      zolang::Interpreter::from_program(compiler.package_program(std::move(*compiled)));
  for (int steps = 1;; ++steps) {
    auto finished = interpreter.step();
    if (!finished) {
      std::fprintf(stderr, "%s\n", finished.error().render().c_str());
      (void)interpreter.end();  // terminates the native calls still running, then runs __end
      return 1;
    }
    if (*finished) {
      std::printf("finished in %d steps\n", steps);
      return 0;
    }
  }
}
