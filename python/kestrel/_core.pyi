"""Typed face of the engine's pipeline stages for the Python layer (kestrel._core)."""
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

F64 = npt.NDArray[np.float64]
I32 = npt.NDArray[np.int32]
Mask = npt.NDArray[np.bool_]

__all__: list[str]

def recode(values: npt.NDArray[Any]) -> tuple[I32, int]: ...
def sample(fe: Sequence[I32], clusters: Sequence[I32], keep: Mask,
           drop_singletons: bool, counts: F64 | None = None) -> dict[str, Any]: ...
def absorb(columns: Sequence[F64], mask: Mask, fe: Sequence[I32], fe_groups: Sequence[int],
           tol: float, max_iter: int, solver: str,
           progress: Callable[[int, float], object] | None,
           weights: F64 | None = None, start: Sequence[F64] | None = None,
           coefficients: bool = False, slopes: Sequence[F64] | None = None,
           slope_layout: Sequence[int] | None = None) -> dict[str, Any]: ...
def least_squares(data: F64, y: int, x: Sequence[int], sum_squares: F64,
                  collin_tol: float) -> dict[str, Any]: ...
def hetero_meat(data: F64, x: Sequence[int], resid: F64, bread: F64, power: int) -> F64: ...
def cluster_meats(data: F64, x: Sequence[int], resid: F64,
                  clusters: Sequence[I32]) -> list[dict[str, Any]]: ...
def residuals(data: F64, y: int, x: Sequence[int], coef: F64) -> dict[str, Any]: ...
def newey_west_meat(data: F64, x: Sequence[int], resid: F64, time: I32, panel: Sequence[I32],
                    lag: int) -> F64: ...
def driscoll_kraay_meat(data: F64, x: Sequence[int], resid: F64, time: I32, lag: int) -> F64: ...
def fixef_values(resid: F64, fe: Sequence[I32], fe_groups: Sequence[int],
                 preference: Sequence[I32], tol: float, max_iter: int,
                 weights: F64 | None = None) -> dict[str, Any]: ...
