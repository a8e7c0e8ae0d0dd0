"""The command's output folder under faults: never written through a planted
link, never mixed with an earlier or a concurrent run's files, left as it was
by a failure or a signal; and inputs that used to pass silently, hang or end
in a traceback."""
import asyncio
import errno
import os
import resource
import signal
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

pytest.importorskip("tifffile")
pytest.importorskip("PIL")

import quiltmap  # noqa: E402
from quiltmap import Camera, GroundGrid, Settings, View  # noqa: E402
from quiltmap import outputs  # noqa: E402
from quiltmap.__main__ import main  # noqa: E402
from quiltmap.demo import photograph, views_of  # noqa: E402
from quiltmap.outputs import STAGING_PREFIX, OutputFolder  # noqa: E402
from conftest import broken  # noqa: E402

UNTILED = {"heights.tif", "orthomosaic.tif", "preview.png", "report.txt"}
TILED = UNTILED | {"filled.tif", "raw.tif", "matched.tif", "source.tif"}


def snapshot(folder):
    """Each entry of a folder: a link's target, a file's bytes, or 'folder'."""
    return {path.name: (("link", os.readlink(path)) if path.is_symlink() else
                        "folder" if path.is_dir() else path.read_bytes())
            for path in sorted(folder.iterdir())}


def command(survey, out, *options):
    return ["reconstruct", str(survey), "--out", str(out), "--quiet", *options]


@pytest.fixture
def earlier(exported, tmp_path):
    """An output folder that holds an earlier run's outputs, and its snapshot."""
    out = tmp_path / "out"
    assert main(command(exported, out)) == 0
    return out, snapshot(out)


def one_line(err):
    lines = err.strip().splitlines()
    assert len(lines) == 1 and "Traceback" not in err, err
    return lines[0]


# Planted links, leftovers, concurrent runs -----------------------------------

def test_links_planted_in_the_folder_are_replaced_never_followed(exported, tmp_path):
    out, victims = tmp_path / "out", tmp_path / "victims"
    out.mkdir()
    victims.mkdir()
    planted = ["report.txt", "heights.tif", "preview.png", ".quiltmap-write-test", ".orthomosaic.tif.partial",
               ".report.txt.partial"]
    for name in planted:
        (victims / name).write_bytes(b"not yours")
        (out / name).symlink_to(victims / name)
    assert main(command(exported, out)) == 0
    assert all((victims / name).read_bytes() == b"not yours" for name in planted)
    assert all((out / name).is_file() and not (out / name).is_symlink() for name in UNTILED)
    assert {path.name for path in out.iterdir()} == UNTILED | set(planted)


