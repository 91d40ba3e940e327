#include "token.hpp"

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

}  // namespace zolang
