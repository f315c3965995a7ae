"""rust_ols_nofe: OLS without fixed effects, its covariances and its failures.

Oracles: NumPy least squares and closed-form covariance formulas, and statsmodels
(OLS with cov_type nonrobust, HC0-HC3 and one-way cluster) where its conventions
are the same as ours.
"""
import numpy as np
import pytest

import kestrel
from kestrel import _native

PANIC = kestrel.PanicException
NOT_CONTIGUOUS = "called `Result::unwrap()` on an `Err` value: NotContiguousError"
UNSUPPORTED = "internal error: entered unreachable code: sandwich_vcov called with unsupported type: "
RTOL = 1e-10


def ols(y, xs, names=None, intercept=True, clusters=(), vcov="iid"):
    names = [f"x{j}" for j in range(len(xs))] if names is None else names
    return _native.rust_ols_nofe(y, list(xs), names, intercept, list(clusters), [], vcov)


def design(xs, intercept, n):
    cols = list(xs) + ([np.ones(n)] if intercept else [])
    return np.column_stack(cols) if cols else np.zeros((n, 0))


def cluster_meat(X, e, codes):
    """Sum over groups of s_g s_g' with s_g the group sum of x_i e_i."""
    _, g = np.unique(codes, return_inverse=True)
    S = np.zeros((g.max() + 1, X.shape[1]))
    np.add.at(S, g, X * e[:, None])
    return S.T @ S


def clustered_term(X, e, B, codes):
    """(G/(G-1)) * ((n-1)/(n-k)) * B M B for one set of cluster codes."""
    n, k = X.shape
    G = len(np.unique(codes))
    return (G / (G - 1)) * ((n - 1) / (n - k)) * (B @ cluster_meat(X, e, codes) @ B)


def joint_codes(*cols):
    return np.unique(np.column_stack(cols), axis=0, return_inverse=True)[1].ravel()


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(20240611)
    n = 240
    x1 = rng.normal(size=n)
    x2 = rng.uniform(-2, 2, size=n)
    x3 = rng.normal(size=n) + 0.5 * x1
    c1 = rng.integers(0, 12, size=n).astype(np.int32)
    c2 = rng.integers(0, 7, size=n).astype(np.int32)
    c3 = rng.integers(0, 5, size=n).astype(np.int32)
    e = rng.normal(size=n) * (1 + np.abs(x2)) + 0.7 * rng.normal(size=12)[c1]
    y = 0.3 + 1.5 * x1 - 0.8 * x2 + 0.2 * x3 + e
    return dict(n=n, y=y, xs=[x1, x2, x3], c1=c1, c2=c2, c3=c3)


class TestWorkedExamples:
    def test_slope_then_intercept_with_names_and_zero_residual_sum(self):
        y = np.array([1.0, 2.0, 3.0, 4.0])
        x = np.array([1.0, 2.0, 3.0, 5.0])
        beta, V, resid, r2, adj, n, groups, names = ols(y, [x], ["x"])
        ref = np.linalg.lstsq(np.column_stack([x, np.ones(4)]), y, rcond=None)[0]
        np.testing.assert_allclose(beta, ref, rtol=1e-13)
        assert names == ["x", "_cons"] and n == 4 and groups == []
        assert beta.shape == (2,) and V.shape == (2, 2) and resid.shape == (4,)
        assert abs(resid.sum()) < 1e-13
        assert isinstance(r2, float) and isinstance(adj, float) and isinstance(n, int)

    def test_no_regressors_and_no_intercept_gives_empty_coefficients(self):
        y = np.array([1.0, -2.0, 4.0, 0.5, 3.0])
        beta, V, resid, r2, adj, n, _, names = ols(y, [], [], intercept=False)
        assert beta.shape == (0,) and V.shape == (0, 0) and names == []
        np.testing.assert_array_equal(resid, y)
        expected_r2 = 1 - (y**2).sum() / ((y - y.mean()) ** 2).sum()
        assert r2 == pytest.approx(expected_r2, rel=1e-14)
        # the adjusted R-squared uses df = n
        assert adj == pytest.approx(1 - (n - 1) * (1 - expected_r2) / n, rel=1e-14)

    @pytest.mark.parametrize("vcov", ["iid", "HC0", "HC1", "HC2", "HC3"])
    def test_no_regressors_gives_empty_covariance_for_every_type(self, vcov):
        beta, V, *_ = ols(np.arange(4.0), [], [], intercept=False, vcov=vcov)
        assert beta.shape == (0,) and V.shape == (0, 0)

    def test_constant_outcome_has_zero_r_squared_not_nan(self):
        y = np.full(6, 2.0)
        x = np.array([0.5, 1.0, -1.0, 3.0, 2.0, 0.0])
        beta, _, resid, r2, adj, n, _, _ = ols(y, [x])
        assert r2 == 0.0
        assert adj == pytest.approx(1 - (n - 1) / (n - 2), rel=1e-15)
        np.testing.assert_allclose(beta, [0.0, 2.0], atol=1e-14)

    def test_names_are_passed_through_whatever_their_count(self):
        y, x = np.arange(5.0), np.array([1.0, 0.0, 2.0, 5.0, 3.0])
        assert ols(y, [x], ["a", "b", "c"])[7] == ["a", "b", "c", "_cons"]
        assert ols(y, [x], [], intercept=False)[7] == []


