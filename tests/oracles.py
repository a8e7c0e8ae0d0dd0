"""NumPy references for the three kernels, and helpers shared by their tests.

Each reference keeps the kernel's order of operations and its roundings, so
the module must agree with it bit for bit.  They are vectorised only across
cells whose results do not depend on each other, and they are slow: keep the
inputs small.
"""
import math
import sys
import weakref
from collections import namedtuple

import numpy as np

from quiltmap.checks import MIN_DEPTH

# ---------------------------------------------------------------------------
# sample_view


def project(R, C, f, k1, k2, cx, cy, X0, Y0, gsd, Z):
    """Depth zc and image position (u, v) of every cell's ground point."""
    H, W = np.shape(Z)
    R = np.asarray(R, np.float64)
    C = np.asarray(C, np.float64)
    f, k1, k2, cx, cy, X0, Y0, gsd = map(float, (f, k1, k2, cx, cy, X0, Y0, gsd))
    with np.errstate(all="ignore"):
        Y = Y0 - (np.arange(H, dtype=np.float64)[:, None] + 0.5) * gsd
        X = (np.arange(W, dtype=np.float64)[None, :] + 0.5) * gsd + X0
        dx = np.broadcast_to(X - C[0], (H, W))
        dy = np.broadcast_to(Y - C[1], (H, W))
        dz = np.asarray(Z, np.float32).astype(np.float64) - C[2]
        zc = R[2, 0] * dx + R[2, 1] * dy + R[2, 2] * dz
        xc = R[0, 0] * dx + R[0, 1] * dy + R[0, 2] * dz
        yc = R[1, 0] * dx + R[1, 1] * dy + R[1, 2] * dz
        nx = xc / zc
        ny = yc / zc
        r2 = nx * nx + ny * ny
        d = (1.0 + k1 * r2) + (k2 * r2) * r2
        return zc, (f * d) * nx + cx, (f * d) * ny + cy


def sample_view(img, R, C, f, k1, k2, cx, cy, X0, Y0, gsd, Z, out, valid):
    """Writes out and valid as the kernel does (img may be None)."""
    H, W = np.shape(Z) if Z is not None else (0, 0)
    h, w, nch = img.shape if img is not None else (0, 0, 0)
    if H == 0 or W == 0:
        return
    zc, u, v = project(R, C, f, k1, k2, cx, cy, X0, Y0, gsd, Z)
    # The closed rectangle; written as >= / <= so that a NaN position (or a
    # NaN depth) ends the cell like any other rejected one.
    sampled = (zc > MIN_DEPTH) & (u >= 0) & (v >= 0) & (u <= float(w - 1)) & (v <= float(h - 1))
    rows, cols = np.nonzero(sampled)
    if rows.size:
        uu, vv = u[rows, cols], v[rows, cols]
        x0, y0 = uu.astype(np.int64), vv.astype(np.int64)
        x1 = np.where(x0 + 1 < w, x0 + 1, x0)
        y1 = np.where(y0 + 1 < h, y0 + 1, y0)
        fx = (uu - x0)[:, None]
        fy = (vv - y0)[:, None]
        pix = img.astype(np.float64)
        with np.errstate(all="ignore"):
            value = (pix[y0, x0] * (1 - fx) + pix[y0, x1] * fx) * (1 - fy) + (
                pix[y1, x0] * (1 - fx) + pix[y1, x1] * fx
            ) * fy
        out[rows, cols, :nch] = value.astype(np.float32)
    valid[:H, :W] = sampled


# ---------------------------------------------------------------------------
# sgm

DIRECTIONS = ((0, 1), (0, -1), (1, 0), (-1, 0), (1, 1), (1, -1), (-1, 1), (-1, -1))


def to_single(x):
    """A number as the binding hands it to a float32 kernel."""
    with np.errstate(all="ignore"):
        return np.float32(float(x))


def _replace_if_less(candidate, current):
    # Strict '<': an unordered comparison keeps the running value, and of
    # equal values (+0 / -0) the first one stays.
    return np.where(candidate < current, candidate, current)


