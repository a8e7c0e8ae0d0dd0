"""What a newcomer meets first: images as they come (uint8, uint16, grey),
progress bars on request, the top-level names typed for mypy, and a source
tree that says why it cannot be imported."""
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import quiltmap
from quiltmap import Settings, View
from quiltmap.demo import photograph, views_of
from conftest import CHECKOUT_PACKAGE, not_under_sanitizers


@pytest.fixture(scope="module")
def survey():
    made = photograph(size=32, seed=3)
    return views_of(made), made.scene.grid, made.scene.z_range


@pytest.mark.parametrize("kind", ["uint8", "uint16", "grey float32", "grey uint16"])
def test_images_are_taken_as_they_come(survey, kind):
    views, grid, z_range = survey
    bits = {"uint8": np.uint8, "uint16": np.uint16, "grey float32": None, "grey uint16": np.uint16}[kind]
    given, expected = [], []
    for camera, image in views:
        image = image.mean(axis=2, dtype=np.float32) if kind.startswith("grey") else image
        if bits is None:
            given.append(View(camera, image))
            expected.append(View(camera, image[..., None]))
        else:
            full = np.iinfo(bits).max
            pixels = np.round(np.clip(image, 0, 1) * full).astype(bits)
            given.append(View(camera, pixels))
            scaled = (pixels / np.float32(full)).astype(np.float32)
            expected.append(View(camera, scaled if scaled.ndim == 3 else scaled[..., None]))
    got = quiltmap.reconstruct(given, grid, z_range, Settings(labels=8))
    want = quiltmap.reconstruct(expected, grid, z_range, Settings(labels=8))
    np.testing.assert_array_equal(got.heights, want.heights)
    np.testing.assert_array_equal(got.orthomosaic, want.orthomosaic)
    # The public steps take the same images as reconstruct.
    heights = np.linspace(*z_range, 8)
    for step in (lambda v: quiltmap.plane_sweep(v, grid, heights)[0][0],
                 lambda v: quiltmap.views_seeing(v, grid, want.filled),
                 lambda v: quiltmap.orthomosaic(v, grid, want.filled)[0]):
        np.testing.assert_array_equal(step(given), step(expected))


def test_progress_true_shows_bars_on_stderr(survey, capsys):
    pytest.importorskip("tqdm")
    quiltmap.reconstruct(*survey, Settings(labels=8), progress=True)
    captured = capsys.readouterr()
    assert "plane sweep" in captured.err and captured.out == ""


@not_under_sanitizers("mypy reads the package, not the extension")
def test_mypy_checks_the_top_level_names(tmp_path):
    program = tmp_path / "user.py"
    program.write_text(textwrap.dedent("""
        from quiltmap import GroundGrid, Settings, read_image, reconstruct
        grid = GroundGrid(0.0, 0.0, "0.5", 10, 10)
        settings: Settings = reconstruct
        image: int = read_image("photo.png")
    """))
    done = subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"), str(program)],
                          capture_output=True, text=True)
    reported = done.stdout
    assert done.returncode == 1 and reported.count("error:") == 3, reported
    for line in (3, 4, 5):
        assert f"user.py:{line}: error" in reported


def test_a_source_tree_says_why_it_cannot_be_imported():
    """From the checkout's root, its quiltmap/ folder, which holds no built module, shadows the installed one."""
    checkout = CHECKOUT_PACKAGE.parent
    if any(CHECKOUT_PACKAGE.glob("_mvs.*.so")):
        pytest.skip("this checkout's quiltmap/ holds a built module")
    done = subprocess.run([sys.executable, "-c", "import quiltmap; quiltmap.reconstruct"], cwd=checkout,
                          capture_output=True, text=True)
    assert done.returncode == 1
    last = done.stderr.strip().splitlines()[-1]
    assert last.startswith(f"ImportError: quiltmap._mvs is not built in {Path(checkout, 'quiltmap')}")
    assert "with -I" in last
