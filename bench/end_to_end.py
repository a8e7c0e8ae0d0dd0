"""The pipeline end to end: the demonstration's reconstruction with the time
of each stage and of every kernel call, hole filling at a million cells, the
stereo example against OpenCV's StereoSGBM, and sample_view against its
scalar twin.

    python bench/end_to_end.py [--quick] [--only SECTION ...] [--runs N] [--label NAME]
    python bench/end_to_end.py --before BEFORE.json ... --after AFTER.json ...

It needs only an installed quiltmap (the stereo section also OpenCV and
scikit-image, the sample_view section the scalar twins that `make bench`
builds), so the same script measures an older build from that build's venv:
a kernel module the build lacks is left out of the kernels' time, and the
rows say which modules were timed.  `bench/run.py --only end_to_end` runs the
same sections into the suite's table.  --before and --after print the table
of saved runs of two builds side by side, with the targets; each figure is
the median over a build's runs, as this machine's speed drifts by a fifth
or more from one minute to the next.
"""

import argparse
import datetime
import gc
import hashlib
import importlib
import inspect
import json
import os
import resource
import statistics
import sys
import threading
import time
from collections import defaultdict
from contextlib import contextmanager
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import run as suite  # noqa: E402  the suite's table, twins and sample_view cases

SECTIONS = ("reconstruction", "fill_holes", "stereo", "sample_view")
KERNEL_MODULES = ("_mvs", "_pipeline")
SIZE, QUICK_SIZE = 1024, 256  # the demonstration's cells on a side
LABELS = 96
RECONSTRUCTION_RUNS = 3  # whatever --runs says: before the kernels a full-size call took a minute
SHORT_RUNS = 15  # at least, for the calls of a fraction of a second, whose medians of 5 drift by a fifth here
FILL_SIDE = 1000  # hole filling on 1000 x 1000 cells
VIEW_CASE = (1024, 2048, 2048)  # sample_view: grid cells on a side, image height, width


# ---------------------------------------------------------------------------
# Clocks


class KernelTimer:
    """While entered, every function of the extension modules runs inside a
    clock.  The Python steps look their kernels up on the module at call time
    (`_pipeline.census(...)`, `KernelClock`'s getattr of `_mvs`), so each call
    goes through the clock without a change to the library."""

    def __init__(self, modules):
        self.modules = modules  # {name: module}
        self.calls = []  # (kernel, start, end, processor seconds, system seconds, of the calling thread)
        self._saved = []

    def __enter__(self):
        for label, module in self.modules.items():
            for name in dir(module):
                function = getattr(module, name)
                if name.startswith("_") or inspect.ismodule(function) or inspect.isclass(function) \
                        or not callable(function):
                    continue
                self._saved.append((module, name, function))
                setattr(module, name, self._clocked(f"{label}.{name}", function))
        return self

    def __exit__(self, *_):
        for module, name, function in reversed(self._saved):
            setattr(module, name, function)
        self._saved.clear()

    def _clocked(self, name, function):
        calls = self.calls

        def clocked(*args, **kwargs):
            # The kernels start no threads of their own: the calling thread's
            # processor time is the kernel's.
            usage, start = thread_usage(), time.perf_counter()
            try:
                return function(*args, **kwargs)
            finally:
                end, after = time.perf_counter(), thread_usage()
                calls.append((name, start, end, after[0] - usage[0], after[1] - usage[1]))

        return clocked


def thread_usage():
    """(processor, system) seconds of the calling thread so far."""
    usage = resource.getrusage(resource.RUSAGE_THREAD)
    return usage.ru_utime + usage.ru_stime, usage.ru_stime


