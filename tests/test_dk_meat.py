"""rust_dk_meat: Newey-West sum over per-period sums of score rows."""
import numpy as np
import pytest

import kestrel
from kestrel import _native
from newey_west_reference import assert_same_bits, newey_west, period_sums

dk = _native.rust_dk_meat
PANIC = kestrel.PanicException


def col(*values):
    return np.array(values, dtype=np.float64).reshape(-1, 1)


def times(*values):
    return np.array(values, dtype=np.float64)


def panel(rng, n_periods, per_period, k, shuffle=False):
    t = np.repeat(np.arange(n_periods, dtype=np.float64), per_period)
    if shuffle:
        t = rng.permutation(t)
    return rng.normal(size=(len(t), k)), t


class TestDocumentedExamples:
    def test_docstring_describes_the_aggregation(self):
        assert dk.__doc__ == ("Driscoll-Kraay meat: aggregate scores by time, "
                              "then Newey-West on T×k.")
        assert dk.__text_signature__ == "(score, time_ids, bandwidth)"

    def test_periods_run_in_order_of_first_occurrence_not_of_time(self):
        # Periods numbered 2, 0, 1: lag pairs (0 after 2) and (1 after 0) → 14 + 8.
        out = dk(col(1, 2, 3), times(2, 0, 1), 1)
        assert out.shape == (1, 1) and out.dtype == np.float64
        assert out[0, 0] == 22.0
        assert _native.rust_hac_meat(col(1, 2, 3), times(2, 0, 1), 1)[0, 0] == 23.0

    def test_one_period_gives_the_outer_product_of_the_column_sums(self):
        rng = np.random.default_rng(1)
        score = rng.normal(size=(30, 3))
        t = np.full(30, 4.5)
        P = period_sums(score, t)
        for bw in (-1, 0, 3):
            out = dk(score, t, bw)
            assert_same_bits(out, newey_west(P, 0))
            np.testing.assert_allclose(out, np.outer(score.sum(0), score.sum(0)), rtol=1e-12)

    def test_each_row_its_own_period_in_time_order_equals_the_hac_meat(self):
        rng = np.random.default_rng(2)
        score, t = rng.normal(size=(80, 4)), np.arange(80.0)
        for bw in (0, 1, 5, 79, 200):
            assert_same_bits(dk(score, t, bw), _native.rust_hac_meat(score, t, bw))

    def test_zero_and_negative_zero_are_two_periods(self):
        # Two periods: 1 + 4 + (2·1)·2·(1/2) = 7; one period would give 9.
        assert dk(col(1, 2), times(0.0, -0.0), 1)[0, 0] == 7.0
        assert dk(col(1, 2), times(0.0, 0.0), 1)[0, 0] == 9.0

    def test_automatic_bandwidth_counts_periods_not_rows(self):
        rng = np.random.default_rng(3)
        score, t = panel(rng, 10, 100, 2)  # 1000 rows, 10 periods → L = 2
        auto = dk(score, t, -1)
        assert_same_bits(auto, dk(score, t, 2))
        assert not np.array_equal(auto, dk(score, t, 6))  # 6 would be the rule on rows
        assert not np.array_equal(auto, dk(score, t, 1))

    def test_zero_rows_give_a_zero_matrix(self):
        for bw in (-1, 0, 4):
            out = dk(np.empty((0, 2)), times(), bw)
            assert out.shape == (2, 2)
            assert_same_bits(out, np.zeros((2, 2)))

    def test_zero_columns_give_an_empty_matrix(self):
        assert dk(np.empty((3, 0)), times(0, 1, 1), 1).shape == (0, 0)
        # Even for a broadcast view with more rows than could ever be walked.
        huge = np.broadcast_to(np.empty((1, 0)), (10**18, 0))
        assert dk(huge, np.broadcast_to(np.float64(1.0), (10**18,)), 1).shape == (0, 0)
        with pytest.raises(PANIC, match="index out of bounds"):
            dk(np.empty((3, 0)), times(0, 1), 1)


class TestPeriods:
    def test_nan_time_values_form_a_period_and_do_not_fail(self):
        # Periods: NaN (rows 0, 2), then 1.0 → P = [4, 2].
        out = dk(col(1, 2, 3), times(np.nan, 1, np.nan), 1)
        assert out[0, 0] == 16 + 4 + (2 * 4) * 2 * 0.5

    def test_nans_with_different_bit_patterns_are_different_periods(self):
        t = np.array([0x7FF8000000000000, 0x7FF8000000000001, 0x7FF8000000000000],
                     dtype=np.int64).view(np.float64)
        assert np.isnan(t).all()
        out = dk(col(1, 2, 3), t, 1)
        assert_same_bits(out, newey_west(col(4, 2), 1))

    def test_interleaved_periods_are_summed_in_row_order(self):
        rng = np.random.default_rng(4)
        for n_periods, per, k in [(3, 40, 5), (300, 4, 3), (1000, 3, 1)]:
            score, t = panel(rng, n_periods, per, k, shuffle=True)
            P = period_sums(score, t)
            assert len(P) == n_periods
            for bw in (0, 2, 9):
                assert_same_bits(dk(score, t, bw), newey_west(P, bw))

    def test_time_values_beyond_the_rows_are_ignored(self):
        assert dk(col(1, 2, 3), times(2, 0, 1, 0, np.nan), 1)[0, 0] == 22.0

    def test_infinite_times_and_scores_are_ordinary_values(self):
        score = np.array([[1.0, np.inf], [2.0, 1.0], [-0.0, 3.0], [4.0, -np.inf]])
        t = times(np.inf, -np.inf, np.inf, 7)
        assert_same_bits(dk(score, t, 2), newey_west(period_sums(score, t), 2))


