"""rust_hac_meat: Newey-West meat of score rows put in time order."""
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kestrel
from kestrel import _native
from newey_west_reference import assert_same_bits, auto_bandwidth, newey_west

hac = _native.rust_hac_meat
PANIC = kestrel.PanicException
NAN_SORT = "called `Option::unwrap()` on a `None` value"


def col(*values):
    return np.array(values, dtype=np.float64).reshape(-1, 1)


def times(*values):
    return np.array(values, dtype=np.float64)


def time_sorted(score, t):
    return score[np.argsort(t[: len(score)], kind="stable")]


def random_case(rng, n, k, n_times=None):
    score = rng.normal(size=(n, k))
    t = rng.integers(0, n_times or max(n, 1), size=n).astype(np.float64)
    return score, t


class TestDocumentedExamples:
    def test_docstring_states_the_formula_and_the_weights(self):
        assert hac.__doc__ == ("Newey-West HAC meat matrix: Γ₀ + Σⱼ w(j)(Γⱼ + Γⱼ')\n"
                               "with Bartlett kernel weights w(j) = 1 - j/(bw+1).")
        assert hac.__text_signature__ == "(score, time_ids, bandwidth)"

    def test_three_rows_with_bandwidth_one_give_22(self):
        out = hac(col(1, 2, 3), times(0, 1, 2), 1)
        assert out.shape == (1, 1) and out.dtype == np.float64
        assert out[0, 0] == 22.0

    def test_rows_given_out_of_time_order_are_sorted_first(self):
        assert hac(col(3, 1, 2), times(2, 0, 1), 1)[0, 0] == 22.0

    def test_scores_1_2_3_at_times_2_0_1_give_23(self):
        # Sorted into times 0, 1, 2 the scores read 2, 3, 1: Γ1 = 3·2 + 1·3 = 9.
        assert hac(col(1, 2, 3), times(2, 0, 1), 1)[0, 0] == 23.0

    def test_bandwidth_zero_is_the_plain_cross_product(self):
        score, t = random_case(np.random.default_rng(1), 40, 3)
        out = hac(score, t, 0)
        assert_same_bits(out, newey_west(time_sorted(score, t), 0))
        np.testing.assert_allclose(out, score.T @ score, rtol=1e-13)

    def test_zero_rows_give_a_zero_matrix(self):
        for bw in (-1, 0, 5):
            out = hac(np.empty((0, 3)), times(), bw)
            assert out.shape == (3, 3)
            assert_same_bits(out, np.zeros((3, 3)))

    def test_zero_columns_give_an_empty_matrix(self):
        assert hac(np.empty((4, 0)), times(0, 1, 2, 3), 2).shape == (0, 0)

    def test_impossible_row_count_of_a_zero_width_view_is_a_memory_error(self):
        score = np.broadcast_to(np.empty((1, 0)), (10**18, 0))
        with pytest.raises(MemoryError):
            hac(score, np.broadcast_to(np.float64(1.0), (10**18,)), 1)

    def test_a_single_row_gives_its_outer_product(self):
        out = hac(np.array([[2.0, -3.0]]), times(7), -1)
        assert_same_bits(out, np.array([[4.0, -6.0], [-6.0, 9.0]]))


