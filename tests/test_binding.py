"""Calls across the module boundary: binding, array views, number
conversions, reference hygiene and the interpreter lock."""
import array
import ctypes
import gc
import os
import sys
import threading
import time
import warnings

import numpy as np
import pytest

import quiltmap._mvs as mvs
from conftest import assert_raises_at, SANITIZED
from module_facts import BILATERAL, FUNCTIONS as FACTS
from oracles import NpStub, read_only

F32, U8 = np.float32, np.uint8


# ---------------------------------------------------------------------------
# Arguments that every function accepts, fresh for each call (sample_view
# writes into its own).


def sample_view_args():
    # A nadir camera 10 units above a 4 x 5 grid; every cell lands inside img.
    rng = np.random.default_rng(7)
    return dict(img=rng.random((12, 16, 3), dtype=F32), R=np.diag([1.0, -1.0, -1.0]), C=np.array([0.0, 0.0, 10.0]),
                f=10.0, k1=0.01, k2=0.001, cx=7.5, cy=5.5, X0=-2.6, Y0=2.2, gsd=0.9,
                Z=rng.random((4, 5), dtype=F32), out=np.full((4, 5, 3), -5.0, F32), valid=np.full((4, 5), 7, U8))


def sgm_args():
    return {"cost": np.random.default_rng(8).random((3, 4, 5), dtype=F32) * 4, "P1": 0.5, "P2": 2.0}


def bilateral_args():
    valid = np.ones((5, 6), U8)
    valid[1, 2] = valid[3, 4] = 0
    Z = np.random.default_rng(9).random((5, 6), dtype=F32) * 3
    return {"Z": Z, "valid": valid, "radius": 1, "sigma_r": 0.5, "sigma_s": 1.5}


ARGS = {"sample_view": sample_view_args, "sgm": sgm_args, "bilateral": bilateral_args}
FUNCTIONS = list(ARGS)
ARRAYS = {"img", "R", "C", "Z", "out", "valid", "cost"}


def outputs(name, args, result):
    """What a call leaves behind: its result, or sample_view's out and valid."""
    if name == "sample_view":
        assert result is None
        return [np.array(args["out"]), np.array(args["valid"], U8)]
    assert type(result) is np.ndarray and result.dtype == F32
    return [result]


def run(name, args):
    return outputs(name, args, getattr(mvs, name)(*args.values()))


def snapshot_outputs(name, args):
    return [np.array(args[k]) for k in ("out", "valid") if name == "sample_view" and args[k] is not None]


# ---------------------------------------------------------------------------
# Binding.


class Folded(str):
    """Equal to any string that differs only in case."""

    def __eq__(self, other):
        return isinstance(other, str) and str.lower(self) == str.lower(other)

    __hash__ = str.__hash__


class Broken(str):
    def __eq__(self, other):
        raise LookupError("cannot compare")

    __hash__ = str.__hash__


def split(name, k, keywords):
    """Fresh arguments: the first k by position (None past the last), then `keywords` (key: parameter)."""
    args = ARGS[name]()
    values = list(args.values()) + [None]
    return args, values[:k], {key: args[p] for key, p in keywords.items()}


def binding_refusals(name):
    names = list(FACTS[name].parameters)
    n = len(names)
    takes = f"{name}() takes exactly {n} positional arguments ({{}} given)"
    multiple = f"{name}() got multiple values for keyword argument '{{}}'"

    def rest(k, *skip):
        return {p: p for p in names[k:] if p not in skip}

    for k in (n - 1, n + 1, 1, 0):
        yield k, {}, TypeError, takes.format(k)
    for missing in range(n):  # the count given is that of the parameters in front of the unfilled one
        for k in sorted({0, missing}):
            yield k, rest(k, names[missing]), TypeError, takes.format(missing)
    for i, p in enumerate(names):
        yield i + 1, {**rest(i + 1), p: p}, TypeError, multiple.format(p)
    for keyword in ("q", "Img", "p1", "\U0001f600"):
        for k in (n, 0):
            unexpected = f"{name}() got an unexpected keyword argument '{keyword}'"
            yield k, {**rest(k), keyword: names[0]}, TypeError, unexpected
    folded = Folded(names[0].swapcase())  # matched by the subclass's own equality
    yield n, {folded: names[0]}, TypeError, multiple.format(folded)
    yield n - 1, {Broken(names[-1]): names[-1]}, LookupError, "cannot compare"


