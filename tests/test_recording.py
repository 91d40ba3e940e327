import gzip
import json
import os
import re
import shutil
import subprocess
import sys

import pytest
import zolangpy

from conftest import PYTHON_DIR, ROOT, run_zo

sys.path.insert(0, PYTHON_DIR)
import zo  # noqa: E402  (the package under test, from the source tree)
from zo import cli  # noqa: E402
from zo.recording import Recorder, Replayer, RecordWriter, read_record  # noqa: E402
from recording_host import ODD, Boom, Move, Odd, OddText, Position  # noqa: E402

HOST = os.path.join(ROOT, "tests", "recording_host.py")

PATROL = os.path.join(ROOT, "examples", "patrol.zo")
ROBOT = os.path.join(ROOT, "examples", "robot_host.py")


def record(tmp_path, source, name="run.zrec", program="prog.zo", extra=(), limits=None,
           recorded_limits=None):
    """Runs `source` as a host loop would, through the Recorder API; returns
    the record's path and whether the run failed. `limits` are set on the
    interpreter; `recorded_limits` are those the Recorder is told of."""
    path = str(tmp_path / name)
    recorder = Recorder([RecordWriter(path)], source=source, path=program,
                        limits=recorded_limits)
    compiler = zolangpy.Compiler()
    for native_name, native in (("move", Move()), ("boom", Boom()), ("pos", Position()),
                                *extra):
        recorder.register(compiler, native_name, native)
    assert compiler.compile(source), compiler.diagnostics()
    interpreter = compiler.into_interpreter()
    if limits:
        interpreter.set_limits(**limits)
    failed = False
    with recorder:
        try:
            while recorder.run(interpreter):
                pass
        except Exception:  # ZoError
            failed = True
            recorder.stop(interpreter)
    return path, failed


def replay(capsys, *args):
    status = cli.main(["replay", *args])
    out = capsys.readouterr()
    return status, out.out, out.err


def values_from_calls():
    compiler = zolangpy.Compiler()
    compiler.register_callable("move", Move())
    return compiler.compile("$x = move 1;\n")


PROGRAMS = [
    ("parallel", "use $pos;\nparallel {\n  move 3;\n  move 1;\n}\n$pos = $pos + 2;\nmove $pos;\n",
     False),
    ("race", "race {\n  move 5;\n  move 1;\n}\nmove 0;\n", False),
    ("end", "use $pos;\ngroup __end {\n  $pos = 0;\n  move 1;\n}\nmove 2;\n$pos = 7;\n", False),
    ("runtime error", "use $pos;\ngroup __end { move 1; }\nmove 1;\n$x = $pos + \"a\";\n", True),
    ("native failure", "parallel {\n  move 4;\n  boom;\n}\n", True),
    ("values", "$x = move 2;\n$y = race {\n  move 3;\n  move 1;\n};\nmove $x $y;\n", False),
]


@pytest.mark.parametrize("name,source,fails", PROGRAMS, ids=[p[0] for p in PROGRAMS])
def test_a_recorded_run_replays_without_its_host(tmp_path, capsys, name, source, fails):
    if name == "values" and not values_from_calls():
        pytest.skip("needs calls as values (the `values` branch)")
    path, failed = record(tmp_path, source)
    assert failed == fails
    status, out, err = replay(capsys, path)
    assert (status, err) == (0, ""), err
    assert out.startswith("replay matched: ")
    # The same program from a file replays too, and so does the gzip form.
    program = tmp_path / "prog.zo"
    program.write_text(source)
    zipped = str(tmp_path / "run.zrec.gz")
    with open(path, "rb") as plain, gzip.open(zipped, "wb") as packed:
        packed.write(plain.read())
    assert replay(capsys, zipped, str(program))[0] == 0


