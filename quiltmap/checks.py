"""What a run needs, checked before it starts: views, grid and height range
that the steps can use, memory that the machine has, disk that the output
folder has, and what GeoTIFF files and the ray caster can hold. Every check
raises with a message that names what is wrong and what would do."""
import errno
import os
import shutil
from pathlib import Path
from typing import Optional, Sequence, Tuple, Union

import numpy as np

from .geometry import Camera, GroundGrid, View

__all__ = ["check_survey", "check_ray_steps", "lattice_seen", "sees_grid", "sees_points", "MIN_DEPTH", "check_memory", "check_disk", "check_tiff_sides", "match_memory",
           "physical_memory", "describe_bytes", "cells_text", "shown", "MAX_RAY_CELLS", "TIFF_MAX_SIDE"]

# The ray caster steps most of a cell at a time over the height range: a
# range of more cells than this is a cell size or a range gone wrong (a
# sweep of 1e-5 m cells over 40 m took 8 s where 0.5 m cells took 0.2 s,
# and 1e-300 m never ended).
MAX_RAY_CELLS = 100_000
# The smallest depth in front of a camera at which a point counts as seen:
# sample_view's (kernels/sample_view.hpp, kMinDepth), held together by a test.
MIN_DEPTH = 1e-6
# Image width and length are 32-bit fields of a TIFF file.
TIFF_MAX_SIDE = 2**32 - 1


def check_survey(views: Sequence[View], grid: GroundGrid, z_range: Tuple[float, float],
                 refs: Optional[Sequence[int]], files: bool = False) -> None:
    """Refuses what the reconstruction cannot use; files: images may also
    be read a window at a time (quiltmap.survey.ImageFile)."""
    if not isinstance(grid, GroundGrid):
        raise TypeError(f"grid must be a quiltmap.GroundGrid, not {type(grid).__name__}")
    if len(views) < 2:
        raise ValueError(f"a reconstruction needs at least 2 views, not {len(views)}")
    for i, view in enumerate(views):
        if not isinstance(view, View) or not isinstance(view.camera, Camera):
            raise TypeError(f"views[{i}] must be a quiltmap.View(camera, image)")
        image = view.image
        shape = (view.camera.height, view.camera.width)
        kind_ok = isinstance(image, np.ndarray) or (files and hasattr(image, "window"))
        if not (kind_ok and image.dtype == np.float32 and image.ndim == 3 and image.shape[:2] == shape):
            raise ValueError(f"views[{i}].image must be a float32 array of shape {shape + ('channels',)}, "
                             f"not {getattr(image, 'dtype', type(image).__name__)} {np.shape(image)}")
        if image.shape[2] != views[0].image.shape[2]:
            raise ValueError(f"views[{i}].image has {image.shape[2]} channels, views[0].image "
                             f"{views[0].image.shape[2]}")
    if refs is not None and (len(refs) != 2 or len(set(refs)) != 2 or not all(0 <= r < len(views) for r in refs)):
        raise ValueError(f"refs must be two different view indices below {len(views)}, not {tuple(refs)}")
    low, high = (float(z) for z in z_range)
    if not (np.isfinite(low) and np.isfinite(high) and low < high):
        raise ValueError(f"z_range must be two finite heights, the lower first, not {tuple(z_range)}")
    check_ray_steps(grid, (low, high))
    seeing = [sees_grid(view.camera, grid, (low, high)) for view in views]
    if sum(seeing) < 2:
        raise ValueError(f"{sum(seeing)} of the {len(views)} views see any of the grid at any height of z_range; "
                         f"a reconstruction needs two that do")
    for k, r in enumerate(refs or ()):
        if not seeing[r]:
            raise ValueError(f"refs[{k}]: view {r} sees none of the grid at any height of z_range")


def lattice_seen(camera: Camera, grid: GroundGrid, heights: Union[Sequence[float], np.ndarray],
                 samples: int = 9) -> np.ndarray:
    """Whether the camera images each point of a samples x samples lattice
    over the grid (corners included), at any of `heights`, inside its
    photograph and in front of it."""
    X = grid.X0 + np.linspace(0, grid.columns, samples) * grid.gsd
    Y = grid.Y0 - np.linspace(0, grid.rows, samples) * grid.gsd
    P = np.stack(np.meshgrid(X, Y, np.asarray(heights, np.float64), indexing="ij"), axis=-1)
    return sees_points(camera, P).any(axis=-1)