def _path_step(prev, cost, P1, P2):
    """L of a set of cells (labels on axis 0) from L of their predecessors."""
    best = prev[0]
    for d in range(1, prev.shape[0]):
        best = _replace_if_less(prev[d], best)
    v = prev.copy()
    v[1:] = _replace_if_less(prev[:-1] + P1, v[1:])
    v[:-1] = _replace_if_less(prev[1:] + P1, v[:-1])
    v = _replace_if_less(best + P2, v)
    return (v + cost) - best


def sgm(cost, P1, P2):
    """The summed 8-direction path costs, float32 (D, H, W)."""
    if cost is None:
        return np.zeros((0, 0, 0), np.float32)
    cost = np.asarray(cost, np.float32)
    P1, P2 = to_single(P1), to_single(P2)
    D, H, W = cost.shape
    agg = np.zeros((D, H, W), np.float32)
    if agg.size == 0:
        return agg
    L = np.empty_like(agg)
    with np.errstate(all="ignore"):
        for dy, dx in DIRECTIONS:
            if dy != 0:
                # A row depends only on the row scanned before it.
                rows = range(H) if dy > 0 else range(H - 1, -1, -1)
                px = np.arange(W) - dx
                inner = (px >= 0) & (px < W)
                for i, y in enumerate(rows):
                    L[:, y, :] = cost[:, y, :]
                    if i > 0:
                        L[:, y, inner] = _path_step(L[:, y - dy, px[inner]], cost[:, y, inner], P1, P2)
            else:
                cols = range(W) if dx > 0 else range(W - 1, -1, -1)
                for i, x in enumerate(cols):
                    L[:, :, x] = cost[:, :, x] if i == 0 else _path_step(L[:, :, x - dx], cost[:, :, x], P1, P2)
            agg += L
    return agg


# ---------------------------------------------------------------------------
# bilateral

WEIGHT_BASE = 2.718281828


def weight_power(t):
    """float32(pow(2.718281828, t)) for float32 exponents t, with libm's pow.

    math.pow is the C library's pow; np.power may use other code paths (SIMD),
    so it is evaluated once per distinct exponent instead.
    """
    t = np.asarray(t, np.float32)
    exponents, where = np.unique(t, return_inverse=True)
    powers = np.array([math.pow(WEIGHT_BASE, float(e)) for e in exponents], np.float64)
    return powers.astype(np.float32)[where].reshape(t.shape)


def scale(sigma):
    """float32(1 / ((2 sigma) sigma)) for a sigma already rounded to float32."""
    s = float(to_single(sigma))
    with np.errstate(all="ignore"):
        return np.float32(np.float64(1.0) / ((2.0 * s) * s))


def spatial_table(radius, inv_s):
    offsets = np.arange(-radius, radius + 1, dtype=np.int64)
    squared = offsets[:, None] ** 2 + offsets[None, :] ** 2
    with np.errstate(all="ignore"):
        return weight_power((-squared).astype(np.float32) * inv_s)


def bilateral(Z, valid, radius, sigma_r, sigma_s):
    """The filtered float32 grid."""
    Z = np.asarray(Z, np.float32)
    H, W = Z.shape
    out = Z.copy()
    if out.size == 0:
        return out
    inv_r = scale(sigma_r)
    sw = spatial_table(radius, scale(sigma_s))
    usable = np.asarray(valid)[:H, :W] != 0
    asum = np.zeros((H, W), np.float32)
    wsum = np.zeros((H, W), np.float32)
    with np.errstate(all="ignore"):
        # Offsets in window order; every centre accumulates its own
        # neighbours in that order.
        for dy in range(-radius, radius + 1):
            for dx in range(-radius, radius + 1):
                if abs(dy) >= H or abs(dx) >= W:
                    continue  # no centre has this neighbour on the grid
                centres = (slice(max(0, -dy), min(H, H - dy)), slice(max(0, -dx), min(W, W - dx)))
                neighbours = (slice(max(0, dy), min(H, H + dy)), slice(max(0, dx), min(W, W + dx)))
                zk = Z[neighbours]
                dr = zk - Z[centres]
                w = weight_power((-dr * dr) * inv_r) * sw[dy + radius, dx + radius]
                take = usable[neighbours]
                asum[centres] = np.where(take, asum[centres] + w * zk, asum[centres])
                wsum[centres] = np.where(take, wsum[centres] + w, wsum[centres])
        filtered = usable & (wsum > 0)
        out[filtered] = (asum / wsum)[filtered]
    return out


