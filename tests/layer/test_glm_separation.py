"""Separation in Poisson models: the labelled data sets of ppmlhdfe's test suite (in
/work/shared/data/separation, README there), every row matched: the rows a fit leaves out
as separated are exactly those labelled, with the default checks ("fe" then the iterated
rectifier), singletons kept as the labels were made. The estimates on the rows left then
exist: the fit converges, and on the files without fixed effects it agrees with statsmodels'
GLM on those rows."""

import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import kestrel
from conftest import need

DATA = Path("/work/shared/data/separation")
FILES = sorted(DATA.glob("*.csv")) if DATA.is_dir() else []
pytestmark = pytest.mark.skipif(not FILES, reason="the separation data sets are not here")


def model(df):
    xs = [c for c in df if c.startswith("x")]
    ids = [c for c in df if c.startswith("id")]
    return "y ~ " + (" + ".join(xs) if xs else "1") + (" | " + " + ".join(ids) if ids else "")


def fit(df, **kw):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        out = kestrel.fepois(model(df), df, "iid", drop_singletons=False, **kw)
    return out, caught


@pytest.mark.parametrize("path", FILES, ids=[p.stem for p in FILES])
def test_separated_rows_match_the_labels(path):
    df = pd.read_csv(path)
    out, caught = fit(df)
    labelled = df["separated"].to_numpy().astype(bool)
    np.testing.assert_array_equal(~out.mask, labelled)
    assert out.n_separated == labelled.sum()
    assert out.converged
    named = [w for w in caught if issubclass(w.category, kestrel.SeparationWarning)]
    assert bool(named) == bool(labelled.any())
    if named:
        shown = ", ".join(map(str, np.flatnonzero(labelled)[:10]))
        assert shown in str(named[0].message)


@pytest.mark.parametrize("path", [p for p in FILES if "id1" not in pd.read_csv(p)],
                         ids=lambda p: p.stem)
def test_estimates_on_the_rows_left_agree_with_statsmodels(path):
    sm = need("statsmodels.api", "GLM oracle")
    df = pd.read_csv(path)
    out, _ = fit(df, glm_tol=1e-13)
    kept = df[df["separated"] == 0]
    X = sm.add_constant(kept[[c for c in df if c.startswith("x")]].astype(float),
                        has_constant="add")
    # The columns the fit kept (collinear ones, such as a regressor zero on every row left,
    # are dropped by both).
    names = ["const" if n == "Intercept" else n for n in out.coef_names]
    ref = sm.GLM(kept["y"], X[names], family=sm.families.Poisson()).fit(tol=1e-13,
                                                                        maxiter=500)
    np.testing.assert_allclose(out.coef().to_numpy(), ref.params[names].to_numpy(),
                               rtol=1e-6, atol=1e-9)


def test_fe_check_alone_misses_what_the_rectifier_finds():
    df = pd.read_csv(DATA / "15.csv")  # separated by a regressor, no fixed effects
    # Without the rectifier no row is dropped, and x3's coefficient runs off towards minus
    # infinity until the deviance stops changing: an estimate that does not exist.
    for checks in ("fe", ()):
        out, _ = fit(df, separation=checks)
        assert out.n_separated == 0
        assert out.coef()["x3"] < -10
    out, _ = fit(df)
    assert out.n_separated == int(df["separated"].sum())


def test_all_zero_fixed_effect_groups_dropped_repeatedly():
    # Level b of id1 is all zero; once it is out, level 2 of id2 is left with zeros only.
    df = pd.DataFrame({"y": [0, 0, 0, 1, 2, 3, 1, 0],
                       "x": [0.1, 0.4, 0.2, 0.3, 0.9, 0.5, 0.7, 0.8],
                       "id1": ["b", "b", "a", "a", "c", "c", "a", "c"],
                       "id2": [1, 2, 2, 1, 1, 3, 3, 3]})
    out, caught = fit(df, separation="fe")
    np.testing.assert_array_equal(np.flatnonzero(~out.mask), [0, 1, 2])
    assert out.n_separated == 3
