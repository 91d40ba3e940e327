"""The Compiler class: compiling, errors, IR text, moving into an Interpreter."""

import os
import tempfile
import threading

import pytest
import zolangpy

from conftest import Cell, Command, raises_zo_error, run_until_done


def capture_fd1(function):
    """What `function` writes to file descriptor 1 (print_errors bypasses sys.stdout)."""
    with tempfile.TemporaryFile() as capture:
        saved = os.dup(1)
        try:
            os.dup2(capture.fileno(), 1)
            function()
        finally:
            os.dup2(saved, 1)
            os.close(saved)
        capture.seek(0)
        return capture.read().decode()


def test_a_failed_compile_leaves_no_program():
    compiler = zolangpy.Compiler()
    assert compiler.compile("$x = ;") is False
    assert compiler.has_program() is False
    with raises_zo_error("No program to convert"):
        compiler.into_raw()
    with raises_zo_error("No program to convert"):
        compiler.into_interpreter()


def test_a_new_compile_discards_the_previous_program_and_errors():
    compiler = zolangpy.Compiler()
    assert compiler.compile("$x = 1;") is True
    assert compiler.compile("oops;") is False
    assert compiler.has_program() is False
    assert capture_fd1(compiler.print_errors) == "No callable named 'oops' was registered\n"
    assert compiler.compile("$y = 2;") is True
    assert capture_fd1(compiler.print_errors) == ""


def test_print_errors_writes_every_error_in_order_to_file_descriptor_one(capsys):
    compiler = zolangpy.Compiler()
    assert not compiler.compile("$a = $b;\nbeep;\nuse $ghost;\n")
    printed = capture_fd1(compiler.print_errors)
    assert printed == (
        "No property named 'ghost' was registered\n"
        "[line 0] Variable 'b' used before it was declared\n"
        "No callable named 'beep' was registered\n"
    )
    assert capsys.readouterr().out == ""


def test_syntax_errors_come_before_lexical_ones_and_stop_the_compile():
    compiler = zolangpy.Compiler()
    assert not compiler.compile('beep;\nsay "unterminated')
    assert capture_fd1(compiler.print_errors) == (
        "[end] Expect expression\n[line 2] Unterminated string\n"
    )


def test_into_raw_takes_the_program_once():
    compiler = zolangpy.Compiler()
    assert compiler.compile("$x = 1; $x += 2;")
    assert compiler.into_raw() == "jump 1\npush 1\nstore 0\nload 0\npush 2\nadd\nstore 0\n"
    with raises_zo_error("No program to convert"):
        compiler.into_raw()
    assert compiler.has_program() is False


def test_into_interpreter_moves_the_registrations_and_leaves_an_empty_program():
    log = []
    compiler = zolangpy.Compiler()
    compiler.register_callable("beep", Command(log, "beep"))
    assert compiler.compile("beep 1;")
    interpreter = compiler.into_interpreter()
    assert type(interpreter).__name__ == "Interpreter"
    assert compiler.has_program() is True
    assert run_until_done(compiler.into_interpreter()) == 0  # drained: an empty program
    assert compiler.into_raw() == ""
    assert compiler.has_program() is False
    assert run_until_done(interpreter) == 1
    assert log == [("beep", "generate", [1.0]), ("beep", "call", 1)]
    # The registrations went with the first interpreter.
    assert compiler.compile("beep 1;") is False
    assert capture_fd1(compiler.print_errors) == "No callable named 'beep' was registered\n"
    compiler.register_callable("beep", Command(log, "beep"))
    assert compiler.compile("beep 1;") is True


def test_registration_checks_instances_and_names():
    compiler = zolangpy.Compiler()
    with raises_zo_error("Not an instance of zolangpy.CallableGenerator"):
        compiler.register_callable("beep", Command)
    with raises_zo_error("Not an instance of zolangpy.Prop"):
        compiler.register_property("speed", Command([], "x"))
    compiler.register_callable("beep", Command([], "beep"))
    with raises_zo_error("A callable named 'beep' is already registered"):
        compiler.register_callable("beep", Command([], "beep"))
    compiler.register_property("beep", Cell(1))
    with raises_zo_error("A property named 'beep' is already registered"):
        compiler.register_property("beep", Cell(1))
    with pytest.raises(TypeError):
        compiler.register_callable(1, Command([], "x"))


def test_static_checks_test_the_type_relation():
    class MyProp(zolangpy.Prop):
        pass

    assert zolangpy.Compiler.check_if_prop(3) is False
    assert zolangpy.Compiler.check_if_prop(MyProp()) is True
    assert zolangpy.Compiler.check_if_prop(MyProp) is False
    assert zolangpy.Compiler.check_if_callable(Command([], "x")) is True
    assert zolangpy.Compiler.check_if_callable(MyProp()) is False


