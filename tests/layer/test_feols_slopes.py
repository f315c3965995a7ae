"""Varying slopes in the fixed-effect part (``id[t]``, ``id[[t]]``, ``id[t1, t2]``) against
dummy-variable least squares with explicit interactions in statsmodels (``C(id) +
C(id):t``), on the rows the fit used: coefficients, and iid, heteroskedasticity-robust
(HC1) and clustered (CRV1) standard errors. The small-sample factors are statsmodels'
(N−1)/(N−K) for iid, N/(N−K) for HC1 and G/(G−1)·(N−1)/(N−K) for CRV1, with K the
numerical rank of its design: the same as kestrel's when the degrees of freedom it counts
for the slopes are exact (the clustering variable nests no fixed effect). No peer serves:
pyfixest 0.60 accepts ``id[t]`` but its estimates match neither statsmodels' explicit
interactions nor the fit without slopes (and it rejects ``id[[t]]``)."""

import warnings

import numpy as np
import pandas as pd
import pytest
import scipy.linalg
import statsmodels.api as sm
import statsmodels.formula.api as smf
from layer_support import close, quiet

import kestrel

COEF, SE = 1e-7, 1e-6


def _panel(seed=0, n_id=30, n_t=6, n_firm=6):
    """A balanced panel with unit trends, firms that workers move between along a chain
    (each move to the next firm), a clustering variable nesting no fixed effect."""
    rng = np.random.default_rng(seed)
    ids = np.repeat(np.arange(n_id), n_t)
    t = np.tile(np.arange(n_t, dtype=float), n_id)
    start = rng.integers(0, n_firm, n_id)
    moves = rng.random(n_id * n_t) < 0.25
    step = np.cumsum(moves.reshape(n_id, n_t), axis=1).ravel()
    firm = (start[ids] + step) % n_firm
    x1 = rng.normal(size=ids.size) + 0.05 * t * (ids % 3)
    x2 = rng.normal(size=ids.size)
    trend = rng.normal(size=n_id)[ids] * t
    y = 0.5 * x1 - 0.3 * x2 + trend + rng.normal(size=n_id)[ids] + 0.2 * firm \
        + rng.normal(size=ids.size)
    # year: t in calendar years, the spelling of a unit trend (the oracle reads t, whose
    # dummies' interactions span the same and keep its least squares well conditioned).
    return pd.DataFrame(dict(id=ids, t=t, year=t + 2000.0, t2=(t - 3.0) ** 2 / 4, firm=firm,
                             cl=rng.integers(0, 12, ids.size), x1=x1, x2=x2, y=y,
                             w=rng.uniform(0.2, 3.0, ids.size)))


def _oracle(df, rhs, vcov, weights=None):
    """statsmodels on the explicit design less its columns of zeros (the interactions of
    levels whose slope is unidentified, written as zero columns: its pseudo-inverse would
    otherwise meet a rank-deficient design, and its clustered factor count columns)."""
    data = df.dropna()
    spelled = smf.ols(f"y ~ {rhs}", data)
    exog = pd.DataFrame(spelled.exog, columns=spelled.exog_names, index=data.index)
    exog = exog.loc[:, (exog != 0).any()]
    # And less the columns other columns span (separate components of the fixed
    # effects): statsmodels' clustered factor counts columns, not the rank.
    _, r, order = scipy.linalg.qr(exog.to_numpy(), mode="economic", pivoting=True)
    rank = int(np.sum(np.abs(np.diag(r)) > 1e-9 * np.abs(r[0, 0])))
    exog = exog.iloc[:, np.sort(order[:rank])]
    model = (sm.WLS(data["y"], exog, weights=data[weights]) if weights
             else sm.OLS(data["y"], exog))
    if vcov == "iid":
        return model.fit()
    if vcov == "hetero":
        return model.fit(cov_type="HC1")
    return model.fit(cov_type="cluster", cov_kwds={"groups": data["cl"].to_numpy()})


