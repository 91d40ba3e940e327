"""Open documents and positions.

Two ways of counting meet here. The protocol's positions count lines at
every CR, LF and CR LF, from 0, and columns in UTF-16 code units. The
library's places (the `place_` methods) count lines at line feeds only (a
lone carriage return is an ordinary character to it) and columns in code
points, as Python's `str` does, both from 1. One goes to the other through
an index into the text, so that each keeps its own count.
"""

import bisect
import re

_SURROGATE = re.compile("[\ud800-\udfff]")
_BREAK = re.compile("\r\n?|\n")
_FEED = re.compile("\n")


class Document:
    """The text of one open document and where its lines start."""

    def __init__(self, uri, text, version=None, language=None):
        self.uri = uri
        self.version = version
        # IR text by its language, else by its name (a client may send none).
        self.is_ir = language == "zo-ir" or (language is None and uri.endswith(".zir"))
        self.revision = 0
        self.outlines = None  # the outlines of the text (zo.lsp.outlines), made when first asked for
        self.set_text(text)

    def set_text(self, text):
        self.text = text
        # Bumped at every change: what is cached for a text is keyed by it.
        self.revision += 1
        self._lines = self._compiler_lines = self._compiler_text = None

    @property
    def line_starts(self):
        """The index where each of the protocol's lines starts."""
        if self._lines is None:
            if "\r" in self.text:
                self._lines = [0] + [m.end() for m in _BREAK.finditer(self.text)]
            else:
                self._lines = _feed_starts(self.text)
        return self._lines

    def place_line_starts(self):
        """The index where each of the library's lines starts: the same list
        as `line_starts` when the text has no carriage return."""
        if self._compiler_lines is None:
            self._compiler_lines = _feed_starts(self.text) if "\r" in self.text else self.line_starts
        return self._compiler_lines

    def place_line_at(self, offset):
        """The library's line (0-based) that holds an index in `text`."""
        return bisect.bisect_right(self.place_line_starts(), offset) - 1

    def line(self, index):
        """The text of a 0-based line without its line break ("" past the end)."""
        starts = self.line_starts
        if not 0 <= index < len(starts):
            return ""
        return self.text[starts[index]:self._content_end(index)]

    def line_bounds(self, index):
        """Where a line's text starts and ends in `text`, its break left out."""
        index = min(max(index, 0), len(self.line_starts) - 1)
        return self.line_starts[index], self._content_end(index)

    def _content_end(self, index):
        """Where the text of a line ends: before its line break."""
        starts = self.line_starts
        if index + 1 >= len(starts):
            return len(self.text)
        end = starts[index + 1] - 1
        if self.text[end] == "\n" and end > starts[index] and self.text[end - 1] == "\r":
            end -= 1
        return end

    def offset(self, position):
        """The index in `text` of an LSP position, clamped to its line."""
        line = min(max(int(position.get("line", 0)), 0), len(self.line_starts) - 1)
        return self.line_starts[line] + code_points(self.line(line), int(position.get("character", 0)))

    def position_at(self, offset):
        """The LSP position of an index in `text`; one inside a line break
        is at the end of its line."""
        offset = min(max(offset, 0), len(self.text))
        line = bisect.bisect_right(self.line_starts, offset) - 1
        start = self.line_starts[line]
        offset = min(offset, self._content_end(line))
        return {"line": line, "character": utf16_units(self.text[start:offset], offset - start)}

    def place_offset(self, line, column):
        """The index in `text` of the library's place (1-based line and
        code-point column), clamped to that line; the end of the text for a
        line past it."""
        starts = self.place_line_starts()
        if line > len(starts):
            return len(self.text)
        index = max(line, 1) - 1
        end = starts[index + 1] - 1 if index + 1 < len(starts) else len(self.text)
        return min(starts[index] + max(column, 1) - 1, end)

    def place_position(self, line, column):
        """The LSP position of the library's place."""
        starts = self.place_line_starts()
        if starts is not self._lines or not 0 < line <= len(starts) or column < 1:
            return self.position_at(self.place_offset(line, column))
        # Without a carriage return both count the same lines: the short way,
        # since a document's symbols ask this for every group.
        start = starts[line - 1]
        end = starts[line] - 1 if line < len(starts) else len(self.text)
        head = self.text[start:min(start + column - 1, end)]
        return {"line": line - 1, "character": len(head) if head.isascii() else utf16_units(head, len(head))}

    def place_of(self, position):
        """The library's place (1-based line and column) of an LSP position."""
        return self.place_at(self.offset(position))

    def place_at(self, offset):
        """The library's place of an index in `text`."""
        line = self.place_line_at(offset)
        return line + 1, offset - self.place_line_starts()[line] + 1

    def end(self):
        return self.position_at(len(self.text))

    def apply(self, change):
        """One content change of didChange: the whole text, or a range."""
        if "range" not in change:
            self.set_text(change.get("text", ""))
            return
        start = self.offset(change["range"]["start"])
        end = max(start, self.offset(change["range"]["end"]))
        new = change.get("text", "")
        lines = self.line_starts if self.place_line_starts() is self.line_starts else None
        self.set_text(self.text[:start] + new + self.text[end:])
        if lines is not None and "\r" not in new:
            # Line feeds only, before and after: the lines above the change
            # stay, those below move. A keystroke in a big file then costs
            # no walk over the whole text.
            first = bisect.bisect_right(lines, start)
            below = bisect.bisect_right(lines, end)
            moved = len(new) - (end - start)
            self._lines = (lines[:first] + [m.end() + start for m in _FEED.finditer(new)]
                           + [line + moved for line in lines[below:]])

    def for_compiler(self):
        """The text as the compiler can take it, every code point in place:
        a lone surrogate (never valid UTF-8) becomes U+FFFD, and a byte-order
        mark that starts the text a space."""
        if self._compiler_text is None:
            text = self.text if self.text.isascii() else _SURROGATE.sub("\ufffd", self.text)
            if text.startswith("\ufeff"):
                text = " " + text[1:]
            self._compiler_text = text
        return self._compiler_text


def _feed_starts(text):
    """Where the lines of a text start, counting line feeds only."""
    starts, find = [0], text.find
    at = find("\n")
    while at >= 0:
        starts.append(at + 1)
        at = find("\n", at + 1)
    return starts


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
