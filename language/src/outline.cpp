// The outline: one walk over the syntax tree in the compiler's order (the
// group bodies in source order, each seeing the groups defined before it,
// then the main code, seeing them all), resolving names with the compiler's
// rules, and one pass of the lexer for what the tree does not keep: where a
// group's keyword and closing brace are.
#include "outline.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <utility>

#include "ast.hpp"
#include "lexer.hpp"
#include "parser.hpp"

namespace zolang {

namespace {

// The offsets of the `group` keywords and of each brace pair, from the
// tokens: an unclosed brace closes at the end of the text.
struct Braces {
  std::vector<std::size_t> group_keywords;
  std::vector<std::pair<std::size_t, std::size_t>> pairs;  // by opening offset

  explicit Braces(std::string_view source) {
    Lexer lexer(source);
    std::vector<std::size_t> open;
    while (const std::optional<RawToken>& token = lexer.peek_raw()) {
      if (token->ty == TokenType::Group) group_keywords.push_back(token->offset);
      if (token->ty == TokenType::LeftBrace) {
        open.push_back(pairs.size());
        pairs.emplace_back(token->offset, source.size());
      } else if (token->ty == TokenType::RightBrace && !open.empty()) {
        pairs[open.back()].second = token->offset + token->length;
        open.pop_back();
      }
      lexer.drop_peeked();
    }
  }

  // The keyword before `name` and the end of the first brace pair after it.
  std::pair<std::size_t, std::size_t> group_extent(std::size_t name) const {
    auto keyword = std::lower_bound(group_keywords.begin(), group_keywords.end(), name);
    std::size_t start = keyword == group_keywords.begin() ? name : *std::prev(keyword);
    auto pair = std::lower_bound(pairs.begin(), pairs.end(), std::make_pair(name, std::size_t{0}));
    return {start, pair == pairs.end() ? name : pair->second};
  }
};

class Walker {
 public:
  Walker(const ast::Tree& tree, const NameTest& is_native, const NameTest& is_property)
      : tree(tree),
        locator(tree.source),
        braces(tree.source),
        is_native(is_native),
        is_property(is_property) {}

  Outline walk() {
    const std::span<const ast::Stmt> items = tree.statements(tree.program);
    for (const ast::Stmt& item : items) {
      if (item.kind == ast::StmtKind::Use) use(item.token);
    }
    for (const ast::Stmt& item : items) {
      if (item.kind == ast::StmtKind::Group) group(item);
    }
    scope.reset();
    variables.clear();
    for (const ast::Stmt& item : items) {
      if (item.kind != ast::StmtKind::Group && item.kind != ast::StmtKind::Use) statement(item);
    }
    std::stable_sort(result.calls.begin(), result.calls.end(), [](const auto& a, const auto& b) {
      return std::pair(a.span.line, a.span.column) < std::pair(b.span.line, b.span.column);
    });
    for (OutlineVariable& variable : result.variables) {
      std::stable_sort(variable.places.begin(), variable.places.end(),
                       [](const SourceSpan& a, const SourceSpan& b) {
                         return std::pair(a.line, a.column) < std::pair(b.line, b.column);
                       });
      // A compound assignment names its variable once for the read and once
      // for the write, at the same token.
      variable.places.erase(std::unique(variable.places.begin(), variable.places.end()),
                            variable.places.end());
    }
    return std::move(result);
  }

 private:
  SourceSpan span(ast::TokenRef token) { return locator.span(token.offset, token.length); }

  void use(ast::TokenRef name) {
    if (std::optional<std::string_view> ident = tree.ident(name)) {
      result.uses.push_back(OutlineUse{std::string(*ident), span(name)});
    }
  }

  // Its body sees the groups stored so far, itself not yet.
  void group(const ast::Stmt& item) {
    const std::string name(tree.text(item.token));
    if (is_native(name)) return;  // the compiler refuses it
    const std::size_t index = result.groups.size();
    OutlineGroup group{name, span(item.token), {}, {}};
    auto [start, end] = braces.group_extent(item.token.offset);
    group.extent = locator.span(start, end - start);
    scope = index;
    variables.clear();
    for (const ast::TokenRef param : tree.params_of(item.other)) {
      const std::optional<std::string_view> ident = tree.ident(param);
      group.params.push_back(OutlineParam{std::string(ident ? *ident : tree.text(param)),
                                          ident.has_value(), span(param)});
      if (ident) write(*ident, param, true);
    }
    result.groups.push_back(std::move(group));
    statements(item.body);
    visible_groups[name] = index;
  }

