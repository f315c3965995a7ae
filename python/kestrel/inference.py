"""Inference after the fit: another covariance without fitting again, tests of linear
hypotheses, the cluster jackknife (CRV3) and the wild cluster bootstrap.

A fit keeps, unless it is lean, what these need besides its estimates (:class:`State`): the
absorbed columns (in the units the fit computed in; shared by the fits of one call), the
residuals and bread in those units, and the identifiers' codes over the rows used. Nothing
is demeaned again, except by the jackknife when a fixed effect is not nested in the
clusters (then each cluster's refit starts from the absorbed columns, which are already
nearly free of the fixed effects).

Units: column j of ``data`` is the design's times 2^-p_j (:func:`kestrel.steps.scaled`);
the fit's coefficients are those in these units times 2^(p_y - p_x). Everything here is
computed in the fit's units and scaled back once, as the fit itself is.
"""

from __future__ import annotations

import dataclasses
import math
import re
import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd
from scipy import special

from kestrel import _core, design, steps
from kestrel import vcov as cov
from kestrel.data import Frame
from kestrel.design import combined

if TYPE_CHECKING:
    from kestrel.results import Fit


@dataclass(eq=False)
class State:
    """What inference after a fit needs beyond its estimates, in the fit's units."""

    data: np.ndarray  # absorbed columns [y, x...] over the rows used (Fortran order)
    y: int
    x: list[int]  # the covariance's regressor columns (2SLS: exogenous, then fitted)
    coef: np.ndarray
    resid: np.ndarray
    bread: np.ndarray
    rss: float
    p_y: int
    p_x: np.ndarray
    fe_names: list[str]
    fe_codes: list[np.ndarray]  # over the rows used
    levels: list[int]
    absorbed_dof: int
    clusters: dict[str, np.ndarray]  # clustering variable -> codes over the rows used
    serial: cov.Serial | None
    serial_vc: cov.Vcov | None
    tol: float
    maxiter: int
    solver: str
    iv: dict | None = None  # 2SLS: the first stages (kestrel.iv.Stages.refit)
    # Weighted fits: data and residuals are times √w; frequency weights at the rows used.
    weighted: bool = False
    counts: np.ndarray | None = None
    # Varying slopes: their degrees of freedom (within absorbed_dof, counted under every
    # convention).
    slope_dof: int = 0
    # And what the jackknife's refits absorb again: every fixed effect's codes over the
    # rows used and their slope variables there (the fit's own copies, shared with what
    # its predictions keep; see kestrel.steps.slope_sample).
    slope_codes: list | None = None
    slope_raw: list | None = None
    cache: dict = field(default_factory=dict)

    def units(self) -> np.ndarray:
        """Coefficient a in the caller's units is the fit's times 2^units[a]."""
        return self.p_y - self.p_x

    def __getstate__(self) -> dict:
        out = dict(self.__dict__)
        out["cache"] = {}
        return out


def state(d: Any, sample: dict, inference: cov.Inference, absorbed: dict, y: int,
          x: list[int], ls: dict, p_y: int, p_x: np.ndarray, iv_refit: dict | None,
          options: tuple[float, int, str]) -> State:
    """The state of a fit computed by :func:`kestrel.linear.estimate`."""
    tol, maxiter, solver = options
    serial_vc = inference.vc if inference.serial is not None else None
    return State(data=absorbed["data"], y=y, x=list(x), coef=np.asarray(ls["coef"]),
                 resid=np.asarray(ls["resid"]), bread=np.asarray(ls["bread"]),
                 rss=float(ls["rss"]), p_y=int(p_y), p_x=np.asarray(p_x, dtype=np.int64),
                 fe_names=list(d.fe_names), fe_codes=list(sample["fe"]),
                 levels=list(inference.levels), absorbed_dof=int(sample["absorbed_dof"]),
                 clusters=dict(zip(d.cluster_names, sample["clusters"])),
                 serial=inference.serial, serial_vc=serial_vc, tol=float(tol),
                 maxiter=int(maxiter), solver=solver, iv=iv_refit,
                 weighted="root" in absorbed, counts=inference.counts,
                 slope_dof=int(sample.get("slope_dof", 0)),
                 **_slope_state(sample))


def _slope_state(sample: dict) -> dict:
    if "slope_fe" not in sample:
        return {}
    return dict(slope_codes=list(sample["slope_fe"]), slope_raw=sample["slope_raw"])


def _need(fit: Fit, what: str) -> State:
    if fit._state is None:
        raise ValueError(f"{what} needs the fit's data, which a lean fit (lean=True) does "
                         "not keep; fit again without lean=True")
    return fit._state


