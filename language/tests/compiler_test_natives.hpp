// Recording natives for compiler and end-to-end tests: they log what the
// library hands them, and can be told to reject a call site, to need several
// polls, or to refuse writes.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "native.hpp"

namespace zolang::fakes {

// What the natives of one test saw, shared between them and the test body.
struct NativeLog {
  std::vector<std::vector<Arg>> checks;  // every check_syntax argument list
  std::vector<std::string> events;       // "name(values)", "name done", "name terminated", "prop=v"
};

inline std::string describe_values(const std::vector<Value>& values) {
  std::string text;
  for (const Value& value : values) {
    if (!text.empty()) text += ' ';
    text += value.display();
  }
  return text;
}

class RecordingCallable final : public Callable {
 public:
  RecordingCallable(std::shared_ptr<NativeLog> log, std::string name, std::size_t polls)
      : log(std::move(log)), name(std::move(name)), polls_left(polls) {}

  std::expected<bool, Error> call() override {
    if (polls_left > 0) {
      --polls_left;
      return false;
    }
    log->events.push_back(name + " done");
    return true;
  }
  std::expected<void, Error> terminate() override {
    log->events.push_back(name + " terminated");
    return {};
  }

 private:
  std::shared_ptr<NativeLog> log;
  std::string name;
  std::size_t polls_left;
};

// A generator named `name` whose calls each need `polls` unfinished polls
// before they complete. When `rejection` is set, every call site is refused
// with it.
class RecordingGenerator final : public CallableGenerator {
 public:
  RecordingGenerator(std::shared_ptr<NativeLog> log, std::string name, std::size_t polls = 0,
                     std::optional<Error> rejection = std::nullopt)
      : log(std::move(log)), name(std::move(name)), polls(polls), rejection(std::move(rejection)) {}

  std::expected<std::unique_ptr<Callable>, Error> generate(std::vector<Value> args) override {
    log->events.push_back(name + "(" + describe_values(args) + ")");
    return std::make_unique<RecordingCallable>(log, name, polls);
  }
  std::expected<void, Error> check_syntax(std::vector<Arg> args) override {
    log->checks.push_back(std::move(args));
    if (rejection) return std::unexpected(*rejection);
    return {};
  }

 private:
  std::shared_ptr<NativeLog> log;
  std::string name;
  std::size_t polls;
  std::optional<Error> rejection;
};

// A property holding one value. `settable` answers the settable query; when
// `settable_error` is set the query fails with it instead.
class RecordingProp final : public Prop {
 public:
  RecordingProp(std::shared_ptr<NativeLog> log, std::string name, Value value = Value::nil(),
                bool settable = true, std::optional<Error> settable_error = std::nullopt)
      : log(std::move(log)),
        name(std::move(name)),
        value(std::move(value)),
        is_settable(settable),
        settable_error(std::move(settable_error)) {}

  std::expected<Value, Error> get() override { return value; }
  std::expected<void, Error> set(Value new_value) override {
    log->events.push_back(name + "=" + new_value.display());
    value = std::move(new_value);
    return {};
  }
  std::expected<bool, Error> settable() override {
    if (settable_error) return std::unexpected(*settable_error);
    return is_settable;
  }

 private:
  std::shared_ptr<NativeLog> log;
  std::string name;
  Value value;
  bool is_settable;
  std::optional<Error> settable_error;
};

}  // namespace zolang::fakes
