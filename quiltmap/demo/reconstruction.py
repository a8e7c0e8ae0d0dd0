"""Height model and orthomosaic from overlapping views, on a ground grid.

Plane sweep in object space: for every height label the whole grid is lifted
to that height and every view is sampled there (`sample_view`).  The cost of
a label is the share of differing census bits between a reference view's
window and another view's window, averaged over the best of the other views,
so that a view which sees a wall or a roof in front of the cell does not
spoil it.  `sgm` aggregates the cost, the best label is refined to a fraction
of a label, cells that are ambiguous or on which the two reference views
disagree are left unmatched, `bilateral` smooths the matched heights, and the
orthomosaic samples, for each cell, the most nadir view that sees it.
"""
import time
from collections import defaultdict
from concurrent.futures import ThreadPoolExecutor
from contextlib import contextmanager
from dataclasses import dataclass

import numpy as np

from .. import _mvs
from .render import cast
from .scene import Grid


@dataclass
class Settings:
    labels: int = 96
    window: int = 2  # census window radius in cells: (2 * 2 + 1)^2 cells
    best_views: int = 3  # views averaged per reference, the best of the others
    P1: float = 0.025  # one-label step, in units of the cost (share of census bits that differ)
    P2: float = 0.3  # larger steps
    uniqueness: float = 0.97  # best / second-best aggregated cost must stay below this
    agree: float = 2.0  # reference views must agree within this many labels
    radius: int = 3  # bilateral window radius in cells
    sigma_r: float = 1.0  # bilateral range scale, in height units (building steps are 3.5 m or more)
    sigma_s: float = 2.0  # bilateral spatial scale, in cells


class KernelClock:
    """Calls the extension's kernels by name at call time and records the
    wall time of every call (thread-safe enough: list.append is atomic)."""

    def __init__(self):
        self.calls = defaultdict(list)

    def __getattr__(self, name):
        kernel = getattr(_mvs, name)

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
        """A stage of one step."""
        steps = self.run(name, [None])
        next(steps)
        yield
        next(steps, None)


def box_mean(a, r):
    """Mean over the (2r + 1)^2 window around each cell, zero outside the grid."""
    n = 2 * r + 1
    c = np.zeros((a.shape[0] + n, a.shape[1] + n))
    np.cumsum(np.pad(a, r), axis=0, out=c[1:, 1:])
    np.cumsum(c, axis=1, out=c)
    return (c[n:, n:] - c[:-n, n:] - c[n:, :-n] + c[:-n, :-n]) / (n * n)


def census(a, r):
    """Census code of each cell: one bit per other cell of its (2r + 1)^2
    window, set where that cell is darker than the centre."""
    H, W = a.shape
    padded = np.pad(a, r, mode="edge")
    code = np.zeros((H, W), np.uint64)
    bit = np.uint64(0)
    for dy in range(2 * r + 1):
        for dx in range(2 * r + 1):
            if dy != r or dx != r:
                code |= (padded[dy: dy + H, dx: dx + W] < a).astype(np.uint64) << bit
                bit += np.uint64(1)
    return code


def sweep(views, grid, heights, refs, settings, kernels, stages, workers=2):
    """Cost volumes (D, H, W) float32 in [0, 1], one per reference view, and
    the number of views that see each cell's whole window at the middle label."""
    H, W, D, r = grid.H, grid.W, len(heights), settings.window
    bits = (2 * r + 1) ** 2 - 1
    costs = [np.empty((D, H, W), np.float32) for _ in refs]
    seen = np.zeros((H, W), np.int32)
    grey = [np.ascontiguousarray(img.mean(axis=2, keepdims=True, dtype=np.float32)) for _, img in views]

    def label(d):
        Z = np.full((H, W), heights[d], np.float32)
        codes, whole = [], []
        for (cam, _), img in zip(views, grey):
            out = np.zeros((H, W, 1), np.float32)
            valid = np.empty((H, W), np.uint8)
            kernels.sample_view(img, cam.R, cam.C, cam.f, cam.k1, cam.k2, cam.cx, cam.cy,
                                grid.X0, grid.Y0, grid.gsd, Z, out, valid)
            codes.append(census(out[..., 0], r))
            whole.append(box_mean(valid.astype(np.float64), r) > 1 - 1e-9)
        for k, a in enumerate(refs):
            distances = [np.where(whole[a] & whole[b], np.bitwise_count(codes[a] ^ codes[b]) / bits, np.inf)
                         for b in range(len(views)) if b != a]
            # Occlusion-robust: the mean over the best views that see the whole window.
            best = np.sort(np.stack(distances), axis=0)[: settings.best_views]
            usable = np.isfinite(best)
            count = usable.sum(axis=0)
            mean = np.where(usable, best, 0.0).sum(axis=0) / np.maximum(count, 1)
            costs[k][d] = np.where(count > 0, mean, 0.5)  # 0.5: what unrelated codes score
        if d == D // 2:
            seen[...] = np.sum(whole, axis=0)

    with ThreadPoolExecutor(workers) as pool:
        for _ in stages.run("plane sweep", pool.map(label, range(D)), total=D):
            pass
    return costs, seen


