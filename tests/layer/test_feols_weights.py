"""Regression weights (``weights=``, ``weights_type=``) against oracles no one here wrote:
statsmodels' WLS on explicit dummies, pyfixest and linearmodels with the same weights, and,
for frequency weights, kestrel's own unweighted fit of the data with each row repeated w
times (np.repeat), which every number must equal."""

import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
import pytest
from conftest import need
from layer_support import close, dummies, quiet

import kestrel
from kestrel import _core

COEF, SE = 1e-10, 1e-8


def _engine_weighs():
    """Whether the engine's absorption takes weights (the fixed-effect cases need it)."""
    try:
        _core.absorb(columns=[np.ones(2)], mask=np.ones(2, bool), fe=[np.zeros(2, np.int32)],
                     fe_groups=[1], tol=1e-8, max_iter=10, solver="auto", progress=None,
                     weights=np.ones(2))
    except TypeError:
        return False
    return True


def _engine_counts():
    """Whether the engine's sample stage takes frequency weights (singletons by count)."""
    try:
        _core.sample(fe=[np.zeros(2, np.int32)], clusters=[], keep=np.ones(2, bool),
                     drop_singletons=True, counts=np.ones(2))
    except TypeError:
        return False
    return True


def _engine_fixef_weighs():
    try:
        _core.fixef_values(resid=np.ones(2), fe=[np.zeros(2, np.int32)], fe_groups=[1],
                           preference=[np.zeros(1, np.int32)], tol=1e-8, max_iter=10,
                           weights=np.ones(2))
    except TypeError:
        return False
    return True


ENGINE = {"absorb": _engine_weighs(), "sample": _engine_counts(),
          "fixef": _engine_fixef_weighs()}
needs_engine = pytest.mark.skipif(not ENGINE["absorb"],
                                  reason="the engine's absorption does not take weights yet")
needs_counts = pytest.mark.skipif(not ENGINE["sample"],
                                  reason="the engine's sample does not take counts yet")
needs_fixef = pytest.mark.skipif(not ENGINE["fixef"],
                                 reason="the engine's fixed-effect values take no weights yet")


def engine_for(fml, weights_type="aweights"):
    """Skip a fixed-effect case whose engine stage is not there yet."""
    if "|" not in fml.replace("| d ~", ""):
        return
    if not ENGINE["absorb"] or weights_type == "fweights" and not ENGINE["sample"]:
        pytest.skip("the engine's stages do not take weights yet")


