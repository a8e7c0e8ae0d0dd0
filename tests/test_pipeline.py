"""quiltmap._pipeline: each step against the NumPy form it replaces, to the
bit, and calls that do not fit refused before any work."""
import numpy as np
import pytest

import quiltmap
from quiltmap import Settings, _mvs, _pipeline
from quiltmap.demo import photograph, stereo, views_of
from quiltmap.reconstruction import census, consistency_mask, fill_holes, needed_views, select_heights

from oracles import (census_numpy, consistency_mask_numpy, fill_holes_numpy, select_heights_numpy,
                     stereo_winner_numpy)


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


@pytest.fixture(scope="module")
def real_volumes():
    """The two references' aggregated volumes of the demonstration's survey, its heights and seen counts."""
    made = photograph(size=48, seed=11)
    heights = np.linspace(*made.scene.z_range, Settings().labels)
    costs, seen = quiltmap.plane_sweep(views_of(made), made.scene.grid, heights, (0, 1))
    return [quiltmap.aggregate(cost) for cost in costs], heights, seen


def random_volume(kind, shape, seed):
    """Costs as sgm leaves them (a bowl per cell, drifting along the rows), or ties, infinities and NaN."""
    rng = np.random.default_rng(seed)
    D, H, W = shape
    if kind == "bowls":
        centre = D * (0.5 + 0.4 * np.sin(0.05 * np.arange(H * W))).reshape(H, W)
        return (((np.arange(D)[:, None, None] - centre) ** 2) / D + 0.01 * rng.random(shape)).astype(np.float32)
    volume = (rng.integers(0, 3, shape) * rng.choice([1.0, -1.0], shape)).astype(np.float32)  # ties, signed zeros
    special = rng.random(shape) < 0.02
    volume[special] = rng.choice(np.array([np.nan, np.inf, -np.inf], np.float32), np.count_nonzero(special))
    return volume


@pytest.mark.parametrize("kind, shape, agree, uniqueness", [
    ("bowls", (96, 9, 70), 2.0, 0.97), ("bowls", (7, 5, 33), 0.0, 1.0), ("ties", (2, 6, 50), 2.0, 0.97),
    ("ties", (5, 11, 40), 2.5, 0.5), ("ties", (4, 3, 20), 9.0, 0.97), ("ties", (96, 4, 70), 1.0, 0.0),
])
@pytest.mark.parametrize("heights_of", [
    lambda D: np.linspace(-3.0, 40.0, D), lambda D: np.linspace(0.1, -40.3, D, dtype=np.float32), lambda D: np.arange(D) * 3,
])
def test_select_heights_is_the_numpy_selection(kind, shape, agree, uniqueness, heights_of):
    volume, heights = random_volume(kind, shape, sum(shape)), heights_of(shape[0])
    z, unique = select_heights(volume, heights, Settings(agree=agree, uniqueness=uniqueness))
    expected_z, expected_unique = select_heights_numpy(volume, heights, agree, uniqueness)
    assert z.tobytes() == expected_z.tobytes()
    np.testing.assert_array_equal(unique, expected_unique)


@pytest.mark.parametrize("kind", ["bowls", "ties"])
def test_the_stereo_winner_is_the_selection_s(kind):
    volume = random_volume(kind, (64, 7, 45), 4)
    assert stereo.winner(volume).tobytes() == stereo_winner_numpy(volume).tobytes()


def test_the_steps_on_real_volumes_are_the_numpy_steps(real_volumes):
    aggs, heights, seen = real_volumes
    settings = Settings()
    picks = [select_heights(agg, heights, settings) for agg in aggs]
    for agg, (z, unique) in zip(aggs, picks):
        expected_z, expected_unique = select_heights_numpy(agg, heights, settings.agree, settings.uniqueness)
        assert z.tobytes() == expected_z.tobytes() and np.array_equal(unique, expected_unique)
        assert stereo.winner(agg).tobytes() == stereo_winner_numpy(agg).tobytes()
    matched, raw = consistency_mask(picks, seen, heights, settings, views=3)
    expected_matched, expected_raw = consistency_mask_numpy(picks, seen, heights, settings.agree, 3)
    assert np.array_equal(matched, expected_matched) and raw.tobytes() == expected_raw.tobytes()
    assert 0.1 < matched.mean() < 1
    for reach in (1, 3, None):
        assert fill_holes(raw, matched, reach).tobytes() == fill_holes_numpy(raw, matched, reach).tobytes()


