"""kestrel.feols on a Dask DataFrame against the in-memory fit of the same Parquet files.

    python -m benchmarks.dask_bench [--rows 1000000] [--files 8] [--workers 2]
                                    [--design worker-firm|simple|difficult]
                                    [--pyfixest] [--memory] [--memory-limit 1GB]
                                    [--dask-only]

Simulates the worker–firm panel of ``kestrel.simulate`` (three fixed effects), or the
public benchmark panel of ``benchmarks.data`` ("simple": firms at random, "difficult":
firms in turn, individual + firm + year), writes it as Parquet files, starts a local
cluster of worker processes (one thread each), and times both fits including the read:
``pandas.read_parquet`` + ``kestrel.feols``, and ``dask.dataframe.read_parquet`` +
``kestrel.feols`` on the cluster (after one untimed fit, so that the workers have imported
kestrel). Prints the times, their ratio and the largest relative difference of the
coefficients; the Dask fit's reads of the files and passes over the rows the workers keep;
the bytes the workers sent per fit, to each other (the shuffle) and to the client (the
partitions' results).

``--pyfixest`` times ``pandas.read_parquet`` + ``pyfixest.feols`` on the same files too.
``--memory`` samples the resident size of each worker process and of this one (the
client's side) every 20 ms during the timed Dask fits and prints its peak and its size
before them, next to the largest partition's size once read and the fixed effects' level
vectors (8 bytes a level). ``--memory-limit`` is each worker's (dask's default: the
machine's memory shared); under a limit the workers neither pause nor restart, they spill
to disk, and the bytes each wrote and read back are printed. ``--dask-only`` runs the Dask
fit alone (for data larger than the in-memory fit can take).
"""

from __future__ import annotations

import argparse
import os
import tempfile
import threading
import time

import numpy as np
import pandas as pd

FORMULAS = {"worker-firm": "log_wage ~ experience + training + hours | worker + firm + year",
            "simple": "y ~ x1 + x2 | indiv + firm + year",
            "difficult": "y ~ x1 + x2 | indiv + firm + year"}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--files", type=int, default=8)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--design", choices=sorted(FORMULAS), default="worker-firm")
    parser.add_argument("--pyfixest", action="store_true")
    parser.add_argument("--memory", action="store_true")
    parser.add_argument("--memory-limit", default="auto")
    parser.add_argument("--dask-only", action="store_true")
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory(prefix="kestrel-dask-bench-") as folder:
        return _run(args, folder)


