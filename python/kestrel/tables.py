"""Regression tables: several fits side by side, as text, Markdown or LaTeX.

The layout is the one economics papers use (fixest's and pyfixest's ``etable``, Stata's
``esttab``): one column per model headed by its dependent variable and number; each
coefficient with its standard error (or t statistic) in parentheses on the line below and
significance stars; then a row per fixed effect marking the models that have it, the
covariance type, the weights (when a model has them), the number of observations, R² and
within R².

Stars default to the thresholds of economics journals and fixest's ``etable``: ``***``
p < 0.01, ``**`` p < 0.05, ``*`` p < 0.1 (p from each fit's own t distribution, so with the
degrees of freedom of its covariance convention). The table's note says which are used.
"""

from __future__ import annotations

import math
import numbers
import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from kestrel.results import Fit
from kestrel.vcov import show_value

STARS = {"***": 0.01, "**": 0.05, "*": 0.1}
INTERCEPT = "Intercept"
_TYPES = ("text", "md", "tex")
_STATS = {"se": "Standard errors", "t": "t statistics"}


class Table(str):
    """The text of a table; shows as the table itself in a REPL, and as Markdown in a
    notebook when it is one."""

    kind = "text"

    def __repr__(self) -> str:
        return str(self)

    def _repr_markdown_(self) -> str | None:
        return str(self) if self.kind == "md" else None


def etable(fits: Any, type: str = "text", *, stat: str = "se", digits: int = 4,
           stars: bool | Mapping[str, float] = True, keep: str | Sequence[str] | None = None,
           drop: str | Sequence[str] | None = None, labels: Mapping[str, str] | None = None,
           fe: bool = True, notes: str | None = None) -> Table:
    """A table of ``fits`` (a :class:`kestrel.Fit`, a list of fits, or the
    :class:`kestrel.FitList` of a multiple estimation), one column per model.

    type: "text" (fixed-width, for the console or a log), "md" (a Markdown pipe table) or
      "tex" (a LaTeX ``tabular`` with booktabs rules: ``\\usepackage{booktabs}``).
    stat: what goes in parentheses below each coefficient: "se" (standard error) or "t".
    digits: significant digits of estimates, standard errors and R² (as fixest's etable).
    stars: True for ``***`` p < 0.01, ``**`` p < 0.05, ``*`` p < 0.1; False for none; or a
      mapping such as ``{"***": 0.001, "**": 0.01, "*": 0.05}``.
    keep, drop: regular expressions (one or a list); coefficients whose name matches one
      (``re.search``) are kept or dropped. Rows: the intercept first, then the other
      coefficients in order of first appearance.
    labels: display names of coefficients, dependent variables and fixed effects.
    fe: show the fixed-effect rows.
    notes: the line below the table (None: which statistic is in parentheses and the stars).
    """
    models = _as_fits(fits)
    if type not in _TYPES:
        raise ValueError(f"etable(type={type!r}) must be one of {', '.join(map(repr, _TYPES))}")
    if stat not in _STATS:
        raise ValueError(f"etable(stat={stat!r}) must be 'se' or 't'")
    if isinstance(digits, bool) or not isinstance(digits, numbers.Integral) or \
            not 1 <= digits <= 15:
        raise ValueError(f"etable(digits={show_value(digits)}) must be an integer from 1 to 15")
    digits = int(digits)
    levels = _stars(stars)
    labels = dict(labels or {})
    cells = _cells(models, stat, digits, levels, _patterns(keep, "keep"),
                   _patterns(drop, "drop"), labels, fe)
    if notes is None:
        notes = f"{_STATS[stat]} in parentheses."
        if levels:
            notes += " " + ", ".join(f"{s} p < {p:g}" for s, p in levels) + "."
    render = {"text": _text, "md": _markdown, "tex": _latex}[type]
    table = Table(render(cells, notes))
    table.kind = type
    return table


def _as_fits(fits: Any) -> list[Fit]:
    """The fits of a Fit, a list of fits, or a :class:`kestrel.FitList` (or a list of those):
    a FitList is read as the sequence of fits it is, so this module needs no estimator."""
    items = [fits] if isinstance(fits, Fit) else fits
    try:
        items = list(items)
    except TypeError:
        raise TypeError("etable takes a Fit, a list of fits or a FitList, not "
                        f"{type(fits).__name__}") from None
    out: list[Fit] = []
    for item in items:
        if isinstance(item, Fit):
            out.append(item)
        elif _fit_sequence(item):
            out.extend(item)
        else:
            raise TypeError(f"etable takes fits from kestrel.feols, not {type(item).__name__}")
    if not out:
        raise ValueError("etable needs at least one fit")
    return out


