"""Output folders that are never left mixed, half-written or written through
someone else's link.

Ownership: a run holds an exclusive lock on its output folder (flock on the
folder itself, so no lock file is ever left behind) from before its first
write to after its last. It writes every file into a private folder of its
own inside the output folder (`.quiltmap-run-XXXXXXXX`, made by mkdtemp:
mode 0700, a name nobody else holds), and only when the whole set is there
and flushed to disk moves it into place: the earlier files of the same names
(and the outputs of the other kind of run) are first moved aside into the
private folder, then the new files are renamed into place, and the private
folder with what was moved aside is deleted. A failure, SIGINT or SIGTERM
before that point deletes the private folder and leaves the output folder as
it was; renames are within one filesystem and never follow a link, and the
signals are held back while they run.

What survives a crash: a process killed outright (SIGKILL, power loss)
before the final renames leaves the earlier outputs untouched and its
private folder behind, which the next run into the folder deletes; killed
during the renames (a few milliseconds), it can leave part of the new set in
place beside the rest of the old one, with the old files in the private
folder. Files are fsync'ed before they are renamed and the folder after.
"""
import errno
import fcntl
import io
import os
import secrets
import shutil
import signal
import tempfile
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO, Callable, Iterable, Iterator, Optional, Union

__all__ = ["Output", "OUTPUTS", "FolderBusy", "OutputFolder", "exclusive_file", "replace_atomically",
           "STAGING_PREFIX"]

STAGING_PREFIX = ".quiltmap-run-"


@dataclass(frozen=True)
class Output:
    """A file of the command's output folder: its name, what it holds,
    whether only tiled runs write it, the option that asks for it (None:
    every run writes it), whether a run that does not write it clears an
    earlier run's (a survey description may be the next run's input, and is
    left alone), and for rasters the no-data value their COG declares beside
    NaN and whether their overviews take a cell's value (classes, indices)
    rather than an average."""

    name: str
    what: str
    tiled_only: bool = False
    option: Optional[str] = None
    clear: bool = True
    nodata: Optional[int] = None
    categorical: bool = False


# Rasters are Cloud-Optimized GeoTIFF (tiles of 512, DEFLATE, overviews) by
# default, or plain GeoTIFF with --format geotiff (quiltmap/gis.py); all
# lie on the grid, pixel-is-area, with the survey's EPSG code.
OUTPUTS = (
    Output("heights.tif", "filtered heights in metres, float32, NaN (declared as nodata) where unmatched"),
    Output("orthomosaic.tif", "brightness 0..1 of each cell from the most nadir view that sees it, float32 with "
           "the photographs' channels, NaN where none does"),
    Output("orthomosaic-8bit.tif", "the orthomosaic as 8-bit RGB (grey photographs give grey) with an alpha band, "
           "0 where no view sees the cell", option="--orthomosaic-8bit"),
    Output("filled.tif", "heights with holes filled: the model the orthomosaic uses", tiled_only=True),
    Output("raw.tif", "heights before the filter, NaN where unmatched", tiled_only=True),
    Output("matched.tif", "1 where a cell was matched, 0 elsewhere", tiled_only=True, categorical=True),
    Output("source.tif", "the view each orthomosaic cell comes from, -1 for none (nodata in COG)", tiled_only=True,
           nodata=-1, categorical=True),
    Output("points.las", "LAS 1.2 point cloud: each matched cell's centre and height, its orthomosaic colour in "
           "16-bit RGB, the EPSG code", option="--las"),
    Output("preview.png", "heights in a colour ramp beside the orthomosaic, with a height scale and a legend"),
    Output("report.txt", "what was run, on what, how much of the grid was matched, and the heights' statistics"),
    Output("survey.json", "`photos`: the survey it made, for `quiltmap reconstruct`", clear=False),
)


class FolderBusy(OSError):
    """Another run holds the output folder."""


def _file_of(descriptor: int, path) -> BinaryIO:
    """A buffered binary file over an open descriptor that knows its path
    (writers such as tifffile ask for the name of the file they are given)."""
    raw = io.FileIO(descriptor, "wb")
    raw.name = os.fspath(path)  # type: ignore[misc]
    return io.BufferedWriter(raw)  # type: ignore[return-value]


def exclusive_file(path: Union[str, os.PathLike]) -> BinaryIO:
    """A new file at `path` open for writing; fails if anything, a link
    included, already has that name."""
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o666)
    return _file_of(descriptor, path)


