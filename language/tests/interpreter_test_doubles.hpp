// Recording natives for interpreter tests: every operation appends a line to a
// shared event log, so a test can assert the exact order of host calls.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "interpreter.hpp"
#include "native.hpp"

namespace zolang::testing {

using Events = std::vector<std::string>;

// How the callables of one generator behave.
struct CallableScript {
  int complete_at_poll = 1;         // the poll (1-based) that reports completion
  std::optional<int> fail_at_poll;  // the poll that returns an error instead
  bool fail_terminate = false;
};

inline CallableScript completing_at(int poll) {
  CallableScript script;
  script.complete_at_poll = poll;
  return script;
}
inline CallableScript failing_at(int poll, CallableScript script) {
  script.fail_at_poll = poll;
  return script;
}
inline CallableScript failing_terminate(CallableScript script) {
  script.fail_terminate = true;
  return script;
}

// Logs "call NAME#I" per poll and "terminate NAME#I"; I counts the instances
// of one generator from 1. Logs "drop NAME#I" when the interpreter discards it.
class RecordingCallable : public Callable {
 public:
  RecordingCallable(std::shared_ptr<Events> events, std::string tag, CallableScript script)
      : events(std::move(events)), tag(std::move(tag)), script(script) {}
  ~RecordingCallable() override { events->push_back("drop " + tag); }

  std::expected<bool, Error> call() override {
    ++polls;
    events->push_back("call " + tag);
    if (script.fail_at_poll == polls) return std::unexpected(Error::native("poll failed: " + tag));
    return polls >= script.complete_at_poll;
  }
  std::expected<void, Error> terminate() override {
    events->push_back("terminate " + tag);
    if (script.fail_terminate) return std::unexpected(Error::native("terminate failed: " + tag));
    return {};
  }

 private:
  std::shared_ptr<Events> events;
  std::string tag;
  CallableScript script;
  int polls = 0;
};

// Logs "generate NAME(a, b)" with the argument display texts.
class RecordingGenerator : public CallableGenerator {
 public:
  RecordingGenerator(std::shared_ptr<Events> events, std::string name, CallableScript script = {})
      : events(std::move(events)), name(std::move(name)), script(script) {}

  std::expected<std::unique_ptr<Callable>, Error> generate(std::vector<Value> args) override {
    std::string line = "generate " + name + "(";
    for (std::size_t i = 0; i < args.size(); ++i) line += (i ? ", " : "") + args[i].display();
    events->push_back(line + ")");
    if (fail_generate) return std::unexpected(Error::native("generate failed: " + name));
    ++instances;
    return std::make_unique<RecordingCallable>(events, name + "#" + std::to_string(instances),
                                               script);
  }
  std::expected<void, Error> check_syntax(std::vector<Arg>) override { return {}; }

  bool fail_generate = false;

 private:
  std::shared_ptr<Events> events;
  std::string name;
  CallableScript script;
  int instances = 0;
};

// Logs "get NAME", "set NAME VALUE" and "settable NAME"; holds one value.
class RecordingProp : public Prop {
 public:
  RecordingProp(std::shared_ptr<Events> events, std::string name, Value value = Value::nil())
      : events(std::move(events)), name(std::move(name)), value(std::move(value)) {}

  std::expected<Value, Error> get() override {
    events->push_back("get " + name);
    if (fail) return std::unexpected(Error::native("get failed: " + name));
    return value;
  }
  std::expected<void, Error> set(Value new_value) override {
    events->push_back("set " + name + " " + new_value.display());
    if (fail) return std::unexpected(Error::native("set failed: " + name));
    value = std::move(new_value);
    return {};
  }
  std::expected<bool, Error> settable() override {
    events->push_back("settable " + name);
    if (settable_error) return std::unexpected(Error::native("settable failed: " + name));
    return is_settable;
  }

  bool is_settable = true;
  bool settable_error = false;
  bool fail = false;

 private:
  std::shared_ptr<Events> events;
  std::string name;
  Value value;
};

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
