"""The oracles every engine test shares, in two kinds.

Independent answers: least squares on explicit dummy columns (Frisch-Waugh-Lovell), so no
code path is shared with demeaning; singleton removal, absorbed degrees of freedom and
cluster sums stated with NumPy. Only for small n.

Bit-exact restatements, where only they pin the documented order of the sums: demeaning
(np.add.at and np.cumsum add in index order, like the engine), the blocked score product of
the cluster meat, and the Newey-West sums accumulated one row at a time.
"""
import itertools
import os
import subprocess
import sys

import numpy as np

# ---- independent oracles -------------------------------------------------------------


def dummies(codes, n_groups):
    d = np.zeros((len(codes), n_groups))
    d[np.arange(len(codes)), codes] = 1.0
    return d


def residual_on_dummies(x, fes):
    """x minus its least-squares fit on the dummy columns of every fixed effect (one column
    per level that occurs: codes near the int32 limit cost no memory)."""
    if not fes or len(x) == 0:
        return x.copy()
    D = np.hstack([dummies(inverse.ravel(), len(levels))
                   for levels, inverse in (np.unique(c, return_inverse=True) for c in fes)])
    coef, *_ = np.linalg.lstsq(D, x, rcond=None)
    return x - D @ coef


def keep_mask(fes):
    """Rows left after singletons are removed, fixed effect by fixed effect, until none."""
    keep = np.ones(len(fes[0]), dtype=bool)
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


def within_fit(y, x, fes):
    """(beta, resid, demeaned x, bread) of OLS after absorbing the fixed effects."""
    yd, xd = residual_on_dummies(y, fes), residual_on_dummies(x, fes)
    bread = np.linalg.inv(xd.T @ xd)
    beta = bread @ (xd.T @ yd)
    return beta, yd - xd @ beta, xd, bread


def first_appearance(codes):
    _, first, inverse = np.unique(codes, return_index=True, return_inverse=True)
    rank = np.empty(len(first), np.int64)
    rank[np.argsort(first)] = np.arange(len(first))
    return rank[inverse.ravel()].astype(np.int32)


def components(a, b, ga, gb):
    """Connected components of the bipartite graph of levels joined by rows."""
    parent = list(range(ga + gb))

    def find(v):
        while parent[v] != v:
            v = parent[v]
        return v

    for u, v in zip(a, b):
        parent[find(int(u))] = find(ga + int(v))
    return len({find(v) for v in range(ga + gb)})


def absorbed(fes):
    """G0, plus for each later fixed effect its levels (0..max) minus the most components it
    forms with an earlier one; a negative total is reported as 0."""
    groups = [int(c.max()) + 1 if len(c) else 1 for c in fes]
    dof = groups[0]
    for j in range(1, len(fes)):
        n = len(fes[0])
        dof += groups[j] - max(components(fes[i][:n], fes[j][:n], groups[i], groups[j])
                               for i in range(j))
    return max(dof, 0)


def nested(fe, cl):
    """Every level of the fixed effect (0..max) has rows, all in one cluster."""
    for g in range(int(fe.max(initial=-1)) + 1):
        values = cl[fe == g]
        if len(values) == 0 or (values != values[0]).any():
            return False
    return True


def intersection(columns):
    """Dense codes of the rows' combinations of the columns, and their number. The rows are
    those of the first column (the count takes all of them, even past the data's rows)."""
    m = len(columns[0])
    if m == 0:
        return np.zeros(0, np.int64), 0
    keys = np.column_stack([c[:m] for c in columns])
    inverse = np.unique(keys, axis=0, return_inverse=True)[1].ravel()
    return inverse, int(inverse.max()) + 1


def score_sums(scores, codes):
    """s_g, the sum of the score rows of group g, for the groups that occur in ascending code
    order, each summed in row order (as the engine does: bit for bit)."""
    levels, g = np.unique(codes[: len(scores)], return_inverse=True)
    S = np.zeros((len(levels), scores.shape[1]))
    np.add.at(S, g.ravel(), scores)
    return S


def cluster_meat(scores, codes):
    """Σ_g s_g s_g'."""
    S = score_sums(scores, codes)
    return S.T @ S


