"""The caller's DataFrame, read column by column for the engine.

pandas and polars frames (and whatever else narwhals reads eagerly) are accepted. Numeric
columns reach the engine as float64 NumPy arrays, views of the caller's memory where the
column already is float64, so the engine's copy at the used rows is the only one.
Identifiers of any dtype become int32 codes: integer, float and date columns through the
engine's ``recode`` (one hash pass), strings, categoricals and objects through the frame
library's own factorisation. Their values, for the labels of a fit's levels and for matching
new data to them, are read exactly: integers never through float64, time zones kept.
Column names are read as text: a formula names a column labelled 0 as `0` (backticked).
"""

from __future__ import annotations

import difflib
from dataclasses import dataclass
from typing import Any

import narwhals.stable.v2 as nw
import numpy as np
import pandas as pd

from kestrel import _core


@dataclass(frozen=True)
class Codes:
    """Identifier codes over all rows: ``codes`` int32 (values of missing rows are arbitrary),
    ``n_groups`` an upper bound of the codes, ``missing`` rows without a valid identifier."""

    codes: np.ndarray
    n_groups: int
    missing: np.ndarray | None


class Frame:
    """Read-only, cached access to the columns of the caller's DataFrame."""

    def __init__(self, data: Any):
        try:
            self._frame = nw.from_native(data, eager_only=True)
        except TypeError:
            raise TypeError("data must be a pandas or polars DataFrame, not "
                            f"{type(data).__module__}.{type(data).__name__}") from None
        self.native = data
        labels = list(self._frame.columns)
        self.columns = [str(c) for c in labels]
        # Formulas name columns by text: the caller's label of each name (0 for "0").
        self._label = dict(zip(self.columns, labels))
        self.n_rows = len(self._frame)
        self.is_pandas = isinstance(data, pd.DataFrame)
        if len(self._label) < len(labels):
            dup = list(dict.fromkeys(c for c in self.columns if self.columns.count(c) > 1))
            raise ValueError(f"the data has duplicated column names: {dup}")
        self._floats: dict[str, np.ndarray] = {}
        self._codes: dict[str, Codes] = {}

    def series(self, name: str):
        if name not in self.columns:
            close = difflib.get_close_matches(name, self.columns, n=3)
            hint = f"; did you mean {' or '.join(map(repr, close))}?" if close else ""
            raise KeyError(f"column {name!r} is not in the data{hint}")
        return self._frame.get_column(self._label[name])

    def dtype(self, name: str) -> str:
        return str(self.series(name).dtype)

    def is_numeric(self, name: str) -> bool:
        dtype = self.series(name).dtype
        return dtype.is_numeric() or dtype == nw.Boolean

    def is_categorical(self, name: str) -> bool:
        return self.series(name).dtype in (nw.Categorical, nw.Enum)

    def floats(self, name: str, role: str = "variable") -> np.ndarray:
        """The column as float64 (nulls as NaN): a view of the caller's memory when it is
        float64 already, else one converted copy."""
        if name in self._floats:
            return self._floats[name]
        s = self.series(name)
        if not self.is_numeric(name):
            raise TypeError(f"the {role} {name!r} must be numeric, but its dtype is {s.dtype}")
        if s.dtype == nw.Boolean and s.null_count():
            s = s.cast(nw.Float64)
        values = s.to_numpy()
        if values.dtype != np.float64:
            values = values.astype(np.float64)
        self._floats[name] = values
        return values

    def ordered(self, name: str, role: str) -> np.ndarray:
        """A column whose values have an order (time periods): integers as int64 (uint64
        kept), floats as float64, dates and times as datetime64; nulls hold arbitrary values
        (:meth:`missing` marks them)."""
        s = self.series(name)
        dtype = s.dtype
        if dtype.is_integer():
            values = (s.fill_null(0) if s.null_count() else s).to_numpy()
            return values if values.dtype in (np.int64, np.uint64) else values.astype(np.int64)
        if dtype.is_float():
            return self.floats(name)
        if dtype.is_temporal():
            values = s.to_numpy()
            if values.dtype.kind in "mM":
                return values
        raise TypeError(f"the {role} {name!r} must be numeric or a date, but its dtype is "
                        f"{dtype}")

    def missing(self, name: str) -> np.ndarray | None:
        """Rows where the column has no usable value: null, NaN or ±inf (None: no such row)."""
        s = self.series(name)
        if name in self._floats or s.dtype.is_float():
            bad = ~np.isfinite(self.floats(name))
        elif name in self._codes:
            return self._codes[name].missing
        else:  # integers, strings, ...: only nulls (no float copy of an identifier column)
            bad = s.is_null().to_numpy() if s.null_count() else None
        return bad if bad is not None and bad.any() else None

    def codes(self, name: str) -> Codes:
        if name not in self._codes:
            self._codes[name] = self._make_codes(name)
        return self._codes[name]

    def _make_codes(self, name: str) -> Codes:
        s = self.series(name)
        dtype = s.dtype
        self._check_identifier(name)
        nulls = s.null_count()
        if (dtype.is_integer() and dtype not in _WIDE) or dtype == nw.Boolean:
            missing = s.is_null().to_numpy() if nulls else None
            values = (s.fill_null(dtype != nw.Boolean and 0) if nulls else s).to_numpy()
            if values.dtype == np.uint64:
                values = values.view(np.int64)  # identity is all that matters
            elif values.dtype not in (np.int64, np.int32):
                values = values.astype(np.int64 if values.itemsize >= 4 else np.int32)
            codes, n_groups = _core.recode(values)
            return Codes(codes, n_groups, missing)
        if dtype.is_float():
            values = self.floats(name)
            codes, n_groups = _core.recode(values)
            return Codes(codes, n_groups, _nonzero_or_none(~np.isfinite(values)))
        if dtype.is_temporal():
            values = s.to_numpy()
            if values.dtype.kind in "mM":
                missing = np.isnat(values)
                codes, n_groups = _core.recode(values.view(np.int64))
                return Codes(codes, n_groups, _nonzero_or_none(missing))
        codes, n_groups = self._factorize(name)
        return Codes(codes, n_groups, _nonzero_or_none(codes < 0))

    def _factorize(self, name: str) -> tuple[np.ndarray, int]:
        """Codes of a string, categorical or object column (-1 where null)."""
        s = self.series(name)
        native = nw.to_native(s)
        if isinstance(native, pd.Series) and isinstance(native.dtype, pd.CategoricalDtype):
            return native.cat.codes.to_numpy().astype(np.int32), len(native.cat.categories)
        if _is_polars(native) and s.dtype in (nw.String, nw.Categorical, nw.Enum):
            import polars as pl

            physical = native.cast(pl.Categorical).to_physical()
            missing = physical.is_null().to_numpy()
            codes, n_groups = _core.recode(physical.fill_null(0).cast(pl.Int64).to_numpy())
            codes[missing] = -1
            return codes, n_groups
        values = native if isinstance(native, pd.Series) else self.values(name)
        try:
            codes, uniques = pd.factorize(values)
        except TypeError as exc:  # unhashable values: lists, dicts, sets
            raise ValueError(f"the column {name!r} of type {s.dtype} cannot identify groups: "
                             f"its values cannot be compared for equality ({exc})") from None
        return codes.astype(np.int32), len(uniques)

    def _check_identifier(self, name: str) -> None:
        dtype = self.series(name).dtype
        if isinstance(dtype, (nw.List, nw.Array, nw.Struct)):
            raise ValueError(f"the column {name!r} of type {dtype} cannot identify groups: "
                             "use a column of numbers, strings, dates or categories (combine "
                             "columns with '^', as in firm^year)")

    def values(self, name: str, rows: np.ndarray | None = None) -> Any:
        """An identifier column's values (at ``rows``), exactly: integers as integers (never
        through float64), time zones kept, anything else as the frame library gives it. At
        rows where the column is null the values are arbitrary (:meth:`missing` marks them)."""
        self._check_identifier(name)
        s = self.series(name)
        if rows is not None:
            s = s[rows]
        dtype = s.dtype
        native = nw.to_native(s)
        if (dtype.is_integer() and dtype not in _WIDE) or dtype == nw.Boolean:
            return (s.fill_null(dtype != nw.Boolean and 0) if s.null_count() else s).to_numpy()
        if isinstance(native, pd.Series):
            if isinstance(native.dtype, pd.CategoricalDtype):
                return native.cat.categories.take(np.maximum(native.cat.codes.to_numpy(), 0))
            return native.array  # keeps time zones, periods, intervals
        if dtype == nw.Datetime and dtype.time_zone is not None:
            # polars gives UTC wall times
            utc = pd.DatetimeIndex(native.to_numpy()).tz_localize("UTC")
            return utc.tz_convert(dtype.time_zone)
        if dtype.is_float() or dtype.is_temporal() and dtype != nw.Time \
                or dtype in (nw.String, nw.Categorical, nw.Enum):
            return native.to_numpy()
        # Decimals, times, bytes, 128-bit integers, Python objects: as Python values.
        out = np.empty(len(native), dtype=object)
        out[:] = native.to_list()
        return out

    def levels(self, name: str) -> tuple[np.ndarray, list[Any]]:
        """Codes numbering the sorted distinct values (-1 where missing) and those values, for
        expanding a column into indicator columns the way formulaic orders them."""
        s = self.series(name)
        native = nw.to_native(s)
        if not isinstance(native, pd.Series):
            # Nulls filled with a value of the column's own type (to_numpy would turn
            # nullable integers into floats); the caller keeps only levels seen in used rows.
            native = (s.fill_null(s.drop_nulls().head(1).item(0)) if 0 < s.null_count() < len(s)
                      else s).to_numpy()
        try:
            codes, uniques = pd.factorize(native, sort=True)
        except TypeError as exc:
            kinds = sorted({type(v).__name__ for v in np.asarray(native, dtype=object)
                            if v is not None and not (isinstance(v, float) and v != v)})
            if len(kinds) > 1:
                raise TypeError(f"the column {name!r} mixes values of types {', '.join(kinds)}, "
                                "which have no common order for its levels: convert it to one "
                                f"type (such as df[{name!r}].astype(str))") from None
            raise TypeError(f"the column {name!r} of type {s.dtype} cannot be expanded into "
                            f"levels: {exc}") from None
        if self.is_numeric(name):
            codes = np.where(np.isfinite(self.floats(name)), codes, -1)
        return codes, list(np.asarray(uniques).tolist())

    def pandas_rows(self, names: list[str], rows: np.ndarray) -> pd.DataFrame:
        """A pandas frame of some columns at some rows (for formulaic)."""
        if self.is_pandas:
            table = self.native.iloc[rows][[self._label[n] for n in names]]
            return table.set_axis(names, axis=1).reset_index(drop=True)
        return pd.DataFrame({n: self.series(n).to_numpy()[rows] for n in names})


_WIDE = (nw.Int128, nw.UInt128)  # no NumPy dtype holds them


def _is_polars(native: Any) -> bool:
    return type(native).__module__.startswith("polars")


def _nonzero_or_none(mask: np.ndarray) -> np.ndarray | None:
    return mask if mask.any() else None
