"""What GIS users open: every file the command writes, untiled and tiled, read
back by GDAL (rasterio) and laspy: Cloud-Optimized GeoTIFF layout, place and
coordinate system, the library's pixels bit for bit; the 8-bit orthomosaic,
the point cloud, the preview's height scale and the report's statistics
against NumPy on the same heights."""
import json
import re
import shutil

import numpy as np
import pytest

rasterio = pytest.importorskip("rasterio")
laspy = pytest.importorskip("laspy")
pytest.importorskip("PIL")

import quiltmap  # noqa: E402
from quiltmap import gis  # noqa: E402
from quiltmap.__main__ import main  # noqa: E402
from quiltmap.geometry import GroundGrid  # noqa: E402
from quiltmap.preview import RAMP, UNMATCHED, ramp  # noqa: E402
from quiltmap.survey import create_geotiff, load_survey, write_geotiff  # noqa: E402

EPSG = 32633


def with_epsg(survey, folder):
    shutil.copytree(survey.parent, folder)
    description = json.loads((folder / "survey.json").read_text())
    description["epsg"] = EPSG
    (folder / "survey.json").write_text(json.dumps(description))
    return folder / "survey.json"


@pytest.fixture(scope="module", params=["untiled", "tiled"])
def run(request, exported, exported_town, tmp_path_factory):
    """The command's outputs, with every option, and the library's result on the same survey."""
    from quiltmap.tiled import Tiling, reconstruct_tiled

    tiled = request.param == "tiled"
    folder = tmp_path_factory.mktemp(request.param)
    path = with_epsg(exported_town if tiled else exported, folder / "survey")
    out = folder / "out"
    options = ["--tile", "64", "--margin", "16"] if tiled else []
    assert main(["reconstruct", str(path), "--out", str(out), "--quiet", "--orthomosaic-8bit", "--las", *options]) == 0
    survey = load_survey(path)
    if tiled:
        expected = reconstruct_tiled(survey.views, survey.grid, survey.z_range, survey.settings, tiling=Tiling(64, 16))
    else:
        expected = quiltmap.reconstruct(survey.views, survey.grid, survey.z_range, survey.settings)
    return out, survey.grid, expected, tiled


def test_rasters_are_cloud_optimized_with_the_librarys_pixels(run):
    out, grid, expected, tiled = run
    for name in ["heights", "orthomosaic"] + (["filled", "raw", "matched", "source"] if tiled else []):
        with rasterio.open(out / f"{name}.tif") as raster:
            profile, structure, tags, pixels = raster.profile, raster.tags(ns="IMAGE_STRUCTURE"), raster.tags(), \
                np.moveaxis(raster.read(), 0, -1)
        want = getattr(expected, name)
        want = want.astype(np.uint8) if want.dtype == bool else want
        assert profile["tiled"] and (profile["blockxsize"], profile["blockysize"]) == (512, 512), name
        assert (structure["LAYOUT"], structure["COMPRESSION"]) == ("COG", "DEFLATE"), name
        assert structure["PREDICTOR"] == ("3" if want.dtype.kind == "f" else "2"), name
        assert profile["crs"].to_epsg() == EPSG and tags["AREA_OR_POINT"] == "Area"
        assert tuple(profile["transform"])[:6] == (grid.gsd, 0, grid.X0, 0, -grid.gsd, grid.Y0)
        nodata = {"f": np.nan, "i": -1, "u": None}[want.dtype.kind]
        assert profile["nodata"] is None if nodata is None else np.array_equal(profile["nodata"], nodata, True)
        np.testing.assert_array_equal(pixels.reshape(want.shape), want, err_msg=name)  # NaN where unmatched
        cog_layout(out / f"{name}.tif", levels=1)  # no overviews: the grid fits in one tile


def test_8bit_orthomosaic_holds_the_colours_and_an_alpha_mask(run):
    out, _, expected, _ = run
    with rasterio.open(out / "orthomosaic-8bit.tif") as raster:
        rgba, mask, roles = raster.read(), raster.dataset_mask(), [c.name for c in raster.colorinterp]
    assert roles == ["red", "green", "blue", "alpha"] and rgba.dtype == np.uint8
    colour = np.broadcast_to(expected.orthomosaic, expected.orthomosaic.shape[:2] + (3,))
    seen = np.isfinite(colour).all(axis=2)
    np.testing.assert_array_equal(mask, np.where(seen, 255, 0))
    rgb = np.moveaxis(rgba[:3], 0, -1)
    assert np.abs(rgb[seen] / 255.0 - colour[seen]).max() <= 0.5 / 255 + 1e-6
    assert not rgb[~seen].any()


