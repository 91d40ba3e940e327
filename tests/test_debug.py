"""``zo debug`` where the DebugClient test does not go: launches that fail,
pausing, a run-time error under the exception filter, requests while a
step runs on or out of place, and a client that goes away in the middle."""

import json
import os
import queue
import subprocess
import sys
import threading
import time

import pytest
from conftest import PYTHON_DIR


class Client:
    """Just enough of a DAP client: requests, and the messages as they come."""

    def __init__(self, cwd):
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join([PYTHON_DIR, env.get("PYTHONPATH", "")])
        self.process = subprocess.Popen([sys.executable, "-m", "zo", "debug"], cwd=cwd, env=env,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.seq = 0
        self.messages = queue.Queue()
        self.seen = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        stream = self.process.stdout
        while True:
            length = None
            for line in iter(stream.readline, b"\r\n"):
                if not line:
                    return self.messages.put(None)
                length = int(line.split(b":")[1])
            self.messages.put(json.loads(stream.read(length)))

    def send(self, command, **arguments):
        self.seq += 1
        body = json.dumps({"seq": self.seq, "type": "request", "command": command,
                           "arguments": arguments}).encode()
        self.process.stdin.write(b"Content-Length: %d\r\n\r\n%s" % (len(body), body))
        self.process.stdin.flush()
        return self.seq

    def next(self, wanted, timeout=30):
        """The next message for which `wanted(message)` holds; None at the end."""
        while True:
            message = self.messages.get(timeout=timeout)
            self.seen.append(message)
            if message is None or wanted(message):
                return message

    def request(self, command, **arguments):
        seq = self.send(command, **arguments)
        return self.next(lambda m: m.get("type") == "response" and m["request_seq"] == seq)

    def event(self, name):
        return self.next(lambda m: m.get("event") == name)

    def output(self, category="stdout"):
        return "".join(m["body"]["output"] for m in self.seen
                       if m and m.get("event") == "output" and m["body"]["category"] == category)

    def launch(self, **arguments):
        self.request("initialize", adapterID="zo")
        return self.request("launch", **arguments)

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=30)


@pytest.fixture
def client(tmp_path):
    made = []

    def start():
        made.append(Client(str(tmp_path)))
        return made[-1]

    yield start
    for client in made:
        if client.process.poll() is None:
            client.process.kill()
        client.process.wait()


@pytest.mark.parametrize("files, arguments, refused, shown", [
    ({"m.zo": "pirnt 1;\n"}, {}, "m.zo does not compile", "m.zo:1:1: error: No callable"),
    ({"m.zo": "print 1;\n", "h.py": "def register(host):\n    raise ValueError('no arm')\n"},
     {"host": "h.py"}, "cannot load host", "ValueError: no arm"),
    ({}, {}, "cannot read", "No such file"),
    ({"m.zo": "print 1;\n"}, {"args": ["--tick", "soon"]}, "launch: 'args': ", "--tick"),
    ({"m.zo": "print 1;\n"}, {"args": ["--record", "r.zrec"]}, "does not record", "--record"),
])
def test_a_launch_that_fails_says_why(client, tmp_path, files, arguments, refused, shown):
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    debugger = client()
    answer = debugger.launch(program="m.zo", **arguments)
    assert not answer["success"]
    assert refused in answer["message"]
    assert shown in debugger.output("stderr") + answer["message"]
    assert debugger.request("disconnect")["success"]
    debugger.close()
    assert debugger.process.returncode == 0


def test_a_deadline_ends_the_run_with_124_said_once(client, tmp_path):
    (tmp_path / "m.zo").write_text("wait 60 seconds;\n")
    debugger = client()
    debugger.launch(program="m.zo", args=["--deadline", "0.5"])
    debugger.request("configurationDone")
    assert debugger.event("exited")["body"]["exitCode"] == 124
    assert debugger.output("stderr") == "zo: stopped the program at the deadline of 0.5 seconds\n"


def test_a_run_time_error_under_the_exception_filter(client, tmp_path):
    (tmp_path / "m.zo").write_text(
        'group boom $x {\n    $y = $x + "a";\n}\ngroup __end {\n    print "end ran";\n}\nboom 1;\n')
    debugger = client()
    debugger.launch(program="m.zo")
    debugger.request("setExceptionBreakpoints", filters=["runtime-error"])
    debugger.request("configurationDone")
    stopped = debugger.event("stopped")["body"]
    assert (stopped["reason"], stopped["text"]) == ("exception", "Right operand must be a string")
    frames = debugger.request("stackTrace", threadId=stopped["threadId"])["body"]["stackFrames"]
    assert [(f["name"], f["line"]) for f in frames] == [("boom", 2), ("main", 7)]
    assert debugger.request("evaluate", expression="$x", frameId=frames[0]["id"])["body"][
        "result"] == "1"
    assert "end ran" not in debugger.output()  # __end waits for the client
    debugger.request("continue", threadId=stopped["threadId"])
    assert debugger.event("exited")["body"]["exitCode"] == 1
    assert "m.zo:2:13: error: Right operand must be a string" in debugger.output("stderr")
    assert debugger.output() == "end ran\n"


