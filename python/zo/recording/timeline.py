"""`zo timeline`: a record drawn as lanes of bars, one lane per execution
context, as a self-contained HTML page or as Chrome Trace Event JSON (which
ui.perfetto.dev and chrome://tracing open)."""

import html as html_text
import json
import os
import re

from zo.host import format_value
from zo.recording.record import value_from_json

ROOT = "root"  # the lane of calls whose context the record does not name


def _zo(value):
    value = value_from_json(value)
    return '"%s"' % value if isinstance(value, str) else format_value(value)


def _ending(kind, call):
    if kind == "done":
        return "done"
    if kind == "fail":
        return "failed"
    # Ended by a stop (Ctrl-C, a deadline, a failure, stop()) when it was
    # running as the stop was asked for; by a race otherwise.
    return "stopped" if call.get("stopping") else "terminated"


def _stopping(calls):
    """Marks the calls running now as ended by a stop, should they be
    terminated from here on."""
    for call in calls.values():
        if call["end"] == "pending":
            call["stopping"] = True


def model(record):
    """The timeline's data: lanes (in tree order, with depth), calls, marks,
    and the steps' times, as plain JSON-ready dicts."""
    contexts, calls, marks, steps = {}, {}, [], []
    for step in record.steps:
        steps.append([step.index, step.t])
        if step.repeat > 1:
            steps.append([step.index + step.repeat - 1, step.t_end])
        if step.kind == "stop":
            _stopping(calls)
        for event in step.events:
            kind = event["e"]
            if kind == "rstop":
                _stopping(calls)
            if kind == "ctx":
                contexts[event["x"]] = {"id": event["x"], "parent": event.get("p"),
                                        "group": event.get("g"), "line": event.get("l"),
                                        "branch": event.get("b"), "mode": event.get("m")}
            elif kind == "gen":
                calls[event["c"]] = {
                    "id": event["c"], "name": event["n"],
                    "args": ", ".join(_zo(a) for a in event["a"]),
                    "line": event.get("l"), "column": event.get("k"),
                    "lane": event.get("x", ROOT), "s0": step.index, "t0": step.t,
                    "s1": record.last_step + 1, "t1": record.steps[-1].t_end, "end": "pending"}
            elif kind in ("done", "term", "fail") and event.get("c") in calls:
                call = calls[event["c"]]
                if call["end"] == "pending":
                    call.update(end=_ending(kind, call), s1=step.index + 1, t1=step.t_end)
                if kind == "fail":
                    call["failure"] = event["m"]
            elif kind == "val" and event["c"] in calls:
                calls[event["c"]]["value"] = _zo(event["v"])
            if kind == "set":
                marks.append({"kind": "set", "s": step.index, "t": step.t,
                              "text": "$%s = %s" % (event["n"], _zo(event["v"]))})
            elif kind == "fail" and event.get("c") is None:
                marks.append({"kind": "error", "s": step.index, "t": step.t,
                              "text": "%s failed: %s" % (event["n"], event["m"])})
        if step.error is not None:
            where = " at line %s" % step.error["l"] if step.error.get("l") is not None else ""
            marks.append({"kind": "error", "s": step.index, "t": step.t_end,
                          "text": "error%s: %s" % (where, step.error["m"])})
    for call in calls.values():
        call.pop("stopping", None)
    return {"path": record.header.get("path"), "start": record.header.get("start"),
            "lanes": _lanes(contexts, calls), "calls": list(calls.values()), "marks": marks,
            "steps": steps, "last_step": record.last_step,
            "end_time": record.steps[-1].t_end if record.steps else 0.0,
            "complete": record.complete}


