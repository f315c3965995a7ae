"""Panel operators in formulas: lags ``l(x, k)``, leads ``f(x, k)`` and differences
``d(x, k)``, as fixest defines them.

The lag of ``x`` at period t is the value of ``x`` at period t - k of the same panel unit,
found by period, never by row: where that period is absent from the data (a gap in the
panel, or before the unit's first period) the lag is missing, and the row is dropped and
counted like any missing value. ``k`` may be negative (a lead) or a range ``a:b``
(``l(x, 0:2)`` is ``x + l(x, 1) + l(x, 2)``); ``d(x, k)`` is ``x - l(x, k)``.

Periods: an integer time column (or a float one holding integers) counts in steps of the
greatest common divisor of the gaps between its values (1 for years, 2 for a survey every
other year), as fixest's default does; any other time column (dates, strings, categories,
floats with fractions) counts its distinct values in order, each the period after the one
before.

The operators are computed before anything else, on every row of the data, and joined to
it as new columns named as fixest names the coefficients (``l(x, 1)``, ``f(x, 2)``,
``d(x, 1)``); the formula is rewritten to read those columns, so that the rest of the
package (multiple estimation, instruments, transforms such as ``np.log(l(x, 1))``, the
selection of samples) sees ordinary columns.
"""

from __future__ import annotations

import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import narwhals.stable.v2 as nw
import numpy as np
import pandas as pd

from kestrel import _core, formula
from kestrel.data import Frame

OPERATORS = ("l", "f", "d")
_MENTION = re.compile(r"(?<![\w.`])[lfd]\s*\(")
_RANGE = re.compile(r"^\s*(-?\s*\d{1,18})\s*:\s*(-?\s*\d{1,18})\s*$")
_INT = re.compile(r"^\s*-?\s*\d{1,18}\s*$")
# A grid of panel units by periods is used to find each row's lag when it is at most this
# many times larger than the data (else rows are sorted by unit and period).
_GRID_FACTOR = 4
_MULTIPLE = {"sw", "sw0", "csw", "csw0", "mvsw"}
MAX_COLUMNS = 1000
"""Columns the panel operators of one formula may make."""


@dataclass(frozen=True)
class Declared:
    """The panel: the unit's columns (``^`` combines several; None: one time series) and the
    time column."""

    panel: tuple[str, ...] | None
    time: str

    @property
    def label(self) -> str:
        return self.time if self.panel is None else f"{'^'.join(self.panel)}, {self.time}"


def declared(panel: Any = None, panel_id: Any = None, time_id: Any = None) -> Declared | None:
    """The panel given to an estimator as ``panel=(id, time)`` or ``panel_id=``/``time_id=``
    (None: no panel)."""
    if panel is not None:
        if panel_id is not None or time_id is not None:
            raise ValueError("give the panel either as panel=(id, time) or as panel_id= and "
                             "time_id=, not both")
        if isinstance(panel, str) or not isinstance(panel, Sequence) or len(panel) != 2:
            raise ValueError(f"panel must be a pair of column names (id, time) such as "
                             f"panel=('firm', 'year'), not {panel!r}")
        panel_id, time_id = panel
    if panel_id is None and time_id is None:
        return None
    if time_id is None:
        raise ValueError(f"panel_id={panel_id!r} needs time_id= too: lags are taken by period "
                         "within each panel unit")
    if not isinstance(time_id, str) or not time_id:
        raise TypeError(f"time_id must be a column name, not {time_id!r}")
    if panel_id is not None and (not isinstance(panel_id, str) or not panel_id):
        raise TypeError(f"panel_id must be a column name (combine columns with '^', as in "
                        f"'firm^plant'), not {panel_id!r}")
    parts = None if panel_id is None else tuple(p.strip() for p in panel_id.split("^"))
    return Declared(parts, time_id)


def mentions(fml: Any) -> bool:
    """Whether a formula may call a panel operator (a quick look; :func:`rewrite` reads it)."""
    return isinstance(fml, str) and _MENTION.search(fml) is not None


