"""python -m quiltmap reconstruct SURVEY.json --out DIR: a height model and an
orthomosaic, as GeoTIFF files, from a survey description (quiltmap/survey.py
documents its form)."""
import argparse
import sys
import time
from pathlib import Path

import numpy as np


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
    args = parser.parse_args(argv)
    if args.threads < 1:
        parser.error("--threads must be at least 1")
    return args


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


def preview(result, path):
    """Heights (grey, unmatched cells dark red) beside the orthomosaic."""
    from PIL import Image

    from .survey import replace_atomically

    heights = result.heights
    finite = np.isfinite(heights)
    low, high = (np.percentile(heights[finite], [1, 99]) if finite.any() else (0.0, 1.0))
    grey = np.clip((np.nan_to_num(heights, nan=low) - low) / max(high - low, 1e-9), 0, 1)
    left = np.repeat(grey[..., None], 3, axis=2)
    left[~finite] = (0.45, 0.0, 0.0)
    mosaic = result.orthomosaic
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
        prepare_output(args.out)
        survey = load_survey(args.survey)
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
    result = reconstruct(survey.views, survey.grid, survey.z_range, survey.settings, refs=survey.references,
                         threads=args.threads, progress=progress)
    try:
        write_geotiff(args.out / "heights.tif", result.heights, survey.grid, survey.epsg)
        write_geotiff(args.out / "orthomosaic.tif", result.orthomosaic, survey.grid, survey.epsg)
        preview(result, args.out / "preview.png")
        report = "\n".join([
            f"quiltmap reconstruct {args.survey}",
            f"grid: {survey.grid.rows} x {survey.grid.columns} cells of {survey.grid.gsd} from "
            f"({survey.grid.X0}, {survey.grid.Y0}); heights {survey.z_range[0]} to {survey.z_range[1]} "
            f"in {survey.settings.labels} labels",
            f"views: {', '.join(survey.names)}",
            f"matched cells: {100 * result.matched.mean():.1f} %",
            f"cells no view sees in the orthomosaic: {100 * (result.source < 0).mean():.1f} %",
            "stages (wall time):",
            *(f"  {name:22s}{seconds:8.2f} s" for name, seconds in result.stage_times.items()),
            f"total {time.perf_counter() - start:.2f} s",
            "files: heights.tif, orthomosaic.tif, preview.png",
        ])
        (args.out / "report.txt").write_text(report + "\n")
    except OSError as error:
        return fail(f"--out {args.out}: {error}")
    print(report)
    return 0


if __name__ == "__main__":
    sys.exit(main())
