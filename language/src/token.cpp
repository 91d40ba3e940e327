#include "token.hpp"

#include <algorithm>
#include <array>

namespace zolang {

namespace {

constexpr std::array<std::string_view, token_type_count> token_type_names = {
    "LeftBrace", "RightBrace",   "Bar",        "LeftParen", "RightParen", "Minus",     "Plus",
    "Slash",     "Star",         "Percent",    "Caret",     "MinusEqual", "PlusEqual", "SlashEqual",
    "StarEqual", "PercentEqual", "CaretEqual", "Semicolon", "BangEqual",  "Equal",     "EqualEqual",
    "Greater",   "GreaterEqual", "Less",       "LessEqual", "Word",       "Ident",     "Str",
    "Num",       "Comment",      "And",        "Or",        "Not",        "Xor",       "Group",
    "Parallel",  "Race",         "Sequence",   "Deadline",  "False",      "True",      "Nil",
    "While",     "Until",        "Break",      "If",        "Else",       "Unless",    "Yield",
    "Return",    "Use",
};

static_assert(static_cast<std::size_t>(TokenType::Use) + 1 == token_type_count);

}  // namespace

std::string_view token_type_name(TokenType type) {
  return token_type_names[static_cast<std::size_t>(type)];
}

OwnedLiteral Literal::to_owned() const {
  return OwnedLiteral{kind, std::string(text), number_value, bool_value};
}

std::size_t line_at(std::string_view source, std::size_t offset) {
  auto prefix = source.substr(0, std::min(offset, source.size()));
  return 1 + static_cast<std::size_t>(std::count(prefix.begin(), prefix.end(), '\n'));
}

OwnedToken Token::to_owned(std::string_view source) const {
  OwnedToken owned{ty, line_at(source, offset), std::string(lexeme), std::nullopt};
  if (literal) owned.literal = literal->to_owned();
  return owned;
}

}  // namespace zolang
