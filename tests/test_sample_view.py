import numpy as np
import pytest

import oracles
from oracles import read_only, same_bytes
from quiltmap import Camera, GroundGrid, _mvs
from quiltmap.checks import MIN_DEPTH, sees_points

NAN, INF = float("nan"), float("inf")
UNTOUCHED = np.float32(-1234.5)  # out entries nobody wrote
UNSET = 7  # valid entries nobody wrote

# Looking straight down from 64 units up: cell (r, c) at height 0 lands on
# u = 50 + c, v = 50 + r exactly.
NADIR = dict(
    R=np.diag([1.0, -1.0, -1.0]),
    C=np.array([0.0, 0.0, 64.0]),
    f=64.0, k1=0.0, k2=0.0, cx=50.0, cy=50.0, X0=-0.5, Y0=0.5, gsd=1.0,
)
CAMERA_ARGS = ("R", "C", "f", "k1", "k2", "cx", "cy", "X0", "Y0", "gsd")


def image(h, w, nch, seed=0):
    return np.random.default_rng(seed).uniform(-5, 5, (h, w, nch)).astype(np.float32)


def heights(value, *cells, shape=(3, 4)):
    Z = np.zeros(shape, np.float32)
    for cell in cells:
        Z[cell] = value
    return Z


def sample(img, Z, out_shape=None, valid_shape=None, **camera):
    """Runs the module on read-only inputs and the oracle on like outputs; they
    must agree to the bit, and the inputs stay as they were."""
    camera = [dict(NADIR, **camera)[k] for k in CAMERA_ARGS]
    H, W = Z.shape
    out = np.full(out_shape or (H, W, 0 if img is None else img.shape[2]), UNTOUCHED, np.float32)
    valid = np.full(valid_shape or (H, W), UNSET, np.uint8)
    expected_out, expected_valid = out.copy(), valid.copy()
    oracles.sample_view(img, *camera, Z, expected_out, expected_valid)
    inputs = [img, Z, *camera[:2]]
    passed = [read_only(a) for a in inputs]
    assert _mvs.sample_view(passed[0], *passed[2:], *camera[2:], passed[1], out, valid) is None
    oracles.assert_same_floats(out, expected_out)
    np.testing.assert_array_equal(valid, expected_valid)
    assert all(a is None or same_bytes(a, b) for a, b in zip(passed, inputs)), "an input was written"
    return out, valid


def test_nadir_samples_pixels_exactly():
    img = image(60, 57, 3)
    out, valid = sample(img, np.zeros((12, 9), np.float32))
    r, c = np.mgrid[:12, :9]
    inside = (50 + c <= 56) & (50 + r <= 59)
    np.testing.assert_array_equal(valid, inside)
    assert same_bytes(out[inside], img[50 + r[inside], 50 + c[inside]])


def test_half_pixel_is_the_mean():
    img = image(60, 60, 2)
    out, _ = sample(img, np.zeros((4, 5), np.float32), cx=50.5)
    r, c = np.mgrid[:4, :5]
    left, right = img[50 + r, 50 + c].astype(np.float64), img[50 + r, 51 + c].astype(np.float64)
    assert same_bytes(out, ((left + right) / 2).astype(np.float32))


def above(height):
    return dict(C=np.array([0.0, 0.0, height]))


@pytest.mark.parametrize("shape, height, camera, sampled", [
    # On the optical axis, so the cell projects to (cx, cy).
    ((101, 101, 1), 0.0, above(1e-6), False),  # depth exactly 1e-6
    ((101, 101, 1), 0.0, above(2e-6), True),
    ((101, 101, 1), 65.0, {}, False),  # behind the camera, though u, v = 50, 50
    ((101, 101, 1), 63.0, {}, True),
    ((101, 101, 1), 64.0, {}, False),  # on the camera's plane
    ((8, 6, 2), 0.0, dict(cx=5.0, cy=3.0), True),  # u = w - 1 exactly
    ((8, 6, 2), 0.0, dict(cx=5.0 + 1e-9, cy=3.0), False),
    ((8, 6, 2), 0.0, dict(cx=0.0, cy=3.0), True),
    ((8, 6, 2), 0.0, dict(cx=-1e-9, cy=3.0), False),  # would truncate to column 0
    ((8, 6, 2), 0.0, dict(cx=-0.5, cy=3.0), False),
    ((8, 6, 2), 0.0, dict(cx=2.0, cy=7.0), True),  # v = h - 1 exactly
    ((8, 6, 2), 0.0, dict(cx=2.0, cy=7.0 + 1e-9), False),
    ((8, 6, 2), 0.0, dict(cx=2.0, cy=-0.25), False),
    ((5, 1, 2), 0.0, dict(cx=0.0, cy=2.5), True),  # one column: only u = 0
    ((5, 1, 2), 0.0, dict(cx=1e-9, cy=2.5), False),
    ((5, 1, 2), 0.0, dict(cx=-1e-9, cy=2.5), False),
    ((1, 5, 2), 0.0, dict(cx=2.5, cy=0.0), True),  # one row: only v = 0
    ((1, 5, 2), 0.0, dict(cx=2.5, cy=1e-9), False),
    ((1, 1, 2), 0.0, dict(cx=0.0, cy=0.0), True),
])
def test_depth_limit_and_image_border(shape, height, camera, sampled):
    _, valid = sample(image(*shape), np.full((1, 1), height, np.float32), **camera)
    assert valid[0, 0] == sampled


