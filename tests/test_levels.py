"""The instruction-set levels of the kernels, from Python: every level that
QUILTMAP_ISA can ask for gives this process's bits, a value that names no
level is reported at import and ignored, and the built module holds no fused
multiply-add."""
import subprocess
from pathlib import Path

import numpy as np
import pytest

from conftest import not_under_sanitizers
from oracles import assert_same_floats
from quiltmap import _mvs

CHECKOUT = Path(__file__).resolve().parent.parent


def inputs():
    """Cases that reach every path of the kernels: sgm volumes tall enough for
    the sweeps and too short for them, bilateral radii that go pair by pair
    and cell by cell over several strips of columns, a tilted camera with
    NaN and infinite heights; awkward values throughout."""
    rng = np.random.default_rng(12)

    def awkward(values):
        flat = values.reshape(-1)
        picks = rng.random(flat.size)
        flat[picks < 0.01] = np.nan
        flat[(picks >= 0.01) & (picks < 0.015)] = np.inf
        flat[(picks >= 0.015) & (picks < 0.02)] = -0.0
        return values

    cases = {
        "tall": awkward(rng.uniform(0, 30, (6, 70, 45)).astype(np.float32)),
        "short": awkward(rng.integers(0, 4, (5, 9, 40)).astype(np.float32)),
        "Z": awkward((rng.standard_normal((40, 600)) * 3 + 20).astype(np.float32)),
        "mask": (rng.random((40, 600)) < 0.85).astype(np.uint8),
        "img": rng.uniform(-5, 5, (90, 120, 3)).astype(np.float32),
        "heights": awkward(rng.uniform(0, 12, (50, 70)).astype(np.float32)),
    }
    return cases


CAMERA = (np.array([[0.99, 0.1, 0.0], [0.1, -0.99, 0.05], [0.0, -0.05, -1.0]]), np.array([30.0, -28.0, 90.0]),
          150.0, -0.05, 0.01, 61.0, 44.0, 0.0, 0.0, 0.9)

# Runs every kernel on the saved inputs and saves what it returns.
CHILD = """
import numpy as np
from quiltmap import _mvs
from test_levels import CAMERA, results
cases = dict(np.load("inputs.npz"))
np.savez("results.npz", **results(cases))
"""


def results(cases):
    out = {}
    for name in ("tall", "short"):
        out["sgm_" + name] = _mvs.sgm(cases[name], 3.0, 11.0)
    for radius in (0, 1, 3, 8, 9):
        out[f"bilateral_{radius}"] = _mvs.bilateral(cases["Z"], cases["mask"], radius, 2.0, 3.0)
    H, W = cases["heights"].shape
    sampled = np.full((H, W, 3), -7.0, np.float32)
    valid = np.full((H, W), 9, np.uint8)
    _mvs.sample_view(cases["img"], *CAMERA, cases["heights"], sampled, valid)
    out["sampled"], out["valid"] = sampled, valid
    return out


@pytest.fixture(scope="module")
def here():
    cases = inputs()
    return cases, results(cases)


@pytest.mark.parametrize("level", ["sse2", "avx2", "avx512"])
def test_every_level_gives_the_same_bits(run_python, tmp_path, here, level):
    cases, expected = here
    np.savez(tmp_path / "inputs.npz", **cases)
    child = run_python(f"import sys; sys.path.insert(0, {str(Path(__file__).parent)!r})\n" + CHILD,
                       "-W", "error", env={"QUILTMAP_ISA": level})
    assert child.returncode == 0, child.stderr
    got = dict(np.load(tmp_path / "results.npz"))
    assert sorted(got) == sorted(expected)
    for name, value in expected.items():
        if value.dtype == np.float32:
            assert_same_floats(got[name], value)
        else:
            assert np.array_equal(got[name], value), name


@pytest.mark.parametrize("value", ["fastest", "AVX2", "sse2 "])
def test_a_value_that_names_no_level_is_reported_and_ignored(run_python, value):
    child = run_python("""
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            from quiltmap import _mvs
        import numpy as np
        print(len(caught), caught[0].category.__name__)
        print(caught[0].message)
        print(_mvs.sgm(np.ones((2, 1, 1), np.float32), 1.0, 2.0).ravel().tolist())
    """, env={"QUILTMAP_ISA": value})
    assert child.returncode == 0, child.stderr
    count, message, result = child.stdout.splitlines()
    assert count == "1 RuntimeWarning"
    assert message.startswith(f"QUILTMAP_ISA='{value}' names no instruction-set level (sse2, avx2 or avx512) "
                              "and is ignored; the kernels use ")
    assert result == "[8.0, 8.0]"


@not_under_sanitizers("the instrumented build is not the one shipped, and its disassembly is huge")
def test_the_module_holds_no_fused_multiply_add():
    check = subprocess.run([str(CHECKOUT / "tools" / "check-kernel-objects"), "fma", _mvs.__file__],
                           capture_output=True, text=True)
    assert check.returncode == 0, check.stdout + check.stderr


def build_id(path):
    """The GNU build identifier of an ELF file (stripping keeps it)."""
    notes = subprocess.run(["readelf", "-n", str(path)], capture_output=True, text=True).stdout
    found = [line.split()[-1] for line in notes.splitlines() if "Build ID" in line]
    return found[0] if found else None


@not_under_sanitizers("the instrumented build is not the one shipped, and its disassembly is huge")
def test_the_module_runs_no_level_s_code_outside_the_levels():
    """The installed module is stripped; its unstripped twin in the build tree
    (the same build identifier) shows which function each instruction is in."""
    installed = build_id(_mvs.__file__)
    built = [path for path in (CHECKOUT / "build").glob("*/_mvs*.so") if build_id(path) == installed]
    if not built:
        pytest.skip("the build tree of the installed module is not in this checkout")
    check = subprocess.run([str(CHECKOUT / "tools" / "check-kernel-objects"), "levels", str(built[0])],
                           capture_output=True, text=True)
    assert check.returncode == 0, check.stdout + check.stderr
