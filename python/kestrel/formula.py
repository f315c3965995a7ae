"""Model formulas in the field's syntax: ``y ~ x1 + x2 | fe1 + fe2^fe3``.

This module only reads the text: nothing in a formula runs here. The parts are split here
(dependent variable, regressors, fixed effects, and the instrumental-variable part); the
regressor part is parsed by formulaic, which already knows interactions (``x1:x2``,
``x1*x2``), categorical expansion (``C(g)``), transforms (``np.log(y)``, ``I(x**2)``,
``poly(x, 2)``) and removing the intercept (``- 1``, ``0 +``). Each regressor term is then
classified by how :mod:`kestrel.design` builds its columns.

Transforms are Python code, evaluated by formulaic when the design is built. The names that
code may use besides the data's columns form the formula's namespace (:func:`namespace`):
the formula language's own functions always first, then the caller's names (the default in
the Python API) or a mapping the caller gives, or nothing else at all (``"restricted"``, for
formulas from someone else, such as the command line's). Before anything is evaluated, a
formula whose expansion would form more than :data:`MAX_PRODUCTS` products of terms, or
whose code computes an integer constant of more than :data:`MAX_CONSTANT_BITS` bits, is
refused: both would otherwise run for minutes or for ever.

A formula spelling several models (several dependent variables, or a stepwise function
``sw()``, ``sw0()``, ``csw()``, ``csw0()``, ``mvsw()``) is spelled out into one formula per
model by :func:`expand`; :mod:`kestrel.multiple` fits them.
"""

from __future__ import annotations

import ast
import builtins
import itertools
import os
import re
import sys
from collections import ChainMap
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from formulaic import Formula
from formulaic.errors import FormulaicError
from formulaic.parser import DefaultFormulaParser
from formulaic.parser.types import ASTNode
from formulaic.transforms import TRANSFORMS
from formulaic.utils.code import sanitize_variable_names

# The stepwise functions of multiple estimation, which :func:`expand` spells out into one
# formula per model before any of them reaches :func:`parse`.
_MULTIPLE_ESTIMATION = {"sw", "sw0", "csw", "csw0", "mvsw"}
_ANSI = re.compile(r"\x1b\[[0-9;]*m|[⧛⧚]")

MAX_PRODUCTS = 100_000
"""Products of terms a part of a formula may form while it is expanded, counted by
multiplication: ``(a + b)**n`` forms 2^n products of n factors, (n - 1)·2^n multiplications
(formulaic forms them all before dropping duplicates); ``a:b`` and ``a*b`` one per pair."""
MAX_TERMS = 10_000
"""Terms a part of a formula may expand to."""
MAX_CONSTANT_BITS = 10_000
"""Size of an integer the code of a formula may compute from its constants (about 3,000
digits): ``I(9**9**9 + x)`` would compute for hours."""
MAX_CONSTANT_ITEMS = 1_000_000
"""Length of a string or sequence the code of a formula may repeat (``'a' * 10**9``)."""

# The formula language's own functions (formulaic's transforms: C, I, poly, center, scale,
# bs, contr, ..., and NumPy as np). They come before the caller's names, so that a caller's
# own ``C`` or ``I`` cannot change what a formula means; ``i`` is read by this module.
LANGUAGE: dict[str, Any] = dict(TRANSFORMS)
_OWN = frozenset(LANGUAGE) | {"i"}
RESTRICTED = "restricted"


