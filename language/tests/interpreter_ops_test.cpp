// Instructions as one context runs them: operators and their errors, load and
// store, jumps, group calls and yield. Values leave the program through a
// recording property "out", so each case lists the exact host-visible trace.
#include <gtest/gtest.h>

#include "interpreter_test_doubles.hpp"

namespace zolang::testing {
namespace {

// Steps the program until it finishes or fails (at most `max_steps` times);
// the trace holds the events of each step followed by "=> " and its result.
Events trace(std::string_view ir, int max_steps = 10) {
  Harness harness(ir);
  harness.property("out");
  Events all;
  for (int i = 0; i < max_steps; ++i) {
    std::string result = harness.step();
    for (auto& event : harness.take_events()) {
      if (!event.starts_with("settable")) all.push_back(event);  // validation's question
    }
    all.push_back("=> " + result);
    if (result != "running") break;
  }
  return all;
}

struct Case {
  const char* name;
  const char* ir;
  Events expected;
};

void run_cases(const std::vector<Case>& cases) {
  for (const Case& c : cases) EXPECT_EQ(trace(c.ir), c.expected) << c.name << "\n" << c.ir;
}

TEST(InterpreterOps, OperatorsComputeTheirResults) {
  run_cases({
      {"add numbers", "push 1\npush 2\nadd\nset \"out\"", {"set out 3", "=> finished"}},
      {"add strings",
       "push \"ab\"\npush \"cd\"\nadd\nset \"out\"",
       {"set out \"abcd\"", "=> finished"}},
      {"sub order", "push 5\npush 3\nsub\nset \"out\"", {"set out 2", "=> finished"}},
      {"mul", "push 2.5\npush 4\nmul\nset \"out\"", {"set out 10", "=> finished"}},
      {"div by zero", "push -1\npush 0\ndiv\nset \"out\"", {"set out -inf", "=> finished"}},
      {"mod takes left's sign", "push -7\npush 3\nmod\nset \"out\"", {"set out -1", "=> finished"}},
      {"mod by zero", "push 7\npush 0\nmod\nset \"out\"", {"set out NaN", "=> finished"}},
      {"exp", "push 2\npush 10\nexp\nset \"out\"", {"set out 1024", "=> finished"}},
      {"neg of zero", "push 0\nneg\nset \"out\"", {"set out -0", "=> finished"}},
      {"abs", "push -3\nabs\nset \"out\"", {"set out 3", "=> finished"}},
      {"and", "push 1\npush \"\"\nand\nset \"out\"", {"set out false", "=> finished"}},
      {"or", "push nil\npush \"x\"\nor\nset \"out\"", {"set out true", "=> finished"}},
      {"xor", "push true\npush 0\nxor\nset \"out\"", {"set out true", "=> finished"}},
      {"not", "push \"\"\nnot\nset \"out\"", {"set out true", "=> finished"}},
      {"eq across kinds", "push 1\npush \"1\"\neq\nset \"out\"", {"set out false", "=> finished"}},
      {"eq nils", "push nil\npush nil\neq\nset \"out\"", {"set out true", "=> finished"}},
      {"eq NaN", "push 0\npush 0\ndiv\ndup\neq\nset \"out\"", {"set out false", "=> finished"}},
      {"ne zeros", "push 0\npush -0\nne\nset \"out\"", {"set out false", "=> finished"}},
      {"lt", "push 1\npush 2\nlt\nset \"out\"", {"set out true", "=> finished"}},
      {"le", "push 2\npush 2\nle\nset \"out\"", {"set out true", "=> finished"}},
      {"gt", "push 1\npush 2\ngt\nset \"out\"", {"set out false", "=> finished"}},
      {"ge NaN", "push 0\npush 0\ndiv\npush 1\nge\nset \"out\"", {"set out false", "=> finished"}},
      {"dup copies a string",
       "push \"s\"\ndup\nadd\nset \"out\"",
       {"set out \"ss\"", "=> finished"}},
      {"pop on empty", "pop\npush 1\nset \"out\"", {"set out 1", "=> finished"}},
  });
}

TEST(InterpreterOps, OperandErrorsRenderWithoutAddress) {
  run_cases({
      {"string + number", "push \"a\"\npush 1\nadd", {"=> Right operand must be a number"}},
      {"number + string", "push 1\npush \"a\"\nadd", {"=> Right operand must be a string"}},
      {"number + nil", "push 1\npush nil\nadd", {"=> Operands must be a number or a string"}},
      {"bool + bool", "push true\npush true\nadd", {"=> Operands must be a number or a string"}},
      {"lt string", "push \"a\"\npush 1\nlt", {"=> Both operands must be numbers"}},
      {"sub bool", "push 1\npush true\nsub", {"=> Both operands must be numbers"}},
      {"neg string", "push \"x\"\nneg", {"=> Only numbers can be negated"}},
      {"abs nil", "push nil\nabs", {"=> Absolute value only works with numbers"}},
  });
}

TEST(InterpreterOps, StructuralErrorsCarryTheAddress) {
  run_cases({
      {"add of one value", "push 1\nadd", {"=> [address 1] Stack underflow"}},
      {"add of none", "push 1\npop\nadd", {"=> [address 2] Stack underflow"}},
      {"eq of one value", "push 1\neq", {"=> [address 1] Stack underflow"}},
      {"dup on empty", "dup", {"=> [address 0] Stack underflow"}},
      {"not on empty", "not", {"=> [address 0] Stack underflow"}},
      {"neg on empty", "neg", {"=> [address 0] Stack underflow"}},
      {"jump_if on empty", "jump_if 2", {"=> [address 0] Stack underflow"}},
      {"set on empty", "set \"out\"", {"=> [address 0] Stack underflow"}},
      {"load on empty", "load 0", {"=> [address 0] Attempt to index outside of the stack"}},
      {"load past top", "push 1\nload 1", {"=> [address 1] Attempt to index outside of the stack"}},
      {"load of a huge slot",
       "push 1\nload 18446744073709551615",
       {"=> [address 1] Attempt to index outside of the stack"}},
  });
}

TEST(InterpreterOps, StoreWritesOnlyWhenTheTopLiesAboveTheSlot) {
  run_cases({
      // One value: the top already is slot 0, so nothing moves.
      {"top is the slot",
       "push 1\nstore 0\nset \"out\"\ndup",
       {"set out 1", "=> [address 3] Stack underflow"}},
      {"pops into the slot",
       "push 1\npush 2\npush 3\nstore 0\nset \"out\"\nset \"out\"\ndup",
       {"set out 2", "set out 3", "=> [address 6] Stack underflow"}},
      {"below the slot", "push 1\nstore 5\nset \"out\"", {"set out 1", "=> finished"}},
      {"load copies", "push \"a\"\nload 0\nadd\nset \"out\"", {"set out \"aa\"", "=> finished"}},
  });
}

TEST(InterpreterOps, JumpsFollowTruthiness) {
  struct Truth {
    const char* prelude;
    const char* jump;
    const char* taken;
  };
  const Truth truths[] = {
      {"push 0\npush 0\ndiv", "jump_if", "yes"},  // NaN is true
      {"push 0", "jump_if", "no"},
      {"push -0", "jump_if", "no"},
      {"push \"\"", "jump_if", "no"},
      {"push \"x\"", "jump_if", "yes"},
      {"push nil", "jump_if", "no"},
      {"push false", "jump_if", "no"},
      {"push nil", "jump_unless", "yes"},
      {"push 3", "jump_unless", "no"},
  };
  for (const Truth& t : truths) {
    // A taken jump lands on push "yes"; otherwise "no" is pushed and skips it.
    std::string ir = std::string(t.prelude) + "\n" + t.jump +
                     " 3\npush \"no\"\njump 2\npush \"yes\"\nset \"out\"";
    Events expected{std::string("set out \"") + t.taken + "\"", "=> finished"};
    EXPECT_EQ(trace(ir), expected) << ir;
  }
}

TEST(InterpreterOps, JumpsOutsideTheProgramEndTheContext) {
  run_cases({
      {"backward past 0",
       "push 1\nset \"out\"\njump -5\npush 2\nset \"out\"",
       {"set out 1", "=> finished"}},
      {"forward past end", "jump 100\npush 2\nset \"out\"", {"=> finished"}},
      {"to the end exactly", "jump 2\npush 1", {"=> finished"}},
      {"loop then exit",
       "push 3\ndup\nset \"out\"\npush 1\nsub\ndup\njump_if -5\nset \"out\"",
       {"set out 3", "set out 2", "set out 1", "set out 0", "=> finished"}},
  });
}

TEST(InterpreterOps, GroupCallsUseFramesRelativeToTheirBase) {
  const char* ir =
      "jump 7\n"        // 0
      "f:\n"            // 1
      "load 0\n"        // 2
      "load 1\n"        // 3
      "sub\n"           // 4
      "store 0\n"       // 5: into the frame's slot 0
      "return\n"        // 6
      "push 99\n"       // 7
      "push 10\n"       // 8
      "push 3\n"        // 9
      "call \"f\" 2\n"  // 10
      "set \"out\"\n"   // 11
      "set \"out\"\n"   // 12
      "load 0\n"        // 13: back at base 0
      "set \"out\"";    // 14
  EXPECT_EQ(trace(ir), (Events{"set out 3", "set out 7", "set out 99", "=> finished"}));
}

TEST(InterpreterOps, GroupEdgeCases) {
  run_cases({
      {"arity beyond the stack",
       "jump 3\nf:\nreturn\npush 1\ncall \"f\" 2",
       {"=> [address 4] Stack underflow"}},
      {"nested groups return in order",
       "jump 10\nf:\npush 1\nset \"out\"\ncall \"g\" 0\nreturn\ng:\npush 2\nset \"out\"\nreturn\n"
       "call \"f\" 0\npush 3\nset \"out\"",
       {"set out 1", "set out 2", "set out 3", "=> finished"}},
      {"return at top level",
       "push 1\nset \"out\"\nreturn\npush 2\nset \"out\"",
       {"set out 1", "=> finished"}},
      {"unknown group",
       "call \"nowhere\" 0",
       {"=> [address 0] 'nowhere' is not a registered callable"}},
  });
}

TEST(InterpreterOps, YieldEndsTheTurnAndResumesAfterIt) {
  run_cases({
      {"one yield", "push 1\nyield\nset \"out\"", {"=> running", "set out 1", "=> finished"}},
      {"empty program", "", {"=> finished"}},
      {"yield in a group",
       "jump 4\nf:\nyield\nreturn\ncall \"f\" 0\npush 5\nset \"out\"",
       {"=> running", "set out 5", "=> finished"}},
  });
}

}  // namespace
}  // namespace zolang::testing

