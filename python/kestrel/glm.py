"""``kestrel.fepois`` and ``kestrel.feglm``: Poisson, logit and probit models with absorbed
fixed effects, by iteratively reweighted least squares.

Each iteration is a weighted least-squares fit of the working response on the regressors
with the fixed effects absorbed by the engine's weighted demeaning, started from the
previous iteration's fixed-effect coefficients (they change little from one iteration to
the next). The demeaning's tolerance starts loose and tightens as the deviance settles; the
last iteration always runs at ``fixef_tol``. The steps before (options, design, missing
values, sample with its singletons), within (absorb with weights and a warm start, least
squares) and after (inference) are those of :mod:`kestrel.steps`, as in ``kestrel.feols``:
the covariance stages read the √w-scaled demeaned regressors and √w times the working
residuals, so their scores are those of the likelihood.

Separation: estimates exist only once the rows whose fitted mean goes to a bound (0 for
Poisson, 0 or 1 for binary outcomes) are dropped. "fe" drops fixed-effect groups whose
outcome is all zero (Poisson) or never varies (logit, probit); "ir" (Poisson) finds the
rows separated by the regressors and fixed effects together with the iterated rectifier of
Correia, Guimarães and Zylkin (2021): repeated least squares of a non-negative
certificate on the model's columns, with rows of positive outcome held at zero by a large
weight, each round clipping the negative fitted values to zero; when no fitted value of a
zero-outcome row is negative, the rows with a positive one are separated.
"""

from __future__ import annotations

import dataclasses
import time
from dataclasses import dataclass
from typing import Any

import numpy as np
from scipy import special

from kestrel import design, formula, prediction, steps
from kestrel import inference as inference_module
from kestrel import vcov as cov
from kestrel.data import Frame
from kestrel.fitlist import FitList
from kestrel.progress import progress_line
from kestrel.results import Fit, Summary
from kestrel.warning_types import (CollinearityWarning, ConvergenceWarning, SeparationWarning,
                                    warn_at_caller)

FAMILIES = ("poisson", "logit", "probit")
SEPARATION = ("fe", "ir")
INNER_START = 1e-4  # the demeaning's tolerance in the first iteration
IR_WEIGHT = 1e8  # weight holding the rows of positive outcome at zero in the rectifier
# The rectifier's certificate decays linearly towards its limit: rounds stop once no fitted
# value of a zero-outcome row is below -IR_TOL (the not-yet-vanished values on rows that
# are not separated then sit at the same scale); rows whose value exceeds IR_SEPARATED,
# far above that scale, are separated (certificates start at 1).
IR_TOL = 1e-7
IR_SEPARATED = 1e-4
IR_MAXITER = 2000
MAX_HALVINGS = 30


