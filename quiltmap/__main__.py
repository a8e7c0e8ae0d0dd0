"""python -m quiltmap reconstruct SURVEY.json --out DIR: a height model and an
orthomosaic, as Cloud-Optimized GeoTIFF files (plain GeoTIFF where GDAL is
absent, or with --format geotiff), from a survey description
(quiltmap/survey.py documents its form; quiltmap/outputs.py lists the files).

Every refused input ends with one line on stderr and status 2, before
anything is written; the output folder receives the run's whole set of files
or, if the run fails or is interrupted (SIGINT, SIGTERM), is left as it was
(quiltmap/outputs.py says how, and what survives a crash)."""
import argparse
import os
import signal
import sys
import threading
import time
import warnings
from contextlib import contextmanager
from pathlib import Path

from .gis import FORMATS, cog_available
from .outputs import OUTPUTS
from .tiled import add_options, options_of, share


def parse(argv):
    parser = argparse.ArgumentParser(prog="quiltmap", description="Dense-stereo reconstruction of aerial "
                                     "photographs with known cameras.")
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("reconstruct", help="height model and orthomosaic of a survey",
                              description="Reads SURVEY.json (images, cameras, ground grid, height range), "
                              "reconstructs the grid's heights and orthomosaic, and writes heights.tif, "
                              "orthomosaic.tif (Cloud-Optimized GeoTIFF on the grid, or plain GeoTIFF: see "
                              "--format), preview.png and report.txt to DIR.")
    run.add_argument("survey", type=Path, metavar="SURVEY.json")
    run.add_argument("--out", required=True, metavar="DIR", help="output folder (made if missing)")
    run.add_argument("--threads", type=int, default=2, help="worker threads of the plane sweep (default 2)")
    run.add_argument("--quiet", action="store_true", help="no progress bars")
    add_output_options(run)
    add_options(run, "Any of these options runs the survey tile by tile; the tasks read the photographs' "
                "windows from their files and fill the GeoTIFF files part by part, and filled.tif, raw.tif, "
                "matched.tif and source.tif are written too.")
    photos = commands.add_parser(
        "photos", help="height model and orthomosaic of a folder of photographs",
        description="Runs structure from motion on the photographs of DIR (pycolmap; the model is cached in "
        "DIR's output folder, OUT/sfm), georeferences it by the photographs' positions (a log, or their EXIF "
        "GPS), plans the grid and the height range, reconstructs, and writes what `reconstruct` writes, and "
        "survey.json, to OUT.")
    photos.add_argument("folder", type=Path, metavar="DIR", help="a folder of JPEG, PNG or TIFF photographs")
    photos.add_argument("--out", required=True, metavar="OUT", help="output folder (made if missing)")
    photos.add_argument("--positions", type=Path, metavar="LOG",
                        help="the photographs' positions: a comma- or tab-separated table with a header line "
                        "(name, latitude, longitude, altitude; optionally heading, pitch, roll); default: EXIF GPS")
    photos.add_argument("--model", type=Path, metavar="PATH",
                        help="a COLMAP model folder or an OpenSfM reconstruction.json of these photographs, "
                        "instead of structure from motion")
    photos.add_argument("--georeferenced", action="store_true",
                        help="the --model's frame is already the world's (east, north, up in metres, in the system "
                        "--epsg names): no positions are fitted")
    photos.add_argument("--scale", type=float, default=0.25,
                        help="the photographs' size for structure from motion and matching (default 0.25)")
    photos.add_argument("--epsg", type=int, metavar="N", help="the projected system (default: the UTM zone)")
    photos.add_argument("--cell-factor", type=float, default=2.0, metavar="F",
                        help="cell size as a multiple of the median ground pixel size (default 2)")
    photos.add_argument("--threads", type=int, default=2, help="worker threads (default 2)")
    photos.add_argument("--quiet", action="store_true", help="no progress bars")
    add_output_options(photos)
    add_options(photos, "Any of these options runs the survey tile by tile.")
    args = parser.parse_args(argv)
    args.published = False
    return args