def _check(df, fml, rhs, weights=None, names=("x1", "x2"), **kw):
    if weights is not None:
        kw["weights"] = weights
    for vcov in ("iid", "hetero", {"CRV1": "cl"}):
        fit = kestrel.feols(fml, df, vcov=vcov, **kw)
        used = df[fit.mask]
        theirs = quiet(_oracle, used, rhs, vcov if isinstance(vcov, str) else "cl", weights)
        close(fit.coef()[list(names)], theirs.params[list(names)], COEF)
        close(fit.se()[list(names)], theirs.bse[list(names)], SE)
        # The degrees of freedom: K = the rank of the explicit design.
        assert fit.nobs - fit.dof_k == int(round(theirs.df_resid))
        assert fit.converged
    return fit


def test_unit_trends_balanced_panel():
    df = _panel()
    fit = _check(df, "y ~ x1 + x2 | id[year]", "x1 + x2 + C(id) + C(id):t")
    assert dict(fit.fixef) == {"id[year]": 30}
    assert "id[year] (30 levels)" in str(fit.summary())


def test_chain_of_firms_with_movers_and_unit_trends():
    df = _panel(seed=1, n_id=40, n_firm=8)
    _check(df, "y ~ x1 + x2 | id[year] + firm", "x1 + x2 + C(id) + C(id):t + C(firm)")
    # Another spelling of the same fixed effect's slopes: combined with '^'.
    df["one"] = 0
    a = kestrel.feols("y ~ x1 + x2 | id^one[t] + firm", df, vcov="iid")
    b = kestrel.feols("y ~ x1 + x2 | id[t] + firm", df, vcov="iid")
    close(a.coef(), b.coef(), COEF)
    close(a.se(), b.se(), SE)


def test_slopes_only():
    df = _panel(seed=2)
    df["t"] = df["t"] - 2.0  # slopes alone: each level's line through t = 0
    _check(df, "y ~ x1 + x2 | id[[t]] + firm", "x1 + x2 + C(id):t + C(firm)")


def test_two_slope_variables():
    df = _panel(seed=3, n_t=8)
    _check(df, "y ~ x1 + x2 | id[t, t2] + firm", "x1 + x2 + C(id) + C(id):t + C(id):t2 + C(firm)")


def test_weights():
    df = _panel(seed=4)
    _check(df, "y ~ x1 + x2 | id[t] + firm", "x1 + x2 + C(id) + C(id):t + C(firm)", weights="w")


def test_constant_slope_variable_in_a_level():
    df = _panel(seed=5)
    # Levels 0 and 1 seen in one period only (their slope unidentified), level 2's
    # slope variable of [[ ]] zero throughout: the degrees of freedom count exactly. The
    # oracle's interactions of levels 0 and 1 are zero columns (not multiples of their
    # dummies, which its pseudo-inverse could keep as rounding noise).
    df.loc[df["id"] <= 1, "year"] = 2003.0
    df["ts"] = np.where(df["id"] <= 1, 0.0, df["t"])
    fit = _check(df, "y ~ x1 + x2 | id[year] + firm", "x1 + x2 + C(id) + C(id):ts + C(firm)")
    base = kestrel.feols("y ~ x1 + x2 | id + firm", df, vcov="iid")
    assert fit.dof_fixef - base.dof_fixef == 30 - 2
    df2 = _panel(seed=6)
    df2["t"] = df2["t"] - 2.0
    df2.loc[df2["id"] == 2, "t"] = 0.0
    fit = _check(df2, "y ~ x1 + x2 | id[[t]] + firm", "x1 + x2 + C(id):t + C(firm)")
    base = kestrel.feols("y ~ x1 + x2 | firm", df2, vcov="iid")
    assert fit.dof_fixef - base.dof_fixef == 30 - 1


def test_missing_slope_values_drop_rows():
    df = _panel(seed=7)
    df.loc[[3, 50, 51, 120], ["t", "year"]] = np.nan
    fit = _check(df, "y ~ x1 + x2 | id[year] + firm", "x1 + x2 + C(id) + C(id):t + C(firm)")
    assert fit.n_missing == 4
    assert not fit.mask[[3, 50, 51, 120]].any()


