"""The share of the demonstration's heights that a tiled run reproduces to
the bit, by tile size and margin: aggregation sees only a tile and its
margin, so labels can change near tile borders.

    .venv/bin/python bench/tiled_margins.py [--size 1024] [--tiles 128 512] [--margins 3 8 16 24 32 48 64]
"""
import argparse
import time

import numpy as np

from quiltmap import reconstruct
from quiltmap.demo import photograph, views_of
from quiltmap.tiled import Tiling, reconstruct_tiled


def identical(a, b):
    """Cells whose heights have the same bits, NaN (unmatched) included."""
    return (a.view(np.uint32) == b.view(np.uint32)) | (np.isnan(a) & np.isnan(b))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=1024)
    parser.add_argument("--tiles", type=int, nargs="+", default=[128, 512])
    parser.add_argument("--margins", type=int, nargs="+", default=[3, 8, 16, 24, 32, 48, 64])
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()
    survey = photograph(args.size)
    views, grid, z_range = views_of(survey), survey.scene.grid, survey.scene.z_range
    start = time.perf_counter()
    untiled = reconstruct(views, grid, z_range)
    print(f"demonstration scene {args.size} x {args.size} cells; untiled run {time.perf_counter() - start:.1f} s, "
          f"{100 * untiled.matched.mean():.2f} % matched", flush=True)
    print("| tile | margin | heights identical | matched identical | filled identical | time |")
    print("|---:|---:|---:|---:|---:|---:|", flush=True)
    for tile in args.tiles:
        for margin in args.margins:
            if margin > tile:
                continue
            start = time.perf_counter()
            tiled = reconstruct_tiled(views, grid, z_range, tiling=Tiling(tile, margin), workers=args.workers)
            seconds = time.perf_counter() - start
            print(f"| {tile} | {margin} | {100 * identical(untiled.heights, tiled.heights).mean():.3f} % "
                  f"| {100 * (untiled.matched == tiled.matched).mean():.3f} % "
                  f"| {100 * identical(untiled.filled, tiled.filled).mean():.3f} % | {seconds:.1f} s |", flush=True)


if __name__ == "__main__":
    main()
