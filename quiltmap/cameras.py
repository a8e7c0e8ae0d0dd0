"""Cameras from structure-from-motion programs: COLMAP sparse models and
OpenSfM reconstructions read as quiltmap cameras with their sparse points,
in the model's own frame; and written, for tests and for exchange.

Each format's conventions, as its documentation states them, and how they
become quiltmap.geometry's (R world to camera, C the centre, (u, v) = (0, 0)
the centre of the top-left pixel, u = f d n + cx with d = 1 + k1 r2 + k2 r2^2):

COLMAP, a folder of cameras, images and points3D files, all .bin or all
.txt (binary preferred when both are there, as COLMAP does):

- images: QW QX QY QZ TX TY TZ, a Hamilton quaternion q (normalized on
  reading) and a translation t from world to camera, X_cam = R(q) X + t; so
  R = R(q) and C = -R^T t. Camera axes x right, y down, z forward, as ours.
- pixels: the top-left pixel's centre is at (0.5, 0.5), so cx = cx_colmap -
  0.5 and cy = cy_colmap - 0.5. Focal lengths are in pixels; the radial
  terms act on normalized coordinates as ours do.
- camera models read (COLMAP_MODELS): SIMPLE_PINHOLE, PINHOLE, SIMPLE_RADIAL,
  RADIAL and OPENCV; PINHOLE and OPENCV only with fx = fy (relative
  tolerance FOCAL_TOLERANCE) and OPENCV only with p1 = p2 = 0 exactly. Every
  other model is refused.
- points: ERROR is the mean reprojection error in pixels (COLMAP writes -1
  where it has not computed one: NaN here); views are the track's length.
- an image's name in images.txt is the rest of its line, blanks included,
  as images.bin holds it (COLMAP's own text reader stops at the first blank).

OpenSfM, a reconstruction.json file: a list of reconstructions, of which the
one with the most shots is read (the first of them on a tie):

- shots: "rotation" an axis-angle vector r and "translation" t from world to
  camera, X_cam = R(r) X + t, so R = R(r) and C = -R^T t; "camera" the id of
  the shot's camera. Camera axes as ours.
- cameras (OPENSFM_MODELS): "projection_type" perspective (focal, k1, k2),
  simple_radial, radial or brown (focal_x, focal_y, c_x, c_y, k1, k2, and for
  brown p1, p2, k3), the last three only with focal_x = focal_y and brown
  only with p1 = p2 = k3 = 0; "width" and "height" in pixels. Focal lengths
  and c_x, c_y are in units of s = max(width, height) about the image's
  centre (pixel u = s x_n + (width - 1) / 2), so f = s focal and
  cx = (width - 1) / 2 + s c_x. A parameter OpenSfM takes as 0 when absent
  (all but the focal lengths) is taken as 0 here too.
- points: "coordinates", and "reprojection_error" where present (older
  OpenSfM wrote it; NaN otherwise); views 0, as the file does not say which
  shots see a point.
- reference_lla: the reconstruction's own "reference_lla" entry (latitude,
  longitude and altitude of the origin of its east-north-up frame), else
  reference_lla.json beside the file, else None.
"""
import dataclasses
import json
import math
import os
import struct
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, Iterator, List, Mapping, NamedTuple, Optional, Tuple, Union

import numpy as np

from .checks import shown
from .geometry import Camera, _count
from .outputs import replace_atomically

__all__ = ["ModelError", "SfmModel", "read_colmap", "read_opensfm", "write_colmap_text", "write_opensfm", "scaled",
           "COLMAP_MODELS", "OPENSFM_MODELS", "FOCAL_TOLERANCE"]

PathLike = Union[str, os.PathLike]


class ModelError(ValueError):
    """A model that cannot be read or used; the message names the file and the entry."""


@dataclass
class SfmModel:
    """A reconstruction's cameras, by image name as the model names it, and
    its sparse points, all in the model's frame. A camera's width and height
    are the size of the images the model was made from (see `scaled`)."""

    cameras: Dict[str, Camera]
    points: np.ndarray  # (N, 3) float64
    point_errors: np.ndarray  # (N,) mean reprojection error in pixels, NaN where the model has none
    point_views: np.ndarray  # (N,) number of images that observe each point, 0 where the model does not say
    reference_lla: Optional[Tuple[float, float, float]] = None  # latitude, longitude, altitude of an ENU frame's origin


