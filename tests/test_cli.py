import json
import os
import re
import signal
import subprocess
import sys
import time

import pytest

from conftest import PYTHON_DIR, ROOT, run_zo

sys.path.insert(0, PYTHON_DIR)
import zo  # noqa: E402  (the package under test, from the source tree)


def test_run_prints_and_exits_zero(zo_file):
    result = run_zo("run", zo_file('print "hi" 1 + 2;\n'))
    assert result.returncode == 0, result.stderr
    assert result.stdout == "hi 3\n"


def test_compile_errors_show_the_source_line_and_exit_one(zo_file):
    path = zo_file('print "ok";\n  $x = 1 $y = 2;\nbeep;\n')
    result = run_zo("run", path)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == (
        "%s:2:10: error: Expect ';' after assignment\n"
        "    2 |   $x = 1 $y = 2;\n"
        "      |          ^^\n" % path
    )


# Each mistake is shown at its file, line and column, with a caret span
# under the offending token and a hint or a note where one applies.
MISTAKES = [
    ('print "a";\npirnt "b";\n',
     "{path}:2:1: error: No callable named 'pirnt' was registered\n"
     '    2 | pirnt "b";\n'
     "      | ^^^^^\n"
     "note: did you mean 'print'?\n"),
    ("$count = 1;\nprint $cuont;\n",
     "{path}:2:7: error: Variable 'cuont' used before it was declared\n"
     "    2 | print $cuont;\n"
     "      |       ^^^^^^\n"
     "note: did you mean 'count'?\n"),
    ("use $tiem;\n",
     "{path}:1:5: error: No property named 'tiem' was registered\n"
     "    1 | use $tiem;\n"
     "      |     ^^^^^\n"
     "note: did you mean 'time'?\n"),
    ('group greet $who {\n  print "hi" $who;\n}\n\tgreeet "ann";\n',
     "{path}:4:2: error: No callable named 'greeet' was registered\n"
     '    4 | \tgreeet "ann";\n'
     "      | \t^^^^^^\n"
     "note: did you mean 'greet'?\n"),
    ('group greet $who {\n  print "hi" $who;\n}\ngreet;\n',
     "{path}:4:1: error: Call to 'greet' expected 1 arguments but got 0\n"
     "    4 | greet;\n"
     "      | ^^^^^\n"
     "{path}:1:7: note: 'greet' is defined here\n"
     "    1 | group greet $who {{\n"
     "      |       ^\n"),
    ("while true {\n  print 1;\n",
     "{path}:2:11: error: Statements must be conditionals, loops, assignments, or calls\n"
     "    2 |   print 1;\n"
     "      |           ^\n"
     "{path}:1:12: note: the block opened here\n"
     "    1 | while true {{\n"
     "      |            ^\n"),
    ("wait 2 minutes;\n",
     "{path}:1:1: error: SyntaxError(\"wait: the unit must be 'seconds' or 'milliseconds'\")\n"
     "    1 | wait 2 minutes;\n"
     "      | ^^^^^^^^^^^^^^\n"),
    ('$x = "größe";\n$time = 5;\n',
     "{path}:2:1: error: External property 'time' not settable\n"
     "    2 | $time = 5;\n"
     "      | ^^^^^\n"),
]


@pytest.mark.parametrize("source, expected", MISTAKES)
def test_compile_errors_point_at_the_offending_token(zo_file, source, expected):
    path = zo_file(source)
    result = run_zo("check", path)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == expected.format(path=path)


def test_check_prints_json_for_editors(zo_file):
    result = run_zo("check", zo_file("if true {\n  pirnt 1;\n}\n"), "--format", "json")
    assert result.returncode == 1
    assert json.loads(result.stdout) == [{
        "text": "No callable named 'pirnt' was registered",
        "message": "No callable named 'pirnt' was registered",
        "line": 2, "column": 3, "end_line": 2, "end_column": 8,
        "notes": [["did you mean 'print'?", None, None]],
    }]
    clean = run_zo("check", zo_file("print 1;\n"), "--format", "json")
    assert (clean.returncode, json.loads(clean.stdout)) == (0, [])


def test_check_succeeds_silently(zo_file):
    result = run_zo("check", zo_file("wait 1 milliseconds;\n"))
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")


