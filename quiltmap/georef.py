"""Georeferencing: a model from structure from motion, in a frame of its own
(any scale, rotation and origin), carried into a projected coordinate system
by the similarity that best fits its camera centres to the photographs'
recorded positions.

Positions come from a log (read_positions) or from the photographs' EXIF
(exif_positions) as WGS 84 latitude and longitude in degrees and an altitude
in metres; pyproj projects them onto a UTM zone, or any projected EPSG code,
as (east, north, altitude) in metres: the world frame of quiltmap.geometry.

Attitudes (heading, pitch, roll in degrees) are the aerospace Tait-Bryan
angles: body axes x forward, y right, z down; the world-from-body rotation
is Rz(heading) Ry(pitch) Rx(roll) in north-east-down coordinates (heading
clockwise from north, pitch nose up, roll right wing down), and the camera
looks straight down the body's z axis.

    cameras = {name: Camera(...), ...}                # the model's, by image name
    fit = georeference(cameras, read_positions("geoinfo.txt"))
    print(fit.report())
    world = {name: fit.similarity.camera(c) for name, c in cameras.items()}
    points = fit.similarity.points(sparse_points)
"""
import csv
import math
import os
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from .geometry import ORTHONORMAL_TOLERANCE, Camera

__all__ = ["GeoreferenceError", "Position", "Similarity", "Georeference", "read_positions", "exif_positions",
           "utm_epsg", "project", "georeference", "attitude_rotation", "enu_to_projected",
           "enu_rotation_to_projected"]


class GeoreferenceError(ValueError):
    """Positions that cannot be read, or a model that they cannot place; the
    message says which file, line, column or photograph, and why."""


@dataclass
class Position:
    """One photograph's position: WGS 84 latitude and longitude in degrees,
    altitude in metres; heading, pitch and roll in degrees when known (see
    the module's documentation for their convention)."""

    name: str
    latitude: float
    longitude: float
    altitude: float
    heading: Optional[float] = None
    pitch: Optional[float] = None
    roll: Optional[float] = None

    @property
    def attitude(self) -> Optional[Tuple[float, float, float]]:
        """(heading, pitch, roll), or None unless all three are known."""
        if self.heading is None or self.pitch is None or self.roll is None:
            return None
        return self.heading, self.pitch, self.roll


# Header names of a positions table's columns, lower case, the preferred first;
# altitudes above the sea before those above the ellipsoid, as maps have them.
REQUIRED_COLUMNS = {"name": ("name", "file", "filename", "image", "photo"), "latitude": ("latitude", "lat"),
                    "longitude": ("longitude", "lon", "lng", "long"),
                    "altitude": ("altitude_amsl", "altitude", "alt", "altitude_wgs84", "height")}
ATTITUDE_COLUMNS = {"heading": ("heading", "yaw"), "pitch": ("pitch",), "roll": ("roll",)}
RANGES = {"latitude": (-90.0, 90.0), "longitude": (-180.0, 180.0)}


def read_positions(path: Union[str, os.PathLike]) -> Dict[str, Position]:
    """The positions of a table with a header line, comma- or tab-separated
    (a tab in the header line says which), lines starting with '#' ignored.
    Columns are found by their header, in any case: the name (name, file,
    filename, image or photo), latitude (latitude, lat), longitude
    (longitude, lon, lng, long), altitude (altitude_amsl, else altitude or
    alt, else altitude_wgs84 or height) and optionally heading (or yaw),
    pitch and roll, whose empty cells are None. GeoreferenceError names the
    file, line and column of a missing column, a cell that is not a number
    and a name given twice."""
    path = Path(path)
    try:
        text = path.read_bytes().decode("utf-8-sig")
    except OSError as error:
        raise GeoreferenceError(f"{path}: cannot be read ({error.strerror})") from None
    except UnicodeDecodeError as error:
        raise GeoreferenceError(f"{path}: not UTF-8 text (byte {error.start} cannot be decoded)") from None
    lines = [(number, line) for number, line in enumerate(text.splitlines(), 1)
             if line.strip() and not line.lstrip().startswith("#")]
    if not lines:
        raise GeoreferenceError(f"{path}: no header line (the file holds nothing but comments)")
    numbers = [number for number, _ in lines]
    rows = list(csv.reader([line for _, line in lines], delimiter="\t" if "\t" in lines[0][1] else ","))
    header = [cell.strip() for cell in rows[0]]
    folded = [cell.lower() for cell in header]
    columns = {kind: next((folded.index(name) for name in names if name in folded), None)
               for kind, names in {**REQUIRED_COLUMNS, **ATTITUDE_COLUMNS}.items()}
    for kind, names in REQUIRED_COLUMNS.items():
        if columns[kind] is None:
            raise GeoreferenceError(f"{path}, line {numbers[0]}: no {kind} column (named one of {', '.join(names)}; "
                                    f"the header names {', '.join(header) or 'nothing'})")
    name_column = columns.pop("name")
    assert name_column is not None

    positions: Dict[str, Position] = {}
    first_line: Dict[str, int] = {}
    for number, row in zip(numbers[1:], rows[1:]):
        cells = [cell.strip() for cell in row] + [""] * max(0, len(header) - len(row))
        name = cells[name_column]
        where = f"{path}, line {number}, column {header[name_column]!r}"
        if not name:
            raise GeoreferenceError(f"{where}: no photograph named")
        if name in first_line:
            raise GeoreferenceError(f"{where}: {name} is named again (first on line {first_line[name]})")
        first_line[name] = number
        values = {kind: _cell_number(cells[index], kind, f"{path}, line {number}, column {header[index]!r}")
                  for kind, index in columns.items() if index is not None}
        positions[name] = Position(name, **values)
    if not positions:
        raise GeoreferenceError(f"{path}: names no photograph (a header line and no rows)")
    return positions


