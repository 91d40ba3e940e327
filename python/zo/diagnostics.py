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
    if error["trace"]:
        out.append("Zo traceback (outermost call first):\n")
        for group, call_line in error["trace"]:
            out.append(_trace_entry(path, lines, group, call_line))
    return "".join(out)


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
        return "  in group '%s', which runs as the program ends\n" % group
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
