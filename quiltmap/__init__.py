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
from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("quiltmap")
except PackageNotFoundError:  # a source tree that was never installed
    __version__ = "0+unknown"

# Imported on first use, so that `import quiltmap._mvs` stays what it was:
# the extension module alone, without NumPy-level Python code around it.
_EXPORTS = {
    "Camera": "geometry", "GroundGrid": "geometry", "View": "geometry",
    "Settings": "reconstruction", "Result": "reconstruction", "KernelClock": "reconstruction",
    "reconstruct": "reconstruction", "plane_sweep": "reconstruction", "aggregate": "reconstruction",
    "select_heights": "reconstruction", "consistency_mask": "reconstruction", "filter_heights": "reconstruction",
    "fill_holes": "reconstruction", "orthomosaic": "reconstruction",
    "Tiling": "tiled", "reconstruct_tiled": "tiled",
}

__all__ = [*_EXPORTS, "__version__"]


def __getattr__(name):
    if name in _EXPORTS:
        return getattr(importlib.import_module(f".{_EXPORTS[name]}", __name__), name)
    raise AttributeError(f"module 'quiltmap' has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(_EXPORTS))