def _run(args: argparse.Namespace, folder: str) -> int:
    import dask.dataframe as dd
    from distributed import Client, LocalCluster

    import kestrel
    from kestrel.simulate import simulate

    from . import data

    if args.design == "worker-firm":
        panel = simulate(args.rows)
    else:
        panel = pd.DataFrame(data.panel(args.rows, args.design))
    fml = FORMULAS[args.design]
    for i in range(args.files):
        panel.iloc[i::args.files].to_parquet(f"{folder}/part-{i:03d}.parquet")
    del panel

    def in_memory():
        return kestrel.feols(fml, pd.read_parquet(folder))

    def on_dask():
        return kestrel.feols(fml, dd.read_parquet(folder))

    def with_pyfixest():
        import pyfixest

        return pyfixest.feols(fml, pd.read_parquet(folder))  # its default covariance, as ours

    runs = [("dask", on_dask)] if args.dask_only else [("in memory", in_memory),
                                                       ("dask", on_dask)]
    if args.pyfixest and not args.dask_only:
        runs.append(("pyfixest", with_pyfixest))
    if args.memory_limit != "auto":
        # A worker past 80% of a tight limit would pause for good, and one past 95% be
        # restarted (its own footprint and a running task's arrays do not spill): the limit
        # only decides what the workers spill to disk; --memory prints their real peaks.
        import dask

        dask.config.set({"distributed.worker.memory.pause": False,
                         "distributed.worker.memory.terminate": False})
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, dashboard_address=None,
                      memory_limit=args.memory_limit) as cluster, Client(cluster) as client:
        # untimed: the workers import kestrel
        try:
            kestrel.feols(fml, dd.read_parquet(f"{folder}/part-000.parquet"))
        except ValueError:  # one file of many may hold singletons only; kestrel is imported
            pass
        if args.pyfixest and not args.dask_only:  # untimed: pyfixest compiles its loops
            import pyfixest

            try:  # (on one file, with a small limit: only its compilation counts here)
                pyfixest.feols(fml, pd.read_parquet(f"{folder}/part-000.parquet"),
                               fixef_maxiter=100)
            except Exception:
                pass
        sampler = _Peaks(client) if args.memory else None
        sent_before = sum(client.run(_sent).values())
        times = {name: [] for name, _ in runs}
        failed: dict[str, str] = {}
        fits = {}
        for _ in range(args.repeats):
            for name, run in runs:
                if sampler is not None and name == "dask":
                    sampler.start()
                start = time.perf_counter()
                try:
                    fits[name] = run()
                except Exception as exc:  # a peer that fails is reported, not fatal
                    if name != "pyfixest":
                        raise
                    failed[name] = f"{type(exc).__name__}: {exc}"
                    continue
                times[name].append(time.perf_counter() - start)
                if sampler is not None and name == "dask":
                    sampler.stop()
        sent = sum(client.run(_sent).values()) - sent_before
        spilled = client.run(lambda dask_worker: (
            dask_worker.data.cumulative_metrics[("disk-write", "bytes")],
            dask_worker.data.cumulative_metrics[("disk-read", "bytes")]))
    best = {name: min(t) for name, t in times.items() if t}
    dask_fit = fits["dask"]
    moved = (f"the Dask fit read the files {dask_fit.reads} times, passed {dask_fit.passes} times "
             f"over the rows the workers kept; the workers sent "
             f"{sent / 1e6 / args.repeats:.0f} MB per fit (to each other and the client)")
    if args.dask_only:
        print(f"{args.design}: {args.rows:,} rows, {args.files} Parquet files, {args.workers} "
              f"workers of {args.memory_limit}; Dask {best['dask']:.2f} s "
              f"({fits['dask'].iterations} iterations, {fits['dask'].solver_stage})")
        print(moved)
        _print_memory(sampler, folder, fits["dask"])
        for worker, (written, read) in spilled.items():
            print(f"{worker}: {written / 1e6:.0f} MB spilled to disk, {read / 1e6:.0f} MB read "
                  "back")
        return 0
    diff = float(np.max(np.abs(fits["dask"].coef() / fits["in memory"].coef() - 1)))
    print(f"{args.design}: {args.rows:,} rows, {args.files} Parquet files, {args.workers} workers; "
          f"best of {args.repeats}, read included")
    print(f"in memory  {best['in memory']:8.2f} s   ({fits['in memory'].iterations} iterations)")
    print(f"dask       {best['dask']:8.2f} s   ({fits['dask'].iterations} iterations, "
          f"{'converged' if fits['dask'].converged else 'NOT converged'})")
    print(f"ratio      {best['dask'] / best['in memory']:8.1f}")
    if args.pyfixest:
        if "pyfixest" in best:
            print(f"pyfixest   {best['pyfixest']:8.2f} s   (in memory, read included)")
        else:
            print(f"pyfixest   failed ({failed['pyfixest'][:120]})")
    print(f"largest relative difference of the coefficients: {diff:.1e}")
    print(moved)
    _print_memory(sampler, folder, fits["dask"])
    for worker, (written, read) in spilled.items():
        print(f"{worker}: {written / 1e6:.0f} MB spilled to disk, {read / 1e6:.0f} MB read back")
    return 0


def _print_memory(sampler, folder: str, fit) -> None:
    if sampler is None:
        return
    largest = max((pd.read_parquet(f"{folder}/{name}").memory_usage(deep=True).sum()
                   for name in sorted(os.listdir(folder))), default=0)
    levels = sum(int(v) for v in dict(fit.fixef).values())
    print(f"largest partition once read {largest / 1e6:8.1f} MB; "
          f"level vectors {8 * levels / 1e6:.1f} MB ({levels:,} levels)")
    for pid, (before, peak) in sampler.peaks.items():
        who = "client" if pid == os.getpid() else "worker"
        print(f"{who} {pid}: resident {before / 1e6:8.1f} MB before, peak "
              f"{peak / 1e6:8.1f} MB during the fits (+{(peak - before) / 1e6:.1f} MB)")


def _sent(dask_worker) -> int:
    return dask_worker.transfer_outgoing_bytes_total


class _Peaks:
    """Each worker process's resident size: before the first fit, and its peak during."""

    def __init__(self, client) -> None:
        import psutil

        # The workers, and this process (the client's side of the fit) last.
        self.procs = [psutil.Process(pid) for pid in client.run(os.getpid).values()]
        self.procs.append(psutil.Process(os.getpid()))
        self.peaks = {p.pid: (p.memory_info().rss, 0) for p in self.procs}
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None

    def start(self) -> None:
        self._stop.clear()
        self._thread = threading.Thread(target=self._sample, daemon=True)
        self._thread.start()

    def stop(self) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join()

    def _sample(self) -> None:
        while not self._stop.is_set():
            for p in self.procs:
                before, peak = self.peaks[p.pid]
                self.peaks[p.pid] = (before, max(peak, p.memory_info().rss))
            time.sleep(0.02)


if __name__ == "__main__":
    raise SystemExit(main())
