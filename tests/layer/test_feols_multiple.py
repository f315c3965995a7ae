"""Multiple estimation: several dependent variables and stepwise regressors or fixed effects
in one call. Every model matches pyfixest's multiple estimation of the same formula
(coefficients 1e-10 relative, standard errors 1e-8) and the single fit of the same model;
models that share fixed effects and rows are absorbed in one call of the engine."""

import warnings

import numpy as np
import pytest
from layer_support import panel

import kestrel
from kestrel import _core
from conftest import need

COEF, SE = 1e-10, 1e-8


@pytest.fixture(scope="module")
def data():
    df = panel()
    df["y3"] = df["y"] * 0.5 + df["x3"]
    df.loc[df.index[::97], "y3"] = np.nan  # a sample of its own
    return df


def close(ours, theirs, rtol):
    ours, theirs = np.asarray(ours, float), np.asarray(theirs, float)
    np.testing.assert_allclose(ours, theirs, rtol=rtol, atol=rtol * np.abs(theirs).max() + 1e-15)


PEERS = [
    ("y + y3 ~ x1 + csw0(x2, x3) | worker + firm", {"CRV1": "worker"}),
    ("y ~ x2 + sw(x1, x3) | csw0(firm, year)", "hetero"),
    ("y + np.log(y2) ~ csw(x2, i(g, ref='a'))", "iid"),
    ("y ~ mvsw(x1, x3) | firm", {"CRV1": "firm+year"}),
    ("y3 ~ x2 | sw0(worker, firm^year)", "iid"),
]


@pytest.mark.peers
@pytest.mark.parametrize("fml,vcov", PEERS, ids=[f for f, _ in PEERS])
def test_every_model_matches_pyfixest_multiple_estimation(data, fml, vcov):
    pf = need("pyfixest")
    ours = kestrel.feols(fml, data, vcov, fixef_tol=1e-13)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        theirs = pf.feols(fml, data, vcov=vcov,
                          demeaner=pf.MapDemeaner(fixef_tol=1e-13, fixef_maxiter=100_000))
    theirs = list(theirs.all_fitted_models.values())
    assert len(ours) == len(theirs)
    for fit, peer in zip(ours, theirs):  # the same order: fixed effects, outcome, regressors
        assert fit.nobs == peer._N, fit.formula
        if not fit.coef_names:  # fixed effects only: pyfixest leaves the statistics empty
            assert peer._coefnames == []
            continue
        assert fit.coef_names == list(peer.coef().index), fit.formula
        close(fit.coef(), peer.coef(), COEF)
        close(fit.se(), peer.se(), SE)
        close(fit.pvalue(), peer.pvalue(), SE)
        close([fit.r2, fit.adj_r2], [peer._r2, peer._adj_r2], 1e-9)
        if fit.fixef:
            close(fit.r2_within, peer._r2_within, 1e-9)


def test_each_model_equals_its_single_fit(data):
    fml = "y + y3 ~ x1 + csw(C(g), x3) | firm + year"
    fits = kestrel.feols(fml, data, {"CRV1": "firm"}, fixef_tol=1e-13)
    assert fits.keys() == ["y ~ x1 + C(g) | firm + year", "y ~ x1 + C(g) + x3 | firm + year",
                           "y3 ~ x1 + C(g) | firm + year", "y3 ~ x1 + C(g) + x3 | firm + year"]
    for fit in fits:
        alone = kestrel.feols(fit.formula, data, {"CRV1": "firm"}, fixef_tol=1e-13)
        assert fit.coef_names == alone.coef_names
        # Demeaning iterates on all the columns it is given at once, so the two agree to
        # the demeaning's accuracy rather than bit for bit.
        close(fit.coef(), alone.coef(), 1e-10)
        close(fit.vcov, alone.vcov, 1e-9)
        close(fit.resid(), alone.resid(), 1e-9)
        np.testing.assert_array_equal(fit.mask, alone.mask)
        assert (fit.nobs, fit.n_missing, fit.df_t, fit.dof_k) == \
            (alone.nobs, alone.n_missing, alone.df_t, alone.dof_k)
        close([fit.r2, fit.r2_within, fit.adj_r2], [alone.r2, alone.r2_within, alone.adj_r2],
              1e-10)