# Another covariance ----------------------------------------------------------------------
def vcov_as(fit: Fit, vcov: Any, vcov_kwargs: Any = None, ssc: Any = None,
            data: Any = None) -> Fit:
    """The fit with another covariance (see :meth:`kestrel.Fit.vcov_as`)."""
    st = _need(fit, "vcov_as()")
    conv = fit.ssc if ssc is None else cov.as_ssc(ssc)
    vc = cov.parse(vcov, st.fe_names, vcov_kwargs)
    check_request(vc, vcov, bool(st.fe_names), st.iv is not None)
    if fit._likelihood and (vc.jackknife or (vc.kind == "hetero" and vc.hc > 1)):
        raise ValueError(f"vcov={vcov!r} is not available for GLMs; use 'iid', 'hetero' "
                         "(HC1), 'HC0' or {'CRV1': ...}")
    if vc.jackknife and st.weighted:
        raise ValueError(f"vcov={vcov!r} (the CRV3 jackknife) is not available for a weighted "
                         "fit yet; use {'CRV1': ...}")
    inference, codes = _inference(fit, st, vc, conv, data)
    if vc.jackknife:
        covariance = jackknife(st, inference, codes[0])
    elif fit._likelihood and vc.kind == "iid":  # the inverse Fisher information, factored
        covariance = cov.iid(conv, st.bread, float(fit.nobs - 1), fit.nobs,
                             inference.dof_k(len(fit.coef_names)))
    else:
        covariance = inference.covariance(st.data, st.x, st.resid, st.bread, st.rss)
    if covariance.leverage_one.size:
        cov.warn_leverage_one(covariance, vc, fit.coef_names, fit.mask, stacklevel=4)
    if inference.serial is not None:
        vc = dataclasses.replace(vc, lag=inference.serial.lag)
    units = st.units()
    with np.errstate(over="ignore", under="ignore"):
        vcov_m = np.ldexp(covariance.matrix, 2 * st.p_y - st.p_x[:, None] - st.p_x[None, :])
        se = np.ldexp(cov.standard_errors(covariance.matrix, vc, fit.coef_names,
                                          stacklevel=3), units)
    adj = {} if fit._likelihood else steps.adjusted_r2(
        fit.r2, fit.r2_within, fit.nobs, len(fit.coef_names), inference.dof_fe,
        bool(st.fe_names))
    first_stage = fit.first_stage
    if st.iv is not None:
        first_stage = _first_stages(st, inference)
    clusters = {name: int(c.max()) + 1 for name, c in zip(vc.clusters, codes)}
    new_state = dataclasses.replace(st, clusters={**st.clusters,
                                                  **dict(zip(vc.clusters, codes))},
                                    cache={})
    return dataclasses.replace(
        fit, _vcov=vcov_m, _se=se, df_t=np.inf if fit._likelihood else covariance.df_t,
        dof_k=covariance.dof_k,
        vcov_type=vc, ssc=conv, dof_fixef=inference.dof_fe, clusters=clusters,
        periods=None if inference.serial is None else inference.serial.periods,
        first_stage=first_stage, _state=new_state, **adj)


def check_request(vc: cov.Vcov, vcov: Any, has_fe: bool, is_iv: bool) -> None:
    """The covariances a model cannot have (as kestrel.feols refuses them)."""
    if vc.kind == "hetero" and vc.hc > 1 and has_fe:
        raise ValueError(f"vcov={vcov!r} is not available with fixed effects: HC2 and HC3 "
                         "need the leverage of the absorbed dummies, which is not computed; "
                         "use 'hetero' (HC1) or a clustered covariance")
    if is_iv and vc.kind == "hetero" and vc.hc > 1:
        raise ValueError(f"vcov='HC{vc.hc}' is not available for instrumental-variable "
                         "fits: the leverage of 2SLS has no agreed definition and the field's "
                         "tools (pyfixest, linearmodels, Stata's ivregress) do not offer it; "
                         "use 'hetero' (HC1) or a clustered covariance")
    if is_iv and vc.jackknife:
        raise ValueError("vcov={'CRV3': ...} is not available for instrumental-variable "
                         "fits (the jackknife of 2SLS would refit both stages per cluster); "
                         "use {'CRV1': ...}")


def _inference(fit: Fit, st: State, vc: cov.Vcov, conv: cov.SSC,
               data: Any) -> tuple[cov.Inference, list[np.ndarray]]:
    """The covariance's inputs over the fit's rows: the clusters' codes come from the fit
    (its clustering variables and fixed effects) or from ``data``."""
    frame = None
    codes, groups = [], []
    for name in vc.clusters:
        c = identifier_codes(fit, st, name, data, "clustering variable")
        g = int(c.max()) + 1 if c.size else 0
        if g < 2:
            raise ValueError(f"clustering by {name!r} needs at least two clusters, but the "
                             f"rows used have {g}")
        codes.append(c)
        groups.append(g)
    dof_fe = cov.fixef_dof(conv, st.levels, st.absorbed_dof - st.slope_dof) + st.slope_dof
    nested = [False] * len(st.fe_codes)
    if vc.kind == "cluster" and conv.k_fixef == "nonnested":
        nested = steps.nested_in(st.fe_names, st.fe_codes, st.levels, list(vc.clusters),
                                 codes, groups)
    serial = None
    if vc.kind in ("nw", "dk"):
        kept = st.serial_vc
        if data is None and st.serial is not None and kept is not None and \
                kept.time_id == vc.time_id and (vc.panel_id is None
                                                or vc.panel_id == kept.panel_id):
            # The fit's time codes (ranks, which rank again to themselves) and its series.
            panel = st.serial.panel if vc.kind == "nw" and vc.panel_id is not None else None
            serial = cov.serial_of(vc, st.serial.time, panel)
        else:
            frame = _frame(fit, data, f"vcov={vc.kind.upper()!r} with time_id "
                                      f"{vc.time_id!r}"
                                      + (f" and panel_id {vc.panel_id!r}" if vc.panel_id
                                         else ""))
            for column in vc.serial_columns:
                _no_missing(fit, frame, column)
            serial = cov.serial_codes(vc, frame, fit.mask)
    return cov.Inference(vc, conv, fit.nobs, st.levels, dof_fe, nested, codes,
                         serial, st.counts), codes


