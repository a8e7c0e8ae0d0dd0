"""Structure from motion on demand: camera poses, one shared calibration and
sparse points for a set of photographs, computed by COLMAP through pycolmap
and kept on disk for the next call.

    model = run_sfm(photographs, folder)   # folder/model: cameras.txt, images.txt, points3D.txt

The folder holds afterwards:

    images/         the photographs resized by `scale` (JPEG, quality 95, without their
                    EXIF), under their own file names (".jpg" added to a name that is not JPEG)
    database.db     COLMAP's features and geometrically verified matches
    model/          the largest model found, as a COLMAP TEXT model
    manifest.json   what the model was made from, written last

The steps: SIFT features on the CPU, exhaustive matching with geometric
verification, incremental mapping with one RADIAL camera (f, cx, cy, k1, k2)
shared by every photograph. Its focal length starts from EXIF when Pillow
can read it (focal length in mm times the focal-plane resolution, scaled
with the photograph), else from COLMAP's guess of 1.2 times the longer side.
RADIAL distorts as quiltmap.geometry does, u = f (1 + k1 r2 + k2 r2^2) n + c,
but COLMAP puts pixel (0, 0)'s corner, not its centre, at the origin: its cx
and cy are half a pixel larger than quiltmap's. The pixels are those stored,
not turned by the EXIF orientation, as quiltmap.survey reads them.

With few photographs most points are seen by two of them only; COLMAP drops
such two-view tracks by default, which left the three photographs of a drone
strip with 151 points instead of 2,032 and a weak bundle adjustment, so they
are kept below FEW_PHOTOGRAPHS. COLMAP keeps its first model whatever its size and discards
later ones smaller than min(0.8 N, 10) photographs, so its defaults suit a
handful of photographs; if no initial pair is good enough it relaxes its
thresholds itself (half the inliers, then half the triangulation angle).

Caching: the manifest records each photograph's path, size in bytes and
modification time, the scale, pycolmap's version and the COLMAP options; a
call whose manifest matches and whose model is there returns at once. The
thread count is left out: it changes the speed, not the settings. The folder
is held by quiltmap.outputs.OutputFolder for the run (a concurrent run into
it is refused), everything is written into a private folder and moved into
place together, and the manifest is deleted first and written last, so a
run interrupted at any point leaves no manifest beside a model it does not
describe.

Repeatability: COLMAP's random generators (the RANSAC of matching and of
mapping) are seeded, and with threads=1 the same photographs gave the same
model file for file on every run tried. With more threads two things vary:
image ids follow the order in which the extraction threads finish, and the
mapper, given the photographs in another order, ends with other last digits
of poses and points; and now and then the multi-threaded mapper takes another path
altogether (3 of 49 runs on three photographs with pycolmap 4.2.1 ended
with a fifth more points, from a database that mapped again gave the usual
model). Different pycolmap versions give different models: their
defaults and solvers change.

COLMAP's log is held to warnings and errors during a run; `progress` tells
the stages.

pycolmap: tried with 3.13.0 (Python 3.9) and 4.2.1 (Python 3.11). The one
call that differs between them is in `_extract_features`; older lines name
their options differently and are refused.
"""
import json
import math
import os
from contextlib import contextmanager
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from .outputs import FolderBusy, OutputFolder, replace_atomically

__all__ = ["SfmError", "run_sfm", "STAGES", "FEW_PHOTOGRAPHS"]

STAGES = ("resizing", "extracting features", "matching", "mapping", "writing the model")

# Below this many photographs two-view tracks are kept (see the module's documentation).
FEW_PHOTOGRAPHS = 10

CAMERA_MODEL = "RADIAL"
RANDOM_SEED = 1
JPEG_QUALITY = 95
OLDEST_PYCOLMAP = (3, 13)

