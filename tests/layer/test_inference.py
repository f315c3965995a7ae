"""Inference after the fit: vcov_as against new fits (the same numbers, bit for bit), Wald
tests and linear combinations against statsmodels and pyfixest, CRV3 against pyfixest and
a leave-one-cluster-out loop of refits, the wild cluster bootstrap against the wildboottest
package (every sign vector enumerated: the same p-value), pyfixest and a loop of refits on
bootstrap outcomes, and lean fits and pickling."""

import itertools
import pickle
import warnings

import numpy as np
import pandas as pd
import pytest

import kestrel
from conftest import need


def quiet(fn, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn(*args, **kwargs)


def make(n=3000, seed=0, clusters=40):
    rng = np.random.default_rng(seed)
    df = pd.DataFrame({"x1": rng.normal(size=n), "x2": rng.normal(size=n),
                       "f1": rng.integers(0, 60, n), "f2": rng.integers(0, 25, n),
                       "g": rng.integers(0, clusters, n),
                       "t": np.tile(np.arange(30), n // 30 + 1)[:n],
                       "p": np.repeat(np.arange(n // 30 + 1), 30)[:n]})
    df["f1_top"] = df.f1 // 6  # f1 is nested in f1_top
    df["z"] = df.x1 + rng.normal(size=n)
    df["y"] = (df.x1 + 0.5 * df.x2 + 0.1 * df.f1 + rng.normal(size=n)
               + rng.normal(size=clusters)[df.g])
    return df


@pytest.fixture(scope="module")
def df():
    return make()


def same_inference(a, b):
    """Every number a covariance changes, identical."""
    assert np.array_equal(a._vcov, b._vcov, equal_nan=True)
    assert np.array_equal(a.se(), b.se(), equal_nan=True)
    assert np.array_equal(a.pvalue(), b.pvalue(), equal_nan=True)
    assert (a.df_t, a.dof_k, a.dof_fixef, a.clusters, a.periods, a.vcov_type, a.ssc) == \
        (b.df_t, b.dof_k, b.dof_fixef, b.clusters, b.periods, b.vcov_type, b.ssc)
    assert np.array_equal([a.adj_r2, a.adj_r2_within], [b.adj_r2, b.adj_r2_within],
                          equal_nan=True)
    assert a.summary() == b.summary()


# vcov_as ---------------------------------------------------------------------------------
REQUESTS = ["iid", "hetero", "HC0", {"CRV1": "f2"}, {"CRV1": "g"}, {"CRV1": "f1+g"},
            {"CRV1": "f1^f2"}, {"CRV3": "g"}, {"CRV3": "f1_top"}]


@pytest.mark.parametrize("fml", ["y ~ x1 + x2 | f1 + f2", "y ~ x1 + x2 | f1", "y ~ x1 + x2",
                                 "y ~ x2 | f1 | x1 ~ z"])
def test_vcov_as_is_a_new_fit(df, fml):
    fit = kestrel.feols(fml, df)
    for vcov in REQUESTS + ["HC2", "HC3"]:
        if ("|" in fml and vcov in ("HC2", "HC3")) or ("~ z" in fml and "CRV3" in str(vcov)):
            continue
        for ssc in (None, kestrel.ssc("reghdfe"), kestrel.ssc(k_adj=False, G_df="conventional")):
            other = kestrel.feols(fml, df, vcov, ssc=ssc)
            same_inference(fit.vcov_as(vcov, ssc=ssc or fit.ssc, data=df), other)
            if ssc is None:
                assert fit.summary(vcov=vcov, data=df) == other.summary()
    if "~ z" in fml:
        iv = fit.vcov_as({"CRV1": "g"}, data=df)
        other = kestrel.feols(fml, df, {"CRV1": "g"})
        for a, b in zip(iv.first_stage.values(), other.first_stage.values()):
            assert (a.f_stat, a.f_pvalue, a.effective_f) == (b.f_stat, b.f_pvalue, b.effective_f)
            assert np.array_equal(a.se(), b.se())


def test_vcov_as_serial_and_chained(df):
    fml = "y ~ x1 + x2 | f2"
    nw = {"time_id": "t", "panel_id": "p", "lag": 2}
    fit = kestrel.feols(fml, df)
    for vcov, kw in (("NW", nw), ("DK", {"time_id": "t"}), ("NW", {"time_id": "t",
                                                                   "panel_id": "p"})):
        same_inference(fit.vcov_as(vcov, kw, data=df), kestrel.feols(fml, df, vcov, vcov_kwargs=kw))
    # From a Newey-West fit, another lag needs no data; a chain of changes ends where a new
    # fit starts.
    serial = kestrel.feols(fml, df, "NW", vcov_kwargs=nw)
    same_inference(serial.vcov_as("NW", {**nw, "lag": 4}),
                   kestrel.feols(fml, df, "NW", vcov_kwargs={**nw, "lag": 4}))
    dk = kestrel.feols(fml, df, "DK", vcov_kwargs={"time_id": "t"})
    same_inference(dk.vcov_as("DK", {"time_id": "t", "lag": 5}),
                   kestrel.feols(fml, df, "DK", vcov_kwargs={"time_id": "t", "lag": 5}))
    with pytest.raises(ValueError, match="panel_id 'p' needs data="):
        dk.vcov_as("NW", nw)
    with pytest.raises(ValueError, match="repeats periods"):
        dk.vcov_as("NW", {"time_id": "t", "lag": 2})
    chained = fit.vcov_as({"CRV1": "g"}, data=df).vcov_as("hetero").vcov_as({"CRV1": "g"})
    same_inference(chained, kestrel.feols(fml, df, {"CRV1": "g"}))
    # the fit asked from is unchanged
    same_inference(fit, kestrel.feols(fml, df))


def test_vcov_as_multiple_members(df):
    fits = kestrel.feols("y ~ csw(x1, x2) | sw(f1, f2)", df)
    for fit in fits:
        for vcov in ("hetero", {"CRV1": "g"}, {"CRV3": "g"}):
            same_inference(fit.vcov_as(vcov, data=df), kestrel.feols(fit.formula, df, vcov))


def test_vcov_as_against_pyfixest_vcov(df):
    pf = need("pyfixest")
    ours = kestrel.feols("y ~ x1 + x2 | f1 + f2", df, "iid", fixef_tol=1e-12)
    theirs = quiet(pf.feols, "y ~ x1 + x2 | f1 + f2", df, vcov="iid",
                   demeaner=pf.MapDemeaner(fixef_tol=1e-12))
    for vcov in ("hetero", {"CRV1": "g"}, {"CRV1": "f1+g"}, {"CRV3": "f1_top"}):
        other = quiet(theirs.vcov, vcov)
        mine = ours.vcov_as(vcov, data=df)
        np.testing.assert_allclose(mine.se(), other.se(), rtol=1e-8)
        np.testing.assert_allclose(mine.tstat(), other.tstat(), rtol=1e-8)


def test_vcov_as_reads_clusters_of_any_dtype(df):
    """Clusters read from data= are numbered as a new fit numbers them: categories never
    used, strings, rows left out for a missing value."""
    d = df.assign(cat=pd.Categorical(df.g % 7, categories=range(12)[::-1]),
                  name=("s" + (df.g % 9).astype(str)),
                  y=df.y.where(df.index % 11 != 0))
    fit = kestrel.feols("y ~ x1 + x2 | f2", d)
    assert not fit.mask.all()
    for column in ("cat", "name", "g"):
        for data in (d, d[["y", "x1"]].join(d[[column]])):
            same_inference(fit.vcov_as({"CRV1": column}, data=data),
                           kestrel.feols("y ~ x1 + x2 | f2", d, {"CRV1": column}))
    full = kestrel.feols("x1 ~ x2 | f2", d)
    assert full.mask.all()
    pl = need("polars")
    for column in ("cat", "name", "g", "f1^name"):
        for data in (d, pl.from_pandas(d)):
            same_inference(full.vcov_as({"CRV1": column}, data=data),
                           kestrel.feols("x1 ~ x2 | f2", data, {"CRV1": column}))


def test_vcov_as_mistakes(df):
    fit = kestrel.feols("y ~ x1 + x2 | f1", df)
    with pytest.raises(ValueError, match="'g' needs data="):
        fit.vcov_as({"CRV1": "g"})
    with pytest.raises(KeyError, match="nope"):
        fit.vcov_as({"CRV1": "nope"}, data=df)
    with pytest.raises(ValueError, match="rows"):
        fit.vcov_as({"CRV1": "g"}, data=df.head(10))
    holes = df.assign(g=df.g.where(df.index % 7 != 0))
    with pytest.raises(ValueError, match="'g' has missing values"):
        fit.vcov_as({"CRV1": "g"}, data=holes)
    with pytest.raises(ValueError, match="HC2 and HC3"):
        fit.vcov_as("HC2")
    with pytest.raises(ValueError, match="unknown covariance"):
        fit.vcov_as("HC9")
    with pytest.raises(ValueError, match="one clustering variable"):
        fit.vcov_as({"CRV3": "f1+g"}, data=df)
    with pytest.raises(ValueError, match="instrumental"):
        kestrel.feols("y ~ x2 | f1 | x1 ~ z", df, {"CRV3": "g"})
    with pytest.raises(ValueError, match="vcov_kwargs"):
        fit.summary(vcov_kwargs={"time_id": "t"})
    with pytest.raises(ValueError, match="lag"):
        kestrel.feols("y ~ x1", df.head(30), "NW", vcov_kwargs={"time_id": "t", "lag": 1}
                      ).vcov_as("NW", {"time_id": "t"})


# Wald tests and linear combinations ------------------------------------------------------
def test_wald_and_lincom_against_statsmodels(df):
    sm = need("statsmodels.formula.api")
    for vcov, cov_type in (("iid", "nonrobust"), ("hetero", "HC1")):
        fit = kestrel.feols("y ~ x1 + x2 + z", df, vcov)
        ref = sm.ols("y ~ x1 + x2 + z", df).fit(cov_type=cov_type, use_t=True)
        for text, matrix in (("x1 = x2", "x1 - x2 = 0"),
                             (["x1 + x2 = 1", "z = 0"], "x1 + x2 = 1, z = 0"),
                             (["2*x1 - x2 = 0.5", "x1 = z"], "2*x1 - x2 = 0.5, x1 = z")):
            ours, theirs = fit.wald_test(text), ref.f_test(matrix)
            np.testing.assert_allclose(ours.statistic, float(np.squeeze(theirs.fvalue)),
                                       rtol=1e-9)
            np.testing.assert_allclose(ours.pvalue, float(theirs.pvalue), rtol=1e-7)
            assert ours.df == (theirs.df_num, theirs.df_denom)
        comb = fit.lincom(["x1 + 2*x2", "x1 - z"])
        for (_, row), text in zip(comb.iterrows(), ("x1 + 2*x2", "x1 - z")):
            t = ref.t_test(text)
            np.testing.assert_allclose(row["Estimate"], float(np.squeeze(t.effect)), rtol=1e-10)
            np.testing.assert_allclose(row["Std. Error"], float(np.squeeze(t.sd)), rtol=1e-9)
            np.testing.assert_allclose(row.iloc[4:].to_numpy(float),
                                       np.squeeze(t.conf_int()), rtol=1e-9)


def test_wald_against_pyfixest(df):
    pf = need("pyfixest")
    for vcov in ({"CRV1": "g"}, "hetero"):
        # z and x2 are independent: a p-value away from 0
        fit = kestrel.feols("z ~ x2 + f2 | f1", df, vcov)
        theirs = quiet(pf.feols, "z ~ x2 + f2 | f1", df, vcov=vcov)
        ours = fit.wald_test()  # every coefficient zero
        assert ours.pvalue > 1e-3
        ref = quiet(theirs.wald_test)
        np.testing.assert_allclose(ours.statistic, ref["statistic"], rtol=1e-8)
        np.testing.assert_allclose(ours.pvalue, ref["pvalue"], rtol=1e-6, atol=1e-300)
        r = np.array([[1.0, -1.0]])
        np.testing.assert_allclose(fit.wald_test(r, [0.5]).chi2,
                                   quiet(theirs.wald_test, R=r, q=np.array([0.5]),
                                         distribution="chi2")["statistic"], rtol=1e-8)


def test_hypothesis_text(df):
    fit = kestrel.feols("y ~ x1 + x2 + x1:x2 + C(f2)", df.head(400), "hetero")
    names = fit.coef_names
    j1, j2, j12 = names.index("x1"), names.index("x2"), names.index("x1:x2")
    r = np.zeros((2, len(names)))
    r[0, [j1, j2]] = 1, -1
    r[1, [j1, j12]] = 2, 1
    a = fit.wald_test(["x1 = x2", "-1 + 2 * x1 + x1:x2 = 2 - 1"])
    b = fit.wald_test(r, [0, 2])
    assert a.statistic == pytest.approx(b.statistic, rel=1e-12)
    np.testing.assert_array_equal(a.R, r)
    lc = fit.lincom("x1 + x1:x2*3")
    assert lc["Estimate"].iloc[0] == pytest.approx(fit.coef()["x1"] + 3 * fit.coef()["x1:x2"])
    level = names[-1]
    assert fit.lincom(f"{level} - x2").shape == (1, 6)
    for bad, match in (("x1 = ", "one equation"), ("x3 = 0", "not a coefficient"),
                       ("x1 = x2 = 0", "one equation"), ("x1 x2 = 0", "expected \\+ or -"),
                       ("x1 + = 1", "sign with no term"), ("1 = 2", "involves no coefficient")):
        with pytest.raises(ValueError, match=match):
            fit.wald_test(bad)
    with pytest.raises(ValueError, match="one column per coefficient"):
        fit.wald_test(np.ones((1, 2)))
    with pytest.raises(ValueError, match="q="):
        fit.wald_test("x1 = 0", q=[1.0])
    with pytest.raises(ValueError, match="not independent"):
        fit.wald_test(["x1 = 0", "2*x1 = 0"])
    with pytest.raises(ValueError, match="not an equation"):
        fit.lincom("x1 = 0")


# CRV3 ------------------------------------------------------------------------------------
def _jackknife(fml, data, cluster):
    """Σ_g (β_(g) − β̂)(β_(g) − β̂)' by fitting without each cluster."""
    full = kestrel.feols(fml, data, "iid").coef()
    total = 0
    for g in np.unique(data[cluster]):
        beta = kestrel.feols(fml, data[data[cluster] != g], "iid").coef()[full.index]
        dev = (beta - full).to_numpy()
        total = total + np.outer(dev, dev)
    return total


@pytest.mark.parametrize("fml,cluster", [("y ~ x1 + x2", "g"), ("y ~ x1 + x2 | f1", "f1_top"),
                                         ("y ~ x1 + x2 | f1 + f2", "g"),
                                         ("y ~ x1 + x2 | f1", "f1")])
def test_crv3_against_refits_and_pyfixest(fml, cluster):
    data = make(n=1200, seed=3, clusters=15)
    plain = kestrel.ssc(k_adj=False, G_adj=False)
    ours = kestrel.feols(fml, data, {"CRV3": cluster}, ssc=plain, fixef_tol=1e-12)
    np.testing.assert_allclose(ours._vcov, _jackknife(fml, data, cluster), rtol=1e-8,
                               atol=1e-14)
    assert ours.df_t == data[cluster].nunique() - 1 and ours.vcov_type.label == "CRV3"
    pf = need("pyfixest")
    fit = kestrel.feols(fml, data, {"CRV3": cluster}, fixef_tol=1e-12)
    theirs = quiet(pf.feols, fml, data, vcov={"CRV3": cluster},
                   demeaner=pf.MapDemeaner(fixef_tol=1e-12))
    np.testing.assert_allclose(fit.se(), theirs.se(), rtol=1e-7)
    np.testing.assert_allclose(fit.tstat(), theirs.tstat(), rtol=1e-7)
    np.testing.assert_allclose(fit.pvalue(), theirs.pvalue(), rtol=1e-6, atol=1e-10)
    assert "CRV3" in fit.summary()


# The wild cluster bootstrap --------------------------------------------------------------
def small(n=600, clusters=8, seed=5):
    rng = np.random.default_rng(seed)
    d = pd.DataFrame({"x1": rng.normal(size=n), "x2": rng.normal(size=n),
                      "g": rng.integers(0, clusters, n)})
    d["f"] = d.g * 3 + rng.integers(0, 3, n)  # nested in g
    d["y"] = 0.08 * d.x1 + 0.5 * d.x2 + rng.normal(size=n) + rng.normal(size=clusters)[d.g]
    return d


def test_wild_bootstrap_against_wildboottest_enumerated():
    wb = need("wildboottest.wildboottest")
    d = small()
    x = np.column_stack([np.ones(len(d)), d.x1, d.x2])
    fit = kestrel.feols("y ~ x1 + x2", d, {"CRV1": "g"})
    for null in (True, False):
        ours = fit.wildboottest("x1", B=999, impose_null=null)
        ref = wb.WildboottestCL(X=x, Y=d.y.to_numpy(), cluster=d.g.to_numpy(),
                                R=np.array([0.0, 1.0, 0.0]), B=999, seed=1, parallel=False)
        ref.get_scores(bootstrap_type="11", impose_null=null)
        ref.get_weights(weights_type="rademacher")
        for step in (ref.get_numer, ref.get_denom, ref.get_tboot, ref.get_vcov, ref.get_tstat,
                     ref.get_pvalue):
            quiet(step)
        assert ours.enumerated and ours.B == 2 ** 8
        # Its p-value counts |t*| > |t| strictly; with the null imposed the draws of all
        # ones and all minus ones give t* = t up to rounding, which then decides. With ties
        # counted as kestrel counts them, its statistics give the same p-value.
        t_ref, t_boot = abs(float(np.squeeze(ref.t_stat))), np.abs(np.squeeze(ref.t_boot))
        assert ours.pvalue == np.mean(t_boot >= t_ref * (1 - 1e-10))
        ties = np.count_nonzero(np.isclose(t_boot, t_ref, rtol=1e-10, atol=0))
        assert ties == (2 if null else 0)
        assert ref.pvalue in (ours.pvalue, ours.pvalue - ties / 2 ** 8)
        np.testing.assert_allclose(ours.statistic, np.squeeze(ref.t_stat), rtol=1e-10)
        np.testing.assert_allclose(np.sort(np.abs(ours.t_boot))[2:],
                                   np.sort(np.abs(np.squeeze(ref.t_boot)))[2:], rtol=1e-8)


def test_wild_bootstrap_against_pyfixest_with_fixed_effects():
    pf = need("pyfixest")
    need("wildboottest")
    d = small(clusters=9)
    for null in (True, False):
        # Its t counts every dummy in K.
        fit = kestrel.feols("y ~ x1 + x2 | f", d, {"CRV1": "g"},
                            ssc=kestrel.ssc(k_fixef="full"))
        ours = fit.wildboottest("x1", B=9999, impose_null=null)
        theirs = quiet(quiet(pf.feols, "y ~ x1 + x2 | f", d, vcov={"CRV1": "g"}).wildboottest,
                       param="x1", reps=9999, impose_null=null, seed=2, parallel=False)
        # pyfixest runs the wildboottest package on the dummy-variable model; its strict
        # count leaves the two draws that give back the data (null imposed) to rounding.
        assert ours.enumerated and ours.B == 2 ** 9
        assert theirs["Pr(>|t|)"] in ((ours.pvalue, ours.pvalue - 2 / 2 ** 9) if null
                                      else (ours.pvalue,))
        np.testing.assert_allclose(ours.statistic, theirs["t value"], rtol=1e-6)


def _refit_bootstrap(d, null):
    """t* by fitting again on every bootstrap outcome (every sign vector of the clusters)."""
    fml = "y ~ x1 + x2 | f"
    fit = kestrel.feols(fml, d, {"CRV1": "g"})
    base = kestrel.feols("y ~ x2 | f", d) if null else fit
    fitted = d.y - base.resid()
    resid = base.resid()
    groups = np.unique(d.g)
    out = []
    for signs in itertools.product([-1.0, 1.0], repeat=len(groups)):
        v = pd.Series(signs, index=groups)[d.g].to_numpy()
        star = d.assign(y=fitted + resid * v)
        f = kestrel.feols(fml, star, {"CRV1": "g"})
        out.append((f.coef()["x1"] - (0.0 if null else fit.coef()["x1"])) / f.se()["x1"])
    return fit, np.array(out)


@pytest.mark.parametrize("null", [True, False])
def test_wild_bootstrap_against_refits(null):
    d = small(n=300, clusters=6)
    fit, t_star = _refit_bootstrap(d, null)
    ours = fit.wildboottest("x1", B=64, impose_null=null)
    assert ours.enumerated and ours.B == 64
    np.testing.assert_allclose(np.sort(ours.t_boot), np.sort(t_star), rtol=1e-7, atol=1e-9)
    t = abs(ours.statistic)
    assert ours.pvalue == np.mean(np.abs(t_star) >= t * (1 - 1e-10))


def test_wild_bootstrap_draws_and_interval():
    d = small(n=2000, clusters=30)
    fit = kestrel.feols("y ~ x1 + x2 | f", d, {"CRV1": "g"})
    a = fit.wildboottest("x1", B=1999, seed=7, weights="webb")
    b = fit.wildboottest("x1", B=1999, seed=7, weights="webb")
    c = fit.wildboottest("x1", B=1999, seed=8, weights="webb")
    assert np.array_equal(a.t_boot, b.t_boot) and not np.array_equal(a.t_boot, c.t_boot)
    assert not a.enumerated and a.B == 1999
    for weights in ("rademacher", "mammen", "norm"):
        res = fit.wildboottest("x1 + x2 = 0.5", B=999, seed=1, weights=weights)
        assert 0 <= res.pvalue <= 1 and res.confint[0] < res.estimate < res.confint[1]
    # The interval's ends are where the test starts to reject at 5%.
    for null in (True, False):
        res = fit.wildboottest("x1", B=999, seed=3, impose_null=null)
        lo, hi = res.confint
        width = hi - lo
        for end, inward in ((lo, +1), (hi, -1)):
            inside = fit.wildboottest("x1", B=999, seed=3, impose_null=null,
                                      r=end + inward * 1e-6 * width)
            outside = fit.wildboottest("x1", B=999, seed=3, impose_null=null,
                                       r=end - inward * 1e-6 * width)
            assert inside.pvalue > 0.05 >= outside.pvalue
    # The same restriction as a name, as text and as a row of R.
    row = np.zeros(2)
    row[0] = 1
    by_row = fit.wildboottest(row, B=999, seed=3, r=0.1)
    by_text = fit.wildboottest("x1 = 0.1", B=999, seed=3)
    by_name = fit.wildboottest("x1", B=999, seed=3, r=0.1)
    assert by_row.pvalue == by_text.pvalue == by_name.pvalue


def test_wild_bootstrap_mistakes():
    d = small()
    fit = kestrel.feols("y ~ x1 + x2", d, "hetero")
    with pytest.raises(ValueError, match="cluster="):
        fit.wildboottest("x1")
    assert fit.wildboottest("x1", cluster="g", data=d, B=99).clusters == 8
    with pytest.raises(KeyError, match="x9"):
        fit.wildboottest("x9", cluster="g", data=d)
    with pytest.raises(ValueError, match="weights"):
        fit.wildboottest("x1", cluster="g", data=d, weights="gauss")
    with pytest.raises(TypeError, match="B must be an integer"):
        fit.wildboottest("x1", cluster="g", data=d, B=9.5)
    with pytest.raises(TypeError, match="seed"):
        fit.wildboottest("x1", cluster="g", data=d, seed="x")
    with pytest.raises(ValueError, match="one restriction"):
        fit.wildboottest(np.eye(3), cluster="g", data=d)
    with pytest.raises(ValueError, match="instrumental"):
        kestrel.feols("y ~ 1 | x1 ~ x2", d, {"CRV1": "g"}).wildboottest("x1")


# Lean fits and pickling ------------------------------------------------------------------
def test_lean_fits_keep_no_rows(tmp_path):
    sizes = []
    for n in (1000, 50_000):
        d = make(n=n, seed=1)
        for fml in ("y ~ x1 + C(f2)", "y ~ x1 + bs(x2, df=4) + poly(z, 2)",
                    "y ~ x1 + x2 | f1 + f2", "y ~ x2 | f1 | x1 ~ z"):
            lean = kestrel.feols(fml, d, {"CRV1": "g"}, lean=True)
            full = kestrel.feols(fml, d, {"CRV1": "g"})
            assert lean.summary() == full.summary()
            assert lean.mask is None and lean._state is None
            blob = pickle.dumps(lean)
            sizes.append((fml, len(blob)))
            back = pickle.loads(blob)
            assert back.summary() == full.summary()
            assert back.wald_test("x1 = 0").statistic == full.wald_test("x1 = 0").statistic
            assert kestrel.etable([back, full]).count("x1") >= 1
            for call in (lean.resid, lambda: lean.predict(), lambda: lean.vcov_as("iid"),
                         lambda: lean.wildboottest("x1", cluster="g")):
                with pytest.raises(ValueError, match="lean"):
                    call()
            if "|" not in fml:
                np.testing.assert_array_equal(lean.predict(d.head(50)), full.predict(d.head(50)))
            else:
                with pytest.raises(ValueError, match="lean"):
                    lean.fixef()
    first, second = sizes[:4], sizes[4:]
    for (fml, a), (_, b) in zip(first, second):
        assert b == a, fml  # the same size whatever the rows
        assert b < 20_000
    with pytest.raises(TypeError, match="lean"):
        kestrel.feols("y ~ x1", make(n=100), lean="yes")
    matplotlib = need("matplotlib")
    matplotlib.use("Agg")
    kestrel.coefplot(pickle.loads(blob))


def test_every_fit_pickles(df):
    fits = [kestrel.feols("y ~ x1 + x2 | f1 + f2", df, {"CRV1": "g"}),
            kestrel.feols("y ~ x2 | f1 | x1 ~ z", df, "hetero"),
            kestrel.feols("y ~ center(x1) + C(f2)", df, "NW",
                          vcov_kwargs={"time_id": "t", "panel_id": "p"})]
    multi = kestrel.feols("y ~ csw(x1, x2) | f1", df)
    for fit in fits + list(pickle.loads(pickle.dumps(multi))):
        back = pickle.loads(pickle.dumps(fit))
        same_inference(back, fit)
        np.testing.assert_array_equal(back.resid(), fit.resid())
        np.testing.assert_array_equal(back.predict(df), fit.predict(df))
        same_inference(back.vcov_as({"CRV1": "g"}, data=df), fit.vcov_as({"CRV1": "g"}, data=df))
    fe = pickle.loads(pickle.dumps(fits[0])).fixef()
    for name, values in fits[0].fixef().items():
        np.testing.assert_array_equal(fe[name], values)


def test_a_negative_multiway_variance_is_named_not_a_numpy_warning():
    """Two-way clustering with three clusters a dimension: the signed sum of meats gives the
    intercept a negative variance. Its standard error is NaN with kestrel's warning naming
    it (no bare RuntimeWarning from a square root), at the fit and after vcov_as; the
    other coefficient keeps its standard error."""
    rng = np.random.default_rng(0)
    n = 40
    df = pd.DataFrame({"y": rng.normal(size=n), "x": rng.normal(size=n),
                       "a": rng.integers(0, 3, n), "b": rng.integers(0, 3, n)})
    with pytest.warns(kestrel.NegativeVarianceWarning, match="CRV1 variance of Intercept"):
        fit = kestrel.feols("y ~ x", df, vcov={"CRV1": "a+b"})
    assert np.isnan(fit.se()["Intercept"]) and np.isfinite(fit.se()["x"])
    assert fit.vcov.loc["Intercept", "Intercept"] < 0
    with pytest.warns(kestrel.NegativeVarianceWarning, match="Intercept"):
        again = kestrel.feols("y ~ x", df).vcov_as({"CRV1": "a+b"}, data=df)
    np.testing.assert_allclose(again.vcov, fit.vcov, rtol=1e-12)
