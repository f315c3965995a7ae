"""rust_ols_nofe: OLS without fixed effects, its iid, HC0-HC3 and multi-way clustered
covariances, and its failures, against NumPy statements of least squares and the covariance
formulas, and against statsmodels where its conventions are ours."""
import numpy as np
import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

from conftest import I32, NOT_CONTIGUOUS, PANIC, call_checked, float_arrays, need
from kestrel import _native
from oracles import hc_vcov, multiway_vcov

UNSUPPORTED = "internal error: entered unreachable code: sandwich_vcov called with unsupported type: "
SINGULAR = "^Singular matrix$"


def ols(y, xs, names=None, intercept=True, clusters=(), vcov="iid"):
    names = [f"x{j}" for j in range(len(xs))] if names is None else names
    return _native.rust_ols_nofe(np.asarray(y, float), list(xs), names, intercept,
                                 list(clusters), [], vcov)


def design(xs, n, intercept):
    cols = [c[:n] for c in xs] + ([np.ones(n)] if intercept else [])
    return np.column_stack(cols) if cols else np.zeros((n, 0))


def expected_vcov(X, e, vcov, clusters):
    n, k = np.float64(X.shape[0]), np.float64(X.shape[1])
    B = np.linalg.inv(X.T @ X)
    if clusters:
        return multiway_vcov(X, e, B, clusters, lambda G: (G / (G - 1.0)) * ((n - 1.0) / (n - k)))
    if vcov == "iid":
        return B * (e @ e) / (n - k)
    return hc_vcov(X, e, B, vcov) * (n / (n - k) if vcov == "HC1" else 1.0)


@st.composite
def problems(draw):
    n, p = draw(st.integers(0, 30)), draw(st.integers(0, 3))
    x_cols = [draw(float_arrays(n + draw(st.integers(0, 2)), scale=10)) for _ in range(p)]
    ids = st.one_of(st.integers(0, 4), st.integers(I32.min, I32.max),
                    st.sampled_from([I32.min, -1, I32.max]))
    clusters = [np.array(draw(st.lists(ids, min_size=n + extra, max_size=n + extra)), np.int32)
                for extra in (draw(st.integers(0, 2)) for _ in range(draw(st.integers(0, 3))))]
    return (draw(float_arrays(n, scale=10)), x_cols, draw(st.booleans()), clusters,
            draw(st.sampled_from(["iid", "HC0", "HC1", "HC2", "HC3"])))


@given(problem=problems())
def test_coefficients_fit_and_covariance_match_numpy(problem):
    y, x_cols, intercept, clusters, vcov = problem
    n = len(y)
    names = [f"x{j}" for j in range(len(x_cols))]
    status, out = call_checked(_native.rust_ols_nofe, y, x_cols, names, intercept, clusters,
                               ["c"] * len(clusters), vcov)
    X = design(x_cols, n, intercept)
    k = X.shape[1]
    if status == "raised":
        # Singular, or an intersection whose later cluster column is shorter than its
        # first (intersections take the rows of their first column).
        assert out.args == ("Singular matrix",) if isinstance(out, ValueError) else (
            isinstance(out, PANIC) and any(len(b) < len(a) for i, a in enumerate(clusters)
                                           for b in clusters[i + 1:]))
        assume(False)
    beta, V, e, r2, adj, n_out, groups, out_names = out
    assert n_out == n and out_names == names + (["_cons"] if intercept else [])
    assert [type(v) for v in (r2, adj, n_out)] == [float, float, int]
    assert beta.shape == (k,) and V.shape == (k, k) and e.shape == (n,)
    assert groups == [len(np.unique(c)) for c in clusters]  # all entries, even past n
    assume(n > k + 1 and (k == 0 or np.linalg.cond(X.T @ X) < 1e8))
    np.testing.assert_allclose(beta, np.linalg.solve(X.T @ X, X.T @ y) if k else np.zeros(0),
                               rtol=1e-7, atol=1e-8)
    np.testing.assert_allclose(e, y - X @ beta, rtol=1e-9, atol=1e-9)
    tss = ((y - y.mean()) ** 2).sum()
    if tss > 1e-12:
        np.testing.assert_allclose(r2, 1 - (e @ e) / tss, rtol=1e-7, atol=1e-9)
    with np.errstate(all="ignore"):
        expected = expected_vcov(X, e, vcov, clusters)
    np.testing.assert_allclose(V, expected, rtol=1e-6, atol=1e-9, equal_nan=True)


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(20240611)
    n = 240
    x1, x2 = rng.normal(size=n), rng.uniform(-2, 2, size=n)
    x3 = rng.normal(size=n) + 0.5 * x1
    c1, c2, c3 = (rng.integers(0, g, size=n).astype(np.int32) for g in (12, 7, 5))
    e = rng.normal(size=n) * (1 + np.abs(x2)) + 0.7 * rng.normal(size=12)[c1]
    return dict(n=n, y=0.3 + 1.5 * x1 - 0.8 * x2 + 0.2 * x3 + e, xs=[x1, x2, x3], c1=c1, c2=c2,
                c3=c3)


