"""`zo run --trace`: the recorder's events as lines of text, each with the
time and step. A call's "not yet" answers fold into one line when it ends
("poll #3 move -> pending x38 at line 12")."""

from zo.host import format_value


def _shown(args):
    return ", ".join(repr(a) for a in args)


class TraceSink:
    def __init__(self, out, only=None):
        self.out = out
        # Native and property names to show; None shows all.
        self.only = None if only is None else {name.lstrip("$") for name in only}
        self.calls = {}  # id -> [name, line, pending polls not shown yet]
        self.ended = []  # calls that ended this step (a value may still follow)

    def _shows(self, name):
        return self.only is None or name.lstrip("$") in self.only

    def header(self, header):
        pass

    def _print(self, rec, text, line=None):
        if line is not None:
            text += " at line %d" % line
        self.out.write("[%.3fs step %d] %s\n" % (rec.t, rec.step, text))

    def idle(self, rec):
        calls = self.calls
        for call in rec.pending:
            if call in calls:
                calls[call][2] += 1

    def step(self, rec):
        calls = self.calls
        for event in rec.events:
            self._event(rec, event)
        for call in rec.pending:
            if call in calls:
                calls[call][2] += 1
        for call in self.ended:
            calls.pop(call, None)
        self.ended = []
        if rec.error is not None:
            self._print(rec, "error: %s" % rec.error.get("text"), rec.error.get("line"))
        if rec.status_changed and rec.status != "paused":  # paused is every step's
            self._print(rec, "status %s" % rec.status)
        self.out.flush()

    def _event(self, rec, event):
        kind = event[0]
        if kind == "gen":
            _, call, name, args, line = event[:5]
            if self._shows(name):
                self.calls[call] = [name, line, 0]
                self._print(rec, "start #%d %s(%s)" % (call, name, _shown(args)), line)
        elif kind in ("done", "term", "val"):
            known = self.calls.get(event[1])
            if known is None:
                return
            name, line, folded = known
            if kind == "val":
                self._print(rec, "value #%d %s = %s" % (event[1], name, format_value(event[2])),
                            line)
                return
            self._fold(rec, event[1])
            self.ended.append(event[1])
            if kind == "done":
                self._print(rec, "poll #%d %s -> done" % (event[1], name), line)
            else:
                self._print(rec, "terminate #%d %s" % (event[1], name), line)
        elif kind == "rstop":
            self._print(rec, "stop requested")
        elif kind in ("get", "set"):
            if self._shows(event[1]):
                arrow = "->" if kind == "get" else "="
                self._print(rec, "%s $%s %s %s" % (kind, event[1], arrow,
                                                   format_value(event[2])))
        elif kind == "fail":
            _, call, name, text, line = event[:5]
            if self._shows(name):
                self._fold(rec, call)
                self._print(rec, "fail %s%s: %s" % ("#%d " % call if call else "", name, text),
                            line)

    def _fold(self, rec, call):
        known = self.calls.get(call)
        if known is not None and known[2]:
            name, line, folded = known
            self._print(rec, "poll #%d %s -> pending \u00d7%d" % (call, name, folded), line)
            known[2] = 0

    def close(self, t):
        for call in list(self.calls):
            known = self.calls[call]
            if known[2]:
                name, line, folded = known
                text = "poll #%d %s -> pending \u00d7%d (still pending)" % (call, name, folded)
                if line is not None:
                    text += " at line %d" % line
                self.out.write("[%.3fs end] %s\n" % (t, text))
        self.out.flush()