def winner(agg, heights, settings):
    """Best height per cell with parabolic sub-label refinement, and whether
    the best label clearly beats every label more than `agree` labels away."""
    D = agg.shape[0]
    best = np.argmin(agg, axis=0)
    pick = lambda d: np.take_along_axis(agg, np.clip(d, 0, D - 1)[None], axis=0)[0]  # noqa: E731
    c0, cm, cp = pick(best), pick(best - 1), pick(best + 1)
    curvature = cm - 2 * c0 + cp
    inner = (best > 0) & (best < D - 1) & (curvature > 0)
    offset = np.where(inner, 0.5 * (cm - cp) / np.where(inner, curvature, 1), 0.0)
    step = heights[1] - heights[0]
    z = heights[0] + (best + np.clip(offset, -0.5, 0.5)) * step

    labels = np.arange(D)[:, None, None]
    far = np.abs(labels - best[None]) > settings.agree
    second = np.where(far, agg, np.inf).min(axis=0)
    unique = c0 < settings.uniqueness * second
    return z.astype(np.float32), unique


def fill_holes(z, mask):
    """Unmatched cells take the lowest matched height among their neighbours,
    grown ring by ring: holes are mostly ground hidden beside walls."""
    z = np.where(mask, z, np.nan).astype(np.float32)
    while np.isnan(z).any():
        padded = np.pad(z, 1, constant_values=np.nan)
        ring = np.stack([padded[1 + dy: 1 + dy + z.shape[0], 1 + dx: 1 + dx + z.shape[1]]
                         for dy in (-1, 0, 1) for dx in (-1, 0, 1)])
        with np.errstate(all="ignore"):
            low = np.where(np.isnan(ring), np.inf, ring).min(axis=0)
        grow = np.isnan(z) & np.isfinite(low)
        if not grow.any():
            return np.nan_to_num(z, nan=0.0)
        z[grow] = low[grow]
    return z


def visible_from(cam, grid, Z, z_range):
    """Cells whose ground point the camera sees over the height model Z."""
    X, Y = grid.centres()
    P = np.stack([X, Y, Z], axis=-1).reshape(-1, 3).astype(np.float64)
    dirs = P - cam.C
    distance = np.linalg.norm(dirs, axis=1)
    t = cast(Z, grid, cam.C, dirs / distance[:, None], z_range, refine=6)
    return (t >= distance - 0.5 * grid.gsd).reshape(Z.shape)


def orthomosaic(views, grid, Z, kernels, stages):
    """Colour of each cell from the most nadir view that sees it; NaN where none does."""
    H, W = Z.shape
    mosaic = np.full((H, W, 3), np.nan, np.float32)
    source = np.full((H, W), -1, np.int8)
    z_range = (float(Z.min()) - 1.0, float(Z.max()) + 1.0)
    order = sorted(range(len(views)), key=lambda i: views[i][0].off_nadir)
    for i in stages.run("orthomosaic", order):
        cam, img = views[i]
        out = np.zeros((H, W, 3), np.float32)
        valid = np.empty((H, W), np.uint8)
        kernels.sample_view(img, cam.R, cam.C, cam.f, cam.k1, cam.k2, cam.cx, cam.cy,
                            grid.X0, grid.Y0, grid.gsd, Z, out, valid)
        take = (source < 0) & valid.astype(bool) & visible_from(cam, grid, Z, z_range)
        mosaic[take] = out[take]
        source[take] = i
    return mosaic, source


@dataclass
class Result:
    heights: np.ndarray  # (H, W) float32, NaN where unmatched
    filled: np.ndarray  # (H, W) float32, holes filled, the model the orthomosaic uses
    matched: np.ndarray  # (H, W) bool
    raw: np.ndarray  # (H, W) float32, before filtering, NaN where unmatched
    orthomosaic: np.ndarray  # (H, W, 3) float32
    source: np.ndarray  # (H, W) int8, index of the view each mosaic cell comes from
    labels: np.ndarray  # (D,) label heights


def reconstruct_views(views, grid, z_range, settings=None, kernels=None, stages=None, refs=(0, 1), threads=2):
    """views: list of (Camera, image (h, w, 3) float32). refs: two view indices,
    each a reference of its own plane sweep, checked against each other."""
    settings = settings or Settings()
    kernels = kernels or KernelClock()
    stages = stages or Stages()
    heights = np.linspace(z_range[0], z_range[1], settings.labels)
    step = heights[1] - heights[0]

    # Sweep a grid that is larger by the window radius, so that border cells have whole windows.
    r = settings.window
    padded = Grid(grid.X0 - r * grid.gsd, grid.Y0 + r * grid.gsd, grid.gsd, grid.H + 2 * r, grid.W + 2 * r)
    costs, seen = sweep(views, padded, heights, refs, settings, kernels, stages, threads)
    costs = [np.ascontiguousarray(c[:, r:-r, r:-r]) for c in costs]
    seen = seen[r:-r, r:-r]
    picks = []
    for cost in stages.run("semi-global matching", costs):
        agg = kernels.sgm(cost, settings.P1, settings.P2)
        picks.append(winner(agg, heights, settings))

    with stages.single("consistency"):
        (za, ua), (zb, ub) = picks
        matched = ua & ub & (np.abs(za - zb) <= settings.agree * step) & (seen > settings.best_views)
        raw = np.where(matched, 0.5 * (za + zb), np.nan).astype(np.float32)

    with stages.single("height filter"):
        smooth = kernels.bilateral(raw, matched.astype(np.uint8), settings.radius, settings.sigma_r, settings.sigma_s)
        filled = fill_holes(smooth, matched)

    mosaic, source = orthomosaic(views, grid, filled, kernels, stages)
    return Result(smooth, filled, matched, raw, mosaic, source, heights)
