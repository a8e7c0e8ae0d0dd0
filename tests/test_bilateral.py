import builtins
import sys

import numpy as np
import pytest

import oracles
from conftest import assert_raises_at, not_under_sanitizers
from module_facts import BILATERAL, SOURCE_PATH
from oracles import NpStub, assert_fresh_result, assert_same_floats, read_only, same_bytes
from quiltmap import _mvs

NAN, INF = float("nan"), float("inf")


def heights(shape, seed, nan_fraction=0.0):
    rng = np.random.default_rng(seed)
    Z = (rng.standard_normal(shape) * 3 + 20).astype(np.float32)
    Z[rng.random(shape) < nan_fraction] = NAN
    return Z


def mask(shape, seed, usable=0.8):
    return (np.random.default_rng(seed).random(shape) < usable).astype(np.uint8)


def put(Z, value, *cells):
    Z = np.array(Z, np.float32)
    for cell in cells:
        Z[cell] = value
    return Z


def filtered(Z, valid, radius, sigma_r, sigma_s):
    """bilateral of read-only copies: bit-exact, a fresh result, the inputs unwritten."""
    passed_Z, passed_valid = read_only(Z), read_only(valid)
    result = _mvs.bilateral(passed_Z, passed_valid, radius, sigma_r, sigma_s)
    assert_fresh_result(result, passed_Z)
    assert same_bytes(passed_Z, Z) and (valid is None or same_bytes(passed_valid, valid))
    assert_same_floats(result, oracles.bilateral(Z, valid, radius, sigma_r, sigma_s))


@pytest.mark.parametrize("shape, seed, radius, sigma_r, sigma_s, nan_fraction", [
    ((9, 11), 0, 1, 2.0, 1.0, 0.0),
    ((9, 11), 1, 2, 0.7, 1.5, 0.0),
    ((7, 13), 2, 3, 5.0, 2.0, 0.05),
    ((12, 5), 3, 2, 1e30, 1.0, 0.0),  # inv_r rounds to 0: spatial mean
    ((6, 8), 4, 2, 3.0, 1e30, 0.0),  # inv_s rounds to 0: every table entry 1
    ((1, 17), 5, 2, 3.0, 1.0, 0.0),
    ((15, 1), 6, 3, 3.0, 1.0, 0.0),
    ((4, 4), 7, 6, 3.0, 2.0, 0.0),  # window larger than the grid
    ((10, 10), 8, 1, 0.05, 0.3, 0.0),  # many weights below float32's range
])
def test_random_grids(shape, seed, radius, sigma_r, sigma_s, nan_fraction):
    filtered(heights(shape, seed, nan_fraction), mask(shape, seed), radius, sigma_r, sigma_s)


ONES = np.ones((5, 5), np.uint8)
RAMP = np.arange(8 * 9, dtype=np.float32).reshape(8, 9)


@pytest.mark.parametrize("Z, valid, radius, sigma_r, sigma_s", [
    # Radius 0: filtered cells start their sums at +0, so -0.0 comes back +0.0.
    pytest.param([[1.5, -0.0, NAN], [INF, 0.0, -3.25]], [[1, 1, 1], [1, 1, 0]], 0, 2.0, 1.0, id="radius-0"),
    pytest.param(put(heights((5, 6), 11, 0.3), -0.0, (0, 0)), np.zeros((5, 6), np.uint8), 2, 1.0, 1.0,
                 id="nothing-usable"),
    # A NaN neighbour makes wsum NaN; an infinite one makes asum NaN through 0 * inf.
    *[pytest.param(put(heights((5, 5), 20), bad, (2, 3)), ONES, 1, 2.0, 1.0, id=f"neighbour-{bad}")
      for bad in (NAN, INF, -INF)],
    pytest.param(put(put(np.zeros((4, 4)), NAN, (1, 1)), INF, (2, 2)), put(ONES[:4, :4], 0, (1, 1), (2, 2)), 1, 2.0,
                 1.0, id="masked-non-finite"),
    # 0 | 100 with sigma_r 1: the weight across the step is exactly 0.
    pytest.param(put(np.zeros((6, 8)), 100.0, (slice(None), slice(4, None))), np.ones((6, 8)), 2, 1.0, 1.5,
                 id="step"),
    # Unit weights: means over windows clipped at corners and edges.
    *[pytest.param(RAMP, np.ones((8, 9), np.uint8), r, 1e30, 1e30, id=f"clipped-{r}") for r in (1, 2, 3)],
])
def test_special_grids(Z, valid, radius, sigma_r, sigma_s):
    filtered(np.array(Z, np.float32), np.array(valid, np.uint8), radius, sigma_r, sigma_s)


