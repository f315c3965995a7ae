"""rust_clustered_meat on random score matrices, codes and group counts, against the NumPy
statement S = per-group sums of x_i e_i, meat = SᵀS; and codes or counts out of range."""
import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from fuzz_support import (HUGE_COUNTS, LAYOUTS_1D, LAYOUTS_2D, PANIC, bad_codes, call_checked,
                          float_arrays, same_bits, with_layout_1d, with_layout_2d)
from kestrel import _native

meat = _native.rust_clustered_meat


def numpy_meat(x, resid, codes, n_groups):
    n, k = x.shape
    s = np.zeros((n_groups, k))
    np.add.at(s, codes[:n], x * resid[:n, None])
    return s.T @ s


@st.composite
def problems(draw, specials=False):
    n = draw(st.integers(0, 30))
    k = draw(st.integers(0, 4))
    n_groups = draw(st.integers(1, 8))
    x = draw(float_arrays(n * k, specials=specials)).reshape(n, k)
    resid = draw(float_arrays(n + draw(st.integers(0, 2)), specials=specials))
    codes = np.array(draw(st.lists(st.integers(0, n_groups - 1), min_size=len(resid),
                                   max_size=len(resid))), dtype=np.int32)
    return x, resid, codes, n_groups


@given(problem=problems(), extra_groups=st.sampled_from([0, 1, 1000]),
       lx=st.sampled_from(LAYOUTS_2D), lr=st.sampled_from(LAYOUTS_1D),
       lc=st.sampled_from(LAYOUTS_1D))
def test_meat_is_the_gram_matrix_of_the_group_score_sums(problem, extra_groups, lx, lr, lc):
    x, resid, codes, n_groups = problem
    args = (with_layout_2d(x, lx), with_layout_1d(resid, lr), with_layout_1d(codes, lc),
            n_groups + extra_groups)
    status, got = call_checked(meat, *args)
    assert status == "ok"
    k = x.shape[1]
    assert got.shape == (k, k) and got.dtype == np.float64
    np.testing.assert_allclose(got, numpy_meat(x, resid, codes, n_groups), rtol=1e-10,
                               atol=1e-9)
    np.testing.assert_array_equal(got, got.T)
    # Empty groups add nothing, and the layout of the inputs changes no bit.
    assert same_bits(got, meat(x, resid, codes, n_groups))


@given(problem=problems(specials=True))
def test_non_finite_scores_flow_into_the_result_without_failing(problem):
    status, got = call_checked(meat, *problem)
    assert status == "ok"
    x, resid, codes, n_groups = problem
    # Without the largest doubles no sum can overflow, so any order of summation
    # gives the same infinities and NaNs as NumPy's.
    if np.nanmax(np.abs(np.where(np.isinf(x), 0, x)), initial=0) < 1e300 and np.nanmax(
            np.abs(np.where(np.isinf(resid), 0, resid)), initial=0) < 1e300:
        with np.errstate(all="ignore"):
            expected = numpy_meat(x, resid, codes, n_groups)
        np.testing.assert_allclose(got, expected, rtol=1e-10, atol=1e-9, equal_nan=True)


@given(data=st.data())
def test_a_code_outside_its_range_panics(data):
    x, resid, _, n_groups = data.draw(problems().filter(lambda p: p[0].shape[0] > 0))
    codes = data.draw(bad_codes(len(resid), n_groups))
    # Only the first n codes are read; make sure the bad one is among them.
    n = x.shape[0]
    if ((codes[:n] >= 0) & (codes[:n] < n_groups)).all():
        codes[0] = -1
    status, err = call_checked(meat, x, resid, codes, n_groups)
    assert status == "raised" and isinstance(err, PANIC)
    assert err.args[0].startswith("index out of bounds")


@given(problem=problems().filter(lambda p: p[0].shape[0] > 0), cut=st.sampled_from(["r", "c"]))
def test_residuals_or_codes_shorter_than_the_rows_panic(problem, cut):
    x, resid, codes, n_groups = problem
    n = x.shape[0]
    if cut == "r":
        resid = resid[: n - 1]
    else:
        codes = codes[: n - 1]
    status, err = call_checked(meat, x, resid, codes, n_groups)
    assert status == "raised" and isinstance(err, PANIC)


@pytest.mark.parametrize("n_groups", HUGE_COUNTS)
@pytest.mark.parametrize("k", [0, 1, 3])
def test_huge_group_counts_are_not_allocated(n_groups, k):
    # The number of groups is an upper bound on the codes, not a size to allocate.
    rng = np.random.default_rng(k)
    x = rng.normal(size=(9, k))
    resid = rng.normal(size=9)
    codes = np.array([0, 5, 5, 7, 0, 2**31 - 1, 3, 3, 5], dtype=np.int32)
    status, got = call_checked(meat, x, resid, codes, n_groups)
    assert status == "ok"
    np.testing.assert_allclose(got, numpy_meat(x, resid, np.unique(codes, return_inverse=True)[1],
                                               9), rtol=1e-12, atol=1e-12)
