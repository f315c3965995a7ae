"""Newey-West and Driscoll-Kraay covariances through kestrel.feols, each peer under its own
convention: pyfixest (the default factors), statsmodels' HAC on a time series (with and
without its correction), linearmodels' kernel covariances (IV2SLS on a time series,
PanelOLS's Driscoll-Kraay on the NLSY wage panel)."""

import numpy as np
import pandas as pd
import pytest
from layer_support import close, quiet

import kestrel
from conftest import need

pf = need("pyfixest")
sm = need("statsmodels.api")
linearmodels = need("linearmodels")
pytestmark = pytest.mark.peers
COEF, SE = 1e-10, 1e-8


@pytest.fixture(scope="module")
def panel():
    """50 units over 40 periods, AR(1) errors and regressors, 10% of the unit-periods
    missing (gaps), rows shuffled out of time order."""
    rng = np.random.default_rng(5)
    units, periods = 50, 40
    df = pd.DataFrame({"unit": np.repeat(np.arange(units), periods),
                       "t": np.tile(np.arange(periods), units)})
    n = len(df)
    shock = rng.normal(size=periods)[df.t]
    e = rng.normal(size=n)
    for lag in range(1, 4):
        e += 0.5 ** lag * np.roll(e, lag)
    df["x"] = rng.normal(size=n) + 0.5 * shock
    df["w"] = rng.normal(size=n)
    df["f"] = rng.integers(0, 6, n)
    df["y"] = 1 + 0.5 * df.x - 0.2 * df.w + shock + e + 0.1 * df.unit
    return df.sample(frac=0.9, random_state=1).reset_index(drop=True)


CASES = [
    ("y ~ x + w", "NW", {"panel_id": "unit", "lag": 2}),
    ("y ~ x + w", "NW", {"panel_id": "unit"}),
    ("y ~ x + w | unit", "NW", {"panel_id": "unit", "lag": 3}),
    ("y ~ x + w", "DK", {"panel_id": "unit"}),
    ("y ~ x + w | unit", "DK", {"panel_id": "unit", "lag": 4}),
    ("y ~ x | unit + f", "DK", {"panel_id": "unit", "lag": 0}),
]


@pytest.mark.parametrize("fml,vcov,kw", CASES, ids=[f"{f} {v} {k}" for f, v, k in CASES])
def test_panel_newey_west_and_driscoll_kraay_match_pyfixest(panel, fml, vcov, kw):
    kw = {"time_id": "t", **kw}
    ours = kestrel.feols(fml, panel, vcov, vcov_kwargs=kw, fixef_tol=1e-13)
    theirs = quiet(pf.feols, fml, panel, vcov=vcov, vcov_kwargs=kw,
                   demeaner=pf.MapDemeaner(fixef_tol=1e-13, fixef_maxiter=100_000))
    close(ours.coef(), theirs.coef(), COEF)
    close(ours.se(), theirs.se(), SE)
    close(ours.pvalue(), theirs.pvalue(), SE)
    assert ours.df_t == theirs._df_t == 39
    assert ours.vcov_type.lag == kw.get("lag", 2)  # floor(40^(1/4)) by default


def test_time_series_matches_pyfixest_and_statsmodels_with_and_without_correction():
    md = sm.datasets.macrodata.load_pandas().data
    md["t"] = np.arange(len(md))
    md = md.sample(frac=1.0, random_state=2)  # out of time order
    kw = {"time_id": "t", "lag": 4}
    ours = kestrel.feols("realcons ~ realgdp + unemp", md, "NW", vcov_kwargs=kw)
    theirs = quiet(pf.feols, "realcons ~ realgdp + unemp", md, vcov="NW", vcov_kwargs=kw)
    close(ours.se(), theirs.se(), SE)
    ordered = md.sort_values("t")
    X = sm.add_constant(ordered[["realgdp", "unemp"]])
    for correction, conv in ((True, kestrel.ssc()), (False, kestrel.ssc(k_adj=False, G_adj=False))):
        sm_fit = sm.OLS(ordered.realcons, X).fit(
            cov_type="HAC", cov_kwds={"maxlags": 4, "use_correction": correction})
        fit = kestrel.feols("realcons ~ realgdp + unemp", md, "NW", vcov_kwargs=kw, ssc=conv)
        close(fit.coef(), sm_fit.params, COEF)
        close(fit.se(), sm_fit.bse, SE)


