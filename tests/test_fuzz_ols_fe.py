"""rust_ols_core and rust_ols_from_arrays on random panels (fixed effects with singletons,
cluster columns, covariance types), against least squares on the dummy columns after
iterated singleton removal; the two entries against each other; and malformed inputs."""
import itertools

import numpy as np
from hypothesis import assume, given
from hypothesis import strategies as st

from fe_oracles import (absorbed, first_appearance, intersection, keep_mask, nested,
                        residual_on_dummies)
from fuzz_support import (I32, LAYOUTS_2D, PANIC, bad_codes, call_checked, float_arrays,
                          same_bits, with_layout_1d, with_layout_2d)
from kestrel import _native

TOL, MAX_ITER = 1e-14, 100_000


@st.composite
def panels(draw):
    n = draw(st.integers(1, 30))
    k = draw(st.integers(0, 2))
    x = draw(float_arrays(n * k, scale=10)).reshape(n, k)
    y = draw(float_arrays(n, scale=10))
    q = draw(st.integers(0, 3))
    fes = [np.array(draw(st.lists(st.integers(0, g), min_size=n, max_size=n)), dtype=np.int32)
           for g in (draw(st.integers(0, 5)) for _ in range(q))]
    c = draw(st.integers(0, 2))
    ids = st.one_of(st.integers(0, 3), st.sampled_from([I32.min, -5, I32.max]))
    clusters = [np.array(draw(st.lists(ids, min_size=n, max_size=n)), dtype=np.int32)
                for _ in range(c)]
    return y, x, fes, clusters


def expected_fit(y, x, fes, clusters, entry, vcov="iid"):
    """(beta, V, e, n, absorbed, removed, cluster groups) by NumPy, or None when the
    demeaned design is too ill-conditioned to compare."""
    n0, k = x.shape
    if fes:
        keep = keep_mask(fes)
        removed = int(n0 - keep.sum())
        if removed:
            y, x = y[keep], x[keep]
            fes = [first_appearance(c[keep]) for c in fes]
            clusters = [c[keep] for c in clusters]
    else:
        removed = 0
    n = len(y)
    yd = residual_on_dummies(y, fes)
    xd = residual_on_dummies(x, fes)
    a = absorbed(fes) if fes else 0
    xtx = xd.T @ xd
    if n <= k + 1 or (k and np.linalg.cond(xtx) > 1e6) or not np.isfinite(xd).all():
        return None
    # A regressor the fixed effects (nearly) absorb is left as rounding noise, and a fit
    # on noise has no reference answer.
    if k and (np.linalg.norm(xd, axis=0) < 1e-6 * np.maximum(1.0, np.linalg.norm(x, axis=0))).any():
        return None
    beta = np.linalg.solve(xtx, xd.T @ yd) if k else np.zeros(0)
    e = yd - xd @ beta
    B = np.linalg.inv(xtx) if k else np.zeros((0, 0))
    groups = [len(np.unique(c)) for c in clusters]
    n, k = np.float64(n), np.float64(k)  # IEEE division: 1/0 is inf, not an exception
    with np.errstate(all="ignore"):
        if clusters:
            k_nest = sum(int(f.max(initial=0)) for f in fes
                         if not any(nested(f, c) for c in clusters))
            g_min = np.float64(min(groups))
            f_fe = (n / ((n - k_nest) - k)) * (g_min / (g_min - 1.0))
            V = np.zeros((int(k), int(k)))
            for r in range(1, len(clusters) + 1):
                for combo in itertools.combinations(range(len(clusters)), r):
                    codes, G = intersection([first_appearance(clusters[d]) for d in combo])
                    S = np.zeros((G, int(k)))
                    np.add.at(S, codes, xd * e[:, None])
                    f = f_fe if fes else (np.float64(G) / (G - 1.0)) * ((n - 1.0) / (n - k))
                    V += (-1) ** (r + 1) * f * (B @ (S.T @ S) @ B)
        elif entry == "core" or vcov == "iid":
            dof = (n - k) if entry == "core" else (n - k) - a
            V = B * (e @ e) / dof
        else:
            h = np.einsum("ia,ab,ib->i", xd, B, xd)
            w = {"HC0": e**2, "HC1": e**2, "HC2": e**2 / (1 - h),
                 "HC3": e**2 / (1 - h) ** 2}[vcov]
            V = B @ ((xd * w[:, None]).T @ xd) @ B
            if vcov == "HC1":
                V = V * n / ((n - k) - a)
    return beta, V, e, int(n), a, removed, groups


def close(got, expected, scale):
    np.testing.assert_allclose(got, expected, rtol=1e-6, atol=1e-7 * scale, equal_nan=True)


