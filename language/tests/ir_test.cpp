#include "ir.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace zolang {
namespace {

Op parsed(std::string_view line) {
  auto op = parse_op(line);
  EXPECT_TRUE(op) << line << ": " << (op ? "" : op.error().render());
  return op ? *op : Op{};
}

std::string failure(std::string_view line) {
  auto op = parse_op(line);
  if (op) return "accepted: " + print_op(*op);
  EXPECT_EQ(op.error().kind, ErrorKind::IrSyntax);
  return op.error().render();
}

TEST(IrPrint, EveryInstructionKindHasItsTextForm) {
  struct Case {
    Op op;
    const char* text;
  };
  const Case cases[] = {
      {Op::load(3), "load 3"},
      {Op::store(0), "store 0"},
      {Op::get("speed"), "get \"speed\""},
      {Op::set("speed"), "set \"speed\""},
      {Op::push(Value::number(2.5)), "push 2.5"},
      {Op::push(Value::string("hello world")), "push \"hello world\""},
      {Op::push(Value::nil()), "push nil"},
      {Op::simple(OpKind::Pop), "pop"},
      {Op::simple(OpKind::JumpIf), "jump_if 0"},
      {Op::simple(OpKind::Ge), "ge"},
      {Op::jump(-8), "jump -8"},
      {Op::jump_unless(6), "jump_unless 6"},
      {Op::label("main"), "main:"},
      {Op::label(""), ":"},
      {Op::call("beep", 2), "call \"beep\" 2"},
      {Op::call_parallel({{"worker", 2}, {"idle", 0}}), "call_parallel \"worker\" 2 \"idle\" 0"},
      {Op::call_race({}), "call_race"},
      {Op::simple(OpKind::Yield), "yield"},
      {Op::simple(OpKind::Return), "return"},
  };
  for (const Case& c : cases) EXPECT_EQ(print_op(c.op), c.text);
}

TEST(IrPrint, MnemonicsFollowTheInstructionOrder) {
  const char* expected[] = {"pop", "dup", "add", "sub", "mul", "div", "mod", "exp", "neg", "abs",
                            "and", "or",  "not", "xor", "eq",  "ne",  "lt",  "le",  "gt",  "ge"};
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(mnemonic(static_cast<OpKind>(5 + i)), expected[i]);
  }
}

TEST(IrPrint, ProgramEndsEveryLineWithALineFeed) {
  EXPECT_EQ(print_program({}), "");
  EXPECT_EQ(print_program({Op::jump(1), Op::simple(OpKind::Yield)}), "jump 1\nyield\n");
}

TEST(IrRead, ReadsOperands) {
  EXPECT_EQ(parsed("set \"speed\""), Op::set("speed"));
  EXPECT_EQ(parsed("get \"speed\""), Op::get("speed"));
  EXPECT_EQ(parsed("push \"hello world\""), Op::push(Value::string("hello world")));
  EXPECT_EQ(parsed("push \"\""), Op::push(Value::string("")));
  EXPECT_EQ(parsed("push 3"), Op::push(Value::number(3)));
  EXPECT_EQ(print_op(parsed("push 2.50")), "push 2.5");
  EXPECT_EQ(parsed("push 1e3"), Op::push(Value::number(1000)));
  EXPECT_EQ(parsed("push -1"), Op::push(Value::number(-1)));
  EXPECT_EQ(parsed("push -0"), Op::push(Value::number(-0.0)));
  EXPECT_EQ(parsed("push true"), Op::push(Value::boolean(true)));
  EXPECT_EQ(parsed("push false"), Op::push(Value::boolean(false)));
  EXPECT_EQ(parsed("load +4"), Op::load(4));
  EXPECT_EQ(parsed("jump -3"), Op::jump(-3));
  EXPECT_EQ(parsed("jump +3"), Op::jump(3));
  EXPECT_EQ(parsed("jump_if -9223372036854775808"), Op::jump_if(INT64_MIN));
  EXPECT_EQ(parsed("call \"f\" 2"), Op::call("f", 2));
  EXPECT_EQ(parsed("call_parallel"), Op::call_parallel({}));
  EXPECT_EQ(parsed("call_race \"a\" 1 \"b c\" 0"), Op::call_race({{"a", 1}, {"b c", 0}}));
  EXPECT_EQ(parsed("main:"), Op::label("main"));
  EXPECT_EQ(parsed(":"), Op::label(""));
  EXPECT_EQ(parsed("push: x"), Op::label("push"));
}

