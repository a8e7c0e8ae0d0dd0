"""Property-based fuzzing of the binding: whatever a caller passes, a call
returns a result or raises one of the documented exception types, and a
result is the one the NumPy oracles compute.

CI runs a bounded number of examples per function; `make fuzz` runs a long
campaign through tools/fuzz_binding.py, which reuses these strategies and
counts the outcomes.
"""
import collections
import os

import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import oracles  # noqa: E402
from module_facts import BILATERAL, SAMPLE_VIEW, SGM  # noqa: E402
from oracles import assert_same_floats  # noqa: E402
from quiltmap import _mvs  # noqa: E402

# What a refused call may raise: binding and conversion (TypeError,
# ValueError, OverflowError), exporters (BufferError), NumPy's own refusal
# of a result it cannot allocate (ValueError, MemoryError).
DOCUMENTED = (TypeError, ValueError, OverflowError, BufferError, MemoryError)

OUTCOMES = collections.Counter()
EXAMPLES = int(os.environ.get("QUILTMAP_FUZZ_EXAMPLES", "1000"))
FUZZ_SETTINGS = settings(max_examples=EXAMPLES, deadline=None, database=None,
                         suppress_health_check=list(HealthCheck))

SIDES = st.sampled_from([0, 1, 1, 2, 3, 4, 5, 7, 9])
NUMBERS = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(-1e3, 1e3),
    st.integers(-2 ** 70, 2 ** 70),
    st.integers(-3, 10),
    st.booleans(),
    st.sampled_from([np.float32(2.5), np.float64(-0.5), np.int64(7), np.uint8(200), np.float16(1.5)]),
    st.sampled_from([None, "1.0", b"2", [1.0], object(), 1e39, -1e39, 2 ** 31, -2 ** 31 - 1]),
)
OTHER_DTYPES = ["float64", "float16", "uint8", "int8", "bool", "int32", "complex64", ">f4", "<f8", "O",
                [("a", "<f4")], [("a", "<f4"), ("b", "u1")], [("x", "u1"), ("a", "<f4")], "V4", "M8[s]"]
NOT_ARRAYS = st.sampled_from([1, 2.5, "text", b"bytes", bytearray(12), [1.0, 2.0], (1,), object(), memoryview(b"abc")])


class Subclass(np.ndarray):
    """An ndarray subclass, as libraries hand them over."""


@st.composite
def array_of(draw, dtype, shape):
    """An array of `dtype` and `shape` with arbitrary values, in any layout a
    caller might hand over (most of them C-contiguous)."""
    dtype = np.dtype(dtype)
    size = int(np.prod(shape))
    if dtype.kind == "f":
        bits = draw(st.binary(min_size=size * dtype.itemsize, max_size=size * dtype.itemsize))
        a = np.frombuffer(bits, dtype).reshape(shape).copy()
        if draw(st.booleans()):  # tame values as well as every bit pattern
            with np.errstate(all="ignore"):
                tame = np.isfinite(a) & (np.abs(a) < 1e4)
                a = np.where(tame, a, dtype.type(draw(st.floats(-9, 9, width=16)))).astype(dtype)
    elif dtype.kind in "biu":
        a = np.frombuffer(draw(st.binary(min_size=size * dtype.itemsize, max_size=size * dtype.itemsize)),
                          dtype).reshape(shape).copy()
    else:
        a = np.zeros(shape, dtype)
    layout = draw(st.sampled_from(["plain"] * 6 + ["read_only", "misaligned", "strided", "reversed",
                                                   "transposed", "fortran", "subclass", "memoryview"]))
    if layout == "read_only":
        a.flags.writeable = False
    elif layout == "misaligned" and a.dtype.kind != "O":
        offset = draw(st.integers(1, 7))
        raw = np.zeros(a.nbytes + 8, np.uint8)
        moved = raw[offset:offset + a.nbytes].view(a.dtype).reshape(a.shape)
        moved[...] = a
        a = moved
    elif layout == "strided" and a.ndim:
        a = np.repeat(a, 2, axis=-1)[..., ::2]
    elif layout == "reversed" and a.ndim:
        a = a[::-1]
    elif layout == "transposed":
        a = np.ascontiguousarray(a.T).T
    elif layout == "fortran":
        a = np.asfortranarray(a)
    elif layout == "subclass":
        a = a.view(np.recarray) if a.dtype.names else a.view(Subclass)
    elif layout == "memoryview" and a.dtype.kind in "fiub" and a.dtype.byteorder in "=|<":
        a = memoryview(np.ascontiguousarray(a))
    return a


@st.composite
def array_argument(draw, dtype, shape):
    """Mostly the array the parameter needs; sometimes another element type,
    number of axes or object."""
    choice = draw(st.integers(0, 19))
    if choice < 14:
        return draw(array_of(dtype, shape))
    if choice < 16:
        return draw(array_of(draw(st.sampled_from(OTHER_DTYPES)), shape))
    if choice < 18:
        other = tuple(draw(st.lists(SIDES, max_size=4)))
        return draw(array_of(dtype, other))
    return draw(st.one_of(st.none(), NOT_ARRAYS))


def number_argument(typical):
    return st.one_of(typical, NUMBERS)


@st.composite
def binding_style(draw, names, values):
    """Positional arguments and keywords: some by position, the rest by name
    in any order, now and then a keyword too many."""
    split = draw(st.integers(0, len(names)))
    keywords = dict(zip(names[split:], values[split:]))
    order = draw(st.permutations(list(keywords)))
    keywords = {name: keywords[name] for name in order}
    extra = draw(st.integers(0, 24))
    if extra == 0:
        keywords["bogus"] = 1
    elif extra == 1 and split > 0:
        keywords[names[0]] = values[0]
    elif extra == 2 and keywords:
        keywords.popitem()
    return list(values[:split]), keywords


