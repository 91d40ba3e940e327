"""Other Python threads beside a long step: they get the GIL at check points,
and may ask the interpreter to stop while run() holds it on another thread.
The machine is loaded, so the bounds are wide."""

import _thread
import threading
import time

import pytest
import zolangpy
from conftest import Command


def runaway(log, source='group __end { log 1; } while true { }'):
    compiler = zolangpy.Compiler()
    compiler.register_callable("log", Command(log, "log"))
    compiler.register_callable("wait", Command(log, "wait", 1_000_000))
    compiler.register_callable("nap", Command(log, "nap", 1_000_000))
    assert compiler.compile(source)
    return compiler.into_interpreter()


def after(seconds, action):
    thread = threading.Thread(target=lambda: (time.sleep(seconds), action()), daemon=True)
    thread.start()
    return thread


def start_thread(how, target):
    """Starts `target` on a thread made by `threading` or by `_thread` alone
    (which `threading` never hears of); the event is set once it returns."""
    returned = threading.Event()

    def body():
        try:
            target()
        finally:
            returned.set()

    if how == "threading":
        threading.Thread(target=body, daemon=True).start()
    else:
        _thread.start_new_thread(body, ())
    return returned


@pytest.mark.parametrize("how", ["threading", "_thread"])
def test_a_ticking_thread_runs_beside_a_runaway_step_and_can_stop_it(how):
    log, ticks, asked = [], [], []
    interpreter = runaway(log)
    done = threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(time.monotonic())
            if not asked and ticks[-1] - ticks[0] >= 1.0:
                asked.append(ticks[-1])
                interpreter.request_stop()
            time.sleep(0.01)

    ticker = start_thread(how, tick)
    interpreter.set_limits(seconds=20)  # a starved ticker fails the test rather than hangs it
    started = time.monotonic()
    assert interpreter.run() is True  # the stop, noticed at a check point
    ended = time.monotonic()
    done.set()
    assert ticker.wait(10)
    assert interpreter.status == "ending"
    assert ended - asked[0] < 2.0
    during = sum(started <= tick <= ended for tick in ticks)
    assert during >= 0.2 * (ended - started) / 0.01, during
    # Meanwhile the interpreter stayed borrowed; only request_stop got through.
    assert interpreter.run() is True and log == [("log", "generate", [1.0]), ("log", "call", 1)]
    assert interpreter.run() is False


def test_other_threads_are_refused_as_before_while_run_holds_the_interpreter():
    interpreter = runaway([])
    refused = []

    def try_methods():
        for method in (interpreter.run, interpreter.stop, interpreter.reset):
            try:
                method()
            except RuntimeError as error:
                refused.append(str(error))
        try:
            interpreter.status
        except RuntimeError as error:
            refused.append(str(error))
        interpreter.request_stop()

    worker = after(0.1, try_methods)
    assert interpreter.run() is True
    worker.join()
    assert refused == ["Already borrowed"] * 3 + ["Already mutably borrowed"]


def test_a_stop_asked_for_while_a_native_is_pending_terminates_it_once():
    log = []

    class Nap(zolangpy.Callable):
        def call(self):
            log.append("call")
            # Another thread asks while this call blocks (and so lets the GIL go).
            asker = threading.Thread(target=interpreter.request_stop)
            asker.start()
            asker.join()
            return False

        def terminate(self):
            log.append("terminate")

    class Naps(zolangpy.CallableGenerator):
        def check_syntax(self, args):
            pass

        def generate(self, args):
            return Nap()

    compiler = zolangpy.Compiler()
    compiler.register_callable("nap", Naps())
    assert compiler.compile("nap;")
    interpreter = compiler.into_interpreter()
    assert interpreter.run() is False  # no __end: the run ended with the stop
    assert log == ["call", "terminate"]
    assert interpreter.status == "ended"


def test_a_runaway_loop_in_a_parallel_branch_is_stopped_with_its_sibling():
    log = []
    interpreter = runaway(log, 'group spin { while true { } } parallel { wait; spin; }')
    asker = after(0.2, interpreter.request_stop)
    assert interpreter.run() is False  # no __end: the stop ended the run
    asker.join()
    assert ("wait", "terminate") in log