@dataclass(frozen=True)
class Op:
    """One column a panel operator makes: ``kind`` "l" (lag by ``k``; negative: lead) or "d"
    (``x - l(x, k)``)."""

    kind: str
    var: str
    k: int

    @property
    def name(self) -> str:
        if self.kind == "d":
            return f"d({self.var}, {self.k})"
        return f"l({self.var}, {self.k})" if self.k > 0 else f"f({self.var}, {-self.k})"


@dataclass
class Rewritten:
    """A formula whose panel operators read columns: ``text`` (the operators' columns
    backticked), ``ops`` the columns to make, in order of first mention."""

    original: str
    text: str
    ops: list[Op] = field(default_factory=list)

    def display(self, text: str) -> str:
        """A formula of the rewritten text (such as one model of a multiple estimation) as
        the caller would write it: the operators' columns without their backticks."""
        if text == self.text:
            return self.original
        for op in self.ops:
            text = text.replace(f"`{op.name}`", op.name)
        return text


def rewrite(fml: Any) -> Rewritten | None:
    """The panel operators of ``fml`` (outside its fixed-effect part) and the formula reading
    their columns instead; None when it calls none."""
    if not mentions(fml):
        return None
    parts = formula._split_top(fml, "|")
    ops: dict[Op, None] = {}
    out = []
    for k, part in enumerate(parts):
        if k > 0 and len(formula._split_top(part, "~")) == 1:
            out.append(part)  # fixed effects: identifiers, never lagged
            continue
        out.append(_rewrite_part(part, fml, ops))
    text = "|".join(out)
    if not ops and text == fml:
        return None
    if len(ops) > MAX_COLUMNS:
        raise ValueError(f"the panel operators of {formula._shown(fml)} make {len(ops):,} "
                         f"columns; at most {MAX_COLUMNS:,} are allowed")
    return Rewritten(fml, text, list(ops))


def _rewrite_part(part: str, fml: str, ops: dict[Op, None]) -> str:
    pieces: list[str] = []
    last = 0
    for start, end, name, args, enclosing in _calls(part):
        if start < last:
            continue  # inside a call already replaced (refused below when nested)
        made = _expand(name, args, fml, part[start:end])
        for op in made:
            if op is not None:
                ops[op] = None
        var = _variable(args, name, fml, part[start:end])
        shown = [_backticked(var) if o is None else f"`{o.name}`" for o in made]
        whole = _whole_piece(part, start, end)
        if len(shown) > 1 and not (whole and (enclosing is None or enclosing in _MULTIPLE)):
            if enclosing is None:
                replacement = "(" + " + ".join(shown) + ")"
            else:
                raise ValueError(f"{part[start:end].strip()!r} in {fml!r} makes several "
                                 f"columns, which {enclosing}() cannot take as one argument: "
                                 "write one lag per call, such as "
                                 f"{name}({var}, 1)")
        else:
            replacement = " + ".join(shown)
        pieces += [part[last:start], replacement]
        last = end
    pieces.append(part[last:])
    return "".join(pieces)


def _backticked(var: str) -> str:
    return var if re.fullmatch(r"[A-Za-z_]\w*", var) else f"`{var}`"


def _calls(part: str) -> list[tuple[int, int, str, str, str | None]]:
    """(start, end, operator, arguments, enclosing function or None) of each call of a panel
    operator in ``part`` outside quotes and backticks, in order of their end."""
    found = []
    stack: list[tuple[int, str | None, int]] = []
    quote = None
    for pos, ch in enumerate(part):
        if quote:
            if ch == quote:
                quote = None
        elif ch in "'\"`":
            quote = ch
        elif ch in "([{":
            name, start = _name_before(part, pos) if ch == "(" else (None, pos)
            stack.append((pos, name, start))
        elif ch in ")]}" and stack:
            opened, name, start = stack.pop()
            if name in OPERATORS and (start == 0 or part[start - 1] not in "`"):
                enclosing = stack[-1][1] if stack else None
                found.append((start, pos + 1, name, part[opened + 1:pos], enclosing))
    found.sort(key=lambda c: c[0])
    # A call inside another is refused by the outer one's first argument.
    return found


