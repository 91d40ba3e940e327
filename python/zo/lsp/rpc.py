"""JSON-RPC 2.0 messages over a byte stream, framed as the Language Server
Protocol frames them: ``Content-Length: N`` headers, a blank line, then N
bytes of UTF-8 JSON.

Reading never raises on what the peer sent: a frame that cannot be read
comes back as a `BadMessage` that says why, so that the server can answer
or log it and go on with the next frame.
"""

import json
import os
import sys

# Bounds on what one frame may claim, so that a broken or hostile peer cannot
# make the server allocate without limit. A Zo source file of 256 MiB is far
# past anything an editor sends.
MAX_HEADER_LINE = 64 * 1024
MAX_CONTENT = 256 * 1024 * 1024

PARSE_ERROR = -32700
INVALID_REQUEST = -32600
METHOD_NOT_FOUND = -32601
INVALID_PARAMS = -32602
INTERNAL_ERROR = -32603
SERVER_NOT_INITIALIZED = -32002
REQUEST_FAILED = -32803


class BadMessage:
    """A frame that arrived but is no JSON-RPC message."""

    def __init__(self, reason):
        self.reason = reason


def read_message(stream):
    """The next message from a binary stream: a dict, a `BadMessage`, or
    None at the end of the stream."""
    length = None
    while True:
        line = stream.readline(MAX_HEADER_LINE + 1)
        if not line:
            return None
        if len(line) > MAX_HEADER_LINE:
            return BadMessage("header line longer than %d bytes" % MAX_HEADER_LINE)
        line = line.rstrip(b"\r\n")
        if not line:
            if length is not None:
                break
            continue  # stray blank lines between frames
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            try:
                length = int(value.strip())
            except ValueError:
                return BadMessage("bad Content-Length: %r" % value.strip())
    if length < 0:
        return BadMessage("negative Content-Length %d" % length)
    if length > MAX_CONTENT:
        # Skipped unread, so that the next frame starts where it should.
        while length > 0:
            skipped = len(stream.read(min(length, 1 << 20)))
            if not skipped:
                return None
            length -= skipped
        return BadMessage("Content-Length over %d bytes" % MAX_CONTENT)
    body = stream.read(length)
    if len(body) < length:
        return None
    try:
        # Invalid UTF-8 from the peer is replaced rather than refused: a file
        # in another encoding still gets diagnostics.
        message = json.loads(body.decode("utf-8", errors="replace"))
    except (ValueError, RecursionError) as error:
        return BadMessage("invalid JSON: %s" % error)
    if not isinstance(message, dict):
        return BadMessage("a message must be a JSON object")
    return message


def encode(message):
    """The framed bytes of one message (a dict)."""
    body = json.dumps(message, ensure_ascii=False, separators=(",", ":")).encode("utf-8", "replace")
    return b"Content-Length: %d\r\n\r\n%s" % (len(body), body)


def take_standard_streams():
    """(reader, writer): private copies of standard input and output for a
    server's protocol. The descriptors themselves are pointed elsewhere,
    output at standard error and input at the null device, so that a host's
    native code writing to descriptor 1 cannot corrupt the protocol and
    nothing but the server reads the client's input."""
    sys.stdout.flush()
    reader = os.fdopen(os.dup(0), "rb")
    writer = os.fdopen(os.dup(1), "wb")
    os.dup2(2, 1)
    with open(os.devnull, "rb") as null:
        os.dup2(null.fileno(), 0)
    return reader, writer
