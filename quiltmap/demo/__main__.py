"""python -m quiltmap.demo: reconstruct a synthetic aerial scene end to end."""
import argparse
import sys
import time
from pathlib import Path


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
    args = parser.parse_args(argv)
    if args.size < 16:
        parser.error("--size must be at least 16")
    if args.labels < 3:
        parser.error("--labels must be at least 3")
    if args.threads < 1:
        parser.error("--threads must be at least 1")
    return args


def export(args):
    from ..reconstruction import Settings
    from ..survey import write_survey
    from . import photograph, views_of

    survey = photograph(args.size, args.seed, args.threads)
    path = write_survey(args.export, views_of(survey), survey.scene.grid, survey.scene.z_range,
                        settings=Settings(labels=args.labels))
    print(f"wrote {len(survey.images)} photographs and {path}")


def main(argv=None):
    args = parse(argv)
    if args.export is not None:
        return export(args)
    try:
        from tqdm import tqdm
        import matplotlib  # noqa: F401
    except ImportError as error:
        sys.exit(f"the demonstration needs its extras ({error.name} is missing): pip install 'quiltmap[demo]'")
    from . import report, run

    start = time.perf_counter()
    demo = run(args.size, args.labels, args.seed, args.threads,
               progress=lambda items, **kw: tqdm(items, unit="step", leave=True, **kw))
    m = report.of(demo)
    with demo.stages.single("report"):
        report.save_arrays(demo, args.out, m)
        report.figure(demo, m, args.out / "demo.png")
    printed = report.text(demo, m, time.perf_counter() - start, args.out)
    (args.out / "report.txt").write_text(printed + "\n")
    print(printed)


if __name__ == "__main__":
    main()
