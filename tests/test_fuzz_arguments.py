"""Every entry point, fed wrong kinds, hostile objects and malformed contents, ends with a
result or a documented exception, never touches its inputs, and answers the same way twice."""
import math
import sys

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import SIGNATURES, present, valid_args
from fuzz_support import (DOCUMENTED, FLAT_1D, HUGE_COUNTS, I32, I64, LAYOUTS_1D, LAYOUTS_2D,
                          PANIC, SPECIAL_FLOATS, call_checked, same_result, with_layout_1d,
                          with_layout_2d)
from kestrel import _native

PRESENT = present()
NOT_CONTIGUOUS = "called `Result::unwrap()` on an `Err` value: NotContiguousError"


class Boom(Exception):
    """Raised by the hostile objects below; must reach the caller unchanged."""


class RaisingIndex:
    def __index__(self):
        raise Boom("index")


class RaisingFloat:
    def __float__(self):
        raise Boom("float")


class LyingSequence:
    """Claims a length it cannot back up."""

    def __init__(self, length, item=None):
        self.length, self.item = length, item

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        if self.item is None or i >= 1:
            raise Boom("getitem")
        return self.item


class HugeSequence:
    def __len__(self):
        return sys.maxsize

    def __getitem__(self, i):
        return np.zeros(3)


def zoo():
    """Objects of every sort, most of them the wrong kind for any given parameter."""
    arrays = st.builds(
        lambda dtype, shape: np.zeros(shape, dtype=dtype),
        st.sampled_from([np.int8, np.uint32, np.uint64, np.int16, np.float32, np.float16,
                         np.complex128, np.bool_, object, ">f8", ">i4", ">i8", "<U3",
                         "datetime64[s]", np.float64, np.int32, np.int64]),
        st.sampled_from([(), (0,), (3,), (3, 2), (0, 0), (2, 2, 2), (1, 0, 3)]))
    return st.one_of(
        st.none(), st.booleans(), st.integers(-(2**70), 2**70), st.floats(), st.text(max_size=5),
        st.binary(max_size=5), st.just(object()), st.just(RaisingIndex()),
        st.just(RaisingFloat()), st.just(LyingSequence(3)), st.just(LyingSequence(2, np.zeros(3))),
        st.just(HugeSequence()), st.just({"a": 1}), st.just(range(3)), st.just(b"iid"),
        st.just(np.float64(1.5)), st.just(np.int32(3)), st.just(np.bool_(True)),
        st.just(memoryview(b"abc")), arrays,
        st.lists(st.one_of(st.none(), st.integers(), st.text(max_size=2), arrays), max_size=3))


@pytest.mark.parametrize("fn", PRESENT)
@given(data=st.data())
def test_any_object_for_any_parameter_ends_in_a_documented_exception_or_a_result(fn, data):
    args = valid_args(fn)
    for i in data.draw(st.sets(st.integers(0, len(args) - 1), min_size=1, max_size=3)):
        args[i] = data.draw(zoo())
    try:
        call_checked(getattr(_native, fn), *args)
    except Boom:
        pass  # the hostile object's own failure, passed through


# ---- malformed contents, by parameter kind -------------------------------------------

@st.composite
def mutated_vector(draw, a, kind):
    n = len(a)
    op = draw(st.sampled_from(["length", "special", "empty", "layout", "extreme"]))
    if op == "length":
        m = draw(st.integers(0, n + 3))
        fill = np.arange(1, 1 + max(0, m - n), dtype=a.dtype)
        return np.concatenate([a[:m], fill])
    if op == "empty":
        return a[:0].copy()
    if op == "layout":
        return with_layout_1d(a, draw(st.sampled_from(LAYOUTS_1D)))
    out = a.copy()
    if n == 0:
        return out
    i = draw(st.integers(0, n - 1))
    if kind == "f64vector":
        out[i] = draw(st.sampled_from(SPECIAL_FLOATS))
    elif kind == "i32vector":
        out[i] = draw(st.sampled_from([-1, -7, I32.min, I32.max, int(a.max(initial=0)) + 1,
                                       2 * n + 5]))
    else:
        out[i] = draw(st.sampled_from([I64.min, I64.max, -1, 2**40]))
    return out


