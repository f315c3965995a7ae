"""rust_iv2sls: two-stage least squares with fixed effects, clusters and a first-stage F,
against the NumPy statement of 2SLS on the dummy-absorbed data and against linearmodels."""
import re

import numpy as np
import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

from conftest import NOT_CONTIGUOUS, PANIC, call_checked, float_arrays, need
from kestrel import _native
from oracles import (absorbed, dummies, first_appearance, keep_mask, multiway_vcov,
                     residual_on_dummies)

SINGULAR = "^Singular matrix in 2SLS$"


def fit(y, exog=(), endog=(), excl=(), fe=(), cl=(), vcov="iid", intercept=False,
        x_names=None, endog_names=None, tol=1e-14, max_iter=100_000):
    return _native.rust_iv2sls(
        y, list(exog), list(endog), list(excl),
        [f"x{i}" for i in range(len(exog))] if x_names is None else x_names,
        [f"d{j}" for j in range(len(endog))] if endog_names is None else endog_names,
        list(fe), ["f"] * len(fe), list(cl), ["c"] * len(cl), tol, max_iter, vcov, intercept)


def expected_2sls(y, exog, endog, excl, fes, clusters, intercept, vcov):
    """(beta, V, e, n, absorbed, removed) of 2SLS on the absorbed data, or None when the
    design is too ill-conditioned to compare."""
    n0 = len(y)
    E = np.column_stack(exog + [np.ones(n0)] * intercept) if exog or intercept else np.zeros(
        (n0, 0))
    N, W = np.column_stack(endog), np.column_stack(excl) if excl else np.zeros((n0, 0))
    keep = keep_mask(fes) if fes else np.ones(n0, bool)
    if not keep.all():
        fes = [first_appearance(c[keep]) for c in fes]
    y, E, N, W = (residual_on_dummies(a[keep], fes) for a in (y, E, N, W))
    clusters = [first_appearance(c[keep]) for c in clusters]
    Z, X = np.hstack([E, W]), np.hstack([E, N])
    if len(y) == 0 or np.linalg.cond(Z.T @ Z) > 1e6:
        return None
    Xhat = np.hstack([E, Z @ np.linalg.solve(Z.T @ Z, Z.T @ N)])
    A = Xhat.T @ X
    if np.linalg.cond(A) > 1e6:
        return None
    beta = np.linalg.solve(A, Xhat.T @ y)
    e = y - X @ beta
    B = np.linalg.inv(A)
    if clusters:
        V = multiway_vcov(Xhat, e, B, clusters, lambda G: 1.0)  # no small-sample factor
    elif vcov == "iid":
        V = B * (e @ e) / len(y)
    else:  # every other name is HC0
        V = B @ ((Xhat * (e**2)[:, None]).T @ Xhat) @ B
    return beta, V, e, len(y), absorbed(fes) if fes else 0, int(n0 - len(y))


@st.composite
def models(draw):
    n = draw(st.integers(1, 30))
    cols = lambda lo, hi: [draw(float_arrays(n, scale=10))  # noqa: E731
                           for _ in range(draw(st.integers(lo, hi)))]
    exog, endog, excl, (y,) = cols(0, 2), cols(1, 2), cols(0, 3), cols(1, 1)
    fes = [np.array(draw(st.lists(st.integers(0, g), min_size=n, max_size=n)), dtype=np.int32)
           for g in (draw(st.integers(0, 4)) for _ in range(draw(st.integers(0, 2))))]
    clusters = [np.array(draw(st.lists(st.integers(-2, 3), min_size=n, max_size=n)), np.int32)
                for _ in range(draw(st.integers(0, 2)))]
    return (y, exog, endog, excl, fes, clusters, draw(st.booleans()),
            draw(st.sampled_from(["iid", "HC0", "HC1", "HC3", "", "anything"])))


def call(y, exog, endog, excl, fes, clusters, intercept, vcov):
    return call_checked(_native.rust_iv2sls, y, exog, endog, excl, ["x"] * len(exog),
                        ["w"] * len(endog), fes, [], clusters, [], 1e-14, 100_000, vcov,
                        intercept)


@given(model=models())
def test_coefficients_residuals_and_covariance_match_two_stage_least_squares(model):
    y, exog, endog, excl, fes, clusters, intercept, vcov = model
    status, out = call(*model)
    if status == "raised":
        assert isinstance(out, ValueError) and out.args == ("Singular matrix in 2SLS",), out
        assume(False)
    beta, V, e, r2, adj, F, n, a, removed, groups, names = out
    assert names == ["x"] * len(exog) + ["_cons"] * intercept + ["w"] * len(endog)
    assert [type(v) for v in out[3:9]] == [float, float, float, int, int, int]
    assert F == 0.0 or excl
    expected = expected_2sls(*model)
    assume(expected is not None)
    assert (n, a, removed) == expected[3:]
    scale = max(1.0, float(np.abs(y).max()))
    for got, want, tol, s in zip((beta, V, e), expected, (1e-5, 1e-4, 1e-5), (1, scale, 1)):
        np.testing.assert_allclose(got, want, rtol=tol, atol=1e-6 * scale * s)