def multiway_vcov(X, e, B, columns, scale):
    """Inclusion-exclusion over the non-empty subsets of the cluster columns: sign
    (-1)^(r+1) times scale(G) B M B, M the meat on the subset's intersection (G groups)."""
    k = X.shape[1]
    V = np.zeros((k, k))
    for r in range(1, len(columns) + 1):
        for combo in itertools.combinations(columns, r):
            codes, G = intersection(list(combo))
            V += (-1) ** (r + 1) * scale(np.float64(G)) * (
                B @ cluster_meat(X * e[:, None], codes) @ B)
    return V


def hc_vcov(X, e, B, kind):
    """HC0, HC2 or HC3 sandwich (HC1 is HC0 times the caller's own factor)."""
    h = np.einsum("ia,ab,ib->i", X, B, X)
    w = {"HC0": e**2, "HC1": e**2, "HC2": e**2 / (1 - h), "HC3": e**2 / (1 - h) ** 2}[kind]
    return B @ ((X * w[:, None]).T @ X) @ B


def panel(n, levels, k, seed):
    """(y, x, codes) of a panel with a fixed effect of each number of levels (workers, firms,
    years...) and regressors correlated with the effects."""
    rng = np.random.default_rng(seed)
    fes = [rng.integers(0, g, n).astype(np.int32) for g in levels]
    effect = sum(rng.normal(size=g)[c] for c, g in zip(fes, levels))
    x = rng.normal(size=(n, k)) + 0.5 * effect[:, None]
    return x @ (np.arange(1, k + 1) / 2) + effect + rng.normal(size=n), x, fes


# ---- bit-exact restatements ----------------------------------------------------------

def ordered_sum(v):
    return float(np.cumsum(v)[-1]) if v.size else 0.0


