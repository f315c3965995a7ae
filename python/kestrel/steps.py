"""The steps every fit is made of, in order, for the estimators to compose.

A fit of ``y ~ x1 + x2 | firm + year`` on a DataFrame goes:

1. **options** (:func:`check_options`): the options every estimator shares, checked once
   before any work and kept in one :class:`FitOptions` value; the weights column is read
   with the data (:func:`read_weights`);
2. **design** (:func:`kestrel.design.build`, not here): the columns, the identifiers'
   codes and the rows without missing values;
3. **sample** (:func:`sample`): singletons out, identifier codes renumbered over the rows
   used;
4. **absorb** (:func:`absorb`): the fixed effects removed from y and every regressor at
   once, in units that keep every sum finite (:func:`scaled`), weighted when the fit is;
   :func:`demean` is the one call of the engine's demeaning it makes, which the GLM's
   iterations also make, with their own weights and a warm start;
5. **least squares** (:func:`least_squares`): collinear and absorbed regressors dropped
   (:func:`why_dropped` says which), the coefficients, residuals and bread;
6. **inference** (:func:`inference`): what the covariance needs (the observations, the
   fixed effects' degrees of freedom, the clusters' codes, the time series), and the fit
   statistics (:func:`fit_statistics`).

``kestrel.feols`` (:mod:`kestrel.estimation`), its several models of one call
(:mod:`kestrel.multiple`), ``kestrel.fepois`` and ``kestrel.feglm`` (:mod:`kestrel.glm`) and
``kestrel.demean`` (:mod:`kestrel.demeaning`) are these steps in their own order; 2SLS
(:mod:`kestrel.iv`) runs its stages on what :func:`absorb` returns. Nothing here knows an
estimator or a result.
"""

from __future__ import annotations

import dataclasses
import warnings
from dataclasses import dataclass
from typing import Any

import numpy as np

from kestrel import _core, design
from kestrel import vcov as cov
from kestrel.data import Frame
from kestrel.progress import progress_line
from kestrel.warning_types import CollinearityWarning, ConvergenceWarning

COLLIN_TOL = 1e-10  # relative pivot below which a regressor counts as collinear
# Columns whose largest magnitude lies outside [2^-20, 2^64) are fitted in other units (see
# scaled): these frexp exponents of the largest magnitude are left as they are.
UNSCALED_EXPONENTS = range(-19, 65)
SOLVERS = ("auto", "cg")
WEIGHTS_TYPES = ("aweights", "fweights")


# Options ---------------------------------------------------------------------------------
@dataclass(frozen=True)
class FitOptions:
    """The options every estimator shares, checked (:func:`check_options`).

    fixef_tol, fixef_maxiter: the demeaning's tolerance and iteration cap.
    drop_singletons: drop rows alone in a fixed-effect group.
    progress: a progress line on stderr (None: when stderr is a terminal).
    solver: "auto" or "cg", how several fixed effects are absorbed.
    lean: keep nothing of the rows in the fit.
    weights, weights_type: the weights column (None: unweighted) and its kind.
    collin_tol: the relative pivot below which a regressor counts as collinear.
    """

    fixef_tol: float = 1e-8
    fixef_maxiter: int = 100_000
    drop_singletons: bool = True
    progress: bool | None = None
    solver: str = "auto"
    lean: bool = False
    weights: str | None = None
    weights_type: str = "aweights"
    collin_tol: float = COLLIN_TOL


def check_options(fixef_tol: Any, fixef_maxiter: Any, drop_singletons: Any, progress: Any,
                  lean: Any, solver: Any, weights: Any = None,
                  weights_type: Any = "aweights") -> FitOptions:
    """The options every estimator shares, checked before any work (TypeError or
    ValueError naming the option), as one :class:`FitOptions`."""
    cov.check_number("fixef_tol", fixef_tol)
    cov.check_number("fixef_maxiter", fixef_maxiter, integer=True, minimum=1, strict=False)
    if not isinstance(drop_singletons, (bool, np.bool_)):
        raise TypeError(f"drop_singletons must be True or False, not {drop_singletons!r}")
    if progress is not None and not isinstance(progress, (bool, np.bool_)):
        raise TypeError(f"progress must be None, True or False, not {progress!r}")
    if not isinstance(lean, (bool, np.bool_)):
        raise TypeError(f"lean must be True or False, not {lean!r}")
    check_solver(solver)
    check_weights(weights, weights_type)
    return FitOptions(fixef_tol=float(fixef_tol), fixef_maxiter=int(fixef_maxiter),
                      drop_singletons=bool(drop_singletons),
                      progress=None if progress is None else bool(progress), solver=solver,
                      lean=bool(lean), weights=weights, weights_type=weights_type)


