"""Ending a run in steps: request_stop() at every moment a host may call it,
end_in_steps for a program that finishes by itself (also under asyncio), and
where the program stands (contexts(), call_site())."""

import asyncio

import pytest
import zolangpy
from conftest import Command, Polled, run_until_done

# The program waits on `wait`; __end logs, yields, logs again.
WAITING = 'group __end { log 1; yield; log 2; } wait; log 0;'


def interpreter_for(source, log, polls=1_000_000, **natives):
    compiler = zolangpy.Compiler()
    compiler.register_callable("wait", Command(log, "wait", polls))
    compiler.register_callable("log", Command(log, "log"))
    for name, native in natives.items():
        compiler.register_callable(name, native)
    assert compiler.compile(source)
    return compiler.into_interpreter()


def steps_until_done(interpreter, log):
    """(run()'s answer, status, what the step did), step by step to the end."""
    seen = []
    while True:
        before = len(log)
        answer = interpreter.run()
        did = [entry for entry in log[before:] if entry[1] != "call"]
        seen.append((answer, interpreter.status, did))
        if not answer:
            return seen


# The step that notices the request terminates; __end runs in the next ones.
END_IN_STEPS = [
    (True, "ending", [("wait", "terminate")]),
    (True, "ending", [("log", "generate", [1.0])]),
    (True, "ending", []),
    (True, "ending", [("log", "generate", [2.0])]),
    (False, "ended", []),
]


@pytest.mark.parametrize("when", ["before the first step", "while paused", "twice"])
def test_a_stop_asked_for_between_steps_ends_the_program_in_steps(when):
    log = []
    interpreter = interpreter_for(WAITING, log)
    if when != "before the first step":
        assert interpreter.run() is True
    interpreter.request_stop()
    if when == "twice":
        interpreter.request_stop()
    seen = steps_until_done(interpreter, log)
    if when == "before the first step":
        # Nothing ran yet, so there was nothing to terminate.
        assert seen == [(True, "ending", [])] + END_IN_STEPS[1:]
    else:
        assert seen == END_IN_STEPS
    assert ("log", "generate", [0.0]) not in log
    assert log.count(("wait", "terminate")) <= 1


def test_a_native_that_asks_for_a_stop_ends_its_own_step():
    log = []

    class Stopper(zolangpy.CallableGenerator):
        def check_syntax(self, args):
            pass

        def generate(self, args):
            holder[0].request_stop()  # not refused although run() holds the interpreter
            return Polled(log, "stopper", args, 1)

    holder = []
    interpreter = interpreter_for(
        'group __end { log 1; } parallel { a; b; } group a { stopper; log 9; } '
        'group b { wait; }', log, stopper=Stopper())
    holder.append(interpreter)
    seen = steps_until_done(interpreter, log)
    # The pass ends after the stopper's turn: b never starts its wait.
    assert seen == [(True, "ending", []), (True, "ending", [("log", "generate", [1.0])]),
                    (False, "ended", [])]
    assert ("stopper", "call", 1) in log
    assert ("wait", "generate", []) not in log and ("log", "generate", [9.0]) not in log


def test_a_stop_asked_for_at_or_after_the_end_does_nothing():
    log = []
    interpreter = interpreter_for(WAITING, log, polls=1)
    assert run_until_done(interpreter) == 2  # __end inside the finishing step, as before
    interpreter.request_stop()
    assert interpreter.status == "ended"
    interpreter.reset()
    assert interpreter.run() is True and interpreter.status == "paused"
    # While ending in steps a request is void too.
    interpreter.request_stop()
    assert interpreter.run() is True and interpreter.status == "ending"
    interpreter.request_stop()
    assert [answer for answer, _, _ in steps_until_done(interpreter, log)] == [True] * 3 + [False]


def test_a_request_is_forgotten_by_reset_and_stop_still_runs_end_at_once():
    log = []
    interpreter = interpreter_for(WAITING, log)
    assert interpreter.run() is True
    interpreter.request_stop()
    interpreter.reset()
    assert interpreter.run() is True and interpreter.status == "paused"
    interpreter.stop()
    assert interpreter.status == "ended"
    assert [entry for entry in log if entry[0] == "log"] == [
        ("log", "generate", [1.0]), ("log", "call", 1), ("log", "generate", [2.0]),
        ("log", "call", 1)]


