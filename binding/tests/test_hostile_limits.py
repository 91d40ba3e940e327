"""Resource limits seen from Python: large programs and deep nesting through
the binding; memory that the system refuses, and the memory limit, failing
the step with a ZoError and leaving the process healthy; and that sanitized
runs have the sanitizer runtimes loaded."""

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
    # Still healthy: the interpreter stops, resets, and runs a program again.
    interpreter.stop()
    interpreter.reset()
    print(interpreter.status, len(repr(list(range(100000)))) > 0)
""")


@pytest.mark.skipif(bool(os.environ.get("ZO_SANITIZED")),
                    reason="AddressSanitizer reserves more address space than any limit allows")
def test_memory_the_system_refuses_fails_the_step_and_leaves_the_process_healthy():
    result = subprocess.run([sys.executable, "-c", ALLOCATION_FAILURE], capture_output=True,
                            text=True, timeout=120, env=os.environ.copy())
    assert result.returncode == 0, result.stderr[-2000:]
    failure, after = result.stdout.splitlines()
    assert failure == "Exception ZoError [address 4] Memory limit exceeded", result.stdout
    assert after == "fresh True"


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


# String doubling under a 64 MiB limit; the child reports its peak resident
# memory, then what __end did under the same limit.
DOUBLING_UNDER_A_LIMIT = textwrap.dedent("""
    import resource
    import zolangpy

    compiler = zolangpy.Compiler()
    assert compiler.compile(
        'group __end { $t = "y"; while true { $t = $t + $t; } } '
        '$s = "x"; while true { $s = $s + $s; }')
    interpreter = compiler.into_interpreter()
    interpreter.set_limits(memory=64 * 2**20)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    for operation in (interpreter.run, interpreter.stop):
        try:
            operation()
        except Exception as error:
            print(type(error).__name__, error, interpreter.status)
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - before)
""")


def test_string_doubling_stops_at_the_memory_limit_and_so_does_end():
    result = subprocess.run([sys.executable, "-c", DOUBLING_UNDER_A_LIMIT], capture_output=True,
                            text=True, timeout=120, env=os.environ.copy())
    assert result.returncode == 0, result.stderr[-2000:]
    in_run, in_end, growth = result.stdout.splitlines()
    assert in_run.startswith("ZoError [address ") and in_run.endswith(
        "] Memory limit exceeded running"), in_run
    assert in_end.startswith("ZoError [address ") and in_end.endswith(
        "] Memory limit exceeded ending"), in_end
    if not os.environ.get("ZO_SANITIZED"):
        # What the run added to the process's peak: PyPy's own start-up
        # footprint varies with the machine's load, the program's must not.
        assert int(growth) < 256 * 2**20


def test_the_memory_limit_is_counted_in_bytes_and_checked_like_the_others():
    interpreter = zolangpy.Interpreter()
    for bad, kind in ((-1, ValueError), (True, TypeError), (1.5, TypeError), ("1", TypeError)):
        with pytest.raises(kind, match="memory"):
            interpreter.set_limits(memory=bad)
    interpreter.set_limits(memory=2**70)  # beyond any run: no limit
    interpreter.set_limits(memory=0)
    # Numbers and nil take no memory; a string, or a stack past its first slots, does.
    interpreter = zolangpy.Interpreter(ir("push 1", "push nil", "pop", "pop"))
    interpreter.set_limits(memory=0)
    assert interpreter.run() is False
    interpreter = zolangpy.Interpreter(ir('push "a"', 'push "b"', "add"))
    interpreter.set_limits(memory=0)
    with pytest.raises(Exception, match=r"^\[address 2\] Memory limit exceeded$"):
        interpreter.run()
