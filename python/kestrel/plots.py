"""Coefficient plots: estimates with confidence intervals, one colour per model.

matplotlib is an optional extra (``pip install "kestrel[plot]"``), imported only here and
only when a plot is drawn. Coefficients of an ``i(var, ..., ref=...)`` term are drawn in the
order of the levels of ``var``, with each reference level drawn at zero (hollow, without an
interval: it is normalised, not estimated). When every coefficient shown comes from one such
term with numeric levels (an event study on ``i(time, treat, ref=-1)``), the horizontal axis
is ``var`` itself and a dotted line marks the reference period.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from kestrel import formula
from kestrel.results import Fit
from kestrel.tables import _as_fits, _patterns
from kestrel.vcov import show_value

_MISSING = ("kestrel.coefplot needs matplotlib, an optional extra: "
            "pip install \"kestrel[plot]\" (or pip install matplotlib)")


def coefplot(fits: Any, *, level: float = 0.95, keep: str | Sequence[str] | None = None,
             drop: str | Sequence[str] | None = None, labels: Mapping[str, str] | None = None,
             title: str | None = None, ax: Any = None) -> Any:
    """Plot the estimates of ``fits`` (a Fit, a list of fits or a FitList) with their
    ``level`` confidence intervals (t distribution of each fit's covariance convention) and
    return the matplotlib Figure.

    keep, drop: regular expressions selecting coefficients by name, as in
      :func:`kestrel.etable`. labels: display names of coefficients. ax: an existing
      matplotlib Axes to draw into (default: a new figure).
    """
    models = _as_fits(fits)
    if isinstance(level, bool) or not isinstance(level, (int, float)) or not 0 < level < 1:
        raise ValueError(f"coefplot(level={show_value(level)}) must be a number between 0 "
                         "and 1")
    keep_p, drop_p = _patterns(keep, "keep"), _patterns(drop, "drop")
    points = [[p for p in _points(f, level)
               if (keep_p is None or any(r.search(p.name) for r in keep_p))
               and not (drop_p and any(r.search(p.name) for r in drop_p))] for f in models]
    slots = _slots(points)
    if not slots:
        raise ValueError("coefplot has no coefficient to show (check keep= and drop=)")
    event = len({p.group for p in slots.values()}) == 1 and all(
        p.group is not None and p.value is not None for p in slots.values())

    plt = _pyplot()
    if ax is None:
        fig, ax = plt.subplots(figsize=(max(6.0, 0.5 * len(slots) + 2.0), 4.0))
    else:
        fig = ax.figure
    labels = dict(labels or {})
    if event:
        xs = {key: float(p.value) for key, p in slots.items()}
        spacing = np.diff(np.unique(list(xs.values())))
        unit = float(spacing.min()) if spacing.size else 1.0
    else:
        xs = {key: float(j) for j, key in enumerate(slots)}
        unit = 1.0
    width = 0.5 * unit
    for j, (fit, pts) in enumerate(zip(models, points)):
        shift = (j - (len(models) - 1) / 2) * width / max(len(models), 1) if len(models) > 1 else 0
        est = [p for p in pts if not p.reference]
        color = f"C{j % 10}"
        x = np.array([xs[p.key] + shift for p in est])
        b = np.array([p.estimate for p in est])
        lo = np.array([p.low for p in est])
        hi = np.array([p.high for p in est])
        ax.errorbar(x, b, yerr=np.vstack([b - lo, hi - b]) if est else None, fmt="o",
                    color=color, capsize=3,
                    label=(fit.formula if fit.sample is None else f"{fit.formula}; {fit.sample}")
                    if len(models) > 1 else None)
        refs = [p for p in pts if p.reference]
        if refs:
            ax.plot([xs[p.key] + shift for p in refs], [0.0] * len(refs), "o", color=color,
                    markerfacecolor="white", gid="reference")
    ax.axhline(0.0, color="0.5", linewidth=0.8, linestyle="--")
    if event:
        group = next(iter(slots.values())).group
        for key, p in slots.items():
            if p.reference:
                ax.axvline(xs[key], color="0.5", linewidth=0.8, linestyle=":")
        ax.set_xlabel(group[0] if group[1] is None else f"{group[0]} (× {group[1]})")
    else:
        ax.set_xticks(list(xs.values()))
        ax.set_xticklabels([labels.get(p.name, p.name) + (" (ref.)" if p.reference else "")
                            for p in slots.values()],
                           rotation=30 if len(slots) > 4 else 0, ha="right" if len(slots) > 4
                           else "center")
    ax.set_ylabel(f"Estimate and {level * 100:g}% confidence interval")
    if title is not None:
        ax.set_title(title)
    if len(models) > 1:
        ax.legend(fontsize="small")
    fig.tight_layout()
    return fig


def _pyplot() -> Any:
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError(_MISSING) from None
    return plt


@dataclass(frozen=True)
class _Point:
    key: tuple  # the slot on the horizontal axis, shared by the fits that have it
    name: str
    estimate: float
    low: float
    high: float
    group: tuple[str, str | None] | None = None  # (var, x) of an i() term
    value: float | None = None  # the level as a number, when it is one
    order: tuple = ()  # position among the levels of its i() term
    reference: bool = False


def _points(fit: Fit, level: float) -> list[_Point]:
    """The fit's coefficients in order, with the reference levels of its i() terms added
    among their levels."""
    ci = fit.confint(level).to_numpy()
    coef = fit.coef().to_numpy()
    terms = _i_terms(fit)
    out: list[_Point] = []
    seen_groups: set = set()
    for j, name in enumerate(fit.coef_names):
        term, lev = next(((t, lv) for t in terms if (lv := _level(name, t)) is not None),
                         (None, None))
        if term is None:
            out.append(_Point(("coef", name), name, coef[j], ci[j, 0], ci[j, 1]))
            continue
        group = (term.var, term.i_x)
        value = _numeric(lev)
        out.append(_Point(("i", *group, lev), name, coef[j], ci[j, 0], ci[j, 1], group,
                          value, _order(lev, value)))
        if group not in seen_groups:
            seen_groups.add(group)
            for ref in term.i_ref or ():
                text = str(ref)
                value_r = _numeric(text)
                suffix = f":{term.i_x}" if term.i_x else ""
                out.append(_Point(("i", *group, text), f"{term.var}::{text}{suffix}", 0.0, 0.0,
                                  0.0, group, value_r, _order(text, value_r), reference=True))
    return out


def _i_terms(fit: Fit) -> list[formula.Term]:
    try:
        model = formula.parse(fit.formula, slopes=True)
    except (ValueError, TypeError):  # a formula only its own estimator reads
        return []
    return [t for t in model.terms if t.kind == "i"]


def _level(name: str, term: formula.Term) -> str | None:
    prefix, suffix = f"{term.var}::", f":{term.i_x}" if term.i_x else ""
    if name.startswith(prefix) and name.endswith(suffix):
        return name[len(prefix):len(name) - len(suffix)]
    return None


def _numeric(text: str) -> float | None:
    """The level as a finite number, when its text is one (read by float(), not as Python
    source: levels come from the data)."""
    try:
        value = float(text)
    except (ValueError, OverflowError):
        return None
    return value if math.isfinite(value) else None


def _order(text: str, value: float | None) -> tuple:
    return (0, value, "") if value is not None else (1, 0.0, text)


def _slots(points: list[list[_Point]]) -> dict[tuple, _Point]:
    """Every slot of the horizontal axis, in order of first appearance, the levels of each
    i() term sorted among themselves (in the place where the term first appears)."""
    first: dict[tuple, _Point] = {}
    for pts in points:
        for p in pts:
            if p.key not in first or first[p.key].reference and not p.reference:
                first[p.key] = p
    ordered: list[tuple] = []
    placed: set = set()
    for key, p in first.items():
        if p.group is None:
            ordered.append(key)
        elif p.group not in placed:
            placed.add(p.group)
            members = [k for k, q in first.items() if q.group == p.group]
            ordered += sorted(members, key=lambda k: first[k].order)
    return {key: first[key] for key in ordered}
