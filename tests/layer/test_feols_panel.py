"""Panel operators in formulas: lags l(x, k), leads f(x, k) and differences d(x, k) by period
within each panel unit. The oracles: pandas, lagging by merging each row with the row of the
same unit at period t - k (gaps give missing values), and groupby().shift() on the data
reindexed to the full (unit, period) grid; the models fitted on those columns by pyfixest
(which has no panel operators) and by kestrel itself without operators."""

import warnings

import numpy as np
import pandas as pd
import pytest
from layer_support import close, quiet

import kestrel
from kestrel import panel as pn
from conftest import need


def unbalanced(n_units=120, n_years=9, seed=3, step=1):
    """A panel with gaps (15% of unit-years absent), rows shuffled, string unit ids."""
    rng = np.random.default_rng(seed)
    unit = np.repeat(np.arange(n_units), n_years)
    year = np.tile(2000 + step * np.arange(n_years), n_units)
    df = pd.DataFrame({"id": [f"u{u:03d}" for u in unit], "year": year})
    df = df[rng.random(len(df)) > 0.15].sample(frac=1.0, random_state=seed)
    df = df.reset_index(drop=True)
    n = len(df)
    df["x"] = rng.normal(size=n)
    df["z"] = rng.normal(size=n)
    df["w"] = rng.normal(size=n)
    df.loc[rng.choice(n, 10, replace=False), "x"] = np.nan
    df["y"] = 0.5 * df["x"].fillna(0) - 0.2 * df["z"] + rng.normal(size=n)
    df["g"] = rng.choice(list("abc"), n)
    return df


def merged(df, var, k, step=1, unit="id", time="year"):
    """var at period t - k of the same unit, by merging on (unit, t - k): NaN where absent."""
    source = df[[unit, time, var]].rename(columns={var: "_v"})
    source[time] = source[time] + k * step
    return df[[unit, time]].merge(source, on=[unit, time], how="left")["_v"].to_numpy()


def shifted(df, var, k, unit="id", time="year"):
    """var lagged by k periods with groupby().shift() on the full (unit, year) grid, read back
    at the data's rows."""
    grid = pd.MultiIndex.from_product([df[unit].unique(),
                                       range(df[time].min(), df[time].max() + 1)],
                                      names=[unit, time])
    full = df.set_index([unit, time])[var].reindex(grid)
    lagged = full.groupby(level=unit).shift(k)
    return lagged.reindex(pd.MultiIndex.from_frame(df[[unit, time]])).to_numpy()


@pytest.fixture(scope="module")
def df():
    return unbalanced()


def with_columns(df, step=1):
    out = df.copy()
    for k in (1, 2):
        out[f"lx{k}"] = merged(df, "x", k, step)
        out[f"lz{k}"] = merged(df, "z", k, step)
    out["fz1"] = merged(df, "z", -1, step)
    out["ly1"] = merged(df, "y", 1, step)
    out["dx1"] = df["x"] - out["lx1"]
    out["dx2"] = df["x"] - out["lx2"]
    return out


@pytest.mark.parametrize("ids", ["strings", "dense integers", "sparse integers"])
def test_the_operators_columns_match_pandas_merge_and_shift_on_the_full_grid(df, ids):
    from kestrel.data import Frame

    number = df["id"].str[1:].astype(np.int64)
    if ids != "strings":  # their own codes when dense, hashed when spread out
        df = df.assign(id=number * (1 if ids == "dense integers" else 10**12) - 7)

    frame = Frame(df)
    declared = pn.Declared(("id",), "year")
    ops = [pn.Op("l", "x", 1), pn.Op("l", "x", 3), pn.Op("l", "z", -2), pn.Op("d", "x", 1),
           pn.Op("d", "x", -1)]
    cols, _ = pn.compute(frame, declared, ops)
    for k in (1, 3, -2):
        var = "z" if k < 0 else "x"
        name = f"l({var}, {k})" if k > 0 else f"f({var}, {-k})"
        np.testing.assert_array_equal(cols[name], merged(df, var, k))
        np.testing.assert_array_equal(cols[name], shifted(df, var, k))
    np.testing.assert_array_equal(cols["d(x, 1)"], df["x"] - shifted(df, "x", 1))
    np.testing.assert_array_equal(cols["d(x, -1)"], df["x"] - shifted(df, "x", -1))
    # A gap gives a missing lag, never the previous row's value.
    unit = df[(number == 0).to_numpy()].sort_values("year")
    gaps = unit["year"].diff().to_numpy() > 1
    assert gaps.any()
    assert np.isnan(cols["l(x, 1)"][unit.index[gaps]]).all()


