"""`zo lsp` on what editors and hosts really send: broken frames, text no
compiler takes as it is, hosts that print, raise or exit. The server must
answer every request and keep serving. (The protocol as a real client drives
it is tested by editors/vscode/test/lsp.test.js, Neovim by test_neovim.py.)"""

import io
import json
import os
import random
import re
import subprocess
import sys

import pytest

from conftest import PYTHON_DIR

sys.path.insert(0, PYTHON_DIR)
from zo.lsp import rpc  # noqa: E402  (the package under test, from the source tree)
from zo.lsp.text import Document  # noqa: E402


class Client:
    def __init__(self, cwd, options=None):
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join([PYTHON_DIR, env.get("PYTHONPATH", "")])
        self.process = subprocess.Popen([sys.executable, "-m", "zo", "lsp"], cwd=cwd, env=env,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.next_id = 0
        self.notifications = []
        self.request("initialize", {"rootUri": "file://" + str(cwd), "capabilities": {},
                                    "initializationOptions": options or {}})
        self.notify("initialized", {})

    def send_bytes(self, data):
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def send(self, message):
        body = json.dumps(dict(message, jsonrpc="2.0")).encode("utf-8")
        self.send_bytes(b"Content-Length: %d\r\n\r\n%s" % (len(body), body))

    def receive(self):
        length = None
        while True:
            line = self.process.stdout.readline()
            assert line, "the server closed its output"
            if line == b"\r\n":
                break
            name, _, value = line.partition(b":")
            assert name == b"Content-Length", line
            length = int(value)
        return json.loads(self.process.stdout.read(length))

    def notify(self, method, params):
        self.send({"method": method, "params": params})

    def request(self, method, params=None):
        self.next_id += 1
        self.send({"id": self.next_id, "method": method, "params": params or {}})
        return self.answer(self.next_id)

    def answer(self, ident):
        while True:
            message = self.receive()
            if "method" not in message and message.get("id") == ident:
                return message
            self.notifications.append(message)

    def diagnostics(self, uri, version):
        """The diagnostics published for a version of a document."""
        while True:
            for message in self.notifications:
                params = message.get("params", {})
                if (message.get("method") == "textDocument/publishDiagnostics"
                        and params["uri"] == uri and params.get("version") == version):
                    return params["diagnostics"]
            self.notifications.append(self.receive())

    def messages(self):
        return [m["params"]["message"] for m in self.notifications
                if m.get("method") == "window/showMessage"]

    def configure(self, settings):
        self.notify("workspace/didChangeConfiguration", {"settings": {"zo": settings}})

    def open(self, uri, text, version=1, language="zo"):
        self.notify("textDocument/didOpen", {"textDocument": {
            "uri": uri, "languageId": language, "version": version, "text": text}})
        return self.diagnostics(uri, version)

    def close(self):
        assert self.request("shutdown")["result"] is None
        self.notify("exit", None)
        assert self.process.wait(timeout=30) == 0


def first(diagnostics):
    """(line, character, end character, first line of the message)."""
    d = diagnostics[0]
    return (d["range"]["start"]["line"], d["range"]["start"]["character"],
            d["range"]["end"]["character"], d["message"].split("\n")[0])


@pytest.fixture(scope="module")
def client(tmp_path_factory):
    root = tmp_path_factory.mktemp("workspace")
    (root / "zo.toml").write_text("host = [1]\n")  # not a string: reported
    client = Client(root, {"hostTimeout": 2000})
    yield client
    client.close()


def first(diagnostics):
    """(line, character, end character, first line of the message)."""
    d = diagnostics[0]
    return (d["range"]["start"]["line"], d["range"]["start"]["character"],
            d["range"]["end"]["character"], d["message"].split("\n")[0])


PIRNT = "No callable named 'pirnt' was registered"

# Texts no compiler takes as they are, and what their first diagnostic is.
TEXTS = [
    ("half typed", 'while true {\n    print "', (1, 9, 9, "Expect expression")),
    ("columns in UTF-16 units", "print '\U0001F600' $x;", (0, 11, 13, "Variable 'x' used before it was declared")),
    ("a lone surrogate", "print '\ud800';\npirnt;", (1, 0, 5, PIRNT)),
    ("a byte-order mark", "\ufeffpirnt;", (0, 1, 6, PIRNT)),
    ("nesting past the limit", "print " + "(" * 100000 + "1;", (0, 262, 263, "Nesting too deep (limit 256)")),
    ("a lone carriage return", "print 1;\r  pirnt 2;", (1, 2, 7, PIRNT)),
    ("CR LF, and an emoji after a lone CR", "print 1;\r\n\rprint '\U0001F600'; pirnt;", (2, 12, 17, PIRNT)),
    ("a huge file", "print 1;\n" * 50000 + "pirnt;", (50000, 0, 5, PIRNT)),
    ("the wait unit of an earlier compilation", "wait 1 milliseconds;\npirnt;", (1, 0, 5, PIRNT)),
]


def test_texts_that_no_compiler_takes_as_they_are(client):
    assert client.open("file:///w.zo", "wait 1 seconds;") == []
    for number, (name, text, expected) in enumerate(TEXTS):
        uri = "file:///%d.zo" % number
        assert first(client.open(uri, text)) == expected, name
        client.notify("textDocument/didClose", {"textDocument": {"uri": uri}})
    # IR text, known by its language or else its name: the reader's first
    # error, on its whole line.
    for uri, language in (("file:///p.txt", "zo-ir"), ("file:///p.zir", "")):
        assert first(client.open(uri, "push 1\nhello there\n", language=language)) == (
            1, 0, 11, "Invalid op: 'hello'")
    assert client.open("file:///q.zir", "push 1\n", language="zo") != []  # source, as its language says
    found = client.open("file:///many.zo", "pirnt;\n" * 1500)
    assert len(found) == 1001 and found[-1]["message"] == "500 more errors not shown"
    # Bytes that are no UTF-8 inside the JSON body itself.
    body = b'{"jsonrpc":"2.0","method":"textDocument/didOpen","params":{"textDocument":' \
           b'{"uri":"file:///latin1.zo","version":1,"text":"print \'gr\xf6\xdfe\';\\npirnt;"}}}'
    client.send_bytes(b"Content-Length: %d\r\n\r\n%s" % (len(body), body))
    assert first(client.diagnostics("file:///latin1.zo", 1))[0] == 1


def test_broken_messages_are_answered_and_the_server_goes_on(client):
    client.send_bytes(b"Content-Length: 5\r\n\r\n{oops")
    assert client.receive()["error"]["code"] == -32700
    client.send_bytes(b"Content-Length: 2\r\n\r\n[]")
    assert client.receive()["error"]["code"] == -32700
    for header in (b"Content-Length: x", b"Content-Length: -1"):
        client.send_bytes(header + b"\r\n\r\n")
        assert client.receive()["error"]["code"] == -32700
    assert client.request("no/such/method")["error"]["code"] == -32601
    # A notification without the params it needs is logged, nothing else.
    client.notify("textDocument/didChange", {})
    hover = client.request("textDocument/hover", {"textDocument": {"uri": "file:///none.zo"},
                                                  "position": {"line": 0, "character": 0}})
    assert hover["error"]["code"] == -32603
    assert client.request("textDocument/completion", {
        "textDocument": {"uri": "file:///none.zo"}, "position": {}})["error"]["code"] == -32603


def test_requests_before_initialize_are_refused(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([PYTHON_DIR, os.environ.get("PYTHONPATH", "")]))
    body = b'{"jsonrpc":"2.0","id":1,"method":"textDocument/hover","params":{}}'
    done = subprocess.run([sys.executable, "-m", "zo", "lsp"], env=env, cwd=tmp_path, timeout=30,
                          input=b"Content-Length: %d\r\n\r\n%s" % (len(body), body),
                          stdout=subprocess.PIPE)
    assert b'"code":-32002' in done.stdout
    assert done.returncode == 1  # the input ended without shutdown and exit


# Hosts that misbehave, and what the user is told (None: nothing).
HOSTS = [
    ("prints to standard output", "print('hello'); import os; os.write(1, b'raw\\n')\n"
     "def register(host):\n    print('registering')\n", None),
    ("raises", "raise ValueError('no rover')\n", r"\(line 1\): ValueError\('no rover'\)"),
    ("exits", "import sys\nsys.exit(3)\n", r"SystemExit\(3\)"),
    ("ends the process", "import os\nos._exit(3)\n", r"\(line 2\): SystemExit\('os._exit\(3\)'\)"),
    ("loops", "while True:\n    pass\n", r"TimeoutError\('still running after 2 seconds'\)"),
    ("loops in register", "def register(host):\n    while True:\n        pass\n", "TimeoutError"),
    ("has no register", "x = 1\n", r"has no register\(host\) function"),
    ("fails to register", "def register(host):\n    host.callable('x', 42)\n", "HostError"),
    ("is missing", None, "no such file"),
]


def test_a_host_that_misbehaves_leaves_the_standard_natives(client, tmp_path):
    assert "zo.toml" in client.messages()[0]
    for number, (name, source, message) in enumerate(HOSTS):
        path = tmp_path / ("host%d.py" % number)
        if source is not None:
            path.write_text(source)
        before = len(client.messages())
        client.configure({"host": str(path)})
        uri = "file:///host%d.zo" % number
        assert first(client.open(uri, "print 1;\npirnt;")) == (1, 0, 5, PIRNT), name
        told = client.messages()[before:]
        if message is None:
            assert told == [], name
        else:
            assert len(told) == 1 and re.search(message, told[0]), (name, told)


def test_a_host_from_settings_is_reloaded_when_it_changes(client, tmp_path):
    host = tmp_path / "mine.py"
    native = ("import zolangpy\nclass G(zolangpy.CallableGenerator):\n"
              "    def check_syntax(self, args): pass\n"
              "def register(host):\n    host.callable(%r, G())\n")
    host.write_text(native % "beep")
    client.configure({"host": str(host), "standardNatives": False})
    assert first(client.open("file:///beep.zo", "beep;\nprint;"))[3] == (
        "No callable named 'print' was registered")
    host.write_text(native % "print")
    client.notify("textDocument/didChange", {"textDocument": {"uri": "file:///beep.zo", "version": 2},
                                             "contentChanges": [{"text": "print;"}]})
    assert client.diagnostics("file:///beep.zo", 2) == []


def test_an_oversized_frame_is_skipped_and_the_next_one_read(monkeypatch):
    monkeypatch.setattr(rpc, "MAX_CONTENT", 10)
    stream = io.BytesIO(b"Content-Length: 30\r\n\r\n" + b"x" * 30 + rpc.encode({"id": 1}))
    assert isinstance(rpc.read_message(stream), rpc.BadMessage)
    assert rpc.read_message(stream) == {"id": 1}
    assert rpc.read_message(stream) is None


# Changes in UTF-16 units over text with characters beyond the BMP (two
# units each) and a CR LF line end: (start, end, new text, resulting text).
EDITS = [
    ((0, 2), (0, 3), "X", "\U0001F600X😀\r\nb"),
    ((0, 5), (1, 0), "", "\U0001F600a😀b"),
    ((0, 99), (0, 99), "!", "\U0001F600a😀!\r\nb"),  # past the line's end: before its line break
    ((1, 1), (5, 0), "c\nd", "\U0001F600a😀\r\nbc\nd"),
    ((0, 1), (0, 1), "?", "?\U0001F600a😀\r\nb"),  # inside a pair: before its character
]


def test_incremental_changes_in_utf16_units():
    for start, end, new, expected in EDITS:
        document = Document("file:///t.zo", "\U0001F600a😀\r\nb")
        document.apply({"range": {"start": {"line": start[0], "character": start[1]},
                                  "end": {"line": end[0], "character": end[1]}}, "text": new})
        assert document.text == expected, (start, end, new)
    assert document.position_at(4) == {"line": 0, "character": 6}  # after "?😀a😀"


def test_line_starts_follow_every_change():
    # Random edits of text with line feeds, joining and splitting lines; a
    # carriage return now and then, which the lines are counted afresh for.
    rng = random.Random(7)
    document = Document("file:///t.zo", "ab\ncd\n\nef")
    for _ in range(300):
        lines = len(document.line_starts)
        start = {"line": rng.randrange(lines + 1), "character": rng.randrange(4)}
        end = {"line": start["line"] + rng.randrange(2), "character": rng.randrange(4)}
        new = rng.choice(["", "x", "\n", "y\nz\n", "\r\n" if rng.random() < 0.05 else "q"])
        document.apply({"range": {"start": start, "end": end}, "text": new})
        assert document.line_starts == Document("file:///t.zo", document.text).line_starts, document.text


PROGRAM = ("group walk $steps far {\n"
           "    $left = $steps;\n"
           "    print $left;\n"
           "}\n"
           "$n = 3;\n"
           "walk $n far;\n"
           "use $time;\n")


def at(line, character):
    return {"line": line, "character": character}


def spans(locations):
    return [(r["start"]["line"], r["start"]["character"], r["end"]["character"])
            for r in (location.get("range", location) for location in locations)]


def test_navigation_follows_the_compilers_names(client):
    uri = "file:///navigation.zo"
    client.open(uri, PROGRAM)
    doc = {"textDocument": {"uri": uri}}

    def ask(method, position, **extra):
        answer = client.request("textDocument/" + method, dict(doc, position=position, **extra))
        assert "error" not in answer, answer
        return answer["result"]

    def labels(position):
        return {item["label"]: item["textEdit"]["newText"] for item in ask("completion", position)["items"]}

    def variables(position):
        return {item["label"] for item in ask("completion", position)["items"] if item["kind"] == 6}

    # In the group's body: its parameter and its variables assigned so far,
    # never the main code's; after the group, the group as a snippet.
    assert variables(at(2, 11)) == {"$steps", "$left"}
    assert variables(at(1, 5)) == {"$steps"}
    assert labels(at(5, 0))["walk"] == "walk ${1:\\$steps} far"
    assert "walk" not in labels(at(2, 4))
    assert "```zo\ngroup walk $steps far\n```" in ask("hover", at(5, 2))["contents"]["value"]
    assert spans([ask("definition", at(5, 1))]) == [(0, 6, 10)]
    assert spans([ask("definition", at(5, 7))]) == [(4, 0, 2)]
    assert spans(ask("references", at(1, 14), context={"includeDeclaration": True})) == [
        (0, 11, 17), (1, 12, 18)]
    edit = ask("rename", at(0, 8), newName="stroll")["changes"][uri]
    assert spans(edit) == [(0, 6, 10), (5, 0, 4)] and {e["newText"] for e in edit} == {"stroll"}
    edit = ask("rename", at(2, 12), newName="rest")["changes"][uri]
    assert spans(edit) == [(1, 4, 9), (2, 10, 15)] and {e["newText"] for e in edit} == {"$rest"}
    refused = client.request("textDocument/rename", dict(doc, position=at(0, 8), newName="print"))
    assert refused["error"]["code"] == rpc.REQUEST_FAILED
    symbols = client.request("textDocument/documentSymbol", doc)["result"]
    assert [(s["name"], s["range"]["end"]["line"]) for s in symbols] == [("walk", 3), ("$time", 6)]

    # A line being typed inside the group leaves it out of the outline; its
    # variables still complete there.
    client.notify("textDocument/didChange", {"textDocument": {"uri": uri, "version": 2}, "contentChanges": [
        {"range": {"start": at(3, 0), "end": at(3, 0)}, "text": "    print $\n"}]})
    assert variables(at(3, 11)) == {"$steps", "$left"}


def test_navigation_answers_on_every_text(client):
    for name, text, _ in TEXTS:
        uri = "file:///nav-%s.zo" % name.replace(" ", "-")
        client.open(uri, text)
        for method, extra in [("definition", {}), ("references", {"context": {}}),
                              ("rename", {"newName": "x"}), ("hover", {})]:
            answer = client.request("textDocument/" + method, {
                "textDocument": {"uri": uri}, "position": at(0, 7), **extra})
            assert "error" not in answer or answer["error"]["code"] == rpc.REQUEST_FAILED, (name, method)
        assert "error" not in client.request("textDocument/documentSymbol", {"textDocument": {"uri": uri}})


def declarations(found):
    """What completion and document symbols take from an outline: the
    groups, `use`s, and each scope's variables with their first definition."""
    groups = [(g["name"], g["span"], g["extent"], [(p["text"], p["value"], p["span"]) for p in g["params"]])
              for g in found["groups"]]
    variables = {}
    for v in found["variables"]:
        group = v["group"] if "group" in v else (None if v["scope"] is None else found["groups"][v["scope"]])
        key = (None if group is None else group["extent"], v["name"], v["parameter"])
        variables[key] = min(variables.get(key, v["defined"]), v["defined"])
    return groups, [(u["name"], u["span"]) for u in found["uses"]], variables


# Texts whose every `group` line may end a piece, and the groups of their
# pieced outline: those of the whole outline when it is complete.
PIECES = [
    ("groups and the main code between them",
     "use $time;\n$a = 1;\ngroup one $n far {\n    $x = $n;\n}\n$b = $a;\n# group in a comment\n"
     "group two {\n    if $time > 1 { one 1 far; }\n    else { $y = 2; }\n}\nif $a > 0 { $c = 1; }\n"
     "else { $a = 2; }\ngroup three { }\n$d = 4;\n", ["one", "two", "three"]),
    ("a string that runs across group lines",
     "$s = 'one\ngroup fake $x {\n}\ngroup fake2 {\n';\ngroup real $y {\n    $z = \"a\ngroup b {\";\n}\n"
     + "group more {\n}\n" * 5, ["real"] + ["more"] * 5),
    ("a string left open", "$x = 1;\ngroup a {\n}\n$s = \"open\ngroup b {\n}\ngroup c {\n}\n", ["a"]),
    # The whole outline loses everything after the missing brace.
    ("a group without its brace", "group a {\n    $x = 1;\ngroup b $y {\n    $z = $y;\n}\n$w = 1;\n", ["b"]),
]


def test_a_pieced_outline_declares_what_the_whole_one_does(monkeypatch):
    from zo.lsp import outlines
    from zo.lsp.natives import Natives
    monkeypatch.setattr(outlines, "_GROUPS_A_PIECE", 1)
    model, _ = Natives().current()
    for name, text, groups in PIECES:
        document = Document("file:///p.zo", text)
        found = outlines.Outlines()
        whole, pieced = found.whole(document, model), found.pieced(document, model)
        assert len(found._pieces) > 1, name
        assert [g["name"] for g in pieced["groups"]] == groups, name
        if whole["complete"]:
            assert declarations(pieced) == declarations(whole), name


HOVERED = ("use $time;\n"
           "# print wait $time\n"
           "print \"wait here\" $time;\n"
           "wait 1 seconds;\n"
           "group walk $steps far {\n"
           "    $left = $steps;\n"
           "}\n"
           "walk $time far;\n"
           "print '$time';\n")

# Positions in HOVERED and the start of what hover shows there (None: nothing).
HOVERS = [
    ((1, 8), None),  # a command's name in a comment
    ((1, 15), None),  # a property in a comment
    ((2, 8), None),  # in a string
    ((8, 9), None),  # a property in a string
    ((3, 9), None),  # a word of a call
    ((3, 1), "```zo\nwait N seconds"),
    ((2, 1), "```zo\nprint VALUES..."),
    ((0, 6), "**$time** — property, read-only"),
    ((2, 20), "**$time** — property, read-only"),
    ((7, 7), "**$time** — property, read-only"),
    ((7, 2), "```zo\ngroup walk $steps far"),
    ((4, 20), "```zo\ngroup walk $steps far"),  # a word of its definition
    ((5, 6), "**$left** — variable"),
    ((5, 16), "**$steps** — parameter"),
]


def test_hover_shows_what_the_outline_places_under_the_cursor(client):
    client.configure({"host": "", "standardNatives": True})
    uri = "file:///hover.zo"
    assert client.open(uri, HOVERED) == []
    for position, expected in HOVERS:
        answer = client.request("textDocument/hover",
                                {"textDocument": {"uri": uri}, "position": at(*position)})
        shown = answer["result"] and answer["result"]["contents"]["value"]
        assert shown == expected if expected is None else shown.startswith(expected), position


RENAMED = ("group a { }\n"
           "group b $x {\n"
           "    $y = $x;\n"
           "}\n"
           "$m = 1;\n"
           "$n = 2;\n"
           "a;\n"
           "c;\n")

# Renames in RENAMED: position, new name, and the refusal (None: done).
RENAMES = [
    ((0, 6), "b", "there is already a group 'b' (line 2)"),
    ((0, 6), "c", "'c' is called already (line 8)"),
    ((2, 5), "x", "there is already a variable '$x' in group b (line 2)"),
    ((4, 1), "$n", "there is already a variable '$n' in the main code (line 6)"),
    ((4, 1), "y", None),  # $y is group b's
    ((0, 6), "a", None),
    ((0, 6), "while", "'while' cannot name a group"),
    ((0, 6), "two words", "'two words' cannot name a group"),
    ((0, 6), "print", "'print' cannot name a group"),
    ((0, 6), "3d", "'3d' cannot name a group"),
    ((4, 1), "time", "'$time' cannot name a variable"),
    ((4, 1), "a b", "'$a b' cannot name a variable"),
]


def test_renames_that_would_change_the_program_are_refused(client):
    client.configure({"host": "", "standardNatives": True})
    uri = "file:///rename.zo"
    client.open(uri, RENAMED)
    for position, new_name, refusal in RENAMES:
        answer = client.request("textDocument/rename", {
            "textDocument": {"uri": uri}, "position": at(*position), "newName": new_name})
        if refusal is None:
            assert "result" in answer and answer["result"]["changes"][uri], (position, new_name)
        else:
            assert answer["error"] == {"code": rpc.REQUEST_FAILED, "message": refusal}, (position, new_name)
