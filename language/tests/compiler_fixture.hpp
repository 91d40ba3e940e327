// A test fixture that compiles source text through the ZoCompiler facade with
// recording natives, and shows the outcome as one text: the IR listing of the
// program, or "error: " lines for a failed compilation. Whole listings are
// compared, so that no instruction can change unnoticed.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compiler_test_natives.hpp"
#include "ir.hpp"
#include "lib.hpp"

namespace zolang::fakes {

class CompilerFixture : public ::testing::Test {
 protected:
  void native(std::string name, std::size_t polls = 0,
              std::optional<Error> rejection = std::nullopt) {
    auto generator = std::make_unique<RecordingGenerator>(log, name, polls, std::move(rejection));
    ASSERT_TRUE(compiler.register_callable(std::move(name), std::move(generator)));
  }
  void prop(std::string name, Value value = Value::nil(), bool settable = true,
            std::optional<Error> settable_error = std::nullopt) {
    auto property = std::make_unique<RecordingProp>(log, name, std::move(value), settable,
                                                    std::move(settable_error));
    ASSERT_TRUE(compiler.register_property(std::move(name), std::move(property)));
  }

  // The program's IR text, or one "error: {rendered}" line per error.
  std::string listing(std::string_view source) {
    auto result = compiler.compile_nonconsuming(source);
    if (result) return print_program(*result);
    std::string text;
    for (const Error& error : result.error()) text += "error: " + error.render() + "\n";
    return text;
  }

  std::shared_ptr<NativeLog> log = std::make_shared<NativeLog>();
  ZoCompiler compiler;
};

// Argument lists written compactly for comparison: "v" for a value, the text
// for a word, separated by spaces.
inline std::string describe_args(const std::vector<Arg>& args) {
  std::string text;
  for (const Arg& arg : args) {
    if (!text.empty()) text += ' ';
    text += arg.is_word() ? arg.text() : "v";
  }
  return text;
}

inline std::vector<std::string> describe_checks(const NativeLog& log) {
  std::vector<std::string> checks;
  for (const std::vector<Arg>& args : log.checks) checks.push_back(describe_args(args));
  return checks;
}

}  // namespace zolang::fakes
