"""quiltmap._pipeline: each step against the NumPy form it replaces, to the
bit, and calls that do not fit refused before any work."""
import re

import numpy as np
import pytest

from quiltmap import _mvs, _pipeline
from quiltmap.reconstruction import census

from oracles import census_numpy, consistent_numpy, cost_volume_numpy, right_winner_numpy


@pytest.mark.parametrize("shape, rows, columns, step", [
    ((1, 1), 1, 1, 1), ((7, 3), 2, 2, 1), ((40, 61), 3, 3, 2), ((33, 20), 1, 4, 3), ((25, 90), 3, 4, 1),
])
def test_census_is_the_numpy_census(shape, rows, columns, step):
    rng = np.random.default_rng(sum(shape) + step)
    image = rng.integers(0, 4, shape).astype(np.float32)  # many ties
    image[rng.random(shape) < 0.05] = np.nan
    codes = np.full(shape, 7, np.uint64)
    _pipeline.census(image, rows, columns, step, codes)
    np.testing.assert_array_equal(codes, census_numpy(image, rows, columns, step))
    np.testing.assert_array_equal(census(image, rows, columns, step), codes)


def test_sgm_into_given_volumes_is_mvs_sgm():
    cost = np.random.default_rng(3).random((9, 21, 34)).astype(np.float32)
    agg, path = np.full_like(cost, np.nan), np.full_like(cost, 5.0)
    for _ in range(2):  # whatever the volumes held
        _pipeline.sgm(cost, 0.1, 0.6, agg, path)
        np.testing.assert_array_equal(agg, _mvs.sgm(cost, 0.1, 0.6))


@pytest.mark.parametrize("call, error, message", [
    (lambda a, c: _pipeline.census(a, 4, 4, 1, c), ValueError, "census(): the window"),
    (lambda a, c: _pipeline.census(a, 1, 1, 0, c), ValueError, "census(): step must be at least 1"),
    (lambda a, c: _pipeline.census(a, 1, 1, 1, np.zeros((6, 7), np.uint64)), ValueError,
     "argument 'codes' has shape (6, 7)"),
    (lambda a, c: _pipeline.census(a, 1, 1, 1, c.view(np.int64)), ValueError, "uint64"),
    (lambda a, c: _pipeline.census(a.astype(np.float64), 1, 1, 1, c), ValueError, "float"),
    (lambda a, c: _pipeline.census(a, 1.0, 1, 1, c), TypeError, "'float' object cannot be interpreted as an integer"),
    (lambda a, c: _pipeline.census(a, 1, 1, 1), TypeError, "census() takes exactly 5"),
    (lambda a, c: _pipeline.census(image=a, rows=1, columns=1, step=1, code=c), TypeError, "'code'"),
    (lambda a, c: _pipeline.sgm(np.zeros((2, 6, 8), np.float32), 1, 2, np.zeros((2, 6, 8), np.float32),
                                np.zeros((2, 6, 7), np.float32)), ValueError, "argument 'path' has shape"),
])
def test_calls_that_do_not_fit_are_refused(call, error, message):
    image = np.zeros((6, 8), np.float32)
    codes = np.zeros((6, 8), np.uint64)
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        call(image, codes)
    assert not codes.any()


# ---------------------------------------------------------------------------
# The stereo example's cost volume and left-right check


@pytest.mark.parametrize("shape, D, bits, outside, split", [
    ((1, 1), 1, 62, 0.2, 0), ((17, 70), 16, 48, np.nan, 3), ((8, 40), 64, 64, -0.0, 33), ((30, 257), 64, 62, 0.2, 32),
])
def test_census_cost_is_the_numpy_cost(shape, D, bits, outside, split):
    rng = np.random.default_rng(D + bits)
    # Random codes, some shifted to a few bits, some empty or full.
    codes = rng.integers(0, 2 ** bits - 1, (2, *shape), np.uint64, endpoint=True)
    codes >>= rng.choice(np.array([0, 8, 40], np.uint64), codes.shape)
    extreme = rng.random(codes.shape) < 0.1
    codes[extreme] = rng.choice(np.array([0, 2 ** bits - 1], np.uint64), extreme.sum())
    a, b = codes
    cost = np.full((D, *shape), 7, np.float32)
    # Planes filled by two calls, as the example fills them on two threads.
    _pipeline.census_cost(a, b, 0, 1.0 / bits, outside, cost[:split])
    _pipeline.census_cost(a, b, split, 1.0 / bits, outside, cost[split:])
    np.testing.assert_array_equal(cost.view(np.uint32), cost_volume_numpy(a, b, bits, D, outside).view(np.uint32))