@dataclass(frozen=True)
class Term:
    """One regressor term.

    ``kind`` says how its columns are built: ``"lookup"`` (a column named as is: numeric
    columns pass through, others expand like ``C()``), ``"C"`` (``C(var)``), ``"i"``
    (``i(var[, x][, ref=...])``) or ``"formulaic"`` (anything else, materialised by formulaic).
    ``variables``: the columns it reads, and for a term with code (``code``), every other
    name its code reads but the formula language's functions: which of them are columns is
    known only with the data (:func:`kestrel.design.resolve`).
    """

    label: str
    kind: str
    variables: tuple[str, ...]
    factors: tuple[str, ...]
    term: Any = field(repr=False, compare=False)  # formulaic's Term, for materialisation
    var: str | None = None  # lookup, C, i: the column expanded or passed through
    i_x: str | None = None  # i(var, x): the numeric column multiplied in
    i_ref: tuple[Any, ...] | None = None  # i(var, ref=...): levels left out
    code: tuple[Code, ...] = field(default=(), repr=False, compare=False)  # Python factors


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
    # Varying slopes: () when none; else per fixed effect None (its intercept only) or
    # (slope variables, whether its intercept is kept): fe[x1, x2] and fe[[x]].
    slopes: tuple[tuple[tuple[str, ...], bool] | None, ...] = ()

    @property
    def fixef_labels(self) -> list[str]:
        """The fixed effects as written: "firm", "id[year]", "id[[year]]"."""
        if not self.slopes:
            return self.fixef_names
        out = []
        for name, slope in zip(self.fixef_names, self.slopes):
            if slope is None:
                out.append(name)
            else:
                inner = ", ".join(slope[0])
                out.append(f"{name}[{inner}]" if slope[1] else f"{name}[[{inner}]]")
        return out

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
        for slope in self.slopes:
            if slope is not None:
                seen.update(dict.fromkeys(slope[0]))
        return list(seen)


def parse(fml: object, slopes: bool = False) -> ModelFormula:
    """Read ``fml``; a mistake in it raises ``ValueError`` (``TypeError`` if not a string).
    ``slopes``: whether the caller fits varying slopes (``fe[x]``); if not, they are
    refused."""
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
    fe_slopes: tuple = ()
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
            fixef, fe_slopes = _parse_fixef(part, fml)
    if fe_slopes and not slopes:
        raise ValueError(f"varying slopes in {fml!r} are supported by kestrel.feols only; "
                         "interact the slope variable with C(fe) among the regressors "
                         "instead")

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
                        fixef=fixef, iv=iv, slopes=fe_slopes)


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


def _column_name(n: str, piece: str, fml: str) -> str:
    """One column of a fixed effect or slope: a name (backticked if it has spaces or symbols)."""
    quoted = len(n) > 1 and n[0] == n[-1] == "`"  # `my id`: any name, as formulaic
    if quoted:
        n = n[1:-1]
    if not n or not quoted and any(c in n for c in "()[],+*:~` "):
        raise ValueError(f"the fixed effect {piece!r} in {fml!r} must be a column name "
                         "(backticked if it has spaces or symbols: `my id`) or columns "
                         "combined with '^' (such as firm^year), optionally with varying "
                         "slopes: id[year], id[[year]], id[x1, x2]")
    return n


def _parse_slopes(piece: str, fml: str) -> tuple[str, tuple[tuple[str, ...], bool] | None]:
    """``fe[x1, x2]`` (intercept and slopes) or ``fe[[x]]`` (slopes only): the fixed
    effect's text and its slopes; a piece without brackets: itself and None."""
    if not piece.endswith("]") or "[" not in piece:
        if "[" in piece or "]" in piece:
            raise ValueError(f"the fixed effect {piece!r} in {fml!r} is not understood: "
                             "varying slopes are written id[year], id[[year]] or id[x1, x2]")
        return piece, None
    at = piece.index("[")
    head, inner = piece[:at].strip(), piece[at + 1:-1].strip()
    intercept = True
    if inner.startswith("[") and inner.endswith("]"):
        inner, intercept = inner[1:-1].strip(), False
    names = [_column_name(v.strip(), piece, fml) for v in _split_top(inner, ",")]
    if not head or any("[" in v or "]" in v for v in names):
        raise ValueError(f"the fixed effect {piece!r} in {fml!r} is not understood: "
                         "varying slopes are written id[year], id[[year]] or id[x1, x2]")
    if len(set(names)) != len(names):
        raise ValueError(f"a slope variable is listed twice in {piece!r} of {fml!r}")
    return head, (tuple(names), intercept)


