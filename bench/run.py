"""Benchmark suite of quiltmap._mvs: every kernel next to its scalar twin,
its peers in other libraries and the machine's floor, in one process run;
and the whole reconstruction, untiled and tile by tile; and the pipeline end
to end (bench/end_to_end.py).

    .venv/bin/python bench/run.py [--quick] [--only SECTION ...] [--runs N]

Every figure is the median of --runs timed calls (at least 5; 3 in the
tiled section) after one warm-up call, shown as time and as a ratio to our
production kernel (in the tiled section: the untiled reconstruction) on the
same case.  The table is printed as rows finish; the same figures go to
bench/results/<stamp>.json (and a Markdown copy of the table beside it).
`make bench` and `make bench-quick` build and install what this needs.
"""

import argparse
import ctypes
import datetime
import gc
import importlib
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from quiltmap import _mvs

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

import numpy_sgm  # noqa: E402
from sgm_threads import serial_and_threaded  # noqa: E402

SECTIONS = ("sgm", "bilateral", "sample_view", "threads", "tiled", "end_to_end")
LEVELS = ("sse2", "avx2", "avx512")  # the kernels' instruction-set levels, lowest first
P1, P2 = 8.0, 32.0
SIGMA_R, SIGMA_S = 2.0, 3.0
PEER_LIMIT_S = 60.0  # a peer whose warm-up call takes longer is reported, not repeated
# The tiled section's surveys (cells on a side, tile, margin): four tiles of
# the default size with twice the default margin; in --quick, four small
# tiles, which keep it near 20 s.
TILED_FULL = (1024, 512, 64)
TILED_QUICK = (96, 64, 16)
TILED_RUNS = 3  # whatever --runs says: a full-size reconstruction takes a minute or more


# ---------------------------------------------------------------------------
# Machine and software


def cpu_info():
    fields = {}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                key, _, value = line.partition(":")
                fields.setdefault(key.strip(), value.strip())  # the first processor's
    except OSError:
        pass
    model = fields.get("model name", "unknown")
    if "cpu family" in fields:  # a hypervisor may hide the marketing name
        model += f" (family {fields['cpu family']}, model {fields.get('model', '?')})"
    flags = fields.get("flags", "").split()
    isa_prefixes = ("sse", "ssse", "avx", "fma", "f16c", "bmi", "popcnt", "aes", "sha", "vaes",
                    "vpclmul", "pclmul", "gfni", "amx", "adx", "movbe", "lzcnt", "abm")
    isa = [f for f in flags if f.startswith(isa_prefixes)]
    return {"model": model, "cores": os.cpu_count(), "isa": isa, "flags": flags}


def git_commit():
    def git(*args):
        return subprocess.run(["git", *args], cwd=ROOT, capture_output=True, text=True).stdout.strip()
    commit = git("rev-parse", "--short", "HEAD") or "unknown"
    dirty = subprocess.run(["git", "diff", "--quiet", "HEAD"], cwd=ROOT).returncode != 0
    return commit + ("+uncommitted changes" if dirty else "")


def versions():
    out = {"python": platform.python_version(), "numpy": np.__version__}
    for name, module in (("opencv", "cv2"), ("scipy", "scipy"), ("scikit-image", "skimage")):
        try:
            out[name] = __import__(module).__version__
        except Exception as exc:  # a missing peer is reported in its rows
            out[name] = f"unavailable ({exc.__class__.__name__})"
    from importlib.metadata import version
    for name in ("libsgm", "dask", "distributed"):
        try:
            out[name] = version(name)
        except Exception as exc:
            out[name] = f"unavailable ({exc.__class__.__name__})"
    return out


# ---------------------------------------------------------------------------
# Timing and the table


def fmt_time(seconds):
    if seconds is None:
        return "-"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} us"
    if seconds < 1.0:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.3f} s"


class Table:
    COLS = (("case", 44), ("implementation", 48), ("median", 11), ("runs", 4), ("vs ours", 9))

    def __init__(self):
        self.rows = []
        self.section = None

    def header(self, section):
        self.section = section
        print()
        print(f"== {section}")
        print("  ".join(f"{name:<{width}}" for name, width in self.COLS) + "  note")

    def add(self, case, impl, times=None, base=None, note="", ours=False, **extra):
        """Prints and keeps one row; `base` is our kernel's median on the
        case, and the row of our kernel itself passes ours=True."""
        median = statistics.median(times) if times else None
        if ours:
            base = median
        ratio = median / base if (median is not None and base) else None
        row = dict(section=self.section, case=case, impl=impl, median_s=median,
                   runs=len(times) if times else 0, times_s=list(times or []),
                   vs_ours=ratio, note=note, **extra)
        self.rows.append(row)
        cells = (case, impl, fmt_time(median), str(row["runs"]) if times else "-",
                 f"{ratio:.2f}x" if ratio is not None else "-")
        print("  ".join(f"{c:<{w}}" for c, (_, w) in zip(cells, self.COLS)) + "  " + note, flush=True)
        return median

    def markdown(self):
        def cell(text):
            return str(text).replace("|", "\\|")
        lines, section = [], None
        for r in self.rows:
            if r["section"] != section:
                section = r["section"]
                lines += ["", f"**{section}**", "",
                          "| case | implementation | median | runs | vs ours | note |", "|---|---|---|---|---|---|"]
            ratio = f"{r['vs_ours']:.2f}x" if r["vs_ours"] is not None else "-"
            lines.append(f"| {cell(r['case'])} | {cell(r['impl'])} | {fmt_time(r['median_s'])} | "
                         f"{r['runs'] or '-'} | {ratio} | {cell(r['note'])} |")
        return "\n".join(lines).strip()


