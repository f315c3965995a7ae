"""Independent NumPy oracles for the fixed-effect estimators.

Absorption is done the textbook way, by regressing on explicit dummy columns
(Frisch-Waugh-Lovell), so the oracle shares no code path with demeaning.
Only for small n.
"""

import numpy as np


def dummies(codes_list, n):
    cols = []
    for codes in codes_list:
        codes = np.asarray(codes)
        levels = np.unique(codes)
        cols.append((codes[:, None] == levels[None, :]).astype(float))
    return np.hstack(cols) if cols else np.zeros((n, 0))


def absorb(v, codes_list):
    """Residual of every column of v on the dummies of all fixed effects."""
    v = np.asarray(v, dtype=float)
    if not codes_list:
        return v.copy()
    d = dummies(codes_list, v.shape[0])
    coef, *_ = np.linalg.lstsq(d, v, rcond=None)
    return v - d @ coef


def singleton_mask(codes_list):
    """Rows that survive repeated removal of rows alone in their group."""
    n = len(codes_list[0])
    keep = np.ones(n, dtype=bool)
    while True:
        before = keep.copy()
        for codes in codes_list:
            codes = np.asarray(codes)
            counts = np.bincount(codes[keep], minlength=codes.max() + 1)
            keep &= counts[codes] != 1
        if (keep == before).all():
            return keep


def within_fit(y, x, codes_list):
    """(beta, resid, demeaned x, bread) of OLS after absorbing the fixed effects."""
    yd = absorb(y[:, None], codes_list)[:, 0]
    xd = absorb(x, codes_list)
    xtx = xd.T @ xd
    beta = np.linalg.solve(xtx, xd.T @ yd) if x.shape[1] else np.zeros(0)
    resid = yd - xd @ beta
    bread = np.linalg.inv(xtx) if x.shape[1] else np.zeros((0, 0))
    return beta, resid, xd, bread


def cluster_meat(xd, resid, codes):
    scores = xd * resid[:, None]
    _, g = np.unique(codes, return_inverse=True)
    s = np.zeros((g.max() + 1, xd.shape[1]))
    np.add.at(s, g, scores)
    return s.T @ s


def cluster_sandwich(xd, resid, bread, codes):
    return bread @ cluster_meat(xd, resid, codes) @ bread


def hc_sandwich(xd, resid, bread, kind):
    h = np.einsum("ia,ab,ib->i", xd, bread, xd)
    w = resid**2
    if kind == "HC2":
        w = w / (1 - h)
    elif kind == "HC3":
        w = w / (1 - h) ** 2
    return bread @ (xd.T * w) @ xd @ bread


def panel(n, n_workers, n_firms, k, seed, n_years=0):
    """A small worker/firm(/year) panel with regressors correlated with the effects."""
    rng = np.random.default_rng(seed)
    worker = rng.integers(0, n_workers, n).astype(np.int32)
    firm = rng.integers(0, n_firms, n).astype(np.int32)
    fes = [worker, firm]
    if n_years:
        fes.append(rng.integers(0, n_years, n).astype(np.int32))
    alpha = [rng.normal(size=c.max() + 1) for c in fes]
    effect = sum(a[c] for a, c in zip(alpha, fes))
    x = rng.normal(size=(n, k)) + 0.5 * effect[:, None]
    beta = np.arange(1, k + 1, dtype=float) / 2
    y = x @ beta + effect + rng.normal(size=n)
    return y, x, fes