def _parse_fixef(part: str, fml: str) -> tuple[tuple[tuple[str, ...], ...], tuple]:
    out = []
    slopes: list = []
    for piece in _split_top(part, "+"):
        piece = piece.strip()
        if not piece:
            raise ValueError(f"the fixed-effect part of {fml!r} has an empty term; "
                             "write 'y ~ x | fe1 + fe2'")
        if piece == "0":
            continue
        head, slope = _parse_slopes(piece, fml)
        names = []
        for n in (n.strip() for n in _split_top(head, "^")):
            n = _column_name(n, piece, fml)
            if "^" in n:
                raise ValueError(f"the column {n!r} cannot be a fixed effect in {fml!r}: '^' "
                                 "combines fixed effects (firm^year); rename the column")
            names.append(n)
        out.append(tuple(names))
        slopes.append(slope)
    if len(set(out)) != len(out):
        raise ValueError(f"a fixed effect is listed twice in {fml!r} (to give one both an "
                         "intercept and slopes, write id[year])")
    return tuple(out), (tuple(slopes) if any(s is not None for s in slopes) else ())


def _formulaic_terms(text: str, fml: str, what: str) -> list:
    if not text.strip():
        raise ValueError(f"the formula {fml!r} has no {what}")
    _check_expansion(text, fml, what)
    try:
        return list(Formula(text))
    except FormulaicError as exc:
        raise ValueError(f"cannot read the {what} {text.strip()!r} of {fml!r}: "
                         f"{_message(exc)}") from None
    except SyntaxError as exc:  # formulaic parses each piece of Python code it finds
        code = _shown(exc.text.strip()) if exc.text else "its code"
        raise ValueError(f"cannot read the {what} of {_shown(fml)}: {exc.msg} in "
                         f"{code}") from None
    except RecursionError:
        raise ValueError(f"cannot read the {what} of {_shown(fml)}: it is nested too "
                         "deeply") from None


def _shown(text: str) -> str:
    """``text`` quoted for a message, shortened when long (a formula of 1,000 brackets)."""
    return repr(text) if len(text) <= 120 else repr(text[:100]) + "..."


def _message(exc: Exception) -> str:
    """formulaic's message without its terminal colours and the echo of the formula."""
    return _ANSI.sub("", str(exc)).strip().splitlines()[0]


def _check_expansion(text: str, fml: str, what: str) -> None:
    """Refuse a part whose expansion would form more than MAX_PRODUCTS products of terms or
    give more than MAX_TERMS terms, from formulaic's syntax tree and before formulaic
    expands it (formulaic forms every product of a power, duplicates included)."""
    try:
        root = DefaultFormulaParser(include_intercept=False).get_ast(text)
    except (FormulaicError, SyntaxError, RecursionError, ValueError):
        return  # the parse proper explains what is wrong
    if not isinstance(root, ASTNode):
        return
    cap = MAX_PRODUCTS + 1
    size: dict[int, int] = {}
    products = 0
    stack: list[tuple[Any, bool]] = [(root, False)]
    while stack:  # post-order without recursion: formulas can be long
        node, seen = stack.pop()
        if not isinstance(node, ASTNode):
            size[id(node)] = 1
            continue
        if not seen:
            stack.append((node, True))
            stack.extend((arg, False) for arg in node.args)
            continue
        args = [size[id(a)] for a in node.args]
        symbol = node.operator.symbol
        if symbol in ("**", "^") and len(args) == 2:
            try:
                power = max(int(str(getattr(node.args[1], "token", ""))), 1)
            except ValueError:
                power = 1  # formulaic refuses it
            formed = 1
            for _ in range(min(power, 64)):
                formed = min(formed * args[0], cap)
            products += min(formed * max(power - 1, 1), cap)
            n = min(formed, 2 ** min(args[0], 64) - 1)
        elif symbol in (":", "*") and len(args) == 2:
            formed = min(args[0] * args[1], cap)
            products += formed
            n = formed + (args[0] + args[1] if symbol == "*" else 0)
        elif symbol == "-":
            n = args[0] if len(args) == 2 else 0
        else:
            n = sum(args)
        size[id(node)] = min(n, cap)
        products = min(products, cap)
        if products > MAX_PRODUCTS or size[id(node)] > MAX_TERMS:
            raise ValueError(
                f"the {what} of {_shown(fml)} are too large to expand: more than "
                f"{MAX_TERMS:,} terms, or more than {MAX_PRODUCTS:,} products of terms formed "
                "on the way (a power (a + b)**n forms (n - 1)·2^n); write the interactions "
                "wanted, a power no higher than the number of terms in its brackets")


