"""Neovim (Debian's, headless, with its built-in LSP client) opens a file
with a typo and shows `zo lsp`'s diagnostic at the typo: the line, and the
column converted from the protocol's UTF-16 units to Neovim's bytes."""

import json
import os
import shutil
import subprocess
import sys

import pytest

from conftest import PYTHON_DIR

HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.mark.skipif(shutil.which("nvim") is None, reason="Neovim is not installed")
def test_neovim_shows_the_diagnostic_at_the_typo(tmp_path):
    (tmp_path / "mission.zo").write_text('print "größe";\nprint "é"; pirnt 1;\n', encoding="utf-8")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([PYTHON_DIR, env.get("PYTHONPATH", "")])
    env["ZO_NVIM_OUT"] = str(tmp_path / "diagnostics.json")
    env["ZO_NVIM_CMD"] = json.dumps([sys.executable, "-m", "zo", "lsp"])
    for name in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME"):
        env[name] = str(tmp_path / name)  # none of the user's configuration or state
    subprocess.run(["nvim", "--headless", "-n", "-i", "NONE", "-u", os.path.join(HERE, "neovim", "init.lua"),
                    "mission.zo"], cwd=tmp_path, env=env, timeout=60, check=True,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    found = json.loads((tmp_path / "diagnostics.json").read_text())
    # `pirnt` starts at byte 12 of line 2: `é` is two bytes in UTF-8.
    assert found == [{"lnum": 1, "col": 12, "end_col": 17, "source": "zo",
                      "message": "No callable named 'pirnt' was registered\ndid you mean 'print'?"}]
