"""Model formulas in the field's syntax: ``y ~ x1 + x2 | fe1 + fe2^fe3``.

This module only reads the text. The parts are split here (dependent variable, regressors,
fixed effects, and the instrumental-variable part that a later release fits); the regressor
part is parsed by formulaic, which already knows interactions (``x1:x2``, ``x1*x2``),
categorical expansion (``C(g)``), transforms (``np.log(y)``, ``I(x**2)``) and removing the
intercept (``- 1``, ``0 +``). Each regressor term is then classified by how
:mod:`kestrel.design` builds its columns.
"""

from __future__ import annotations

import ast
import re
from dataclasses import dataclass, field
from typing import Any

from formulaic import Formula, SimpleFormula
from formulaic.errors import FormulaicError

# Functions of the field's formula language that a later release implements.
_MULTIPLE_ESTIMATION = {"sw", "sw0", "csw", "csw0", "mvsw"}
_ANSI = re.compile(r"\x1b\[[0-9;]*m|[⧛⧚]")


@dataclass(frozen=True)
class Term:
    """One regressor term.

    ``kind`` says how its columns are built: ``"lookup"`` (a column named as is: numeric
    columns pass through, others expand like ``C()``), ``"C"`` (``C(var)``), ``"i"``
    (``i(var[, x][, ref=...])``) or ``"formulaic"`` (anything else, materialised by formulaic).
    """

    label: str
    kind: str
    variables: tuple[str, ...]
    factors: tuple[str, ...]
    term: Any = field(repr=False, compare=False)  # formulaic's Term, for materialisation
    var: str | None = None  # lookup, C, i: the column expanded or passed through
    i_x: str | None = None  # i(var, x): the numeric column multiplied in
    i_ref: tuple[Any, ...] | None = None  # i(var, ref=...): levels left out


@dataclass(frozen=True)
class ModelFormula:
    """A parsed formula. ``terms`` are in formulaic's order (by degree, then as written),
    without the intercept, which ``intercept`` records as written."""

    text: str
    depvar: Term
    terms: tuple[Term, ...]
    intercept: bool
    fixef: tuple[tuple[str, ...], ...]  # one tuple of columns per fixed effect (^ combines)
    iv: tuple[str, str] | None = None  # (endogenous, instruments) as written

    @property
    def fixef_names(self) -> list[str]:
        return ["^".join(parts) for parts in self.fixef]

    @property
    def variables(self) -> list[str]:
        """Every column the model reads, in first-mention order."""
        seen: dict[str, None] = {}
        for t in (self.depvar, *self.terms):
            seen.update(dict.fromkeys(t.variables))
        for parts in self.fixef:
            seen.update(dict.fromkeys(parts))
        return list(seen)


def parse(fml: object) -> ModelFormula:
    """Read ``fml``; a mistake in it raises ``ValueError`` (``TypeError`` if not a string)."""
    if not isinstance(fml, str):
        raise TypeError(f"the formula must be a string such as 'y ~ x1 + x2 | fe', "
                        f"not {type(fml).__name__}")
    parts = _split_top(fml, "|")
    if len(_split_top(parts[0], "~")) != 2:
        if "~" not in fml:
            raise ValueError(f"the formula {fml!r} has no '~': write it as 'y ~ x1 + x2', with "
                             "fixed effects after a '|' ('y ~ x | firm + year')")
        raise ValueError(f"the formula {fml!r} must have exactly one '~' before the first '|'")
    lhs, rhs = _split_top(parts[0], "~")
    for side in (lhs, rhs):
        if any(piece.strip() == "`1`" for piece in _split_top(side, "+")):
            raise ValueError(f"in {fml!r} `1` alone is read as the intercept, not as the column "
                             "named 1: rename that column")
    fixef: tuple[tuple[str, ...], ...] = ()
    iv = None
    for k, part in enumerate(parts[1:], start=1):
        sides = _split_top(part, "~")
        if len(sides) == 2:
            if k != len(parts) - 1:
                raise ValueError(f"in {fml!r} the instrumental-variable part "
                                 "'endog ~ instruments' must come last")
            iv = (sides[0].strip(), sides[1].strip())
        elif len(sides) > 2:
            raise ValueError(f"the part {part.strip()!r} of {fml!r} has more than one '~'")
        elif fixef or k > 1:
            raise ValueError(f"the formula {fml!r} has more than one fixed-effect part: "
                             "list them in one, 'y ~ x | fe1 + fe2'")
        else:
            fixef = _parse_fixef(part, fml)

    lhs_terms = [t for t in _formulaic_terms(lhs, fml, "dependent variable") if t.degree > 0]
    if not lhs_terms:
        raise ValueError(f"the formula {fml!r} has no dependent variable before '~'")
    if len(lhs_terms) > 1:
        raise ValueError(f"the formula {fml!r} has several dependent variables "
                         f"({', '.join(map(str, lhs_terms))}); fit them one at a time")
    depvar = _classify(lhs_terms[0], fml)
    if depvar.kind not in ("lookup", "formulaic") or len(depvar.factors) != 1:
        raise ValueError(f"the dependent variable {depvar.label!r} in {fml!r} must be a column "
                         "or a transform of columns such as np.log(y)")

    rhs_terms = _formulaic_terms(rhs, fml, "regressors")
    intercept = any(t.degree == 0 for t in rhs_terms)
    terms = tuple(_classify(t, fml) for t in rhs_terms if t.degree > 0)
    return ModelFormula(text=fml, depvar=depvar, terms=terms, intercept=intercept,
                        fixef=fixef, iv=iv)


