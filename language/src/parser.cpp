#include "parser.hpp"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdint>
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

// Passes a failure on: the error itself already waits in Parser::failure.
constexpr std::unexpected<SyntaxError> failed{SyntaxError{}};

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

// How tightly a binary operator binds, loosest 1; 0 for any other token.
// `or`, `xor` and `and` (1 to 3) are the logical ones.
constexpr std::array<std::uint8_t, token_type_count> make_bindings() {
  std::array<std::uint8_t, token_type_count> bindings{};
  auto set = [&bindings](TokenType kind, std::uint8_t binding) {
    bindings[static_cast<std::size_t>(kind)] = binding;
  };
  using enum TokenType;
  set(Or, 1);
  set(Xor, 2);
  set(And, 3);
  for (TokenType kind : {BangEqual, EqualEqual}) set(kind, 4);
  for (TokenType kind : {Greater, GreaterEqual, Less, LessEqual}) set(kind, 5);
  for (TokenType kind : {Minus, Plus}) set(kind, 6);
  for (TokenType kind : {Slash, Star, Percent}) set(kind, 7);
  set(Caret, 8);
  return bindings;
}

constexpr std::array<std::uint8_t, token_type_count> bindings = make_bindings();

int binding_of(TokenType kind) { return bindings[static_cast<std::size_t>(kind)]; }

// The operator a compound assignment applies, as a token made up for the
// tree: offset 0, length 0, not pointing into the source.
std::optional<ast::TokenRef> compound_operator(TokenType assignment) {
  auto made_up = [](TokenType kind) { return ast::TokenRef{0, 0, kind}; };
  using enum TokenType;
  switch (assignment) {
    case PlusEqual:
      return made_up(Plus);
    case MinusEqual:
      return made_up(Minus);
    case StarEqual:
      return made_up(Star);
    case SlashEqual:
      return made_up(Slash);
    case PercentEqual:
      return made_up(Percent);
    case CaretEqual:
      return made_up(Caret);
    default:
      return std::nullopt;
  }
}

// A token of the source, as the tree keeps it. The parser only reads texts
// of at most ast::max_source bytes, so offsets and lengths fit.
ast::TokenRef ref(const RawToken& token) {
  return ast::TokenRef{static_cast<ast::Index>(token.offset), static_cast<ast::Index>(token.length),
                       token.ty};
}

ast::Index index_of(std::size_t size) { return static_cast<ast::Index>(size); }

// Room for the nodes of a typical text of `size` bytes, reserved up front so
// that the arrays are not copied as they grow. Reserved memory that a
// smaller tree leaves unused is never touched.
void reserve_for(ast::Tree& tree, std::size_t size) {
  tree.exprs.reserve(size / 8);
  tree.stmts.reserve(size / 24);
  tree.calls.reserve(size / 48);
  tree.args.reserve(size / 32);
  tree.numbers.reserve(size / 16);
}

}  // namespace

Parser::Parser(Lexer lexer) : lexer(std::move(lexer)), locator(this->lexer.source()) {}

Parser::Parser(std::string_view source) : lexer(source), locator(source) {}

std::expected<ast::Tree, std::vector<Error>> Parser::parse() {
  Partial parsed = parse_partial();
  if (!parsed.errors.empty()) return std::unexpected(std::move(parsed.errors));
  return std::move(parsed.tree);
}

// program -> item* ; item -> group | use | parallel | race | statement
Parser::Partial Parser::parse_partial() {
  if (lexer.source().size() > ast::max_source) {
    return Partial{{},
                   {Error::parse_at_end("Source text too long (limit " +
                                        std::to_string(ast::max_source) + " bytes)")}};
  }
  tree.source = lexer.source();
  reserve_for(tree, tree.source.size());
  while (peek()) {
    const std::size_t items = pending.size();
    auto item = declaration();
    if (item) {
      pending.push_back(*item);
    } else {
      errors.push_back(std::move(*failure));
      failure.reset();
      openers.clear();
      pending.resize(items);  // the abandoned item's open blocks
      synchronize();
    }
  }
  // Lexical errors go last: the lexer only knows them once the text is read.
  const auto& lex_errors = lexer.errors();
  errors.insert(errors.end(), lex_errors.begin(), lex_errors.end());
  tree.program = settle(0);
  return Partial{std::move(tree), std::move(errors)};
}

ast::Index Parser::add(ast::Expr node) {
  tree.exprs.push_back(node);
  return index_of(tree.exprs.size() - 1);
}