def _fsync_path(path, directory=False):
    flags = os.O_RDONLY | os.O_CLOEXEC | (os.O_DIRECTORY if directory else os.O_NOFOLLOW)
    descriptor = os.open(path, flags)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def replace_atomically(path: Union[str, os.PathLike], write: Callable[[BinaryIO], object]) -> None:
    """Writes a file through `write(file)` under a temporary name of its own
    in `path`'s folder (made exclusively, never through a link), then renames
    it onto `path`, so that no half-written file is ever left under the final
    name and a link planted at `path` is replaced, not followed."""
    path = Path(path)
    while True:  # mkstemp's way, but with the mode of any new file (0666 less the umask), not 0600
        temporary = path.with_name(f".{path.name}.{secrets.token_hex(4)}.partial")
        try:
            file = exclusive_file(temporary)
            break
        except FileExistsError:
            continue
    try:
        with file:
            write(file)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


@contextmanager
def signals_held() -> Iterator[None]:
    """SIGINT and SIGTERM wait until the block is done (in this thread)."""
    held = {signal.SIGINT, signal.SIGTERM}
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, held)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


class OutputFolder:
    """An output folder held for one run (see the module's documentation):

        with OutputFolder(out) as folder:
            ... write files into folder.staging ...
            folder.publish(["heights.tif", ...], remove=["raw.tif", ...])

    Entering makes the folder (and its parents) if missing, takes the lock
    (FolderBusy if another run holds it) and deletes private folders that
    dead runs left. Leaving without publishing deletes the private folder,
    and the output folder too if this run made it and it is empty."""

    def __init__(self, path: Union[str, os.PathLike]):
        self.path = Path(path)
        self.staging = Path()
        self._lock: Optional[int] = None
        self._made: list = []

    def __enter__(self) -> "OutputFolder":
        missing = []
        for folder in (self.path, *self.path.parents):
            if os.path.lexists(folder):
                break
            missing.append(folder)
        self.path.mkdir(parents=True, exist_ok=True)
        self._made = missing
        try:
            self._lock = os.open(self.path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
            try:
                fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError as error:
                if error.errno in (errno.EWOULDBLOCK, errno.EAGAIN):
                    raise FolderBusy(error.errno, "another quiltmap run is writing into this folder",
                                     str(self.path)) from None
                # A filesystem without locks (some network ones): private names still keep
                # concurrent runs' files apart; only the early refusal is lost.
            self._clear_dead_runs()
            self.staging = Path(tempfile.mkdtemp(prefix=STAGING_PREFIX, dir=self.path))
        except BaseException:
            self._release()
            raise
        return self

    def _clear_dead_runs(self):
        # Under the lock, every private folder belongs to a run that is gone.
        with os.scandir(self.path) as entries:
            dead = [entry.path for entry in entries
                    if entry.name.startswith(STAGING_PREFIX) and entry.is_dir(follow_symlinks=False)]
        for folder in dead:
            shutil.rmtree(folder, ignore_errors=True)

    def publish(self, names: Iterable[str], remove: Iterable[str] = ()) -> None:
        """Moves the files `names` from the private folder into place, and
        the output folder's files `remove` out of the way, all or none."""
        names, remove = list(names), [name for name in remove if name not in names]
        for name in names:
            _fsync_path(self.staging / name)
        aside = Path(tempfile.mkdtemp(prefix="previous-", dir=self.staging))
        moved_aside, placed = [], []
        with signals_held():
            try:
                for name in names + remove:
                    if os.path.lexists(self.path / name):
                        os.rename(self.path / name, aside / name)
                        moved_aside.append(name)
                for name in names:
                    os.rename(self.staging / name, self.path / name)
                    placed.append(name)
            except BaseException:
                for name in placed:
                    os.rename(self.path / name, self.staging / name)
                for name in moved_aside:
                    os.rename(aside / name, self.path / name)
                raise
        _fsync_path(self.path, directory=True)
        self._made = []  # the folder now holds this run's outputs: it stays

    def _release(self):
        if self.staging != Path():
            shutil.rmtree(self.staging, ignore_errors=True)
            self.staging = Path()
        if self._lock is not None:
            os.close(self._lock)  # releases the flock
            self._lock = None
        for folder in self._made:
            try:
                folder.rmdir()
            except OSError:
                break
        self._made = []

    def __exit__(self, *exc_info):
        self._release()
