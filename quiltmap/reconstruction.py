"""The reconstruction: a height model and an orthomosaic of a ground grid
from overlapping photographs with known cameras.

Plane sweep in object space: for every height label the whole grid is lifted
to that height and every view is sampled there (`sample_view`). The cost of
a label is the share of differing census bits between a reference view's
window and another view's window, averaged over the best of the other views,
so that a view which sees a wall or a roof in front of the cell does not
spoil it. `sgm` aggregates the cost, the best label is refined to a fraction
of a label, cells that are ambiguous or on which the two reference views
disagree are left unmatched, `bilateral` smooths the matched heights, holes
are filled from their lowest matched neighbours, and the orthomosaic samples,
for each cell, the most nadir view that sees it.

`reconstruct` runs every step; each step is also a function of its own:
`plane_sweep`, `aggregate`, `select_heights`, `consistency_mask`,
`filter_heights`, `fill_holes`, `orthomosaic`. Cameras, grids and views are
the types of `quiltmap.geometry`, whose documentation states the units and
conventions.
"""
import math
import mmap
import os
import queue
import sys
import threading
import time
import warnings
from collections import defaultdict
from concurrent.futures import ThreadPoolExecutor
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt
from numpy.typing import ArrayLike

from . import _mvs, _pipeline
from .checks import cells_text, check_memory, check_ray_steps, check_survey, lattice_seen, match_memory, shown
from .geometry import Camera, GroundGrid, View, as_image
from .raycast import block_peaks, scene_arguments

FloatArray = npt.NDArray[np.float32]


__all__ = ["Settings", "Result", "Stages", "KernelClock", "MatchWarning", "plane_sweep", "aggregate",
           "select_heights", "consistency_mask", "filter_heights", "fill_holes", "orthomosaic", "reconstruct",
           "choose_references", "needed_views", "views_seeing", "census"]


@dataclass
class Settings:
    """The reconstruction's settings; the defaults are the demonstration's.

    labels: height labels of the plane sweep, evenly spaced over the height range.
    window: census window radius in samples, (2 window + 1)^2 samples (1 to 3:
        the census code's bits must fit 64).
    window_extent: the census window's half-width on the ground, in the
        world's length unit: its samples are census_step(gsd) cells apart, so
        that the window means the same at any cell size (1 cell apart at the
        demonstration's 0.5 m cells).
    best_views: other views averaged per reference view, the best-matching
        ones; a cell is matched where its reference views and this many
        others see it, or every view where there are fewer.
    P1, P2: sgm's penalties for a step of one label and for larger steps, in
        units of the cost (the share of census bits that differ, 0 to 1).
    uniqueness: the best aggregated cost must stay below this share of the
        best one more than `agree` labels away, else the cell is unmatched.
    agree: the two reference views must agree within this many labels.
    radius: bilateral window radius in cells.
    sigma_r: bilateral range scale, in height units.
    sigma_s: bilateral spatial scale, in cells.
    fill_reach: how far hole filling carries a matched height, in the
        world's length unit (in rings of cells around the matched ones);
        cells farther from every matched cell stay without a height (NaN).
    """

    labels: int = 96
    window: int = 2
    window_extent: float = 1.0
    best_views: int = 3
    P1: float = 0.025
    P2: float = 0.3
    uniqueness: float = 0.97
    agree: float = 2.0
    radius: int = 3
    sigma_r: float = 1.0
    sigma_s: float = 2.0
    fill_reach: float = 5.0

    def fill_rings(self, gsd: float) -> int:
        """The rings of cells hole filling may grow on a grid of cell size `gsd`."""
        return math.floor(self.fill_reach / gsd + 1e-9)

    def census_step(self, gsd: float) -> int:
        """Cells between the census window's samples on a grid of cell size
        `gsd`, at least 1: the window spans about window_extent on the
        ground at any cell size."""
        return max(1, math.floor(self.window_extent / (self.window * gsd) + 0.5))

    def window_reach(self, gsd: float) -> int:
        """Cells from a cell to its census window's edge on a grid of cell size `gsd`."""
        return self.window * self.census_step(gsd)

    def __post_init__(self):
        for name, least, most in INTEGER_SETTINGS:
            value = getattr(self, name)
            if (isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < least
                    or (most is not None and value > most)):
                span = f"of at least {least}" if most is None else f"from {least} to {most}"
                raise ValueError(f"Settings.{name} must be an integer {span}, not {shown(value)}")
        for name in ("window_extent", "P1", "P2", "uniqueness", "agree", "sigma_r", "sigma_s", "fill_reach"):
            value = getattr(self, name)
            try:
                number = float(value) if isinstance(value, (int, float, np.number)) and not isinstance(value, bool) \
                    else np.nan
            except OverflowError:  # an integer of hundreds of digits
                number = np.inf
            if not 0 <= number < np.inf:
                raise ValueError(f"Settings.{name} must be a finite number of at least 0, not {shown(value)}")


