"""kestrel's command line.

    python -m kestrel [--rows N] [--fixed-effects 1|2|3] [--seed S]
        fits the simulated worker-firm wage panel and prints the summary beside the true
        values.
    python -m kestrel fit FILE FORMULA [--vcov V] [--time-id T --panel-id P --lag L]
                                       [--keep-singletons]
        fits a CSV, Parquet or Stata file and prints the summary.

Mistakes and unreadable files end in an error line on stderr and exit status 2 (too
little memory: status 1), never a traceback.
"""

from __future__ import annotations

import argparse
import os
import sys
import textwrap
import time
import warnings
from collections.abc import Callable
from typing import Any, NoReturn

MAX_ROWS = 100_000_000  # about 6 GB of simulated columns
PROG = "python -m kestrel"

# The files the command line reads, by extension. Pandas infers the compression of a CSV or
# TSV file from its last extension.
READERS = {".csv": "CSV", ".tsv": "TSV", ".parquet": "Parquet", ".pq": "Parquet",
           ".dta": "Stata"}
COMPRESSED = (".gz", ".bz2", ".xz", ".zst", ".zip", ".tar", ".tar.gz", ".tar.bz2", ".tar.xz")
UNDERSTOOD = (".csv and .tsv, each optionally compressed (followed by "
              f"{', '.join(COMPRESSED)}), .parquet and .pq (with pyarrow), .dta (Stata)")


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
    """'iid', 'hetero', 'HC0'..'HC3', 'NW', 'DK', 'CRV1:firm' / 'CRV1:firm+year' or
    'CRV3:firm'."""
    kind, sep, variables = text.partition(":")
    return {kind: variables} if sep else text


def simulation_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROG,
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
        prog=f"{PROG} fit",
        description="Fit FORMULA on a CSV, Parquet or Stata file and print the summary.",
        epilog="Examples: python -m kestrel fit wages.parquet "
               "'lwage ~ union + married | nr + year' --vcov CRV1:nr;  "
               "python -m kestrel fit wages.dta 'lwage ~ union | nr' --vcov DK --time-id year")
    p.add_argument("file", help=f"a data file: {UNDERSTOOD}")
    p.add_argument("formula", help="for example 'y ~ x1 + x2 | fe1 + fe2'")
    p.add_argument("--vcov", type=_vcov, default=None,
                   help="iid, hetero, HC0, HC1, HC2, HC3, CRV1:VAR / CRV1:VAR1+VAR2, CRV3:VAR, "
                        "or NW / DK (Newey-West, Driscoll-Kraay: with --time-id) (default: "
                        "clustered by the first fixed effect, else iid)")
    serial = p.add_argument_group("Newey-West and Driscoll-Kraay (--vcov NW or DK), and the "
                                  "panel of the lags l(), leads f() and differences d() "
                                  "of the formula")
    serial.add_argument("--time-id", metavar="COLUMN",
                        help="the column of time periods (required)")
    serial.add_argument("--panel-id", metavar="COLUMN",
                        help="NW: one series per value of this column (a panel); the panel "
                             "units of l(), f() and d()")
    serial.add_argument("--lag", type=_bounded_int(0, 2**63 - 1, "--lag"), default=None,
                        help="the Bartlett lag (default floor(T^(1/4)) for T periods; required "
                             "for NW on a single series)")
    # --weights COLUMN joins here, passed on as feols(weights=...), once feols takes weights.
    samples = p.add_argument_group("Samples (several fits are printed one after another)")
    samples.add_argument("--split", metavar="COLUMN", help="one fit per value of COLUMN")
    samples.add_argument("--fsplit", metavar="COLUMN",
                         help="the full sample, then one fit per value of COLUMN")
    samples.add_argument("--subset", metavar="COLUMN",
                         help="fit the rows where the boolean COLUMN is true")
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

    try:
        data = simulate(args.rows, args.seed)
        fml = (f"log_wage ~ {' + '.join(REGRESSORS)} | "
               f"{' + '.join(FE_NAMES[:args.fixed_effects])}")
        start = time.perf_counter()
        fit = kestrel.feols(fml, data, vcov={"CRV1": "firm"})
        seconds = time.perf_counter() - start
    except MemoryError:
        fail(f"not enough memory to simulate and fit {args.rows:,} rows "
             f"(about {args.rows * 160 / 1e9:.2g} GB at the peak); try fewer --rows", 1)
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


def fail(message: str, status: int, prog: str = PROG) -> NoReturn:
    """One line on stderr and exit ``status`` (argparse's form, without the usage)."""
    print(f"{prog}: error: {message}", file=sys.stderr, flush=True)
    sys.exit(status)


