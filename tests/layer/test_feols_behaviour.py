"""What feols promises about data, warnings and the result object."""

import io
import warnings

import numpy as np
import pandas as pd
import pytest
from layer_support import dummies, panel

import kestrel
from kestrel.prediction import UnseenLevelWarning
from kestrel.progress import progress_line
from conftest import need

FML = "y ~ x1 + x2 + C(g) | worker + year"


@pytest.fixture(scope="module")
def data():
    return panel(2000)


def same_fit(a, b):
    np.testing.assert_array_equal(a.coef(), b.coef())
    np.testing.assert_array_equal(a.se(), b.se())
    assert (a.nobs, a.n_singletons) == (b.nobs, b.n_singletons)


def test_missing_values_of_every_kind_are_dropped_counted_and_masked(data):
    df = data.assign(x2=pd.array(data["x2"], dtype="Float64"),
                     g=data["g"].astype(object))
    rows = np.random.default_rng(1).choice(len(df), 8, replace=False)
    df.loc[rows[0], "x2"] = pd.NA
    df.loc[rows[1], "y"] = np.inf
    df.loc[rows[2], "x2"] = -np.inf
    df.loc[rows[3], "g"] = None
    df.loc[rows[4], "year"] = pd.NA
    df.loc[rows[5], "firm"] = -1  # an ordinary value, not missing
    fit = kestrel.feols(FML, df, {"CRV1": "firm"})
    bad = ~np.isfinite(df[["y", "x1"]].to_numpy()).all(axis=1) | df[["worker", "year", "g"]] \
        .isna().any(axis=1).to_numpy() | ~np.isfinite(df["x2"].to_numpy(float, na_value=np.nan))
    assert fit.n_missing == bad.sum() >= 5 + data["x1"].isna().sum() - 1
    assert fit.nobs + fit.n_missing + fit.n_singletons == len(df)
    assert not fit.mask[bad].any()
    full = fit.resid(full=True)
    assert np.isnan(full[~fit.mask]).all() and np.array_equal(full[fit.mask], fit.resid())
    clean = df[~bad].astype({"x2": float, "g": str, "year": int})
    same_fit(fit, kestrel.feols(FML, clean, {"CRV1": "firm"}))


@pytest.mark.parametrize("recast", [
    pytest.param(lambda s: s.astype("category"), id="categorical"),
    pytest.param(lambda s: pd.array(s.str[1:].astype(float), dtype="Int64") * 2**40 + 7,
                 id="int64-beyond-int32"),
    pytest.param(lambda s: s.str[1:].astype(float) + 0.5, id="float"),
    pytest.param(lambda s: pd.array(s.str[1:].astype(float), dtype="Int64"), id="nullable-int"),
])
def test_identifier_dtype_does_not_change_the_fit(data, recast):
    same_fit(kestrel.feols(FML, data, {"CRV1": "worker+firm"}),
             kestrel.feols(FML, data.assign(worker=recast(data["worker"])),
                           {"CRV1": "worker+firm"}))


def test_polars_frame_gives_the_same_fit_as_pandas(data):
    pl = need("polars")
    frame = pl.from_pandas(data.astype({"region": str}))
    for fml in (FML, "y ~ x1 + i(year, ref=2003) + x1:x2 | firm^region"):
        same_fit(kestrel.feols(fml, data, "hetero"), kestrel.feols(fml, frame, "hetero"))


def test_columns_named_by_numbers_or_with_spaces_are_read_through_backticks(data):
    """Integer column labels (a frame built from an array) and names with spaces, as
    regressors, fixed effects and clusters, fit as the same columns with plain names."""
    plain = kestrel.feols("y ~ x1 + C(g) + x2:x3 | worker + firm^year", data, {"CRV1": "firm"})
    renamed = data.rename(columns={"y": 0, "x1": 3, "x2": 2, "worker": 5, "firm": "firm id"})
    ours = kestrel.feols("`0` ~ `3` + C(g) + `2`:x3 | `5` + `firm id`^year", renamed,
                         {"CRV1": "firm id"})
    np.testing.assert_array_equal(ours.coef(), plain.coef())
    np.testing.assert_array_equal(ours.se(), plain.se())
    assert list(ours.fixef) == ["5", "firm id^year"]
    for a, b in zip(ours.fixef().values(), plain.fixef().values()):
        np.testing.assert_array_equal(a, b)
    np.testing.assert_array_equal(ours.predict(renamed[ours.mask]), plain.predict(data[plain.mask]))
    # kestrel.demean reads fixed effects from a frame labelled by position too.
    x, ids = data[["x2", "x3"]].to_numpy(), data[["firm", "year"]]
    np.testing.assert_array_equal(kestrel.demean(x, ids.set_axis([0, 1], axis=1)),
                                  kestrel.demean(x, ids))


