"""A simulated worker-firm wage panel, the main job's data and a benchmark workload."""

from __future__ import annotations

import numpy as np
import pandas as pd

REGRESSORS = ("experience", "training", "hours")
TRUE_BETA = {"experience": 0.030, "training": 0.080, "hours": -0.015}
FE_NAMES = ("worker", "firm", "year")
N_YEARS = 10
# Identifiers beyond the int32 range, as large administrative ids are.
WORKER_ID_BASE = 10_000_000_000


def simulate(rows: int, seed: int = 0) -> pd.DataFrame:
    """Log wages with worker, firm and year effects: about eight spells per worker (some
    workers are seen once, i.e. singletons), firms of very unequal size, workers who mostly
    stay at one firm, training more likely at high-premium firms (so leaving the firm effect
    out biases its coefficient), and errors sharing a firm-level shock (so standard errors
    are clustered by firm). Columns: log_wage, the REGRESSORS, worker, firm, year."""
    rng = np.random.default_rng(seed)
    n_workers = max(rows // 8, 2)
    n_firms = max(rows // 200, 2)

    worker_id = rng.integers(0, n_workers, rows)
    home = (n_firms * rng.random(n_workers) ** 2).astype(np.int64)
    moves = rng.random(rows) < 0.15
    firm_id = np.where(moves, (n_firms * rng.random(rows) ** 2).astype(np.int64), home[worker_id])
    year_id = rng.integers(0, N_YEARS, rows)

    ability = rng.normal(0.0, 0.4, n_workers)
    firm_premium = rng.normal(0.0, 0.2, n_firms)
    year_effect = rng.normal(0.0, 0.05, N_YEARS)

    a, f = ability[worker_id], firm_premium[firm_id]
    experience = rng.gamma(4.0, 3.0, n_workers)[worker_id] + rng.gamma(2.0, 1.0, rows)
    training = (rng.random(rows) < 1.0 / (1.0 + np.exp(-(2.0 * f + a)))).astype(float)
    hours = 40.0 + 5.0 * a + rng.normal(0.0, 4.0, rows)
    noise = rng.normal(0.0, 0.1, n_firms)[firm_id] + rng.normal(0.0, 0.2, rows)
    x = {"experience": experience, "training": training, "hours": hours}
    log_wage = (2.5 + sum(TRUE_BETA[k] * v for k, v in x.items()) + a + f
                + year_effect[year_id] + noise)
    return pd.DataFrame({"log_wage": log_wage, **x, "worker": worker_id + WORKER_ID_BASE,
                         "firm": firm_id, "year": year_id + 2010})