def test_values_and_failures_come_from_the_record(tmp_path, capsys):
    path, _ = record(tmp_path, "use $pos;\nmove 2;\n$pos = $pos * 3;\nboom;\n")
    lines = [json.loads(line) for line in open(path)]
    kinds = [line.get("e") for line in lines[1:]]
    assert lines[0]["zrec"] == 2 and lines[0]["path"] == "prog.zo"
    assert {n["name"] for n in lines[0]["natives"]} == {"move", "boom"}
    assert lines[0]["properties"] == [{"name": "pos", "settable": True}]
    for kind in ("step", "gen", "done", "get", "set", "fail", "error", "status", "end", "stop",
                 "fin"):
        assert kind in kinds, kind
    assert {"e": "set", "n": "pos", "v": 3} in lines
    failure = next(line for line in lines if line.get("e") == "error")
    assert failure["m"] == "ValueError('the motor stalled')" and failure["l"] == 4
    # The sensor's reading and the set that follows are answered and checked
    # from the record: a program that sets another value diverges.
    edited = tmp_path / "edited.zo"
    edited.write_text("use $pos;\nmove 2;\n$pos = $pos * 4;\nboom;\n")
    status, _, err = replay(capsys, path, str(edited))
    assert status == 1
    assert err.startswith("zo: replay diverged at step 4: %s:3:1 sets $pos to 4; "
                          "the recording has $pos set to 3\n" % edited), err


DIVERGENCES = [
    # (edited program, the message after "replay diverged at ")
    ("move 1;\nmove 3;\nmove 5;\n",
     "step 3: {p}:2:1 calls 'move' with (3); the recording has 'move' with (2)"),
    ("move 1;\nmove 2;\n",
     "step 6: the step ends; the recording has 'move' with (4)"),
    ("move 1;\nmove 2;\nmove 4;\nmove 0;\n",
     "step 11: {p}:4:1 calls 'move' with (0); the recording has nothing more"),
    ("move 1;\nboom;\n",
     "step 3: {p}:2:1 calls 'boom' with (); the recording has 'move' with (2)"),
]


@pytest.mark.parametrize("edited,message", DIVERGENCES)
def test_the_first_divergence_is_named(tmp_path, capsys, edited, message):
    path, _ = record(tmp_path, "move 1;\nmove 2;\nmove 4;\n")
    program = tmp_path / "edited.zo"
    program.write_text(edited)
    status, _, err = replay(capsys, path, str(program))
    assert status == 1
    assert err.splitlines()[0] == "zo: replay diverged at " + message.format(p=program)


def test_an_edit_that_changes_no_call_still_replays(tmp_path, capsys):
    path, _ = record(tmp_path, "use $pos;\n$a = 2;\nmove $a;\n$pos = 1;\nmove $a + 1;\n")
    program = tmp_path / "edited.zo"
    program.write_text("# the same calls, written otherwise\nuse $pos;\n\ngroup go $n {\n"
                       "  move $n;\n}\n$b = 1 + 1;\ngo $b;\n$pos = 3 - 2;\ngo $b + 1;\n")
    assert replay(capsys, path, str(program))[0] == 0


def test_a_cut_record_replays_to_its_last_whole_step(tmp_path, capsys):
    path, _ = record(tmp_path, "move 2;\nmove 3;\nmove 1;\n")
    with open(path) as handle:
        text = handle.read()
    whole = read_record(path)
    cut_at = text.index('{"e":"gen","c":2')  # inside step 4, after its first line
    for name, cut in (("cut.zrec", text[:cut_at + 9]), ("cut.zrec.gz", text[:cut_at])):
        target = tmp_path / name
        if name.endswith(".gz"):
            packed = gzip.compress(cut.encode())
            target.write_bytes(packed[:len(packed) - 3])  # no gzip trailer either
        else:
            target.write_text(cut)
        target = str(target)
        status, out, err = replay(capsys, target)
        assert status == 0, err
        assert "the record was cut during step 4; replayed up to step 3" in err, err
        assert out == "replay matched: 3 steps, 1 native calls\n"
    assert whole.complete and whole.last_step > 4
    # Cut in its closing line, the record still holds every step.
    closing = tmp_path / "closing.zrec"
    closing.write_text(text[:text.rindex('{"e":"fin"') + 9])
    status, out, err = replay(capsys, str(closing))
    assert (status, err) == (0, "zo: the record was cut in its closing line; replayed all %d "
                                "steps\n" % whole.last_step)


