"""The recorder's side of the `zo` command: `zo replay`, `zo timeline`, and
the recorder that `zo run --record/--trace` runs with."""

import copy
import hashlib
import sys

import zolangpy

from zo.diagnostics import _trace_entry, render_diagnostics
from zo.recording.record import RecordError, RecordWriter, read_record
from zo.recording.recorder import Recorder
from zo.recording.replay import Divergence, Replayer
from zo.recording.trace import TraceSink


def add_run_options(sub):
    sub.add_argument("--record", metavar="FILE",
                     help="record the run to FILE (.zrec; gzip when it ends in .gz)")
    sub.add_argument("--trace-only", metavar="NAME,...",
                     help="with --trace, show only these natives and properties")


def add_commands(commands):
    replay = commands.add_parser("replay", help="run a recorded program again, answered "
                                                "from its record, and check it")
    replay.add_argument("record", help="a .zrec or .zrec.gz record")
    replay.add_argument("program", nargs="?",
                        help="the program to replay (default: the recorded one)")
    timeline = commands.add_parser("timeline", help="draw a record as a timeline")
    timeline.add_argument("record", help="a .zrec or .zrec.gz record")
    timeline.add_argument("-o", "--output", required=True, help="the file to write")
    timeline.add_argument("--format", choices=("html", "perfetto"), default="html",
                          help="html (one self-contained page) or perfetto (Trace Event JSON)")


def run_recorder(args, text):
    """The Recorder for `zo run`, or None when neither --record nor --trace
    asks for one. Raises OSError when the record cannot be written."""
    sinks = []
    if getattr(args, "trace", False):
        only = args.trace_only.split(",") if getattr(args, "trace_only", None) else None
        sinks.append(TraceSink(sys.stderr, only))
    if getattr(args, "record", None):
        sinks.append(RecordWriter(args.record))
    if not sinks:
        return None
    limits = {key: value for key, value in (("instructions", args.max_instructions),
                                            ("seconds", args.timeout)) if value is not None}
    return Recorder(sinks, source=text, path=args.file, ir=args.file.endswith(".zir"),
                    limits=limits or None)


def recorded_host(host, recorder):
    """A copy of `host` whose properties are recorded (its callables are
    wrapped as they are registered)."""
    made = copy.copy(host)
    made.properties = {name: recorder.wrap(name, prop) for name, prop in host.properties.items()}
    return made


class Recorded:
    """An interpreter seen through a recorder: run() and stop() are recorded
    steps; everything else goes to the interpreter itself."""

    def __init__(self, interpreter, recorder):
        self._interpreter = interpreter
        self._recorder = recorder

    def run(self):
        return self._recorder.run(self._interpreter)

    def stop(self):
        self._recorder.stop(self._interpreter)

    def __getattr__(self, name):
        if name == "request_stop":
            # Present only where the interpreter has it, as a driver asks.
            getattr(self._interpreter, name)
            return lambda: self._recorder.request_stop(self._interpreter)
        return getattr(self._interpreter, name)

    def __setattr__(self, name, value):
        if name.startswith("_"):
            object.__setattr__(self, name, value)
        else:  # end_in_steps, say
            setattr(self._interpreter, name, value)


def main(args):
    try:
        record = read_record(args.record)
    except RecordError as error:
        print("zo: %s" % error, file=sys.stderr)
        return 2
    if args.command == "timeline":
        from zo.recording import timeline

        try:
            timeline.write(record, args.output, args.format)
        except OSError as error:
            print("zo: cannot write %s: %s" % (args.output, error), file=sys.stderr)
            return 2
        return 0
    return _replay(record, args.program)


def _program(record, program):
    """(path, text, is_ir) of the program to replay, or an error text."""
    header = record.header
    path = program or header.get("path")
    if program is None and isinstance(header.get("source"), str):
        return path or "<recorded program>", header["source"], bool(header.get("ir")), None
    if path is None:
        return None, None, False, "the record holds no program; name one: zo replay FILE PROGRAM"
    try:
        with open(path, encoding="utf-8-sig") as handle:
            text = handle.read()
    except (OSError, UnicodeDecodeError) as error:
        return None, None, False, "cannot read %s: %s" % (path, error)
    if program is None and header.get("sha256") not in (
            None, hashlib.sha256(text.encode("utf-8")).hexdigest()):
        return None, None, False, ("%s has changed since it was recorded; name it to replay "
                                   "it as it is: zo replay %s %s" % (path, record.path, path))
    return path, text, path.endswith(".zir"), None


def _interpreter(replayer, path, text, is_ir):
    callables, properties = replayer.natives()
    if is_ir:
        interpreter = zolangpy.Interpreter(text)
        for name, native in callables.items():
            if '"%s"' % name in text:
                interpreter.register_callable(name, native)
        for name, native in properties.items():
            if '"%s"' % name in text:
                interpreter.register_property(name, native)
        return interpreter
    compiler = zolangpy.Compiler()
    for name, native in callables.items():
        compiler.register_callable(name, native)
    for name, native in properties.items():
        compiler.register_property(name, native)
    if not compiler.compile(text):
        sys.stderr.write(render_diagnostics(compiler.diagnostics(), path, text))
        return None
    return compiler.into_interpreter()


def _traceback(trace, path, source):
    if not trace:
        return ""
    lines = source.split("\n")
    return "Zo traceback (outermost call first):\n" + "".join(
        _trace_entry(path, lines, group, line) for group, line in trace)


def _replay(record, program):
    path, text, is_ir, problem = _program(record, program)
    if problem is not None:
        print("zo: %s" % problem, file=sys.stderr)
        return 2
    replayer = Replayer(record, path)
    try:
        interpreter = _interpreter(replayer, path, text, is_ir)
    except Exception as error:  # IR that does not read
        print("zo: %s" % error, file=sys.stderr)
        return 1
    if interpreter is None:
        print("zo: replay diverged: the program does not compile with the recorded natives",
              file=sys.stderr)
        return 1
    instructions = (record.header.get("limits") or {}).get("instructions")
    if instructions is not None:
        interpreter.set_limits(instructions=instructions)
    try:
        interrupted = replayer.run(interpreter)
    except Divergence as divergence:
        sys.stderr.write("zo: %s\n%s" % (divergence, _traceback(divergence.trace, path, text)))
        return 1
    calls = sum(1 for _, event, _ in replayer.interactions if event["e"] == "gen")
    replayed = record.last_step
    if interrupted is not None:
        print("zo: the recorded run was interrupted during step %d; replayed the steps "
              "before it" % interrupted, file=sys.stderr)
        replayed = interrupted - 1
    elif record.cut_step is not None or record.cut_line:
        cut = record.cut_step or record.last_step + 1
        print("zo: the record was cut during step %d; replayed up to step %d, its last "
              "whole one" % (cut, record.last_step), file=sys.stderr)
    elif not record.finished:
        print("zo: the record ends after step %d without its closing line; replayed up to "
              "there" % record.last_step, file=sys.stderr)
    print("replay matched: %d steps, %d native calls" % (replayed, calls))
    return 0
