// Tokens as diagnostics carry them: a parse error keeps a self-contained
// copy of the token it stopped at (OwnedToken), which outlives the source
// text. The lexer's own tokens, views into the text, stay inside the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zolang {

// The kind of a token. The order is part of the contract: the numeric value of
// a kind is its position here.
enum class TokenType : std::uint8_t {
  LeftBrace,     // {
  RightBrace,    // }
  Bar,           // |
  LeftParen,     // (
  RightParen,    // )
  Minus,         // -
  Plus,          // +
  Slash,         // /
  Star,          // *
  Percent,       // %
  Caret,         // ^
  MinusEqual,    // -=
  PlusEqual,     // +=
  SlashEqual,    // /=
  StarEqual,     // *=
  PercentEqual,  // %=
  CaretEqual,    // ^=
  Semicolon,     // ;
  BangEqual,     // !=
  Equal,         // =
  EqualEqual,    // ==
  Greater,       // >
  GreaterEqual,  // >=
  Less,          // <
  LessEqual,     // <=
  Word,          // a bare word that is not a keyword
  Ident,         // $name: a variable or property
  Str,           // a quoted string
  Num,           // a number
  Comment,       // never produced: the lexer drops comments
  And,
  Or,
  Not,
  Xor,
  Group,
  Parallel,
  Race,
  Sequence,  // reserved: lexed as a keyword, meaningless to the grammar
  Deadline,  // reserved likewise
  False,
  True,
  Nil,
  While,
  Until,
  Break,
  If,
  Else,
  Unless,
  Yield,
  Return,
  Use,
};

inline constexpr std::size_t token_type_count = 51;

// The kind's name as written in this enumeration ("LeftBrace", "Word", ...).
std::string_view token_type_name(TokenType type);

// The kinds of value a token carries: the name of an Ident, the text of a
// Str, the value of a Num; Bool and Nil are made by the parser for
// true/false/nil.
enum class LiteralKind : std::uint8_t { Ident, String, Number, Bool, Nil };

// A token's value, owning its text.
struct OwnedLiteral {
  LiteralKind kind = LiteralKind::Nil;
  std::string text;
  double number_value = 0.0;
  bool bool_value = false;

  friend bool operator==(const OwnedLiteral&, const OwnedLiteral&) = default;
};

// A self-contained token, as carried by parse errors.
struct OwnedToken {
  TokenType ty = TokenType::Word;
  std::size_t line = 1;  // 1-based line on which the lexeme starts
  std::string lexeme;
  std::optional<OwnedLiteral> literal;

  friend bool operator==(const OwnedToken&, const OwnedToken&) = default;
};

}  // namespace zolang