def check_solver(solver: Any) -> None:
    """ValueError unless ``solver`` is one of ``SOLVERS``."""
    if not isinstance(solver, str) or solver not in SOLVERS:
        raise ValueError(f"solver must be one of {', '.join(map(repr, SOLVERS))}, not {solver!r}")


def check_weights(weights: Any, weights_type: Any) -> None:
    """The options alone (the column is read with the data)."""
    if weights is not None and not isinstance(weights, str):
        raise TypeError(f"weights must be the name of a column of the data, not "
                        f"{type(weights).__name__} ({cov.show_value(weights)})")
    if not isinstance(weights_type, str) or weights_type not in WEIGHTS_TYPES:
        raise ValueError(f"weights_type must be 'aweights' (analytic weights) or 'fweights' "
                         f"(frequency weights), not {cov.show_value(weights_type)}")


def check_weighted_vcov(vc: cov.Vcov, vcov: Any, options: FitOptions) -> None:
    """The covariances weights do not have yet: the jackknife; and Newey–West and
    Driscoll–Kraay, which order the rows in time, with frequency weights, whose repeated
    rows have no order among themselves."""
    if options.weights is None:
        return
    if options.weights_type == "fweights" and vc.kind in ("nw", "dk"):
        raise ValueError(f"vcov={vc.label!r} is not available with weights_type='fweights': "
                         "the rows a frequency weight stands for have no time order; use "
                         "weights_type='aweights' or a clustered covariance")
    if vc.jackknife:
        raise ValueError(f"vcov={vcov!r} (the CRV3 jackknife) is not available with weights "
                         "yet; use {'CRV1': ...}")


# Weights ---------------------------------------------------------------------------------
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


# Sample ----------------------------------------------------------------------------------
def check_rows_left(d: design.Design, frame: Frame, vc: cov.Vcov, w: Weights | None,
                    model: str | None = None) -> None:
    """ValueError when missing values (and weights of 0) leave no row of the design."""
    if np.count_nonzero(d.keep):
        return
    which = f" for {model!r}" if model else ""
    if d.n_zero_weight:
        raise ValueError(f"no rows left{which}: {d.n_missing:,} rows have missing values and "
                         f"the other {d.n_zero_weight:,} have weight 0 in {w.name!r}")
    names = d.variables + list(vc.clusters) + ([w.name] if w is not None else [])
    raise ValueError(f"no rows left{which}: every row has a missing value in one of "
                     f"{', '.join(names)}")


def sample(d: design.Design, drop_singletons: bool, w: Weights | None = None) -> dict:
    """The engine's sample stage over the design's rows: singletons out, codes renumbered
    over the rows used ("mask", "n", "fe", "fe_groups", "clusters", "cluster_groups",
    "n_singletons", "absorbed_dof"). A row standing for several (a frequency weight above
    1) is not alone in its group. ValueError when no row is left or a clustering variable
    has fewer than two clusters."""
    counts = {}
    if w is not None and w.frequency and d.fe:
        counts["counts"] = np.where(d.keep, w.values, 0.0)
    out = _core.sample(fe=d.fe, clusters=d.clusters, keep=d.keep,
                       drop_singletons=bool(drop_singletons), **counts)
    n = int(out["n"])
    if n == 0:
        raise ValueError(f"no rows left: {d.n_missing:,} rows have missing values"
                         + (f", {d.n_zero_weight:,} have weight 0" if d.n_zero_weight else "")
                         + f" and the other {out['n_singletons']:,} are singletons of the "
                         "fixed effects")
    for name, groups in zip(d.cluster_names, out["cluster_groups"]):
        if groups < 2:
            raise ValueError(f"clustering by {name!r} needs at least two clusters, but the "
                             f"rows used have {groups}")
    return out


