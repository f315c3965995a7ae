"""kestrel.feols against peers no one here wrote: pyfixest (same conventions by default),
linearmodels (its own, matched explicitly), and dummy-variable least squares where no peer
goes (three-way clustering). Coefficients agree to 1e-10 relative, standard errors 1e-8."""

import dataclasses
import warnings

import numpy as np
import pandas as pd
import pytest
from layer_support import multiway_oracle, panel

import kestrel
from conftest import need

pf = need("pyfixest")
linearmodels = need("linearmodels")
pytestmark = pytest.mark.peers

COEF, SE = 1e-10, 1e-8


@pytest.fixture(scope="module")
def data():
    return panel()


def quiet(fn, *args, **kwargs):
    """A peer's call without its deprecation chatter (the suite turns warnings into errors)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn(*args, **kwargs)


def fit_both(fml, data, vcov, **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", kestrel.CollinearityWarning)
        ours = kestrel.feols(fml, data, vcov, fixef_tol=1e-13, **kw)
    demeaner = pf.MapDemeaner(fixef_tol=1e-13, fixef_maxiter=100_000)
    theirs = quiet(pf.feols, fml, data, vcov=vcov, demeaner=demeaner,
                   ssc=quiet(pf.ssc, **_fields(kw["ssc"])) if "ssc" in kw else None)
    return ours, theirs


def _fields(conv):
    return {k: v for k, v in dataclasses.asdict(conv).items() if k != "fixef_exact"}


def close(ours, theirs, rtol):
    ours, theirs = np.asarray(ours, float), np.asarray(theirs, float)
    np.testing.assert_allclose(ours, theirs, rtol=rtol, atol=rtol * np.abs(theirs).max() + 1e-15)


BATTERY = [
    ("y ~ x1 + x2", "iid"),
    ("y ~ x1 + x2 + C(g)", "hetero"),
    ("y ~ x1 + x2", "HC2"),
    ("y ~ x1 + x2", "HC3"),
    ("y ~ x1*x2 + I(x3**2)", {"CRV1": "firm"}),
    ("y ~ 0 + x1 + C(g)", {"CRV1": "year+firm"}),
    ("y ~ x1 + x2 | worker", {"CRV1": "worker"}),
    ("y ~ x1 + x2 | worker", "iid"),
    ("y ~ x1 + x2 | worker + firm", {"CRV1": "worker+firm"}),
    ("y ~ x1 + x2 | worker + firm", "hetero"),
    ("y ~ x1 + x2 + x3 | worker + firm + year", {"CRV1": "firm"}),
    ("y ~ x1 + i(g, ref='c') | worker + firm^year", "hetero"),
    ("y ~ x1 + i(year, x2, ref=2003) | firm", {"CRV1": "firm"}),
    ("y ~ x1 + C(region) + x2:C(g) | year", {"CRV1": "region"}),
    ("np.log(y2) ~ x1 + x2 | firm", "iid"),
    ("y ~ x1 + x2 + x3 + x4 + firm_size | firm", {"CRV1": "year+firm"}),
    # formulaic's stateful transforms (on columns and fixed effects without missing values:
    # pyfixest learns them from every row, kestrel from the rows without missing values)
    ("y ~ poly(x2, 2) + center(x3) | firm", {"CRV1": "firm"}),
    ("y ~ scale(x2) + x3 | firm + year", "hetero"),
    ("y ~ bs(x2, df=4) + x3 | firm + year", "iid"),
    ("y ~ poly(x3, 3) + scale(x2) + bs(x4, df=5, degree=2)", "HC3"),
]


@pytest.mark.parametrize("fml,vcov", BATTERY, ids=[f"{f} {v}" for f, v in BATTERY])
def test_estimates_inference_and_fit_statistics_match_pyfixest(data, fml, vcov):
    ours, theirs = fit_both(fml, data, vcov)
    names = list(theirs.coef().index)
    assert list(ours.coef().index) == names
    close(ours.coef(), theirs.coef(), COEF)
    close(ours.se(), theirs.se(), SE)
    close(ours.pvalue(), theirs.pvalue(), SE)
    close(ours.confint(), theirs.confint(), SE)
    close(ours.resid(), theirs.resid(), 1e-9)
    assert ours.nobs == theirs._N
    stats = [("r2", "_r2"), ("adj_r2", "_adj_r2"), ("rmse", "_rmse")]
    if ours.fixef:
        stats += [("r2_within", "_r2_within"), ("adj_r2_within", "_adj_r2_within")]
    close([getattr(ours, a) for a, _ in stats], [getattr(theirs, b) for _, b in stats], 1e-9)


def test_collinear_and_absorbed_regressors_are_dropped_by_name(data):
    with pytest.warns(kestrel.CollinearityWarning, match=r"x4 \(collinear.*firm_size "
                                                         r"\(absorbed by the fixed effects"):
        fit = kestrel.feols("y ~ x1 + x2 + x3 + x4 + firm_size | firm", data)
    assert fit.collinear == ["x4", "firm_size"]
    assert list(fit.coef().index) == ["x1", "x2", "x3"]
    assert np.isfinite(fit.se()).all() and fit.se().max() < 1


@pytest.mark.parametrize("ssc", [dict(k_adj=False), dict(G_adj=False), dict(G_df="conventional"),
                                 dict(k_fixef="none"), dict(k_fixef="full")])
@pytest.mark.parametrize("vcov", ["iid", "hetero", {"CRV1": "worker+firm"}])
def test_small_sample_options_match_pyfixest(data, ssc, vcov):
    ours, theirs = fit_both("y ~ x1 + x2 | worker + year", data, vcov, ssc=kestrel.ssc(**ssc))
    close(ours.se(), theirs.se(), SE)
    close(ours.pvalue(), theirs.pvalue(), SE)


def test_three_way_clustering_matches_dummy_variable_least_squares(data):
    fit = kestrel.feols("y ~ x1 + x2 | worker", data, {"CRV1": "firm+year+region"})
    used = data[fit.mask]
    X = used[["x1", "x2"]].to_numpy()
    codes = [pd.factorize(used[c])[0] for c in ("firm", "year", "region")]
    beta, se = multiway_oracle(used["y"].to_numpy(), X, [pd.factorize(used["worker"])[0]],
                               codes, fit.fixef["worker"])
    close(fit.coef(), beta, COEF)
    close(fit.se(), se, SE)
    assert fit.df_t == min(fit.clusters.values()) - 1


def test_wage_panel_matches_pyfixest_and_linearmodels_panelols():
    """The NLSY wage panel (545 men, 1980-87) that ships with linearmodels."""
    from linearmodels import PanelOLS
    from linearmodels.datasets import wage_panel

    df = wage_panel.load()
    fml = "lwage ~ expersq + union + married + hours | nr + year"
    ours, theirs = fit_both(fml, df, {"CRV1": "nr"})
    close(ours.coef(), theirs.coef(), COEF)
    close(ours.se(), theirs.se(), SE)

    model = PanelOLS.from_formula("lwage ~ expersq + union + married + hours + EntityEffects"
                                  " + TimeEffects", df.set_index(["nr", "year"]))
    for vcov, cov_type in (("iid", "unadjusted"), ("hetero", "robust")):
        lm = quiet(model.fit, cov_type=cov_type)
        fit = kestrel.feols(fml, df, vcov)
        close(fit.coef(), lm.params, COEF)
        close(fit.se(), lm.std_errors, SE)
    # linearmodels' debiased clustered covariance counts the effects (K) and scales each term
    # by G/(G-1)·(N-1)/N: fixest's factors with every fixed effect counted, own G per term.
    for clusters in ({"cluster_entity": True}, {"cluster_entity": True, "cluster_time": True}):
        lm = quiet(model.fit, cov_type="clustered", debiased=True, group_debias=True, **clusters)
        fit = kestrel.feols(fml, df, {"CRV1": "nr+year" if len(clusters) == 2 else "nr"},
                            ssc=kestrel.ssc(k_fixef="full", G_df="conventional"))
        close(fit.se(), lm.std_errors, SE)


def test_absorbing_ls_with_three_fixed_effects(data):
    from linearmodels import AbsorbingLS

    fit = kestrel.feols("y ~ x1 + x2 + x3 | worker + firm + year", data, "hetero",
                        ssc=kestrel.ssc(k_adj=False))
    used = data[fit.mask]
    absorb = pd.DataFrame({c: pd.Categorical(used[c].astype(str)) for c in
                           ("worker", "firm", "year")})
    lm = quiet(AbsorbingLS(used["y"], used[["x1", "x2", "x3"]], absorb=absorb).fit,
               cov_type="robust",
               absorb_options={"options": {"tol": 1e-14, "iteration_limit": 100_000}})
    close(fit.coef(), lm.params, 1e-9)
    close(fit.se(), lm.std_errors, 1e-8)
