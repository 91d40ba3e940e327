// A program's outline, for editors: its groups with their parameters, its
// `use` declarations, its variables with their scopes and every place they
// are named, and its call sites with what each resolves to, all with their
// places in the source. Names resolve as the compiler resolves them, so an
// editor's "go to definition" or "rename" agrees with what runs.
//
// A text with syntax errors is outlined as far as its tree goes: every
// top-level item that parsed is there, the items with errors are left out.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "position.hpp"

namespace zolang {

// One parameter of a group: a word, or a value parameter (its text then the
// variable's name, without the `$`).
struct OutlineParam {
  std::string text;
  bool value = false;
  SourceSpan span;
};

struct OutlineGroup {
  std::string name;
  SourceSpan name_span;
  // From the keyword `group` to the body's closing brace (the end of the
  // text when the brace is missing).
  SourceSpan extent;
  std::vector<OutlineParam> params;
};

struct OutlineUse {
  std::string name;  // the property, without the `$`
  SourceSpan span;
};

// A variable of one scope: the main code's, or one group body's (a group's
// value parameters are variables of its body). Properties are not variables.
struct OutlineVariable {
  std::string name;                  // without the `$`
  std::optional<std::size_t> scope;  // the group's index in Outline::groups; none: the main code
  bool parameter = false;
  SourceSpan defined;              // the parameter, or the first assignment
  std::vector<SourceSpan> places;  // every place it is named, in source order, `defined` included
};

// What a call's name resolves to, as the compiler would resolve it there.
enum class CallTarget { None, Group, Native };

struct OutlineCall {
  std::string name;
  SourceSpan span;  // the name
  CallTarget target = CallTarget::None;
  std::optional<std::size_t> group;  // for a Group target, its index in Outline::groups
  std::optional<std::size_t> scope;  // the group whose body makes the call; none: the main code
};

struct Outline {
  std::vector<OutlineGroup> groups;  // in source order, a redefinition as a group of its own
  std::vector<OutlineUse> uses;
  std::vector<OutlineVariable> variables;
  std::vector<OutlineCall> calls;  // in source order
  // False when syntax errors left items out.
  bool complete = true;
};

// Whether a name is registered (a native call, or a property without `$`).
using NameTest = std::function<bool(std::string_view)>;

// Outlines `source`. Never fails: a text the parser refuses whole (too long)
// has an empty, incomplete outline. Places are unknown (line 0) in no case:
// every name in an outline is a token of the text.
Outline outline_program(std::string_view source, const NameTest& is_native,
                        const NameTest& is_property);

}  // namespace zolang
