"""The type stubs of quiltmap._mvs as a caller's type checker meets them:
they ship with the installed package, list the parameters the functions
really take, and let mypy tell the calls the module accepts from those it
refuses."""
import ast
import inspect
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import quiltmap
from conftest import not_under_sanitizers
from quiltmap import _mvs

PACKAGE = Path(quiltmap.__file__).resolve().parent


def stub_parameters():
    """name: ast.arguments of every function the installed stub declares."""
    tree = ast.parse((PACKAGE / "_mvs.pyi").read_text())
    return {node.name: node.args for node in tree.body if isinstance(node, ast.FunctionDef)}


def test_stub_and_marker_ship_with_the_package():
    assert (PACKAGE / "py.typed").is_file()
    public = {name for name, value in vars(_mvs).items() if callable(value) and not name.startswith("_")}
    assert set(stub_parameters()) == public == {"sample_view", "sgm", "bilateral"}


@pytest.mark.parametrize("name", ["sample_view", "sgm", "bilateral"])
def test_stub_lists_the_parameters_of_the_function(name):
    args = stub_parameters()[name]
    # The module binds every parameter by position or keyword, none optional.
    assert not (args.posonlyargs or args.vararg or args.kwonlyargs or args.kwarg or args.defaults)
    assert [a.arg for a in args.args] == list(inspect.signature(getattr(_mvs, name)).parameters)
    assert all(a.annotation is not None for a in args.args)


# ---------------------------------------------------------------------------
# mypy on calls, each of which is also made: what the stub lets through must
# run, and what it reports must fail at run time too (except where only the
# static type of the result is wrong).

PRELUDE = """
import numpy as np
import numpy.typing as npt
from quiltmap import _mvs

cost = np.zeros((4, 5, 6), np.float32)
cost64 = np.zeros((4, 5, 6), np.float64)
Z = np.zeros((5, 6), np.float32)
mask = np.ones((5, 6), np.uint8)
bool_mask = np.ones((5, 6), np.bool_)
signed_mask = np.ones((5, 6), np.int8)
img = np.zeros((8, 9, 3), np.float32)
R = np.diag([1.0, -1.0, -1.0])
R32 = np.eye(3, dtype=np.float32)
C = np.array([0.0, 0.0, 10.0])
out = np.zeros((5, 6, 3), np.float32)
valid = np.zeros((5, 6), np.uint8)
camera = (10.0, 0.0, 0.0, 4.0, 3.5, -3.0, 2.5, 1.0)
"""

# name: (calls, the mypy error codes reported, the exception raised when run)
CALLS = {
    "by_position": ("""
        agg: npt.NDArray[np.float32] = _mvs.sgm(cost, 1.0, 8.0)
        smooth: npt.NDArray[np.float32] = _mvs.bilateral(Z, mask, 2, 1.0, 2.0)
        _mvs.sample_view(img, R, C, 10.0, 0.0, 0.0, 4.0, 3.5, -3.0, 2.5, 1.0, Z, out, valid)
    """, [], None),
    "by_keyword": ("""
        _mvs.sgm(P2=8.0, P1=1.0, cost=cost)
        _mvs.bilateral(Z, sigma_s=2.0, sigma_r=1.0, radius=2, valid=mask)
        _mvs.sample_view(img, R, C, f=10.0, k1=0.0, k2=0.0, cx=4.0, cy=3.5, X0=-3.0, Y0=2.5, gsd=1.0, Z=Z,
                         out=out, valid=valid)
    """, [], None),
    "other_numbers_and_bool_masks": ("""
        _mvs.sgm(cost, 1, np.float32(8))
        _mvs.bilateral(Z, bool_mask, 2.5, np.float64(1), True)
        _mvs.sample_view(img, R, C, *camera, Z, out, bool_mask)
    """, [], None),
    "none_where_nothing_is_read": ("""
        empty: npt.NDArray[np.float32] = _mvs.sgm(None, 1.0, 2.0)
        _mvs.bilateral(np.zeros((0, 6), np.float32), None, 1, 1.0, 1.0)
        _mvs.sample_view(None, None, None, *camera, None, None, None)
        _mvs.sample_view(None, R, C, *camera, Z, np.zeros((5, 6, 0), np.float32), valid)
    """, [], None),
    "str_for_a_penalty": ("_mvs.sgm(cost, '1.0', 8.0)", ["arg-type"], TypeError),
    "str_for_the_radius": ("_mvs.bilateral(Z, mask, '2', 1.0, 2.0)", ["arg-type"], TypeError),
    "missing_argument": ("_mvs.bilateral(Z, mask, 2, 1.0)", ["call-arg"], TypeError),
    "misspelt_keyword": ("_mvs.sgm(cost, P1=1.0, p2=8.0)", ["call-arg"], TypeError),
    "float64_costs": ("_mvs.sgm(cost64, 1.0, 8.0)", ["arg-type"], ValueError),
    "float32_rotation": ("_mvs.sample_view(img, R32, C, *camera, Z, out, valid)", ["arg-type"], ValueError),
    "signed_mask": ("_mvs.bilateral(Z, signed_mask, 2, 1.0, 2.0)", ["arg-type"], ValueError),
    "none_for_the_heights": ("_mvs.bilateral(None, None, 1, 1.0, 1.0)", ["arg-type"], ValueError),
    "result_taken_as_float64": (
        "wrong: npt.NDArray[np.float64] = _mvs.sgm(cost, 1.0, 8.0)", ["assignment"], None),
    "result_of_sample_view_used": (
        "result = _mvs.sample_view(img, R, C, *camera, Z, out, valid)", ["func-returns-value"], None),
}


def source(name):
    return PRELUDE + textwrap.dedent(CALLS[name][0])


@pytest.fixture(scope="module")
def mypy_codes(tmp_path_factory):
    """name: the error codes mypy reports for that call's file, in one run over all of them."""
    folder = tmp_path_factory.mktemp("calls")
    for name in CALLS:
        (folder / f"{name}.py").write_text(source(name))
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(folder / "cache"), "--show-error-codes",
         "--no-error-summary", "--hide-error-context", "--no-pretty", "--no-color-output",
         *(f"{name}.py" for name in CALLS)],
        cwd=folder, capture_output=True, text=True, timeout=600)
    assert done.returncode in (0, 1), done.stdout + done.stderr  # 2: mypy itself failed
    codes = {name: [] for name in CALLS}
    for line in done.stdout.splitlines():
        if ": error: " not in line:
            continue
        found = re.fullmatch(r"(\w+)\.py:\d+: error: .*  \[([a-z-]+)\]", line)
        # An error anywhere else (in the stub itself, say) fails every case.
        assert found and found[1] in codes, done.stdout
        codes[found[1]].append(found[2])
    return codes


@not_under_sanitizers("mypy reads the stub, not the extension")
@pytest.mark.parametrize("name", CALLS)
def test_mypy_tells_accepted_calls_from_refused_ones(mypy_codes, name):
    _, expected_codes, raised = CALLS[name]
    assert mypy_codes[name] == expected_codes
    code = compile(source(name), f"{name}.py", "exec")
    if raised is None:
        exec(code, {})
    else:
        with pytest.raises(raised):
            exec(code, {})
