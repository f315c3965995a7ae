"""One linear model, from the absorbed columns to its :class:`kestrel.Fit`: least squares
(or the two stages of 2SLS, :mod:`kestrel.iv`), the covariance under the chosen convention
(:mod:`kestrel.vcov`, the jackknife of :mod:`kestrel.inference`), the fit statistics, and
the results back in the data's units.

``kestrel.feols`` (:mod:`kestrel.estimation`) calls :func:`estimate` once; multiple
estimation (:mod:`kestrel.multiple`) once per model, on the columns its models share.
"""

from __future__ import annotations

import dataclasses
import math

import numpy as np

from kestrel import design, formula, iv, prediction, steps
from kestrel import inference as inference_module
from kestrel import vcov as cov
from kestrel.results import Fit


def estimate(fml: str, model: formula.ModelFormula, vc: cov.Vcov, conv: cov.SSC,
             d: design.Design, sample: dict, inference: cov.Inference,
             instruments: iv.Instruments | None, absorbed: dict, y: int, x: list[int],
             source: prediction.Source | None = None,
             options: steps.FitOptions = steps.FitOptions(),
             w: steps.Weights | None = None) -> Fit:
    """Least squares (or its two stages) of column ``y`` of the absorbed data on columns
    ``x`` (the design's regressors, in order), then the covariance and the fit statistics.
    ``source``: what the fit keeps for its fixed-effect values and predictions;
    ``options``: the fit's options (the demeaning's for the jackknife's refits; ``lean``:
    keep nothing of the rows); ``w``: the weights (the absorbed data are then weighted, see
    :func:`kestrel.steps.absorb`)."""
    lean = options.lean
    # Least squares (or its two stages), dropping collinear and absorbed regressors.
    n = inference.n  # frequency weights: the rows they stand for
    data = absorbed["data"]
    # Without fixed effects nothing can be absorbed (and the intercept's centred sum of
    # squares is zero): the check is skipped.
    sum_squares = absorbed["sum_squares"] if d.fe else np.empty(0)
    first_stage = iv_refit = None
    if instruments is None:
        ls = steps.least_squares(data, y, x, sum_squares, options.collin_tol)
        names = [d.x_names[i] for i in ls["kept"]]
        dropped = steps.dropped_regressors(fml, d.x_names, ls, stacklevel=3)
        x_cols = [x[i] for i in ls["kept"]]
        collinear = [d.x_names[i] for i in dropped]
        positions = list(ls["kept"])  # in the design's regressors
    else:
        stages = iv.two_stages(fml, d, instruments, data, sum_squares, inference,
                               options.collin_tol, stacklevel=4,
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
                                       p_x, iv_refit,
                                       (options.fixef_tol, options.fixef_maxiter,
                                        options.solver))
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
        se = np.ldexp(cov.standard_errors(covariance.matrix, vc, names, stacklevel=3),
                      p_y - p_x)
        if p_y:
            resid = np.ldexp(resid, p_y)
    if w is not None:
        # The engine's sum of squares of the demeaned y is centred by its plain mean; the
        # weighted within total is that of the (weighted-mean zero) √w-scaled column, and
        # the residuals reported are those of the data, y − Xβ (− the fixed effects).
        column = data[:, y]
        ls["tss"] = steps.dot(column, column)
        resid = resid / absorbed["root"]
    stats = steps.fit_statistics(ls, absorbed["sum_squares"][y], n, k, inference.dof_fe,
                            bool(model.fixef))
    if w is not None and not w.frequency:
        # Analytic weights are relative: the residual sum of squares and RMSE are reported
        # for weights of mean 1 (Σ w e² · N / Σ w), as Stata normalises them, so that no
        # reported number depends on the weights' scale.
        # NumPy's pairwise sum: a rounding of order 1e-16 relative, like every other
        # sum here (math.fsum's exact one took longer than the weighted demeaning).
        share = n / float(np.sum(absorbed["weights"]))
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
                   None if w is None else absorbed["weights"]),
               _se=se, _state=None if lean else state, lean=lean, **stats)
