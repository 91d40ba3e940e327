"""The host kit and its drivers, used as a host author uses them."""

import asyncio
import gc
import math
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

from conftest import PYTHON_DIR

sys.path.insert(0, PYTHON_DIR)
import zo  # noqa: E402  (the package under test, from the source tree)


def make_host(log):
    """A host with one command of each kind, each logging what it does, and
    the standard natives."""
    host = zo.Host()

    @host.command("note VALUES...")
    def note(*values):
        log.append(values)

    @host.command("tag NAME VALUES...")
    def tag(name: str, *values):
        log.append((name,) + values)

    @host.command("count to N [by STEP]")
    def count(n: int, step: int = 1):
        try:
            for i in range(0, n, step):
                log.append(i)
                yield
            return n
        finally:
            log.append("finally")

    @host.command("later N")
    async def later(n: float):
        await asyncio.sleep(n)
        log.append("later")
        return n

    @host.command("work N", blocking=True)
    def work(n: float, cancel):
        log.append(threading.current_thread() is threading.main_thread())
        cancel.wait(n)
        log.append("cancelled" if cancel.is_set() else "worked")

    @host.command("valve open|close")
    def valve(action):
        log.append(action)

    return host


@pytest.mark.parametrize("program, expected", [
    ("note 1 \"a\" true;", [(1.0, "a", True)]),
    ('tag "t" 1 2; tag "u";', [("t", 1.0, 2.0), ("u",)]),
    ("count to 3;", [0, 1, 2, "finally"]),
    ("count to 5 by 2;", [0, 2, 4, "finally"]),
    ("work 0;", [False, "worked"]),
    # A lost race closes the generator and sets the thread's token.
    ("race { count to 100; note 1; }", [0, (1.0,), "finally"]),
    # (once its thread has taken it up: one abandoned before never runs)
    ("group late { wait 1 seconds; note 1; } race { work 60; late; }",
     [False, (1.0,), "cancelled"]),
])
def test_each_kind_of_command_runs_and_is_terminated(program, expected):
    log = []
    assert zo.run(program, make_host(log)) == "ended"
    deadline = time.monotonic() + 30
    while len(log) < len(expected) and time.monotonic() < deadline:
        time.sleep(0.01)  # a cancelled thread logs on its own time
    assert log == expected


def test_words_of_alternatives_reach_the_function():
    log = []
    zo.run("valve open; valve close;", make_host(log))
    assert log == ["open", "close"]


def test_each_kind_of_command_gives_the_value_it_returns():
    log = []
    program = "$a = count to 2; $b = later 0.01; $c = work 0; $d = valve open; note $a $b $c $d;"
    assert asyncio.run(zo.run_async(program, make_host(log))) == "ended"
    assert log[-1] == (2.0, 0.01, None, None)


def test_an_async_command_under_asyncio_run_wakes_the_driver_at_once():
    log = []
    host = make_host(log)
    finished = []

    @host.command("mark")
    def mark():
        finished.append(time.monotonic())

    @host.command("soon")
    async def soon():
        await asyncio.sleep(0.05)
        finished.append(time.monotonic())

    # A tick of 10 s: only the completion itself can wake the driver in time.
    outcome = asyncio.run(zo.run_async("later 0.01; soon; mark;", host, tick=10))
    assert outcome == "ended" and log == ["later"]
    assert finished[1] - finished[0] < 2.0


def test_an_async_command_needs_the_async_driver():
    with pytest.raises(Exception, match="later is an async command: run the program on an "
                                        "asyncio loop, with zo.run_async"):
        zo.run("later 1;", make_host([]))


SIGNATURE_ERRORS = [
    ("count 3;", "count: expected 'count to N [by STEP]', got 'count 3'"),
    ("count to 3 by;", "count: expected 'count to N [by STEP]', got 'count to 3 by'"),
    ("valve opne;", "valve: expected 'valve open|close', got 'valve opne'"),
    ("note 1 two;", "note: expected 'note VALUES...', got 'note 1 two'"),
]


@pytest.mark.parametrize("program, message", SIGNATURE_ERRORS)
def test_a_call_that_does_not_fit_is_refused_at_its_place(program, message):
    with pytest.raises(zo.CompileError) as caught:
        zo.run(program, make_host([]))
    (error,) = caught.value.diagnostics
    assert (error["message"], error["line"], error["column"]) == (message, 1, 1)


