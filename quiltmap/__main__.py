"""python -m quiltmap reconstruct SURVEY.json --out DIR: a height model and an
orthomosaic, as GeoTIFF files, from a survey description (quiltmap/survey.py
documents its form)."""
import argparse
import sys
import time
from pathlib import Path

import numpy as np

from .tiled import add_options, options_of


def parse(argv):
    parser = argparse.ArgumentParser(prog="quiltmap", description="Dense-stereo reconstruction of aerial "
                                     "photographs with known cameras.")
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("reconstruct", help="height model and orthomosaic of a survey",
                              description="Reads SURVEY.json (images, cameras, ground grid, height range), "
                              "reconstructs the grid's heights and orthomosaic, and writes heights.tif, "
                              "orthomosaic.tif (GeoTIFF on the grid), preview.png and report.txt to DIR.")
    run.add_argument("survey", type=Path, metavar="SURVEY.json")
    run.add_argument("--out", type=Path, required=True, metavar="DIR", help="output folder (made if missing)")
    run.add_argument("--threads", type=int, default=2, help="worker threads of the plane sweep (default 2)")
    run.add_argument("--quiet", action="store_true", help="no progress bars")
    add_options(run, "Any of these options runs the survey tile by tile; the tasks read the photographs' "
                "windows from their files and fill the GeoTIFF files part by part, and filled.tif, raw.tif, "
                "matched.tif and source.tif are written too.")
    args = parser.parse_args(argv)
    if args.threads < 1:
        parser.error("--threads must be at least 1")
    if args.workers is not None and args.workers < 1:
        parser.error("--workers must be at least 1")
    return args


def share(raster, test=None, rows=1024):
    """The share of a raster's cells that pass `test` (are true by default),
    a band of rows at a time: the raster may be a map of a file larger than memory."""
    count = 0
    for r in range(0, raster.shape[0], rows):
        band = np.asarray(raster[r: r + rows])
        count += np.count_nonzero(band if test is None else test(band))
    return count / max(raster.size, 1)


def fail(message):
    print(f"quiltmap: error: {message}", file=sys.stderr)
    return 2


def prepare_output(folder):
    """Makes the output folder, or says why it cannot be used."""
    if folder.exists() and not folder.is_dir():
        raise OSError(f"--out {folder}: exists and is not a folder")
    folder.mkdir(parents=True, exist_ok=True)
    probe = folder / ".quiltmap-write-test"
    probe.write_text("")
    probe.unlink()


def preview(result, path, largest=2048):
    """Heights (grey, unmatched cells dark red) beside the orthomosaic, every
    k-th cell where the grid is larger than `largest` cells on a side."""
    from PIL import Image

    from .survey import replace_atomically

    step = -(-max(result.heights.shape) // largest)
    heights = np.asarray(result.heights[::step, ::step])
    finite = np.isfinite(heights)
    low, high = (np.percentile(heights[finite], [1, 99]) if finite.any() else (0.0, 1.0))
    grey = np.clip((np.nan_to_num(heights, nan=low) - low) / max(high - low, 1e-9), 0, 1)
    left = np.repeat(grey[..., None], 3, axis=2)
    left[~finite] = (0.45, 0.0, 0.0)
    mosaic = np.asarray(result.orthomosaic[::step, ::step])
    right = np.repeat(mosaic, 3, axis=2) if mosaic.shape[2] == 1 else mosaic[..., :3]
    right = np.where(np.isnan(right), 0.45 * np.array([0.0, 0.0, 1.0]), np.clip(right, 0, 1))  # unseen: dark blue
    both = np.concatenate([left, np.ones((left.shape[0], 4, 3)), right], axis=1)
    image = Image.fromarray(np.round(both * 255).astype(np.uint8))
    replace_atomically(path, lambda p: image.save(p, format="PNG"))


def main(argv=None):
    args = parse(argv)
    try:
        import tifffile  # noqa: F401
        from PIL import Image  # noqa: F401
    except ImportError as error:
        return fail(f"the command needs its extras ({error.name} is missing): pip install 'quiltmap[io]'")
    from . import reconstruct
    from .survey import SurveyError, load_survey, write_geotiff

    try:
        tiled = options_of(args)
    except ValueError as error:
        return fail(str(error))
    if tiled is not None:
        try:
            import dask  # noqa: F401
        except ImportError:
            return fail("tiled runs need Dask: pip install 'quiltmap[tiled]'")
    try:
        prepare_output(args.out)
        survey = load_survey(args.survey, lazy=tiled is not None)
    except SurveyError as error:
        return fail(f"{args.survey}: {error}")
    except OSError as error:
        return fail(str(error))
    progress = None
    if not args.quiet:
        try:
            from tqdm import tqdm  # type: ignore[import-untyped]

            progress = lambda items, **kw: tqdm(items, unit="step", leave=False, **kw)  # noqa: E731
        except ImportError:
            pass
    start = time.perf_counter()
    if tiled is not None:
        from .tiled import reconstruct_tiled

        try:
            result = reconstruct_tiled(survey.views, survey.grid, survey.z_range, survey.settings,
                                       refs=survey.references, out=args.out, epsg=survey.epsg,
                                       progress=not args.quiet, **tiled)
        except (ValueError, ConnectionError) as error:
            return fail(str(error).replace("Tiling.", "--"))
    else:
        result = reconstruct(survey.views, survey.grid, survey.z_range, survey.settings, refs=survey.references,
                             threads=args.threads, progress=progress)
    try:
        if tiled is None:
            write_geotiff(args.out / "heights.tif", result.heights, survey.grid, survey.epsg)
            write_geotiff(args.out / "orthomosaic.tif", result.orthomosaic, survey.grid, survey.epsg)
        preview(result, args.out / "preview.png")
        report = "\n".join([
            f"quiltmap reconstruct {args.survey}",
            f"grid: {survey.grid.rows} x {survey.grid.columns} cells of {survey.grid.gsd} from "
            f"({survey.grid.X0}, {survey.grid.Y0}); heights {survey.z_range[0]} to {survey.z_range[1]} "
            f"in {survey.settings.labels} labels",
            f"views: {', '.join(survey.names)}",
            f"matched cells: {100 * share(result.matched):.1f} %",
            f"cells no view sees in the orthomosaic: {100 * share(result.source, lambda s: s < 0):.1f} %",
            *([f"tiles: {tiled['tiling'].tile} x {tiled['tiling'].tile} cells with a margin of "
               f"{tiled['tiling'].margin}, scheduler {tiled['scheduler']}",
               "stages (summed over the tiles' tasks):",
               *(f"  {name:22s}{seconds:8.2f} s" for name, seconds in result.stage_times.items() if name != "total"),
               "peak memory of each worker: " + ", ".join(f"{b / 2**20:.0f} MiB" for b in result.workers.values())]
              if tiled is not None else
              ["stages (wall time):",
               *(f"  {name:22s}{seconds:8.2f} s" for name, seconds in result.stage_times.items())]),
            f"total {time.perf_counter() - start:.2f} s",
            "files: heights.tif, orthomosaic.tif, preview.png"
            + (", filled.tif, raw.tif, matched.tif, source.tif" if tiled is not None else ""),
        ])
        (args.out / "report.txt").write_text(report + "\n")
    except OSError as error:
        return fail(f"--out {args.out}: {error}")
    print(report)
    return 0


if __name__ == "__main__":
    sys.exit(main())
