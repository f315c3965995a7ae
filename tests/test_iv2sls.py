"""rust_iv2sls: two-stage least squares with fixed effects, clusters and a first-stage F."""
import re

import numpy as np
import pytest

import kestrel
from kestrel import _native
from fe_oracles import first_appearance

iv = _native.rust_iv2sls
PANIC = kestrel.PanicException
NOT_CONTIGUOUS = "called `Result::unwrap()` on an `Err` value: NotContiguousError"


def fit(y, exog=(), endog=(), excl=(), fe=(), cl=(), vcov="iid", intercept=False,
        x_names=None, endog_names=None, tol=1e-14, max_iter=10_000):
    x_names = [f"x{i}" for i in range(len(exog))] if x_names is None else x_names
    endog_names = [f"d{j}" for j in range(len(endog))] if endog_names is None else endog_names
    return iv(y, list(exog), list(endog), list(excl), x_names, endog_names, list(fe),
              ["f"] * len(fe), list(cl), ["c"] * len(cl), tol, max_iter, vcov, intercept)


def simulate(n=400, kx=2, ke=1, kz=2, seed=0, fe_groups=(), cl_groups=()):
    """An over-identified IV design with endogeneity through a shared error."""
    rng = np.random.default_rng(seed)
    fes = [rng.integers(0, g, n).astype(np.int32) for g in fe_groups]
    effect = sum((rng.normal(size=g)[f] for g, f in zip(fe_groups, fes)), np.zeros(n))
    exog = [rng.normal(size=n) + 0.3 * effect for _ in range(kx)]
    excl = [rng.normal(size=n) for _ in range(kz)]
    u = rng.normal(size=n)
    endog = []
    for j in range(ke):
        v = 0.5 * u + rng.normal(size=n)
        endog.append(sum((0.7 + 0.2 * b) * z for b, z in enumerate(excl))
                     + 0.4 * sum(exog, np.zeros(n)) + 0.5 * j * (excl[0] ** 2 if excl else 0)
                     + v + effect)
    y = 1.5 + sum((0.5 + a) * x for a, x in enumerate(exog)) \
        + sum((-1.0 + j) * d for j, d in enumerate(endog)) + effect + u * (1 + 0.5 * np.abs(excl[0] if excl else exog[0]))
    cls = [rng.integers(0, g, n).astype(np.int32) for g in cl_groups]
    return dict(y=y, exog=exog, endog=endog, excl=excl, fe=fes, cl=cls)


def dummies(codes):
    return (codes[:, None] == np.unique(codes)[None, :]).astype(float)


def first_stage_f(x, exog_block, excl_block):
    """F test of the excluded instruments in the regression of x on [E | W]."""
    n = len(x)
    z = np.column_stack([exog_block, excl_block])

    def rss(m):
        if m.shape[1] == 0:
            return x @ x
        r = x - m @ np.linalg.lstsq(m, x, rcond=None)[0]
        return r @ r

    kx, kz = exog_block.shape[1], excl_block.shape[1]
    rss_r, rss_u = rss(exog_block), rss(z)
    return ((rss_r - rss_u) / kz) / (rss_u / (n - kx - kz))


def rel(a, b):
    return np.max(np.abs(np.asarray(a) - np.asarray(b))) / np.max(np.abs(b))


# ---------------------------------------------------------------------------
# Cross-checks against linearmodels (same conventions with debiased=False).

def lm_fit(p, intercept, cov_type, clusters=None, extra_exog=None):
    """Slopes and their covariance from linearmodels' IV2SLS, in our coefficient order."""
    IV2SLS = pytest.importorskip("linearmodels.iv", reason="linearmodels is the IV oracle").IV2SLS
    n = len(p["y"])
    exog = list(p["exog"]) + ([np.ones(n)] if intercept else [])
    exog_m = np.column_stack(exog) if exog else np.empty((n, 0))
    if extra_exog is not None:
        exog_m = np.column_stack([exog_m, extra_exog])
    kw = {"clusters": clusters} if clusters is not None else {}
    res = IV2SLS(p["y"], exog_m if exog_m.shape[1] else None, np.column_stack(p["endog"]),
                 np.column_stack(p["excl"])).fit(cov_type=cov_type, debiased=False, **kw)
    k = len(exog) + len(p["endog"])
    keep = list(range(len(exog))) + list(range(exog_m.shape[1], exog_m.shape[1] + len(p["endog"])))
    return np.asarray(res.params)[keep], np.asarray(res.cov)[np.ix_(keep, keep)], k