@given(panel=panels(), lx=st.sampled_from(LAYOUTS_2D))
def test_core_matches_dummy_least_squares_after_singleton_removal(panel, lx):
    y, x, fes, clusters = panel
    status, out = call_checked(_native.rust_ols_core, y, with_layout_2d(x, lx), fes,
                               [0] * len(fes), clusters, TOL, MAX_ITER)
    assert status == "ok", out
    beta, V, e, r2, adj, n, a, removed, groups = out
    expected = expected_fit(y, x, fes, clusters, "core")
    # Counts hold whatever the conditioning.
    keep = keep_mask(fes) if fes else np.ones(len(y), bool)
    assert (n, removed) == (int(keep.sum()), len(y) - int(keep.sum()))
    assert e.shape == (n,) and beta.shape == (x.shape[1],) and V.shape == (x.shape[1],) * 2
    assume(expected is not None)
    ebeta, eV, ee, en, ea, eremoved, egroups = expected
    assert (a, groups) == (ea, egroups)
    scale = max(1.0, float(np.abs(y).max()), float(np.abs(x).max(initial=0)))
    close(beta, ebeta, scale)
    close(e, ee, scale)
    close(V, eV, scale**2)


@given(panel=panels(), vcov=st.sampled_from(["iid", "HC0", "HC1", "HC2", "HC3"]))
def test_column_entry_fits_the_same_model_with_its_own_covariance(panel, vcov):
    y, x, fes, clusters = panel
    cols = [np.ascontiguousarray(x[:, j]) for j in range(x.shape[1])]
    core = _native.rust_ols_core(y, x, fes, [], clusters, TOL, MAX_ITER)
    status, out = call_checked(_native.rust_ols_from_arrays, y, cols, ["a"] * len(cols), fes,
                               ["f"] * len(fes), clusters, ["c"] * len(clusters), TOL,
                               MAX_ITER, vcov)
    assert status == "ok", out
    # The same pipeline: every slot but the covariance is the same to the bit.
    for i in (0, 2, 5, 6, 7, 8):
        assert same_bits(out[i], core[i]) if i in (0, 2) else out[i] == core[i]
    assert same_bits(np.float64(out[3]), np.float64(core[3]))
    assert out[9:] == (["a"] * len(cols), ["f"] * len(fes), ["c"] * len(clusters))
    if clusters:
        assert same_bits(out[1], core[1])
    expected = expected_fit(y, x, fes, clusters, "arrays", vcov)
    assume(expected is not None)
    scale = max(1.0, float(np.abs(y).max()), float(np.abs(x).max(initial=0)))
    close(out[1], expected[1], scale**2)


@given(panel=panels(), data=st.data())
def test_malformed_code_columns_and_lengths_panic(panel, data):
    y, x, fes, clusters = panel
    n = len(y)
    what = data.draw(st.sampled_from(["fe code", "fe length", "cl length", "x rows", "strided"]))
    if what == "fe code" and fes:
        # In the first fixed effect, which singleton removal reads while every row is
        # still kept: a negative code in a later one can leave with its row first.
        fes = list(fes)
        fes[0] = data.draw(bad_codes(n, 6)).copy()
        fes[0][fes[0] > 6] = -1  # large codes are valid (empty groups): make it negative
        assume((fes[0] < 0).any())
    elif what == "fe length" and fes:
        fes = [fes[0][: n - 1]] + list(fes[1:]) if n > 1 else [np.zeros(n + 1, np.int32)]
    elif what == "cl length" and clusters:
        clusters = [np.append(clusters[0], np.int32(0))] + list(clusters[1:])
    elif what == "x rows":
        x = np.vstack([x, np.zeros((1, x.shape[1]))])
    elif what == "strided" and n > 1 and (fes or clusters):
        if fes:
            fes = [with_layout_1d(fes[0], "strided")] + list(fes[1:])
        else:
            clusters = [with_layout_1d(clusters[0], "strided")] + list(clusters[1:])
    else:
        return
    status, err = call_checked(_native.rust_ols_core, y, x, fes, [], clusters, 1e-8, 100)
    assert status == "raised" and isinstance(err, PANIC), (what, err)
    cols = [np.ascontiguousarray(x[:, j]) for j in range(x.shape[1])]
    status, err = call_checked(_native.rust_ols_from_arrays, y, cols, [], fes, [], clusters, [],
                               1e-8, 100, "iid")
    # The column entry has no separate row count: longer x columns are cut to y.
    if what == "x rows":
        assert status == "ok" or isinstance(err, PANIC)
    else:
        assert status == "raised" and isinstance(err, PANIC), (what, err)


@given(panel=panels(), bad=st.sampled_from([np.nan, np.inf, -np.inf]), data=st.data())
def test_non_finite_data_gives_nan_results_not_an_exception(panel, bad, data):
    y, x, fes, clusters = panel
    y = y.copy()
    y[data.draw(st.integers(0, len(y) - 1))] = bad
    status, out = call_checked(_native.rust_ols_core, y, x, fes, [], clusters, 1e-8, 1000)
    assert status == "ok", out
    cols = [np.ascontiguousarray(x[:, j]) for j in range(x.shape[1])]
    status, out = call_checked(_native.rust_ols_from_arrays, y, cols, [], fes, [], clusters, [],
                               1e-8, 1000, "HC1")
    assert status == "ok", out
