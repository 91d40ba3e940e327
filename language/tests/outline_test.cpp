// Outlines: names resolved as the compiler resolves them, every place where
// the text has it, and as much as parsed of a text with syntax errors.
#include <string>

#include "compiler_fixture.hpp"

namespace zolang::testing {
namespace {

std::string at(const SourceSpan& span) {
  return std::to_string(span.line) + ":" + std::to_string(span.column) + "-" +
         std::to_string(span.end_line) + ":" + std::to_string(span.end_column);
}

std::string scope_name(const Outline& outline, std::optional<std::size_t> scope) {
  return scope ? outline.groups[*scope].name : "main";
}

// One line per entry, so that a test states the whole outline.
std::string render(const Outline& outline) {
  std::string text = outline.complete ? "" : "incomplete\n";
  for (const OutlineGroup& group : outline.groups) {
    text += "group " + group.name + " " + at(group.name_span) + " in " + at(group.extent);
    for (const OutlineParam& param : group.params) {
      text += (param.value ? " $" : " ") + param.text + "@" + at(param.span);
    }
    text += "\n";
  }
  for (const OutlineUse& use : outline.uses) text += "use $" + use.name + " " + at(use.span) + "\n";
  for (const OutlineVariable& variable : outline.variables) {
    text += "$" + variable.name + " of " + scope_name(outline, variable.scope) +
            (variable.parameter ? " parameter" : "") + " defined " + at(variable.defined) + ":";
    for (const SourceSpan& place : variable.places) text += " " + at(place);
    text += "\n";
  }
  for (const OutlineCall& call : outline.calls) {
    text += "call " + call.name + " " + at(call.span) + " from " + scope_name(outline, call.scope);
    if (call.target == CallTarget::Native) text += " -> native";
    if (call.target == CallTarget::Group) text += " -> group " + std::to_string(*call.group);
    text += "\n";
  }
  return text;
}

using ProgramOutline = CompilerFixture;

TEST_F(ProgramOutline, CallsResolveAsTheCompilerResolvesThem) {
  native("beep");
  // b's body sees the first a only; the main code sees the second a and b;
  // c is nothing, and beep a native even inside a race.
  EXPECT_EQ(render(compiler.outline("group a { beep; }\n"
                                    "group b x { a; c; }\n"
                                    "group a { b x; }\n"
                                    "a; race { b x; beep; }\n")),
            "group a 1:7-1:8 in 1:1-1:18\n"
            "group b 2:7-2:8 in 2:1-2:20 x@2:9-2:10\n"
            "group a 3:7-3:8 in 3:1-3:17\n"
            "call beep 1:11-1:15 from a -> native\n"
            "call a 2:13-2:14 from b -> group 0\n"
            "call c 2:16-2:17 from b\n"
            "call b 3:11-3:12 from a -> group 1\n"
            "call a 4:1-4:2 from main -> group 2\n"
            "call b 4:11-4:12 from main -> group 1\n"
            "call beep 4:16-4:20 from main -> native\n");
}

TEST_F(ProgramOutline, VariablesBelongToTheirScopeAndPropertiesToNone) {
  native("say");
  prop("speed");
  EXPECT_EQ(render(compiler.outline("use $speed;\n"
                                    "group g $a { $a += 1; $b = $a; if $b { say $b; } }\n"
                                    "$early = $a;\n"
                                    "$a = $speed; $speed = $a; say $a;\n")),
            "group g 2:7-2:8 in 2:1-2:51 $a@2:9-2:11\n"
            "use $speed 1:5-1:11\n"
            "$a of g parameter defined 2:9-2:11: 2:9-2:11 2:14-2:16 2:28-2:30\n"
            "$b of g defined 2:23-2:25: 2:23-2:25 2:35-2:37 2:44-2:46\n"
            "$early of main defined 3:1-3:7: 3:1-3:7\n"
            "$a of main defined 4:1-4:3: 4:1-4:3 4:23-4:25 4:31-4:33\n"
            "call say 2:40-2:43 from g -> native\n"
            "call say 4:27-4:30 from main -> native\n");
}

TEST_F(ProgramOutline, SyntaxErrorsLeaveOutOnlyTheirItems) {
  // Recovery skips to the next item's keyword: the `done;` after the
  // broken group goes with it.
  EXPECT_EQ(render(compiler.outline("group done { }\n"
                                    "done;\n"
                                    "group typing $x { pri\n"
                                    "}\n"
                                    "done;\n"
                                    "group open {\n"
                                    "  if true {\n")),
            "incomplete\n"
            "group done 1:7-1:11 in 1:1-1:15\n"
            "call done 2:1-2:5 from main -> group 0\n");
  // An unclosed group, alone, reaches the end of the text.
  EXPECT_EQ(render(compiler.outline("group open { if true { } ")), "incomplete\n");
  EXPECT_EQ(render(compiler.outline("")), "");
}

}  // namespace
}  // namespace zolang::testing
