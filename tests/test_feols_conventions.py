"""Small-sample presets against statsmodels, which fits the fixed effects as dummy variables
and applies its own corrections: (N-1)/(N-K)·G/(G-1) when clustering (Stata's regress,
vce(cluster)), K the rank of all regressors; no factor for HC0, HC2, HC3."""

import numpy as np
import pandas as pd
import pytest
import scipy.linalg
from layer_support import dummies

import kestrel

sm = pytest.importorskip("statsmodels.api")
pytestmark = pytest.mark.peers


@pytest.fixture(scope="module")
def split_panel():
    """Workers and firms in two disconnected blocks: the fixed effects' dummies have rank
    levels - 2, one less than fixest's count of levels minus one."""
    rng = np.random.default_rng(5)
    n = 600
    block = rng.integers(0, 2, n)
    worker = block * 40 + rng.integers(0, 40, n)
    firm = block * 10 + rng.integers(0, 10, n)
    x1, x2 = rng.normal(size=(2, n))
    y = x1 - 0.5 * x2 + np.cos(worker) + 0.1 * firm + rng.normal(size=n)
    return pd.DataFrame({"y": y, "x1": x1, "x2": x2, "worker": worker, "firm": firm,
                         "cl": rng.integers(0, 25, n)})


def dummy_ols(df, fes, **fit_kw):
    """OLS on the regressors and the fixed effects' dummies, redundant dummies left out."""
    X = np.column_stack([np.ones(len(df)), df[["x1", "x2"]]]
                        + [dummies(df[f].to_numpy()) for f in fes])
    _, r, order = scipy.linalg.qr(X, mode="economic", pivoting=True)
    independent = np.sort(order[np.abs(np.diag(r)) > 1e-9 * abs(r[0, 0])])
    assert list(independent[:3]) == [0, 1, 2]
    return sm.OLS(df["y"].to_numpy(), X[:, independent]).fit(**fit_kw)


@pytest.mark.parametrize("fes,cluster", [(["firm"], "firm"), (["worker", "firm"], "cl"),
                                         (["worker"], "firm")])
def test_regress_preset_is_statsmodels_cluster_on_dummies(split_panel, fes, cluster):
    ref = dummy_ols(split_panel, fes, cov_type="cluster",
                    cov_kwds={"groups": split_panel[cluster].to_numpy()})
    fit = kestrel.feols(f"y ~ x1 + x2 | {' + '.join(fes)}", split_panel, {"CRV1": cluster},
                        ssc=kestrel.ssc("regress"), drop_singletons=False, fixef_tol=1e-12)
    # The tolerance is the solver's business (tests/test_solver.py); here only the factors.
    np.testing.assert_allclose(fit.se(), ref.bse[1:3], rtol=1e-9)
    assert fit.df_t == split_panel[cluster].nunique() - 1


def test_reghdfe_preset_does_not_count_a_fixed_effect_nested_in_the_cluster(split_panel):
    ref = dummy_ols(split_panel, ["firm"], cov_type="cluster",
                    cov_kwds={"groups": split_panel["firm"].to_numpy()})
    fit = kestrel.feols("y ~ x1 + x2 | firm", split_panel, {"CRV1": "firm"},
                        ssc=kestrel.ssc("reghdfe"), drop_singletons=False)
    n, k_dummies = len(split_panel), ref.df_model + 1
    # reghdfe: K = regressors + constant (the firm dummies are redundant with the clusters).
    np.testing.assert_allclose(fit.se(), ref.bse[1:3] * np.sqrt((n - k_dummies) / (n - 3)),
                               rtol=1e-9)


def test_exact_fixed_effect_count_matches_the_rank_of_the_dummies(split_panel):
    ref = dummy_ols(split_panel, ["worker", "firm"])
    exact = kestrel.feols("y ~ x1 + x2 | worker + firm", split_panel, "iid",
                          ssc=kestrel.ssc(fixef_exact=True), drop_singletons=False)
    default = kestrel.feols("y ~ x1 + x2 | worker + firm", split_panel, "iid",
                            drop_singletons=False)
    np.testing.assert_allclose(exact.se(), ref.bse[1:3], rtol=1e-9)
    assert exact.dof_fixef == default.dof_fixef - 1 == ref.df_model - 1  # df_model: rank - 1


@pytest.mark.parametrize("vcov,cov_type,ssc", [("iid", "nonrobust", {}), ("HC1", "HC1", {}),
                                               ("HC2", "HC2", {"k_adj": False}),
                                               ("HC3", "HC3", {"k_adj": False})])
def test_no_fixed_effects_matches_statsmodels(split_panel, vcov, cov_type, ssc):
    ref = sm.OLS(split_panel["y"], sm.add_constant(split_panel[["x1", "x2"]])).fit(
        cov_type=cov_type)
    fit = kestrel.feols("y ~ x1 + x2", split_panel, vcov, ssc=kestrel.ssc(**ssc))
    np.testing.assert_allclose(fit.coef(), ref.params, rtol=1e-10)
    np.testing.assert_allclose(fit.se(), ref.bse, rtol=1e-9)
