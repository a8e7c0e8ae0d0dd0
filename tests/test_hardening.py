"""Inputs that are legal in NumPy yet unusual: misaligned elements, results
that share memory with arguments, grids without cells but with huge extents,
deeply nested struct dtypes, and the module's own view objects."""
import ctypes
import shutil
import subprocess
import threading

import numpy as np
import pytest

from conftest import assert_raises_at
from module_facts import BILATERAL, SAMPLE_VIEW, SGM
from oracles import NpStub, assert_same_floats, same_bytes
from quiltmap import _mvs


def misaligned(a, offset):
    """A copy of `a` whose data address is `offset` bytes past an aligned one."""
    raw = np.zeros(a.nbytes + 16, np.uint8)
    start = (-raw.ctypes.data) % 16 + offset
    moved = raw[start:start + a.nbytes].view(a.dtype).reshape(a.shape)
    moved[...] = a
    assert moved.flags.aligned == (offset % a.itemsize == 0)
    return moved


def sample_view_arguments(seed=3):
    rng = np.random.default_rng(seed)
    H, W, nch = 9, 11, 3
    return dict(
        img=rng.uniform(0, 9, (30, 30, nch)).astype(np.float32),
        R=np.diag([1.0, -1.0, -1.0]) + rng.uniform(-0.05, 0.05, (3, 3)),
        C=np.array([0.3, -0.2, 60.0]),
        f=55.0, k1=1e-3, k2=-1e-4, cx=15.0, cy=15.0, X0=-20.0, Y0=13.5, gsd=3.0,  # the first column misses
        Z=rng.uniform(-2, 2, (H, W)).astype(np.float32),
        out=np.full((H, W, nch), -7.0, np.float32),
        valid=np.full((H, W), 9, np.uint8),
    )


def run_sample_view(args):
    args = {k: (v.copy() if k in ("out", "valid") and v.flags.aligned else v) for k, v in args.items()}
    _mvs.sample_view(*(args[k] for k in SAMPLE_VIEW.parameters))
    return args["out"], args["valid"]


@pytest.mark.parametrize("offset", [1, 2, 3])
@pytest.mark.parametrize("param", ["img", "Z", "out", "R", "C"])
def test_sample_view_misaligned(param, offset):
    args = sample_view_arguments()
    expected_out, expected_valid = run_sample_view(args)
    assert expected_valid.any() and not expected_valid.all()
    moved = dict(args, **{param: misaligned(args[param], offset)})
    out, valid = run_sample_view(moved)
    assert_same_floats(out, expected_out)
    assert same_bytes(valid, expected_valid)


@pytest.mark.parametrize("offset", [1, 2, 3])
def test_sgm_misaligned(offset):
    cost = np.random.default_rng(4).uniform(0, 50, (5, 7, 9)).astype(np.float32)
    assert_same_floats(_mvs.sgm(misaligned(cost, offset), 3.0, 20.0), _mvs.sgm(cost, 3.0, 20.0))


@pytest.mark.parametrize("offset", [1, 2, 3])
def test_bilateral_misaligned(offset):
    rng = np.random.default_rng(5)
    Z = rng.uniform(0, 5, (12, 10)).astype(np.float32)
    valid = (rng.random(Z.shape) < 0.8).astype(np.uint8)
    assert_same_floats(_mvs.bilateral(misaligned(Z, offset), valid, 2, 1.5, 2.0),
                       _mvs.bilateral(Z, valid, 2, 1.5, 2.0))


@pytest.mark.parametrize("offset", [1, 2, 3])
def test_misaligned_results_from_np(restore_np, offset):
    """Whatever `np` hands back is worked on through an aligned copy too, and
    the caller gets the results in the array it returned."""
    def shifted(allocate):
        return lambda shape, dtype: misaligned(allocate(shape, dtype), offset)

    cost = np.random.default_rng(6).uniform(0, 50, (4, 6, 5)).astype(np.float32)
    Z = np.random.default_rng(7).uniform(0, 5, (8, 9)).astype(np.float32)
    expected_agg, expected_Z = _mvs.sgm(cost, 2.0, 9.0), _mvs.bilateral(Z, np.ones(Z.shape, bool), 1, 1.0, 1.0)
    _mvs.np = NpStub(_mvs, overrides={
        "zeros": shifted(np.zeros), "empty": shifted(np.empty),
        "array": lambda source, copy: misaligned(np.array(source, copy=copy), offset)})
    agg, filtered = _mvs.sgm(cost, 2.0, 9.0), _mvs.bilateral(Z, np.ones(Z.shape, bool), 1, 1.0, 1.0)
    assert not agg.flags.aligned and not filtered.flags.aligned
    assert_same_floats(agg, expected_agg)
    assert_same_floats(filtered, expected_Z)


def twice(result):
    """An allocator that hands out the same array on every call."""
    return lambda shape, dtype: result


SGM_COST = np.random.default_rng(8).uniform(0, 9, (2, 3, 4)).astype(np.float32)
SHARED = "sgm(): {} shares memory with {}"


