"""Watches the native calls of a run for the drivers and for ``--trace``.

The kit's own calls tell the run's `Tracker` when they start and end and
when they may be polled again. A native of the layer below cannot, so the
monitor stands a wrapper in for its generator that tells for it (such a
call is polled again a tick later). With a trace file, every call is
wrapped, and each start, poll and terminate is printed with the line of
the call."""

import zolangpy

from zo.kit import Command, Tracker, _Call


class Monitor:
    def __init__(self, trace=None):
        self.tracker = Tracker()  # the run's record of calls, which the driver takes
        self.trace = trace  # a file to print events to, or None
        self.interpreter = None  # the Interpreter that makes the calls, once there is one
        self.step = 0
        self.next_id = 1

    def begin_step(self):
        self.step += 1

    def event(self, text):
        """Prints an event of the native call being served now, with the line of
        that call when the program knows it (IR text does not)."""
        if self.trace is None:
            return
        site = self.interpreter.call_site() if self.interpreter is not None else None
        if site is not None and site["line"] is not None:
            text += " at line %d" % site["line"]
        print("[step %d] %s" % (self.step, text), file=self.trace, flush=True)

    def wrap(self, name, generator):
        """The generator to register under `name`: `generator` itself when it
        is a command of the kit and nothing is traced."""
        if isinstance(generator, Command) and self.trace is None:
            return generator
        words = getattr(generator, "words_at_run_time", False) is True
        return (_MonitoredWords if words else _Monitored)(self, name, generator)


class _Monitored(zolangpy.CallableGenerator):
    def __init__(self, monitor, name, inner):
        self.monitor = monitor
        self.name = name
        self.inner = inner

    def check_syntax(self, args):
        return self.inner.check_syntax(args)

    def generate(self, args):
        made = self.inner.generate(args)
        if not isinstance(made, zolangpy.Callable):
            return made  # the interpreter reports it as not a valid Callable
        monitor = self.monitor
        call_id = monitor.next_id
        monitor.next_id += 1
        values = self.inner.trace_values(args) if isinstance(self.inner, Command) else args
        monitor.event("start #%d %s(%s)" % (call_id, self.name, ", ".join(repr(a) for a in values)))
        call = _MonitoredCall(monitor, call_id, self.name, made)
        if not isinstance(made, _Call):
            monitor.tracker.pending(call)
        return call


class _MonitoredWords(_Monitored):
    words_at_run_time = True


class _MonitoredCall(zolangpy.Callable):
    def __init__(self, monitor, call_id, name, inner):
        self.monitor = monitor
        self.call_id = call_id
        self.name = name
        self.inner = inner

    def call(self):
        monitor = self.monitor
        result = self.inner.call()
        done = result is None or result is True
        if done:
            monitor.tracker.finished(self)
        monitor.event("poll #%d %s -> %s" % (self.call_id, self.name, "done" if done else "pending"))
        return result

    def terminate(self):
        self.monitor.tracker.finished(self)
        self.monitor.event("terminate #%d %s" % (self.call_id, self.name))
        return self.inner.terminate()

    def result(self):
        result = getattr(self.inner, "result", None)
        return result() if result is not None else None
