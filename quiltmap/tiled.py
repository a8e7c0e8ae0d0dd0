"""Tiled reconstruction on Dask, for surveys larger than one machine.

The ground grid is cut into square tiles. Each tile is matched in a task of
its own, over the tile and a margin of cells around it: the task reads only
the windows of the photographs that those cells can image into over the
height range, runs every step up to the filled height model with the
kernels, and writes the tile's interior into the output rasters. A second
task per tile makes the tile's orthomosaic from the filled heights of the
tile and of the cells its rays to the cameras pass over. The outputs are
uncompressed GeoTIFF files on the grid that the tasks fill part by part
(memory-mapped), so no process ever holds a whole raster; the folder must
be reachable at the same path by every worker.

What a tile costs, in bytes, with B = tile + 2 margin + 2 window cells on a
side and D labels (`task_memory`): about B^2 (16 D + 100): the two cost
volumes and sgm's result (12 bytes per cell and label, measured at 15 with
the temporaries) and the per-cell rasters, plus 16 bytes per pixel of the
photographs' windows; never anything in proportion to the survey.

Exactness: the filter (with a margin of at least its radius) and the
orthomosaic give the untiled run's bits, given the same heights; matching
sees only its tile and margin, so labels can differ near tile borders (the
default margin keeps at least 99.5 % of the demonstration's heights equal
to the untiled run's).

Schedulers: "threads" (the default; Dask's local threaded scheduler: the
kernels release the interpreter lock, so tiles run in parallel on the
cores), "cluster" (a `dask.distributed.LocalCluster` of worker processes on
this machine), or the address of a running Dask scheduler
("tcp://host:8786"). Needs the `tiled` extras.
"""
import asyncio
import math
import mmap
import os
import resource
import shutil
import tempfile
import time
from collections import defaultdict
from contextlib import contextmanager, nullcontext
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from .geometry import GroundGrid, View
from .reconstruction import (MOSAIC_BLOCK, KernelClock, Result, Settings, Stages, _check_survey, filter_heights,
                             grey, match_heights, mosaic_heights, mosaic_region)

__all__ = ["Tiling", "reconstruct_tiled", "filter_tiled", "orthomosaic_tiled", "tiles_of", "task_memory",
           "DEFAULT_TILE", "DEFAULT_MARGIN"]

DEFAULT_TILE = 512
DEFAULT_MARGIN = 32  # at least 99.5 % of heights as untiled on the demonstration, from 128-cell tiles on
# The ray caster's blocks (raycast.cast): a window of heights starts on one.
CAST_BLOCK = 16
# Rasters of a run: name, element type, whether it has the photographs' channels.
RASTERS = (("heights", np.float32, False), ("filled", np.float32, False), ("raw", np.float32, False),
           ("matched", np.uint8, False), ("orthomosaic", np.float32, True), ("source", np.int8, False))


@dataclass(frozen=True)
class Tiling:
    """How the grid is cut. tile: cells on a side of a tile's interior, a
    multiple of 64 so that tiles start on the orthomosaic's sampling blocks;
    margin: cells of context matched around each tile, at least the
    filter's radius (Settings.radius), and not more than the tile."""

    tile: int = DEFAULT_TILE
    margin: int = DEFAULT_MARGIN

    def __post_init__(self):
        for name, least in (("tile", 1), ("margin", 0)):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < least:
                raise ValueError(f"Tiling.{name} must be an integer of at least {least}, not {value!r}")
        if self.tile < self.margin:
            raise ValueError(f"Tiling.tile ({self.tile}) is smaller than Tiling.margin ({self.margin}): "
                             f"a tile would be mostly margin")
        if self.tile % MOSAIC_BLOCK:
            raise ValueError(f"Tiling.tile must be a multiple of {MOSAIC_BLOCK} cells, not {self.tile}")


def tiles_of(shape: Tuple[int, int], tile: int) -> List[Tuple[int, int, int, int]]:
    """The tiles of a grid of `shape` (rows, columns): their cells (first
    row, end row, first column, end column), row by row."""
    rows, columns = shape
    return [(r, min(r + tile, rows), c, min(c + tile, columns))
            for r in range(0, rows, tile) for c in range(0, columns, tile)]


