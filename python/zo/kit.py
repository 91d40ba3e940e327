"""Commands and properties from plain Python callables.

A command is a function registered with a signature (see `zo.signature`).
What kind of function it is decides how its calls run:

- ``instant``: a plain function, called at the call's first poll; its return
  is the call's value.
- ``generator``: a generator function, resumed once per poll. ``yield`` means
  not finished; ``yield SECONDS`` means not finished and not to be resumed
  before SECONDS have passed (polls before then return at once, and a
  driver sleeps until then); ``return`` finishes with the call's value.
  ``terminate`` closes the generator, so its ``finally`` blocks run.
- ``async``: an ``async def``, run as a task on the running asyncio loop;
  ``terminate`` cancels the task.
- ``blocking``: a plain function run on the kit's pool of at most
  `POOL_THREADS` daemon threads. A thread cannot be killed: on ``terminate``
  the function's ``cancel`` parameter (a `threading.Event`), when it has
  one, is set, and it should return soon.

Each command is a `zolangpy.CallableGenerator` and each of its calls a
`zolangpy.Callable`: the layer below, which the kit only fills in.
"""

import asyncio
import concurrent.futures
import decimal
import inspect
import math
import queue
import threading
import time
import types
import typing
import weakref

import zolangpy

from zo.signature import Rest, Signature, SignatureError, Value, Word

# Builds whose natives cannot receive words at run time pass only values to
# `generate`; there a command remembers the words each call site chose.
WORDS_REACH_RUN_TIME = hasattr(zolangpy.Arg, "word")

_NUMBER = (int, float)


class CommandError(TypeError):
    """A call that cannot go ahead (a wrong argument type, a value Zo
    cannot hold). Its repr is its message, which names the command."""

    def __repr__(self):
        return str(self.args[0]) if self.args else "CommandError"


def format_value(value):
    """A value as Zo shows it: 3 rather than 3.0, strings without quotes."""
    if value is None:
        return "nil"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, float):
        if math.isnan(value):
            return "NaN"
        if math.isinf(value):
            return "inf" if value > 0 else "-inf"
        # The shortest text that reads back (repr), written out without an
        # exponent and without a trailing ".0".
        return format(decimal.Decimal(repr(value)).normalize(), "f")
    return str(value)


def show(value):
    """A value as a Zo source would write it: strings in double quotes."""
    return '"%s"' % value if isinstance(value, str) else format_value(value)


# Conversions of the annotations the kit understands: (what the value must
# be, test, conversion).
_CONVERSIONS = {
    float: ("a number", lambda v: isinstance(v, _NUMBER) and not isinstance(v, bool), float),
    int: ("a whole number",
          lambda v: isinstance(v, _NUMBER) and not isinstance(v, bool) and float(v).is_integer(),
          int),
    str: ("a string", lambda v: isinstance(v, str), None),
    bool: ("true or false", lambda v: isinstance(v, bool), None),
}


# `Optional[float]` and, from Python 3.10, `float | None`.
_UNIONS = (typing.Union,) + ((types.UnionType,) if hasattr(types, "UnionType") else ())


def converter(annotation, what):
    """A function that checks and converts a value for `annotation`, naming
    `what` (``move: X``) when it refuses one; None when nothing is checked."""
    optional = False
    if typing.get_origin(annotation) in _UNIONS:
        members = [a for a in typing.get_args(annotation) if a is not type(None)]
        optional = len(members) < len(typing.get_args(annotation))
        annotation = members[0] if len(members) == 1 else None
    if annotation not in _CONVERSIONS:
        return None
    must, test, convert = _CONVERSIONS[annotation]
    if optional:
        must += " or nil"

    def check(value):
        if value is None and optional:
            return None
        if not test(value):
            raise CommandError("%s must be %s, got %s" % (what, must, show(value)))
        return convert(value) if convert else value

    check.type_name = _TYPE_NAMES[annotation] + ("?" if optional else "")
    return check