@pytest.mark.peers
@pytest.mark.parametrize("intercept", [True, False])
def test_fit_and_covariances_match_statsmodels(data, intercept):
    sm = need("statsmodels.api")
    X = design(data["xs"], data["n"], intercept)
    fit = sm.OLS(data["y"], X).fit()
    beta, _, resid, r2, adj, *_ = ols(data["y"], data["xs"], intercept=intercept)
    np.testing.assert_allclose(beta, fit.params, rtol=1e-10)
    np.testing.assert_allclose(resid, fit.resid, rtol=1e-10, atol=1e-12)
    if intercept:  # statsmodels uses the uncentered R² without a constant
        assert (r2, adj) == pytest.approx((fit.rsquared, fit.rsquared_adj), rel=1e-10)
        for col in ("c1", "c2"):
            peer = sm.OLS(data["y"], X).fit(cov_type="cluster", cov_kwds={"groups": data[col]})
            np.testing.assert_allclose(ols(data["y"], data["xs"], clusters=[data[col]])[1],
                                       peer.cov_params(), rtol=1e-10)
    for vcov, cov_type in [("iid", "nonrobust"), ("HC0", "HC0"), ("HC1", "HC1"),
                           ("HC2", "HC2"), ("HC3", "HC3")]:
        np.testing.assert_allclose(ols(data["y"], data["xs"], intercept=intercept, vcov=vcov)[1],
                                   sm.OLS(data["y"], X).fit(cov_type=cov_type).cov_params(),
                                   rtol=1e-10)


def test_covariance_conventions(data):
    y, xs, c1 = data["y"], data["xs"], data["c1"]
    ref = ols(y, xs, clusters=[c1])[1]
    for vcov in ["HC3", "iid", "bogus", ""]:  # the name is ignored when clustering
        np.testing.assert_array_equal(ols(y, xs, clusters=[c1], vcov=vcov)[1], ref)
    for vcov in ["HC0", "HC3"]:
        # (B M) B rounds differently on the two sides of the diagonal; returned as computed.
        V = ols(y, xs, vcov=vcov)[1]
        np.testing.assert_allclose(V, V.T, rtol=1e-13)
        assert not np.array_equal(V, V.T)
    for name in ["hc1", "HC4", "", "HC", "iid ", "HC0 ", "cluster"]:
        with pytest.raises(PANIC) as e:
            ols(y, xs, vcov=name)
        assert e.value.args == (UNSUPPORTED + name,)