  void statements(ast::Range range) {
    for (const ast::Stmt& item : tree.statements(range)) statement(item);
  }

  void statement(const ast::Stmt& item) {
    switch (item.kind) {
      case ast::StmtKind::If:
        expression(item.value);
        statements(item.body);
        statements(item.other);
        return;
      case ast::StmtKind::While:
        expression(item.value);
        statements(item.body);
        return;
      case ast::StmtKind::Exec:
        call(tree.calls[item.value]);
        return;
      case ast::StmtKind::Parallel:
        for (const ast::Call& each : tree.calls_of(item.body)) call(each);
        return;
      case ast::StmtKind::Var:
        expression(item.value);
        if (std::optional<std::string_view> ident = tree.ident(item.token)) {
          write(*ident, item.token, false);
        }
        return;
      case ast::StmtKind::ReturnValue:
        expression(item.value);
        return;
      case ast::StmtKind::Group:
      case ast::StmtKind::Use:
      case ast::StmtKind::Return:
      case ast::StmtKind::Yield:
      case ast::StmtKind::Break:
        return;
    }
  }

  // Natives first, then the groups this code can see, as the compiler asks.
  void call(const ast::Call& site) {
    std::vector<ast::Index> values;
    note_call(site, values);
    expressions(std::move(values));
  }

  // Records the call site; its value arguments go on `values`.
  void note_call(const ast::Call& site, std::vector<ast::Index>& values) {
    const std::string name(tree.text(site.name));
    OutlineCall found{name, span(site.name), CallTarget::None, std::nullopt, scope};
    if (is_native(name)) {
      found.target = CallTarget::Native;
    } else if (auto group = visible_groups.find(name); group != visible_groups.end()) {
      found.target = CallTarget::Group;
      found.group = group->second;
    }
    result.calls.push_back(std::move(found));
    for (const ast::Arg& arg : tree.args_of(site)) {
      if (!arg.is_word()) values.push_back(arg.value);
    }
  }

  void expression(ast::Index root) { expressions({root}); }

  // Every variable read in the expressions. A stack rather than recursion:
  // an operator chain is one node deep per operator.
  void expressions(std::vector<ast::Index> pending) {
    while (!pending.empty()) {
      const ast::Expr& node = tree.exprs[pending.back()];
      pending.pop_back();
      switch (node.kind) {
        case ast::ExprKind::Binary:
        case ast::ExprKind::Logical:
          pending.push_back(node.right);
          pending.push_back(node.left);
          break;
        case ast::ExprKind::Unary:
        case ast::ExprKind::Grouping:
          pending.push_back(node.left);
          break;
        case ast::ExprKind::Variable:
          read(node.token());
          break;
        case ast::ExprKind::Call:
          note_call(tree.calls[node.left], pending);
          break;
        case ast::ExprKind::Race:
          for (const ast::Call& each : tree.calls_of(tree.stmts[node.left].body)) {
            note_call(each, pending);
          }
          break;
        case ast::ExprKind::Literal:
          break;
      }
    }
  }

  // A read names a variable of this scope assigned before; a property or a
  // read before any assignment names none.
  void read(ast::TokenRef token) {
    const std::optional<std::string_view> ident = tree.ident(token);
    if (!ident || is_property(*ident)) return;
    if (auto found = variables.find(std::string(*ident)); found != variables.end()) {
      result.variables[found->second].places.push_back(span(token));
    }
  }

  void write(std::string_view name, ast::TokenRef token, bool parameter) {
    if (is_property(name)) return;
    auto [found, added] = variables.try_emplace(std::string(name), result.variables.size());
    if (added) {
      result.variables.push_back(
          OutlineVariable{std::string(name), scope, parameter, span(token), {}});
    }
    result.variables[found->second].places.push_back(span(token));
  }

  const ast::Tree& tree;
  SourceLocator locator;
  Braces braces;
  const NameTest& is_native;
  const NameTest& is_property;
  Outline result;
  std::unordered_map<std::string, std::size_t> visible_groups;  // name to group index
  std::optional<std::size_t> scope;                             // the group being walked
  std::unordered_map<std::string, std::size_t> variables;       // of `scope`, name to index
};

}  // namespace

Outline outline_program(std::string_view source, const NameTest& is_native,
                        const NameTest& is_property) {
  Parser parser{source};
  Parser::Partial parsed = parser.parse_partial();
  Outline outline;
  if (!parsed.tree.source.empty()) outline = Walker(parsed.tree, is_native, is_property).walk();
  outline.complete = parsed.errors.empty();
  return outline;
}

}  // namespace zolang
