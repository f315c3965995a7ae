"""The fixed effects' values of a fit, and its predictions on new data.

A fit is a snapshot of the data as they were at the call: it keeps, over the rows it used,
y and y - X beta (the observed regressors), the fixed effects' codes (the engine's copies)
and the labels of their levels, never the caller's frame or columns, which the caller may
edit afterwards. Its regressor terms keep their recipes, to build them again on new data.
The values come from one more engine solve (``_core.fixef_values``) and are kept once
computed.
"""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from kestrel import _core, design
from kestrel.data import Frame
from kestrel.warning_types import (ConvergenceWarning, IrregularFixedEffectsWarning,
                                    UnseenLevelWarning)

if TYPE_CHECKING:
    from kestrel.results import Fit


@dataclass(eq=False)
class Model:
    """What :func:`fixef` and :func:`predict` need from a fit's design and sample, over the
    rows the fit used."""

    y: np.ndarray  # y at the rows used
    r: np.ndarray  # y - X beta at the rows used, with the observed regressors
    x_terms: list[str]  # the formula term of each coefficient ("1": the intercept)
    recipes: dict[str, tuple]
    fe_parts: tuple[tuple[str, ...], ...]  # each fixed effect's columns (joined by ^)
    fe_codes: list[np.ndarray]  # over the rows used, numbered in order of first appearance
    fe_groups: list[int]
    fe_labels: list[pd.Index]  # each fixed effect's levels, by code
    absorbed_dof: int  # rank of the fixed-effect dummies (estimated for three or more)
    tol: float
    maxiter: int
    weights: np.ndarray | None = None  # at the rows used (weighted fits)
    # Varying slopes: per fixed effect None, or (slope variables' names, their values at
    # the rows used, whether the intercept is kept).
    slopes: list | None = None
    cache: dict[str, Any] = field(default_factory=dict)


@dataclass(frozen=True)
class Source:
    """What one call hands its fits for :class:`Model`: the design's full-length regressor
    columns (all of them, in order; read only during the call), y at the rows used, the
    fixed effects' labels and the solver options."""

    y: np.ndarray  # at the rows used
    x: list[np.ndarray]
    fe_labels: list[pd.Index]
    tol: float
    maxiter: int

    def model(self, d: Any, formula: Any, sample: dict, positions: list[int],
              coef: np.ndarray, lean: bool = False,
              weights: np.ndarray | None = None) -> Model | None:
        """The model of a fit whose coefficients ``coef`` are those of the design's
        regressors ``positions`` (``weights``: at the rows used, of a weighted fit). A lean fit keeps only the recipes of its regressors (for
        predictions on new data), and nothing with fixed effects, whose values need the
        rows."""
        if lean:
            if formula.fixef:
                return None
            return Model(y=np.empty(0), r=np.empty(0),
                         x_terms=[d.x_terms[j] for j in positions], recipes=d.recipes,
                         fe_parts=(), fe_codes=[], fe_groups=[], fe_labels=[], absorbed_dof=0,
                         tol=self.tol, maxiter=self.maxiter)
        mask = sample["mask"]
        # y - X beta, each row summed over the coefficients in order (as _core.residuals).
        fitted = np.zeros(len(self.y))
        for j, b in zip(positions, coef):
            fitted += self.x[j][mask] * b
        slopes = "slope_fe" in sample  # every fixed effect's codes, and the slopes
        return Model(y=self.y, r=self.y - fitted, x_terms=[d.x_terms[j] for j in positions],
                     recipes=d.recipes, fe_parts=formula.fixef,
                     fe_codes=sample["slope_fe" if slopes else "fe"],
                     fe_groups=[int(g) for g in sample["slope_groups" if slopes
                                                       else "fe_groups"]],
                     fe_labels=self.fe_labels, slopes=sample.get("slope_raw"),
                     absorbed_dof=int(sample["absorbed_dof"]), tol=self.tol,
                     maxiter=self.maxiter, weights=weights)


def labels(frame: Frame, fe_parts: Sequence[tuple[str, ...]], sample: dict) -> list[pd.Index]:
    """Each fixed effect's labels by code: the values of its columns at the first row of
    each code (codes are numbered in order of first appearance over the rows used)."""
    rows = np.flatnonzero(sample["mask"])
    out = []
    for codes, parts in zip(sample["fe"], fe_parts):
        top = np.maximum.accumulate(codes)
        first = rows[np.flatnonzero(np.r_[True, top[1:] > top[:-1]])] if len(codes) else rows
        arrays = [frame.values(part, first) for part in parts]
        out.append(pd.Index(arrays[0], name=parts[0]) if len(parts) == 1
                   else pd.MultiIndex.from_arrays(arrays, names=parts))
    return out


