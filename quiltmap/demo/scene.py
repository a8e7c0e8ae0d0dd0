"""A synthetic town made in memory: terrain, streets, box and gable-roof
buildings, trees, and a texture with enough detail to match.

The surface is analytic (heights can be evaluated at any plan position), so
the true heights of the ground grid are exact; the renderer uses a finer
raster of heights and colours that also covers a margin around the grid,
where buildings can still hide parts of it from the oblique views.
"""
from dataclasses import dataclass, field

import numpy as np

from ..geometry import GroundGrid

GROUND, ROAD, FLAT_ROOF, GABLE_ROOF, TREE = range(5)


@dataclass
class Building:
    x: float
    y: float
    half_x: float
    half_y: float
    base: float  # terrain height under the footprint's centre
    height: float  # flat roof: roof height above base; gable: eave height above base
    gable: bool = False
    pitch: float = 0.0  # roof slope (rise per unit run) for gables
    shade: int = 0  # roof colour choice

    def inside(self, X, Y):
        return (np.abs(X - self.x) <= self.half_x) & (np.abs(Y - self.y) <= self.half_y)

    def roof(self, X, Y):
        if not self.gable:
            return np.full(np.shape(X), self.base + self.height)
        # The ridge runs along the longer side.
        if self.half_x >= self.half_y:
            run = self.half_y - np.abs(Y - self.y)
        else:
            run = self.half_x - np.abs(X - self.x)
        return self.base + self.height + self.pitch * run

    @property
    def top(self):
        return self.base + self.height + (self.pitch * min(self.half_x, self.half_y) if self.gable else 0.0)


@dataclass
class Tree:
    x: float
    y: float
    radius: float
    height: float
    base: float
    lobes: float  # phase of the crown's irregular outline

    def crown(self, X, Y):
        dx, dy = X - self.x, Y - self.y
        reach = self.radius * (1.0 + 0.15 * np.sin(3.0 * np.arctan2(dy, dx) + self.lobes))
        s = 1.0 - (dx * dx + dy * dy) / (reach * reach)
        return np.where(s > 0, self.base + self.height * np.sqrt(np.clip(s, 0, None)) ** 0.8, -np.inf)


@dataclass
class Scene:
    grid: GroundGrid  # the ground grid that is reconstructed
    fine: GroundGrid  # the render raster: finer, and larger by a margin
    heights: np.ndarray  # (fine.H, fine.W) float32
    colours: np.ndarray  # (fine.H, fine.W, 3) float32, albedo times sun shading
    roofs: np.ndarray  # (fine.H, fine.W) bool, cells of buildings (their edges are walls)
    truth: np.ndarray  # (grid.H, grid.W) float32, true heights at the cell centres
    z_range: tuple  # the survey's known height bounds (min, max), used for the label range
    buildings: list = field(default_factory=list)
    trees: list = field(default_factory=list)


