"""Speed of rust_ols_from_arrays and kestrel.feols against pyfixest.feols on the same panel.

    python benchmarks/bench_ols_fe.py [--rows N] [--fixed-effects Q] [--repeats R]

Both fit the main job's simulated worker-firm panel with firm-clustered
standard errors at the same demeaning tolerance. Reported: the best of R
wall-clock times of each, their ratio, and the largest coefficient
difference (a check that both solved the same problem). The first pyfixest
call, which compiles its kernels, is not timed.
"""

from __future__ import annotations

import argparse
import time
import warnings

import numpy as np

import kestrel
from kestrel import _native
from kestrel.simulate import FE_NAMES, REGRESSORS, simulate


def best_of(repeats, fn):
    times, out = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - start)
    return min(times), out


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--fixed-effects", type=int, default=2, choices=(1, 2, 3))
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--tol", type=float, default=1e-8)
    args = parser.parse_args()

    import pyfixest as pf

    data = simulate(args.rows, seed=0).rename(columns={"log_wage": "y"})
    q = args.fixed_effects
    fe_names = list(FE_NAMES[:q])
    y = data["y"].to_numpy()
    x = [data[name].to_numpy() for name in REGRESSORS]
    fe = [_native.rust_recode(data[name].to_numpy())[0] for name in FE_NAMES]

    def ours():
        return _native.rust_ols_from_arrays(y, x, list(REGRESSORS), fe[:q], fe_names, [fe[1]],
                                            ["firm"], args.tol, 100_000, "iid")

    formula = f"y ~ {' + '.join(REGRESSORS)} | {' + '.join(fe_names)}"

    def layer():
        return kestrel.feols(formula, data, {"CRV1": "firm"}, fixef_tol=args.tol)

    def peer():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return pf.feols(formula, data=data, vcov={"CRV1": "firm"}, fixef_tol=args.tol)

    peer()  # warm-up: compiles pyfixest's kernels
    t_ours, r = best_of(args.repeats, ours)
    t_layer, f = best_of(args.repeats, layer)
    t_peer, p = best_of(args.repeats, peer)
    diff = max(np.max(np.abs(r[0] - p.coef().to_numpy())),
               np.max(np.abs(f.coef().to_numpy() - p.coef().to_numpy())))
    print(f"rows={args.rows:,} fixed_effects={q} tol={args.tol:g} repeats={args.repeats}")
    print(f"kestrel rust_ols_from_arrays  {t_ours:8.3f} s")
    print(f"kestrel.feols (DataFrame)     {t_layer:8.3f} s")
    print(f"pyfixest feols                {t_peer:8.3f} s")
    print(f"ratio pyfixest / kestrel      {t_peer / t_ours:8.2f}x")
    print(f"ratio kestrel.feols / pyfixest {t_layer / t_peer:7.2f}x")
    print(f"max |coefficient difference|  {diff:.2e}")


if __name__ == "__main__":
    main()
