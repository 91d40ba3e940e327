"""Values from calls: a native's result(), a group's `return EXPR;`, the
winner of a race, and natives that take their words at run time."""

import pytest
import zolangpy

from conftest import Cell, raises_zo_error, run_until_done


class Reading(zolangpy.Callable):
    """Completes at its `polls`-th poll and then gives `value`."""

    def __init__(self, log, value, polls=1):
        self.log, self.value, self.polls, self.count = log, value, polls, 0

    def call(self):
        self.count += 1
        return self.count >= self.polls

    def result(self):
        self.log.append(("result", self.value))
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Sensor(zolangpy.CallableGenerator):
    """Each call's value is made from its arguments by `make`."""

    def __init__(self, log, make, polls=1):
        self.log, self.make, self.polls = log, make, polls

    def check_syntax(self, args):
        pass

    def generate(self, args):
        return Reading(self.log, self.make(args), self.polls)


class Bare(zolangpy.Callable):
    def call(self):
        return True


class NoResult(zolangpy.CallableGenerator):
    def check_syntax(self, args):
        pass

    def generate(self, args):
        return Bare()


def compiled(source, callables=(), properties=()):
    compiler = zolangpy.Compiler()
    for name, generator in callables:
        compiler.register_callable(name, generator)
    for name, prop in properties:
        compiler.register_property(name, prop)
    assert compiler.compile(source), compiler.diagnostics()
    return compiler.into_interpreter()


def test_calls_give_their_values_to_assignments():
    log, out = [], Cell(log=[])
    table = {"t1": 21.5}
    interpreter = compiled(
        '$t = measure "t1"; $out = $t;\n'
        "$n = 1; $n += count parts; $out = $n;\n"
        "$p = place_part 3 on tray; $out = $p;\n",
        [("measure", Sensor(log, lambda args: table[args[0]])),
         ("count", Sensor(log, lambda args: 4)),
         ("place_part", Sensor(log, lambda args: "slot %d" % args[0]))],
        [("out", out)])
    run_until_done(interpreter)
    assert out.log == [("set", 21.5), ("set", 5.0), ("set", "slot 3")]
    assert log == [("result", 21.5), ("result", 4), ("result", "slot 3")]


def test_branches_of_a_parallel_block_each_get_their_own_value():
    # The provisioning script: each branch pings its own host.
    log, out = [], Cell(log=[])
    reachable = {"router": True, "printer": False}
    interpreter = compiled(
        "group check $host { $up = ping $host; if $up { $out = $host; } }\n"
        'parallel { check "router"; check "printer"; }\n',
        [("ping", Sensor(log, lambda args: reachable[args[0]], polls=2))], [("out", out)])
    run_until_done(interpreter)
    assert out.log == [("set", "router")]


@pytest.mark.parametrize("move_polls, wait_polls, first", [(1, 3, 1), (3, 1, 2), (2, 2, 1)])
def test_a_race_gives_the_place_of_its_first_member_to_finish(move_polls, wait_polls, first):
    log, out = [], Cell(log=[])
    interpreter = compiled(
        "$first = race { move 4 metres; wait 3 seconds; }; $out = $first;",
        [("move", Sensor(log, lambda args: None, polls=move_polls)),
         ("wait", Sensor(log, lambda args: None, polls=wait_polls))], [("out", out)])
    run_until_done(interpreter)
    assert out.log == [("set", float(first))]
    assert log == []  # a race's members are statements: none is asked for a value


def test_a_group_returns_its_value_through_nested_groups():
    out = Cell(log=[])
    interpreter = compiled(
        "group scale $x { return $x * 10; }\n"
        "group offset $y { $s = scale $y; return $s + 1; }\n"
        "group nothing { }\n"
        "$a = offset 2; $b = nothing; $out = $a; $out = $b;\n",
        properties=[("out", out)])
    run_until_done(interpreter)
    assert out.log == [("set", 21.0), ("set", None)]


