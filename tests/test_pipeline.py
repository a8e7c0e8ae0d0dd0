"""quiltmap._pipeline: each step against the NumPy form it replaces, to the
bit, and calls that do not fit refused before any work."""
import re

import numpy as np
import pytest

import quiltmap
from quiltmap import Camera, GroundGrid, Settings, _mvs, _pipeline
from quiltmap.demo import photograph, stereo, views_of
from quiltmap.demo.render import look_at, make_cameras
from quiltmap.demo.scene import make_scene
from quiltmap.raycast import block_peaks, cast, scene_arguments
from quiltmap.reconstruction import (census, consistency_mask, fill_holes, grey, mosaic_heights, needed_views,
                                     select_heights, view_windows, visible_from, whole_windows)
from quiltmap.tiled import heights_window, ray_reach

from oracles import (bilinear_numpy, cast_numpy, census_numpy, consistency_mask_numpy, consistent_numpy,
                     cost_volume_numpy, fill_holes_numpy, label_cost_numpy, right_winner_numpy, select_heights_numpy,
                     stereo_winner_numpy, visible_from_numpy, whole_windows_numpy)


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


@pytest.mark.parametrize("shape, rows, columns, step", [((5, 7), 1, 2, 1), ((6, 4), 2, 1, 3), ((3, 9), 3, 3, 2)])
def test_census_bits_are_their_definition(shape, rows, columns, step):
    """Bit k of a cell's code: the k-th other sample of its window, row by row, is darker than the centre;
    samples beyond the grid are its edge cells'; NaN is darker than nothing and nothing is darker than it."""
    rng = np.random.default_rng(sum(shape))
    a = rng.integers(0, 4, shape).astype(np.float32)  # ties
    a[rng.random(shape) < 0.1] = np.nan
    code = census(a, rows, columns, step)
    H, W = shape
    for y in range(H):
        for x in range(W):
            bit = 0
            for dy in range(-rows, rows + 1):
                for dx in range(-columns, columns + 1):
                    if dy == dx == 0:
                        continue
                    sample = a[min(max(y + dy * step, 0), H - 1), min(max(x + dx * step, 0), W - 1)]
                    assert (int(code[y, x]) >> bit) & 1 == (sample < a[y, x]), (y, x, dy, dx)
                    bit += 1
            assert int(code[y, x]) >> bit == 0


@pytest.mark.parametrize("shape", [(9, 21, 34), (5, 90, 70)])  # the second shared column by column
@pytest.mark.parametrize("threads", [1, 2, 3])
def test_sgm_into_given_volumes_is_mvs_sgm(shape, threads):
    cost = np.random.default_rng(3).random(shape).astype(np.float32)
    agg, path = np.full_like(cost, np.nan), np.full_like(cost, 5.0)
    for _ in range(2):  # whatever the volumes held
        _pipeline.sgm(cost, 0.1, 0.6, agg, path, threads)
        np.testing.assert_array_equal(agg.view(np.uint32), _mvs.sgm(cost, 0.1, 0.6).view(np.uint32))


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


@pytest.mark.parametrize("costs, height, unique", [
    ([0.0, 1.0, 2.0, 3.0, 4.0, 5.0], 10.0, True),        # best at the lowest label: no refinement below the range
    ([5.0, 4.0, 3.0, 2.0, 1.0, 0.5], 15.0, True),        # best at the highest label: none above it
    ([3.0, 1.0, 0.0, 2.0, 3.0, 3.0], 12.0 - 0.5 / 3, True),  # the parabola's vertex, towards the cheaper side
    ([2.0, 0.0, 2.0, 0.0, 2.0, 2.0], 11.0, False),       # a tie: the first label, and a rival 2 labels away
    ([2.0, 0.0, 0.1, 2.0, 2.0, 2.0], 11.0 + 0.95 / 2.1, True),  # the rival within `agree`: still unique
])
def test_select_heights_chooses_refines_and_judges_as_it_says(costs, height, unique):
    volume = np.array(costs, np.float32)[:, None, None]
    z, is_unique = select_heights(volume, np.arange(10.0, 16.0), Settings(agree=1.0, uniqueness=0.97))
    assert z[0, 0] == pytest.approx(height, abs=1e-5) and bool(is_unique[0, 0]) is unique


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
                                np.zeros((2, 6, 7), np.float32), 1), ValueError, "argument 'path' has shape"),
    *[(lambda a, c, n=n: _pipeline.sgm(np.zeros((2, 6, 8), np.float32), 1, 2, np.zeros((2, 6, 8), np.float32),
                                       np.zeros((2, 6, 8), np.float32), n), ValueError,
       "sgm(): threads must be from 1 to 64") for n in (0, 65)],
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