def test_runtime_error_stops_the_program_and_runs_end(zo_file):
    path = zo_file('group __end { print "end ran"; }\nprint "start";\nprint 1 + "a";\n')
    result = run_zo("run", path)
    assert result.returncode == 1
    assert result.stdout == "start\nend ran\n"
    assert result.stderr == (
        "%s:3:9: error: Right operand must be a string\n"
        '    3 | print 1 + "a";\n'
        "      |         ^\n"
        "note: the left operand is a number and the right one a string: '+' adds two numbers or "
        "joins two strings\n" % path
    )


def test_runtime_errors_show_the_zo_traceback(zo_file):
    path = zo_file(
        'group add $n {\n  $x = $n + "a";\n}\n'
        "group twice $n {\n  add $n;\n}\n"
        "parallel {\n  wait 10 milliseconds;\n  twice 2;\n}\n"
    )
    result = run_zo("run", path)
    assert result.returncode == 1
    assert result.stderr == (
        "{path}:2:11: error: Right operand must be a string\n"
        '    2 |   $x = $n + "a";\n'
        "      |           ^\n"
        "note: the left operand is a number, true, false or nil and the right one a string: "
        "'+' adds two numbers or joins two strings\n"
        "Zo traceback (outermost call first):\n"
        "  {path}:9: call of group 'twice'\n"
        "      9 |   twice 2;\n"
        "  {path}:5: call of group 'add'\n"
        "      5 |   add $n;\n".format(path=path)
    )


@pytest.mark.parametrize("source, note", [
    ('print "a" + nil;', "the left operand is a string and the right one nil"),
    ("$b = nil;\n$x = $b + true;",
     "the right operand is true, and the left one may be anything"),
    # `not` binds the literal more tightly than `+`: it is not the operand.
    ('print not 1 + "a";', "the left operand is a number, true, false or nil and the right one "
                           "a string"),
    ('$b = 2;\nprint true + $b * 2;', "the left operand is true and the right one a number"),
])
def test_add_notes_say_what_both_operands_were(source, note):
    from zo.diagnostics import render_failure

    interpreter = zo.Host().compile(source)
    with pytest.raises(Exception):
        while interpreter.run():
            pass
    rendered = render_failure(interpreter.last_error(), "p.zo", source)
    assert rendered.endswith("note: %s: '+' adds two numbers or joins two strings\n" % note)


def test_ir_prints_the_program_and_runs_from_a_zir_file(zo_file, tmp_path):
    source = zo_file('$i = 0;\nwhile $i < 2 { $i += 1; print "i" $i; }\n')
    out = str(tmp_path / "program.zir")
    assert run_zo("ir", source, "-o", out).returncode == 0
    ir = open(out).read()
    assert ir.startswith("jump 1\npush 0\nstore 0\n")
    assert run_zo("ir", source).stdout == ir
    result = run_zo("run", out, "--trace")
    assert (result.returncode, result.stdout) == (0, "i 1\ni 2\n")
    # IR text has no lines: the trace names none.
    assert "start #1 print('i', 1.0)\n" in result.stderr and " at line" not in result.stderr


def test_broken_ir_is_reported(zo_file):
    result = run_zo("run", zo_file("push 1\nfrobnicate\n", name="bad.zir"))
    assert result.returncode == 1
    assert result.stderr == "zo: [line 2] Invalid op: 'frobnicate'\n"


def test_wait_units_are_checked_when_compiling_and_mix_in_one_program(zo_file):
    result = run_zo("check", zo_file("wait 2 minutes;\n"))
    assert result.returncode == 1
    assert "the unit must be 'seconds' or 'milliseconds'" in result.stderr
    # The unit reaches the wait at run time: 0.2 s and then 50 ms.
    mixed = run_zo("run", zo_file("use $time;\nwait 0.2 seconds;\nprint $time >= 0.2;\n"
                                  "wait 50 milliseconds;\nprint $time >= 0.25 and $time < 5;\n"))
    assert (mixed.returncode, mixed.stdout) == (0, "true\ntrue\n"), mixed.stderr