HEAD = '{"zrec":2,"natives":[],"properties":[]}\n'
STEP = '{"e":"step","s":1,"t":0}\n'

MALFORMED = [
    ("", "empty, not a record"),
    ('{"zrec":true,"natives":[],"properties":[]}\n', ":1: record format version true"),
    ('{"zrec":2,"natives":[{"name":"go","shapes":[[1]]}],"properties":[]}\n',
     ":1: the header's 'natives' must be a list"),
    ('{"zrec":2,"natives":[],"properties":[],"limits":"lots"}\n',
     ":1: the header's 'limits' must be an object, not \"lots\""),
    ('{"zrec":2,"natives":[],"properties":[],"limits":{"instructions":-5}}\n',
     ":1: the header's limit 'instructions' must be a whole number above 0, not -5"),
    ('{"zrec":2,"natives":[],"properties":[],"path":0}\n',
     ":1: the header's 'path' must be a string, not 0"),
    (HEAD + STEP + '{"e":"val","c":1,"v":{"f":"hello"}}\n',
     ':3: \'v\' must be a JSON value or {"f": "inf"}, not {"f": "hello"}'),
    (HEAD + '{"e":"step","s":1,"t":NaN}\n', ":2: not a JSON line: NaN is not JSON"),
    (HEAD + STEP + '{"e":"ctx","x":1,"p":2}\n{"e":"ctx","x":2,"p":1}\n',
     ":4: context 2 would be its own ancestor"),
    (HEAD + STEP + '{"e":"error","m":"x","tb":[[1,"x"]]}\n',
     ":3: 'tb' of an 'error' line must list [group, line] pairs"),
    (HEAD.encode() + STEP.encode() + b'{"e":"fin","t":0}\xff\n{"e":"fin","t":0}\n',
     ":3: not UTF-8 text"),
    (gzip.compress(HEAD.encode() + b"\n" * 1000000), ":2: not a JSON line"),
    ("hello\n", ":1: not a JSON line"),
    ('{"e":"step"}\n', ":1: not a Zo record"),
    ('{"zrec":7,"natives":[],"properties":[]}\n', ":1: record format version 7"),
    ('{"zrec":1,"natives":{},"properties":[]}\n', ":1: the header's 'natives' must be a list"),
    ('{"zrec":1,"natives":[],"properties":[]}\n{"e":"warp","s":1}\n', ":2: unknown event 'warp'"),
    ('{"zrec":1,"natives":[],"properties":[]}\n{"e":"step","s":2,"t":0}\n',
     ":2: step 2 where step 1 comes next"),
    ('{"zrec":1,"natives":[],"properties":[]}\n{"e":"step","s":1,"t":0}\n{"e":"gen","c":1}\n',
     ":3: a 'gen' line needs 'n', 'a'"),
    ('{"zrec":1,"natives":[],"properties":[]}\n{"e":"done","c":1}\n',
     ":2: a 'done' line outside any step"),
    ('{"zrec":1,"natives":[],"properties":[]}\n{"e":"idle","s":1,"n":2,"t":0,"u":1,"p":"x"}\n',
     ":2: 'p' of a 'idle' line must be list"),
    ('{"zrec":1,"natives":[],"properties":[]}\n{"e":"step","s":true,"t":0}\n',
     ":2: 's' of a 'step' line must be int"),
    ('{"zrec":1,"natives":[],"properties":[]}\n[1]\n{"e":"fin","t":0}\n',
     ":2: each line must be a JSON object"),
    ('{"zrec":1,"natives":[],"properties":[]}\n{"e":"step","s":1,\n{"e":"fin","t":0}\n',
     ":2: not a JSON line"),
]


@pytest.mark.parametrize("text,message", MALFORMED)
def test_malformed_records_are_refused_clearly(tmp_path, capsys, text, message):
    path = tmp_path / "bad.zrec"
    if isinstance(text, bytes):
        path.write_bytes(text)
    else:
        path.write_text(text)
    for command in (["replay", str(path)], ["timeline", str(path), "-o", str(tmp_path / "t")]):
        assert cli.main(command) == 2
        err = capsys.readouterr().err
        assert err.startswith("zo: " + str(path)) and message in err, err


