"""Breakpoints, stepping and pausing, and what a suspended program shows."""

import threading
import time

import pytest
import zolangpy
from conftest import Cell, Command, raises_zo_error, run_until_done

# Line numbers matter below: worker's loop body is on lines 5 and 6.
PROGRAM = """\
group worker $n {
    $total = 0;
    $i = 0;
    while $i < $n {
        $total += $i;
        $i += 1;
    }
    $done = $total;
}
group idle {
    wait;
    wait;
}
parallel { worker 3; idle; }
$out = 1;
"""


def compiled(source, polls=1, log=None, **properties):
    compiler = zolangpy.Compiler()
    compiler.register_callable("wait", Command([] if log is None else log, "wait", polls))
    for name, cell in properties.items():
        compiler.register_property(name, cell)
    assert compiler.compile(source), compiler.diagnostics()
    return compiler.into_interpreter()


def stopped_frame(interpreter):
    """The innermost frame of the context that stopped."""
    suspension = interpreter.suspension
    (context,) = [c for c in interpreter.debug_contexts() if c["id"] == suspension["context"]]
    return context["frames"][0]


def test_a_breakpoint_in_a_parallel_branch_suspends_and_shows_the_frame():
    out = Cell(0)
    interpreter = compiled(PROGRAM, out=out)
    assert interpreter.set_breakpoints([5, 7, 99]) == [5, 8, None]
    assert interpreter.run() is True
    assert interpreter.status == "suspended"
    assert interpreter.suspension["reason"] == "breakpoint"
    assert interpreter.suspension["line"] == 5
    frame = stopped_frame(interpreter)
    assert frame["group"] == "worker"
    assert frame["variables"] == {"n": 3.0, "total": 0.0, "i": 0.0}
    contexts = interpreter.debug_contexts()
    assert contexts[0]["parent"] is None and contexts[0]["frames"][0]["group"] is None
    # The same contexts, under the same ids, as contexts() and call_site() name them.
    assert [(c["id"], c["parent"], c["branch"]) for c in contexts] == [
        (c["id"], c["parent"], c["branch"]) for c in interpreter.contexts()
    ]
    assert sorted(c["branch"] for c in contexts[1:]) == [0, 1]
    # While suspended, run() does nothing and says the program goes on.
    assert [interpreter.run() for _ in range(3)] == [True] * 3
    assert stopped_frame(interpreter)["variables"]["i"] == 0.0

    interpreter.resume("over")
    assert interpreter.run() is True
    assert interpreter.suspension["reason"] == "step"
    assert interpreter.suspension["line"] == 6
    interpreter.resume()
    assert interpreter.run() is True
    assert interpreter.suspension["line"] == 5
    assert stopped_frame(interpreter)["variables"]["i"] == 1.0

    assert interpreter.set_breakpoints([]) == []
    interpreter.resume()
    for _ in range(100):
        if not interpreter.run():
            break
    assert interpreter.status == "ended"
    assert out.value == 1.0


def stopped_frames(interpreter):
    """The frames of the context that stopped, as (group, line, variables)."""
    suspension = interpreter.suspension
    (context,) = [c for c in interpreter.debug_contexts() if c["id"] == suspension["context"]]
    return [(f["group"], f["line"], f["variables"]) for f in context["frames"]]


def walk(interpreter, steps):
    """Resumes each way of `steps` in turn; the frames of each stop."""
    seen = []
    for how in steps:
        interpreter.resume(how)
        while interpreter.run() and interpreter.status != "suspended":
            pass
        seen.append(stopped_frames(interpreter) if interpreter.status == "suspended" else None)
    return seen


def test_step_into_and_out_of_a_group():
    source = "group inner {\n    $a = 1;\n    $b = 2;\n}\n$x = 1;\ninner;\n$y = 2;\n"
    interpreter = compiled(source)
    interpreter.set_breakpoints([6])
    assert interpreter.run() is True
    assert interpreter.suspension["line"] == 6
    # Into the body's first line, not the header's label.
    interpreter.resume("into")
    interpreter.run()
    frame = stopped_frame(interpreter)
    assert (frame["group"], interpreter.suspension["line"]) == ("inner", 2)
    interpreter.resume("out")
    interpreter.run()
    assert interpreter.suspension["line"] == 7
    assert stopped_frame(interpreter)["variables"]["x"] == 1.0
    interpreter.resume("over")
    assert interpreter.run() is False


