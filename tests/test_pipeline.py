"""quiltmap._pipeline: each step against the NumPy form it replaces, to the
bit, and calls that do not fit refused before any work."""
import re

import numpy as np
import pytest

from quiltmap import Settings, _mvs, _pipeline
from quiltmap.demo import photograph, views_of
from quiltmap.reconstruction import census, grey, view_windows, whole_windows

from oracles import census_numpy, label_cost_numpy, whole_windows_numpy


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


def holey(rng, shape, holes):
    """Validity bytes of any value, zero at about `holes` of the cells."""
    return np.where(rng.random(shape) < holes, 0, rng.integers(1, 256, shape)).astype(np.uint8)


@pytest.mark.parametrize("shape, r, step, holes", [
    ((1, 1), 1, 1, 0.0), ((5, 9), 2, 1, 0.0), ((30, 41), 2, 1, 0.01), ((30, 41), 3, 2, 0.002), ((20, 20), 0, 1, 0.1),
])
def test_whole_windows_and_census_whole_are_the_numpy_steps(shape, r, step, holes):
    rng = np.random.default_rng(sum(shape) + 7 * r + step)
    valid, samples = holey(rng, shape, holes), rng.integers(0, 4, shape).astype(np.float32)  # many ties
    samples[rng.random(shape) < 0.05] = np.nan
    expected = whole_windows_numpy(valid, r, step)
    codes, flags = np.full(shape, 9, np.uint64), np.full(shape, 7, np.uint8)
    _pipeline.census_whole(samples, valid, r, step, codes, flags)
    np.testing.assert_array_equal(flags, expected)
    np.testing.assert_array_equal(codes, np.where(expected, census_numpy(samples, r, r, step), 0))
    np.testing.assert_array_equal(whole_windows(valid.astype(bool), r, step), expected)  # _pipeline.whole_windows


def stacked(codes, whole, windows, rng):
    """match_cost's stacks of per-view arrays over their windows (flags as
    bytes of any nonzero value) and boxes, empty for no window."""
    stack = np.zeros((len(windows), max(code.size for code in codes)), np.uint64)
    flags = np.zeros(stack.shape, np.uint8)
    for v, (code, flag) in enumerate(zip(codes, whole)):
        stack[v, :code.size], flags[v, :code.size] = code.ravel(), flag.ravel() * rng.integers(1, 256, code.size)
    return stack, flags, np.array([window or (0, 0, 0, 0) for window in windows], np.int32)


@pytest.mark.parametrize("views, layout", [(2, "same"), (3, "partly"), (6, "partly"), (6, "same"), (4, "apart"),
                                           (5, "unseen"), (12, "partly")])
