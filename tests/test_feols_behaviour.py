"""What feols promises about data, warnings and the result object."""

import io
import warnings

import numpy as np
import pandas as pd
import pytest
from layer_support import panel

import kestrel
from kestrel.prediction import UnseenLevelWarning
from kestrel.progress import progress_line

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
    pl = pytest.importorskip("polars")
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
