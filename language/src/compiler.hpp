// The compiler: resolves every name of a parsed program (native calls and
// properties the host registered, groups defined in the language, variables)
// and appends the program's instructions in place, in their encoding.
//
// Layout of a compiled program: one `jump` over the group bodies, the group
// bodies (each `label`, body, one `pop` per value parameter, `return`), then the
// main code. Execution starts at index 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "ast.hpp"
#include "bytecode.hpp"
#include "error.hpp"
#include "names.hpp"
#include "native.hpp"
#include "op.hpp"
#include "package.hpp"
#include "position.hpp"
#include "scope_recorder.hpp"

namespace zolang {

// A group defined in the language, seen as a callable: call sites are checked
// against its parameters exactly as a native generator checks its own.
class CompiledGroup final : public CallableGenerator {
 public:
  CompiledGroup(std::string name, std::vector<Arg> params)
      : name(std::move(name)), params(std::move(params)) {}

  // Groups run as instructions, never as native calls, so this always fails.
  [[nodiscard]] std::expected<std::unique_ptr<Callable>, Error> generate(
      std::vector<Value> args) override;
  // Accepts exactly the declared shape: as many arguments as parameters, a
  // value where a `$name` parameter stands and the identical word where a word
  // parameter stands. Fails with a GroupSyntax error naming the first mismatch.
  [[nodiscard]] std::expected<void, Error> check_syntax(std::vector<Arg> args) override;

  std::string name;
  // One per declared parameter, in order. For a synthetic group made for a
  // parallel block, the argument list of the call it wraps.
  std::vector<Arg> params;
};

// The compiler's record of one group: its checker and its own instructions
// (label, body, closing pops, return), kept apart until the program is
// assembled, with the debugger's record of its scope.
struct GroupData {
  CompiledGroup group;
  CodeBuffer body;
  SourcePosition defined_at = {};  // the group's name in its definition; unknown when synthetic
  DebugScope scope = {};           // none for a synthetic group, which has no variables
};

// The compile-time argument list of a call site: a word argument carries its
// text, an expression becomes a value argument; source order.
std::vector<Arg> compile_time_args(const ast::Tree& tree, const ast::Call& call);
// The number of value arguments of a call site: the arity of its `call`.
std::size_t count_values(const ast::Tree& tree, const ast::Call& call);

// Turns syntax trees into programs. Registrations survive compilations;
// everything else (groups, `use` declarations, variables, errors) belongs to
// one compilation and starts afresh with the next, so a program can never name
// a group whose body it does not contain.
class Compiler final {
 public:
  Compiler();

  // Registers a native call under `name`. Fails with CompilerBusy while a
  // compilation runs (a host callback registering mid-compile) and with
  // CallableAlreadyRegistered for a taken name; on failure the generator is
  // dropped and the registries are unchanged.
  [[nodiscard]] std::expected<void, Error> register_callable(
      std::string name, std::unique_ptr<CallableGenerator> generator);
  // The same for a property (`name` without the `$`), failing with
  // CompilerBusy or PropertyAlreadyRegistered.
  [[nodiscard]] std::expected<void, Error> register_property(std::string name,
                                                             std::unique_ptr<Prop> prop);

  // Whether a native call, or a property (without `$`), is registered.
  bool knows_callable(std::string_view name) const { return callables.contains(name); }
  bool knows_property(std::string_view name) const { return props.contains(name); }

  // The stack address of variable `name` in the innermost scope, declaring it
  // there (next free address) when absent.
  std::size_t declare_var(std::string_view name);

  // Compiles a whole program. Every error is collected, in the order found
  // (`use` declarations are checked first, then group definitions, then the
  // rest, and their errors come in that order); the result is either the
  // instructions or all errors, never both. Group bodies see every property
  // the program declares with `use`; the main code sees a property from its
  // `use` on. Group bodies are laid out in the order the groups were first
  // defined. A call made while a compilation is already running fails with
  // CompilerBusy.
  //
  // With the tree's source text, every instruction records where it came
  // from (the line table) and every error the span of its token, with notes
  // and suggestions; a tree without one (an empty text) leaves those places
  // unknown and everything else the same.
  [[nodiscard]] std::expected<Bytecode, std::vector<Error>> compile_nonconsuming(
      const ast::Tree& tree);

