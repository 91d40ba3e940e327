"""The base classes' defaults and how the adapters read what natives answer."""

import pytest
import zolangpy
from conftest import (Cell, Command, Constant, Raises, Returns, ir, raises_zo_error,
                      run_until_done)

ONE_CALL = ir('call "f" 0')


def interpreter_with(generator, program=ONE_CALL):
    interpreter = zolangpy.Interpreter(program)
    interpreter.register_callable("f", generator)
    return interpreter


@pytest.mark.parametrize("call, text", [
    (lambda: zolangpy.Callable().call(), "'call' is not implemnted"),
    (lambda: zolangpy.CallableGenerator().generate([]), "'generate' is not implemnted"),
    (lambda: zolangpy.CallableGenerator().check_syntax([]), "'check_syntax' is not implemnted"),
    (lambda: zolangpy.CallableGenerator().generate(args=[]), "'generate' is not implemnted"),
    (lambda: zolangpy.Prop().get(), "'get' is not implemnted"),
    (lambda: zolangpy.Prop().set(object()), "'set' is not implemnted"),
    (lambda: zolangpy.Prop().set(value=1), "'set' is not implemnted"),
])
def test_base_methods_that_must_be_overridden_raise_not_implemented(call, text):
    with pytest.raises(NotImplementedError) as info:
        call()
    assert info.value.args == (text,)


def test_base_defaults_that_need_no_override():
    assert zolangpy.Callable().terminate() is None
    assert zolangpy.Prop().is_settable() is False


@pytest.mark.parametrize("call, argument_type", [
    (lambda: zolangpy.CallableGenerator().generate((1,)), "tuple"),
    (lambda: zolangpy.CallableGenerator().check_syntax("ab"), "str"),
    (lambda: zolangpy.CallableGenerator().generate(None), "NoneType"),
])
def test_generator_defaults_insist_on_a_list(call, argument_type):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == f"argument 'args': '{argument_type}' object cannot be cast as 'list'"


@pytest.mark.parametrize("call", [
    lambda: zolangpy.Callable().call(1),
    lambda: zolangpy.CallableGenerator().generate(),
    lambda: zolangpy.CallableGenerator().generate([], []),
    lambda: zolangpy.CallableGenerator().generate(list=[]),
    lambda: zolangpy.Prop().set(),
])
def test_wrong_argument_counts_and_keywords_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_argument_errors_name_the_method_with_its_class():
    with pytest.raises(TypeError, match=r"CallableGenerator\.generate\(\)"):
        zolangpy.CallableGenerator().generate([], [])


def test_unimplemented_call_fails_the_first_poll():
    interpreter = interpreter_with(Constant(zolangpy.Callable()))
    with raises_zo_error("NotImplementedError(\"'call' is not implemnted\")"):
        interpreter.run()


def test_unimplemented_generate_fails_when_the_call_is_reached():
    interpreter = interpreter_with(zolangpy.CallableGenerator())
    with raises_zo_error("NotImplementedError(\"'generate' is not implemnted\")"):
        interpreter.run()


def test_unimplemented_get_fails_on_the_first_read():
    interpreter = zolangpy.Interpreter(ir('get "p"'))
    interpreter.register_property("p", zolangpy.Prop())
    with raises_zo_error("NotImplementedError(\"'get' is not implemnted\")"):
        interpreter.run()


def test_a_property_without_is_settable_is_not_settable():
    interpreter = zolangpy.Interpreter(ir("push 1", 'set "p"'))
    interpreter.register_property("p", zolangpy.Prop())
    with raises_zo_error("[address 1] 'p' is not a settable property"):
        interpreter.run()


# The completing poll still ends its step, so a program of one call that
# completes at once needs two runs.
@pytest.mark.parametrize("result, outcomes", [
    (None, [True, False]), (True, [True, False]), (False, [True, True]),
])
def test_call_results_none_and_true_complete_false_waits(result, outcomes):
    interpreter = interpreter_with(Constant(Returns(result)))
    assert [interpreter.run() for _ in outcomes] == outcomes