_TYPE_NAMES = {float: "number", int: "number", str: "string", bool: "bool"}


def zo_value(value, what):
    """`value` if Zo can hold it, else CommandError naming `what`."""
    if value is None or isinstance(value, (bool, float, str)):
        return value
    if isinstance(value, int):
        try:
            float(value)
        except OverflowError:
            raise CommandError("%s gave %s, a whole number too large for Zo's numbers (at most "
                               "about 1.8e308)" % (what, _abridged(value))) from None
        return value
    raise CommandError("%s gave a %s, which Zo cannot hold (a number, a string, true, false "
                       "or nil)" % (what, type(value).__name__))


def _abridged(number):
    text = str(number)
    digits = len(text.lstrip("-"))
    return text if digits <= 20 else "%s...%s (%d digits)" % (text[:6], text[-3:], digits)


def _nothing():
    pass


class Tracker:
    """What the calls of one run are doing, for its driver to decide when to
    step: the calls that are pending (`active`, each with its due: None to
    be polled again a tick later, a time on `time.monotonic()`, or `WAKE`
    when it wakes the driver itself), and whether a call finished since
    `progressed` was last cleared (its context goes on in the next step).
    `wake` is called, from any thread, when a call has finished on its own.

    Calls are held weakly: one that the interpreter drops without
    terminating it (``reset()``, an interpreter thrown away after a failed
    step) is collected, and a generator's ``finally`` then runs."""

    WAKE = float("inf")

    def __init__(self):
        self.active = weakref.WeakKeyDictionary()
        self.progressed = False
        self.wake = _nothing

    def pending(self, call, due=None):
        """`call` is pending until `due` (see `active`), from its start on."""
        self.active[call] = due

    def finished(self, call):
        self.progressed = True
        self.active.pop(call, None)


class _NoRun(Tracker):
    """The record of calls made outside any driver, in a host's own loop:
    nobody reads it, so it keeps nothing."""

    def pending(self, call, due=None):
        pass

    def finished(self, call):
        pass


class _Stepping(threading.local):
    """The run whose step this thread is in: its driver sets `tracker`
    around every step, so that a call made there reports to that run alone,
    however many programs share the host."""

    tracker = _NoRun()


stepping = _Stepping()


