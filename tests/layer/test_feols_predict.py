"""fit.fixef() and fit.predict() against pyfixest (its least-squares solve run to a tight
tolerance) and dummy-variable least squares with the references set to 0, where pyfixest
does not go (combined and disconnected fixed effects, 2SLS)."""

import numpy as np
import pandas as pd
import pytest
from layer_support import dummies, quiet

import kestrel
from kestrel.prediction import IrregularFixedEffectsWarning, UnseenLevelWarning
from conftest import need

pf = need("pyfixest")
TIGHT = dict(atol=1e-14, btol=1e-14)


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(2)
    n = 3000
    df = pd.DataFrame({"f1": rng.integers(0, 60, n), "f3": rng.integers(0, 5, n),
                       "f2": rng.choice([f"s{i:02d}" for i in range(15)], n),
                       "c": rng.choice(list("abc"), n)})
    df["x"], df["z"] = rng.normal(size=(2, n))
    df["d"] = df.z + 0.5 * df.x + rng.normal(size=n)
    df["y"] = df.x + 0.5 * df.d + 0.03 * df.f1 + (df.c == "b") + rng.normal(size=n)
    return df


def oracle(fit, used, X, fe_cols, references):
    """Least squares of y - X beta on the fixed effects' dummies (columns of ``used``), the
    reference levels' columns left out (so they are 0)."""
    r = used.y.to_numpy() - X @ fit.coef().to_numpy()
    blocks, labels = [], []
    for col in fe_cols:
        levels, codes = np.unique(used[col].to_numpy(), return_inverse=True)
        keep = [j for j, lev in enumerate(levels) if (col, lev) not in references]
        blocks.append(dummies(codes)[:, keep])
        labels += [(col, levels[j]) for j in keep]
    alpha = np.linalg.lstsq(np.hstack(blocks), r, rcond=None)[0]
    return dict(zip(labels, alpha))


def fe_part(values, frame):
    """The fixed effects' sum at each row of ``frame`` from fit.fixef()'s values."""
    total = 0.0
    for s in values.values():
        keys = (pd.MultiIndex.from_frame(frame[s.index.names]) if s.index.nlevels > 1
                else frame[s.index.name])
        total = total + s.reindex(keys).to_numpy()
    return total


@pytest.mark.parametrize("fml", ["y ~ x | f1", "y ~ x + C(c) | f2 + f1", "y ~ x | f1 + f2 + f3"])
def test_values_and_predictions_match_pyfixest(data, fml):
    ours = kestrel.feols(fml, data, fixef_tol=1e-13)
    theirs = quiet(pf.feols, fml, data,
                   demeaner=pf.MapDemeaner(fixef_tol=1e-13, fixef_maxiter=100_000))
    values, expected = ours.fixef(tol=1e-13), quiet(theirs.fixef, **TIGHT)
    for (name, s), their in zip(values.items(), expected.values()):
        their = pd.Series(their)
        ours_by_label = pd.Series(s.to_numpy(), index=s.index.astype(str))
        np.testing.assert_allclose(ours_by_label[their.index], their, atol=1e-9)
        # pyfixest leaves out the references of every fixed effect after the first.
        assert (ours_by_label.drop(their.index) == 0.0).all()
        assert len(ours_by_label) - len(their) == (0 if name == fml.split("| ")[1][:2] else 1)
    new = data.sample(300, random_state=3)
    np.testing.assert_allclose(ours.predict(new), quiet(theirs.predict, newdata=new, **TIGHT),
                               atol=1e-9)
    np.testing.assert_allclose(ours.predict(), theirs.predict(), atol=1e-9)


def test_disconnected_fixed_effects_get_one_reference_per_component():
    """Two blocks of workers and firms that never meet: each block's first firm is 0."""
    rng = np.random.default_rng(4)
    n = 600
    block = rng.integers(0, 2, n)
    df = pd.DataFrame({"worker": block * 100 + rng.integers(0, 30, n),
                       "firm": block * 10 + rng.integers(0, 6, n), "x": rng.normal(size=n)})
    df["y"] = df.x + 0.1 * df.worker - 0.3 * df.firm + rng.normal(size=n)
    fit = kestrel.feols("y ~ x | worker + firm", df, fixef_tol=1e-13)
    values = fit.fixef(tol=1e-13)
    assert values["firm"][0] == 0.0 and values["firm"][10] == 0.0
    used = df[fit.mask]
    expected = oracle(fit, used, used[["x"]].to_numpy(), ["worker", "firm"],
                      {("firm", 0), ("firm", 10)})
    for (name, level), value in expected.items():
        assert values[name][level] == pytest.approx(value, abs=1e-9)


def test_combined_fixed_effects_and_iv_match_dummy_least_squares(data):
    fit = kestrel.feols("y ~ x | f1^f3 + f2 | d ~ z", data, fixef_tol=1e-13)
    values = fit.fixef(tol=1e-13)
    assert values["f1^f3"].index.names == ["f1", "f3"]
    used = data[fit.mask].assign(key=lambda d: list(zip(d.f1, d.f3)))
    used = used.assign(f1f3=pd.factorize(used.key, sort=True)[0])
    expected = oracle(fit, used, used[["x", "d"]].to_numpy(), ["f1f3", "f2"], {("f2", "s00")})
    combined = values["f1^f3"].to_numpy()  # sorted by (f1, f3), as the factorisation
    np.testing.assert_allclose([expected[("f1f3", j)] for j in range(len(combined))],
                               combined, atol=1e-9)
    # 2SLS predicts from the observed endogenous regressor.
    np.testing.assert_allclose(fit.predict(data), fit.predict(), atol=1e-9)
    X = data[["x", "d"]].to_numpy()
    np.testing.assert_allclose(fit.predict(data), X @ fit.coef().to_numpy()
                               + fe_part(values, data), atol=1e-12)


