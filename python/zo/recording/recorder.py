"""The flight recorder: wraps natives and properties where they are
registered, so that everything a program asks of the world passes through it,
and hands each step's events to its sinks (a record file, the trace).

A host loop uses it like this::

    recorder = Recorder([RecordWriter("run.zrec")], source=text, path="prog.zo")
    compiler = zolangpy.Compiler()
    recorder.register(compiler, "move", Move())      # wraps, then registers
    recorder.register(compiler, "battery", Battery())
    compiler.compile(text)
    interpreter = compiler.into_interpreter()
    while recorder.run(interpreter):                  # one recorded step
        ...
    recorder.close()

`wrap(name, native)` gives the wrapped object for a host that registers it
itself.

A sink has `header(dict)`, `step(recorder)` at the end of each step,
optionally `idle(recorder)` for a step in which natives only answered "not
yet", and `close(t)`. It reads the step from the recorder's attributes
(`step`, `kind`, `t`, `t_end`, `events`, `pending`, `running`, `status`,
`status_changed`, `error`, `interrupted`) and copies what it keeps, since the
lists are reused. Events are tuples whose first item names the kind, as
`zo.recording.writer` turns them into the record's lines.
"""

import datetime
import hashlib
import math
import time

import zolangpy

from zo.recording.record import FORMAT_VERSION
from zo.recording.stand_ins import RecordedGenerator, RecordedGeneratorWords, RecordedProp


def source_hash(source):
    """The SHA-256 of a program's text, as the header holds it."""
    return hashlib.sha256(source.encode("utf-8", "surrogatepass")).hexdigest()


def error_of(interpreter, error):
    """last_error() when it describes `error` (it keeps an older failure
    otherwise), else the error's text alone."""
    described = interpreter.last_error()
    if described is not None and described.get("text") == str(error):
        return described
    return {"text": str(error)}