@pytest.mark.peers
class TestAgreesWithLinearmodelsWithoutFixedEffects:
    @pytest.mark.parametrize("intercept", [True, False])
    @pytest.mark.parametrize("vcov, cov_type", [("iid", "unadjusted"), ("HC0", "robust")])
    def test_coefficients_and_plain_covariances(self, intercept, vcov, cov_type):
        p = simulate(ke=2, kz=3)
        beta, v, resid, *_ = fit(p["y"], p["exog"], p["endog"], p["excl"], vcov=vcov,
                                 intercept=intercept)
        b_ref, v_ref, _ = lm_fit(p, intercept, cov_type)
        assert rel(beta, b_ref) < 1e-10
        assert rel(v, v_ref) < 1e-10
        x = np.column_stack(list(p["exog"]) + ([np.ones(len(p["y"]))] if intercept else [])
                            + list(p["endog"]))
        np.testing.assert_allclose(resid, p["y"] - x @ beta, rtol=0, atol=1e-10)

    @pytest.mark.parametrize("n_dims", [1, 2])
    def test_clustered_covariance_has_no_small_sample_factor(self, n_dims):
        p = simulate(ke=1, kz=2, cl_groups=(23, 17)[:n_dims], seed=3)
        beta, v, *_, groups, _ = fit(p["y"], p["exog"], p["endog"], p["excl"], cl=p["cl"],
                                     vcov="iid", intercept=True)
        clusters = p["cl"][0] if n_dims == 1 else np.column_stack(p["cl"])
        b_ref, v_ref, _ = lm_fit(p, True, "clustered", clusters=clusters)
        assert rel(beta, b_ref) < 1e-10
        assert rel(v, v_ref) < 1e-10
        assert groups == [len(np.unique(c)) for c in p["cl"]]


@pytest.mark.peers
class TestAgreesWithLinearmodelsOnAbsorbedFixedEffects:
    """With fixed effects the oracle carries them as dummy columns among the exogenous
    regressors and instruments; the slope block of its results is what absorption gives."""

    @pytest.mark.parametrize("fe_groups, tol", [((15,), 1e-10), ((12, 9), 1e-7)])
    @pytest.mark.parametrize("vcov, cov_type", [("iid", "unadjusted"), ("HC1", "robust"),
                                                ("cluster", "clustered")])
    def test_slopes_and_covariance(self, fe_groups, tol, vcov, cov_type):
        p = simulate(n=600, ke=1, kz=2, fe_groups=fe_groups, cl_groups=(31,), seed=5)
        cl = p["cl"] if vcov == "cluster" else []
        beta, v, resid, r2, adj, f, n, absorbed, removed, *_ = fit(
            p["y"], p["exog"], p["endog"], p["excl"], fe=p["fe"], cl=cl, vcov=vcov)
        assert removed == 0 and n == 600
        d = np.column_stack([dummies(p["fe"][0])] + [dummies(c)[:, 1:] for c in p["fe"][1:]])
        kw = {"clusters": p["cl"][0]} if vcov == "cluster" else {}
        b_ref, v_ref, _ = lm_fit(p, False, cov_type, extra_exog=d, **kw)
        assert rel(beta, b_ref) < tol
        assert rel(v, v_ref) < tol
        assert absorbed == d.shape[1]


# ---------------------------------------------------------------------------
# First-stage F statistic.

