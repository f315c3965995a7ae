"""rust_hac_meat and rust_dk_meat: the Newey-West meat of score rows put in stable time order,
and of per-period sums (periods numbered by first occurrence of their bit pattern), against
row-by-row NumPy restatements bit for bit, and against statsmodels."""
import math

import numpy as np
import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from conftest import LAYOUTS_1D, LAYOUTS_2D, PANIC, call_checked, float_arrays, with_layout, need
from kestrel import _native
from oracles import assert_same_bits, auto_bandwidth, newey_west, period_sums

hac, dk = _native.rust_hac_meat, _native.rust_dk_meat
NAN_SORT = "called `Option::unwrap()` on a `None` value"
BANDWIDTHS = st.one_of(st.integers(-3, 8), st.sampled_from([2**31, 2**62, 2**63 - 1, -(2**63)]))
TIMES = st.one_of(st.integers(-3, 6).map(float), st.sampled_from([0.0, -0.0, math.inf, -math.inf,
                                                                  2.5]))
PERIODS = st.one_of(TIMES, st.sampled_from([math.nan, float(np.array(
    0x7FF8000000000123, dtype=np.uint64).view(np.float64))]))


@st.composite
def panels(draw, times):
    n, k = draw(st.integers(0, 24)), draw(st.integers(0, 3))
    return (draw(float_arrays(n * k, specials=True)).reshape(n, k),
            np.array(draw(st.lists(times, min_size=n, max_size=n + 2)), dtype=np.float64))


def cases(times):
    """(score, times, bandwidth, score layout, times layout); examples leave out the layouts."""
    return st.tuples(panels(times), BANDWIDTHS, st.sampled_from(LAYOUTS_2D),
                     st.sampled_from(LAYOUTS_1D)).map(lambda c: (*c[0], *c[1:]))


def expected(rows, bandwidth):
    n = rows.shape[0]
    L = bandwidth if bandwidth >= 0 else auto_bandwidth(n)
    return newey_west(rows, L, max_lag=min(L, max(n - 1, 0)))


def col(*values):
    return np.array(values, dtype=np.float64).reshape(-1, 1)


def t(*values):
    return np.array(values, dtype=np.float64)


def time_sorted(score, times):
    return score[np.argsort(times[: len(score)], kind="stable")]  # -0.0 == 0.0: a tie


def meat(f, score, times, bandwidth, ls="c", lt="strided"):
    status, got = call_checked(f, with_layout(score, ls), with_layout(times, lt), bandwidth)
    assert status == "ok"
    return got


# Examples: 22 and 23; lags count positions, times past the rows are ignored; ties keep
# their order; no rows, no columns; a lone NaN time is never compared.
@given(case=cases(TIMES))
@example(case=(col(1, 2, 3), t(0, 1, 2), 1))
@example(case=(col(1, 2, 3), t(2, 0, 1), 1))
@example(case=(col(1, 2, 3), t(0, 10, 1000, np.nan, -5), 1))
@example(case=(col(1, 2, 3, 4), t(5, 1, 1, 0), 1))
@example(case=(np.empty((0, 3)), t(), -1))
@example(case=(np.empty((4, 0)), np.arange(4.0), 2))
@example(case=(np.array([[2.0, -3.0]]), t(np.nan), -1))
def test_hac_meat_is_the_newey_west_sum_over_rows_in_stable_time_order(case):
    score, times, bandwidth = case[:3]
    assert_same_bits(meat(hac, *case), expected(time_sorted(score, times), bandwidth))


# Examples: periods in order of first occurrence, not of time (22, where the HAC meat gives
# 23); 0.0 and -0.0 are two periods; NaN times form a period.
@given(case=cases(PERIODS))
@example(case=(col(1, 2, 3), t(2, 0, 1, 0, np.nan), 1))
@example(case=(col(1, 2), t(0.0, -0.0), 1))
@example(case=(col(1, 2, 3), t(np.nan, 1, np.nan), 1))
@example(case=(np.empty((0, 2)), t(), 4))
def test_dk_meat_is_the_newey_west_sum_over_period_sums_numbered_by_bit_pattern(case):
    score, times, bandwidth = case[:3]
    assert_same_bits(meat(dk, *case), expected(period_sums(score, times), bandwidth))


