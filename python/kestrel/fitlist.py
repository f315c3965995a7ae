"""``kestrel.FitList``: the fits of one call that fits several models (multiple estimation,
``split=``, ``fsplit=``), in order, indexed by position or by each model's key, with the
table and plot of them all.

It sits above the results, the tables and the plots (it offers :meth:`FitList.etable` and
:meth:`FitList.coefplot`) and below every estimator, which returns it; ``kestrel.etable``
and ``kestrel.coefplot`` read it as the sequence of fits it is.
"""

from __future__ import annotations

import difflib
from collections.abc import Iterator, Sequence
from typing import Any, overload

import pandas as pd

from kestrel import plots, tables
from kestrel.results import Fit, Summary


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
        return tables.etable(self, **options)

    def coefplot(self, **options: Any) -> Any:
        """Estimates and confidence intervals: see :func:`kestrel.coefplot`."""
        return plots.coefplot(self, **options)

    def __repr__(self) -> str:
        lines = [f"<kestrel.FitList: {len(self)} model{'s' * (len(self) != 1)}>"]
        lines += [f"  [{i}] {_key(f)}  ({f.nobs:,} observations)"
                  for i, f in enumerate(self._fits)]
        return "\n".join(lines)
