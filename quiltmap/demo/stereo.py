"""python -m quiltmap.demo.stereo: a disparity map of real photographs.

The rectified Middlebury 2014 'motorcycle' pair that scikit-image ships
(left and right 741 x 500 RGB images with a ground-truth disparity map) is
matched with quiltmap's kernels: a census cost over the disparity range,
`sgm`, winner-take-all with parabolic sub-pixel refinement, a left-right
consistency mask, and `bilateral` under that mask.  The command reports the
share of pixels whose disparity is off by more than 1 and 2 pixels beside
OpenCV's StereoSGBM and beside the same cost without aggregation, with their
wall times, and draws a figure.

Disparities follow the Middlebury convention: left[y, x] shows the point that
right[y, x - d] shows.  The matching functions need only NumPy; loading the
pair, the OpenCV run and the figure need the `stereo` extras
(scikit-image, opencv-python-headless, matplotlib).
"""
import argparse
import json
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from .. import _mvs, _pipeline
from ..reconstruction import census as census_code

# Module imported by the command, and the distribution that provides it.
EXTRAS = (("skimage", "scikit-image"), ("cv2", "opencv-python-headless"), ("matplotlib", "matplotlib"))

# Rows of the table.
OURS = "quiltmap: census, sgm, bilateral"
WITHOUT_SGM = "census, no aggregation"


@dataclass
class Settings:
    # A 7 x 9 census window: 62 bits, the most that one uint64 code per pixel
    # holds in a window of odd sides; it did better than 7 x 7 on the motorcycle pair.
    census_rows: int = 3  # half-height
    census_cols: int = 4  # half-width
    # Cost of a disparity whose match falls outside the right image.  About
    # what a fair true match scores (on the motorcycle pair three true
    # matches in four score less, unrelated pixels 0.45 on average): then
    # sgm's smoothness, not the missing data, decides the disparity of the
    # band along the left edge, and carries in that of the pixels beside it.
    outside: float = 0.2
    P1: float = 0.1  # one-disparity step, in units of the cost (share of census bits that differ): ~6 bits
    P2: float = 0.5  # larger steps: ~31 bits
    tolerance: float = 1.0  # left and right disparities of a matched pixel differ by no more (px)
    radius: int = 3  # bilateral window radius (px)
    sigma_r: float = 1.0  # bilateral range scale (px of disparity): object edges jump by several
    sigma_s: float = 2.0  # bilateral spatial scale (px)


@dataclass
class Pair:
    left: np.ndarray  # (H, W, 3) uint8
    right: np.ndarray  # (H, W, 3) uint8
    truth: np.ndarray  # (H, W) float32 disparity, NaN where unknown
    downsample: int = 1


@dataclass
class Match:
    disparity: np.ndarray  # (H, W) float32, NaN where unmatched
    matched: np.ndarray  # (H, W) bool
    seconds: float  # wall time from the two images to disparity and mask
    stages: dict = field(default_factory=dict)  # wall time of each step, seconds


# ---------------------------------------------------------------------------
# The pair


def shrink(a, n):
    """Mean of every n x n block (the last rows and columns that make no whole block are dropped)."""
    if n == 1:
        return a
    H, W = a.shape[0] // n, a.shape[1] // n
    blocks = a[: H * n, : W * n].reshape(H, n, W, n, *a.shape[2:])
    return blocks.mean(axis=(1, 3))


def load_motorcycle(downsample=1):
    """The pair as scikit-image ships it (no download), optionally shrunk by
    an integer factor; the ground truth is then the mean of each block's
    disparities, scaled, and unknown wherever one of them is."""
    from skimage.data import stereo_motorcycle

    left, right, disparity = stereo_motorcycle()
    # Unknown ground truth comes as inf (the docstring says NaN): accept both.
    truth = np.where(np.isfinite(disparity), disparity, np.nan).astype(np.float64)
    n = downsample
    left = np.rint(shrink(left.astype(np.float64), n)).astype(np.uint8)
    right = np.rint(shrink(right.astype(np.float64), n)).astype(np.uint8)
    truth = (shrink(truth, n) / n).astype(np.float32)  # a NaN in a block makes the mean NaN
    return Pair(left, right, truth, n)


def disparity_count(truth):
    """Disparities 0 to the largest known one, rounded up to a multiple of 16
    (StereoSGBM's unit), so that both matchers search the same range."""
    return int(16 * np.ceil((np.nanmax(truth) + 1) / 16))


# ---------------------------------------------------------------------------
# Matching


