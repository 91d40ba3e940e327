"""The standard host: natives a newcomer can try the language with.

- ``print VALUES...;`` prints its values separated by spaces: strings as their
  text, numbers as Zo writes them (3, not 3.0), true/false/nil.
- ``wait N seconds;`` / ``wait N milliseconds;`` waits without blocking, on the
  monotonic clock.
- ``$time`` (read-only) is the number of seconds since the run started.

A user's own natives come from a ``--host`` file whose ``register(host)``
function calls ``host.callable(name, generator)`` and
``host.property(name, prop)`` on the `Host` passed to it. Registering
anything else raises `HostError`, which ``zo`` reports in one line.
"""

import decimal
import math
import sys
import time

import zolangpy


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


class Clock:
    """Seconds since the run started, on the monotonic clock."""

    def __init__(self):
        self.start = time.monotonic()

    def now(self):
        return time.monotonic() - self.start


class _PrintCall(zolangpy.Callable):
    def __init__(self, out, values):
        self.out = out
        self.values = values

    def call(self):
        print(" ".join(format_value(v) for v in self.values), file=self.out, flush=True)
        return True


class Print(zolangpy.CallableGenerator):
    """``print VALUES...;``"""

    def __init__(self, out=None):
        self.out = out

    def check_syntax(self, args):
        for position, arg in enumerate(args):
            if arg.is_word():
                raise SyntaxError(
                    "print: argument %d is a bare word, which exists only at compile time; "
                    "put text in quotes" % (position + 1)
                )

    def generate(self, args):
        return _PrintCall(self.out or sys.stdout, args)


_UNITS = {"seconds": 1.0, "second": 1.0, "milliseconds": 0.001, "millisecond": 0.001}


class WaitCall(zolangpy.Callable):
    """A pending wait; the run loop reads `deadline` to sleep instead of spinning."""

    def __init__(self, clock, seconds):
        self.clock = clock
        self.deadline = clock.now() + max(0.0, seconds)

    def call(self):
        return self.clock.now() >= self.deadline


class Wait(zolangpy.CallableGenerator):
    """``wait N seconds;`` and ``wait N milliseconds;``.

    Words reach only the compile-time check, never the run, so the unit is
    fixed per program: the check records it, and a program that mixes units
    is refused when it compiles rather than waiting for the wrong time.
    """

    def __init__(self, clock):
        self.clock = clock
        self.unit = None

    def check_syntax(self, args):
        if len(args) != 2 or not args[0].is_value() or not args[1].is_word():
            raise SyntaxError("wait: expected 'wait N seconds;' or 'wait N milliseconds;'")
        unit = next((word for word in _UNITS if args[1].matches_word(word)), None)
        if unit is None:
            raise SyntaxError("wait: the unit must be 'seconds' or 'milliseconds'")
        scale = _UNITS[unit]
        if self.unit is not None and self.unit != scale:
            raise SyntaxError("wait: use one unit, seconds or milliseconds, in a whole program")
        self.unit = scale

    def generate(self, args):
        if len(args) != 1 or isinstance(args[0], (str, bool)) or args[0] is None:
            raise TypeError("wait: the time must be a number, got %r" % (args[0:1] or None,))
        return WaitCall(self.clock, args[0] * (self.unit or 1.0))


class Time(zolangpy.Prop):
    """``$time``: seconds since the run started; read-only."""

    def __init__(self, clock):
        self.clock = clock

    def get(self):
        return self.clock.now()


class HostError(TypeError):
    """A registration that cannot work: the message says which and why."""


def _check_registration(kind, name, value, base):
    if not isinstance(name, str):
        raise HostError("the name of a %s must be a str, not %s (%r)"
                        % (kind, type(name).__name__, name))
    if isinstance(value, base):
        return
    if isinstance(value, type) and issubclass(value, base):
        raise HostError("%s %r is the class %s; register an instance: %s()"
                        % (kind, name, value.__name__, value.__name__))
    raise HostError("%s %r is a %s, not an instance of zolangpy.%s"
                    % (kind, name, type(value).__name__, base.__name__))


class Host:
    """The natives of one run: the standard ones and the user's own."""

    def __init__(self, standard=True, out=None):
        self.clock = Clock()
        self.callables = {}
        self.properties = {}
        if standard:
            self.callable("print", Print(out))
            self.callable("wait", Wait(self.clock))
            self.property("time", Time(self.clock))

    def callable(self, name, generator):
        """Registers a `zolangpy.CallableGenerator` under a call name."""
        _check_registration("callable", name, generator, zolangpy.CallableGenerator)
        self.callables[name] = generator

    def property(self, name, prop):
        """Registers a `zolangpy.Prop` under a property name (without the `$`)."""
        _check_registration("property", name, prop, zolangpy.Prop)
        self.properties[name] = prop

    def register_with(self, target):
        """Registers every native with a `zolangpy.Compiler` or `Interpreter`."""
        for name, generator in self.callables.items():
            target.register_callable(name, generator)
        for name, prop in self.properties.items():
            target.register_property(name, prop)