@st.composite
def mutated_matrix(draw, a):
    op = draw(st.sampled_from(["rows", "cols", "special", "layout", "empty"]))
    n, k = a.shape
    if op == "rows":
        m = draw(st.integers(0, n + 3))
        return np.vstack([a[:m], np.ones((max(0, m - n), k))])
    if op == "cols":
        c = draw(st.integers(0, k + 2))
        return np.hstack([a[:, :c], np.ones((n, max(0, c - k)))])
    if op == "empty":
        return np.zeros(draw(st.sampled_from([(0, k), (n, 0), (0, 0)])))
    if op == "layout":
        return with_layout_2d(a, draw(st.sampled_from(LAYOUTS_2D)))
    out = a.copy()
    if out.size:
        out[draw(st.integers(0, n - 1)), draw(st.integers(0, k - 1))] = draw(
            st.sampled_from(SPECIAL_FLOATS))
    return out


@st.composite
def mutated_sequence(draw, items, kind):
    op = draw(st.sampled_from(["drop", "duplicate", "item", "empty", "tuple"]))
    items = list(items)
    if op == "drop" and items:
        del items[draw(st.integers(0, len(items) - 1))]
    elif op == "duplicate" and items:
        items.append(items[draw(st.integers(0, len(items) - 1))])
    elif op == "item" and items:
        i = draw(st.integers(0, len(items) - 1))
        items[i] = draw(mutated_vector(items[i], "f64vector" if kind == "f64seq" else "i32vector"))
    elif op == "empty":
        items = []
    elif op == "tuple":
        return tuple(items)
    return items


def mutation(name, kind, value):
    """Strategy for a malformed but well-typed replacement of one argument."""
    if kind in ("f64vector", "i32vector", "i64vector"):
        return mutated_vector(value, kind)
    if kind == "f64matrix":
        return mutated_matrix(value)
    if kind in ("f64seq", "i32seq"):
        return mutated_sequence(value, kind)
    if kind == "strseq":
        return st.lists(st.text(max_size=4), max_size=4)
    if kind == "countseq":
        return st.lists(st.sampled_from([0, 1, 2, 3, 12] + HUGE_COUNTS), max_size=4)
    if kind == "float":
        return st.sampled_from([math.nan, math.inf, -math.inf, 0.0, -1.0, 1e-300, 1e300])
    if kind == "count":
        if name == "max_iter":
            return st.sampled_from([0, 1, 2, 50, 1000] + HUGE_COUNTS)
        return st.sampled_from([0, 1, 2, 3, 12] + HUGE_COUNTS)
    if kind == "int":
        return st.sampled_from([-1, -(2**63), 0, 1, 5, 11, 12, 2**40, 2**63 - 1])
    if kind == "bool":
        return st.sampled_from([True, False, np.True_])
    if kind == "str":
        return st.sampled_from(["iid", "HC0", "HC1", "HC2", "HC3", "hc1", "HC1 ", "", "cluster",
                                "HC4", "é", "HC\x001"])
    raise ValueError(kind)


@pytest.mark.parametrize("fn", PRESENT)
@given(data=st.data())
def test_malformed_contents_end_in_a_documented_exception_or_a_repeatable_result(fn, data):
    sig = SIGNATURES[fn]
    args = valid_args(fn)
    chosen = data.draw(st.sets(st.integers(0, len(args) - 1), min_size=1, max_size=3))
    for i in sorted(chosen):
        name, kind = sig[i]
        args[i] = data.draw(mutation(name, kind, args[i]), label=name)
    names = [p for p, _ in sig]
    # An iteration limit without a usable tolerance could run for as long as it is allowed.
    if "max_iter" in names and args[names.index("max_iter")] > 10**4:
        args[names.index("tol")] = 1e-8
    f = getattr(_native, fn)
    first = call_checked(f, *args)
    second = call_checked(f, *args)
    assert first[0] == second[0]
    if first[0] == "ok":
        assert same_result(first[1], second[1]), "two identical calls differ"
    else:
        assert type(first[1]) is type(second[1]) and first[1].args == second[1].args


