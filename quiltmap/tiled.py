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
import logging
import math
import mmap
import os
import resource
import shutil
import socket
import struct
import sys
import tempfile
import time
import warnings
from collections import defaultdict
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union
from urllib.parse import urlsplit

import numpy as np

from .checks import (MIN_DEPTH, cells_text, check_disk, check_memory, check_ray_steps, check_survey, check_tiff_sides,
                     match_memory)
from .geometry import GroundGrid, View
from .outputs import OutputFolder, exclusive_file
from .reconstruction import (MOSAIC_BLOCK, KernelClock, MatchWarning, Result, Settings, Stages, choose_references,
                             filter_heights, grey, match_heights, mosaic_heights, mosaic_region, photographs,
                             unmatched_cause)

__all__ = ["Tiling", "reconstruct_tiled", "reconstruct_into", "filter_tiled", "orthomosaic_tiled", "tiles_of",
           "task_memory", "check_resources", "check_tiling", "check_engine", "DEFAULT_TILE", "DEFAULT_MARGIN",
           "RASTER_FILES"]

DEFAULT_TILE = 512
DEFAULT_MARGIN = 32  # at least 99.5 % of heights as untiled on the demonstration, from 128-cell tiles on
# The ray caster's blocks (raycast.cast): a window of heights starts on one.
CAST_BLOCK = 16
# Rasters of a run: name, element type, whether it has the photographs' channels.
RASTERS = (("heights", np.float32, False), ("filled", np.float32, False), ("raw", np.float32, False),
           ("matched", np.uint8, False), ("orthomosaic", np.float32, True), ("source", np.int8, False))
RASTER_FILES = tuple(f"{name}.tif" for name, _, _ in RASTERS)
# Tiles go to the scheduler this many at a time (or four per worker, if
# more): a graph of every tile of a large grid took a minute to build and
# then all the memory (153,000 tiles).
BATCH_TILES = 64


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


def task_memory(tiling: Tiling, settings: Settings, gsd: float, window_pixels: int = 0) -> int:
    """Bytes a tile's matching task holds at its peak on a grid of cell size
    gsd, about (see the module's documentation)."""
    side = tiling.tile + 2 * tiling.margin
    return match_memory(side, side, settings, gsd, window_pixels)


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
    if (depth <= MIN_DEPTH).all():
        return None
    if (depth <= MIN_DEPTH).any() or not (np.isfinite(u).all() and np.isfinite(v).all()):
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
    reach = _grown(box, settings.window_reach(grid.gsd))  # the sweep's cells, census windows included
    z_range = (float(job.labels[0]), float(job.labels[-1]))
    cameras = [camera for camera, _ in job.views]
    greys = [in_canvas(view, grid, reach, z_range, grey) for view in job.views]
    stages, kernels = Stages(), KernelClock()
    sub = grid.window(box[0], box[2], box[1] - box[0], box[3] - box[2])
    smooth, filled, matched, raw, _ = match_heights(cameras, greys, sub, job.labels, job.refs, settings, threads=1,
                                                 kernels=kernels, stages=stages)
    inside = (slice(tile[0] - box[0], tile[1] - box[0]), slice(tile[2] - box[2], tile[3] - box[2]))
    for name, values in (("heights", smooth), ("filled", filled), ("raw", raw), ("matched", matched)):
        job.rasters[name].write(tile, values[inside])
    interior = filled[inside]
    finite = np.isfinite(interior)
    low = float(np.min(interior, where=finite, initial=np.inf))
    high = float(np.max(interior, where=finite, initial=-np.inf))
    return (low, high), stages.times, dict(kernels.calls), _peak_memory()


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
    if z_range is None:  # no cell of the grid has a height: nothing to colour
        job.rasters["orthomosaic"].write(tile, np.nan)
        job.rasters["source"].write(tile, -1)
        return {}, {}, _peak_memory()
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
    if scheduler not in SCHEDULERS and not scheduler.startswith("tcp://"):
        raise ValueError(f"scheduler {scheduler!r}: only tcp:// addresses are taken (inproc:// reaches only "
                         f"this process; tls:// and ucx:// need security and transport settings that a "
                         f"scheduler's address does not carry)")


