"""``kestrel.feols``: least squares with absorbed fixed effects, from a DataFrame.

Every user-level mistake is caught here or in the modules it calls, before the engine
runs; the engine's stages then run in order — sample (missing values, singletons,
renumbered codes), absorb (fixed effects removed from every column at once), least squares
(collinear and absorbed regressors dropped), meats — and this module applies the
conventions (:mod:`kestrel.vcov`) and collects the result (:class:`kestrel.Fit`).
"""

from __future__ import annotations

import dataclasses
import math
import warnings
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from kestrel import _core, design, formula, iv, prediction
from kestrel import inference as inference_module
from kestrel import vcov as cov
from kestrel.data import Frame
from kestrel.progress import progress_line
from kestrel.results import Fit

if TYPE_CHECKING:
    from kestrel.multiple import FitList

COLLIN_TOL = 1e-10  # relative pivot below which a regressor counts as collinear
# Columns whose largest magnitude lies outside [2^-20, 2^64) are fitted in other units (see
# _scaled): these frexp exponents of the largest magnitude are left as they are.
UNSCALED_EXPONENTS = range(-19, 65)


class CollinearityWarning(UserWarning):
    """Regressors were dropped as collinear or absorbed by the fixed effects."""


class ConvergenceWarning(UserWarning):
    """Demeaning stopped at its iteration cap before reaching its tolerance."""


