// Stopping in steps and the memory limit: request_stop() from another thread
// or a native, end_in_steps, what contexts() shows, and programs that grow
// strings, stacks, frames, contexts or natives' results past the limit.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "interpreter_test_doubles.hpp"

namespace zolang::testing {
namespace {

// __end at 1: calls "e" then yields; the main code waits on "w".
constexpr const char* waiting_program =
    "jump 5\n__end:\ncall \"e\" 0\nyield\nreturn\ncall \"w\" 0\npush 1\nset \"out\"";

// One line per step: its result, then the events it made.
std::vector<std::string> steps_to_end(Harness& harness) {
  std::vector<std::string> seen;
  for (int guard = 0; guard < 20; ++guard) {
    std::string line = harness.step();
    std::string result = line;
    if (harness.interpreter.status() == RunStatus::Ending) line += " ending";
    for (const std::string& event : harness.take_events()) line += ", " + event;
    seen.push_back(line);
    if (result != "running") break;
  }
  return seen;
}

TEST(InterpreterEnding, ARequestedStopTerminatesOnceThenRunsEndOneStepPerCall) {
  Harness harness(waiting_program);
  harness.callable("w", completing_at(1000));
  harness.callable("e");
  harness.property("out");
  EXPECT_EQ(harness.step(), "running");
  harness.take_events();
  harness.interpreter.request_stop();
  harness.interpreter.request_stop();
  std::vector<std::string> expected = {
      "running ending, terminate w#1, drop w#1",
      "running ending, generate e(), call e#1, drop e#1",
      "running ending",
      "finished",
  };
  EXPECT_EQ(steps_to_end(harness), expected);
  EXPECT_EQ(harness.interpreter.status(), RunStatus::Ended);
  // After the end, and after reset, a request does nothing.
  harness.interpreter.request_stop();
  EXPECT_TRUE(harness.interpreter.reset().has_value());
  EXPECT_EQ(harness.step(), "running");
  EXPECT_EQ(harness.interpreter.status(), RunStatus::Paused);
}

TEST(InterpreterEnding, EndInStepsRunsEndAfterTheStepThatFinished) {
  Harness harness(waiting_program);
  harness.callable("w");
  harness.callable("e");
  harness.property("out");
  harness.interpreter.set_end_in_steps(true);
  EXPECT_EQ(harness.step(), "running");  // w completes
  EXPECT_EQ(harness.step(), "running");  // the main code finishes
  EXPECT_EQ(harness.interpreter.status(), RunStatus::Ending);
  EXPECT_EQ(harness.step(), "running");  // e
  EXPECT_EQ(harness.step(), "running");  // yield
  EXPECT_EQ(harness.step(), "finished");
  EXPECT_EQ(harness.interpreter.status(), RunStatus::Ended);
}

TEST(InterpreterEnding, AnotherThreadStopsARunawayLoopAtACheckPoint) {
  for (const char* endless : {"jump 0", "jump 3\nspin:\njump 0\ncall_parallel \"spin\" 0"}) {
    Harness harness(endless);
    std::atomic<bool> stepping{false};
    std::thread asker([&] {
      while (!stepping.load()) std::this_thread::yield();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      harness.interpreter.request_stop();
    });
    stepping.store(true);
    EXPECT_EQ(harness.step(), "finished") << endless;  // no __end: ended with the stop
    asker.join();
    EXPECT_EQ(harness.interpreter.status(), RunStatus::Ended);
  }
}

TEST(InterpreterEnding, ContextsShowTheTreeAndWhatEachWaitsOn) {
  // main: parallel { a; #w } where a races two waits on "w".
  Harness harness(
      "jump 9\na:\ncall_race \"#w\" 0 \"#w\" 0\nreturn\n#w:\ncall \"w\" 0\nreturn\n"
      "yield\nreturn\ncall_parallel \"a\" 0 \"#w\" 0");
  harness.callable("w", completing_at(1000));
  EXPECT_EQ(harness.step(), "running");
  std::vector<ContextView> views = harness.interpreter.contexts();
  ASSERT_EQ(views.size(), 5u);
  auto shape = [](const ContextView& view) {
    return std::to_string(view.address) + " " + view.group.value_or("-") + " " +
           view.waiting.value_or("-") + " " +
           (view.mode ? (*view.mode == BlockMode::Race ? "race" : "parallel") : "-") + " " +
           (view.branch ? std::to_string(*view.branch) : "-");
  };
  std::vector<std::string> shapes;
  for (const ContextView& view : views) shapes.push_back(shape(view));
  EXPECT_EQ(shapes, (std::vector<std::string>{"9 - - parallel -", "2 a - race 0", "5 - w - 1",
                                              "5 a w - 0", "5 a w - 1"}));
  EXPECT_EQ(views[1].parent, views[0].id);
  EXPECT_EQ(views[3].parent, views[1].id);
  EXPECT_FALSE(views[0].parent);
}

TEST(InterpreterEnding, AContextWhoseNativeFailedTheStepStillStandsAtTheCall) {
  // The first poll fails, as when Ctrl-C lands in the native's own code.
  Harness harness("push 1\ncall \"f\" 0\nyield");
  harness.callable("f", failing_at(1, {}));
  EXPECT_EQ(harness.step(), "poll failed: f#1");
  std::vector<ContextView> views = harness.interpreter.contexts();
  ASSERT_EQ(views.size(), 1u);
  EXPECT_EQ(views[0].address, 1u);
  EXPECT_EQ(views[0].waiting, "f");
}

// A native whose every call gives a 100 kB string of its own, as a host's
// natives do: what the program keeps of them is its to hold.
class FreshStrings final : public CallableGenerator {
  struct Call final : Callable {
    std::expected<bool, Error> call() override { return true; }
    std::expected<void, Error> terminate() override { return {}; }
    std::expected<Value, Error> result() override {
      return Value::string(std::string(100000, 'x'));
    }
  };

