"""The record file: JSON Lines, gzip-compressed when the name ends in .gz.
docs/recording.md describes every line; `RecordWriter` writes them as a
Recorder's sink and `read_record` reads them back, checked."""

import gzip
import json
import math
import zlib

FORMAT_VERSION = 1

# Steps in which natives only answered "not yet" are folded into one line,
# written at least this often (seconds) so that a crash loses little of them.
IDLE_FLUSH_SECONDS = 0.1

_encode = json.JSONEncoder(separators=(",", ":"), ensure_ascii=False,
                           default=repr).encode


def _value(value):
    """A Zo value for JSON: the infinities and NaN as the strings JSON lacks
    are kept apart from real strings by a one-key object."""
    if isinstance(value, float) and not math.isfinite(value):
        return {"f": repr(value)}
    return value


def value_from_json(value):
    if isinstance(value, dict) and set(value) == {"f"}:
        return float(value["f"])
    return value


def _fields(**fields):
    return {k: v for k, v in fields.items() if v is not None}


def event_json(event):
    """The JSON object of one of a Recorder's event tuples."""
    kind = event[0]
    if kind == "gen":
        _, c, n, args, line, column, context, branch = event
        return _fields(e="gen", c=c, n=n, a=[_value(a) for a in args], l=line, k=column,
                       x=context, b=branch)
    if kind in ("done", "term"):
        return {"e": kind, "c": event[1]}
    if kind == "val":
        return {"e": "val", "c": event[1], "v": _value(event[2])}
    if kind in ("get", "set"):
        return {"e": kind, "n": event[1], "v": _value(event[2])}
    if kind == "fail":
        _, c, n, text, line, column, where = event
        return _fields(e="fail", c=c, n=n, m=text, l=line, k=column, w=where)
    if kind == "rstop":
        return {"e": "rstop"}
    if kind == "ctx":
        _, x, parent, group, line, column, branch, mode = event
        return _fields(e="ctx", x=x, p=parent, g=group, l=line, k=column, b=branch, m=mode)
    raise ValueError("unknown event %r" % (kind,))


def open_text(path, mode):
    if path.endswith(".gz"):
        return gzip.open(path, mode + "t", encoding="utf-8")
    return open(path, mode, encoding="utf-8")


class RecordWriter:
    """A Recorder sink that writes the record file, flushing each step."""

    def __init__(self, path):
        self.path = path
        self.file = open_text(path, "w")
        self.idle_n = 0
        self.idle_first = self.idle_t = self.idle_u = None
        self.idle_pending = None
        self.last_flush = 0.0

    def _line(self, made):
        self.file.write(_encode(made) + "\n")

    def header(self, header):
        self._line(header)
        self.file.flush()

    def idle(self, rec):
        """A step in which natives only answered "not yet"."""
        if self.idle_n and rec.pending == self.idle_pending:
            self.idle_n += 1
            self.idle_u = rec.t_end
            if rec.t_end - self.last_flush < IDLE_FLUSH_SECONDS:
                return
        self._idle(rec)

    def step(self, rec):
        if (not rec.events and rec.kind == "step" and rec.running is True
                and not rec.status_changed and rec.error is None and not rec.interrupted):
            self.idle(rec)  # a step of `yield` only, say
            return
        self._write_idle()
        self._line({"e": rec.kind, "s": rec.step, "t": round(rec.t, 6)})
        for event in rec.events:
            self._line(event_json(event))
        if rec.error is not None:
            error = rec.error
            self._line(_fields(e="error", m=error.get("text"), a=error.get("address"),
                               l=error.get("line"), k=error.get("column"),
                               tb=[list(frame) for frame in error.get("trace", ())] or None))
        if rec.status_changed:
            self._line({"e": "status", "v": rec.status})
        self._line(_fields(e="end", s=rec.step, t=round(rec.t_end, 6), r=rec.running,
                           p=rec.pending or None, i=rec.interrupted or None))
        self._flush(rec.t_end)

    def _idle(self, rec):
        if not (self.idle_n and rec.pending == self.idle_pending):
            self._write_idle()
            self.idle_n = 1
            self.idle_first, self.idle_t = rec.step, rec.t
            self.idle_pending = list(rec.pending)
        self.idle_u = rec.t_end
        if rec.t_end - self.last_flush >= IDLE_FLUSH_SECONDS:
            self._write_idle()
            self._flush(rec.t_end)

    def _write_idle(self):
        if self.idle_n:
            self._line(_fields(e="idle", s=self.idle_first, n=self.idle_n,
                               t=round(self.idle_t, 6), u=round(self.idle_u, 6),
                               p=self.idle_pending or None))
            self.idle_n = 0

    def _flush(self, t):
        self.file.flush()
        self.last_flush = t

    def close(self, t):
        self._write_idle()
        self._line({"e": "fin", "t": round(t, 6)})
        self.file.close()