@pytest.mark.peers
@pytest.mark.parametrize("fml,columns,vcov", [
    ("y ~ l(x, 0:2) + f(z) | id + year", "y ~ x + lx1 + lx2 + fz1 | id + year", "iid"),
    ("y ~ d(x) + l(z, -1) + w | id", "y ~ dx1 + fz1 + w | id", {"CRV1": "id"}),
    ("l(y, 1) ~ x + d(x, 2) | year", "ly1 ~ x + dx2 | year", "hetero"),
    ("y ~ w + l(z, 1):w", "y ~ w + lz1:w", "iid"),
], ids=["lags-and-lead", "difference", "lagged-outcome", "interaction"])
def test_fits_with_operators_match_pyfixest_on_merged_columns(df, fml, columns, vcov):
    pf = need("pyfixest")
    ours = kestrel.feols(fml, df, vcov, panel_id="id", time_id="year", fixef_tol=1e-13)
    data = with_columns(df)
    plain = kestrel.feols(columns, data, vcov, fixef_tol=1e-13)
    theirs = quiet(pf.feols, columns, data, vcov=vcov,
                   demeaner=pf.MapDemeaner(fixef_tol=1e-13, fixef_maxiter=100_000))
    assert ours.nobs == plain.nobs == theirs._N
    assert ours.n_missing == plain.n_missing
    assert ours.n_missing + ours.n_singletons + ours.nobs == len(df)
    np.testing.assert_array_equal(ours.mask, plain.mask)
    np.testing.assert_array_equal(ours.coef().to_numpy(), plain.coef().to_numpy())
    close(ours.coef(), theirs.coef(), 1e-10)
    close(ours.se(), theirs.se(), 1e-8)


def test_names_follow_fixest(df):
    fit = kestrel.feols("y ~ l(x, 0:2) + l(z, -1) + f(w, -1) + d(z) + d(x, 3)", df,
                        panel=("id", "year"))
    assert fit.coef_names == ["Intercept", "x", "l(x, 1)", "l(x, 2)", "f(z, 1)", "l(w, 1)",
                              "d(z, 1)", "d(x, 3)"]
    assert fit.formula == "y ~ l(x, 0:2) + l(z, -1) + f(w, -1) + d(z) + d(x, 3)"
    assert kestrel.feols("y ~ l(x, 2:1) + l(x, k=3)", df, panel=("id", "year")).coef_names \
        == ["Intercept", "l(x, 2)", "l(x, 1)", "l(x, 3)"]


def test_instruments_and_endogenous_regressors_can_be_lagged(df):
    ours = kestrel.feols("y ~ w | id | l(x, 1) ~ l(z, 1:2)", df, panel_id="id",
                         time_id="year")
    plain = kestrel.feols("y ~ w | id | lx1 ~ lz1 + lz2", with_columns(df))
    assert ours.coef_names == ["w", "l(x, 1)"]
    np.testing.assert_allclose(ours.coef().to_numpy(), plain.coef().to_numpy(), rtol=1e-12)
    np.testing.assert_allclose(ours.se().to_numpy(), plain.se().to_numpy(), rtol=1e-12)


def test_row_order_does_not_matter_and_the_data_is_left_alone(df):
    before = df.copy()
    a = kestrel.feols("y ~ l(x) + f(z) | id", df, panel_id="id", time_id="year")
    order = df.sort_values(["id", "year"]).index
    b = kestrel.feols("y ~ l(x) + f(z) | id", df.loc[order].reset_index(drop=True),
                      panel_id="id", time_id="year")
    pd.testing.assert_frame_equal(df, before)
    close(a.coef(), b.coef(), 1e-12)
    np.testing.assert_array_equal(np.flatnonzero(a.mask), np.sort(order[b.mask]))


def test_time_counts_in_steps_of_the_common_gap_or_by_distinct_values():
    # Every other year: l(x, 1) is the value two years before (fixest's default step).
    df = unbalanced(step=2, seed=5)
    a = kestrel.feols("y ~ l(x) + l(x, 2)", df, panel=("id", "year"))
    b = kestrel.feols("y ~ lx1 + lx2", with_columns(df, step=2))
    close(a.coef(), b.coef(), 1e-12)
    assert a.nobs == b.nobs
    # Dates and strings: each distinct value is the period after the one before.
    dated = df.assign(when=pd.to_datetime(df["year"].astype(str) + "-06-30"),
                      label="Y" + df["year"].astype(str))
    for time in ("when", "label"):
        c = kestrel.feols("y ~ l(x) + l(x, 2)", dated, panel=("id", time))
        close(c.coef(), b.coef(), 1e-12)
    # A float column of whole numbers is read as integers.
    d = kestrel.feols("y ~ l(x) + l(x, 2)", df.assign(year=df["year"].astype(float)),
                      panel=("id", "year"))
    close(d.coef(), b.coef(), 1e-12)