def timed(fn, runs, limit=None):
    """One warm-up call, then `runs` timed calls.  Returns (times, warm-up
    result, warm-up seconds); times is None when the warm-up took longer
    than `limit`."""
    gc.collect()
    start = time.perf_counter()
    result = fn()
    warm = time.perf_counter() - start
    if limit is not None and warm > limit:
        return None, result, warm
    times = []
    gc.disable()
    try:
        for _ in range(runs):
            start = time.perf_counter()
            fn()
            times.append(time.perf_counter() - start)
    finally:
        gc.enable()
    return times, result, warm


def max_rel_diff(a, b):
    a = np.asarray(a, np.float64)
    b = np.asarray(b, np.float64)
    scale = np.maximum(np.abs(a), np.abs(b))
    diff = np.abs(a - b)
    with np.errstate(invalid="ignore", divide="ignore"):
        rel = np.where(scale > 0, diff / scale, 0.0)
    return float(rel.max()) if rel.size else 0.0


def agreement(equal, detail=""):
    return "bit-equal to ours" if equal else f"DIFFERS from ours {detail}".rstrip()


# ---------------------------------------------------------------------------
# The scalar twins, from the bench-only library


class Twins:
    def __init__(self, path):
        lib = ctypes.CDLL(str(path))
        p, i64, f32, f64, i32 = ctypes.c_void_p, ctypes.c_int64, ctypes.c_float, ctypes.c_double, ctypes.c_int32
        lib.twin_sgm.argtypes = [p, i64, i64, i64, f32, f32, p, p]
        lib.core_sgm.argtypes = [p, i64, i64, i64, f32, f32, p, p]
        lib.twin_bilateral.argtypes = [p, p, i64, i64, i32, f32, f32, p]
        lib.twin_sample_view.argtypes = [p, i64, i64, i64, p, p] + [f64] * 8 + [p, i64, i64, p, p]
        lib.level_sgm.argtypes = [ctypes.c_int] + lib.core_sgm.argtypes
        lib.level_bilateral.argtypes = [ctypes.c_int] + lib.twin_bilateral.argtypes
        lib.level_sample_view.argtypes = [ctypes.c_int] + lib.twin_sample_view.argtypes
        lib.level_range_weights.argtypes = [ctypes.c_int, p, p, i64]
        lib.level_range_weights.restype = i64
        for fn in (lib.twin_sgm, lib.core_sgm, lib.twin_bilateral, lib.twin_sample_view, lib.level_sgm,
                   lib.level_bilateral, lib.level_sample_view):
            fn.restype = None
        lib.chosen_level.restype = lib.supported_level.restype = ctypes.c_int
        self.lib = lib
        self.level = LEVELS[lib.chosen_level()]
        self.levels = LEVELS[:lib.supported_level() + 1]

    def sgm(self, cost, P1, P2):
        agg = np.zeros(cost.shape, np.float32)
        path = np.zeros(cost.shape, np.float32)
        self.lib.twin_sgm(cost.ctypes.data, *cost.shape, P1, P2, agg.ctypes.data, path.ctypes.data)
        return agg

    def core_sgm(self, cost, P1, P2, agg, path):
        """Our production sgm core on volumes that the caller keeps."""
        self.lib.core_sgm(cost.ctypes.data, *cost.shape, P1, P2, agg.ctypes.data, path.ctypes.data)
        return agg

    def bilateral(self, Z, valid, radius, sigma_r, sigma_s):
        out = np.empty_like(Z)
        self.lib.twin_bilateral(Z.ctypes.data, valid.ctypes.data, *Z.shape, radius, sigma_r, sigma_s,
                                out.ctypes.data)
        return out

    def sample_view(self, img, R, C, f, k1, k2, cx, cy, X0, Y0, gsd, Z, out, valid):
        self.lib.twin_sample_view(img.ctypes.data, *img.shape, R.ctypes.data, C.ctypes.data,
                                  f, k1, k2, cx, cy, X0, Y0, gsd, Z.ctypes.data, *Z.shape,
                                  out.ctypes.data, valid.ctypes.data)

    # The production kernels of one instruction-set level (a name of LEVELS).

    def level_sgm(self, level, cost, P1, P2, agg, path):
        self.lib.level_sgm(LEVELS.index(level), cost.ctypes.data, *cost.shape, P1, P2, agg.ctypes.data,
                           path.ctypes.data)
        return agg

    def level_bilateral(self, level, Z, valid, radius, sigma_r, sigma_s):
        out = np.empty_like(Z)
        self.lib.level_bilateral(LEVELS.index(level), Z.ctypes.data, valid.ctypes.data, *Z.shape, radius,
                                 sigma_r, sigma_s, out.ctypes.data)
        return out

    def level_sample_view(self, level, img, R, C, f, k1, k2, cx, cy, X0, Y0, gsd, Z, out, valid):
        self.lib.level_sample_view(LEVELS.index(level), img.ctypes.data, *img.shape, R.ctypes.data,
                                   C.ctypes.data, f, k1, k2, cx, cy, X0, Y0, gsd, Z.ctypes.data, *Z.shape,
                                   out.ctypes.data, valid.ctypes.data)

    def slow_weights(self, t):
        """How many of the range weights float(pow(b, t)) the chosen level's
        rounding test sends to the library pow."""
        t = np.ascontiguousarray(t, np.float32)
        weights = np.empty_like(t)
        return self.lib.level_range_weights(LEVELS.index(self.level), t.ctypes.data, weights.ctypes.data, t.size)


