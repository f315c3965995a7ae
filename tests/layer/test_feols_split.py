"""Samples of one call: split= (one fit per level), fsplit= (the full sample first) and
subset= (the rows to fit). The oracles: pyfixest's split and fsplit, and explicit loops
fitting each subset of the data alone."""

import warnings

import numpy as np
import pandas as pd
import pytest
from layer_support import close, panel, quiet

import kestrel
from conftest import need


@pytest.fixture(scope="module")
def data():
    df = panel()
    df["num"] = np.where(np.arange(len(df)) % 3 == 0, 1.0, 2.0)  # levels shown as 1 and 2
    return df


def alone(fml, df, rows, **kwargs):
    """The fit of ``rows`` alone, in a frame of their own."""
    return kestrel.feols(fml, df[rows].reset_index(drop=True), **kwargs)


def same_fit(fit, other, rows=None):
    """The same estimates (bit for bit: the same rows in the same order) and statistics; the
    mask of ``fit`` over all rows is ``other``'s mask placed at ``rows``."""
    assert fit.coef_names == other.coef_names
    np.testing.assert_array_equal(fit.coef().to_numpy(), other.coef().to_numpy())
    np.testing.assert_array_equal(fit.se().to_numpy(), other.se().to_numpy())
    assert (fit.nobs, fit.n_missing, fit.n_singletons) == \
        (other.nobs, other.n_missing, other.n_singletons)
    if rows is not None:
        expected = np.zeros(len(rows), dtype=bool)
        expected[np.flatnonzero(rows)[other.mask]] = True
        np.testing.assert_array_equal(fit.mask, expected)


@pytest.mark.peers
@pytest.mark.parametrize("option", ["split", "fsplit"])
@pytest.mark.parametrize("fml,vcov", [
    ("y ~ x1 + x2 | worker + firm", {"CRV1": "worker"}),
    ("y ~ csw(x1, x2) | firm", "hetero"),
    ("y ~ x1 + i(region)", "iid"),
])
def test_splits_match_pyfixest(data, option, fml, vcov):
    pf = need("pyfixest")
    ours = kestrel.feols(fml, data, vcov, fixef_tol=1e-13, **{option: "g"})
    theirs = quiet(pf.feols, fml, data, vcov=vcov, **{option: "g"},
                   demeaner=pf.MapDemeaner(fixef_tol=1e-13, fixef_maxiter=100_000))
    theirs = list(theirs.all_fitted_models.values())
    assert len(ours) == len(theirs) == (4 if "csw" not in fml else 8) + (option == "fsplit") * (
        1 if "csw" not in fml else 2)
    for fit, peer in zip(ours, theirs):  # both: the full sample, then levels in order
        split_value = peer._sample_split_value
        if option == "fsplit" and fit is ours[0]:
            assert fit.sample == "full sample"
        else:
            assert fit.sample in (f"g = {split_value}", "full sample")
        assert fit.nobs == peer._N
        close(fit.coef(), peer.coef(), 1e-10)
        close(fit.se(), peer.se(), 1e-8)


def test_each_split_is_the_fit_of_its_rows_alone(data):
    fits = kestrel.feols("y ~ x1 + x2 | worker + firm", data, {"CRV1": "firm"}, fsplit="g")
    assert fits.keys() == ["y ~ x1 + x2 | worker + firm; full sample"] + [
        f"y ~ x1 + x2 | worker + firm; g = {g}" for g in "abcd"]
    same_fit(fits[0], kestrel.feols("y ~ x1 + x2 | worker + firm", data, {"CRV1": "firm"}))
    for level, fit in zip("abcd", fits[1:]):
        rows = (data["g"] == level).to_numpy()
        same_fit(fit, alone("y ~ x1 + x2 | worker + firm", data, rows, vcov={"CRV1": "firm"}),
                 rows)
        assert fits[f"g = {level}"] is fit
        np.testing.assert_array_equal(fit.resid(full=True)[~rows], np.nan)


def test_instrumental_variables_and_multiple_estimation_split(data):
    iv = kestrel.feols("y ~ x2 | firm | x1 ~ x3", data, split="region")
    assert len(iv) == 6
    for fit, level in zip(iv, [f"r{r}" for r in range(6)]):
        rows = (data["region"] == level).to_numpy()
        same_fit(fit, alone("y ~ x2 | firm | x1 ~ x3", data, rows), rows)
        assert fit.first_stage is not None
    multi = kestrel.feols("y + y2 ~ sw(x1, x2) | firm", data, split="num")
    assert multi.keys()[:5] == ["y ~ x1 | firm; num = 1", "y ~ x2 | firm; num = 1",
                                "y2 ~ x1 | firm; num = 1", "y2 ~ x2 | firm; num = 1",
                                "y ~ x1 | firm; num = 2"]
    rows = (data["num"] == 2).to_numpy()
    solo = alone("y2 ~ x2 | firm", data, rows)
    close(multi["y2 ~ x2 | firm; num = 2"].coef(), solo.coef(), 1e-8)


