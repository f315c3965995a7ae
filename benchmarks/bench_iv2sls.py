"""Speed of rust_iv2sls against its peers on one simulated IV design.

    python benchmarks/bench_iv2sls.py [--rows N] [--repeats R] [--fixed-effects Q]

Without fixed effects (Q = 0) the peer is linearmodels' IV2SLS with clustered
standard errors (no debiasing, the same convention as ours); with Q = 1 or 2
fixed effects it is pyfixest's IV estimator (feols with an instrument block)
at the same demeaning tolerance. Reported: the best of R wall-clock times of
each, their ratio, and the largest relative coefficient difference (a check
that both solved the same problem). Data preparation of the peers (DataFrame
construction) is not timed; their first call, which may compile kernels, is
not timed either.
"""

from __future__ import annotations

import argparse
import time
import warnings

import numpy as np

from kestrel import _native


def best_of(repeats, fn):
    times, out = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - start)
    return min(times), out


def simulate(n, q, seed=0):
    rng = np.random.default_rng(seed)
    fe = [rng.integers(0, g, n).astype(np.int32) for g in (n // 20, n // 200, 50)[:q]]
    effect = sum((rng.normal(size=int(f.max()) + 1)[f] for f in fe), np.zeros(n))
    x = [rng.normal(size=n) + 0.3 * effect for _ in range(3)]
    z = [rng.normal(size=n) for _ in range(2)]
    u = rng.normal(size=n)
    d = 0.8 * z[0] + 0.5 * z[1] + 0.3 * x[0] + 0.5 * u + rng.normal(size=n) + effect
    y = 1.0 + x[0] - 0.5 * x[1] + 0.25 * x[2] - d + effect + u
    cl = rng.integers(0, 500, n).astype(np.int32)
    return y, x, [d], z, fe, cl


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--fixed-effects", type=int, default=0, choices=(0, 1, 2))
    parser.add_argument("--tol", type=float, default=1e-8)
    args = parser.parse_args()

    q = args.fixed_effects
    y, x, d, z, fe, cl = simulate(args.rows, q)
    intercept = q == 0

    def ours():
        return _native.rust_iv2sls(y, x, d, z, ["x0", "x1", "x2"], ["d"], fe,
                                   [f"f{i}" for i in range(q)], [cl], ["cl"], args.tol, 10_000,
                                   "iid", intercept)

    t_ours, out = best_of(args.repeats, ours)
    coef = out[0]

    if q == 0:
        from linearmodels.iv import IV2SLS

        exog = np.column_stack(x + [np.ones(args.rows)])
        endog = np.column_stack(d)
        instr = np.column_stack(z)

        def peer():
            return IV2SLS(y, exog, endog, instr).fit(cov_type="clustered", clusters=cl,
                                                     debiased=False)

        name = "linearmodels IV2SLS"
        t_peer, res = best_of(args.repeats, peer)
        peer_coef = np.asarray(res.params)
    else:
        import pandas as pd
        import pyfixest as pf

        frame = pd.DataFrame({"y": y, "x0": x[0], "x1": x[1], "x2": x[2], "d": d[0],
                              "z0": z[0], "z1": z[1], "cl": cl})
        for i, f in enumerate(fe):
            frame[f"f{i}"] = f
        formula = f"y ~ x0 + x1 + x2 | {' + '.join(f'f{i}' for i in range(q))} | d ~ z0 + z1"

        def peer():
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                return pf.feols(formula, data=frame, vcov={"CRV1": "cl"},
                                fixef_tol=args.tol)

        peer()  # compile
        name = "pyfixest feols (IV)"
        t_peer, res = best_of(args.repeats, peer)
        c = res.coef()
        peer_coef = np.array([c["x0"], c["x1"], c["x2"], c["d"]])

    diff = np.max(np.abs(coef - peer_coef) / np.maximum(np.abs(peer_coef), 1e-300))
    print(f"rows={args.rows} fixed_effects={q} repeats={args.repeats}")
    print(f"kestrel rust_iv2sls : {t_ours:8.3f} s")
    print(f"{name:20s}: {t_peer:8.3f} s")
    print(f"ratio peer / kestrel: {t_peer / t_ours:8.2f}")
    print(f"largest relative coefficient difference: {diff:.2e}")


if __name__ == "__main__":
    main()