# A host file that puts `zo run` on a clock of its own before the run starts:
# time.sleep() moves it on at once, and every reading moves it by 10 us, so
# a loop that never sleeps still gets to a deadline. At exit it reports
# "slept COUNT TOTAL LONGEST". The machine's load cannot change what a test
# on this clock sees.
FAKE_CLOCK = (
    "import atexit, sys, time\n"
    "now, naps = [time.monotonic()], []\n"
    "def monotonic():\n"
    "    now[0] += 1e-5\n"
    "    return now[0]\n"
    "def sleep(seconds):\n"
    "    naps.append(seconds)\n"
    "    now[0] += seconds\n"
    "time.monotonic, time.sleep = monotonic, sleep\n"
    "atexit.register(lambda: print('slept %d %.6f %.6f' % (len(naps), sum(naps), max(naps, default=0)),\n"
    "                              file=sys.stderr))\n"
)


def naps(stderr):
    """(count, total, longest) of the sleeps a FAKE_CLOCK run reported."""
    count, total, longest = stderr.splitlines()[-1].split()[1:]
    return int(count), float(total), float(longest)


def test_wait_sleeps_instead_of_spinning(zo_file, tmp_path):
    host = tmp_path / "host.py"
    host.write_text(FAKE_CLOCK + "def register(host): pass\n")
    result = run_zo("run", zo_file('wait 300 milliseconds;\nprint "done";\n'), "--trace",
                    "--host", str(host))
    assert (result.returncode, result.stdout) == (0, "done\n"), result.stderr
    # One sleep until the wait is due (the clock's readings make up the rest
    # of the 300 ms), where spinning would poll thousands of times.
    count, total, _ = naps(result.stderr)
    assert count == 1 and 0.29 < total <= 0.3, result.stderr
    assert result.stderr.count("poll #1 wait") <= 3, result.stderr


def test_host_file_adds_natives(zo_file, tmp_path):
    host = tmp_path / "myhost.py"
    host.write_text(
        "import zolangpy\n"
        "class Beep(zolangpy.CallableGenerator):\n"
        "    def check_syntax(self, args): pass\n"
        "    def generate(self, args):\n"
        "        print('beep', *args)\n"
        "        return Done()\n"
        "class Done(zolangpy.Callable):\n"
        "    def call(self): return True\n"
        "class Level(zolangpy.Prop):\n"
        "    def get(self): return 7\n"
        "def register(host):\n"
        "    host.callable('beep', Beep())\n"
        "    host.property('level', Level())\n"
    )
    source = zo_file("use $level;\nbeep $level;\nprint $level;\n")
    result = run_zo("run", source, "--host", str(host))
    assert (result.returncode, result.stdout) == (0, "beep 7.0\n7\n")
    alone = run_zo("run", source, "--host", str(host), "--no-std")
    assert alone.returncode == 1
    assert "No callable named 'print' was registered" in alone.stderr


def test_trace_shows_a_race_terminating_its_loser(zo_file):
    source = "race {\n  wait 10 milliseconds;\n  wait 10000 milliseconds;\n}\n"
    result = run_zo("run", zo_file(source), "--trace")
    assert result.returncode == 0, result.stderr
    lines = [line.split("] ", 1)[1] for line in result.stderr.splitlines()]
    assert "start #1 wait(10.0, 'milliseconds') at line 2" in lines
    assert "start #2 wait(10000.0, 'milliseconds') at line 3" in lines
    assert "poll #1 wait -> done at line 2" in lines
    assert "terminate #2 wait at line 3" in lines


def test_a_failing_stop_is_shown_at_its_place(zo_file):
    path = zo_file('group __end {\n  $y = - "x";\n}\nprint 1 + "a";\n')
    result = run_zo("run", path)
    assert result.returncode == 1
    assert result.stderr == (
        "{path}:4:9: error: Right operand must be a string\n"
        '    4 | print 1 + "a";\n'
        "      |         ^\n"
        "note: the left operand is a number and the right one a string: '+' adds two numbers or "
        "joins two strings\n"
        "{path}:2:8: error: Only numbers can be negated\n"
        '    2 |   $y = - "x";\n'
        "      |        ^\n"
        "Zo traceback (outermost call first):\n"
        "  in group '__end', which runs as the program ends\n"
        "note: this happened while stopping the program\n".format(path=path)
    )


