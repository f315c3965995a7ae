"""Plain NumPy statements of the fixed-effect machinery, for the property-based tests."""
import numpy as np


def dummies(codes, n_groups):
    d = np.zeros((len(codes), n_groups))
    d[np.arange(len(codes)), codes] = 1.0
    return d


def residual_on_dummies(x, fes):
    """x minus its least-squares fit on the dummy columns of every fixed effect."""
    if not fes or len(x) == 0:
        return x.copy()
    D = np.hstack([dummies(c, int(c.max()) + 1) for c in fes])
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