def probe_scheduler(address, timeout=10.0):
    """Refuses an address where no Dask scheduler answers. A Dask server
    greets every connection with a short message whose first 8 bytes give its
    length; another server either says nothing or something whose first
    bytes, read as that length, ask for exabytes, which Dask would then try
    to allocate."""
    where = urlsplit(address)
    try:
        host, port = where.hostname, where.port or 8786
    except ValueError as error:  # a port that is not a number
        raise ValueError(f"scheduler {address!r}: {error}") from None
    if not host:
        raise ValueError(f"scheduler {address!r}: no host in the address")
    try:
        with socket.create_connection((host, port), timeout=timeout) as connection:
            greeting = b""
            while len(greeting) < 8:
                chunk = connection.recv(8 - len(greeting))
                if not chunk:
                    break
                greeting += chunk
    except socket.timeout:
        raise ConnectionError(f"the server at {address} does not answer as a Dask scheduler "
                              f"(it said nothing in {timeout:g} s)") from None
    except OSError as error:
        raise ConnectionError(f"cannot reach the Dask scheduler at {address}: {error.strerror or error}") from None
    if len(greeting) < 8 or struct.unpack("<Q", greeting)[0] > 2**20:
        raise ConnectionError(f"the server at {address} does not answer as a Dask scheduler")


def _local_cluster(dask, workers):
    """A LocalCluster of `workers` processes on the loopback interface whose
    every connection is TLS with a throwaway certificate, so that no other
    process, of this user or another, can reach its workers and run code."""
    from distributed import LocalCluster

    try:
        from distributed.security import Security

        security = Security.temporary()
    except ImportError as error:  # the certificate is made with `cryptography`
        raise ImportError("a local cluster needs the `cryptography` package: pip install 'quiltmap[tiled]'") \
            from error
    # Dask starts its workers with MALLOC_TRIM_THRESHOLD_ set, which stops glibc from raising
    # its mmap threshold: every large temporary is then mapped and faulted afresh, and a
    # tile's plane sweep takes three times as long. Our workers keep glibc's own policy.
    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ", {}))
    environ.pop("MALLOC_TRIM_THRESHOLD_", None)
    with dask.config.set({"distributed.nanny.pre-spawn-environ": environ}):
        # Every listener on loopback: the scheduler's web server (free port; it runs even
        # without a dashboard), and each worker's, which otherwise listens on every interface.
        # Warnings of tasks cancelled by an interrupt are no news to the one who interrupted.
        return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                            dashboard_address="127.0.0.1:0", worker_dashboard_address="127.0.0.1:0",
                            security=security, silence_logs=logging.ERROR)


@contextmanager
def engine(scheduler="threads", workers=2, progress=False):
    """Yields (compute, client): compute(tasks, done=None) computes a list
    of Dask delayed values with the chosen scheduler and returns their
    values, calling done() as each one finishes; client is the
    dask.distributed Client, or None for threads."""
    check_engine(scheduler, workers)
    try:
        import dask
    except ImportError as error:
        raise ImportError("tiled runs need Dask: pip install 'quiltmap[tiled]'") from error
    if scheduler == "threads":
        from dask.callbacks import Callback

        def compute(tasks, done=None):
            wanted = {task.key for task in tasks}

            def finished(key, *_):
                if done is not None and key in wanted:
                    done()

            with Callback(posttask=finished):
                return dask.compute(*tasks, scheduler="threads", num_workers=workers)

        yield compute, None
        return
    try:
        from distributed import Client, as_completed
    except ImportError as error:
        raise ImportError("the 'cluster' and address schedulers need dask.distributed: "
                          "pip install 'quiltmap[tiled]'") from error
    cluster = None
    try:
        if scheduler == "cluster":
            cluster = _local_cluster(dask, workers)
            client = Client(cluster)
        else:
            probe_scheduler(scheduler)
            try:
                client = Client(scheduler, timeout=10)
            except (OSError, asyncio.TimeoutError) as error:
                raise ConnectionError(f"cannot reach the Dask scheduler at {scheduler}: {error}") from None
        with client:
            if progress and client.dashboard_link:
                print(f"Dask dashboard: {client.dashboard_link}", file=sys.stderr, flush=True)

            def compute(tasks, done=None):
                futures = client.compute(list(tasks))
                for _ in as_completed(futures):
                    if done is not None:
                        done()
                return client.gather(futures)

            yield compute, client
    finally:
        if cluster is not None:
            cluster.close()