class TestAgainstStatsmodels:
    sm = pytest.importorskip("statsmodels.api")

    @pytest.mark.parametrize("intercept", [True, False], ids=["intercept", "no-intercept"])
    def test_coefficients_residuals_and_fit_statistics(self, data, intercept):
        X = design(data["xs"], intercept, data["n"])
        fit = self.sm.OLS(data["y"], X).fit()
        beta, _, resid, r2, adj, *_ = ols(data["y"], data["xs"], intercept=intercept)
        np.testing.assert_allclose(beta, fit.params, rtol=RTOL)
        np.testing.assert_allclose(resid, fit.resid, rtol=RTOL, atol=1e-12)
        if intercept:  # statsmodels uses the uncentered R-squared without a constant
            assert r2 == pytest.approx(fit.rsquared, rel=RTOL)
            assert adj == pytest.approx(fit.rsquared_adj, rel=RTOL)

    @pytest.mark.parametrize("vcov, cov_type", [("iid", "nonrobust"), ("HC0", "HC0"),
                                                ("HC1", "HC1"), ("HC2", "HC2"), ("HC3", "HC3")])
    def test_classical_and_robust_covariances(self, data, vcov, cov_type):
        X = design(data["xs"], True, data["n"])
        fit = self.sm.OLS(data["y"], X).fit(cov_type=cov_type)
        V = ols(data["y"], data["xs"], vcov=vcov)[1]
        np.testing.assert_allclose(V, fit.cov_params(), rtol=RTOL)

    @pytest.mark.parametrize("col", ["c1", "c2"])
    def test_one_way_cluster_covariance(self, data, col):
        X = design(data["xs"], True, data["n"])
        fit = self.sm.OLS(data["y"], X).fit(cov_type="cluster",
                                             cov_kwds={"groups": data[col]})
        _, V, _, _, _, _, groups, _ = ols(data["y"], data["xs"], clusters=[data[col]])
        np.testing.assert_allclose(V, fit.cov_params(), rtol=RTOL)
        assert groups == [len(np.unique(data[col]))]


class TestCovarianceIdentities:
    def test_hc1_is_hc0_scaled_and_iid_is_bread_times_sigma2(self, data):
        n, k = data["n"], 4
        hc0 = ols(data["y"], data["xs"], vcov="HC0")[1]
        hc1 = ols(data["y"], data["xs"], vcov="HC1")[1]
        np.testing.assert_allclose(hc1, hc0 * n / (n - k), rtol=1e-14)
        beta, V, resid, *_ = ols(data["y"], data["xs"], vcov="iid")
        X = design(data["xs"], True, n)
        np.testing.assert_allclose(V, np.linalg.inv(X.T @ X) * (resid @ resid) / (n - k),
                                   rtol=1e-12)

    def test_robust_covariance_follows_the_sandwich_formula(self, data):
        X = design(data["xs"], True, data["n"])
        B = np.linalg.inv(X.T @ X)
        e = ols(data["y"], data["xs"])[2]
        h = np.einsum("ia,ab,ib->i", X, B, X)
        for vcov, w in [("HC2", e**2 / (1 - h)), ("HC3", e**2 / (1 - h) ** 2)]:
            V = ols(data["y"], data["xs"], vcov=vcov)[1]
            np.testing.assert_allclose(V, B @ (X.T * w) @ X @ B, rtol=1e-11)

    def test_cluster_with_one_row_per_group_equals_hc1(self, data):
        own = np.arange(data["n"], dtype=np.int32)
        V = ols(data["y"], data["xs"], clusters=[own])[1]
        np.testing.assert_allclose(V, ols(data["y"], data["xs"], vcov="HC1")[1], rtol=1e-11)

    def test_covariance_type_is_ignored_when_clustering(self, data):
        ref = ols(data["y"], data["xs"], clusters=[data["c1"]])[1]
        for vcov in ["HC3", "iid", "bogus", ""]:
            V = ols(data["y"], data["xs"], clusters=[data["c1"]], vcov=vcov)[1]
            np.testing.assert_array_equal(V, ref)

    @pytest.mark.parametrize("vcov", ["HC0", "HC3"])
    def test_robust_covariance_is_not_symmetrised_after_the_products(self, data, vcov):
        # (B M) B rounds differently on the two sides of the diagonal, and the
        # result is returned as computed.
        V = ols(data["y"], data["xs"], vcov=vcov)[1]
        np.testing.assert_allclose(V, V.T, rtol=1e-13)
        assert not np.array_equal(V, V.T)