class StageTimer:
    """While entered, records when each stage of quiltmap.reconstruction's
    Stages starts and ends (Stages keeps only the durations)."""

    def __init__(self):
        self.intervals = []  # (stage, start, end)

    def __enter__(self):
        from quiltmap.reconstruction import Stages

        self._run, self._single = Stages.run, Stages.single
        intervals, run, single = self.intervals, Stages.run, Stages.single

        def timed_run(stages, name, items, total=None):
            start = time.perf_counter()
            yield from run(stages, name, items, total)
            intervals.append((name, start, time.perf_counter()))

        @contextmanager
        def timed_single(stages, name):
            start = time.perf_counter()
            try:
                with single(stages, name):
                    yield
            finally:
                intervals.append((name, start, time.perf_counter()))

        Stages.run, Stages.single = timed_run, timed_single
        self._stages = Stages
        return self

    def __exit__(self, *_):
        self._stages.run, self._stages.single = self._run, self._single


def covered(intervals, within=None):
    """Seconds of the union of (start, end) intervals, clipped to `within`."""
    if within is not None:
        low, high = within
        intervals = [(max(s, low), min(e, high)) for s, e in intervals if e > low and s < high]
    total, reach = 0.0, -np.inf
    for start, end in sorted(intervals):
        if end > reach:
            total += end - max(start, reach)
            reach = end
    return total


def profile(calls, stage_intervals, start, end):
    """What a run's clocks say: the wall time under some kernel call, the
    calls' own seconds and processor seconds by kernel, and per stage its
    time, the time under kernel calls in it and its kernels' seconds (a call
    belongs to the stage it starts in); the time outside every stage is the
    stage '(outside the stages)'."""
    spans = [(s, e) for _, s, e, *_ in calls]
    kernels = defaultdict(lambda: {"calls": 0, "s": 0.0, "cpu_s": 0.0, "system_s": 0.0})
    for name, s, e, cpu, system in calls:
        kernels[name]["calls"] += 1
        kernels[name]["s"] += e - s
        kernels[name]["cpu_s"] += cpu
        kernels[name]["system_s"] += system
    stages = defaultdict(lambda: {"s": 0.0, "kernels_s": 0.0, "windows": [], "by_kernel": defaultdict(float)})
    for name, s, e in stage_intervals:
        stages[name]["s"] += e - s
        stages[name]["kernels_s"] += covered(spans, (s, e))
        stages[name]["windows"].append((s, e))
    outside = stages["(outside the stages)"]
    outside["s"] = (end - start) - sum(st["s"] for n, st in stages.items() if n != "(outside the stages)")
    outside["kernels_s"] = covered(spans, (start, end)) - sum(
        st["kernels_s"] for n, st in stages.items() if n != "(outside the stages)")
    for name, s, e, *_ in calls:
        home = next((n for n, st in stages.items() if any(a <= s < b for a, b in st["windows"])),
                    "(outside the stages)")
        stages[home]["by_kernel"][name] += e - s
    for st in stages.values():
        del st["windows"]
        st["by_kernel"] = dict(st["by_kernel"])
    return {"kernels_covered_s": covered(spans, (start, end)), "kernels_s": sum(k["s"] for k in kernels.values()),
            "kernels_cpu_s": sum(k["cpu_s"] for k in kernels.values()),
            "kernels_system_s": sum(k["system_s"] for k in kernels.values()), "kernels": dict(kernels),
            "stages": dict(stages)}


def kernel_modules():
    """The kernel modules this build has, by name."""
    found = {}
    for name in KERNEL_MODULES:
        try:
            found[name] = importlib.import_module(f"quiltmap.{name}")
        except ImportError:
            pass
    return found


class Runs(list):
    """What each timed call returned, with its wall seconds, processor
    seconds (user and system, all threads) and system seconds alone."""

    def __init__(self):
        super().__init__()
        self.walls, self.cpus, self.systems = [], [], []


def repeat(call, runs):
    """One warm-up call, then `runs` timed ones (a Runs)."""
    gc.collect()
    call()
    done = Runs()
    gc.disable()
    try:
        for _ in range(runs):
            usage, cpu, start = resource.getrusage(resource.RUSAGE_SELF), time.process_time(), time.perf_counter()
            done.append(call())
            done.walls.append(time.perf_counter() - start)
            done.cpus.append(time.process_time() - cpu)
            done.systems.append(resource.getrusage(resource.RUSAGE_SELF).ru_stime - usage.ru_stime)
    finally:
        gc.enable()
    return done


