"""rust_iv2sls on random instrumented models (with and without fixed effects, clusters,
covariance names), against the NumPy statement of two-stage least squares; and malformed
inputs."""
import itertools

import numpy as np
from hypothesis import assume, given
from hypothesis import strategies as st

from fe_oracles import absorbed, first_appearance, intersection, keep_mask, residual_on_dummies
from fuzz_support import PANIC, call_checked, float_arrays, with_layout_1d
from kestrel import _native

iv = _native.rust_iv2sls
TOL, MAX_ITER = 1e-14, 100_000


@st.composite
def models(draw):
    n = draw(st.integers(1, 30))
    col = lambda: draw(float_arrays(n, scale=10))  # noqa: E731
    exog = [col() for _ in range(draw(st.integers(0, 2)))]
    endog = [col() for _ in range(draw(st.integers(1, 2)))]
    excl = [col() for _ in range(draw(st.integers(0, 3)))]
    y = col()
    fes = [np.array(draw(st.lists(st.integers(0, g), min_size=n, max_size=n)), dtype=np.int32)
           for g in (draw(st.integers(0, 4)) for _ in range(draw(st.integers(0, 2))))]
    clusters = [np.array(draw(st.lists(st.integers(-2, 3), min_size=n, max_size=n)),
                         dtype=np.int32) for _ in range(draw(st.integers(0, 2)))]
    intercept = draw(st.booleans())
    vcov = draw(st.sampled_from(["iid", "HC0", "HC1", "HC3", "", "anything"]))
    return y, exog, endog, excl, fes, clusters, intercept, vcov


def call(y, exog, endog, excl, fes, clusters, intercept, vcov):
    return call_checked(iv, y, exog, endog, excl, ["x"] * len(exog), ["w"] * len(endog), fes,
                        [], clusters, [], TOL, MAX_ITER, vcov, intercept)


def expected_2sls(y, exog, endog, excl, fes, clusters, intercept, vcov):
    n0 = len(y)
    E = np.column_stack(exog + ([np.ones(n0)] if intercept else [])) if exog or intercept \
        else np.zeros((n0, 0))
    N = np.column_stack(endog)
    W = np.column_stack(excl) if excl else np.zeros((n0, 0))
    removed = 0
    if fes:
        keep = keep_mask(fes)
        removed = int(n0 - keep.sum())
        if removed:
            y, E, N, W = y[keep], E[keep], N[keep], W[keep]
            fes = [first_appearance(c[keep]) for c in fes]
            clusters = [c[keep] for c in clusters]
    y, E, N, W = (residual_on_dummies(a, fes) for a in (y, E, N, W))
    n = len(y)
    Z = np.hstack([E, W])
    X = np.hstack([E, N])
    if n == 0 or np.linalg.cond(Z.T @ Z) > 1e6:
        return None
    Nhat = Z @ np.linalg.solve(Z.T @ Z, Z.T @ N)
    Xhat = np.hstack([E, Nhat])
    A = Xhat.T @ X
    if np.linalg.cond(A) > 1e6:
        return None
    beta = np.linalg.solve(A, Xhat.T @ y)
    e = y - X @ beta
    B = np.linalg.inv(A)
    k = X.shape[1]
    if clusters:
        V = np.zeros((k, k))
        for r in range(1, len(clusters) + 1):
            for combo in itertools.combinations(range(len(clusters)), r):
                codes, G = intersection([first_appearance(clusters[d]) for d in combo])
                S = np.zeros((G, k))
                np.add.at(S, codes, Xhat * e[:, None])
                V += (-1) ** (r + 1) * (B @ (S.T @ S) @ B)  # no small-sample factor
    elif vcov == "iid":
        V = B * (e @ e) / n
    else:  # every other name is HC0
        V = B @ ((Xhat * (e**2)[:, None]).T @ Xhat) @ B
    return beta, V, e, n, (absorbed(fes) if fes else 0), removed


@given(model=models())
def test_coefficients_residuals_and_covariance_match_two_stage_least_squares(model):
    y, exog, endog, excl, fes, clusters, intercept, vcov = model
    status, out = call(*model)
    if status == "raised":
        assert isinstance(out, ValueError) and out.args == ("Singular matrix in 2SLS",), out
        assume(False)
    beta, V, e, r2, adj, F, n, a, removed, groups, names = out
    assert names == ["x"] * len(exog) + (["_cons"] if intercept else []) + ["w"] * len(endog)
    expected = expected_2sls(*model)
    assume(expected is not None)
    ebeta, eV, ee, en, ea, eremoved = expected
    assert (n, a, removed) == (en, ea, eremoved)
    scale = max(1.0, float(np.abs(y).max()))
    np.testing.assert_allclose(beta, ebeta, rtol=1e-5, atol=1e-6 * scale)
    np.testing.assert_allclose(e, ee, rtol=1e-5, atol=1e-6 * scale)
    np.testing.assert_allclose(V, eV, rtol=1e-4, atol=1e-6 * scale**2)
    if not excl:
        assert F == 0.0


@given(model=models(), data=st.data())
def test_malformed_models_end_in_panics_or_the_singular_error(model, data):
    y, exog, endog, excl, fes, clusters, intercept, vcov = model
    n = len(y)
    what = data.draw(st.sampled_from(["no endog", "short col", "nan y", "strided", "fe length",
                                      "negative fe"]))
    if what == "no endog":
        endog, expected = [], PANIC
    elif what == "short col":
        exog = [c[: n - 1] for c in exog] if exog else exog
        endog = [c[: n - 1] for c in endog]
        expected = PANIC
    elif what == "nan y":
        y = y.copy()
        y[data.draw(st.integers(0, n - 1))] = np.nan
        # The NaN may sit in a row dropped as a singleton; then the fit goes on.
        expected = (ValueError, type(None))
    elif what == "strided":
        assume(n > 1)
        endog = [with_layout_1d(endog[0], "strided")] + endog[1:]
        expected = PANIC
    elif what == "fe length":
        fes = [np.zeros(n + 1, np.int32)] + fes[1:]
        expected = PANIC
    else:
        assume(fes and n > 0)
        fes = [fes[0].copy()] + fes[1:]
        fes[0][data.draw(st.integers(0, n - 1))] = -1
        expected = PANIC
    if intercept and what == "negative fe":
        # An intercept with fixed effects is refused as singular once the lengths are
        # checked, before the codes are read.
        expected = ValueError
    status, out = call(y, exog, endog, excl, fes, clusters, intercept, vcov)
    if status == "ok":
        assert type(None) in (expected if isinstance(expected, tuple) else (expected,)), what
    else:
        assert isinstance(out, expected), (what, out)
        if isinstance(out, ValueError):
            assert out.args == ("Singular matrix in 2SLS",)