def task_memory(tiling: Tiling, settings: Settings, window_pixels: int = 0) -> int:
    """Bytes a tile's matching task holds at its peak, about (see the module's documentation)."""
    side = tiling.tile + 2 * tiling.margin + 2 * settings.window
    return side * side * (16 * settings.labels + 100) + 16 * window_pixels


def _grown(region, cells, shape=None):
    """The cells `region` with `cells` more on every side, within a grid of `shape` if given."""
    r0, r1, c0, c1 = region
    if shape is None:
        return (r0 - cells, r1 + cells, c0 - cells, c1 + cells)
    return (max(0, r0 - cells), min(shape[0], r1 + cells), max(0, c0 - cells), min(shape[1], c1 + cells))


def image_window(camera, grid, region, z_range, slack=2):
    """The pixels (first row, end row, first column, end column) into which
    the camera images the centres of the cells `region` of `grid` (rows and
    columns may lie beyond the grid) at heights within z_range, widened by
    `slack` pixels for the bilinear neighbours; None when it images none."""
    r0, r1, c0, c1 = region
    rows, columns = np.arange(r0, r1), np.arange(c0, c1)
    # The silhouette of the cells' box is on its edges; a coarse lattice
    # inside guards against distortion that is not monotonic.
    lattice_rows = np.unique(np.concatenate([rows[[0, -1]], np.linspace(r0, r1 - 1, 9).round()]))
    lattice_columns = np.unique(np.concatenate([columns[[0, -1]], np.linspace(c0, c1 - 1, 9).round()]))
    heights = np.linspace(z_range[0], z_range[1], 9)
    points = []
    for r_set, c_set, z_set in ((lattice_rows[[0, -1]], columns, heights[[0, -1]]),
                                (rows, lattice_columns[[0, -1]], heights[[0, -1]]),
                                (lattice_rows, lattice_columns, heights)):
        R, Cc, Z = np.meshgrid(r_set, c_set, z_set, indexing="ij")
        points.append(np.stack([grid.X0 + (Cc + 0.5) * grid.gsd, grid.Y0 - (R + 0.5) * grid.gsd, Z], -1).reshape(-1, 3))
    u, v, depth = camera.project(np.concatenate(points))
    if (depth <= 1e-6).all():
        return None
    if (depth <= 1e-6).any() or not (np.isfinite(u).all() and np.isfinite(v).all()):
        return (0, camera.height, 0, camera.width)  # the cells straddle the camera's plane
    y0, y1 = max(0, math.floor(v.min()) - slack), min(camera.height, math.floor(v.max()) + 2 + slack)
    x0, x1 = max(0, math.floor(u.min()) - slack), min(camera.width, math.floor(u.max()) + 2 + slack)
    return (y0, y1, x0, x1) if y0 < y1 and x0 < x1 else None


def read_window(image, window):
    """Pixels of an image (array or quiltmap.survey.ImageFile) as float32."""
    y0, y1, x0, x1 = window
    if hasattr(image, "window"):
        return image.window(y0, y1, x0, x1)
    return np.ascontiguousarray(image[y0:y1, x0:x1], np.float32)


def in_canvas(view, grid, region, z_range, convert=None):
    """The view's photograph (through `convert`, such as grey) as a canvas
    that holds only the window the cells `region` image into."""
    camera, image = view
    window = image_window(camera, grid, region, z_range)
    pixels = read_window(image, window) if window is not None else np.zeros((0, 0, image.shape[2]), np.float32)
    pixels = convert(pixels) if convert is not None else pixels
    placed = canvas((camera.height, camera.width, pixels.shape[2]))
    if window is not None:
        y0, y1, x0, x1 = window
        placed[y0:y1, x0:x1] = pixels
    return placed


def canvas(shape):
    """A zero float32 array of `shape` whose memory is taken only by the
    pages that are written: a photograph's window placed in it keeps the
    photograph's pixel frame, so the kernels compute exactly what they do on
    the whole photograph, while the rest of it costs nothing."""
    size = int(np.prod(shape)) * 4
    if size == 0:
        return np.zeros(shape, np.float32)
    pages = mmap.mmap(-1, size)
    if hasattr(pages, "madvise") and hasattr(mmap, "MADV_NOHUGEPAGE"):
        pages.madvise(mmap.MADV_NOHUGEPAGE)  # else one write would take 2 MiB
    return np.frombuffer(pages, np.float32).reshape(shape)


