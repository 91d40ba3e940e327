"""A launch request's program and host, loaded as ``zo run`` loads them.

The arguments: ``program`` (a .zo or .zir file), ``host`` (a host file;
without one, ``host`` of ``zo.toml`` in ``cwd``, else the standard natives
alone), ``args`` (options of ``zo run``: ``--no-std``, ``--max-instructions
N``, ``--timeout S``, ``--tick S``, ``--deadline S``, ``--max-memory SIZE``,
``--trace``, ``--traceback``; recording is for ``zo run`` alone) and ``cwd``
(where the program runs; default the program's folder). Whatever goes
wrong becomes a `LaunchError` whose text the client shows; the details
(compile errors at their places, a host's traceback) have gone to standard
error, which reaches the client as output.
"""

import contextlib
import io
import os
import sys
import traceback

from zo import cli
from zo.host import HostError
from zo.lsp.natives import toml_host
from zo.monitor import Monitor


class LaunchError(Exception):
    pass


class Launched:
    """What the session runs: the interpreter, its host and where it came from."""

    def __init__(self, options, host, interpreter, source, monitor):
        self.options = options
        self.host = host
        self.interpreter = interpreter
        self.source = source
        self.path = options.file
        self.monitor = monitor
        self.has_lines = not self.path.endswith(".zir")  # IR text has no line table


def launch(arguments):
    program = arguments.get("program")
    if not isinstance(program, str) or not program:
        raise LaunchError("launch: 'program' must name a .zo or .zir file")
    cwd = arguments.get("cwd")
    if isinstance(cwd, str) and cwd:
        program = os.path.join(cwd, program)
    program = os.path.abspath(program)
    cwd = os.path.abspath(cwd) if isinstance(cwd, str) and cwd else os.path.dirname(program)
    try:
        os.chdir(cwd)
    except OSError as error:
        raise LaunchError("launch: cannot run in %s: %s" % (cwd, error.strerror)) from None
    options = _options(program, arguments.get("args", []))
    host_path = arguments.get("host") or options.host or _toml(cwd)
    options.host = os.path.abspath(host_path) if host_path else None
    host = _host(options)
    try:
        source = cli.read_program(program)
    except (OSError, UnicodeDecodeError) as error:
        raise LaunchError("cannot read %s: %s" % (program, error)) from None
    monitor = Monitor(sys.stderr if options.trace else None)
    try:
        interpreter = cli.make_interpreter(options, host, monitor, source)
    except Exception as error:  # a native's check_syntax is host code
        traceback.print_exc()
        raise LaunchError("compiling %s failed: %r" % (program, error)) from None
    if interpreter is None:
        raise LaunchError("%s does not compile: the errors are in the Debug Console"
                          % os.path.basename(program))
    monitor.interpreter = interpreter
    limits = dict(instructions=options.max_instructions, seconds=options.timeout)
    if options.max_memory is not None:
        limits["memory"] = options.max_memory
    interpreter.set_limits(**limits)
    return Launched(options, host, interpreter, source, monitor)


def _options(program, args):
    """`args` as options of ``zo run`` for `program`."""
    if not isinstance(args, list) or not all(isinstance(a, str) for a in args):
        raise LaunchError("launch: 'args' must be a list of zo run's options, as strings")
    said = io.StringIO()
    try:
        with contextlib.redirect_stderr(said), contextlib.redirect_stdout(said):
            options = cli.parse_args(["run", program, *args])
    except SystemExit:
        lines = said.getvalue().strip().splitlines()
        raise LaunchError("launch: 'args': %s" % (lines[-1] if lines else "not understood")) \
            from None
    if options.record is not None or options.trace_only is not None:
        raise LaunchError("launch: 'args': zo debug does not record; --record and --trace-only "
                          "are for zo run")
    return options


def _toml(cwd):
    path = os.path.join(cwd, "zo.toml")
    if not os.path.exists(path):
        return None
    try:
        with open(path, "rb") as handle:
            host = toml_host(handle.read())
    except Exception as error:
        raise LaunchError("%s: %s" % (path, error)) from None
    return os.path.join(cwd, host) if host else None


def _host(options):
    try:
        return cli.load_host(options)
    except HostError as error:
        raise LaunchError("host %s: %s" % (options.host, error)) from None
    except BaseException as error:  # the user's host file is user code; SystemExit too
        traceback.print_exception(type(error), error, error.__traceback__, file=sys.stderr)
        raise LaunchError("cannot load host %s: %r" % (options.host, error)) from None
