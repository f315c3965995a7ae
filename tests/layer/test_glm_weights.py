"""Prior weights in kestrel.fepois and kestrel.feglm, against oracles no one here wrote:
statsmodels' GLM with ``var_weights`` on explicit dummies (analytic weights: the weighted
likelihood), the same models fitted on the data with each row repeated w times (frequency
weights, statsmodels and kestrel unweighted), and pyfixest's weighted fepois.

Factors as in test_glm.py: iid is the inverse information times (N−1)/(N−K), hetero the
HC0 sandwich times N/(N−K); with frequency weights N is Σw."""

import warnings

import numpy as np
import pandas as pd
import pytest

import kestrel
from conftest import need

sm = need("statsmodels.api", "GLM oracles")
pf = need("pyfixest")
pytestmark = pytest.mark.peers


def quiet(fn, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn(*args, **kwargs)


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(11)
    n = 1200
    df = pd.DataFrame({"x1": rng.normal(size=n), "x2": rng.normal(size=n),
                       "g": rng.integers(0, 12, n), "h": rng.integers(0, 5, n)})
    eta = 0.4 * df.x1 - 0.3 * df.x2 + 0.3 * np.cos(df.g) + 0.1 * df.h
    df["count"] = rng.poisson(np.exp(eta)).astype(float)
    df["binary"] = (rng.uniform(size=n) < 1 / (1 + np.exp(-eta))).astype(float)
    df["w"] = np.exp(rng.uniform(np.log(0.2), np.log(5.0), n))
    df["f"] = rng.integers(1, 4, n)
    return df


def family_of(name):
    if name == "poisson":
        return sm.families.Poisson()
    link = sm.families.links.Logit() if name == "logit" else sm.families.links.Probit()
    return sm.families.Binomial(link)


def outcome(name):
    return "count" if name == "poisson" else "binary"


def dummies(df):
    X = pd.concat([df[["x1", "x2"]],
                   pd.get_dummies(df[["g", "h"]].astype(str), drop_first=True).astype(float)],
                  axis=1)
    X.insert(0, "const", 1.0)
    return X


def close(a, b, rtol):
    np.testing.assert_allclose(np.asarray(a, dtype=float), np.asarray(b, dtype=float),
                               rtol=rtol, atol=0)


@pytest.mark.parametrize("family", ["poisson", "logit", "probit"])
def test_analytic_weights_are_the_weighted_likelihood_of_statsmodels(data, family):
    y = outcome(family)
    fml = f"{y} ~ x1 + x2 | g + h"
    ref = sm.GLM(data[y], dummies(data), family=family_of(family),
                 var_weights=data["w"]).fit(tol=1e-13, maxiter=200)
    fit = kestrel.feglm(fml, data, family, "iid", weights="w", glm_tol=1e-13)
    n, K = len(data), 2 + data.g.nunique() + data.h.nunique() - 1
    close(fit.coef(), ref.params[["x1", "x2"]], 1e-7)
    close(fit.se(), ref.bse[["x1", "x2"]] * np.sqrt((n - 1) / (n - K)), 1e-6)
    close(fit.deviance, ref.deviance, 1e-9)
    close(fit.loglik, ref.llf, 1e-9)
    assert fit.weights == "w" and fit.weights_type == "aweights" and fit.nobs == n
    if family != "probit":  # canonical links: statsmodels' sandwich has the same bread
        hetero = kestrel.feglm(fml, data, family, "hetero", weights="w", glm_tol=1e-13)
        ref = sm.GLM(data[y], dummies(data), family=family_of(family),
                     var_weights=data["w"]).fit(tol=1e-13, maxiter=200, cov_type="HC0")
        close(hetero.se(), ref.bse[["x1", "x2"]] * np.sqrt(n / (n - K)), 1e-6)


@pytest.mark.parametrize("family", ["poisson", "logit"])
@pytest.mark.parametrize("vcov", ["iid", "hetero", {"CRV1": "g"}, {"CRV1": "g+h"}])
def test_frequency_weights_are_the_repeated_rows(data, family, vcov):
    y = outcome(family)
    fml = f"{y} ~ x1 + x2 | g + h"
    fit = kestrel.feglm(fml, data, family, vcov, weights="f", weights_type="fweights",
                        glm_tol=1e-13)
    repeated = data.loc[data.index.repeat(data["f"])].reset_index(drop=True)
    ref = kestrel.feglm(fml, repeated, family, vcov, glm_tol=1e-13)
    close(fit.coef(), ref.coef(), 1e-9)
    close(fit.se(), ref.se(), 1e-8)
    assert fit.nobs == ref.nobs == int(data["f"].sum())
    for stat in ("deviance", "null_deviance", "loglik", "pseudo_r2", "rss"):
        close(getattr(fit, stat), getattr(ref, stat), 1e-9)
    if vcov == "iid":  # and the repeated rows' own oracle
        sm_ref = sm.GLM(repeated[y], dummies(repeated), family=family_of(family)).fit(
            tol=1e-13, maxiter=200)
        close(fit.coef(), sm_ref.params[["x1", "x2"]], 1e-7)
        close(fit.loglik, sm_ref.llf, 1e-9)


@pytest.mark.parametrize("vcov", ["iid", "hetero", {"CRV1": "g"}])
def test_weighted_fepois_against_pyfixest(data, vcov):
    fml = "count ~ x1 + x2 | g + h"
    for scale in (1.0, 5.0):  # the iid covariance follows the weights' scale, as pyfixest's
        df = data.assign(w=data["w"] * scale)
        fit = kestrel.fepois(fml, df, vcov, weights="w")
        ref = quiet(pf.fepois, fml, df, vcov=vcov, weights="w", fixef_tol=1e-10)
        close(fit.coef().to_numpy(), ref.coef().to_numpy(), 1e-6)
        close(fit.se().to_numpy(), ref.se().to_numpy(), 1e-4)


def test_the_scale_of_analytic_weights(data):
    """Scaling the weights by c leaves the estimates and the sandwich covariances alone
    and divides the inverse information by c (the likelihood's curvature grows by c)."""
    fml = "count ~ x1 + x2 | g + h"
    for vcov in ("hetero", {"CRV1": "g"}):
        a = kestrel.fepois(fml, data, vcov, weights="w")
        b = kestrel.fepois(fml, data.assign(w=data.w * 1e6), vcov, weights="w")
        close(b.coef(), a.coef(), 1e-10)
        close(b.se(), a.se(), 1e-9)
    a = kestrel.fepois(fml, data, "iid", weights="w")
    b = kestrel.fepois(fml, data.assign(w=data.w * 4.0), "iid", weights="w")
    close(b.se(), a.se() / 2.0, 1e-9)
    close(b.deviance, 4.0 * a.deviance, 1e-9)


def test_weight_zero_missing_and_mistakes(data):
    df = data.copy()
    df.loc[:9, "w"] = 0.0
    df.loc[10:14, "w"] = np.nan
    fit = kestrel.fepois("count ~ x1 + x2 | g", df, weights="w")
    ref = kestrel.fepois("count ~ x1 + x2 | g", df.iloc[15:], weights="w")
    close(fit.coef(), ref.coef(), 1e-10)
    assert fit.n_zero_weight == 10 and fit.n_missing == 5 and fit.nobs == len(df) - 15
    assert "with weight 0" in fit.summary() and "analytic weights" in fit.summary()
    # Weight 1 everywhere is the unweighted fit.
    same = kestrel.fepois("count ~ x1 + x2 | g", data.assign(one=1.0), weights="one")
    plain = kestrel.fepois("count ~ x1 + x2 | g", data)
    close(same.coef(), plain.coef(), 1e-12)
    close(same.se(), plain.se(), 1e-12)
    bad = data.assign(w=data.w.where(data.index != 7, -1.0))
    with pytest.raises(ValueError, match=r"'w' has a negative weight.*row 7"):
        kestrel.fepois("count ~ x1 | g", bad, weights="w")
    with pytest.raises(ValueError, match="not a whole number"):
        kestrel.feglm("binary ~ x1 | g", data, "logit", weights="w", weights_type="fweights")
    with pytest.raises(TypeError, match="weights must be the name of a column"):
        kestrel.fepois("count ~ x1 | g", data, weights=data.w)
    with pytest.raises(KeyError, match="nope"):
        kestrel.fepois("count ~ x1 | g", data, weights="nope")
    # Multiple estimation passes the weights to every model.
    fits = kestrel.fepois("count ~ csw(x1, x2) | g", data, weights="w")
    close(fits[1].coef(), kestrel.fepois("count ~ x1 + x2 | g", data, weights="w").coef(),
          1e-12)