# EXIF tags (in the Exif sub-IFD) and the lengths of FocalPlaneResolutionUnit's units in mm.
EXIF_IFD = 0x8769
FOCAL_LENGTH, FOCAL_PLANE_X_RESOLUTION, FOCAL_PLANE_UNIT, PIXEL_X_DIMENSION = 0x920A, 0xA20E, 0xA210, 0xA002
UNIT_MM = {2: 25.4, 3: 10.0, 4: 1.0, 5: 0.001}

PUBLISHED = ("images", "database.db", "model")
MODEL_FILES = ("cameras.txt", "images.txt", "points3D.txt")


class SfmError(RuntimeError):
    """Structure from motion that could not be run or found no model; the
    message says what failed and what to try."""


def run_sfm(photographs: Sequence[Path], folder: Path, scale: float = 0.25, threads: int = 2,
            progress: Optional[Callable[[str], None]] = None) -> Path:
    """Camera poses, the shared camera and sparse points of `photographs`,
    as a COLMAP TEXT model in folder/model, which is returned; computed at
    `scale` of the photographs' size with `threads` threads, or found in
    `folder` from an earlier call on the same photographs and settings.
    progress(stage) is called as each of STAGES starts; threads=1 makes
    runs repeatable (see the module's documentation). A model that leaves
    some photographs out is returned all the same: its images.txt names the
    registered ones. Raises SfmError."""
    photographs = [Path(p) for p in photographs]
    folder = Path(folder)
    _check_arguments(photographs, folder, scale, threads)
    scale = float(scale)
    pycolmap, image_module = _libraries()
    sizes, focal = _survey_photographs(image_module, photographs)
    width, height = (max(1, round(side * scale)) for side in sizes)
    names = _image_names(photographs)
    options = {
        "camera_model": CAMERA_MODEL,
        # f, cx, cy, k1, k2 at the resized size, or empty for COLMAP's own guess of f
        "camera_params": ([focal * width / sizes[0], width / 2, height / 2, 0.0, 0.0] if focal else []),
        "max_image_size": max(width, height),  # no further resizing by the extractor
        "ignore_two_view_tracks": len(photographs) >= FEW_PHOTOGRAPHS,
        "random_seed": RANDOM_SEED,
    }
    manifest = {
        "photographs": [{"path": str(p.resolve()), "image": name, "bytes": p.stat().st_size,
                         "modified_ns": p.stat().st_mtime_ns} for p, name in zip(photographs, names)],
        "scale": scale, "size": [width, height], "pycolmap": pycolmap.__version__, "options": options,
    }
    try:
        with OutputFolder(folder) as output, _quiet(pycolmap):
            if _matches(folder, manifest):
                return folder / "model"
            _remove(folder / "manifest.json")
            work = output.staging
            _stage(progress, 0)
            _resize(image_module, photographs, names, (width, height), work / "images")
            _stage(progress, 1)
            _extract_features(pycolmap, work, names, options, threads)
            _stage(progress, 2)
            _match(pycolmap, work, options, threads)
            _stage(progress, 3)
            model = _map(pycolmap, work, options, threads, len(photographs))
            _stage(progress, 4)
            (work / "model").mkdir()
            model.write_text(str(work / "model"))
            for name in PUBLISHED:
                _fsync_files(work / name)
            output.publish(PUBLISHED)
            _write_manifest(folder / "manifest.json", manifest)
    except FolderBusy:
        raise SfmError(f"{folder}: another run is writing into this folder; wait for it or choose another") from None
    return folder / "model"


@contextmanager
def _quiet(pycolmap):
    level = pycolmap.logging.minloglevel
    pycolmap.logging.minloglevel = 1  # warnings and worse
    try:
        yield
    finally:
        pycolmap.logging.minloglevel = level


