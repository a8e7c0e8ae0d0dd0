"""Tiled runs on Dask: the exact steps give the untiled bits, matching agrees
on nearly every cell, a cluster survives a killed worker, and bad settings
are refused before any work."""
import os
import pickle
import signal
import threading
import time

import numpy as np
import pytest

from quiltmap import GroundGrid, Settings, filter_heights, orthomosaic, reconstruct
from quiltmap.demo import photograph, views_of
from quiltmap.survey import ImageFile, read_image
from quiltmap.tiled import Tiling, filter_tiled, orthomosaic_tiled, reconstruct_tiled

distributed = pytest.importorskip("distributed")
from conftest import not_under_sanitizers  # noqa: E402

# Worker processes would start the interpreter again under the sanitizers' preload, for minutes;
# a cluster that hangs fails its test instead of the whole run.
CLUSTER = [not_under_sanitizers("a cluster of worker processes"), pytest.mark.timeout(300)]


def cluster_test(test):
    for mark in CLUSTER:
        test = mark(test)
    return test


@pytest.fixture(scope="module")
def survey():
    made = photograph(160)
    return views_of(made), made.scene.grid, made.scene.z_range


@pytest.fixture(scope="module")
def untiled(survey):
    return reconstruct(*survey)


@pytest.fixture(scope="module")
def cluster():
    """Two worker processes on the loopback interface, shut down after the module."""
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0") as local:
        yield local


def same_bits(a, b):
    """Cells whose values have the same bits, NaN (unmatched) included."""
    a, b = np.asarray(a), np.asarray(b)
    return (a == b) | (np.isnan(a) & np.isnan(b)) if a.dtype.kind == "f" else a == b


# A grid whose corners and cell size are not binary fractions: cells of a tile
# and of the whole grid would land on different doubles if the tiles computed
# their own corners.
ODD_GRID = GroundGrid(-40.1037, 39.9287, 0.4931, 170, 150)


@pytest.mark.parametrize("grid_of", ["survey", "odd"])
@pytest.mark.parametrize("tiling, on_cluster", [(Tiling(64, 0), False), (Tiling(128, 3), False),
                                                pytest.param(Tiling(64, 0), True, marks=CLUSTER)])
def test_orthomosaic_is_the_untiled_bits(survey, untiled, request, grid_of, tiling, on_cluster):
    views, grid, _ = survey
    scheduler = request.getfixturevalue("cluster").scheduler_address if on_cluster else "threads"
    if grid_of == "odd":
        grid = ODD_GRID
        Z = np.random.default_rng(3).uniform(-2, 14, grid.shape).astype(np.float32)
    else:
        Z = untiled.filled
    mosaic, source = orthomosaic(views, grid, Z)
    tiled_mosaic, tiled_source = orthomosaic_tiled(views, grid, Z, tiling=tiling, scheduler=scheduler)
    assert (source >= 0).mean() > 0.5  # the views do see most of the grid
    assert same_bits(tiled_mosaic, mosaic).all()
    assert np.array_equal(tiled_source, source)


@pytest.mark.parametrize("radius", [1, 3, 6])
def test_filter_with_its_reach_as_margin_is_the_untiled_bits(untiled, radius):
    settings = Settings(radius=radius)
    expected = filter_heights(untiled.raw, untiled.matched, settings)
    tiled = filter_tiled(untiled.raw, untiled.matched, settings, tiling=Tiling(64, radius))
    assert same_bits(tiled, expected).all()


def test_heights_agree_and_exact_steps_hold_in_a_whole_tiled_run(survey, untiled, tmp_path):
    result = reconstruct_tiled(*survey, tiling=Tiling(64, 32), out=tmp_path)
    assert same_bits(result.heights, untiled.heights).mean() >= 0.995
    assert np.array_equal(result.matched, untiled.matched)
    # The orthomosaic of the run's own filled heights, which it reads back from its raster.
    mosaic, source = orthomosaic(survey[0], survey[1], np.asarray(result.filled))
    assert same_bits(result.orthomosaic, mosaic).all() and np.array_equal(result.source, source)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        f"{name}.tif" for name in ("heights", "filled", "raw", "matched", "orthomosaic", "source"))


