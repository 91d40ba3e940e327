"""Every snippet of the user guide runs, and prints what the guide shows; the
C++ host it shows is the example's own code."""

import os
import re
import subprocess
import sys

import pytest

from conftest import PYTHON_DIR, ROOT, run_zo

DOCS = os.path.join(ROOT, "docs")
FENCE = re.compile(r"```(\w+)\n(.*?)```", re.S)


def snippets(page, language):
    """(snippet, expected output or None) for each block in that language."""
    text = open(os.path.join(DOCS, page), encoding="utf-8").read()
    blocks = [(m.group(1), m.group(2), m.end()) for m in FENCE.finditer(text)]
    found = []
    for index, (kind, body, end) in enumerate(blocks):
        if kind != language:
            continue
        following = blocks[index + 1] if index + 1 < len(blocks) else None
        adjacent = following and following[0] == "output" and text[end:].startswith("\n```output")
        found.append((body, following[1] if adjacent else None))
    return found


def run_snippet(source, tmp_path):
    """Runs a Zo snippet as `zo run snippet.zo` from its own directory, so that
    errors name the file as the page shows it; stdout and stderr together."""
    (tmp_path / "snippet.zo").write_text(source, encoding="utf-8")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [PYTHON_DIR] + [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return subprocess.run(
        [sys.executable, "-m", "zo", "run", "snippet.zo"], cwd=str(tmp_path), env=env,
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True, timeout=60,
    )


ZO_SNIPPETS = [(page, source, expected) for page in ("language.md", "reference.md")
               for source, expected in snippets(page, "zo")]


@pytest.mark.parametrize("page, source, expected", ZO_SNIPPETS)
def test_zo_snippet(page, source, expected, tmp_path):
    result = run_snippet(source, tmp_path)
    if expected is not None:
        assert result.stdout == expected
    else:
        assert result.returncode == 0, result.stdout


@pytest.mark.parametrize("code, expected", snippets("embedding.md", "python"))
def test_embedding_snippet(code, expected):
    env = dict(os.environ)
    # The kit's snippets import zo from the source tree.
    env["PYTHONPATH"] = os.pathsep.join([PYTHON_DIR, env.get("PYTHONPATH", "")])
    result = subprocess.run(
        [sys.executable, "-c", code], env=env, stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, universal_newlines=True, timeout=60,
    )
    assert result.returncode == 0, result.stderr
    if expected is not None:
        assert result.stdout == expected


def test_the_guide_shows_the_cpp_example_as_it_stands():
    """The C++ host in the guide is cut from examples/cpp, which
    scripts/install_and_consume builds and runs, so the two cannot drift."""
    example = open(os.path.join(ROOT, "examples", "cpp", "robot_host.cpp"), encoding="utf-8").read()
    shown = [code for code, _ in snippets("embedding.md", "cpp")]
    assert shown
    for code in shown:
        assert code in example