class ColmapModel(NamedTuple):
    name: str
    id: int
    parameters: Tuple[str, ...]  # in the file's order, named as _lens knows them


# The COLMAP camera models a quiltmap camera holds, with COLMAP's ids and
# parameter orders (src/colmap/sensor/models.h).
COLMAP_MODELS = (
    ColmapModel("SIMPLE_PINHOLE", 0, ("f", "cx", "cy")),
    ColmapModel("PINHOLE", 1, ("fx", "fy", "cx", "cy")),
    ColmapModel("SIMPLE_RADIAL", 2, ("f", "cx", "cy", "k1")),
    ColmapModel("RADIAL", 3, ("f", "cx", "cy", "k1", "k2")),
    ColmapModel("OPENCV", 4, ("fx", "fy", "cx", "cy", "k1", "k2", "p1", "p2")),
)
# COLMAP's other models, named when one is refused from a binary file.
OTHER_COLMAP_MODELS = {5: "OPENCV_FISHEYE", 6: "FULL_OPENCV", 7: "FOV", 8: "SIMPLE_RADIAL_FISHEYE",
                       9: "RADIAL_FISHEYE", 10: "THIN_PRISM_FISHEYE", 11: "RAD_TAN_THIN_PRISM_FISHEYE"}

# OpenSfM's projection types a quiltmap camera holds: their JSON keys, and
# the names _lens knows them by.
_OPENSFM_CENTRED = {"focal_x": "fx", "focal_y": "fy", "c_x": "cx", "c_y": "cy", "k1": "k1"}
OPENSFM_MODELS = {
    "perspective": {"focal": "f", "k1": "k1", "k2": "k2"},
    "simple_radial": _OPENSFM_CENTRED,
    "radial": {**_OPENSFM_CENTRED, "k2": "k2"},
    "brown": {**_OPENSFM_CENTRED, "k2": "k2", "p1": "p1", "p2": "p2", "k3": "k3"},
}
_FOCAL_NAMES = ("f", "fx", "fy")  # the parameters without a default

# Terms of the formats' lenses that ours lacks: a lens is read only when they are zero.
_ABSENT_TERMS = {"p1": "tangential distortion", "p2": "tangential distortion", "k3": "a third radial term"}
# Focal lengths fx and fy that differ by less than this fraction are one (square pixels).
FOCAL_TOLERANCE = 1e-9


def _lens(values: Dict[str, float], where: str) -> Tuple[float, float, float, float, float]:
    """f, k1, k2, cx, cy, in the format's units, of a lens given by named
    parameters (f, or fx and fy; cx, cy, k1, k2 and the absent terms, 0 when
    not given); refuses a lens that ours cannot be."""
    for name, what in _ABSENT_TERMS.items():
        if values.get(name, 0.0) != 0.0:
            raise ModelError(f"{where}: {name} = {values[name]!r} is {what}, which a quiltmap camera does not have")
    f = values.get("f")
    if f is None:
        fx, fy = values["fx"], values["fy"]
        if abs(fx - fy) > FOCAL_TOLERANCE * max(abs(fx), abs(fy)):
            raise ModelError(f"{where}: focal lengths fx = {fx!r} and fy = {fy!r} differ, and a quiltmap camera "
                             f"has square pixels")
        f = fx
    return f, values.get("k1", 0.0), values.get("k2", 0.0), values.get("cx", 0.0), values.get("cy", 0.0)


def _intrinsics(f, k1, k2, cx, cy, width, height, where) -> Camera:
    """A camera of these intrinsics (in quiltmap's units) at the origin, the
    template of the images that share it; refuses values no camera has."""
    try:
        return Camera(np.eye(3), np.zeros(3), f, k1, k2, cx, cy, width, height)
    except ValueError as error:
        raise ModelError(f"{where}: {error}") from None


def _posed(template: Camera, R, t, name: str, where: str) -> Camera:
    """The template camera at the pose X_cam = R X + t."""
    try:
        return dataclasses.replace(template, R=R, C=-R.T @ t, name=name)
    except ValueError as error:
        raise ModelError(f"{where}: {error}") from None


# Rotations: quaternions (w, x, y, z) and axis-angle vectors.

def _matrix_from_quaternion(q, where: str) -> np.ndarray:
    norm = math.sqrt(sum(c * c for c in q))
    if not 0 < norm < math.inf:
        raise ModelError(f"{where}: the quaternion {list(q)} is not a rotation")
    w, x, y, z = (c / norm for c in q)
    return np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)],
                     [2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)],
                     [2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)]])


