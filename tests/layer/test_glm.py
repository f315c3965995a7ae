"""kestrel.fepois and kestrel.feglm against oracles no one here wrote: statsmodels' GLM
(Poisson, binomial with logit and probit links) on explicit dummies — the same likelihood,
so the same estimates, and every covariance once the small-sample factors are stated — and
pyfixest's fepois and feglm (the same conventions by default), on simulated panels and on
a real count data set shipped with linearmodels (firms' training counts, Holzer et al.).

Factors (fixest's and pyfixest's): iid is the inverse Fisher information times
(N−1)/(N−K); hetero is the HC0 sandwich times N/(N−K); CRV1 times G/(G−1)·(N−1)/(N−K).
K counts the regressors plus the fixed effects' degrees of freedom (nested ones aside for
clustered covariances). statsmodels applies none of them (its cluster one aside), so they
are applied to its numbers here."""

import warnings

import numpy as np
import pandas as pd
import pytest

import kestrel
from conftest import need

sm = need("statsmodels.api", "GLM oracles")
pf = need("pyfixest")
pytestmark = pytest.mark.peers

COEF = 1e-7  # relative, against statsmodels iterated to 1e-12
SE = 1e-6


def quiet(fn, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn(*args, **kwargs)


@pytest.fixture(scope="module")
def counts():
    rng = np.random.default_rng(7)
    n = 1500
    df = pd.DataFrame({"x1": rng.normal(size=n), "x2": rng.normal(size=n),
                       "g": rng.integers(0, 12, n), "h": rng.integers(0, 5, n),
                       "e": rng.uniform(0.5, 2.0, n)})
    eta = 0.4 * df.x1 - 0.3 * df.x2 + 0.2 * np.cos(df.g) + 0.1 * df.h + np.log(df.e)
    df["y"] = rng.poisson(np.exp(eta)).astype(float)
    df["le"] = np.log(df.e)
    return df


@pytest.fixture(scope="module")
def binary():
    rng = np.random.default_rng(8)
    n = 2000
    df = pd.DataFrame({"x1": rng.normal(size=n), "x2": rng.normal(size=n),
                       "g": rng.integers(0, 10, n), "h": rng.integers(0, 4, n)})
    eta = 0.6 * df.x1 - 0.5 * df.x2 + 0.3 * np.sin(df.g) - 0.1 * df.h
    df["y"] = (rng.uniform(size=n) < 1 / (1 + np.exp(-eta))).astype(float)
    return df


def dummies(df, regressors, fe):
    X = df[regressors].astype(float)
    X.insert(0, "const", 1.0)
    if fe:
        X = pd.concat([X, pd.get_dummies(df[fe].astype(str), drop_first=True).astype(float)],
                      axis=1)
    return X


def link(family):
    return {"poisson": None, "logit": sm.families.links.Logit(),
            "probit": sm.families.links.Probit()}[family]


def oracle(df, regressors, fe, family, **fit):
    fam = (sm.families.Poisson() if family == "poisson"
           else sm.families.Binomial(link(family)))
    offset = fit.pop("offset", None)
    model = sm.GLM(df["y"], dummies(df, regressors, fe), family=fam, offset=offset)
    return model.fit(tol=1e-13, maxiter=200, **fit)


def close(a, b, rtol):
    np.testing.assert_allclose(np.asarray(a, dtype=float), np.asarray(b, dtype=float),
                               rtol=rtol, atol=0)


def dof(df, fe):
    """K: the two regressors plus the fixed effects' levels less one per extra fixed
    effect, or the intercept."""
    return 2 + (sum(df[f].nunique() for f in fe) - (len(fe) - 1) if fe else 1)


@pytest.mark.parametrize("family", ["poisson", "logit", "probit"])
@pytest.mark.parametrize("fe", [(), ("g",), ("g", "h")])
def test_estimates_and_iid_against_statsmodels(counts, binary, family, fe):
    df = counts if family == "poisson" else binary
    fml = "y ~ x1 + x2" + (" | " + " + ".join(fe) if fe else "")
    fit = kestrel.feglm(fml, df, family, "iid", glm_tol=1e-13)
    ref = oracle(df, ["x1", "x2"], list(fe), family)
    n, K = len(df), dof(df, fe)
    names = ["x1", "x2"]
    if not fe:
        names = ["const", *names]
    close(fit.coef().to_numpy(), ref.params[names], COEF)
    close(fit.se().to_numpy(), ref.bse[names] * np.sqrt((n - 1) / (n - K)), SE)
    close(fit.deviance, ref.deviance, 1e-10)
    close(fit.loglik, ref.llf, 1e-10)
    if not fe:
        close(fit.null_deviance, ref.null_deviance, 1e-10)
        close(fit.pseudo_r2, ref.pseudo_rsquared("mcf"), 1e-9)
    assert fit.converged and fit.n_separated == 0
    # z statistics, normal p-values and intervals.
    z = fit.coef() / fit.se()
    close(fit.tstat(), z, 1e-14)
    from scipy import stats
    close(fit.pvalue(), 2 * stats.norm.sf(np.abs(z)), 1e-12)
    ci = fit.confint()
    close(ci.iloc[:, 1], fit.coef() + stats.norm.ppf(0.975) * fit.se(), 1e-12)


@pytest.mark.parametrize("family", ["poisson", "logit"])
@pytest.mark.parametrize("fe", [(), ("g", "h")])
def test_hetero_and_clustered_against_statsmodels(counts, binary, family, fe):
    # Canonical links: statsmodels' sandwich uses the same (expected = observed) bread.
    df = counts if family == "poisson" else binary
    fml = "y ~ x1 + x2" + (" | " + " + ".join(fe) if fe else "")
    n, K = len(df), dof(df, fe)
    names = ["x1", "x2"] if fe else ["const", "x1", "x2"]
    fit = kestrel.feglm(fml, df, family, "hetero", glm_tol=1e-13)
    ref = oracle(df, ["x1", "x2"], list(fe), family, cov_type="HC0")
    close(fit.se().to_numpy(), ref.bse[names] * np.sqrt(n / (n - K)), SE)
    # Clustered by a variable that is not a fixed effect: nothing nested, the full K.
    df = df.assign(c=np.arange(len(df)) % 37)
    fit = kestrel.feglm(fml, df, family, {"CRV1": "c"}, glm_tol=1e-13)
    ref = oracle(df, ["x1", "x2"], list(fe), family, cov_type="cluster",
                 cov_kwds={"groups": df["c"].to_numpy()})
    # statsmodels' correction: G/(G−1)·(N−1)/(N−K), its K the dummies' columns.
    close(fit.se().to_numpy(), ref.bse[names], SE)
    assert fit.clusters == {"c": 37}


def test_offset_against_statsmodels(counts):
    fit = kestrel.fepois("y ~ x1 + x2 | g", counts, "iid", offset="le", glm_tol=1e-13)
    ref = oracle(counts, ["x1", "x2"], ["g"], "poisson", offset=counts["le"].to_numpy())
    close(fit.coef().to_numpy(), ref.params[["x1", "x2"]], COEF)
    array = kestrel.fepois("y ~ x1 + x2 | g", counts, "iid", offset=counts["le"].to_numpy(),
                           glm_tol=1e-13)
    close(array.coef().to_numpy(), fit.coef().to_numpy(), 1e-12)
    # The offset is part of the linear predictor of new data when it is a column.
    new = counts.iloc[:20]
    close(fit.predict(new, type="link"), fit.predict(type="link")[:20], 1e-9)


@pytest.mark.parametrize("vcov", ["iid", "hetero", {"CRV1": "g"}, {"CRV1": "g+h"}])
def test_fepois_against_pyfixest(counts, vcov):
    fml = "y ~ x1 + x2 | g + h"
    fit = kestrel.fepois(fml, counts, vcov)
    ref = quiet(pf.fepois, fml, counts, vcov=vcov, fixef_tol=1e-10)
    close(fit.coef().to_numpy(), ref.coef().to_numpy(), 1e-6)
    close(fit.se().to_numpy(), ref.se().to_numpy(), 1e-4)
    close(fit.tstat().to_numpy(), ref.tstat().to_numpy(), 1e-4)


@pytest.mark.parametrize("family", ["logit", "probit"])
@pytest.mark.parametrize("vcov", ["iid", "hetero", {"CRV1": "g"}])
def test_feglm_against_pyfixest(binary, family, vcov):
    fml = "y ~ x1 + x2 | g + h"
    fit = kestrel.feglm(fml, binary, family, vcov, glm_tol=1e-12)
    ref = quiet(pf.feglm, fml, binary, family=family, vcov=vcov, fixef_tol=1e-10)
    close(fit.coef().to_numpy(), ref.coef().to_numpy(), 1e-5)
    close(fit.se().to_numpy(), ref.se().to_numpy(), 1e-4)


def test_real_counts_against_pyfixest():
    # Training counts of Michigan manufacturing firms, 1987-89 (linearmodels' jobtraining):
    # firms that never trained anyone are all-zero fixed-effect groups, dropped as separated
    # (pyfixest also leaves out a firm seen once, which the default drop_singletons does).
    jt = need("linearmodels.datasets.jobtraining").load()
    df = jt[["totrain", "grant", "lemploy", "fcode", "year"]].dropna()
    df = df.rename(columns={"totrain": "y"})
    fml = "y ~ grant + lemploy | fcode + year"
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fit = kestrel.fepois(fml, df, {"CRV1": "fcode"})
    ref = quiet(pf.fepois, fml, df, vcov={"CRV1": "fcode"}, fixef_tol=1e-10)
    assert fit.n_separated > 0
    assert any(issubclass(w.category, kestrel.SeparationWarning) for w in caught)
    assert fit.nobs == ref._N
    close(fit.coef().to_numpy(), ref.coef().to_numpy(), 1e-6)
    close(fit.se().to_numpy(), ref.se().to_numpy(), 1e-4)


def test_binary_fixed_effect_groups_without_variation(binary):
    df = binary.copy()
    df.loc[df.g == 3, "y"] = 1.0  # a group always 1
    df.loc[df.g == 4, "y"] = 0.0  # and one always 0
    expected = int((df.g.isin([3, 4])).sum())
    with pytest.warns(kestrel.SeparationWarning, match=f"{expected:,} rows dropped"):
        fit = kestrel.feglm("y ~ x1 + x2 | g", df, "logit")
    assert fit.n_separated == expected
    assert not fit.mask[df.g.isin([3, 4]).to_numpy()].any()
    ref = oracle(df[~df.g.isin([3, 4])], ["x1", "x2"], ["g"], "logit")
    close(fit.coef().to_numpy(), ref.params[["x1", "x2"]], 1e-6)


def test_results_interface(counts):
    fit = kestrel.fepois("y ~ x1 + x2 | g + h", counts, "hetero")
    mu = fit.predict()
    # log(exp(eta)) is eta to a rounding of order 1e-16 absolute (eta may be near 0).
    np.testing.assert_allclose(fit.predict(type="link"), np.log(mu), rtol=1e-12, atol=1e-14)
    close(counts.y.to_numpy() - mu, fit.resid(), 1e-12)
    # New data: the same rows predict the same values, through the fixed effects' values.
    close(fit.predict(counts.iloc[:50]), mu[:50], 1e-7)
    fe = fit.fixef()
    assert set(fe) == {"g", "h"} and len(fe["g"]) == 12
    xb = counts.x1 * fit.coef()["x1"] + counts.x2 * fit.coef()["x2"]
    eta = xb + fe["g"].loc[counts.g].to_numpy() + fe["h"].loc[counts.h].to_numpy()
    close(eta, fit.predict(type="link"), 1e-7)
    text = str(fit.summary())
    assert "z value" in text and "Pr(>|z|)" in text and "normal distribution" in text
    assert "Deviance" in text and "Pseudo R²" in text
    assert fit.iterations >= 2 and fit.inner_iterations >= 1
    ols = kestrel.feols("y ~ x1 + x2 | g + h", counts)
    table = kestrel.etable([fit, ols])
    assert "Deviance" in table and "Pseudo R²" in table and "R²" in table
    with pytest.raises(ValueError, match="type"):
        fit.predict(type="mean")


def test_multiple_estimation(counts):
    fits = kestrel.fepois("y ~ x1 + csw(x2, le) | g", counts)
    assert len(fits) == 2
    single = kestrel.fepois("y ~ x1 + x2 + le | g", counts)
    close(fits[1].coef().to_numpy(), single.coef().to_numpy(), 1e-12)


def test_convergence_warning(counts):
    with pytest.warns(kestrel.ConvergenceWarning, match="glm_maxiter=1"):
        fit = kestrel.fepois("y ~ x1 + x2 | g", counts, glm_maxiter=1)
    assert not fit.converged


def test_step_halving_keeps_the_deviance_finite():
    # Outcomes far from the starting values: the first full step overshoots.
    rng = np.random.default_rng(3)
    x = rng.normal(size=400)
    df = pd.DataFrame({"x": x, "y": rng.poisson(np.exp(3 * x)).astype(float)})
    fit = kestrel.fepois("y ~ x", df, "iid", glm_tol=1e-12, glm_maxiter=100)
    ref = sm.GLM(df.y, sm.add_constant(df[["x"]]), family=sm.families.Poisson()).fit(
        tol=1e-13)
    close(fit.coef().to_numpy(), ref.params.to_numpy(), 1e-7)


def test_missing_values_and_collinearity(counts):
    df = counts.copy()
    df.loc[:9, "x1"] = np.nan
    df["x3"] = 2 * df.x2
    with pytest.warns(kestrel.CollinearityWarning, match="x3"):
        fit = kestrel.fepois("y ~ x1 + x2 + x3 | g", df)
    assert fit.n_missing == 10 and fit.nobs == len(df) - 10
    assert fit.collinear == ["x3"] and fit.coef_names == ["x1", "x2"]


def test_mistakes(counts, binary):
    with pytest.raises(ValueError, match="family"):
        kestrel.feglm("y ~ x1", counts, "gamma")
    with pytest.raises(ValueError, match="0 or 1"):
        kestrel.feglm("y ~ x1", counts, "logit")
    neg = counts.assign(y=counts.y - 1)
    with pytest.raises(ValueError, match="non-negative"):
        kestrel.fepois("y ~ x1", neg)
    with pytest.raises(ValueError, match="Poisson only"):
        kestrel.feglm("y ~ x1", binary, "logit", separation=("fe", "ir"))
    with pytest.raises(ValueError, match="unknown check"):
        kestrel.fepois("y ~ x1", counts, separation="lp")
    with pytest.raises(ValueError, match="HC3"):
        kestrel.fepois("y ~ x1", counts, "HC3")
    with pytest.raises(ValueError, match="offset"):
        kestrel.fepois("y ~ x1", counts, offset=np.zeros(3))
    with pytest.raises(KeyError):
        kestrel.fepois("y ~ x1", counts, offset="nope")
    with pytest.raises(TypeError, match="glm_maxiter"):
        kestrel.fepois("y ~ x1", counts, glm_maxiter=2.5)
    with pytest.raises(ValueError, match="glm_tol"):
        kestrel.fepois("y ~ x1", counts, glm_tol=-1)


def test_real_binary_panel_against_pyfixest():
    # Union membership in the NLSY wage panel with worker and year effects. Workers never
    # or always members are dropped here (as fixest does); pyfixest 0.60 drops only the
    # never-members, and counts the others' rows in N (so its factors differ): the
    # coefficients, which those rows do not move, agree.
    wp = need("linearmodels.datasets.wage_panel").load()
    fml = "union ~ married + hours + expersq | nr + year"
    with pytest.warns(kestrel.SeparationWarning):
        fit = kestrel.feglm(fml, wp, family="logit")
    always = wp.groupby("nr")["union"].transform("min") == 1
    never = wp.groupby("nr")["union"].transform("max") == 0
    assert fit.n_separated == int((always | never).sum())
    ref = quiet(pf.feglm, fml, wp, family="logit", vcov={"CRV1": "nr"}, fixef_tol=1e-10)
    close(fit.coef().to_numpy(), ref.coef().to_numpy(), 1e-6)


def test_wald_test_and_lincom_are_asymptotic(counts):
    fit = kestrel.fepois("y ~ x1 + x2 | g", counts, "hetero")
    wald = fit.wald_test()
    from scipy import stats
    b, v = fit.coef().to_numpy(), fit.vcov.to_numpy()
    chi2 = float(b @ np.linalg.solve(v, b))
    close(wald.chi2, chi2, 1e-10)
    close(wald.pvalue, stats.chi2.sf(chi2, 2), 1e-8)
    with pytest.raises(ValueError, match="GLM"):
        fit.vcov_as({"CRV3": "g"})
    with pytest.raises(ValueError, match="GLM"):
        fit.wildboottest("x1")


@pytest.mark.parametrize("family,outcome", [("poisson", "y"), ("logit", "b"), ("probit", "b")])
def test_another_covariance_is_the_fresh_fit_s_to_the_last_bit(family, outcome):
    # the last iteration's weighted least squares, kept: iid is the inverse Fisher
    # information, the others its sandwiches; nothing is fitted again
    rng = np.random.default_rng(8)
    n = 2000
    df = pd.DataFrame({"f1": rng.integers(0, 40, n), "f2": rng.integers(0, 8, n),
                       "cl": rng.integers(0, 30, n)})
    df["x1"], df["x2"] = rng.normal(size=(2, n))
    df["y"] = rng.poisson(np.exp(0.3 * df.x1 - 0.2 * df.x2 + 0.02 * df.f1))
    df["b"] = (rng.random(n) < 1 / (1 + np.exp(-0.5 * df.x1))).astype(float)
    fml = f"{outcome} ~ x1 + x2 | f1 + f2"
    base = kestrel.feglm(fml, df, family, "iid")
    for vcov in ["hetero", "HC0", {"CRV1": "cl"}, {"CRV1": "f1+cl"}, "iid"]:
        fresh = kestrel.feglm(fml, df, family, vcov)
        other = base.vcov_as(vcov, data=df)
        assert np.array_equal(other.vcov.to_numpy(), fresh.vcov.to_numpy()), vcov
        assert other.summary() == fresh.summary()
        base = other  # from each to the next


def test_a_lean_fit_keeps_no_rows_and_pickles_in_a_size_independent_of_them():
    import pickle

    rng = np.random.default_rng(9)
    sizes = []
    for n in (2_000, 40_000):
        df = pd.DataFrame({"g": rng.integers(0, 20, n), "x": rng.normal(size=n)})
        df["y"] = rng.poisson(np.exp(0.2 * df.x))
        full = kestrel.fepois("y ~ x | g", df, "hetero")
        lean = kestrel.fepois("y ~ x | g", df, "hetero", lean=True)
        assert lean.summary() == full.summary()
        assert lean.wald_test().chi2 == full.wald_test().chi2
        for call in (lean.resid, lean.predict, lambda: lean.vcov_as("iid")):
            with pytest.raises(ValueError, match="lean"):
                call()
        sizes.append(len(pickle.dumps(lean)))
    assert sizes[1] < sizes[0] + 1_000
