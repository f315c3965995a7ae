"""The tools that the suite times: kestrel and its peers, one adapter per workload kind.

An adapter is a pair of functions: ``setup(data, params)`` turns the generated arrays into the
tool's own input form (a DataFrame for pyfixest, a matrix for statsmodels...) and is not
timed; ``run(state)`` is the timed call and returns an ``Output`` in the canonical order of
the workload (kestrel's coefficient order), so the parent can compare like with like.
Peers are imported inside the adapters: a missing package only disables its own rows.
"""

from __future__ import annotations

import dataclasses
import importlib.util
from typing import Any, Callable

import numpy as np

KESTREL_TOL = 1e-8
KESTREL_MAX_ITER = 10_000


@dataclasses.dataclass
class Output:
    coef: np.ndarray | None = None
    se: np.ndarray | None = None
    arrays: dict[str, np.ndarray] = dataclasses.field(default_factory=dict)
    info: dict[str, Any] = dataclasses.field(default_factory=dict)


@dataclasses.dataclass(frozen=True)
class Tool:
    name: str
    modules: tuple[str, ...]
    setup: Callable[[dict, dict], Any]
    run: Callable[[Any], Output]
    # Whether this tool's standard errors follow kestrel's convention for the workload, so
    # that they are compared (otherwise only reported).
    se_comparable: bool = False
    note: str = ""
    # kestrel entry points the adapter calls (also peers that use one in their setup).
    native: tuple[str, ...] = ()
    # Relative coefficient tolerance of this tool when it is looser than the workload's.
    coef_rtol: float | None = None


def missing(tool: Tool) -> list[str]:
    """What this machine lacks to run the tool: Python packages or kestrel entry points."""
    lack = [m for m in tool.modules if importlib.util.find_spec(m) is None]
    if tool.native and importlib.util.find_spec("kestrel") is not None:
        from kestrel import _native
        lack += [f"kestrel._native.{f}" for f in tool.native if not hasattr(_native, f)]
    elif tool.native:
        lack.append("kestrel")
    return lack


def _se(v: np.ndarray) -> np.ndarray:
    return np.sqrt(np.diag(v))


def _fe_names(params: dict) -> list[str]:
    return list(params["fe"])


def _x_names(params: dict) -> list[str]:
    return [f"x{j}" for j in range(1, params["n_regressors"] + 1)]


# ---------------------------------------------------------------- fixed-effect OLS (1)

def _kestrel_fe_setup(data, params):
    return dict(y=data["y"], x=[data[c] for c in _x_names(params)], xn=_x_names(params),
                fe=[data[f] for f in _fe_names(params)], fen=_fe_names(params),
                cl=[data[params["cluster"]]], cln=[params["cluster"]])


def _kestrel_fe_run(s):
    from kestrel import _native
    r = _native.rust_ols_from_arrays(s["y"], s["x"], s["xn"], s["fe"], s["fen"], s["cl"],
                                     s["cln"], KESTREL_TOL, KESTREL_MAX_ITER, "iid")
    return Output(coef=r[0], se=_se(r[1]), info={"n": r[5], "absorbed": r[6], "singletons": r[7]})


def _frame(data, params, extra=()):
    import pandas as pd
    cols = ["y", *_x_names(params), *_fe_names(params), *extra]
    return pd.DataFrame({c: data[c] for c in dict.fromkeys(cols)})


def _pyfixest_fe_setup(demeaner):
    def setup(data, params):
        fml = f"y ~ {' + '.join(_x_names(params))} | {' + '.join(_fe_names(params))}"
        return dict(df=_frame(data, params, [params["cluster"]]), fml=fml,
                    vcov={"CRV1": params["cluster"]}, names=_x_names(params), demeaner=demeaner)
    return setup


def _pyfixest_fe_run(s):
    import pyfixest as pf
    fit = pf.feols(s["fml"], data=s["df"], vcov=s["vcov"], demeaner=_make_demeaner(s["demeaner"]))
    return Output(coef=fit.coef()[s["names"]].to_numpy(), se=fit.se()[s["names"]].to_numpy())


def _make_demeaner(variant: str):
    from pyfixest.demeaners import LsmrDemeaner, MapDemeaner
    kind, backend = variant.split("-", 1)
    if kind == "map":
        return MapDemeaner(backend=backend)
    if backend == "scipy":
        return LsmrDemeaner(backend="cupy", device="cpu", warn_on_cpu_fallback=False)
    if backend == "torch":
        return LsmrDemeaner(backend="torch", device="cpu")
    return LsmrDemeaner(backend=backend)


def _linearmodels_fe_setup(data, params):
    import pandas as pd
    absorb = pd.DataFrame({f: pd.Categorical(data[f]) for f in _fe_names(params)})
    return dict(y=pd.Series(data["y"], name="y"),
                x=pd.DataFrame({c: data[c] for c in _x_names(params)}),
                absorb=absorb, clusters=pd.Series(data[params["cluster"]], name=params["cluster"]),
                names=_x_names(params))


def _linearmodels_fe_run(s):
    from linearmodels.iv.absorbing import AbsorbingLS
    res = AbsorbingLS(s["y"], s["x"], absorb=s["absorb"]).fit(cov_type="clustered",
                                                               clusters=s["clusters"])
    return Output(coef=res.params[s["names"]].to_numpy(), se=res.std_errors[s["names"]].to_numpy())


def _pyhdfe_fe_setup(data, params):
    return dict(ids=np.column_stack([data[f] for f in _fe_names(params)]),
                m=np.column_stack([data["y"]] + [data[c] for c in _x_names(params)]))


def _pyhdfe_fe_run(s):
    import pyhdfe
    alg = pyhdfe.create(s["ids"], drop_singletons=False)
    r = alg.residualize(s["m"])
    coef = np.linalg.lstsq(r[:, 1:], r[:, 0], rcond=None)[0]
    return Output(coef=coef)


# ---------------------------------------------------------------- demeaning alone (2)

def _demean_setup(data, params):
    m = np.column_stack([data[c] for c in params.get("columns", ("y", "x1"))])
    fe = [data[f] for f in _fe_names(params)]
    return dict(m=m, fe=fe, g=[int(c.max()) + 1 for c in fe])