# Absorb ----------------------------------------------------------------------------------
def scaled(columns: list[np.ndarray], mask: np.ndarray) -> tuple[list[np.ndarray], np.ndarray]:
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


def demean(columns: list[np.ndarray], mask: np.ndarray, fe: list[np.ndarray],
           fe_groups: Any, tol: float, maxiter: int, solver: str, progress: Any,
           weights: np.ndarray | None = None, start: Any = None,
           coefficients: bool = False, slopes: Any = None) -> dict:
    """One call of the engine's demeaning: the fixed effects (codes ``fe`` over the rows
    of ``mask``) removed from every column at once, by weighted least squares with
    ``weights`` (the columns then come back times their square roots), started from the
    fixed-effect coefficients ``start`` of an earlier call (which ``coefficients=True``
    returns). ``progress``: the engine's progress callback, or None."""
    extra: dict[str, Any] = {}
    if weights is not None:
        extra["weights"] = weights
    if start is not None:
        extra["start"] = start
    if coefficients:
        extra["coefficients"] = True
    if slopes is not None:
        extra["slopes"], extra["slope_layout"] = slopes
    return _core.absorb(columns=columns, mask=mask, fe=fe, fe_groups=fe_groups, tol=tol,
                        max_iter=maxiter, solver=solver, progress=progress, **extra)


def absorb(columns: list[np.ndarray], sample: dict, options: FitOptions,
           w: Weights | None = None, slopes: Any = None) -> dict:
    """The fixed effects of ``sample`` absorbed from y and every regressor at once, in
    units that keep their sums finite ("exponents": the powers of two to scale results
    back with, see :func:`scaled`), with a progress line and a
    :class:`kestrel.ConvergenceWarning` if the demeaning stops short. Weighted, the data
    come back times the square roots of the weights (least squares on them is weighted
    least squares; the meats' scores w·x·e) with weighted centred sums of squares; "root"
    holds those square roots at the rows used. ``slopes``: varying slopes, (slope columns,
    layout) as ``_core.absorb`` takes them ("level_ranks" then comes back)."""
    columns, exponents = scaled(columns, sample["mask"])
    if w is not None and not sample["fe"]:
        absorbed = weighted_stack(columns, sample["mask"], w)
        absorbed["exponents"] = exponents
        return absorbed
    with progress_line(options.progress) as callback:
        absorbed = demean(columns, sample["mask"], sample["fe"], sample["fe_groups"],
                          float(options.fixef_tol), int(options.fixef_maxiter),
                          options.solver, callback, None if w is None else w.values,
                          slopes=slopes)
    if w is not None:
        absorbed["root"] = absorbed.pop("roots")
    if not absorbed["converged"]:
        warnings.warn("the fixed effects were not fully absorbed: "
                      + demeaning_shortfall(absorbed, options.fixef_tol,
                                            options.fixef_maxiter, "fixef_tol",
                                            "fixef_maxiter"),
                      ConvergenceWarning, stacklevel=3)
    absorbed["exponents"] = exponents
    return absorbed


# Varying slopes --------------------------------------------------------------------------
def slope_sample(d: design.Design, drop_singletons: bool,
                 w: Weights | None = None) -> tuple[dict, design.Design]:
    """The sample of a design with varying slopes (``id[year]``, ``id[[year]]``,
    ``id[x1, x2]``) and the design of its fixed effects that keep their intercept, which
    alone take part in the singleton search (a fixed effect of slopes only does not: a
    level it identifies from few rows stays, as in fixest) and are the fit's fixed effects
    for clustering, nesting and the intercepts' degrees of freedom. Beside the sample
    stage's keys: "slope_fe" and "slope_groups" (every fixed effect's codes over the rows
    used and their levels), "slope_terms" (the slope columns and layout ``_core.absorb``
    takes) and "slope_raw" (per fixed effect None, or its slope variables' names, their
    values at the rows used and whether the intercept is kept)."""
    with_intercept = [s is None or s[1] for s in d.slopes]
    keep = [j for j, kept in enumerate(with_intercept) if kept]
    d_int = dataclasses.replace(d, fe=[d.fe[j] for j in keep],
                                fe_names=[d.fe_names[j] for j in keep])
    out = sample(d_int, drop_singletons, w)
    mask = out["mask"]
    fe, groups, columns, layout, raw = [], [], [], [], []
    used = iter(zip(out["fe"], out["fe_groups"]))
    for j, slope in enumerate(d.slopes):
        if with_intercept[j]:
            codes, g = next(used)
        else:
            # Numbered in order of first appearance over the rows used, as the sample
            # stage numbers the others (the fit's labels are read so).
            codes, g = _core.recode(np.ascontiguousarray(d.fe[j][mask]))
        fe.append(codes)
        groups.append(int(g))
        if slope is None:
            layout += [0, 1]
            raw.append(None)
            continue
        raw.append((slope[2], [c[mask] for c in slope[0]], bool(slope[1])))
        columns += [design.slope_column(c, bool(slope[1]), mask)[0] for c in slope[0]]
        layout += [len(slope[0]), int(slope[1])]
    out.update(slope_fe=fe, slope_groups=groups, slope_terms=(columns, layout),
               slope_raw=raw)
    return out, d_int


