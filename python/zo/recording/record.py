"""The record format: JSON Lines, gzip-compressed when the name ends in .gz.
docs/recording.md describes every line. This module holds what the writer
and the reader share: the versions, how a Zo value is written as JSON and
read back, and what every line and header field must hold."""

import json
import math

FORMAT_VERSION = 2
# Version 1 lacks the call shapes of the natives and the header's
# "never_ran"; it reads as it was written, unchecked at compile time.
READABLE_VERSIONS = (1, 2)

# The strings JSON has no number for, as `{"f": ...}` writes them.
_NOT_FINITE = ("inf", "-inf", "nan")


def encoded(value):
    """A Zo value for JSON: the infinities and NaN, which JSON lacks, as a
    one-key object that keeps them apart from real strings."""
    if isinstance(value, float) and not math.isfinite(value):
        return {"f": repr(value)}
    return value


def value_from_json(value):
    if isinstance(value, dict):
        return float(value["f"])
    return value


class RecordError(Exception):
    """A record that cannot be read; the text names the file and line."""


# The keys each line must have, by its "e".
REQUIRED = {
    "step": ("s", "t"), "stop": ("s", "t"), "end": ("s", "t"), "idle": ("s", "n", "t", "u"),
    "gen": ("c", "n", "a"), "done": ("c",), "term": ("c",), "val": ("c", "v"),
    "fail": ("n", "m", "w"), "get": ("n", "v"), "set": ("n", "v"), "ctx": ("x",),
    "error": ("m",), "status": ("v",), "fin": ("t",), "rstop": (),
}
_NUMBER = (int, float)
# The type each key must have where it appears (bool is an int to Python,
# so it is refused where a count or an id belongs).
_TYPES = {"s": int, "n": str, "c": int, "t": _NUMBER, "u": _NUMBER, "a": list, "p": list,
          "m": str, "w": str, "x": int, "l": int, "k": int, "r": bool, "b": int, "g": str,
          "i": bool, "tb": list}
# Keys that mean something else in one kind of line.
_TYPES_OF = {("idle", "n"): int, ("error", "a"): int, ("ctx", "p"): int, ("status", "v"): str}
# The lines whose "v" is a Zo value, and whose "a" lists them.
_VALUES = {"val", "get", "set"}


def _type_name(wanted):
    return getattr(wanted, "__name__", "a number")


def _is(value, wanted):
    return isinstance(value, wanted) and not (isinstance(value, bool) and wanted is not bool)


def _check_value(value, where, what):
    if isinstance(value, dict) and (set(value) != {"f"} or value["f"] not in _NOT_FINITE):
        raise RecordError("%s: %s must be a JSON value or {\"f\": \"inf\"}, not %s"
                          % (where, what, json.dumps(value)))


def check_line(made, kind, where):
    """Refuses a line (a dict whose "e" is `kind`) whose keys are missing or
    of the wrong type."""
    if kind not in REQUIRED:
        raise RecordError("%s: unknown event %r" % (where, kind))
    missing = [key for key in REQUIRED[kind] if key not in made]
    if missing:
        raise RecordError("%s: a %r line needs %s" % (where, kind, ", ".join(
            repr(key) for key in missing)))
    for key, value in made.items():
        wanted = _TYPES_OF.get((kind, key)) or _TYPES.get(key)
        if value is None or wanted is None or (key == "v" and kind in _VALUES):
            continue
        if not _is(value, wanted):
            raise RecordError("%s: %r of a %r line must be %s, not %r" % (
                where, key, kind, _type_name(wanted), value))
    if kind in ("end", "idle") and not all(_is(c, int) for c in made.get("p", ())):
        raise RecordError("%s: 'p' of a %r line must list call ids" % (where, kind))
    if kind in _VALUES:
        _check_value(made["v"], where, "'v'")
    elif kind == "gen":
        for value in made["a"]:
            _check_value(value, where, "each of 'a'")
    elif kind == "error" and not all(
            isinstance(frame, list) and len(frame) == 2 and _is(frame[1], int)
            and (frame[0] is None or isinstance(frame[0], str)) for frame in made.get("tb", ())):
        raise RecordError("%s: 'tb' of an 'error' line must list [group, line] pairs" % where)


def _number_above_zero(value, integral):
    if integral:
        return _is(value, int) and value > 0
    return _is(value, _NUMBER) and math.isfinite(value) and value > 0


# Header keys: (check, what it must be).
_HEADER = {
    "path": (lambda v: isinstance(v, str), "a string"),
    "sha256": (lambda v: isinstance(v, str), "a string"),
    "source": (lambda v: isinstance(v, str), "a string"),
    "ir": (lambda v: isinstance(v, bool), "true or false"),
    "end_in_steps": (lambda v: isinstance(v, bool), "true or false"),
    "start": (lambda v: isinstance(v, str), "a string"),
    "clock": (lambda v: isinstance(v, str), "a string"),
    "never_ran": (lambda v: isinstance(v, str), "a string"),
}
_LIMITS = {"instructions": True, "seconds": False, "memory": True}  # -> integral


def _entries_ok(entries, flag):
    return isinstance(entries, list) and all(
        isinstance(e, dict) and isinstance(e.get("name"), str)
        and isinstance(e.get(flag, False), bool) for e in entries)


def _shapes_ok(natives):
    return all(isinstance(n.get("shapes", []), list) and all(
        isinstance(shape, list) and all(w is None or isinstance(w, str) for w in shape)
        for shape in n.get("shapes", [])) for n in natives)


def check_header(made, where):
    """Refuses a header line that this reader cannot trust; returns it."""
    version = made.get("zrec")
    if version is None:
        raise RecordError("%s: not a Zo record (the first line has no 'zrec' version)" % where)
    if not _is(version, int) or version not in READABLE_VERSIONS:
        raise RecordError("%s: record format version %s; this zo reads versions %s"
                          % (where, json.dumps(version),
                             " and ".join(str(v) for v in READABLE_VERSIONS)))
    if not _entries_ok(made.get("natives"), "words") or not _shapes_ok(made["natives"]):
        raise RecordError("%s: the header's 'natives' must be a list of {\"name\": ...}" % where)
    if not _entries_ok(made.get("properties"), "settable"):
        raise RecordError("%s: the header's 'properties' must be a list of {\"name\": ...}"
                          % where)
    for key, (check, wanted) in _HEADER.items():
        if key in made and not check(made[key]):
            raise RecordError("%s: the header's %r must be %s, not %s"
                              % (where, key, wanted, json.dumps(made[key])))
    limits = made.get("limits")
    if limits is not None:
        if not isinstance(limits, dict):
            raise RecordError("%s: the header's 'limits' must be an object, not %s"
                              % (where, json.dumps(limits)))
        for key, integral in _LIMITS.items():
            if key in limits and not _number_above_zero(limits[key], integral):
                raise RecordError("%s: the header's limit %r must be a %s above 0, not %s"
                                  % (where, key, "whole number" if integral else "number",
                                     json.dumps(limits[key])))
    return made
