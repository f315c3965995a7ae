"""Samples of one call: ``subset=`` (the rows to fit), ``split=`` (one fit per level of a
column) and ``fsplit=`` (those and the full sample first), and the panel operators
(:mod:`kestrel.panel`), which are computed on every row before any sample is taken (the
lag of a row outside the sample is still its lag).

Each sample is fitted by the estimator as an ordinary call on the sample's rows of the
columns the call names, so a sample's fit is exactly the fit of those rows alone. Its
``mask`` is then put back over the caller's rows, and ``fit.sample`` names the sample
(``"g = a"``; ``"full sample"`` for the first fit of ``fsplit``), which also extends its
key in the :class:`kestrel.FitList`: ``"y ~ x | fe; g = a"``.

A level of the split column whose rows leave nothing to fit (every row has a missing value
or is a singleton) is skipped with an :class:`EmptySampleWarning`; any other mistake of one
level's fit raises, naming the level. Rows where the split column is missing belong to no
level (and to the full sample of ``fsplit``).
"""

from __future__ import annotations

import contextvars
import warnings
from collections.abc import Callable, Mapping
from typing import Any

import numpy as np
import pandas as pd

from kestrel import formula, panel
from kestrel.data import Frame
from kestrel.fitlist import FitList
from kestrel.warning_types import Collector, EmptySampleWarning

OPTIONS = ("panel", "panel_id", "time_id", "split", "fsplit", "subset")
FULL_SAMPLE = "full sample"
# Set while this module runs the estimator: its calls are plain fits, never sent back here.
_ACTIVE: contextvars.ContextVar[bool] = contextvars.ContextVar("kestrel_samples", default=False)


def wanted(call: Mapping[str, Any]) -> bool:
    """Whether an estimator's call needs this module: a panel, a sample option, or a formula
    that may call a panel operator."""
    if _ACTIVE.get():
        return False
    return any(call.get(name) is not None for name in OPTIONS) or panel.mentions(call["fml"])


def fit(estimator: Callable[..., Any], call: Mapping[str, Any]) -> Any:
    """Run ``estimator`` (``kestrel.feols``) for the call ``call`` (its arguments by name,
    sample options included) and return its fit, or a :class:`kestrel.FitList` of one fit
    per sample and model."""
    token = _ACTIVE.set(True)
    try:
        return _fit(estimator, call)
    finally:
        _ACTIVE.reset(token)


def _fit(estimator: Callable[..., Any], call: Mapping[str, Any]) -> Any:
    rest = dict(call)
    fml, data = rest.pop("fml"), rest.pop("data")
    declared = panel.declared(rest.pop("panel"), rest.pop("panel_id"), rest.pop("time_id"))
    split, fsplit, subset = rest.pop("split"), rest.pop("fsplit"), rest.pop("subset")
    if split is not None and fsplit is not None:
        raise ValueError("give split= or fsplit= (which adds the full sample), not both")
    by = split if split is not None else fsplit
    if by is not None and not isinstance(by, str):
        raise TypeError(f"{'split' if split is not None else 'fsplit'} must be a column name, "
                        f"not {type(by).__name__}")
    ns = formula.namespace(rest.get("context", 0))
    vcov = rest.get("vcov")
    if declared is not None and rest.get("vcov_kwargs") is None and isinstance(vcov, str) and \
            vcov.strip().upper() in ("NW", "DK"):
        # Newey–West and Driscoll–Kraay over the panel given, as fixest does.
        rest["vcov_kwargs"] = {"time_id": declared.time}
        units = declared.panel
        if vcov.strip().upper() == "NW" and units is not None and len(units) == 1:
            rest["vcov_kwargs"]["panel_id"] = units[0]

    def has_name(name: str) -> bool:
        return not ns.restricted and name in ns.mapping and callable(ns.mapping[name])

    text, data, rewritten, operators = panel.prepare(fml, data, declared, has_name)
    frame = Frame(data)
    if frame.n_rows == 0:
        raise ValueError("the data has no rows")
    rows = None if subset is None else _subset(subset, frame, data)
    # Each fit's warnings are issued again once it is done, prefixed by its sample, pointing
    # at the caller of the estimator (the fit itself runs a few frames deeper than usual):
    # this frame, samples.fit, the estimator, its caller.
    caught = Collector()
    if by is None:
        with caught.under(""):
            result = (estimator(text, data, **rest) if rows is None else
                      _fit_rows(estimator, text, data, frame, rows, rest, call))
        caught.issue(stacklevel=4)
        return _finish(result, frame.n_rows, rows, None, rewritten, operators)

    samples: list[tuple[str, np.ndarray | None]] = []
    if fsplit is not None:
        samples.append((FULL_SAMPLE, rows))
    for level, level_rows in _levels(frame, by, rows):
        samples.append((f"{by} = {_shown(level)}", level_rows))
    if not samples:
        raise ValueError(f"the split column {by!r} has no value in the rows selected")

    fits = []
    for label, sample_rows in samples:
        result = None
        with caught.under(f"sample {label}: "):
            try:
                if sample_rows is None:
                    result = estimator(text, data, **rest)
                else:
                    result = _fit_rows(estimator, text, data, frame, sample_rows, rest, call)
            except ValueError as exc:
                if not str(exc).startswith("no rows left"):
                    raise ValueError(f"sample {label}: {exc}") from None
                warnings.warn(f"skipped: {exc}", EmptySampleWarning)
        caught.issue(stacklevel=4)
        if result is None:
            continue
        done = _finish(result, frame.n_rows, sample_rows, label, rewritten, operators)
        fits += list(done) if isinstance(done, FitList) else [done]
    if not fits:
        raise ValueError(f"no rows left in any sample of {by!r}: every level was skipped")
    return FitList(fits)