def _lanes(contexts, calls):
    """One lane per context, each after its parent, with its depth; calls
    whose context is unknown go to the root's lane."""
    roots = [c for c in contexts.values() if c["parent"] not in contexts]
    root = next((c for c in roots if c["parent"] is None and c["group"] is None), None)
    for call in calls.values():
        if call["lane"] == ROOT or call["lane"] not in contexts:
            call["lane"] = root["id"] if root is not None else ROOT
    children = {}
    top = {c["id"] for c in roots}
    for context in contexts.values():
        if context["id"] not in top:
            children.setdefault(context["parent"], []).append(context)
    lanes = []
    if root is None and any(call["lane"] == ROOT for call in calls.values()):
        lanes.append({"id": ROOT, "label": "main", "depth": 0})

    # Depth first, each context before its children, without recursion:
    # contexts may nest as deep as a program's groups call each other.
    waiting = [(context, 0) for context in sorted(roots, key=lambda c: (c is not root, c["id"]),
                                                  reverse=True)]
    while waiting:
        context, depth = waiting.pop()
        lanes.append({"id": context["id"], "label": _label(context), "depth": depth})
        waiting.extend((child, depth + 1) for child in sorted(
            children.get(context["id"], ()), key=lambda c: c["id"], reverse=True))
    return lanes


def _label(context):
    if context["parent"] is None and context["group"] is None:
        label = "main"  # where the root was when first seen says nothing
    else:
        label = context["group"] or "main"
        if context["line"] is not None:
            label += " line %d" % context["line"]
    if context["mode"]:
        label += " (%s branch %s)" % (context["mode"], context["branch"])
    return label


# Inside a <script> block, "</script" ends it and "<!--" may keep it from
# ending: JSON written with these as \u escapes holds neither. ensure_ascii
# escapes U+2028, U+2029 and lone surrogates besides.
_SCRIPT_ESCAPES = {"<": "\\u003c", ">": "\\u003e", "&": "\\u0026"}


def script_json(data):
    """`data` as JSON that reads back the same inside an HTML <script> block."""
    text = json.dumps(data, separators=(",", ":"), ensure_ascii=True)
    return re.sub(r"[<>&]", lambda found: _SCRIPT_ESCAPES[found.group()], text)


def html(record):
    with open(os.path.join(os.path.dirname(__file__), "timeline.html"), encoding="utf-8") as f:
        page = f.read()
    title = "Zo timeline: %s" % (record.header.get("path") or record.path)
    parts = {"TITLE": html_text.escape(title.encode("utf-8", "backslashreplace").decode()),
             "DATA": script_json(model(record))}
    # One pass, so that a part is never searched for the other's marker.
    return re.sub(r"@(TITLE|DATA)@", lambda found: parts[found.group(1)], page)


def perfetto(record):
    """Chrome Trace Event JSON: a thread per lane, an X event per call, an
    instant event per property write and error."""
    made = model(record)
    events = [{"ph": "M", "name": "process_name", "pid": 1, "tid": 0, "ts": 0,
               "args": {"name": "zo %s" % (made["path"] or "")}}]
    tids = {}
    for order, lane in enumerate(made["lanes"], 1):
        tids[lane["id"]] = order
        events.append({"ph": "M", "name": "thread_name", "pid": 1, "tid": order, "ts": 0,
                       "args": {"name": "  " * lane["depth"] + lane["label"]}})
        events.append({"ph": "M", "name": "thread_sort_index", "pid": 1, "tid": order, "ts": 0,
                       "args": {"sort_index": order}})
    for call in made["calls"]:
        args = {"args": call["args"], "line": call["line"], "ended": call["end"],
                "steps": "%d-%d" % (call["s0"], call["s1"] - 1)}
        for key in ("value", "failure"):
            if key in call:
                args[key] = call[key]
        events.append({"ph": "X", "name": call["name"], "cat": call["end"], "pid": 1,
                       "tid": tids[call["lane"]], "ts": round(call["t0"] * 1e6, 3),
                       "dur": max(1.0, round((call["t1"] - call["t0"]) * 1e6, 3)), "args": args})
    first = tids[made["lanes"][0]["id"]] if made["lanes"] else 1
    for mark in made["marks"]:
        events.append({"ph": "i", "s": "p" if mark["kind"] == "error" else "t",
                       "name": mark["text"], "cat": mark["kind"], "pid": 1, "tid": first,
                       "ts": round(mark["t"] * 1e6, 3), "args": {"step": mark["s"]}})
    return {"traceEvents": events, "displayTimeUnit": "ms"}


def write(record, path, form):
    text = html(record) if form == "html" else json.dumps(perfetto(record)) + "\n"
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(text)
