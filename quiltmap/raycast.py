"""Rays against a height model: where a ray from a camera first meets the
bilinear surface of a ground grid's heights. The orthomosaic uses it to tell
which cells a camera sees; the demonstration's renderer photographs with it."""
import numpy as np

from . import _pipeline

__all__ = ["bilinear", "block_peaks", "cast"]


def bilinear(raster, grid, X, Y, origin=(0, 0)):
    """Bilinear lookup of a (H, W, ...) raster at plan positions, clamped at
    the grid's edges. The raster may be a window of the grid that starts at
    cell `origin` and holds every cell the positions need."""
    r, c = grid.fractional_index(X, Y)
    r = np.clip(r, 0, grid.H - 1.000001)
    c = np.clip(c, 0, grid.W - 1.000001)
    r0, c0 = r.astype(np.intp), c.astype(np.intp)
    fr, fc = r - r0, c - c0
    if raster.ndim == 3:
        fr, fc = fr[:, None], fc[:, None]
    r0 -= origin[0]
    c0 -= origin[1]
    a, b = raster[r0, c0], raster[r0, c0 + 1]
    cc, d = raster[r0 + 1, c0], raster[r0 + 1, c0 + 1]
    return (a * (1 - fc) + b * fc) * (1 - fr) + (cc * (1 - fc) + d * fc) * fr


def block_peaks(heights, block=16):
    """The highest height of the 3 x 3 blocks of block x block cells around
    each block of a float32 heights window (float32, -inf where none): a ray
    that stays above its block's peak passes over nothing."""
    rows, columns = np.shape(heights)
    peaks = np.empty((-(-rows // block), -(-columns // block)), np.float32)
    _pipeline.block_peaks(heights, block, peaks)
    return peaks


def scene_arguments(heights, peaks, grid, origin, z_range, refine, block, window):
    """The leading arguments of quiltmap._pipeline's ray casters."""
    return (heights, peaks, grid.X0, grid.Y0, grid.gsd, grid.rows, grid.columns, window[0], window[1],
            np.ascontiguousarray(origin, np.float64), np.array(z_range, np.float64), refine, block)


def cast(heights, grid, origin, dirs, z_range, refine=8, block=16, window=(0, 0)):
    """Distance along each ray (origin + t dirs, dirs pointing down) to its
    first crossing of the bilinear height field; rays that reach the bottom
    of z_range without a crossing get that bottom's distance. NaN heights
    (cells without a height) stop no ray.

    `heights` (float32) may be a window of the grid's heights starting at
    cell `window`, a multiple of `block` on both axes, that holds the cells
    within reach of every ray between the two heights of z_range, widened by
    two blocks: each ray's distance is then the one over the whole grid, to
    the bit. The search leaps over blocks of block x block cells while it
    stays above them, then steps most of a cell in plan and at most 0.5 in
    height, and bisects `refine` times where it first lands below the surface."""
    heights = np.ascontiguousarray(heights, np.float32)
    dirs = np.ascontiguousarray(dirs, np.float64)
    t = np.empty(len(dirs))
    _pipeline.cast_rays(*scene_arguments(heights, block_peaks(heights, block), grid, origin, z_range, refine, block,
                                         window), dirs, t)
    return t
