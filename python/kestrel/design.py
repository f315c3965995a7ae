"""From a parsed formula and a frame to the engine's inputs.

The engine takes full-length columns and a mask of the rows to use, so plain numeric
columns go to it as views of the caller's data. Only what has to be computed becomes a new
array: indicator columns of ``C(g)`` and ``i(g)`` (built here from one factorisation, since
formulaic's general encoder takes a large multiple of the engine's time at 10^6 rows),
combined fixed effects, and the terms formulaic materialises (interactions, transforms,
anything else), which it evaluates at the usable rows only.

No code of a formula runs before every column and name it reads is known to exist
(:func:`resolve`), and, with a restricted namespace, the code is checked to keep to what it
allows.
"""

from __future__ import annotations

import ast
import re
import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd
from formulaic import Formula, SimpleFormula, model_matrix
from formulaic.errors import FormulaicError

from kestrel import _core
from kestrel.data import Frame
from kestrel.formula import ModelFormula, Namespace, Term, _message, _shown, check_restricted
from kestrel.formula import namespace as _namespace


@dataclass
class Design:
    """Engine inputs over all ``n0`` rows of the caller's data; ``keep`` marks the rows
    without a missing value in any column the model reads."""

    y: np.ndarray
    y_name: str
    x: list[np.ndarray]
    x_names: list[str]
    fe: list[np.ndarray]
    fe_names: list[str]
    clusters: list[np.ndarray]
    cluster_names: list[str]
    keep: np.ndarray
    n_missing: int
    x_terms: list[str] = field(default_factory=list)  # the term of each x column ("1": intercept)
    # How each regressor term's columns were built, to build them again on new data
    # (:func:`rebuild`): ("column", var), ("indicators", term, levels used, levels seen) or
    # ("formulaic", formulaic's encoding of the term, names, the terms encoded together,
    # the namespace kept to evaluate them, the formula).
    recipes: dict[str, tuple] = field(default_factory=dict)
    variables: list[str] = field(default_factory=list)  # the data's columns the model reads
    n_zero_weight: int = 0  # rows without a missing value whose weight is 0 (not kept)
    # Varying slopes: [] when none; else per fixed effect None or (its slope variables as
    # float64 columns over all rows, whether its intercept is kept, their names).
    slopes: list = field(default_factory=list)


def resolve(model: ModelFormula, frame: Frame, ns: Namespace) -> dict[str, tuple[str, ...]]:
    """The columns each term of ``model`` (and its dependent variable) reads, by label, and
    the model's fixed effects' columns under ``"|"``. A name of a term's code that is not a
    column must be in ``ns``: an unknown column raises ``KeyError`` and an unknown function
    ``ValueError``, here, before any code of the formula runs. With a restricted namespace,
    the code must also keep to what it allows (:func:`kestrel.formula.check_restricted`)."""
    columns = set(frame.columns)
    reads: dict[str, tuple[str, ...]] = {}
    for term in (model.depvar, *model.terms):
        if not term.code:
            for name in term.variables:
                frame.series(name)  # raises KeyError naming an unknown column
            reads[term.label] = term.variables
            continue
        found = []
        for name in term.variables:
            if name in columns:
                found.append(name)
            elif not ns.has(name) or ns.restricted:
                if any(name in c.callees for c in term.code):
                    raise ValueError(f"cannot evaluate {term.label} of {_shown(model.text)}: "
                                     f"{name!r} is neither a column nor a function the formula "
                                     "can see" + (" (context='restricted')" if ns.restricted
                                                  else " (define it, or pass it with "
                                                  "context={...})"))
                frame.series(name)  # raises KeyError naming it
        _check_contrasts(term, columns, model.text)
        if ns.restricted:
            check_restricted(term, columns, model.text)
        reads[term.label] = tuple(found)
    reads["|"] = tuple(p for parts in model.fixef for p in parts) + tuple(
        v for slope in model.slopes if slope is not None for v in slope[0])
    for name in reads["|"]:
        frame.series(name)
    return reads


def check(model: ModelFormula, frame: Frame, ns: Namespace, cluster_names: Sequence[str],
          serial: Sequence[str] = ()) -> dict[str, tuple[str, ...]]:
    """:func:`resolve`, and the clustering and serial-correlation columns known to exist:
    every check of the data's columns a design makes before its work starts."""
    reads = resolve(model, frame, ns)
    for name in [p for c in cluster_names for p in c.split("^")] + list(serial):
        frame.series(name)
    return reads


