"""kestrel: fast, exact linear regression with high-dimensional fixed effects."""

from kestrel import _native
from kestrel._native import PanicException

__all__ = ["PanicException", "_native"]
__version__ = "0.1.0"
