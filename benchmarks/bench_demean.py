"""Demeaning a simulated panel: kestrel's rust_demean beside pyhdfe and pyfixest.

The panel has n rows, a fixed effect with n/10 levels, one with 1000 levels and
optionally a third with 50 levels (codes drawn at random), and five columns,
each the sum of random effects of every fixed effect plus noise. Each library
runs in its own subprocess on the same data (same seed), so that its peak
memory can be read on its own; the parent prints times, the time per
conjugate-gradient iteration and the iteration count of kestrel, peak memory,
the ratios of the peers' times to kestrel's, and the largest absolute
difference between each peer's demeaned values and kestrel's.

    python benchmarks/bench_demean.py                 # n = 10^6 and 10^7, 2 and 3 FE
    python benchmarks/bench_demean.py --n 1000000 --fe 2

The pool size follows RAYON_NUM_THREADS like kestrel's (pyfixest's core reads
the same variable); the script prints what was used.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

TOL = 1e-8
MAX_ITER = 10_000
N_COLS = 5


def make_panel(n: int, n_fe: int, seed: int = 12345):
    rng = np.random.default_rng(seed)
    levels = [max(n // 10, 1), 1000, 50][:n_fe]
    codes = [rng.integers(0, g, size=n).astype(np.int32) for g in levels]
    x = np.empty((n, N_COLS))
    for j in range(N_COLS):
        col = rng.normal(size=n)
        for c, g in zip(codes, levels):
            col += rng.normal(size=g)[c]
        x[:, j] = col
    return x, codes, levels


def peak_rss_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def run_kestrel(x, codes, levels, out):
    from kestrel import _native

    g = [int(v) for v in levels]
    t0 = time.perf_counter()
    res = _native.rust_demean(x, codes, g, TOL, MAX_ITER)
    total = time.perf_counter() - t0
    info = {"seconds": total}
    # Time per iteration from runs capped at 1 and 1 + m iterations; the
    # iteration count is the smallest cap whose result equals the free run's.
    m = 4
    t0 = time.perf_counter()
    one = _native.rust_demean(x, codes, g, TOL, 1)
    t1 = time.perf_counter()
    _native.rust_demean(x, codes, g, TOL, 1 + m)
    t2 = time.perf_counter()
    per_iter = ((t2 - t1) - (t1 - t0)) / m
    info["per_iteration"] = per_iter
    info["setup"] = (t1 - t0) - per_iter
    del one
    if len(codes) > 1:
        est = max(1, round((total - info["setup"]) / per_iter))
        lo, hi = max(1, est - 3), est + 3
        exact = None
        for cap in range(lo, hi + 1):
            if np.array_equal(_native.rust_demean(x, codes, g, TOL, cap), res):
                exact = cap
                break
        info["iterations"] = exact if exact is not None else f"~{est}"
    else:
        info["iterations"] = 1
    np.save(out, res)
    return info


def run_pyfixest(x, codes, levels, out):
    from pyfixest.core.demean import demean

    flist = np.column_stack(codes).astype(np.uint64)
    w = np.ones(x.shape[0])
    t0 = time.perf_counter()
    res, converged = demean(x, flist, w, TOL, MAX_ITER)
    info = {"seconds": time.perf_counter() - t0, "converged": bool(converged)}
    np.save(out, res)
    return info


def run_pyhdfe(x, codes, levels, out):
    import pyhdfe

    ids = np.column_stack(codes)
    t0 = time.perf_counter()
    algo = pyhdfe.create(ids, drop_singletons=False, compute_degrees=False,
                         options={"tol": TOL, "iteration_limit": MAX_ITER})
    t1 = time.perf_counter()
    res = algo.residualize(x)
    t2 = time.perf_counter()
    info = {"seconds": t2 - t0, "create": t1 - t0, "algorithm": type(algo).__name__}
    np.save(out, res)
    return info


RUNNERS = {"kestrel": run_kestrel, "pyfixest": run_pyfixest, "pyhdfe": run_pyhdfe}


def worker(name: str, n: int, n_fe: int, out: str) -> None:
    x, codes, levels = make_panel(n, n_fe)
    base = peak_rss_mb()
    info = RUNNERS[name](x, codes, levels, out)
    info["peak_mb_over_data"] = peak_rss_mb() - base
    print(json.dumps(info))


def run_case(n: int, n_fe: int, libs: list[str], tmp: str) -> None:
    results = {}
    for name in libs:
        out = os.path.join(tmp, f"{name}.npy")
        proc = subprocess.run(
            [sys.executable, __file__, "--worker", name, "--n", str(n), "--fe", str(n_fe),
             "--out", out],
            capture_output=True, text=True)
        if proc.returncode != 0:
            print(f"  {name}: failed\n{proc.stderr[-2000:]}")
            continue
        results[name] = json.loads(proc.stdout.strip().splitlines()[-1])
        results[name]["out"] = out

    print(f"\nn = {n:,}, {n_fe} fixed effects, {N_COLS} columns, tol {TOL:g}")
    if "kestrel" not in results:
        return
    k = results["kestrel"]
    ref = np.load(k["out"])
    print(f"  kestrel : {k['seconds']:8.2f} s   {k['per_iteration'] * 1e3:8.1f} ms/iteration"
          f"   {k['iterations']} iterations   setup {k['setup'] * 1e3:.0f} ms"
          f"   peak +{k['peak_mb_over_data']:.0f} MB")
    for name in libs:
        if name == "kestrel" or name not in results:
            continue
        r = results[name]
        other = np.load(r["out"])
        diff = float(np.max(np.abs(other - ref))) if other.size else 0.0
        extra = ", ".join(f"{key} {val}" for key, val in r.items()
                          if key in ("converged", "algorithm"))
        print(f"  {name:8s}: {r['seconds']:8.2f} s   ratio {r['seconds'] / k['seconds']:6.2f}x"
              f"   peak +{r['peak_mb_over_data']:.0f} MB   max |diff| {diff:.2e}   ({extra})")
    for r in results.values():
        os.remove(r["out"])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, action="append")
    ap.add_argument("--fe", type=int, action="append", choices=[2, 3])
    ap.add_argument("--libs", default="kestrel,pyfixest,pyhdfe")
    ap.add_argument("--worker")
    ap.add_argument("--out")
    args = ap.parse_args()
    if args.worker:
        worker(args.worker, args.n[0], args.fe[0], args.out)
        return
    print(f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '(unset)')}, "
          f"{os.cpu_count()} logical processors")
    with tempfile.TemporaryDirectory() as tmp:
        for n in args.n or [1_000_000, 10_000_000]:
            for n_fe in args.fe or [2, 3]:
                run_case(n, n_fe, args.libs.split(","), tmp)


if __name__ == "__main__":
    main()