# Reading ------------------------------------------------------------------


class RecordError(Exception):
    """A record that cannot be read; the text names the file and line."""


class Step:
    """One recorded step (or a run of `repeat` idle ones)."""

    __slots__ = ("index", "kind", "t", "t_end", "events", "pending", "running", "status",
                 "error", "interrupted", "repeat")

    def __init__(self, index, kind, t):
        self.index = index
        self.kind = kind
        self.t = self.t_end = t
        self.events = []
        self.pending = []
        self.running = None
        self.status = None
        self.error = None
        self.interrupted = False
        self.repeat = 1


class Record:
    def __init__(self, path, header):
        self.path = path
        self.header = header
        self.steps = []
        self.finished = False  # its closing line was read
        self.cut_step = None  # the step whose lines end mid-way, if any
        self.cut_line = False  # the last line was written only in part
        self.lines = 0

    @property
    def complete(self):
        return self.finished and self.cut_step is None and not self.cut_line

    @property
    def last_step(self):
        return self.steps[-1].index + self.steps[-1].repeat - 1 if self.steps else 0


# The keys each line must have, by its "e".
_REQUIRED = {
    "step": ("s", "t"), "stop": ("s", "t"), "end": ("s", "t"), "idle": ("s", "n", "t", "u"),
    "gen": ("c", "n", "a"), "done": ("c",), "term": ("c",), "val": ("c", "v"),
    "fail": ("n", "m", "w"), "get": ("n", "v"), "set": ("n", "v"), "ctx": ("x",),
    "error": ("m",), "status": ("v",), "fin": ("t",), "rstop": (),
}
_NUMBER = (int, float)
# The type each key must have where it appears (bool is an int to Python,
# so it is refused where a count or an id belongs).
_TYPES = {"s": int, "n": str, "c": int, "t": _NUMBER, "u": _NUMBER, "a": list, "p": list,
          "m": str, "w": str, "x": int, "l": int, "k": int, "r": bool}
# Keys that mean something else in one kind of line.
_TYPES_OF = {("idle", "n"): int, ("error", "a"): int, ("ctx", "p"): int}


def _check_types(made, kind, where):
    for key, wanted in _TYPES.items():
        value = made.get(key)
        if value is None:
            continue
        wanted = _TYPES_OF.get((kind, key), wanted)
        if isinstance(value, bool) and wanted is not bool or not isinstance(value, wanted):
            raise RecordError("%s: %r of a %r line must be %s, not %r" % (
                where, key, kind, getattr(wanted, "__name__", "a number"), value))
    if kind in ("end", "idle") and not all(
            isinstance(c, int) and not isinstance(c, bool) for c in made.get("p", ())):
        raise RecordError("%s: 'p' of a %r line must list call ids" % (where, kind))


_IN_STEP = {"gen", "done", "term", "val", "fail", "get", "set", "ctx", "error", "status",
            "rstop"}


def _read_text(path):
    """The file's text; a gzip stream cut short gives what it holds."""
    with open(path, "rb") as handle:
        raw = handle.read()
    if path.endswith(".gz") or raw[:2] == b"\x1f\x8b":
        inflater = zlib.decompressobj(16 + zlib.MAX_WBITS)
        try:
            raw = inflater.decompress(raw)
        except zlib.error as error:
            raise RecordError("%s: not a gzip stream that can be read: %s" % (path, error))
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError as error:
        # A cut may split a character; anything before the cut must be whole.
        text = raw[:error.start].decode("utf-8")
        if "\n" in raw[error.start:].decode("utf-8", "replace"):
            raise RecordError("%s: not UTF-8 text (byte %d)" % (path, error.start))
        return text


