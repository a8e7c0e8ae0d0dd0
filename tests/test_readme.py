"""The README's quick start, run as a newcomer pastes it: from a folder that
holds the checkout's quiltmap/ sources beside the .venv/ (so that the
sources would shadow the installed package if a command let them)."""
import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import CHECKOUT_PACKAGE, not_under_sanitizers

README = CHECKOUT_PACKAGE.parent / "README.md"


def quick_start_commands():
    """The quick start's lines that run the installed package (the make
    targets are what the suite itself was built by)."""
    section = README.read_text().split("## Quick start", 1)[1].split("\n## ", 1)[0]
    block = re.search(r"```sh\n(.*?)```", section, re.S).group(1)
    return [line.split("#", 1)[0].strip() for line in block.splitlines() if line.startswith(".venv/bin/")]


@not_under_sanitizers("runs the command in child interpreters")
@pytest.mark.skipif(not (Path(sys.prefix) / "bin" / "quiltmap").exists(), reason="no console script in this venv")
def test_the_quick_start_runs_as_written_from_the_checkout_s_root(tmp_path):
    pytest.importorskip("tifffile")
    (tmp_path / ".venv").symlink_to(sys.prefix)
    (tmp_path / "quiltmap").symlink_to(CHECKOUT_PACKAGE)
    export, reconstruct = quick_start_commands()[:2]
    assert "--export" in export and reconstruct.startswith(".venv/bin/quiltmap reconstruct")
    environment = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    for command in (export, reconstruct):
        done = subprocess.run(shlex.split(command), cwd=tmp_path, env=environment, capture_output=True, text=True,
                              timeout=600)
        assert done.returncode == 0, f"{command}\n{done.stderr}"
    out = Path(tmp_path, shlex.split(reconstruct)[-1])
    assert {"heights.tif", "orthomosaic.tif", "preview.png", "report.txt"} <= {p.name for p in out.iterdir()}
