"""Multiple estimation: several models spelled by one formula, fitted in one call.

Several dependent variables (``y1 + y2 ~ x | fe``) give one model each; a stepwise function
among the regressors or among the fixed effects gives one model per step, as fixest and
pyfixest define them::

    sw(a, b)     a;  b                    one at a time
    sw0(a, b)    none;  a;  b
    csw(a, b)    a;  a + b                cumulative
    csw0(a, b)   none;  a;  a + b
    mvsw(a, b)   none;  a;  b;  a + b     every combination

Models come in pyfixest's order: fixed-effect steps, then dependent variables, then
regressor steps. Each model keeps its own sample, as if fitted alone (a row missing one of
its columns is dropped from that model only). Models with the same fixed effects and the
same rows share the expensive part: every column any of them needs is absorbed once, in one
call of the engine, and each model's least squares then reads its own columns of the result.
Because the engine's demeaning iterates on all the columns it is given together, a model's
estimates agree with its single fit to the demeaning tolerance, not bit for bit.
"""

from __future__ import annotations

import difflib
import itertools
import re
import warnings
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any, overload

import numpy as np
import pandas as pd

from kestrel import design, estimation, formula, prediction
from kestrel import vcov as cov
from kestrel.data import Frame
from kestrel.results import Fit, Summary

_STEPWISE = re.compile(r"^(sw0?|csw0?|mvsw)\s*\((.*)\)$", re.S)
_MENTION = re.compile(r"(?<![\w.])(sw0?|csw0?|mvsw)\s*\(")


def expand(fml: object) -> list[str] | None:
    """The formulas of the models ``fml`` spells, or None when it spells a single model
    without any multiple-estimation syntax (the caller then fits it as usual). Mistakes in
    the parts that :func:`kestrel.formula.parse` does not see raise ``ValueError``."""
    if not isinstance(fml, str):
        return None
    parts = formula._split_top(fml, "|")
    sides = formula._split_top(parts[0], "~")
    if len(sides) != 2 or not _MENTION.search(fml) and len(_pieces(sides[0])) < 2:
        return None  # one model, or a formula parse() explains what is wrong with
    depvars = _pieces(sides[0])
    if any(_MENTION.search(y) for y in depvars):
        raise ValueError(f"in {fml!r} list several dependent variables with '+' "
                         "('y1 + y2 ~ x'), not with a stepwise function")
    rhs_steps = _steps(sides[1], fml, "regressors")
    fe_index = next((k for k, p in enumerate(parts[1:], 1)
                     if len(formula._split_top(p, "~")) == 1), None)
    fe_steps = [None] if fe_index is None else _steps(parts[fe_index], fml, "fixed effects")
    models: list[str] = []
    for fe in fe_steps:
        tail = []
        for k, part in enumerate(parts[1:], 1):
            if k != fe_index:
                tail.append(" ".join(part.split()))  # the instrumental-variable part as is
            elif fe:
                tail.append(fe)
        for y in depvars:
            for rhs in rhs_steps:
                models.append(" | ".join([f"{y} ~ {rhs or '1'}", *tail]))
    seen: set[str] = set()
    for m in models:
        if m in seen:
            raise ValueError(f"the formula {fml!r} spells the model {m!r} twice")
        seen.add(m)
    return models


def _pieces(text: str) -> list[str]:
    return [" ".join(p.split()) for p in formula._split_top(text, "+")]


def _balanced(text: str) -> bool:
    """Whether brackets close in order: ``a, f(b)`` is, ``a) * sw(b`` (from ``sw(a) * sw(b)``)
    is not."""
    depth = 0
    for ch in text:
        depth += (ch in "([{") - (ch in ")]}")
        if depth < 0:
            return False
    return depth == 0


def _steps(text: str, fml: str, where: str) -> list[str]:
    """The variants of one part of the formula: its text with the stepwise function (at most
    one) replaced by each of its steps."""
    pieces = _pieces(text)
    found = [(j, m) for j, m in ((j, _STEPWISE.match(p)) for j, p in enumerate(pieces))
             if m and _balanced(m.group(2))]
    stray = [p for j, p in enumerate(pieces) if _MENTION.search(p)
             and j not in {i for i, _ in found}]
    if stray:
        raise ValueError(f"in {fml!r}, {stray[0]!r}: a stepwise function must be a term of its "
                         "own among the " + where + " ('y ~ x1 + sw(x2, x3)'); to drop the "
                         "intercept write '0 + sw(...)'")
    if len(found) > 1:
        raise ValueError(f"{fml!r} has more than one stepwise function among the {where}; "
                         "use one per part (mvsw(a, b) gives every combination)")
    if not found:
        return [" + ".join(pieces)]
    j, match = found[0]
    name = match.group(1)
    args = [" ".join(a.split()) for a in formula._split_top(match.group(2), ",")]
    if not all(args):
        raise ValueError(f"{pieces[j]!r} in {fml!r} has an empty argument; "
                         f"write {name}(a, b, ...)")
    if name == "mvsw":
        steps = [list(c) for r in range(len(args) + 1) for c in itertools.combinations(args, r)]
    elif name.startswith("csw"):
        steps = [args[:i + 1] for i in range(len(args))]
    else:
        steps = [[a] for a in args]
    if name in ("sw0", "csw0"):
        steps.insert(0, [])
    return [" + ".join(pieces[:j] + step + pieces[j + 1:]) for step in steps]


