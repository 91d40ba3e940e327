// The interfaces through which host code plugs into Zo: native calls
// (CallableGenerator makes a Callable each time a call is reached) and
// properties (Prop). Every operation reports failure as a returned Error and
// never throws. Implementations are owned through std::unique_ptr by the
// registry or the interpreter that holds them.
//
// The library calls these from whichever thread compiles or steps, one
// operation at a time per compiler or interpreter; an implementation that needs
// a host lock (the Python adapters need the GIL) takes it itself.
#pragma once

#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "value.hpp"

namespace zolang {

// What the compiler knows about one argument of a call site: either a value
// (an expression whose run-time value does not exist yet) or a bare word,
// known at compile time and never passed at run time.
class Arg {
 public:
  static Arg value() { return Arg(false, {}); }
  static Arg word(std::string text) { return Arg(true, std::move(text)); }

  bool is_word() const { return word_flag; }
  bool is_value() const { return !word_flag; }
  // True exactly for a word whose bytes equal `text`; no case folding or
  // Unicode normalisation. A value matches nothing, not even "".
  bool matches_word(std::string_view text) const { return word_flag && word_text == text; }
  // The word's text; empty for a value.
  const std::string& text() const { return word_text; }

  friend bool operator==(const Arg&, const Arg&) = default;

 private:
  Arg(bool is_word, std::string text) : word_flag(is_word), word_text(std::move(text)) {}

  bool word_flag;
  std::string word_text;
};

// One running native call, polled until it reports completion.
class Callable {
 public:
  virtual ~Callable() = default;
  // Polls the call: true when it is complete, false to be polled again at the
  // owning context's next turn.
  [[nodiscard]] virtual std::expected<bool, Error> call() = 0;
  // Ends an active call early (a lost race, or the interpreter stopped).
  [[nodiscard]] virtual std::expected<void, Error> terminate() = 0;
  // The call's value, asked once after call() has reported completion, and
  // only when the call is used as a value (`$t = measure "t1";`); a call
  // statement never asks. An Error fails the step at the call. Nil unless
  // overridden.
  [[nodiscard]] virtual std::expected<Value, Error> result() { return Value(); }
};

// The factory registered under a call name.
class CallableGenerator {
 public:
  virtual ~CallableGenerator() = default;
  // Makes a fresh Callable from the call's values, in push order.
  [[nodiscard]] virtual std::expected<std::unique_ptr<Callable>, Error> generate(
      std::vector<Value> args) = 0;
  // Checks one call site at compile time; an Error rejects it.
  [[nodiscard]] virtual std::expected<void, Error> check_syntax(std::vector<Arg> args) = 0;
  // Whether this native's calls pass their words too: then generate()
  // receives every argument in source order, each word as a string value,
  // and the call's arity counts them all. Asked by the compiler at each call
  // site, so the answer must not change. False unless overridden: words stay
  // at compile time and only values reach generate().
  virtual bool words_at_run_time() const { return false; }
};

// A named value the program reads (and, when settable, writes) like a variable.
class Prop {
 public:
  virtual ~Prop() = default;
  [[nodiscard]] virtual std::expected<Value, Error> get() = 0;
  [[nodiscard]] virtual std::expected<void, Error> set(Value value) = 0;
  [[nodiscard]] virtual std::expected<bool, Error> settable() = 0;
};

}  // namespace zolang
