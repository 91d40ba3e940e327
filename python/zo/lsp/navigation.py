"""What the server answers from a program's outline, which the library
makes (`Compiler.outline`): the file's groups and variables in completion
and hover, go to definition, document symbols, references and rename.

The outline resolves names as the compiler does; the natives it resolves
against are the model's, registered by name only, so no host code runs.
"""

import re

import zolangpy

from zo.lsp.text import code_points

KIND_FUNCTION, KIND_VARIABLE = 3, 6  # CompletionItemKind
SYMBOL_PROPERTY, SYMBOL_FUNCTION = 7, 12  # SymbolKind
SNIPPET = 2  # InsertTextFormat

_RESERVED = set(" \t\r\n!\"#$%'()*+-/;<=>^{|}")
_KEYWORDS = {
    "and", "break", "deadline", "else", "false", "group", "if", "nil", "not", "or", "parallel",
    "race", "return", "sequence", "true", "unless", "until", "use", "while", "xor", "yield",
}


class Refused(ValueError):
    """A request that cannot be carried out as asked, such as a rename to a
    name the compiler would not take."""


def outline(document, model, blank_line=None):
    """The outline of a document (cached for its text), or of its text
    with one line blanked: a line being typed leaves out the whole item it
    is in, and without it the rest of that item is outlined."""
    text = document.for_compiler()
    if blank_line is not None and 0 <= blank_line < len(document.line_starts):
        start = document.line_starts[blank_line]
        length = len(document.line(blank_line))
        text = text[:start] + " " * length + text[start + length:]
    key = (id(model), text)
    cached = getattr(document, "outline_cache", None)
    if cached is not None and cached[0] == key:
        return cached[1]
    compiler = zolangpy.Compiler()
    for name in model.commands:
        compiler.register_callable(name, zolangpy.CallableGenerator())
    for name in model.properties:
        compiler.register_property(name, zolangpy.Prop())
    found = compiler.outline(text)
    document.outline_cache = (key, found)
    return found


def _place(document, position):
    """(line, column) of an LSP position, 1-based, columns in code points."""
    line = int(position.get("line", 0))
    return line + 1, code_points(document.line(line), int(position.get("character", 0))) + 1


def _holds(span, place):
    """Whether a span holds a place, its end included (the cursor just
    past a name is on it)."""
    return (span[0], span[1]) <= place <= (span[2], span[3])


def _range(document, span):
    return {"start": document.position(span[0] - 1, span[1] - 1),
            "end": document.position(span[2] - 1, span[3] - 1)}


def _scope_at(found, place):
    """The index of the group whose body holds a place; None for the main code."""
    for index, group in enumerate(found["groups"]):
        if _holds(group["extent"], place):
            return index
    return None


def signature(group):
    """A group as its definition reads: `group name $a word`."""
    params = ["$" + p["text"] if p["value"] else p["text"] for p in group["params"]]
    return " ".join(["group", group["name"]] + params)


def _snippet(group):
    # A word may hold a backslash, which snippets read as an escape.
    parts, number = [group["name"].replace("\\", "\\\\")], 0
    for param in group["params"]:
        if param["value"]:
            number += 1
            parts.append("${%d:\\$%s}" % (number, param["text"].replace("\\", "\\\\")))
        else:
            parts.append(param["text"].replace("\\", "\\\\"))
    return " ".join(parts)


def completion(document, position, model, variables, replace):
    """The file's own items at a position: after a `$`, the variables in
    scope assigned before it; elsewhere, the groups defined before it (not
    the one being written, which its body cannot call), as snippets."""
    found = outline(document, model)
    if not found["complete"]:
        found = outline(document, model, blank_line=int(position.get("line", 0)))
    place = _place(document, position)
    scope = _scope_at(found, place)
    if variables:
        return [{"label": "$" + v["name"], "kind": KIND_VARIABLE,
                 "detail": "parameter" if v["parameter"] else "variable",
                 "textEdit": {"range": replace, "newText": "$" + v["name"]}}
                for v in found["variables"]
                if v["scope"] == scope and (v["defined"][2], v["defined"][3]) <= place]
    items = []
    for index, group in enumerate(found["groups"]):
        if index == scope or (group["span"][2], group["span"][3]) > place:
            continue
        items.append({"label": group["name"], "kind": KIND_FUNCTION, "detail": signature(group),
                      "insertTextFormat": SNIPPET,
                      "textEdit": {"range": replace, "newText": _snippet(group)}})
    return items