def test_subset_as_mask_series_or_column(data):
    rows = (data["x2"] > 0).to_numpy()
    expected = alone("y ~ x1 | firm", data, rows)
    for subset in (rows, pd.Series(rows, index=data.index), list(rows),
                   pd.array(rows, dtype="boolean")):
        fit = kestrel.feols("y ~ x1 | firm", data, subset=subset)
        same_fit(fit, expected, rows)
        assert fit.sample is None and fit.formula == "y ~ x1 | firm"
    same_fit(kestrel.feols("y ~ x1 | firm", data.assign(pos=rows), subset="pos"), expected,
             rows)
    # With a split, the levels among the subset's rows; fsplit's full sample is the subset.
    fits = kestrel.feols("y ~ x1 | firm", data, fsplit="g", subset=rows)
    same_fit(fits[0], expected, rows)
    for level, fit in zip("abcd", fits[1:]):
        both = rows & (data["g"] == level).to_numpy()
        same_fit(fit, alone("y ~ x1 | firm", data, both), both)


def test_polars_data_and_a_subset_of_a_few_columns(data):
    pl = need("polars")
    df = data[["y", "x1", "x2", "firm", "g"]]
    ours = kestrel.feols("y ~ x1 + x2 | firm", pl.from_pandas(df), split="g")
    theirs = kestrel.feols("y ~ x1 + x2 | firm", df, split="g")
    for a, b in zip(ours, theirs):
        same_fit(a, b)
        np.testing.assert_array_equal(a.mask, b.mask)


def test_missing_split_values_belong_to_no_level_but_to_the_full_sample(data):
    df = data.assign(h=data["g"].where(np.arange(len(data)) % 10 != 0))
    fits = kestrel.feols("y ~ x1 | firm", df, fsplit="h")
    assert fits[0].nobs == kestrel.feols("y ~ x1 | firm", df).nobs
    assert sum(f.nobs for f in fits[1:]) < fits[0].nobs
    assert [f.sample for f in fits] == ["full sample", "h = a", "h = b", "h = c", "h = d"]


def test_a_level_with_no_rows_to_fit_is_skipped_with_a_warning(data):
    df = data.assign(y=np.where(data["g"] == "b", np.nan, data["y"]))
    with pytest.warns(kestrel.EmptySampleWarning, match="sample g = b"):
        fits = kestrel.feols("y ~ x1 | firm", df, split="g")
    assert [f.sample for f in fits] == ["g = a", "g = c", "g = d"]
    with pytest.raises(ValueError, match="every level was skipped"), \
            warnings.catch_warnings():
        warnings.simplefilter("ignore", kestrel.EmptySampleWarning)
        kestrel.feols("y ~ x1 | firm", df.assign(y=np.nan), split="g")
    # Other mistakes of one level raise, naming it.
    with pytest.raises(ValueError, match="sample g = a: .*two clusters"):
        kestrel.feols("y ~ x1", df.assign(one=data["g"].map({"a": 1, "b": 1, "c": 2, "d": 3})),
                      {"CRV1": "one"}, split="g")


def test_warnings_name_the_sample_and_point_at_the_caller(data):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        kestrel.feols("y ~ x2 + x3 + x4 | firm", data, split="g")
    assert len(caught) == 4
    assert all(w.filename == __file__ for w in caught)
    assert [str(w.message)[:13] for w in caught] == [f"sample g = {g}:" for g in "abcd"]


def test_tables_show_the_sample(data):
    fits = kestrel.feols("y ~ x1 | firm", data, fsplit="num")
    table = str(fits.etable())
    assert "Sample" in table and "full sample" in table and "num = 2" in table
    assert "y ~ x1 | firm; num = 1" in repr(fits)
    assert list(fits.tidy().index.get_level_values(0).unique()) == fits.keys()


def test_mistakes_are_explained(data):
    with pytest.raises(ValueError, match="not both"):
        kestrel.feols("y ~ x1", data, split="g", fsplit="g")
    with pytest.raises(TypeError, match="split must be a column name"):
        kestrel.feols("y ~ x1", data, split=["g"])
    with pytest.raises(KeyError, match="'gg'"):
        kestrel.feols("y ~ x1", data, split="gg")
    with pytest.raises(KeyError, match="'keep'"):
        kestrel.feols("y ~ x1", data, subset="keep")
    with pytest.raises(ValueError, match="one value per row"):
        kestrel.feols("y ~ x1", data, subset=np.ones(5, dtype=bool))
    with pytest.raises(TypeError, match="must be boolean"):
        kestrel.feols("y ~ x1", data, subset=np.arange(len(data)))
    with pytest.raises(TypeError, match="subset column 'x1' must be boolean"):
        kestrel.feols("y ~ x1", data, subset="x1")
    with pytest.raises(ValueError, match="missing values"):
        kestrel.feols("y ~ x1", data, subset=pd.array([True, None] * (len(data) // 2),
                                                      dtype="boolean"))
    with pytest.raises(ValueError, match="index differs"):
        kestrel.feols("y ~ x1", data, subset=pd.Series(True, index=data.index + 1))
    with pytest.raises(ValueError, match="selects no rows"):
        kestrel.feols("y ~ x1", data, subset=np.zeros(len(data), dtype=bool))
    with pytest.raises(KeyError, match="no model"):
        kestrel.feols("y ~ x1", data, split="g")["g = e"]


def test_the_summary_names_the_sample(data):
    fits = kestrel.feols("y ~ x1 | firm", data, split="g")
    assert "Sample           g = b" in str(fits[1].summary())
    assert "Sample" not in str(kestrel.feols("y ~ x1 | firm", data).summary())