def call(function, args, kwargs):
    """('result', value) or ('refused', exception); anything else fails."""
    try:
        result = function(*args, **kwargs)
    except DOCUMENTED as error:
        OUTCOMES[f"{function.__name__}: {type(error).__name__}"] += 1
        return "refused", error
    OUTCOMES[f"{function.__name__}: result"] += 1
    return "result", result


def ending(outcome):
    kind, value = outcome
    if kind == "refused":
        return kind, type(value), str(value)
    return kind, None if value is None else (value.shape, value.tobytes())


CALLS_PER_EXAMPLE = 3


def call_every_way(function, names, values, style):
    """Calls in the drawn binding style, then with every argument by position
    and with every argument by keyword, which must end alike; returns the
    positional call's outcome."""
    call(function, *style)
    by_position = call(function, values, {})
    by_keyword = call(function, [], dict(zip(names, values)))
    assert ending(by_position) == ending(by_keyword)
    return by_position


def plain(a, dtype):
    """The elements of a buffer as an ordinary C-ordered ndarray of `dtype`."""
    with memoryview(a) as m:
        return np.frombuffer(m.tobytes(), dtype).reshape(m.shape)


SGM_NAMES = SGM.parameters


@st.composite
def sgm_calls(draw):
    shape = (draw(SIDES), draw(SIDES), draw(SIDES))
    values = [draw(array_argument("float32", shape)),
              draw(number_argument(st.floats(0, 50, width=32))), draw(number_argument(st.floats(0, 200, width=32)))]
    return values, draw(binding_style(SGM_NAMES, values))


@given(sgm_calls())
@FUZZ_SETTINGS
def test_sgm_fuzz(example):
    values, style = example
    outcome, result = call_every_way(_mvs.sgm, SGM_NAMES, values, style)
    if outcome == "result":
        cost, P1, P2 = values
        expected = oracles.sgm(np.zeros((0, 0, 0), np.float32) if cost is None else plain(cost, np.float32), P1, P2)
        assert_same_floats(result, expected)


BILATERAL_NAMES = BILATERAL.parameters


@st.composite
def bilateral_calls(draw):
    shape = (draw(SIDES), draw(SIDES))
    values = [draw(array_argument("float32", shape)), draw(array_argument(draw(st.sampled_from(["uint8", "bool"])),
                                                                          shape)),
              draw(number_argument(st.integers(-1, 6))), draw(number_argument(st.floats(0.0625, 30, width=32))),
              draw(number_argument(st.floats(0.0625, 30, width=32)))]
    return values, draw(binding_style(BILATERAL_NAMES, values))


@given(bilateral_calls())
@FUZZ_SETTINGS
def test_bilateral_fuzz(example):
    values, style = example
    outcome, result = call_every_way(_mvs.bilateral, BILATERAL_NAMES, values, style)
    if outcome == "result":
        Z, valid, radius, sigma_r, sigma_s = values
        Z = np.zeros((0, 0), np.float32) if Z is None else plain(Z, np.float32)
        valid = None if valid is None else plain(valid, np.uint8)
        # Offsets beyond the grid never meet a neighbour.
        reach = min(int(radius), max(Z.shape, default=0))
        assert_same_floats(result, oracles.bilateral(Z, valid, reach, sigma_r, sigma_s))


SAMPLE_VIEW_NAMES = SAMPLE_VIEW.parameters


@st.composite
def sample_view_calls(draw):
    H, W, nch, h, w = (draw(SIDES) for _ in range(5))
    small = st.floats(-3, 3)
    values = [draw(array_argument("float32", (h, w, nch))), draw(array_argument("float64", (3, 3))),
              draw(array_argument("float64", (3,))),
              *(draw(number_argument(small)) for _ in range(8)),
              draw(array_argument("float32", (H, W))), draw(array_argument("float32", (H, W, nch))),
              draw(array_argument("uint8", (H, W)))]
    return values, draw(binding_style(SAMPLE_VIEW_NAMES, values))


def snapshot(a, dtype):
    """A writable copy of an output argument's elements, or None."""
    try:
        return np.array(plain(a, dtype))
    except (TypeError, ValueError):
        return None


def same_elements(a, expected, dtype):
    got = plain(a, dtype)
    if dtype == np.float32:
        assert_same_floats(got, expected)
    else:
        np.testing.assert_array_equal(got, expected)


@given(sample_view_calls())
@FUZZ_SETTINGS
def test_sample_view_fuzz(example):
    values, style = example
    outputs = [(values[12], np.float32), (values[13], np.uint8)]
    before = [snapshot(a, dtype) for a, dtype in outputs]
    outcome, result = call_every_way(_mvs.sample_view, SAMPLE_VIEW_NAMES, values, style)
    expected = [None if b is None else b.copy() for b in before]
    if outcome == "result":
        assert result is None
        img, R, C, *numbers, Z = values[:12]
        Z = np.zeros((0, 0), np.float32) if Z is None else plain(Z, np.float32)
        if Z.size:
            oracles.sample_view(None if img is None else plain(img, np.float32), plain(R, np.float64),
                                plain(C, np.float64), *numbers, Z, *expected)
    # A refused call writes nothing.
    for (got, dtype), want in zip(outputs, expected):
        if want is not None:
            same_elements(got, want, dtype)