def _check_contrasts(term: Term, columns: set, fml: str) -> None:
    """``C(g, fs)`` with a column ``fs``: C's second argument is its coding."""
    for code in term.code:
        for node in ast.walk(code.tree):
            if isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and \
                    node.func.id == "C" and len(node.args) > 1 and \
                    isinstance(node.args[1], ast.Name):
                name = code.aliases.get(node.args[1].id, node.args[1].id)
                if name in columns:
                    raise ValueError(f"in {_shown(term.label)} of {_shown(fml)}, the second "
                                     "argument of C() is its coding (such as contr.sum or "
                                     f"contr.treatment('a')), not the column {name!r}; "
                                     f"interact with ':' for C(g):{name}")


def _variables(reads: Mapping[str, tuple[str, ...]]) -> list[str]:
    return list(dict.fromkeys(v for names in reads.values() for v in names))


def build(model: ModelFormula, frame: Frame, cluster_names: list[str],
          ns: Namespace, serial: Sequence[str] = (), weights: Any = None) -> Design:
    """``ns``: the names the formula's code may use (:func:`kestrel.formula.namespace`).
    ``serial``: the time and panel columns of a Newey–West or Driscoll–Kraay covariance,
    read by :mod:`kestrel.vcov`; here only their missing values drop rows. ``weights``:
    the fit's :class:`kestrel.estimation.Weights`, whose missing values drop rows and
    whose zeros drop the others (before any transform learns from the rows)."""
    cluster_parts = [tuple(name.split("^")) for name in cluster_names]
    reads = check(model, frame, ns, cluster_names, serial)  # before any work
    variables = _variables(reads)
    if model.depvar.kind == "lookup":
        frame.floats(model.depvar.var, "dependent variable")
    for term in model.terms:
        if term.kind == "i" and term.i_x is not None:
            frame.floats(term.i_x, f"variable of {term.label}")

    ids: dict[str, np.ndarray] = {}
    fe = [combined(frame, parts, ids) for parts in model.fixef]
    slopes = [None if slope is None else
              ([frame.floats(v, f"slope variable of {label}") for v in slope[0]], slope[1],
               list(slope[0]))
              for slope, label in zip(model.slopes, model.fixef_labels)]
    clusters = [combined(frame, parts, ids) for parts in cluster_parts]
    keep = np.ones(frame.n_rows, dtype=bool)
    for name in dict.fromkeys(variables + [p for ps in cluster_parts for p in ps]
                              + list(serial)):
        missing = frame.missing(name)
        if missing is not None:
            keep &= ~missing
    n_zero_weight = 0
    if weights is not None:
        if weights.missing is not None:
            keep &= ~weights.missing
        zero = keep & weights.zero
        n_zero_weight = int(np.count_nonzero(zero))
        keep &= ~zero

    with_intercept = model.intercept or bool(model.fixef)
    paths = _paths(model, frame, with_intercept)
    columns: dict[str, tuple[list[str], list[np.ndarray]]] = {}
    recipes: dict[str, tuple] = {}
    for term in model.terms:
        if paths[term.label] == "column":
            columns[term.label] = ([term.label], [frame.floats(term.var)])
            recipes[term.label] = ("column", term.var)
        elif paths[term.label] == "indicators":
            names, cols, used, seen = _indicators(frame, term, keep, with_intercept)
            columns[term.label] = (names, cols)
            recipes[term.label] = ("indicators", term, used, seen)
    formulaic_terms = [t for t in model.terms if paths[t.label] == "formulaic"]
    if model.depvar.kind != "lookup":
        formulaic_terms.append(model.depvar)
    if formulaic_terms:
        columns.update(_materialise(frame, formulaic_terms, model, keep, with_intercept,
                                    ns, reads, recipes))

    if model.depvar.kind == "lookup":
        y = frame.floats(model.depvar.var)
    else:
        y = columns.pop(model.depvar.label)[1][0]
    x_names, x, x_terms = [], [], []
    if model.intercept and not model.fixef:
        x_names.append("Intercept")
        x.append(np.broadcast_to(1.0, (frame.n_rows,)))  # read through a zero stride: no copy
        x_terms.append("1")
    for term in model.terms:
        names, cols = columns[term.label]
        if x_terms[:1] == ["1"] and "Intercept" in names:
            raise ValueError(f"the column {term.label!r} has the name of the intercept's "
                             f"coefficient in {model.text!r}: rename the column, or leave the "
                             "intercept out ('y ~ 0 + Intercept + ...')")
        x_names += names
        x += cols
        x_terms += [term.label] * len(names)
    return Design(y=y, y_name=model.depvar.label, x=x, x_names=x_names, fe=fe,
                  fe_names=model.fixef_names, clusters=clusters, cluster_names=cluster_names,
                  keep=keep,
                  n_missing=int(frame.n_rows - np.count_nonzero(keep)) - n_zero_weight,
                  x_terms=x_terms, recipes=recipes, variables=variables,
                  n_zero_weight=n_zero_weight, slopes=slopes)