def _split_top(text: str, sep: str) -> list[str]:
    """Split on ``sep`` outside brackets, quotes and backticks."""
    pieces, depth, quote, start = [], 0, None, 0
    for pos, ch in enumerate(text):
        if quote:
            if ch == quote:
                quote = None
        elif ch in "'\"`":
            quote = ch
        elif ch in "([{":
            depth += 1
        elif ch in ")]}":
            depth -= 1
        elif ch == sep and depth == 0:
            pieces.append(text[start:pos])
            start = pos + 1
    pieces.append(text[start:])
    return pieces


def _parse_fixef(part: str, fml: str) -> tuple[tuple[str, ...], ...]:
    out = []
    for piece in _split_top(part, "+"):
        piece = piece.strip()
        if not piece:
            raise ValueError(f"the fixed-effect part of {fml!r} has an empty term; "
                             "write 'y ~ x | fe1 + fe2'")
        if piece == "0":
            continue
        if "[" in piece:
            raise ValueError(f"varying slopes ({piece!r}) are not supported yet; "
                             "interact the slope variable with C(fe) among the regressors")
        names = []
        for n in (n.strip() for n in _split_top(piece, "^")):
            quoted = len(n) > 1 and n[0] == n[-1] == "`"  # `my id`: any name, as formulaic
            if quoted:
                n = n[1:-1]
            if not n or not quoted and any(c in n for c in "()+*:~` "):
                raise ValueError(f"the fixed effect {piece!r} in {fml!r} must be a column name "
                                 "(backticked if it has spaces or symbols: `my id`) or columns "
                                 "combined with '^' (such as firm^year)")
            if "^" in n:
                raise ValueError(f"the column {n!r} cannot be a fixed effect in {fml!r}: '^' "
                                 "combines fixed effects (firm^year); rename the column")
            names.append(n)
        out.append(tuple(names))
    if len(set(out)) != len(out):
        raise ValueError(f"a fixed effect is listed twice in {fml!r}")
    return tuple(out)


def _formulaic_terms(text: str, fml: str, what: str) -> list:
    if not text.strip():
        raise ValueError(f"the formula {fml!r} has no {what}")
    try:
        return list(Formula(text))
    except FormulaicError as exc:
        raise ValueError(f"cannot read the {what} {text.strip()!r} of {fml!r}: "
                         f"{_message(exc)}") from None


def _message(exc: Exception) -> str:
    """formulaic's message without its terminal colours and the echo of the formula."""
    return _ANSI.sub("", str(exc)).strip().splitlines()[0]


def _classify(term: Any, fml: str) -> Term:
    factors = tuple(str(f.expr) for f in term.factors)
    label = str(term)
    try:
        found = {str(v) for v in SimpleFormula([term]).required_variables
                 if "value" in {r.value for r in v.roles}}  # columns, not functions
    except FormulaicError as exc:  # pragma: no cover - formulaic parsed it a moment ago
        raise ValueError(f"cannot read the term {label!r}: {_message(exc)}") from None
    variables = tuple(sorted(found, key=lambda v: (label.find(v), v)))
    calls = [_call(f.expr) if f.eval_method.value == "python" else None for f in term.factors]
    for call in calls:
        if call is not None and call[0] in _MULTIPLE_ESTIMATION:
            raise ValueError(f"multiple estimation ({call[0]}()) is not supported yet; "
                             f"fit each model of {fml!r} on its own")
    if any(c is not None and c[0] == "i" for c in calls):
        if len(factors) > 1:
            raise ValueError(f"i() cannot be interacted with ':' in {label!r}: "
                             "write i(var, x) for a factor interacted with a variable")
        return _i_term(label, factors, variables, term, calls[0][1], calls[0][2])
    if len(factors) == 1 and term.factors[0].eval_method.value == "lookup":
        return Term(label, "lookup", variables, factors, term, var=factors[0])
    call = calls[0] if len(factors) == 1 else None
    if call is not None and call[0] == "C" and len(call[1]) == 1 and not call[2] \
            and isinstance(call[1][0], ast.Name):
        return Term(label, "C", variables, factors, term, var=call[1][0].id)
    return Term(label, "formulaic", variables, factors, term)


def _call(expr: str) -> tuple[str, list[ast.expr], dict[str, ast.expr]] | None:
    try:
        node = ast.parse(expr, mode="eval").body
    except SyntaxError:
        return None
    if isinstance(node, ast.Call) and isinstance(node.func, ast.Name):
        return node.func.id, list(node.args), {k.arg: k.value for k in node.keywords if k.arg}
    return None


def _i_term(label, factors, variables, term, args, kwargs) -> Term:
    usage = "i(var), i(var, ref=level) or i(var, x, ref=level)"
    names = [a.id if isinstance(a, ast.Name) else None for a in args]
    unknown = set(kwargs) - {"ref"}
    if not 1 <= len(args) <= 2 or None in names or unknown:
        raise ValueError(f"cannot read {label!r}: write {usage} with column names")
    ref = None
    if "ref" in kwargs:
        try:
            value = ast.literal_eval(kwargs["ref"])
        except ValueError:
            raise ValueError(f"the ref= of {label!r} must be a literal level such as 1 or "
                             "'a'") from None
        ref = tuple(value) if isinstance(value, (list, tuple, set)) else (value,)
    return Term(label, "i", variables, factors, term, var=names[0],
                i_x=names[1] if len(names) == 2 else None, i_ref=ref)
