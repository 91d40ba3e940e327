"""One debugging session: the client's requests, the program's run, and
the events between them.

The program runs as ``zo run`` runs it, on the kit's driver (the asyncio
one when the host has async commands), on the main thread. The driver
answers the client between steps (`Session.pump`), so every request that
touches the interpreter runs on the thread that steps it, and a program
suspended at a breakpoint simply makes steps that do nothing: the driver
sleeps until the client says something, while the host's own asyncio tasks
and threads go on.

A step may run for long (a loop that never waits), and the interpreter is
the driver's alone while it does. So the thread that reads the client's
messages answers at once what needs no interpreter (``pause``, and while a
step runs, ``threads`` as the last step boundary left them, and refusals of
what only a suspended program can answer); what needs the interpreter waits
for the driver, and a pause that the client never sees brings the step to
its end at the next line (`Session._went_on_unseen`).
"""

import asyncio
import os
import queue
import sys
import threading
import traceback

from zo.cli import DEADLINE, INTERRUPTED, ReportingDriver
from zo.dap import view
from zo.dap.launch import LaunchError, launch
from zo.driver import Driver, _Woken
from zo.kit import Tracker

EXCEPTION_FILTER = "runtime-error"
_STEPS = {"continue": "continue", "next": "over", "stepIn": "into", "stepOut": "out"}
_REASONS = {"breakpoint": "breakpoint", "step": "step", "pause": "pause",
            "exception": "exception"}
# While a step runs: what the driver answers at a pause made for it, and
# what only a suspended program answers.
_AT_A_PAUSE = {"setBreakpoints", "setExceptionBreakpoints", "evaluate"}
_WHEN_SUSPENDED = {"stackTrace", "scopes", "variables", "exceptionInfo", *_STEPS}
_MAIN = [{"id": 1, "name": "main"}]


