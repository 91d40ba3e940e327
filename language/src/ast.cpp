#include "ast.hpp"

namespace zolang::ast {

std::string_view Tree::text(TokenRef token) const {
  if (!token.made_up()) return source.substr(token.offset, token.length);
  // Only compound assignments make tokens up, each for its operator.
  using enum TokenType;
  switch (token.ty) {
    case Plus:
      return "+";
    case Minus:
      return "-";
    case Star:
      return "*";
    case Slash:
      return "/";
    case Percent:
      return "%";
    case Caret:
      return "^";
    default:
      return {};
  }
}

std::optional<std::string_view> Tree::ident(TokenRef token) const {
  if (token.ty != TokenType::Ident || token.made_up()) return std::nullopt;
  return source.substr(token.offset + 1, token.length - 1);
}

}  // namespace zolang::ast
