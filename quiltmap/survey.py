"""Surveys on disk: a JSON description of the photographs, their cameras, the
ground grid and the height range, read and checked; GeoTIFF outputs written.

The description (paths relative to the JSON file's folder):

    {
      "grid": {"X0": 500000.0, "Y0": 4100000.0, "gsd": 0.5, "rows": 400, "columns": 600},
      "heights": {"lowest": 20.0, "highest": 80.0},
      "epsg": 32633,                       (optional: the grid's coordinate system)
      "references": [0, 1],                (optional: two near-nadir views, by default the most
                                            nadir pair that overlaps most)
      "settings": {"labels": 96, ...},     (optional: any field of quiltmap.Settings)
      "images": [
        {"path": "img_0.tif", "name": "nadir 1",          (name optional)
         "camera": {"R": [[...], [...], [...]], "C": [x, y, z],
                    "f": 4000.0, "k1": 0.0, "k2": 0.0, "cx": 2999.5, "cy": 1999.5}},
        ...
      ]
    }

Units and conventions are those of quiltmap.geometry: R maps world to camera,
C is the camera centre in world units, f, cx and cy are in pixels with (0, 0)
the centre of the top-left pixel, and (X0, Y0) is the grid's north-west
corner. Images may be PNG, JPEG or TIFF, 8- or 16-bit, grey or colour, or
float TIFF with every pixel in [0, 1]; all must have the same number of
channels, and are read as float32 in [0, 1]. A key that the form above does
not have is refused by name (a misspelt optional key would otherwise be
ignored), and `epsg` must be a code that a GeoTIFF file can name, 1024 to
32766.
"""
import json
import math
import os
from dataclasses import dataclass, fields
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from .checks import check_tiff_sides, sees_grid, shown
from .geometry import FULL_SCALE, Camera, GroundGrid, View, as_image
from .outputs import exclusive_file, replace_atomically
from .reconstruction import Settings

__all__ = ["SurveyError", "Survey", "ImageFile", "load_survey", "read_image", "replace_atomically",
           "write_geotiff", "create_geotiff", "write_survey", "write_description"]


class SurveyError(ValueError):
    """A survey description or one of its files that cannot be used; the
    message names the offending entry."""


@dataclass
class Survey:
    views: list  # of View
    grid: GroundGrid
    z_range: tuple
    settings: Settings
    references: Optional[tuple]
    epsg: Optional[int] = None
    names: Optional[list] = None
    paths: Optional[list] = None  # the photographs' files, where the views were read from files


def read_image(path: Union[str, os.PathLike]) -> np.ndarray:
    """An image file as float32 (height, width, channels) in [0, 1]."""
    path = Path(path)
    if path.suffix.lower() in (".tif", ".tiff"):
        import tifffile

        data = tifffile.imread(path)
    elif path.suffix.lower() == ".npy":
        data = np.load(path)
    else:
        from PIL import Image

        with Image.open(path) as image:
            data = np.asarray(image)
    return _brightness(_channels(data, path), path)


def _channels(data, path):
    """The pixels as (rows, columns, channels), grey or colour; alpha is not brightness."""
    if data.ndim == 2:
        data = data[..., None]
    if data.ndim != 3 or data.shape[2] not in (1, 3, 4):
        raise SurveyError(f"{path.name}: not a grey or colour image (shape {data.shape})")
    return data[..., :3] if data.shape[2] == 4 else data


def _brightness(data, path):
    """Pixels as float32 in [0, 1], the same value for a pixel however much of the image is read."""
    if data.dtype in FULL_SCALE:
        return as_image(data)
    if data.dtype.kind == "f":
        check_float_range(data, path)
        return np.ascontiguousarray(data, np.float32)
    raise SurveyError(f"{path.name}: pixels of type {data.dtype} (8- or 16-bit expected)")


def check_float_range(data, path, rows=1024):
    """Refuses float pixels outside [0, 1], the brightness range of the
    outputs, a band of rows at a time (the data may be a map of a large file)."""
    for r in range(0, data.shape[0], rows):
        band = np.asarray(data[r: r + rows])
        if band.size and not (np.isfinite(band).all() and band.min() >= 0 and band.max() <= 1):
            finite = band[np.isfinite(band)]
            found = (f"{finite.min():.3g} to {finite.max():.3g}" if finite.size else "no finite value")
            found += "" if finite.size == band.size else ", and values that are not finite"
            raise SurveyError(f"{path.name}: float pixels must lie in [0, 1] (found {found})")