def test_a_run_replaces_the_earlier_set_and_clears_the_other_kind(exported, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    for name in TILED - UNTILED:  # an earlier tiled run's files
        (out / name).write_bytes(b"earlier")
    (out / "notes.txt").write_text("the user's own")
    (out / (STAGING_PREFIX + "deadbeef")).mkdir()  # left by a run that was killed
    assert main(command(exported, out)) == 0
    assert {path.name for path in out.iterdir()} == UNTILED | {"notes.txt"}
    # Outputs are files like any other, for the umask to decide who reads them.
    assert {(out / name).stat().st_mode & 0o777 for name in UNTILED} == {(out / "notes.txt").stat().st_mode & 0o777}


def test_a_second_run_is_refused_at_once_while_another_holds_the_folder(earlier, exported, capsys):
    out, before = earlier
    with OutputFolder(out) as held:
        start = time.monotonic()
        assert main(command(exported, out)) == 2
        assert time.monotonic() - start < 10
        assert "another quiltmap run is writing into this folder" in one_line(capsys.readouterr().err)
        assert snapshot(out) == dict(before, **{held.staging.name: "folder"})
    assert snapshot(out) == before


# Failures and signals leave the folder as it was ------------------------------

@pytest.mark.parametrize("failing", range(4))
def test_a_failed_write_leaves_the_folder_as_it_was(earlier, exported, monkeypatch, capsys, failing):
    """Every file of a run (two rasters, preview, report), each in turn, as
    on a full disk."""
    out, before = earlier
    opened = []
    real = outputs._file_of

    def file_of(descriptor, path):
        opened.append(path)
        if len(opened) == failing + 1:
            os.close(descriptor)
            raise OSError(errno.ENOSPC, "No space left on device")
        return real(descriptor, path)

    monkeypatch.setattr(outputs, "_file_of", file_of)
    assert main(command(exported, out)) == 2
    assert "No space left on device" in one_line(capsys.readouterr().err)
    assert snapshot(out) == before


@pytest.mark.parametrize("failing", range(1, 8))
def test_publishing_is_all_or_nothing(tmp_path, monkeypatch, failing):
    """A rename that fails (or is interrupted) at any step of publishing
    puts every file back where it was."""
    out = tmp_path / "out"
    out.mkdir()
    for name in ("a", "b", "stale"):
        (out / name).write_text(f"old {name}")
    before = snapshot(out)
    real, calls = os.rename, []

    def rename(source, target):
        calls.append(source)
        if len(calls) == failing:
            raise KeyboardInterrupt
        real(source, target)

    with pytest.raises(KeyboardInterrupt):
        with OutputFolder(out) as folder:
            for name in ("a", "b", "c"):
                (folder.staging / name).write_text(f"new {name}")
            monkeypatch.setattr(os, "rename", rename)
            folder.publish(["a", "b", "c"], remove=["stale"])
            monkeypatch.undo()
            raise KeyboardInterrupt  # fewer renames than `failing`: the folder now holds the new set
    monkeypatch.undo()
    assert snapshot(out) in (before, {"a": b"new a", "b": b"new b", "c": b"new c"})
    assert (snapshot(out) == before) == (failing <= 6)


# The command in a process of its own, each rename of a written file delayed
# by 0.3 s: a signal then lands between a file's write and its rename.
SLOW_RENAMES = """
import os, sys, time
rename = os.replace
os.replace = lambda source, target: (time.sleep(0.3), rename(source, target))[1]
from quiltmap.__main__ import main
sys.exit(main(sys.argv[1:]))
"""


def run_command(args, cwd, slow=False, **kwargs):
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    program = ["-c", SLOW_RENAMES] if slow else ["-m", "quiltmap"]
    return subprocess.Popen([sys.executable, *program, *args], cwd=cwd, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, **kwargs)


def test_an_interrupt_that_a_finalizer_would_swallow_still_ends_the_run():
    """A signal handled inside a finalizer (or an extension's import, which
    reports its errors as unraisable) is not lost: the interrupt comes once
    the run is back in its own code."""
    from quiltmap.__main__ import interrupts

    class SignalledWhileFinalized:
        def __del__(self):
            os.kill(os.getpid(), signal.SIGTERM)
            time.sleep(0.05)  # the handler runs here, in the finalizer

    finished = []
    with pytest.raises(KeyboardInterrupt):
        with interrupts() as signals:
            SignalledWhileFinalized()  # finalized at once
            time.sleep(2)
            finished.append(True)
    assert signals.received == [signal.SIGTERM] and not finished


@pytest.mark.parametrize("number, delay, options", [
    (signal.SIGTERM, 0.0, []), (signal.SIGTERM, 0.5, []), (signal.SIGTERM, 1.1, []), (signal.SIGINT, 0.5, []),
    (signal.SIGTERM, 0.5, ["--tile", "64", "--margin", "16"]),
])
def test_a_signal_ends_the_run_with_one_line_and_the_folder_as_it_was(earlier, exported, tmp_path, number, delay,
                                                                         options):
    pytest.importorskip("dask")
    out, before = earlier
    process = run_command(command(exported, out, *options), tmp_path, slow=True)
    deadline = time.monotonic() + 60
    while not any(path.name.startswith(STAGING_PREFIX) for path in out.iterdir()) and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(delay)
    process.send_signal(number)
    _, err = process.communicate(timeout=120)
    line = one_line(err)
    assert process.returncode == 128 + number
    assert line.startswith(f"quiltmap: interrupted by {signal.Signals(number).name}; ")
    if line.endswith("is as it was"):
        assert snapshot(out) == before
    else:  # the signal came after the outputs were in place
        assert {path.name for path in out.iterdir()} == (TILED if options else UNTILED)


def test_a_full_disk_leaves_the_folder_as_it_was(earlier, exported, tmp_path):
    out, before = earlier
    # 8 KiB: heights.tif (4 KiB of pixels) is written, orthomosaic.tif (12 KiB) is not.
    limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (8192, 8192))  # noqa: E731
    process = run_command(command(exported, out), tmp_path, preexec_fn=limit)
    _, err = process.communicate(timeout=120)
    assert process.returncode == 2
    assert one_line(err).endswith(f"the run stopped and left {out} as it was")
    assert snapshot(out) == before


