"""``zo debug``: a debug adapter for Zo programs, on standard input and output.

It speaks the Debug Adapter Protocol to an editor (VS Code's debugger, or
any DAP client) and runs one program with its host in its own process, on
the drivers ``zo run`` uses. The framing and the output events are
`protocol`; the loading of program and host from a launch request,
`launch`; the requests and the run, `session`; what a suspended program
shows in the protocol's shapes, `view`.
"""

import sys


def serve():
    """Serves one session on this process's standard streams; the exit status.

    The protocol gets private copies of the standard streams' descriptors.
    What Python code prints (the standard ``print``, the host's own prints
    and tracebacks) reaches the client as output events; descriptor 1 is
    pointed at standard error, so that native code writing to it cannot
    corrupt the protocol, and nothing but the server reads the client's
    input.
    """
    from zo.dap.protocol import Channel, Output
    from zo.dap.session import Session
    from zo.lsp.rpc import take_standard_streams

    reader, writer = take_standard_streams()
    channel = Channel(reader, writer)
    sys.stdout = Output(channel, "stdout")
    sys.stderr = Output(channel, "stderr")
    return Session(channel).serve()
