import sys

try:
    import zolangpy  # noqa: F401
except ImportError:
    sys.exit("zo: the zolangpy module is not built or installed: run scripts/demo in a checkout, "
             "or pip install the package")
from zo.cli import main

raise SystemExit(main())
