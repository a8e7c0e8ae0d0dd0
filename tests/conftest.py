"""Shared fixtures and helpers for the tests of quiltmap._mvs.

Run them from tests/ (see the Makefile): from the checkout's root, its
quiltmap/ folder, which holds no built library, would shadow the installed
package.
"""
import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from module_facts import FUNCTIONS, SOURCE_PATH

CHECKOUT_PACKAGE = Path(__file__).resolve().parent.parent / "quiltmap"
# Three real drone photographs and their position log, kept beside the checkout (or where the variable says).
DRONE_STRIP = Path(os.environ.get("QUILTMAP_DRONE_STRIP", CHECKOUT_PACKAGE.parent.parent / "shared" / "data" / "drone-strip"))

# Set by tools/test-sanitized: the extension runs under AddressSanitizer,
# whose shadow memory takes terabytes of address space and whose quarantine
# holds freed memory back.
SANITIZED = os.environ.get("QUILTMAP_SANITIZED") == "1"


def not_under_sanitizers(reason):
    return pytest.mark.skipif(SANITIZED, reason=f"not under AddressSanitizer: {reason}")


def pytest_configure(config):
    try:
        import quiltmap._mvs as mvs
    except ImportError as error:
        raise pytest.UsageError(f"quiltmap._mvs is not importable ({error}); run `make .venv/.installed` "
                                "and pytest from tests/ (cd tests && ../.venv/bin/python -m pytest)")
    if Path(mvs.__file__).resolve().parent == CHECKOUT_PACKAGE:
        raise pytest.UsageError(f"quiltmap._mvs was loaded from the checkout ({mvs.__file__})")


def module_entries(exc):
    """(name, filename, lineno) of the traceback entries the extension added."""
    found, tb = [], exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename.startswith(SOURCE_PATH):
            found.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return found


def assert_raises_at(name, line, error, message, call):
    """call() raises `error` (with `message` unless None) that carries exactly
    one entry of the function `name`, at `line`."""
    with pytest.raises(error) as info:
        call()
    assert message is None or str(info.value) == message, str(info.value)
    assert module_entries(info.value) == [(FUNCTIONS[name].qualified_name, SOURCE_PATH, line)]
    del info  # its frames hold the call's arguments


@pytest.fixture
def mvs():
    import quiltmap._mvs

    return quiltmap._mvs


@pytest.fixture
def restore_np(mvs):
    """Puts the module global `np` back however a test rebinds or deletes it."""
    saved = mvs.np
    yield
    mvs.np = saved


@pytest.fixture
def restore_module_state(mvs):
    """Undoes what importlib does to the module's dunders and to sys.modules."""
    missing = object()
    keys = ("__spec__", "__loader__", "__file__", "__package__", "__name__", "__doc__", "__path__", "__cached__")
    saved = {key: vars(mvs).get(key, missing) for key in keys}
    saved_entry = sys.modules.get("quiltmap._mvs", missing)
    yield
    for key, value in saved.items():
        if value is missing:
            vars(mvs).pop(key, None)
        else:
            vars(mvs)[key] = value
    if saved_entry is missing:
        sys.modules.pop("quiltmap._mvs", None)
    else:
        sys.modules["quiltmap._mvs"] = saved_entry


@pytest.fixture
def run_python(tmp_path):
    """Runs a script in a fresh interpreter of this venv, from a folder that
    holds no quiltmap/ of its own; returns the CompletedProcess."""

    def run(script, *options, env=None):
        import quiltmap

        full_env = dict(os.environ, PYTHONPATH=str(Path(quiltmap.__file__).resolve().parent.parent), **(env or {}))
        full_env.pop("PYTHONWARNINGS", None)
        return subprocess.run([sys.executable, *options, "-c", textwrap.dedent(script)], cwd=tmp_path,
                              env=full_env, capture_output=True, text=True, timeout=120)

    return run


@pytest.fixture(scope="session")
def exported(tmp_path_factory):
    """The demonstration's survey of 32 x 32 cells in 24 labels, as the command reads it."""
    pytest.importorskip("tifffile")
    from quiltmap.demo.__main__ import main as demo_main

    folder = tmp_path_factory.mktemp("survey")
    demo_main(["--size", "32", "--labels", "24", "--seed", "5", "--export", str(folder)])
    return folder / "survey.json"


@pytest.fixture(scope="session")
def exported_town(tmp_path_factory):
    """A survey of 128 x 128 cells in 32 labels: four tiles of 64 cells."""
    pytest.importorskip("dask")
    pytest.importorskip("tifffile")
    from quiltmap.demo.__main__ import main as demo_main

    folder = tmp_path_factory.mktemp("town")
    demo_main(["--size", "128", "--labels", "32", "--seed", "5", "--export", str(folder)])
    return folder / "survey.json"


def broken(exported, tmp_path, edit):
    """A copy of the exported survey with its description changed by `edit`."""
    folder = tmp_path / "broken"
    shutil.copytree(exported.parent, folder)
    description = json.loads((folder / "survey.json").read_text())
    edit(description, folder)
    (folder / "survey.json").write_text(json.dumps(description))
    return folder / "survey.json"