@pytest.mark.parametrize("channels", [1, 3])
def test_rgba8_rounds_brightness_and_greys_stay_grey(channels):
    values = np.array([0.0, 1.0, 0.5, 0.2, 1.5 / 255, np.nan], np.float32)
    colour = np.repeat(values[None, :, None], channels, axis=2)
    np.testing.assert_array_equal(gis.rgba8(colour)[0], [[0, 0, 0, 255], [255, 255, 255, 255], [128, 128, 128, 255],
                                                         [51, 51, 51, 255], [2, 2, 2, 255], [0, 0, 0, 0]])


def test_points_are_the_matched_cells_with_their_colours(run):
    out, grid, expected, _ = run
    las = laspy.read(out / "points.las")
    rows, columns = np.nonzero(np.isfinite(expected.heights))  # the file's order: row by row
    assert len(las.points) == rows.size and las.header.parse_crs().to_epsg() == EPSG
    np.testing.assert_allclose(las.x, grid.X0 + (columns + 0.5) * grid.gsd, rtol=0, atol=5e-4 + 1e-9)
    np.testing.assert_allclose(las.y, grid.Y0 - (rows + 0.5) * grid.gsd, rtol=0, atol=5e-4 + 1e-9)
    np.testing.assert_allclose(las.z, expected.heights[rows, columns], rtol=0, atol=5e-4 + 1e-6)
    np.testing.assert_allclose(las.header.maxs, [las.x.max(), las.y.max(), las.z.max()])
    colour = np.nan_to_num(expected.orthomosaic[rows, columns]) * 65535
    for band, name in enumerate(("red", "green", "blue")):
        assert np.abs(np.asarray(las[name], float) - colour[:, band]).max() <= 0.5 + 1e-6


def test_report_and_preview_show_the_heights(run):
    out, grid, expected, _ = run
    values = expected.heights[np.isfinite(expected.heights)].astype(np.float64)
    numpy = {"lowest": values.min(), "1st percentile": np.percentile(values, 1), "median": np.median(values),
             "mean": values.mean(), "99th percentile": np.percentile(values, 99), "highest": values.max()}
    report = (out / "report.txt").read_text()
    for name, value in numpy.items():
        assert abs(float(re.search(rf"^  {name} +(\S+)$", report, re.M).group(1)) - value) <= 5e-4 + 1e-5, name
    assert f"({100 * values.size / expected.heights.size:.1f} % of the grid)" in report
    assert "format: Cloud-Optimized GeoTIFF (GDAL" in report

    from PIL import Image

    image = np.asarray(Image.open(out / "preview.png").convert("RGB"))
    assert image.shape[1] >= 800 and image.shape[0] >= 400
    assert any(holds_ramp(row) for row in image), "no height scale"
    assert (image == UNMATCHED).all(axis=2).any() == (values.size < expected.heights.size)


def holds_ramp(row, least=200):
    """Whether the pixels from the row's first ramp start to its last ramp end are the whole ramp, evenly."""
    first, last = np.flatnonzero((row == RAMP[0]).all(1)), np.flatnonzero((row == RAMP[-1]).all(1))
    if not (first.size and last.size and last[-1] - first[0] >= least):
        return False
    segment = row[first[0]: last[-1] + 1]
    return np.array_equal(segment, ramp(np.linspace(0, 1, len(segment))))


@pytest.mark.parametrize("case", ["mixed", "equal", "signs", "one", "none"])
def test_height_statistics_equal_numpys_band_by_band(case):
    rng = np.random.default_rng(3)
    heights = {"mixed": rng.normal(40, 15, (37, 23)), "equal": np.full((9, 8), 12.5),
               "signs": rng.choice([-0.0, 0.0, -1e-30, 3e-38, -7.25, 1e6], (11, 5)),
               "one": np.full((5, 5), np.nan), "none": np.full((4, 6), np.nan)}[case].astype(np.float32)
    heights[rng.random(heights.shape) < 0.2] = np.nan
    if case == "one":
        heights[2, 3] = -4.0
    statistics = gis.height_statistics(heights, band_cells=7)  # bands of one row
    values = heights[np.isfinite(heights)].astype(np.float64)
    assert (statistics.cells, statistics.matched) == (heights.size, values.size)
    found = [statistics.lowest, statistics.highest, statistics.mean, statistics.median, statistics.p1, statistics.p99]
    if case == "none":
        assert np.isnan(found).all() and statistics.lines() == ["heights: no cell was matched"]
        return
    numpy = [values.min(), values.max(), values.mean(), np.median(values), *np.percentile(values, [1, 99])]
    np.testing.assert_allclose(found, numpy, rtol=1e-12, atol=1e-300)


