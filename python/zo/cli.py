"""``zo``: run, check and print Zo programs.

    zo run FILE [--host MODULE.py] [--no-std] [--trace] [--traceback]
               [--max-instructions N] [--timeout SECONDS] [--tick SECONDS]
               [--deadline SECONDS] [--max-memory SIZE]
    zo check FILE [--host MODULE.py] [--no-std] [--format text|json]
    zo ir FILE [-o OUT] [--host MODULE.py] [--no-std]
    zo natives [--host MODULE.py] [--no-std] [--format markdown|json]
    zo lsp
    zo debug
    zo replay RECORD [PROGRAM]
    zo timeline RECORD -o OUT [--format html|perfetto]
    zo --version

FILE is Zo source (``.zo``) or, for ``run``, Zo IR text (``.zir``); ``-``
reads the source from standard input. Errors go to standard error as
FILE:LINE:COLUMN: error: MESSAGE with the source line and notes; ``check
--format json`` prints them to standard output as JSON.
"""

import argparse
import asyncio
import math
import os
import re
import sys
import traceback

import zolangpy

import zo
from zo.diagnostics import diagnostics_json, explain, render_diagnostics, render_failure
from zo.driver import DEFAULT_TICK, Driver, deadline_seconds, may_yield
from zo.host import Host, HostError, load_host_file
from zo.irtext import unreadable_string
from zo.model import model_json, model_markdown
from zo.monitor import Monitor
from zo.recording import commands as recording

# Exit statuses besides 0, 1 (a failure) and 2 (usage): Ctrl-C as a shell
# reports it, and a deadline as timeout(1) does.
INTERRUPTED = 130
DEADLINE = 124


def main(argv=None):
    args = parse_args(argv)
    if args.command == "lsp":
        from zo.lsp import serve
        return serve()
    if args.command == "debug":
        from zo.dap import serve
        return serve()
    if args.command in ("replay", "timeline"):
        return recording.main(args)
    try:
        host = load_host(args)
    except HostError as error:
        print("zo: host %s: %s" % (args.host, error), file=sys.stderr)
        return 2
    except Exception as error:  # the user's host file is user code
        print("zo: cannot load host %s: %r" % (args.host, error), file=sys.stderr)
        return 2
    if args.command == "natives":
        model = host.model()
        sys.stdout.write(model_json(model) if args.format == "json" else model_markdown(model))
        return 0
    try:
        text = read_program(args.file)
    except (OSError, UnicodeDecodeError) as error:
        print("zo: cannot read %s: %s" % (args.file, error), file=sys.stderr)
        return 2
    if args.file == "-":
        args.file = "<stdin>"
    if args.command == "run":
        return _run(args, host, text)
    if args.command == "check" and args.format == "json":
        return _check_json(args, host, text)
    compiler = _compile(args, host, text)
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


def read_program(path):
    if path == "-":
        text = sys.stdin.read()
        return text[1:] if text.startswith("\ufeff") else text
    # utf-8-sig: a byte-order mark at the start is not part of the program.
    with open(path, encoding="utf-8-sig") as handle:
        return handle.read()


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
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError("must be a whole number, at least 0: %s" % text)
    return value


def _seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not value >= 0:  # NaN included
        raise argparse.ArgumentTypeError("must be a number of seconds, at least 0: %s" % text)
    return value


def _tick(text):
    value = _seconds(text)
    if math.isinf(value):
        raise argparse.ArgumentTypeError("must be a finite number of seconds: %s" % text)
    return value


def _deadline(text):
    """Seconds, or None for inf (no deadline)."""
    return deadline_seconds(_seconds(text))  # _seconds has refused what it would


_SIZE = re.compile(r"(\d+(?:\.\d+)?)\s*([KMGT]?)(?:I?B)?\Z", re.I)