def grey(rgb):
    """Mean of the channels, float32: rgb.astype(np.float32).mean(axis=2).
    Three uint8 channels add up exactly in float32 in any order, so their sum
    divided by 3 has the mean's bits, in a tenth of its time."""
    if rgb.dtype != np.uint8 or rgb.shape[2] != 3:
        return rgb.astype(np.float32).mean(axis=2)
    total = np.add(rgb[..., 0], rgb[..., 1], dtype=np.float32)
    np.add(total, rgb[..., 2], out=total)
    return np.divide(total, np.float32(3), out=total)


def census(image, rows, cols):
    """Census code of each pixel and its number of bits: one bit per other
    pixel of the (2 rows + 1) x (2 cols + 1) window, set where that pixel is
    darker than the centre.  Comparisons, not intensities, so the two
    cameras' differences in exposure do not matter."""
    return census_code(image, rows, cols), (2 * rows + 1) * (2 * cols + 1) - 1


def cost_volume(left, right, disparities, settings):
    """(D, H, W) float32: the share of census bits that differ between left
    pixel (y, x) and right pixel (y, x - d)."""
    a, bits = census(left, settings.census_rows, settings.census_cols)
    b, _ = census(right, settings.census_rows, settings.census_cols)
    cost = np.empty((disparities, *left.shape), np.float32)
    _pipeline.census_cost(a, b, 0, 1.0 / bits, settings.outside, cost)
    return cost


def winner(volume):
    """Best disparity of every left pixel, refined by the vertex of the parabola
    through its cost and its two neighbours' (kept within half a disparity):
    the reconstruction's selection with heights 0, 1, ..., D - 1, which gives
    the same bits as best + offset in float32."""
    disparity = np.empty(volume.shape[1:], np.float32)
    unused = np.empty(volume.shape[1:], np.uint8)  # no label is far: nothing to be unique against
    _pipeline.select_heights(np.ascontiguousarray(volume), 0.0, 1.0, np.inf, 0.0, disparity, unused)
    return disparity


def right_winner(volume):
    """Best whole disparity (int32) of every right pixel, read from the same
    volume along its diagonals: right pixel (y, x) is left pixel (y, x + d) at
    d.  Of equal costs the smaller disparity wins."""
    best = np.empty(volume.shape[1:], np.int32)
    _pipeline.right_winner(volume, best)
    return best


def consistent(left_disparity, right_disparity, tolerance=1.0):
    """Left pixels whose match in the right image points back to them: the
    two disparities differ by at most `tolerance`.  Pixels whose match falls
    outside the right image are not."""
    matched = np.empty(left_disparity.shape, np.uint8)
    _pipeline.left_right_check(left_disparity, right_disparity, tolerance, matched)
    return matched.view(bool)


class Volumes:
    """The (D, H, W) volumes of match(): the census counts (or, without
    aggregation, the cost), sgm's sum and its scratch.  Keep one between
    calls on pairs of one size: fresh volumes cost their page faults again
    at the first write, some 7 ms per float32 volume of the motorcycle
    pair.  One call at a time."""

    def __init__(self):
        self.shape = None
        self.arrays = {}

    def of(self, shape, *names):
        """The volumes of those names ('counts', 'cost', 'agg', 'path') for this shape."""
        if self.shape != shape:
            self.arrays, self.shape = {}, shape
        for name in names:
            if name not in self.arrays:
                self.arrays[name] = np.empty(shape, np.uint8 if name == "counts" else np.float32)
        return tuple(self.arrays[name] for name in names)


def in_parallel(first, second):
    """Calls first() on a helper thread and second() on this one, and returns
    both results.  The kernels release the interpreter lock, so the two share
    the cores."""
    with ThreadPoolExecutor(1) as helper:
        pending = helper.submit(first)
        done = second()
        return pending.result(), done


