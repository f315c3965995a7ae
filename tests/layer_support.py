"""Data and independent oracles shared by the tests of the Python layer."""

import itertools
import warnings

import numpy as np
import pandas as pd


def panel(n=3000, seed=11):
    """A worker-firm panel with the dtypes users bring: worker ids as strings, firm ids as
    int64 beyond the int32 range, a nullable year, a categorical region, a small string
    category; 2% missing values in x1 and a few missing worker ids; a regressor collinear
    with two others (x4) and one constant within firm (firm_size)."""
    rng = np.random.default_rng(seed)
    worker = rng.integers(0, n // 8, n)
    firm = (rng.integers(0, 60, n) * 7 + worker) % 60
    year = rng.integers(0, 8, n)
    region = rng.integers(0, 6, n)
    g = rng.integers(0, 4, n)
    x1, x2, x3 = rng.normal(size=(3, n))
    size = rng.normal(size=60)[firm]
    y = (0.5 * x1 - 0.3 * x2 + 0.2 * x3 + 0.4 * size + np.sin(worker) + 0.1 * year
         + 0.3 * g + rng.normal(size=60)[firm] * 0.5 + rng.normal(size=n))
    df = pd.DataFrame({
        "y": y, "y2": np.exp(y / 3), "x1": np.where(rng.random(n) < 0.02, np.nan, x1),
        "x2": x2, "x3": x3, "x4": x2 - 2.0 * x3, "firm_size": size,
        "worker": pd.array([f"w{w:05d}" for w in worker], dtype="str"),
        "firm": firm.astype(np.int64) * 1_000_003 + 3_000_000_000,
        "year": pd.array(year + 2000, dtype="Int64"),
        "region": pd.Categorical.from_codes(region, [f"r{r}" for r in range(6)]),
        "g": np.array(list("abcd"))[g]})
    df.loc[rng.choice(n, 5, replace=False), "worker"] = None
    return df


def dummies(codes):
    _, inv = np.unique(codes, return_inverse=True)
    out = np.zeros((len(codes), inv.max() + 1))
    out[np.arange(len(codes)), inv] = 1.0
    return out


def multiway_oracle(y, X, fe_codes, cluster_codes, k_fe):
    """Dummy-variable least squares with multi-way clustered standard errors of the X
    coefficients: inclusion-exclusion over the subsets of the clustering variables (Cameron,
    Gelbach and Miller 2011), each term scaled by (N-1)/(N-K) * Gmin/(Gmin-1)."""
    D = np.hstack([X] + [dummies(c)[:, 1:] if j else dummies(c) for j, c in enumerate(fe_codes)])
    beta, *_ = np.linalg.lstsq(D, y, rcond=None)
    e = y - D @ beta
    bread = np.linalg.pinv(D.T @ D)
    n, k = X.shape
    g_min = min(len(np.unique(c)) for c in cluster_codes)
    V = np.zeros((D.shape[1], D.shape[1]))
    for size in range(1, len(cluster_codes) + 1):
        for subset in itertools.combinations(cluster_codes, size):
            key = pd.MultiIndex.from_arrays(subset).factorize()[0]
            s = dummies(key).T @ (D * e[:, None])
            V += (-1) ** (size + 1) * bread @ s.T @ s @ bread
    V *= (n - 1) / (n - k - k_fe) * g_min / (g_min - 1)
    return beta[:k], np.sqrt(np.diag(V)[:k])


def close(ours, theirs, rtol):
    """Equal to rtol relative, with an absolute floor of rtol times the largest magnitude."""
    ours, theirs = np.asarray(ours, float), np.asarray(theirs, float)
    np.testing.assert_allclose(ours, theirs, rtol=rtol, atol=rtol * np.abs(theirs).max() + 1e-15)


def quiet(fn, *args, **kwargs):
    """A peer's call without its deprecation chatter (the suite turns warnings into errors)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn(*args, **kwargs)
