"""Data generators: every workload's data is made once per size by the parent process,
written to a scratch directory and read back unchanged by every tool's worker."""

from __future__ import annotations

import numpy as np

SEED = 20240611


def _rng(*key: int) -> np.random.Generator:
    return np.random.default_rng([SEED, *key])


def panel(n: int, design: str, n_regressors: int = 2) -> dict[str, np.ndarray]:
    """The public fixed-effects benchmark panel.

    10 years, n/10 individuals observed every year, n/230 firms. "simple" assigns firms at
    random, "difficult" cyclically (firm = rep(1..n_firm, length.out = n)), which links the
    individual and firm graphs weakly and makes alternating projections slow.
    y = x1 + 0.05*x2 + firm + individual + year effects + N(0, 1), x2 = x1^2.
    With more than two regressors, x3.. are independent N(0, 1) with coefficient 0.1.
    Codes are dense int32 starting at 0.
    """
    if n % 10:
        raise ValueError("panel size must be a multiple of 10")
    rng = _rng(1, n, 0 if design == "simple" else 1, n_regressors)
    n_indiv = n // 10
    n_firm = max(1, round(n / 230))
    indiv = np.repeat(np.arange(n_indiv, dtype=np.int32), 10)
    year = np.tile(np.arange(10, dtype=np.int32), n_indiv)
    if design == "simple":
        firm = rng.integers(0, n_firm, size=n, dtype=np.int32)
    elif design == "difficult":
        firm = (np.arange(n, dtype=np.int64) % n_firm).astype(np.int32)
    else:
        raise ValueError(f"unknown design {design!r}")
    x1 = rng.standard_normal(n)
    cols = {"x1": x1, "x2": x1 * x1}
    y = x1 + 0.05 * cols["x2"]
    for j in range(3, n_regressors + 1):
        xj = rng.standard_normal(n)
        cols[f"x{j}"] = xj
        y = y + 0.1 * xj
    y = (y + rng.standard_normal(n_firm)[firm] + rng.standard_normal(n_indiv)[indiv]
         + rng.standard_normal(10)[year] + rng.standard_normal(n))
    return {"y": y, **cols, "indiv": indiv, "year": year, "firm": firm}