def test_to_cog_makes_overviews_by_average_or_by_class(tmp_path):
    grid = GroundGrid(500000.0, 4100000.0, 0.5, 1100, 1300)
    rng = np.random.default_rng(5)
    heights = rng.normal(50, 10, grid.shape).astype(np.float32)
    heights[:300, :300] = np.nan
    source = rng.integers(-1, 3, grid.shape).astype(np.int8)
    write_geotiff(tmp_path / "heights.tif", heights, grid, EPSG)
    offset = create_geotiff(tmp_path / "source.tif", grid.shape, np.int8, grid, EPSG)
    np.memmap(tmp_path / "source.tif", np.int8, "r+", offset, grid.shape)[:] = source
    gis.to_cog(tmp_path / "heights.tif")
    gis.to_cog(tmp_path / "source.tif", nodata=-1, categorical=True)
    assert sorted(path.name for path in tmp_path.iterdir()) == ["heights.tif", "source.tif"]
    for name, data in (("heights", heights), ("source", source)):
        cog_layout(tmp_path / f"{name}.tif", levels=3)  # halved twice, to 275 x 325
        with rasterio.open(tmp_path / f"{name}.tif") as raster, \
                rasterio.open(tmp_path / f"{name}.tif", overview_level=0) as overview:
            np.testing.assert_array_equal(raster.read(1), data)
            halved = overview.read(1)
        blocks = data.reshape(550, 2, 650, 2).swapaxes(1, 2).reshape(550, 650, 4)
        if name == "source":  # a cell's own class, never a mean of classes
            assert ((halved[..., None] == blocks).any(-1)).all()
        else:  # the mean of the cells with a height
            count = np.isfinite(blocks).sum(-1)
            mean = np.where(count > 0, np.nansum(blocks, -1) / np.maximum(count, 1), np.nan)
            np.testing.assert_allclose(halved, mean, rtol=1e-6)


def cog_layout(path, levels):
    """The layout a COG reader counts on: every directory ahead of the pixels,
    each level tiled 512 x 512 and compressed, the smallest overview's tiles
    first and the full resolution's last."""
    import tifffile

    with tifffile.TiffFile(path) as tif:
        pages = list(tif.pages)
    assert len(pages) == levels and max(page.offset for page in pages) < min(pages[-1].dataoffsets)
    assert all(page.is_tiled and page.tilewidth == page.tilelength == 512 and page.compression == 8 for page in pages)
    for larger, smaller in zip(pages, pages[1:]):
        assert larger.shape[0] > smaller.shape[0] and min(larger.dataoffsets) > max(smaller.dataoffsets)


@pytest.mark.parametrize("case", ["cog without rasterio", "default without rasterio", "las without laspy",
                                  "gdal fails"])
def test_missing_or_failing_gdal(exported, tmp_path, monkeypatch, capsys, case):
    import quiltmap.__main__ as command
    import rasterio.shutil
    from rasterio.errors import RasterioIOError

    options = {"cog without rasterio": ["--format", "cog"], "las without laspy": ["--las"]}.get(case, [])
    if "rasterio" in case:
        monkeypatch.setattr(command, "cog_available", lambda: False)
    if "laspy" in case:
        monkeypatch.setitem(__import__("sys").modules, "laspy", None)
    if case == "gdal fails":
        monkeypatch.setattr(rasterio.shutil, "copy", lambda *a, **k: (_ for _ in ()).throw(RasterioIOError("full")))
    out = tmp_path / "out"
    status = main(["reconstruct", str(exported), "--out", str(out), "--quiet", *options])
    err = capsys.readouterr().err
    if case == "default without rasterio":
        assert status == 0 and "uncompressed and untiled, written by tifffile (rasterio is not installed" in \
            (out / "report.txt").read_text()
        return
    message = {"cog without rasterio": "--format cog needs rasterio", "las without laspy": "--las needs laspy",
               "gdal fails": "heights.tif: GDAL could not write it as a Cloud-Optimized GeoTIFF (full)"}[case]
    assert status == 2 and message in err and "Traceback" not in err
    assert not out.exists(), "a refused or failed run left its folder"
