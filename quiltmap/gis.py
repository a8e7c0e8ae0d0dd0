"""Outputs as GIS users open them: Cloud-Optimized GeoTIFF made by GDAL's
COG driver (through rasterio), an 8-bit RGBA orthomosaic, statistics of
the heights, and a LAS point cloud of the matched cells.

Everything here reads the run's rasters a band of rows at a time
(BAND_CELLS cells), so that it costs the same memory for a tiled run's
maps of files larger than memory as for a small untiled run.

Cloud-Optimized GeoTIFF: every raster is first written as the plain
GeoTIFF that quiltmap.survey writes (tiled runs fill it part by part
through np.memmap), then GDAL copies it block by block into a new file
beside it, in the run's private folder, which replaces it there: tiles of
512 x 512, DEFLATE with the predictor of the pixel type (2 for integers,
3 for floats), overviews inside the file (halved until one fits a tile;
GDAL's rule, so a grid of 512 cells or fewer has none), the nodata value
declared, and the plain file's geotransform and coordinate system.
"""
import math
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any, List, Optional, Union

import numpy as np

from .geometry import GroundGrid

__all__ = ["FORMATS", "cog_available", "default_format", "format_text", "to_cog", "rgba8", "write_rgba8",
           "HeightStatistics", "height_statistics", "write_las", "BAND_CELLS", "COG_OPTIONS"]

FORMATS = ("cog", "geotiff")
# Cells read at once: 4 Mi cells are 16 MiB of float32 heights, and about
# 100 MiB of float64 colour while it is converted.
BAND_CELLS = 2**22
# GDAL's COG driver, for every raster. PREDICTOR=YES takes 2 for integers
# and 3 (floating point) for floats; IF_SAFER turns to BigTIFF past 4 GiB.
COG_OPTIONS = dict(BLOCKSIZE=512, COMPRESS="DEFLATE", PREDICTOR="YES", BIGTIFF="IF_SAFER")


def cog_available() -> bool:
    try:
        import rasterio  # noqa: F401
    except ImportError:
        return False
    return True


def default_format() -> str:
    """'cog' where rasterio (and with it GDAL) can be imported, else 'geotiff'."""
    return "cog" if cog_available() else "geotiff"


def format_text(kind: str, chosen: bool) -> str:
    """The report's line on the rasters' format; chosen: asked for by --format."""
    if kind == "cog":
        import rasterio

        return (f"format: Cloud-Optimized GeoTIFF (GDAL {rasterio.__gdal_version__} through rasterio "
                f"{rasterio.__version__}): tiles of 512 x 512, DEFLATE with a predictor, overviews where a raster "
                f"is larger than a tile, nodata declared")
    why = "--format geotiff" if chosen else "rasterio is not installed: pip install 'quiltmap[io]' for COG"
    return f"format: GeoTIFF, uncompressed and untiled, written by tifffile ({why})"


