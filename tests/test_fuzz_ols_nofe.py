"""rust_ols_nofe on random designs, covariance types and cluster columns (any int32
identifiers), against NumPy statements of least squares and of the covariance formulas;
and malformed designs."""
import itertools

import numpy as np
from hypothesis import assume, given
from hypothesis import strategies as st

from fuzz_support import (FLAT_1D, I32, LAYOUTS_1D, PANIC, call_checked, float_arrays,
                          with_layout_1d)
from kestrel import _native

ols = _native.rust_ols_nofe
NOT_CONTIGUOUS = "called `Result::unwrap()` on an `Err` value: NotContiguousError"


def design(x_cols, n, intercept):
    cols = [c[:n] for c in x_cols] + ([np.ones(n)] if intercept else [])
    return np.column_stack(cols) if cols else np.zeros((n, 0))


def intersection(columns):
    """Dense codes of the intersection of cluster columns and their count. The rows are
    those of the first column; the group count takes all of them, even past n."""
    m = len(columns[0])
    keys = np.column_stack([c[:m] for c in columns]) if m else np.zeros((0, len(columns)))
    _, inverse = np.unique(keys, axis=0, return_inverse=True)
    inverse = inverse.ravel()
    return inverse, int(inverse.max()) + 1 if m else 0


def cluster_lengths_clash(clusters):
    """Whether some intersection has a later column shorter than its first one."""
    return any(len(clusters[j]) < len(clusters[i])
               for i in range(len(clusters)) for j in range(i + 1, len(clusters)))


def expected_vcov(X, e, vcov, clusters):
    n, k = X.shape
    B = np.linalg.inv(X.T @ X)
    if clusters:
        V = np.zeros((k, k))
        for r in range(1, len(clusters) + 1):
            for combo in itertools.combinations(range(len(clusters)), r):
                codes, G = intersection([clusters[d] for d in combo])
                S = np.zeros((G, k))
                np.add.at(S, codes[:n], X * e[:, None])
                f = (np.float64(G) / (G - 1.0)) * ((n - 1.0) / (n - k))
                V += (-1) ** (r + 1) * f * (B @ (S.T @ S) @ B)
        return V
    if vcov == "iid":
        return B * (e @ e) / (n - k)
    h = np.einsum("ia,ab,ib->i", X, B, X)
    w = {"HC0": e**2, "HC1": e**2, "HC2": e**2 / (1 - h), "HC3": e**2 / (1 - h) ** 2}[vcov]
    V = B @ ((X * w[:, None]).T @ X) @ B
    return V * n / (n - k) if vcov == "HC1" else V


@st.composite
def problems(draw):
    n = draw(st.integers(0, 30))
    p = draw(st.integers(0, 3))
    intercept = draw(st.booleans())
    x_cols = [draw(float_arrays(n + draw(st.integers(0, 2)), scale=10)) for _ in range(p)]
    y = draw(float_arrays(n, scale=10))
    n_cl = draw(st.integers(0, 3))
    ids = st.one_of(st.integers(0, 4), st.integers(I32.min, I32.max),
                    st.sampled_from([I32.min, -1, I32.max]))
    clusters = [np.array(draw(st.lists(ids, min_size=n + e, max_size=n + e)), dtype=np.int32)
                for e in (draw(st.integers(0, 2)) for _ in range(n_cl))]
    vcov = draw(st.sampled_from(["iid", "HC0", "HC1", "HC2", "HC3"]))
    return y, x_cols, intercept, clusters, vcov