def _size(text):
    """Bytes from 512M, 2G, 64k, 1.5G or a plain number of bytes."""
    match = _SIZE.match(text.strip())
    if match is None:
        raise argparse.ArgumentTypeError("must be a size such as 512M or 2G: %s" % text)
    scale = 1024 ** " KMGT".index(match.group(2).upper() or " ")
    return int(float(match.group(1)) * scale)


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="zo", description="Run Zo programs.")
    parser.add_argument("--version", action="version", version="zo " + zo.__version__)
    commands = parser.add_subparsers(dest="command", required=True)
    for name, text in (
        ("run", "compile (or read IR) and run until the program finishes"),
        ("check", "compile only, reporting errors"),
        ("ir", "print the program's IR text"),
        ("natives", "list the natives a host offers, with their signatures"),
    ):
        sub = commands.add_parser(name, help=text)
        if name != "natives":
            sub.add_argument("file", help="a .zo source file" +
                             (" or .zir IR file" if name == "run" else "") + "; - for stdin")
        sub.add_argument("--host", help="a Python file whose register(host) adds natives")
        sub.add_argument("--no-std", action="store_true", help="leave out print, wait and $time")
        if name == "run":
            sub.add_argument("--trace", action="store_true", help="print native calls per step")
            recording.add_run_options(sub)
            sub.add_argument("--traceback", action="store_true",
                             help="show the whole Python traceback of a native that raised")
            sub.add_argument("--max-instructions", type=_count, metavar="N",
                             help="stop a step (and __end) after N loop iterations, group "
                                  "calls and spawns")
            sub.add_argument("--timeout", type=_seconds, metavar="SECONDS",
                             help="stop a step (and __end) that runs longer than this")
            sub.add_argument("--tick", type=_tick, metavar="SECONDS", default=DEFAULT_TICK,
                             help="while natives are pending, step once per tick (default "
                                  "%g; 0 steps without pause)" % DEFAULT_TICK)
            sub.add_argument("--deadline", type=_deadline, metavar="SECONDS",
                             help="stop the program when the whole run has lasted this long; "
                                  "__end runs, for as long again at most, and zo exits with %d"
                                  % DEADLINE)
            sub.add_argument("--max-memory", type=_size, metavar="SIZE",
                             help="the memory the program may hold (512M, 2G...)")
        if name == "ir":
            sub.add_argument("-o", "--output", help="write the IR text here")
        if name == "check":
            sub.add_argument("--format", choices=("text", "json"), default="text",
                             help="how to print errors: text on stderr, or JSON on stdout")
        if name == "natives":
            sub.add_argument("--format", choices=("markdown", "json"), default="markdown",
                             help="Markdown for reading, or JSON for tools")
    lsp = commands.add_parser("lsp", help="serve the Language Server Protocol on stdin/stdout")
    lsp.add_argument("--stdio", action="store_true", help=argparse.SUPPRESS)  # clients may add it
    commands.add_parser("debug", help="serve the Debug Adapter Protocol on stdin/stdout: the "
                                      "program and host come with the client's launch request")
    recording.add_commands(commands)
    return parser.parse_args(argv)


def load_host(args):
    host = Host(standard=not args.no_std)
    if args.host:
        # As for a script, the host's own directory comes first on the path,
        # so that it can import the modules next to it.
        sys.path.insert(0, os.path.dirname(os.path.abspath(args.host)))
        module = load_host_file(args.host, "zo_user_host")
        if module is None:
            raise HostError("not a Python file")
        module.register(host)
    return host


def _diagnostics(args, compiler, source):
    return explain(compiler.diagnostics(), source, host_given=args.host is not None)


def _compile(args, host, source, wrap=None):
    """A compiled Compiler, or None after printing the errors to stderr."""
    compiler = zolangpy.Compiler()
    host.register_with(compiler, wrap)
    if compiler.compile(source):
        return compiler
    sys.stderr.write(render_diagnostics(_diagnostics(args, compiler, source), args.file, source))
    sys.stderr.flush()
    return None


def _check_json(args, host, source):
    """``check --format json``: the errors as JSON on stdout (``[]`` when
    there are none); the exit status is check's own."""
    compiler = zolangpy.Compiler()
    host.register_with(compiler)
    compiled = compiler.compile(source)
    sys.stdout.write(diagnostics_json(_diagnostics(args, compiler, source)))
    return 0 if compiled else 1


