"""``zo``: run, check and print Zo programs.

    zo run FILE [--host MODULE.py] [--no-std] [--trace]
               [--max-instructions N] [--timeout SECONDS] [--tick SECONDS]
    zo check FILE [--host MODULE.py] [--no-std] [--format text|json]
    zo ir FILE [-o OUT] [--host MODULE.py] [--no-std]
    zo replay RECORD [PROGRAM]
    zo timeline RECORD -o OUT [--format html|perfetto]
    zo --version

FILE is Zo source (``.zo``) or, for ``run``, Zo IR text (``.zir``). Errors go
to standard error as FILE:LINE:COLUMN: error: MESSAGE with the source line
and notes; ``check --format json`` prints them to standard output as JSON.
"""

import argparse
import importlib.util
import os
import re
import sys
import time

import zolangpy

import zo
from zo.diagnostics import diagnostics_json, render_diagnostics, render_failure
from zo.host import Host, HostError
from zo.irtext import unreadable_string
from zo.monitor import Monitor
from zo.recording import commands as recording

# While the program waits on natives other than `wait` (or may have a
# yielding context the host cannot see), the loop steps once per tick rather
# than spinning: a native that is not done yet is asked again a tick later.
DEFAULT_TICK = 0.005


def main(argv=None):
    args = _parse_args(argv)
    if args.command in ("replay", "timeline"):
        return recording.main(args)
    try:
        host = _load_host(args)
    except HostError as error:
        print("zo: host %s: %s" % (args.host, error), file=sys.stderr)
        return 2
    except Exception as error:  # the user's host file is user code
        print("zo: cannot load host %s: %r" % (args.host, error), file=sys.stderr)
        return 2
    try:
        # utf-8-sig: a byte-order mark at the start is not part of the program.
        with open(args.file, encoding="utf-8-sig") as handle:
            text = handle.read()
    except (OSError, UnicodeDecodeError) as error:
        print("zo: cannot read %s: %s" % (args.file, error), file=sys.stderr)
        return 2
    if args.command == "run":
        return _run(args, host, text)
    if args.command == "check" and args.format == "json":
        return _check_json(host, text)
    compiler = _compile(host, text, args.file)
    if compiler is None:
        return 1
    if args.command == "ir":
        ir = compiler.into_raw()
        if not _reads_back(ir, text):
            return 1
        if args.output:
            with open(args.output, "w", encoding="utf-8") as handle:
                handle.write(ir)
        else:
            sys.stdout.write(ir)
    return 0


def _reads_back(ir, source):
    """Whether the IR text reads back as the program it was printed from;
    if not, says why, naming the source line of the string at fault."""
    problem = unreadable_string(source)
    if problem is None:
        try:
            zolangpy.Interpreter(ir)
            return True
        except Exception as error:  # ZoError is not a module attribute
            print("zo: the IR does not read back: %s" % error, file=sys.stderr)
            return False
    line, why = problem
    print("zo: line %d: %s; IR text cannot hold it, so no IR was written" % (line, why),
          file=sys.stderr)
    return False


def _count(text):
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError("must not be negative: %s" % text)
    return value


def _seconds(text):
    value = float(text)
    if not value >= 0:  # NaN included
        raise argparse.ArgumentTypeError("must be a number of seconds, at least 0: %s" % text)
    return value


def _parse_args(argv):
    parser = argparse.ArgumentParser(prog="zo", description="Run Zo programs.")
    parser.add_argument("--version", action="version", version="zo " + zo.__version__)
    commands = parser.add_subparsers(dest="command", required=True)
    for name, text in (
        ("run", "compile (or read IR) and run until the program finishes"),
        ("check", "compile only, reporting errors"),
        ("ir", "print the program's IR text"),
    ):
        sub = commands.add_parser(name, help=text)
        sub.add_argument("file", help="a .zo source file" + (" or .zir IR file" if name == "run" else ""))
        sub.add_argument("--host", help="a Python file whose register(host) adds natives")
        sub.add_argument("--no-std", action="store_true", help="leave out print, wait and $time")
        if name == "run":
            sub.add_argument("--trace", action="store_true", help="print native calls per step")
            recording.add_run_options(sub)
            sub.add_argument("--max-instructions", type=_count, metavar="N",
                             help="stop a step (and __end) after N loop iterations, group "
                                  "calls and spawns")
            sub.add_argument("--timeout", type=_seconds, metavar="SECONDS",
                             help="stop a step (and __end) that runs longer than this")
            sub.add_argument("--tick", type=_seconds, metavar="SECONDS", default=DEFAULT_TICK,
                             help="while natives are pending, step once per tick (default "
                                  "%g; 0 steps without pause)" % DEFAULT_TICK)
        if name == "ir":
            sub.add_argument("-o", "--output", help="write the IR text here")
        if name == "check":
            sub.add_argument("--format", choices=("text", "json"), default="text",
                             help="how to print errors: text on stderr, or JSON on stdout")
    recording.add_commands(commands)
    return parser.parse_args(argv)


def _load_host(args):
    host = Host(standard=not args.no_std)
    if args.host:
        # As for a script, the host's own directory comes first on the path,
        # so that it can import the modules next to it.
        sys.path.insert(0, os.path.dirname(os.path.abspath(args.host)))
        location = importlib.util.spec_from_file_location("zo_user_host", args.host)
        module = importlib.util.module_from_spec(location)
        location.loader.exec_module(module)
        module.register(host)
    return host