def _classify(term: Any, fml: str) -> Term:
    factors = tuple(str(f.expr) for f in term.factors)
    label = str(term)
    code = tuple(_analyse(str(f.expr), label, fml) for f in term.factors
                 if f.eval_method.value == "python")
    found: list[str] = []
    for f in term.factors:
        if f.eval_method.value == "lookup":
            found.append(str(f.expr))
    for c in code:
        found += c.names
    variables = tuple(sorted(dict.fromkeys(found), key=lambda v: (label.find(v), v)))
    calls = [_call(f.expr) if f.eval_method.value == "python" else None for f in term.factors]
    for call in calls:
        if call is not None and call[0] in _MULTIPLE_ESTIMATION:
            raise ValueError(f"{call[0]}() in {fml!r} spells several models: it must be a term "
                             "of its own among the regressors or the fixed effects "
                             "('y ~ x1 + sw(x2, x3)'), not part of another term or of the "
                             "instrumental-variable part")
    if any(c is not None and c[0] == "i" for c in calls):
        if len(factors) > 1:
            raise ValueError(f"i() cannot be interacted with ':' in {label!r}: "
                             "write i(var, x) for a factor interacted with a variable")
        return _i_term(label, factors, variables, term, calls[0][1], calls[0][2], code)
    if len(factors) == 1 and term.factors[0].eval_method.value == "lookup":
        return Term(label, "lookup", variables, factors, term, var=factors[0])
    call = calls[0] if len(factors) == 1 else None
    if call is not None and call[0] == "C" and len(call[1]) == 1 and not call[2] \
            and isinstance(call[1][0], ast.Name):
        return Term(label, "C", variables, factors, term, var=call[1][0].id, code=code)
    return Term(label, "formulaic", variables, factors, term, code=code)


def _call(expr: str) -> tuple[str, list[ast.expr], dict[str, ast.expr]] | None:
    try:
        node = ast.parse(expr, mode="eval").body
    except SyntaxError:
        return None
    if isinstance(node, ast.Call) and isinstance(node.func, ast.Name):
        return node.func.id, list(node.args), {k.arg: k.value for k in node.keywords if k.arg}
    return None


def _i_term(label, factors, variables, term, args, kwargs, code) -> Term:
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
                i_x=names[1] if len(names) == 2 else None, i_ref=ref, code=code)


# The code of a formula ------------------------------------------------------------------

@dataclass(frozen=True, eq=False)
class Code:
    """The Python code of one factor, read without running it: its syntax tree (backticked
    names replaced by identifiers, ``aliases`` maps them back), the names it reads but the
    formula language's functions (``names``), and which of those it only calls or reaches
    attributes of (``callees``: functions and modules rather than columns)."""

    expr: str
    tree: ast.Expression
    aliases: dict[str, str]
    names: tuple[str, ...]
    callees: frozenset[str]


