"""rust_ols_core: OLS after absorbing fixed effects, regressors as one matrix."""

import numpy as np
import pytest

from kestrel import PanicException
from kestrel._native import rust_demean, rust_ols_core

from fe_oracles import (cluster_sandwich, first_appearance, keep_mask, panel,
                        residual_on_dummies, within_fit)

TIGHT = dict(tol=1e-14, max_iter=10_000)


def core(y, x, fes=(), clusters=(), n_groups=None, tol=1e-14, max_iter=10_000):
    fes = [np.ascontiguousarray(f, dtype=np.int32) for f in fes]
    clusters = [np.ascontiguousarray(c, dtype=np.int32) for c in clusters]
    if n_groups is None:
        n_groups = [int(f.max()) + 1 for f in fes]
    return rust_ols_core(np.asarray(y, dtype=float), np.asarray(x, dtype=float), fes, n_groups,
                         clusters, tol, max_iter)


def test_result_has_nine_slots_with_the_stated_types():
    y, x, (worker, firm) = panel(60, 6, 4, 2, seed=1)
    r = core(y, x, [worker], [firm])
    assert len(r) == 9
    beta, v, e, r2, adj, n, absorbed, removed, groups = r
    assert beta.shape == (2,) and v.shape == (2, 2) and e.shape == (n,)
    assert all(isinstance(s, float) for s in (r2, adj))
    assert all(type(s) is int for s in (n, absorbed, removed))
    assert groups == [4]


class TestAgreementWithDummyRegression:
    @pytest.mark.parametrize("n_fe", [0, 1, 2, 3])
    def test_coefficients_residuals_and_r2_match_explicit_dummies(self, n_fe):
        y, x, fes = panel(300, 20, 8, 3, seed=n_fe, n_years=5)
        fes = fes[:n_fe]
        keep = keep_mask(fes) if fes else np.ones(len(y), bool)
        beta, v, e, r2, adj, n, absorbed, removed, _ = core(y, x, fes)
        fes_kept = [f[keep] for f in fes]
        ob, oe, _, _ = within_fit(y[keep], x[keep], fes_kept)
        np.testing.assert_allclose(beta, ob, rtol=1e-9)
        np.testing.assert_allclose(e, oe, atol=1e-9)
        yd = residual_on_dummies(y[keep][:, None], fes_kept)[:, 0]
        assert r2 == pytest.approx(1 - (oe @ oe) / ((yd - yd.mean()) @ (yd - yd.mean())), rel=1e-9)
        assert n == keep.sum() and removed == len(y) - n
        df = n - 3 - absorbed
        assert adj == pytest.approx(1 - (n - 1) * (1 - r2) / df, rel=1e-12)

    def test_strided_and_fortran_ordered_x_give_the_same_fit_as_c_order(self):
        y, x, (worker, firm) = panel(80, 8, 5, 3, seed=2)
        wide = np.zeros((80, 6))
        wide[:, ::2] = x
        ref = core(y, x, [worker, firm])
        for view in (np.asfortranarray(x), wide[:, ::2], x[::-1][::-1]):
            got = core(y, view, [worker, firm])
            np.testing.assert_array_equal(got[0], ref[0])
            np.testing.assert_array_equal(got[2], ref[2])

    def test_inputs_are_left_untouched(self):
        y, x, (worker, firm) = panel(50, 5, 4, 2, seed=3)
        copies = [a.copy() for a in (y, x, worker, firm)]
        core(y, x, [worker], [firm])
        for a, b in zip((y, x, worker, firm), copies):
            np.testing.assert_array_equal(a, b)


class TestClassicalCovariance:
    def test_iid_divides_by_n_minus_k_whatever_the_absorbed_count(self):
        y, x, (worker, firm) = panel(200, 15, 6, 2, seed=4)
        beta, v, e, _, _, n, absorbed, _, groups = core(y, x, [worker, firm])
        assert groups == [] and absorbed > 0
        keep = keep_mask([worker, firm])
        _, _, _, bread = within_fit(y[keep], x[keep], [worker[keep], firm[keep]])
        np.testing.assert_allclose(v, bread * (e @ e) / (n - 2), rtol=1e-8)

    def test_as_many_regressors_as_rows_gives_nan_variance_not_a_wrapped_divisor(self):
        x = np.array([[1.0, 2.0], [3.0, 4.5]])
        beta, v, e, *_ = core([0.3, 0.7], x)
        assert np.isfinite(beta).all()
        assert np.isnan(v).all()

    def test_more_regressors_than_rows_gives_nan_variance_without_exception(self):
        # Rank 2 with k = 3, yet rounding keeps every pivot above the
        # singularity threshold, so the solve goes through.
        x = np.array([[0.1, 0.2, 0.3], [0.4, 0.5, 0.6]])
        beta, v, *_ = core([1.0, 1.0], x)
        assert np.isfinite(beta).all()
        assert v.shape == (3, 3) and np.isnan(v).all()


