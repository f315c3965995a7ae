"""Covariance types and the small-sample conventions applied to them.

The engine returns unscaled pieces (the bread (X'X)^-1 and the meats); this module names
the covariance the user asked for, counts the degrees of freedom the chosen convention
counts, and assembles V = c · bread · meat · bread. The factors (README, "Conventions"):

  iid        V = RSS/(N−1) · bread · adj,        adj = (N−1)/(N−K)     if k_adj
  HC0        V = bread · Σ e_i² x_i x_i' · bread (no factor, whatever the ssc)
  HC1..HC3   V = bread · Σ w_i x_i x_i' · bread · adj,  adj = N/(N−K)  if k_adj
  CRV1       V = Σ_c ±bread · M_c · bread · adj · G_c/(G_c−1),
             adj = (N−1)/(N−K) if k_adj; G_c/(G_c−1) if G_adj, with G_c the groups of
             each term of the inclusion–exclusion sum (G_df="conventional") or the fewest
             groups of any one clustering variable (G_df="min")
  NW, DK     V = bread · Ω · bread · adj · T/(T−1),  adj = (N−1)/(N−K) if k_adj; T/(T−1)
             if G_adj, with T the periods (Ω: Bartlett-weighted sums of the scores' lag
             products, per series for Newey–West, of the per-period sums for
             Driscoll–Kraay); t and p on T−1 degrees of freedom. These are pyfixest's
             factors: the time periods play the part of the clusters.

K counts the kept regressors plus, per k_fixef, the fixed effects: none ("none"), all
("full"), or all but those nested in a clustering variable, each of which counts one
("nonnested", for clustered covariances only). The fixed effects count their levels minus
one per fixed effect after the first (fixest's count), or the exact rank of their dummies
with ``fixef_exact`` (reghdfe's). t and p use N−K degrees of freedom, or G−1 (the fewest
groups of any clustering variable) when clustered. Multi-way clustering follows Cameron,
Gelbach and Miller (2011), inclusion–exclusion over the non-empty subsets of variables.

Weighted fits hand every stage data and residuals times √w, so X'X is X'WX and each meat
sums the scores w·x·e (analytic weights). Frequency weights count N as Σw, and their
heteroskedastic meats take each row's score x·e once per repetition: Σ w·e²·xx' (HC2 and
HC3 with each repeated row's own leverage, x'(X'WX)⁻¹x).
"""

from __future__ import annotations

import math
import numbers
import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np

from kestrel import _core
from kestrel.warning_types import LeverageWarning, NegativeVarianceWarning

_HETERO = {"hetero": 1, "hc0": 0, "hc1": 1, "hc2": 2, "hc3": 3}
_SERIAL = {"nw": "Newey-West", "dk": "Driscoll-Kraay"}
_NAMES_HINT = ("'iid', 'hetero' (= 'HC1'), 'HC0', 'HC2', 'HC3', {'CRV1': 'var'} / "
               "{'CRV1': 'var1+var2'} for clustered standard errors, {'CRV3': 'var'} for "
               "the cluster jackknife, or 'NW' / 'DK' with vcov_kwargs={'time_id': ...}")
_SERIAL_KEYS = ("time_id", "panel_id", "lag")