def _check_arguments(photographs, folder, scale, threads):
    if not photographs:
        raise SfmError("no photographs given: structure from motion needs two or more that overlap")
    if len(photographs) < 2:
        raise SfmError(f"one photograph given ({photographs[0].name}): structure from motion needs two or more "
                       f"that overlap")
    if isinstance(scale, bool) or not isinstance(scale, (int, float)) or not 0 < scale <= 1:
        raise SfmError(f"scale must be a number in (0, 1], not {scale!r}")
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise SfmError(f"threads must be a positive integer, not {threads!r}")
    for photograph in photographs:
        if not photograph.is_file():
            raise SfmError(f"{photograph}: no such photograph")
    # The folder's images, model and database are replaced as a whole by each run.
    replaced = [(folder / name).resolve() for name in PUBLISHED]
    for photograph in photographs:
        if any(place == photograph.resolve() or place in photograph.resolve().parents for place in replaced):
            raise SfmError(f"{photograph}: lies in {folder}'s images/, model/ or database, which a run replaces; "
                           f"keep the photographs elsewhere")


def _libraries():
    try:
        import pycolmap
    except ImportError as error:
        raise SfmError("structure from motion needs pycolmap: pip install 'quiltmap[photos]'") from error
    try:
        from PIL import Image
    except ImportError as error:
        raise SfmError("structure from motion needs Pillow: pip install 'quiltmap[photos]'") from error
    if _version(pycolmap) < OLDEST_PYCOLMAP:
        raise SfmError(f"pycolmap {pycolmap.__version__} is older than {'.'.join(map(str, OLDEST_PYCOLMAP))}, "
                       f"whose options this module uses: pip install -U pycolmap")
    return pycolmap, Image


def _version(pycolmap) -> Tuple[int, ...]:
    numbers = []
    for part in pycolmap.__version__.split(".")[:2]:
        digits = "".join(c for c in part if c.isdigit())
        numbers.append(int(digits) if digits else 0)
    return tuple(numbers)


def _survey_photographs(image_module, photographs):
    """The photographs' common size and the first focal length in pixels
    that EXIF gives, or None; one camera is shared, so sizes must agree."""
    sizes: List[Tuple[Path, Tuple[int, int]]] = []
    focal = None
    for photograph in photographs:
        try:
            with image_module.open(photograph) as image:
                sizes.append((photograph, image.size))
                focal = focal or _exif_focal(image)
        except (OSError, ValueError, SyntaxError) as error:  # Pillow's kinds for a file it cannot read
            raise SfmError(f"{photograph}: cannot be read as an image ({error})") from None
    first, size = sizes[0]
    for photograph, other in sizes[1:]:
        if other != size:
            raise SfmError(f"photographs of different sizes cannot share one camera: {first.name} is "
                           f"{size[0]} x {size[1]}, {photograph.name} {other[0]} x {other[1]}")
    return size, focal


def _exif_focal(image) -> Optional[float]:
    """Focal length in pixels of the stored image from EXIF, or None."""
    try:
        exif = image.getexif().get_ifd(EXIF_IFD)
        millimetres = float(exif[FOCAL_LENGTH])
        pixels_per_unit = float(exif[FOCAL_PLANE_X_RESOLUTION])
        unit = UNIT_MM[int(exif.get(FOCAL_PLANE_UNIT, 2))]
        focal = millimetres * pixels_per_unit / unit
        # The focal-plane resolution is that of the camera's own image; one resized since scales with it.
        recorded_width = int(exif.get(PIXEL_X_DIMENSION, image.width))
        if recorded_width > 0:
            focal *= image.width / recorded_width
    except (KeyError, TypeError, ValueError, ZeroDivisionError, OverflowError, SyntaxError):
        return None
    return focal if math.isfinite(focal) and focal > 0 else None


def _image_names(photographs):
    names = [p.name if p.suffix.lower() in (".jpg", ".jpeg") else p.name + ".jpg" for p in photographs]
    seen: Dict[str, Path] = {}
    for photograph, name in zip(photographs, names):
        if name in seen:
            raise SfmError(f"{seen[name]} and {photograph} would both be {name} in the model: "
                           f"give each photograph its own file name")
        seen[name] = photograph
    return names


