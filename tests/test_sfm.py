"""Structure from motion on demand (quiltmap.sfm): the real drone strip
registered with one shared camera, a second call served from the folder
without recomputing, a changed photograph recomputed, and inputs refused
with a message that says what to do."""
import json
import os
import shutil
import sys
from pathlib import Path
from typing import List

import numpy as np
import pytest

from quiltmap import sfm
from quiltmap.sfm import STAGES, SfmError, run_sfm

Image = pytest.importorskip("PIL.Image")

from conftest import DRONE_STRIP  # noqa: E402

# Canon IXUS 125 HS: 4.3 mm at 18962.96 pixels per inch of the focal plane.
EXIF_FOCAL = 4.3 * 18962.962962962964 / 25.4


@pytest.fixture
def pycolmap():
    return pytest.importorskip("pycolmap")


def noise_photograph(path, size=(320, 240), seed=0):
    """A photograph of nothing that any other would match."""
    pixels = np.random.default_rng(seed).integers(0, 256, (size[1], size[0], 3), dtype=np.uint8)
    Image.fromarray(pixels).save(path, quality=95)
    return path


def fail(path, write):
    raise OSError(28, "no space left on device")


def model_files(model):
    return {path.name: path.stat().st_mtime_ns for path in model.iterdir()}


@pytest.mark.skipif(not DRONE_STRIP.is_dir(), reason="the drone-strip photographs are not on this machine")
def test_drone_strip_registers_and_is_served_from_the_folder_until_a_photograph_changes(pycolmap, tmp_path,
                                                                                      monkeypatch):
    photographs = []
    for source in sorted(DRONE_STRIP.glob("*.JPG")):
        photographs.append(tmp_path / source.name)
        shutil.copyfile(source, photographs[-1])
    folder = tmp_path / "sfm"
    stages: List[str] = []
    model = run_sfm(photographs, folder, progress=stages.append)

    assert model == folder / "model" and stages == list(STAGES)
    reconstruction = pycolmap.Reconstruction(str(model))
    assert sorted(image.name for image in reconstruction.images.values()) == [p.name for p in photographs]
    assert reconstruction.num_reg_images() == 3 and reconstruction.num_points3D() > 1000
    (camera,) = reconstruction.cameras.values()
    assert camera.model.name == "RADIAL" and (camera.width, camera.height) == (1152, 864)
    manifest = json.loads((folder / "manifest.json").read_text())
    assert manifest["options"]["camera_params"][0] == pytest.approx(EXIF_FOCAL / 4)
    assert sorted(p.name for p in (folder / "images").iterdir()) == [p.name for p in photographs]

    written = model_files(model)
    stages.clear()
    assert run_sfm(photographs, folder, progress=stages.append) == model
    assert stages == [] and model_files(model) == written

    # Same size, new time: a changed photograph is computed again. Stopped between publishing the
    # model and writing its manifest, the run leaves no manifest that the next call could trust.
    os.utime(photographs[0], ns=(photographs[0].stat().st_atime_ns, photographs[0].stat().st_mtime_ns + 10**9))
    monkeypatch.setattr(sfm, "replace_atomically", fail)
    with pytest.raises(OSError, match="no space left"):
        run_sfm(photographs, folder, progress=stages.append)
    assert stages == list(STAGES) and model_files(model) != written
    assert not (folder / "manifest.json").exists()


@pytest.mark.parametrize("count, message", [(0, "no photographs given"), (1, "one photograph given")])
def test_fewer_than_two_photographs_are_refused(tmp_path, count, message):
    photographs = [noise_photograph(tmp_path / f"p{i}.jpg", seed=i) for i in range(count)]
    with pytest.raises(SfmError, match=message):
        run_sfm(photographs, tmp_path / "sfm")
    assert not (tmp_path / "sfm").exists()


@pytest.mark.parametrize("case, message", [
    ("different sizes", "different sizes cannot share one camera"),
    ("same name", "give each photograph its own file name"),
    ("inside the folder", "keep the photographs elsewhere"),
])
def test_photographs_that_cannot_be_used_are_refused_before_any_work(pycolmap, tmp_path, case, message):
    folder = tmp_path / "sfm"
    first = noise_photograph(tmp_path / "a.jpg")
    if case == "different sizes":
        second = noise_photograph(tmp_path / "b.jpg", size=(240, 320))
    elif case == "same name":
        (tmp_path / "other").mkdir()
        second = noise_photograph(tmp_path / "other" / "a.jpg")
    else:
        (folder / "images").mkdir(parents=True)
        second = noise_photograph(folder / "images" / "b.jpg")
    with pytest.raises(SfmError, match=message):
        run_sfm([first, second], folder)
    assert not (folder / "model").exists() and not (folder / "manifest.json").exists()


def test_photographs_that_do_not_overlap_end_in_an_error_and_leave_no_manifest(pycolmap, tmp_path):
    photographs = [noise_photograph(tmp_path / f"p{i}.jpg", seed=i) for i in range(2)]
    with pytest.raises(SfmError, match="registered 0 of 2 photographs: they must overlap"):
        run_sfm(photographs, tmp_path / "sfm", scale=1)
    assert not (tmp_path / "sfm").exists()


def test_without_pycolmap_the_error_says_what_to_install(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "pycolmap", None)  # import pycolmap raises ImportError
    photographs = [noise_photograph(tmp_path / f"p{i}.jpg", seed=i) for i in range(2)]
    with pytest.raises(SfmError, match=r"needs pycolmap: pip install 'quiltmap\[photos\]'"):
        run_sfm(photographs, tmp_path / "sfm")
