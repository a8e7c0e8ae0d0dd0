"""Many threads at once: the kernels run without the interpreter lock, each on
its own views, while other threads rebind `np` or try to pull an input away."""
import array
import threading
import types

import numpy as np
import pytest

from oracles import assert_same_floats, same_bytes
from quiltmap import _mvs

NADIR = (np.diag([1.0, -1.0, -1.0]), np.array([0.0, 0.0, 64.0]), 64.0, 1e-3, 0.0, 30.0, 30.0, -0.5, 0.5, 1.0)


def make_call(kind, seed):
    """A call with inputs of its own: (function, argument list, outputs to compare)."""
    rng = np.random.default_rng(seed)
    if kind == "sgm":
        return _mvs.sgm, [rng.uniform(0, 30, (8, 40, 50)).astype(np.float32), 2.0, 15.0]
    if kind == "bilateral":
        Z = rng.uniform(0, 10, (90, 70)).astype(np.float32)
        return _mvs.bilateral, [Z, rng.random(Z.shape) < 0.9, 3, 2.0, 3.0]
    img = rng.uniform(0, 1, (70, 80, 3)).astype(np.float32)
    Z = rng.uniform(-3, 3, (50, 60)).astype(np.float32)
    return _mvs.sample_view, [img, *NADIR, Z, np.zeros((50, 60, 3), np.float32), np.zeros((50, 60), np.uint8)]


def outputs(function, args, result):
    if function is _mvs.sample_view:
        return [args[-2], args[-1]]
    return [result]


def run(function, args):
    args = [a.copy() if isinstance(a, np.ndarray) else a for a in args]
    return outputs(function, args, function(*args))


def test_mixed_calls_on_eight_threads_match_serial_calls(restore_np):
    calls = [make_call(kind, seed) for seed in range(4) for kind in ("sgm", "bilateral", "sample_view")]
    expected = [run(*call) for call in calls]
    got = [[None] * len(calls) for _ in range(8)]
    errors = []
    stop = threading.Event()

    def worker(t):
        try:
            for round_ in range(3):
                for i in range((t + round_) % len(calls), len(calls), 2):
                    got[t][i] = run(*calls[i])
        except Exception as error:  # reported below, with the thread's own
            errors.append(error)

    def rebinder():
        # An equivalent object in place of the module: each call looks np up
        # afresh and must find a working one whichever it meets.
        equivalent = types.SimpleNamespace(zeros=np.zeros, empty=np.empty, array=np.array, float32=np.float32)
        while not stop.is_set():
            _mvs.np = equivalent
            _mvs.np = np

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
    other = threading.Thread(target=rebinder)
    other.start()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    stop.set()
    other.join()
    assert errors == []
    for t in range(8):
        for i, want in enumerate(expected):
            if got[t][i] is None:
                continue
            for a, b in zip(got[t][i], want):
                if a.dtype == np.float32:
                    assert_same_floats(a, b)
                else:
                    assert same_bytes(a, b)
    assert sum(g is not None for row in got for g in row) >= 8 * len(calls) // 2


def long_bilateral(Z):
    return (_mvs.bilateral(Z, np.ones(Z.shape, bool), 8, 2.0, 3.0),)


def held_bilateral_input():
    # Z reaches the kernel through a memoryview of a bytearray: only the
    # kernel's export stops the memoryview from being released.
    values = np.random.default_rng(11).uniform(0, 10, (1500, 1500)).astype(np.float32)
    Z = memoryview(bytearray(values.tobytes())).cast("B").cast("f", values.shape)
    return Z, Z.release, long_bilateral, values


def held_sample_view_centre():
    # The camera centre in an array.array: only the kernel's export stops it
    # from growing.
    C = array.array("d", [0.0, 0.0, 64.0])
    Z = np.zeros((3000, 3000), np.float32)
    out, valid = np.zeros((3000, 3000, 1), np.float32), np.zeros((3000, 3000), np.uint8)
    img = np.random.default_rng(12).uniform(0, 1, (3100, 3100, 1)).astype(np.float32)

    def long_sample_view(C):
        _mvs.sample_view(img, NADIR[0], C, 64.0, 0.0, 0.0, 1500.0, 1500.0, -1500.0, 1500.0, 1.0, Z, out, valid)
        return out.copy(), valid.copy()

    return C, lambda: C.append(0.0), long_sample_view, np.array(C)


@pytest.mark.parametrize("held", [held_bilateral_input, held_sample_view_centre], ids=["release", "resize"])
def test_input_cannot_be_pulled_away_while_a_kernel_runs(held):
    exporter, pull, kernel, same_values = held()
    before = bytes(exporter)
    expected = kernel(same_values)
    started, attempted = threading.Event(), []

    def attempt():
        started.wait()
        # The call acquires its views within microseconds of starting, then
        # computes for far longer than this wait.
        threading.Event().wait(0.03)
        try:
            pull()
            attempted.append("pulled away")
        except BufferError:
            attempted.append(BufferError)

    other = threading.Thread(target=attempt)
    other.start()
    started.set()
    got = kernel(exporter)
    other.join()
    assert attempted == [BufferError]
    assert bytes(exporter) == before
    assert all(same_bytes(a, b) for a, b in zip(got, expected))
