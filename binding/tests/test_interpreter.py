"""The Interpreter class: construction, the run loop, stop, reset, registration."""

import threading

import pytest
import zolangpy
from conftest import Cell, Command, Constant, Returns, ir, raises_zo_error, run_until_done

BUSY = "Cannot modify interpreter state while it's running"

# A program with an __end group that writes $speed, after a call of drive.
WITH_END = ir(
    "jump 5",
    "__end:",
    "push 0",
    'set "speed"',
    "return",
    'call "drive" 0',
)


def test_an_empty_interpreter_runs_the_empty_program_and_finishes():
    assert zolangpy.Interpreter().run() is False
    assert zolangpy.Interpreter(None).run() is False
    assert zolangpy.Interpreter(ir=None).run() is False
    assert zolangpy.Interpreter("").run() is False


def test_ir_may_be_passed_by_keyword():
    interpreter = zolangpy.Interpreter(ir="yield\n")
    assert [interpreter.run(), interpreter.run()] == [True, False]


@pytest.mark.parametrize("argument, type_name", [(1, "int"), (b"yield", "bytes"), ([], "list")])
def test_ir_of_another_type_is_a_type_error(argument, type_name):
    with pytest.raises(TypeError) as info:
        zolangpy.Interpreter(argument)
    assert str(info.value) == f"argument 'ir': '{type_name}' object cannot be cast as 'str'"


def test_constructor_rejects_surplus_and_unknown_arguments():
    with pytest.raises(TypeError):
        zolangpy.Interpreter("", "")
    with pytest.raises(TypeError):
        zolangpy.Interpreter(text="")


def test_rejected_ir_raises_with_the_line_of_the_first_bad_instruction():
    with raises_zo_error("[line 3] 'call' expects 2 arguments"):
        zolangpy.Interpreter('push 1\n\ncall "f"\nbogus\n')


def test_run_returns_true_while_yielding_and_false_once_finished():
    interpreter = zolangpy.Interpreter(ir("yield", "yield"))
    assert [interpreter.run() for _ in range(3)] == [True, True, False]


@pytest.mark.parametrize("program, text", [
    (ir("pop", "add"), "[address 1] Stack underflow"),
    (ir('push "a"', "push 1", "add"), "Right operand must be a number"),
    (ir('call "nobody" 0'), "[address 0] 'nobody' is not a registered callable"),
    (ir('get "nothing"'), "[address 0] 'nothing' is not a registered property"),
])
def test_library_errors_are_raised_as_zo_error_with_rendered_text(program, text):
    with raises_zo_error(text):
        zolangpy.Interpreter(program).run()


def test_registering_a_non_instance_is_refused_by_name():
    interpreter = zolangpy.Interpreter()
    with raises_zo_error("Not an instance of zolangpy.CallableGenerator"):
        interpreter.register_callable("f", Command)
    with raises_zo_error("Not an instance of zolangpy.CallableGenerator"):
        interpreter.register_callable("f", Cell())
    with raises_zo_error("Not an instance of zolangpy.Prop"):
        interpreter.register_property("p", Cell)
    with raises_zo_error("Not an instance of zolangpy.Prop"):
        interpreter.register_property("p", 3)


def test_registration_names_must_be_str():
    with pytest.raises(TypeError) as info:
        zolangpy.Interpreter().register_property(1, Cell())
    assert str(info.value) == "argument 'name': 'int' object cannot be cast as 'str'"


def test_registration_accepts_keywords_and_checks_the_count():
    interpreter = zolangpy.Interpreter()
    interpreter.register_property(value=Cell(), name="p")
    with pytest.raises(TypeError, match=r"Interpreter\.register_callable\(\)"):
        interpreter.register_callable("f")


def test_duplicate_names_and_group_labels_are_refused():
    interpreter = zolangpy.Interpreter(ir("jump 3", "beep:", "return"))
    with raises_zo_error("A callable named 'beep' is already registered"):
        interpreter.register_callable("beep", Command([], "beep"))
    interpreter.register_callable("f", Command([], "f"))
    with raises_zo_error("A callable named 'f' is already registered"):
        interpreter.register_callable("f", Command([], "f"))
    interpreter.register_property("p", Cell())
    with raises_zo_error("A property named 'p' is already registered"):
        interpreter.register_property("p", Cell())


def test_registration_closes_after_a_valid_first_run_and_reopens_after_reset():
    interpreter = zolangpy.Interpreter(ir("yield"))
    interpreter.run()
    with raises_zo_error(BUSY):
        interpreter.register_property("p", Cell())
    interpreter.reset()
    interpreter.register_property("p", Cell())