@pytest.mark.parametrize("call, match", [
    (lambda df: kestrel.fepois("y ~ x1 | id[t]", df.assign(y=np.exp(df.y))), "feols only"),
    (lambda df: kestrel.feols("y ~ x1 | id[t", df), "not understood"),
    (lambda df: kestrel.feols("y ~ x1 | id[t] + id", df), "twice"),
    (lambda df: kestrel.feols("y ~ x1 | id[t, t]", df), "twice"),
])
def test_refusals(call, match):
    with pytest.raises(ValueError, match=match):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            call(_panel(seed=9))


def test_unknown_or_text_slope_variable():
    df = _panel(seed=10).assign(s="a")
    with pytest.raises(KeyError, match="nope"):
        kestrel.feols("y ~ x1 | id[nope]", df)
    with pytest.raises(TypeError, match="slope variable"):
        kestrel.feols("y ~ x1 | id[s]", df)


def test_an_unconverged_solve_says_so():
    # Two fixed effects need iterations; one allowed is short of the tolerance, and the
    # fit says so rather than reporting convergence.
    df = _panel(seed=11, n_id=40, n_firm=8)
    with pytest.warns(kestrel.ConvergenceWarning):
        fit = kestrel.feols("y ~ x1 + x2 | id[year] + firm", df, fixef_maxiter=1,
                            fixef_tol=1e-14)
    assert not fit.converged
    full = kestrel.feols("y ~ x1 + x2 | id[year] + firm", df)
    assert full.converged and full.iterations > 1


def test_slope_variables_of_any_scale():
    # The slopes' span does not depend on the variable's units: years in 1e-200 or 1e200
    # units give the fit in years.
    df = _panel(seed=12)
    ref = kestrel.feols("y ~ x1 + x2 | id[year] + firm", df, vcov="iid")
    for scale in (1e-200, 1e200):
        fit = kestrel.feols("y ~ x1 + x2 | id[s] + firm", df.assign(s=df["year"] * scale),
                            vcov="iid")
        close(fit.coef(), ref.coef(), COEF)
        close(fit.se(), ref.se(), SE)
        assert fit.dof_fixef == ref.dof_fixef


def test_the_engine_checks_its_slope_arguments():
    from kestrel import _core
    args = dict(columns=[np.ones(4)], mask=np.ones(4, bool),
                fe=[np.array([0, 0, 1, 1], np.int32)], fe_groups=[2], tol=1e-8,
                max_iter=10, solver="auto", progress=None)
    t = np.arange(4.0)
    out = _core.absorb(**args, slopes=[t], slope_layout=[1, 1])
    assert list(out["level_ranks"]) == [4] and out["converged"]
    for kw, match in ((dict(slopes=[t]), "go together"),
                      (dict(slopes=[t], slope_layout=[1]), "two counts"),
                      (dict(slopes=[t], slope_layout=[2, 1]), "more slopes"),
                      (dict(slopes=[t], slope_layout=[0, 1]), "counts 0 slopes"),
                      (dict(slopes=[t], slope_layout=[1, 2]), "0 or 1"),
                      (dict(slopes=[np.ones(3)], slope_layout=[1, 1]), "3 values"),
                      (dict(slopes=[t * np.nan], slope_layout=[1, 1]), "finite"),
                      (dict(slopes=[t], slope_layout=[1, 1], start=[np.zeros(2)]),
                       "not available")):
        with pytest.raises(ValueError, match=match):
            _core.absorb(**args, **kw)


