"""Replay: runs a program again with every native and property answered
from a record, and checks that it asks the same things in the same order.

Each recorded step is replayed as the host made it (a `run()` or a `stop()`).
The program's calls, property reads and writes must come in the recorded
order, with the recorded arguments and in the same step; a call then answers
"not yet" as often as it did, then completes (with its recorded value) or
fails as it did. `wait` and `$time` are natives like the others, so a
replay takes no time of its own.
"""

import re

import zolangpy

from zo.host import format_value
from zo.recording.record import encoded, value_from_json
from zo.recording.recorder import error_of

# What a step that ran out of time failed with, without its address.
_TIME_LIMIT = "Time limit exceeded"


class Divergence(Exception):
    """The program did not do what the record says; the text says where, and
    `trace` holds the group calls that led there as last_error() gives them.
    A divergence found where the interpreter cannot say the place (a
    property's get or set) learns it when the step has failed."""

    trace = ()

    def __init__(self, step, doing, has, place=None):
        Exception.__init__(self, step, doing, has)
        self.step = step
        self.doing = doing
        self.has = has
        self.place = place  # None: "the program" does it, unless placed later

    def __str__(self):
        doing = "%s %s" % (self.place or "the program", self.doing) if self.place != "" \
            else self.doing
        return "replay diverged at step %d: %s; %s" % (self.step, doing, self.has)


class _ReplayedFailure(Exception):
    # The interpreter shows a native's exception by its repr: this one shows
    # the recorded text, so the run-time error reads as it did.
    def __init__(self, text):
        super().__init__(text)
        self.text = text

    def __repr__(self):
        return self.text


def _zo(value):
    if isinstance(value, str):
        return '"%s"' % value
    return format_value(value)


def _args(args):
    return "(%s)" % ", ".join(_zo(value_from_json(a)) for a in args)


def _plain(text):
    """An error's text without its "[line N] " or "[address N] " prefix, which
    an edit that moves the line changes."""
    return re.sub(r"^\[(line|address) \d+\] ", "", text or "")


def shape_text(shape):
    """A call site's shape as divergences show it: its words, `_` for each value."""
    return "(%s)" % " ".join("_" if word is None else word for word in shape)


def _describe(event):
    kind = event["e"]
    if kind == "gen":
        return "'%s' with %s" % (event["n"], _args(event["a"]))
    if kind == "get":
        return "a read of $%s" % event["n"]
    if kind == "set":
        return "$%s set to %s" % (event["n"], _zo(value_from_json(event["v"])))
    # A failure in place of a call's start or a property read.
    if event["n"].startswith("$"):
        return "a read of %s, which failed" % event["n"]
    return "'%s', which failed to start" % event["n"]


class Calls:
    """What the record says each call answered, by call id."""

    def __init__(self, record):
        self.pending = {}
        self.done = set()
        self.values = {}
        self.failures = {}  # (call id, where) -> text
        for step in record.steps:
            for call in step.pending:
                self.pending[call] = self.pending.get(call, 0) + step.repeat
            for event in step.events:
                kind = event["e"]
                if kind == "done":
                    self.done.add(event["c"])
                elif kind == "val":
                    self.values[event["c"]] = value_from_json(event["v"])
                elif kind == "fail" and event.get("c") is not None:
                    self.failures[(event["c"], event["w"])] = event["m"]


def _interactions(record):
    """The record's questions to the world in order: (step, event, failure),
    where failure is the text the world answered with an error, or None."""
    made = []
    for step in record.steps:
        events = step.events
        for position, event in enumerate(events):
            kind = event["e"]
            if kind in ("gen", "get"):
                made.append((step.index, event, None))
            elif kind == "set":
                after = events[position + 1] if position + 1 < len(events) else {}
                failed = (after.get("e") == "fail" and after.get("w") == "set"
                          and after.get("n") == "$" + event["n"])
                made.append((step.index, event, after["m"] if failed else None))
            elif kind == "fail" and event["w"] in ("generate", "get"):
                made.append((step.index, event, event["m"]))
    return made


