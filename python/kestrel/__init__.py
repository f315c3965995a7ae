"""kestrel: fast, exact linear regression with high-dimensional fixed effects.

    import kestrel
    fit = kestrel.feols("y ~ x1 + x2 | firm + year", df, vcov={"CRV1": "firm"})
    fit.summary()
"""

from kestrel import _native
from kestrel._native import PanicException
from kestrel.estimation import CollinearityWarning, ConvergenceWarning, feols
from kestrel.results import Fit, Summary
from kestrel.vcov import SSC, ssc

__all__ = ["SSC", "CollinearityWarning", "ConvergenceWarning", "Fit", "PanicException",
           "Summary", "_native", "feols", "ssc"]
__version__ = "0.1.0"