def test_stopping_short_of_the_tolerance_warns_with_the_iteration_count(data):
    with pytest.warns(kestrel.ConvergenceWarning,
                      match=r"stopped at fixef_maxiter=1 iterations.*raise fixef_maxiter"):
        fit = kestrel.feols("y ~ x1 | worker + firm + year", data, fixef_maxiter=1,
                            fixef_tol=1e-14)
    assert not fit.converged and fit.iterations == 1
    assert "NOT converged" in fit.summary()


def test_summary_tidy_and_repr_carry_what_readers_look_for(data):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", kestrel.CollinearityWarning)
        fit = kestrel.feols("y ~ x1 + x2 + x4 + x3 | worker + firm", data)
    text = fit.summary(extra={"true": {"x1": 0.5}})
    for expected in ("Observations", f"{fit.nobs:,}", "with missing values",
                     f"worker ({fit.fixef['worker']:,} levels)", "clustered by worker",
                     f"t distribution, {fit.fixef['worker'] - 1:,} degrees of freedom",
                     "R²", "Within R²", "***", "Dropped as collinear: x3", "true"):
        assert expected in text, expected
    assert repr(text) == text
    tidy = fit.tidy(level=0.9)
    assert list(tidy.columns) == ["Estimate", "Std. Error", "t value", "Pr(>|t|)", "5%", "95%"]
    assert (tidy["5%"] < tidy["Estimate"]).all() and list(tidy.index) == ["x1", "x2", "x4"]
    assert "\n" not in repr(fit) and "3 coefficients" in repr(fit)
    assert fit.vcov.shape == (3, 3) and np.allclose(np.diag(fit.vcov), fit.se() ** 2)


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_line_only_on_a_terminal_after_the_delay_and_cleared_at_the_end():
    with progress_line(None, io.StringIO()) as callback:
        assert callback is None
    with progress_line(False, Terminal()) as callback:
        assert callback is None
    out = Terminal()
    with progress_line(None, out, delay=3600) as callback:
        callback(5, 1e-3)
    assert out.getvalue() == ""
    out = Terminal()
    with progress_line(None, out, delay=0.0, every=0.0) as callback:
        callback(7, 2.5e-4)
        assert "iteration 7, residual 2.50e-04" in out.getvalue()
    assert out.getvalue().endswith("\r")


def answers(fit, original):
    """Everything a fit reports, now or later."""
    values = fit.fixef() if fit.fixef else {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UnseenLevelWarning)  # singletons' levels
        new = fit.predict(original)
    return dict(coef=fit.coef(), se=fit.se(), resid=fit.resid(), fitted=fit.predict(),
                new=new, summary=str(fit.summary()),
                **{f"fixef {name}": s for name, s in values.items()},
                **{f"labels {name}": s.index.to_frame() for name, s in values.items()})


def vandalise(df):
    """Overwrite a third of every column in place, keeping its dtype."""
    rows = df.index[::3]
    for col in df.columns:
        if df[col].dtype.kind == "f":
            df.loc[rows, col] = 1e3
        elif col in ("firm", "year"):
            df.loc[rows, col] = df[col].iloc[1]
        else:
            df.loc[rows, col] = df[col].dropna().iloc[-1]


@pytest.mark.parametrize("fml", [FML, "y ~ x2 | firm^year + worker | x1 ~ x3",
                                 "y + y2 ~ x2 + csw0(x3, C(region)) | firm + year"])
def test_a_fit_answers_from_the_data_as_they_were_at_the_call(data, fml):
    """Editing the caller's frame after the call changes nothing a fit reports (least
    squares, two-stage least squares, multiple estimation)."""
    df = data.copy()
    fits = kestrel.feols(fml, df, {"CRV1": "firm"})
    vandalise(df)
    assert not df.equals(data)
    expected = kestrel.feols(fml, data, {"CRV1": "firm"})
    for ours, theirs in zip(*(f if isinstance(f, kestrel.FitList) else [f]
                              for f in (fits, expected))):
        got, want = answers(ours, data), answers(theirs, data)
        assert got.keys() == want.keys()
        for key in want:
            np.testing.assert_array_equal(np.asarray(got[key]), np.asarray(want[key]),
                                          err_msg=f"{ours.formula}: {key}")


