"""Georeferencing: cameras of a known world frame, carried into a model frame
by a known similarity, come back from noisy positions; tables and EXIF are
read; the attitude and projection conventions hold at known places."""
import math
from pathlib import Path

import numpy as np
import pytest

from quiltmap.geometry import Camera
from quiltmap.georef import (GeoreferenceError, Position, Similarity, attitude_rotation, enu_rotation_to_projected,
                             enu_to_projected, exif_positions, georeference, project, read_positions, utm_epsg)

pyproj = pytest.importorskip("pyproj")

ZONE = 32633  # central meridian 15 E; the site is 2.5 degrees east of it, where grid and true north differ
SITE = (47.0, 17.5, 300.0)
from conftest import DRONE_STRIP  # noqa: E402

DRONE_LOG = DRONE_STRIP / "geoinfo.txt"
# Camera axes from body axes: image columns run to the right wing, rows aft, the optical axis down.
CAMERA_FROM_BODY = np.array([[0.0, 1.0, 0.0], [-1.0, 0.0, 0.0], [0.0, 0.0, 1.0]])


def random_rotation(rng):
    q = rng.normal(size=4)
    w, x, y, z = q / np.linalg.norm(q)
    return np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)],
                     [2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)],
                     [2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)]])


def random_similarity(rng, scale):
    return Similarity(scale, random_rotation(rng), rng.normal(scale=100.0, size=3))


def world_camera(centre, attitude, grid_from_enu, kappa=0.0):
    c, s = math.cos(kappa), math.sin(kappa)
    mounting = np.array([[c, -s, 0.0], [s, c, 0.0], [0.0, 0.0, 1.0]]) @ CAMERA_FROM_BODY
    R = mounting @ (grid_from_enu @ attitude_rotation(*attitude)).T
    return Camera(R, centre, 1000.0, 0.0, 0.0, 399.5, 299.5, 800, 600)


def transform(source, target, x, y):
    return pyproj.Transformer.from_crs(source, target, always_xy=True).transform(x, y)


def survey(layout, seed=0, position_noise=1.0, attitude_noise=1.0, count=6, zigzag=0.0):
    """World cameras in ZONE, the positions a log would give of them, and a model of them
    (whose frame is a known similarity away): a grid, or a line of `count` photographs
    40 m apart, each `zigzag` metres to one side of it and the next to the other."""
    rng = np.random.default_rng(seed)
    east0, north0 = transform("EPSG:4326", f"EPSG:{ZONE}", SITE[1], SITE[0])
    if layout == "grid":
        rows, columns = np.mgrid[0:3, 0:4]
        plan = np.stack([columns.ravel() * 60.0, rows.ravel() * 80.0], axis=1)
        headings = np.where(rows.ravel() % 2, 180.0, 0.0)
        heights = np.full(len(plan), 300.0)
    else:
        along, aside = np.arange(count) * 40.0, zigzag * (-1.0) ** np.arange(count)
        plan = np.outer(along, (math.sin(math.radians(37)), math.cos(math.radians(37))))
        plan += np.outer(aside, (math.cos(math.radians(37)), -math.sin(math.radians(37))))
        headings = np.full(len(plan), 37.0)
        heights = 150 + rng.uniform(-2, 2, len(plan))
    centres = np.column_stack([plan + (east0, north0), heights])
    attitudes = np.column_stack([headings, rng.uniform(-5, 5, (len(plan), 2))])
    grid_from_enu = enu_rotation_to_projected(SITE, ZONE)
    names = [f"IMG_{i:04d}.JPG" for i in range(len(plan))]
    world = {n: world_camera(c, a, grid_from_enu, kappa=rng.uniform(-0.3, 0.3))
             for n, c, a in zip(names, centres, attitudes)}
    noisy = centres + rng.normal(scale=position_noise, size=centres.shape)
    lon, lat = transform(f"EPSG:{ZONE}", "EPSG:4326", noisy[:, 0], noisy[:, 1])
    logged = attitudes + rng.normal(scale=attitude_noise, size=attitudes.shape)
    positions = {n: Position(n, la, lo, z, *a) for n, la, lo, z, a in zip(names, lat, lon, noisy[:, 2], logged)}
    truth = random_similarity(rng, 20.0)
    model = {n: truth.inverse().camera(c) for n, c in world.items()}
    return world, positions, model, truth


