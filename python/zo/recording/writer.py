"""`RecordWriter`: the Recorder sink that writes a record file.

Each step's lines are made in full, then written with one write(): a crash
loses at most the step in progress and never leaves half of one. Lines are
made by hand rather than by the json module, since the writer runs in every
step of a recorded run. Strings that UTF-8 cannot hold (a lone surrogate
from a host) are written as JSON's \\uXXXX escapes, which read back as they
were."""

import gzip
import json
from json.encoder import encode_basestring as _string

from zo.recording.record import encoded

# Steps in which natives only answered "not yet" are folded into one line,
# written at least this often (seconds) so that a crash loses little of them.
IDLE_FLUSH_SECONDS = 0.1

_encode = json.JSONEncoder(separators=(",", ":"), ensure_ascii=False, default=repr,
                           allow_nan=False).encode


def _json(value):
    """A value as JSON text; Zo's own kinds take the short way."""
    kind = type(value)
    if kind is float:
        if value - value == 0.0:  # finite
            return repr(value)
        return '{"f":"%r"}' % value
    if kind is str:
        return _string(value)
    if value is None:
        return "null"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if kind is int:
        return str(value)
    try:
        return _encode(encoded(value))
    except (TypeError, ValueError, RecursionError):  # whatever a host handed back
        return _string(repr(value))


def _keys(text, **fields):
    """`text` (a line up to its last key) with the fields that are not None."""
    for key, value in fields.items():
        if value is not None:
            text += ',"%s":%s' % (key, _json(value) if not isinstance(value, list)
                                  else "[%s]" % ",".join(map(_json, value)))
    return text + "}"


def _place(line, column, context, branch):
    """The optional keys of a call's line: its place, context and branch."""
    text = ""
    if line is not None:
        text += ',"l":%d' % line
    if column is not None:
        text += ',"k":%d' % column
    if context is not None:
        text += ',"x":%d' % context
    if branch is not None:
        text += ',"b":%d' % branch
    return text


def _gen(event):
    _, call, name, args, line, column, context, branch = event
    return '{"e":"gen","c":%d,"n":%s,"a":[%s]%s}' % (
        call, _string(name), ",".join(map(_json, args)) if args else "",
        _place(line, column, context, branch))


def _fail(event):
    _, call, name, text, line, column, where = event
    return _keys('{"e":"fail"', c=call, n=name, m=text, l=line, k=column, w=where)


def _ctx(event):
    _, context, parent, group, line, column, branch, mode = event
    return _keys('{"e":"ctx","x":%d' % context, p=parent, g=group, l=line, k=column, b=branch,
                 m=mode)


# The record's line (without its newline) of each kind of a Recorder's
# event tuples.
_LINES = {
    "gen": _gen,
    "term": lambda event: '{"e":"term","c":%d}' % event[1],
    "val": lambda event: '{"e":"val","c":%d,"v":%s}' % (event[1], _json(event[2])),
    "get": lambda event: '{"e":"get","n":%s,"v":%s}' % (_string(event[1]), _json(event[2])),
    "set": lambda event: '{"e":"set","n":%s,"v":%s}' % (_string(event[1]), _json(event[2])),
    "fail": _fail,
    "rstop": lambda event: '{"e":"rstop"}',
    "ctx": _ctx,
}


def _error_line(error):
    trace = [list(frame) for frame in error.get("trace", ())] or None
    return _keys('{"e":"error"', m=error.get("text"), a=error.get("address"),
                 l=error.get("line"), k=error.get("column"), tb=trace)


def _open(path):
    if path.endswith(".gz"):
        return gzip.open(path, "wb")
    return open(path, "wb", buffering=0)


class RecordWriter:
    """A Recorder sink that writes the record file, flushing each step."""

    def __init__(self, path):
        self.path = path
        self.file = _open(path)
        # A gzip stream must be told to flush; a raw file writes through.
        self.flush = self.file.flush if path.endswith(".gz") else _nothing
        self.idle_n = 0
        self.idle_first = self.idle_t = self.idle_u = None
        self.idle_pending = None
        self.held = ""  # lines made but not written yet (of idle steps)
        self.broken = False  # a write failed: nothing more is written
        self.last_flush = 0.0

    def _send(self, text):
        """Writes lines and hands them to the system: one write() for a raw file."""
        if self.broken:
            return
        data = text.encode("utf-8", "backslashreplace")
        try:
            written = self.file.write(data)
            while written is not None and written < len(data):  # a write() cut short
                data = data[written:]
                written = self.file.write(data)
            self.flush()
        except BaseException:
            # A full disk, say: the record ends as a cut one, with nothing
            # written after the part of a step that made it.
            self.broken = True
            raise

    def header(self, header):
        self._send(_encode(header) + "\n")

    def idle(self, rec):
        """A step in which natives only answered "not yet"."""
        if not (self.idle_n and rec.pending == self.idle_pending):
            self.held += self._idle_line()  # the steps that waited on other calls
            self.idle_first, self.idle_t = rec.step, rec.t
            self.idle_pending = list(rec.pending)
        self.idle_n += 1
        self.idle_u = rec.t_end
        if rec.t_end - self.last_flush >= IDLE_FLUSH_SECONDS:
            self._send(self._unsent())
            self.last_flush = rec.t_end

    def step(self, rec):
        if (not rec.events and rec.kind == "step" and rec.running is True
                and not rec.status_changed and rec.error is None and not rec.interrupted):
            self.idle(rec)  # a step of `yield` only, say
            return
        text = '{"e":"%s","s":%d,"t":%.6f}\n' % (rec.kind, rec.step, rec.t)
        if self.held or self.idle_n:
            text = self._unsent() + text
        for event in rec.events:
            if event[0] == "done":  # the most common line of all
                text += '{"e":"done","c":%d}\n' % event[1]
            else:
                text += _LINES[event[0]](event) + "\n"
        if rec.error is not None:
            text += _error_line(rec.error) + "\n"
        if rec.status_changed:
            text += '{"e":"status","v":%s}\n' % _json(rec.status)
        if rec.running is True and not rec.pending and not rec.interrupted:
            text += '{"e":"end","s":%d,"t":%.6f,"r":true}\n' % (rec.step, rec.t_end)
        else:
            text += _keys('{"e":"end","s":%d,"t":%.6f' % (rec.step, rec.t_end), r=rec.running,
                          p=rec.pending or None, i=rec.interrupted or None) + "\n"
        self._send(text)
        self.last_flush = rec.t_end

    def _unsent(self):
        """The lines made but not written yet, which are then forgotten."""
        held, self.held = self.held, ""
        return held + self._idle_line()

    def _idle_line(self):
        """The line of the idle steps not written yet ("" when none), which
        are then forgotten."""
        if not self.idle_n:
            return ""
        line = _keys('{"e":"idle","s":%d,"n":%d,"t":%.6f,"u":%.6f' % (
            self.idle_first, self.idle_n, self.idle_t, self.idle_u), p=self.idle_pending or None)
        self.idle_n = 0
        return line + "\n"

    def close(self, t):
        try:
            self._send(self._unsent() + '{"e":"fin","t":%.6f}\n' % t)
        finally:
            try:
                self.file.close()
            except OSError:
                if not self.broken:
                    raise


def _nothing():
    pass