  // Packages `ops` with the registered natives for an interpreter. The natives
  // move into the package; the compiler is left with none. Called from a host
  // callback during a compilation, the natives stay where they are (one of
  // them is running) and the package has none, so an interpreter built from it
  // reports the missing natives when it validates.
  Program package_program(Bytecode program);

 private:
  // Expressions: each leaves exactly one value on the stack. The tree of an
  // operator chain leans left, one node per operator, so compile_expression
  // walks the chain in a loop, only the right operands recursively: a chain
  // may be as long as the source.
  void compile_expression(ast::Index expression);
  // A node that is not an operator chain's Binary or Logical.
  void compile_operand(const ast::Expr& expression);
  // The code that follows a Binary's or Logical's left operand.
  void finish_binary(ast::TokenRef op, ast::Index right);
  void finish_logical(ast::TokenRef op, ast::Index right);
  void compile_grouping(const ast::Expr& grouping);
  void compile_literal(const ast::Expr& literal);
  void compile_unary(const ast::Expr& unary);
  void compile_variable(ast::TokenRef name);
  // The right-hand sides that only an assignment takes.
  void compile_call_value(const ast::Expr& call);
  void compile_race_value(const ast::Expr& race);

  // Statements: each leaves the stack as it found it, except that the first
  // assignment of a variable leaves its value in the variable's slot.
  void compile_statement(const ast::Stmt& statement);
  // A block's statements, which close its variables for the debugger.
  void compile_statements(ast::Range statements);
  void compile_group(const ast::Stmt& group);
  void compile_use(ast::TokenRef name);
  void compile_if(const ast::Stmt& statement);
  void compile_while(const ast::Stmt& statement);
  void compile_exec(const ast::Call& call);
  // A call as `kind` (call or call_value), recording its place from `here`.
  void compile_call(const ast::Call& call, OpKind kind);
  // A parallel or race block as `kind` (call_parallel, call_race or
  // call_race_value), at the place in `here`.
  void compile_parallel(const ast::Stmt& block, OpKind kind);
  void compile_return_value(const ast::Stmt& statement);
  void compile_var(ast::TokenRef name, ast::Index value);
  void compile_break(ast::TokenRef keyword);

  // Places. Without a source text every place is unknown. Instructions
  // record where their token starts; errors, which are few, whole spans.
  SourcePosition position_of(ast::TokenRef token);
  SourceSpan span_of(ast::TokenRef token);
  SourceSpan span_between(std::size_t start, std::size_t end);
  // Makes the instructions emitted next record `token`'s place; a token made
  // up by the parser (no place of its own) keeps the statement's place.
  void at(ast::TokenRef token);
  void at_statement(ast::TokenRef token);
  // Records `error` at `token`.
  void record_at(Error error, ast::TokenRef token);
  void record_at(Error error, SourceSpan span);
  // Adds "did you mean ...?" to the error when a candidate is close to `name`.
  void suggest(Error& error, std::string_view name,
               const std::vector<std::string_view>& candidates);
  std::vector<std::string_view> callable_names() const;
  // Whether `name` may be a registered property: false for most variables,
  // which then skip the registry's lookup.
  bool may_be_property(std::string_view name) const {
    return (property_shapes & shape_bit(name)) != 0;
  }
  static std::uint64_t shape_bit(std::string_view name) {
    const std::size_t first = name.empty() ? 0 : static_cast<unsigned char>(name[0]);
    return std::uint64_t{1} << ((name.size() * 7 + first) & 63);
  }
  std::vector<std::string_view> variable_names() const;
  // The error for a read of `name` before any `use` of it in the main code.
  Error undeclared_property(std::string_view name);
  void check_use(ast::TokenRef name);

  // Appending, in place: each instruction records the place in `here`.
  // A jump whose target is not known yet is emitted with distance 0 and
  // patched by land_here once its target is the next instruction.
  void emit(OpKind kind) {
    code.at(here);
    code.emit(kind);
  }
  void emit_slot(OpKind kind, std::size_t slot) {
    code.at(here);
    code.emit_slot(kind, slot);
  }
  void emit_name(OpKind kind, std::string_view name) {
    code.at(here);
    code.emit_name(kind, name);
  }
  void emit_value(const Value& value) {
    code.at(here);
    code.emit_value(value);
  }
  std::size_t emit_jump(OpKind kind, std::ptrdiff_t distance = 0) {
    code.at(here);
    return code.emit_jump(kind, distance);
  }
  void land_here(std::size_t jump) {
    code.patch_distance(jump, static_cast<std::ptrdiff_t>(code.size() - jump));
  }
  void record(Error error) { errors.push_back(std::move(error)); }

