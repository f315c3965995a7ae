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
           drop_singletons: bool) -> dict[str, Any]: ...
def absorb(columns: Sequence[F64], mask: Mask, fe: Sequence[I32], fe_groups: Sequence[int],
           tol: float, max_iter: int, solver: str,
           progress: Callable[[int, float], object] | None) -> dict[str, Any]: ...
def least_squares(data: F64, y: int, x: Sequence[int], sum_squares: F64,
                  collin_tol: float) -> dict[str, Any]: ...
def hetero_meat(data: F64, x: Sequence[int], resid: F64, bread: F64, power: int) -> F64: ...
def cluster_meats(data: F64, x: Sequence[int], resid: F64,
                  clusters: Sequence[I32]) -> list[dict[str, Any]]: ...