@pytest.mark.parametrize("program, entry, lines", [
    ('print "a";\n$i = 0;\nwhile true {\n    $i += 1;\n}\n', False, (3, 4)),  # a step that never ends
    ('print "a";\nwait 60 seconds;\n', False, (2,)),  # a driver asleep until the wait is over
    ('print "a";\nwait 60 seconds;\n', True, (1,)),
])
def test_pause_and_stop_on_entry_stop_at_once(client, tmp_path, program, entry, lines):
    (tmp_path / "m.zo").write_text(program)
    debugger = client()
    debugger.launch(program="m.zo", stopOnEntry=entry)
    debugger.request("configurationDone")
    if not entry:
        debugger.event("output")  # past the first line, however loaded the machine
        time.sleep(0.1)
        debugger.send("pause", threadId=1)
    stopped = debugger.event("stopped")["body"]
    assert stopped["reason"] == ("entry" if entry else "pause")
    frame = debugger.request("stackTrace", threadId=stopped["threadId"])["body"]["stackFrames"][0]
    assert frame["line"] in lines


NOTE_HOST = ("def register(host):\n"
             "    @host.command('note')\n"
             "    def note():\n"
             "        open('ended', 'w').close()\n")
END = "group __end {\n    note;\n}\n"


def _ir(source):
    """The IR text of `source` with the note host's natives."""
    import zolangpy
    from zo.host import Host

    host, namespace = Host(), {}
    exec(NOTE_HOST, namespace)
    namespace["register"](host)
    compiler = zolangpy.Compiler()
    host.register_with(compiler)
    assert compiler.compile(source)
    return compiler.into_raw()


@pytest.mark.parametrize("name, program, breakpoint", [
    ("m.zo", END + "while true {\n    wait 10 milliseconds;\n}\n", 5),  # suspended
    ("m.zir", _ir(END + "while true {\n    $i = 1;\n}\n"), None),  # in a step that never ends
])
def test_a_client_that_goes_away_ends_the_program_with_end(client, tmp_path, name, program,
                                                           breakpoint):
    (tmp_path / "h.py").write_text(NOTE_HOST)
    (tmp_path / name).write_text(program)
    debugger = client()
    debugger.launch(program=name, host="h.py")
    if breakpoint:
        debugger.request("setBreakpoints", source={"path": str(tmp_path / name)},
                         breakpoints=[{"line": breakpoint}])
    debugger.request("configurationDone")
    if breakpoint:
        assert debugger.event("stopped")["body"]["reason"] == "breakpoint"
    else:
        time.sleep(0.3)
    debugger.close()
    assert debugger.process.returncode == 0
    assert (tmp_path / "ended").exists()


@pytest.mark.parametrize("name", ["m.zo", "m.zir"])
def test_a_step_that_runs_on_answers_every_request(client, tmp_path, name):
    """threads and refusals come at once; a breakpoint set in the running
    loop is hit, with no stop shown before it; IR text, which has no lines,
    answers a pause at once and says why the program does not stop."""
    program = END + 'print "looping";\n$i = 0;\nwhile true {\n    $i += 1;\n}\n'
    (tmp_path / "h.py").write_text(NOTE_HOST)
    (tmp_path / name).write_text(_ir(program) if name == "m.zir" else program)
    debugger = client()
    debugger.launch(program=name, host="h.py")
    debugger.request("configurationDone")
    debugger.next(lambda m: m.get("event") == "output" and m["body"]["output"] == "looping\n")
    assert debugger.request("threads")["body"]["threads"] == [{"id": 1, "name": "main"}]
    assert debugger.request("stackTrace", threadId=1)["message"] == "the program is not suspended"
    placed = debugger.request("setBreakpoints", source={"path": str(tmp_path / name)},
                              breakpoints=[{"line": 7}])["body"]["breakpoints"]
    if name == "m.zo":
        assert (placed[0]["verified"], placed[0]["line"]) == (True, 7)
        stopped = debugger.event("stopped")["body"]
        assert stopped["reason"] == "breakpoint"
        frames = debugger.request("stackTrace", threadId=stopped["threadId"])["body"]
        assert frames["stackFrames"][0]["line"] == 7
    else:
        assert not placed[0]["verified"]
        assert debugger.request("pause", threadId=1)["success"]
        assert "IR text has no lines to pause at" in debugger.output("console")
    debugger.request("terminate")
    debugger.event("terminated")
    debugger.close()
    assert (tmp_path / "ended").exists()


def test_requests_out_of_place_are_refused(client, tmp_path):
    (tmp_path / "m.zo").write_text("$x = 1;\nprint $x;\n")
    debugger = client()
    for command in ("threads", "launch"):
        answer = debugger.request(command, program="m.zo")
        assert (answer["success"], answer["message"]) == (
            False, "'%s' before 'initialize': the session starts with 'initialize'" % command)
    debugger.launch(program="m.zo")
    debugger.request("setBreakpoints", source={"path": str(tmp_path / "m.zo")},
                     breakpoints=[{"line": 2}])
    debugger.request("configurationDone")
    debugger.event("stopped")
    for command, arguments in [("evaluate", {"expression": "$x", "frameId": 999}),
                               ("scopes", {"frameId": 999}),
                               ("variables", {"variablesReference": 999})]:
        answer = debugger.request(command, **arguments)
        assert not answer["success"] and "999" in answer["message"], answer
    assert debugger.request("evaluate", expression="$x")["body"]["result"] == "1"