def _name_before(part: str, pos: int) -> tuple[str | None, int]:
    """The dotted name called by the bracket at ``pos`` and where it starts (scanning back
    only over the name and the spaces before the bracket: long formulas stay linear)."""
    end = pos
    while end > 0 and part[end - 1].isspace():
        end -= 1
    start = end
    while start > 0 and (part[start - 1].isalnum() or part[start - 1] in "_."):
        start -= 1
    name = part[start:end]
    if not name or not (name[0].isalpha() or name[0] == "_"):
        return None, pos
    return name, start


def _whole_piece(part: str, start: int, end: int) -> bool:
    """Whether the text from ``start`` to ``end`` is a whole term: between separators."""
    i = start - 1
    while i >= 0 and part[i].isspace():
        i -= 1
    j = end
    while j < len(part) and part[j].isspace():
        j += 1
    return (i < 0 or part[i] in "+-~,(") and (j == len(part) or part[j] in "+-~,)")


def _variable(args: str, name: str, fml: str, call: str) -> str:
    pieces = formula._split_top(args, ",")
    var = pieces[0].strip()
    if len(var) > 1 and var[0] == var[-1] == "`":
        return var[1:-1]
    if not re.fullmatch(r"[A-Za-z_][\w.]*", var):
        raise ValueError(f"the first argument of {call.strip()!r} in {fml!r} must be a column "
                         f"(operators do not nest: make the column first, or write "
                         f"{name}(x, k) of a column x)")
    return var


def _expand(name: str, args: str, fml: str, call: str) -> list[Op | None]:
    """The columns of one call, in order (None: lag 0, the column itself)."""
    var = _variable(args, name, fml, call)
    pieces = [p.strip() for p in formula._split_top(args, ",")]
    if len(pieces) > 2:
        raise ValueError(f"{call.strip()!r} in {fml!r} takes a column and a number of periods, "
                         f"such as {name}({var}, 1) or {name}({var}, 0:2)")
    k_text = pieces[1] if len(pieces) == 2 else "1"
    if "=" in k_text:
        key, _, k_text = k_text.partition("=")
        if key.strip() != "k":
            raise ValueError(f"{call.strip()!r} in {fml!r}: the only option of {name}() is "
                             f"k, the number of periods ({name}({var}, k=1))")
    if _INT.match(k_text):
        ks = [int(k_text.replace(" ", ""))]
    elif (m := _RANGE.match(k_text)) is not None:
        a, b = int(m.group(1).replace(" ", "")), int(m.group(2).replace(" ", ""))
        if abs(b - a) >= MAX_COLUMNS:
            raise ValueError(f"{call.strip()!r} in {fml!r} makes {abs(b - a) + 1:,} columns; "
                             f"at most {MAX_COLUMNS:,} are allowed")
        ks = list(range(a, b + 1)) if a <= b else list(range(a, b - 1, -1))
    else:
        raise ValueError(f"the number of periods in {call.strip()!r} of {fml!r} must be an "
                         f"integer such as 1 or -1, or a range such as 0:2, not {k_text!r}")
    if len(ks) > MAX_COLUMNS:
        raise ValueError(f"{call.strip()!r} in {fml!r} makes {len(ks):,} columns; at most "
                         f"{MAX_COLUMNS:,} are allowed")
    out: list[Op | None] = []
    for k in ks:
        if name == "d":
            if k == 0:
                raise ValueError(f"{call.strip()!r} in {fml!r}: d({var}, 0) would be "
                                 f"{var} - {var}, zero everywhere; differences take k != 0")
            out.append(Op("d", var, k))
        else:
            lag = k if name == "l" else -k
            out.append(None if lag == 0 else Op("l", var, lag))
    return out


# Computing the columns ---------------------------------------------------------------------

