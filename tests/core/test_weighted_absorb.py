"""Regression weights and warm starts in the absorption stage (`_core.absorb`).

Oracle: weighted least squares on explicit dummy columns (numpy lstsq on the rows scaled by
sqrt(w)), which shares no code with the solvers, and, for integer weights, the unweighted
stage on the data with every row repeated w times. Designs cover the families on which
iterative demeaning goes wrong in different ways (balanced panels, nested factors, a ring of
firms linked by movers, a star, separate components, random factors); columns lie inside the
fixed effects' span, near it, or anywhere; weights span six orders of magnitude.
"""
import numpy as np
import pytest

from kestrel import _core

FAMILIES = ("balanced, 2 FE", "balanced, 3 FE", "nested", "ring", "star", "components",
            "random, 3 FE", "one FE")
SOLVERS = ("auto", "cg")
TOL = 1e-10


def design(family, rng):
    """Dense int32 code columns of a small design of the family."""
    if family.startswith("balanced"):
        units, periods = 40, 6
        unit, period = np.repeat(np.arange(units), periods), np.tile(np.arange(periods), units)
        fe = [unit, period] if family.endswith("2 FE") else [unit, period,
                                                               rng.integers(0, 4, units * periods)]
    elif family == "nested":  # region nested in firm: absorbed by it
        firm = rng.integers(0, 40, 500)
        fe = [firm, firm // 8, rng.integers(0, 6, 500)]
    elif family == "ring":  # each worker moves along a ring of firms
        workers, firms, spells = 150, 37, 4
        w, t = np.repeat(np.arange(workers), spells), np.tile(np.arange(spells), workers)
        fe = [w, (w * spells + t) % firms, t]
    elif family == "star":  # every worker passes through firm 0
        w = np.repeat(np.arange(200), 2)
        fe = [w, np.where(np.tile([0, 1], 200) == 0, 0, 1 + np.arange(400) // 2 % 30)]
    elif family == "components":  # worker-firm components that share only the periods
        w = np.repeat(np.arange(160), 3)
        fe = [w, (w // 8) * 4 + rng.integers(0, 4, 480), np.tile(np.arange(3), 160)]
    elif family == "one FE":  # the first row alone in its group
        fe = [np.concatenate([[0], rng.integers(1, 30, 299)])]
    else:
        fe = [rng.integers(0, 50, 600), rng.integers(0, 20, 600), rng.integers(0, 5, 600)]
    return [np.unique(c, return_inverse=True)[1].astype(np.int32).ravel() for c in fe]


def dummies(fe):
    return np.hstack([np.eye(int(c.max()) + 1)[c] for c in fe])


def weighted_residual(x, fe, w):
    """x less its weighted least-squares fit on the dummy columns."""
    D, s = dummies(fe), np.sqrt(w)
    coef, *_ = np.linalg.lstsq(D * s[:, None], x * s, rcond=None)
    return x - D @ coef


def columns(fe, rng):
    """(name, column) of every kind: inside the span, near it, anywhere."""
    n = len(fe[0])
    values = [rng.normal(size=int(c.max()) + 1)[c] for c in fe]
    inside = sum(values) + 3.0
    return [("inside", inside),
            ("large scale, inside", 1e6 * (values[0] - values[-1]) + 1e3),
            ("near, 1e-6", inside + 1e-6 * rng.normal(size=n)),
            ("generic", rng.normal(size=n)),
            ("tiny scale, generic", 1e-30 * rng.normal(size=n))]


def log_uniform_weights(rng, n, low=1e-3, high=1e3):
    return np.exp(rng.uniform(np.log(low), np.log(high), n))


def absorb(cols, fe, solver="auto", mask=None, tol=TOL, max_iter=10_000, **kw):
    n = len(cols[0])
    mask = np.ones(n, dtype=bool) if mask is None else mask
    return _core.absorb([np.ascontiguousarray(c, dtype=float) for c in cols], mask, fe,
                        [int(c.max()) + 1 for c in fe], tol, max_iter, solver, None, **kw)


def weighted_scale(x, w):
    """Root of the weighted mean square about the weighted mean, at least 1e-6 of the
    column's own root mean square (a constant column is centred to rounding only)."""
    centred = x - np.average(x, weights=w)
    level = np.sqrt(np.average(x ** 2, weights=w))
    return float(max(np.sqrt(np.average(centred ** 2, weights=w)), 1e-6 * level)) or 1.0


@pytest.mark.parametrize("solver", SOLVERS)
@pytest.mark.parametrize("family", FAMILIES)
def test_weighted_demeaning_lands_on_weighted_least_squares(family, solver):
    rng = np.random.default_rng(FAMILIES.index(family))
    fe = design(family, rng)
    n = len(fe[0])
    w = log_uniform_weights(rng, n)
    named = columns(fe, rng)
    cols = [c for _, c in named]
    out = absorb(cols, fe, solver, weights=w, coefficients=True)
    assert out["converged"]
    s = np.sqrt(w)
    D = dummies(fe)
    for j, (name, x) in enumerate(named):
        exact = weighted_residual(x, fe, w)
        got = out["data"][:, j] / s
        err = np.sqrt(np.average((got - exact) ** 2, weights=w)) / weighted_scale(x, w)
        assert err < 1e-7, (name, err)
        # The coefficients reproduce the result: x - D alpha.
        fit = x - D @ out["coefficients"][j]
        assert np.sqrt(np.average((fit - got) ** 2, weights=w)) <= 1e-9 * weighted_scale(x, w) \
            + 1e-12 * np.sqrt(np.average(x ** 2, weights=w)), name
        # Weighted centred sums of squares, as least_squares and R^2 need them (exactly 0
        # for a column constant up to rounding).
        ss = np.sum(w * (x - np.average(x, weights=w)) ** 2)
        ss = ss if ss > 1e-18 * np.sum(w * x ** 2) else 0.0
        np.testing.assert_allclose(out["sum_squares"][j], ss, rtol=1e-9)


@pytest.mark.parametrize("solver", SOLVERS)
def test_an_unreachable_tolerance_is_never_reported_as_converged_far_off(solver):
    # Weights of very different sizes leave the solvers' rounding rules to hold: at a
    # tolerance below rounding they stop (converged at the rounding level, or not), well before
    # the cap, and whatever they report as converged is the exact projection.
    rng = np.random.default_rng(13)
    for family in ("ring", "components", "nested"):
        fe = design(family, rng)
        n = len(fe[0])
        w = log_uniform_weights(rng, n)
        named = columns(fe, rng)
        out = absorb([c for _, c in named], fe, solver, tol=1e-300, max_iter=100_000, weights=w)
        assert out["iterations"] < 5_000
        assert not out["limit_reached"]
        for j, (name, x) in enumerate(named):
            exact = weighted_residual(x, fe, w)
            err = np.sqrt(np.average((out["data"][:, j] / np.sqrt(w) - exact) ** 2, weights=w))
            if out["converged"]:
                assert err < 1e-7 * weighted_scale(x, w), (family, name, err)


@pytest.mark.parametrize("solver", SOLVERS)
def test_large_problems_keep_the_weighted_normal_equations(solver):
    # Past 200000 rows the group sums run in row chunks on the pool. Oracle: the weighted
    # residual is orthogonal to every dummy (sum over each group of w r = 0), and the
    # coefficients handed back reproduce it.
    rng = np.random.default_rng(17)
    n = 250_000
    fe = [np.unique(c, return_inverse=True)[1].astype(np.int32)
          for c in (rng.integers(0, 5000, n), rng.integers(0, 300, n), rng.integers(0, 10, n))]
    groups = [int(c.max()) + 1 for c in fe]
    w = log_uniform_weights(rng, n)
    x = rng.normal(size=n) + sum(rng.normal(size=g)[c] for g, c in zip(groups, fe))
    out = absorb([x], fe, solver, weights=w, coefficients=True)
    assert out["converged"]
    r = out["data"][:, 0] / np.sqrt(w)
    norm = np.sqrt(np.sum(w * r * r))
    for c, g in zip(fe, groups):
        sums = np.bincount(c, weights=w * r, minlength=g)
        assert np.max(np.abs(sums) / np.sqrt(np.bincount(c, weights=w, minlength=g))) < 1e-8 * norm
    offsets = np.cumsum([0] + groups[:-1])
    alpha = out["coefficients"][0]
    fit = x - sum(alpha[o:o + g][c] for o, g, c in zip(offsets, groups, fe))
    assert np.max(np.abs(fit - r)) < 1e-10 * np.max(np.abs(x))


@pytest.mark.parametrize("solver", SOLVERS)
def test_scaling_every_weight_changes_nothing_beyond_rounding(solver):
    rng = np.random.default_rng(7)
    fe = design("ring", rng)
    w = log_uniform_weights(rng, len(fe[0]))
    x = rng.normal(size=len(w))
    base = absorb([x], fe, solver, weights=w)
    for c in (1e-8, 3.0, 1e8):
        scaled = absorb([x], fe, solver, weights=c * w)
        r0, r1 = base["data"][:, 0] / np.sqrt(w), scaled["data"][:, 0] / np.sqrt(c * w)
        assert np.max(np.abs(r1 - r0)) < 1e-8 * weighted_scale(x, w)
        np.testing.assert_allclose(scaled["sum_squares"], c * base["sum_squares"], rtol=1e-12)


@pytest.mark.parametrize("solver", SOLVERS)
@pytest.mark.parametrize("family", ["balanced, 3 FE", "ring", "one FE"])
def test_integer_weights_equal_the_repeated_rows(family, solver):
    rng = np.random.default_rng(11)
    fe = design(family, rng)
    counts = rng.integers(1, 5, len(fe[0])).astype(float)
    cols = [c for _, c in columns(fe, rng)][2:4]
    weighted = absorb(cols, fe, solver, weights=counts)
    rows = np.repeat(np.arange(len(counts)), counts.astype(int))
    expanded = absorb([c[rows] for c in cols], [c[rows] for c in fe], solver)
    for j, x in enumerate(cols):
        r = weighted["data"][:, j] / np.sqrt(counts)
        assert np.max(np.abs(r[rows] - expanded["data"][:, j])) < 1e-7 * weighted_scale(x, counts)
    np.testing.assert_allclose(weighted["sum_squares"], expanded["sum_squares"], rtol=1e-10)


def test_rows_outside_the_mask_and_no_fixed_effect():
    rng = np.random.default_rng(3)
    fe = design("random, 3 FE", rng)
    n = len(fe[0])
    x = rng.normal(size=n)
    w = log_uniform_weights(rng, n)
    mask = rng.random(n) < 0.7
    w_all = w.copy()
    w_all[~mask] = np.nan  # never read
    kept = [c[mask] for c in fe]
    out = absorb([x], kept, mask=mask, weights=w_all)
    exact = weighted_residual(x[mask], kept, w[mask])
    assert np.max(np.abs(out["data"][:, 0] / np.sqrt(w[mask]) - exact)) < 1e-7
    # The weights and roots it used, at the rows kept, handed back.
    np.testing.assert_array_equal(out["weights"], w[mask])
    np.testing.assert_array_equal(out["roots"], np.sqrt(w[mask]))
    # No fixed effect: the rows scaled by sqrt(w), weighted sums of squares.
    none = _core.absorb([x], mask, [], [], TOL, 100, "auto", None, weights=w_all,
                        coefficients=True)
    np.testing.assert_allclose(none["data"][:, 0], np.sqrt(w[mask]) * x[mask], rtol=1e-15)
    xm, wm = x[mask], w[mask]
    np.testing.assert_allclose(none["sum_squares"][0],
                               np.sum(wm * (xm - np.average(xm, weights=wm)) ** 2), rtol=1e-12)
    assert [len(a) for a in none["coefficients"]] == [0]


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("solver", SOLVERS)
def test_a_warm_start_pays_only_for_the_change(solver, weighted):
    rng = np.random.default_rng(5)
    fe = design("ring", rng)
    n = len(fe[0])
    w = log_uniform_weights(rng, n, 0.1, 10.0) if weighted else None
    x = rng.normal(size=n) + sum(rng.normal(size=int(c.max()) + 1)[c] for c in fe)
    cold = absorb([x], fe, solver, weights=w, coefficients=True)
    assert cold["converged"] and cold["iterations"] > 4
    alpha = cold["coefficients"][0]
    # From the exact solution: (almost) nothing left to do, the same answer.
    again = absorb([x], fe, solver, weights=w, start=[alpha], coefficients=True)
    assert again["converged"] and again["iterations"] <= 2
    scale = np.sqrt(np.sum(cold["data"] ** 2))
    assert np.max(np.abs(again["data"] - cold["data"])) < 1e-8 * scale
    # A slightly changed column: fewer iterations than from zero, and its exact projection.
    x2 = x + 1e-3 * rng.normal(size=n)
    w2 = None if w is None else w * np.exp(0.01 * rng.normal(size=n))
    fresh = absorb([x2], fe, solver, weights=w2)
    warm = absorb([x2], fe, solver, weights=w2, start=[alpha], coefficients=True)
    assert warm["converged"] and warm["iterations"] < fresh["iterations"]
    ww = np.ones(n) if w2 is None else w2
    exact = weighted_residual(x2, fe, ww)
    got = warm["data"][:, 0] / np.sqrt(ww)
    assert np.sqrt(np.average((got - exact) ** 2, weights=ww)) < 1e-7 * weighted_scale(x2, ww)
    # The coefficients handed back describe the warm result.
    fit = x2 - dummies(fe) @ warm["coefficients"][0]
    assert np.max(np.abs(fit - got)) < 1e-8 * weighted_scale(x2, ww)


@pytest.mark.parametrize("solver", SOLVERS)
def test_unweighted_calls_are_unchanged(solver):
    rng = np.random.default_rng(9)
    for family in ("ring", "random, 3 FE", "one FE"):
        fe = design(family, rng)
        cols = [c for _, c in columns(fe, rng)]
        plain = absorb(cols, fe, solver)
        for kw in (dict(weights=None), dict(start=None, coefficients=False),
                   dict(coefficients=True)):
            other = absorb(cols, fe, solver, **kw)
            assert np.array_equal(other["data"], plain["data"]), (family, kw)
            assert np.array_equal(other["sum_squares"], plain["sum_squares"])
            assert other["iterations"] == plain["iterations"]
        assert "coefficients" not in plain
        # Unit weights: the unweighted projection.
        ones = absorb(cols, fe, solver, weights=np.ones(len(fe[0])))
        np.testing.assert_allclose(ones["data"], plain["data"], rtol=0,
                                   atol=1e-9 * np.max(np.abs(plain["data"])))


def test_mistaken_weights_and_starts_are_plain_errors():
    rng = np.random.default_rng(1)
    fe = design("random, 3 FE", rng)
    n = len(fe[0])
    x = rng.normal(size=n)
    for bad, message in ((np.ones(n - 1), "weights has"), (np.zeros(n), "positive"),
                         (np.full(n, np.nan), "finite"), (np.full(n, -1.0), "positive"),
                         (np.full(n, np.inf), "finite")):
        with pytest.raises(ValueError, match=message):
            absorb([x], fe, weights=bad)
    with pytest.raises(TypeError, match="weights"):
        absorb([x], fe, weights=np.ones(n, dtype=np.int64))
    m = sum(int(c.max()) + 1 for c in fe)
    with pytest.raises(ValueError, match="start"):
        absorb([x], fe, start=[np.zeros(m), np.zeros(m)])
    with pytest.raises(ValueError, match="start vector"):
        absorb([x], fe, start=[np.zeros(m - 1)])
    with pytest.raises(ValueError, match="finite"):
        absorb([x], fe, start=[np.full(m, np.nan)])


# ---- singletons by frequency counts, fixed-effect values under weights ----------------


def expanded_rows(counts):
    return np.repeat(np.arange(len(counts)), counts.astype(int))


@pytest.mark.parametrize("seed", range(6))
def test_singletons_by_total_count_are_those_of_the_repeated_rows(seed):
    rng = np.random.default_rng(seed)
    n = 300
    fe = [rng.integers(0, 120, n).astype(np.int32), rng.integers(0, 60, n).astype(np.int32)]
    counts = rng.choice([1.0, 1.0, 1.0, 2.0, 3.0], n)
    keep = rng.random(n) < 0.9
    got = _core.sample(fe, [], keep, True, counts=counts)
    rows = expanded_rows(counts)
    want = _core.sample([c[rows] for c in fe], [], keep[rows], True)
    # A row is kept exactly when its copies are; singletons are rows of count 1.
    first = np.concatenate([[0], np.cumsum(counts.astype(int))[:-1]])
    np.testing.assert_array_equal(got["mask"], want["mask"][first])
    assert got["n_singletons"] == want["n_singletons"]
    assert np.sum(counts[got["mask"]]) == want["n"]
    assert got["fe_groups"] == want["fe_groups"]
    # Without counts (or with unit counts): by rows.
    plain = _core.sample(fe, [], keep, True)
    ones = _core.sample(fe, [], keep, True, counts=np.ones(n))
    np.testing.assert_array_equal(plain["mask"], ones["mask"])


def test_a_row_standing_for_several_is_not_a_singleton():
    fe = [np.array([0, 1, 1, 2], np.int32), np.array([0, 0, 1, 1], np.int32)]
    keep = np.ones(4, bool)
    assert list(_core.sample(fe, [], keep, True)["mask"]) == [False, False, False, False]
    # Row 0 stands for three rows: it stays, while the others still fall one by one.
    got = _core.sample(fe, [], keep, True, counts=np.array([3.0, 1.0, 1.0, 1.0]))
    assert list(got["mask"]) == [True, False, False, False]
    assert got["n_singletons"] == 3
    rows = expanded_rows(np.array([3, 1, 1, 1]))
    want = _core.sample([c[rows] for c in fe], [], np.ones(len(rows), bool), True)
    assert list(got["mask"]) == list(want["mask"][[0, 3, 4, 5]])


@pytest.mark.parametrize("family", ["one FE", "balanced, 2 FE", "ring", "random, 3 FE"])
def test_weighted_fixed_effect_values_fit_the_weighted_normal_equations(family):
    rng = np.random.default_rng(4)
    fe = design(family, rng)
    n = len(fe[0])
    r = rng.normal(size=n) + sum(rng.normal(size=int(c.max()) + 1)[c] for c in fe)
    w = log_uniform_weights(rng, n)
    groups = [int(c.max()) + 1 for c in fe]
    preference = [np.arange(g, dtype=np.int32) for g in groups]
    out = _core.fixef_values(r, fe, groups, preference, 1e-12, 10_000, weights=w)
    assert out["converged"]
    # One fixed effect: its group means, exact, without an iteration.
    assert (out["iterations"] == 0) == (len(fe) == 1)
    fitted = sum(v[c] for v, c in zip(out["values"], fe))
    exact = r - weighted_residual(r, fe, w)
    assert np.sqrt(np.average((fitted - exact) ** 2, weights=w)) < 1e-8 * weighted_scale(r, w)
    # Integer weights: the values of the repeated rows.
    counts = rng.integers(1, 4, n).astype(float)
    rows = expanded_rows(counts)
    mine = _core.fixef_values(r, fe, groups, preference, 1e-12, 10_000, weights=counts)
    theirs = _core.fixef_values(r[rows], [c[rows] for c in fe], groups, preference, 1e-12,
                                10_000)
    for a, b in zip(mine["values"], theirs["values"]):
        np.testing.assert_allclose(a, b, rtol=0, atol=1e-8 * np.max(np.abs(r)))
    with pytest.raises(ValueError, match="positive"):
        _core.fixef_values(r, fe, groups, preference, 1e-12, 100, weights=np.zeros(n))


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("solver", SOLVERS)
def test_levels_without_rows_get_zero_coefficients(solver, weighted):
    """Declared levels that no row has (codes of a subsample) get coefficient 0, never the
    0/0 of their empty sums, and the others still reproduce the result."""
    rng = np.random.default_rng(11)
    fe = design("random, 3 FE", rng)
    n = len(fe[0])
    x = rng.normal(size=n) + rng.normal(size=50)[fe[0]]
    w = log_uniform_weights(rng, n) if weighted else None
    groups = [int(c.max()) + 3 for c in fe]  # two empty levels at the end of each
    out = _core.absorb([x], np.ones(n, dtype=bool), fe, groups, TOL, 10_000, solver, None,
                       weights=w, coefficients=True)
    alpha = out["coefficients"][0]
    assert np.isfinite(alpha).all()
    ends = np.cumsum(groups)
    assert (alpha[np.concatenate([ends - 2, ends - 1])] == 0).all()
    D = np.hstack([np.eye(g)[c] for c, g in zip(fe, groups)])
    got = out["data"][:, 0] / (1.0 if w is None else np.sqrt(w))
    assert np.max(np.abs(x - D @ alpha - got)) < 1e-8
