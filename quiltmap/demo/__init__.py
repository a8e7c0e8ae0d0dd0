"""The main job, end to end, on a synthetic aerial survey: a town made in
memory, photographed by six frame cameras, reconstructed into a height model
and an orthomosaic with the kernels of `quiltmap._mvs`.

Run it with `python -m quiltmap.demo` (progress bars, a printed report, a
figure and the arrays in an output folder; needs the `demo` extras), or call
`run()`, or `photograph()` then `reconstruct()` (NumPy only). The
reconstruction is the library's, `quiltmap.reconstruct`; this package only
makes the survey.
"""
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

import numpy as np

from ..geometry import View
from ..reconstruction import KernelClock, Result, Settings, Stages
from ..reconstruction import reconstruct as reconstruct_views
from .render import make_cameras, render_view
from .scene import Scene, make_scene

__all__ = ["Demo", "Survey", "photograph", "reconstruct", "run", "views_of"]


@dataclass
class Survey:
    scene: Scene
    cameras: list  # of quiltmap.Camera; the first two are the nadir reference views
    images: list  # (h, w, 3) float32 per camera


@dataclass
class Demo:
    survey: Survey
    result: Result
    stages: Stages
    kernels: KernelClock


def photograph(size=160, seed=7, threads=2, stages=None):
    """The scene of size x size cells and its six photographs."""
    stages = stages or Stages()
    with stages.single("scene"):
        scene = make_scene(size, seed=seed)
        rng = np.random.default_rng(seed + 1)
        cameras = make_cameras(scene, rng)
        view_seeds = rng.integers(2**32, size=len(cameras))

    def shoot(i):
        return render_view(scene, cameras[i], np.random.default_rng(view_seeds[i]))

    with ThreadPoolExecutor(threads) as pool:
        images = list(stages.run("rendering", pool.map(shoot, range(len(cameras))), total=len(cameras)))
    return Survey(scene, cameras, images)


def views_of(survey):
    """The survey's photographs as the library's views."""
    return [View(c, image) for c, image in zip(survey.cameras, survey.images)]


def reconstruct(survey, labels=96, threads=2, stages=None, kernels=None, tiled=None):
    """Height model and orthomosaic of the survey's ground grid. kernels: any
    object with the three kernels as attributes (default: the extension's,
    timed); the stages' times are added to `stages`. tiled: keyword
    arguments of quiltmap.tiled.reconstruct_tiled (tiling, scheduler,
    workers, progress) to run tile by tile on Dask; then the kernels' calls
    are those of every task, added to `kernels` if it is a KernelClock."""
    stages = stages or Stages()
    scene = survey.scene
    if tiled is not None:
        from ..tiled import reconstruct_tiled

        with stages.single("tiled reconstruction"):
            result = reconstruct_tiled(views_of(survey), scene.grid, scene.z_range, Settings(labels=labels), **tiled)
        if isinstance(kernels, KernelClock):
            for name, calls in result.kernel_times.items():
                kernels.calls[name] += calls
        return result
    result = reconstruct_views(views_of(survey), scene.grid, scene.z_range, Settings(labels=labels),
                               threads=threads, progress=stages.progress, kernels=kernels)
    for name, seconds in result.stage_times.items():
        stages.times[name] = stages.times.get(name, 0.0) + seconds
    return result


def run(size=160, labels=96, seed=7, threads=2, progress=None, tiled=None):
    """Photographs and reconstructs; progress: an optional factory
    `progress(iterable, desc=..., total=...)` wrapping each stage's loop, such
    as tqdm; tiled: see reconstruct."""
    stages = Stages(progress)
    kernels = KernelClock()
    survey = photograph(size, seed, threads, stages)
    result = reconstruct(survey, labels, threads, stages, kernels, tiled)
    return Demo(survey, result, stages, kernels)
