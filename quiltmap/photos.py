"""From a folder of photographs to a survey: structure from motion (or a
model the user brings), georeferencing, and a planned grid.

    made = survey_of_photographs("DIR", "OUT/sfm", positions="log.txt")
    survey = made.survey
    result = quiltmap.reconstruct(survey.views, survey.grid, survey.z_range, survey.settings)

Structure from motion runs with pycolmap (quiltmap.sfm; the `photos`
extras) on the photographs resized by `scale`, and its model is cached in
the given folder; a COLMAP model folder or an OpenSfM reconstruction.json
may be given instead. A model in a frame of its own is georeferenced by the
photographs' positions (a log, or their EXIF GPS) in a projected system
(quiltmap.georef); an OpenSfM model with its reference latitude, longitude
and altitude is converted exactly. The grid, the height range and the
number of labels come from quiltmap.planning.
"""
import os
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Union

import numpy as np

from .geometry import Camera, View
from .reconstruction import Settings
from .survey import Survey, SurveyError, read_image

__all__ = ["PHOTO_SETTINGS", "PHOTO_CELL_FACTOR", "PHOTO_SUFFIXES", "photographs_in", "survey_of_photographs", "Photographed", "Sparse", "score_against_points",
           "seen_by_all"]

PHOTO_SUFFIXES = (".jpg", ".jpeg", ".png", ".tif", ".tiff")
# Settings for real photographs, where the demonstration's are for its
# rendered town: a census window of half a metre and stronger smoothing.
# On the drone strip at cells of twice the ground pixel, they raised the
# matched share of the area all three photographs see from 72 % to 87 %,
# with 97 % of the sparse points on matched cells within one cell either way
# (python -m quiltmap.demo.drone).
PHOTO_SETTINGS = Settings(window_extent=0.5, P1=0.04, P2=0.5)
# Cells of two ground pixels: at one, the matched heights' error against
# structure from motion's points is about the same in metres, and so twice
# as many cells of it (84 % of the points within one cell instead of 97 %),
# for four times the work.
PHOTO_CELL_FACTOR = 2.0


@dataclass
class Photographed:
    """What survey_of_photographs makes: the survey, the model's sparse
    points in its frame, the plan, and lines that say how it was made."""

    survey: Survey
    sparse: "Sparse"
    plan: Any
    notes: List[str]


@dataclass
class Sparse:
    """The sparse points of the model, in the survey's frame, with how many
    photographs observe each and its reprojection error in pixels."""

    points: np.ndarray
    views: np.ndarray
    errors: np.ndarray


def photographs_in(folder: Union[str, os.PathLike]) -> List[Path]:
    """The photographs of a folder (JPEG, PNG, TIFF), by name."""
    folder = Path(folder)
    if not folder.is_dir():
        raise SurveyError(f"{folder}: not a folder")
    found = sorted(path for path in folder.iterdir() if path.suffix.lower() in PHOTO_SUFFIXES and path.is_file())
    if len(found) < 2:
        raise SurveyError(f"{folder}: {len(found)} photographs (JPEG, PNG or TIFF); a survey needs at least two")
    return found


