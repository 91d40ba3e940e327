// The compact program form: every operand, however large, and every place
// comes back as it went in.
#include "bytecode.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "program.hpp"

namespace zolang::testing {
namespace {

TEST(Bytecode, KeepsEveryOperandAndPlace) {
  const double max = std::numeric_limits<double>::max();
  std::vector<Op> ops = {
      Op::jump(1),
      Op::push(Value::number(-7)),
      Op::push(Value::number(-0.0)),
      Op::push(Value::number(2147483648.0)),
      Op::push(Value::number(-2147483648.0)),
      Op::push(Value::number(1.5)),
      Op::push(Value::number(max)),
      Op::push(Value::string("s")),
      Op::load(4294967295ull),
      Op::store(4294967296ull),
      Op::jump_if(-2147483649ll),
      Op::jump_unless(2147483647),
      Op::call("f", 65535),
      Op::call("f", 65536),
      Op::label("f"),
      Op::get("p"),
      Op::call_race({{"a", 18446744073709551615ull}, {"f", 0}}),
      Op::simple(OpKind::Return),
  };
  const SourcePosition places[] = {{0, 0}, {3, 5}, {3, 5}, {1, 2}, {0, 0}, {70000, 300},
                                   {2, 1}, {2, 1}, {2, 9}, {0, 0}, {9, 9}, {9, 9}};
  for (std::size_t i = 0; i < ops.size(); ++i) {
    ops[i].position = places[i % std::size(places)];
  }
  EncodedProgram program(ops);
  std::vector<Op> back = program.ops();
  ASSERT_EQ(back, ops);
  for (std::size_t i = 0; i < ops.size(); ++i) {
    EXPECT_EQ(back[i].position, ops[i].position) << i;
    EXPECT_EQ(program.position(i), ops[i].position) << i;
    EXPECT_EQ(program.op(i), ops[i]) << i;
  }
  EXPECT_TRUE(std::signbit(program.number(2)));
  ASSERT_TRUE(program.find_name("f"));
  EXPECT_EQ(program.name(*program.find_name("f")), "f");
  EXPECT_FALSE(program.find_name("g"));
}

// The handle hosts hold: a copy is a program of its own, and a moved-from
// handle (which owns no encoding) reads as a program without instructions.
TEST(BytecodeHandle, CopiesOwnTheirInstructionsAndMovedFromIsEmpty) {
  const std::vector<Op> ops = {Op::push(Value::string("s")), Op::call("f", 1)};
  Bytecode original(ops);
  Bytecode copy = original;
  Bytecode moved = std::move(original);
  EXPECT_EQ(copy, moved);
  EXPECT_EQ(moved.ops(), ops);
  EXPECT_TRUE(original.empty());
  EXPECT_EQ(original.ops(), std::vector<Op>{});
  EXPECT_EQ(original, Bytecode());
  EXPECT_LT(original.memory_bytes(), copy.memory_bytes());
  copy = Bytecode();
  EXPECT_EQ(moved.op(1), Op::call("f", 1));
  EXPECT_EQ(moved.encoded().name(moved.encoded().name_id(1)), "f");
}

}  // namespace
}  // namespace zolang::testing
