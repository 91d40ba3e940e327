"""The host's natives as the language server knows them.

The host file is found in the client's settings (``host``) or as ``host`` in
``zo.toml`` at the workspace root; without either, the standard natives serve.
Loading runs the user's code, so everything it may raise is caught and kept
as `Model.error`; the standard natives then serve alone. A model is reloaded
when the host file or ``zo.toml`` changes on disk.

Every compilation gets natives registered afresh by the host's
``register(host)``: a generator may keep state between the call sites of one
compilation (the standard ``wait`` fixes its unit that way), and that state
must not leak into the next one.

The host's code runs in the server's process, since compiling needs its
natives' ``check_syntax``. Loading it and calling ``register`` is guarded
(`host_code`): a time limit, and ``os._exit`` turned into an exception
meanwhile, so that a host that loops or ends the process is reported like
one that raises.
"""

import contextlib
import inspect
import itertools
import os
import re
import signal
import sys
import threading
import traceback

from zo.host import Host, load_host_file
from zo.kit import Command
from zo.model import signature_parts

try:
    import tomllib
except ImportError:  # before Python 3.11 (PyPy 3.9): Debian's tomli
    try:
        import tomli as tomllib
    except ImportError:
        tomllib = None

_module_names = itertools.count(1)


class Native:
    """One registered command or property, for completion and hover."""

    def __init__(self, name, kind, doc, settable=None, signature=None):
        self.name = name
        self.kind = kind  # "command" or "property"
        self.doc = doc
        self.settable = settable
        # A kit command's declared signature: its text ("move to X Y") and
        # the snippet that writes a call of it. Raw callables have neither.
        self.signature = signature.text if signature is not None else None
        self.snippet = _snippet(name, signature_parts(signature)) if signature else None


class Model:
    """What one load of the host gave: natives by name, and the error that
    stopped the load (None when it went well)."""

    def __init__(self, register, standard, path, error, limit=None):
        self.register = register
        self.standard = standard
        self.path = path
        self.error = error
        self.limit = limit
        self.commands = {}
        self.properties = {}
        host = self.host()
        for name, generator in host.callables.items():
            signature = generator.signature if isinstance(generator, Command) else None
            self.commands[name] = Native(name, "command", _doc(generator), signature=signature)
        for name, prop in host.properties.items():
            self.properties[name] = Native(name, "property", _doc(prop), _settable(prop))

    def host(self):
        """A `Host` with every native freshly registered."""
        host = Host(standard=self.standard)
        if self.register is not None and self.error is None:
            try:
                with host_code(self.limit):
                    self.register(host)
            except BaseException as error:  # user code; KeyboardInterrupt too
                self.error = _describe(error, self.path)
                host = Host(standard=self.standard)
        return host


class Natives:
    """The current model, reloaded when its files change."""

    def __init__(self, root=None, host=None, standard=True, limit=None):
        self.root = root
        self.setting = host or None
        self.standard = standard
        self.limit = limit  # seconds that loading the host and registering may take
        self._stamp = None
        self._model = None

    def configure(self, host=None, standard=True):
        self.setting = host or None
        self.standard = standard
        self._stamp = None

    def current(self):
        """The model, and whether it was (re)loaded by this call."""
        toml = os.path.join(self.root, "zo.toml") if self.root else None
        path, error = self._host_path(toml)
        stamp = (path, error, _file_stamp(path), _file_stamp(toml), self.standard)
        if stamp == self._stamp:
            return self._model, False
        self._stamp = stamp
        register = None
        if error is None and path is not None:
            register, error = _load(path, self.limit)
        self._model = Model(register, self.standard, path, error, self.limit)
        return self._model, True

    def _host_path(self, toml):
        """The host file to load (or None) and the error that hides it."""
        if self.setting:
            return self._resolve(self.setting), None
        if toml is None or not os.path.exists(toml):
            return None, None
        try:
            with open(toml, "rb") as handle:
                data = handle.read()
            host = toml_host(data)
        except Exception as error:
            return None, "zo.toml: %s" % error
        return (self._resolve(host), None) if host else (None, None)

    def _resolve(self, path):
        path = os.path.expanduser(path)
        if self.root and not os.path.isabs(path):
            path = os.path.join(self.root, path)
        return os.path.normpath(path)