def file_kind(path: str) -> tuple[str, str]:
    """(the kind of file from READERS, its compression suffix or ""), or ValueError naming
    the extensions understood."""
    name = os.path.basename(path).lower()
    for comp in sorted(("", *COMPRESSED), key=len, reverse=True):
        for ext, kind in READERS.items():
            if name.endswith(ext + comp) and (not comp or kind in ("CSV", "TSV")):
                return kind, comp
    raise ValueError(f"cannot tell the format of {path} from its extension; kestrel reads "
                     f"{UNDERSTOOD}")


def read_data(path: str) -> Any:
    """The file as a pandas DataFrame; ValueError (one line) for anything that prevents it."""
    import pandas as pd

    kind, comp = file_kind(path)
    try:
        with warnings.catch_warnings():
            # A reader's warnings on a damaged file (overflowing type codes...) only come
            # before its error; the error says it.
            warnings.simplefilter("ignore")
            if kind == "Parquet":
                return pd.read_parquet(path)
            if kind == "Stata":
                return pd.read_stata(path)
            return pd.read_csv(path, sep="\t" if kind == "TSV" else ",")
    except ImportError as exc:
        need = "pyarrow" if kind == "Parquet" else "zstandard" if comp == ".zst" else None
        raise ValueError(f"reading {path} needs the {need} package: pip install {need}"
                         if need else f"cannot read {path}: {exc}") from None
    except MemoryError:
        raise
    except Exception as exc:  # whatever a reader raises, it could not read the file
        what = f"{kind}{' compressed as ' + comp if comp else ''}"
        detail = " ".join(str(exc).split())
        if not isinstance(exc, (OSError, ValueError)) or not detail:
            detail = f"{type(exc).__name__}{': ' * bool(detail)}{detail}"
        raise ValueError(f"cannot read {path} as {what}: {detail}") from None


def serial_kwargs(args: argparse.Namespace,
                  parser: argparse.ArgumentParser) -> dict[str, Any] | None:
    """vcov_kwargs of feols from --time-id, --panel-id and --lag."""
    from kestrel import panel

    # With lags in the formula, --time-id and --panel-id give their panel too.
    names = ("lag",) if panel.mentions(args.formula) else ("time_id", "panel_id", "lag")
    given = [f"--{name.replace('_', '-')}" for name in names
             if getattr(args, name) is not None]
    serial = isinstance(args.vcov, str) and args.vcov.strip().upper() in ("NW", "DK")
    if not serial:
        if given:
            parser.error(f"{' and '.join(given)} appl{'y' if len(given) > 1 else 'ies'} to "
                         "--vcov NW and --vcov DK only")
        return None
    kind = args.vcov.strip().upper()
    if args.time_id is None:
        parser.error(f"--vcov {kind} needs --time-id COLUMN, the column of time periods")
    if kind == "NW" and args.panel_id is None and args.lag is None:
        parser.error("--vcov NW without --panel-id is one time series: give its --lag (there "
                     "is no agreed default)")
    kwargs: dict[str, Any] = {"time_id": args.time_id}
    if args.panel_id is not None:
        kwargs["panel_id"] = args.panel_id
    if args.lag is not None:
        kwargs["lag"] = args.lag
    return kwargs


def panel_and_samples(args: argparse.Namespace) -> dict[str, Any]:
    """feols's panel (for a formula with lags) and sample options from the command line."""
    from kestrel import panel

    out: dict[str, Any] = {}
    if panel.mentions(args.formula):
        out.update(panel_id=args.panel_id, time_id=args.time_id)
    for name in ("split", "fsplit", "subset"):
        if getattr(args, name) is not None:
            out[name] = getattr(args, name)
    return out


def run_fit(args: argparse.Namespace, parser: argparse.ArgumentParser) -> str:
    import kestrel

    vcov_kwargs = serial_kwargs(args, parser)
    try:
        data = read_data(args.file)
    except ValueError as exc:
        fail(str(exc), 2, parser.prog)
    except MemoryError:
        fail(f"not enough memory to read {args.file}", 1, parser.prog)
    try:
        # The formula comes from whoever runs the command: its code may use the data's
        # columns, NumPy's functions and the formula language's, nothing else.
        fit = kestrel.feols(args.formula, data, args.vcov, vcov_kwargs=vcov_kwargs,
                            fixef_tol=args.fixef_tol, fixef_maxiter=args.fixef_maxiter,
                            drop_singletons=not args.keep_singletons, context="restricted",
                            **panel_and_samples(args))
    except (ValueError, TypeError, KeyError) as exc:
        parser.error(exc.args[0] if isinstance(exc, KeyError) and exc.args else str(exc))
    except MemoryError:
        fail(f"not enough memory to fit {args.formula!r} on {args.file}", 1, parser.prog)
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