def test_compile_takes_only_a_string():
    compiler = zolangpy.Compiler()
    with pytest.raises(TypeError) as info:
        compiler.compile(b"$x = 1;")
    assert str(info.value).startswith("argument 'source': ")
    with pytest.raises(TypeError):
        compiler.compile()
    assert compiler.compile(source="$x = 1;") is True


def test_the_ir_text_runs_like_the_compiled_program():
    source = """
    use $level;
    group fill $amount litres { $total = $amount * 2; set_level $total; }
    $i = 0;
    while $i < 3 { $i += 1; fill $i litres; }
    parallel { set_level 10; fill 4 litres; }
    """

    def run(make_interpreter):
        log = []
        compiler = zolangpy.Compiler()
        compiler.register_callable("set_level", Command(log, "set_level"))
        compiler.register_property("level", Cell(0))
        assert compiler.compile(source), capture_fd1(compiler.print_errors)
        interpreter = make_interpreter(compiler, log)
        return run_until_done(interpreter), log

    def from_ir(compiler, log):
        interpreter = zolangpy.Interpreter(compiler.into_raw())
        interpreter.register_callable("set_level", Command(log, "set_level"))
        interpreter.register_property("level", Cell(0))
        return interpreter

    assert run(from_ir) == run(lambda compiler, log: compiler.into_interpreter())


def test_check_syntax_can_overload_on_words():
    seen = []

    class Move(zolangpy.CallableGenerator):
        def check_syntax(self, args):
            if len(args) == 2 and args[0].matches_word("forward"):
                assert args[1].is_value()
                seen.append("forward")
            elif len(args) == 2 and args[1].matches_word("back"):
                assert args[0].is_value()
                seen.append("back")
            else:
                raise ValueError("move forward N; or move N back;")

        def generate(self, args):
            return Command([], "m").generate(args)

    compiler = zolangpy.Compiler()
    compiler.register_callable("move", Move())
    assert compiler.compile("move forward 3; move 2 back;")
    assert seen == ["forward", "back"]
    assert compiler.into_raw() == 'jump 1\npush 3\ncall "move" 1\npush 2\ncall "move" 1\n'
    assert not compiler.compile("move sideways 1;")
    assert capture_fd1(compiler.print_errors) == (
        "ValueError('move forward N; or move N back;')\n"
    )


def test_exceptions_in_host_checks_are_stored_as_their_repr():
    # Built outside this module, whose asserts pytest rewrites with messages.
    namespace = {"zolangpy": zolangpy}
    exec(
        "class Strict(zolangpy.CallableGenerator):\n"
        "    def check_syntax(self, args):\n"
        "        assert len(args) == 2\n",
        namespace,
    )
    Strict = namespace["Strict"]

    class Stubborn(zolangpy.Prop):
        def is_settable(self):
            raise KeyError("no")

    compiler = zolangpy.Compiler()
    compiler.register_callable("strict", Strict())
    compiler.register_property("stubborn", Stubborn())
    compiler.register_callable("lazy", zolangpy.CallableGenerator())
    assert not compiler.compile("strict 1 2 3; $stubborn = 1; lazy;")
    assert capture_fd1(compiler.print_errors) == (
        "AssertionError()\n"
        "KeyError('no')\n"
        "NotImplementedError(\"'check_syntax' is not implemnted\")\n"
    )


def test_a_check_that_calls_back_into_its_compiler_is_refused():
    outcomes = []

    class Nosy(zolangpy.CallableGenerator):
        def check_syntax(self, args):
            for method in (compiler.has_program, lambda: compiler.compile("")):
                try:
                    method()
                except RuntimeError as error:
                    outcomes.append(str(error))

    compiler = zolangpy.Compiler()
    compiler.register_callable("nosy", Nosy())
    assert compiler.compile("nosy;") is True
    assert outcomes == ["Already mutably borrowed", "Already borrowed"]


def long_source(calls):
    lines = ["$total = 0;"]
    for index in range(calls):
        lines.append("if $total >= 0 { $total += %d; tick %d; }" % (index, index))
    return "\n".join(lines)