# Line numbers matter below.
VALUE_CALLS = """\
group inner $p {
    $q = $p * 2;
    return $q;
}
group branch {
    $k = inner 3;
    $m = $k;
}
$x = inner 1;
parallel { branch; }
$done = $x;
"""


@pytest.mark.parametrize("line, steps, stops", [
    # A group called for its value, from the main program: its frame is the
    # group's own, and leaving it goes on to the caller's next line.
    (9, ["into", "over", "over"], [
        [("inner", 2, {"p": 1.0}), (None, 9, {})],
        [("inner", 3, {"p": 1.0, "q": 2.0}), (None, 9, {})],
        [(None, 10, {"x": 2.0})],
    ]),
    (9, ["into", "out"], [[("inner", 2, {"p": 1.0}), (None, 9, {})], [(None, 10, {"x": 2.0})]]),
    # The same inside a parallel branch; stepping off a group's last line
    # never stops on its header.
    (6, ["into", "out", "over"], [
        [("inner", 2, {"p": 3.0}), ("branch", 6, {})],
        [("branch", 7, {"k": 6.0})],
        [(None, 11, {"x": 2.0})],
    ]),
    (6, ["over", "over"], [[("branch", 7, {"k": 6.0})], [(None, 11, {"x": 2.0})]]),
])
def test_stepping_into_and_out_of_groups_called_for_their_values(line, steps, stops):
    interpreter = compiled(VALUE_CALLS)
    interpreter.set_breakpoints([line])
    assert interpreter.run() is True and interpreter.suspension["line"] == line
    interpreter.set_breakpoints([])
    assert walk(interpreter, steps) == stops


@pytest.mark.parametrize("source, lines, shown", [
    # Not yet assigned, $z shows nothing, not what the group left in its slot.
    ("group g {\n    $a = 5;\n}\n$x = 1;\ng;\n$z = 0;\n", [6], [{"x": 1.0}]),
    # A variable of a branch shows within its branch only; and $b, whose
    # branch did not run, never shows what $d put there.
    ("$c = 1;\nif $c {\n    $a = 1;\n    $a += 1;\n} else {\n    $b = 2;\n}\n$d = 3;\n$e = 4;\n",
     [4, 9], [{"c": 1.0, "a": 1.0}, {"c": 1.0}]),
    # A loop of calls to a group that leaves its variable on the stack.
    ("group h {\n    $b = 2;\n}\n$i = 0;\nwhile $i < 50 {\n    h;\n    $i += 1;\n}\n$y = 3;\n",
     [9], [{"i": 50.0}]),
    ("group h {\n    $b = 2;\n    return;\n}\n$i = 0;\nwhile $i < 50 {\n    h;\n    $i += 1;\n}\n"
     "$y = 3;\n", [10], [{"i": 50.0}]),
])
def test_a_frame_shows_only_the_variables_assigned_on_the_way_to_it(source, lines, shown):
    interpreter = compiled(source)
    assert interpreter.set_breakpoints(lines) == lines
    seen = []
    for _ in lines:
        while interpreter.run() and interpreter.status != "suspended":
            pass
        seen.append(stopped_frame(interpreter)["variables"])
        interpreter.resume()
    assert seen == shown


def test_the_host_loop_goes_on_while_natives_in_progress_are_not_polled():
    log = []
    source = "group count {\n    $k = 0;\n    $k = 1;\n}\nparallel { wait; count; }\n"
    interpreter = compiled(source, polls=1000, log=log)
    interpreter.set_breakpoints([3])
    ticks = 0
    while interpreter.run() and interpreter.status != "suspended":
        ticks += 1
    polls = len(log)
    # The host's own loop keeps counting; the script stays where it stopped.
    for _ in range(200):
        assert interpreter.run() is True
        ticks += 1
    assert len(log) == polls
    assert ticks >= 200
    interpreter.resume()
    assert interpreter.run() is True
    assert len(log) > polls