def test_results_do_not_depend_on_the_threads():
    # Above 10^5 rows the columns are solved as pool tasks: one thread or two, the same bits.
    import subprocess
    import sys
    code = (
        "import numpy as np, kestrel._core as c\n"
        "rng = np.random.default_rng(0); n = 120_000\n"
        "fe = [np.repeat(np.arange(n // 6, dtype=np.int32), 6),"
        " rng.integers(0, 300, n).astype(np.int32)]\n"
        "t = np.tile(np.arange(6.0), n // 6) - 2.5\n"
        "cols = [rng.normal(size=n) + t * (fe[0] % 5) for _ in range(3)]\n"
        "o = c.absorb(columns=cols, mask=np.ones(n, bool), fe=fe, fe_groups=[n // 6, 300],"
        " tol=1e-10, max_iter=1000, solver='auto', progress=None, slopes=[t],"
        " slope_layout=[1, 1, 0, 1])\n"
        "import hashlib, sys\n"
        "sys.stdout.write(hashlib.sha256(np.ascontiguousarray(o['data']).tobytes()).hexdigest()"
        " + str(o['iterations']))\n")
    out = []
    for threads in ("1", "2"):
        env = dict(__import__("os").environ, RAYON_NUM_THREADS=threads,
                   SKBUILD_EDITABLE_VERBOSE="0")
        run = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                             text=True, timeout=120)
        assert run.returncode == 0, run.stderr[-2000:]
        out.append(run.stdout.strip().splitlines()[-1])
    assert out[0] == out[1]


# After the fit: values, predictions, other covariances ------------------------------------
def _dummies(df, rhs, weights=None):
    data = df.dropna()
    model = smf.wls(f"y ~ 0 + {rhs}", data, weights=data[weights]) if weights \
        else smf.ols(f"y ~ 0 + {rhs}", data)
    return quiet(model.fit)


def _level(params, prefix, level, suffix=""):
    return params[f"{prefix}[{level}]{suffix}"]


@pytest.mark.parametrize("weights", [None, "w"])
def test_fixef_values_and_predictions_match_the_dummies(weights):
    # statsmodels' 0 + C(id) + C(id):t + C(firm) drops the first firm: the normalisation
    # kestrel reports (the first fixed effect carries the level, the second's first level
    # is 0 in a connected design). Slopes on year are those on t; intercepts on year are
    # those on t less 2000 times the slope.
    df = _panel(seed=1, n_id=40, n_firm=8)
    kw = {} if weights is None else dict(weights=weights)
    fit = kestrel.feols("y ~ x1 + x2 | id[year] + firm", df, fixef_tol=1e-12, **kw)
    theirs = _dummies(df, "x1 + x2 + C(id) + C(id):t + C(firm)", weights)
    values = fit.fixef()
    assert list(values) == ["id", "id[[year]]", "firm"]
    for i in (0, 7, 39):
        slope = _level(theirs.params, "C(id)", i, ":t")
        close(values["id[[year]]"].loc[i], slope, 1e-7)
        close(values["id"].loc[i] + 2000.0 * values["id[[year]]"].loc[i],
              _level(theirs.params, "C(id)", i), 1e-7)
    assert values["firm"].iloc[0] == 0.0
    for f in (3, 7):
        close(values["firm"].loc[f], _level(theirs.params, "C(firm)", f"T.{f}"), 1e-7)
    close(fit.predict(), theirs.fittedvalues.to_numpy(), 1e-9)
    close(fit.predict(df), theirs.fittedvalues.to_numpy(), 1e-9)

    # New rows: a level the fit never saw, a missing slope value.
    new = df.iloc[:4].copy()
    new.loc[new.index[1], "id"] = 999
    new.loc[new.index[2], "year"] = np.nan
    with pytest.warns(kestrel.UnseenLevelWarning):
        pred = fit.predict(new)
    assert np.isnan(pred[1]) and np.isnan(pred[2])
    close(pred[[0, 3]], theirs.fittedvalues.to_numpy()[[0, 3]], 1e-9)