# ---- units --------------------------------------------------------------------------------
# A regressor, an instrument or the outcome in other units (times 2^k, from 2^-1000 to 2^600)
# is fitted, never dropped, and the estimates follow the units exactly: a coefficient on
# x times 2^k is the one on x times 2^-k, bit for bit, and so is its standard error.

def _units_data():
    rng = np.random.default_rng(0)
    n = 600
    df = pd.DataFrame({"x1": rng.normal(size=n), "x2": rng.normal(size=n),
                       "z": rng.normal(size=n), "g": rng.integers(0, 12, n),
                       "h": rng.integers(0, 7, n)})
    df["x2"] += 0.7 * df.z
    df["y"] = df.x1 + 0.5 * df.x2 + 0.1 * df.g + rng.normal(size=n)
    return df


UNITS_MODELS = [("y ~ x1 + x2 | g + h", "hetero"), ("y ~ x1 + x2 | g", {"CRV1": "g"}),
                ("y ~ x1 + x2", "iid"), ("y ~ x1 | g + h | x2 ~ z", "hetero"),
                ("y ~ x1 | x2 ~ z", "iid")]
EXPONENTS = [600, 515, 100, -110, -600, -1000]


@pytest.mark.parametrize("fml, vc", UNITS_MODELS, ids=[m[0] for m in UNITS_MODELS])
def test_estimates_follow_the_units_of_each_column_exactly(fml, vc):
    df = _units_data()
    base = kestrel.feols(fml, df, vc)
    for col in ["x2", "y"] + (["z"] if "~ z" in fml else []):
        for k in EXPONENTS:
            fit = kestrel.feols(fml, df.assign(**{col: np.ldexp(df[col], k)}), vc)
            coef, se = base.coef(), base.se()
            if col == "y":
                coef, se = np.ldexp(coef, k), np.ldexp(se, k)
            elif col == "x2":
                coef, se = coef.copy(), se.copy()
                coef["x2"], se["x2"] = np.ldexp(coef["x2"], -k), np.ldexp(se["x2"], -k)
            assert fit.collinear == [], (col, k)
            np.testing.assert_array_equal(fit.coef(), coef, err_msg=f"{col} 2^{k}")
            np.testing.assert_array_equal(fit.se(), se, err_msg=f"{col} 2^{k}")
            np.testing.assert_array_equal(fit.tstat(), base.tstat())
            if base.first_stage:
                first, got = base.first_stage["x2"], fit.first_stage["x2"]
                # x2 is the first stage's outcome; z one of its regressors.
                shift = np.array([(k if col == "x2" else 0) - (k if col == name == "z" else 0)
                                  for name in first.names])
                np.testing.assert_array_equal(got.coef(), np.ldexp(first.coef(), shift))
                np.testing.assert_array_equal(got.se(), np.ldexp(first.se(), shift))
                assert got.f_stat == first.f_stat


@pytest.mark.parametrize("scale", [1e154, 1e200, 1e300, 1e-32, 1e-200, 1e-300])
@pytest.mark.parametrize("fe", [True, False])
def test_regressors_of_any_magnitude_agree_with_statsmodels_in_their_units(scale, fe):
    """Against OLS (dummies for the fixed effect) on the same data in ordinary units: the
    coefficient and standard error on x2 * scale are those on x2 divided by scale."""
    sm = need("statsmodels.api")
    df = _units_data()
    X = df[["x1", "x2"]].to_numpy()
    X = np.column_stack([X, dummies(df.g)] if fe else [np.ones(len(df)), X])
    want = sm.OLS(df.y.to_numpy(), X).fit()
    j = 1 if fe else 2
    fit = kestrel.feols("y ~ x1 + x2" + (" | g" if fe else ""), df.assign(x2=df.x2 * scale),
                        "iid")
    np.testing.assert_allclose(fit.coef()["x2"] * scale, want.params[j], rtol=1e-12)
    np.testing.assert_allclose(fit.se()["x2"] * scale, want.bse[j], rtol=1e-10)
    np.testing.assert_allclose(fit.coef()["x1"], want.params[j - 1], rtol=1e-12)
    np.testing.assert_allclose(fit.se()["x1"], want.bse[j - 1], rtol=1e-10)
    np.testing.assert_allclose(fit.resid(), want.resid, rtol=1e-9, atol=1e-12)