@pytest.mark.parametrize("program, message", [
    ('count to "3";', 'count: N must be a whole number, got "3"'),
    ("count to 2.5;", "count: N must be a whole number, got 2.5"),
    ("later true;", "later: N must be a number, got true"),
])
def test_argument_types_are_checked_at_run_time(program, message):
    with pytest.raises(Exception) as caught:
        asyncio.run(zo.run_async(program, make_host([])))
    assert str(caught.value) == message


@pytest.mark.parametrize("signature, function, message", [
    ("move to X", lambda y: None, "move: the signature names X, but <lambda>() has no "
                                  "parameter 'x'"),
    ("move [to X] Y", lambda x, y: None, "only trailing parts may be optional in 'move [to X] Y'"),
    ("move open|close", lambda: None, "move: no parameter of <lambda>() is left for "
                                      "'open|close'"),
    ("3d", lambda: None, "a signature starts with the command's name: '3d'"),
    ("f X X", lambda x: None, "X stands twice in 'f X X': each placeholder names a parameter"),
    pytest.param("f " + "[a " * 17 + "]" * 17, lambda: None,
                 "optional parts nest at most 16 deep", id="nested"),
    pytest.param("f " + "[a " * 3000 + "]" * 3000, lambda: None,
                 "f: a signature has at most 100 words, placeholders", id="long"),
    (3, lambda: None, "a signature is a str such as 'move to X Y', not int (3)"),
    ("f", 3, "f: a command is a function, not int (3)"),
    ("print VALUES...", lambda *values: None, "callable 'print' is registered twice: it is a "
                                              "standard native (leave those out with --no-std, "
                                              "or Host(standard=False))"),
])
def test_commands_that_cannot_work_are_refused_when_registered(signature, function, message):
    with pytest.raises(zo.HostError) as caught:
        zo.Host().command(signature, function)
    assert message in str(caught.value)


def speed_host():
    host = zo.Host(standard=False)
    state = {"speed": 1.0}
    host.prop("battery", lambda: 50, doc="Percent left.")

    @host.prop("speed", check=lambda value: 0 <= value <= 5)
    def speed():
        """Metres per second."""
        return state["speed"]

    @speed.setter
    def speed(value: float):
        state["speed"] = value

    host.prop("broken", lambda: [1])
    return host, state


@pytest.mark.parametrize("program, outcome", [
    ("use $speed; $speed = 3;", 3.0),
    ('use $speed; $speed = "fast";', '$speed must be a number, got "fast"'),
    ("use $speed; $speed = 7;", "$speed: 7 is not a valid value"),
    ("use $broken; $x = $broken;", "$broken gave a list, which Zo cannot hold (a number, a "
                                   "string, true, false or nil)"),
    ("use $battery; $battery = 1;", "External property 'battery' not settable"),
])
def test_properties_convert_validate_and_name_themselves(program, outcome):
    host, state = speed_host()
    try:
        zo.run(program, host)
    except Exception as error:  # ZoError, or CompileError for the last
        message = str(error)
        assert outcome in message if isinstance(error, zo.CompileError) else message == outcome
    else:
        assert state["speed"] == outcome


def test_the_model_lists_commands_properties_and_raw_natives():
    import zolangpy

    host, _ = speed_host()
    make = make_host([])
    for name in ("count", "later", "work"):
        host.callable(name, make.callables[name])

    class Raw(zolangpy.CallableGenerator):
        """A native of the layer below."""

    host.callable("raw", Raw())
    model = host.model()
    assert [(c["name"], c["kind"]) for c in model["commands"]] == [
        ("count", "generator"), ("later", "async"), ("work", "blocking")]
    assert model["commands"][0] == {
        "name": "count", "signature": "count to N [by STEP]", "kind": "generator", "doc": "",
        "values": [
            {"name": "N", "parameter": "n", "type": "number", "optional": False,
             "variadic": False},
            {"name": "STEP", "parameter": "step", "type": "number", "optional": True,
             "variadic": False}],
        "words": ["to", "by"],
        "parts": [{"words": ["to"]}, {"value": "N"},
                  {"optional": [{"words": ["by"]}, {"value": "STEP"}]}],
        "standard": False}
    assert [(p["name"], p["settable"], p["type"], p["doc"]) for p in model["properties"]] == [
        ("battery", False, None, "Percent left."), ("speed", True, "number", "Metres per second."),
        ("broken", False, None, "")]
    assert model["natives"] == [{"name": "raw", "kind": "callable",
                                 "doc": "A native of the layer below."}]