def _quaternion_from_matrix(R: np.ndarray) -> np.ndarray:
    """(w, x, y, z) with w >= 0, from the largest of the four squared
    components, whose square root loses no accuracy."""
    trace = R[0, 0] + R[1, 1] + R[2, 2]
    largest = int(np.argmax([trace, R[0, 0], R[1, 1], R[2, 2]]))
    if largest == 0:
        w = math.sqrt(1 + trace) / 2
        q = [w, (R[2, 1] - R[1, 2]) / (4 * w), (R[0, 2] - R[2, 0]) / (4 * w), (R[1, 0] - R[0, 1]) / (4 * w)]
    elif largest == 1:
        x = math.sqrt(1 + R[0, 0] - R[1, 1] - R[2, 2]) / 2
        q = [(R[2, 1] - R[1, 2]) / (4 * x), x, (R[0, 1] + R[1, 0]) / (4 * x), (R[0, 2] + R[2, 0]) / (4 * x)]
    elif largest == 2:
        y = math.sqrt(1 - R[0, 0] + R[1, 1] - R[2, 2]) / 2
        q = [(R[0, 2] - R[2, 0]) / (4 * y), (R[0, 1] + R[1, 0]) / (4 * y), y, (R[1, 2] + R[2, 1]) / (4 * y)]
    else:
        z = math.sqrt(1 - R[0, 0] - R[1, 1] + R[2, 2]) / 2
        q = [(R[1, 0] - R[0, 1]) / (4 * z), (R[0, 2] + R[2, 0]) / (4 * z), (R[1, 2] + R[2, 1]) / (4 * z), z]
    return -np.array(q) if q[0] < 0 else np.array(q)


def _matrix_from_rotation_vector(r, where: str) -> np.ndarray:
    angle = float(np.linalg.norm(r))
    half_sine_over_angle = 0.5 * np.sinc(angle / (2 * np.pi))  # sin(angle / 2) / angle, 1/2 at 0
    return _matrix_from_quaternion([math.cos(angle / 2), *(half_sine_over_angle * np.asarray(r))], where)


def _rotation_vector_from_matrix(R: np.ndarray) -> np.ndarray:
    q = _quaternion_from_matrix(R)
    sine = float(np.linalg.norm(q[1:]))  # sin(angle / 2), the angle in [0, pi] as w >= 0
    return q[1:] * (2 * math.atan2(sine, q[0]) / sine) if sine > 0 else np.zeros(3)


# Reading files.

def _read(path: Path) -> bytes:
    try:
        return path.read_bytes()
    except OSError as error:
        raise ModelError(f"{path}: cannot be read ({error.strerror})") from None


def _lines(path: Path) -> List[Tuple[int, str]]:
    """(number, text stripped) of every line of a text file."""
    try:
        text = _read(path).decode("utf-8")
    except UnicodeDecodeError as error:
        raise ModelError(f"{path}: not UTF-8 text (byte {error.start} cannot be decoded)") from None
    return [(number, line.strip()) for number, line in enumerate(text.splitlines(), 1)]


def _data_lines(lines) -> Iterator[Tuple[int, str]]:
    return ((number, line) for number, line in lines if line and not line.startswith("#"))


class _Binary:
    """A little-endian binary file read front to back."""

    def __init__(self, path: Path):
        self.path, self.data, self.offset = path, _read(path), 0

    def take(self, layout: str, where: str) -> tuple:
        size = struct.calcsize("<" + layout)
        if self.offset + size > len(self.data):
            raise ModelError(f"{where}: the file ends within the entry")
        values = struct.unpack_from("<" + layout, self.data, self.offset)
        self.offset += size
        return values

    def skip(self, size: int, where: str) -> None:
        self.take(f"{size}x", where)

    def name(self, where: str) -> str:
        end = self.data.find(b"\0", self.offset)
        if end < 0:
            raise ModelError(f"{where}: the file ends within the entry")
        try:
            name = self.data[self.offset:end].decode("utf-8")
        except UnicodeDecodeError:
            raise ModelError(f"{where}: the image name is not UTF-8 text") from None
        self.offset = end + 1
        return name


class _Image(NamedTuple):
    pose: Tuple[float, ...]  # QW QX QY QZ TX TY TZ
    camera_id: int
    name: str
    where: str