namespace zolang::testing {
namespace {

// Common sequences (load, push of a number, an operator, then a store or a
// conditional jump) run fused; these cases pin that they behave exactly as
// the instructions one by one, including errors and jumps into the middle.
TEST(InterpreterOps, FusedSequencesBehaveAsTheirInstructions) {
  run_cases({
      {"load push add store below",
       "push 5\npush 0\nload 0\npush 1\nadd\nstore 1\nset \"out\"",
       {"set out 6", "=> finished"}},
      {"store onto the result's own slot",
       "push 5\nload 0\npush 1\nadd\nstore 1\nset \"out\"\nset \"out\"",
       {"set out 6", "set out 5", "=> finished"}},
      {"store above the result",
       "push 5\nload 0\npush 1\nsub\nstore 7\nset \"out\"",
       {"set out 4", "=> finished"}},
      {"load of a string",
       "push \"a\"\nload 0\npush 1\nadd\nstore 0",
       {"=> Right operand must be a number"}},
      {"load out of range",
       "push 1\nload 3\npush 1\nadd\nstore 0",
       {"=> [address 1] Attempt to index outside of the stack"}},
      {"slot operand", "push 2\npush 3\nload 0\nsub\nset \"out\"", {"set out 1", "=> finished"}},
      {"slot operand of a string",
       "push \"s\"\npush 3\nload 0\nsub",
       {"=> Both operands must be numbers"}},
      {"constant operand on empty", "push 1\nadd", {"=> [address 1] Stack underflow"}},
      {"comparison to a constant",
       "push 1\npush 2\nlt\nset \"out\"",
       {"set out true", "=> finished"}},
      {"NaN slot never less",
       "push 0\npush 0\ndiv\nload 0\npush 1\nlt\njump_unless 3\npush \"lt\"\nset \"out\"",
       {"=> finished"}},
      {"load compare jump_if",
       "push 3\nload 0\npush 2\ngt\njump_if 3\npush \"no\"\nset \"out\"\npush \"yes\"\nset \"out\"",
       {"set out \"yes\"", "=> finished"}},
      {"compare then jump",
       "push 1\npush 2\npush 0\nstore 0\nge\njump_unless 2\nreturn\npush 9\nset \"out\"",
       {"set out 9", "=> finished"}},
      {"compare of strings then jump",
       "push \"a\"\npush \"b\"\nlt\njump_if 1",
       {"=> Both operands must be numbers"}},
      {"compare underflow then jump", "push 1\nlt\njump_if 1", {"=> [address 1] Stack underflow"}},
      // jump 2 lands on push 10, inside load 0 / push 10 / add / store 0.
      {"jump into the middle",
       "push 1\npush 2\njump 2\nload 0\npush 10\nadd\nstore 0\nset \"out\"",
       {"set out 12", "=> finished"}},
  });
}

}  // namespace
}  // namespace zolang::testing