@dataclass
class Raster:
    """An output raster: a file whose pixels start at `offset`, filled part by part."""

    path: str
    dtype: Any
    shape: Tuple[int, ...]
    offset: int

    def open(self, mode="r+"):
        return np.memmap(self.path, np.dtype(self.dtype), mode, self.offset, self.shape)

    def write(self, region, values):
        r0, r1, c0, c1 = region
        pixels = self.open()
        pixels[r0:r1, c0:c1] = values
        pixels.flush()
        del pixels


@dataclass
class Job:
    """What every task of a run needs; small when the images are files."""

    views: Sequence[View]
    grid: GroundGrid
    labels: np.ndarray
    refs: Tuple[int, int]
    settings: Settings
    tiling: Tiling
    rasters: Dict[str, Raster]


def _peak_memory():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def match_tile(job, tile):
    """The task of one tile's heights: writes the tile's filtered, filled
    and raw heights and matched cells; returns the lowest and highest filled
    height, the stages' and kernels' times and the process's peak memory."""
    grid, settings = job.grid, job.settings
    box = _grown(tile, job.tiling.margin, grid.shape)
    reach = _grown(box, settings.window)  # the sweep's cells, census windows included
    z_range = (float(job.labels[0]), float(job.labels[-1]))
    cameras = [camera for camera, _ in job.views]
    greys = [in_canvas(view, grid, reach, z_range, grey) for view in job.views]
    stages, kernels = Stages(), KernelClock()
    sub = grid.window(box[0], box[2], box[1] - box[0], box[3] - box[2])
    smooth, filled, matched, raw = match_heights(cameras, greys, sub, job.labels, job.refs, settings, threads=1,
                                                 kernels=kernels, stages=stages)
    inside = (slice(tile[0] - box[0], tile[1] - box[0]), slice(tile[2] - box[2], tile[3] - box[2]))
    for name, values in (("heights", smooth), ("filled", filled), ("raw", raw), ("matched", matched)):
        job.rasters[name].write(tile, values[inside])
    interior = filled[inside]
    return (float(interior.min()), float(interior.max())), stages.times, dict(kernels.calls), _peak_memory()


def ray_reach(cameras, grid, region, z_range):
    """Cells beyond `region` that the rays from its cells to the cameras
    pass over between the heights of z_range, plus what the ray caster reads
    around them (two of its blocks)."""
    r0, r1, c0, c1 = region
    X = grid.X0 + np.array([c0, c1]) * grid.gsd
    Y = grid.Y0 - np.array([r0, r1]) * grid.gsd
    low, high = z_range
    reach = 0.0
    for camera in cameras:
        above = camera.C[2] - high
        if above <= 0:
            return max(grid.rows, grid.columns)
        farthest = max(math.hypot(x - camera.C[0], y - camera.C[1]) for x in X for y in Y)
        reach = max(reach, (high - low) * farthest / above)
    return math.ceil(reach / grid.gsd) + 2 + 2 * CAST_BLOCK


def heights_window(grid, tile, reach):
    """The cells of the height model a tile's orthomosaic reads: the tile
    grown by `reach`, starting on a ray-caster block."""
    r0, r1, c0, c1 = _grown(tile, reach, grid.shape)
    return (r0 - r0 % CAST_BLOCK, r1, c0 - c0 % CAST_BLOCK, c1)


def mosaic_tile(job, tile, z_range, heights=None):
    """The task of one tile's orthomosaic, over the filled heights (the
    run's raster, or `heights` when given). Returns the stages' and kernels'
    times and the process's peak memory."""
    grid = job.grid
    cameras = [camera for camera, _ in job.views]
    window = heights_window(grid, tile, ray_reach(cameras, grid, tile, z_range))
    r0, r1, c0, c1 = window
    if heights is None:
        Z = np.array(job.rasters["filled"].open("r")[r0:r1, c0:c1])
    else:
        Z = np.ascontiguousarray(heights[r0:r1, c0:c1], np.float32)
    views = [View(view.camera, in_canvas(view, grid, tile, z_range)) for view in job.views]
    stages, kernels = Stages(), KernelClock()
    mosaic, source = mosaic_region(views, grid, Z, tile, z_range, (r0, c0), kernels=kernels, stages=stages)
    job.rasters["orthomosaic"].write(tile, mosaic)
    job.rasters["source"].write(tile, source)
    return stages.times, dict(kernels.calls), _peak_memory()