# (name, least, most): a census code of (2 window + 1)^2 - 1 bits must fit 64,
# and the filter's work grows with (2 radius + 1)^2 per cell.
INTEGER_SETTINGS = (("labels", 3, None), ("window", 1, 3), ("best_views", 1, None), ("radius", 0, 64))


class KernelClock:
    """Calls the extension's kernels by name at call time and records the
    wall time of every call (thread-safe enough: list.append is atomic)."""

    def __init__(self):
        self.calls = defaultdict(list)

    def __getattr__(self, name):
        return self._timed(name, getattr(_mvs, name))

    def sgm_into(self, cost, P1, P2, agg, path, threads):
        """`sgm` of cost written into agg (path: its scratch) on `threads`
        threads, the same bits; timed as sgm."""
        return self._timed("sgm", _pipeline.sgm)(cost, P1, P2, agg, path, threads)

    def _timed(self, name, kernel):
        def timed(*args):
            start = time.perf_counter()
            result = kernel(*args)
            self.calls[name].append(time.perf_counter() - start)
            return result

        return timed


def _identity(iterable, **_):
    return iterable


class Stages:
    """Wall time of each stage, plus an optional progress-bar factory."""

    def __init__(self, progress=None):
        self.progress = progress or _identity
        self.times = {}

    def run(self, name, items, total=None):
        """Yields the items under a progress bar and times the whole loop."""
        start = time.perf_counter()
        yield from self.progress(items, desc=name, total=total)
        self.times[name] = self.times.get(name, 0.0) + time.perf_counter() - start

    @contextmanager
    def single(self, name):
        """A stage of one step: timed, but kept out of the progress display,
        where a bar that jumps from 0 to 1 says nothing."""
        start = time.perf_counter()
        yield
        self.times[name] = self.times.get(name, 0.0) + time.perf_counter() - start


def census(a, r, columns=None, step=1):
    """Census code of each cell: one bit per other sample of its window of
    2r + 1 rows and 2 columns + 1 columns of samples (columns = r by
    default), `step` cells apart, set where that sample is darker than the
    centre; at most 64 bits. The grid's edge cells stand in for samples
    beyond it."""
    rows, columns = r, r if columns is None else columns
    if (2 * rows + 1) * (2 * columns + 1) - 1 > 64:
        raise ValueError(f"a census window of {2 * rows + 1} x {2 * columns + 1} cells does not fit one uint64")
    if a.dtype == np.float32 and a.ndim == 2:
        code = np.empty(a.shape, np.uint64)
        _pipeline.census(np.ascontiguousarray(a), rows, columns, step, code)
        return code
    H, W = a.shape
    padded = np.pad(a, ((rows * step, rows * step), (columns * step, columns * step)), mode="edge")
    code = np.zeros((H, W), np.uint64)
    bit = np.uint64(0)
    for dy in range(2 * rows + 1):
        for dx in range(2 * columns + 1):
            if dy != rows or dx != columns:
                code |= (padded[dy * step: dy * step + H, dx * step: dx * step + W] < a).astype(np.uint64) << bit
                bit += np.uint64(1)
    return code


def whole_windows(valid, r, step=1):
    """Cells every sample of whose census window (as census takes it) is valid."""
    valid = np.asarray(valid)
    if valid.dtype != np.uint8:
        valid = valid != 0
    whole = np.empty(valid.shape, np.uint8)
    _pipeline.whole_windows(np.ascontiguousarray(valid).view(np.uint8), r, step, whole)
    return whole.view(bool)


def grey(image):
    """The mean of an image's channels, (h, w, 1) float32: what the plane sweep matches."""
    return np.ascontiguousarray(image.mean(axis=2, keepdims=True, dtype=np.float32))


def _sample(kernels, camera, image, grid, height):
    """One view sampled over `grid` at one height, or at each cell's own
    (an array of the grid's shape): (samples (H, W, channels), valid (H, W) uint8)."""
    Z = np.ascontiguousarray(np.broadcast_to(np.asarray(height, np.float32), grid.shape))
    out = np.zeros(grid.shape + (image.shape[2],), np.float32)
    valid = np.empty(grid.shape, np.uint8)
    kernels.sample_view(image, camera.R, camera.C, camera.f, camera.k1, camera.k2, camera.cx, camera.cy,
                        grid.X0, grid.Y0, grid.gsd, Z, out, valid)
    return out, valid


