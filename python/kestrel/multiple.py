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
regressor steps (:func:`kestrel.formula.expand` spells them out). Each model keeps its own sample, as if fitted alone (a row missing one of
its columns is dropped from that model only). Models with the same fixed effects and the
same rows share the expensive part: every column any of them needs is absorbed once, in one
call of the engine, and each model's least squares then reads its own columns of the result.
Because the engine's demeaning iterates on all the columns it is given together, a model's
estimates agree with its single fit to the demeaning tolerance, not bit for bit.
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from kestrel import design, formula, linear, prediction, steps
from kestrel import vcov as cov
from kestrel.data import Frame
from kestrel.fitlist import FitList
from kestrel.results import Fit
from kestrel.warning_types import Collector

@dataclass
class _Group:
    """Models sharing fixed effects, clusters and kept rows, and the columns they need."""

    design: design.Design  # the first model's: fixed effects, clusters and rows
    slopes: tuple  # the varying slopes' variables, as the formula spells them
    columns: list[np.ndarray] = field(default_factory=list)
    names: list[str] = field(default_factory=list)
    by_id: dict[int, int] = field(default_factory=dict)
    members: list[tuple[int, Any, Any, design.Design, int, list[int]]] = field(
        default_factory=list)

    def accepts(self, d: design.Design, slopes: tuple) -> bool:
        g = self.design
        return (g.fe_names == d.fe_names and g.cluster_names == d.cluster_names
                and self.slopes == slopes and np.array_equal(g.keep, d.keep))

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
            options: steps.FitOptions, ns: formula.Namespace) -> FitList:
    """Fit every model of :func:`kestrel.formula.expand` on ``data`` (``options`` checked
    by the caller, its weights those of every model; ``ns`` the namespace of the formulas'
    code)."""
    # Every formula read before any work.
    parsed = [formula.parse(text, slopes=True) for text in models]
    vcs = []
    for text, model in zip(models, parsed):
        if model.iv is not None:
            raise ValueError(f"multiple estimation with instrumental variables ({text!r}) is "
                             "not supported; fit each model with its own call")
        vc = cov.parse(vcov, model.fixef_names, vcov_kwargs)
        steps.check_weighted_vcov(vc, vcov, options)
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
    w = steps.read_weights(frame, options.weights, options.weights_type)

    # Designs, grouped by fixed effects, clusters and kept rows.
    groups: list[_Group] = []
    for i, (text, model, vc) in enumerate(zip(models, parsed, vcs)):
        d = design.build(model, frame, list(vc.clusters), ns, serial=vc.serial_columns,
                         weights=w)
        if not d.x and not model.fixef:
            raise ValueError(f"the model {text!r} has no regressors to estimate")
        steps.check_rows_left(d, frame, vc, w, text)
        group = next((g for g in groups if g.accepts(d, model.slopes)), None)
        if group is None:
            group = _Group(d, model.slopes)
            groups.append(group)
        y = group.column(d.y, d.y_name)
        x = [group.column(c, name) for c, name in zip(d.x, d.x_names)]
        group.members.append((i, model, vc, d, y, x))
        d.y, d.x = np.empty(0), []  # the group holds the columns it needs

    # One sample and one demeaning per group, then each model's least squares. Warnings
    # wait until every model is fitted, each naming the models it concerns.
    fits: list[Fit | None] = [None] * len(models)
    caught = Collector()
    for group in groups:
        # Varying slopes: the fixed effects with an intercept are the fits' own (clusters,
        # nesting), every fixed effect is absorbed (see kestrel.steps.slope_sample).
        fe_design, codes = group.design, "fe"
        with caught.under(_concerning([models[m[0]] for m in group.members])):
            if group.slopes:
                sample, fe_design = steps.slope_sample(group.design, options.drop_singletons,
                                                       w)
                codes = "slope_fe"
                absorbed, sample = steps.absorb_slopes(group.columns, sample, options, w)
            else:
                sample = steps.sample(group.design, options.drop_singletons, w)
                absorbed = steps.absorb(group.columns, sample, options, w)
        # Each fit keeps its y at the rows used (shared by the models of one y) and the
        # fixed effects' labels (shared by the group), for fixef() and predict().
        labels = prediction.labels(frame, group.members[0][1].fixef,
                                   dict(sample, fe=sample[codes]))
        used_y = {y: group.columns[y][sample["mask"]] for y in {m[4] for m in group.members}}
        sources = [prediction.Source(used_y[y], [group.columns[j] for j in x], labels,
                                     options.fixef_tol, options.fixef_maxiter)
                   for _, _, _, _, y, x in group.members]
        group.columns = []
        for (i, model, vc, d, y, x), source in zip(group.members, sources):
            with caught.under(_concerning([models[i]])):
                d_fit = d_inference = d
                if group.slopes:  # as kestrel.feols' fit with slopes
                    d_fit = dataclasses.replace(d, fe_names=fe_design.fe_names)
                    d_inference = dataclasses.replace(d_fit, fe=fe_design.fe)
                inference = steps.inference(vc, conv, d_inference, sample, frame, w)
                fit = linear.estimate(models[i], model, vc, conv, d_fit, sample, inference,
                                      None, absorbed, y, x, source, options, w)
                fits[i] = steps.with_slope_labels(fit, model, sample) if group.slopes \
                    else fit
    caught.issue(stacklevel=3)
    return FitList(fits)


def _concerning(models: list[str]) -> str:
    """The prefix of a warning about these models."""
    return f"{'models' if len(models) > 1 else 'model'} {', '.join(map(repr, models))}: "