TEST(IrRead, IgnoresSurplusWords) {
  EXPECT_EQ(parsed("add 1 2"), Op::simple(OpKind::Add));
  EXPECT_EQ(parsed("load 1 2"), Op::load(1));
  EXPECT_EQ(parsed("call \"f\" 0 extra"), Op::call("f", 0));
  EXPECT_EQ(parsed("yield "), Op::simple(OpKind::Yield));
}

TEST(IrRead, RejectsMalformedLinesWithTheirMessages) {
  struct Case {
    const char* line;
    const char* message;
  };
  const Case cases[] = {
      {"hello", "[line 0] Invalid op: 'hello'"},
      {"ADD", "[line 0] Invalid op: 'ADD'"},
      {"label", "[line 0] Invalid op: 'label'"},
      {"", "[line 0] Invalid op: ''"},
      {" add", "[line 0] Invalid op: ''"},
      {"load", "[line 0] 'load' expects 1 arguments"},
      {"store", "[line 0] 'store' expects 1 arguments"},
      {"load -1", "[line 0] Invalid stack address: '-1'"},
      {"load ++1", "[line 0] Invalid stack address: '++1'"},
      {"load ", "[line 0] Invalid stack address: ''"},
      {"load 99999999999999999999999", "[line 0] Invalid stack address: '99999999999999999999999'"},
      {"jump 3.0", "[line 0] Invalid stack address: '3.0'"},
      {"jump", "[line 0] 'jump' expects 1 arguments"},
      {"jump_unless", "[line 0] 'jump_unless' expects 1 arguments"},
      {"jump_if x", "[line 0] Invalid stack address: 'x'"},
      {"get", "[line 0] 'get' expects 1 arguments"},
      {"set speed", "[line 0] 'set' must take a string"},
      {"get ", "[line 0] 'get' must take a string"},
      {"get \"", "[line 0] Unterminated string in 'get'"},
      {"set \"speed", "[line 0] Unterminated string in 'set'"},
      {"push", "[line 0] 'push' expects 1 arguments"},
      {"push 1x", "[line 0] Invalid word, expected number"},
      {"push 1e400", "[line 0] Invalid word, expected number"},
      {"push -x", "[line 0] Unrecognized value: '-x'"},
      {"push yes", "[line 0] Unrecognized value: 'yes'"},
      {"push +1", "[line 0] Unrecognized value: '+1'"},
      {"push .5", "[line 0] Unrecognized value: '.5'"},
      {"push NaN", "[line 0] Unrecognized value: 'NaN'"},
      {"push inf", "[line 0] Unrecognized value: 'inf'"},
      {"push -inf", "[line 0] Unrecognized value: '-inf'"},
      {"push ", "[line 0] Missing value after 'push'"},
      {"push \"", "[line 0] Unterminated string in 'push'"},
      {"push \"abc", "[line 0] Unterminated string in 'push'"},
      {"call \"f\"", "[line 0] 'call' expects 2 arguments"},
      {"call \"f\" two", "[line 0] Calls require the arity as a second argument"},
      {"call f 2", "[line 0] 'call' must take a string"},
      {"call a x", "[line 0] Calls require the arity as a second argument"},
      {"call \"f 2", "[line 0] 'call' expects 2 arguments"},
      {"call \" 2", "[line 0] 'call' expects 2 arguments"},
      {"call_parallel \"a\"", "[line 0] Every call in parallel call requires an arity"},
      {"call_race a 1", "[line 0] parallel calls must take a string"},
      {"call_race \"a 1 \"b\" 2", "[line 0] Every call in parallel call requires an arity"},
      {"call_race \"a\" x", "[line 0] Calls require the arity as a second argument"},
      {"call_race  1", "[line 0] parallel calls must take a string"},
      {"call_race \"a\"b 1", "[line 0] Unterminated string in parallel_call"},
  };
  for (const Case& c : cases) EXPECT_EQ(failure(c.line), c.message) << c.line;
}