class TestClusterFactors:
    def test_one_cluster_without_fixed_effects_scales_by_g_and_n_minus_one(self):
        # n = 4, k = 1, G = 2: (2/1) * (3/3) = 2.
        x = np.array([[1.0], [2.0], [3.0], [4.0]])
        y = np.array([1.0, 3.0, 2.0, 5.0])
        cl = np.array([0, 0, 1, 1])
        beta, v, e, *_, groups = core(y, x, [], [cl])
        bread = np.linalg.inv(x.T @ x)
        np.testing.assert_allclose(v, 2.0 * cluster_sandwich(x, e, bread, cl), rtol=1e-13)
        assert groups == [2]

    def _example(self):
        # One fixed effect with codes 0..3, nested in neither cluster column
        # (K_nest = 3); n = 10, k = 2; clusters with 5 and 8 groups.
        rng = np.random.default_rng(5)
        fe = np.array([0, 0, 0, 1, 1, 1, 2, 2, 3, 3])
        c5 = np.array([0, 1, 2, 3, 4, 0, 1, 2, 3, 4])
        c8 = np.array([0, 1, 2, 3, 4, 5, 6, 7, 0, 1])
        x = rng.normal(size=(10, 2))
        y = x @ [1.0, -1.0] + rng.normal(size=10)
        return y, x, fe, c5, c8

    def test_nested_in_no_cluster_uses_two_point_five_for_singles_and_minus_for_the_intersection(self):
        y, x, fe, c5, c8 = self._example()
        beta, v, e, *_, absorbed, removed, groups = core(y, x, [fe], [c5, c8])
        assert (removed, absorbed, groups) == (0, 4, [5, 8])
        _, _, xd, bread = within_fit(y, x, [fe])
        inter = c5 * 8 + c8
        expected = 2.5 * cluster_sandwich(xd, e, bread, c5) + 2.5 * cluster_sandwich(
            xd, e, bread, c8) - 2.5 * cluster_sandwich(xd, e, bread, inter)
        np.testing.assert_allclose(v, expected, rtol=1e-10)

    def test_fixed_effect_nested_in_one_cluster_column_adds_nothing(self):
        # fe is nested in the second column only: K_nest = 0, so
        # f = (10 / (10 - 0 - 2)) * (5 / 4).
        y, x, fe, c5, _ = self._example()
        by_fe = fe * 2  # every fe level inside one cluster; codes 0, 2, 4, 6
        beta, v, e, *_, groups = core(y, x, [fe], [c5, by_fe])
        _, _, xd, bread = within_fit(y, x, [fe])
        f = (10 / 8) * (4 / 3)  # G_min = 4 (the second column has 4 groups)
        inter = c5 * 7 + by_fe
        expected = f * (cluster_sandwich(xd, e, bread, c5) + cluster_sandwich(xd, e, bread, by_fe)
                        - cluster_sandwich(xd, e, bread, inter))
        np.testing.assert_allclose(v, expected, rtol=1e-10)
        assert groups == [5, 4]

    def test_cluster_columns_are_filtered_with_the_singletons_but_not_renumbered(self):
        y, x, (worker, firm) = panel(120, 40, 6, 2, seed=6)
        keep = keep_mask([worker])
        assert 0 < (~keep).sum()
        beta, v, e, *_, removed, groups = core(y, x, [worker], [firm])
        assert removed == (~keep).sum()
        assert groups == [len(np.unique(firm[keep]))]
        _, _, xd, bread = within_fit(y[keep], x[keep], [worker[keep]])
        n = keep.sum()
        w, f_ = worker[keep], firm[keep]
        assert any(len(np.unique(f_[w == lv])) > 1 for lv in np.unique(w))  # not nested
        k_nest = len(np.unique(w)) - 1  # largest code after renumbering
        g = groups[0]
        f = (n / (n - k_nest - 2)) * (g / (g - 1))
        np.testing.assert_allclose(v, f * cluster_sandwich(xd, e, bread, firm[keep]), rtol=1e-9)