class TileProgress:
    """A progress bar over a stage's tiles on stderr (tqdm), or nothing."""

    def __init__(self, enabled, total, description):
        self.bar = None
        if enabled:
            try:
                from tqdm import tqdm  # type: ignore[import-untyped]

                self.bar = tqdm(total=total, desc=description, unit="tile", file=sys.stderr, leave=False)
            except ImportError:
                pass

    def done(self):
        if self.bar is not None:
            self.bar.update()

    def close(self):
        if self.bar is not None:
            self.bar.close()


def in_batches(compute, function, job, tiles, extra=(), batch=BATCH_TILES, progress=False, description=""):
    """function(job, tile, *extra) for every tile, a batch at a time, so that
    the scheduler never holds the graph of every tile at once."""
    import dask

    bar = TileProgress(progress, len(tiles), description)
    results: List[Any] = []
    try:
        for first in range(0, len(tiles), batch):
            calls = [dask.delayed(function, pure=True)(job, tile, *extra) for tile in tiles[first: first + batch]]
            results += compute(calls, bar.done)
    finally:
        bar.close()
    return results


# The library's entry points ---------------------------------------------------

def _rasters(folder, grid, channels, epsg, names=None):
    """The run's rasters in `folder` (a folder of the run's own), created
    zero-filled with their geo tags."""
    from .survey import create_geotiff

    rasters = {}
    for name, dtype, coloured in RASTERS:
        if names is not None and name not in names:
            continue
        shape = (grid.rows, grid.columns) + ((channels,) if coloured else ())
        path = folder / f"{name}.tif"
        rasters[name] = Raster(str(path), np.dtype(dtype).str, shape, create_geotiff(path, shape, dtype, grid, epsg))
    return rasters


def raster_bytes(grid, channels):
    """Bytes of a run's rasters on disk, about (their tags are a few hundred)."""
    cells = grid.rows * grid.columns
    return sum(cells * np.dtype(dtype).itemsize * (channels if coloured else 1) for _, dtype, coloured in RASTERS)


def _files_for_workers(views, folder):
    """In-memory images as NumPy files in the run's folder, so that a task
    on another process reads its windows rather than receiving the photographs."""
    from .survey import ImageFile

    sources = []
    for i, (camera, image) in enumerate(views):
        if isinstance(image, np.ndarray):
            path = folder / f"view_{i}.npy"
            with exclusive_file(path) as file:
                np.save(file, np.ascontiguousarray(image, np.float32))
            image = ImageFile(path)
        sources.append(View(camera, image))
    return sources


def check_tiling(tiling, settings):
    """Refuses a tiling that is not a Tiling, or whose margin is below the filter's reach."""
    if not isinstance(tiling, Tiling):
        raise TypeError(f"tiling must be a quiltmap.tiled.Tiling, not {type(tiling).__name__}")
    if tiling.margin < settings.radius:
        raise ValueError(f"Tiling.margin ({tiling.margin}) must be at least Settings.radius ({settings.radius}), "
                         f"the filter's reach")