def identifier_codes(fit: Fit, st: State, name: str, data: Any, role: str) -> np.ndarray:
    """int32 codes over the fit's rows of an identifier: one the fit kept (a clustering
    variable or a fixed effect of the fit), or read from ``data``."""
    if name in st.clusters:
        return st.clusters[name]
    if name in st.fe_names:
        return st.fe_codes[st.fe_names.index(name)]
    frame = _frame(fit, data, f"the {role} {name!r}")
    parts = tuple(p.strip() for p in name.split("^"))
    for part in parts:
        frame.series(part)
        _no_missing(fit, frame, part)
    # Numbered over the rows used as the fit numbers its own, by first appearance: the
    # frame's codes are, over all rows, except a categorical's (by category, skipping
    # unused ones).
    full = combined(frame, parts, {})
    if fit.mask.all() and not (len(parts) == 1 and frame.is_categorical(parts[0])):
        return np.ascontiguousarray(full, dtype=np.int32)
    codes, _ = _core.recode(np.ascontiguousarray(full[fit.mask]))
    return codes


def _frame(fit: Fit, data: Any, what: str) -> Any:
    if data is None:
        raise ValueError(f"{what} needs data=, the frame the fit was made from: a fit "
                         "keeps the codes of its own fixed effects, clustering variables "
                         "and time periods only")
    frame = Frame(data)
    if frame.n_rows != fit.mask.shape[0]:
        raise ValueError(f"data has {frame.n_rows:,} rows, but the fit was made from "
                         f"{fit.mask.shape[0]:,}: pass the frame the fit was made from")
    return frame


def _no_missing(fit: Fit, frame: Any, column: str) -> None:
    missing = frame.missing(column)
    if missing is not None and missing[fit.mask].any():
        raise ValueError(f"the column {column!r} has missing values in "
                         f"{np.count_nonzero(missing[fit.mask]):,} of the rows the fit used; "
                         "a fit with it would use fewer rows: fit again with this covariance")


def _first_stages(st: State, inference: cov.Inference) -> dict:
    """The first stages' tests under another covariance, from their kept columns."""
    r = st.iv
    assert r is not None
    kept = r["kept"]
    columns = [r["saved"][c] if c in r["saved"] else st.data[:, c] for c in kept]
    arr = np.asfortranarray(np.column_stack(columns))
    local = list(range(len(kept)))
    excluded = [j for j, c in enumerate(kept) if c in r["excluded"]]
    names = dict(enumerate(r["names"]))
    single = len(r["endog"]) == 1
    return {e: first_stage_tests(e, fs, local, excluded, names, arr, inference, single, shift)
            for e, fs, shift in zip(r["endog"], r["firsts"], r["shifts"])}


# The first stages of 2SLS -------------------------------------------------------------
@dataclass(frozen=True)
class FirstStage:
    """One first stage: the endogenous regressor on the exogenous regressors and the
    excluded instruments (after the fixed effects are absorbed).

    ``f_stat`` tests that the excluded instruments' coefficients are all zero, as a Wald
    statistic divided by their number under the fit's covariance type (the classical F with
    "iid"), on (``f_df``) degrees of freedom; the fixed effects' degrees of freedom are
    counted as in the fit. ``effective_f`` is Montiel Olea and Pflueger's (2013) effective F,
    given with one endogenous regressor only.
    """

    endog: str
    instruments: list[str]
    _coef: np.ndarray
    _se: np.ndarray
    names: list[str]
    f_stat: float
    f_df: tuple[int, float]
    f_pvalue: float
    effective_f: float | None

    def coef(self) -> pd.Series:
        return pd.Series(self._coef, index=pd.Index(self.names, name="Coefficient"),
                         name="Estimate")

    def se(self) -> pd.Series:
        return pd.Series(self._se, index=pd.Index(self.names, name="Coefficient"),
                         name="Std. Error")

    def __repr__(self) -> str:
        eff = "" if self.effective_f is None else f", effective F {self.effective_f:.4g}"
        return (f"<first stage of {self.endog}: F({self.f_df[0]}, {self.f_df[1]:,.0f}) = "
                f"{self.f_stat:.4g}{eff}>")


def first_stage_tests(endog: str, fs: dict, kept: list[int], excluded: list[int],
                      name: dict, data: np.ndarray, inference: cov.Inference, single: bool,
                      shift: np.ndarray) -> FirstStage:
    """The first stage's coefficients, standard errors and the tests of its excluded
    instruments under the fit's covariance (``shift``: the powers of two that bring the
    coefficients back to the data's units; the tests do not depend on units)."""
    coef, bread = np.asarray(fs["coef"]), np.asarray(fs["bread"])
    covariance = inference.covariance(data, kept, np.asarray(fs["resid"]), bread,
                                      float(fs["rss"]))
    idx = [p for p, c in enumerate(kept) if c in excluded]
    pi = coef[idx]
    v_pi = covariance.matrix[np.ix_(idx, idx)]
    q = len(idx)
    # A covariance of rank below q (as with more instruments than clusters less one) has
    # no Wald statistic. The rank is that of the correlations: instruments in very
    # different units must not look dependent.
    sd = np.sqrt(np.diag(v_pi))
    full_rank = (np.isfinite(v_pi).all() and (sd > 0).all()
                 and np.linalg.matrix_rank(v_pi / np.outer(sd, sd)) == q)
    f_stat = float(pi @ np.linalg.solve(v_pi, pi)) / q if full_rank else float("nan")
    if not v_pi.any() and pi.any():  # instruments that fit the regressor exactly
        f_stat = float("inf")
    effective = None
    if single:
        # Montiel Olea and Pflueger (2013): π'(Z̃'Z̃)π / tr(V_π Z̃'Z̃), Z̃ the excluded
        # instruments net of the exogenous regressors, whose Gramian is the inverse of the
        # instruments' block of the first stage's bread.
        zz = np.linalg.inv(bread[np.ix_(idx, idx)])
        signal, noise = float(pi @ zz @ pi), float(np.trace(v_pi @ zz))
        effective = (signal / noise if noise > 0 else
                     float("inf") if signal > 0 and f_stat == float("inf") else float("nan"))
    with np.errstate(over="ignore", under="ignore"):  # beyond doubles: inf or 0
        coef_units = np.ldexp(coef, shift)
        se_units = np.ldexp(np.sqrt(np.diag(covariance.matrix)), shift)
    return FirstStage(endog=endog, instruments=[name[c] for c in excluded], _coef=coef_units,
                      _se=se_units, names=[name[c] for c in kept],
                      f_stat=f_stat, f_df=(q, float(covariance.df_t)),
                      f_pvalue=float(special.fdtrc(q, covariance.df_t, f_stat)),
                      effective_f=effective)


