import builtins
import sys

import numpy as np
import pytest

import oracles
from conftest import assert_raises_at
from module_facts import SGM
from oracles import NpStub, assert_fresh_result, assert_same_floats, read_only, same_bytes
from quiltmap import _mvs


def volume(shape, seed, ties=False):
    rng = np.random.default_rng(seed)
    if ties:  # small integers: exact ties and cancellations are common
        return rng.integers(0, 6, shape).astype(np.float32)
    return (rng.standard_normal(shape) * 10).astype(np.float32)


def check_against_oracle(cost, P1, P2):
    """sgm of a read-only copy of `cost`: bit-exact, a fresh result, the input unwritten."""
    passed = read_only(cost)
    result = _mvs.sgm(passed, P1, P2)
    assert_fresh_result(result, passed)
    assert_same_floats(result, oracles.sgm(cost, P1, P2))
    assert cost is None or same_bytes(passed, cost)
    return result


@pytest.mark.parametrize("shape, seed, ties", [
    ((3, 1, 1), 0, False),
    ((4, 1, 9), 1, False),
    ((4, 7, 1), 2, False),
    ((1, 5, 6), 3, False),
    ((2, 5, 6), 4, False),
    ((2, 6, 5), 5, True),
    ((5, 7, 13), 6, False),
    ((5, 7, 13), 7, True),
    ((37, 9, 11), 8, False),
    ((8, 16, 3), 9, True),
    ((3, 2, 17), 10, False),
])
@pytest.mark.parametrize("P1, P2", [(1.5, 9.0), (4.0, 2.0), (0.0, 0.0)])
def test_random_volumes(shape, seed, ties, P1, P2):
    check_against_oracle(volume(shape, seed, ties), P1, P2)


@pytest.mark.parametrize(
    "P1, P2",
    [(-2.0, 3.0), (1.0, -7.5), (-1.0, -1.0), (1e39, 8.0), (1.0, 1e39), (-1e39, 2.0), (1.0, -1e39), (0.1, 1e-46),
     (np.nan, 2.0), (1.0, np.nan)],
)
def test_unusual_penalties(P1, P2):
    check_against_oracle(volume((6, 5, 7), 11), P1, P2)


def test_single_cell_sums_cost_eight_times():
    cost = np.array([[[0.1]], [[-3.3]], [[7e-3]]], np.float32)
    expected = np.zeros_like(cost)
    for _ in range(8):
        expected = expected + cost
    assert_same_floats(check_against_oracle(cost, 1.0, 5.0), expected)


@pytest.mark.parametrize("shape", [(0, 3, 4), (3, 0, 4), (3, 4, 0), (0, 0, 0), None])
def test_empty_volume(shape):
    # D = 0 with cells too: nothing may be read from a volume without data.
    check_against_oracle(None if shape is None else np.ones(shape, np.float32), 1.0, 2.0)


@pytest.mark.parametrize("value, at_d", [
    (np.nan, [0]),  # reaches every label of every later cell of both horizontal paths
    (np.nan, [2]),  # elsewhere it stays on its label
    (np.inf, slice(None)),  # a cell whose labels are all +inf makes its successors NaN
])
def test_nan_and_inf_propagation(value, at_d):
    cost = volume((4, 1, 7), 12)
    cost[at_d, 0, 3] = value
    check_against_oracle(cost, 1.0, 4.0)


# ---------------------------------------------------------------------------
# Allocation through np


@pytest.mark.parametrize("shape", [(3, 4, 5), (0, 3, 4), (2, 0, 1)])
def test_zeros_called_twice_with_fresh_lookups(restore_np, shape):
    stub = _mvs.np = NpStub(_mvs, chain=True)
    cost = volume(shape, 14)
    result = _mvs.sgm(cost, 1.0, 3.0)
    assert stub.log == [
        (0, "get", "zeros"), (1, "get", "float32"), (0, "call", "zeros", (shape, np.float32), {}),
        (2, "get", "zeros"), (3, "get", "float32"), (2, "call", "zeros", (shape, np.float32), {}),
    ]
    assert all(type(n) is int for n in stub.log[2][3][0])
    # The first array is the result, held only here; the path buffer is gone.
    assert sys.getrefcount(result) == 2
    assert stub.made[0]() is result and stub.made[1]() is None
    assert_same_floats(result, oracles.sgm(cost, 1.0, 3.0))


class Interrupt(BaseException):
    pass


