#include "error.hpp"

#include <utility>

namespace zolang {

namespace {

Error make(ErrorKind kind, std::string text, std::size_t line = 0, std::size_t address = 0) {
  return Error{kind, line, address, std::move(text), std::nullopt, {}, {}};
}

std::string quoted(std::string_view before, const std::string& name, std::string_view after) {
  std::string out(before);
  out += '\'';
  out += name;
  out += '\'';
  out += after;
  return out;
}

std::string at_line(std::size_t line, const std::string& message) {
  return "[line " + std::to_string(line) + "] " + message;
}

std::string at_address(std::size_t address, const std::string& message) {
  return "[address " + std::to_string(address) + "] " + message;
}

}  // namespace

Error Error::lex(std::size_t line, std::string message) {
  return make(ErrorKind::Lex, std::move(message), line);
}
Error Error::parse_at_end(std::string message) {
  return make(ErrorKind::ParseAtEnd, std::move(message));
}
Error Error::parse(OwnedToken token, std::string message) {
  Error error = make(ErrorKind::Parse, std::move(message));
  error.token = std::move(token);
  return error;
}
Error Error::compile(std::size_t line, std::string message) {
  return make(ErrorKind::Compile, std::move(message), line);
}
Error Error::callable_already_registered(std::string name) {
  return make(ErrorKind::CallableAlreadyRegistered, std::move(name));
}
Error Error::property_already_registered(std::string name) {
  return make(ErrorKind::PropertyAlreadyRegistered, std::move(name));
}
Error Error::callable_not_registered(std::string name) {
  return make(ErrorKind::CallableNotRegistered, std::move(name));
}
Error Error::property_not_registered(std::string name) {
  return make(ErrorKind::PropertyNotRegistered, std::move(name));
}
Error Error::property_not_declared(std::string name) {
  return make(ErrorKind::PropertyNotDeclared, std::move(name));
}
Error Error::property_not_settable(std::string name, std::size_t address) {
  return make(ErrorKind::PropertyNotSettable, std::move(name), 0, address);
}
Error Error::unknown_property(std::string name, std::size_t address) {
  return make(ErrorKind::UnknownProperty, std::move(name), 0, address);
}
Error Error::unknown_callable(std::string name, std::size_t address) {
  return make(ErrorKind::UnknownCallable, std::move(name), 0, address);
}
Error Error::parallel_not_group(std::size_t address) {
  return make(ErrorKind::ParallelNotGroup, {}, 0, address);
}
Error Error::invalid_callable(std::string type_name) {
  return make(ErrorKind::InvalidCallable, std::move(type_name));
}
Error Error::stack_underflow(std::size_t address) {
  return make(ErrorKind::StackUnderflow, {}, 0, address);
}
Error Error::stack_out_of_bounds(std::size_t address) {
  return make(ErrorKind::StackOutOfBounds, {}, 0, address);
}
Error Error::runtime(std::string message) { return make(ErrorKind::Runtime, std::move(message)); }
Error Error::compiler_busy() { return make(ErrorKind::CompilerBusy, {}); }
Error Error::interpreter_busy() { return make(ErrorKind::InterpreterBusy, {}); }
Error Error::poisoned() { return make(ErrorKind::Poisoned, {}); }
Error Error::group_syntax(std::string message) {
  return make(ErrorKind::GroupSyntax, std::move(message));
}
Error Error::ir_syntax(std::size_t line, std::string message) {
  return make(ErrorKind::IrSyntax, std::move(message), line);
}
Error Error::native(std::string message) { return make(ErrorKind::Native, std::move(message)); }
Error Error::budget_exhausted(std::size_t address) {
  return make(ErrorKind::Runtime, at_address(address, "Instruction budget exhausted"), 0, address);
}
Error Error::time_limit_exceeded(std::size_t address) {
  return make(ErrorKind::Runtime, at_address(address, "Time limit exceeded"), 0, address);
}
Error Error::memory_limit_exceeded(std::size_t address) {
  return make(ErrorKind::Runtime, at_address(address, "Memory limit exceeded"), 0, address);
}

std::string Error::render() const {
  switch (kind) {
    case ErrorKind::Lex:
    case ErrorKind::Compile:
    case ErrorKind::IrSyntax:
      return at_line(line, text);
    case ErrorKind::Parse:
      return at_line(token ? token->line : 0, text);
    case ErrorKind::ParseAtEnd:
      return "[end] " + text;
    case ErrorKind::PropertyNotSettable:
    case ErrorKind::UnknownProperty:
    case ErrorKind::UnknownCallable:
    case ErrorKind::ParallelNotGroup:
    case ErrorKind::StackUnderflow:
    case ErrorKind::StackOutOfBounds:
      return at_address(address, message());
    default:
      return message();
  }
}

std::string Error::message() const {
  switch (kind) {
    case ErrorKind::Lex:
    case ErrorKind::Compile:
    case ErrorKind::IrSyntax:
    case ErrorKind::Parse:
    case ErrorKind::ParseAtEnd:
    case ErrorKind::Runtime:
    case ErrorKind::GroupSyntax:
    case ErrorKind::Native:
      return text;
    case ErrorKind::CallableAlreadyRegistered:
      return quoted("A callable named ", text, " is already registered");
    case ErrorKind::PropertyAlreadyRegistered:
      return quoted("A property named ", text, " is already registered");
    case ErrorKind::CallableNotRegistered:
      return quoted("No callable named ", text, " was registered");
    case ErrorKind::PropertyNotRegistered:
      return quoted("No property named ", text, " was registered");
    case ErrorKind::PropertyNotDeclared:
      return quoted("The ", text, " property was not declared with a 'use' statement");
    case ErrorKind::PropertyNotSettable:
      return quoted("", text, " is not a settable property");
    case ErrorKind::UnknownProperty:
      return quoted("", text, " is not a registered property");
    case ErrorKind::UnknownCallable:
      return quoted("", text, " is not a registered callable");
    case ErrorKind::ParallelNotGroup:
      return "Only built-in callables can be called in parallel";
    case ErrorKind::InvalidCallable:
      return text + " is not a valid Callable";
    case ErrorKind::StackUnderflow:
      return "Stack underflow";
    case ErrorKind::StackOutOfBounds:
      return "Attempt to index outside of the stack";
    case ErrorKind::CompilerBusy:
      return "Cannot modify compiler state while it's running";
    case ErrorKind::InterpreterBusy:
      return "Cannot modify interpreter state while it's running";
    case ErrorKind::Poisoned:
      return "Something went wrong while accessing from multiple threads. Consider not doing "
             "that.";
  }
  return text;
}

}  // namespace zolang
