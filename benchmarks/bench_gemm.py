"""Score cross-product of the cluster meat against NumPy's S.T @ S.

rust_clustered_meat is called with one row per group (codes 0..G-1, residuals of
one), so its S equals x and the call is the group-sum pass followed by S'S.
NumPy computes only S.T @ S (its BLAS, on every core it is allowed); where
threadpoolctl is installed the single-threaded BLAS is measured too, since the
engine's product runs on the calling thread alone. Results are checked to agree
before any time is reported. Ratios are our time over NumPy's (below 1 = faster).

    python benchmarks/bench_gemm.py [--groups 1000000] [--k 5 20 100] [--repeat 5]
"""
import argparse
import time

import numpy as np

from kestrel import _native


def best_times(fns, repeat):
    """Best wall time of each function, the calls interleaved so that a change
    of load on a shared machine hits every contender alike."""
    for fn in fns:
        fn()  # warm-up: page faults, lazy initialisation
    best = [float("inf")] * len(fns)
    for _ in range(repeat):
        for j, fn in enumerate(fns):
            t = time.perf_counter()
            fn()
            best[j] = min(best[j], time.perf_counter() - t)
    return best


def blas_limits():
    try:
        from threadpoolctl import threadpool_info, threadpool_limits
    except ImportError:
        return None, "threadpoolctl not installed"
    info = [f"{i['internal_api']} {i.get('version')} {i.get('architecture')} "
            f"threads={i['num_threads']}" for i in threadpool_info() if i["user_api"] == "blas"]
    return threadpool_limits, "; ".join(info)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--groups", type=int, default=10**6)
    ap.add_argument("--k", type=int, nargs="+", default=[5, 20, 100])
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()

    limits, info = blas_limits()
    print(f"NumPy {np.__version__}, BLAS: {info}")
    print(f"G = {args.groups}, best of {args.repeat}")
    header = f"{'k':>5} {'kestrel s':>10} {'numpy s':>10} {'ratio':>7}"
    if limits is not None:
        header += f" {'numpy 1T s':>11} {'ratio 1T':>9}"
    print(header)

    rng = np.random.default_rng(0)
    G = args.groups
    codes = np.arange(G, dtype=np.int32)
    ones = np.ones(G)
    for k in args.k:
        S = rng.standard_normal((G, k))
        ours = _native.rust_clustered_meat(S, ones, codes, G)
        ref = S.T @ S
        np.testing.assert_allclose(ours, ref, rtol=1e-10, atol=1e-9 * np.abs(ref).max())

        def ours_fn():
            return _native.rust_clustered_meat(S, ones, codes, G)

        def numpy_fn():
            return S.T @ S

        t_ours, t_np = best_times([ours_fn, numpy_fn], args.repeat)
        t_np1 = None
        if limits is not None:
            # The engine is unaffected by the BLAS limit: its best time counts in both rounds.
            with limits(limits=1, user_api="blas"):
                t_ours1, t_np1 = best_times([ours_fn, numpy_fn], args.repeat)
            t_ours = min(t_ours, t_ours1)
        line = f"{k:>5} {t_ours:>10.4f} {t_np:>10.4f} {t_ours / t_np:>7.2f}"
        if t_np1 is not None:
            line += f" {t_np1:>11.4f} {t_ours / t_np1:>9.2f}"
        print(line, flush=True)
        del S


if __name__ == "__main__":
    main()