@dataclass(frozen=True)
class Vcov:
    """A requested covariance: ``kind`` is "iid", "hetero" (with ``hc`` 0, 1, 2 or 3),
    "cluster" (with the clustering variables, each a column or columns joined by ^), "nw"
    (Newey–West, one series or one per ``panel_id``) or "dk" (Driscoll–Kraay) over the
    periods of ``time_id`` with ``lag`` (None: the default for the number of periods)."""

    kind: str
    hc: int = 0
    clusters: tuple[str, ...] = ()
    time_id: str | None = None
    panel_id: str | None = None
    lag: int | None = None
    jackknife: bool = False  # "cluster" by one variable: CRV3 rather than CRV1

    @property
    def label(self) -> str:
        if self.kind == "cluster":
            return "CRV3" if self.jackknife else "CRV1"
        if self.kind in _SERIAL:
            return self.kind.upper()
        return f"HC{self.hc}" if self.kind == "hetero" else "iid"

    @property
    def serial_columns(self) -> list[str]:
        """The columns a Newey–West or Driscoll–Kraay covariance reads (time, panel)."""
        return [c for c in (self.time_id, self.panel_id) if c is not None]

    def describe(self, groups: Sequence[int] = ()) -> str:
        if self.kind == "iid":
            return "iid"
        if self.kind == "hetero":
            return f"heteroskedasticity-robust (HC{self.hc})"
        if self.kind in _SERIAL:
            over = f"{self.time_id}" + (f" ({groups[0]:,} periods)" if groups else "")
            series = (f", one series per {self.panel_id}"
                      if self.kind == "nw" and self.panel_id else "")
            return f"{_SERIAL[self.kind]}, lag {self.lag}, time {over}{series}"
        by = ", ".join(f"{name} ({g:,} clusters)" if groups else name
                       for name, g in zip(self.clusters, groups or [0] * len(self.clusters)))
        return f"clustered by {by}, {self.label}"


def parse(vcov: Any, fixef_names: Sequence[str], vcov_kwargs: Any = None) -> Vcov:
    """Read ``vcov=`` (and ``vcov_kwargs=``, for "NW" and "DK" only); None means clustered
    by the first fixed effect, else iid (fixest's default). Misspelt names raise
    ``ValueError`` listing the valid ones."""
    vc = _parse(vcov, fixef_names)
    if vc.kind in _SERIAL:
        return _serial(vc, vcov_kwargs)
    if vcov_kwargs is not None:
        raise ValueError(f"vcov_kwargs applies to vcov='NW' and vcov='DK' only, not to "
                         f"vcov={vcov!r}")
    return vc


def _parse(vcov: Any, fixef_names: Sequence[str]) -> Vcov:
    if vcov is None:
        return Vcov("cluster", clusters=(fixef_names[0],)) if fixef_names else Vcov("iid")
    if isinstance(vcov, str):
        key = vcov.strip().lower()
        if key in _SERIAL:
            return Vcov(key)
        if key == "iid":
            return Vcov("iid")
        if key in _HETERO:
            return Vcov("hetero", hc=_HETERO[key])
        if key in ("crv1", "cluster"):
            raise ValueError(f"vcov={vcov!r} needs the clustering variable: write "
                             "vcov={'CRV1': 'firm'}")
        if key == "crv3":
            raise ValueError(f"vcov={vcov!r} needs the clustering variable: write "
                             "vcov={'CRV3': 'firm'}")
        raise ValueError(f"unknown covariance vcov={vcov!r}; use {_NAMES_HINT}")
    if isinstance(vcov, Mapping):
        if len(vcov) != 1:
            raise ValueError(f"vcov={vcov!r} must have exactly one entry, such as "
                             "{'CRV1': 'firm'}")
        (kind, variables), = vcov.items()
        if not isinstance(kind, str) or kind.strip().upper() not in ("CRV1", "CRV3"):
            raise ValueError(f"unknown clustered covariance {kind!r} in vcov={vcov!r}; "
                             "use {'CRV1': 'firm'}")
        names = _cluster_names(variables, vcov)
        if kind.strip().upper() == "CRV3":
            if len(names) > 1:
                raise ValueError(f"vcov={vcov!r}: CRV3 (the cluster jackknife) takes one "
                                 "clustering variable; use {'CRV1': ...} for multi-way "
                                 "clustering")
            return Vcov("cluster", clusters=names, jackknife=True)
        return Vcov("cluster", clusters=names)
    raise TypeError(f"vcov must be a string such as 'hetero' or a dict such as "
                    f"{{'CRV1': 'firm'}}, not {type(vcov).__name__}")


