// Tokens: the unit the lexer hands to the parser. A Token is a light view into
// the source text; an OwnedToken is the self-contained copy that diagnostics
// carry after the source is gone.
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

struct OwnedLiteral;

// The value a token carries: the name of an Ident, the text of a Str, the
// value of a Num. Bool and Nil are made by the parser for true/false/nil.
// Ident and String texts are views into the source.
struct Literal {
  enum class Kind : std::uint8_t { Ident, String, Number, Bool, Nil };

  static Literal ident(std::string_view name) { return Literal(Kind::Ident, name); }
  static Literal string(std::string_view text) { return Literal(Kind::String, text); }
  static Literal number(double value) {
    Literal literal(Kind::Number, {});
    literal.number_value = value;
    return literal;
  }
  static Literal boolean(bool value) {
    Literal literal(Kind::Bool, {});
    literal.bool_value = value;
    return literal;
  }
  static Literal nil() { return Literal(Kind::Nil, {}); }

  OwnedLiteral to_owned() const;
  friend bool operator==(const Literal&, const Literal&) = default;

  Kind kind;
  std::string_view text;      // Ident and String: a view into the source
  double number_value = 0.0;  // Number
  bool bool_value = false;    // Bool

 private:
  Literal(Kind k, std::string_view t) : kind(k), text(t) {}
};

// A Literal that owns its text.
struct OwnedLiteral {
  Literal::Kind kind = Literal::Kind::Nil;
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

// One token, borrowed from the source text it was lexed from: the source must
// outlive the token. Copyable; owns nothing and allocates nothing.
struct Token {
  std::optional<Literal> literal;  // present exactly for Ident, Str and Num
  std::string_view lexeme;         // the token's exact source text
  std::size_t offset = 0;          // byte offset of the lexeme in the source
  std::size_t length = 0;          // byte length of the token's source span
  TokenType ty = TokenType::Word;

  // Copies the token; its line is 1 plus the line feeds among the first
  // `offset` bytes of `source` (all of them when offset is past the end).
  OwnedToken to_owned(std::string_view source) const;
};

// 1 plus the number of line-feed bytes in the first `offset` bytes of source.
std::size_t line_at(std::string_view source, std::size_t offset);

}  // namespace zolang