def combined(frame: Frame, parts: tuple[str, ...], cache: dict[str, np.ndarray]) -> np.ndarray:
    """int32 codes of one identifier, or of several combined with ``^`` (each step recoded,
    so the int64 key never overflows)."""
    name = "^".join(parts)
    if name not in cache:
        first = frame.codes(parts[0])
        codes, n_groups = first.codes, first.n_groups
        for part in parts[1:]:
            nxt = frame.codes(part)
            key = codes.astype(np.int64) * max(nxt.n_groups, 1) + nxt.codes
            codes, n_groups = _core.recode(key)
        cache[name] = codes
    return cache[name]


def _paths(model: ModelFormula, frame: Frame, with_intercept: bool) -> dict[str, str]:
    """How each term's columns are built: "column", "indicators" or "formulaic"."""
    paths = {}
    for term in model.terms:
        if term.kind == "lookup" and frame.is_numeric(term.var):
            paths[term.label] = "column"
        elif term.kind == "i" or (term.kind in ("lookup", "C") and with_intercept
                                  and not frame.is_categorical(term.var)):
            # Categorical dtypes keep formulaic's reading of their declared categories.
            paths[term.label] = "indicators"
        else:
            paths[term.label] = "formulaic"
    # formulaic decides the coding of an interaction from the other terms sharing its
    # factors, so those terms go through formulaic with it.
    shared = {f for t in model.terms if paths[t.label] == "formulaic" for f in t.factors}
    for term in model.terms:
        if term.kind != "i" and set(term.factors) & shared:
            paths[term.label] = "formulaic"
    return paths


def _indicators(frame: Frame, term: Term, keep: np.ndarray,
                with_intercept: bool) -> tuple[list[str], list[np.ndarray], list, list]:
    """Indicator columns of ``C(g)``, a non-numeric ``g`` or ``i(g[, x][, ref=])``: one per
    level seen in the usable rows, in sorted order, leaving out the first level (``C``, and
    ``i`` without ``ref`` when an intercept or fixed effects span it) or the ``ref`` levels.
    Also the levels of the columns and every level seen."""
    codes, levels = frame.levels(term.var)
    rows = np.flatnonzero(keep)
    present = np.flatnonzero(np.bincount(codes[rows], minlength=len(levels)))
    if term.kind == "i" and term.i_ref is not None:
        unknown = [r for r in term.i_ref if not any(_same(r, levels[j]) for j in present)]
        if unknown:
            shown = ", ".join(repr(levels[j]) for j in present[:8])
            raise ValueError(f"ref={unknown[0]!r} in {term.label} is not a level of "
                             f"{term.var!r} (levels: {shown}{', ...' if len(present) > 8 else ''})")
        used = [j for j in present if not any(_same(r, levels[j]) for r in term.i_ref)]
    elif term.kind == "i" and (term.i_x is not None or not with_intercept):
        used = list(present)
    else:
        used = list(present[1:])
    column_of = np.full(len(levels), -1, dtype=np.intp)
    column_of[used] = np.arange(len(used))
    block = np.zeros((frame.n_rows, len(used)), order="F")
    col = column_of[codes[rows]]
    hit = col >= 0
    block[rows[hit], col[hit]] = 1.0 if term.i_x is None else frame.floats(term.i_x)[rows[hit]]
    names = _indicator_names(term, [levels[j] for j in used])
    return (names, [block[:, j] for j in range(len(used))], [levels[j] for j in used],
            [levels[j] for j in present])


def _same(ref: Any, level: Any) -> bool:
    try:
        return bool(ref == level)
    except (TypeError, ValueError):
        return False