class TestFirstStageF:
    @pytest.mark.parametrize("intercept, kz", [(True, 1), (True, 3), (False, 2)])
    def test_equals_the_f_test_of_the_excluded_instruments(self, intercept, kz):
        p = simulate(kz=kz, seed=11)
        f = fit(p["y"], p["exog"], p["endog"], p["excl"], intercept=intercept)[5]
        e = np.column_stack(list(p["exog"]) + ([np.ones(len(p["y"]))] if intercept else []))
        ref = first_stage_f(p["endog"][0], e, np.column_stack(p["excl"]))
        assert f == pytest.approx(ref, rel=1e-10)

    def test_with_a_fixed_effect_uses_the_demeaned_first_stage(self):
        p = simulate(n=300, kz=2, fe_groups=(10,), seed=12)
        f = fit(p["y"], p["exog"], p["endog"], p["excl"], fe=p["fe"])[5]
        g = p["fe"][0]

        def demean(v):
            means = np.bincount(g, weights=v) / np.bincount(g)
            return v - means[g]

        ref = first_stage_f(demean(p["endog"][0]), np.column_stack([demean(x) for x in p["exog"]]),
                            np.column_stack([demean(z) for z in p["excl"]]))
        assert f == pytest.approx(ref, rel=1e-9)

    def test_concerns_the_first_endogenous_column_only(self):
        p = simulate(ke=2, kz=2, seed=13)
        e = np.column_stack(p["exog"])
        w = np.column_stack(p["excl"])
        f01 = fit(p["y"], p["exog"], p["endog"], p["excl"])[5]
        f10 = fit(p["y"], p["exog"], p["endog"][::-1], p["excl"])[5]
        assert f01 == pytest.approx(first_stage_f(p["endog"][0], e, w), rel=1e-10)
        assert f10 == pytest.approx(first_stage_f(p["endog"][1], e, w), rel=1e-10)
        assert abs(f01 - f10) > 1e-3 * abs(f01)

    def test_is_zero_without_excluded_instruments_whenever_the_call_returns(self):
        # With Z = E the projected endogenous column lies in the span of E, so the
        # second stage is singular in exact arithmetic; rounding usually leaves pivots
        # above the solver's threshold and the call returns. Its F must then be 0.0.
        returned = 0
        for seed in range(6):
            p = simulate(n=60, kx=2, kz=0, seed=seed)
            try:
                out = fit(p["y"], p["exog"], p["endog"], [], intercept=seed % 2 == 0)
            except ValueError as err:
                assert str(err) == "Singular matrix in 2SLS"
                continue
            returned += 1
            assert out[5] == 0.0
        assert returned > 0

    def test_is_zero_when_the_first_stage_fits_exactly(self):
        z = np.array([1.0, 2.0, 0.0, 4.0, 1.0, 3.0])
        y = np.array([1.0, 5.0, 0.0, 9.0, 3.0, 5.0])
        out = fit(y, [], [z.copy()], [z])  # RSS_u is exactly zero
        assert out[5] == 0.0
        assert np.isfinite(out[0]).all()


# ---------------------------------------------------------------------------
# Covariance dispatch and fit statistics.

class TestCovarianceDispatch:
    def setup_method(self):
        self.p = simulate(ke=2, kz=2, cl_groups=(15, 11), seed=21)

    def call(self, vcov, cl=()):
        p = self.p
        return fit(p["y"], p["exog"], p["endog"], p["excl"], cl=list(cl), vcov=vcov,
                   intercept=True)

    def test_every_name_but_iid_gives_hc0(self):
        hc0 = self.call("HC0")[1]
        for name in ["HC1", "HC2", "HC3", "", "hc3", "iid ", "anything"]:
            np.testing.assert_array_equal(self.call(name)[1], hc0)

    def test_iid_is_rss_over_n_times_the_bread(self):
        beta, v, resid, *_ = self.call("iid")
        p = self.p
        n = len(p["y"])
        e = np.column_stack(list(p["exog"]) + [np.ones(n)])
        z = np.column_stack([e] + p["excl"])
        xhat = np.column_stack([e] + [z @ np.linalg.solve(z.T @ z, z.T @ d) for d in p["endog"]])
        x = np.column_stack([e] + p["endog"])
        bread = np.linalg.inv(xhat.T @ x)
        assert rel(v, (resid @ resid / n) * bread) < 1e-11
        # The iid matrix is exactly proportional to the bread: its ratio to HC0's
        # bread is the scalar RSS / n in every entry up to rounding.
        assert np.ptp(v / bread) < 1e-12 * (resid @ resid / n)

    def test_any_name_with_clusters_gives_the_clustered_matrix(self):
        ref = self.call("iid", self.p["cl"][:1])[1]
        for name in ["HC0", "HC3", "whatever"]:
            np.testing.assert_array_equal(self.call(name, self.p["cl"][:1])[1], ref)

    def test_two_cluster_columns_are_the_inclusion_exclusion_sum(self):
        c0, c1 = (first_appearance(c) for c in self.p["cl"])
        both = (c0.astype(np.int64) * (int(c1.max()) + 1) + c1).astype(np.int32)
        v0 = self.call("iid", [c0])[1]
        v1 = self.call("iid", [c1])[1]
        v01 = self.call("iid", [both])[1]
        out = self.call("iid", [c0, c1])
        np.testing.assert_array_equal(out[1], (v0 + v1) - v01)
        assert out[9] == [len(np.unique(c0)), len(np.unique(c1))]

    def test_cluster_codes_are_recoded_first(self):
        c = self.p["cl"][0]
        a = self.call("iid", [c])
        b = self.call("iid", [(c * 1000 + 7).astype(np.int32)])
        np.testing.assert_allclose(a[1], b[1], rtol=1e-13, atol=0)
        assert a[9] == b[9] == [len(np.unique(c))]


