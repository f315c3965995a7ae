"""Small-sample presets against statsmodels, which fits the fixed effects as dummy variables
and applies its own corrections: (N-1)/(N-K)·G/(G-1) when clustering (Stata's regress,
vce(cluster)), K the rank of all regressors; no factor for HC0, HC2, HC3."""

import numpy as np
import pandas as pd
import pytest
import scipy.linalg
from layer_support import dummies

import kestrel
from conftest import need

sm = need("statsmodels.api")
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
                                               ("HC0", "HC0", {}),
                                               ("HC2", "HC2", {"k_adj": False}),
                                               ("HC3", "HC3", {"k_adj": False})])
def test_no_fixed_effects_matches_statsmodels(split_panel, vcov, cov_type, ssc):
    ref = sm.OLS(split_panel["y"], sm.add_constant(split_panel[["x1", "x2"]])).fit(
        cov_type=cov_type)
    fit = kestrel.feols("y ~ x1 + x2", split_panel, vcov, ssc=kestrel.ssc(**ssc))
    np.testing.assert_allclose(fit.coef(), ref.params, rtol=1e-10)
    np.testing.assert_allclose(fit.se(), ref.bse, rtol=1e-9)


def test_hc0_with_fixed_effects_is_statsmodels_hc0_on_the_dummies(split_panel):
    ref = dummy_ols(split_panel, ["worker", "firm"], cov_type="HC0")
    for ssc in (kestrel.ssc(), kestrel.ssc(k_adj=False)):  # no factor whatever the ssc
        fit = kestrel.feols("y ~ x1 + x2 | worker + firm", split_panel, "HC0", ssc=ssc,
                            drop_singletons=False, fixef_tol=1e-12)
        np.testing.assert_allclose(fit.coef(), ref.params[1:3], rtol=1e-8)
        np.testing.assert_allclose(fit.se(), ref.bse[1:3], rtol=1e-8)
    assert fit.vcov_type.label == "HC0" and "(HC0)" in fit.summary()


@pytest.fixture(scope="module")
def single_row_level():
    """A category with one row (at position 37, under a shuffled index): the regressors fit
    that row exactly whatever its y, so its leverage is 1."""
    rng = np.random.default_rng(8)
    n = 120
    g = rng.integers(0, 3, n)
    g[37] = 3
    x = rng.normal(size=n)
    y = 1.0 + 0.5 * x + 0.2 * g + rng.normal(size=n) * (1 + np.abs(x))
    return pd.DataFrame({"y": y, "x": x, "g": g}, index=rng.permutation(n) + 1000)


@pytest.mark.parametrize("vcov", ["HC2", "HC3"])
def test_a_row_with_leverage_one_is_named_and_only_what_it_moves_is_nan(single_row_level,
                                                                       vcov):
    df = single_row_level
    with pytest.warns(kestrel.LeverageWarning) as caught:
        fit = kestrel.feols("y ~ x + C(g)", df, vcov, ssc=kestrel.ssc(k_adj=False))
    message = str(caught[0].message)
    assert "position 37" in message and "C(g)[T.3] are NaN" in message, message
    se = fit.se()
    assert np.isnan(se["C(g)[T.3]"]) and not se.drop("C(g)[T.3]").isna().any()
    # Its coefficient is that row's y minus the others' fit, so nothing else depends on the
    # row: the other variances are those of the fit without the row and its dummy.
    rest = df.drop(df.index[37])
    X = sm.add_constant(np.column_stack([rest.x, rest.g == 1, rest.g == 2]).astype(float))
    ref = sm.OLS(rest.y.to_numpy(), X).fit(cov_type=vcov)
    np.testing.assert_allclose(se.drop("C(g)[T.3]"), ref.bse, rtol=1e-9)
    np.testing.assert_allclose(fit.coef().drop("C(g)[T.3]"), ref.params, rtol=1e-9)
    # HC1 needs no leverage: defined for every coefficient, without a warning.
    assert np.isfinite(kestrel.feols("y ~ x + C(g)", df, "HC1").se()).all()


def wage_panel_fit(fml, clusters, **fit_kw):
    from linearmodels import PanelOLS
    from linearmodels.datasets import wage_panel

    df = wage_panel.load()
    model = PanelOLS.from_formula(fml, df.set_index(["nr", "year"]))
    lm = model.fit(cov_type="clustered", debiased=True, group_debias=True, **clusters, **fit_kw)
    return df, lm


@pytest.mark.parametrize("effects,clusters,vcov,k_fixef", [
    # A single effect nested in the clusters: linearmodels (auto_df) counts no effect.
    ("EntityEffects", {"cluster_entity": True}, {"CRV1": "nr"}, "none"),
    # A single effect not nested in the clusters: every effect counts.
    ("EntityEffects", {"cluster_time": True}, {"CRV1": "year"}, "full"),
    ("EntityEffects", {"cluster_entity": True, "cluster_time": True}, {"CRV1": "nr+year"},
     "full"),
    # Two effects, one nested in the clusters: every effect counts.
    ("EntityEffects + TimeEffects", {"cluster_entity": True}, {"CRV1": "nr"}, "full"),
])
def test_linearmodels_clustered_covariance_counts_effects_by_its_rule(effects, clusters, vcov,
                                                                      k_fixef):
    need("linearmodels")
    df, lm = wage_panel_fit(f"lwage ~ expersq + union + married + {effects}", clusters)
    fe = "nr" if effects == "EntityEffects" else "nr + year"
    fit = kestrel.feols(f"lwage ~ expersq + union + married | {fe}", df, vcov,
                        ssc=kestrel.ssc(k_fixef=k_fixef, G_df="conventional"))
    np.testing.assert_allclose(fit.coef(), lm.params, rtol=1e-9)
    np.testing.assert_allclose(fit.se(), lm.std_errors, rtol=1e-9)