def _cell_number(text, kind, where):
    """The number of a table's cell; None for an empty attitude."""
    if kind in ATTITUDE_COLUMNS and not text:
        return None
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    low, high = RANGES.get(kind, (-math.inf, math.inf))
    if not (math.isfinite(value) and low <= value <= high):
        span = f" from {low:g} to {high:g}" if kind in RANGES else ""
        raise GeoreferenceError(f"{where}: {text!r} is not a{'n' if kind[0] in 'aeiou' else ''} {kind}{span}")
    return value


# EXIF's GPS directory and the tags of a position in it.
GPS_IFD = 0x8825
GPS_LATITUDE_REF, GPS_LATITUDE, GPS_LONGITUDE_REF, GPS_LONGITUDE, GPS_ALTITUDE_REF, GPS_ALTITUDE = range(1, 7)


def exif_positions(paths: Iterable[Union[str, os.PathLike]]) -> Dict[str, Position]:
    """The GPS positions in the photographs' EXIF, keyed by file name (no
    folders); a photograph without latitude, longitude and altitude is left
    out. GeoreferenceError names a file that is not an image, one whose GPS
    values cannot be read, and two files of the same name."""
    from PIL import Image

    positions: Dict[str, Position] = {}
    for path in map(Path, paths):
        try:
            with Image.open(path) as image:
                gps = dict(image.getexif().get_ifd(GPS_IFD))
        except (OSError, ValueError, SyntaxError) as error:  # Pillow's parsers raise all three
            raise GeoreferenceError(f"{path}: cannot be read as a photograph ({error})") from None
        if not all(tag in gps for tag in (GPS_LATITUDE, GPS_LONGITUDE, GPS_ALTITUDE)):
            continue
        try:
            latitude = _degrees(gps[GPS_LATITUDE]) * (-1 if _letter(gps.get(GPS_LATITUDE_REF)) == "S" else 1)
            longitude = _degrees(gps[GPS_LONGITUDE]) * (-1 if _letter(gps.get(GPS_LONGITUDE_REF)) == "W" else 1)
            below_sea = gps.get(GPS_ALTITUDE_REF, 0)
            below_sea = below_sea[0] if isinstance(below_sea, bytes) and below_sea else below_sea
            altitude = float(gps[GPS_ALTITUDE]) * (-1 if below_sea == 1 else 1)
        except (TypeError, ValueError, ZeroDivisionError) as error:
            raise GeoreferenceError(f"{path}: GPS tags that are not a position ({error})") from None
        if not (abs(latitude) <= 90 and abs(longitude) <= 180 and math.isfinite(altitude)):
            raise GeoreferenceError(f"{path}: GPS position out of range (latitude {latitude}, longitude {longitude}, "
                                    f"altitude {altitude})")
        if path.name in positions:
            raise GeoreferenceError(f"{path}: another photograph is also named {path.name}")
        positions[path.name] = Position(path.name, latitude, longitude, altitude)
    return positions


