"""Two-stage least squares through kestrel.feols against peers no one here wrote: pyfixest
(one endogenous regressor, same conventions), linearmodels' IV2SLS (several endogenous
regressors; its debiased covariances are the conventions here) and the textbook values of
the Mroz and Card returns-to-schooling data. Coefficients 1e-10 relative, standard errors
and statistics 1e-8."""

import numpy as np
import pandas as pd
import pytest
from layer_support import close, quiet

import kestrel
from conftest import need

pf = need("pyfixest")
linearmodels = need("linearmodels")
from linearmodels.iv import IV2SLS  # noqa: E402

pytestmark = pytest.mark.peers
COEF, SE = 1e-10, 1e-8


@pytest.fixture(scope="module")
def data():
    """Two fixed effects, clusters, an endogenous d (error u enters it) with instruments z1,
    z2 (z2 correlated with f1), a second endogenous d2, heteroskedastic errors."""
    rng = np.random.default_rng(1)
    n = 2000
    df = pd.DataFrame({"f1": rng.integers(0, 40, n), "f2": rng.integers(0, 9, n),
                       "cl": rng.integers(0, 25, n)})
    df["z1"], df["z3"], df["w"], df["w2"] = rng.normal(size=(4, n))
    df["z2"] = rng.normal(size=n) + 0.1 * df.f1
    u = rng.normal(size=n)
    df["d"] = 0.3 * df.z1 + 0.2 * df.z2 + 0.5 * u + rng.normal(size=n) + 0.1 * df.f1
    df["d2"] = 0.5 * df.z2 - 0.3 * df.z1 + 0.4 * df.z3 + 0.3 * u + rng.normal(size=n)
    df["y"] = 1 + 0.7 * df.d + 0.2 * df.d2 + 0.3 * df.w + u * (1 + df.z1.abs()) + 0.05 * df.f2
    df["weak"] = 0.05 * df.z1 + rng.normal(size=n)
    return df


BATTERY = [
    ("y ~ w + w2 | d ~ z1 + z2", "iid"),
    ("y ~ 1 | d ~ z1 + z2", "hetero"),
    ("y ~ w | f1 | d ~ z1 + z2", {"CRV1": "cl"}),
    ("y ~ w | f1 + f2 | d ~ z1", "iid"),
    ("y ~ w | f1 + f2 | d ~ z1 + z2", "hetero"),
    ("y ~ w | f1 + f2 | d ~ z1 + z2", {"CRV1": "f1"}),
    ("y ~ w | f1 + f2 | weak ~ z1 + z2", {"CRV1": "cl+f2"}),
]


@pytest.mark.parametrize("fml,vcov", BATTERY, ids=[f"{f} {v}" for f, v in BATTERY])
def test_second_stage_and_first_stage_f_match_pyfixest(data, fml, vcov):
    ours = kestrel.feols(fml, data, vcov, fixef_tol=1e-13)
    theirs = quiet(pf.feols, fml, data, vcov=vcov,
                   demeaner=pf.MapDemeaner(fixef_tol=1e-13, fixef_maxiter=100_000))
    assert list(ours.coef().index) == list(theirs.coef().index)  # exogenous, then endogenous
    close(ours.coef(), theirs.coef(), COEF)
    close(ours.se(), theirs.se(), SE)
    close(ours.pvalue(), theirs.pvalue(), SE)
    close(ours.resid(), theirs.resid(), 1e-9)
    assert ours.df_t == theirs._df_t
    # pyfixest's first stage clusters by the first variable only.
    if not (isinstance(vcov, dict) and "+" in vcov["CRV1"]):
        quiet(theirs.IV_Diag)
        (fs,) = ours.first_stage.values()
        close(fs.f_stat, theirs._f_stat_1st_stage, SE)


