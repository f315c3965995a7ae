"""Score cross-product of the cluster meat against NumPy's S.T @ S.

rust_clustered_meat is called with one row per group (codes 0..G-1), so its score
matrix is S = x * e and the call is one pass forming the group scores followed by
S'S. NumPy is timed on the product alone (S.T @ S, S given) and on the same work
(forming x * e, then the product). NumPy's BLAS runs on every core it is allowed,
and, where threadpoolctl is installed, also on one thread, since the engine's
product runs on the calling thread alone; that round is also timed in process CPU
time, which a busy shared machine disturbs far less than wall time. Results are
checked to agree before any time is reported. Ratios are our time over NumPy's
(below 1 = faster). Calls of the contenders are interleaved.

    python benchmarks/bench_gemm.py [--groups 1000000] [--k 5 20 100] [--repeat 5]
"""
import argparse
import time

import numpy as np

from kestrel import _native


def best_times(fns, repeat, clock=time.perf_counter):
    """Best time of each function, the calls interleaved so that a change of
    load on a shared machine hits every contender alike."""
    for fn in fns:
        fn()  # warm-up: page faults, lazy initialisation
    best = [float("inf")] * len(fns)
    for _ in range(repeat):
        for j, fn in enumerate(fns):
            t = clock()
            fn()
            best[j] = min(best[j], clock() - t)
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
    print(f"G = {args.groups}, best of {args.repeat}; times in seconds, ratio = kestrel / numpy")
    print(f"{'k':>4} {'round':<16} {'kestrel':>9} {'S.T@S':>9} {'ratio':>6} "
          f"{'x*e,S.T@S':>10} {'ratio':>6}")

    rng = np.random.default_rng(0)
    G = args.groups
    codes = np.arange(G, dtype=np.int32)
    for k in args.k:
        x = rng.standard_normal((G, k))
        e = rng.standard_normal(G)
        S = x * e[:, None]
        ours = _native.rust_clustered_meat(x, e, codes, G)
        ref = S.T @ S
        np.testing.assert_allclose(ours, ref, rtol=1e-10, atol=1e-9 * np.abs(ref).max())

        def kestrel_meat():
            return _native.rust_clustered_meat(x, e, codes, G)

        def numpy_product():
            return S.T @ S

        def numpy_scores_and_product():
            s = x * e[:, None]
            return s.T @ s

        fns = [kestrel_meat, numpy_product, numpy_scores_and_product]
        rounds = [("wall, all threads", best_times(fns, args.repeat))]
        if limits is not None:
            with limits(limits=1, user_api="blas"):
                rounds.append(("wall, 1 thread", best_times(fns, args.repeat)))
                rounds.append(("cpu, 1 thread",
                               best_times(fns, args.repeat, clock=time.process_time)))
        for name, (t_ours, t_prod, t_all) in rounds:
            print(f"{k:>4} {name:<16} {t_ours:>9.4f} {t_prod:>9.4f} {t_ours / t_prod:>6.2f} "
                  f"{t_all:>10.4f} {t_ours / t_all:>6.2f}", flush=True)
        del x, S


if __name__ == "__main__":
    main()