def filter_tile(raw, matched, tile, settings, margin, out):
    """The filter of one tile over its margin; writes the tile's interior into `out`."""
    box = _grown(tile, margin, raw.shape)
    r0, r1, c0, c1 = box
    smooth = filter_heights(np.ascontiguousarray(raw[r0:r1, c0:c1]), np.ascontiguousarray(matched[r0:r1, c0:c1]),
                            settings)
    out[tile[0]:tile[1], tile[2]:tile[3]] = smooth[tile[0] - r0: tile[1] - r0, tile[2] - c0: tile[3] - c0]


# Command-line options, shared by the command and the demonstration ----------

OPTIONS = ("tile", "margin", "scheduler", "workers")


def add_options(parser, description):
    """The options of a tiled run, as a group of `parser`'s."""
    group = parser.add_argument_group("tiled runs on Dask (the `tiled` extras)", description)
    group.add_argument("--tile", type=int, metavar="N",
                       help=f"cells on a side of a tile, a multiple of {MOSAIC_BLOCK} (default {DEFAULT_TILE})")
    group.add_argument("--margin", type=int, metavar="N",
                       help=f"cells matched around each tile (default {DEFAULT_MARGIN})")
    group.add_argument("--scheduler", metavar="S",
                       help="'threads' (default: Dask's threads in this process), 'cluster' (a local cluster of "
                       "worker processes) or a Dask scheduler's address such as tcp://host:8786")
    group.add_argument("--workers", type=int, metavar="N",
                       help="threads or worker processes (default 2; not for an address)")


def options_of(args):
    """The keywords of reconstruct_tiled (tiling, scheduler, workers) that
    the parsed options ask for, None when none was given; a ValueError
    names the option at fault."""
    if all(getattr(args, name) is None for name in OPTIONS):
        return None
    try:
        tiling = Tiling(DEFAULT_TILE if args.tile is None else args.tile,
                        DEFAULT_MARGIN if args.margin is None else args.margin)
    except ValueError as error:
        raise ValueError(str(error).replace("Tiling.", "--")) from None
    return dict(tiling=tiling, scheduler=args.scheduler or "threads",
                workers=2 if args.workers is None else args.workers)


# Running the tasks -----------------------------------------------------------

SCHEDULERS = ("threads", "cluster")


def check_engine(scheduler, workers):
    """Refuses a scheduler or a number of workers that cannot run a task."""
    if isinstance(workers, bool) or not isinstance(workers, (int, np.integer)) or workers < 1:
        raise ValueError(f"workers must be an integer of at least 1, not {workers!r}")
    if not isinstance(scheduler, str) or (scheduler not in SCHEDULERS and "://" not in scheduler):
        raise ValueError(f"scheduler must be 'threads', 'cluster' or a Dask scheduler's address such as "
                         f"'tcp://host:8786', not {scheduler!r}")


@contextmanager
def engine(scheduler="threads", workers=2, progress=False):
    """Yields (compute, client): compute(tasks) computes a list of Dask
    delayed values with the chosen scheduler and returns their values;
    client is the dask.distributed Client, or None for threads."""
    check_engine(scheduler, workers)
    try:
        import dask
    except ImportError as error:
        raise ImportError("tiled runs need Dask: pip install 'quiltmap[tiled]'") from error
    if scheduler == "threads":
        from dask.diagnostics import ProgressBar

        def compute(tasks):
            with ProgressBar() if progress else nullcontext():
                return dask.compute(*tasks, scheduler="threads", num_workers=workers)

        yield compute, None
        return
    try:
        from distributed import Client, LocalCluster
    except ImportError as error:
        raise ImportError("the 'cluster' and address schedulers need dask.distributed: "
                          "pip install 'quiltmap[tiled]'") from error
    cluster = None
    try:
        if scheduler == "cluster":
            # Dask starts its workers with MALLOC_TRIM_THRESHOLD_ set, which stops glibc from raising
            # its mmap threshold: every large temporary is then mapped and faulted afresh, and a
            # tile's plane sweep takes three times as long. Our workers keep glibc's own policy.
            environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ", {}))
            environ.pop("MALLOC_TRIM_THRESHOLD_", None)
            with dask.config.set({"distributed.nanny.pre-spawn-environ": environ}):
                # A free port for the scheduler's web server, which runs even without a dashboard.
                cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address="127.0.0.1:0")
            client = Client(cluster)
        else:
            try:
                client = Client(scheduler, timeout=10)
            except (OSError, asyncio.TimeoutError) as error:
                raise ConnectionError(f"cannot reach the Dask scheduler at {scheduler}: {error}") from None
        with client:
            if progress and client.dashboard_link:
                print(f"Dask dashboard: {client.dashboard_link}", flush=True)

            def compute(tasks):
                futures = client.compute(list(tasks))
                if progress:
                    from distributed import progress as show

                    show(futures)
                return client.gather(futures)

            yield compute, client
    finally:
        if cluster is not None:
            cluster.close()