class ImageFile:
    """A photograph on disk read a window at a time, with the pixels
    read_image gives. Pickles as its path, so a task on another machine can
    read its own windows. NumPy files and uncompressed TIFF files are
    memory-mapped and only the window's pixels are read; other files are
    decoded whole, then cut."""

    def __init__(self, path: Union[str, os.PathLike]):
        self.path = Path(path)
        pixels = self._pixels()
        if pixels is None:
            self.shape = read_image(self.path).shape
        else:
            self.shape = _channels(pixels, self.path).shape
            _brightness(pixels[:0], self.path)  # refuses other pixel types now, not in a task
            if pixels.dtype.kind == "f":
                check_float_range(pixels, self.path)
        self.dtype = np.dtype(np.float32)
        self.ndim = 3

    def _pixels(self):
        """The file's pixels memory-mapped, or None where they cannot be."""
        suffix = self.path.suffix.lower()
        if suffix == ".npy":
            return np.load(self.path, mmap_mode="r")
        if suffix in (".tif", ".tiff"):
            import tifffile

            try:
                return tifffile.memmap(self.path, mode="r")
            except ValueError:  # compressed or scattered in strips
                return None
        return None

    def window(self, y0, y1, x0, x1):
        """Rows y0 to y1 and columns x0 to x1 (ends excluded), float32."""
        pixels = self._pixels()
        if pixels is None:
            return read_image(self.path)[y0:y1, x0:x1]
        return _brightness(np.array(_channels(pixels, self.path)[y0:y1, x0:x1]), self.path)

    def __reduce__(self):
        return ImageFile, (self.path,)

    def __repr__(self):
        return f"ImageFile({str(self.path)!r}, shape={self.shape})"


def _number(entry, key, where):
    value = entry.get(key) if isinstance(entry, dict) else None
    try:
        number = float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else math.nan
    except OverflowError:  # an integer of hundreds of digits
        number = math.inf
    if not math.isfinite(number):
        raise SurveyError(f"{where}.{key}: a finite number is required, not {shown(value)}")
    return number


def _known(entry, keys, where):
    """Refuses keys of a JSON object that the survey does not define: a misspelt
    optional key would otherwise be ignored and its default used."""
    unknown = sorted(set(entry) - set(keys))
    if unknown:
        raise SurveyError(f"{where}: unknown key{'s' if len(unknown) > 1 else ''} "
                          f"{', '.join(repr(k) for k in unknown)} (known: {', '.join(keys)})")


def _object(entry, key, where):
    value = entry.get(key) if isinstance(entry, dict) else None
    if not isinstance(value, dict):
        raise SurveyError(f"{where}.{key}: an object is required")
    return value


# The keys of each object of a survey, in the order the documentation gives them.
SURVEY_KEYS = ("grid", "heights", "epsg", "references", "settings", "images")
GRID_KEYS = ("X0", "Y0", "gsd", "rows", "columns")
HEIGHT_KEYS = ("lowest", "highest")
IMAGE_KEYS = ("path", "name", "camera")
CAMERA_KEYS = ("R", "C", "f", "k1", "k2", "cx", "cy")
# GeoTIFF's ProjectedCSTypeGeoKey holds EPSG codes of projected systems from
# 1024 to 32766 (32767 is "user-defined", and the key is 16 bits wide).
EPSG_CODES = range(1024, 32767)


def load_survey(path: Union[str, os.PathLike], lazy: bool = False) -> "Survey":
    """The survey that the JSON file at `path` describes, its images read and
    every entry checked; SurveyError names the file and its first offending
    entry. lazy: the views' images are ImageFile, read a window at a time by
    a tiled reconstruction (quiltmap.tiled), instead of arrays."""
    path = Path(path)
    try:
        return _read_survey(path, lazy)
    except SurveyError as error:
        raise SurveyError(f"{path}: {error}") from None


def _parse(path):
    try:
        text = path.read_bytes().decode("utf-8")
    except OSError as error:
        raise SurveyError(f"cannot be read ({error.strerror})") from None
    except UnicodeDecodeError as error:
        raise SurveyError(f"not UTF-8 text (byte {error.start} cannot be decoded)") from None
    try:
        return json.loads(text)
    except json.JSONDecodeError as error:
        raise SurveyError(f"not JSON ({error})") from None
    except RecursionError:
        raise SurveyError("nested more deeply than a survey ever is") from None
    except ValueError as error:  # an integer of more digits than Python converts
        raise SurveyError(f"not JSON that can be read ({error})") from None