def _serial(vc: Vcov, kwargs: Any) -> Vcov:
    name = vc.kind.upper()
    example = "{'time_id': 'year', 'panel_id': 'firm', 'lag': 2}"
    if kwargs is None:
        raise ValueError(f"vcov={name!r} needs the time variable: pass "
                         f"vcov_kwargs={{'time_id': 'year'}} (optionally 'panel_id' and 'lag')")
    if not isinstance(kwargs, Mapping):
        raise TypeError(f"vcov_kwargs must be a dict such as {example}, not "
                        f"{type(kwargs).__name__}")
    unknown = sorted(map(str, set(kwargs) - set(_SERIAL_KEYS)))
    if unknown:
        raise ValueError(f"unknown vcov_kwargs key(s) {unknown}; use 'time_id', 'panel_id' "
                         "and 'lag'")
    time_id, panel_id, lag = (kwargs.get(k) for k in _SERIAL_KEYS)
    if time_id is None:
        raise ValueError(f"vcov={name!r} needs vcov_kwargs['time_id'], the column of time "
                         "periods")
    for key, value in (("time_id", time_id), ("panel_id", panel_id)):
        if value is not None and not isinstance(value, str):
            raise TypeError(f"vcov_kwargs[{key!r}] must be a column name, not {value!r}")
    if panel_id is not None and panel_id == time_id:
        raise ValueError(f"vcov_kwargs has the same column {time_id!r} as time_id and panel_id")
    if lag is not None:
        check_number("vcov_kwargs['lag']", lag, integer=True, strict=False)
        lag = int(lag)
    return replace(vc, time_id=time_id, panel_id=panel_id, lag=lag)


def _cluster_names(variables: Any, vcov: Any) -> tuple[str, ...]:
    if isinstance(variables, str):
        names = [p.strip() for p in variables.split("+")]
    elif isinstance(variables, Sequence) and all(isinstance(p, str) for p in variables):
        names = [p.strip() for p in variables]
    else:
        raise TypeError(f"the clustering variables in vcov={vcov!r} must be a string such as "
                        "'firm' or 'firm+year'")
    names = ["^".join(part.strip() for part in name.split("^")) for name in names]
    if not names or any(not n or "" in n.split("^") for n in names):
        raise ValueError(f"vcov={vcov!r} has an empty clustering variable")
    if len(set(names)) != len(names):
        raise ValueError(f"vcov={vcov!r} lists a clustering variable twice")
    return tuple(names)


@dataclass(frozen=True)
class SSC:
    """Small-sample conventions; build with :func:`kestrel.ssc`."""

    k_adj: bool = True
    k_fixef: str = "nonnested"
    G_adj: bool = True
    G_df: str = "min"
    fixef_exact: bool = False


_PRESETS = {
    # fixest and pyfixest (their defaults).
    "fixest": SSC(),
    # Stata's reghdfe, vce(cluster): fixed effects nested in a cluster do not count, the
    # others count with the exact rank of their dummies.
    "reghdfe": SSC(fixef_exact=True),
    # Stata's regress with the fixed effects as dummy variables, vce(cluster): every
    # dummy counts.
    "regress": SSC(k_fixef="full", fixef_exact=True),
}


