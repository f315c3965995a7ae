"""kestrel: fast, exact linear regression with high-dimensional fixed effects.

    import kestrel
    fit = kestrel.feols("y ~ x1 + x2 | firm + year", df, vcov={"CRV1": "firm"})
    fit.summary()
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

from kestrel import _native
from kestrel._native import PanicException

if TYPE_CHECKING:
    from kestrel.demeaning import demean
    from kestrel.estimation import feols
    from kestrel.fitlist import FitList
    from kestrel.glm import GlmFit, feglm, fepois
    from kestrel.inference import BootTest, WaldTest
    from kestrel.plots import coefplot
    from kestrel.results import Fit, Summary
    from kestrel.tables import etable
    from kestrel.vcov import SSC, ssc
    from kestrel.warning_types import (CollinearityWarning, ConvergenceWarning,
                                       EmptySampleWarning, IrregularFixedEffectsWarning,
                                       LeverageWarning, NegativeVarianceWarning,
                                       SeparationWarning, UnseenLevelWarning)

# The user-facing names load on first use, so that processes that only need the engine
# (`import kestrel._native`) do not pay for pandas, formulaic and SciPy.
_WARNINGS = "kestrel.warning_types"
_LAZY = {"feols": "kestrel.estimation", "Fit": "kestrel.results",
         "Summary": "kestrel.results", "SSC": "kestrel.vcov", "ssc": "kestrel.vcov",
         "FitList": "kestrel.fitlist", "etable": "kestrel.tables", "coefplot": "kestrel.plots",
         "demean": "kestrel.demeaning",
         "WaldTest": "kestrel.inference", "BootTest": "kestrel.inference",
         "fepois": "kestrel.glm", "feglm": "kestrel.glm", "GlmFit": "kestrel.glm",
         "CollinearityWarning": _WARNINGS, "ConvergenceWarning": _WARNINGS,
         "LeverageWarning": _WARNINGS, "SeparationWarning": _WARNINGS,
         "EmptySampleWarning": _WARNINGS, "UnseenLevelWarning": _WARNINGS,
         "IrregularFixedEffectsWarning": _WARNINGS, "NegativeVarianceWarning": _WARNINGS}

__all__ = ["PanicException", "_native", *_LAZY]
__version__ = "0.1.0"


def __getattr__(name: str) -> Any:
    if name not in _LAZY:
        raise AttributeError(f"module 'kestrel' has no attribute {name!r}")
    value = getattr(importlib.import_module(_LAZY[name]), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))
