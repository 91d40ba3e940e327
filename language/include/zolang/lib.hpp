// ZoCompiler: the library's entry point for compiling source text. It runs the
// whole front end (lexer, parser, compiler) on one source text per call and
// keeps one Compiler alive between calls, so registrations survive any number
// of compilations until the program is packaged for an interpreter.
//
// The front end stays behind the facade: this header names only what an
// embedder hands in and gets back.
#pragma once

#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "native.hpp"
#include "outline.hpp"
#include "program.hpp"

namespace zolang {

class ZoCompiler {
 public:
  ZoCompiler();
  ZoCompiler(ZoCompiler&&) noexcept;
  ZoCompiler& operator=(ZoCompiler&&) noexcept;
  ~ZoCompiler();

  // Registers a native call; the result is the compiler's (CompilerBusy or
  // CallableAlreadyRegistered on failure, the generator then dropped).
  [[nodiscard]] std::expected<void, Error> register_callable(
      std::string name, std::unique_ptr<CallableGenerator> generator);
  // Registers a property (name without the `$`); CompilerBusy or
  // PropertyAlreadyRegistered on failure.
  [[nodiscard]] std::expected<void, Error> register_property(std::string name,
                                                             std::unique_ptr<Prop> prop);

  // Compiles one source text. Syntax errors (the parser's, then the lexer's)
  // stop the pipeline before code generation and leave the compiler untouched;
  // otherwise the result is the program or every compile error, in order.
  // Nothing of the source is kept after the call returns.
  [[nodiscard]] std::expected<Bytecode, std::vector<Error>> compile_nonconsuming(
      std::string_view source);

  // The outline of one source text, its names resolved against the natives
  // registered now. Runs no host code, changes nothing (so it may run on
  // several threads at once), keeps nothing of the source.
  Outline outline(std::string_view source) const;

  // Packages `ops` with every registered native for an interpreter; the
  // registrations move into the package and the compiler is left with none.
  Program package_program(Bytecode program);

 private:
  struct Impl;
  // The compiler behind the facade; a moved-from facade gets a fresh one.
  Impl& state();

  std::unique_ptr<Impl> impl;
};

}  // namespace zolang
