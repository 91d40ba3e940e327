// Lexing and parsing throughput on generated sources of a few megabytes: one
// mostly ASCII (the common case, served without the segmentation library)
// and one rich in non-ASCII names, words and emoji (every cluster near them
// goes through ICU).
#include <benchmark/benchmark.h>

#include <cstddef>
#include <string>

#include "lexer.hpp"
#include "parser.hpp"

namespace {

constexpr std::size_t target_size = 4 << 20;

// Statements of every common form; `n` varies the text a little per block.
std::string ascii_block(std::size_t n) {
  std::string i = std::to_string(n);
  return "# move the arm into position " + i +
         "\n"
         "use $speed;\n"
         "$count = 0;\n"
         "$target = " +
         i +
         ".25 * ($base + 3) - |$offset|;\n"
         "while $count < 10 and not $done {\n"
         "  move_arm 10 -2.5 left;\n"
         "  $count += 1;\n"
         "  if $count % 3 == 0 { say \"tick " +
         i +
         "\" 'and tock'; } else { yield; }\n"
         "}\n"
         "group wave times $height {\n"
         "  parallel { lift $height; turn 90 right; }\n"
         "  return;\n"
         "}\n";
}

std::string non_ascii_block(std::size_t n) {
  std::string i = std::to_string(n);
  return "# größe und geschwindigkeit — 速度 " + i +
         "\n"
         "$größe = " +
         i +
         " * $breite;\n"
         "$速度 = $距離 / $時間;\n"
         "sage \"Grüße 👋🏽 an alle\" größer schnell;\n"
         "if $größe > 10 { zeige 🚀 👨‍👩‍👧 café naïve; }\n"
         "表示 こんにちは 世界 $速度;\n";
}

std::string generate(std::string (*block)(std::size_t)) {
  std::string source;
  source.reserve(target_size + 1024);
  for (std::size_t n = 0; source.size() < target_size; ++n) source += block(n);
  return source;
}

void lex_all(benchmark::State& state, const std::string& source) {
  for (auto _ : state) {
    zolang::Lexer lexer(source);
    std::size_t tokens = 0;
    while (auto token = lexer._scan()) ++tokens;
    benchmark::DoNotOptimize(tokens);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(source.size()));
}

void parse_all(benchmark::State& state, const std::string& source) {
  for (auto _ : state) {
    auto program = zolang::Parser(source).parse();
    if (!program) state.SkipWithError("the generated source does not parse");
    benchmark::DoNotOptimize(program);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(source.size()));
}

void BM_LexMostlyAscii(benchmark::State& state) {
  static const std::string source = generate(ascii_block);
  lex_all(state, source);
}

void BM_LexNonAscii(benchmark::State& state) {
  static const std::string source = generate(non_ascii_block);
  lex_all(state, source);
}

void BM_ParseMostlyAscii(benchmark::State& state) {
  static const std::string source = generate(ascii_block);
  parse_all(state, source);
}

void BM_ParseNonAscii(benchmark::State& state) {
  static const std::string source = generate(non_ascii_block);
  parse_all(state, source);
}

BENCHMARK(BM_LexMostlyAscii)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LexNonAscii)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseMostlyAscii)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseNonAscii)->Unit(benchmark::kMillisecond);

}  // namespace
