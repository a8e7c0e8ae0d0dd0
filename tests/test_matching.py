"""The matching steps as a survey of real photographs needs them: a sweep
that samples each view only where it can see, census windows of a size on
the ground, three photographs, references chosen by the survey, holes
filled only so far, and runs that match nothing said to have failed."""
import warnings

import numpy as np
import pytest

import quiltmap
from quiltmap import GroundGrid, Settings
from quiltmap.demo import photograph, views_of
from quiltmap.reconstruction import MatchWarning, census, choose_references, fill_holes, plane_sweep

from oracles import whole_windows_numpy as whole_windows


@pytest.fixture(scope="module")
def survey():
    made = photograph(size=48, seed=11)
    return views_of(made), made.scene.grid, made.scene.z_range


def whole_grid_sweep(views, grid, heights, refs, settings):
    """The plane sweep as it reads: every view sampled over the whole grown
    grid at every height, the census window checked sample by sample."""
    r, step = settings.window, settings.census_step(grid.gsd)
    reach = r * step
    grown = grid.grown(reach)
    bits = (2 * r + 1) ** 2 - 1
    costs = [np.empty((len(heights),) + grown.shape, np.float32) for _ in refs]
    for d, height in enumerate(heights):
        codes, whole = [], []
        for camera, image in views:
            out = np.zeros(grown.shape + (1,), np.float32)
            valid = np.zeros(grown.shape, np.uint8)
            quiltmap._mvs.sample_view(quiltmap.reconstruction.grey(image), camera.R, camera.C, camera.f, camera.k1,
                                      camera.k2, camera.cx, camera.cy, grown.X0, grown.Y0, grown.gsd,
                                      np.full(grown.shape, height, np.float32), out, valid)
            codes.append(census(out[..., 0], r, step=step))
            whole.append(whole_windows(valid, r, step))
        for k, a in enumerate(refs):
            distances = np.stack([np.where(whole[a] & whole[b], np.bitwise_count(codes[a] ^ codes[b]) / bits, np.inf)
                                  for b in range(len(views)) if b != a])
            best = np.sort(distances, axis=0)[: settings.best_views]
            count = np.isfinite(best).sum(axis=0)
            mean = np.where(np.isfinite(best), best, 0.0).sum(axis=0) / np.maximum(count, 1)
            costs[k][d] = np.where(count > 0, mean, 0.5)
    return [c[:, reach:-reach, reach:-reach] for c in costs]


@pytest.mark.parametrize("grid_of, window_extent", [
    ("same", 1.0),
    ("wider", 1.0),      # a grid far larger than what the views see: its outer cells are skipped
    ("finer", 1.0),      # cells of a quarter the size: census samples two cells apart
    ("finer", 0.3),
])
def test_the_sweep_gives_the_whole_grid_sweep_s_bits(survey, grid_of, window_extent):
    views, grid, z_range = survey
    if grid_of == "wider":
        grid = GroundGrid(grid.X0 - 40, grid.Y0 + 25, grid.gsd, grid.rows + 130, grid.columns + 110)
    elif grid_of == "finer":
        grid = GroundGrid(grid.X0 + 5, grid.Y0 - 5, grid.gsd / 4, 60, 70)
    settings = Settings(labels=6, window_extent=window_extent)
    heights = np.linspace(*z_range, settings.labels)
    costs, _ = plane_sweep(views, grid, heights, (0, 1), settings)
    for got, expected in zip(costs, whole_grid_sweep(views, grid, heights, (0, 1), settings)):
        np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize("rows, columns, step", [(1, 1, 1), (2, 2, 1), (3, 3, 2), (1, 3, 3), (2, 1, 4)])
def test_census_bits_are_the_window_s_darker_samples(rows, columns, step):
    a = np.random.default_rng(rows * 10 + step).integers(0, 5, (9, 11)).astype(np.float32)
    code = census(a, rows, columns, step)
    padded = np.pad(a, ((rows * step,) * 2, (columns * step,) * 2), mode="edge")
    for y in range(a.shape[0]):
        for x in range(a.shape[1]):
            bits = [padded[y + (rows + dy) * step, x + (columns + dx) * step] < a[y, x]
                    for dy in range(-rows, rows + 1) for dx in range(-columns, columns + 1) if dy or dx]
            assert int(code[y, x]) == sum(int(bit) << i for i, bit in enumerate(bits))