def _compile(host, source, path):
    """A compiled Compiler, or None after printing the errors to stderr."""
    compiler = zolangpy.Compiler()
    host.register_with(compiler)
    if compiler.compile(source):
        return compiler
    sys.stderr.write(render_diagnostics(compiler.diagnostics(), path, source))
    sys.stderr.flush()
    return None


def _check_json(host, source):
    """``check --format json``: the errors as JSON on stdout (``[]`` when
    there are none); the exit status is check's own."""
    compiler = zolangpy.Compiler()
    host.register_with(compiler)
    compiled = compiler.compile(source)
    sys.stdout.write(diagnostics_json(compiler.diagnostics()))
    return 0 if compiled else 1


def _interpreter(args, host, monitor, text, recorder=None):
    """An Interpreter for the file with the natives it names, or None after
    printing why not."""
    natives = Host(standard=False)
    for name, generator in host.callables.items():
        natives.callable(name, monitor.wrap(name, generator))
    natives.properties = dict(host.properties)
    if recorder is not None:  # outermost, so the monitor still sees its own calls
        natives.callables = {n: recorder.wrap(n, g) for n, g in natives.callables.items()}
        natives.properties = {n: recorder.wrap(n, p) for n, p in natives.properties.items()}
    if not args.file.endswith(".zir"):
        compiler = _compile(natives, text, args.file)
        return compiler.into_interpreter() if compiler else None
    try:
        interpreter = zolangpy.Interpreter(text)
    except Exception as error:  # ZoError is not a module attribute
        print("zo: %s" % error, file=sys.stderr)
        return None
    # IR names every native in quotes; registering only those keeps a group
    # label of the program from clashing with a standard native's name.
    for name, generator in natives.callables.items():
        if '"%s"' % name in text:
            interpreter.register_callable(name, generator)
    for name, prop in natives.properties.items():
        if '"%s"' % name in text:
            interpreter.register_property(name, prop)
    return interpreter


def _run(args, host, text):
    try:
        recorder = recording.run_recorder(args, text)
    except OSError as error:
        print("zo: cannot write %s: %s" % (args.record, error), file=sys.stderr)
        return 2
    try:
        return _run_recorded(args, host, text, recorder)
    finally:
        if recorder is not None:
            recorder.close()


def _run_recorded(args, host, text, recorder):
    # --trace prints the recorder's events; the monitor only paces the loop.
    monitor = Monitor(host.clock, None)
    interpreter = _interpreter(args, host, monitor, text, recorder)
    if interpreter is None:
        return 1
    if recorder is not None:
        interpreter = _Recorded(interpreter, recorder)
    monitor.interpreter = interpreter
    interpreter.set_limits(instructions=args.max_instructions, seconds=args.timeout)
    # A context that yields is invisible to the host; only a program that
    # cannot yield may sleep until its next wait is due.
    can_yield = re.search(r"\byield\b", text) is not None
    report = _Report(interpreter, args.file, text)
    try:
        return _loop(interpreter, monitor, can_yield, args.tick, report)
    except KeyboardInterrupt:
        # Ctrl-C, during a step or between two: __end runs, as on any stop.
        return _stop(interpreter, 130, report)
    except BaseException:
        # A native's SystemExit, say: __end runs before it goes on.
        _stop(interpreter, 1, report)
        raise


class _Report:
    """Prints the failures of a run to stderr, at their place in the file
    when the interpreter kept one."""

    def __init__(self, interpreter, path, source):
        self.interpreter = interpreter
        self.path = path
        self.source = source

    def run_failure(self, error):
        failure = self._failure(error)
        if failure is None:
            print("zo: %s" % error, file=sys.stderr)
        else:
            sys.stderr.write(render_failure(failure, self.path, self.source))

    def stop_failure(self, error):
        failure = self._failure(error)
        if failure is None or (failure["line"] is None and failure["address"] is None):
            print("zo: while stopping: %s" % error, file=sys.stderr)
        else:
            sys.stderr.write(render_failure(failure, self.path, self.source) +
                             "note: this happened while stopping the program\n")

    def _failure(self, error):
        """last_error() when it describes `error`, else None."""
        failure = self.interpreter.last_error()
        return failure if failure is not None and failure["text"] == str(error) else None


class _Recorded:
    """The interpreter seen through the recorder: run() and stop() are
    recorded steps; everything else goes to the interpreter."""

    def __init__(self, interpreter, recorder):
        self._interpreter = interpreter
        self._recorder = recorder

    def run(self):
        return self._recorder.run(self._interpreter)

    def stop(self):
        self._recorder.stop(self._interpreter)

    def __getattr__(self, name):
        return getattr(self._interpreter, name)


def _loop(interpreter, monitor, can_yield, tick, report):
    while True:
        started = time.monotonic()
        monitor.begin_step()
        try:
            running = interpreter.run()
        except Exception as error:  # ZoError is not a module attribute
            report.run_failure(error)
            return _stop(interpreter, 1, report)
        if not running:
            return 0
        resume = monitor.resume_at(started, tick, can_yield)
        if resume is not None:
            time.sleep(max(0.0, resume - time.monotonic()))


def _stop(interpreter, status, report):
    """Stops the program so __end runs; reports a failure of the stop itself."""
    try:
        interpreter.stop()
    except KeyboardInterrupt:
        print("zo: interrupted while stopping", file=sys.stderr)
        return 130
    except Exception as error:
        report.stop_failure(error)
        return status or 1
    return status
