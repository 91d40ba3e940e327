#include "lexer.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <climits>
#include <cstdint>
#include <utility>

#include "value.hpp"

namespace zolang {

namespace {

// What a cluster that is a single byte means to the scanner. Bytes of 0x80
// and above only stand alone in ill-formed UTF-8; they are word characters.
enum class ByteClass : std::uint8_t { Word, Whitespace, Reserved };

constexpr std::array<ByteClass, 256> make_byte_classes() {
  std::array<ByteClass, 256> classes{};
  // The ASCII characters with the Unicode White_Space property.
  for (unsigned char c : std::string_view("\t\n\v\f\r ")) classes[c] = ByteClass::Whitespace;
  for (unsigned char c : std::string_view("!\"#$%'()*+-/;<=>^{|}")) {
    classes[c] = ByteClass::Reserved;
  }
  return classes;
}

constexpr std::array<ByteClass, 256> byte_classes = make_byte_classes();

constexpr bool is_ascii_name_byte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

constexpr bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

ByteClass class_of(char byte) { return byte_classes[static_cast<unsigned char>(byte)]; }

bool is_whitespace(std::string_view grapheme) {
  if (grapheme.size() == 1) return class_of(grapheme[0]) == ByteClass::Whitespace;
  return grapheme == "\r\n" || is_whitespace_cluster(grapheme);
}

// A grapheme that may continue a $name: every code point is '_', Alphabetic,
// or a number of category Nd, Nl or No. No whitespace code point passes, so
// a passing grapheme is never reserved.
bool is_name_grapheme(std::string_view grapheme) {
  if (grapheme.size() == 1) return is_ascii_name_byte(grapheme[0]);
  if (grapheme.size() > INT32_MAX) return false;  // beyond what U8_NEXT can index
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(grapheme.data());
  auto length = static_cast<std::int32_t>(grapheme.size());
  std::int32_t index = 0;
  while (index < length) {
    UChar32 code_point = 0;
    U8_NEXT(bytes, index, length, code_point);
    if (code_point < 0) return false;  // ill-formed UTF-8
    if (code_point == '_' || u_hasBinaryProperty(code_point, UCHAR_ALPHABETIC)) continue;
    auto category = u_charType(code_point);
    if (category != U_DECIMAL_DIGIT_NUMBER && category != U_LETTER_NUMBER &&
        category != U_OTHER_NUMBER) {
      return false;
    }
  }
  return true;
}

// Only exactly one ASCII digit byte continues a number. A digit carrying
// combining marks is an ordinary word grapheme: it ends the number before it,
// and a token that would start with one is a Word. The number text is thus
// always plain digits that convert exactly.
bool is_digit_grapheme(std::string_view grapheme) {
  return grapheme.size() == 1 && is_ascii_digit(grapheme[0]);
}

// The keyword a word spells, or Word. Case-sensitive, whole word only.
TokenType keyword_or_word(std::string_view word) {
  if (word.size() < 2 || word.size() > 8) return TokenType::Word;
  using enum TokenType;
  switch (word[0]) {
    case 'a':
      return word == "and" ? And : Word;
    case 'b':
      return word == "break" ? Break : Word;
    case 'd':
      return word == "deadline" ? Deadline : Word;
    case 'e':
      return word == "else" ? Else : Word;
    case 'f':
      return word == "false" ? False : Word;
    case 'g':
      return word == "group" ? Group : Word;
    case 'i':
      return word == "if" ? If : Word;
    case 'n':
      return word == "nil" ? Nil : word == "not" ? Not : Word;
    case 'o':
      return word == "or" ? Or : Word;
    case 'p':
      return word == "parallel" ? Parallel : Word;
    case 'r':
      return word == "race" ? Race : word == "return" ? Return : Word;
    case 's':
      return word == "sequence" ? Sequence : Word;
    case 't':
      return word == "true" ? True : Word;
    case 'u':
      if (word == "unless") return Unless;
      if (word == "until") return Until;
      return word == "use" ? Use : Word;
    case 'w':
      return word == "while" ? While : Word;
    case 'x':
      return word == "xor" ? Xor : Word;
    case 'y':
      return word == "yield" ? Yield : Word;
    default:
      return Word;
  }
}

}  // namespace

bool is_reserved_char(std::string_view grapheme) {
  if (grapheme.size() == 1) return class_of(grapheme[0]) != ByteClass::Word;
  return is_whitespace(grapheme);
}

Lexer::Lexer(std::string_view source)
    : text(source), walker(std::make_unique<GraphemeWalker>(source)) {}

const std::optional<GraphemeEntry>& Lexer::_peek() {
  if (!lookahead && walked < text.size()) {
    std::size_t end = walker->cluster_end(walked);
    lookahead = GraphemeEntry{walked, text.substr(walked, end - walked)};
    walked = end;
  }
  return lookahead;
}

std::optional<GraphemeEntry> Lexer::advance() {
  _peek();
  auto grapheme = std::exchange(lookahead, std::nullopt);
  if (grapheme) current = grapheme->offset + grapheme->text.size();
  return grapheme;
}

bool Lexer::matches() {
  if (!next_is_byte('=')) return false;
  advance();
  return true;
}

[[gnu::always_inline]] inline int Lexer::peek_ascii() {
  if (lookahead) {
    auto cluster = lookahead->text;
    bool is_ascii = cluster.size() == 1 && static_cast<unsigned char>(cluster[0]) < 0x80;
    return is_ascii ? cluster[0] : -1;
  }
  // Without a queued cluster, the next one starts at `walked`.
  std::size_t at = walked;
  if (at >= text.size()) return -1;
  auto byte = static_cast<unsigned char>(text[at]);
  if (byte >= 0x80) return -1;
  if (at + 1 < text.size()) {
    auto following = static_cast<unsigned char>(text[at + 1]);
    if (following >= 0x80 || (byte == '\r' && following == '\n')) return -1;
  }
  return byte;
}

[[gnu::always_inline]] inline void Lexer::advance_ascii() {
  if (lookahead) {
    lookahead.reset();
  } else {
    ++walked;
  }
  ++current;
}

bool Lexer::next_is_byte(char byte) {
  if (int next = peek_ascii(); next >= 0) return next == byte;
  const auto& next = _peek();
  return next && next->text.size() == 1 && next->text[0] == byte;
}

bool Lexer::next_is_digit() {
  if (int next = peek_ascii(); next >= 0) return is_ascii_digit(static_cast<char>(next));
  const auto& next = _peek();
  return next && is_digit_grapheme(next->text);
}

// Consumes clusters while they pass the test. One-byte ASCII clusters, the
// bulk of any source, are tested straight from the text by `accepts_byte`;
// only the others go through the look-ahead queue to `accepts_cluster`.
template <typename ByteTest, typename ClusterTest>
void Lexer::advance_while(ByteTest accepts_byte, ClusterTest accepts_cluster) {
  for (;;) {
    if (int byte = peek_ascii(); byte >= 0) {
      if (!accepts_byte(static_cast<char>(byte))) return;
      advance_ascii();
      continue;
    }
    const auto& next = _peek();
    if (!next || !accepts_cluster(next->text)) return;
    advance();
  }
}

Token Lexer::token(const RawToken& raw) const {
  std::string_view lexeme = text.substr(raw.offset, raw.length);
  std::optional<Literal> literal;
  switch (raw.ty) {
    case TokenType::Ident:  // the name without its '$'
      literal = Literal::ident(lexeme.substr(1));
      break;
    case TokenType::Str:  // the text between the quotes
      literal = Literal::string(lexeme.substr(1, lexeme.size() - 2));
      break;
    case TokenType::Num: {
      // The text is an optional '-', digits and an optional '.' with digits:
      // always convertible; a literal too large for a double becomes infinity.
      auto value = parse_decimal(lexeme);
      assert(value);
      literal = Literal::number(value.value_or(0.0));
      break;
    }
    default:
      break;
  }
  return Token{literal, lexeme, raw.offset, raw.length, raw.ty};
}

std::optional<RawToken> Lexer::scan_token() {
  for (;;) {
    skip_whitespace();
    start = current;  // a queued cluster always begins at current
    int byte = peek_ascii();
    if (byte >= 0) {
      advance_ascii();
    } else {
      auto grapheme = advance();
      if (!grapheme) return std::nullopt;
      if (grapheme->text.size() > 1) return word();
      byte = static_cast<unsigned char>(grapheme->text[0]);
    }
    if (byte != '#') return dispatch(static_cast<char>(byte));
    advance_while_in_comment();
  }
}

std::optional<RawToken> Lexer::dispatch(char byte) {
  using enum TokenType;
  switch (byte) {
    case '{':
      return make_token(LeftBrace);
    case '}':
      return make_token(RightBrace);
    case '(':
      return make_token(LeftParen);
    case ')':
      return make_token(RightParen);
    case '|':
      return make_token(Bar);
    case ';':
      return make_token(Semicolon);
    case '+':
      return make_token(matches() ? PlusEqual : Plus);
    case '*':
      return make_token(matches() ? StarEqual : Star);
    case '/':
      return make_token(matches() ? SlashEqual : Slash);
    case '%':
      return make_token(matches() ? PercentEqual : Percent);
    case '^':
      return make_token(matches() ? CaretEqual : Caret);
    case '<':
      return make_token(matches() ? LessEqual : Less);
    case '=':
      return make_token(matches() ? EqualEqual : Equal);
    case '>':
      return make_token(matches() ? GreaterEqual : Greater);
    case '!':
      return matches() ? make_token(BangEqual) : word();
    case '-':
      // A hyphen directly before a digit is the number's sign: 5-3 is two numbers.
      if (next_is_digit()) {
        advance();
        return number();
      }
      return make_token(matches() ? MinusEqual : Minus);
    case '"':
    case '\'':
      return string(byte);
    case '$':
      return name();
    default:
      return is_ascii_digit(byte) ? number() : word();
  }
}

void Lexer::skip_whitespace() {
  advance_while([](char byte) { return class_of(byte) == ByteClass::Whitespace; },
                [](std::string_view cluster) { return is_whitespace(cluster); });
}

// A comment runs to the end of its line: up to, not including, a line feed
// or a CR LF pair (so that sources with CR LF line endings keep their code).
// A line feed is always a cluster of its own or the end of a CR LF cluster,
// and a carriage return always starts one, so a byte search finds the same
// end as a walk over the clusters, without asking ICU about the text between.
void Lexer::advance_while_in_comment() {
  lookahead.reset();
  std::size_t end = text.find('\n', current);
  if (end == std::string_view::npos) {
    end = text.size();
  } else if (end > current && text[end - 1] == '\r') {
    --end;
  }
  walked = end;
  current = end;
}

RawToken Lexer::word() {
  advance_while([](char byte) { return class_of(byte) == ByteClass::Word; },
                [](std::string_view cluster) { return !is_reserved_char(cluster); });
  return make_token(keyword_or_word(text.substr(start, current - start)));
}

RawToken Lexer::name() {
  advance_while([](char byte) { return is_ascii_name_byte(byte); },
                [](std::string_view cluster) { return is_name_grapheme(cluster); });
  return make_token(TokenType::Ident);
}

// Lambdas rather than function pointers, so that the tests inline.
void Lexer::advance_digits() {
  advance_while([](char byte) { return is_ascii_digit(byte); },
                [](std::string_view cluster) { return is_digit_grapheme(cluster); });
}

RawToken Lexer::number() {
  advance_digits();
  if (next_is_byte('.')) {
    advance();
    advance_digits();
  }
  return make_token(TokenType::Num);
}

std::optional<RawToken> Lexer::string(char quote) {
  // The string ends at the first quote that is a cluster of its own. Most
  // quotes are known to be one from their neighbours, so the text up to them
  // is skipped without walking its clusters.
  if (!lookahead) {
    std::size_t found = text.find(quote, current);
    if (found != std::string_view::npos && walker->stands_alone(found)) {
      walked = current = found + 1;
      return make_token(TokenType::Str);
    }
  }
  for (;;) {
    if (int byte = peek_ascii(); byte >= 0) {
      advance_ascii();
      if (byte == quote) break;
      continue;
    }
    auto grapheme = advance();
    if (!grapheme) {
      // The string swallowed the rest of the source: the error is on its last
      // line, and its span runs there from the opening quote.
      Error unterminated = Error::lex(line_at(text, text.size()), "Unterminated string");
      unterminated.span = SourceLocator(text).span(start, text.size() - start);
      lex_errors.push_back(std::move(unterminated));
      return std::nullopt;
    }
    if (grapheme->text.size() == 1 && grapheme->text[0] == quote) break;
  }
  return make_token(TokenType::Str);
}

// The self-contained copies that diagnostics keep.

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