@dataclass(frozen=True)
class Family:
    name: str

    @property
    def binary(self) -> bool:
        return self.name != "poisson"

    def inverse(self, eta: np.ndarray) -> np.ndarray:
        if self.name == "poisson":
            # Means kept within doubles, so that the weights (μ) stay positive and finite on
            # the way to a separated row's mean of 0 (where the iterations stop short).
            with np.errstate(over="ignore", under="ignore"):
                return np.clip(np.exp(eta), 1e-300, 1e300)
        if self.name == "logit":
            return special.expit(eta)
        return special.ndtr(eta)

    def link(self, mu: np.ndarray) -> np.ndarray:
        if self.name == "poisson":
            return np.log(mu)
        if self.name == "logit":
            return special.logit(mu)
        return special.ndtri(mu)

    def working(self, y: np.ndarray, eta: np.ndarray,
                mu: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """The IRLS weights and the working response (on the link scale)."""
        if self.name == "poisson":
            return mu, eta + (y - mu) / mu
        if self.name == "logit":
            w = mu * (1.0 - mu)
            return w, eta + (y - mu) / w
        d = np.maximum(np.exp(-0.5 * eta * eta) / np.sqrt(2 * np.pi), 1e-300)
        var = np.maximum(mu * (1.0 - mu), 1e-300)
        return d * d / var, eta + (y - mu) / d

    def loglik(self, y: np.ndarray, mu: np.ndarray, log_factorials: float = 0.0,
               p: np.ndarray | None = None) -> float:
        """``log_factorials``: Σ p·log(y!) (Poisson), computed once by the caller; ``p``:
        the prior weights (None: 1 on every row)."""
        with np.errstate(divide="ignore", invalid="ignore"):
            if self.name == "poisson":
                if p is None:
                    return steps.dot(y, np.log(mu)) - float(mu.sum()) - log_factorials
                return steps.dot(p * y, np.log(mu)) - steps.dot(p, mu) - log_factorials
            terms = np.log(np.where(y == 1, mu, 1.0 - mu))
            return float(np.sum(terms)) if p is None else steps.dot(p, terms)

    def deviance_of(self, y: np.ndarray, p: np.ndarray | None = None) -> Any:
        """The deviance as a function of μ for this y (and prior weights ``p``), its terms
        in y alone summed once (it is evaluated at every iteration and step-halving)."""
        if self.name == "poisson":
            if p is None:
                ylogy, total = float(np.sum(special.xlogy(y, y))), float(y.sum())

                def poisson(mu: np.ndarray) -> float:
                    with np.errstate(divide="ignore", invalid="ignore"):
                        return 2.0 * (ylogy - steps.dot(y, np.log(mu)) - total + float(mu.sum()))
                return poisson
            py = p * y
            ylogy, total = steps.dot(p, special.xlogy(y, y)), float(py.sum())

            def weighted_poisson(mu: np.ndarray) -> float:
                with np.errstate(divide="ignore", invalid="ignore"):
                    return 2.0 * (ylogy - steps.dot(py, np.log(mu)) - total + steps.dot(p, mu))
            return weighted_poisson
        one = y == 1

        def binomial(mu: np.ndarray) -> float:
            with np.errstate(divide="ignore", invalid="ignore"):
                terms = np.log(np.where(one, mu, 1.0 - mu))
                return -2.0 * (float(np.sum(terms)) if p is None else steps.dot(p, terms))
        return binomial

    def start(self, y: np.ndarray, p: np.ndarray | None = None) -> np.ndarray:
        if self.name == "poisson":
            mean = y.mean() if p is None else steps.dot(p, y) / float(p.sum())
            return (y + mean) / 2.0
        return (y + 0.5) / 2.0

    def label(self) -> str:
        return {"poisson": "Poisson, log link", "logit": "binomial, logit link",
                "probit": "binomial, probit link"}[self.name]


@dataclass(frozen=True, eq=False)
class GlmFit(Fit):
    """A fitted Poisson, logit or probit model (from :func:`kestrel.fepois` or
    :func:`kestrel.feglm`). Inference is on z statistics with normal p-values and
    intervals, fixest's convention for these families. ``iterations`` counts the IRLS
    iterations (``inner_iterations`` the demeaning's, over all of them); ``n_separated``
    the rows dropped by the separation checks (not in ``mask``). ``resid()`` holds the
    response residuals y − μ̂; ``deviance``, ``null_deviance`` (the model with an intercept
    only, and the offset), ``loglik`` and ``pseudo_r2`` (McFadden's, 1 − loglik / loglik of
    that null model) the fit statistics."""

    family: str = "poisson"
    deviance: float = np.nan
    null_deviance: float = np.nan
    loglik: float = np.nan
    loglik_null: float = np.nan
    pseudo_r2: float = np.nan
    n_separated: int = 0
    inner_iterations: int = 0
    demeaning_seconds: float = 0.0  # time in the IRLS iterations' weighted demeaning
    offset: Any = None
    _eta: np.ndarray | None = dataclasses.field(default=None, repr=False)

    _stat = "z"
    _likelihood = True

    def pvalue(self) -> Any:
        z = self._coef / self._std_errors()
        return self._series(2.0 * special.ndtr(-np.abs(z)), "Pr(>|z|)")

    def predict(self, newdata: Any = None, type: str = "response",  # noqa: A002
                context: Any = None) -> np.ndarray:
        """Predictions on the scale of the outcome (``type="response"``, μ̂) or of the
        linear predictor (``"link"``, with the fixed effects and the offset): of the rows
        used (``newdata=None``, aligned with :meth:`resid`), or of every row of ``newdata``,
        NaN where a value is missing or a level was not seen in the fit (as
        :meth:`kestrel.Fit.predict`). An offset given as a column is read from ``newdata``;
        one given as an array is not added to the predictions of new data."""
        if type not in ("response", "link"):
            raise ValueError(f"predict(type={type!r}) must be 'response' or 'link'")
        if newdata is None:
            if self._eta is None:
                raise ValueError("a lean fit (lean=True) keeps no rows: the fitted values of "
                                 "the rows used need them; fit again without lean=True")
            eta = np.array(self._eta, copy=True)
        else:
            eta = prediction.predict(self, newdata, context)
            if isinstance(self.offset, str):
                eta = eta + Frame(newdata).floats(self.offset, "offset")
        return eta if type == "link" else Family(self.family).inverse(eta)

    def wildboottest(self, *args: Any, **kwargs: Any) -> Any:
        raise ValueError("the wild bootstrap is not available for GLM fits")

    def __repr__(self) -> str:
        fe = f", fixed effects {' + '.join(self.fixef)}" if self.fixef else ""
        return (f"<kestrel.GlmFit {self.family} {self.formula!r}: {self.nobs:,} observations, "
                f"{len(self.coef_names)} coefficients{fe}, {self.vcov_type.label}>")

    # Summary pieces (see Fit.summary).
    def _method(self) -> str:
        fn = "fepois" if self.family == "poisson" else "feglm"
        return f"kestrel.{fn}: {Family(self.family).label()}, {self.formula}"

    def _dropped(self) -> list[str]:
        out = super()._dropped()
        if self.n_separated:
            out.append(f"{self.n_separated:,} separated")
        return out

    def _inference_fact(self) -> tuple[str, str]:
        return ("z and p", "normal distribution (fixest's convention for GLMs)")

    def _statistics(self) -> list[str]:
        state = "converged" if self.converged else "NOT converged"
        lines = ["   ".join([f"Deviance: {self.deviance:.6g}",
                             f"Null deviance: {self.null_deviance:.6g}",
                             f"Log-likelihood: {self.loglik:.6g}",
                             f"Pseudo R²: {self.pseudo_r2:.4f}"]),
                 f"IRLS: {self.iterations} iteration{'s' * (self.iterations != 1)} ({state})"
                 + (f", {self.inner_iterations:,} demeaning iterations" if self.fixef else "")]
        return lines


def fepois(fml: str, data: Any, vcov: Any = None, **options: Any) -> Any:
    """Poisson pseudo-maximum likelihood with absorbed fixed effects:
    ``kestrel.feglm(fml, data, family="poisson", ...)`` (see there)."""
    return feglm(fml, data, "poisson", vcov, **options)


def feglm(fml: str, data: Any, family: str = "poisson", vcov: Any = None, *,
          vcov_kwargs: Any = None, ssc: Any = None, offset: Any = None,
          separation: Any = None, glm_tol: float = 1e-8, glm_maxiter: int = 25,
          fixef_tol: float = 1e-8, fixef_maxiter: int = 100_000, drop_singletons: bool = True,
          progress: bool | None = None, solver: str = "auto", context: Any = 0,
          lean: bool = False, weights: str | None = None,
          weights_type: str = "aweights") -> Any:
    """Fit ``fml`` (``"y ~ x1 + x2 | fe1 + fe2"``, the formula language of
    :func:`kestrel.feols`, with multiple estimation) as a generalised linear model:
    ``family`` "poisson" (log link), "logit" or "probit" (binary outcomes in {0, 1}).

    vcov, vcov_kwargs, ssc: as :func:`kestrel.feols` ("iid" is the inverse Fisher
      information; HC2 and HC3 are not available); z statistics and normal p-values.
    offset: a column name or an array (one value per row) added to the linear predictor.
    lean: keep no rows (as :func:`kestrel.feols`): estimates, covariance, tests, summary,
      etable and coefplot work; residuals, fitted values, fixed effects and vcov_as do not.
    separation: which separation checks run, a subset of ("fe", "ir"); default
      ("fe", "ir") for Poisson (the fixed-effect groups whose outcome is all zero, then the
      iterated rectifier), ("fe",) for logit and probit (the groups whose outcome never
      varies). Rows dropped: ``fit.n_separated``, named in a :class:`SeparationWarning`.
    glm_tol, glm_maxiter: IRLS stops when |dev − dev_old| / (0.1 + |dev|) < glm_tol
      (fixest's criterion and defaults), or after glm_maxiter iterations with a
      ConvergenceWarning.
    weights, weights_type: prior weights, a column name (as :func:`kestrel.feols`):
      "aweights" weigh each row's log-likelihood (the estimates maximise Σ w·ℓ, the scores
      are w times the row's), at their given scale: it changes neither the estimates nor
      the robust and clustered covariances, but the iid one (the inverse information), the
      deviance and the log-likelihood follow it, as in fixest, pyfixest and statsmodels;
      "fweights" (whole numbers) make every number the one of the data with each row
      repeated w times. Rows of weight 0 are dropped and counted.
    fixef_tol, fixef_maxiter, drop_singletons, progress, solver, context: as feols.
    """
    if not isinstance(family, str) or family not in FAMILIES:
        raise ValueError(f"family must be one of {', '.join(map(repr, FAMILIES))}, "
                         f"not {family!r}")
    fam = Family(family)
    cov.check_number("glm_tol", glm_tol)
    cov.check_number("glm_maxiter", glm_maxiter, integer=True, minimum=1, strict=False)
    options = steps.check_options(fixef_tol, fixef_maxiter, drop_singletons, progress, lean,
                                  solver, weights, weights_type)
    checks = _separation(separation, fam)
    conv = cov.as_ssc(ssc)
    ns = formula.namespace(context)
    settings = dict(vcov=vcov, vcov_kwargs=vcov_kwargs, conv=conv, offset=offset,
                    checks=checks, glm_tol=float(glm_tol), glm_maxiter=int(glm_maxiter),
                    options=options, ns=ns)
    models = formula.expand(fml)
    if models is None:
        return _fit(fml, data, fam, **settings)
    fits = [_fit(m, data, fam, **settings) for m in models]
    return FitList(fits)


def _separation(value: Any, fam: Family) -> tuple[str, ...]:
    if value is None:
        return ("fe",) if fam.binary else SEPARATION
    items = (value,) if isinstance(value, str) else value
    try:
        items = tuple(items)
    except TypeError:
        raise TypeError(f"separation must be a subset of ('fe', 'ir'), not {value!r}") from None
    for item in items:
        if item not in SEPARATION:
            raise ValueError(f"separation={value!r}: unknown check {item!r}; use 'fe' and/or "
                             "'ir'")
    if "ir" in items and fam.binary:
        raise ValueError(f"separation='ir' is implemented for Poisson only, not for "
                         f"family={fam.name!r}")
    return items


def _offset(offset: Any, frame: Frame) -> np.ndarray | None:
    if offset is None:
        return None
    if isinstance(offset, str):
        return frame.floats(offset, "offset")
    values = np.asarray(offset, dtype=float) if not hasattr(offset, "to_numpy") else \
        np.asarray(offset.to_numpy(), dtype=float)
    if values.shape != (frame.n_rows,):
        raise ValueError(f"offset must be a column name or one value per row of the data "
                         f"({frame.n_rows:,}), not an array of shape {values.shape}")
    return values


def _fit(fml: str, data: Any, fam: Family, *, vcov: Any, vcov_kwargs: Any, conv: cov.SSC,
         offset: Any, checks: tuple[str, ...], glm_tol: float, glm_maxiter: int,
         options: steps.FitOptions, ns: Any) -> GlmFit:
    model = formula.parse(fml)
    if model.iv is not None:
        raise ValueError(f"instrumental variables are not available in GLMs ({fml!r})")
    vc = cov.parse(vcov, model.fixef_names, vcov_kwargs)
    if vc.kind == "hetero" and vc.hc > 1:
        raise ValueError(f"vcov={vcov!r} is not available for GLMs; use 'hetero' (HC1), "
                         "'HC0' or a clustered covariance")
    steps.check_weighted_vcov(vc, vcov, options)
    frame = Frame(data)
    if frame.n_rows == 0:
        raise ValueError("the data has no rows")
    w = steps.read_weights(frame, options.weights, options.weights_type)
    d = design.build(model, frame, list(vc.clusters), ns, serial=vc.serial_columns,
                     weights=w)
    if not d.x and not model.fixef:
        raise ValueError(f"the formula {fml!r} has no regressors to estimate")
    off = _offset(offset, frame)
    keep = d.keep.copy()
    if off is not None:
        keep &= np.isfinite(off)
    keep &= np.isfinite(d.y)
    n_missing = int(frame.n_rows - np.count_nonzero(keep)) - d.n_zero_weight
    if not keep.any():
        d = dataclasses.replace(d, keep=keep, n_missing=n_missing)
        steps.check_rows_left(d, frame, vc, w)
    y_all = d.y
    if fam.binary:
        bad = keep & (y_all != 0) & (y_all != 1)
        if bad.any():
            raise ValueError(f"the outcome {d.y_name!r} of a {fam.name} model must be 0 or 1; "
                             f"{np.count_nonzero(bad):,} rows have other values (first at row "
                             f"{int(np.flatnonzero(bad)[0])}: {y_all[bad][0]!r})")
    elif (keep & (y_all < 0)).any():
        bad = keep & (y_all < 0)
        raise ValueError(f"the outcome {d.y_name!r} of a Poisson model must be non-negative; "
                         f"{np.count_nonzero(bad):,} rows are negative (first at row "
                         f"{int(np.flatnonzero(bad)[0])})")
    d = dataclasses.replace(d, keep=keep, n_missing=n_missing)

    with progress_line(options.progress) as callback:
        d, sample, separated = _drop_separated(d, fam, checks, options, callback, w)
        if separated.size:
            shown = ", ".join(map(str, separated[:10])) + (", ..." if separated.size > 10
                                                           else "")
            bound = "0 or 1" if fam.binary else "0"
            warn_at_caller(f"{separated.size:,} row{'s' * (separated.size > 1)} dropped as "
                           f"separated (their fitted mean goes to {bound}; no estimate exists "
                           f"with them): rows at positions {shown}", SeparationWarning)
        mask = sample["mask"]
        y = y_all[mask]
        if fam.binary and (y.min() == y.max()):
            raise ValueError(f"the outcome {d.y_name!r} takes a single value ({y[0]:g}) on the "
                             "rows left: nothing to estimate")
        if not fam.binary and not (y > 0).any():
            raise ValueError(f"the outcome {d.y_name!r} is zero on every row left: nothing to "
                             "estimate")
        off_used = np.zeros(len(y)) if off is None else off[mask]
        prior = None
        if w is not None:
            # The likelihood's weights as given: for a GLM their scale is the information's
            # (the iid covariance, the deviance), as in fixest, pyfixest and statsmodels;
            # the stages' copy of analytic weights is rescaled by a power of four.
            prior = (w.values if w.frequency else frame.floats(w.name, "weights column"))[mask]
        irls = _irls(fam, d, sample, y, off_used, glm_tol, glm_maxiter, options, callback,
                     prior)
    return _result(fml, model, fam, vc, conv, d, sample, frame, irls, y, off_used, offset,
                   separated.size, options, w, prior)


def _drop_separated(d: design.Design, fam: Family, checks: tuple[str, ...],
                    options: steps.FitOptions, callback: Any,
                    w: steps.Weights | None = None) -> tuple[design.Design, dict, np.ndarray]:
    """The sample once the separated rows are out (repeated: dropping rows can leave a
    group all zero, or make singletons); returns the design with its rows, the sample and
    the positions of the separated rows. Positive prior weights change no row's
    separation: only the rows' support counts."""
    start = d.keep.copy()
    ir_done = "ir" not in checks
    while True:
        sample = steps.sample(d, options.drop_singletons, w)
        mask = sample["mask"]
        rows = np.flatnonzero(mask)
        y = d.y[mask]
        drop = np.zeros(len(y), dtype=bool)
        if "fe" in checks:
            for codes, groups in zip(sample["fe"], sample["fe_groups"]):
                total = np.bincount(codes, weights=y, minlength=int(groups))
                if fam.binary:
                    size = np.bincount(codes, minlength=int(groups))
                    constant = (total == 0) | (total == size)
                else:
                    constant = total == 0
                drop |= constant[codes]
        if not drop.any() and not ir_done:
            ir_done = True
            drop = _rectifier(d, sample, y, options, callback)
        if not drop.any():
            break
        keep = d.keep.copy()
        keep[rows[drop]] = False
        d = dataclasses.replace(d, keep=keep)
    return d, sample, np.flatnonzero(start & ~d.keep)


def _rectifier(d: design.Design, sample: dict, y: np.ndarray, options: steps.FitOptions,
               callback: Any) -> np.ndarray:
    """The rows (among those used) separated by the regressors and fixed effects: the
    iterated rectifier of Correia, Guimarães and Zylkin (2021)."""
    zero = y == 0
    if not zero.any():
        return zero
    mask = sample["mask"]
    n_all = mask.shape[0]
    w = np.ones(n_all)
    w[np.flatnonzero(mask)[~zero]] = IR_WEIGHT
    u = zero.astype(float)
    k = len(d.x)
    sq = np.sqrt(w[mask])
    start = None
    for _ in range(IR_MAXITER):
        u_all = np.zeros(n_all)
        u_all[mask] = u
        ab = steps.demean([u_all, *d.x], mask, sample["fe"], sample["fe_groups"],
                          min(options.fixef_tol, 1e-10), options.fixef_maxiter, options.solver,
                          callback, weights=w, start=start, coefficients=True)
        if d.fe:
            start = ab["coefficients"]
        if k:
            ls = steps.least_squares(ab["data"], 0, list(range(1, k + 1)),
                                     ab["sum_squares"] if d.fe else np.empty(0),
                                     options.collin_tol)
            e = np.asarray(ls["resid"]) / sq
        else:
            e = np.asarray(ab["data"][:, 0]) / sq
        fitted = u - e
        if (fitted[zero] >= -IR_TOL).all():
            return zero & (fitted > IR_SEPARATED)
        u = np.where(zero, np.maximum(fitted, 0.0), 0.0)
    warn_at_caller("the separation check ('ir') did not settle; no row is dropped by it",
          ConvergenceWarning)
    return np.zeros_like(zero)


@dataclass
class _Irls:
    eta: np.ndarray
    mu: np.ndarray
    deviance: float
    absorbed: dict
    ls: dict
    weights: np.ndarray
    iterations: int
    inner_iterations: int
    converged: bool
    seconds: float
    deviance_of: Any  # the deviance as a function of μ (for the null model's)


def _irls(fam: Family, d: design.Design, sample: dict, y: np.ndarray, off: np.ndarray,
          glm_tol: float, glm_maxiter: int, options: steps.FitOptions,
          callback: Any, prior: np.ndarray | None = None) -> _Irls:
    """Iteratively reweighted least squares: each iteration the absorb step of
    :mod:`kestrel.steps` (:func:`kestrel.steps.demean`) with the IRLS weights (times the
    prior weights ``prior`` at the rows used, if any), started from the previous
    iteration's fixed-effect coefficients, then its least-squares step."""
    fixef_tol = options.fixef_tol
    mask = sample["mask"]
    n_all = mask.shape[0]
    k = len(d.x)
    mu = fam.start(y, prior)
    eta = fam.link(mu)
    deviance = fam.deviance_of(y, prior)
    dev_old = deviance(mu)
    start = None
    inner_tol = max(fixef_tol, INNER_START) if d.fe else fixef_tol
    inner, seconds = 0, 0.0
    converged = False
    z_all, w_all = np.zeros(n_all), np.ones(n_all)
    sum_squares = np.empty(0)
    it = 0
    for it in range(1, glm_maxiter + 1):
        w, z = fam.working(y, eta, mu)
        if prior is not None:
            w = w * prior
        z_all[mask] = z - off
        w_all[mask] = w
        clock = time.perf_counter()
        ab = steps.demean([z_all, *d.x], mask, sample["fe"], sample["fe_groups"], inner_tol,
                          options.fixef_maxiter, options.solver, callback, weights=w_all,
                          start=start, coefficients=True)
        seconds += time.perf_counter() - clock
        inner += int(ab["iterations"])
        if d.fe:
            start = ab["coefficients"]
            sum_squares = ab["sum_squares"]
        sq = np.sqrt(w)
        if k:
            ls = steps.least_squares(ab["data"], 0, list(range(1, k + 1)), sum_squares,
                                     options.collin_tol)
            e = np.asarray(ls["resid"]) / sq
        else:
            resid0 = np.asarray(ab["data"][:, 0])
            ls = dict(coef=np.empty(0), kept=[], collinear=[], absorbed=[],
                      bread=np.zeros((0, 0)), resid=resid0, rss=steps.dot(resid0, resid0))
            e = ls["resid"] / sq
        eta_new = z - e  # the working response minus the weighted residual: offset included
        mu_new = fam.inverse(eta_new)
        dev = deviance(mu_new)
        # Step-halving: back towards the previous fit while the deviance is not finite or
        # rises (the fixed effects' and coefficients' move is linear in the step). The
        # starting values are no fit of the model: the first step halves only to stay finite
        # (the next weighted fit brings the linear predictor back among the model's).
        halvings = 0
        while (not np.isfinite(dev) or (it > 1 and dev > dev_old * (1 + 1e-12) + 1e-12)) \
                and halvings < MAX_HALVINGS:
            eta_new = (eta_new + eta) / 2.0
            mu_new = fam.inverse(eta_new)
            dev = deviance(mu_new)
            halvings += 1
        if not np.isfinite(dev):
            raise ValueError("the deviance is not finite: the model cannot be fitted (check "
                             "for separation or extreme values of the regressors)")
        crit = abs(dev - dev_old) / (0.1 + abs(dev))
        eta, mu, dev_old = eta_new, mu_new, dev
        if fam.binary:  # fitted probabilities of exactly 0 or 1 stall the weights
            mu = np.clip(mu, 1e-15, 1 - 1e-15)
        if crit < glm_tol and inner_tol <= fixef_tol and halvings == 0:
            converged = True
            break
        inner_tol = max(fixef_tol, min(inner_tol, crit * 1e-3))
    if not converged:
        warn_at_caller(f"the IRLS iterations stopped at glm_maxiter={glm_maxiter} without "
                       f"reaching glm_tol={glm_tol:g}; raise glm_maxiter", ConvergenceWarning)
    return _Irls(eta, mu, dev_old, ab, ls, w, it, inner, converged, seconds, deviance)


def _null(fam: Family, y: np.ndarray, off: np.ndarray,
          p: np.ndarray | None = None) -> np.ndarray:
    """The fitted means of the model with an intercept only (and the offset), by Newton's
    method on the intercept; ``p`` the prior weights (None: all 1)."""
    ones = np.ones(len(y)) if p is None else p
    mean = y.mean() if p is None else steps.dot(p, y) / float(p.sum())
    if not off.any():
        return np.full(len(y), mean)
    if fam.name == "poisson":
        a = np.log(steps.dot(ones, y) / steps.dot(ones, np.exp(off)))
        return np.exp(a + off)
    a = float(fam.link(np.array([mean]))[0])
    for _ in range(100):
        mu = fam.inverse(a + off)
        w, z = fam.working(y, a + off, mu)
        w = w * ones
        new = float(np.sum(w * (z - off)) / np.sum(w))
        if abs(new - a) < 1e-12 * (1 + abs(a)):
            a = new
            break
        a = new
    return fam.inverse(a + off)


def _result(fml: str, model: Any, fam: Family, vc: cov.Vcov, conv: cov.SSC,
            d: design.Design, sample: dict, frame: Frame, r: _Irls, y: np.ndarray,
            off: np.ndarray, offset: Any, n_separated: int,
            options: steps.FitOptions, w: steps.Weights | None = None,
            p: np.ndarray | None = None) -> GlmFit:
    """``w``: the weights read; ``p``: the prior weights at the rows used, as given."""
    lean = options.lean
    ls = r.ls
    k_all = len(d.x)
    x = list(range(1, k_all + 1))
    if k_all:
        names = [d.x_names[i] for i in ls["kept"]]
        dropped = sorted(set(ls["collinear"]) | set(ls["absorbed"]))
        if not names:
            raise ValueError(f"every regressor of {fml!r} was dropped "
                             f"({steps.why_dropped(d.x_names, ls)}); nothing is left to "
                             "estimate")
        if dropped:
            warn_at_caller(f"dropped {steps.why_dropped(d.x_names, ls)}", CollinearityWarning)
        collinear = [d.x_names[i] for i in dropped]
        positions = list(ls["kept"])
    else:
        names, collinear, positions = [], [], []
    x_cols = [x[i] for i in positions]
    coef = np.asarray(ls["coef"], dtype=float)

    inference = steps.inference(vc, conv, d, sample, frame, w)
    n = inference.n  # frequency weights: the rows they stand for
    bread = np.asarray(ls["bread"])
    resid_w = np.asarray(ls["resid"])
    K = inference.dof_k(len(names))
    if n - K <= 0 and names:
        raise ValueError(f"no degrees of freedom left: {n:,} rows for {len(names)} regressors "
                         f"and {inference.dof_fe:,} degrees of freedom taken by the fixed "
                         "effects")
    if vc.kind == "iid":  # the inverse Fisher information (dispersion 1), with the factor
        covariance = cov.iid(conv, bread, float(n - 1), n, K)
    else:
        covariance = inference.covariance(r.absorbed["data"], x_cols, resid_w, bread,
                                          steps.dot(resid_w, resid_w))
    if inference.serial is not None:
        vc = dataclasses.replace(vc, lag=inference.serial.lag)
    # Another covariance later (fit.vcov_as) reads the last iteration's weighted, absorbed
    # columns: the covariances are those of its weighted least squares, iid apart.
    state = inference_module.state(d, sample, inference, r.absorbed, 0, x_cols, ls, 0,
                                   np.zeros(len(x_cols), dtype=np.int64), None,
                                   (options.fixef_tol, options.fixef_maxiter,
                                    options.solver))

    mu0 = _null(fam, y, off, p)
    log_factorials = 0.0
    if not fam.binary:
        lf = special.gammaln(y + 1.0)
        log_factorials = float(lf.sum()) if p is None else steps.dot(p, lf)
    ll, ll0 = fam.loglik(y, r.mu, log_factorials, p), fam.loglik(y, mu0, log_factorials, p)
    resid = y - r.mu
    if p is None:
        rss = steps.dot(resid, resid)
    else:  # weighted; analytic weights for weights of mean 1, as feols reports them
        rss = steps.dot(p * resid, resid)
        if w is not None and not w.frequency:
            rss *= n / float(p.sum())
    source = prediction.Source(r.eta - off, d.x, prediction.labels(frame, model.fixef, sample),
                               options.fixef_tol, options.fixef_maxiter)
    return GlmFit(formula=fml, depvar=d.y_name, coef_names=names, _coef=coef,
                  _vcov=covariance.matrix, df_t=np.inf, dof_k=covariance.dof_k,
                  _se=cov.standard_errors(covariance.matrix, vc, names, stacklevel=4),
                  vcov_type=vc, ssc=conv, nobs=n, n_missing=d.n_missing,
                  n_singletons=int(sample["n_singletons"]),
                  fixef=dict(zip(d.fe_names, inference.levels)), dof_fixef=inference.dof_fe,
                  clusters=dict(zip(d.cluster_names, map(int, sample["cluster_groups"]))),
                  r2=np.nan, adj_r2=np.nan, r2_within=np.nan, adj_r2_within=np.nan,
                  rmse=float(np.sqrt(rss / n)), rss=rss, n_zero_weight=d.n_zero_weight,
                  weights=None if w is None else w.name,
                  weights_type=None if w is None else w.kind,
                  mask=None if lean else sample["mask"], _resid=None if lean else resid,
                  iterations=r.iterations, converged=r.converged,
                  solver_stage=str(r.absorbed["stage"]), collinear=collinear,
                  periods=None if inference.serial is None else inference.serial.periods,
                  _model=source.model(d, model, sample, positions, coef, lean),
                  family=fam.name, deviance=r.deviance,
                  null_deviance=r.deviance_of(mu0), loglik=ll, loglik_null=ll0,
                  pseudo_r2=1.0 - ll / ll0 if ll0 != 0 else np.nan,
                  n_separated=n_separated, inner_iterations=r.inner_iterations,
                  demeaning_seconds=r.seconds,
                  offset=offset if isinstance(offset, str) else None,
                  _eta=None if lean else r.eta, _state=None if lean else state, lean=lean)
