import numpy as np
import pytest

from kestrel import _native


def small_problem():
    """A tiny well-posed data set usable by every entry point."""
    rng = np.random.default_rng(7)
    n = 12
    x1 = rng.normal(size=n)
    x2 = rng.normal(size=n)
    z1 = x2 + rng.normal(size=n)
    y = 1.0 + 2.0 * x1 - x2 + rng.normal(size=n)
    fe = np.array([0, 0, 1, 1, 2, 2, 0, 1, 2, 0, 1, 2], dtype=np.int32)
    cl = np.array([0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1], dtype=np.int32)
    return dict(n=n, y=y, x1=x1, x2=x2, z1=z1, fe=fe, cl=cl)


# Parameter kinds of every entry point, in declaration order.
SIGNATURES = {
    "rust_demean": [("x", "f64matrix"), ("fe_codes_list", "i32seq"), ("n_groups_list", "countseq"),
                    ("tol", "float"), ("max_iter", "count")],
    "rust_clustered_meat": [("x", "f64matrix"), ("resid", "f64vector"), ("codes", "i32vector"),
                            ("n_groups", "count")],
    "rust_recode": [("arr", "i64vector")],
    "rust_ols_core": [("y", "f64vector"), ("x", "f64matrix"), ("fe_codes_list", "i32seq"),
                      ("_n_groups_list", "countseq"), ("cluster_codes_list", "i32seq"),
                      ("tol", "float"), ("max_iter", "count")],
    "rust_absorbed_dof": [("fe_codes_list", "i32seq")],
    "rust_ols_from_arrays": [("y_col", "f64vector"), ("x_cols", "f64seq"), ("x_names", "strseq"),
                             ("fe_cols", "i32seq"), ("fe_names", "strseq"), ("cl_cols", "i32seq"),
                             ("cl_names", "strseq"), ("tol", "float"), ("max_iter", "count"),
                             ("vcov_type", "str")],
    "rust_ols_nofe": [("y_col", "f64vector"), ("x_cols", "f64seq"), ("x_names", "strseq"),
                      ("add_intercept", "bool"), ("cl_cols", "i32seq"), ("cl_names", "strseq"),
                      ("vcov_type", "str")],
    "rust_iv2sls": [("y_col", "f64vector"), ("x_exog_cols", "f64seq"), ("x_endog_cols", "f64seq"),
                    ("z_excl_cols", "f64seq"), ("x_names", "strseq"), ("endog_names", "strseq"),
                    ("fe_cols", "i32seq"), ("fe_names", "strseq"), ("cl_cols", "i32seq"),
                    ("cl_names", "strseq"), ("tol", "float"), ("max_iter", "count"),
                    ("vcov_type", "str"), ("add_intercept", "bool")],
    "rust_hac_meat": [("score", "f64matrix"), ("time_ids", "f64vector"), ("bandwidth", "int")],
    "rust_dk_meat": [("score", "f64matrix"), ("time_ids", "f64vector"), ("bandwidth", "int")],
}

REGISTRATION_ORDER = list(SIGNATURES)


def valid_args(name):
    """Valid positional arguments for one entry point, on the small problem."""
    p = small_problem()
    X = np.column_stack([p["x1"], p["x2"]])
    t = np.arange(p["n"], dtype=np.float64)
    return {
        "rust_demean": lambda: [X, [p["fe"]], [3], 1e-10, 100],
        "rust_clustered_meat": lambda: [X, p["y"], p["cl"], 2],
        "rust_recode": lambda: [np.array([5, 3, 5], dtype=np.int64)],
        "rust_ols_core": lambda: [p["y"], X, [p["fe"]], [3], [p["cl"]], 1e-10, 100],
        "rust_absorbed_dof": lambda: [[p["fe"], p["cl"]]],
        "rust_ols_from_arrays": lambda: [p["y"], [p["x1"], p["x2"]], ["x1", "x2"], [p["fe"]],
                                         ["fe"], [], [], 1e-10, 100, "HC1"],
        "rust_ols_nofe": lambda: [p["y"], [p["x1"], p["x2"]], ["x1", "x2"], True, [], [], "iid"],
        "rust_iv2sls": lambda: [p["y"], [p["x1"]], [p["x2"]], [p["z1"]], ["x1"], ["x2"], [], [],
                                [], [], 1e-10, 100, "iid", True],
        "rust_hac_meat": lambda: [X, t, 2],
        "rust_dk_meat": lambda: [X, t, 2],
    }[name]()


def present(names=REGISTRATION_ORDER):
    return [n for n in names if hasattr(_native, n)]


@pytest.fixture(scope="session")
def native():
    return _native
