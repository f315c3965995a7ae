"""Two-stage least squares: ``y ~ exog | fe1 + fe2 | endog1 + endog2 ~ z1 + z2``.

The fixed effects are absorbed once from every column (y, exogenous and endogenous
regressors, instruments); the stages then run on the demeaned columns, all in the engine:

1. each first stage: an endogenous regressor on the exogenous regressors and the excluded
   instruments, with the F statistic of the excluded instruments under the fit's own
   covariance (and, with one endogenous regressor, the effective F of Montiel Olea and
   Pflueger, 2013);
2. the fitted endogenous columns, written over instrument columns once no first stage
   needs them (no extra copy of the data);
3. the second stage, y on [exogenous | fitted]: the 2SLS coefficients and the bread
   (X̂'X̂)^-1;
4. the structural residuals y − Xβ with the observed regressors;
5. the covariance from the scores x̂_i e_i, with the conventions of OLS (as pyfixest).

Coefficients come in formula order, exogenous regressors as written and then the
endogenous ones, as pyfixest orders them.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING

import numpy as np

from kestrel import _core, steps
from kestrel.formula import ModelFormula, Term, _classify, _formulaic_terms
# The first stages' tests are inference on a fit (kestrel.inference.vcov_as repeats them
# under another covariance); FirstStage is also kept here under its old name.
from kestrel.inference import FirstStage, first_stage_tests
from kestrel.warning_types import CollinearityWarning

if TYPE_CHECKING:
    from kestrel.design import Design
    from kestrel.vcov import Inference, Vcov


@dataclass(frozen=True)
class Instruments:
    """The instrumental-variable part of a formula: endogenous regressors and excluded
    instruments, as terms."""

    endog: tuple[Term, ...]
    excluded: tuple[Term, ...]


@dataclass
class Stages:
    """What the two stages hand back to :func:`kestrel.feols`: the second stage in the shape
    of a least-squares result, the columns of the scores, and the first stages."""

    coef: np.ndarray
    bread: np.ndarray
    resid: np.ndarray
    rss: float
    tss: float
    names: list[str]
    x: list[int]  # columns of the fitted regressors [exogenous | fitted] in the data
    x_design: list[int]  # positions in the design of the coefficients' observed columns
    dropped: list[str]
    first_stage: dict[str, FirstStage]
    # What the first stages' tests need again under another covariance
    # (kestrel.inference.vcov_as): the engine's first-stage results and columns.
    refit: dict | None = None


def prepare(model: ModelFormula, vc: Vcov) -> tuple[ModelFormula, Instruments | None]:
    """The model whose design holds every column the stages need (the endogenous regressors
    and the instruments join the regressor terms), and the instrumental part; a model
    without one comes back as is."""
    if model.iv is None:
        return model, None
    if vc.kind == "hetero" and vc.hc > 1:
        raise ValueError(f"vcov='HC{vc.hc}' is not available for instrumental-variable "
                         "fits: the leverage of 2SLS has no agreed definition and the field's "
                         "tools (pyfixest, linearmodels, Stata's ivregress) do not offer it; "
                         "use 'hetero' (HC1) or a clustered covariance")
    fml = model.text
    endog = _terms(model.iv[0], fml, "endogenous regressors")
    excluded = _terms(model.iv[1], fml, "instruments")
    exog = {t.label for t in model.terms}
    for t in endog + excluded:
        if t.label == model.depvar.label:
            raise ValueError(f"the dependent variable {t.label!r} cannot appear in the "
                             f"instrumental-variable part of {fml!r}")
    for t in endog:
        if t.label in exog:
            raise ValueError(f"{t.label!r} is both an exogenous and an endogenous regressor "
                             f"in {fml!r}")
    for t in excluded:
        if t.label in exog:
            raise ValueError(f"{t.label!r} is an exogenous regressor of {fml!r}, which "
                             "instruments itself: list only the excluded instruments after "
                             "the second '~'")
        if t.label in {e.label for e in endog}:
            raise ValueError(f"{t.label!r} is both endogenous and an instrument in {fml!r}")
    return replace(model, terms=model.terms + endog + excluded), Instruments(endog, excluded)


def _terms(text: str, fml: str, what: str) -> tuple[Term, ...]:
    terms = tuple(_classify(t, fml) for t in _formulaic_terms(text, fml, what) if t.degree > 0)
    if not terms:
        raise ValueError(f"the instrumental-variable part of {fml!r} has no {what}")
    return terms


def two_stages(fml: str, d: Design, parts: Instruments, data: np.ndarray,
               sum_squares: np.ndarray, inference: Inference, collin_tol: float,
               stacklevel: int,
               exponents: np.ndarray | None = None, lean: bool = False) -> Stages:
    """2SLS on ``data``, the absorbed columns [y, x…] of the design ``d`` (whose x holds the
    exogenous regressors, then the endogenous ones, then the instruments). ``data`` is
    overwritten in the instruments' columns. ``exponents``: column j of ``data`` is the
    design's times 2^-exponents[j]; the second stage is returned in these units, the first
    stages in the design's own."""
    if exponents is None:
        exponents = np.zeros(data.shape[1], dtype=np.int64)
    endog_labels = {t.label for t in parts.endog}
    excluded_labels = {t.label for t in parts.excluded}
    exog = [1 + j for j, t in enumerate(d.x_terms)
            if t not in endog_labels and t not in excluded_labels]
    endog = [1 + j for j, t in enumerate(d.x_terms) if t in endog_labels]
    excluded = [1 + j for j, t in enumerate(d.x_terms) if t in excluded_labels]
    name = {1 + j: n for j, n in enumerate(d.x_names)}

    # First stages; their dropped columns depend on the regressors only, so they agree.
    z = exog + excluded
    firsts = [steps.least_squares(data, e, z, sum_squares, collin_tol) for e in endog]
    kept = [z[i] for i in firsts[0]["kept"]]
    dropped = [z[i] for i in sorted(firsts[0]["collinear"] + firsts[0]["absorbed"])]
    exog_kept = [c for c in kept if c in exog]
    excluded_kept = [c for c in kept if c in excluded]
    if len(excluded_kept) < len(endog):
        raise ValueError(f"{len(endog)} endogenous regressor{'s' * (len(endog) > 1)} "
                         f"({', '.join(name[c] for c in endog)}) need at least as many "
                         f"excluded instruments, but {fml!r} has {len(excluded_kept)}"
                         + (" once the collinear or absorbed ones are dropped"
                            if len(excluded_kept) < len(excluded) else ""))
    if dropped:
        why = "; ".join(f"{', '.join(name[z[i]] for i in firsts[0][kind])} ({text})"
                        for kind, text in (("collinear", "collinear with the columns before "
                                                         "them"),
                                           ("absorbed", "absorbed by the fixed effects"))
                        if firsts[0][kind])
        warnings.warn(f"dropped {why}", CollinearityWarning, stacklevel=stacklevel)
    first_stage = {name[e]: first_stage_tests(name[e], fs, kept, excluded_kept, name, data,
                                         inference, single=len(endog) == 1,
                                         shift=exponents[e] - exponents[kept])
                   for e, fs in zip(endog, firsts)}

    # Fitted endogenous columns, over instrument columns no longer read (kept aside for
    # the first stages' tests under another covariance, unless the fit is lean).
    fitted = excluded[:len(endog)]
    refit = None if lean else dict(
        firsts=firsts, kept=kept, excluded=excluded_kept, names=[name[c] for c in kept],
        endog=[name[e] for e in endog],
        shifts=[exponents[e] - exponents[kept] for e in endog],
        saved={c: data[:, c].copy() for c in fitted if c in kept})
    for e, slot, fs in zip(endog, fitted, firsts):
        np.subtract(data[:, e], fs["resid"], out=data[:, slot])

    # Second stage on [exogenous | fitted]. The absorbed check compares each fitted column
    # with its endogenous regressor's sum of squares before absorption.
    second_sums = sum_squares
    if len(sum_squares):
        second_sums = sum_squares.copy()
        second_sums[fitted] = sum_squares[endog]
    x = exog_kept + fitted
    ls = steps.least_squares(data, 0, x, second_sums, collin_tol)
    if len(ls["kept"]) < len(x):
        lost = [name[endog[i - len(exog_kept)]] for i in ls["collinear"] + ls["absorbed"]]
        raise ValueError(f"the instruments do not identify {', '.join(lost)}: "
                         + ("absorbed by the fixed effects, or not explained by the "
                            "instruments at all" if ls["absorbed"] else
                            "its first-stage fitted values are collinear with the exogenous "
                            "regressors or with another endogenous regressor's"))
    coef = np.asarray(ls["coef"])
    structural = _core.residuals(data=data, y=0, x=exog_kept + endog, coef=coef)
    return Stages(coef=coef, bread=np.asarray(ls["bread"]),
                  resid=np.asarray(structural["resid"]), rss=float(structural["rss"]),
                  tss=float(structural["tss"]),
                  names=[name[c] for c in exog_kept + endog], x=x,
                  x_design=[c - 1 for c in exog_kept + endog],
                  dropped=[name[c] for c in dropped], first_stage=first_stage, refit=refit)