def test_models_sharing_fixed_effects_and_rows_are_absorbed_in_one_call(data, monkeypatch):
    calls = []

    def counting(**kw):
        calls.append(len(kw["columns"]))
        return absorb(**kw)

    absorb = _core.absorb
    monkeypatch.setattr(_core, "absorb", counting)
    kestrel.feols("y + y2 + x3 ~ x1 + i(g, ref='a') | firm + year", data)
    assert calls == [3 + 1 + 3]  # 3 outcomes, x1 and the 3 indicators, each once
    calls.clear()
    # y3 misses other rows, and the fixed-effect steps differ: one call per group of models.
    fits = kestrel.feols("y + y3 ~ csw(x1, x2) | sw(firm, year)", data)
    assert calls == [3, 3, 3, 3]
    assert [f.nobs for f in fits] == [f.nobs for f in
                                      (kestrel.feols(k, data) for k in fits.keys())]


def test_a_model_with_only_fixed_effects(data):
    fits = kestrel.feols("y ~ csw0(x1, x2) | firm", data)
    empty = fits[0]
    assert fits.keys()[0] == "y ~ 1 | firm" and empty.coef_names == []
    demeaned = data.y - data.groupby("firm").y.transform("mean")
    close(empty.rss, float((demeaned ** 2).sum()), 1e-12)
    assert empty.r2_within == 0.0 and 0 < empty.r2 < 1
    assert kestrel.feols("y ~ 1 | firm", data).rss == empty.rss


def test_the_collection_iterates_indexes_and_reports(data):
    fits = kestrel.feols("y + y2 ~ x1 | firm", data)
    assert len(fits) == 2 and [f.depvar for f in fits] == ["y", "y2"]
    assert fits[1] is fits["y2~x1|firm"] is fits[-1]
    assert isinstance(fits[:1], kestrel.FitList) and fits[:1].keys() == ["y ~ x1 | firm"]
    with pytest.raises(KeyError, match=r"no model 'y2 ~ x1 \| year'.*did you mean "
                                       r"'y2 ~ x1 \| firm'"):
        fits["y2 ~ x1 | year"]
    tidy = fits.tidy()
    assert list(tidy.index.get_level_values("Model").unique()) == fits.keys()
    close(tidy["Estimate"], [f.coef()["x1"] for f in fits], 0)
    assert "[1] y2 ~ x1 | firm" in repr(fits)
    assert fits.summary().count("kestrel.feols:") == 2


def test_warnings_name_the_model_and_point_at_the_caller(data):
    with pytest.warns(kestrel.CollinearityWarning,
                      match=r"model 'y ~ x2 \+ x3 \+ x4 \| firm': dropped x4") as record:
        kestrel.feols("y ~ csw(x2, x3, x4) | firm", data)
    assert len(record) == 1 and record[0].filename == __file__


@pytest.mark.parametrize("fml,message", [
    ("y ~ sw(x1, x2) + csw(x3, x4)", "more than one stepwise function among the regressors"),
    ("y ~ x1:sw(x2, x3)", "must be a term of its own"),
    ("y ~ sw(x2, x3) - 1", "to drop the intercept write '0 \\+ sw"),
    ("y ~ sw(x1, )", "has an empty argument"),
    ("y ~ sw(x1, x1)", "spells the model 'y ~ x1' twice"),
    ("sw(y, y2) ~ x1", "with '\\+'"),
    ("y ~ 0 + sw0(x1, x2)", "the model 'y ~ 0' has no regressors"),
    ("y + y2 ~ x1 | firm | x2 ~ x3", "with instrumental variables"),
    ("y + y2 ~ x1 + nope", "column 'nope'"),
])
def test_mistakes_in_multiple_estimation(data, fml, message):
    with pytest.raises((ValueError, KeyError), match=message):
        kestrel.feols(fml, data)