class TestSingletons:
    def _cascade(self):
        # The first five rows cascade: rows 0 and 4 are alone in levels 0 and
        # 2 of the second fixed effect, then row 1 is alone in level 0 of the
        # first. The other rows form groups of at least two.
        rng = np.random.default_rng(7)
        f1 = np.r_[[0, 0, 1, 1, 1], np.repeat([2, 3, 4], 4)].astype(np.int32)
        f2 = np.r_[[0, 1, 1, 1, 2], np.tile([3, 4, 5, 6], 3)].astype(np.int32)
        cl = np.r_[[9, 9, 8, 8, 7], np.arange(12) % 5 + 10].astype(np.int32)
        x = rng.normal(size=(17, 2))
        y = x @ [0.5, 2.0] + f1 + rng.normal(size=17)
        return y, x, f1, f2, cl

    def test_cascade_removes_rows_zero_one_and_four_from_everything(self):
        y, x, f1, f2, cl = self._cascade()
        got = core(y, x, [f1, f2], [cl])
        keep = np.ones(17, bool)
        keep[[0, 1, 4]] = False
        direct = core(y[keep], x[keep], [first_appearance(f1[keep]), first_appearance(f2[keep])],
                      [cl[keep]])
        assert got[5] == 14 and got[7] == 3
        for a, b in zip(got[:3], direct[:3]):
            np.testing.assert_array_equal(a, b)
        assert got[3:7] == direct[3:7] and got[8] == direct[8]
        assert direct[7] == 0

    def test_removed_rows_do_not_depend_on_the_order_of_the_fixed_effects(self):
        y, x, f1, f2, cl = self._cascade()
        a = core(y, x, [f1, f2], [cl])
        b = core(y, x, [f2, f1], [cl])
        assert (a[5], a[6], a[7]) == (b[5], b[6], b[7])
        np.testing.assert_allclose(a[2], b[2], atol=1e-10)
        np.testing.assert_allclose(a[0], b[0], rtol=1e-10)

    def test_no_singleton_leaves_gapped_codes_as_passed(self):
        # Codes 0 and 5 each occur twice: nothing is removed and the absorbed
        # count includes the four levels that no row carries.
        fe = np.array([0, 0, 5, 5, 0, 5])
        x = np.arange(6.0)[:, None] ** 2
        y = np.array([1.0, 2.0, 3.0, 5.0, 4.0, 1.0])
        beta, v, e, *_, n, absorbed, removed, _ = core(y, x, [fe])
        assert (n, absorbed, removed) == (6, 6, 0)
        ob, oe, _, _ = within_fit(y, x, [fe])
        np.testing.assert_allclose(e, oe, atol=1e-12)


class TestEdgeCases:
    def test_one_fixed_effect_ignores_tol_and_max_iter(self):
        y, x, (worker, _) = panel(90, 9, 3, 2, seed=8)
        a = core(y, x, [worker], tol=1e-1, max_iter=0)
        b = core(y, x, [worker], tol=1e-15, max_iter=1000)
        for s in range(3):
            np.testing.assert_array_equal(a[s], b[s])

    def test_max_iter_zero_with_two_fixed_effects_fits_the_raw_data(self):
        y, x, (worker, firm) = panel(100, 5, 4, 2, seed=9)
        assert keep_mask([worker, firm]).all()
        beta, v, e, *_ = core(y, x, [worker, firm], max_iter=0)
        np.testing.assert_allclose(beta, np.linalg.solve(x.T @ x, x.T @ y), rtol=1e-10)
        np.testing.assert_allclose(e, y - x @ beta, atol=1e-12)

    @pytest.mark.parametrize("wrong", [[], [1], [10**12, 0, 3], [0, 0]])
    def test_wrong_n_groups_list_changes_nothing(self, wrong):
        y, x, (worker, firm) = panel(80, 8, 4, 2, seed=10)
        ref = core(y, x, [worker, firm], [firm])
        got = core(y, x, [worker, firm], [firm], n_groups=wrong)
        for a, b in zip(ref[:3], got[:3]):
            np.testing.assert_array_equal(a, b)
        assert ref[3:] == got[3:]

    def test_no_regressors_returns_the_demeaned_outcome_as_residuals(self):
        y, _, (worker, _) = panel(40, 4, 2, 1, seed=11)
        beta, v, e, r2, *_ = core(y, np.zeros((40, 0)), [worker])
        assert beta.shape == (0,) and v.shape == (0, 0)
        np.testing.assert_allclose(e, residual_on_dummies(y[:, None], [worker])[:, 0],
                                   atol=1e-12)
        assert r2 == 0.0

    def test_regressor_constant_within_groups_gives_nan_results_not_an_exception(self):
        fe = np.array([0, 0, 1, 1, 2, 2])
        x = np.c_[[3.0, 3.0, 7.0, 7.0, -2.0, -2.0], [1.0, 2.0, 0.0, 5.0, 1.0, 3.0]]
        y = np.array([1.0, 2.0, 3.0, 1.0, 0.0, 2.0])
        beta, v, e, r2, adj, *_ = core(y, x, [fe])
        assert np.isnan(beta).all() and np.isnan(v).all() and np.isnan(e).all()

    def test_outcome_constant_within_groups_gives_zero_r2(self):
        fe = np.array([0, 0, 1, 1, 2, 2])
        y = np.array([4.0, 4.0, -1.0, -1.0, 7.0, 7.0])
        beta, v, e, r2, *_ = core(y, np.c_[[1.0, 2.0, 0.0, 5.0, 1.0, 3.0]], [fe])
        assert r2 == 0.0 and np.all(e == 0.0)

    def test_keyword_call_matches_positional_call(self):
        y, x, (worker, firm) = panel(50, 5, 3, 2, seed=12)
        pos = core(y, x, [worker], [firm])
        kw = rust_ols_core(max_iter=10_000, tol=1e-14, cluster_codes_list=[firm],
                           _n_groups_list=[], fe_codes_list=[worker], x=x, y=y)
        np.testing.assert_array_equal(pos[1], kw[1])