@pytest.mark.parametrize("zeros, failure, message", [
    (twice(np.zeros((2, 3, 4), np.float32)), "view_path",
     SHARED.format("the path buffer 'L'", "the result array 'agg'")),
    (lambda shape, dtype: SGM_COST, "view_agg", SHARED.format("the result array 'agg'", "argument 'cost'")),
    (lambda shape, dtype: np.frombuffer(SGM_COST.data, np.float32, 24, 0).reshape(shape), "view_agg",
     SHARED.format("the result array 'agg'", "argument 'cost'")),
])
def test_sgm_refuses_results_over_its_inputs(restore_np, zeros, failure, message):
    before = SGM_COST.copy()
    _mvs.np = NpStub(_mvs, overrides={"zeros": zeros})
    assert_raises_at("sgm", SGM.failures[failure], ValueError, message, lambda: _mvs.sgm(SGM_COST, 1.0, 2.0))
    assert same_bytes(SGM_COST, before)


def test_sgm_path_over_the_cost(restore_np):
    calls = []

    def zeros(shape, dtype):
        calls.append(shape)
        return np.zeros(shape, dtype) if len(calls) == 1 else SGM_COST

    before = SGM_COST.copy()
    _mvs.np = NpStub(_mvs, overrides={"zeros": zeros})
    assert_raises_at("sgm", SGM.failures["view_path"], ValueError,
                     SHARED.format("the path buffer 'L'", "argument 'cost'"),
                     lambda: _mvs.sgm(SGM_COST, 1.0, 2.0))
    assert same_bytes(SGM_COST, before)


VIEW_REFUSED = "bilateral(): the result array 'out' is the module's view of argument 'Z', not a copy"


@pytest.mark.parametrize("overrides, failure, message", [
    (lambda Z: {"array": lambda source, copy: source}, "view_result", VIEW_REFUSED),
    (lambda Z: {"array": lambda source, copy: np.asarray(source)}, "view_result",
     "bilateral(): the result array 'out' shares memory with argument 'Z'"),
    (lambda Z: {"array": lambda source, copy: Z}, "view_result",
     "bilateral(): the result array 'out' shares memory with argument 'Z'"),
    (lambda Z: {"empty": lambda shape, dtype: Z}, "weight_table",
     "bilateral(): the weight table 'sw' shares memory with argument 'Z'"),
])
def test_bilateral_refuses_results_over_its_inputs(restore_np, overrides, failure, message):
    Z = np.arange(9, dtype=np.float32).reshape(3, 3) * 0.5
    before = Z.copy()
    _mvs.np = NpStub(_mvs, overrides=overrides(Z))
    assert_raises_at("bilateral", BILATERAL.failures[failure], ValueError, message,
                     lambda: _mvs.bilateral(Z, np.ones((3, 3), bool), 1, 1.0, 1.0))
    assert same_bytes(Z, before)


def test_bilateral_out_over_the_mask(restore_np):
    valid = np.ones((3, 4), np.uint8)
    over_mask = np.frombuffer(valid.data, np.float32).reshape(3, 1)
    Z = np.ones((3, 1), np.float32)
    _mvs.np = NpStub(_mvs, overrides={"array": lambda source, copy: over_mask})
    assert_raises_at("bilateral", BILATERAL.failures["view_result"], ValueError,
                     "bilateral(): the result array 'out' shares memory with argument 'valid'",
                     lambda: _mvs.bilateral(Z, valid, 1, 1.0, 1.0))
    assert (valid == 1).all()


def test_bilateral_table_over_its_result(restore_np):
    made = []

    def array(source, copy):
        made.append(np.array(source, copy=True))
        return made[-1]

    _mvs.np = NpStub(_mvs, overrides={"array": array, "empty": lambda shape, dtype: made[-1]})
    assert_raises_at("bilateral", BILATERAL.failures["weight_table"], ValueError,
                     "bilateral(): the weight table 'sw' shares memory with the result array 'out'",
                     lambda: _mvs.bilateral(np.zeros((3, 3), np.float32), np.ones((3, 3), bool), 1, 1.0, 1.0))


EMPTY_GRIDS = """
import time
import numpy as np
from quiltmap import _mvs
huge = 2 ** 40
for shape in [(huge, 0), (0, huge)]:
    Z = np.zeros(shape, np.float32)
    start = time.monotonic()
    result = _mvs.bilateral(Z, None, 3, 1.0, 1.0)
    assert result.shape == shape
    _mvs.sample_view(None, None, None, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0, Z, None, None)
    print("grid", shape, round(time.monotonic() - start, 3))
for shape in [(huge, 2 ** 20, 0), (0, huge, 2 ** 20), (2 ** 20, 0, huge)]:
    start = time.monotonic()
    assert _mvs.sgm(np.zeros(shape, np.float32), 1.0, 2.0).shape == shape
    print("volume", shape, round(time.monotonic() - start, 3))
"""


