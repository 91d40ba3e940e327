// Error: the one diagnostic record of every stage (lexer, parser, compiler,
// IR reader, interpreter, native adapters). Stages build errors through the
// named constructors below and never format text themselves; render() gives
// the fixed text of each variant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "position.hpp"
#include "token.hpp"

namespace zolang {

// The variants, in their fixed order.
enum class ErrorKind : std::uint8_t {
  Lex,                        // [line L] message
  ParseAtEnd,                 // [end] message
  Parse,                      // [line <token line>] message
  Compile,                    // [line L] message
  CallableAlreadyRegistered,  // A callable named 'N' is already registered
  PropertyAlreadyRegistered,  // A property named 'N' is already registered
  CallableNotRegistered,      // No callable named 'N' was registered
  PropertyNotRegistered,      // No property named 'N' was registered
  PropertyNotDeclared,        // The 'N' property was not declared with a 'use' statement
  PropertyNotSettable,        // [address A] 'N' is not a settable property
  UnknownProperty,            // [address A] 'N' is not a registered property
  UnknownCallable,            // [address A] 'N' is not a registered callable
  ParallelNotGroup,           // [address A] Only built-in callables can be called in parallel
  InvalidCallable,            // N is not a valid Callable
  StackUnderflow,             // [address A] Stack underflow
  StackOutOfBounds,           // [address A] Attempt to index outside of the stack
  Runtime,                    // message
  CompilerBusy,               // Cannot modify compiler state while it's running
  InterpreterBusy,            // Cannot modify interpreter state while it's running
  Poisoned,                   // Something went wrong while accessing from multiple threads. ...
  GroupSyntax,                // message
  IrSyntax,                   // [line L] message (line 0 until the program reader sets it)
  Native,                     // message: a failure reported by host code
};

inline constexpr std::size_t error_kind_count = 23;

// A place related to a diagnostic, such as where an unclosed block opened or
// where a group was defined, or a hint with no place of its own ("did you
// mean 'print'?"), whose position is then unknown (line 0).
struct Note {
  std::string message;
  SourcePosition position;

  friend bool operator==(const Note&, const Note&) = default;
};

struct [[nodiscard]] Error {
  ErrorKind kind = ErrorKind::Runtime;
  std::size_t line = 0;             // Lex, Compile, IrSyntax (a Parse error's is its token's)
  std::size_t address = 0;          // the instruction index of run-time and validation errors
  std::string text;                 // the name or the message, by variant
  std::optional<OwnedToken> token;  // Parse: where the parser stopped
  // Where in the source the front end found the problem, whatever the text
  // says ("[line 0]", or no line at all): the span of the offending token.
  // Extra to the text, which never changes with it; unknown for the errors
  // of the IR reader and the interpreter.
  SourceSpan span;
  std::vector<Note> notes;  // related places and hints, in the order found

  static Error lex(std::size_t line, std::string message);
  static Error parse_at_end(std::string message);
  static Error parse(OwnedToken token, std::string message);
  static Error compile(std::size_t line, std::string message);
  static Error callable_already_registered(std::string name);
  static Error property_already_registered(std::string name);
  static Error callable_not_registered(std::string name);
  static Error property_not_registered(std::string name);
  static Error property_not_declared(std::string name);
  static Error property_not_settable(std::string name, std::size_t address);
  static Error unknown_property(std::string name, std::size_t address);
  static Error unknown_callable(std::string name, std::size_t address);
  static Error parallel_not_group(std::size_t address);
  static Error invalid_callable(std::string type_name);
  static Error stack_underflow(std::size_t address);
  static Error stack_out_of_bounds(std::size_t address);
  static Error runtime(std::string message);
  static Error compiler_busy();
  static Error interpreter_busy();
  static Error poisoned();
  static Error group_syntax(std::string message);
  static Error ir_syntax(std::size_t line, std::string message);
  static Error native(std::string message);
  // The errors of an interpreter's limits: Runtime errors that carry their
  // address in the text too, "[address A] Instruction budget exhausted" and
  // "[address A] Time limit exceeded", and "[address A] Memory limit
  // exceeded" (the memory limit, or memory the system refused).
  static Error budget_exhausted(std::size_t address);
  static Error time_limit_exceeded(std::size_t address);
  static Error memory_limit_exceeded(std::size_t address);

  // The fixed text of this error, as listed beside each variant above.
  std::string render() const;
  // The text without its "[line L] ", "[end] " or "[address A] " prefix.
  std::string message() const;

  friend bool operator==(const Error&, const Error&) = default;
};

}  // namespace zolang