def feols(fml: str, data: Any, vcov: Any = None, *, vcov_kwargs: Any = None, ssc: Any = None,
          fixef_tol: float = 1e-8, fixef_maxiter: int = 100_000, drop_singletons: bool = True,
          progress: bool | None = None, solver: str = "auto", context: Any = 0,
          panel_id: str | None = None, time_id: str | None = None, panel: Any = None,
          split: str | None = None, fsplit: str | None = None,
          subset: Any = None, lean: bool = False, weights: str | None = None,
          weights_type: str = "aweights") -> Fit | FitList:
    """Fit ``fml`` (``"y ~ x1 + x2 | fe1 + fe2"``) by least squares on ``data`` (pandas or
    polars), or by two-stage least squares with an instrumental-variable part
    (``"y ~ x1 | fe1 + fe2 | endog ~ z1 + z2"``; fixed effects optional).

    Several dependent variables (``"y1 + y2 ~ x"``) or stepwise parts (``sw()``, ``sw0()``,
    ``csw()``, ``csw0()``, ``mvsw()``, among the regressors or the fixed effects) fit every
    model they spell in one call and return a :class:`kestrel.FitList`
    (:mod:`kestrel.multiple`).

    vcov: None (clustered by the first fixed effect, iid without fixed effects), "iid",
      "hetero" (= "HC1"), "HC0" (no small-sample factor), "HC2", "HC3" (least squares
      without fixed effects; NaN where a row with leverage 1 leaves them undefined),
      {"CRV1": "firm"} or {"CRV1": "firm+year"} (multi-way), {"CRV3": "firm"} (the
      leave-one-cluster-out jackknife; least squares, one clustering variable), "NW"
      (Newey–West) or "DK" (Driscoll–Kraay). ``fit.vcov_as(...)`` changes it afterwards.
    vcov_kwargs: for "NW" and "DK", {"time_id": column, "panel_id": column, "lag": int}
      (time_id required; panel_id makes Newey–West one series per panel; lag by default
      floor(T^(1/4)) for T periods, except for a single Newey–West series, which needs it).
    ssc: small-sample conventions from :func:`kestrel.ssc` (default: as fixest and pyfixest).
    fixef_tol, fixef_maxiter: convergence tolerance and iteration cap of the demeaning.
    drop_singletons: drop rows alone in a fixed-effect group (they fit perfectly and would
      understate the standard errors).
    progress: a progress line on stderr for fits longer than about two seconds; None: only
      when stderr is a terminal.
    solver: how several fixed effects are absorbed: "auto" (conjugate gradient on the system
      left once the largest fixed effect is eliminated, diagonally preconditioned, switching
      to a preconditioner built from the fixed-effect graph when it stalls, as on worker–firm
      panels with limited mobility) or "cg" (conjugate gradient on the symmetric sweep of
      group-mean projections, the engine module's method).
    context: the names the formula's code may use besides the data's columns, after the
      formula language's own functions (C, I, poly, center, scale, bs, np...), which always
      come first: 0 (the default) those of the caller (its variables, its module's and
      Python's builtins), n those n frames further up, a mapping its names (and Python's
      builtins), or "restricted" nothing else: no builtins, no attribute but NumPy's
      functions, for formulas that come from someone else (the command line uses it).
      A formula's code runs only once every column and name it reads is found.
    lean: keep no residuals and no copy or reference of the data, only what the estimates,
      tests of the estimates (``wald_test``, ``lincom``), ``summary``, ``etable`` and
      ``coefplot`` need: the fit pickles in a size that does not grow with the rows. The
      rest needs the rows and raises on a lean fit: ``resid``, ``predict`` of the rows used
      or with fixed effects, ``fixef``, ``vcov_as``, ``wildboottest`` (``predict(newdata)``
      of a fit without fixed effects works).

    panel_id, time_id: the panel's unit and time columns, for the lags ``l(x, k)``, leads
      ``f(x, k)`` and differences ``d(x, k)`` of the formula (:mod:`kestrel.panel`); or
      panel=(id, time). time_id alone: one time series.
    split: a column; one fit per level, returned as a :class:`kestrel.FitList`. fsplit: the
      same with the full sample first. subset: the rows to fit (a boolean mask, array or
      Series, or the name of a boolean column). See :mod:`kestrel.samples`.
    weights: a numeric column of regression weights (None: every row weighs the same).
    weights_type: "aweights" (analytic weights, as fixest and pyfixest: the coefficients
      minimise the sum of w·e², every covariance takes the scores w·x·e, and the fit
      statistics are weighted, the residual sum of squares and RMSE for weights of mean 1;
      multiplying every weight by a constant changes nothing) or
      "fweights" (frequency weights: every number is the one of the data with each row
      repeated w times, observations included; weights must be whole numbers).
      Rows of weight 0 are dropped and counted (``fit.n_zero_weight``); a missing weight
      drops its row like any missing value.

    Rows with a missing value (NaN, None, NA, ±inf) in any column the model uses are
    dropped and counted (``fit.n_missing``); ``fit.mask`` marks the rows used.
    """
    call = dict(locals())  # first: every argument, as given
    from kestrel import samples

    if samples.wanted(call):
        return samples.fit(feols, call)
    check_options(fixef_tol, fixef_maxiter, drop_singletons, progress, lean, solver)
    check_weights(weights, weights_type)
    conv = cov.as_ssc(ssc)
    ns = formula.namespace(context)  # the caller's frame, found before any other call
    from kestrel import multiple  # it builds on the steps below

    models = multiple.expand(fml)
    if models is not None:
        return multiple.fit_all(models, data, vcov, vcov_kwargs, conv, float(fixef_tol),
                                int(fixef_maxiter), bool(drop_singletons), progress, ns,
                                solver, bool(lean), weights, weights_type)
    model = formula.parse(fml)
    vc = cov.parse(vcov, model.fixef_names, vcov_kwargs)
    check_serial_weights(vc, weights, weights_type)
    # HC2 and HC3 with fixed effects or 2SLS, CRV3 with 2SLS.
    inference_module.check_request(vc, vcov, bool(model.fixef), model.iv is not None)
    if weights is not None and vc.jackknife:
        raise ValueError(f"vcov={vcov!r} (the CRV3 jackknife) is not available with weights "
                         "yet; use {'CRV1': ...}")
    model, instruments = iv.prepare(model, vc)  # 2SLS: its columns join the design
    frame = Frame(data)
    if frame.n_rows == 0:
        raise ValueError("the data has no rows")

    # Design: columns, identifier codes and the rows without missing values.
    w = read_weights(frame, weights, weights_type)
    d = design.build(model, frame, list(vc.clusters), ns, serial=vc.serial_columns,
                     weights=w)
    if not d.x and not model.fixef:
        raise ValueError(f"the formula {fml!r} has no regressors to estimate")
    check_rows_left(d, frame, vc, w)
    sample = _sample(d, drop_singletons, w)
    inference = _inference(vc, conv, d, sample, frame, w)
    # What the fit keeps (the rows used, not the caller's columns) is read before returning.
    source = prediction.Source(d.y[sample["mask"]], d.x,
                               prediction.labels(frame, model.fixef, sample),
                               float(fixef_tol), int(fixef_maxiter))
    absorbed = _absorb([d.y, *d.x], sample, fixef_tol, fixef_maxiter, progress, solver, w)
    return _estimate(fml, model, vc, conv, d, sample, inference, instruments, absorbed, 0,
                     list(range(1, 1 + len(d.x))), source,
                     (float(fixef_tol), int(fixef_maxiter), solver), bool(lean), w)