def optical_axis_error(a, b):
    return math.degrees(math.acos(min(1.0, float(a.R[2] @ b.R[2]))))


@pytest.mark.parametrize("layout, collinear", [("grid", False), ("line", True)])
def test_recovers_known_cameras(layout, collinear):
    world, positions, model, truth = survey(layout)
    fit = georeference(model, positions)
    assert fit.epsg == ZONE and fit.collinear == collinear
    assert fit.similarity.scale == pytest.approx(truth.scale, rel=0.01)
    for name, camera in model.items():
        placed = fit.similarity.camera(camera)
        assert np.linalg.norm(placed.C - world[name].C) < 3.0
        assert optical_axis_error(placed, world[name]) < 1.0
    assert 0.3 < fit.rms < 3.0 and set(fit.residuals) == set(model)
    assert f"EPSG:{ZONE}" in fit.report() and ("one line" in fit.report()) == collinear


@pytest.mark.parametrize("layout", ["grid", "line"])
def test_result_does_not_depend_on_the_models_frame(layout):
    _, positions, model, _ = survey(layout, seed=1)
    other = random_similarity(np.random.default_rng(7), 0.3)
    moved = {name: other.camera(camera) for name, camera in model.items()}
    first, second = georeference(model, positions), georeference(moved, positions)
    for name in model:
        a, b = first.similarity.camera(model[name]), second.similarity.camera(moved[name])
        np.testing.assert_allclose(a.R, b.R, atol=1e-9)
        np.testing.assert_allclose(a.C, b.C, atol=1e-6)


def test_a_wrong_position_stands_out_in_the_residuals():
    _, positions, model, _ = survey("grid", seed=2)
    positions["IMG_0005.JPG"].latitude += 40 / 111_000  # 40 m north
    fit = georeference(model, positions)
    worst = max(fit.residuals, key=lambda name: np.linalg.norm(fit.residuals[name]))
    assert worst == "IMG_0005.JPG" and fit.residuals[worst][1] < -20


@pytest.mark.parametrize("stripped, message", [
    (slice(None), r"almost on one line \(off-line RMS [\d.]+ m over [12]\d\d\.\d m\), so the rotation about it is free"
                  r".*heading, pitch and roll"),
    (slice(2, 3), r"IMG_0002.JPG have none"),
])
def test_a_line_without_attitudes_is_refused(stripped, message):
    _, positions, model, _ = survey("line")
    for name in list(positions)[stripped]:
        positions[name].heading = positions[name].pitch = positions[name].roll = None
    with pytest.raises(GeoreferenceError, match=message):
        georeference(model, positions)


@pytest.mark.parametrize("zigzag, position_error, collinear", [
    (12.0, 3.0, True),  # off the line by more than the error, but little beside its 600 m
    (25.0, 3.0, False),
    (25.0, 10.0, True),  # no more than the positions' error
])
def test_collinear_rule(zigzag, position_error, collinear):
    _, positions, model, _ = survey("line", count=16, zigzag=zigzag)
    for p in positions.values():
        p.heading = None
    if collinear:
        with pytest.raises(GeoreferenceError, match=r"almost on one line \(off-line RMS \d\d\.\d\d m over \d+\.\d m\)"):
            georeference(model, positions, position_error=position_error)
    else:
        assert not georeference(model, positions, position_error=position_error).collinear


def test_carried_points_image_where_they_did():
    rng = np.random.default_rng(3)
    _, _, model, _ = survey("grid")
    carry = random_similarity(rng, 7.0)
    points = rng.normal(size=(20, 3)) * 2 + model["IMG_0000.JPG"].C + 5 * model["IMG_0000.JPG"].R[2]
    before = model["IMG_0000.JPG"].project(points)[:2]
    after = carry.camera(model["IMG_0000.JPG"]).project(carry.points(points))[:2]
    np.testing.assert_allclose(after, before, rtol=1e-9, atol=1e-6)
    np.testing.assert_allclose(carry.inverse().points(carry.points(points)), points, atol=1e-9)