def ssc(preset: str = "fixest", *, k_adj: bool | None = None, k_fixef: str | None = None,
        G_adj: bool | None = None, G_df: str | None = None,
        fixef_exact: bool | None = None) -> SSC:
    """Small-sample corrections of the covariance, by preset and/or field.

    ``preset``: "fixest" (the default, as fixest and pyfixest), "reghdfe" or "regress"
    (Stata's commands with ``vce(cluster)``). Fields given override the preset's:
    ``k_adj`` (scale by (N−1)/(N−K), N/(N−K) for HC), ``k_fixef`` ("none", "full",
    "nonnested": which fixed effects K counts), ``G_adj`` (scale clustered terms by
    G/(G−1)), ``G_df`` ("min" or "conventional": which G), ``fixef_exact`` (count the
    fixed effects by the exact rank of their dummies rather than levels minus one per
    extra fixed effect).
    """
    if not isinstance(preset, str) or preset not in _PRESETS:
        raise ValueError(f"unknown ssc preset {preset!r}; use one of {', '.join(_PRESETS)}")
    base = _PRESETS[preset]
    fields: dict[str, Any] = {}
    for name, value in (("k_adj", k_adj), ("G_adj", G_adj), ("fixef_exact", fixef_exact)):
        if value is not None:
            if not isinstance(value, (bool, np.bool_)):
                raise TypeError(f"ssc({name}=...) must be True or False, not {value!r}")
            fields[name] = bool(value)
    for name, value, allowed in (("k_fixef", k_fixef, ("none", "full", "nonnested")),
                                 ("G_df", G_df, ("min", "conventional"))):
        if value is not None:
            if value not in allowed:
                raise ValueError(f"ssc({name}={value!r}) must be one of "
                                 f"{', '.join(map(repr, allowed))}")
            fields[name] = value
    return replace(base, **fields)


def as_ssc(value: Any) -> SSC:
    """``ssc=`` as given to feols: None, an :class:`SSC`, or a dict of its fields (such as
    pyfixest's ``ssc()`` returns)."""
    if value is None:
        return SSC()
    if isinstance(value, SSC):
        return value
    if isinstance(value, Mapping):
        unknown = set(value) - {"k_adj", "k_fixef", "G_adj", "G_df", "fixef_exact"}
        if unknown:
            raise ValueError(f"unknown ssc field(s) {sorted(unknown)}; use kestrel.ssc(...)")
        return ssc(**value)
    raise TypeError(f"ssc must come from kestrel.ssc(...), not {type(value).__name__}")


def fixef_dof(conv: SSC, levels: Sequence[int], exact: int) -> int:
    """Degrees of freedom the fixed effects take under the convention."""
    if not levels:
        return 0
    return exact if conv.fixef_exact else sum(levels) - (len(levels) - 1)


def dof_k(conv: SSC, vc: Vcov, k: int, levels: Sequence[int], dof_fe: int,
          nested: Sequence[bool]) -> int:
    """K of the small-sample factors: regressors plus the fixed effects counted."""
    if conv.k_fixef == "none" or not levels and not dof_fe:
        return k
    if conv.k_fixef == "nonnested" and vc.kind == "cluster" and any(nested):
        return k + dof_fe - sum(g for g, n in zip(levels, nested) if n) + sum(nested)
    return k + dof_fe


@dataclass(frozen=True)
class Covariance:
    matrix: np.ndarray
    df_t: float  # degrees of freedom of t and p
    dof_k: int
    # HC2/HC3: the rows used (positions among them) whose leverage is 1, and the
    # coefficients (positions) whose variance their undefined weight leaves undefined.
    leverage_one: np.ndarray = field(default_factory=lambda: np.empty(0, dtype=np.int64))
    undefined: np.ndarray = field(default_factory=lambda: np.empty(0, dtype=np.int64))


def iid(conv: SSC, bread: np.ndarray, rss: float, n: int, K: int) -> Covariance:
    factor = (n - 1) / (n - K) if conv.k_adj else 1.0
    return Covariance(bread * (rss / (n - 1) * factor), n - K, K)


def hetero(conv: SSC, hc: int, bread: np.ndarray, meat: np.ndarray, n: int,
           K: int) -> Covariance:
    """HC0 is the plain sandwich; HC1 to HC3 take N/(N−K) under ``k_adj``."""
    factor = n / (n - K) if conv.k_adj and hc > 0 else 1.0
    return Covariance(_sandwich(bread, meat) * factor, n - K, K)


LEVERAGE_ONE = 1e-8  # 1 − h below this: the leverage is 1 up to rounding


