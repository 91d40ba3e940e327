"""Control of a running program from Python: limits on run() and stop(),
signals that interrupt them, and host exceptions that are not errors."""

import os
import signal
import subprocess
import time

import pytest
import zolangpy

from conftest import Command, Raises, raises_zo_error


def compiled(source, **natives):
    compiler = zolangpy.Compiler()
    for name, generator in natives.items():
        compiler.register_callable(name, generator)
    assert compiler.compile(source)
    return compiler.into_interpreter()


RUNAWAY = "while true { }"
# The loop's backward jump and the first instruction of __end's loop.
RUNAWAY_AT = {"run": 7, "stop": 5}


@pytest.mark.parametrize("where", ["run", "stop"])
@pytest.mark.parametrize("limits, text", [
    ({"instructions": 100_000}, "Instruction budget exhausted"),
    ({"seconds": 0.05}, "Time limit exceeded"),
])
def test_a_limit_ends_a_runaway_call_and_end_runs_afterwards(where, limits, text):
    log = []
    looping_end = RUNAWAY if where == "stop" else ""
    source = 'group __end { log; %s } yield; %s' % (looping_end, RUNAWAY if where == "run" else "")
    interpreter = compiled(source, log=Command(log, "log"))
    interpreter.set_limits(**limits)
    assert interpreter.run()  # up to the yield
    expected = "[address %d] %s" % (RUNAWAY_AT[where], text)
    with raises_zo_error(expected):
        interpreter.run() if where == "run" else interpreter.stop()
    if where == "run":
        # As after any failed step: reset waits for stop, which runs __end.
        with raises_zo_error("Cannot modify interpreter state while it's running"):
            interpreter.reset()
        interpreter.stop()
    assert [entry[1] for entry in log] == ["generate", "call"]
    if where == "stop":
        # __end was cut off where it looped: as after any failed stop, only
        # another stop is allowed, and it meets the limit again.
        with raises_zo_error("Cannot modify interpreter state while it's running"):
            interpreter.reset()
        with raises_zo_error(expected):
            interpreter.stop()


def test_the_limits_bound_each_call_and_leave_quick_runs_alone():
    interpreter = compiled("$i = 0; while true { $i += 1; yield; }")
    interpreter.set_limits(instructions=1, seconds=0.0)
    for _ in range(1000):
        assert interpreter.run()


@pytest.mark.parametrize("arguments, error, text", [
    ({"instructions": -1}, ValueError, "argument 'instructions': must not be negative, got -1"),
    ({"instructions": -10 ** 30}, ValueError,
     "argument 'instructions': must not be negative, got -1000000000000000000000000000000"),
    ({"instructions": 1.0}, TypeError, "argument 'instructions': 'float' object cannot be cast as 'int'"),
    ({"instructions": True}, TypeError, "argument 'instructions': 'bool' object cannot be cast as 'int'"),
    ({"seconds": -0.5}, ValueError, "argument 'seconds': must not be negative, got -0.5"),
    ({"seconds": -10 ** 400}, ValueError, "argument 'seconds': must not be negative, got -1" + "0" * 400),
    ({"seconds": float("nan")}, ValueError, "argument 'seconds': must be a number, not NaN"),
    ({"seconds": "1"}, TypeError, "argument 'seconds': 'str' object cannot be cast as 'float'"),
    ({"minutes": 1}, TypeError, None),
])
def test_bad_limits_are_refused(arguments, error, text):
    interpreter = zolangpy.Interpreter()
    with pytest.raises(error) as info:
        interpreter.set_limits(**arguments)
    if text is not None:
        assert str(info.value) == text
    with pytest.raises(TypeError):
        interpreter.set_limits(10)  # keyword-only
    # Huge values and infinity mean no limit at all.
    interpreter.set_limits(instructions=10 ** 30, seconds=10 ** 400)
    interpreter.set_limits(seconds=float("inf"))


def send_sigint_later(*delays):
    """A child process that sends this process SIGINT after each delay."""
    kills = "; ".join("sleep %s; kill -INT %d" % (delay, os.getpid()) for delay in delays)
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    return subprocess.Popen(["sh", "-c", kills], env=env)


class Sleeping(zolangpy.Callable):
    """A native whose first poll blocks for a long time."""

    def call(self):
        time.sleep(60)
        return True


class Makes(zolangpy.CallableGenerator):
    def __init__(self, kind):
        self.kind = kind

    def check_syntax(self, args):
        pass

    def generate(self, args):
        return self.kind()


class Pending(zolangpy.Callable):
    def call(self):
        return False


@pytest.mark.parametrize("case", ["runaway run", "native call", "runaway stop"])
def test_sigint_interrupts_a_long_call_with_keyboard_interrupt(case):
    log = []
    source = {
        "runaway run": "group __end { log; } %s" % RUNAWAY,
        "native call": "group __end { log; } sleep;",
        "runaway stop": "group __end { log; pending; } yield;",
    }[case]
    interpreter = compiled(source, log=Command(log, "log"), sleep=Makes(Sleeping),
                           pending=Makes(Pending))
    if case == "runaway stop":
        assert interpreter.run()
    child = send_sigint_later(0.3)
    started = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            interpreter.run() if case != "runaway stop" else interpreter.stop()
    finally:
        child.wait()
    assert time.monotonic() - started < 30
    if case != "runaway stop":
        # As after a failed step; stop() then runs __end.
        with raises_zo_error("Cannot modify interpreter state while it's running"):
            interpreter.reset()
        interpreter.stop()
    assert ("log", "call", 1) in log


def test_a_handler_that_returns_lets_the_call_go_on_and_one_that_raises_ends_it():
    class Stop(Exception):
        pass

    signals = []

    def handler(signum, frame):
        signals.append(signum)
        if len(signals) == 2:
            raise Stop()

    previous = signal.signal(signal.SIGINT, handler)
    child = send_sigint_later(0.3, 0.3)
    try:
        interpreter = compiled(RUNAWAY)
        with pytest.raises(Stop):
            interpreter.run()
    finally:
        child.wait()
        signal.signal(signal.SIGINT, previous)
    assert signals == [signal.SIGINT, signal.SIGINT]


@pytest.mark.parametrize("exception", [SystemExit(3), KeyboardInterrupt(), GeneratorExit()])
def test_exceptions_that_are_not_errors_pass_through_unchanged(exception):
    log = []
    interpreter = compiled("group __end { log; } fail;", log=Command(log, "log"),
                           fail=Makes(lambda: Raises(exception)))
    with pytest.raises(BaseException) as info:
        interpreter.run()
    assert info.value is exception
    interpreter.stop()
    assert ("log", "call", 1) in log

    class Refuses(zolangpy.CallableGenerator):
        def check_syntax(self, args):
            raise exception

    # Compiling fails as before (the error is stored), then the exception
    # goes on; no later syntax check runs.
    compiler = zolangpy.Compiler()
    refuses = Refuses()
    compiler.register_callable("f", refuses)
    with pytest.raises(BaseException) as info:
        compiler.compile("f; f; f;")
    assert info.value is exception
    assert not compiler.has_program()


def test_a_watchdog_alarm_ends_a_runaway_run():
    def expire(signum, frame):
        raise TimeoutError("watchdog")

    previous = signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    try:
        interpreter = compiled(RUNAWAY)
        with pytest.raises(TimeoutError):
            interpreter.run()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