def test_patrol_records_replays_and_diverges_at_an_edited_distance(tmp_path):
    path = str(tmp_path / "patrol.zrec")
    ran = run_zo("run", "--host", ROBOT, PATROL, "--record", path, "--tick", "0")
    assert ran.returncode == 0, ran.stderr
    replayed = run_zo("replay", path)
    assert (replayed.returncode, replayed.stderr) == (0, ""), replayed.stderr
    lines = open(path, encoding="utf-8").read().splitlines()
    size = sum(len(line.encode()) + 1 for line in lines)
    assert size / len(lines) <= 200, (size, len(lines))
    edited = tmp_path / "patrol.zo"
    source = open(PATROL).read()
    assert source.count("side 4;") == 1
    edited.write_text(source.replace("side 4;", "side 5;"))
    diverged = run_zo("replay", path, str(edited))
    line = source[:source.index("side 4;")].count("\n") + 1
    assert diverged.returncode == 1
    assert diverged.stderr.startswith(
        "zo: replay diverged at step 2: %s:9:9 calls 'drive' with (5); "
        "the recording has 'drive' with (4)\n" % edited), diverged.stderr
    assert "%s:%d: call of group 'side'" % (edited, line) in diverged.stderr


def test_trace_shows_times_properties_and_folds_pending_polls(zo_file):
    host = HOST
    program = zo_file("use $pos;\nmove 40;\n$pos = 3;\nprint $pos;\n")
    traced = run_zo("run", program, "--host", str(host), "--trace", "--tick", "0")
    assert traced.returncode == 0, traced.stderr
    lines = [line.split("] ", 1)[1] for line in traced.stderr.splitlines()]
    assert lines[:3] == ["start #1 move(40.0) at line 2",
                         "poll #1 move -> pending \u00d740 at line 2",
                         "poll #1 move -> done at line 2"]
    assert "set $pos = 3" in lines and "get $pos -> 4" in lines
    assert traced.stderr.startswith("[0.")
    only = run_zo("run", program, "--host", str(host), "--trace-only", "print", "--tick", "0")
    assert [line.split("] ", 1)[1] for line in only.stderr.splitlines()] == [
        "start #2 print(4.0) at line 4", "poll #2 print -> done at line 4", "status ended"]


def timeline_of_patrol(tmp_path, fmt):
    path = str(tmp_path / "patrol.zrec")
    if not os.path.exists(path):
        # Relative paths, as a user in the source tree types them: the page
        # shows the program's path.
        # The picture for the guide is of a run at the default pace.
        pace = [] if os.environ.get("ZO_TIMELINE_SCREENSHOT") else ["--tick", "0"]
        ran = run_zo("run", "--host", "examples/robot_host.py", "examples/patrol.zo",
                     "--record", path, *pace)
        assert ran.returncode == 0, ran.stderr
    out = str(tmp_path / ("patrol." + ("html" if fmt == "html" else "json")))
    made = run_zo("timeline", path, "-o", out, "--format", fmt)
    assert made.returncode == 0, made.stderr
    return read_record(path), out


def recorded_contexts(record):
    return {event["x"] for step in record.steps for event in step.events
            if event["e"] == "ctx"}


def recorded_calls(record):
    return [event["c"] for step in record.steps for event in step.events if event["e"] == "gen"]


def test_perfetto_file_follows_the_trace_event_format(tmp_path):
    record, out = timeline_of_patrol(tmp_path, "perfetto")
    events = json.load(open(out))["traceEvents"]
    for event in events:
        assert {"ph", "ts", "pid", "tid", "name"} <= set(event), event
        assert event["ph"] in ("M", "X", "i") and isinstance(event["ts"], (int, float))
        if event["ph"] == "X":
            assert event["dur"] > 0
        if event["ph"] == "i":
            assert event["s"] in ("g", "p", "t")
    threads = {e["tid"] for e in events if e["ph"] == "M" and e["name"] == "thread_name"}
    assert len(threads) == max(1, len(recorded_contexts(record)))
    bars = [e for e in events if e["ph"] == "X"]
    assert len(bars) == len(recorded_calls(record)) and {b["tid"] for b in bars} <= threads
    assert {b["cat"] for b in bars} == {"done", "terminated"}


CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"

needs_chromium = pytest.mark.skipif(
    not (os.path.exists(CHROMIUM) and shutil.which("node")
         and os.path.isdir(os.path.join(ROOT, "node_modules", "puppeteer-core"))),
    reason="needs node, puppeteer-core and Chromium")


def show_in_chromium(page, shot=None):
    """What tests/browser/timeline.js saw of a page in headless Chromium."""
    # The browser is no part of ours: the sanitized build's preloaded
    # runtimes would keep Chromium from starting at all.
    browser_env = {name: value for name, value in os.environ.items()
                   if name not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    shown = subprocess.run(
        ["node", os.path.join(ROOT, "tests", "browser", "timeline.js"), page] +
        ([shot] if shot else []), cwd=ROOT, env=dict(browser_env, CHROMIUM=CHROMIUM),
        capture_output=True, text=True, timeout=120)
    assert shown.returncode == 0, shown.stderr
    return json.loads(shown.stdout.splitlines()[-1])


@needs_chromium
def test_timeline_shows_every_context_and_call_in_chromium(tmp_path):
    record, page = timeline_of_patrol(tmp_path, "html")
    text = open(page, encoding="utf-8").read()
    assert "http://" not in text.replace("http://www.w3.org/2000/svg", "")
    assert "https://" not in text and "<script src" not in text
    # ZO_TIMELINE_SCREENSHOT names where to keep the picture (docs/recording.md's).
    seen = show_in_chromium(page, os.environ.get("ZO_TIMELINE_SCREENSHOT"))
    assert seen["problems"] == [] and seen["requests"] == []
    contexts = recorded_contexts(record)
    lanes = {lane for lane, _ in seen["lanes"]}
    assert lanes == ({str(c) for c in contexts} or {"root"})
    assert sorted(call for call, _ in seen["bars"]) == recorded_calls(record)
    assert {end for _, end in seen["bars"]} == {"done", "terminated"}
    assert seen["marks"] > 0 and seen["tip"] and seen["tip"].startswith("#")


def test_lanes_nest_each_context_under_its_parent(tmp_path):
    from zo.recording import timeline

    head = '{"zrec":1,"natives":[{"name":"move"}],"properties":[]}\n'
    lines = [
        {"e": "step", "s": 1, "t": 0},
        {"e": "gen", "c": 1, "n": "move", "a": [1], "l": 3, "k": 3, "x": 7, "b": 1},
        {"e": "gen", "c": 2, "n": "move", "a": [2], "l": 9, "k": 3, "x": 9, "b": 0},
        {"e": "ctx", "x": 1, "g": None},
        {"e": "ctx", "x": 5, "p": 1, "g": "side", "l": 20, "b": 0, "m": "race"},
        {"e": "ctx", "x": 7, "p": 5, "l": 3, "b": 1, "m": "race"},
        {"e": "ctx", "x": 9, "p": 1, "g": "corner", "l": 21, "b": 1, "m": "parallel"},
        {"e": "end", "s": 1, "t": 0.5, "r": True},
        {"e": "step", "s": 2, "t": 0.6},
        {"e": "done", "c": 1},
        {"e": "term", "c": 2},
        {"e": "end", "s": 2, "t": 0.7, "r": False},
    ]
    path = tmp_path / "made.zrec"
    path.write_text(head + "".join(json.dumps(line) + "\n" for line in lines))
    made = timeline.model(read_record(str(path)))
    assert [(lane["id"], lane["depth"], lane["label"]) for lane in made["lanes"]] == [
        (1, 0, "main"), (5, 1, "side line 20 (race branch 0)"),
        (7, 2, "main line 3 (race branch 1)"), (9, 1, "corner line 21 (parallel branch 1)")]
    assert [(c["lane"], c["end"], c["s0"], c["s1"]) for c in made["calls"]] == [
        (7, "done", 1, 3), (9, "terminated", 1, 3)]


def test_the_recording_guide_snippets_run_as_shown(tmp_path):
    with open(os.path.join(ROOT, "docs", "recording.md"), encoding="utf-8") as handle:
        text = handle.read()
    snippets = re.findall(r"```python\n((?:(?!```).)*)```\n\n```output\n(.*?)```", text, re.S)
    assert len(snippets) == 2
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([PYTHON_DIR] + [
        os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    for code, expected in snippets:
        ran = subprocess.run([sys.executable, "-c", code], env=env, cwd=str(tmp_path),
                             capture_output=True, text=True, timeout=60)
        assert (ran.returncode, ran.stdout) == (0, expected), ran.stderr


def test_calls_name_their_contexts_and_branches(tmp_path):
    path, _ = record(tmp_path, "group pair {\n  parallel {\n    move 1;\n    move 2;\n  }\n}\n"
                               "pair;\n")
    steps = read_record(path).steps
    calls = [e for step in steps for e in step.events if e["e"] == "gen"]
    if not hasattr(zolangpy.Interpreter, "contexts") or "x" not in calls[0]:
        pytest.skip("needs contexts() and call_site()'s context (the control branch)")
    contexts = {e["x"]: e for step in steps for e in step.events if e["e"] == "ctx"}
    branches = [contexts[call["x"]] for call in calls]
    assert [(c.get("m"), c.get("b"), call["b"]) for c, call in zip(branches, calls)] == [
        ("parallel", 0, 0), ("parallel", 1, 1)]
    parents = {c["p"] for c in branches}
    assert len(parents) == 1 and contexts[parents.pop()].get("g") == "pair"


class _Interpreter:
    """Stands in for an interpreter that can be asked to stop from anywhere."""

    end_in_steps = False
    status = "paused"

    def __init__(self):
        self.requested = 0

    def request_stop(self):
        self.requested += 1

    def run(self):
        return True


def test_a_recorded_interpreter_forwards_and_records_a_stop_request():
    from zo.recording.commands import Recorded

    class Sink:
        def __init__(self):
            self.steps = []

        def header(self, header):
            self.header = header

        def step(self, rec):
            self.steps.append([event[0] for event in rec.events])

        idle = step

    sink = Sink()
    recorder = Recorder([sink])
    inner = _Interpreter()
    seen = Recorded(inner, recorder)
    seen.end_in_steps = True
    assert inner.end_in_steps is True and "end_in_steps" not in vars(seen)
    assert seen.run() is True
    seen.request_stop()  # between steps: it belongs to the next one
    seen.run()
    assert inner.requested == 1 and sink.steps == [[], ["rstop"]]
    assert sink.header["end_in_steps"] is True
    assert not hasattr(Recorded(object(), recorder), "request_stop")


def test_contexts_are_described_from_the_interpreter_between_steps():
    """Against the contexts() and call_site() contract, with a stand-in."""
    listed = [
        {"id": 1, "parent": None, "group": None, "line": 8, "column": 5,
         "waiting": None, "mode": "race", "branch": None},
        {"id": 4, "parent": 1, "group": "side", "line": 9, "column": 1, "waiting": "move",
         "mode": None, "branch": 1},
    ]

    class Stepping(_Interpreter):
        def call_site(self):
            return {"address": 3, "line": 3, "column": 5, "context": self.context,
                    "group": "side"}

        def contexts(self):
            return listed

        def run(self):
            self.native.generate([2.0])
            return True

    class Sink:
        events = []

        def header(self, header):
            pass

        def step(self, rec):
            self.events.extend(rec.events)

        idle = step

    recorder = Recorder([Sink()])
    inner = Stepping()
    inner.native = recorder.wrap("move", Move())
    for context in (4, 4, 6):  # 6 ended within its step: only its call tells of it
        inner.context = context
        recorder.run(inner)
    gens = [e for e in Sink.events if e[0] == "gen"]
    assert [(e[6], e[7]) for e in gens] == [(4, 1), (4, 1), (6, None)]
    assert [e for e in Sink.events if e[0] == "ctx"] == [
        ("ctx", 1, None, None, 8, 5, None, None),
        ("ctx", 4, 1, "side", 9, 1, 1, "race"),
        ("ctx", 6, None, "side", None, None, None, None)]


def kit_robot():
    """A host of the kit: a generator command with words, and a property."""
    host = zo.Host()
    speed = {"value": 1.0}

    @host.command("drive N metres")
    def drive(n: float):
        for _ in range(int(n)):
            yield
        return n * 10

    host.prop("speed", lambda: speed["value"], lambda value: speed.update(value=value),
              type=float)
    return host


KIT_PROGRAM = "use $speed;\n$speed = 2;\n$d = drive $speed metres;\nprint $d;\n"

WORD_EDITS = [
    # (the edited program, what replay says after "zo: ", or None: it replays)
    (KIT_PROGRAM.replace("metres", "furlongs"),
     "replay diverged: {p}:3:6 calls 'drive' with words (_ furlongs); the recording has "
     "'drive' with words (_ metres)"),
    (KIT_PROGRAM.replace("$speed metres", "metres"),
     "replay diverged: {p}:3:6 calls 'drive' with words (metres); the recording has "
     "'drive' with words (_ metres)"),
    (KIT_PROGRAM.replace("$speed = 2;", "$speed = 1 + 1;"), None),
]


def test_a_kit_run_records_and_replay_checks_the_words_of_its_calls(tmp_path, capsys):
    path = str(tmp_path / "kit.zrec")
    assert zo.run(KIT_PROGRAM, kit_robot(), record=path, path="kit.zo", tick=0) == "ended"
    capsys.readouterr()
    kinds = {e["e"] for step in read_record(path).steps for e in step.events}
    assert {"gen", "done", "val", "get", "set"} <= kinds
    assert replay(capsys, path)[:3:2] == (0, "")
    program = tmp_path / "edited.zo"
    for edited, message in WORD_EDITS:
        program.write_text(edited)
        status, _, err = replay(capsys, path, str(program))
        if message is None:
            assert (status, err) == (0, ""), err
        else:
            assert (status, err) == (1, "zo: " + message.format(p=program) + "\n")
    # A record of the version before call shapes still replays, unchecked.
    lines = open(path, encoding="utf-8").read().splitlines(True)
    header = json.loads(lines[0])
    header["zrec"] = 1
    for native in header["natives"]:
        del native["shapes"]
    old = tmp_path / "old.zrec"
    old.write_text(json.dumps(header) + "\n" + "".join(lines[1:]))
    program.write_text(WORD_EDITS[0][0])
    assert replay(capsys, str(old), str(program))[0] == 0
    # A program that does not compile leaves a record that says so.
    never = str(tmp_path / "never.zrec")
    with pytest.raises(zo.CompileError):
        zo.run("drive 1 furlongs;\n", kit_robot(), record=never, path="bad.zo")
    status, _, err = replay(capsys, never)
    assert status == 2 and err.startswith(
        "zo: %s: the recorded run never started: the program did not compile: bad.zo:1:1: "
        % never), err


@pytest.mark.parametrize("source", ["use $odd;\n$x = $odd;\n", "$x = odd;\n"])
def test_strings_utf8_cannot_hold_are_recorded_as_they_were(tmp_path, capsys, source):
    path, failed = record(tmp_path, source, extra=(("odd", Odd()), ("odd", OddText())))
    assert failed  # the interpreter refuses such a string: the run's own outcome
    values = [e["v"] for step in read_record(path).steps for e in step.events if "v" in e]
    assert values == [ODD]
    assert replay(capsys, path)[:3:2] == (0, "")


@pytest.mark.parametrize("recorded_limits", [{"seconds": 0.2}, None])
def test_a_step_that_ran_out_of_time_replays_to_where_it_ended(tmp_path, recorded_limits):
    # Without the limit in the header, the step is given as long as it took.
    path, failed = record(tmp_path, "move 1;\nwhile true { $x = 1; }\n",
                          limits={"seconds": 0.2}, recorded_limits=recorded_limits)
    assert failed
    replayed = run_zo("replay", path, timeout=60)
    assert (replayed.returncode, replayed.stderr) == (0, ""), replayed.stderr


def test_ctrl_c_ends_a_replay_without_a_traceback(tmp_path, capsys, monkeypatch):
    path, _ = record(tmp_path, "move 1;\n")

    def interrupted(self, interpreter):
        raise KeyboardInterrupt

    monkeypatch.setattr(Replayer, "run", interrupted)
    assert replay(capsys, path)[:3:2] == (130, "zo: replay interrupted\n")


TRUSTED = [
    # (what the header keeps of the program, the program named, status, message)
    (("path", "sha256"), False, 0, ""),
    (("path",), False, 2, "the record holds neither the program nor its hash"),
    (("path",), True, 0, ""),
    (("path", "sha256", "other"), False, 2, "has changed since it was recorded"),
]


@pytest.mark.parametrize("kept,named,status,message", TRUSTED)
def test_replay_reads_only_a_program_file_it_can_trust(tmp_path, capsys, kept, named, status,
                                                       message):
    source = "move 1;\n"
    program = tmp_path / "prog.zo"
    program.write_text(source if "other" not in kept else "# changed\n" + source)
    path, _ = record(tmp_path, source, program=str(program))
    lines = open(path, encoding="utf-8").read().splitlines(True)
    header = {key: value for key, value in json.loads(lines[0]).items()
              if key in kept or key not in ("path", "sha256", "source")}
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(json.dumps(header) + "\n" + "".join(lines[1:]))
    got, _, err = replay(capsys, path, *([str(program)] if named else []))
    assert got == status and message in err, err


def test_calls_a_stop_ended_are_told_from_calls_a_race_ended(tmp_path):
    from zo.recording import timeline

    lines = [
        {"e": "step", "s": 1, "t": 0},
        {"e": "gen", "c": 1, "n": "move", "a": [9]},
        {"e": "gen", "c": 2, "n": "move", "a": [1]},
        {"e": "gen", "c": 3, "n": "move", "a": [2]},
        {"e": "term", "c": 3},  # lost a race
        {"e": "end", "s": 1, "t": 0.1, "r": True},
        {"e": "step", "s": 2, "t": 0.2},
        {"e": "rstop"},  # Ctrl-C, a deadline, a failure
        {"e": "term", "c": 1},
        {"e": "gen", "c": 4, "n": "move", "a": [3]},  # __end's race
        {"e": "gen", "c": 5, "n": "move", "a": [4]},
        {"e": "done", "c": 4},
        {"e": "term", "c": 5},
        {"e": "end", "s": 2, "t": 0.3, "r": True},
        {"e": "stop", "s": 3, "t": 0.4},
        {"e": "term", "c": 2},
        {"e": "end", "s": 3, "t": 0.5},
    ]
    path = tmp_path / "made.zrec"
    path.write_text(HEAD + "".join(json.dumps(line) + "\n" for line in lines))
    made = timeline.model(read_record(str(path)))
    assert [call["end"] for call in made["calls"]] == [
        "stopped", "stopped", "terminated", "done", "terminated"]


@needs_chromium
def test_timeline_pages_keep_any_recorded_text_as_text(tmp_path):
    name = '</title><script>document.title="run"</script>@DATA@ & <!--<script>.zo'
    text = '<!--<script>\u2028</script>&amp;'
    path, _ = record(tmp_path, 'use $pos;\nparallel {\n  move 1;\n  move 2;\n}\n$pos = "%s";\n'
                     % text, program=name)
    page = str(tmp_path / "page.html")
    assert cli.main(["timeline", path, "-o", page]) == 0
    seen = show_in_chromium(page)
    assert seen["problems"] == [] and seen["requests"] == []
    assert seen["title"] == seen["heading"] == "Zo timeline: " + name
    record_ = read_record(path)
    assert {lane for lane, _ in seen["lanes"]} == {str(c) for c in recorded_contexts(record_)}
    assert sorted(call for call, _ in seen["bars"]) == recorded_calls(record_)
    assert seen["marks"] == 1