WEIGHTS_TYPES = ("aweights", "fweights")


@dataclass(frozen=True)
class Weights:
    """A fit's regression weights: ``values`` over all rows (float64; arbitrary where
    ``missing``), ``missing`` the rows without a usable weight (None: none), ``zero`` the
    rows of weight 0. Analytic weights are stored times a power of four, so that their
    square roots are exact and their sums stay far from overflow and underflow (they are
    relative: their scale changes no result)."""

    name: str
    kind: str  # "aweights" or "fweights"
    values: np.ndarray
    missing: np.ndarray | None
    zero: np.ndarray

    @property
    def frequency(self) -> bool:
        return self.kind == "fweights"


def check_options(fixef_tol: Any, fixef_maxiter: Any, drop_singletons: Any, progress: Any,
                  lean: Any, solver: Any) -> None:
    """The options every estimator shares, checked before any work."""
    cov.check_number("fixef_tol", fixef_tol)
    cov.check_number("fixef_maxiter", fixef_maxiter, integer=True, minimum=1, strict=False)
    if not isinstance(drop_singletons, (bool, np.bool_)):
        raise TypeError(f"drop_singletons must be True or False, not {drop_singletons!r}")
    if progress is not None and not isinstance(progress, (bool, np.bool_)):
        raise TypeError(f"progress must be None, True or False, not {progress!r}")
    if not isinstance(lean, (bool, np.bool_)):
        raise TypeError(f"lean must be True or False, not {lean!r}")
    check_solver(solver)


def check_weights(weights: Any, weights_type: Any) -> None:
    """The options alone (the column is read with the data)."""
    if weights is not None and not isinstance(weights, str):
        raise TypeError(f"weights must be the name of a column of the data, not "
                        f"{type(weights).__name__} ({cov.show_value(weights)})")
    if not isinstance(weights_type, str) or weights_type not in WEIGHTS_TYPES:
        raise ValueError(f"weights_type must be 'aweights' (analytic weights) or 'fweights' "
                         f"(frequency weights), not {cov.show_value(weights_type)}")


def check_serial_weights(vc: cov.Vcov, weights: str | None, weights_type: str) -> None:
    """Newey–West and Driscoll–Kraay order the rows in time; repeated rows (frequency
    weights) have no order among themselves."""
    if weights is not None and weights_type == "fweights" and vc.kind in ("nw", "dk"):
        raise ValueError(f"vcov={vc.label!r} is not available with weights_type='fweights': "
                         "the rows a frequency weight stands for have no time order; use "
                         "weights_type='aweights' or a clustered covariance")


def read_weights(frame: Frame, name: str | None, kind: str) -> Weights | None:
    """The weights column, checked: negative weights (and fractional frequency weights)
    raise ValueError naming the column and the first such row (its position)."""
    if name is None:
        return None
    values = frame.floats(name, "weights column")
    finite = np.isfinite(values)
    bad = np.flatnonzero(finite & (values < 0))
    if bad.size:
        i = int(bad[0])
        raise ValueError(f"the weights column {name!r} has a negative weight, {values[i]:g}, "
                         f"at row {i} (position in the data); weights must be 0 or more")
    if kind == "fweights":
        bad = np.flatnonzero(finite & (values != np.floor(values)))
        if bad.size:
            i = int(bad[0])
            raise ValueError(f"the frequency weights column {name!r} has a weight that is "
                             f"not a whole number, {values[i]!r}, at row {i} (position in "
                             "the data); use weights_type='aweights' for analytic weights")
    zero = finite & (values == 0)
    if kind == "aweights":
        largest = np.max(values, where=finite, initial=0.0)
        if largest > 0:
            # Times 4^-k: the largest weight in [1, 4), square roots exact.
            k = (int(np.frexp(largest)[1]) - 1) // 2
            if k:
                values = np.ldexp(values, -2 * k)
    return Weights(name, kind, values, None if finite.all() else ~finite, zero)