def test_names_match_without_folders_and_case():
    _, positions, model, _ = survey("grid")
    foldered = {f"images/{name}": camera for name, camera in model.items()}
    lowered = {name.lower(): p for name, p in positions.items()}
    fit = georeference(foldered, lowered)
    assert set(fit.residuals) == set(foldered) and "case-insensitively" in fit.report()
    few = {name: lowered[name] for name in list(lowered)[:2]}
    with pytest.raises(GeoreferenceError, match=r"only 2 of the model's 12 .* none for images/IMG_0002.JPG"):
        georeference(foldered, few)
    with pytest.raises(GeoreferenceError, match="the positions name no photograph"):
        georeference(foldered, {})


def test_reads_comma_and_tab_tables(tmp_path):
    comma = tmp_path / "log.csv"
    comma.write_text("# exported\nFilename, Lat ,Lon,Alt,Yaw\n\"a, 1.jpg\",-33.5,151.25,80,90\nb.jpg,-33.6,151.3,81,\n")
    tab = tmp_path / "log.txt"
    tab.write_text("#Rev: 2\nfileName\tlatitude\tlongitude\taltitude_wgs84\taltitude_amsl\theading\tpitch\troll\t\n"
                   "c.jpg\t37.5\t139.0\t261.5\t222.4\t307.5\t5.7\t5.3\t\n")
    assert read_positions(comma) == {"a, 1.jpg": Position("a, 1.jpg", -33.5, 151.25, 80.0, 90.0),
                                     "b.jpg": Position("b.jpg", -33.6, 151.3, 81.0)}
    assert read_positions(tab) == {"c.jpg": Position("c.jpg", 37.5, 139.0, 222.4, 307.5, 5.7, 5.3)}


@pytest.mark.parametrize("table, message", [
    ("name,lat,alt\na,1,2\n", r"line 1: no longitude column"),
    ("name,lat,lon,alt\na,1,2,3\nb,1,2x,3\n", r"line 3, column 'lon': '2x' is not a longitude"),
    ("# c\nname,lat,lon,alt\na,1,2,3\na,1,2,3\n", r"line 4, column 'name': a is named again \(first on line 3\)"),
    ("name,lat,lon,alt\na,95,2,3\n", r"line 2, column 'lat': '95' is not a latitude from -90 to 90"),
    ("name,lat,lon,alt\na,1,2\n", r"line 2, column 'alt': '' is not an altitude"),
    ("name,lat,lon,alt\n", r"names no photograph"),
])
def test_refuses_bad_tables(tmp_path, table, message):
    path = tmp_path / "bad.csv"
    path.write_text(table)
    with pytest.raises(GeoreferenceError, match=r"bad\.csv.*" + message):
        read_positions(path)


def test_reads_gps_from_exif(tmp_path):
    from PIL import ExifTags, Image

    def photograph(name, gps):
        exif = Image.Exif()
        if gps:
            exif[ExifTags.Base.GPSInfo] = gps
        Image.new("RGB", (8, 8)).save(tmp_path / name, exif=exif)
        return tmp_path / name

    # Tags 1 to 6: latitude reference and value, longitude reference and value, altitude reference (1: below
    # the sea) and value.
    paths = [photograph("north.jpg", {1: "N", 2: (47.0, 30.0, 36.0), 3: "E", 4: (17.0, 0.0, 0.0),
                                      5: b"\x00", 6: 300.5}),
             photograph("south.jpg", {1: "S", 2: (33.0, 52.0, 12.0), 3: "W", 4: (70.0, 40.0, 0.0),
                                      5: b"\x01", 6: 12.0}),
             photograph("none.jpg", {})]
    positions = exif_positions(paths)
    assert list(positions) == ["north.jpg", "south.jpg"]
    north, south = positions["north.jpg"], positions["south.jpg"]
    assert (north.latitude, north.longitude, north.altitude) == pytest.approx((47.51, 17.0, 300.5))
    assert (south.latitude, south.longitude, south.altitude) == pytest.approx((-33.87, -70 - 40 / 60, -12.0))
    (tmp_path / "notes.jpg").write_text("not a photograph")
    with pytest.raises(GeoreferenceError, match="notes.jpg: cannot be read"):
        exif_positions(paths + [tmp_path / "notes.jpg"])