# The library's entry points ---------------------------------------------------

def _rasters(folder, grid, channels, epsg):
    from .survey import create_geotiff

    rasters = {}
    for name, dtype, coloured in RASTERS:
        shape = (grid.rows, grid.columns) + ((channels,) if coloured else ())
        path = folder / f".{name}.tif.partial"
        rasters[name] = Raster(str(path), np.dtype(dtype).str, shape, create_geotiff(path, shape, dtype, grid, epsg))
    return rasters


def _files_for_workers(views, folder):
    """In-memory images as NumPy files in the run's folder, so that a task
    on another process reads its windows rather than receiving the photographs."""
    from .survey import ImageFile

    sources = []
    for i, (camera, image) in enumerate(views):
        if isinstance(image, np.ndarray):
            path = folder / f".view_{i}.npy"
            np.save(path, np.ascontiguousarray(image, np.float32))
            image = ImageFile(path)
        sources.append(View(camera, image))
    return sources


def _check_tiling(tiling, settings):
    if not isinstance(tiling, Tiling):
        raise TypeError(f"tiling must be a quiltmap.tiled.Tiling, not {type(tiling).__name__}")
    if tiling.margin < settings.radius:
        raise ValueError(f"Tiling.margin ({tiling.margin}) must be at least Settings.radius ({settings.radius}), "
                         f"the filter's reach")


def reconstruct_tiled(views: Sequence[View], grid: GroundGrid, z_range: Tuple[float, float],
                      settings: Optional[Settings] = None, *, refs: Tuple[int, int] = (0, 1),
                      tiling: Optional[Tiling] = None, scheduler: Any = "threads", workers: int = 2,
                      out: Union[str, os.PathLike, None] = None, epsg: Optional[int] = None,
                      progress: bool = False) -> Result:
    """quiltmap.reconstruct, tile by tile on Dask (see the module's
    documentation). views: as for reconstruct, or with images that are
    quiltmap.survey.ImageFile (load_survey(..., lazy=True)). workers: worker
    threads ("threads") or processes ("cluster"). out: a folder for
    heights.tif, filled.tif, raw.tif, matched.tif, orthomosaic.tif and
    source.tif (GeoTIFF on the grid, `epsg` its coordinate system); the
    Result's arrays are then read-only maps of those files. Without `out`
    the rasters live in a temporary folder and the Result holds them in
    memory. Result.workers: the peak resident bytes of each worker process."""
    views = list(views)
    _check_survey(views, grid, z_range, refs, files=True)
    settings = settings or Settings()
    tiling = tiling or Tiling()
    _check_tiling(tiling, settings)
    check_engine(scheduler, workers)
    start = time.perf_counter()
    # Absolute: a worker elsewhere, or in another folder, opens the rasters by these paths.
    folder = Path(tempfile.mkdtemp(prefix="quiltmap-tiles-")) if out is None else Path(out).resolve()
    folder.mkdir(parents=True, exist_ok=True)
    try:
        with engine(scheduler, workers, progress) as (compute, client):
            import dask

            if client is not None:
                views = _files_for_workers(views, folder)
            rasters = _rasters(folder, grid, views[0].image.shape[2], epsg)
            labels = np.linspace(float(z_range[0]), float(z_range[1]), settings.labels)
            # Keys are tokens of the job, itself a random key: runs sharing a cluster never collide.
            job = dask.delayed(Job(views, grid, labels, (refs[0], refs[1]), settings, tiling, rasters), traverse=False)
            tiles = tiles_of(grid.shape, tiling.tile)
            matches = [dask.delayed(match_tile, pure=True)(job, tile) for tile in tiles]
            z = dask.delayed(_mosaic_range, pure=True)(matches)
            mosaics = [dask.delayed(mosaic_tile, pure=True)(job, tile, z) for tile in tiles]
            done = compute(matches + mosaics)
            peaks = client.run(_peak_memory) if client is not None else {"threads": _peak_memory()}
        stage_times, kernel_times = _merge([task[-3:] for task in done])
        for name in rasters:
            os.replace(rasters[name].path, folder / f"{name}.tif")
            rasters[name].path = str(folder / f"{name}.tif")
        arrays = {name: raster.open("r") if out is not None else np.array(raster.open("r"))
                  for name, raster in rasters.items()}
    finally:
        if out is None:
            shutil.rmtree(folder, ignore_errors=True)
        else:
            for partial in folder.glob(".*.partial"):
                partial.unlink()
            for staged in folder.glob(".view_*.npy"):
                staged.unlink()
    stage_times["total"] = time.perf_counter() - start
    return Result(arrays["heights"], arrays["filled"], arrays["matched"].view(bool), arrays["raw"],
                  arrays["orthomosaic"], arrays["source"], labels, stage_times, kernel_times, dict(peaks))


