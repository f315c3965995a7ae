"""rust_recode: int64 identifiers to dense int32 codes, numbered by first appearance when
max - min < 2n and by ascending value otherwise (NumPy statement of that rule)."""
import numpy as np
import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from conftest import I64, LAYOUTS_1D, SANITIZED, call_checked, with_layout
from kestrel import _native
from oracles import first_appearance


def numbering(values):
    if len(values) == 0:
        return np.zeros(0, np.int32), 0
    uniq, inverse = np.unique(values, return_inverse=True)
    if int(values.max()) - int(values.min()) < 2 * len(values):
        return first_appearance(values), len(uniq)
    return inverse.astype(np.int32), len(uniq)


def identifiers(max_size=60):
    return st.lists(st.one_of(st.integers(-20, 20), st.integers(I64.min, I64.max),
                              st.sampled_from([I64.min, I64.min + 1, -1, 0, 1, I64.max - 1,
                                               I64.max])),
                    max_size=max_size).map(lambda v: np.array(v, dtype=np.int64))


def i64(*values):
    return np.array(values, dtype=np.int64)


@given(values=identifiers(), layout=st.sampled_from(LAYOUTS_1D), shift=st.integers(-2**60, 2**60))
@example(values=i64(5, 0, 5), layout="contiguous", shift=0)  # range 5 < 2n: first appearance
@example(values=i64(6, 0, 6), layout="contiguous", shift=0)  # range 6 = 2n: by value
@example(values=i64(I64.min, I64.max, 0), layout="strided", shift=0)
@example(values=i64(I64.min, I64.min, I64.min + 3), layout="unaligned", shift=0)
@example(values=i64(), layout="reversed", shift=0)
def test_codes_follow_the_numbering_rule_in_every_layout(values, layout, shift):
    status, result = call_checked(_native.rust_recode, with_layout(values, layout))
    assert status == "ok"
    codes, groups = result
    expected_codes, expected_groups = numbering(values)
    assert type(groups) is int and groups == expected_groups
    assert codes.dtype == np.int32 and codes.flags.c_contiguous and codes.flags.writeable
    np.testing.assert_array_equal(codes, expected_codes)
    # Shifting every identifier by the same amount keeps the numbering.
    small = values % 97
    shifted = _native.rust_recode(small + np.int64(shift))
    np.testing.assert_array_equal(shifted[0], _native.rust_recode(small)[0])


@pytest.mark.parametrize("spread", [3, 50, 2**62])
def test_long_arrays_on_both_paths(spread):
    values = np.random.default_rng(spread % 97).integers(-spread, spread, size=200_000)
    codes, groups = _native.rust_recode(values)
    expected, expected_groups = numbering(values)
    np.testing.assert_array_equal(codes, expected)
    assert groups == expected_groups


@pytest.mark.skipif(SANITIZED, reason="ASan ends the process on an impossible allocation "
                                      "instead of letting operator new throw")
def test_a_virtual_array_too_large_to_recode_is_a_memory_error_at_once():
    # 2^59 identifiers through a zero stride: a result of 2^61 bytes cannot be allocated,
    # and the engine must say so before reading 2^59 values.
    huge = np.lib.stride_tricks.as_strided(np.zeros(1, np.int64), shape=(2**59,), strides=(0,))
    with pytest.raises(MemoryError):
        _native.rust_recode(huge)
