"""Drivers: step a program until it has ended, sleeping while nothing can
have progressed.

`run` is the loop for a synchronous host (and of ``zo run``); `run_async`
steps the program on the running asyncio loop, which it never blocks for
longer than one step. After a step that finished a call (its context goes
on in the next step), or polled none, the next step follows at once.
Otherwise the driver sleeps until something may have changed: a command's
``yield SECONDS`` (the standard ``wait``) until then, a command that yields
nothing, a native of the layer below or a program that may ``yield`` a tick
later, and an async or blocking command until it finishes, which wakes the
driver at once.

Both run ``__end`` in steps (``end_in_steps``). On the main thread they
turn the first SIGINT into a stop request, so ``__end`` runs; a second one
raises KeyboardInterrupt and abandons ``__end``. `run_async` does the same
for the cancellation of its task. A `deadline` (seconds) requests a stop
when the run has lasted that long; should ``__end`` still run when as long
again has passed, it is abandoned, as by a second SIGINT. With `record` (a
path, or a `zo.recording.Recorder`), every question the program asks of the
world is recorded for `zo replay` and `zo timeline` (docs/recording.md).

Each run keeps its own record of the calls in progress (a `Tracker`), set
for the thread around each of its steps, so that any number of programs
may run on one host at once, from one asyncio loop or from several threads.
"""

import asyncio
import math
import re
import signal
import threading
import time

import zolangpy

from zo.kit import Tracker, stepping
from zo.monitor import Monitor

DEFAULT_TICK = 0.005
_FALLBACK = 0.2  # seconds a step has to fail after a SIGINT before a stop is requested
_AT_ONCE = None
_LONGEST_SLEEP = 86400.0  # past this, the clocks' waits overflow; waking once a day costs nothing


class _Interrupt(KeyboardInterrupt):
    """Raised by the SIGINT handler into a step in progress; the driver asks
    where the program stood once the step has failed, then stops it."""


class _Woken(Exception):
    """Raised by the SIGINT handler out of the driver's own sleep."""


class _Abandon(BaseException):
    """Raised by the SIGINT handler into a step of ``__end`` that runs past
    the deadline's second period."""


def deadline_seconds(deadline):
    """A run's deadline as the driver keeps it: None for none (None, inf,
    or one past what the clocks' waits take, centuries away). ValueError
    for anything but a number of seconds, at least 0."""
    if deadline is None:
        return None
    try:
        seconds = float(deadline)
    except OverflowError:
        return None
    except (TypeError, ValueError):
        seconds = math.nan
    if not seconds >= 0:  # NaN included
        raise ValueError("a deadline is a number of seconds, at least 0 (inf for none), not %r"
                         % (deadline,))
    return seconds if seconds < threading.TIMEOUT_MAX else None