def _analyse(expr: str, label: str, fml: str) -> Code:
    aliases: dict[str, str] = {}
    try:
        tree = ast.parse(sanitize_variable_names(expr, {}, aliases, template="_kestrel_{}"),
                         mode="eval")
        nodes = list(ast.walk(tree))
    except SyntaxError as exc:
        raise ValueError(f"cannot read {_shown(label)} in {_shown(fml)}: {exc.msg}") from None
    except RecursionError:
        raise ValueError(f"cannot read {_shown(label)} in {_shown(fml)}: it is nested too "
                         "deeply") from None
    parent = {id(child): node for node in nodes for child in ast.iter_child_nodes(node)}
    bound = {n.id for n in nodes if isinstance(n, ast.Name) and not isinstance(n.ctx, ast.Load)}
    bound |= {n.arg for n in nodes if isinstance(n, ast.arg)}
    names: dict[str, None] = {}
    called: set[str] = set()
    read: set[str] = set()
    for node in sorted((n for n in nodes if isinstance(n, ast.Name)),
                       key=lambda n: (n.lineno, n.col_offset)):
        if not isinstance(node.ctx, ast.Load) or node.id in bound:
            continue
        name = aliases.get(node.id, node.id)
        top: ast.AST = node
        while isinstance(parent.get(id(top)), ast.Attribute):
            top = parent[id(top)]
        if top is not node or (isinstance(parent.get(id(node)), ast.Call)
                               and parent[id(node)].func is node):
            called.add(name)
            if name in _OWN and node.id not in aliases:
                continue  # C(...), np.log(...): the language's, never a column
        else:
            read.add(name)
        names[name] = None
    for node in nodes:  # Q("a column") names a column in a string
        if isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and \
                node.func.id == "Q" and node.args and isinstance(node.args[0], ast.Constant) \
                and isinstance(node.args[0].value, str):
            names[node.args[0].value] = None
            read.add(node.args[0].value)
    _check_sizes(nodes, _check_constants(tree, label, fml), aliases, label, fml)
    return Code(expr, tree, aliases, tuple(names), frozenset(called - read))


class _Unknown:
    """A value the constant folding below does not know (it depends on the data)."""


_UNKNOWN = _Unknown()


# The argument of each transform that sets how many columns it makes: (position, keyword).
_SIZED = {"poly": ((1, "degree"),), "bs": ((None, "df"), (None, "degree"))}


def _check_sizes(nodes: list[ast.AST], known: dict[int, Any], aliases: dict[str, str],
                 label: str, fml: str) -> None:
    """Refuse ``poly(x, 10**5)`` or ``bs(x, df=10**5)`` before they are computed: more
    columns than a formula may expand to (they took minutes and ended in a MemoryError or
    columns of NaN)."""
    for node in nodes:
        if not (isinstance(node, ast.Call) and isinstance(node.func, ast.Name)
                and node.func.id in _SIZED and node.func.id not in aliases):
            continue
        for position, keyword in _SIZED[node.func.id]:
            arg = next((k.value for k in node.keywords if k.arg == keyword), None)
            if arg is None and position is not None and len(node.args) > position:
                arg = node.args[position]
            value = known.get(id(arg), _UNKNOWN) if arg is not None else _UNKNOWN
            if _is_int(value) and not isinstance(value, bool) and value > MAX_TERMS:
                raise ValueError(f"{keyword}={value:,} in {_shown(label)} of {_shown(fml)} "
                                 f"would make more than {MAX_TERMS:,} columns")


def _check_constants(tree: ast.Expression, label: str, fml: str) -> dict[int, Any]:
    """Fold the constant arithmetic of a factor's code, refusing integers beyond
    MAX_CONSTANT_BITS bits and repetitions beyond MAX_CONSTANT_ITEMS items before Python
    computes them (``9**9**9`` takes hours, ``'a' * 10**10`` ten gigabytes)."""
    known: dict[int, Any] = {}
    stack: list[tuple[ast.AST, bool]] = [(tree.body, False)]
    while stack:
        node, seen = stack.pop()
        if not seen:
            stack.append((node, True))
            stack.extend((child, False) for child in ast.iter_child_nodes(node))
            continue
        value: Any = _UNKNOWN
        if isinstance(node, ast.Constant):
            value = node.value
        elif isinstance(node, (ast.Tuple, ast.List)):
            items = [known.get(id(e), _UNKNOWN) for e in node.elts]
            if not any(v is _UNKNOWN for v in items):
                value = tuple(items)
        elif isinstance(node, ast.UnaryOp):
            operand = known.get(id(node.operand), _UNKNOWN)
            if operand is not _UNKNOWN:
                value = _apply(lambda: _UNARY[type(node.op)](operand))
        elif isinstance(node, ast.BinOp):
            left = known.get(id(node.left), _UNKNOWN)
            right = known.get(id(node.right), _UNKNOWN)
            if left is not _UNKNOWN and right is not _UNKNOWN:
                value = _binary(node, left, right, label, fml)
        known[id(node)] = value
    return known


