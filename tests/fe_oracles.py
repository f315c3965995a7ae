"""Independent NumPy oracles for the fixed-effect estimators.

Absorption is done the textbook way, by regressing on explicit dummy columns
(Frisch-Waugh-Lovell), so the oracles share no code path with demeaning.
Only for small n.
"""
import numpy as np


def dummies(codes, n_groups):
    d = np.zeros((len(codes), n_groups))
    d[np.arange(len(codes)), codes] = 1.0
    return d


def residual_on_dummies(x, fes):
    """x minus its least-squares fit on the dummy columns of every fixed effect.

    One column per level that occurs, in sorted order: codes near the int32 limit
    cost no memory, and levels without rows (zero columns) would not change the
    residual anyway."""
    if not fes or len(x) == 0:
        return x.copy()
    D = np.hstack([dummies(inverse.ravel(), len(levels))
                   for levels, inverse in (np.unique(c, return_inverse=True) for c in fes)])
    coef, *_ = np.linalg.lstsq(D, x, rcond=None)
    return x - D @ coef


def keep_mask(fes):
    """Rows left after singletons are removed, fixed effect by fixed effect, until none."""
    n = len(fes[0])
    keep = np.ones(n, dtype=bool)
    changed = True
    while changed:
        changed = False
        for c in fes:
            counts = np.bincount(c[keep], minlength=int(c.max(initial=0)) + 1)
            alone = keep & (counts[c] == 1)
            if alone.any():
                keep &= ~alone
                changed = True
    return keep


def within_fit(y, x, codes_list):
    """(beta, resid, demeaned x, bread) of OLS after absorbing the fixed effects."""
    yd = residual_on_dummies(y[:, None], codes_list)[:, 0]
    xd = residual_on_dummies(x, codes_list)
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


def first_appearance(codes):
    _, first, inverse = np.unique(codes, return_index=True, return_inverse=True)
    rank = np.empty(len(first), np.int64)
    rank[np.argsort(first)] = np.arange(len(first))
    return rank[inverse.ravel()].astype(np.int32)


def components_of(a, b, ga, gb):
    parent = list(range(ga + gb))

    def find(v):
        while parent[v] != v:
            parent[v] = parent[parent[v]]
            v = parent[v]
        return v

    for u, v in zip(a, b):
        ru, rv = find(int(u)), find(ga + int(v))
        if ru != rv:
            parent[ru] = rv
    return len({find(v) for v in range(ga + gb)})


def absorbed(fes):
    """G0, plus for each later fixed effect its levels minus the most components it forms
    with an earlier one; a negative total is reported as 0."""
    groups = [int(c.max()) + 1 if len(c) else 1 for c in fes]
    dof = groups[0]
    for j in range(1, len(fes)):
        m = max(components_of(fes[i], fes[j], groups[i], groups[j]) for i in range(j))
        dof += groups[j] - m
    return max(dof, 0)


def nested(fe, cl):
    """Every level of the fixed effect (0..max) has rows, all in one cluster."""
    for g in range(int(fe.max(initial=-1)) + 1):
        values = cl[fe == g]
        if len(values) == 0 or (values != values[0]).any():
            return False
    return True


def intersection(columns):
    m = len(columns[0])
    if m == 0:
        return np.zeros(0, np.int64), 0
    keys = np.column_stack([c[:m] for c in columns])
    _, inverse = np.unique(keys, axis=0, return_inverse=True)
    inverse = inverse.ravel()
    return inverse, int(inverse.max()) + 1
