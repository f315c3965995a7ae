"""rust_ols_from_arrays: the fixed-effect OLS from separate columns, with names."""

import warnings

import numpy as np
import pytest

from kestrel import PanicException
from kestrel._native import rust_ols_core, rust_ols_from_arrays

from fe_oracles import cluster_sandwich, hc_sandwich, keep_mask, panel, within_fit

UNSUPPORTED = "internal error: entered unreachable code: sandwich_vcov called with unsupported type: "


def fit(y, x, fes=(), clusters=(), vcov="iid", names=None, tol=1e-14, max_iter=10_000):
    x = np.asarray(x, dtype=float)
    cols = [np.ascontiguousarray(x[:, j]) for j in range(x.shape[1])]
    names = [f"x{j}" for j in range(len(cols))] if names is None else names
    fes = [np.ascontiguousarray(f, dtype=np.int32) for f in fes]
    clusters = [np.ascontiguousarray(c, dtype=np.int32) for c in clusters]
    return rust_ols_from_arrays(np.asarray(y, dtype=float), cols, names, fes,
                                [f"fe{q}" for q in range(len(fes))], clusters,
                                [f"cl{c}" for c in range(len(clusters))], tol, max_iter, vcov)


def test_first_nine_slots_are_those_of_the_matrix_entry_except_the_iid_divisor():
    y, x, (worker, firm) = panel(150, 12, 5, 3, seed=20)
    cols = fit(y, x, [worker, firm], [firm], vcov="HC3")
    mat = rust_ols_core(y, x, [worker, firm], [], [firm], 1e-14, 10_000)
    for a, b in zip(cols[:3], mat[:3]):
        np.testing.assert_array_equal(a, b)
    assert cols[3:9] == mat[3:9]
    assert len(cols) == 12


def test_names_pass_through_unchanged_whatever_their_number():
    y, x, (worker, _) = panel(40, 4, 2, 2, seed=21)
    r = rust_ols_from_arrays(y, [x[:, 0].copy(), x[:, 1].copy()], ["only one"], [worker],
                             ["w", "extra", "é"], [], ("c",), 1e-8, 100, "iid")
    assert r[9:] == (["only one"], ["w", "extra", "é"], ["c"])


class TestCovarianceWithoutClusters:
    def setup_method(self):
        self.y, self.x, (self.worker, self.firm) = panel(200, 20, 6, 2, seed=22)
        keep = keep_mask([self.worker, self.firm])
        self.fes = [self.worker, self.firm]
        _, _, self.xd, self.bread = within_fit(self.y[keep], self.x[keep],
                                               [f[keep] for f in self.fes])

    def test_iid_divides_by_n_minus_k_minus_absorbed(self):
        beta, v, e, *_, n, absorbed, _, groups = fit(self.y, self.x, self.fes)[:9]
        assert groups == []
        np.testing.assert_allclose(v, self.bread * (e @ e) / ((n - 2) - absorbed), rtol=1e-8)
        core_v = rust_ols_core(self.y, self.x, self.fes, [], [], 1e-14, 10_000)[1]
        np.testing.assert_allclose(v, core_v * (n - 2) / ((n - 2) - absorbed), rtol=1e-13)

    def test_hc1_scales_hc0_by_n_over_n_minus_k_minus_absorbed(self):
        hc0 = fit(self.y, self.x, self.fes, vcov="HC0")
        hc1 = fit(self.y, self.x, self.fes, vcov="HC1")
        n, absorbed = hc0[5], hc0[6]
        np.testing.assert_allclose(hc1[1], hc0[1] * n / ((n - 2) - absorbed), rtol=1e-13)

    @pytest.mark.parametrize("kind", ["HC0", "HC2", "HC3"])
    def test_hc0_hc2_hc3_match_the_textbook_formulas_without_absorbed_dof(self, kind):
        _, v, e, *_ = fit(self.y, self.x, self.fes, vcov=kind)
        np.testing.assert_allclose(v, hc_sandwich(self.xd, e, self.bread, kind), rtol=1e-8)

    @pytest.mark.parametrize("name", ["cluster", "hc1", "", "HC", "HC4", "iid ", "IID"])
    def test_unsupported_name_fails_with_the_sandwich_message(self, name):
        with pytest.raises(PanicException) as info:
            fit(self.y, self.x, self.fes, vcov=name)
        assert info.value.args == (UNSUPPORTED + name,)

    def test_unsupported_name_is_refused_before_the_data_is_touched(self):
        # A negative code would fail inside singleton removal; the name is
        # refused first.
        bad = self.worker.copy()
        bad[0] = -1
        with pytest.raises(PanicException, match="unsupported type: cluster"):
            fit(self.y, self.x, [bad], vcov="cluster")

    def test_as_many_regressors_as_rows_gives_nan_iid_variance(self):
        x = np.array([[0.1, 0.2, 0.3], [0.4, 0.5, 0.6]])
        beta, v, *_ = fit([1.0, 1.0], x)
        assert np.isfinite(beta).all() and np.isnan(v).all()

    def test_zero_residual_degrees_of_freedom_gives_infinite_or_nan_variance(self):
        # Six rows, three regressors, three groups absorbed: (6 - 3) - 3 = 0.
        fe = np.array([0, 0, 1, 1, 2, 2])
        x = np.c_[[1.0, 2.0, 0.0, 5.0, 1.0, 3.0], [2.0, 1.0, 1.0, 0.0, 3.0, 1.0],
                  [0.5, 0.0, 2.0, 1.0, 1.0, 0.0]]
        y = np.array([1.0, 2.0, 3.0, 1.0, 0.0, 2.0])
        beta, v, *_ = fit(y, x, [fe])
        assert not np.isfinite(v).all()