def start_zo(*args):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([PYTHON_DIR, env.get("PYTHONPATH", "")])
    return subprocess.Popen(
        [sys.executable, "-m", "zo", *args],
        cwd=ROOT, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        universal_newlines=True,
    )


PENDING_HOST = (
    "import time, zolangpy\n"
    "class Until(zolangpy.Callable):\n"
    "    def __init__(self, seconds): self.due = time.monotonic() + seconds\n"
    "    def call(self): return time.monotonic() >= self.due\n"
    "class Pending(zolangpy.CallableGenerator):\n"
    "    def check_syntax(self, args): pass\n"
    "    def generate(self, args): return Until(args[0] if args else 1e9)\n"
    "class Blocking(zolangpy.Callable):\n"
    "    def call(self): time.sleep(60); return True\n"
    "class Block(zolangpy.CallableGenerator):\n"
    "    def check_syntax(self, args): pass\n"
    "    def generate(self, args): return Blocking()\n"
    "class Exit(zolangpy.CallableGenerator):\n"
    "    def check_syntax(self, args): pass\n"
    "    def generate(self, args): raise SystemExit(7)\n"
    "def register(host):\n"
    "    host.callable('pending', Pending())\n"
    "    host.callable('exit', Exit())\n"
    "    host.callable('block', Block())\n"
)


@pytest.mark.parametrize("body", [
    "wait 60 seconds;",             # the loop sleeps
    "pending;",                     # the loop ticks
    "$i = 0; while true { $i += 1; }",  # the step never returns
])
def test_ctrl_c_stops_the_program_and_runs_end(zo_file, tmp_path, body):
    host = tmp_path / "host.py"
    host.write_text(PENDING_HOST)
    source = zo_file('group __end { print "parked"; }\nprint "started";\n' + body + "\n")
    process = start_zo("run", source, "--host", str(host))
    assert process.stdout.readline() == "started\n"
    time.sleep(0.2)  # well inside the body
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=30)
    assert process.returncode == 130, err
    assert out == "parked\n"


@pytest.mark.parametrize("option, error", [
    (["--max-instructions", "1000"], "Instruction budget exhausted"),
    (["--timeout", "0.2"], "Time limit exceeded"),
])
def test_a_limit_stops_a_runaway_step_and_end_runs(zo_file, option, error):
    source = zo_file('group __end { print "parked"; }\n$i = 0;\nwhile true { $i += 1; }\n')
    result = run_zo("run", source, *option)
    assert (result.returncode, result.stdout) == (1, "parked\n")
    assert result.stderr == (
        "%s:3:1: error: [address 13] %s\n"
        "    3 | while true { $i += 1; }\n"
        "      | ^^^^^\n" % (source, error))


@pytest.mark.parametrize("option, why", [
    ("--max-instructions -1", "must be a whole number, at least 0: -1"),
    ("--max-instructions x", "must be a whole number, at least 0: x"),
    ("--timeout nan", "must be a number of seconds, at least 0: nan"),
    ("--tick -0.1", "must be a number of seconds, at least 0: -0.1"),
    ("--tick soon", "must be a number of seconds, at least 0: soon"),
    ("--tick inf", "must be a finite number of seconds: inf"),
    ("--deadline abc", "must be a number of seconds, at least 0: abc"),
])
def test_bad_control_options_are_refused(zo_file, option, why):
    result = run_zo("run", zo_file("yield;\n"), *option.split())
    assert result.returncode == 2
    assert "argument %s: %s\n" % (option.split()[0], why) in result.stderr


@pytest.mark.parametrize("deadline", ["inf", "1e308", "1e10"])
def test_a_deadline_past_any_run_is_none(zo_file, deadline):
    result = run_zo("run", zo_file("wait 10 milliseconds;\nprint 1;\n"), "--deadline", deadline)
    assert (result.returncode, result.stdout, result.stderr) == (0, "1\n", "")


def pending_polls(stderr):
    """How often call #1 of `pending` answered "not yet", by the trace, which
    folds a call's repeated answers into "pending ×N"."""
    folded = re.findall(r"poll #1 pending -> pending \u00d7(\d+)", stderr)
    return sum(int(n) for n in folded) + stderr.count("poll #1 pending -> pending at")