def _apply(compute: Any) -> Any:
    try:
        return compute()
    except Exception:  # whatever fails here fails again, with its message, when evaluated
        return _UNKNOWN


def _is_int(v: Any) -> bool:
    return isinstance(v, int)


def _binary(node: ast.BinOp, left: Any, right: Any, label: str, fml: str) -> Any:
    op = type(node.op)
    too_large = False
    if op is ast.Pow and _is_int(left) and _is_int(right) and right > 0 and abs(left) > 1:
        too_large = (abs(left).bit_length() - 1) * right > MAX_CONSTANT_BITS
    elif op is ast.LShift and _is_int(left) and _is_int(right) and left:
        too_large = right > MAX_CONSTANT_BITS
    elif op is ast.Mult:
        for seq, n in ((left, right), (right, left)):
            if isinstance(seq, (str, bytes, tuple)) and _is_int(n):
                too_large = len(seq) * n > MAX_CONSTANT_ITEMS
    if too_large:
        _refuse_constant(node, label, fml)
    operation = _BINARY.get(op)
    if op is ast.Mod and isinstance(left, (str, bytes)):
        operation = None  # formatting: its size is not known before it is made
    value = _UNKNOWN if operation is None else _apply(lambda: operation(left, right))
    if _is_int(value) and value.bit_length() > MAX_CONSTANT_BITS:
        _refuse_constant(node, label, fml)
    return value


def _refuse_constant(node: ast.AST, label: str, fml: str) -> None:
    text = ast.unparse(node)
    text = text if len(text) <= 40 else text[:37] + "..."
    raise ValueError(f"{text} in {_shown(label)} of {_shown(fml)} is too large: a formula's "
                     f"constants may make integers of up to {MAX_CONSTANT_BITS:,} bits and "
                     f"repeat strings or sequences up to {MAX_CONSTANT_ITEMS:,} items")


_UNARY = {ast.UAdd: lambda v: +v, ast.USub: lambda v: -v, ast.Invert: lambda v: ~v,
          ast.Not: lambda v: not v}
_BINARY = {ast.Add: lambda a, b: a + b, ast.Sub: lambda a, b: a - b,
           ast.Mult: lambda a, b: a * b, ast.Div: lambda a, b: a / b,
           ast.FloorDiv: lambda a, b: a // b, ast.Mod: lambda a, b: a % b,
           ast.Pow: lambda a, b: a ** b, ast.LShift: lambda a, b: a << b,
           ast.RShift: lambda a, b: a >> b, ast.BitOr: lambda a, b: a | b,
           ast.BitXor: lambda a, b: a ^ b, ast.BitAnd: lambda a, b: a & b}


# The names a formula's code may use -------------------------------------------------------

@dataclass(frozen=True, eq=False)
class Namespace:
    """The names a formula's code may use besides the data's columns (which come first):
    ``mapping``, the formula language's functions first. ``restricted``: nothing else, and
    only code :func:`check_restricted` accepts. ``kept``: what a fit keeps to evaluate its
    formula again on new data: ``RESTRICTED``, the caller's mapping, or None for the
    caller's frame at that time (a fit does not keep its caller's frame alive)."""

    mapping: Mapping[str, Any]
    restricted: bool
    kept: Any

    def has(self, name: str) -> bool:
        if self.restricted:
            return name in LANGUAGE
        return name in self.mapping or hasattr(builtins, name)


class _Refused:
    """What a Python builtin's name gives in a restricted namespace, in case any code the
    checks let through looked one up: nothing usable."""

    def __init__(self, name: str):
        self.name = name

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        raise ValueError(f"{self.name}() is not available to formulas with "
                         f"context={RESTRICTED!r}")

    def __repr__(self) -> str:
        return f"<{self.name}: not available with context={RESTRICTED!r}>"