def test_unseen_levels_and_missing_values_predict_nan(data):
    fit = kestrel.feols("y ~ x + C(c) + x:c | f1 + f2", data)
    new = data.head(5).copy()
    new.loc[0, "f1"] = 999  # a fixed-effect level not in the fit
    new.loc[1, "c"] = "q"  # a category not in the fit (through C() and formulaic's x:c)
    new.loc[2, "x"] = np.nan
    new["f2"] = new.f2.astype(object)
    new.loc[3, "f2"] = None
    with pytest.warns(UnseenLevelWarning, match="2 of 5 rows"):
        pred = fit.predict(new)
    assert np.isnan(pred[:4]).all() and np.isfinite(pred[4])


def test_values_are_kept_and_irregular_designs_are_flagged(data):
    fit = kestrel.feols("y ~ x | f1 + f2", data)
    first = fit.fixef()
    first["f1"][:] = 0.0  # the caller's copy
    assert (fit.fixef()["f1"] != 0.0).any()
    assert dict(fit.fixef) == {"f1": 60, "f2": 15}  # still the levels by name
    twice = data.assign(g=data.f1)
    with pytest.warns(IrregularFixedEffectsWarning):
        kestrel.feols("y ~ x | f1 + f2 + g", twice).fixef()
    with pytest.raises(ValueError, match="has no fixed effects"):
        kestrel.feols("y ~ x", data).fixef()


# Stateful transforms: learnt on the fit's rows, applied as learnt to new data -------------

@pytest.fixture(scope="module")
def gappy(data):
    """The module's data with missing values in x, d and an identifier, and new rows whose
    x and z spread beyond the fit's (a transform learnt again on them would move)."""
    df = data.copy()
    rng = np.random.default_rng(8)
    df.loc[rng.choice(len(df), 60, replace=False), "x"] = np.nan
    df.loc[rng.choice(len(df), 40, replace=False), "d"] = np.nan
    df["f2"] = df.f2.astype(object)
    df.loc[rng.choice(len(df), 20, replace=False), "f2"] = None
    new = data.sample(200, random_state=5).assign(x=lambda d: 3.0 * d.x + 1.0,
                                                  z=lambda d: 0.8 * d.z - 0.2)
    return df, new


def test_center_and_splines_match_statsmodels_on_the_rows_used(gappy):
    """statsmodels (patsy's center and bs, which formulaic's equal) on the rows without
    missing values: the same coefficients, and the same predictions on new data, where
    both apply the training mean and knots."""
    smf = need("statsmodels.formula.api")
    df, new = gappy
    fml = "y ~ center(x) + bs(z, df=4) + d"
    fit = kestrel.feols(fml, df, "iid")
    used = df.dropna(subset=["y", "x", "z", "d"])
    theirs = smf.ols(fml, used).fit()
    assert fit.nobs == len(used)
    np.testing.assert_allclose(fit.coef().to_numpy(), theirs.params.to_numpy(), rtol=1e-9)
    np.testing.assert_allclose(fit.se().to_numpy(), theirs.bse.to_numpy(), rtol=1e-9)
    np.testing.assert_allclose(fit.predict(new), theirs.predict(new).to_numpy(), rtol=1e-9)
    b = fit.coef()  # by hand: the mean of the rows used, not of the new rows
    spline = fit.predict(new.assign(x=used.x.mean(), d=0.0)) - b["Intercept"]
    np.testing.assert_allclose(fit.predict(new), b["Intercept"] + b["center(x)"]
                               * (new.x - used.x.mean()) + spline + b["d"] * new.d,
                               rtol=1e-12)
    # Beyond the fit's boundary knots the spline is not extended silently.
    with pytest.raises(ValueError, match=r"cannot evaluate .*bs\(z, df=4\).* extend beyond"):
        fit.predict(new.assign(z=3.0 * new.z))


@pytest.mark.parametrize("transformed,plain", [
    ("poly(x, 2)", "x + I(x**2)"),
    ("poly(z, 3) + scale(x)", "z + I(z**2) + I(z**3) + x"),
    ("center(x) + scale(z)", "x + z"),
])
def test_transforms_predict_as_the_same_model_in_plain_columns(gappy, transformed, plain):
    """poly, center and scale reparametrise plain columns: with the parameters learnt on
    the fit's rows the predictions on new data are those of the plain model; learnt again
    on the new rows, they would not be."""
    df, new = gappy
    for fe in (" | f1 + f2", ""):
        ours = kestrel.feols(f"y ~ {transformed} + d{fe}", df, fixef_tol=1e-13)
        plain_fit = kestrel.feols(f"y ~ {plain} + d{fe}", df, fixef_tol=1e-13)
        np.testing.assert_allclose(ours.predict(), plain_fit.predict(), atol=1e-9)
        np.testing.assert_allclose(ours.predict(new), plain_fit.predict(new), atol=1e-9)
        np.testing.assert_allclose(ours.predict(df)[ours.mask], ours.predict(), atol=1e-9)
