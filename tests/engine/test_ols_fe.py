"""rust_ols_core and rust_ols_from_arrays: OLS after singleton removal and absorption of any
number of fixed effects (regressors as one matrix, or as columns with names and iid/HC
covariances), against least squares on the dummy columns, pyfixest and linearmodels."""
import warnings

import numpy as np
import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from conftest import I32, LAYOUTS_2D, PANIC, call_checked, float_arrays, same_bits, with_layout, need
from kestrel._native import rust_demean, rust_ols_core, rust_ols_from_arrays
from oracles import (absorbed, first_appearance, hc_vcov, keep_mask, multiway_vcov, nested,
                     panel, residual_on_dummies, within_fit)

UNSUPPORTED = "internal error: entered unreachable code: sandwich_vcov called with unsupported type: "


def core(y, x, fes=(), clusters=(), n_groups=(), tol=1e-14, max_iter=100_000):
    return rust_ols_core(np.asarray(y, float), np.asarray(x, float),
                         [np.asarray(f, np.int32) for f in fes], list(n_groups),
                         [np.asarray(c, np.int32) for c in clusters], tol, max_iter)


def fit(y, x, fes=(), clusters=(), vcov="iid", names=None, tol=1e-14, max_iter=100_000):
    x = np.asarray(x, float)
    cols = [np.ascontiguousarray(x[:, j]) for j in range(x.shape[1])]
    return rust_ols_from_arrays(
        np.asarray(y, float), cols, [f"x{j}" for j in range(len(cols))] if names is None
        else names, [np.asarray(f, np.int32) for f in fes], [f"f{q}" for q in range(len(fes))],
        [np.asarray(c, np.int32) for c in clusters], [f"c{c}" for c in range(len(clusters))],
        tol, max_iter, vcov)


def expected_fit(y, x, fes, clusters, entry, vcov="iid"):
    """The counts (n, absorbed, removed, cluster groups) and, unless the demeaned design is
    too ill-conditioned to compare, (beta, V, e, R², adjusted R²), by NumPy."""
    keep = keep_mask(fes) if fes else np.ones(len(y), bool)
    y, x, clusters = y[keep], x[keep], [c[keep] for c in clusters]
    if not keep.all():  # codes are renumbered only when rows go
        fes = [first_appearance(c[keep]) for c in fes]
    n, k, a = np.float64(len(y)), x.shape[1], absorbed(fes) if fes else 0
    counts = (int(n), a, int((~keep).sum()), [len(np.unique(c)) for c in clusters])
    yd, xd = residual_on_dummies(y, fes), residual_on_dummies(x, fes)
    xtx = xd.T @ xd
    # A regressor the fixed effects (nearly) absorb is left as rounding noise: no reference.
    if n <= k + 1 or (k and np.linalg.cond(xtx) > 1e6) or not np.isfinite(xd).all() or (
            np.linalg.norm(xd, axis=0) < 1e-6 * np.maximum(1, np.linalg.norm(x, axis=0))).any():
        return counts, None
    B = np.linalg.inv(xtx) if k else np.zeros((0, 0))
    e = yd - xd @ (beta := B @ (xd.T @ yd))
    tss = (yd - yd.mean()) @ (yd - yd.mean())
    r2 = 1 - (e @ e) / tss if tss > 0 else 0.0
    with np.errstate(all="ignore"):  # IEEE division: 1/0 is inf, not an exception
        adj = 1 - (n - 1) * (1 - r2) / (n - k - a) if n - k - a > 0 else 0.0
        if clusters:
            k_nest = sum(int(f.max(initial=0)) for f in fes
                         if not any(nested(f, c) for c in clusters))
            g_min = np.float64(min(counts[3]))
            common = (n / ((n - k_nest) - k)) * (g_min / (g_min - 1.0))
            V = multiway_vcov(xd, e, B, [first_appearance(c) for c in clusters],
                              lambda G: common if fes else (G / (G - 1.0)) * ((n - 1) / (n - k)))
        elif entry == "core" or vcov == "iid":
            V = B * (e @ e) / ((n - k) if entry == "core" else (n - k) - a)
        else:
            V = hc_vcov(xd, e, B, vcov) * (n / ((n - k) - a) if vcov == "HC1" else 1.0)
    return counts, (beta, V, e, r2, adj)


