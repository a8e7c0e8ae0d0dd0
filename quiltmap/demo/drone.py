"""python -m quiltmap.demo.drone: three real drone photographs to a
georeferenced height model, scored against structure from motion's own
sparse points.

The photographs (a senseFly eBee over a golf course, 4608 x 3456 JPEG) and
their position log are read from --data (by default
../shared/data/drone-strip beside the checkout). The run is what
`quiltmap photos` does: structure from motion with pycolmap at a quarter of
the photographs' size, georeferencing by the log (the three positions lie on
one line, so the roll about it comes from the log's attitudes), a planned
grid and height range, the reconstruction. The sparse points were
triangulated by structure from motion from the same photographs but
independently of the dense matching: on the matched cells that hold one, the
report gives the median |height - point height| and the shares within one
and two cells' size, and the matched share of the cells that all three
photographs see. It writes heights.tif, orthomosaic.tif, drone.png (height
model with a colour bar in metres, orthomosaic, residuals at the points),
metrics.json and report.txt to --out.
"""
import argparse
import json
import sys
import time
from pathlib import Path

import numpy as np

DEFAULT_DATA = Path("..") / "shared" / "data" / "drone-strip"
POSITIONS = "geoinfo.txt"


def parse(argv):
    parser = argparse.ArgumentParser(prog="python -m quiltmap.demo.drone", description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA, metavar="DIR",
                        help=f"the photographs and {POSITIONS} (default {DEFAULT_DATA})")
    parser.add_argument("--out", type=Path, default=Path("quiltmap-drone-output"), metavar="DIR",
                        help="output folder (default ./quiltmap-drone-output)")
    parser.add_argument("--scale", type=float, default=0.25, help="the photographs' size (default 0.25)")
    parser.add_argument("--cell-factor", type=float, default=2.0, metavar="F",
                        help="cell size as a multiple of the median ground pixel size (default 2)")
    parser.add_argument("--threads", type=int, default=2, help="worker threads (default 2)")
    args = parser.parse_args(argv)
    if not (args.data / POSITIONS).is_file():
        parser.error(f"--data {args.data}: no {POSITIONS} there (the drone-strip folder holds the photographs and "
                     f"their position log)")
    if not 0 < args.scale <= 1:
        parser.error("--scale must be above 0 and at most 1")
    return args


