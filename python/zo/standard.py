"""The standard natives, written with the kit: ``print``, ``wait`` and
``$time``. `register_standard(host)` adds them to any `zo.Host`."""

import sys
import time

from zo.kit import WordCommand, format_value

_UNITS = {"seconds": 1.0, "second": 1.0, "milliseconds": 0.001, "millisecond": 0.001}


def _check_print(args):
    for position, arg in enumerate(args):
        if arg.is_word():
            raise SyntaxError(
                "print: argument %d is a bare word, which exists only at compile time; "
                "put text in quotes" % (position + 1)
            )


def _check_wait(args):
    if len(args) != 2 or not args[0].is_value() or not args[1].is_word():
        raise SyntaxError("wait: expected 'wait N seconds;' or 'wait N milliseconds;'")
    if not any(args[1].matches_word(word) for word in _UNITS):
        raise SyntaxError("wait: the unit must be 'seconds' or 'milliseconds'")


class _Wait(WordCommand):
    """IR text saved before words reached natives at run time calls wait
    with its value alone (``call "wait" 1``), a number of seconds."""

    def generate(self, args):
        if len(args) == 1:
            args = [args[0], "seconds"]
        return WordCommand.generate(self, args)


def register_standard(host, out=None):
    @host.command("print VALUES...", check=_check_print)
    def print_(*values):
        """Prints its values separated by spaces: strings as their text,
        numbers as Zo writes them (3, not 3.0), true, false and nil."""
        print(" ".join(format_value(v) for v in values), file=out or sys.stdout, flush=True)

    def wait(n: float, unit):
        """Waits N seconds or milliseconds without blocking, on the monotonic clock."""
        due = time.monotonic() + max(0.0, n) * _UNITS[unit]
        left = due - time.monotonic()
        while left > 0:
            yield left  # nothing changes before then: a driver may sleep
            left = due - time.monotonic()

    host.callable("wait", _Wait(host, "wait N " + "|".join(_UNITS), wait, check=_check_wait))

    @host.prop("time")
    def now():
        """Seconds since the run started (read-only)."""
        return host.clock.now()