@st.composite
def panels(draw):
    n, k = draw(st.integers(1, 30)), draw(st.integers(0, 2))
    x = draw(float_arrays(n * k, scale=10)).reshape(n, k)
    fes = [np.array(draw(st.lists(st.integers(0, g), min_size=n, max_size=n)), dtype=np.int32)
           for g in (draw(st.integers(0, 5)) for _ in range(draw(st.integers(0, 3))))]
    ids = st.one_of(st.integers(0, 3), st.sampled_from([I32.min, -5, I32.max]))
    clusters = [np.array(draw(st.lists(ids, min_size=n, max_size=n)), dtype=np.int32)
                for _ in range(draw(st.integers(0, 2)))]
    return draw(float_arrays(n, scale=10)), x, fes, clusters


def check(out, expected, y, x):
    counts, fitted = expected
    assert [type(v) for v in out[3:8]] == [float, float, int, int, int]
    assert (out[5], out[6], out[7], out[8]) == counts
    assert out[0].shape == (x.shape[1],) and out[1].shape == (x.shape[1],) * 2
    assert out[2].shape == (counts[0],)
    if fitted is None:
        return
    scale = max(1.0, float(np.abs(y).max()), float(np.abs(x).max(initial=0)))
    for got, want, s in zip(out[:3], fitted[:3], (scale, scale**2, scale)):
        np.testing.assert_allclose(got, want, rtol=1e-6, atol=1e-7 * s, equal_nan=True)
    if x.shape[1] == 0 or np.linalg.norm(out[2]) > 1e-6 * scale:  # else R² is rounding noise
        assert out[3:5] == pytest.approx(fitted[3:], rel=1e-6, abs=1e-9)


CASCADE = (np.r_[[0, 0, 1, 1, 1], np.repeat([2, 3, 4], 4)], np.r_[[0, 1, 1, 1, 2],
                                                                   np.tile([3, 4, 5, 6], 3)])


@given(panel=panels(), layout=st.sampled_from(LAYOUTS_2D))
# Rows 0 and 4 are alone in the second effect, then row 1 in the first.
@example(panel=(np.arange(17.0) % 5, np.c_[np.arange(17.0) ** 0.5, np.cos(np.arange(17.0))],
                [c.astype(np.int32) for c in CASCADE],
                [np.r_[[9, 9, 8, 8, 7], np.arange(12) % 5 + 10].astype(np.int32)]), layout="c")
# Gapped codes: nothing is removed, and the absorbed count includes the empty levels.
@example(panel=(np.array([1.0, 2, 3, 5, 4, 1]), np.arange(6.0)[:, None] ** 2,
                [np.array([0, 0, 5, 5, 0, 5], np.int32)], []), layout="fortran")
@example(panel=(np.array([1.0, 3, 2, 5]), np.arange(1.0, 5)[:, None], [],
                [np.array([0, 0, 1, 1], np.int32)]), layout="c")
@example(panel=(np.arange(5.0), np.zeros((5, 0)), [np.array([0, 1, 1, 1, 2], np.int32),
                                                   np.array([0, 0, 1, 1, 1], np.int32)], []),
         layout="c")  # a cascade that leaves two rows
def test_core_matches_least_squares_on_the_dummies_after_singleton_removal(panel, layout):
    y, x, fes, clusters = panel
    status, out = call_checked(rust_ols_core, y, with_layout(x, layout), fes, [0] * len(fes),
                               clusters, 1e-14, 100_000)
    assert status == "ok", out
    check(out, expected_fit(y, x, fes, clusters, "core"), y, x)


