"""Resource limits seen from Python: large programs and deep nesting through
the binding, and allocation failure inside a method surfacing as the internal
fault (an exception deriving from BaseException, not Exception); and that
sanitized runs have the sanitizer runtimes loaded."""

import os
import subprocess
import sys
import textwrap

import pytest
import zolangpy
from conftest import Cell, ir


def test_a_program_of_a_million_instructions_reads_and_runs():
    program = "push 0\n" + "push 1\nadd\n" * 500_000 + 'set "out"\n'
    out = Cell(log=[])
    interpreter = zolangpy.Interpreter(program)
    interpreter.register_property("out", out)
    assert interpreter.run() is False
    assert out.log == [("set", 500_000.0)]


def test_a_million_nested_group_frames_unwind_and_reset():
    out = Cell(log=[])
    interpreter = zolangpy.Interpreter(ir(
        "jump 9", "a:", "load 0", "jump_unless 5", "load 0", "push 1", "sub", 'call "a" 1',
        "return", "push 1000000", 'call "a" 1', 'set "out"'))
    interpreter.register_property("out", out)
    assert interpreter.run() is False
    interpreter.reset()
    assert interpreter.run() is False
    assert out.log == [("set", 0.0)] * 2


ALLOCATION_FAILURE = textwrap.dedent("""
    import resource, sys
    import zolangpy

    class Big(zolangpy.Prop):
        def get(self):
            return "z" * (1 << 20)

    # Room for the interpreter itself, not for the strings the program grows.
    with open("/proc/self/statm") as statm:
        size = int(statm.read().split()[0]) * resource.getpagesize()
    limit = size + (600 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    # $s = $s + $s until memory runs out.
    interpreter = zolangpy.Interpreter(
        'get "s"\\nstore 0\\nload 0\\nload 0\\nadd\\nstore 0\\njump -4\\n')
    interpreter.register_property("s", Big())
    try:
        interpreter.run()
    except Exception as error:
        print("Exception", type(error).__name__, error)
    except BaseException as error:
        print("BaseException", type(error).__name__, error)
    else:
        print("returned")
""")


@pytest.mark.skipif(bool(os.environ.get("ZO_SANITIZED")),
                    reason="AddressSanitizer reserves more address space than any limit allows")
def test_running_out_of_memory_in_a_method_is_the_internal_fault():
    result = subprocess.run([sys.executable, "-c", ALLOCATION_FAILURE], capture_output=True,
                            text=True, timeout=120, env=os.environ.copy())
    assert result.returncode == 0, result.stderr[-2000:]
    kind, type_name, *_ = result.stdout.split()
    assert (kind, type_name) == ("BaseException", "InternalError"), result.stdout


@pytest.mark.skipif(not os.environ.get("ZO_SANITIZED"), reason="only in sanitized builds")
def test_sanitized_runs_really_carry_the_sanitizer_runtimes():
    # The extension is instrumented but the interpreter is not: without the
    # preloaded runtimes a sanitized run would check nothing.
    import ctypes
    process = ctypes.CDLL(None)
    assert hasattr(process, "__asan_init") and hasattr(process, "__ubsan_handle_add_overflow")


# Calls `use` at every depth from the edge of the recursion limit back up:
# each call must return, or raise RecursionError or a ZoError, never crash.
AT_EVERY_DEPTH = textwrap.dedent("""
    import sys
    import zolangpy

    class Done(zolangpy.Callable):
        def call(self):
            return True

    class Go(zolangpy.CallableGenerator):
        def check_syntax(self, args):
            pass

        def generate(self, args):
            return Done()

    class Value(zolangpy.Prop):
        def get(self):
            return 1

        def set(self, value):
            pass

        def is_settable(self):
            return True

    def compiler():
        made = zolangpy.Compiler()
        made.register_callable("go", Go())
        made.register_property("p", Value())
        return made

    outcomes = set()

    def at_every_depth(use):
        try:
            at_every_depth(use)
        except RecursionError:
            pass
        try:
            use()
            outcomes.add("returned")
        except RecursionError:
            outcomes.add("RecursionError")
        except Exception as error:
            outcomes.add(type(error).__name__)

    running = compiler()
    assert running.compile("use $p; while true { go $p; $p = 2; }")
    running = running.into_interpreter()
    ending = compiler()
    assert ending.compile("group __end { go; } go;")
    ending = ending.into_interpreter()
    compiling = compiler()

    def stop_and_reset():
        ending.run()
        ending.stop()
        ending.reset()

    for limit in sys.argv[1:]:
        sys.setrecursionlimit(int(limit))
        at_every_depth(running.run)
        at_every_depth(stop_and_reset)
        at_every_depth(lambda: compiling.compile("use $p; go 1; $p = 2;"))
    print(sorted(outcomes))
""")


# The last case lowers the limit after deep entries were allowed.
@pytest.mark.parametrize("limits", [["300"], ["1000"], ["3000"], ["3000", "300"]])
def test_entering_the_module_near_the_recursion_limit_is_a_clean_recursion_error(limits):
    result = subprocess.run([sys.executable, "-c", AT_EVERY_DEPTH, *limits],
                            capture_output=True, text=True, timeout=300, env=os.environ.copy())
    assert result.returncode == 0, result.stderr[-2000:]
    outcomes = set(eval(result.stdout))
    assert {"returned", "RecursionError"} <= outcomes <= {"returned", "RecursionError", "ZoError"}


# A native that runs another interpreter whose native does the same, until the
# recursion limit stops the chain: the failure travels back out as the
# repr() of each inner ZoError, escaped once more at every level.
NESTED_CHAIN = textwrap.dedent("""
    import sys
    import zolangpy

    class Deeper(zolangpy.Callable):
        def call(self):
            return nested()

    class Chain(zolangpy.CallableGenerator):
        def check_syntax(self, args):
            pass

        def generate(self, args):
            return Deeper()

    def nested():
        interpreter = zolangpy.Interpreter('call "deeper" 0\\n')
        interpreter.register_callable("deeper", Chain())
        return not interpreter.run()

    try:
        nested()
    except Exception as error:
        text = str(error)
        print(type(error).__name__, len(text.encode()), text[-40:])
""")


def test_a_chain_of_nested_interpreters_fails_at_the_recursion_limit_with_bounded_text():
    result = subprocess.run([sys.executable, "-c", NESTED_CHAIN], capture_output=True,
                            text=True, timeout=300, env=os.environ.copy())
    assert result.returncode == 0, result.stderr[-2000:]
    kind, size, tail = result.stdout.split(" ", 2)
    assert kind == "ZoError"
    assert int(size) <= 64 * 1024
    assert "... [truncated from " in tail