def standard_errors(matrix: np.ndarray, vc: Vcov, names: Sequence[str],
                    stacklevel: int) -> np.ndarray:
    """The square roots of the variances; a negative one (multi-way clustering adds and
    subtracts meats, and the sum need not be positive semi-definite) gives NaN, with a
    :class:`kestrel.NegativeVarianceWarning` naming the coefficients, not NumPy's bare
    warning about a square root."""
    variances = np.diag(matrix)
    negative = variances < 0
    if negative.any():
        warnings.warn(
            f"the {vc.label} variance of {', '.join(n for n, b in zip(names, negative) if b)} "
            "is negative — multi-way clustering adds and subtracts the one-way meats, and "
            "the sum need not be positive semi-definite (few clusters in a dimension make "
            "it likelier) — so its standard error is NaN. fixest instead replaces the "
            "matrix's negative eigenvalues by 0 (Cameron, Gelbach and Miller 2011); "
            "clustering by fewer dimensions avoids it.",
            NegativeVarianceWarning, stacklevel=stacklevel + 1)
    with np.errstate(invalid="ignore"):
        return np.sqrt(variances)


def warn_leverage_one(covariance: Covariance, vc: Vcov, names: Sequence[str],
                      mask: np.ndarray, stacklevel: int) -> None:
    """Say which rows have leverage 1 and which standard errors that leaves NaN."""
    rows = np.flatnonzero(mask)[covariance.leverage_one]
    shown = ", ".join(map(str, rows[:10])) + (", ..." if rows.size > 10 else "")
    many = rows.size > 1
    warnings.warn(
        f"{vc.label} standard errors of {', '.join(names[j] for j in covariance.undefined)} "
        f"are NaN: {rows.size:,} row{'s' * many} of the data (at position{'s' * many} "
        f"{shown}) {'have' if many else 'has'} leverage 1 — the regressors fit "
        f"{'them' if many else 'it'} exactly whatever y is, typically a category with a "
        f"single row — and {vc.label} divides the squared residual by 1 − leverage. The "
        "other standard errors leave those rows out of the sum; 'hetero' (HC1) is defined "
        "for every coefficient.", LeverageWarning, stacklevel=stacklevel)