def make_interpreter(args, host, monitor, text, wrap=None):
    """An Interpreter for the file with the natives it names, or None after
    printing why not."""
    wrap = wrap or monitor.wrap
    if not args.file.endswith(".zir"):
        compiler = _compile(args, host, text, wrap)
        return compiler.into_interpreter() if compiler else None
    try:
        return host.read_ir(text, wrap)
    except Exception as error:  # ZoError is not a module attribute
        print("zo: %s" % error, file=sys.stderr)
        return None


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
    # With a recorder, --trace prints the recorder's events.
    monitor = Monitor(sys.stderr if args.trace and recorder is None else None)
    wrap = None
    if recorder is not None:
        # Outermost, so that the monitor still sees the calls it watches.
        host, wrap = recording.recorded_host(host, recorder, monitor.wrap)
    interpreter = make_interpreter(args, host, monitor, text, wrap)
    if interpreter is None:
        return 1
    if recorder is not None:
        interpreter = recording.Recorded(interpreter, recorder)
    monitor.interpreter = interpreter
    interpreter.set_limits(**recording.run_limits(args))
    driver = ReportingDriver(interpreter, host, args, text, monitor)
    try:
        if any(getattr(c, "kind", None) == "async" for c in host.callables.values()):
            outcome = asyncio.run(driver.run_async())
        else:
            outcome = driver.run()
    except KeyboardInterrupt:
        print("zo: interrupted while stopping", file=sys.stderr)
        return INTERRUPTED
    except Exception:  # the step's failure, reported as it happened
        return 1
    if outcome == "deadline":
        if driver.end_abandoned:
            print("zo: abandoned __end, still running %g seconds after the deadline"
                  % args.deadline, file=sys.stderr)
        return DEADLINE
    return INTERRUPTED if outcome == "interrupted" else 0


class ReportingDriver(Driver):
    """The driver of ``zo run``: prints the failures of a run to stderr, at
    their place in the file when the interpreter kept one, and where the
    program stood when Ctrl-C stopped it."""

    def __init__(self, interpreter, host, args, source, monitor):
        Driver.__init__(self, interpreter, host, tick=args.tick, can_yield=may_yield(source),
                        deadline=args.deadline, monitor=monitor)
        self.path = args.file
        self.source = source
        self.show_traceback = args.traceback

    def deadline_passed(self):
        print("zo: stopped the program at the deadline of %g seconds" % self.deadline,
              file=sys.stderr, flush=True)

    def interrupted_at(self, contexts):
        if contexts:
            places = "; ".join(self._where(context) for context in contexts)
            print("interrupted: %s" % places, file=sys.stderr, flush=True)

    def _where(self, context):
        if context.get("line") is None:
            place = "%s (context %d)" % (self.path, context["id"])
        else:
            place = "%s:%d:%d" % (self.path, context["line"], context["column"])
        if context.get("group"):
            place += " in group '%s'" % context["group"]
        if context.get("waiting"):
            place += " waiting on '%s'" % context["waiting"]
        return place

    def failed(self, error):
        failure = self._failure(error)
        if failure is None:
            print("zo: %s" % error, file=sys.stderr)
        else:
            sys.stderr.write(render_failure(failure, self.path, self.source))
        self._python_cause(error)

    def stop_failed(self, error):
        failure = self._failure(error)
        if failure is None or (failure["line"] is None and failure["address"] is None):
            print("zo: while stopping: %s" % error, file=sys.stderr)
        else:
            sys.stderr.write(render_failure(failure, self.path, self.source) +
                             "note: this happened while stopping the program\n")
        self._python_cause(error)

    def _python_cause(self, error):
        """Where in the host a native's exception was raised: the innermost
        frame, or the whole traceback with --traceback."""
        cause = error.__cause__
        if cause is None or cause.__traceback__ is None:
            return
        if self.show_traceback:
            sys.stderr.write("".join(traceback.format_exception(type(cause), cause,
                                                                cause.__traceback__)))
            return
        frame = traceback.extract_tb(cause.__traceback__)[-1]
        if os.path.dirname(os.path.abspath(frame.filename)) == _PACKAGE:
            return  # the kit's own check, whose message says it all
        print("note: the host raised it at %s:%d, in %s (--traceback shows all)"
              % (frame.filename, frame.lineno, frame.name), file=sys.stderr)

    def _failure(self, error):
        """last_error() when it describes `error`, else None."""
        failure = self.interpreter.last_error()
        return failure if failure is not None and failure["text"] == str(error) else None


_PACKAGE = os.path.dirname(os.path.abspath(__file__))
