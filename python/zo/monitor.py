"""Watches the native calls of a run: which started, were polled, completed or
were terminated in each step. The run loop uses it to sleep while the
program only waits, and ``--trace`` prints it, with the line of each call."""

import zolangpy

from zo.host import WaitCall


class Monitor:
    def __init__(self, clock, trace=None):
        self.clock = clock
        self.trace = trace  # a file to print events to, or None
        self.interpreter = None  # the Interpreter that makes the calls, once there is one
        self.step = 0
        self.next_id = 1
        self.active = {}  # call id -> the inner Callable
        # What the step that runs now has done: polled natives; started,
        # completed or terminated one (progress); found a native other than
        # `wait` not done yet.
        self.polled = False
        self.progressed = False
        self.pending_other = False

    def begin_step(self):
        self.step += 1
        self.polled = self.progressed = self.pending_other = False

    def resume_at(self, started, tick, can_yield):
        """When to run the next step (on time.monotonic()) after the step that
        began at `started`, or None for at once. A step that only polled
        natives that are not done yet has nothing to do until one may be:
        waits sleep until the first is due, and any other native is asked
        again a tick after the last time. So is a program that may yield,
        whose yielding contexts the host cannot see."""
        if not self.polled or self.progressed:
            return None
        due = [self.clock.start + c.deadline for c in self.active.values()
               if isinstance(c, WaitCall)]
        if self.pending_other or can_yield:
            if tick <= 0:
                return None
            due.append(started + tick)
        return min(due) if due else None

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
        monitor.progressed = True
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
        if done:
            monitor.progressed = True
            monitor.active.pop(self.call_id, None)
        elif not isinstance(self.inner, WaitCall):
            monitor.pending_other = True
        monitor.event("poll #%d %s -> %s" % (self.call_id, self.name, "done" if done else "pending"))
        return result

    def terminate(self):
        self.monitor.progressed = True
        self.monitor.active.pop(self.call_id, None)
        self.monitor.event("terminate #%d %s" % (self.call_id, self.name))
        return self.inner.terminate()