def test_instrumented_regressors_of_any_magnitude_agree_with_two_stage_least_squares():
    df = _units_data()
    X = np.column_stack([df.x1, df.x2, dummies(df.g)])
    Z = np.column_stack([df.x1, df.z, dummies(df.g)])
    fitted = Z @ np.linalg.lstsq(Z, X, rcond=None)[0]
    beta = np.linalg.solve(fitted.T @ X, fitted.T @ df.y.to_numpy())
    for scale in [1e160, 1e-160, 1e300]:
        fit = kestrel.feols("y ~ x1 | g | x2 ~ z", df.assign(x2=df.x2 * scale,
                                                             z=df.z / scale), "iid")
        np.testing.assert_allclose(fit.coef().to_numpy() * [1, scale], beta[:2], rtol=1e-11)


def test_fixed_effect_values_and_predictions_follow_the_units_of_the_outcome():
    df = _units_data()
    fml = "y ~ x1 + x2 | g + h"
    base = kestrel.feols(fml, df)
    for k in [600, 100, -600]:
        fit = kestrel.feols(fml, df.assign(y=np.ldexp(df.y, k), x2=np.ldexp(df.x2, k)))
        for name in ("g", "h"):
            np.testing.assert_array_equal(fit.fixef()[name], np.ldexp(base.fixef()[name], k))
        np.testing.assert_array_equal(fit.predict(), np.ldexp(base.predict(), k))


def test_the_first_stage_f_statistic_does_not_depend_on_the_instruments_units():
    """Two instruments 2^60 apart in scale: their covariance's rank is that of their
    correlations (a rank test on the raw matrix took them as dependent: F was NaN)."""
    df = _units_data()
    df["w"] = np.random.default_rng(2).normal(size=len(df)) + 0.3 * df.x2
    base = kestrel.feols("y ~ x1 | x2 ~ z + w", df, "hetero").first_stage["x2"]
    for k in [60, -19]:
        got = kestrel.feols("y ~ x1 | x2 ~ z + w", df.assign(w=np.ldexp(df.w, k)),
                            "hetero").first_stage["x2"]
        assert np.isfinite(base.f_stat)
        np.testing.assert_allclose(got.f_stat, base.f_stat, rtol=1e-10)
        np.testing.assert_allclose(got.effective_f, base.effective_f, rtol=1e-10)


def test_a_fit_is_freed_when_its_last_reference_goes():
    """No reference cycle: a fit (its data-sized arrays with it) goes as soon as the caller
    drops it, not when the cyclic collector next runs (a loop over model variants at
    10^7 rows would otherwise hold a gigabyte a fit); ``fixef`` still works on a fit that
    only a chained call holds, and after a pickle round trip."""
    import gc
    import pickle
    import weakref
    rng = np.random.default_rng(5)
    n = 500
    df = pd.DataFrame({"y": rng.normal(size=n), "c": rng.poisson(2.0, n), "x": rng.normal(size=n),
                       "g": rng.integers(0, 20, n), "h": rng.integers(0, 7, n),
                       "w": rng.uniform(1, 2, n)})
    calls = [lambda: kestrel.feols("y ~ x | g + h", df, {"CRV1": "g"}, weights="w"),
             lambda: kestrel.fepois("c ~ x | g + h", df),
             lambda: kestrel.feols("y ~ 1 | g | x ~ h", df)]
    gc.disable()
    try:
        for call in calls:
            fit = call()
            gone = weakref.ref(fit)
            del fit
            assert gone() is None
        several = kestrel.feols("y ~ csw(x, x^2) | g", df)
        gone = [weakref.ref(f) for f in several]
        del several
        assert all(r() is None for r in gone)
    finally:
        gc.enable()
    values = kestrel.feols("y ~ x | g + h", df).fixef()
    assert set(values) == {"g", "h"}
    fit = kestrel.feols("y ~ x | g + h", df)
    again = pickle.loads(pickle.dumps(fit))
    assert again.fixef == {"g": 20, "h": 7}
    pd.testing.assert_series_equal(again.fixef()["g"], fit.fixef()["g"])