# ---- the same values in any memory layout --------------------------------------------

def layout_choices(kind):
    if kind in ("f64vector", "i32vector", "i64vector", "f64seq", "i32seq"):
        return LAYOUTS_1D
    if kind == "f64matrix":
        return LAYOUTS_2D
    return None


@pytest.mark.parametrize("fn", PRESENT)
@given(data=st.data())
def test_any_layout_of_the_same_values_gives_the_same_bits_or_not_contiguous(fn, data):
    f = getattr(_native, fn)
    baseline = call_checked(f, *valid_args(fn))
    args = valid_args(fn)
    flat_only = True
    for i, (name, kind) in enumerate(SIGNATURES[fn]):
        choices = layout_choices(kind)
        if choices is None:
            continue
        if kind in ("f64seq", "i32seq"):
            layouts = [data.draw(st.sampled_from(choices), label=f"{name}[{j}]")
                       for j in range(len(args[i]))]
            args[i] = [with_layout_1d(v, lay) for v, lay in zip(args[i], layouts)]
            flat_only &= all(lay in FLAT_1D for lay in layouts)
        elif kind == "f64matrix":
            args[i] = with_layout_2d(args[i], data.draw(st.sampled_from(choices), label=name))
        else:
            layout = data.draw(st.sampled_from(choices), label=name)
            args[i] = with_layout_1d(args[i], layout)
            flat_only &= layout in FLAT_1D
    outcome = call_checked(f, *args)
    if outcome[0] == "raised" and isinstance(outcome[1], PANIC) and not flat_only:
        assert outcome[1].args == (NOT_CONTIGUOUS,)
        return
    assert outcome[0] == baseline[0]
    if outcome[0] == "ok":
        assert same_result(outcome[1], baseline[1])
    else:
        assert type(outcome[1]) is type(baseline[1]) and outcome[1].args == baseline[1].args


# ---- objects whose conversion runs Python code that changes earlier arguments ---------

class Resizing:
    """An integer/float whose conversion resizes an array converted before it."""

    def __init__(self, array, shape, value):
        self.array, self.shape, self.value = array, shape, value

    def _resize(self):
        self.array.resize(self.shape, refcheck=False)

    def __index__(self):
        self._resize()
        return self.value

    def __float__(self):
        self._resize()
        return float(self.value)


@pytest.mark.parametrize("fn", PRESENT)
@pytest.mark.parametrize("grow", [False, True])
def test_an_array_resized_by_a_later_argument_is_read_as_it_is_after_conversion(fn, grow):
    sig = SIGNATURES[fn]
    args = valid_args(fn)
    arrays = [i for i, (_, kind) in enumerate(sig) if kind in ("f64matrix", "f64vector")]
    scalars = [i for i, (_, kind) in enumerate(sig) if kind in ("count", "int", "float")]
    if not arrays or not scalars or scalars[-1] < arrays[0]:
        pytest.skip("no scalar parameter after an array parameter")
    victim, trigger = arrays[0], scalars[-1]
    original = args[victim]
    owned = original.copy()  # resize needs an array that owns its memory
    new_shape = tuple(2 * s + 1 for s in owned.shape) if grow else tuple(0 for _ in owned.shape)
    args[victim] = owned
    args[trigger] = Resizing(owned, new_shape, args[trigger])
    f = getattr(_native, fn)
    try:
        got = f(*args)
    except DOCUMENTED as e:
        got = e
    # The same call on the array as it is after the resize.
    expected_args = valid_args(fn)
    expected_args[victim] = owned.copy()
    try:
        expected = f(*expected_args)
    except DOCUMENTED as e:
        expected = e
    if isinstance(expected, BaseException):
        assert type(got) is type(expected) and got.args == expected.args
    else:
        assert same_result(got, expected)