def fixef(fit: Fit, tol: float | None = None, maxiter: int | None = None) -> dict[str, pd.Series]:
    """The values of each fixed effect, by level (sorted), normalised as fixest and pyfixest
    report them: the first fixed effect carries the level; each later one has its first
    level (per connected component with two fixed effects) at 0."""
    m = _model(fit)
    if not m.fe_codes:
        raise ValueError(f"the fit of {fit.formula!r} has no fixed effects")
    key = f"fixef {tol} {maxiter}"
    if key in m.cache:
        return {name: s.copy() for name, s in m.cache[key].items()}
    tol = m.tol if tol is None else tol
    maxiter = m.maxiter if maxiter is None else maxiter

    order = [_sorted(index) for index in m.fe_labels]
    if m.slopes is not None:
        values = _slope_values(m, order, float(tol), int(maxiter))
        m.cache[key] = values
        return {name: s.copy() for name, s in values.items()}
    # Weighted: the values solve the weighted normal equations of y − Xβ.
    weighting = {} if m.weights is None else {"weights": m.weights}
    out = _core.fixef_values(resid=m.r, fe=m.fe_codes, fe_groups=m.fe_groups,
                             preference=_preference(order), tol=float(tol),
                             max_iter=int(maxiter), **weighting)
    _warn_unconverged(out, tol, stacklevel=4)
    if len(m.fe_codes) > 2 and sum(m.fe_groups) - m.absorbed_dof > len(m.fe_codes) - 1:
        warnings.warn("the fixed effects are not regular (their dummies have more "
                      "redundancies than one per fixed effect after the first): the values "
                      "are one solution among many and only their sums are identified",
                      IrregularFixedEffectsWarning, stacklevel=3)
    values = {name: pd.Series(np.asarray(v)[o], index=index[o], name=name)
              for name, v, index, o in zip(fit.fixef, out["values"], m.fe_labels, order)}
    m.cache[key] = values
    return {name: s.copy() for name, s in values.items()}


def _preference(order: list[np.ndarray]) -> list[np.ndarray]:
    """Each level's rank in ``order`` (the engine's normalisation prefers the first)."""
    out = []
    for o in order:
        rank = np.empty(len(o), dtype=np.int32)
        rank[o] = np.arange(len(o), dtype=np.int32)
        out.append(rank)
    return out


def _warn_unconverged(out: dict, tol: float, stacklevel: int) -> None:
    if not out["converged"]:
        warnings.warn(f"the fixed effects' values did not converge in {out['iterations']:,} "
                      f"iterations to tol={tol:g}; raise maxiter", ConvergenceWarning,
                      stacklevel=stacklevel)


def _slope_values(m: Model, order: list[np.ndarray], tol: float,
                  maxiter: int) -> dict[str, pd.Series]:
    """The values of fixed effects with varying slopes: per fixed effect its intercepts
    (named as the fixed effect, "id") and its slopes on each variable ("id[[year]]"), by
    level (sorted). They are the coefficients of the engine's demeaning of y less those of
    Xβ (with the fit's weights) on every fixed effect's terms, as absorbed in the fit (slope
    variables centred beside an intercept and scaled by a power of two); the intercepts
    are then normalised as without slopes (one more engine solve of their sum). Slopes
    that the other fixed effects make redundant (``id[year] + year``: one common trend)
    are one solution among many."""
    n = len(m.r)
    columns, layout, units = design.slope_terms(m.slopes or [])
    blocks = []
    for g, raw, (shifts, powers) in zip(m.fe_groups, m.slopes or [], units):
        names, _, intercept = ((), [], True) if raw is None else raw
        blocks.append((g, (1 if intercept else 0) + len(shifts), intercept, list(names),
                       shifts, powers))
    extra = {} if m.weights is None else {"weights": m.weights}
    # y − Xβ lies (nearly) in the fixed effects' span, where no solver can tell its last
    # digits from rounding; y and Xβ do not, and the values are y's less Xβ's.
    out = _core.absorb(columns=[np.ascontiguousarray(m.y), np.ascontiguousarray(m.y - m.r)],
                       mask=np.ones(n, dtype=bool),
                       fe=m.fe_codes, fe_groups=m.fe_groups, tol=tol, max_iter=maxiter,
                       solver="auto", progress=None, slopes=columns, slope_layout=layout,
                       coefficients=True, **extra)
    _warn_unconverged(out, tol, stacklevel=5)
    found = np.asarray(out["coefficients"][0]) - np.asarray(out["coefficients"][1])
    c, at = [], 0
    for g, k, *_ in blocks:
        c.append(found[at:at + g * k].reshape(g, k))
        at += g * k
    # Back to the slope variables' units: a + b·(x − s)·2^-p = (a − b·s·2^-p) + (b·2^-p)·x.
    intercepts, slopes = [], []
    for (g, k, intercept, names, shifts, powers), cq in zip(blocks, c):
        first_slope = 1 if intercept else 0
        b = [np.ldexp(cq[:, first_slope + t], -p) for t, p in enumerate(powers)]
        a = cq[:, 0].copy() if intercept else None
        if a is not None:
            for bt, s in zip(b, shifts):
                a -= bt * s
        intercepts.append(a)
        slopes.append(list(zip(names, b)))
    # The intercepts normalised as without slopes: their sum at each row, solved again
    # for values of the engine's normalisation.
    with_intercept = [j for j, a in enumerate(intercepts) if a is not None]
    if len(with_intercept) > 1:
        total = np.zeros(n)
        for j in with_intercept:
            total += intercepts[j][m.fe_codes[j]]
        out = _core.fixef_values(resid=total, fe=[m.fe_codes[j] for j in with_intercept],
                                 fe_groups=[m.fe_groups[j] for j in with_intercept],
                                 preference=_preference([order[j] for j in with_intercept]),
                                 tol=tol, max_iter=maxiter)
        for j, v in zip(with_intercept, out["values"]):
            intercepts[j] = np.asarray(v)
    values: dict[str, pd.Series] = {}
    for j, (parts, index, o) in enumerate(zip(m.fe_parts, m.fe_labels, order)):
        name = "^".join(parts)
        if intercepts[j] is not None:
            values[name] = pd.Series(intercepts[j][o], index=index[o], name=name)
        for var, b in slopes[j]:
            values[f"{name}[[{var}]]"] = pd.Series(b[o], index=index[o],
                                                   name=f"{name}[[{var}]]")
    return values