def check_rows_left(d: design.Design, frame: Frame, vc: cov.Vcov, w: Weights | None,
                    model: str | None = None) -> None:
    if np.count_nonzero(d.keep):
        return
    which = f" for {model!r}" if model else ""
    if d.n_zero_weight:
        raise ValueError(f"no rows left{which}: {d.n_missing:,} rows have missing values and "
                         f"the other {d.n_zero_weight:,} have weight 0 in {w.name!r}")
    names = d.variables + list(vc.clusters) + ([w.name] if w is not None else [])
    raise ValueError(f"no rows left{which}: every row has a missing value in one of "
                     f"{', '.join(names)}")


def _sample(d: design.Design, drop_singletons: bool, w: Weights | None = None) -> dict:
    # Sample: singletons out, codes renumbered over the rows used. A row standing for
    # several (a frequency weight above 1) is not alone in its group.
    counts = {}
    if w is not None and w.frequency and d.fe:
        counts["counts"] = np.where(d.keep, w.values, 0.0)
    sample = _core.sample(fe=d.fe, clusters=d.clusters, keep=d.keep,
                          drop_singletons=bool(drop_singletons), **counts)
    n = int(sample["n"])
    if n == 0:
        raise ValueError(f"no rows left: {d.n_missing:,} rows have missing values"
                         + (f", {d.n_zero_weight:,} have weight 0" if d.n_zero_weight else "")
                         + f" and the other {sample['n_singletons']:,} are singletons of the "
                         "fixed effects")
    for name, groups in zip(d.cluster_names, sample["cluster_groups"]):
        if groups < 2:
            raise ValueError(f"clustering by {name!r} needs at least two clusters, but the "
                             f"rows used have {groups}")
    return sample


def _inference(vc: cov.Vcov, conv: cov.SSC, d: design.Design, sample: dict,
               frame: Frame, w: Weights | None = None) -> cov.Inference:
    levels = [int(g) for g in sample["fe_groups"]]
    dof_fe = cov.fixef_dof(conv, levels, int(sample["absorbed_dof"]))
    n, counts = int(sample["n"]), None
    if w is not None and w.frequency:
        counts = w.values[sample["mask"]]
        n = int(np.sum(counts))  # the observations the rows stand for (exact: integers)
    return cov.Inference(vc, conv, n, levels, dof_fe,
                         _nested(vc, conv, d, sample), sample["clusters"],
                         cov.serial_codes(vc, frame, sample["mask"]), counts)


SOLVERS = ("auto", "cg")


def check_solver(solver: Any) -> None:
    if not isinstance(solver, str) or solver not in SOLVERS:
        raise ValueError(f"solver must be one of {', '.join(map(repr, SOLVERS))}, not {solver!r}")


def _scaled(columns: list[np.ndarray], mask: np.ndarray) -> tuple[list[np.ndarray], np.ndarray]:
    """The columns in units where every sum of squares and product the fit forms is a
    normal double (values of 1e200 or 1e-200 would overflow or vanish in them): a column
    whose largest magnitude over the rows used is f·2^p with p outside
    ``UNSCALED_EXPONENTS`` becomes a copy times 2^-p (exact: a power of two); the others
    are passed as they are (p = 0). Returns the columns and p of each."""
    out, exponents = [], np.zeros(len(columns), dtype=np.int64)
    for j, c in enumerate(columns):
        largest = max(abs(np.max(c, where=mask, initial=0.0)),
                      abs(np.min(c, where=mask, initial=0.0)))
        p = int(np.frexp(largest)[1]) if np.isfinite(largest) and largest > 0 else 0
        if p in UNSCALED_EXPONENTS:
            p = 0
        exponents[j] = p
        out.append(np.ldexp(c, -p) if p else c)
    return out, exponents