@pytest.mark.parametrize("result, type_name", [
    (1, "int"), (0, "int"), (1.0, "float"), ("yes", "str"), ([], "list"),
])
def test_call_results_other_than_bool_or_none_fail(result, type_name):
    interpreter = interpreter_with(Constant(Returns(result)))
    with raises_zo_error(f"TypeError(\"'{type_name}' object cannot be cast as 'bool'\")"):
        interpreter.run()


class NumpyLikeCallable(zolangpy.Callable):
    def call(self):
        return type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: True})()


def test_a_numpy_boolean_call_result_counts_as_bool():
    interpreter = interpreter_with(Constant(NumpyLikeCallable()))
    assert interpreter.run() is True
    assert interpreter.run() is False


@pytest.mark.parametrize("result, name", [
    (3, "int"), (None, "NoneType"), (zolangpy.CallableGenerator(), "CallableGenerator"),
    (Command([], "g"), "Command"),
])
def test_generate_must_return_a_callable(result, name):
    interpreter = interpreter_with(Constant(result))
    with raises_zo_error(f"{name} is not a valid Callable"):
        interpreter.run()


def test_generate_receives_the_values_in_push_order():
    log = []
    interpreter = interpreter_with(Command(log, "f"),
                                   ir("push 1", 'push "two"', "push true", "push nil",
                                      'call "f" 4'))
    run_until_done(interpreter)
    assert log[0] == ("f", "generate", [1.0, "two", True, None])


def test_a_call_that_answers_false_twice_is_polled_three_times_and_generated_once():
    log = []
    interpreter = interpreter_with(Command(log, "f", polls=3))
    assert [interpreter.run() for _ in range(4)] == [True, True, True, False]
    assert log == [("f", "generate", []), ("f", "call", 1), ("f", "call", 2), ("f", "call", 3)]


class SelfGenerating(zolangpy.Callable, zolangpy.CallableGenerator):
    def __init__(self):
        self.generated = 0
        self.polls = 0

    def generate(self, args):
        self.generated += 1
        return self

    def call(self):
        self.polls += 1
        return True


def test_an_object_that_is_both_callable_and_generator_may_generate_itself():
    native = SelfGenerating()
    interpreter = interpreter_with(native, ir('call "f" 0', 'call "f" 0'))
    run_until_done(interpreter)
    assert (native.generated, native.polls) == (2, 2)


def test_methods_are_looked_up_on_the_instance_at_each_call():
    log = []
    generator = Command(log, "f")
    interpreter = interpreter_with(generator)
    generator.generate = lambda args: Returns(None) if not log.append("instance") else None
    run_until_done(interpreter)
    assert log == ["instance"]


def test_a_raising_call_fails_the_run_with_its_repr():
    interpreter = interpreter_with(Constant(Raises(ValueError("boom"))))
    with raises_zo_error("ValueError('boom')"):
        interpreter.run()


class RaisingIsSettable(zolangpy.Prop):
    def is_settable(self):
        raise OSError("bus error")


@pytest.mark.parametrize("prop, text", [
    (RaisingIsSettable(), "OSError('bus error')"),
    (Cell(settable=1), "TypeError(\"'int' object cannot be cast as 'bool'\")"),
    (Cell(settable=None), "TypeError(\"'NoneType' object cannot be cast as 'bool'\")"),
])
def test_settable_answers_must_be_bool(prop, text):
    interpreter = zolangpy.Interpreter(ir("push 1", 'set "p"'))
    interpreter.register_property("p", prop)
    with raises_zo_error(text):
        interpreter.run()


class RaisingTerminate(zolangpy.Callable):
    def call(self):
        return False

    def terminate(self):
        raise RuntimeError("stuck")


def test_a_terminate_that_raises_fails_the_stop():
    interpreter = interpreter_with(Constant(RaisingTerminate()))
    interpreter.run()
    with raises_zo_error("RuntimeError('stuck')"):
        interpreter.stop()


def test_a_callable_without_terminate_is_terminated_silently():
    interpreter = interpreter_with(Constant(Returns(False)))
    interpreter.run()
    assert interpreter.stop() is None
