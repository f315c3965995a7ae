"""kestrel's command line.

    python -m kestrel [--rows N] [--fixed-effects 1|2|3] [--seed S]
        fits the simulated worker-firm wage panel and prints the summary beside the true
        values.
    python -m kestrel fit FILE FORMULA [--vcov V] [--keep-singletons]
        fits a CSV or Parquet file and prints the summary.
"""

from __future__ import annotations

import argparse
import os
import sys
import textwrap
import time
import warnings
from collections.abc import Callable

MAX_ROWS = 100_000_000  # about 6 GB of simulated columns


def _bounded_int(low: int, high: int, what: str) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{what} must be a whole number, not {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{what} must be between {low:,} and {high:,}, "
                                             f"not {value:,}")
        return value
    return parse


def _vcov(text: str) -> str | dict[str, str]:
    """'iid', 'hetero', 'HC1'..'HC3', or 'CRV1:firm' / 'CRV1:firm+year'."""
    kind, sep, variables = text.partition(":")
    return {kind: variables} if sep else text


def simulation_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m kestrel",
        description="Fit a simulated worker-firm wage panel with absorbed fixed effects and "
                    "firm-clustered standard errors, and print the estimates beside the "
                    "true values.",
        epilog="To fit your own data: python -m kestrel fit FILE FORMULA [--vcov V] "
               "(python -m kestrel fit --help).")
    p.add_argument("--rows", type=_bounded_int(100, MAX_ROWS, "--rows"), default=1_000_000,
                   help="number of simulated rows (default 1,000,000)")
    p.add_argument("--fixed-effects", type=int, default=2, choices=(1, 2, 3),
                   help="absorb worker (1: biased on purpose), worker and firm (2), or also "
                        "year (3); default 2")
    p.add_argument("--seed", type=_bounded_int(0, 2**63 - 1, "--seed"), default=0,
                   help="random seed, a whole number from 0 (default 0)")
    return p


def fit_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m kestrel fit",
        description="Fit FORMULA on a CSV or Parquet file and print the summary.",
        epilog="Example: python -m kestrel fit wages.parquet "
               "'lwage ~ union + married | nr + year' --vcov CRV1:nr")
    p.add_argument("file", help="a .csv (optionally compressed) or .parquet file")
    p.add_argument("formula", help="for example 'y ~ x1 + x2 | fe1 + fe2'")
    p.add_argument("--vcov", type=_vcov, default=None,
                   help="iid, hetero, HC1, HC2, HC3, or CRV1:VAR / CRV1:VAR1+VAR2 "
                        "(default: clustered by the first fixed effect, else iid)")
    p.add_argument("--keep-singletons", action="store_true",
                   help="keep rows alone in their fixed-effect group")
    p.add_argument("--fixef-tol", type=float, default=1e-8,
                   help="convergence tolerance of the demeaning (default 1e-8)")
    p.add_argument("--fixef-maxiter", type=_bounded_int(1, 10**9, "--fixef-maxiter"),
                   default=100_000, help="iteration cap of the demeaning (default 100,000)")
    return p


def run_simulation(args: argparse.Namespace) -> str:
    import kestrel
    from kestrel.simulate import FE_NAMES, REGRESSORS, TRUE_BETA, simulate

    data = simulate(args.rows, args.seed)
    fml = f"log_wage ~ {' + '.join(REGRESSORS)} | {' + '.join(FE_NAMES[:args.fixed_effects])}"
    start = time.perf_counter()
    fit = kestrel.feols(fml, data, vcov={"CRV1": "firm"})
    seconds = time.perf_counter() - start
    lines = [f"Simulated worker-firm panel: {args.rows:,} rows, seed {args.seed}", "",
             str(fit.summary(extra={"true": TRUE_BETA})), "",
             f"Time taken by kestrel.feols: {seconds:.3f} s"]
    if args.fixed_effects == 1:
        lines += [""] + textwrap.wrap(
            "Biased on purpose: with only the worker fixed effect absorbed, the firm premium "
            "stays in the error and training is more likely at high-premium firms, so "
            "training's estimate is biased upwards. Absorb the firm as well "
            "(--fixed-effects 2) to remove the bias.", 88)
    return "\n".join(lines)


def run_fit(args: argparse.Namespace, parser: argparse.ArgumentParser) -> str:
    import pandas as pd

    import kestrel

    path = args.file
    try:
        if path.lower().endswith((".parquet", ".pq")):
            try:
                data = pd.read_parquet(path)
            except ImportError:
                parser.error("reading Parquet files needs pyarrow: pip install pyarrow")
        else:
            data = pd.read_csv(path)
    except (OSError, ValueError, pd.errors.ParserError) as exc:
        parser.error(f"cannot read {path}: {exc}")
    try:
        # The formula comes from whoever runs the command: its code may use the data's
        # columns, NumPy's functions and the formula language's, nothing else.
        fit = kestrel.feols(args.formula, data, args.vcov, fixef_tol=args.fixef_tol,
                            fixef_maxiter=args.fixef_maxiter,
                            drop_singletons=not args.keep_singletons, context="restricted")
    except (ValueError, TypeError, KeyError) as exc:
        parser.error(exc.args[0] if isinstance(exc, KeyError) and exc.args else str(exc))
    return str(fit.summary())


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    warnings.simplefilter("default")  # show the fit's warnings once each
    if argv[:1] == ["fit"]:
        parser = fit_parser()
        text = run_fit(parser.parse_args(argv[1:]), parser)
    else:
        text = run_simulation(simulation_parser().parse_args(argv))
    try:
        print(text, flush=True)
    except BrokenPipeError:
        # The reader went away (for example `| head`): no traceback.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