namespace zolang::testing {
namespace {

// Every operator in every fused shape gives what it gives unfused.
TEST(InterpreterOps, FusedOperatorsMatchTheirPlainResults) {
  struct Operator {
    const char* name;
    double (*apply)(double, double);
    bool is_comparison;
  };
  const Operator operators[] = {
      {"add", [](double l, double r) { return l + r; }, false},
      {"sub", [](double l, double r) { return l - r; }, false},
      {"mul", [](double l, double r) { return l * r; }, false},
      {"div", [](double l, double r) { return l / r; }, false},
      {"lt", [](double l, double r) { return l < r ? 1.0 : 0.0; }, true},
      {"le", [](double l, double r) { return l <= r ? 1.0 : 0.0; }, true},
      {"gt", [](double l, double r) { return l > r ? 1.0 : 0.0; }, true},
      {"ge", [](double l, double r) { return l >= r ? 1.0 : 0.0; }, true},
  };
  const double pairs[][2] = {{3, 2}, {2, 2}, {2, 3}};
  for (const Operator& op : operators) {
    for (const auto& pair : pairs) {
      std::string l = Value::number(pair[0]).display();
      std::string r = Value::number(pair[1]).display();
      double result = op.apply(pair[0], pair[1]);
      std::string shown = op.is_comparison ? Value::boolean(result != 0).display()
                                           : Value::number(result).display();
      std::string name = op.name;
      Events expected{"set out " + shown, "=> finished"};
      // push k; op / load a; op / load a; push k; op
      EXPECT_EQ(trace("push " + l + "\npush " + r + "\n" + name + "\nset \"out\""), expected);
      EXPECT_EQ(trace("push " + r + "\npush " + l + "\nload 0\n" + name + "\nset \"out\"\npop"),
                expected);
      EXPECT_EQ(trace("push " + l + "\nload 0\npush " + r + "\n" + name + "\nset \"out\"\npop"),
                expected);
      if (!op.is_comparison) {
        EXPECT_EQ(trace("push 0\npush " + l + "\nload 1\npush " + r + "\n" + name +
                        "\nstore 0\npop\nset \"out\""),
                  expected)
            << name;
        continue;
      }
      // Both jump senses, fused with a load and a constant, and without.
      std::string taken = result != 0 ? "true" : "false";
      Events branch{"set out \"" + taken + "\"", "=> finished"};
      for (std::string prelude :
           {"push " + l + "\nload 0\npush " + r, "push " + l + "\npush " + r + "\npush 0\npop"}) {
        EXPECT_EQ(trace(prelude + "\n" + name +
                        "\njump_if 3\npush \"false\"\njump 2\npush \"true\"\nset \"out\""),
                  branch)
            << prelude << " " << name;
        EXPECT_EQ(trace(prelude + "\n" + name +
                        "\njump_unless 3\npush \"true\"\njump 2\npush \"false\"\nset \"out\""),
                  branch)
            << prelude << " " << name;
      }
    }
  }
}

}  // namespace
}  // namespace zolang::testing

