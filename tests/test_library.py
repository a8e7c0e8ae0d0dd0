"""The public library: validated value types, the steps one by one against the
one call, and the conventions the documentation states."""
import numpy as np
import pytest

import quiltmap
from quiltmap import Camera, GroundGrid, Settings, View, _mvs
from quiltmap.demo import photograph, views_of

NADIR = dict(R=np.diag([1.0, -1.0, -1.0]), C=[0.0, 0.0, 50.0], f=40.0, k1=-0.05, k2=0.01, cx=31.5, cy=23.5,
             width=64, height=48)


def tilted(angle):
    c, s = np.cos(angle), np.sin(angle)
    return np.diag([1.0, -1.0, -1.0]) @ np.array([[1, 0, 0], [0, c, -s], [0, s, c]])


@pytest.mark.parametrize("field, value, message", [
    ("f", 0.0, "Camera.f must be positive"),
    ("f", float("nan"), "Camera.f must be finite"),
    ("k1", "x", "Camera.k1 must be a number"),
    ("cx", float("inf"), "Camera.cx must be finite"),
    ("R", np.diag([1.0, -1.0, -1.001]), "Camera.R must be orthonormal"),
    ("R", np.eye(2), "Camera.R must have shape (3, 3)"),
    ("C", [0.0, 1.0], "Camera.C must have shape (3,)"),
    ("C", [0.0, np.nan, 1.0], "Camera.C must be finite"),
    ("width", 0, "Camera.width must be a positive integer"),
    ("height", 2.5, "Camera.height must be a positive integer"),
])
def test_camera_refuses(field, value, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        Camera(**dict(NADIR, **{field: value}))


def test_camera_accepts_rotations_within_tolerance():
    camera = Camera(**dict(NADIR, R=tilted(0.3) + 1e-8))
    assert camera.R.dtype == np.float64 and not camera.R.flags.writeable
    assert camera.off_nadir == pytest.approx(np.degrees(0.3))


@pytest.mark.parametrize("fields, message", [
    ((0.0, 0.0, 0.0, 4, 4), "GroundGrid.gsd must be positive"),
    ((np.inf, 0.0, 1.0, 4, 4), "GroundGrid.X0 must be finite"),
    ((0.0, 0.0, 1.0, 0, 4), "GroundGrid.rows must be a positive integer"),
    ((0.0, 0.0, 1.0, 4, True), "GroundGrid.columns must be a positive integer"),
])
def test_grid_refuses(fields, message):
    with pytest.raises(ValueError, match=message):
        GroundGrid(*fields)


@pytest.mark.parametrize("field, value", [("labels", 2), ("window", 0), ("P1", -1.0), ("sigma_r", np.inf),
                                          ("radius", 1.5)])
def test_settings_refuse(field, value):
    with pytest.raises(ValueError, match=f"Settings.{field} must be"):
        Settings(**{field: value})


def test_projection_convention_is_the_kernels():
    """A cell samples the image where Camera.project puts its ground point:
    on an image whose channels are u and v themselves, the samples are the
    projected positions, (0, 0) being the top-left pixel's centre."""
    camera = Camera(**dict(NADIR, R=tilted(0.2)))
    grid = GroundGrid(-6.0, 4.0, 0.5, 16, 24)
    v, u = np.mgrid[0:camera.height, 0:camera.width].astype(np.float32)
    image = np.ascontiguousarray(np.stack([u, v], axis=-1))
    Z = np.random.default_rng(1).uniform(0, 3, grid.shape).astype(np.float32)
    out = np.zeros(grid.shape + (2,), np.float32)
    valid = np.zeros(grid.shape, np.uint8)
    _mvs.sample_view(image, camera.R, camera.C, camera.f, camera.k1, camera.k2, camera.cx, camera.cy,
                     grid.X0, grid.Y0, grid.gsd, Z, out, valid)
    X, Y = grid.centres()
    pu, pv, depth = camera.project(np.stack([X, Y, Z], axis=-1))
    inside = (depth > 1e-6) & (pu >= 0) & (pv >= 0) & (pu <= camera.width - 1) & (pv <= camera.height - 1)
    assert valid.any() and (valid.astype(bool) == inside).all()
    np.testing.assert_allclose(out[..., 0][inside], pu[inside], atol=1e-4)
    np.testing.assert_allclose(out[..., 1][inside], pv[inside], atol=1e-4)


@pytest.fixture(scope="module")
def small_survey():
    survey = photograph(size=32, seed=3)
    return views_of(survey), survey.scene.grid, survey.scene.z_range


def test_reconstruct_is_its_steps(small_survey):
    views, grid, z_range = small_survey
    settings = Settings(labels=24)
    result = quiltmap.reconstruct(views, grid, z_range, settings)
    heights = np.linspace(*z_range, settings.labels)
    costs, seen = quiltmap.plane_sweep(views, grid, heights, (0, 1), settings)
    picks = [quiltmap.select_heights(quiltmap.aggregate(c, settings), heights, settings) for c in costs]
    matched, raw = quiltmap.consistency_mask(picks, seen, heights, settings)
    smooth = quiltmap.filter_heights(raw, matched, settings)
    filled = quiltmap.fill_holes(smooth, matched)
    mosaic, source = quiltmap.orthomosaic(views, grid, filled)
    for got, expected in [(result.raw, raw), (result.heights, smooth), (result.filled, filled),
                          (result.orthomosaic, mosaic)]:
        np.testing.assert_array_equal(got, expected)
    assert (result.matched == matched).all() and (result.source == source).all()
    assert matched.mean() > 0.5
    assert set(result.stage_times) == {"plane sweep", "semi-global matching", "consistency", "height filter",
                                       "orthomosaic"}
    assert len(result.kernel_times["sgm"]) == 2 and len(result.kernel_times["bilateral"]) == 1


@pytest.mark.parametrize("change, error, message", [
    (lambda v, g, z: (v[:1], g, z), ValueError, "at least 2 views"),
    (lambda v, g, z: ([v[0], View(v[1].camera, v[1].image[:-1])] + v[2:], g, z), ValueError,
     r"views\[1\].image must be a float32 array of shape"),
    (lambda v, g, z: ([v[0], View(v[1].camera, v[1].image.astype(np.int32))] + v[2:], g, z), ValueError,
     r"views\[1\].image: an image's pixels must be uint8, uint16 or float, not int32"),
    (lambda v, g, z: ([v[0], (v[1].camera, v[1].image)] + v[2:], g, z), TypeError, r"views\[1\] must be"),
    (lambda v, g, z: (v, (g.X0, g.Y0, g.gsd, g.H, g.W), z), TypeError, "grid must be a quiltmap.GroundGrid"),
    (lambda v, g, z: (v, g, (z[1], z[0])), ValueError, "z_range must be two finite heights"),
])
def test_reconstruct_refuses_bad_surveys(small_survey, change, error, message):
    views, grid, z_range = change(*small_survey)
    with pytest.raises(error, match=message):
        quiltmap.reconstruct(views, grid, z_range, Settings(labels=8))


def test_version():
    assert quiltmap.__version__.count(".") >= 2