def median(values):
    return statistics.median(values) if values else None


def digest(*arrays):
    """A short fingerprint of arrays' bits, to tell two builds' results apart."""
    h = hashlib.sha1()
    for a in arrays:
        h.update(np.ascontiguousarray(a).tobytes())
    return h.hexdigest()[:12]


def cpu_note(runs):
    cpu = median(runs.cpus)
    return (f"processor {suite.fmt_time(cpu)} ({cpu / median(runs.walls):.2f} cores busy), of which system "
            f"{suite.fmt_time(median(runs.systems))}")


# ---------------------------------------------------------------------------
# a. The demonstration's reconstruction


def demonstration(size):
    """The demonstration's survey of size x size cells: (views, grid, z_range); not timed."""
    from quiltmap import demo

    survey = demo.photograph(size)
    return demo.views_of(survey), survey.scene.grid, survey.scene.z_range


def first_touch(shape, pause=3.0):
    """Seconds to fill a fresh float32 volume of `shape`: right after one of
    its size was freed, and after `pause` seconds idle.  On a virtual machine
    that hands freed memory back to its host, the second takes it back page
    by page."""
    seconds = []
    for wait in (0.0, pause):
        np.ones(shape, np.float32)  # made and freed
        time.sleep(wait)
        start = time.perf_counter()
        np.ones(shape, np.float32)
        seconds.append(time.perf_counter() - start)
    return seconds


def bench_reconstruction(table, size, survey):
    from quiltmap import Settings, reconstruct

    modules = kernel_modules()
    views, grid, z_range = survey
    label = f"demonstration {size}x{size}, {len(views)} views, {LABELS} labels"
    table.header(f"end_to_end: reconstruction  {label}, threads=2 (reconstruct's default); "
                 f"kernels of {', '.join('quiltmap.' + m for m in modules)}")
    profiles, last = [], {}

    def once():
        last.clear()  # one result held at a time
        with KernelTimer(modules) as kernels, StageTimer() as stages:
            start = time.perf_counter()
            last["result"] = reconstruct(views, grid, z_range, Settings(labels=LABELS))
            end = time.perf_counter()
        profiles.append(profile(kernels.calls, stages.intervals, start, end))

    runs = repeat(once, RECONSTRUCTION_RUNS)
    walls, cpus = runs.walls, runs.cpus
    profiles, result = profiles[1:], last["result"]  # the warm-up's profile is dropped
    base = table.add(label, "reconstruct", walls, ours=True, key="reconstruction",
                     note=f"{cpu_note(runs)}; filled and orthomosaic {digest(result.filled, result.orthomosaic)}",
                     cpu_s=median(cpus), system_s=median(runs.systems), modules=list(modules))
    share = median([p["kernels_covered_s"] / w for p, w in zip(profiles, walls)])
    kernel_cpu = median([p["kernels_cpu_s"] for p in profiles])
    table.add(label, "under some kernel call (union of the calls)", [p["kernels_covered_s"] for p in profiles], base,
              f"{share:.1%} of the wall time; kernels' processor time {suite.fmt_time(kernel_cpu)} = "
              f"{kernel_cpu / median(cpus):.1%} of the process's; calls' own seconds "
              f"{suite.fmt_time(median([p['kernels_s'] for p in profiles]))} (two threads overlap)",
              key="reconstruction kernels", share=share, kernel_cpu_share=kernel_cpu / median(cpus))
    names = list(profiles[0]["stages"])
    names.sort(key=lambda n: -profiles[0]["stages"][n]["s"])
    for name in names:
        stage = [p["stages"].get(name, {"s": 0.0, "kernels_s": 0.0, "by_kernel": {}}) for p in profiles]
        seconds = [st["s"] for st in stage]
        inside = median([st["kernels_s"] for st in stage])
        top = sorted(stage[0]["by_kernel"].items(), key=lambda kv: -kv[1])[:3]
        table.add(label, f"stage: {name}", seconds, base,
                  f"kernels run through {inside / max(median(seconds), 1e-12):.0%} of it"
                  + (f"; most: {', '.join(f'{k} {suite.fmt_time(s)}' for k, s in top)}" if top else ""),
                  key=f"reconstruction stage {name}", kernels_s=inside)
    shape = (LABELS, size, size)
    at_once, after_pause = first_touch(shape)
    table.add(label, f"machine: first write of a fresh {shape} float32 volume", [after_pause], base,
              f"after 3 s idle; {suite.fmt_time(at_once)} right after one was freed", key="first touch",
              at_once_s=at_once)
    kernels = sorted(profiles[0]["kernels"], key=lambda k: -profiles[0]["kernels"][k]["s"])
    for name in kernels:
        calls = [p["kernels"][name] for p in profiles]
        table.add(label, f"kernel {name} (calls' own time)", [c["s"] for c in calls], base,
                  f"{calls[0]['calls']} calls, processor {suite.fmt_time(median([c['cpu_s'] for c in calls]))}, "
                  f"of which system {suite.fmt_time(median([c['system_s'] for c in calls]))}",
                  key=f"reconstruction kernel {name}")
    return result