@dataclass
class _Group:
    """Models sharing fixed effects, clusters and kept rows, and the columns they need."""

    design: design.Design  # the first model's: fixed effects, clusters and rows
    columns: list[np.ndarray] = field(default_factory=list)
    names: list[str] = field(default_factory=list)
    by_id: dict[int, int] = field(default_factory=dict)
    members: list[tuple[int, Any, Any, design.Design, int, list[int]]] = field(
        default_factory=list)

    def accepts(self, d: design.Design) -> bool:
        g = self.design
        return (g.fe_names == d.fe_names and g.cluster_names == d.cluster_names
                and np.array_equal(g.keep, d.keep))

    def column(self, values: np.ndarray, name: str) -> int:
        """The position of a column in the group's stack, adding it unless the same column
        is there already: the same array (a column of the data), or one of the same name
        with the same values on the kept rows (an indicator or transform built again for
        each model)."""
        j = self.by_id.get(id(values))
        if j is not None:
            return j
        keep = self.design.keep
        for j, (other, other_name) in enumerate(zip(self.columns, self.names)):
            if other_name == name and np.array_equal(other[keep], values[keep]):
                return j
        self.by_id[id(values)] = len(self.columns)
        self.columns.append(values)
        self.names.append(name)
        return len(self.columns) - 1


def fit_all(models: list[str], data: Any, vcov: Any, vcov_kwargs: Any, conv: cov.SSC,
            fixef_tol: float, fixef_maxiter: int, drop_singletons: bool, progress: bool | None,
            ns: formula.Namespace, solver: str = "auto", lean: bool = False) -> FitList:
    """Fit every model of :func:`expand` on ``data`` (options checked by the caller; ``ns``
    the namespace of the formulas' code)."""
    parsed = [formula.parse(text) for text in models]  # every formula read before any work
    vcs = []
    for text, model in zip(models, parsed):
        if model.iv is not None:
            raise ValueError(f"multiple estimation with instrumental variables ({text!r}) is "
                             "not supported; fit each model with its own call")
        vc = cov.parse(vcov, model.fixef_names, vcov_kwargs)
        if vc.kind == "hetero" and vc.hc > 1 and model.fixef:
            raise ValueError(f"vcov={vcov!r} is not available with fixed effects ({text!r}): "
                             "HC2 and HC3 need the leverage of the absorbed dummies, which is "
                             "not computed; use 'hetero' (HC1) or a clustered covariance")
        vcs.append(vc)
    frame = Frame(data)
    if frame.n_rows == 0:
        raise ValueError("the data has no rows")

    # Every model's columns and names before any model's code runs.
    for model, vc in zip(parsed, vcs):
        design.check(model, frame, ns, list(vc.clusters), vc.serial_columns)

    # Designs, grouped by fixed effects, clusters and kept rows.
    groups: list[_Group] = []
    for i, (text, model, vc) in enumerate(zip(models, parsed, vcs)):
        d = design.build(model, frame, list(vc.clusters), ns, serial=vc.serial_columns)
        if not d.x and not model.fixef:
            raise ValueError(f"the model {text!r} has no regressors to estimate")
        if d.n_missing == frame.n_rows:
            raise ValueError(f"no rows left for {text!r}: every row has a missing value in "
                             f"one of {', '.join(d.variables + list(vc.clusters))}")
        group = next((g for g in groups if g.accepts(d)), None)
        if group is None:
            group = _Group(d)
            groups.append(group)
        y = group.column(d.y, d.y_name)
        x = [group.column(c, name) for c, name in zip(d.x, d.x_names)]
        group.members.append((i, model, vc, d, y, x))
        d.y, d.x = np.empty(0), []  # the group holds the columns it needs

    # One sample and one demeaning per group, then each model's least squares.
    fits: list[Fit | None] = [None] * len(models)
    caught: list[warnings.WarningMessage] = []
    for group in groups:
        sample = estimation._sample(group.design, drop_singletons)
        with _record(caught, [models[m[0]] for m in group.members]):
            absorbed = estimation._absorb(group.columns, sample, fixef_tol, fixef_maxiter,
                                          progress, solver)
        # Each fit keeps its y at the rows used (shared by the models of one y) and the
        # fixed effects' labels (shared by the group), for fixef() and predict().
        labels = prediction.labels(frame, group.members[0][1].fixef, sample)
        used_y = {y: group.columns[y][sample["mask"]] for y in {m[4] for m in group.members}}
        sources = [prediction.Source(used_y[y], [group.columns[j] for j in x], labels,
                                     fixef_tol, fixef_maxiter)
                   for _, _, _, _, y, x in group.members]
        group.columns = []
        for (i, model, vc, d, y, x), source in zip(group.members, sources):
            with _record(caught, [models[i]]):
                inference = estimation._inference(vc, conv, d, sample, frame)
                fits[i] = estimation._estimate(models[i], model, vc, conv, d, sample,
                                               inference, None, absorbed, y, x, source,
                                               (fixef_tol, fixef_maxiter, solver), lean)
    for w in caught:
        warnings.warn(w.message, w.category, stacklevel=3)
    return FitList(fits)