class TestTimeOrder:
    def test_equal_times_keep_their_input_order(self):
        score = col(1, 2, 3, 4)
        t = times(5, 1, 1, 0)  # rows 1 and 2 tie
        swapped = score[[0, 2, 1, 3]]
        a, b = hac(score, t, 1), hac(swapped, t, 1)
        # Sorted: 4, 2, 3, 1 and 4, 3, 2, 1 → lag products 8+6+3 and 12+6+2.
        assert a[0, 0] == 30 + 17 * 2 * 0.5
        assert b[0, 0] == 30 + 20 * 2 * 0.5

    def test_zero_and_negative_zero_are_equal_times(self):
        a = hac(col(1, 2, 3), times(0.0, -0.0, -1.0), 1)
        assert_same_bits(a, newey_west(col(3, 1, 2), 1))

    def test_lags_count_positions_not_time_differences(self):
        gaps = hac(col(1, 2, 3), times(0, 10, 1000), 1)
        assert gaps[0, 0] == 22.0

    def test_infinite_times_sort_to_the_ends(self):
        a = hac(col(1, 2, 3, 4), times(np.inf, 0, -np.inf, 1), 2)
        assert_same_bits(a, newey_west(col(3, 2, 4, 1), 2))

    def test_long_unsorted_series_of_mixed_values_match_the_stable_sort(self):
        rng = np.random.default_rng(13)
        values = np.array([-np.inf, -1e300, -2.5, -1e-310, -0.0, 0.0, 5e-324, 1.0, 3.0,
                           3.5, 2.0**53, 1e300, np.inf])
        for n in (600, 3000):
            t = rng.choice(values, size=n)
            mixed = rng.random(n) < 0.3
            t[mixed] = rng.normal(size=mixed.sum())
            score = rng.normal(size=(n, 2))
            assert_same_bits(hac(score, t, 3), newey_west(time_sorted(score, t), 3))
        # Whole-number times over a wide range, many ties.
        t = rng.integers(-(2**40), 2**40, size=2000).astype(np.float64) // 2**30
        score = rng.normal(size=(2000, 3))
        assert_same_bits(hac(score, t, 2), newey_west(time_sorted(score, t), 2))

    def test_unsorted_times_with_ties_match_the_stable_sort(self):
        rng = np.random.default_rng(2)
        for n, k, L in [(60, 3, 4), (97, 5, 11), (33, 10, 40)]:
            score, t = random_case(rng, n, k, n_times=n // 3)
            assert_same_bits(hac(score, t, L), newey_west(time_sorted(score, t), L))


class TestWholeNumberTimes:
    """Whole-number time stamps in a narrow range are placed by value; everything else is
    sorted by key. Both must give the stable numeric order, on either side of the limit."""

    @pytest.mark.parametrize("extra", [-1, 0, 1])
    def test_span_at_the_edge_of_the_value_table(self, extra):
        rng = np.random.default_rng(21)
        n = 700
        t = rng.integers(0, 50, size=n).astype(np.float64) - 1e6
        t[3], t[400] = -1e6, -1e6 + 2 * n + 1024 + extra  # span 2n + 1024 + extra
        score = rng.normal(size=(n, 3))
        assert_same_bits(hac(score, t, 5), newey_west(time_sorted(score, t), 5))

    def test_signed_zeros_and_large_whole_numbers_tie_and_sort_numerically(self):
        rng = np.random.default_rng(22)
        n = 900
        for base in (0.0, 2.0**52 - 2000, -(2.0**52)):
            t = base + rng.integers(0, 300, size=n).astype(np.float64)
            if base == 0.0:
                t[rng.random(n) < 0.2] = -0.0
            score = rng.normal(size=(n, 2))
            assert_same_bits(hac(score, t, 4), newey_west(time_sorted(score, t), 4))
        # Beyond 2^52 whole numbers are sparse: sorted by key, same order.
        t = 2.0**53 + 2 * rng.integers(0, 300, size=n).astype(np.float64)
        score = rng.normal(size=(n, 2))
        assert_same_bits(hac(score, t, 4), newey_west(time_sorted(score, t), 4))

    def test_a_shuffled_long_series_is_put_back_in_order(self):
        rng = np.random.default_rng(23)
        n, k = 300_000, 4
        ordered = rng.normal(size=(n, k))
        perm = rng.permutation(n)
        assert_same_bits(hac(ordered[perm], perm.astype(np.float64), 3),
                         hac(ordered, np.arange(n, dtype=np.float64), 3))


class TestBandwidth:
    @pytest.mark.parametrize("n, lags", [(2, 1), (10, 2), (50, 3), (99, 3), (100, 4),
                                         (1000, 6), (10000, 11), (100000, 18)])
    def test_negative_bandwidth_uses_the_automatic_rule(self, n, lags):
        assert auto_bandwidth(n) == lags
        rng = np.random.default_rng(n)
        score = rng.normal(size=(n, 1))
        t = np.arange(n, dtype=np.float64)
        auto = hac(score, t, -1)
        assert_same_bits(auto, hac(score, t, lags))
        assert_same_bits(hac(score, t, -12345), auto)
        # Neighbouring bandwidths change the weights, so the rule is pinned exactly.
        assert auto[0, 0] != hac(score, t, lags + 1)[0, 0]
        if lags > 1:
            assert auto[0, 0] != hac(score, t, lags - 1)[0, 0]

    def test_lags_from_n_on_add_nothing_but_still_set_the_weights(self):
        score, t = random_case(np.random.default_rng(3), 6, 2)
        s = time_sorted(score, t)
        for L in (6, 9):
            assert_same_bits(hac(score, t, L), newey_west(s, L))  # every lag computed
        assert not np.array_equal(hac(score, t, 9), hac(score, t, 5))

    @pytest.mark.parametrize("bandwidth", [10**18, 2**63 - 1])
    def test_huge_bandwidth_gives_the_lags_up_to_n_minus_1_with_its_own_weights(
            self, bandwidth):
        score, t = random_case(np.random.default_rng(4), 50, 3)
        out = hac(score, t, bandwidth)
        s = time_sorted(score, t)
        assert_same_bits(out, newey_west(s, bandwidth, max_lag=49))
        # Weights within 1e-17 of 1: the unweighted sum of all lag products.
        unweighted = sum((s[j:].T @ s[:50 - j] + s[:50 - j].T @ s[j:] for j in range(1, 50)),
                         s.T @ s)
        np.testing.assert_allclose(out, unweighted, rtol=1e-9, atol=1e-9)

    def test_huge_bandwidth_returns_promptly_from_both_meats(self):
        # In a child process, so that a lag loop running to 10^18 fails the test
        # instead of hanging the run.
        code = textwrap.dedent("""
            import numpy as np
            from kestrel import _native
            rng = np.random.default_rng(12)
            score, t = rng.normal(size=(300, 4)), rng.permutation(300).astype(float)
            for fn in (_native.rust_hac_meat, _native.rust_dk_meat):
                print(fn(score, t, 10**18).tobytes().hex())
        """)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             timeout=600)
        assert out.returncode == 0, out.stderr
        hac_hex, dk_hex = out.stdout.split()
        rng = np.random.default_rng(12)
        score, t = rng.normal(size=(300, 4)), rng.permutation(300).astype(float)
        got_hac = np.frombuffer(bytes.fromhex(hac_hex)).reshape(4, 4)
        assert_same_bits(got_hac, newey_west(time_sorted(score, t), 10**18, max_lag=299))
        # Each row its own period, numbered in row order, not in time order.
        got_dk = np.frombuffer(bytes.fromhex(dk_hex)).reshape(4, 4)
        assert_same_bits(got_dk, newey_west(score, 10**18, max_lag=299))


