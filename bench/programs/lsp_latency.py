"""`zo lsp`'s latency on a program of LINES lines (2,000 by default), as an
editor sees it: wall milliseconds from sending a change to receiving its
diagnostics (the server's debounce included), from sending a completion
request to its answer, or from sending a change to the answer of the
completion request sent right after it (typing). Prints the median over
REPS after a warm-up (fewer of both past 2,000 lines).

    python lsp_latency.py diagnostics|completion|typing [LINES]
                                                    serves with this Python
"""

import json
import os
import statistics
import subprocess
import sys
import time

LINES = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
WARM_UP, REPS = (10, 30) if LINES <= 2000 else (5, 15)  # a big program's changes take longer


def program():
    """About LINES lines: groups with value and word parameters, loops,
    conditions, assignments and calls, as a mission file has them."""
    lines = []
    for g in range(LINES // 10):
        lines += [
            "group step%d $n metres {" % g,
            "    $x = $n * 2 + %d;" % g,
            "    if $x > 3 { print \"big\" $x; } else { print \"small\"; }",
            "    wait 1 milliseconds;",
            "}",
            "$i = 0;",
            "while $i < 3 {",
            "    step%d $i metres;" % g,
            "    $i += 1;",
            "}",
        ]
    return "\n".join(lines) + "\n"


class Server:
    def __init__(self):
        self.process = subprocess.Popen([sys.executable, "-m", "zo", "lsp"],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.ids = 0
        self.published = {}  # version -> its diagnostics, as they come

    def send(self, message):
        body = json.dumps(dict(message, jsonrpc="2.0")).encode()
        self.process.stdin.write(b"Content-Length: %d\r\n\r\n%s" % (len(body), body))
        self.process.stdin.flush()

    def receive(self):
        length = None
        while True:
            line = self.process.stdout.readline()
            if line == b"\r\n":
                return json.loads(self.process.stdout.read(length))
            length = int(line.split(b":")[1])

    def receive_and_keep(self):
        message = self.receive()
        if message.get("method") == "textDocument/publishDiagnostics":
            self.published[message["params"].get("version")] = message["params"]["diagnostics"]
        return message

    def request(self, method, params):
        self.ids += 1
        self.send({"id": self.ids, "method": method, "params": params})
        while True:
            message = self.receive_and_keep()
            if message.get("id") == self.ids and "method" not in message:
                return message

    def diagnostics(self, version):
        while version not in self.published:
            self.receive_and_keep()
        return self.published.pop(version)


def main():
    mode = sys.argv[1]
    server = Server()
    server.request("initialize", {"rootUri": None, "capabilities": {}})
    server.send({"method": "initialized", "params": {}})
    uri = "file:///mission.zo"
    server.send({"method": "textDocument/didOpen", "params": {"textDocument": {
        "uri": uri, "languageId": "zo", "version": 1, "text": program()}}})
    server.diagnostics(1)
    middle = LINES // 2 + 2  # an `if ... print` line of a group in the middle
    samples = []
    for version in range(2, 2 + WARM_UP + REPS):
        started = time.monotonic()
        if mode in ("diagnostics", "typing"):
            # Alternately misspell and mend one call: every change alters the diagnostics.
            text = "pirnt" if version % 2 == 0 else "print"
            server.send({"method": "textDocument/didChange", "params": {
                "textDocument": {"uri": uri, "version": version},
                "contentChanges": [{"range": {"start": {"line": middle, "character": 16},
                                              "end": {"line": middle, "character": 21}},
                                    "text": text}]}})
        if mode == "diagnostics":
            found = server.diagnostics(version)
            assert len(found) == (1 if text == "pirnt" else 0), found
        else:
            found = server.request("textDocument/completion", {
                "textDocument": {"uri": uri}, "position": {"line": middle, "character": 18}})
            assert any(item["label"] == "print" for item in found["result"]["items"])
        samples.append(time.monotonic() - started)
        if mode == "typing":
            server.diagnostics(version)  # the next change comes to an idle server
    server.request("shutdown", {})
    server.send({"method": "exit"})
    server.process.wait(timeout=30)
    print("%.2f" % (1000 * statistics.median(samples[WARM_UP:])))


main()