def simulate(n=400, kx=2, ke=1, kz=2, seed=0, fe_groups=(), cl_groups=()):
    """An over-identified IV design with endogeneity through a shared error."""
    rng = np.random.default_rng(seed)
    fes = [rng.integers(0, g, n).astype(np.int32) for g in fe_groups]
    effect = sum((rng.normal(size=g)[f] for g, f in zip(fe_groups, fes)), np.zeros(n))
    exog = [rng.normal(size=n) + 0.3 * effect for _ in range(kx)]
    excl = [rng.normal(size=n) for _ in range(kz)]
    u = rng.normal(size=n)
    endog = [sum((0.7 + 0.2 * b) * z for b, z in enumerate(excl)) + 0.4 * sum(exog, 0 * u)
             + 0.5 * j * (excl[0] ** 2 if excl else 0) + 0.5 * u + rng.normal(size=n) + effect
             for j in range(ke)]
    y = (1.5 + sum((0.5 + a) * x for a, x in enumerate(exog)) + effect
         + sum((-1.0 + j) * d for j, d in enumerate(endog))
         + u * (1 + 0.5 * np.abs((excl or exog)[0])))
    return dict(y=y, exog=exog, endog=endog, excl=excl, fe=fes,
                cl=[rng.integers(0, g, n).astype(np.int32) for g in cl_groups])


def args(p, **kw):
    """fit() on the columns of p, any of them replaced by a keyword."""
    columns = [kw.pop(k, p[k]) for k in ("y", "exog", "endog", "excl")]
    return fit(*columns, **kw)


@pytest.mark.peers
@pytest.mark.parametrize("intercept, vcov, fe_groups, n_cl", [
    (True, "iid", (), 0), (False, "iid", (), 0), (True, "HC0", (), 0), (False, "HC0", (), 0),
    (True, "iid", (), 1), (True, "iid", (), 2),
    (False, "iid", (15,), 0), (False, "HC1", (15,), 0), (False, "iid", (15,), 1),
    (False, "iid", (12, 9), 1)])
def test_agrees_with_linearmodels_iv2sls(intercept, vcov, fe_groups, n_cl):
    # With fixed effects linearmodels carries them as dummy columns among the exogenous
    # regressors and instruments: the slope block of its results is what absorption gives.
    # debiased=False: the same conventions, clusters without a small-sample factor.
    lm = need("linearmodels.iv", reason="linearmodels is the IV oracle")
    p = simulate(n=600, ke=2 if not fe_groups else 1, kz=3 if not fe_groups else 2, seed=3,
                 fe_groups=fe_groups, cl_groups=(23, 17)[:n_cl])
    beta, v, resid, *_, n, absorbed_, removed, groups, _ = args(
        p, fe=p["fe"], cl=p["cl"], vcov=vcov, intercept=intercept)
    n0 = len(p["y"])
    exog = np.column_stack(p["exog"] + [np.ones(n0)] * intercept
                           + [dummies(c, g)[:, (q > 0):] for q, (c, g) in
                              enumerate(zip(p["fe"], fe_groups))])
    kw = {"clusters": p["cl"][0] if n_cl == 1 else np.column_stack(p["cl"])} if n_cl else {}
    res = lm.IV2SLS(p["y"], exog, np.column_stack(p["endog"]), np.column_stack(p["excl"])).fit(
        cov_type="clustered" if n_cl else "unadjusted" if vcov == "iid" else "robust",
        debiased=False, **kw)
    k = len(p["exog"]) + intercept
    keep = list(range(k)) + list(range(exog.shape[1], exog.shape[1] + len(p["endog"])))
    rel = 1e-10 if len(fe_groups) < 2 else 1e-7
    np.testing.assert_allclose(beta, np.asarray(res.params)[keep], rtol=rel)
    np.testing.assert_allclose(v, np.asarray(res.cov)[np.ix_(keep, keep)], rtol=rel,
                               atol=rel * np.abs(v).max())
    assert (n, removed, groups) == (600, 0, [len(np.unique(c)) for c in p["cl"]])
    assert absorbed_ == exog.shape[1] - k