_RESTRICTED = Namespace(ChainMap(LANGUAGE, {n: _Refused(n) for n in dir(builtins)
                                            if n not in LANGUAGE}), True, RESTRICTED)
_PACKAGE = os.path.dirname(os.path.abspath(__file__))


def namespace(context: Any) -> Namespace:
    """The namespace of ``context``, as ``kestrel.feols`` and ``Fit.predict`` take it:

    - an int n >= 0: the names of the caller's frame (its variables, then its module's, then
      Python's builtins), n frames up from the first frame outside kestrel: 0 is whoever
      called kestrel;
    - a mapping: its names, then Python's builtins;
    - ``"restricted"``: nothing but the data's columns, NumPy's element-wise functions and
      constants, and the formula language's functions; no attribute of anything else, no
      builtins (see :func:`check_restricted`).

    The formula language's functions come first in each.
    """
    if isinstance(context, str):
        if context != RESTRICTED:
            raise ValueError(f"context must be a frame depth (0: the caller's names), a "
                             f"mapping of names or {RESTRICTED!r}, not {context!r}")
        return _RESTRICTED
    if isinstance(context, Mapping):
        return Namespace(ChainMap(LANGUAGE, context), False, context)
    if isinstance(context, (int, np.integer)) and not isinstance(context, (bool, np.bool_)):
        if context < 0:
            raise ValueError(f"context={context} must be a frame depth of 0 or more")
        frame = _caller(int(context))
        return Namespace(ChainMap(LANGUAGE, frame.f_locals, frame.f_globals), False, None)
    raise TypeError(f"context must be a frame depth (0: the caller's names), a mapping of "
                    f"names or {RESTRICTED!r}, not {type(context).__name__}")


def _caller(depth: int) -> Any:
    """The first frame outside kestrel, then ``depth`` frames further up."""
    frame = sys._getframe(1)
    while frame is not None and \
            os.path.dirname(os.path.abspath(frame.f_code.co_filename)) == _PACKAGE:
        frame = frame.f_back
    for _ in range(depth):
        if frame is None:
            break
        frame = frame.f_back
    if frame is None:
        raise ValueError(f"context={depth} is beyond the outermost frame")
    return frame


# What restricted code may use: NumPy's element-wise functions (its ufuncs), its constants
# and scalar types, and these functions of arrays.
_NUMPY = frozenset({
    "where", "clip", "round", "around", "select", "digitize", "isin", "nan_to_num", "interp",
    "mean", "std", "var", "median", "quantile", "percentile", "nanmean", "nanstd", "nanvar",
    "nanmedian", "min", "max", "sum", "prod", "cumsum", "cumprod"})
_NODES = (ast.Expression, ast.BinOp, ast.UnaryOp, ast.BoolOp, ast.Compare, ast.IfExp,
          ast.Call, ast.keyword, ast.Name, ast.Constant, ast.Tuple, ast.List, ast.Dict,
          ast.Set, ast.Attribute, ast.Load, ast.operator, ast.unaryop, ast.boolop, ast.cmpop)