@pytest.mark.parametrize("shape", [(1, 1, 1), (9, 4, 5), (70, 3, 50), (4, 2, 1100)])
@pytest.mark.parametrize("values", [[0, 1, 2], [np.nan, np.inf, -np.inf, 0.0, -0.0, 0.5], [np.inf, np.nan]],
                         ids=["ties", "specials", "no cost below inf"])
def test_right_winner_is_the_numpy_winner(shape, values):
    rng = np.random.default_rng(sum(shape))
    volume = rng.random(shape, dtype=np.float32)
    pick = rng.random(shape) < 0.8
    volume[pick] = rng.choice(np.array(values, np.float32), pick.sum())
    best = np.full(shape[1:], -3, np.int32)
    _pipeline.right_winner(volume, best)
    np.testing.assert_array_equal(best, right_winner_numpy(volume))


@pytest.mark.parametrize("tolerance", [1.0, 0.0, 0.5, -1.0, np.inf, np.nan])
def test_left_right_check_is_the_numpy_check(tolerance):
    rng = np.random.default_rng(5)
    H, W = 24, 90
    kinds = [
        np.arange(W) - rng.integers(-2, 3, (H, W)) + rng.choice([0, 0.5], (H, W)),  # whole or half-way, at the edges
        rng.choice(np.array([np.nan, np.inf, -np.inf, 3e38, -3e38, 1e-41, -0.0]), (H, W)),
        rng.uniform(-2 * W, 2 * W, (H, W)),
    ]
    left = np.choose(rng.integers(0, len(kinds), (H, W)), kinds).astype(np.float32)
    right = rng.integers(0, W + 2, (H, W)).astype(np.int32)
    right[rng.random((H, W)) < 0.05] = np.iinfo(np.int32).min
    matched = np.full((H, W), 9, np.uint8)
    _pipeline.left_right_check(left, right, tolerance, matched)
    np.testing.assert_array_equal(matched, consistent_numpy(left, right, tolerance))


def test_stereo_kernels_on_the_motorcycle_pair():
    """The kernels against their NumPy forms on the real pair, through every
    step of the example."""
    pytest.importorskip("skimage")
    from quiltmap.demo import stereo

    pair, settings = stereo.load_motorcycle(2), stereo.Settings()
    D = stereo.disparity_count(pair.truth)
    (a, bits), (b, _) = (stereo.census(stereo.grey(image), settings.census_rows, settings.census_cols)
                         for image in (pair.left, pair.right))
    cost = stereo.cost_volume(stereo.grey(pair.left), stereo.grey(pair.right), D, settings)
    np.testing.assert_array_equal(cost, cost_volume_numpy(a, b, bits, D, settings.outside))
    for volume in (cost, _mvs.sgm(cost, settings.P1, settings.P2)):
        best = np.empty(a.shape, np.int32)
        _pipeline.right_winner(volume, best)
        np.testing.assert_array_equal(best, right_winner_numpy(volume))
        left = stereo.winner(volume)
        matched = np.empty(a.shape, np.uint8)
        _pipeline.left_right_check(left, best, settings.tolerance, matched)
        np.testing.assert_array_equal(matched, consistent_numpy(left, best, settings.tolerance))


CODES, VOLUME = np.zeros((3, 4), np.uint64), np.zeros((2, 3, 4), np.float32)


@pytest.mark.parametrize("call, out, message", [
    (lambda out: _pipeline.census_cost(CODES, CODES, -1, 0.1, 0.2, out), VOLUME, "first must be from 0 to 2**31 - 1"),
    (lambda out: _pipeline.census_cost(CODES, CODES, 0, 0.1, 0.2, out), np.zeros((2, 3, 5), np.float32),
     "argument 'cost' has shape (2, 3, 5)"),
    (lambda out: _pipeline.census_cost(out.view(np.uint64).reshape(3, 4), CODES, 0, 0.1, 0.2, out), VOLUME,
     "argument 'cost' shares memory with argument 'left'"),
    (lambda out: _pipeline.right_winner(VOLUME, out), np.zeros((3, 5), np.int32), "argument 'best' has shape (3, 5)"),
    (lambda out: _pipeline.left_right_check(VOLUME[0], VOLUME[1], 1.0, out), np.zeros((3, 4), np.uint8), "int32"),
])
def test_stereo_calls_that_do_not_fit_are_refused(call, out, message):
    out = out.copy()
    out.fill(5)
    with pytest.raises(ValueError, match=re.escape(message)):
        call(out)
    assert (out == 5).all()