def first_stage_f(x, exog_block, excl_block):
    """F test of the excluded instruments in the regression of x on [E | W]."""
    def rss(m):
        r = x - m @ np.linalg.lstsq(m, x, rcond=None)[0] if m.shape[1] else x
        return r @ r

    kz = excl_block.shape[1]
    rss_r, rss_u = rss(exog_block), rss(np.column_stack([exog_block, excl_block]))
    return ((rss_r - rss_u) / kz) / (rss_u / (len(x) - exog_block.shape[1] - kz))


@pytest.mark.parametrize("intercept, kz, ke, fe", [(True, 1, 1, ()), (True, 3, 2, ()),
                                                   (False, 2, 2, ()), (False, 2, 1, (10,))])
def test_first_stage_f_tests_the_excluded_instruments_for_the_first_endogenous_column(
        intercept, kz, ke, fe):
    p = simulate(n=300, kz=kz, ke=ke, seed=11, fe_groups=fe)
    demean = (lambda v: v - (np.bincount(p["fe"][0], weights=v) / np.bincount(p["fe"][0]))[
        p["fe"][0]]) if fe else (lambda v: v)
    e = np.column_stack([demean(x) for x in p["exog"]] + [np.ones(300)] * intercept)
    w = np.column_stack([demean(z) for z in p["excl"]])
    for endog in (p["endog"], p["endog"][::-1]):
        f = fit(p["y"], p["exog"], endog, p["excl"], fe=p["fe"], intercept=intercept)[5]
        assert f == pytest.approx(first_stage_f(demean(endog[0]), e, w), rel=1e-9)
    # A first stage that fits exactly (RSS_u = 0) gives F = 0, as no excluded instruments do.
    z = np.array([1.0, 2.0, 0.0, 4.0, 1.0, 3.0])
    out = fit(np.array([1.0, 5.0, 0.0, 9.0, 3.0, 5.0]), [], [z.copy()], [z])
    assert out[5] == 0.0 and np.isfinite(out[0]).all()


def test_covariance_dispatch_and_fit_statistics():
    p = simulate(ke=2, kz=2, cl_groups=(15, 11), seed=21)
    call_ = lambda vcov, cl=(): args(p, cl=list(cl), vcov=vcov, intercept=True)  # noqa: E731
    hc0 = call_("HC0")[1]
    for name in ["HC1", "HC2", "HC3", "", "hc3", "iid ", "anything"]:  # all but iid: HC0
        np.testing.assert_array_equal(call_(name)[1], hc0)
    beta, v, resid, r2, adj, _, n, *_ = call_("iid")
    tss = np.sum((p["y"] - p["y"].mean()) ** 2)
    assert r2 == pytest.approx(1 - resid @ resid / tss, rel=1e-12)
    assert adj == pytest.approx(1 - (n - 1) * (1 - r2) / (n - len(beta)), rel=1e-12)
    ref = call_("iid", p["cl"][:1])[1]
    for name in ["HC0", "HC3", "whatever"]:  # with clusters any name: the clustered matrix
        np.testing.assert_array_equal(call_(name, p["cl"][:1])[1], ref)
    # Two columns: the inclusion-exclusion sum of the one-column matrices, bit for bit;
    # codes are recoded first.
    c0, c1 = (first_appearance(c) for c in p["cl"])
    both = (c0.astype(np.int64) * (int(c1.max()) + 1) + c1).astype(np.int32)
    out = call_("iid", [c0, c1])
    np.testing.assert_array_equal(out[1], (call_("iid", [c0])[1] + call_("iid", [c1])[1])
                                  - call_("iid", [both])[1])
    assert out[9] == [15, 11]
    np.testing.assert_allclose(call_("iid", [(c0 * 1000 + 7).astype(np.int32)])[1],
                               call_("iid", [c0])[1], rtol=1e-13, atol=0)
    # A constant outcome has R² 0; no residual degrees of freedom give adjusted R² 0.
    q = simulate(n=40, seed=32)
    out = fit(np.zeros(40), q["exog"], q["endog"], q["excl"])
    assert out[3] == 0.0 and out[4] == pytest.approx(1 - 39 / (40 - 3), rel=1e-15)
    assert args(simulate(n=4, kx=2, kz=1, seed=33), intercept=True)[4] == 0.0


