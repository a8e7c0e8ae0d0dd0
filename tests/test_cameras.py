"""Camera importers: round trips through the writers, the files COLMAP itself
writes (through pycolmap), OpenSfM's documented formulas worked by hand, an
image resized by averaging, and the refusals."""
import json
import re
import struct

import numpy as np
import pytest

from quiltmap import Camera, GroundGrid, _mvs
from quiltmap.cameras import ModelError, read_colmap, read_opensfm, scaled, write_colmap_text, write_opensfm
from quiltmap.demo import photograph, views_of

NADIR = np.diag([1.0, -1.0, -1.0])  # a half turn about x: the quaternion's w is 0
GROUND = np.random.default_rng(2).uniform([-20, -20, 0], [20, 20, 10], (12, 3))


def rotation(axis, angle):
    """Rodrigues' formula, written out."""
    k = np.asarray(axis, np.float64) / np.linalg.norm(axis)
    K = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
    return np.eye(3) + np.sin(angle) * K + (1 - np.cos(angle)) * K @ K


@pytest.fixture(scope="module")
def cameras():
    """The demonstration's cameras and three whose rotations take the other
    branches of the quaternion's extraction, all looking down on GROUND."""
    hand = [Camera(NADIR, [3.0, -2.0, 90.0], 1234.5, -0.2, 0.05, 611.25, 380.75, 1200, 800, name="nadir"),
            Camera(rotation([0, 0, 1], 2.5) @ NADIR, [-9.0, 4.0, 120.0], 800.0, 0.1, -0.01, 300.0, 420.5, 640, 960,
                   name="yawed-portrait"),
            Camera(rotation([1, 1, 0], 0.5) @ NADIR, [20.0, -15.0, 100.0], 950.0, 0.0, 0.0, 401.0, 298.0, 800, 600,
                   name="oblique")]
    return {c.name: c for c in [v.camera for v in views_of(photograph(size=32, seed=5))] + hand}


def values(c):
    return [*c.R.ravel(), *c.C, c.f, c.k1, c.k2, c.cx, c.cy, c.width, c.height]


@pytest.mark.parametrize("write, read, target", [(write_colmap_text, read_colmap, "sparse"),
                                                 (write_opensfm, read_opensfm, "reconstruction.json")])
def test_written_cameras_read_back(cameras, tmp_path, write, read, target):
    model = read(write(tmp_path / target, cameras, GROUND))
    assert [c.name for c in model.cameras.values()] == list(model.cameras) == list(cameras)
    np.testing.assert_allclose([values(c) for c in model.cameras.values()], [values(c) for c in cameras.values()],
                               rtol=1e-12, atol=1e-12)
    np.testing.assert_array_equal(model.points, GROUND)
    assert np.isnan(model.point_errors).all() and (model.point_views == 0).all()  # neither writer has them


def colmap_reconstruction(pycolmap, models, rng):
    """One image per camera, each camera its own rig, above GROUND; every
    other point seen by every image, the rest by all but the last."""
    reconstruction = pycolmap.Reconstruction()
    for i, (model, params) in enumerate(models, 1):
        camera = pycolmap.Camera(camera_id=i, model=model, width=800, height=600, params=params)
        rig, frame = pycolmap.Rig(rig_id=i), pycolmap.Frame(frame_id=i, rig_id=i)
        rig.add_ref_sensor(camera.sensor_id)
        R = rotation(rng.normal(size=3), rng.uniform(0, 0.3)) @ rotation([0, 0, 1], rng.uniform(0, 6)) @ NADIR
        t = -R @ [*rng.uniform(-10, 10, 2), rng.uniform(80, 120)]
        frame.rig_from_world = pycolmap.Rigid3d(pycolmap.Rotation3d(R), t)
        keypoints = camera.img_from_cam(GROUND @ R.T + t) + rng.normal(0, 0.3, (len(GROUND), 2))
        image = pycolmap.Image(name=f"{model}.jpg", keypoints=keypoints, camera_id=i, image_id=i)
        frame.add_data_id(image.data_id)
        image.frame_id = i
        for add, item in [("camera", camera), ("rig", rig), ("frame", frame), ("image", image)]:
            getattr(reconstruction, f"add_{add}")(item)
        reconstruction.register_frame(i)
    for j, point in enumerate(GROUND):
        reconstruction.add_point3D(point, pycolmap.Track([pycolmap.TrackElement(i, j)
                                                          for i in range(1, len(models) + 1 - j % 2)]))
    reconstruction.update_point_3d_errors()
    return reconstruction