def view_windows(cameras, greys, grid, lowest, highest, reach, kernels):
    """For each view, the cells (first row, end row, first column, end column)
    of `grid` outside which none of its samples between the heights lowest
    and highest is valid, grown by `reach` (a census window); None for a
    view that sees none of the grid. A ray's trace on the ground between two
    heights runs straight between its ends, so what a view sees at any height
    between them lies within the box of what it sees at the two: one cell
    more covers the cells whose centres fall between."""
    windows = []
    for camera, image in zip(cameras, greys):
        seen = np.zeros(grid.shape, bool)
        for height in (lowest, highest):
            seen |= _sample(kernels, camera, image, grid, height)[1].astype(bool)
        rows, columns = np.flatnonzero(seen.any(axis=1)), np.flatnonzero(seen.any(axis=0))
        if rows.size == 0:
            windows.append(None)
            continue
        grow = reach + 1
        windows.append((max(0, rows[0] - grow), min(grid.rows, rows[-1] + 1 + grow),
                        max(0, columns[0] - grow), min(grid.columns, columns[-1] + 1 + grow)))
    return windows


def _volume(shape):
    """An empty float32 array of `shape` in an anonymous mapping of its own,
    returned to the system when the array is freed. NumPy asks for huge pages
    for its large arrays, and where the system must compact memory to find
    them (transparent huge pages at their default, "madvise") the first
    writes of a run's volumes stalled for seconds; an ordinary mapping gets
    huge pages only where the system has them to spare."""
    count = int(np.prod(shape, dtype=np.int64))
    return np.frombuffer(mmap.mmap(-1, max(4 * count, 1)), np.float32, count).reshape(shape)


class _SpareVolumes:
    """The volumes of finished runs, kept for the next run of the same size
    for `idle` seconds: the tiles of a tiled run and calls one after another
    write into memory already theirs. A fresh mapping costs a page fault per
    page at its first write, and on a virtual machine that hands freed memory
    back to its host (free page reporting) each of those faults goes to the
    host: a second or more per volume. A run of another size drops them."""

    def __init__(self, idle=10.0):
        self.idle = idle
        self.forget()

    def forget(self):
        """Keeps none, with a lock of its own: what a forked child starts
        with, since the parent's lock may have been held at the fork."""
        self._lock = threading.Lock()
        self._kept: List[np.ndarray] = []
        self._timer: Optional[threading.Timer] = None

    def take(self, shape):
        """An empty float32 volume of `shape`, a kept one when one fits."""
        count = int(np.prod(shape, dtype=np.int64))
        with self._lock:
            for i, kept in enumerate(self._kept):
                if kept.size == count:
                    return self._kept.pop(i).reshape(shape)
            self._kept.clear()
        return _volume(shape)

    def give(self, *volumes):
        """Volumes nothing reads or writes any more, for later runs."""
        with self._lock:
            self._kept.extend(np.ravel(volume) for volume in volumes)
            del self._kept[:-4]  # a run's set: two cost volumes, the aggregation and its paths
            if self._timer is not None:
                self._timer.cancel()
            self._timer = threading.Timer(self.idle, self.drop)
            self._timer.daemon = True
            self._timer.start()

    def drop(self):
        with self._lock:
            self._kept.clear()


_spare_volumes = _SpareVolumes()
os.register_at_fork(after_in_child=_spare_volumes.forget)


class _LabelBuffers:
    """What one label of the sweep works in, for every view at once: its
    samples and their validity over the largest view window, the grid's
    height, and each view's census codes and whole-window flags, row by row
    over its window (_pipeline.match_cost's stacks)."""

    def __init__(self, views, cells):
        self.samples = np.empty(cells, np.float32)
        self.valid = np.empty(cells, np.uint8)
        self.heights = np.empty(cells, np.float32)
        self.codes = np.empty((views, cells), np.uint64)
        self.whole = np.empty((views, cells), np.uint8)


