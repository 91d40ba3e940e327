// A test fixture that compiles source text through the ZoCompiler facade with
// recording natives, and shows the outcome as one text: the IR listing of the
// program, or "error: " lines for a failed compilation. Whole listings are
// compared, so that no instruction can change unnoticed.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "interpreter.hpp"
#include "ir.hpp"
#include "lib.hpp"
#include "recording_natives.hpp"

namespace zolang::testing {

class CompilerFixture : public ::testing::Test {
 protected:
  // Registers a recording native or property; the reference stays valid
  // until the registrations are packaged, for tweaks such as a rejection.
  RecordingGenerator& native(const std::string& name, CallableScript script = {}) {
    auto generator = std::make_unique<RecordingGenerator>(events, name, script);
    RecordingGenerator& kept = *generator;
    EXPECT_TRUE(compiler.register_callable(name, std::move(generator)));
    return kept;
  }
  RecordingProp& prop(const std::string& name, Value value = Value::nil()) {
    auto property = std::make_unique<RecordingProp>(events, name, std::move(value));
    RecordingProp& kept = *property;
    EXPECT_TRUE(compiler.register_property(name, std::move(property)));
    return kept;
  }

  // The program's IR text, or one "error: {rendered}" line per error.
  std::string listing(std::string_view source) {
    auto result = compiler.compile_nonconsuming(source);
    if (result) return print_program(*result);
    std::string text;
    for (const Error& error : result.error()) text += "error: " + error.render() + "\n";
    return text;
  }

  // The syntax checks logged so far, "check NAME(ARGS)" each.
  std::vector<std::string> checks() const {
    std::vector<std::string> found;
    for (const std::string& event : *events) {
      if (event.starts_with("check ")) found.push_back(event);
    }
    return found;
  }

  // Compiles and packages `source`, then steps it until it finishes (at most
  // `max_steps` steps), logging "step" after every unfinished step. Returns
  // the natives' events from the first step on, without the questions
  // whether a property is settable, which only validation asks. A completed
  // native call ends its context's turn, so the code after it runs in the
  // next step.
  Events run(std::string_view source, std::size_t max_steps = 100) {
    auto ops = compiler.compile_nonconsuming(source);
    if (!ops) return {"compile failed: " + ops.error().front().render()};
    Interpreter interpreter = Interpreter::from_program(compiler.package_program(*ops));
    events->clear();
    Events seen;
    for (std::size_t step = 0; step < max_steps; ++step) {
      std::expected<bool, Error> finished = interpreter.step();
      for (const std::string& event : *events) {
        if (!event.starts_with("settable ")) seen.push_back(event);
      }
      events->clear();
      if (!finished) {
        seen.push_back("error: " + finished.error().render());
        break;
      }
      if (*finished) break;
      seen.push_back("step");
    }
    return seen;
  }

  std::shared_ptr<Events> events = std::make_shared<Events>();
  ZoCompiler compiler;
};

}  // namespace zolang::testing