def read_record(path):
    """Reads and checks a record. A record cut while it was written reads up
    to its last whole step (`cut_step`, `cut_line` say where it was cut);
    anything else that is not a record raises RecordError."""
    try:
        text = _read_text(path)
    except OSError as error:
        raise RecordError("cannot read %s: %s" % (path, error.strerror or error))
    lines = text.split("\n")
    cut_line = lines[-1] != ""
    if not cut_line:
        lines.pop()
    record = None
    step = None
    for number, line in enumerate(lines, 1):
        where = "%s:%d" % (path, number)
        try:
            made = json.loads(line)
        except ValueError as error:
            if number == len(lines) and cut_line and record is not None:
                break  # the line being written when the record was cut
            raise RecordError("%s: not a JSON line: %s" % (where, error))
        if not isinstance(made, dict):
            raise RecordError("%s: each line must be a JSON object" % where)
        if record is None:
            record = Record(path, _check_header(made, where))
            continue
        if number == len(lines) and cut_line:
            # Whole JSON but without its newline: the cut may have fallen
            # inside a number, so the line is not trusted.
            break
        kind = made.get("e")
        missing = [key for key in _REQUIRED.get(kind, ()) if key not in made]
        if kind not in _REQUIRED:
            raise RecordError("%s: unknown event %r" % (where, kind))
        if missing:
            raise RecordError("%s: a %r line needs %s" % (where, kind, ", ".join(
                repr(key) for key in missing)))
        _check_types(made, kind, where)
        if record.finished:
            raise RecordError("%s: a line after the record's closing 'fin' line" % where)
        step = _add_line(record, step, kind, made, where)
    if record is None:
        raise RecordError("%s: empty, not a record (no header line)" % path)
    record.cut_line = cut_line
    if step is not None:
        record.cut_step = step.index
    return record


def _check_header(made, where):
    version = made.get("zrec")
    if version is None:
        raise RecordError("%s: not a Zo record (the first line has no 'zrec' version)" % where)
    if version != FORMAT_VERSION:
        raise RecordError("%s: record format version %r; this zo reads version %d"
                          % (where, version, FORMAT_VERSION))
    for key in ("natives", "properties"):
        entries = made.get(key)
        if not isinstance(entries, list) or not all(
                isinstance(e, dict) and isinstance(e.get("name"), str) for e in entries):
            raise RecordError("%s: the header's %r must be a list of {\"name\": ...}"
                              % (where, key))
    return made


def _add_line(record, step, kind, made, where):
    """Adds one event line; returns the step still open after it."""
    if kind in ("step", "stop"):
        if step is not None:
            raise RecordError("%s: step %r begins before step %r ended"
                              % (where, made["s"], step.index))
        expected = record.last_step + 1
        if made["s"] != expected:
            raise RecordError("%s: step %r where step %d comes next" % (where, made["s"],
                                                                        expected))
        return Step(made["s"], kind, made["t"])
    if kind in _IN_STEP:
        if step is None:
            raise RecordError("%s: a %r line outside any step" % (where, kind))
        if kind == "error":
            step.error = made
        elif kind == "status":
            step.status = made["v"]
        else:
            step.events.append(made)
        return step
    if kind == "end":
        if step is None or made["s"] != step.index:
            raise RecordError("%s: the end of step %r, which did not begin" % (where, made["s"]))
        step.t_end = made["t"]
        step.running = made.get("r")
        step.pending = made.get("p", [])
        step.interrupted = bool(made.get("i"))
        record.steps.append(step)
        return None
    if step is not None:
        raise RecordError("%s: a %r line inside step %r" % (where, kind, step.index))
    if kind == "idle":
        if made["s"] != record.last_step + 1 or not isinstance(made["n"], int) or made["n"] < 1:
            raise RecordError("%s: idle steps %r (x%r) where step %d comes next"
                              % (where, made["s"], made["n"], record.last_step + 1))
        idle = Step(made["s"], "step", made["t"])
        idle.t_end, idle.repeat, idle.running = made["u"], made["n"], True
        idle.pending = made.get("p", [])
        record.steps.append(idle)
    else:  # fin
        record.finished = True
    return None