@pytest.mark.parametrize("latitude, longitude, epsg", [
    (37.54, 139.04, 32654), (51.5, -0.13, 32630), (-33.87, 151.21, 32756), (-0.2, -78.5, 32717),
    (60.39, 5.32, 32632), (78.6, 11.5, 32633), (0.0, 180.0, 32601),
])
def test_utm_zone(latitude, longitude, epsg):
    assert utm_epsg(latitude, longitude) == epsg


@pytest.mark.parametrize("attitude, axis", [
    ((0, 0, 0), (0, 0, -1)), ((123, 0, 0), (0, 0, -1)),
    ((0, 10, 0), (0, math.sin(0.1745329), -math.cos(0.1745329))),  # nose up: the belly faces ahead
    ((90, 10, 0), (math.sin(0.1745329), 0, -math.cos(0.1745329))),
    ((0, 0, 10), (-math.sin(0.1745329), 0, -math.cos(0.1745329))),  # right wing down: the belly faces left
    ((90, 10, 10), (math.sin(0.1745329) * math.cos(0.1745329), math.sin(0.1745329), -math.cos(0.1745329)**2)),
])
def test_attitude_convention(attitude, axis):
    np.testing.assert_allclose(attitude_rotation(*attitude)[:, 2], axis, atol=1e-7)


def test_enu_is_carried_exactly():
    origin = project({"o": Position("o", *SITE)}, ZONE)["o"]
    ends = enu_to_projected([[0, 0, 0], [10_000, 0, 0], [0, 0, 50]], SITE, ZONE)
    np.testing.assert_allclose(ends[0], origin, atol=1e-6)
    np.testing.assert_allclose(ends[2], origin + (0, 0, 50), atol=1e-6)
    radius = 6_389_600  # of the prime vertical at 47 degrees
    assert ends[1][2] - SITE[2] == pytest.approx(10_000**2 / (2 * radius), abs=0.01)  # the Earth curves away
    lon, lat = transform(f"EPSG:{ZONE}", "EPSG:4326", ends[:2, 0], ends[:2, 1])
    distance = pyproj.Geod(ellps="WGS84").inv(lon[0], lat[0], lon[1], lat[1])[2]
    assert distance == pytest.approx(10_000 * radius / (radius + SITE[2]), abs=0.02)  # on the ellipsoid, 300 m below
    # East of the central meridian in the north, true north is west of grid north by about dlon sin(lat).
    north = enu_rotation_to_projected(SITE, ZONE) @ (0, 1, 0)
    assert math.degrees(math.atan2(-north[0], north[1])) == pytest.approx(2.5 * math.sin(math.radians(47)), abs=0.005)


@pytest.mark.skipif(not DRONE_LOG.is_file(), reason="the drone-strip sample data is absent")
def test_real_flight_line():
    positions = read_positions(DRONE_LOG)
    assert list(positions) == ["IMG_2186.JPG", "IMG_2188.JPG", "IMG_2189.JPG"]
    assert positions["IMG_2188.JPG"].altitude == pytest.approx(221.3057861328)  # above the sea, not the ellipsoid
    epsg = utm_epsg(positions["IMG_2188.JPG"].latitude, positions["IMG_2188.JPG"].longitude)
    world = project(positions, epsg)
    middle = np.mean([(p.latitude, p.longitude, p.altitude) for p in positions.values()], axis=0)
    grid_from_enu = enu_rotation_to_projected(middle, epsg)
    cameras = {n: world_camera(world[n], (p.heading, p.pitch, p.roll), grid_from_enu) for n, p in positions.items()}
    rng = np.random.default_rng(4)
    truth = random_similarity(rng, 50.0)
    model = {n: truth.inverse().camera(c) for n, c in cameras.items()}
    for p in positions.values():  # a metre or so off, as GPS is (a plain fit then tilts the cameras 35 to 60 degrees)
        p.latitude, p.longitude, p.altitude = np.array([p.latitude, p.longitude, p.altitude]) + rng.normal(
            scale=(1 / 111_000, 1 / 88_000, 1.0))
    fit = georeference(model, positions)
    assert fit.collinear and fit.epsg == 32654 and fit.rms < 3.0
    for name in model:
        assert optical_axis_error(fit.similarity.camera(model[name]), cameras[name]) < 1.0
    for p in positions.values():
        p.heading = p.pitch = p.roll = None
    with pytest.raises(GeoreferenceError, match="almost on one line"):
        georeference(model, positions)