def test_a_callable_without_result_gives_nil_and_statements_never_ask():
    log, out = [], Cell(log=[])
    interpreter = compiled("$v = stamp; $out = $v; measure 1;",
                           [("stamp", NoResult()), ("measure", Sensor(log, lambda args: 1))],
                           [("out", out)])
    run_until_done(interpreter)
    assert out.log == [("set", None)]
    assert log == []


@pytest.mark.parametrize("value, text", [
    (ValueError("sensor offline"), "ValueError('sensor offline')"),
    # raised inside result(), so not taken for a missing one
    (AttributeError("no reading"), "AttributeError('no reading')"),
    ([1, 2], "TypeError('Only primitive types allowed')"),
    (2 ** 2000, "TypeError('Only primitive types allowed')"),
])
def test_a_failing_result_fails_the_run_at_the_call(value, text):
    interpreter = compiled("$a = 1;\n$t = measure 1;\n", [("measure", Sensor([], lambda args: value))])
    with raises_zo_error(text):
        run_until_done(interpreter)
    failure = interpreter.last_error()
    assert (failure["line"], failure["column"]) == (2, 6)


def test_return_with_a_value_in_the_main_program_is_a_compile_error():
    compiler = zolangpy.Compiler()
    assert not compiler.compile("$x = 1;\n  return $x;\n")
    [diagnostic] = compiler.diagnostics()
    assert diagnostic["message"].startswith("Only a group can return a value")
    assert (diagnostic["line"], diagnostic["column"]) == (2, 3)


class Valve(zolangpy.CallableGenerator):
    """`valve open;` and `valve close;`: one native for both, by its words."""

    words_at_run_time = True

    def __init__(self, log):
        self.log = log

    def check_syntax(self, args):
        words = [arg.word() for arg in args]
        assert all(arg.is_value() for arg in args[1:]), "only a value may follow"
        if words[:1] not in (["open"], ["close"]):
            raise SyntaxError("expected 'open' or 'close', got %r" % (words[0] if words else None))

    def generate(self, args):
        self.log.append(args)
        return Bare()


def test_words_reach_generate_through_a_compiled_program_and_its_ir_text():
    source = "valve open; valve close 2; parallel { valve open 3; }\n"
    log = []
    run_until_done(compiled(source, [("valve", Valve(log))]))
    assert log == [["open"], ["close", 2.0], ["open", 3.0]]

    compiler = zolangpy.Compiler()
    compiler.register_callable("valve", Valve([]))
    assert compiler.compile(source)
    ir = compiler.into_raw()
    assert 'push "open"\ncall "valve" 1\n' in ir
    log = []
    interpreter = zolangpy.Interpreter(ir)
    interpreter.register_callable("valve", Valve(log))
    run_until_done(interpreter)
    assert log == [["open"], ["close", 2.0], ["open", 3.0]]


def test_a_check_can_name_the_word_it_got():
    compiler = zolangpy.Compiler()
    compiler.register_callable("valve", Valve([]))
    assert not compiler.compile("valve opne;")
    assert compiler.diagnostics()[0]["message"] == "SyntaxError(\"expected 'open' or 'close', got 'opne'\")"


def test_arg_word_gives_the_text_or_none():
    seen = []

    class Keep(zolangpy.CallableGenerator):
        def check_syntax(self, args):
            seen.extend(arg.word() for arg in args)

    compiler = zolangpy.Compiler()
    compiler.register_callable("f", Keep())
    assert compiler.compile("f größe 1 _x;")
    assert seen == ["größe", None, "_x"]


def test_words_at_run_time_is_read_once_at_registration():
    class Flaky:
        def __bool__(self):
            raise RuntimeError("cannot tell")

    class Odd(zolangpy.CallableGenerator):
        words_at_run_time = Flaky()

    with pytest.raises(RuntimeError, match="cannot tell"):
        zolangpy.Compiler().register_callable("odd", Odd())

    log = []
    valve = Valve(log)
    compiler = zolangpy.Compiler()
    compiler.register_callable("valve", valve)
    valve.words_at_run_time = False  # too late: the registration has read it
    assert compiler.compile("valve open;")
    run_until_done(compiler.into_interpreter())
    assert log == [["open"]]
