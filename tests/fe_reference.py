"""Bit-exact restatement of fixed-effect demeaning.

`reference_demean` restates the demeaning algorithm in NumPy with the same
order of additions as the engine (np.add.at and np.cumsum add in index
order), so results can be compared to the bit. The least-squares answer on
dummy variables is `fe_oracles.residual_on_dummies`.
"""

import numpy as np


def ordered_sum(v):
    return float(np.cumsum(v)[-1]) if v.size else 0.0


def group_sums(col, codes, g, pool_size):
    n = col.size
    if pool_size is None or not (n >= 200_000 and g >= 32):
        s = np.zeros(g)
        np.add.at(s, codes[:n], col)
        return s
    chunk = -(-n // pool_size)
    s = np.zeros(g)
    for t in range(pool_size):
        lo, hi = t * chunk, min(n, (t + 1) * chunk)
        part = np.zeros(g)
        if lo < hi:
            np.add.at(part, codes[lo:hi], col[lo:hi])
        s += part
    return s


def project(col, codes, counts, pool_size):
    with np.errstate(invalid="ignore", divide="ignore"):  # empty groups: unused NaN
        means = group_sums(col, codes, counts.size, pool_size) / counts
    return col - means[codes[: col.size]]


def sweep(cols, codes_list, counts_list, pool_size):
    q = len(codes_list)
    order = list(range(q)) + list(range(q - 2, -1, -1))
    out = cols.copy()
    for f in order:
        for j in range(out.shape[0]):
            out[j] = project(out[j], codes_list[f], counts_list[f], pool_size)
    return out


def reference_demean(x, codes_list, groups, tol, max_iter, pool_size=None):
    """The conjugate-gradient iteration, step by step, on columns stacked
    column-major; for one fixed effect the sequential projection."""
    counts = [np.bincount(c, minlength=g).astype(float) for c, g in zip(codes_list, groups)]
    if len(codes_list) == 1:
        return np.column_stack([project(x[:, j].copy(), codes_list[0], counts[0], None)
                                for j in range(x.shape[1])]).reshape(x.shape)
    xs = x.T.copy()  # row j holds column j: ravel() is the stacked vector
    w = sweep(xs, codes_list, counts, pool_size)
    r = w - xs
    p = r.copy()
    rr = ordered_sum((r * r).ravel())
    if max_iter == 0:
        return xs.T
    tol2 = tol * tol
    k = 0
    while True:
        xx = ordered_sum((xs * xs).ravel())
        if tol2 * np.fmax(xx, 1e-16) > rr:
            break
        q = p - sweep(p, codes_list, counts, pool_size)
        pq = ordered_sum((p * q).ravel())
        if abs(pq) < 1e-30:
            break
        alpha = rr / pq
        xs = xs + alpha * p
        r = r - alpha * q
        rr_new = ordered_sum((r * r).ravel())
        if not np.isfinite(rr_new):
            break
        p = p * (rr_new / rr) + r
        rr = rr_new
        k += 1
        if k == max_iter:
            break
    return xs.T


def random_panel(rng, n, levels, k=3):
    codes = [rng.integers(0, g, size=n).astype(np.int32) for g in levels]
    x = rng.normal(size=(n, k))
    for c, g in zip(codes, levels):
        x += rng.normal(size=(g, k))[c]
    return x, codes



LARGE_SCRIPT = """
import sys, numpy as np
from kestrel import _native
sys.path.insert(0, sys.argv[4])
from fe_reference import large_problem
x, codes, groups = large_problem(int(sys.argv[1]), int(sys.argv[2]))
np.save(sys.argv[3], _native.rust_demean(x, codes, groups, 0.0, 2))
"""


def large_problem(n, g0):
    """Two fixed effects (g0 and 20 levels), one column: at n >= 200000 and
    g0 >= 32 the group sums are chunked over the pool."""
    rng = np.random.default_rng(21)
    c0 = rng.integers(0, g0, size=n).astype(np.int32)
    c1 = rng.integers(0, 20, size=n).astype(np.int32)
    x = rng.normal(size=(n, 1)) + rng.normal(size=(g0, 1))[c0]
    return x, [c0, c1], [g0, 20]