def add_output_options(parser):
    group = parser.add_argument_group("outputs")
    here = "rasterio is installed here" if cog_available() else "rasterio is not installed here: geotiff"
    group.add_argument("--format", choices=FORMATS,
                       help="cog: Cloud-Optimized GeoTIFF made by GDAL through rasterio (tiles of 512 x 512, DEFLATE "
                       "with a predictor, overviews, nodata declared), the default where rasterio is installed; "
                       "geotiff: uncompressed and untiled, written by tifffile, the default without it "
                       f"({here})")
    group.add_argument("--orthomosaic-8bit", action="store_true",
                       help="also write orthomosaic-8bit.tif: 8-bit RGB with an alpha band, for web maps")
    group.add_argument("--las", action="store_true",
                       help="also write points.las: the matched cells as a coloured point cloud (laspy)")


def fail(message):
    print(f"quiltmap: error: {message}", file=sys.stderr)
    return 2


class Refused(Exception):
    """An input the run cannot take; its message is the one line to print."""


def _would_swallow(frame):
    """Whether a KeyboardInterrupt raised in `frame` would be reported as
    ignored and lost instead of unwinding the run: inside an import (an
    extension's initialisation, Cython's among them, reports its errors as
    unraisable) or a finalizer."""
    while frame is not None:
        if frame.f_code.co_filename.startswith("<frozen importlib") or frame.f_code.co_name == "__del__":
            return True
        frame = frame.f_back
    return False


class Signals:
    """What interrupts() yields: the signal that ends the run, and whether
    the run is over (settled: a signal then only marks it)."""

    def __init__(self):
        self.received = []  # the signal's number, once one comes
        self.raised = False  # its KeyboardInterrupt is on its way
        self.settled = False


@contextmanager
def interrupts():
    """SIGTERM (what a batch system sends) ends the run as SIGINT does, by a
    KeyboardInterrupt that unwinds every clean-up; a second signal during the
    clean-up is ignored. Where the interrupt would be swallowed (an import, a
    finalizer), it waits and is tried again every 10 ms: a signal is never
    lost. Yields the Signals."""
    signals = Signals()

    def deliver(frame):
        if signals.settled:
            return
        if retries and _would_swallow(frame):
            signal.setitimer(signal.ITIMER_REAL, 0.01)  # SIGALRM: try again
            return
        signals.raised = True
        raise KeyboardInterrupt

    def handler(signum, frame):
        if not signals.received:
            signals.received.append(signum)
            deliver(frame)

    def retry(signum, frame):
        if signals.received and not signals.raised:
            deliver(frame)

    if threading.current_thread() is not threading.main_thread():  # only the main thread has handlers
        yield signals
        return
    retries = hasattr(signal, "setitimer")  # not on Windows: there the interrupt is raised at once
    handlers = {signal.SIGINT: handler, signal.SIGTERM: handler}
    if retries:
        handlers[signal.SIGALRM] = retry
    previous = {number: signal.signal(number, action) for number, action in handlers.items()}
    try:
        yield signals
    finally:
        signals.settled = True
        if retries:
            signal.setitimer(signal.ITIMER_REAL, 0)
        for number, action in previous.items():
            signal.signal(number, action)


def interrupted(args, number):
    outcome = "after its outputs were written" if args.published else f"{args.out} is as it was"
    print(f"quiltmap: interrupted by {signal.Signals(number).name}; {outcome}", file=sys.stderr)
    return 128 + number


def main(argv=None):
    args = parse(argv)
    with interrupts() as signals:
        try:
            code = run(args)
            signals.settled = True  # inside the try: an interrupt raised up to here is still caught
        except Refused as error:
            signals.settled = True
            return fail(str(error))
        except KeyboardInterrupt:
            return interrupted(args, signals.received[0] if signals.received else signal.SIGINT)
        if signals.received:  # its interrupt waited for the run to leave an import, and the run ended first
            return interrupted(args, signals.received[0])
        return code


