"""Every warning class kestrel issues, and the two ways it issues warnings on the caller's
behalf. The bottom of the package: it imports nothing of kestrel, so every module may use it.

``kestrel.CollinearityWarning`` and the others are these classes; the modules that issue
them (``kestrel.vcov``, ``kestrel.prediction``...) also keep them under their old names.
"""

from __future__ import annotations

import os
import sys
import warnings
from collections.abc import Iterator
from contextlib import contextmanager


class CollinearityWarning(UserWarning):
    """Regressors were dropped as collinear or absorbed by the fixed effects."""


class ConvergenceWarning(UserWarning):
    """Demeaning stopped at its iteration cap before reaching its tolerance."""


class EmptySampleWarning(UserWarning):
    """A level of ``split=`` had no rows left to fit and was skipped."""


class LeverageWarning(UserWarning):
    """Rows with leverage 1 leave HC2/HC3 standard errors undefined (NaN)."""


class SeparationWarning(UserWarning):
    """Rows were dropped because their fitted mean goes to a bound (separation)."""


class UnseenLevelWarning(UserWarning):
    """New data has identifier levels the fit did not see; their predictions are NaN."""


class NegativeVarianceWarning(UserWarning):
    """A coefficient's estimated variance is negative (multi-way clustering's signed sum of
    meats need not be positive semi-definite); its standard error is NaN."""


class IrregularFixedEffectsWarning(UserWarning):
    """The fixed effects' values are not identified by one reference per fixed effect."""


class Collector:
    """Catches the warnings of the steps run under :meth:`under`, each message prefixed by
    what it concerns (a model, a sample), and issues them again with :meth:`issue`, once the
    work is done, pointing at the line that called kestrel.

    Multiple estimation prefixes ``"model 'y ~ x': "``, ``split=`` ``"sample g = a: "``;
    a step that raises loses its warnings with it (the error says what went wrong)."""

    def __init__(self) -> None:
        self.caught: list[warnings.WarningMessage] = []

    @contextmanager
    def under(self, prefix: str) -> Iterator[None]:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            yield
        for w in caught:
            w.message = f"{prefix}{w.message}"  # type: ignore[assignment]
            self.caught.append(w)

    def issue(self, stacklevel: int) -> None:
        """Issue what was caught; ``stacklevel`` as the caller would pass it to
        :func:`warnings.warn`."""
        caught, self.caught = self.caught, []
        for w in caught:
            warnings.warn(w.message, w.category, stacklevel=stacklevel + 1)


def warn_at_caller(message: str, category: type[Warning]) -> None:
    """A warning attributed to the caller's line: the first frame outside kestrel, however
    deep the call (fepois, feglm, multiple estimation)."""
    package = os.path.dirname(os.path.abspath(__file__))
    frame, level = sys._getframe(1), 2
    while frame is not None and os.path.dirname(
            os.path.abspath(frame.f_code.co_filename)).startswith(package):
        frame, level = frame.f_back, level + 1
    warnings.warn(message, category, stacklevel=level)