def test_registration_stays_open_after_a_first_run_that_failed_validation():
    interpreter = zolangpy.Interpreter(ir('call "f" 0'))
    with raises_zo_error("[address 0] 'f' is not a registered callable"):
        interpreter.run()
    interpreter.register_callable("f", Command([], "f"))
    assert run_until_done(interpreter) == 1


def test_registration_is_refused_after_stop_and_after_finishing():
    interpreter = zolangpy.Interpreter()
    interpreter.stop()
    with raises_zo_error(BUSY):
        interpreter.register_callable("f", Command([], "f"))
    interpreter = zolangpy.Interpreter()
    interpreter.run()
    with raises_zo_error(BUSY):
        interpreter.register_callable("f", Command([], "f"))


def test_after_a_run_time_error_reset_is_refused_until_stop():
    interpreter = zolangpy.Interpreter(ir("yield", "pop", "add"))
    interpreter.run()
    with raises_zo_error("[address 2] Stack underflow"):
        interpreter.run()
    with raises_zo_error(BUSY):
        interpreter.reset()
    interpreter.stop()
    interpreter.reset()
    assert interpreter.run() is True


def test_stop_terminates_active_calls_before_running_end():
    log = []
    interpreter = zolangpy.Interpreter(WITH_END)
    interpreter.register_callable("drive", Command(log, "drive", polls=10))
    interpreter.register_property("speed", Cell(5, log=log))
    interpreter.run()
    assert interpreter.stop() is None
    assert log == [("drive", "generate", []), ("drive", "call", 1), ("drive", "terminate"),
                   ("set", 0.0)]


def test_reset_drops_active_calls_without_terminate_and_keeps_registrations():
    log = []
    interpreter = zolangpy.Interpreter(WITH_END)
    interpreter.register_callable("drive", Command(log, "drive", polls=2))
    interpreter.register_property("speed", Cell(5, log=log))
    interpreter.run()
    interpreter.reset()
    assert ("drive", "terminate") not in log
    log.clear()
    assert run_until_done(interpreter) == 2
    assert log == [("drive", "generate", []), ("drive", "call", 1), ("drive", "call", 2),
                   ("set", 0.0)]


@pytest.mark.parametrize("cls", [zolangpy.Interpreter, zolangpy.Compiler])
@pytest.mark.parametrize("check, base", [("check_if_prop", zolangpy.Prop),
                                         ("check_if_callable", zolangpy.CallableGenerator)])
def test_static_checks_test_the_type_relation_directly(cls, check, base):
    function = getattr(cls, check)

    class Sub(base):
        pass

    class Lying(type):
        def __instancecheck__(cls, instance):
            return True

    assert function(Sub()) is True
    assert function(base()) is True
    assert function(value=Sub()) is True
    for other in [3, None, Sub, base, Lying("X", (), {})(), zolangpy.Callable()]:
        assert function(other) is False
    assert getattr(cls(), check)(Sub()) is True


class Reentrant(zolangpy.Callable):
    """Calls back into the interpreter that polls it."""

    def __init__(self, action):
        self.action, self.seen = action, None

    def call(self):
        try:
            self.action()
        except RuntimeError as error:
            self.seen = str(error)
        return True


@pytest.mark.parametrize("method", ["run", "stop", "reset"])
def test_a_native_calling_back_into_its_interpreter_is_refused(method):
    holder = {}
    native = Reentrant(lambda: getattr(holder["interpreter"], method)())
    interpreter = zolangpy.Interpreter(ir('call "f" 0', "push 1"))
    holder["interpreter"] = interpreter
    interpreter.register_callable("f", Constant(native))
    assert interpreter.run() is True
    assert native.seen == "Already borrowed"
    assert interpreter.run() is False


def test_a_native_registering_on_its_interpreter_is_refused():
    holder = {}
    native = Reentrant(lambda: holder["interpreter"].register_property("p", Cell()))
    interpreter = zolangpy.Interpreter(ir('call "f" 0'))
    holder["interpreter"] = interpreter
    interpreter.register_callable("f", Constant(native))
    interpreter.run()
    assert native.seen == "Already borrowed"