def test_fixef_values_of_slopes_only_and_two_slope_variables():
    # Rows in random order, the first ones without y: the levels' first rows among those
    # used are not their first in the data, and the values still go to their labels.
    df = _panel(seed=2).sample(frac=1.0, random_state=2).reset_index(drop=True)
    df["t"] = df["t"] - 2.0
    df.loc[:9, "y"] = np.nan
    fit = kestrel.feols("y ~ x1 + x2 | id[[t]] + firm", df, fixef_tol=1e-12)
    theirs = _dummies(df, "x1 + x2 + C(firm) + C(id):t")
    values = fit.fixef()
    assert list(values) == ["id[[t]]", "firm"]
    for f in range(6):  # one fixed effect with an intercept: no normalisation
        close(values["firm"].loc[f], _level(theirs.params, "C(firm)", f), 1e-7)
    for i in range(30):
        close(values["id[[t]]"].loc[i], _level(theirs.params, "C(id)", i, ":t"), 1e-7)
    close(fit.predict(df)[fit.mask], theirs.fittedvalues.to_numpy(), 1e-9)

    df = _panel(seed=3, n_t=8)
    fit = kestrel.feols("y ~ x1 + x2 | id[t, t2]", df, fixef_tol=1e-12)
    theirs = _dummies(df, "x1 + x2 + C(id) + C(id):t + C(id):t2")
    values = fit.fixef()
    assert list(values) == ["id", "id[[t]]", "id[[t2]]"]
    close(values["id[[t2]]"].loc[4], _level(theirs.params, "C(id)", 4, ":t2"), 1e-7)
    close(values["id"].loc[4], _level(theirs.params, "C(id)", 4), 1e-7)
    close(fit.predict(df), theirs.fittedvalues.to_numpy(), 1e-9)


def test_other_covariances_after_the_fit():
    # vcov_as gives what fitting again with that covariance gives, slopes' degrees of
    # freedom included.
    df = _panel(seed=1, n_id=40, n_firm=8)
    fit = kestrel.feols("y ~ x1 + x2 | id[year] + firm", df, vcov="iid")
    for vcov in ("hetero", {"CRV1": "cl"}, {"CRV1": "id"}, {"CRV1": "id + firm"}):
        again = kestrel.feols("y ~ x1 + x2 | id[year] + firm", df, vcov=vcov)
        other = fit.vcov_as(vcov, data=df)
        close(other.se(), again.se(), 1e-12)
        assert other.dof_fixef == again.dof_fixef
    boot = fit.wildboottest("x1", cluster="cl", B=99, seed=3, data=df)
    assert 0.0 <= boot.pvalue <= 1.0


def test_two_stage_least_squares_with_slopes():
    # linearmodels' IV2SLS on the explicit dummies (debiased: (N−1)/(N−K), N/(N−K)).
    from linearmodels.iv import IV2SLS
    df = _panel(seed=13, n_id=40, n_firm=8)
    rng = np.random.default_rng(13)
    df["z"] = rng.normal(size=len(df))
    df["x2"] = df["x2"] + df["z"]
    spelled = smf.ols("y ~ 0 + C(id) + C(id):t + C(firm)", df)
    exog = pd.DataFrame(spelled.exog, columns=spelled.exog_names).assign(x1=df["x1"])
    for vcov, kind in (("iid", "unadjusted"), ("hetero", "robust")):
        fit = kestrel.feols("y ~ x1 | id[year] + firm | x2 ~ z", df, vcov=vcov)
        theirs = IV2SLS(df["y"], exog, df[["x2"]], df[["z"]]).fit(cov_type=kind,
                                                                   debiased=True)
        close(fit.coef()[["x1", "x2"]], theirs.params[["x1", "x2"]], COEF)
        close(fit.se()[["x1", "x2"]], theirs.std_errors[["x1", "x2"]], SE)
    assert list(fit.first_stage) == ["x2"]