def _read_survey(path, lazy):
    description = _parse(path)
    if not isinstance(description, dict):
        raise SurveyError("the survey must be a JSON object")
    _known(description, SURVEY_KEYS, "survey")
    folder = path.parent

    g = _object(description, "grid", "survey")
    _known(g, GRID_KEYS, "grid")
    try:
        grid = GroundGrid(_number(g, "X0", "grid"), _number(g, "Y0", "grid"), _number(g, "gsd", "grid"),
                          g.get("rows"), g.get("columns"))
        check_tiff_sides(grid)
    except SurveyError:
        raise
    except ValueError as error:
        raise SurveyError(f"grid: {error}") from None
    h = _object(description, "heights", "survey")
    _known(h, HEIGHT_KEYS, "heights")
    z_range = (_number(h, "lowest", "heights"), _number(h, "highest", "heights"))
    if not z_range[0] < z_range[1]:
        raise SurveyError(f"heights: lowest ({z_range[0]}) must be below highest ({z_range[1]})")

    known = [f.name for f in fields(Settings)]
    given = description.get("settings", {})
    if not isinstance(given, dict):
        raise SurveyError(f"settings: an object is required, not {shown(given)}")
    _known(given, known, "settings")
    try:
        settings = Settings(**given)
    except ValueError as error:
        raise SurveyError(f"settings: {error}") from None

    images = description.get("images")
    if not isinstance(images, list) or len(images) < 2:
        raise SurveyError("images: a list of at least two images is required")
    views: List[View] = []
    names: List[str] = []
    for i, entry in enumerate(images):
        where = f"images[{i}]"
        if not isinstance(entry, dict) or not isinstance(entry.get("path"), str):
            raise SurveyError(f"{where}.path: a file name is required")
        _known(entry, IMAGE_KEYS, where)
        c = _object(entry, "camera", where)
        _known(c, CAMERA_KEYS, f"{where}.camera")
        file = folder / entry["path"]
        if not file.is_file():
            raise SurveyError(f"{where}.path: {entry['path']} does not exist")
        try:
            image = ImageFile(file) if lazy else read_image(file)
        except SurveyError as error:
            raise SurveyError(f"{where}.path: {error}") from None
        except Exception as error:  # the readers raise many kinds for a damaged file
            raise SurveyError(f"{where}.path: {entry['path']} cannot be read as an image ({error})") from None
        f, k1, k2, cx, cy = (_number(c, k, f"{where}.camera") for k in ("f", "k1", "k2", "cx", "cy"))
        try:
            camera = Camera(c.get("R"), c.get("C"), f, k1, k2, cx, cy, width=image.shape[1], height=image.shape[0],
                            name=str(entry.get("name", entry["path"])))
        except (ValueError, TypeError, OverflowError) as error:
            raise SurveyError(f"{where}.camera: {error}") from None
        if image.shape[2] != (views[0].image.shape[2] if views else image.shape[2]):
            raise SurveyError(f"{where}.path: {image.shape[2]} channels where images[0] has {views[0].image.shape[2]}")
        if not sees_grid(camera, grid, z_range):
            raise SurveyError(f"{where}.camera: sees none of the grid at any height of the range")
        views.append(View(camera, image))
        names.append(camera.name)

    references = description.get("references")
    if references is not None and (
            not isinstance(references, list) or len(references) != 2 or len(set(references)) != 2
            or not all(isinstance(r, int) and not isinstance(r, bool) and 0 <= r < len(views) for r in references)):
        raise SurveyError(f"references: two different image indices below {len(views)} are required")
    epsg = description.get("epsg")
    if epsg is not None and (isinstance(epsg, bool) or not isinstance(epsg, int) or epsg not in EPSG_CODES):
        raise SurveyError(f"epsg: {shown(epsg)} is not the EPSG code of a projected system that a GeoTIFF file "
                          f"can name ({EPSG_CODES.start} to {EPSG_CODES.stop - 1})")
    return Survey(views, grid, z_range, settings, None if references is None else tuple(references), epsg, names,
                  [folder / entry["path"] for entry in images])


def write_geotiff(path: Union[str, os.PathLike], data: np.ndarray, grid: GroundGrid,
                  epsg: Optional[int] = None) -> None:
    """`data` (rows, columns[, bands]) as a GeoTIFF on `grid` (pixel-is-area,
    the top-left corner at (X0, Y0)), NaN marked as no data."""
    array = np.ascontiguousarray(data, np.float32)
    replace_atomically(path, lambda file: _write_tiff(file, grid, epsg, array.shape, array.dtype, array))


