"""The command on a survey exported by the demonstration: the same heights and
orthomosaic as the library call, georeferenced GeoTIFF files, and one clear
message (and no file) for every kind of bad input."""
import numpy as np
import pytest

tifffile = pytest.importorskip("tifffile")
pytest.importorskip("PIL")

import quiltmap  # noqa: E402
from quiltmap.__main__ import main  # noqa: E402
from quiltmap.survey import load_survey, write_geotiff  # noqa: E402
from conftest import broken  # noqa: E402




def test_command_equals_the_library(exported, tmp_path):
    """The plain GeoTIFF format: today's files, byte for byte (test_gis.py checks the COG format)."""
    out = tmp_path / "out"
    assert main(["reconstruct", str(exported), "--out", str(out), "--quiet", "--format", "geotiff"]) == 0
    survey = load_survey(exported)
    expected = quiltmap.reconstruct(survey.views, survey.grid, survey.z_range, survey.settings)
    write_geotiff(tmp_path / "heights.tif", expected.heights, survey.grid, survey.epsg)
    assert (out / "heights.tif").read_bytes() == (tmp_path / "heights.tif").read_bytes()
    with tifffile.TiffFile(out / "heights.tif") as tif:
        heights = tif.asarray()
        tags = {tag.code: tag.value for tag in tif.pages[0].tags}
    np.testing.assert_array_equal(heights, expected.heights)  # NaN where unmatched, on both sides
    np.testing.assert_array_equal(tifffile.imread(out / "orthomosaic.tif"), expected.orthomosaic)
    grid = survey.grid
    assert tags[33550][:2] == (grid.gsd, grid.gsd)
    assert tags[33922][3:5] == (grid.X0, grid.Y0)
    assert tags[42113] == "nan"
    assert (out / "preview.png").stat().st_size > 0
    assert "matched cells" in (out / "report.txt").read_text()
    assert not list(out.glob(".*partial"))


def damage(description, folder):
    (folder / description["images"][1]["path"]).write_bytes(b"not an image")


def look_away(description, folder):
    description["images"][2]["camera"]["C"][2] = -1000.0  # far below the ground, looking down


@pytest.mark.parametrize("edit, message", [
    (lambda d, f: d.pop("grid"), "grid: an object is required"),
    (lambda d, f: d["grid"].update(gsd=-1), "grid: GroundGrid.gsd must be positive"),
    (lambda d, f: d["heights"].update(lowest=100.0), "heights: lowest (100.0) must be below highest"),
    (lambda d, f: d["images"][0].update(path="missing.tif"), "images[0].path: missing.tif does not exist"),
    (damage, "images[1].path: view_1.tif cannot be read as an image"),
    (lambda d, f: d["images"][0]["camera"].update(f=0), "images[0].camera: Camera.f must be positive"),
    (lambda d, f: d["images"][1]["camera"].update(R=[[1, 0, 0], [0, 1, 0], [0, 0, 2]]),
     "images[1].camera: Camera.R must be orthonormal"),
    (look_away, "images[2].camera: sees none of the grid"),
    (lambda d, f: d.update(settings={"lables": 9}), "settings: unknown key 'lables'"),
    (lambda d, f: d.update(references=[0, 0]), "references: two different image indices"),
])
def test_bad_surveys_end_with_one_message(exported, tmp_path, capsys, edit, message):
    survey = broken(exported, tmp_path, edit)
    out = tmp_path / "out"
    assert main(["reconstruct", str(survey), "--out", str(out), "--quiet"]) == 2
    err = capsys.readouterr().err
    assert err.startswith("quiltmap: error: ") and message in err and "Traceback" not in err
    assert not list(out.glob("*")), "something was written for a refused survey"


@pytest.mark.parametrize("problem", ["missing survey", "out is a file"])
def test_bad_paths_end_with_one_message(exported, tmp_path, capsys, problem):
    survey, out = exported, tmp_path / "out"
    if problem == "missing survey":
        survey = tmp_path / "nowhere.json"
    else:
        out.write_text("a file")
    assert main(["reconstruct", str(survey), "--out", str(out), "--quiet"]) == 2
    assert capsys.readouterr().err.startswith("quiltmap: error: ")


def test_tiled_command_equals_the_tiled_library(exported_town, tmp_path):
    from quiltmap.tiled import Tiling, reconstruct_tiled

    out = tmp_path / "out"
    assert main(["reconstruct", str(exported_town), "--out", str(out), "--tile", "64", "--margin", "16",
                 "--quiet", "--format", "geotiff"]) == 0
    survey = load_survey(exported_town, lazy=True)
    expected = reconstruct_tiled(survey.views, survey.grid, survey.z_range, survey.settings,
                                 tiling=Tiling(64, 16))
    for name in ("heights", "filled", "raw", "matched", "orthomosaic", "source"):
        with tifffile.TiffFile(out / f"{name}.tif") as tif:
            np.testing.assert_array_equal(tif.asarray().view(getattr(expected, name).dtype),
                                          getattr(expected, name), err_msg=name)
            tags = {tag.code: tag.value for tag in tif.pages[0].tags}
        assert tags[33922][3:5] == (survey.grid.X0, survey.grid.Y0)
    assert "tiles: 64 x 64 cells with a margin of 16" in (out / "report.txt").read_text()
    assert not list(out.glob(".*"))


@pytest.mark.parametrize("options, message", [
    (["--tile", "100"], "--tile must be a multiple of 64 cells, not 100"),
    (["--tile", "64", "--margin", "128"], "--tile (64) is smaller than --margin (128)"),
    (["--margin", "1"], "--margin (1) must be at least Settings.radius (3)"),
    (["--scheduler", "tcp://127.0.0.1:9"], "cannot reach the Dask scheduler at tcp://127.0.0.1:9"),
    (["--scheduler", "cloud"], "scheduler must be 'threads', 'cluster' or a Dask scheduler's address"),
])
def test_bad_tiled_options_end_with_one_message(exported, tmp_path, capsys, options, message):
    pytest.importorskip("dask")
    out = tmp_path / "out"
    assert main(["reconstruct", str(exported), "--out", str(out), "--quiet", *options]) == 2
    err = capsys.readouterr().err
    assert err.startswith("quiltmap: error: ") and message in err and "Traceback" not in err
    assert not list(out.glob("*.tif"))