@pytest.mark.parametrize("bad", [NAN, INF, -INF])
@pytest.mark.parametrize("at", [(50, 51), (51, 50), (51, 51)])
def test_non_finite_pixel_with_zero_weight(bad, at):
    img = image(60, 60, 2)
    img[at + (0,)] = bad
    out, _ = sample(img, np.zeros((1, 1), np.float32))  # u = v = 50: weights 1, 0, 0, 0
    assert np.isnan(out[0, 0, 0])  # 0 * non-finite is computed, not skipped


BIG_R = np.full((4, 5), 99.0)
BIG_R[:3, :3] = NADIR["R"]


@pytest.mark.parametrize("img, Z, options", [
    pytest.param(image(60, 55, 0), np.zeros((3, 8), np.float32), {}, id="no-channels"),
    pytest.param(image(60, 54, 2), np.zeros((3, 6), np.float32), dict(out_shape=(5, 9, 4), valid_shape=(4, 8)),
                 id="outputs-larger-than-the-grid"),
    *[pytest.param(image(60, 60, 2), heights(bad, (1, 2), (0, 0)), {}, id=f"height-{bad}") for bad in (NAN, INF, -INF)],
    pytest.param(image(60, 60, 2), heights(0.0), dict(cx=NAN), id="nan-camera-parameter"),
    pytest.param(None, heights(0.0), dict(out_shape=(3, 4, 2)), id="image-none"),
    pytest.param(image(60, 60, 1), heights(0.0, shape=(2, 2)), dict(R=BIG_R, C=np.array([0.0, 0.0, 64.0, 99.0])),
                 id="larger-R-and-C"),  # only the leading 3 x 3 and 3 entries are read
])
def test_grids(img, Z, options):
    sample(img, Z, **options)


@pytest.mark.parametrize("k1, k2, u", [(0.0, 0.0, 15.0), (0.1, 0.0, 16.0), (0.0, 0.1, 16.0), (-0.1, 0.0, 14.0)])
def test_radial_distortion(k1, k2, u):
    # The ground point (64, 0, 0) is at nx = 1, ny = 0: u = f d + cx with d = 1 + k1 + k2.
    img = np.broadcast_to(np.arange(20, dtype=np.float32)[None, :, None], (11, 20, 1)).copy()
    out, valid = sample(img, np.zeros((1, 1), np.float32), f=10.0, cx=5.0, cy=5.0, X0=63.5, k1=k1, k2=k2)
    assert valid[0, 0] == 1 and abs(out[0, 0, 0] - u) < 1e-5


@pytest.mark.parametrize("Z", [np.zeros((0, 4), np.float32), np.zeros((3, 0), np.float32), None])
def test_empty_grid_writes_nothing(Z):
    out = np.full((2, 2, 1), UNTOUCHED, np.float32)
    valid = np.full((2, 2), UNSET, np.uint8)
    assert _mvs.sample_view(image(4, 4, 1), *(NADIR[k] for k in CAMERA_ARGS), Z, out, valid) is None
    assert (out == UNTOUCHED).all() and (valid == UNSET).all()
    # Without cells no other array is needed.
    assert _mvs.sample_view(None, None, None, *(NADIR[k] for k in CAMERA_ARGS[2:]), Z, None, None) is None