@dataclass(frozen=True)
class Periods:
    """How a time column's values become integer periods: ``(t - origin) // step`` for
    integer times (``values`` None), else the position among the sorted ``values``."""

    origin: int
    step: int
    values: Any | None  # the distinct times, sorted (positional periods)


class Locator:
    """Each row's unit and period, and for a shift of k periods the row holding the same
    unit k periods earlier. Rows are found through a key unit * T + period: in a grid of
    every key (when it is not much larger than the data) or among the sorted keys."""

    def __init__(self, frame: Frame, panel: Declared, periods: Periods | None = None):
        n = frame.n_rows
        self.n = n
        gone = np.zeros(n, dtype=bool)
        for part in panel.panel or ():
            frame.series(part)
            missing = frame.missing(part)
            if missing is not None:
                gone |= missing
        ints = _integer_times(frame, panel.time)
        self.periods = periods if periods is not None else \
            _periods(frame, panel.time, ~gone, ints)
        period, undefined = _apply_periods(frame, panel.time, self.periods, ints)
        if undefined is not None:
            gone |= undefined
        self.n_periods = int(period.max()) + 1 if n else 1
        grid_limit = max(_GRID_FACTOR * n, 1 << 20)
        unit = np.zeros(n, dtype=np.int64) if panel.panel is None else \
            _unit_codes(frame, panel.panel)
        any_gone = bool(gone.any())
        if any_gone:
            unit = np.where(gone, 0, unit)
            period = np.where(gone, 0, period)
        self.gone = gone if any_gone else None
        self.period = period
        n_units = int(unit.max()) + 1 if n else 1
        size = n_units * self.n_periods
        # 32-bit keys and rows where they fit: gathers from the grid run several times faster.
        small = size + 2048 < 2**31 and n < 2**31 - 1
        index = np.int32 if small else np.int64
        self.key = unit.astype(index, copy=False) * index(self.n_periods) + period.astype(index)
        self.period = self.period.astype(index, copy=False)
        self._frame = frame
        self._panel = panel
        rows = np.arange(n, dtype=index)
        if size <= grid_limit:
            # One more cell, never a key, holds "no row" (n) for lags outside the panel.
            self.grid = np.full(size + 1, n, dtype=index)
            keys = self.key if not any_gone else self.key[~gone]
            self.grid[keys] = rows if not any_gone else rows[~gone]
            self.outside = size
            # Two rows of one key fill one cell: fewer cells filled than rows.
            if np.count_nonzero(self.grid[:size] != n) < keys.size:
                used = rows if not any_gone else rows[~gone]
                clash = used[self.grid[keys] != used]
            else:
                clash = np.empty(0, dtype=index)
        else:
            self.grid = None
            kept = rows if not any_gone else rows[~gone]
            order = kept[np.argsort(self.key[kept], kind="stable")]
            self.sorted_keys, self.sorted_rows = self.key[order], order
            clash = order[1:][self.sorted_keys[1:] == self.sorted_keys[:-1]]
        if clash.size:
            self._duplicate(int(clash[0]))

    def _duplicate(self, row: int) -> None:
        frame, panel = self._frame, self._panel
        cols = list(panel.panel or ()) + [panel.time]
        shown = ", ".join(f"{c}={_value(frame, c, row)!r}" for c in cols)
        pair = f"({', '.join(cols)})"
        raise ValueError(f"the panel has several rows for {shown}: lags and differences need "
                         f"at most one row per {pair}; drop or aggregate the duplicates")

    def source(self, k: int) -> np.ndarray:
        """For every row, the row of the same unit k periods earlier, or n (no such row)."""
        if abs(k) >= self.n_periods:
            return np.full(self.n, self.n, dtype=np.int64)
        ok = (self.period >= k) if k > 0 else (self.period < self.n_periods + k)
        if self.gone is not None:
            ok &= ~self.gone
        if self.grid is not None:
            return self.grid[np.where(ok, self.key - self.key.dtype.type(k), self.outside)]
        out = np.full(self.n, self.n, dtype=np.int64)
        rows = np.flatnonzero(ok)
        key = self.key[rows].astype(np.int64) - k
        at = np.minimum(np.searchsorted(self.sorted_keys, key), len(self.sorted_keys) - 1)
        hit = self.sorted_keys[at] == key
        out[rows[hit]] = self.sorted_rows[at[hit]]
        return out