READ_MODELS = [("SIMPLE_PINHOLE", [900.0, 400.3, 300.1]), ("PINHOLE", [910.0, 910.0, 410.0, 290.0]),
               ("SIMPLE_RADIAL", [950.0, 395.5, 305.5, -0.08]), ("RADIAL", [1000.0, 402.0, 298.0, -0.1, 0.02]),
               ("OPENCV", [980.0, 980.0, 399.0, 301.0, 0.05, -0.01, 0.0, 0.0])]


@pytest.mark.parametrize("write", ["write_text", "write_binary"])
def test_colmap_files_project_as_colmap_does(tmp_path, write):
    """Our projection is COLMAP's less half a pixel, for every model read, from its text and binary files."""
    pycolmap = pytest.importorskip("pycolmap")
    rng = np.random.default_rng(4)
    reconstruction = colmap_reconstruction(pycolmap, READ_MODELS, rng)
    getattr(reconstruction, write)(str(tmp_path))
    model = read_colmap(tmp_path)
    assert sorted(model.cameras) == sorted(f"{name}.jpg" for name, _ in READ_MODELS)
    probes = np.vstack([GROUND, rng.uniform([-30, -30, -5], [30, 30, 20], (20, 3))])
    for image in reconstruction.images.values():
        camera = model.cameras[image.name]
        u, v, depth = camera.project(probes)
        assert (depth > 0).all()
        expected = np.array([image.project_point(p) for p in probes]) - 0.5
        np.testing.assert_allclose(np.stack([u, v], axis=-1), expected, rtol=0, atol=1e-9)
        np.testing.assert_allclose(camera.C, image.projection_center(), rtol=0, atol=1e-9)
    expected = np.array([[*p.xyz, p.error, p.track.length()] for p in reconstruction.points3D.values()])
    got = np.column_stack([model.points, model.point_errors, model.point_views])
    np.testing.assert_allclose(got[np.lexsort(got.T[::-1])], expected[np.lexsort(expected.T[::-1])], rtol=1e-12)
    assert (model.point_errors > 0).all() and set(model.point_views) == {len(READ_MODELS) - 1, len(READ_MODELS)}


@pytest.mark.parametrize("model, params, message", [
    ("OPENCV_FISHEYE", [900, 900, 400, 300, 0.1, 0, 0, 0],
     r"model (id 5 \()?OPENCV_FISHEYE\)?, which is not read \(read: SIMPLE_PINHOLE, PINHOLE, SIMPLE_RADIAL, RADIAL, "
     r"OPENCV\)"),
    ("OPENCV", [900, 900, 400, 300, 0.1, 0, 0.001, 0], "p1 = 0.001 is tangential distortion"),
    ("PINHOLE", [900, 900.001, 400, 300], "focal lengths fx = 900.0 and fy = 900.001 differ"),
])
@pytest.mark.parametrize("write, file", [("write_text", "cameras.txt"), ("write_binary", "cameras.bin")])
def test_colmap_models_refused(tmp_path, model, params, message, write, file):
    pycolmap = pytest.importorskip("pycolmap")
    reconstruction = colmap_reconstruction(pycolmap, [READ_MODELS[0], (model, params)], np.random.default_rng(1))
    getattr(reconstruction, write)(str(tmp_path))
    with pytest.raises(ModelError, match=re.escape(f"{tmp_path / file}: ") + ".*camera 2.*" + message):
        read_colmap(tmp_path)


