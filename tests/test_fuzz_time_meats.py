"""rust_hac_meat and rust_dk_meat on random scores, times (ties, NaN, infinities, signed
zeros), bandwidths (automatic, beyond the rows, huge) and layouts, against row-by-row
NumPy oracles, bit for bit."""
import math

import numpy as np
from hypothesis import given
from hypothesis import strategies as st

from fuzz_support import (LAYOUTS_1D, LAYOUTS_2D, PANIC, call_checked, float_arrays,
                          with_layout_1d, with_layout_2d)
from kestrel import _native
from newey_west_reference import assert_same_bits, auto_bandwidth, newey_west, period_sums

NAN_SORT = "called `Option::unwrap()` on a `None` value"
BANDWIDTHS = st.one_of(st.integers(-3, 8), st.sampled_from([2**31, 2**62, 2**63 - 1, -(2**63)]))


@st.composite
def panels(draw, time_values):
    n = draw(st.integers(0, 24))
    k = draw(st.integers(0, 3))
    score = draw(float_arrays(n * k)).reshape(n, k)
    times = np.array(draw(st.lists(time_values, min_size=n, max_size=n + 2)), dtype=np.float64)
    return score, times


def lag_count(bandwidth, n):
    return bandwidth if bandwidth >= 0 else auto_bandwidth(n)


def expected_nw(rows, bandwidth):
    n = rows.shape[0]
    L = lag_count(bandwidth, n)
    return newey_west(rows, L, max_lag=min(L, max(n - 1, 0)))


ordinary_times = st.integers(-3, 6).map(float)


@given(panel=panels(ordinary_times), bandwidth=BANDWIDTHS, ls=st.sampled_from(LAYOUTS_2D),
       lt=st.sampled_from(LAYOUTS_1D))
def test_hac_meat_is_the_newey_west_sum_over_rows_in_stable_time_order(panel, bandwidth, ls, lt):
    score, times = panel
    status, got = call_checked(_native.rust_hac_meat, with_layout_2d(score, ls),
                               with_layout_1d(times, lt), bandwidth)
    assert status == "ok"
    order = np.argsort(times[: len(score)], kind="stable")
    assert_same_bits(got, expected_nw(score[order], bandwidth))


@given(panel=panels(st.sampled_from([0.0, -0.0, 1.0, math.inf, -math.inf, 2.5])),
       bandwidth=BANDWIDTHS)
def test_infinite_and_signed_zero_times_sort_numerically(panel, bandwidth):
    score, times = panel
    status, got = call_checked(_native.rust_hac_meat, score, times, bandwidth)
    assert status == "ok"
    order = np.argsort(times[: len(score)], kind="stable")  # -0.0 == 0.0: a tie
    assert_same_bits(got, expected_nw(score[order], bandwidth))


@given(panel=panels(ordinary_times), bandwidth=BANDWIDTHS, data=st.data())
def test_a_nan_time_among_two_or_more_rows_panics_and_one_beyond_them_is_ignored(
        panel, bandwidth, data):
    score, times = panel
    n = len(score)
    times = times.copy()
    if n >= 2:
        times[data.draw(st.integers(0, n - 1))] = math.nan
        status, err = call_checked(_native.rust_hac_meat, score, times, bandwidth)
        assert status == "raised" and isinstance(err, PANIC) and err.args == (NAN_SORT,)
    else:
        times = np.append(times, math.nan)  # one row with NaN, or NaN after the rows
        if n == 1:
            times[0] = math.nan
        status, got = call_checked(_native.rust_hac_meat, score, times, bandwidth)
        assert status == "ok"
        assert_same_bits(got, expected_nw(score, bandwidth))


@given(panel=panels(ordinary_times).filter(lambda p: len(p[0]) > 0), bandwidth=BANDWIDTHS)
def test_fewer_times_than_rows_panics(panel, bandwidth):
    score, times = panel
    for f in (_native.rust_hac_meat, _native.rust_dk_meat):
        status, err = call_checked(f, score, times[: len(score) - 1], bandwidth)
        assert status == "raised" and isinstance(err, PANIC)


dk_times = st.sampled_from([0.0, -0.0, 1.0, 2.0, math.inf, -math.inf, math.nan,
                            float(np.frombuffer(np.uint64(0x7FF8000000000123).tobytes())[0])])


@given(panel=panels(st.one_of(ordinary_times, dk_times)), bandwidth=BANDWIDTHS,
       ls=st.sampled_from(LAYOUTS_2D), lt=st.sampled_from(LAYOUTS_1D))
def test_dk_meat_is_the_newey_west_sum_over_period_sums_numbered_by_bit_pattern(
        panel, bandwidth, ls, lt):
    score, times = panel
    status, got = call_checked(_native.rust_dk_meat, with_layout_2d(score, ls),
                               with_layout_1d(times, lt), bandwidth)
    assert status == "ok"
    assert_same_bits(got, expected_nw(period_sums(score, times), bandwidth))


@given(panel=panels(ordinary_times), bandwidth=BANDWIDTHS)
def test_non_finite_scores_never_fail(panel, bandwidth):
    score, times = panel
    if score.size:
        score = score.copy()
        score.flat[0] = math.nan
        score.flat[-1] = math.inf
    for f in (_native.rust_hac_meat, _native.rust_dk_meat):
        status, got = call_checked(f, score, times, bandwidth)
        assert status == "ok" and got.shape == (score.shape[1],) * 2