def test_pause_on_request_and_what_resume_refuses():
    interpreter = compiled("$i = 0;\nwhile true {\n    $i += 1;\n}\n")
    with raises_zo_error("Cannot modify interpreter state while it's running"):
        interpreter.resume()
    interpreter.pause()
    assert interpreter.run() is True
    assert interpreter.suspension["reason"] == "pause"
    interpreter.resume("over")
    assert interpreter.run() is True
    assert interpreter.suspension["reason"] == "step"
    with pytest.raises(ValueError):
        interpreter.resume("sideways")
    interpreter.resume()
    interpreter.pause()  # a step under way: the next line suspends it
    assert interpreter.run() is True
    assert interpreter.status == "suspended"
    interpreter.stop()
    assert interpreter.status == "ended" and interpreter.suspension is None


@pytest.mark.parametrize("lines, error", [
    ([0], ValueError), ([2**40], ValueError), ([-2**70], ValueError), ([True], TypeError),
    ([1.5], TypeError), (["1"], TypeError), ((1,), TypeError), (None, TypeError),
])
def test_set_breakpoints_takes_lines_as_ints_from_1_and_keeps_those_set_on_refusal(lines, error):
    interpreter = compiled("$a = 1;\n$b = 2;\n")
    assert interpreter.set_breakpoints([2]) == [2]
    with pytest.raises(error):
        interpreter.set_breakpoints(lines)
    assert interpreter.run() is True and interpreter.suspension["line"] == 2


def test_read_property_calls_get_and_ir_text_has_no_variables():
    cell = Cell(4.5)
    # A property declared with `use` is the program's, read or not; one that
    # the program never names is not.
    interpreter = compiled("use $speed;\nuse $ticks;\n$v = $speed;\n", speed=cell,
                           ticks=Cell(7), other=Cell(1))
    assert interpreter.read_property("speed") == 4.5
    assert interpreter.read_property("ticks") == 7
    for missing in ("nothing", "other"):
        with pytest.raises(KeyError):
            interpreter.read_property(missing)
    from_ir = zolangpy.Interpreter("push 1\nyield\n")
    assert from_ir.set_breakpoints([1]) == [None]
    assert from_ir.run() is True
    assert from_ir.debug_contexts() == [
        {"id": 0, "parent": None, "branch": None,
         "frames": [{"group": None, "address": 1, "line": None, "column": None, "variables": {}}]}
    ]


ENDING = """\
group __end {
    $out = 5;
    $out = 6;
}
$out = 1;
yield;
$out = 2;
"""


@pytest.mark.parametrize("how", ["request_stop", "end_in_steps"])
def test_end_runs_in_steps_past_its_breakpoints(how):
    out = Cell(0)
    interpreter = compiled(ENDING, out=out)
    interpreter.end_in_steps = how == "end_in_steps"
    # __end never stops, so its lines take no breakpoint.
    assert interpreter.set_breakpoints([1, 2, 3, 5]) == [None, None, None, 5]
    assert interpreter.run() is True and interpreter.suspension["line"] == 5
    if how == "request_stop":
        interpreter.request_stop()  # while suspended: the run ends, in steps
    else:
        interpreter.resume()  # and on to the end
    statuses = []
    while interpreter.run():
        statuses.append(interpreter.status)
        assert len(statuses) < 20
    assert "suspended" not in statuses[-2:] and "ending" in statuses
    assert interpreter.status == "ended" and interpreter.suspension is None
    assert out.value == 6.0


class Echo(zolangpy.CallableGenerator):
    """A native whose call, used as a value, gives ten times its argument on its third poll."""

    def generate(self, args):
        return Later(args[0] * 10)

    def check_syntax(self, args):
        pass


class Later(zolangpy.Callable):
    def __init__(self, value):
        self.value, self.polls = value, 0

    def call(self):
        self.polls += 1
        return self.polls >= 3

    def result(self):
        return self.value


def test_stepping_over_calls_used_as_values_waits_for_their_values():
    source = "group twice $n {\n    return $n * 2;\n}\n$a = echo 4;\n$b = twice($a);\n$c = $b;\n"
    compiler = zolangpy.Compiler()
    compiler.register_callable("echo", Echo())
    assert compiler.compile(source), compiler.diagnostics()
    interpreter = compiler.into_interpreter()
    interpreter.set_breakpoints([4])
    assert interpreter.run() is True and interpreter.suspension["line"] == 4
    lines = []
    for _ in range(20):
        interpreter.resume("over")
        while interpreter.run() and interpreter.status != "suspended":
            pass
        if interpreter.status != "suspended":
            break
        lines.append((interpreter.suspension["line"], stopped_frame(interpreter)["variables"]))
    assert lines == [(5, {"a": 40.0}), (6, {"a": 40.0, "b": 80.0})]