def absorb_slopes(columns: list[np.ndarray], sample: dict, options: FitOptions,
                  w: Weights | None = None) -> tuple[dict, dict]:
    """:func:`absorb` with the varying slopes of a :func:`slope_sample`, and the sample
    with its degrees of freedom completed: the intercepts' (the usual rule) plus, for every
    fixed effect with slopes, the rank of each level's terms less its intercept (a level
    where a slope variable is constant absorbs one fewer, one where a slope variable of
    ``[[ ]]`` is zero throughout none), as "slope_dof" and within "absorbed_dof".
    Redundancies between the slopes of one fixed effect and the other fixed effects are
    not looked for."""
    absorbed = absorb(columns, dict(sample, fe=sample["slope_fe"],
                                    fe_groups=sample["slope_groups"]),
                      options, w, slopes=sample["slope_terms"])
    ranks = [int(r) for r in absorbed["level_ranks"]]
    slope_dof = sum((r - g if raw[2] else r) for r, g, raw
                    in zip(ranks, sample["slope_groups"], sample["slope_raw"])
                    if raw is not None)
    return absorbed, dict(sample, absorbed_dof=int(sample["absorbed_dof"]) + slope_dof,
                          slope_dof=slope_dof)


def with_slope_labels(fit: Any, model: Any, sample: dict) -> Any:
    """A fit with varying slopes lists its fixed effects as written ("id[year]"), each
    with its levels."""
    return dataclasses.replace(fit, fixef=dict(zip(model.fixef_labels,
                                                   sample["slope_groups"])))


def weighted_stack(columns: list[np.ndarray], mask: np.ndarray, w: Weights) -> dict:
    """Without fixed effects nothing is absorbed: the used rows of the columns times the
    square roots of the weights, and the columns' weighted centred sums of squares."""
    weights = w.values[mask]
    root = np.sqrt(weights)
    total = float(np.sum(weights))
    data = np.empty((len(weights), len(columns)), order="F")
    sums = np.empty(len(columns))
    for j, c in enumerate(columns):
        values = c[mask]
        np.multiply(values, root, out=data[:, j])
        centred = values - dot(weights, values) / total
        sums[j] = dot(weights, centred * centred)
    return dict(data=data, sum_squares=sums, iterations=0, converged=True,
                limit_reached=False, stage="none", stages={}, setup_seconds=0.0, root=root,
                weights=weights)


def dot(a: np.ndarray, b: np.ndarray) -> float:
    """Σ a·b of two vectors of the rows. Not BLAS: its threads busy-wait after a call of
    this length and take the cores the engine's next stage runs on."""
    return float(np.einsum("i,i->", a, b))


def demeaning_shortfall(info: dict, tol: float, maxiter: int, tol_name: str,
                        maxiter_name: str) -> str:
    """Why a demeaning ended unconverged, and what to do about it."""
    if info.get("limit_reached", True):
        return (f"demeaning stopped at {maxiter_name}={maxiter:,} iterations without reaching "
                f"{tol_name}={tol:g}; raise {maxiter_name}")
    return (f"demeaning stopped after {info['iterations']:,} iterations, short of "
            f"{tol_name}={tol:g}, because the solver made no further progress (rounding limits "
            f"the accuracy these data allow); results are accurate only to about that level")


