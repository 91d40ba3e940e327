"""Where errors are: Compiler.diagnostics() and Interpreter.last_error(), the
same places under PyPy and CPython; the texts stay exactly as they were."""

import pytest
import zolangpy

from conftest import Cell, Command, ir, raises_zo_error


class Picky(zolangpy.CallableGenerator):
    """Refuses every call site, as a host's syntax check may."""

    def check_syntax(self, args):
        raise SyntaxError("picky: no")


def compiler_with_natives():
    compiler = zolangpy.Compiler()
    compiler.register_callable("print", Command([], "print"))
    compiler.register_callable("picky", Picky())
    compiler.register_property("speed", Cell(1))
    compiler.register_property("battery", Cell(1, settable=False))
    return compiler


def diagnose(source):
    compiler = compiler_with_natives()
    assert compiler.compile(source) is False
    return compiler.diagnostics()


def place(diagnostic):
    return (diagnostic["line"], diagnostic["column"], diagnostic["end_line"],
            diagnostic["end_column"])


@pytest.mark.parametrize("source, message, span, notes", [
    ("pirnt 1;", "No callable named 'pirnt' was registered", (1, 1, 1, 6),
     [("did you mean 'print'?", None, None)]),
    ("group greet { }\ngerte;", "No callable named 'gerte' was registered", (2, 1, 2, 6),
     [("did you mean 'greet'?", None, None)]),
    ("$count = 1;\nprint $cuont;", "Variable 'cuont' used before it was declared",
     (2, 7, 2, 13), [("did you mean 'count'?", None, None)]),
    ("$x = $sped;", "Variable 'sped' used before it was declared", (1, 6, 1, 11),
     [("did you mean 'speed'?", None, None)]),
    ("group greet $a $b { }\ngreet 1;", "Call to 'greet' expected 2 arguments but got 1",
     (2, 1, 2, 8), [("'greet' is defined here", 1, 7)]),
    ("if true {\n  print 1;\n", "Statements must be conditionals, loops, assignments, or calls",
     (2, 11, 2, 11), [("the block opened here", 1, 9)]),
    ("  picky 1 two;", "SyntaxError('picky: no')", (1, 3, 1, 14), []),
    ("$battery = 0;", "External property 'battery' not settable", (1, 1, 1, 9), []),
    ("$x = $speed;\nuse $speed;",
     "The 'speed' property was not declared with a 'use' statement", (1, 6, 1, 12),
     [("'use $speed;' comes only later, here", 2, 5)]),
    ('$é = "ü"; print $é + $ü;', "Variable 'ü' used before it was declared", (1, 22, 1, 24), []),
])
def test_each_compile_error_knows_the_span_of_its_token(source, message, span, notes):
    (diagnostic,) = diagnose(source)
    assert (diagnostic["message"], place(diagnostic), diagnostic["notes"]) == (message, span, notes)


def test_diagnostics_keep_the_print_errors_text_and_order():
    diagnostics = diagnose("beep;\n$a = $b;\nuse $ghost;\n")
    assert [d["text"] for d in diagnostics] == [
        "No property named 'ghost' was registered",
        "No callable named 'beep' was registered",
        "[line 0] Variable 'b' used before it was declared",
    ]
    assert [d["line"] for d in diagnostics] == [3, 1, 2]
    assert set(diagnostics[0]) == {"text", "message", "line", "column", "end_line",
                                   "end_column", "notes"}


def test_diagnostics_follow_the_most_recent_compile():
    compiler = compiler_with_natives()
    assert compiler.diagnostics() == []
    assert compiler.compile("oops;") is False
    assert len(compiler.diagnostics()) == 1
    assert compiler.compile("print 1;") is True
    assert compiler.diagnostics() == []


def test_a_number_literal_that_overflows_is_refused_at_its_line():
    huge = "9" * 400
    (diagnostic,) = diagnose("print 1;\n$x = %s;\n" % huge)
    assert diagnostic["text"] == "[line 2] Number literal '%s' is too large" % huge
    assert place(diagnostic) == (2, 6, 2, 406)


def test_a_long_flat_chain_compiles_and_runs():
    compiler = zolangpy.Compiler()
    out = Cell()
    compiler.register_property("out", out)
    assert compiler.compile("$a = 1" + " + 1" * 99_999 + ";\n$out = $a;\n")
    interpreter = compiler.into_interpreter()
    assert interpreter.run() is False
    assert out.value == 100_000


def failing_interpreter(source, **natives):
    compiler = zolangpy.Compiler()
    for name, generator in natives.items():
        compiler.register_callable(name, generator)
    assert compiler.compile(source), compiler.diagnostics()
    return compiler.into_interpreter()