@given(panel=panels(), vcov=st.sampled_from(["iid", "HC0", "HC1", "HC2", "HC3"]))
def test_the_column_entry_fits_the_same_model_with_its_own_covariance(panel, vcov):
    y, x, fes, clusters = panel
    status, out = call_checked(fit, y, x, fes, clusters, vcov, ["a"] * x.shape[1])
    assert status == "ok", out
    ref = core(y, x, fes, clusters)
    # The same pipeline: every slot but the covariance is the same to the bit.
    assert all(same_bits(np.asarray(out[i]), np.asarray(ref[i])) for i in (0, 2, 3, 4))
    assert out[5:9] == ref[5:9] and (not clusters or same_bits(out[1], ref[1]))
    assert out[9:] == (["a"] * x.shape[1], [f"f{q}" for q in range(len(fes))],
                       [f"c{c}" for c in range(len(clusters))])
    check(out, expected_fit(y, x, fes, clusters, "arrays", vcov), y, x)


@given(panel=panels(), bad=st.sampled_from([np.nan, np.inf, -np.inf]), data=st.data())
def test_non_finite_data_gives_nan_results_not_an_exception(panel, bad, data):
    y, x, fes, clusters = panel
    y[data.draw(st.integers(0, len(y) - 1))] = bad
    assert call_checked(rust_ols_core, y, x, fes, [], clusters, 1e-8, 1000)[0] == "ok"
    assert call_checked(fit, y, x, fes, clusters, "HC1", [], 1e-8, 1000)[0] == "ok"


@pytest.mark.parametrize("n_fe", [1, 2, 3])
def test_residuals_without_regressors_are_rust_demean_of_y_bit_for_bit(n_fe):
    # Both entries demean the stack [y | X]; with k = 0 that is y alone.
    y, _, fes = panel(500, (30, 8, 4), 1, seed=16)
    keep = keep_mask(fes[:n_fe])
    fes, y = [first_appearance(f[keep]) for f in fes[:n_fe]], y[keep]
    ref = rust_demean(y[:, None], fes, [int(f.max()) + 1 for f in fes], 1e-9, 50)[:, 0]
    np.testing.assert_array_equal(core(y, np.zeros((len(y), 0)), fes, tol=1e-9, max_iter=50)[2],
                                  ref)
    np.testing.assert_array_equal(fit(y, np.zeros((len(y), 0)), fes, tol=1e-9, max_iter=50)[2],
                                  ref)


def test_singleton_removal_equals_the_fit_on_the_kept_rows_bit_for_bit():
    # The cascade of the example above: rows 0, 4, then 1 go, and the codes are renumbered.
    f1, f2 = CASCADE
    keep = np.ones(17, bool)
    keep[[0, 1, 4]] = False
    rng = np.random.default_rng(0)
    y, x, cl = rng.normal(size=17), rng.normal(size=(17, 2)), np.arange(17) % 4
    got = core(y, x, [f1, f2], [cl])
    direct = core(y[keep], x[keep], [first_appearance(f1[keep]), first_appearance(f2[keep])],
                  [cl[keep]])
    assert all(same_bits(a, b) for a, b in zip(got[:3], direct[:3]))
    assert got[3:7] == direct[3:7] and got[8] == direct[8] and (got[7], direct[7]) == (3, 0)


