// Random nestings of parallel and race groups, yields and native calls,
// stepped, ended and reset at random points. Each native call checks its own
// life: polled only while active, terminated at most once and never after it
// completed. Run under the sanitizers, this also catches a scheduler that
// touches a discarded context.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "interpreter_test_doubles.hpp"

namespace zolang::testing {
namespace {

// A native call that completes at a given poll and records misuse.
class CheckedCallable : public Callable {
 public:
  CheckedCallable(int complete_at, int* live) : complete_at(complete_at), live(live) { ++*live; }
  ~CheckedCallable() override { --*live; }

  [[nodiscard]] std::expected<bool, Error> call() override {
    EXPECT_FALSE(completed || terminated) << "polled after it ended";
    return ++polls >= complete_at ? (completed = true) : false;
  }
  [[nodiscard]] std::expected<void, Error> terminate() override {
    EXPECT_FALSE(completed || terminated) << "terminated after it ended";
    terminated = true;
    return {};
  }

 private:
  int complete_at;
  int* live;
  int polls = 0;
  bool completed = false;
  bool terminated = false;
};

class CheckedGenerator : public CallableGenerator {
 public:
  CheckedGenerator(std::mt19937* random, int* live) : random(random), live(live) {}
  [[nodiscard]] std::expected<std::unique_ptr<Callable>, Error> generate(
      std::vector<Value>) override {
    return std::make_unique<CheckedCallable>(1 + static_cast<int>((*random)() % 3), live);
  }
  [[nodiscard]] std::expected<void, Error> check_syntax(std::vector<Arg>) override { return {}; }

 private:
  std::mt19937* random;
  int* live;
};

// Groups g0..g{n-1} and wrappers #w0..; a group only starts groups with a
// higher number, so nesting is finite and no step loops forever.
std::vector<Op> random_program(std::mt19937& random, int groups) {
  std::vector<Op> body_of_main;
  std::vector<std::vector<Op>> bodies(groups);
  auto pick = [&](int below) { return static_cast<int>(random() % static_cast<unsigned>(below)); };
  auto statements = [&](int self, std::vector<Op>& out) {
    int count = 1 + pick(4);
    for (int i = 0; i < count; ++i) {
      int choice = pick(5);
      if (choice == 0) out.push_back(Op::simple(OpKind::Yield));
      if (choice == 1) out.push_back(Op::call("native", 0));
      if (choice >= 2 && self + 1 < groups) {
        std::vector<CallEntry> entries;
        int members = 1 + pick(3);
        for (int m = 0; m < members; ++m) {
          int target = self + 1 + pick(groups - self - 1);
          entries.push_back({(pick(3) == 0 ? "#w" : "g") + std::to_string(target), 0});
        }
        out.push_back(choice == 2 ? Op::call_race(entries) : Op::call_parallel(entries));
      }
    }
  };
  for (int g = 0; g < groups; ++g) statements(g, bodies[g]);
  statements(-1, body_of_main);

  std::vector<Op> ops;
  std::vector<Op> groups_code;
  for (int g = 0; g < groups; ++g) {
    groups_code.push_back(Op::label("g" + std::to_string(g)));
    for (Op& op : bodies[g]) groups_code.push_back(op);
    groups_code.push_back(Op::simple(OpKind::Return));
    groups_code.push_back(Op::label("#w" + std::to_string(g)));
    groups_code.push_back(Op::call("native", 0));
    groups_code.push_back(Op::simple(OpKind::Return));
  }
  groups_code.push_back(Op::label("__end"));
  groups_code.push_back(Op::call("native", 0));
  groups_code.push_back(Op::simple(OpKind::Return));
  ops.push_back(Op::jump(static_cast<std::ptrdiff_t>(groups_code.size()) + 1));
  for (Op& op : groups_code) ops.push_back(op);
  for (Op& op : body_of_main) ops.push_back(op);
  return ops;
}

TEST(InterpreterRandom, NativeCallsLiveAndEndCleanly) {
  std::mt19937 random(20261208);
  for (int program = 0; program < 300; ++program) {
    int live = 0;
    Interpreter interpreter(random_program(random, 1 + static_cast<int>(random() % 6)));
    ASSERT_TRUE(interpreter.register_callable("native",
                                              std::make_unique<CheckedGenerator>(&random, &live)));
    for (int round = 0; round < 3; ++round) {
      int stop_after = static_cast<int>(random() % 12);
      bool finished = false;
      for (int step = 0; step < 200 && !finished; ++step) {
        if (step == stop_after) break;
        auto stepped = interpreter.step();
        ASSERT_TRUE(stepped) << stepped.error().render();
        finished = *stepped;
      }
      if (!finished) {
        ASSERT_TRUE(interpreter.end());
      }
      EXPECT_EQ(live, 0) << "a native call outlived the run";
      ASSERT_TRUE(interpreter.reset());
      EXPECT_EQ(live, 0);
    }
  }
}

}  // namespace
}  // namespace zolang::testing