def test_last_error_gives_the_place_and_the_group_calls_of_a_run_time_error():
    log = []
    interpreter = failing_interpreter(
        'group add $n {\n  $x = $n + "a";\n}\n'
        "group twice $n {\n  add $n;\n}\n"
        "parallel {\n  wait;\n  twice 2;\n}\n", wait=Command(log, "wait", polls=3))
    assert interpreter.last_error() is None
    with raises_zo_error("Right operand must be a string"):
        while interpreter.run():
            pass
    expected = {"text": "Right operand must be a string", "address": 4, "line": 2,
                "column": 11, "trace": [("twice", 9), ("add", 5)]}
    assert interpreter.last_error() == expected
    interpreter.stop()  # the stop succeeds: the failure stays
    assert interpreter.last_error() == expected
    interpreter.reset()
    assert interpreter.last_error() is None


class Refuses(zolangpy.CallableGenerator):
    """Fails when the program reaches it with a string."""

    def generate(self, args):
        if isinstance(args[0], str):
            raise TypeError("no strings")
        return Command([], "go").generate(args)

    def check_syntax(self, args):
        pass


def test_a_native_failing_in_a_branch_is_placed_at_its_own_call():
    # Both calls share one wrapper group; the failure is the first call's.
    interpreter = failing_interpreter('race {\n  go "x";\n  go 1;\n}\n', go=Refuses())
    with raises_zo_error("TypeError('no strings')"):
        interpreter.run()
    error = interpreter.last_error()
    assert (error["line"], error["column"], error["trace"]) == (2, 3, [("#go", 2)])


def test_last_error_names_the_end_group_that_stop_ran():
    interpreter = failing_interpreter('$a = 1;\ngroup __end {\n  $b = -"x";\n}\n')
    with raises_zo_error("Only numbers can be negated"):
        interpreter.stop()
    error = interpreter.last_error()
    assert (error["line"], error["column"], error["trace"]) == (3, 8, [("__end", None)])


def test_a_limit_is_placed_at_the_loop_that_hit_it():
    interpreter = failing_interpreter("$i = 0;\nwhile true {\n  $i += 1;\n}\n")
    interpreter.set_limits(instructions=100)
    with raises_zo_error("[address 9] Instruction budget exhausted"):
        interpreter.run()
    error = interpreter.last_error()
    assert (error["address"], error["line"], error["column"]) == (9, 2, 1)


def test_programs_read_from_ir_have_addresses_but_no_lines():
    interpreter = zolangpy.Interpreter(ir("push 1", 'push "a"', "sub"))
    with raises_zo_error("Both operands must be numbers"):
        interpreter.run()
    assert interpreter.last_error() == {"text": "Both operands must be numbers", "address": 2,
                                        "line": None, "column": None, "trace": []}
    with raises_zo_error("[address 0] 'beep' is not a registered callable"):
        zolangpy.Interpreter('call "beep" 0\n').run()


def test_a_final_carriage_return_stays_part_of_its_line():
    with raises_zo_error("[line 2] Invalid word, expected number"):
        zolangpy.Interpreter("yield\npush 1\r")


def test_outline_resolves_against_the_registered_natives_and_keeps_the_last_compilation():
    compiler = compiler_with_natives()
    assert compiler.compile("pirnt;") is False
    outline = compiler.outline("use $speed;\ngroup go $a far { print $a; }\ngo 1 far;\n"
                               "$x = $speed; ghost $x;\ngroup half {")
    assert outline["complete"] is False
    assert [(g["name"], g["span"], g["extent"], [(p["text"], p["value"]) for p in g["params"]])
            for g in outline["groups"]] == [("go", (2, 7, 2, 9), (2, 1, 2, 30),
                                             [("a", True), ("far", False)])]
    assert outline["uses"] == [{"name": "speed", "span": (1, 5, 1, 11)}]
    assert [(v["name"], v["scope"], v["parameter"], v["places"]) for v in outline["variables"]] == [
        ("a", 0, True, [(2, 10, 2, 12), (2, 25, 2, 27)]),
        ("x", None, False, [(4, 1, 4, 3), (4, 20, 4, 22)])]
    assert [(c["name"], c["target"], c["group"], c["scope"]) for c in outline["calls"]] == [
        ("print", "native", None, 0), ("go", "group", 0, None), ("ghost", None, None, None)]
    assert compiler.diagnostics()[0]["message"] == "No callable named 'pirnt' was registered"
    with pytest.raises(TypeError):
        compiler.outline(b"go;")
    assert compiler.outline("")["groups"] == []
