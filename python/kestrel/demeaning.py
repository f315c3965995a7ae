"""``kestrel.demean``: the fixed effects removed from columns of your own, with the solver
``kestrel.feols`` uses (conjugate gradient on what is left once the largest fixed effect is
eliminated, switching to a preconditioner built from the fixed-effect graph when it stalls), for
users who run their own estimators on the demeaned data: the absorb step of
:mod:`kestrel.steps` on every row, without a sample to take."""

from __future__ import annotations

import warnings
from typing import Any

import numpy as np
import pandas as pd

from kestrel import _core, steps
from kestrel.data import Frame
from kestrel.progress import progress_line
from kestrel.vcov import check_number
from kestrel.warning_types import ConvergenceWarning


def demean(x: Any, fe: Any, *, weights: Any = None, tol: float = 1e-8, maxiter: int = 100_000,
           solver: str = "auto", progress: bool | None = None,
           return_info: bool = False) -> Any:
    """Remove the fixed effects ``fe`` from every column of ``x``.

    x: a 1-D or 2-D array (rows are observations) or a DataFrame of numeric columns.
    fe: the fixed effects' identifiers, one column per fixed effect: a 1-D or 2-D array, a
      list of 1-D arrays, or a DataFrame (pandas or polars); identifiers of any dtype.
    weights: positive weights, one per row (an array, a Series, or the name of a column of
      a DataFrame ``x``, which is then not demeaned): each column becomes x − Dα̂ with α̂
      minimising Σ w (x − Dα)², the residual of weighted least squares on the fixed
      effects' dummies (in the data's units, not times √w).
    tol, maxiter: convergence tolerance and iteration cap; solver: "auto" or "cg".
    Returns an array of x's shape (a DataFrame with x's labels for a pandas x); with
    ``return_info`` also a dict: iterations, converged, stage (the one it ended in: "exact"
    for one fixed effect, "cg", or the auto solver's "diagonal" or "graph"), stages (the
    iterations of each), setup_seconds (building the graph preconditioner).
    Every row is used (no singleton removal); missing values are refused.
    """
    check_number("tol", tol)
    check_number("maxiter", maxiter, integer=True, minimum=1, strict=False)
    steps.check_solver(solver)
    if isinstance(weights, str):
        if not isinstance(x, pd.DataFrame) and not type(x).__module__.startswith("polars"):
            raise TypeError(f"weights={weights!r} names a column, but x is not a DataFrame; "
                            "pass the weights as an array")
        frame = Frame(x)
        w_values = frame.floats(weights, "weights column")
        x = x.drop(columns=[frame._label[weights]]) if isinstance(x, pd.DataFrame) else \
            x.drop(weights)
        weights = w_values
    values, labels = _columns(x)
    n = values.shape[0]
    codes, groups = _codes(fe, n)
    if not np.isfinite(values).all():
        raise ValueError("x has missing or infinite values; drop those rows first")
    w = None if weights is None else _weights(weights, n)
    keep = np.ones(n, dtype=bool)
    # Every row is kept: the sample stage only renumbers codes that leave groups empty
    # (unused categories), which the solvers' preconditioners must not see.
    if not all(np.bincount(c, minlength=g).all() for c, g in zip(codes, groups)):
        sample = _core.sample(fe=codes, clusters=[], keep=keep, drop_singletons=False)
        codes, groups = sample["fe"], sample["fe_groups"]
    # Columns of extreme magnitude go in as feols's do, scaled by a power of two.
    columns, exponents = steps.scaled([values[:, j] for j in range(values.shape[1])], keep)
    with progress_line(progress) as callback:
        out = steps.demean(columns, keep, codes, groups, float(tol), int(maxiter), solver,
                           callback, w)
    if not out["converged"]:
        warnings.warn("kestrel.demean did not fully demean the columns: "
                      + steps.demeaning_shortfall(out, float(tol), int(maxiter), "tol", "maxiter"),
                      ConvergenceWarning, stacklevel=2)
    result: Any = out["data"]
    if w is not None:
        result = result / np.sqrt(w)[:, None]  # the engine's rows are times √w
    if exponents.any():
        result = np.ldexp(result, exponents[None, :])
    if labels is not None:
        result = pd.DataFrame(result, index=labels[0], columns=labels[1])
    elif np.ndim(x) == 1:
        result = result[:, 0]
    if not return_info:
        return result
    info = {k: out[k] for k in ("iterations", "converged", "stage", "stages", "setup_seconds")}
    return result, info


def _weights(weights: Any, n: int) -> np.ndarray:
    """Weights as float64, one per row, all positive and finite."""
    if type(weights).__module__.startswith("polars"):
        weights = weights.to_numpy()
    try:
        w = np.asarray(weights, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError("weights must hold numbers (an array or a Series)") from None
    if w.ndim != 1 or w.shape[0] != n:
        raise ValueError(f"weights must have one value per row of x ({n}), not shape {w.shape}")
    bad = np.flatnonzero(~(np.isfinite(w) & (w > 0)))
    if bad.size:
        i = int(bad[0])
        raise ValueError(f"weights must be positive and finite, but row {i} has {w[i]!r}; "
                         "drop rows of weight 0 or missing weight first")
    # A power of four brings the largest near 1 (exact, √ too; the scale changes nothing).
    k = (int(np.frexp(np.max(w))[1]) - 1) // 2 if n else 0
    return np.ldexp(w, -2 * k) if k else w


def _columns(x: Any) -> tuple[np.ndarray, tuple[Any, Any] | None]:
    if isinstance(x, pd.DataFrame):
        return x.to_numpy(dtype=np.float64), (x.index, x.columns)
    if isinstance(x, pd.Series):
        return x.to_numpy(dtype=np.float64)[:, None], None
    if type(x).__module__.startswith("polars"):
        x = x.to_numpy()
    try:
        values = np.asarray(x, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError("x must hold numbers (an array or a DataFrame of numeric columns)") from None
    if values.ndim == 1:
        values = values[:, None]
    if values.ndim != 2:
        raise ValueError(f"x must be 1-D or 2-D, not {values.ndim}-D")
    return values, None


def _codes(fe: Any, n: int) -> tuple[list[np.ndarray], list[int]]:
    """Dense codes of each fixed effect and their numbers of groups."""
    if isinstance(fe, pd.DataFrame) or type(fe).__module__.startswith("polars"):
        frame = Frame(fe)
        names = frame.columns
    else:
        columns = list(fe.T) if isinstance(fe, np.ndarray) and fe.ndim == 2 else (
            [fe] if isinstance(fe, np.ndarray) or isinstance(fe, pd.Series) else list(fe))
        frame = Frame(pd.DataFrame({f"fe{j}": np.asarray(c) for j, c in enumerate(columns)}))
        names = frame.columns
    if not names:
        raise ValueError("fe needs at least one fixed effect")
    if frame.n_rows != n:
        raise ValueError(f"fe has {frame.n_rows} rows but x has {n}")
    codes, groups = [], []
    for name in names:
        c = frame.codes(name)
        if c.missing is not None and np.any(c.missing):
            raise ValueError(f"fixed effect {name!r} has missing identifiers")
        codes.append(c.codes)
        groups.append(int(c.n_groups))
    return codes, groups