def _fit_sequence(item: Any) -> bool:
    """Whether ``item`` is a :class:`kestrel.FitList`: a sequence of fits, but not a list
    or tuple (lists of fits do not nest)."""
    return (isinstance(item, Sequence) and not isinstance(item, (str, list, tuple))
            and all(isinstance(f, Fit) for f in item))


def _stars(stars: Any) -> list[tuple[str, float]]:
    if stars is True:
        stars = STARS
    if stars is False or stars is None:
        return []
    if not isinstance(stars, Mapping) or not all(
            isinstance(s, str) and isinstance(p, (int, float)) and not isinstance(p, bool)
            and 0 < p < 1 for s, p in stars.items()):
        raise ValueError(f"etable(stars={show_value(stars)}) must be True, False or a mapping "
                         "of symbols to p-value thresholds such as {'**': 0.01, '*': 0.05}")
    return sorted(stars.items(), key=lambda item: item[1])


def _patterns(value: Any, name: str) -> list[re.Pattern] | None:
    if value is None:
        return None
    items = [value] if isinstance(value, str) else list(value)
    try:
        return [re.compile(p) for p in items]
    except (re.error, TypeError) as exc:
        raise ValueError(f"etable({name}={value!r}) must be regular expressions: {exc}") from None


@dataclass
class _Cells:
    """The table before rendering: each panel is a list of rows (label, one cell per model);
    a coefficient row is followed by its row of statistics in parentheses (label "")."""

    heads: list[list[str]]  # the dependent variables, the model numbers
    panels: list[list[tuple[str, list[str]]]]
    n_models: int


def _cells(models: list[Fit], stat: str, digits: int, levels: list[tuple[str, float]],
           keep: list[re.Pattern] | None, drop: list[re.Pattern] | None,
           labels: dict[str, str], show_fe: bool) -> _Cells:
    # The intercept on top, where tables in economics put it, even when the first model has
    # none (fixed effects); the other coefficients in order of first appearance.
    names: dict[str, None] = {}
    for f in models:
        names.update(dict.fromkeys(n for n in f.coef_names if n == INTERCEPT))
    for f in models:
        names.update(dict.fromkeys(f.coef_names))
    shown = [n for n in names if (keep is None or any(p.search(n) for p in keep))
             and not (drop and any(p.search(n) for p in drop))]
    coef_rows: list[tuple[str, list[str]]] = []
    for name in shown:
        est, below = [], []
        for f in models:
            if name not in f.coef_names:
                est.append("")
                below.append("")
                continue
            j = f.coef_names.index(name)
            b, se = float(f._coef[j]), float(f._std_errors()[j])
            p = float(f.pvalue().iloc[j])
            mark = next((s for s, bound in levels if p < bound), "")
            est.append(_number(b, digits) + ("\x00" + mark if levels else ""))
            below.append(f"({_number(b / se if stat == 't' else se, digits)})")
        coef_rows += [(labels.get(name, name), est), ("", below)]

    fe_names: dict[str, None] = {}
    for f in models:
        fe_names.update(dict.fromkeys(f.fixef))
    fe_rows = [(labels.get(n, n), ["x" if n in f.fixef else "-" for f in models])
               for n in fe_names] if show_fe else []
    if fe_rows:
        fe_rows.insert(0, ("Fixed effects:", [""] * len(models)))

    # GLM fits (kestrel.fepois, kestrel.feglm) show their deviance and pseudo R² where
    # least-squares fits show R²; a table mixing both has both rows, "-" where a row does
    # not apply.
    glm = [hasattr(f, "pseudo_r2") for f in models]
    stats = [("Sample", [f.sample or "-" for f in models])] \
        if any(f.sample for f in models) else []
    stats += [("S.E. type", [_vcov_label(f) for f in models]),
              ("Observations", [f"{f.nobs:,}" for f in models])]
    if any(f.weights is not None for f in models):
        stats.insert(1, ("Weights", [_weights_label(f) for f in models]))
    if not all(glm):
        stats.append(("R²", ["-" if g else _number(f.r2, digits)
                             for f, g in zip(models, glm)]))
        if fe_names:
            stats.append(("Within R²", [_number(f.r2_within, digits) if f.fixef and not g
                                        else "-" for f, g in zip(models, glm)]))
    if any(glm):
        stats.append(("Deviance", [_number(f.deviance, digits) if g else "-"
                                   for f, g in zip(models, glm)]))
        stats.append(("Pseudo R²", [_number(f.pseudo_r2, digits) if g else "-"
                                    for f, g in zip(models, glm)]))
    heads = [[labels.get(f.depvar, f.depvar) for f in models],
             [f"({i})" for i in range(1, len(models) + 1)]]
    panels = [p for p in (coef_rows, fe_rows, stats) if p]
    return _Cells(heads, panels, len(models))


def _weights_label(f: Fit) -> str:
    if f.weights is None:
        return "-"
    return f.weights + (" (freq.)" if f.weights_type == "fweights" else "")