# ---------------------------------------------------------------------------
# sgm


def sgm_volume(shape, kind, seed):
    rng = np.random.default_rng(seed)
    if kind == "uniform":
        return rng.random(shape, dtype=np.float32) * np.float32(100)
    return rng.integers(0, 16, shape).astype(np.float32)


# libsgm's C kernel has fixed slots: the first pass runs left to right, down,
# down-right and down-left; the second right to left, up, up-left and
# up-right.  Each slot's (drow, dcol) only drives its border test, so it must
# match the slot: predecessor = (row - drow, col - dcol), as in our table.
LIBSGM_DIRECTIONS = np.array([[0, 1], [1, 0], [1, 1], [1, -1], [0, -1], [-1, 0], [-1, -1], [-1, 1]],
                             np.int32)


def libsgm_call():
    try:
        import c_libsgm
    except Exception as exc:
        return None, f"not installed ({exc.__class__.__name__}: {exc})"
    return c_libsgm.sgm_api, ""


def bench_sgm(table, twins, args):
    shapes = [(16, 64, 64)] if args.quick else [(64, 512, 512), (128, 1024, 1024), (37, 300, 451),
                                                 (16, 64, 64)]
    sgm_api, libsgm_missing = libsgm_call()
    table.header(f"sgm  P1 = {P1:g}, P2 = {P2:g}")
    for shape in shapes:
        for seed, kind in enumerate(("uniform", "integers")):
            label = f"{'U[0,100)' if kind == 'uniform' else 'int[0,16)'} {shape}"
            cost = sgm_volume(shape, kind, seed)
            D, H, W = shape

            times, ours, _ = timed(lambda: _mvs.sgm(cost, P1, P2), args.runs)
            base = table.add(label, "quiltmap._mvs.sgm", times, ours=True)

            agg, path = np.empty_like(cost), np.empty_like(cost)
            times, core, _ = timed(lambda: twins.core_sgm(cost, P1, P2, agg, path), args.runs)
            table.add(label, "our core alone (C ABI, volumes reused)", times, base,
                      agreement(np.array_equal(core, ours)))
            del agg, path, core

            times, twin, _ = timed(lambda: twins.sgm(cost, P1, P2), args.runs)
            table.add(label, "scalar twin (C ABI, ctypes)", times, base,
                      agreement(np.array_equal(twin, ours)))
            del twin

            times, vec, _ = timed(lambda: numpy_sgm.sgm(cost, P1, P2), args.runs)
            equal = np.array_equal(vec, ours)
            table.add(label, "NumPy, vectorised per scan line", times, base,
                      agreement(equal, f"(max rel {max_rel_diff(vec, ours):.1e})"))
            del vec

            if sgm_api is None:
                table.add(label, "libsgm c_libsgm.sgm_api", None, base, libsgm_missing)
            else:
                cv = np.ascontiguousarray(cost.transpose(1, 2, 0))
                p1 = np.full((H, W, 8), P1, np.float32)
                p2 = np.full((H, W, 8), P2, np.float32)
                seg = np.ones((H, W), np.float32)
                invalid = np.float32(-1.0)  # costs are never negative
                times, res, _ = timed(
                    lambda: sgm_api(cv, p1, p2, LIBSGM_DIRECTIONS, invalid, seg, False, False, False),
                    args.runs)
                theirs = res["cv"].transpose(2, 0, 1)
                table.add(label, "libsgm c_libsgm.sgm_api (H, W, D)", times, base,
                          f"max rel diff {max_rel_diff(theirs, ours):.1e}",
                          max_rel_diff=max_rel_diff(theirs, ours))
                del cv, p1, p2, seg, res, theirs

            dst = np.empty_like(cost)
            times, _, _ = timed(lambda: np.copyto(dst, cost), args.runs)
            table.add(label, "floor: np.copyto of one volume", times, base,
                      f"{2 * cost.nbytes / statistics.median(times) / 1e9:.1f} GB/s read+write")
            del dst
            if shape == shapes[0 if args.quick else 1] and kind == "uniform":
                agg, path = np.empty_like(cost), np.empty_like(cost)
                for level in twins.levels:
                    times, core, _ = timed(lambda: twins.level_sgm(level, cost, P1, P2, agg, path), args.runs)
                    table.add(label, f"our core at {level} (C ABI, volumes reused)", times, base,
                              agreement(np.array_equal(core, ours)))
                del agg, path, core
            del ours, cost
            gc.collect()