def toml_host(data):
    if tomllib is not None:
        host = tomllib.loads(data.decode("utf-8")).get("host")
    else:
        match = re.search(r'(?m)^\s*host\s*=\s*"([^"]*)"', data.decode("utf-8"))
        host = match.group(1) if match else None
    if host is not None and not isinstance(host, str):
        raise ValueError("host must be a string, not %r" % (host,))
    return host


def _load(path, limit):
    """The host module's register function, or None and why not."""
    try:
        directory = os.path.dirname(path)
        if directory not in sys.path:
            # As `zo --host` does: the host may import the modules beside it.
            sys.path.insert(0, directory)
        with host_code(limit):
            module = load_host_file(path, "zo_lsp_host_%d" % next(_module_names))
        if module is None:
            return None, "cannot load host %s: not a Python file" % path
        register = getattr(module, "register", None)
        if not callable(register):
            return None, "host %s has no register(host) function" % path
        return register, None
    except BaseException as error:  # user code; SystemExit and the like too
        return None, _describe(error, path)


@contextlib.contextmanager
def host_code(limit):
    """Runs the host's code: past `limit` seconds (None: no limit) it is
    interrupted by a TimeoutError, and ``os._exit`` raises SystemExit, in
    this process (a child the host forks still exits). The limit needs the
    main thread, where signals are handled; it cannot stop code that
    swallows every exception, nor a loop inside native code."""
    real_exit, server, armed = os._exit, os.getpid(), [True]

    def refuse_exit(status):
        if os.getpid() != server:
            real_exit(status)
        raise SystemExit("os._exit(%r)" % (status,))

    def expire(signum, frame):
        if armed[0]:
            raise TimeoutError("still running after %g seconds" % limit)

    timed = limit is not None and threading.current_thread() is threading.main_thread()
    if timed:
        previous = signal.signal(signal.SIGALRM, expire)
        signal.setitimer(signal.ITIMER_REAL, limit)
    os._exit = refuse_exit
    try:
        yield
    finally:
        try:
            armed[0] = False  # from here on, an alarm that comes late is let pass
        finally:
            os._exit = real_exit
            if timed:
                signal.setitimer(signal.ITIMER_REAL, 0)
                signal.signal(signal.SIGALRM, signal.SIG_DFL if previous is None else previous)


def _describe(error, path):
    """'cannot load host PATH: ERROR', with the host file's line that raised."""
    where = ""
    frames = [f for f in traceback.extract_tb(error.__traceback__) if f.filename == path]
    if frames:
        where = " (line %d)" % frames[-1].lineno
    if isinstance(error, FileNotFoundError) and not os.path.exists(path):
        return "cannot load host %s: no such file" % path
    return "cannot load host %s%s: %r" % (path, where, error)


def _file_stamp(path):
    if path is None:
        return None
    try:
        status = os.stat(path)
    except OSError:
        return None
    return (status.st_mtime_ns, status.st_size)


def _doc(native):
    """The docstring written for a native: its own, else its class's, but
    never the one of zolangpy's base classes."""
    doc = native.__dict__.get("__doc__") if hasattr(native, "__dict__") else None
    if not isinstance(doc, str):
        cls = type(native)
        doc = cls.__dict__.get("__doc__") if cls.__module__ != "zolangpy" else None
    return inspect.cleandoc(doc) if isinstance(doc, str) else ""


def _settable(prop):
    try:
        return bool(prop.is_settable())
    except BaseException:
        return None


def _snippet(name, parts):
    """A call as a snippet: a tab stop per value, a choice where a word has
    several, the optional parts left for the writer to add."""
    out, number = [_escape(name)], 0
    for part in parts:
        if "words" in part:
            choices = part["words"]
            if len(choices) == 1:
                out.append(_escape(choices[0]))
                continue
            number += 1
            out.append("${%d|%s|}" % (number, ",".join(_escape(c, ",|") for c in choices)))
        elif "value" in part or "values" in part:
            number += 1
            out.append("${%d:%s}" % (number, _escape(part.get("value") or part.get("values"))))
    return " ".join(out)


def _escape(text, also=""):
    for char in "\\$}" + also:
        text = text.replace(char, "\\" + char)
    return text
