// The lexer: source text to tokens, one token at a time as the parser asks.
// It reads the text as extended grapheme clusters, never looks more than one
// cluster ahead, and hands out tokens that are views into the text.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "grapheme.hpp"
#include "token.hpp"

namespace zolang {

// The value a token carries: the name of an Ident, the text of a Str, the
// value of a Num. Bool and Nil are made by the parser for true/false/nil.
// Ident and String texts are views into the source.
struct Literal {
  using Kind = LiteralKind;

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

// One grapheme cluster taken from the source but not yet consumed.
struct GraphemeEntry {
  std::size_t offset = 0;  // byte offset of the cluster in the source
  std::string_view text;   // the cluster's bytes, a view into the source
};

// Whether this grapheme ends a word: whitespace, or one of the twenty
// one-byte punctuation characters that start operators, strings, comments
// and names.
bool is_reserved_char(std::string_view grapheme);

// A token as the lexer finds it: its kind and where its text lies. The parser
// works on these, three words each; the Token with its literal is made only
// when asked for.
struct RawToken {
  std::size_t offset = 0;  // byte offset of the token's text in the source
  std::size_t length = 0;  // byte length of that text
  TokenType ty = TokenType::Word;
};

// Scans one source text lazily. The text must outlive the lexer and every
// token it produced. Movable, not copyable; used by one parse on one thread.
class Lexer {
 public:
  explicit Lexer(std::string_view source);

  // The next token, consumed; none once the stream has ended (end of text,
  // or an unterminated string, which also records an error).
  std::optional<Token> _scan() {
    std::optional<RawToken> next = peeked ? std::exchange(peeked, std::nullopt) : scan_token();
    if (!next) return std::nullopt;
    return token(*next);
  }

  // The next token without consuming it; a later _scan returns it first.
  std::optional<Token> peek() {
    const std::optional<RawToken>& next = peek_raw();
    if (!next) return std::nullopt;
    return token(*next);
  }

  // peek() without making the Token. The reference stays valid until the
  // next _scan, peek or drop_peeked.
  const std::optional<RawToken>& peek_raw() {
    if (!peeked) peeked = scan_token();
    return peeked;
  }

  // Consumes the token peek_raw() returned.
  void drop_peeked() { peeked.reset(); }

  // The whole token, literal included, of a token this lexer scanned.
  Token token(const RawToken& raw) const;

  // Errors recorded so far, in order. The only one is "Unterminated string".
  const std::vector<Error>& errors() const { return lex_errors; }

  // The whole text being scanned.
  std::string_view source() const { return text; }

 private:
  const std::optional<GraphemeEntry>& _peek();
  std::optional<GraphemeEntry> advance();
  bool matches();
  // The fast path: the next cluster's byte when that cluster is one ASCII
  // byte, else -1 (longer, non-ASCII, or none), without asking ICU; callers
  // then fall back to _peek. advance_ascii consumes the cluster it reported.
  int peek_ascii();
  void advance_ascii();
  bool next_is_byte(char byte);
  bool next_is_digit();
  template <typename ByteTest, typename ClusterTest>
  void advance_while(ByteTest accepts_byte, ClusterTest accepts_cluster);
  RawToken make_token(TokenType kind) const { return RawToken{start, current - start, kind}; }
  std::optional<RawToken> scan_token();
  std::optional<RawToken> dispatch(char byte);
  void skip_whitespace();
  void advance_while_in_comment();
  void advance_digits();
  RawToken word();
  RawToken name();
  RawToken number();
  std::optional<RawToken> string(char quote);

  std::string_view text;
  // Owned through a pointer so that the lexer can move into its parser.
  std::unique_ptr<GraphemeWalker> walker;
  std::size_t walked = 0;                  // offset where the walker's next cluster starts
  std::optional<GraphemeEntry> lookahead;  // the one-cluster queue
  std::optional<RawToken> peeked;
  std::vector<Error> lex_errors;
  std::size_t start = 0;    // where the token being scanned begins
  std::size_t current = 0;  // just past the last consumed cluster
};

}  // namespace zolang