ast::Range Parser::settle(std::size_t mark) {
  ast::Range range{index_of(tree.stmts.size()), index_of(pending.size() - mark)};
  tree.stmts.insert(tree.stmts.end(), pending.begin() + static_cast<std::ptrdiff_t>(mark),
                    pending.end());
  pending.resize(mark);
  return range;
}

// ---- Tokens -----------------------------------------------------------------

// Tokens are consumed where the lexer keeps the one peeked at (every token
// is peeked at before it is consumed), so that each is copied once at most.
[[gnu::noinline]] RawToken Parser::advance() {
  RawToken token = *peek();
  skip();
  return token;
}

[[gnu::noinline]] void Parser::skip() {
  const std::optional<RawToken>& token = peek();
  assert(token);
  consumed_end = token->offset + token->length;
  lexer.drop_peeked();
}

[[gnu::noinline]] ast::TokenRef Parser::advance_ref() {
  ast::TokenRef token = ref(*peek());
  skip();
  return token;
}

bool Parser::matches(TokenType kind) {
  if (!check(kind)) return false;
  skip();
  return true;
}

Parser::Parsed<RawToken> Parser::consume(TokenType kind, std::string_view message) {
  if (check(kind)) return advance();
  return fail(peek(), message);
}

bool Parser::expect(TokenType kind, std::string_view message) {
  if (check(kind)) {
    skip();
    return true;
  }
  fail(peek(), message);
  return false;
}

[[gnu::noinline, gnu::cold]] std::unexpected<SyntaxError> Parser::fail(
    const std::optional<RawToken>& token, std::string_view message) {
  assert(!failure);
  failure = error(token, message);
  // At the end of the input, whatever was still open is what went wrong.
  if (!token) note_innermost_opener();
  return failed;
}

// Out of line, like the other error paths, to keep the recursive callers' frames
// small.
[[gnu::noinline, gnu::cold]] Error Parser::error(const std::optional<RawToken>& token,
                                                 std::string_view message) {
  if (!token) {
    Error at_end = Error::parse_at_end(std::string(message));
    at_end.span = locator.span(consumed_end, 0);
    return at_end;
  }
  SourceSpan span = locator.span(token->offset, token->length);
  const Token whole = lexer.token(*token);
  OwnedToken owned{whole.ty, span.line, std::string(whole.lexeme), std::nullopt};
  if (whole.literal) owned.literal = whole.literal->to_owned();
  Error at_token = Error::parse(std::move(owned), std::string(message));
  at_token.span = span;
  return at_token;
}

[[gnu::cold]] void Parser::note_innermost_opener() {
  if (openers.empty()) return;
  const Opener& opener = openers.back();
  std::string_view what = opener.kind == TokenType::LeftBrace   ? "the block opened here"
                          : opener.kind == TokenType::LeftParen ? "the parenthesis opened here"
                                                                : "the absolute value opened here";
  failure->notes.push_back(Note{std::string(what), locator.position(opener.offset)});
}

[[gnu::noinline, gnu::cold]] std::unexpected<SyntaxError> Parser::fail_too_deep() {
  return fail(peek(), "Nesting too deep (limit " + std::to_string(max_nesting) + ")");
}

bool Parser::enter_block() {
  if (!check(TokenType::LeftBrace)) return false;
  openers.push_back(Opener{TokenType::LeftBrace, peek()->offset});
  skip();
  return true;
}

RawToken Parser::close_opener() {
  openers.pop_back();
  return advance();
}

// Skips past the item that failed: at least one token, then up to and
// including a ';', or up to a keyword that likely starts the next item.
void Parser::synchronize() {
  if (!peek()) return;
  RawToken consumed = advance();
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
      return parallel_block(advance());
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
  if (!name) return failed;
  ast::Range params{index_of(tree.params.size()), 0};
  while (check(TokenType::Word) || check(TokenType::Ident)) {
    tree.params.push_back(advance_ref());
    ++params.count;
  }
  if (!enter_block()) {
    return fail(peek(), "Group parameters can only be identifiers or words");
  }
  auto body = block();
  if (!body) return failed;
  return ast::Stmt{
      .kind = ast::StmtKind::Group, .token = ref(*name), .body = *body, .other = params};
}

// use -> "use" Ident ";"
Parser::StmtResult Parser::use_declaration() {
  if (!check(TokenType::Ident)) {
    return fail(peek(), "Expect identifier after 'use'");
  }
  RawToken name = advance();
  if (!expect(TokenType::Semicolon, "Expect ';' after 'use' statement")) return failed;
  return ast::Stmt{.kind = ast::StmtKind::Use, .token = ref(name)};
}

