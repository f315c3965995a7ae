"""Typed face of the compiled engine (kestrel._native)."""
from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

F64 = npt.NDArray[np.float64]
I32 = npt.NDArray[np.int32]
I64 = npt.NDArray[np.int64]

__all__: list[str]

class PanicException(BaseException): ...

def rust_demean(x: F64, fe_codes_list: Sequence[I32], n_groups_list: Sequence[int],
                tol: float, max_iter: int) -> F64: ...
def rust_clustered_meat(x: F64, resid: F64, codes: I32, n_groups: int) -> F64: ...
def rust_recode(arr: I64) -> tuple[I32, int]: ...
def rust_ols_core(y: F64, x: F64, fe_codes_list: Sequence[I32], _n_groups_list: Sequence[int],
                  cluster_codes_list: Sequence[I32], tol: float, max_iter: int
                  ) -> tuple[F64, F64, F64, float, float, int, int, int, list[int]]: ...
def rust_absorbed_dof(fe_codes_list: Sequence[I32]) -> int: ...
def rust_ols_from_arrays(y_col: F64, x_cols: Sequence[F64], x_names: Sequence[str],
                         fe_cols: Sequence[I32], fe_names: Sequence[str], cl_cols: Sequence[I32],
                         cl_names: Sequence[str], tol: float, max_iter: int, vcov_type: str
                         ) -> tuple[F64, F64, F64, float, float, int, int, int, list[int],
                                    list[str], list[str], list[str]]: ...
def rust_ols_nofe(y_col: F64, x_cols: Sequence[F64], x_names: Sequence[str], add_intercept: bool,
                  cl_cols: Sequence[I32], cl_names: Sequence[str], vcov_type: str
                  ) -> tuple[F64, F64, F64, float, float, int, list[int], list[str]]: ...
def rust_iv2sls(y_col: F64, x_exog_cols: Sequence[F64], x_endog_cols: Sequence[F64],
                z_excl_cols: Sequence[F64], x_names: Sequence[str], endog_names: Sequence[str],
                fe_cols: Sequence[I32], fe_names: Sequence[str], cl_cols: Sequence[I32],
                cl_names: Sequence[str], tol: float, max_iter: int, vcov_type: str,
                add_intercept: bool
                ) -> tuple[F64, F64, F64, float, float, float, int, int, int, list[int],
                           list[str]]: ...
def rust_hac_meat(score: F64, time_ids: F64, bandwidth: int) -> F64: ...
def rust_dk_meat(score: F64, time_ids: F64, bandwidth: int) -> F64: ...
