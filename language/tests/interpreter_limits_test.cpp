// Programs at the sizes embedders run into: a million instructions, millions
// of nested group frames, a hundred thousand parallel children, strings of
// hundreds of megabytes. None may recurse on the C++ stack or go quadratic.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "interpreter_test_doubles.hpp"

namespace zolang::testing {
namespace {

// A property that keeps the last value written and serves a fixed one.
class Slot : public Prop {
 public:
  explicit Slot(Value initial) : value(std::move(initial)) {}
  [[nodiscard]] std::expected<Value, Error> get() override { return value; }
  [[nodiscard]] std::expected<void, Error> set(Value written) override {
    value = std::move(written);
    return {};
  }
  [[nodiscard]] std::expected<bool, Error> settable() override { return true; }
  Value value;
};

Slot& add_slot(Interpreter& interpreter, const std::string& name, Value initial) {
  auto slot = std::make_unique<Slot>(std::move(initial));
  Slot& kept = *slot;
  EXPECT_TRUE(interpreter.register_property(name, std::move(slot)).has_value());
  return kept;
}

TEST(InterpreterLimits, AMillionInstructionsReadAndRun) {
  std::string ir;
  ir.reserve(8'000'000);
  for (int i = 0; i < 500'000; ++i) ir += "push 1\nadd\n";
  ir = "push 0\n" + ir + "set \"out\"\n";
  auto interpreter = Interpreter::from_ir(ir);
  ASSERT_TRUE(interpreter.has_value());
  EXPECT_EQ(interpreter->ops().size(), 1'000'002u);
  Slot& out = add_slot(*interpreter, "out", Value::nil());
  ASSERT_EQ(interpreter->step(), true);
  EXPECT_EQ(out.value.as_number(), 500'000);
}

TEST(InterpreterLimits, MillionsOfNestedGroupFrames) {
  // a $n { if $n { a ($n - 1); } } called with 2,000,000; every frame stays
  // until the innermost returns, and each leaves its argument on the stack.
  Harness harness(
      "jump 9\na:\nload 0\njump_unless 5\nload 0\npush 1\nsub\ncall \"a\" 1\nreturn\n"
      "push 2000000\ncall \"a\" 1\nset \"out\"");
  Slot& out = add_slot(harness.interpreter, "out", Value::nil());
  EXPECT_EQ(harness.step(), "finished");
  EXPECT_EQ(out.value.as_number(), 0);
  ASSERT_TRUE(harness.interpreter.reset().has_value());
  EXPECT_EQ(harness.step(), "finished");
}

TEST(InterpreterLimits, AHundredThousandParallelChildren) {
  std::string list;
  for (int i = 0; i < 100'000; ++i) list += " \"w\" 0";
  Harness harness("jump 5\nw:\nyield\ncall \"tick\" 0\nreturn\ncall_parallel" + list +
                  "\npush 1\nset \"out\"");
  harness.callable("tick", completing_at(2));
  Slot& out = add_slot(harness.interpreter, "out", Value::nil());
  EXPECT_EQ(harness.step(), "running");  // every child yields
  EXPECT_EQ(harness.step(), "running");  // every child starts its call
  EXPECT_EQ(harness.step(), "running");  // and completes it
  harness.events->clear();
  EXPECT_EQ(harness.step(), "running");  // every child returns
  EXPECT_EQ(harness.step(), "finished");
  EXPECT_EQ(out.value.as_number(), 1);
}

TEST(InterpreterLimits, AHundredThousandChildrenCanBeEnded) {
  std::string list;
  for (int i = 0; i < 100'000; ++i) list += " \"w\" 0";
  Harness harness("jump 4\nw:\ncall \"stuck\" 0\nreturn\ncall_race" + list);
  harness.callable("stuck", completing_at(1'000'000));
  EXPECT_EQ(harness.step(), "running");
  ASSERT_TRUE(harness.interpreter.end().has_value());
  EXPECT_EQ(harness.interpreter.status(), RunStatus::Ended);
}

TEST(InterpreterLimits, StringsGrowToHundredsOfMegabytes) {
  // $s = $s + $s eight times from one megabyte.
  Harness harness(
      "get \"s\"\nstore 0\npush 0\nstore 1\nload 1\npush 8\nlt\njump_unless 10\nload 0\nload 0\n"
      "add\nstore 0\nload 1\npush 1\nadd\nstore 1\njump -12\nload 0\nset \"s\"");
  Slot& s = add_slot(harness.interpreter, "s", Value::string(std::string(1 << 20, 'z')));
  EXPECT_EQ(harness.step(), "finished");
  ASSERT_TRUE(s.value.is_string());
  EXPECT_EQ(s.value.as_string().size(), std::size_t{256} << 20);
  s.value = Value::nil();
}

}  // namespace
}  // namespace zolang::testing