@given(panel=panels(TIMES).filter(lambda p: len(p[0]) > 0), bandwidth=BANDWIDTHS,
       data=st.data())
def test_missing_or_nan_times_panic(panel, bandwidth, data):
    score, times = panel
    for f in (hac, dk):  # fewer times than rows
        status, err = call_checked(f, score, times[: len(score) - 1], bandwidth)
        assert status == "raised" and isinstance(err, PANIC), err
    if len(score) >= 2:  # a NaN time among two or more rows cannot be sorted
        times[data.draw(st.integers(0, len(score) - 1))] = math.nan
        status, err = call_checked(hac, score, times, bandwidth)
        assert status == "raised" and isinstance(err, PANIC) and err.args == (NAN_SORT,)


@pytest.mark.parametrize("n, k, L", [(41, k, 12) for k in (1, 2, 4, 5, 7, 8, 9, 10, 13)] + [
    (2, 3, 1), (70, 6, 2), (400, 2, 300), (260, 13, 250), (300, 40, 5), (50, 200, 4)])
def test_every_entry_is_the_row_order_sum_for_any_width_and_length(n, k, L):
    # Widths cross the kernel's register tiles; long series, many lags and wide scores split
    # the work over several passes (of lags or of rows).
    rng = np.random.default_rng(n + k)
    score, t = rng.normal(size=(n, k)), rng.integers(0, n, n).astype(np.float64)
    assert_same_bits(hac(score, t, L), newey_west(time_sorted(score, t), L))