def _leverages(data: np.ndarray, x: list[int], bread: np.ndarray) -> np.ndarray:
    """h_i = x_i' bread x_i of every row, in blocks of rows (bounded memory)."""
    n = data.shape[0]
    h = np.empty(n)
    step = max(1, (1 << 22) // max(len(x), 1))
    for start in range(0, n, step):
        rows = data[start:start + step][:, x]
        h[start:start + step] = np.einsum("ij,ij->i", rows @ bread, rows)
    return h


def _hc_leverage(data: np.ndarray, x: list[int], resid: np.ndarray, bread: np.ndarray,
                 hc: int, counts: np.ndarray | None = None
                 ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The HC2 (hc=2) or HC3 meat, and the rows with leverage 1 and the coefficients they
    leave undefined.

    A row with leverage 1 is fitted exactly whatever its y: its residual is 0 and its weight
    e²/(1−h) or e²/(1−h)² is 0/0 (in floating point, rounding divided by rounding). Only
    the coefficients whose estimate moves with that row's y, those with (bread·x_i)_a ≠ 0,
    carry the weight; the others' variances, from the other rows, are well defined. The
    meat leaves such rows out; the caller marks the undefined coefficients.

    ``counts``: frequency weights (``data`` and ``resid`` are then times their square
    roots). Each of the w repeated rows has the leverage x_i' bread x_i, the √w-scaled
    row's divided by w, and contributes w x_i x_i' e_i² / (1 − h_i)^(hc−1): the meat is
    the plain one of the scaled rows with e_i / (1 − h_i)^((hc−1)/2)."""
    h = _leverages(data, x, bread)
    h_data = h
    if counts is not None:
        h = h / counts
    one = np.flatnonzero(h >= 1.0 - LEVERAGE_ONE)
    keep = np.ones(data.shape[0], dtype=bool)
    keep[one] = False
    if counts is not None:
        with np.errstate(divide="ignore", invalid="ignore"):
            scaled = resid / np.sqrt(counts) / (1.0 - h) ** ((hc - 1) / 2)
        rows = np.asfortranarray(data[np.ix_(keep, x)])
        meat = np.asarray(_core.hetero_meat(data=rows, x=list(range(len(x))),
                                            resid=scaled[keep], bread=np.zeros((0, 0)),
                                            power=0))
    elif one.size == 0:
        meat = _core.hetero_meat(data=data, x=x, resid=resid, bread=bread, power=hc - 1)
        return np.asarray(meat), one, one
    else:
        rows = np.asfortranarray(data[np.ix_(keep, x)])
        meat = np.asarray(_core.hetero_meat(data=rows, x=list(range(len(x))),
                                            resid=resid[keep], bread=bread, power=hc - 1))
    if one.size == 0:
        return meat, one, one
    # |(bread·x_i)_a| <= sqrt(bread_aa · h_i): compared with that bound, what is not
    # rounding is a coefficient the row moves.
    u = np.abs(bread @ data[one][:, x].T)
    bound = np.sqrt(np.outer(np.diag(bread), np.maximum(h_data[one], 0.0)))
    undefined = np.flatnonzero((u > LEVERAGE_ONE * bound).any(axis=1))
    return meat, one, undefined


def clustered(conv: SSC, bread: np.ndarray, terms: Sequence[Mapping[str, Any]],
              n_vars: int, n: int, K: int) -> Covariance:
    """``terms``: the engine's cluster meats, one per non-empty subset of the variables."""
    g_single = [t["groups"] for t in terms if len(t["subset"]) == 1]
    g_min = min(g_single)
    adj = (n - 1) / (n - K) if conv.k_adj else 1.0
    total = np.zeros_like(bread)
    for t in terms:
        g = g_min if conv.G_df == "min" else t["groups"]
        factor = adj * (g / (g - 1) if conv.G_adj and g > 1 else 1.0)
        sign = 1.0 if len(t["subset"]) % 2 else -1.0
        total += sign * factor * _sandwich(bread, np.asarray(t["meat"]))
    return Covariance(total, g_min - 1, K)


def serial(conv: SSC, bread: np.ndarray, meat: np.ndarray, n: int, K: int,
           periods: int) -> Covariance:
    """Newey–West or Driscoll–Kraay from the engine's meat, with pyfixest's factors."""
    factor = (n - 1) / (n - K) if conv.k_adj else 1.0
    if conv.G_adj:
        factor *= periods / (periods - 1)
    return Covariance(_sandwich(bread, meat) * factor, periods - 1, K)


@dataclass(frozen=True)
class Serial:
    """The time structure of the rows used: ``time`` int32 codes 0..T-1 in time order (the
    periods present in these rows, consecutive whatever the gaps between their values, as
    pyfixest counts them), ``panel`` int32 codes of the series or None, and the lag."""

    time: np.ndarray
    periods: int
    panel: np.ndarray | None
    lag: int


def default_lag(periods: int) -> int:
    """The largest L with L^4 <= T: floor(T^(1/4)) (Newey and West 1987), pyfixest's and
    fixest's default for panel Newey–West and Driscoll–Kraay."""
    lag = int(round(periods ** 0.25))
    while lag ** 4 > periods:
        lag -= 1
    while (lag + 1) ** 4 <= periods:
        lag += 1
    return lag


def serial_codes(vc: Vcov, frame: Any, mask: np.ndarray) -> Serial | None:
    """The time structure of the rows used (``mask``) for "NW" and "DK"; None otherwise."""
    if vc.kind not in _SERIAL:
        return None
    time = frame.ordered(vc.time_id, "time_id")[mask]
    panel = None
    if vc.kind == "nw" and vc.panel_id is not None:
        panel = frame.codes(vc.panel_id).codes[mask]
    return serial_of(vc, time, panel)


def serial_of(vc: Vcov, time_values: np.ndarray, panel_codes: np.ndarray | None) -> Serial:
    """Time codes in time order from the time values of the rows used (integers, floats or
    datetime64), and the lag: given, or the default for panels and Driscoll–Kraay. A single
    Newey–West series needs the lag given (as pyfixest and statsmodels) and no repeated
    period."""
    values = time_values.view(np.int64) if time_values.dtype.kind in "mM" else time_values
    keys = values if values.dtype in (np.int64, np.int32, np.float64) else (
        values.view(np.int64) if values.dtype == np.uint64 else values.astype(np.int64))
    codes, periods = _core.recode(keys)
    first = np.empty(periods, dtype=values.dtype)
    first[codes] = values  # every row of a code holds the same value
    rank = np.empty(periods, dtype=np.int32)
    rank[np.argsort(first, kind="stable")] = np.arange(periods, dtype=np.int32)
    time = rank[codes]
    if vc.kind == "nw" and panel_codes is None and periods < len(time):
        raise ValueError(f"time_id {vc.time_id!r} repeats periods ({len(time):,} rows, "
                         f"{periods:,} periods): a single Newey-West series needs one row per "
                         "period; for panel data pass vcov_kwargs['panel_id'], or use 'DK'")
    if periods < 2:
        raise ValueError(f"a {_SERIAL[vc.kind]} covariance needs at least two periods of "
                         f"{vc.time_id!r} in the rows used, but they have {periods}")
    lag = vc.lag
    if lag is None:
        if vc.kind == "nw" and panel_codes is None:
            raise ValueError("give the lag of a Newey-West time series: "
                             f"vcov_kwargs={{'time_id': {vc.time_id!r}, 'lag': 2}} (there is no "
                             "agreed default; floor(T^(1/4)) would be "
                             f"{default_lag(periods)} here)")
        lag = default_lag(periods)
    return Serial(time, periods, panel_codes, lag)


@dataclass(frozen=True)
class Inference:
    """What the covariance of any least-squares stage over a fit's rows needs besides the
    stage's own pieces: the request and convention, the rows, the fixed effects' degrees of
    freedom, and the clusters or time structure. OLS uses it once, 2SLS also for each first
    stage."""

    vc: Vcov
    conv: SSC
    n: int
    levels: list[int]
    dof_fe: int
    nested: list[bool]
    clusters: list[np.ndarray]
    serial: Serial | None = None
    # Frequency weights at the rows used (the stages' data and residuals are then times
    # their square roots); None otherwise. Analytic weights need nothing here: the scaled
    # data and residuals give every meat its scores w·x·e.
    counts: np.ndarray | None = None

    def dof_k(self, k: int) -> int:
        return dof_k(self.conv, self.vc, k, self.levels, self.dof_fe, self.nested)

    def covariance(self, data: np.ndarray, x: list[int], resid: np.ndarray,
                   bread: np.ndarray, rss: float) -> Covariance:
        """The covariance of coefficients on the columns ``x`` of ``data`` (the regressors,
        or for 2SLS the fitted ones) with residuals ``resid`` and bread (X'X)^-1 (weighted:
        the data and residuals are times the weights' square roots)."""
        n, K = self.n, self.dof_k(len(x))
        if n - K <= 0:
            raise ValueError(f"no degrees of freedom left: {n:,} rows for {len(x)} regressors "
                             f"and {self.dof_fe:,} degrees of freedom taken by the fixed effects")
        vc = self.vc
        if vc.kind == "iid":
            return iid(self.conv, bread, rss, n, K)
        if vc.kind == "hetero":
            if vc.hc <= 1:
                # Frequency weights: each repeated row's score x_i e_i, w times, sums to
                # Σ w x x' e², the scaled rows' with the unscaled residuals.
                plain = resid if self.counts is None else resid / np.sqrt(self.counts)
                meat = _core.hetero_meat(data=data, x=x, resid=plain, bread=np.zeros((0, 0)),
                                         power=0)
                return hetero(self.conv, vc.hc, bread, np.asarray(meat), n, K)
            meat, one, undefined = _hc_leverage(data, x, resid, bread, vc.hc, self.counts)
            out = hetero(self.conv, vc.hc, bread, meat, n, K)
            if one.size:
                out.matrix[undefined, :] = np.nan
                out.matrix[:, undefined] = np.nan
                out = replace(out, leverage_one=one, undefined=undefined)
            return out
        if vc.kind == "cluster":
            terms = _core.cluster_meats(data=data, x=x, resid=resid, clusters=self.clusters)
            return clustered(self.conv, bread, terms, len(self.clusters), n, K)
        s = self.serial
        assert s is not None
        if vc.kind == "nw":
            try:
                meat = _core.newey_west_meat(data=data, x=x, resid=resid, time=s.time,
                                             panel=[] if s.panel is None else [s.panel],
                                             lag=s.lag)
            except ValueError as exc:
                if "repeats a period" not in str(exc):
                    raise
                raise ValueError(f"time_id {vc.time_id!r} repeats a period within a "
                                 f"series of panel_id {vc.panel_id!r}: Newey-West needs one "
                                 "row per period and series (or use 'DK')") from None
        else:
            meat = _core.driscoll_kraay_meat(data=data, x=x, resid=resid, time=s.time,
                                             lag=s.lag)
        return serial(self.conv, bread, np.asarray(meat), n, K, s.periods)


def _sandwich(bread: np.ndarray, meat: np.ndarray) -> np.ndarray:
    v = bread @ meat @ bread
    return (v + v.T) / 2  # exactly symmetric, whatever the rounding of the products


MAX_COUNT = 2**63 - 1  # the largest iteration cap or lag the engine's counts hold


def check_number(name: str, value: Any, *, integer: bool = False, minimum: float = 0.0,
                 strict: bool = True) -> None:
    """A numeric option: TypeError for a non-number (a string, a bool), ValueError out of
    range. Integers are counts, at most ``MAX_COUNT``; real numbers must be finite as
    floats (an integer too large for a float is out of range, not an OverflowError)."""
    kind = numbers.Integral if integer else numbers.Real
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, kind):
        want = "an integer" if integer else "a number"
        raise TypeError(f"{name} must be {want}, not {type(value).__name__} "
                        f"({show_value(value)})")
    bound = f"greater than {minimum:g}" if strict else f"at least {minimum:g}"
    if integer:
        count = int(value)  # exact for integers of any size
        if count < minimum or (strict and count == minimum):
            raise ValueError(f"{name} must be {bound}, not {show_value(value)}")
        if count > MAX_COUNT:
            raise ValueError(f"{name} must be at most 2**63 - 1 ({MAX_COUNT:,}), not "
                             f"{show_value(value)}")
        return
    try:
        real = float(value)
    except OverflowError:
        real = math.inf
    if not math.isfinite(real):
        raise ValueError(f"{name} must be finite and within the range of a float, not "
                         f"{show_value(value)}")
    if real < minimum or (strict and real == minimum):
        raise ValueError(f"{name} must be {bound}, not {show_value(value)}")


def show_value(value: Any) -> str:
    """repr(value) for a message, shortened; integers too long to print (Python refuses
    those above 4,300 digits) by their size."""
    if isinstance(value, numbers.Integral) and abs(int(value)).bit_length() > 128:
        return f"an integer of about 1e{int(math.log10(abs(int(value))))}"
    try:
        text = repr(value)
    except ValueError:  # a container holding such an integer
        return f"a {type(value).__name__} holding an integer too long to print"
    return text if len(text) <= 80 else text[:77] + "..."