def test_match_cost_is_the_numpy_label_cost(views, layout):
    rng = np.random.default_rng(views * 31 + len(layout))
    (H, W), bits, reach = (23, 37), 24, 2
    windows = [(0, H, v * W // views, (v + 1) * W // views) if layout == "apart" else (0, H, 0, W)
               for v in range(views)]
    if layout == "partly":
        windows = [(int(r0), int(r1) + 1, int(c0), int(c1) + 1) for r0, r1, c0, c1 in
                   np.concatenate([np.sort(rng.integers(0, H, (views, 2))), np.sort(rng.integers(0, W, (views, 2)))], 1)]
    windows = [None if layout == "unseen" and v % 2 else window for v, window in enumerate(windows)]
    # Tie-rich codes: a few patterns, half of them a bit off; windows mostly whole.
    sizes = [(0, 0) if w is None else (w[1] - w[0], w[3] - w[2]) for w in windows]
    pool = rng.integers(0, 2**24, 5).astype(np.uint64)
    codes = [pool[rng.integers(0, 5, size)] ^ (np.uint64(1) << rng.integers(0, 24, size).astype(np.uint64))
             * (rng.random(size) < 0.5) for size in sizes]
    whole = [rng.random(size) > 0.1 for size in sizes]
    stack, flags, boxes = stacked(codes, whole, windows, rng)
    for a in range(views):
        for best_views in sorted({1, 2, 3, views - 1, views, views + 3, 10}):
            expected = label_cost_numpy(codes, whole, windows, a, bits, best_views, (H, W))
            plane, inner = np.full((H, W), np.nan, np.float32), np.full((H - 2 * reach, W - 2 * reach), np.nan, np.float32)
            _pipeline.match_cost(stack, flags, boxes, a, bits, best_views, plane)
            _pipeline.match_cost(stack, flags, boxes - reach, a, bits, best_views, inner)  # the inner cells' plane
            np.testing.assert_array_equal(plane, expected, err_msg=f"ref {a}, best {best_views}")
            np.testing.assert_array_equal(inner, expected[reach:-reach, reach:-reach])


def test_the_demonstration_survey_s_labels_cost_what_numpy_made_them():
    survey = photograph(size=40, seed=11)
    cameras, greys = [c for c, _ in views_of(survey)], [grey(image) for image in survey.images]
    settings, (low, high) = Settings(), survey.scene.z_range
    r, step = settings.window, settings.census_step(survey.scene.grid.gsd)
    grid = survey.scene.grid.grown(r * step)
    windows = view_windows(cameras, greys, grid, low, high, r * step, _mvs)
    for height in (low, 0.5 * (low + high)):
        made = {"numpy": ([], []), "kernels": ([], [])}
        for camera, image, (r0, r1, c0, c1) in zip(cameras, greys, windows):
            box = grid.window(r0, c0, r1 - r0, c1 - c0)
            samples, valid = np.zeros(box.shape, np.float32), np.zeros(box.shape, np.uint8)
            _mvs.sample_view(image, camera.R, camera.C, camera.f, camera.k1, camera.k2, camera.cx, camera.cy,
                             box.X0, box.Y0, box.gsd, np.full(box.shape, height, np.float32), samples[..., None], valid)
            made["numpy"][0].append(census_numpy(samples, r, r, step))
            made["numpy"][1].append(whole_windows_numpy(valid, r, step))
            made["kernels"][0].append(np.empty(box.shape, np.uint64))
            made["kernels"][1].append(np.empty(box.shape, np.uint8))
            _pipeline.census_whole(samples, valid, r, step, made["kernels"][0][-1], made["kernels"][1][-1])
        stack, flags, boxes = stacked(*made["kernels"], windows, np.random.default_rng(0))
        for a in (0, 1):
            plane = np.empty(grid.shape, np.float32)
            _pipeline.match_cost(stack, flags, boxes, a, 24, settings.best_views, plane)
            np.testing.assert_array_equal(plane, label_cost_numpy(*made["numpy"], windows, a, 24, settings.best_views,
                                                                  grid.shape))
            assert 0.0 < plane.mean() < 0.5


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
    (lambda a, c: _pipeline.whole_windows(np.zeros((6, 8), np.uint8), -1, 1, np.zeros((6, 8), np.uint8)), ValueError,
     "whole_windows(): r must be at least 0"),
    (lambda a, c: _pipeline.whole_windows(np.zeros((6, 8), np.int8), 1, 1, np.zeros((6, 8), np.uint8)), ValueError,
     "expected 'const unsigned char' but got 'signed char'"),
    (lambda a, c: _pipeline.census_whole(a, np.zeros((6, 8), np.uint8), 4, 1, c, np.zeros((6, 8), np.uint8)),
     ValueError, "census_whole(): r must be 0 to 3"),
    (lambda a, c: _pipeline.census_whole(a, np.zeros((6, 9), np.uint8), 1, 1, c, np.zeros((6, 8), np.uint8)),
     ValueError, "argument 'valid' has shape (6, 9)"),
    (lambda a, c: _pipeline.census_whole(a, np.zeros((6, 8), np.uint8), 1, 1, c, c.view(np.uint8).ravel()[:48]
                                         .reshape(6, 8)), ValueError, "argument 'whole' shares memory with argument 'codes'"),
    (lambda a, c: _pipeline.match_cost(c, np.zeros((6, 8), np.uint8), np.zeros((6, 4), np.int32), 6, 24, 3, a),
     ValueError, "match_cost(): ref must name one of the views"),
    (lambda a, c: _pipeline.match_cost(c, np.zeros((6, 8), np.uint8), np.zeros((5, 4), np.int32), 0, 24, 3, a),
     ValueError, "argument 'boxes' has shape (5, 4) but needs (6, 4)"),
    (lambda a, c: _pipeline.match_cost(c, np.zeros((6, 8), np.uint8), np.array(5 * [(0, 0, 0, 0)] + [(0, 3, 0, 3)],
                                       np.int32), 0, 24, 3, a), ValueError, "boxes[5] must be (first row, end row"),
    (lambda a, c: _pipeline.match_cost(c, np.zeros((6, 8), np.uint8), np.zeros((6, 4), np.int32), 0, 24, 3,
                                       c.view(np.float32).ravel()[:48].reshape(6, 8)), ValueError,
     "argument 'plane' shares memory with argument 'codes'"),
])
def test_calls_that_do_not_fit_are_refused(call, error, message):
    image = np.zeros((6, 8), np.float32)
    codes = np.zeros((6, 8), np.uint64)
    with pytest.raises(error, match=re.escape(message)):
        call(image, codes)
    assert not codes.any()