def check_resources(grid, channels, settings, tiling, scheduler, workers, out):
    """Refuses, before any work, a run whose rasters a GeoTIFF file cannot
    hold or the output folder's disk cannot take (the rasters of `out`, or of
    a temporary folder and then memory without it), and one whose tiles at
    once need more memory than this machine has (not checked for a
    scheduler elsewhere, whose workers' memory this machine does not know)."""
    check_tiff_sides(grid)
    files = raster_bytes(grid, channels)
    what = f"the rasters of {cells_text(grid)}"
    if scheduler in SCHEDULERS:
        check_memory(workers * task_memory(tiling, settings, grid.gsd),
                     f"{workers} tiles of {tiling.tile} cells and {settings.labels} labels at once",
                     ": use fewer workers, smaller tiles or fewer labels")
    if out is None:
        check_memory(files, f"{what}, returned in memory without `out`,", ": give an output folder")
    check_disk(tempfile.gettempdir() if out is None else out, files, what)


def reconstruct_tiled(views: Sequence[View], grid: GroundGrid, z_range: Tuple[float, float],
                      settings: Optional[Settings] = None, *, refs: Optional[Tuple[int, int]] = None,
                      tiling: Optional[Tiling] = None, scheduler: Any = "threads", workers: int = 2,
                      out: Union[str, os.PathLike, None] = None, epsg: Optional[int] = None,
                      progress: bool = False) -> Result:
    """quiltmap.reconstruct, tile by tile on Dask (see the module's
    documentation). views: as for reconstruct, or with images that are
    quiltmap.survey.ImageFile (load_survey(..., lazy=True)). workers: worker
    threads ("threads") or processes ("cluster"). out: a folder for
    heights.tif, filled.tif, raw.tif, matched.tif, orthomosaic.tif and
    source.tif (GeoTIFF on the grid, `epsg` its coordinate system), written
    as quiltmap.outputs.OutputFolder does: all six or, if the run fails,
    none, and never two runs at once; the Result's arrays are then read-only
    maps of those files. Without `out` the rasters live in a temporary
    folder and the Result holds them in memory. progress: a progress bar per
    stage on stderr (tqdm). Result.workers: the peak resident bytes of each
    worker process."""
    views = photographs(views)
    check_survey(views, grid, z_range, refs, files=True)
    settings = settings or Settings()
    tiling = tiling or Tiling()
    check_tiling(tiling, settings)
    check_engine(scheduler, workers)
    check_resources(grid, views[0].image.shape[2], settings, tiling, scheduler, workers, out)
    options = dict(refs=refs, tiling=tiling, scheduler=scheduler, workers=workers, epsg=epsg, progress=progress)
    if out is None:
        folder = Path(tempfile.mkdtemp(prefix="quiltmap-tiles-"))
        try:
            result = reconstruct_into(folder, views, grid, z_range, settings, **options)
            for name, _, _ in RASTERS:
                setattr(result, name, np.array(getattr(result, name)))
            return result
        finally:
            shutil.rmtree(folder, ignore_errors=True)
    # Absolute: a worker elsewhere, or in another folder, opens the rasters by these paths.
    with OutputFolder(Path(out).resolve()) as target:
        result = reconstruct_into(target.staging, views, grid, z_range, settings, **options)
        target.publish(RASTER_FILES)
    return _result_of(target.path, result)