class TestFitStatistics:
    def test_r2_and_adjusted_r2(self):
        p = simulate(seed=31)
        beta, v, resid, r2, adj, f, n, *_ = fit(p["y"], p["exog"], p["endog"], p["excl"],
                                                intercept=True)
        y = p["y"]
        tss = np.sum((y - y.mean()) ** 2)
        assert r2 == pytest.approx(1 - resid @ resid / tss, rel=1e-12)
        k = len(beta)
        assert adj == pytest.approx(1 - (n - 1) * (1 - r2) / (n - k), rel=1e-12)

    def test_constant_y_gives_r2_zero(self):
        p = simulate(n=40, seed=32)
        out = fit(np.zeros(40), p["exog"], p["endog"], p["excl"])
        k = len(out[0])
        assert out[3] == 0.0
        assert out[4] == pytest.approx(1 - 39 / (40 - k), rel=1e-15)

    def test_no_residual_degrees_of_freedom_gives_adjusted_r2_zero(self):
        p = simulate(n=4, kx=2, ke=1, kz=1, seed=33)
        out = fit(p["y"], p["exog"], p["endog"], p["excl"], intercept=True)
        assert out[4] == 0.0  # n - k = 0

    def test_adjusted_r2_subtracts_the_absorbed_degrees_of_freedom(self):
        p = simulate(n=200, fe_groups=(8,), seed=34)
        beta, _, _, r2, adj, _, n, absorbed, *_ = fit(p["y"], p["exog"], p["endog"], p["excl"],
                                                      fe=p["fe"])
        assert absorbed == 8
        assert adj == pytest.approx(1 - (n - 1) * (1 - r2) / (n - len(beta) - absorbed), rel=1e-12)


# ---------------------------------------------------------------------------
# Result layout, singletons, fixed effects.