def test_two_compilers_compile_at_once_on_two_threads():
    results = {}

    class Tick(zolangpy.CallableGenerator):
        def __init__(self, name):
            self.name, self.checks = name, 0

        def check_syntax(self, args):
            self.checks += 1

    def work(name, source):
        compiler = zolangpy.Compiler()
        tick = Tick(name)
        compiler.register_callable("tick", tick)
        ok = compiler.compile(source)
        results[name] = (ok, tick.checks, compiler.into_raw())

    sources = {"a": long_source(3000), "b": long_source(2000)}
    threads = [threading.Thread(target=work, args=item) for item in sources.items()]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for name, source in sources.items():
        expected = zolangpy.Compiler()
        expected.register_callable("tick", Tick(name))
        assert expected.compile(source)
        assert results[name] == (True, source.count("tick"), expected.into_raw())


def test_another_thread_is_refused_while_a_compile_runs():
    entered, release = threading.Event(), threading.Event()
    refused = []

    class Slow(zolangpy.CallableGenerator):
        def check_syntax(self, args):
            entered.set()
            release.wait(10)

    compiler = zolangpy.Compiler()
    compiler.register_callable("slow", Slow())
    worker = threading.Thread(target=lambda: refused.append(compiler.compile("slow;")))
    worker.start()
    assert entered.wait(10)
    for method in (compiler.has_program, compiler.into_raw, lambda: compiler.compile("")):
        with pytest.raises(RuntimeError) as info:
            method()
        refused.append(str(info.value))
    release.set()
    worker.join()
    assert refused == ["Already mutably borrowed", "Already borrowed", "Already borrowed", True]
    assert compiler.has_program()


def test_every_statement_form_runs_against_a_simulated_device():
    log = []
    speed = Cell(0, log=log)
    compiler = zolangpy.Compiler()
    compiler.register_callable("drive", Command(log, "drive", polls=2))
    compiler.register_callable("beep", Command(log, "beep"))
    compiler.register_property("speed", speed)
    source = """
    use $speed;
    group __end { $speed = 0; beep 99; }
    group leg $n fast {
        $speed = $n * 2;
        drive $n;
        if $n == 2 { return; }
        beep $n;
    }
    $i = 0;
    until $i == 3 {
        $i += 1;
        unless $i != 2 { yield; } else { leg $i fast; }
        while true { break; }
    }
    parallel { drive 7; beep 8; }
    race { drive 9; beep 10; }
    $ok = not ($speed > 100) and |-3| == 3 xor false;
    if $ok { beep 11; }
    """
    assert compiler.compile(source), capture_fd1(compiler.print_errors)
    interpreter = compiler.into_interpreter()
    steps = run_until_done(interpreter)
    generated = [entry[0] + str(int(entry[2][0])) for entry in log if entry[1] == "generate"]
    assert generated == ["drive1", "beep1", "drive3", "beep3", "drive7", "beep8", "drive9",
                         "beep10", "beep11", "beep99"]
    assert ("drive", "terminate") in log  # the race's loser
    assert speed.value == 0
    assert steps > 10


def test_a_syntax_check_may_compile_with_another_compiler_on_the_same_thread():
    # The outer compile has given the GIL up; the check takes it back, and
    # the inner compile gives it up and takes it back again around its own
    # checks. Each level must find the lock where it left it.
    inner_results = []

    class Counted(zolangpy.CallableGenerator):
        def check_syntax(self, args):
            pass

    class Nesting(zolangpy.CallableGenerator):
        def check_syntax(self, args):
            inner = zolangpy.Compiler()
            inner.register_callable("leaf", Counted())
            inner_results.append(inner.compile("leaf 1; leaf two;"))

    compiler = zolangpy.Compiler()
    compiler.register_callable("outer", Nesting())
    worker_done = []
    worker = threading.Thread(target=lambda: worker_done.append(sum(range(100000))))
    worker.start()
    assert compiler.compile("outer; outer 1;")
    worker.join()
    assert inner_results == [True, True] and worker_done == [4999950000]


@pytest.mark.parametrize("line, words", [
    ("jump 1", ["jump", "1"]),
    ('push "a b"', ["push", '"a b"']),
    ('call_parallel "f" 0 "g g" 1', ["call_parallel", '"f"', "0", '"g g"', "1"]),
    ("", [""]),
    ("a  b ", ["a", "", "b", ""]),
    # A quote or space joined to a combining mark is neither.
    ('push "a b"\u0301 c', ["push", '"a b"\u0301 c']),
    ("a \u0301b", ["a \u0301b"]),
])
def test_split_ir_words_splits_as_the_ir_reader_does(line, words):
    assert zolangpy.Compiler.split_ir_words(line) == words


def test_split_ir_words_takes_one_string():
    with pytest.raises(TypeError, match="Compiler.split_ir_words"):
        zolangpy.Compiler.split_ir_words(b"push 1")