def _kestrel_demean_run(s):
    from kestrel import _native
    return Output(arrays={"demeaned": _native.rust_demean(s["m"], s["fe"], s["g"], KESTREL_TOL,
                                                          KESTREL_MAX_ITER)})


def _demean_layer_run(solver):
    """kestrel.demean, the layer's demeaning for users (codes recoded, every row kept), with
    the iterations of both stages and the graph preconditioner's set-up time."""
    def run(s):
        import warnings

        import kestrel
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            out, info = kestrel.demean(s["m"], s["fe_matrix"], tol=KESTREL_TOL,
                                       maxiter=KESTREL_MAX_ITER, solver=solver, return_info=True)
        return Output(arrays={"demeaned": out},
                      info={"stage": info["stage"], "stage_diagonal": info["stages"].get("diagonal"),
                            "stage_graph": info["stages"].get("graph"),
                            "setup_s": info["setup_seconds"], "converged": info["converged"]})
    return run


def _absorb_setup(data, params):
    """The layer's demeaning stage with the codes prepared beforehand (not timed), as
    pyfixest's demeaners get theirs: the like-for-like comparison with them."""
    from kestrel import _core
    s = _demean_setup(data, params)
    n = s["m"].shape[0]
    s["sample"] = _core.sample(fe=s["fe"], clusters=[], keep=np.ones(n, dtype=bool),
                               drop_singletons=False)
    s["columns"] = [np.ascontiguousarray(s["m"][:, j]) for j in range(s["m"].shape[1])]
    return s


def _absorb_run(s):
    from kestrel import _core
    smp = s["sample"]
    out = _core.absorb(columns=s["columns"], mask=smp["mask"], fe=smp["fe"],
                       fe_groups=smp["fe_groups"], tol=KESTREL_TOL, max_iter=KESTREL_MAX_ITER,
                       solver="auto", progress=None)
    return Output(arrays={"demeaned": out["data"]},
                  info={"stage": out["stage"], "stage_diagonal": out["stages"].get("diagonal"),
                        "stage_graph": out["stages"].get("graph"),
                        "setup_s": out["setup_seconds"], "converged": out["converged"]})


def _weights_setup(solver, weighted, warm=None, change=0.01):
    """Regression weights in the absorption stage (workload 10): [y, x1] absorbed with the
    given solver, with or without weights (log-uniform over [0.1, 10], fixed seed). With
    `warm` ("cold" or "warm") only a changed y is absorbed (y plus `change` times N(0, 1)
    noise, weights moved by about 5 * `change`), as a caller iterating with changing weights
    does: from zero, or from the coefficients of the unchanged problem (solved in the set-up,
    not timed)."""
    def setup(data, params):
        from kestrel import _core
        s = _absorb_setup(data, params)
        n = s["m"].shape[0]
        rng = np.random.default_rng(0)
        s["weights"] = np.exp(rng.uniform(np.log(0.1), np.log(10.0), n)) if weighted else None
        s["solver"] = solver
        s["start"] = None
        if warm is not None:
            smp = s["sample"]
            first = _core.absorb(columns=s["columns"][:1], mask=smp["mask"], fe=smp["fe"],
                                 fe_groups=smp["fe_groups"], tol=KESTREL_TOL,
                                 max_iter=KESTREL_MAX_ITER, solver=solver, progress=None,
                                 weights=s["weights"], coefficients=True)
            s["columns"] = [s["columns"][0] + change * rng.standard_normal(n)]
            if weighted:
                s["weights"] = s["weights"] * np.exp(5 * change * rng.standard_normal(n))
            if warm == "warm":
                s["start"] = first["coefficients"]
        return s
    return setup


def _weights_run(s):
    from kestrel import _core
    smp = s["sample"]
    out = _core.absorb(columns=s["columns"], mask=smp["mask"], fe=smp["fe"],
                       fe_groups=smp["fe_groups"], tol=KESTREL_TOL, max_iter=KESTREL_MAX_ITER,
                       solver=s["solver"], progress=None, weights=s["weights"], start=s["start"])
    return Output(arrays={"demeaned": out["data"]},
                  info={"iterations": out["iterations"], "stage": out["stage"],
                        "setup_s": out["setup_seconds"], "converged": out["converged"]})


def _wfeols_setup(library, weighted):
    """Whole weighted fits (workload 10): y ~ x1 + x2 | FE, clustered by individual, with
    or without regression weights w (log-uniform over [0.1, 10], fixed seed) in the frame."""
    def setup(data, params):
        s = _pyfixest_fe_setup("map-rust")(data, params)
        n = len(s["df"])
        rng = np.random.default_rng(0)
        s["df"]["w"] = np.exp(rng.uniform(np.log(0.1), np.log(10.0), n))
        s["weights"] = "w" if weighted else None
        if library == "kestrel":
            _clock_engine()
        return s
    return setup


def _kestrel_wfeols_run(s):
    out = _feols(s, s["names"], weights=s["weights"])[1]
    out.info["weighted"] = s["weights"] is not None
    return out


def _alternated(s, first, second, pairs):
    """Two calls on the set-up ``s`` alternated in one process, ``pairs`` times, on the first
    run only (the later repeats return at once): the ratio of the first's median time to the
    second's, which a shared machine's changing load moves far less than it moves two
    workers run one after the other. Its own time means nothing; the ratio is in ``info``."""
    import statistics
    import time
    if "ratio" not in s:
        times: tuple[list, list] = ([], [])
        for _ in range(pairs):
            for run, into in ((first, times[0]), (second, times[1])):
                t0 = time.perf_counter()
                run(s)
                into.append(time.perf_counter() - t0)
        s["medians"] = (statistics.median(times[0]), statistics.median(times[1]))
        s["ratio"] = s["medians"][0] / s["medians"][1]
    return Output(info={"alternated_ratio": s["ratio"], "medians_s": s["medians"]})


def _kestrel_wfeols_alternating(s):
    """Weighted and unweighted fits alternated in one process, seven pairs."""
    return _alternated(s, lambda t: _feols(t, t["names"], weights="w"),
                       lambda t: _feols(t, t["names"], weights=None), 7)