class _Layout:
    """The analytic part of the scene: terrain, streets, buildings, trees."""

    def __init__(self, rng, extent, margin):
        half = extent / 2 + margin
        self.terrain_waves = [
            (rng.uniform(0.6, 1.0), rng.uniform(70, 110), rng.uniform(0, 2 * np.pi), rng.uniform(0, np.pi)),
            (rng.uniform(0.3, 0.6), rng.uniform(35, 55), rng.uniform(0, 2 * np.pi), rng.uniform(0, np.pi)),
        ]
        self.tilt = rng.uniform(-0.015, 0.015, 2)
        # Streets about every 40 m in both directions, 7 m wide.
        spacing, self.road_half = 40.0, 3.5
        offset = rng.uniform(-8, 8, 2)
        self.streets_x = np.arange(-half - spacing, half + spacing, spacing) + offset[0]  # streets along Y at these X
        self.streets_y = np.arange(-half - spacing, half + spacing, spacing) + offset[1]  # streets along X at these Y
        self.buildings = []
        self.trees = []
        self._place_buildings(rng, half)
        self._place_trees(rng, half, extent)

    def terrain(self, X, Y):
        z = self.tilt[0] * X + self.tilt[1] * Y
        for amp, wavelength, phase, angle in self.terrain_waves:
            along = X * np.cos(angle) + Y * np.sin(angle)
            across = -X * np.sin(angle) + Y * np.cos(angle)
            z = z + amp * np.sin(2 * np.pi * along / wavelength + phase) * np.cos(np.pi * across / wavelength)
        return z

    def street_distance(self, X, Y):
        """Distance to the nearest street's centre line, and whether the nearest runs along X."""
        dy, dx = nearest(Y, self.streets_y), nearest(X, self.streets_x)
        return np.minimum(dx, dy), dy <= dx

    def _place_buildings(self, rng, half):
        kept = []
        clearance = 2.5
        for bx0, bx1 in zip(self.streets_x[:-1], self.streets_x[1:]):
            for by0, by1 in zip(self.streets_y[:-1], self.streets_y[1:]):
                lo_x, hi_x = bx0 + self.road_half + clearance, bx1 - self.road_half - clearance
                lo_y, hi_y = by0 + self.road_half + clearance, by1 - self.road_half - clearance
                if hi_x < -half or lo_x > half or hi_y < -half or lo_y > half:
                    continue
                for _ in range(12):
                    if sum(1 for b in kept if lo_x <= b.x <= hi_x and lo_y <= b.y <= hi_y) >= 3:
                        break
                    hx, hy = rng.uniform(3.5, 9.0, 2)
                    if hi_x - lo_x < 2 * hx or hi_y - lo_y < 2 * hy:
                        continue
                    x, y = rng.uniform(lo_x + hx, hi_x - hx), rng.uniform(lo_y + hy, hi_y - hy)
                    if any(abs(x - b.x) < hx + b.half_x + 3 and abs(y - b.y) < hy + b.half_y + 3 for b in kept):
                        continue
                    base = float(self.terrain(np.array(x), np.array(y)))
                    if rng.uniform() < 0.35:
                        kept.append(Building(x, y, hx, hy, base, rng.uniform(3.5, 6.0), True,
                                             np.tan(np.radians(rng.uniform(28, 40))), int(rng.integers(2))))
                    else:
                        kept.append(Building(x, y, hx, hy, base, rng.uniform(4.0, 16.0), shade=int(rng.integers(3))))
        # At least one gable roof, whatever the draw.
        if kept and not any(b.gable for b in kept):
            b = min(kept, key=lambda b: abs(b.x) + abs(b.y))
            b.gable, b.height, b.pitch, b.shade = True, 4.5, np.tan(np.radians(35)), b.shade % 2
        self.buildings = kept

    def _place_trees(self, rng, half, extent):
        wanted = int(extent * extent / 350)
        for _ in range(wanted * 20):
            if len(self.trees) >= wanted:
                break
            x, y = rng.uniform(-half, half, 2)
            radius = rng.uniform(1.8, 3.5)
            d, _ = self.street_distance(np.array(x), np.array(y))
            if d < self.road_half + radius:
                continue
            near = radius + 1
            if any(abs(x - b.x) < b.half_x + near and abs(y - b.y) < b.half_y + near for b in self.buildings):
                continue
            if any(np.hypot(x - t.x, y - t.y) < 0.8 * (radius + t.radius) for t in self.trees):
                continue
            base = float(self.terrain(np.array(x), np.array(y)))
            self.trees.append(Tree(x, y, radius, rng.uniform(4.0, 10.0), base, rng.uniform(0, 2 * np.pi)))

    def surface(self, X, Y):
        """Heights and material ids at plan positions X, Y: a raster from
        meshgrid (X along columns, Y along rows)."""
        z = self.terrain(X, Y)
        d, _ = self.street_distance(X, Y)
        material = np.where(d <= self.road_half, ROAD, GROUND).astype(np.uint8)
        for b in self.buildings:
            box = footprint(X, Y, b.x, b.y, b.half_x, b.half_y)
            inside = b.inside(X[box], Y[box])
            z[box] = np.where(inside, b.roof(X[box], Y[box]), z[box])
            material[box][inside] = GABLE_ROOF if b.gable else FLAT_ROOF
        for t in self.trees:
            box = footprint(X, Y, t.x, t.y, 1.15 * t.radius, 1.15 * t.radius)  # the crown's widest lobe
            crown = t.crown(X[box], Y[box])
            above = crown > z[box]
            z[box] = np.where(above, crown, z[box])
            material[box][above] = TREE
        return z, material