def match(left, right, disparities, settings=None, aggregate=True, volumes=None):
    """Disparity map and mask of a rectified pair of uint8 RGB images.
    aggregate=False leaves out `sgm` and keeps every other step.  `volumes`
    (a Volumes) keeps the cost volumes for the next call; without one they
    are made afresh, inside the timed region."""
    settings = settings or Settings()
    stages = {}
    start = time.perf_counter()

    def stage(name, since):
        now = time.perf_counter()
        stages[name] = now - since
        return now

    t = start
    H, W = left.shape[:2]
    volumes = volumes or Volumes()
    rows, cols = settings.census_rows, settings.census_cols
    (a, bits), (b, _) = in_parallel(lambda: census(grey(left), rows, cols), lambda: census(grey(right), rows, cols))
    t = stage("census", t)
    # cost_volume() with disparities [0, half) and [half, D) on two cores.
    # sgm reads its costs three times over: as census counts, which stand
    # for the same float32 costs, they cost a quarter of the memory traffic.
    half, scale = disparities // 2, 1.0 / bits
    if aggregate:
        counts, agg, path = volumes.of((disparities, H, W), "counts", "agg", "path")
        in_parallel(lambda: _pipeline.census_counts(a, b, 0, counts[:half]),
                    lambda: _pipeline.census_counts(a, b, half, counts[half:]))
        t = stage("cost", t)
        _pipeline.sgm_counts(counts, scale, settings.outside, settings.P1, settings.P2, agg, path, 2)
        volume = agg  # both cores, the bits of sgm() of cost_volume()
        t = stage("sgm", t)
    else:
        volume, = volumes.of((disparities, H, W), "cost")
        in_parallel(lambda: _pipeline.census_cost(a, b, 0, scale, settings.outside, volume[:half]),
                    lambda: _pipeline.census_cost(a, b, half, scale, settings.outside, volume[half:]))
        t = stage("cost", t)
    # The two winners read the whole volume once each: side by side on two
    # cores.  winner() is the place of the left winner's kernel.
    right_best, raw = in_parallel(lambda: right_winner(volume), lambda: winner(volume))
    matched = consistent(raw, right_best, settings.tolerance)
    t = stage("winner and consistency", t)
    # Row bands that overlap by the filter's radius, each kept where its
    # windows are whole: the whole map's bits on two cores.
    mask, r = matched.view(np.uint8), settings.radius
    middle = H // 2

    def band(first, end):
        low, high = max(first - r, 0), min(end + r, H)
        smooth = _mvs.bilateral(raw[low:high], mask[low:high], r, settings.sigma_r, settings.sigma_s)
        return smooth[first - low: end - low]

    bottom, top = in_parallel(lambda: band(middle, H), lambda: band(0, middle))
    disparity = np.where(matched, np.concatenate([top, bottom]), np.nan).astype(np.float32)
    stage("bilateral", t)
    return Match(disparity, matched, time.perf_counter() - start, stages)


def opencv_sgbm(left, right, disparities, block=3):
    """OpenCV's StereoSGBM with 8 paths (MODE_HH), its documented penalties
    8 and 32 x channels x block^2, its left-right check at 1 px, uniqueness
    and speckle filters; pixels it marks invalid are unmatched."""
    import cv2

    channels = left.shape[2]
    matcher = cv2.StereoSGBM_create(
        minDisparity=0, numDisparities=disparities, blockSize=block,
        P1=8 * channels * block * block, P2=32 * channels * block * block,
        disp12MaxDiff=1, uniquenessRatio=10, speckleWindowSize=100, speckleRange=2,
        mode=cv2.STEREO_SGBM_MODE_HH)
    matcher.compute(left, right)  # once untimed, as our matcher (run)
    start = time.perf_counter()
    fixed = matcher.compute(left, right)  # int16, disparity x 16, (minDisparity - 1) x 16 where invalid
    seconds = time.perf_counter() - start
    matched = fixed >= 0
    disparity = np.where(matched, fixed.astype(np.float32) / 16, np.nan).astype(np.float32)
    return Match(disparity, matched, seconds, {"compute": seconds})


def fill_from_background(disparity, matched):
    """Unmatched pixels take the smaller of the nearest matched disparities
    to their left and right on the same row: most are occluded background,
    beside a nearer object.  A row with no matched pixel becomes 0."""
    H, W = disparity.shape
    x = np.broadcast_to(np.arange(W), (H, W))
    rows = np.arange(H)[:, None]
    before = np.maximum.accumulate(np.where(matched, x, -1), axis=1)
    after = np.minimum.accumulate(np.where(matched, x, W)[:, ::-1], axis=1)[:, ::-1]
    values = np.where(matched, disparity, np.inf)
    from_before = np.where(before >= 0, values[rows, np.clip(before, 0, W - 1)], np.inf)
    from_after = np.where(after < W, values[rows, np.clip(after, 0, W - 1)], np.inf)
    nearest = np.minimum(from_before, from_after)
    return np.where(matched, disparity, np.where(np.isfinite(nearest), nearest, 0.0)).astype(np.float32)


# ---------------------------------------------------------------------------
# Report


def errors(filled, matched, truth):
    """Shares of pixels with a known true disparity whose absolute error
    exceeds 1 and 2 px: over all of them (filled map), and over those the
    mask keeps (with the share of known pixels it keeps)."""
    known = np.isfinite(truth)
    error = np.abs(filled - truth)
    kept = known & matched

    def over(limit, where):
        return float(np.mean(error[where] > limit)) if where.any() else float("nan")

    return {
        "all_over_1": over(1, known), "all_over_2": over(2, known),
        "matched_share": float(kept.sum() / max(known.sum(), 1)),
        "matched_over_1": over(1, kept), "matched_over_2": over(2, kept),
    }


