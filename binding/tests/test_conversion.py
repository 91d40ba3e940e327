"""Values crossing the boundary, and Python failures reaching the library."""

import math

import pytest
import zolangpy
from conftest import Cell, ir, raises_zo_error


def copy_through(result):
    """Runs `out = p` where p's get returns `result`; returns what out's set got."""
    interpreter = zolangpy.Interpreter(ir('get "p"', 'set "out"'))
    source, sink = Cell(result), Cell(log=[])
    interpreter.register_property("p", source)
    interpreter.register_property("out", sink)
    assert interpreter.run() is False
    (kind, value), = sink.log
    return value


# Looks like numpy's boolean scalar to the binding: the same name and module.
# Like numpy's, it converts to float too, so the bool rule must come first.
FakeNumpyBool = type("bool_", (), {
    "__module__": "numpy",
    "__init__": lambda self, truth: setattr(self, "truth", truth),
    "__bool__": lambda self: self.truth,
    "__float__": lambda self: float(self.truth),
})


class Floaty:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize("result, expected", [
    (True, True),
    (False, False),
    (FakeNumpyBool(True), True),
    (FakeNumpyBool(False), False),
    (1, 1.0),
    (-7, -7.0),
    (2 ** 53, float(2 ** 53)),
    (0.5, 0.5),
    (Floaty(), 2.5),
    (None, None),
    ("", ""),
    ("héllo wörld ✓", "héllo wörld ✓"),
])
def test_property_results_convert_by_kind(result, expected):
    value = copy_through(result)
    assert value == expected
    assert type(value) is type(expected)


def test_a_bool_result_is_a_boolean_and_never_the_number_one():
    assert copy_through(True) is True
    assert copy_through(1) == 1.0 and type(copy_through(1)) is float


def test_special_floats_cross_unchanged():
    assert math.isnan(copy_through(float("nan")))
    assert copy_through(float("-inf")) == float("-inf")
    assert math.copysign(1.0, copy_through(-0.0)) == -1.0


@pytest.mark.parametrize("result", [2 ** 2000, [1], (1,), {}, b"bytes", object(), zolangpy.Prop()])
def test_non_primitive_property_results_fail_the_run(result):
    with raises_zo_error("TypeError('Only primitive types allowed')"):
        copy_through(result)


def test_a_str_that_cannot_be_encoded_is_not_a_primitive():
    with raises_zo_error("TypeError('Only primitive types allowed')"):
        copy_through("\ud800")


@pytest.mark.parametrize("push, expected", [
    ("push 2", 2.0),
    ("push -0", -0.0),
    ('push ""', ""),
    ('push "a b"', "a b"),
    ("push true", True),
    ("push false", False),
    ("push nil", None),
])
def test_values_handed_to_set_arrive_as_python_objects(push, expected):
    interpreter = zolangpy.Interpreter(ir(push, 'set "out"'))
    sink = Cell(log=[])
    interpreter.register_property("out", sink)
    interpreter.run()
    assert sink.log == [("set", expected)]
    assert type(sink.log[0][1]) is type(expected)


class Failing(zolangpy.Prop):
    def __init__(self, error):
        self.error = error

    def get(self):
        raise self.error


@pytest.mark.parametrize("error, text", [
    (KeyError("x"), "KeyError('x')"),
    (ValueError("sensor offline"), "ValueError('sensor offline')"),
    (AssertionError(), "AssertionError()"),
    (RuntimeError("it's \"quoted\""), "RuntimeError('it\\'s \"quoted\"')"),
])
def test_a_python_exception_becomes_a_zo_error_with_its_repr(error, text):
    interpreter = zolangpy.Interpreter(ir('get "p"'))
    interpreter.register_property("p", Failing(error))
    with raises_zo_error(text) as info:
        interpreter.run()
    # Chained as `raise ... from` does, with the traceback into the native.
    assert info.value.__cause__ is error
    assert info.value.__suppress_context__
    assert error.__traceback__.tb_frame.f_code.co_name == "get"


def test_an_exception_class_raised_bare_is_reported_as_an_instance():
    interpreter = zolangpy.Interpreter(ir('get "p"'))
    interpreter.register_property("p", Failing(LookupError))
    with raises_zo_error("LookupError()"):
        interpreter.run()


class BadRepr(Exception):
    def __repr__(self):
        raise ValueError("no repr")


def test_an_exception_whose_repr_fails_is_still_reported():
    interpreter = zolangpy.Interpreter(ir('get "p"'))
    interpreter.register_property("p", Failing(BadRepr()))
    with raises_zo_error("<unprintable BadRepr>"):
        interpreter.run()


# A Native error keeps at most 64 KiB of text: the head, cut between UTF-8
# sequences, and a mark with the full length.
@pytest.mark.parametrize("message, kept", [
    ("x" * 65522, 65536),         # exactly at the bound: kept whole
    ("x" * 65523, 65504),         # one byte over
    ("x" + "é" * 40000, 65503),   # the cut would split an "é"
])
def test_a_long_exception_text_is_cut_with_a_mark(message, kept):
    interpreter = zolangpy.Interpreter(ir('get "p"'))
    interpreter.register_property("p", Failing(ValueError(message)))
    full = repr(ValueError(message)).encode()
    expected = full[:kept]
    if kept < len(full):
        expected += f"... [truncated from {len(full)} bytes]".encode()
    with pytest.raises(Exception) as info:
        interpreter.run()
    assert str(info.value).encode() == expected
    assert len(expected) <= 65536