def reconstruct_into(folder: Path, views: Sequence[View], grid: GroundGrid, z_range: Tuple[float, float],
                     settings: Settings, *, refs: Optional[Tuple[int, int]], tiling: Tiling, scheduler: Any,
                     workers: int,
                     epsg: Optional[int], progress: bool) -> Result:
    """The tiled run, its rasters written as `name`.tif into `folder`, an
    absolute path to a folder that is the caller's alone (a private folder
    of an OutputFolder, or a temporary one), after the checks of
    reconstruct_tiled. The Result's arrays are read-only maps of the files."""
    start = time.perf_counter()
    if refs is None:
        refs = choose_references([camera for camera, _ in views], grid, z_range)
    with engine(scheduler, workers, progress) as (compute, client):
        import dask

        if client is not None:
            views = _files_for_workers(views, folder)
        rasters = _rasters(folder, grid, views[0].image.shape[2], epsg)
        labels = np.linspace(float(z_range[0]), float(z_range[1]), settings.labels)
        # Keys are tokens of the job, itself a random key: runs sharing a cluster never collide.
        job = dask.delayed(Job(views, grid, labels, (refs[0], refs[1]), settings, tiling, rasters), traverse=False)
        tiles = tiles_of(grid.shape, tiling.tile)
        batch = max(BATCH_TILES, 4 * workers)
        matches = in_batches(compute, match_tile, job, tiles, batch=batch, progress=progress,
                             description="matching tiles")
        z = _mosaic_range(matches)
        mosaics = in_batches(compute, mosaic_tile, job, tiles, (z,), batch=batch, progress=progress,
                             description="orthomosaic tiles")
        peaks = client.run(_peak_memory) if client is not None else {"threads": _peak_memory()}
    for staged in folder.glob("view_*.npy"):
        staged.unlink()
    stage_times, kernel_times = _merge([task[-3:] for task in matches + mosaics])
    stage_times["total"] = time.perf_counter() - start
    arrays = {name: raster.open("r") for name, raster in rasters.items()}
    cause = unmatched_cause(share(arrays["matched"]), None, z_range, settings, len(views))
    if cause is not None:
        warnings.warn(cause, MatchWarning, stacklevel=3)
    return Result(arrays["heights"], arrays["filled"], arrays["matched"].view(bool), arrays["raw"],
                  arrays["orthomosaic"], arrays["source"], labels, stage_times, kernel_times, dict(peaks),
                  refs=(refs[0], refs[1]))


def share(raster, test=None, rows=1024):
    """The share of a raster's cells that pass `test` (are true by default),
    a band of rows at a time: the raster may be a map of a file larger than memory."""
    count = 0
    for r in range(0, raster.shape[0], rows):
        band = np.asarray(raster[r: r + rows])
        count += np.count_nonzero(band if test is None else test(band))
    return count / max(raster.size, 1)


def _result_of(folder, result):
    """The Result with its arrays mapped from the files of the same names in `folder`."""
    for name, _, _ in RASTERS:
        mapped = getattr(result, name)
        array = np.memmap(folder / f"{name}.tif", mapped.dtype, "r", mapped.offset, mapped.shape)
        setattr(result, name, array.view(bool) if name == "matched" else array)
    return result


def _mosaic_range(matches):
    """The height range of the orthomosaic's rays: that of the untiled run;
    None when no tile has a finite height."""
    low, high = min(m[0][0] for m in matches), max(m[0][1] for m in matches)
    return (low - 1.0, high + 1.0) if low <= high else None


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
    check_tiling(tiling, settings)
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
    z_range = mosaic_heights(Z)
    if z_range is not None:
        check_ray_steps(grid, z_range)
    folder = Path(tempfile.mkdtemp(prefix="quiltmap-tiles-"))
    try:
        with engine(scheduler, workers) as (compute, client):
            import dask

            if client is not None:
                views = _files_for_workers(views, folder)
            rasters = _rasters(folder, grid, views[0].image.shape[2], None, names=("orthomosaic", "source"))
            job = dask.delayed(Job(views, grid, np.zeros(0), (0, 1), Settings(), tiling, rasters), traverse=False)
            heights = dask.delayed(np.ascontiguousarray(Z, np.float32), traverse=False)
            in_batches(compute, mosaic_tile, job, tiles_of(grid.shape, tiling.tile), (z_range, heights),
                       batch=max(BATCH_TILES, 4 * workers))
        return np.array(rasters["orthomosaic"].open("r")), np.array(rasters["source"].open("r"))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
