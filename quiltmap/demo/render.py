"""Frame cameras over the scene and a ray caster that photographs it.

The cameras are the library's (quiltmap.geometry.Camera, the model that
`sample_view` uses); the photographs are rendered along its rays.
"""
import numpy as np

from ..geometry import Camera
from ..raycast import bilinear, cast
from .scene import sun_direction


def look_at(C, target, roll=0.0):
    """World-to-camera rotation for a camera at C looking at target, image
    columns roughly along +X and rows roughly along -Y (north up)."""
    z = np.asarray(target, float) - C
    z /= np.linalg.norm(z)
    x = np.cross(z, [0.0, 1.0, 0.0])
    x /= np.linalg.norm(x)
    y = np.cross(z, x)
    if roll:
        c, s = np.cos(roll), np.sin(roll)
        x, y = c * x + s * y, -s * x + c * y
    return np.stack([x, y, z])


def make_cameras(scene, rng, pixel=0.8, altitude=None, tilt=30.0):
    """Two overlapping nadir views and four obliques (north, east, south, west),
    each framed to hold the whole ground grid at every height of the scene,
    with a ground pixel of about `pixel` grid cells at the grid's centre."""
    grid = scene.grid
    extent = grid.W * grid.gsd
    # High enough above the tallest roofs that small grids are not seen from close by.
    altitude = max(2.5 * extent, 8 * scene.z_range[1]) if altitude is None else altitude
    centre = np.array([grid.X0 + extent / 2, grid.Y0 - grid.H * grid.gsd / 2, 0.0])
    poses = [("nadir-west", centre + [-0.12 * extent, 0.02 * extent, altitude], 0.0),
             ("nadir-east", centre + [0.12 * extent, -0.02 * extent, altitude], 0.0)]
    reach = altitude * np.tan(np.radians(tilt))
    for name, (ex, ey) in [("north", (0, 1)), ("east", (1, 0)), ("south", (0, -1)), ("west", (-1, 0))]:
        poses.append((f"oblique-{name}", centre + [ex * reach, ey * reach, altitude], 0.0))

    border = 6 * grid.gsd  # room for matching windows that reach past the grid
    corners = np.array([[x, y, z] for x in (grid.X0 - border, grid.X0 + extent + border)
                        for y in (grid.Y0 + border, grid.Y0 - grid.H * grid.gsd - border) for z in scene.z_range])
    cameras = []
    for name, C, roll in poses:
        target = centre + rng.uniform(-0.03, 0.03, 3) * [extent, extent, 0]
        R = look_at(C, target, roll + rng.uniform(-0.03, 0.03))
        distance = np.linalg.norm(target - C)
        f = distance / (pixel * grid.gsd)
        k1, k2 = rng.uniform(-0.08, 0.08), rng.uniform(-0.02, 0.02)
        u, v, _ = Camera(R, C, f, k1, k2, 0.0, 0.0, 1, 1).project(corners)
        # A principal point at the image centre and a frame that holds the grid, with a small border.
        half_w = int(np.ceil(np.abs(u).max())) + 4
        half_h = int(np.ceil(np.abs(v).max())) + 4
        cameras.append(Camera(R, C, f, k1, k2, half_w - 0.5, half_h - 0.5, 2 * half_w, 2 * half_h, name=name))
    return cameras


def _facade(P):
    """Colour of wall hits: plaster with rows of windows."""
    level = np.mod(P[:, 2] + 0.4, 3.0)
    along = np.mod(P[:, 0] + P[:, 1], 2.5)
    window = (level > 1.0) & (level < 2.2) & (along > 0.5) & (along < 1.7)
    return np.where(window[:, None], [0.18, 0.22, 0.28], [0.72, 0.66, 0.56])


def render_view(scene, cam, rng, noise=0.01, supersample=2, band=64):
    """The photograph taken by `cam`: (h, w, 3) float32 in [0, 1]. Rendered
    `band` rows at a time, which bounds the rays held at once; every ray is
    traced on its own, so the band does not change a bit of the result."""
    z_range = (float(scene.heights.min()) - 0.5, float(scene.heights.max()) + 0.5)
    img = np.concatenate([_render_rows(scene, cam, np.arange(top, min(top + band, cam.height)), supersample,
                                       z_range).mean(axis=(1, 3)) for top in range(0, cam.height, band)])
    # Each camera's own exposure, then sensor noise.
    img = img * rng.uniform(0.9, 1.1) + rng.uniform(-0.03, 0.03)
    img = img + rng.normal(0.0, noise, img.shape)
    return np.clip(img, 0.0, 1.0).astype(np.float32)


def _render_rows(scene, cam, image_rows, s, z_range):
    """The supersampled colours of some rows of the photograph: (rows, s, w, s, 3)."""
    offsets = (np.arange(s) + 0.5) / s - 0.5
    rows = (image_rows[:, None] + offsets).ravel()
    cols = (np.arange(cam.width)[:, None] + offsets).ravel()
    v, u = np.meshgrid(rows, cols, indexing="ij")
    u, v = u.reshape(-1), v.reshape(-1)
    dirs = cam.rays(u, v)
    t = cast(scene.heights, scene.fine, cam.C, dirs, z_range)
    P = cam.C + t[:, None] * dirs
    rgb = bilinear(scene.colours, scene.fine, P[:, 0], P[:, 1])

    # A hit on the steep ramp between a roof and the ground is a wall.
    r, c = scene.fine.fractional_index(P[:, 0], P[:, 1])
    r0 = np.clip(np.floor(r).astype(np.intp), 0, scene.fine.H - 2)
    c0 = np.clip(np.floor(c).astype(np.intp), 0, scene.fine.W - 2)
    corners = np.stack([scene.heights[r0 + i, c0 + j] for i in (0, 1) for j in (0, 1)])
    roof = np.any([scene.roofs[r0 + i, c0 + j] for i in (0, 1) for j in (0, 1)], axis=0)
    top, bottom = corners.max(axis=0), corners.min(axis=0)
    wall = roof & (top - bottom > 1.0) & (P[:, 2] < top - 0.3) & (P[:, 2] > bottom + 0.3)
    if wall.any():
        gx = (corners[1] - corners[0] + corners[3] - corners[2])[wall]
        gy = -(corners[2] - corners[0] + corners[3] - corners[1])[wall]
        normal = -np.stack([gx, gy], axis=-1)
        normal /= np.maximum(np.linalg.norm(normal, axis=-1, keepdims=True), 1e-9)
        shade = 0.45 + 0.55 * np.clip(normal @ sun_direction()[:2], 0, None)
        rgb[wall] = _facade(P[wall]) * shade[:, None]

    return rgb.reshape(len(image_rows), s, cam.width, s, 3)