# The cluster jackknife (CRV3) ------------------------------------------------------------
def jackknife(st: State, inference: cov.Inference, codes: np.ndarray) -> cov.Covariance:
    """CRV3: the small-sample factors of CRV1 times Σ_g (β_(g) − β̂)(β_(g) − β̂)', β_(g)
    the estimate without cluster g (as pyfixest; MacKinnon, Nielsen and Webb's CV3 is
    (G−1)/G times the sum). Where every fixed effect is nested in the clusters, removing a
    cluster leaves the other rows' absorbed columns as they are, and each β_(g) comes from
    the cluster sums of X'X and X'y; otherwise each cluster's rows are left out and the
    absorbed columns absorbed again over the others."""
    g = int(codes.max()) + 1
    k = len(st.x)
    # With varying slopes every fixed effect's levels count, those of slopes only too.
    fe_codes = st.fe_codes if st.slope_codes is None else st.slope_codes
    levels = [int(c.max()) + 1 if c.size else 0 for c in fe_codes]
    nested = steps.nested_in([""] * len(fe_codes), fe_codes, levels, ["cluster"], [codes], [g])
    if all(nested):
        xx, xy = cluster_products(st.data, st.x, st.data[:, st.y], codes, g)
        total_xx, total_xy = xx.sum(axis=0), xy.sum(axis=0)
        loo = np.linalg.pinv(total_xx[None] - xx) @ (total_xy[None] - xy)[..., None]
        betas = loo[..., 0]
    else:
        betas = np.empty((g, k))
        for c in range(g):
            betas[c] = _refit_without(st, codes != c)
    dev = betas - st.coef[None, :]
    total = dev.T @ dev
    vc = inference.vc
    K = inference.dof_k(k)
    n = inference.n
    if n - K <= 0:
        raise ValueError(f"no degrees of freedom left: {n:,} rows for {k} regressors "
                         f"and {inference.dof_fe:,} degrees of freedom taken by the fixed effects")
    conv = inference.conv
    factor = (n - 1) / (n - K) if conv.k_adj else 1.0
    if conv.G_adj:
        factor *= g / (g - 1)
    del vc
    return cov.Covariance((total + total.T) / 2 * factor, g - 1, K)


def cluster_products(data: np.ndarray, x: list[int], y: np.ndarray, codes: np.ndarray,
                     g: int) -> tuple[np.ndarray, np.ndarray]:
    """Per cluster, X_g'X_g (g × k × k) and X_g'y_g (g × k): one pass of bincount over the
    rows per distinct product."""
    k = len(x)
    xx = np.empty((g, k, k))
    xy = np.empty((g, k))
    cols = [np.ascontiguousarray(data[:, j]) for j in x]
    for a in range(k):
        xy[:, a] = np.bincount(codes, weights=cols[a] * y, minlength=g)
        for b in range(a + 1):
            xx[:, a, b] = xx[:, b, a] = np.bincount(codes, weights=cols[a] * cols[b],
                                                    minlength=g)
    return xx, xy


def _refit_without(st: State, keep: np.ndarray) -> np.ndarray:
    """The coefficients without the rows outside ``keep``: the fit's absorbed columns,
    absorbed again over the kept rows (the same solution as absorbing the original columns
    there: they differ by fixed effects), then least squares."""
    fe, groups = [], []
    for c in st.fe_codes if st.slope_codes is None else st.slope_codes:
        codes, n_groups = _core.recode(np.ascontiguousarray(c[keep]))
        fe.append(codes)
        groups.append(int(n_groups))
    slopes = None
    if st.slope_raw is not None:
        columns, layout, _ = design.slope_terms(st.slope_raw)
        slopes = ([np.ascontiguousarray(c[keep]) for c in columns], layout)
    columns = [np.ascontiguousarray(st.data[keep, j]) for j in [st.y, *st.x]]
    out = steps.demean(columns, np.ones(int(keep.sum()), dtype=bool), fe, groups, st.tol,
                       st.maxiter, st.solver, None, slopes=slopes)
    a = np.asarray(out["data"])
    coef, *_ = np.linalg.lstsq(a[:, 1:], a[:, 0], rcond=None)
    return coef


# Linear hypotheses -----------------------------------------------------------------------
_NUMBER = re.compile(r"(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?")


