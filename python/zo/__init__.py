"""The `zo` package: the host kit over `zolangpy`, its drivers, and the
`zo` command.

    import zo
    host = zo.Host()

    @host.command("move to X Y")
    def move(x: float, y: float):
        ...

    zo.run('move to 1 2;', host)

The names below load on first use, so that ``zo --version`` and a checkout
without the built module can still say what is missing.
"""

__version__ = "0.1.0"

_EXPORTS = {
    "Host": "zo.host", "HostError": "zo.host", "CompileError": "zo.host",
    "format_value": "zo.kit", "CommandError": "zo.kit", "SignatureError": "zo.signature",
    "Driver": "zo.driver", "run": "zo.driver", "run_async": "zo.driver",
    "register_standard": "zo.standard",
}

__all__ = sorted(_EXPORTS)


def __getattr__(name):
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError("module 'zo' has no attribute %r" % name)
    import importlib

    return getattr(importlib.import_module(module), name)