def run(pair, settings=None, block=3):
    """The three matchers on the pair: name -> (Match, filled map, errors)."""
    settings = settings or Settings()
    D = disparity_count(pair.truth)
    # Each matcher runs once untimed: the times are those of a matcher in use,
    # without its first call's set-up (for ours, the volumes' fresh pages).
    volumes = Volumes()
    for aggregate in (True, False):  # each keeps volumes of its own in `volumes`
        match(pair.left, pair.right, D, settings, aggregate=aggregate, volumes=volumes)
    found = {
        OURS: match(pair.left, pair.right, D, settings, volumes=volumes),
        WITHOUT_SGM: match(pair.left, pair.right, D, settings, aggregate=False, volumes=volumes),
        f"OpenCV StereoSGBM (HH, block {block})": opencv_sgbm(pair.left, pair.right, D, block),
    }
    results = {}
    for name, m in found.items():
        filled = fill_from_background(m.disparity, m.matched)
        results[name] = (m, filled, errors(filled, m.matched, pair.truth))
    return D, results


def table(results):
    lines = [
        f"{'':38s}{'time':>7s}   {'all known pixels':^17s}   {'matched pixels':^24s}",
        f"{'method':38s}{'(s)':>7s}   {'>1 px':>7s}  {'>2 px':>7s}   {'share':>7s}  {'>1 px':>7s}  {'>2 px':>7s}",
    ]
    for name, (m, _, e) in results.items():
        lines.append(f"{name:38s}{m.seconds:7.2f}   {100 * e['all_over_1']:6.1f}%  {100 * e['all_over_2']:6.1f}%"
                     f"   {100 * e['matched_share']:6.1f}%  {100 * e['matched_over_1']:6.1f}%"
                     f"  {100 * e['matched_over_2']:6.1f}%")
    return lines


def text(pair, D, results, settings, out_dir=None):
    import cv2

    H, W = pair.truth.shape
    known = np.isfinite(pair.truth)
    size = "full resolution" if pair.downsample == 1 else f"shrunk {pair.downsample} times"
    ours = results[OURS][0]
    lines = [
        f"Middlebury 2014 'motorcycle' as scikit-image ships it: {W} x {H} pixels ({size}), "
        f"disparities 0 to {D - 1}",
        f"ground truth known at {100 * known.mean():.1f} % of the pixels "
        f"(disparities {np.nanmin(pair.truth):.1f} to {np.nanmax(pair.truth):.1f})",
        "",
        *table(results),
        "",
        "all known pixels: every pixel with a ground-truth disparity; unmatched pixels filled by the smaller",
        "  of the nearest matched disparities to their left and right on the same row (the background side).",
        "matched pixels: the known pixels that the method's own mask keeps (share: of the known pixels).",
        f"  quiltmap and no aggregation: left-right check within {settings.tolerance:g} px; OpenCV: the pixels",
        "  it does not mark invalid (left-right check within 1 px, uniqueness 10 %, speckle filter).",
        "time: wall time from the two images to the disparity map and its mask, at each matcher's second call.",
        "quiltmap's steps: " + ", ".join(f"{name} {seconds:.2f} s" for name, seconds in ours.stages.items())
        + f"; OpenCV {cv2.__version__} with {cv2.getNumThreads()} threads",
        f"census {2 * settings.census_rows + 1} x {2 * settings.census_cols + 1}, P1 {settings.P1:g}, "
        f"P2 {settings.P2:g}, bilateral radius {settings.radius}, sigma_r {settings.sigma_r:g} px, "
        f"sigma_s {settings.sigma_s:g} px",
    ]
    if out_dir is not None:
        lines += ["", f"figure, table and disparities in {out_dir}"]
    return "\n".join(lines)