# COLMAP: a parser for each file, giving cameras by id, images, and points as
# rows X Y Z ERROR VIEWS; read_colmap puts them together.
_PointRow = Tuple[float, float, float, float, int]

def _unread_model(where: str, camera_id: int, model: str) -> ModelError:
    read = ", ".join(m.name for m in COLMAP_MODELS)
    return ModelError(f"{where}: camera {camera_id} has model {model}, which is not read (read: {read})")


def _colmap_camera(model: ColmapModel, width: int, height: int, params, where: str) -> Camera:
    f, k1, k2, cx, cy = _lens(dict(zip(model.parameters, params)), where)
    return _intrinsics(f, k1, k2, cx - 0.5, cy - 0.5, width, height, where)


def _cameras_txt(path: Path) -> Dict[int, Camera]:
    cameras = {}
    for number, line in _data_lines(_lines(path)):
        where = f"{path}: line {number}"
        tokens = line.split()
        try:
            camera_id, name, width, height = int(tokens[0]), tokens[1], int(tokens[2]), int(tokens[3])
            params = [float(token) for token in tokens[4:]]
        except (IndexError, ValueError):
            raise ModelError(f"{where}: malformed (CAMERA_ID MODEL WIDTH HEIGHT PARAMS[] expected)") from None
        model = next((m for m in COLMAP_MODELS if m.name == name), None)
        if model is None:
            raise _unread_model(where, camera_id, name)
        if len(params) != len(model.parameters):
            raise ModelError(f"{where}: malformed ({name} has {len(model.parameters)} parameters "
                             f"{', '.join(model.parameters)}; the line has {len(params)})")
        cameras[camera_id] = _colmap_camera(model, width, height, params, f"{where}: camera {camera_id}")
    return cameras


def _images_txt(path: Path) -> List[_Image]:
    images = []
    lines = iter(_lines(path))
    for number, line in lines:  # two lines an image: its pose, then its keypoints, which may be empty
        if not line or line.startswith("#"):
            continue
        where = f"{path}: line {number}"
        tokens = line.split(maxsplit=9)
        try:
            int(tokens[0])
            images.append(_Image(tuple(float(token) for token in tokens[1:8]), int(tokens[8]), tokens[9], where))
        except (IndexError, ValueError):
            raise ModelError(f"{where}: malformed (IMAGE_ID QW QX QY QZ TX TY TZ CAMERA_ID NAME expected)") from None
        number, keypoints = next(lines, (number + 1, ""))
        if keypoints and not keypoints.startswith("#") and len(keypoints.split()) % 3:
            raise ModelError(f"{path}: line {number}: malformed (the keypoints of the image above, "
                             f"X Y POINT3D_ID for each, expected)")
    return images