TEST(IrRead, SplitsWordsByGraphemeClusters) {
  EXPECT_EQ(split_words("a  b"), (std::vector<std::string_view>{"a", "", "b"}));
  EXPECT_EQ(split_words(" a"), (std::vector<std::string_view>{"", "a"}));
  EXPECT_EQ(split_words("a\tb"), (std::vector<std::string_view>{"a\tb"}));
  EXPECT_EQ(split_words("\"x y\" z"), (std::vector<std::string_view>{"\"x y\"", "z"}));
  // A space or quote fused with a combining mark (U+0301) neither splits nor toggles.
  EXPECT_EQ(split_words("a \xCC\x81"
                        "b"),
            (std::vector<std::string_view>{"a \xCC\x81"
                                           "b"}));
  EXPECT_EQ(split_words("push \"\xCC\x81 x"),
            (std::vector<std::string_view>{"push", "\"\xCC\x81", "x"}));
}

TEST(IrRead, ProgramSkipsEmptyLinesAndNumbersTheFirstFailure) {
  auto program = read_program("push 1\r\n\nyield\npush 2");
  ASSERT_TRUE(program);
  EXPECT_EQ(*program, (std::vector<Op>{Op::push(Value::number(1)), Op::simple(OpKind::Yield),
                                       Op::push(Value::number(2))}));
  EXPECT_TRUE(read_program("")->empty());
  EXPECT_TRUE(read_program("\n\n")->empty());

  auto failed = read_program("push 1\n\n \nhello\n");
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().render(), "[line 3] Invalid op: ''");
  EXPECT_EQ(read_program("yield\r\nnope\r\n").error().render(), "[line 2] Invalid op: 'nope'");
  // Only a carriage return before a line feed ends a line; a final one stays.
  EXPECT_EQ(read_program("yield\npush 1\r").error().render(),
            "[line 2] Invalid word, expected number");
  EXPECT_EQ(read_program("yield\r").error().render(), "[line 1] Invalid op: 'yield\r'");
}

TEST(IrRoundTrip, AwkwardOperandsReadBackUnchanged) {
  const std::vector<Op> program = {
      Op::jump(1),
      Op::load(0),
      Op::store(18446744073709551615ull),
      Op::get("größe"),
      Op::set("速度"),
      Op::push(Value::number(-0.0)),
      Op::push(Value::number(0.0000001)),
      Op::push(Value::number(1e21)),
      // At the edges of the numbers an instruction holds inline.
      Op::push(Value::number(2147483647)),
      Op::push(Value::number(2147483648.0)),
      Op::push(Value::number(-2147483648.0)),
      Op::push(Value::number(-2147483649.0)),
      Op::push(Value::number(-1e10)),
      Op::push(Value::number(2e20)),
      Op::push(Value::number(5e-324)),
      Op::push(Value::number(1.7976931348623157e308)),
      Op::push(Value::number(-1.7976931348623157e308)),
      Op::push(Value::string("say \"hi\" now")),
      Op::push(Value::string("it's")),
      Op::push(Value::string("é 🤖")),
      Op::push(Value::boolean(true)),
      Op::push(Value::nil()),
      Op::jump(-9223372036854775807 - 1),
      Op::jump_unless(9223372036854775807),
      Op::jump_if(0),
      Op::label("#beep"),
      Op::label("__end"),
      Op::call("ünïcode", 3),
      Op::call_parallel({{"#walk", 1}, {"spin", 0}}),
      Op::call_race({{"a", 18446744073709551615ull}}),
  };
  std::vector<Op> every_simple;
  for (std::size_t i = 5; i <= 24; ++i) every_simple.push_back(Op::simple(static_cast<OpKind>(i)));
  every_simple.push_back(Op::simple(OpKind::Yield));
  every_simple.push_back(Op::simple(OpKind::Return));

  for (const auto& ops : {program, every_simple}) {
    std::string text = print_program(ops);
    auto back = read_program(text);
    ASSERT_TRUE(back) << back.error().render();
    EXPECT_EQ(*back, ops);
    EXPECT_EQ(print_program(*back), text);
  }
}