# ---------------------------------------------------------------------------
# Helpers of the tests


def assert_same_floats(actual, expected):
    """float32 arrays equal bit for bit; a NaN matches any NaN.

    Which NaN payload survives an operation depends on operand order, which
    the kernels leave to the compiler; every other bit is fixed.
    """
    actual, expected = np.asarray(actual), np.asarray(expected, np.float32)
    assert actual.dtype == np.float32, actual.dtype
    assert actual.shape == expected.shape, (actual.shape, expected.shape)
    a, e = np.ascontiguousarray(actual), np.ascontiguousarray(expected)
    a_nan, e_nan = np.isnan(a), np.isnan(e)
    differ = (a_nan != e_nan) | (~a_nan & (a.view(np.uint32) != e.view(np.uint32)))
    if differ.any():
        at = tuple(int(i) for i in np.argwhere(differ)[0])
        raise AssertionError(
            f"{int(differ.sum())} of {differ.size} elements differ; first at {at}: "
            f"{a[at]!r} (0x{int(a.view(np.uint32)[at]):08x}) != {e[at]!r} (0x{int(e.view(np.uint32)[at]):08x})"
        )


def same_bytes(a, b):
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


def read_only(a):
    """A read-only copy of `a` (None stays None)."""
    if a is None:
        return None
    a = np.array(a)
    a.flags.writeable = False
    return a


def _references_one_call_down(value):
    return sys.getrefcount(value)


def assert_fresh_result(result, *inputs):
    """A new C-contiguous float32 ndarray, held only by the caller, sharing no memory with `inputs`."""
    assert type(result) is np.ndarray and result.dtype == np.float32 and result.flags.c_contiguous
    # Held by the caller alone: as many references as a fresh local passed
    # down one call (how many a call adds differs between versions).
    probe = np.zeros(1)
    assert sys.getrefcount(result) == _references_one_call_down(probe)
    assert not any(np.shares_memory(result, a) for a in inputs if a is not None)


class Tracked(np.ndarray):
    """An ndarray that can be weakly referenced."""


# A buffer-exporting argument, as the stub saw it during the call.
Exported = namedtuple("Exported", "type_name shape format data")


def _describe(arg):
    if arg is None or isinstance(arg, (tuple, type, bool, int, float, str)):
        return arg
    with memoryview(arg) as m:
        return Exported(type(arg).__name__, m.shape, m.format, m.tobytes())


class NpStub:
    """Stands in for a module's global np and logs what is done with it.

    Look-ups are logged as (index, 'get', name) and calls of zeros, empty and
    array as (index, 'call', name, args, kwargs), index being the stub that
    served them.  With chain=True every look-up rebinds the module's np to a
    new stub, so the log shows that each use looked np up afresh.  Arrays
    handed out are Tracked views whose weak references collect in `made`.
    `overrides` maps names to replacements (None: the attribute is missing).
    """

    def __init__(self, module, chain=False, overrides=None, _log=None, _made=None, _index=0):
        self.__dict__.update(_module=module, _chain=chain, _overrides=dict(overrides or {}), _index=_index,
                             log=[] if _log is None else _log, made=[] if _made is None else _made)

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        self.log.append((self._index, "get", name))
        if self._chain:
            self._module.np = NpStub(self._module, True, self._overrides, self.log, self.made, self._index + 1)
        value = self._overrides.get(name, getattr(np, name, None))
        if value is None:
            raise AttributeError(f"stub has no attribute {name!r}")
        if name not in ("zeros", "empty", "array"):
            return value
        index, log, made = self._index, self.log, self.made

        def logged(*args, **kwargs):
            log.append((index, "call", name, tuple(_describe(a) for a in args), kwargs))
            result = value(*args, **kwargs)
            if type(result) is np.ndarray:
                result = result.view(Tracked)
                made.append(weakref.ref(result))
            return result

        return logged

    def calls(self):
        return [entry[2:] for entry in self.log if entry[1] == "call"]

    def alive(self):
        return [ref() is not None for ref in self.made]


