"""The `zo` command: run, check and print Zo programs with a standard host."""

__version__ = "0.1.0"