def _stage(progress, index):
    if progress is not None:
        progress(STAGES[index])


def _resize(image_module, photographs, names, size, images):
    images.mkdir()
    resampling = getattr(image_module, "Resampling", image_module).LANCZOS
    for photograph, name in zip(photographs, names):
        with image_module.open(photograph) as image:
            pixels = image if image.mode in ("RGB", "L") else image.convert("RGB")
            pixels.resize(size, resampling).save(images / name, "JPEG", quality=JPEG_QUALITY)


# The calls whose form depends on pycolmap's version. 3.13's extract_features
# takes the camera model as an argument of its own and overwrites the reader
# options' with it (SIMPLE_RADIAL if not given); 4.x reads only the reader
# options'. Everything else used here is the same in 3.13 and 4.2.
def _extract_features(pycolmap, work, names, options, threads):
    reader = pycolmap.ImageReaderOptions()
    reader.camera_model = options["camera_model"]
    reader.camera_params = ",".join(repr(float(p)) for p in options["camera_params"])
    extraction = pycolmap.FeatureExtractionOptions()
    extraction.num_threads = threads
    extraction.max_image_size = options["max_image_size"]
    arguments: Dict[str, Any] = {"camera_model": options["camera_model"]} if _version(pycolmap) < (4,) else {}
    # Named, so that with one thread image ids follow the photographs' order, not the folder
    # listing's; with more they follow the order in which the threads finish.
    pycolmap.extract_features(str(work / "database.db"), str(work / "images"), image_names=names,
                              camera_mode=pycolmap.CameraMode.SINGLE, reader_options=reader,
                              extraction_options=extraction, device=pycolmap.Device.cpu, **arguments)


def _match(pycolmap, work, options, threads):
    matching = pycolmap.FeatureMatchingOptions()
    matching.num_threads = threads
    verification = pycolmap.TwoViewGeometryOptions()
    verification.ransac.random_seed = options["random_seed"]
    pycolmap.set_random_seed(options["random_seed"])
    pycolmap.match_exhaustive(str(work / "database.db"), matching_options=matching,
                              verification_options=verification, device=pycolmap.Device.cpu)


def _map(pycolmap, work, options, threads, count):
    """The model with the most registered photographs (then points)."""
    mapping = pycolmap.IncrementalPipelineOptions()
    mapping.num_threads = threads
    mapping.random_seed = options["random_seed"]
    mapping.triangulation.ignore_two_view_tracks = options["ignore_two_view_tracks"]
    (work / "sparse").mkdir()
    pycolmap.set_random_seed(options["random_seed"])
    models = pycolmap.incremental_mapping(str(work / "database.db"), str(work / "images"), str(work / "sparse"),
                                          options=mapping)
    best = max(models.values(), key=lambda m: (m.num_reg_images(), m.num_points3D()), default=None)
    registered = best.num_reg_images() if best is not None else 0
    if registered < 2:
        raise SfmError(f"registered {registered} of {count} photographs: they must overlap (60% or more along a "
                       f"flight line is usual) and show the same ground; a larger scale gives more features")
    return best


def _matches(folder, manifest):
    """Whether folder holds the model that `manifest` describes."""
    try:
        recorded = json.loads((folder / "manifest.json").read_text())
    except (OSError, ValueError):
        return False
    return recorded == manifest and all((folder / "model" / name).is_file() for name in MODEL_FILES)


def _write_manifest(path, manifest):
    text = json.dumps(manifest, indent=2) + "\n"

    def write(file):
        file.write(text.encode())

    replace_atomically(path, write)


def _remove(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def _fsync_files(path):
    """Flushes a file, or every file in a folder, to disk before it is published."""
    files = [path] if path.is_file() else [p for p in path.iterdir() if p.is_file()]
    for file in files:
        descriptor = os.open(file, os.O_RDONLY | os.O_CLOEXEC)
        try:
            os.fsync(descriptor)
        finally:
            os.close(descriptor)