def _target(found, place):
    """What a place names: ("group", name) for a group's definition or a
    call of one, ("variable", index) for a variable, else None."""
    for group in found["groups"]:
        if _holds(group["span"], place):
            return "group", group["name"]
    for call in found["calls"]:
        if call["target"] == "group" and _holds(call["span"], place):
            return "group", call["name"]
    for index, variable in enumerate(found["variables"]):
        if any(_holds(span, place) for span in variable["places"]):
            return "variable", index
    return None


def hover(document, position, model):
    """The hover of a group's call or definition: its parameters."""
    found = outline(document, model)
    place = _place(document, position)
    for call in found["calls"]:
        if call["target"] == "group" and _holds(call["span"], place):
            group = found["groups"][call["group"]]
            return _group_hover(document, group, call["span"])
    for group in found["groups"]:
        if _holds(group["span"], place):
            return _group_hover(document, group, group["span"])
    return None


def _group_hover(document, group, span):
    return {"contents": {"kind": "markdown", "value": "```zo\n%s\n```" % signature(group)},
            "range": _range(document, span)}


def definition(document, position, model):
    """Where the group called or the variable named at a position is defined."""
    found = outline(document, model)
    place = _place(document, position)
    for call in found["calls"]:
        if call["target"] == "group" and _holds(call["span"], place):
            span = found["groups"][call["group"]]["span"]
            return {"uri": document.uri, "range": _range(document, span)}
    target = _target(found, place)
    if target is None:
        return None
    if target[0] == "variable":
        span = found["variables"][target[1]]["defined"]
    else:
        span = next(g["span"] for g in found["groups"] if g["name"] == target[1])
    return {"uri": document.uri, "range": _range(document, span)}


def _spans(found, target, declaration=True):
    """Every place naming a target: a group's name, by every definition of
    that name and every call resolving to one; a variable's places."""
    kind, what = target
    if kind == "variable":
        variable = found["variables"][what]
        return [s for s in variable["places"] if declaration or s != variable["defined"]]
    spans = [g["span"] for g in found["groups"] if g["name"] == what] if declaration else []
    spans.extend(c["span"] for c in found["calls"] if c["target"] == "group" and c["name"] == what)
    return spans


def references(document, position, model, declaration):
    found = outline(document, model)
    target = _target(found, _place(document, position))
    if target is None:
        return []
    return [{"uri": document.uri, "range": _range(document, span)}
            for span in _spans(found, target, declaration)]


def rename(document, position, model, new_name):
    """The edit renaming the group or variable at a position; None when
    there is none. A name the compiler would not take is refused."""
    found = outline(document, model)
    target = _target(found, _place(document, position))
    if target is None:
        return None
    if target[0] == "variable":
        name = new_name[1:] if new_name.startswith("$") else new_name
        if not re.fullmatch(r"\w+", name) or name in model.properties:
            raise Refused("'$%s' cannot name a variable" % name)
        text = "$" + name
    else:
        text = new_name
        # A leading digit or `!` would read as a number or a negated word.
        if (not text or any(c in _RESERVED for c in text) or text in _KEYWORDS
                or text[0].isdigit() or text[0] in "!." or text in model.commands):
            raise Refused("'%s' cannot name a group" % text)
    edits = [{"range": _range(document, span), "newText": text} for span in _spans(found, target)]
    return {"changes": {document.uri: edits}}


def symbols(document, model):
    """The document's groups and `use` declarations, in source order."""
    found = outline(document, model)
    items = [(g["extent"], {"name": g["name"], "detail": signature(g), "kind": SYMBOL_FUNCTION,
                            "range": _range(document, g["extent"]),
                            "selectionRange": _range(document, g["span"])})
             for g in found["groups"]]
    items.extend((u["span"], {"name": "$" + u["name"], "detail": "use", "kind": SYMBOL_PROPERTY,
                              "range": _range(document, u["span"]),
                              "selectionRange": _range(document, u["span"])})
                 for u in found["uses"])
    return [symbol for _, symbol in sorted(items, key=lambda item: (item[0][0], item[0][1]))]
