"""quiltmap: dense-stereo reconstruction of aerial photographs on the CPU.

The library: a height model and an orthomosaic of a ground grid from
photographs with known cameras, step by step or in one call.

    from quiltmap import Camera, GroundGrid, View, Settings, reconstruct
    result = reconstruct([View(camera, image), ...], GroundGrid(X0, Y0, gsd, rows, columns),
                         z_range=(lowest, highest))

Surveys larger than one machine run tile by tile on Dask with
`reconstruct_tiled` and `Tiling` (`quiltmap.tiled`, the `tiled` extras).
`quiltmap.geometry` states the units and conventions; the kernels themselves
are in `quiltmap._mvs`.
"""
import importlib
from importlib.machinery import EXTENSION_SUFFIXES
from importlib.metadata import PackageNotFoundError, version
from pathlib import Path
from typing import TYPE_CHECKING

try:
    __version__ = version("quiltmap")
except PackageNotFoundError:  # a source tree that was never installed
    __version__ = "0+unknown"

# Imported on first use, so that `import quiltmap._mvs` stays what it was:
# the extension module alone, without NumPy-level Python code around it.
_EXPORTS = {
    "Camera": "geometry", "GroundGrid": "geometry", "View": "geometry",
    "Settings": "reconstruction", "Result": "reconstruction", "KernelClock": "reconstruction",
    "MatchWarning": "reconstruction",
    "reconstruct": "reconstruction", "plane_sweep": "reconstruction", "aggregate": "reconstruction",
    "select_heights": "reconstruction", "views_seeing": "reconstruction", "consistency_mask": "reconstruction",
    "filter_heights": "reconstruction", "fill_holes": "reconstruction", "orthomosaic": "reconstruction",
    "choose_references": "reconstruction",
    "Tiling": "tiled", "reconstruct_tiled": "tiled",
    "read_image": "survey", "load_survey": "survey",
}

# Type checkers see the exports themselves, not the lazy lookup below.
if TYPE_CHECKING:  # pragma: no cover
    from .geometry import Camera, GroundGrid, View
    from .reconstruction import (KernelClock, MatchWarning, Result, Settings, aggregate, choose_references,
                                 consistency_mask, fill_holes, filter_heights, orthomosaic, plane_sweep,
                                 reconstruct, select_heights, views_seeing)
    from .survey import load_survey, read_image
    from .tiled import Tiling, reconstruct_tiled

__all__ = [*_EXPORTS, "__version__"]

# The compiled modules, which a source tree that was never built lacks.
_NATIVE = ("_mvs", "_pipeline")


def __getattr__(name):
    if name in _EXPORTS:
        return getattr(importlib.import_module(f".{_EXPORTS[name]}", __name__), name)
    if name in _NATIVE and not any((Path(__file__).parent / (name + suffix)).exists() for suffix in EXTENSION_SUFFIXES):
        # `from . import _mvs` without a compiled module: most often a checkout's quiltmap/ folder
        # shadowing the installed package because Python runs from the checkout's root.
        raise ImportError(f"quiltmap.{name} is not built in {Path(__file__).parent}: that is a source tree. Run "
                          f"Python from another folder or with -I to use the installed package (or use the "
                          f"`quiltmap` command), or build it first (make demo, or pip install .)")
    raise AttributeError(f"module 'quiltmap' has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(_EXPORTS))