def test_opensfm_cameras_project_by_the_documented_formulas(tmp_path):
    cameras = {"phone": {"projection_type": "perspective", "width": 800, "height": 600, "focal": 0.9, "k1": -0.05,
                         "k2": 0.01},
               "survey": {"projection_type": "brown", "width": 600, "height": 900, "focal_x": 1.1, "focal_y": 1.1,
                          "c_x": 0.01, "c_y": -0.02, "k1": 0.03, "k2": -0.004, "p1": 0.0, "p2": 0.0, "k3": 0.0}}
    shots = {"a.jpg": {"camera": "phone", "rotation": [3.0, 0.2, -0.1], "translation": [1.0, -2.0, 50.0]},
             "b.jpg": {"camera": "survey", "rotation": [0.1, 3.1, 0.0], "translation": [-3.0, 0.5, 60.0]}}
    points = {"7": {"coordinates": [1.5, -2.0, 3.0]}, "9": {"coordinates": [-4.0, 6.0, 1.0], "reprojection_error": 0.4}}
    largest = {"cameras": cameras, "shots": shots, "points": points,
               "reference_lla": {"latitude": 52.1, "longitude": 4.3, "altitude": 12.0}}
    smaller = {"cameras": cameras, "shots": {"c.jpg": shots["a.jpg"]}, "points": points}
    (tmp_path / "reconstruction.json").write_text(json.dumps([smaller, largest]))
    model = read_opensfm(tmp_path / "reconstruction.json")
    assert list(model.cameras) == ["a.jpg", "b.jpg"] and model.reference_lla == (52.1, 4.3, 12.0)
    np.testing.assert_array_equal(np.column_stack([model.points, model.point_errors]),
                                  [[1.5, -2.0, 3.0, np.nan], [-4.0, 6.0, 1.0, 0.4]])
    for name, shot in shots.items():
        c, r = cameras[shot["camera"]], np.array(shot["rotation"])
        x, y, z = rotation(r, np.linalg.norm(r)) @ model.points.T + np.array(shot["translation"])[:, None]
        r2 = (x / z) ** 2 + (y / z) ** 2
        fd = c.get("focal", c.get("focal_x")) * (1 + c["k1"] * r2 + c["k2"] * r2 ** 2)
        normalized = np.array([fd * x / z + c.get("c_x", 0), fd * y / z + c.get("c_y", 0)])
        pixels = max(c["width"], c["height"]) * normalized + [[(c["width"] - 1) / 2], [(c["height"] - 1) / 2]]
        np.testing.assert_allclose(model.cameras[name].project(model.points)[:2], pixels, rtol=1e-12)


@pytest.mark.parametrize("own, beside, expected", [((1.0, 2.0, 3.0), (7.0, 8.0, 9.0), (1.0, 2.0, 3.0)),
                                                   (None, (52.0, 4.0, -3.5), (52.0, 4.0, -3.5)),
                                                   (None, None, None)])
def test_opensfm_reference_lla(cameras, tmp_path, own, beside, expected):
    if beside is not None:
        (tmp_path / "reference_lla.json").write_text(json.dumps(dict(zip(["latitude", "longitude", "altitude"],
                                                                         beside))))
    assert read_opensfm(write_opensfm(tmp_path / "reconstruction.json", cameras, GROUND, own)).reference_lla == expected


