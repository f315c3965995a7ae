"""``kestrel.feols``: least squares with absorbed fixed effects, from a DataFrame.

The fit is the steps of :mod:`kestrel.steps` in order: the options checked once, the
design (:mod:`kestrel.design`), the sample, the fixed effects absorbed, then least squares
(or 2SLS), the covariance and the statistics of the one model (:mod:`kestrel.linear`).
Every user-level mistake is caught before the engine runs. A call with ``split=``,
``fsplit=``, ``subset=`` or panel operators goes through :mod:`kestrel.samples` first; a
formula spelling several models (``y1 + y2 ~ x``, ``sw()``...) through
:mod:`kestrel.multiple`.
"""

from __future__ import annotations

import dataclasses
import importlib
from typing import Any

import numpy as np

from kestrel import design, formula, iv, linear, multiple, prediction, samples, steps
from kestrel import inference as inference_module
from kestrel import vcov as cov
from kestrel.data import Frame
from kestrel.fitlist import FitList
from kestrel.results import Fit
# Defined here before the warning classes had a module of their own: old imports work.
from kestrel.warning_types import CollinearityWarning, ConvergenceWarning  # noqa: F401


def feols(fml: str, data: Any, vcov: Any = None, *, vcov_kwargs: Any = None, ssc: Any = None,
          fixef_tol: float = 1e-8, fixef_maxiter: int = 100_000, drop_singletons: bool = True,
          progress: bool | None = None, solver: str = "auto", context: Any = 0,
          panel_id: str | None = None, time_id: str | None = None, panel: Any = None,
          split: str | None = None, fsplit: str | None = None,
          subset: Any = None, lean: bool = False, weights: str | None = None,
          weights_type: str = "aweights", client: Any = None) -> Fit | FitList:
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

    client: with a Dask DataFrame as ``data``, the ``distributed.Client`` to fit on (None:
      the current one). The rows stay on the workers (:mod:`kestrel.distributed`): least
      squares with fixed effects, weights and the iid, hetero, CRV1 and Driscoll–Kraay
      covariances, and 2SLS with the iid covariance.

    Rows with a missing value (NaN, None, NA, ±inf) in any column the model uses are
    dropped and counted (``fit.n_missing``); ``fit.mask`` marks the rows used.
    """
    call = dict(locals())  # first: every argument, as given
    if type(data).__module__.split(".")[0] in ("dask", "dask_expr"):
        # Loaded here only: dask is an optional extra that `import kestrel` never loads.
        return importlib.import_module("kestrel.distributed").feols(call)
    if client is not None:
        raise ValueError("client= applies to Dask DataFrames only; data is a "
                         f"{type(data).__name__}")
    if samples.wanted(call):
        return samples.fit(feols, call)
    options = steps.check_options(fixef_tol, fixef_maxiter, drop_singletons, progress, lean,
                                  solver, weights, weights_type)
    conv = cov.as_ssc(ssc)
    ns = formula.namespace(context)  # the caller's frame, found before any other call
    models = formula.expand(fml)
    if models is not None:
        return multiple.fit_all(models, data, vcov, vcov_kwargs, conv, options, ns)
    model = formula.parse(fml, slopes=True)
    vc = cov.parse(vcov, model.fixef_names, vcov_kwargs)
    steps.check_weighted_vcov(vc, vcov, options)
    # HC2 and HC3 with fixed effects or 2SLS, CRV3 with 2SLS.
    inference_module.check_request(vc, vcov, bool(model.fixef), model.iv is not None)
    model, instruments = iv.prepare(model, vc)  # 2SLS: its columns join the design
    frame = Frame(data)
    if frame.n_rows == 0:
        raise ValueError("the data has no rows")

    # Design: columns, identifier codes and the rows without missing values.
    w = steps.read_weights(frame, weights, weights_type)
    d = design.build(model, frame, list(vc.clusters), ns, serial=vc.serial_columns,
                     weights=w)
    if not d.x and not model.fixef:
        raise ValueError(f"the formula {fml!r} has no regressors to estimate")
    steps.check_rows_left(d, frame, vc, w)
    if model.slopes:
        return _fit_slopes(fml, model, vc, conv, d, frame, options, w, instruments)
    sample = steps.sample(d, options.drop_singletons, w)
    inference = steps.inference(vc, conv, d, sample, frame, w)
    # What the fit keeps (the rows used, not the caller's columns) is read before returning.
    source = prediction.Source(d.y[sample["mask"]], d.x,
                               prediction.labels(frame, model.fixef, sample),
                               options.fixef_tol, options.fixef_maxiter)
    absorbed = steps.absorb([d.y, *d.x], sample, options, w)
    return linear.estimate(fml, model, vc, conv, d, sample, inference, instruments, absorbed,
                           0, list(range(1, 1 + len(d.x))), source, options, w)


# Varying slopes ---------------------------------------------------------------------------
def _fit_slopes(fml: str, model: formula.ModelFormula, vc: cov.Vcov, conv: cov.SSC,
                d: design.Design, frame: Frame, options: steps.FitOptions,
                w: steps.Weights | None, instruments: Any) -> Fit:
    """A fit with varying slopes (``id[year]``, ``id[[year]]``, ``id[x1, x2]``): the
    sample and degrees of freedom of :func:`kestrel.steps.slope_sample` and
    :func:`kestrel.steps.absorb_slopes`, then least squares (or 2SLS) as any fit."""
    sample, d_int = steps.slope_sample(d, options.drop_singletons, w)
    mask = sample["mask"]
    source = prediction.Source(d.y[mask], d.x, prediction.labels(
        frame, model.fixef, dict(sample, fe=sample["slope_fe"])), options.fixef_tol,
        options.fixef_maxiter)
    absorbed, sample = steps.absorb_slopes([d.y, *d.x], sample, options, w)
    inference = steps.inference(vc, conv, d_int, sample, frame, w)
    # The fit's fixed effects are those with an intercept (clusters, nesting); the
    # absorbed-regressor check sees every fixed effect.
    fit = linear.estimate(fml, model, vc, conv,
                          dataclasses.replace(d, fe_names=d_int.fe_names), sample, inference,
                          instruments, absorbed, 0, list(range(1, 1 + len(d.x))), source,
                          options, w)
    return steps.with_slope_labels(fit, model, sample)