class _record:
    """Collects the warnings of one step, each prefixed by the models it concerns, so that
    they are issued once every model is fitted, pointing at the caller's line."""

    def __init__(self, into: list, models: list[str]):
        self.into, self.models = into, models
        self.guard = warnings.catch_warnings(record=True)

    def __enter__(self) -> None:
        self.caught = self.guard.__enter__()
        warnings.simplefilter("always")

    def __exit__(self, *exc: object) -> None:
        self.guard.__exit__(*exc)
        which = ", ".join(map(repr, self.models))
        for w in self.caught:
            w.message = f"{'models' if len(self.models) > 1 else 'model'} {which}: {w.message}"
            self.into.append(w)


def _normal(key: str) -> str:
    return "".join(key.split())


def _key(fit: Fit) -> str:
    """A model's name in a FitList: its formula, and the sample of a split."""
    return fit.formula if fit.sample is None else f"{fit.formula}; {fit.sample}"


class FitList(Sequence[Fit]):
    """The models of a multiple estimation, in order.

    Iterate over it, index it by position (``fits[0]``, ``fits[1:3]``) or by a model's
    key (``fits["y2 ~ x1 | firm"]``, spaces ignored; ``fits.keys()`` lists them), and
    tabulate it with :meth:`etable` or plot it with :meth:`coefplot`. A model's key is its
    formula, followed by its sample for ``split=`` and ``fsplit=``
    (``"y ~ x | firm; sector = b"``); the sample alone (``fits["sector = b"]``) finds the
    model of that sample when it is the only one.
    """

    def __init__(self, fits: Sequence[Fit]):
        self._fits = tuple(fits)
        self._index = {_normal(_key(f)): i for i, f in enumerate(self._fits)}

    def __len__(self) -> int:
        return len(self._fits)

    def __iter__(self) -> Iterator[Fit]:
        return iter(self._fits)

    @overload
    def __getitem__(self, key: int | str) -> Fit: ...
    @overload
    def __getitem__(self, key: slice) -> FitList: ...
    def __getitem__(self, key: int | str | slice) -> Fit | FitList:
        if isinstance(key, slice):
            return FitList(self._fits[key])
        if isinstance(key, str):
            i = self._index.get(_normal(key))
            if i is None:
                same = [j for j, f in enumerate(self._fits)
                        if f.sample is not None and _normal(f.sample) == _normal(key)]
                i = same[0] if len(same) == 1 else None
            if i is None:
                close = difflib.get_close_matches(key, self.keys(), n=3)
                hint = f"; did you mean {' or '.join(map(repr, close))}?" if close else ""
                raise KeyError(f"no model {key!r} among {len(self)}{hint}")
            return self._fits[i]
        return self._fits[key]

    def keys(self) -> list[str]:
        """Each model's key (its formula, and its sample if any), in order."""
        return [_key(f) for f in self._fits]

    def items(self) -> list[tuple[str, Fit]]:
        return [(_key(f), f) for f in self._fits]

    def tidy(self, level: float = 0.95) -> pd.DataFrame:
        """Every model's :meth:`Fit.tidy`, one block of rows per model."""
        return pd.concat([f.tidy(level) for f in self._fits], keys=self.keys(),
                         names=["Model", "Coefficient"])

    def summary(self, level: float = 0.95) -> Summary:
        return Summary("\n\n".join(f.summary(level) for f in self._fits))

    def etable(self, **options: Any) -> str:
        """The models side by side: see :func:`kestrel.etable`."""
        from kestrel.tables import etable

        return etable(self, **options)

    def coefplot(self, **options: Any) -> Any:
        """Estimates and confidence intervals: see :func:`kestrel.coefplot`."""
        from kestrel.plots import coefplot

        return coefplot(self, **options)

    def __repr__(self) -> str:
        lines = [f"<kestrel.FitList: {len(self)} model{'s' * (len(self) != 1)}>"]
        lines += [f"  [{i}] {_key(f)}  ({f.nobs:,} observations)"
                  for i, f in enumerate(self._fits)]
        return "\n".join(lines)