# ---------------------------------------------------------------------------
# bilateral


def height_grid(n, seed):
    """A synthetic surface model: a gentle slope with noise, and blocks
    standing 5 to 30 units above it; 10% of the cells unusable."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[:n, :n].astype(np.float32)
    Z = 100 + 0.01 * x + 0.005 * y + rng.normal(0, 0.3, (n, n)).astype(np.float32)
    for _ in range(n * n // 4000):
        r, c = rng.integers(0, n, 2)
        h, w = rng.integers(4, 40, 2)
        Z[r:r + h, c:c + w] += rng.uniform(5, 30)
    valid = (rng.random((n, n)) >= 0.10).astype(np.uint8)
    return Z.astype(np.float32), valid


def optional_peer(module, attribute=None):
    """A peer from the `bench` extra, or None and why it is missing: a row
    without its peer is marked instead of ending the run."""
    try:
        found = importlib.import_module(module)
        return (getattr(found, attribute) if attribute else found), None
    except Exception as exc:
        return None, f"not installed ({exc.__class__.__name__})"


def slow_weight_count(twins, Z, usable, radius):
    """(weights that the rounding test sent to the library pow, weights) over
    every usable pair of cells of the window, as the filter forms them: t =
    (-dr * dr) * inv_r in float32."""
    inv_r = np.float32(1.0 / ((2.0 * np.float64(np.float32(SIGMA_R))) * np.float64(np.float32(SIGMA_R))))
    H, W = Z.shape
    slow = weights = 0
    for dy in range(-radius, radius + 1):
        for dx in range(-radius, radius + 1):
            rows, cols = slice(max(0, -dy), min(H, H - dy)), slice(max(0, -dx), min(W, W - dx))
            near = (slice(rows.start + dy, rows.stop + dy), slice(cols.start + dx, cols.stop + dx))
            pairs = usable[rows, cols] & usable[near]
            dr = Z[near][pairs] - Z[rows, cols][pairs]
            t = (-dr * dr) * inv_r
            slow += twins.slow_weights(t)
            weights += t.size
    return slow, weights


def bench_bilateral(table, twins, args):
    cv2, cv2_missing = optional_peer("cv2")
    denoise_bilateral, skimage_missing = optional_peer("skimage.restoration", "denoise_bilateral")
    grids = [1024] if args.quick else [1024, 4096]
    radii = [1] if args.quick else [1, 3, 5]
    table.header(f"bilateral  sigma_r = {SIGMA_R:g}, sigma_s = {SIGMA_S:g}, 10% of the mask unusable")
    for n in grids:
        Z, valid = height_grid(n, seed=n)
        usable = valid != 0
        for radius in radii:
            label = f"{n}x{n} radius {radius}"
            times, ours, _ = timed(lambda: _mvs.bilateral(Z, valid, radius, SIGMA_R, SIGMA_S), args.runs)
            slow, weights = slow_weight_count(twins, Z, usable, radius)
            base = table.add(label, "quiltmap._mvs.bilateral", times, ours=True,
                             note=f"rounding test: {slow} of {weights} weights took the library pow",
                             slow_weights=slow, weights=weights)
            if n == grids[-1] and radius == radii[-1]:
                for level in twins.levels:
                    times, theirs, _ = timed(lambda: twins.level_bilateral(level, Z, valid, radius, SIGMA_R, SIGMA_S),
                                             args.runs)
                    table.add(label, f"our filter at {level} (C ABI)", times, base,
                              agreement(np.array_equal(theirs, ours)))

            times, twin, _ = timed(lambda: twins.bilateral(Z, valid, radius, SIGMA_R, SIGMA_S), args.runs)
            table.add(label, "scalar twin (C ABI, ctypes)", times, base,
                      agreement(np.array_equal(twin, ours)))

            def diff(theirs):
                d = np.abs(theirs.astype(np.float64) - ours)[usable]
                return f"|diff| on usable cells: max {d.max():.3g}, mean {d.mean():.2g}"

            d = 2 * radius + 1
            if cv2 is None:
                table.add(label, "cv2.bilateralFilter", None, base, cv2_missing)
            else:
                for threads in (1, cv2.getNumThreads() if cv2.getNumThreads() > 1 else None):
                    if threads is None:
                        continue
                    saved = cv2.getNumThreads()
                    cv2.setNumThreads(threads)
                    try:
                        times, theirs, _ = timed(lambda: cv2.bilateralFilter(Z, d, SIGMA_R, SIGMA_S), args.runs)
                    finally:
                        cv2.setNumThreads(saved)
                    table.add(label, f"cv2.bilateralFilter d={d}, {threads} thread{'s' * (threads > 1)}",
                              times, base, diff(theirs) if threads == 1 else "")
            if denoise_bilateral is None:
                table.add(label, "skimage denoise_bilateral", None, base, skimage_missing)
            else:
                times, theirs, warm = timed(
                    lambda: denoise_bilateral(Z, win_size=d, sigma_color=SIGMA_R, sigma_spatial=SIGMA_S),
                    args.runs, limit=PEER_LIMIT_S)
                note = diff(theirs) if times else f"not repeated: one call took {warm:.0f} s (> {PEER_LIMIT_S:.0f} s)"
                table.add(label, f"skimage denoise_bilateral win_size={d}", times, base, note)
            del ours, twin
            gc.collect()


# ---------------------------------------------------------------------------
# sample_view


def rotation(rx, ry, rz):
    cx, sx, cy, sy, cz, sz = np.cos(rx), np.sin(rx), np.cos(ry), np.sin(ry), np.cos(rz), np.sin(rz)
    Rx = np.array([[1, 0, 0], [0, cx, -sx], [0, sx, cx]])
    Ry = np.array([[cy, 0, sy], [0, 1, 0], [-sy, 0, cy]])
    Rz = np.array([[cz, -sz, 0], [sz, cz, 0], [0, 0, 1]])
    return Rx @ Ry @ Rz


def view_case(n, h, w, seed, heights="random"):
    """A near-nadir frame camera over an n x n grid of random heights (or of
    the bilateral section's surface model, lowered to start at 0); the grid
    fills most of the h x w image, and its tilted corners fall out."""
    rng = np.random.default_rng(seed)
    gsd = 0.25
    extent = n * gsd
    altitude = 1.5 * extent
    R = np.ascontiguousarray(rotation(0.03, -0.02, 0.01) @ np.diag([1.0, -1.0, -1.0]))
    C = np.array([0.5 * extent + 3.0, 0.5 * extent - 2.0, altitude])
    f = 0.98 * min(h, w) / 2 / (0.5 * extent / altitude)
    cam = dict(R=R, C=C, f=f, k1=-0.08, k2=0.015, cx=(w - 1) / 2 + 3.3, cy=(h - 1) / 2 - 2.7,
               X0=0.0, Y0=extent, gsd=gsd)
    if heights == "random":
        Z = (rng.random((n, n), dtype=np.float32) * np.float32(40))
    else:
        Z = height_grid(n, seed)[0]
        Z -= Z.min()
    img = rng.random((h, w, 3), dtype=np.float32)
    return cam, Z, img


CAM_KEYS = ("R", "C", "f", "k1", "k2", "cx", "cy", "X0", "Y0", "gsd")


def numpy_projection(cam, Z):
    """(v, u) of every cell, as a NumPy user would write the camera model."""
    H, W = Z.shape
    R, C = cam["R"], cam["C"]
    X = (np.arange(W) + 0.5) * cam["gsd"] + cam["X0"]
    Y = cam["Y0"] - (np.arange(H) + 0.5) * cam["gsd"]
    dx = (X - C[0])[None, :]
    dy = (Y - C[1])[:, None]
    dz = Z.astype(np.float64) - C[2]
    xc = R[0, 0] * dx + R[0, 1] * dy + R[0, 2] * dz
    yc = R[1, 0] * dx + R[1, 1] * dy + R[1, 2] * dz
    zc = R[2, 0] * dx + R[2, 1] * dy + R[2, 2] * dz
    nx, ny = xc / zc, yc / zc
    r2 = nx * nx + ny * ny
    d = (1 + cam["k1"] * r2) + (cam["k2"] * r2) * r2
    return (cam["f"] * d) * ny + cam["cy"], (cam["f"] * d) * nx + cam["cx"]


def bench_sample_view(table, twins, args):
    cv2, cv2_missing = optional_peer("cv2")
    map_coordinates, scipy_missing = optional_peer("scipy.ndimage", "map_coordinates")
    sizes = [(1024, 2048, 2048)] if args.quick else [(1024, 2048, 2048), (1024, 3000, 4000),
                                                       (4096, 2048, 2048), (4096, 3000, 4000)]
    cases = [(n, h, w, heights) for n, h, w in sizes for heights in ("random", "smooth")]
    table.header("sample_view  3-channel float32 image, random or smooth heights, k1 = -0.08, k2 = 0.015")
    for n, h, w, heights in cases:
        label = f"grid {n}x{n} -> image {w}x{h}, {heights}"
        cam, Z, img = view_case(n, h, w, seed=n + h, heights=heights)
        args_cam = [cam[k] for k in CAM_KEYS]
        out = np.zeros((n, n, 3), np.float32)
        valid = np.zeros((n, n), np.uint8)
        times, _, _ = timed(lambda: _mvs.sample_view(img, *args_cam, Z, out, valid), args.runs)
        base = table.add(label, "quiltmap._mvs.sample_view", times, ours=True,
                         note=f"{valid.mean():.1%} of cells sampled")
        sampled = valid.astype(bool)

        def diff(theirs):
            d = np.abs(theirs.astype(np.float64) - out)[sampled]
            return f"|diff| on sampled cells: max {d.max():.2g}"

        t_out = np.zeros_like(out)
        t_valid = np.zeros_like(valid)
        times, _, _ = timed(lambda: twins.sample_view(img, *args_cam, Z, t_out, t_valid), args.runs)
        table.add(label, "scalar twin (C ABI, ctypes)", times, base,
                  agreement(np.array_equal(t_out, out) and np.array_equal(t_valid, valid)))
        if (n, h, w, heights) == (*sizes[-1], "random"):
            for level in twins.levels:
                times, _, _ = timed(lambda: twins.level_sample_view(level, img, *args_cam, Z, t_out, t_valid),
                                    args.runs)
                table.add(label, f"our sampler at {level} (C ABI)", times, base,
                          agreement(np.array_equal(t_out, out) and np.array_equal(t_valid, valid)))
        del t_out, t_valid

        if cv2 is None:
            table.add(label, "cv2.projectPoints + cv2.remap", None, base, cv2_missing)
        else:
            rvec = cv2.Rodrigues(cam["R"])[0]
            tvec = -cam["R"] @ cam["C"]
            K = np.array([[cam["f"], 0, cam["cx"]], [0, cam["f"], cam["cy"]], [0, 0, 1.0]])
            dist = np.array([cam["k1"], cam["k2"], 0.0, 0.0])
            X = np.broadcast_to((np.arange(n) + 0.5) * cam["gsd"] + cam["X0"], (n, n))
            Y = np.broadcast_to((cam["Y0"] - (np.arange(n) + 0.5) * cam["gsd"])[:, None], (n, n))
            points = np.stack([X.ravel(), Y.ravel(), Z.ravel().astype(np.float64)], axis=1)

            def project():
                uv, _jacobian = cv2.projectPoints(points, rvec, tvec, K, dist)
                return (uv[:, 0, 0].reshape(n, n).astype(np.float32),
                        uv[:, 0, 1].reshape(n, n).astype(np.float32))

            def remap(maps):
                return cv2.remap(img, maps[0], maps[1], cv2.INTER_LINEAR)

            saved = cv2.getNumThreads()
            cv2.setNumThreads(1)
            try:
                times, maps, _ = timed(project, args.runs)
                t_project = table.add(label, "cv2.projectPoints (+ float32 maps), 1 thread", times, base,
                                      "also computes its 2N x 14 Jacobian")
                times, theirs, _ = timed(lambda: remap(maps), args.runs)
                t_remap = table.add(label, "cv2.remap INTER_LINEAR, float maps, 1 thread", times, base,
                                    diff(theirs))
                fixed = cv2.convertMaps(maps[0], maps[1], cv2.CV_16SC2)
                times, theirs, _ = timed(lambda: cv2.remap(img, fixed[0], fixed[1], cv2.INTER_LINEAR), args.runs)
                table.add(label, "cv2.remap INTER_LINEAR, fixed-point maps", times, base,
                          diff(theirs) + " (5-bit fractions)")
            finally:
                cv2.setNumThreads(saved)
            table.add(label, "cv2 route: projectPoints + remap", None, base,
                      f"sum of the two medians: {fmt_time(t_project + t_remap)}, "
                      f"{(t_project + t_remap) / base:.2f}x")
            if saved > 1:
                times, _, _ = timed(lambda: remap(maps), args.runs)
                table.add(label, f"cv2.remap INTER_LINEAR, float maps, {saved} threads", times, base)
            del points, maps, fixed, theirs

        if map_coordinates is None:
            table.add(label, "scipy.ndimage.map_coordinates", None, base, scipy_missing)
        else:
            times, vu, _ = timed(lambda: numpy_projection(cam, Z), args.runs)
            table.add(label, "NumPy projection (v, u) for scipy", times, base)
            coords = np.stack(vu)
            del vu

            def sample():
                channels = [map_coordinates(img[..., ch], coords, order=1) for ch in range(img.shape[2])]
                return np.stack(channels, axis=-1)

            times, theirs, _ = timed(sample, args.runs)
            table.add(label, "scipy map_coordinates order=1, per channel", times, base, diff(theirs))
            del coords, theirs
        del out, valid, img, Z
        gc.collect()


# ---------------------------------------------------------------------------
# threads


def bench_threads(table, twins, args):
    table.header("threads  two independent calls: one after the other vs one per thread")

    target = 0.05 if args.quick else 0.25

    def row(label, calls):
        # Enough calls per thread for each thread's share to take `target` s.
        start = time.perf_counter()
        calls[0]()
        one = time.perf_counter() - start
        repeat = max(1, int(np.ceil(target / max(one, 1e-9))))
        batch = [lambda call=call: [call() for _ in range(repeat)] for call in calls]
        serial, threaded = serial_and_threaded(batch, args.runs)
        s = table.add(label, f"1 thread, {len(calls) * repeat} calls in sequence", serial, ours=True)
        table.add(label, f"2 threads, {repeat} call{'s' * (repeat > 1)} each", threaded, s,
                  f"{len(calls) * repeat / statistics.median(threaded):.1f} calls/s vs "
                  f"{len(calls) * repeat / s:.1f} calls/s; 0.50x = both cores busy")

    rng = np.random.default_rng(7)
    shape = (16, 64, 64) if args.quick else (64, 512, 512)
    costs = [rng.random(shape, dtype=np.float32) * np.float32(100) for _ in range(2)]
    row(f"sgm {shape}", [lambda c=c: _mvs.sgm(c, P1, P2) for c in costs])
    volumes = [(c, np.empty_like(c), np.empty_like(c)) for c in costs]
    row(f"sgm core, C ABI, reused {shape}",
        [lambda v=v: twins.core_sgm(v[0], P1, P2, v[1], v[2]) for v in volumes])
    del costs, volumes

    n, radius = (1024, 1) if args.quick else (1024, 3)
    grids = [height_grid(n, seed) for seed in (1, 2)]
    row(f"bilateral {n}x{n} radius {radius}",
        [lambda g=g: _mvs.bilateral(g[0], g[1], radius, SIGMA_R, SIGMA_S) for g in grids])
    del grids

    n = 1024 if args.quick else 4096
    views = []
    for seed in (1, 2):
        cam, Z, img = view_case(n, 2048, 2048, seed)
        views.append(([cam[k] for k in CAM_KEYS], Z, img, np.zeros((n, n, 3), np.float32),
                      np.zeros((n, n), np.uint8)))
    row(f"sample_view {n}x{n} -> 2048x2048",
        [lambda v=v: _mvs.sample_view(v[2], *v[0], v[1], v[3], v[4]) for v in views])
    del views

    # Controls: other calls that drop the interpreter lock, to show what two
    # threads of compute-bound work get on this machine.
    import hashlib
    blobs = [rng.bytes(64 << 20) for _ in range(2)]
    row("control: hashlib.sha256 64 MiB", [lambda b=b: hashlib.sha256(b).digest() for b in blobs])
    del blobs
    arrays = [rng.random(4 << 20) for _ in range(2)]
    row("control: np.sin 4M float64", [lambda a=a: np.sin(a) for a in arrays])


# ---------------------------------------------------------------------------
# tiled


def differing(a, b):
    """How many values of a differ from b's, NaN counting as equal to NaN,
    and of how many: a count, since a percentage rounds a few cells away."""
    a, b = np.asarray(a), np.asarray(b)
    return int(np.count_nonzero(~((a == b) | (np.isnan(a) & np.isnan(b))))), a.size


def bench_tiled(table, twins, args):
    from quiltmap import demo, reconstruct

    size, tile, margin = TILED_QUICK if args.quick else TILED_FULL
    runs = TILED_RUNS
    table.header(f"tiled  the demonstration's survey of {size} x {size} cells, untiled and tile by tile")
    survey = demo.photograph(size)  # not timed
    views, grid, z_range = demo.views_of(survey), survey.scene.grid, survey.scene.z_range
    label = f"{size}x{size}, tile {tile}, margin {margin}"

    times, untiled, _ = timed(lambda: reconstruct(views, grid, z_range), runs)
    base = table.add(label, "reconstruct, threads=2 (its default)", times, ours=True)
    times, _, _ = timed(lambda: reconstruct(views, grid, z_range, threads=1), runs)
    one_core = table.add(label, "reconstruct, threads=1", times, base, "the 1-core baseline")

    dask, dask_missing = optional_peer("dask")
    if dask is None:
        table.add(label, "reconstruct_tiled", None, base, dask_missing)
        return
    from quiltmap.tiled import Tiling, reconstruct_tiled

    tiling = Tiling(tile, margin)
    runners = [("threads", 1, "reconstruct_tiled, threads, 1 worker"),
               ("threads", 2, "reconstruct_tiled, threads, 2 workers")]
    if not args.quick:  # a cluster takes seconds to start, in every call
        runners.append(("cluster", 2, "reconstruct_tiled, LocalCluster, 2 worker processes"))
    one_worker = None
    for scheduler, workers, impl in runners:
        if scheduler == "cluster":
            found, missing = optional_peer("distributed")
            if found is None:
                table.add(label, impl, None, base, missing)
                continue
        times, result, _ = timed(lambda: reconstruct_tiled(views, grid, z_range, tiling=tiling, scheduler=scheduler,
                                                           workers=workers), runs)
        median = statistics.median(times)
        if one_worker is None:
            one_worker = median
            counts = [f"{n} of {total} {what}" for what, (n, total) in (
                ("filled heights", differing(result.filled, untiled.filled)),
                ("orthomosaic values", differing(result.orthomosaic, untiled.orthomosaic)))]
            note = f"{median / one_core:.2f}x the 1-core baseline; differing from untiled: " + ", ".join(counts)
        else:
            note = f"{one_worker / median:.2f}x the speed of 1 worker"
            if scheduler == "cluster":
                note += "; each call starts and closes its cluster and stages the photographs as files"
        table.add(label, impl, times, base, note)
        del result
        gc.collect()


# ---------------------------------------------------------------------------
# end_to_end


def bench_end_to_end(table, twins, args):
    sys.modules.setdefault("run", sys.modules[__name__])  # end_to_end imports this script as `run`
    import end_to_end

    end_to_end.measure(table, twins, args.quick, runs=args.runs)


# ---------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smallest cases only (CI)")
    parser.add_argument("--only", nargs="+", choices=SECTIONS, default=SECTIONS)
    parser.add_argument("--runs", type=int, default=5, help="timed calls per figure (at least 5)")
    parser.add_argument("--twins", type=Path, default=ROOT / "build" / "bench" / "libquiltmap_twins.so",
                        help="the scalar-twin library (built by `make bench`)")
    parser.add_argument("--out", type=Path, default=HERE / "results")
    parser.add_argument("--table-from", type=Path, metavar="JSON",
                        help="print the Markdown table of a saved run (for bench/README.md) and exit")
    args = parser.parse_args()
    if args.table_from:
        saved = json.loads(args.table_from.read_text())
        table = Table()
        table.rows = saved["rows"]
        level = saved.get("level", {}).get("chosen", "?")
        print(f"{saved['date']}, commit {saved['commit']}, {saved['cpu']['model']} "
              f"({saved['cpu']['cores']} cores), kernels at level {level}, wall time {saved['wall_s']:.0f} s\n")
        print(table.markdown())
        return
    if args.runs < 5:
        parser.error("--runs must be at least 5")
    if not args.twins.exists():
        parser.error(f"{args.twins} is missing; `make bench` or `make bench-quick` builds it")

    started = time.perf_counter()
    now = datetime.datetime.now().astimezone()
    cpu = cpu_info()
    meta = {"date": now.isoformat(timespec="seconds"), "commit": git_commit(), "quick": args.quick,
            "runs": args.runs, "cpu": cpu, "versions": versions(), "platform": platform.platform()}
    print(f"quiltmap benchmark suite{' (--quick)' if args.quick else ''}, {meta['date']}, commit {meta['commit']}")
    print(f"CPU: {cpu['model']}, {cpu['cores']} cores")
    print(f"instruction sets: {' '.join(cpu['isa'])}")
    print("software: " + ", ".join(f"{k} {v}" for k, v in meta["versions"].items()))
    print(f"every figure: median of {args.runs} timed calls"
          + (f" ({TILED_RUNS} in the tiled section)" if "tiled" in args.only else "")
          + (" (end_to_end: 3 for the reconstruction, at least 15 for the rest)" if "end_to_end" in args.only else "")
          + " after one warm-up; 'vs ours' = time / time of quiltmap._mvs on the same case"
          + (" (tiled section: of the untiled reconstruct)" if "tiled" in args.only else ""))

    twins = Twins(args.twins)
    request = os.environ.get("QUILTMAP_ISA")
    meta["level"] = {"chosen": twins.level, "supported": twins.levels[-1], "QUILTMAP_ISA": request}
    print(f"kernels at level {twins.level} (the highest this machine runs: {twins.levels[-1]}; "
          f"QUILTMAP_ISA {'unset' if request is None else repr(request)})")
    table = Table()
    bench = {"sgm": bench_sgm, "bilateral": bench_bilateral, "sample_view": bench_sample_view,
             "threads": bench_threads, "tiled": bench_tiled, "end_to_end": bench_end_to_end}
    for section in SECTIONS:
        if section in args.only:
            bench[section](table, twins, args)

    meta["wall_s"] = time.perf_counter() - started
    args.out.mkdir(parents=True, exist_ok=True)
    stem = now.strftime("%Y%m%d-%H%M%S") + ("-quick" if args.quick else "")
    json_path = args.out / f"{stem}.json"
    with open(json_path, "w") as f:
        json.dump({**meta, "rows": table.rows}, f, indent=1)
    md_path = args.out / f"{stem}.md"
    with open(md_path, "w") as f:
        f.write(f"{meta['date']}, commit {meta['commit']}, {cpu['model']} ({cpu['cores']} cores), "
                f"kernels at level {twins.level}\n\n")
        f.write(table.markdown() + "\n")
    print()
    print(f"wall time {meta['wall_s']:.1f} s; figures in {json_path.relative_to(ROOT)} "
          f"and {md_path.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