@pytest.mark.parametrize("vcov", ["hetero", {"CRV1": "cl"}])
def test_effective_f_matches_pyfixest_where_their_definitions_agree(data, vcov):
    """pyfixest leaves the exogenous regressors in its instruments' Gramian and uses the
    hetero covariance even for iid fits; with one instrument (where the effective F is the
    robust F) or with fixed effects and no exogenous regressor (instruments already net of
    the fixed effects) the two definitions coincide."""
    for fml in ("y ~ w | f1 + f2 | d ~ z1", "y ~ 1 | f1 + f2 | d ~ z1 + z2"):
        ours = kestrel.feols(fml, data, vcov, fixef_tol=1e-13)
        theirs = quiet(pf.feols, fml, data, vcov=vcov,
                       demeaner=pf.MapDemeaner(fixef_tol=1e-13, fixef_maxiter=100_000))
        quiet(theirs.IV_Diag)
        close(ours.first_stage["d"].effective_f, theirs._eff_F, SE)


def test_effective_f_partials_out_the_exogenous_regressors(data):
    """Montiel Olea and Pflueger's statistic on the instruments net of the exogenous
    regressors (the paper's normalisation), computed directly; with iid errors it is the F."""
    fit = kestrel.feols("y ~ w + w2 | d ~ z1 + z2 + z3", data, "hetero")
    fs = fit.first_stage["d"]
    W = np.column_stack([np.ones(len(data)), data[["w", "w2"]]])
    Z = data[["z1", "z2", "z3"]].to_numpy()
    Zt = Z - W @ np.linalg.lstsq(W, Z, rcond=None)[0]
    pi = fs.coef()[["z1", "z2", "z3"]].to_numpy()
    first = quiet(IV2SLS.from_formula, "d ~ 1 + w + w2 + z1 + z2 + z3", data).fit(
        cov_type="robust", debiased=True)
    V = first.cov.loc[["z1", "z2", "z3"], ["z1", "z2", "z3"]].to_numpy()
    close(fs.effective_f, pi @ Zt.T @ Zt @ pi / np.trace(V @ Zt.T @ Zt), SE)
    iid = kestrel.feols("y ~ w + w2 | d ~ z1 + z2 + z3", data, "iid").first_stage["d"]
    close(iid.effective_f, iid.f_stat, 1e-12)


@pytest.mark.parametrize("vcov,cov_type", [("iid", "unadjusted"), ("hetero", "robust"),
                                           ({"CRV1": "cl"}, "clustered")])
def test_several_endogenous_regressors_match_linearmodels(data, vcov, cov_type):
    fml = "y ~ w | d + d2 ~ z1 + z2 + z3"
    ours = kestrel.feols(fml, data, vcov)
    kw = {"clusters": data.cl} if cov_type == "clustered" else {}
    theirs = quiet(IV2SLS.from_formula, "y ~ 1 + w + [d + d2 ~ z1 + z2 + z3]", data).fit(
        cov_type=cov_type, debiased=True, **kw)
    assert list(ours.coef().index) == ["Intercept", "w", "d", "d2"]
    close(ours.coef(), theirs.params, COEF)
    close(ours.se(), theirs.std_errors, SE)
    close(ours.r2, theirs.rsquared, 1e-10)
    # linearmodels reports the classical F with iid errors, else the Wald statistic (q F).
    q = 3 if vcov != "iid" else 1
    for name, fs in ours.first_stage.items():
        close(fs.f_stat * q, theirs.first_stage.diagnostics.loc[name, "f.stat"], SE)
        assert fs.effective_f is None
        close(fs.coef(), theirs.first_stage.individual[name].params, COEF)


def test_fixed_effects_match_their_dummies_in_linearmodels(data):
    fit = kestrel.feols("y ~ w | f2 | d + d2 ~ z1 + z2 + z3", data, {"CRV1": "cl"})
    dummies = pd.get_dummies(data.f2, prefix="f2", drop_first=True, dtype=float)
    exog = pd.concat([pd.Series(1.0, index=data.index, name="const"), data.w, dummies], axis=1)
    theirs = quiet(IV2SLS(data.y, exog, data[["d", "d2"]], data[["z1", "z2", "z3"]]).fit,
                   cov_type="clustered", clusters=data.cl, debiased=True)
    close(fit.coef(), theirs.params[["w", "d", "d2"]], COEF)
    close(fit.se(), theirs.std_errors[["w", "d", "d2"]], SE)