def _sweep(cameras, greys, grid, heights, refs, settings, kernels, stages, workers):
    """Cost volumes (D, H, W) float32 in [0, 1], one per reference view, and
    the number of views that see each cell's whole window at the middle
    label; swept over the grid grown by the census window's reach, so that
    border cells have whole windows. Each view is sampled only over the cells
    it can see (view_windows) and each reference compared only where the
    other view's cells overlap its own, so that cells no view sees cost
    nothing; elsewhere the result is what a sweep of the whole grid gives."""
    r, step = settings.window, settings.census_step(grid.gsd)
    reach = r * step
    inner, grid, heights = grid, grid.grown(reach), np.asarray(heights, np.float64)
    H, W, D = grid.H, grid.W, len(heights)
    bits = (2 * r + 1) ** 2 - 1
    costs = [_spare_volumes.take((D,) + inner.shape) for _ in refs]
    seen = np.zeros((H, W), np.int32)
    windows = view_windows(cameras, greys, grid, heights[0], heights[-1], reach, kernels)
    # A view that sees nothing has an empty box: no cell of it holds a cost.
    boxes = np.array([window or (0, 0, 0, 0) for window in windows], np.int32).reshape(len(windows), 4)
    cells = max([int(r1 - r0) * int(c1 - c0) for r0, r1, c0, c1 in boxes] + [0])
    inner_boxes = boxes - reach  # the same boxes in the cells of the grid the costs are of
    best = min(settings.best_views, len(cameras))  # more than the others picks them all
    # One set of buffers per worker, made on first use and passed from label to label.
    spare = queue.SimpleQueue()

    def label(d):
        try:
            held = spare.get_nowait()
        except queue.Empty:
            held = _LabelBuffers(len(cameras), cells)
        held.heights.fill(np.float32(heights[d]))
        for i, (camera, image) in enumerate(zip(cameras, greys)):
            if windows[i] is None:
                continue
            r0, r1, c0, c1 = windows[i]
            shape = (r1 - r0, c1 - c0)
            n = shape[0] * shape[1]
            box = grid.window(r0, c0, *shape)
            samples, valid = held.samples[:n].reshape(shape), held.valid[:n].reshape(shape)
            # Samples outside every whole window reach no code, so the buffers need no clearing.
            kernels.sample_view(image, camera.R, camera.C, camera.f, camera.k1, camera.k2, camera.cx, camera.cy,
                                box.X0, box.Y0, box.gsd, held.heights[:n].reshape(shape), samples[..., None], valid)
            _pipeline.census_whole(samples, valid, r, step, held.codes[i, :n].reshape(shape),
                                   held.whole[i, :n].reshape(shape))
        # Occlusion-robust: the mean over the best views that see the whole window; 0.5, what unrelated
        # codes score, where none does.
        for k, a in enumerate(refs):
            _pipeline.match_cost(held.codes, held.whole, inner_boxes, a, bits, best, costs[k][d])
        if d == D // 2:
            for i, (r0, r1, c0, c1) in enumerate(boxes):
                seen[r0:r1, c0:c1] += held.whole[i, :(r1 - r0) * (c1 - c0)].reshape(r1 - r0, c1 - c0)
        spare.put(held)

    with _workers(workers) as in_order:
        for _ in stages.run("plane sweep", in_order(label, range(D)), total=D):
            pass
    return costs, seen[reach: H - reach, reach: W - reach]


def _views_seeing(cameras, greys, grid, Z, settings, kernels):
    reach, step = settings.window_reach(grid.gsd), settings.census_step(grid.gsd)
    grown = grid.grown(reach)
    heights = np.pad(np.asarray(Z, np.float32), reach, mode="edge")
    count = np.zeros(grid.shape, np.int32)
    for camera, image in zip(cameras, greys):
        valid = _sample(kernels, camera, image, grown, heights)[1]
        count += whole_windows(valid, settings.window, step)[reach: reach + grid.rows, reach: reach + grid.columns]
    return count


def views_seeing(views: Sequence[View], grid: GroundGrid, Z: np.ndarray, settings: Optional[Settings] = None, *,
                 kernels: Any = None) -> np.ndarray:
    """How many views see each cell's whole census window with every cell
    at its own height in Z (rows, columns): what consistency_mask counts,
    at the heights the two reference views chose."""
    settings = settings or Settings()
    views = photographs(views)
    return _views_seeing([camera for camera, _ in views], [grey(image) for _, image in views], grid, Z, settings,
                         kernels or _mvs)


def plane_sweep(views: Sequence[View], grid: GroundGrid, heights: ArrayLike, refs: Tuple[int, int] = (0, 1),
                settings: Optional[Settings] = None, *, threads: int = 2, kernels: Any = None,
                stages: Optional["Stages"] = None) -> Tuple[List[FloatArray], np.ndarray]:
    """The matching cost of every cell of `grid` at every height of `heights`
    (D,), as one (D, rows, columns) float32 volume in [0, 1] per reference
    view in `refs` (indices into `views`), and the number of views that see
    each cell's whole census window at the middle height. The sweep covers
    the grid grown by the window radius, so that border cells have whole
    windows."""
    settings = settings or Settings()
    views = photographs(views)
    return _sweep([cam for cam, _ in views], [grey(img) for _, img in views], grid, heights, refs, settings,
                  kernels or _mvs, stages or Stages(), threads)


