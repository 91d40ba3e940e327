// Recording natives for the library's tests, compiler and interpreter alike:
// every call the library makes on them appends one line to a shared event
// log, so a test can state the exact order of host calls. Scripts and flags
// make them complete late, fail, or refuse a call site; a note adds what the
// library tells the native at that moment to each line.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "native.hpp"

namespace zolang::testing {

using Events = std::vector<std::string>;

// Appended to an event line after a space when set: what the native learns
// from the library during that call (the call site it is given, say).
using EventNote = std::function<std::string()>;

inline std::string noted(std::string line, const EventNote& note) {
  return note ? line + " " + note() : line;
}

// How the callables of one generator behave.
struct CallableScript {
  int complete_at_poll = 1;         // the poll (1-based) that reports completion
  std::optional<int> fail_at_poll;  // the poll that returns an error instead
  bool fail_terminate = false;
  // What result() gives (logged "result NAME#I"); none: the base's nil, unlogged.
  std::optional<Value> result;
  bool fail_result = false;
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
  RecordingCallable(std::shared_ptr<Events> events, std::string tag, CallableScript script,
                    EventNote note = {})
      : events(std::move(events)), tag(std::move(tag)), script(script), note(std::move(note)) {}
  ~RecordingCallable() override { events->push_back("drop " + tag); }

  [[nodiscard]] std::expected<bool, Error> call() override {
    ++polls;
    events->push_back(noted("call " + tag, note));
    if (script.fail_at_poll == polls) return std::unexpected(Error::native("poll failed: " + tag));
    return polls >= script.complete_at_poll;
  }
  [[nodiscard]] std::expected<void, Error> terminate() override {
    events->push_back(noted("terminate " + tag, note));
    if (script.fail_terminate) return std::unexpected(Error::native("terminate failed: " + tag));
    return {};
  }
  [[nodiscard]] std::expected<Value, Error> result() override {
    if (!script.result && !script.fail_result) return Callable::result();
    events->push_back(noted("result " + tag, note));
    if (script.fail_result) return std::unexpected(Error::native("result failed: " + tag));
    return *script.result;
  }

 private:
  std::shared_ptr<Events> events;
  std::string tag;
  CallableScript script;
  EventNote note;
  int polls = 0;
};

// A call site's arguments written compactly: "v" for a value, the text for a
// word, separated by spaces.
inline std::string describe_args(const std::vector<Arg>& args) {
  std::string text;
  for (const Arg& arg : args) {
    if (!text.empty()) text += ' ';
    text += arg.is_word() ? arg.text() : "v";
  }
  return text;
}

// Logs "check NAME(ARGS)" per syntax check, ARGS as describe_args writes
// them, and "generate NAME(a, b)" with the argument display texts.
class RecordingGenerator : public CallableGenerator {
 public:
  RecordingGenerator(std::shared_ptr<Events> events, std::string name, CallableScript script = {})
      : events(std::move(events)), name(std::move(name)), script(script) {}

  [[nodiscard]] std::expected<std::unique_ptr<Callable>, Error> generate(
      std::vector<Value> args) override {
    std::string line = "generate " + name + "(";
    for (std::size_t i = 0; i < args.size(); ++i) line += (i ? ", " : "") + args[i].display();
    events->push_back(noted(line + ")", note));
    if (fail_generate) return std::unexpected(Error::native("generate failed: " + name));
    ++instances;
    CallableScript made = script;
    if (echo && !args.empty()) made.result = args.front();
    return std::make_unique<RecordingCallable>(events, name + "#" + std::to_string(instances), made,
                                               note);
  }
  [[nodiscard]] std::expected<void, Error> check_syntax(std::vector<Arg> args) override {
    events->push_back("check " + name + "(" + describe_args(args) + ")");
    if (rejection) return std::unexpected(*rejection);
    return {};
  }
  bool words_at_run_time() const override { return words; }

  bool words = false;  // its calls pass their words at run time
  bool echo = false;   // each call's result is its first argument
  bool fail_generate = false;
  std::optional<Error> rejection;  // when set, every call site is refused with it
  EventNote note;                  // for its generate, and the calls it makes

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

  [[nodiscard]] std::expected<Value, Error> get() override {
    events->push_back(noted("get " + name, note));
    if (fail) return std::unexpected(Error::native("get failed: " + name));
    return value;
  }
  [[nodiscard]] std::expected<void, Error> set(Value new_value) override {
    events->push_back("set " + name + " " + new_value.display());
    if (fail) return std::unexpected(Error::native("set failed: " + name));
    value = std::move(new_value);
    return {};
  }
  [[nodiscard]] std::expected<bool, Error> settable() override {
    events->push_back("settable " + name);
    if (settable_error) return std::unexpected(Error::native("settable failed: " + name));
    return is_settable;
  }

  bool is_settable = true;
  bool settable_error = false;
  bool fail = false;
  EventNote note;  // for get

 private:
  std::shared_ptr<Events> events;
  std::string name;
  Value value;
};

}  // namespace zolang::testing