def test_a_single_time_series_needs_only_time_id():
    rng = np.random.default_rng(0)
    ts = pd.DataFrame({"t": np.r_[1:40, 41:60], "x": rng.normal(size=58)})
    ts["y"] = ts["x"] + rng.normal(size=58)
    fit = kestrel.feols("y ~ l(x, 0:1)", ts, time_id="t")
    lag = merged(ts.assign(id=0), "x", 1, unit="id", time="t")
    plain = kestrel.feols("y ~ x + lag", ts.assign(lag=lag))
    close(fit.coef(), plain.coef(), 1e-12)
    assert fit.nobs == 56  # the first period and the one after the gap have no lag


def test_rows_with_a_missing_lag_are_counted_as_missing(df):
    fit = kestrel.feols("y ~ l(x, 1) | id", df, panel_id="id", time_id="year",
                        drop_singletons=False)
    missing = np.isnan(merged(df, "x", 1))
    assert fit.n_missing == missing.sum()
    np.testing.assert_array_equal(fit.mask, ~missing)


def test_duplicate_unit_periods_are_refused_naming_one():
    df = pd.DataFrame({"id": [1, 1, 2, 2, 2], "year": [1, 2, 1, 3, 3],
                       "x": [1.0, 2, 3, 4, 5], "y": [1.0, 2, 3, 4, 6]})
    with pytest.raises(ValueError, match=r"several rows for id=2, year=3"):
        kestrel.feols("y ~ l(x)", df, panel_id="id", time_id="year")
    # Without operators the panel is not needed, and duplicates do not matter.
    assert kestrel.feols("y ~ x", df, panel_id="id", time_id="year").nobs == 5


def test_lagged_fits_predict_on_new_data_with_lags_computed_within_it(df):
    fit = kestrel.feols("y ~ l(x, 0:1) + d(z) | id", df, panel_id="id", time_id="year")
    plain = kestrel.feols("y ~ x + lx1 + dz | id", with_columns(df).assign(
        dz=lambda d: d["z"] - merged(df, "z", 1)))
    new = df[df["year"] >= 2004].reset_index(drop=True)
    expected = plain.predict(new.assign(lx1=merged(new, "x", 1),
                                        dz=new["z"] - merged(new, "z", 1)))
    got = fit.predict(new)
    np.testing.assert_allclose(got, expected, rtol=1e-10)
    assert np.isnan(got[new["year"].to_numpy() == 2004]).all()  # no 2003 in newdata
    np.testing.assert_allclose(fit.predict(), plain.predict(), rtol=1e-10)
    with pytest.raises(KeyError, match="year"):
        fit.predict(new.drop(columns="year"))


def test_polars_data(df):
    pl = need("polars")
    a = kestrel.feols("y ~ l(x) + f(z) | id", pl.from_pandas(df), panel_id="id",
                      time_id="year")
    b = kestrel.feols("y ~ l(x) + f(z) | id", df, panel_id="id", time_id="year")
    np.testing.assert_array_equal(a.coef().to_numpy(), b.coef().to_numpy())


def test_multiple_estimation_with_operators(df):
    fits = kestrel.feols("y + l(y) ~ sw(l(x), l(x, 1:2)) | id", df, panel=("id", "year"))
    assert fits.keys() == ["y ~ l(x, 1) | id", "y ~ l(x, 1) + l(x, 2) | id",
                           "l(y, 1) ~ l(x, 1) | id", "l(y, 1) ~ l(x, 1) + l(x, 2) | id"]
    alone = kestrel.feols("l(y, 1) ~ l(x, 1:2) | id", df, panel=("id", "year"))
    close(fits["l(y, 1) ~ l(x, 1) + l(x, 2) | id"].coef(), alone.coef(), 1e-8)


