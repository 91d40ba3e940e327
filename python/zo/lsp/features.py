"""What the server answers, as functions of a document and the natives:
diagnostics from the real compiler (or, for IR text, the real IR reader),
quick fixes, completion and hover."""

import re

import zolangpy

from zo.diagnostics import KEYWORDS
from zo.lsp import navigation
from zo.lsp.text import utf16_units

_RESERVED = r"\s!\"#$%'()*+\-/;<=>^{|}"
_WORD_END = re.compile("(?:![^%s]*|[^%s]+)$" % (_RESERVED, _RESERVED))
_NAME_END = re.compile(r"\$[\w]*$")
_HINT = re.compile(r"did you mean '(.*)'\?$")
_QUOTED = re.compile(r"'([^']*)'")
_IR_ERROR = re.compile(r"\[line (\d+)\] (.*)", re.S)

ERROR, INFORMATION = 1, 3
# An editor is no help past a screenful of errors, and tens of thousands of
# them (a file of calls whose native is missing) slow every client down.
MAX_DIAGNOSTICS = 1000
KIND_FUNCTION, KIND_PROPERTY, KIND_KEYWORD = 3, 10, 14


def diagnostics(document, model):
    """The LSP diagnostics of a document, and the quick fixes they offer as
    (diagnostic, title, edit) triples."""
    compiler = zolangpy.Compiler()
    model.host().register_with(compiler)
    compiler.compile(document.for_compiler())
    found, fixes = [], []
    items = compiler.diagnostics()
    for item in items[:MAX_DIAGNOSTICS]:
        diagnostic = _diagnostic(document, item)
        found.append(diagnostic)
        fix = _fix(document, item, diagnostic)
        if fix is not None:
            fixes.append((diagnostic,) + fix)
    if len(items) > MAX_DIAGNOSTICS:
        found.append({"range": {"start": document.end(), "end": document.end()}, "severity": INFORMATION,
                      "source": "zo", "message": "%d more errors not shown" % (len(items) - MAX_DIAGNOSTICS)})
    return found, fixes


def ir_diagnostics(document):
    """The diagnostic of IR text: the first line the reader cannot read,
    whole, since the reader names no column."""
    try:
        zolangpy.Interpreter(document.for_compiler())
        return []
    except Exception as error:  # ZoError is not a module attribute
        text = str(error)
    match = _IR_ERROR.match(text)
    line = int(match.group(1)) if match else 1
    start = document.place_offset(line, 1)
    end = document.place_offset(line + 1, 1)
    if end > start and document.text[end - 1] == "\n":
        end -= 1  # the range ends before the line's break (its CR too, if any)
    return [{"range": {"start": document.position_at(start), "end": document.position_at(end)},
             "severity": ERROR, "source": "zo", "message": match.group(2) if match else text}]


def _place(document, line, column):
    if line is None:
        return document.end()
    return document.place_position(line, column or 1)


def _range(document, item):
    start = _place(document, item["line"], item["column"])
    if item["line"] is None:
        return {"start": start, "end": start}
    if item["end_line"] is None or item["end_column"] is None:
        end = dict(start, character=start["character"] + 1)
    else:
        end = _place(document, item["end_line"], item["end_column"])
    return {"start": start, "end": end}


def _diagnostic(document, item):
    # Hints have no place of their own: they join the message, which every
    # client shows; notes with a place become related information.
    hints = [message for message, line, _ in item["notes"] if line is None]
    related = [
        {"location": {"uri": document.uri,
                      "range": {"start": _place(document, line, column),
                                "end": _place(document, line, (column or 1) + 1)}},
         "message": message}
        for message, line, column in item["notes"] if line is not None
    ]
    diagnostic = {
        "range": _range(document, item),
        "severity": ERROR,
        "source": "zo",
        "message": "\n".join([item["message"]] + hints),
    }
    if related:
        diagnostic["relatedInformation"] = related
    return diagnostic


def _fix(document, item, diagnostic):
    """("Change to 'print'", edit) for a diagnostic with a "did you mean"
    hint: the misspelt name the message quotes, replaced inside the range."""
    for message, line, _ in item["notes"]:
        hint = _HINT.match(message) if line is None else None
        wrong = _QUOTED.search(item["message"])
        if hint is None or wrong is None:
            continue
        start = document.offset(diagnostic["range"]["start"])
        end = document.offset(diagnostic["range"]["end"])
        at = document.text.find(wrong.group(1), start, end)
        if at < 0 or not wrong.group(1):
            continue
        edit = {"range": {"start": document.position_at(at),
                          "end": document.position_at(at + len(wrong.group(1)))},
                "newText": hint.group(1)}
        return "Change to '%s'" % hint.group(1), edit
    return None


def completion(document, position, model):
    """The completion items at a position: after a `$`, the variables in
    scope and the properties; else the groups, commands and keywords."""
    line = document.line(position.get("line", 0))
    head = line[:document.offset(position) - document.offset(dict(position, character=0))]
    name = _NAME_END.search(head)
    if name:
        replace = _replace_range(position, head, name.start())
        items = navigation.completion(document, position, model, True, replace)
        items.extend(_item("$" + native.name, KIND_PROPERTY, _property_detail(native), native.doc,
                           replace) for native in model.properties.values())
        return items
    word = _WORD_END.search(head)
    replace = _replace_range(position, head, word.start() if word else len(head))
    items = navigation.completion(document, position, model, False, replace)
    items.extend(_command_item(native, replace) for native in model.commands.values())
    items.extend(_item(keyword, KIND_KEYWORD, "keyword", "", replace) for keyword in KEYWORDS)
    return items


def _replace_range(position, head, start):
    return {"start": dict(position, character=utf16_units(head, start)), "end": dict(position)}


def _item(label, kind, detail, doc, replace):
    item = {"label": label, "kind": kind, "detail": detail,
            "textEdit": {"range": replace, "newText": label}}
    if doc:
        item["documentation"] = {"kind": "markdown", "value": doc}
    return item


def _command_item(native, replace):
    item = _item(native.name, KIND_FUNCTION, native.signature or "command", native.doc, replace)
    if native.snippet:
        item["insertTextFormat"] = navigation.SNIPPET
        item["textEdit"]["newText"] = native.snippet
    return item


def _property_detail(native):
    if native.settable is None:
        return "property"
    return "property, settable" if native.settable else "property, read-only"


def hover(document, position, model):
    """The hover of what a position names, as the outline places it: a
    call of a command or a group, a group's definition, a variable, a
    property; None for anything else, strings and comments included."""
    found = navigation.at(document, position, model)
    if found is None:
        return None
    kind, what, span = found
    value = None
    if kind == "call" and what["target"] == "native":
        value = _native_text(what["name"], model.commands.get(what["name"]), "command")
    elif kind == "call" and what["target"] == "group":
        value = _group_text(navigation.called_group(document, model, what))
    elif kind == "group":
        value = _group_text(what)
    elif kind == "variable":
        value = "**$%s** — %s" % (what["name"], "parameter" if what["parameter"] else "variable")
    elif kind == "property" and what in model.properties:
        native = model.properties[what]
        value = _native_text("$" + what, native, _property_detail(native))
    if value is None:
        return None
    return {"contents": {"kind": "markdown", "value": value}, "range": navigation.span_range(document, span)}


def _native_text(text, native, what):
    if native is None:
        return None
    value = "**%s** — %s" % (text, what)
    if getattr(native, "signature", None):
        value = "```zo\n%s\n```\n%s" % (native.signature, what)
    if native.doc:
        value += "\n\n" + native.doc
    return value


def _group_text(group):
    return "```zo\n%s\n```" % navigation.signature(group)