def _pyfixest_wfeols_run(s):
    import pyfixest as pf
    fit = _quiet(pf.feols, s["fml"], data=s["df"], vcov=s["vcov"], weights=s["weights"])
    return Output(coef=fit.coef()[s["names"]].to_numpy(), se=fit.se()[s["names"]].to_numpy(),
                  info={"weighted": s["weights"] is not None})


def _lags_split_setup(variant):
    """Panel lags and split samples (workload 12) on the benchmark panel, clustered by individual:
    "lag" fits y ~ x1 + l(x1, 1) | FE with panel=(indiv, year), "column" the same model on
    a lag column computed beforehand; "split" fits y ~ x1 + x2 | FE with split= by a
    10-level column, "loop" the same fits in a loop over the levels, as a user writes it
    (df[df.part == g] for each level)."""
    def setup(data, params):
        import pandas as pd
        _clock_engine()
        s = _pyfixest_fe_setup("map-rust")(data, params)
        df, fe = s["df"], " + ".join(_fe_names(params))
        s["variant"] = variant
        s["options"] = {"lag": {"panel": ("indiv", "year")}, "split": {"split": "part"}}.get(
            variant, {})
        if variant in ("lag", "column"):
            lagged = pd.Series(df["x1"].to_numpy()).groupby(df["indiv"].to_numpy()).shift(1)
            df["x1_lag"] = lagged.to_numpy()
            term = "l(x1, 1)" if variant == "lag" else "x1_lag"
            s["fml"] = f"y ~ x1 + {term} | {fe}"
        else:
            df["part"] = df["indiv"].to_numpy() % 10  # whole individuals in each part
            s["fml"] = f"y ~ x1 + x2 | {fe}"
        return s
    return setup


def _slopes_setup(slopes):
    """Varying slopes (workload 12): y ~ x1 + x2 | indiv[year] + firm on the benchmark
    panel, clustered by individual, or the same call without the slopes."""
    def setup(data, params):
        _clock_engine()
        s = _pyfixest_fe_setup("map-rust")(data, params)
        s["df"]["year"] = np.asarray(data["year"], dtype=float)
        s["variant"], s["options"] = "slopes", {}
        s["fml"] = "y ~ x1 + x2 | " + ("indiv[year] + firm" if slopes else "indiv + firm")
        return s
    return setup


def _w12_alternating_setup(kind):
    """Both calls of a workload-12 case (the feature's and the one it is measured
    against) set up for alternation in one process."""
    pair = {"lags": ("lag", "column"), "split": ("split", "loop")}.get(kind)

    def setup(data, params):
        if pair is None:
            return {"first": _slopes_setup(True)(data, params),
                    "second": _slopes_setup(False)(data, params)}
        return {"first": _lags_split_setup(pair[0])(data, params),
                "second": _lags_split_setup(pair[1])(data, params)}
    return setup


def _w12_alternating(s):
    """The feature's call and the one it is measured against, alternated, five pairs."""
    return _alternated(s, lambda t: _lags_split_run(t["first"]),
                       lambda t: _lags_split_run(t["second"]), 5)


def _lags_split_run(s):
    if s["variant"] != "loop":
        return _feols(s, None, **s["options"])[1]
    import warnings

    import kestrel
    _ENGINE_SECONDS[0] = 0.0
    df = s["df"]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fits = [kestrel.feols(s["fml"], df[df["part"] == g], s["vcov"], fixef_tol=KESTREL_TOL)
                for g in range(10)]
    return Output(coef=np.concatenate([f.coef().to_numpy() for f in fits]),
                  se=np.concatenate([f.se().to_numpy() for f in fits]),
                  info={"engine_s": _ENGINE_SECONDS[0]})


def _demean_layer_setup(data, params):
    s = _demean_setup(data, params)
    s["fe_matrix"] = np.column_stack(s["fe"])
    return s


# M_MMAP_THRESHOLD for mallopt: large blocks mapped on their own, so that what is freed leaves
# the process and the next measurement starts from the true resident size.
_M_MMAP_THRESHOLD = -3


def _demean_memory_run(s):
    """The graph preconditioner's peak memory: the resident high-water mark of a full
    kestrel.demean(solver="auto") less that of the same call stopped in the diagonally
    preconditioned stage (3 iterations, before any switch), each from a trimmed heap. The
    timing of this tool means nothing; its info holds the two peaks and the data's size."""
    import ctypes
    import warnings

    import kestrel
    from benchmarks import memory
    libc = ctypes.CDLL("libc.so.6")
    libc.mallopt(_M_MMAP_THRESHOLD, 128 * 1024)
    peaks = {}
    out = info = None
    for label, maxiter in (("stage1", 3), ("full", KESTREL_MAX_ITER)):
        libc.malloc_trim(0)
        base = memory.rss_bytes()
        memory.reset_peak()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            out, info = kestrel.demean(s["m"], s["fe_matrix"], tol=KESTREL_TOL, maxiter=maxiter,
                                       solver="auto", return_info=True)
        peaks[label] = memory.peak_bytes() - base
    return Output(arrays={"demeaned": out},
                  info={"preconditioner_bytes": max(0, peaks["full"] - peaks["stage1"]),
                        "call_peak_bytes": peaks["full"], "data_bytes": int(s["m"].nbytes),
                        "stage": info["stage"], "setup_s": info["setup_seconds"]})


def _pyfixest_demean_setup(demeaner):
    def setup(data, params):
        s = _demean_setup(data, params)
        s["flist"] = np.column_stack(s["fe"]).astype(np.uintp)
        s["demeaner"] = demeaner
        return s
    return setup


def _pyfixest_demean_run(s):
    from pyfixest.estimation.internals.demean_ import dispatch_demean
    out, converged, _ = dispatch_demean(s["m"], s["flist"], None, _make_demeaner(s["demeaner"]))
    return Output(arrays={"demeaned": np.asarray(out)}, info={"converged": bool(converged)})


def _pyhdfe_demean_setup(data, params):
    s = _demean_setup(data, params)
    s["ids"] = np.column_stack(s["fe"])
    return s


def _pyhdfe_demean_run(s):
    import pyhdfe
    alg = pyhdfe.create(s["ids"], drop_singletons=False)
    return Output(arrays={"demeaned": alg.residualize(s["m"])})


# ---------------------------------------------------------------- OLS without FE (3)