class TestResultLayout:
    @pytest.mark.peers
    def test_names_and_intercept_position(self):
        p = simulate(kx=2, ke=2, kz=2, seed=41)
        out = fit(p["y"], p["exog"], p["endog"], p["excl"], intercept=True,
                  x_names=["a", "b"], endog_names=["p", "q"])
        assert len(out) == 11
        assert out[10] == ["a", "b", "_cons", "p", "q"]
        b_ref, _, _ = lm_fit(p, True, "unadjusted")
        assert rel(out[0], b_ref) < 1e-10  # intercept between exogenous and endogenous
        assert out[0][2] == pytest.approx(1.5, abs=0.3)
        assert [type(v) for v in out[3:9]] == [float, float, float, int, int, int]
        assert out[1].shape == (5, 5) and out[2].shape == (len(p["y"]),)
        assert (out[7], out[8], out[9]) == (0, 0, [])

    def test_names_are_passed_through_whatever_their_number(self):
        p = simulate(kx=1, seed=42)
        out = fit(p["y"], p["exog"], p["endog"], p["excl"], x_names=[], endog_names=["e", "f", "g"])
        assert out[10] == ["e", "f", "g"]

    def test_without_fixed_effects_tol_and_max_iter_have_no_effect(self):
        p = simulate(seed=43)
        a = fit(p["y"], p["exog"], p["endog"], p["excl"], intercept=True, tol=0.5, max_iter=0)
        b = fit(p["y"], p["exog"], p["endog"], p["excl"], intercept=True)
        for u, w in zip(a, b):
            np.testing.assert_array_equal(u, w)

    def test_inputs_are_not_modified_and_results_are_fresh(self):
        p = simulate(n=100, fe_groups=(5, 4), cl_groups=(9,), seed=44)
        arrays = [p["y"], *p["exog"], *p["endog"], *p["excl"], *p["fe"], *p["cl"]]
        before = [a.copy() for a in arrays]
        out = fit(p["y"], p["exog"], p["endog"], p["excl"], fe=p["fe"], cl=p["cl"])
        for a, b in zip(arrays, before):
            np.testing.assert_array_equal(a, b)
        assert out[0].flags.writeable and out[1].flags.c_contiguous


class TestFixedEffects:
    def test_one_fixed_effect_ignores_tol_and_max_iter(self):
        p = simulate(n=150, fe_groups=(7,), seed=51)
        a = fit(p["y"], p["exog"], p["endog"], p["excl"], fe=p["fe"], tol=0.9, max_iter=0)
        b = fit(p["y"], p["exog"], p["endog"], p["excl"], fe=p["fe"])
        for u, w in zip(a, b):
            np.testing.assert_array_equal(u, w)

    def test_one_fixed_effect_keeps_sparse_codes_and_counts_empty_levels(self):
        p = simulate(n=150, fe_groups=(7,), seed=52)
        sparse = (p["fe"][0] * 3).astype(np.int32)  # levels 1, 2, 4, 5 ... never occur
        a = fit(p["y"], p["exog"], p["endog"], p["excl"], fe=[sparse])
        b = fit(p["y"], p["exog"], p["endog"], p["excl"], fe=p["fe"])
        np.testing.assert_allclose(a[0], b[0], rtol=1e-12)
        assert (a[7], b[7]) == (19, 7)

    def test_singletons_are_removed_before_the_fit(self):
        p = simulate(n=120, fe_groups=(30, 25), cl_groups=(10,), seed=53)
        fe0, fe1 = p["fe"]
        fe0 = fe0.copy()
        fe0[:3] = [1000, 1001, 1002]  # three rows alone in their level
        out = fit(p["y"], p["exog"], p["endog"], p["excl"], fe=[fe0, fe1], cl=p["cl"])
        mask = np.ones(120, bool)
        while True:  # iterative removal, by hand
            new = mask.copy()
            for f in (fe0, fe1):
                counts = np.bincount(f[new], minlength=f.max() + 1)
                new &= counts[f] != 1
            if (new == mask).all():
                break
            mask = new
        removed = int((~mask).sum())
        assert removed >= 3
        assert out[8] == removed and out[6] == 120 - removed and len(out[2]) == 120 - removed
        kept = fit(p["y"][mask], [x[mask] for x in p["exog"]], [x[mask] for x in p["endog"]],
                   [z[mask] for z in p["excl"]], fe=[fe0[mask], fe1[mask]],
                   cl=[p["cl"][0][mask]])
        np.testing.assert_allclose(out[0], kept[0], rtol=1e-9)
        np.testing.assert_allclose(out[1], kept[1], rtol=1e-8)
        assert (out[6], out[7], out[9]) == (kept[6], kept[7], kept[9])

    def test_singletons_with_one_fixed_effect_match_the_filtered_data_exactly(self):
        p = simulate(n=80, fe_groups=(20,), seed=54)
        fe = p["fe"][0].copy()
        fe[[0, 5]] = [90, 91]
        out = fit(p["y"], p["exog"], p["endog"], p["excl"], fe=[fe])
        m = np.isin(fe, np.flatnonzero(np.bincount(fe) >= 2))
        kept = fit(p["y"][m], [x[m] for x in p["exog"]], [x[m] for x in p["endog"]],
                   [z[m] for z in p["excl"]], fe=[first_appearance(fe[m])])
        assert out[8] == int((~m).sum()) == 3  # rows 0 and 5, and the row they left alone
        assert kept[8] == 0
        for u, w in zip(out[:8], kept[:8]):
            np.testing.assert_array_equal(u, w)