class Command(zolangpy.CallableGenerator):
    """A command made from a function; `kind` is one of instant, generator,
    async, blocking."""

    def __init__(self, host, signature, function, blocking=False, check=None, doc=None):
        self.signature = signature if isinstance(signature, Signature) else Signature(signature)
        self.name = self.signature.name
        self.function = function
        self.kind = _kind(function, blocking)
        self.doc = inspect.cleandoc(doc or function.__doc__ or "")
        self.__doc__ = self.doc  # what tools that read a native's own docstring find
        self.extra_check = check
        self.host = host
        self.chosen = {}  # words chosen at compile time, where they cannot reach run time
        self.words_arrive = self.signature.needs_words and WORDS_REACH_RUN_TIME
        self._bind_parameters()
        self.make = _CALLS[self.kind]

    def _bind_parameters(self):
        parameters = inspect.signature(self.function).parameters
        try:
            hints = typing.get_type_hints(self.function)
        except Exception:  # an annotation that does not resolve checks nothing
            hints = {}
        named = {part.parameter for part in self.signature.bound if not isinstance(part, Word)}
        free = [p for p in parameters if p not in named and p != "cancel"
                and parameters[p].kind not in (inspect.Parameter.VAR_KEYWORD,)]
        for part in self.signature.bound:
            if isinstance(part, Word):
                if not free:
                    raise ValueError("%s: no parameter of %s() is left for '%s'"
                                     % (self.name, self.function.__name__, part))
                part.parameter = free.pop(0)
            elif part.parameter not in parameters:
                raise ValueError("%s: the signature names %s, but %s() has no parameter %r"
                                 % (self.name, part.name, self.function.__name__, part.parameter))
        # A tail into `*values` goes by position, and so then must every
        # parameter before it.
        self.rest_positional = next(
            (p.parameter for p in self.signature.bound if isinstance(p, Rest)
             and parameters[p.parameter].kind == inspect.Parameter.VAR_POSITIONAL), None)
        self.before_rest = []
        if self.rest_positional is not None:
            for name, parameter in parameters.items():
                if name == self.rest_positional:
                    break
                if name not in named and name not in (w.parameter for w in self.signature.bound):
                    if parameter.default is inspect.Parameter.empty:
                        raise ValueError("%s: the signature leaves %s() no value for %r"
                                         % (self.name, self.function.__name__, name))
                self.before_rest.append((name, parameter.default))
        self.converters = {}
        self.types = {}
        for part in self.signature.bound:
            if isinstance(part, Word):
                continue
            convert = converter(hints.get(part.parameter), "%s: %s" % (self.name, part.name))
            if convert is not None:
                self.converters[part.parameter] = convert
                self.types[part.parameter] = convert.type_name
        self.takes_cancel = "cancel" in parameters
        if self.takes_cancel and self.kind != "blocking":
            raise ValueError("%s: only a blocking command receives 'cancel'" % self.name)

    def check_syntax(self, args):
        if self.extra_check is not None:
            self.extra_check(args)
        self.signature.check(args)
        if self.signature.needs_words and not WORDS_REACH_RUN_TIME:
            self._remember_words(args)

    def _remember_words(self, args):
        for part, choice in _words_of(self.signature, args):
            earlier = self.chosen.setdefault(part.parameter, choice)
            if earlier != choice:
                raise SignatureError("%s: this build passes words to natives only at compile time, "
                                     "so use one of %s in a whole program" % (self.name, part))

    def generate(self, args):
        bound = self.signature.bind(args, self.words_arrive)
        if self.signature.needs_words and not self.words_arrive:
            bound.update(self.chosen)
        for parameter, convert in self.converters.items():
            if parameter in bound:
                value = bound[parameter]
                bound[parameter] = ([convert(v) for v in value] if isinstance(value, list)
                                    else convert(value))
        positional = ()
        if self.rest_positional is not None:
            rest = bound.pop(self.rest_positional)
            positional = tuple(bound.pop(name, default) for name, default in self.before_rest)
            positional += tuple(rest)
        tracker = stepping.tracker
        if self.make is _Instant:
            tracker.progressed = True  # it finishes at its first poll: its context goes on
        return self.make(self, tracker, positional, bound)

    def trace_values(self, args):
        """The values among a call's run-time arguments, for a trace."""
        if not self.words_arrive:
            return list(args)
        bound = self.signature.bind(args, True)
        values = []
        for part in self.signature.bound:
            if isinstance(part, Value) and part.parameter in bound:
                values.append(bound[part.parameter])
            elif isinstance(part, Rest):
                values.extend(bound.get(part.parameter, ()))
        return values


class WordCommand(Command):
    """A command whose alternatives reach it at run time."""

    words_at_run_time = True


def make_command(host, signature, function, **options):
    parsed = Signature(signature)
    if not callable(function):
        raise ValueError("%s: a command is a function, not %s (%r)"
                         % (parsed.name, type(function).__name__, function))
    made = WordCommand if parsed.needs_words else Command
    return made(host, parsed, function, **options)


def _kind(function, blocking):
    if inspect.isasyncgenfunction(function):
        raise ValueError("%s is an async generator; a command is a function, a generator "
                         "function or an async def" % function.__name__)
    if inspect.iscoroutinefunction(function):
        kind = "async"
    elif inspect.isgeneratorfunction(function):
        kind = "generator"
    else:
        return "blocking" if blocking else "instant"
    if blocking:
        raise ValueError("%s: only a plain function can be blocking" % function.__name__)
    return kind