def nofe(n: int, k: int = 10, n_clusters: int | None = None) -> dict[str, np.ndarray]:
    """Cross-section for OLS without fixed effects: k N(0, 1) regressors, heteroskedastic
    errors with a cluster-level shock; clusters of about 1000 rows by default."""
    rng = _rng(3, n, k)
    g = n_clusters or max(2, n // 1000)
    cl = rng.integers(0, g, size=n, dtype=np.int32)
    out: dict[str, np.ndarray] = {}
    y = np.full(n, 1.0)
    for j in range(k):
        xj = rng.standard_normal(n)
        out[f"x{j + 1}"] = xj
        y = y + (0.5 - j / (2 * k)) * xj
    y = y + rng.standard_normal(g)[cl] + (1.0 + 0.5 * np.abs(out["x1"])) * rng.standard_normal(n)
    return {"y": y, **out, "cl": cl}


def iv(n: int) -> dict[str, np.ndarray]:
    """2SLS design on the simple panel's individual and year codes: one exogenous regressor,
    one endogenous regressor correlated with the error, two excluded instruments."""
    if n % 10:
        raise ValueError("iv size must be a multiple of 10")
    rng = _rng(4, n)
    n_indiv = n // 10
    indiv = np.repeat(np.arange(n_indiv, dtype=np.int32), 10)
    year = np.tile(np.arange(10, dtype=np.int32), n_indiv)
    a = rng.standard_normal(n_indiv)[indiv]
    t = rng.standard_normal(10)[year]
    x_exog = rng.standard_normal(n) + 0.3 * a
    z1 = rng.standard_normal(n)
    z2 = rng.standard_normal(n) + 0.2 * t
    u = rng.standard_normal(n)
    v = 0.6 * u + rng.standard_normal(n)
    x_endog = 0.8 * z1 + 0.5 * z2 + 0.4 * a + v
    y = 1.0 + 0.5 * x_exog - 1.0 * x_endog + a + t + u
    cl = rng.integers(0, max(2, n // 2000), size=n, dtype=np.int32)  # for clustered errors
    return {"y": y, "x_exog": x_exog, "x_endog": x_endog, "z1": z1, "z2": z2,
            "indiv": indiv, "year": year, "cl": cl}


def scores(n: int, k: int = 10, n_periods: int = 1000, n_groups: int = 10_000) -> dict[str, np.ndarray]:
    """Score rows for the covariance pieces: n x k autocorrelated scores (C order), shuffled
    time stamps for Newey-West, a balanced panel's period stamps (units of n_periods rows, so
    periods first occur in ascending order) for Driscoll-Kraay, residuals and cluster codes."""
    rng = _rng(5, n, k)
    e = rng.standard_normal((n, k))
    # AR(1) with rho = 0.5 along the time order, truncated after 12 terms (enough for the
    # lag terms to carry signal, and cheap to make).
    s = e.copy()
    for _ in range(12):
        s[1:] = e[1:] + 0.5 * s[:-1]
    perm = rng.permutation(n)
    score_shuffled = np.ascontiguousarray(s[perm])
    time_ids = perm.astype(np.float64)  # row j carries time perm[j]
    period = np.tile(np.arange(n_periods, dtype=np.float64), -(-n // n_periods))[:n]
    x = rng.standard_normal((n, k))
    resid = rng.standard_normal(n)
    codes = rng.integers(0, n_groups, size=n, dtype=np.int32)
    return {"score": score_shuffled, "time_ids": time_ids, "period": period,
            "x": x, "resid": resid, "codes": codes}


def ids(n: int, kind: str) -> dict[str, np.ndarray]:
    """int64 identifiers with n/10 distinct values: "dense" draws from 0..n/10-1 (range below
    2n, the table path), "sparse" from n/10 random 62-bit values (the sorted path)."""
    rng = _rng(6, n, 0 if kind == "dense" else 1)
    g = max(1, n // 10)
    if kind == "dense":
        arr = rng.integers(0, g, size=n, dtype=np.int64)
    elif kind == "sparse":
        pool = rng.integers(0, 1 << 62, size=g, dtype=np.int64)
        arr = pool[rng.integers(0, g, size=n)]
    else:
        raise ValueError(f"unknown id kind {kind!r}")
    return {"arr": arr}


def job(n: int) -> dict[str, np.ndarray]:
    """The main job's worker-firm wage panel (``python -m kestrel``): skewed firm sizes,
    workers who mostly stay at one firm, some seen once; regressors x1..x3 are experience,
    training and hours, the codes worker, firm and year."""
    from kestrel import _native
    from kestrel.simulate import FE_NAMES, REGRESSORS, simulate

    p = simulate(n, seed=0)
    return {"y": p["log_wage"].to_numpy(),
            **{f"x{j + 1}": p[name].to_numpy() for j, name in enumerate(REGRESSORS)},
            **{name: _native.rust_recode(p[name].to_numpy(np.int64))[0] for name in FE_NAMES}}


def random_codes(n: int, n_cols: int = 5) -> dict[str, np.ndarray]:
    """Three fixed effects with n/10, 1000 and 50 levels drawn at random for every row (no
    panel structure), and columns y, x1.. that each sum a random effect of every fixed effect
    and noise."""
    rng = _rng(7, n, n_cols)
    levels = (max(n // 10, 1), 1000, 50)
    codes = [rng.integers(0, g, size=n, dtype=np.int32) for g in levels]
    out = {f"fe{q + 1}": c for q, c in enumerate(codes)}
    for j, name in enumerate(["y"] + [f"x{j}" for j in range(1, n_cols)]):
        col = rng.standard_normal(n)
        for c, g in zip(codes, levels):
            col += rng.standard_normal(g)[c]
        out[name] = col
    return out


def gram(n: int, k: int) -> dict[str, np.ndarray]:
    """Scores for a cluster meat with one row per group: x (n x k), residuals, codes 0..n-1.
    The meat is then the score cross-product S'S alone, with S = x * e."""
    rng = _rng(8, n, k)
    return {"x": rng.standard_normal((n, k)), "resid": rng.standard_normal(n),
            "codes": np.arange(n, dtype=np.int32)}


def outcomes(n: int, n_outcomes: int = 5) -> dict[str, np.ndarray]:
    """The simple panel with several outcomes y1.. (y1 = the panel's y, the others scaled
    copies plus their own noise), for multiple estimation."""
    p = panel(n, "simple")
    rng = _rng(9, n, n_outcomes)
    out = {**p, "y1": p["y"]}
    for j in range(2, n_outcomes + 1):
        out[f"y{j}"] = (0.5 + 0.1 * j) * p["y"] + rng.standard_normal(n)
    return out


def staircase(n: int) -> dict[str, np.ndarray]:
    """Two fixed effects chained row to row (row i in groups i//2 and (i+1)//2): every row
    is a singleton in the end, but removing one exposes only the next, so a removal that
    repeats full passes until nothing changes needs n/2 of them."""
    i = np.arange(n, dtype=np.int64)
    return {"fe1": (i // 2).astype(np.int32), "fe2": ((i + 1) // 2).astype(np.int32)}


def glm_panel(n: int, design: str) -> dict[str, np.ndarray]:
    """The benchmark panel's identifiers and regressors x1, x2 (x2 = x1^2) with a count
    outcome c ~ Poisson(exp(eta)) and a binary outcome b ~ Bernoulli(logistic(eta)),
    eta = 0.3*x1 - 0.1*x2 + 0.3*(firm + individual effects) + 0.1*year effects."""
    p = panel(n, design)
    rng = _rng(11, n, 0 if design == "simple" else 1)
    n_firm, n_indiv = int(p["firm"].max()) + 1, n // 10
    eta = (0.3 * p["x1"] - 0.1 * p["x2"] + 0.3 * rng.standard_normal(n_firm)[p["firm"]]
           + 0.3 * rng.standard_normal(n_indiv)[p["indiv"]]
           + 0.1 * rng.standard_normal(10)[p["year"]])
    c = rng.poisson(np.exp(eta)).astype(float)
    b = (rng.uniform(size=n) < 1.0 / (1.0 + np.exp(-eta))).astype(float)
    return {"c": c, "b": b, "x1": p["x1"], "x2": p["x2"], "indiv": p["indiv"],
            "year": p["year"], "firm": p["firm"]}


def states(n: int, n_states: int = 50) -> dict[str, np.ndarray]:
    """A panel of individuals over 10 years in 50 states (each individual in one state):
    y = 0.5*x2 + individual, year and state effects + a state-by-year shock + N(0, 1), so
    that the errors are correlated within states, the clusters of inference after the fit
    (workload 9); x1 (correlated within states too) has no effect, so that the bootstrap
    tests a null that holds and its p-values can be compared."""
    if n % 10:
        raise ValueError("panel size must be a multiple of 10")
    rng = _rng(10, n, n_states)
    n_indiv = n // 10
    indiv = np.repeat(np.arange(n_indiv, dtype=np.int32), 10)
    year = np.tile(np.arange(10, dtype=np.int32), n_indiv)
    state = (indiv.astype(np.int64) * n_states // n_indiv).astype(np.int32)
    x1 = rng.standard_normal(n) + rng.standard_normal(n_states)[state]
    x2 = rng.standard_normal(n)
    shock = rng.standard_normal((n_states, 10))[state, year]
    y = (0.5 * x2 + rng.standard_normal(n_indiv)[indiv] + rng.standard_normal(10)[year]
         + rng.standard_normal(n_states)[state] + shock + rng.standard_normal(n))
    return {"y": y, "x1": x1, "x2": x2, "indiv": indiv, "year": year, "state": state}


GENERATORS = {"panel": panel, "glm_panel": glm_panel, "nofe": nofe, "iv": iv, "scores": scores, "ids": ids, "job": job,
              "random_codes": random_codes, "gram": gram, "outcomes": outcomes,
              "staircase": staircase, "states": states}


def generate(name: str, params: dict) -> dict[str, np.ndarray]:
    return GENERATORS[name](**params)