def _points_txt(path: Path) -> List[_PointRow]:
    points = []
    for number, line in _data_lines(_lines(path)):
        tokens = line.split()
        try:
            x, y, z, _, _, _, error = (float(token) for token in tokens[1:8])
            if len(tokens[8:]) % 2:
                raise ValueError
        except ValueError:
            raise ModelError(f"{path}: line {number}: malformed (POINT3D_ID X Y Z R G B ERROR TRACK[] as "
                             f"(IMAGE_ID, POINT2D_IDX) expected)") from None
        points.append((x, y, z, error, len(tokens[8:]) // 2))
    return points


def _cameras_bin(path: Path) -> Dict[int, Camera]:
    cameras = {}
    file = _Binary(path)
    count, = file.take("Q", f"{path}: the camera count")
    for index in range(count):
        camera_id, model_id, width, height = file.take("iiQQ", f"{path}: camera {index + 1} of {count}")
        where = f"{path}: camera {camera_id}"
        model = next((m for m in COLMAP_MODELS if m.id == model_id), None)
        if model is None:
            name = OTHER_COLMAP_MODELS.get(model_id, "unknown")
            raise _unread_model(where, camera_id, f"id {model_id} ({name})")
        cameras[camera_id] = _colmap_camera(model, width, height, file.take(f"{len(model.parameters)}d", where), where)
    return cameras


def _images_bin(path: Path) -> List[_Image]:
    images = []
    file = _Binary(path)
    count, = file.take("Q", f"{path}: the image count")
    for index in range(count):
        image_id, *pose, camera_id = file.take("i7di", f"{path}: image {index + 1} of {count}")
        where = f"{path}: image {image_id}"
        images.append(_Image(tuple(pose), camera_id, file.name(where), where))
        keypoints, = file.take("Q", where)
        file.skip(24 * keypoints, where)  # X, Y, POINT3D_ID: double, double, int64
    return images


def _points_bin(path: Path) -> List[_PointRow]:
    points = []
    file = _Binary(path)
    count, = file.take("Q", f"{path}: the point count")
    for index in range(count):
        where = f"{path}: point {index + 1} of {count}"
        _, x, y, z, _, _, _, error, track = file.take("Q3d3BdQ", where)
        file.skip(8 * track, where)  # IMAGE_ID, POINT2D_IDX: int32, int32
        points.append((x, y, z, error, track))
    return points


_COLMAP_PARSERS = {".bin": (_cameras_bin, _images_bin, _points_bin), ".txt": (_cameras_txt, _images_txt, _points_txt)}


def read_colmap(folder: PathLike) -> SfmModel:
    """The COLMAP sparse model in `folder` (cameras, images and points3D,
    .bin or .txt); ModelError names the file and the entry it cannot use."""
    folder = Path(folder)
    kinds = {suffix: [folder / f"{stem}{suffix}" for stem in ("cameras", "images", "points3D")]
             for suffix in _COLMAP_PARSERS}
    complete = [suffix for suffix, files in kinds.items() if all(file.is_file() for file in files)]
    if not complete:
        suffix = ".bin" if any(file.is_file() for file in kinds[".bin"]) else ".txt"
        missing = [file.name for file in kinds[suffix] if not file.is_file()]
        raise ModelError(f"{folder}: not a COLMAP model ({', '.join(missing)} missing)")
    cameras_file, images_file, points_file = kinds[complete[0]]
    read_cameras, read_images, read_points = _COLMAP_PARSERS[complete[0]]
    cameras, images, points = read_cameras(cameras_file), read_images(images_file), read_points(points_file)
    posed: Dict[str, Camera] = {}
    for image in images:
        template = cameras.get(image.camera_id)
        if template is None:
            raise ModelError(f"{image.where}: image {image.name!r} refers to camera {image.camera_id}, which "
                             f"{cameras_file.name} does not have")
        if image.name in posed:
            raise ModelError(f"{image.where}: a second image named {image.name!r}")
        R = _matrix_from_quaternion(image.pose[:4], image.where)
        posed[image.name] = _posed(template, R, np.array(image.pose[4:]), image.name, image.where)
    if not points:
        raise ModelError(f"{points_file}: has no 3-D points")
    rows = np.array(points, np.float64)
    errors = np.where(rows[:, 3] < 0, np.nan, rows[:, 3])
    return SfmModel(posed, rows[:, :3].copy(), errors, rows[:, 4].astype(np.int64))


# OpenSfM.

def _json(path: Path) -> Any:
    try:
        return json.loads(_read(path).decode("utf-8"))
    except UnicodeDecodeError as error:
        raise ModelError(f"{path}: not UTF-8 text (byte {error.start} cannot be decoded)") from None
    except (ValueError, RecursionError) as error:
        raise ModelError(f"{path}: not JSON that can be read ({error})") from None


def _number(value, where: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise ModelError(f"{where}: a finite number is required, not {shown(value)}")
    return float(value)


def _vector(entry: dict, key: str, where: str) -> np.ndarray:
    value = entry.get(key)
    if not isinstance(value, list) or len(value) != 3:
        raise ModelError(f"{where}.{key}: three numbers are required, not {shown(value)}")
    return np.array([_number(v, f"{where}.{key}") for v in value])


def _object(entry: dict, key: str, where: str) -> dict:
    value = entry.get(key)
    if not isinstance(value, dict):
        raise ModelError(f"{where}.{key}: an object is required")
    return value


def _opensfm_camera(entry, where: str) -> Camera:
    if not isinstance(entry, dict):
        raise ModelError(f"{where}: an object is required")
    kind = entry.get("projection_type", "perspective")
    keys = OPENSFM_MODELS.get(kind)
    if keys is None:
        raise ModelError(f"{where}: projection type {kind!r} is not read (read: {', '.join(OPENSFM_MODELS)})")
    for key in ("width", "height"):
        if isinstance(entry.get(key), bool) or not isinstance(entry.get(key), int):
            raise ModelError(f"{where}.{key}: a whole number of pixels is required, not {shown(entry.get(key))}")
    values = {}
    for key, name in keys.items():
        if key in entry:
            values[name] = _number(entry[key], f"{where}.{key}")
        elif name in _FOCAL_NAMES:
            raise ModelError(f"{where}.{key}: missing, and a {kind} camera has it")
    width, height = entry["width"], entry["height"]
    side = max(width, height)
    f, k1, k2, cx, cy = _lens(values, where)
    return _intrinsics(f * side, k1, k2, (width - 1) / 2 + cx * side, (height - 1) / 2 + cy * side,
                       width, height, where)


def _reference_lla(reconstruction: dict, path: Path, where: str) -> Optional[Tuple[float, float, float]]:
    if "reference_lla" in reconstruction:
        entry, where = reconstruction["reference_lla"], f"{where}.reference_lla"
    else:
        beside = path.with_name("reference_lla.json")
        if not beside.is_file():
            return None
        entry, where = _json(beside), str(beside)
    if not isinstance(entry, dict):
        raise ModelError(f"{where}: an object is required")
    lat, lon, alt = (_number(entry.get(key), f"{where}.{key}") for key in ("latitude", "longitude", "altitude"))
    return lat, lon, alt


def read_opensfm(path: PathLike) -> SfmModel:
    """The reconstruction with the most shots of an OpenSfM
    reconstruction.json file; ModelError names the file and the entry it
    cannot use."""
    path = Path(path)
    reconstructions = _json(path)
    if (not isinstance(reconstructions, list) or not reconstructions
            or not all(isinstance(r, dict) for r in reconstructions)):
        raise ModelError(f"{path}: a list of reconstructions (objects) is required")
    index = max(range(len(reconstructions)), key=lambda i: len(reconstructions[i].get("shots") or ()))
    reconstruction, where = reconstructions[index], f"{path}: reconstruction {index}"
    cameras = {key: _opensfm_camera(entry, f"{where}.cameras[{key!r}]")
               for key, entry in _object(reconstruction, "cameras", where).items()}
    posed = {}
    for name, shot in _object(reconstruction, "shots", where).items():
        shot_where = f"{where}.shots[{name!r}]"
        if not isinstance(shot, dict):
            raise ModelError(f"{shot_where}: an object is required")
        template = cameras.get(shot.get("camera"))
        if template is None:
            raise ModelError(f"{shot_where}: camera {shown(shot.get('camera'))} is not among the reconstruction's "
                             f"cameras")
        R = _matrix_from_rotation_vector(_vector(shot, "rotation", shot_where), shot_where)
        posed[name] = _posed(template, R, _vector(shot, "translation", shot_where), name, shot_where)
    points, errors = [], []
    for key, point in (reconstruction.get("points") or {}).items():
        point_where = f"{where}.points[{key!r}]"
        if not isinstance(point, dict):
            raise ModelError(f"{point_where}: an object is required")
        points.append(_vector(point, "coordinates", point_where))
        error = point.get("reprojection_error")
        errors.append(math.nan if error is None else _number(error, f"{point_where}.reprojection_error"))
    if not points:
        raise ModelError(f"{where}: has no 3-D points")
    return SfmModel(posed, np.array(points).reshape(-1, 3), np.array(errors, np.float64),
                    np.zeros(len(points), np.int64), _reference_lla(reconstruction, path, where))


# Writing.

def _numbers(*values) -> str:
    return " ".join(repr(float(v)) for v in values)  # the shortest text that reads back as the same float


def _image_names(cameras: Mapping[str, Camera], blanks: bool) -> None:
    for name in cameras:
        if not isinstance(name, str) or not name or (not blanks and any(c.isspace() for c in name)):
            rule = "" if blanks else " without blanks (COLMAP's own text reader ends a name at its first blank)"
            raise ValueError(f"image name {name!r}: a name{rule} is required")


def _points(points) -> np.ndarray:
    array = np.zeros((0, 3)) if points is None else np.asarray(points, np.float64)
    if array.ndim != 2 or array.shape[1] != 3 or not np.isfinite(array).all():
        raise ValueError(f"points must be finite and of shape (N, 3), not {array.shape}")
    return array


def _write_text(path: Path, text: str) -> None:
    def write(file) -> None:
        file.write(text.encode("utf-8"))

    replace_atomically(path, write)


def write_colmap_text(folder: PathLike, cameras: Mapping[str, Camera], points=None) -> Path:
    """The cameras, by image name, as a COLMAP text model in `folder`, each
    image with a RADIAL camera of its own; points (N, 3) without tracks or
    errors. Returns the folder."""
    folder = Path(folder)
    _image_names(cameras, blanks=False)
    points = _points(points)
    folder.mkdir(parents=True, exist_ok=True)
    camera_lines, image_lines = [], []
    for number, (name, c) in enumerate(cameras.items(), 1):
        camera_lines.append(f"{number} RADIAL {c.width} {c.height} {_numbers(c.f, c.cx + 0.5, c.cy + 0.5, c.k1, c.k2)}")
        pose = _numbers(*_quaternion_from_matrix(c.R), *(-c.R @ c.C))
        image_lines.append(f"{number} {pose} {number} {name}\n")  # and an empty line: no keypoints
    point_lines = [f"{number} {_numbers(*p)} 128 128 128 -1" for number, p in enumerate(points, 1)]
    _write_text(folder / "cameras.txt", "# CAMERA_ID, MODEL, WIDTH, HEIGHT, PARAMS[]\n"
                + "".join(line + "\n" for line in camera_lines))
    _write_text(folder / "images.txt", "# IMAGE_ID, QW, QX, QY, QZ, TX, TY, TZ, CAMERA_ID, NAME\n"
                "#   POINTS2D[] as (X, Y, POINT3D_ID)\n" + "".join(line + "\n" for line in image_lines))
    _write_text(folder / "points3D.txt", "# POINT3D_ID, X, Y, Z, R, G, B, ERROR, TRACK[] as (IMAGE_ID, POINT2D_IDX)\n"
                + "".join(line + "\n" for line in point_lines))
    return folder


def write_opensfm(path: PathLike, cameras: Mapping[str, Camera], points=None,
                  reference_lla: Optional[Tuple[float, float, float]] = None) -> Path:
    """The cameras, by image name, as an OpenSfM reconstruction.json file of
    one reconstruction, each shot with a brown camera of its own named as the
    shot; points (N, 3). Returns the path."""
    path = Path(path)
    _image_names(cameras, blanks=True)
    points = _points(points)
    reconstruction: Dict[str, Any] = {"cameras": {}, "shots": {}}
    for name, c in cameras.items():
        side = max(c.width, c.height)
        reconstruction["cameras"][name] = {
            "projection_type": "brown", "width": c.width, "height": c.height, "focal_x": c.f / side,
            "focal_y": c.f / side, "c_x": (c.cx - (c.width - 1) / 2) / side, "c_y": (c.cy - (c.height - 1) / 2) / side,
            "k1": c.k1, "k2": c.k2, "p1": 0.0, "p2": 0.0, "k3": 0.0}
        reconstruction["shots"][name] = {"camera": name, "rotation": _rotation_vector_from_matrix(c.R).tolist(),
                                         "translation": (-c.R @ c.C).tolist()}
    reconstruction["points"] = {str(i): {"coordinates": p.tolist()} for i, p in enumerate(points)}
    if reference_lla is not None:
        reconstruction["reference_lla"] = dict(zip(("latitude", "longitude", "altitude"), map(float, reference_lla)))
    _write_text(path, json.dumps([reconstruction], indent=1) + "\n")
    return path


def scaled(camera: Camera, width: int, height: int) -> Camera:
    """The camera of the same photograph resized to `width` x `height` pixels.
    A resize by a factor s maps a pixel centre u to s (u + 0.5) - 0.5. The
    factors of the two sides may differ only as much as rounding each side
    to whole pixels can make them, |width / width0 - height / height0| <=
    0.5 / width0 + 0.5 / height0 (ValueError otherwise); the width's is used
    for both."""
    width, height = _count("scaled", "width", width), _count("scaled", "height", height)
    s, t = width / camera.width, height / camera.height
    if abs(s - t) > 0.5 / camera.width + 0.5 / camera.height:
        raise ValueError(f"{camera.width} x {camera.height} pixels cannot be resized uniformly to "
                         f"{width} x {height} (factors {s:.6g} and {t:.6g})")
    return dataclasses.replace(camera, f=camera.f * s, cx=s * (camera.cx + 0.5) - 0.5, cy=s * (camera.cy + 0.5) - 0.5,
                               width=width, height=height)