def sees_points(camera: Camera, P: np.ndarray) -> np.ndarray:
    """Whether the camera images the world points P (..., 3) inside its
    photograph (between its outer pixel centres) and in front of it."""
    u, v, depth = camera.project(P)
    return (depth > MIN_DEPTH) & (u >= 0) & (v >= 0) & (u <= camera.width - 1) & (v <= camera.height - 1)


def sees_grid(camera: Camera, grid: GroundGrid, z_range: Tuple[float, float]) -> bool:
    """Whether some point of a coarse lattice over the grid, at some height of
    the range, images inside the photograph in front of the camera."""
    return bool(lattice_seen(camera, grid, np.linspace(z_range[0], z_range[1], 5)).any())


def check_ray_steps(grid: GroundGrid, z_range: Tuple[float, float]) -> None:
    """Refuses a cell size that is absurdly small against the height range
    the orthomosaic's rays are cast through."""
    cells = (z_range[1] - z_range[0]) / grid.gsd
    if not cells <= MAX_RAY_CELLS:
        raise ValueError(f"GroundGrid.gsd ({grid.gsd:g}) is too small for heights from {z_range[0]:g} to "
                         f"{z_range[1]:g}: the range spans {cells:.3g} cells, at most {MAX_RAY_CELLS} can be "
                         f"cast through")


def match_memory(rows: int, columns: int, settings, gsd: float, pixels: int = 0) -> int:
    """Bytes that matching a grid of rows x columns cells of size gsd holds
    at its peak, about: with the grid grown by the census window and D
    labels, (16 D + 100) per cell (two cost volumes, and sgm's result and
    path volumes, 16 bytes per cell and label; the per-cell rasters), plus
    16 per pixel of the photographs (their grey copies and samples)."""
    reach = settings.window_reach(gsd)
    return (rows + 2 * reach) * (columns + 2 * reach) * (16 * settings.labels + 100) + 16 * pixels


def physical_memory() -> Optional[int]:
    """The bytes of memory this process may use: the machine's, or its
    control group's limit when lower; None where neither can be read."""
    try:
        total = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError):
        total = None
    try:
        limit = Path("/sys/fs/cgroup/memory.max").read_text().strip()
        if limit.isdigit():
            total = min(total or int(limit), int(limit))
    except OSError:
        pass
    return total


def describe_bytes(count: int) -> str:
    """A byte count as people read it, however large."""
    if count >= 2**80:
        return f"about 2^{count.bit_length() - 1} bytes"
    for unit, size in (("TiB", 2**40), ("GiB", 2**30), ("MiB", 2**20)):
        if count >= size:
            return f"{count / size:.1f} {unit}"
    return f"{count} bytes"


def check_memory(needed: int, what: str, advice: str = "") -> None:
    """Raises MemoryError when `what` needs more than this machine's memory."""
    total = physical_memory()
    if total is not None and needed > total:
        raise MemoryError(f"{what} needs {describe_bytes(needed)} of memory, more than this machine's "
                          f"{describe_bytes(total)}{advice}")


def _existing(folder: Path) -> Path:
    for candidate in (folder, *folder.parents):
        if candidate.exists():
            return candidate
    return Path(".")


def check_disk(folder, needed: int, what: str) -> None:
    """Raises OSError (ENOSPC) when the filesystem of `folder` (or of its
    nearest existing parent) has less free space than `needed`."""
    where = _existing(Path(folder).absolute())
    free = shutil.disk_usage(where).free
    if needed > free:
        raise OSError(errno.ENOSPC, f"{what} need {describe_bytes(needed)} of disk, and {where} has "
                          f"{describe_bytes(free)} free")


def check_tiff_sides(grid: GroundGrid) -> None:
    """Refuses a grid that a GeoTIFF file cannot hold."""
    for name in ("rows", "columns"):
        side = getattr(grid, name)
        if side > TIFF_MAX_SIDE:
            raise ValueError(f"GroundGrid.{name} ({shown(side)}) is more than a GeoTIFF file holds ({TIFF_MAX_SIDE})")


def shown(value) -> str:
    """A value for a message, however long: Python refuses to print integers
    of more than 4300 digits, and nobody reads them."""
    if isinstance(value, int) and not isinstance(value, bool) and value.bit_length() > 64:
        return f"about 2^{value.bit_length() - 1}"
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def cells_text(grid: GroundGrid) -> str:
    """`rows x columns cells`, readable even for absurd sizes."""
    return f"{shown(grid.rows)} x {shown(grid.columns)} cells"