def aggregate(cost: FloatArray, settings: Optional[Settings] = None, *, kernels: Any = None) -> FloatArray:
    """`sgm` of one cost volume with the settings' penalties."""
    settings = settings or Settings()
    return (kernels or _mvs).sgm(cost, settings.P1, settings.P2)


def select_heights(agg: FloatArray, heights: np.ndarray,
                   settings: Optional[Settings] = None) -> Tuple[FloatArray, np.ndarray]:
    """Best height per cell of an aggregated float32 volume with parabolic
    sub-label refinement (float32), and whether the best label clearly beats
    every label more than `agree` labels away (bool)."""
    settings = settings or Settings()
    if np.asarray(agg).dtype != np.float32:
        raise ValueError(f"select_heights needs a float32 volume, as aggregate returns, not {np.asarray(agg).dtype}")
    # heights[1] - heights[0] in the heights' own type, as the height of a label uses it.
    step = heights[1] - heights[0]
    z = np.empty(agg.shape[1:], np.float32)
    unique = np.empty(agg.shape[1:], np.uint8)
    _pipeline.select_heights(np.ascontiguousarray(agg), float(heights[0]), float(step), settings.agree,
                             settings.uniqueness, z, unique)
    return z, unique.view(bool)


def consistency_mask(picks: Sequence[Tuple[FloatArray, np.ndarray]], seen: np.ndarray, heights: np.ndarray,
                     settings: Optional[Settings] = None, *, views: Optional[int] = None
                     ) -> Tuple[np.ndarray, FloatArray]:
    """Cells that both reference views matched uniquely, within `agree`
    labels of each other, and that enough views see (needed_views); and the
    mean of the two heights there (NaN elsewhere). picks: the two (heights,
    unique) pairs of select_heights; seen: int32 counts (views_seeing);
    views: how many views the sweep had."""
    settings = settings or Settings()
    # In the heights' type: float32 heights give a float32 tolerance.
    tolerance = settings.agree * (heights[1] - heights[0])
    # Counts are int32: a number of views beyond their range is as good as its edge.
    needed = max(-2 ** 31, min(needed_views(settings, views), 2 ** 31))
    (za, ua), (zb, ub) = picks
    matched = np.empty(np.shape(za), np.uint8)
    raw = np.empty(np.shape(za), np.float32)
    _pipeline.consistency_mask(np.ascontiguousarray(za), _flags(ua), np.ascontiguousarray(zb), _flags(ub),
                               np.ascontiguousarray(seen), float(tolerance), needed,
                               matched, raw)
    return matched.view(bool), raw


def _flags(a):
    """Truth values as the kernels read them: one byte each, C order."""
    return np.ascontiguousarray(a, dtype=bool).view(np.uint8)


def needed_views(settings: Settings, views: Optional[int] = None) -> int:
    """Views that must see a cell's whole window for it to be matched: its
    reference and best_views others, or every view where there are fewer."""
    return settings.best_views + 1 if views is None else min(settings.best_views + 1, views)


def filter_heights(raw: FloatArray, matched: np.ndarray, settings: Optional[Settings] = None, *,
                   kernels: Any = None) -> FloatArray:
    """`bilateral` of the matched heights; unmatched cells keep their values."""
    settings = settings or Settings()
    return (kernels or _mvs).bilateral(raw, matched.astype(np.uint8), settings.radius, settings.sigma_r,
                                       settings.sigma_s)


def fill_holes(z: FloatArray, mask: np.ndarray, reach: Optional[int] = None) -> FloatArray:
    """Unmatched cells take the lowest matched height among their neighbours,
    grown ring by ring (holes are mostly ground hidden beside walls), for at
    most `reach` rings (all that it takes by default); cells beyond stay NaN."""
    filled = np.ascontiguousarray(np.where(mask, z, np.nan), dtype=np.float32)
    if reach is None or reach >= filled.size:  # no hole is further from a matched cell than the grid has cells
        rings = -1
    else:
        rings = math.ceil(reach) if reach > 0 else 0
    _pipeline.fill_holes(filled, rings, np.empty(filled.shape, np.int32), np.empty((2, filled.size), np.int32))
    return filled