class TestAbsorptionIsTheSharedDemeaning:
    @pytest.mark.parametrize("n_fe", [1, 2, 3])
    def test_residuals_without_regressors_equal_rust_demean_of_y_exactly(self, n_fe):
        # The estimator demeans the stack [y | X]; with k = 0 that is y alone,
        # so the numbers must be bit for bit those of rust_demean.
        y, _, fes = panel(500, 30, 8, 1, seed=16, n_years=4)
        keep = keep_mask(fes[:n_fe])
        fes = [first_appearance(f[keep]) for f in fes[:n_fe]]
        y = y[keep]
        e = core(y, np.zeros((len(y), 0)), fes, tol=1e-9, max_iter=50)[2]
        ref = rust_demean(y[:, None], fes, [int(f.max()) + 1 for f in fes], 1e-9, 50)[:, 0]
        np.testing.assert_array_equal(e, ref)

    def test_codes_near_the_int32_limit_cost_no_memory(self):
        # Two levels far apart: tables follow the groups that occur; the
        # absorbed count still counts every level up to the largest code.
        big = 2**31 - 2
        fe = np.array([big, big, 0, 0, 5, 5, 7, 7])
        x = np.arange(8.0)[:, None] ** 2
        y = np.array([1.0, 2.0, 3.0, 5.0, 4.0, 1.0, 0.0, 2.0])
        beta, v, e, *_, absorbed, removed, _ = core(y, x, [fe])
        assert (absorbed, removed) == (2**31 - 1, 0)
        ob, oe, _, _ = within_fit(y, x, [fe])
        np.testing.assert_allclose(beta, ob, rtol=1e-12)
        np.testing.assert_allclose(e, oe, atol=1e-12)


class TestLengthChecks:
    @pytest.mark.parametrize("delta", [-1, 1])
    def test_fixed_effect_column_of_another_length_is_refused(self, delta):
        y, x, (worker, firm) = panel(30, 3, 3, 1, seed=13)
        bad = np.zeros(30 + delta, np.int32)
        with pytest.raises(PanicException, match=rf"fe_codes_list\[1\].*{30 + delta}.*30"):
            core(y, x, [worker, bad])

    @pytest.mark.parametrize("delta", [-1, 1])
    def test_cluster_column_of_another_length_is_refused(self, delta):
        y, x, (worker, firm) = panel(30, 3, 3, 1, seed=14)
        bad = np.zeros(30 + delta, np.int32)
        with pytest.raises(PanicException, match=rf"cluster_codes_list\[1\].*{30 + delta}.*30"):
            core(y, x, [worker], [firm, bad])
        with pytest.raises(PanicException, match=r"cluster_codes_list\[0\]"):
            core(y, x, [], [bad])

    def test_x_with_another_number_of_rows_is_refused(self):
        with pytest.raises(PanicException, match=r"x has 3 rows but y has 4"):
            core(np.zeros(4), np.zeros((3, 1)), [])

    def test_non_contiguous_codes_are_refused(self):
        y, x, (worker, _) = panel(30, 3, 3, 1, seed=15)
        with pytest.raises(PanicException, match="NotContiguousError"):
            rust_ols_core(y, x, [np.repeat(worker, 2)[::2]], [], [], 1e-8, 10)