@given(problem=problems())
def test_coefficients_fit_and_covariance_match_numpy(problem):
    y, x_cols, intercept, clusters, vcov = problem
    n = len(y)
    names = [f"x{j}" for j in range(len(x_cols))]
    status, out = call_checked(ols, y, x_cols, names, intercept, clusters, ["c"] * len(clusters),
                               vcov)
    X = design(x_cols, n, intercept)
    k = X.shape[1]
    well_posed = n > k + 1 and (k == 0 or np.linalg.cond(X.T @ X) < 1e8)
    if status == "raised":
        if isinstance(out, ValueError):
            assert out.args == ("Singular matrix",)
        else:
            # Intersections take the rows of their first column: a later, shorter one is
            # an index failure.
            assert isinstance(out, PANIC) and cluster_lengths_clash(clusters)
        assume(False)
    beta, V, e, r2, adj, n_out, groups, out_names = out
    assert n_out == n and out_names == names + (["_cons"] if intercept else [])
    assert beta.shape == (k,) and V.shape == (k, k) and e.shape == (n,)
    assert groups == [len(np.unique(c)) for c in clusters]
    assume(well_posed)
    expected_beta = np.linalg.solve(X.T @ X, X.T @ y) if k else np.zeros(0)
    np.testing.assert_allclose(beta, expected_beta, rtol=1e-7, atol=1e-8)
    np.testing.assert_allclose(e, y - X @ beta, rtol=1e-9, atol=1e-9)
    tss = ((y - y.mean()) ** 2).sum()
    if tss > 1e-12:
        np.testing.assert_allclose(r2, 1 - (e @ e) / tss, rtol=1e-7, atol=1e-9)
    with np.errstate(all="ignore"):
        expected_V = expected_vcov(X, e, vcov, clusters)
    np.testing.assert_allclose(V, expected_V, rtol=1e-6, atol=1e-9, equal_nan=True)


@given(problem=problems(), data=st.data())
def test_non_contiguous_columns_panic_and_flat_layouts_change_no_bit(problem, data):
    y, x_cols, intercept, clusters, vcov = problem
    base = call_checked(ols, y, x_cols, [], intercept, clusters, [], vcov)
    ly = data.draw(st.sampled_from(LAYOUTS_1D))
    lx = [data.draw(st.sampled_from(LAYOUTS_1D)) for _ in x_cols]
    lc = [data.draw(st.sampled_from(LAYOUTS_1D)) for _ in clusters]
    got = call_checked(ols, with_layout_1d(y, ly), [with_layout_1d(c, l) for c, l in zip(x_cols, lx)],
                       [], intercept, [with_layout_1d(c, l) for c, l in zip(clusters, lc)], [], vcov)
    # Any column that is not one contiguous run ends the call, whatever its length.
    if not all(l in FLAT_1D or len(a) <= 1 for l, a in
               zip([ly] + lx + lc, [y] + list(x_cols) + list(clusters))):
        if got[0] == "raised" and isinstance(got[1], PANIC):
            assert got[1].args == (NOT_CONTIGUOUS,)
            return
    assert got[0] == base[0]
    if got[0] == "ok":
        for a, b in zip(got[1][:3], base[1][:3]):
            assert a.tobytes() == b.tobytes()
    else:
        assert got[1].args == base[1].args


@given(problem=problems(), data=st.data())
def test_short_columns_panic_and_non_finite_data_is_singular(problem, data):
    y, x_cols, intercept, clusters, vcov = problem
    n = len(y)
    assume(n > 0 and (x_cols or clusters))
    what = data.draw(st.sampled_from(["short x", "short cluster", "nan", "inf"]))
    if what == "short x" and x_cols:
        x_cols = [c[: n - 1] for c in x_cols]
        expected = PANIC
    elif what == "short cluster" and clusters:
        clusters = [c[: n - 1] for c in clusters]
        expected = (PANIC, ValueError)  # the singular check comes first
    elif x_cols and what in ("nan", "inf"):
        x_cols = [c.copy() for c in x_cols]
        x_cols[0][data.draw(st.integers(0, n - 1))] = np.nan if what == "nan" else np.inf
        expected = ValueError
    else:
        return
    status, err = call_checked(ols, y, x_cols, [], intercept, clusters, [], vcov)
    assert status == "raised" and isinstance(err, expected), err
    if isinstance(err, ValueError):
        assert err.args == ("Singular matrix",)