def survey_of_photographs(folder: Union[str, os.PathLike], cache: Union[str, os.PathLike], *,
                          positions: Union[str, os.PathLike, None] = None, model: Union[str, os.PathLike, None] = None,
                          georeferenced: bool = False, scale: float = 0.25, epsg: Optional[int] = None,
                          cell_factor: float = PHOTO_CELL_FACTOR, settings: Optional[Settings] = None, threads: int = 2,
                          progress=None):
    """The survey of the photographs in `folder` (a Photographed). cache: the folder for structure from motion's model and resized
    photographs. positions: a positions log (quiltmap.georef.read_positions;
    default: the photographs' EXIF GPS). model: a COLMAP model folder or an
    OpenSfM reconstruction.json to use instead of structure from motion, made
    on these photographs (at any size); georeferenced: its frame is already
    the world's (east, north, up, in the system `epsg` names if given).
    settings: the reconstruction's settings (PHOTO_SETTINGS by default),
    whose `labels` the plan replaces."""
    from .cameras import read_colmap, read_opensfm, scaled
    from .planning import plan_survey

    photographs = photographs_in(folder)
    notes: List[str] = []
    if model is None:
        from .sfm import run_sfm

        model_folder = run_sfm(photographs, Path(cache), scale=scale, threads=threads, progress=progress)
        sfm = read_colmap(model_folder)
        images = {name: Path(cache) / "images" / name for name in sfm.cameras}
        notes.append(f"structure from motion: {len(sfm.cameras)} of {len(photographs)} photographs registered, "
                     f"{len(sfm.points)} sparse points, at {scale:g} of their size")
    else:
        model = Path(model)
        sfm = read_opensfm(model) if model.suffix.lower() == ".json" else read_colmap(model)
        by_name = {path.name: path for path in photographs}
        missing = sorted(name for name in sfm.cameras if Path(name).name not in by_name)
        if missing:
            raise SurveyError(f"{model}: images {', '.join(missing[:5])} are not photographs of {folder}")
        images = {name: by_name[Path(name).name] for name in sfm.cameras}
        notes.append(f"model {model}: {len(sfm.cameras)} photographs, {len(sfm.points)} sparse points")
    if len(sfm.cameras) < 2:
        raise SurveyError(f"the model holds {len(sfm.cameras)} photograph; a survey needs at least two")

    cameras: Dict[str, Camera] = dict(sfm.cameras)
    points = sfm.points
    if georeferenced:
        notes.append("the model's frame is the world's" + (f" (EPSG:{epsg})" if epsg else ""))
    elif sfm.reference_lla is not None:
        from . import georef

        epsg = epsg or georef.utm_epsg(sfm.reference_lla[0], sfm.reference_lla[1])
        turn = georef.enu_rotation_to_projected(sfm.reference_lla, epsg)
        centres = georef.enu_to_projected(np.array([c.C for c in cameras.values()]), sfm.reference_lla, epsg)
        cameras = {name: replace(camera, R=camera.R @ turn.T, C=centre)
                   for (name, camera), centre in zip(cameras.items(), centres)}
        points = georef.enu_to_projected(points, sfm.reference_lla, epsg)
        notes.append(f"georeferenced from the model's reference {sfm.reference_lla} into EPSG:{epsg}")
    else:
        from . import georef

        logged = georef.read_positions(positions) if positions is not None else georef.exif_positions(photographs)
        fit = georef.georeference(cameras, logged, epsg)
        epsg = fit.epsg
        cameras = {name: fit.similarity.camera(camera) for name, camera in cameras.items()}
        points = fit.similarity.points(points)
        notes.append(fit.report())

    plan = plan_survey(list(cameras.values()), points, cell_factor=cell_factor)
    notes.append("plan: " + plan.describe())
    views: List[View] = []
    for name, camera in cameras.items():
        image = read_image(images[name])
        if image.shape[:2] != (camera.height, camera.width):
            camera = scaled(camera, image.shape[1], image.shape[0])
        views.append(View(replace(camera, name=Path(name).name), image))
    settings = replace(settings or PHOTO_SETTINGS, labels=plan.labels)
    survey = Survey(views, plan.grid, plan.z_range, settings, None, epsg, [view.camera.name for view in views],
                    [Path(images[name]).resolve() for name in cameras])
    return Photographed(survey, Sparse(points, sfm.point_views, sfm.point_errors), plan, notes)


def score_against_points(heights: np.ndarray, matched: np.ndarray, grid, points: np.ndarray,
                         seen_by_all: Optional[np.ndarray] = None) -> Dict[str, float]:
    """A dense height model against independent sparse points: on the
    matched cells that hold a point, the median |height - point height| and
    the shares within one and two cells' size; and the matched share of the
    cells that every photograph sees (when `seen_by_all` is given)."""
    rows, columns = grid.fractional_index(points[:, 0], points[:, 1])
    r, c = np.floor(rows + 0.5).astype(np.int64), np.floor(columns + 0.5).astype(np.int64)
    on = (r >= 0) & (r < grid.rows) & (c >= 0) & (c < grid.columns)
    r, c, z = r[on], c[on], points[on, 2]
    keep = matched[r, c] & np.isfinite(heights[r, c])
    error = np.abs(heights[r, c][keep] - z[keep])
    score = {"points_on_grid": int(on.sum()), "points_on_matched": int(keep.sum()),
             "median_error": float(np.median(error)) if error.size else float("nan"),
             "within_1_cell": float(np.mean(error <= grid.gsd)) if error.size else 0.0,
             "within_2_cells": float(np.mean(error <= 2 * grid.gsd)) if error.size else 0.0}
    if seen_by_all is not None:
        score["matched_where_all_see"] = float(matched[seen_by_all].mean()) if seen_by_all.any() else 0.0
    return score


def seen_by_all(views: Sequence[View], grid, height: np.ndarray) -> np.ndarray:
    """Cells whose point at the given heights (a grid of heights, NaN where
    unknown) every view images inside its photograph."""
    from .checks import sees_points

    X, Y = grid.centres()
    P = np.stack([X, Y, height], axis=-1)
    return np.logical_and.reduce([sees_points(view.camera, P) for view in views]) & np.isfinite(height)
