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
    sampled = (zc > 1e-6) & (u >= 0) & (v >= 0) & (u <= float(w - 1)) & (v <= float(h - 1))
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