def nearest(values, lines):
    """Distance from each value to the nearest of `lines`, one line at a time
    so that a raster needs no copy per line."""
    distance = np.full(np.shape(values), np.inf)
    for line in lines:
        distance = np.minimum(distance, np.abs(values - line))
    return distance


def footprint(X, Y, x, y, half_x, half_y):
    """The rows and columns of a raster from meshgrid that hold every cell
    within half_x, half_y of (x, y): each feature touches only its own box,
    which keeps a large town's cost in proportion to its area."""
    columns = np.flatnonzero(np.abs(X[0] - x) <= half_x)
    rows = np.flatnonzero(np.abs(Y[:, 0] - y) <= half_y)
    if columns.size == 0 or rows.size == 0:
        return (slice(0, 0), slice(0, 0))
    return (slice(rows[0], rows[-1] + 1), slice(columns[0], columns[-1] + 1))


def _band_noise(rng, shape, scale):
    """Unit-variance noise with features about `scale` raster cells across
    (white noise low-passed by a Gaussian in the frequency domain)."""
    spectrum = np.fft.rfft2(rng.standard_normal(shape))
    fy = np.fft.fftfreq(shape[0])[:, None]
    fx = np.fft.rfftfreq(shape[1])[None, :]
    spectrum *= np.exp(-2.0 * (np.pi * scale) ** 2 * (fx * fx + fy * fy))
    noise = np.fft.irfft2(spectrum, s=shape)
    return noise / noise.std()


def _hash(i, j, salt=0.0):
    """A repeatable pseudo-random value in [0, 1) per integer lattice point."""
    return np.modf(np.abs(np.sin(i * 12.9898 + j * 78.233 + salt) * 43758.5453))[0]


