"""Open documents and positions.

The protocol counts columns in UTF-16 code units; the compiler counts them
in code points, as Python's `str` does. Lines end at line feeds for both
(a carriage return before one stays at the end of its line).
"""

import re

_SURROGATE = re.compile("[\ud800-\udfff]")


class Document:
    """The text of one open document and where its lines start."""

    def __init__(self, uri, text, version=None, language=None):
        self.uri = uri
        self.version = version
        # IR text by its language, else by its name (a client may send none).
        self.is_ir = language == "zo-ir" or (language is None and uri.endswith(".zir"))
        self.set_text(text)

    def set_text(self, text):
        self.text = text
        self.line_starts = [0]
        self.line_starts.extend(m.end() for m in re.finditer("\n", text))

    def line(self, index):
        """The text of a 0-based line without its line feed ("" past the end)."""
        if not 0 <= index < len(self.line_starts):
            return ""
        start = self.line_starts[index]
        end = self.line_starts[index + 1] - 1 if index + 1 < len(self.line_starts) else len(self.text)
        return self.text[start:end]

    def offset(self, position):
        """The index in `text` of an LSP position, clamped to the text."""
        line = min(max(int(position.get("line", 0)), 0), len(self.line_starts) - 1)
        return self.line_starts[line] + code_points(self.line(line), int(position.get("character", 0)))

    def position(self, line, column):
        """The LSP position of a 0-based line and code-point column, clamped."""
        if line >= len(self.line_starts):
            line = len(self.line_starts) - 1
            column = len(self.line(line))
        line = max(line, 0)
        return {"line": line, "character": utf16_units(self.line(line), column)}

    def end(self):
        last = len(self.line_starts) - 1
        return self.position(last, len(self.line(last)))

    def apply(self, change):
        """One content change of didChange: the whole text, or a range."""
        if "range" not in change:
            self.set_text(change.get("text", ""))
            return
        start = self.offset(change["range"]["start"])
        end = max(start, self.offset(change["range"]["end"]))
        self.set_text(self.text[:start] + change.get("text", "") + self.text[end:])

    def for_compiler(self):
        """The text as the compiler can take it, every code point in place:
        a lone surrogate (never valid UTF-8) becomes U+FFFD, and a byte-order
        mark that starts the text a space."""
        text = _SURROGATE.sub("\ufffd", self.text)
        if text.startswith("\ufeff"):
            text = " " + text[1:]
        return text


def utf16_units(line, column):
    """The UTF-16 column of a code-point column of `line`."""
    head = line[:max(column, 0)]
    if head.isascii():
        return len(head)
    return len(head) + sum(1 for c in head if ord(c) > 0xFFFF)


def code_points(line, units):
    """The code-point column of a UTF-16 column of `line`, clamped to it."""
    if line.isascii():
        return min(max(units, 0), len(line))
    count = 0
    for index, char in enumerate(line):
        count += 2 if ord(char) > 0xFFFF else 1
        if count > units:
            return index
    return len(line)