def test_static_checks_need_no_use_of_the_object():
    holder = {}
    native = Reentrant(lambda: holder.setdefault("checked",
                                                 holder["interpreter"].check_if_prop(Cell())))
    interpreter = zolangpy.Interpreter(ir('call "f" 0'))
    holder["interpreter"] = interpreter
    interpreter.register_callable("f", Constant(native))
    interpreter.run()
    assert holder["checked"] is True and native.seen is None


def test_a_native_may_ask_for_its_call_site_during_the_run():
    holder = {}
    native = Reentrant(lambda: holder.setdefault("site", holder["interpreter"].call_site()))
    interpreter = zolangpy.Interpreter(ir("push 1", 'call "f" 0'))
    holder["interpreter"] = interpreter
    interpreter.register_callable("f", Constant(native))
    assert interpreter.call_site() is None
    interpreter.run()
    assert holder["site"] == {"address": 1, "line": None, "column": None, "context": 0,
                              "group": None}
    assert native.seen is None and interpreter.call_site() is None


class Blocking(zolangpy.Callable):
    """Releases the GIL inside call() until told to go on."""

    def __init__(self):
        self.entered, self.release = threading.Event(), threading.Event()

    def call(self):
        self.entered.set()
        self.release.wait(10)
        return True


def test_another_thread_is_refused_while_a_native_has_released_the_gil():
    native = Blocking()
    interpreter = zolangpy.Interpreter(ir('call "f" 0'))
    interpreter.register_callable("f", Constant(native))
    worker = threading.Thread(target=interpreter.run)
    worker.start()
    try:
        assert native.entered.wait(10)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            interpreter.run()
    finally:
        native.release.set()
        worker.join()
    assert interpreter.run() is False


def test_different_interpreters_run_independently_from_natives():
    inner = zolangpy.Interpreter(ir("yield"))
    native = Reentrant(lambda: inner.run())
    outer = zolangpy.Interpreter(ir('call "f" 0'))
    outer.register_callable("f", Constant(native))
    outer.run()
    assert native.seen is None
    assert inner.run() is False


def test_a_failing_end_group_leaves_only_stop_allowed():
    interpreter = zolangpy.Interpreter(ir("jump 4", "__end:", "pop", "add", "yield"))
    interpreter.run()
    with raises_zo_error("[address 3] Stack underflow"):
        interpreter.stop()
    with raises_zo_error(BUSY):
        interpreter.reset()
    with raises_zo_error(BUSY):
        interpreter.register_property("p", Cell())
    with raises_zo_error("[address 3] Stack underflow"):
        interpreter.stop()


def test_natives_inside_end_are_polled_to_completion_within_stop():
    log = []
    interpreter = zolangpy.Interpreter(ir("jump 4", "__end:", 'call "park" 0', "return", "yield"))
    interpreter.register_callable("park", Command(log, "park", polls=3))
    assert interpreter.run() is True
    interpreter.stop()
    assert log == [("park", "generate", []), ("park", "call", 1), ("park", "call", 2),
                   ("park", "call", 3)]


def status_after(program, *steps):
    """The status after construction and after each step, a method name."""
    interpreter = zolangpy.Interpreter(ir(*program))
    seen = [interpreter.status]
    for step in steps:
        try:
            getattr(interpreter, step)()
        except Exception as error:  # noqa: BLE001 - the ZoError is part of the story
            assert type(error).__name__ == "ZoError"
        seen.append(interpreter.status)
    return seen


@pytest.mark.parametrize("program, steps, statuses", [
    (["yield"], ["run", "run", "reset"], ["fresh", "paused", "ended", "fresh"]),
    (["yield", "pop", "add"], ["run", "run", "stop", "reset"],
     ["fresh", "paused", "running", "ended", "fresh"]),
    (["jump 4", "__end:", "pop", "add", "yield"], ["run", "stop", "stop"],
     ["fresh", "paused", "ending", "ending"]),
    (['call "missing" 0'], ["run"], ["fresh", "fresh"]),  # validation failed
])
def test_status_names_where_the_run_stands(program, steps, statuses):
    assert status_after(program, *steps) == statuses


def test_status_is_read_only_and_needs_only_shared_use():
    holder = {}
    native = Reentrant(lambda: holder.setdefault("status", holder["interpreter"].status))
    interpreter = zolangpy.Interpreter(ir('call "f" 0'))
    holder["interpreter"] = interpreter
    interpreter.register_callable("f", Constant(native))
    interpreter.run()
    assert native.seen == "Already mutably borrowed"  # run() holds it exclusively
    with pytest.raises(AttributeError):
        interpreter.status = "ended"
    assert interpreter.status == "paused"