def test_the_loop_ticks_while_a_native_is_pending_and_not_otherwise(zo_file, tmp_path):
    host = tmp_path / "host.py"
    host.write_text(FAKE_CLOCK + PENDING_HOST)
    source = zo_file("pending 0.5;\n")
    # A poll per default tick (5 ms) over half a second, and a sleep between
    # two polls.
    ticking = run_zo("run", source, "--host", str(host), "--trace")
    assert ticking.returncode == 0, ticking.stderr
    polls = pending_polls(ticking.stderr)
    count, total, longest = naps(ticking.stderr)
    assert 90 <= count <= 100 and polls <= count + 2, (polls, count)
    assert longest <= 0.005 and total <= 0.5, (total, longest)
    # Without a tick the loop never sleeps: it polls as fast as it can.
    spinning = run_zo("run", source, "--host", str(host), "--trace", "--tick", "0")
    assert naps(spinning.stderr)[0] == 0
    assert pending_polls(spinning.stderr) > 1000
    # Nothing pending: a yielding program never waits for the tick.
    yielding = zo_file('$i = 0;\nwhile $i < 300 { $i += 1; yield; }\nprint "done";\n')
    result = run_zo("run", yielding, "--tick", "1", "--host", str(host))
    assert result.stdout == "done\n"
    assert naps(result.stderr)[0] == 0


def test_a_native_exiting_ends_the_run_after_end(zo_file, tmp_path):
    host = tmp_path / "host.py"
    host.write_text(PENDING_HOST)
    result = run_zo("run", zo_file('group __end { print "parked"; }\nexit;\n'),
                    "--host", str(host))
    assert (result.returncode, result.stdout, result.stderr) == (7, "parked\n", "")


def test_a_byte_order_mark_is_not_part_of_the_file(zo_file, tmp_path):
    source = tmp_path / "bom.zo"
    source.write_bytes(b'\xef\xbb\xbfprint "bom";\n')
    assert run_zo("run", str(source)).stdout == "bom\n"
    ir = tmp_path / "bom.zir"
    ir.write_bytes(b"\xef\xbb\xbf" + run_zo("ir", str(source)).stdout.encode())
    assert run_zo("run", str(ir)).stdout == "bom\n"


def test_host_files_import_their_neighbours_and_bad_registrations_take_one_line(
        zo_file, tmp_path):
    (tmp_path / "helper.py").write_text(
        "import zolangpy\n"
        "class Level(zolangpy.Prop):\n"
        "    def get(self): return 7\n")
    host = tmp_path / "host.py"
    host.write_text("from helper import Level\n"
                    "def register(host): host.property('level', Level())\n")
    source = zo_file("use $level;\nprint $level;\n")
    assert run_zo("run", source, "--host", str(host)).stdout == "7\n"
    for registration, message in [
        ("host.property('level', Level)",
         "property 'level' is the class Level; register an instance: Level()"),
        ("host.callable('beep', Level())",
         "callable 'beep' is a Level, not an instance of zolangpy.CallableGenerator"),
        ("host.callable(3, None)", "the name of a callable must be a str, not int (3)"),
    ]:
        host.write_text("from helper import Level\ndef register(host): %s\n" % registration)
        result = run_zo("run", source, "--host", str(host))
        assert result.returncode == 2
        assert result.stderr == "zo: host %s: %s\n" % (host, message)


def test_version_is_the_package_version():
    result = run_zo("--version")
    assert (result.returncode, result.stdout) == (0, "zo %s\n" % zo.__version__)


@pytest.mark.parametrize("literal, why", [
    ("'two\nlines'", "this string holds a line break"),
    ("'a\" b'", "this string holds a space outside the double-quoted runs of its text"),
])
def test_ir_that_would_not_read_back_is_not_written(zo_file, tmp_path, literal, why):
    source = zo_file('print "fine # not a comment";\n# a "comment\nprint %s;\n' % literal)
    out = tmp_path / "out.zir"
    result = run_zo("ir", source, "-o", str(out))
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == (
        "zo: line 3: %s; IR text cannot hold it, so no IR was written\n" % why)
    assert not out.exists()
    # What does read back is written, and runs.
    assert run_zo("run", source).returncode == 0


