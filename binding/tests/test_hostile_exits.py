"""The process exits while a daemon thread is inside the module: running a
native that sleeps, compiling, asking a native to check a call's syntax, or
stopping a program whose __end waits on a native. Python ends such threads
when they take the GIL back during finalization, by unwinding their stacks;
every exit must still be clean, every time."""

import concurrent.futures
import os
import subprocess
import sys
import textwrap

import pytest

REPETITIONS = 20

PROGRAMS = {
    "run with a sleeping native": """
        class Nap(zolangpy.Callable):
            def call(self):
                time.sleep(0.01)
                return False

        def work():
            interpreter = zolangpy.Interpreter('call "nap" 0\\n')
            interpreter.register_callable("nap", Constant(Nap()))
            while interpreter.run():
                pass
    """,
    "compile": """
        SOURCE = "$x = 1;\\n" * 2000

        def work():
            compiler = zolangpy.Compiler()
            while True:
                compiler.compile(SOURCE)
    """,
    "compile with a sleeping syntax check": """
        class Slow(zolangpy.CallableGenerator):
            def check_syntax(self, args):
                time.sleep(0.005)

        def work():
            compiler = zolangpy.Compiler()
            compiler.register_callable("slow", Slow())
            while True:
                compiler.compile("slow; slow;")
    """,
    "stop polling __end": """
        class Nap(zolangpy.Callable):
            def call(self):
                time.sleep(0.01)
                return False

        def work():
            interpreter = zolangpy.Interpreter(
                'jump 3\\n__end:\\ncall "nap" 0\\nreturn\\nyield\\n')
            interpreter.register_callable("nap", Constant(Nap()))
            interpreter.run()
            interpreter.stop()
    """,
}

HOST = """
import threading, time
import zolangpy

class Constant(zolangpy.CallableGenerator):
    def __init__(self, made):
        self.made = made

    def check_syntax(self, args):
        pass

    def generate(self, args):
        return self.made

{program}

for _ in range(2):
    threading.Thread(target=work, daemon=True).start()
time.sleep(0.05)
"""


def exit_while_busy(program):
    """Runs the host once; returns (exit status, what it wrote to stderr)."""
    source = HOST.format(program=textwrap.dedent(program))
    result = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True,
                            timeout=120, env=os.environ.copy())
    return result.returncode, result.stderr


@pytest.mark.parametrize("program", PROGRAMS.values(), ids=list(PROGRAMS))
def test_the_process_exits_cleanly_while_a_daemon_thread_is_inside(program):
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        outcomes = list(pool.map(exit_while_busy, [program] * REPETITIONS))
    failures = [outcome for outcome in outcomes if outcome != (0, "")]
    assert not failures, f"{len(failures)} of {REPETITIONS} exits failed: {failures[0]}"
