"""What the server answers from a program's outline, which the library
makes (`Compiler.outline`, kept by `outlines`): the file's groups and
variables in completion, what lies under the cursor for hover, go to
definition, document symbols, references and rename.

The outline resolves names as the compiler does; the natives it resolves
against are the model's, registered by name only, so no host code runs.
"""

import re

from zo.lsp.outlines import Outlines

KIND_FUNCTION, KIND_VARIABLE = 3, 6  # CompletionItemKind
SYMBOL_PROPERTY, SYMBOL_FUNCTION = 7, 12  # SymbolKind
SNIPPET = 2  # InsertTextFormat

_DOLLAR_NAME = re.compile(r"\$\w+")


class Refused(ValueError):
    """A request that cannot be carried out as asked, such as a rename to a
    name the compiler would not take."""


def outlines(document):
    """The document's outlines, made when first asked for."""
    if document.outlines is None:
        document.outlines = Outlines()
    return document.outlines


def _holds(span, place):
    """Whether a span holds a place, its end included (the cursor just
    past a name is on it)."""
    return (span[0], span[1]) <= place <= (span[2], span[3])


def span_range(document, span):
    """The LSP range of a span of the library's places."""
    return {"start": document.place_position(span[0], span[1]),
            "end": document.place_position(span[2], span[3])}


def _group_at(found, place):
    """The group whose definition holds a place; None for the main code."""
    for group in found["groups"]:
        if _holds(group["extent"], place):
            return group
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
    the one being written, which its body cannot call), as snippets.

    Only the items' declarations matter here, so the outline is the pieced
    one: a change in a big file costs the outline of the piece it is in. A
    line being typed leaves out the whole item it is in; without it, the
    rest of that item is outlined."""
    found = outlines(document).pieced(document, model)
    if not found["complete"]:
        found = outlines(document).pieced(document, model, blank_line=int(position.get("line", 0)))
    place = document.place_of(position)
    scope = _group_at(found, place)
    if variables:
        names = {}  # the main code's variables may be defined in several pieces
        for v in found["variables"]:
            if v["group"] is scope and (v["defined"][2], v["defined"][3]) <= place:
                names.setdefault(v["name"], v["parameter"])
        return [{"label": "$" + name, "kind": KIND_VARIABLE,
                 "detail": "parameter" if parameter else "variable",
                 "textEdit": {"range": replace, "newText": "$" + name}}
                for name, parameter in names.items()]
    items = []
    for group in found["groups"]:
        if group is scope or (group["span"][2], group["span"][3]) > place:
            continue
        items.append({"label": group["name"], "kind": KIND_FUNCTION, "detail": signature(group),
                      "insertTextFormat": SNIPPET,
                      "textEdit": {"range": replace, "newText": _snippet(group)}})
    return items


def at(document, position, model):
    """What the place of a position names, as (kind, what, its span): a
    call site ("call", call), a group's name or word in its definition
    ("group", group), a variable ("variable", variable), a property in a
    `use` or in the code ("property", name); else None. A name inside a
    string or a comment names nothing."""
    found = outlines(document).whole(document, model)
    place = document.place_of(position)
    for call in found["calls"]:
        if _holds(call["span"], place):
            return "call", call, call["span"]
    for group in found["groups"]:
        spans = [group["span"]] + [p["span"] for p in group["params"] if not p["value"]]
        for span in spans:
            if _holds(span, place):
                return "group", group, span
    for variable in found["variables"]:
        for span in variable["places"]:
            if _holds(span, place):
                return "variable", variable, span
    for use in found["uses"]:
        if _holds(use["span"], place):
            return "property", use["name"], use["span"]
    return _property_at(document, position, model)


def _property_at(document, position, model):
    """A `$name` of a property at a position, if it is code. The outline
    has no place for a property outside `use`, so the library is asked
    whether the `$` is code: there, a brace in its place breaks the item
    it is in, which changes the outline; in a string or a comment it
    changes nothing."""
    start, _ = document.line_bounds(int(position.get("line", 0)))
    line = document.line(int(position.get("line", 0)))
    column = document.offset(position) - start
    for token in _DOLLAR_NAME.finditer(line):
        if token.start() <= column <= token.end() and token.group()[1:] in model.properties:
            if not outlines(document).is_code(document, model, start + token.start()):
                return None
            line, column = document.place_at(start + token.start())
            return "property", token.group()[1:], (line, column, line, column + len(token.group()))
    return None


def called_group(document, model, call):
    """The group that a call resolving to a group calls."""
    return outlines(document).whole(document, model)["groups"][call["group"]]


def definition(document, position, model):
    """Where the group called or the variable named at a position is defined."""
    found = at(document, position, model)
    if found is None:
        return None
    kind, what, _ = found
    if kind == "call" and what["target"] == "group":
        span = called_group(document, model, what)["span"]
    elif kind == "group":
        span = what["span"]
    elif kind == "variable":
        span = what["defined"]
    else:
        return None
    return {"uri": document.uri, "range": span_range(document, span)}


def _target(document, position, model):
    """What a rename or references is about: ("group", name) for a group's
    definition or a call of one, ("variable", variable), else None."""
    found = at(document, position, model)
    if found is None:
        return None
    kind, what, span = found
    if kind == "call" and what["target"] == "group":
        return "group", what["name"]
    if kind == "group" and span == what["span"]:
        return "group", what["name"]
    if kind == "variable":
        return "variable", what
    return None


def _spans(found, target, declaration=True):
    """Every place naming a target: a group's name, by every definition of
    that name and every call resolving to one; a variable's places."""
    kind, what = target
    if kind == "variable":
        return [s for s in what["places"] if declaration or s != what["defined"]]
    spans = [g["span"] for g in found["groups"] if g["name"] == what] if declaration else []
    spans.extend(c["span"] for c in found["calls"] if c["target"] == "group" and c["name"] == what)
    return spans


