"""`read_record`: a record file read back and checked, line by line.

The file is streamed: a record, or a gzip stream that inflates to far more,
is never held whole in memory, and the first bad line ends the reading."""

import json
import zlib

from zo.recording.record import RecordError, check_header, check_line

_CHUNK = 1 << 16
# How a line cut between steps begins when it was the closing one: of the
# lines that may stand there (step, stop, idle, fin), only "fin" has an f.
_CLOSING = b'{"e":"f'


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
        self.cut_closing = False  # ... and that line was the closing one
        self.parents = {}  # context id -> its parent's, as last described

    @property
    def complete(self):
        return self.finished and self.cut_step is None and not self.cut_line

    @property
    def last_step(self):
        return self.steps[-1].index + self.steps[-1].repeat - 1 if self.steps else 0


def _chunks(path, handle):
    """The file's bytes, inflated when it is gzip; a stream cut short gives
    what it holds."""
    chunk = handle.read(_CHUNK)
    if not (path.endswith(".gz") or chunk[:2] == b"\x1f\x8b"):
        while chunk:
            yield chunk
            chunk = handle.read(_CHUNK)
        return
    inflater = zlib.decompressobj(16 + zlib.MAX_WBITS)
    while chunk and not inflater.eof:
        while chunk:
            try:
                made = inflater.decompress(chunk, _CHUNK)
            except zlib.error as error:
                raise RecordError("%s: not a gzip stream that can be read: %s" % (path, error))
            if made:
                yield made
            chunk = inflater.unconsumed_tail
        chunk = handle.read(_CHUNK)


def _lines(path, handle):
    """(line number, the line's bytes, whether its newline was written)."""
    number = 0
    held = []
    for chunk in _chunks(path, handle):
        if b"\n" not in chunk:
            held.append(chunk)
            continue
        parts = chunk.split(b"\n")
        held.append(parts[0])
        parts[0] = b"".join(held)
        held = [parts.pop()]
        for part in parts:
            number += 1
            yield number, part, True
    rest = b"".join(held)
    if rest:
        yield number + 1, rest, False


def read_record(path):
    """Reads and checks a record. A record cut while it was written reads up
    to its last whole step (`cut_step`, `cut_line` say where it was cut);
    anything else that is not a record raises RecordError."""
    if not isinstance(path, str):
        raise RecordError("cannot read %r: a record is named by a path" % (path,))
    try:
        with open(path, "rb") as handle:
            return _read(path, handle)
    except OSError as error:
        raise RecordError("cannot read %s: %s" % (path, error.strerror or error))


def _read(path, handle):
    record = None
    step = None
    for number, raw, whole in _lines(path, handle):
        if not whole and record is not None:
            # The line being written when the record was cut. Even whole
            # JSON is not trusted: the cut may have fallen inside a number.
            record.cut_line = True
            record.cut_closing = step is None and raw.startswith(_CLOSING)
            break
        where = "%s:%d" % (path, number)
        try:
            line = raw.decode("utf-8")
        except UnicodeDecodeError:
            raise RecordError("%s: not UTF-8 text" % where)
        try:
            made = json.loads(line, parse_constant=_not_json)
        except ValueError as error:
            raise RecordError("%s: not a JSON line: %s" % (where, error))
        if not isinstance(made, dict):
            raise RecordError("%s: each line must be a JSON object" % where)
        if record is None:
            record = Record(path, check_header(made, where))
            continue
        kind = made.get("e")
        check_line(made, kind, where)
        if record.finished:
            raise RecordError("%s: a line after the record's closing 'fin' line" % where)
        step = _add_line(record, step, kind, made, where)
    if record is None:
        raise RecordError("%s: empty, not a record (no header line)" % path)
    if step is not None:
        record.cut_step = step.index
    return record


def _not_json(constant):
    # Python's json reads NaN and Infinity, which JSON has not: a record
    # writes them as {"f": "nan"}, and a time or count must be finite.
    raise ValueError("%s is not JSON" % constant)


_IN_STEP = {"gen", "done", "term", "val", "fail", "get", "set", "ctx", "error", "status",
            "rstop"}


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
            if kind == "ctx":
                _check_parent(record, made, where)
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
        if made["s"] != record.last_step + 1 or made["n"] < 1:
            raise RecordError("%s: idle steps %r (x%r) where step %d comes next"
                              % (where, made["s"], made["n"], record.last_step + 1))
        idle = Step(made["s"], "step", made["t"])
        idle.t_end, idle.repeat, idle.running = made["u"], made["n"], True
        idle.pending = made.get("p", [])
        record.steps.append(idle)
    else:  # fin
        record.finished = True
    return None


def _check_parent(record, made, where):
    """Contexts form a tree: a context may not be its own ancestor."""
    context, parent = made["x"], made.get("p")
    # The map has no cycle before this line, so the walk ends.
    ancestor = parent
    while ancestor is not None:
        if ancestor == context:
            raise RecordError("%s: context %d would be its own ancestor" % (where, context))
        ancestor = record.parents.get(ancestor)
    record.parents[context] = parent