def create_geotiff(path: Union[str, os.PathLike], shape: Tuple[int, ...], dtype: Any, grid: GroundGrid,
                   epsg: Optional[int] = None) -> int:
    """A new uncompressed GeoTIFF of `shape` (rows, columns[, bands]) on
    `grid` (three bands are RGB, four RGB and alpha), zero-filled, whose
    pixels are stored in one run from the byte offset returned, for
    np.memmap to fill part by part. The file must not exist yet (nor a link
    of that name)."""
    with exclusive_file(path) as file:
        return _write_tiff(file, grid, epsg, tuple(shape), np.dtype(dtype), None)


def _write_tiff(file, grid, epsg, shape, dtype, data):
    import tifffile

    keys = [(1024, 1 if epsg else 32767),  # GTModelTypeGeoKey: projected, or user-defined
            (1025, 1)]  # GTRasterTypeGeoKey: PixelIsArea
    if epsg:
        keys.append((3072, epsg))  # ProjectedCSTypeGeoKey
    geokeys = [1, 1, 0, len(keys)]  # directory version 1.1.0
    for key, value in keys:
        geokeys += [key, 0, 1, value]
    tags = [(33550, "d", 3, (grid.gsd, grid.gsd, 0.0), True),  # ModelPixelScale
            (33922, "d", 6, (0.0, 0.0, 0.0, grid.X0, grid.Y0, 0.0), True),  # ModelTiepoint
            (34735, "H", len(geokeys), geokeys, True)]  # GeoKeyDirectory
    if dtype.kind == "f":
        tags.append((42113, "s", 4, "nan", True))  # GDAL_NODATA
    bands = shape[2] if len(shape) == 3 else 1
    photometric = "rgb" if bands in (3, 4) else "minisblack"
    big = int(np.prod(shape)) * dtype.itemsize > 2**32 - 2**25  # room for the tags within classic TIFF's 4 GiB
    offset, _ = tifffile.imwrite(file, data, shape=None if data is not None else shape,
                                 dtype=None if data is not None else dtype, photometric=photometric,
                                 extrasamples=["unassalpha"] if bands == 4 else None,  # RGBA: GDAL's alpha band
                                 extratags=tags, metadata=None, bigtiff=big, returnoffset=True)
    return offset


def write_survey(folder: Union[str, os.PathLike], views: Sequence[View], grid: GroundGrid,
                 z_range: Tuple[float, float], references: Optional[Tuple[int, int]] = (0, 1),
                 settings: Optional[Settings] = None, epsg: Optional[int] = None) -> Path:
    """Writes the views as 16-bit TIFF images and their description as
    survey.json in `folder`, in the form load_survey reads."""
    import tifffile

    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for i, view in enumerate(views):
        name = f"view_{i}.tif"
        pixels = np.round(np.clip(view.image, 0, 1) * 65535).astype(np.uint16)
        replace_atomically(folder / name, lambda file: tifffile.imwrite(file, pixels, metadata=None))
        paths.append(name)
    survey = Survey(list(views), grid, tuple(z_range), settings or Settings(), references, epsg,
                    [view.camera.name or path for view, path in zip(views, paths)])
    write_description(folder / "survey.json", survey, paths, settings=settings is not None)
    return folder / "survey.json"


def write_description(path: Union[str, os.PathLike], survey: "Survey", image_paths: Sequence[str],
                      settings: bool = True) -> None:
    """The survey's description as JSON at `path`, in the form load_survey
    reads; image_paths: the photographs' files, relative to its folder."""
    images = []
    for view, image_path, name in zip(survey.views, image_paths, survey.names or [None] * len(survey.views)):
        c = view.camera
        images.append({"path": str(image_path), "name": name or c.name or str(image_path),
                       "camera": {"R": c.R.tolist(), "C": c.C.tolist(), "f": c.f, "k1": c.k1, "k2": c.k2,
                                  "cx": c.cx, "cy": c.cy}})
    grid = survey.grid
    description: Dict[str, Any] = {"grid": {"X0": grid.X0, "Y0": grid.Y0, "gsd": grid.gsd, "rows": grid.rows,
                                            "columns": grid.columns},
                                   "heights": {"lowest": float(survey.z_range[0]),
                                               "highest": float(survey.z_range[1])}}
    if survey.references is not None:
        description["references"] = list(survey.references)
    description["images"] = images
    if settings:
        description["settings"] = {f.name: getattr(survey.settings, f.name) for f in fields(Settings)}
    if survey.epsg is not None:
        description["epsg"] = survey.epsg
    text = json.dumps(description, indent=2) + "\n"
    replace_atomically(path, lambda file: file.write(text.encode()))