ASYNC_HOST = """
import asyncio, sys
sys.path.insert(0, %r)
import zo
host = zo.Host()

@host.command("forever")
async def forever():
    try:
        await asyncio.sleep(3600)
    finally:
        print("cancelled", flush=True)

program = 'group __end { wait 10 milliseconds; print "parked"; } print "started"; forever;'
print(asyncio.run(zo.run_async(program, host)), flush=True)
"""


def test_sigint_under_the_async_driver_stops_the_program_and_runs_end():
    process = subprocess.Popen([sys.executable, "-c", ASYNC_HOST % PYTHON_DIR],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               universal_newlines=True, env=dict(os.environ))
    assert process.stdout.readline() == "started\n"
    time.sleep(0.2)
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=30)
    assert (process.returncode, out) == (0, "cancelled\nparked\ninterrupted\n"), err


# The loop's wake-up takes a lock; a SIGINT whose handler runs while the
# loop itself holds it (here, inside clearing the wake-up) must not wait on it.
SIGINT_UNDER_LOCK_HOST = """
import signal, sys, threading
sys.path.insert(0, %r)
import zo

class Clear(threading.Event):
    armed = True
    def clear(self):
        with self._cond:
            if Clear.armed and threading.current_thread() is threading.main_thread():
                Clear.armed = False
                signal.raise_signal(signal.SIGINT)
            self._flag = False

threading.Event = Clear
host = zo.Host()

@host.command("pending")
def pending():
    while True:
        yield

print(zo.run('group __end { print "parked"; } pending;', host), flush=True)
"""


def test_sigint_while_the_loop_holds_its_wake_up_lock_still_stops_the_program():
    out = subprocess.run([sys.executable, "-c", SIGINT_UNDER_LOCK_HOST % PYTHON_DIR],
                         capture_output=True, universal_newlines=True, timeout=30).stdout
    assert out == "parked\ninterrupted\n"


@pytest.mark.parametrize("program, message", [
    ("$x = huge;", "huge gave 100000...000 (401 digits), a whole number too large for Zo's "
                   "numbers (at most about 1.8e308)"),
    ("use $huge; $x = $huge;", "$huge gave -10000...000 (401 digits), a whole number too large "
                               "for Zo's numbers (at most about 1.8e308)"),
    ("$x = thing;", "thing gave a Thing, which Zo cannot hold (a number, a string, true, false "
                    "or nil)"),
])
def test_values_zo_cannot_hold_are_refused_naming_their_native(program, message):
    class Thing:
        def __float__(self):
            return 1.0

    host = zo.Host(standard=False)
    host.command("huge", lambda: 10 ** 400)
    host.command("thing", Thing)
    host.prop("huge", lambda: -10 ** 400)
    with pytest.raises(Exception) as caught:
        zo.run(program, host)
    assert str(caught.value) == message