def figure(result, grid, sparse_points, score, path):
    """Height model with a colour bar in metres, orthomosaic, and the
    residuals (dense minus sparse) at the sparse points on matched cells."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    extent = [grid.X0, grid.X0 + grid.columns * grid.gsd, grid.Y0 - grid.rows * grid.gsd, grid.Y0]
    heights = np.where(result.matched, result.heights, np.nan)
    finite = heights[np.isfinite(heights)]
    low, high = np.percentile(finite, [1, 99]) if finite.size else (0.0, 1.0)
    fig, axes = plt.subplots(1, 3, figsize=(15.0, 5.2), constrained_layout=True)
    shown = axes[0].imshow(heights, extent=extent, cmap=plt.get_cmap("viridis").with_extremes(bad="0.8"),
                           vmin=low, vmax=high, interpolation="nearest")
    fig.colorbar(shown, ax=axes[0], shrink=0.8, label="height (m)")
    axes[0].set_title(f"height model, {100 * result.matched.mean():.1f} % of the grid matched (grey: unmatched)",
                      fontsize=9)
    mosaic = result.orthomosaic
    axes[1].imshow(np.where(np.isnan(mosaic), 1.0, np.clip(mosaic, 0, 1)), extent=extent, interpolation="nearest")
    axes[1].set_title("orthomosaic (white: no height or no view)", fontsize=9)
    rows, columns = grid.fractional_index(sparse_points[:, 0], sparse_points[:, 1])
    r, c = np.floor(rows + 0.5).astype(int), np.floor(columns + 0.5).astype(int)
    on = (r >= 0) & (r < grid.rows) & (c >= 0) & (c < grid.columns)
    keep = np.zeros(len(sparse_points), bool)
    keep[on] = result.matched[r[on], c[on]]
    residual = result.heights[r[keep], c[keep]] - sparse_points[keep, 2]
    axes[2].imshow(np.where(np.isnan(mosaic), 1.0, np.clip(mosaic, 0, 1)).mean(axis=2), extent=extent, cmap="gray",
                   vmin=0, vmax=1.4, interpolation="nearest")
    limit = 3 * grid.gsd
    dots = axes[2].scatter(sparse_points[keep, 0], sparse_points[keep, 1], c=residual, s=6, cmap="coolwarm",
                           vmin=-limit, vmax=limit)
    fig.colorbar(dots, ax=axes[2], shrink=0.8, label="dense - sparse height (m)")
    axes[2].set_title(f"at {keep.sum()} sparse points: median |e| {score['median_error']:.3f} m, "
                      f"{100 * score['within_1_cell']:.1f} % within 1 cell", fontsize=9)
    # The grid is the box of what two photographs see; show the part that has heights.
    rows, columns = np.flatnonzero(np.isfinite(result.filled).any(axis=1)), np.flatnonzero(
        np.isfinite(result.filled).any(axis=0))
    if rows.size:
        pad = 0.05 * max(rows[-1] - rows[0], columns[-1] - columns[0]) * grid.gsd
        west, east = grid.X0 + columns[0] * grid.gsd - pad, grid.X0 + (columns[-1] + 1) * grid.gsd + pad
        north, south = grid.Y0 - rows[0] * grid.gsd + pad, grid.Y0 - (rows[-1] + 1) * grid.gsd - pad
    for ax in axes:
        if rows.size:
            ax.set_xlim(west, east)
            ax.set_ylim(south, north)
        ax.ticklabel_format(useOffset=False, style="plain")
        ax.set_xlabel("easting (m)", fontsize=8)
        ax.set_ylabel("northing (m)", fontsize=8)
        ax.tick_params(labelsize=7)
    fig.savefig(path, dpi=90)
    plt.close(fig)


def main(argv=None):
    args = parse(argv)
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]
        import matplotlib  # noqa: F401
        import pycolmap  # noqa: F401
        import pyproj  # noqa: F401
    except ImportError as error:
        sys.exit(f"the drone example needs its extras ({error.name} is missing): pip install 'quiltmap[photos,demo]'")
    from .. import reconstruct
    from ..outputs import OutputFolder
    from ..photos import score_against_points, seen_by_all, survey_of_photographs
    from ..survey import write_geotiff

    start = time.perf_counter()
    with OutputFolder(args.out) as folder:
        stamp = time.perf_counter()
        made = survey_of_photographs(args.data, folder.path / "sfm", positions=args.data / POSITIONS,
                                     scale=args.scale, cell_factor=args.cell_factor, threads=args.threads,
                                     progress=lambda stage: print(f"structure from motion: {stage}", file=sys.stderr))
        prepared = time.perf_counter() - stamp
        survey = made.survey
        result = reconstruct(survey.views, survey.grid, survey.z_range, survey.settings, threads=args.threads,
                             progress=lambda items, **kw: tqdm(items, unit="step", leave=False, **kw))
        grid = survey.grid
        everywhere = seen_by_all(survey.views, grid, np.full(grid.shape, made.plan.ground))
        score = score_against_points(result.heights, result.matched, grid, made.sparse.points, everywhere)
        write_geotiff(folder.staging / "heights.tif", result.heights, grid, survey.epsg)
        write_geotiff(folder.staging / "orthomosaic.tif", result.orthomosaic, grid, survey.epsg)
        figure(result, grid, made.sparse.points, score, folder.staging / "drone.png")
        metrics = dict(score, cell_size=grid.gsd, rows=grid.rows, columns=grid.columns, labels=survey.settings.labels,
                       matched=float(result.matched.mean()), seconds_to_survey=prepared,
                       stage_times=result.stage_times, references=[survey.names[i] for i in result.refs])
        (folder.staging / "metrics.json").write_text(json.dumps(metrics, indent=2) + "\n")
        lines = [*made.notes,
                 f"reference views: {', '.join(metrics['references'])}",
                 "",
                 f"dense heights against {score['points_on_matched']} sparse points on matched cells "
                 f"(of {score['points_on_grid']} on the grid; cells of {grid.gsd:.3f} m)",
                 f"  median |height - point height|   {score['median_error']:.3f} m "
                 f"({score['median_error'] / grid.gsd:.2f} cells)",
                 f"  within 1 cell                    {100 * score['within_1_cell']:.1f} %",
                 f"  within 2 cells                   {100 * score['within_2_cells']:.1f} %",
                 f"  matched where all photographs see  {100 * score['matched_where_all_see']:.1f} %",
                 f"  matched, whole grid              {100 * result.matched.mean():.1f} %",
                 "",
                 "stages (wall time)",
                 f"  {'survey (sfm, georeference, plan)':34s}{prepared:8.2f} s",
                 *(f"  {name:34s}{seconds:8.2f} s" for name, seconds in result.stage_times.items()),
                 f"  {'total':34s}{time.perf_counter() - start:8.2f} s"]
        (folder.staging / "report.txt").write_text("\n".join(lines) + "\n")
        folder.publish(["heights.tif", "orthomosaic.tif", "drone.png", "metrics.json", "report.txt"])
    print("\n".join(lines))


if __name__ == "__main__":
    main()