@pytest.mark.parametrize("sigma_r, sigma_s", [
    # The centre's exponent is 0 * inf or NaN: every wsum is NaN.
    (0.0, 1.0), (1.0, 0.0), (1e-30, 1.0), (1.0, 1e-30), (NAN, 1.0), (1.0, NAN), (-0.0, 2.0),
    # Negative: like the magnitude.
    (-2.0, 1.5), (2.0, -1.5), (-0.3, -0.8),
])
def test_unusual_sigmas(sigma_r, sigma_s):
    filtered(heights((6, 7), 9), mask((6, 7), 9), 2, sigma_r, sigma_s)


@pytest.mark.parametrize("sigma_s", [0.7, 1.5, 3.3])
def test_spatial_weights_one_by_one(sigma_s):
    # Heights 0 at the centre and 1 at one usable neighbour: the centre gets
    # w / (1 + w), which shows the neighbour's table entry w to the bit.
    for dy in range(4):
        for dx in range(4):
            valid = put(np.zeros((4, 4)), 1, (0, 0), (dy, dx)).astype(np.uint8)
            filtered(put(np.zeros((4, 4)), 1.0, (dy, dx)), valid, 3, 1e30, sigma_s)


@pytest.mark.parametrize("sigma_r", [0.3, 1.0, 2.9])
def test_range_weights_one_by_one(sigma_r):
    # Isolated pairs (centre 0, neighbour dr) with unit spatial weights:
    # each centre gets w dr / (1 + w) from its own range factor w.
    dr = np.linspace(0.01, 12.0, 200, dtype=np.float32) * np.float32(sigma_r)
    Z = np.zeros((2 * dr.size, 2), np.float32)
    Z[::2, 1] = dr
    valid = np.zeros(Z.shape, np.uint8)
    valid[::2] = 1
    filtered(Z, valid, 1, sigma_r, 1e30)


@pytest.mark.parametrize("shape, valid", [((0, 5), ONES), ((4, 0), ONES), ((0, 0), ONES), ((0, 3), None)])
def test_empty_grid(shape, valid):
    filtered(np.ones(shape, np.float32), valid, 1, 1.0, 1.0)


@pytest.mark.parametrize("make_valid", [
    pytest.param(lambda m: m.astype(bool), id="bool"),
    pytest.param(lambda m: m * np.uint8(255), id="bytes-255"),
    pytest.param(lambda m: np.pad(m, ((0, 3), (0, 5)), constant_values=1), id="larger-mask"),
    pytest.param(lambda m: np.pad(m, ((0, 3), (0, 5)), constant_values=0), id="larger-mask-zeros"),
])
def test_mask_forms(make_valid):
    filtered(heights((7, 8), 12), make_valid(mask((7, 8), 12)), 2, 2.0, 1.0)


# ---------------------------------------------------------------------------
# Allocation through np, and failures


@pytest.mark.parametrize("shape, radius", [((4, 5), 1), ((0, 5), 2), ((3, 0), 0)])
def test_numpy_calls_with_fresh_lookups(restore_np, shape, radius):
    Z = heights(shape, 15)
    stub = _mvs.np = NpStub(_mvs, chain=True)
    result = _mvs.bilateral(Z, np.ones((4, 5), np.uint8), radius, 2.0, 1.0)
    n = 2 * radius + 1
    copied = stub.log[1][3][0]
    assert stub.log == [
        (0, "get", "array"),
        (0, "call", "array", (oracles.Exported(copied.type_name, shape, "f", Z.tobytes()),), {"copy": True}),
        (1, "get", "empty"),
        (2, "get", "float32"),
        (1, "call", "empty", ((n, n), np.float32), {}),
    ]
    assert copied.type_name != "ndarray"  # a view of Z, not the caller's object
    assert all(type(i) is int for i in stub.log[4][3][0])
    # The copy is the result, held only here; the table is gone.
    assert sys.getrefcount(result) == 2
    assert stub.made[0]() is result and stub.made[1]() is None


class Refused(Exception):
    pass


def refuse(*args, **kwargs):
    raise Refused("not today")


def delete_np_then(real):
    def call(*args, **kwargs):
        del _mvs.np
        return real(*args, **kwargs)

    return call