def test_multiple_estimation_with_slopes_equals_single_fits():
    df = _panel(seed=14, n_id=40, n_firm=8)
    df["y2"] = df["y"] + df["x1"] * df["t"]
    fits = kestrel.feols("y + y2 ~ csw(x1, x2) | sw(id[year] + firm, id + firm)", df,
                         vcov={"CRV1": "cl"})
    assert len(fits) == 8
    for fit in fits:
        alone = kestrel.feols(fit.formula, df, vcov={"CRV1": "cl"})
        close(fit.coef(), alone.coef(), COEF)
        close(fit.se(), alone.se(), SE)
        assert dict(fit.fixef) == dict(alone.fixef)
        assert fit.dof_fixef == alone.dof_fixef
    slopes = fits[0].fixef()
    assert list(slopes) == ["id", "id[[year]]", "firm"]


# Weakly linked designs: the second fixed effect's graph ------------------------------------
def _linked(family, seed=0, n_id=160, n_t=6, n_firm=80):
    """Worker–firm panels with unit trends whose firms (more than the solver's threshold for
    its graph) are linked in a given pattern: "ring" (each worker moves one firm along a
    ring every year, the benchmark's difficult design), "components" (two separate rings),
    "star" (every worker passes through one hub firm), "chain" (moves along a line, rarely)."""
    rng = np.random.default_rng(seed)
    ids = np.repeat(np.arange(n_id), n_t)
    t = np.tile(np.arange(n_t, dtype=float), n_id)
    start = (np.arange(n_id) * n_firm // n_id)[ids]
    if family == "ring":
        firm = (start + t.astype(int)) % n_firm
    elif family == "components":
        half = n_firm // 2
        firm = (start % half + t.astype(int)) % half + half * (ids >= n_id // 2)
    elif family == "star":
        firm = np.where(t < 2, 0, 1 + (ids % (n_firm - 1)))
    else:
        moves = rng.random(ids.size) < 0.2
        firm = np.minimum(start + np.cumsum(moves.reshape(n_id, n_t), axis=1).ravel(),
                          n_firm - 1)
    x1 = rng.normal(size=ids.size) + 0.1 * firm
    x2 = rng.normal(size=ids.size)
    y = 0.5 * x1 - 0.3 * x2 + rng.normal(size=n_id)[ids] * t + rng.normal(size=n_id)[ids] \
        + rng.normal(size=n_firm)[firm] + rng.normal(size=ids.size)
    return pd.DataFrame(dict(id=ids, t=t, year=t + 2000.0, firm=firm, x1=x1, x2=x2, y=y,
                             cl=rng.integers(0, 12, ids.size),
                             w=rng.uniform(0.2, 3.0, ids.size)))


@pytest.mark.parametrize("family", ["ring", "components", "star", "chain"])
def test_weakly_linked_designs_match_the_dummies(family):
    # Separate components (and the chain's) are redundancies beyond one per fixed effect:
    # exact degrees of freedom are those of the explicit design.
    df = _linked(family)
    exact = kestrel.ssc(fixef_exact=True)
    fit = _check(df, "y ~ x1 + x2 | id[year] + firm", "x1 + x2 + C(id) + C(id):t + C(firm)",
                 ssc=exact)
    # Exact elimination of the firms' system: a handful of iterations, not thousands.
    assert fit.iterations <= 5
    # The values: their predictions are the dummies' fitted values.
    used = df[fit.mask]
    theirs = _oracle(used, "x1 + x2 + C(id) + C(id):t + C(firm)", "iid")
    close(fit.predict(used), theirs.fittedvalues.to_numpy(), 1e-8)
    _check(df, "y ~ x1 + x2 | id[year] + firm", "x1 + x2 + C(id) + C(id):t + C(firm)",
           weights="w", ssc=exact)


def test_columns_inside_and_near_the_span_of_weakly_linked_slopes():
    df = _linked("ring", seed=1)
    rng = np.random.default_rng(1)
    trend = rng.normal(size=160)[df["id"]] * df["t"]
    # Inside: a unit trend plus a firm effect is absorbed, and dropped.
    df["inside"] = trend + rng.normal(size=80)[df["firm"]]
    with pytest.warns(kestrel.CollinearityWarning, match="inside"):
        fit = kestrel.feols("y ~ x1 + inside | id[year] + firm", df, vcov="iid")
    alone = kestrel.feols("y ~ x1 | id[year] + firm", df, vcov="iid")
    close(fit.coef()["x1"], alone.coef()["x1"], COEF)
    # Near: the same plus a little noise is kept and estimated as the dummies do.
    df["near"] = df["inside"] + 1e-3 * rng.normal(size=len(df))
    fit = kestrel.feols("y ~ x1 + near | id[year] + firm", df, vcov="iid", fixef_tol=1e-12)
    theirs = _oracle(df, "x1 + near + C(id) + C(id):t + C(firm)", "iid")
    close(fit.coef()[["x1", "near"]], theirs.params[["x1", "near"]], 1e-6)


def test_a_sparse_design_with_weakly_identified_firms():
    # Three periods a worker at random firms: one degree of freedom per worker beside its
    # trend, firms identified by few rows. The firms' factor meets a near-null direction;
    # the solver must not step along it (the coefficients would blow up) and ends as the
    # explicit dummies do.
    rng = np.random.default_rng(5)
    n_id, n_t, n_firm = 300, 3, 300
    ids = np.repeat(np.arange(n_id), n_t)
    t = np.tile(np.arange(n_t, dtype=float), n_id)
    firm = rng.integers(0, n_firm, ids.size)
    x1 = rng.normal(size=ids.size) + 0.1 * firm
    x2 = rng.normal(size=ids.size)
    y = 0.5 * x1 - 0.3 * x2 + rng.normal(size=n_id)[ids] * t \
        + rng.normal(size=n_firm)[firm] + rng.normal(size=ids.size)
    df = pd.DataFrame(dict(id=ids, t=t, firm=firm, x1=x1, x2=x2, y=y))
    for tol in (1e-8, 1e-13):
        fit = kestrel.feols("y ~ x1 + x2 | id[t] + firm", df, vcov="iid", fixef_tol=tol)
        assert fit.converged
        theirs = _oracle(df[fit.mask], "x1 + x2 + C(id) + C(id):t + C(firm)", "iid")
        close(fit.coef()[["x1", "x2"]], theirs.params[["x1", "x2"]], 1e-6)


@pytest.mark.parametrize("cluster", ["cl", "id"])
def test_cluster_jackknife_with_slopes(cluster):
    # CRV3 as pyfixest defines it, G/(G−1)·(N−1)/(N−K)·Σ_g (β_(g) − β̂)(β_(g) − β̂)', with
    # β_(g) from statsmodels on the explicit dummies without cluster g. Clustered by id
    # every fixed effect's levels (the slopes' too) are nested in the clusters; by cl none.
    df = _panel(seed=15, n_id=24, n_firm=6)
    df["t"] = df["t"] - 2.0
    fml, rhs = "y ~ x1 + x2 | id[[t]] + firm", "x1 + x2 + C(id):t + C(firm)"
    fit = kestrel.feols(fml, df, vcov={"CRV3": cluster}, ssc=kestrel.ssc(fixef_exact=True))
    full = _oracle(df, rhs, "iid")
    beta = full.params[["x1", "x2"]].to_numpy()
    groups = np.unique(df[cluster])
    dev = np.array([_oracle(df[df[cluster] != g], rhs, "iid").params[["x1", "x2"]].to_numpy()
                    - beta for g in groups])
    n, k = len(df), len(df) - int(round(full.df_resid))
    g = len(groups)
    vcov = g / (g - 1) * (n - 1) / (n - k) * dev.T @ dev
    close(fit.coef()[["x1", "x2"]], beta, COEF)
    close(fit.se()[["x1", "x2"]], np.sqrt(np.diag(vcov)), SE)
    again = kestrel.feols(fml, df, vcov="iid", ssc=kestrel.ssc(fixef_exact=True))
    close(again.vcov_as({"CRV3": cluster}, data=df).se(), fit.se(), 1e-12)