def _value(frame: Frame, column: str, row: int) -> Any:
    value = frame.values(column, np.array([row]))[0]
    return value.item() if isinstance(value, np.generic) else value


def _unit_codes(frame: Frame, parts: tuple[str, ...]) -> np.ndarray:
    """Codes of the panel units: the frame's codes of the id (kept by the frame, so that a
    panel id that is also a fixed effect is coded once), or of the ids' combinations."""
    first = frame.codes(parts[0])
    codes, n_groups = first.codes, first.n_groups
    for part in parts[1:]:
        nxt = frame.codes(part)
        key = codes.astype(np.int64) * max(nxt.n_groups, 1) + nxt.codes
        codes, n_groups = _core.recode(key)
    return codes


def _integer_times(frame: Frame, time: str) -> tuple[np.ndarray, np.ndarray | None] | None:
    """The time column as int64 and the rows where it is missing (None: none), when it
    holds integers."""
    if not frame.is_numeric(time) or frame.series(time).dtype == nw.Boolean:
        return None
    values = frame.ordered(time, "time_id")
    gone = frame.missing(time)
    if values.dtype.kind == "f":
        usable = values if gone is None else values[~gone]
        with np.errstate(invalid="ignore"):
            whole = np.array_equal(np.floor(usable), usable)
        if not whole or (usable.size and np.abs(usable).max() >= 2.0 ** 53):
            return None
        values = (values if gone is None else np.where(gone, 0, values)).astype(np.int64)
    elif values.dtype == np.uint64:
        values = values.astype(np.int64)
    return values, gone


def _periods(frame: Frame, time: str, valid: np.ndarray,
             ints: tuple[np.ndarray, np.ndarray | None] | None) -> Periods:
    if ints is not None:
        values, gone = ints
        usable = values if gone is None and valid.all() else \
            values[valid & (True if gone is None else ~gone)]
        if not usable.size:
            return Periods(0, 1, None)
        origin, top = int(usable.min()), int(usable.max())
        if top - origin <= 4 * usable.size:
            # The gaps between distinct values, from which of the offsets occur.
            offsets = np.flatnonzero(np.bincount(usable - origin))
        else:
            offsets = usable - origin
        step = int(np.gcd.reduce(offsets)) if offsets.size else 0
        return Periods(origin, step or 1, None)
    codes, levels = frame.levels(time)
    return Periods(0, 1, pd.Index(levels))


def _apply_periods(frame: Frame, time: str, periods: Periods,
                   ints: tuple[np.ndarray, np.ndarray | None] | None
                   ) -> tuple[np.ndarray, np.ndarray | None]:
    """Integer periods of every row (0 or more) and the rows where they are undefined (None:
    none). ``ints``: the time column as integers (:func:`_integer_times`), if it holds them."""
    if periods.values is None:
        if ints is None:
            raise ValueError(f"the time column {time!r} must hold integers here, as it did "
                             "where the model was fitted")
        values, gone = ints
        shifted = values - periods.origin
        # New data may start before the fit's first period or fall between its steps:
        # counting from a lower origin keeps the periods apart and non-negative.
        low = int((shifted if gone is None else shifted[~gone]).min()) if len(shifted) else 0
        if low < 0:
            shifted -= low - low % periods.step
        if periods.step > 1:
            off_step = shifted % periods.step != 0
            shifted //= periods.step
            gone = off_step if gone is None else gone | off_step
        if gone is not None:
            shifted[gone] = 0
        return shifted, gone
    codes, levels = frame.levels(time)
    known = periods.values
    if len(levels) and not known.equals(pd.Index(levels)):
        known = known.append(pd.Index(levels)).unique().sort_values()
    position = known.get_indexer(pd.Index(levels)) if len(levels) else np.empty(0, np.intp)
    gone = codes < 0
    period = position[np.maximum(codes, 0)] if len(levels) else np.zeros(len(codes), np.intp)
    return period.astype(np.int64), gone if gone.any() else None