 public:
  std::expected<std::unique_ptr<Callable>, Error> generate(std::vector<Value>) override {
    return std::make_unique<Call>();
  }
  std::expected<void, Error> check_syntax(std::vector<Arg>) override { return {}; }
};

// Each grows something until a limit of 1 MiB stops it.
TEST(InterpreterEnding, TheMemoryLimitStopsEveryWayOfGrowing) {
  struct Case {
    const char* ir;
    const char* error;
  } growing[] = {
      // $s = $s + $s
      {"push \"x\"\nstore 0\nload 0\nload 0\nadd\nstore 0\njump -4",
       "[address 4] Memory limit exceeded"},
      // pushes forever: the stack grows
      {"push 1\njump -1", "[address 0] Memory limit exceeded"},
      // recursion: the frames grow
      {"jump 3\na:\ncall \"a\" 0\ncall \"a\" 0", "[address 2] Memory limit exceeded"},
      // spawning: contexts pile up
      {"jump 4\na:\ncall_parallel \"a\" 0 \"a\" 0\nyield\ncall \"a\" 0",
       "[address 2] Memory limit exceeded"},
      // a native's results, kept one per step
      {"call_value \"big\" 0\nyield\njump -2", "[address 0] Memory limit exceeded"},
  };
  for (const Case& each : growing) {
    Harness harness(each.ir);
    ASSERT_TRUE(harness.interpreter.register_callable("big", std::make_unique<FreshStrings>()));
    harness.interpreter.set_limits({.memory = std::uint64_t{1} << 20});
    std::string result = harness.step();
    for (int guard = 0; result == "running" && guard < 100; ++guard) result = harness.step();
    EXPECT_EQ(result, each.error) << each.ir;
    EXPECT_EQ(harness.interpreter.status(), RunStatus::Running);
    EXPECT_TRUE(harness.interpreter.end().has_value());
    EXPECT_TRUE(harness.interpreter.reset().has_value());
  }
}

TEST(InterpreterEnding, SharedStringsCountOnce) {
  // 1000 copies of one 10 KB string on the stack, under a limit of 100 KB.
  std::string big(10000, 'z');
  Harness harness("push \"" + big +
                  "\"\nstore 0\npush 0\nstore 1\nload 0\nload 1\npush 1\nadd\nstore 1\n"
                  "load 1\npush 1000\nlt\njump_if -8\nyield");
  harness.interpreter.set_limits({.memory = 100000});
  EXPECT_EQ(harness.step(), "running");
}

}  // namespace
}  // namespace zolang::testing