class TestCodesFarBeyondTheRows:
    """A fixed-effect code near 2^31 - 1 must cost memory by the rows, not by the code."""

    BIG = np.iinfo(np.int32).max

    def data(self, fe_groups, seed):
        p = simulate(n=200, fe_groups=fe_groups, seed=seed)
        big = [f.copy() for f in p["fe"]]
        level = big[-1] == big[-1][0]
        big[-1][level] = self.BIG  # one whole level moved to the top code
        return p, big

    def test_one_fixed_effect(self):
        p, big = self.data((8,), 81)
        a = fit(p["y"], p["exog"], p["endog"], p["excl"], fe=big)
        b = fit(p["y"], p["exog"], p["endog"], p["excl"], fe=p["fe"])
        for u, w in zip(a[:4] + a[5:7], b[:4] + b[5:7]):
            np.testing.assert_array_equal(u, w)
        assert a[7] == self.BIG + 1  # empty levels count for one fixed effect
        assert a[4] == 0.0  # and leave no residual degrees of freedom

    def test_two_fixed_effects_with_singletons(self):
        p, big = self.data((10, 7), 82)
        big[1][:2] = [self.BIG - 1, self.BIG - 2]  # two singletons far up
        p["fe"][1][:2] = [50, 51]  # the same two singletons, close by
        a = fit(p["y"], p["exog"], p["endog"], p["excl"], fe=big)
        b = fit(p["y"], p["exog"], p["endog"], p["excl"], fe=p["fe"])
        assert a[8] == b[8] >= 2
        np.testing.assert_allclose(a[0], b[0], rtol=1e-9)
        assert a[6:10] == b[6:10]


# ---------------------------------------------------------------------------
# Failures.

class TestSingularDesigns:
    def test_intercept_with_one_fixed_effect_is_singular(self):
        p = simulate(n=100, fe_groups=(6,), seed=61)
        with pytest.raises(ValueError, match="^Singular matrix in 2SLS$"):
            fit(p["y"], p["exog"], p["endog"], p["excl"], fe=p["fe"], intercept=True)

    @pytest.mark.parametrize("fe_groups", [(6, 5), (6, 5, 4)])
    def test_intercept_with_several_fixed_effects_is_singular_too(self, fe_groups):
        # The shared iteration leaves the column of ones a few ulps from zero; the
        # design is singular all the same and must not return a huge intercept.
        p = simulate(n=300, fe_groups=fe_groups, seed=62)
        with pytest.raises(ValueError, match="^Singular matrix in 2SLS$"):
            fit(p["y"], p["exog"], p["endog"], p["excl"], fe=p["fe"], intercept=True)

    def test_intercept_with_fixed_effects_fails_before_demeaning(self):
        # tol = 0 and an enormous max_iter would keep the iteration going; the call
        # must refuse at once instead (and with no rows at all, too).
        p = simulate(n=2000, fe_groups=(40, 30), seed=63)
        with pytest.raises(ValueError, match="^Singular matrix in 2SLS$"):
            fit(p["y"], p["exog"], p["endog"], p["excl"], fe=p["fe"], intercept=True, tol=0.0,
                max_iter=2**63)
        e = np.empty(0)
        with pytest.raises(ValueError, match="^Singular matrix in 2SLS$"):
            fit(e, [], [e], [e], fe=[np.empty(0, np.int32)], intercept=True)

    def test_nan_in_y_is_singular(self):
        p = simulate(seed=64)
        y = p["y"].copy()
        y[7] = np.nan
        with pytest.raises(ValueError, match="^Singular matrix in 2SLS$"):
            fit(y, p["exog"], p["endog"], p["excl"], intercept=True)

    def test_collinear_instruments_are_singular(self):
        p = simulate(kz=1, seed=65)
        with pytest.raises(ValueError, match="^Singular matrix in 2SLS$"):
            fit(p["y"], p["exog"], p["endog"], [p["excl"][0], 2.0 * p["excl"][0]], intercept=True)