DOUBLE = "Buffer dtype mismatch, expected 'float' but got 'double'"


@pytest.mark.parametrize("overrides, failure, error, message", [
    pytest.param(None, "copy_heights", NameError, "name 'np' is not defined", id="np-missing"),
    pytest.param({"array": None}, "copy_heights", AttributeError, "stub has no attribute 'array'",
                 id="array-missing"),
    pytest.param({"array": refuse}, "copy_heights", Refused, "not today", id="array-raises"),
    pytest.param({"array": lambda a, copy: np.array(a, np.float64)}, "view_result", ValueError, DOUBLE,
                 id="copy-float64"),
    pytest.param({"array": lambda a, copy: np.array(a)[:, :4].copy()}, "view_result", ValueError,
                 "bilateral(): the result array 'out' has shape (4, 4) but needs (4, 5)", id="copy-smaller"),
    pytest.param({"array": lambda a, copy: read_only(a)}, "view_result", ValueError,
                 "buffer source array is read-only", id="copy-read-only"),
    pytest.param({"empty": None}, "weight_table", AttributeError, "stub has no attribute 'empty'",
                 id="empty-missing"),
    pytest.param({"float32": None}, "weight_table", AttributeError, "stub has no attribute 'float32'",
                 id="float32-missing"),
    pytest.param({"empty": refuse}, "weight_table", Refused, "not today", id="empty-raises"),
    pytest.param({"array": delete_np_then(np.array)}, "weight_table", NameError, "name 'np' is not defined",
                 id="np-gone-before-table"),
    pytest.param({"empty": lambda shape, dtype: np.empty((2, 2), dtype)}, "weight_table", ValueError,
                 "bilateral(): the weight table 'sw' has shape (2, 2) but needs (3, 3)", id="table-shape"),
    pytest.param({"empty": lambda shape, dtype: np.empty(shape, np.float64)}, "weight_table", ValueError, DOUBLE,
                 id="table-float64"),
])
def test_failures(restore_np, monkeypatch, overrides, failure, error, message):
    monkeypatch.delattr(builtins, "np", raising=False)
    if overrides is None:
        del _mvs.np
    else:
        stub = _mvs.np = NpStub(_mvs, overrides=overrides)
    Z = heights((4, 5), 16)
    Z_before, refs = Z.copy(), sys.getrefcount(Z)
    assert_raises_at("bilateral", BILATERAL.failures[failure], error, message,
                     lambda: _mvs.bilateral(Z, ONES[:4], 1, 1.0, 1.0))
    assert sys.getrefcount(Z) == refs and same_bytes(Z, Z_before)
    assert overrides is None or not any(stub.alive()), "an allocated array outlived the failed call"


def test_z_none(restore_np):
    stub = _mvs.np = NpStub(_mvs)
    assert_raises_at("bilateral", BILATERAL.failures["view_result"], ValueError,
                     "Buffer has wrong number of dimensions (expected 2, got 0)",
                     lambda: _mvs.bilateral(None, None, 1, 1.0, 1.0))
    assert stub.calls() == [("array", (None,), {"copy": True})]
    assert not any(stub.alive())


def test_radius_far_beyond_the_grid():
    # A 10001 x 10001 table, of which a 4 x 5 grid can read only the entries
    # within 4 of the centre: the result is that of any radius covering it.
    Z, valid = heights((4, 5), 9, nan_fraction=0.1), mask((4, 5), 9)
    assert_same_floats(_mvs.bilateral(Z, valid, 5000, 2.0, 1.5), oracles.bilateral(Z, valid, 4, 2.0, 1.5))


@not_under_sanitizers("the child's 2 GiB address-space limit")
def test_table_beyond_memory_raises(run_python):
    # An 80001 x 80001 table.  The address-space limit makes the refusal
    # independent of the machine, and the child shows a crash as a signal.
    child = run_python(f"""
        import resource
        import numpy as np
        from quiltmap import _mvs
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        try:
            _mvs.bilateral(np.ones((3, 3), np.float32), np.ones((3, 3), np.uint8), 40000, 1.0, 1.0)
        except MemoryError as e:
            tb = e.__traceback__
            while tb.tb_frame.f_code.co_filename != {SOURCE_PATH!r}:
                tb = tb.tb_next
            print("MemoryError", tb.tb_frame.f_code.co_name, tb.tb_lineno)
    """)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == ["MemoryError", BILATERAL.qualified_name, str(BILATERAL.failures["weight_table"])]
