#include "parser.hpp"

#include <algorithm>
#include <cassert>
#include <string>
#include <utility>

namespace zolang {

namespace {

constexpr std::string_view not_a_statement =
    "Statements must be conditionals, loops, assignments, or calls";

// Levels of nesting entered by one parsing function, given back when it
// returns, on success and on error alike.
class Nesting {
 public:
  explicit Nesting(std::size_t& depth) : depth(depth) {}
  Nesting(const Nesting&) = delete;
  Nesting& operator=(const Nesting&) = delete;
  ~Nesting() { depth -= entered; }

  // Enters one more level; false, entering nothing, when the limit is reached.
  [[nodiscard]] bool enter() {
    if (depth >= max_nesting) return false;
    ++depth;
    ++entered;
    return true;
  }

 private:
  std::size_t& depth;
  std::size_t entered = 0;
};

template <typename T>
std::unexpected<Error> fail(std::expected<T, Error>& result) {
  return std::unexpected(std::move(result.error()));
}

// Tokens at which recovery stops skipping: they likely start a new item.
bool starts_item(TokenType kind) {
  using enum TokenType;
  switch (kind) {
    case Group:
    case Parallel:
    case Race:
    case Sequence:
    case While:
    case Until:
    case If:
    case Unless:
    case Use:
      return true;
    default:
      return false;
  }
}

bool is_or(TokenType kind) { return kind == TokenType::Or; }
bool is_xor(TokenType kind) { return kind == TokenType::Xor; }
bool is_and(TokenType kind) { return kind == TokenType::And; }
bool is_equality(TokenType kind) {
  return kind == TokenType::BangEqual || kind == TokenType::EqualEqual;
}
bool is_comparison(TokenType kind) {
  using enum TokenType;
  return kind == Greater || kind == GreaterEqual || kind == Less || kind == LessEqual;
}
bool is_term(TokenType kind) { return kind == TokenType::Minus || kind == TokenType::Plus; }
bool is_factor(TokenType kind) {
  return kind == TokenType::Slash || kind == TokenType::Star || kind == TokenType::Percent;
}
bool is_exp(TokenType kind) { return kind == TokenType::Caret; }

// The operator a compound assignment applies, as a token made up for the
// tree: no literal, offset 0, length 0, not pointing into the source.
std::optional<Token> compound_operator(TokenType assignment) {
  auto made_up = [](TokenType kind, std::string_view lexeme) {
    return Token{std::nullopt, lexeme, 0, 0, kind};
  };
  using enum TokenType;
  switch (assignment) {
    case PlusEqual:
      return made_up(Plus, "+");
    case MinusEqual:
      return made_up(Minus, "-");
    case StarEqual:
      return made_up(Star, "*");
    case SlashEqual:
      return made_up(Slash, "/");
    case PercentEqual:
      return made_up(Percent, "%");
    case CaretEqual:
      return made_up(Caret, "^");
    default:
      return std::nullopt;
  }
}

}  // namespace

Parser::Parser(Lexer lexer) : lexer(std::move(lexer)) {}

Parser::Parser(std::string_view source) : lexer(source) {}

// program -> item* ; item -> group | use | parallel | race | statement
std::expected<std::vector<Stmt>, std::vector<Error>> Parser::parse() {
  std::vector<Stmt> program;
  while (peek()) {
    auto item = declaration();
    if (item) {
      program.push_back(std::move(*item));
    } else {
      errors.push_back(std::move(item.error()));
      synchronize();
    }
  }
  // Lexical errors go last: the lexer only knows them once the text is read.
  const auto& lex_errors = lexer.errors();
  errors.insert(errors.end(), lex_errors.begin(), lex_errors.end());
  if (errors.empty()) return program;
  return std::unexpected(std::move(errors));
}

// ---- Tokens -----------------------------------------------------------------

bool Parser::check(TokenType kind) {
  const auto& next = peek();
  return next && next->ty == kind;
}

Token Parser::advance() {
  auto token = lexer._scan();
  assert(token);
  return *token;
}

bool Parser::matches(TokenType kind) {
  if (!check(kind)) return false;
  advance();
  return true;
}

std::expected<Token, Error> Parser::consume(TokenType kind, std::string_view message) {
  if (check(kind)) return advance();
  return std::unexpected(error(peek(), message));
}

Error Parser::error(const std::optional<Token>& token, std::string_view message) {
  if (!token) return Error::parse_at_end(std::string(message));
  OwnedToken owned{token->ty, line_of(token->offset), std::string(token->lexeme), std::nullopt};
  if (token->literal) owned.literal = token->literal->to_owned();
  return Error::parse(std::move(owned), std::string(message));
}

Error Parser::too_deep() {
  return error(peek(), "Nesting too deep (limit " + std::to_string(max_nesting) + ")");
}

// Same count as Token::to_owned, resumed from the previous error's offset.
std::size_t Parser::line_of(std::size_t offset) {
  auto source = lexer.source();
  offset = std::min(offset, source.size());
  if (offset < line_offset) {
    line_offset = 0;
    line_count = 1;
  }
  line_count += static_cast<std::size_t>(
      std::count(source.begin() + static_cast<std::ptrdiff_t>(line_offset),
                 source.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
  line_offset = offset;
  return line_count;
}

// Skips past the item that failed: at least one token, then up to and
// including a ';', or up to a keyword that likely starts the next item.
void Parser::synchronize() {
  if (!peek()) return;
  Token consumed = advance();
  while (peek() && consumed.ty != TokenType::Semicolon && !starts_item(peek()->ty)) {
    consumed = advance();
  }
}

// ---- Top level ------------------------------------------------------------

Parser::StmtResult Parser::declaration() {
  using enum TokenType;
  switch (peek()->ty) {
    case Group:
      advance();
      return group_declaration();
    case Parallel:
    case Race:
      return parallel_block(advance().ty == Race);
    case Use:
      advance();
      return use_declaration();
    default:
      return statement();
  }
}

// group -> "group" Word (Word | Ident)* "{" statement* "}"
Parser::StmtResult Parser::group_declaration() {
  auto name = consume(TokenType::Word, "Expect group name after keyword 'group'");
  if (!name) return fail(name);
  std::vector<Token> params;
  while (check(TokenType::Word) || check(TokenType::Ident)) params.push_back(advance());
  if (!matches(TokenType::LeftBrace)) {
    return std::unexpected(error(peek(), "Group parameters can only be identifiers or words"));
  }
  auto body = block();
  if (!body) return fail(body);
  return Stmt{Stmt::Group{*name, std::move(params), std::move(*body)}};
}

// use -> "use" Ident ";"
Parser::StmtResult Parser::use_declaration() {
  if (!check(TokenType::Ident)) {
    return std::unexpected(error(peek(), "Expect identifier after 'use'"));
  }
  Token name = advance();
  auto semicolon = consume(TokenType::Semicolon, "Expect ';' after 'use' statement");
  if (!semicolon) return fail(semicolon);
  return Stmt{Stmt::Use{name}};
}

// ---- Statements -----------------------------------------------------------

// statement -> if | loop | parallel | assignment | yield | return | call | break
Parser::StmtResult Parser::statement() {
  if (!peek()) return std::unexpected(error(std::nullopt, not_a_statement));
  using enum TokenType;
  switch (peek()->ty) {
    case If:
    case Unless:
      return if_statement();
    case While:
    case Until:
      return loop_statement();
    case Parallel:
    case Race:
      return parallel_block(advance().ty == Race);
    case Ident:
      return var_statement();
    case Word: {
      auto call = exec_statement();
      if (!call) return fail(call);
      return Stmt{Stmt::Exec{std::move(*call)}};
    }
    case Yield: {
      auto keyword = keyword_statement("Expect ';' after 'yield'");
      if (!keyword) return fail(keyword);
      return Stmt{Stmt::Yield{*keyword}};
    }
    case Return: {
      auto keyword = keyword_statement("Expect ';' after 'return'");
      if (!keyword) return fail(keyword);
      return Stmt{Stmt::Return{*keyword}};
    }
    case Break: {
      if (!in_loop)
        return std::unexpected(error(peek(), "'break' is not allowed outside of loops"));
      auto keyword = keyword_statement("Expect ';' after 'break'");
      if (!keyword) return fail(keyword);
      return Stmt{Stmt::Break{*keyword}};
    }
    default:
      return std::unexpected(error(peek(), not_a_statement));
  }
}

// yield -> "yield" ";" (and the same for return and break); gives the keyword.
std::expected<Token, Error> Parser::keyword_statement(std::string_view message) {
  Token keyword = advance();
  auto semicolon = consume(TokenType::Semicolon, message);
  if (!semicolon) return fail(semicolon);
  return keyword;
}

// if -> ("if" | "unless") expression block ("else" (if | block))?
Parser::StmtResult Parser::if_statement() {
  Nesting nesting(depth);
  if (!nesting.enter()) return std::unexpected(too_deep());
  bool unless = advance().ty == TokenType::Unless;
  auto condition = expression();
  if (!condition) return fail(condition);
  auto brace = consume(TokenType::LeftBrace, "Expect '{' after condition");
  if (!brace) return fail(brace);
  auto then_branch = block();
  if (!then_branch) return fail(then_branch);
  std::vector<Stmt> else_branch;
  if (matches(TokenType::Else)) {
    if (check(TokenType::If) || check(TokenType::Unless)) {
      auto chained = if_statement();
      if (!chained) return chained;
      else_branch.push_back(std::move(*chained));
    } else if (matches(TokenType::LeftBrace)) {
      auto block_after_else = block();
      if (!block_after_else) return fail(block_after_else);
      else_branch = std::move(*block_after_else);
    } else {
      return std::unexpected(error(peek(), "Expect '{' or another 'if' statement after 'else'"));
    }
  }
  return Stmt{
      Stmt::If{std::move(*condition), std::move(*then_branch), std::move(else_branch), unless}};
}

// loop -> ("while" | "until") expression block; break is allowed inside.
Parser::StmtResult Parser::loop_statement() {
  Nesting nesting(depth);
  if (!nesting.enter()) return std::unexpected(too_deep());
  bool enclosing = std::exchange(in_loop, true);
  auto loop = loop_parts();
  in_loop = enclosing;
  return loop;
}

Parser::StmtResult Parser::loop_parts() {
  bool until = advance().ty == TokenType::Until;
  auto condition = expression();
  if (!condition) return fail(condition);
  auto brace = consume(TokenType::LeftBrace, "Expect '{' after condition");
  if (!brace) return fail(brace);
  auto body = block();
  if (!body) return fail(body);
  return Stmt{Stmt::While{std::move(*condition), std::move(*body), until}};
}

// assignment -> Ident ("=" | "+=" | "-=" | "*=" | "/=" | "%=" | "^=") expression ";"
Parser::StmtResult Parser::var_statement() {
  Token name = advance();
  if (!peek()) return std::unexpected(error(std::nullopt, "Expected assignment operator"));
  Token assignment = advance();
  auto combined = compound_operator(assignment.ty);
  if (assignment.ty != TokenType::Equal && !combined) {
    return std::unexpected(error(assignment, "Expected assignment operator"));
  }
  auto value = expression();
  if (!value) return fail(value);
  if (combined) {
    // $x op= e is $x = $x op (e): the whole right-hand side is one operand.
    value =
        Expr::make(Expr::Binary{Expr::make(Expr::Variable{name}), *combined, std::move(*value)});
  }
  auto semicolon = consume(TokenType::Semicolon, "Expect ';' after assignment");
  if (!semicolon) return fail(semicolon);
  return Stmt{Stmt::Var{name, std::move(*value)}};
}

// call -> name (Word | expression)* ";" ; the name is whatever token comes first.
Parser::ExecResult Parser::exec_statement() {
  Exec call{advance(), {}};
  while (!matches(TokenType::Semicolon)) {
    if (check(TokenType::Word)) {
      call.args.push_back(ast::Arg{ast::Arg::Word{advance()}});
      continue;
    }
    auto value = expression();
    if (!value) return fail(value);
    call.args.push_back(ast::Arg{ast::Arg::Value{std::move(*value)}});
  }
  return call;
}

// parallel -> ("parallel" | "race") "{" call* "}" ; the keyword is already consumed.
Parser::StmtResult Parser::parallel_block(bool race) {
  auto brace = consume(TokenType::LeftBrace, "Expect '{' after 'parallel' keyword");
  if (!brace) return fail(brace);
  std::vector<Exec> calls;
  while (!check(TokenType::RightBrace)) {
    if (!peek()) return std::unexpected(error(std::nullopt, "Expect '}' after parallel block"));
    auto call = exec_statement();
    if (!call) return fail(call);
    calls.push_back(std::move(*call));
  }
  advance();
  return Stmt{Stmt::Parallel{std::move(calls), race}};
}

// block -> statement* "}" ; the "{" is already consumed. At the end of the
// text, statement() reports the missing statement.
Parser::BlockResult Parser::block() {
  std::vector<Stmt> statements;
  while (!check(TokenType::RightBrace)) {
    auto next = statement();
    if (!next) return fail(next);
    statements.push_back(std::move(*next));
  }
  advance();
  return statements;
}

// ---- Expressions ----------------------------------------------------------

// expression -> xor ("or" xor)*
Parser::ExprResult Parser::expression() {
  return binary_level(&Parser::xor_expression, is_or, true);
}

// xor -> and ("xor" and)*
Parser::ExprResult Parser::xor_expression() {
  return binary_level(&Parser::and_expression, is_xor, true);
}

// and -> equality ("and" equality)*
Parser::ExprResult Parser::and_expression() {
  return binary_level(&Parser::equality, is_and, true);
}

// equality -> comparison (("!=" | "==") comparison)*
Parser::ExprResult Parser::equality() {
  return binary_level(&Parser::comparison, is_equality, false);
}

// comparison -> term ((">" | ">=" | "<" | "<=") term)*
Parser::ExprResult Parser::comparison() {
  return binary_level(&Parser::term, is_comparison, false);
}

// term -> factor (("-" | "+") factor)*
Parser::ExprResult Parser::term() { return binary_level(&Parser::factor, is_term, false); }

// factor -> exp (("/" | "*" | "%") exp)*
Parser::ExprResult Parser::factor() { return binary_level(&Parser::exp, is_factor, false); }

// exp -> unary ("^" unary)*
Parser::ExprResult Parser::exp() { return binary_level(&Parser::unary, is_exp, false); }

// One left-associative level: operand (operator operand)*. Each operator of
// a chain nests the tree one level deeper, so it counts against the limit.
Parser::ExprResult Parser::binary_level(Level operand, bool (*is_operator)(TokenType),
                                        bool logical) {
  auto left = (this->*operand)();
  if (!left) return left;
  Nesting nesting(depth);
  while (peek() && is_operator(peek()->ty)) {
    if (!nesting.enter()) return std::unexpected(too_deep());
    Token op = advance();
    auto right = (this->*operand)();
    if (!right) return right;
    left = logical ? Expr::make(Expr::Logical{std::move(*left), op, std::move(*right)})
                   : Expr::make(Expr::Binary{std::move(*left), op, std::move(*right)});
  }
  return left;
}

// unary -> ("not" | "-") unary | primary
Parser::ExprResult Parser::unary() {
  if (!check(TokenType::Not) && !check(TokenType::Minus)) return primary();
  Nesting nesting(depth);
  if (!nesting.enter()) return std::unexpected(too_deep());
  Token op = advance();
  auto right = unary();
  if (!right) return right;
  return Expr::make(Expr::Unary{op, std::move(*right)});
}

// primary -> "true" | "false" | "nil" | Num | Str | Ident | "(" expression ")"
//          | "|" expression "|"
Parser::ExprResult Parser::primary() {
  if (!peek()) return std::unexpected(error(std::nullopt, "Expect expression"));
  using enum TokenType;
  switch (peek()->ty) {
    case True:
      advance();
      return Expr::make(Expr::Literal{Literal::boolean(true)});
    case False:
      advance();
      return Expr::make(Expr::Literal{Literal::boolean(false)});
    case Nil:
      advance();
      return Expr::make(Expr::Literal{Literal::nil()});
    case Num:
    case Str:
      return Expr::make(Expr::Literal{*advance().literal});
    case Ident:
      return Expr::make(Expr::Variable{advance()});
    case LeftParen:
      return parenthesized();
    case Bar:
      return absolute_value();
    default:
      return std::unexpected(error(peek(), "Expect expression"));
  }
}

Parser::ExprResult Parser::parenthesized() {
  Nesting nesting(depth);
  if (!nesting.enter()) return std::unexpected(too_deep());
  advance();
  auto inner = expression();
  if (!inner) return inner;
  auto close = consume(TokenType::RightParen, "Expect ')' after expression");
  if (!close) return fail(close);
  return Expr::grouping(std::move(*inner), false);
}

// A bar after a complete operand closes the innermost open absolute value:
// |$a + |$b|| nests, |$a| + |$b| adds two.
Parser::ExprResult Parser::absolute_value() {
  Nesting nesting(depth);
  if (!nesting.enter()) return std::unexpected(too_deep());
  advance();
  auto inner = expression();
  if (!inner) return inner;
  auto close = consume(TokenType::Bar, "Expect closing '|' in absolute value expression");
  if (!close) return fail(close);
  return Expr::grouping(std::move(*inner), true);
}

}  // namespace zolang