@pytest.mark.parametrize("k", [2, 4])
def test_scaled_camera_samples_the_resized_image_where_the_full_one_does(k):
    """An image whose pixels hold their own (u, v), averaged over k x k blocks
    and sampled through the scaled camera, gives the full size's positions."""
    camera = Camera(rotation([1, 0.5, 0], 0.2) @ NADIR, [0.0, 0.0, 50.0], 40.0, -0.05, 0.01, 30.2, 20.7, 64, 48)
    v, u = np.mgrid[0:48, 0:64].astype(np.float32)
    small = np.ascontiguousarray(np.stack([u, v], axis=-1).reshape(48 // k, k, 64 // k, k, 2).mean(axis=(1, 3)))
    c = scaled(camera, 64 // k, 48 // k)
    grid = GroundGrid(-30.0, 22.0, 1.0, 44, 60)
    Z = np.random.default_rng(3).uniform(0, 3, grid.shape).astype(np.float32)
    out, valid = np.zeros(grid.shape + (2,), np.float32), np.zeros(grid.shape, np.uint8)
    _mvs.sample_view(small, c.R, c.C, c.f, c.k1, c.k2, c.cx, c.cy, grid.X0, grid.Y0, grid.gsd, Z, out, valid)
    full = np.stack(camera.project(np.stack([*grid.centres(), Z], axis=-1))[:2], axis=-1)
    assert valid.mean() > 0.5
    np.testing.assert_allclose(out[valid.astype(bool)], full[valid.astype(bool)], atol=1e-3)


@pytest.mark.parametrize("width, height, message", [(50, 30, "100 x 75 pixels cannot be resized uniformly to 50 x 30"),
                                                    (0, 30, "scaled.width must be a positive integer")])
def test_scaled_refuses(width, height, message):
    with pytest.raises(ValueError, match=message):
        scaled(Camera(NADIR, [0.0, 0.0, 9.0], 90.0, 0.0, 0.0, 49.5, 37.0, 100, 75), width, height)


ONE = {"a.jpg": Camera(NADIR, [0.0, 0.0, 100.0], 1000.0, 0.0, 0.0, 399.5, 299.5, 800, 600)}


def binary_model(folder, model_id, params):
    (folder / "cameras.bin").write_bytes(struct.pack(f"<QiiQQ{len(params)}d", 1, 1, model_id, 800, 600, *params))
    (folder / "images.bin").write_bytes(struct.pack("<Qi7di", 1, 1, 1, 0, 0, 0, 0, 0, 100, 1) + b"a.jpg\0" + bytes(8))
    (folder / "points3D.bin").write_bytes(struct.pack("<QQ3d3BdQ", 1, 1, 0, 0, 0, 0, 0, 0, -1, 0))


@pytest.mark.parametrize("file, edit, message", [  # edit: a (pattern, replacement) of the file's lines, or a call
    ("cameras.txt", ("^1 RADIAL .*", "1 FOV 800 600 1000 400 300 0.1"), "line 2: camera 1 has model FOV, which is not"),
    ("cameras.txt", ("^1 RADIAL .*", "1 RADIAL 800 600 1000 400 300"), "line 2: malformed (RADIAL has 5 parameters"),
    ("cameras.txt", ("^1 RADIAL 800 600", "1 RADIAL 800 0"), "camera 1: Camera.height must be a positive integer"),
    ("images.txt", (" 1 a.jpg$", " 9 a.jpg"), "line 3: image 'a.jpg' refers to camera 9, which cameras.txt does not"),
    ("images.txt", ("^$", "1 2"), "line 4: malformed (the keypoints of the image above"),
    ("images.txt", (r"^1( \S+){4}", "1 0 0 0 0"), "line 3: the quaternion [0.0, 0.0, 0.0, 0.0] is not a rotation"),
    ("points3D.txt", (" -1$", " -1 1"), "line 2: malformed (POINT3D_ID X Y Z"),
    ("points3D.txt", ("^1 .*", ""), "points3D.txt: has no 3-D points"),
    ("", lambda folder: (folder / "images.txt").unlink(), "not a COLMAP model (images.txt missing)"),
    ("cameras.bin", lambda folder: binary_model(folder, 99, [1000.0, 400.0, 300.0]), "model id 99 (unknown), which"),
    ("cameras.bin", lambda folder: binary_model(folder, 3, [1000.0, 400.0, 300.0]), "camera 1: the file ends within"),
])
def test_colmap_refusals(tmp_path, file, edit, message):
    write_colmap_text(tmp_path, ONE, GROUND[:1])
    if callable(edit):
        edit(tmp_path)
    else:
        (tmp_path / file).write_text(re.sub(*edit, (tmp_path / file).read_text(), count=1, flags=re.M))
    with pytest.raises(ModelError) as info:
        read_colmap(tmp_path)
    assert str(info.value).startswith(str(tmp_path / file)) and message in str(info.value), str(info.value)


def changed(change):
    """An edit of the file's first reconstruction."""
    def edit(path):
        reconstructions = json.loads(path.read_text())
        change(reconstructions[0])
        path.write_text(json.dumps(reconstructions))
    return edit


@pytest.mark.parametrize("edit, message", [
    (changed(lambda r: r["cameras"]["a.jpg"].update(projection_type="fisheye")),
     "cameras['a.jpg']: projection type 'fisheye' is not read (read: perspective, simple_radial, radial, brown)"),
    (changed(lambda r: r["cameras"]["a.jpg"].update(p1=0.001)), "p1 = 0.001 is tangential distortion"),
    (changed(lambda r: r["cameras"]["a.jpg"].update(k3=0.001)), "k3 = 0.001 is a third radial term"),
    (changed(lambda r: r["cameras"]["a.jpg"].update(focal_y=1.26)), "focal lengths fx = 1.25 and fy = 1.26 differ"),
    (changed(lambda r: r["cameras"]["a.jpg"].pop("focal_x")), "focal_x: missing, and a brown camera has it"),
    (changed(lambda r: r["shots"]["a.jpg"].update(camera="nope")), "camera 'nope' is not among the reconstruction's"),
    (changed(lambda r: r["shots"]["a.jpg"].update(rotation=[0, 1])), "rotation: three numbers are required"),
    (changed(lambda r: r.update(points={})), "reconstruction 0: has no 3-D points"),
    (lambda path: path.write_text("[{"), "not JSON that can be read"),
    (lambda path: path.unlink(), "cannot be read (No such file or directory)"),
])
def test_opensfm_refusals(tmp_path, edit, message):
    path = write_opensfm(tmp_path / "reconstruction.json", ONE, GROUND[:1])
    edit(path)
    with pytest.raises(ModelError) as info:
        read_opensfm(path)
    assert str(info.value).startswith(str(path)) and message in str(info.value), str(info.value)
