// The interpreter tests' doubles: the recording natives that every library
// test shares (recording_natives.hpp), and a harness that reads an
// interpreter from IR text and registers natives with it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "interpreter.hpp"
#include "recording_natives.hpp"

namespace zolang::testing {

// An interpreter under test with its event log. Natives are registered
// through the helpers, which keep a pointer for later tweaks.
struct Harness {
  explicit Harness(std::string_view ir) : interpreter(read(ir)) {}

  static Interpreter read(std::string_view ir) {
    auto made = Interpreter::from_ir(ir);
    EXPECT_TRUE(made.has_value()) << (made ? "" : made.error().render());
    return made ? std::move(*made) : Interpreter(std::vector<Op>{});
  }

  RecordingGenerator& callable(const std::string& name, CallableScript script = {}) {
    auto generator = std::make_unique<RecordingGenerator>(events, name, script);
    RecordingGenerator& kept = *generator;
    auto registered = interpreter.register_callable(name, std::move(generator));
    EXPECT_TRUE(registered.has_value()) << registered.error().render();
    return kept;
  }
  RecordingProp& property(const std::string& name, Value value = Value::nil()) {
    auto property = std::make_unique<RecordingProp>(events, name, std::move(value));
    RecordingProp& kept = *property;
    auto registered = interpreter.register_property(name, std::move(property));
    EXPECT_TRUE(registered.has_value()) << registered.error().render();
    return kept;
  }

  // The step's result: "running", "finished" or the rendered error.
  std::string step() {
    auto result = interpreter.step();
    if (!result) return result.error().render();
    return *result ? "finished" : "running";
  }
  // The events logged since the last call.
  Events take_events() {
    Events taken = std::move(*events);
    events->clear();
    return taken;
  }

  std::shared_ptr<Events> events = std::make_shared<Events>();
  Interpreter interpreter;
};

}  // namespace zolang::testing