@cluster_test
def test_cluster_run_is_the_threaded_run(survey, cluster):
    threaded = reconstruct_tiled(*survey, tiling=Tiling(64, 16))
    on_cluster = reconstruct_tiled(*survey, tiling=Tiling(64, 16), scheduler=cluster.scheduler_address)
    for name in ("heights", "filled", "raw", "matched", "orthomosaic", "source"):
        assert same_bits(getattr(on_cluster, name), getattr(threaded, name)).all(), name
    assert len(on_cluster.workers) == 2 and all(peak > 0 for peak in on_cluster.workers.values())


@cluster_test
def test_a_killed_worker_is_recovered_and_the_output_complete(survey, tmp_path):
    expected = reconstruct_tiled(*survey, tiling=Tiling(64, 16))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0") as local, distributed.Client(local) as client:
        finished = {}

        def run():
            finished["result"] = reconstruct_tiled(*survey, tiling=Tiling(64, 16),
                                                   scheduler=local.scheduler_address, out=tmp_path)

        runner = threading.Thread(target=run)
        runner.start()
        # Kill a worker once the run is under way: after its first tile, while others are in flight.
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and not client.run_on_scheduler(_some_tile_done):
            time.sleep(0.05)
        victim = next(iter(client.run(os.getpid).values()))
        os.kill(victim, signal.SIGKILL)
        assert "result" not in finished  # the kill came while tiles were still to do
        runner.join(timeout=300)
        assert not runner.is_alive()
    result = finished["result"]
    for name in ("heights", "filled", "raw", "matched", "orthomosaic", "source"):
        assert same_bits(getattr(result, name), getattr(expected, name)).all(), name


def _some_tile_done(dask_scheduler):
    return any(key_text(key).startswith("match_tile") and task.state == "memory"
               for key, task in dask_scheduler.tasks.items())


def key_text(key):
    return key if isinstance(key, str) else str(key[0])


@pytest.mark.parametrize("make, message", [
    (lambda: Tiling(64, 128), r"Tiling.tile \(64\) is smaller than Tiling.margin \(128\)"),
    (lambda: Tiling(100, 8), "Tiling.tile must be a multiple of 64 cells, not 100"),
    (lambda: Tiling(0, 0), "Tiling.tile must be an integer of at least 1"),
    (lambda: Tiling(64, -1), "Tiling.margin must be an integer of at least 0"),
])
def test_bad_tilings_are_refused(make, message):
    with pytest.raises(ValueError, match=message):
        make()


@pytest.mark.parametrize("keywords, error, message", [
    (dict(tiling=Tiling(64, 2)), ValueError, r"Tiling.margin \(2\) must be at least Settings.radius \(3\)"),
    (dict(workers=0), ValueError, "workers must be an integer of at least 1, not 0"),
    (dict(scheduler="gpu"), ValueError, "scheduler must be 'threads', 'cluster' or a Dask scheduler's address"),
    (dict(scheduler="tcp://127.0.0.1:9"), ConnectionError, "cannot reach the Dask scheduler at tcp://127.0.0.1:9"),
    (dict(scheduler="cluster", workers=0), ValueError, "workers must be an integer of at least 1"),
])
def test_bad_settings_are_refused_before_any_work(survey, tmp_path, keywords, error, message):
    with pytest.raises(error, match=message):
        reconstruct_tiled(*survey, out=tmp_path, **keywords)
    assert not any(tmp_path.glob("*.tif"))


@pytest.mark.parametrize("suffix, dtype", [(".tif", np.uint16), (".npy", np.float32), (".npy", np.uint8),
                                           (".png", np.uint8)])
def test_image_file_windows_are_the_image_s_pixels(tmp_path, suffix, dtype):
    tifffile = pytest.importorskip("tifffile")
    from PIL import Image

    rng = np.random.default_rng(5)
    high = 1.0 if dtype == np.float32 else np.iinfo(dtype).max
    pixels = (rng.uniform(0, high, (37, 53, 3))).astype(dtype)
    path = tmp_path / f"view{suffix}"
    if suffix == ".tif":
        tifffile.imwrite(path, pixels)
    elif suffix == ".npy":
        np.save(path, pixels)
    else:
        Image.fromarray(pixels).save(path)
    whole = read_image(path)
    image = pickle.loads(pickle.dumps(ImageFile(path)))
    assert image.shape == whole.shape == (37, 53, 3)
    for window in [(0, 37, 0, 53), (5, 6, 17, 40), (30, 37, 0, 1)]:
        y0, y1, x0, x1 = window
        assert np.array_equal(image.window(*window), whole[y0:y1, x0:x1])