def test_fixed_effects_singletons_and_codes_far_beyond_the_rows():
    p = simulate(n=200, fe_groups=(8,), seed=34)
    beta, _, _, r2, adj, _, n, absorbed_, *_ = args(p, fe=p["fe"])
    assert absorbed_ == 8  # the adjusted R² subtracts the absorbed degrees of freedom
    assert adj == pytest.approx(1 - (n - 1) * (1 - r2) / (n - len(beta) - 8), rel=1e-12)
    # One fixed effect ignores tol and max_iter, and without fixed effects both do nothing.
    for kw in ({"fe": p["fe"]}, {"intercept": True}):
        a, b = args(p, tol=0.9, max_iter=0, **kw), args(p, **kw)
        assert all(np.array_equal(u, w) for u, w in zip(a, b))
    # A whole level moved to the top code fits the same model; its empty levels count (one
    # effect) and leave no residual degrees of freedom.
    top = p["fe"][0].copy()
    top[top == top[0]] = 2**31 - 1
    a = args(p, fe=[top])
    b = args(p, fe=p["fe"])
    assert all(np.array_equal(u, w) for u, w in zip(a[:4] + a[5:7], b[:4] + b[5:7]))
    assert (a[7], a[4]) == (2**31, 0.0)
    # With one fixed effect the fit equals that on the filtered rows bit for bit.
    p = simulate(n=80, fe_groups=(20,), seed=54)
    fe = p["fe"][0]
    fe[[0, 5]] = [90, 91]
    m = np.isin(fe, np.flatnonzero(np.bincount(fe) >= 2))
    out = args(p, fe=[fe])
    kept = fit(p["y"][m], [x[m] for x in p["exog"]], [x[m] for x in p["endog"]],
               [z[m] for z in p["excl"]], fe=[first_appearance(fe[m])])
    assert out[8] == 3 and kept[8] == 0  # rows 0 and 5, and the row they left alone
    assert all(np.array_equal(u, w) for u, w in zip(out[:8], kept[:8]))


def test_singular_designs_and_bad_arguments():
    p = simulate(n=300, fe_groups=(6, 5, 4), seed=62)
    # An intercept with fixed effects is singular (the shared iteration leaves the column of
    # ones a few ulps from zero), refused at once even when the iteration would run long.
    for fe in (p["fe"][:1], p["fe"][:2], p["fe"]):
        with pytest.raises(ValueError, match=SINGULAR):
            args(p, fe=fe, intercept=True, tol=0.0, max_iter=2**63)
    empty = np.empty(0)
    with pytest.raises(ValueError, match=SINGULAR):
        fit(empty, [], [empty], [empty], fe=[np.empty(0, np.int32)], intercept=True)
    with pytest.raises(ValueError, match=SINGULAR):
        args(p, excl=[p["excl"][0], 2.0 * p["excl"][0]], intercept=True)
    with pytest.raises(ValueError, match=SINGULAR):
        args(p, y=np.r_[np.nan, p["y"][1:]], intercept=True)
    with pytest.raises(PANIC, match="x_endog_cols is empty") as info:
        args(p, endog=[], intercept=True)
    assert "index out of bounds" not in str(info.value)
    beta, v, resid, *rest = fit(empty)  # no columns and no rows: an empty fit
    assert (beta.shape, v.shape, resid.shape, rest[3:7]) == ((0,), (0, 0), (0,), [0, 0, 0, []])
    # Longer data columns are read up to the rows of y.
    pad = lambda v: np.concatenate([v, np.full(5, 1e300)])  # noqa: E731
    a = fit(p["y"], [pad(x) for x in p["exog"]], [pad(x) for x in p["endog"]],
            [pad(z) for z in p["excl"]], fe=p["fe"][:1])
    assert all(np.array_equal(u, w) for u, w in zip(a, args(p, fe=p["fe"][:1])))


@pytest.mark.parametrize("kw, message", [
    ({"fe": [np.zeros(300, np.int32), np.zeros(301, np.int32)]},
     r"^fe_cols\[1\] has 301 codes but y_col has 300 rows$"),
    ({"cl": [np.zeros(298, np.int32)]}, r"^cl_cols\[0\] has 298 codes but y_col has 300 rows$"),
    ({"fe": [np.zeros(301, np.int32)], "intercept": True}, "fe_cols"),  # before the intercept
    ({"exog": [np.zeros(299)]}, "index out of bounds"),
    ({"excl": [np.zeros(299)]}, "index out of bounds"),
    ({"endog": [np.zeros(299)]}, "index out of bounds"),
    ({"fe": [np.r_[-1, np.zeros(299, np.int32)].astype(np.int32)]}, None),
    ({"y": np.zeros(600)[::2]}, re.escape(NOT_CONTIGUOUS)),
    ({"endog": [np.zeros(600)[::2]]}, re.escape(NOT_CONTIGUOUS)),
    ({"cl": [np.zeros(600, np.int32)[::2]]}, re.escape(NOT_CONTIGUOUS)),
])
def test_bad_columns_panic_naming_the_argument(kw, message):
    with pytest.raises(PANIC, match=message):
        args(simulate(n=300, seed=72), **kw)