def checked(args):
    """The run's options (tiled or None), checked before anything is made;
    Refused says what is wrong."""
    if not args.out:
        raise Refused("--out: an empty path names no folder")
    args.out = Path(args.out)
    if args.threads < 1:
        raise Refused("--threads must be at least 1")
    if args.workers is not None and args.workers < 1:
        raise Refused("--workers must be at least 1")
    try:
        import tifffile  # noqa: F401
        from PIL import Image  # noqa: F401
    except ImportError as error:
        raise Refused(f"the command needs its extras ({error.name} is missing): pip install 'quiltmap[io]'")
    args.format_chosen = args.format is not None
    if args.format is None:
        args.format = "cog" if cog_available() else "geotiff"
    elif args.format == "cog" and not cog_available():
        raise Refused("--format cog needs rasterio, which brings GDAL: pip install 'quiltmap[io]'")
    if args.las:
        try:
            import laspy  # noqa: F401
        except ImportError:
            raise Refused("--las needs laspy: pip install 'quiltmap[io]'")
    try:
        tiled = options_of(args)
    except ValueError as error:
        raise Refused(str(error))
    if tiled is not None:
        try:
            import dask  # noqa: F401
        except ImportError:
            raise Refused("tiled runs need Dask: pip install 'quiltmap[tiled]'")
    if args.out.exists() and not args.out.is_dir():
        raise Refused(f"--out {args.out}: exists and is not a folder")
    return tiled


def checked_survey(args, survey, tiled):
    """Refuses a survey that this machine or the output folder cannot take."""
    from .checks import check_disk, check_memory, check_survey, match_memory

    grid, settings = survey.grid, survey.settings
    channels = survey.views[0].image.shape[2]
    try:
        check_survey(survey.views, grid, survey.z_range, survey.references, files=tiled is not None)
        if tiled is None:
            pixels = sum(view.image[..., 0].size for view in survey.views)
            check_memory(match_memory(grid.rows, grid.columns, settings, grid.gsd, pixels),
                         f"the survey's {grid.rows} x {grid.columns} cells in {settings.labels} labels",
                         ": run it tile by tile (--tile)")
            check_disk(args.out, output_bytes(args, grid, channels, grid.rows * grid.columns * 4 * (1 + channels)),
                       "the outputs")
        else:
            from .tiled import check_engine, check_resources, check_tiling, probe_scheduler, raster_bytes

            check_tiling(tiled["tiling"], settings)
            check_engine(tiled["scheduler"], tiled["workers"])
            check_resources(grid, channels, settings, tiled["tiling"], tiled["scheduler"], tiled["workers"], args.out)
            check_disk(args.out, output_bytes(args, grid, channels, raster_bytes(grid, channels)), "the outputs")
            if tiled["scheduler"] not in ("threads", "cluster"):
                probe_scheduler(tiled["scheduler"])
    except (ValueError, MemoryError, ConnectionError) as error:
        raise Refused(str(error).replace("Tiling.", "--"))
    except OSError as error:
        raise Refused(f"--out {args.out}: {error.strerror}")
    return survey


def output_bytes(args, grid, channels, rasters):
    """Bytes of disk the outputs need at their peak, about, given those of
    the plain rasters: GDAL's copy of the largest raster beside it, with its
    overviews and their temporary file (twice its size, for pixels that do
    not compress), the 8-bit orthomosaic and the point cloud (26 bytes a
    point)."""
    cells = grid.rows * grid.columns
    rgba = 4 * cells if args.orthomosaic_8bit else 0
    copy = 2 * max(4 * channels * cells, rgba) if args.format == "cog" else 0
    return rasters + rgba + copy + (26 * cells if args.las else 0)


def survey_of_file(args, tiled):
    """`reconstruct`: the survey of the JSON file, read and checked before anything is made."""
    from .survey import SurveyError, load_survey

    try:
        survey = load_survey(args.survey, lazy=tiled is not None)
    except SurveyError as error:
        raise Refused(str(error))
    checked_survey(args, survey, tiled)
    return lambda folder: (survey, [f"quiltmap reconstruct {args.survey}"], [])


