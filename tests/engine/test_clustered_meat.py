"""rust_clustered_meat: the raw one-way cluster meat Σ_g s_g s_g' of a score matrix, against
NumPy group sums and SᵀS, and bit for bit against the blocked order of its sums."""
import numpy as np
import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from conftest import (HUGE_COUNTS, I32, LAYOUTS_1D, LAYOUTS_2D, PANIC, call_checked,
                      float_arrays, same_bits, with_layout)
from kestrel import _native
from oracles import assert_same_bits, blocked_gram, cluster_meat, score_sums

meat = _native.rust_clustered_meat


@st.composite
def problems(draw, specials=False):
    n, k, n_groups = draw(st.integers(0, 30)), draw(st.integers(0, 4)), draw(st.integers(1, 8))
    x = draw(float_arrays(n * k, specials=specials)).reshape(n, k)
    resid = draw(float_arrays(n + draw(st.integers(0, 2)), specials=specials))
    codes = np.array(draw(st.lists(st.integers(0, n_groups - 1), min_size=len(resid),
                                   max_size=len(resid))), dtype=np.int32)
    return x, resid, codes, n_groups


LAYOUTS = st.tuples(*[st.sampled_from(LAYOUTS_2D)] + [st.sampled_from(LAYOUTS_1D)] * 2)
PLAIN = ("c", "contiguous", "contiguous")


# Examples: resid and codes are read only up to the rows of x; no columns; no rows.
@given(problem=problems(), extra=st.sampled_from([0, 1, 1000, 2**40]), layouts=LAYOUTS)
@example(problem=(np.ones((3, 2)), np.array([1.0, 2.0, -1.0, 1e300, np.nan]),
                  np.array([1, 0, 1, -7, 2], np.int32), 2), extra=0, layouts=PLAIN)
@example(problem=(np.zeros((5, 0)), np.ones(5), np.zeros(5, np.int32), 1), extra=0,
         layouts=PLAIN)
@example(problem=(np.zeros((0, 3)), np.zeros(0), np.zeros(0, np.int32), 4), extra=0,
         layouts=PLAIN)
def test_meat_is_the_gram_matrix_of_the_group_score_sums(problem, extra, layouts):
    x, resid, codes, n_groups = problem
    args = [with_layout(a, lay) for a, lay in zip((x, resid, codes), layouts)]
    status, got = call_checked(meat, *args, n_groups + extra)
    assert status == "ok" and got.shape == (x.shape[1],) * 2 and got.dtype == np.float64
    np.testing.assert_allclose(got, cluster_meat(x * resid[: len(x), None], codes), rtol=1e-10,
                               atol=1e-9)
    np.testing.assert_array_equal(got, got.T)
    # Empty groups add nothing, and the layout of the inputs changes no bit.
    assert same_bits(got, meat(x, resid, codes, n_groups))


@pytest.mark.parametrize("n, k, G", [(1, 1, 1), (7, 3, 3), (50, 5, 50), (300, 9, 17),
                                     (1000, 13, 600), (2000, 33, 700), (600, 70, 520),
                                     (5000, 12, 1300)])
def test_sums_follow_row_order_within_groups_and_blocks_of_256_groups(n, k, G):
    # Each s_g sums its rows in row order, groups in ascending code order; the product cuts
    # the groups into blocks of 256, sums each block from zero and adds the blocks in
    # order. Sizes cross the product's register tiles (4 x 8) and its blocks.
    rng = np.random.default_rng(n + k)
    x, e = rng.normal(size=(n, k)), rng.normal(size=n)
    codes = (rng.integers(0, G, size=n) * 3).astype(np.int32)  # codes with gaps
    S = score_sums(x * e[:, None], codes)
    got = meat(x, e, codes, 3 * G)
    assert_same_bits(got, blocked_gram(S))
    if len(S) > 256 and k > 2:  # another blocking would show in the last bits
        assert not np.array_equal(blocked_gram(S, 257), blocked_gram(S))
    order = np.argsort(codes, kind="stable")  # rows sorted by group: the same sums
    assert_same_bits(meat(x[order], e[order], codes[order], 3 * G), got)
    wide = (codes.astype(np.int64) * 7000).astype(np.int32)  # too sparse for a code table
    assert_same_bits(meat(x, e, wide, 2**40), got)


@given(problem=problems(specials=True))
def test_non_finite_scores_flow_into_the_result_without_failing(problem):
    status, got = call_checked(meat, *problem)
    assert status == "ok"
    x, resid, codes, _ = problem
    # Without the largest doubles no sum can overflow, so any order of summation gives
    # the same infinities and NaNs as NumPy's.
    finite = lambda a: np.abs(np.where(np.isfinite(a), a, 0)).max(initial=0) < 1e300  # noqa
    if finite(x) and finite(resid):
        with np.errstate(all="ignore"):
            expected = cluster_meat(x * resid[: len(x), None], codes)
        np.testing.assert_allclose(got, expected, rtol=1e-10, atol=1e-9, equal_nan=True)


@given(problem=problems().filter(lambda p: len(p[0]) > 0), what=st.sampled_from("rcz"),
       data=st.data())
def test_codes_out_of_range_short_columns_and_zero_groups_panic(problem, what, data):
    x, resid, codes, n_groups = problem
    n = len(x)
    if what == "r":
        resid = resid[: n - 1]
    elif what == "z":
        n_groups = 0
    else:
        codes = codes.copy()  # only the first n codes are read: the bad one among them
        codes[data.draw(st.integers(0, n - 1))] = data.draw(st.sampled_from(
            [-1, -2, I32.min, n_groups, n_groups + 1, I32.max]))
    status, err = call_checked(meat, x, resid, codes, n_groups)
    assert status == "raised" and isinstance(err, PANIC) and err.args[0].startswith(
        "index out of bounds" if what != "z" else ""), err


@pytest.mark.parametrize("n_groups", HUGE_COUNTS)
def test_huge_group_counts_are_bounds_not_sizes(n_groups):
    rng = np.random.default_rng(1)
    x, resid = rng.normal(size=(9, 3)), rng.normal(size=9)
    codes = np.array([0, 5, 5, 7, 0, 2**31 - 1, 3, 3, 5], dtype=np.int32)
    np.testing.assert_allclose(meat(x, resid, codes, n_groups),
                               cluster_meat(x * resid[:, None], codes), rtol=1e-12, atol=1e-12)
    # Broadcast (zero-stride) views are read like any other.
    x = np.broadcast_to(np.array([[1.0, 2.0]]), (6, 2))
    codes = np.array([0, 1, 0, 1, 0, 1], np.int32)
    np.testing.assert_allclose(meat(x, np.broadcast_to(np.array(0.5), (6,)), codes, n_groups),
                               cluster_meat(np.asarray(x) * 0.5, codes))