def visible_from(cam, grid, Z, z_range, region=None, window=(0, 0)):
    """Cells whose ground point the camera sees over the height model Z.
    region: the cells (first row, end row, first column, end column) to
    answer for, all of Z's by default; Z (float32) may be a window of the
    grid's heights starting at cell `window` (see raycast.cast for what it
    must hold). A cell is seen where the ray cast towards its centre at its
    own height gets within half a cell of it."""
    r0, r1, c0, c1 = region or (0, Z.shape[0], 0, Z.shape[1])
    Z = np.ascontiguousarray(Z, np.float32)
    seen = np.empty((r1 - r0, c1 - c0), np.uint8)
    scene = scene_arguments(Z, block_peaks(Z, VISIBILITY_BLOCK), grid, cam.C, z_range, VISIBILITY_REFINE,
                            VISIBILITY_BLOCK, window)
    _pipeline.visibility(*scene, r0, c0, seen)
    return seen.view(bool)


# The orthomosaic's rays: blocks of the leaps (a tiled run's heights windows
# start on one: tiled.CAST_BLOCK) and bisections of a crossing.
VISIBILITY_BLOCK = 16
VISIBILITY_REFINE = 6


# The orthomosaic samples the views block by block, each block's corner
# computed from the grid's, so that a tiled run whose tiles start on block
# boundaries makes the same calls and gets the same bits.
MOSAIC_BLOCK = 64


@contextmanager
def _workers(threads):
    """map(function, items) in order, on `threads` threads (on this one
    alone for 1); an interrupt cancels the calls not yet begun instead of
    waiting for them."""
    if threads <= 1:
        yield map
        return
    with ThreadPoolExecutor(threads) as pool:
        try:
            yield pool.map
        except BaseException:
            pool.shutdown(wait=False, cancel_futures=True)
            raise


def mosaic_region(views, grid, Z, region, z_range, window=(0, 0), *, kernels=None, stages=None, threads=1):
    """The orthomosaic and source of the cells `region` (first row, end row,
    first column, end column) of `grid`; Z holds the heights of the grid from
    cell `window` on, over the region and every cell the rays to it pass.
    Cells without a finite height stay without colour; z_range is None when
    no cell has one. The views' rays are cast on `threads` threads."""
    kernels = kernels or _mvs
    stages = stages or Stages()
    r0, r1, c0, c1 = region
    H, W = r1 - r0, c1 - c0
    channels = views[0].image.shape[2]
    mosaic = np.full((H, W, channels), np.nan, np.float32)
    source = np.full((H, W), -1, np.int8)
    known = np.isfinite(Z[r0 - window[0]: r1 - window[0], c0 - window[1]: c1 - window[1]])
    if z_range is None or not known.any():
        return mosaic, source
    blocks = [(br, min(br + MOSAIC_BLOCK, r1), bc, min(bc + MOSAIC_BLOCK, c1))
              for br in range(r0, r1, MOSAIC_BLOCK) for bc in range(c0, c1, MOSAIC_BLOCK)]
    order = sorted(range(len(views)), key=lambda i: views[i].camera.off_nadir)

    def seen_by(i):
        return visible_from(views[i].camera, grid, Z, z_range, region, window)

    # The ray casting is most of the stage and each view's is independent;
    # the views are still taken in their order.
    with _workers(threads) as in_order:
        for i, seen in stages.run("orthomosaic", zip(order, in_order(seen_by, order)), total=len(order)):
            cam, img = views[i]
            img = np.ascontiguousarray(img)  # the kernel reads C order; any layout gives the same samples
            out = np.zeros((H, W, channels), np.float32)
            valid = np.zeros((H, W), bool)
            for br0, br1, bc0, bc1 in blocks:
                block = grid.window(br0, bc0, br1 - br0, bc1 - bc0)
                heights = np.ascontiguousarray(Z[br0 - window[0]: br1 - window[0], bc0 - window[1]: bc1 - window[1]])
                colour = np.zeros((block.H, block.W, channels), np.float32)
                sampled = np.empty((block.H, block.W), np.uint8)
                kernels.sample_view(img, cam.R, cam.C, cam.f, cam.k1, cam.k2, cam.cx, cam.cy,
                                    block.X0, block.Y0, block.gsd, heights, colour, sampled)
                out[br0 - r0: br1 - r0, bc0 - c0: bc1 - c0] = colour
                valid[br0 - r0: br1 - r0, bc0 - c0: bc1 - c0] = sampled.astype(bool)
            take = (source < 0) & known & valid & seen
            mosaic[take] = out[take]
            source[take] = i
    return mosaic, source


def orthomosaic(views: Sequence[View], grid: GroundGrid, Z: FloatArray, *, kernels: Any = None,
                stages: Optional["Stages"] = None, threads: int = 2) -> Tuple[FloatArray, np.ndarray]:
    """Colour of each cell from the most nadir view that sees it over the
    height model Z (NaN where none does, or where Z has no finite height),
    and the index of that view (-1); the views' rays are cast on `threads`
    threads."""
    z_range = mosaic_heights(Z)
    if z_range is not None:
        check_ray_steps(grid, z_range)
    views = photographs(views)
    return mosaic_region(views, grid, Z, (0, grid.H, 0, grid.W), z_range, kernels=kernels, stages=stages,
                         threads=threads)