def _nofe_names(params):
    return [f"x{j}" for j in range(1, params["k"] + 1)]


def _kestrel_nofe_setup(data, params):
    cl = [data["cl"]] if params["vcov"] == "cluster" else []
    return dict(y=data["y"], x=[data[c] for c in _nofe_names(params)], xn=_nofe_names(params),
                cl=cl, cln=["cl"] * len(cl), vcov="HC1")


def _kestrel_nofe_run(s):
    from kestrel import _native
    r = _native.rust_ols_nofe(s["y"], s["x"], s["xn"], True, s["cl"], s["cln"], s["vcov"])
    return Output(coef=r[0], se=_se(r[1]))


def _design(data, params):
    n = data["y"].shape[0]
    x = np.empty((n, params["k"] + 1))
    for j, c in enumerate(_nofe_names(params)):
        x[:, j] = data[c]
    x[:, -1] = 1.0
    return x


def _statsmodels_nofe_setup(data, params):
    return dict(y=data["y"], x=_design(data, params), cl=data["cl"], vcov=params["vcov"])


def _statsmodels_nofe_run(s):
    import statsmodels.api as sm
    if s["vcov"] == "cluster":
        res = sm.OLS(s["y"], s["x"]).fit(cov_type="cluster", cov_kwds={"groups": s["cl"]})
    else:
        res = sm.OLS(s["y"], s["x"]).fit(cov_type="HC1")
    return Output(coef=np.asarray(res.params), se=np.asarray(res.bse))


def _lstsq_run(s):
    return Output(coef=np.linalg.lstsq(s["x"], s["y"], rcond=None)[0])


# ---------------------------------------------------------------- 2SLS (4)

def _kestrel_iv_setup(data, params):
    fe = [data[f] for f in params["fe"]]
    cl = [data["cl"]] if params.get("cluster") else []
    return dict(y=data["y"], ex=[data["x_exog"]], en=[data["x_endog"]], z=[data["z1"], data["z2"]],
                fe=fe, fen=list(params["fe"]), cl=cl, cln=["cl"] * len(cl), icpt=not fe)


def _kestrel_iv_run(s):
    from kestrel import _native
    r = _native.rust_iv2sls(s["y"], s["ex"], s["en"], s["z"], ["x_exog"], ["x_endog"], s["fe"],
                            s["fen"], s["cl"], s["cln"], KESTREL_TOL, KESTREL_MAX_ITER, "HC0",
                            s["icpt"])
    return Output(coef=r[0], se=_se(r[1]), info={"first_stage_F": r[5]})


def _linearmodels_iv_setup(data, params):
    import pandas as pd
    cols = ["y", "x_exog", "x_endog", "z1", "z2"]
    if params["fe"]:
        # IV2SLS cannot absorb: it gets data demeaned beforehand (not timed), jointly and to
        # a tight tolerance, so its time is the 2SLS alone.
        from kestrel import _native
        fe = [data[f] for f in params["fe"]]
        m = _native.rust_demean(np.column_stack([data[c] for c in cols]), fe,
                                [int(c.max()) + 1 for c in fe], 1e-12, 100_000)
        df = pd.DataFrame(m, columns=cols)
        exog = df[["x_exog"]]
        names = ["x_exog", "x_endog"]
    else:
        df = pd.DataFrame({c: data[c] for c in cols})
        df["const"] = 1.0
        exog = df[["x_exog", "const"]]
        names = ["x_exog", "const", "x_endog"]
    return dict(y=df["y"], exog=exog, endog=df[["x_endog"]], z=df[["z1", "z2"]], names=names,
                cl=data["cl"] if params.get("cluster") else None)


def _linearmodels_iv_run(s):
    from linearmodels.iv import IV2SLS
    model = IV2SLS(s["y"], s["exog"], s["endog"], s["z"])
    if s["cl"] is None:
        res = model.fit(cov_type="robust", debiased=False)
    else:  # no small-sample factor either: kestrel's convention
        res = model.fit(cov_type="clustered", clusters=s["cl"], debiased=False)
    return Output(coef=res.params[s["names"]].to_numpy(), se=res.std_errors[s["names"]].to_numpy())


def _pyfixest_iv_setup(data, params):
    import pandas as pd
    cols = ["y", "x_exog", "x_endog", "z1", "z2", "cl", *params["fe"]]
    df = pd.DataFrame({c: data[c] for c in cols})
    if params["fe"]:
        fml = f"y ~ x_exog | {' + '.join(params['fe'])} | x_endog ~ z1 + z2"
        names = ["x_exog", "x_endog"]
    else:
        fml = "y ~ x_exog | x_endog ~ z1 + z2"
        names = ["x_exog", "Intercept", "x_endog"]
    return dict(df=df, fml=fml, names=names,
                vcov={"CRV1": "cl"} if params.get("cluster") else "hetero")


def _pyfixest_iv_run(s):
    import pyfixest as pf
    fit = pf.feols(s["fml"], data=s["df"], vcov=s["vcov"])
    return Output(coef=fit.coef()[s["names"]].to_numpy(), se=fit.se()[s["names"]].to_numpy())


# ---------------------------------------------------------------- kestrel.feols, whole calls

_ENGINE_SECONDS = [0.0]


def _clock_engine() -> None:
    """Times every call into kestrel._core (once per process), so that a feols run can
    report the layer's own time: everything but the engine."""
    from kestrel import _core
    if getattr(_core, "_bench_clocked", False):
        return
    import time

    def clocked(fn):
        def call(*args, **kwargs):
            t0 = time.perf_counter()
            try:
                return fn(*args, **kwargs)
            finally:
                _ENGINE_SECONDS[0] += time.perf_counter() - t0
        return call

    for name in _core.__all__:
        setattr(_core, name, clocked(getattr(_core, name)))
    _core._bench_clocked = True


