"""The orthomosaic stage with the NumPy ray caster (tests/oracles.py) and
with the visibility kernel, on the demonstration's survey and its filled
heights, and the visibility kernel's share of the stage.

    python bench/orthomosaic_visibility.py --sizes 160 512 1024 --cache /tmp/cache

Surveys and their reconstructions are pickled in --cache (photograph(1024)
takes minutes); both runs must give the same bits, or the script says so."""
import argparse
import os
import pickle
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from quiltmap import orthomosaic, reconstruction  # noqa: E402
from quiltmap.demo import photograph, reconstruct, views_of  # noqa: E402
from oracles import visible_from_numpy  # noqa: E402


def cached(path, make):
    if os.path.exists(path):
        with open(path, "rb") as f:
            return pickle.load(f)
    value = make()
    with open(path, "wb") as f:
        pickle.dump(value, f)
    return value


def timed_stage(views, grid, Z, visible_from):
    """Wall and processor seconds of the whole stage and of its visibility
    calls (processor time: the figures of a busy machine), and its result."""
    wall, cpu = [], []

    def timed(*args, **kwargs):
        start, start_cpu = time.perf_counter(), time.process_time()
        seen = visible_from(*args, **kwargs)
        wall.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
        return seen

    kept = reconstruction.visible_from
    reconstruction.visible_from = timed
    try:
        start, start_cpu = time.perf_counter(), time.process_time()
        result = orthomosaic(views, grid, Z)
        return (time.perf_counter() - start, time.process_time() - start_cpu), (sum(wall), sum(cpu)), result
    finally:
        reconstruction.visible_from = kept


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[160, 512])
    parser.add_argument("--cache", default="bench/results/cache")
    parser.add_argument("--runs", type=int, default=3, help="runs of the kernel's stage (the best is shown)")
    args = parser.parse_args()
    os.makedirs(args.cache, exist_ok=True)
    print("seconds of the orthomosaic stage, wall / processor; visibility: the kernel's calls within it")
    print(f"{'cells':>6} {'NumPy stage':>15} {'kernel stage':>15} {'speed-up':>11} {'visibility':>15} "
          f"{'share':>9}  bits")
    for size in args.sizes:
        survey = cached(f"{args.cache}/survey-{size}.pkl", lambda: photograph(size, 7))
        filled = cached(f"{args.cache}/filled-{size}.pkl", lambda: reconstruct(survey).filled)
        views, grid = views_of(survey), survey.scene.grid
        before, _, (mosaic, source) = timed_stage(views, grid, filled, visible_from_numpy)
        best = None
        for _ in range(args.runs):
            stage, visibility, (kernel_mosaic, kernel_source) = timed_stage(views, grid, filled,
                                                                            reconstruction.visible_from)
            if best is None or stage[1] < best[0][1]:
                best = (stage, visibility)
        same = np.array_equal(source, kernel_source) and np.array_equal(mosaic, kernel_mosaic, equal_nan=True)
        stage, visibility = best
        print(f"{size:>6} {before[0]:>7.2f}/{before[1]:<7.2f} {stage[0]:>7.3f}/{stage[1]:<7.3f} "
              f"{before[0] / stage[0]:>5.1f}/{before[1] / stage[1]:<5.1f} "
              f"{visibility[0]:>7.3f}/{visibility[1]:<7.3f} "
              f"{visibility[0] / stage[0]:>4.0%}/{visibility[1] / stage[1]:<4.0%}  {'same' if same else 'DIFFERENT'}",
              flush=True)


if __name__ == "__main__":
    main()
