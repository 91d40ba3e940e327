"""A run of the host kit, recorded: the host's natives and properties stand
behind the recorder's stand-ins, and the interpreter's steps go through it.
`zo run --record` and the kit's drivers (`zo.run(..., record=...)`) both
record this way."""

import copy
import os

import zolangpy

from zo.recording.recorder import Recorder
from zo.recording.writer import RecordWriter


def recorder_for(record, source, path):
    """The Recorder to record a program with: `record` itself when it is
    one (it learns the program's source when it lacks it), else a Recorder
    writing the record file named by `record`."""
    if isinstance(record, Recorder):
        if record.source is None:
            record.source, record.path = source, record.path or path
        return record
    return Recorder([RecordWriter(os.fspath(record))], source=source, path=path)


def recorded_host(host, recorder, wrap=None):
    """A copy of `host` whose properties are recorded, and the `wrap` that
    records each callable as it is registered (around `wrap`, if given, so
    that what it watches still sees every call)."""
    made = copy.copy(host)
    made.properties = {name: recorder.wrap(name, prop) for name, prop in host.properties.items()}

    def register_with(target, wrap=None):
        # The compiler tells the record why a run never started.
        if isinstance(target, zolangpy.Compiler):
            recorder.compiler = target
        type(host).register_with(made, target, wrap)

    made.register_with = register_with
    if wrap is None:
        return made, recorder.wrap
    return made, lambda name, native: recorder.wrap(name, wrap(name, native))


class Recorded:
    """An interpreter seen through a recorder: run() and stop() are recorded
    steps, and the limits it is given go into the record's header;
    everything else goes to the interpreter itself."""

    def __init__(self, interpreter, recorder):
        self._interpreter = interpreter
        self._recorder = recorder

    def run(self):
        return self._recorder.run(self._interpreter)

    def stop(self):
        self._recorder.stop(self._interpreter)

    def set_limits(self, **limits):
        self._interpreter.set_limits(**limits)
        self._recorder.limits = {key: value for key, value in limits.items()
                                 if value is not None} or None

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
