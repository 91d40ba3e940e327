"""Soak: thousands of cycles that build, run, stop and reset interpreters with
every kind of native (completing, slow, raising, racing, parallel, properties
carrying strings) must leave the process size flat, and every native must be
released with its interpreter. ZO_SOAK_CYCLES sets the number of cycles per
batch (default 5000; a few hundred for a quick run)."""

import os
import weakref

import pytest
import zolangpy
from conftest import Cell, Command, collect, ir, resident_bytes

CYCLES = int(os.environ.get("ZO_SOAK_CYCLES", "5000"))
NAME = "robot-" + "x" * 2000

PROGRAM = ir(
    "jump 17",
    "__end:", 'get "name"', 'push " parked"', "add", 'set "status"', "return",
    "a:", 'call "drive" 0', "return",
    "b:", 'call "beep" 0', 'call "slow" 0', "return",
    "#c:", 'call "fault" 0', "return",
    "yield",
    'call_parallel "a" 0 "a" 0',
    'call_race "a" 0 "#c" 0 "b" 0',
    'get "name"', 'get "name"', "add", 'set "status"',
    'call "slow" 0')


class Slow(zolangpy.Callable):
    def call(self):
        return False

    def terminate(self):
        raise OSError("stuck")


class Fault(zolangpy.Callable):
    def __init__(self, polls):
        self.polls = polls

    def call(self):
        self.polls -= 1
        if self.polls == 0:
            raise ValueError("motor fault")
        return False


class Make(zolangpy.CallableGenerator):
    def __init__(self, make, made=None):
        self.make, self.made = make, made

    def generate(self, args):
        result = self.make()
        if self.made is not None:
            self.made.add(result)
        return result

    def check_syntax(self, args):
        pass


def one_cycle(index, made=None):
    """Runs one cycle; returns its log. `made`, a WeakSet, receives every
    native the cycle registers or a generator of it makes."""
    log = []
    interpreter = zolangpy.Interpreter(PROGRAM)
    natives = {
        "drive": Command(log, "drive", polls=2),
        "beep": Command(log, "beep", polls=1),
        "slow": Make(Slow, made),
        "fault": Make(lambda: Fault(1 + index % 4), made),
    }
    properties = {"name": Cell(NAME), "status": Cell(log=log)}
    for name, native in natives.items():
        interpreter.register_callable(name, native)
    for name, prop in properties.items():
        interpreter.register_property(name, prop)
    if made is not None:
        made.update([*natives.values(), *properties.values()])
    del natives, properties
    for round_ in range(2):
        for _ in range(index % 7 + round_):
            try:
                if not interpreter.run():
                    break
            except Exception:  # noqa: BLE001 - failing natives are part of the soak
                break
        for method in (interpreter.stop, interpreter.stop, interpreter.reset):
            try:
                method()
            except Exception:  # noqa: BLE001
                pass
    return log


@pytest.mark.skipif(bool(os.environ.get("ZO_SANITIZED")),
                    reason="AddressSanitizer holds freed memory back; sizes say nothing")
def test_many_cycles_with_every_kind_of_native_keep_the_process_size_flat():
    # The first batch lets the heaps reach their working size. A heap may
    # still step up once in a while, so the smallest growth of three batches
    # is judged: a leak grows every one of them.
    for index in range(CYCLES):
        one_cycle(index)
    growths = []
    for _ in range(3):
        collect()
        before = resident_bytes()
        for index in range(CYCLES // 2):
            one_cycle(index)
        collect()
        growths.append(resident_bytes() - before)
    # Each cycle moves strings of 2-4 KiB through the program: a leak of any of
    # them, of a native or of an interpreter would grow a batch by megabytes.
    assert min(growths) < 4 * 1024 * 1024, growths


def test_a_short_soak_runs_every_end_group_and_releases_every_native():
    # Under AddressSanitizer the sanitizer finds leaks of memory; everywhere,
    # a native that outlives its interpreter, or an end group that never ran,
    # fails here.
    made = weakref.WeakSet()
    for index in range(min(CYCLES, 300)):
        log = one_cycle(index, made)
        assert ("set", NAME + " parked") in log, index
    collect(lambda: len(made) == 0)
    assert len(made) == 0, sorted({type(native).__name__ for native in made})
