"""Accuracy against the true heights, timings, the figure and the arrays."""
import json
from pathlib import Path

import numpy as np


def metrics(truth, heights, matched, filled, gsd):
    """Errors of the height model. "Within k gsd" means an absolute height
    error of at most k times the grid's cell size."""
    error = (heights - truth)[matched]
    everywhere = np.abs(filled - truth)
    absolute = np.abs(error)
    return {
        "rmse": float(np.sqrt(np.mean(error * error))) if error.size else float("nan"),
        "median_abs": float(np.median(absolute)) if error.size else float("nan"),
        "within_1_gsd": float(np.mean(absolute <= gsd)) if error.size else 0.0,
        "within_2_gsd": float(np.mean(absolute <= 2 * gsd)) if error.size else 0.0,
        "unmatched": float(1.0 - matched.mean()),
        "filled_rmse": float(np.sqrt(np.mean(everywhere * everywhere))),
        "filled_within_1_gsd": float(np.mean(everywhere <= gsd)),
        "filled_within_2_gsd": float(np.mean(everywhere <= 2 * gsd)),
    }


def of(demo):
    grid, result = demo.survey.scene.grid, demo.result
    return metrics(demo.survey.scene.truth, result.heights, result.matched, result.filled, grid.gsd)


def text(demo, m, total, out_dir=None):
    scene, grid, result = demo.survey.scene, demo.survey.scene.grid, demo.result
    labels = result.labels
    # Only what stands on the grid: the scene also fills a margin around it.
    west, north = grid.X0, grid.Y0
    east, south = west + grid.W * grid.gsd, north - grid.H * grid.gsd
    on_grid = lambda x, y, rx, ry: x + rx > west and x - rx < east and y + ry > south and y - ry < north  # noqa: E731
    buildings = [b for b in scene.buildings if on_grid(b.x, b.y, b.half_x, b.half_y)]
    trees = [t for t in scene.trees if on_grid(t.x, t.y, 1.15 * t.radius, 1.15 * t.radius)]
    gables = sum(b.gable for b in buildings)
    lines = [
        f"quiltmap demo: {grid.H} x {grid.W} cells of {grid.gsd:.2f} m, {len(labels)} height labels "
        f"from {labels[0]:.1f} to {labels[-1]:.1f} m (step {labels[1] - labels[0]:.3f} m)",
        f"scene on the grid: {len(buildings)} buildings ({gables} with gable roofs) and {len(trees)} trees, "
        f"true heights {scene.truth.min():.2f} to {scene.truth.max():.2f} m",
        "views: " + ", ".join(f"{c.name} {c.width}x{c.height} ({c.off_nadir:.0f} deg)" for c in demo.survey.cameras),
        "",
        f"height model on matched cells (within k gsd: |height error| <= k x {grid.gsd:.2f} m)",
        f"  RMSE                    {m['rmse']:7.3f} m",
        f"  median absolute error   {m['median_abs']:7.3f} m",
        f"  within 1 gsd            {100 * m['within_1_gsd']:7.1f} %",
        f"  within 2 gsd            {100 * m['within_2_gsd']:7.1f} %",
        f"  unmatched cells         {100 * m['unmatched']:7.1f} %",
        f"holes filled, all cells: RMSE {m['filled_rmse']:.3f} m, within 1 gsd {100 * m['filled_within_1_gsd']:.1f} %, "
        f"within 2 gsd {100 * m['filled_within_2_gsd']:.1f} %",
        "",
        "stages (wall time)",
    ]
    lines += [f"  {name:22s}{seconds:8.2f} s" for name, seconds in demo.stages.times.items()]
    lines += [f"  {'total':22s}{total:8.2f} s"]
    if result.workers:
        lines += ["", "tiled on Dask: tasks' stages (summed over the tiles, in parallel on the workers)"]
        lines += [f"  {name:22s}{seconds:8.2f} s" for name, seconds in result.stage_times.items() if name != "total"]
        lines.append("  peak memory of each worker: "
                     + ", ".join(f"{bytes_ / 2**20:.0f} MiB" for bytes_ in result.workers.values()))
    lines += ["", "kernel calls (wall time)"]
    for name, calls in demo.kernels.calls.items():
        ms = 1e3 * np.asarray(calls)
        if len(calls) <= 4:
            each = ", ".join(f"{t:.1f}" for t in ms)
            lines.append(f"  {name:12s}{len(calls):5d} call{'s' * (len(calls) > 1)}, each {each} ms")
        else:
            lines.append(f"  {name:12s}{len(calls):5d} calls, total {ms.sum():.0f} ms, "
                         f"mean {ms.mean():.2f} ms, min {ms.min():.2f} ms, max {ms.max():.2f} ms")
    if out_dir is not None:
        lines += ["", f"figure and arrays in {out_dir}"]
    return "\n".join(lines)