# ---------------------------------------------------------------------------
# Ray casting: the kernels against the NumPy caster, and both against a fine march.

ODD_GRID = GroundGrid(-40.1037, 39.9287, 0.4931, 70, 61)


def height_model(kind, grid, seed):
    """Heights of `grid`: rolling ground with NaN holes, flat, spikes, or towers."""
    rng = np.random.default_rng(seed)
    r, c = np.mgrid[0:grid.rows, 0:grid.columns]
    Z = (3 * np.sin(0.17 * r) * np.cos(0.11 * c)).astype(np.float32)
    if kind == "flat":
        Z[:] = 2.0
    elif kind == "holes":
        Z[rng.random(Z.shape) < 0.15] = np.nan
    elif kind == "spikes":
        spikes = rng.random(Z.shape) < 0.04
        Z[spikes] = rng.uniform(5, 30, spikes.sum()).astype(np.float32)
    elif kind == "towers":  # walls on and off the 16-cell blocks
        Z[((r // 7) % 3 == 1) & ((c // 11) % 2 == 1)] = 14.0
    return Z


def camera_at(grid, offset, height):
    """A camera `height` above the grid's centre moved by `offset` (in grid widths), looking at the centre."""
    extent = grid.columns * grid.gsd
    centre = np.array([grid.X0 + extent / 2, grid.Y0 - grid.rows * grid.gsd / 2, 0.0])
    C = centre + [offset[0] * extent, offset[1] * extent, height]
    return Camera(look_at(C, centre), C, 1000.0, 0.0, 0.0, 0.0, 0.0, 100, 100)


CAMERAS = {"nadir": ((0.05, -0.03), 120.0), "oblique": ((0.6, 0.3), 60.0), "low": ((-1.5, 0.8), 25.0)}


@pytest.mark.parametrize("kind", ["holes", "flat", "spikes", "towers"])
@pytest.mark.parametrize("camera", sorted(CAMERAS))
def test_visibility_is_the_numpy_visibility(kind, camera):
    Z = height_model(kind, ODD_GRID, 5)
    cam = camera_at(ODD_GRID, *CAMERAS[camera])
    z_range = mosaic_heights(Z)
    seen = visible_from(cam, ODD_GRID, Z, z_range)
    assert seen.dtype == bool and seen.any()
    np.testing.assert_array_equal(seen, visible_from_numpy(cam, ODD_GRID, Z, z_range))
    # A region whose heights window starts mid-grid and holds what the rays pass over, as a tile's does.
    region = (33, 61, 21, 50)
    r0, r1, c0, c1 = heights_window(ODD_GRID, region, ray_reach([cam], ODD_GRID, region, z_range))
    window = Z[r0:r1, c0:c1]
    seen = visible_from(cam, ODD_GRID, window, z_range, region, (r0, c0))
    np.testing.assert_array_equal(seen, visible_from_numpy(cam, ODD_GRID, window, z_range, region, (r0, c0)))
    np.testing.assert_array_equal(seen, visible_from(cam, ODD_GRID, Z, z_range)[33:61, 21:50])


@pytest.mark.parametrize("refine, block", [(8, 16), (6, 16), (0, 4), (3, 1), (5, 7)])
def test_cast_is_the_numpy_cast(refine, block):
    rng = np.random.default_rng(refine + block)
    Z = height_model("spikes", ODD_GRID, block)
    Z[rng.random(Z.shape) < 0.1] = np.nan
    cam = camera_at(ODD_GRID, (0.4, -0.2), 50.0)
    targets = np.stack([rng.uniform(ODD_GRID.X0, ODD_GRID.X0 + 30, 400),
                        rng.uniform(ODD_GRID.Y0 - 34, ODD_GRID.Y0, 400), rng.uniform(-3, 30, 400)], axis=1)
    dirs = targets - cam.C
    dirs[:8, 2] = [0.0, 1.0, -1e-9, -1.1e-9, 0.5, -0.0, 1e-12, -2.0]  # level, climbing and barely descending rays
    dirs /= np.linalg.norm(dirs, axis=1)[:, None]
    z_range = (-4.0, 31.0)
    t = cast(Z, ODD_GRID, cam.C, dirs, z_range, refine, block)
    np.testing.assert_array_equal(t, cast_numpy(Z, ODD_GRID, cam.C, dirs, z_range, refine, block))


@pytest.fixture(scope="module")
def town():
    """The demonstration's scene of 96 cells, its cameras and its true heights with holes."""
    scene = make_scene(96, seed=7)
    rng = np.random.default_rng(8)
    cameras = make_cameras(scene, rng)
    Z = scene.truth.copy()
    Z[rng.random(Z.shape) < 0.02] = np.nan
    return scene, cameras, Z


def test_the_town_s_visibility_and_rendered_rays_are_the_numpy_caster_s(town):
    scene, cameras, Z = town
    z_range = mosaic_heights(Z)
    for cam in cameras:
        np.testing.assert_array_equal(visible_from(cam, scene.grid, Z, z_range),
                                      visible_from_numpy(cam, scene.grid, Z, z_range))
    # The renderer's rays: a band of pixels of the most oblique view, over the fine heights.
    cam = make_cameras(scene, np.random.default_rng(8))[5]
    v, u = np.meshgrid(np.arange(100, 112) + 0.25, np.arange(0, cam.width, 3) + 0.25, indexing="ij")
    dirs = cam.rays(u.ravel(), v.ravel())
    render_range = (float(scene.heights.min()) - 0.5, float(scene.heights.max()) + 0.5)
    np.testing.assert_array_equal(cast(scene.heights, scene.fine, cam.C, dirs, render_range),
                                  cast_numpy(scene.heights, scene.fine, cam.C, dirs, render_range))


def fine_march(cam, grid, Z, z_range, cells, dt, rays=256):
    """Per cell of Z[cells], from the top of z_range in steps of dt: the
    first t at or below the surface (t_end if none) and the first t above it
    again after that; and the cell's distance and the caster's step along
    its ray (cells without a height are marched to height 0)."""
    X, Y = (axis[cells] for axis in grid.centres())
    P = np.stack([X, Y, np.nan_to_num(Z[cells])], axis=-1).reshape(-1, 3).astype(np.float64)
    d = P - cam.C
    distance = np.linalg.norm(d, axis=1)
    dirs = d / distance[:, None]
    step = np.minimum(0.7 * grid.gsd / np.hypot(dirs[:, 0], dirs[:, 1]), 0.5 / -dirs[:, 2])
    t_start = (z_range[1] - cam.C[2]) / dirs[:, 2]
    t_end = (z_range[0] - cam.C[2]) / dirs[:, 2]
    hit, up = t_end.copy(), t_end.copy()
    for i in range(0, len(P), rays):
        part = slice(i, i + rays)
        t = t_start[part, None] + dt * np.arange(int(np.nanmax(t_end[part] - t_start[part]) / dt) + 2)
        p = cam.C + t[..., None] * dirs[part, None, :]
        with np.errstate(invalid="ignore"):
            below = (p[..., 2] <= bilinear_numpy(Z, grid, p[..., 0], p[..., 1])) & (t <= t_end[part, None])
        first = below.argmax(axis=1)
        above = ~below & (np.arange(t.shape[1]) > first[:, None])
        crossed = below.any(axis=1)
        hit[part] = np.where(crossed, t[np.arange(len(t)), first], t_end[part])
        up[part] = np.where(crossed & above.any(axis=1), t[np.arange(len(t)), above.argmax(axis=1)], t_end[part])
    return hit, up, distance, step


@pytest.mark.parametrize("camera", sorted(CAMERAS))
def test_visibility_is_a_fine_march_s_but_for_grazing_rays(town, camera):
    """The caster steps most of a cell: it can pass over the tip of a ridge
    that a march in steps of 0.05 finds. Every disagreement must be such a
    graze, a ray under the surface for less than one of the caster's steps,
    or a crossing within a step of the cell itself; and they are few."""
    scene, _, Z = town
    grid = scene.grid
    cam = camera_at(grid, *CAMERAS[camera])
    z_range = mosaic_heights(Z)
    region = (24, 72, 24, 72)
    seen = visible_from(cam, grid, Z, z_range, region).ravel()
    cells = np.s_[24:72, 24:72]
    hit, up, distance, step = fine_march(cam, grid, Z, z_range, cells, 0.05)
    reach = distance - 0.5 * grid.gsd
    marched = hit >= reach
    grazing = (up - hit < step) | (np.abs(hit - reach) < step)
    known = np.isfinite(Z[cells]).ravel()
    differ = known & (seen != marched)
    assert not (differ & ~grazing).any(), np.flatnonzero(differ & ~grazing)[:10]
    assert differ.sum() <= 0.02 * known.sum(), f"{differ.sum()} grazing rays of {known.sum()}"
    assert seen[known].mean() > 0.5 and (camera == "nadir" or not seen[known].all())  # walls hide cells


# A scene the refused calls below change one argument of.
SCENE = dict(X0=0.0, Y0=0.0, gsd=1.0, rows=20, columns=24, window_row=0, window_column=0,
             origin=np.array([5.0, -5.0, 40.0]), z_range=np.array([-1.0, 1.0]), refine=6, block=16)


def visibility_call(region=(0, 0), visible=None, **changed):
    return lambda Z, peaks, out: _pipeline.visibility(Z, peaks, **{**SCENE, **changed}, region_row=region[0],
                                                      region_column=region[1],
                                                      visible=out if visible is None else visible(out))


DIRECTIONS = np.zeros(9)


def cast_call(dirs, t, **changed):
    return lambda Z, peaks, out: _pipeline.cast_rays(Z, peaks, **{**SCENE, **changed}, dirs=dirs, t=t)


@pytest.mark.parametrize("call, message", [
    (lambda Z, peaks, out: _pipeline.block_peaks(Z, 16, np.zeros((3, 3), np.float32)), "argument 'peaks' has shape"),
    (lambda Z, peaks, out: _pipeline.block_peaks(Z, 0, peaks), "block must be from 1 to 65536"),
    (visibility_call(gsd=0.0), "gsd finite and positive"),
    (visibility_call(X0=np.inf), "X0, Y0 must be finite"),
    (visibility_call(rows=2**31), "the grid must have from 1 to 2^31 - 1 rows"),
    (visibility_call(window_row=8), "the window must start at a cell of the grid on a block boundary"),
    (visibility_call(window_row=16, rows=30), "the heights window must lie inside the grid"),
    (visibility_call(region=(1, 0)), "the region must lie inside the heights window"),
    (visibility_call(refine=65), "refine must be from 0 to 64"),
    (visibility_call(origin=np.array([0, np.nan, 9])), "origin and z_range must be finite"),
    (visibility_call(origin=np.zeros(2)), "argument 'origin' has shape (2,)"),
    (visibility_call(z_range=np.zeros(3)), "argument 'z_range' has shape (3,)"),
    (visibility_call(block=8), "argument 'peaks' has shape (2, 2)"),
    (visibility_call(visible=lambda out: out.view(np.int8)), "expected 'uint8_t'"),
    (cast_call(np.array([[0, 0, -1.0], [0, np.inf, -1]]), np.zeros(2)), "dirs must be finite"),
    (cast_call(np.zeros((2, 3)), np.zeros(3)), "argument 't' has shape (3,)"),
    (cast_call(np.zeros((2, 4)), np.zeros(2)), "argument 'dirs' has shape (2, 4)"),
    (cast_call(DIRECTIONS.reshape(3, 3), DIRECTIONS[:3]), "argument 't'"),  # distances into their own directions
])
def test_ray_casts_that_do_not_fit_are_refused(call, message):
    Z = np.zeros((20, 24), np.float32)
    peaks = block_peaks(Z, 16)
    visible = np.full((20, 24), 7, np.uint8)
    with pytest.raises((ValueError, TypeError), match=re.escape(message)):
        call(Z, peaks, visible)
    assert (visible == 7).all()
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


def random_codes(rng, shape, bits):
    """Census codes of two images: random, some shifted to a few bits, some empty or full."""
    codes = rng.integers(0, 2 ** bits - 1, (2, *shape), np.uint64, endpoint=True)
    codes >>= rng.choice(np.array([0, 8, 40], np.uint64), codes.shape)
    extreme = rng.random(codes.shape) < 0.1
    codes[extreme] = rng.choice(np.array([0, 2 ** bits - 1], np.uint64), extreme.sum())
    return codes


@pytest.mark.parametrize("shape, D, bits, split", [((1, 1), 1, 62, 0), ((17, 70), 16, 64, 3), ((30, 257), 64, 62, 32)])
def test_census_counts_scaled_are_the_census_cost(shape, D, bits, split):
    a, b = random_codes(np.random.default_rng(D), shape, bits)
    counts = np.full((D, *shape), 7, np.uint8)
    _pipeline.census_counts(a, b, 0, counts[:split])
    _pipeline.census_counts(a, b, split, counts[split:])
    outside = np.float32(0.2)
    scaled = np.where(counts == 255, outside, counts.astype(np.float32) * np.float32(1.0 / bits))
    np.testing.assert_array_equal(scaled.view(np.uint32), cost_volume_numpy(a, b, bits, D, outside).view(np.uint32))


@pytest.mark.parametrize("shape", [(9, 21, 34), (64, 60, 90)])
@pytest.mark.parametrize("threads", [1, 2, 3])
def test_sgm_of_counts_is_sgm_of_their_costs(shape, threads):
    D, H, W = shape
    a, b = random_codes(np.random.default_rng(W), (H, W), 62)
    counts = np.empty(shape, np.uint8)
    _pipeline.census_counts(a, b, 0, counts)
    cost = cost_volume_numpy(a, b, 62, D, 0.2)
    agg, path = np.full(shape, np.nan, np.float32), np.full(shape, 5.0, np.float32)
    for _ in range(2):  # whatever the volumes held
        _pipeline.sgm_counts(counts, 1.0 / 62, 0.2, 0.1, 0.5, agg, path, threads)
        np.testing.assert_array_equal(agg.view(np.uint32), _mvs.sgm(cost, 0.1, 0.5).view(np.uint32))


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
    (lambda out: _pipeline.census_counts(CODES, CODES, 0, out), np.zeros((2, 4, 4), np.uint8),
     "argument 'counts' has shape (2, 4, 4)"),
    (lambda out: _pipeline.census_counts(CODES, CODES, 0, out), VOLUME, "uint8"),
    (lambda out: _pipeline.sgm_counts(np.zeros((2, 3, 4), np.uint8), 0.1, 0.2, 1, 2, out, VOLUME.copy(), 2),
     np.zeros((2, 3, 5), np.float32), "argument 'agg' has shape (2, 3, 5)"),
    (lambda out: _pipeline.sgm_counts(out.reshape(-1).view(np.uint8)[:24].reshape(2, 3, 4), 0.1, 0.2, 1, 2, out,
                                      VOLUME.copy(), 2), VOLUME, "argument 'agg' shares memory with argument 'counts'"),
    (lambda out: _pipeline.sgm_counts(np.zeros((2, 3, 4), np.uint8), 0.1, 0.2, 1, 2, out, VOLUME.copy(), 65), VOLUME,
     "threads must be from 1 to 64"),
    (lambda out: _pipeline.right_winner(VOLUME, out), np.zeros((3, 5), np.int32), "argument 'best' has shape (3, 5)"),
    (lambda out: _pipeline.left_right_check(VOLUME[0], VOLUME[1], 1.0, out), np.zeros((3, 4), np.uint8), "int32"),
])
def test_stereo_calls_that_do_not_fit_are_refused(call, out, message):
    out = out.copy()
    out.fill(5)
    with pytest.raises(ValueError, match=re.escape(message)):
        call(out)
    assert (out == 5).all()