def test_mistakes_are_explained(df):
    with pytest.raises(ValueError, match="panel_id= and time_id="):
        kestrel.feols("y ~ l(x)", df)
    with pytest.raises(ValueError, match="needs time_id"):
        kestrel.feols("y ~ l(x)", df, panel_id="id")
    with pytest.raises(ValueError, match="not both"):
        kestrel.feols("y ~ l(x)", df, panel=("id", "year"), panel_id="id")
    with pytest.raises(ValueError, match="pair of column names"):
        kestrel.feols("y ~ l(x)", df, panel="id")
    with pytest.raises(KeyError, match="'yr'"):
        kestrel.feols("y ~ l(x)", df, panel_id="id", time_id="yr")
    with pytest.raises(KeyError, match="'xx'"):
        kestrel.feols("y ~ l(xx)", df, panel_id="id", time_id="year")
    with pytest.raises(TypeError, match="'id'"):
        kestrel.feols("y ~ l(id)", df, panel_id="id", time_id="year")
    with pytest.raises(ValueError, match="integer such as 1"):
        kestrel.feols("y ~ l(x, 1.5)", df, panel_id="id", time_id="year")
    with pytest.raises(ValueError, match="zero everywhere"):
        kestrel.feols("y ~ d(x, 0)", df, panel_id="id", time_id="year")
    with pytest.raises(ValueError, match="do not nest"):
        kestrel.feols("y ~ l(d(x))", df, panel_id="id", time_id="year")
    with pytest.raises(ValueError, match="only option"):
        kestrel.feols("y ~ l(x, fill=0)", df, panel_id="id", time_id="year")
    with pytest.raises(ValueError, match="several columns"):
        kestrel.feols("y ~ np.log(l(x, 1:2))", df, panel_id="id", time_id="year")
    with pytest.raises(ValueError, match="rename"):
        kestrel.feols("y ~ l(x)", df.assign(**{"l(x, 1)": 1.0}), panel_id="id",
                      time_id="year")


def test_a_callers_own_function_named_like_an_operator_is_called_without_a_panel(df):
    def f(v):
        return v * 2

    fit = kestrel.feols("y ~ f(x)", df)
    assert fit.coef_names == ["Intercept", "f(x)"]
    # With a panel, f() is the lead.
    assert kestrel.feols("y ~ f(x)", df, panel=("id", "year")).coef_names == \
        ["Intercept", "f(x, 1)"]


def test_lags_are_taken_before_a_subset_and_agree_with_lags_of_the_full_data(df):
    keep = (df["year"] % 2 == 0).to_numpy()
    fit = kestrel.feols("y ~ l(x) | id", df, panel=("id", "year"), subset=keep)
    plain = kestrel.feols("y ~ lx1 | id", with_columns(df)[keep])
    close(fit.coef(), plain.coef(), 1e-12)
    assert not (fit.mask & ~keep).any()


def test_operators_in_the_fixed_effects_are_refused(df):
    with pytest.raises(ValueError, match="fixed effect"):
        kestrel.feols("y ~ x | l(id)", df, panel=("id", "year"))


def test_warnings_point_at_the_caller(df):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        kestrel.feols("y ~ x + l(x) + d(x) | id", df, panel=("id", "year"))
    assert caught and all(w.filename == __file__ for w in caught)


def test_newey_west_and_driscoll_kraay_default_to_the_panel_given(df):
    for kind, kwargs in (("NW", {"time_id": "year", "panel_id": "id"}),
                         ("DK", {"time_id": "year"})):
        a = kestrel.feols("y ~ l(x) | id", df, kind, panel=("id", "year"))
        b = kestrel.feols("y ~ l(x) | id", df, kind, vcov_kwargs=kwargs, panel=("id", "year"))
        np.testing.assert_array_equal(a.se().to_numpy(), b.se().to_numpy())
        assert a.vcov_type == b.vcov_type


def test_dates_predict_on_new_data_in_the_fits_periods(df):
    dated = df.assign(when=pd.to_datetime(df["year"].astype(str) + "-12-31"))
    fit = kestrel.feols("y ~ l(x) | id", dated, panel=("id", "when"))
    by_year = kestrel.feols("y ~ l(x) | id", dated, panel=("id", "year"))
    new = dated[dated["year"].isin([2003, 2004, 2006])].reset_index(drop=True)
    # 2005 is absent from newdata: the lag of 2006 is missing, as with integer years.
    np.testing.assert_allclose(fit.predict(new), by_year.predict(new), rtol=1e-10)
    assert np.isnan(fit.predict(new)[new["year"].to_numpy() == 2006]).all()


def test_large_or_long_operators_are_refused_or_read_in_linear_time(df):
    with pytest.raises(ValueError, match="at most 1,000"):
        kestrel.feols("y ~ l(x, 0:1000000000)", df, panel=("id", "year"))
    with pytest.raises(ValueError, match="integer such as 1"):
        kestrel.feols("y ~ l(x, " + "9" * 5000 + ")", df, panel=("id", "year"))
    with pytest.raises(ValueError, match="no rows left"):  # beyond every period: all missing
        kestrel.feols("y ~ l(x, 999999999999)", df, panel=("id", "year"))
    # Each bracket looks back over the name before it only (quadratic, this would take
    # minutes).
    with pytest.raises(ValueError):
        kestrel.feols("y ~ l(x) + " + "(" * 20000 + " " * 20000, df, panel=("id", "year"))