def _colours(layout, fine, X, Y, z, material, rng):
    f = fine.gsd
    n_coarse = _band_noise(rng, z.shape, 4.0 / f)
    n_mid = _band_noise(rng, z.shape, 1.2 / f)
    n_fine = _band_noise(rng, z.shape, 0.5 / f)
    rgb = np.empty(z.shape + (3,), np.float32)

    def paint(where, colour, variation, target=rgb):
        target[where] = np.asarray(colour)[None, :] * (1.0 + variation[where])[:, None]

    # Grass with patches of bare soil.
    grass = material == GROUND
    soil = grass & (n_coarse > 0.9)
    paint(grass, (0.33, 0.42, 0.18), 0.15 * n_coarse + 0.2 * n_mid + 0.2 * n_fine)
    paint(soil, (0.50, 0.40, 0.28), 0.15 * n_mid + 0.2 * n_fine)

    # Asphalt with a dashed centre line, edge lines and crosswalks.
    road = material == ROAD
    paint(road, (0.30, 0.30, 0.31), 0.1 * n_mid + 0.15 * n_fine)
    dist, along_x = layout.street_distance(X, Y)
    along = np.where(along_x, X, Y)
    # Markings at least a pixel wide: thinner lines alias differently in each view.
    dash = (dist < 0.3) & (np.mod(along, 6.0) < 3.0)
    edge = np.abs(dist - (layout.road_half - 0.6)) < 0.3
    # Crosswalks: stripes across a street, just before each crossing.
    cross_x, cross_y = nearest(X, layout.streets_x), nearest(Y, layout.streets_y)
    before = np.where(along_x, cross_x, cross_y)
    across = np.where(along_x, Y, X)
    zebra = (before > layout.road_half + 0.5) & (before < layout.road_half + 3.5) & (np.mod(across, 1.2) < 0.6)
    marks = road & (dash | edge | zebra)
    paint(marks, (0.85, 0.85, 0.82), 0.03 * n_fine)

    # Flat roofs: gravel or membrane, a parapet band, rooftop units.
    palettes = [(0.55, 0.55, 0.53), (0.62, 0.60, 0.56), (0.42, 0.44, 0.47)]
    for b in layout.buildings:
        box = footprint(X, Y, b.x, b.y, b.half_x, b.half_y)
        Xb, Yb, fine_b, mid_b, roof_rgb = X[box], Y[box], n_fine[box], n_mid[box], rgb[box]
        inside = b.inside(Xb, Yb) & ((material[box] == FLAT_ROOF) | (material[box] == GABLE_ROOF))
        if not inside.any():
            continue
        if b.gable:
            # Tiles in rows down the slope, each with its own shade.
            ridge_along_x = b.half_x >= b.half_y
            s = np.where(ridge_along_x, Xb - b.x, Yb - b.y)
            run = np.where(ridge_along_x, np.abs(Yb - b.y), np.abs(Xb - b.x))
            row = np.floor(run / 0.9)
            col = np.floor(s / 0.75 + 0.5 * np.mod(row, 2))
            tile = _hash(row, col, b.x) - 0.5
            groove = (np.mod(run, 0.9) < 0.15).astype(np.float32)
            colour = ((0.62, 0.30, 0.20), (0.36, 0.36, 0.42))[b.shade]
            paint(inside, colour, 0.25 * tile - 0.25 * groove + 0.05 * fine_b, roof_rgb)
        else:
            paint(inside, palettes[b.shade], 0.12 * mid_b + 0.15 * fine_b, roof_rgb)
            rim = inside & ((b.half_x - np.abs(Xb - b.x) < 0.5) | (b.half_y - np.abs(Yb - b.y) < 0.5))
            paint(rim, (0.75, 0.74, 0.70), 0.03 * fine_b, roof_rgb)
            for _ in range(int(rng.integers(1, 4))):
                ux, uy = b.x + rng.uniform(-0.6, 0.6) * b.half_x, b.y + rng.uniform(-0.6, 0.6) * b.half_y
                size = rng.uniform(0.8, 2.0, 2)
                unit = inside & (np.abs(Xb - ux) < size[0]) & (np.abs(Yb - uy) < size[1])
                paint(unit, (0.25, 0.27, 0.30), 0.05 * fine_b, roof_rgb)

    # Tree crowns: dark, leafy.
    paint(material == TREE, (0.14, 0.30, 0.10), 0.25 * n_fine + 0.15 * n_mid)

    # Sun shading from the raster's normals; the same sun for every view.
    gy, gx = np.gradient(z, f)  # rows run towards -Y
    nx, ny = -gx, gy
    norm = np.sqrt(nx * nx + ny * ny + 1.0)
    sun = sun_direction()
    lambert = np.clip((nx * sun[0] + ny * sun[1] + sun[2]) / norm, 0.0, None)
    rgb *= (0.45 + 0.55 * lambert)[..., None]
    return np.clip(rgb, 0.0, 1.0).astype(np.float32)


def sun_direction():
    azimuth, elevation = np.radians(140.0), np.radians(50.0)
    return np.array([np.cos(elevation) * np.sin(azimuth), np.cos(elevation) * np.cos(azimuth), np.sin(elevation)])


def make_scene(size=160, gsd=0.5, seed=7, oversample=3, margin=12.0):
    """A town of size x size ground cells of `gsd` metres, centred on the origin."""
    rng = np.random.default_rng(seed)
    extent = size * gsd
    grid = GroundGrid(-extent / 2, extent / 2, gsd, size, size)
    fine_gsd = gsd / oversample
    n_fine = int(round((extent + 2 * margin) / fine_gsd))
    fine = GroundGrid(-extent / 2 - margin, extent / 2 + margin, fine_gsd, n_fine, n_fine)

    layout = _Layout(rng, extent, margin)
    X, Y = fine.centres()
    z, material = layout.surface(X, Y)
    colours = _colours(layout, fine, X, Y, z, material, rng)
    truth = layout.surface(*grid.centres())[0].astype(np.float32)

    terrain_bound = sum(w[0] for w in layout.terrain_waves) + np.abs(layout.tilt).sum() * (extent / 2 + margin)
    z_range = (-np.ceil(terrain_bound) - 1.0, np.ceil(terrain_bound) + 20.0)
    roofs = (material == FLAT_ROOF) | (material == GABLE_ROOF)
    return Scene(grid, fine, z.astype(np.float32), colours, roofs, truth, z_range, layout.buildings, layout.trees)