def _absorb(columns: list[np.ndarray], sample: dict, fixef_tol: float, fixef_maxiter: int,
            progress: bool | None, solver: str = "auto", w: Weights | None = None) -> dict:
    # Absorb the fixed effects from y and every regressor at once, in units that keep
    # their sums finite ("exponents": the powers of two to scale results back with).
    # Weighted, the data come back times the square roots of the weights (least squares
    # on them is weighted least squares; the meats' scores w·x·e) with weighted centred
    # sums of squares; "root" holds those square roots at the rows used.
    columns, exponents = _scaled(columns, sample["mask"])
    if w is not None and not sample["fe"]:
        absorbed = _weighted_stack(columns, sample["mask"], w)
        absorbed["exponents"] = exponents
        return absorbed
    weighting = {} if w is None else {"weights": w.values}
    with progress_line(None if progress is None else bool(progress)) as callback:
        absorbed = _core.absorb(columns=columns, mask=sample["mask"], fe=sample["fe"],
                                fe_groups=sample["fe_groups"], tol=float(fixef_tol),
                                max_iter=int(fixef_maxiter), solver=solver, progress=callback,
                                **weighting)
    if w is not None:
        absorbed["root"] = np.sqrt(w.values[sample["mask"]])
    if not absorbed["converged"]:
        warnings.warn("the fixed effects were not fully absorbed: "
                      + demeaning_shortfall(absorbed, fixef_tol, fixef_maxiter, "fixef_tol",
                                            "fixef_maxiter"),
                      ConvergenceWarning, stacklevel=3)
    absorbed["exponents"] = exponents
    return absorbed


def _weighted_stack(columns: list[np.ndarray], mask: np.ndarray, w: Weights) -> dict:
    """Without fixed effects nothing is absorbed: the used rows of the columns times the
    square roots of the weights, and the columns' weighted centred sums of squares."""
    weights = w.values[mask]
    root = np.sqrt(weights)
    total = math.fsum(weights)
    data = np.empty((len(weights), len(columns)), order="F")
    sums = np.empty(len(columns))
    for j, c in enumerate(columns):
        values = c[mask]
        np.multiply(values, root, out=data[:, j])
        centred = values - float(np.dot(weights, values)) / total
        sums[j] = float(np.dot(weights, centred * centred))
    return dict(data=data, sum_squares=sums, iterations=0, converged=True,
                limit_reached=False, stage="none", stages={}, setup_seconds=0.0, root=root)


def demeaning_shortfall(info: dict, tol: float, maxiter: int, tol_name: str,
                        maxiter_name: str) -> str:
    """Why a demeaning ended unconverged, and what to do about it."""
    if info.get("limit_reached", True):
        return (f"demeaning stopped at {maxiter_name}={maxiter:,} iterations without reaching "
                f"{tol_name}={tol:g}; raise {maxiter_name}")
    return (f"demeaning stopped after {info['iterations']:,} iterations, short of "
            f"{tol_name}={tol:g}, because the solver made no further progress (rounding limits "
            f"the accuracy these data allow); results are accurate only to about that level")



