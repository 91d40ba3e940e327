"""What a suspended program shows, in the protocol's shapes: threads for
contexts, stack frames, scopes and variables.

A `View` is taken when the program stops and dropped when it goes on: the
frame ids and variable references it hands out are good for one
suspension only, as the protocol wants. Thread ids are context ids plus
one, since some clients take a thread id of 0 for none.
"""

import os

from zo.kit import format_value

LOCALS, PROPERTIES = "locals", "properties"


def thread_id(context_id):
    return context_id + 1


def context_id(thread):
    return thread - 1 if isinstance(thread, int) else None


def thread_name(context):
    """"main" for the root; a branch by its group and its place in the block,
    counted from 1: "scan (branch 2)"."""
    if context.get("parent") is None:
        return "main"
    name = context.get("group") or "main"
    branch = context.get("branch")
    return name if branch is None else "%s (branch %d)" % (name, branch + 1)


def threads(contexts):
    return [{"id": thread_id(c["id"]), "name": thread_name(c)} for c in contexts]


def show(value):
    """A value as the program would write it: strings in quotes (those it
    does not contain, since Zo strings have no escapes)."""
    if isinstance(value, str):
        quote = "'" if '"' in value and "'" not in value else '"'
        return quote + value + quote
    return format_value(value)


def type_name(value):
    if value is None:
        return "nil"
    if isinstance(value, bool):
        return "boolean"
    return "string" if isinstance(value, str) else "number"


def variable(name, value):
    return {"name": name, "value": show(value), "type": type_name(value),
            "variablesReference": 0}


class View:
    def __init__(self, contexts, path, line_base=1, column_base=1):
        self.contexts = {c["id"]: c for c in contexts}
        self.path = path
        self.line_base = line_base
        self.column_base = column_base
        self.frames = {}  # frame id -> (context id, index of the frame, innermost 0)
        self.references = {}  # variables reference -> (LOCALS, frame id) or (PROPERTIES,)

    def _handle(self, table, value):
        handle = len(self.frames) + len(self.references) + 1
        table[handle] = value
        return handle

    def stack_trace(self, thread, start=0, levels=0):
        context = self.contexts.get(context_id(thread))
        if context is None:
            return None
        frames = context["frames"]
        end = len(frames) if not levels else min(len(frames), start + levels)
        shown = []
        for index in range(start, end):
            frame = frames[index]
            ident = self._handle(self.frames, (context["id"], index))
            shown.append(self._frame(ident, frame))
        return {"stackFrames": shown, "totalFrames": len(frames)}

    def _frame(self, ident, frame):
        shown = {"id": ident, "name": frame["group"] or "main", "line": 0, "column": 0}
        if frame["line"] is not None:
            shown["line"] = frame["line"] - 1 + self.line_base
            shown["column"] = (frame["column"] or 1) - 1 + self.column_base
            shown["source"] = {"name": os.path.basename(self.path), "path": self.path}
        else:
            shown["presentationHint"] = "subtle"  # IR text knows no lines
        return shown

    def frame(self, ident):
        """The frame dict of a frame id, or None."""
        where = self.frames.get(ident)
        if where is None:
            return None
        context, index = where
        return self.contexts[context]["frames"][index]

    def scopes(self, ident):
        if self.frame(ident) is None:
            return None
        return [
            {"name": "Locals", "presentationHint": "locals", "expensive": False,
             "variablesReference": self._handle(self.references, (LOCALS, ident))},
            # Reading a property calls its get(): the client asks only when
            # the user opens the scope.
            {"name": "Properties", "expensive": True,
             "variablesReference": self._handle(self.references, (PROPERTIES,))},
        ]

    def reference(self, handle):
        return self.references.get(handle)

    def locals(self, ident):
        frame = self.frame(ident)
        if frame is None:
            return []
        return [variable("$" + name, value) for name, value in frame["variables"].items()]

    def innermost(self, context):
        """The innermost frame of a context id, or None."""
        context = self.contexts.get(context)
        return context["frames"][0] if context and context["frames"] else None