# Refused before anything is made ---------------------------------------------

def big(digits):
    return "1" + "0" * (digits - 1)


@pytest.mark.parametrize("text, message", [
    (b'{"grid": "\xff"}', "not UTF-8 text"),
    (b"[" * 100000 + b"]" * 100000, "nested more deeply"),
    (b'{"grid": {"X0": ' + big(400).encode() + b'}}', "grid.X0: a finite number is required, not about 2^"),
    (b'{"grid": {"rows": ' + big(5000).encode() + b'}}', "survey.json: "),
])
def test_unreadable_surveys_end_with_one_line(tmp_path, capsys, text, message):
    survey, out = tmp_path / "survey.json", tmp_path / "out"
    survey.write_bytes(text)
    assert main(command(survey, out)) == 2
    line = one_line(capsys.readouterr().err)
    assert line.startswith(f"quiltmap: error: {survey}: ") and line.count(str(survey)) == 1 and message in line
    assert not out.exists()


def set_(path, value):
    """An edit of the survey description that sets the entry at `path`."""
    def edit(description, folder):
        entry = description
        for key in path[:-1]:
            entry = entry[key]
        entry[path[-1]] = value
    return edit


def float_photograph(description, folder):
    tifffile = pytest.importorskip("tifffile")
    pixels = tifffile.imread(folder / description["images"][0]["path"]).astype(np.float32) / 65535
    pixels[3, 4] = 3e34
    tifffile.imwrite(folder / "float.tif", pixels, photometric="rgb")
    description["images"][0]["path"] = "float.tif"


@pytest.mark.parametrize("edit, message", [
    (set_(["referenes"], [0, 1]), "survey: unknown key 'referenes' (known: grid, heights, epsg, references"),
    (set_(["grid", "colums"], 9), "grid: unknown key 'colums'"),
    (set_(["heights", "low"], 9), "heights: unknown key 'low'"),
    (set_(["images", 1, "nmae"], "x"), "images[1]: unknown key 'nmae'"),
    (set_(["images", 0, "camera", "k3"], 0.1), "images[0].camera: unknown key 'k3'"),
    (set_(["images", 0, "camera", "k1"], "x"), "images[0].camera.k1: a finite number is required"),
    (set_(["images", 0, "camera", "R"], [[1, 0, 0], [0, 1, 0], [0, 0, -1]]), "Camera.R must be a rotation"),
    (float_photograph, "images[0].path: float.tif: float pixels must lie in [0, 1] (found 0"),
    (set_(["settings"], {"window": 4}), "Settings.window must be an integer from 1 to 3, not 4"),
    (set_(["settings"], {"P1": int(big(400))}), "Settings.P1 must be a finite number"),
    (set_(["epsg"], 70000), "epsg: 70000 is not the EPSG code of a projected system"),
    (set_(["grid", "gsd"], 1e-300), "GroundGrid.gsd (1e-300) is too small for heights from"),
    (set_(["grid", "rows"], 10**9), "of memory, more than this machine's"),
    (set_(["settings"], {"labels": 10**12}), "of memory, more than this machine's"),
])
def test_bad_surveys_are_refused_with_one_line_before_anything_is_made(exported, tmp_path, capsys, edit, message):
    survey, out = broken(exported, tmp_path, edit), tmp_path / "out"
    assert main(command(survey, out)) == 2
    line = one_line(capsys.readouterr().err)
    assert line.startswith("quiltmap: error: ") and message in line and line.count("survey.json") <= 1
    assert not out.exists()