class TestExactSums:
    @pytest.mark.parametrize("k", [1, 2, 3, 4, 5, 7, 8, 9, 10, 13])
    def test_every_entry_is_the_row_order_sum_bit_for_bit(self, k):
        rng = np.random.default_rng(100 + k)
        for n, L in [(1, 3), (2, 1), (25, 3), (41, 12), (70, 2)]:
            score, t = random_case(rng, n, k)
            assert_same_bits(hac(score, t, L), newey_west(time_sorted(score, t), L))

    @pytest.mark.parametrize("n, k, L", [(400, 2, 300), (260, 13, 250), (300, 40, 5),
                                         (50, 200, 4)])
    def test_long_series_many_lags_and_wide_scores_match_bit_for_bit(self, n, k, L):
        # Shapes where the work is split over several passes (of lags or of rows).
        score, t = random_case(np.random.default_rng(5), n, k)
        assert_same_bits(hac(score, t, L), newey_west(time_sorted(score, t), L))

    def test_infinite_and_nan_scores_propagate_as_in_the_plain_sums(self):
        score, t = random_case(np.random.default_rng(6), 30, 4)
        score[3, 1] = np.inf
        score[17, 2] = -np.inf
        score[22, 0] = np.nan
        score[5, 3] = -0.0
        out = hac(score, t, 4)
        assert_same_bits(out, newey_west(time_sorted(score, t), 4))
        assert np.isnan(out).any()

