// Interpreter throughput: loops written as IR run inside one step, reported
// per loop iteration and per instruction; and the fixed cost of one step over
// a yield and over a pending native call.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <zolang/interpreter.hpp>
#include <zolang/lib.hpp>

namespace {

using zolang::Interpreter;

constexpr long loop_count = 1'000'000;

Interpreter interpreter_from(const std::string& ir) {
  auto made = Interpreter::from_ir(ir);
  if (!made) std::abort();
  return std::move(*made);
}

// Runs the program (which never yields) once per benchmark iteration.
void run_loop(benchmark::State& state, const std::string& ir, long instructions_per_iteration) {
  Interpreter interpreter = interpreter_from(ir);
  for (auto _ : state) {
    if (!interpreter.reset() || !interpreter.step()) std::abort();
  }
  using benchmark::Counter;
  auto per_item = Counter::kIsIterationInvariantRate | Counter::kInvert;
  state.counters["ns_per_loop"] = Counter(static_cast<double>(loop_count), per_item);
  state.counters["ns_per_instruction"] =
      Counter(static_cast<double>(loop_count * instructions_per_iteration), per_item);
}

// while $i < N { $i += 1; }
void BM_CountingLoop(benchmark::State& state) {
  const std::string ir = "jump 1\npush 0\nstore 0\nload 0\npush " + std::to_string(loop_count) +
                         "\nlt\njump_unless 6\nload 0\npush 1\nadd\nstore 0\njump -8\n";
  run_loop(state, ir, 9);
}
BENCHMARK(BM_CountingLoop)->Unit(benchmark::kMillisecond);

// while $i < N { $x = ($i * 2 + 3) / 4 - $x; $i += 1; }
void BM_ArithmeticLoop(benchmark::State& state) {
  const std::string ir = "jump 1\npush 0\nstore 0\npush 0\nstore 1\nload 0\npush " +
                         std::to_string(loop_count) +
                         "\nlt\njump_unless 16\n"
                         "load 0\npush 2\nmul\npush 3\nadd\npush 4\ndiv\nload 1\nsub\nstore 1\n"
                         "load 0\npush 1\nadd\nstore 0\njump -18\n";
  run_loop(state, ir, 19);
}
BENCHMARK(BM_ArithmeticLoop)->Unit(benchmark::kMillisecond);

// The two loops compiled from source, run as run_loop runs them, with or
// without a breakpoint on the line after the loop. It is reached once per
// run (and reset clears the suspension), so it shows what a trap set outside
// the loop costs the loop: nothing but the limit check's path.
void run_source_loop(benchmark::State& state, const std::string& source, bool breakpoint) {
  zolang::ZoCompiler compiler;
  auto program = compiler.compile_nonconsuming(source);
  if (!program) std::abort();
  Interpreter interpreter =
      Interpreter::from_program(compiler.package_program(std::move(*program)));
  if (breakpoint && !interpreter.set_breakpoints({3}).front()) std::abort();
  for (auto _ : state) {
    if (!interpreter.reset() || !interpreter.step()) std::abort();
  }
  state.counters["ns_per_loop"] = benchmark::Counter(
      static_cast<double>(loop_count),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

const std::string counting_source =
    "$i = 0;\nwhile $i < " + std::to_string(loop_count) + " { $i += 1; }\n$i = 0;\n";
const std::string arithmetic_source = "$i = 0; $x = 0;\nwhile $i < " + std::to_string(loop_count) +
                                      " { $x = ($i * 2 + 3) / 4 - $x; $i += 1; }\n$i = 0;\n";

void BM_SourceCountingLoop(benchmark::State& state) {
  run_source_loop(state, counting_source, state.range(0) != 0);
}
BENCHMARK(BM_SourceCountingLoop)
    ->ArgName("breakpoint")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);

void BM_SourceArithmeticLoop(benchmark::State& state) {
  run_source_loop(state, arithmetic_source, state.range(0) != 0);
}
BENCHMARK(BM_SourceArithmeticLoop)
    ->ArgName("breakpoint")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);

// One step that resumes after a yield and yields again.
void BM_StepOverYield(benchmark::State& state) {
  Interpreter interpreter = interpreter_from("yield\njump -1\n");
  for (auto _ : state) {
    if (!interpreter.step()) std::abort();
  }
}
BENCHMARK(BM_StepOverYield);

class PendingCall : public zolang::Callable {
 public:
  [[nodiscard]] std::expected<bool, zolang::Error> call() override { return false; }
  [[nodiscard]] std::expected<void, zolang::Error> terminate() override { return {}; }
};

class PendingGenerator : public zolang::CallableGenerator {
 public:
  [[nodiscard]] std::expected<std::unique_ptr<zolang::Callable>, zolang::Error> generate(
      std::vector<zolang::Value>) override {
    return std::make_unique<PendingCall>();
  }
  [[nodiscard]] std::expected<void, zolang::Error> check_syntax(std::vector<zolang::Arg>) override {
    return {};
  }
};

// One step that polls a native call that has not completed.
void BM_StepPollingNative(benchmark::State& state) {
  Interpreter interpreter = interpreter_from("call \"wait\" 0\n");
  if (!interpreter.register_callable("wait", std::make_unique<PendingGenerator>())) std::abort();
  for (auto _ : state) {
    if (!interpreter.step()) std::abort();
  }
}
BENCHMARK(BM_StepPollingNative);

}  // namespace