  void reset_compilation_state();
  // Records the properties the program declares with `use`, read or not,
  // for a debugger to show.
  void note_declared_properties();
  // The program: a jump over the group bodies, the bodies, then `main_code`,
  // with the record of each scope, `main_scope` last, placed at its code.
  Bytecode assemble(const CodeBuffer& main_code, DebugScope main_scope);
  // The checker for a call to `name`, a native's or a group's; null when
  // neither exists.
  CallableGenerator* find_callable(std::string_view name);
  // The group called `name`, or null. Valid until the next group is stored.
  GroupData* find_group(std::string_view name);
  // The code of a call's arguments: its values in source order, and with
  // `words` its words too, each as a string.
  void emit_arguments(const ast::Call& call, bool words);
  // Whether the native called `name` takes its words at run time.
  bool passes_words(std::string_view name) const;
  // The arity of a call: its values, or all its arguments when words pass.
  std::size_t call_arity(const ast::Call& call, bool words) const {
    return words ? call.args.count : count_values(*tree, call);
  }
  // The call_parallel entry for one call of a block, or nothing (the error
  // recorded) when the call is unknown or rejected.
  std::optional<CallEntry> parallel_entry(const ast::Call& call);
  // Records a group under `name` (remembering first-definition order).
  void store_group(std::string name, std::vector<Arg> params, CodeBuffer body,
                   SourcePosition defined_at = {}, DebugScope scope = {});
  // Records the error of a rejected call site: at the call, with a note at
  // the definition of the group that refused it.
  void record_rejected_call(Error error, const ast::Call& call, const GroupData* group);
  // The synthetic group that runs native `name` with `arity` values inside a
  // parallel or race block, creating it when needed; returns its name.
  std::string synthetic_group(const std::string& name, std::size_t arity, std::vector<Arg> args,
                              SourcePosition call);

  EncodedProgram code;
  // Where group bodies are compiled before they are stored.
  CodeBuffer group_scratch;
  // The breaks of the enclosing loops, innermost last, each to be landed
  // just past its loop.
  std::vector<std::size_t> breaks;
  // Innermost last; each maps a variable name (without `$`) to its address.
  std::vector<NameMap<std::size_t>> scopes;
  // The debugger's record of the innermost scope, and one kept empty for
  // the next group with the room the last one used.
  ScopeRecorder recorder;
  ScopeRecorder spare_recorder;
  std::vector<Error> errors;
  CallableRegistry callables;
  PropertyRegistry props;
  std::unordered_set<std::string, StringHash, std::equal_to<>> used_props;
  // One bit per length and first byte of a registered property's name.
  std::uint64_t property_shapes = 0;

  // The tree being compiled; null between compilations.
  const ast::Tree* tree = nullptr;
  // A compilation runs (and a host callback must not disturb it).
  bool running() const { return tree != nullptr; }
  // Places, for one compilation with its source text: the locator, the place
  // the next instructions record and the place of the statement being
  // compiled.
  std::optional<SourceLocator> locator;
  SourcePosition here;
  SourcePosition statement_here;
  // The operator nodes of the chains compile_expression is walking, kept
  // here so that compiling an expression allocates nothing.
  std::vector<const ast::Expr*> chains;
  // Where each property the program declares is first named by `use`.
  NameMap<SourcePosition> declared_uses;
  // How many more errors may look for a "did you mean" hint.
  static constexpr std::size_t max_suggestions = 100;
  std::size_t suggestions_left = max_suggestions;

  // The groups in the order they were first stored, so that group bodies are
  // laid out reproducibly; a redefinition takes the place of the first.
  std::vector<GroupData> groups;
  // Each group's index in `groups`, by name: a table of small entries, so
  // that the lookups of a program with thousands of groups stay in cache.
  NameMap<std::size_t> group_index;
  // The synthetic group made for each native call shape: native name to the
  // (arity, group name) pairs made for it in this compilation.
  NameMap<std::vector<std::pair<std::size_t, std::string>>> synthetic_shapes;
  // How many loops enclose the statement being compiled; a `break` outside
  // any loop has nowhere to go.
  std::size_t loop_depth = 0;
  // Whether a group body is being compiled: only a group returns a value.
  bool in_group = false;
};

}  // namespace zolang