def _words_of(signature, args):
    """(Word part, chosen word) of the bound words at a compile-time call."""
    index = 0
    parts = list(signature.parts)
    # Bound words stand only outside optional parts in this fallback.
    for part in parts:
        if index >= len(args):
            break
        if isinstance(part, Word) and part.bound:
            yield part, next(c for c in part.choices if args[index].matches_word(c))
        if isinstance(part, (Word, Value)):
            index += 1


def _weak_slot():
    """The slot that lets a tracker hold calls weakly, where the base class
    does not give one already (PyPy's does, CPython's does not)."""

    class Probe(zolangpy.Callable):
        __slots__ = ()

    try:
        weakref.ref(Probe())
    except TypeError:
        return ("__weakref__",)
    return ()


class _Call(zolangpy.Callable):
    """A call of a command: `value` is the call's value once it finished;
    `tracker` the record of the run that made it. Slots: a poll reads the
    attributes of its call, and that is the cost of a poll beyond the
    function's own (and a weak reference, for the tracker)."""

    __slots__ = ("command", "tracker", "positional", "keywords", "value") + _weak_slot()

    def __init__(self, command, tracker, positional, keywords):
        self.command = command
        self.tracker = tracker
        self.positional = positional
        self.keywords = keywords
        self.value = None

    def result(self):
        return zo_value(self.value, self.command.name)


class _Instant(_Call):
    __slots__ = ()

    def call(self):
        self.value = self.command.function(*self.positional, **self.keywords)
        return True


class _Resumed(_Call):
    __slots__ = ("generator", "resume", "due")

    def __init__(self, command, tracker, positional, keywords):
        _Call.__init__(self, command, tracker, positional, keywords)
        self.generator = command.function(*positional, **keywords)
        self.resume = self.generator.__next__
        self.due = None  # after `yield SECONDS`: not resumed before this time
        tracker.pending(self)

    def call(self):
        if self.due is not None:
            if time.monotonic() < self.due:
                return False
            self.due = None
            self.tracker.pending(self)
        try:
            pause = self.resume()
            if pause is None:
                return False
        except StopIteration as stop:
            self.value = stop.value
            self.tracker.finished(self)
            return True
        except BaseException:
            self.tracker.finished(self)  # the step fails: the call is over
            raise
        self.due = time.monotonic() + _pause(self.command.name, pause)
        self.tracker.pending(self, self.due)
        return False

    def terminate(self):
        self.tracker.finished(self)
        self.generator.close()


def _pause(name, pause):
    """The seconds of a `yield SECONDS`: a finite number, below 0 taken as 0.
    Anything else fails the call, as a pause without end would stall the
    driver that sleeps through it."""
    if isinstance(pause, _NUMBER) and not isinstance(pause, bool):
        try:
            seconds = float(pause)
        except OverflowError:
            seconds = math.inf
        if math.isfinite(seconds):
            return max(0.0, seconds)
    raise CommandError("%s: yield gave %s, where a generator command yields nothing or a finite "
                       "number of seconds" % (name, show(pause)))


class _Task(_Call):
    __slots__ = ("task",)

    def __init__(self, command, tracker, positional, keywords):
        _Call.__init__(self, command, tracker, positional, keywords)
        self.task = None

    def call(self):
        task = self.task
        if task is None:
            try:
                loop = asyncio.get_running_loop()
            except RuntimeError:
                raise CommandError("%s is an async command: run the program on an asyncio loop, "
                                   "with zo.run_async" % self.command.name) from None
            self.task = loop.create_task(self.command.function(*self.positional, **self.keywords))
            tracker = self.tracker
            tracker.pending(self, Tracker.WAKE)
            self.task.add_done_callback(lambda _: tracker.wake())
            return False
        if not task.done():
            return False
        self.tracker.finished(self)
        self.value = task.result()  # raises what the task raised
        return True

    def terminate(self):
        self.tracker.finished(self)
        if self.task is not None:
            self.task.cancel()