def _feols(s, names, **options):
    """kestrel.feols on the set-up's formula and frame, warnings silenced, with ``options``
    passed on; ``names``: the coefficients to report (None: all)."""
    import time
    import warnings

    import kestrel
    _ENGINE_SECONDS[0] = 0.0
    t0 = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fit = kestrel.feols(s["fml"], s["df"], s["vcov"], fixef_tol=KESTREL_TOL,
                            solver=s.get("solver", "auto"), **options)
    total = time.perf_counter() - t0
    info = {"engine_s": _ENGINE_SECONDS[0], "layer_s": total - _ENGINE_SECONDS[0]}
    fits = list(fit) if isinstance(fit, kestrel.FitList) else [fit]
    if not isinstance(fit, kestrel.FitList):
        info.update(iterations=fit.iterations, stage=fit.solver_stage)
    chosen = [f.coef() if names is None else f.coef()[names] for f in fits]
    errors = [f.se() if names is None else f.se()[names] for f in fits]
    return fit, Output(coef=np.concatenate([c.to_numpy() for c in chosen]),
                       se=np.concatenate([e.to_numpy() for e in errors]), info=info)


def _feols_fe_setup(solver):
    def setup(data, params):
        _clock_engine()
        s = _pyfixest_fe_setup("map-rust")(data, params)
        s["solver"] = solver
        return s
    return setup


def _feols_fe_run(s):
    return _feols(s, s["names"])[1]


def _feols_iv_setup(data, params):
    _clock_engine()
    return _pyfixest_iv_setup(data, params)


def _feols_iv_run(s):
    return _feols(s, s["names"])[1]


# ---------------------------------------------------------------- multiple estimation (7)

def _multi_setup(data, params):
    import pandas as pd
    ys = [f"y{j}" for j in range(1, params["n_outcomes"] + 1)]
    df = pd.DataFrame({**{y: data[y] for y in ys}, "x1": data["x1"], "x2": data["x2"],
                       **{f: data[f] for f in params["fe"]}})
    fe = " + ".join(params["fe"])
    one = params.get("one_outcome", False)
    lhs = "y1" if one else " + ".join(ys)
    return dict(df=df, fml=f"{lhs} ~ x1 + x2 | {fe}", vcov={"CRV1": params["fe"][0]},
                names=["x1", "x2"])


def _kestrel_multi_setup(data, params):
    _clock_engine()
    return _multi_setup(data, params)


def _kestrel_multi_run(s):
    return _feols(s, s["names"])[1]


def _pyfixest_multi_run(s):
    import pyfixest as pf
    fits = pf.feols(s["fml"], data=s["df"], vcov=s["vcov"])
    models = fits.all_fitted_models.values() if hasattr(fits, "all_fitted_models") else [fits]
    return Output(coef=np.concatenate([m.coef()[s["names"]].to_numpy() for m in models]),
                  se=np.concatenate([m.se()[s["names"]].to_numpy() for m in models]))


# ---------------------------------------------------------------- singleton removal (8)

def _singletons_setup(data, params):
    return dict(fe=[data["fe1"], data["fe2"]], keep=np.ones(len(data["fe1"]), dtype=bool))


def _kestrel_singletons_run(s):
    from kestrel import _core
    out = _core.sample(fe=s["fe"], clusters=[], keep=s["keep"], drop_singletons=True)
    return Output(arrays={"mask": out["mask"]}, info={"dropped": out["n_singletons"]})


def _pass_run(s):
    # One pass of the kind any singleton rule needs: the group sizes of every code column.
    return Output(info={"largest": max(int(np.bincount(c).max()) for c in s["fe"])})


# ---------------------------------------------------------------- covariance pieces (5)

def _auto_bandwidth(n: int) -> int:
    return max(1, int(np.floor(4.0 * (n / 100.0) ** (2.0 / 9.0))))


def _time_setup(stamps):
    """Scores and their time stamps; with params "sorted", the rows put in time order first
    (a tool may then skip its sort), with "fortran", the scores column-major."""
    def setup(data, params):
        score, t = data["score"], data[stamps]
        if params.get("sorted"):
            order = np.argsort(t, kind="stable")
            score, t = score[order], t[order]
        if params.get("fortran"):
            score = np.asfortranarray(score)
        return dict(score=score, t=t, sorted=bool(params.get("sorted")))
    return setup


def _kestrel_hac_run(s):
    from kestrel import _native
    return Output(arrays={"meat": _native.rust_hac_meat(s["score"], s["t"], -1)})


def _statsmodels_hac_run(s):
    from statsmodels.stats.sandwich_covariance import S_hac_simple
    x = s["score"] if s["sorted"] else s["score"][np.argsort(s["t"], kind="stable")]
    return Output(arrays={"meat": S_hac_simple(x, nlags=_auto_bandwidth(x.shape[0]))})


def _kestrel_dk_run(s):
    from kestrel import _native
    return Output(arrays={"meat": _native.rust_dk_meat(s["score"], s["t"], -1)})


def _statsmodels_dk_run(s):
    from statsmodels.stats.sandwich_covariance import S_hac_groupsum
    t = s["t"].astype(np.int64)
    n_periods = int(t.max()) + 1
    return Output(arrays={"meat": S_hac_groupsum(s["score"], t, nlags=_auto_bandwidth(n_periods))})


def _cmeat_setup(data, params):
    return dict(x=data["x"], e=data["resid"], codes=data["codes"], g=params["n_groups"])


def _kestrel_cmeat_run(s):
    from kestrel import _native
    return Output(arrays={"meat": _native.rust_clustered_meat(s["x"], s["e"], s["codes"], s["g"])})


def _group_sums(x, e, codes, g):
    sums = np.empty((g, x.shape[1]))
    for j in range(x.shape[1]):
        sums[:, j] = np.bincount(codes, weights=x[:, j] * e, minlength=g)
    return sums


def _numpy_cmeat_run(s):
    sums = _group_sums(s["x"], s["e"], s["codes"], s["g"])
    return Output(arrays={"meat": sums.T @ sums})


def _product_setup(threads):
    """The group sums made beforehand (not timed): the peer is timed on S'S alone, with its
    BLAS on every core it may use or on one thread (kestrel's product uses one)."""
    def setup(data, params):
        s = _cmeat_setup(data, params)
        return dict(sums=_group_sums(s["x"], s["e"], s["codes"], s["g"]), threads=threads)
    return setup


def _numpy_product_run(s):
    if s["threads"] is None:
        return Output(arrays={"meat": s["sums"].T @ s["sums"]})
    from threadpoolctl import threadpool_limits
    with threadpool_limits(limits=s["threads"], user_api="blas"):
        return Output(arrays={"meat": s["sums"].T @ s["sums"]})