def restrictions(given: Any, q: Any, names: Sequence[str],
                 what: str = "hypothesis") -> tuple[np.ndarray, np.ndarray]:
    """R (m × k) and q (m) from a matrix (with ``q``, default zeros), a string such as
    "x1 = x2" or "x1 + x2 = 1", or a list of such strings."""
    k = len(names)
    if isinstance(given, str) or (isinstance(given, Sequence) and given
                                  and all(isinstance(s, str) for s in given)):
        if q is not None:
            raise ValueError(f"q= goes with a matrix R; a {what} given as text carries its "
                             "constants ('x1 + x2 = 1')")
        texts = [given] if isinstance(given, str) else list(given)
        rows = [_parse_equation(t, names) for t in texts]
        return np.array([r for r, _ in rows]), np.array([c for _, c in rows])
    try:
        r = np.array(given, dtype=float)
    except (TypeError, ValueError):
        raise TypeError(f"the {what} must be a string such as 'x1 = x2', a list of them, or "
                        f"a matrix R with one column per coefficient, not "
                        f"{type(given).__name__}") from None
    if r.ndim == 1:
        r = r[None, :]
    if r.ndim != 2 or r.shape[1] != k or r.shape[0] == 0:
        raise ValueError(f"R must have one column per coefficient ({k}: "
                         f"{', '.join(names)}), but has shape {r.shape}")
    if q is None:
        qv = np.zeros(r.shape[0])
    else:
        qv = np.atleast_1d(np.array(q, dtype=float))
        if qv.shape != (r.shape[0],):
            raise ValueError(f"q must have one value per row of R ({r.shape[0]}), not "
                             f"shape {qv.shape}")
    if not (np.isfinite(r).all() and np.isfinite(qv).all()):
        raise ValueError("R and q must be finite")
    return r, qv


def _parse_equation(text: str, names: Sequence[str]) -> tuple[np.ndarray, float]:
    sides = text.split("=")
    if len(sides) > 2 or (len(sides) == 2 and (not sides[0].strip() or not sides[1].strip())):
        raise ValueError(f"the hypothesis {text!r} must be one equation such as 'x1 = x2' or "
                         "'x1 + x2 = 1'")
    left = _parse_linear(sides[0], names, text)
    right = _parse_linear(sides[1], names, text) if len(sides) == 2 else (np.zeros(len(names)),
                                                                          0.0)
    row = left[0] - right[0]
    if not row.any():
        raise ValueError(f"the hypothesis {text!r} involves no coefficient (of "
                         f"{', '.join(names)})")
    return row, right[1] - left[1]


def parse_combination(text: str, names: Sequence[str]) -> tuple[np.ndarray, float]:
    """A linear combination of coefficients, "x1 + 2*x2" (a constant term is allowed)."""
    if "=" in text:
        raise ValueError(f"lincom takes a combination such as 'x1 + 2*x2', not an equation: "
                         f"{text!r}")
    row, const = _parse_linear(text, names, text)
    if not row.any():
        raise ValueError(f"the combination {text!r} involves no coefficient (of "
                         f"{', '.join(names)})")
    return row, const


def _parse_linear(side: str, names: Sequence[str], text: str) -> tuple[np.ndarray, float]:
    """Σ sign·[number·]name or constants; coefficient names matched longest first."""
    row = np.zeros(len(names))
    const = 0.0
    ordered = sorted(range(len(names)), key=lambda j: -len(names[j]))
    s = side.strip()
    pos, expect_term = 0, True
    sign = 1.0
    if not s:
        raise ValueError(f"the hypothesis {text!r} has an empty side")
    while pos < len(s):
        if s[pos].isspace():
            pos += 1
            continue
        if not expect_term:
            if s[pos] in "+-":
                sign = 1.0 if s[pos] == "+" else -1.0
                pos += 1
                expect_term = True
                continue
            raise ValueError(f"cannot read {text!r} at {s[pos:]!r}: expected + or -")
        if s[pos] in "+-":  # a leading or doubled sign
            sign *= 1.0 if s[pos] == "+" else -1.0
            pos += 1
            continue
        factor = 1.0
        m = _NUMBER.match(s, pos)
        j = _name_at(s, pos, names, ordered)
        if m and j is None:
            factor = float(m.group())
            pos = m.end()
            rest = s[pos:].lstrip()
            if rest.startswith("*"):
                pos = len(s) - len(rest) + 1
                while pos < len(s) and s[pos].isspace():
                    pos += 1
                j = _name_at(s, pos, names, ordered)
                if j is None:
                    raise ValueError(f"cannot read {text!r} at {s[pos:]!r}: expected a "
                                     f"coefficient (one of {', '.join(names)})")
            else:
                const += sign * factor
                sign, expect_term = 1.0, False
                continue
        if j is None:
            raise ValueError(f"cannot read {text!r} at {s[pos:]!r}: not a coefficient of the "
                             f"fit ({', '.join(names)})")
        pos += len(names[j])
        rest = s[pos:].lstrip()
        if rest.startswith("*"):
            after = rest[1:].lstrip()
            m = _NUMBER.match(after)
            if not m:
                raise ValueError(f"cannot read {text!r} at {rest!r}: expected a number")
            factor *= float(m.group())
            pos = len(s) - len(after) + m.end()
        row[j] += sign * factor
        sign, expect_term = 1.0, False
    if expect_term:
        raise ValueError(f"{text!r} has a sign with no term after it")
    return row, const


def _name_at(s: str, pos: int, names: Sequence[str], ordered: list[int]) -> int | None:
    for j in ordered:
        name = names[j]
        if s.startswith(name, pos):
            end = pos + len(name)
            # a whole name: not the start of a longer identifier
            if end < len(s) and (s[end].isalnum() or s[end] == "_") and \
                    (name[-1].isalnum() or name[-1] == "_"):
                continue
            return j
    return None