def figure(pair, results, path):
    """Left image, ground truth, our and OpenCV's disparities (unmatched in
    grey) and the errors of their filled maps (unknown truth in grey)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ours, ours_filled, ours_e = results[OURS]
    cv_name = next(name for name in results if name.startswith("OpenCV"))
    cv, cv_filled, cv_e = results[cv_name]
    low, high = 0.0, float(np.nanmax(pair.truth))
    disparity_cmap = plt.get_cmap("viridis").with_extremes(bad="0.75")
    error_cmap = plt.get_cmap("coolwarm").with_extremes(bad="0.75")
    disparity_style = dict(cmap=disparity_cmap, vmin=low, vmax=high)
    error_style = dict(cmap=error_cmap, vmin=-4, vmax=4)

    def summary(e):
        return f"{100 * e['all_over_1']:.1f} % > 1 px, {100 * e['all_over_2']:.1f} % > 2 px"

    # In columns: the pair's left image over the truth, then each matcher's disparities over its errors.
    panels = [
        (pair.left, "left image", {}),
        (pair.truth, "ground truth (px), unknown in grey", disparity_style),
        (ours.disparity, f"quiltmap, {100 * (1 - ours.matched.mean()):.1f} % unmatched in grey", disparity_style),
        (ours_filled - pair.truth, f"quiltmap error (px), filled: {summary(ours_e)}", error_style),
        (cv.disparity, f"{cv_name}, {100 * (1 - cv.matched.mean()):.1f} % unmatched", disparity_style),
        (cv_filled - pair.truth, f"OpenCV error (px), filled: {summary(cv_e)}", error_style),
    ]
    fig, axes = plt.subplots(2, 3, figsize=(13.5, 6.4), dpi=85, constrained_layout=True)
    for ax, (data, title, style) in zip(axes.T.ravel(), panels):
        shown = ax.imshow(data, interpolation="nearest", **style)
        ax.set_title(title, fontsize=9)
        ax.set_axis_off()
        if data.ndim == 2:
            fig.colorbar(shown, ax=ax, shrink=0.85).ax.tick_params(labelsize=7)
    fig.canvas.draw()
    rgb = np.asarray(fig.canvas.buffer_rgba())[..., :3]
    plt.close(fig)
    # 256 colours lose nothing visible here and keep the file near a tenth of its full-colour size.
    from PIL import Image

    Image.fromarray(rgb).quantize(256, method=Image.FASTOCTREE, dither=Image.NONE).save(path, optimize=True)


def save(pair, D, results, out_dir):
    out_dir.mkdir(parents=True, exist_ok=True)
    metrics = {
        "downsample": pair.downsample, "disparities": D,
        "methods": {name: dict(e, seconds=m.seconds, stages=m.stages) for name, (m, _, e) in results.items()},
    }
    (out_dir / "metrics.json").write_text(json.dumps(metrics, indent=2) + "\n")
    ours, filled, _ = results[OURS]
    np.save(out_dir / "disparity.npy", ours.disparity)  # NaN where unmatched
    np.save(out_dir / "disparity_filled.npy", filled)
    np.save(out_dir / "truth.npy", pair.truth)  # NaN where unknown
    return metrics


# ---------------------------------------------------------------------------
# Command


def parse(argv):
    parser = argparse.ArgumentParser(
        prog="python -m quiltmap.demo.stereo",
        description="Match the rectified Middlebury 2014 'motorcycle' stereo pair that scikit-image ships "
        "with quiltmap's kernels (census cost, sgm, sub-pixel winner-take-all, left-right check, "
        "bilateral), and compare its disparities with the ground truth, with OpenCV's StereoSGBM and "
        "with the same cost without aggregation. Prints a table and writes a figure (stereo.png), "
        "the table (report.txt, metrics.json) and the disparities (.npy).",
    )
    parser.add_argument("--downsample", type=int, default=1, metavar="N",
                        help="shrink the pair N times on each side first (default 1: the shipped 741 x 500)")
    parser.add_argument("--out", type=Path, default=Path("quiltmap-stereo-output"), metavar="DIR",
                        help="output folder (default ./quiltmap-stereo-output)")
    args = parser.parse_args(argv)
    if not 1 <= args.downsample <= 16:
        parser.error("--downsample must be from 1 to 16")
    return args


def require_extras():
    """Exits naming every missing package and the command that installs them."""
    missing = []
    for module, package in EXTRAS:
        try:
            __import__(module)
        except ImportError:
            missing.append(package)
    if missing:
        sys.exit(f"python -m quiltmap.demo.stereo needs {', '.join(missing)}, which "
                 f"{'is' if len(missing) == 1 else 'are'} not installed: pip install 'quiltmap[stereo]'")


def main(argv=None):
    args = parse(argv)
    require_extras()
    settings = Settings()
    pair = load_motorcycle(args.downsample)
    D, results = run(pair, settings)
    save(pair, D, results, args.out)
    figure(pair, results, args.out / "stereo.png")
    printed = text(pair, D, results, settings, args.out)
    (args.out / "report.txt").write_text(printed + "\n")
    print(printed)


if __name__ == "__main__":
    main()