// ---- Statements -----------------------------------------------------------

// statement -> if | loop | parallel | assignment | yield | return | call | break
Parser::StmtResult Parser::statement() {
  if (!peek()) return fail(std::nullopt, not_a_statement);
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
      return parallel_block(advance());
    case Ident:
      return var_statement();
    case Word: {
      auto call = exec_statement();
      if (!call) return failed;
      return ast::Stmt{
          .kind = ast::StmtKind::Exec, .token = tree.calls[*call].name, .value = *call};
    }
    case Yield: {
      auto keyword = keyword_statement("Expect ';' after 'yield'");
      if (!keyword) return failed;
      return ast::Stmt{.kind = ast::StmtKind::Yield, .token = ref(*keyword)};
    }
    case Return:
      return return_statement();
    case Break: {
      if (!in_loop) return fail(peek(), "'break' is not allowed outside of loops");
      auto keyword = keyword_statement("Expect ';' after 'break'");
      if (!keyword) return failed;
      return ast::Stmt{.kind = ast::StmtKind::Break, .token = ref(*keyword)};
    }
    default:
      return fail(peek(), not_a_statement);
  }
}

// yield -> "yield" ";" (and the same for return and break); gives the keyword.
Parser::Parsed<RawToken> Parser::keyword_statement(std::string_view message) {
  RawToken keyword = advance();
  if (!expect(TokenType::Semicolon, message)) return failed;
  return keyword;
}

namespace {

bool starts_expression(TokenType kind) {
  using enum TokenType;
  switch (kind) {
    case True:
    case False:
    case Nil:
    case Num:
    case Str:
    case Ident:
    case LeftParen:
    case Bar:
    case Not:
    case Minus:
      return true;
    default:
      return false;
  }
}

}  // namespace

// return -> "return" expression? ";"
Parser::StmtResult Parser::return_statement() {
  RawToken keyword = advance();
  // Only a token that starts an expression starts a value: after anything
  // else the error stays the one a bare return gets.
  if (!peek() || !starts_expression(peek()->ty)) {
    if (!expect(TokenType::Semicolon, "Expect ';' after 'return'")) return failed;
    return ast::Stmt{.kind = ast::StmtKind::Return, .token = ref(keyword)};
  }
  auto value = expression();
  if (!value) return failed;
  if (!expect(TokenType::Semicolon, "Expect ';' after return value")) return failed;
  return ast::Stmt{.kind = ast::StmtKind::ReturnValue, .token = ref(keyword), .value = *value};
}

// if -> ("if" | "unless") expression block ("else" (if | block))?
Parser::StmtResult Parser::if_statement() {
  Nesting nesting(depth);
  if (!nesting.enter()) return fail_too_deep();
  RawToken keyword = advance();
  auto condition = expression();
  if (!condition) return failed;
  if (!enter_block()) return fail(peek(), "Expect '{' after condition");
  auto then_branch = block();
  if (!then_branch) return failed;
  ast::Range else_branch;
  if (matches(TokenType::Else)) {
    if (check(TokenType::If) || check(TokenType::Unless)) {
      auto chained = if_statement();
      if (!chained) return chained;
      else_branch = {index_of(tree.stmts.size()), 1};
      tree.stmts.push_back(*chained);
    } else if (enter_block()) {
      auto block_after_else = block();
      if (!block_after_else) return failed;
      else_branch = *block_after_else;
    } else {
      return fail(peek(), "Expect '{' or another 'if' statement after 'else'");
    }
  }
  bool unless = keyword.ty == TokenType::Unless;
  return ast::Stmt{.kind = ast::StmtKind::If,
                   .negated = unless,
                   .token = ref(keyword),
                   .value = *condition,
                   .body = *then_branch,
                   .other = else_branch};
}

// loop -> ("while" | "until") expression block; break is allowed inside.
Parser::StmtResult Parser::loop_statement() {
  Nesting nesting(depth);
  if (!nesting.enter()) return fail_too_deep();
  bool enclosing = std::exchange(in_loop, true);
  auto loop = loop_parts();
  in_loop = enclosing;
  return loop;
}

