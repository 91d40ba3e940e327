#include <gtest/gtest.h>

#include "lexer.hpp"

namespace zolang {
namespace {

Token token_at(std::string_view source, std::size_t offset, std::size_t length, TokenType type) {
  return Token{std::nullopt, source.substr(offset, length), offset, length, type};
}

TEST(TokenToOwned, CountsLineFeedsBeforeTheToken) {
  struct Case {
    std::string_view source;
    std::size_t offset;
    std::size_t line;
  };
  const Case cases[] = {
      {"abc", 0, 1},                       // very start
      {"a\nb", 2, 2},                      // after one line feed
      {"a\r\nb", 3, 2},                    // CR LF counts once
      {"a\rb", 2, 1},                      // a lone CR is not a line end
      {"\n\n\nx", 3, 4}, {"a\nb", 99, 2},  // an offset past the end counts every line feed
  };
  for (const Case& c : cases) {
    Token token{std::nullopt, {}, c.offset, 0, TokenType::Word};
    EXPECT_EQ(token.to_owned(c.source).line, c.line) << c.source;
  }
}

TEST(TokenToOwned, CopiesKindLexemeAndLiteral) {
  std::string source = "x $speed 'a b'";
  Token ident = token_at(source, 2, 6, TokenType::Ident);
  ident.literal = Literal::ident(std::string_view(source).substr(3, 5));
  Token str = token_at(source, 9, 5, TokenType::Str);
  str.literal = Literal::string(std::string_view(source).substr(10, 3));
  OwnedToken owned_ident = ident.to_owned(source);
  OwnedToken owned_str = str.to_owned(source);
  source.assign(source.size(), '#');  // the copies must not depend on the source any more
  EXPECT_EQ(owned_ident.lexeme, "$speed");
  EXPECT_EQ(owned_ident.ty, TokenType::Ident);
  ASSERT_TRUE(owned_ident.literal);
  EXPECT_EQ(owned_ident.literal->kind, Literal::Kind::Ident);
  EXPECT_EQ(owned_ident.literal->text, "speed");
  EXPECT_EQ(owned_str.lexeme, "'a b'");
  EXPECT_EQ(owned_str.literal->text, "a b");
}

}  // namespace
}  // namespace zolang