def test_cluster_factors_with_fixed_effects_follow_nesting():
    # One fixed effect (codes 0..3), n = 10, k = 2; cluster columns with 5 and 8 groups in
    # which it is nested in neither (K_nest = 3): (10 / (10 - 3 - 2)) (5 / 4) = 2.5 for
    # each term. Nested in the second column (fe * 2, 4 groups): K_nest = 0.
    rng = np.random.default_rng(5)
    fe = np.array([0, 0, 0, 1, 1, 1, 2, 2, 3, 3])
    c5, c8 = np.arange(10) % 5, np.r_[np.arange(8), 0, 1]
    x = rng.normal(size=(10, 2))
    y = x @ [1.0, -1.0] + rng.normal(size=10)
    _, _, xd, bread = within_fit(y, x, [fe])
    for other, factor, groups in [(c8, 2.5, [5, 8]), (fe * 2, (10 / 8) * (4 / 3), [5, 4])]:
        beta, v, e, *_, absorbed_, removed, got_groups = core(y, x, [fe], [c5, other])
        assert (removed, absorbed_, got_groups) == (0, 4, groups)
        np.testing.assert_allclose(v, multiway_vcov(xd, e, bread, [c5, other],
                                                    lambda G: factor), rtol=1e-10)


def test_degenerate_designs_give_nan_not_exceptions():
    # As many or more regressors than rows: finite coefficients, NaN variance.
    for x in ([[1.0, 2.0], [3.0, 4.5]], [[0.1, 0.2, 0.3], [0.4, 0.5, 0.6]]):
        beta, v, *_ = core([0.3, 0.7], x)
        assert np.isfinite(beta).all() and np.isnan(v).all()
        assert np.isnan(fit([0.3, 0.7], x)[1]).all()
    # Zero residual degrees of freedom after absorption: (6 - 3) - 3 = 0.
    fe = np.array([0, 0, 1, 1, 2, 2])
    x = np.c_[[1.0, 2, 0, 5, 1, 3], [2.0, 1, 1, 0, 3, 1], [0.5, 0, 2, 1, 1, 0]]
    y = np.array([1.0, 2.0, 3.0, 1.0, 0.0, 2.0])
    assert not np.isfinite(fit(y, x, [fe])[1]).all()
    # A regressor constant within groups: NaN results; an outcome constant within
    # groups: R² exactly 0.
    beta, v, e, *_ = core(y, np.c_[[3.0, 3, 7, 7, -2, -2], x[:, 0]], [fe])
    assert np.isnan(beta).all() and np.isnan(v).all() and np.isnan(e).all()
    _, _, e, r2, *_ = core([4.0, 4, -1, -1, 7, 7], x[:, :1], [fe])
    assert r2 == 0.0 and np.all(e == 0.0)


def test_iteration_settings_and_group_numbers():
    y, x, (worker, firm) = panel(90, (9, 4), 2, seed=8)
    # One fixed effect ignores tol and max_iter; wrong group numbers change nothing.
    a, b = core(y, x, [worker], tol=1e-1, max_iter=0), core(y, x, [worker], tol=1e-15)
    assert all(same_bits(u, w) for u, w in zip(a[:3], b[:3]))
    ref = core(y, x, [worker, firm], [firm])
    for wrong in ([], [1], [10**12, 0, 3]):
        got = core(y, x, [worker, firm], [firm], n_groups=wrong)
        assert all(same_bits(u, w) for u, w in zip(ref[:3], got[:3])) and ref[3:] == got[3:]
    # max_iter 0 with two effects fits the data as it is (no singletons here).
    assert keep_mask([worker, firm]).all()
    beta, v, e, *_ = core(y, x, [worker, firm], max_iter=0)
    np.testing.assert_allclose(beta, np.linalg.solve(x.T @ x, x.T @ y), rtol=1e-10)