# ---------------------------------------------------------------------------
# The pipeline's steps as NumPy wrote them, before quiltmap._pipeline.


def census_numpy(a, rows, columns, step=1):
    """Census codes by whole-array shifts of the edge-padded image."""
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


def whole_windows_numpy(valid, r, step=1):
    """Cells every sample of whose census window is valid, by whole-array
    shifts of the validity padded with False."""
    H, W = valid.shape
    reach = r * step
    padded = np.pad(valid.astype(bool), reach)
    whole = np.ones((H, W), bool)
    for dy in range(0, 2 * reach + 1, step):
        for dx in range(0, 2 * reach + 1, step):
            whole &= padded[dy: dy + H, dx: dx + W]
    return whole


def _overlap(a, b):
    if a is None or b is None:
        return None
    r0, r1, c0, c1 = max(a[0], b[0]), min(a[1], b[1]), max(a[2], b[2]), min(a[3], b[3])
    return (r0, r1, c0, c1) if r0 < r1 and c0 < c1 else None


def label_cost_numpy(codes, whole, windows, a, bits, best_views, shape):
    """The sweep's cost plane of one label for reference view a, as the
    sweep's NumPy loop made it: codes[v] and whole[v] (bool) over view v's
    window (first row, end row, first column, end column) of the plane, or
    None for a view that sees nothing."""
    plane = np.full(shape, 0.5, np.float32)  # 0.5: what unrelated codes score
    if windows[a] is None:
        return plane
    ra0, ra1, ca0, ca1 = windows[a]
    distances = []
    for b in range(len(windows)):
        if b == a:
            continue
        distance = np.full((ra1 - ra0, ca1 - ca0), np.inf)
        both = _overlap(windows[a], windows[b])
        if both is not None:
            r0, r1, c0, c1 = both
            rb0, cb0 = windows[b][0], windows[b][2]
            inside_a = (slice(r0 - ra0, r1 - ra0), slice(c0 - ca0, c1 - ca0))
            inside_b = (slice(r0 - rb0, r1 - rb0), slice(c0 - cb0, c1 - cb0))
            distance[inside_a] = np.where(whole[a][inside_a] & whole[b][inside_b],
                                          np.bitwise_count(codes[a][inside_a] ^ codes[b][inside_b]) / bits, np.inf)
        distances.append(distance)
    best = np.sort(np.stack(distances), axis=0)[:best_views]
    usable = np.isfinite(best)
    count = usable.sum(axis=0)
    mean = np.where(usable, best, 0.0).sum(axis=0) / np.maximum(count, 1)
    plane[ra0:ra1, ca0:ca1] = np.where(count > 0, mean, 0.5)
    return plane


def bilinear_numpy(raster, grid, X, Y, origin=(0, 0)):
    """Bilinear lookup of a (H, W) raster at plan positions, clamped at the
    grid's edges; the raster may be a window of the grid from cell `origin`."""
    r, c = grid.fractional_index(X, Y)
    r = np.clip(r, 0, grid.H - 1.000001)
    c = np.clip(c, 0, grid.W - 1.000001)
    r0, c0 = r.astype(np.intp), c.astype(np.intp)
    fr, fc = r - r0, c - c0
    r0 -= origin[0]
    c0 -= origin[1]
    a, b = raster[r0, c0], raster[r0, c0 + 1]
    cc, d = raster[r0 + 1, c0], raster[r0 + 1, c0 + 1]
    return (a * (1 - fc) + b * fc) * (1 - fr) + (cc * (1 - fc) + d * fc) * fr


