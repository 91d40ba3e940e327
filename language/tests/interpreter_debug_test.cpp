// Breakpoints and steps change where a program stops, never what it computes:
// traps replace decoded instructions (and unfuse the forms around them), so
// each program here runs with a breakpoint on every line and with steps of
// every kind, and must end with the values it ends with undebugged.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>
#include <zolang/interpreter.hpp>
#include <zolang/lib.hpp>

#include "bytecode.hpp"

namespace zolang::testing {
namespace {

// A property that keeps the last value written.
class Out : public Prop {
 public:
  explicit Out(std::vector<Value>& written) : written(written) {}
  [[nodiscard]] std::expected<Value, Error> get() override { return Value::number(0); }
  [[nodiscard]] std::expected<void, Error> set(Value value) override {
    written.push_back(std::move(value));
    return {};
  }
  [[nodiscard]] std::expected<bool, Error> settable() override { return true; }
  std::vector<Value>& written;
};

Interpreter compiled(const std::string& source, std::vector<Value>& written) {
  ZoCompiler compiler;
  EXPECT_TRUE(compiler.register_property("out", std::make_unique<Out>(written)).has_value());
  auto program = compiler.compile_nonconsuming(source);
  EXPECT_TRUE(program.has_value());
  return Interpreter::from_program(compiler.package_program(std::move(*program)));
}

// Runs to the end, resuming `how` at every suspension; the suspensions seen.
int run_through(Interpreter& interpreter, Resume how) {
  int suspensions = 0;
  for (int steps = 0; steps < 100'000; ++steps) {
    auto finished = interpreter.step();
    EXPECT_TRUE(finished.has_value());
    if (!finished || *finished) return suspensions;
    if (interpreter.status() == RunStatus::Suspended) {
      ++suspensions;
      EXPECT_TRUE(interpreter.suspension().has_value());
      EXPECT_TRUE(interpreter.resume(how).has_value());
    }
  }
  ADD_FAILURE() << "did not finish";
  return suspensions;
}

const std::vector<std::string> programs = {
    // Fused forms of every family, across line starts.
    "$i = 0;\n$x = 0;\nwhile $i < 20 {\n  $x = ($i * 2 + 3) / 4 - $x;\n  $i += 1;\n}\n$out = $x;\n",
    "$a = 3;\nif $a >= 2 {\n  $out = $a - 1;\n} else {\n  $out = 0;\n}\n$out = $a * $a;\n",
    // Groups, called and in parallel branches, with yields between lines.
    "group g $n {\n  $k = $n + 1;\n  yield;\n  $out = $k;\n}\ngroup h {\n  yield;\n  $out = 7;\n}\n"
    "g 1;\nparallel { g 2; h; }\n$out = 9;\n",
    // Groups called for their values, and branches with variables of their own.
    "group twice $n {\n  $d = $n * 2;\n  return $d;\n}\n$a = twice 2;\nif $a > 3 {\n"
    "  $b = twice $a;\n  $out = $b;\n} else {\n  $c = 1;\n}\n$out = $a;\n",
};

TEST(InterpreterDebug, BreakpointsAndStepsLeaveTheResultAlone) {
  for (const std::string& source : programs) {
    std::vector<Value> expected;
    Interpreter plain = compiled(source, expected);
    while (auto finished = plain.step()) {
      if (*finished) break;
    }
    for (Resume how : {Resume::Continue, Resume::Over, Resume::Into, Resume::Out}) {
      std::vector<Value> written;
      Interpreter debugged = compiled(source, written);
      std::vector<std::uint32_t> every_line;
      for (std::uint32_t line = 1; line <= 14; ++line) every_line.push_back(line);
      debugged.set_breakpoints(every_line);
      int suspensions = run_through(debugged, how);
      EXPECT_GT(suspensions, 2) << source;
      ASSERT_EQ(written.size(), expected.size()) << source;
      for (std::size_t i = 0; i < written.size(); ++i) {
        EXPECT_TRUE(equals(written[i], expected[i])) << source;
      }
    }
  }
}

TEST(InterpreterDebug, TheScopeRecordNamesEachGroupsSlotsAndIrTextHasNone) {
  std::vector<Value> written;
  ZoCompiler compiler;
  auto program = compiler.compile_nonconsuming("group g $p {\n  $q = $p;\n}\n$a = 1;\ng $a;\n");
  ASSERT_TRUE(program.has_value());
  ASSERT_EQ(program->encoded().scopes().size(), 2u);
  EXPECT_EQ(program->encoded().scopes()[0].group, "g");
  ASSERT_EQ(program->encoded().scopes()[0].variables.size(), 2u);
  EXPECT_EQ(program->encoded().scopes()[0].variables[1], "q");  // by slot
  EXPECT_EQ(program->encoded().scopes()[0].parameters, 1u);
  EXPECT_EQ(program->encoded().scopes()[1].group, "");
  auto from_ir = Interpreter::from_ir("push 1\n");
  ASSERT_TRUE(from_ir.has_value());
  EXPECT_TRUE(from_ir->program().encoded().scopes().empty());
}

}  // namespace
}  // namespace zolang::testing
