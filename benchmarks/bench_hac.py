"""Newey-West and Driscoll-Kraay meats against statsmodels, measured in the same run.

    python benchmarks/bench_hac.py [--n 1000000] [--k 10] [--periods 1000] [--repeat 5]

Peers: statsmodels.stats.sandwich_covariance.S_hac_simple (Bartlett Newey-West, the
same unnormalised sum) on scores in time order, and S_hac_groupsum (period sums by
bincount, then S_hac_simple) for Driscoll-Kraay. Where the rows are not in time order
the peer pays for a stable argsort and a row gather, as kestrel does internally.
Times are the best of --repeat runs; the ratio is peer time / kestrel time (> 1 means
kestrel is faster). statsmodels may use every core through BLAS; kestrel uses one.
"""
import argparse
import time

import numpy as np
from statsmodels.stats import sandwich_covariance as sandwich

from kestrel import _native


def best_of(repeat, fn):
    best, out = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - start)
    return best, out


def report(name, repeat, ours, peer):
    t_ours, m_ours = best_of(repeat, ours)
    t_peer, m_peer = best_of(repeat, peer)
    scale = np.abs(m_peer).max()
    err = np.abs(m_ours - m_peer).max() / scale
    print(f"{name:<48} kestrel {t_ours * 1e3:9.1f} ms   statsmodels {t_peer * 1e3:9.1f} ms"
          f"   ratio {t_peer / t_ours:6.2f}   max rel diff {err:.1e}")
    assert err < 1e-10, err


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--k", type=int, default=10)
    ap.add_argument("--periods", type=int, default=1000)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    n, k, r = args.n, args.k, args.repeat

    rng = np.random.default_rng(0)
    score = rng.normal(size=(n, k))
    lags = max(1, int(np.floor(4 * (n / 100.0) ** (2.0 / 9.0))))
    print(f"n = {n}, k = {k}, automatic bandwidth {lags}")

    t = np.arange(n, dtype=np.float64)
    report("HAC, rows in time order", r,
           lambda: _native.rust_hac_meat(score, t, -1),
           lambda: sandwich.S_hac_simple(score))

    shuffled = rng.permutation(t)
    report("HAC, rows in random time order", r,
           lambda: _native.rust_hac_meat(score, shuffled, -1),
           lambda: sandwich.S_hac_simple(score[np.argsort(shuffled, kind="stable")]))

    fortran = np.asfortranarray(score)
    report("HAC, rows in time order, Fortran-ordered score", r,
           lambda: _native.rust_hac_meat(fortran, t, -1),
           lambda: sandwich.S_hac_simple(fortran))

    T = args.periods
    dk_lags = max(1, int(np.floor(4 * (T / 100.0) ** (2.0 / 9.0))))
    print(f"Driscoll-Kraay: {T} periods, automatic bandwidth {dk_lags}")
    period = np.repeat(np.arange(T), -(-n // T))[:n]
    period_f = period.astype(np.float64)
    report("DK, rows sorted by period", r,
           lambda: _native.rust_dk_meat(score, period_f, -1),
           lambda: sandwich.S_hac_groupsum(score, period))

    # Rows of all periods interleaved at random; the first T rows meet the periods
    # in ascending order, so both number them alike.
    mixed = np.concatenate([np.arange(T), rng.integers(0, T, size=n - T)])
    mixed_f = mixed.astype(np.float64)
    report("DK, rows interleaved across periods", r,
           lambda: _native.rust_dk_meat(score, mixed_f, -1),
           lambda: sandwich.S_hac_groupsum(score, mixed))

if __name__ == "__main__":
    main()
