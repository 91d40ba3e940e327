"""One debugging session: the client's requests, the program's run, and
the events between them.

The program runs as ``zo run`` runs it, on the kit's driver (the asyncio
one when the host has async commands), on the main thread. The driver
answers the client between steps (`Session.pump`), so every request that
touches the interpreter runs on the thread that steps it, and a program
suspended at a breakpoint simply makes steps that do nothing: the driver
sleeps until the client says something, while the host's own asyncio tasks
and threads go on. Only ``pause`` acts at once, from the reader thread, as
`Interpreter.pause` may be called from any thread.
"""

import asyncio
import os
import queue
import sys
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
        self.threads = set()  # the context ids the client was told of
        self.initialized = False
        self.disconnecting = None  # the disconnect request to answer once the program ended
        self.done = False

    # -- the loop ---------------------------------------------------------

    def serve(self):
        self.channel.start_reading(self._arrived)
        try:
            while not self.done:
                message = self.channel.inbox.get()
                if message is None:
                    break
                self._handle(message)
                if self.run_wanted:
                    self.run_wanted = False
                    self._run()
        except KeyboardInterrupt:  # Ctrl-C with no program running (a run takes its own)
            return INTERRUPTED
        return 0

    def _arrived(self, message):
        """On the reader thread, for every message as it is queued: a pause
        or a stop is asked for at once, as a step may run for long (a
        program read from IR text has no lines to pause at)."""
        launched, driver = self.launched, self.driver
        command = message.get("command") if isinstance(message, dict) else None
        try:
            if command == "pause" and launched and self.state != "ended":
                launched.interpreter.pause()
            if (message is None or command in ("terminate", "disconnect")) and driver:
                launched.interpreter.request_stop()
            if driver is not None:
                driver.wake()
        except Exception:  # a loop closed as the run ended: the main loop takes the message
            pass

    def pump(self):
        """Answers what the client has sent; on the driver's thread, between steps."""
        while True:
            try:
                message = self.channel.inbox.get_nowait()
            except queue.Empty:
                return
            if message is None:  # the client has gone: end the program as it would
                self.disconnecting = {}
                self._stop()
                continue
            self._handle(message)

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
            launched.interpreter.pause()
        self.driver = _DebugDriver(self, launched)
        exit_code = 0
        try:
            if any(getattr(c, "kind", None) == "async" for c in launched.host.callables.values()):
                outcome = asyncio.run(self.driver.run_async())
            else:
                outcome = self.driver.run()
            if outcome == "deadline":
                print("zo: stopped the program at the deadline of %g seconds"
                      % launched.options.deadline, file=sys.stderr)
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
            self.driver = None
            self.state = "ended"
            self.view = None
            sys.stdout.flush()
            sys.stderr.flush()
        for context in sorted(self.threads):
            self.channel.event("thread", {"reason": "exited", "threadId": view.thread_id(context)})
        self.threads.clear()
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
        if self.stop_on_entry:
            if suspension.get("line") is None and not self.launched.path.endswith(".zir"):
                # Paused before anything ran, where no line is yet: a step
                # into the first line shows where the program starts.
                interpreter.resume("into")
                return False
            reason = "entry"
            self.stop_on_entry = False
        self.reported = True
        body = {"reason": reason, "threadId": view.thread_id(suspension.get("context", 0)),
                "allThreadsStopped": True}
        if reason == "exception":
            body.update(text=suspension.get("error"), description="Paused on a run-time error")
        self.channel.event("stopped", body)
        return True

    def _tell_threads(self, interpreter):
        try:
            live = {c["id"] for c in interpreter.contexts()}
        except Exception:  # ended, or an interpreter that cannot tell
            return
        for context in sorted(live - self.threads):
            self.channel.event("thread", {"reason": "started", "threadId": view.thread_id(context)})
        for context in sorted(self.threads - live):
            self.channel.event("thread", {"reason": "exited", "threadId": view.thread_id(context)})
        self.threads = live

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
        valid = [line for line in lines if self._is_line(line)]
        placed_at = dict(zip(valid, launched.interpreter.set_breakpoints(
            [line - self.line_base + 1 for line in valid])))
        shown = []
        for line in lines:
            placed = placed_at.get(line) if self._is_line(line) else None
            if not self._is_line(line):
                shown.append({"verified": False, "message": "not a line number: %r" % (line,)})
            elif placed is None:
                why = ("IR text has no lines" if launched.path.endswith(".zir")
                       else "no code starts at or after this line")
                shown.append({"verified": False, "line": line, "message": why})
            else:
                shown.append({"verified": True, "line": placed - 1 + self.line_base})
        return shown

    def _is_line(self, line):
        return type(line) is int and self.line_base <= line < _NO_SUCH_LINE  # bool is no line

    def set_exception_breakpoints(self, request, arguments):
        filters = arguments.get("filters") or []
        self.break_on_errors = EXCEPTION_FILTER in filters
        self._apply_exception_filter()
        self.channel.respond(request, {"breakpoints": [{"verified": f == EXCEPTION_FILTER}
                                                       for f in filters]})

    def _apply_exception_filter(self):
        if self.launched is not None:
            self.launched.interpreter.break_on_error = self.break_on_errors and not self.no_debug

    def configuration_done(self, request, arguments):
        if self.launched is None:
            return self.channel.refuse(request, "launch a program first")
        self.channel.respond(request)
        if self.state == "idle":
            self.run_wanted = True

    def threads(self, request, arguments):
        shown = []
        if self.state == "running":
            try:
                shown = view.threads(self.launched.interpreter.contexts())
            except Exception:
                shown = []
        self.channel.respond(request, {"threads": shown or [{"id": 1, "name": "main"}]})

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
        # From a run-time error, however it goes on, the next step fails
        # with it and the run ends, with __end.
        self.launched.interpreter.resume(how)
        self.view = None
        self.reported = False
        self.channel.respond(request, {"allThreadsContinued": True} if how == "continue" else None)
        if self.driver is not None:
            self.driver.wake()

    def pause(self, request, arguments):
        # Asked for on the reader thread already; the stopped event follows.
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
        self.session.pump()
        at = Driver._step(self)
        if at is False:
            return at
        return Tracker.WAKE if self.session.stepped() else at

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
