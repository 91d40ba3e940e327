"""Shared helpers: host natives that record what the interpreter asks of them,
and small utilities for writing programs as IR text."""

import contextlib
import gc
import os
import platform

import pytest
import zolangpy

IS_PYPY = platform.python_implementation() == "PyPy"


def ir(*lines):
    """A program text: one instruction per line, each ending in a newline."""
    return "".join(line + "\n" for line in lines)


def zo_error_type():
    """The ZoError class, obtained the only way a host can: by catching one."""
    try:
        zolangpy.Interpreter("not-an-op")
    except Exception as error:  # noqa: BLE001 - the type is what we want
        return type(error)
    raise AssertionError("invalid IR was accepted")


@contextlib.contextmanager
def raises_zo_error(text):
    """Expects a ZoError whose message is exactly `text`."""
    with pytest.raises(Exception) as info:
        yield info
    assert type(info.value).__name__ == "ZoError", repr(info.value)
    assert str(info.value) == text


def an_arg():
    """A real Arg, as check_syntax receives it."""
    seen = []

    class Keep(zolangpy.CallableGenerator):
        def check_syntax(self, args):
            seen.extend(args)

    compiler = zolangpy.Compiler()
    compiler.register_callable("f", Keep())
    assert compiler.compile("f 1;")
    return seen[0]


def collect(done=lambda: False):
    """Collects until `done()` holds, at most a generous number of times:
    PyPy frees extension objects one link of a reference chain per pass."""
    for _ in range(30 if IS_PYPY else 2):
        gc.collect()
        if done():
            return


def resident_bytes():
    """The process's resident memory, in bytes."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_until_done(interpreter, limit=1000):
    """Runs until run() returns False; returns how many runs returned True."""
    for count in range(limit):
        if not interpreter.run():
            return count
    raise AssertionError("program did not finish")


class Polled(zolangpy.Callable):
    """A native call that completes on its `polls`-th poll."""

    def __init__(self, log, name, args, polls):
        self.log, self.name, self.args, self.polls = log, name, args, polls
        self.count = 0

    def call(self):
        self.count += 1
        self.log.append((self.name, "call", self.count))
        return self.count >= self.polls

    def terminate(self):
        self.log.append((self.name, "terminate"))


class Command(zolangpy.CallableGenerator):
    """Makes a Polled call each time the program reaches the command."""

    def __init__(self, log, name, polls=1):
        self.log, self.name, self.polls = log, name, polls

    def generate(self, args):
        self.log.append((self.name, "generate", args))
        return Polled(self.log, self.name, args, self.polls)

    def check_syntax(self, args):
        pass


class Cell(zolangpy.Prop):
    """A property holding one value; records every write."""

    def __init__(self, value=None, settable=True, log=None):
        self.value, self.settable, self.log = value, settable, log

    def get(self):
        return self.value

    def set(self, value):
        if self.log is not None:
            self.log.append(("set", value))
        self.value = value

    def is_settable(self):
        return self.settable


class Constant(zolangpy.CallableGenerator):
    """A generator whose generate returns a fixed object."""

    def __init__(self, result):
        self.result = result

    def generate(self, args):
        return self.result


class Returns(zolangpy.Callable):
    """A native call whose call returns a fixed result."""

    def __init__(self, result):
        self.result = result

    def call(self):
        return self.result


class Raises(zolangpy.Callable):
    """A native call whose call raises a fixed exception."""

    def __init__(self, error):
        self.error = error

    def call(self):
        raise self.error