def _recode_setup(data, params):
    return dict(arr=data["arr"])


def _kestrel_recode_run(s):
    from kestrel import _native
    codes, g = _native.rust_recode(s["arr"])
    return Output(arrays={"codes": codes}, info={"groups": int(g)})


def _pandas_recode_run(s):
    import pandas as pd
    codes, uniques = pd.factorize(s["arr"])
    return Output(arrays={"codes": codes}, info={"groups": int(len(uniques))})


def _unique_recode_run(s):
    uniques, inv = np.unique(s["arr"], return_inverse=True)
    return Output(arrays={"codes": inv}, info={"groups": int(len(uniques))})


# ---------------------------------------------------------------- GLMs (11)

def _glm_setup(data, params):
    import pandas as pd
    y, fe = params["outcome"], list(params["fe"])
    df = pd.DataFrame({c: data[c] for c in (y, "x1", "x2", *fe)})
    return dict(df=df, fml=f"{y} ~ x1 + x2 | {' + '.join(fe)}", family=params["family"],
                vcov={"CRV1": fe[0]})


def _kestrel_glm_run(s):
    import warnings

    import kestrel
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", kestrel.SeparationWarning)
        fit = kestrel.feglm(s["fml"], s["df"], s["family"], s["vcov"])
    return Output(coef=fit.coef().to_numpy(), se=fit.se().to_numpy(),
                  info={"irls": fit.iterations, "inner": fit.inner_iterations,
                        "demean_s": fit.demeaning_seconds, "nobs": fit.nobs,
                        "separated": fit.n_separated})


def _glm_alternating(s):
    """kestrel's and pyfixest's calls alternated in one process, three pairs."""
    return _alternated(s, _kestrel_glm_run, _pyfixest_glm_run, 3)


def _pyfixest_glm_run(s):
    import pyfixest as pf
    if s["family"] == "poisson":
        fit = pf.fepois(s["fml"], data=s["df"], vcov=s["vcov"])
    else:
        fit = pf.feglm(s["fml"], data=s["df"], family=s["family"], vcov=s["vcov"])
    return Output(coef=fit.coef()[["x1", "x2"]].to_numpy(),
                  se=fit.se()[["x1", "x2"]].to_numpy(), info={"nobs": int(fit._N)})


# ---------------------------------------------------------------- registry

PYFIXEST_DEMEANERS = ["map-rust", "map-numba", "map-jax", "lsmr-within", "lsmr-scipy", "lsmr-torch"]
# pyfixest's LSMR demeaners stop on LSMR's own convergence criteria, which on a slowly
# converging panel (the difficult design, 10 regressors) leave coefficients a few 1e-5 from
# the fully demeaned fit; they are held to this looser tolerance (the difference is printed).
LSMR_COEF_RTOL = 1e-4
PYFIXEST_EXTRA_MODULES = {"map-numba": ("numba",), "map-jax": ("jax",), "lsmr-torch": ("torch",)}


# ---------------------------------------------------------------- inference after the fit (9)

def _states_setup(data, params):
    import pandas as pd
    df = pd.DataFrame({c: data[c] for c in ("y", "x1", "x2", "indiv", "year", "state")})
    fml = f"y ~ x1 + x2 | {' + '.join(params['fe'])}"
    return dict(df=df, fml=fml, names=["x1", "x2"])


def _quiet(fn, *args, **kwargs):
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn(*args, **kwargs)


def _fitted_setup(library, vcov):
    """The fit made beforehand (not timed): the timed call is the inference after it."""
    def setup(data, params):
        s = _states_setup(data, params)
        if library == "kestrel":
            import kestrel
            s["fit"] = _quiet(kestrel.feols, s["fml"], s["df"], vcov, fixef_tol=KESTREL_TOL)
        else:
            import pyfixest as pf
            s["fit"] = _quiet(pf.feols, s["fml"], data=s["df"], vcov=vcov)
        return s
    return setup


def _wild_setup(library):
    def setup(data, params):
        s = _fitted_setup(library, {"CRV1": "state"})(data, params)
        s["B"] = params["B"]
        return s
    return setup


def _kestrel_wild_run(s):
    b = s["fit"].wildboottest("x1", B=s["B"], seed=1)
    return Output(info={"pvalue": b.pvalue, "t": b.statistic, "B": b.B})


def _pyfixest_wild_run(s):
    r = _quiet(s["fit"].wildboottest, param="x1", reps=s["B"], seed=1)
    return Output(info={"pvalue": float(r["Pr(>|t|)"]), "t": float(r["t value"])})


def _with_vcov(setup, vcov):
    def wrapped(data, params):
        s = setup(data, params)
        s["vcov"] = vcov
        return s
    return wrapped


def _kestrel_fit_run(s):
    import kestrel
    fit = _quiet(kestrel.feols, s["fml"], s["df"], s["vcov"], fixef_tol=KESTREL_TOL)
    return Output(coef=fit.coef()[s["names"]].to_numpy(), se=fit.se()[s["names"]].to_numpy())


def _pyfixest_fit_run(s):
    import pyfixest as pf
    fit = _quiet(pf.feols, s["fml"], data=s["df"], vcov=s["vcov"])
    return Output(coef=fit.coef()[s["names"]].to_numpy(), se=fit.se()[s["names"]].to_numpy())


def _kestrel_vcov_as_run(s):
    # The clusters are not among the fit's identifiers: read from the frame.
    fit = s["fit"].vcov_as(s["vcov"], data=s["df"])
    return Output(coef=fit.coef()[s["names"]].to_numpy(), se=fit.se()[s["names"]].to_numpy())


def _pyfixest_vcov_run(s):
    fit = _quiet(s["fit"].vcov, s["vcov"])
    return Output(coef=fit.coef()[s["names"]].to_numpy(), se=fit.se()[s["names"]].to_numpy())


def _vcov_setup(library):
    def setup(data, params):
        s = _fitted_setup(library, "iid")(data, params)
        s["vcov"] = {params["vcov"]: "state"}
        return s
    return setup


def _refit_setup(data, params):
    return _with_vcov(_states_setup, {params["vcov"]: "state"})(data, params)