@dataclass(frozen=True)
class WaldTest:
    """A Wald test of R β = q: ``statistic`` is the F statistic (the Wald statistic over
    the number of restrictions) on ``df`` = (restrictions, the fit's degrees of freedom),
    ``pvalue`` its upper tail; ``chi2`` and ``chi2_pvalue``: the Wald statistic and its
    χ² p-value."""

    statistic: float
    pvalue: float
    df: tuple[int, float]
    chi2: float
    chi2_pvalue: float
    R: np.ndarray = field(repr=False)
    q: np.ndarray = field(repr=False)

    def __repr__(self) -> str:
        return (f"<Wald test: F({self.df[0]}, {self.df[1]:,.0f}) = {self.statistic:.6g}, "
                f"p = {self.pvalue:.4g}>")


def wald_test(fit: Fit, R: Any = None, q: Any = None) -> WaldTest:
    names = fit.coef_names
    if R is None:
        if q is not None:
            raise ValueError("q= needs R=")
        R = np.eye(len(names))
    r, qv = restrictions(R, q, names)
    diff = r @ fit._coef - qv
    middle = r @ fit._vcov @ r.T
    m = r.shape[0]
    if not np.isfinite(middle).all():
        raise ValueError("the covariance of the restrictions is not finite (a standard "
                         "error is NaN)")
    rank = np.linalg.matrix_rank(middle)
    if rank < m:
        raise ValueError(f"the {m} restrictions are not independent under the fit's "
                         f"covariance (rank {rank}): drop the redundant ones")
    w = float(diff @ np.linalg.solve(middle, diff))
    f = w / m
    # Infinite degrees of freedom (GLM fits, z statistics): F(m, inf) is chi2(m)/m.
    p = special.chdtrc(m, w) if np.isinf(fit.df_t) else special.fdtrc(m, fit.df_t, f)
    return WaldTest(statistic=f, pvalue=float(p),
                    df=(m, float(fit.df_t)), chi2=w, chi2_pvalue=float(special.chdtrc(m, w)),
                    R=r, q=qv)


def lincom(fit: Fit, combination: Any, level: float = 0.95) -> pd.DataFrame:
    """Estimate, standard error, t, p and interval of linear combinations."""
    if isinstance(level, bool) or not isinstance(level, (int, float)) or not 0 < level < 1:
        raise ValueError(f"lincom(level=...) must be a number between 0 and 1, not "
                         f"{cov.show_value(level)}")
    texts = [combination] if isinstance(combination, str) else combination
    if isinstance(texts, Sequence) and texts and all(isinstance(t, str) for t in texts):
        parsed = [parse_combination(t, fit.coef_names) for t in texts]
        r = np.array([p[0] for p in parsed])
        consts = np.array([p[1] for p in parsed])
        labels = [t.strip() for t in texts]
    else:
        r, _ = restrictions(combination, None, fit.coef_names, "combination")
        consts = np.zeros(r.shape[0])
        labels = [_combination_label(row, fit.coef_names) for row in r]
    est = r @ fit._coef + consts
    se = np.sqrt(np.einsum("ij,jk,ik->i", r, fit._vcov, r))
    t = est / se
    p = 2.0 * special.stdtr(fit.df_t, -np.abs(t))
    qt = special.stdtrit(fit.df_t, 0.5 + level / 2)
    lo, hi = (1 - level) / 2 * 100, (1 + level) / 2 * 100
    return pd.DataFrame({"Estimate": est, "Std. Error": se, "t value": t, "Pr(>|t|)": p,
                         f"{lo:g}%": est - qt * se, f"{hi:g}%": est + qt * se},
                        index=pd.Index(labels, name="Combination"))


def _combination_label(row: np.ndarray, names: Sequence[str]) -> str:
    parts = []
    for w, name in zip(row, names):
        if w:
            parts.append(f"{'-' if w < 0 else '+'} {'' if abs(w) == 1 else f'{abs(w):g}*'}"
                         f"{name}")
    text = " ".join(parts)
    return text[2:] if text.startswith("+ ") else text


# The wild cluster bootstrap --------------------------------------------------------------
WEIGHTS = ("rademacher", "mammen", "webb", "norm")
# |t*| within this relative distance of |t| ties with it: with the null imposed, the draw of
# all ones (and its mirror) gives back the data, and t* = t up to rounding. Ties count as
# exceedances, so that an enumerated test is exact rather than decided by rounding.
_TIE = 1e-10


@dataclass(frozen=True)
class BootTest:
    """The wild cluster bootstrap test of one restriction R β = r (:func:`wildboottest`):
    ``estimate`` R β̂, ``statistic`` the t statistic (CRV1 by ``cluster``, the fit's
    small-sample convention), ``pvalue`` the symmetric bootstrap p-value (the share of
    |t*| at or above |t|, ties up to rounding included), ``confint`` the interval by test
    inversion (the values of r the test does not reject at 1 − ``level``), ``t_boot`` the
    bootstrap t statistics, ``B`` their number (2^G when every Rademacher draw is
    enumerated: ``enumerated``)."""

    hypothesis: str
    estimate: float
    r: float
    statistic: float
    pvalue: float
    confint: tuple[float, float]
    level: float
    B: int
    weights: str
    impose_null: bool
    enumerated: bool
    cluster: str
    clusters: int
    t_boot: np.ndarray = field(repr=False)

    def __repr__(self) -> str:
        kind = "WCR" if self.impose_null else "WCU"
        lo, hi = self.confint
        return (f"<wild cluster bootstrap ({kind}, {self.weights}, B={self.B:,}"
                f"{', enumerated' if self.enumerated else ''}) of {self.hypothesis}: "
                f"t = {self.statistic:.4f}, p = {self.pvalue:.4g}, "
                f"{self.level:.0%} interval [{lo:.6g}, {hi:.6g}]>")

    def to_series(self) -> pd.Series:
        lo, hi = self.confint
        return pd.Series({"estimate": self.estimate, "t value": self.statistic,
                          "Pr(>|t|)": self.pvalue, "ci low": lo, "ci high": hi, "B": self.B},
                         name=self.hypothesis)