@pytest.mark.parametrize("name, k, keywords, error, message",
                         [(name, *case) for name in FUNCTIONS for case in binding_refusals(name)])
def test_binding_refusals(name, k, keywords, error, message):
    _, positional, keywords = split(name, k, keywords)
    assert_raises_at(name, FACTS[name].first_line, error, message,
                     lambda: getattr(mvs, name)(*positional, **keywords))


def accepted_calls(name):
    names = list(FACTS[name].parameters)
    n = len(names)
    yield n, {}  # an empty keyword dictionary is no keyword at all
    for order in (names[::-1], names[1:] + names[:1], sorted(names, key=lambda p: (len(p), p))):
        for k in (0, n // 2):
            yield k, {p: p for p in order if names.index(p) >= k}
    yield 0, {"".join(list(p)): p for p in names}  # equal strings, not the interned ones
    yield n - 1, {Folded(names[-1].swapcase()): names[-1]}


@pytest.mark.parametrize("name, k, keywords", [(name, *case) for name in FUNCTIONS for case in accepted_calls(name)])
def test_keywords_bind_like_positions(name, k, keywords):
    args, positional, keywords = split(name, k, keywords)
    result = getattr(mvs, name)(*positional, **keywords)
    np.testing.assert_equal(outputs(name, args, result), run(name, ARGS[name]()))


@pytest.mark.parametrize("name, a, b", [("sample_view", "cx", "cy"), ("sgm", "P1", "P2"),
                                        ("bilateral", "sigma_r", "sigma_s")])
def test_swapped_values_show(name, a, b):
    # So keywords bound to the wrong parameter, bilateral's sigmas among them, would show above.
    args = ARGS[name]()
    args[a], args[b] = args[b], args[a]
    assert any(not np.array_equal(x, y, equal_nan=True) for x, y in zip(run(name, args), run(name, ARGS[name]())))


# PyTypeObject.tp_vectorcall_offset on 64-bit platforms, where every
# supported CPython (3.9 to 3.13) keeps it.
TP_VECTORCALL_OFFSET = 56
VECTORCALL = ctypes.PYFUNCTYPE(
    ctypes.py_object, ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object)


def vectorcall(function, values, kwnames):
    """Calls the function's vectorcall slot directly, as C code may do."""
    function_type = type(function)
    assert function_type.__flags__ & (1 << 11), "the function type has no vectorcall slot"
    offset = ctypes.c_ssize_t.from_address(id(function_type) + TP_VECTORCALL_OFFSET).value
    assert 0 < offset < function_type.__basicsize__
    entry = VECTORCALL(ctypes.c_void_p.from_address(id(function) + offset).value)
    vector = (ctypes.py_object * len(values))(*values)
    return entry(function, vector, len(values) - len(kwnames), kwnames)


@pytest.mark.skipif(ctypes.sizeof(ctypes.c_void_p) != 8, reason="reads CPython's 64-bit type layout")
@pytest.mark.parametrize("name", FUNCTIONS)
def test_vectorcall_keyword_names(name):
    f = getattr(mvs, name)
    args = ARGS[name]()
    result = vectorcall(f, list(args.values()), (list(args)[-1],))
    np.testing.assert_equal(outputs(name, args, result), run(name, ARGS[name]()))
    # A caller in C can pass names that are not strings; the binding refuses them.
    assert_raises_at(name, FACTS[name].first_line, TypeError, f"{name}() keywords must be strings",
                     lambda: vectorcall(f, list(ARGS[name]().values()), (1,)))


# ---------------------------------------------------------------------------
# Refused arguments: views, shapes and numbers.


def padded(base, offset, itemsize):
    return np.dtype({"names": ["a"], "formats": [base], "offsets": [offset], "itemsize": itemsize})


def bytes_view(a, fmt):
    """A read-only memoryview over a copy of `a`'s bytes."""
    return memoryview(np.ascontiguousarray(a).tobytes()).cast(fmt, a.shape)


def writable_bytes_view(a, fmt):
    return memoryview(bytearray(np.ascontiguousarray(a).tobytes())).cast(fmt, a.shape)


class FloatSubclass(float):
    def __float__(self):
        return 99.0


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatRaises:
    def __float__(self):
        raise KeyError("no float")


class IntSubclass(int):
    def __int__(self):
        raise RuntimeError("__int__ of an int subclass is not called")

    def __index__(self):
        raise RuntimeError("__index__ of an int subclass is not called")


class IntReturns:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IntRaises:
    def __int__(self):
        raise KeyError("no int")


def refusal(name, param, value, error, message, line=None):
    # value: the argument, or a function of the accepted one; line: by default its conversion's.
    return name, param, value, error, message, line or FACTS[name].conversions[param]


# The failure that an array too small for the grid ends in.
TOO_SMALL = {("sample_view", "R"): "camera", ("sample_view", "C"): "camera", ("sample_view", "out"): "outputs",
             ("sample_view", "valid"): "outputs", ("bilateral", "valid"): "mask"}


def short(name, param, value, needs):
    got = "is None" if value is None else f"has shape {value.shape}"
    return refusal(name, param, value, ValueError, f"{name}(): argument '{param}' {got} but needs at least {needs}",
                   FACTS[name].failures[TOO_SMALL[name, param]])


DIMS = "Buffer has wrong number of dimensions (expected {}, got {})"
MISMATCH = "Buffer dtype mismatch, expected {} but got {}"
FLOAT_BUT = MISMATCH.format("'const float'", "{}")
NOT_C = "ndarray is not C-contiguous"
READ_ONLY = "buffer source array is read-only"
TOO_LARGE = "Python int too large to convert to C int"
WRONG_TYPE = {  # a value of the wrong type for each kind of parameter
    "array": ([1.0, 2.0], TypeError, "a bytes-like object is required, not 'list'"),
    "int": ("2", TypeError, "an integer is required"),
    "float": ("2.0", TypeError, "must be real number, not str"),
}

REFUSALS = [
    # Every parameter, refused at its own line.
    *[refusal(name, p, *WRONG_TYPE["array" if p in ARRAYS else "int" if p == "radius" else "float"])
      for name in FUNCTIONS for p in FACTS[name].parameters],
    # Dimensions are tested before the element type.
    refusal("sgm", "cost", np.zeros((4, 5), F32), ValueError, DIMS.format(3, 2)),
    refusal("sgm", "cost", np.zeros((4, 5)), ValueError, DIMS.format(3, 2)),
    refusal("bilateral", "Z", bytes(120), ValueError, DIMS.format(2, 1)),
    refusal("sample_view", "C", np.zeros((1, 3)), ValueError, DIMS.format(1, 2)),
    # Element types, by the names the parameters quote.
    refusal("sgm", "cost", np.zeros((3, 4, 5)), ValueError, MISMATCH.format("'const float'", "'double'")),
    refusal("bilateral", "valid", np.zeros((5, 6), np.int8), ValueError,
            MISMATCH.format("'const unsigned char'", "'signed char'")),
    refusal("sample_view", "valid", np.zeros((4, 5), np.int8), ValueError,
            MISMATCH.format("'uint8_t'", "'signed char'")),
    refusal("sample_view", "out", np.zeros((4, 5, 3)), ValueError, MISMATCH.format("'float'", "'double'")),
    refusal("sample_view", "R", np.zeros((3, 3), F32), ValueError, MISMATCH.format("'const double'", "'float'")),
    refusal("sample_view", "C", bytearray(24), ValueError, MISMATCH.format("'const double'", "'unsigned char'")),
    refusal("bilateral", "Z", np.zeros((5, 6), np.complex64), ValueError, FLOAT_BUT.format("'complex float'")),
    refusal("bilateral", "Z", np.zeros((5, 6), object), ValueError, FLOAT_BUT.format("Python object")),
    refusal("bilateral", "Z", bytes_view(np.zeros((5, 6), np.int8), "c"), ValueError, FLOAT_BUT.format("'char'")),
    # Formats that describe no element, or more than one.
    refusal("bilateral", "Z", np.zeros((5, 6), np.dtype([])), ValueError, FLOAT_BUT.format("end")),
    refusal("bilateral", "Z", np.zeros((5, 6), "V4"), ValueError, FLOAT_BUT.format("end")),
    refusal("bilateral", "Z", np.zeros((5, 6), [("a", "<f4"), ("b", "<f4")]), ValueError,
            MISMATCH.format("end", "'float'")),
    refusal("bilateral", "Z", np.zeros((5, 6), padded("<f4", 4, 8)), ValueError,
            "Buffer dtype mismatch; next field is at offset 4 but 0 expected"),
    refusal("bilateral", "Z", np.zeros((5, 6), padded("<f4", 0, 8)), ValueError,
            "Item size of buffer (8 bytes) does not match size of 'const float' (4 bytes)"),
    refusal("bilateral", "valid", np.zeros((5, 6), padded("u1", 0, 2)), ValueError,
            "Item size of buffer (2 bytes) does not match size of 'const unsigned char' (1 byte)"),
    refusal("bilateral", "Z", np.zeros((5, 6), ">f4"), ValueError,
            "Big-endian buffer not supported on little-endian compiler"),
    refusal("bilateral", "Z", np.zeros((5, 6), np.float16), ValueError,
            "Does not understand character buffer dtype format string ('e')"),
    refusal("bilateral", "Z", (ctypes.c_longdouble * 6 * 5)(), ValueError,
            "Python does not define a standard format string size for long double ('g').."),
    # The exporter's own refusals: not C-contiguous, or read-only where written.
    refusal("sgm", "cost", lambda a: a.transpose(0, 2, 1), ValueError, NOT_C),
    refusal("bilateral", "Z", lambda a: a[:, ::2], ValueError, NOT_C),
    refusal("sample_view", "R", np.arange(9.0).reshape(3, 3).T, ValueError, NOT_C),
    refusal("sgm", "cost", memoryview(np.zeros((6, 4, 5), F32))[::2], BufferError,
            "memoryview: underlying buffer is not C-contiguous"),
    refusal("sample_view", "out", read_only, ValueError, READ_ONLY),
    refusal("sample_view", "valid", read_only, ValueError, READ_ONLY),
    refusal("sample_view", "valid", lambda a: bytes_view(a, "B"), BufferError,
            "memoryview: underlying buffer is not writable"),
    # Arrays too small for the grid.
    short("sample_view", "R", None, (3, 3)),
    short("sample_view", "R", np.eye(2), (3, 3)),
    short("sample_view", "R", np.eye(3)[:, :2].copy(), (3, 3)),
    short("sample_view", "C", None, (3,)),
    short("sample_view", "C", np.zeros(2), (3,)),
    short("sample_view", "out", None, (4, 5, 3)),
    short("sample_view", "out", np.zeros((2, 3, 3), F32), (4, 5, 3)),
    short("sample_view", "out", np.zeros((4, 5, 2), F32), (4, 5, 3)),
    short("sample_view", "valid", None, (4, 5)),
    short("sample_view", "valid", np.zeros((4, 4), U8), (4, 5)),
    short("bilateral", "valid", None, (5, 6)),
    short("bilateral", "valid", np.ones((3, 4), U8), (5, 6)),
    short("bilateral", "valid", np.ones((5, 5), U8), (5, 6)),
    # Numbers.
    refusal("sample_view", "k2", None, TypeError, "must be real number, not NoneType"),
    refusal("sample_view", "k2", FloatRaises(), KeyError, "'no float'"),
    refusal("sample_view", "k2", 2 ** 1024, OverflowError, "int too large to convert to float"),
    *[refusal("bilateral", "radius", v, OverflowError, TOO_LARGE) for v in (2 ** 31, -2 ** 31 - 1, 2.0 ** 31)],
    refusal("bilateral", "radius", IntSubclass(2 ** 40), OverflowError, TOO_LARGE),
    refusal("bilateral", "radius", None, TypeError, "an integer is required"),
    refusal("bilateral", "radius", IndexOnly(2), TypeError, "an integer is required"),
    refusal("bilateral", "radius", IntReturns(2.0), TypeError, "__int__ returned non-int (type float)"),
    refusal("bilateral", "radius", IntRaises(), KeyError, "'no int'"),
    # Converted, then refused by NumPy for a table of side 2 r + 1, counted without overflow.
    *[refusal("bilateral", "radius", r, ValueError, "negative dimensions are not allowed",
              BILATERAL.failures["weight_table"]) for r in (-2.9, -1)],
    refusal("bilateral", "radius", 2 ** 31 - 1, ValueError,
            "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size.",
            BILATERAL.failures["weight_table"]),
]


@pytest.mark.parametrize("name, param, value, error, message, line", REFUSALS)
def test_refused_argument(restore_np, name, param, value, error, message, line):
    args = ARGS[name]()
    args[param] = value = value(args[param]) if callable(value) else value
    before = snapshot_outputs(name, args)
    refs = sys.getrefcount(value)
    stub = mvs.np = NpStub(mvs)
    assert_raises_at(name, line, error, message, lambda: getattr(mvs, name)(*args.values()))
    gc.collect()
    # No export of it is kept (None, ints and strings are shared too widely to count).
    assert isinstance(value, (type(None), int, float, str)) or sys.getrefcount(value) == refs
    np.testing.assert_equal(snapshot_outputs(name, args), before)
    # Refused at a parameter's line (its conversion, or its size checked against the grid's): before any work.
    assert line not in FACTS[name].conversions.values() or stub.log == []


@pytest.mark.parametrize("name, param, make", [
    ("bilateral", "valid", lambda a: a.astype(bool)),
    ("bilateral", "valid", lambda a: bytes_view(a, "B")),
    ("bilateral", "valid", lambda a: bytes_view(a, "c")),
    ("bilateral", "valid", lambda a: np.ctypeslib.as_ctypes(a.astype(bool))),
    ("bilateral", "Z", lambda a: a.view([("h", "<f4")])),  # one field
    ("bilateral", "Z", np.ctypeslib.as_ctypes),
    ("sgm", "cost", read_only),
    ("sgm", "cost", lambda a: writable_bytes_view(a, "f")),
    ("sample_view", "img", read_only),
    ("sample_view", "R", lambda a: bytes_view(a, "d")),
    ("sample_view", "C", lambda a: array.array("d", a)),
    ("sample_view", "out", lambda a: writable_bytes_view(a, "f")),
    ("sample_view", "valid", lambda a: a.astype(bool)),
    ("sample_view", "valid", lambda a: writable_bytes_view(a, "B")),
])
def test_other_exporters_accepted(name, param, make):
    args = ARGS[name]()
    args[param] = make(args[param])
    np.testing.assert_equal(run(name, args), run(name, ARGS[name]()))


@pytest.mark.parametrize("rows", [slice(2, 3, 4), slice(3, 2, -1), slice(5, 5, 3), slice(0, 1, 7)])
def test_extent_zero_and_one_take_any_stride(rows):
    cost = memoryview(np.arange(200, dtype=F32).reshape(10, 4, 5))[rows]
    z = memoryview(np.arange(60, dtype=F32).reshape(10, 6))[rows]
    assert cost.c_contiguous and z.c_contiguous  # as the exporter sees it
    valid = np.ones((z.shape[0], 6), U8)
    np.testing.assert_equal([mvs.sgm(cost, 0.5, 2.0), mvs.bilateral(z, valid, 1, 2.0, 1.0)],
                [mvs.sgm(np.array(cost), 0.5, 2.0), mvs.bilateral(np.array(z), valid, 1, 2.0, 1.0)])


# ---------------------------------------------------------------------------
# Accepted numbers.


def sampled_at(cx):
    """sample_view's one sample of a ramp image, taken at column cx."""
    out = np.full((1, 1, 1), -5.0, F32)
    valid = np.zeros((1, 1), U8)
    img = np.arange(10, dtype=F32).reshape(1, 10, 1)
    mvs.sample_view(img, np.diag([1.0, -1.0, -1.0]), np.array([0.0, 0.0, 1.0]), 1.0, 0.0, 0.0, cx, 0.0,
                    -0.5, 0.5, 1.0, np.zeros((1, 1), F32), out, valid)
    assert valid[0, 0] == 1
    return float(out[0, 0, 0])


@pytest.mark.parametrize("value, expected", [
    (2.5, 2.5),
    (FloatSubclass(2.5), 2.5),  # the float's value, not its __float__
    (IndexOnly(3), 3.0),
    (np.float32(1.25), 1.25),
    (np.float64(6.75), 6.75),
    (np.int16(4), 4.0),
    (True, 1.0),
    (7, 7.0),
])
def test_doubles(value, expected):
    assert sampled_at(value) == expected


def penalty_as_used(P1, P2=1e30, B=1e30):
    """sgm on two cells of one row and two labels: the second cell's label 1
    comes out as min(B, P1, P2) (label 0 costs 0 everywhere)."""
    cost = np.zeros((2, 1, 2), F32)
    cost[1, 0, 0] = B
    return float(mvs.sgm(cost, P1, P2)[1, 0, 1])


@pytest.mark.parametrize("P1, P2, B, expected", [
    (0.25, 1e30, 1e30, 0.25),
    (1 + 0.75 * 2 ** -23, 1e30, 1e30, 1 + 2 ** -23),  # to nearest, not toward zero
    (1 + 2 ** -24, 1e30, 1e30, 1.0),  # ties to even
    (1 + 3 * 2 ** -24, 1e30, 1e30, 1 + 2 ** -22),
    (2 ** -150, 1e30, 1e30, 0.0),
    (True, 1e30, 1e30, 1.0),
    (np.float64(0.5), 1e30, 1e30, 0.5),
    (IndexOnly(3), 1e30, 1e30, 3.0),
    (FloatSubclass(2.5), 1e30, 1e30, 2.5),
    # Beyond the single range: infinities, not the largest finite float.
    (1e39, 1e39, float("inf"), float("inf")),
    (-1e39, -1e39, float("inf"), float("-inf")),
    (3.4028235e38, 3.4028235e38, float("inf"), float(np.finfo(F32).max)),
])
def test_singles_round_to_nearest_float32(P1, P2, B, expected):
    assert penalty_as_used(P1, P2, B) == expected


def test_single_nan_is_no_error():
    assert np.isnan(penalty_as_used(float("nan"), float("nan"), float("nan")))


def bilateral_with_radius(radius):
    return mvs.bilateral(*dict(bilateral_args(), radius=radius, sigma_s=5.0).values())


@pytest.mark.parametrize("value, as_int", [
    (2.9, 2), (-0.9, 0), (1.0, 1), (True, 1), (IntSubclass(2), 2), (np.int64(2), 2), (np.float32(1.5), 1),
    (IntReturns(2), 2),
])
def test_radius_truncates_toward_zero(value, as_int):
    expected = bilateral_with_radius(as_int)
    assert not np.array_equal(bilateral_with_radius(3 - as_int), expected)  # the radius shows
    np.testing.assert_array_equal(bilateral_with_radius(value), expected)


DEPRECATED_INT = ("__int__ returned non-int (type IntSubclass).  The ability to return an instance of a strict "
                  "subclass of int is deprecated, and may be removed in a future version of Python.")


def test_int_method_returning_an_int_subclass():
    with pytest.warns(DeprecationWarning) as record:
        result = bilateral_with_radius(IntReturns(IntSubclass(1)))
    assert [str(w.message) for w in record] == [DEPRECATED_INT]
    np.testing.assert_array_equal(result, bilateral_with_radius(1))
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        assert_raises_at("bilateral", BILATERAL.conversions["radius"], DeprecationWarning, DEPRECATED_INT,
                         lambda: bilateral_with_radius(IntReturns(IntSubclass(1))))


# ---------------------------------------------------------------------------
# References and buffers are given back.


@pytest.mark.parametrize("name, backed, bad, value", [
    ("sample_view", "img", None, None),
    ("sample_view", "out", None, None),
    ("sample_view", "img", "f", "x"),
    ("sample_view", "Z", "out", read_only(np.zeros((4, 5, 3), F32))),
    ("sample_view", "img", "valid", None),
    ("sgm", "cost", None, None),
    ("sgm", "cost", "P2", "x"),
    ("bilateral", "Z", None, None),
    ("bilateral", "Z", "radius", "x"),
    ("bilateral", "valid", "sigma_s", "x"),
    ("bilateral", "Z", "radius", -1),  # after the copy of Z is made
])
def test_buffers_are_released_after_the_call(name, backed, bad, value):
    args = ARGS[name]()
    original = np.asarray(args[backed])
    store = bytearray(original.tobytes())
    view = memoryview(store).cast(original.dtype.char, original.shape)
    args[backed] = view
    if bad is None:
        run(name, args)
    else:
        args[bad] = value
        with pytest.raises((TypeError, ValueError)):
            run(name, args)
    view.release()  # BufferError while any export is still held
    store.extend(b"\0" * 64)  # and so would a resize
    del store[:]


def test_copy_source_holds_its_export(restore_np):
    captured = []

    def array_(obj, copy):
        captured.append(obj)
        return np.array(obj, copy=copy)

    mvs.np = NpStub(mvs, overrides={"array": array_})
    z = np.arange(30, dtype=F32).reshape(5, 6)
    store = bytearray(z.tobytes())
    writable_z = memoryview(store).cast("f", (5, 6))
    mvs.bilateral(writable_z, np.zeros((5, 6), U8), 1, 1.0, 1.0)
    with memoryview(captured.pop()) as source:
        assert (source.shape, source.format, source.readonly, source.tolist()) == ((5, 6), "f", False, z.tolist())
        with pytest.raises(BufferError):
            writable_z.release()  # the copy's source still holds an export
    gc.collect()
    writable_z.release()
    store.append(0)
    # Over read-only memory it stays read-only.
    mvs.bilateral(bytes_view(z, "f"), np.zeros((5, 6), U8), 1, 1.0, 1.0)
    assert memoryview(captured.pop()).readonly


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_many_calls_leave_references_and_memory_flat():
    sv, sg, bl = sample_view_args(), sgm_args(), bilateral_args()
    # Allocations large enough for a leaked result to show in the resident size.
    sg["cost"] = np.random.default_rng(1).random((4, 32, 32), dtype=F32)
    bl.update(Z=np.random.default_rng(2).random((64, 64), dtype=F32), valid=np.ones((64, 64), U8), radius=0)
    # Calls that succeed, and calls refused at each stage: binding a view,
    # converting a number, fitting the arrays, allocating (radius -1 fails
    # after the copy of Z is made).
    calls = [
        ("sample_view", sv, True), ("sample_view", dict(sv, out=np.zeros((4, 5, 3))), False),
        ("sample_view", dict(sv, C=None), False), ("sample_view", dict(sv, valid=np.zeros((2, 2), U8)), False),
        ("sgm", sg, True), ("sgm", dict(sg, P2=IntRaises()), False),
        ("sgm", dict(sg, cost=sg["cost"][:, ::2]), False), ("sgm", dict(sg, cost=sg["cost"][0]), False),
        ("bilateral", bl, True), ("bilateral", dict(bl, radius=-1), False),
        ("bilateral", dict(bl, radius=IntRaises()), False), ("bilateral", dict(bl, valid=bl["Z"]), False),
    ]

    def run_all(rounds):
        for _ in range(rounds):
            for name, args, succeeds in calls:
                for by_keyword in (False, True):
                    try:
                        getattr(mvs, name)(**args) if by_keyword else getattr(mvs, name)(*args.values())
                    except (TypeError, ValueError, KeyError):
                        assert not succeeds
                    else:
                        assert succeeds

    # None and the bools are shared too widely for their counts to stay put.
    held = [v for _, args, _ in calls for v in args.values() if v is not None and type(v) is not bool]
    held += [mvs.sample_view, mvs.sgm, mvs.bilateral, mvs.np]
    run_all(100)
    gc.collect()
    refs = [sys.getrefcount(v) for v in held]
    rss = resident_bytes()
    run_all(100_000 // (2 * len(calls)))
    gc.collect()
    assert [sys.getrefcount(v) for v in held] == refs
    growth = resident_bytes() - rss
    if not SANITIZED:  # AddressSanitizer's quarantine holds freed memory back on purpose
        assert growth < 20 * 2 ** 20, f"resident size grew by {growth / 2 ** 20:.1f} MiB"


# ---------------------------------------------------------------------------
# The interpreter lock.


def progress_during(action):
    """How often another Python thread got to run while `action` ran."""
    # The switch interval is raised far beyond the action's length, so that the
    # interpreter never takes the lock from this thread by itself; the other
    # thread sleeps between steps, so it never keeps the lock from this thread.
    # It can therefore only count while this thread has given the lock up.
    counter = [0]
    stop = threading.Event()
    started = threading.Event()

    def count():
        started.set()
        while not stop.is_set():
            counter[0] += 1
            time.sleep(0.0002)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(60.0)
    worker = threading.Thread(target=count)
    worker.start()
    try:
        started.wait()
        before = counter[0]
        action()
        after = counter[0]
    finally:
        stop.set()
        worker.join()
        sys.setswitchinterval(interval)
    return after - before


def test_progress_probe_sees_a_held_lock():
    # Summing a range runs in C without giving the lock up.
    assert progress_during(lambda: sum(range(3 * 10 ** 6))) == 0


def long_call(name):
    if name == "sample_view":
        n = 1200
        img = np.random.default_rng(3).random((200, 200, 3), dtype=F32)
        args = (img, np.diag([1.0, -1.0, -1.0]), np.array([0.0, 0.0, 64.0]), 64.0, 0.0, 0.0, 50.0, 50.0,
                -0.5, 0.5, 0.1, np.zeros((n, n), F32), np.zeros((n, n, 3), F32), np.zeros((n, n), U8))
    # Calls of some 30 ms or more, so that the other thread counts well past
    # the bar even when this machine is busy with something else.
    elif name == "sgm":
        args = (np.random.default_rng(4).random((32, 512, 512), dtype=F32), 1.0, 8.0)
    else:
        args = (np.random.default_rng(5).random((1000, 1000), dtype=F32), np.ones((1000, 1000), U8), 3, 1.0, 2.0)
    return lambda: getattr(mvs, name)(*args)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_lock_released_for_the_numeric_core(name):
    assert progress_during(long_call(name)) >= 5