class TestBadArguments:
    def test_no_endogenous_column_fails_clearly_before_any_computation(self):
        p = simulate(seed=71)
        with pytest.raises(PANIC, match="x_endog_cols is empty") as info:
            fit(p["y"], p["exog"], [], p["excl"], intercept=True)
        assert "index out of bounds" not in str(info.value)

    def test_no_columns_and_no_rows_is_an_empty_fit(self):
        e = np.empty(0)
        beta, v, resid, *rest = fit(e)
        assert beta.shape == (0,) and v.shape == (0, 0) and resid.shape == (0,)
        assert rest[3:7] == [0, 0, 0, []]

    @pytest.mark.parametrize("arg, delta", [("fe_cols", 1), ("fe_cols", -1), ("cl_cols", 1),
                                            ("cl_cols", -2)])
    def test_code_column_of_another_length_names_the_argument(self, arg, delta):
        p = simulate(n=50, seed=72)
        bad = np.zeros(50 + delta, np.int32)
        kw = {"fe": [np.zeros(50, np.int32), bad]} if arg == "fe_cols" else {"cl": [bad]}
        with pytest.raises(PANIC, match=rf"^{arg}\[{1 if arg == 'fe_cols' else 0}\] has "
                                        rf"{50 + delta} codes but y_col has 50 rows$"):
            fit(p["y"], p["exog"], p["endog"], p["excl"], **kw)

    def test_code_length_is_checked_before_the_intercept(self):
        p = simulate(n=50, seed=73)
        with pytest.raises(PANIC, match="fe_cols"):
            fit(p["y"], p["exog"], p["endog"], p["excl"], fe=[np.zeros(51, np.int32)],
                intercept=True)

    def test_longer_data_columns_are_read_up_to_the_rows_of_y(self):
        p = simulate(n=60, fe_groups=(6,), cl_groups=(7,), seed=74)
        pad = lambda v: np.concatenate([v, np.full(5, 1e300)])  # noqa: E731
        a = fit(p["y"], [pad(x) for x in p["exog"]], [pad(x) for x in p["endog"]],
                [pad(z) for z in p["excl"]], fe=p["fe"], cl=p["cl"])
        b = fit(p["y"], p["exog"], p["endog"], p["excl"], fe=p["fe"], cl=p["cl"])
        for u, w in zip(a, b):
            np.testing.assert_array_equal(u, w)

    @pytest.mark.parametrize("which", ["exog", "endog", "excl"])
    def test_shorter_data_column_is_an_index_failure(self, which):
        p = simulate(n=60, seed=75)
        p[which] = [p[which][0][:59]] + p[which][1:]
        with pytest.raises(PANIC, match="index out of bounds"):
            fit(p["y"], p["exog"], p["endog"], p["excl"])

    @pytest.mark.parametrize("position", range(6))
    def test_non_contiguous_arrays_fail_before_computing(self, position):
        p = simulate(n=60, fe_groups=(6,), cl_groups=(7,), seed=76)
        args = [p["y"], p["exog"], p["endog"], p["excl"], p["fe"], p["cl"]]
        strided = lambda a: np.repeat(a, 2)[::2]  # noqa: E731
        args[position] = strided(args[position]) if position == 0 else \
            [strided(args[position][0])] + list(args[position][1:])
        y, exog, endog, excl, fe, cl = args
        with pytest.raises(PANIC, match=f"^{re.escape(NOT_CONTIGUOUS)}$"):
            fit(y, exog, endog, excl, fe=fe, cl=cl)

    def test_negative_fixed_effect_code_is_an_index_failure(self):
        p = simulate(n=40, fe_groups=(4,), seed=77)
        fe = p["fe"][0].copy()
        fe[3] = -1
        with pytest.raises(PANIC):
            fit(p["y"], p["exog"], p["endog"], p["excl"], fe=[fe])