def group_sums(col, codes, g, pool_size):
    """Sums in row order; at >= 200000 rows and >= 32 groups, in pool_size row chunks whose
    partial sums are added in chunk order."""
    n = col.size
    if pool_size is None or not (n >= 200_000 and g >= 32):
        pool_size = 1
    chunk = max(1, -(-n // pool_size))
    s = np.zeros(g)
    for lo in range(0, n, chunk):
        part = np.zeros(g)
        np.add.at(part, codes[lo:lo + chunk], col[lo:lo + chunk])
        s += part
    return s


def project(col, codes, counts, pool_size):
    with np.errstate(invalid="ignore", divide="ignore"):  # empty groups: unused NaN
        means = group_sums(col, codes, counts.size, pool_size) / counts
    return col - means[codes[: col.size]]


def sweep(cols, codes_list, counts_list, pool_size):
    q = len(codes_list)
    out = cols.copy()
    for f in list(range(q)) + list(range(q - 2, -1, -1)):
        for j in range(out.shape[0]):
            out[j] = project(out[j], codes_list[f], counts_list[f], pool_size)
    return out


def reference_demean(x, codes_list, groups, tol, max_iter, pool_size=None):
    """The conjugate-gradient iteration step by step on the columns stacked column-major;
    for one fixed effect the plain projection."""
    counts = [np.bincount(c, minlength=g).astype(float) for c, g in zip(codes_list, groups)]
    if len(codes_list) == 1:
        return np.column_stack([project(x[:, j].copy(), codes_list[0], counts[0], pool_size)
                                for j in range(x.shape[1])]).reshape(x.shape)
    xs = x.T.copy()  # row j holds column j: ravel() is the stacked vector
    if max_iter == 0:
        return xs.T
    r = sweep(xs, codes_list, counts, pool_size) - xs
    p = r.copy()
    rr = ordered_sum((r * r).ravel())
    xx = ordered_sum((xs * xs).ravel())
    rounding = (10 * np.finfo(float).eps) ** 2 * xx  # the data's own rounding level
    k = 0
    while not (tol * tol * xx > rr or rr < rounding or (rr == 0 and tol > 0)):
        q = p - sweep(p, codes_list, counts, pool_size)
        pq = ordered_sum((p * q).ravel())
        if not pq > 0:
            break
        alpha = rr / pq
        xs = xs + alpha * p
        r = r - alpha * q
        rr_new = ordered_sum((r * r).ravel())
        if not np.isfinite(rr_new):
            break
        xx_before, xx = xx, ordered_sum((xs * xs).ravel())
        if xx > xx_before * (1 + 1e-6):  # the iterate's norm never grows but by rounding
            break
        p = p * (rr_new / rr) + r
        rr = rr_new
        k += 1
        if k == max_iter:
            break
    return xs.T


LARGE_SCRIPT = """
import sys, numpy as np
from kestrel import _native
sys.path.insert(0, sys.argv[4])
from oracles import large_problem
x, codes, groups = large_problem(int(sys.argv[1]), int(sys.argv[2]))
np.save(sys.argv[3], _native.rust_demean(x, codes, groups, 0.0, 2))
"""


def run_large(tmp_path, env, n=200_000, g0=50):
    """rust_demean(large_problem(n, g0), tol 0, 2 iterations) in a child process whose
    RAYON_* variables are those of `env`."""
    out = tmp_path / f"large-{n}-{g0}.npy"
    clean = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    subprocess.run([sys.executable, "-c", LARGE_SCRIPT, str(n), str(g0), str(out),
                    os.path.dirname(__file__)], env=dict(clean, **env), check=True, timeout=120)
    return np.load(out)


def large_problem(n, g0):
    """Two fixed effects (g0 and 20 levels), one column: at n >= 200000 and g0 >= 32 the
    group sums are chunked over the pool."""
    rng = np.random.default_rng(21)
    c0 = rng.integers(0, g0, size=n).astype(np.int32)
    c1 = rng.integers(0, 20, size=n).astype(np.int32)
    x = rng.normal(size=(n, 1)) + rng.normal(size=(g0, 1))[c0]
    return x, [c0, c1], [g0, 20]


def blocked_gram(S, block=256):
    """S'S as the cluster meat forms it: the rows (groups) cut into blocks of `block` from
    the first, each block's products summed in row order from zero, the block sums added
    in order to a matrix that starts at zero."""
    M = np.zeros((S.shape[1],) * 2)
    for b0 in range(0, len(S), block):
        P = S[b0:b0 + block]
        M = M + np.cumsum(P[:, :, None] * P[:, None, :], axis=0)[-1]
    return M


def auto_bandwidth(n):
    return max(1, int(np.floor(4.0 * (n / 100.0) ** (2.0 / 9.0))))


def newey_west(S, L, max_lag=None):
    """Γ0 + Σ_{j=1..L} (1 - j/(L+1)) (Γj + Γj') over the rows of S in row order; lags up to
    max_lag (default L) are computed, a lag j >= n pairs no rows."""
    S = np.asarray(S, dtype=np.float64)
    n, k = S.shape
    M = np.zeros((k, k))
    with np.errstate(all="ignore"):
        for t in range(n):
            M += np.outer(S[t], S[t])
        for j in range(1, (L if max_lag is None else max_lag) + 1):
            G = np.zeros((k, k))
            for t in range(j, n):
                G += np.outer(S[t], S[t - j])
            M += (G + G.T) * (1.0 - j / (L + 1.0))
    return M


def period_sums(score, time_ids):
    """Rows summed per period; periods are bit patterns, numbered by first occurrence."""
    score = np.asarray(score, dtype=np.float64)
    keys = np.asarray(time_ids[: len(score)], dtype=np.float64).view(np.int64)
    number = {}
    for key in keys:
        number.setdefault(int(key), len(number))
    P = np.zeros((len(number), score.shape[1]))
    for i, key in enumerate(keys):
        P[number[int(key)]] += score[i]
    return P


def assert_same_bits(actual, expected):
    """Equal bit patterns, except that any NaN matches any NaN."""
    actual, expected = np.asarray(actual), np.asarray(expected)
    assert actual.shape == expected.shape and actual.dtype == expected.dtype == np.float64
    nan = np.isnan(expected)
    np.testing.assert_array_equal(np.isnan(actual), nan)
    np.testing.assert_array_equal(actual[~nan].view(np.int64), expected[~nan].view(np.int64))
