"""The Debug Adapter Protocol's messages over a pair of byte streams.

DAP frames its JSON messages as the Language Server Protocol does
(``Content-Length`` headers), so the framing is `zo.lsp.rpc`'s. A thread
reads the client's frames and hands each over as it comes; `Channel`
numbers and writes what the server sends, from any thread. A client that has gone away is not an
error: sending then does nothing.
"""

import threading

from zo.lsp import rpc


class Channel:
    def __init__(self, reader, writer):
        self.reader = reader
        self.writer = writer
        self.seq = 0
        self.writing = threading.Lock()
        self.closed = False

    def start_reading(self, arrived):
        """Reads frames on a thread of its own until the input ends, calling
        `arrived(message)` on that thread for each, and with None at the end."""

        def read():
            while True:
                try:
                    message = rpc.read_message(self.reader)
                except Exception:  # a stream that fails: as good as its end
                    message = None
                arrived(message)
                if message is None:
                    return

        threading.Thread(target=read, name="zo-debug-reader", daemon=True).start()

    def send(self, message):
        with self.writing:
            if self.closed:
                return
            self.seq += 1
            message["seq"] = self.seq
            try:
                self.writer.write(rpc.encode(message))
                self.writer.flush()
            except (OSError, ValueError):  # the client closed our output
                self.closed = True

    def respond(self, request, body=None):
        self.send({"type": "response", "request_seq": request.get("seq", 0), "success": True,
                   "command": request.get("command", ""), "body": body or {}})

    def refuse(self, request, text):
        """An error response; VS Code shows `text` to the user."""
        self.send({"type": "response", "request_seq": request.get("seq", 0), "success": False,
                   "command": request.get("command", ""), "message": text,
                   "body": {"error": {"id": 1, "format": text, "showUser": True}}})

    def event(self, name, body=None):
        message = {"type": "event", "event": name}
        if body is not None:
            message["body"] = body
        self.send(message)


class Output:
    """A text stream whose lines reach the client as ``output`` events of
    one category ("stdout", "stderr", "console"). Text waits for the end of
    its line or a flush, so that ``print`` makes one event per line."""

    def __init__(self, channel, category):
        self.channel = channel
        self.category = category
        self.pending = ""
        self.lock = threading.Lock()

    def write(self, text):
        text = str(text)
        with self.lock:
            self.pending += text
            end = self.pending.rfind("\n") + 1
            ready, self.pending = self.pending[:end], self.pending[end:]
        if ready:
            self.channel.event("output", {"category": self.category, "output": ready})
        return len(text)

    def flush(self):
        with self.lock:
            ready, self.pending = self.pending, ""
        if ready:
            self.channel.event("output", {"category": self.category, "output": ready})

    def isatty(self):
        return False

    def writable(self):
        return True