class TestClusters:
    def test_any_vcov_name_is_ignored_when_clustering(self):
        y, x, (worker, firm) = panel(150, 15, 6, 2, seed=23)
        ref = fit(y, x, [worker], [firm], vcov="HC3")[1]
        for name in ("iid", "HC1", "nonsense", ""):
            np.testing.assert_array_equal(fit(y, x, [worker], [firm], vcov=name)[1], ref)

    def test_one_way_cluster_with_a_fixed_effect_uses_n_over_n_minus_largest_code_minus_k(self):
        y, x, (worker, firm) = panel(150, 15, 6, 2, seed=24)
        keep = keep_mask([worker])
        beta, v, e, *_, n, absorbed, removed, groups = fit(y, x, [worker], [firm])[:9]
        _, _, xd, bread = within_fit(y[keep], x[keep], [worker[keep]])
        g = groups[0]
        k_nest = len(np.unique(worker[keep])) - 1
        f = (n / ((n - k_nest) - 2)) * (g / (g - 1))
        np.testing.assert_allclose(v, f * cluster_sandwich(xd, e, bread, firm[keep]), rtol=1e-9)


class TestColumnsAndLengths:
    def test_longer_regressor_columns_are_truncated_to_the_rows_of_y(self):
        y, x, (worker, firm) = panel(60, 6, 3, 2, seed=25)
        long = [np.r_[x[:, j], [1e300, -7.0]] for j in range(2)]
        got = rust_ols_from_arrays(y, long, [], [worker], [], [firm], [], 1e-12, 100, "iid")
        ref = fit(y, x, [worker], [firm], names=[], tol=1e-12, max_iter=100)
        for a, b in zip(got[:3], ref[:3]):
            np.testing.assert_array_equal(a, b)

    def test_shorter_regressor_column_is_an_index_failure(self):
        y, x, (worker, _) = panel(20, 2, 2, 2, seed=26)
        with pytest.raises(PanicException, match="index out of bounds"):
            rust_ols_from_arrays(y, [x[:, 0].copy(), x[:-1, 1].copy()], [], [worker], [], [],
                                 [], 1e-8, 10, "iid")

    @pytest.mark.parametrize("delta", [-3, 2])
    def test_code_columns_of_another_length_are_refused_naming_the_argument(self, delta):
        y, x, (worker, firm) = panel(30, 3, 3, 1, seed=27)
        bad = np.zeros(30 + delta, np.int32)
        with pytest.raises(PanicException, match=rf"fe_cols\[0\] has {30 + delta} codes.*30"):
            fit(y, x, [bad])
        with pytest.raises(PanicException, match=rf"cl_cols\[1\] has {30 + delta} codes.*30"):
            fit(y, x, [worker], [firm, bad])

    def test_longer_code_column_no_longer_shifts_the_group_means(self):
        # Rows [1, 1] with codes [0, 0, 0] would count a third row that does
        # not exist and demean to [1/3, 1/3].
        with pytest.raises(PanicException, match="fe_cols"):
            rust_ols_from_arrays(np.ones(2), [], [], [np.zeros(3, np.int32)], [], [], [],
                                 1e-8, 10, "iid")

    def test_non_contiguous_regressor_column_is_refused(self):
        y, x, _ = panel(20, 2, 2, 2, seed=28)
        with pytest.raises(PanicException, match="NotContiguousError"):
            rust_ols_from_arrays(y, [x[:, 0]], [], [], [], [], [], 1e-8, 10, "iid")

    def test_no_regressors_and_no_fixed_effects_returns_y_as_residuals(self):
        y = np.array([1.0, 2.0, 4.0])
        beta, v, e, r2, adj, n, absorbed, removed, groups, *_ = fit(y, np.zeros((3, 0)))
        assert beta.shape == (0,) and v.shape == (0, 0)
        np.testing.assert_array_equal(e, y)
        assert (n, absorbed, removed, groups) == (3, 0, 0, [])