# ---------------------------------------------------------------------------
# b. Hole filling


def hole_blobs(side, seed=3):
    """Heights (a smooth surface with steps) and a mask of matched cells whose
    holes are discs of 1 to 24 cells' radius and scattered single cells,
    about a fifth of the grid."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[:side, :side].astype(np.float32)
    z = (50 + 0.02 * x - 0.01 * y + 3 * np.sin(x / 40) * np.cos(y / 55)).astype(np.float32)
    z += (rng.random((side, side)) < 0.002).cumsum(axis=1).astype(np.float32) % 7  # steps along rows
    holes = rng.random((side, side)) < 0.03
    for _ in range(side * side // 6000):
        r, c = rng.integers(0, side, 2)
        radius = int(rng.integers(1, 25))
        rows, cols = slice(max(r - radius, 0), r + radius + 1), slice(max(c - radius, 0), c + radius + 1)
        holes[rows, cols] |= (y[rows, cols] - r) ** 2 + (x[rows, cols] - c) ** 2 <= radius ** 2
    return z, ~holes


def scaled_to(a, side):
    """The top-left side x side cells of `a` grown by repeating each cell
    (whole times, enough to cover them)."""
    times = -(-side // min(a.shape))
    return np.ascontiguousarray(np.repeat(np.repeat(a, times, axis=0), times, axis=1)[:side, :side])


def bench_fill_holes(table, result, size, runs):
    from quiltmap import Settings
    from quiltmap.reconstruction import fill_holes

    rings = Settings().fill_rings(0.5)  # reconstruct's reach on the demonstration's 0.5 m cells
    grown = "" if size >= FILL_SIDE else f", each cell repeated {-(-FILL_SIDE // size)} times"
    cases = [(f"{FILL_SIDE}x{FILL_SIDE}, the demonstration's matched mask ({size}x{size}{grown})",
              "demonstration", scaled_to(result.heights, FILL_SIDE), scaled_to(result.matched, FILL_SIDE)),
             (f"{FILL_SIDE}x{FILL_SIDE}, random discs and single cells", "blobs", *hole_blobs(FILL_SIDE))]
    table.header(f"end_to_end: fill_holes  {FILL_SIDE * FILL_SIDE} cells")
    for label, key, z, mask in cases:
        base = None
        for reach, impl in ((rings, f"fill_holes, {rings} rings (as reconstruct)"), (None, "fill_holes, unbounded")):
            filled = repeat(lambda: fill_holes(z, mask, reach), runs)
            note = (f"{1 - mask.mean():.1%} holes, {np.isnan(filled[-1]).mean():.2%} left NaN; {cpu_note(filled)}"
                    f"; result {digest(filled[-1])}")
            median_s = table.add(label, impl, filled.walls, base, note, ours=base is None,
                                 key=f"fill_holes {key} {'rings' if reach else 'unbounded'}", cpu_s=median(filled.cpus))
            base = base or median_s


# ---------------------------------------------------------------------------
# c. The stereo example


def sgbm_matcher(channels, disparities, block=3):
    """quiltmap.demo.stereo.opencv_sgbm's matcher, made once so that only its
    compute() is timed."""
    import cv2

    return cv2.StereoSGBM_create(
        minDisparity=0, numDisparities=disparities, blockSize=block,
        P1=8 * channels * block * block, P2=32 * channels * block * block,
        disp12MaxDiff=1, uniquenessRatio=10, speckleWindowSize=100, speckleRange=2,
        mode=cv2.STEREO_SGBM_MODE_HH)


def bench_stereo(table, runs):
    from quiltmap.demo import stereo

    try:
        import cv2
        pair = stereo.load_motorcycle(1)
    except ImportError as error:
        table.header("end_to_end: stereo")
        table.add("motorcycle", "stereo.match", None, None, f"not run: {error}")
        return
    modules = kernel_modules()
    D = stereo.disparity_count(pair.truth)
    settings = stereo.Settings()
    H, W = pair.truth.shape
    label = f"motorcycle {W}x{H}, {D} disparities"
    table.header(f"end_to_end: stereo  quiltmap.demo.stereo.match (images to disparities and mask) vs "
                 f"OpenCV StereoSGBM; kernels of {', '.join('quiltmap.' + m for m in modules)}")
    # As run() calls it: volumes kept between calls where match() takes them.
    keep = {"volumes": stereo.Volumes()} if hasattr(stereo, "Volumes") else {}
    profiles = []

    def ours():
        with KernelTimer(modules) as kernels:
            start = time.perf_counter()
            found = stereo.match(pair.left, pair.right, D, settings, **keep)
            end = time.perf_counter()
        profiles.append(profile(kernels.calls, [], start, end))
        return found

    found = repeat(ours, runs)
    profiles = profiles[1:]
    share = median([p["kernels_covered_s"] / w for p, w in zip(profiles, found.walls)])
    errors = stereo.errors(stereo.fill_from_background(found[-1].disparity, found[-1].matched), found[-1].matched,
                           pair.truth)
    base = table.add(label, "quiltmap stereo.match: census, sgm, bilateral", found.walls, ours=True, key="stereo ours",
                     note=f"{cpu_note(found)}; under kernel calls {share:.0%}; "
                          f"{100 * errors['all_over_2']:.1f}% > 2 px; disparities {digest(found[-1].disparity)}",
                     cpu_s=median(found.cpus), share=share)
    for step in found[-1].stages:
        table.add(label, f"step: {step}", [m.stages[step] for m in found], base, key=f"stereo step {step}")

    reference = stereo.opencv_sgbm(pair.left, pair.right, D)
    threads = cv2.getNumThreads()
    for count in sorted({threads, 1}, reverse=True):
        saved = cv2.getNumThreads()
        cv2.setNumThreads(count)
        try:
            matcher = sgbm_matcher(pair.left.shape[2], D)
            fixed = repeat(lambda: matcher.compute(pair.left, pair.right), runs)
        finally:
            cv2.setNumThreads(saved)
        same = np.array_equal(fixed[-1] >= 0, reference.matched)
        table.add(label, f"OpenCV {cv2.__version__} StereoSGBM compute(), HH, block 3, {count} thread"
                  + "s" * (count > 1), fixed.walls, base,
                  cpu_note(fixed) + ("" if same else "; MASK DIFFERS from stereo.opencv_sgbm's"),
                  key=f"stereo sgbm {'default' if count == threads else 1} threads", cpu_s=median(fixed.cpus),
                  threads=count)


# ---------------------------------------------------------------------------
# d. sample_view


def copy_bandwidth(nbytes, runs):
    """Bytes per second that np.copyto reads and writes on arrays of nbytes."""
    src = np.ones(nbytes // 4, np.float32)
    dst = np.empty_like(src)
    return 2 * nbytes / median(repeat(lambda: np.copyto(dst, src), runs).walls)


def together(calls, runs):
    """The calls made at once, one thread each (a Runs of the pair)."""
    def both():
        threads = [threading.Thread(target=call) for call in calls]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    return repeat(both, runs)


def bench_sample_view(table, twins, runs):
    from quiltmap import _mvs

    n, h, w = VIEW_CASE
    bandwidth = copy_bandwidth(h * w * 3 * 4, runs)
    table.header(f"end_to_end: sample_view  float32 images; np.copyto reaches {bandwidth / 1e9:.1f} GB/s read+write "
                 f"here")
    for heights in ("random", "smooth", "flat"):
        cam, Z, img = suite.view_case(n, h, w, seed=n + h, heights="smooth" if heights == "flat" else heights)
        if heights == "flat":  # as the plane sweep calls it: one grey channel, every cell at one height
            img, Z = np.ascontiguousarray(img[..., :1]), np.full_like(Z, np.float32(20))
        label = f"grid {n}x{n} -> image {w}x{h}x{img.shape[2]}, {heights}"
        args = [cam[k] for k in suite.CAM_KEYS]
        outputs = [(np.zeros((n, n, img.shape[2]), np.float32), np.zeros((n, n), np.uint8)) for _ in range(2)]
        calls = [lambda out=out, valid=valid: _mvs.sample_view(img, *args, Z, out, valid) for out, valid in outputs]
        out, valid = outputs[0]
        done = repeat(calls[0], runs)
        base = table.add(label, "quiltmap._mvs.sample_view", done.walls, ours=True, key=f"sample_view {heights}",
                         note=f"{valid.mean():.1%} of cells sampled; {cpu_note(done)}", cpu_s=median(done.cpus))
        if twins is None:
            table.add(label, "scalar twin", None, base, "not run: the twins' library is missing (make bench-twins)")
        else:
            t_out, t_valid = np.zeros_like(out), np.zeros_like(valid)
            done = repeat(lambda: twins.sample_view(img, *args, Z, t_out, t_valid), runs)
            table.add(label, "scalar twin (C ABI, ctypes)", done.walls, base,
                      suite.agreement(np.array_equal(t_out, out) and np.array_equal(t_valid, valid)),
                      key=f"sample_view {heights} twin")
        # Two calls at once on the two cores: memory bandwidth, which they share, would slow each.
        done = together(calls, runs)
        table.add(label, "two calls at once, one thread each", done.walls, base,
                  f"1.00x = each as fast as alone; {cpu_note(done)}", key=f"sample_view {heights} together")
        # Reading the image and the heights and writing the samples and flags once, at np.copyto's rate.
        moved = img.nbytes + Z.nbytes + out.nbytes + valid.nbytes
        table.add(label, "floor: its bytes once at np.copyto's rate", [moved / bandwidth], base,
                  f"{moved / 1e6:.0f} MB: image, heights, samples, flags", key=f"sample_view {heights} floor")


# ---------------------------------------------------------------------------


def measure(table, twins, quick, sections=SECTIONS, runs=5):
    """The sections into `table` (bench/run.py's Table)."""
    size = QUICK_SIZE if quick else SIZE
    short = max(runs, SHORT_RUNS)
    result = None
    if "reconstruction" in sections or "fill_holes" in sections:
        survey = demonstration(size)
        if "reconstruction" in sections:
            result = bench_reconstruction(table, size, survey)
        else:
            from quiltmap import Settings, reconstruct
            result = reconstruct(*survey, Settings(labels=LABELS))  # the mask only, not timed
        del survey
    if "fill_holes" in sections:
        bench_fill_holes(table, result, size, short)
    del result
    gc.collect()
    if "stereo" in sections:
        bench_stereo(table, short)
    if "sample_view" in sections:
        bench_sample_view(table, twins, short)


# ---------------------------------------------------------------------------
# The before-and-after table of two saved runs


MERGED = ("median_s", "cpu_s", "system_s", "share")  # the figures of a row that runs are merged by


def merged_rows(paths):
    """The keyed rows of saved runs, each figure of MERGED the median over
    the runs that have the row; and the runs' (date, commit)."""
    found, runs = defaultdict(list), []
    for path in paths:
        saved = json.loads(Path(path).read_text())
        runs.append((saved.get("date"), saved.get("commit")))
        for row in saved["rows"]:
            if row.get("key"):
                found[row["key"]].append(row)
    rows = {}
    for key, copies in found.items():
        row = dict(copies[-1], merged=len(copies))
        for name in MERGED:
            values = [c[name] for c in copies if c.get(name) is not None]
            row[name] = median(values)
        rows[key] = row
    return rows, runs


def compare(before_paths, after_paths):
    """Markdown rows: case, before, after, ratio, target, met?"""
    before, b_runs = merged_rows(before_paths)
    after, a_runs = merged_rows(after_paths)

    def figure(row, field="median_s"):
        if row is None or row.get(field) is None:
            return "-"
        text = suite.fmt_time(row[field])
        if row.get("cpu_s") is not None:
            system = f", system {suite.fmt_time(row['system_s'])}" if row.get("system_s") is not None else ""
            text += f" (cpu {suite.fmt_time(row['cpu_s'])}{system})"
        return text

    def ratio(key):
        b, a = before.get(key), after.get(key)
        return f"{b['median_s'] / a['median_s']:.2f}x" if b and a and b["median_s"] and a["median_s"] else "-"

    def at_most(key, seconds):
        a = after.get(key)
        return None if not a or a["median_s"] is None else a["median_s"] <= seconds

    def met(flag):
        return "-" if flag is None else ("yes" if flag else "**no**")

    lines = ["| case | before | after | ratio | target | met? |", "|---|---|---|---|---|---|"]
    b, a = before.get("reconstruction"), after.get("reconstruction")
    lines.append(f"| reconstruction, wall | {figure(b)} | {figure(a)} | {ratio('reconstruction')} | at least 8x "
                 f"| {met(b and a and b['median_s'] / a['median_s'] >= 8)} |")
    b, a = before.get("reconstruction kernels"), after.get("reconstruction kernels")
    share = {"before": b and b["share"], "after": a and a["share"]}
    modules = {"before": before.get("reconstruction", {}).get("modules"),
               "after": after.get("reconstruction", {}).get("modules")}
    cells = [f"{share[w]:.1%} ({' + '.join(modules[w] or [])})" if share[w] is not None else "-"
             for w in ("before", "after")]
    lines.append(f"| reconstruction, share of wall time under kernel calls | {cells[0]} | {cells[1]} | - "
                 f"| at least 70 % | {met(None if share['after'] is None else share['after'] >= 0.70)} |")
    for key, label in (("blobs", "random discs"), ("demonstration", "demonstration's mask")):
        for reach in ("rings", "unbounded"):
            k = f"fill_holes {key} {reach}"
            what = (after.get(k) or before.get(k) or {}).get("impl", k)
            lines.append(f"| {what}, 1000 x 1000, {label} | {figure(before.get(k))} | "
                         f"{figure(after.get(k))} | {ratio(k)} | at most 50 ms | {met(at_most(k, 0.050))} |")
    ours, sgbm = after.get("stereo ours"), after.get("stereo sgbm default threads")
    faster = None if not ours or not sgbm else ours["median_s"] < sgbm["median_s"]
    within = at_most("stereo ours", 0.10)
    lines.append(f"| stereo, images to disparities and mask | {figure(before.get('stereo ours'))} | {figure(ours)} | "
                 f"{ratio('stereo ours')} | at most 0.10 s, faster than SGBM | "
                 f"{met(None if within is None or faster is None else within and faster)} |")
    for key in ("stereo sgbm default threads", "stereo sgbm 1 threads"):
        threads = (after.get(key) or before.get(key) or {}).get("threads", "?")
        lines.append(f"| OpenCV StereoSGBM, {threads} thread{'s' * (threads != 1)} | {figure(before.get(key))} | "
                     f"{figure(after.get(key))} | {ratio(key)} | - | - |")
    for heights in ("random", "smooth", "flat"):
        k = f"sample_view {heights}"
        if k not in after:
            continue
        twin = after.get(k + " twin")
        vs = f"; scalar twin {suite.fmt_time(twin['median_s'])}, {twin['median_s'] / after[k]['median_s']:.2f}x " \
             "ours" if twin else ""
        lines.append(f"| sample_view, {after[k]['case']}{vs} | {figure(before.get(k))} | "
                     f"{figure(after.get(k))} | {ratio(k)} | - | - |")
    head = "\n".join(f"{side}: " + "; ".join(f"{date}, commit {commit}" for date, commit in runs)
                     for side, runs in (("before", b_runs), ("after", a_runs)))
    return head + "\n\n" + "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help=f"the reconstruction at {QUICK_SIZE} cells")
    parser.add_argument("--only", nargs="+", choices=SECTIONS, default=SECTIONS)
    parser.add_argument("--runs", type=int, default=5, help=f"timed calls per figure (at least 5; "
                        f"{RECONSTRUCTION_RUNS} for the reconstruction, {SHORT_RUNS} or more for the other sections)")
    parser.add_argument("--twins", type=Path, default=suite.ROOT / "build" / "bench" / "libquiltmap_twins.so")
    parser.add_argument("--label", default="", help="added to the saved file's name, e.g. before")
    parser.add_argument("--out", type=Path, default=HERE / "results")
    parser.add_argument("--before", nargs="+", type=Path, metavar="JSON", help="saved runs of the older build")
    parser.add_argument("--after", nargs="+", type=Path, metavar="JSON",
                        help="saved runs of the newer one: print the two side by side and exit")
    args = parser.parse_args()
    if (args.before is None) != (args.after is None):
        parser.error("--before and --after go together")
    if args.before:
        print(compare(args.before, args.after))
        return
    if args.runs < 5:
        parser.error("--runs must be at least 5")

    import quiltmap

    started = time.perf_counter()
    now = datetime.datetime.now().astimezone()
    meta = {"date": now.isoformat(timespec="seconds"), "commit": suite.git_commit(), "quick": args.quick,
            "runs": args.runs, "quiltmap": quiltmap.__file__, "cpu": suite.cpu_info(), "versions": suite.versions(),
            "load_before": os.getloadavg()}
    print(f"quiltmap end to end{' (--quick)' if args.quick else ''}, {meta['date']}, bench script of commit "
          f"{meta['commit']}; quiltmap from {Path(quiltmap.__file__).parent}")
    print(f"load average {' '.join(f'{x:.2f}' for x in meta['load_before'])}; every figure: median of "
          f"{RECONSTRUCTION_RUNS} timed calls for the reconstruction, {max(args.runs, SHORT_RUNS)} for the others, "
          f"after one warm-up")
    twins = suite.Twins(args.twins) if args.twins.exists() else None
    table = suite.Table()
    measure(table, twins, args.quick, args.only, args.runs)
    meta["load_after"] = os.getloadavg()
    meta["wall_s"] = time.perf_counter() - started
    args.out.mkdir(parents=True, exist_ok=True)
    stem = now.strftime("%Y%m%d-%H%M%S") + "-end_to_end" + ("-quick" if args.quick else "") \
        + (f"-{args.label}" if args.label else "")
    path = args.out / f"{stem}.json"
    path.write_text(json.dumps({**meta, "rows": table.rows}, indent=1))
    print(f"\nwall time {meta['wall_s']:.1f} s; load average at the end "
          f"{' '.join(f'{x:.2f}' for x in meta['load_after'])}; figures in {path}")


if __name__ == "__main__":
    main()
