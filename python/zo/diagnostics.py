"""Errors shown as a modern compiler shows them.

A compile error (one dict of ``Compiler.diagnostics()``) becomes::

    mission.zo:4:5: error: No callable named 'pirnt' was registered
        4 |     pirnt "hello";
          |     ^^^^^
    note: did you mean 'print'?

and a run-time failure (``Interpreter.last_error()``) the same head and
excerpt, followed by the Zo traceback: the group calls that led there.
"""

import json
import re
import unicodedata

_UNKNOWN_CALL = re.compile(r"No callable named '(.+)' was registered\Z")
_SIGNATURE = re.compile(r"(\S+): expected '(.*)', got '(.*)'\Z")

def explain(diagnostics, source, host_given=True):
    """The diagnostics with notes for a newcomer's mistakes: a call of a
    group defined later (or of itself), a call of a native where no host
    was given; a command's call shown as written."""
    lines = _source_lines(source)
    explained = []
    for diagnostic in diagnostics:
        diagnostic = dict(diagnostic, notes=list(diagnostic["notes"]))
        unknown = _UNKNOWN_CALL.match(diagnostic["message"])
        if unknown and not diagnostic["notes"]:
            definition = _group_definition(lines, unknown.group(1))
            if definition is not None:
                diagnostic["notes"].append((
                    "groups call only groups defined before them; '%s' is defined here"
                    % unknown.group(1),) + definition)
            elif not host_given:
                diagnostic["notes"].append(
                    ("natives other than the standard ones come from a host file: "
                     "--host FILE.py", None, None))
        _show_call(diagnostic, lines)
        explained.append(diagnostic)
    return explained


def _group_definition(lines, name):
    pattern = re.compile(r"(\bgroup\s+)%s(?![\w])" % re.escape(name))
    for number, text in enumerate(lines, 1):
        found = pattern.search(text.split("#", 1)[0])
        if found:
            return number, found.end(1) + 1
    return None


def _show_call(diagnostic, lines):
    """Puts a command's call site, as written, into its signature error."""
    found = _SIGNATURE.match(diagnostic["message"])
    line, column, end = diagnostic["line"], diagnostic["column"], diagnostic["end_column"]
    if not found or line is None or end is None or diagnostic["end_line"] != line:
        return
    if not 1 <= line <= len(lines):
        return
    written = " ".join(lines[line - 1][column - 1:end - 1].rstrip(";").split())
    message = "%s: expected '%s', got '%s'" % (found.group(1), found.group(2), written)
    diagnostic["message"] = message
    diagnostic["text"] = diagnostic["text"].replace(found.group(0), message)


def render_diagnostics(diagnostics, path, source):
    """The text for a list of compile errors, one block each."""
    lines = _source_lines(source)
    return "".join(_render_diagnostic(d, path, lines) for d in diagnostics)


def diagnostics_json(diagnostics):
    """The compile errors as one JSON array, an object per error with the
    fields of ``Compiler.diagnostics()`` (notes as [message, line, column])."""
    return json.dumps(diagnostics, indent=2) + "\n"


def render_failure(error, path, source):
    """The text for a run-time failure: ``error`` is ``last_error()``'s dict,
    or None when the interpreter kept no place (the text alone is shown)."""
    lines = _source_lines(source)
    line, column = error["line"], error["column"]
    out = [_head(path, line, column, "error", error["text"])]
    if line is not None:
        out.append(_excerpt(lines, line, column, None, _token_end(lines, line, column)))
    elif error["address"] is not None:
        out.append("note: at instruction %d of the program\n" % error["address"])
    if error["text"] in _ADD_FAILURES and _at(lines, line, column) == "+":
        out.append("note: %s\n" % _add_note(error["text"], lines[line - 1], column))
    if error["trace"]:
        out.append("Zo traceback (outermost call first):\n")
        for group, call_line in error["trace"]:
            out.append(_trace_entry(path, lines, group, call_line))
    return "".join(out)


# The fixed texts of `+` say what the right operand was; the notes say what
# both were: the kinds each text leaves possible, narrowed to one where the
# source shows the operand itself, a literal.
_KINDS = ("number", "string", "true", "false", "nil")
_ADD_FAILURES = {
    "Right operand must be a number": ({"string", "true", "false", "nil"}, {"number"}),
    "Right operand must be a string": ({"number", "true", "false", "nil"}, {"string"}),
    "Operands must be a number or a string": (set(_KINDS), {"true", "false", "nil"}),
}
_LINE_TOKENS = re.compile(r"\"[^\"]*\"|'[^']*'|-?\d+(?:\.\d*)?(?![\w.])|\$\w+"
                          r"|[-+*/%^=!<>]=|[-+*/%^<>()|{};=]|[^\s\"'$+\-*/%^<>()|{};=]+")
# Tokens after which an expression begins, or which bind more loosely than
# `+`: a literal just after one and just before `+` is its whole left operand.
_BEFORE_OPERAND = {"=", "+=", "-=", "*=", "/=", "%=", "^=", "(", "{", ";", "==", "!=", "<", "<=",
                   ">", ">=", "and", "or", "xor", "if", "unless", "while", "until", "return"}
# The language's keywords, in the order completion offers them.
KEYWORDS = (
    "and", "break", "deadline", "else", "false", "group", "if", "nil", "not", "or", "parallel",
    "race", "return", "sequence", "true", "unless", "until", "use", "while", "xor", "yield",
)