class TestMultiwayClustering:
    def test_two_way_cluster_matches_inclusion_exclusion_formula_with_own_factors(self, data):
        X = design(data["xs"], True, data["n"])
        B = np.linalg.inv(X.T @ X)
        _, V, e, _, _, _, groups, _ = ols(data["y"], data["xs"], clusters=[data["c1"], data["c2"]])
        c1, c2 = data["c1"], data["c2"]
        expected = (clustered_term(X, e, B, c1) + clustered_term(X, e, B, c2)
                    - clustered_term(X, e, B, joint_codes(c1, c2)))
        np.testing.assert_allclose(V, expected, rtol=1e-10)
        assert groups == [12, 7]

    def test_three_way_cluster_matches_seven_term_formula_with_signs(self, data):
        X = design(data["xs"], True, data["n"])
        B = np.linalg.inv(X.T @ X)
        cols = [data["c1"], data["c2"], data["c3"]]
        _, V, e, _, _, _, groups, _ = ols(data["y"], data["xs"], clusters=cols)
        subsets = [([0], +1), ([1], +1), ([2], +1), ([0, 1], -1), ([0, 2], -1), ([1, 2], -1),
                   ([0, 1, 2], +1)]
        terms = [sign * clustered_term(X, e, B, joint_codes(*[cols[d] for d in s]))
                 for s, sign in subsets]
        np.testing.assert_allclose(V, sum(terms), rtol=1e-10)
        assert groups == [12, 7, 5]
        # A wrong sign on any one term would move the result well past the tolerance.
        for t in terms:
            assert not np.allclose(V, sum(terms) - 2 * t, rtol=1e-6)

    def test_cluster_order_only_permutes_terms(self, data):
        a = ols(data["y"], data["xs"], clusters=[data["c1"], data["c2"], data["c3"]])
        b = ols(data["y"], data["xs"], clusters=[data["c3"], data["c1"], data["c2"]])
        np.testing.assert_allclose(a[1], b[1], rtol=1e-12)
        assert b[6] == [5, 12, 7]

    def test_nested_first_dimension_leaves_the_outer_term(self, data):
        fine = data["c1"]
        coarse = (fine // 4).astype(np.int32)  # every fine cluster inside one coarse cluster
        V = ols(data["y"], data["xs"], clusters=[fine, coarse])[1]
        outer = ols(data["y"], data["xs"], clusters=[coarse])[1]
        np.testing.assert_allclose(V, outer, rtol=1e-10, atol=1e-14 * np.abs(outer).max())

    def test_single_group_cluster_gives_non_finite_covariance_not_an_error(self, data):
        one = np.zeros(data["n"], dtype=np.int32)
        beta, V, _, _, _, _, groups, _ = ols(data["y"], data["xs"], clusters=[one])
        assert groups == [1]
        assert np.all(np.isfinite(beta)) and not np.any(np.isfinite(V))

    def test_group_count_of_a_longer_cluster_column_counts_all_its_entries(self, data):
        n = data["n"]
        longer = np.append(data["c1"], np.int32(99))
        _, _, _, _, _, _, groups, _ = ols(data["y"], data["xs"], clusters=[longer])
        assert groups == [13]
        assert ols(data["y"], data["xs"], clusters=[longer[:n]])[6] == [12]


class TestSingularAndDegenerateDesigns:
    def test_column_of_ones_with_intercept_is_singular(self):
        y = np.array([1.0, 3.0, 2.0, 5.0])
        with pytest.raises(ValueError, match="^Singular matrix$"):
            ols(y, [np.ones(4)])

    @pytest.mark.parametrize("second", [lambda x: 2.0 * x, lambda x: x.copy()],
                             ids=["multiple", "duplicate"])
    def test_collinear_columns_are_singular(self, second):
        x = np.array([1.0, 2.0, 4.0, 8.0, 3.0])
        with pytest.raises(ValueError, match="^Singular matrix$"):
            ols(np.arange(5.0), [x, second(x)], intercept=False)

    def test_pivot_threshold_is_absolute(self):
        # X'X = 4e-32 is below the threshold 1e-30; 4e-30 is not, however badly scaled.
        y = np.array([1.0, 2.0, 3.0, 4.0])
        with pytest.raises(ValueError, match="^Singular matrix$"):
            ols(y, [np.full(4, 1e-16)], intercept=False)
        beta = ols(y, [np.full(4, 1e-15)], intercept=False)[0]
        np.testing.assert_allclose(beta, [2.5e15], rtol=1e-14)

    def test_nearly_collinear_design_is_solved_not_rejected(self):
        # cond(X'X) is about 1e9: the normal equations still give the answer to
        # about seven digits, and the fit itself is much better determined.
        rng = np.random.default_rng(1)
        x = rng.normal(size=50)
        x2 = x + 1e-4 * rng.normal(size=50)
        y = 1.0 + x - x2 + rng.normal(size=50)
        beta, _, resid, *_ = ols(y, [x, x2])
        ref, *_ = np.linalg.lstsq(design([x, x2], True, 50), y, rcond=None)
        np.testing.assert_allclose(beta, ref, rtol=1e-5)
        np.testing.assert_allclose(resid, y - design([x, x2], True, 50) @ ref, atol=1e-8)

    @pytest.mark.parametrize("where", ["x", "y"])
    def test_nan_in_the_data_is_reported_as_singular(self, where):
        x = np.array([1.0, 2.0, 3.0, 4.0])
        y = np.array([2.0, 1.0, 4.0, 3.0])
        (x if where == "x" else y)[2] = np.nan
        with pytest.raises(ValueError, match="^Singular matrix$"):
            ols(y, [x])

    def test_empty_sample_with_a_regressor_is_singular(self):
        with pytest.raises(ValueError, match="^Singular matrix$"):
            ols(np.zeros(0), [np.zeros(0)])

    def test_iid_covariance_is_nan_when_rows_do_not_exceed_regressors(self):
        # k = 3 > n = 2, yet rounding leaves the elimination above the pivot
        # threshold; the residual degrees of freedom are then not positive.
        x1, x2 = np.array([1.3, 0.95]), np.array([-0.7, -1.27])
        beta, V, *_ = ols(np.array([-0.62, 0.04]), [x1, x2])
        assert np.all(np.isfinite(beta)) and V.shape == (3, 3)
        assert np.all(np.isnan(V))
        # k = n with an exact fit
        beta, V, _, _, adj, *_ = ols(np.array([3.0, 5.0]), [np.array([1.0, 2.0])])
        np.testing.assert_allclose(beta, [2.0, 1.0], rtol=1e-14)
        assert np.all(np.isnan(V)) and adj == 0.0

    def test_hc1_with_no_residual_degrees_of_freedom_is_non_finite(self):
        V = ols(np.array([3.0, 5.0]), [np.array([1.0, 2.0])], vcov="HC1")[1]
        assert not np.any(np.isfinite(V))


class TestInterface:
    @pytest.mark.parametrize("name", ["hc1", "HC4", "", "HC", "iid ", "HC0 ", "cluster"])
    def test_unsupported_covariance_name_panics_with_the_name(self, data, name):
        with pytest.raises(PANIC) as e:
            ols(data["y"], data["xs"], vcov=name)
        assert e.value.args == (UNSUPPORTED + name,)

    def test_keyword_call_equals_positional_call(self, data):
        args = dict(y_col=data["y"], x_cols=data["xs"], x_names=["a", "b", "c"],
                    add_intercept=True, cl_cols=[data["c1"]], cl_names=["c"], vcov_type="HC1")
        pos = _native.rust_ols_nofe(*args.values())
        kw = _native.rust_ols_nofe(**dict(reversed(list(args.items()))))
        for a, b in zip(pos, kw):
            np.testing.assert_array_equal(a, b)

    def test_tuples_are_accepted_for_the_lists(self, data):
        a = _native.rust_ols_nofe(data["y"], tuple(data["xs"]), ("a", "b", "c"), False, (), (),
                                  "HC0")
        b = ols(data["y"], data["xs"], ["a", "b", "c"], intercept=False, vcov="HC0")
        np.testing.assert_array_equal(a[1], b[1])

    @pytest.mark.parametrize("index, value, message", [
        (0, np.zeros(4, np.float32), "argument 'y_col': "),
        (1, [np.zeros(4, np.int32)], "argument 'x_cols': "),
        (2, "x", "argument 'x_names': Can't extract `str` to `Vec`"),
        (3, 1, "argument 'add_intercept': 'int' object cannot be converted to 'PyBool'"),
        (4, [np.zeros(4, np.int64)], "argument 'cl_cols': "),
        (6, None, "argument 'vcov_type': 'NoneType' object cannot be converted to 'PyString'"),
    ])
    def test_wrong_kinds_raise_type_error_naming_the_argument(self, index, value, message):
        args = [np.arange(4.0), [np.array([1.0, 0.0, 2.0, 1.0])], ["x"], True, [], [], "iid"]
        args[index] = value
        with pytest.raises(TypeError) as e:
            _native.rust_ols_nofe(*args)
        assert str(e.value).startswith(message)

    def test_strided_outcome_panics_as_not_contiguous(self):
        y = np.arange(8.0)[::2]
        with pytest.raises(PANIC) as e:
            ols(y, [np.array([1.0, 0.0, 2.0, 1.0])])
        assert e.value.args == (NOT_CONTIGUOUS,)

    @pytest.mark.parametrize("which", ["x", "cluster"])
    def test_strided_column_panics_before_any_computation(self, which):
        # A singular design would raise ValueError later; contiguity is checked first.
        ones = np.ones(4)
        x = np.ones(8)[::2] if which == "x" else ones
        cl = np.zeros(8, np.int32)[::2] if which == "cluster" else np.zeros(4, np.int32)
        with pytest.raises(PANIC) as e:
            ols(np.arange(4.0), [x], clusters=[cl])
        assert e.value.args == (NOT_CONTIGUOUS,)

    def test_outcome_is_checked_before_short_regressor_columns(self):
        with pytest.raises(PANIC) as e:
            ols(np.arange(8.0)[::2], [np.ones(2)])
        assert e.value.args == (NOT_CONTIGUOUS,)

    @pytest.mark.parametrize("which", ["x", "cluster"])
    def test_short_column_panics_and_longer_ones_are_cut_to_n(self, data, which):
        n, y = data["n"], data["y"]
        xs, cl = list(data["xs"]), data["c1"]
        if which == "x":
            xs[1] = xs[1][: n - 1]
        else:
            cl = cl[: n - 1]
        with pytest.raises(PANIC, match="index out of bounds"):
            ols(y, xs, clusters=[cl])
        longer = [np.append(x, 7.0) for x in data["xs"]]
        np.testing.assert_array_equal(ols(y, longer, vcov="HC2")[1],
                                      ols(y, data["xs"], vcov="HC2")[1])

    def test_results_are_new_writeable_arrays_and_inputs_stay_untouched(self, data):
        y = data["y"].copy()
        xs = [x.copy() for x in data["xs"]]
        beta, V, resid, *_ = ols(y, xs, clusters=[data["c1"], data["c2"]])
        for a in (beta, V, resid):
            assert a.dtype == np.float64 and a.flags.writeable and a.flags.c_contiguous
        resid[:] = 0.0
        np.testing.assert_array_equal(y, data["y"])
        for a, b in zip(xs, data["xs"]):
            np.testing.assert_array_equal(a, b)

    def test_docstring(self):
        assert _native.rust_ols_nofe.__doc__.splitlines()[0] == (
            "Full OLS for no-FE case. Accepts individual column arrays.")
