"""Rays against a height model: where a ray from a camera first meets the
bilinear surface of a ground grid's heights. The orthomosaic uses it to tell
which cells a camera sees; the demonstration's renderer photographs with it."""
import numpy as np

__all__ = ["bilinear", "cast"]


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


def _block_max(heights, block):
    """Highest height within one block of each block of block x block cells."""
    H, W = heights.shape
    rows, cols = -(-H // block), -(-W // block)
    padded = np.full((rows * block, cols * block), -np.inf)
    padded[:H, :W] = np.where(np.isnan(heights), -np.inf, heights)  # a cell without a height stops no ray
    peak = np.pad(padded.reshape(rows, block, cols, block).max(axis=(1, 3)), 1, constant_values=-np.inf)
    return np.max([peak[i: i + rows, j: j + cols] for i in range(3) for j in range(3)], axis=0)


def cast(heights, grid, origin, dirs, z_range, refine=8, block=16, window=(0, 0)):
    """Distance along each ray (origin + t dirs, dirs pointing down) to its
    first crossing of the bilinear height field; rays that reach the bottom
    of z_range without a crossing get that bottom's distance. NaN heights
    (cells without a height) stop no ray.

    `heights` may be a window of the grid's heights starting at cell
    `window`, a multiple of `block` on both axes, that holds the cells within
    reach of every ray between the two heights of z_range, widened by two
    blocks: each ray's distance is then the one over the whole grid, to the bit."""
    z_lo, z_hi = z_range
    dz = dirs[:, 2]
    down = dz < -1e-9
    safe_dz = np.where(down, dz, -1.0)
    t_start = np.maximum(np.where(down, (z_hi - origin[2]) / safe_dz, 0.0), 0.0)
    t_end = np.where(down, (z_lo - origin[2]) / safe_dz, 0.0)
    horizontal = np.maximum(np.hypot(dirs[:, 0], dirs[:, 1]), 1e-9)
    climb = np.maximum(-dz, 1e-9)

    # Skip empty space: a step shorter than a block less a cell in plan stays
    # within the blocks around its start (bilinear neighbours included), so
    # it passes over nothing when it ends above their highest height.
    peaks = _block_max(heights, block)
    leap = np.minimum((block - 1) * grid.gsd / horizontal, 2.0 / climb)
    active = np.flatnonzero(down & (t_end > t_start)) if block > 1 else []
    while len(active):
        t = t_start[active]
        p = origin + t[:, None] * dirs[active]
        r, c = grid.fractional_index(p[:, 0], p[:, 1])
        r = np.clip(np.round(r), 0, grid.H - 1).astype(np.intp) // block - window[0] // block
        c = np.clip(np.round(c), 0, grid.W - 1).astype(np.intp) // block - window[1] // block
        ahead = t + leap[active]
        clear = (origin[2] + ahead * dz[active] > peaks[r, c]) & (ahead < t_end[active])
        t_start[active[clear]] = ahead[clear]
        active = active[clear]

    # Then steps of most of a cell in plan and at most 0.5 in height.
    step = np.minimum(0.7 * grid.gsd / horizontal, 0.5 / climb)
    t_hit = t_end.copy()
    active = np.flatnonzero(down & (t_end > t_start))
    t = t_start[active]
    while active.size:
        p = origin + t[:, None] * dirs[active]
        below = p[:, 2] <= bilinear(heights, grid, p[:, 0], p[:, 1], window)
        if below.any():
            # Bisect between the last point above and the first below.
            idx, hi = active[below], t[below]
            lo = np.maximum(hi - step[idx], t_start[idx])
            for _ in range(refine):
                mid = 0.5 * (lo + hi)
                q = origin + mid[:, None] * dirs[idx]
                under = q[:, 2] <= bilinear(heights, grid, q[:, 0], q[:, 1], window)
                hi = np.where(under, mid, hi)
                lo = np.where(under, lo, mid)
            t_hit[idx] = hi
        keep = ~below
        active, t = active[keep], t[keep] + step[active[keep]]
        done = t > t_end[active]
        active, t = active[~done], t[~done]
    return t_hit