def _pyfixest_name(variant: str) -> str:
    return "pyfixest" if variant == "map-rust" else f"pyfixest[{variant}]"


def _tools() -> dict[str, list[Tool]]:
    fe_ols = [Tool("kestrel", (), _kestrel_fe_setup, _kestrel_fe_run, True, native=("rust_ols_from_arrays",)),
              Tool("kestrel.feols", (), _feols_fe_setup("auto"), _feols_fe_run,
                   note="the whole call from a pandas DataFrame, solver='auto'"),
              Tool("kestrel.feols[cg]", (), _feols_fe_setup("cg"), _feols_fe_run,
                   note="the whole call, solver='cg' (conjugate gradient on the sweep only)")]
    demean = [Tool("kestrel", (), _demean_setup, _kestrel_demean_run, native=("rust_demean",)),
              Tool("kestrel.demean", (), _demean_layer_setup, _demean_layer_run("auto"),
                   note="the layer's demeaning, solver='auto'"),
              Tool("kestrel.demean[cg]", (), _demean_layer_setup, _demean_layer_run("cg"),
                   note="the layer's demeaning, solver='cg'"),
              Tool("kestrel.demean[memory]", (), _demean_layer_setup, _demean_memory_run,
                   note="the graph preconditioner's peak memory (not a timing)"),
              Tool("kestrel.absorb", (), _absorb_setup, _absorb_run,
                   note="the layer's demeaning stage, codes prepared (solver='auto')")]
    for variant in PYFIXEST_DEMEANERS:
        mods = ("pyfixest", *PYFIXEST_EXTRA_MODULES.get(variant, ()))
        note = "default demeaner (MAP, rust)" if variant == "map-rust" else ""
        fe_ols.append(Tool(_pyfixest_name(variant), mods, _pyfixest_fe_setup(variant), _pyfixest_fe_run,
                           True, note, coef_rtol=LSMR_COEF_RTOL if variant.startswith("lsmr") else None))
        demean.append(Tool(_pyfixest_name(variant), mods, _pyfixest_demean_setup(variant),
                           _pyfixest_demean_run, note=note))
    fe_ols += [
        Tool("linearmodels", ("linearmodels",), _linearmodels_fe_setup, _linearmodels_fe_run,
             note="AbsorbingLS; its clustered SE has no degrees-of-freedom factor"),
        Tool("pyhdfe+lstsq", ("pyhdfe",), _pyhdfe_fe_setup, _pyhdfe_fe_run),
    ]
    demean.append(Tool("pyhdfe", ("pyhdfe",), _pyhdfe_demean_setup, _pyhdfe_demean_run))
    return {
        "fe_ols": fe_ols,
        "demean": demean,
        "nofe": [
            Tool("kestrel", (), _kestrel_nofe_setup, _kestrel_nofe_run, True, native=("rust_ols_nofe",)),
            Tool("statsmodels", ("statsmodels",), _statsmodels_nofe_setup, _statsmodels_nofe_run,
                 True),
            Tool("numpy-lstsq", (), _statsmodels_nofe_setup, _lstsq_run),
        ],
        "iv": [
            Tool("kestrel", (), _kestrel_iv_setup, _kestrel_iv_run, True, native=("rust_iv2sls",)),
            Tool("linearmodels", ("linearmodels",), _linearmodels_iv_setup, _linearmodels_iv_run,
                 True, "IV2SLS, on pre-demeaned data with fixed effects"),
            Tool("pyfixest", ("pyfixest",), _pyfixest_iv_setup, _pyfixest_iv_run,
                 note="feols IV, HC1 (different small-sample factor)"),
            Tool("kestrel.feols", (), _feols_iv_setup, _feols_iv_run,
                 note="the whole IV call from a pandas DataFrame (pyfixest's conventions)"),
        ],
        "multi": [
            Tool("kestrel", (), _kestrel_multi_setup, _kestrel_multi_run, True,
                 note="kestrel.feols, five outcomes in one call"),
            Tool("pyfixest", ("pyfixest",), _multi_setup, _pyfixest_multi_run, True,
                 note="feols, five outcomes in one call"),
        ],
        "weights": [
            Tool("kestrel", (), _weights_setup("auto", False), _weights_run,
                 note="absorb [y, x1], unweighted (solver='auto')"),
            Tool("kestrel[weighted]", (), _weights_setup("auto", True), _weights_run,
                 note="the same, regression weights"),
            Tool("kestrel[cg]", (), _weights_setup("cg", False), _weights_run),
            Tool("kestrel[cg,weighted]", (), _weights_setup("cg", True), _weights_run),
            Tool("kestrel[w,cold]", (), _weights_setup("auto", True, "cold"), _weights_run,
                 note="changed y and weights, from zero"),
            Tool("kestrel[w,warm]", (), _weights_setup("auto", True, "warm"), _weights_run,
                 note="changed y and weights, from the unchanged problem's coefficients"),
            Tool("kestrel[w,cold,1e-4]", (), _weights_setup("auto", True, "cold", 1e-4),
                 _weights_run, note="a change of 1e-4 (late IRLS iterations), from zero"),
            Tool("kestrel[w,warm,1e-4]", (), _weights_setup("auto", True, "warm", 1e-4),
                 _weights_run, note="a change of 1e-4, warm"),
            Tool("kestrel[w,cold,1e-6]", (), _weights_setup("auto", True, "cold", 1e-6),
                 _weights_run, note="a change of 1e-6 (the last IRLS iterations), from zero"),
            Tool("kestrel[w,warm,1e-6]", (), _weights_setup("auto", True, "warm", 1e-6),
                 _weights_run, note="a change of 1e-6, warm"),
            Tool("kestrel[cg,w,cold]", (), _weights_setup("cg", True, "cold"),
                 _weights_run),
            Tool("kestrel[cg,w,warm]", (), _weights_setup("cg", True, "warm"),
                 _weights_run),
        ],
        "wfeols": [
            Tool("kestrel", (), _wfeols_setup("kestrel", True), _kestrel_wfeols_run, True,
                 note="kestrel.feols(..., weights='w'), the whole call"),
            Tool("kestrel.feols", (), _wfeols_setup("kestrel", False), _kestrel_wfeols_run,
                 note="the same call unweighted"),
            Tool("kestrel[alternating]", (), _wfeols_setup("kestrel", True),
                 _kestrel_wfeols_alternating,
                 note="weighted and unweighted calls alternated in one process: the ratio"),
            Tool("pyfixest", ("pyfixest",), _wfeols_setup("pyfixest", True), _pyfixest_wfeols_run,
                 True, note="feols(..., weights='w')"),
            Tool("pyfixest[unweighted]", ("pyfixest",), _wfeols_setup("pyfixest", False),
                 _pyfixest_wfeols_run, note="the same call unweighted"),
        ],
        "lags": [
            Tool("kestrel", (), _lags_split_setup("lag"), _lags_split_run, True,
                 note="kestrel.feols with l(x1, 1) and panel=(indiv, year)"),
            Tool("kestrel[column]", (), _lags_split_setup("column"), _lags_split_run, True,
                 note="the same model on a lag column computed beforehand"),
            Tool("kestrel[alternating]", (), _w12_alternating_setup("lags"), _w12_alternating,
                 note="the two calls alternated in one process: the ratio"),
        ],
        "split": [
            Tool("kestrel", (), _lags_split_setup("split"), _lags_split_run, True,
                 note="kestrel.feols(..., split=part), 10 parts"),
            Tool("kestrel[loop]", (), _lags_split_setup("loop"), _lags_split_run, True,
                 note="a loop of fits, df[df.part == g] for each of the 10 levels"),
            Tool("kestrel[alternating]", (), _w12_alternating_setup("split"), _w12_alternating,
                 note="the two calls alternated in one process: the ratio"),
        ],
        "slopes": [
            Tool("kestrel", (), _slopes_setup(True), _lags_split_run, True,
                 note="kestrel.feols with indiv[year] + firm"),
            Tool("kestrel[no slopes]", (), _slopes_setup(False), _lags_split_run,
                 note="the same call with indiv + firm"),
            Tool("kestrel[alternating]", (), _w12_alternating_setup("slopes"), _w12_alternating,
                 note="the two calls alternated in one process: the ratio"),
        ],
        "glm": [
            Tool("kestrel", (), _glm_setup, _kestrel_glm_run, True,
                 note="kestrel.fepois / kestrel.feglm, the whole call"),
            Tool("pyfixest", ("pyfixest",), _glm_setup, _pyfixest_glm_run, True,
                 note="fepois / feglm, default options"),
            Tool("kestrel[alternating]", ("pyfixest",), _glm_setup, _glm_alternating,
                 note="kestrel's and pyfixest's calls alternated in one process: the ratio"),
        ],
        "singletons": [
            Tool("kestrel", (), _singletons_setup, _kestrel_singletons_run),
            Tool("numpy one pass", (), _singletons_setup, _pass_run,
                 note="group sizes of every code column: one pass over the rows"),
        ],
        "hac": [
            Tool("kestrel", (), _time_setup("time_ids"), _kestrel_hac_run,
                 native=("rust_hac_meat",)),
            Tool("statsmodels", ("statsmodels",), _time_setup("time_ids"), _statsmodels_hac_run,
                 note="sort (unless sorted) + S_hac_simple"),
        ],
        "dk": [
            Tool("kestrel", (), _time_setup("period"), _kestrel_dk_run, native=("rust_dk_meat",)),
            Tool("statsmodels", ("statsmodels",), _time_setup("period"), _statsmodels_dk_run,
                 note="S_hac_groupsum"),
        ],
        "cmeat": [
            Tool("kestrel", (), _cmeat_setup, _kestrel_cmeat_run, native=("rust_clustered_meat",)),
            Tool("numpy", (), _cmeat_setup, _numpy_cmeat_run, note="bincount per column, S.T @ S"),
            Tool("numpy S.T@S", (), _product_setup(None), _numpy_product_run,
                 note="the product alone, group sums given"),
            Tool("numpy S.T@S, 1 thread", ("threadpoolctl",), _product_setup(1),
                 _numpy_product_run, note="the product alone, BLAS on one thread"),
        ],
        "wild": [
            Tool("kestrel", (), _wild_setup("kestrel"), _kestrel_wild_run,
                 note="fit.wildboottest (WCR, Rademacher), the fit made beforehand"),
            Tool("kestrel.feols", (), _refit_setup, _kestrel_fit_run,
                 note="the fit itself, for scale"),
            Tool("pyfixest", ("pyfixest", "wildboottest"), _wild_setup("pyfixest"),
                 _pyfixest_wild_run,
                 note="fit.wildboottest (the wildboottest package on the dummy-variable model)"),
        ],
        "crv3": [
            Tool("kestrel", (), _refit_setup, _kestrel_fit_run, True,
                 note="kestrel.feols with vcov={'CRV3': 'state'}"),
            Tool("kestrel.vcov_as", (), _vcov_setup("kestrel"), _kestrel_vcov_as_run, True,
                 note="fit.vcov_as({'CRV3': 'state'}) on an iid fit"),
            Tool("pyfixest", ("pyfixest",), _refit_setup, _pyfixest_fit_run, True,
                 note="feols with vcov={'CRV3': 'state'}"),
        ],
        "vcov_as": [
            Tool("kestrel", (), _vcov_setup("kestrel"), _kestrel_vcov_as_run, True,
                 note="fit.vcov_as({'CRV1': 'state'}) on an iid fit"),
            Tool("kestrel.feols", (), _refit_setup, _kestrel_fit_run, True,
                 note="a new fit with that covariance"),
            Tool("pyfixest", ("pyfixest",), _vcov_setup("pyfixest"), _pyfixest_vcov_run, True,
                 note="fit.vcov({'CRV1': 'state'}) on an iid fit"),
        ],
        "recode": [
            Tool("kestrel", (), _recode_setup, _kestrel_recode_run, native=("rust_recode",)),
            Tool("pandas.factorize", ("pandas",), _recode_setup, _pandas_recode_run),
            Tool("numpy.unique", (), _recode_setup, _unique_recode_run),
        ],
    }


TOOLS = _tools()


def get(kind: str, name: str) -> Tool:
    for t in TOOLS[kind]:
        if t.name == name:
            return t
    raise KeyError(f"no tool {name!r} for {kind!r}")