def test_column_entry_names_and_columns():
    y, x, (worker, firm) = panel(150, (15, 6), 2, seed=23)
    # Longer regressor columns are read up to the rows of y.
    long = [np.r_[x[:, j], [1e300, -7.0]] for j in range(2)]
    got = rust_ols_from_arrays(y, long, [], [worker], [], [firm], [], 1e-12, 100, "iid")
    assert all(same_bits(a, b) for a, b in
               zip(got[:3], fit(y, x, [worker], [firm], names=[], tol=1e-12, max_iter=100)[:3]))
    ref = fit(y, x, [worker], [firm], vcov="HC3")[1]
    for name in ("iid", "HC1", "nonsense", ""):  # ignored when clustering
        np.testing.assert_array_equal(fit(y, x, [worker], [firm], vcov=name)[1], ref)
    for name in ["cluster", "hc1", "", "HC", "HC4", "iid ", "IID"]:
        with pytest.raises(PANIC) as info:
            fit(y, x, [worker], vcov=name)
        assert info.value.args == (UNSUPPORTED + name,)
    bad = worker.copy()
    bad[0] = -1  # would fail inside singleton removal: the name is refused first
    with pytest.raises(PANIC, match="unsupported type: cluster"):
        fit(y, x, [bad], vcov="cluster")
    r = rust_ols_from_arrays(y, [x[:, 0].copy(), x[:, 1].copy()], ["one"], [worker],
                             ["w", "extra", "é"], [], ("c",), 1e-8, 100, "iid")
    assert r[9:] == (["one"], ["w", "extra", "é"], ["c"])


@pytest.mark.parametrize("call, message", [
    (lambda y, x, w, f, bad: core(y, x, [w, bad]), r"fe_codes_list\[1\].*{m}.*30"),
    (lambda y, x, w, f, bad: core(y, x, [w], [f, bad]), r"cluster_codes_list\[1\].*{m}.*30"),
    (lambda y, x, w, f, bad: core(y, x, [], [bad]), r"cluster_codes_list\[0\]"),
    (lambda y, x, w, f, bad: fit(y, x, [bad]), r"fe_cols\[0\] has {m} codes.*30"),
    (lambda y, x, w, f, bad: fit(y, x, [w], [f, bad]), r"cl_cols\[1\] has {m} codes.*30"),
    (lambda y, x, w, f, bad: core(y, x[1:], [w]), r"x has 29 rows but y has 30"),
    (lambda y, x, w, f, bad: core(y, x, [with_layout(w, "strided")]), "NotContiguousError"),
    (lambda y, x, w, f, bad: rust_ols_from_arrays(y, [x[:, 0]], [], [], [], [], [], 1e-8, 10,
                                                  "iid"), "NotContiguousError"),
    (lambda y, x, w, f, bad: rust_ols_from_arrays(y, [x[:-1, 0].copy()], [], [w], [], [], [],
                                                  1e-8, 10, "iid"), "index out of bounds"),
    (lambda y, x, w, f, bad: core(y, x, [np.r_[-1, w[1:]]]), "index out of bounds"),
    (lambda y, x, w, f, bad: fit(y, x, [np.r_[-1, w[1:]]]), "index out of bounds"),
    (lambda y, x, w, f, bad: fit(y, x, [w], [with_layout(f, "strided")]), "NotContiguousError"),
])
@pytest.mark.parametrize("delta", [-1, 2])
def test_bad_columns_are_refused_naming_the_argument(call, message, delta):
    y, x, (worker, firm) = panel(30, (3, 3), 2, seed=13)
    with pytest.raises(PANIC, match=message.format(m=30 + delta)):
        call(y, x, worker, firm, np.zeros(30 + delta, np.int32))


# ---- peers -----------------------------------------------------------------------------

def peer_panel(n_fe, seed):
    # Many workers per firm keep the panel connected; with few rows per worker some are
    # seen once (singletons).
    y, x, fes = panel(600, (150, 12, 6), 3, seed=seed)
    keep = keep_mask(fes[:n_fe])
    assert (~keep).any()
    pd = need("pandas")
    frame = pd.DataFrame({"y": y, **{f"x{j}": x[:, j] for j in range(3)},
                          **{f"f{q}": f for q, f in enumerate(fes)}})
    return y, x, fes[:n_fe], keep, frame


