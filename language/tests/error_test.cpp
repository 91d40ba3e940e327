#include "error.hpp"

#include <gtest/gtest.h>

namespace zolang {
namespace {

TEST(ErrorRender, EveryVariantHasItsFixedText) {
  OwnedToken token{TokenType::Word, 7, "foo", std::nullopt};
  struct Case {
    Error error;
    const char* text;
  };
  const Case cases[] = {
      {Error::lex(3, "Unterminated string"), "[line 3] Unterminated string"},
      {Error::parse_at_end("Expect expression"), "[end] Expect expression"},
      {Error::parse(token, "Expect expression"), "[line 7] Expect expression"},
      {Error::compile(0, "Invalid unary operator"), "[line 0] Invalid unary operator"},
      {Error::callable_already_registered("beep"), "A callable named 'beep' is already registered"},
      {Error::property_already_registered("speed"),
       "A property named 'speed' is already registered"},
      {Error::callable_not_registered("go"), "No callable named 'go' was registered"},
      {Error::property_not_registered("x"), "No property named 'x' was registered"},
      {Error::property_not_declared("speed"),
       "The 'speed' property was not declared with a 'use' statement"},
      {Error::property_not_settable("speed", 4), "[address 4] 'speed' is not a settable property"},
      {Error::unknown_property("speed", 3), "[address 3] 'speed' is not a registered property"},
      {Error::unknown_callable("go", 7), "[address 7] 'go' is not a registered callable"},
      {Error::parallel_not_group(2),
       "[address 2] Only built-in callables can be called in parallel"},
      {Error::invalid_callable("NoneType"), "NoneType is not a valid Callable"},
      {Error::stack_underflow(4), "[address 4] Stack underflow"},
      {Error::stack_out_of_bounds(0), "[address 0] Attempt to index outside of the stack"},
      {Error::runtime("Both operands must be numbers"), "Both operands must be numbers"},
      {Error::compiler_busy(), "Cannot modify compiler state while it's running"},
      {Error::interpreter_busy(), "Cannot modify interpreter state while it's running"},
      {Error::poisoned(),
       "Something went wrong while accessing from multiple threads. Consider not doing that."},
      {Error::group_syntax("Argument at position 0 should be 'fast'"),
       "Argument at position 0 should be 'fast'"},
      {Error::ir_syntax(12, "Invalid op: 'x'"), "[line 12] Invalid op: 'x'"},
      {Error::native("ValueError('boom')"), "ValueError('boom')"},
  };
  static_assert(sizeof(cases) / sizeof(cases[0]) == error_kind_count);
  for (const Case& c : cases) EXPECT_EQ(c.error.render(), c.text);
}

}  // namespace
}  // namespace zolang