def survey_of_folder(args, tiled):
    """`photos`: what can be checked before anything is made, and the maker
    of the survey, which runs structure from motion into the locked folder."""
    from .photos import photographs_in
    from .survey import SurveyError

    if not 0 < args.scale <= 1:
        raise Refused(f"--scale must be above 0 and at most 1, not {args.scale}")
    if args.cell_factor <= 0:
        raise Refused(f"--cell-factor must be positive, not {args.cell_factor}")
    try:
        photographs_in(args.folder)
    except SurveyError as error:
        raise Refused(str(error))
    if args.positions is not None and not args.positions.is_file():
        raise Refused(f"--positions {args.positions}: no such file")
    if args.model is not None and not args.model.exists():
        raise Refused(f"--model {args.model}: no such file or folder")
    if args.georeferenced and args.model is None:
        raise Refused("--georeferenced describes a --model: give one")
    needed = ([] if args.georeferenced else ["pyproj"]) + (["pycolmap"] if args.model is None else [])
    for name in needed:
        try:
            __import__(name)
        except ImportError:
            raise Refused(f"photographs need {name}: pip install 'quiltmap[photos]'")

    def make(folder):
        from .photos import survey_of_photographs

        progress = None if args.quiet else (lambda stage: print(f"quiltmap: {stage}", file=sys.stderr, flush=True))
        made = survey_of_photographs(
            args.folder, folder.path / "sfm", positions=args.positions, model=args.model,
            georeferenced=args.georeferenced, scale=args.scale,
            epsg=args.epsg, cell_factor=args.cell_factor, threads=args.threads, progress=progress)
        checked_survey(args, made.survey, tiled)
        return made.survey, [f"quiltmap photos {args.folder}", *made.notes], ["survey.json"]

    return make


def run(args):
    from .outputs import FolderBusy, OutputFolder
    from .reconstruction import MatchWarning

    tiled = checked(args)
    make = survey_of_file(args, tiled) if args.command == "reconstruct" else survey_of_folder(args, tiled)
    try:
        with OutputFolder(args.out) as folder, warnings.catch_warnings():
            warnings.simplefilter("error", MatchWarning)  # a run that matched nothing writes nothing
            survey, header, extra = make(folder)
            written, report = reconstruct_into(folder.staging, args, survey, tiled, header)
            if "survey.json" in extra:
                from .survey import write_description

                write_description(folder.staging / "survey.json", survey,
                                  [os.path.relpath(path, folder.path) for path in survey.paths])
            written += extra
            folder.publish(written, remove=[output.name for output in OUTPUTS
                                            if output.name not in written and output.clear])
            args.published = True
    except MatchWarning as warning:
        return fail(f"{warning}; {args.out} is as it was")
    except FolderBusy as error:
        return fail(f"--out {args.out}: {error.strerror}")
    except (ValueError, ConnectionError, MemoryError, RuntimeError) as error:
        return fail(f"{str(error).replace('Tiling.', '--')}; {args.out} is as it was")
    except OSError as error:
        reason = error.strerror or f"a write was cut short ({error})"
        return fail(f"{reason}; the run stopped and left {args.out} as it was")
    print(report)
    return 0