def mosaic_heights(Z):
    """The height range the orthomosaic's rays are cast through: that of
    Z's finite heights, widened by 1; None when Z has none."""
    finite = np.isfinite(Z)
    if not finite.any():
        return None
    return (float(np.min(Z, where=finite, initial=np.inf)) - 1.0, float(np.max(Z, where=finite, initial=-np.inf)) + 1.0)


def match_heights(cameras, greys, grid, heights, refs, settings, *, threads, kernels, stages):
    """Every step up to the height model: plane sweep of the grey images,
    aggregation, selection, consistency, filter and filled holes. Returns
    (filtered, filled, matched, raw, the share of cells that enough views see)."""
    costs, _ = _sweep(cameras, greys, grid, heights, refs, settings, kernels, stages, threads)
    picks = [select_heights(agg, heights, settings)
             for agg in _aggregated(stages.run("semi-global matching", costs), settings, kernels, threads)]
    _spare_volumes.give(*costs)
    del costs
    with stages.single("consistency"):
        seen = _views_seeing(cameras, greys, grid, 0.5 * (picks[0][0] + picks[1][0]), settings, kernels)
        matched, raw = consistency_mask(picks, seen, heights, settings, views=len(cameras))
    with stages.single("height filter"):
        smooth = filter_heights(raw, matched, settings, kernels=kernels)
        filled = fill_holes(smooth, matched, settings.fill_rings(grid.gsd))
    covered = float(np.mean(seen >= needed_views(settings, len(cameras))))
    return smooth, filled, matched, raw, covered


def _aggregated(costs, settings, kernels, threads):
    """Yields the `sgm` of each cost volume, each valid until the next. Kernels
    that can (a KernelClock) write them all into one volume on `threads`
    threads: a fresh volume per reference costs as much in page faults as
    its aggregation. Others (a caller's own sgm) return a volume per call."""
    sgm_into = getattr(kernels, "sgm_into", None)
    if sgm_into is None:
        for cost in costs:
            yield aggregate(cost, settings, kernels=kernels)
        return
    agg = path = None
    for cost in costs:  # one sweep's volumes: all of one shape
        if agg is None:
            agg, path = _spare_volumes.take(cost.shape), _spare_volumes.take(cost.shape)
        sgm_into(cost, settings.P1, settings.P2, agg, path, max(1, min(threads, 64)))
        yield agg
    if agg is not None:
        _spare_volumes.give(agg, path)


class MatchWarning(RuntimeWarning):
    """A reconstruction that matched (almost) none of its cells."""


# Below this share of matched cells a run has failed, whatever it returns.
LEAST_MATCHED = 0.01


def unmatched_cause(matched_share: float, covered: Optional[float], z_range, settings: Settings,
                    views: int) -> Optional[str]:
    """What to tell a user whose run matched almost nothing, naming the
    likely cause; None when the run matched enough."""
    if matched_share >= LEAST_MATCHED:
        return None
    needed = needed_views(settings, views)
    if covered is not None and covered < 0.05:
        cause = (f"only {100 * covered:.1f} % of the grid is seen whole by {needed} views (the reference views and "
                 f"{needed - 1} others): the views overlap too little on this grid")
    else:
        cause = (f"the height range {z_range[0]:g} to {z_range[1]:g} may not hold the ground, or the cameras may "
                 f"not be those of the photographs")
    return f"matched {100 * matched_share:.1f} % of the cells: {cause}"


@dataclass
class Result:
    """What `reconstruct` returns; heights in the world's vertical unit."""

    heights: np.ndarray  # (rows, columns) float32, filtered, NaN where unmatched
    filled: np.ndarray  # (rows, columns) float32, holes filled: the model the orthomosaic uses
    matched: np.ndarray  # (rows, columns) bool
    raw: np.ndarray  # (rows, columns) float32, before filtering, NaN where unmatched
    orthomosaic: np.ndarray  # (rows, columns, channels) float32, NaN where no view sees the cell
    source: np.ndarray  # (rows, columns) int8, the view each mosaic cell comes from, -1 for none
    labels: np.ndarray  # (labels,) the heights of the plane sweep
    stage_times: dict  # seconds per stage
    kernel_times: dict  # seconds per call, by kernel name
    workers: dict = field(default_factory=dict)  # tiled runs: peak resident bytes of each worker process
    refs: Tuple[int, int] = (0, 1)  # the two reference views