def test_a_program_from_standard_input_runs():
    result = run_zo("run", "-", input='print "piped";\n')
    assert (result.returncode, result.stdout) == (0, "piped\n"), result.stderr


def test_an_unbuilt_checkout_says_what_to_do_in_one_line():
    env = dict(os.environ, PYTHONPATH=PYTHON_DIR)

    def unbuilt(*args):
        return subprocess.run([sys.executable, "-m", "zo", *args], env=env, cwd=ROOT,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, timeout=60)

    result = unbuilt("run", "x.zo")
    assert (result.returncode, result.stderr) == (1, (
        "zo: the zolangpy module is not built or installed: run scripts/demo in a checkout, "
        "or pip install the package\n"))
    version = unbuilt("--version")
    assert (version.returncode, version.stdout) == (0, "zo %s\n" % zo.__version__)


@pytest.mark.parametrize("source, host, note", [
    ("group a {\n  b;\n}\ngroup b { }\n", False,
     "{path}:4:7: note: groups call only groups defined before them; 'b' is defined here\n"),
    ("group a {\n  a;\n}\n", True,
     "{path}:1:7: note: groups call only groups defined before them; 'a' is defined here\n"),
    ("drive 3;\n", False,
     "note: natives other than the standard ones come from a host file: --host FILE.py\n"),
])
def test_unknown_calls_get_a_note_for_newcomers(zo_file, tmp_path, source, host, note):
    path = zo_file(source)
    options = ["--host", str(tmp_path / "host.py")] if host else []
    (tmp_path / "host.py").write_text("def register(host): pass\n")
    result = run_zo("check", path, *options)
    assert result.returncode == 1
    assert note.format(path=path) in result.stderr
    if not host and "drive" not in source:
        assert "--host" not in result.stderr


RAISING_HOST = (
    "def register(host):\n"
    "    @host.command('probe N')\n"
    "    def probe(n: float):\n"
    "        raise ValueError('probe offline')\n"
)


def test_a_native_exception_shows_where_the_host_raised_it(zo_file, tmp_path):
    host = tmp_path / "host.py"
    host.write_text(RAISING_HOST)
    source = zo_file("probe 1;\n")
    result = run_zo("run", source, "--host", str(host))
    assert result.returncode == 1
    assert result.stderr.endswith(
        "note: the host raised it at %s:4, in probe (--traceback shows all)\n" % host)
    full = run_zo("run", source, "--host", str(host), "--traceback")
    assert "Traceback (most recent call last):" in full.stderr
    assert full.stderr.endswith("ValueError: probe offline\n")
    # The kit's own checks name the command: no host frame to show.
    typed = run_zo("run", zo_file('probe "x";\n'), "--host", str(host))
    assert typed.stderr.endswith('error: probe: N must be a number, got "x"\n'
                                 '    1 | probe "x";\n      | ^^^^^\n'), typed.stderr


def test_natives_lists_the_host_model(tmp_path):
    result = run_zo("natives", "--host", os.path.join(ROOT, "examples", "robot_host.py"),
                    "--format", "json")
    assert result.returncode == 0, result.stderr
    model = json.loads(result.stdout)
    assert [c["signature"] for c in model["commands"] if not c["standard"]] == [
        "drive N metres", "turn N degrees", "beep N times"]
    assert [(p["name"], p["settable"]) for p in model["properties"]] == [
        ("time", False), ("battery", False), ("speed", True)]
    text = run_zo("natives", "--host", os.path.join(ROOT, "examples", "robot_host.py")).stdout
    assert "### `drive N metres`\n\n*generator; N: number*\n" in text


def test_an_ir_failure_outside_end_is_not_said_to_run_as_the_program_ends(zo_file, tmp_path):
    ir = tmp_path / "program.zir"
    ir.write_text(run_zo("ir", zo_file('group g {\n  $x = 1 + "a";\n}\ng;\n')).stdout)
    result = run_zo("run", str(ir))
    assert result.returncode == 1
    assert "  in group 'g'\n" in result.stderr and "program ends" not in result.stderr


@pytest.mark.parametrize("size", ["64", "1.5k", "512M", "2G", "3 GiB"])
def test_memory_sizes_are_read_as_bytes(size):
    from zo.cli import _size

    expected = {"64": 64, "1.5k": 1536, "512M": 512 << 20, "2G": 2 << 30, "3 GiB": 3 << 30}
    assert _size(size) == expected[size]