@pytest.mark.parametrize("heights, views", [
    (np.linspace(0, 10, 11), None),
    ((np.arange(11) * 0.1).astype(np.float32), 2),  # a float32 tolerance: 1.5 * 0.1f rounds above the double product
    (np.linspace(0, 1, 3), 10 ** 30),
])
def test_consistency_mask_is_the_numpy_mask(heights, views):
    rng = np.random.default_rng(8)
    shape = (13, 37)
    settings = Settings(agree=1.5, best_views=2)
    tolerance = np.float32(settings.agree * (heights[1] - heights[0]))
    # Differences at the tolerance and a float32 step either side of it, from 0 (exact) or 3.25.
    za = rng.choice(np.array([0, 0, 3.25, np.nan], np.float32), shape)
    offsets = [tolerance, -tolerance, np.nextafter(tolerance, np.float32(1)), np.nextafter(tolerance, np.float32(0)), 7]
    zb = za + rng.choice(np.array(offsets + [np.inf], np.float32), shape)
    picks = [(za, rng.random(shape) < 0.8), (zb, rng.random(shape) < 0.8)]
    seen = rng.integers(0, 6, shape).astype(np.int32)
    matched, raw = consistency_mask(picks, seen, heights, settings, views=views)
    expected = consistency_mask_numpy(picks, seen, heights, settings.agree, needed_views(settings, views))
    assert np.array_equal(matched, expected[0]) and raw.tobytes() == expected[1].tobytes()
    assert 0 < matched.mean() < 0.5


@pytest.mark.parametrize("holes", [0.0, 0.5, 0.95, 1.0])
@pytest.mark.parametrize("reach", [0, 1, 2.5, 4, None, 10 ** 30, np.nan])
def test_fill_holes_is_the_numpy_filling(holes, reach):
    rng = np.random.default_rng(int(holes * 100))
    z = rng.choice(np.array([0.0, -0.0, 1.5, 2.0, np.inf, -np.inf, np.nan]), (23, 41), p=[.3, .3, .1, .1, .1, .05, .05])
    mask = rng.random(z.shape) >= holes
    mask[5:20, 8:35] = False  # one wide hole: many rings
    assert fill_holes(z, mask, reach).tobytes() == fill_holes_numpy(z, mask, reach).tobytes()


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


@pytest.mark.parametrize("call, error, message", [
    (lambda a, z, u: _pipeline.select_heights(a[:0], 0, 1, 2, 0.9, z, u), ValueError, "agg must have from 1"),
    (lambda a, z, u: _pipeline.select_heights(a, 0, 1, 2, 0.9, z[:3], u), ValueError, "'z' has shape (3, 5)"),
    (lambda a, z, u: _pipeline.select_heights(a, 0, 1, 2, 0.9, a[1], u), ValueError, "'z' shares memory with"),
    (lambda a, z, u: _pipeline.select_heights(a, 0, 1, 2, "0.9", z, u), TypeError, "must be real number"),
    (lambda a, z, u: select_heights(a.astype(np.float64), np.arange(3.0)), ValueError, "needs a float32 volume"),
    (lambda a, z, u: _pipeline.consistency_mask(z, u, z[:, :4].copy(), u, u.astype(np.int32), 1.0, 3, u, z),
     ValueError, "'zb' has shape (4, 4)"),
    (lambda a, z, u: _pipeline.consistency_mask(a[0], u, a[1], u, u.astype(np.int64), 1.0, 3, u, z), ValueError,
     "int32"),
    (lambda a, z, u: _pipeline.consistency_mask(a[0], u + 0, a[1], u + 0, u.astype(np.int32), 1.0, 3, u, a[0]), ValueError,
     "'raw' shares memory with argument 'za'"),
    (lambda a, z, u: _pipeline.fill_holes(z, 1, u.astype(np.int32), np.zeros((1, 20), np.int32)), ValueError,
     "'queue' has shape (1, 20) but needs (2, 20)"),
    (lambda a, z, u: _pipeline.fill_holes(z, 1, z.view(np.int32), np.zeros((2, 20), np.int32)), ValueError,
     "'ring' shares memory with argument 'z'"),
    (lambda a, z, u: _pipeline.fill_holes(z, 1.0, u.astype(np.int32), np.zeros((2, 20), np.int32)), TypeError,
     "cannot be interpreted as an integer"),
])
def test_selection_calls_that_do_not_fit_are_refused(call, error, message):
    volume, z, unique = np.ones((3, 4, 5), np.float32), np.full((4, 5), 7, np.float32), np.full((4, 5), 7, np.uint8)
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        call(volume, z, unique)
    assert (z == 7).all() and (unique == 7).all() and (volume == 1).all()