def _levels(frame: Frame, by: str, rows: np.ndarray | None) -> list[tuple[Any, np.ndarray]]:
    """Each value of the split column among ``rows`` (None: all), sorted, with its rows in
    increasing order: from the column's hashed codes, sorting only the distinct values."""
    found = frame.codes(by)
    codes = found.codes
    if found.missing is not None or rows is not None:
        codes = codes.copy()
        if found.missing is not None:
            codes[found.missing] = -1
        if rows is not None:
            keep = np.zeros(len(codes), dtype=bool)
            keep[rows] = True
            codes[~keep] = -1
    groups = [g for g in _rows_by_code(codes, found.n_groups) if g.size]
    if not groups:
        return []
    values = pd.Index(frame.values(by, np.array([g[0] for g in groups])))
    try:
        order = values.argsort()
    except TypeError:  # values without a common order: as first seen
        order = np.argsort([g[0] for g in groups])
    return [(values[j], groups[j]) for j in order]


def _rows_by_code(codes: np.ndarray, n_codes: int) -> list[np.ndarray]:
    """The rows of each code 0 .. n_codes - 1, in increasing order (-1: no code)."""
    if n_codes <= 32:  # a pass per level beats a sort
        return [np.flatnonzero(codes == j) for j in range(n_codes)]
    order = np.argsort(codes, kind="stable")  # keeps rows in order within each code
    bounds = np.searchsorted(codes[order], np.arange(n_codes + 1))
    return [order[bounds[j]:bounds[j + 1]] for j in range(n_codes)]


def _shown(level: Any) -> str:
    if isinstance(level, float) and level.is_integer():
        return str(int(level))
    return str(level)


def _subset(subset: Any, frame: Frame, data: Any) -> np.ndarray:
    """The rows ``subset=`` selects: a boolean column of the data (by name), or a boolean
    array or Series of one value per row (a pandas Series aligned on the data's index)."""
    if isinstance(subset, str):
        values = frame.series(subset).to_numpy()
        what = f"the subset column {subset!r}"
    else:
        if isinstance(subset, pd.Series) and isinstance(data, pd.DataFrame) and \
                not subset.index.equals(data.index):
            raise ValueError("subset= is a Series whose index differs from the data's: align "
                             "it (subset.reindex(data.index)) or pass subset.to_numpy()")
        try:
            values = subset.to_numpy() if hasattr(subset, "to_numpy") else np.asarray(subset)
        except Exception:
            raise TypeError(f"subset must be a boolean mask or a column name, not "
                            f"{type(subset).__name__}") from None
        what = "subset="
    if values.ndim != 1 or len(values) != frame.n_rows:
        raise ValueError(f"{what} must have one value per row of the data ({frame.n_rows:,}), "
                         f"not {values.shape[0] if values.ndim else 'a scalar'}")
    if values.dtype == object:
        if any(v is None or v is pd.NA for v in values):
            raise ValueError(f"{what} has missing values: fill them (True or False)")
        if not all(isinstance(v, (bool, np.bool_)) for v in values):
            raise TypeError(f"{what} must be boolean (True for the rows to fit)")
        values = values.astype(bool)
    elif values.dtype != bool:
        raise TypeError(f"{what} must be boolean (True for the rows to fit), not of dtype "
                        f"{values.dtype}")
    rows = np.flatnonzero(values)
    if rows.size == 0:
        raise ValueError(f"{what} selects no rows")
    return rows


def _named(call: Mapping[str, Any], text: str) -> list[str]:
    """Every string of a call (the formula, column names among the options), however
    nested: the columns a sample's fit may read are among the data's columns named in one."""
    found = [text]
    stack: list[Any] = [v for k, v in call.items() if k != "data"]
    while stack:
        value = stack.pop()
        if isinstance(value, str):
            found.append(value)
        elif isinstance(value, Mapping):
            stack += list(value.keys()) + list(value.values())
        elif isinstance(value, (list, tuple, set, frozenset)):
            stack += list(value)
    return found


def _fit_rows(estimator: Callable[..., Any], text: str, data: Any, frame: Frame,
              rows: np.ndarray, rest: dict, call: Mapping[str, Any]) -> Any:
    """The estimator on ``rows`` of the columns the call may read (those whose name appears
    in one of its strings: a superset, never a miss)."""
    named = _named(call, text)
    positions = [j for j, c in enumerate(frame.columns) if any(c in s for s in named)]
    return estimator(text, _take(data, frame, rows, positions), **rest)


def _take(data: Any, frame: Frame, rows: np.ndarray, positions: list[int]) -> Any:
    if isinstance(data, pd.DataFrame):
        return data.iloc[rows, positions]
    import narwhals.stable.v2 as nw

    native = nw.from_native(data, eager_only=True)
    names = [native.columns[j] for j in positions]
    return native.select(names)[rows].to_native()


def _finish(result: Any, n_rows: int, rows: np.ndarray | None, label: str | None,
            rewritten: panel.Rewritten | None, operators: panel.Operators | None) -> Any:
    """The fits of one sample as the caller reads them: masks over the caller's rows, the
    sample's name, the formulas as written, the panel operators kept for new data."""
    fits = list(result) if isinstance(result, FitList) else [result]
    for f in fits:
        if rows is not None:
            mask = np.zeros(n_rows, dtype=bool)
            mask[rows[f.mask]] = True
            object.__setattr__(f, "mask", mask)
        if label is not None:
            object.__setattr__(f, "sample", label)
        if rewritten is not None:
            object.__setattr__(f, "formula", rewritten.display(f.formula))
        if operators is not None:
            object.__setattr__(f, "_panel", operators)
    return FitList(fits) if isinstance(result, FitList) else fits[0]