def _bands(rows: int, columns: int, cells: int = BAND_CELLS):
    """(first row, end row) of bands of about `cells` cells."""
    step = max(1, cells // max(columns, 1))
    return [(r, min(r + step, rows)) for r in range(0, rows, step)]


# Cloud-Optimized GeoTIFF --------------------------------------------------------

def to_cog(path: Union[str, os.PathLike], nodata: Optional[float] = None, categorical: bool = False,
           threads: int = 1) -> None:
    """Rewrites the plain GeoTIFF at `path` as a Cloud-Optimized GeoTIFF, in
    the same folder (see the module's documentation). nodata: declared where
    the plain file declares none; categorical: overviews take a cell's value
    (nearest) rather than the average of the cells they cover, which a class
    or an index has no use for. A failure of GDAL raises RuntimeError and
    leaves no new file."""
    import rasterio
    import rasterio.shutil
    from rasterio.errors import RasterioError
    from rasterio._err import CPLE_BaseError

    path = Path(path)
    target = path.with_name(f".{path.name}.cog")
    try:
        # r+ only sets the declaration on the plain file, which is replaced below.
        with rasterio.open(path, "r" if nodata is None else "r+") as source:
            if nodata is not None:
                source.nodata = nodata
            rasterio.shutil.copy(source, target, driver="COG", RESAMPLING="NEAREST" if categorical else "AVERAGE",
                                 NUM_THREADS=max(1, int(threads)), **COG_OPTIONS)
    except BaseException as error:
        if target.exists():
            target.unlink()
        if isinstance(error, (RasterioError, CPLE_BaseError)):
            raise RuntimeError(f"{path.name}: GDAL could not write it as a Cloud-Optimized GeoTIFF ({error})") \
                from None
        raise
    os.replace(target, path)


# The 8-bit orthomosaic ------------------------------------------------------------

def rgba8(colour: np.ndarray) -> np.ndarray:
    """Float brightness (rows, columns, 1 or 3 channels) in [0, 1] as 8-bit
    RGBA: each channel times 255, rounded (a grey channel in all three),
    alpha 255 where every channel has a value and 0, with black, where not."""
    colour = np.asarray(colour)
    seen = np.isfinite(colour).all(axis=2)
    rgb = np.where(seen[..., None], colour, 0).astype(np.float64)
    out = np.empty(colour.shape[:2] + (4,), np.uint8)
    out[..., :3] = np.round(np.clip(rgb, 0, 1) * 255)  # one channel broadcasts to three
    out[..., 3] = np.where(seen, 255, 0)
    return out


def write_rgba8(path: Union[str, os.PathLike], orthomosaic: Any, grid: GroundGrid, epsg: Optional[int]) -> None:
    """The orthomosaic as a plain 8-bit RGBA GeoTIFF at `path` (a new file),
    filled a band at a time."""
    from .survey import create_geotiff

    shape = (grid.rows, grid.columns, 4)
    offset = create_geotiff(path, shape, np.uint8, grid, epsg)
    pixels = np.memmap(path, np.uint8, "r+", offset, shape)
    for r0, r1 in _bands(grid.rows, grid.columns):
        pixels[r0:r1] = rgba8(np.asarray(orthomosaic[r0:r1]))
    pixels.flush()
    del pixels


# Statistics ----------------------------------------------------------------------

@dataclass(frozen=True)
class HeightStatistics:
    """Heights over the matched cells (those with a height): their count
    among `cells`, and their lowest, highest, mean, median, 1st and 99th
    percentiles (NumPy's default, linear, definition); NaN without any."""

    cells: int
    matched: int
    lowest: float
    highest: float
    mean: float
    median: float
    p1: float
    p99: float

    @property
    def share(self) -> float:
        return self.matched / max(self.cells, 1)

    def lines(self) -> List[str]:
        if not self.matched:
            return ["heights: no cell was matched"]
        rows = (("lowest", self.lowest), ("1st percentile", self.p1), ("median", self.median),
                ("mean", self.mean), ("99th percentile", self.p99), ("highest", self.highest))
        return [f"heights of the matched cells ({100 * self.share:.1f} % of the grid), in metres:",
                *(f"  {name:22s}{value:10.3f}" for name, value in rows)]


def _sort_keys(values: np.ndarray) -> np.ndarray:
    """float32 values as uint32 keys in the same order (sign bit flipped for
    positive values, every bit for negative ones)."""
    bits = np.ascontiguousarray(values, np.float32).view(np.uint32)
    return np.where(bits >> 31, ~bits, bits | np.uint32(0x80000000))


def _value_of(key: int) -> float:
    bits = key & 0x7FFFFFFF if key >> 31 else ~key & 0xFFFFFFFF
    return float(np.array([bits], np.uint32).view(np.float32)[0])


def height_statistics(heights: Any, band_cells: int = BAND_CELLS) -> HeightStatistics:
    """HeightStatistics of a (rows, columns) raster, NaN where unmatched,
    exact and a band of rows at a time: the order statistics are found in
    two passes over the float32 values' 32-bit sort keys, by their upper 16
    bits and then by the lower 16 bits of those whose upper ones hold a
    wanted rank."""
    rows, columns = heights.shape
    bands = _bands(rows, columns, band_cells)

    def finite_keys():
        for r0, r1 in bands:
            band = np.asarray(heights[r0:r1], np.float32)
            values = band[np.isfinite(band)]
            yield values, _sort_keys(values)

    count, total, upper = 0, 0.0, np.zeros(1 << 16, np.int64)
    for values, keys in finite_keys():
        count += values.size
        total += float(values.sum(dtype=np.float64))
        upper += np.bincount(keys >> 16, minlength=1 << 16)
    if count == 0:
        return HeightStatistics(rows * columns, 0, *(math.nan,) * 6)
    positions = {q: (count - 1) * q / 100 for q in (0, 1, 50, 99, 100)}
    ranks = sorted({k for h in positions.values() for k in (math.floor(h), min(math.floor(h) + 1, count - 1))})
    before = np.concatenate([[0], np.cumsum(upper)])
    prefix = {k: int(np.searchsorted(before, k, side="right")) - 1 for k in ranks}
    lower = {p: np.zeros(1 << 16, np.int64) for p in set(prefix.values())}
    for _, keys in finite_keys():
        for p, histogram in lower.items():
            histogram += np.bincount(keys[(keys >> 16) == p] & 0xFFFF, minlength=1 << 16)
    ordered = {}
    for k, p in prefix.items():
        within = np.concatenate([[0], np.cumsum(lower[p])])
        suffix = int(np.searchsorted(within, k - before[p], side="right")) - 1
        ordered[k] = _value_of((p << 16) | suffix)

    def percentile(q):
        h = positions[q]
        low, high = ordered[math.floor(h)], ordered[min(math.floor(h) + 1, count - 1)]
        return low + (high - low) * (h - math.floor(h))

    return HeightStatistics(rows * columns, count, ordered[0], ordered[count - 1], total / count, percentile(50),
                            percentile(1), percentile(99))


# The point cloud ------------------------------------------------------------------

# GeoTIFF keys of the LAS file's GeoKeyDirectory record: a projected system, and its EPSG code.
GT_MODEL_TYPE, PROJECTED_CS_TYPE = 1024, 3072


def write_las(file: Any, heights: Any, orthomosaic: Any, grid: GroundGrid, epsg: Optional[int]) -> int:
    """The matched cells (finite heights) as LAS 1.2 points of format 2 into
    the binary `file`: X, Y of each cell's centre and its height as Z, to
    the millimetre (or a hundredth of a cell, if finer), its orthomosaic's
    colour in 16 bits (grey in all three; black where no view sees it), the
    EPSG code in the GeoKeyDirectory record; written a band of rows at a
    time. Returns the number of points."""
    import laspy
    from laspy.vlrs.known import GeoKeyDirectoryVlr, GeoKeyEntryStruct

    header = laspy.LasHeader(point_format=2, version="1.2")
    step = min(0.001, grid.gsd / 100)
    header.scales = np.array([step, step, 0.001])
    header.offsets = np.array([grid.X0, grid.Y0 - grid.rows * grid.gsd, 0.0])
    if epsg:
        directory = GeoKeyDirectoryVlr()
        directory.geo_keys = []
        for key, value in ((GT_MODEL_TYPE, 1), (PROJECTED_CS_TYPE, epsg)):
            entry = GeoKeyEntryStruct()
            entry.id, entry.tiff_tag_location, entry.count, entry.value_offset = key, 0, 1, value
            directory.geo_keys.append(entry)
        directory.geo_keys_header.number_of_keys = len(directory.geo_keys)
        header.vlrs.append(directory)
    written = 0
    with laspy.open(file, mode="w", header=header, closefd=False) as writer:
        for r0, r1 in _bands(grid.rows, grid.columns):
            band = np.asarray(heights[r0:r1], np.float32)
            rows, columns = np.nonzero(np.isfinite(band))
            if rows.size == 0:
                continue
            points = laspy.ScaleAwarePointRecord.zeros(rows.size, header=header)
            points.x = grid.X0 + (columns + 0.5) * grid.gsd
            points.y = grid.Y0 - (r0 + rows + 0.5) * grid.gsd
            points.z = band[rows, columns].astype(np.float64)
            colour = rgb16(np.asarray(orthomosaic[r0:r1])[rows, columns])
            points.red, points.green, points.blue = colour[:, 0], colour[:, 1], colour[:, 2]
            points.return_number[:] = 1
            points.number_of_returns[:] = 1
            writer.write_points(points)
            written += rows.size
    return written


def rgb16(colour: np.ndarray) -> np.ndarray:
    """Float brightness (points, 1 or 3 channels) as 16-bit RGB, black where it has no value."""
    colour = np.asarray(colour, np.float64)
    colour = np.where(np.isfinite(colour).all(axis=-1, keepdims=True), colour, 0)
    return np.broadcast_to(np.round(np.clip(colour, 0, 1) * 65535), colour.shape[:-1] + (3,)).astype(np.uint16)