def test_end_in_steps_runs_end_of_a_finished_program_in_the_following_steps():
    log = []
    interpreter = interpreter_for(WAITING, log, polls=1)
    assert interpreter.end_in_steps is False
    interpreter.end_in_steps = True
    assert interpreter.end_in_steps is True
    assert [(answer, status) for answer, status, _ in steps_until_done(interpreter, log)] == [
        (True, "paused"), (True, "paused"), (True, "ending"), (True, "ending"), (True, "ending"),
        (True, "ending"), (False, "ended")]
    with pytest.raises(TypeError):
        interpreter.end_in_steps = 1
    with pytest.raises(AttributeError):
        interpreter.other = 1


def test_an_async_native_in_end_finishes_under_asyncio_run():
    class Later(zolangpy.Callable):
        def __init__(self):
            self.task = asyncio.get_running_loop().create_task(asyncio.sleep(0.01))

        def call(self):
            return self.task.done()

    class Async(zolangpy.CallableGenerator):
        def check_syntax(self, args):
            pass

        def generate(self, args):
            return Later()

    async def host():
        interpreter = interpreter_for("group __end { later; later; } log 0;", [],
                                      later=Async())
        interpreter.end_in_steps = True
        while interpreter.run():
            await asyncio.sleep(0)
        return interpreter.status

    assert asyncio.run(asyncio.wait_for(host(), 30)) == "ended"


NESTED = """group __end { log 1; }
group patrol { wait; }
group guard {
  race { wait; patrol; }
}
parallel { patrol; guard; }
"""


def test_contexts_describe_the_live_tree_and_call_site_names_its_context():
    log, sites = [], []

    class Where(zolangpy.CallableGenerator):
        def check_syntax(self, args):
            pass

        def generate(self, args):
            sites.append((holder[0].call_site(), holder[0].contexts()))
            return Polled(log, "where", args, 1)

    holder = []
    interpreter = interpreter_for(NESTED.replace("group patrol { wait; }",
                                                 "group patrol { where; wait; }"),
                                  log, where=Where())
    holder.append(interpreter)
    (fresh,) = interpreter.contexts()
    assert sorted(fresh) == ["branch", "column", "group", "id", "line", "mode", "parent",
                             "waiting"]
    assert [fresh[key] for key in ("parent", "group", "waiting", "mode", "branch")] == [None] * 5
    assert interpreter.run() is True  # each patrol calls `where`
    assert interpreter.run() is True  # and waits
    seen = interpreter.contexts()
    ids = [context["id"] for context in seen]
    assert len(set(ids)) == 5
    root, patrol, guard, race_wait, race_patrol = seen
    shape = [(c["parent"], c["group"], c["line"], c["waiting"], c["mode"], c["branch"])
             for c in seen]
    assert shape == [
        (None, None, 6, None, "parallel", None),
        (root["id"], "patrol", 2, "wait", None, 0),
        (root["id"], "guard", 4, None, "race", 1),
        (guard["id"], "guard", 4, "wait", None, 0),
        (guard["id"], "patrol", 2, "wait", None, 1),
    ]
    # A native asking from inside: its own call, its context and group.
    site, inside = sites[0]
    assert (site["line"], site["group"]) == (2, "patrol")
    assert site["context"] == patrol["id"]
    assert next(c for c in inside if c["id"] == patrol["id"])["waiting"] == "where"
    # Ids stay while contexts live; __end runs in a fresh root.
    assert interpreter.run() is True
    assert [c["id"] for c in interpreter.contexts()] == ids
    interpreter.request_stop()
    assert interpreter.run() is True
    (end,) = interpreter.contexts()
    assert end["group"] == "__end" and end["id"] not in ids


def test_contexts_of_ir_text_have_no_places():
    interpreter = zolangpy.Interpreter('push 1\nyield\n')
    assert interpreter.run() is True
    (root,) = interpreter.contexts()
    assert (root["line"], root["column"], root["group"]) == (None, None, None)


def test_contexts_name_a_group_called_for_its_value():
    interpreter = interpreter_for("group inner { wait; return 1; }\n$v = inner;\n", [])
    assert interpreter.run() is True
    (root,) = interpreter.contexts()
    assert (root["group"], root["line"], root["waiting"]) == ("inner", 1, "wait")
