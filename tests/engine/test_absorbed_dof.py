"""rust_absorbed_dof: degrees of freedom absorbed by fixed effects, against the rank of the
dummy matrix (exact for two fixed effects; a level without rows is a zero column and a
component of its own) and the pairwise rule beyond two."""
import numpy as np
import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from conftest import I32, PANIC, call_checked, code_columns, run_limited, with_layout
from kestrel import _native
from oracles import absorbed, dummies

dof = _native.rust_absorbed_dof


def i32(*values):
    return np.array(values, dtype=np.int32)


@given(fes=st.integers(1, 40).flatmap(lambda n: code_columns(n, 8, (1, 4))))
@example(fes=[i32(0, 2, 2)])  # a level without rows counts
@example(fes=[i32(0, 4, 4), i32(1, 1, 3)])
@example(fes=[i32(0, 1), i32(0, 0)])  # a constant second effect adds nothing
@example(fes=[i32(0, 0, 1, 1), i32(0, 1, 0, 1), i32(0, 1, 1, 0)])
@example(fes=[i32(0, 0), i32(0, 99), i32(0, 0)])  # below zero: reported as 0
@example(fes=[i32()])
def test_absorbed_dof_is_the_dummy_rank_for_two_and_the_pairwise_rule_beyond(fes):
    layouts = ["contiguous", "readonly", "unaligned"]
    status, got = call_checked(dof, [with_layout(c, layouts[i % 3]) for i, c in enumerate(fes)])
    assert status == "ok" and got == absorbed(fes)
    if len(fes) == 2:
        D = np.hstack([dummies(c, int(c.max()) + 1) for c in fes])
        assert got == np.linalg.matrix_rank(D) == dof(fes[::-1])


def test_special_cases():
    assert dof([]) == 0
    # One fixed effect: its largest code plus one, without looking further.
    assert dof([i32(5, -3, 2)]) == 6 and dof([i32(2**31 - 1)]) == 2**31
    # Rows beyond the first column only add isolated levels to a partner.
    assert dof([i32(0, 0, 1), i32(0, 1, 1, 5)]) == 2 + 6 - (1 + 4)
    rng = np.random.default_rng(3)  # dense random designs: every pair one component
    a, b, c = (rng.integers(0, g, 200).astype(np.int32) for g in (6, 5, 4))
    assert dof([a, b, c]) == 6 + (5 - 1) + (4 - 1)


OUT = "index out of bounds"


@pytest.mark.parametrize("codes, message", [
    ([i32(0, -1), i32(0, 1)], OUT), ([i32(0, 1), i32(0, -1)], OUT),
    ([i32(0, 1), i32(1, 1), i32(0, I32.min)], OUT), ([i32(0, 1, 1), i32(0, 1)], OUT),
    ([i32(0, 1), np.zeros(4, np.int32)[::2]], "NotContiguousError")])
def test_negative_codes_short_partners_and_strided_columns_panic(codes, message):
    with pytest.raises(PANIC, match=message):
        dof(codes)


def test_codes_over_the_whole_int32_range_count_their_empty_levels_without_tables():
    got = run_limited("""
        a = np.array([0, 2**31 - 1, 0, 5], np.int32)
        b = np.array([3, 3, 2**31 - 2, 1], np.int32)
        rng = np.random.default_rng(4)
        spread = rng.integers(0, 2**31 - 1, 300_000, dtype=np.int64).astype(np.int32)
        small = rng.integers(0, 1000, 300_000).astype(np.int32)
        dense = np.unique(spread, return_inverse=True)[1].astype(np.int32)
        print(json.dumps([_native.rust_absorbed_dof(c) for c in
                          ([a, b], [spread, small], [dense, small])]))
    """)
    # Levels 2^31 + 2^31 - 1; components {a0, a_top, b3, b_top-1}, {a5, b1} and every
    # empty level on either side.
    assert got[0] == (2**31 + 2**31 - 1) - (2 + (2**31 - 3) + (2**31 - 1 - 3))
    # With two fixed effects every empty level adds one level and one component.
    assert got[1] == got[2]