def check_restricted(term: Term, columns: Any, fml: str) -> None:
    """Refuse code a restricted namespace does not allow: names other than the data's
    columns and the formula language's functions; attributes other than NumPy's functions,
    constants and types (``np.log``, ``np.pi``) and the contrasts of ``contr``; subscripts,
    lambdas, comprehensions, ``**kwargs`` and keywords starting with ``_``. What is left
    reaches no builtin, no module but NumPy's functions and no method of any object."""
    for code in term.code:
        nodes = list(ast.walk(code.tree))
        parent = {id(child): node for node in nodes for child in ast.iter_child_nodes(node)}
        for node in nodes:
            why = None
            if not isinstance(node, _NODES):
                why = f"{type(node).__name__} is not allowed"
            elif isinstance(node, ast.Name):
                name = code.aliases.get(node.id, node.id)
                if name not in columns and (node.id not in _OWN or node.id in code.aliases):
                    why = f"{name!r} is neither a column nor a function of the formula language"
            elif isinstance(node, ast.Attribute) and \
                    not isinstance(parent.get(id(node)), ast.Attribute):
                why = _attribute_refused(node, code, columns)
            elif isinstance(node, ast.Call) and not isinstance(node.func, (ast.Name,
                                                                           ast.Attribute)):
                why = "only functions may be called"
            elif isinstance(node, ast.keyword) and (node.arg is None or node.arg[:1] == "_"):
                why = f"the keyword {'**' if node.arg is None else node.arg} is not allowed"
            elif isinstance(node, ast.BinOp) and isinstance(node.op, ast.Mod) and \
                    isinstance(node.left, ast.Constant) and \
                    isinstance(node.left.value, (str, bytes)):
                why = "string formatting is not allowed"  # '%0999999999d' % 1: a gigabyte
            if why is not None:
                raise ValueError(f"{_shown(term.label)} in {_shown(fml)} cannot be evaluated "
                                 f"with context={RESTRICTED!r}: {why}. Such formulas may use the "
                                 "data's columns, Python's operators, NumPy's element-wise "
                                 "functions (np.log, np.exp, np.sqrt...) and the formula "
                                 "language's functions (C, I, poly, center, scale, bs...)")


def _attribute_refused(node: ast.Attribute, code: Code, columns: Any) -> str | None:
    chain = []
    base: ast.AST = node
    while isinstance(base, ast.Attribute):
        chain.append(base.attr)
        base = base.value
    chain.reverse()
    text = ast.unparse(node)
    if not isinstance(base, ast.Name) or base.id in code.aliases or base.id in columns or \
            base.id not in ("np", "contr") or len(chain) != 1 or chain[0].startswith("_"):
        return f"the attribute {text!r} is not allowed"
    value = getattr(LANGUAGE[base.id], chain[0], None)
    if base.id == "contr":
        allowed = isinstance(value, type)
    else:
        allowed = (isinstance(value, np.ufunc) or chain[0] in _NUMPY
                   or isinstance(value, float)
                   or isinstance(value, type) and issubclass(value, np.generic))
    return None if allowed else f"the attribute {text!r} is not allowed"


# Multiple estimation ---------------------------------------------------------------------
_STEPWISE = re.compile(r"^(sw0?|csw0?|mvsw)\s*\((.*)\)$", re.S)
_MENTION = re.compile(r"(?<![\w.])(sw0?|csw0?|mvsw)\s*\(")


def expand(fml: object) -> list[str] | None:
    """The formulas of the models ``fml`` spells, or None when it spells a single model
    without any multiple-estimation syntax (the caller then fits it as usual). Models come
    in pyfixest's order: fixed-effect steps, then dependent variables, then regressor
    steps::

        sw(a, b)     a;  b                    one at a time
        sw0(a, b)    none;  a;  b
        csw(a, b)    a;  a + b                cumulative
        csw0(a, b)   none;  a;  a + b
        mvsw(a, b)   none;  a;  b;  a + b     every combination

    Mistakes in the parts that :func:`parse` does not see raise ``ValueError``."""
    if not isinstance(fml, str):
        return None
    parts = _split_top(fml, "|")
    sides = _split_top(parts[0], "~")
    if len(sides) != 2 or not _MENTION.search(fml) and len(_pieces(sides[0])) < 2:
        return None  # one model, or a formula parse() explains what is wrong with
    depvars = _pieces(sides[0])
    if any(_MENTION.search(y) for y in depvars):
        raise ValueError(f"in {fml!r} list several dependent variables with '+' "
                         "('y1 + y2 ~ x'), not with a stepwise function")
    rhs_steps = _steps(sides[1], fml, "regressors")
    fe_index = next((k for k, p in enumerate(parts[1:], 1)
                     if len(_split_top(p, "~")) == 1), None)
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
    return [" ".join(p.split()) for p in _split_top(text, "+")]


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
    args = [" ".join(a.split()) for a in _split_top(match.group(2), ",")]
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
