"""The outlines of an open document, made by the library
(`Compiler.outline`) and kept for as long as the text they were made of.

`whole` outlines the whole text: going to a definition, references, rename
and hover need it, since a call may name a group anywhere above it.
`pieced` serves what needs only the items' own declarations (completion,
document symbols): it outlines the text piece by piece and keeps each
piece's outline for as long as that piece's text is unchanged, so that a
change costs the outline of the piece it falls in. Most of an outline's
time goes into turning it into Python objects (on PyPy, nearly all of it),
so that a file of 40,000 lines would otherwise cost a second a keystroke.

A piece ends before a line that starts with the keyword `group`, unless a
string runs on across that line: then the line is inside the string, and
the piece goes on. Otherwise the line starts an item of the whole text (a
comment ends with its line), or, in a text with an error before it, the
item that the error leaves out of the whole text's outline is left out of
the piece's. Only some of those lines end a piece, chosen by their own
text, so that pieces hold a few groups each and stay where they are when
text around them changes.

Names resolve within a piece only: a pieced outline has groups with their
parameters, `use`s, and variables with where they are defined, no calls.
Each piece's part of it is kept too, for as long as neither the piece's
text nor the number of lines above it changes.
"""

import re
import zlib

import zolangpy

_PIECE_START = re.compile(r"^group(?=[\s!\"#$%'()*+\-/;<=>^{|}]|\Z)", re.M)
_GROUPS_A_PIECE = 8  # one `group` line in this many ends a piece, on average


