// The compilation pipeline: lexer, parser, then the compiler, one source text
// per call; the text and its tree live only for the duration of the call.
#include "lib.hpp"

#include <optional>
#include <utility>

#include "compiler.hpp"
#include "lexer.hpp"
#include "parser.hpp"

namespace zolang {

struct ZoCompiler::Impl {
  // Created on first need, so that constructing a facade costs one small
  // allocation and no operation fails for lack of a compiler.
  Compiler& compiler() {
    if (!inner) inner.emplace();
    return *inner;
  }

  std::optional<Compiler> inner;
};

ZoCompiler::ZoCompiler() : impl(std::make_unique<Impl>()) {}
ZoCompiler::ZoCompiler(ZoCompiler&&) noexcept = default;
ZoCompiler& ZoCompiler::operator=(ZoCompiler&&) noexcept = default;
ZoCompiler::~ZoCompiler() = default;

ZoCompiler::Impl& ZoCompiler::state() {
  if (!impl) impl = std::make_unique<Impl>();
  return *impl;
}

std::expected<void, Error> ZoCompiler::register_callable(
    std::string name, std::unique_ptr<CallableGenerator> generator) {
  return state().compiler().register_callable(std::move(name), std::move(generator));
}

std::expected<void, Error> ZoCompiler::register_property(std::string name,
                                                         std::unique_ptr<Prop> prop) {
  return state().compiler().register_property(std::move(name), std::move(prop));
}

std::expected<Bytecode, std::vector<Error>> ZoCompiler::compile_nonconsuming(
    std::string_view source) {
  Parser parser{Lexer{source}};
  std::expected<ast::Tree, std::vector<Error>> tree = parser.parse();
  if (!tree) return std::unexpected(std::move(tree.error()));
  return state().compiler().compile_nonconsuming(*tree);
}

// Reads the registrations only, creating nothing: a host may outline from
// several threads at once.
Outline ZoCompiler::outline(std::string_view source) const {
  const Compiler* compiler = impl && impl->inner ? &*impl->inner : nullptr;
  return outline_program(
      source, [&](std::string_view name) { return compiler && compiler->knows_callable(name); },
      [&](std::string_view name) { return compiler && compiler->knows_property(name); });
}

Program ZoCompiler::package_program(Bytecode program) {
  return state().compiler().package_program(std::move(program));
}

}  // namespace zolang