@pytest.mark.parametrize("options, message", [
    (["--out", ""], "--out: an empty path names no folder"),
    (["--threads", "0"], "--threads must be at least 1"),
    (["--tile", "64", "--scheduler", "inproc://127.0.0.1/1/2"], "only tcp:// addresses are taken"),
    (["--tile", "64", "--scheduler", "tls://127.0.0.1:8786"], "only tcp:// addresses are taken"),
    (["--tile", "64", "--scheduler", "ucx://127.0.0.1:8786"], "only tcp:// addresses are taken"),
])
def test_bad_options_are_refused_with_one_line(exported, tmp_path, capsys, monkeypatch, options, message):
    pytest.importorskip("dask")
    monkeypatch.chdir(tmp_path)
    arguments = ["reconstruct", str(exported), "--quiet"] + (options if "--out" in options else
                                                              ["--out", "out", *options])
    assert main(arguments) == 2
    assert message in one_line(capsys.readouterr().err)
    assert list(tmp_path.iterdir()) == []


@pytest.fixture
def impostor():
    """A server on loopback that answers every connection as a web server does."""
    server = socket.create_server(("127.0.0.1", 0))

    def serve():
        while True:
            try:
                connection, _ = server.accept()
            except OSError:
                return
            with connection:
                connection.sendall(b"HTTP/1.0 400 Bad Request\r\n\r\n")

    threading.Thread(target=serve, daemon=True).start()
    yield f"tcp://127.0.0.1:{server.getsockname()[1]}"
    server.close()


def test_a_server_that_is_not_dask_is_refused(exported, tmp_path, capsys, impostor):
    pytest.importorskip("distributed")
    out = tmp_path / "out"
    assert main(command(exported, out, "--tile", "64", "--scheduler", impostor)) == 2
    assert "does not answer as a Dask scheduler" in one_line(capsys.readouterr().err)
    assert not out.exists()


def test_a_grid_no_file_can_hold_is_refused_up_front(exported, tmp_path, capsys):
    pytest.importorskip("dask")
    survey, out = broken(exported, tmp_path, set_(["grid", "rows"], 4 * 10**9)), tmp_path / "out"
    start = time.monotonic()
    assert main(command(survey, out, "--tile", "512")) == 2
    assert "of disk" in one_line(capsys.readouterr().err) and time.monotonic() - start < 30
    assert not out.exists()


# The library ------------------------------------------------------------------

@pytest.fixture(scope="module")
def small():
    made = photograph(size=32, seed=3)
    return views_of(made), made.scene.grid, made.scene.z_range


def test_cells_without_height_are_no_data_and_the_rest_keep_their_colour(small):
    views, grid, _ = small
    Z = quiltmap.reconstruct(*small, Settings(labels=16)).filled
    holes = np.zeros(grid.shape, bool)
    holes[10:14, 5:9] = True
    mosaic, source = quiltmap.orthomosaic(views, grid, np.where(holes, np.nan, Z).astype(np.float32))
    whole_mosaic, whole_source = quiltmap.orthomosaic(views, grid, Z)
    assert (source[holes] == -1).all() and np.isnan(mosaic[holes]).all()
    # A hole stops no ray: the cells around it are seen as before, or from more views.
    assert (source >= 0)[~holes].mean() >= (whole_source >= 0)[~holes].mean() - 0.01 > 0.5
    mosaic, source = quiltmap.orthomosaic(views, grid, np.full(grid.shape, np.nan, np.float32))
    assert (source == -1).all() and np.isnan(mosaic).all()