@pytest.mark.parametrize("gsd, extent, step", [(0.5, 1.0, 1), (0.25, 1.0, 2), (0.1, 1.0, 5), (0.15, 1.0, 3),
                                               (2.0, 1.0, 1)])
def test_the_census_window_spans_its_extent_on_the_ground(gsd, extent, step):
    assert Settings(window_extent=extent).census_step(gsd) == step


def test_three_photographs_match(survey):
    views, grid, z_range = survey
    nadir, east_oblique = views[:2], views[3]
    result = quiltmap.reconstruct(nadir + [east_oblique], grid, z_range, Settings(labels=32))
    assert result.matched.mean() > 0.5


def test_references_are_the_most_nadir_pair_that_overlaps_most(survey):
    views, grid, z_range = survey
    cameras = [camera for camera, _ in views]
    assert choose_references(cameras, grid, z_range) == (0, 1)
    order = [4, 2, 1, 5, 0, 3]
    assert sorted(order[i] for i in choose_references([cameras[i] for i in order], grid, z_range)) == [0, 1]


def test_holes_are_filled_only_so_far():
    z = np.zeros((40, 40), np.float32)
    matched = np.zeros((40, 40), bool)
    matched[:, :5] = True
    z[:, :5] = np.arange(40)[:, None]
    filled = fill_holes(z, matched, reach=3)
    assert np.isfinite(filled[:, :8]).all() and np.isnan(filled[:, 8:]).all()
    np.testing.assert_array_equal(filled[5:35, 7], np.arange(2, 32))  # the lowest of the neighbours, ring by ring
    assert np.isnan(fill_holes(z, np.zeros_like(matched))).all()  # nothing matched: nothing invented


def test_cells_beyond_the_fill_reach_have_no_height_and_no_colour(survey):
    views, grid, z_range = survey
    result = quiltmap.reconstruct(views, grid, z_range, Settings(labels=24, fill_reach=0.0))
    unmatched = ~result.matched
    assert unmatched.any()
    assert np.isnan(result.filled[unmatched]).all() and (result.source[unmatched] == -1).all()


def test_a_grid_no_view_sees_is_refused(survey):
    views, grid, z_range = survey
    away = GroundGrid(grid.X0 + 5000, grid.Y0, grid.gsd, grid.rows, grid.columns)
    with pytest.raises(ValueError, match="0 of the 6 views see any of the grid"):
        quiltmap.reconstruct(views, away, z_range)


@pytest.mark.parametrize("east, settings, cause", [
    (40.0, Settings(labels=8), "only 0.0 % of the grid is seen whole by 4 views"),  # two views see it
    (0.0, Settings(labels=8, uniqueness=0.0), "the height range -3 to 22 may not hold the ground"),
])
def test_a_run_that_matches_nothing_warns_with_the_cause(survey, east, settings, cause):
    views, grid, z_range = survey
    grid = GroundGrid(grid.X0 + east, grid.Y0, grid.gsd, 24, 24)
    with pytest.warns(MatchWarning, match=r"matched 0\.0 % of the cells: " + cause.replace(".", r"\.")):
        quiltmap.reconstruct(views, grid, z_range, settings)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        quiltmap.reconstruct(views, grid if east == 0 else survey[1], z_range, Settings(labels=16))


def test_the_command_writes_nothing_for_a_run_that_matches_nothing(exported, tmp_path, capsys):
    from conftest import broken
    from quiltmap.__main__ import main

    def nothing_unique(description, folder):
        description["settings"]["uniqueness"] = 0.0
    survey, out = broken(exported, tmp_path, nothing_unique), tmp_path / "out"
    assert main(["reconstruct", str(survey), "--out", str(out), "--quiet"]) == 2
    err = capsys.readouterr().err
    assert err.startswith("quiltmap: error: matched 0.") and "may not hold the ground" in err
    assert not out.exists()