def hash_twin_of_np(error):
    """A key that shares the hash of "np" and raises `error` when compared."""

    class Twin(str):
        def __hash__(self):
            return hash("np")

        def __eq__(self, other):
            raise error("compared")

    return Twin("np_twin")


@pytest.mark.parametrize("twin_error, in_builtins, error", [
    (None, False, NameError),
    (None, True, None),  # absent from the module: the builtins' np
    (ValueError, False, NameError),  # the lookup's own error is dropped
    (ValueError, True, None),
    (Interrupt, True, Interrupt),  # but not one that is no Exception
])
def test_np_lookup(restore_np, monkeypatch, twin_error, in_builtins, error):
    del _mvs.np
    if twin_error:
        monkeypatch.setitem(vars(_mvs), hash_twin_of_np(twin_error), "twin")
    stub = NpStub(_mvs)
    if in_builtins:
        monkeypatch.setattr(builtins, "np", stub, raising=False)
    else:
        monkeypatch.delattr(builtins, "np", raising=False)
    cost = volume((2, 3, 3), 16)
    if error is None:
        assert_same_floats(_mvs.sgm(cost, 1.0, 2.0), oracles.sgm(cost, 1.0, 2.0))
        assert len(stub.calls()) == 2
    else:
        refs = sys.getrefcount(cost)
        message = "name 'np' is not defined" if error is NameError else None
        assert_raises_at("sgm", SGM.failures["allocate_agg"], error, message, lambda: _mvs.sgm(cost, 1.0, 2.0))
        assert sys.getrefcount(cost) == refs


class Refused(Exception):
    pass


def refuse(shape, dtype):
    raise Refused("no memory today")


def nth_zeros(n, make):
    """np.zeros whose n-th call returns make(shape, dtype) instead."""
    calls = []

    def zeros(shape, dtype):
        calls.append(shape)
        return make(shape, dtype) if len(calls) == n else np.zeros(shape, dtype)

    return zeros


def frozen_zeros(shape, dtype):
    return read_only(np.zeros(shape, dtype))


def double_zeros(shape, dtype):
    return np.zeros(shape, np.float64)


def narrower_zeros(shape, dtype):
    return np.zeros(shape[:2] + (shape[2] - 1,), dtype)


DOUBLE = "Buffer dtype mismatch, expected 'float' but got 'double'"
READ_ONLY = "buffer source array is read-only"
NEEDS = "sgm(): the {} has shape {} but needs (2, 3, 4)"


@pytest.mark.parametrize("fault, failure, error, message", [
    ({"zeros": None}, "allocate_agg", AttributeError, "stub has no attribute 'zeros'"),
    ({"float32": None}, "allocate_agg", AttributeError, "stub has no attribute 'float32'"),
    ((1, refuse), "allocate_agg", Refused, "no memory today"),
    ((2, refuse), "allocate_path", Refused, "no memory today"),
    ((1, frozen_zeros), "view_agg", ValueError, READ_ONLY),
    ((2, frozen_zeros), "view_path", ValueError, READ_ONLY),
    ((1, double_zeros), "view_agg", ValueError, DOUBLE),
    ((2, double_zeros), "view_path", ValueError, DOUBLE),
    ((2, lambda s, d: np.zeros(s[:2] + (2 * s[2],), d)[:, :, ::2]), "view_path", ValueError,
     "ndarray is not C-contiguous"),
    ((1, narrower_zeros), "view_agg", ValueError, NEEDS.format("result array 'agg'", (2, 3, 3))),
    ((2, narrower_zeros), "view_path", ValueError, NEEDS.format("path buffer 'L'", (2, 3, 3))),
    ((2, lambda s, d: np.zeros((s[0] + 1,) + s[1:], d)), "view_path", ValueError,
     NEEDS.format("path buffer 'L'", (3, 3, 4))),
])
def test_allocation_failures(restore_np, fault, failure, error, message):
    stub = _mvs.np = NpStub(_mvs, overrides=fault if isinstance(fault, dict) else {"zeros": nth_zeros(*fault)})
    cost = volume((2, 3, 4), 18)
    before, refs = cost.copy(), sys.getrefcount(cost)
    assert_raises_at("sgm", SGM.failures[failure], error, message, lambda: _mvs.sgm(cost, 1.0, 2.0))
    assert not any(stub.alive()), "an allocated volume outlived the failed call"
    assert sys.getrefcount(cost) == refs and same_bytes(cost, before)