def references(document, position, model, declaration):
    target = _target(document, position, model)
    if target is None:
        return []
    found = outlines(document).whole(document, model)
    return [{"uri": document.uri, "range": span_range(document, span)}
            for span in _spans(found, target, declaration)]


def rename(document, position, model, new_name):
    """The edit renaming the group or variable at a position; None when
    there is none. A name the compiler would not take there, or one that
    another group or a variable of the same scope already has, is refused."""
    target = _target(document, position, model)
    if target is None:
        return None
    found = outlines(document).whole(document, model)
    if target[0] == "variable":
        text = "$" + (new_name[1:] if new_name.startswith("$") else new_name)
        _check_variable_name(document, model, found, target[1], text)
    else:
        text = new_name
        _check_group_name(document, model, found, target[1], text)
    edits = [{"range": span_range(document, span), "newText": text} for span in _spans(found, target)]
    return {"changes": {document.uri: edits}}


def _check_group_name(document, model, found, old, new):
    # The library says what it takes: a definition of that name that it
    # outlines as one group so named (not a keyword, a native or a number).
    if not outlines(document).takes(model, "group %s {}\n" % new, "groups", new):
        raise Refused("'%s' cannot name a group" % new)
    if new == old:
        return
    for group in found["groups"]:
        if group["name"] == new:
            raise Refused("there is already a group '%s' (line %d)" % (new, _line(document, group["span"])))
    # A call of that name that calls nothing now would call the group.
    for call in found["calls"]:
        if call["name"] == new and call["target"] is None:
            raise Refused("'%s' is called already (line %d)" % (new, _line(document, call["span"])))


def _check_variable_name(document, model, found, variable, new):
    if not outlines(document).takes(model, "%s = 0;\n" % new, "variables", new[1:]):
        raise Refused("'%s' cannot name a variable" % new)
    if new[1:] == variable["name"]:
        return
    for other in found["variables"]:
        if other["scope"] == variable["scope"] and other["name"] == new[1:]:
            where = ("the main code" if other["scope"] is None
                     else "group %s" % found["groups"][other["scope"]]["name"])
            raise Refused("there is already a variable '%s' in %s (line %d)"
                          % (new, where, _line(document, other["defined"])))


def _line(document, span):
    """The line of a span as an editor numbers it, from 1."""
    return document.place_position(span[0], span[1])["line"] + 1


def symbols(document, model):
    """The document's groups and `use` declarations, in source order."""
    found = outlines(document).pieced(document, model)
    items = [(g["extent"], {"name": g["name"], "detail": signature(g), "kind": SYMBOL_FUNCTION,
                            "range": span_range(document, g["extent"]),
                            "selectionRange": span_range(document, g["span"])})
             for g in found["groups"]]
    items.extend((u["span"], {"name": "$" + u["name"], "detail": "use", "kind": SYMBOL_PROPERTY,
                              "range": span_range(document, u["span"]),
                              "selectionRange": span_range(document, u["span"])})
                 for u in found["uses"])
    return [symbol for _, symbol in sorted(items, key=lambda item: (item[0][0], item[0][1]))]
