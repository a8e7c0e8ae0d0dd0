"""Cameras, ground grids and views: the small value types of a survey.

Conventions (those of the kernels):

- World coordinates X (east), Y (north), Z (up), in one length unit (metres
  in the demonstration); heights are Z in that unit.
- A camera maps a world point P to camera coordinates (xc, yc, zc) = R (P - C):
  R is the world-to-camera rotation (row i is camera axis i in world
  coordinates) and C the camera centre. The camera looks along +zc; xc runs
  with the image columns and yc with the image rows.
- Pixel coordinates: u is the column and v the row, and (u, v) = (0, 0) is
  the centre of the top-left pixel. With n = (xc, yc) / zc, r2 = |n|^2 and
  d = (1 + k1 r2) + k2 r2^2, a point images at (u, v) = f d n + (cx, cy):
  f, cx and cy are in pixels, k1 and k2 the radial distortion.
- A ground grid has `rows` x `columns` cells of size `gsd`; (X0, Y0) is the
  outer corner of cell (0, 0) (its north-west corner); columns run east
  (+X) and rows run south (-Y), so cell (r, c) is centred at
  (X0 + (c + 0.5) gsd, Y0 - (r + 0.5) gsd).
"""
import math
from dataclasses import dataclass, field
from typing import Any, NamedTuple

import numpy as np

__all__ = ["Camera", "GroundGrid", "View", "as_image", "ORTHONORMAL_TOLERANCE"]

# How far R R^T may be from the identity, entry by entry.
ORTHONORMAL_TOLERANCE = 1e-6


def _finite(owner, name, value):
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{owner}.{name} must be a number, not {value!r}") from None
    if not math.isfinite(number):
        raise ValueError(f"{owner}.{name} must be finite, not {number}")
    return number


def _count(owner, name, value):
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 1:
        raise ValueError(f"{owner}.{name} must be a positive integer, not {value!r}")
    return int(value)


@dataclass(frozen=True)
class Camera:
    """A frame camera: rotation R (3 x 3, world to camera), centre C (3,),
    focal length f, radial distortion k1, k2, principal point (cx, cy), all
    in pixels of an image of `width` x `height` pixels. See the module's
    documentation for the model. Raises ValueError naming the field that is
    not finite, not positive or, for R, not a rotation."""

    R: np.ndarray
    C: np.ndarray
    f: float
    k1: float
    k2: float
    cx: float
    cy: float
    width: int
    height: int
    name: str = field(default="", compare=False)

    def __post_init__(self):
        R = np.array(self.R, dtype=np.float64)
        C = np.array(self.C, dtype=np.float64)
        if R.shape != (3, 3):
            raise ValueError(f"Camera.R must have shape (3, 3), not {R.shape}")
        if C.shape != (3,):
            raise ValueError(f"Camera.C must have shape (3,), not {C.shape}")
        if not np.isfinite(R).all():
            raise ValueError("Camera.R must be finite")
        if not np.isfinite(C).all():
            raise ValueError("Camera.C must be finite")
        error = float(np.abs(R @ R.T - np.eye(3)).max())
        if error > ORTHONORMAL_TOLERANCE:
            raise ValueError(f"Camera.R must be orthonormal (|R R^T - I| = {error:.2g} exceeds "
                             f"{ORTHONORMAL_TOLERANCE:g})")
        if np.linalg.det(R) < 0:  # a mirror image of the scene matches almost nothing
            raise ValueError("Camera.R must be a rotation (determinant +1), not a reflection (determinant -1)")
        R.flags.writeable = False
        C.flags.writeable = False
        object.__setattr__(self, "R", R)
        object.__setattr__(self, "C", C)
        for name in ("f", "k1", "k2", "cx", "cy"):
            object.__setattr__(self, name, _finite("Camera", name, getattr(self, name)))
        if self.f <= 0:
            raise ValueError(f"Camera.f must be positive, not {self.f}")
        object.__setattr__(self, "width", _count("Camera", "width", self.width))
        object.__setattr__(self, "height", _count("Camera", "height", self.height))

    def project(self, P):
        """Pixel positions (u, v) and depths zc of world points P (..., 3)."""
        pc = (np.asarray(P, np.float64) - self.C) @ self.R.T
        zc = pc[..., 2]
        with np.errstate(all="ignore"):
            nx, ny = pc[..., 0] / zc, pc[..., 1] / zc
            r2 = nx * nx + ny * ny
            fd = self.f * ((1.0 + self.k1 * r2) + (self.k2 * r2) * r2)
            return fd * nx + self.cx, fd * ny + self.cy, zc

    def rays(self, u, v):
        """Unit world directions through pixel positions (u, v): project's
        inverse, its distortion undone by a fixed point iteration."""
        dx, dy = (u - self.cx) / self.f, (v - self.cy) / self.f
        nx, ny = dx, dy
        for _ in range(6):  # fixed point of n = n_d / d(|n|^2); each pass gains a factor ~k1 r2 < 0.01
            r2 = nx * nx + ny * ny
            d = 1.0 + self.k1 * r2 + self.k2 * r2 * r2
            nx, ny = dx / d, dy / d
        cam = np.stack([nx, ny, np.ones_like(nx)], axis=-1)
        world = cam @ self.R  # R is orthonormal: R^T applied to row vectors
        return world / np.linalg.norm(world, axis=-1, keepdims=True)

    @property
    def off_nadir(self):
        """Angle between the optical axis and straight down, in degrees."""
        return float(np.degrees(np.arccos(np.clip(-self.R[2, 2], -1, 1))))