def save_arrays(demo, out_dir, m):
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    result = demo.result
    arrays = {
        "true_heights": demo.survey.scene.truth,
        "heights": result.heights,  # NaN where unmatched
        "heights_filled": result.filled,
        "matched": result.matched,
        "orthomosaic": result.orthomosaic,
        "orthomosaic_source": result.source,
        "labels": result.labels,
    }
    for name, array in arrays.items():
        np.save(out_dir / f"{name}.npy", array)
    (out_dir / "metrics.json").write_text(json.dumps(m, indent=2) + "\n")


# Cells of the orthomosaic that no photograph sees (hidden behind buildings
# from every view): a colour that no roof, street or tree has.
UNSEEN = np.array([1.0, 0.0, 1.0], np.float32)


def figure(demo, m, path):
    """True heights, reconstructed heights, error map and orthomosaic in one PNG."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    scene, result, gsd = demo.survey.scene, demo.result, demo.survey.scene.grid.gsd
    extent = [scene.grid.X0, scene.grid.X0 + scene.grid.W * gsd, scene.grid.Y0 - scene.grid.H * gsd, scene.grid.Y0]
    low, high = np.nanmin(scene.truth), np.nanmax(scene.truth)
    heights_cmap = plt.get_cmap("viridis").with_extremes(bad="0.75")
    # Unmatched cells in black: coolwarm's middle is a light grey, so grey
    # would read as a small error.
    error_cmap = plt.get_cmap("coolwarm").with_extremes(bad="black")

    fig, axes = plt.subplots(2, 2, figsize=(9.6, 9.0), constrained_layout=True)
    panels = [
        (scene.truth, "true heights (m)", dict(cmap=heights_cmap, vmin=low, vmax=high)),
        (result.heights, f"reconstructed heights (m), {100 * m['unmatched']:.1f} % unmatched in grey",
         dict(cmap=heights_cmap, vmin=low, vmax=high)),
        (result.heights - scene.truth,
         f"error = reconstructed - true (m), unmatched in black\nRMSE {m['rmse']:.2f}, "
         f"median |e| {m['median_abs']:.3f}, {100 * m['within_1_gsd']:.1f} % within 1 gsd",
         dict(cmap=error_cmap, vmin=-4 * gsd, vmax=4 * gsd)),
        (np.where(np.isnan(result.orthomosaic), UNSEEN, np.clip(result.orthomosaic, 0, 1)),
         f"orthomosaic\n{100 * (result.source < 0).mean():.1f} % of cells seen by no view, in magenta", {}),
    ]
    for ax, (data, title, style) in zip(axes.ravel(), panels):
        shown = ax.imshow(data, extent=extent, interpolation="nearest", **style)
        ax.set_title(title, fontsize=9)
        ax.set_xlabel("X, east (m)", fontsize=8)
        ax.set_ylabel("Y, north (m)", fontsize=8)
        ax.tick_params(labelsize=7)
        if data.ndim == 2:
            fig.colorbar(shown, ax=ax, shrink=0.8).ax.tick_params(labelsize=7)
    fig.savefig(path, dpi=100)
    plt.close(fig)