def test_iv_time_series_matches_linearmodels_kernel_covariance():
    from linearmodels.iv import IV2SLS

    md = sm.datasets.macrodata.load_pandas().data
    md["t"] = np.arange(len(md))
    fit = kestrel.feols("realcons ~ unemp | realgdp ~ realinv + m1", md, "NW",
                        vcov_kwargs={"time_id": "t", "lag": 4})
    theirs = quiet(IV2SLS.from_formula, "realcons ~ 1 + unemp + [realgdp ~ realinv + m1]",
                   md).fit(cov_type="kernel", kernel="bartlett", bandwidth=4, debiased=True)
    close(fit.coef(), theirs.params, COEF)
    close(fit.se(), theirs.std_errors, SE)


def test_wage_panel_driscoll_kraay_matches_linearmodels_panelols():
    """linearmodels scales its kernel covariance by N/(N-K) when debiased (K counting the
    entity effects), without the periods' T/(T-1)."""
    from linearmodels import PanelOLS
    from linearmodels.datasets import wage_panel

    df = wage_panel.load()
    fit = kestrel.feols("lwage ~ exper + expersq + union + married | nr", df, "DK",
                        vcov_kwargs={"time_id": "year", "lag": 2},
                        ssc=kestrel.ssc(k_adj=False, G_adj=False))
    theirs = quiet(PanelOLS.from_formula,
                   "lwage ~ exper + expersq + union + married + EntityEffects",
                   df.set_index(["nr", "year"])).fit(cov_type="kernel", kernel="bartlett",
                                                      bandwidth=2, debiased=True)
    close(fit.coef(), theirs.params, COEF)
    K = 4 + fit.fixef["nr"]
    close(fit.se() * np.sqrt(fit.nobs / (fit.nobs - K)), theirs.std_errors, SE)


def test_time_ids_of_any_ordered_dtype_give_the_same_fit(panel):
    """Periods count as consecutive whatever the gaps between their values (as pyfixest)."""
    kw = {"time_id": "t", "panel_id": "unit", "lag": 2}
    base = kestrel.feols("y ~ x + w", panel, "NW", vcov_kwargs=kw)
    variants = {
        "dates": pd.Timestamp("2001-01-01") + pd.to_timedelta(panel.t * 7, unit="D"),
        "floats with gaps": panel.t.astype(float) ** 2 / 10,
        "int32": panel.t.astype(np.int32) * 100 - 7,
        "uint64": panel.t.astype(np.uint64) + 2 ** 63,
    }
    for name, t in variants.items():
        fit = kestrel.feols("y ~ x + w", panel.assign(t=t), "NW", vcov_kwargs=kw)
        np.testing.assert_array_equal(fit.se(), base.se(), err_msg=name)
    pl = need("polars")
    frame = pl.from_pandas(panel.assign(t=variants["dates"]))
    fit = kestrel.feols("y ~ x + w", frame, "DK", vcov_kwargs=kw)
    np.testing.assert_array_equal(
        fit.se(), kestrel.feols("y ~ x + w", panel, "DK", vcov_kwargs=kw).se())


def test_missing_time_ids_drop_rows_and_the_summary_names_the_periods(panel):
    df = panel.assign(t=panel.t.astype("Int64"))
    df.loc[:9, "t"] = pd.NA
    fit = kestrel.feols("y ~ x + w", df, "DK", vcov_kwargs={"time_id": "t"})
    assert fit.n_missing == 10 and fit.periods == 40
    text = fit.summary()
    assert "Driscoll-Kraay, lag 2, time t (40 periods)" in text
    assert "39 degrees of freedom" in text