class Replayer:
    def __init__(self, record, path):
        self.record = record
        self.path = path  # the program's name in messages
        self.calls = Calls(record)
        self.interactions = _interactions(record)
        self.position = 0
        self.step = 0
        self.interpreter = None
        self.divergence = None
        self.refused = []  # (name, shape, recorded shapes) of refused call sites
        # The limits the recorded run ran under, as set_limits takes them.
        limits = record.header.get("limits") or {}
        self.limits = {key: limits[key] for key in ("instructions", "seconds", "memory")
                       if key in limits}

    # Natives -------------------------------------------------------------

    def natives(self):
        """The replaying stand-ins: {name: CallableGenerator}, {name: Prop}."""
        callables = {}
        for native in self.record.header["natives"]:
            kind = _ReplayGeneratorWords if native.get("words") else _ReplayGenerator
            # A native the recorded program never called is left to the run:
            # any call of it diverges there.
            shapes = [tuple(shape) for shape in native.get("shapes") or ()] or None
            callables[native["name"]] = kind(self, native["name"], shapes)
        properties = {prop["name"]: _ReplayProp(self, prop["name"], bool(prop.get("settable")))
                      for prop in self.record.header["properties"]}
        return callables, properties

    def refuse_shape(self, name, shape, shapes):
        """The exception with which a call site whose shape the recording
        never saw fails to compile; `shape_divergence` tells it by its text."""
        self.refused.append((name, shape, shapes))
        return _ShapeRefused(len(self.refused) - 1)

    def shape_divergence(self, diagnostics):
        """The text of the first call site refused by `refuse_shape` among a
        failed compilation's diagnostics, or None."""
        for diagnostic in diagnostics:
            found = re.fullmatch(_ShapeRefused.PATTERN, diagnostic.get("message") or "")
            if found is None:
                continue
            name, shape, shapes = self.refused[int(found.group(1))]
            place = "%s:%s:%s" % (self.path, diagnostic.get("line"), diagnostic.get("column"))
            has = " or ".join("'%s' with words %s" % (name, shape_text(s)) for s in shapes)
            return "replay diverged: %s calls '%s' with words %s; the recording has %s" % (
                place, name, shape_text(shape), has)
        return None

    def _place(self):
        site = self.interpreter.call_site() if self.interpreter is not None else None
        if site is None or site.get("line") is None:
            return None
        return "%s:%d:%d" % (self.path, site["line"], site["column"])

    def diverge(self, doing, has=None, place=""):
        """Raises the divergence of `doing` at this point of the record.
        `place` is "" for a text that says who does it, else where."""
        if has is None:
            if self.position < len(self.interactions):
                step, event, _ = self.interactions[self.position]
                has = _describe(event)
                if step != self.step:
                    has += " in step %d" % step
            else:
                has = "nothing more"
            has = "the recording has " + has
        self.divergence = Divergence(self.step, doing, has, place)
        raise self.divergence

    def expect(self, doing, matches, place):
        """The record's next interaction when `matches(event)` holds for it
        and it belongs to this step; a divergence otherwise."""
        if self.position < len(self.interactions):
            step, event, failure = self.interactions[self.position]
            if step == self.step and matches(event):
                self.position += 1
                return event, failure
        self.diverge(doing, place=place)

    def generate(self, name, args):
        wanted = [encoded(a) for a in args]
        event, failure = self.expect("calls '%s' with %s" % (name, _args(wanted)), lambda e: (
            e["n"] == name and (e["e"] == "fail" or (e["e"] == "gen" and e["a"] == wanted))),
            self._place())
        if failure is not None:
            raise _ReplayedFailure(failure)
        return _ReplayCall(self, event["c"])

    # A property's get and set learn their place once the step has failed.

    def get(self, name):
        event, failure = self.expect("reads $%s" % name, lambda e: (
            e["e"] == "get" and e["n"] == name) or (e["e"] == "fail" and e["n"] == "$" + name),
            None)
        if failure is not None:
            raise _ReplayedFailure(failure)
        return value_from_json(event["v"])

    def set(self, name, value):
        wanted = encoded(value)
        _, failure = self.expect("sets $%s to %s" % (name, _zo(value)), lambda e: (
            e["e"] == "set" and e["n"] == name and e["v"] == wanted), None)
        if failure is not None:
            raise _ReplayedFailure(failure)

    # Steps ---------------------------------------------------------------

    def run(self, interpreter):
        """Replays every whole step; raises Divergence at the first difference."""
        self.interpreter = interpreter
        if self.limits:
            interpreter.set_limits(**self.limits)
        if self.record.header.get("end_in_steps"):
            interpreter.end_in_steps = True
        for recorded in self.record.steps:
            if recorded.interrupted:
                return recorded.index
            for repeat in range(recorded.repeat):
                self.step = recorded.index + repeat
                self._one(interpreter, recorded)
        return None

    def _one(self, interpreter, recorded):
        running = error = None
        if any(event["e"] == "rstop" for event in recorded.events):
            # Made before the step in replay, wherever in the step it came.
            interpreter.request_stop()
        timed = self._time_limit(interpreter, recorded)
        try:
            if recorded.kind == "stop":
                interpreter.stop()
            else:
                running = interpreter.run()
        except Exception as failure:  # ZoError is not a module attribute
            if self.divergence is not None:
                self._place_divergence(interpreter.last_error() or {})
                raise self.divergence
            error = error_of(interpreter, failure)
        finally:
            if timed:
                interpreter.set_limits(**self.limits)
        self._check_end(recorded, running, error)

    def _time_limit(self, interpreter, recorded):
        """A step that the recorded run's time limit ended ends so again,
        after as long, where the record does not say the limit."""
        wanted = recorded.error
        if wanted is None or "seconds" in self.limits or _plain(wanted["m"]) != _TIME_LIMIT:
            return False
        interpreter.set_limits(**dict(self.limits, seconds=max(recorded.t_end - recorded.t,
                                                               0.001)))
        return True

    def _place_divergence(self, failure):
        divergence = self.divergence
        divergence.trace = failure.get("trace") or ()
        if divergence.place is None and failure.get("line") is not None:
            divergence.place = "%s:%d:%d" % (self.path, failure["line"], failure["column"])

    def _check_end(self, recorded, running, error):
        wanted = recorded.error
        if error is not None and (wanted is None or _plain(error["text"]) != _plain(wanted["m"])):
            place = ("%s:%d:%d" % (self.path, error["line"], error["column"])
                     if error.get("line") is not None else "the program")
            has = ("the recording failed with: %s" % wanted["m"] if wanted is not None
                   else "the recording has no error here")
            self.diverge("%s fails: %s" % (place, error["text"]), has)
        if error is None and wanted is not None:
            self.diverge("the program runs on", "the recording failed here: %s" % wanted["m"])
        if self.position < len(self.interactions) and \
                self.interactions[self.position][0] == self.step:
            self.diverge("the step ends")
        if recorded.kind == "step" and error is None and running != recorded.running:
            if running:
                self.diverge("the program goes on", "the recording ends here")
            self.diverge("the program ends", "the recording goes on")