class Driver:
    """Steps one interpreter. The hooks `interrupted_at`, `failed` and
    `stop_failed` are for hosts that report (``zo run`` does)."""

    def __init__(self, interpreter, host=None, *, tick=DEFAULT_TICK, can_yield=True,
                 deadline=None, monitor=None, exact=None, signals=True, recorder=None):
        # A recorder records each step, and closes its record when the run
        # is over; the natives must have been registered through it.
        self.recorder = recorder
        if recorder is not None:
            from zo.recording.recorded import Recorded

            interpreter = Recorded(interpreter, recorder)
        self.interpreter = interpreter
        # The record of this run's calls: the monitor's, which watches the
        # natives of the layer below for it, or one of its own.
        self.tracker = monitor.tracker if monitor is not None else Tracker()
        # Exact: every native the program calls tells the tracker what it
        # does; otherwise a step that did not visibly progress waits a tick.
        self.exact = host is not None if exact is None else exact
        self.monitor = monitor
        self.tick = tick
        self.can_yield = can_yield
        self.deadline = deadline_seconds(deadline)
        self.signals = signals
        self.outcome = "ended"  # or "interrupted", "deadline", "cancelled"
        self.end_abandoned = False  # __end ran past the deadline's second period
        self.stepping = False
        self.sleeping = False
        self.stop_wanted = False  # a stop to make with stop() where request_stop is missing
        self.failure = None
        self.stop_requested = False
        self.unreported = False  # a SIGINT in a step whose failure did not come through
        self.fallback = None
        self.wake = _nothing
        # How the SIGINT handler wakes the loop. It runs on the loop's own
        # thread, between any two bytecodes, perhaps inside a lock the wake
        # would take (an Event's, in clear()): it must take none.
        self.wake_from_handler = _nothing
        self.signalled = False  # the handler ran since the loop last stepped

    # Hooks.

    def interrupted_at(self, contexts):
        """Called once on the first SIGINT, before `__end` runs, with
        `contexts()` (None where it cannot tell)."""

    def failed(self, error):
        """Called when a step fails, before `__end` runs; `run` then raises it."""

    def stop_failed(self, error):
        """Called when `__end` fails after a stop."""

    def deadline_passed(self):
        """Called once, between steps, when the deadline has requested a stop."""

    # The loops.

    def run(self):
        """Steps the program until it has ended; returns the outcome."""
        event = threading.Event()
        self.wake = event.set
        self.wake_from_handler = _nothing  # the flag and _Woken do it
        self._begin(event.set)
        try:
            while True:
                event.clear()
                self.signalled = False
                at = self._step()
                if at is False:
                    break
                self._sleep(at, event)
        finally:
            self._finish()
        return self._result()

    async def run_async(self):
        loop = asyncio.get_running_loop()
        woken = _AsyncWake(loop)
        self.wake = woken.set_threadsafe
        self.wake_from_handler = woken.set_threadsafe
        self._begin(woken.set)
        cancelled = False
        try:
            while True:
                woken.clear()
                at = self._step()
                if at is False:
                    break
                try:
                    await woken.sleep(self._timeout(at))
                except asyncio.CancelledError:
                    if cancelled:
                        raise
                    cancelled = True
                    self.outcome = "cancelled"
                    self._request_stop()
        finally:
            self._finish()
        if cancelled:
            raise asyncio.CancelledError()
        return self._result()

    # One step and what follows it.

    def _step(self):
        """Runs one step: False once the program has ended, else when to
        step next (on time.monotonic(), inf for when woken, None at once)."""
        if self.stop_wanted:
            return self._stop_now()
        if self.end_due is not None:
            self._tell_deadline()
            if self.overdue or time.monotonic() >= self.end_due:
                return self._abandon()
        tracker = self.tracker
        tracker.progressed = False
        if self.monitor is not None:
            self.monitor.begin_step()
        started = time.monotonic()
        outer = stepping.tracker
        stepping.tracker = tracker
        try:
            self.stepping = True
            running = self.interpreter.run()
        except _Abandon:
            self.stepping = False
            return self._abandon()
        except _Interrupt:
            self.stepping = False
            self.unreported = False
            if self.fallback is not None:
                self.fallback.cancel()
            self.interrupted_at(_contexts(self.interpreter))
            self._request_stop()
            return _AT_ONCE
        except Exception as error:  # ZoError is not a module attribute
            self.stepping = False
            return self._fail(error)
        except KeyboardInterrupt:
            # The second Ctrl-C abandons __end; one not ours stops first.
            self.stepping = False
            if self.outcome != "interrupted":
                self._stop_quietly()
            raise
        except BaseException:
            # A native's SystemExit, say: __end runs before it goes on.
            self.stepping = False
            self._stop_quietly()
            raise
        finally:
            self.stepping = False
            stepping.tracker = outer
        if self.unreported:
            self.unreported = False
            self.interrupted_at(None)
        if not running:
            if self.failure is not None:
                raise self.failure
            return False
        if self.deadline_at is not None and time.monotonic() >= self.deadline_at:
            self._deadline()
        return self._next_at(started)

    def _abandon(self):
        """Leaves __end where it stands, the deadline's second period over."""
        self.end_abandoned = True
        if self.failure is not None:
            raise self.failure
        return False

    def _next_at(self, started):
        tracker = self.tracker
        if tracker.progressed or (self.exact and not tracker.active):
            return _AT_ONCE
        if self.stop_requested and self.interpreter.status not in ("ending", "ended"):
            return _AT_ONCE  # a request made during the step acts in the next
        due = Tracker.WAKE
        needs_tick = self.can_yield or not self.exact
        for when in tracker.active.values():
            if when is None:
                needs_tick = True
            elif when < due:
                due = when
        if needs_tick:
            if self.tick <= 0:
                return _AT_ONCE
            due = min(due, started + self.tick)
        if self.deadline_at is not None and not self.outcome == "deadline":
            due = min(due, self.deadline_at)
        if self.end_due is not None:
            due = min(due, self.end_due)
        return due

    def _timeout(self, at):
        if at is _AT_ONCE:
            return 0.0
        if at == Tracker.WAKE:
            return None
        return min(max(0.0, at - time.monotonic()), _LONGEST_SLEEP)

    def _sleep(self, at, event):
        timeout = self._timeout(at)
        if timeout == 0.0:
            return
        try:
            self.sleeping = True
            if self.signalled:
                return  # a stop was requested since the step: no sleep
            if Tracker.WAKE in self.tracker.active.values():
                event.wait(timeout)
            else:
                time.sleep(timeout)  # nothing but a signal can cut it short
        except _Woken:
            pass
        finally:
            self.sleeping = False

    def _fail(self, error):
        if self.stop_requested:
            # __end failed: the program has ended.
            self.stop_failed(error)
            if self.failure is not None:
                raise self.failure
            return False
        self.failed(error)
        self.failure = error
        if hasattr(self.interpreter, "request_stop"):
            self._request_stop()
            return _AT_ONCE
        self._stop_quietly()
        raise error

    # Stopping.

    def _request_stop(self, wake=None):
        self.stop_requested = True
        request = getattr(self.interpreter, "request_stop", None)
        if request is None:
            self.stop_wanted = True
        else:
            request()
        (wake or self.wake)()

    def _stop_now(self):
        self.stop_wanted = False
        self._stop_quietly()
        return False

    def _stop_quietly(self):
        """stop(), with a failure of __end reported to `stop_failed`."""
        outer = stepping.tracker
        stepping.tracker = self.tracker
        try:
            self.interpreter.stop()
        except Exception as error:
            self.stop_failed(error)
        finally:
            stepping.tracker = outer

    def _deadline(self):
        """The deadline has come (on the timer's thread, or the loop's):
        a stop is requested, and __end has as long again."""
        with self.lock:  # not once the run is over, when the loop may be closed
            if self.outcome != "ended" or self.over:
                return
            self.outcome = "deadline"
            self.end_due = time.monotonic() + self.deadline
            self.end_timer = threading.Timer(self.deadline, self._end_overdue)
            self.end_timer.daemon = True
            self.end_timer.start()
            self._request_stop()

    def _end_overdue(self):
        """On the timer's thread: __end has had its period. Between steps the
        loop sees it by itself; a step that runs on (a loop in __end) is cut
        short as a second SIGINT cuts it, where the driver has the handler."""
        with self.lock:
            if self.over:
                return
            self.overdue = True
            if self.stepping and self.saved_handler is not None:
                signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
            self.wake()

    def _on_sigint(self, signum, frame):
        if self.overdue:
            if self.stepping:
                raise _Abandon
            if self.sleeping:
                raise _Woken
            return
        if self.outcome == "interrupted":
            raise KeyboardInterrupt
        self.outcome = "interrupted"
        if self.stepping:
            # In the middle of a step, contexts() knows no places: the step
            # is made to fail here, and the driver asks once it has. Should
            # the failure not come through, a request stops it shortly.
            self.unreported = True
            self.fallback = threading.Timer(_FALLBACK, self._request_stop)
            self.fallback.daemon = True
            self.fallback.start()
            raise _Interrupt
        self.signalled = True
        contexts = _contexts(self.interpreter)
        self.interrupted_at(contexts)
        self._request_stop(self.wake_from_handler)
        if self.sleeping:
            raise _Woken

    # Around the loop.

    def _begin(self, wake_on_completion):
        self.tracker.active.clear()
        self.tracker.wake = wake_on_completion
        self.deadline_at = None
        self.timer = None
        self.end_due = None  # once the deadline has passed: when __end is abandoned
        self.end_timer = None
        self.deadline_told = False
        self.overdue = False
        self.over = False
        self.lock = threading.Lock()
        self.saved_handler = None
        if hasattr(self.interpreter, "end_in_steps"):
            self.interpreter.end_in_steps = True
        if self.deadline is not None:
            self.deadline_at = time.monotonic() + self.deadline
            # A thread, so that the deadline also cuts a step that runs on.
            self.timer = threading.Timer(self.deadline, self._deadline)
            self.timer.daemon = True
            self.timer.start()
        if self.signals and threading.current_thread() is threading.main_thread():
            self.saved_handler = signal.signal(signal.SIGINT, self._on_sigint)

    def _finish(self):
        if self.recorder is not None:
            self.recorder.close()
        self.tracker.wake = _nothing
        with self.lock:
            self.over = True
            for timer in (self.timer, self.end_timer):
                if timer is not None:
                    timer.cancel()
        if self.saved_handler is not None:
            signal.signal(signal.SIGINT, self.saved_handler)

    def _tell_deadline(self):
        if self.end_due is not None and not self.deadline_told:
            self.deadline_told = True
            self.deadline_passed()

    def _result(self):
        self._tell_deadline()
        return self.outcome