@dataclass(frozen=True)
class GroundGrid:
    """`rows` x `columns` cells of size `gsd`; (X0, Y0) is the outer
    (north-west) corner of cell (0, 0), columns run east and rows south.
    Raises ValueError naming a field that is not finite or not positive."""

    X0: float
    Y0: float
    gsd: float
    rows: int
    columns: int

    def __post_init__(self):
        for name in ("X0", "Y0", "gsd"):
            object.__setattr__(self, name, _finite("GroundGrid", name, getattr(self, name)))
        if self.gsd <= 0:
            raise ValueError(f"GroundGrid.gsd must be positive, not {self.gsd}")
        object.__setattr__(self, "rows", _count("GroundGrid", "rows", self.rows))
        object.__setattr__(self, "columns", _count("GroundGrid", "columns", self.columns))

    @property
    def H(self):
        return self.rows

    @property
    def W(self):
        return self.columns

    @property
    def shape(self):
        return (self.rows, self.columns)

    def centres(self):
        """Plan coordinates (X, Y) of the cell centres, each (rows, columns)."""
        X = self.X0 + (np.arange(self.columns) + 0.5) * self.gsd
        Y = self.Y0 - (np.arange(self.rows) + 0.5) * self.gsd
        return np.meshgrid(X, Y)

    def fractional_index(self, X, Y):
        """(row, column) positions in units of cells, 0 at the centre of cell (0, 0)."""
        return (self.Y0 - Y) / self.gsd - 0.5, (X - self.X0) / self.gsd - 0.5

    def window(self, row, column, rows, columns):
        """The grid of `rows` x `columns` of these cells from cell (row, column) on."""
        return GroundGrid(self.X0 + column * self.gsd, self.Y0 - row * self.gsd, self.gsd, rows, columns)

    def grown(self, cells):
        """The grid with `cells` more cells on every side."""
        return GroundGrid(self.X0 - cells * self.gsd, self.Y0 + cells * self.gsd, self.gsd,
                          self.rows + 2 * cells, self.columns + 2 * cells)


class View(NamedTuple):
    """A photograph and the camera that took it: image (height, width,
    channels) or (height, width) for grey, uint8, uint16 (scaled to [0, 1]
    by as_image) or float (any linear unit of brightness); for a tiled run
    also a quiltmap.survey.ImageFile, read a window at a time."""

    camera: Camera
    image: Any


# Full scale of the integer pixel types photographs come in.
FULL_SCALE = {np.dtype(np.uint8): 255, np.dtype(np.uint16): 65535}


def as_image(image: Any) -> np.ndarray:
    """A photograph as the steps take it: (rows, columns, channels) float32.
    uint8 and uint16 pixels are divided by their full scale (255, 65535) in
    float32, float pixels are taken as they are, and a 2-D image is one grey
    channel. ValueError for other pixel types or shapes."""
    data = np.asarray(image)
    if data.ndim == 2:
        data = data[..., None]
    if data.ndim != 3:
        raise ValueError(f"an image must have 2 or 3 axes (rows, columns[, channels]), not shape {data.shape}")
    if data.dtype in FULL_SCALE:
        return (data / np.float32(FULL_SCALE[data.dtype])).astype(np.float32)
    if data.dtype.kind == "f":
        return data if data.dtype == np.float32 else data.astype(np.float32)
    raise ValueError(f"an image's pixels must be uint8, uint16 or float, not {data.dtype}")