def test_empty_grids_with_huge_extents_return_at_once(run_python):
    # A kernel that walked the empty rows would hold this up for hours with
    # the lock released; the child's time limit turns that into a failure.
    done = run_python(EMPTY_GRIDS)
    assert done.returncode == 0, done.stderr
    assert len(done.stdout.splitlines()) == 5


def nested(depth, base="<f4"):
    dtype = np.dtype(base)
    for _ in range(depth):
        dtype = np.dtype([("a", dtype)])
    return dtype


def nested_cost(depth):
    return np.zeros((2, 2, 2), np.float32).view(nested(depth))


def test_nesting_up_to_the_cap_is_read():
    assert memoryview(nested_cost(64)).format.count("T{") == 64
    assert _mvs.sgm(nested_cost(64), 1.0, 2.0).shape == (2, 2, 2)


@pytest.mark.parametrize("depth", [65, 20000])
def test_deeper_nesting_is_refused(depth):
    # The parser must not need a deep stack: a thread with a small one is
    # refused just like the main thread.  NumPy builds the format string
    # recursively itself, so the thread gets a memoryview made here, which
    # holds the string ready.
    cost = memoryview(nested_cost(depth))
    outcome = []
    previous = threading.stack_size(256 * 1024)
    try:
        worker = threading.Thread(target=lambda: outcome.append(_try(lambda: _mvs.sgm(cost, 1.0, 2.0))))
        worker.start()
        worker.join()
    finally:
        threading.stack_size(previous)
    assert outcome == [(ValueError, "Buffer dtype nests structs more than 64 deep")]
    for call in (lambda: _mvs.bilateral(np.zeros((2, 2), np.float32).view(nested(depth)), np.ones((2, 2), bool), 1, 1.0, 1.0),
                 lambda: _mvs.sample_view(None, None, None, 1, 0, 0, 0, 0, 0, 0, 1,
                                          np.zeros((2, 2), np.float32).view(nested(depth)), None, None)):
        assert _try(call) == (ValueError, "Buffer dtype nests structs more than 64 deep")


def _try(call):
    try:
        call()
    except Exception as error:
        return type(error), str(error)
    return None


class Py_buffer(ctypes.Structure):
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.py_object), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_char_p), ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
                ("strides", ctypes.POINTER(ctypes.c_ssize_t)), ("suboffsets", ctypes.POINTER(ctypes.c_ssize_t)),
                ("internal", ctypes.c_void_p)]


PyBUF_STRIDES, PyBUF_C, PyBUF_F, PyBUF_ANY = 0x0018, 0x0038, 0x0058, 0x0098


def request_buffer(exporter, flags):
    """PyObject_GetBuffer with `flags`: None, or the exception it raised."""
    get, release = ctypes.pythonapi.PyObject_GetBuffer, ctypes.pythonapi.PyBuffer_Release
    get.argtypes, get.restype = [ctypes.py_object, ctypes.POINTER(Py_buffer), ctypes.c_int], ctypes.c_int
    release.argtypes, release.restype = [ctypes.POINTER(Py_buffer)], None
    view = Py_buffer()
    try:
        get(exporter, ctypes.byref(view), flags)
    except Exception as error:  # ctypes.pythonapi raises what the call set
        return type(error)
    release(ctypes.byref(view))
    return None


@pytest.mark.parametrize("shape, fortran_ok", [((3, 4), False), ((1, 4), True), ((4, 1), True), ((0, 5), True)])
def test_view_object_honours_only_the_orders_it_has(restore_np, shape, fortran_ok):
    kept = []

    def array(source, copy):
        kept.append(source)
        return np.array(source, copy=copy)

    _mvs.np = NpStub(_mvs, overrides={"array": array})
    _mvs.bilateral(np.zeros(shape, np.float32), np.ones(shape, bool), 1, 1.0, 1.0)
    view = kept[0]
    assert request_buffer(view, PyBUF_C) is None and request_buffer(view, PyBUF_ANY) is None
    assert request_buffer(view, PyBUF_STRIDES) is None
    assert request_buffer(view, PyBUF_F) == (None if fortran_ok else BufferError)


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", _mvs.__file__], capture_output=True, text=True,
                             check=True).stdout
    exported = sorted(line.split()[-1] for line in listing.splitlines() if line.split()[1:2] != ["w"])
    assert exported == ["PyInit__mvs"], exported
    assert "reference" not in subprocess.run([nm, "-C", _mvs.__file__], capture_output=True, text=True).stdout


FAILED_IMPORTS = """
import sys
import builtins
def fail_once():
    sys.modules["numpy"] = None
    try:
        import quiltmap._mvs
    except ImportError:
        pass
    del sys.modules["numpy"]
fail_once()
before = sys.getrefcount(builtins)
for _ in range(50):
    fail_once()
print(sys.getrefcount(builtins) - before)
"""


def test_failed_imports_keep_no_reference(run_python):
    done = run_python(FAILED_IMPORTS)
    assert done.returncode == 0, done.stderr
    assert int(done.stdout) < 5
