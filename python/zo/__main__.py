import sys

try:
    import zolangpy  # noqa: F401
except ImportError:
    if sys.argv[1:2] == ["--version"]:  # needs nothing built
        from zo import __version__

        print("zo " + __version__)
        raise SystemExit(0)
    sys.exit("zo: the zolangpy module is not built or installed: run scripts/demo in a checkout, "
             "or pip install the package")
from zo.cli import main

raise SystemExit(main())
