"""Watches the native calls of a run: which started, were polled, completed or
were terminated in each step. The run loop uses it to sleep while every
context waits on time, and ``--trace`` prints it."""

import zolangpy

from zo.host import WaitCall


class Monitor:
    def __init__(self, clock, trace=None):
        self.clock = clock
        self.trace = trace  # a file to print events to, or None
        self.step = 0
        self.next_id = 1
        self.active = {}  # call id -> the inner Callable
        self.busy = False  # something other than a pending wait happened this step
        self.polled = False

    def begin_step(self):
        self.step += 1
        self.busy = False
        self.polled = False

    def idle_time(self):
        """Seconds until the next wait is due when the step just run only
        polled waits that were not due, else None (go on at once)."""
        if not self.polled or self.busy:
            return None
        deadlines = [c.deadline for c in self.active.values() if isinstance(c, WaitCall)]
        if not deadlines:
            return None
        return max(0.0, min(deadlines) - self.clock.now())

    def event(self, text):
        if self.trace is not None:
            print("[step %d] %s" % (self.step, text), file=self.trace, flush=True)

    def wrap(self, name, generator):
        return _MonitoredGenerator(self, name, generator)


class _MonitoredGenerator(zolangpy.CallableGenerator):
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
        monitor.active[call_id] = made
        shown = ", ".join(repr(a) for a in args)
        monitor.event("start #%d %s(%s)" % (call_id, self.name, shown))
        return _MonitoredCall(monitor, call_id, self.name, made)


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
        monitor.polled = True
        if done or not isinstance(self.inner, WaitCall):
            monitor.busy = True
        if done:
            monitor.active.pop(self.call_id, None)
        monitor.event("poll #%d %s -> %s" % (self.call_id, self.name, "done" if done else "pending"))
        return result

    def terminate(self):
        self.monitor.active.pop(self.call_id, None)
        self.monitor.event("terminate #%d %s" % (self.call_id, self.name))
        return self.inner.terminate()