TEST(IrRoundTrip, StringsOnlySurviveWhileTheirSpacesStayQuoted) {
  // "a" then a quote, a space and b: the space lies outside every quoted run.
  auto op = parse_op(print_op(Op::push(Value::string("a\" b"))));
  ASSERT_TRUE(op);
  EXPECT_EQ(op->value, Value::string("a"));
  // A line break splits the instruction across two lines.
  EXPECT_FALSE(read_program(print_program({Op::push(Value::string("x\ny"))})));
}

TEST(IrRead, NeverFailsAbruptlyOnArbitraryBytes) {
  std::mt19937 random(12345);
  const std::string alphabet =
      "pushjmcal_ro\"- 0123456789.e:\t\r\n\xCC\x81\xF0\x9F\xA4\x96\xFF\x80";
  for (int round = 0; round < 5000; ++round) {
    std::string text;
    int length = static_cast<int>(random() % 40);
    for (int i = 0; i < length; ++i) {
      text += (random() % 4 == 0) ? static_cast<char>(random() % 256)
                                  : alphabet[random() % alphabet.size()];
    }
    auto program = read_program(text);
    if (program) {
      auto again = read_program(print_program(*program));
      // What reads must print back to something that reads the same, unless
      // a string holds a line break or an unquoted space.
      if (again) {
        EXPECT_EQ(print_program(*again), print_program(*program));
      }
    }
  }
}

}  // namespace
}  // namespace zolang

namespace zolang {
namespace {

TEST(IrValueForms, PrintReadBackAndRefuseTheirMalformedLines) {
  const std::vector<Op> program = {
      Op::call_value("measure", 1),    Op::call_value("ünïcode", 18446744073709551615ull),
      Op::simple(OpKind::ReturnValue), Op::call_race_value({{"#move", 1}, {"slow", 0}}),
      Op::call_race_value({}),
  };
  const std::string text = print_program(program);
  EXPECT_EQ(text,
            "call_value \"measure\" 1\ncall_value \"ünïcode\" 18446744073709551615\nreturn_value\n"
            "call_race_value \"#move\" 1 \"slow\" 0\ncall_race_value\n");
  auto back = read_program(text);
  ASSERT_TRUE(back) << back.error().render();
  EXPECT_EQ(*back, program);
  // A label may still be named like a new mnemonic.
  EXPECT_EQ(parsed("call_value:"), Op::label("call_value"));
  EXPECT_EQ(failure("call_value \"f\""), "[line 0] 'call_value' expects 2 arguments");
  EXPECT_EQ(failure("call_value \"f\" two"),
            "[line 0] Calls require the arity as a second argument");
  EXPECT_EQ(failure("call_value f 1"), "[line 0] 'call_value' must take a string");
  EXPECT_EQ(failure("call_value \"f 1 2"), "[line 0] 'call_value' expects 2 arguments");
  EXPECT_EQ(failure("call_value \"f 1"), "[line 0] 'call_value' expects 2 arguments");
  EXPECT_EQ(failure("call_race_value \"a\""),
            "[line 0] Every call in parallel call requires an arity");
  EXPECT_EQ(failure("return_values"), "[line 0] Invalid op: 'return_values'");
}

}  // namespace
}  // namespace zolang