class Session:
    def __init__(self, channel):
        self.channel = channel
        self.launched = None
        self.driver = None
        self.line_base = self.column_base = 1
        self.breakpoints = {}  # path -> the lines asked for, as the client counts them
        self.break_on_errors = False
        self.no_debug = False
        self.stop_on_entry = False
        self.run_wanted = False
        self.state = "idle"  # "running" once configured, "ended" when the program has
        self.view = None  # what the suspended program shows, while it is suspended
        self.reported = False  # whether the current suspension was told to the client
        self.told_threads = set()  # the context ids the client was told of
        self.known_threads = []  # the threads at the last step boundary
        self.initialized = False
        self.filter_applied = False  # the interpreter's break_on_error, as last set
        # The stop the client is to be told of at the next pause: "pause" or
        # "entry"; a pause with none is one the server made for itself.
        self.pause_asked = None
        self.going = "continue"  # how the program went on from its last suspension
        self.going_from = None  # (context, address) of that suspension
        self.disconnecting = None  # the disconnect request to answer once the program ended
        self.done = False
        self.inbox = queue.Queue()  # what waits for the driver (or the loop below)
        # Held while the session's state changes, by the reader and the driver;
        # the driver lets go of it while a step runs, with `in_step` set.
        self.lock = threading.Lock()
        self.in_step = False

    # -- the loop ---------------------------------------------------------

    def serve(self):
        self.channel.start_reading(self._arrived)
        try:
            while not self.done:
                message = self.inbox.get()
                if message is None:
                    break
                with self.lock:
                    self._handle(message)
                if self.run_wanted:
                    self.run_wanted = False
                    self._run()
        except KeyboardInterrupt:  # Ctrl-C with no program running (a run takes its own)
            return INTERRUPTED
        return 0

    def _arrived(self, message):
        """On the reader thread, for every message as it arrives (None at the
        end of the input). A stop is asked for at once, as a step may run for
        long; a pause is asked for and answered at once."""
        command = message.get("command") if isinstance(message, dict) else None
        if (message is None or command in ("terminate", "disconnect")) and self.driver:
            try:
                self.launched.interpreter.request_stop()
            except Exception:  # the run has just ended: the driver takes the message
                pass
        with self.lock:
            driver = self.driver
            if command == "pause":
                self._handle(message)  # the driver wakes to step into the pause
            elif self.in_step and not self.reported and self._answered_running(message):
                driver = None
            else:
                self.inbox.put(message)
        if driver is not None:
            try:
                driver.wake()
            except Exception:  # a loop closed as the run ended: the main loop takes it
                pass

    def _answered_running(self, message):
        """While a step runs, answers what needs no interpreter; False for
        what the driver is to answer, at the end of the step."""
        command = message.get("command") if isinstance(message, dict) else None
        if command in ("terminate", "disconnect") or not command:
            return False  # a stop asked for ends the step
        if command in _AT_A_PAUSE:
            if self.launched.has_lines:
                # The pause ends the step at the next line a context
                # reaches; the driver answers there, and the program goes on
                # unseen.
                self.launched.interpreter.pause()
                return False
            if command == "evaluate":
                self.channel.refuse(message, "IR text has no lines to pause at: evaluate once "
                                             "the step under way has ended")
                return True
            # In IR text breakpoints need no interpreter, and the exception
            # filter is taken at the end of the step.
        if command in _WHEN_SUSPENDED:
            self.channel.refuse(message, "the program is not suspended")
        else:
            self._handle(message)
        return True

    def pump(self):
        """Answers what the client has sent; on the driver's thread, between steps."""
        while True:
            try:
                message = self.inbox.get_nowait()
            except queue.Empty:
                break
            if message is None:  # the client has gone: end the program as it would
                self.disconnecting = {}
                self._stop()
                continue
            self._handle(message)
        self._apply_exception_filter()

    def _handle(self, message):
        if not isinstance(message, dict) or message.get("type") != "request":
            return  # a frame we cannot read, or an answer to a request we never make
        command = message.get("command")
        arguments = message.get("arguments")
        arguments = arguments if isinstance(arguments, dict) else {}
        handler = _HANDLERS.get(command)
        if handler is None:
            self.channel.refuse(message, "zo debug does not support '%s'" % command)
            return
        if not self.initialized and command not in ("initialize", "disconnect"):
            self.channel.refuse(message, "'%s' before 'initialize': the session starts with "
                                         "'initialize'" % command)
            return
        try:
            handler(self, message, arguments)
        except Exception as error:
            traceback.print_exc()
            self.channel.refuse(message, "zo debug: %s failed: %r" % (command, error))

    def _run(self):
        """Runs the program to its end, answering the client as it goes."""
        launched = self.launched
        self.state = "running"
        if self.stop_on_entry:
            self.pause_asked = "entry"
            launched.interpreter.pause()
        self.driver = _DebugDriver(self, launched)
        exit_code = 0
        try:
            if any(getattr(c, "kind", None) == "async" for c in launched.host.callables.values()):
                outcome = asyncio.run(self.driver.run_async())
            else:
                outcome = self.driver.run()
            if outcome == "deadline":  # the driver's deadline_passed has said so
                exit_code = DEADLINE
            elif outcome == "interrupted":
                exit_code = INTERRUPTED
        except KeyboardInterrupt:
            exit_code = INTERRUPTED
        except Exception as error:
            if error is not self.driver.failure:  # not the step's failure, reported as it happened
                traceback.print_exc()
            exit_code = 1
        except BaseException as error:  # a native's SystemExit: the run ends, not the server
            print("zo: the program ended with %r" % error, file=sys.stderr)
            exit_code = 1
        finally:
            with self.lock:
                self.driver = None
                self.state = "ended"
                self.view = None
                self.known_threads = []
            sys.stdout.flush()
            sys.stderr.flush()
        for context in sorted(self.told_threads):
            self.channel.event("thread", {"reason": "exited", "threadId": view.thread_id(context)})
        self.told_threads.clear()
        self.channel.event("exited", {"exitCode": exit_code})
        self.channel.event("terminated")
        if self.disconnecting is not None:
            self._disconnected()

    def _disconnected(self):
        if self.disconnecting:
            self.channel.respond(self.disconnecting)
        self.done = True

    # -- after each step --------------------------------------------------

    def stepped(self):
        """Tells the client what the step changed; whether the program is
        now suspended and waits for the client."""
        interpreter = self.launched.interpreter
        self._tell_threads(interpreter)
        if interpreter.status != "suspended":
            return False
        if self.reported:
            return True
        suspension = interpreter.suspension or {}
        reason = _REASONS.get(suspension.get("reason"), "pause")
        asked = self.pause_asked
        if reason == "pause" and asked is None and self._went_on_unseen(interpreter, suspension):
            return False
        if asked is not None and reason in ("pause", "step"):
            if suspension.get("line") is None and self.launched.has_lines:
                # Paused before anything ran, where no line is yet: a step
                # into the first line shows where the program starts.
                interpreter.resume("into")
                return False
            reason = asked
        self.pause_asked = None
        self.reported = True
        body = {"reason": reason, "threadId": view.thread_id(suspension.get("context", 0)),
                "allThreadsStopped": True}
        if reason == "exception":
            body.update(text=suspension.get("error"), description="Paused on a run-time error")
        self.channel.event("stopped", body)
        return True

    def _went_on_unseen(self, interpreter, suspension):
        """A pause the server made for itself, to answer a request while a
        step ran: the program goes on as it went, and the client never
        learns that it stopped. A step (next, step in, step out) can go on
        only from where it began, so a pause anywhere else ends it, and the
        client is told the program paused."""
        if self.going != "continue" and self.going_from != _place(suspension):
            return False
        interpreter.resume(self.going)
        return True

    def _tell_threads(self, interpreter):
        try:
            contexts = interpreter.contexts()
        except Exception:  # ended, or an interpreter that cannot tell
            return
        self.known_threads = view.threads(contexts)
        live = {c["id"] for c in contexts}
        for context in sorted(live - self.told_threads):
            self.channel.event("thread", {"reason": "started", "threadId": view.thread_id(context)})
        for context in sorted(self.told_threads - live):
            self.channel.event("thread", {"reason": "exited", "threadId": view.thread_id(context)})
        self.told_threads = live

    # -- requests ---------------------------------------------------------

    def initialize(self, request, arguments):
        if self.initialized:
            return self.channel.refuse(request, "the session is initialized already")
        self.initialized = True
        self.line_base = 1 if arguments.get("linesStartAt1", True) is not False else 0
        self.column_base = 1 if arguments.get("columnsStartAt1", True) is not False else 0
        self.channel.respond(request, {
            "supportsConfigurationDoneRequest": True,
            "supportsTerminateRequest": True,
            "supportsEvaluateForHovers": True,
            "supportsExceptionInfoRequest": True,
            "exceptionBreakpointFilters": [{"filter": EXCEPTION_FILTER, "label": "Run-time errors",
                                            "description": "Pause where a step fails, before "
                                                           "__end runs", "default": False}],
        })

    def launch(self, request, arguments):
        if self.launched is not None:
            return self.channel.refuse(request, "zo debug runs one program per session")
        try:
            self.launched = launch(arguments)
        except LaunchError as error:
            sys.stderr.flush()
            print("zo: %s" % error, file=sys.stderr, flush=True)
            return self.channel.refuse(request, str(error))
        self.no_debug = arguments.get("noDebug") is True
        self.stop_on_entry = arguments.get("stopOnEntry") is True and not self.no_debug
        self.channel.respond(request)
        for path in list(self.breakpoints):
            self._set_breakpoints(path, self.breakpoints[path])
        self._apply_exception_filter()
        self.channel.event("initialized")

    def set_breakpoints(self, request, arguments):
        source = arguments.get("source") or {}
        path = source.get("path")
        wanted = arguments.get("breakpoints")
        if isinstance(wanted, list):
            lines = [b.get("line") if isinstance(b, dict) else None for b in wanted]
        else:  # the older form
            lines = arguments.get("lines") if isinstance(arguments.get("lines"), list) else []
        if isinstance(path, str):
            self.breakpoints[path] = lines
        answer = self._set_breakpoints(path, lines)
        self.channel.respond(request, {"breakpoints": [
            dict(b, source=source) for b in answer]})

    def _set_breakpoints(self, path, lines):
        """The breakpoints as the client should show them."""
        launched = self.launched
        if launched is None or self.state == "ended":
            why = "set once the program is launched" if launched is None else "the program ended"
            return [{"verified": False, "line": line, "message": why} for line in lines]
        if not isinstance(path, str) or not _same_file(path, launched.path):
            return [{"verified": False, "line": line,
                     "message": "zo debug sets breakpoints in its program, %s, alone"
                                % launched.path} for line in lines]
        if self.no_debug:
            return [{"verified": False, "line": line, "message": "running without debugging"}
                    for line in lines]
        if not launched.has_lines:
            return [{"verified": False, "line": line, "message": "IR text has no lines"}
                    for line in lines]
        valid = [line for line in lines if self._is_line(line)]
        placed_at = dict(zip(valid, launched.interpreter.set_breakpoints(
            [line - self.line_base + 1 for line in valid])))
        shown = []
        for line in lines:
            placed = placed_at.get(line) if self._is_line(line) else None
            if not self._is_line(line):
                shown.append({"verified": False, "message": "not a line number: %r" % (line,)})
            elif placed is None:
                shown.append({"verified": False, "line": line,
                              "message": "no code starts at or after this line"})
            else:
                shown.append({"verified": True, "line": placed - 1 + self.line_base})
        return shown

    def _is_line(self, line):
        return type(line) is int and self.line_base <= line < _NO_SUCH_LINE  # bool is no line

    def set_exception_breakpoints(self, request, arguments):
        # The interpreter takes it before the next step (see pump).
        filters = arguments.get("filters") or []
        self.break_on_errors = EXCEPTION_FILTER in filters
        self.channel.respond(request, {"breakpoints": [{"verified": f == EXCEPTION_FILTER}
                                                       for f in filters]})

    def _apply_exception_filter(self):
        wanted = self.break_on_errors and not self.no_debug
        if self.launched is not None and wanted != self.filter_applied and self.state != "ended":
            self.launched.interpreter.break_on_error = self.filter_applied = wanted

    def configuration_done(self, request, arguments):
        if self.launched is None:
            return self.channel.refuse(request, "launch a program first")
        self.channel.respond(request)
        if self.state == "idle":
            self.run_wanted = True

    def threads(self, request, arguments):
        self.channel.respond(request, {"threads": self.known_threads or _MAIN})

    def _suspended_view(self, request):
        if self.view is None and self._suspended():
            self.view = self._take_view()
        if self.view is None:
            self.channel.refuse(request, "the program is not suspended")
        return self.view

    def _suspended(self):
        return self.state == "running" and self.launched.interpreter.status == "suspended"

    def _take_view(self):
        try:
            contexts = self.launched.interpreter.debug_contexts()
        except Exception:
            contexts = []
        return view.View(contexts, self.launched.path, self.line_base, self.column_base)

    def stack_trace(self, request, arguments):
        shown = self._suspended_view(request)
        if shown is None:
            return
        trace = shown.stack_trace(arguments.get("threadId"), _count(arguments.get("startFrame")),
                                  _count(arguments.get("levels")))
        self.channel.respond(request, trace or {"stackFrames": [], "totalFrames": 0})

    def scopes(self, request, arguments):
        shown = self._suspended_view(request)
        if shown is None:
            return
        scopes = shown.scopes(arguments.get("frameId"))
        if scopes is None:
            return self.channel.refuse(request, _no_frame(arguments.get("frameId")))
        self.channel.respond(request, {"scopes": scopes})

    def variables(self, request, arguments):
        shown = self._suspended_view(request)
        if shown is None:
            return
        reference = shown.reference(arguments.get("variablesReference"))
        if reference is None:
            return self.channel.refuse(request, "no variables of reference %r in this pause"
                                       % (arguments.get("variablesReference"),))
        if reference[0] == view.LOCALS:
            found = shown.locals(reference[1])
        else:
            found = [shown for shown in map(self._property, self.launched.host.properties)
                     if shown is not None]
        self.channel.respond(request, {"variables": found})

    def _property(self, name):
        """A property of the program as a variable, read by its get(); None
        for a property of the host that the program does not use."""
        try:
            return view.variable("$" + name, self.launched.interpreter.read_property(name))
        except KeyError:
            return None
        except Exception as error:  # the host's get() is host code
            return {"name": "$" + name, "value": "<%r>" % error, "variablesReference": 0}

    def evaluate(self, request, arguments):
        """A variable of the frame, else a property, by name, with or without its `$`."""
        expression = arguments.get("expression")
        name = expression.strip().lstrip("$") if isinstance(expression, str) else ""
        if self.launched is None or self.state == "ended" or not name:
            return self.channel.refuse(request, "nothing to evaluate %r in" % (expression,))
        frame = None
        if self._suspended():
            shown = self.view = self.view or self._take_view()
            if arguments.get("frameId") is None:
                suspension = self.launched.interpreter.suspension
                frame = shown.innermost(suspension["context"] if suspension else 0)
            else:
                frame = shown.frame(arguments.get("frameId"))
        if frame is None and arguments.get("frameId") is not None:
            return self.channel.refuse(request, _no_frame(arguments.get("frameId")))
        if frame is not None and name in frame["variables"]:
            value = frame["variables"][name]
        else:
            try:
                value = self.launched.interpreter.read_property(name)
            except KeyError:
                return self.channel.refuse(request, "no variable or property named $%s here" % name)
            except Exception as error:  # the host's get() is host code
                return self.channel.refuse(request, "$%s: %r" % (name, error))
        self.channel.respond(request, {"result": view.show(value), "type": view.type_name(value),
                                       "variablesReference": 0})

    def exception_info(self, request, arguments):
        suspension = self.launched.interpreter.suspension if self._suspended() else None
        if not suspension or suspension["reason"] != "exception":
            return self.channel.refuse(request, "the program is not paused on an error")
        self.channel.respond(request, {"exceptionId": EXCEPTION_FILTER,
                                       "description": suspension.get("error"),
                                       "breakMode": "always"})

    def go_on(self, request, arguments):
        """continue, next, stepIn and stepOut: steps go in the context that stopped."""
        if not self._suspended():
            return self.channel.refuse(request, "the program is not suspended")
        how = _STEPS[request["command"]]
        interpreter = self.launched.interpreter
        self.going, self.going_from = how, _place(interpreter.suspension)
        # From a run-time error, however it goes on, the next step fails
        # with it and the run ends, with __end.
        interpreter.resume(how)
        self.view = None
        self.reported = False
        self.channel.respond(request, {"allThreadsContinued": True} if how == "continue" else None)
        if self.driver is not None:
            self.driver.wake()

    def pause(self, request, arguments):
        """On the reader thread, at once: the stopped event follows when the
        program stops."""
        launched = self.launched
        if launched is None:
            return self.channel.refuse(request, "no program to pause: launch one first")
        if self.state != "ended" and not self.reported:
            self.pause_asked = self.pause_asked or "pause"
            launched.interpreter.pause()
            if self.in_step and not launched.has_lines:
                self.channel.event("output", {"category": "console", "output":
                    "zo debug: IR text has no lines to pause at: the program pauses when the "
                    "step under way ends, which a loop that never waits does not do "
                    "(terminate stops it)\n"})
        self.channel.respond(request)

    def terminate(self, request, arguments):
        self.channel.respond(request)
        self._stop()

    def disconnect(self, request, arguments):
        if self.state == "running":
            self.disconnecting = request
            self._stop()
            return
        self.disconnecting = request
        self._disconnected()

    def _stop(self):
        """Ends the program as a stop does: __end runs, in steps."""
        if self.state == "idle":
            if self.launched is not None:
                self.channel.event("exited", {"exitCode": 0})
            self.channel.event("terminated")
            self.state = "ended"
            if self.disconnecting is not None:
                self._disconnected()
            return
        driver = self.driver
        if driver is None:
            return
        suspended = self._suspended()
        if not driver.stop_requested:
            # Suspended or not, the next step ends the run: __end runs past
            # every breakpoint.
            driver._request_stop()
        if suspended:
            self.channel.event("continued", {"threadId": 1, "allThreadsContinued": True})
        self.view = None
        self.reported = False


