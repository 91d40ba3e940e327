import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON_DIR = os.path.join(ROOT, "python")


def run_zo(*args, input_file=None, cwd=None, timeout=60, **kwargs):
    """Runs `python -m zo ARGS` with this interpreter; returns the process."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([PYTHON_DIR, env.get("PYTHONPATH", "")])
    return subprocess.run(
        [sys.executable, "-m", "zo", *args],
        cwd=cwd or ROOT,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=timeout,
        **kwargs,
    )


@pytest.fixture
def zo_file(tmp_path):
    def write(source, name="program.zo"):
        path = tmp_path / name
        path.write_text(source, encoding="utf-8")
        return str(path)

    return write
