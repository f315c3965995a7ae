"""kestrel.feols on a Dask DataFrame against the in-memory fit of the same Parquet files.

    python -m benchmarks.dask_bench [--rows 1000000] [--files 8] [--workers 2]
                                    [--design worker-firm|simple|difficult]

Simulates the worker–firm panel of ``kestrel.simulate`` (three fixed effects), or the
public benchmark panel of ``benchmarks.data`` ("simple": firms at random, "difficult":
firms in turn, individual + firm + year), writes it as Parquet files, starts a local cluster of worker processes (one thread each), and times
both fits including the read: ``pandas.read_parquet`` + ``kestrel.feols``, and
``dask.dataframe.read_parquet`` + ``kestrel.feols`` on the cluster (after one untimed fit,
so that the workers have imported kestrel). Prints the times, their ratio and the largest
relative difference of the coefficients.
"""

from __future__ import annotations

import argparse
import tempfile
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

    with LocalCluster(n_workers=args.workers, threads_per_worker=1,
                      dashboard_address=None) as cluster, Client(cluster):
        on_dask()  # untimed: the workers import kestrel
        times = {"in memory": [], "dask": []}
        fits = {}
        for _ in range(args.repeats):
            for name, run in (("in memory", in_memory), ("dask", on_dask)):
                start = time.perf_counter()
                fits[name] = run()
                times[name].append(time.perf_counter() - start)
    best = {name: min(t) for name, t in times.items()}
    diff = float(np.max(np.abs(fits["dask"].coef() / fits["in memory"].coef() - 1)))
    print(f"{args.design}: {args.rows:,} rows, {args.files} Parquet files, {args.workers} workers; "
          f"best of {args.repeats}, read included")
    print(f"in memory  {best['in memory']:8.2f} s   ({fits['in memory'].iterations} iterations)")
    print(f"dask       {best['dask']:8.2f} s   ({fits['dask'].iterations} iterations, "
          f"{'converged' if fits['dask'].converged else 'NOT converged'})")
    print(f"ratio      {best['dask'] / best['in memory']:8.1f}")
    print(f"largest relative difference of the coefficients: {diff:.1e}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