def reconstruct_into(folder, args, survey, tiled, header):
    """Runs the survey and writes its outputs into `folder`; returns their
    names and the report."""
    from . import reconstruct
    from .gis import format_text, height_statistics
    from .preview import write_preview
    from .survey import write_geotiff

    start = time.perf_counter()
    if tiled is not None:
        from .tiled import RASTER_FILES, reconstruct_into as reconstruct_tiles

        result = reconstruct_tiles(folder.resolve(), survey.views, survey.grid, survey.z_range, survey.settings,
                                   refs=survey.references, epsg=survey.epsg, progress=not args.quiet, **tiled)
        rasters = list(RASTER_FILES)
    else:
        result = reconstruct(survey.views, survey.grid, survey.z_range, survey.settings, refs=survey.references,
                             threads=args.threads, progress=not args.quiet)
        write_geotiff(folder / "heights.tif", result.heights, survey.grid, survey.epsg)
        write_geotiff(folder / "orthomosaic.tif", result.orthomosaic, survey.grid, survey.epsg)
        rasters = ["heights.tif", "orthomosaic.tif"]
    outputs_start = time.perf_counter()
    grid = survey.grid
    statistics = height_statistics(result.heights)
    shown = (statistics.p1, statistics.p99) if statistics.matched else (0.0, 1.0)
    write_preview(folder / "preview.png", result.heights, result.orthomosaic, grid, shown)
    extras, notes = write_extras(folder, args, result, grid, survey.epsg)
    rasters += [name for name in extras if name.endswith(".tif")]
    lines = [
        *header,
        f"grid: {grid.rows} x {grid.columns} cells of {grid.gsd} from ({grid.X0}, {grid.Y0}); heights "
        f"{survey.z_range[0]} to {survey.z_range[1]} in {survey.settings.labels} labels",
        f"views: {', '.join(survey.names)}",
        f"reference views: {survey.names[result.refs[0]]}, {survey.names[result.refs[1]]}",
        f"matched cells: {100 * share(result.matched):.1f} %",
        f"cells no view sees in the orthomosaic: {100 * share(result.source, lambda s: s < 0):.1f} %",
        *statistics.lines(),
        *([f"tiles: {tiled['tiling'].tile} x {tiled['tiling'].tile} cells with a margin of "
           f"{tiled['tiling'].margin}, scheduler {tiled['scheduler']}",
           "stages (summed over the tiles' tasks):",
           *(f"  {name:22s}{seconds:8.2f} s" for name, seconds in result.stage_times.items() if name != "total"),
           "peak memory of each worker: " + ", ".join(f"{b / 2**20:.0f} MiB" for b in result.workers.values())]
          if tiled is not None else
          ["stages (wall time):",
           *(f"  {name:22s}{seconds:8.2f} s" for name, seconds in result.stage_times.items())]),
    ]
    # A tiled run's arrays map the plain rasters: dropped here, each file's
    # disk is freed as soon as its COG replaces it.
    del result
    if args.format == "cog":
        convert_to_cog(folder, rasters, threads=tiled["workers"] if tiled is not None else args.threads)
    written = rasters + [name for name in extras if not name.endswith(".tif")] + ["preview.png", "report.txt"]
    report = "\n".join([
        *lines,
        f"outputs (statistics, preview, files) {time.perf_counter() - outputs_start:.2f} s",
        f"total {time.perf_counter() - start:.2f} s",
        format_text(args.format, args.format_chosen),
        *notes,
        "files: " + ", ".join(written),
    ])
    from .outputs import replace_atomically

    replace_atomically(folder / "report.txt", lambda file: file.write((report + "\n").encode()))
    return written, report


def write_extras(folder, args, result, grid, epsg):
    """The outputs that options ask for, from the run's rasters (maps of
    files, for a tiled run); returns their names and the report's notes."""
    from .outputs import replace_atomically

    names, notes = [], []
    if args.orthomosaic_8bit:
        from .gis import write_rgba8

        write_rgba8(folder / "orthomosaic-8bit.tif", result.orthomosaic, grid, epsg)
        names.append("orthomosaic-8bit.tif")
    if args.las:
        from .gis import write_las

        points = []
        replace_atomically(folder / "points.las",
                           lambda file: points.append(write_las(file, result.heights, result.orthomosaic, grid, epsg)))
        names.append("points.las")
        notes.append(f"points.las: {points[0]} points, LAS 1.2 format 2" + (f", EPSG:{epsg}" if epsg else ""))
    return names, notes


def convert_to_cog(folder, names, threads):
    """The plain rasters `names` of `folder` rewritten as Cloud-Optimized GeoTIFF, one at a time."""
    from .gis import to_cog

    outputs = {output.name: output for output in OUTPUTS}
    for name in names:
        to_cog(folder / name, nodata=outputs[name].nodata, categorical=outputs[name].categorical, threads=threads)


if __name__ == "__main__":
    sys.exit(main())
