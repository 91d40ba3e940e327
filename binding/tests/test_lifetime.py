"""Object lifetimes: type references held by instances, references held by
adapters, and no growth over many run cycles with failing natives."""

import gc
import os
import sys
import weakref

import pytest
import zolangpy
from conftest import IS_PYPY, Cell, Command, collect, ir, resident_bytes


# Listed after the zolangpy base in each class below: PyPy 7.3.11 builds
# instances of a class whose first base is a plain Python class with
# object.__new__, which refuses constructor arguments.
class Tracked:
    """Counts live instances of each subclass; a leak shows as a nonzero count."""

    live = {}

    def __init__(self, *args, **kwargs):
        name = type(self).__name__
        Tracked.live[name] = Tracked.live.get(name, 0) + 1
        self.ballast = bytearray(16384)  # makes a leak visible in the process size

    def __del__(self):
        Tracked.live[type(self).__name__] -= 1


class FailingCall(zolangpy.Callable, Tracked):
    def call(self):
        raise ValueError("motor fault")


class FailingTerminate(zolangpy.Callable, Tracked):
    def call(self):
        return False

    def terminate(self):
        raise OSError("stuck")


class Generator(zolangpy.CallableGenerator, Tracked):
    def __init__(self, kind):
        Tracked.__init__(self)
        self.kind = kind

    def generate(self, args):
        return self.kind()


class FailingProp(zolangpy.Prop, Tracked):
    def get(self):
        raise KeyError("sensor")


PROGRAM = ir("jump 3", "__end:", "return", 'call "fault" 0', 'call "slow" 0', 'get "p"')


def one_cycle():
    interpreter = zolangpy.Interpreter(PROGRAM)
    interpreter.register_callable("fault", Generator(FailingCall))
    interpreter.register_callable("slow", Generator(FailingTerminate))
    interpreter.register_property("p", FailingProp())
    for _ in range(2):
        try:
            interpreter.run()
        except Exception:  # noqa: BLE001 - every failure is expected here
            pass
        for method in (interpreter.stop, interpreter.reset):
            try:
                method()
            except Exception:  # noqa: BLE001
                pass


def test_many_cycles_with_failing_natives_leave_nothing_alive():
    def nothing_alive():
        return all(count == 0 for count in Tracked.live.values())

    # The first batch lets PyPy's heap reach its working size; a leak grows
    # every later batch, while the heap's own steps happen now and then.
    growths = []
    for batch in range(4):
        before = resident_bytes()
        for _ in range(500):
            one_cycle()
        collect(nothing_alive)
        assert nothing_alive(), Tracked.live
        if batch > 0:
            growths.append(resident_bytes() - before)
    # Each cycle makes three natives of 16 KiB each: leaking them would grow
    # each batch by about 24 MiB. AddressSanitizer holds freed memory back on
    # purpose, so the size says nothing there.
    if not os.environ.get("ZO_SANITIZED"):
        assert min(growths) < 8 * 1024 * 1024, growths


def test_registered_natives_are_released_with_their_interpreter():
    generator, prop = Command([], "f"), Cell()
    refs = [weakref.ref(generator), weakref.ref(prop)]
    interpreter = zolangpy.Interpreter(ir('call "f" 0'))
    interpreter.register_callable("f", generator)
    interpreter.register_property("p", prop)
    del generator, prop
    collect()
    assert all(ref() is not None for ref in refs)
    del interpreter
    collect(lambda: all(ref() is None for ref in refs))
    assert all(ref() is None for ref in refs)


def test_a_refused_registration_releases_the_native():
    interpreter = zolangpy.Interpreter()
    interpreter.run()
    prop = Cell()
    ref = weakref.ref(prop)
    with pytest.raises(Exception):
        interpreter.register_property("p", prop)
    del prop
    collect(lambda: ref() is None)
    assert ref() is None


def test_a_completed_call_is_released():
    log = []
    interpreter = zolangpy.Interpreter(ir('call "f" 0', "yield"))
    generator = Command(log, "f")
    made = []
    original = generator.generate

    def generate(args):
        result = original(args)
        made.append(weakref.ref(result))
        return result

    generator.generate = generate
    interpreter.register_callable("f", generator)
    interpreter.run()
    interpreter.run()
    collect(lambda: made[0]() is None)
    assert made[0]() is None


@pytest.mark.parametrize("base", [zolangpy.Callable, zolangpy.CallableGenerator, zolangpy.Prop])
def test_dropping_many_instances_and_then_their_class_is_safe(base):
    refs = []
    for _ in range(20):
        sub = type("Sub", (base,), {})
        instances = [sub() for _ in range(500)] + [base() for _ in range(500)]
        del instances
        refs.append(weakref.ref(sub))
        del sub
    collect(lambda: IS_PYPY or all(ref() is None for ref in refs))
    assert type(base()) is base
    if not IS_PYPY:  # PyPy keeps classes that crossed into C alive longer
        assert all(ref() is None for ref in refs)


@pytest.mark.skipif(not hasattr(sys, "getrefcount"), reason="needs reference counts")
@pytest.mark.parametrize("make", [
    zolangpy.Interpreter, zolangpy.Compiler, zolangpy.Callable, zolangpy.Prop,
    lambda: zolangpy.Interpreter("yield\n"),
])
def test_instances_give_back_their_reference_to_the_class(make):
    cls = type(make())
    collect()
    before = sys.getrefcount(cls)
    instances = [make() for _ in range(1000)]
    assert sys.getrefcount(cls) == before + 1000
    del instances
    collect()
    assert sys.getrefcount(cls) == before