# ---- cross-checks against peers ------------------------------------------------

def _frame(y, x, fes, clusters=()):
    pd = pytest.importorskip("pandas")
    data = {"y": y}
    data.update({f"x{j}": x[:, j] for j in range(x.shape[1])})
    data.update({f"f{q}": f for q, f in enumerate(fes)})
    data.update({f"c{c}": v for c, v in enumerate(clusters)})
    return pd.DataFrame(data)


def _peer_panel(n_fe, singletons, seed):
    # Many workers per firm keep the panel connected; with few rows per
    # worker some workers are seen once (singletons).
    n_workers = 150 if singletons else 40
    y, x, fes = panel(600, n_workers, 12, 3, seed=seed, n_years=6)
    fes = fes[:n_fe]
    keep = keep_mask(fes)
    assert (~keep).any() == singletons
    return y, x, fes, keep


@pytest.mark.peers
@pytest.mark.parametrize("singletons", [False, True], ids=["no_singletons", "singletons"])
@pytest.mark.parametrize("n_fe", [1, 2, 3])
def test_coefficients_and_residuals_match_pyfixest_feols(n_fe, singletons):
    pf = pytest.importorskip("pyfixest")
    y, x, fes, keep = _peer_panel(n_fe, singletons, seed=30 + n_fe)
    ours = fit(y, x, fes)
    formula = "y ~ x0 + x1 + x2 | " + " + ".join(f"f{q}" for q in range(n_fe))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        peer = pf.feols(formula, data=_frame(y, x, fes), vcov="iid", fixef_tol=1e-14,
                        fixef_rm="singleton")
    np.testing.assert_allclose(ours[0], peer.coef().to_numpy(), rtol=1e-8)
    np.testing.assert_allclose(ours[2], peer.resid(), atol=1e-8)
    assert ours[5] == peer._N == keep.sum()


@pytest.mark.peers
@pytest.mark.parametrize("n_fe", [1, 2])
def test_iid_and_hc1_standard_errors_match_pyfixest_iid_and_hetero(n_fe):
    # pyfixest: iid is RSS/(N-1) * (N-1)/(N-k-k_fe) and hetero is HC0 * N/(N-k-k_fe),
    # with k_fe the fixed-effect levels less one per later effect: our absorbed
    # count on a connected panel.
    pf = pytest.importorskip("pyfixest")
    y, x, fes, _ = _peer_panel(n_fe, True, seed=40 + n_fe)
    formula = "y ~ x0 + x1 + x2 | " + " + ".join(f"f{q}" for q in range(n_fe))
    for ours_name, peer_name in (("iid", "iid"), ("HC1", "hetero")):
        ours = fit(y, x, fes, vcov=ours_name)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            peer = pf.feols(formula, data=_frame(y, x, fes), vcov=peer_name, fixef_tol=1e-14)
        np.testing.assert_allclose(np.sqrt(np.diag(ours[1])), peer.se().to_numpy(), rtol=1e-7)