class Outlines:
    """The outlines of one document's text, for one model of the natives."""

    def __init__(self):
        self._model = None
        self._compiler = None
        self._outlines = {}  # piece text -> its outline, for the pieces seen lately
        self._moved = {}  # (piece text, its first line) -> its part of a pieced outline
        self._revision = None  # the document's revision that the following are of
        self._whole = None
        self._pieced = {}  # blanked line (or None) -> pieced outline
        self._pieces = []  # (start, end, outline) of each piece of the text itself

    def _update(self, document, model):
        self._use(model)
        if document.revision != self._revision:
            self._revision, self._whole, self._pieced, self._pieces = document.revision, None, {}, []

    def _use(self, model):
        if model is not self._model:
            self._model, self._compiler = model, _name_only_compiler(model)
            self._outlines, self._moved, self._whole, self._pieced, self._pieces = {}, {}, None, {}, []

    def whole(self, document, model):
        """The outline of the whole text."""
        self._update(document, model)
        if self._whole is None:
            text = document.for_compiler()
            self._whole = self._outlines.get(text) or self._compiler.outline(text)
        return self._whole

    def pieced(self, document, model, blank_line=None):
        """The outline made of pieces, of the text or of the text with one
        of the protocol's lines blanked (spaces in place of its characters,
        which keeps every place where it is). Its variables name their
        group itself (`group`, None for the main code), not its index."""
        self._update(document, model)
        found = self._pieced.get(blank_line)
        if found is None:
            found = self._pieced[blank_line] = self._layout(document, blank_line)
        return found

    def _layout(self, document, blank_line):
        text = document.for_compiler()
        if blank_line is not None:
            start, end = document.line_bounds(blank_line)
            text = text[:start] + " " * (end - start) + text[end:]
        pieces = list(self._cut(text))
        joined = {"complete": True, "groups": [], "uses": [], "variables": []}
        keys = []
        for start, end, found in pieces:
            key = (text[start:end], document.place_line_at(start))
            part = self._moved.get(key)
            if part is None:
                part = self._moved[key] = _moved(found, key[1])
            keys.append(key)
            joined["complete"] = joined["complete"] and part["complete"]
            for name in ("groups", "uses", "variables"):
                joined[name].extend(part[name])
        if blank_line is None:
            self._pieces = pieces
            self._forget_all_but(keys)
        return joined

    def _cut(self, text):
        """(start, end, outline) of each piece of a text."""
        cuts = [m.start() for m in _PIECE_START.finditer(text) if _ends_piece(text, m.start())]
        cuts = ([0] if cuts[:1] != [0] else []) + cuts + [len(text)]
        index = 0
        while index + 1 < len(cuts):
            end = index + 1
            found = self._outline(text[cuts[index]:cuts[end]])
            # A piece that ends inside a string takes on the next pieces,
            # twice as many each time, until the string closes.
            while (not found["complete"] and end + 1 < len(cuts)
                   and self._runs_on(text[cuts[index]:cuts[end]])):
                end = min(len(cuts) - 1, index + 2 * (end - index))
                found = self._outline(text[cuts[index]:cuts[end]])
            yield cuts[index], cuts[end], found
            index = end

    def _runs_on(self, text):
        """Whether a text that has syntax errors ends inside a string. Its
        compilation stops at them, before any native is asked anything."""
        self._compiler.compile(text)
        return any(item["message"] == "Unterminated string" for item in self._compiler.diagnostics())

    def _outline(self, text):
        found = self._outlines.get(text)
        if found is None:
            found = self._outlines[text] = self._compiler.outline(text)
        return found

    def _forget_all_but(self, keys):
        """Keeps only what the pieces in use need, once the caches hold
        about twice as much."""
        if len(self._moved) > 2 * len(keys) + 16:
            self._moved = {key: self._moved[key] for key in keys}
        if len(self._outlines) > 2 * len(keys) + 16:
            self._outlines = {text: self._outlines[text] for text, _ in keys if text in self._outlines}

    def is_code(self, document, model, offset):
        """Whether the character at an index of the text is code, rather
        than part of a string or a comment. The library is asked: a brace
        in its place changes the outline of the piece it is in if it is
        code (the item breaks), and leaves it as it was in a string or a
        comment. In an item already broken, nothing tells; that is no."""
        self.pieced(document, model)
        for start, end, found in self._pieces:
            if start <= offset < end:
                text = document.for_compiler()[start:end]
                local = offset - start
                return self._compiler.outline(text[:local] + "{" + text[local + 1:]) != found
        return False

    def takes(self, model, text, kind, name):
        """Whether the library outlines a text as one complete item of a
        kind ("groups" or "variables") with that name."""
        self._use(model)
        found = self._compiler.outline(text)
        items = found[kind]
        return found["complete"] and len(items) == 1 and items[0]["name"] == name


def _name_only_compiler(model):
    """A compiler with the model's natives registered by name only, so that
    names resolve as the compiler resolves them and no host code runs."""
    compiler = zolangpy.Compiler()
    for name in model.commands:
        compiler.register_callable(name, zolangpy.CallableGenerator())
    for name in model.properties:
        compiler.register_property(name, zolangpy.Prop())
    return compiler


def _ends_piece(text, start):
    end = text.find("\n", start)
    line = text[start:end if end >= 0 else len(text)]
    return zlib.crc32(line.encode("utf-8", "replace")) % _GROUPS_A_PIECE == 0


def _moved(found, lines):
    """A piece's part of a pieced outline: its places moved down by the
    lines above the piece."""
    groups = [{"name": g["name"], "span": _down(g["span"], lines), "extent": _down(g["extent"], lines),
               "params": [dict(p, span=_down(p["span"], lines)) for p in g["params"]]}
              for g in found["groups"]]
    return {"complete": found["complete"], "groups": groups,
            "uses": [{"name": u["name"], "span": _down(u["span"], lines)} for u in found["uses"]],
            "variables": [{"name": v["name"], "parameter": v["parameter"],
                           "group": None if v["scope"] is None else groups[v["scope"]],
                           "defined": _down(v["defined"], lines)}
                          for v in found["variables"]]}


def _down(span, lines):
    return (span[0] + lines, span[1], span[2] + lines, span[3])