def wildboottest(fit: Fit, param: Any, B: int = 9999, weights: str = "rademacher",
                 impose_null: bool = True, seed: int | None = None, r: float = 0.0,
                 cluster: str | None = None, level: float = 0.95,
                 data: Any = None) -> BootTest:
    """The wild cluster bootstrap (WCR with ``impose_null=True``, else WCU) of one
    restriction: ``param`` a coefficient (H0: β = ``r``), a restriction as text
    ("x1 + x2 = 1") or a row of R (with ``r``). ``cluster``: the bootstrap's clusters
    (default: the fit's one clustering variable); ``weights``: "rademacher", "mammen",
    "webb" or "norm", drawn from numpy's Philox generator seeded with ``seed`` (the same
    seed, the same draws); with Rademacher weights and 2^G ≤ B every sign vector is used
    once instead (B = 2^G).

    The fixed effects are absorbed once: the bootstrap runs on the absorbed columns, and
    every bootstrap t statistic comes from cluster-level sums (X_g'X_g and X_g'û_g) as in
    Roodman, MacKinnon, Nielsen and Webb (2019), at a cost that does not depend on the
    number of rows once those sums are formed. This is exactly the bootstrap of the model
    with the fixed effects as dummies when each fixed effect is nested in the bootstrap's
    clusters (or there are none); otherwise the bootstrap residuals are not re-projected
    on the fixed effects (the numerators are the same, the standard errors' scores omit
    that projection). Least squares only (not 2SLS)."""
    st = _need(fit, "wildboottest()")
    if st.weighted:
        raise ValueError("wildboottest() is not available for a weighted fit yet (its draws "
                         "would need the weights)")
    if st.iv is not None:
        raise ValueError("the wild cluster bootstrap is not available for instrumental-"
                         "variable fits")
    cov.check_number("B", B, integer=True, minimum=1, strict=False)
    if not isinstance(weights, str) or weights.lower() not in WEIGHTS:
        raise ValueError(f"weights must be one of {', '.join(map(repr, WEIGHTS))}, not "
                         f"{weights!r}")
    weights = weights.lower()
    if not isinstance(impose_null, (bool, np.bool_)):
        raise TypeError(f"impose_null must be True or False, not {impose_null!r}")
    if seed is not None and (isinstance(seed, bool) or not isinstance(seed, (int, np.integer))
                             or seed < 0):
        raise TypeError(f"seed must be None or a non-negative integer, not {seed!r}")
    if isinstance(level, bool) or not isinstance(level, (int, float)) or not 0 < level < 1:
        raise ValueError(f"level must be a number between 0 and 1, not "
                         f"{cov.show_value(level)}")
    cov.check_number("r", r, minimum=-math.inf)
    row, rv, label = _one_restriction(param, float(r), fit.coef_names)

    if cluster is None:
        vc = fit.vcov_type
        if vc.kind != "cluster" or len(vc.clusters) != 1:
            raise ValueError("the wild cluster bootstrap needs one clustering variable: pass "
                             "cluster='g' (the fit's covariance is not clustered one way)")
        cluster = vc.clusters[0]
    if not isinstance(cluster, str):
        raise TypeError(f"cluster must be a column name, not {cluster!r}")
    inference, (codes,) = _inference(fit, st, cov.Vcov("cluster", clusters=(cluster,)),
                                     fit.ssc, data)
    g = int(codes.max()) + 1
    k = len(st.x)
    n, K = inference.n, inference.dof_k(k)
    conv = fit.ssc
    factor = ((n - 1) / (n - K) if conv.k_adj else 1.0) * (g / (g - 1) if conv.G_adj else 1.0)

    # In the fit's units: R_s β_s = r_s is R β = r.
    rs = np.ldexp(row, -st.p_x)
    r_s = math.ldexp(rv, -st.p_y)
    # The cluster sums, kept for further tests by the same clusters of the fit's own.
    key = ("wild", cluster)
    if key in st.cache:
        xx, xu = st.cache[key]
    else:
        xx, xu = cluster_products(st.data, st.x, st.resid, codes, g)
        if cluster in st.clusters or cluster in st.fe_names:
            st.cache.clear()
            st.cache[key] = xx, xu
    a = st.bread
    q = a @ rs
    rq = float(rs @ q)
    est = float(rs @ st.coef)
    c0 = xu @ q  # (G,)
    se = math.sqrt(factor * float(c0 @ c0))
    hq = xx @ q  # (G, k): H_g q
    d0 = hq @ a @ xu.T  # D_gh = q'H_g A X_h'û_h
    if impose_null:
        # Restricted residuals: û + X q d / (R q) with d = R β̂ − r, so the scores move
        # linearly in d: S_g = X_g'û_g + H_g q d / (R q).
        c1 = (hq @ q) / rq
        d1 = hq @ a @ hq.T / rq
    else:
        c1 = np.zeros(g)
        d1 = np.zeros((g, g))

    draws, enumerated = _draws(weights, g, int(B), seed)
    nb = draws.shape[0]
    # Per draw v: the numerator v'c(d) and the scores' terms v_g c_g(d) − (D(d) v)_g, both
    # linear in d: one product of the draws with [c0 | c1 | diag(c0) − D0' | diag(c1) − D1'].
    m0 = np.diag(c0) - d0.T
    m1 = np.diag(c1) - d1.T
    stack = np.column_stack([c0, c1, m0, m1])
    parts = np.empty((5, nb))
    step = max(1, (1 << 20) // g)
    for s in range(0, nb, step):
        block = draws[s:s + step]
        v = _VALUES[weights][block] if weights in _VALUES else block.astype(float)
        prod = v @ stack
        e0, e1 = prod[:, 2:2 + g], prod[:, 2 + g:]
        parts[0, s:s + step] = prod[:, 0]
        parts[1, s:s + step] = prod[:, 1]
        parts[2, s:s + step] = np.einsum("ij,ij->i", e0, e0)
        parts[3, s:s + step] = np.einsum("ij,ij->i", e0, e1)
        parts[4, s:s + step] = np.einsum("ij,ij->i", e1, e1)

    def t_boot(d: float) -> np.ndarray:
        num = parts[0] + d * parts[1]
        den = factor * (parts[2] + 2 * d * parts[3] + d * d * parts[4])
        with np.errstate(divide="ignore", invalid="ignore"):
            return num / np.sqrt(np.maximum(den, 0.0))

    def pvalue(d: float) -> float:
        t = abs(d) / se
        tb = np.abs(t_boot(d))
        return float(np.mean(tb >= t * (1 - _TIE)))

    d_obs = est - r_s
    alpha = 1 - level
    lo, hi = (_invert(pvalue, alpha, se, +1), _invert(pvalue, alpha, se, -1))
    with np.errstate(over="ignore", under="ignore"):
        ci = (math.ldexp(est - lo, st.p_y), math.ldexp(est - hi, st.p_y))
    return BootTest(hypothesis=label, estimate=math.ldexp(est, st.p_y), r=rv,
                    statistic=d_obs / se, pvalue=pvalue(d_obs), confint=ci, level=level, B=nb,
                    weights=weights, impose_null=bool(impose_null), enumerated=enumerated,
                    cluster=cluster, clusters=g, t_boot=t_boot(d_obs))


_VALUES = {
    # Mammen's two points (index 0 with probability (√5+1)/(2√5)); Webb's six points.
    "mammen": np.array([-(math.sqrt(5) - 1) / 2, (math.sqrt(5) + 1) / 2]),
    "webb": np.array([-math.sqrt(1.5), -1.0, -math.sqrt(0.5), math.sqrt(0.5), 1.0,
                      math.sqrt(1.5)]),
}


def _draws(weights: str, g: int, b: int, seed: int | None) -> tuple[np.ndarray, bool]:
    """B × G draws: Rademacher signs (every sign vector once when 2^G ≤ B), indices into
    Mammen's or Webb's points, or standard normals; from Philox, a counter-based generator,
    so that a seed gives the same draws on every platform."""
    if weights == "rademacher" and g < 63 and 2 ** g <= b:
        codes = np.arange(2 ** g, dtype=np.int64)[:, None] >> np.arange(g, dtype=np.int64)
        return (codes & 1).astype(np.int8) * 2 - 1, True
    rng = np.random.Generator(np.random.Philox(seed))
    if weights == "rademacher":
        return rng.integers(0, 2, size=(b, g), dtype=np.int8) * 2 - 1, False
    if weights == "mammen":
        p0 = (math.sqrt(5) + 1) / (2 * math.sqrt(5))
        return (rng.random(size=(b, g)) >= p0).astype(np.int8), False
    if weights == "webb":
        return rng.integers(0, 6, size=(b, g), dtype=np.int8), False
    return rng.standard_normal(size=(b, g)), False


def _invert(pvalue: Any, alpha: float, se: float, direction: int) -> float:
    """The d = R β̂ − r at which the test starts rejecting, on one side (``direction``):
    widening steps from d = 0 until p ≤ alpha, then bisection."""
    inside, step = 0.0, se
    outside = None
    for _ in range(200):
        d = direction * step
        if pvalue(d) <= alpha:
            outside = d
            break
        inside = d
        step *= 2
    if outside is None:
        return direction * math.inf
    for _ in range(100):
        mid = (inside + outside) / 2
        if mid in (inside, outside) or abs(outside - inside) <= 1e-10 * se:
            break
        if pvalue(mid) <= alpha:
            outside = mid
        else:
            inside = mid
    return (inside + outside) / 2


def _one_restriction(param: Any, r: float, names: Sequence[str]) -> tuple[np.ndarray, float,
                                                                          str]:
    if isinstance(param, str):
        if param in names:
            row = np.zeros(len(names))
            row[names.index(param)] = 1.0
            return row, r, f"{param} = {r:g}"
        if "=" not in param:
            raise KeyError(f"param {param!r} is not a coefficient of the fit "
                           f"({', '.join(names)}) nor a restriction such as 'x1 = x2'")
        if r != 0.0:
            raise ValueError("r= goes with a coefficient name or a row of R; a restriction "
                             "as text carries its constant ('x1 + x2 = 1')")
        row, const = _parse_equation(param, names)
        return row, const, param.strip()
    rows, _ = restrictions(param, None, names, "restriction")
    if rows.shape[0] != 1:
        raise ValueError("the wild cluster bootstrap tests one restriction: give one row of R")
    return rows[0], r, f"{_combination_label(rows[0], names)} = {r:g}"