# Least squares ---------------------------------------------------------------------------
def least_squares(data: np.ndarray, y: int, x: list[int], sum_squares: np.ndarray,
                  collin_tol: float = COLLIN_TOL) -> dict:
    """Least squares of column ``y`` of the absorbed ``data`` on columns ``x``, dropping
    the collinear ones and, where ``sum_squares`` (the columns' sums of squares before
    absorption; empty: no check) says so, those the fixed effects absorbed: "coef",
    "bread", "resid", "rss", "tss", "kept", "collinear", "absorbed"."""
    return _core.least_squares(data=data, y=y, x=x, sum_squares=sum_squares,
                               collin_tol=collin_tol)


def why_dropped(x_names: list[str], ls: dict) -> str:
    """The regressors :func:`least_squares` dropped, and why."""
    parts = []
    if ls["collinear"]:
        parts.append(f"{', '.join(x_names[i] for i in ls['collinear'])} "
                     "(collinear with the regressors before them)")
    if ls["absorbed"]:
        parts.append(f"{', '.join(x_names[i] for i in ls['absorbed'])} "
                     "(absorbed by the fixed effects)")
    return "; ".join(parts)


def dropped_regressors(fml: str, x_names: list[str], ls: dict, stacklevel: int) -> list[int]:
    """The regressors :func:`least_squares` dropped (positions, sorted): a ValueError when
    it left none of them, else a :class:`kestrel.CollinearityWarning` naming them
    (``stacklevel``: that of a warning issued where this is called)."""
    dropped = sorted(set(ls["collinear"]) | set(ls["absorbed"]))
    if not ls["kept"] and x_names:
        if len(ls["absorbed"]) == len(x_names):
            raise ValueError(f"the fixed effects absorb every regressor of {fml!r} "
                             f"({', '.join(x_names)}); nothing is left to estimate")
        raise ValueError(f"every regressor of {fml!r} was dropped ("
                         f"{why_dropped(x_names, ls)}); nothing is left to estimate")
    if dropped:
        warnings.warn(f"dropped {why_dropped(x_names, ls)}", CollinearityWarning,
                      stacklevel=stacklevel + 1)
    return dropped


# Inference -------------------------------------------------------------------------------
def inference(vc: cov.Vcov, conv: cov.SSC, d: design.Design, sample: dict, frame: Frame,
              w: Weights | None = None) -> cov.Inference:
    """What the covariance ``vc`` under the convention ``conv`` needs of a fit's sample:
    the observations (with frequency weights, the rows they stand for), the fixed effects'
    levels and degrees of freedom, which fixed effects are nested in the clusters, the
    clusters' codes and the time series of Newey–West and Driscoll–Kraay."""
    levels = [int(g) for g in sample["fe_groups"]]
    # Varying slopes: the slopes' own degrees of freedom ("slope_dof", in "absorbed_dof"
    # too) count under every convention.
    slope_dof = int(sample.get("slope_dof", 0))
    dof_fe = cov.fixef_dof(conv, levels, int(sample["absorbed_dof"]) - slope_dof) + slope_dof
    n, counts = int(sample["n"]), None
    if w is not None and w.frequency:
        counts = w.values[sample["mask"]]
        n = int(np.sum(counts))  # the observations the rows stand for (exact: integers)
    return cov.Inference(vc, conv, n, levels, dof_fe,
                         nested(vc, conv, d, sample), sample["clusters"],
                         cov.serial_codes(vc, frame, sample["mask"]), counts)


def nested(vc: cov.Vcov, conv: cov.SSC, d: design.Design, sample: dict) -> list[bool]:
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
    out = [False] * len(fe_codes)
    for j, (name, fe, g_fe) in enumerate(zip(fe_names, fe_codes, fe_groups)):
        for c_name, cl, g_cl in zip(cluster_names, cluster_codes, cluster_groups):
            if name == c_name:
                out[j] = True
            elif g_cl <= g_fe:  # more clusters than levels: some level spans two
                # Each level's cluster, as some row of it says; nested if every row agrees.
                index = fe.astype(np.intp)  # converted once, not by each indexing
                of_level = np.empty(int(g_fe), dtype=cl.dtype)
                of_level[index] = cl
                out[j] = bool(np.array_equal(of_level[index], cl))
            if out[j]:
                break
    return out


def fit_statistics(ls: dict, tss: float, n: int, k: int, dof_fe: int,
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