class _AsyncWake:
    """A wake-up for the async driver that any thread may set."""

    def __init__(self, loop):
        self.loop = loop
        self.thread = threading.get_ident()
        self.flag = False
        self.future = None

    def set(self):
        """For a call's completion: at once on the loop's own thread (a
        task's), through the loop's self-pipe from a thread's."""
        if threading.get_ident() == self.thread:
            self._set()
        else:
            self.loop.call_soon_threadsafe(self._set)

    def set_threadsafe(self):
        """For a signal handler, which may run while the loop waits in its
        selector, and for the deadline's timer."""
        self.loop.call_soon_threadsafe(self._set)

    def _set(self):
        self.flag = True
        if self.future is not None and not self.future.done():
            self.future.set_result(None)

    def clear(self):
        self.flag = False

    async def sleep(self, timeout):
        if timeout == 0.0 or self.flag:
            await asyncio.sleep(0)
            return
        self.future = self.loop.create_future()
        later = self.loop.call_later(timeout, self._set) if timeout is not None else None
        try:
            await self.future
        finally:
            self.future = None
            if later is not None:
                later.cancel()


def _nothing():
    pass


def _contexts(interpreter):
    try:
        return interpreter.contexts()
    except (AttributeError, RuntimeError):
        return None


def driver(program, host=None, *, tick=DEFAULT_TICK, deadline=None, trace=None, signals=True,
           path="<program>", record=None):
    """A Driver for `program`: Zo source text, or an Interpreter. From
    source, `host` (default: a standard `zo.Host`) compiles it, and every
    native it calls is watched, so that waits are exact. `record` records
    the run: the path of the record to write, or a `zo.recording.Recorder`
    (through which an Interpreter's natives must have been registered)."""
    if host is None:
        from zo.host import Host

        host = Host()
    if isinstance(program, zolangpy.Interpreter):
        recorder = _interpreter_recorder(record)
        return Driver(program, host, tick=tick, deadline=deadline, exact=False, signals=signals,
                      recorder=recorder)
    monitor = Monitor(trace)
    wrap, recorder = monitor.wrap, None
    if record is not None:
        from zo.recording.recorded import recorded_host, recorder_for

        recorder = recorder_for(record, program, path)
        host, wrap = recorded_host(host, recorder, wrap)
    try:
        interpreter = host.compile(program, path, wrap=wrap)
    except BaseException:
        if recorder is not None:
            recorder.close()  # the record says why the run never started
        raise
    monitor.interpreter = interpreter
    return Driver(interpreter, host, tick=tick, deadline=deadline, monitor=monitor,
                  can_yield=may_yield(program), signals=signals, recorder=recorder)


def _interpreter_recorder(record):
    if record is None:
        return None
    from zo.recording import Recorder

    if not isinstance(record, Recorder):
        raise TypeError("to record a program given as an Interpreter, pass the "
                        "zo.recording.Recorder its natives were registered through")
    return record


def may_yield(text):
    """Whether a program's source or IR text may `yield`: a context that
    yields is invisible to the host, so the driver then steps once a tick."""
    return re.search(r"\byield\b", text) is not None


def run(program, host=None, **options):
    """Runs `program` (source text, or an Interpreter) until it has ended;
    returns "ended", "interrupted" (SIGINT) or "deadline". A failed step
    raises its ZoError once `__end` has run."""
    return driver(program, host, **options).run()


async def run_async(program, host=None, **options):
    """`run` on the running asyncio loop; cancelling it stops the program,
    runs `__end` and then raises CancelledError."""
    return await driver(program, host, **options).run_async()
