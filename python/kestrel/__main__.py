"""kestrel's main job: fit a simulated worker-firm wage panel.

    python -m kestrel [--rows N] [--fixed-effects 1|2|3] [--seed S]

Simulates a panel of log wages with worker, firm and (optionally) year
effects, absorbs them with ``rust_ols_from_arrays``, clusters the standard
errors by firm, and prints a coefficient table next to the true values.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from dataclasses import dataclass

import numpy as np

from kestrel import _native

REGRESSORS = ("experience", "training", "hours")
TRUE_BETA = np.array([0.030, 0.080, -0.015])
FE_NAMES = ("worker", "firm", "year")
N_YEARS = 10


@dataclass
class Panel:
    y: np.ndarray
    x: list[np.ndarray]
    fe: list[np.ndarray]  # dense int32 codes: worker, firm, year
    n_groups: list[int]


def simulate(rows: int, seed: int) -> Panel:
    """A worker-firm panel: about eight spells per worker (some workers are
    seen once, i.e. singletons), firms of very unequal size, workers who
    mostly stay at one firm, and regressors correlated with the effects."""
    rng = np.random.default_rng(seed)
    n_workers = max(rows // 8, 2)
    n_firms = max(rows // 200, 2)

    worker_id = rng.integers(0, n_workers, rows)
    # Skewed firm sizes; each worker has a home firm and sometimes moves.
    home = (n_firms * rng.random(n_workers) ** 2).astype(np.int64)
    moves = rng.random(rows) < 0.15
    firm_id = np.where(moves, (n_firms * rng.random(rows) ** 2).astype(np.int64), home[worker_id])
    year_id = rng.integers(0, N_YEARS, rows)

    # Identifiers become dense codes the way the package's Python layer does it.
    fe, n_groups = [], []
    for ids in (worker_id, firm_id, year_id):
        codes, g = _native.rust_recode(ids.astype(np.int64))
        fe.append(codes)
        n_groups.append(g)

    ability = rng.normal(0.0, 0.4, n_workers)
    firm_premium = rng.normal(0.0, 0.2, n_firms)
    year_effect = rng.normal(0.0, 0.05, N_YEARS)

    a, f = ability[worker_id], firm_premium[firm_id]
    experience = rng.gamma(4.0, 3.0, n_workers)[worker_id] + rng.gamma(2.0, 1.0, rows)
    training = (rng.random(rows) < 1.0 / (1.0 + np.exp(-(2.0 * f + a)))).astype(float)
    hours = 40.0 + 5.0 * a + rng.normal(0.0, 4.0, rows)
    # Errors share a firm-level shock, hence the clustering by firm.
    noise = rng.normal(0.0, 0.1, n_firms)[firm_id] + rng.normal(0.0, 0.2, rows)
    x = [experience, training, hours]
    y = 2.5 + sum(b * c for b, c in zip(TRUE_BETA, x)) + a + f + year_effect[year_id] + noise
    return Panel(y=y, x=x, fe=fe, n_groups=n_groups)


def _int(v: int) -> str:
    return f"{v:,}"


def report(panel: Panel, n_fe: int, result: tuple, seconds: float, rows: int, seed: int) -> str:
    beta, vcov, _, r2, _, n, absorbed, removed, clusters, names, fe_names, cl_names = result
    se = np.sqrt(np.diag(vcov))
    fe_text = ", ".join(f"{name} ({_int(g)} levels)"
                        for name, g in zip(fe_names, panel.n_groups[:n_fe]))
    lines = [
        "kestrel: OLS with absorbed fixed effects on a simulated worker-firm panel",
        "",
        f"  rows simulated       {_int(rows):>12}   (seed {seed})",
        f"  observations         {_int(n):>12}",
        f"  singletons removed   {_int(removed):>12}",
        f"  fixed effects        {fe_text}",
        f"  absorbed dof         {_int(absorbed):>12}",
        f"  clustered by         {cl_names[0]} ({_int(clusters[0])} clusters)",
        f"  within R²            {r2:>12.4f}",
        f"  time taken           {seconds:>10.3f} s   (fit only)",
        "",
        f"  {'variable':<12}{'estimate':>12}{'std. error':>13}{'t stat':>10}{'true':>10}",
        "  " + "-" * 57,
    ]
    for name, b, s, true in zip(names, beta, se, TRUE_BETA):
        lines.append(f"  {name:<12}{b:>12.5g}{s:>13.4g}{b / s:>10.2f}{true:>10.4g}")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m kestrel",
        description="Fit a simulated worker-firm wage panel with absorbed fixed effects "
                    "and firm-clustered standard errors.")
    parser.add_argument("--rows", type=int, default=1_000_000,
                        help="number of simulated rows (default 1,000,000)")
    parser.add_argument("--fixed-effects", type=int, default=2, choices=(1, 2, 3),
                        help="absorb worker (1), worker and firm (2), or also year (3); "
                             "default 2")
    parser.add_argument("--seed", type=int, default=0, help="random seed (default 0)")
    args = parser.parse_args(argv)
    if args.rows < 100:
        parser.error("--rows must be at least 100")

    panel = simulate(args.rows, args.seed)
    n_fe = args.fixed_effects
    start = time.perf_counter()
    result = _native.rust_ols_from_arrays(
        panel.y, panel.x, list(REGRESSORS), panel.fe[:n_fe], list(FE_NAMES[:n_fe]),
        [panel.fe[1]], ["firm"], 1e-10, 10_000, "iid")
    seconds = time.perf_counter() - start
    try:
        print(report(panel, n_fe, result, seconds, args.rows, args.seed), flush=True)
    except BrokenPipeError:
        # The reader went away (for example `| head`): no traceback.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