class _Threaded(_Call):
    __slots__ = ("future", "cancel")

    def __init__(self, command, tracker, positional, keywords):
        _Call.__init__(self, command, tracker, positional, keywords)
        self.future = None

    def call(self):
        future = self.future
        if future is None:
            keywords = self.keywords
            if self.command.takes_cancel:
                self.cancel = threading.Event()
                keywords = dict(keywords, cancel=self.cancel)
            self.future = POOL.submit(self.command.function, self.positional, keywords)
            tracker = self.tracker
            tracker.pending(self, Tracker.WAKE)
            self.future.add_done_callback(lambda _: tracker.wake())
            return False
        if not future.done():
            return False
        self.tracker.finished(self)
        self.value = future.result()
        return True

    def terminate(self):
        self.tracker.finished(self)
        if self.future is not None and not self.future.cancel() and self.command.takes_cancel:
            self.cancel.set()


_CALLS = {"instant": _Instant, "generator": _Resumed, "async": _Task, "blocking": _Threaded}


class Property(zolangpy.Prop):
    """A property from a getter and, when settable, a setter. `check` takes
    a new value and returns False (or raises ValueError) to refuse it."""

    def __init__(self, name, get, set=None, check=None, type=None, doc=None):
        self.name = name
        self.getter = get
        self.setter_function = None
        self.check = check
        self.doc = inspect.cleandoc(doc or getattr(get, "__doc__", None) or "")
        self.__doc__ = self.doc
        self.convert = None
        self.type_name = None
        self.set_type(type)
        if set is not None:
            self.setter(set)

    def set_type(self, annotation):
        self.convert = converter(annotation, "$" + self.name)
        self.type_name = self.convert.type_name if self.convert else None

    def setter(self, function):
        """Makes the property settable; a decorator, as for `property`."""
        self.setter_function = function
        if self.convert is None:
            try:
                hints = typing.get_type_hints(function)
            except Exception:
                hints = {}
            names = [p for p in inspect.signature(function).parameters]
            if names and names[0] in hints:
                self.set_type(hints[names[0]])
        return self

    def get(self):
        return zo_value(self.getter(), "$" + self.name)

    def set(self, value):
        if self.convert is not None:
            value = self.convert(value)
        if self.check is not None:
            try:
                accepted = self.check(value)
            except ValueError as error:
                raise CommandError("$%s: %s" % (self.name, error)) from error
            if accepted is False:
                raise CommandError("$%s: %s is not a valid value" % (self.name, show(value)))
        self.setter_function(value)

    def is_settable(self):
        return self.setter_function is not None


# The most threads that blocking commands run on at once, in the whole
# process; further calls wait in line for a free thread.
POOL_THREADS = 32


class _Pool:
    """Daemon threads for blocking commands, started as calls need them, up
    to `limit`, and kept for later calls. Unlike the workers of
    `concurrent.futures.ThreadPoolExecutor`, which the interpreter joins at
    exit, a daemon thread stuck in a call that never returns does not hold
    up the host's exit: a thread cannot be killed."""

    def __init__(self, limit):
        self.limit = limit
        self.work = queue.SimpleQueue()
        self.idle = threading.Semaphore(0)  # one release per thread waiting for work
        self.lock = threading.Lock()
        self.threads = 0

    def submit(self, function, positional, keywords):
        """A `concurrent.futures.Future` of `function`; cancelling it before
        a thread takes it up means it never runs."""
        future = concurrent.futures.Future()
        self.work.put((future, function, positional, keywords))
        if not self.idle.acquire(blocking=False):
            with self.lock:
                if self.threads < self.limit:
                    self.threads += 1
                    threading.Thread(target=self._serve, name="zo-command-%d" % self.threads,
                                     daemon=True).start()
        return future

    def _serve(self):
        while True:
            _run(*self.work.get())  # in a function, so that nothing is kept while idle
            self.idle.release()


def _run(future, function, positional, keywords):
    if not future.set_running_or_notify_cancel():
        return
    try:
        value = function(*positional, **keywords)
    except BaseException as error:
        future.set_exception(error)
    else:
        future.set_result(value)


POOL = _Pool(POOL_THREADS)