class _DebugDriver(ReportingDriver):
    """`zo run`'s driver, answering the client between steps, and sleeping
    until woken while the program is suspended."""

    def __init__(self, session, launched):
        ReportingDriver.__init__(self, launched.interpreter, launched.host, launched.options,
                                  launched.source, launched.monitor)
        self.session = session

    def _step(self):
        session = self.session
        with session.lock:
            session.pump()
            session.in_step = True
        try:
            at = Driver._step(self)
        finally:
            with session.lock:
                session.in_step = False
        if at is False:
            return at
        with session.lock:
            return Tracker.WAKE if session.stepped() else at

    def _sleep(self, at, event):
        # Always on the event, which the client's messages set too.
        timeout = self._timeout(at)
        if timeout == 0.0:
            return
        self.sleeping = True
        try:
            event.wait(timeout)
        except _Woken:
            pass
        finally:
            self.sleeping = False


def _same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.normcase(os.path.abspath(a)) == os.path.normcase(os.path.abspath(b))


_NO_SUCH_LINE = 1 << 31  # past the lines of any program, and of a C++ int


def _place(suspension):
    return (suspension["context"], suspension["address"]) if suspension else None


def _no_frame(ident):
    return "no stack frame of id %r in this pause" % (ident,)


def _count(value):
    return value if isinstance(value, int) and value > 0 else 0


_HANDLERS = {
    "initialize": Session.initialize,
    "launch": Session.launch,
    "setBreakpoints": Session.set_breakpoints,
    "setExceptionBreakpoints": Session.set_exception_breakpoints,
    "configurationDone": Session.configuration_done,
    "threads": Session.threads,
    "stackTrace": Session.stack_trace,
    "scopes": Session.scopes,
    "variables": Session.variables,
    "evaluate": Session.evaluate,
    "exceptionInfo": Session.exception_info,
    "continue": Session.go_on,
    "next": Session.go_on,
    "stepIn": Session.go_on,
    "stepOut": Session.go_on,
    "pause": Session.pause,
    "terminate": Session.terminate,
    "disconnect": Session.disconnect,
}
