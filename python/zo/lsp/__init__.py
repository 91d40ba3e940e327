"""``zo lsp``: a language server for Zo on standard input and output.

It speaks the Language Server Protocol 3.17 with hand-written JSON-RPC
framing (`rpc`): diagnostics from the real compiler with the host's natives
registered, quick fixes for "did you mean", completion of commands,
properties and keywords, and hover with the natives' docstrings; for IR
text (``.zir``), the reader's error. Where the
natives come from is `natives`; the loop is `server`.
"""

import sys


def serve():
    """Serves the client on this process's standard streams; the exit status.

    The protocol gets private copies of the standard streams' descriptors,
    and the descriptors themselves are pointed elsewhere: a host's
    ``print`` (or any native code writing to descriptor 1) then goes to
    standard error instead of corrupting the protocol, and nothing but the
    server reads the client's input.
    """
    from zo.lsp.rpc import take_standard_streams
    from zo.lsp.server import Server

    reader, writer = take_standard_streams()
    sys.stdout = sys.stderr
    return Server(reader, writer).serve()