@pytest.mark.parametrize("layout", ["fortran", "strided"])
def test_images_of_any_layout_give_the_same_bits(small, layout):
    views, grid, z_range = small
    expected = quiltmap.reconstruct(views, grid, z_range, Settings(labels=8))

    def relaid(image):
        if layout == "fortran":
            return np.asfortranarray(image)
        wide = np.zeros(image.shape[:2] + (2 * image.shape[2],), np.float32)
        wide[..., ::2] = image
        return wide[..., ::2]

    got = quiltmap.reconstruct([View(camera, relaid(image)) for camera, image in views], grid, z_range,
                               Settings(labels=8))
    for name in ("heights", "orthomosaic", "source"):
        np.testing.assert_array_equal(getattr(got, name), getattr(expected, name))


def test_a_mirror_is_not_a_rotation():
    with pytest.raises(ValueError, match="Camera.R must be a rotation"):
        Camera(np.diag([1.0, 1.0, -1.0]), [0, 0, 50.0], 40.0, 0, 0, 31.5, 23.5, 64, 48)


@pytest.mark.parametrize("call", ["reconstruct", "orthomosaic"])
def test_a_cell_size_absurd_against_the_height_range_is_refused_at_once(small, call):
    views, grid, z_range = small
    tiny = GroundGrid(grid.X0, grid.Y0, 1e-5, grid.rows, grid.columns)
    start = time.monotonic()
    with pytest.raises(ValueError, match=r"GroundGrid.gsd \(1e-05\) is too small"):
        if call == "reconstruct":
            quiltmap.reconstruct(views, tiny, z_range, Settings(labels=8))
        else:
            quiltmap.orthomosaic(views, tiny, np.linspace(*z_range, tiny.rows * tiny.columns, dtype=np.float32)
                                 .reshape(tiny.shape))
    assert time.monotonic() - start < 5


def test_tiles_go_to_the_scheduler_in_bounded_batches(small, monkeypatch):
    pytest.importorskip("dask")
    from quiltmap import tiled

    views, grid, z_range = small
    grid = GroundGrid(grid.X0, grid.Y0, grid.gsd / 4, grid.rows * 4, grid.columns * 4)  # 2 x 2 tiles of 64 cells
    whole = tiled.reconstruct_tiled(views, grid, z_range, Settings(labels=8), tiling=tiled.Tiling(64, 8))
    sizes = []
    real = tiled.in_batches

    def counted(compute, *args, **kwargs):
        def compute_counted(tasks, done=None):
            sizes.append(len(tasks))
            return compute(tasks, done)
        return real(compute_counted, *args, **dict(kwargs, batch=3))

    monkeypatch.setattr(tiled, "in_batches", counted)
    batched = tiled.reconstruct_tiled(views, grid, z_range, Settings(labels=8), tiling=tiled.Tiling(64, 8))
    assert max(sizes) == 3 and sum(sizes) == 2 * 4
    for name in ("heights", "orthomosaic", "source"):
        np.testing.assert_array_equal(getattr(batched, name), getattr(whole, name))


@pytest.mark.timeout(300)
def test_a_local_cluster_listens_on_loopback_only_and_takes_no_stranger():
    distributed = pytest.importorskip("distributed")
    psutil = pytest.importorskip("psutil")
    from conftest import SANITIZED
    from quiltmap.tiled import engine

    if SANITIZED:
        pytest.skip("not under AddressSanitizer: a cluster of worker processes")
    with engine("cluster", 2) as (_, client):
        address = client.scheduler_info()["address"]
        processes = [psutil.Process()] + psutil.Process().children(recursive=True)
        listening = [connection.laddr.ip for process in processes
                     for connection in getattr(process, "net_connections", process.connections)("inet")
                     if connection.status == psutil.CONN_LISTEN]
        assert len(listening) >= 5 and set(listening) == {"127.0.0.1"}
        assert address.startswith("tls://")
        for stranger in (dict(address=address.replace("tls://", "tcp://")),
                         dict(address=address, security=distributed.security.Security.temporary())):
            with pytest.raises((OSError, TimeoutError, asyncio.TimeoutError)):
                distributed.Client(timeout=3, **stranger)
