"""A host: the natives of one program, standard and the host's own.

The standard natives, a newcomer's first tools (left out with
``Host(standard=False)`` or ``zo --no-std``):

- ``print VALUES...;`` prints its values separated by spaces: strings as their
  text, numbers as Zo writes them (3, not 3.0), true/false/nil.
- ``wait N seconds;`` / ``wait N milliseconds;`` waits without blocking, on the
  monotonic clock.
- ``$time`` (read-only) is the number of seconds since the run started.

A host adds commands and properties with the kit (`Host.command`,
`Host.prop`), or registers objects of the layer below: ``host.callable(name,
generator)`` with a `zolangpy.CallableGenerator` and ``host.property(name,
prop)`` with a `zolangpy.Prop`. A ``--host`` file of ``zo`` gets a `Host` in
its ``register(host)``. A registration that cannot work, a name taken twice
included, raises `HostError`, which ``zo`` reports in one line.
"""

import importlib.machinery
import time
import types

import zolangpy

from zo.diagnostics import explain, render_diagnostics
from zo.kit import Property, format_value, make_command

__all__ = ["CompileError", "Host", "HostError", "format_value"]


class Clock:
    """Seconds since the run started, on the monotonic clock."""

    def __init__(self):
        self.start = time.monotonic()

    def now(self):
        return time.monotonic() - self.start


class HostError(TypeError):
    """A registration that cannot work: the message says which and why."""


class CompileError(Exception):
    """A program that did not compile; `diagnostics` holds its errors and the
    message shows them as ``zo`` does."""

    def __init__(self, diagnostics, text):
        Exception.__init__(self, text)
        self.diagnostics = diagnostics


def _check_registration(kind, name, value, base):
    if not isinstance(name, str):
        raise HostError("the name of a %s must be a str, not %s (%r)"
                        % (kind, type(name).__name__, name))
    if isinstance(value, base):
        return
    if isinstance(value, type) and issubclass(value, base):
        raise HostError("%s %r is the class %s; register an instance: %s()"
                        % (kind, name, value.__name__, value.__name__))
    raise HostError("%s %r is a %s, not an instance of zolangpy.%s"
                    % (kind, name, type(value).__name__, base.__name__))


class Host:
    """The natives of one run: the standard ones and the host's own."""

    def __init__(self, standard=True, out=None):
        self.clock = Clock()
        self.callables = {}
        self.properties = {}
        self.standard = set()
        if standard:
            from zo.standard import register_standard

            register_standard(self, out)
            self.standard = set(self.callables) | {"$" + name for name in self.properties}

    # The layer below: objects of the zolangpy base classes.

    def callable(self, name, generator):
        """Registers a `zolangpy.CallableGenerator` under a call name."""
        _check_registration("callable", name, generator, zolangpy.CallableGenerator)
        self._refuse_twice("callable", name, name in self.callables)
        self.callables[name] = generator

    def property(self, name, prop):
        """Registers a `zolangpy.Prop` under a property name (without the `$`)."""
        _check_registration("property", name, prop, zolangpy.Prop)
        self._refuse_twice("property", name, name in self.properties, "$" + name)
        self.properties[name] = prop

    def _refuse_twice(self, kind, name, taken, key=None):
        if not taken:
            return
        if (key or name) in self.standard:
            raise HostError("%s %r is registered twice: it is a standard native (leave those "
                            "out with --no-std, or Host(standard=False))" % (kind, name))
        raise HostError("%s %r is registered twice" % (kind, name))

    # The kit.

    def command(self, signature, function=None, *, blocking=False, check=None, doc=None):
        """Registers `function` as the command `signature` (``move to X Y``);
        used bare, as a decorator. Returns the function unchanged."""
        if function is None:
            return lambda function: self.command(signature, function, blocking=blocking,
                                                 check=check, doc=doc)
        try:
            command = make_command(self, signature, function, blocking=blocking, check=check,
                                   doc=doc)
        except ValueError as error:
            raise HostError(str(error)) from None
        self.callable(command.name, command)
        return function

    def prop(self, name, get=None, set=None, *, check=None, type=None, doc=None):
        """Registers the property `$name` from a getter and, if given, a
        setter; without `get`, a decorator for the getter, which returns the
        property: its ``setter`` decorates the setter. `check(value)`
        returning False or raising ValueError refuses a value; `type` (or the
        setter's annotation) converts it."""
        if get is None:
            return lambda get: self.prop(name, get, set, check=check, type=type, doc=doc)
        made = Property(name, get, set, check=check, type=type, doc=doc)
        self.property(name, made)
        return made

    # Programs.

    def register_with(self, target, wrap=None):
        """Registers every native with a `zolangpy.Compiler` or `Interpreter`;
        `wrap(name, generator)` may stand a generator in for each."""
        for name, generator in self.callables.items():
            target.register_callable(name, wrap(name, generator) if wrap else generator)
        for name, prop in self.properties.items():
            target.register_property(name, prop)

    def compile(self, source, path="<program>", wrap=None):
        """A `zolangpy.Interpreter` for `source`; CompileError if it does not
        compile, whose text shows each error at its place."""
        compiler = zolangpy.Compiler()
        self.register_with(compiler, wrap)
        if not compiler.compile(source):
            diagnostics = explain(compiler.diagnostics(), source)
            raise CompileError(diagnostics, render_diagnostics(diagnostics, path, source))
        return compiler.into_interpreter()

    def read_ir(self, ir, wrap=None):
        """A `zolangpy.Interpreter` for IR text with the natives it names."""
        interpreter = zolangpy.Interpreter(ir)
        # IR names every native in quotes; registering only those keeps a group
        # label of the program from clashing with a standard native's name.
        for name, generator in self.callables.items():
            if '"%s"' % name in ir:
                interpreter.register_callable(name, wrap(name, generator) if wrap else generator)
        for name, prop in self.properties.items():
            if '"%s"' % name in ir:
                interpreter.register_property(name, prop)
        return interpreter

    def model(self):
        """What the host offers, as data: see docs/embedding.md."""
        from zo.model import model

        return model(self)


def load_host_file(path, name):
    """Runs the host file at `path` as a module called `name`; None when the
    path does not name Python source. The caller decides what goes on
    sys.path first."""
    if not path.endswith(tuple(importlib.machinery.SOURCE_SUFFIXES)):
        return None
    module = types.ModuleType(name)
    module.__file__ = path
    importlib.machinery.SourceFileLoader(name, path).exec_module(module)
    return module
