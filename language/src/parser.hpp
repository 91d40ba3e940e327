// The parser: tokens to a flat syntax tree. Recursive descent with one
// function per grammar rule. After a syntax error it records the error, skips
// to a likely statement start and goes on, so that one parse reports as many
// errors as it can.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string_view>
#include <vector>

#include "ast.hpp"
#include "error.hpp"
#include "lexer.hpp"
#include "position.hpp"
#include "token.hpp"

namespace zolang {

// The deepest nesting the parser accepts, counted along one path through the
// tree: each parenthesis or bar pair, prefix operator, if (else-if included)
// and loop adds one. No written program comes close; it keeps the parser's
// recursion, the tree's destructor and every later walk of the tree far
// inside a thread's stack. Operator chains (a + b + c ...) do not count: they
// are flat text, however long, and are parsed, compiled and destroyed in
// loops rather than by recursion.
inline constexpr std::size_t max_nesting = 256;

// Marks a failed parsing step; see Parser::Parsed.
struct SyntaxError {};

// One parse of one source text. The text must outlive the parser and the tree
// it returns (tokens in the tree are views into it).
class Parser {
 public:
  explicit Parser(Lexer lexer);
  explicit Parser(std::string_view source);

  // Parses the whole text; call once. The tree, or every error: the parser's
  // own in source order, then the lexer's. Never an empty list. A text longer
  // than ast::max_source bytes is refused whole, unread.
  [[nodiscard]] std::expected<ast::Tree, std::vector<Error>> parse();

  // What a parse of a text being typed still yields: the tree of every
  // top-level item that parsed (an item with a syntax error is left out
  // whole), with the errors parse() gives, none when the whole text parsed.
  struct Partial {
    ast::Tree tree;
    std::vector<Error> errors;
  };
  // Parses the whole text, as parse() does, keeping what parsed; call once.
  [[nodiscard]] Partial parse_partial();

 private:
  // A parsing function returns its node or, on a syntax error, only a marker:
  // the Error itself waits in `failure` while the marker unwinds. That keeps
  // every recursion frame small, so nesting costs little stack per level.
  template <typename T>
  using Parsed = std::expected<T, SyntaxError>;
  using ExprResult = Parsed<ast::Index>;  // the expression's node
  using StmtResult = Parsed<ast::Stmt>;
  using BlockResult = Parsed<ast::Range>;  // the block's statements
  using ExecResult = Parsed<ast::Index>;   // the call's node

  // Tokens.
  const std::optional<RawToken>& peek() { return lexer.peek_raw(); }
  bool check(TokenType kind) {
    const std::optional<RawToken>& next = peek();
    return next && next->ty == kind;
  }
  RawToken advance();
  void skip();                  // advance() for a token that is not needed
  ast::TokenRef advance_ref();  // advance() for a token kept in the tree
  bool matches(TokenType kind);
  [[nodiscard]] Parsed<RawToken> consume(TokenType kind, std::string_view message);
  bool expect(TokenType kind, std::string_view message);  // consume() without the token
  Error error(const std::optional<RawToken>& token, std::string_view message);
  std::unexpected<SyntaxError> fail(const std::optional<RawToken>& token, std::string_view message);
  std::unexpected<SyntaxError> fail_too_deep();
  // Adds to the pending failure a note at the innermost unclosed opener.
  void note_innermost_opener();
  void synchronize();
  // Consumes a "{" if one is next, remembering where it opened.
  bool enter_block();
  // Consumes the next token, which closes the innermost opener.
  RawToken close_opener();

  // Top level and statements.
  [[nodiscard]] StmtResult declaration();
  [[nodiscard]] StmtResult group_declaration();
  [[nodiscard]] StmtResult use_declaration();
  [[nodiscard]] StmtResult statement();
  [[nodiscard]] StmtResult if_statement();
  [[nodiscard]] StmtResult loop_statement();
  [[nodiscard]] StmtResult loop_parts();
  [[nodiscard]] Parsed<RawToken> keyword_statement(std::string_view message);
  [[nodiscard]] StmtResult return_statement();
  [[nodiscard]] StmtResult var_statement();
  [[nodiscard]] ExprResult assigned_value();
  [[nodiscard]] ExecResult exec_statement();
  [[nodiscard]] StmtResult parallel_block(RawToken keyword);
  [[nodiscard]] BlockResult block();

  // Expressions. The binary operators' levels are climbed by one function:
  // operators_from(n) parses operands joined by operators that bind at least
  // as tightly as level n.
  [[nodiscard]] ExprResult expression();
  [[nodiscard]] ExprResult operators_from(int weakest);
  [[nodiscard]] ExprResult unary();
  [[nodiscard]] ExprResult primary();
  ast::Index open_binary(ast::Index left, bool logical);
  ast::Index open_unary();
  [[nodiscard]] ExprResult atom();
  ast::Index literal();
  // Appends a node, giving its index.
  ast::Index add(ast::Expr node);
  // Moves the statements parsed since `mark` out of `pending` into the tree,
  // where a block's statements lie side by side.
  ast::Range settle(std::size_t mark);
  [[nodiscard]] ExprResult grouping(TokenType closer, std::string_view message, bool abs);

  // A "{", "(" or "|" whose closer has not been reached yet.
  struct Opener {
    TokenType kind;
    std::size_t offset;
  };

  Lexer lexer;
  ast::Tree tree;
  // The statements of the blocks still open, innermost last; the top level's
  // lie at the bottom until the whole text is read.
  std::vector<ast::Stmt> pending;
  std::vector<Error> errors;
  std::optional<Error> failure;  // the error of the item being abandoned
  bool in_loop = false;
  std::size_t depth = 0;  // nesting levels entered on the current path
  // Places for errors; errors arrive in source order, so many errors on a
  // long text cost about one pass over it.
  SourceLocator locator;
  // Just past the last token consumed: where the end of the input is
  // reported, at the point where more was expected.
  std::size_t consumed_end = 0;
  std::vector<Opener> openers;  // innermost last; emptied when an item is abandoned
};

}  // namespace zolang
