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

// One grapheme cluster taken from the source but not yet consumed.
struct GraphemeEntry {
  std::size_t offset = 0;  // byte offset of the cluster in the source
  std::string_view text;   // the cluster's bytes, a view into the source
};

// Whether this grapheme ends a word: whitespace, or one of the twenty
// one-byte punctuation characters that start operators, strings, comments
// and names.
bool is_reserved_char(std::string_view grapheme);

// Scans one source text lazily. The text must outlive the lexer and every
// token it produced. Movable, not copyable; used by one parse on one thread.
class Lexer {
 public:
  explicit Lexer(std::string_view source);

  // The next token, consumed; none once the stream has ended (end of text,
  // or an unterminated string, which also records an error).
  std::optional<Token> _scan() {
    if (peeked) return std::exchange(peeked, std::nullopt);
    return scan_token();
  }

  // Consumes the token peek() returned.
  void drop_peeked() { peeked.reset(); }

  // The next token without consuming it; a later _scan returns it first.
  // The reference stays valid until the next _scan or peek.
  const std::optional<Token>& peek() {
    if (!peeked) peeked = scan_token();
    return peeked;
  }

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
  Token make_token(TokenType kind, std::optional<Literal> literal = std::nullopt) const;
  std::optional<Token> scan_token();
  std::optional<Token> dispatch(char byte);
  void skip_whitespace();
  void advance_while_in_comment();
  void advance_digits();
  Token word();
  Token name();
  Token number();
  std::optional<Token> string(char quote);

  std::string_view text;
  // Owned through a pointer so that the lexer can move into its parser.
  std::unique_ptr<GraphemeWalker> walker;
  std::size_t walked = 0;                  // offset where the walker's next cluster starts
  std::optional<GraphemeEntry> lookahead;  // the one-cluster queue
  std::optional<Token> peeked;
  std::vector<Error> lex_errors;
  std::size_t start = 0;    // where the token being scanned begins
  std::size_t current = 0;  // just past the last consumed cluster
};

}  // namespace zolang
