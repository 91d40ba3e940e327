// The compilation pipeline: lexer, parser, then the compiler, one source text
// per call; the text and its tree live only for the duration of the call.
#include "lib.hpp"

#include <utility>

#include "lexer.hpp"
#include "parser.hpp"

namespace zolang {

Compiler &ZoCompiler::compiler() {
  if (!inner) inner.emplace();
  return *inner;
}

std::expected<void, Error> ZoCompiler::register_callable(
    std::string name, std::unique_ptr<CallableGenerator> generator) {
  return compiler().register_callable(std::move(name), std::move(generator));
}

std::expected<void, Error> ZoCompiler::register_property(std::string name,
                                                         std::unique_ptr<Prop> prop) {
  return compiler().register_property(std::move(name), std::move(prop));
}

std::expected<Bytecode, std::vector<Error>> ZoCompiler::compile_nonconsuming(
    std::string_view source) {
  Parser parser{Lexer{source}};
  std::expected<std::vector<Stmt>, std::vector<Error>> statements = parser.parse();
  if (!statements) return std::unexpected(std::move(statements.error()));
  return compiler().compile_nonconsuming(std::move(*statements), source);
}

Program ZoCompiler::package_program(Bytecode program) {
  return compiler().package_program(std::move(program));
}

}  // namespace zolang