def test_time_stamps_of_every_kind_sort_stably_on_either_side_of_the_value_table():
    # Whole-number stamps in a narrow range are placed by value, everything else sorted by
    # key; both must give the stable numeric order.
    rng = np.random.default_rng(13)
    values = np.array([-np.inf, -1e300, -2.5, -1e-310, -0.0, 0.0, 5e-324, 1.0, 3.0, 3.5,
                       2.0**53, 1e300, np.inf])
    cases = []
    for n in (600, 3000):
        t = rng.choice(values, size=n)
        mixed = rng.random(n) < 0.3
        t[mixed] = rng.normal(size=mixed.sum())
        cases.append(t)
    cases.append(rng.integers(-(2**40), 2**40, size=2000).astype(np.float64) // 2**30)
    for extra in (-1, 0, 1):  # span 2n + 1024 + extra
        t = rng.integers(0, 50, size=700).astype(np.float64) - 1e6
        t[3], t[400] = -1e6, -1e6 + 2 * 700 + 1024 + extra
        cases.append(t)
    for base in (0.0, 2.0**52 - 2000, -(2.0**52)):
        t = base + rng.integers(0, 300, size=900).astype(np.float64)
        t[rng.random(900) < 0.2 * (base == 0.0)] = -0.0
        cases.append(t)
    cases.append(2.0**53 + 2 * rng.integers(0, 300, size=900).astype(np.float64))  # sparse
    for t in cases:
        score = rng.normal(size=(len(t), 2))
        assert_same_bits(hac(score, t, 4), newey_west(time_sorted(score, t), 4))
    # A shuffled long series is put back in order (its rows are copied by the pool).
    ordered = rng.normal(size=(300_000, 4))
    perm = rng.permutation(300_000)
    assert_same_bits(hac(ordered[perm], perm.astype(np.float64), 3),
                     hac(ordered, np.arange(300_000, dtype=np.float64), 3))


@pytest.mark.parametrize("n, lags", [(2, 1), (10, 2), (50, 3), (99, 3), (100, 4), (1000, 6),
                                     (10000, 11), (100000, 18)])
def test_a_negative_bandwidth_picks_the_automatic_rule(n, lags):
    assert auto_bandwidth(n) == lags
    score, t = np.random.default_rng(n).normal(size=(n, 1)), np.arange(n, dtype=np.float64)
    auto = hac(score, t, -1)
    assert_same_bits(auto, hac(score, t, lags))
    assert_same_bits(hac(score, t, -12345), auto)
    # Neighbouring bandwidths change the weights, so the rule is pinned exactly.
    assert auto[0, 0] != hac(score, t, lags + 1)[0, 0]
    assert lags == 1 or auto[0, 0] != hac(score, t, lags - 1)[0, 0]


def test_zero_width_views_of_impossible_length():
    huge = np.broadcast_to(np.empty((1, 0)), (10**18, 0))
    times = np.broadcast_to(np.float64(1.0), (10**18,))
    with pytest.raises(MemoryError):
        hac(huge, times, 1)
    assert dk(huge, times, 1).shape == (0, 0)


def test_period_sums_in_panels():
    rng = np.random.default_rng(4)
    for n_periods, per, k, shift in [(3, 40, 5, 0.0), (300, 4, 3, -5e5), (1000, 3, 1, 0.5),
                                     (200, 6, 3, 2.0**53)]:
        t = rng.permutation(np.repeat(np.arange(n_periods, dtype=np.float64), per))
        t = t * (2.0 if shift == 2.0**53 else 1.0) + shift
        score = rng.normal(size=(len(t), k))
        for bw in (0, 2, 9):
            assert_same_bits(dk(score, t, bw), newey_west(period_sums(score, t), bw))
    t = rng.permutation(np.repeat(np.arange(100.0), 4))
    t[7] = 2 * len(t) + 1024  # at the edge of the table indexed by value
    t[[5, 9]] = -0.0  # -0.0 among whole stamps: a period of its own
    score = rng.normal(size=(400, 2))
    assert len(period_sums(score, t)) == 102
    assert_same_bits(dk(score, t, 2), newey_west(period_sums(score, t), 2))
    # Each row its own period in time order: the HAC meat; the automatic bandwidth counts
    # periods (10 here: L = 2), not rows (1000: L = 6).
    score, t = rng.normal(size=(80, 4)), np.arange(80.0)
    for bw in (0, 1, 5, 79, 200):
        assert_same_bits(dk(score, t, bw), hac(score, t, bw))
    score, t = rng.normal(size=(1000, 2)), np.repeat(np.arange(10.0), 100)
    assert_same_bits(dk(score, t, -1), dk(score, t, 2))
    assert not np.array_equal(dk(score, t, -1), dk(score, t, 6))


@pytest.mark.peers
@pytest.mark.parametrize("nlags", [1, 4, None])
def test_match_statsmodels_unnormalised_bartlett_sums(nlags):
    # S_hac_simple: X'X + Σ_j (1 - j/(nlags+1)) (s_j + s_j'), no division by n; its default
    # lag rule has no floor of 1. S_hac_groupsum: bincount sums per integer period 0..T-1,
    # with rows sorted by time: first occurrence is ascending period order.
    sandwich = need("statsmodels.stats.sandwich_covariance")
    rng = np.random.default_rng(10)
    score, t = rng.normal(size=(2000, 4)), rng.integers(0, 800, 2000).astype(np.float64)
    np.testing.assert_allclose(hac(score, t, -1 if nlags is None else nlags),
                               sandwich.S_hac_simple(time_sorted(score, t), nlags=nlags),
                               rtol=1e-11, atol=1e-9)
    if nlags is not None:
        t = np.repeat(np.arange(60.0), 7)
        score = rng.normal(size=(420, 4))
        np.testing.assert_allclose(dk(score, t, nlags), sandwich.S_hac_groupsum(
            score, t.astype(np.int64), nlags=nlags), rtol=1e-11, atol=1e-10)
