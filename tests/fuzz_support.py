"""Shared pieces of the property-based and malformed-input tests (tests/test_fuzz_*.py).

Hypothesis profiles: "ci" (the default) runs a bounded number of examples from a fixed
seed, so every run checks the same inputs; "long" runs many more, freshly drawn. Select
one with HYPOTHESIS_PROFILE=long.
"""
import math
import os

import numpy as np
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

import kestrel

PANIC = kestrel.PanicException
# Every way a call may end other than with a result.
DOCUMENTED = (TypeError, ValueError, OverflowError, MemoryError, PANIC)
SANITIZED = bool(os.environ.get("KESTREL_SANITIZED"))

_common = dict(deadline=None, database=None, print_blob=True,
               suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                      HealthCheck.filter_too_much])
settings.register_profile("ci", max_examples=40, derandomize=True, **_common)
settings.register_profile("long", max_examples=2500, **_common)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

I32 = np.iinfo(np.int32)
I64 = np.iinfo(np.int64)


# ---- inputs are never modified -------------------------------------------------------

def snapshot(obj):
    """A deep record of an argument: array bytes, layout and flags; list items."""
    if isinstance(obj, np.ndarray):
        return ("array", obj.copy(order="K"), obj.shape, obj.strides, obj.dtype,
                obj.flags.writeable, obj.__array_interface__["data"][0])
    if isinstance(obj, (list, tuple)):
        return (type(obj), len(obj), [snapshot(v) for v in obj], [id(v) for v in obj])
    return ("value", obj)


def assert_unchanged(obj, snap):
    if snap[0] == "array":
        _, values, shape, strides, dtype, writeable, address = snap
        assert (obj.shape, obj.strides, obj.dtype) == (shape, strides, dtype)
        assert obj.flags.writeable == writeable
        assert obj.__array_interface__["data"][0] == address
        # Byte comparison: NaN payloads and signed zeros count too.
        assert obj.tobytes() == values.tobytes(), "the engine wrote into an input array"
    elif snap[0] in (list, tuple):
        kind, n, items, ids = snap
        assert type(obj) is kind and len(obj) == n
        assert [id(v) for v in obj] == ids
        for v, s in zip(obj, items):
            assert_unchanged(v, s)


def call_checked(fn, *args):
    """Calls fn; returns ("ok", result) or ("raised", exception). Any exception outside the
    documented ones fails the test, and so does any change to an argument."""
    snaps = [snapshot(a) for a in args]
    try:
        outcome = ("ok", fn(*args))
    except DOCUMENTED as e:
        outcome = ("raised", e)
    for a, s in zip(args, snaps):
        assert_unchanged(a, s)
    return outcome


def same_bits(a, b):
    a = np.asarray(a)
    b = np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


def same_result(a, b):
    """Bit-for-bit equality of two results (tuples, arrays, floats, ints, lists)."""
    if isinstance(a, tuple):
        return isinstance(b, tuple) and len(a) == len(b) and all(
            same_result(u, v) for u, v in zip(a, b))
    if isinstance(a, np.ndarray):
        return isinstance(b, np.ndarray) and same_bits(a, b)
    if isinstance(a, float):
        return isinstance(b, float) and (a == b or (math.isnan(a) and math.isnan(b)))
    return type(a) is type(b) and a == b


# ---- layouts: the same values in other memory ----------------------------------------

LAYOUTS_1D = ["contiguous", "readonly", "strided", "reversed", "unaligned", "subclass"]
LAYOUTS_2D = ["c", "fortran", "readonly", "strided", "transposed", "unaligned", "reversed"]
# Layouts a flat-buffer parameter accepts (one-dimensional contiguity, any alignment).
FLAT_1D = {"contiguous", "readonly", "unaligned", "subclass"}


class Subclass(np.ndarray):
    pass


def unaligned_copy(a):
    buf = np.zeros(a.nbytes + 1, dtype=np.uint8)
    out = np.frombuffer(buf.data, dtype=a.dtype, count=a.size, offset=1).reshape(a.shape)
    out[...] = a
    assert a.size == 0 or not out.flags.aligned
    return out


def with_layout_1d(a, layout, step=3):
    """A view holding the values of the 1-D array `a` in the given layout."""
    a = np.ascontiguousarray(a)
    if layout == "contiguous":
        return a.copy()
    if layout == "readonly":
        out = a.copy()
        out.setflags(write=False)
        return out
    if layout == "strided":
        big = np.zeros(max(1, a.size * step), dtype=a.dtype)
        big[::step][: a.size] = a
        return big[::step][: a.size]
    if layout == "reversed":
        return a[::-1].copy()[::-1]
    if layout == "unaligned":
        return unaligned_copy(a)
    if layout == "subclass":
        return a.copy().view(Subclass)
    raise ValueError(layout)


def with_layout_2d(a, layout):
    a = np.ascontiguousarray(a)
    if layout == "c":
        return a.copy()
    if layout == "fortran":
        return np.asfortranarray(a)
    if layout == "readonly":
        out = a.copy()
        out.setflags(write=False)
        return out
    if layout == "strided":
        big = np.zeros((a.shape[0] * 2, a.shape[1] * 3 + 1), dtype=a.dtype)
        big[::2, 1::3] = a
        return big[::2, 1::3]
    if layout == "transposed":
        return np.ascontiguousarray(a.T).T
    if layout == "unaligned":
        return unaligned_copy(a)
    if layout == "reversed":
        return a[::-1, ::-1].copy()[::-1, ::-1]
    raise ValueError(layout)


# ---- value strategies ----------------------------------------------------------------

def finite_floats(scale=1e3):
    return st.floats(-scale, scale, allow_nan=False, allow_infinity=False, width=64)


SPECIAL_FLOATS = [math.nan, math.inf, -math.inf, -0.0, 0.0, 5e-324, 1.7976931348623157e308,
                  -1.7976931348623157e308, float(np.frombuffer(
                      np.array([0x7FF8DEADBEEF0001], dtype=np.uint64).tobytes())[0])]


@st.composite
def float_arrays(draw, n, scale=1e3, specials=False):
    """n floats; with `specials`, some entries are NaN, infinities, signed zeros,
    subnormals or the largest doubles."""
    values = draw(st.lists(finite_floats(scale), min_size=n, max_size=n))
    a = np.array(values, dtype=np.float64)
    if specials and n:
        for i in draw(st.lists(st.integers(0, n - 1), max_size=3)):
            a[i] = draw(st.sampled_from(SPECIAL_FLOATS))
    return a


@st.composite
def bad_codes(draw, n, n_groups):
    """n int32 codes with at least one outside 0..n_groups-1 (when n > 0)."""
    codes = np.array(draw(st.lists(st.integers(0, max(0, n_groups - 1)), min_size=n, max_size=n)),
                     dtype=np.int32)
    if n:
        i = draw(st.integers(0, n - 1))
        codes[i] = draw(st.sampled_from(
            [-1, -2, I32.min, n_groups, n_groups + 1, I32.max]
            if n_groups <= I32.max else [-1, I32.min]))
    return codes


HUGE_COUNTS = [2**31, 2**32, 2**62, 2**63 - 1, 2**63, 2**64 - 1]