@pytest.mark.peers
def test_one_way_cluster_se_equals_pyfixest_crv1_up_to_the_fixed_effect_dof_convention():
    # For a fixed effect nested in no cluster, pyfixest scales by
    # (n - 1)/(n - k - G_fe) and we by n/(n - (G_fe - 1) - k) (the largest
    # code, not the level count); both then by G/(G - 1). The meat agrees.
    pf = pytest.importorskip("pyfixest")
    y, x, (worker, firm, _) = panel(600, 150, 12, 3, seed=50, n_years=6)
    ours = fit(y, x, [worker], [firm])
    n, g_fe, k = ours[5], ours[6], 3
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        peer = pf.feols("y ~ x0 + x1 + x2 | f0", data=_frame(y, x, [worker], [firm]),
                        vcov={"CRV1": "c0"}, fixef_tol=1e-14)
    convert = (n / (n - (g_fe - 1) - k)) / ((n - 1) / (n - k - g_fe))
    np.testing.assert_allclose(np.sqrt(np.diag(ours[1])),
                               peer.se().to_numpy() * np.sqrt(convert), rtol=1e-7)


def _hdfe_options(n_fe):
    # One effect is removed exactly (no options); several iteratively.
    return {"options": {"tol": 1e-14, "iteration_limit": 100_000}} if n_fe > 1 else None


@pytest.mark.peers
@pytest.mark.parametrize("singletons", [False, True], ids=["no_singletons", "singletons"])
@pytest.mark.parametrize("n_fe", [1, 2, 3])
def test_coefficients_and_residuals_match_linearmodels_absorbing_ls(n_fe, singletons):
    # AbsorbingLS keeps singleton rows; they are fitted exactly, so the
    # coefficients agree and their residuals are zero.
    pytest.importorskip("linearmodels")
    from linearmodels.iv import AbsorbingLS
    pd = pytest.importorskip("pandas")
    y, x, fes, keep = _peer_panel(n_fe, singletons, seed=60 + n_fe)
    ours = fit(y, x, fes)
    absorb = pd.DataFrame({f"f{q}": pd.Categorical(f) for q, f in enumerate(fes)})
    model = AbsorbingLS(pd.Series(y, name="y"), pd.DataFrame(x, columns=["x0", "x1", "x2"]),
                        absorb=absorb)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        res = model.fit(cov_type="unadjusted", debiased=True,
                        absorb_options=_hdfe_options(n_fe))
    np.testing.assert_allclose(ours[0], res.params.to_numpy(), rtol=1e-7)
    resid = res.resids.to_numpy()
    np.testing.assert_allclose(ours[2], resid[keep], atol=1e-7)
    np.testing.assert_allclose(resid[~keep], 0.0, atol=1e-7)


@pytest.mark.peers
@pytest.mark.parametrize("n_fe", [1, 2])
def test_iid_and_hc1_standard_errors_match_linearmodels_debiased(n_fe):
    # AbsorbingLS(debiased=True) scales RSS/n and HC0 by n/(n - k - d), d the
    # dummies less one per later effect: our "iid" and "HC1" on the same rows.
    pytest.importorskip("linearmodels")
    from linearmodels.iv import AbsorbingLS
    pd = pytest.importorskip("pandas")
    y, x, fes, keep = _peer_panel(n_fe, True, seed=70 + n_fe)
    yk, xk, fk = y[keep], x[keep], [f[keep] for f in fes]
    absorb = pd.DataFrame({f"f{q}": pd.Categorical(f) for q, f in enumerate(fk)})
    model = AbsorbingLS(pd.Series(yk, name="y"), pd.DataFrame(xk, columns=["x0", "x1", "x2"]),
                        absorb=absorb)
    for ours_name, peer_name in (("iid", "unadjusted"), ("HC1", "robust")):
        ours = fit(y, x, fes, vcov=ours_name)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            res = model.fit(cov_type=peer_name, debiased=True,
                            absorb_options=_hdfe_options(n_fe))
        np.testing.assert_allclose(np.sqrt(np.diag(ours[1])), res.std_errors.to_numpy(),
                                   rtol=1e-7)