class Recorder:
    def __init__(self, sinks, source=None, path=None, ir=False, limits=None,
                 clock=time.monotonic):
        self.sinks = list(sinks)
        # A sink without idle() takes those steps as any other.
        self._idle_sinks = [getattr(sink, "idle", sink.step) for sink in self.sinks]
        self.source = source
        self.path = path
        self.ir = ir
        self.limits = limits
        self.clock = clock
        # name -> {"name":..., "words": bool}, and for properties "settable",
        # in registration order; wrapping a name again describes it again.
        self.natives = {}
        self.properties = {}
        # name -> the shapes of the call sites its check_syntax accepted (each
        # a tuple of words, None for a value), as an ordered set.
        self.shapes = {}
        self.refused = []  # (name, text) of the call sites a native refused
        self.compiler = None  # the Compiler registered with, to say why it never ran
        self.interpreter = None
        self.started = None  # clock reading at the first step
        self.step = 0
        self.kind = None  # "step" (a run()) or "stop" (a stop())
        self.t = 0.0  # seconds since the start, when the step began
        self.t_end = 0.0
        self.events = []  # this step's events other than pending polls
        self.pending = []  # ids of the calls that answered "not yet", in poll order
        self.running = None  # what run() returned, None for a stop or a failure
        self.status = None
        self.status_changed = False
        self.error = None  # last_error() of a failed step
        self.interrupted = False
        self.next_call = 1
        self.contexts = {}  # id -> the context's description as last recorded
        self.unknown_contexts = {}  # ids first seen this step -> group from call_site
        self.listed_in_step = False  # contexts() asked in this step already
        self.stop_requests = 0  # request_stop() calls, from any thread
        self.stops_recorded = 0  # ... of which the record tells
        self.closed = False

    # Registration --------------------------------------------------------

    def wrap(self, name, native):
        """The recorded stand-in of a CallableGenerator or Prop named `name`."""
        if isinstance(native, zolangpy.CallableGenerator):
            words = bool(getattr(native, "words_at_run_time", False))
            self.natives[name] = {"name": name, "words": words}
            self.shapes[name] = {}
            kind = RecordedGeneratorWords if words else RecordedGenerator
            return kind(self, name, native)
        if isinstance(native, zolangpy.Prop):
            try:
                settable = bool(native.is_settable())
            except Exception:  # the interpreter asks again and reports it
                settable = False
            self.properties[name] = {"name": name, "settable": settable}
            return RecordedProp(self, name, native)
        raise TypeError("%s is neither a zolangpy.CallableGenerator nor a zolangpy.Prop"
                        % type(native).__name__)

    def register(self, target, name, native):
        """Wraps `native` and registers it with a Compiler or Interpreter."""
        wrapped = self.wrap(name, native)
        if isinstance(target, zolangpy.Compiler):
            self.compiler = target
        if isinstance(wrapped, RecordedProp):
            target.register_property(name, wrapped)
        else:
            target.register_callable(name, wrapped)
        return wrapped

    # Steps ---------------------------------------------------------------

    def header(self):
        source = self.source
        made = {"zrec": FORMAT_VERSION}
        if self.path is not None:
            made["path"] = self.path
        if source is not None:
            made["sha256"] = source_hash(source)
            made["source"] = source
        if self.ir:
            made["ir"] = True
        made["natives"] = [self._native(entry) for entry in self.natives.values()]
        made["properties"] = list(self.properties.values())
        limits = {key: value for key, value in (self.limits or {}).items()
                  if value is not None and value == value and abs(value) != math.inf}
        if limits:  # an infinite limit is none
            made["limits"] = limits
        if getattr(self.interpreter, "end_in_steps", False) is True:
            made["end_in_steps"] = True
        made["start"] = datetime.datetime.now(datetime.timezone.utc).isoformat(
            timespec="milliseconds").replace("+00:00", "Z")
        made["clock"] = "monotonic"
        return made

    def _native(self, entry):
        """A native's header entry, with the shapes of its call sites where
        the program was compiled (IR text is not checked)."""
        if self.ir:
            return entry
        return dict(entry, shapes=[list(shape) for shape in self.shapes[entry["name"]]])

    def run(self, interpreter):
        """One step: `interpreter.run()`, recorded. Returns what it returns and
        raises what it raises."""
        # A step in which natives only answered "not yet" is most steps of a
        # long run, so it takes a short way through here and the sinks.
        self._begin(interpreter, "step")
        try:
            running = self.running = interpreter.run()
        except Exception as error:
            self.running = None
            self.error = error_of(interpreter, error)
            self._end(interpreter)
            raise
        except BaseException:
            self.running = None
            self.interrupted = True
            self._end(interpreter)
            raise
        # Reading the status costs a crossing into the extension (most on
        # PyPy); it cannot have changed in a paused program's step in which
        # natives were asked and none completed, was terminated or started.
        if (running is True and self.pending and not self.events and self.status == "paused"
                and self.stop_requests == self.stops_recorded):
            self.t_end = self.clock() - self.started
            self.status_changed = False
            try:
                for idle in self._idle_sinks:
                    idle(self)
            finally:
                del self.pending[:]
            return True
        self._end(interpreter)
        return running

    def stop(self, interpreter):
        """`interpreter.stop()`, recorded as a step of its own."""
        self._begin(interpreter, "stop")
        self.running = None
        try:
            interpreter.stop()
        except Exception as error:
            self.error = error_of(interpreter, error)
            raise
        except BaseException:
            self.interrupted = True
            raise
        finally:
            self._end(interpreter)

    def request_stop(self, interpreter):
        """`interpreter.request_stop()`, recorded. It may come from another
        thread or a signal handler: the event joins the step in progress, or
        the next one when none is."""
        # Counted rather than added to the events, which the step's own
        # thread may be writing and clearing; the step in progress takes it
        # when it ends.
        self.stop_requests += 1
        interpreter.request_stop()

    def _start(self, now):
        self.started = now
        made = self.header()
        for sink in self.sinks:
            sink.header(made)

    def _begin(self, interpreter, kind):
        now = self.clock()
        self.interpreter = interpreter  # the header reads it
        if self.started is None:
            self._start(now)
        self.step += 1
        self.kind = kind
        self.t = now - self.started
        self.listed_in_step = False

    def _end(self, interpreter):
        self.t_end = self.clock() - self.started
        try:
            status = interpreter.status
        except Exception:  # an interpreter still borrowed elsewhere
            status = self.status
        self.status_changed = status != self.status
        self.status = status
        requests = self.stop_requests
        if requests != self.stops_recorded:
            self.stops_recorded = requests
            self.events.append(("rstop",))
        try:
            if self.unknown_contexts:
                self._describe_contexts(interpreter)
            for sink in self.sinks:
                sink.step(self)
        finally:
            # Cleared in place (sinks copy what they keep), and also when a
            # sink failed: the next step must not repeat this one's events.
            del self.events[:]
            del self.pending[:]
            self.error = None
            self.interrupted = False

    def close(self):
        """Ends the record; further steps are not recorded. A recorder that
        never ran a step writes its header with the reason."""
        if self.closed:
            return
        self.closed = True
        if self.started is None:
            self.started = self.clock()
            made = self.header()
            made["never_ran"] = self._why_never_ran()
            for sink in self.sinks:
                sink.header(made)
        t = self.clock() - self.started
        for sink in self.sinks:
            sink.close(t)

    def _why_never_ran(self):
        try:
            diagnostics = self.compiler.diagnostics() if self.compiler is not None else ()
        except Exception:  # a compiler made into an interpreter has none
            diagnostics = ()
        if diagnostics:
            first = diagnostics[0]
            place = ":".join(str(part) for part in (self.path or "<program>", first.get("line"),
                                                    first.get("column")) if part is not None)
            return "the program did not compile: %s: %s" % (place, first.get("message"))
        if self.refused:
            return "the program did not compile: '%s' refused a call: %s" % self.refused[0]
        return "no step was run"

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    # Contexts ------------------------------------------------------------

    def meet_context(self, site):
        """Describes the context a call names (its `call_site()`) when it is
        new: the calls that name known ones take a short way round this."""
        context = site.get("context")
        # Once a step, at the first new context: the siblings a block
        # spawned together are all listed then, even those that end before
        # the step does.
        if not self.listed_in_step:
            self.listed_in_step = True
            self._list_contexts(self.interpreter)
        if context not in self.contexts:
            self.unknown_contexts.setdefault(context, site.get("group"))

    def _list_contexts(self, interpreter):
        """A ctx event for each live context not described yet: its parent
        and branch, where it was when first seen (its group and line), and
        the kind of block it is a branch of (its parent's mode). A context
        moves on, but its description stays; an id seen again with another
        parent or branch is a new context."""
        lister = getattr(interpreter, "contexts", None)
        try:
            listed = lister() if lister is not None else ()
        except Exception:  # an interpreter that lists them only between steps
            listed = ()
        modes = {context["id"]: context.get("mode") for context in listed}
        for context in listed:
            known = self.contexts.get(context["id"])
            parent, branch = context.get("parent"), context.get("branch")
            if known is not None and known[0] == parent and known[4] == branch:
                continue
            described = (parent, context.get("group"), context.get("line"),
                         context.get("column"), branch, modes.get(parent))
            self.contexts[context["id"]] = described
            self.events.append(("ctx", context["id"]) + described)

    def _describe_contexts(self, interpreter):
        """At the end of a step, describes the contexts its calls named that
        were not listed yet; one that began and ended within the step (after
        the listing) is described by what its call said."""
        self._list_contexts(interpreter)
        for context, group in self.unknown_contexts.items():
            if context not in self.contexts:
                described = (None, group, None, None, None, None)
                self.contexts[context] = described
                self.events.append(("ctx", context) + described)
        # The step's calls in contexts first seen late learn their branch now.
        for index, event in enumerate(self.events):
            if event[0] == "gen" and event[7] is None and event[6] in self.unknown_contexts:
                self.events[index] = event[:7] + (self.branch_of(event[6]),)
        self.unknown_contexts = {}

    def branch_of(self, context):
        described = self.contexts.get(context)
        return described[4] if described is not None else None