def random_camera(seed, H, W):
    """An oblique camera with distortion, aimed near a random edge of the grid."""
    rng = np.random.default_rng(seed)
    tilt, heading, roll = rng.uniform(0.1, 0.6), rng.uniform(0, 2 * np.pi), rng.uniform(-0.5, 0.5)

    def about(axis, angle):
        m = np.eye(3)
        i, j = [k for k in range(3) if k != axis]
        m[i, i] = m[j, j] = np.cos(angle)
        m[i, j], m[j, i] = -np.sin(angle), np.sin(angle)
        return m

    R = about(2, roll) @ about(0, tilt) @ np.diag([1.0, -1.0, -1.0]) @ about(2, heading)
    X0, Y0, gsd = rng.uniform(-3, 3), rng.uniform(-3, 3), rng.uniform(1.5, 2.5)
    along = rng.uniform(0, 1, 2)
    along[rng.integers(2)] = rng.choice([-0.1, 1.1])
    target = np.array([X0 + along[1] * W * gsd, Y0 - along[0] * H * gsd, 5.0])
    return dict(
        R=R, C=target - rng.uniform(40, 70) * R[2], f=rng.uniform(30, 60),
        k1=rng.uniform(-0.2, 0.2), k2=rng.uniform(-0.05, 0.05),
        cx=rng.uniform(20, 30), cy=rng.uniform(15, 25), X0=X0, Y0=Y0, gsd=gsd,
    )


@pytest.mark.parametrize("seed", range(6))
def test_random_cameras(seed):
    rng = np.random.default_rng(100 + seed)
    Z = rng.uniform(0, 12, (20, 23)).astype(np.float32)
    Z[rng.random(Z.shape) < 0.03] = NAN
    _, valid = sample(image(40, 51, 3, seed), Z, **random_camera(seed, *Z.shape))
    assert 0 < valid.sum() < valid.size  # the grid straddles the image border


@pytest.mark.parametrize("seed", range(6))
def test_landing_exactly_on_the_first_pixel(seed):
    # The principal point is chosen so that one cell lands on u = v = 0
    # exactly.  Channel 0 has +inf in column 1 and channel 1 in row 1: with
    # weight exactly 0 each gives NaN, with the weight of a position one unit
    # in the last place too far it gives inf, and a position too near is not
    # sampled.  So the kernel's geometry must round exactly like the steps.
    H, W = 9, 11
    camera = random_camera(seed, H, W)
    Z = np.random.default_rng(200 + seed).uniform(0, 12, (H, W)).astype(np.float32)
    _, u, v = oracles.project(**dict(camera, cx=0.0, cy=0.0), Z=Z)
    img = image(40, 51, 2, seed)
    img[0, 1, 0] = img[1, 0, 1] = INF
    for r, c in np.random.default_rng(seed).integers((H, W), size=(12, 2)):
        camera.update(cx=-u[r, c], cy=-v[r, c])
        out, valid = sample(img, Z, **camera)
        assert valid[r, c] == 1 and np.isnan(out[r, c]).all(), (r, c)


def test_needs_no_np(restore_np):
    del _mvs.np
    sample(image(60, 60, 2), np.zeros((3, 4), np.float32))


@pytest.mark.parametrize("depth_in_min_depths", [0.25, 0.999, 1.0, 1.001, 4.0])
def test_the_kernel_and_the_library_agree_on_the_smallest_depth_in_front(depth_in_min_depths):
    """A point just in front of the camera counts as seen by both sides, or by neither."""
    # A nadir camera at height 0 and one cell right below it, at -depth.
    camera = Camera(np.diag([1.0, -1.0, -1.0]), np.zeros(3), 1.0, 0.0, 0.0, 1.0, 1.0, 3, 3)
    grid = GroundGrid(-0.5, 0.5, 1.0, 1, 1)
    Z = np.full((1, 1), -depth_in_min_depths * MIN_DEPTH, np.float32)
    depth = -float(Z[0, 0])  # the float32 height the kernel sees
    out, valid = np.zeros((1, 1, 1), np.float32), np.full((1, 1), 7, np.uint8)
    _mvs.sample_view(np.ones((3, 3, 1), np.float32), camera.R, camera.C, camera.f, camera.k1, camera.k2, camera.cx,
                     camera.cy, grid.X0, grid.Y0, grid.gsd, Z, out, valid)
    library = bool(sees_points(camera, np.array([0.0, 0.0, -depth])))
    assert library == bool(valid[0, 0]) == (depth > MIN_DEPTH)
