"""quiltmap._pipeline: each step against the NumPy form it replaces, to the
bit, and calls that do not fit refused before any work."""
import numpy as np
import pytest

from quiltmap import _mvs, _pipeline
from quiltmap.reconstruction import census

from oracles import census_numpy


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