Parser::StmtResult Parser::loop_parts() {
  RawToken keyword = advance();
  auto condition = expression();
  if (!condition) return failed;
  if (!enter_block()) return fail(peek(), "Expect '{' after condition");
  auto body = block();
  if (!body) return failed;
  bool until = keyword.ty == TokenType::Until;
  return ast::Stmt{.kind = ast::StmtKind::While,
                   .negated = until,
                   .token = ref(keyword),
                   .value = *condition,
                   .body = *body};
}

// assignment -> Ident ("=" | "+=" | "-=" | "*=" | "/=" | "%=" | "^=") value
// value      -> expression ";" | call | race ";"
Parser::StmtResult Parser::var_statement() {
  RawToken name = advance();
  if (!peek()) return fail(std::nullopt, "Expected assignment operator");
  RawToken assignment = advance();
  auto combined = compound_operator(assignment.ty);
  if (assignment.ty != TokenType::Equal && !combined) {
    return fail(assignment, "Expected assignment operator");
  }
  // A call's own ";" ends the assignment.
  const bool call = check(TokenType::Word);
  auto value = assigned_value();
  if (!value) return failed;
  if (combined) {
    // $x op= e is $x = $x op (e): the whole right-hand side is one operand.
    ast::Index variable = add(ast::Expr::variable(ref(name)));
    value = add(ast::Expr::binary(ast::ExprKind::Binary, *combined, variable, *value));
  }
  if (!call && !expect(TokenType::Semicolon, "Expect ';' after assignment")) return failed;
  return ast::Stmt{.kind = ast::StmtKind::Var, .token = ref(name), .value = *value};
}

// The right-hand side of an assignment. A word there starts a call and
// `race` a race block, both of which no expression can start: only an
// assignment takes their values, so conditions and operands stay as they were.
Parser::ExprResult Parser::assigned_value() {
  if (check(TokenType::Word)) {
    auto call = exec_statement();
    if (!call) return failed;
    return add(ast::Expr::call(tree.calls[*call].name, *call));
  }
  if (check(TokenType::Race)) {
    RawToken keyword = advance();
    auto block = parallel_block(keyword);
    if (!block) return failed;
    tree.stmts.push_back(*block);
    return add(ast::Expr::race(ref(keyword), index_of(tree.stmts.size() - 1)));
  }
  if (check(TokenType::Parallel)) {
    // The block is read all the same, so that the parse goes on after it
    // rather than inside it, where its `}` would make a second error.
    RawToken keyword = advance();
    if (!parallel_block(keyword)) return failed;
    return fail(keyword, "A 'parallel' block has no value; a 'race' block gives its winner");
  }
  return expression();
}

// call -> name (Word | expression)* ";" ; the name is whatever token comes first.
// A call's arguments lie side by side: expressions hold no calls.
Parser::ExecResult Parser::exec_statement() {
  ast::Call call{.name = advance_ref(), .args = {index_of(tree.args.size()), 0}};
  for (;; ++call.args.count) {
    if (check(TokenType::Semicolon)) {
      call.end = index_of(consumed_end);
      skip();
      tree.calls.push_back(call);
      return index_of(tree.calls.size() - 1);
    }
    if (check(TokenType::Word)) {
      tree.args.push_back(ast::Arg::of_word(advance_ref()));
      continue;
    }
    auto value = expression();
    if (!value) return failed;
    tree.args.push_back(ast::Arg::of_value(*value));
  }
}

// parallel -> ("parallel" | "race") "{" call* "}" ; the keyword is already consumed.
Parser::StmtResult Parser::parallel_block(RawToken keyword) {
  if (!enter_block()) return fail(peek(), "Expect '{' after 'parallel' keyword");
  // The block's calls lie side by side: nothing else adds calls meanwhile.
  ast::Range calls{index_of(tree.calls.size()), 0};
  while (!check(TokenType::RightBrace)) {
    if (!peek()) return fail(std::nullopt, "Expect '}' after parallel block");
    auto call = exec_statement();
    if (!call) return failed;
    ++calls.count;
  }
  close_opener();
  bool race = keyword.ty == TokenType::Race;
  return ast::Stmt{
      .kind = ast::StmtKind::Parallel, .negated = race, .token = ref(keyword), .body = calls};
}

// block -> statement* "}" ; the "{" is already consumed. At the end of the
// text, statement() reports the missing statement.
Parser::BlockResult Parser::block() {
  const std::size_t mark = pending.size();
  while (!check(TokenType::RightBrace)) {
    auto next = statement();
    if (!next) return failed;
    pending.push_back(*next);
  }
  close_opener();
  return settle(mark);
}

// ---- Expressions ----------------------------------------------------------