def _vcov_label(f: Fit) -> str:
    if f.vcov_type.kind == "cluster":
        return "by: " + " & ".join(f.vcov_type.clusters)
    return f.vcov_type.label


def _number(v: float, digits: int) -> str:
    """``digits`` significant digits in fixed notation (all of a large number's integer
    digits, with thousands separators); scientific notation below 1e-(digits + 2)."""
    if not math.isfinite(v):
        return "NaN" if math.isnan(v) else ("Inf" if v > 0 else "-Inf")
    if v == 0:
        return "0"
    decimals = digits - 1 - math.floor(math.log10(abs(v)))
    if decimals > digits + 4:
        return f"{v:.{digits - 1}e}"
    text = f"{v:,.{max(decimals, 0)}f}"
    return "0" if text in ("-0", "0") else text


# Rendering ----------------------------------------------------------------------------------
def _split_stars(cell: str, width: int) -> str:
    """A cell with its stars padded to ``width``, so that numbers line up on the right."""
    number, _, mark = cell.partition("\x00")
    return number + mark.ljust(width)


def _text(c: _Cells, notes: str) -> str:
    star_w = max((len(cell.partition("\x00")[2]) for p in c.panels for _, row in p
                  for cell in row), default=0)
    rows: list[list[str] | None] = [["", *(_split_stars(x, star_w) for x in h)]
                                    for h in c.heads]
    for panel in c.panels:
        rows.append(None)  # a rule
        rows += [[label, *(_split_stars(x, star_w) for x in cells)] for label, cells in panel]
    widths = [max(len(r[j]) for r in rows if r is not None) for j in range(c.n_models + 1)]
    width = sum(widths) + 3 * c.n_models
    lines = []
    for r in rows:
        if r is None:
            lines.append("-" * width)
        else:
            lines.append((r[0].ljust(widths[0]) + "".join(
                "   " + x.rjust(w) for x, w in zip(r[1:], widths[1:]))).rstrip())
    lines += ["-" * width, notes] if notes else ["-" * width]
    return "\n".join(lines)


def _markdown(c: _Cells, notes: str) -> str:
    def row(cells: Sequence[str]) -> str:
        return "| " + " | ".join(_md(x) for x in cells) + " |"

    lines = [row(["", *c.heads[0]]), "|:---" + "|---:" * c.n_models + "|",
             row(["", *c.heads[1]])]
    for panel in c.panels:
        lines += [row([label, *cells]) for label, cells in panel]
    if notes:
        lines += ["", _md(notes)]
    return "\n".join(lines)


def _md(text: str) -> str:
    """Pipes and stars escaped: a run of stars would otherwise open or close emphasis."""
    return text.replace("\x00", "").replace("|", "\\|").replace("*", "\\*")


_TEX = {"\\": r"\textbackslash{}", "&": r"\&", "%": r"\%", "$": r"\$", "#": r"\#",
        "_": r"\_", "{": r"\{", "}": r"\}", "~": r"\textasciitilde{}",
        "^": r"\textasciicircum{}", "²": "$^2$", "<": "$<$", ">": "$>$"}


def _tex(text: str) -> str:
    return "".join(_TEX.get(ch, ch) for ch in text)


def _latex(c: _Cells, notes: str) -> str:
    m = c.n_models

    def cell(x: str) -> str:
        number, sep, mark = x.partition("\x00")
        return _tex(number) + (f"$^{{{_tex(mark)}}}$" if sep and mark else "")

    def row(label: str, cells: Sequence[str]) -> str:
        return " & ".join([_tex(label), *map(cell, cells)]) + r" \\"

    # Consecutive models with the same dependent variable share its heading.
    runs: list[tuple[str, int, int]] = []
    for j, y in enumerate(c.heads[0], start=2):
        if runs and runs[-1][0] == y:
            runs[-1] = (y, runs[-1][1], j)
        else:
            runs.append((y, j, j))
    heads = [_tex(y) if a == b else rf"\multicolumn{{{b - a + 1}}}{{c}}{{{_tex(y)}}}"
             for y, a, b in runs]
    lines = [rf"\begin{{tabular}}{{l{'c' * m}}}", r"\toprule", " & ".join(["", *heads]) + r" \\"]
    if any(a < b for _, a, b in runs):
        lines.append(" ".join(rf"\cmidrule(lr){{{a}-{b}}}" for _, a, b in runs))
    lines.append(row("", c.heads[1]))
    for panel in c.panels:
        lines.append(r"\midrule")
        lines += [row(label, cells) for label, cells in panel]
    lines.append(r"\bottomrule")
    if notes:
        lines.append(rf"\multicolumn{{{m + 1}}}{{l}}{{\footnotesize {_tex(notes)}}} \\")
    lines.append(r"\end{tabular}")
    return "\n".join(lines)