def _materialise(frame: Frame, terms: list[Term], model: ModelFormula, keep: np.ndarray,
                 with_intercept: bool, ns: Namespace, reads: Mapping[str, tuple[str, ...]],
                 recipes: dict[str, tuple]) -> dict:
    """Columns of the terms formulaic builds, evaluated at the usable rows and placed back
    at their rows; a row where one comes out NaN or infinite (``np.log(0)``) is not kept.
    Stateful transforms (``center``, ``scale``, ``poly``, ``bs``) learn their parameters
    from these rows; the encoding kept in the recipes applies them to new data."""
    rows = np.flatnonzero(keep)
    variables = list(dict.fromkeys(v for t in terms for v in reads[t.label]))
    table = frame.pandas_rows(variables, rows)
    rhs = [t for t in terms if t is not model.depvar]
    groups = [(rhs, with_intercept)] if rhs else []
    if len(rhs) < len(terms):
        groups.append(([model.depvar], False))
    out = {}
    for group, intercept in groups:
        # The intercept takes part in formulaic's choice of full or reduced coding; its
        # column is not used (the engine adds none: fixed effects or the design's own).
        group_formula = SimpleFormula((list(Formula("1")) if intercept else [])
                                      + [t.term for t in group])
        with _evaluating(group, model.text):
            with np.errstate(all="ignore"):
                mm = model_matrix(group_formula, table, na_action="ignore", context=ns.mapping)
        names = [str(c) for c in mm.columns]
        values = mm.to_numpy(dtype=np.float64)
        by_term = {str(k): v for k, v in mm.model_spec.term_indices.items()}
        used = [i for t in group for i in by_term[str(t.term)]]
        keep[rows[~np.isfinite(values[:, used]).all(axis=1)]] = False
        full = np.zeros((frame.n_rows, values.shape[1]), order="F")
        full[rows] = values
        for t in group:
            idx = by_term[str(t.term)]
            out[t.label] = ([names[i] for i in idx], [full[:, i] for i in idx])
            recipes[t.label] = ("formulaic", mm.model_spec, [names[i] for i in idx], group,
                                ns.kept, model.text)
    return out


class _evaluating:
    """formulaic's failures while evaluating terms as a ValueError naming them and the
    formula: its own errors, and those of the code and encoders it calls (an IndexError
    from a contrast, a TypeError from a transform)."""

    def __init__(self, terms: Sequence[Term], fml: str):
        self.terms, self.fml = terms, fml

    def __enter__(self) -> None:
        return None

    def __exit__(self, kind: Any, exc: BaseException | None, tb: Any) -> bool:
        if exc is None or not isinstance(exc, Exception) or isinstance(exc, MemoryError):
            return False
        what = " + ".join(t.label for t in self.terms)
        cause = _message(exc) if isinstance(exc, FormulaicError) else \
            f"{_message(exc)} ({type(exc).__name__})"
        raise ValueError(f"cannot evaluate {_shown(what)} of {_shown(self.fml)}: "
                         f"{cause}") from None


def rebuild(recipes: Mapping[str, tuple], labels: Sequence[str], frame: Frame,
            context: Any = None) -> tuple[dict[str, np.ndarray], np.ndarray, np.ndarray]:
    """The columns of the terms ``labels`` on new data, as a fit's design built them (the
    same indicator levels, formulaic's own encoding state): column name -> values; with the
    rows where a value is missing, and those with a level the fit did not see. ``context``:
    the namespace of the formula's code, as :func:`kestrel.formula.namespace` takes it;
    None: as the fit's (a restricted fit stays restricted, a mapping is used again, the
    caller's names are those of this call's caller)."""
    n = frame.n_rows
    # Every column and name first: no code runs for new data that lack one.
    encodings: dict[int, tuple[Any, list[str], Namespace]] = {}
    namespaces: dict[int, Namespace] = {}
    for label in labels:
        recipe = recipes.get(label)
        if recipe is None:
            continue
        if recipe[0] == "column":
            frame.series(recipe[1])
        elif recipe[0] == "indicators":
            term = recipe[1]
            for name in (term.var, term.i_x):
                if name is not None:
                    frame.series(name)
        elif id(recipe[1]) not in encodings:
            _, encoding, _, group, kept, fml = recipe
            if id(kept) not in namespaces:  # kept None: the caller's names, found now
                chosen = context if context is not None else 0 if kept is None else kept
                namespaces[id(kept)] = _namespace(chosen)
            ns = namespaces[id(kept)]
            reads = resolve(_group_model(group, fml), frame, ns)
            encodings[id(encoding)] = (encoding, _variables(reads), ns)

    columns: dict[str, np.ndarray] = {}
    missing = np.zeros(n, dtype=bool)
    unseen = np.zeros(n, dtype=bool)
    matrices: dict[int, Any] = {}
    for label in labels:
        if label == "1":
            columns["Intercept"] = np.ones(n)
            continue
        recipe = recipes[label]
        if recipe[0] == "column":
            columns[label] = frame.floats(recipe[1])
            missing |= ~np.isfinite(columns[label])
        elif recipe[0] == "indicators":
            _, term, used, seen = recipe
            codes, levels = frame.levels(term.var)
            missing |= codes < 0
            position = {level: j for j, level in enumerate(used)}
            known = set(seen)
            column_of = np.array([position.get(level, -1) for level in levels] + [-1],
                                 dtype=np.intp)
            unseen |= ~np.append(np.array([level in known for level in levels], dtype=bool),
                                 True)[codes] & (codes >= 0)
            col = column_of[codes]
            x = None if term.i_x is None else frame.floats(term.i_x)
            if x is not None:
                missing |= ~np.isfinite(x)
            names = _indicator_names(term, used)
            for j, name in enumerate(names):
                hit = (col == j).astype(np.float64)
                columns[name] = hit if x is None else hit * x
        else:
            names = recipe[2]
            if id(recipe[1]) not in matrices:
                encoding, variables, ns = encodings[id(recipe[1])]
                table = frame.pandas_rows(variables, np.arange(n))
                # Levels the fit did not see are reported by the caller, per row.
                with _evaluating(recipe[3], recipe[5]), np.errstate(all="ignore"), \
                        warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    matrices[id(recipe[1])] = encoding.get_model_matrix(table,
                                                                        context=ns.mapping)
                unseen |= _unseen_categories(encoding, frame)
            mm = matrices[id(recipe[1])]
            for name in names:
                values = mm[name].to_numpy(dtype=np.float64)
                missing |= ~np.isfinite(values)
                columns[name] = values
    return columns, missing, unseen & ~missing