def predict(fit: Fit, newdata: Any = None, context: Any = None) -> np.ndarray:
    """Fitted values with the fixed effects: of the rows used (``newdata=None``), or of every
    row of ``newdata``, NaN where a value is missing or a level was not seen in the fit.
    ``context``: the namespace of the formula's code (:func:`kestrel.design.rebuild`)."""
    if fit.lean and newdata is not None and fit._model is not None:
        m = fit._model  # a lean fit without fixed effects predicts from its recipes
    else:
        m = _model(fit)
    if newdata is None:
        return m.y - fit._resid
    if fit._panel is not None:  # lags and differences: computed within newdata
        newdata = fit._panel.apply(newdata)
    frame = Frame(newdata)
    for part in (p for parts in m.fe_parts for p in parts):
        frame.series(part)  # before any code of the formula runs
    columns, missing, unseen = design.rebuild(m.recipes, list(dict.fromkeys(m.x_terms)), frame,
                                              context)
    pred = np.zeros(frame.n_rows)
    for name, b in zip(fit.coef_names, fit._coef):
        pred += b * columns[name]
    if m.fe_codes:
        values = fixef(fit)
        for j, parts in enumerate(m.fe_parts):
            for part in parts:
                gone = frame.missing(part)
                if gone is not None:
                    missing |= gone
            # Its intercepts and, with varying slopes, each slope times its variable.
            name = "^".join(parts)
            raw = m.slopes[j] if m.slopes is not None else None
            terms: list[tuple[str, Any]] = [(name, None)]
            if raw is not None:
                slopes = [(f"{name}[[{var}]]", frame.floats(var, "slope variable"))
                          for var in raw[0]]
                terms = terms + slopes if raw[2] else slopes
                for _, x in slopes:
                    missing |= ~np.isfinite(x)
            index = values[terms[0][0]].index
            codes = index.get_indexer(_keys(frame, parts))
            unseen |= (codes < 0) & ~missing
            for label, x in terms:
                v = values[label].to_numpy()[codes]
                pred += np.where(codes >= 0, v if x is None else v * x, np.nan)
    pred[missing | unseen] = np.nan
    if unseen.any():
        warnings.warn(f"{np.count_nonzero(unseen):,} of {frame.n_rows:,} rows of newdata have "
                      "a level the fit did not see (of a fixed effect or a categorical "
                      "regressor): their predictions are NaN", UnseenLevelWarning, stacklevel=3)
    return pred


def _model(fit: Fit) -> Model:
    if fit.lean and (fit._model is None or fit._model.y.size == 0):
        raise ValueError("a lean fit (lean=True) keeps no rows: residuals, fitted values "
                         "of the rows used and the fixed effects' values need them; fit "
                         "again without lean=True")
    if fit._model is None:
        raise ValueError("this fit does not keep its design: fixed effects and predictions "
                         "are not available")
    return fit._model


def _sorted(index: pd.Index) -> np.ndarray:
    """The order of a fixed effect's levels: sorted, or as first seen when its values have
    no common order (an object column mixing types)."""
    try:
        return index.argsort()
    except TypeError:
        return np.arange(len(index))


def _keys(frame: Frame, parts: tuple[str, ...]) -> Any:
    """The identifier values of new data, read as the fit's labels were (the values of
    missing rows are arbitrary: the caller marks them)."""
    arrays = [frame.values(p) for p in parts]
    return pd.Index(arrays[0]) if len(parts) == 1 else pd.MultiIndex.from_arrays(arrays)
