"""python -m quiltmap.demo: reconstruct a synthetic aerial scene end to end."""
import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

from ..tiled import add_options, options_of


def parse(argv):
    parser = argparse.ArgumentParser(
        prog="python -m quiltmap.demo",
        description="Make a synthetic town in memory, photograph it with two nadir and four oblique "
        "frame cameras, and reconstruct a height model and an orthomosaic with quiltmap's kernels "
        "(plane sweep with sample_view, census matching cost, sgm, consistency checks, bilateral). "
        "Prints accuracy against the true heights and the time of each stage and kernel call, and "
        "writes a figure (demo.png), the arrays (.npy), metrics.json and report.txt.",
    )
    parser.add_argument("--size", type=int, default=160, metavar="N",
                        help="ground grid of N x N cells of 0.5 m (default 160, an 80 m square); "
                        "the town, the cameras' altitude and the images grow with it")
    parser.add_argument("--labels", type=int, default=96, metavar="D",
                        help="number of height labels of the plane sweep over the survey's height range "
                        "(default 96, about 0.26 m apart)")
    parser.add_argument("--seed", type=int, default=7, help="seed of the scene, cameras and noise (default 7)")
    parser.add_argument("--threads", type=int, default=2,
                        help="worker threads for rendering and the plane sweep (default 2)")
    parser.add_argument("--out", type=Path, default=Path("quiltmap-demo-output"), metavar="DIR",
                        help="output folder (default ./quiltmap-demo-output)")
    parser.add_argument("--export", type=Path, metavar="DIR",
                        help="instead of reconstructing, write the survey's photographs (16-bit TIFF) and "
                        "its description (survey.json) to DIR, for `python -m quiltmap reconstruct "
                        "DIR/survey.json --out ...` (needs the `io` extras)")
    add_options(parser, "Any of these options reconstructs the survey tile by tile.")
    args = parser.parse_args(argv)
    try:
        args.tiled = options_of(args)
    except ValueError as error:
        parser.error(str(error))
    if args.tiled is not None:
        if args.workers is not None and args.workers < 1:
            parser.error("--workers must be at least 1")
        args.tiled["progress"] = True
    if args.size < 16:
        parser.error("--size must be at least 16")
    if args.labels < 3:
        parser.error("--labels must be at least 3")
    if args.threads < 1:
        parser.error("--threads must be at least 1")
    if args.seed < 0:
        parser.error("--seed must be 0 or more")
    needed, available = memory_needed(args.size, args.labels, args.tiled), memory_available()
    if available is not None and needed > available:
        parser.error(f"--size {args.size} with --labels {args.labels} needs about {needed / 2**30:.1f} GiB, "
                     f"more than the {available / 2**30:.1f} GiB this machine has available")
    target = args.export if args.export is not None else args.out
    if target.exists() and not target.is_dir():
        parser.error(f"{'--export' if args.export is not None else '--out'} {target}: exists and is not a folder")
    try:
        target.mkdir(parents=True, exist_ok=True)
        descriptor, probe = tempfile.mkstemp(prefix=".quiltmap-write-test-", dir=target)  # never through a link
        os.close(descriptor)
        os.unlink(probe)
    except OSError as error:
        parser.error(f"{'--export' if args.export is not None else '--out'} {target}: cannot be written "
                     f"({error.strerror})")
    return args


def memory_needed(size, labels, tiled=None):
    """Bytes the run holds at its peak: the two cost volumes and sgm's result
    and path volumes (16 bytes per cell and label), and about 5.5 kB per cell
    for the render raster, the rays of the photographs and the sweep's
    temporaries, over about 100 MB for the interpreter and libraries (fitted
    to the peak resident sizes of runs of 96 and 192 cells: 169 and 360 MB).
    Tiled (the keywords of reconstruct_tiled): the town's render raster,
    about 1.8 kB per cell at its making, and each worker's tile."""
    if tiled is None:
        return 100 * 2**20 + size * size * (16 * labels + 5500)
    from ..reconstruction import Settings
    from ..tiled import task_memory

    return 100 * 2**20 + size * size * 1800 + tiled["workers"] * task_memory(tiled["tiling"], Settings(labels=labels),
                                                                             0.5)


def memory_available():
    """MemAvailable of /proc/meminfo, in bytes; None where there is none."""
    try:
        with open("/proc/meminfo") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def export(args):
    try:
        import tifffile  # noqa: F401
    except ImportError as error:
        sys.exit(f"--export needs the io extras ({error.name} is missing): pip install 'quiltmap[io]'")
    import numpy as np

    from ..cameras import write_colmap_text, write_opensfm
    from ..reconstruction import Settings
    from ..survey import write_survey
    from . import photograph, views_of

    survey = photograph(args.size, args.seed, args.threads)
    views = views_of(survey)
    path = write_survey(args.export, views, survey.scene.grid, survey.scene.z_range, settings=Settings(labels=args.labels))
    # The same cameras as structure-from-motion programs write them, with the true heights of
    # some cells as their sparse points: `quiltmap photos DIR --model ... --georeferenced` reads them.
    cameras = {f"view_{i}.tif": view.camera for i, view in enumerate(views)}
    grid = survey.scene.grid
    X, Y = grid.centres()
    chosen = np.random.default_rng(args.seed).choice(grid.rows * grid.columns, min(2000, grid.rows * grid.columns),
                                                     replace=False)
    points = np.stack([X.ravel()[chosen], Y.ravel()[chosen], survey.scene.truth.ravel()[chosen]], axis=1)
    write_colmap_text(args.export / "colmap", cameras, points)
    write_opensfm(args.export / "reconstruction.json", cameras, points)
    print(f"wrote {len(survey.images)} photographs, {path}, a COLMAP model (colmap/) and an OpenSfM one "
          f"(reconstruction.json)")


def main(argv=None):
    args = parse(argv)
    if args.export is not None:
        return export(args)
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]
        import matplotlib  # noqa: F401
    except ImportError as error:
        sys.exit(f"the demonstration needs its extras ({error.name} is missing): pip install 'quiltmap[demo]'")
    from ..outputs import FolderBusy, OutputFolder
    from . import report, run

    start = time.perf_counter()
    demo = run(args.size, args.labels, args.seed, args.threads,
               progress=lambda items, **kw: tqdm(items, unit="step", leave=True, **kw), tiled=args.tiled)
    m = report.of(demo)
    # Written as the command writes its outputs: into a private folder, then moved into place.
    try:
        with OutputFolder(args.out) as folder:
            with demo.stages.single("report"):
                report.save_arrays(demo, folder.staging, m)
                report.figure(demo, m, folder.staging / "demo.png")
            printed = report.text(demo, m, time.perf_counter() - start, args.out)
            (folder.staging / "report.txt").write_text(printed + "\n")
            folder.publish(sorted(path.name for path in folder.staging.iterdir() if path.is_file()))
    except FolderBusy as error:
        sys.exit(f"--out {args.out}: {error.strerror}")
    print(printed)


if __name__ == "__main__":
    main()
