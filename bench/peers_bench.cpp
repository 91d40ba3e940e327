// The C++ side of `bench/run`: one measurement per process, printed as one
// number on stdout, so the runner can interleave it with the peers (Lua,
// LuaJIT, CPython, PyPy) round-robin. Times are process CPU time, the same
// clock every peer uses, because the benchmark machine is shared.
//
//   peers_bench loop FILE.zo N      ns per iteration of a loop run in one step
//   peers_bench loop FILE.zo N limited   the same with an instruction limit of
//                                   10^12 and a time limit of an hour set
//   peers_bench compile FILE.zo     MB/s of the ZoCompiler facade
//   peers_bench from-ir FILE.ir     MB/s of IR text read into an Interpreter
//   peers_bench program-memory FILE.zo   bytes of the compiled program (every
//                                   table's capacity) per byte of source
//   peers_bench scale-step N        ns per context per step, N waiting children
//   peers_bench scale-memory N      bytes per waiting child context
//   peers_bench print-ir FILE.zo    the IR of a source (for the Python hosts)
//
// Google Benchmark is linked in but not used: this file has its own main.
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>
#include <zolang/interpreter.hpp>
#include <zolang/ir.hpp>
#include <zolang/lib.hpp>

namespace {

using zolang::Arg;
using zolang::Error;
using zolang::Value;

double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

[[noreturn]] void fail(std::string_view what) {
  std::cerr << "peers_bench: " << what << "\n";
  std::exit(1);
}

std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail(std::string("cannot read ") + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A native call that completes after `polls` polls (never when negative).
class CountedCall : public zolang::Callable {
 public:
  explicit CountedCall(long polls) : remaining(polls) {}
  [[nodiscard]] std::expected<bool, Error> call() override {
    return remaining >= 0 && remaining-- == 0;
  }
  [[nodiscard]] std::expected<void, Error> terminate() override { return {}; }

 private:
  long remaining;
};

// Accepts any arguments; every instance completes after `polls` polls.
class CountedGenerator : public zolang::CallableGenerator {
 public:
  explicit CountedGenerator(long polls) : polls(polls) {}
  [[nodiscard]] std::expected<std::unique_ptr<zolang::Callable>, Error> generate(
      std::vector<Value>) override {
    return std::make_unique<CountedCall>(polls);
  }
  [[nodiscard]] std::expected<void, Error> check_syntax(std::vector<Arg>) override { return {}; }

 private:
  long polls;
};

// A settable number property.
class NumberProp : public zolang::Prop {
 public:
  [[nodiscard]] std::expected<Value, Error> get() override { return value; }
  [[nodiscard]] std::expected<void, Error> set(Value fresh) override {
    value = std::move(fresh);
    return {};
  }
  [[nodiscard]] std::expected<bool, Error> settable() override { return true; }

 private:
  Value value = Value::number(0);
};

// The natives the benchmark sources use: calls `log`, `move`, `wait` and
// the property `$p`.
void register_compile_natives(zolang::ZoCompiler& compiler) {
  for (const char* name : {"log", "move", "wait"}) {
    if (!compiler.register_callable(name, std::make_unique<CountedGenerator>(0))) fail(name);
  }
  if (!compiler.register_property("p", std::make_unique<NumberProp>())) fail("p");
}

zolang::Bytecode compile_or_fail(zolang::ZoCompiler& compiler, std::string_view source) {
  auto ops = compiler.compile_nonconsuming(source);
  if (!ops) {
    for (const Error& error : ops.error()) std::cerr << error.render() << "\n";
    fail("compile failed");
  }
  return std::move(*ops);
}

zolang::Interpreter interpreter_for(std::string_view source, long polls) {
  zolang::ZoCompiler compiler;
  if (!compiler.register_callable("wait", std::make_unique<CountedGenerator>(polls))) {
    fail("register");
  }
  auto ops = compile_or_fail(compiler, source);
  return zolang::Interpreter::from_program(compiler.package_program(std::move(ops)));
}

// One step runs the whole loop (it never yields); the first run warms caches.
// With `limited`, both limits are set, far beyond what the loop needs.
double loop_ns(const char* path, long iterations, bool limited) {
  zolang::Interpreter interpreter = interpreter_for(read_file(path), 0);
  if (limited) {
    interpreter.set_limits({.instructions = 1'000'000'000'000, .time = std::chrono::hours(1)});
  }
  if (!interpreter.step()) fail("loop failed");
  if (!interpreter.reset()) fail("reset failed");
  const double start = cpu_seconds();
  auto finished = interpreter.step();
  const double seconds = cpu_seconds() - start;
  if (!finished || !*finished) fail("loop did not finish in one step");
  return seconds * 1e9 / static_cast<double>(iterations);
}

// Best of five compilations of the whole file (as for the peers), in MB/s.
double compile_mb_per_s(const char* path) {
  const std::string source = read_file(path);
  double best = 1e30;
  for (int round = 0; round < 5; ++round) {
    zolang::ZoCompiler compiler;
    register_compile_natives(compiler);
    const double start = cpu_seconds();
    auto ops = compile_or_fail(compiler, source);
    best = std::min(best, cpu_seconds() - start);
  }
  return static_cast<double>(source.size()) / 1e6 / best;
}

// Best of a few Interpreters built from the whole IR text, in MB/s.
double from_ir_mb_per_s(const char* path) {
  const std::string text = read_file(path);
  double best = 1e30;
  for (int round = 0; round < 3; ++round) {
    const double start = cpu_seconds();
    auto interpreter = zolang::Interpreter::from_ir(text);
    best = std::min(best, cpu_seconds() - start);
    if (!interpreter) fail(interpreter.error().render().c_str());
  }
  return static_cast<double>(text.size()) / 1e6 / best;
}

double program_bytes_per_source_byte(const char* path) {
  const std::string source = read_file(path);
  zolang::ZoCompiler compiler;
  register_compile_natives(compiler);
  zolang::Bytecode program = compile_or_fail(compiler, source);
  return static_cast<double>(program.memory_bytes()) / static_cast<double>(source.size());
}

// `children` copies of group `w` in one parallel block; each waits on a
// native that never completes within the measured steps.
std::string scale_source(long children) {
  std::string source = "group w { wait; }\nparallel {\n";
  for (long i = 0; i < children; ++i) source += "  w;\n";
  return source + "}\n";
}

std::size_t heap_in_use() { return mallinfo2().uordblks; }

double scale_memory(long children) {
  zolang::Interpreter interpreter = interpreter_for(scale_source(children), -1);
  const std::size_t before = heap_in_use();
  if (!interpreter.step()) fail("step failed");  // spawns every child; each starts waiting
  return static_cast<double>(heap_in_use() - before) / static_cast<double>(children);
}

double scale_step(long children) {
  zolang::Interpreter interpreter = interpreter_for(scale_source(children), -1);
  if (!interpreter.step()) fail("step failed");
  constexpr int steps = 20;
  const double start = cpu_seconds();
  for (int i = 0; i < steps; ++i) {
    if (!interpreter.step()) fail("step failed");
  }
  return (cpu_seconds() - start) * 1e9 / (static_cast<double>(steps) * children);
}

void print_ir(const char* path) {
  zolang::ZoCompiler compiler;
  register_compile_natives(compiler);
  std::cout << zolang::print_program(compile_or_fail(compiler, read_file(path)));
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  auto number = [&](std::size_t at) { return at < args.size() ? std::atol(argv[at + 1]) : 0L; };
  if ((args.size() == 3 || (args.size() == 4 && args[3] == "limited")) && args[0] == "loop") {
    std::printf("%.4f\n", loop_ns(argv[2], number(2), args.size() == 4));
  } else if (args.size() == 2 && args[0] == "compile") {
    std::printf("%.3f\n", compile_mb_per_s(argv[2]));
  } else if (args.size() == 2 && args[0] == "from-ir") {
    std::printf("%.3f\n", from_ir_mb_per_s(argv[2]));
  } else if (args.size() == 2 && args[0] == "program-memory") {
    std::printf("%.3f\n", program_bytes_per_source_byte(argv[2]));
  } else if (args.size() == 2 && args[0] == "scale-step") {
    std::printf("%.3f\n", scale_step(number(1)));
  } else if (args.size() == 2 && args[0] == "scale-memory") {
    std::printf("%.1f\n", scale_memory(number(1)));
  } else if (args.size() == 2 && args[0] == "print-ir") {
    print_ir(argv[2]);
  } else {
    fail(
        "usage: loop FILE N [limited] | compile FILE | from-ir FILE | program-memory FILE | "
        "scale-step N | scale-memory N | print-ir FILE");
  }
  return 0;
}