def test_mroz_returns_to_education_match_the_textbook_and_linearmodels():
    """Wooldridge, Introductory Econometrics, Example 15.5 (working women of Mroz 1987,
    parents' education as instruments): 0.0614 (0.0314); the rows without a wage drop."""
    from linearmodels.datasets import mroz

    df = mroz.load()
    fit = kestrel.feols("lwage ~ exper + expersq | educ ~ fatheduc + motheduc", df, "iid")
    assert fit.nobs == 428 and fit.n_missing == 325
    assert round(fit.coef()["educ"], 4) == 0.0614 and round(fit.se()["educ"], 4) == 0.0314
    theirs = quiet(IV2SLS.from_formula,
                   "lwage ~ 1 + exper + expersq + [educ ~ fatheduc + motheduc]",
                   df.dropna(subset=["lwage"])).fit(cov_type="unadjusted", debiased=True)
    close(fit.coef(), theirs.params, COEF)
    close(fit.se(), theirs.std_errors, SE)
    close(fit.first_stage["educ"].f_stat,
          theirs.first_stage.diagnostics.loc["educ", "f.stat"], SE)


def test_card_proximity_to_college_matches_pyfixest_with_region_effects():
    """Card (1995): log wage on schooling instrumented by growing up near a four-year
    college, with the 1966 region as a fixed effect; Wooldridge's Example 15.4 reports
    0.132 (0.055) with homoskedastic errors."""
    from linearmodels.datasets import card

    df = card.load()
    df["region"] = np.argmax(df[[f"reg66{i}" for i in range(1, 10)]].to_numpy(), axis=1)
    fml = "lwage ~ exper + expersq + black + smsa + south + smsa66 | region | educ ~ nearc4"
    ours = kestrel.feols(fml, df, "hetero", fixef_tol=1e-13)
    theirs = quiet(pf.feols, fml, df, vcov="hetero",
                   demeaner=pf.MapDemeaner(fixef_tol=1e-13, fixef_maxiter=100_000))
    close(ours.coef(), theirs.coef(), COEF)
    close(ours.se(), theirs.se(), SE)
    iid = kestrel.feols(fml, df, "iid")
    assert round(iid.coef()["educ"], 3) == 0.132 and round(iid.se()["educ"], 3) == 0.055


def test_summary_shows_the_first_stages(data):
    text = kestrel.feols("y ~ w | f1 | d ~ z1 + z2", data, "hetero").summary()
    assert "two-stage least squares" in text
    assert "First stage" in text and "effective F" in text and "z1, z2" in text
    text = kestrel.feols("y ~ w | d + d2 ~ z1 + z2 + z3", data).summary()
    assert "effective F" not in text and text.count("z1, z2, z3") == 2


def test_more_instruments_than_clusters_leave_the_first_stage_f_undefined_not_an_error(data):
    two = data.assign(cl=data.cl % 2)
    fit = kestrel.feols("y ~ w | d ~ z1 + z2 + z3", two, {"CRV1": "cl"})
    assert np.isnan(fit.first_stage["d"].f_stat) and np.isfinite(fit.se()).all()


def test_hc0_is_linearmodels_robust_without_the_debiasing_factor(data):
    fml = "y ~ w | d + d2 ~ z1 + z2 + z3"
    ours = kestrel.feols(fml, data, "HC0")
    theirs = quiet(IV2SLS.from_formula, "y ~ 1 + w + [d + d2 ~ z1 + z2 + z3]", data).fit(
        cov_type="robust", debiased=False)
    close(ours.se(), theirs.std_errors, SE)


@pytest.mark.parametrize("fml", ["y ~ w | d ~ same", "y ~ w | f1 + f2 | d ~ same"])
def test_an_instrument_equal_to_the_regressor_is_least_squares_with_an_infinite_first_stage_f(
        data, fml):
    # the first stage fits exactly: its covariance is zero, its F infinite (was a
    # ZeroDivisionError); the second stage is least squares of y on d
    fit = kestrel.feols(fml, data.assign(same=data.d), "hetero")
    ols = kestrel.feols(fml.replace("y ~ w", "y ~ w + d").replace(" | d ~ same", ""), data,
                        "hetero")
    close(fit.coef(), ols.coef()[fit.coef().index], COEF)
    first = fit.first_stage["d"]
    assert first.f_stat == np.inf and first.f_pvalue == 0 and first.effective_f == np.inf
    assert "inf" in fit.summary()