def _estimate(fml: str, model: formula.ModelFormula, vc: cov.Vcov, conv: cov.SSC,
              d: design.Design, sample: dict, inference: cov.Inference,
              instruments: iv.Instruments | None, absorbed: dict, y: int, x: list[int],
              source: prediction.Source | None = None,
              options: tuple[float, int, str] = (1e-8, 100_000, "auto"),
              lean: bool = False, w: Weights | None = None) -> Fit:
    """Least squares (or its two stages) of column ``y`` of the absorbed data on columns
    ``x`` (the design's regressors, in order), then the covariance and the fit statistics.
    ``source``: what the fit keeps for its fixed-effect values and predictions;
    ``options``: the demeaning's tolerance, iteration cap and solver (for the jackknife's
    refits); ``lean``: keep nothing of the rows; ``w``: the weights (the absorbed data are
    then weighted, see :func:`_absorb`)."""
    # Least squares (or its two stages), dropping collinear and absorbed regressors.
    n = inference.n  # frequency weights: the rows they stand for
    data = absorbed["data"]
    # Without fixed effects nothing can be absorbed (and the intercept's centred sum of
    # squares is zero): the check is skipped.
    sum_squares = absorbed["sum_squares"] if d.fe else np.empty(0)
    first_stage = iv_refit = None
    if instruments is None:
        ls = _core.least_squares(data=data, y=y, x=x,
                                 sum_squares=sum_squares, collin_tol=COLLIN_TOL)
        names = [d.x_names[i] for i in ls["kept"]]
        dropped = sorted(set(ls["collinear"]) | set(ls["absorbed"]))
        if not names and d.x_names:
            if len(ls["absorbed"]) == len(d.x_names):
                raise ValueError(f"the fixed effects absorb every regressor of {fml!r} "
                                 f"({', '.join(d.x_names)}); nothing is left to estimate")
            raise ValueError(f"every regressor of {fml!r} was dropped ("
                             f"{_why(d.x_names, ls)}); nothing is left to estimate")
        if dropped:
            warnings.warn(f"dropped {_why(d.x_names, ls)}", CollinearityWarning, stacklevel=3)
        x_cols = [x[i] for i in ls["kept"]]
        collinear = [d.x_names[i] for i in dropped]
        positions = list(ls["kept"])  # in the design's regressors
    else:
        stages = iv.two_stages(fml, d, instruments, data, sum_squares, inference, COLLIN_TOL,
                               CollinearityWarning, stacklevel=4,
                               exponents=absorbed["exponents"], lean=lean)
        ls = dict(coef=stages.coef, bread=stages.bread, resid=stages.resid, rss=stages.rss,
                  tss=stages.tss)
        names, x_cols, collinear = stages.names, stages.x, stages.dropped
        first_stage, iv_refit = stages.first_stage, stages.refit
        positions = stages.x_design

    # Covariance under the chosen convention.
    k = len(names)
    bread, resid = np.asarray(ls["bread"]), np.asarray(ls["resid"])
    p = absorbed["exponents"]
    p_y = int(p[y])
    p_x = p[[1 + j for j in positions]] if instruments is not None else p[x_cols]
    state = None
    if not lean or vc.jackknife:
        state = inference_module.state(d, sample, inference, absorbed, y, x_cols, ls, p_y,
                                       p_x, iv_refit, options)
    if vc.jackknife:
        assert state is not None
        covariance = inference_module.jackknife(state, inference, inference.clusters[0])
    else:
        covariance = inference.covariance(data, x_cols, resid, bread, float(ls["rss"]))
    if covariance.leverage_one.size:
        cov.warn_leverage_one(covariance, vc, names, sample["mask"], stacklevel=4)
    if inference.serial is not None:
        vc = dataclasses.replace(vc, lag=inference.serial.lag)

    # Back from the scaled units: x_a times 2^-p_a and y times 2^-p_y make beta_a and the
    # residuals scale by 2^(p_a - p_y) and 2^-p_y (ratios such as R² do not change).
    with np.errstate(over="ignore", under="ignore"):  # a value beyond doubles: inf or 0
        coef = np.ldexp(np.asarray(ls["coef"], dtype=float), p_y - p_x)
        vcov = np.ldexp(covariance.matrix, 2 * p_y - p_x[:, None] - p_x[None, :])
        se = np.ldexp(np.sqrt(np.diag(covariance.matrix)), p_y - p_x)
        resid = np.ldexp(resid, p_y)
    if w is not None:
        # The engine's sum of squares of the demeaned y is centred by its plain mean; the
        # weighted within total is that of the (weighted-mean zero) √w-scaled column, and
        # the residuals reported are those of the data, y − Xβ (− the fixed effects).
        column = data[:, y]
        ls["tss"] = float(np.dot(column, column))
        resid = resid / absorbed["root"]
    stats = _fit_statistics(ls, absorbed["sum_squares"][y], n, k, inference.dof_fe,
                            bool(model.fixef))
    if w is not None and not w.frequency:
        # Analytic weights are relative: the residual sum of squares and RMSE are reported
        # for weights of mean 1 (Σ w e² · N / Σ w), as Stata normalises them, so that no
        # reported number depends on the weights' scale.
        share = n / math.fsum(w.values[sample["mask"]])
        stats["rss"] *= share
        stats["rmse"] *= math.sqrt(share)
    with np.errstate(over="ignore", under="ignore"):
        stats["rss"], stats["rmse"] = (float(np.ldexp(stats["rss"], 2 * p_y)),
                                       float(np.ldexp(stats["rmse"], p_y)))

    return Fit(formula=fml, depvar=d.y_name, coef_names=names, _coef=coef,
               _vcov=vcov, df_t=covariance.df_t, dof_k=covariance.dof_k,
               vcov_type=vc, ssc=conv, nobs=n, n_missing=d.n_missing,
               n_zero_weight=d.n_zero_weight,
               weights=None if w is None else w.name,
               weights_type=None if w is None else w.kind,
               n_singletons=int(sample["n_singletons"]),
               fixef=dict(zip(d.fe_names, inference.levels)), dof_fixef=inference.dof_fe,
               clusters=dict(zip(d.cluster_names, map(int, sample["cluster_groups"]))),
               mask=None if lean else sample["mask"], _resid=None if lean else resid,
               iterations=int(absorbed["iterations"]),
               converged=bool(absorbed["converged"]), solver_stage=str(absorbed["stage"]),
               collinear=collinear, first_stage=first_stage,
               periods=None if inference.serial is None else inference.serial.periods,
               _model=None if source is None else source.model(
                   d, model, sample, positions, coef, lean,
                   None if w is None else w.values[sample["mask"]]),
               _se=se, _state=None if lean else state, lean=lean, **stats)


