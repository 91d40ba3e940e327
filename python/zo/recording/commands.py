"""The recorder's side of the `zo` command: `zo replay`, `zo timeline`, and
the recorder that `zo run --record/--trace` runs with."""

import sys

import zolangpy

from zo.diagnostics import _trace_entry, render_diagnostics
from zo.recording.reader import read_record
from zo.recording.record import RecordError
from zo.recording.recorded import Recorded, recorded_host
from zo.recording.recorder import Recorder, source_hash
from zo.recording.replay import Divergence, Replayer
from zo.recording.trace import TraceSink
from zo.recording.writer import RecordWriter

__all__ = ["Recorded", "add_commands", "add_run_options", "main", "recorded_host",
           "run_limits", "run_recorder"]

# The exit status of a replay that Ctrl-C ended, as a shell reports it.
_INTERRUPTED = 130


def add_run_options(sub):
    sub.add_argument("--record", metavar="FILE",
                     help="record the run to FILE (.zrec; gzip when it ends in .gz)")
    sub.add_argument("--trace-only", metavar="NAME,...",
                     help="trace only these natives and properties (implies --trace)")


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
    only = getattr(args, "trace_only", None)
    if getattr(args, "trace", False) or only:
        sinks.append(TraceSink(sys.stderr, only.split(",") if only else None))
    if getattr(args, "record", None):
        sinks.append(RecordWriter(args.record))
    if not sinks:
        return None
    return Recorder(sinks, source=text, path=args.file, ir=args.file.endswith(".zir"),
                    limits=run_limits(args) or None)


def run_limits(args):
    """The limits `zo run` sets, as set_limits takes them; those not given
    are left out."""
    return {key: value for key, value in (
        ("instructions", args.max_instructions), ("seconds", args.timeout),
        ("memory", getattr(args, "max_memory", None))) if value is not None}


def main(args):
    try:
        return _main(args)
    except KeyboardInterrupt:
        print("zo: %s interrupted" % args.command, file=sys.stderr)
        return _INTERRUPTED


def _main(args):
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
    """(path, text, is_ir) of the program to replay, or an error text. Only
    the program named, the one the record holds, or the file the record
    names when it is the one recorded (its hash matches) is read."""
    header = record.header
    if program is None and "source" in header:
        return header.get("path") or "<recorded program>", header["source"], \
            bool(header.get("ir")), None
    path = program or header.get("path")
    if path is None:
        return None, None, False, "the record holds no program; name one: zo replay FILE PROGRAM"
    if program is None and "sha256" not in header:
        return None, None, False, ("the record holds neither the program nor its hash, so "
                                   "nothing says %s is the one recorded; name it to replay it: "
                                   "zo replay %s %s" % (path, record.path, path))
    try:
        with open(path, encoding="utf-8-sig") as handle:
            text = handle.read()
    except (OSError, UnicodeDecodeError) as error:
        return None, None, False, "cannot read %s: %s" % (path, error)
    if program is None and header["sha256"] != source_hash(text):
        return None, None, False, ("%s has changed since it was recorded; name it to replay "
                                   "it as it is: zo replay %s %s" % (path, record.path, path))
    return path, text, path.endswith(".zir"), None


def _interpreter(replayer, path, text, is_ir):
    """The Interpreter to replay, or the text of why there is none."""
    callables, properties = replayer.natives()
    if is_ir:
        interpreter = zolangpy.Interpreter(text)
        for name, native in callables.items():
            if '"%s"' % name in text:
                interpreter.register_callable(name, native)
        for name, native in properties.items():
            if '"%s"' % name in text:
                interpreter.register_property(name, native)
        return interpreter, None
    compiler = zolangpy.Compiler()
    for name, native in callables.items():
        compiler.register_callable(name, native)
    for name, native in properties.items():
        compiler.register_property(name, native)
    if compiler.compile(text):
        return compiler.into_interpreter(), None
    diverged = replayer.shape_divergence(compiler.diagnostics())
    if diverged is not None:
        return None, diverged
    sys.stderr.write(render_diagnostics(compiler.diagnostics(), path, text))
    return None, "replay diverged: the program does not compile with the recorded natives"


def _traceback(trace, path, source):
    if not trace:
        return ""
    lines = source.split("\n")
    return "Zo traceback (outermost call first):\n" + "".join(
        _trace_entry(path, lines, group, line) for group, line in trace)


def _replay(record, program):
    never_ran = record.header.get("never_ran")
    if never_ran is not None and not record.steps:
        print("zo: %s: the recorded run never started: %s" % (record.path, never_ran),
              file=sys.stderr)
        return 2
    path, text, is_ir, problem = _program(record, program)
    if problem is not None:
        print("zo: %s" % problem, file=sys.stderr)
        return 2
    replayer = Replayer(record, path)
    try:
        interpreter, problem = _interpreter(replayer, path, text, is_ir)
    except Exception as error:  # IR that does not read
        print("zo: %s" % error, file=sys.stderr)
        return 1
    if interpreter is None:
        print("zo: %s" % problem, file=sys.stderr)
        return 1
    try:
        interrupted = replayer.run(interpreter)
    except Divergence as divergence:
        sys.stderr.write("zo: %s\n%s" % (divergence, _traceback(divergence.trace, path, text)))
        return 1
    calls = sum(1 for _, event, _ in replayer.interactions if event["e"] == "gen")
    print(_how_far(record, interrupted), end="", file=sys.stderr)
    replayed = record.last_step if interrupted is None else interrupted - 1
    print("replay matched: %d steps, %d native calls" % (replayed, calls))
    return 0


def _how_far(record, interrupted):
    """What stderr says of a record that does not end as a whole run does."""
    if interrupted is not None:
        return ("zo: the recorded run was interrupted during step %d; replayed the steps "
                "before it\n" % interrupted)
    if record.cut_closing:
        return ("zo: the record was cut in its closing line; replayed all %d steps\n"
                % record.last_step)
    if record.cut_step is not None or record.cut_line:
        cut = record.cut_step or record.last_step + 1
        return ("zo: the record was cut during step %d; replayed up to step %d, its last "
                "whole one\n" % (cut, record.last_step))
    if not record.finished:
        return ("zo: the record ends after step %d without its closing line; replayed up to "
                "there\n" % record.last_step)
    return ""