def test_multiway_clusters(data):
    y, xs, c1, c2, c3 = (data[k] for k in ("y", "xs", "c1", "c2", "c3"))
    X = design(xs, data["n"], True)
    B = np.linalg.inv(X.T @ X)
    _, V, e, *_, groups, _ = ols(y, xs, clusters=[c1, c2, c3])
    assert groups == [12, 7, 5]
    n, k = X.shape
    factor = lambda G: (G / (G - 1)) * ((n - 1) / (n - k))  # noqa: E731
    np.testing.assert_allclose(V, multiway_vcov(X, e, B, [c1, c2, c3], factor), rtol=1e-10)
    b = ols(y, xs, clusters=[c3, c1, c2])  # the order only permutes the terms
    np.testing.assert_allclose(b[1], V, rtol=1e-12)
    assert b[6] == [5, 12, 7]
    # Each fine cluster inside one coarse one: the two-way sum is the coarse term.
    coarse = (c1 // 4).astype(np.int32)
    outer = ols(y, xs, clusters=[coarse])[1]
    np.testing.assert_allclose(ols(y, xs, clusters=[c1, coarse])[1], outer, rtol=1e-10,
                               atol=1e-14 * np.abs(outer).max())
    beta, V, *_, groups, _ = ols(y, xs, clusters=[np.zeros(data["n"], np.int32)])
    assert groups == [1] and np.isfinite(beta).all() and not np.isfinite(V).any()


def test_intersections_of_many_columns_keep_distinct_combinations_apart():
    # Five columns whose group counts multiply past 2^64: a plain mixed-radix key would wrap
    # and merge rows i and i + 65536 in the five-way intersection. Every intersection with
    # the first column pairs no rows (n groups of one), the others pair rows i, i + 65536.
    n = 2 * 65536
    rest = (np.arange(n) % 65536).astype(np.int32)
    first = (np.arange(n) // 65536).astype(np.int32)
    rng = np.random.default_rng(11)
    x = rng.normal(size=n)
    y = 0.5 * x + rng.normal(size=n)
    _, V, e, *_, groups, _ = ols(y, [x], intercept=False, clusters=[first] + [rest] * 4)
    assert groups == [2, 65536, 65536, 65536, 65536]
    s = x * e
    B = 1 / (x @ x)
    term = lambda meat, G: B * meat * B * (G / (G - 1)) * ((n - 1) / (n - 1))  # noqa: E731
    pairs = np.bincount(rest, weights=s)
    t_first = term(np.bincount(first, weights=s) @ np.bincount(first, weights=s), 2)
    t_pairs, t_rows = term(pairs @ pairs, 65536), term(s @ s, n)
    # Subsets without the first column: 15, signs 4 - 6 + 4 - 1 = +1; with it: the first
    # alone (+1) and 15 others, signs -4 + 6 - 4 + 1 = -1.
    np.testing.assert_allclose(V[0, 0], t_first + t_pairs - t_rows, rtol=1e-9)
    assert abs(t_pairs - t_rows) > 1e-6 * abs(V[0, 0])  # had pairs merged, V would differ


def test_worked_examples_and_degenerate_designs():
    assert ols(np.arange(4.0), [np.ones(4)], ["a", "b", "c"], False)[7] == ["a", "b", "c"]
    # No regressors, no intercept: residuals are y, and the adjusted R² uses df = n.
    y = np.array([1.0, -2.0, 4.0, 0.5, 3.0])
    for vcov in ["iid", "HC0", "HC1", "HC2", "HC3"]:
        beta, V, resid, r2, adj, n, _, names = ols(y, [], [], False, vcov=vcov)
        assert beta.shape == (0,) and V.shape == (0, 0) and names == []
        np.testing.assert_array_equal(resid, y)
    expected_r2 = 1 - (y**2).sum() / ((y - y.mean()) ** 2).sum()
    assert (r2, adj) == pytest.approx((expected_r2, 1 - 4 * (1 - expected_r2) / 5), rel=1e-14)
    # A constant outcome has R² exactly 0, not NaN.
    _, _, _, r2, adj, *_ = ols(np.full(6, 2.0), [np.array([0.5, 1, -1, 3, 2, 0])])
    assert r2 == 0.0 and adj == pytest.approx(1 - 5 / 4, rel=1e-15)
    # k = n with an exact fit; k > n with pivots that rounding leaves above the threshold.
    beta, V, _, _, adj, *_ = ols(np.array([3.0, 5.0]), [np.array([1.0, 2.0])])
    np.testing.assert_allclose(beta, [2.0, 1.0], rtol=1e-14)
    assert np.isnan(V).all() and adj == 0.0
    assert not np.isfinite(ols([3.0, 5.0], [np.array([1.0, 2.0])], vcov="HC1")[1]).any()
    beta, V, *_ = ols([-0.62, 0.04], [np.array([1.3, 0.95]), np.array([-0.7, -1.27])])
    assert np.isfinite(beta).all() and V.shape == (3, 3) and np.isnan(V).all()
    # cond(X'X) about 1e9 is still solved, to about seven digits.
    rng = np.random.default_rng(1)
    x1 = rng.normal(size=50)
    x2 = x1 + 1e-4 * rng.normal(size=50)
    y = 1.0 + x1 - x2 + rng.normal(size=50)
    np.testing.assert_allclose(ols(y, [x1, x2])[0], np.linalg.lstsq(
        design([x1, x2], 50, True), y, rcond=None)[0], rtol=1e-5)


@pytest.mark.parametrize("y, xs, intercept", [
    ([1.0, 3.0, 2.0, 5.0], [np.ones(4)], True),  # a column of ones beside the intercept
    (np.arange(5.0), [np.array([1.0, 2, 4, 8, 3]), np.array([2.0, 4, 8, 16, 6])], False),
    (np.arange(5.0), [np.array([1.0, 2, 4, 8, 3])] * 2, False),
    ([1.0, 2.0, 3.0, 4.0], [np.full(4, 1e-16)], False),  # X'X = 4e-32: below the absolute 1e-30
    ([2.0, 1.0, np.nan, 3.0], [np.array([1.0, 2.0, 3.0, 4.0])], True),
    ([2.0, 1.0, 4.0, 3.0], [np.array([1.0, 2.0, np.nan, 4.0])], True),
    (np.zeros(0), [np.zeros(0)], True),
])
def test_singular_designs_raise_value_error(y, xs, intercept):
    with pytest.raises(ValueError, match=SINGULAR):
        ols(y, xs, intercept=intercept)


def test_pivot_threshold_is_absolute_and_columns_are_checked_in_order():
    np.testing.assert_allclose(ols([1.0, 2, 3, 4], [np.full(4, 1e-15)], intercept=False)[0],
                               [2.5e15], rtol=1e-14)
    # Contiguity is checked before anything is computed: the outcome first.
    for y, x, cl in [(np.arange(4.0), np.ones(8)[::2], np.zeros(4, np.int32)),
                     (np.arange(4.0), np.ones(4), np.zeros(8, np.int32)[::2]),
                     (np.arange(8.0)[::2], np.ones(2), np.zeros(4, np.int32))]:
        with pytest.raises(PANIC) as e:
            ols(y, [x], clusters=[cl])
        assert e.value.args == (NOT_CONTIGUOUS,)
    # Shorter columns fail on the index; longer ones are cut to the rows of y.
    for xs, cl in [([np.ones(4), np.ones(3)], []), ([np.arange(4.0)], [np.zeros(3, np.int32)])]:
        with pytest.raises(PANIC, match="index out of bounds"):
            ols(np.arange(4.0), xs, clusters=cl)
    y, x = np.array([1.0, 3, 2, 5]), np.array([1.0, 2, 3, 5])
    np.testing.assert_array_equal(ols(y, [np.r_[x, 7.0]], vcov="HC2")[1],
                                  ols(y, [x], vcov="HC2")[1])