def _why(x_names: list[str], ls: dict) -> str:
    parts = []
    if ls["collinear"]:
        parts.append(f"{', '.join(x_names[i] for i in ls['collinear'])} "
                     "(collinear with the regressors before them)")
    if ls["absorbed"]:
        parts.append(f"{', '.join(x_names[i] for i in ls['absorbed'])} "
                     "(absorbed by the fixed effects)")
    return "; ".join(parts)


def _nested(vc: cov.Vcov, conv: cov.SSC, d: design.Design, sample: dict) -> list[bool]:
    """Which fixed effects are nested in a clustering variable (each level inside one
    cluster): the 'nonnested' convention does not count them."""
    if vc.kind != "cluster" or conv.k_fixef != "nonnested":
        return [False] * len(d.fe)
    return nested_in(d.fe_names, sample["fe"], sample["fe_groups"], d.cluster_names,
                     sample["clusters"], sample["cluster_groups"])


def nested_in(fe_names: list[str], fe_codes: list[np.ndarray], fe_groups: Any,
              cluster_names: list[str], cluster_codes: list[np.ndarray],
              cluster_groups: Any) -> list[bool]:
    """Which fixed effects are nested in one of the clustering variables (codes over the
    rows used)."""
    nested = [False] * len(fe_codes)
    for j, (name, fe, g_fe) in enumerate(zip(fe_names, fe_codes, fe_groups)):
        for c_name, cl, g_cl in zip(cluster_names, cluster_codes, cluster_groups):
            if name == c_name:
                nested[j] = True
            elif g_cl <= g_fe:  # more clusters than levels: some level spans two
                # Each level's cluster, as some row of it says; nested if every row agrees.
                index = fe.astype(np.intp)  # converted once, not by each indexing
                of_level = np.empty(int(g_fe), dtype=cl.dtype)
                of_level[index] = cl
                nested[j] = bool(np.array_equal(of_level[index], cl))
            if nested[j]:
                break
    return nested


def _fit_statistics(ls: dict, tss: float, n: int, k: int, dof_fe: int,
                    has_fe: bool) -> dict[str, float]:
    """R² against the centred total sum of squares of y over the rows used, within R²
    against that of the demeaned y; adjusted as fixest and pyfixest do."""
    rss = float(ls["rss"])
    with np.errstate(divide="ignore", invalid="ignore"):
        r2 = 1.0 - rss / np.float64(tss)
        # Without regressors nothing is explained within (exactly, not up to rounding).
        within = (1.0 - rss / np.float64(ls["tss"]) if k else 0.0) if has_fe else np.nan
    return dict(r2=float(r2), r2_within=float(within), rmse=float(np.sqrt(rss / n)), rss=rss,
                **adjusted_r2(r2, within, n, k, dof_fe, has_fe))


def adjusted_r2(r2: float, within: float, n: int, k: int, dof_fe: int,
                has_fe: bool) -> dict[str, float]:
    """The adjusted R² (they depend on the fixed effects' degrees of freedom, which the
    small-sample convention counts)."""
    r2, within = np.float64(r2), np.float64(within)
    with np.errstate(divide="ignore", invalid="ignore"):
        adj = 1.0 - (1.0 - r2) * (n - 1) / (n - k - dof_fe)
        adj_within = (1.0 - (1.0 - within) * (n - dof_fe) / (n - k - dof_fe) if has_fe
                      else np.nan)
    return dict(adj_r2=float(adj), adj_r2_within=float(adj_within))