def compute(frame: Frame, panel: Declared, ops: Sequence[Op],
            periods: Periods | None = None) -> tuple[dict[str, np.ndarray], Periods]:
    """The columns of ``ops`` over every row of ``frame`` (NaN where undefined)."""
    for op in ops:
        frame.floats(op.var, f"variable of {op.name}")  # numeric, or TypeError naming it
    locator = Locator(frame, panel, periods)
    sources: dict[int, np.ndarray] = {}
    padded: dict[str, np.ndarray] = {}
    out: dict[str, np.ndarray] = {}
    for op in ops:
        if op.var not in padded:  # the column and NaN at position n, for "no row"
            padded[op.var] = np.append(frame.floats(op.var), np.nan)
        if op.k not in sources:
            sources[op.k] = locator.source(op.k)
        lagged = padded[op.var][sources[op.k]]
        out[op.name] = padded[op.var][:-1] - lagged if op.kind == "d" else lagged
    return out, locator.periods


def augment(data: Any, columns: Mapping[str, np.ndarray]) -> Any:
    """``data`` with ``columns`` joined, the caller's frame untouched and its own columns
    not copied."""
    if isinstance(data, pd.DataFrame):
        out = data.copy(deep=False)
        for name, values in columns.items():
            out[name] = values
        return out
    frame = nw.from_native(data, eager_only=True)
    backend = nw.get_native_namespace(frame)
    return frame.with_columns(*[nw.new_series(name, values, nw.Float64, backend=backend)
                                for name, values in columns.items()]).to_native()


@dataclass(frozen=True)
class Operators:
    """What a fit keeps to compute its panel operators again on new data."""

    panel: Declared
    ops: tuple[Op, ...]
    periods: Periods

    def apply(self, newdata: Any) -> Any:
        frame = Frame(newdata)
        for part in (*(self.panel.panel or ()), self.panel.time):
            frame.series(part)
        clash = [op.name for op in self.ops if op.name in frame.columns]
        if clash:
            raise ValueError(f"newdata has a column named {clash[0]!r}, the name of a panel "
                             "operator of the formula: rename it")
        columns, _ = compute(frame, self.panel, self.ops, self.periods)
        return augment(newdata, columns)


def prepare(fml: str, data: Any, panel: Declared | None,
            has_name: Any) -> tuple[str, Any, Rewritten | None, Operators | None]:
    """The formula and data a fit with panel operators reads: the operators' columns joined
    to ``data`` and the formula rewritten to read them. ``has_name(name)``: whether the
    formula's namespace has a function of that name (a call of the caller's own ``f`` is
    left alone when no panel is given)."""
    rewritten = rewrite(fml)
    if rewritten is None:
        return fml, data, None, None
    if panel is None:
        called = sorted({op_name for op_name in OPERATORS
                         if re.search(rf"(?<![\w.`]){op_name}\s*\(", fml)})
        if all(has_name(n) for n in called):
            return fml, data, None, None  # the caller's own functions
        first = next(n for n in called if not has_name(n))
        raise ValueError(f"{first}() in {fml!r} is a panel operator (lag l(), lead f(), "
                         "difference d()): give the panel with panel_id= and time_id= (or "
                         "panel=(id, time)); time_id= alone for a single time series")
    frame = Frame(data)
    clash = [op.name for op in rewritten.ops if op.name in frame.columns]
    if clash:
        raise ValueError(f"the data has a column named {clash[0]!r}, the name of a panel "
                         f"operator of {fml!r}: rename that column")
    columns, periods = compute(frame, panel, rewritten.ops)
    return (rewritten.text, augment(data, columns), rewritten,
            Operators(panel, tuple(rewritten.ops), periods))