def test_programs_share_a_host_from_one_loop_and_from_threads():
    host = make_host([])
    programs = ["later 0.05; wait 50 milliseconds; work 0.02; later 0.02;",
                "work 0.05; later 0.02; wait 20 milliseconds; later 0.01;"]

    async def together():
        return await asyncio.gather(*(zo.run_async(p, host, tick=10) for p in programs))

    # A tick of 10 s: a run that misses its own wake-ups waits that long.
    started = time.monotonic()
    assert asyncio.run(asyncio.wait_for(together(), 60)) == ["ended", "ended"]
    outcomes = []
    threads = [threading.Thread(target=lambda: outcomes.append(zo.run(
        "work 0.05; wait 30 milliseconds; work 0.01;", host, tick=10))) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert outcomes == ["ended"] * 3
    assert time.monotonic() - started < 8


def test_calls_abandoned_in_a_hosts_own_loop_are_not_kept():
    log = []
    host = make_host(log)
    reset = host.compile("count to 100;")
    reset.run()
    reset.reset()
    failed = host.compile('group bad { $x = 1 + "a"; } parallel { count to 100; bad; }')
    with pytest.raises(Exception, match="Right operand must be a string"):
        while failed.run():
            pass
    del failed
    for _ in range(3):  # PyPy closes a generator when it collects it
        gc.collect()
    assert log.count("finally") == 2


def test_yield_seconds_pauses_the_generator_however_often_the_program_steps():
    host = zo.Host()
    resumed = []

    @host.command("pause N")
    def pause(n: float):
        for _ in range(3):
            resumed.append(time.monotonic())
            yield n

    @host.command("busy")
    def busy():
        pass

    started = time.monotonic()
    zo.run("pause 0.3;", host)
    assert 0.9 <= time.monotonic() - started < 10
    # An instant call in a loop steps the program at once, again and again.
    del resumed[:]
    zo.run("use $time;\ngroup spin { while $time < 2 { busy; } }\nparallel { pause 0.3; spin; }",
           host)
    assert min(b - a for a, b in zip(resumed, resumed[1:])) >= 0.3


@pytest.mark.parametrize("pause, shown", [
    (-1, None), (math.nan, "NaN"), (math.inf, "inf"), (-math.inf, "-inf"), ("soon", '"soon"'),
])
def test_a_pause_is_a_finite_number_of_seconds(pause, shown):
    host = zo.Host(standard=False)

    @host.command("hold")
    def hold():
        yield pause

    if shown is None:
        assert zo.run("hold;", host) == "ended"  # a negative pause is none
        return
    with pytest.raises(Exception) as caught:
        zo.run("hold;", host)
    assert str(caught.value) == ("hold: yield gave %s, where a generator command yields nothing "
                                 "or a finite number of seconds" % shown)


STUCK_HOST = """
import sys, threading
sys.path.insert(0, %r)
import zo
host = zo.Host()
host.command("stuck", lambda: threading.Event().wait(), blocking=True)
print(zo.run("race { stuck; wait 10 milliseconds; }", host), flush=True)
"""


def test_blocking_calls_share_a_bounded_pool_that_does_not_hold_up_the_exit():
    host = zo.Host(standard=False)
    lock = threading.Lock()
    running, most = [0], [0]

    @host.command("block", blocking=True)
    def block():
        with lock:
            running[0] += 1
            most[0] = max(most[0], running[0])
        time.sleep(0.01)
        with lock:
            running[0] -= 1

    assert zo.run("parallel { %s}" % ("block; " * 300), host) == "ended"
    assert most[0] <= zo.kit.POOL_THREADS
    pool = [t for t in threading.enumerate() if t.name.startswith("zo-command")]
    assert 1 <= len(pool) <= zo.kit.POOL_THREADS
    # A call that never returns keeps its thread, not the process.
    stuck = subprocess.run([sys.executable, "-c", STUCK_HOST % PYTHON_DIR], timeout=60,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           universal_newlines=True)
    assert (stuck.returncode, stuck.stdout) == (0, "ended\n"), stuck.stderr


@pytest.mark.skipif(sys.version_info < (3, 10), reason="X | None needs Python 3.10")
def test_union_annotations_are_checked_and_exported():
    host = zo.Host(standard=False)

    @host.command("level N")
    def level(n: float | None):
        return n

    assert host.model()["commands"][0]["values"][0]["type"] == "number?"
    assert zo.run("$v = level nil;", host) == "ended"
    with pytest.raises(Exception, match='^level: N must be a number or nil, got "x"$'):
        zo.run('$v = level "x";', host)


@pytest.mark.parametrize("deadline, outcome", [
    (math.inf, "ended"), (1e308, "ended"), pytest.param(10 ** 400, "ended", id="10**400"),
    (math.nan, "a deadline is a number of seconds, at least 0 (inf for none), not nan"),
    (-1, "a deadline is a number of seconds, at least 0 (inf for none), not -1"),
])
def test_a_deadline_is_seconds_or_inf_for_none(deadline, outcome, capfd):
    try:
        result = zo.run("wait 10 milliseconds;", zo.Host(), deadline=deadline)
    except ValueError as error:
        result = str(error)
    assert result == outcome
    assert capfd.readouterr().err == ""  # no timer thread's traceback