def test_memory_limit_fails_a_debugged_run_where_it_fails_an_undebugged_one():
    source = "$s = \"x\";\nwhile true {\n    $s = $s + $s;\n}\n"
    for breakpoints in ([], [3]):
        interpreter = compiled(source)
        interpreter.set_limits(memory=1 << 20)
        interpreter.set_breakpoints(breakpoints)
        with raises_zo_error("[address 7] Memory limit exceeded"):
            for _ in range(100):
                interpreter.run()
                if interpreter.status == "suspended":
                    interpreter.resume()


def test_a_pause_from_another_thread_ends_a_runaway_step():
    interpreter = compiled("$i = 0;\nwhile true {\n    $i += 1;\n}\n")
    # The pause goes through at a check point, where run() lets other threads
    # take the GIL; the stop after it only keeps a failing test from hanging.
    pauser = threading.Thread(target=lambda: (time.sleep(0.2), interpreter.pause()), daemon=True)
    stopper = threading.Timer(30.0, interpreter.request_stop)
    pauser.start()
    stopper.start()
    try:
        assert interpreter.run() is True
    finally:
        stopper.cancel()
    pauser.join()
    assert interpreter.status == "suspended"
    assert interpreter.suspension["reason"] == "pause"
    assert interpreter.suspension["line"] in (2, 3)
    assert stopped_frame(interpreter)["variables"]["i"] > 0


def test_break_on_error_suspends_where_the_step_would_fail_then_raises_it():
    source = "group probe $x {\n    $y = $x * 2;\n    $z = $y + \"a\";\n}\nparallel { probe 4; }\n"
    failed = compiled(source)
    with pytest.raises(Exception) as plain:
        run_until_done(failed)
    interpreter = compiled(source)
    assert interpreter.break_on_error is False
    interpreter.break_on_error = True
    assert interpreter.run() is True and interpreter.status == "suspended"
    suspension = interpreter.suspension
    assert (suspension["reason"], suspension["line"]) == ("exception", 3)
    assert suspension["error"] == str(plain.value)
    assert stopped_frame(interpreter)["variables"] == {"x": 4.0, "y": 8.0}
    assert interpreter.run() is True  # held there until resumed
    interpreter.resume("over")
    with raises_zo_error(str(plain.value)):
        interpreter.run()
    assert interpreter.last_error()["line"] == 3 and interpreter.status == "running"
    interpreter.stop()
    assert interpreter.status == "ended" and interpreter.suspension is None
    with pytest.raises(TypeError):
        interpreter.break_on_error = 1


@pytest.mark.parametrize("group, call, ir_grows", [
    ("group h $p {\n    $p = 2;\n}\n", "h 1;", False),
    ("group h {\n    $b = 2;\n    return $b;\n}\n", "$v = h;", False),
    ("group h {\n    $b = 2;\n}\n", "h;", True),
    ("group h {\n    $b = 2;\n    return;\n}\n", "h;", True),
    ("group h $p $q {\n    if $p > 0 { return; }\n    $b = 2;\n}\n", "h $i 2;", True),
])
def test_a_loop_of_group_calls_holds_one_calls_worth(group, call, ir_grows):
    """However a group returns, its arguments and variables go with it in a
    compiled program; IR text keeps what a group leaves on the stack, so the
    same loop read from its IR grows until the memory limit stops it."""
    source = group + "$i = 0;\nwhile $i < 100000 {\n    " + call + "\n    $i += 1;\n}\n"
    interpreter = compiled(source)
    interpreter.set_limits(memory=200_000)
    run_until_done(interpreter)
    compiler = zolangpy.Compiler()
    compiler.register_callable("wait", Command([], "wait", 1))
    assert compiler.compile(source)
    from_ir = zolangpy.Interpreter(compiler.into_raw())
    from_ir.set_limits(memory=200_000)
    if ir_grows:
        with pytest.raises(Exception, match="Memory limit exceeded"):
            run_until_done(from_ir)
    else:
        run_until_done(from_ir)
