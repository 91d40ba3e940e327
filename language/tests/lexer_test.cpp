#include "lexer.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace zolang {
namespace {

// One token as text: Kind'lexeme', then =literal for tokens that carry one.
std::string describe(const Token& token) {
  std::string text = std::string(token_type_name(token.ty)) + "'" + std::string(token.lexeme) + "'";
  if (!token.literal) return text;
  const Literal& literal = *token.literal;
  if (literal.kind == Literal::Kind::Number) {
    char buffer[64];
    auto end = std::to_chars(buffer, buffer + sizeof buffer, literal.number_value).ptr;
    return text + "=" + std::string(buffer, end);
  }
  return text + "=" + std::string(literal.text);
}

std::vector<std::string> lex(std::string_view source) {
  Lexer lexer(source);
  std::vector<std::string> tokens;
  while (auto token = lexer._scan()) tokens.push_back(describe(*token));
  return tokens;
}

struct LexCase {
  std::string source;
  std::vector<std::string> tokens;
};

void expect_lexes(const std::vector<LexCase>& cases) {
  for (const auto& [source, tokens] : cases) {
    EXPECT_EQ(lex(source), tokens) << "source: " << source;
  }
}

TEST(Lexer, SplitsOperatorsAndPunctuation) {
  expect_lexes({
      {"{ } | ( ) ;",
       {"LeftBrace'{'", "RightBrace'}'", "Bar'|'", "LeftParen'('", "RightParen')'",
        "Semicolon';'"}},
      {"+ += * *= / /= % %= ^ ^=",
       {"Plus'+'", "PlusEqual'+='", "Star'*'", "StarEqual'*='", "Slash'/'", "SlashEqual'/='",
        "Percent'%'", "PercentEqual'%='", "Caret'^'", "CaretEqual'^='"}},
      {"< <= = == > >= !=",
       {"Less'<'", "LessEqual'<='", "Equal'='", "EqualEqual'=='", "Greater'>'", "GreaterEqual'>='",
        "BangEqual'!='"}},
      {"x==y", {"Word'x'", "EqualEqual'=='", "Word'y'"}},
      {"=<", {"Equal'='", "Less'<'"}},
      {"===", {"EqualEqual'=='", "Equal'='"}},
      {"a!=b", {"Word'a'", "BangEqual'!='", "Word'b'"}},
      {"!", {"Word'!'"}},
      {"!x !", {"Word'!x'", "Word'!'"}},
      {"x!y", {"Word'x'", "Word'!y'"}},
      {"foo.bar,baz", {"Word'foo.bar,baz'"}},
      {"foo(bar)", {"Word'foo'", "LeftParen'('", "Word'bar'", "RightParen')'"}},
      {"a&b@c?[d]\\e`f~g:h", {"Word'a&b@c?[d]\\e`f~g:h'"}},
  });
}

TEST(Lexer, FoldsAHyphenBeforeADigitIntoTheNumber) {
  expect_lexes({
      {"5-3", {"Num'5'=5", "Num'-3'=-3"}},
      {"5 - 3", {"Num'5'=5", "Minus'-'", "Num'3'=3"}},
      {"$a -1", {"Ident'$a'=a", "Num'-1'=-1"}},
      {"-$a", {"Minus'-'", "Ident'$a'=a"}},
      {"-=", {"MinusEqual'-='"}},
      {"--1", {"Minus'-'", "Num'-1'=-1"}},
      {"-", {"Minus'-'"}},
      {"x -", {"Word'x'", "Minus'-'"}},
      {"a-b", {"Word'a'", "Minus'-'", "Word'b'"}},
  });
}

TEST(Lexer, ReadsNumbersWithoutExponentOrLeadingPoint) {
  expect_lexes({
      {"1.", {"Num'1.'=1"}},
      {"007", {"Num'007'=7"}},
      {"1.2.3", {"Num'1.2'=1.2", "Word'.3'"}},
      {".5", {"Word'.5'"}},
      {"12ab", {"Num'12'=12", "Word'ab'"}},
      {"1e5", {"Num'1'=1", "Word'e5'"}},
      {"0.1", {"Num'0.1'=0.1"}},
      {"-0", {"Num'-0'=-0"}},
      {"3.25;", {"Num'3.25'=3.25", "Semicolon';'"}},
  });
}

TEST(Lexer, ConvertsNumbersCorrectlyRounded) {
  struct NumberCase {
    std::string source;
    double value;
  };
  const std::vector<NumberCase> cases = {
      {"9007199254740993", 9007199254740992.0},  // halfway: ties to even
      {"9007199254740995", 9007199254740996.0},
      {"0.30000000000000004", 0.30000000000000004},
      {"1" + std::string(400, '0'), std::numeric_limits<double>::infinity()},
      {"-1" + std::string(400, '0'), -std::numeric_limits<double>::infinity()},
      {"0." + std::string(400, '0') + "1", 0.0},
  };
  for (const auto& [source, value] : cases) {
    Lexer lexer(source);
    auto token = lexer._scan();
    ASSERT_TRUE(token && token->literal) << source;
    EXPECT_EQ(token->ty, TokenType::Num);
    EXPECT_EQ(token->literal->number_value, value) << source;
    EXPECT_FALSE(lexer._scan());
  }
}

TEST(Lexer, RecognisesExactlyTheKeywords) {
  expect_lexes({
      {"and or not xor group parallel race sequence deadline false true nil",
       {"And'and'", "Or'or'", "Not'not'", "Xor'xor'", "Group'group'", "Parallel'parallel'",
        "Race'race'", "Sequence'sequence'", "Deadline'deadline'", "False'false'", "True'true'",
        "Nil'nil'"}},
      {"while until break if else unless yield return use",
       {"While'while'", "Until'until'", "Break'break'", "If'if'", "Else'else'", "Unless'unless'",
        "Yield'yield'", "Return'return'", "Use'use'"}},
      {"And IF an ands nil_ iff x",
       {"Word'And'", "Word'IF'", "Word'an'", "Word'ands'", "Word'nil_'", "Word'iff'", "Word'x'"}},
      {"if(", {"If'if'", "LeftParen'('"}},
  });
}

TEST(Lexer, ScansNamesByUnicodeProperties) {
  expect_lexes({
      {"$speed", {"Ident'$speed'=speed"}},
      {"$ x", {"Ident'$'=", "Word'x'"}},
      {"$", {"Ident'$'="}},
      {"$a.b", {"Ident'$a'=a", "Word'.b'"}},
      {"$1st", {"Ident'$1st'=1st"}},
      {"$snake_case_2", {"Ident'$snake_case_2'=snake_case_2"}},
      {"$größe", {"Ident'$größe'=größe"}},
      {"$速度=1", {"Ident'$速度'=速度", "Equal'='", "Num'1'=1"}},
      {"$١٢", {"Ident'$١٢'=١٢"}},  // Arabic-Indic digits: Nd
      {"$Ⅻ½", {"Ident'$Ⅻ½'=Ⅻ½"}},  // a Roman numeral (Nl) and a fraction (No)
      {"$a$b", {"Ident'$a'=a", "Ident'$b'=b"}},
      {"$a-b", {"Ident'$a'=a", "Minus'-'", "Word'b'"}},
      {"$👍", {"Ident'$'=", "Word'👍'"}},
      // A combining acute accent is not Alphabetic, so the cluster it forms
      // with its letter fails the test as a whole.
      {"$e\u0301", {"Ident'$'=", "Word'e\u0301'"}},
      {"$ab\u0301", {"Ident'$a'=a", "Word'b\u0301'"}},
  });
}

TEST(Lexer, ReadsStringsWithoutEscapes) {
  expect_lexes({
      {"\"it's\"", {"Str'\"it's\"'=it's"}},
      {"'say \"hi\"'", {"Str''say \"hi\"''=say \"hi\""}},
      {"'a b'", {"Str''a b''=a b"}},
      {"\"\"", {"Str'\"\"'="}},
      {"\"a\\\"", {"Str'\"a\\\"'=a\\"}},
      {"\"two\nlines\"", {"Str'\"two\nlines\"'=two\nlines"}},
      {"\"# not a comment\" x", {"Str'\"# not a comment\"'=# not a comment", "Word'x'"}},
      // A quote carrying a combining mark does not close the string.
      {"\"a\"\u0301\" b", {"Str'\"a\"\u0301\"'=a\"\u0301", "Word'b'"}},
      // Nor one after a prepended mark, nor one before a joiner or a spacing
      // mark; non-ASCII neighbours that attach to nothing leave it closing.
      {"\"\u0600\"x\" b", {"Str'\"\u0600\"x\"'=\u0600\"x", "Word'b'"}},
      {"'a'\u200d' b", {"Str''a'\u200d''=a'\u200d", "Word'b'"}},
      {"'a'\u0903' b", {"Str''a'\u0903''=a'\u0903", "Word'b'"}},
      {"'ロボ'ト", {"Str''ロボ''=ロボ", "Word'ト'"}},
  });
}

TEST(Lexer, DropsCommentsToTheEndOfTheLine) {
  expect_lexes({
      {"# note\n$x", {"Ident'$x'=x"}},
      {"#", {}},
      {"a # b", {"Word'a'"}},
      {"a#b\nc", {"Word'a'", "Word'c'"}},
      {"# one\r\n# two\r\nsay", {"Word'say'"}},
      {"# \r\n", {}},
      {"#x\ry\nz", {"Word'z'"}},  // a lone carriage return does not end the comment
      {"#é\u0301 ü\nz", {"Word'z'"}},
  });
}

TEST(Lexer, ProducesNothingForBlankSources) {
  expect_lexes({
      {"", {}},
      {" \t\r\n\v\f", {}},
      {"\u00A0\u3000\u2028", {}},
  });
}

TEST(Lexer, SplitsTextByGraphemeClusters) {
  expect_lexes({
      {"größe", {"Word'größe'"}},
      {"say 👨‍👩‍👧;", {"Word'say'", "Word'👨‍👩‍👧'", "Semicolon';'"}},
      {"👍🏽", {"Word'👍🏽'"}},
      {"a\u00A0b", {"Word'a'", "Word'b'"}},  // no-break space is whitespace
      {"a\u3000b", {"Word'a'", "Word'b'"}},
      {"a\u200Bb", {"Word'a\u200Bb'"}},  // zero-width space is not
      // A reserved character carrying a combining mark is a word grapheme.
      {"a;\u0301b", {"Word'a;\u0301b'"}},
      {"(\u0301)", {"Word'(\u0301'", "RightParen')'"}},
      {"e\u0301=1", {"Word'e\u0301'", "Equal'='", "Num'1'=1"}},
      {"x\r\ny", {"Word'x'", "Word'y'"}},
  });
}

// Next to a non-ASCII character every cluster is found by ICU instead of the
// ASCII fast path; spelling the spaces as no-break spaces must not change a
// single token.
TEST(Lexer, FastPathAgreesWithTheSegmentationLibrary) {
  const std::vector<std::string> sources = {
      "$x = -1.5 * |$y - 2| + (3 ^ 2) % 4 ;",
      "if $a != $b and not $c { say 'x_y' \"z\" ; } else { yield ; }",
      "x==y a!=b -= += *= /= %= ^= <= >= = < > - -7 7. 1.2.3 !w $1st foo.bar",
      "group g a $b { parallel { a 1 ; } race { b ; } while $x { break ; } }",
  };
  for (const auto& source : sources) {
    std::string spelled;
    for (char c : source) spelled += c == ' ' ? std::string("\u00A0") : std::string(1, c);
    EXPECT_EQ(lex(spelled), lex(source)) << source;
  }
}

// A digit that carries combining marks is one grapheme that is not a plain
// digit: it is a word grapheme, so it ends a number and never joins one.
TEST(Lexer, TreatsADigitWithCombiningMarksAsAWordGrapheme) {
  expect_lexes({
      {"1\u0301", {"Word'1\u0301'"}},
      {"1\u0301 2", {"Word'1\u0301'", "Num'2'=2"}},
      {"12\u03013", {"Num'1'=1", "Word'2\u03013'"}},
      {"1.2\u0301", {"Num'1.'=1", "Word'2\u0301'"}},
      {"-1\u0301", {"Minus'-'", "Word'1\u0301'"}},
      {"1\u20E3", {"Word'1\u20E3'"}},  // keycap
      {"$x1\u0301", {"Ident'$x'=x", "Word'1\u0301'"}},
  });
}

TEST(Lexer, SurvivesIllFormedUtf8) {
  expect_lexes({
      {"a\xff"
       "b",
       {"Word'a\xff"
        "b'"}},
      {"$\xff", {"Ident'$'=", "Word'\xff'"}},
      {"\xc3", {"Word'\xc3'"}},
      {"\"\xe2\x82", {}},
  });
}

// The fast path for one-byte clusters must agree with the Unicode
// White_Space property and the twenty reserved characters.
TEST(Lexer, ClassifiesEveryAsciiCharacter) {
  const std::string reserved = "!\"#$%'()*+-/;<=>^{|}";
  const std::string whitespace = "\t\n\v\f\r ";
  for (int c = 0; c < 0x80; ++c) {
    std::string grapheme(1, static_cast<char>(c));
    bool expected = reserved.find(static_cast<char>(c)) != std::string::npos ||
                    whitespace.find(static_cast<char>(c)) != std::string::npos;
    EXPECT_EQ(is_reserved_char(grapheme), expected) << "byte " << c;
    EXPECT_EQ(is_whitespace_cluster(grapheme),
              whitespace.find(static_cast<char>(c)) != std::string::npos)
        << "byte " << c;
  }
  EXPECT_TRUE(is_reserved_char("\r\n"));
  EXPECT_TRUE(is_reserved_char("\u2029"));
  EXPECT_FALSE(is_reserved_char("é"));
  EXPECT_FALSE(is_reserved_char("-\u0301"));
}

TEST(Lexer, ReportsAnUnterminatedStringOnTheLastLine) {
  struct ErrorCase {
    std::string source;
    std::vector<std::string> tokens;
    std::string error;
  };
  const std::vector<ErrorCase> cases = {
      {"\"abc", {}, "[line 1] Unterminated string"},
      {"x\n'abc\n", {"Word'x'"}, "[line 3] Unterminated string"},
      {"say \"a' b", {"Word'say'"}, "[line 1] Unterminated string"},
      {"'", {}, "[line 1] Unterminated string"},
      {"\"a\r\nb\r\n", {}, "[line 3] Unterminated string"},
  };
  for (const auto& [source, tokens, error] : cases) {
    Lexer lexer(source);
    EXPECT_EQ(lex(source), tokens) << source;
    while (lexer._scan()) {
    }
    // The stream stays ended, and the error is recorded once.
    EXPECT_FALSE(lexer.peek());
    EXPECT_FALSE(lexer._scan());
    ASSERT_EQ(lexer.errors().size(), 1u) << source;
    EXPECT_EQ(lexer.errors()[0].render(), error);
  }
}

TEST(Lexer, PeekHoldsOneTokenUntilScanned) {
  Lexer lexer("a b");
  ASSERT_TRUE(lexer.peek());
  EXPECT_EQ(lexer.peek()->lexeme, "a");
  EXPECT_EQ(lexer._scan()->lexeme, "a");
  EXPECT_EQ(lexer.peek()->lexeme, "b");
  EXPECT_EQ(lexer._scan()->lexeme, "b");
  EXPECT_FALSE(lexer.peek());
  EXPECT_FALSE(lexer._scan());
  EXPECT_FALSE(lexer._scan());
  EXPECT_TRUE(lexer.errors().empty());
}

TEST(Lexer, TokensAreViewsWithOffsetsAndLines) {
  const std::string source = "# c\r\nsay\n  'x y' $v -2.5;";
  Lexer lexer(source);
  struct Expected {
    TokenType ty;
    std::size_t offset;
    std::size_t line;
  };
  const std::vector<Expected> expected = {
      {TokenType::Word, 5, 2}, {TokenType::Str, 11, 3},       {TokenType::Ident, 17, 3},
      {TokenType::Num, 20, 3}, {TokenType::Semicolon, 24, 3},
  };
  for (const auto& want : expected) {
    auto token = lexer._scan();
    ASSERT_TRUE(token);
    EXPECT_EQ(token->ty, want.ty);
    EXPECT_EQ(token->offset, want.offset);
    EXPECT_EQ(token->length, token->lexeme.size());
    EXPECT_EQ(token->lexeme.data(), source.data() + want.offset);
    EXPECT_EQ(token->to_owned(source).line, want.line);
  }
  EXPECT_FALSE(lexer._scan());
}

// Whatever the text, the tokens tile it: each starts after the previous one
// ends, and what lies between is whitespace or comment.
TEST(Lexer, TokensNeverOverlapOrGoBackwards) {
  const std::vector<std::string> sources = {
      "$x = -1.5 * |$y - 2| # c\nsay 'a' \"b\";",
      "ü\u0301\u0301$é1 -é 9\u0301\u0301 🇩🇪🇫🇷 \r\n\r\n#\r\n\xf0\x9f",
      "\xe0\xa4\x95\xe0\xa5\x8d\xe0\xa4\xb7 $\xe0\xa4\x95\xe0\xa5\x8d\xe0\xa4\xb7=1;",
  };
  for (const auto& source : sources) {
    Lexer lexer(source);
    std::size_t end = 0;
    while (auto token = lexer._scan()) {
      EXPECT_GE(token->offset, end) << source;
      EXPECT_GT(token->length, 0u);
      end = token->offset + token->length;
      EXPECT_LE(end, source.size());
    }
  }
}

}  // namespace
}  // namespace zolang