class TestLayouts:
    def test_fortran_strided_and_reversed_scores_read_the_same_rows(self):
        rng = np.random.default_rng(5)
        score, t = panel(rng, 12, 9, 6, shuffle=True)
        expected = dk(score, t, 3)
        assert_same_bits(expected, newey_west(period_sums(score, t), 3))
        assert_same_bits(dk(np.asfortranarray(score), t, 3), expected)
        big = np.zeros((3 * score.shape[0], 2 * score.shape[1]))
        big[::3, ::2] = score
        tt = np.zeros(2 * len(t))
        tt[::2] = t
        assert_same_bits(dk(big[::3, ::2], tt[::2], 3), expected)
        rev = score[::-1, ::-1]
        assert_same_bits(dk(rev, t[::-1], 3), newey_west(period_sums(rev, t[::-1]), 3))

class TestFailures:
    def test_fewer_time_values_than_rows_panics_on_the_index(self):
        with pytest.raises(PANIC, match="index out of bounds"):
            dk(col(1, 2, 3), times(0, 1), 1)


class TestPeriodNumbering:
    """Whole-number stamps in a narrow range are numbered through a table indexed by value,
    others (and any -0.0) through a hash table; the numbering is first occurrence either way."""

    @pytest.mark.parametrize("shift", [-5e5, 0.0, 0.5, 2.0**53])
    def test_stamp_kinds_number_periods_by_first_occurrence(self, shift):
        rng = np.random.default_rng(31)
        score, t = panel(rng, 200, 6, 3, shuffle=True)
        t = t * (2.0 if shift == 2.0**53 else 1.0) + shift
        assert_same_bits(dk(score, t, 3), newey_west(period_sums(score, t), 3))

    @pytest.mark.parametrize("extra", [0, 1])
    def test_span_at_the_edge_of_the_value_table(self, extra):
        rng = np.random.default_rng(32)
        score, t = panel(rng, 100, 4, 2, shuffle=True)
        t[7] = 2 * len(t) + 1024 + extra
        assert_same_bits(dk(score, t, 2), newey_west(period_sums(score, t), 2))

    def test_negative_zero_among_whole_stamps_is_its_own_period(self):
        rng = np.random.default_rng(33)
        score, t = panel(rng, 50, 4, 2, shuffle=True)
        t[[5, 9]] = -0.0
        P = period_sums(score, t)
        assert len(P) == 51
        assert_same_bits(dk(score, t, 2), newey_west(P, 2))


class TestPeers:
    def test_numpy_period_sums_then_the_newey_west_sum(self):
        # Period sums by np.unique (first occurrence order), then the lag sums with
        # matrix products: an independent route to the same meat.
        rng = np.random.default_rng(7)
        score, t = panel(rng, 40, 25, 3, shuffle=True)
        _, first, inverse = np.unique(t, return_index=True, return_inverse=True)
        rank = np.empty(len(first), dtype=np.int64)
        rank[np.argsort(first)] = np.arange(len(first))
        P = np.zeros((len(first), 3))
        np.add.at(P, rank[inverse], score)
        L = 4
        M = P.T @ P
        for j in range(1, L + 1):
            G = P[j:].T @ P[:-j]
            M += (1 - j / (L + 1)) * (G + G.T)
        np.testing.assert_allclose(dk(score, t, L), M, rtol=1e-11, atol=1e-10)

    @pytest.mark.parametrize("nlags", [1, 4])
    def test_matches_statsmodels_s_hac_groupsum_for_time_sorted_integer_periods(self, nlags):
        # S_hac_groupsum: bincount sums per integer period 0..T-1, then S_hac_simple.
        # With rows sorted by time, first occurrence is ascending period order.
        sandwich = pytest.importorskip("statsmodels.stats.sandwich_covariance")
        rng = np.random.default_rng(8)
        score, t = panel(rng, 60, 7, 4)
        expected = sandwich.S_hac_groupsum(score, t.astype(np.int64), nlags=nlags)
        np.testing.assert_allclose(dk(score, t, nlags), expected, rtol=1e-11, atol=1e-10)
