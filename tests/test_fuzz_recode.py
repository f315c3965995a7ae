"""rust_recode on random identifiers in random layouts, against a NumPy statement of the
numbering rule; and identifier arrays too large to recode."""
import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from fuzz_support import I64, LAYOUTS_1D, SANITIZED, call_checked, with_layout_1d
from kestrel import _native


def numbering(values):
    """Codes by first appearance when max - min < 2n, by ascending value otherwise."""
    n = len(values)
    if n == 0:
        return np.zeros(0, np.int32), 0
    uniq, first, inverse = np.unique(values, return_index=True, return_inverse=True)
    if int(values.max()) - int(values.min()) < 2 * n:
        rank = np.empty(len(uniq), np.int64)
        rank[np.argsort(first)] = np.arange(len(uniq))
        return rank[inverse].astype(np.int32), len(uniq)
    return inverse.astype(np.int32), len(uniq)


def identifiers():
    near = st.integers(-20, 20)
    anywhere = st.integers(I64.min, I64.max)
    edges = st.sampled_from([I64.min, I64.min + 1, -1, 0, 1, I64.max - 1, I64.max])
    return st.lists(st.one_of(near, anywhere, edges), max_size=60).map(
        lambda v: np.array(v, dtype=np.int64))


@given(values=identifiers(), layout=st.sampled_from(LAYOUTS_1D))
def test_codes_follow_the_numbering_rule_in_every_layout(values, layout):
    status, result = call_checked(_native.rust_recode, with_layout_1d(values, layout))
    assert status == "ok"
    codes, groups = result
    expected_codes, expected_groups = numbering(values)
    assert groups == expected_groups
    assert codes.dtype == np.int32 and codes.flags.c_contiguous and codes.flags.writeable
    np.testing.assert_array_equal(codes, expected_codes)


@given(shift=st.integers(I64.min // 2, I64.max // 2), n=st.integers(1, 40),
       spread=st.integers(0, 200))
def test_shifting_every_identifier_by_the_same_amount_changes_nothing(shift, n, spread):
    rng = np.random.default_rng(n * 1000 + spread)
    base = rng.integers(0, spread + 1, size=n).astype(np.int64)
    a = _native.rust_recode(base)
    b = _native.rust_recode(base + np.int64(shift))
    np.testing.assert_array_equal(a[0], b[0])
    assert a[1] == b[1]


@pytest.mark.skipif(SANITIZED, reason="ASan ends the process on an impossible allocation "
                                      "instead of letting operator new throw")
def test_a_virtual_array_too_large_to_recode_is_a_memory_error_at_once():
    # 2^59 identifiers through a zero stride: no memory behind them, and a result
    # of 2^61 bytes that cannot be allocated. The engine must say so before reading
    # 2^59 values.
    huge = np.lib.stride_tricks.as_strided(np.zeros(1, np.int64), shape=(2**59,), strides=(0,))
    with pytest.raises(MemoryError):
        _native.rust_recode(huge)
