"""Breakpoints, stepping and pausing, and what a suspended program shows."""

import pytest
import zolangpy
from conftest import Cell, Command, raises_zo_error

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


def test_step_into_and_out_of_a_group():
    source = "group inner {\n    $a = 1;\n    $b = 2;\n}\n$x = 1;\ninner;\n$y = 2;\n"
    interpreter = compiled(source)
    interpreter.set_breakpoints([6])
    assert interpreter.run() is True
    assert interpreter.suspension["line"] == 6
    interpreter.resume("into")
    interpreter.run()
    frame = stopped_frame(interpreter)
    assert (frame["group"], interpreter.suspension["line"]) == ("inner", 1)
    interpreter.resume("out")
    interpreter.run()
    assert interpreter.suspension["line"] == 7
    assert stopped_frame(interpreter)["variables"]["x"] == 1.0
    interpreter.resume("over")
    assert interpreter.run() is False


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


def test_read_property_calls_get_and_ir_text_has_no_variables():
    cell = Cell(4.5)
    interpreter = compiled("use $speed;\n$v = $speed;\n", speed=cell)
    assert interpreter.read_property("speed") == 4.5
    with pytest.raises(KeyError):
        interpreter.read_property("nothing")
    from_ir = zolangpy.Interpreter("push 1\nyield\n")
    assert from_ir.set_breakpoints([1]) == [None]
    assert from_ir.run() is True
    assert from_ir.debug_contexts() == [
        {"id": 0, "parent": None, "branch": None,
         "frames": [{"group": None, "address": 1, "line": None, "column": None, "variables": {}}]}
    ]