def photographs(views: Iterable[Any]) -> List[View]:
    """The views with their images as the steps take them (geometry.as_image);
    images read a window at a time (quiltmap.survey.ImageFile) stay as they are."""
    made = []
    for i, view in enumerate(views):
        if isinstance(view, View) and not hasattr(view.image, "window"):
            try:
                view = View(view.camera, as_image(view.image))
            except ValueError as error:
                raise ValueError(f"views[{i}].image: {error}") from None
        made.append(view)
    return made


def progress_bars():
    """A progress-bar factory for Stages: tqdm on stderr, or None without tqdm."""
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]
    except ImportError:
        return None
    return lambda items, **kw: tqdm(items, unit="step", leave=False, file=sys.stderr, **kw)


def reconstruct(views: Sequence[View], grid: GroundGrid, z_range: Tuple[float, float],
                settings: Optional[Settings] = None, *, refs: Optional[Tuple[int, int]] = None, threads: int = 2,
                progress: Union[bool, Callable[..., Iterable], None] = None, kernels: Any = None) -> "Result":
    """Height model and orthomosaic of `grid` from `views` (a list of View:
    images uint8, uint16 or float, grey or colour, see geometry.as_image),
    sweeping the heights z_range = (lowest, highest). refs: two view indices,
    each the reference of a plane sweep of its own, checked against each
    other; by default the most nadir pair that overlaps most
    (choose_references). progress: True for progress bars on stderr (tqdm,
    when installed), or a factory `progress(iterable, desc=..., total=...)`
    wrapping each stage's loop. kernels: an object with the three kernels as attributes (default:
    the extension's, timed). A run that matches almost none of the grid warns
    (MatchWarning) with the likely cause."""
    views = photographs(views)
    check_survey(views, grid, z_range, refs)
    settings = settings or Settings()
    check_memory(match_memory(grid.rows, grid.columns, settings, grid.gsd,
                              sum(view.image[..., 0].size for view in views)),
                 f"a reconstruction of {cells_text(grid)} in {settings.labels} labels",
                 ": use quiltmap.reconstruct_tiled")
    if refs is None:
        refs = choose_references([camera for camera, _ in views], grid, z_range)
    kernels = kernels or KernelClock()
    stages = Stages(progress_bars() if progress is True else progress or None)
    heights = np.linspace(float(z_range[0]), float(z_range[1]), settings.labels)

    smooth, filled, matched, raw, covered = match_heights(
        [cam for cam, _ in views], [grey(img) for _, img in views], grid, heights, refs, settings, threads=threads,
        kernels=kernels, stages=stages)
    cause = unmatched_cause(float(matched.mean()), covered, z_range, settings, len(views))
    if cause is not None:
        warnings.warn(cause, MatchWarning, stacklevel=2)
    mosaic, source = orthomosaic(views, grid, filled, kernels=kernels, stages=stages, threads=threads)
    kernel_times = dict(getattr(kernels, "calls", {}))
    return Result(smooth, filled, matched, raw, mosaic, source, heights, dict(stages.times), kernel_times,
                  refs=(refs[0], refs[1]))


# Views this far (degrees) from the most nadir one still count as near-nadir references.
NEAR_NADIR = 10.0


def choose_references(cameras: Sequence[Camera], grid: GroundGrid, z_range: Tuple[float, float],
                      samples: int = 33) -> Tuple[int, int]:
    """The two reference views: among the views within NEAR_NADIR degrees of
    the most nadir one (the two most nadir at least), the pair that sees the
    most of a lattice over the grid, at the lowest, middle and highest
    height, in common, the more
    nadir pair on a tie; any pair of views when no near-nadir pair overlaps.
    ValueError when no two views see a common part of the grid."""
    angles = [camera.off_nadir for camera in cameras]
    order = sorted(range(len(cameras)), key=lambda i: angles[i])
    near = [i for i in order if angles[i] <= angles[order[0]] + NEAR_NADIR] or order
    near = near if len(near) >= 2 else order[:2]
    heights = np.linspace(z_range[0], z_range[1], 3)
    seeing = [np.stack([lattice_seen(camera, grid, (height,), samples) for height in heights]) for camera in cameras]

    def best(candidates):
        pairs = [(int(np.count_nonzero(seeing[i] & seeing[j])), -(angles[i] + angles[j]), min(i, j), max(i, j))
                 for k, i in enumerate(candidates) for j in candidates[k + 1:]]
        return max(pairs) if pairs else (0, 0, 0, 0)

    overlap, _, first, second = best(near)
    if overlap == 0:
        overlap, _, first, second = best(order)
    if overlap == 0:
        raise ValueError("no two views see a common part of the grid")
    return first, second