def _add_note(text, line_text, column):
    """The note for a failed `+` whose operator stands at `column`."""
    left, right = _ADD_FAILURES[text]
    tokens = [(m.start(), m.group()) for m in _LINE_TOKENS.finditer(line_text)]
    at = next((i for i, (start, _) in enumerate(tokens) if start == column - 1), None)
    if at is not None:
        left = _narrowed(left, tokens, at - 1, tokens[at][1] == "+=")
        right = _narrowed(right, tokens, at + 1, True)
    added = "'+' adds two numbers or joins two strings"
    if left == set(_KINDS):
        return "the right operand is %s, and the left one may be anything: %s" % (
            _kinds(right), added)
    return "the left operand is %s and the right one %s: %s" % (_kinds(left), _kinds(right),
                                                                  added)


def _narrowed(kinds, tokens, index, whole):
    """`kinds`, or the one kind of the literal at tokens[index] when it is
    the whole operand: `whole` when nothing before it can bind it (the
    right operand, whose evaluation came first), else when the token
    before it begins an expression or binds more loosely than `+`."""
    if not 0 <= index < len(tokens):
        return kinds
    kind = _literal_kind(tokens[index][1])
    if kind is None or kind not in kinds:
        return kinds
    if whole and index + 1 < len(tokens) and tokens[index + 1][1] in ("*", "/", "%", "^"):
        return kinds  # the operand runs on
    if not whole:
        if index == 0:
            return kinds  # the expression may have begun on an earlier line
        before = tokens[index - 1][1]
        if before not in _BEFORE_OPERAND and (before in KEYWORDS or not _is_word(before)):
            return kinds
    return {kind}


def _literal_kind(token):
    if token in ("true", "false", "nil"):
        return token
    if token[0] in "\"'":
        return "string"
    if re.match(r"-?\d", token):
        return "number"
    return None


def _is_word(token):
    """A word (a call's name or a word argument): an expression follows it."""
    return re.match(r"[^\W\d]|[!_.,:&?@\[\]\\`~]", token) is not None and token not in KEYWORDS


def _kinds(kinds):
    named = ["a number" if k == "number" else "a string" if k == "string" else k
             for k in _KINDS if k in kinds]
    return named[0] if len(named) == 1 else ", ".join(named[:-1]) + " or " + named[-1]


def _at(lines, line, column):
    if line is None or not 1 <= line <= len(lines):
        return None
    return lines[line - 1][column - 1:column]


def _render_diagnostic(diagnostic, path, lines):
    line, column = diagnostic["line"], diagnostic["column"]
    out = [_head(path, line, column, "error", diagnostic["message"])]
    if line is not None:
        out.append(_excerpt(lines, line, column, diagnostic["end_line"], diagnostic["end_column"]))
    for message, note_line, note_column in diagnostic["notes"]:
        if note_line is None:
            out.append("note: %s\n" % message)
            continue
        out.append(_head(path, note_line, note_column, "note", message))
        out.append(_excerpt(lines, note_line, note_column, None, None))
    return "".join(out)


def _source_lines(source):
    # Zo counts lines at line feeds only; a CR before one is not shown.
    return [line[:-1] if line.endswith("\r") else line for line in source.split("\n")]


def _head(path, line, column, kind, message):
    if line is None:
        return "%s: %s: %s\n" % (path, kind, message)
    return "%s:%d:%d: %s: %s\n" % (path, line, column, kind, message)


def _excerpt(lines, line, column, end_line, end_column):
    """The source line, then a caret span under columns [column, end): to the
    line's end when the span runs on to later lines, one caret when empty."""
    if not 1 <= line <= len(lines):
        return ""
    text = lines[line - 1]
    start = max(column - 1, 0)
    if end_line is not None and end_line > line:
        stop = len(text)
    elif end_column is not None:
        stop = end_column - 1
    else:
        stop = start + 1
    marks = "^" * max(1, _width(text[start:stop]))
    number = "%5d" % line  # wider only past line 99999
    return "%s | %s\n%s | %s%s\n" % (number, text, " " * len(number), _blank(text[:start]), marks)


def _token_end(lines, line, column):
    """The column just past the token at (line, column): a run-time place has
    no end of its own. Names and numbers run on; an operator is one mark."""
    if not 1 <= line <= len(lines):
        return None
    match = re.compile(r"\$?[\w.]+|\S").match(lines[line - 1], column - 1)
    return match.end() + 1 if match else None


def _trace_entry(path, lines, group, line):
    if line is None:
        # A program read from IR text has no lines in any frame.
        if group == "__end":
            return "  in group '%s', which runs as the program ends\n" % group
        return "  in group '%s'\n" % group
    if group.startswith("#"):
        native = re.sub(r"(/\d+)+$", "", group[1:])
        what = "in a parallel or race branch calling '%s'" % native
    else:
        what = "call of group '%s'" % group
    excerpt = ""
    if 1 <= line <= len(lines):
        excerpt = "  %5d | %s\n" % (line, lines[line - 1])
    return "  %s:%d: %s\n%s" % (path, line, what, excerpt)


def _blank(text):
    """Whitespace as wide as `text` on a terminal: tabs kept, wide characters
    two columns, combining marks none."""
    return "".join("\t" if c == "\t" else " " * _char_width(c) for c in text)


def _width(text):
    return sum(_char_width(c) for c in text)


def _char_width(char):
    if unicodedata.combining(char):
        return 0
    return 2 if unicodedata.east_asian_width(char) in ("W", "F") else 1
