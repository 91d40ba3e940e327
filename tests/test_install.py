"""The in-tree build backend: standard library only, and a missing build
tool named in one line with the package that provides it."""

import os
import shutil
import subprocess
import sys

import pytest

from conftest import ROOT

TOOLS = {"cmake": "cmake", "ninja": "ninja-build", "c++": "g++"}


@pytest.mark.parametrize("missing", sorted(TOOLS))
def test_a_missing_build_tool_is_named_with_its_package(tmp_path, missing):
    # A PATH holding every tool the backend looks for but one.
    tools = tmp_path / "bin"
    tools.mkdir()
    for tool in TOOLS:
        found = shutil.which(tool)
        if tool != missing and found:
            os.symlink(found, str(tools / tool))
    env = {"PATH": str(tools), "CXX": "c++"}
    # -S: no site packages either, as in a fresh virtual environment.
    code = "import zo_wheel; zo_wheel.build_wheel(%r)" % str(tmp_path)
    result = subprocess.run([sys.executable, "-S", "-c", code], env=env,
                            cwd=os.path.join(ROOT, "scripts"), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
    assert result.returncode == 1
    what = "a C++ compiler (c++)" if missing == "c++" else missing
    assert result.stderr == "zo_wheel: %s is missing; install it with: apt-get install %s\n" % (
        what, TOOLS[missing])


def test_the_type_stubs_lie_beside_the_built_module():
    import zolangpy

    stubs = os.path.join(os.path.dirname(zolangpy.__file__), "zolangpy.pyi")
    with open(stubs, encoding="utf-8") as built, \
            open(os.path.join(ROOT, "binding", "zolangpy.pyi"), encoding="utf-8") as source:
        assert built.read() == source.read()