def _mosaic_range(matches):
    """The height range of the orthomosaic's rays: that of the untiled run."""
    return min(m[0][0] for m in matches) - 1.0, max(m[0][1] for m in matches) + 1.0


def _merge(tasks):
    """The stages' and kernels' times of every task, summed by name."""
    stage_times, kernel_times = defaultdict(float), defaultdict(list)
    for stages, kernels, _ in tasks:
        for name, seconds in stages.items():
            stage_times[name] += seconds
        for name, calls in kernels.items():
            kernel_times[name] += calls
    return dict(stage_times), dict(kernel_times)


def filter_tiled(raw: np.ndarray, matched: np.ndarray, settings: Optional[Settings] = None, *,
                 tiling: Optional[Tiling] = None, scheduler: Any = "threads", workers: int = 2) -> np.ndarray:
    """quiltmap.filter_heights tile by tile: the same bits when the margin is
    at least the filter's radius."""
    settings = settings or Settings()
    tiling = tiling or Tiling()
    _check_tiling(tiling, settings)
    check_engine(scheduler, workers)
    if scheduler != "threads":  # refused before a cluster is started or reached
        raise ValueError("filter_tiled writes into one process's memory: use the 'threads' scheduler")
    out = np.empty(raw.shape, np.float32)
    with engine(scheduler, workers) as (compute, _):
        import dask

        compute([dask.delayed(filter_tile)(raw, matched, tile, settings, tiling.margin, out)
                 for tile in tiles_of((raw.shape[0], raw.shape[1]), tiling.tile)])
    return out


def orthomosaic_tiled(views: Sequence[View], grid: GroundGrid, Z: np.ndarray, *, tiling: Optional[Tiling] = None,
                      scheduler: Any = "threads", workers: int = 2) -> Tuple[np.ndarray, np.ndarray]:
    """quiltmap.orthomosaic tile by tile over a height model in memory: the same bits."""
    views = list(views)
    tiling = tiling or Tiling()
    folder = Path(tempfile.mkdtemp(prefix="quiltmap-tiles-"))
    try:
        with engine(scheduler, workers) as (compute, client):
            import dask

            if client is not None:
                views = _files_for_workers(views, folder)
            channels = views[0].image.shape[2]
            rasters = {name: raster for name, raster in _rasters(folder, grid, channels, None).items()
                       if name in ("orthomosaic", "source")}
            job = dask.delayed(Job(views, grid, np.zeros(0), (0, 1), Settings(), tiling, rasters), traverse=False)
            heights = dask.delayed(np.ascontiguousarray(Z, np.float32), traverse=False)
            compute([dask.delayed(mosaic_tile)(job, tile, mosaic_heights(Z), heights)
                     for tile in tiles_of(grid.shape, tiling.tile)])
        return np.array(rasters["orthomosaic"].open("r")), np.array(rasters["source"].open("r"))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