class _ShapeRefused(Exception):
    """A call site refused at compile time; the compiler shows it by its
    repr, by which `Replayer.shape_divergence` finds it."""

    PATTERN = r"zo replay: refused call site #(\d+)"

    def __init__(self, index):
        Exception.__init__(self, index)
        self.index = index

    def __repr__(self):
        return "zo replay: refused call site #%d" % self.index


class _ReplayGenerator(zolangpy.CallableGenerator):
    def __init__(self, replayer, name, shapes):
        self.replayer = replayer
        self.name = name
        self.shapes = shapes  # the recorded call sites' shapes; None: unchecked

    def check_syntax(self, args):
        if self.shapes is None:
            return
        shape = tuple(arg.word() for arg in args)
        if shape not in self.shapes:
            raise self.replayer.refuse_shape(self.name, shape, self.shapes)

    def generate(self, args):
        return self.replayer.generate(self.name, args)


class _ReplayGeneratorWords(_ReplayGenerator):
    words_at_run_time = True


class _ReplayCall(zolangpy.Callable):
    def __init__(self, replayer, call):
        self.calls = replayer.calls
        self.call_id = call
        self.polls = 0

    def call(self):
        calls = self.calls
        if self.polls < calls.pending.get(self.call_id, 0):
            self.polls += 1
            return False
        failure = calls.failures.get((self.call_id, "call"))
        if failure is not None:
            raise _ReplayedFailure(failure)
        # Neither done nor failed: it was terminated, or still pending when
        # the record ends.
        return self.call_id in calls.done

    def terminate(self):
        failure = self.calls.failures.get((self.call_id, "terminate"))
        if failure is not None:
            raise _ReplayedFailure(failure)

    def result(self):
        failure = self.calls.failures.get((self.call_id, "result"))
        if failure is not None:
            raise _ReplayedFailure(failure)
        return self.calls.values.get(self.call_id)


class _ReplayProp(zolangpy.Prop):
    def __init__(self, replayer, name, settable):
        self.replayer = replayer
        self.name = name
        self.settable = settable

    def get(self):
        return self.replayer.get(self.name)

    def set(self, value):
        self.replayer.set(self.name, value)

    def is_settable(self):
        return self.settable
