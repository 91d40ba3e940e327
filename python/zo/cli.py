"""``zo``: run, check and print Zo programs.

    zo run FILE [--host MODULE.py] [--no-std] [--trace]
    zo check FILE [--host MODULE.py] [--no-std] [--format text|json]
    zo ir FILE [-o OUT] [--host MODULE.py] [--no-std]

FILE is Zo source (``.zo``) or, for ``run``, Zo IR text (``.zir``). Errors go
to standard error as FILE:LINE:COLUMN: error: MESSAGE with the source line
and notes; ``check --format json`` prints them to standard output as JSON.
"""

import argparse
import importlib.util
import re
import signal
import sys
import time

import zolangpy

from zo.diagnostics import diagnostics_json, render_diagnostics, render_failure
from zo.host import Host
from zo.monitor import Monitor

# A step whose polls were all waits that are not due yet, in a program that
# can also `yield`, sleeps at most this long: a yielding context is invisible
# to the host and must not be starved.
YIELD_QUANTUM = 0.01


def main(argv=None):
    args = _parse_args(argv)
    try:
        host = _load_host(args)
    except Exception as error:  # the user's host file is user code
        print("zo: cannot load host %s: %r" % (args.host, error), file=sys.stderr)
        return 2
    try:
        with open(args.file, encoding="utf-8") as handle:
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
        if args.output:
            with open(args.output, "w", encoding="utf-8") as handle:
                handle.write(ir)
        else:
            sys.stdout.write(ir)
    return 0


def _parse_args(argv):
    parser = argparse.ArgumentParser(prog="zo", description="Run Zo programs.")
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
        if name == "ir":
            sub.add_argument("-o", "--output", help="write the IR text here")
        if name == "check":
            sub.add_argument("--format", choices=("text", "json"), default="text",
                             help="how to print errors: text on stderr, or JSON on stdout")
    return parser.parse_args(argv)


def _load_host(args):
    host = Host(standard=not args.no_std)
    if args.host:
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


def _interpreter(args, host, monitor, text):
    """An Interpreter for the file with the natives it names, or None after
    printing why not."""
    natives = Host(standard=False)
    for name, generator in host.callables.items():
        natives.callable(name, monitor.wrap(name, generator))
    natives.properties = dict(host.properties)
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
    monitor = Monitor(host.clock, sys.stderr if args.trace else None)
    interpreter = _interpreter(args, host, monitor, text)
    if interpreter is None:
        return 1
    # A context that yields is invisible to the host; only a program that
    # cannot yield may sleep until its next wait is due.
    can_yield = re.search(r"\byield\b", text) is not None
    interrupt = _Interrupt()
    previous = signal.signal(signal.SIGINT, interrupt.handle)
    def report(error):
        failure = interpreter.last_error()
        if failure is None or failure["text"] != str(error):
            print("zo: %s" % error, file=sys.stderr)
        else:
            sys.stderr.write(render_failure(failure, args.file, text))

    try:
        return _loop(interpreter, monitor, can_yield, interrupt, report)
    except KeyboardInterrupt:
        return _stop(interpreter, 130)
    finally:
        signal.signal(signal.SIGINT, previous)


class _Interrupt:
    """Ctrl-C while a step runs would raise inside whichever native method is
    running and reach us as that native's failure; so during a step it is only
    noted, and acted on when the step returns."""

    def __init__(self):
        self.stepping = False
        self.pending = False

    def handle(self, signum, frame):
        if self.stepping:
            self.pending = True
        else:
            raise KeyboardInterrupt

    def step(self, interpreter):
        self.stepping = True
        try:
            return interpreter.run()
        finally:
            self.stepping = False
            if self.pending:
                raise KeyboardInterrupt


def _loop(interpreter, monitor, can_yield, interrupt, report):
    while True:
        monitor.begin_step()
        try:
            running = interrupt.step(interpreter)
        except KeyboardInterrupt:
            raise
        except Exception as error:  # ZoError is not a module attribute
            report(error)
            return _stop(interpreter, 1)
        if not running:
            return 0
        pause = monitor.idle_time()
        if pause is not None:
            time.sleep(min(pause, YIELD_QUANTUM) if can_yield else pause)


def _stop(interpreter, status):
    """Stops the program so __end runs; reports a failure of the stop itself."""
    try:
        interpreter.stop()
    except Exception as error:
        print("zo: while stopping: %s" % error, file=sys.stderr)
        return status or 1
    return status