def block_max_numpy(heights, block):
    """Highest height within one block of each block of block x block cells."""
    H, W = heights.shape
    rows, cols = -(-H // block), -(-W // block)
    padded = np.full((rows * block, cols * block), -np.inf)
    padded[:H, :W] = np.where(np.isnan(heights), -np.inf, heights)  # a cell without a height stops no ray
    peak = np.pad(padded.reshape(rows, block, cols, block).max(axis=(1, 3)), 1, constant_values=-np.inf)
    return np.max([peak[i: i + rows, j: j + cols] for i in range(3) for j in range(3)], axis=0)


def cast_numpy(heights, grid, origin, dirs, z_range, refine=8, block=16, window=(0, 0)):
    """Distance along each ray to its first crossing of the bilinear height
    field, all rays at once: leaps over blocks, steps, then bisection."""
    z_lo, z_hi = z_range
    dz = dirs[:, 2]
    down = dz < -1e-9
    safe_dz = np.where(down, dz, -1.0)
    t_start = np.maximum(np.where(down, (z_hi - origin[2]) / safe_dz, 0.0), 0.0)
    t_end = np.where(down, (z_lo - origin[2]) / safe_dz, 0.0)
    horizontal = np.maximum(np.hypot(dirs[:, 0], dirs[:, 1]), 1e-9)
    climb = np.maximum(-dz, 1e-9)

    peaks = block_max_numpy(heights, block)
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

    step = np.minimum(0.7 * grid.gsd / horizontal, 0.5 / climb)
    t_hit = t_end.copy()
    active = np.flatnonzero(down & (t_end > t_start))
    t = t_start[active]
    while active.size:
        p = origin + t[:, None] * dirs[active]
        below = p[:, 2] <= bilinear_numpy(heights, grid, p[:, 0], p[:, 1], window)
        if below.any():
            idx, hi = active[below], t[below]
            lo = np.maximum(hi - step[idx], t_start[idx])
            for _ in range(refine):
                mid = 0.5 * (lo + hi)
                q = origin + mid[:, None] * dirs[idx]
                under = q[:, 2] <= bilinear_numpy(heights, grid, q[:, 0], q[:, 1], window)
                hi = np.where(under, mid, hi)
                lo = np.where(under, lo, mid)
            t_hit[idx] = hi
        keep = ~below
        active, t = active[keep], t[keep] + step[active[keep]]
        done = t > t_end[active]
        active, t = active[~done], t[~done]
    return t_hit


def visible_from_numpy(cam, grid, Z, z_range, region=None, window=(0, 0)):
    """Cells whose ground point the camera sees over the height model Z."""
    r0, r1, c0, c1 = region or (0, Z.shape[0], 0, Z.shape[1])
    X = grid.X0 + (np.arange(c0, c1) + 0.5) * grid.gsd
    Y = grid.Y0 - (np.arange(r0, r1) + 0.5) * grid.gsd
    X, Y = np.meshgrid(X, Y)
    heights = Z[r0 - window[0]: r1 - window[0], c0 - window[1]: c1 - window[1]]
    P = np.stack([X, Y, heights], axis=-1).reshape(-1, 3).astype(np.float64)
    dirs = P - cam.C
    distance = np.linalg.norm(dirs, axis=1)
    t = cast_numpy(Z, grid, cam.C, dirs / distance[:, None], z_range, refine=6, window=window)
    return (t >= distance - 0.5 * grid.gsd).reshape(heights.shape)


@np.errstate(all="ignore")
def parabola_vertex(volume):
    """The first label of least cost per cell (argmin's rule), the vertex of the
    parabola through its cost and its neighbours' within half a label (0 at
    the ends and where the costs do not curve up), and that least cost."""
    D = volume.shape[0]
    best = np.argmin(volume, axis=0)
    at = lambda d: np.take_along_axis(volume, np.clip(d, 0, D - 1)[None], axis=0)[0]  # noqa: E731
    c0, below, above = at(best), at(best - 1), at(best + 1)
    curvature = below - 2 * c0 + above
    inner = (best > 0) & (best < D - 1) & (curvature > 0)
    offset = np.where(inner, 0.5 * (below - above) / np.where(inner, curvature, 1), 0.0)
    return best, np.clip(offset, -0.5, 0.5), c0


@np.errstate(all="ignore")  # infinities in the volume: inf - inf
def select_heights_numpy(agg, heights, agree, uniqueness):
    """Best height per cell with its parabola, and whether it beats every label more than `agree` away."""
    best, offset, c0 = parabola_vertex(agg)
    step = heights[1] - heights[0]
    z = heights[0] + (best + offset) * step
    second = np.full(best.shape, np.inf, agg.dtype)
    for d in range(agg.shape[0]):
        far = np.abs(d - best) > agree
        np.minimum(second, agg[d], out=second, where=far)
    unique = c0 < uniqueness * second
    return z.astype(np.float32), unique


@np.errstate(all="ignore")
def consistency_mask_numpy(picks, seen, heights, agree, needed):
    """Cells both reference views matched, within `agree` labels, seen by `needed` views; their mean height."""
    step = heights[1] - heights[0]
    (za, ua), (zb, ub) = picks
    matched = ua & ub & (np.abs(za - zb) <= agree * step) & (seen >= needed)
    return matched, np.where(matched, 0.5 * (za + zb), np.nan).astype(np.float32)


def fill_holes_numpy(z, mask, reach=None):
    """Unmatched cells from their lowest neighbours, by whole-grid rings."""
    z = np.where(mask, z, np.nan).astype(np.float32)
    rings = 0
    while (reach is None or rings < reach) and np.isnan(z).any():
        padded = np.pad(z, 1, constant_values=np.nan)
        ring = np.stack([padded[1 + dy: 1 + dy + z.shape[0], 1 + dx: 1 + dx + z.shape[1]]
                         for dy in (-1, 0, 1) for dx in (-1, 0, 1)])
        with np.errstate(all="ignore"):
            low = np.where(np.isnan(ring), np.inf, ring).min(axis=0)
        grow = np.isnan(z) & np.isfinite(low)
        if not grow.any():
            break
        z[grow] = low[grow]
        rings += 1
    return z


@np.errstate(all="ignore")
def stereo_winner_numpy(volume):
    """The stereo example's winner as it was: best + offset, rounded once to float32."""
    best, offset, _ = parabola_vertex(volume)
    return (best + offset).astype(np.float32)


def cost_volume_numpy(a, b, bits, disparities, outside):
    """The stereo example's cost volume from the two images' census codes a
    and b: the share of differing bits per disparity, `outside` where x - d < 0."""
    H, W = a.shape
    cost = np.full((disparities, H, W), outside, np.float32)
    share = np.float32(1.0 / bits)
    for d in range(min(disparities, W)):
        cost[d, :, d:] = np.bitwise_count(a[:, d:] ^ b[:, : W - d]).astype(np.float32) * share
    return cost


def right_winner_numpy(volume):
    """Best whole disparity of every right pixel along the volume's diagonals."""
    D, H, W = volume.shape
    lowest = np.full((H, W), np.inf, np.float32)
    best = np.zeros((H, W), np.int32)
    for d in range(min(D, W)):
        seen = volume[d, :, d:]
        better = seen < lowest[:, : W - d]  # strict: of equal costs the smaller disparity stays
        lowest[:, : W - d][better] = seen[better]
        best[:, : W - d][better] = d
    return best


def consistent_numpy(left_disparity, right_disparity, tolerance=1.0):
    """The left-right check: the match lies inside the right image and its
    disparity differs by at most `tolerance`."""
    H, W = left_disparity.shape
    x = np.arange(W)[None, :]
    with np.errstate(invalid="ignore"):  # NaN and infinite disparities cast to an index outside
        target = np.rint(x - left_disparity).astype(np.int64)
    inside = (target >= 0) & (target < W)
    back = np.take_along_axis(right_disparity, np.clip(target, 0, W - 1), axis=1)
    return inside & (np.abs(left_disparity - back) <= tolerance)