// expression -> xor ("or" xor)*
// xor        -> and ("xor" and)*
// and        -> equality ("and" equality)*
// equality   -> comparison (("!=" | "==") comparison)*
// comparison -> term ((">" | ">=" | "<" | "<=") term)*
// term       -> factor (("-" | "+") factor)*
// factor     -> exp (("/" | "*" | "%") exp)*
// exp        -> unary ("^" unary)*
// Every level is left-associative, so one loop climbs them all: an operator
// binding at least as tightly as `weakest` joins the chain so far as its left
// operand, and its right operand takes only operators that bind tighter. A
// chain of one level, however long, is built in the loop: it adds no
// recursion and does not count against the nesting limit.
Parser::ExprResult Parser::expression() { return operators_from(1); }

Parser::ExprResult Parser::operators_from(int weakest) {
  auto left = unary();
  if (!left) return left;
  for (;;) {
    const std::optional<RawToken>& next = peek();
    const int binding = next ? binding_of(next->ty) : 0;
    if (binding < weakest) return left;
    ast::Index node = open_binary(*left, binding <= binding_of(TokenType::And));
    auto right = operators_from(binding + 1);
    if (!right) return right;
    tree.exprs[node].right = *right;
    left = node;
  }
}

// unary -> ("not" | "-") unary | primary
Parser::ExprResult Parser::unary() {
  if (!check(TokenType::Not) && !check(TokenType::Minus)) return primary();
  Nesting nesting(depth);
  if (!nesting.enter()) return fail_too_deep();
  ast::Index node = open_unary();
  auto right = unary();
  if (!right) return right;
  tree.exprs[node].left = *right;
  return node;
}

// The operator nodes are made before their operand on the right is parsed,
// by these out-of-line helpers, so that the recursion frames hold an index
// rather than an operator token.
[[gnu::noinline]] ast::Index Parser::open_binary(ast::Index left, bool logical) {
  ast::ExprKind kind = logical ? ast::ExprKind::Logical : ast::ExprKind::Binary;
  return add(ast::Expr::binary(kind, advance_ref(), left));
}

[[gnu::noinline]] ast::Index Parser::open_unary() { return add(ast::Expr::unary(advance_ref())); }

// primary -> "(" expression ")" | "|" expression "|" | atom
Parser::ExprResult Parser::primary() {
  if (check(TokenType::LeftParen)) {
    return grouping(TokenType::RightParen, "Expect ')' after expression", false);
  }
  if (check(TokenType::Bar)) {
    return grouping(TokenType::Bar, "Expect closing '|' in absolute value expression", true);
  }
  return atom();
}

// atom -> "true" | "false" | "nil" | Num | Str | Ident
Parser::ExprResult Parser::atom() {
  if (!peek()) return fail(std::nullopt, "Expect expression");
  using enum TokenType;
  switch (peek()->ty) {
    case True:
    case False:
    case Nil:
    case Num:
    case Str:
      return literal();
    case Ident:
      return add(ast::Expr::variable(advance_ref()));
    default:
      return fail(peek(), "Expect expression");
  }
}

// A parenthesized expression (abs false) or an absolute value (abs true).
// A bar after a complete operand closes the innermost open absolute value:
// |$a + |$b|| nests, |$a| + |$b| adds two.
Parser::ExprResult Parser::grouping(TokenType closer, std::string_view message, bool abs) {
  Nesting nesting(depth);
  if (!nesting.enter()) return fail_too_deep();
  const TokenType opener_kind = peek()->ty;
  openers.push_back(Opener{opener_kind, peek()->offset});
  std::size_t opener = advance().offset;
  auto inner = expression();
  if (!inner) return inner;
  if (!check(closer)) {
    // At the end of the input fail() adds the note itself.
    bool at_end = !peek();
    fail(peek(), message);
    if (!at_end) note_innermost_opener();
    return failed;
  }
  close_opener();
  ast::TokenRef span{index_of(opener), index_of(consumed_end - opener), opener_kind};
  return add(ast::Expr::grouping(span, abs, *inner));
}

// The literal of a true, false, nil, Num or Str token; a number's value goes
// beside the nodes.
[[gnu::noinline]] ast::Index Parser::literal() {
  RawToken token = advance();
  ast::Index number = 0;
  if (token.ty == TokenType::Num) {
    number = index_of(tree.numbers.size());
    tree.numbers.push_back(lexer.token(token).literal->number_value);
  }
  return add(ast::Expr::literal(ref(token), number));
}

}  // namespace zolang