def _degrees(value):
    """Degrees from EXIF's (degrees, minutes, seconds) rationals."""
    parts = [float(part) for part in (value if isinstance(value, (tuple, list)) else (value,))]
    if not 1 <= len(parts) <= 3:
        raise ValueError(f"{len(parts)} numbers for an angle")
    return sum(part / 60**i for i, part in enumerate(parts))


def _letter(value):
    if isinstance(value, bytes):
        value = value.decode("ascii", "replace")
    return str(value or "").strip("\x00 ").upper()


def utm_epsg(latitude: float, longitude: float) -> int:
    """The EPSG code of the WGS 84 / UTM zone of a point: 326zz north of the
    equator (and on it), 327zz south, with the grid's exceptions (south-west
    Norway in zone 32, Svalbard in zones 31, 33, 35 and 37)."""
    latitude, longitude = float(latitude), float(longitude)
    if not (math.isfinite(latitude) and math.isfinite(longitude) and abs(latitude) <= 90):
        raise GeoreferenceError(f"no UTM zone for latitude {latitude}, longitude {longitude}")
    longitude = (longitude + 180) % 360 - 180
    zone = int((longitude + 180) // 6) + 1
    if 56 <= latitude < 64 and 3 <= longitude < 12:
        zone = 32
    elif 72 <= latitude and 0 <= longitude < 42:
        zone = 31 + 2 * int((longitude + 3) // 12)
    return (32600 if latitude >= 0 else 32700) + zone


def _projected_crs(epsg):
    from pyproj import CRS
    from pyproj.exceptions import CRSError

    try:
        crs = CRS.from_epsg(int(epsg))
    except (CRSError, TypeError, ValueError, OverflowError):
        raise GeoreferenceError(f"EPSG:{epsg} is not a coordinate system that PROJ knows") from None
    if not crs.is_projected or any(axis.unit_name != "metre" for axis in crs.axis_info[:2]):
        raise GeoreferenceError(f"EPSG:{epsg} ({crs.name}) is not a projected coordinate system in metres")
    return crs


def _transformer(source, target):
    from pyproj import Transformer

    return Transformer.from_crs(source, target, always_xy=True)


def _transform(transformer, *coordinates):
    """The transformer's output arrays for input arrays of any size (pyproj
    takes an array of one element for a scalar, which NumPy deprecates)."""
    if coordinates[0].size == 1:
        return tuple(np.full(coordinates[0].shape, value) for value in
                     transformer.transform(*(float(c.item()) for c in coordinates), errcheck=True))
    return transformer.transform(*coordinates, errcheck=True)


def project(positions: Mapping[str, Position], epsg: int) -> Dict[str, np.ndarray]:
    """(east, north, altitude) in metres of each position in the projected
    system `epsg`; the altitude is the position's, unchanged."""
    from pyproj.exceptions import ProjError

    transformer = _transformer("EPSG:4326", _projected_crs(epsg))
    names = list(positions)
    if not names:
        return {}
    longitude = np.array([positions[name].longitude for name in names], np.float64)
    latitude = np.array([positions[name].latitude for name in names], np.float64)
    try:
        east, north = _transform(transformer, longitude, latitude)
    except ProjError as error:
        raise GeoreferenceError(f"the positions cannot be projected onto EPSG:{epsg} ({error})") from None
    projected = np.stack([east, north, [positions[name].altitude for name in names]], axis=1)
    if not np.isfinite(projected).all():
        far = names[int(np.flatnonzero(~np.isfinite(projected).all(axis=1))[0])]
        raise GeoreferenceError(f"{far}: its position has no place in EPSG:{epsg}")
    return dict(zip(names, projected))


def _rotation_check(owner, R):
    """R as a 3 x 3 float array; ValueError unless it is a rotation."""
    R = np.array(R, np.float64)
    if R.shape != (3, 3) or not np.isfinite(R).all():
        raise ValueError(f"{owner} must be a finite 3 x 3 array")
    if np.abs(R @ R.T - np.eye(3)).max() > ORTHONORMAL_TOLERANCE or np.linalg.det(R) < 0:
        raise ValueError(f"{owner} must be a rotation (orthonormal within {ORTHONORMAL_TOLERANCE:g}, determinant +1)")
    return R


@dataclass(frozen=True)
class Similarity:
    """x_world = scale * rotation @ x_model + translation. The rotation is
    kept as the nearest exact rotation, so that cameras carried by it stay
    within Camera's tolerance."""

    scale: float
    rotation: np.ndarray
    translation: np.ndarray

    def __post_init__(self):
        scale = float(self.scale)
        if not (math.isfinite(scale) and scale > 0):
            raise ValueError(f"Similarity.scale must be positive and finite, not {scale}")
        u, _, vt = np.linalg.svd(_rotation_check("Similarity.rotation", self.rotation))
        rotation = u @ vt
        translation = np.array(self.translation, np.float64)
        if translation.shape != (3,) or not np.isfinite(translation).all():
            raise ValueError("Similarity.translation must be 3 finite numbers")
        rotation.flags.writeable = False
        translation.flags.writeable = False
        object.__setattr__(self, "scale", scale)
        object.__setattr__(self, "rotation", rotation)
        object.__setattr__(self, "translation", translation)

    def points(self, P) -> np.ndarray:
        """World coordinates of model points P (..., 3)."""
        return self.scale * (np.asarray(P, np.float64) @ self.rotation.T) + self.translation

    def camera(self, camera: Camera) -> Camera:
        """The camera in the world frame: the same photograph, the same
        pixels for the same (carried) points."""
        return replace(camera, R=camera.R @ self.rotation.T, C=self.points(camera.C))

    def inverse(self) -> "Similarity":
        return Similarity(1 / self.scale, self.rotation.T, -(self.rotation.T @ self.translation) / self.scale)


@dataclass
class Georeference:
    """A fitted similarity from the model into EPSG `epsg`, and how well it fits.

    residuals: per matched photograph (by the model's name), its fitted
    camera centre minus its position, metres (east, north, up); rms their
    root mean square length. collinear: the positions lay too close to one
    line to fix the rotation about it, which the log's attitudes fixed;
    off_line_rms is the positions' RMS distance from their best-fit line and
    line_length their extent along it. axis_angles: per photograph, degrees
    between the fitted optical axis and the log's, where the log has
    attitudes. matching: how the model's names were found among the
    positions'."""

    similarity: Similarity
    epsg: int
    residuals: Dict[str, np.ndarray]
    rms: float
    collinear: bool
    off_line_rms: float = 0.0
    line_length: float = 0.0
    axis_angles: Optional[Dict[str, float]] = None
    matching: str = "matched by name"

    def report(self) -> str:
        """EPSG code, scale, residuals and how the rotation was fixed, a few lines."""
        width = max(len(name) for name in self.residuals)
        lines = [f"EPSG:{self.epsg}, {len(self.residuals)} photographs {self.matching}",
                 f"scale {self.similarity.scale:.6g} metres per model unit",
                 f"residuals (fitted centre minus position), RMS {self.rms:.2f} m:"]
        for name, r in self.residuals.items():
            line = f"  {name:<{width}}  east {r[0]:+8.2f}  north {r[1]:+8.2f}  up {r[2]:+8.2f} m"
            if self.axis_angles:
                line += f"; optical axis {self.axis_angles[name]:.1f} degrees from the log's"
            lines.append(line)
        spread = f"off-line RMS {self.off_line_rms:.2f} m over {self.line_length:.1f} m"
        if self.collinear:
            lines.append(f"the positions lie almost on one line ({spread}): the angle about it was chosen so that "
                         "the optical axes best agree with the log's heading, pitch and roll")
        else:
            lines.append(f"the positions spread off their best-fit line ({spread}): they fix the rotation about every "
                         "axis")
        return "\n".join(lines)


def _rz(degrees):
    c, s = math.cos(math.radians(degrees)), math.sin(math.radians(degrees))
    return np.array([[c, -s, 0.0], [s, c, 0.0], [0.0, 0.0, 1.0]])


def _ry(degrees):
    c, s = math.cos(math.radians(degrees)), math.sin(math.radians(degrees))
    return np.array([[c, 0.0, s], [0.0, 1.0, 0.0], [-s, 0.0, c]])


def _rx(degrees):
    c, s = math.cos(math.radians(degrees)), math.sin(math.radians(degrees))
    return np.array([[1.0, 0.0, 0.0], [0.0, c, -s], [0.0, s, c]])


# North-east-down to east-north-up (a rotation: two axes swapped, one reversed).
NED_TO_ENU = np.array([[0.0, 1.0, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, -1.0]])


def attitude_rotation(heading: float, pitch: float, roll: float) -> np.ndarray:
    """The east-north-up-from-body rotation of an aircraft's attitude in
    degrees: Rz(heading) Ry(pitch) Rx(roll) in north-east-down coordinates.
    Its third column is the optical axis of a camera looking down body z."""
    return NED_TO_ENU @ _rz(heading) @ _ry(pitch) @ _rx(roll)


def _reference(reference_lla):
    """(latitude, longitude, altitude) from a sequence in that order or an
    OpenSfM-style mapping with those keys."""
    if isinstance(reference_lla, Mapping):
        reference_lla = [reference_lla.get(key) for key in ("latitude", "longitude", "altitude")]
    try:
        latitude, longitude, altitude = (float(value) for value in reference_lla)
    except (TypeError, ValueError):
        raise GeoreferenceError(f"reference_lla must be latitude, longitude and altitude, not {reference_lla!r}") \
            from None
    if not (abs(latitude) <= 90 and math.isfinite(longitude) and math.isfinite(altitude)):
        raise GeoreferenceError(f"reference_lla ({latitude}, {longitude}, {altitude}) is not a place on Earth")
    return latitude, longitude, altitude


def enu_to_projected(points: np.ndarray, reference_lla, epsg: int) -> np.ndarray:
    """Points (..., 3) of a local east-north-up frame about reference_lla
    (latitude, longitude in degrees, height above the WGS 84 ellipsoid in
    metres; OpenSfM's reference) as (east, north, height) in EPSG `epsg`,
    through Earth-centred coordinates: exact, not a flat-Earth shift."""
    latitude, longitude, altitude = _reference(reference_lla)
    P = np.asarray(points, np.float64)
    if P.shape[-1:] != (3,):
        raise GeoreferenceError(f"points must have shape (..., 3), not {P.shape}")
    crs = _projected_crs(epsg)
    origin = np.array(_transformer("EPSG:4979", "EPSG:4978").transform(longitude, latitude, altitude))
    phi, lam = math.radians(latitude), math.radians(longitude)
    axes = np.array([[-math.sin(lam), math.cos(lam), 0.0],  # rows: east, north, up in Earth-centred coordinates
                     [-math.sin(phi) * math.cos(lam), -math.sin(phi) * math.sin(lam), math.cos(phi)],
                     [math.cos(phi) * math.cos(lam), math.cos(phi) * math.sin(lam), math.sin(phi)]])
    centred = P.reshape(-1, 3) @ axes + origin
    lon, lat, height = _transform(_transformer("EPSG:4978", "EPSG:4979"), centred[:, 0], centred[:, 1], centred[:, 2])
    east, north = _transform(_transformer("EPSG:4326", crs), lon, lat)
    return np.stack([east, north, height], axis=-1).reshape(P.shape)


def enu_rotation_to_projected(reference_lla, epsg: int) -> np.ndarray:
    """The rotation about the vertical of the east-north-up axes at
    reference_lla onto the projected grid's axes there (the meridian
    convergence): R_cam R^T turns a camera rotation of the ENU frame into
    one of the grid."""
    step = 1.0  # metre: the projection is conformal, so a short step's direction is the axes'
    ends = enu_to_projected(np.array([[step, 0, 0], [-step, 0, 0], [0, step, 0], [0, -step, 0]]), reference_lla, epsg)
    east, north = ends[0] - ends[1], ends[2] - ends[3]
    angle = (math.atan2(east[1], east[0]) + math.atan2(-north[0], north[1])) / 2
    return _rz(math.degrees(angle))


def _base(name):
    return name.replace("\\", "/").rsplit("/", 1)[-1]


def _listed(names, most=8):
    names = list(names)
    shown = ", ".join(names[:most])
    return shown + (f" and {len(names) - most} more" if len(names) > most else "")


def _match(cameras, positions):
    """(model name, position name) pairs, and how they were matched: by the
    name itself, else without folders, else also without regard to case;
    a key that two positions share matches neither."""
    def index(key):
        found: Dict[str, Optional[str]] = {}
        for name in positions:
            found[key(name)] = None if key(name) in found else name
        return found

    rules: List[Tuple[str, Callable[[str], str], Dict[str, Optional[str]]]] = [
             ("exactly", str, {name: name for name in positions}),
             ("without folders", _base, index(_base)),
             ("without folders and case-insensitively", lambda n: _base(n).lower(), index(lambda n: _base(n).lower()))]
    pairs: List[Tuple[str, str]] = []
    counts = {rule: 0 for rule, _, _ in rules}
    taken: Dict[str, str] = {}
    for model in cameras:
        for rule, key, found in rules:
            name = found.get(key(model))
            if name is not None:
                if name in taken:
                    raise GeoreferenceError(f"photographs {taken[name]} and {model} both match the position of {name}")
                taken[name] = model
                pairs.append((model, name))
                counts[rule] += 1
                break
    matching = "matched by name: " + ", ".join(f"{count} {rule}" for rule, count in counts.items() if count)
    return pairs, matching


def _mean_place(positions: Sequence[Position]):
    """Mean latitude, longitude (across the antimeridian too) and altitude."""
    lam = np.radians([p.longitude for p in positions])
    longitude = math.degrees(math.atan2(np.sin(lam).mean(), np.cos(lam).mean()))
    return (float(np.mean([p.latitude for p in positions])), longitude,
            float(np.mean([p.altitude for p in positions])))


def _frame(v):
    """A right-handed orthonormal basis (columns) whose first axis is v."""
    helper = np.eye(3)[int(np.argmin(np.abs(v)))]
    p = np.cross(v, helper)
    p /= np.linalg.norm(p)
    return np.stack([v, p, np.cross(v, p)], axis=1)


def _axis_angle(axis, theta):
    K = np.array([[0.0, -axis[2], axis[1]], [axis[2], 0.0, -axis[0]], [-axis[1], axis[0], 0.0]])
    return np.eye(3) + math.sin(theta) * K + (1 - math.cos(theta)) * (K @ K)


def _umeyama_rotation(X, Y):
    """The rotation that best turns the centred model points X onto the
    centred world points Y in least squares (never a reflection)."""
    u, _, vt = np.linalg.svd((Y - Y.mean(0)).T @ (X - X.mean(0)))
    return u @ np.diag([1.0, 1.0, np.sign(np.linalg.det(u @ vt)) or 1.0]) @ vt


def _rotation_about_line(X, Y, direction, model_axes, world_axes):
    """The rotation turning the model's line of centres onto the world's
    `direction`, at the angle about it that maximises the sum of dot
    products of the carried model_axes with world_axes: a cos(theta) +
    b sin(theta) + c, largest at theta = atan2(b, a)."""
    Xc, Yc = X - X.mean(0), Y - Y.mean(0)
    line = np.linalg.svd(Xc, full_matrices=False)[2][0]
    if (Xc @ line) @ (Yc @ direction) < 0:
        line = -line
    start = _frame(direction) @ _frame(line).T
    e = model_axes @ start.T
    along = world_axes @ direction
    a = float(np.sum(np.einsum("ij,ij->i", world_axes, e) - along * (e @ direction)))
    b = float(np.sum(np.einsum("ij,ij->i", world_axes, np.cross(direction, e))))
    if math.hypot(a, b) < 0.1 * len(X):
        raise GeoreferenceError("the positions lie almost on one line and the cameras look along it: their attitudes "
                                "cannot fix the rotation about it")
    return _axis_angle(direction, math.atan2(b, a)) @ start


@dataclass
class _Line:
    """Points' best-fit line: its direction, their RMS distance from it,
    their RMS spread along it and their extent along it."""

    direction: np.ndarray
    off_rms: float
    along_rms: float
    length: float


def _line(points):
    centred = points - points.mean(0)
    _, singular, vt = np.linalg.svd(centred, full_matrices=False)
    along = centred @ vt[0]
    return _Line(vt[0], math.sqrt(np.sum(singular[1:]**2) / len(points)), math.sqrt(np.mean(along**2)),
                 float(along.max() - along.min()))


def _logged_axes(names, matched, epsg):
    """The optical axes the log's attitudes give, in the projected grid's
    axes; None unless every photograph has heading, pitch and roll."""
    attitudes = [matched[name].attitude for name in names]
    if any(attitude is None for attitude in attitudes):
        return None
    convergence = enu_rotation_to_projected(_mean_place(list(matched.values())), epsg)
    return np.array([convergence @ attitude_rotation(*attitude)[:, 2] for attitude in attitudes])


def georeference(cameras: Mapping[str, Camera], positions: Mapping[str, Position], epsg: Optional[int] = None,
                 position_error: float = 3.0) -> Georeference:
    """The similarity carrying the model's cameras (by image name) onto the
    photographs' positions in EPSG `epsg` (by default the UTM zone of the
    positions' mean), and its residuals. position_error: metres that the
    positions may be off, which tells a flight line from a block.

    The rotation is the least-squares one (Umeyama); the scale is the ratio
    of the RMS spreads of positions and model centres about their means,
    which unlike Umeyama's estimate neither shrinks with the positions'
    noise nor depends on the rotation; the translation puts the fitted
    centres' mean on the positions'.

    The positions are taken as collinear when their RMS distance from their
    best-fit line is below max(3 * position_error, 0.1 * their RMS spread
    along it): below the first, their error alone could put them that far
    off the line; below the second, the distance is a slight bend of a long
    track, and an error of e metres would turn the angle about the line by
    e / distance radians. That angle is then free (a plain fit tilted every
    camera 50 degrees off vertical on a real flight line), and it is chosen
    so that the cameras' optical axes best agree with those that the log's
    heading, pitch and roll give, which every matched photograph must then
    have."""
    position_error = float(position_error)
    if not (math.isfinite(position_error) and position_error > 0):
        raise GeoreferenceError(f"position_error must be a positive number of metres, not {position_error}")
    if len(cameras) < 3:
        raise GeoreferenceError(f"the model has {len(cameras)} photographs ({_listed(cameras) or 'none'}): "
                                "a similarity needs the positions of at least 3")
    pairs, matching = _match(cameras, positions)
    if len(pairs) < 3:
        if not positions:
            raise GeoreferenceError(f"the positions name no photograph; at least 3 of the model's {len(cameras)} "
                                    f"({_listed(cameras)}) need one")
        missing = [name for name in cameras if name not in dict(pairs)]
        found = f"only {len(pairs)} of the model's {len(cameras)} photographs have" if pairs else \
            f"none of the model's {len(cameras)} photographs has"
        raise GeoreferenceError(f"{found} a position and 3 are needed: none for {_listed(missing)} (the positions "
                                f"name {_listed(positions)}; names are matched also without folders and case)")
    names = [model for model, _ in pairs]
    matched = {model: positions[name] for model, name in pairs}
    if epsg is None:
        epsg = utm_epsg(*_mean_place(list(matched.values()))[:2])
    world = project(matched, epsg)  # which refuses a code that is not of a projected system in metres
    epsg = int(epsg)
    X = np.array([cameras[name].C for name in names])
    Y = np.array([world[name] for name in names])

    spread = math.sqrt(np.mean(np.sum((Y - Y.mean(0))**2, axis=1)))
    if spread < 3 * position_error:
        raise GeoreferenceError(f"the positions spread over only {spread:.2f} m (RMS), too little beside their error "
                                f"of {position_error:g} m to give the model a scale")
    model_spread = math.sqrt(np.mean(np.sum((X - X.mean(0))**2, axis=1)))
    if model_spread == 0:
        raise GeoreferenceError(f"the model's camera centres of {_listed(names)} are all one point")
    line = _line(Y)
    collinear = line.off_rms < max(3 * position_error, 0.1 * line.along_rms)
    model_axes = np.array([cameras[name].R[2] for name in names])
    world_axes = _logged_axes(names, matched, epsg)
    if not collinear:
        rotation = _umeyama_rotation(X, Y)
    elif world_axes is not None:
        rotation = _rotation_about_line(X, Y, line.direction, model_axes, world_axes)
    else:
        lacking = [name for name in names if matched[name].attitude is None]
        some = f" ({_listed(lacking)} have none)" if len(lacking) < len(names) else ""
        raise GeoreferenceError(f"the positions lie almost on one line (off-line RMS {line.off_rms:.2f} m over "
                                f"{line.length:.1f} m), so the rotation about it is free: a positions log with "
                                f"heading, pitch and roll for every photograph fixes it{some}")

    scale = spread / model_spread
    similarity = Similarity(scale, rotation, Y.mean(0) - scale * rotation @ X.mean(0))
    fitted = similarity.points(X)
    residuals = {name: fitted[i] - Y[i] for i, name in enumerate(names)}
    rms = math.sqrt(np.mean(np.sum((fitted - Y)**2, axis=1)))
    axis_angles = None
    if world_axes is not None:
        cosines = np.clip(np.einsum("ij,ij->i", model_axes @ rotation.T, world_axes), -1, 1)
        axis_angles = dict(zip(names, np.degrees(np.arccos(cosines)).tolist()))
    return Georeference(similarity, epsg, residuals, rms, collinear, line.off_rms, line.length, axis_angles, matching)
