"""The result of a fit: estimates, inference under the chosen convention, fit statistics,
and the table economists read."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, ClassVar

import numpy as np
import pandas as pd
from scipy import special

from kestrel import inference, prediction
from kestrel.vcov import SSC, Vcov, check_number, show_value

_STARS = ((0.001, "***"), (0.01, "**"), (0.05, "*"), (0.1, "."))


@dataclass(frozen=True, eq=False)
class Fit:
    """A fitted linear model (from :func:`kestrel.feols`).

    ``mask`` marks the caller's rows the fit used (no missing value, weight not 0, not a
    singleton):
    ``data[fit.mask]`` lines up with ``fit.resid()``. ``collinear`` lists the regressors
    dropped as collinear or absorbed by the fixed effects. ``dof_fixef`` is the number of
    degrees of freedom the small-sample convention counts for the fixed effects. ``sample``
    names the sample of a fit of ``split=`` or ``fsplit=`` (``"g = a"``, ``"full sample"``).

    A fit answers from the data as they were at the call: it keeps what it needs of the
    rows it used, so editing the caller's frame afterwards changes none of its results.
    """

    formula: str
    depvar: str
    coef_names: list[str]
    _coef: np.ndarray = field(repr=False)
    _vcov: np.ndarray = field(repr=False)
    df_t: float
    dof_k: int
    vcov_type: Vcov
    ssc: SSC
    nobs: int
    n_missing: int
    n_singletons: int
    fixef: dict[str, int]  # fixed effect -> levels in the rows used
    dof_fixef: int
    clusters: dict[str, int]  # clustering variable -> groups in the rows used
    r2: float
    adj_r2: float
    r2_within: float
    adj_r2_within: float
    rmse: float
    rss: float
    mask: np.ndarray = field(repr=False)
    _resid: np.ndarray = field(repr=False)
    iterations: int
    converged: bool
    solver_stage: str
    collinear: list[str]
    # 2SLS: the first stage of each endogenous regressor (kestrel.inference.FirstStage),
    # else None.
    first_stage: dict[str, Any] | None = None
    periods: int | None = None  # Newey-West and Driscoll-Kraay: the time periods
    _model: Any = field(default=None, repr=False)  # kestrel.prediction.Model
    # The standard errors, where the covariance's own units could not hold them (the
    # variance of a coefficient on a regressor of 1e160 underflows); None: from _vcov.
    _se: np.ndarray | None = field(default=None, repr=False)
    # split= and fsplit=: the sample fitted ("g = a", "full sample"); None: the data given.
    sample: str | None = None
    _panel: Any = field(default=None, repr=False)  # kestrel.panel.Operators, for new data
    # What inference after the fit needs (kestrel.inference.State); None for a lean fit.
    _state: Any = field(default=None, repr=False)
    lean: bool = False
    # Weighted fits: the weights column and "aweights" or "fweights" (then ``nobs`` counts
    # the rows the weights stand for), and the rows dropped for a weight of 0.
    weights: str | None = None
    weights_type: str | None = None
    n_zero_weight: int = 0

    _stat: ClassVar[str] = "t"  # the test statistic's letter: t here, z for GLMs
    # GLMs: the iid covariance is the inverse Fisher information (dispersion 1) and the
    # statistics are normal (no degrees of freedom).
    _likelihood: ClassVar[bool] = False
    # What ``fit.fixef`` makes of the counts (FixedEffects, set below it); a subclass that
    # keeps no rows binds its own.
    _fixef_type: ClassVar[type]

    # Estimates and inference ------------------------------------------------------------
    def coef(self) -> pd.Series:
        return self._series(self._coef, "Estimate")

    @property
    def vcov(self) -> pd.DataFrame:
        return pd.DataFrame(self._vcov, index=self.coef_names, columns=self.coef_names)

    def _std_errors(self) -> np.ndarray:
        if self._se is not None:
            return self._se
        with np.errstate(invalid="ignore"):  # a negative variance was warned of at the fit
            return np.sqrt(np.diag(self._vcov))

    def se(self) -> pd.Series:
        return self._series(self._std_errors(), "Std. Error")

    def tstat(self) -> pd.Series:
        return self._series(self._coef / self._std_errors(), f"{self._stat} value")

    def pvalue(self) -> pd.Series:
        t = self._coef / self._std_errors()
        return self._series(2.0 * special.stdtr(self.df_t, -np.abs(t)), "Pr(>|t|)")

    def confint(self, level: float = 0.95) -> pd.DataFrame:
        if isinstance(level, bool) or not isinstance(level, (int, float)) or not 0 < level < 1:
            raise ValueError(f"confint(level=...) must be a number between 0 and 1, not "
                             f"{show_value(level)}")
        q = special.stdtrit(self.df_t, 0.5 + level / 2)  # df_t = inf: the normal quantile
        se = self._std_errors()
        lo, hi = (1 - level) / 2 * 100, (1 + level) / 2 * 100
        return pd.DataFrame({f"{lo:g}%": self._coef - q * se, f"{hi:g}%": self._coef + q * se},
                            index=pd.Index(self.coef_names, name="Coefficient"))

    def tidy(self, level: float = 0.95) -> pd.DataFrame:
        """One row per coefficient: estimate, standard error, t, p and the interval."""
        return pd.concat([self.coef(), self.se(), self.tstat(), self.pvalue(),
                          self.confint(level)], axis=1)

    def resid(self, full: bool = False) -> np.ndarray:
        """Residuals of the rows used (``full=True``: one per row of the data, NaN where a
        row was not used)."""
        if self.lean:
            raise ValueError("a lean fit (lean=True) keeps no residuals; fit again without "
                             "lean=True")
        if not full:
            return self._resid.copy()
        out = np.full(self.mask.shape[0], np.nan)
        out[self.mask] = self._resid
        return out

    def predict(self, newdata: Any = None, context: Any = None) -> np.ndarray:
        """Fitted values including the fixed effects: of the rows used (``newdata=None``,
        aligned with :meth:`resid`), or of every row of ``newdata`` (a frame with the
        regressors and identifiers of the formula), NaN where a value is missing or where a
        level of a fixed effect or of a categorical regressor was not seen in the fit (with
        a warning). 2SLS predicts from the observed endogenous regressors. Transforms
        apply what they learnt from the fit's data (the mean of ``center(x)``, the knots of
        ``bs(x)``). ``context``: the names the formula's code may use, as in
        :func:`kestrel.feols`; None: as the fit's ("restricted" stays so, a mapping is used
        again, and the caller's names are those of this call's caller)."""
        return prediction.predict(self, newdata, context)

    # Inference after the fit ------------------------------------------------------------
    def vcov_as(self, vcov: Any, vcov_kwargs: Any = None, ssc: Any = None,
                data: Any = None) -> Fit:
        """The same fit with another covariance (``vcov``, ``vcov_kwargs`` and ``ssc`` as in
        :func:`kestrel.feols`; ``ssc=None`` keeps the fit's), computed from what the fit
        kept, without absorbing the fixed effects again: the same numbers as a new fit with
        that covariance. Clustering by a variable that is neither a fixed effect nor a
        clustering variable of the fit, or a new ``time_id``, reads it from ``data``, the
        frame the fit was made from (it must have no missing value in the rows used)."""
        return inference.vcov_as(self, vcov, vcov_kwargs, ssc, data)

    def wald_test(self, R: Any = None, q: Any = None) -> Any:
        """Wald test of the joint restrictions R β = q: ``R`` a matrix with one column per
        coefficient (``q`` then defaults to zeros), or a string such as ``"x1 = x2"`` or
        ``"x1 + x2 = 1"``, or a list of them; None: every coefficient is zero. Returns a
        :class:`kestrel.inference.WaldTest` (F on the fit's degrees of freedom)."""
        return inference.wald_test(self, R, q)

    def lincom(self, combination: Any, level: float = 0.95) -> pd.DataFrame:
        """Estimate, standard error, t, p and interval of a linear combination of the
        coefficients, such as ``"x1 + 2*x2"`` (or a list of them, or a matrix with one
        column per coefficient), under the fit's covariance."""
        return inference.lincom(self, combination, level)

    def wildboottest(self, param: Any, B: int = 9999, weights: str = "rademacher",
                     impose_null: bool = True, seed: int | None = None, r: float = 0.0,
                     cluster: str | None = None, level: float = 0.95,
                     data: Any = None) -> Any:
        """The wild cluster bootstrap test of one coefficient (``param="x1"``, H0: β = r)
        or one linear restriction (``"x1 + x2 = 1"``, or a row of R with ``r``): p-value,
        the t statistic and the interval by test inversion
        (:class:`kestrel.inference.BootTest`). See :func:`kestrel.inference.wildboottest`."""
        return inference.wildboottest(self, param, B=B, weights=weights,
                                      impose_null=impose_null, seed=seed, r=r,
                                      cluster=cluster, level=level, data=data)

    def _series(self, values: np.ndarray, name: str) -> pd.Series:
        return pd.Series(values, index=pd.Index(self.coef_names, name="Coefficient"), name=name)

    # Display ----------------------------------------------------------------------------
    def __repr__(self) -> str:
        fe = f", fixed effects {' + '.join(self.fixef)}" if self.fixef else ""
        return (f"<kestrel.Fit {self.formula!r}: {self.nobs:,} observations, "
                f"{len(self.coef_names)} coefficients{fe}, {self.vcov_type.label}>")

    def summary(self, level: float = 0.95,
                extra: Mapping[str, Mapping[str, float]] | None = None, *,
                vcov: Any = None, vcov_kwargs: Any = None, ssc: Any = None,
                data: Any = None) -> Summary:
        """The coefficient table with the sample, fixed effects, covariance and fit
        statistics. ``extra``: more columns shown beside the estimates, by name then
        coefficient (``{"true": {"x": 0.5}}``). ``vcov`` (with ``vcov_kwargs``, ``ssc`` and
        ``data``): the table under another covariance (:meth:`vcov_as`). Printing the
        result, or leaving it as the last expression in a REPL or notebook, shows the
        table."""
        if vcov is not None or vcov_kwargs is not None or ssc is not None:
            if vcov is None:
                raise ValueError("summary(vcov_kwargs=..., ssc=...) needs vcov= too")
            return self.vcov_as(vcov, vcov_kwargs, ssc, data).summary(level, extra)
        tidy = self.tidy(level)
        extra = dict(extra or {})
        stat, pcol = tidy.columns[2], tidy.columns[3]
        head = ["Estimate", *extra, "Std. Error", stat, pcol, *tidy.columns[4:]]
        rows = []
        for name in self.coef_names:
            r = tidy.loc[name]
            cells = [_num(r["Estimate"])]
            cells += [_num(col[name]) if name in col else "" for col in extra.values()]
            cells += [_num(r["Std. Error"]), f"{r[stat]:.3f}", _pval(r[pcol]),
                      _num(r.iloc[4]), _num(r.iloc[5]), _stars(r[pcol])]
            rows.append([name, *cells])
        table = _columns(["", *head, ""], rows)

        lines = [self._method(), ""]
        dropped = self._dropped()
        obs = f"{self.nobs:,}" + (f"   (rows dropped: {', '.join(dropped)})" if dropped else "")
        facts = [("Sample", self.sample)] if self.sample else []
        facts.append(("Observations", obs))
        if self.weights is not None:
            frequency = self.weights_type == "fweights"
            rows = f", {np.count_nonzero(self.mask):,} rows" if frequency else ""
            facts.append(("Weights", f"{self.weights} ("
                          f"{'frequency' if frequency else 'analytic'} weights{rows})"))
        if self.fixef:
            facts.append(("Fixed effects", ", ".join(f"{k} ({g:,} levels)"
                                                     for k, g in self.fixef.items())))
        groups = [self.periods] if self.periods else list(self.clusters.values())
        facts.append(("Standard errors", self.vcov_type.describe(groups)))
        facts.append(self._inference_fact())
        width = max(len(k) for k, _ in facts)
        lines += [f"{k:<{width}}  {v}" for k, v in facts] + [""] + table
        lines.append("---")
        lines.append("Signif. codes: 0 '***' 0.001 '**' 0.01 '*' 0.05 '.' 0.1 ' ' 1")
        lines += self._statistics()
        if self.collinear:
            lines.append(f"Dropped as collinear: {', '.join(self.collinear)}")
        if self.first_stage:
            lines += ["", *_first_stage_table(self.first_stage)]
        return Summary("\n".join(lines))

    # Pieces of the summary a GLM fit replaces.
    def _method(self) -> str:
        method = "two-stage least squares, " if self.first_stage else ""
        return f"kestrel.feols: {method}{self.formula}"

    def _dropped(self) -> list[str]:
        dropped = []
        if self.n_missing:
            dropped.append(f"{self.n_missing:,} with missing values")
        if self.n_zero_weight:
            dropped.append(f"{self.n_zero_weight:,} with weight 0")
        if self.n_singletons:
            dropped.append(f"{self.n_singletons:,} singleton{'s' * (self.n_singletons > 1)}")
        return dropped

    def _inference_fact(self) -> tuple[str, str]:
        return ("t and p", f"t distribution, {self.df_t:,.0f} degrees of freedom")

    def _statistics(self) -> list[str]:
        stats = [f"R²: {self.r2:.4f}", f"Adj. R²: {self.adj_r2:.4f}"]
        if self.fixef:
            stats.append(f"Within R²: {self.r2_within:.4f}")
        stats.append(f"RMSE: {self.rmse:.4g}")
        lines = ["   ".join(stats)]
        if self.solver_stage == "exact":
            lines.append("Fixed effect absorbed exactly, by group means")
        elif self.fixef:
            state = "converged" if self.converged else "NOT converged"
            lines.append(f"Fixed effects absorbed in {self.iterations:,} "
                         f"iteration{'s' * (self.iterations != 1)} ({state})")
        return lines


class _FixefAccessor:
    """``fit.fixef``: the fixed effects' counts, made on each access into a
    :class:`FixedEffects` bound to the fit. The fit keeps only the counts: an accessor
    stored on it, referring back, made a cycle that kept every fit's arrays alive until
    the cyclic collector ran (about 100 MB a fit at 10^6 rows), while one made per access
    keeps ``kestrel.feols(...).fixef()`` working."""

    def __set__(self, fit: Fit, levels: Mapping[str, int]) -> None:
        fit.__dict__["_fixef_levels"] = dict(levels)

    def __get__(self, fit: Fit | None, owner: type) -> Any:
        if fit is None:
            return self
        return type(fit)._fixef_type(fit.__dict__["_fixef_levels"], fit)


Fit.fixef = _FixefAccessor()  # type: ignore[assignment]


class FixedEffects(dict):
    """A fit's fixed effects: name -> number of levels in the rows used. Calling it,
    ``fit.fixef()``, recovers their values: a dict of Series by level (sorted), normalised
    as fixest and pyfixest report them (the first fixed effect carries the level; each later
    one has its first level at 0, per connected component with two fixed effects).
    ``tol`` and ``maxiter`` default to the fit's ``fixef_tol`` and ``fixef_maxiter``."""

    def __init__(self, levels: Mapping[str, int], fit: Fit):
        super().__init__(levels)
        self._fit = fit

    def __call__(self, tol: float | None = None,
                 maxiter: int | None = None) -> dict[str, pd.Series]:
        # Checked as feols checks fixef_tol and fixef_maxiter.
        if tol is not None:
            check_number("tol", tol)
        if maxiter is not None:
            check_number("maxiter", maxiter, integer=True, minimum=1, strict=False)
        return prediction.fixef(self._fit, tol, maxiter)


class Summary(str):
    """The text of :meth:`Fit.summary`; shows as the table, not a quoted string."""

    def __repr__(self) -> str:
        return str(self)


def _first_stage_table(stages: Mapping[str, Any]) -> list[str]:
    """One row per endogenous regressor: the F test of the excluded instruments (under the
    fit's covariance) and, with one endogenous regressor, the effective F."""
    single = len(stages) == 1
    head = ["First stage", "instruments", "F", "df", "Pr(>F)", *(["effective F"] * single), ""]
    rows = []
    for endog, fs in stages.items():
        rows.append([endog, ", ".join(fs.instruments), f"{fs.f_stat:.4g}",
                     f"{fs.f_df[0]}, {fs.f_df[1]:,.0f}", _pval(fs.f_pvalue),
                     *([f"{fs.effective_f:.4g}"] if single else []), ""])
    return _columns(head, rows)


def _num(v: float) -> str:
    return f"{v:.6g}" if np.isfinite(v) else str(v)


def _pval(p: float) -> str:
    return "< 2e-16" if p < 2e-16 else f"{p:.3g}"


def _stars(p: float) -> str:
    return next((s for bound, s in _STARS if p < bound), "")


def _columns(head: Sequence[str], rows: Sequence[Sequence[Any]]) -> list[str]:
    """Left-aligned first and last columns, right-aligned numbers between."""
    cols = list(zip(head, *rows))
    widths = [max(len(str(c)) for c in col) for col in cols]
    out = []
    for row in (head, *rows):
        cells = [str(row[0]).ljust(widths[0])]
        cells += [str(c).rjust(w) for c, w in zip(row[1:-1], widths[1:-1])]
        cells.append(str(row[-1]))
        out.append("  ".join(cells).rstrip())
    return out


Fit._fixef_type = FixedEffects