# The tests below use Interpreter.request_stop, end_in_steps, contexts() and
# set_limits(memory=...).

# pending: Ctrl-C lands between steps or at a check point; block: in the
# native's own Python code, which the interrupt leaves by an exception.
@pytest.mark.parametrize("native", ["pending", "block"])
def test_ctrl_c_says_where_each_context_stood(zo_file, tmp_path, native):
    host = tmp_path / "host.py"
    # The natives say when they are called, so that Ctrl-C comes after.
    host.write_text(PENDING_HOST.replace("def generate(self, args): return",
                                         "def generate(self, args): print('called', flush=True); return"))
    source = zo_file('group __end { print "parked"; }\ngroup patrol {\n  %s;\n}\n'
                     'print "started";\nparallel {\n  wait 60 seconds;\n  patrol;\n}\n' % native)
    process = start_zo("run", source, "--host", str(host))
    assert process.stdout.readline() == "started\n"
    assert process.stdout.readline() == "called\n"
    time.sleep(0.1)  # into the native's sleep, or the loop's
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=30)
    assert (process.returncode, out) == (130, "parked\n"), err
    line = err.splitlines()[0]
    assert line.startswith("interrupted: "), err
    assert "%s:3:3 in group 'patrol' waiting on '%s'" % (source, native) in line
    assert "%s:7:3 waiting on 'wait'" % source in line


@pytest.mark.parametrize("body", ["wait 60 seconds;", "$i = 0; while true { $i += 1; }"])
def test_a_deadline_stops_the_whole_run_with_124(zo_file, body):
    source = zo_file('group __end { print "parked"; }\n' + body + "\n")
    started = time.monotonic()
    result = run_zo("run", source, "--deadline", "1")
    assert (result.returncode, result.stdout) == (124, "parked\n"), result.stderr
    assert result.stderr == "zo: stopped the program at the deadline of 1 seconds\n"
    assert time.monotonic() - started < 20  # the interpreter's start-up included


@pytest.mark.parametrize("end", ["while true { }", "wait 30 seconds;"])
def test_a_deadline_bounds_end_too(zo_file, end):
    source = zo_file('group __end {\n  print "parked";\n  %s\n}\nwait 60 seconds;\n' % end)
    started = time.monotonic()
    result = run_zo("run", source, "--deadline", "1")
    took = time.monotonic() - started
    assert (result.returncode, result.stdout) == (124, "parked\n"), result.stderr
    assert result.stderr == ("zo: stopped the program at the deadline of 1 seconds\n"
                             "zo: abandoned __end, still running 1 seconds after the deadline\n")
    assert 2 <= took < 20  # the interpreter's start-up included


def test_ir_saved_when_wait_took_its_seconds_alone_still_runs(zo_file, tmp_path):
    ir = run_zo("ir", zo_file("wait 0.3 seconds;\nuse $time;\nprint $time >= 0.3;\n")).stdout
    assert 'push "seconds"\ncall "wait" 2\n' in ir
    old = tmp_path / "old.zir"
    old.write_text(ir.replace('push "seconds"\ncall "wait" 2\n', 'call "wait" 1\n'))
    result = run_zo("run", str(old))
    assert (result.returncode, result.stdout) == (0, "true\n"), result.stderr


def cpu_of_run(*args):
    import resource

    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    result = run_zo(*args)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    assert result.returncode == 0, result.stderr
    return (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)


def test_end_sleeps_through_its_waits(zo_file):
    idle = cpu_of_run("run", zo_file('group __end { print "end"; }\nprint "x";\n'))
    waiting = cpu_of_run("run", zo_file('group __end { wait 2 seconds; }\nprint "x";\n'))
    # Spinning would spend the whole 2 s.
    assert waiting - idle < 0.5, (idle, waiting)


def test_max_memory_bounds_the_program(zo_file):
    source = zo_file('group __end { print "parked"; }\n$s = "x";\nwhile true { $s = $s + $s; }\n')
    result = run_zo("run", source, "--max-memory", "64M")
    assert (result.returncode, result.stdout) == (1, "parked\n")
    assert "Memory limit exceeded" in result.stderr
