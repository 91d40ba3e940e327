"""The flight recorder: record a run's every question to the world, replay
it without the host, draw it as a timeline. See docs/recording.md."""

from zo.recording.reader import read_record
from zo.recording.record import FORMAT_VERSION, RecordError
from zo.recording.recorder import Recorder
from zo.recording.replay import Divergence, Replayer
from zo.recording.trace import TraceSink
from zo.recording.writer import RecordWriter

__all__ = ["FORMAT_VERSION", "Divergence", "Recorder", "RecordError", "RecordWriter",
           "Replayer", "TraceSink", "read_record"]