def _group_model(group: Sequence[Term], fml: str) -> ModelFormula:
    """The terms formulaic encoded together, as a model for :func:`resolve`."""
    return ModelFormula(text=fml, depvar=group[0], terms=tuple(group[1:]),
                        intercept=False, fixef=())


def _unseen_categories(encoding: Any, frame: Frame) -> np.ndarray:
    """Rows whose value of a categorical factor of formulaic's (a column, or ``C(column)``)
    is not among the categories the fit saw."""
    unseen = np.zeros(frame.n_rows, dtype=bool)
    for expr, (kind, state) in encoding.encoder_state.items():
        if str(getattr(kind, "value", kind)) != "categorical" or "categories" not in state:
            continue
        call = _C_CALL.fullmatch(expr)
        column = call.group(1) if call else expr
        if column not in frame.columns:
            continue
        values = pd.Series(frame.series(column).to_numpy())
        unseen |= (~values.isin(state["categories"]) & values.notna()).to_numpy()
    return unseen


_C_CALL = re.compile(r"C\(\s*([A-Za-z_][A-Za-z0-9_]*)\s*\)")


def _indicator_names(term: Term, levels: Sequence[Any]) -> list[str]:
    if term.kind == "i":
        suffix = f":{term.i_x}" if term.i_x else ""
        return [f"{term.var}::{level}{suffix}" for level in levels]
    return [f"{term.label}[T.{level}]" for level in levels]


def slope_column(values: np.ndarray, intercept: bool,
                 mask: np.ndarray | None = None) -> tuple[np.ndarray, float, int]:
    """A slope variable as it is absorbed, with the shift and power of two it was given
    (read at the rows of ``mask``, all by default): beside the intercept, x and x − c span
    the same, and centred the levels' small systems are far better conditioned (years
    near 2000); any scale spans the same, and a power of two (exact) bringing the largest
    magnitude to [0.5, 1) keeps every level's sums of squares from overflowing or
    vanishing. The absorbed column is (values − shift)·2^-p."""
    used = values if mask is None else values[mask]
    shift = float(np.mean(used)) if intercept and used.size else 0.0
    largest = float(np.max(np.abs(used - shift), initial=0.0))
    p = int(np.frexp(largest)[1]) if largest > 0.0 else 0
    col = values - shift if shift else values
    if p:
        col = np.ldexp(col, -p)
    return np.ascontiguousarray(col, dtype=np.float64), shift, p


def slope_terms(raw: list) -> tuple[list[np.ndarray], list[int], list[tuple[list, list]]]:
    """The slope columns and layout ``_core.absorb`` takes, from every fixed effect's slope
    variables given at the rows used (per fixed effect None, or their names, values and
    whether the intercept is kept), as :func:`slope_column` makes them; and per fixed
    effect the shifts and powers of two they were given."""
    columns, layout, units = [], [], []
    for entry in raw:
        names, values, intercept = ((), [], True) if entry is None else entry
        shifts, powers = [], []
        for v in values:
            col, shift, p = slope_column(v, intercept)
            columns.append(col)
            shifts.append(shift)
            powers.append(p)
        layout += [len(values), int(intercept)]
        units.append((shifts, powers))
    return columns, layout, units