class TestLayouts:
    def reference_case(self):
        rng = np.random.default_rng(8)
        score, t = random_case(rng, 90, 7, n_times=30)
        return score, t, hac(score, t, 5)

    def test_fortran_ordered_score(self):
        score, t, expected = self.reference_case()
        assert_same_bits(hac(np.asfortranarray(score), t, 5), expected)

    def test_strided_score_and_time_views(self):
        score, t, expected = self.reference_case()
        big = np.zeros((2 * score.shape[0], 3 * score.shape[1]))
        big[::2, ::3] = score
        tt = np.zeros(3 * len(t))
        tt[::3] = t
        assert_same_bits(hac(big[::2, ::3], tt[::3], 5), expected)

    def test_reversed_views_with_negative_strides(self):
        score, t, _ = self.reference_case()
        rev_s, rev_t = score[::-1, ::-1], t[::-1]
        assert_same_bits(hac(rev_s, rev_t, 5), newey_west(time_sorted(rev_s, rev_t), 5))

    def test_misaligned_score_buffer(self):
        score, t, expected = self.reference_case()
        raw = np.zeros(score.size * 8 + 1, dtype=np.uint8)
        view = raw[1:].view(np.float64).reshape(score.shape)
        view[...] = score
        assert_same_bits(hac(view, t, 5), expected)

    def test_inputs_are_left_unchanged(self):
        score, t = random_case(np.random.default_rng(9), 50, 3)
        s0, t0 = score.copy(), t.copy()
        hac(score, t, 3)
        assert_same_bits(score, s0)
        assert_same_bits(t, t0)


class TestTimeValueFailures:
    def test_nan_time_with_two_rows_panics_during_sorting(self):
        with pytest.raises(PANIC, match=r"^called `Option::unwrap\(\)` on a `None` value$"):
            hac(col(1, 2, 3), times(0, np.nan, 2), 1)

    def test_nan_time_in_a_single_row_is_not_compared(self):
        assert hac(col(3), times(np.nan), 1)[0, 0] == 9.0

    def test_time_values_beyond_the_rows_are_ignored(self):
        assert hac(col(1, 2, 3), times(0, 1, 2, np.nan, -5), 1)[0, 0] == 22.0

    def test_fewer_time_values_than_rows_panics_on_the_index(self):
        with pytest.raises(PANIC, match="index out of bounds"):
            hac(col(1, 2, 3), times(0, 1), 1)

class TestPeers:
    @pytest.mark.parametrize("nlags", [1, 3, 8])
    def test_matches_statsmodels_s_hac_simple_on_time_sorted_scores(self, nlags):
        # S_hac_simple: X'X + Σ_j (1 - j/(nlags+1)) (s_j + s_j'), s_j = X[j:]' X[:-j],
        # no division by n: the same unnormalised Bartlett sum.
        sandwich = pytest.importorskip("statsmodels.stats.sandwich_covariance")
        score, t = random_case(np.random.default_rng(10 + nlags), 500, 4, n_times=200)
        expected = sandwich.S_hac_simple(time_sorted(score, t), nlags=nlags)
        np.testing.assert_allclose(hac(score, t, nlags), expected, rtol=1e-11, atol=1e-10)

    def test_automatic_rule_matches_statsmodels_default_nlags(self):
        # statsmodels has no floor of 1, so compare where its rule gives >= 1.
        sandwich = pytest.importorskip("statsmodels.stats.sandwich_covariance")
        score, t = random_case(np.random.default_rng(11), 2000, 3)
        expected = sandwich.S_hac_simple(time_sorted(score, t))
        np.testing.assert_allclose(hac(score, t, -1), expected, rtol=1e-11, atol=1e-9)