def weighted_panel(n=480, seed=5):
    """Workers (48) at firms (10) over years (6); a regressor x1 correlated with the
    worker effect, an endogenous d with an instrument z, analytic weights w (spread over
    a factor of 30) and frequency weights f (1 to 4); every worker has several rows."""
    rng = np.random.default_rng(seed)
    worker = np.repeat(np.arange(48), n // 48)
    firm = (worker * 3 + rng.integers(0, 4, n)) % 10
    year = rng.integers(0, 6, n)
    alpha = rng.normal(size=48)[worker]
    x1 = rng.normal(size=n) + 0.5 * alpha
    x2 = rng.normal(size=n)
    z = rng.normal(size=n)
    u = rng.normal(size=n)
    d = 0.8 * z + 0.5 * u + rng.normal(size=n)
    w = rng.uniform(0.1, 3.0, n)
    y = (0.5 * x1 - 0.3 * x2 + 0.7 * d + alpha + 0.2 * firm + 0.1 * year
         + u * (0.5 + np.abs(x2)) / np.sqrt(w))
    return pd.DataFrame({"y": y, "x1": x1, "x2": x2, "d": d, "z": z, "worker": worker,
                         "firm": firm, "year": year, "g": rng.integers(0, 7, n), "w": w,
                         "f": rng.integers(1, 5, n).astype(float)})


@pytest.fixture(scope="module")
def df():
    return weighted_panel()


def expanded(data, column="f"):
    """The data with each row repeated as many times as its frequency weight."""
    return data.loc[data.index.repeat(data[column].astype(int))].reset_index(drop=True)


def fit(fml, data, vcov=None, **kw):
    return kestrel.feols(fml, data, vcov, fixef_tol=1e-13, **kw)


# statsmodels: weighted least squares on explicit dummies -------------------------------
def _wls(data, xs, fes, weights):
    sm = need("statsmodels.api")
    parts = [data[xs].to_numpy()]
    if fes:
        parts += [dummies(data[fe].to_numpy())[:, 1:] if j else dummies(data[fe].to_numpy())
                  for j, fe in enumerate(fes)]
    else:
        parts.insert(0, np.ones((len(data), 1)))
    return sm.WLS(data["y"].to_numpy(), np.hstack(parts), weights=data[weights].to_numpy())


@pytest.mark.parametrize("fes", [[], ["worker"], ["worker", "firm"]], ids=["none", "one", "two"])
def test_statsmodels_wls_on_dummies(df, fes):
    """iid: σ² = Σw e²/(N−K) with K all the dummies, as statsmodels; HC1: N/(N−K), as
    statsmodels' HC1; CRV1 with ssc("regress") (every dummy counted): statsmodels' cluster
    covariance, G/(G−1)·(N−1)/(N−K)."""
    engine_for("y ~ x | fe" if fes else "y ~ x")
    xs = ["x1", "x2"]
    fml = "y ~ x1 + x2" + (" | " + " + ".join(fes) if fes else "")
    model = _wls(df, xs, fes, "w")
    k = 0 if fes else 1  # statsmodels' intercept comes first without fixed effects
    for ours_vc, kw, theirs_kw in [
            ("iid", {}, {}),
            ("hetero", {}, {"cov_type": "HC1"}),
            ({"CRV1": "g"}, {"ssc": kestrel.ssc("regress")},
             {"cov_type": "cluster", "cov_kwds": {"groups": df["g"].to_numpy()}})]:
        ours = fit(fml, df, ours_vc, weights="w", **kw)
        theirs = model.fit(**theirs_kw)
        close(ours.coef()[xs], theirs.params[k:k + 2], COEF)
        close(ours.se()[xs], theirs.bse[k:k + 2], SE)
        if not fes:
            close(ours.coef()["Intercept"], theirs.params[0], COEF)
    assert ours.nobs == len(df)
    # R² as statsmodels' WLS reports it (weighted, centred), adjusted by (N−1)/(N−K).
    theirs = model.fit()
    close(ours.r2, theirs.rsquared, 1e-10)
    close(ours.adj_r2, theirs.rsquared_adj, 1e-10)


def test_statsmodels_hc2_hc3(df):
    """HC2 and HC3 weigh with the leverage of the √w-scaled rows (statsmodels' WLS);
    kestrel's convention adds N/(N−K), which statsmodels does not."""
    model = _wls(df, ["x1", "x2"], [], "w")
    n, K = len(df), 3
    for hc in ("HC2", "HC3"):
        ours = fit("y ~ x1 + x2", df, hc, weights="w")
        theirs = model.fit(cov_type=hc)
        close(ours.se(), theirs.bse * np.sqrt(n / (n - K)), SE)
        close(ours.coef(), theirs.params, COEF)


# pyfixest: the same weights, every covariance both offer --------------------------------
PYFIXEST = [
    ("y ~ x1 + x2", "iid"),
    ("y ~ x1 + x2", "hetero"),
    ("y ~ x1 + x2", {"CRV1": "g"}),
    ("y ~ x1 + x2", "HC2"),
    ("y ~ x1 + x2", "HC3"),
    ("y ~ x1 + x2 | worker", "iid"),
    ("y ~ x1 + x2 | worker", "hetero"),
    ("y ~ x1 + x2 | worker", {"CRV1": "worker"}),
    ("y ~ x1 + x2 | worker + firm", {"CRV1": "firm"}),
    ("y ~ x1 + x2 | worker + firm", {"CRV1": "worker+g"}),
    ("y ~ x1 | worker + year | d ~ z", "iid"),
    ("y ~ x1 | worker + year | d ~ z", "hetero"),
    ("y ~ x1 | worker + year | d ~ z", {"CRV1": "worker"}),
    ("y ~ x1 | worker + year | d ~ z", {"CRV1": "worker+g"}),
    ("y ~ x1 + x2 | d ~ z", {"CRV1": "firm"}),
]


@pytest.mark.parametrize("weights_type", ["aweights", "fweights"])
@pytest.mark.parametrize("fml,vcov", PYFIXEST)
def test_pyfixest(df, fml, vcov, weights_type):
    pf = need("pyfixest")
    engine_for(fml, weights_type)
    weights = "w" if weights_type == "aweights" else "f"
    ours = fit(fml, df, vcov, weights=weights, weights_type=weights_type)
    theirs = quiet(pf.feols, fml, df, vcov=vcov, weights=weights, weights_type=weights_type,
                   demeaner=pf.MapDemeaner(fixef_tol=1e-13, fixef_maxiter=100_000))
    close(ours.coef(), theirs.coef().loc[ours.coef_names], COEF)
    close(ours.se(), theirs.se().loc[ours.coef_names], SE)
    assert ours.nobs == theirs._N
    if "~ z" not in fml:  # pyfixest's IV fits report no R²
        close(ours.r2, theirs._r2, 1e-9)
        close(ours.adj_r2, theirs._adj_r2, 1e-9)
        if "|" in fml:
            close(ours.r2_within, theirs._r2_within, 1e-9)


@needs_engine
def test_pyfixest_serial(df):
    """Newey–West per worker and Driscoll–Kraay with analytic weights: scores w·x·e."""
    pf = need("pyfixest")
    # pyfixest takes one row per worker and year.
    data = df.drop_duplicates(["worker", "year"]).reset_index(drop=True)
    for vcov in ("NW", "DK"):
        kwargs = {"time_id": "year", "panel_id": "worker", "lag": 2}
        ours = fit("y ~ x1 + x2 | worker", data, vcov, vcov_kwargs=kwargs, weights="w")
        theirs = quiet(pf.feols, "y ~ x1 + x2 | worker", data, vcov=vcov, vcov_kwargs=kwargs,
                       weights="w", demeaner=pf.MapDemeaner(fixef_tol=1e-13))
        close(ours.coef(), theirs.coef(), COEF)
        close(ours.se(), theirs.se(), SE)


def test_serial_refused_with_frequency_weights(df):
    for vcov in ("NW", "DK"):
        with pytest.raises(ValueError, match="fweights.*time order"):
            fit("y ~ x1", df, vcov, vcov_kwargs={"time_id": "year", "lag": 1}, weights="f",
                weights_type="fweights")


# linearmodels ---------------------------------------------------------------------------
@needs_engine
def test_linearmodels(df):
    """AbsorbingLS (one and two absorbed effects) and PanelOLS (entity effects) with
    weights: coefficients, and the unadjusted covariance (σ² = Σw e²/(N−K) with the
    absorbed levels counted, linearmodels' debiased form), R² and adjusted R²."""
    lm = need("linearmodels")
    exog = df[["x1", "x2"]]
    for fes in (["worker"], ["worker", "firm"]):
        absorb = pd.DataFrame({c: pd.Categorical(df[c]) for c in fes})
        theirs = quiet(lm.AbsorbingLS(df["y"], exog, absorb=absorb, weights=df["w"]).fit,
                       cov_type="unadjusted", debiased=True, lsmr_options={"atol": 1e-14, "btol": 1e-14})
        ours = fit("y ~ x1 + x2 | " + " + ".join(fes), df, "iid", weights="w")
        close(ours.coef(), theirs.params, COEF)
        close(ours.se(), theirs.std_errors, SE)
        close([ours.r2, ours.adj_r2], [theirs.rsquared, theirs.rsquared_adj], 1e-9)
    panel = df.set_index(["worker", "year"]).sort_index()
    panel = panel[~panel.index.duplicated()]
    model = lm.PanelOLS(panel["y"], panel[["x1", "x2"]], entity_effects=True,
                        weights=panel["w"])
    theirs = quiet(model.fit, cov_type="clustered", cluster_entity=True, debiased=True,
                   group_debias=True)
    # PanelOLS's debiased clustered covariance with the entity effects nested in the
    # clusters: G/(G−1)·(N−1)/(N−k), k the regressors only (as unweighted).
    ours = fit("y ~ x1 + x2 | worker", panel.reset_index(), {"CRV1": "worker"}, weights="w",
               ssc=kestrel.ssc(k_fixef="none"))
    close(ours.coef(), theirs.params, COEF)
    close(ours.se(), theirs.std_errors, SE)
    theirs = quiet(model.fit, cov_type="robust")
    ours = fit("y ~ x1 + x2 | worker", panel.reset_index(), "hetero", weights="w")
    close(ours.se(), theirs.std_errors, SE)


# Frequency weights: the data with each row repeated -------------------------------------
@pytest.mark.parametrize("fml,vcov", [
    ("y ~ x1 + x2", "iid"), ("y ~ x1 + x2", "hetero"), ("y ~ x1 + x2", "HC2"),
    ("y ~ x1 + x2", "HC3"), ("y ~ x1 + x2", {"CRV1": "g"}), ("y ~ x1 + x2", {"CRV1": "g+firm"}),
    ("y ~ x1 + x2 | worker", "iid"), ("y ~ x1 + x2 | worker", "hetero"),
    ("y ~ x1 + x2 | worker + firm", {"CRV1": "firm"}),
    ("y ~ x2 | worker | d ~ z", "hetero"), ("y ~ x2 | d ~ z", {"CRV1": "g"})])
def test_frequency_weights_are_repeated_rows(df, fml, vcov):
    engine_for(fml, "fweights")
    ours = fit(fml, df, vcov, weights="f", weights_type="fweights")
    rows = fit(fml, expanded(df), vcov)
    assert ours.nobs == rows.nobs == int(df["f"].sum())
    assert (ours.dof_k, ours.df_t, ours.dof_fixef) == (rows.dof_k, rows.df_t, rows.dof_fixef)
    close(ours.coef(), rows.coef(), COEF)
    close(ours.se(), rows.se(), SE)
    for stat in ("r2", "adj_r2", "r2_within", "adj_r2_within", "rmse", "rss"):
        np.testing.assert_allclose(getattr(ours, stat), getattr(rows, stat), rtol=1e-9)
    if ours.first_stage:
        fs, fr = ours.first_stage["d"], rows.first_stage["d"]
        close([fs.f_stat, fs.effective_f], [fr.f_stat, fr.effective_f], 1e-8)
        assert fs.f_df == fr.f_df


@needs_engine
@needs_counts
def test_frequency_weight_singletons():
    """A row of weight 3 alone in its group stands for three rows: not a singleton; a row
    of weight 1 alone is one, as in the repeated data."""
    data = weighted_panel()
    data["f"] = 1.0
    lone = pd.DataFrame({"y": [1.0, 2.0], "x1": [0.3, -0.2], "x2": [0.5, 0.1],
                         "worker": [900, 901], "f": [3.0, 1.0]})
    data = pd.concat([data, lone], ignore_index=True)
    ours = fit("y ~ x1 + x2 | worker", data, "hetero", weights="f", weights_type="fweights")
    rows = fit("y ~ x1 + x2 | worker", expanded(data), "hetero")
    assert ours.n_singletons == rows.n_singletons == 1
    assert ours.nobs == rows.nobs == len(data) + 1
    assert ours.fixef["worker"] == rows.fixef["worker"] == 49
    close(ours.se(), rows.se(), SE)


# Analytic weights: only their ratios matter -----------------------------------------------
@pytest.mark.parametrize("fml,vcov", [
    ("y ~ x1 + x2", "HC3"), ("y ~ x1 + x2", {"CRV1": "firm"}),
    ("y ~ x1 + x2 | worker + firm", "hetero"), ("y ~ x1 | worker | d ~ z", {"CRV1": "g"}),
    ("y ~ x1 + x2 | worker", "DK")])
def test_analytic_weights_scale_free(df, fml, vcov):
    engine_for(fml)
    kw = {"vcov_kwargs": {"time_id": "year", "lag": 1}} if vcov == "DK" else {}
    base = fit(fml, df, vcov, weights="w", **kw)
    for c in (3.7, 1e-9, 2.0**300):
        scaled = df.assign(w=df["w"] * c)
        other = fit(fml, scaled, vcov, weights="w", **kw)
        close(other.coef(), base.coef(), 1e-12)
        close(other.se(), base.se(), 1e-10)
        np.testing.assert_allclose(
            [other.r2, other.adj_r2, other.r2_within, other.rmse, other.rss],
            [base.r2, base.adj_r2, base.r2_within, base.rmse, base.rss], rtol=1e-10)
        close(other.resid(), base.resid(), 1e-10)
        if base.first_stage:
            close(other.first_stage["d"].f_stat, base.first_stage["d"].f_stat, 1e-10)
    # Equal weights are no weights.
    same = fit(fml, df.assign(w=5.0), vcov, weights="w", **kw)
    plain = fit(fml, df, vcov, **kw)
    close(same.coef(), plain.coef(), 1e-12)
    close(same.se(), plain.se(), 1e-10)
    np.testing.assert_allclose([same.rss, same.rmse, same.r2], [plain.rss, plain.rmse, plain.r2],
                               rtol=1e-10)


def test_first_stage_f_weighted(df):
    """The first stage's F is the weighted regression's F test of the excluded
    instrument (statsmodels' WLS, iid)."""
    sm = need("statsmodels.api")
    ours = fit("y ~ x1 | d ~ z", df, "iid", weights="w").first_stage["d"]
    X = sm.add_constant(df[["x1", "z"]])
    first = sm.WLS(df["d"], X, weights=df["w"]).fit()
    test = first.f_test("z = 0")
    close(ours.f_stat, float(np.squeeze(test.fvalue)), 1e-9)
    close(ours.coef()["z"], first.params["z"], COEF)


# Rows dropped and mistakes ---------------------------------------------------------------
def test_zero_and_missing_weights(df):
    data = df.copy()
    data.loc[[3, 7, 11], "w"] = 0.0
    data.loc[[5], "w"] = np.nan
    data.loc[[9], "w"] = np.inf
    data.loc[[13], "x1"] = np.nan
    data.loc[[11], "x2"] = np.nan  # missing and weight 0: counted missing
    ours = fit("y ~ x1 + x2", data, "hetero", weights="w")
    assert ours.n_zero_weight == 2 and ours.n_missing == 4
    assert ours.nobs == len(df) - 6
    assert not ours.mask[[3, 5, 7, 9, 11, 13]].any()
    rows = fit("y ~ x1 + x2", df.drop(index=[3, 5, 7, 9, 11, 13]), "hetero", weights="w")
    close(ours.coef(), rows.coef(), 1e-13)
    close(ours.se(), rows.se(), 1e-12)
    text = str(ours.summary())
    assert "2 with weight 0" in text and "4 with missing values" in text
    assert "Weights          w (analytic weights)" in text
    nullable = data.assign(w=pd.array(data["w"].where(data["w"].notna() & (data["w"] != np.inf)),
                                      dtype="Float64"))
    assert fit("y ~ x1 + x2", nullable, weights="w").nobs == ours.nobs
    freq = fit("y ~ x1 + x2", data.assign(f=data["f"].where(data["w"] != 0, 0.0)), "iid",
               weights="f", weights_type="fweights")
    assert freq.n_zero_weight == 2
    with pytest.raises(ValueError, match="weight 0"):
        fit("y ~ x1", df.assign(w=0.0), weights="w")


def test_weights_of_other_dtypes(df):
    """Polars frames (a null weight drops its row), nullable integer frequency weights."""
    pl = need("polars")
    data = df.copy()
    data.loc[[4, 8], "w"] = np.nan
    ours = fit("y ~ x1 + x2", pl.from_pandas(data).with_columns(
        pl.when(pl.col("w").is_nan()).then(None).otherwise(pl.col("w")).alias("w")),
        "hetero", weights="w")
    rows = fit("y ~ x1 + x2", df.drop(index=[4, 8]), "hetero", weights="w")
    assert ours.n_missing == 2
    close(ours.se(), rows.se(), 1e-12)
    counts = df.assign(f=pd.array(df["f"].astype(int), dtype="Int64"))
    counts.loc[6, "f"] = pd.NA
    ours = fit("y ~ x1 + x2", counts, {"CRV1": "g"}, weights="f", weights_type="fweights")
    rows = fit("y ~ x1 + x2", expanded(df.drop(index=[6])), {"CRV1": "g"})
    assert ours.nobs == rows.nobs and ours.n_missing == 1
    close(ours.se(), rows.se(), SE)


def test_weight_mistakes(df):
    data = df.copy()
    data.loc[17, "w"] = -0.5
    data.loc[20, "w"] = -1.0
    with pytest.raises(ValueError, match=r"weights column 'w'.*-0\.5.*row 17"):
        fit("y ~ x1", data, weights="w")
    with pytest.raises(ValueError, match=r"'w'.*not a whole number.*row 0"):
        fit("y ~ x1", df, weights="w", weights_type="fweights")
    with pytest.raises(ValueError, match="weights_type"):
        fit("y ~ x1", df, weights="w", weights_type="pweights")
    with pytest.raises(KeyError, match="'ww'"):
        fit("y ~ x1", df, weights="ww")
    with pytest.raises(TypeError, match="weights column 's'"):
        fit("y ~ x1", df.assign(s="a"), weights="s")
    with pytest.raises(TypeError, match="weights must be the name of a column"):
        fit("y ~ x1", df, weights=df["w"])
    with pytest.raises(ValueError, match=r"weights column 'w'.*row 17"):
        fit("y ~ x1 + sw(x2, d)", data, weights="w")  # multiple estimation too


@needs_engine
@needs_counts
def test_large_weighted_panel(df):
    """Past 200,000 rows the engine sums groups in row chunks on its threads: analytic
    weights against pyfixest, frequency weights against the repeated rows (500,000)."""
    pf = need("pyfixest")
    rng = np.random.default_rng(2)
    n = 250_000
    worker = rng.integers(0, 25_000, n)
    firm = rng.integers(0, 1000, n)
    x = rng.normal(size=n) + np.sin(worker)
    w = rng.uniform(0.1, 4.0, n)
    data = pd.DataFrame({"y": 0.4 * x + np.cos(worker) + np.sin(firm) + rng.normal(size=n)
                         / np.sqrt(w), "x": x, "worker": worker, "firm": firm, "w": w,
                         "f": rng.integers(1, 4, n).astype(float)})
    fml = "y ~ x | worker + firm"
    ours = kestrel.feols(fml, data, {"CRV1": "firm"}, weights="w", fixef_tol=1e-12)
    theirs = quiet(pf.feols, fml, data, vcov={"CRV1": "firm"}, weights="w",
                   demeaner=pf.MapDemeaner(fixef_tol=1e-12))
    close(ours.coef(), theirs.coef(), 1e-9)
    close(ours.se(), theirs.se(), 1e-8)
    close([ours.r2, ours.r2_within], [theirs._r2, theirs._r2_within], 1e-9)
    ours = kestrel.feols(fml, data, "hetero", weights="f", weights_type="fweights",
                         fixef_tol=1e-12)
    rows = kestrel.feols(fml, expanded(data), "hetero", fixef_tol=1e-12)
    assert (ours.nobs, ours.n_singletons) == (rows.nobs, rows.n_singletons)
    close(ours.coef(), rows.coef(), 1e-9)
    close(ours.se(), rows.se(), 1e-8)


# A ring of firms: every fixed effect connected through one long cycle -----------------------
@needs_engine
@needs_fixef
def test_weighted_ring_against_dummy_wls():
    """Workers each at two neighbouring firms of a ring of 40: a slowly mixing graph for the
    iterations. Coefficients, iid standard errors and both fixed effects' values against
    weighted least squares on every dummy (lstsq on the √w-scaled rows)."""
    rng = np.random.default_rng(8)
    firms, per = 40, 3
    worker = np.repeat(np.arange(firms * per), 2)
    firm = (worker // per + np.tile([0, 1], firms * per)) % firms
    worker, firm = np.tile(worker, 2), np.tile(firm, 2)
    n = len(worker)
    x = rng.normal(size=n) + 0.1 * firm
    w = rng.uniform(0.05, 5.0, n)
    y = 0.7 * x + rng.normal(size=firms)[firm] + rng.normal(size=firms * per)[worker] \
        + rng.normal(size=n) / np.sqrt(w)
    data = pd.DataFrame({"y": y, "x": x, "worker": worker, "firm": firm, "w": w})
    ours = fit("y ~ x | worker + firm", data, "iid", weights="w")
    D = np.hstack([x[:, None], dummies(worker), dummies(firm)[:, 1:]])
    root = np.sqrt(w)
    beta, *_ = np.linalg.lstsq(D * root[:, None], y * root, rcond=None)
    e = y - D @ beta
    K = D.shape[1]
    bread = np.linalg.inv((D * w[:, None]).T @ D)
    se = np.sqrt(np.sum(w * e * e) / (n - K) * bread[0, 0])
    close(ours.coef(), [beta[0]], 1e-9)
    close(ours.se(), [se], 1e-8)
    close(ours.resid(), e, 1e-8)
    values = ours.fixef()
    # fixest's normalisation: the firm of the first level at 0, workers carry the level.
    close(values["firm"].to_numpy(), np.r_[0.0, beta[1 + firms * per:]], 1e-7)
    close(values["worker"].to_numpy(), beta[1:1 + firms * per], 1e-7)
    close(ours.predict(), y - e, 1e-8)
    close(ours.predict(data), y - e, 1e-8)


@needs_engine
@needs_fixef
def test_fixef_predict_and_demean_weighted(df):
    """One fixed effect: its values are the weighted means of y − Xβ by level; predict
    adds them."""
    ours = fit("y ~ x1 + x2 | worker", df, "hetero", weights="w")
    r = df["y"] - ours.coef()["x1"] * df["x1"] - ours.coef()["x2"] * df["x2"]
    means = (r * df["w"]).groupby(df["worker"]).sum() / df["w"].groupby(df["worker"]).sum()
    close(ours.fixef()["worker"].to_numpy(), means.to_numpy(), 1e-9)
    close(ours.predict(), df["y"] - ours.resid(), 1e-12)
    close(ours.predict(df), ours.predict(), 1e-9)
    close(ours.resid(), r - means.loc[df["worker"]].to_numpy(), 1e-9)


@needs_engine
def test_demean_weighted(df):
    """kestrel.demean with weights: the weighted within transformation (one fixed effect),
    and the residual of weighted least squares on both fixed effects' dummies."""
    cols = df[["y", "x1"]]
    wmean = (cols.mul(df["w"], axis=0)).groupby(df["worker"]).transform("sum").div(
        df["w"].groupby(df["worker"]).transform("sum"), axis=0)
    out = kestrel.demean(cols, df[["worker"]], weights=df["w"].to_numpy(), tol=1e-12)
    close(out.to_numpy(), (cols - wmean).to_numpy(), 1e-9)
    by_name = kestrel.demean(df[["y", "x1", "w"]], df[["worker"]], weights="w", tol=1e-12)
    assert list(by_name.columns) == ["y", "x1"]
    close(by_name.to_numpy(), out.to_numpy(), 1e-12)
    two = kestrel.demean(cols, df[["worker", "firm"]], weights=df["w"], tol=1e-13)
    D = np.hstack([dummies(df["worker"].to_numpy()), dummies(df["firm"].to_numpy())[:, 1:]])
    root = np.sqrt(df["w"].to_numpy())
    coef, *_ = np.linalg.lstsq(D * root[:, None], cols.to_numpy() * root[:, None], rcond=None)
    close(two.to_numpy(), cols.to_numpy() - D @ coef, 1e-8)


def test_demean_weight_mistakes(df):
    with pytest.raises(ValueError, match="positive.*row 2"):
        kestrel.demean(df[["y"]], df[["worker"]], weights=np.r_[1.0, 1.0, 0.0,
                                                                 np.ones(len(df) - 3)])
    with pytest.raises(ValueError, match="one value per row"):
        kestrel.demean(df[["y"]], df[["worker"]], weights=np.ones(3))
    with pytest.raises(TypeError, match="not a DataFrame"):
        kestrel.demean(df["y"].to_numpy(), df[["worker"]], weights="w")


# Multiple estimation, tables, the command line --------------------------------------------
def test_multiple_estimation_weighted(df):
    fits = kestrel.feols("y ~ x1 + csw(x2, d)", df, "hetero", weights="w")
    for f in fits:
        alone = fit(f.formula, df, "hetero", weights="w")
        close(f.coef(), alone.coef(), 1e-10)
        close(f.se(), alone.se(), 1e-9)
        assert f.weights == "w" and f.weights_type == "aweights"
    freq = kestrel.feols("y + x1 ~ x2", df, "iid", weights="f", weights_type="fweights")
    assert [f.nobs for f in freq] == [int(df["f"].sum())] * 2
    table = kestrel.etable([*freq, fit("y ~ x2", df)])
    line = next(t for t in table.splitlines() if t.startswith("Weights"))
    assert line.split()[1:] == ["f", "(freq.)", "f", "(freq.)", "-"]
    assert "Weights" not in kestrel.etable(fit("y ~ x2", df))


@needs_engine
def test_multiple_estimation_weighted_fixed_effects(df):
    fits = kestrel.feols("y ~ x1 | sw(worker, worker + firm)", df, weights="w")
    for f in fits:
        alone = fit(f.formula, df, weights="w")
        close(f.coef(), alone.coef(), 1e-8)
        close(f.se(), alone.se(), 1e-8)


def test_cli_weights(df, tmp_path):
    path = tmp_path / "data.csv"
    df.to_csv(path, index=False)
    run = [sys.executable, "-m", "kestrel", "fit", str(path), "y ~ x1 + x2", "--vcov", "hetero"]
    out = subprocess.run(run + ["--weights", "f", "--weights-type", "fweights"],
                         capture_output=True, text=True, check=True).stdout
    assert "Weights" in out and "f (frequency weights, 480 rows)" in out
    assert f"Observations     {int(df['f'].sum()):,}" in out
    expected = fit("y ~ x1 + x2", df, "hetero", weights="f", weights_type="fweights")
    assert f"{expected.coef()['x1']:.6g}" in out
    bad = subprocess.run(run + ["--weights-type", "fweights"], capture_output=True, text=True)
    assert bad.returncode == 2 and "--weights-type applies with --weights" in bad.stderr
    bad = subprocess.run(run + ["--weights", "w", "--weights-type", "fweights"],
                         capture_output=True, text=True)
    assert bad.returncode == 2 and "not a whole number" in bad.stderr


# Inference after the fit and samples -------------------------------------------------------
@pytest.mark.parametrize("weights,weights_type", [("w", "aweights"), ("f", "fweights")])
def test_vcov_as_and_samples_weighted(df, weights, weights_type):
    """vcov_as gives a weighted fit the numbers of a new weighted fit with that covariance;
    split= fits each sample with its weights; the CRV3 jackknife and the wild bootstrap
    are refused for weighted fits."""
    engine_for("y ~ x | fe", weights_type)
    kw = dict(weights=weights, weights_type=weights_type)
    base = fit("y ~ x1 + x2 | worker", df, "iid", **kw)
    for vcov in ("hetero", {"CRV1": "firm"}, {"CRV1": "worker+g"}):
        again = base.vcov_as(vcov, data=df)
        new = fit("y ~ x1 + x2 | worker", df, vcov, **kw)
        close(again.se(), new.se(), 1e-10)
        assert (again.dof_k, again.df_t) == (new.dof_k, new.df_t)
    with pytest.raises(ValueError, match="CRV3.*weight"):
        base.vcov_as({"CRV3": "firm"}, data=df)
    with pytest.raises(ValueError, match="CRV3.*weight"):
        fit("y ~ x1 + x2 | worker", df, {"CRV3": "firm"}, **kw)
    with pytest.raises(ValueError, match="weighted fit"):
        fit("y ~ x1 + x2 | worker", df, {"CRV1": "firm"}, **kw).wildboottest("x1", B=99)
    fits = kestrel.feols("y ~ x1 + x2", df, "hetero", split="g", **kw)
    for f, (_, rows) in zip(fits, sorted(df.groupby("g"), key=lambda item: item[0])):
        alone = fit("y ~ x1 + x2", rows, "hetero", **kw)
        close(f.coef(), alone.coef(), 1e-12)
        close(f.se(), alone.se(), 1e-10)
        assert f.nobs == alone.nobs
