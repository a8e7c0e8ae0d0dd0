"""Survey planning: the ground grid, the height range and the number of
height labels of a reconstruction, from cameras and the sparse points of
structure from motion, so that nobody works them out by hand.

- Cell size: `cell_factor` times the median ground pixel size of the
  photographs (the size on the ground of one pixel at the centre of each
  photograph, at the ground's height).
- Extent: the north-up box of the ground points that at least `min_views`
  photographs see, at the ground's height (the median height of the sparse
  points), found on a lattice of about `LATTICE` points a side over the
  photographs' footprints, widened by one lattice step.
- Height range: robust percentiles of the sparse points that fall on the
  grid (LOW_PERCENTILE, HIGH_PERCENTILE) widened by MARGIN of their span and
  by two cells; without points, from a ground height the caller gives and
  the cameras' heights above it.
- Labels: one per `label_cells` cells of height over the range, within
  LABELS (enough that the sub-label refinement resolves a fraction of a cell).
"""
import math
from dataclasses import dataclass
from typing import Optional, Sequence, Tuple

import numpy as np

from .checks import sees_points
from .geometry import Camera, GroundGrid

__all__ = ["Plan", "plan_survey", "ground_pixel_size", "PlanError"]

LATTICE = 256
LOW_PERCENTILE, HIGH_PERCENTILE = 0.5, 99.5
MARGIN = 0.1
LABELS = (32, 192)
# Without sparse points: the height range reaches this share of the
# cameras' median height above the ground below it and above it.
BELOW, ABOVE = 0.1, 0.3


class PlanError(ValueError):
    """A survey that cannot be planned; the message says why."""


@dataclass(frozen=True)
class Plan:
    grid: GroundGrid
    z_range: Tuple[float, float]
    labels: int
    ground: float  # the ground's height the extent and cell size were found at
    pixel_size: float  # the median ground pixel size

    def describe(self) -> str:
        g = self.grid
        return (f"grid {g.rows} x {g.columns} cells of {g.gsd:.3f} from ({g.X0:.2f}, {g.Y0:.2f}); heights "
                f"{self.z_range[0]:.2f} to {self.z_range[1]:.2f} in {self.labels} labels; ground at {self.ground:.2f}, "
                f"median ground pixel {self.pixel_size:.3f}")


def ground_pixel_size(camera: Camera, ground: float) -> Optional[float]:
    """The size on the ground of one pixel at the photograph's centre: the
    distance along the optical axis to the plane at height `ground`, over the
    focal length, widened by the axis's slant. None when the axis does not
    meet the plane in front of the camera."""
    axis = camera.R[2]  # the optical axis in world coordinates
    if axis[2] >= -1e-9 or camera.C[2] <= ground:
        return None
    distance = (camera.C[2] - ground) / -axis[2]
    return distance / camera.f / -axis[2]


def _footprint_box(cameras, ground):
    """A box (west, east, south, north) holding every photograph's footprint
    on the plane at height `ground`: around where each optical axis meets it,
    as far as the image's corner rays reach."""
    boxes = []
    for camera in cameras:
        axis = camera.R[2]
        if axis[2] >= -1e-9 or camera.C[2] <= ground:
            continue
        distance = (camera.C[2] - ground) / -axis[2]
        centre = camera.C + distance * axis
        half = 0.5 * math.hypot(camera.width, camera.height) * distance / camera.f / -axis[2]
        boxes.append((centre[0] - 2 * half, centre[0] + 2 * half, centre[1] - 2 * half, centre[1] + 2 * half))
    if not boxes:
        raise PlanError("no camera looks down on the ground")
    b = np.array(boxes)
    return b[:, 0].min(), b[:, 1].max(), b[:, 2].min(), b[:, 3].max()


def plan_survey(cameras: Sequence[Camera], points: Optional[np.ndarray] = None, *, ground: Optional[float] = None,
                cell_factor: float = 1.0, min_views: int = 2, label_cells: float = 1.0) -> Plan:
    """The plan of a survey (see the module's documentation). points: (N, 3)
    sparse points in the cameras' frame; ground: the ground's height where
    there are none."""
    cameras = list(cameras)
    if len(cameras) < 2:
        raise PlanError(f"a survey needs at least two photographs, not {len(cameras)}")
    points = None if points is None or len(points) == 0 else np.asarray(points, np.float64)
    if points is not None:
        ground = float(np.median(points[:, 2]))
    elif ground is None:
        raise PlanError("without sparse points, the ground's height must be given")
    sizes = [size for size in (ground_pixel_size(camera, ground) for camera in cameras) if size is not None]
    if len(sizes) < 2:
        raise PlanError(f"fewer than two cameras look down on the ground at height {ground:g}")
    pixel = float(np.median(sizes))
    cell = cell_factor * pixel

    west, east, south, north = _footprint_box(cameras, ground)
    step = max(east - west, north - south) / LATTICE
    X = west + np.arange(math.ceil((east - west) / step) + 1) * step
    Y = north - np.arange(math.ceil((north - south) / step) + 1) * step
    lattice = np.stack([*np.meshgrid(X, Y, indexing="xy"), np.full((len(Y), len(X)), ground)], axis=-1)
    counts = np.sum([sees_points(camera, lattice) for camera in cameras], axis=0)
    covered = counts >= min_views
    if not covered.any():
        raise PlanError(f"no part of the ground is seen by {min_views} photographs")
    ys, xs = np.flatnonzero(covered.any(axis=1)), np.flatnonzero(covered.any(axis=0))
    x0, x1 = X[xs[0]] - step, X[xs[-1]] + step  # one lattice step more on each side
    y0, y1 = Y[ys[-1]] - step, Y[ys[0]] + step
    grid = GroundGrid(x0, y1, cell, max(1, math.ceil((y1 - y0) / cell)), max(1, math.ceil((x1 - x0) / cell)))

    if points is not None:
        on_grid = points[(points[:, 0] >= x0) & (points[:, 0] <= x1) & (points[:, 1] >= y0) & (points[:, 1] <= y1)]
        heights = (on_grid if len(on_grid) else points)[:, 2]
        low, high = np.percentile(heights, [LOW_PERCENTILE, HIGH_PERCENTILE])
        widen = MARGIN * (high - low) + 2 * cell
        z_range = (float(low - widen), float(high + widen))
    else:
        above = float(np.median([camera.C[2] - ground for camera in cameras]))
        z_range = (ground - BELOW * above, ground + ABOVE * above)
    labels = int(np.clip(math.ceil((z_range[1] - z_range[0]) / (label_cells * cell)) + 1, *LABELS))
    return Plan(grid, z_range, labels, ground, pixel)