@pytest.mark.peers
@pytest.mark.parametrize("n_fe", [1, 2, 3])
def test_fit_and_standard_errors_match_pyfixest(n_fe):
    # pyfixest's iid is RSS/(N-1) (N-1)/(N-k-k_fe) and hetero HC0 N/(N-k-k_fe), k_fe the
    # levels less one per later effect: our absorbed count on a connected panel. Its CRV1
    # scales by (n-1)/(n-k-G_fe) where we scale by n/(n-(G_fe-1)-k) (the largest code, for
    # an effect nested in no cluster); both then by G/(G-1).
    pf = need("pyfixest")
    y, x, fes, keep, frame = peer_panel(n_fe, seed=30 + n_fe)

    def peer(vcov):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return pf.feols("y ~ x0 + x1 + x2 | " + " + ".join(f"f{q}" for q in range(n_fe)),
                            data=frame, vcov=vcov, fixef_tol=1e-14)

    ours, iid = fit(y, x, fes), peer("iid")
    np.testing.assert_allclose(ours[0], iid.coef().to_numpy(), rtol=1e-8)
    np.testing.assert_allclose(ours[2], iid.resid(), atol=1e-8)
    assert ours[5] == iid._N == keep.sum()
    for ours_name, other in ((("iid", iid), ("HC1", peer("hetero"))) if n_fe < 3 else ()):
        np.testing.assert_allclose(np.sqrt(np.diag(fit(y, x, fes, vcov=ours_name)[1])),
                                   other.se().to_numpy(), rtol=1e-7)
    if n_fe == 1:
        ours = fit(y, x, fes, [frame["f1"].to_numpy()])
        n, g_fe, k = ours[5], ours[6], 3
        convert = (n / (n - (g_fe - 1) - k)) / ((n - 1) / (n - k - g_fe))
        np.testing.assert_allclose(np.sqrt(np.diag(ours[1])),
                                   peer({"CRV1": "f1"}).se().to_numpy() * np.sqrt(convert),
                                   rtol=1e-7)


@pytest.mark.peers
@pytest.mark.parametrize("n_fe", [1, 2, 3])
def test_fit_and_standard_errors_match_linearmodels_absorbing_ls(n_fe):
    # AbsorbingLS keeps singleton rows, fitted exactly (zero residuals). With debiased=True
    # it scales RSS/n and HC0 by n/(n - k - d), d the dummies less one per later effect:
    # our "iid" and "HC1" on the kept rows.
    lm = need("linearmodels.iv")
    pd = need("pandas")
    y, x, fes, keep, frame = peer_panel(n_fe, seed=60 + n_fe)
    options = {"options": {"tol": 1e-14, "iteration_limit": 100_000}} if n_fe > 1 else None

    def peer(rows, cov_type):
        absorb = pd.DataFrame({f"f{q}": pd.Categorical(f[rows]) for q, f in enumerate(fes)})
        model = lm.AbsorbingLS(pd.Series(y[rows], name="y"),
                               pd.DataFrame(x[rows], columns=["x0", "x1", "x2"]), absorb=absorb)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return model.fit(cov_type=cov_type, debiased=True, absorb_options=options)

    ours, res = fit(y, x, fes), peer(np.ones(len(y), bool), "unadjusted")
    np.testing.assert_allclose(ours[0], res.params.to_numpy(), rtol=1e-7)
    np.testing.assert_allclose(ours[2], res.resids.to_numpy()[keep], atol=1e-7)
    np.testing.assert_allclose(res.resids.to_numpy()[~keep], 0.0, atol=1e-7)
    for ours_name, peer_name in (("iid", "unadjusted"), ("HC1", "robust"))[: 2 if n_fe < 3
                                                                             else 0]:
        np.testing.assert_allclose(np.sqrt(np.diag(fit(y, x, fes, vcov=ours_name)[1])),
                                   peer(keep, peer_name).std_errors.to_numpy(), rtol=1e-7)
