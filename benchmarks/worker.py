"""One tool on one data set, in a process of its own: ``python -m benchmarks.worker JOB.json``.

A fresh process per (case, tool) keeps the tools from sharing caches, thread pools or heap
and gives each its own resident-memory high-water mark. The worker warms the tool up on a
tiny data set (JIT compilers, thread pools, lazy imports), loads the case's data written by
the parent, builds the tool's input (not timed), runs the tool once (that run's time is
discarded, its memory peak and its results are kept) and then times the repeats.
"""

from __future__ import annotations

import gc
import json
import statistics
import sys
import time
import traceback
import warnings
from pathlib import Path

import numpy as np

from benchmarks import data as datagen
from benchmarks import memory, tools


def _load(path: str) -> dict[str, np.ndarray]:
    with np.load(path) as z:
        return {k: z[k] for k in z.files}


def _blas_info() -> list[dict]:
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return []
    return [{k: d.get(k) for k in ("internal_api", "version", "architecture", "num_threads")}
            for d in threadpool_info()]


def _timed(fn, *args):
    t0 = time.perf_counter()
    out = fn(*args)
    return time.perf_counter() - t0, out


def run_time(job: dict) -> dict:
    tool = tools.get(job["kind"], job["tool"])
    warm = datagen.generate(job["gen"], job["warm_params"])
    tool.run(tool.setup(warm, job["params"]))
    del warm

    data = _load(job["data"])
    state = tool.setup(data, job["params"])
    del data
    gc.collect()
    base = memory.rss_bytes()
    exact = memory.reset_peak()
    first, out = _timed(tool.run, state)
    peak = memory.peak_bytes() - (base if exact else 0)

    result: dict = {"ok": True, "first": first, "peak_bytes": peak, "base_rss": base,
                    "peak_exact": exact, "info": out.info}
    if out.coef is not None:
        result["coef"] = np.asarray(out.coef, dtype=float).tolist()
    if out.se is not None:
        result["se"] = np.asarray(out.se, dtype=float).tolist()
    result["arrays"] = {}
    for name, arr in out.arrays.items():
        p = Path(job["out"]).with_suffix(f".{name}.npy")
        np.save(p, np.asarray(arr))
        result["arrays"][name] = str(p)
    del out
    gc.collect()

    repeats = job["repeats"]
    if first > job["budget"]:
        # One run already took longer than all repeats may: its time is reported (flagged),
        # since a one-off start-up cost is small against it.
        result.update(times=[], median=first, single_run=True)
        return result
    if first * repeats > job["budget"]:
        repeats = max(1, int(job["budget"] // max(first, 1e-9)))
    times = []
    for _ in range(repeats):
        t, out = _timed(tool.run, state)
        times.append(t)
        del out
    result["times"] = times
    result["median"] = statistics.median(times)
    return result


# ---------------------------------------------------------------- conjugate-gradient profile

def bytes_per_iteration(n: int, ncols: int, n_fe: int) -> int:
    """Memory traffic that one conjugate-gradient iteration must cause, in bytes.

    Per column of n rows: each of the 2Q-1 projections of the sweep reads the column and its
    int32 codes to form the group sums, then reads both again and writes the column (32 bytes
    a row); the vector updates read p and w for p'q, read x, p, w, r and write x, r for the
    step, read p, r and write p for the new direction (88 bytes an entry). Group-sized
    arrays are left out (they are small next to the columns, or cache-resident).
    """
    return n * ncols * (32 * (2 * n_fe - 1) + 88)


def triad_bandwidth(n_doubles: int, threads: int = 1, repeats: int = 7) -> float:
    """Streaming bandwidth in bytes/s from a NumPy triad a = b + s*c on arrays of n_doubles,
    done as two passes (a = s*c, then a += b: 40 bytes an element). With threads > 1 the
    arrays are split into contiguous slices worked on concurrently (NumPy releases the GIL)."""
    import threading
    rng = np.random.default_rng(1)
    b = rng.standard_normal(n_doubles)
    c = rng.standard_normal(n_doubles)
    a = np.empty(n_doubles)
    bounds = np.linspace(0, n_doubles, threads + 1).astype(int)

    def part(lo, hi):
        np.multiply(c[lo:hi], 3.0, out=a[lo:hi])
        np.add(a[lo:hi], b[lo:hi], out=a[lo:hi])

    def once():
        if threads == 1:
            part(0, n_doubles)
            return
        ts = [threading.Thread(target=part, args=(bounds[i], bounds[i + 1])) for i in range(threads)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()

    once()
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        once()
        times.append(time.perf_counter() - t0)
    return 40.0 * n_doubles / statistics.median(times)


def run_cgprofile(job: dict) -> dict:
    """Time per conjugate-gradient iteration of rust_demean, its iteration count at the suite's
    tolerance, and the memory-pass bound, all on the case's data and in this process."""
    from kestrel import _native
    data = _load(job["data"])
    s = tools._demean_setup(data, job["params"])
    del data
    m, fe, g = s["m"], s["fe"], s["g"]
    n, ncols = m.shape
    reps = job["repeats"]

    def demean(tol, max_iter):
        return _native.rust_demean(m, fe, g, tol, max_iter)

    def med(tol, max_iter, k=reps):
        demean(tol, max_iter)
        ts = []
        for _ in range(k):
            t, _out = _timed(demean, tol, max_iter)
            ts.append(t)
        return statistics.median(ts)

    bw1 = triad_bandwidth(m.size, 1)
    bw2 = triad_bandwidth(m.size, 2)

    t_conv = med(tools.KESTREL_TOL, tools.KESTREL_MAX_ITER)
    full = demean(tools.KESTREL_TOL, tools.KESTREL_MAX_ITER)
    t_one = med(tools.KESTREL_TOL, 1)
    # A first estimate of the time per iteration: with tol = 0 the test never stops the
    # iteration early, so two fixed counts differ by pure iterations (unless the residual
    # vanishes first, as in a balanced design; the search below does not rely on it).
    step = job["params"].get("profile_step", 20)
    t_iter0 = (med(0.0, 1 + step) - med(0.0, 1)) / step

    # The converged run's iteration count: the smallest max_iter whose result is bit-identical
    # to the unlimited run's (a run capped at k <= K iterations does exactly k of them).
    def same(k):
        return np.array_equal(demean(tools.KESTREL_TOL, k), full)

    k = (t_conv - t_one) / t_iter0 + 1 if t_iter0 > 0 else 1
    k = min(max(1, int(round(k))), tools.KESTREL_MAX_ITER)
    # Bracket (same(hi) holds, same(lo) does not, lo = 0 standing for "not same") by steps
    # that double away from the estimate, then bisect.
    d = 1
    if same(k):
        hi, lo = k, k - 1
        while lo >= 1 and same(lo):
            hi, d = lo, 2 * d
            lo = hi - d
        lo = max(lo, 0)
    else:
        lo, hi = k, k + 1
        while hi < tools.KESTREL_MAX_ITER and not same(hi):
            lo, d = hi, 2 * d
            hi = lo + d
        hi = min(hi, tools.KESTREL_MAX_ITER)
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if same(mid):
            hi = mid
        else:
            lo = mid
    k = hi
    # Time per iteration from the converged run against the run capped at one iteration:
    # the same set-up, first sweep and conversions, and k - 1 iterations apart.
    t_iter = (t_conv - t_one) / (k - 1) if k >= 3 else None
    n_fe = len(fe)
    nbytes = bytes_per_iteration(n, ncols, n_fe)
    return {
        "ok": True, "iterations": k, "t_converged": t_conv, "t_one_iteration": t_one,
        "t_iter": t_iter, "t_iter_tol0": t_iter0, "bytes_per_iter": nbytes,
        "triad_bw_1thread": bw1, "triad_bw_2threads": bw2,
        "bound": nbytes / max(bw1, bw2),
        "ratio_to_bound": t_iter / (nbytes / max(bw1, bw2)) if t_iter else None,
    }


def main(argv: list[str]) -> int:
    job = json.loads(Path(argv[0]).read_text())
    warnings.simplefilter("ignore")
    try:
        result = run_cgprofile(job) if job.get("mode") == "cgprofile" else run_time(job)
    except Exception as exc:  # reported as the tool's row; the suite goes on
        result = {"ok": False, "error": f"{type(exc).__name__}: {exc}",
                  "traceback": traceback.format_exc(limit=6)}
    result["blas"] = _blas_info()
    Path(job["out"]).write_text(json.dumps(result))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