namespace zolang::testing {
namespace {

std::string repeated(std::string_view line, std::size_t times) {
  std::string text;
  for (std::size_t i = 0; i < times; ++i) text += line;
  return text;
}

// A fused form keeps a store slot and a jump offset in 16 bits and a load
// slot in 32: just past each limit the sequence runs plainly, with the same
// events.
TEST(InterpreterOps, FusionLimitsGiveTheSameEvents) {
  // Stores into slots 32767 and 32768 of a stack 32770 deep.
  for (std::size_t slot : {32767u, 32768u}) {
    std::string ir = repeated("push 0\n", 32770) + "load 0\npush 1\nadd\nstore " +
                     std::to_string(slot) + "\nload " + std::to_string(slot) + "\nset \"out\"";
    EXPECT_EQ(trace(ir), (Events{"set out 1", "=> finished"})) << "store " << slot;
  }
  // A compare-and-jump forward by d: the fused offset counts from the load,
  // so d = 32765 is the last that fits. Not taken, it returns early.
  for (std::ptrdiff_t d : {32765, 32766, 32767, 32768, 32769}) {
    for (const char* value : {"5", "0"}) {
      std::string ir = std::string("push ") + value + "\nload 0\npush 1\nlt\njump_unless " +
                       std::to_string(d) + "\npush \"near\"\nset \"out\"\nreturn\n" +
                       repeated("pop\n", static_cast<std::size_t>(d) - 4) +
                       "push \"far\"\nset \"out\"";
      Events expected{std::string("set out ") + (value[0] == '5' ? "\"far\"" : "\"near\""),
                      "=> finished"};
      EXPECT_EQ(trace(ir), expected) << "jump_unless " << d << " from " << value;
    }
  }
  // A jump forward to a compare-and-jump back by -d to index 2; its fused
  // offset, 2 - d, fits down to d = 32770. The jump there is d - 2 long.
  for (std::ptrdiff_t d : {32766, 32768, 32770, 32771}) {
    std::size_t load = static_cast<std::size_t>(d) - 1;  // jump_if at load + 3 lands on 2
    std::string ir = "push 5\njump " + std::to_string(load - 1) +
                     "\npush \"back\"\nset \"out\"\nreturn\n" + repeated("pop\n", load - 5) +
                     "load 0\npush 1\ngt\njump_if -" + std::to_string(d) +
                     "\npush \"fell\"\nset \"out\"";
    EXPECT_EQ(trace(ir), (Events{"set out \"back\"", "=> finished"})) << "jump_if -" << d;
  }
  // Load slots at and beyond 32 bits: out of range either way, at the load.
  for (const char* slot : {"4294967295", "4294967296", "18446744073709551615"}) {
    std::string ir = std::string("push 1\nload ") + slot + "\npush 1\nadd\nstore 0";
    EXPECT_EQ(trace(ir), (Events{"=> [address 1] Attempt to index outside of the stack"}))
        << "load " << slot;
  }
}

}  // namespace
}  // namespace zolang::testing
